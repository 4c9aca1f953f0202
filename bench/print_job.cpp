// A print job from TiloSendData to its result callback, against the printer
// emulator answering at once: the latency of a 1 KB receipt (p50, p99), the
// part of it spent in the printer protocol's own waits (reads that end in
// silence, such as the Check step's 100 ms; reads that bring a reply, each
// ending with the transport's 10 ms quiet gap; timed waits that run out) and
// the engine's work on top of them; jobs per second with two jobs in flight (reorder mode 1); and
// what a connection and its jobs cost in threads, memory and descriptors.
//
// TILO2_BENCH_JOBS sets the number of jobs per benchmark (default 200 for the
// latency and 1000 for the throughput and memory figures; the test run uses a
// few).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine/builder_ops.h"
#include "engine/builder_records.h"
#include "engine/engine_ops.h"
#include "engine/event_callbacks.h"
#include "engine/shared_connection.h"
#include "foundation/wait_accounting.h"

using namespace tilo2::core;

namespace {

constexpr const char* kAddress = "127.0.0.251";

bench::ResultCounter results;

void OnPrintResult(PrintHandle_t*, const char*, int32_t code, uint32_t, int32_t, const char*) {
  results.Add(code);
}

bool WaitForResults(int count) { return results.WaitFor(count); }

int CountEntries(const char* folder) {
  int n = 0;
  if (DIR* dir = opendir(folder)) {
    while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

long RssKilobytes() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// One emulator and one open connection for the whole run.
struct Printer {
  pid_t emulator = -1;
  PrintHandle_t* handle = nullptr;
  PrinterBuilder_t* receipt = nullptr;
  int threadsBefore = 0;
  int threadsOpen = 0;

  Printer() {
    emulator = bench::StartEmulatorProcess(kAddress);
    TiloCreateBuilder(&receipt, "RP-S3", 0);
    // About 1 KB of receipt: 40 lines of 24 characters and a cut.
    for (int line = 0; line < 40; ++line) {
      char text[64];
      std::snprintf(text, sizeof text, "Item %02d           %2d.%02d\n", line, line % 17,
                    line * 7 % 100);
      TiloAddText(receipt, text);
    }
    TiloAddCut(receipt, 1);
    threadsBefore = CountEntries("/proc/self/task");
    // The emulator may still be binding its ports (or waiting for another
    // run's emulator on this address to let them go).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (AcquireSharedConnection(nullptr, 1, 0, kAddress, 15000, &handle) != 0) {
      // An emulator that found its ports taken has exited: start another.
      if (waitpid(emulator, nullptr, WNOHANG) == emulator)
        emulator = bench::StartEmulatorProcess(kAddress);
      if (std::chrono::steady_clock::now() > deadline) {
        std::fprintf(stderr, "cannot open %s\n", kAddress);
        std::exit(1);
      }
      usleep(100 * 1000);
    }
    threadsOpen = CountEntries("/proc/self/task");
    // Keep the status monitor out of the measured jobs.
    TiloSetInterval(handle, 60000);
    SetResultCallback(handle, 0, reinterpret_cast<void*>(&OnPrintResult));
    TiloAttachBuilder(handle, receipt);
  }
  ~Printer() {
    ReleaseSharedConnection(nullptr, 1, handle);
    TiloDestroyBuilder(receipt);
    bench::StopEmulatorProcess(emulator);
  }
};

Printer& printer() {
  static Printer p;
  return p;
}

void BM_ReceiptSendToResult(benchmark::State& state) {
  Printer& p = printer();
  std::vector<double> latencyMs, overheadMs, silentMs, gapMs, replyMs;
  WaitAccountingEnable(true);
  WaitAccountingTake();
  for (auto _ : state) {
    const int expected = results.count + 1;
    const auto start = std::chrono::steady_clock::now();
    TiloSendData(nullptr, p.handle, p.receipt, 10000);
    if (!WaitForResults(expected)) state.SkipWithError("no print result within 120 s");
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const WaitTotals waits = WaitAccountingTake();
    const double silent = waits.nanoseconds[static_cast<int>(WaitKind::kSilentRead)] / 1e6;
    const double gap = waits.nanoseconds[static_cast<int>(WaitKind::kQuietGap)] / 1e6;
    const double reply = waits.nanoseconds[static_cast<int>(WaitKind::kReplyRead)] / 1e6;
    latencyMs.push_back(ms);
    silentMs.push_back(silent);
    gapMs.push_back(gap);
    replyMs.push_back(reply);
    overheadMs.push_back(ms - silent - gap - reply);
  }
  WaitAccountingEnable(false);
  state.counters["p50_ms"] = bench::Percentile(latencyMs, 50);
  state.counters["p99_ms"] = bench::Percentile(latencyMs, 99);
  state.counters["silent_read_p50_ms"] = bench::Percentile(silentMs, 50);
  state.counters["quiet_gap_p50_ms"] = bench::Percentile(gapMs, 50);
  state.counters["reply_read_p50_ms"] = bench::Percentile(replyMs, 50);
  state.counters["engine_p50_ms"] = bench::Percentile(overheadMs, 50);
  state.counters["engine_p99_ms"] = bench::Percentile(overheadMs, 99);
  state.counters["failed"] = results.failures;
}
BENCHMARK(BM_ReceiptSendToResult)
    ->Iterations(bench::JobCount(200))
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Two jobs may be outstanding before the next waits (a receipt model's job
// ends name their job), so a send overlaps the previous job's wait. The app
// keeps two jobs in flight, sending the next as a result arrives. Memory and
// descriptors are taken once the first tenth of the jobs has warmed the
// allocator and the thread stacks, and again at the end.
void BM_JobsPerSecondTwoInFlight(benchmark::State& state) {
  Printer& p = printer();
  const int jobs = static_cast<int>(state.max_iterations);
  const int first = results.count;
  const int warm = std::max(1, jobs / 10);
  int sent = 0;
  int fdsWarm = 0;
  long rssWarm = 0;
  int maxThreads = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (sent >= 2 && !WaitForResults(first + sent - 1)) {
      state.SkipWithError("no print result within 120 s");
    }
    if (sent == warm) {
      fdsWarm = CountEntries("/proc/self/fd");
      rssWarm = RssKilobytes();
    }
    TiloSendData(nullptr, p.handle, p.receipt, 10000);
    ++sent;
    maxThreads = std::max(maxThreads, CountEntries("/proc/self/task"));
  }
  if (!WaitForResults(first + jobs)) state.SkipWithError("results missing after 120 s");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.counters["jobs_per_s"] = jobs / seconds;
  state.counters["connection_threads"] = p.threadsOpen - p.threadsBefore;
  state.counters["peak_job_threads"] = maxThreads - p.threadsOpen;
  state.counters["rss_growth_kb"] = static_cast<double>(RssKilobytes() - rssWarm);
  state.counters["fd_growth"] = CountEntries("/proc/self/fd") - fdsWarm;
  state.counters["failed"] = results.failures;
}
BENCHMARK(BM_JobsPerSecondTwoInFlight)
    ->Iterations(bench::JobCount(1000))
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
