#include "engine/status_steps.h"

#include <cstring>

#include "encoding/reply/reply_splitter.h"
#include "engine/engine_log.h"
#include "engine/event_callbacks.h"
#include "engine/exchange.h"
#include "engine/print_handle.h"
#include "engine/print_result.h"
#include "engine/recovery.h"
#include "engine/reply_analysis.h"
#include "engine/status_store.h"
#include "engine/status_word.h"
#include "foundation/platform.h"
#include "io/connection_interface.h"
#include "io/kdpx.h"

namespace tilo2::core {

namespace {

constexpr size_t kReadChunk = 128;
constexpr int32_t kCheckAsbReadMs = 100;
constexpr uint32_t kBusyPauseMs = 100;
// A read answering busy is tried again at most this many times.
constexpr int kBusyRetries = 10;
constexpr int32_t kRealtimeBaseWaitMs = 1000;
constexpr int32_t kBluetoothExtraWaitMs = 4000;
constexpr int32_t kBatteryBaseWaitMs = 1000;
constexpr int32_t kDisplayReadDefaultMs = 2000;
constexpr uint8_t kOfflineBit = 0x08;

const char* AddressOf(PrintHandle_t* handle) {
  if (handle->address != nullptr) return handle->address;
  return handle->connection != nullptr ? handle->connection->address : nullptr;
}

// False, with the result for a missing context (1) or handle (255), when the step cannot run.
bool CheckStep(StepContext_t* context, int32_t* result) {
  if (context == nullptr) {
    *result = TILOPRN_PARAMETER_ERROR;
    return false;
  }
  if (context->handle == nullptr) {
    EngineErrorLine(kStatusSource, __LINE__);
    *result = TILOPRN_FAILURE;
    return false;
  }
  return true;
}

// Silence: the no-response word, the jobs end with 3.
void NoResponsePath(StepContext_t* context) {
  NotifyNoResponse(context->env, context->handle);
  UpdateJobStatus(context->handle);
}

// GetCommandAsb with its own out-buffer.
int32_t RunGetCommandAsb(StepContext_t* context, uint8_t out[4], int32_t queries) {
  StepContext_t query = *context;
  query.statusOut = out;
  query.statusOutLength = queries;
  query.extraWaitMs = GetExtraReplyWait(context->handle);
  return GetCommandAsb(&query);
}

// Whether the printer still answers (IsPoweroff with the step's context).
bool PrinterAnswers(StepContext_t* context) {
  StepContext_t check = *context;
  int32_t off = 1;
  check.resultOut = &off;
  IsPoweroff(&check);
  return off == 0;
}

// A printer that answers again while the word still says it does not, and
// that has nothing to report by itself (its status did not change since it
// was last heard): the word is asked for, so that nobody judges a stale one.
void RefreshSilencedWord(StepContext_t* context) {
  PrintHandle_t* handle = context->handle;
  const uint32_t flags = handle->statusFlags.load();
  if (flags == kStatusFlagsUnknown || (flags & kStatusNoResponse) == 0) return;
  uint8_t status[4];
  if (RunGetCommandAsb(context, status, 4) != TILOPRN_SUCCESS || status[0] == 0xFF) return;
  // The reply handler may have stored it already (a monitored TCP link).
  if ((handle->statusFlags.load() & kStatusNoResponse) == 0) return;
  SetRawAsb(handle, status);
  StoreStatusFlags(context->env, handle, FoldAsb(status));
}

// Reads display answers; the outcome 0 unknown, 1 display, 2 none.
int ReadDisplayStatus(PrintHandle_t* handle, TdcBackendEnv_t* env, ReplyWaitContext* context,
                      int32_t readTimeoutMs, int32_t* outcome) {
  context->handle = handle;
  context->env = env;
  context->rtIndex = kRtIndexDisplay;
  context->asbSeen = 0;
  context->rt18Seen = 0;
  context->modelIdSeen = 0;
  *outcome = 0;
  PrnCmdHandle_t* builder = handle->internalBuilder;
  uint8_t buffer[kReadChunk];
  for (;;) {
    size_t count = 0;
    const int read = TiloIoRead(handle->connection, buffer, readTimeoutMs, &count);
    if (read != TILOIO_SUCCESS || count == 0) {
      EngineErrorLine(kStatusSource, __LINE__);
      return ConvertIoResult(read);
    }
    const PrnReplyHandler handler = handle->replyHandler.load();
    if (!PrnCmdValid(builder) || builder->ops.reply == nullptr ||
        builder->ops.reply->split == nullptr || handler == nullptr ||
        builder->ops.reply->split(builder, buffer, static_cast<uint32_t>(count), handler,
                                  context) != 0) {
      EngineErrorLine(kStatusSource, __LINE__);
      return TILOPRN_SUCCESS;
    }
    if (context->asbSeen != 0) SetRawAsb(handle, context->asb);
    if (context->rt18Seen != 0) {
      *outcome = (context->rt18 & 0x04) != 0 ? 2 : 1;
      return TILOPRN_SUCCESS;
    }
    if (context->modelIdSeen != 0) {
      *outcome = 2;
      return TILOPRN_SUCCESS;
    }
  }
}

}  // namespace

int32_t GetNetworkAsb(StepContext_t* context, uint8_t out[4]) {
  PrintHandle_t* handle = context->handle;
  // The network interface knows the status; the data channel stays untouched.
  const char* address = AddressOf(handle);
  int status = -1;
  if (address == nullptr || TiloIoKdpxGetStatus(address, &status) != TILOIO_SUCCESS ||
      status == -1) {
    return TILOPRN_IO_ERROR;
  }
  const auto value = static_cast<uint32_t>(status);
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  std::memcpy(out, bytes, sizeof bytes);
  // Analysed like any automatic status, so the handle's status follows it.
  ReplyWaitContext reply{};
  reply.handle = handle;
  reply.env = context->env;
  const PrnReplyHandler handler = handle->replyHandler.load();
  if (handler != nullptr) handler(kPrnReplyAutoStatus, bytes, sizeof bytes, &reply);
  return TILOPRN_SUCCESS;
}

int32_t GetCommandAsb(StepContext_t* context) {
  int32_t failed = 0;
  if (!CheckStep(context, &failed)) return failed;
  PrintHandle_t* handle = context->handle;
  uint8_t scratch[4];
  uint8_t* out = context->statusOut != nullptr ? context->statusOut : scratch;
  std::memset(out, 0xFF, 4);
  // The network interface answers for a printer whose link is gone: only a
  // usable link makes its status this connection's. Opening it again is the
  // next job's or monitor cycle's business.
  if (TiloIoCheckLink(handle->connection) == TILOIO_IO_ERROR) return TILOPRN_IO_ERROR;
  if (handle->connectionType == TILOIO_KIND_TCP) return GetNetworkAsb(context, out);
  int paused = 1;
  const int pause = PauseReceive(context, handle, &paused);
  if (pause != TILOPRN_SUCCESS) return pause;
  const int queries = context->statusOutLength >= 4 ? 4 : 1;
  const int result = GetRealtimeStatus(context->env, handle, out, queries,
                                       context->extraWaitMs + kRealtimeBaseWaitMs);
  if (paused == 0) ResumeReceive(handle);
  return result;
}

int32_t CheckAsb(StepContext_t* context) {
  int32_t failed = 0;
  if (!CheckStep(context, &failed)) return failed;
  PrintHandle_t* handle = context->handle;
  if (ReopenLostLink(context->env, handle) != TILOPRN_SUCCESS) {
    NoResponsePath(context);
    handle->asbSeen = 0;
    return TILOPRN_SUCCESS;
  }
  ReplyWaitContext own{};
  ReplyWaitContext* reply = context->replyWait != nullptr ? context->replyWait : &own;
  reply->handle = handle;
  reply->env = context->env;
  PrnCmdHandle_t* builder = handle->internalBuilder;
  uint8_t buffer[kReadChunk];
  bool gotBytes = false;
  bool immediate = false;
  int busy = 0;
  for (;;) {
    size_t count = 0;
    const int read =
        TiloIoRead(handle->connection, buffer, immediate ? 0 : kCheckAsbReadMs, &count);
    immediate = false;
    if (read == TILOIO_BUSY && busy < kBusyRetries) {
      ++busy;
      EngineErrorLine(kStatusSource, __LINE__);
      platform_sleep_ms(kBusyPauseMs);
      continue;
    }
    if (read != TILOIO_SUCCESS && read != TILOIO_TIMEOUT) {
      EngineErrorLine(kStatusSource, __LINE__);
      NoResponsePath(context);
      handle->asbSeen = 0;
      return TILOPRN_SUCCESS;
    }
    if (read == TILOIO_TIMEOUT || count == 0) {
      if (gotBytes) return TILOPRN_SUCCESS;
      if (!PrinterAnswers(context)) {
        NoResponsePath(context);
        handle->asbSeen = 0;
      } else {
        RefreshSilencedWord(context);
      }
      return TILOPRN_SUCCESS;
    }
    gotBytes = true;
    // The sending builder recognises the job end; the reference keeps it alive.
    const SharedPrnBuilder sending = GetSendingBuilder(handle);
    reply->builder = sending.get();
    reply->rtIndex = kRtIndexInterruptSupport;
    reply->asbSeen = 0;
    reply->jobEndSeen = 0;
    reply->batterySeen = 0;
    reply->interruptReplySeen = 0;
    const PrnReplyHandler handler = handle->replyHandler.load();
    if (!PrnCmdValid(builder) || builder->ops.reply == nullptr ||
        builder->ops.reply->split == nullptr || handler == nullptr ||
        builder->ops.reply->split(builder, buffer, static_cast<uint32_t>(count), handler, reply) !=
            0) {
      reply->builder = nullptr;
      EngineErrorLine(kStatusSource, __LINE__);
      return TILOPRN_SUCCESS;
    }
    reply->builder = nullptr;
    if (reply->asbSeen != 0) handle->asbSeen = 1;
    if (reply->rt17Seen != 0) handle->interruptSupport = (reply->rt17 & 0x04) != 0 ? 1 : 2;
    if (reply->interruptReplySeen != 0) handle->interruptAccepted = reply->interruptVerdict;
    if (reply->jobEndSeen != 0) {
      SetSendInProgress(handle, 0);
      SetSendingBuilder(handle, nullptr);
      immediate = true;
    }
  }
}

int32_t EnableAsb(StepContext_t* context) {
  int32_t failed = 0;
  if (!CheckStep(context, &failed)) return failed;
  PrintHandle_t* handle = context->handle;
  if (ReopenLostLink(context->env, handle) != TILOPRN_SUCCESS) {
    NoResponsePath(context);
    if (context->resultOut != nullptr) *context->resultOut = 0;
    return TILOPRN_SUCCESS;
  }
  const uint32_t flags = handle->statusFlags.load();
  if (flags != kStatusFlagsUnknown && (flags & kStatusNoResponse) != 0 &&
      !PrinterAnswers(context)) {
    if (context->resultOut != nullptr) *context->resultOut = 0;
    return TILOPRN_FAILURE;
  }
  SetExtraReplyWait(handle,
                    handle->connectionType == TILOIO_KIND_BLUETOOTH ? kBluetoothExtraWaitMs : 0);
  uint8_t status[4];
  int32_t enabled = 0;
  if (RunGetCommandAsb(context, status, 1) != TILOPRN_SUCCESS) {
    NoResponsePath(context);
  } else if ((status[0] & kOfflineBit) == 0) {
    SendAsbEnable(handle);
    enabled = 1;
  } else if (RunGetCommandAsb(context, status, 4) != TILOPRN_SUCCESS) {
    NoResponsePath(context);
  }
  if (context->resultOut != nullptr) *context->resultOut = enabled;
  return TILOPRN_SUCCESS;
}

int32_t GetBatteryStatus(StepContext_t* context) {
  int32_t failed = 0;
  if (!CheckStep(context, &failed)) return failed;
  PrintHandle_t* handle = context->handle;
  int paused = 1;
  const int pause = PauseReceive(context, handle, &paused);
  if (pause != TILOPRN_SUCCESS) return pause;
  int result = SendBatteryQuery(handle);
  if (result == TILOPRN_SUCCESS) {
    ReplyWaitContext reply{};
    reply.handle = handle;
    reply.env = context->env;
    result =
        ReceiveResponse(handle, context->extraWaitMs + kBatteryBaseWaitMs, &reply, kWaitBattery);
  }
  if (paused == 0) ResumeReceive(handle);
  return result == TILOPRN_TIMEOUT ? TILOPRN_SUCCESS : result;
}

int32_t GetOfflineResponse(StepContext_t* context) {
  int32_t failed = 0;
  if (!CheckStep(context, &failed)) return failed;
  uint8_t response[8];
  const int result = QueryOfflineResponse(context->env, context->handle, response);
  if (result == TILOPRN_MEMORY_ERROR || result == TILOPRN_FAILURE) {
    EngineErrorLine(kStatusSource, __LINE__);
    return result;
  }
  if (result != TILOPRN_SUCCESS) return TILOPRN_SUCCESS;
  DecodeOfflineResponse(context->handle, response, context->flagsOut);
  return TILOPRN_SUCCESS;
}

int32_t IsPoweroff(StepContext_t* context) {
  int32_t failed = 0;
  if (!CheckStep(context, &failed)) return failed;
  PrintHandle_t* handle = context->handle;
  int32_t off = 1;
  switch (handle->connectionType) {
    case TILOIO_KIND_TCP: {
      SetExtraReplyWait(handle, 0);
      const char* address = AddressOf(handle);
      if (address != nullptr && TiloIoKdpxCheckConnected(address) == TILOIO_SUCCESS) off = 0;
      break;
    }
    case TILOIO_KIND_BLUETOOTH:
    case TILOIO_KIND_USB: {
      if (GetNeedRecover(handle) != 0) {
        StepContext_t recover{};
        recover.handle = handle;
        recover.env = context->env;
        if (TiloRecover(&recover) != TILOPRN_SUCCESS) break;
        SetNeedRecover(handle, 0);
      }
      if (handle->connectionType == TILOIO_KIND_BLUETOOTH) {
        SetExtraReplyWait(handle, kBluetoothExtraWaitMs);
        uint8_t scratch[4];
        if (RunGetCommandAsb(context, scratch, 1) == TILOPRN_SUCCESS) off = 0;
      } else {
        int flag = 0;
        if (TiloIoGetStatus(handle->connection, &flag) == TILOIO_SUCCESS) off = 0;
      }
      break;
    }
    default:
      break;
  }
  if (context->resultOut != nullptr) *context->resultOut = off;
  return TILOPRN_SUCCESS;
}

int32_t CheckDisplayConnection(StepContext_t* context) {
  int32_t failed = 0;
  if (!CheckStep(context, &failed)) return failed;
  PrintHandle_t* handle = context->handle;
  int paused = 1;
  if (PauseReceive(context, handle, &paused) != TILOPRN_SUCCESS) {
    EngineErrorLine(kStatusSource, __LINE__);
    handle->displayConnected = 0;
    return TILOPRN_FAILURE;
  }
  if (SendDisplayStatusQuery(handle) != TILOPRN_SUCCESS) {
    EngineErrorLine(kStatusSource, __LINE__);
    if (paused == 0) ResumeReceive(handle);
    handle->displayConnected = 0;
    return TILOPRN_FAILURE;
  }
  SendModelIdQuery(handle);
  ReplyWaitContext reply{};
  if (context->replyWait != nullptr) reply = *context->replyWait;
  const int32_t timeout =
      context->readTimeoutMs > 0 ? context->readTimeoutMs : kDisplayReadDefaultMs;
  int32_t outcome = 0;
  int result = ReadDisplayStatus(handle, context->env, &reply, timeout, &outcome);
  if (paused == 0 && ResumeReceive(handle) != TILOPRN_SUCCESS) result = TILOPRN_FAILURE;
  handle->displayConnected = outcome;
  return result;
}

int32_t CheckSupportPaperType(StepContext_t* context) {
  int32_t failed = 0;
  if (!CheckStep(context, &failed)) return failed;
  return QueryPrinterInfo(context->env, context->handle);
}

}  // namespace tilo2::core
