#include "engine/exchange.h"

#include <cstring>

#include "encoding/printer/prn_cmd.h"
#include "engine/engine_log.h"
#include "engine/print_result.h"
#include "engine/recovery.h"
#include "engine/status_store.h"
#include "engine/status_word.h"
#include "foundation/lock_guard.h"
#include "foundation/platform.h"
#include "io/connection_interface.h"

namespace tilo2::core {

namespace {

constexpr size_t kReadChunk = 128;
constexpr int32_t kQueryWriteTimeoutMs = 500;
constexpr int32_t kOfflineQueryWriteTimeoutMs = 1000;
constexpr int32_t kExtStatusWaitMs = 1000;
constexpr int32_t kOfflineResponseWaitMs = 1000;
constexpr int32_t kPrinterInfoWaitMs = 500;
constexpr int32_t kRealtimeQueries = 4;

constexpr uint8_t kAsbEnable[] = {0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF};
constexpr uint8_t kStatusRequest[] = {0x10, 0x14, 0x14, 0x00, 0x00, 0x01, 0x08};
constexpr uint8_t kBatteryQuery[] = {0x10, 0x14, 0x07, 0x05};
constexpr uint8_t kExtStatusQuery[] = {0x10, 0x14, 0x07, 0x02};
constexpr uint8_t kOfflineResponseQuery[] = {0x10, 0x14, 0x07, 0x04};
constexpr uint8_t kDisplayStatusQuery[] = {0x10, 0x04, 0x12, 0x02};
constexpr uint8_t kInterruptSupportQuery[] = {0x10, 0x04, 0x12, 0x01};
constexpr uint8_t kResponseEnable[] = {0x1B, 0x3D, 0x01, 0x1D, 0x28, 0x48, 0x02, 0x00, 0x40, 0x01};
constexpr uint8_t kSettingCommand[] = {0x1B, 0x3D, 0x01, 0x1D, 0x28, 0x42, 0x07, 0x00,
                                       0x61, 0x31, 0x2C, 0x33, 0x2D, 0x46, 0x37};
constexpr uint8_t kModelIdQuery[] = {0x1B, 0x3D, 0x01, 0x1D, 0x49, 0x01};
constexpr uint8_t kPaperSupportQuery[] = {0x1B, 0x3D, 0x01, 0x1D, 0x49, 0x21};
constexpr uint8_t kNameQuery[] = {0x1B, 0x3D, 0x01, 0x1D, 0x49, 0x43};
constexpr uint8_t kInfoQuery[] = {0x1B, 0x3D, 0x01, 0x1D, 0x28, 0x45, 0x02,
                                  0x00, 0x06, 0x03, 0x1D, 0x49, 0x6E};

constexpr int32_t kInfoKindExtStatus = 1;
constexpr int32_t kInfoKindPlain = 2;

template <size_t N>
int SendFixed(PrintHandle_t* handle, const uint8_t (&bytes)[N]) {
  return SendWithTimeout(handle, bytes, N, kQueryWriteTimeoutMs);
}

// Splits one chunk into the context with the handle's splitter and handler.
// 0, or 5 when the chunk cannot be split.
int SplitChunk(PrintHandle_t* handle, ReplyWaitContext* context, const uint8_t* bytes, size_t count,
               const char* source, int line) {
  PrnCmdHandle_t* builder = handle->internalBuilder;
  const PrnReplyHandler handler = handle->replyHandler.load();
  if (!PrnCmdValid(builder) || builder->ops.reply == nullptr ||
      builder->ops.reply->split == nullptr || handler == nullptr) {
    EngineErrorLine(source, line);
    return TILOPRN_MEMORY_ERROR;
  }
  if (context->handle == nullptr) context->handle = handle;
  if (builder->ops.reply->split(builder, bytes, static_cast<uint32_t>(count), handler, context) !=
      0) {
    EngineErrorLine(source, line);
    return TILOPRN_MEMORY_ERROR;
  }
  return TILOPRN_SUCCESS;
}

// What every reader stores after a split.
void AfterSplit(PrintHandle_t* handle, ReplyWaitContext* context) {
  if (context->asbSeen != 0) SetRawAsb(handle, context->asb);
  if (context->batterySeen != 0) {
    SetBatteryValue(handle, context->battery);
    handle->batteryModel = 1;
  }
  if (context->rt17Seen != 0) handle->interruptSupport = (context->rt17 & 0x04) != 0 ? 1 : 2;
  if (context->jobEndSeen != 0) SetSendInProgress(handle, 0);
}

// Whether the wait kind is satisfied; sets what the kind sets on the way.
bool WaitDone(PrintHandle_t* handle, ReplyWaitContext* context, int32_t kind) {
  switch (kind) {
    case kWaitRealtime:
      if (context->rtIndex >= 0 && context->rtIndex <= 3) return context->rtSeen != 0;
      if (context->rtIndex == kRtIndexInterruptSupport) return context->rt17Seen != 0;
      return false;
    case kWaitBattery:
      if (context->batterySeen == 0) return false;
      handle->batteryModel = 1;
      return true;
    case kWaitClearReply:
      return context->clearReplySeen != 0;
    case kWaitModelAndBattery:
      if (context->modelIdSeen != 0 && context->batterySeen != 0) {
        handle->batteryModel = 1;
        return true;
      }
      if (context->rt18Seen != 0) {
        handle->displayConnected = (context->rt18 & 0x04) != 0 ? 2 : 1;
        return true;
      }
      if (context->modelIdSeen != 0) {
        if (context->rtIndex == kRtIndexDisplay) {
          handle->displayConnected = 2;
        } else {
          handle->batteryModel = 0;
        }
        return true;
      }
      return false;
    case kWaitOfflineResponse:
      return context->offlineRespSeen != 0;
    case kWaitInterruptReply:
      if (context->interruptReplySeen == 0) return false;
      handle->interruptAccepted = context->interruptVerdict;
      return true;
    case kWaitInfo:
      if (context->infoSeen != 0) {
        handle->infoKind = context->infoFlag != 0 ? kInfoKindExtStatus : kInfoKindPlain;
        return true;
      }
      if (context->nameSeen != 0) {
        handle->infoKind = kInfoKindPlain;
        return true;
      }
      return false;
    case kWaitExtStatus:
      return context->extSeen != 0;
    case kWaitCancelDone:
      return context->cancelDone != 0;
    default:
      return false;
  }
}

}  // namespace

int32_t GetExtraReplyWait(PrintHandle_t* handle) {
  if (handle == nullptr) return 0;
  PlatformLockGuard lock(handle->replyWaitLock);
  return lock ? handle->extraReplyWait : 0;
}

void SetExtraReplyWait(PrintHandle_t* handle, int32_t milliseconds) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->replyWaitLock);
  if (lock) handle->extraReplyWait = milliseconds;
}

int ReceiveResponse(PrintHandle_t* handle, int32_t timeoutMs, ReplyWaitContext* context,
                    int32_t kind) {
  if (handle == nullptr || context == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  const uint64_t start = platform_tick_ms();
  uint8_t buffer[kReadChunk];
  for (;;) {
    const uint64_t elapsed = platform_tick_ms() - start;
    if (timeoutMs <= 0 || elapsed >= static_cast<uint64_t>(timeoutMs)) return TILOPRN_TIMEOUT;
    size_t count = 0;
    const int read =
        TiloIoRead(handle->connection, buffer,
                   static_cast<int>(static_cast<uint64_t>(timeoutMs) - elapsed), &count);
    if (read != TILOIO_SUCCESS && read != TILOIO_TIMEOUT) return ConvertIoResult(read);
    if (read != TILOIO_SUCCESS || count == 0) continue;
    const int split = SplitChunk(handle, context, buffer, count, kSendReceiveSource, __LINE__);
    if (split != TILOPRN_SUCCESS) return split;
    AfterSplit(handle, context);
    if (kind == kWaitFirstSplit) return TILOPRN_FAILURE;
    if (WaitDone(handle, context, kind)) return TILOPRN_SUCCESS;
  }
}

int SendWithTimeout(PrintHandle_t* handle, const uint8_t* bytes, size_t length, int32_t timeoutMs) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  size_t written = 0;
  return ConvertIoResult(TiloIoWrite(handle->connection, bytes, length, timeoutMs, &written));
}

int SendCommandData(TdcBackendEnv_t* env, PrintHandle_t* handle, const uint8_t* bytes,
                    size_t length, int32_t timeoutMs) {
  if (timeoutMs < 0) return TILOPRN_TIMEOUT;
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  int32_t left = timeoutMs;
  if (GetNeedRecover(handle) != 0) {
    const uint64_t start = platform_tick_ms();
    StepContext_t recover{};
    recover.handle = handle;
    recover.env = env;
    const int32_t result = TiloRecover(&recover);
    if (result != TILOPRN_SUCCESS) return result;
    const uint64_t used = platform_tick_ms() - start;
    if (used >= static_cast<uint64_t>(timeoutMs)) return TILOPRN_TIMEOUT;
    left = timeoutMs - static_cast<int32_t>(used);
  }
  TiloIoControl(handle->connection, 1);
  if (handle->monitorWanted.load() != 0) SetSendInProgress(handle, 1);
  return SendWithTimeout(handle, bytes, length, left);
}

int PauseReceive(StepContext_t*, PrintHandle_t* handle, int* paused) {
  int flag = 1;
  if (paused != nullptr) *paused = 1;
  if (handle == nullptr) {
    EngineErrorLine(kStatusSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  const int status = TiloIoGetStatus(handle->connection, &flag);
  if (status != TILOIO_SUCCESS) {
    EngineErrorLine(kStatusSource, __LINE__);
    return ConvertIoResult(status);
  }
  if (paused != nullptr) *paused = flag;
  if (flag == 0) {
    const int control = TiloIoControl(handle->connection, 0);
    if (control != TILOIO_SUCCESS) {
      EngineErrorLine(kStatusSource, __LINE__);
      return ConvertIoResult(control);
    }
  }
  return TILOPRN_SUCCESS;
}

int ResumeReceive(PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  const int control = TiloIoControl(handle->connection, 1);
  if (control != TILOIO_SUCCESS) EngineErrorLine(kStatusSource, __LINE__);
  return ConvertIoResult(control);
}

int GetRealtimeStatus(TdcBackendEnv_t* env, PrintHandle_t* handle, uint8_t out[4], int count,
                      int32_t timeoutMs) {
  if (handle == nullptr || out == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (count < 1) count = 1;
  if (count > kRealtimeQueries) count = kRealtimeQueries;
  if (handle->realtimeResync.load() == 1) {
    ReplyWaitContext drain{};
    drain.handle = handle;
    drain.env = env;
    const int drained = DrainReplies(handle, &drain);
    if (drained != TILOPRN_SUCCESS && drained != TILOPRN_TIMEOUT) return drained;
    handle->realtimeResync = 0;
  }
  ReplyWaitContext context{};
  context.handle = handle;
  context.env = env;
  for (int i = 0; i < count; ++i) {
    const uint8_t query[] = {0x10, 0x04, static_cast<uint8_t>(i + 1)};
    NoteRealtimeQuery(handle, i);
    const int sent = SendWithTimeout(handle, query, sizeof query, kQueryWriteTimeoutMs);
    if (sent != TILOPRN_SUCCESS) return sent;
    context.rtIndex = i;
    context.rtSeen = 0;
    const int received = ReceiveResponse(handle, timeoutMs, &context, kWaitRealtime);
    if (received != TILOPRN_SUCCESS) {
      handle->realtimeResync = 1;
      return received;
    }
  }
  uint8_t held[4];
  GetRawAsb(handle, held);
  RealtimeStatusBytes(context.rt, count, held, out);
  return TILOPRN_SUCCESS;
}

int DrainReplies(PrintHandle_t* handle, ReplyWaitContext* context) {
  if (handle == nullptr || context == nullptr) return TILOPRN_PARAMETER_ERROR;
  uint8_t buffer[kReadChunk];
  for (;;) {
    size_t count = 0;
    const int read = TiloIoRead(handle->connection, buffer, 0, &count);
    if (read == TILOIO_TIMEOUT) return TILOPRN_TIMEOUT;
    if (read != TILOIO_SUCCESS) return ConvertIoResult(read);
    if (count == 0) return TILOPRN_SUCCESS;
    const int split = SplitChunk(handle, context, buffer, count, kStatusSource, __LINE__);
    if (split != TILOPRN_SUCCESS) return split;
    if (context->jobEndSeen != 0) SetSendInProgress(handle, 0);
  }
}

int QueryExtStatus(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  int result = SendExtStatusQuery(handle);
  if (result == TILOPRN_SUCCESS) {
    ReplyWaitContext context{};
    context.handle = handle;
    context.env = env;
    result = ReceiveResponse(handle, kExtStatusWaitMs, &context, kWaitExtStatus);
  }
  if (result != TILOPRN_SUCCESS) EngineErrorLine(kStatusSource, __LINE__);
  return result;
}

int CheckOfflineError(TdcBackendEnv_t* env, PrintHandle_t* handle, const uint8_t raw[4],
                      bool* extError10, bool* extError11) {
  if (handle == nullptr || raw == nullptr || extError10 == nullptr || extError11 == nullptr) {
    return TILOPRN_PARAMETER_ERROR;
  }
  const int32_t infoKind = handle->infoKind.load();
  if (!IsOfflineWithReason(raw)) {
    if (infoKind == 0) QueryPrinterInfo(env, handle);
    *extError10 = false;
    *extError11 = false;
    return TILOPRN_SUCCESS;
  }
  if (infoKind == kInfoKindExtStatus) {
    const int result = QueryExtStatus(env, handle);
    if (result != TILOPRN_SUCCESS) return result;
    return GetExtStatusBits(handle, extError10, extError11);
  }
  if (infoKind == 0 || infoKind == kInfoKindPlain) {
    *extError10 = true;
    *extError11 = true;
    return TILOPRN_SUCCESS;
  }
  EngineErrorLine(kStatusSource, __LINE__);
  return TILOPRN_FAILURE;
}

int QueryOfflineResponse(TdcBackendEnv_t* env, PrintHandle_t* handle, uint8_t out[8]) {
  if (handle == nullptr || out == nullptr) return TILOPRN_PARAMETER_ERROR;
  TiloIoControl(handle->connection, 0);
  int result = SendWithTimeout(handle, kOfflineResponseQuery, sizeof kOfflineResponseQuery,
                               kOfflineQueryWriteTimeoutMs);
  if (result == TILOPRN_SUCCESS) {
    ReplyWaitContext context{};
    context.handle = handle;
    context.env = env;
    result = ReceiveResponse(handle, kOfflineResponseWaitMs, &context, kWaitOfflineResponse);
    if (result == TILOPRN_SUCCESS) GetOfflineResponseBytes(handle, out);
  }
  TiloIoControl(handle->connection, 1);
  return result;
}

void DecodeOfflineResponse(PrintHandle_t* handle, const uint8_t response[8], uint32_t* flags) {
  if (handle == nullptr || response == nullptr || flags == nullptr) return;
  *flags |= DecodeOfflineReasons(response, handle->batteryModel.load() != 0);
}

int SendAsbEnable(PrintHandle_t* handle) { return SendFixed(handle, kAsbEnable); }
int SendStatusRequest(PrintHandle_t* handle) { return SendFixed(handle, kStatusRequest); }
int SendBatteryQuery(PrintHandle_t* handle) { return SendFixed(handle, kBatteryQuery); }
int SendExtStatusQuery(PrintHandle_t* handle) { return SendFixed(handle, kExtStatusQuery); }
int SendDisplayStatusQuery(PrintHandle_t* handle) {
  NoteRealtimeQuery(handle, kRtIndexDisplay);
  return SendFixed(handle, kDisplayStatusQuery);
}
int SendInterruptSupportQuery(PrintHandle_t* handle) {
  NoteRealtimeQuery(handle, kRtIndexInterruptSupport);
  return SendFixed(handle, kInterruptSupportQuery);
}
int SendResponseEnable(PrintHandle_t* handle) { return SendFixed(handle, kResponseEnable); }
int SendSettingCommand(PrintHandle_t* handle) { return SendFixed(handle, kSettingCommand); }
int SendModelIdQuery(PrintHandle_t* handle) { return SendFixed(handle, kModelIdQuery); }
int SendPaperSupportQuery(PrintHandle_t* handle) { return SendFixed(handle, kPaperSupportQuery); }
int SendInfoQuery(PrintHandle_t* handle) { return SendFixed(handle, kInfoQuery); }

int QueryPrinterInfo(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  const int sent = SendPaperSupportQuery(handle);
  if (sent != TILOPRN_SUCCESS) return sent;
  SendFixed(handle, kNameQuery);
  ReplyWaitContext context{};
  context.handle = handle;
  context.env = env;
  return ReceiveResponse(handle, kPrinterInfoWaitMs, &context, kWaitInfo);
}

}  // namespace tilo2::core
