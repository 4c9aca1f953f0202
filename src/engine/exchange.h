#pragma once
// The exchanges every status, recovery and job step is made of: waiting for a
// reply, writing with a deadline, pausing the printer's own status reports
// around a query, the real-time status queries, and the fixed query sequences.
// All of them run on the connection's queue thread.

#include <cstddef>
#include <cstdint>

#include "engine/print_handle.h"
#include "engine/reply_analysis.h"
#include "engine/step_context.h"

namespace tilo2::core {

inline constexpr const char* kSendReceiveSource = "tiloprint_common_cmd_sendreceive";

// What ReceiveResponse waits for.
enum ReplyWaitKind : int32_t {
  kWaitRealtime = 1,         // rtIndex 0..3 or 17
  kWaitBattery = 3,          // battery reply; batteryModel = 1
  kWaitClearReply = 4,       // "7" "%" acknowledgement of the clear buffer
  kWaitModelAndBattery = 5,  // model id, battery and display answers
  kWaitOfflineResponse = 6,  // "7" "#" block
  kWaitInterruptReply = 7,   // interrupt verdict
  kWaitInfo = 8,             // information or name reply
  kWaitExtStatus = 9,        // extended status block
  kWaitFirstSplit = 10,      // the first chunk that was split (answers 255)
  kWaitCancelDone = 11,      // insertion cancelled
};

// Reads and splits replies into context until the kind is satisfied. 0 done,
// 4 timeout, 5 when a reply cannot be split, 255 (kind 10, no handle, no
// context, clock failure) or the read failure.
int ReceiveResponse(PrintHandle_t* handle, int32_t timeoutMs, ReplyWaitContext* context,
                    int32_t kind);
// Converted write result; 1 without handle.
int SendWithTimeout(PrintHandle_t* handle, const uint8_t* bytes, size_t length, int32_t timeoutMs);
// Recovers first when needed, then writes. 4 when the timeout is negative or
// used up by the recovery.
int SendCommandData(TdcBackendEnv_t* env, PrintHandle_t* handle, const uint8_t* bytes,
                    size_t length, int32_t timeoutMs);

// Pause the printer's status reports for an exchange: *paused becomes the
// interface status flag, 0 meaning that control 0 was sent and ResumeReceive
// is due on every path. context may be null.
int PauseReceive(StepContext_t* context, PrintHandle_t* handle, int* paused);
int ResumeReceive(PrintHandle_t* handle);

// DLE EOT 1..count, folded into the four status bytes of the ASB layout.
int GetRealtimeStatus(TdcBackendEnv_t* env, PrintHandle_t* handle, uint8_t out[4], int count,
                      int32_t timeoutMs);
// Reads and feeds everything already received: 0 or 4, or the failure.
int DrainReplies(PrintHandle_t* handle, ReplyWaitContext* context);
// Whether an offline printer's error is one the extended status reports.
int CheckOfflineError(TdcBackendEnv_t* env, PrintHandle_t* handle, const uint8_t raw[4],
                      bool* extError10, bool* extError11);

// The fixed query sequences: one write each with a 500 ms timeout, the
// converted result.
int SendAsbEnable(PrintHandle_t* handle);
int SendStatusRequest(PrintHandle_t* handle);
int SendBatteryQuery(PrintHandle_t* handle);
int SendExtStatusQuery(PrintHandle_t* handle);
int SendDisplayStatusQuery(PrintHandle_t* handle);
int SendInterruptSupportQuery(PrintHandle_t* handle);
int SendResponseEnable(PrintHandle_t* handle);
int SendSettingCommand(PrintHandle_t* handle);
int SendModelIdQuery(PrintHandle_t* handle);
int SendPaperSupportQuery(PrintHandle_t* handle);
int SendInfoQuery(PrintHandle_t* handle);

// Paper support and information kind ("CheckSupportPaperType" is this).
int QueryPrinterInfo(TdcBackendEnv_t* env, PrintHandle_t* handle);
// DLE DC4 7 2 and the wait for the extended status block (1000 ms).
int QueryExtStatus(TdcBackendEnv_t* env, PrintHandle_t* handle);
// Interface control 0, DLE DC4 7 4 (1000 ms write), the wait for the "7" "#"
// block (1000 ms), the 8 bytes into out, interface control 1 on every path.
int QueryOfflineResponse(TdcBackendEnv_t* env, PrintHandle_t* handle, uint8_t out[8]);
// ORs the reasons of an offline response into *flags.
void DecodeOfflineResponse(PrintHandle_t* handle, const uint8_t response[8], uint32_t* flags);

// extraReplyWait under its lock (0 for a null handle or a lock failure).
int32_t GetExtraReplyWait(PrintHandle_t* handle);
void SetExtraReplyWait(PrintHandle_t* handle, int32_t milliseconds);

}  // namespace tilo2::core
