#pragma once
// Holds a PlatformMutex_t for a scope: the one guard of the core. A lock that
// failed is never released; result() tells why it failed.

#include "foundation/platform.h"

namespace tilo2::core {

class PlatformLockGuard {
 public:
  // Waits up to milliseconds (negative: without limit) for the mutex.
  explicit PlatformLockGuard(PlatformMutex_t& mutex, int milliseconds = -1)
      : mutex_(&mutex), result_(platform_mutex_lock(&mutex, milliseconds)) {}

  // Takes the mutex only if no other thread holds it (result 16 when busy).
  static PlatformLockGuard Try(PlatformMutex_t& mutex) {
    return PlatformLockGuard(mutex, TryTag{});
  }

  ~PlatformLockGuard() { Unlock(); }
  PlatformLockGuard(PlatformLockGuard&& other) noexcept
      : mutex_(other.mutex_), result_(other.result_) {
    other.result_ = -1;
  }
  PlatformLockGuard(const PlatformLockGuard&) = delete;
  PlatformLockGuard& operator=(const PlatformLockGuard&) = delete;
  PlatformLockGuard& operator=(PlatformLockGuard&&) = delete;

  bool Owns() const { return result_ == PLATFORM_OK; }
  explicit operator bool() const { return Owns(); }
  // The lock call's result: 0 held, 1 timed out, 16 busy (Try), 22 or 255 failed;
  // -1 once released.
  int Result() const { return result_; }

  // Releases early; later calls and the destructor do nothing.
  void Unlock() {
    if (result_ == PLATFORM_OK) platform_mutex_unlock(mutex_);
    result_ = -1;
  }

 private:
  struct TryTag {};
  PlatformLockGuard(PlatformMutex_t& mutex, TryTag)
      : mutex_(&mutex), result_(platform_mutex_trylock(&mutex)) {}

  PlatformMutex_t* mutex_;
  int result_;
};

}  // namespace tilo2::core
