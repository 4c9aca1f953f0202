#pragma once
// The small operating-system layer the core is written against: threads,
// recursive mutexes with timed locks, auto-reset events, wall-clock and local
// time, bounded string copies, file opening, a few socket calls that report
// failures through errno in the wrapper's own code space. The one regular
// expression lives in platform_regex.h. Plain functions with integer results;
// none throws.

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace tilo2::core {

// ---- Result codes of the wrapper (used in results and in errno) ----------
enum : int {
  PLATFORM_OK = 0,
  PLATFORM_LOCK_TIMEOUT = 1,  // platform_mutex_lock only
  PLATFORM_ESRCH = 3,         // no such thread / join failed
  PLATFORM_EINTR = 4,         // interrupted; the timed wait's "other" result
  PLATFORM_EWOULDBLOCK = 11,  // would block; thread creation failed
  PLATFORM_ENOMEM = 12,
  PLATFORM_EACCES = 13,
  PLATFORM_ESOCKET = 14,  // any other socket error
  PLATFORM_EBUSY = 16,    // trylock busy; close of a mutex or event failed
  PLATFORM_EINVAL = 22,
  PLATFORM_ENFILE = 23,
  PLATFORM_EMFILE = 24,
  PLATFORM_EPIPE = 32,  // the peer is gone; sends pass MSG_NOSIGNAL, so no signal
  PLATFORM_EAFNOSUPPORT = 102,
  PLATFORM_ECONNABORTED = 106,
  PLATFORM_ECONNREFUSED = 107,
  PLATFORM_ECONNRESET = 108,
  PLATFORM_EHOSTUNREACH = 110,
  PLATFORM_EINPROGRESS = 112,
  PLATFORM_ENETUNREACH = 118,
  PLATFORM_ENOBUFS = 119,
  PLATFORM_ENOTCONN = 126,
  PLATFORM_EPROTONOSUPPORT = 135,
  PLATFORM_ETIMEDOUT = 138,
  PLATFORM_LOCK_FAILED = 255,
  PLATFORM_EAI_FAILED = 10022,  // platform_getaddrinfo only, never an errno
};

// ---- Mutexes ---------------------------------------------------------------
// The OS object behind a mutex: recursive, with a timed lock.
struct PlatformOsMutex;

inline constexpr int32_t PLATFORM_MUTEX_STATIC = 100;
inline constexpr int32_t PLATFORM_MUTEX_CREATED = 101;

struct PlatformMutex_t {
  PlatformOsMutex* handle;  // null while no OS mutex exists
  int32_t kind;             // PLATFORM_MUTEX_STATIC, PLATFORM_MUTEX_CREATED, 0 after a failed init
  int32_t users;  // static kind: threads that hold or wait for it (guarded by the global lock)
};

// Every global mutex of the core: its OS mutex exists only while someone uses it.
#define PLATFORM_MUTEX_STATIC_INITIALIZER \
  { nullptr, PLATFORM_MUTEX_STATIC, 0 }

int platform_mutex_init(PlatformMutex_t* mutex);     // always 0
int platform_mutex_destroy(PlatformMutex_t* mutex);  // 0, or 16
// milliseconds: -1 (any negative) waits without limit. 0 locked, 1 timed out, 255 error.
int platform_mutex_lock(PlatformMutex_t* mutex, int milliseconds);
int platform_mutex_trylock(PlatformMutex_t* mutex);  // 0, 16 busy, 22 error
int platform_mutex_unlock(PlatformMutex_t* mutex);   // 0, or 22

// ---- Auto-reset events used as condition variables --------------------------
struct PlatformOsEvent;
using PlatformCond_t = PlatformOsEvent*;

int platform_cond_init(PlatformCond_t* cond);     // always 0; null handle when creation fails
int platform_cond_destroy(PlatformCond_t* cond);  // 0, or 16
// Sets the event: releases exactly one waiter, or lets the next wait return at once.
int platform_cond_signal(PlatformCond_t* cond);  // 0, or 22 for a missing event
// Clears a pending signal.
int platform_cond_reset(PlatformCond_t* cond);  // 0, or 22 for a missing event
// Waits for the event alone (no mutex), milliseconds -1 without limit, on a
// monotonic clock: 0 signalled, 138 timed out, 22 missing event.
int platform_cond_wait_ms(PlatformCond_t* cond, int milliseconds);
// Releases the mutex (all of the caller's recursion levels), waits for the
// event, then takes the mutex back at the same depth. Always 0.
int platform_cond_wait(PlatformCond_t* cond, PlatformMutex_t* mutex);
struct PlatformTimespec_t;
// As platform_cond_wait, up to an absolute wall-clock deadline; the remaining
// time is measured on a monotonic clock. 0 signalled, 138 deadline passed, 4 other.
int platform_cond_timedwait(PlatformCond_t* cond, PlatformMutex_t* mutex,
                            const PlatformTimespec_t* deadline);

// ---- Threads ---------------------------------------------------------------
struct PlatformOsThread;
using PlatformThread_t = PlatformOsThread*;
using PlatformThreadEntry = void* (*)(void* argument);

// 0 with the handle in *out; 11 when out or entry is missing or no thread starts (*out null).
int platform_thread_create(PlatformThread_t* out, PlatformThreadEntry entry, void* argument);
// Waits without limit for the thread to end; joining again answers 0 at once.
// 0, or 3 for a null handle or a failed wait. Does not close the handle.
int platform_thread_join(PlatformThread_t thread);
// Closes the handle; a thread never joined runs on detached. 0, or 3 for a null handle.
int platform_thread_close(PlatformThread_t thread);
// Id of the calling thread (kernel thread id).
uint32_t platform_thread_self_id();

// ---- Time ------------------------------------------------------------------
// Wall-clock time since 1970-01-01 UTC. Seconds are 64-bit so nothing breaks after 2038.
struct PlatformTimeval_t {
  int64_t tv_sec;
  int32_t tv_usec;
};

// Absolute wall-clock deadline. tv_nsec may hold up to 1,998,999,000 when a
// caller adds milliseconds to a time of day without carrying.
struct PlatformTimespec_t {
  int64_t tv_sec;
  int32_t tv_nsec;
};

int platform_gettimeofday(PlatformTimeval_t* now);  // always 0
// Broken-down local time in storage owned by the calling thread; null for a
// null pointer or a failed conversion.
struct tm* platform_localtime(const int64_t* seconds);
// Milliseconds on a monotonic clock, for elapsed times.
uint64_t platform_tick_ms();
void platform_sleep_ms(uint32_t milliseconds);
// Builds the deadline now + milliseconds in the form callers use (no carry).
PlatformTimespec_t platform_deadline_after(uint32_t milliseconds);

// ---- Strings, files --------------------------------------------------------
char* platform_strcpy(char* dst, const char* src);             // caller guarantees room
char* platform_strncpy(char* dst, const char* src, size_t n);  // at most n chars + NUL
char* platform_strcat(char* dst, const char* src);
FILE* platform_fopen(const char* name, const char* mode);

// ---- Sockets ---------------------------------------------------------------
// Failures set errno to a code of the wrapper's space (see platform_socket_errno).
int platform_socket(int family, int type, int protocol);  // socket or -1
int platform_closesocket(int socket);                     // 0 or -1
// The argument points to an unsigned 32-bit value (FIONBIO, FIONREAD).
int platform_ioctlsocket(int socket, unsigned long command, uint32_t* argument);
int platform_connect(int socket, const struct sockaddr* address, socklen_t length);
// 0 with the list in *out (free it with freeaddrinfo), else 10022.
int platform_getaddrinfo(const char* host, const char* service, const struct addrinfo* hints,
                         struct addrinfo** out);
// A new non-blocking socket connected to one looked-up address, the connect
// bounded by milliseconds. The socket, or -1 with errno set: 102 or 135 when
// the stack lacks the family or protocol (try the next address), 138 when the
// time ran out.
int platform_connect_bounded(const struct addrinfo* address, int milliseconds);
// Maps a native socket error number into the wrapper's code space.
int platform_socket_errno(int native_error);

}  // namespace tilo2::core
