#include "foundation/wait_accounting.h"

#include <chrono>

namespace tilo2::core {

std::atomic<bool> waitAccountingOn{false};

namespace {

std::atomic<int64_t> totalNs[kWaitKindCount];
std::atomic<int64_t> totalCount[kWaitKindCount];

}  // namespace

void WaitAccountingEnable(bool on) { waitAccountingOn.store(on); }

void WaitAccountingAdd(WaitKind kind, int64_t nanoseconds) {
  const int k = static_cast<int>(kind);
  totalNs[k].fetch_add(nanoseconds, std::memory_order_relaxed);
  totalCount[k].fetch_add(1, std::memory_order_relaxed);
}

WaitTotals WaitAccountingTake() {
  WaitTotals totals{};
  for (int k = 0; k < kWaitKindCount; ++k) {
    totals.nanoseconds[k] = totalNs[k].exchange(0);
    totals.count[k] = totalCount[k].exchange(0);
  }
  return totals;
}

int64_t WaitAccountingNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace tilo2::core
