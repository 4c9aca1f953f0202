#include "engine/printer_open.h"

#include <cstdlib>
#include <cstring>

#include "engine/engine_log.h"
#include "engine/engine_ops.h"
#include "engine/exchange.h"
#include "engine/hybrid_steps.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/recovery.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/send_chain.h"
#include "engine/status_monitor.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "io/connection_interface.h"

namespace tilo2::core {

namespace {

constexpr int32_t kTcp = 0;
constexpr int32_t kBluetooth = 1;
constexpr int32_t kUsb = 2;
constexpr int32_t kBluetoothExtraWaitMs = 4000;
constexpr int32_t kDeviceInfoWaitMs = 1000;
constexpr int32_t kDisplayReadTimeoutMs = 2000;
constexpr int kReachabilityAttempts = 2;
constexpr int kBusyChecks = 3;
constexpr uint32_t kBusyCheckGapMs = 30;

int IoKind(int32_t connectionType) {
  switch (connectionType) {
    case kTcp:
      return TILOIO_TYPE_TCP;
    case kBluetooth:
      return TILOIO_TYPE_BLUETOOTH;
    default:
      return TILOIO_TYPE_USB;
  }
}

void ResetTransaction(PrintHandle_t* handle) {
  PlatformLockGuard lock(handle->transactionLock);
  if (lock) handle->inTransaction = 0;
}

// Only a close of a connection some other call is still using answers busy:
// that call is ended, not waited out.
int CloseTransport(TiloIoConnection_t* connection) { return TiloIoCloseNow(connection); }

// A step of the open still runs when the caller's limit ends: its blocked
// reads and writes fail at once, and the open gives up.
void AbortOpenTransport(void* argument) {
  TiloIoAbort(static_cast<PrintHandle_t*>(argument)->connection);
}

// Undoes a half-done open, so a failed open never leaves a connection behind.
int AbandonOpen(PrintHandle_t* handle, int result) {
  EngineErrorLine(kPublicSource, __LINE__);
  if (handle->queue != nullptr) {
    stopThread(handle->queue);
    destroyQueue(handle->queue);
    handle->queue = nullptr;
  }
  CloseTransport(handle->connection);
  handle->connection = nullptr;
  std::free(handle->address);
  handle->address = nullptr;
  return result;
}

// Each step of an open runs within the time left of the caller's limit: 0
// once the step ran, 4 when the limit ended first, else the push failure.
int RunStandalone(PrintHandle_t* handle, StepContext_t& context, StepDeadline& deadline,
                  StepFunc step, const char* name) {
  if (deadline.passed || platform_tick_ms() >= deadline.at) return TILOPRN_TIMEOUT;
  context.deadlineMs = deadline.at;
  const int pushed = RunStandaloneStep(handle->queue, &context, step, name, nullptr, &deadline);
  return deadline.passed ? TILOPRN_TIMEOUT : pushed;
}

int RunChain(PrintHandle_t* handle, StepContext_t& context, StepDeadline& deadline, StepFunc step,
             const char* name) {
  if (deadline.passed || platform_tick_ms() >= deadline.at) return TILOPRN_TIMEOUT;
  context.deadlineMs = deadline.at;
  const int pushed = RunChainStep(handle->queue, &context, step, name, nullptr, &deadline);
  return deadline.passed ? TILOPRN_TIMEOUT : pushed;
}

// Whether the printer answers, with one recovery between two looks; a silent
// printer leaves the connection open in the dma state. 0, or the push failure.
int CheckReachability(TdcBackendEnv_t* env, PrintHandle_t* handle, StepContext_t& context,
                      StepDeadline& deadline) {
  const bool oneAttempt = handle->connectionType == kTcp && env != nullptr && env->isVirtual != 0;
  for (int attempt = 1; attempt <= kReachabilityAttempts; ++attempt) {
    *context.noAnswer = 0;
    if (const int pushed = RunStandalone(handle, context, deadline, CheckDMA, "CheckDMA");
        pushed != TILOPRN_SUCCESS) {
      return pushed;
    }
    if (*context.noAnswer == 0) {
      SetNeedRecover(handle, 0);
      return TILOPRN_SUCCESS;
    }
    SetNeedRecover(handle, 1);
    if (attempt == kReachabilityAttempts || oneAttempt) break;
    if (const int pushed = RunStandalone(handle, context, deadline, TiloRecover, "_TiloRecover");
        pushed != TILOPRN_SUCCESS) {
      return pushed;
    }
    if (handle->connectionType == kBluetooth) SetExtraReplyWait(handle, kBluetoothExtraWaitMs);
  }
  handle->dma = 1;
  return TILOPRN_SUCCESS;
}

// The steps between the transport and the monitor: 0, or the failure that
// ends the open.
int RunOpenSteps(TdcBackendEnv_t* env, PrintHandle_t* handle, uint64_t deadlineTick) {
  StepDeadline deadline{deadlineTick, AbortOpenTransport, handle, false};
  LocalSteps steps(env, handle);
  StepContext_t& context = steps.context;
  // Every open learns the battery, information and settings afresh.
  steps.LearnDeviceAfresh(GetExtraReplyWait(handle) + kDeviceInfoWaitMs);
  context.readTimeoutMs = kDisplayReadTimeoutMs;

  if (const int reached = CheckReachability(env, handle, context, deadline);
      reached != TILOPRN_SUCCESS) {
    return reached;
  }
  log_trace(kEngineTag, LOG_TRACE_INFO, handle, 0, "TiloOpenPrinter", LOG_ARG_STRING, "DMA->",
            LOG_ARG_INT, static_cast<int32_t>(handle->dma.load()), LOG_ARG_END);
  // The device information and the display check only inform: their failures
  // leave the printer to the status monitor.
  if (const int pushed =
          RunChain(handle, context, deadline, GetDeviceInformation, "GetDeviceInformation");
      pushed != TILOPRN_SUCCESS) {
    return pushed;
  }
  if (handle->connectionType == kBluetooth && handle->dma == 0 && handle->displayConnected == 0) {
    if (const int pushed =
            RunChain(handle, context, deadline, CheckDisplayConnection, "CheckDisplayConnection");
        pushed != TILOPRN_SUCCESS) {
      return pushed;
    }
  }
  QueueInitiaizeHybridPrinter(env, handle);
  return TILOPRN_SUCCESS;
}

// A refused close leaves the connection as usable as before it.
void ResumeConnection(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (queue_isStopped(handle->queue)) startThread(handle->queue);
  StartStatusMonitor(env, handle);
}

}  // namespace

int TiloOpenPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t connectionType,
                    const char* address, int32_t timeoutMs) {
  if (!CheckHandleList(handle)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (handle->connection != nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  if (address == nullptr || connectionType < kTcp || connectionType > kUsb) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (timeoutMs == -2) timeoutMs = kDefaultOpenTimeoutMs;
  if (timeoutMs < kMinOpenTimeoutMs || timeoutMs > kMaxOpenTimeoutMs) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  handle->batteryModel = 0;
  ResetTransaction(handle);
  handle->interruptSupport = 0;
  handle->modelId = 0xFF;

  // The transport and every step after it share the caller's limit.
  const uint64_t deadline = platform_tick_ms() + static_cast<uint64_t>(timeoutMs);
  TiloIoConnection_t* connection = nullptr;
  const int opened = TiloIoOpen(env, &connection, IoKind(connectionType), address, timeoutMs);
  if (opened != TILOIO_SUCCESS) {
    EngineErrorLine(kPublicSource, __LINE__);
    return ConvertIoResult(opened);
  }
  handle->connection = connection;
  const uint8_t noStatus[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  SetRawAsb(handle, noStatus);
  handle->connectionType = connectionType;
  const size_t length = std::strlen(address);
  handle->address = static_cast<char*>(std::malloc(length + 1));
  if (handle->address == nullptr) return AbandonOpen(handle, TILOPRN_MEMORY_ERROR);
  std::memcpy(handle->address, address, length + 1);
  handle->replyHandler = AnalyzeOpenResponse;
  handle->dma = 0;
  handle->monitorWanted = 1;
  if (const int set = SetMonitorInterval(handle, kDefaultMonitorIntervalMs);
      set != TILOPRN_SUCCESS) {
    return AbandonOpen(handle, set);
  }

  handle->queue = createQueue(env, handle);
  if (handle->queue == nullptr) return AbandonOpen(handle, TILOPRN_MEMORY_ERROR);
  if (const int started = startThread(handle->queue); started != TILOPRN_SUCCESS) {
    return AbandonOpen(handle, started);
  }
  if (const int stepped = RunOpenSteps(env, handle, deadline); stepped != TILOPRN_SUCCESS) {
    return AbandonOpen(handle, stepped);
  }
  if (const int monitored = StartStatusMonitor(env, handle); monitored != TILOPRN_SUCCESS) {
    return AbandonOpen(handle, monitored);
  }
  return TILOPRN_SUCCESS;
}

int TiloDisconnectPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (const int checked = CheckOpenHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  // Stopping the queue thread from itself would wait for itself.
  if (IsQueueThread(handle->queue)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_BUSY;
  }
  for (int check = 1; CountActiveJobs(handle) != 0; ++check) {
    EngineErrorLine(kPublicSource, __LINE__);
    if (check == kBusyChecks) return TILOPRN_BUSY;
    platform_sleep_ms(kBusyCheckGapMs);
  }
  StopStatusMonitor(handle);
  // The monitor cannot stop itself: called from one of its event callbacks,
  // the close leaves everything as it was.
  if (handle->monitorRunning != 0) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_BUSY;
  }
  CancelAllJobWaits(handle);
  TiloEndTransaction(env, handle);
  handle->replyHandler = AnalyzeOpenResponse;
  if (handle->connectionType == kBluetooth) {
    ReplyWaitContext replyWait{};
    replyWait.handle = handle;
    StepContext_t context{};
    context.handle = handle;
    context.env = env;
    context.replyWait = &replyWait;
    RunChainStep(handle->queue, &context, ClosingOperation, "ClosingOperation", nullptr);
  }
  RequestQueue_t* queue = handle->queue;
  if (!queue_isStopped(queue) && queue_hasItem(queue)) {
    EngineErrorLine(kPublicSource, __LINE__);
    ResumeConnection(env, handle);
    return TILOPRN_BUSY;
  }
  stopThread(queue);
  if (queue_hasItem(queue)) {
    EngineErrorLine(kPublicSource, __LINE__);
    ResumeConnection(env, handle);
    return TILOPRN_BUSY;
  }
  if (const int closed = TiloIoClose(handle->connection); closed != TILOIO_SUCCESS) {
    // The handle keeps its connection; without its threads every later
    // operation on it would wait for a queue nobody runs.
    EngineErrorLine(kPublicSource, __LINE__);
    ResumeConnection(env, handle);
    return ConvertIoResult(closed);
  }
  handle->connection = nullptr;
  std::free(handle->address);
  handle->address = nullptr;
  destroyQueue(queue);
  handle->queue = nullptr;
  return TILOPRN_SUCCESS;
}

}  // namespace tilo2::core
