#include "engine/job_id.h"

#include <cstdio>

#include "foundation/lock_guard.h"
#include "foundation/platform.h"

namespace tilo2::core {

namespace {

constexpr int kJobIdWrap = 0xFFF;  // "0FFF" is never issued
constexpr int kDisplayJobIdBase = 0x1000;

PlatformMutex_t jobIdLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
int nextJobId = 0;

// The counter's value before it advances; -1 when its lock cannot be taken.
int TakeJobNumber() {
  PlatformLockGuard lock(jobIdLock);
  if (!lock) return -1;
  const int id = nextJobId;
  nextJobId = (nextJobId + 1) % kJobIdWrap;
  return id;
}

void FormatJobId(int number, char out[kJobIdLength]) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(number));
  for (int i = 0; i < kJobIdLength; ++i) out[i] = text[i];
}

}  // namespace

void NewPrintJobId(char out[kJobIdLength]) {
  const int number = TakeJobNumber();
  FormatJobId(number < 0 ? 0 : number, out);
}

void NewDisplayJobId(char out[kJobIdLength]) {
  const int number = TakeJobNumber();
  FormatJobId(kDisplayJobIdBase + (number < 0 ? 0 : number), out);
}

}  // namespace tilo2::core
