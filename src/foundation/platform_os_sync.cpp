// OS objects behind the wrapper's mutexes and events.
#include "foundation/platform_os_sync.h"

#include <cerrno>
#include <ctime>
#include <new>

namespace tilo2::core {

namespace {

bool InitMonotonicCond(pthread_cond_t* cond) {
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) return false;
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  const bool ok = pthread_cond_init(cond, &attr) == 0;
  pthread_condattr_destroy(&attr);
  return ok;
}

// A guard mutex with its condition variable; false (nothing left behind) on failure.
bool InitGuardPair(pthread_mutex_t* guard, pthread_cond_t* cond) {
  if (pthread_mutex_init(guard, nullptr) != 0) return false;
  if (InitMonotonicCond(cond)) return true;
  pthread_mutex_destroy(guard);
  return false;
}

// Allocates an OS object and its guard pair, or answers null.
template <typename T>
T* CreateObject(pthread_cond_t T::*cond) {
  auto* obj = new (std::nothrow) T{};
  if (obj != nullptr && !InitGuardPair(&obj->guard, &(obj->*cond))) {
    delete obj;
    obj = nullptr;
  }
  return obj;
}

timespec MonotonicDeadline(int64_t milliseconds) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += static_cast<time_t>(milliseconds / 1000);
  ts.tv_nsec += static_cast<long>((milliseconds % 1000) * 1000000);
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

// Waits on cond until ready() holds or the time runs out; called with guard held.
template <typename Ready>
platform_os::Wait WaitUntilReady(pthread_cond_t* cond, pthread_mutex_t* guard, int64_t milliseconds,
                                 Ready ready) {
  if (milliseconds < 0) {
    while (!ready()) pthread_cond_wait(cond, guard);
    return platform_os::Wait::kAcquired;
  }
  const timespec deadline = MonotonicDeadline(milliseconds);
  while (!ready()) {
    const int rc = pthread_cond_timedwait(cond, guard, &deadline);
    if (rc == ETIMEDOUT)
      return ready() ? platform_os::Wait::kAcquired : platform_os::Wait::kTimedOut;
    if (rc != 0 && rc != EINTR) return platform_os::Wait::kFailed;
  }
  return platform_os::Wait::kAcquired;
}

}  // namespace

namespace platform_os {

PlatformOsMutex* MutexCreate() { return CreateObject(&PlatformOsMutex::released); }

void MutexClose(PlatformOsMutex* m) {
  if (m == nullptr) return;
  pthread_cond_destroy(&m->released);
  pthread_mutex_destroy(&m->guard);
  delete m;
}

Wait MutexAcquire(PlatformOsMutex* m, int64_t milliseconds) {
  const pthread_t self = pthread_self();
  pthread_mutex_lock(&m->guard);
  if (m->depth > 0 && pthread_equal(m->owner, self)) {
    ++m->depth;
    pthread_mutex_unlock(&m->guard);
    return Wait::kAcquired;
  }
  const Wait w =
      WaitUntilReady(&m->released, &m->guard, milliseconds, [m] { return m->depth == 0; });
  if (w == Wait::kAcquired) {
    m->owner = self;
    m->depth = 1;
  }
  pthread_mutex_unlock(&m->guard);
  return w;
}

bool MutexRelease(PlatformOsMutex* m) {
  pthread_mutex_lock(&m->guard);
  const bool owner = m->depth > 0 && pthread_equal(m->owner, pthread_self());
  if (owner && --m->depth == 0) pthread_cond_signal(&m->released);
  pthread_mutex_unlock(&m->guard);
  return owner;
}

uint32_t MutexReleaseAll(PlatformOsMutex* m) {
  pthread_mutex_lock(&m->guard);
  uint32_t held = 0;
  if (m->depth > 0 && pthread_equal(m->owner, pthread_self())) {
    held = m->depth;
    m->depth = 0;
    pthread_cond_signal(&m->released);
  }
  pthread_mutex_unlock(&m->guard);
  return held;
}

void MutexRestore(PlatformOsMutex* m, uint32_t depth) {
  if (depth == 0) return;
  pthread_mutex_lock(&m->guard);
  while (m->depth != 0) pthread_cond_wait(&m->released, &m->guard);
  m->owner = pthread_self();
  m->depth = depth;
  pthread_mutex_unlock(&m->guard);
}

PlatformOsEvent* EventCreate() { return CreateObject(&PlatformOsEvent::raised); }

void EventClose(PlatformOsEvent* e) {
  if (e == nullptr) return;
  pthread_cond_destroy(&e->raised);
  pthread_mutex_destroy(&e->guard);
  delete e;
}

void EventSet(PlatformOsEvent* e) {
  pthread_mutex_lock(&e->guard);
  e->signalled = true;
  pthread_cond_signal(&e->raised);
  pthread_mutex_unlock(&e->guard);
}

void EventReset(PlatformOsEvent* e) {
  pthread_mutex_lock(&e->guard);
  e->signalled = false;
  pthread_mutex_unlock(&e->guard);
}

Wait EventWait(PlatformOsEvent* e, int64_t milliseconds) {
  pthread_mutex_lock(&e->guard);
  const Wait w = WaitUntilReady(&e->raised, &e->guard, milliseconds, [e] { return e->signalled; });
  if (w == Wait::kAcquired) e->signalled = false;  // auto-reset: one waiter takes it
  pthread_mutex_unlock(&e->guard);
  return w;
}

}  // namespace platform_os

}  // namespace tilo2::core
