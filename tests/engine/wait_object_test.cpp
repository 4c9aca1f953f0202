// Numbered wait objects: signal and wait in either order, time-outs, ids.

#include "engine/wait_object.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "engine/test_hooks.h"
#include "foundation/wait_accounting.h"

using namespace tilo2::core;

namespace {

TEST(WaitObject, SignalBeforeWaitIsNotLostAndStaysDone) {
  const uint64_t id = CreateWaitObject();
  ASSERT_NE(id, 0u);
  SignalWaitObject(id, 42);
  for (int timeout : {-1, 0, 5000}) {
    int32_t result = 0;
    EXPECT_EQ(WaitForWaitObject(id, timeout, &result), 0);
    EXPECT_EQ(result, 42);
  }
  DeleteWaitObject(id);
}

TEST(WaitObject, ExpiredWaitAnswers138AndALaterSignalStillArrives) {
  const uint64_t id = CreateWaitObject();
  ASSERT_NE(id, 0u);
  int32_t result = -7;
  EXPECT_EQ(WaitForWaitObject(id, 20, &result), 138);
  EXPECT_EQ(result, 0);
  SignalWaitObject(id, 9);
  EXPECT_EQ(WaitForWaitObject(id, 20, &result), 0);
  EXPECT_EQ(result, 9);
  DeleteWaitObject(id);
}

TEST(WaitObject, SignalFromAnotherThreadEndsAnUnlimitedWait) {
  const uint64_t id = CreateWaitObject();
  ASSERT_NE(id, 0u);
  std::thread signaller([id] { SignalWaitObject(id, 5); });
  int32_t result = 0;
  EXPECT_EQ(WaitForWaitObject(id, -1, &result), 0);
  EXPECT_EQ(result, 5);
  signaller.join();
  DeleteWaitObject(id);
}

// Spins until a thread is inside the wait for id; false when none arrives.
bool AwaitWaiter(uint64_t id) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (EngineWaitObjectWaiters(id) == 0) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(WaitObject, DeleteWakesAWaiterWithResultZero) {
  for (int timeout : {-1, 20000}) {
    SCOPED_TRACE(timeout);
    const uint64_t id = CreateWaitObject();
    ASSERT_NE(id, 0u);
    int32_t result = 77;
    int answer = -1;
    std::thread waiter([&] { answer = WaitForWaitObject(id, timeout, &result); });
    ASSERT_TRUE(AwaitWaiter(id));
    DeleteWaitObject(id);
    waiter.join();
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(result, 0);
  }
}

TEST(WaitObject, UnknownOrDeletedIdAnswersAtOnceAndLeavesResultAlone) {
  const uint64_t id = CreateWaitObject();
  ASSERT_NE(id, 0u);
  SignalWaitObject(id, 3);
  DeleteWaitObject(id);
  for (uint64_t unknown : {id, uint64_t{0}, uint64_t{0xFFFFFFFFu}}) {
    int32_t result = -5;
    EXPECT_EQ(WaitForWaitObject(unknown, -1, &result), 0);
    EXPECT_EQ(result, -5);
    SignalWaitObject(unknown, 1);  // ignored
    DeleteWaitObject(unknown);     // ignored
  }
}

TEST(WaitObject, IdsAfterFFFFFFFEContinueAtOneSkippingLiveOnes) {
  EngineSetLastWaitId(0);
  const uint64_t one = CreateWaitObject();
  const uint64_t two = CreateWaitObject();
  ASSERT_EQ(one, 1u);
  ASSERT_EQ(two, 2u);
  EngineSetLastWaitId(0xFFFFFFFDu);
  const uint64_t high = CreateWaitObject();
  EXPECT_EQ(high, 0xFFFFFFFEu);
  const uint64_t wrapped = CreateWaitObject();
  EXPECT_EQ(wrapped, 3u) << "0xFFFFFFFF is never issued and 1, 2 are live";
  for (uint64_t id : {one, two, high, wrapped}) DeleteWaitObject(id);
}

TEST(WaitObject, ManyThreadsEachGetTheirOwnResult) {
  constexpr int kThreads = 8;
  std::vector<uint64_t> ids;
  for (int i = 0; i < kThreads; ++i) ids.push_back(CreateWaitObject());
  std::vector<int32_t> results(kThreads, -1);
  std::vector<std::thread> waiters;
  for (int i = 0; i < kThreads; ++i) {
    waiters.emplace_back([&, i] { WaitForWaitObject(ids[i], -1, &results[i]); });
  }
  for (int i = kThreads - 1; i >= 0; --i) SignalWaitObject(ids[i], 100 + i);
  for (auto& waiter : waiters) waiter.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(results[i], 100 + i);
    DeleteWaitObject(ids[i]);
  }
}

// The benchmark's split of a job's time: only a timed wait that ran to its end
// counts as a quiet gap, and nothing is counted while accounting is off.
TEST(WaitObject, TimedOutWaitsAreAccountedOnlyWhenAccountingIsOn) {
  const uint64_t id = CreateWaitObject();
  WaitAccountingTake();
  EXPECT_EQ(WaitForWaitObject(id, 5, nullptr), 138);
  EXPECT_EQ(WaitAccountingTake().count[static_cast<int>(WaitKind::kQuietGap)], 0);

  WaitAccountingEnable(true);
  EXPECT_EQ(WaitForWaitObject(id, 20, nullptr), 138);
  SignalWaitObject(id, 1);
  EXPECT_EQ(WaitForWaitObject(id, 20, nullptr), 0);
  WaitAccountingEnable(false);
  const WaitTotals totals = WaitAccountingTake();
  const int gap = static_cast<int>(WaitKind::kQuietGap);
  EXPECT_EQ(totals.count[gap], 1);
  EXPECT_GE(totals.nanoseconds[gap], 15'000'000) << "about the 20 ms waited";
  DeleteWaitObject(id);
}

}  // namespace
