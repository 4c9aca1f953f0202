// Runtime async layer: an empty-bodied action from its start to get() returning,
// on a warm pool (the workers already exist and are idle). Each iteration is
// timed alone so the counters give the latency's median and tail, not a mean.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "component/async_frame.h"
#include "component/run_async.h"

using namespace tilo2::core;

namespace {

template <class Body>
void TimeEach(benchmark::State& state, Body body) {
  body();  // warms the pool
  std::vector<double> nanos;
  nanos.reserve(1 << 16);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    body();
    const auto end = std::chrono::steady_clock::now();
    nanos.push_back(std::chrono::duration<double, std::nano>(end - start).count());
  }
  if (nanos.empty()) return;
  std::sort(nanos.begin(), nanos.end());
  state.counters["p50_ns"] = nanos[nanos.size() / 2];
  state.counters["p99_ns"] = nanos[nanos.size() * 99 / 100];
}

void BM_EmptyActionStartToGet(benchmark::State& state) {
  TimeEach(state, [] { RunAsync([] {}).get(); });
}
BENCHMARK(BM_EmptyActionStartToGet)->UseRealTime();

// The same with one continuation attached, which adds a second pool hop.
void BM_EmptyActionThenToGet(benchmark::State& state) {
  TimeEach(state, [] {
    RunAsync([] {}).then([](const Orvik::Tilo::Tilo2::IAsyncAction& a) { a.get(); }).get();
  });
}
BENCHMARK(BM_EmptyActionThenToGet)->UseRealTime();

// What a device class's ...Async method hands the app: the empty body on the
// pool, its exception filter after it, and the app's operation over both.
void BM_EmptyMethodOperationStartToGet(benchmark::State& state) {
  TimeEach(state, [] { StartOperation([] {}).get(); });
}
BENCHMARK(BM_EmptyMethodOperationStartToGet)->UseRealTime();

}  // namespace
