// The signal object: a remembered set, timed and unlimited waits, the checks
// every operation makes, and the process-wide polling signal with its log lines.

#include "io/wait_signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "../foundation/log_test_fixture.h"
#include "foundation/lock_guard.h"

using namespace tilo2::core;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

long long ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// A polling signal installed for the test and taken away and destroyed after it.
class PollingSignalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(wait_signal_create(&signal_), 0);
    ASSERT_NE(signal_, nullptr);
    wait_signal_install_polling(signal_);
  }
  void TearDown() override {
    wait_signal_t* taken = wait_signal_take_polling();
    if (taken) {
      EXPECT_EQ(wait_signal_destroy(taken), 0);
    }
  }
  wait_signal_t* signal_ = nullptr;
};

TEST_F(PollingSignalTest, ASetBeforeTheFirstWaitIsSeenAtOnceAndStaysSet) {
  ASSERT_EQ(wait_signal_set(), 0);
  for (int round = 0; round < 2; ++round) {
    const auto start = Clock::now();
    EXPECT_EQ(wait_signal_wait(200), 1) << "round " << round;
    EXPECT_LT(ElapsedMs(start), 150) << "round " << round;
  }
  // Only a reset takes the set away again.
  ASSERT_EQ(wait_signal_reset(signal_), 0);
  EXPECT_EQ(wait_signal_wait(0), 0);
}

TEST_F(PollingSignalTest, AnUntouchedWaitTimesOutAfterItsTimeAndNotBefore) {
  const auto start = Clock::now();
  EXPECT_EQ(wait_signal_wait(200), 0);
  const long long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 200);
  EXPECT_LT(elapsed, 5000);
}

TEST_F(PollingSignalTest, AnUnlimitedWaitEndsOnASetFromAnotherThread) {
  std::atomic<bool> entered{false};
  auto waiter = std::async(std::launch::async, [&] {
    entered = true;
    return wait_signal_wait(-1);
  });
  while (!entered) std::this_thread::yield();
  // The waiter stays blocked until the set, however long that takes.
  EXPECT_EQ(waiter.wait_for(300ms), std::future_status::timeout);
  ASSERT_EQ(wait_signal_set(), 0);
  ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(waiter.get(), 1);
}

// A notify that nobody waited for leaves the auto-reset event set; after a
// reset the next wait must still last its whole time.
TEST_F(PollingSignalTest, AStaleWakeUpAfterAResetDoesNotCutAWaitShort) {
  {
    PlatformLockGuard lock(signal_->mutex);
    signal_->waiting = 1;
    ASSERT_EQ(wait_signal_notify(signal_), 0);
    signal_->waiting = 0;
  }
  ASSERT_EQ(wait_signal_reset(signal_), 0);
  const auto start = Clock::now();
  EXPECT_EQ(wait_signal_wait(200), 0);
  EXPECT_GE(ElapsedMs(start), 200);
}

TEST_F(PollingSignalTest, TakingTheSignalAwayWakesAWaiterAndWaitsUntilItLeft) {
  auto waiter = std::async(std::launch::async, [] { return wait_signal_wait(-1); });
  const auto deadline = Clock::now() + 10s;
  while (wait_signal_polling_users() == 0 && Clock::now() < deadline) std::this_thread::yield();
  ASSERT_EQ(wait_signal_polling_users(), 1);
  wait_signal_t* taken = wait_signal_take_polling();
  EXPECT_EQ(taken, signal_);
  // Once take returned, the waiter is out; the record can go.
  ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(waiter.get(), 1);
  EXPECT_EQ(wait_signal_polling_users(), 0);
  EXPECT_EQ(wait_signal_destroy(taken), 0);
  // Nothing installed now: both entry points refuse without touching a record.
  EXPECT_EQ(wait_signal_wait(0), -1);
  EXPECT_EQ(wait_signal_set(), -1);
}

TEST(WaitSignal, TimedWaitAndNotifyRefuseWithoutTheWaitingFlag) {
  wait_signal_t* signal = nullptr;
  ASSERT_EQ(wait_signal_create(&signal), 0);
  {
    PlatformLockGuard lock(signal->mutex);
    ASSERT_EQ(signal->waiting, 0);
    const auto start = Clock::now();
    EXPECT_EQ(wait_signal_timedwait(signal, 5000), -1);
    EXPECT_EQ(wait_signal_timedwait(signal, -1), -1);
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(wait_signal_notify(signal), -1);
    EXPECT_EQ(signal->state, WAIT_SIGNAL_NOT_SET);
  }
  EXPECT_EQ(wait_signal_destroy(signal), 0);
}

TEST(WaitSignal, TimedWaitReturnsTheStateTheSignalIsIn) {
  wait_signal_t* signal = nullptr;
  ASSERT_EQ(wait_signal_create(&signal), 0);
  PlatformLockGuard lock(signal->mutex);
  signal->waiting = 1;
  EXPECT_EQ(wait_signal_timedwait(signal, 0), 0);
  EXPECT_EQ(signal->waiting, 1);  // given back as the caller set it
  EXPECT_EQ(wait_signal_notify(signal), 0);
  EXPECT_EQ(wait_signal_timedwait(signal, 5000), 1);
  signal->state = WAIT_SIGNAL_CLOSED;
  EXPECT_EQ(wait_signal_timedwait(signal, 5000), 2);
  signal->state = 7;  // not a state
  EXPECT_EQ(wait_signal_timedwait(signal, 5000), -1);
  signal->state = WAIT_SIGNAL_NOT_SET;
  signal->waiting = 0;
  lock.Unlock();
  EXPECT_EQ(wait_signal_destroy(signal), 0);
}

TEST(WaitSignal, EveryOperationRefusesARecordThatIsNotALiveSignal) {
  EXPECT_EQ(wait_signal_create(nullptr), -1);
  for (uint64_t tag : {uint64_t{0}, uint64_t{39}, uint64_t{41}}) {
    SCOPED_TRACE(tag);
    wait_signal_t record{};
    record.tag = tag;
    record.waiting = 1;
    const std::pair<const char*, std::function<int()>> operations[] = {
        {"destroy", [&] { return wait_signal_destroy(&record); }},
        {"timedwait", [&] { return wait_signal_timedwait(&record, 10); }},
        {"notify", [&] { return wait_signal_notify(&record); }},
        {"reset", [&] { return wait_signal_reset(&record); }},
        {"wait", [&] { return wait_signal_wait(10); }},
        {"set", [&] { return wait_signal_set(); }},
    };
    wait_signal_install_polling(&record);
    for (const auto& [name, operation] : operations) EXPECT_EQ(operation(), -1) << name;
    EXPECT_EQ(wait_signal_take_polling(), &record);
    EXPECT_EQ(record.tag, tag);
    EXPECT_EQ(record.state, 0);
  }
  EXPECT_EQ(wait_signal_destroy(nullptr), -1);
  EXPECT_EQ(wait_signal_timedwait(nullptr, 0), -1);
  EXPECT_EQ(wait_signal_notify(nullptr), -1);
  EXPECT_EQ(wait_signal_reset(nullptr), -1);
}

class WaitSignalLogTest : public LogTest {};

TEST_F(WaitSignalLogTest, OneWaitAndOneSetWriteTheirInformationLines) {
  use_file(255);
  wait_signal_t* signal = nullptr;
  ASSERT_EQ(wait_signal_create(&signal), 0);
  wait_signal_install_polling(signal);
  EXPECT_EQ(wait_signal_wait(0), 0);
  EXPECT_EQ(wait_signal_set(), 0);
  EXPECT_EQ(wait_signal_take_polling(), signal);
  char pointer[32];
  std::snprintf(pointer, sizeof pointer, "%016" PRIXPTR, reinterpret_cast<uintptr_t>(signal));
  EXPECT_EQ(wait_signal_destroy(signal), 0);

  std::vector<std::string> lines;
  for (const auto& body : bodies())
    if (body.rfind("TDC__", 0) == 0) lines.push_back(body);
  std::string start = "TDC__,-i,0000000000000000,,,wait_signal_wait,Start.,";
  start.append(pointer);
  std::string end = "TDC__,-i,0000000000000000,,,wait_signal_wait,End.,";
  end.append(pointer).append(",0");
  std::string set = "TDC__,-i,0000000000000000,,,wait_signal_set,Set.,";
  set.append(pointer).append(",0");
  EXPECT_EQ(lines, (std::vector<std::string>{start, end, set}));
}

}  // namespace
