#pragma once
// The two reply handlers of a print handle and the record a reader fills
// through them. AnalyzeOpenResponse only records; AnalyzeResponse, installed
// while the status monitor runs, also raises events and completes jobs.

#include <cstdint>

#include "encoding/printer/prn_cmd.h"
#include "engine/print_handle.h"

namespace tilo2::core {

// Which real-time reply a reader waits for.
inline constexpr int32_t kRtIndexInterruptSupport = 17;
inline constexpr int32_t kRtIndexDisplay = 18;

// One per exchange, zeroed by its reader before use.
struct ReplyWaitContext {
  uint8_t rt[4];    // DLE EOT 1..4
  int32_t rtIndex;  // 0..3, kRtIndexInterruptSupport or kRtIndexDisplay
  uint8_t asb[4];
  int32_t asbSeen;
  PrnCmdHandle_t* builder;  // the sending builder; the reader keeps it alive
  int32_t jobEndSeen;
  int32_t battery;
  int32_t batterySeen;
  PrintHandle_t* handle;
  TdcBackendEnv_t* env;
  int32_t rtSeen;
  int32_t clearReplySeen;
  int32_t modelIdSeen;
  int32_t offlineRespSeen;
  uint8_t rt17;
  int32_t rt17Seen;
  uint8_t interruptVerdict;  // 1 accepted
  int32_t interruptReplySeen;
  int32_t rt18Seen;
  uint8_t rt18;
  int32_t nameSeen;
  int32_t infoSeen;
  uint8_t infoFlag;
  int32_t extSeen;
  int32_t cueingSlipSeen;
  int32_t cueingDone;
  int32_t cancelDone;
};

// PrnReplyHandler signature; user is the reader's ReplyWaitContext. Unknown
// or malformed packets are ignored.
void AnalyzeResponse(int kind, const uint8_t* bytes, uint32_t length, void* user);
void AnalyzeOpenResponse(int kind, const uint8_t* bytes, uint32_t length, void* user);

}  // namespace tilo2::core
