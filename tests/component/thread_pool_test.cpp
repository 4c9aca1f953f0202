#include "component/thread_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include "component/test_hooks.h"

using namespace tilo2::core;

namespace {

constexpr auto kDeadline = std::chrono::seconds(60);

// A barrier whose waits give up at a deadline, so a pool that cannot run every
// party at once fails the test instead of hanging it.
class TimedBarrier {
 public:
  explicit TimedBarrier(int parties) : parties_(parties) {}
  bool ArriveAndWait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (++arrived_ == parties_) all_.notify_all();
    return all_.wait_for(lock, kDeadline, [&] { return arrived_ >= parties_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable all_;
  int arrived_ = 0;
  const int parties_;
};

class Counter {
 public:
  void Add(bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++done_;
    if (ok) ++ok_;
    changed_.notify_all();
  }
  // The number of successes once `count` items reported, or -1 at the deadline.
  int WaitFor(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, kDeadline, [&] { return done_ >= count; })) return -1;
    return ok_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int done_ = 0;
  int ok_ = 0;
};

void RunBarrierParties(int parties) {
  TimedBarrier barrier(parties);
  Counter counter;
  for (int i = 0; i < parties; ++i) {
    PoolSubmit([&] { counter.Add(barrier.ArriveAndWait()); });
  }
  EXPECT_EQ(counter.WaitFor(parties), parties);
}

TEST(ThreadPoolTest, SixtyFourBodiesOnOneBarrierAllFinish) {
  RunBarrierParties(64);
  EXPECT_GE(PoolWorkerCount(), 64u);
  EXPECT_LE(PoolWorkerCount(), kPoolMaxWorkers);
  // A second round reuses the idle workers instead of starting more. The
  // bodies have counted but their workers may not be back to idle yet: a
  // worker still busy would rightly make the pool start another.
  ASSERT_TRUE(TiloComponentWaitPoolBusyAtMost(
      0, std::chrono::steady_clock::now() + std::chrono::seconds(30)));
  const size_t before = PoolWorkerCount();
  RunBarrierParties(64);
  EXPECT_EQ(PoolWorkerCount(), before);
}

TEST(ThreadPoolTest, BodyWaitingOnASecondPoolTaskFinishes) {
  Counter outer;
  for (int i = 0; i < 8; ++i) {
    PoolSubmit([&] {
      Counter inner;
      PoolSubmit([&] { inner.Add(true); });
      outer.Add(inner.WaitFor(1) == 1);
    });
  }
  EXPECT_EQ(outer.WaitFor(8), 8);
}

TEST(ThreadPoolTest, ThrowingWorkDoesNotStopTheWorker) {
  Counter counter;
  PoolSubmit([] { throw std::runtime_error("escaped"); });
  PoolSubmit([&] { counter.Add(true); });
  EXPECT_EQ(counter.WaitFor(1), 1);
}

TEST(ThreadPoolTest, IdleWorkersBeyondTheCoreLeave) {
  TiloComponentSetPoolIdleTimeout(std::chrono::milliseconds(50));
  const size_t parties = PoolCoreCount() + 8;
  RunBarrierParties(static_cast<int>(parties));
  EXPECT_GE(PoolWorkerCount(), parties);
  EXPECT_TRUE(TiloComponentWaitPoolWorkersAtMost(PoolCoreCount(),
                                                 std::chrono::steady_clock::now() + kDeadline));
  // The core stays.
  EXPECT_EQ(PoolWorkerCount(), PoolCoreCount());
  TiloComponentSetPoolIdleTimeout(std::chrono::milliseconds(0));
  // What remains still runs work.
  RunBarrierParties(4);
}

}  // namespace
