// Threads of the wrapper on pthreads. The handle can be joined and closed
// separately, as callers expect; a pthread is joined at most once.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>

#include "foundation/platform.h"

namespace tilo2::core {

struct PlatformOsThread {
  pthread_t id{};
  std::mutex joinLock;  // a second joiner waits for the first, then returns
  bool joined = false;
};

namespace {

struct StartRecord {
  PlatformThreadEntry entry;
  void* argument;
};

void* platform_thread_start_routine(void* raw) {
  std::unique_ptr<StartRecord> start(static_cast<StartRecord*>(raw));
  if (!start) return reinterpret_cast<void*>(static_cast<intptr_t>(255));
  start->entry(start->argument);
  return nullptr;
}

}  // namespace

int platform_thread_create(PlatformThread_t* out, PlatformThreadEntry entry, void* argument) {
  if (out == nullptr) return PLATFORM_EWOULDBLOCK;
  *out = nullptr;
  if (entry == nullptr) return PLATFORM_EWOULDBLOCK;
  std::unique_ptr<StartRecord> start(new (std::nothrow) StartRecord{entry, argument});
  std::unique_ptr<PlatformOsThread> handle(new (std::nothrow) PlatformOsThread);
  if (!start || !handle) return PLATFORM_EWOULDBLOCK;
  if (pthread_create(&handle->id, nullptr, platform_thread_start_routine, start.get()) != 0) {
    return PLATFORM_EWOULDBLOCK;
  }
  start.release();  // the new thread frees it
  *out = handle.release();
  return PLATFORM_OK;
}

int platform_thread_join(PlatformThread_t thread) {
  if (thread == nullptr) return PLATFORM_ESRCH;
  std::lock_guard<std::mutex> guard(thread->joinLock);
  if (thread->joined) return PLATFORM_OK;
  if (pthread_equal(thread->id, pthread_self())) return PLATFORM_ESRCH;  // would never end
  if (pthread_join(thread->id, nullptr) != 0) return PLATFORM_ESRCH;
  thread->joined = true;
  return PLATFORM_OK;
}

int platform_thread_close(PlatformThread_t thread) {
  if (thread == nullptr) return PLATFORM_ESRCH;
  {
    std::lock_guard<std::mutex> guard(thread->joinLock);
    if (!thread->joined) pthread_detach(thread->id);
  }
  delete thread;
  return PLATFORM_OK;
}

uint32_t platform_thread_self_id() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

}  // namespace tilo2::core
