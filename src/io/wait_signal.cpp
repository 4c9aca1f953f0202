// The signal object of the discovery engine and the process-wide polling
// signal. A set is remembered in the state word, so a waiter that comes after
// the set still sees it; the event only wakes a waiter that is already asleep.

#include "io/wait_signal.h"

#include <new>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"

namespace tilo2::core {

namespace {

constexpr const char* kTag = "TDC__";

bool Valid(const wait_signal_t* signal) { return signal && signal->tag == kWaitSignalTag; }

// The polling signal's slot. Callers of wait_signal_wait and wait_signal_set
// count themselves in under the slot lock, so the owner can take the record
// away and destroy it only after the last of them has left.
PlatformMutex_t g_slotLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
wait_signal_t* g_polling = nullptr;
int g_slotUsers = 0;
PlatformCond_t g_slotIdle = nullptr;  // set when the last user leaves; lives with the process

wait_signal_t* EnterSlot() {
  PlatformLockGuard lock(g_slotLock);
  if (!lock || !g_polling) return nullptr;
  ++g_slotUsers;
  return g_polling;
}

void LeaveSlot() {
  PlatformLockGuard lock(g_slotLock);
  if (--g_slotUsers == 0 && g_slotIdle) platform_cond_signal(&g_slotIdle);
}

void LogInfo(const char* function, const char* text, const void* signal, int result,
             bool withResult) {
  if (withResult) {
    log_trace(kTag, LOG_TRACE_INFO, nullptr, 0, function, LOG_ARG_STRING, text, LOG_ARG_POINTER,
              signal, LOG_ARG_INT, result, LOG_ARG_END);
  } else {
    log_trace(kTag, LOG_TRACE_INFO, nullptr, 0, function, LOG_ARG_STRING, text, LOG_ARG_POINTER,
              signal, LOG_ARG_END);
  }
}

}  // namespace

int wait_signal_create(wait_signal_t** out) {
  if (!out) return -1;
  auto* signal = new (std::nothrow) wait_signal_t{};
  if (!signal) return -1;
  platform_mutex_init(&signal->mutex);
  platform_cond_init(&signal->event);
  if (signal->mutex.kind != PLATFORM_MUTEX_CREATED || !signal->event) {
    if (signal->event) platform_cond_destroy(&signal->event);
    if (signal->mutex.kind == PLATFORM_MUTEX_CREATED) platform_mutex_destroy(&signal->mutex);
    delete signal;
    return -1;
  }
  signal->tag = kWaitSignalTag;
  signal->state = WAIT_SIGNAL_NOT_SET;
  signal->waiting = 0;
  *out = signal;
  return 0;
}

int wait_signal_destroy(wait_signal_t* signal) {
  if (!Valid(signal)) return -1;
  {
    PlatformLockGuard lock(signal->mutex);
    signal->state = WAIT_SIGNAL_CLOSED;
    platform_cond_signal(&signal->event);
  }
  platform_cond_destroy(&signal->event);
  platform_mutex_destroy(&signal->mutex);
  signal->tag = 0;
  delete signal;
  return 0;
}

int wait_signal_timedwait(wait_signal_t* signal, int milliseconds) {
  if (!Valid(signal) || signal->waiting == 0) return -1;
  PlatformTimeval_t now{};
  if (platform_gettimeofday(&now) != 0) return -1;
  if (signal->state == WAIT_SIGNAL_NOT_SET) {
    signal->waiting = 0;
    // The event may still carry a set that nobody waited for (auto-reset), or
    // a wake-up that the state no longer reflects after a reset: go on
    // waiting until the state changes or the deadline passes, so a wait
    // never ends early with "timed out".
    if (milliseconds < 0) {
      while (signal->state == WAIT_SIGNAL_NOT_SET)
        platform_cond_wait(&signal->event, &signal->mutex);
    } else {
      const int64_t micros = static_cast<int64_t>(milliseconds % 1000) * 1000 + now.tv_usec;
      const int64_t endSec = now.tv_sec + milliseconds / 1000;
      const int64_t endMicros = micros;  // may exceed one second: not carried
      // The wait rounds its remaining time down to whole milliseconds; asking
      // for 999 us more keeps it from ending before the deadline.
      const PlatformTimespec_t deadline{endSec, static_cast<int32_t>((micros + 999) * 1000)};
      const auto reached = [&] {
        PlatformTimeval_t t{};
        platform_gettimeofday(&t);
        return (t.tv_sec - endSec) * 1000000 + t.tv_usec - endMicros >= 0;
      };
      while (signal->state == WAIT_SIGNAL_NOT_SET) {
        const int rc = platform_cond_timedwait(&signal->event, &signal->mutex, &deadline);
        if (rc != PLATFORM_OK && (rc != PLATFORM_ETIMEDOUT || reached())) break;
      }
    }
    signal->waiting = 1;
  }
  const int state = signal->state;
  if (state < WAIT_SIGNAL_NOT_SET || state > WAIT_SIGNAL_CLOSED) return -1;
  return state;
}

int wait_signal_notify(wait_signal_t* signal) {
  if (!Valid(signal) || signal->waiting == 0) return -1;
  signal->state = WAIT_SIGNAL_SET;
  platform_cond_signal(&signal->event);
  return 0;
}

int wait_signal_reset(wait_signal_t* signal) {
  if (!Valid(signal)) return -1;
  PlatformLockGuard lock(signal->mutex);
  signal->waiting = 1;
  signal->state = WAIT_SIGNAL_NOT_SET;
  // A set that nobody waited for would otherwise wake the next wait for nothing.
  platform_cond_reset(&signal->event);
  signal->waiting = 0;
  return 0;
}

int wait_signal_wait(int milliseconds) {
  wait_signal_t* signal = EnterSlot();
  LogInfo("wait_signal_wait", "Start.", signal, 0, false);
  int result = -1;
  if (Valid(signal)) {
    PlatformLockGuard lock(signal->mutex);
    if (lock && Valid(signal)) {
      signal->waiting = 1;
      result = wait_signal_timedwait(signal, milliseconds);
      signal->waiting = 0;
    }
  }
  LogInfo("wait_signal_wait", "End.", signal, result, true);
  if (signal) LeaveSlot();
  return result;
}

int wait_signal_set() {
  wait_signal_t* signal = EnterSlot();
  int result = -1;
  if (Valid(signal)) {
    PlatformLockGuard lock(signal->mutex);
    if (lock && Valid(signal)) {
      signal->waiting = 1;
      signal->state = WAIT_SIGNAL_SET;
      platform_cond_signal(&signal->event);
      result = 0;
      LogInfo("wait_signal_set", "Set.", signal, result, true);
      signal->waiting = 0;
    }
  }
  if (signal) LeaveSlot();
  return result;
}

void wait_signal_install_polling(wait_signal_t* signal) {
  PlatformLockGuard lock(g_slotLock);
  if (!g_slotIdle) platform_cond_init(&g_slotIdle);
  g_polling = signal;
}

wait_signal_t* wait_signal_take_polling() {
  PlatformLockGuard lock(g_slotLock);
  wait_signal_t* signal = g_polling;
  g_polling = nullptr;
  while (signal && g_slotUsers > 0) {
    // Whoever still waits on it wakes now; nobody new can enter.
    if (Valid(signal)) {
      PlatformLockGuard signalLock(signal->mutex);
      signal->state = WAIT_SIGNAL_SET;
      platform_cond_signal(&signal->event);
    }
    if (!g_slotIdle) break;
    platform_cond_wait(&g_slotIdle, &g_slotLock);
  }
  return signal;
}

int wait_signal_polling_users() {
  PlatformLockGuard lock(g_slotLock);
  return g_slotUsers;
}

}  // namespace tilo2::core
