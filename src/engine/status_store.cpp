#include "engine/status_store.h"

#include <cstring>

#include "engine/event_callbacks.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/status_word.h"
#include "engine/wait_object.h"
#include "foundation/lock_guard.h"
#include "foundation/platform.h"

namespace tilo2::core {

namespace {

constexpr int32_t kInfoKindExtStatus = 1;
constexpr int32_t kDisplayQueryFirst = 17;
// Longer than the longest wait for a real-time reply (a Bluetooth link's
// extra wait included): a query this old will not be answered any more.
constexpr uint64_t kRealtimeReplyLifeMs = 10000;

// The reply to DLE EOT 18 n: only bit 2 says something.
bool FitsQuery(int32_t index, uint8_t reply) {
  if (index >= kDisplayQueryFirst) return (reply & 0xFB) == 0x12;
  return (reply & 0x93) == 0x12;
}

// Drops the first count queries. The caller holds replyWaitLock.
void DropOldest(PrintHandle_t* handle, int32_t count) {
  const int32_t left = handle->pendingRealtimeCount - count;
  for (int32_t i = 0; i < left; ++i) {
    handle->pendingRealtime[i] = handle->pendingRealtime[i + count];
  }
  handle->pendingRealtimeCount = left;
}

// Drops the queries too old to be answered. The caller holds replyWaitLock.
void DropExpired(PrintHandle_t* handle, uint64_t now) {
  int32_t expired = 0;
  while (expired < handle->pendingRealtimeCount &&
         now - handle->pendingRealtime[expired].sentMs > kRealtimeReplyLifeMs) {
    ++expired;
  }
  if (expired > 0) DropOldest(handle, expired);
}

}  // namespace

void NoteRealtimeQuery(PrintHandle_t* handle, int32_t index) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->replyWaitLock);
  if (!lock) return;
  const uint64_t now = platform_tick_ms();
  DropExpired(handle, now);
  if (handle->pendingRealtimeCount == kPendingRealtimeQueries) DropOldest(handle, 1);
  handle->pendingRealtime[handle->pendingRealtimeCount++] = {index, now};
}

int32_t MatchRealtimeReply(PrintHandle_t* handle, uint8_t reply) {
  if (handle == nullptr) return -1;
  PlatformLockGuard lock(handle->replyWaitLock);
  if (!lock) return -1;
  DropExpired(handle, platform_tick_ms());
  for (int32_t i = 0; i < handle->pendingRealtimeCount; ++i) {
    const int32_t index = handle->pendingRealtime[i].index;
    if (!FitsQuery(index, reply)) continue;
    // The printer answers in order: the queries before this one went unanswered.
    DropOldest(handle, i + 1);
    return index;
  }
  return -1;
}

void ForgetRealtimeQueries(PrintHandle_t* handle) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->replyWaitLock);
  if (lock) handle->pendingRealtimeCount = 0;
}

void SetRawAsb(PrintHandle_t* handle, const uint8_t bytes[4]) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->asbLock);
  if (lock) std::memcpy(handle->rawAsb, bytes, sizeof handle->rawAsb);
}

void GetRawAsb(PrintHandle_t* handle, uint8_t out[4]) {
  std::memset(out, 0xFF, 4);
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->asbLock);
  if (lock) std::memcpy(out, handle->rawAsb, sizeof handle->rawAsb);
}

void SetRawExtStatus(PrintHandle_t* handle, const uint8_t bytes[4]) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->extStatusLock);
  if (lock) std::memcpy(handle->extStatus, bytes, sizeof handle->extStatus);
}

void SetOfflineResponse(PrintHandle_t* handle, const uint8_t bytes[8]) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->asbLock);
  if (lock) std::memcpy(handle->offlineResponse, bytes, sizeof handle->offlineResponse);
}

void GetOfflineResponseBytes(PrintHandle_t* handle, uint8_t out[8]) {
  std::memset(out, 0, 8);
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->asbLock);
  if (lock) std::memcpy(out, handle->offlineResponse, sizeof handle->offlineResponse);
}

int32_t GetBatteryValue(PrintHandle_t* handle) {
  if (handle == nullptr) return -1;
  PlatformLockGuard lock(handle->batteryLock);
  return lock ? handle->battery : -1;
}

void SetBatteryValue(PrintHandle_t* handle, int32_t value) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->batteryLock);
  if (lock) handle->battery = value;
}

void SetSendInProgress(PrintHandle_t* handle, uint8_t value) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->sendLock);
  if (lock) handle->sendInProgress = value;
}

uint8_t GetSendInProgress(PrintHandle_t* handle) {
  if (handle == nullptr) return 0;
  PlatformLockGuard lock(handle->sendLock);
  return lock ? handle->sendInProgress : 0;
}

uint8_t ReadLockedFlag(PlatformMutex_t& lock, const uint8_t& flag) {
  PlatformLockGuard guard(lock);
  return guard ? flag : 0;
}

int GetExtStatusBits(PrintHandle_t* handle, bool* extError10, bool* extError11) {
  if (handle == nullptr || extError10 == nullptr || extError11 == nullptr) {
    return TILOPRN_PARAMETER_ERROR;
  }
  uint8_t ext[4];
  {
    PlatformLockGuard lock(handle->extStatusLock);
    if (!lock) return TILOPRN_FAILURE;
    std::memcpy(ext, handle->extStatus, sizeof ext);
  }
  ExtStatusErrorBits(ext, extError10, extError11);
  return TILOPRN_SUCCESS;
}

int UpdateJobStatus(PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) return TILOPRN_FAILURE;
  const uint32_t flags = handle->statusFlags.load();
  const bool errorOffline = (flags & kStatusOffline) != 0 &&
                            ((flags & kOfflineReasonBits) != 0 ||
                             (handle->batteryModel.load() != 0 && (flags & kStatusDrawer) != 0)) &&
                            handle->infoKind.load() != kInfoKindExtStatus;
  for (JobWait_t* job = handle->jobs; job != nullptr; job = job->next) {
    // A failed job keeps the word it failed with until it is reported: a
    // later one (from a link opened again, say) would contradict its result.
    if (job->state == kJobStateEnded) continue;
    job->status = flags;
    // A job the printer has already reported keeps its outcome.
    if (job->state != kJobStatePending) continue;
    if (errorOffline) {
      job->state = kJobStateEnded;
      job->result = TILOPRN_PRINTER_ERROR;
      SignalWaitObject(job->doneWaitId, 0);
    }
    if ((job->status & kStatusNoResponse) != 0) {
      job->state = kJobStateEnded;
      job->result = TILOPRN_IO_ERROR;
      job->status = kStatusNoResponse;
      SignalWaitObject(job->doneWaitId, 0);
    }
  }
  return TILOPRN_SUCCESS;
}

int UpdateJobBattery(PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  const int32_t battery = GetBatteryValue(handle);
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) return TILOPRN_FAILURE;
  for (JobWait_t* job = handle->jobs; job != nullptr; job = job->next) job->battery = battery;
  return TILOPRN_SUCCESS;
}

}  // namespace tilo2::core
