#include "engine/hybrid_ops.h"

#include "encoding/printer/prn_cmd.h"
#include "encoding/printer/prn_control.h"
#include "engine/engine_log.h"
#include "engine/engine_ops.h"
#include "engine/event_callbacks.h"
#include "engine/hybrid_steps.h"
#include "engine/print_result.h"
#include "engine/reply_analysis.h"
#include "engine/shared_connection.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

namespace {

constexpr int32_t kMaxJobTimeoutMs = 600000;
constexpr int32_t kDefaultInsertionWaitMs = 500;

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

// The operations that queue a hybrid chain: the handle open, and no job's
// bytes on their way (the printer would take the chain's bytes for the job's).
int CheckHybridOperation(PrintHandle_t* handle) {
  if (handle == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (const int checked = CheckOpenHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  if (GetSendInProgress(handle) != 0) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_BUSY;
  }
  return TILOPRN_SUCCESS;
}

// The printer's insertion wait (-2: 500 ms) and the job timeout.
bool InsertionTimesValid(int32_t* delayMs, int32_t timeoutMs) {
  if (*delayMs == -2) *delayMs = kDefaultInsertionWaitMs;
  if (*delayMs < 0 || *delayMs > kMaxInsertionWaitMs || timeoutMs < 0 ||
      timeoutMs > kMaxJobTimeoutMs) {
    EngineErrorLine(kPublicSource, __LINE__);
    return false;
  }
  return true;
}

void SetSlipCueing(PrintHandle_t* handle, uint8_t value) {
  PlatformLockGuard lock(handle->slipCueingLock);
  if (lock) handle->slipCueing = value;
}

void SetHybridClosing(PrintHandle_t* handle, uint8_t value) {
  PlatformLockGuard lock(handle->hybridClosingLock);
  if (lock) handle->hybridClosing = value;
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
  uint32_t flags = handle->statusFlags.load();
  if (flags == kStatusFlagsUnknown) {
    // Nothing received yet is not silence: ask once.
    bool noResponse = false;
    if (const int outcome =
            FoldedStatus(env, handle, GetCommandAsb, "GetCommandAsb", &flags, &noResponse);
        outcome != TILOPRN_SUCCESS) {
      return outcome;
    }
  }
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

int TiloSelectPaperType(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t paperType) {
  if (const int checked = CheckWaitingOperation(handle); checked != TILOPRN_SUCCESS) {
    return checked;
  }
  // While set, the reply analysis follows the printer's cueing reports.
  SetSlipCueing(handle, 1);
  const int result = QueueCuePaper(env, handle, paperType);
  SetSlipCueing(handle, 0);
  return result;
}

int TiloCancelInsertionSync(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (const int checked = CheckHybridOperation(handle); checked != TILOPRN_SUCCESS) return checked;
  if (OnQueueThread(handle)) return TILOPRN_BUSY;
  return QueueCancelInsertionHybdPrinterSync(env, handle);
}

int TiloWaitInsertion(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t paperType,
                      int32_t delayMs, int32_t timeoutMs, uint8_t removalPending) {
  if (handle == nullptr || !InsertionTimesValid(&delayMs, timeoutMs)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  if (const int checked = CheckHybridOperation(handle); checked != TILOPRN_SUCCESS) return checked;
  return QueueWaitInsertionHybdPrinter(env, handle, InsertionKindOfPaper(paperType), delayMs,
                                       timeoutMs, removalPending);
}

int TiloCancelInsertion(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (const int checked = CheckHybridOperation(handle); checked != TILOPRN_SUCCESS) return checked;
  return QueueCancelInsertionHybdPrinter(env, handle);
}

int TiloEjectPaper(TdcBackendEnv_t* env, PrintHandle_t* handle, uint8_t removalPending) {
  if (const int checked = CheckHybridOperation(handle); checked != TILOPRN_SUCCESS) return checked;
  if (OnQueueThread(handle)) return TILOPRN_BUSY;
  return QueueEjectPaperHybdPrinter(env, handle, removalPending);
}

int TiloReadMicrData(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t font, int32_t delayMs,
                     int32_t timeoutMs, uint8_t removalPending) {
  if (handle == nullptr || !InsertionTimesValid(&delayMs, timeoutMs)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  if (const int checked = CheckHybridOperation(handle); checked != TILOPRN_SUCCESS) return checked;
  return QueueReadMicrDataHybdPrinter(env, handle, font, delayMs, timeoutMs, removalPending);
}

int TiloCleanMicrReader(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t delayMs,
                        int32_t timeoutMs, uint8_t removalPending) {
  if (handle == nullptr || !InsertionTimesValid(&delayMs, timeoutMs)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  if (const int checked = CheckHybridOperation(handle); checked != TILOPRN_SUCCESS) return checked;
  return QueueCleanMicrReaderHybdPrinter(env, handle, delayMs, timeoutMs, removalPending);
}

int TiloCloseHybridPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (handle == nullptr || !CheckHandleList(handle)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  // While closing, the printer's end of the insertion cancels its job: the
  // user who waited for it is leaving and takes no callback.
  SetHybridClosing(handle, 1);
  if (ReadLockedFlag(handle->waitInsertionLock, handle->waitInsertion) != 0) {
    if (const int cancelled = TiloCancelInsertionSync(env, handle); cancelled != TILOPRN_SUCCESS) {
      EngineErrorLine(kPublicSource, __LINE__);
    }
  }
  SetHybridClosing(handle, 0);
  return ReleaseSharedConnection(env, kSharedUserHybrid, handle);
}

}  // namespace tilo2::core
