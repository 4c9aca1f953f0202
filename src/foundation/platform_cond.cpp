// Auto-reset events standing in for condition variables. A wait releases the
// caller's mutex, waits for the event, then takes the mutex back; a signal
// given before the wait starts is kept by the event, so none is lost.
#include <algorithm>
#include <climits>

#include "foundation/platform.h"
#include "foundation/platform_os_sync.h"

namespace tilo2::core {

namespace {

// The OS mutex of a record, or null. The caller holds the mutex, so a static
// one keeps its OS mutex for the whole wait (its user count is not dropped).
PlatformOsMutex* OsMutexOf(PlatformMutex_t* mutex) {
  if (mutex->kind != PLATFORM_MUTEX_STATIC && mutex->kind != PLATFORM_MUTEX_CREATED) return nullptr;
  return mutex->handle;
}

platform_os::Wait WaitReleasing(PlatformOsEvent* event, PlatformOsMutex* os, int64_t milliseconds) {
  const uint32_t depth = platform_os::MutexReleaseAll(os);
  const auto w = platform_os::EventWait(event, milliseconds);
  platform_os::MutexRestore(os, depth);
  return w;
}

}  // namespace

int platform_cond_init(PlatformCond_t* cond) {
  if (cond != nullptr) *cond = platform_os::EventCreate();
  return PLATFORM_OK;
}

int platform_cond_destroy(PlatformCond_t* cond) {
  if (cond == nullptr || *cond == nullptr) return PLATFORM_EBUSY;
  platform_os::EventClose(*cond);
  *cond = nullptr;
  return PLATFORM_OK;
}

int platform_cond_signal(PlatformCond_t* cond) {
  if (cond == nullptr || *cond == nullptr) return PLATFORM_EINVAL;
  platform_os::EventSet(*cond);
  return PLATFORM_OK;
}

int platform_cond_reset(PlatformCond_t* cond) {
  if (cond == nullptr || *cond == nullptr) return PLATFORM_EINVAL;
  platform_os::EventReset(*cond);
  return PLATFORM_OK;
}

int platform_cond_wait_ms(PlatformCond_t* cond, int milliseconds) {
  if (cond == nullptr || *cond == nullptr) return PLATFORM_EINVAL;
  return platform_os::EventWait(*cond, milliseconds) == platform_os::Wait::kAcquired
             ? PLATFORM_OK
             : PLATFORM_ETIMEDOUT;
}

int platform_cond_wait(PlatformCond_t* cond, PlatformMutex_t* mutex) {
  if (cond == nullptr || *cond == nullptr || mutex == nullptr) return PLATFORM_OK;
  PlatformOsMutex* os = OsMutexOf(mutex);
  if (os == nullptr) return PLATFORM_OK;
  WaitReleasing(*cond, os, -1);
  return PLATFORM_OK;
}

int platform_cond_timedwait(PlatformCond_t* cond, PlatformMutex_t* mutex,
                            const PlatformTimespec_t* deadline) {
  if (cond == nullptr || *cond == nullptr || mutex == nullptr || deadline == nullptr) {
    return PLATFORM_EINTR;
  }
  PlatformOsMutex* os = OsMutexOf(mutex);
  if (os == nullptr) return PLATFORM_EINTR;
  PlatformTimeval_t now{};
  platform_gettimeofday(&now);
  // 64-bit arithmetic: the sub-second difference may be negative and the
  // nanoseconds field may be uncarried (up to 1,998,999,000). The seconds are
  // bounded first, so a deadline far off in either direction cannot overflow.
  constexpr int64_t kSecondsBound = INT32_MAX / 1000 + 2;
  const int64_t seconds =
      std::clamp<int64_t>(deadline->tv_sec, now.tv_sec - kSecondsBound, now.tv_sec + kSecondsBound);
  int64_t ms = (seconds - now.tv_sec) * 1000 + (static_cast<int64_t>(deadline->tv_nsec) -
                                                static_cast<int64_t>(now.tv_usec) * 1000) /
                                                   1000000;
  ms = std::clamp<int64_t>(ms, 0, INT32_MAX);
  switch (WaitReleasing(*cond, os, ms)) {
    case platform_os::Wait::kAcquired:
      return PLATFORM_OK;
    case platform_os::Wait::kTimedOut:
      return PLATFORM_ETIMEDOUT;
    default:
      return PLATFORM_EINTR;
  }
}

}  // namespace tilo2::core
