#include "engine/hybrid_ops.h"

#include "encoding/printer/prn_cmd.h"
#include "encoding/printer/prn_control.h"
#include "engine/engine_log.h"
#include "engine/engine_ops.h"
#include "engine/event_callbacks.h"
#include "engine/hybrid_steps.h"
#include "engine/print_result.h"
#include "engine/reply_analysis.h"
#include "engine/status_steps.h"

namespace tilo2::core {

namespace {

constexpr int32_t kMaxJobTimeoutMs = 600000;

struct Density {
  int32_t x;
  int32_t y;
};
constexpr Density kReceiptDensity = {180, 180};
constexpr Density kSlipDensity = {160, 144};
constexpr Density kEndorse40Density = {127, 144};

// The operations that wait for the queue: the handle open, and not the
// queue's own thread.
int CheckWaitingOperation(PrintHandle_t* handle) {
  if (handle == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (const int checked = CheckOpenHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  if (OnQueueThread(handle)) return TILOPRN_BUSY;
  return TILOPRN_SUCCESS;
}

PrnCmdHandle_t* ValidBuilder(PrinterBuilder_t* builder) {
  if (builder == nullptr || !PrnCmdValid(builder->builder.get())) return nullptr;
  return builder->builder.get();
}

}  // namespace

int TiloCheckSupportPaperType(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (const int checked = CheckWaitingOperation(handle); checked != TILOPRN_SUCCESS) {
    return checked;
  }
  StepContext_t context{};
  context.handle = handle;
  context.env = env;
  const int32_t result =
      RunOperationStep(handle, context, CheckSupportPaperType, "CheckSupportPaperType");
  if (result == TILOPRN_FAILURE) EngineErrorLine(kPublicSource, __LINE__);
  return result;
}

int TiloGetHybridStatus(TdcBackendEnv_t* env, PrintHandle_t* handle, uint32_t* status) {
  if (status == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (const int checked = CheckWaitingOperation(handle); checked != TILOPRN_SUCCESS) {
    return checked;
  }
  bool noResponse = false;
  uint32_t word = 0;
  if (const int outcome =
          FoldedStatus(env, handle, GetHybdCommandAsb, "GetHybdCommandAsb", &word, &noResponse);
      outcome != TILOPRN_SUCCESS) {
    return outcome;
  }
  if (!noResponse) AddOfflineReasons(env, handle, &word);
  *status = word;
  return TILOPRN_SUCCESS;
}

int TiloCheckHybridReady(TdcBackendEnv_t* env, PrintHandle_t* handle, uint8_t allowInsertionWait) {
  if (const int checked = CheckWaitingOperation(handle); checked != TILOPRN_SUCCESS) {
    return checked;
  }
  ReplyWaitContext replies{};
  replies.handle = handle;
  replies.env = env;
  StepContext_t context{};
  context.handle = handle;
  context.env = env;
  context.replyWait = &replies;
  RunOperationStep(handle, context, CheckAsb, "CheckAsb");
  const uint32_t flags = handle->statusFlags.load();
  if ((flags & kStatusNoResponse) != 0) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_IO_ERROR;
  }
  if ((flags & kStatusInsertionWait) != 0 && allowInsertionWait == 0) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  if ((flags & kStatusRemovalWait) != 0) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  return TILOPRN_SUCCESS;
}

int SetHybridDotDensity(PrinterBuilder_t* builder, int32_t paperType, int32_t option) {
  PrnCmdHandle_t* prn = ValidBuilder(builder);
  if (prn == nullptr) return TILOPRN_PARAMETER_ERROR;
  Density density{};
  switch (paperType) {
    case kPaperReceipt:
      density = kReceiptDensity;
      break;
    case kPaperSlip:
    case kPaperValidation:
      density = kSlipDensity;
      break;
    case kPaperEndorse:
      if (option != 0 && option != 1) return TILOPRN_PARAMETER_ERROR;
      density = option == 1 ? kEndorse40Density : kSlipDensity;
      break;
    default:
      return TILOPRN_PARAMETER_ERROR;
  }
  prn->dotDensityX = density.x;
  prn->dotDensityY = density.y;
  return TILOPRN_SUCCESS;
}

int SetHybridHeader(PrinterBuilder_t* builder, int32_t paperType, int32_t option) {
  PrnCmdHandle_t* prn = ValidBuilder(builder);
  if (prn == nullptr || (option != 0 && option != 1) || paperType < kPaperReceipt ||
      paperType > kPaperValidation || prn->ops.control == nullptr) {
    return TILOPRN_PARAMETER_ERROR;
  }
  switch (paperType) {
    case kPaperReceipt:
      prn->ops.control->header = PrnGenHeaderReceipt;
      break;
    case kPaperEndorse:
      prn->ops.control->header = PrnGenHeaderEndorse;
      prn->endorse40Column = option == 1 ? 1 : 0;
      break;
    default:
      prn->ops.control->header = PrnGenHeaderSlip;
      break;
  }
  return TILOPRN_SUCCESS;
}

int TiloSendHybridData(TdcBackendEnv_t* env, PrintHandle_t* handle, PrinterBuilder_t* builder,
                       int32_t paperType, int32_t timeoutMs, int32_t option,
                       uint8_t removalPending) {
  if (handle == nullptr || builder == nullptr ||
      static_cast<uint32_t>(timeoutMs) > static_cast<uint32_t>(kMaxJobTimeoutMs)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (const int checked = CheckOpenHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  // A set-up the builder refuses leaves it as it was; the send's own checks decide.
  SetHybridDotDensity(builder, paperType, option);
  if (PrnCmdHandle_t* prn = ValidBuilder(builder); prn != nullptr) {
    PrnCmdSetRasterMode(prn, paperType == kPaperReceipt ? 0 : 1);
  }
  SetHybridHeader(builder, paperType, option);
  const int queued =
      QueueSendHybdPrinter(env, handle, builder, paperType, timeoutMs, option, removalPending);
  if (queued != TILOPRN_SUCCESS) EngineErrorLine(kPublicSource, __LINE__);
  return queued;
}

}  // namespace tilo2::core
