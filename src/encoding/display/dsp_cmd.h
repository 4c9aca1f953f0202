#pragma once
// Display model constructors and the generators of the DspOps table. Slot
// types of encoding/dsp_cmd_handle.h.
#include "encoding/display/dsp_cmd_handle.h"

namespace tilo2::core {

// Constructors of the model table rows ("CD-A1", "CD-A2", "CD-A4").
int DspModelCreate_CD_A1(int modelLang, DspCmdHandle_t** out);
int DspModelCreate_CD_A2(int modelLang, DspCmdHandle_t** out);
int DspModelCreate_CD_A4(int modelLang, DspCmdHandle_t** out);

// Installs a new standard DspOps table (EncodingAlloc) in the builder: 0, 1 or 3.
int DspInstallOps(DspCmdHandle_t* builder);

// The generators follow the argument rule of encoding/printer/prn_cmd.h.
int DspGenBegin(DspCmdHandle_t* builder, CmdAppendFn append);
int DspGenEnd(DspCmdHandle_t* builder, CmdAppendFn append);
// Sets the display clock from the local time; 3 when it cannot be read.
int DspGenReset(DspCmdHandle_t* builder);
int DspGenCreateWindow(DspCmdHandle_t* builder, int window, int x, int y, int width, int height,
                       int scrollMode);
int DspGenDestroyWindow(DspCmdHandle_t* builder, int window);
// An inactive window records 4 for the build and answers 0.
int DspGenSelectWindow(DspCmdHandle_t* builder, int window);
int DspGenClear(DspCmdHandle_t* builder);
int DspGenCursorPosition(DspCmdHandle_t* builder, int x, int y);
int DspGenMoveCursor(DspCmdHandle_t* builder, int position);
int DspGenCursorType(DspCmdHandle_t* builder, int type);
// UTF-8 text in the builder's text language; -1 when it cannot be converted.
int DspGenText(DspCmdHandle_t* builder, const char* utf8);
int DspGenLanguage(DspCmdHandle_t* builder, int language);
int DspGenReverse(DspCmdHandle_t* builder, int on);
int DspGenMarquee(DspCmdHandle_t* builder, const char* utf8, int format, int unitWait,
                  int repeatWait, int repeatCount, int language);
int DspGenBlink(DspCmdHandle_t* builder, int intervalMs);
int DspGenBrightness(DspCmdHandle_t* builder, int level);
int DspGenShowClock(DspCmdHandle_t* builder);

}  // namespace tilo2::core
