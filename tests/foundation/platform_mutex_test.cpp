#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "foundation/lock_guard.h"
#include "foundation/platform.h"

using namespace tilo2::core;

namespace {

struct HoldArgs {
  PlatformMutex_t* mutex;
  PlatformCond_t locked;   // raised once the holder has the lock
  PlatformCond_t release;  // raised to let the holder unlock
};

void* hold_until_released(void* raw) {
  auto* a = static_cast<HoldArgs*>(raw);
  platform_mutex_lock(a->mutex, -1);
  platform_cond_signal(&a->locked);
  platform_cond_wait_ms(&a->release, 30000);
  platform_mutex_unlock(a->mutex);
  return nullptr;
}

class HeldByOtherThread {
 public:
  explicit HeldByOtherThread(PlatformMutex_t* m) {
    args_.mutex = m;
    platform_cond_init(&args_.locked);
    platform_cond_init(&args_.release);
    EXPECT_EQ(platform_thread_create(&thread_, hold_until_released, &args_), 0);
    EXPECT_EQ(platform_cond_wait_ms(&args_.locked, 30000), 0);
  }
  ~HeldByOtherThread() {
    platform_cond_signal(&args_.release);
    platform_thread_join(thread_);
    platform_thread_close(thread_);
    platform_cond_destroy(&args_.locked);
    platform_cond_destroy(&args_.release);
  }

 private:
  HoldArgs args_{};
  PlatformThread_t thread_ = nullptr;
};

}  // namespace

TEST(PlatformMutex, StaticMutexCreatesOnFirstLockAndClosesOnLastUnlock) {
  PlatformMutex_t m = PLATFORM_MUTEX_STATIC_INITIALIZER;
  EXPECT_EQ(platform_mutex_destroy(&m), 16);  // no OS mutex yet
  ASSERT_EQ(platform_mutex_lock(&m, -1), 0);
  EXPECT_NE(m.handle, nullptr);
  EXPECT_EQ(m.users, 1);
  ASSERT_EQ(platform_mutex_lock(&m, 0), 0);  // recursive
  EXPECT_EQ(m.users, 2);
  EXPECT_EQ(platform_mutex_destroy(&m), 0);  // a static one with an OS mutex is left alone
  EXPECT_NE(m.handle, nullptr);
  EXPECT_EQ(platform_mutex_unlock(&m), 0);
  EXPECT_NE(m.handle, nullptr);
  EXPECT_EQ(platform_mutex_unlock(&m), 0);
  EXPECT_EQ(m.handle, nullptr);
  EXPECT_EQ(m.users, 0);
  EXPECT_EQ(m.kind, PLATFORM_MUTEX_STATIC);
  EXPECT_EQ(platform_mutex_unlock(&m), 22);  // nothing to release
}

TEST(PlatformMutex, TimedOutLockGivesBackItsUserCount) {
  PlatformMutex_t m = PLATFORM_MUTEX_STATIC_INITIALIZER;
  {
    HeldByOtherThread holder(&m);
    EXPECT_EQ(m.users, 1);
    EXPECT_EQ(platform_mutex_lock(&m, 0), 1);
    EXPECT_EQ(m.users, 1);
    EXPECT_EQ(platform_mutex_trylock(&m), 16);
    EXPECT_EQ(platform_mutex_lock(&m, 50), 1);
    EXPECT_EQ(m.users, 1);
    EXPECT_EQ(platform_mutex_unlock(&m), 22);  // not the owner: nothing released
  }
  EXPECT_EQ(m.users, 0);
  EXPECT_EQ(m.handle, nullptr);
  // A later lock makes a fresh OS mutex.
  EXPECT_EQ(platform_mutex_trylock(&m), 0);
  EXPECT_NE(m.handle, nullptr);
  EXPECT_EQ(platform_mutex_unlock(&m), 0);
  EXPECT_EQ(m.handle, nullptr);
}

TEST(PlatformMutex, CreatedMutexLifecycleAndErrors) {
  PlatformMutex_t m{};
  EXPECT_EQ(platform_mutex_init(&m), 0);
  EXPECT_EQ(m.kind, PLATFORM_MUTEX_CREATED);
  EXPECT_EQ(platform_mutex_lock(&m, -1), 0);
  EXPECT_EQ(platform_mutex_lock(&m, -1), 0);
  EXPECT_EQ(platform_mutex_unlock(&m), 0);
  EXPECT_EQ(platform_mutex_unlock(&m), 0);
  EXPECT_EQ(platform_mutex_unlock(&m), 22);
  EXPECT_EQ(platform_mutex_destroy(&m), 0);
  EXPECT_EQ(m.handle, nullptr);
  EXPECT_EQ(platform_mutex_destroy(&m), 16);
  EXPECT_EQ(platform_mutex_lock(&m, 0), 255);
  EXPECT_EQ(platform_mutex_trylock(&m), 22);

  PlatformMutex_t failed{};  // as left by a failed init
  EXPECT_EQ(platform_mutex_lock(&failed, 0), 255);
  EXPECT_EQ(platform_mutex_lock(nullptr, 0), 255);
  EXPECT_EQ(platform_mutex_trylock(nullptr), 22);
  EXPECT_EQ(platform_mutex_unlock(nullptr), 22);
  EXPECT_EQ(platform_mutex_destroy(nullptr), 16);
  EXPECT_EQ(platform_mutex_init(nullptr), 0);
}

TEST(PlatformMutex, ManyThreadsShareAStaticMutex) {
  static PlatformMutex_t m = PLATFORM_MUTEX_STATIC_INITIALIZER;
  static int counter = 0;
  counter = 0;
  auto body = [](void*) -> void* {
    for (int i = 0; i < 2000; ++i) {
      if (platform_mutex_lock(&m, -1) != 0) return nullptr;
      ++counter;
      platform_mutex_unlock(&m);
    }
    return nullptr;
  };
  PlatformThread_t threads[4]{};
  for (auto& t : threads) ASSERT_EQ(platform_thread_create(&t, body, nullptr), 0);
  for (auto& t : threads) {
    EXPECT_EQ(platform_thread_join(t), 0);
    EXPECT_EQ(platform_thread_join(t), 0);  // a second join answers at once
    EXPECT_EQ(platform_thread_close(t), 0);
  }
  EXPECT_EQ(counter, 8000);
  EXPECT_EQ(m.users, 0);
  EXPECT_EQ(m.handle, nullptr);
}

// PlatformLockGuard over the same mutexes: what it holds it releases once, what
// it failed to take it never releases.
TEST(PlatformLockGuard, TryOnAMutexHeldElsewhereAnswers16AndReleasesNothing) {
  PlatformMutex_t m = PLATFORM_MUTEX_STATIC_INITIALIZER;
  {
    HeldByOtherThread holder(&m);
    {
      const PlatformLockGuard busy = PlatformLockGuard::Try(m);
      EXPECT_FALSE(busy.Owns());
      EXPECT_EQ(busy.Result(), 16);
    }
    // Still the other thread's: a release by the guard would have let this in.
    EXPECT_EQ(platform_mutex_lock(&m, 0), 1);
    EXPECT_EQ(m.users, 1);
  }
  EXPECT_EQ(m.users, 0);
  const PlatformLockGuard free = PlatformLockGuard::Try(m);
  EXPECT_TRUE(free.Owns());
  EXPECT_EQ(free.Result(), 0);
}

TEST(PlatformLockGuard, LimitedWaitTimesOutWith1) {
  PlatformMutex_t m = PLATFORM_MUTEX_STATIC_INITIALIZER;
  HeldByOtherThread holder(&m);
  const uint64_t start = platform_tick_ms();
  const PlatformLockGuard late(m, 100);
  EXPECT_GE(platform_tick_ms() - start, 95u);
  EXPECT_FALSE(late);
  EXPECT_EQ(late.Result(), 1);
  EXPECT_EQ(m.users, 1);  // only the holder
}

TEST(PlatformLockGuard, EarlyUnlockReleasesOnceOnly) {
  PlatformMutex_t m = PLATFORM_MUTEX_STATIC_INITIALIZER;
  ASSERT_EQ(platform_mutex_lock(&m, -1), 0);  // this thread's own level, under the guard's
  {
    PlatformLockGuard guard(m);
    ASSERT_TRUE(guard.Owns());
    EXPECT_EQ(m.users, 2);
    guard.Unlock();
    EXPECT_EQ(guard.Result(), -1);
    EXPECT_EQ(m.users, 1);
    guard.Unlock();  // a second call releases nothing more
    EXPECT_EQ(m.users, 1);
  }
  // Neither the second Unlock nor the destructor took this thread's own level.
  EXPECT_EQ(m.users, 1);
  int other = -1;
  std::thread([&] { other = platform_mutex_trylock(&m); }).join();
  EXPECT_EQ(other, 16);
  EXPECT_EQ(platform_mutex_unlock(&m), 0);
  EXPECT_EQ(m.handle, nullptr);
  std::thread([&] {
    other = platform_mutex_trylock(&m) == 0 ? platform_mutex_unlock(&m) : -1;
  }).join();
  EXPECT_EQ(other, 0);
}
