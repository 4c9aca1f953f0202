#pragma once
// The job-wait records of a handle's job list, the completions the reply
// analysis raises on them, and the one thread per record that waits for its
// job to end and reports the outcome.

#include <cstdint>

#include "engine/job_id.h"
#include "engine/print_handle.h"

namespace tilo2::core {

inline constexpr const char* kWaitThreadSource = "tiloprint_common_waitThread";

enum JobKind : int32_t {
  kJobKindPrint = 0,
  kJobKindDisplay = 1,
  kJobKindHybrid = 2,
};

// The method of a hybrid job, as the hybrid result callback reports it.
enum JobMethod : int32_t {
  kMethodWaitInsertion = 0,
  kMethodSendData = 1,
  kMethodCancelInsertion = 2,
  kMethodEjectPaper = 3,
  kMethodReadMicrData = 4,
  kMethodCleanMicrReader = 5,
};

inline constexpr int32_t kJobStatePending = -3;
inline constexpr int32_t kJobStateCompleted = 1;
inline constexpr int32_t kJobStateEnded = 0;

struct JobWait_t {
  PlatformThread_t thread;  // the record's wait thread; detached when the record goes
  uint64_t sentWaitId;
  uint64_t doneWaitId;
  char jobId[kJobIdLength];
  int32_t state;  // kJobState*
  int32_t result;
  uint32_t status;  // StatusFlags reported with the result
  int32_t battery;
  int32_t kind;  // JobKind
  int32_t cancelled;
  int32_t method;  // JobMethod of a hybrid job
  JobWait_t* next;
  int32_t ended;  // 1 once counted in the handle's endedJobs
};

// True for a record whose bytes end with a job-id request, so that the
// printer's job-end reply names it: print and display jobs and hybrid sends.
bool IsFramedJob(const JobWait_t& job);

// Completes the first framed record with that id and the framed record directly
// before it (state 1, result 0). 0; 1 for null arguments; 255 on a lock failure.
int SignalJobById(PrintHandle_t* handle, const char jobId[kJobIdLength]);
// Completes the oldest record of the list, whatever its kind.
int SignalFirstJob(PrintHandle_t* handle);
// Every record of the method that is not cancelled takes state, result and the
// current statusFlags. 0; 1 for a null handle; 255 on a lock failure.
int SignalJobByMethod(PrintHandle_t* handle, int32_t state, int32_t result, int32_t method);
// Only while the handle's hybrid close runs: every record of the method is
// cancelled with result 11. 0; 1 for a null handle; 255 on a lock failure.
int CancelJobByMethod(PrintHandle_t* handle, int32_t method);

// Creates the record with its done and sent wait objects and its thread, and
// appends it under the job-list lock. Null on failure. Timeouts are 0 to
// 600000 ms and count from the job's "sent" signal.
// A hybrid job names its method here, before any completion can look for it.
JobWait_t* AddJobWait(TdcBackendEnv_t* env, PrintHandle_t* handle, const char jobId[kJobIdLength],
                      int32_t timeoutMs, int32_t kind, int32_t method = 0);
// 0; 1 for a bad argument; 5 out of memory; 255 when a wait object or the
// thread cannot be created. The caller holds the job-list lock and appends the
// record before releasing it: the thread removes its record from the list.
int CreateJobWait(TdcBackendEnv_t* env, PrintHandle_t* handle, const char jobId[kJobIdLength],
                  int32_t timeoutMs, int32_t kind, JobWait_t** out, int32_t method = 0);
// Waits up to timeoutMs for the handle's job list to empty (the last job wait
// to leave signals it); with nextSignal for the next signal of that event
// even when the list is empty now. True once it is empty.
bool WaitForNoJobs(PrintHandle_t* handle, int32_t timeoutMs, bool nextSignal = false);
// True on a job-wait thread of the handle.
bool IsJobWaitThread(const PrintHandle_t* handle);
// Every job ends without a result callback; returns once the list is empty.
void CancelAllJobWaits(PrintHandle_t* handle);
// The jobs that still hold the next job back or refuse a display job: jobCount
// less the ended ones whose result is being reported. Never below the true
// figure, read without the job-list lock; 1 for a null handle.
int32_t OutstandingJobs(const PrintHandle_t* handle);
// jobCount less the jobs cancelled with 11; 1 for a null handle.
int32_t CountActiveJobs(PrintHandle_t* handle);

// Starts the engine's own threads (job waits, status monitor), so that a test
// can make a start fail. platform_thread_create's results.
int CreateEngineThread(PlatformThread_t* out, PlatformThreadEntry entry, void* argument);

}  // namespace tilo2::core
