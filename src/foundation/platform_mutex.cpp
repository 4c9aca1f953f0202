// Mutexes of the wrapper. A static mutex creates its OS mutex on the first
// lock and closes it when the last user leaves; one process-local lock guards
// that creation, the user count and the closing (never held while waiting).
#include <mutex>

#include "foundation/platform.h"
#include "foundation/platform_os_sync.h"

namespace tilo2::core {

namespace {

std::mutex& platform_global_lock() {
  static std::mutex lock;
  return lock;
}

// Drops one user of a static mutex; closes its OS mutex when it was the last.
// Called with the global lock held.
void DropStaticUser(PlatformMutex_t* mutex) {
  if (--mutex->users <= 0) {
    mutex->users = 0;
    platform_os::MutexClose(mutex->handle);
    mutex->handle = nullptr;
  }
}

int LockStatic(PlatformMutex_t* mutex, int milliseconds) {
  PlatformOsMutex* os = nullptr;
  {
    std::lock_guard<std::mutex> global(platform_global_lock());
    if (mutex->handle == nullptr) {
      mutex->handle = platform_os::MutexCreate();
      if (mutex->handle == nullptr) return PLATFORM_LOCK_FAILED;
    }
    ++mutex->users;
    os = mutex->handle;
  }
  const auto w = platform_os::MutexAcquire(os, milliseconds);
  if (w == platform_os::Wait::kAcquired) return PLATFORM_OK;
  std::lock_guard<std::mutex> global(platform_global_lock());
  DropStaticUser(mutex);
  return w == platform_os::Wait::kTimedOut ? PLATFORM_LOCK_TIMEOUT : PLATFORM_LOCK_FAILED;
}

int UnlockStatic(PlatformMutex_t* mutex) {
  std::lock_guard<std::mutex> global(platform_global_lock());
  if (mutex->handle == nullptr || !platform_os::MutexRelease(mutex->handle)) return PLATFORM_EINVAL;
  DropStaticUser(mutex);
  return PLATFORM_OK;
}

}  // namespace

int platform_mutex_init(PlatformMutex_t* mutex) {
  if (mutex == nullptr || mutex->kind == PLATFORM_MUTEX_STATIC) return PLATFORM_OK;
  mutex->users = 0;
  mutex->handle = platform_os::MutexCreate();
  mutex->kind = mutex->handle != nullptr ? PLATFORM_MUTEX_CREATED : 0;
  return PLATFORM_OK;
}

int platform_mutex_destroy(PlatformMutex_t* mutex) {
  if (mutex == nullptr) return PLATFORM_EBUSY;
  if (mutex->kind == PLATFORM_MUTEX_STATIC) {
    std::lock_guard<std::mutex> global(platform_global_lock());
    return mutex->handle != nullptr ? PLATFORM_OK : PLATFORM_EBUSY;
  }
  if (mutex->handle == nullptr || mutex->kind != PLATFORM_MUTEX_CREATED) return PLATFORM_EBUSY;
  platform_os::MutexClose(mutex->handle);
  mutex->handle = nullptr;
  return PLATFORM_OK;
}

int platform_mutex_lock(PlatformMutex_t* mutex, int milliseconds) {
  if (mutex == nullptr) return PLATFORM_LOCK_FAILED;
  if (mutex->kind == PLATFORM_MUTEX_STATIC) return LockStatic(mutex, milliseconds);
  if (mutex->kind != PLATFORM_MUTEX_CREATED || mutex->handle == nullptr)
    return PLATFORM_LOCK_FAILED;
  switch (platform_os::MutexAcquire(mutex->handle, milliseconds)) {
    case platform_os::Wait::kAcquired:
      return PLATFORM_OK;
    case platform_os::Wait::kTimedOut:
      return PLATFORM_LOCK_TIMEOUT;
    default:
      return PLATFORM_LOCK_FAILED;
  }
}

int platform_mutex_trylock(PlatformMutex_t* mutex) {
  if (mutex == nullptr) return PLATFORM_EINVAL;
  switch (platform_mutex_lock(mutex, 0)) {
    case PLATFORM_OK:
      return PLATFORM_OK;
    case PLATFORM_LOCK_TIMEOUT:
      return PLATFORM_EBUSY;
    default:
      return PLATFORM_EINVAL;
  }
}

int platform_mutex_unlock(PlatformMutex_t* mutex) {
  if (mutex == nullptr) return PLATFORM_EINVAL;
  if (mutex->kind == PLATFORM_MUTEX_STATIC) return UnlockStatic(mutex);
  if (mutex->kind != PLATFORM_MUTEX_CREATED || mutex->handle == nullptr) return PLATFORM_EINVAL;
  return platform_os::MutexRelease(mutex->handle) ? PLATFORM_OK : PLATFORM_EINVAL;
}

}  // namespace tilo2::core
