// The hybrid printer's send chain, which shares the print job's steps and adds
// the paper checks, the paper-type cueing and the hybrid status query.
#include <cstring>

#include "encoding/reply/reply_splitter.h"
#include "engine/engine_log.h"
#include "engine/event_callbacks.h"
#include "engine/exchange.h"
#include "engine/hybrid_steps.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/recovery.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/send_chain.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "engine/status_word.h"
#include "foundation/platform.h"
#include "io/connection_interface.h"

namespace tilo2::core {

namespace {

constexpr const char* kInitName = "Init_SendHybdPrinter_Cmd";
constexpr const char* kCheckName = "Check_SendHybdPrinter_Cmd";
constexpr const char* kSendName = "SendPrinter_Cmd";
constexpr const char* kExitName = "Exit_SendHybdPrinter_Cmd";
constexpr const char* kCheckCueName = "Check_CuePaper";
constexpr const char* kWaitInsertionName = "WaitInsertionHybdPrinter_Cmd";
constexpr const char* kCueingName = "CheckCueingPaper";
constexpr const char* kRecoverName = "_TiloRecover";
constexpr int32_t kCueingInsertionWaitMs = 500;

constexpr uint32_t kPathsClear = kHybridSlipPathClear | kHybridValidationPathClear;
constexpr uint32_t kCueingError = 0x01000000u;

constexpr size_t kReadChunk = 128;
constexpr int32_t kHybridStatusWaitMs = 1000;
constexpr int32_t kCueingReadMs = 500;
// A sheet that never comes must not hold the queue thread for good.
constexpr uint64_t kCueingLimitMs = 10000;
constexpr uint32_t kBusyPauseMs = 100;
constexpr int kBusyRetries = 10;

// Refusals that leave the printer as it was: nothing to recover from.
bool HybridSendNeedsRecover(int32_t result) {
  switch (result) {
    case TILOPRN_SUCCESS:
    case TILOPRN_ILLEGAL_STATE:
    case kHybridWrongPaperType:
    case kHybridInsertionRunning:
    case kHybridPaperInserted:
    case kHybridRemovalWaiting:
      return false;
    default:
      return true;
  }
}

// An incomplete chain must still end its job.
int32_t ExitIncompleteHybridChain(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (context->stepResult == TILOPRN_SUCCESS) context->stepResult = TILOPRN_FAILURE;
  return ExitSendHybdPrinterCmd(context);
}

constexpr JobChainSteps kHybridSendChain = {
    {InitSendHybdPrinterCmd, kInitName},
    {CheckSendHybdPrinterCmd, kCheckName},
    {SendPrinterCmd, kSendName},
    {ExitSendHybdPrinterCmd, kExitName},
    {ExitIncompleteHybridChain, kExitName},
};

// The status word the checks decide on. A word never received yet is asked
// for once, rather than taken for a printer that does not answer.
uint32_t CurrentFlags(StepContext_t* context) {
  PrintHandle_t* handle = context->handle;
  if (handle->statusFlags.load() == kStatusFlagsUnknown) {
    StepContext_t query{};
    query.handle = handle;
    query.env = context->env;
    uint8_t scratch[4];
    query.statusOut = scratch;
    query.statusOutLength = 1;
    GetCommandAsb(&query);
  }
  const uint32_t flags = handle->statusFlags.load();
  return flags == kStatusFlagsUnknown ? kStatusNoResponse : flags;
}

bool PaperTypeKnown(int32_t paperType) {
  return paperType >= kPaperReceipt && paperType <= kPaperValidation;
}

// The paper checks of a hybrid send, first match.
int HybridPaperChecks(StepContext_t* context) {
  PrintHandle_t* handle = context->handle;
  const int32_t paper = context->paperType;
  const bool removal = context->removalPending != 0;
  const uint32_t flags = CurrentFlags(context);
  uint8_t raw[4];
  GetRawAsb(handle, raw);
  if ((flags & kStatusNoResponse) != 0) return TILOPRN_IO_ERROR;
  if (handle->paperPulledOut.exchange(0) != 0) {
    SetNeedRecover(handle, 1);
    return kHybridPaperPulledOut;
  }
  if (!PaperTypeKnown(paper)) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  if (removal && (paper == kPaperReceipt || paper == kPaperValidation))
    return kHybridWrongPaperType;
  if ((flags & kStatusInsertionWait) != 0) return kHybridInsertionRunning;
  if ((flags & kStatusRemovalWait) != 0) return kHybridRemovalWaiting;
  if (paper == kPaperReceipt && (flags & kPathsClear) != kPathsClear) return kHybridWrongPaperType;
  if ((paper == kPaperSlip || paper == kPaperEndorse) && (flags & kHybridSlipPathClear) != 0) {
    return kHybridWrongPaperType;
  }
  if (paper == kPaperValidation && (flags & kHybridValidationPathClear) != 0)
    return kHybridWrongPaperType;
  bool extError10 = false;
  bool extError11 = false;
  const int offline = CheckOfflineError(context->env, handle, raw, &extError10, &extError11);
  if (offline != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return offline;
  }
  if (paper == kPaperReceipt ? extError10 : extError11) return TILOPRN_PRINTER_ERROR;
  return ResponseEnableRule(handle, raw);
}

int CheckHybridSend(StepContext_t* context) {
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr || context->jobStatus == nullptr) return TILOPRN_FAILURE;
  const uint64_t start = platform_tick_ms();
  ReadPendingReplies(handle);
  if (context->paperType == kPaperReceipt && context->removalPending == 0) {
    // Receipt paper goes through the print job's own checks first; their
    // failures are the Exit step's to report.
    const int receipt = CheckReceiptJob(context, start, ReceiptCheckRules{false, true});
    if (receipt != TILOPRN_SUCCESS) return receipt;
  }
  // A refusal reaches the job's record through the Exit step, at once; only
  // this send's record, never another send still waiting for its end.
  return HybridPaperChecks(context);
}

// Splits bytes read into the reader's context; false when they cannot be.
bool SplitReplies(PrintHandle_t* handle, ReplyWaitContext* replies, uint8_t* bytes, size_t count) {
  PrnCmdHandle_t* builder = handle->internalBuilder;
  const PrnReplyHandler handler = handle->replyHandler.load();
  if (!PrnCmdValid(builder) || builder->ops.reply == nullptr ||
      builder->ops.reply->split == nullptr || handler == nullptr) {
    return false;
  }
  // The sending builder recognises a job end; the reference keeps it alive.
  const SharedPrnBuilder sending = GetSendingBuilder(handle);
  replies->builder = sending.get();
  const bool split = builder->ops.reply->split(builder, bytes, static_cast<uint32_t>(count),
                                               handler, replies) == 0;
  replies->builder = nullptr;
  return split;
}

// 0 done, 255 cueing error, -1 not yet: the status as the printer last sent it.
constexpr int kCueingGoesOn = -1;

int CueingFromRawStatus(PrintHandle_t* handle, int32_t paperType) {
  if (paperType != kPaperSlip && paperType != kPaperEndorse) return TILOPRN_SUCCESS;
  uint8_t raw[4];
  GetRawAsb(handle, raw);
  // Only the upper half counts; without any status it is all clear.
  const uint32_t upper = raw[0] == 0xFF ? 0 : (FoldAsb(raw) & 0xFFFF0000u);
  if ((upper & kCueingError) != 0) {
    EngineErrorLine(kStatusSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  if ((upper & kHybridSlipPathClear) == 0) return TILOPRN_SUCCESS;
  return kCueingGoesOn;
}

int CueingPaper(StepContext_t* context) {
  PrintHandle_t* handle = context->handle;
  ReplyWaitContext own{};
  ReplyWaitContext* replies = context->replyWait != nullptr ? context->replyWait : &own;
  replies->handle = handle;
  replies->env = context->env;
  const uint64_t start = platform_tick_ms();
  uint8_t buffer[kReadChunk];
  int busy = 0;
  for (;;) {
    const uint64_t elapsed = platform_tick_ms() - start;
    if (elapsed >= kCueingLimitMs) {
      EngineErrorLine(kStatusSource, __LINE__);
      return TILOPRN_TIMEOUT;
    }
    const uint64_t left = kCueingLimitMs - elapsed;
    const int readMs = static_cast<int>(left < kCueingReadMs ? left : kCueingReadMs);
    size_t count = 0;
    const int read = TiloIoRead(handle->connection, buffer, readMs, &count);
    if (read == TILOIO_BUSY && busy < kBusyRetries) {
      ++busy;
      EngineErrorLine(kStatusSource, __LINE__);
      platform_sleep_ms(kBusyPauseMs);
      continue;
    }
    if (read != TILOIO_SUCCESS && read != TILOIO_TIMEOUT) {
      EngineErrorLine(kStatusSource, __LINE__);
      return TILOPRN_FAILURE;
    }
    if (read == TILOIO_SUCCESS && count > 0) {
      replies->asbSeen = 0;
      if (!SplitReplies(handle, replies, buffer, count)) {
        EngineErrorLine(kStatusSource, __LINE__);
        return TILOPRN_SUCCESS;
      }
      if (replies->jobEndSeen != 0) SetSendInProgress(handle, 0);
      if (replies->asbSeen != 0 && replies->cueingDone != 0) return TILOPRN_SUCCESS;
      continue;
    }
    const int cueing = CueingFromRawStatus(handle, context->paperType);
    if (cueing != kCueingGoesOn) return cueing;
  }
}

}  // namespace

int QueueSendHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle, PrinterBuilder_t* builder,
                         int32_t paperType, int32_t timeoutMs, int32_t sendOption,
                         uint8_t removalPending) {
  if (handle == nullptr || builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  StepContext_t context{};
  context.env = env;
  context.handle = handle;
  context.jobHandle = handle;
  context.printerBuilder = builder;
  context.timeoutMs = timeoutMs;
  context.printJob = 1;
  context.paperType = paperType;
  context.sendOption = sendOption;
  context.removalPending = removalPending;
  return QueueJobChain(&context, kHybridSendChain);
}

int32_t InitSendHybdPrinterCmd(StepContext_t* context) {
  return InitJobChain(context, kJobKindHybrid, kMethodSendData);
}

int32_t CheckSendHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Finish(context, CheckHybridSend(context));
}

int32_t ExitSendHybdPrinterCmd(StepContext_t* context) {
  return ExitJobChain(context, HybridSendNeedsRecover);
}

int QueueCuePaper(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t paperType) {
  if (handle == nullptr || handle->queue == nullptr) return TILOPRN_PARAMETER_ERROR;
  RequestQueue_t* queue = handle->queue;
  StepContext_t context{};
  context.handle = handle;
  context.env = env;
  int32_t result = TILOPRN_FAILURE;
  int run = RunStandaloneStep(queue, &context, CheckCuePaper, kCheckCueName, &result);
  if (run != TILOPRN_SUCCESS) return run;
  if (result == TILOPRN_SUCCESS) {
    // The wait step takes the path of the sheet; the cueing below the paper type.
    context.paperType = InsertionKindOfPaper(paperType);
    context.insertionWaitMs = kCueingInsertionWaitMs;
    // The printer is already set up: the cueing leaves the prologue out.
    context.removalPending = 1;
    run = RunStandaloneStep(queue, &context, WaitInsertionHybdPrinterCmd, kWaitInsertionName,
                            &result);
    if (run != TILOPRN_SUCCESS) return run;
  }
  if (result == TILOPRN_SUCCESS) {
    // The send's own Check refuses a slip that did not arrive.
    ReplyWaitContext replies{};
    StepContext_t cueing{};
    cueing.handle = handle;
    cueing.env = env;
    cueing.replyWait = &replies;
    cueing.paperType = paperType;
    RunStandaloneStep(queue, &cueing, CheckCueingPaper, kCueingName, nullptr);
    return TILOPRN_SUCCESS;
  }
  if (const HybridResultCallback callback = GetResultCallbacks(handle).hybrid;
      callback != nullptr) {
    callback(handle, handle->address, result, handle->statusFlags.load(), kMethodSendData, nullptr);
  }
  StepContext_t recover{};
  recover.handle = handle;
  recover.env = env;
  RunStandaloneStep(queue, &recover, TiloRecover, kRecoverName, nullptr);
  return result;
}

int32_t CheckCuePaper(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return Finish(context, TILOPRN_FAILURE);
  }
  ReadPendingReplies(handle);
  uint8_t raw[4];
  GetRawAsb(handle, raw);
  bool extError10 = false;
  bool extError11 = false;
  const int offline = CheckOfflineError(context->env, handle, raw, &extError10, &extError11);
  if (offline != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return Finish(context, offline);
  }
  return Finish(context, extError11 ? TILOPRN_PRINTER_ERROR : TILOPRN_SUCCESS);
}

int32_t GetHybdCommandAsb(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr) {
    EngineErrorLine(kStatusSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  uint8_t scratch[4];
  uint8_t* out = context->statusOut != nullptr ? context->statusOut : scratch;
  std::memset(out, 0xFF, 4);
  if (handle->connectionType == TILOIO_KIND_TCP) return GetNetworkAsb(context, out);
  int paused = 1;
  const int pause = PauseReceive(context, handle, &paused);
  if (pause != TILOPRN_SUCCESS) return pause;
  int result = SendStatusRequest(handle);
  if (result == TILOPRN_SUCCESS) {
    // The extended status block ends the answer; the automatic status that
    // comes with it lands in rawAsb on the way.
    ReplyWaitContext replies{};
    replies.handle = handle;
    replies.env = context->env;
    result = ReceiveResponse(handle, kHybridStatusWaitMs, &replies, kWaitExtStatus);
    if (result == TILOPRN_SUCCESS) GetRawAsb(handle, out);
  }
  if (paused == 0) ResumeReceive(handle);
  return result;
}

int32_t CheckCueingPaper(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (context->handle == nullptr) {
    EngineErrorLine(kStatusSource, __LINE__);
    return Finish(context, TILOPRN_FAILURE);
  }
  return Finish(context, CueingPaper(context));
}

}  // namespace tilo2::core
