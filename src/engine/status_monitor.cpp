#include "engine/status_monitor.h"

#include "engine/engine_log.h"
#include "engine/event_callbacks.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/recovery.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "io/kdpx.h"

namespace tilo2::core {

namespace {

constexpr int32_t kConnectionTcp = 0;
constexpr int32_t kConnectionBluetooth = 1;
constexpr uint64_t kStartLimitMs = 1000;
constexpr uint64_t kSilentPhaseMs = 5000;
constexpr int32_t kBluetoothExtraWaitMs = 4000;
constexpr int32_t kDisplayReadTimeoutMs = 2000;
// A waker gives up this long after the interval: the cycle is stuck behind
// something that will not end soon.
constexpr int64_t kWakeSlackMs = 30000;

// The handle whose monitor runs on this thread, so that the monitor's own
// callbacks neither wait for its cycle nor stop it.
thread_local const PrintHandle_t* monitorOfThisThread = nullptr;

void MonitorTrace(const PrintHandle_t* handle, const char* text) {
  log_trace(kMonitorTag, LOG_TRACE_INFO, handle, 0, "StatusMonitor", LOG_ARG_STRING, text,
            LOG_ARG_END);
}

void DmaTrace(const PrintHandle_t* handle, int32_t value) {
  log_trace(kMonitorTag, LOG_TRACE_INFO, handle, 0, "StatusMonitor", LOG_ARG_STRING, "DMA->",
            LOG_ARG_INT, value, LOG_ARG_END);
}

void SetExtraReplyWait(PrintHandle_t* handle, int32_t milliseconds) {
  PlatformLockGuard lock(handle->replyWaitLock);
  if (lock) handle->extraReplyWait = milliseconds;
}

int32_t MonitorIntervalMs(PrintHandle_t* handle) {
  const int32_t interval = GetMonitorInterval(handle);
  return interval > 0 ? interval : kDefaultMonitorIntervalMs;
}

// A normal cycle is numbered when it begins, so a waker knows which cycle's
// end it waits for. False when the lock fails: the monitor then stops.
bool BeginCycle(PrintHandle_t* handle) {
  PlatformLockGuard lock(handle->cycleDoneLock);
  if (!lock) return false;
  ++handle->monitorCyclesBegun;
  return true;
}

// Lets wakers go once the monitor has ended: no cycle will come.
void ReleaseWakers(PrintHandle_t* handle) {
  PlatformLockGuard lock(handle->cycleDoneLock);
  platform_cond_signal(&handle->cycleDoneEvent);
}

// The first report of a monitoring start, once a cycle ended after it was
// asked for: events on, then the current status and battery from unknown.
void RaiseFirstReport(PrintHandle_t* handle) {
  // A monitor being stopped reports nothing more.
  if (IsMonitorEnabled(handle) == 0) return;
  {
    PlatformLockGuard lock(handle->callbacksLock);
    if (!lock || handle->firstReportPending == 0) return;
    handle->firstReportPending = 0;
    if (handle->callbacksEnabled != 0) return;
    handle->callbacksEnabled = 1;
  }
  NotifyStatusChange(nullptr, handle, kStatusFlagsUnknown, handle->statusFlags);
  NotifyBatteryChange(nullptr, handle, -1, GetBatteryValue(handle));
}

// True when the last cycle has ended and no waker asked for a new one since.
bool CycleStillDone(PrintHandle_t* handle) {
  PlatformLockGuard lock(handle->cycleDoneLock);
  return lock && handle->monitorCycleDone != 0;
}

bool FirstReportPending(PrintHandle_t* handle) {
  PlatformLockGuard lock(handle->callbacksLock);
  return lock && handle->firstReportPending != 0;
}

// The interval between two cycles, or less when a waker wants a cycle now.
// A monitoring start while the last cycle's status is fresh gets its first
// report at once, and the interval goes on.
void WaitForNextCycle(PrintHandle_t* handle, int32_t intervalMs) {
  const uint64_t end = platform_tick_ms() + static_cast<uint64_t>(intervalMs);
  for (;;) {
    const uint64_t now = platform_tick_ms();
    if (now >= end) return;
    const int waited =
        platform_cond_wait_ms(&handle->monitorWakeEvent, static_cast<int>(end - now));
    if (waited != PLATFORM_OK) return;
    if (!FirstReportPending(handle) || !CycleStillDone(handle)) return;
    RaiseFirstReport(handle);
    if (IsMonitorEnabled(handle) == 0) return;
  }
}

// One cycle of the silent phase. Returns whether the phase goes on.
bool SilentCycle(PrintHandle_t* handle, StepContext_t* dmaContext, uint64_t phaseStart) {
  const bool inTime = platform_tick_ms() - phaseStart < kSilentPhaseMs;
  if (inTime) {
    *dmaContext->noAnswer = 0;
    RunStandaloneStep(handle->queue, dmaContext, CheckDMA, "CheckDMA", nullptr);
    if (*dmaContext->noAnswer != 0 && platform_tick_ms() - phaseStart < kSilentPhaseMs) {
      DmaTrace(handle, handle->dma);
      StepContext_t recover{};
      recover.handle = handle;
      RunStandaloneStep(handle->queue, &recover, TiloRecover, "_TiloRecover", nullptr);
      if (handle->connectionType == kConnectionBluetooth) {
        SetExtraReplyWait(handle, kBluetoothExtraWaitMs);
      }
      return true;
    }
  }
  DmaTrace(handle, 0);
  handle->dma = 0;
  return false;
}

void* StatusMonitorThread(void* argument) {
  auto* handle = static_cast<PrintHandle_t*>(argument);
  monitorOfThisThread = handle;
  // The first cycle switches automatic status on again.
  handle->realtimeResync = 0;
  handle->asbSeen = 0;
  {
    // Tells the starter, which waits on the cycle-done event for this.
    PlatformLockGuard lock(handle->cycleDoneLock);
    handle->monitorRunning = 1;
    platform_cond_signal(&handle->cycleDoneEvent);
  }

  int32_t online = 0;
  uint8_t noAnswer = 0;
  StepContext_t dmaContext{};
  dmaContext.handle = handle;
  dmaContext.online = &online;
  dmaContext.noAnswer = &noAnswer;
  bool silentPhase = false;
  uint64_t phaseStart = 0;

  while (IsMonitorEnabled(handle) != 0) {
    MonitorTrace(handle, "Start.");
    if (handle->dma != 0) {
      if (!silentPhase) phaseStart = platform_tick_ms();
      // The silent phase checks again at once; it has no interval.
      silentPhase = SilentCycle(handle, &dmaContext, phaseStart);
      continue;
    }
    silentPhase = false;
    if (!BeginCycle(handle)) break;
    RequestStatusUpdate(handle);
    QueueClearConnectionTimeout(handle);
    MonitorTrace(handle, "End.");
    // The interval is read for each wait, so a new one counts from the next.
    // It is read before the cycle is seen ended: a change made once a waker
    // saw the end belongs to the wait after this one.
    const int32_t intervalMs = MonitorIntervalMs(handle);
    SignalMonitorCycle(handle);
    RaiseFirstReport(handle);
    if (IsMonitorEnabled(handle) == 0) break;
    WaitForNextCycle(handle, intervalMs);
  }

  handle->monitorRunning = 0;
  ReleaseWakers(handle);
  monitorOfThisThread = nullptr;
  return nullptr;
}

// Whether the new monitor thread began within kStartLimitMs. Wakers leave a
// monitor alone until it runs, so the event is the starter's.
bool WaitForMonitorStart(PrintHandle_t* handle) {
  const uint64_t deadline = platform_tick_ms() + kStartLimitMs;
  PlatformLockGuard lock(handle->cycleDoneLock);
  if (!lock) return false;
  while (handle->monitorRunning == 0) {
    const uint64_t now = platform_tick_ms();
    if (now >= deadline) return false;
    const PlatformTimespec_t until = platform_deadline_after(static_cast<uint32_t>(deadline - now));
    platform_cond_timedwait(&handle->cycleDoneEvent, &handle->cycleDoneLock, &until);
  }
  return true;
}

// Ends the monitor thread and puts the open reply handler back. The caller
// holds the start lock.
void StopMonitorThread(PrintHandle_t* handle) {
  SetMonitorEnabled(handle, 0);
  platform_cond_signal(&handle->monitorWakeEvent);
  PlatformThread_t thread = handle->monitorThread;
  handle->monitorThread = nullptr;
  if (thread != nullptr) {
    platform_thread_join(thread);
    platform_thread_close(thread);
  }
  // A wake left over from the stopped monitor must not cut the next one's
  // first interval short.
  platform_cond_reset(&handle->monitorWakeEvent);
  handle->replyHandler = AnalyzeOpenResponse;
}

}  // namespace

int StartStatusMonitor(TdcBackendEnv_t*, PrintHandle_t* handle) {
  if (handle == nullptr) {
    EngineErrorLine(kMonitorSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  if (handle->monitorWanted == 0) return TILOPRN_SUCCESS;
  PlatformLockGuard start(handle->monitorStartLock);
  if (!start) {
    EngineErrorLine(kMonitorSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  if (handle->monitorThread != nullptr) return TILOPRN_SUCCESS;
  handle->replyHandler = AnalyzeResponse;
  SetMonitorEnabled(handle, 1);
  handle->monitorRunning = 0;
  if (CreateEngineThread(&handle->monitorThread, StatusMonitorThread, handle) != PLATFORM_OK) {
    handle->monitorThread = nullptr;
    EngineErrorLine(kMonitorSource, __LINE__);
    StopMonitorThread(handle);
    return TILOPRN_FAILURE;
  }
  if (!WaitForMonitorStart(handle)) {
    EngineErrorLine(kMonitorSource, __LINE__);
    StopMonitorThread(handle);
    return TILOPRN_FAILURE;
  }
  return TILOPRN_SUCCESS;
}

void StopStatusMonitor(PrintHandle_t* handle) {
  if (handle == nullptr) return;
  // The monitor may be waiting for the queue, and cannot wait for its own end.
  if (monitorOfThisThread == handle || IsQueueThread(handle->queue)) {
    EngineErrorLine(kMonitorSource, __LINE__);
    return;
  }
  PlatformLockGuard start(handle->monitorStartLock);
  if (!start) {
    EngineErrorLine(kMonitorSource, __LINE__);
    return;
  }
  StopMonitorThread(handle);
}

bool IsMonitorThread(const PrintHandle_t* handle) {
  return handle != nullptr && monitorOfThisThread == handle;
}

bool RequestFirstReport(PrintHandle_t* handle) {
  if (handle == nullptr || handle->monitorRunning == 0) return false;
  {
    PlatformLockGuard lock(handle->callbacksLock);
    if (!lock) return false;
    handle->firstReportPending = 1;
  }
  // A cycle begins now unless one runs already; the report follows its end.
  platform_cond_signal(&handle->monitorWakeEvent);
  return true;
}

void CancelFirstReport(PrintHandle_t* handle) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->callbacksLock);
  if (lock) handle->firstReportPending = 0;
}

void WakeStatusMonitor(PrintHandle_t* handle) {
  if (handle == nullptr || monitorOfThisThread == handle) return;
  if (handle->monitorRunning == 0) return;
  if (IsQueueThread(handle->queue)) {
    // The cycle needs this very thread: start it, but do not wait for it.
    platform_cond_signal(&handle->monitorWakeEvent);
    EngineErrorLine(kMonitorSource, __LINE__);
    return;
  }
  // One waker at a time waits on the cycle-done event, which releases one
  // waiter per signal; later wakers mostly find their cycle ended already.
  PlatformLockGuard waker(handle->monitorLock);
  if (!waker) {
    EngineErrorLine(kMonitorSource, __LINE__);
    return;
  }
  const uint64_t deadline = platform_tick_ms() + static_cast<uint64_t>(MonitorIntervalMs(handle)) +
                            static_cast<uint64_t>(kWakeSlackMs);
  PlatformLockGuard cycle(handle->cycleDoneLock);
  if (!cycle) {
    EngineErrorLine(kMonitorSource, __LINE__);
    return;
  }
  // The first cycle that begins after this wake.
  const uint64_t wanted = handle->monitorCyclesBegun + 1;
  handle->monitorCycleDone = 0;
  platform_cond_signal(&handle->monitorWakeEvent);
  while (handle->monitorCyclesEnded < wanted && handle->monitorRunning != 0) {
    const uint64_t now = platform_tick_ms();
    if (now >= deadline) {
      EngineErrorLine(kMonitorSource, __LINE__);
      return;
    }
    const PlatformTimespec_t until = platform_deadline_after(static_cast<uint32_t>(deadline - now));
    platform_cond_timedwait(&handle->cycleDoneEvent, &handle->cycleDoneLock, &until);
  }
}

void SetMonitorEnabled(PrintHandle_t* handle, uint8_t enabled) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->monitorStateLock);
  if (lock) handle->monitorEnabled = enabled;
}

uint8_t IsMonitorEnabled(PrintHandle_t* handle) {
  if (handle == nullptr) return 0;
  PlatformLockGuard lock(handle->monitorStateLock);
  return lock ? handle->monitorEnabled : 0;
}

void SignalMonitorCycle(PrintHandle_t* handle) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->cycleDoneLock);
  if (!lock) return;
  handle->monitorCycleDone = 1;
  handle->monitorCyclesEnded = handle->monitorCyclesBegun;
  platform_cond_signal(&handle->cycleDoneEvent);
}

int RequestStatusUpdate(PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  // A printer that cannot be recovered reports no response; its status
  // steps would only time out. Each step below runs behind "CheckAndRecover",
  // so only once the printer is recovered.
  if (GetNeedRecover(handle) != 0 && RunRecover(handle) == 0) return TILOPRN_SUCCESS;
  if (handle->connectionType == kConnectionBluetooth && handle->displayConnected == 0) {
    ReplyWaitContext replyWait{};
    replyWait.handle = handle;
    StepContext_t context{};
    context.handle = handle;
    context.replyWait = &replyWait;
    context.readTimeoutMs = kDisplayReadTimeoutMs;
    RunChainStep(handle->queue, &context, CheckDisplayConnection, "CheckDisplayConnection",
                 nullptr);
  }
  if (handle->asbSeen == 0) {
    int32_t switchedOn = 0;
    StepContext_t context{};
    context.handle = handle;
    context.resultOut = &switchedOn;
    RunChainStep(handle->queue, &context, EnableAsb, "EnableAsb", nullptr);
    if (switchedOn != 1) return TILOPRN_SUCCESS;
  }
  ReplyWaitContext replyWait{};
  replyWait.handle = handle;
  StepContext_t context{};
  context.handle = handle;
  context.replyWait = &replyWait;
  RunChainStep(handle->queue, &context, CheckAsb, "CheckAsb", nullptr);
  return TILOPRN_SUCCESS;
}

int QueueClearConnectionTimeout(PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (handle->connectionType != kConnectionTcp) return TILOPRN_SUCCESS;
  StepContext_t context{};
  context.handle = handle;
  RunStandaloneStep(handle->queue, &context, ClearConnectionTimeout, "ClearConnectionTimeout",
                    nullptr);
  return TILOPRN_SUCCESS;
}

int32_t ClearConnectionTimeout(StepContext_t* context) {
  if (context == nullptr || context->handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  return ConvertIoResult(TiloIoKdpxClearConnectionTimeout(context->handle->address));
}

}  // namespace tilo2::core
