#pragma once
// The OS objects behind PlatformMutex_t and PlatformCond_t. Built on a plain
// pthread mutex and a condition variable on the monotonic clock, so that
// recursion, timed locks and auto-reset events behave the same everywhere.

#include <pthread.h>

#include <cstdint>

namespace tilo2::core {

struct PlatformOsMutex {
  pthread_mutex_t guard;
  pthread_cond_t released;  // monotonic clock
  pthread_t owner;
  uint32_t depth;  // 0 = free
};

struct PlatformOsEvent {
  pthread_mutex_t guard;
  pthread_cond_t raised;  // monotonic clock
  bool signalled;
};

namespace platform_os {

// Results of the waits below.
enum class Wait { kAcquired, kTimedOut, kFailed };

PlatformOsMutex* MutexCreate();
void MutexClose(PlatformOsMutex* m);
// milliseconds < 0 waits without limit.
Wait MutexAcquire(PlatformOsMutex* m, int64_t milliseconds);
bool MutexRelease(PlatformOsMutex* m);
// Releases every recursion level the caller holds and answers how many (0 when
// the caller is not the owner); MutexRestore takes them back.
uint32_t MutexReleaseAll(PlatformOsMutex* m);
void MutexRestore(PlatformOsMutex* m, uint32_t depth);

PlatformOsEvent* EventCreate();
void EventClose(PlatformOsEvent* e);
void EventSet(PlatformOsEvent* e);
void EventReset(PlatformOsEvent* e);
Wait EventWait(PlatformOsEvent* e, int64_t milliseconds);

}  // namespace platform_os

}  // namespace tilo2::core
