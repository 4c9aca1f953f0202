#include "engine/job_id.h"

#include <cstdio>

#include "foundation/lock_guard.h"
#include "foundation/platform.h"

namespace tilo2::core {

namespace {

constexpr int kJobIdWrap = 0xFFF;  // "0FFF" is never issued

PlatformMutex_t jobIdLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
int nextJobId = 0;

}  // namespace

void NewPrintJobId(char out[kJobIdLength]) {
  int id;
  {
    PlatformLockGuard lock(jobIdLock);
    id = nextJobId;
    nextJobId = (nextJobId + 1) % kJobIdWrap;
  }
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(id));
  for (int i = 0; i < kJobIdLength; ++i) out[i] = text[i];
}

}  // namespace tilo2::core
