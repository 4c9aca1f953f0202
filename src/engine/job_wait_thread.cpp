// One thread per outstanding job: it waits until the job's bytes are sent,
// polls the printer's status through the queue until the job ends, is
// cancelled or times out, and reports the outcome through the result callback
// of the job's kind.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/engine_log.h"
#include "engine/event_callbacks.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "engine/test_hooks.h"
#include "engine/wait_object.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

namespace {

// The handle whose job this thread waits for, so that a call from its
// result callback knows it must not wait for the job waits to end.
thread_local const PrintHandle_t* jobWaitOfThisThread = nullptr;

constexpr int32_t kMaxJobTimeoutMs = 600000;
constexpr int32_t kDonePollMs = 10;
constexpr uint32_t kStatusAutoRecoverable = 0x4000;

std::atomic<EngineThreadCreate> threadCreate{nullptr};

struct JobWaitArgs_t {
  PrintHandle_t* handle;
  TdcBackendEnv_t* env;  // the caller's record copied, or null
  JobWait_t* job;
  int32_t timeoutMs;
};

// What the thread reads of its record, taken under the job-list lock.
struct JobView {
  int32_t state;
  int32_t result;
  uint32_t status;
  int32_t battery;
  int32_t kind;
  int32_t method;
  int32_t cancelled;
};

bool ReadJob(PrintHandle_t* handle, const JobWait_t* job, JobView* view) {
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return false;
  }
  *view = {job->state, job->result, job->status,   job->battery,
           job->kind,  job->method, job->cancelled};
  return true;
}

void OrJobStatus(PrintHandle_t* handle, JobWait_t* job, uint32_t bits) {
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return;
  }
  job->status |= bits;
}

void FreeArgs(JobWaitArgs_t* args) {
  delete args->env;
  delete args;
}

// One status poll on the queue; the job's end arrives through the reply
// analysis of the drained bytes. False when no queue thread runs to take it.
bool PollStatus(PrintHandle_t* handle) {
  RequestQueue_t* queue = handle->queue;
  if (queue_isStopped(queue)) return false;
  ReplyWaitContext replyWait{};
  replyWait.handle = handle;
  StepContext_t context{};
  context.handle = handle;
  context.replyWait = &replyWait;
  RunStandaloneStep(queue, &context, CheckAsb, "CheckAsb", nullptr);
  return true;
}

// The printer's reason for an automatically recoverable error, asked once the
// job has ended with one.
void AddOfflineReason(PrintHandle_t* handle, JobWait_t* job, uint32_t status) {
  RequestQueue_t* queue = handle->queue;
  if (queue_isStopped(queue)) return;
  uint32_t flags = status;
  StepContext_t context{};
  context.handle = handle;
  context.flagsOut = &flags;
  RunStandaloneStep(queue, &context, GetOfflineResponse, "GetOfflineResponse", nullptr);
  OrJobStatus(handle, job, flags);
}

void ClearLockedFlag(PlatformMutex_t& lock, uint8_t& flag) {
  PlatformLockGuard guard(lock);
  if (guard) flag = 0;
}

// A hybrid job's operation is over: its flag on the handle goes back to 0.
void ClearMethodFlag(PrintHandle_t* handle, int32_t method) {
  switch (method) {
    case kMethodWaitInsertion:
      ClearLockedFlag(handle->waitInsertionLock, handle->waitInsertion);
      break;
    case kMethodCancelInsertion:
      ClearLockedFlag(handle->cancelInsertionLock, handle->cancelInsertion);
      break;
    case kMethodReadMicrData:
      ClearLockedFlag(handle->micrReadLock, handle->micrRead);
      break;
    case kMethodCleanMicrReader:
      ClearLockedFlag(handle->micrCleanLock, handle->micrClean);
      ClearLockedFlag(handle->cleaningInsertionSeenLock, handle->cleaningInsertionSeen);
      break;
    default:
      break;
  }
}

// Hybrid outcomes that leave the printer in a clean state.
bool HybridEndsClean(int32_t code) {
  switch (code) {
    case TILOPRN_IO_ERROR:
    case TILOPRN_ILLEGAL_STATE:
    case TILOPRN_CANCELLED:
    case 21:
    case 22:
    case 23:
    case 24:
      return true;
    default:
      return false;
  }
}

// Whether the job counts as completed for the recovery decision.
bool EndsCompleted(const JobView& job, int32_t code) {
  if (job.state == kJobStateCompleted && code == TILOPRN_SUCCESS) return true;
  return job.kind == kJobKindHybrid && HybridEndsClean(code);
}

// Calls the result callback of the job's kind with no engine lock held.
void Report(PrintHandle_t* handle, const JobView& job, int32_t code) {
  const ResultCallbacks callbacks = GetResultCallbacks(handle);
  switch (job.kind) {
    case kJobKindPrint:
      if (callbacks.print != nullptr) {
        callbacks.print(handle, handle->address, code, job.status, job.battery, nullptr);
      }
      break;
    case kJobKindDisplay:
      if (callbacks.display != nullptr) callbacks.display(handle, handle->address, code);
      break;
    case kJobKindHybrid: {
      char* text = handle->micrText.exchange(nullptr);
      if (callbacks.hybrid != nullptr) {
        callbacks.hybrid(handle, handle->address, code, job.status, job.method, text);
      }
      std::free(text);
      ClearMethodFlag(handle, job.method);
      break;
    }
    default:
      break;
  }
}

// Unlinks and frees the thread's record. The queue is woken before the job-list
// lock goes, so a close that saw the list empty never races this thread for
// the queue.
void RemoveJobWait(JobWaitArgs_t* args) {
  if (args == nullptr || args->handle == nullptr) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return;
  }
  PrintHandle_t* handle = args->handle;
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return;
  }
  if (handle->jobs == nullptr) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return;
  }
  JobWait_t** link = &handle->jobs;
  while (*link != nullptr && *link != args->job) link = &(*link)->next;
  if (*link == nullptr) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return;
  }
  JobWait_t* job = *link;
  *link = job->next;
  // Nobody joins a job wait thread: closing the holder lets it run out.
  if (job->thread != nullptr) platform_thread_close(job->thread);
  // endedJobs goes first: a reader that takes jobCount before endedJobs never
  // sees fewer outstanding jobs than there are.
  if (job->ended != 0) --handle->endedJobs;
  delete job;
  --handle->jobCount;
  // A job chain held back for this job may start now.
  if (!queue_isStopped(handle->queue)) signalThread(handle->queue);
  if (handle->jobs == nullptr) platform_cond_signal(&handle->jobsEmptyEvent);
}

// The job is over before its result is reported: a job sent from the result
// callback, or at once after it, must find nothing outstanding. The record
// itself stays until the thread is done with the handle, so that a close still
// waits for it.
void EndJob(PrintHandle_t* handle, JobWait_t* job) {
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return;
  }
  if (job->ended != 0) return;
  job->ended = 1;
  ++handle->endedJobs;
  // A job chain held back for this job may start now.
  if (!queue_isStopped(handle->queue)) signalThread(handle->queue);
}

void* JobWaitThread(void* argument) {
  auto* args = static_cast<JobWaitArgs_t*>(argument);
  PrintHandle_t* handle = args->handle;
  JobWait_t* job = args->job;
  jobWaitOfThisThread = handle;
  WaitForWaitObject(job->sentWaitId, -1, nullptr);

  // The timeout runs on the monotonic clock: a change of the wall clock must
  // neither cut a job short nor keep it waiting.
  const uint64_t start = platform_tick_ms();
  int32_t code = TILOPRN_FAILURE;
  bool cancelled = false;
  JobView view{};
  for (;;) {
    if (!ReadJob(handle, job, &view)) break;
    if (view.cancelled != 0) {
      cancelled = true;
      break;
    }
    const uint64_t elapsed = platform_tick_ms() - start;
    // Without a queue thread nothing can be polled: the job's own end or the
    // timeout is all there is to wait for.
    int waitMs = kDonePollMs;
    if (!PollStatus(handle) && elapsed < static_cast<uint64_t>(args->timeoutMs)) {
      waitMs = static_cast<int>(static_cast<uint64_t>(args->timeoutMs) - elapsed);
    }
    if (WaitForWaitObject(job->doneWaitId, waitMs, nullptr) == 0) {
      if (!ReadJob(handle, job, &view)) break;
      cancelled = view.cancelled != 0;
      code = view.state == kJobStateCompleted ? TILOPRN_SUCCESS : view.result;
      break;
    }
    if (platform_tick_ms() - start >= static_cast<uint64_t>(args->timeoutMs)) {
      OrJobStatus(handle, job, kStatusNoResponse);
      SetSendInProgress(handle, 0);
      code = TILOPRN_TIMEOUT;
      break;
    }
  }

  if (!cancelled && ReadJob(handle, job, &view)) {
    if ((view.status & kStatusAutoRecoverable) != 0) {
      AddOfflineReason(handle, job, view.status);
      ReadJob(handle, job, &view);
    }
    // The recovery decision is in place before anything the callback sends
    // can reach its recovery check.
    SetNeedRecover(handle, EndsCompleted(view, code) ? 0 : 1);
    EndJob(handle, job);
    Report(handle, view, code);
  } else {
    if (cancelled && view.kind == kJobKindHybrid) {
      // A cancelled operation is over as well: its flag must not refuse the next.
      ClearMethodFlag(handle, view.method);
    }
    SetNeedRecover(handle, 1);
  }

  DeleteWaitObject(job->sentWaitId);
  DeleteWaitObject(job->doneWaitId);
  RemoveJobWait(args);
  FreeArgs(args);
  return nullptr;
}

}  // namespace

bool WaitForNoJobs(PrintHandle_t* handle, int32_t timeoutMs, bool nextSignal) {
  if (handle == nullptr) return true;
  const uint64_t deadline = platform_tick_ms() + static_cast<uint64_t>(std::max(timeoutMs, 0));
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) return false;
  bool waited = false;
  while (handle->jobs != nullptr || (nextSignal && !waited)) {
    const uint64_t now = platform_tick_ms();
    if (now >= deadline) return false;
    const PlatformTimespec_t until = platform_deadline_after(static_cast<uint32_t>(deadline - now));
    platform_cond_timedwait(&handle->jobsEmptyEvent, &handle->jobListLock, &until);
    waited = true;
  }
  // The event wakes one waiter: a close may wait for it as well.
  if (waited) platform_cond_signal(&handle->jobsEmptyEvent);
  return true;
}

bool IsJobWaitThread(const PrintHandle_t* handle) {
  return handle != nullptr && jobWaitOfThisThread == handle;
}

void EngineSetThreadCreate(EngineThreadCreate create) { threadCreate = create; }

int CreateEngineThread(PlatformThread_t* out, PlatformThreadEntry entry, void* argument) {
  const EngineThreadCreate create = threadCreate.load();
  return create != nullptr ? create(out, entry, argument)
                           : platform_thread_create(out, entry, argument);
}

int CreateJobWait(TdcBackendEnv_t* env, PrintHandle_t* handle, const char jobId[kJobIdLength],
                  int32_t timeoutMs, int32_t kind, JobWait_t** out, int32_t method) {
  if (handle == nullptr || jobId == nullptr || out == nullptr || timeoutMs < 0 ||
      timeoutMs > kMaxJobTimeoutMs || kind < kJobKindPrint || kind > kJobKindHybrid) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  const uint64_t done = CreateWaitObject();
  const uint64_t sent = done != 0 ? CreateWaitObject() : 0;
  if (sent == 0) {
    if (done != 0) DeleteWaitObject(done);
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  auto* job = new (std::nothrow) JobWait_t{};
  auto* args = new (std::nothrow) JobWaitArgs_t{handle, nullptr, job, timeoutMs};
  TdcBackendEnv_t* envCopy = env != nullptr ? new (std::nothrow) TdcBackendEnv_t(*env) : nullptr;
  if (job == nullptr || args == nullptr || (env != nullptr && envCopy == nullptr)) {
    delete job;
    delete args;
    delete envCopy;
    DeleteWaitObject(sent);
    DeleteWaitObject(done);
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return TILOPRN_MEMORY_ERROR;
  }
  args->env = envCopy;
  job->sentWaitId = sent;
  job->doneWaitId = done;
  std::memcpy(job->jobId, jobId, kJobIdLength);
  job->state = kJobStatePending;
  job->result = TILOPRN_TIMEOUT;
  job->status = 0;
  job->battery = GetBatteryValue(handle);
  job->kind = kind;
  job->method = method;
  if (CreateEngineThread(&job->thread, JobWaitThread, args) != PLATFORM_OK) {
    FreeArgs(args);
    delete job;
    DeleteWaitObject(sent);
    DeleteWaitObject(done);
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  *out = job;
  return TILOPRN_SUCCESS;
}

JobWait_t* AddJobWait(TdcBackendEnv_t* env, PrintHandle_t* handle, const char jobId[kJobIdLength],
                      int32_t timeoutMs, int32_t kind, int32_t method) {
  if (handle == nullptr) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return nullptr;
  }
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return nullptr;
  }
  JobWait_t* job = nullptr;
  if (CreateJobWait(env, handle, jobId, timeoutMs, kind, &job, method) != TILOPRN_SUCCESS) {
    return nullptr;
  }
  JobWait_t** tail = &handle->jobs;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = job;
  ++handle->jobCount;
  return job;
}

void CancelAllJobWaits(PrintHandle_t* handle) {
  if (handle == nullptr) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return;
  }
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return;
  }
  if (handle->jobs == nullptr) {
    handle->endedJobs = 0;
    handle->jobCount = 0;
    return;
  }
  for (JobWait_t* job = handle->jobs; job != nullptr; job = job->next) {
    job->cancelled = 1;
    SignalWaitObject(job->sentWaitId, 0);
    SignalWaitObject(job->doneWaitId, 0);
  }
  // Each thread removes its own record; the last one sets the event. The wait
  // releases the job-list lock, and the event keeps a signal set before it.
  while (handle->jobs != nullptr) {
    platform_cond_wait(&handle->jobsEmptyEvent, &handle->jobListLock);
  }
}

int32_t OutstandingJobs(const PrintHandle_t* handle) {
  if (handle == nullptr) return 1;
  const int32_t count = handle->jobCount.load();
  return count - handle->endedJobs.load();
}

int32_t CountActiveJobs(PrintHandle_t* handle) {
  if (handle == nullptr) return 1;
  PlatformLockGuard lock(handle->jobListLock);
  if (!lock) {
    EngineErrorLine(kWaitThreadSource, __LINE__);
    return handle->jobCount;
  }
  int32_t active = handle->jobCount;
  for (JobWait_t* job = handle->jobs; job != nullptr; job = job->next) {
    if (job->result == TILOPRN_CANCELLED) --active;
  }
  return active;
}

}  // namespace tilo2::core
