#pragma once
// The job-wait records of a handle's job list and the completions the reply
// analysis raises on them. The threads that wait on the records come later;
// this module only finds records and signals their done wait objects.

#include <cstdint>

#include "engine/job_id.h"
#include "engine/print_handle.h"

namespace tilo2::core {

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
// appends it under the job-list lock. Null on failure.
JobWait_t* AddJobWait(TdcBackendEnv_t* env, PrintHandle_t* handle, const char jobId[kJobIdLength],
                      int32_t timeoutMs, int32_t kind);
// 0; 1 for a bad argument; 5 out of memory; 255 when a wait object or the
// thread cannot be created.
int CreateJobWait(TdcBackendEnv_t* env, PrintHandle_t* handle, const char jobId[kJobIdLength],
                  int32_t timeoutMs, int32_t kind, JobWait_t** out);
// Every job ends without a result callback; returns once the list is empty.
void CancelAllJobWaits(PrintHandle_t* handle);
// jobCount less the jobs cancelled with 11; 1 for a null handle.
int32_t CountActiveJobs(PrintHandle_t* handle);

}  // namespace tilo2::core
