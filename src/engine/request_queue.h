#pragma once
// The request queue of a connection: every step on a printer connection runs
// on the queue's one thread. While jobs are outstanding the thread holds back
// the start of the next job chain and lets other requests overtake it.

#include <atomic>
#include <cstdint>

#include "engine/step_context.h"
#include "foundation/platform.h"

namespace tilo2::core {

enum QueueRequestType : int32_t {
  QUEUE_JOB_START = 1,   // "CheckAndRecover" and the Init step of an asynchronous job chain
  QUEUE_SYNC_START = 2,  // "CheckAndRecover" that starts a synchronous chain
  QUEUE_CHAIN_STEP = 3,  // runs only while the chain result is 0
  QUEUE_STANDALONE = 4,  // own context copy, freed after it ran
  QUEUE_JOB_EXIT = 5,    // ends a job chain; frees the chain's context
  QUEUE_CHAIN_END = 6,   // "NULL" marker of a synchronous chain; no step
};

inline constexpr int kQueueNameLength = 256;

struct QueueRequest_t {
  StepContext_t* context;
  StepFunc step;  // may be null
  int32_t type;   // QueueRequestType
  uint64_t wait;  // wait object signalled with the chain result; 0 for none
  char name[kQueueNameLength];
};

struct QueueNode_t {
  QueueNode_t* next;
  QueueRequest_t* request;
};

struct QueueList_t {
  QueueNode_t* head;
  QueueNode_t* tail;
  PlatformMutex_t mutex;
};

struct RequestQueue_t {
  PlatformMutex_t mutex;  // guards the thread's sleep
  PlatformCond_t event;   // wakes the thread
  PlatformThread_t* thread;
  std::atomic<int32_t> stopped;
  std::atomic<uint32_t> threadId;  // of the running queue thread, 0 while none runs
  PrintHandle_t* handle;
  QueueList_t* list;
  std::atomic<int32_t> reorderMode;  // 0, 1 (two jobs may run) or 2 (one job)
};

inline constexpr const char* kCheckAndRecoverName = "CheckAndRecover";
inline constexpr const char* kChainEndName = "NULL";

// Queue lifetime.
RequestQueue_t* createQueue(TdcBackendEnv_t* env, PrintHandle_t* handle);
int startThread(RequestQueue_t* queue);
// Returns once the thread has run what may run and found nothing more.
int stopThread(RequestQueue_t* queue);
int signalThread(RequestQueue_t* queue);
// Only for an empty queue whose thread has ended.
void destroyQueue(RequestQueue_t* queue);
bool queue_hasItem(RequestQueue_t* queue);
bool queueList_hasItem(QueueList_t* list);
int32_t queue_isStopped(const RequestQueue_t* queue);
// True on the queue's own thread: there, waiting for the queue would deadlock.
bool IsQueueThread(const RequestQueue_t* queue);

// Requests.
QueueRequest_t* NewQueueRequest(StepContext_t* context, int32_t type, uint64_t wait, StepFunc step,
                                const char* name);
QueueRequest_t* NewQueueRequestCopy(const StepContext_t* context, int32_t type, uint64_t wait,
                                    StepFunc step, const char* name);
void FreeQueueRequest(QueueRequest_t* request);
int queueList_push(QueueList_t* list, QueueRequest_t* request);
QueueRequest_t* queueList_pop(QueueList_t* list);
QueueRequest_t* queueList_changeOrderAndPop(QueueList_t* list);

// The process-wide lock held from the first to the last push of a chain, so
// the reordering pop never sees half a chain. False when it cannot be taken.
bool LockGlobalQueue();
void UnlockGlobalQueue();

// Push operations; each answers 1 for a null queue.
int queueList_pushRecover(RequestQueue_t* queue, const StepContext_t* context,
                          StepContext_t** chainContext);
int queueList_pushNull(RequestQueue_t* queue, StepContext_t* chainContext, uint64_t* waitId);
int queueList_pushStep(RequestQueue_t* queue, StepContext_t* context, StepContext_t** chainContext,
                       int32_t type, uint64_t* waitId, StepFunc step, const char* name);

// How long a caller waits for its step: until the tick `at`. When it passes
// first, cancel(argument) is called once, so that the step ends soon, and the
// wait goes on until it has (the step may use the caller's memory); `passed`
// then tells so.
struct StepDeadline {
  uint64_t at;
  void (*cancel)(void* argument);
  void* argument;
  bool passed;
};

// Pushes a standalone step, wakes the thread and waits for the step's result
// without limit, or as `deadline` says. 7 with an ERROR line on the queue's
// own thread.
int RunStandaloneStep(RequestQueue_t* queue, const StepContext_t* context, StepFunc step,
                      const char* name, int32_t* result, StepDeadline* deadline = nullptr);
// Pushes the synchronous chain "CheckAndRecover", step, "NULL", wakes the
// thread and waits without limit, or as `deadline` says; *result is the chain
// result. 0 once the chain ran, the push failure otherwise; 7 with an ERROR
// line on the queue's own thread.
int RunChainStep(RequestQueue_t* queue, const StepContext_t* context, StepFunc step,
                 const char* name, int32_t* result, StepDeadline* deadline = nullptr);

}  // namespace tilo2::core
