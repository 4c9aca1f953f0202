#include "engine/recovery.h"

#include <cstdlib>
#include <cstring>

#include "engine/engine_log.h"
#include "engine/event_callbacks.h"
#include "engine/exchange.h"
#include "engine/hybrid_steps.h"
#include "engine/print_result.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/send_chain.h"
#include "engine/status_store.h"
#include "foundation/platform.h"
#include "io/connection_interface.h"
#include "io/kdpx.h"

namespace tilo2::core {

namespace {

constexpr uint8_t kLineModelId = 0x0D;
constexpr uint8_t kUnknownModelId = 0xFF;

constexpr uint8_t kClearBuffer[] = {0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08};
constexpr uint8_t kInterruptRequest[] = {0x10, 0x14, 0x06, 0x04, 0x00, 0x01,
                                         0x03, 0x14, 0x01, 0x06, 0x02, 0x08};
constexpr uint8_t kFlushPrefix[] = {0x1B, 0x3D, 0x01};

constexpr int32_t kClearBufferWriteMs = 100;
constexpr int32_t kInterruptWriteMs = 500;
constexpr size_t kSmallFlushBlock = 400;
constexpr size_t kLargeFlushBlock = 7168;
constexpr int32_t kFlushWriteMs = 1000;
constexpr int32_t kRetryFlushWriteMs = 2000;
constexpr int32_t kClearReplyWaitMs = 5000;
constexpr int32_t kRetryShortWaitMs = 100;
constexpr int kRetryPasses = 7;
constexpr int32_t kInterruptReplyWaitMs = 3000;
constexpr int32_t kDmaReplyWaitMs = 2000;

constexpr const char* kRecoverStepName = "_TiloRecover";

// A printer that is back takes the new link at once; while another host
// holds its port, the new link waits this long for it.
constexpr int32_t kReopenLimitMs = 5000;
constexpr int32_t kReopenInfoWaitMs = 1000;

// ESC = 1 followed by NULs; null when memory runs out.
uint8_t* NewFlushBlock(size_t size) {
  auto* block = static_cast<uint8_t*>(std::calloc(size, 1));
  if (block != nullptr) std::memcpy(block, kFlushPrefix, sizeof kFlushPrefix);
  return block;
}

bool KnownNonLineModel(PrintHandle_t* handle) {
  const uint8_t id = handle->modelId.load();
  return id != kUnknownModelId && id != kLineModelId;
}

int WaitClearReply(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t timeoutMs) {
  ReplyWaitContext context{};
  context.handle = handle;
  context.env = env;
  return ReceiveResponse(handle, timeoutMs, &context, kWaitClearReply);
}

void RecoverTrace(PrintHandle_t* handle, const char* text) {
  log_trace(kEngineTag, LOG_TRACE_INFO, handle, 0, kRecoverStepName, LOG_ARG_STRING, text,
            LOG_ARG_END);
}

// A printer that was switched off knows nothing of this host any more: the
// handle forgets what it learnt over the old link, as an open starts out.
void ForgetLinkState(PrintHandle_t* handle) {
  const uint8_t noStatus[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  SetRawAsb(handle, noStatus);
  ForgetRealtimeQueries(handle);
  handle->realtimeResync = 0;
  handle->asbSeen = 0;
  handle->asbSettingDone = 0;
  handle->responseEnabled = 0;
  handle->interruptSupport = 0;
  handle->interruptAccepted = 0;
  handle->batteryModel = 0;
  handle->modelId = kUnknownModelId;
  handle->dma = 0;
}

// The open's steps after the transport, run here on the queue thread: is
// the printer there, its device information, and its buffer cleared as the
// open leaves it. A silent printer is left to the next recovery.
void SetUpReopenedPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  LocalSteps steps(env, handle);
  StepContext_t& context = steps.context;
  CheckDMA(&context);
  if (steps.noAnswer != 0) {
    SetNeedRecover(handle, 1);
    return;
  }
  SetNeedRecover(handle, 0);
  // The link state was forgotten: the flags read as after an open.
  steps.LearnDeviceAfresh(GetExtraReplyWait(handle) + kReopenInfoWaitMs);
  GetDeviceInformation(&context);
  InitiaizeHybridPrinter(&context);
}

}  // namespace

int ReopenLostLink(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (handle == nullptr || handle->connectionType != TILOIO_KIND_TCP ||
      handle->connection == nullptr) {
    return TILOPRN_SUCCESS;
  }
  // Anything but a known loss (a closed handle, a busy read) goes on as before.
  if (TiloIoCheckLink(handle->connection) != TILOIO_IO_ERROR) return TILOPRN_SUCCESS;
  // What the printer said before it went still counts: a job's end, a status.
  ReplyWaitContext drain{};
  drain.handle = handle;
  drain.env = env;
  DrainReplies(handle, &drain);
  const int reconnected = TiloIoReconnect(env, handle->connection, kReopenLimitMs);
  if (reconnected != TILOIO_SUCCESS) {
    log_trace(kEngineTag, LOG_TRACE_INFO, handle, reconnected, "ReopenLostLink", LOG_ARG_STRING,
              "Link lost.", LOG_ARG_END);
    return TILOPRN_IO_ERROR;
  }
  log_trace(kEngineTag, LOG_TRACE_INFO, handle, 0, "ReopenLostLink", LOG_ARG_STRING,
            "Link opened again.", LOG_ARG_END);
  ForgetLinkState(handle);
  SetUpReopenedPrinter(env, handle);
  return TILOPRN_SUCCESS;
}

int SendClearBuffer(PrintHandle_t* handle) {
  return SendWithTimeout(handle, kClearBuffer, sizeof kClearBuffer, kClearBufferWriteMs);
}

bool IsLineModel(PrintHandle_t* handle) {
  return handle != nullptr && handle->modelId.load() == kLineModelId;
}

int SendFlushBlock(PrintHandle_t* handle) {
  uint8_t* block = NewFlushBlock(kSmallFlushBlock);
  if (block == nullptr) {
    EngineErrorLine(kRecoverSource, __LINE__);
    return TILOPRN_MEMORY_ERROR;
  }
  const int result = SendWithTimeout(handle, block, kSmallFlushBlock, kFlushWriteMs);
  std::free(block);
  return result;
}

int WaitClearBufferReply(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (!KnownNonLineModel(handle)) return TILOPRN_SUCCESS;
  return WaitClearReply(env, handle, kClearReplyWaitMs);
}

int FlushAndClearBuffer(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  uint8_t* block = NewFlushBlock(kLargeFlushBlock);
  if (block == nullptr) {
    EngineErrorLine(kRecoverSource, __LINE__);
    return TILOPRN_MEMORY_ERROR;
  }
  SendWithTimeout(handle, block, kLargeFlushBlock, kFlushWriteMs);
  int paused = 1;
  int result = PauseReceive(nullptr, handle, &paused);
  if (result != TILOPRN_SUCCESS) {
    EngineErrorLine(kRecoverSource, __LINE__);
    std::free(block);
    return result;
  }
  result = SendClearBuffer(handle);
  if (result == TILOPRN_SUCCESS && KnownNonLineModel(handle)) {
    result = WaitClearReply(env, handle, kClearReplyWaitMs);
  }
  if (paused == 0) {
    const int resumed = ResumeReceive(handle);
    if (resumed != TILOPRN_SUCCESS) result = resumed;
  }
  std::free(block);
  return result;
}

int RecoverPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (IsLineModel(handle)) return SendFlushBlock(handle);
  int paused = 1;
  int result = PauseReceive(nullptr, handle, &paused);
  if (result != TILOPRN_SUCCESS) {
    EngineErrorLine(kRecoverSource, __LINE__);
    return result;
  }
  result = SendClearBuffer(handle);
  if (result != TILOPRN_SUCCESS) {
    if (paused == 0) ResumeReceive(handle);
    return result;
  }
  const int acknowledged = WaitClearBufferReply(env, handle);
  if (paused == 0) ResumeReceive(handle);
  if (acknowledged != TILOPRN_SUCCESS) return FlushAndClearBuffer(env, handle);
  return TILOPRN_SUCCESS;
}

int32_t TiloRecover(StepContext_t* context) {
  if (context == nullptr || context->handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrintHandle_t* handle = context->handle;
  // Nothing to recover on a link that is gone; a new link starts clean.
  if (ReopenLostLink(context->env, handle) != TILOPRN_SUCCESS) return TILOPRN_FAILURE;
  RecoverTrace(handle, "Start.");
  const int result = RecoverPrinter(context->env, handle);
  RecoverTrace(handle, "End.");
  return result == TILOPRN_SUCCESS ? TILOPRN_SUCCESS : TILOPRN_FAILURE;
}

int32_t CheckAndRecover(StepContext_t* context) {
  if (context == nullptr || context->handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (GetNeedRecover(context->handle) == 0) return TILOPRN_SUCCESS;
  if (TiloRecover(context) != TILOPRN_SUCCESS) return TILOPRN_FAILURE;
  SetNeedRecover(context->handle, 0);
  return TILOPRN_SUCCESS;
}

int RecoverPrinterRetry(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  uint8_t* block = NewFlushBlock(kLargeFlushBlock);
  if (block == nullptr) {
    EngineErrorLine(kRecoverSource, __LINE__);
    return TILOPRN_MEMORY_ERROR;
  }
  int result = TILOPRN_SUCCESS;
  for (int pass = 0; pass < kRetryPasses; ++pass) {
    result = SendWithTimeout(handle, block, kLargeFlushBlock, kRetryFlushWriteMs);
    if (result != TILOPRN_SUCCESS) break;
    int paused = 1;
    result = PauseReceive(nullptr, handle, &paused);
    if (result != TILOPRN_SUCCESS) {
      EngineErrorLine(kRecoverSource, __LINE__);
      break;
    }
    result = SendClearBuffer(handle);
    if (result != TILOPRN_SUCCESS) {
      if (paused == 0) ResumeReceive(handle);
      break;
    }
    if (KnownNonLineModel(handle)) {
      const bool last = pass == kRetryPasses - 1;
      result = WaitClearReply(env, handle, last ? kClearReplyWaitMs : kRetryShortWaitMs);
      if (!last && result == TILOPRN_SUCCESS) {
        if (paused == 0) ResumeReceive(handle);
        break;
      }
    }
    if (paused == 0 && ResumeReceive(handle) != TILOPRN_SUCCESS) {
      EngineErrorLine(kRecoverSource, __LINE__);
    }
  }
  std::free(block);
  return result;
}

int RunRecover(PrintHandle_t* handle) {
  if (handle == nullptr) return 0;
  StepContext_t context{};
  context.handle = handle;
  int32_t result = TILOPRN_FAILURE;
  const int pushed =
      RunStandaloneStep(handle->queue, &context, TiloRecover, kRecoverStepName, &result);
  if (pushed != TILOPRN_SUCCESS) result = pushed;
  if (result == TILOPRN_SUCCESS) {
    SetNeedRecover(handle, 0);
    return 1;
  }
  NotifyNoResponse(nullptr, handle);
  UpdateJobStatus(handle);
  return 0;
}

int32_t CheckDMA(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr) {
    EngineErrorLine(kRecoverSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  int paused = 1;
  const int pause = PauseReceive(context, handle, &paused);
  if (pause != TILOPRN_SUCCESS) return pause;
  uint8_t status[4] = {};
  const int query = GetRealtimeStatus(context->env, handle, status, 1, kDmaReplyWaitMs);
  if (query == TILOPRN_SUCCESS) {
    if (context->online != nullptr) *context->online = (status[0] & 0x08) == 0 ? 1 : 0;
    if (context->noAnswer != nullptr) *context->noAnswer = 0;
  } else {
    const bool reachable = CheckReachable(handle) != 0;
    if (!reachable || query == TILOPRN_IO_ERROR) {
      if (context->online != nullptr) *context->online = 0;
      if (context->noAnswer != nullptr) *context->noAnswer = 0;
    } else if (context->noAnswer != nullptr) {
      *context->noAnswer = 1;
    }
  }
  if (paused == 0 && ResumeReceive(handle) != TILOPRN_SUCCESS) {
    EngineErrorLine(kRecoverSource, __LINE__);
  }
  return TILOPRN_SUCCESS;
}

int CheckReachable(PrintHandle_t* handle) {
  if (handle == nullptr) return -1;
  switch (handle->connectionType) {
    case TILOIO_KIND_TCP: {
      const char* address = handle->address;
      if (address == nullptr && handle->connection != nullptr) {
        address = handle->connection->address;
      }
      if (address == nullptr) return 0;
      return TiloIoKdpxCheckConnected(address) == TILOIO_SUCCESS ? 1 : 0;
    }
    case TILOIO_KIND_USB: {
      int flag = 0;
      return TiloIoGetStatus(handle->connection, &flag) == TILOIO_SUCCESS ? 1 : 0;
    }
    case TILOIO_KIND_BLUETOOTH:
      return -1;
    default:
      return 0;
  }
}

int SendInterruptRequest(PrintHandle_t* handle) {
  return SendWithTimeout(handle, kInterruptRequest, sizeof kInterruptRequest, kInterruptWriteMs);
}

int WaitInterruptReply(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (handle->interruptSupport.load() != 1 || handle->interruptAccepted.load() != 0) {
    return TILOPRN_SUCCESS;
  }
  ReplyWaitContext context{};
  context.handle = handle;
  context.env = env;
  return ReceiveResponse(handle, kInterruptReplyWaitMs, &context, kWaitInterruptReply);
}

bool IsInterruptAccepted(PrintHandle_t* handle) {
  if (handle == nullptr) return true;
  if (handle->interruptSupport.load() != 1) return true;
  return handle->interruptAccepted.load() != 0;
}

int RunInterruptPrinting(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t timeoutMs) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (handle->interruptSupport.load() != 1) return TILOPRN_SUCCESS;
  const uint64_t start = platform_tick_ms();
  handle->interruptAccepted = 0;
  for (int pass = 0;; ++pass) {
    if (IsInterruptAccepted(handle)) return TILOPRN_SUCCESS;
    if (platform_tick_ms() - start >= static_cast<uint64_t>(timeoutMs < 0 ? 0 : timeoutMs)) {
      return TILOPRN_TIMEOUT;
    }
    int paused = 1;
    if (pass > 0) {
      int result = PauseReceive(nullptr, handle, &paused);
      if (result != TILOPRN_SUCCESS) {
        EngineErrorLine(kInterruptSource, __LINE__);
        return result;
      }
      const bool cleared = SendClearBuffer(handle) == TILOPRN_SUCCESS;
      if (cleared) WaitClearBufferReply(env, handle);
      if (paused == 0) {
        result = ResumeReceive(handle);
        if (result != TILOPRN_SUCCESS) {
          EngineErrorLine(kInterruptSource, __LINE__);
          return result;
        }
      }
      if (!cleared) return TILOPRN_IO_ERROR;
    }
    if (PauseReceive(nullptr, handle, &paused) != TILOPRN_SUCCESS) {
      EngineErrorLine(kInterruptSource, __LINE__);
      return TILOPRN_IO_ERROR;
    }
    bool failed = SendInterruptRequest(handle) != TILOPRN_SUCCESS;
    if (!failed) failed = WaitInterruptReply(env, handle) != TILOPRN_SUCCESS;
    if (paused == 0 && ResumeReceive(handle) != TILOPRN_SUCCESS) {
      EngineErrorLine(kInterruptSource, __LINE__);
      return TILOPRN_IO_ERROR;
    }
    if (failed) return TILOPRN_IO_ERROR;
  }
}

}  // namespace tilo2::core
