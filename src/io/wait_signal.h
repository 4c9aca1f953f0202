#pragma once
// A small wake-up object of the discovery engine: a mutex, an auto-reset event
// and a state word that remembers a set (or a close) for a waiter that comes
// later. The engine keeps two: the process-wide polling signal, on which the
// polling thread sleeps between polls, and the found-list signal of the
// notify thread. Every operation checks the record's tag first and answers -1
// for a record that is not a live signal. Results are int.

#include <cstdint>

#include "foundation/platform.h"

namespace tilo2::core {

inline constexpr uint64_t kWaitSignalTag = 40;

enum : int32_t {
  WAIT_SIGNAL_NOT_SET = 0,
  WAIT_SIGNAL_SET = 1,
  WAIT_SIGNAL_CLOSED = 2,
};

struct wait_signal_t {
  uint64_t tag;           // 40 while valid, 0 once destroyed
  PlatformMutex_t mutex;  // guards state and waiting
  PlatformCond_t event;   // auto-reset, created not set
  int32_t state;          // WAIT_SIGNAL_*
  int32_t waiting;        // 1 while a caller holds the mutex through an operation
};

// 0 with a new signal (state 0) in *out; -1 for a null out or when memory, the
// mutex or the event cannot be had (nothing stays allocated then).
int wait_signal_create(wait_signal_t** out);
// Closes the signal (state 2, event set) and frees it: the owner makes sure no
// thread is still inside a wait on it. 0, or -1 for null or a bad tag.
int wait_signal_destroy(wait_signal_t* signal);
// The caller holds the mutex and has set waiting to 1. Waits while the state
// is 0, up to milliseconds (-1: without limit), and returns the state: 0 timed
// out, 1 set, 2 closed. -1 for a bad tag or waiting 0. A set is not consumed.
int wait_signal_timedwait(wait_signal_t* signal, int milliseconds);
// The caller holds the mutex and has set waiting to 1: state 1 and the event
// set; 0, or -1 for a bad tag or waiting 0.
int wait_signal_notify(wait_signal_t* signal);
// State back to 0; 0, or -1 for a bad tag.
int wait_signal_reset(wait_signal_t* signal);

// The process-wide polling signal. wait_signal_wait and wait_signal_set answer
// -1 while none is installed and never read a record that was taken away.
// Logged at the information kind under the tag "TDC__".
int wait_signal_wait(int milliseconds);
int wait_signal_set();
// Installs the polling signal (the discovery engine's polling start); null
// empties the slot.
void wait_signal_install_polling(wait_signal_t* signal);
// Empties the slot and returns what it held once no wait_signal_wait or
// wait_signal_set is still using it, so the caller may destroy it. A caller
// still waiting on it is woken by a set first.
wait_signal_t* wait_signal_take_polling();
// How many callers are inside wait_signal_wait or wait_signal_set right now.
int wait_signal_polling_users();

}  // namespace tilo2::core
