#include "engine/engine_ops.h"

#include "engine/engine_log.h"
#include "engine/event_callbacks.h"
#include "engine/exchange.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/recovery.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/send_chain.h"
#include "engine/status_monitor.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "engine/status_word.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

namespace {

constexpr int32_t kMaxJobTimeoutMs = 600000;
constexpr int32_t kMinMonitorIntervalMs = 1000;
constexpr int32_t kMaxMonitorIntervalMs = 60000;
constexpr uint8_t kInterruptPrinting[] = {0x1B, 0x3D, 0x01, 0x1B, 0x4A, 0x00, 0x0C};
constexpr int32_t kInterruptWriteTimeoutMs = 500;
constexpr int32_t kTransactionInfoTimeoutMs = 500;
constexpr uint32_t kAutoRecoverableError = 0x4000;

// The printer counts as online for the device information when its last
// word is known and shows neither silence nor offline.
int32_t OnlineFromFlags(uint32_t flags) {
  if (flags == kStatusFlagsUnknown) return 0;
  return (flags & (kStatusNoResponse | kStatusOffline)) == 0 ? 1 : 0;
}

// The steps that end a transaction on a printer known to answer.
void ResumeInterruptedJob(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  LocalSteps steps(env, handle, OnlineFromFlags(handle->statusFlags));
  StepContext_t& context = steps.context;
  context.deviceInfo.batteryQuery = 1;
  context.deviceInfo.infoQuery = 1;
  context.deviceInfo.settingQuery = 1;
  context.deviceInfo.infoKnown = static_cast<uint8_t>(handle->infoKind.load() != 0);
  context.deviceInfo.paperSupport = handle->paperSupport;
  context.deviceInfo.replyTimeoutMs = kTransactionInfoTimeoutMs;
  context.deviceInfo.responseEnabled = handle->responseEnabled;
  context.deviceInfo.asbSettingDone = handle->asbSettingDone;
  if (handle->interruptSupport == 0 &&
      RunOperationChain(handle, context, GetDeviceInformation, "GetDeviceInformation") != 0) {
    return;
  }
  if (handle->interruptSupport == 1) {
    RunOperationChain(handle, context, SendInterruptPrinting, "SendInterruptPrinting");
  }
}

}  // namespace

int CheckKnownHandle(PrintHandle_t* handle) {
  if (CheckHandleList(handle)) return TILOPRN_SUCCESS;
  EngineErrorLine(kPublicSource, __LINE__);
  return TILOPRN_PARAMETER_ERROR;
}

bool OnQueueThread(PrintHandle_t* handle) {
  if (!IsQueueThread(handle->queue)) return false;
  EngineErrorLine(kPublicSource, __LINE__);
  return true;
}

int32_t RunOperationChain(PrintHandle_t* handle, const StepContext_t& context, StepFunc step,
                          const char* name) {
  int32_t result = 0;
  const int pushed = RunChainStep(handle->queue, &context, step, name, &result);
  return pushed != TILOPRN_SUCCESS ? pushed : result;
}

int32_t RunOperationStep(PrintHandle_t* handle, const StepContext_t& context, StepFunc step,
                         const char* name) {
  int32_t result = 0;
  const int pushed = RunStandaloneStep(handle->queue, &context, step, name, &result);
  return pushed != TILOPRN_SUCCESS ? pushed : result;
}

int32_t RunStatusChain(PrintHandle_t* handle, const StepContext_t& context, StepFunc step,
                       const char* name) {
  const int32_t result = RunOperationChain(handle, context, step, name);
  if (result == TILOPRN_FAILURE && GetNeedRecover(handle) != 0) return TILOPRN_IO_ERROR;
  return result;
}

uint32_t StatusWord(uint8_t bytes[4], bool noResponse) {
  if (bytes[0] == 0xFF) return kStatusNoResponse;
  if (noResponse) bytes[0] |= kStatusNoResponse;
  return FoldAsb(bytes);
}

int StatusChainOutcome(int32_t result, bool* noResponse) {
  switch (result) {
    case TILOPRN_SUCCESS:
      return TILOPRN_SUCCESS;
    case TILOPRN_CONNECT_ERROR:
      return TILOPRN_ILLEGAL_STATE;
    case TILOPRN_IO_ERROR:
    case TILOPRN_TIMEOUT:
      *noResponse = true;
      return TILOPRN_SUCCESS;
    case TILOPRN_FAILURE:
      EngineErrorLine(kPublicSource, __LINE__);
      return result;
    default:
      return result;
  }
}

int FoldedStatus(TdcBackendEnv_t* env, PrintHandle_t* handle, StepFunc step, const char* name,
                 uint32_t* word, bool* noResponse) {
  StepContext_t context{};
  context.handle = handle;
  context.env = env;
  uint8_t bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  context.statusOut = bytes;
  context.statusOutLength = 4;
  if (!*noResponse) {
    const int outcome = StatusChainOutcome(RunStatusChain(handle, context, step, name), noResponse);
    if (outcome != TILOPRN_SUCCESS) return outcome;
  }
  *word = StatusWord(bytes, *noResponse);
  return TILOPRN_SUCCESS;
}

void AddOfflineReasons(TdcBackendEnv_t* env, PrintHandle_t* handle, uint32_t* word) {
  if ((*word & kAutoRecoverableError) == 0) return;
  StepContext_t query{};
  query.handle = handle;
  query.env = env;
  query.flagsOut = word;
  RunOperationStep(handle, query, GetOfflineResponse, "GetOfflineResponse");
}

int TiloSendData(TdcBackendEnv_t* env, PrintHandle_t* handle, PrinterBuilder_t* builder,
                 int32_t timeoutMs) {
  if (handle == nullptr || builder == nullptr ||
      static_cast<uint32_t>(timeoutMs) > static_cast<uint32_t>(kMaxJobTimeoutMs)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (const int checked = CheckOpenHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  if (QueueSendPrinter(env, handle, builder, timeoutMs) != TILOPRN_SUCCESS) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_MEMORY_ERROR;
  }
  return TILOPRN_SUCCESS;
}

int TiloBeginTransaction(TdcBackendEnv_t*, PrintHandle_t* handle) {
  if (const int checked = CheckOpenHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  PlatformLockGuard lock(handle->transactionLock);
  if (!lock) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  if (handle->inTransaction != 0) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  handle->inTransaction = 1;
  return TILOPRN_SUCCESS;
}

int TiloEndTransaction(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (const int checked = CheckOpenHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  PlatformLockGuard lock(handle->transactionLock);
  if (!lock) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  if (handle->inTransaction == 0) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  // The transaction stays open, so the caller may end it from another thread.
  if (OnQueueThread(handle)) return TILOPRN_BUSY;
  int32_t noAnswer = 1;
  StepContext_t context{};
  context.handle = handle;
  context.env = env;
  context.resultOut = &noAnswer;
  if (RunOperationChain(handle, context, IsPoweroff, "IsPoweroff") != 0) noAnswer = 1;
  bool recovered = true;
  if (GetNeedRecover(handle) != 0) {
    StepContext_t recover{};
    recover.handle = handle;
    recover.env = env;
    recovered = RunOperationChain(handle, recover, TiloRecover, "_TiloRecover") == 0;
  }
  if (recovered && noAnswer == 0) ResumeInterruptedJob(env, handle);
  handle->inTransaction = 0;
  return TILOPRN_SUCCESS;
}

int32_t SendInterruptPrinting(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (context->handle == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  // The printer resumes the interrupted job whether or not this write got
  // through; a lost connection shows up at the next status check.
  SendWithTimeout(context->handle, kInterruptPrinting, sizeof kInterruptPrinting,
                  kInterruptWriteTimeoutMs);
  return TILOPRN_SUCCESS;
}

int TiloGetStatus(TdcBackendEnv_t* env, PrintHandle_t* handle, uint32_t* status, int32_t* battery) {
  if (status == nullptr || battery == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (const int checked = CheckOpenHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  if (OnQueueThread(handle)) return TILOPRN_BUSY;
  StepContext_t context{};
  context.handle = handle;
  context.env = env;
  bool noResponse = false;
  if (handle->monitorWanted != 0) {
    WakeStatusMonitor(handle);
    // The cycle has just failed to recover the printer: it does not answer,
    // and a second recovery in front of the query would only wait as long again.
    noResponse = (handle->statusFlags & kStatusNoResponse) != 0 && GetNeedRecover(handle) != 0;
  } else if (GetNeedRecover(handle) != 0) {
    const int32_t recovered = RunOperationStep(handle, context, TiloRecover, "_TiloRecover");
    if (recovered != 0) return recovered;
  }
  uint32_t word = 0;
  if (const int outcome =
          FoldedStatus(env, handle, GetCommandAsb, "GetCommandAsb", &word, &noResponse);
      outcome != TILOPRN_SUCCESS) {
    return outcome;
  }
  int32_t batteryValue = 0;
  if (!noResponse && handle->batteryModel != 0) {
    StepContext_t query{};
    query.handle = handle;
    query.env = env;
    const int outcome = StatusChainOutcome(
        RunStatusChain(handle, query, GetBatteryStatus, "GetBatteryStatus"), &noResponse);
    if (outcome != TILOPRN_SUCCESS) return outcome;
    if (!noResponse) batteryValue = GetBatteryValue(handle);
  }
  if (!noResponse) AddOfflineReasons(env, handle, &word);
  *status = word;
  *battery = batteryValue;
  return TILOPRN_SUCCESS;
}

int TiloGetLastStatus(PrintHandle_t* handle, uint32_t* status, int32_t* battery) {
  if (status == nullptr || battery == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (const int checked = CheckOpenHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  *status = handle->statusFlags;
  *battery = handle->batteryModel != 0 ? GetBatteryValue(handle) : 0;
  return TILOPRN_SUCCESS;
}

bool IsHandleThread(const PrintHandle_t* handle) {
  return handle != nullptr &&
         (IsQueueThread(handle->queue) || IsMonitorThread(handle) || IsJobWaitThread(handle));
}

int TiloStartMonitor(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (const int checked = CheckKnownHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  if (IsCallbackEnabled(handle)) return TILOPRN_SUCCESS;
  // The monitor raises the first report after its next cycle, on its thread.
  if (RequestFirstReport(handle)) return TILOPRN_SUCCESS;
  {
    // Test and set as one, so two racing starts raise the first events once.
    PlatformLockGuard lock(handle->callbacksLock);
    if (!lock) {
      EngineErrorLine(kCallbackSource, __LINE__);
      return TILOPRN_FAILURE;
    }
    if (handle->callbacksEnabled != 0) return TILOPRN_SUCCESS;
    handle->callbacksEnabled = 1;
  }
  NotifyStatusChange(env, handle, kStatusFlagsUnknown, handle->statusFlags);
  NotifyBatteryChange(env, handle, -1, GetBatteryValue(handle));
  return TILOPRN_SUCCESS;
}

int TiloStopMonitor(TdcBackendEnv_t*, PrintHandle_t* handle) {
  if (const int checked = CheckKnownHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  CancelFirstReport(handle);
  return SetCallbackEnabled(handle, 0);
}

int TiloSetInterval(PrintHandle_t* handle, int32_t intervalMs) {
  if (const int checked = CheckKnownHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  if (intervalMs == -2) intervalMs = kDefaultMonitorIntervalMs;
  if (intervalMs < kMinMonitorIntervalMs || intervalMs > kMaxMonitorIntervalMs) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  return SetMonitorInterval(handle, intervalMs);
}

}  // namespace tilo2::core
