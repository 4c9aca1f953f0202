// The typical receipt (public_receipt.h) printed through the public API to
// the printer emulator (a process of its own on 127.0.0.247, answering at
// once), timed from the first Add call to the Received event's handler:
// p50 and p99, and where the time goes:
//   add_us          the Add calls on the app's thread
//   send_call_us    SendDataAsync until its operation completed: the frame, the
//                   pool step, the replay into the builder, the build and the
//                   hand-over to the engine's queue
//   engine_ms       from then to the device layer's print-result callback: the
//                   queue, the send, the job's end and the engine's polling
//   protocol_ms     the printer protocol's own waits within it (the Check
//                   step's silent 100 ms read, replies' quiet gaps)
//   callback_us     from the device layer's callback to the handler: the
//                   status snapshot, the event arguments and the raise
// Logging is off, the status monitor is not started.
//
// TILO2_BENCH_JOBS sets the number of jobs (default 1000; the test run uses a few).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench_support.h"
#include "device/device_types.h"
#include "foundation/wait_accounting.h"
#include "orvik/tilo2/callback_code.h"
#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/log.h"
#include "orvik/tilo2/printer/printer.h"
#include "printer/printer_internal.h"
#include "public_receipt.h"
#include "receipt_build.h"

using namespace tilo2::core;
namespace tilo = Orvik::Tilo::Tilo2;
namespace prn = Orvik::Tilo::Tilo2::Printer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kAddress = "127.0.0.247";

// The moments of the last job's result, and how many results came.
struct Results {
  std::mutex mutex;
  std::condition_variable arrived;
  int count = 0;
  int failures = 0;
  Clock::time_point callback;  // the device layer's print-result callback
  Clock::time_point handler;   // the Received handler

  bool WaitFor(int n) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(120), [&] { return count >= n; });
  }
} results;

// The device layer's callback, passed through with its moment noted.
TdcPrintResultCallback originalCallback = nullptr;
void* originalUser = nullptr;

void TimedCallback(void* record, int32_t code, TdcStatus_t* status, const char* jobId, void*) {
  {
    std::lock_guard lock(results.mutex);
    results.callback = Clock::now();
  }
  originalCallback(record, code, status, jobId, originalUser);
}

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// One emulator process and one connected printer.
struct Road {
  pid_t emulator = -1;
  std::shared_ptr<prn::Printer> printer;
  TdcPrinter_t* record = nullptr;
  tilo::EventToken token = 0;

  Road() {
    tilo::Log::SetLogSettings(tilo::LogPeriod::Temporary, tilo::LogOutput::Disable, "", 0, 1,
                              tilo::LogLevel::Normal);
    emulator = bench::StartEmulatorProcess(kAddress);
    printer = prn::Printer::Create(prn::Series::RP_S3, prn::ModelLang::Ank);
    token = printer->Received([](const std::shared_ptr<prn::Printer>&,
                                 const std::shared_ptr<const prn::ReceivedEventArgs>& args) {
      std::lock_guard lock(results.mutex);
      results.handler = Clock::now();
      ++results.count;
      if (args->Code() != tilo::CallbackCode::Success) ++results.failures;
      results.arrived.notify_all();
    });
    // The engine checks an idle printer's status every Interval ms, reading
    // 100 ms into silence; a job that meets such a check waits for it. At the
    // default 3000 ms that is one job in thirty here, 100 ms late: the
    // longest interval keeps the check out of the measured jobs.
    printer->Interval(60000);
    // The emulator may still be binding its ports, or another run's emulator
    // may hold this address for a while.
    const std::string target = std::string("TCP:") + kAddress;
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    for (;;) {
      try {
        printer->ConnectAsync(target.c_str(), 15000).get();
        break;
      } catch (const tilo::RuntimeException&) {
        if (waitpid(emulator, nullptr, WNOHANG) == emulator)
          emulator = bench::StartEmulatorProcess(kAddress);
        if (Clock::now() > deadline) {
          std::fprintf(stderr, "cannot connect %s\n", target.c_str());
          std::exit(1);
        }
        usleep(100 * 1000);
      }
    }
    record = tilo::detail::PrinterAccess::Record(*printer);
    originalCallback = record->receiveCallback;
    originalUser = record->receiveUser;
    record->receiveCallback = &TimedCallback;
  }
  ~Road() {
    record->receiveCallback = originalCallback;
    try {
      printer->DisconnectAsync().get();
    } catch (const tilo::RuntimeException&) {
    }
    printer->Received(token);
    printer.reset();
    bench::StopEmulatorProcess(emulator);
  }
};

Road& road() {
  static Road r;
  return r;
}

void BM_PublicReceiptToReceived(benchmark::State& state) {
  Road& r = road();
  const std::vector<std::string> items = bench::ReceiptItems();
  std::vector<double> total, add, sendCall, engine, protocol, callback;
  WaitAccountingEnable(true);
  try {
    for (auto _ : state) {
      r.printer->ClearCommandBuffer();
      int expected;
      {
        std::lock_guard lock(results.mutex);
        expected = results.count + 1;
      }
      WaitAccountingTake();
      const auto start = Clock::now();
      bench::AddReceipt(*r.printer, items);
      const auto added = Clock::now();
      r.printer->SendDataAsync(-2).get();
      const auto sent = Clock::now();
      if (!results.WaitFor(expected)) {
        state.SkipWithError("no Received event within 120 s");
        break;
      }
      const WaitTotals waits = WaitAccountingTake();
      double waited = 0;
      for (const auto kind : {WaitKind::kSilentRead, WaitKind::kQuietGap, WaitKind::kReplyRead}) {
        waited += waits.nanoseconds[static_cast<int>(kind)] / 1e6;
      }
      std::lock_guard lock(results.mutex);
      total.push_back(Ms(results.handler - start));
      add.push_back(Us(added - start));
      sendCall.push_back(Us(sent - added));
      engine.push_back(Ms(results.callback - sent));
      protocol.push_back(waited);
      callback.push_back(Us(results.handler - results.callback));
    }
  } catch (const tilo::RuntimeException& e) {
    state.SkipWithError(e.what());
  }
  WaitAccountingEnable(false);
  state.counters["p50_ms"] = bench::Percentile(total, 50);
  state.counters["p99_ms"] = bench::Percentile(total, 99);
  state.counters["add_p50_us"] = bench::Percentile(add, 50);
  state.counters["send_call_p50_us"] = bench::Percentile(sendCall, 50);
  state.counters["send_call_p99_us"] = bench::Percentile(sendCall, 99);
  state.counters["engine_p50_ms"] = bench::Percentile(engine, 50);
  state.counters["engine_p99_ms"] = bench::Percentile(engine, 99);
  state.counters["protocol_p50_ms"] = bench::Percentile(protocol, 50);
  state.counters["protocol_p99_ms"] = bench::Percentile(protocol, 99);
  state.counters["callback_p50_us"] = bench::Percentile(callback, 50);
  state.counters["callback_p99_us"] = bench::Percentile(callback, 99);
  state.counters["failed"] = results.failures;
}
BENCHMARK(BM_PublicReceiptToReceived)
    ->Iterations(bench::JobCount(1000))
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
