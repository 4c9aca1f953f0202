// A receipt sent through a printer record over the direct backend, from
// TdcSendPrinterData (replay of the command list, build, queue) to the
// record's print-result callback, against the printer emulator answering at
// once: p50 and p99 of that latency, and the part spent before the send
// returned, beside the printer protocol's own waits within it.
//
// TILO2_BENCH_JOBS sets the number of jobs (default 200; the test run uses a few).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "bench_support.h"
#include "device/command_list.h"
#include "device/printer_module.h"
#include "engine/engine_ops.h"
#include "foundation/wait_accounting.h"

using namespace tilo2::core;

namespace {

constexpr const char* kAddress = "127.0.0.253";
constexpr const char* kTarget = "TCP:127.0.0.253";
constexpr int32_t kSeriesS3B = 6;

bench::ResultCounter results;

void OnResult(void*, int32_t code, TdcStatus_t*, const char*, void*) { results.Add(code); }

bool WaitForResults(int count) { return results.WaitFor(count); }

// One emulator and one connected record with a receipt in its command list.
struct Printer {
  pid_t emulator = -1;
  TdcPrinter_t* record = nullptr;

  Printer() {
    emulator = bench::StartEmulatorProcess(kAddress);
    if (TdcCreatePrinter(&record, kSeriesS3B, 0) != 0) {
      std::fprintf(stderr, "cannot create the printer record\n");
      std::exit(1);
    }
    TdcRegisterPrinter(record);
    record->receiveCallback = &OnResult;
    TdcCommandList_t* list = &record->commands.commandList;
    // About 1 KB of receipt: 40 lines of 24 characters and a cut.
    for (int line = 0; line < 40; ++line) {
      char text[64];
      std::snprintf(text, sizeof text, "Item %02d           %2d.%02d\n", line, line % 17,
                    line * 7 % 100);
      TdcAddPrinterCommandText(list, text);
    }
    TdcAddPrinterCommandInt(list, TDC_CMD_CUT, kTdcDefault);
    // The emulator may still be binding its ports, or another run's
    // emulator may hold this address for a while.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (TdcConnectPrinter(nullptr, record, kTarget, nullptr, 15000) != 0) {
      if (waitpid(emulator, nullptr, WNOHANG) == emulator)
        emulator = bench::StartEmulatorProcess(kAddress);
      if (std::chrono::steady_clock::now() > deadline) {
        std::fprintf(stderr, "cannot connect %s\n", kTarget);
        std::exit(1);
      }
      usleep(100 * 1000);
    }
    // Keep the status monitor out of the measured jobs.
    TiloSetInterval(static_cast<PrintHandle_t*>(record->handle), 60000);
  }
  ~Printer() {
    // The last job's end may still be on its way.
    for (int i = 0; i < 1000 && TdcDisconnectPrinter(nullptr, record) == 7; ++i) usleep(10 * 1000);
    TdcDestroyPrinter(record);
    bench::StopEmulatorProcess(emulator);
  }
};

Printer& printer() {
  static Printer p;
  return p;
}

void BM_DeviceSendToResult(benchmark::State& state) {
  Printer& p = printer();
  std::vector<double> latencyMs, sendMs, protocolMs;
  WaitAccountingEnable(true);
  WaitAccountingTake();
  for (auto _ : state) {
    const int expected = results.count + 1;
    const auto start = std::chrono::steady_clock::now();
    if (TdcSendPrinterData(nullptr, p.record, 10000) != 0) {
      state.SkipWithError("TdcSendPrinterData failed");
      break;
    }
    const auto sent = std::chrono::steady_clock::now();
    if (!WaitForResults(expected)) {
      state.SkipWithError("no print result within 120 s");
      break;
    }
    const auto end = std::chrono::steady_clock::now();
    const WaitTotals waits = WaitAccountingTake();
    double waited = 0;
    for (const auto kind : {WaitKind::kSilentRead, WaitKind::kQuietGap, WaitKind::kReplyRead}) {
      waited += waits.nanoseconds[static_cast<int>(kind)] / 1e6;
    }
    latencyMs.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    sendMs.push_back(std::chrono::duration<double, std::milli>(sent - start).count());
    protocolMs.push_back(waited);
  }
  WaitAccountingEnable(false);
  state.counters["p50_ms"] = bench::Percentile(latencyMs, 50);
  state.counters["p99_ms"] = bench::Percentile(latencyMs, 99);
  state.counters["send_call_p50_ms"] = bench::Percentile(sendMs, 50);
  // The printer protocol's own waits (the job's end check reads into
  // silence for 100 ms); the rest is the layer's and the engine's work.
  state.counters["protocol_wait_p50_ms"] = bench::Percentile(protocolMs, 50);
  state.counters["failed"] = results.failures;
}
BENCHMARK(BM_DeviceSendToResult)
    ->Iterations(bench::JobCount(200))
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
