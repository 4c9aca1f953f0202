#pragma once
// Where the time of a print job goes: the benchmark switches this on to split
// a job's latency into the printer protocol's own waits and the engine's work
// on top of them. Off, it costs one relaxed load per wait.

#include <atomic>
#include <cstdint>

namespace tilo2::core {

enum class WaitKind : int {
  kSilentRead = 0,  // a read that ended without bytes: the printer had nothing more to say
  kQuietGap = 1,    // a timed wait for a wait object that ran to its end
  kReplyRead = 2,   // a read that brought bytes: the time until the printer answered
};
inline constexpr int kWaitKindCount = 3;

struct WaitTotals {
  int64_t nanoseconds[kWaitKindCount];
  int64_t count[kWaitKindCount];
};

extern std::atomic<bool> waitAccountingOn;

inline bool WaitAccountingEnabled() { return waitAccountingOn.load(std::memory_order_relaxed); }
void WaitAccountingEnable(bool on);
void WaitAccountingAdd(WaitKind kind, int64_t nanoseconds);
// The totals since the last take, and a fresh start.
WaitTotals WaitAccountingTake();
// Monotonic nanoseconds for the callers' measurements.
int64_t WaitAccountingNow();

}  // namespace tilo2::core
