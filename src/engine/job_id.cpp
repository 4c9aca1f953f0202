#include "engine/job_id.h"

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

// Four upper-case hexadecimal digits, without a terminator.
void FormatJobId(int number, char out[kJobIdLength]) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const auto value = static_cast<unsigned>(number) & 0xFFFFu;
  for (int i = 0; i < kJobIdLength; ++i) {
    out[i] = kDigits[(value >> (4 * (kJobIdLength - 1 - i))) & 0xFu];
  }
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
