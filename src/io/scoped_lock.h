#pragma once
// Holds one of the connection layer's process-wide locks for a scope. The lock
// function answers 0 when it got the lock; a failed lock is never released.

template <int (*Lock)(), int (*Unlock)()>
class ScopedLock {
 public:
  ScopedLock() : locked_(Lock() == 0) {}
  ~ScopedLock() {
    if (locked_) Unlock();
  }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;
  explicit operator bool() const { return locked_; }

 private:
  bool locked_;
};
