#include "engine/request_queue.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/engine_log.h"
#include "engine/job_wait.h"
#include "engine/print_handle.h"
#include "engine/print_result.h"
#include "engine/recovery.h"
#include "engine/test_hooks.h"
#include "engine/wait_object.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "io/kdpx.h"

namespace tilo2::core {

namespace {

constexpr int kPlatformThreadsExhausted = 11;
constexpr int kWaitTimedOut = 138;

PlatformMutex_t globalQueueLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
// The recovery step every chain starts with: CheckAndRecover unless a test put
// another step (or null, which runs nothing) there.
std::atomic<StepFunc> checkAndRecoverStep{&CheckAndRecover};

void QueueTrace(const void* handle, const char* function, const char* text, const char* name,
                const void* list, const void* node, const void* request) {
  log_trace(kEngineTag, LOG_TRACE_INFO, handle, 0, function, LOG_ARG_STRING, text, LOG_ARG_STRING,
            name, LOG_ARG_POINTER, list, LOG_ARG_POINTER, node, LOG_ARG_POINTER, request,
            LOG_ARG_END);
}

void ThreadTrace(const RequestQueue_t* queue, const char* function, const char* text) {
  log_trace(kEngineTag, LOG_TRACE_INFO, queue->handle, 0, function, LOG_ARG_STRING, text,
            LOG_ARG_POINTER, queue->thread, LOG_ARG_END);
}

int32_t JobCount(const RequestQueue_t* queue) { return OutstandingJobs(queue->handle); }

// Jobs outstanding at which the next job chain is held back.
int32_t JobThreshold(const RequestQueue_t* queue) { return queue->reorderMode == 1 ? 2 : 1; }

bool MayOvertake(const QueueRequest_t* request) {
  return request->context == nullptr || request->context->printJob == 0;
}

bool EndsRun(const QueueRequest_t* request) {
  return request->type == QUEUE_STANDALONE || request->type == QUEUE_JOB_EXIT ||
         request->type == QUEUE_CHAIN_END;
}

bool RunsAlways(int32_t type) {
  return type == QUEUE_JOB_START || type == QUEUE_SYNC_START || type == QUEUE_STANDALONE ||
         type == QUEUE_JOB_EXIT;
}

bool OwnsContext(int32_t type) {
  return type == QUEUE_STANDALONE || type == QUEUE_JOB_EXIT || type == QUEUE_CHAIN_END;
}

// Sleeps until signalled when nothing may run; returns at once once stopped.
void waitSignal(RequestQueue_t* queue) {
  PlatformLockGuard lock(queue->mutex);
  if (!lock || queue->stopped) return;
  if (JobCount(queue) >= JobThreshold(queue) || !queueList_hasItem(queue->list)) {
    ThreadTrace(queue, "queueingThread", "Queue wait start.");
    platform_cond_wait(&queue->event, &queue->mutex);
    ThreadTrace(queue, "queueingThread", "Queue wait end.");
  }
}

void RunRequest(RequestQueue_t* queue, QueueRequest_t* request, int32_t* chainResult) {
  log_trace(kEngineTag, LOG_TRACE_INFO, queue->handle, 0, "queueingThread", LOG_ARG_STRING,
            "Queue send start.", LOG_ARG_STRING, request->name, LOG_ARG_POINTER, queue->thread,
            LOG_ARG_POINTER, request, LOG_ARG_END);
  if (request->context == nullptr) {
    FreeQueueRequest(request);
    return;
  }
  if (request->step != nullptr && (RunsAlways(request->type) || *chainResult == 0)) {
    request->context->env = nullptr;
    const KdpxDeadlineScope bound(request->context->deadlineMs);
    *chainResult = request->step(request->context);
  }
  log_trace(kEngineTag, LOG_TRACE_INFO, queue->handle, 0, "queueingThread", LOG_ARG_STRING,
            "Queue send end.", LOG_ARG_STRING, request->name, LOG_ARG_STRING, "queueFuncResult->",
            LOG_ARG_INT, *chainResult, LOG_ARG_POINTER, queue->thread, LOG_ARG_END);
  if (request->wait != 0) SignalWaitObject(request->wait, *chainResult);
  if (request->type == QUEUE_JOB_EXIT || request->type == QUEUE_CHAIN_END) *chainResult = 0;
  if (OwnsContext(request->type)) delete request->context;
  FreeQueueRequest(request);
}

void* queueingThread(void* argument) {
  auto* queue = static_cast<RequestQueue_t*>(argument);
  if (queue == nullptr) return nullptr;
  queue->threadId = platform_thread_self_id();
  int32_t chainResult = 0;
  // Stopping ends the thread only once nothing it may run is left.
  for (;;) {
    QueueRequest_t* request = JobCount(queue) >= JobThreshold(queue)
                                  ? queueList_changeOrderAndPop(queue->list)
                                  : queueList_pop(queue->list);
    if (request == nullptr) {
      if (queue->stopped) break;
      waitSignal(queue);
      continue;
    }
    RunRequest(queue, request, &chainResult);
  }
  queue->threadId = 0;
  return nullptr;
}

// Pushes a new request; frees it when the push fails.
int PushNew(QueueList_t* list, QueueRequest_t* request) {
  if (request == nullptr) return TILOPRN_FAILURE;
  const int result = queueList_push(list, request);
  if (result != TILOPRN_SUCCESS) FreeQueueRequest(request);
  return result;
}

// Appends both requests or neither, so a job chain never starts half-pushed.
int PushPair(QueueList_t* list, QueueRequest_t* first, QueueRequest_t* second) {
  if (first == nullptr || second == nullptr) return TILOPRN_FAILURE;
  auto* firstNode = new (std::nothrow) QueueNode_t{nullptr, first};
  auto* secondNode = new (std::nothrow) QueueNode_t{nullptr, second};
  PlatformLockGuard lock(list->mutex);
  if (firstNode == nullptr || secondNode == nullptr || !lock) {
    delete firstNode;
    delete secondNode;
    return TILOPRN_FAILURE;
  }
  firstNode->next = secondNode;
  if (list->tail == nullptr) {
    list->head = firstNode;
  } else {
    list->tail->next = firstNode;
  }
  list->tail = secondNode;
  QueueTrace(nullptr, "queueList_push", "Push->", first->name, list, firstNode, first);
  QueueTrace(nullptr, "queueList_push", "Push->", second->name, list, secondNode, second);
  return TILOPRN_SUCCESS;
}

// Waits for a pushed step's result: without limit, or up to the deadline and,
// once that passed and the step was told to end, for the rest of the step.
void WaitWithin(uint64_t wait, StepDeadline* deadline, int32_t* result) {
  if (deadline != nullptr && !deadline->passed) {
    const uint64_t now = platform_tick_ms();
    const int left = deadline->at > now ? static_cast<int>(deadline->at - now) : 0;
    if (WaitForWaitObject(wait, left, result) != kWaitTimedOut) return;
    deadline->passed = true;
    if (deadline->cancel != nullptr) deadline->cancel(deadline->argument);
  }
  WaitForWaitObject(wait, -1, result);
}

}  // namespace

void EngineSetCheckAndRecoverStep(StepFunc step) { checkAndRecoverStep = step; }

RequestQueue_t* createQueue(TdcBackendEnv_t*, PrintHandle_t* handle) {
  auto* queue = new (std::nothrow) RequestQueue_t{};
  if (queue == nullptr) return nullptr;
  queue->list = new (std::nothrow) QueueList_t{};
  if (queue->list == nullptr) {
    delete queue;
    return nullptr;
  }
  platform_mutex_init(&queue->mutex);
  platform_mutex_init(&queue->list->mutex);
  platform_cond_init(&queue->event);
  queue->stopped = 1;
  queue->handle = handle;
  if (queue->mutex.kind == 0 || queue->list->mutex.kind == 0 || queue->event == nullptr) {
    destroyQueue(queue);
    return nullptr;
  }
  return queue;
}

int startThread(RequestQueue_t* queue) {
  if (queue == nullptr) return TILOPRN_PARAMETER_ERROR;
  auto* holder = new (std::nothrow) PlatformThread_t{};
  if (holder == nullptr) return TILOPRN_FAILURE;
  PlatformLockGuard lock(queue->mutex);
  if (!lock) {
    delete holder;
    return TILOPRN_FAILURE;
  }
  queue->thread = holder;
  queue->stopped = 0;
  const int created = CreateEngineThread(holder, queueingThread, queue);
  if (created != 0) {
    queue->stopped = 1;
    queue->thread = nullptr;
    delete holder;
    return created == kPlatformThreadsExhausted ? TILOPRN_MEMORY_ERROR : TILOPRN_FAILURE;
  }
  ThreadTrace(queue, "startThread", "Queue thread start.");
  return TILOPRN_SUCCESS;
}

int stopThread(RequestQueue_t* queue) {
  if (queue == nullptr) return TILOPRN_PARAMETER_ERROR;
  PlatformThread_t* holder;
  {
    PlatformLockGuard lock(queue->mutex);
    queue->stopped = 1;
    platform_cond_signal(&queue->event);
    holder = queue->thread;
  }
  if (holder != nullptr) {
    platform_thread_join(*holder);
    ThreadTrace(queue, "stopThread", "Queue thread end.");
    platform_thread_close(*holder);
    PlatformLockGuard lock(queue->mutex);
    queue->thread = nullptr;
    delete holder;
  }
  return TILOPRN_SUCCESS;
}

int signalThread(RequestQueue_t* queue) {
  if (queue == nullptr) return TILOPRN_PARAMETER_ERROR;
  PlatformLockGuard lock(queue->mutex);
  ThreadTrace(queue, "signalThread", "Queue thread signal.");
  platform_cond_signal(&queue->event);
  return TILOPRN_SUCCESS;
}

void destroyQueue(RequestQueue_t* queue) {
  if (queue == nullptr) return;
  if (queue->event != nullptr) platform_cond_destroy(&queue->event);
  if (queue->mutex.kind != 0) platform_mutex_destroy(&queue->mutex);
  if (queue->list != nullptr) {
    while (QueueNode_t* node = queue->list->head) {
      queue->list->head = node->next;
      FreeQueueRequest(node->request);
      delete node;
    }
    if (queue->list->mutex.kind != 0) platform_mutex_destroy(&queue->list->mutex);
    delete queue->list;
  }
  delete queue;
}

bool queueList_hasItem(QueueList_t* list) {
  if (list == nullptr) return false;
  PlatformLockGuard lock(list->mutex);
  return lock && list->head != nullptr;
}

bool queue_hasItem(RequestQueue_t* queue) {
  return queue != nullptr && queueList_hasItem(queue->list);
}

int32_t queue_isStopped(const RequestQueue_t* queue) {
  return queue == nullptr ? 1 : queue->stopped.load();
}

bool IsQueueThread(const RequestQueue_t* queue) {
  return queue != nullptr && queue->threadId == platform_thread_self_id();
}

QueueRequest_t* NewQueueRequest(StepContext_t* context, int32_t type, uint64_t wait, StepFunc step,
                                const char* name) {
  if (context == nullptr) return nullptr;
  auto* request = new (std::nothrow) QueueRequest_t{context, step, type, wait, {}};
  if (request == nullptr) return nullptr;
  if (name != nullptr) platform_strncpy(request->name, name, kQueueNameLength - 1);
  return request;
}

QueueRequest_t* NewQueueRequestCopy(const StepContext_t* context, int32_t type, uint64_t wait,
                                    StepFunc step, const char* name) {
  if (context == nullptr) return nullptr;
  auto* copy = new (std::nothrow) StepContext_t(*context);
  if (copy == nullptr) return nullptr;
  QueueRequest_t* request = NewQueueRequest(copy, type, wait, step, name);
  if (request == nullptr) delete copy;
  return request;
}

void FreeQueueRequest(QueueRequest_t* request) { delete request; }

int queueList_push(QueueList_t* list, QueueRequest_t* request) {
  if (list == nullptr || request == nullptr) return TILOPRN_PARAMETER_ERROR;
  auto* node = new (std::nothrow) QueueNode_t{nullptr, request};
  if (node == nullptr) return TILOPRN_MEMORY_ERROR;
  PlatformLockGuard lock(list->mutex);
  if (!lock) {
    delete node;
    return TILOPRN_FAILURE;
  }
  if (list->tail == nullptr) {
    list->head = node;
  } else {
    list->tail->next = node;
  }
  list->tail = node;
  QueueTrace(nullptr, "queueList_push", "Push->", request->name, list, node, request);
  return TILOPRN_SUCCESS;
}

QueueRequest_t* queueList_pop(QueueList_t* list) {
  if (list == nullptr) return nullptr;
  PlatformLockGuard lock(list->mutex);
  if (!lock) return nullptr;
  QueueNode_t* node = list->head;
  if (node == nullptr) return nullptr;
  list->head = node->next;
  if (list->head == nullptr) list->tail = nullptr;
  QueueRequest_t* request = node->request;
  QueueTrace(nullptr, "queueList_pop", "Pop->", request->name, list, node, request);
  delete node;
  return request;
}

QueueRequest_t* queueList_changeOrderAndPop(QueueList_t* list) {
  if (list == nullptr) return nullptr;
  PlatformLockGuard global(globalQueueLock);
  if (!global) return nullptr;
  PlatformLockGuard lock(list->mutex);
  if (!lock) return nullptr;
  QueueNode_t* head = list->head;
  if (head == nullptr) return nullptr;
  const QueueRequest_t* first = head->request;
  if (first->context == nullptr || first->context->printJob != 1 ||
      (first->type != QUEUE_JOB_START && first->type != QUEUE_SYNC_START)) {
    lock.Unlock();
    global.Unlock();
    return queueList_pop(list);
  }
  // The head starts a job chain that must wait: the first run of other
  // requests behind it, up to the request that ends that run, goes first.
  QueueNode_t* beforeR = head;
  QueueNode_t* r = head->next;
  while (r != nullptr && !MayOvertake(r->request)) {
    beforeR = r;
    r = r->next;
  }
  if (r == nullptr) return nullptr;
  QueueNode_t* e = r;
  while (!EndsRun(e->request) && e->next != nullptr) e = e->next;
  if (e != r) {
    // R's followers up to E go before the head, in their order.
    QueueNode_t* moved = r->next;
    beforeR->next = e->next;
    if (list->tail == e) list->tail = beforeR;
    e->next = head;
    list->head = moved;
  } else {
    beforeR->next = r->next;
    if (list->tail == r) list->tail = beforeR;
  }
  QueueRequest_t* request = r->request;
  lock.Unlock();
  global.Unlock();
  QueueTrace(nullptr, "queueList_changeOrderAndPop", "Pop->", request->name, list, r, request);
  delete r;
  return request;
}

bool LockGlobalQueue() { return platform_mutex_lock(&globalQueueLock, -1) == PLATFORM_OK; }

void UnlockGlobalQueue() { platform_mutex_unlock(&globalQueueLock); }

int queueList_pushRecover(RequestQueue_t* queue, const StepContext_t* context,
                          StepContext_t** chainContext) {
  if (queue == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (context == nullptr || chainContext == nullptr) return TILOPRN_FAILURE;
  if (!LockGlobalQueue()) return TILOPRN_FAILURE;
  QueueRequest_t* request = NewQueueRequestCopy(context, QUEUE_SYNC_START, 0,
                                                checkAndRecoverStep.load(), kCheckAndRecoverName);
  StepContext_t* copy = request != nullptr ? request->context : nullptr;
  if (PushNew(queue->list, request) != TILOPRN_SUCCESS) {
    // The chain never started: nothing else will release the lock.
    UnlockGlobalQueue();
    return TILOPRN_FAILURE;
  }
  *chainContext = copy;
  return TILOPRN_SUCCESS;
}

int queueList_pushNull(RequestQueue_t* queue, StepContext_t* chainContext, uint64_t* waitId) {
  if (queue == nullptr) {
    UnlockGlobalQueue();
    return TILOPRN_PARAMETER_ERROR;
  }
  uint64_t wait = 0;
  if (waitId != nullptr) {
    wait = CreateWaitObject();
    if (wait == 0) {
      UnlockGlobalQueue();
      return TILOPRN_MEMORY_ERROR;
    }
  }
  const int result = PushNew(
      queue->list, NewQueueRequest(chainContext, QUEUE_CHAIN_END, wait, nullptr, kChainEndName));
  UnlockGlobalQueue();
  if (result != TILOPRN_SUCCESS) {
    if (wait != 0) DeleteWaitObject(wait);
    return TILOPRN_FAILURE;
  }
  if (waitId != nullptr) *waitId = wait;
  return TILOPRN_SUCCESS;
}

int queueList_pushStep(RequestQueue_t* queue, StepContext_t* context, StepContext_t** chainContext,
                       int32_t type, uint64_t* waitId, StepFunc step, const char* name) {
  if (queue == nullptr) return TILOPRN_PARAMETER_ERROR;
  const bool startsChain =
      type == QUEUE_JOB_START || type == QUEUE_SYNC_START || type == QUEUE_STANDALONE;
  const bool endsChain =
      type == QUEUE_STANDALONE || type == QUEUE_JOB_EXIT || type == QUEUE_CHAIN_END;
  uint64_t wait = 0;
  if (waitId != nullptr) {
    wait = CreateWaitObject();
    if (wait == 0) {
      if (endsChain && !startsChain) UnlockGlobalQueue();
      return TILOPRN_MEMORY_ERROR;
    }
  }
  bool tookLock = false;
  if (startsChain) {
    tookLock = LockGlobalQueue();
    if (!tookLock) {
      if (wait != 0) DeleteWaitObject(wait);
      return TILOPRN_FAILURE;
    }
  }
  StepContext_t* last = nullptr;
  int result = TILOPRN_FAILURE;
  const StepFunc recover = checkAndRecoverStep.load();
  switch (type) {
    case QUEUE_JOB_START: {
      QueueRequest_t* first = NewQueueRequestCopy(context, type, 0, recover, kCheckAndRecoverName);
      last = first != nullptr ? first->context : nullptr;
      QueueRequest_t* second =
          last != nullptr ? NewQueueRequest(last, type, wait, step, name) : nullptr;
      result = PushPair(queue->list, first, second);
      if (result != TILOPRN_SUCCESS) {
        if (first != nullptr) delete first->context;
        FreeQueueRequest(first);
        FreeQueueRequest(second);
      }
      break;
    }
    case QUEUE_SYNC_START: {
      QueueRequest_t* first =
          NewQueueRequestCopy(context, type, wait, recover, kCheckAndRecoverName);
      last = first != nullptr ? first->context : nullptr;
      result = PushNew(queue->list, first);
      break;
    }
    case QUEUE_CHAIN_STEP:
    case QUEUE_JOB_EXIT:
      last = context;
      result = PushNew(queue->list, NewQueueRequest(context, type, wait, step, name));
      break;
    case QUEUE_STANDALONE: {
      QueueRequest_t* request = NewQueueRequestCopy(context, type, wait, step, name);
      last = request != nullptr ? request->context : nullptr;
      if (request == nullptr) break;
      result = queueList_push(queue->list, request);
      if (result != TILOPRN_SUCCESS) {
        delete request->context;
        FreeQueueRequest(request);
      }
      break;
    }
    case QUEUE_CHAIN_END:
      last = context;
      result = PushNew(queue->list, NewQueueRequest(context, type, wait, nullptr, kChainEndName));
      break;
    default:
      break;
  }
  if (result != TILOPRN_SUCCESS) {
    if (wait != 0) DeleteWaitObject(wait);
    if (tookLock || endsChain) UnlockGlobalQueue();
    return TILOPRN_FAILURE;
  }
  if (endsChain) UnlockGlobalQueue();
  if (chainContext != nullptr) *chainContext = last;
  if (waitId != nullptr) *waitId = wait;
  return TILOPRN_SUCCESS;
}

int RunStandaloneStep(RequestQueue_t* queue, const StepContext_t* context, StepFunc step,
                      const char* name, int32_t* result, StepDeadline* deadline) {
  if (queue == nullptr || context == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (IsQueueThread(queue)) {
    // Waiting here would wait for this very thread.
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_BUSY;
  }
  uint64_t wait = 0;
  const int pushed = queueList_pushStep(queue, const_cast<StepContext_t*>(context), nullptr,
                                        QUEUE_STANDALONE, &wait, step, name);
  if (pushed != TILOPRN_SUCCESS) return pushed;
  if (!queue_isStopped(queue)) signalThread(queue);
  int32_t stepResult = 0;
  WaitWithin(wait, deadline, &stepResult);
  DeleteWaitObject(wait);
  if (result != nullptr) *result = stepResult;
  return TILOPRN_SUCCESS;
}

int RunChainStep(RequestQueue_t* queue, const StepContext_t* context, StepFunc step,
                 const char* name, int32_t* result, StepDeadline* deadline) {
  if (queue == nullptr || context == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (IsQueueThread(queue)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_BUSY;
  }
  StepContext_t* chain = nullptr;
  const int started = queueList_pushRecover(queue, context, &chain);
  if (started != TILOPRN_SUCCESS) return started;
  // The chain is open: only its "NULL" marker releases the global queue lock,
  // so the marker is pushed even when the step could not be.
  const int stepPushed =
      PushNew(queue->list, NewQueueRequest(chain, QUEUE_CHAIN_STEP, 0, step, name));
  uint64_t wait = 0;
  const int ended = queueList_pushNull(queue, chain, &wait);
  if (ended != TILOPRN_SUCCESS) {
    // The copy stays with the queued "CheckAndRecover", which cannot free it;
    // that small leak beats a context freed under a queued request.
    return ended;
  }
  if (!queue_isStopped(queue)) signalThread(queue);
  int32_t chainResult = 0;
  WaitWithin(wait, deadline, &chainResult);
  DeleteWaitObject(wait);
  if (stepPushed != TILOPRN_SUCCESS) return stepPushed;
  if (result != nullptr) *result = chainResult;
  return TILOPRN_SUCCESS;
}

}  // namespace tilo2::core
