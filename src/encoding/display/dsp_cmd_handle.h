#pragma once
// Customer display command builder: one per display model. A display job is
// framed by the begin command (header) and the end command with the job id
// request (trailer); its slots live in the model's DspOps table.
//
// The display models and their generators are reached through two names
// defined beside the display generators:
//   DspModelTable  (src/encoding/dsp_model_table.cpp): rows {name, constructor},
//                  ended by a row with a null name.
//   Each constructor allocates with DspCmdAlloc and installs a DspOps table
//   allocated with EncodingAlloc (encoding/alloc_hook.h); DspCmdClose frees
//   it with free().
// Result codes as the printer builder's; build answers 4 when a window
// selection failed earlier in the job.

#include <cstdint>

#include "encoding/builder/cmd_buffer.h"
#include "encoding/builder/cmd_data.h"

namespace tilo2::core {

struct DspCmdHandle_t;

using DspOp0Fn = int (*)(DspCmdHandle_t*);
using DspOp1Fn = int (*)(DspCmdHandle_t*, int);
using DspOp2Fn = int (*)(DspCmdHandle_t*, int, int);
using DspFrameFn = int (*)(DspCmdHandle_t*, CmdAppendFn);
using DspTextFn = int (*)(DspCmdHandle_t*, const char* utf8);
// (window, x, y, width, height, scroll mode)
using DspWindowFn = int (*)(DspCmdHandle_t*, int, int, int, int, int, int);
// (text, format, unit wait, repeat wait, repeat count, language)
using DspMarqueeFn = int (*)(DspCmdHandle_t*, const char*, int, int, int, int, int);

struct DspOps {
  DspFrameFn begin;          // 0
  DspFrameFn end;            // 1
  DspOp0Fn reset;            // 2
  DspWindowFn createWindow;  // 3
  DspOp1Fn destroyWindow;    // 4
  DspOp1Fn selectWindow;     // 5
  DspOp0Fn clear;            // 6
  DspOp2Fn cursorPosition;   // 7 (x, y)
  DspOp1Fn moveCursor;       // 8
  DspOp1Fn cursorType;       // 9
  DspTextFn text;            // 10
  DspOp1Fn language;         // 11
  DspOp1Fn reverse;          // 12
  DspMarqueeFn marquee;      // 13
  DspOp1Fn blink;            // 14
  DspOp1Fn brightness;       // 15
  DspOp0Fn showClock;        // 16
};

struct DspWindow_t {
  int32_t active;
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
};

struct DspCmdHandle_t {
  uint32_t size;  // own record size
  uint32_t tag;   // "DDVH"
  char modelName[16];
  int32_t modelLang;       // always 0
  int32_t textLang;        // language of the last display language command
  DspWindow_t windows[4];  // windows 1..4; window 0 is the whole screen
  char processId[4];       // job id of the trailer's GS ( H request
  int32_t stickyError;     // error recorded while reporting success; build returns it
  CmdBuffer_t cmdBuffer;
  int16_t converter;  // code-page converter handle; -1 when none
  DspOps* ops;
};

using DspModelCreate = int (*)(int modelLang, DspCmdHandle_t** out);

struct DspModelRow {
  const char* name;  // null ends the table
  DspModelCreate create;
};

extern const DspModelRow* const DspModelTable;

bool DspCmdValid(const DspCmdHandle_t* builder);

// Allocates a builder with its defaults and opens the model's converter.
// 0, 1 (null argument), 3 (memory).
int DspCmdAlloc(const char* modelName, int modelLang, DspCmdHandle_t** out);

int DspCmdOpen(const char* modelName, int unused, DspCmdHandle_t** out);
int DspCmdClose(DspCmdHandle_t* builder);
int DspCmdCreateWindow(DspCmdHandle_t* builder, int window, int x, int y, int width, int height,
                       int scrollMode);
int DspCmdSetCursorPosition(DspCmdHandle_t* builder, int x, int y);
int DspCmdSetLanguage(DspCmdHandle_t* builder, int language);
int DspCmdAddMarquee(DspCmdHandle_t* builder, const char* text, int format, int unitWait,
                     int repeatWait, int repeatCount, int language);
int DspCmdAddCommand(DspCmdHandle_t* builder, const uint8_t* bytes, uint32_t size);
int DspCmdBuild(DspCmdHandle_t* builder, CmdData_t** out);
int DspCmdClear(DspCmdHandle_t* builder);
// Deep copy for a queued send, with no converter: 0, 1, 3.
int DspCmdDuplicate(const DspCmdHandle_t* builder, DspCmdHandle_t** out);

}  // namespace tilo2::core
