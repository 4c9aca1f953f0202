#pragma once
// Job framing (header and trailer), the buffer-clearing real-time command,
// and the alignment, rotation, feed and cut commands.

#include "encoding/printer/prn_cmd.h"

namespace tilo2::core {

// Header: ESC = 1, ESC @, GS a FFh, then ESC T 0 and GS P x y as asked.
int PrnGenHeaderCommon(PrnCmdHandle_t* builder, CmdAppendFn append, int withPageDirection,
                       int withMotionUnits);
int PrnGenHeader(PrnCmdHandle_t* builder, CmdAppendFn append);
int PrnGenHeaderNoMotion(PrnCmdHandle_t* builder, CmdAppendFn append);  // "RP-M5"
int PrnGenHeaderImpact(PrnCmdHandle_t* builder, CmdAppendFn append);    // dot-matrix models
// Hybrid printer headers, installed by the print engine per paper type.
int PrnGenHeaderReceipt(PrnCmdHandle_t* builder, CmdAppendFn append);
int PrnGenHeaderSlip(PrnCmdHandle_t* builder, CmdAppendFn append);
int PrnGenHeaderEndorse(PrnCmdHandle_t* builder, CmdAppendFn append);

int PrnGenClearBuffer(PrnCmdHandle_t* builder);
// 128 NUL bytes, then GS ( H with the builder's job id.
int PrnGenTrailer(PrnCmdHandle_t* builder, CmdAppendFn append);
int PrnGenTrailerImpact(PrnCmdHandle_t* builder, CmdAppendFn append);  // GS r 1

int PrnGenAlign(PrnCmdHandle_t* builder, int alignment);
int PrnGenRotate(PrnCmdHandle_t* builder, int on);
int PrnGenFeedUnit(PrnCmdHandle_t* builder, int dots);
int PrnGenFeedLine(PrnCmdHandle_t* builder, int lines);
int PrnGenCut(PrnCmdHandle_t* builder, int type);

}  // namespace tilo2::core
