#include "engine/job_wait.h"

#include <cstring>

#include "engine/engine_log.h"
#include "engine/print_result.h"
#include "engine/wait_object.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

namespace {

void Complete(JobWait_t* job, int32_t state, int32_t result) {
  job->state = state;
  job->result = result;
  SignalWaitObject(job->doneWaitId, 0);
}

}  // namespace

bool IsFramedJob(const JobWait_t& job) {
  return job.kind == kJobKindPrint || job.kind == kJobKindDisplay ||
         (job.kind == kJobKindHybrid && job.method == kMethodSendData);
}

int SignalJobById(PrintHandle_t* handle, const char jobId[kJobIdLength]) {
  if (handle == nullptr || jobId == nullptr) return TILOPRN_PARAMETER_ERROR;
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  JobWait_t* before = nullptr;
  for (JobWait_t* job = handle->jobs; job != nullptr; job = job->next) {
    // An insertion or MICR job carries no id of its own; a print job's end
    // must never complete it.
    if (!IsFramedJob(*job)) continue;
    if (std::memcmp(job->jobId, jobId, kJobIdLength) == 0) {
      Complete(job, kJobStateCompleted, TILOPRN_SUCCESS);
      if (before != nullptr) Complete(before, kJobStateCompleted, TILOPRN_SUCCESS);
      break;
    }
    before = job;
  }
  return TILOPRN_SUCCESS;
}

int SignalFirstJob(PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  if (handle->jobs != nullptr) Complete(handle->jobs, kJobStateCompleted, TILOPRN_SUCCESS);
  return TILOPRN_SUCCESS;
}

int SignalJobByMethod(PrintHandle_t* handle, int32_t state, int32_t result, int32_t method) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  const uint32_t flags = handle->statusFlags.load();
  for (JobWait_t* job = handle->jobs; job != nullptr; job = job->next) {
    if (job->kind != kJobKindHybrid || job->method != method || job->cancelled != 0) continue;
    job->status = flags;
    Complete(job, state, result);
  }
  return TILOPRN_SUCCESS;
}

int CancelJobByMethod(PrintHandle_t* handle, int32_t method) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  {
    PlatformLockGuard closing(handle->hybridClosingLock);
    if (!closing) {
      EngineErrorLine(kWaitThreadSource, __LINE__);
      return TILOPRN_FAILURE;
    }
    if (handle->hybridClosing == 0) return TILOPRN_SUCCESS;
  }
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  for (JobWait_t* job = handle->jobs; job != nullptr; job = job->next) {
    if (job->kind != kJobKindHybrid || job->method != method) continue;
    job->cancelled = 1;
    Complete(job, kJobStateEnded, TILOPRN_CANCELLED);
  }
  return TILOPRN_SUCCESS;
}

}  // namespace tilo2::core
