// Wall-clock time, local time and monotonic ticks of the wrapper.
#include <time.h>

#include <cerrno>

#include "foundation/platform.h"

namespace tilo2::core {

int platform_gettimeofday(PlatformTimeval_t* now) {
  if (now == nullptr) return 0;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  now->tv_sec = static_cast<int64_t>(ts.tv_sec);
  now->tv_usec = static_cast<int32_t>(ts.tv_nsec / 1000);
  return 0;
}

struct tm* platform_localtime(const int64_t* seconds) {
  // One record per thread: many threads stamp log lines at once.
  thread_local struct tm local {};
  if (seconds == nullptr) return nullptr;
  const time_t t = static_cast<time_t>(*seconds);
  return localtime_r(&t, &local) != nullptr ? &local : nullptr;
}

uint64_t platform_tick_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void platform_sleep_ms(uint32_t milliseconds) {
  timespec rest{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

PlatformTimespec_t platform_deadline_after(uint32_t milliseconds) {
  PlatformTimeval_t now{};
  platform_gettimeofday(&now);
  return PlatformTimespec_t{
      now.tv_sec + milliseconds / 1000,
      static_cast<int32_t>((milliseconds % 1000) * 1000000u) + now.tv_usec * 1000};
}

}  // namespace tilo2::core
