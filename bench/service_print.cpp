// Print messages over a device-service host connection, one after another:
// a small receipt document wrapped in its print message, sent on a connected
// host with an open printer handle, to the device-service emulator (in this
// process, 127.0.0.244, answering "onxmlresult" at once). Each job is timed
// from the send call to the handle's job-result slot (slot 14) being called:
//   p50_ms, p99_ms, mean_ms, max_ms   send to slot 14
//   send_call_p50_us                  the send call alone (message, channel lock, write)
// The goal is a p50 under 2 ms on loopback.
//
// TILO2_BENCH_JOBS sets the number of jobs (default 1000; the test run uses a few).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "service/device_handles.h"
#include "service/device_service.h"
#include "service/host_connection.h"
#include "service/request_messages.h"
#include "service_emulator.h"

using namespace tilo2::core;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kAddress = "127.0.0.244";
constexpr const char* kDeviceId = "local_printer";
// Jobs before the measured ones: first-touch allocations and cold caches.
constexpr int kWarmUpJobs = 20;

int JobCount(int fallback) {
  const char* text = std::getenv("TILO2_BENCH_JOBS");
  const int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? n : fallback;
}

// The same rank rule as the other latency benchmarks.
double Percentile(std::vector<double> values, int percent) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, values.size() * percent / 100)];
}

// The job results as slot 14 reports them, on the channel's receive thread.
struct Results {
  std::mutex mutex;
  std::condition_variable arrived;
  int count = 0;
  int failures = 0;
  std::string lastJobId;
  Clock::time_point lastAt;

  bool WaitFor(int n) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(30), [&] { return count >= n; });
  }
} results;

void OnJobResult(TdevPrinterHandle_t*, const char*, const char*, int32_t success, int32_t result,
                 uint32_t, int32_t, const char* printJobId) {
  const Clock::time_point now = Clock::now();
  std::lock_guard lock(results.mutex);
  results.lastAt = now;
  results.lastJobId = printJobId != nullptr ? printJobId : "";
  ++results.count;
  if (success != 1 || result != 0) ++results.failures;
  results.arrived.notify_all();
}

// A short receipt: header, a dozen item lines, total, barcode, cut.
bool BuildReceipt(TdevDocument_t* document, int job) {
  int rc = TdevDocClearBody(document);
  rc |= TdevXmlTextAlign(document, 1);
  rc |= TdevXmlTextSize(document, 2, 2);
  rc |= TdevXmlText(document, "Corner Shop & Caf\xC3\xA9\n");
  rc |= TdevXmlTextSize(document, 1, 1);
  rc |= TdevXmlTextAlign(document, 0);
  char line[96];
  for (int i = 0; i < 12; ++i) {
    std::snprintf(line, sizeof line, "Item %02d <%s>   %d x %5.2f\n", i, i % 3 ? "std" : "promo",
                  1 + i % 4, 1.25 * (i + 1));
    rc |= TdevXmlText(document, line);
  }
  std::snprintf(line, sizeof line, "Total %8.2f   receipt %06d\n", 97.5 + job % 7, job);
  rc |= TdevXmlTextStyle(document, 0, 0, 1, 1);
  rc |= TdevXmlText(document, line);
  rc |= TdevXmlTextStyle(document, 0, 0, 0, 1);
  std::snprintf(line, sizeof line, "{A%010d", job);
  rc |= TdevXmlBarcode(document, line, static_cast<int32_t>(std::char_traits<char>::length(line)),
                       10, 2, 64, 2, 0);
  rc |= TdevXmlCut(document, 1);
  return rc == 0;
}

// The emulator, a connected host and an open printer handle with slot 14 set.
struct Host {
  std::unique_ptr<service_emulator::ServiceEmulator> emulator;
  TdevConnection_t* connection = nullptr;
  TdevPrinterHandle_t* printer = nullptr;
  std::string error;

  Host() {
    service_emulator::Options options;
    options.address = kAddress;
    options.http = false;      // the channel is all this measures
    options.keepNoLog = true;  // no record of every message in the measured process
    // Another run may still hold the fixed ports of this address for a while.
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    for (;;) {
      emulator = std::make_unique<service_emulator::ServiceEmulator>(options);
      if (emulator->start(&error)) break;
      if (Clock::now() > deadline) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (TdevConnectSync(nullptr, kAddress, 0, &connection, 10000) != 0 || connection == nullptr) {
      error = "cannot connect the host";
      return;
    }
    void* handle = nullptr;
    if (TdevOpenDeviceSync(nullptr, connection, kDeviceId, TDEV_DEVICE_PRINTER, &handle) != 0) {
      error = "cannot open the printer";
      return;
    }
    printer = static_cast<TdevPrinterHandle_t*>(handle);
    if (TdevSetPrinterCallback(printer, 14, reinterpret_cast<TdevAnyCallback>(&OnJobResult)) != 0) {
      error = "cannot set slot 14";
      printer = nullptr;
      return;
    }
    error.clear();
  }
  ~Host() {
    if (printer != nullptr) TdevCloseDeviceSync(nullptr, connection, printer);
    if (connection != nullptr) {
      TdevDisconnectIfUnused(nullptr, connection);
      TdevDestroyConnection(connection);
    }
    if (emulator) emulator->stop();
  }
};

// One job: builds its message, sends it and waits for its result. Returns
// false (with the reason) on any failure; the times are the send call's and
// the send-to-slot latency.
bool PrintOne(Host& h, int job, double* sendUs, double* latencyMs, const char** why) {
  if (!BuildReceipt(h.printer->document, job)) {
    *why = "a document builder refused";
    return false;
  }
  char jobId[24];
  std::snprintf(jobId, sizeof jobId, "J%d", job);
  int expected;
  {
    std::lock_guard lock(results.mutex);
    expected = results.count + 1;
  }
  const Clock::time_point start = Clock::now();
  const int sent = TdevPrinterSendData(nullptr, h.printer, 60000, jobId, 0, 0);
  const Clock::time_point afterSend = Clock::now();
  if (sent != 0) {
    *why = "the send failed";
    return false;
  }
  if (!results.WaitFor(expected)) {
    *why = "no job result within 30 s";
    return false;
  }
  std::lock_guard lock(results.mutex);
  if (results.lastJobId != jobId) {
    *why = "a job result for another job";
    return false;
  }
  *sendUs = std::chrono::duration<double, std::micro>(afterSend - start).count();
  *latencyMs = std::chrono::duration<double, std::milli>(results.lastAt - start).count();
  return true;
}

void BM_ServicePrintToJobResult(benchmark::State& state) {
  // Set up and torn down within the run: nothing of the client or the
  // emulator is left for the exit's static destructors.
  const auto owned = std::make_unique<Host>();
  Host& h = *owned;
  if (!h.error.empty() || h.printer == nullptr) {
    state.SkipWithError(h.error.empty() ? "no printer handle" : h.error.c_str());
    return;
  }
  int failuresBefore;
  {
    std::lock_guard lock(results.mutex);
    failuresBefore = results.failures;
  }
  const char* why = nullptr;
  double sendUs = 0, latencyMs = 0;
  for (int i = 0; i < kWarmUpJobs; ++i) {
    if (!PrintOne(h, -1 - i, &sendUs, &latencyMs, &why)) {
      state.SkipWithError(why);
      return;
    }
  }
  const int jobs = JobCount(1000);
  std::vector<double> latency, sendCall;
  latency.reserve(static_cast<size_t>(jobs));
  sendCall.reserve(static_cast<size_t>(jobs));
  // One iteration is the whole series of jobs, measured one by one.
  for (auto _ : state) {
    for (int job = 0; job < jobs; ++job) {
      if (!PrintOne(h, job, &sendUs, &latencyMs, &why)) {
        state.SkipWithError(why);
        return;
      }
      latency.push_back(latencyMs);
      sendCall.push_back(sendUs);
    }
  }
  state.counters["jobs"] = static_cast<double>(latency.size());
  state.counters["p50_ms"] = Percentile(latency, 50);
  state.counters["p99_ms"] = Percentile(latency, 99);
  state.counters["mean_ms"] =
      latency.empty() ? 0 : std::accumulate(latency.begin(), latency.end(), 0.0) / latency.size();
  state.counters["max_ms"] =
      latency.empty() ? 0 : *std::max_element(latency.begin(), latency.end());
  state.counters["send_call_p50_us"] = Percentile(sendCall, 50);
  int failed;
  {
    std::lock_guard lock(results.mutex);
    failed = results.failures - failuresBefore;
  }
  state.counters["failed"] = failed;
  if (failed != 0) state.SkipWithError("a job result reported a failure");
}
BENCHMARK(BM_ServicePrintToJobResult)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
