#pragma once
// Bringing a printer back to a known state (flush blocks, clear buffer and its
// acknowledgement), the check of a printer that is reachable but silent, and
// interrupt printing.

#include <cstdint>

#include "engine/print_handle.h"
#include "engine/reply_analysis.h"
#include "engine/step_context.h"

namespace tilo2::core {

// A step context for steps run outside a chain (an open, a reopen, the end of
// a transaction), with the reply reader and the online and no-answer slots its
// steps write to. It owns all three, so it stays where it was made.
struct LocalSteps {
  LocalSteps(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t onlineAtStart = 0)
      : online(onlineAtStart) {
    replyWait.handle = handle;
    replyWait.env = env;
    context.handle = handle;
    context.env = env;
    context.replyWait = &replyWait;
    context.online = &online;
    context.noAnswer = &noAnswer;
  }
  // Asks the device information steps to learn the battery, information and
  // settings afresh, as every open does, within replyTimeoutMs.
  void LearnDeviceAfresh(int32_t replyTimeoutMs) {
    PrintHandle_t* handle = context.handle;
    context.deviceInfo.batteryQuery = 1;
    context.deviceInfo.infoQuery = 1;
    context.deviceInfo.settingQuery = 1;
    context.deviceInfo.infoKnown = 0;
    context.deviceInfo.paperSupport = handle->paperSupport;
    context.deviceInfo.replyTimeoutMs = replyTimeoutMs;
    context.deviceInfo.responseEnabled = handle->responseEnabled;
    context.deviceInfo.asbSettingDone = handle->asbSettingDone;
  }
  LocalSteps(const LocalSteps&) = delete;
  LocalSteps& operator=(const LocalSteps&) = delete;

  ReplyWaitContext replyWait{};
  int32_t online;
  uint8_t noAnswer = 0;
  StepContext_t context{};
};

inline constexpr const char* kRecoverSource = "tiloprint_common_recover";
inline constexpr const char* kInterruptSource = "tiloprint_common_interruptprint";

int SendClearBuffer(PrintHandle_t* handle);
bool IsLineModel(PrintHandle_t* handle);
int SendFlushBlock(PrintHandle_t* handle);
int WaitClearBufferReply(TdcBackendEnv_t* env, PrintHandle_t* handle);
int FlushAndClearBuffer(TdcBackendEnv_t* env, PrintHandle_t* handle);
int RecoverPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle);
// The step queued as "_TiloRecover" (a leading underscore and capital are
// reserved in C++, so the function drops it).
int32_t TiloRecover(StepContext_t* context);
// "CheckAndRecover": recovers when needRecover is set.
int32_t CheckAndRecover(StepContext_t* context);
int RecoverPrinterRetry(TdcBackendEnv_t* env, PrintHandle_t* handle);
// Status monitor: 1 recovered, 0 failed (no-response status reported).
int RunRecover(PrintHandle_t* handle);
// Step: *online and *noAnswer from one DLE EOT 1.
int32_t CheckDMA(StepContext_t* context);
// 1 reachable, 0 not, -1 for Bluetooth or no handle.
int CheckReachable(PrintHandle_t* handle);
// TCP, on the queue thread: when the printer dropped the link (it was
// switched off and on, or closed or reset the connection, or a write failed),
// opens it again at the stored address and sets the printer up as the open
// does. 0 while the link is usable (at once for the other transports, which
// reconnect by themselves), 3 while it is lost and the printer cannot be
// reached yet.
int ReopenLostLink(TdcBackendEnv_t* env, PrintHandle_t* handle);
int SendInterruptRequest(PrintHandle_t* handle);
int WaitInterruptReply(TdcBackendEnv_t* env, PrintHandle_t* handle);
bool IsInterruptAccepted(PrintHandle_t* handle);
int RunInterruptPrinting(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t timeoutMs);

}  // namespace tilo2::core
