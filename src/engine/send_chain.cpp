#include "engine/send_chain.h"

#include <cstring>
#include <new>

#include "encoding/printer/prn_cmd.h"
#include "engine/engine_log.h"
#include "engine/event_callbacks.h"
#include "engine/exchange.h"
#include "engine/job_id.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/recovery.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "engine/status_word.h"
#include "engine/wait_object.h"
#include "foundation/lock_guard.h"
#include "foundation/platform.h"
#include "io/connection_interface.h"

namespace tilo2::core {

namespace {

constexpr const char* kInitName = "Init_SendPrinter_Cmd";
constexpr const char* kCheckName = "Check_SendPrinter_Cmd";
constexpr const char* kSendName = "SendPrinter_Cmd";
constexpr const char* kExitName = "Exit_SendPrinter_Cmd";

// The job wait refuses longer timeouts; refusing them here keeps the result.
constexpr int32_t kMaxJobTimeoutMs = 600000;
constexpr int kJobBufferBytes = 4;
constexpr uint8_t kNoStatus = 0xFF;
constexpr int32_t kForcedNoResponse = 1;
constexpr int32_t kForcedOffline = 8;

constexpr uint8_t kOfflineBit = 0x08;
constexpr uint8_t kPaperFeedBit = 0x40;      // first status byte
constexpr uint8_t kPanelSwitchBit = 0x02;    // second status byte
constexpr uint8_t kNearEndSensorBit = 0x08;  // third status byte

constexpr int kJobStatusQueries = 4;
constexpr int32_t kDeviceStatusWaitMs = 2000;
constexpr int32_t kDeviceBatteryWaitMs = 1000;
constexpr int32_t kSettingQueryTimeoutMs = 500;
constexpr uint8_t kSettingQuery[] = {0x1B, 0x3D, 0x01, 0x1D, 0x28, 0x45, 0x02, 0x00, 0x06, 0x0B};

constexpr int32_t kClosingStatusWaitMs = 2000;
constexpr int32_t kClosingModelWaitMs = 2000;
constexpr uint32_t kClosingSettleMs = 700;
// A printer that keeps failing is given up after this long in all.
constexpr uint64_t kClosingLimitMs = 30000;
constexpr uint32_t kPaperSupportNearEndSensor = 0x4;

int32_t ReadInt(const uint8_t* bytes) {
  int32_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

void WriteInt(uint8_t* bytes, int32_t value) { std::memcpy(bytes, &value, sizeof value); }

// Milliseconds since start; the tick clock never fails.
int64_t ElapsedMs(uint64_t start) { return static_cast<int64_t>(platform_tick_ms() - start); }

// One block holds the job's four work buffers; jobStatus is its start.
bool AllocateJobBuffers(StepContext_t* context, int32_t battery) {
  auto* block = new (std::nothrow) uint8_t[4 * kJobBufferBytes];
  if (block == nullptr) return false;
  context->jobStatus = block;
  context->jobRawStatus = block + kJobBufferBytes;
  context->jobForcedStatus = block + 2 * kJobBufferBytes;
  context->jobBattery = block + 3 * kJobBufferBytes;
  std::memset(context->jobStatus, kNoStatus, kJobBufferBytes);
  std::memset(context->jobRawStatus, kNoStatus, kJobBufferBytes);
  WriteInt(context->jobForcedStatus, 0);
  WriteInt(context->jobBattery, battery);
  return true;
}

void FreeJobBuffers(StepContext_t* context) {
  delete[] context->jobStatus;
  context->jobStatus = nullptr;
  context->jobRawStatus = nullptr;
  context->jobForcedStatus = nullptr;
  context->jobBattery = nullptr;
}

bool HasJobBuffers(const StepContext_t* context) { return context->jobStatus != nullptr; }

// The printer does not answer at all (the power check of an empty job).
bool PrinterSilent(PrintHandle_t* handle) {
  StepContext_t check{};
  check.handle = handle;
  int32_t silent = 0;
  check.resultOut = &silent;
  IsPoweroff(&check);
  return silent == 1;
}

int FetchJobStatus(PrintHandle_t* handle, StepContext_t* context, int32_t extraWaitMs) {
  StepContext_t query{};
  query.handle = handle;
  query.statusOut = context->jobStatus;
  query.statusOutLength = kJobStatusQueries;
  query.extraWaitMs = extraWaitMs;
  return GetCommandAsb(&query);
}

int InitJob(StepContext_t* context, int32_t kind, int32_t method) {
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr || context->jobHandle == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (!CheckHandleList(context->jobHandle)) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  // The job wait comes first, so that every later failure reaches the result
  // callback through the Exit step.
  char jobId[kJobIdLength];
  NewPrintJobId(jobId);
  context->jobWait =
      AddJobWait(context->env, context->jobHandle, jobId, context->timeoutMs, kind, method);
  if (context->jobWait == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  if (!AllocateJobBuffers(context, GetBatteryValue(handle))) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_MEMORY_ERROR;
  }
  PrinterBuilder_t* record = context->printerBuilder;
  if (record == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrnCmdHandle_t* builder = record->builder.get();
  if (!PrnCmdValid(builder)) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  builder->trailerWanted = 1;
  if (handle->monitorWanted) SetSendingBuilder(handle, record->builder);
  builder->headerWanted = 1;
  std::memcpy(builder->processId, jobId, kJobIdLength);

  CmdData_t* built = nullptr;
  const int buildResult = PrnCmdBuild(builder, &built);
  if (buildResult != 0) {
    if (buildResult == 1) return TILOPRN_PARAMETER_ERROR;
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return buildResult == 3 ? TILOPRN_MEMORY_ERROR : TILOPRN_FAILURE;
  }
  TakeBuiltData(context, built);
  if (context->sendData == nullptr && PrinterSilent(handle)) return TILOPRN_IO_ERROR;
  return TILOPRN_SUCCESS;
}

int ReceiptChecks(StepContext_t* context, uint64_t start, const ReceiptCheckRules& rules) {
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr || !HasJobBuffers(context)) return TILOPRN_FAILURE;
  // The reading before this found the link gone and the printer not back:
  // nothing of the job can reach it.
  if (TiloIoCheckLink(handle->connection) == TILOIO_IO_ERROR) {
    WriteInt(context->jobForcedStatus, kForcedNoResponse);
    return TILOPRN_IO_ERROR;
  }
  if (handle->interruptSupport == 0) {
    int paused = 1;
    if (PauseReceive(nullptr, handle, &paused) == TILOPRN_SUCCESS) {
      SendInterruptSupportQuery(handle);
      if (paused == 0) ResumeReceive(handle);
    }
  }
  if (handle->modelId == 0xFF || handle->interruptSupport == 0) SendModelIdQuery(handle);

  // One extra wait (after a Bluetooth recovery) serves both queries below.
  const int32_t extraWaitMs = GetExtraReplyWait(handle);
  GetRawAsb(handle, context->jobRawStatus);
  if (context->jobRawStatus[0] == kNoStatus) {
    const int fetched = FetchJobStatus(handle, context, extraWaitMs);
    SetExtraReplyWait(handle, 0);
    if (fetched != TILOPRN_SUCCESS) {
      WriteInt(context->jobForcedStatus, kForcedNoResponse);
      return fetched;
    }
  } else {
    std::memcpy(context->jobStatus, context->jobRawStatus, kJobBufferBytes);
  }
  if (rules.withBattery && handle->batteryModel) {
    StepContext_t battery{};
    battery.handle = handle;
    battery.extraWaitMs = extraWaitMs;
    const int batteryResult = GetBatteryStatus(&battery);
    SetExtraReplyWait(handle, 0);
    if (batteryResult != TILOPRN_SUCCESS) return batteryResult;
    WriteInt(context->jobBattery, GetBatteryValue(handle));
  }

  for (;;) {
    const uint8_t* status = context->jobStatus;
    if (!IsOfflineWithReason(status) || (rules.extStatusDecides && handle->infoKind.load() == 1)) {
      const int interrupt = RunInterruptPrinting(nullptr, handle, context->timeoutMs);
      if (interrupt != TILOPRN_SUCCESS && interrupt != TILOPRN_TIMEOUT) {
        WriteInt(context->jobForcedStatus, kForcedNoResponse);
      }
      return interrupt;
    }
    if ((status[0] & kPaperFeedBit) == 0 && (status[1] & kPanelSwitchBit) == 0) {
      WriteInt(context->jobForcedStatus, kForcedOffline);
      return TILOPRN_PRINTER_ERROR;
    }
    // Feeding or a pressed switch passes by itself: decide again on what the
    // printer reports next, never on the same bytes twice.
    if (ElapsedMs(start) >= context->timeoutMs) return TILOPRN_TIMEOUT;
    ReadPendingReplies(handle);
    // A printer that stopped answering meanwhile will not finish feeding.
    if (const uint32_t flags = handle->statusFlags.load();
        flags != kStatusFlagsUnknown && (flags & kStatusNoResponse) != 0) {
      WriteInt(context->jobForcedStatus, kForcedNoResponse);
      return TILOPRN_IO_ERROR;
    }
    uint8_t raw[4];
    GetRawAsb(handle, raw);
    if (raw[0] != kNoStatus) {
      std::memcpy(context->jobStatus, raw, kJobBufferBytes);
    } else if (const int fetched = FetchJobStatus(handle, context, 0); fetched != TILOPRN_SUCCESS) {
      WriteInt(context->jobForcedStatus, kForcedNoResponse);
      return fetched;
    }
  }
}

int SendJob(StepContext_t* context) {
  PrintHandle_t* handle = context->handle;
  if (context->sendData == nullptr || context->sendLength <= 0) return TILOPRN_SUCCESS;
  if (handle == nullptr || !HasJobBuffers(context)) return TILOPRN_FAILURE;
  const uint64_t start = platform_tick_ms();
  if (handle->monitorWanted && context->printerBuilder != nullptr) {
    SetSendingBuilder(handle, context->printerBuilder->builder);
  }
  const int64_t left = context->timeoutMs - ElapsedMs(start);
  const int sent =
      SendCommandData(nullptr, handle, context->sendData, static_cast<size_t>(context->sendLength),
                      static_cast<int32_t>(left < 0 ? -1 : left));
  if (sent != TILOPRN_SUCCESS) {
    if (sent != TILOPRN_TIMEOUT) WriteInt(context->jobForcedStatus, kForcedNoResponse);
    return sent;
  }
  return ElapsedMs(start) >= context->timeoutMs ? TILOPRN_TIMEOUT : TILOPRN_SUCCESS;
}

// The word a failed job reports: the status bytes with the forced bits, or
// the forced bits alone when no status is known.
uint32_t JobStatusWord(const StepContext_t* context) {
  const int32_t forced = ReadInt(context->jobForcedStatus);
  if (context->jobStatus[0] == kNoStatus) return static_cast<uint32_t>(forced);
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<uint8_t>(context->jobStatus[i] | ((forced >> (8 * i)) & 0xFF));
  }
  return FoldAsb(bytes);
}

// Ends the job's record and lets its wait thread go. The record is looked up
// in the list first: a close may have cancelled and removed it meanwhile.
void ReleaseJobWait(PrintHandle_t* jobHandle, JobWait_t* job, int32_t result, bool completeEmpty,
                    uint32_t word, int32_t battery) {
  uint64_t sentWaitId = 0;
  {
    PlatformLockGuard lock(jobHandle->jobListLock);
    if (!lock) {
      EngineErrorLine(kSendReceiveSource, __LINE__);
      return;
    }
    JobWait_t* found = jobHandle->jobs;
    while (found != nullptr && found != job) found = found->next;
    if (found == nullptr) return;
    if (job->state == kJobStatePending && (result != TILOPRN_SUCCESS || completeEmpty)) {
      job->state = result == TILOPRN_SUCCESS ? kJobStateCompleted : kJobStateEnded;
      job->result = result;
      job->status = word;
      job->battery = battery;
      SignalWaitObject(job->doneWaitId, 0);
    }
    sentWaitId = job->sentWaitId;
  }
  SignalWaitObject(sentWaitId, 0);
}

int32_t ExitJob(StepContext_t* context, NeedRecoverRule needRecoverAfter) {
  PrintHandle_t* handle = context->handle;
  int32_t result = context->stepResult;
  if (context->builtData != nullptr) {
    if (CmdDataFree(context->builtData) != 0) {
      EngineErrorLine(kSendReceiveSource, __LINE__);
      result = TILOPRN_FAILURE;
    }
    context->builtData = nullptr;
  }
  uint32_t word = 0;
  int32_t battery = -1;
  if (HasJobBuffers(context)) {
    GetRawAsb(handle, context->jobRawStatus);
    if (context->jobRawStatus[0] != kNoStatus) {
      std::memcpy(context->jobStatus, context->jobRawStatus, kJobBufferBytes);
    }
  }
  if (result != TILOPRN_SUCCESS && handle != nullptr) {
    if (needRecoverAfter(result)) SetNeedRecover(handle, 1);
    if (result == TILOPRN_IO_ERROR || result == TILOPRN_FAILURE) {
      const uint8_t none[4] = {kNoStatus, kNoStatus, kNoStatus, kNoStatus};
      SetRawAsb(handle, none);
      if (HasJobBuffers(context)) context->jobStatus[0] = kNoStatus;
    }
  }
  if (HasJobBuffers(context)) {
    word = JobStatusWord(context);
    battery = ReadInt(context->jobBattery);
  } else if (result != TILOPRN_SUCCESS) {
    // Without buffers nothing was exchanged: report the printer as unknown.
    word = kForcedNoResponse;
  }
  if (context->jobWait != nullptr && context->jobHandle != nullptr) {
    // Bytes never sent draw no job end: an empty job that went well ends here.
    const bool empty = context->sendData == nullptr;
    ReleaseJobWait(context->jobHandle, context->jobWait, result, empty, word, battery);
    context->jobWait = nullptr;
  }
  context->sendData = nullptr;
  context->sendLength = 0;
  FreeJobBuffers(context);
  FreeSendData(context);
  return result;
}

bool AnyFailure(int32_t result) { return result != TILOPRN_SUCCESS; }

// The Exit step of a chain whose Check or send step could not be queued: the
// job must not wait for an end that its unsent bytes can never bring.
int32_t ExitIncompleteChain(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (context->stepResult == TILOPRN_SUCCESS) context->stepResult = TILOPRN_FAILURE;
  return ExitSendPrinterCmd(context);
}

constexpr JobChainSteps kPrintJobChain = {
    {InitSendPrinterCmd, kInitName}, {CheckSendPrinterCmd, kCheckName}, {SendPrinterCmd, kSendName},
    {ExitSendPrinterCmd, kExitName}, {ExitIncompleteChain, kExitName},
};

// Ends a paused exchange on every path.
void ResumeIfPaused(PrintHandle_t* handle, int paused) {
  if (paused == 0 && ResumeReceive(handle) != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
  }
}

int QueryModelAndBattery(PrintHandle_t* handle, int32_t timeoutMs) {
  const int sent = SendModelIdQuery(handle);
  if (sent != TILOPRN_SUCCESS) return sent;
  ReplyWaitContext replies{};
  replies.handle = handle;
  replies.rtIndex = kRtIndexInterruptSupport;
  return ReceiveResponse(handle, timeoutMs, &replies, kWaitModelAndBattery);
}

int DeviceInformationOnline(StepContext_t* context, PrintHandle_t* handle) {
  DeviceInfoRequest& request = context->deviceInfo;
  if (request.infoQuery) SendInfoQuery(handle);
  if (request.settingQuery) {
    SendWithTimeout(handle, kSettingQuery, sizeof kSettingQuery, kSettingQueryTimeoutMs);
  }
  if (request.responseEnabled == 0 && SendResponseEnable(handle) == TILOPRN_SUCCESS) {
    request.responseEnabled = 1;
    handle->responseEnabled = 1;
  }
  if (request.asbSettingDone == 0 && SendSettingCommand(handle) == TILOPRN_SUCCESS) {
    request.asbSettingDone = 1;
    handle->asbSettingDone = 1;
  }
  const int model = QueryModelAndBattery(handle, request.replyTimeoutMs);
  if (model == TILOPRN_SUCCESS) {
    const bool known = request.infoKnown != 0 && request.paperSupport != 0xFFFFFFFFu;
    return known ? TILOPRN_SUCCESS : QueryPrinterInfo(nullptr, handle);
  }
  if (handle->interruptSupport != 1) {
    SendFlushBlock(handle);
    SendClearBuffer(handle);
  }
  return model;
}

int DeviceInformationOffline(StepContext_t* context, PrintHandle_t* handle, int paused) {
  SendStatusRequest(handle);
  uint8_t status[4] = {};
  GetRealtimeStatus(nullptr, handle, status, 1, kDeviceStatusWaitMs);
  ResumeIfPaused(handle, paused);
  ReplyWaitContext replies{};
  replies.handle = handle;
  replies.rtIndex = kRtIndexInterruptSupport;
  int result = ReceiveResponse(handle, kDeviceBatteryWaitMs, &replies, kWaitBattery);
  if (result == TILOPRN_IO_ERROR) return TILOPRN_CONNECT_ERROR;
  if (result == TILOPRN_TIMEOUT) result = TILOPRN_SUCCESS;
  if (handle->interruptSupport != 1) {
    StepContext_t recover{};
    recover.handle = handle;
    recover.env = context->env;
    const int recovered = TiloRecover(&recover);
    if (result == TILOPRN_SUCCESS) result = recovered;
  }
  return result;
}

int DeviceInformation(StepContext_t* context) {
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  if (context->online == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  const bool online = *context->online != 0;
  int paused = 1;
  if (!online && PauseReceive(context, handle, &paused) != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_SUCCESS;
  }
  int queried = TILOPRN_SUCCESS;
  if (handle->interruptSupport == 0) queried = SendInterruptSupportQuery(handle);
  if (queried == TILOPRN_SUCCESS && context->deviceInfo.batteryQuery) {
    queried = SendBatteryQuery(handle);
  }
  if (queried != TILOPRN_SUCCESS) {
    ResumeIfPaused(handle, paused);
    return queried == TILOPRN_IO_ERROR || queried == TILOPRN_TIMEOUT ? TILOPRN_CONNECT_ERROR
                                                                     : queried;
  }
  if (handle->asbSeen == 0) SendAsbEnable(handle);
  if (handle->dma) {
    ResumeIfPaused(handle, paused);
    return TILOPRN_SUCCESS;
  }
  int result;
  if (online) {
    result = DeviceInformationOnline(context, handle);
  } else {
    result = DeviceInformationOffline(context, handle, paused);
    if (result == TILOPRN_CONNECT_ERROR) return result;
  }
  int32_t unknown = 0;
  handle->interruptSupport.compare_exchange_strong(unknown, 2);
  return result;
}

// One pass of the closing: 0 done, a failure, or -1 to start again.
constexpr int kClosingAgain = -1;

int ClosingPass(PrintHandle_t* handle, ReplyWaitContext* replies) {
  int paused = 1;
  const int pauseResult = PauseReceive(nullptr, handle, &paused);
  if (pauseResult != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return pauseResult;
  }
  uint8_t status[4] = {};
  const int query = GetRealtimeStatus(nullptr, handle, status, 1, kClosingStatusWaitMs);
  ResumeIfPaused(handle, paused);

  if (query != TILOPRN_SUCCESS && status[0] == 0) {
    const int retry = RecoverPrinterRetry(nullptr, handle);
    if (retry == TILOPRN_IO_ERROR) return retry;
    if (retry == TILOPRN_TIMEOUT) {
      platform_sleep_ms(kClosingSettleMs);
      return retry;
    }
    return kClosingAgain;
  }
  StepContext_t recover{};
  recover.handle = handle;
  if ((status[0] & kOfflineBit) != 0) {
    if (GetNeedRecover(handle)) {
      TiloRecover(&recover);
      SetNeedRecover(handle, 0);
    }
    platform_sleep_ms(kClosingSettleMs);
    return TILOPRN_SUCCESS;
  }
  if (handle->interruptSupport == 1) {
    paused = 1;
    if (PauseReceive(nullptr, handle, &paused) != TILOPRN_SUCCESS) {
      EngineErrorLine(kSendReceiveSource, __LINE__);
    }
    // A verdict left from an earlier request must not count for this one.
    handle->interruptAccepted = 0;
    int interrupt = SendInterruptRequest(handle);
    if (interrupt == TILOPRN_SUCCESS) interrupt = WaitInterruptReply(nullptr, handle);
    ResumeIfPaused(handle, paused);
    if (interrupt != TILOPRN_SUCCESS) return interrupt;
    if (!IsInterruptAccepted(handle)) return TILOPRN_SUCCESS;
  }
  SendModelIdQuery(handle);
  // Only this pass's replies count.
  TdcBackendEnv_t* env = replies->env;
  *replies = ReplyWaitContext{};
  replies->handle = handle;
  replies->env = env;
  const int model = ReceiveResponse(handle, kClosingModelWaitMs, replies, kWaitModelAndBattery);
  if (model == TILOPRN_SUCCESS) return TILOPRN_SUCCESS;
  if (GetNeedRecover(handle) && TiloRecover(&recover) == TILOPRN_SUCCESS) {
    SetNeedRecover(handle, 0);
  }
  if (model == TILOPRN_TIMEOUT && (handle->paperSupport.load() & kPaperSupportNearEndSensor) != 0) {
    uint8_t raw[4];
    GetRawAsb(handle, raw);
    if ((raw[2] & kNearEndSensorBit) != 0) return TILOPRN_TIMEOUT;
  }
  return kClosingAgain;
}

}  // namespace

void ReadPendingReplies(PrintHandle_t* handle) {
  ReplyWaitContext replies{};
  replies.handle = handle;
  StepContext_t check{};
  check.handle = handle;
  check.replyWait = &replies;
  CheckAsb(&check);
}

int QueueJobChain(StepContext_t* context, const JobChainSteps& steps) {
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr || handle->queue == nullptr) return TILOPRN_PARAMETER_ERROR;
  if ((context->printerBuilder == nullptr && context->displayBuilder == nullptr) ||
      context->timeoutMs < 0 || context->timeoutMs > kMaxJobTimeoutMs) {
    return TILOPRN_PARAMETER_ERROR;
  }
  RequestQueue_t* queue = handle->queue;
  if (CopySendData(context) != TILOPRN_SUCCESS) return TILOPRN_MEMORY_ERROR;

  StepContext_t* chain = nullptr;
  if (queueList_pushStep(queue, context, &chain, QUEUE_JOB_START, nullptr, steps.init.step,
                         steps.init.name) != TILOPRN_SUCCESS) {
    // Nothing of the chain is queued: the copy is still ours.
    EngineErrorLine(kSendReceiveSource, __LINE__);
    FreeSendData(context);
    return TILOPRN_FAILURE;
  }
  const bool complete =
      (steps.check.step == nullptr ||
       queueList_pushStep(queue, chain, nullptr, QUEUE_CHAIN_STEP, nullptr, steps.check.step,
                          steps.check.name) == TILOPRN_SUCCESS) &&
      queueList_pushStep(queue, chain, nullptr, QUEUE_CHAIN_STEP, nullptr, steps.send.step,
                         steps.send.name) == TILOPRN_SUCCESS;
  if (!complete) EngineErrorLine(kSendReceiveSource, __LINE__);
  // The Exit step always goes in: it releases the job and frees the chain.
  const StepFunc exit = complete ? steps.exit.step : steps.exitIncomplete.step;
  const int exited =
      queueList_pushStep(queue, chain, nullptr, QUEUE_JOB_EXIT, nullptr, exit, steps.exit.name);
  if (exited != TILOPRN_SUCCESS) EngineErrorLine(kSendReceiveSource, __LINE__);
  if (!queue_isStopped(queue)) signalThread(queue);
  return complete && exited == TILOPRN_SUCCESS ? TILOPRN_SUCCESS : TILOPRN_FAILURE;
}

void TakeBuiltData(StepContext_t* context, CmdData_t* built) {
  context->builtData = built;
  context->sendData = nullptr;
  uint32_t length = 0;
  if (CmdDataGetLength(built, &length) != 0) length = 0;
  const uint8_t* bytes = nullptr;
  if (length > 0 && CmdDataGetData(built, &bytes) == 0 && bytes != nullptr) {
    context->sendData = const_cast<uint8_t*>(bytes);
  }
  context->sendLength = context->sendData != nullptr ? static_cast<int32_t>(length) : 0;
}

int32_t InitJobChain(StepContext_t* context, int32_t kind, int32_t method) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Finish(context, InitJob(context, kind, method));
}

int32_t CheckReceiptJob(StepContext_t* context, uint64_t startMs, const ReceiptCheckRules& rules) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return ReceiptChecks(context, startMs, rules);
}

int32_t ExitJobChain(StepContext_t* context, NeedRecoverRule needRecoverAfter) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Finish(context,
                ExitJob(context, needRecoverAfter != nullptr ? needRecoverAfter : AnyFailure));
}

int QueueSendPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle, PrinterBuilder_t* builder,
                     int32_t timeoutMs) {
  if (handle == nullptr || builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  StepContext_t context{};
  context.env = env;
  context.handle = handle;
  context.jobHandle = handle;
  context.printerBuilder = builder;
  context.timeoutMs = timeoutMs;
  context.printJob = 1;
  return QueueJobChain(&context, kPrintJobChain);
}

int32_t InitSendPrinterCmd(StepContext_t* context) {
  return InitJobChain(context, kJobKindPrint, 0);
}

int32_t CheckSendPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (context->handle == nullptr || !HasJobBuffers(context)) {
    return Finish(context, TILOPRN_FAILURE);
  }
  const uint64_t start = platform_tick_ms();
  ReadPendingReplies(context->handle);
  return Finish(context, ReceiptChecks(context, start, ReceiptCheckRules{true, false}));
}

int32_t SendPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Finish(context, SendJob(context));
}

int32_t ExitSendPrinterCmd(StepContext_t* context) { return ExitJobChain(context, AnyFailure); }

int32_t GetDeviceInformation(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Finish(context, DeviceInformation(context));
}

int32_t ClosingOperation(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  ReplyWaitContext* replies = context->replyWait;
  PrintHandle_t* handle = replies != nullptr ? replies->handle : nullptr;
  if (handle == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return Finish(context, TILOPRN_FAILURE);
  }
  const uint64_t start = platform_tick_ms();
  for (;;) {
    const int pass = ClosingPass(handle, replies);
    if (pass != kClosingAgain) return Finish(context, pass);
    if (platform_tick_ms() - start >= kClosingLimitMs) {
      EngineErrorLine(kSendReceiveSource, __LINE__);
      return Finish(context, TILOPRN_TIMEOUT);
    }
  }
}

}  // namespace tilo2::core
