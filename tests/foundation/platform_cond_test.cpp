#include <gtest/gtest.h>

#include <cstdint>

#include "foundation/platform.h"

using namespace tilo2::core;

namespace {

class CondTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_cond_init(&cond_);
    platform_mutex_init(&mutex_);
    ASSERT_NE(cond_, nullptr);
  }
  void TearDown() override {
    platform_cond_destroy(&cond_);
    platform_mutex_destroy(&mutex_);
  }
  PlatformCond_t cond_ = nullptr;
  PlatformMutex_t mutex_{};
};

}  // namespace

TEST_F(CondTest, DeadlineInThePastAnswersTimedOutAtOnce) {
  ASSERT_EQ(platform_mutex_lock(&mutex_, -1), 0);
  PlatformTimeval_t now{};
  platform_gettimeofday(&now);
  const PlatformTimespec_t past{now.tv_sec - 10, 0};
  const uint64_t start = platform_tick_ms();
  EXPECT_EQ(platform_cond_timedwait(&cond_, &mutex_, &past), 138);
  EXPECT_LT(platform_tick_ms() - start, 1000u);
  // The mutex is held again afterwards, at the same depth.
  EXPECT_EQ(platform_mutex_unlock(&mutex_), 0);
  EXPECT_EQ(platform_mutex_unlock(&mutex_), 22);
}

TEST_F(CondTest, UncarriedNanosecondsAreHonoured) {
  ASSERT_EQ(platform_mutex_lock(&mutex_, -1), 0);
  // Start late in a second so that now + 400 ms leaves the nanoseconds
  // field above 999,999,999, as callers build it (no carry).
  PlatformTimeval_t now{};
  do platform_gettimeofday(&now);
  while (now.tv_usec < 700000);
  const PlatformTimespec_t deadline{now.tv_sec, 400 * 1000000 + now.tv_usec * 1000};
  ASSERT_GT(deadline.tv_nsec, 999999999);
  const uint64_t start = platform_tick_ms();
  EXPECT_EQ(platform_cond_timedwait(&cond_, &mutex_, &deadline), 138);
  EXPECT_LT(platform_tick_ms() - start, 5000u);
  // Woken no earlier than the deadline, read on the clock it was given in, so
  // a late start of this thread cannot make the wait look short. The wait is
  // counted in whole milliseconds: it may end up to one before.
  PlatformTimeval_t after{};
  platform_gettimeofday(&after);
  const int64_t deadline_us = deadline.tv_sec * 1000000 + deadline.tv_nsec / 1000;
  EXPECT_GE(after.tv_sec * 1000000 + after.tv_usec, deadline_us - 1000);
  EXPECT_EQ(platform_mutex_unlock(&mutex_), 0);
}

TEST_F(CondTest, DeadlinesFarOffInEitherDirection) {
  ASSERT_EQ(platform_mutex_lock(&mutex_, -1), 0);
  const PlatformTimespec_t far_past{INT64_MIN, 0};
  EXPECT_EQ(platform_cond_timedwait(&cond_, &mutex_, &far_past), 138);
  // A pending signal is taken at once, however distant the deadline.
  ASSERT_EQ(platform_cond_signal(&cond_), 0);
  const PlatformTimespec_t far_future{INT64_MAX, 999999999};
  EXPECT_EQ(platform_cond_timedwait(&cond_, &mutex_, &far_future), 0);
  EXPECT_EQ(platform_mutex_unlock(&mutex_), 0);
}

TEST_F(CondTest, SignalBeforeWaitIsKeptForOneWait) {
  ASSERT_EQ(platform_cond_signal(&cond_), 0);
  ASSERT_EQ(platform_mutex_lock(&mutex_, -1), 0);
  EXPECT_EQ(platform_cond_wait(&cond_, &mutex_), 0);  // returns at once
  const PlatformTimespec_t soon = platform_deadline_after(100);
  EXPECT_EQ(platform_cond_timedwait(&cond_, &mutex_, &soon), 138);  // the next one blocks
  EXPECT_EQ(platform_mutex_unlock(&mutex_), 0);
}

TEST_F(CondTest, WaiterReleasesARecursivelyHeldStaticMutex) {
  static PlatformMutex_t shared = PLATFORM_MUTEX_STATIC_INITIALIZER;
  struct Args {
    PlatformCond_t* cond;
    int seen;
  } args{&cond_, 0};
  ASSERT_EQ(platform_mutex_lock(&shared, -1), 0);
  ASSERT_EQ(platform_mutex_lock(&shared, -1), 0);
  auto signaller = [](void* raw) -> void* {
    auto* a = static_cast<Args*>(raw);
    // Can take the mutex only while the waiter has released it.
    if (platform_mutex_lock(&shared, 30000) == 0) {
      a->seen = 1;
      platform_cond_signal(a->cond);
      platform_mutex_unlock(&shared);
    }
    return nullptr;
  };
  PlatformThread_t t = nullptr;
  ASSERT_EQ(platform_thread_create(&t, signaller, &args), 0);
  const PlatformTimespec_t deadline = platform_deadline_after(30000);
  EXPECT_EQ(platform_cond_timedwait(&cond_, &shared, &deadline), 0);
  EXPECT_EQ(args.seen, 1);
  platform_thread_join(t);
  platform_thread_close(t);
  EXPECT_EQ(shared.users, 2);  // our two locks; the signaller has left
  EXPECT_EQ(platform_mutex_unlock(&shared), 0);
  EXPECT_EQ(platform_mutex_unlock(&shared), 0);
  EXPECT_EQ(shared.handle, nullptr);
}

TEST_F(CondTest, MissingArgumentsAnswerWithoutWaiting) {
  PlatformTimespec_t deadline = platform_deadline_after(0);
  EXPECT_EQ(platform_cond_timedwait(nullptr, &mutex_, &deadline), 4);
  EXPECT_EQ(platform_cond_timedwait(&cond_, nullptr, &deadline), 4);
  EXPECT_EQ(platform_cond_timedwait(&cond_, &mutex_, nullptr), 4);
  EXPECT_EQ(platform_cond_wait(nullptr, &mutex_), 0);
  PlatformMutex_t no_handle{};
  EXPECT_EQ(platform_cond_wait(&cond_, &no_handle), 0);
  EXPECT_EQ(platform_cond_destroy(nullptr), 16);
  PlatformCond_t none = nullptr;
  EXPECT_EQ(platform_cond_destroy(&none), 16);
}
