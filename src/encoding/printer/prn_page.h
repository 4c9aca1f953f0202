#pragma once
// Page table, layout table and sound table generators, and the horizontal
// position command shared with the text table. Slot types of encoding/prn_ops.h.
#include "encoding/printer/prn_ops.h"

namespace tilo2::core {

int PrnGenPageBegin(PrnCmdHandle_t* builder);
int PrnGenPageEnd(PrnCmdHandle_t* builder);
int PrnGenPageArea(PrnCmdHandle_t* builder, int x, int y, int width, int height);
int PrnGenPageDirection(PrnCmdHandle_t* builder, int direction);
int PrnGenPositionX(PrnCmdHandle_t* builder, int x);
int PrnGenPositionY(PrnCmdHandle_t* builder, int y);
int PrnGenPageLine(PrnCmdHandle_t* builder, int x1, int y1, int x2, int y2, int style);
int PrnGenPageRectangle(PrnCmdHandle_t* builder, int x1, int y1, int x2, int y2, int style);

int PrnGenLayout(PrnCmdHandle_t* builder, int type, int height, int marginTop, int offsetCut,
                 int offsetLabel, int marginBottom, int width);
int PrnGenFeedPosition(PrnCmdHandle_t* builder, int position);

int PrnGenPulse(PrnCmdHandle_t* builder, int drawer, int pulse);
int PrnGenBuzzer(PrnCmdHandle_t* builder, int pattern, int repeat);
int PrnGenBuzzerRealtime(PrnCmdHandle_t* builder);
int PrnGenSound(PrnCmdHandle_t* builder, int pattern, int repeat, int cycle);
// The dot-matrix model's sound: the cycle is not used.
int PrnGenSoundImpact(PrnCmdHandle_t* builder, int pattern, int repeat, int cycle);

}  // namespace tilo2::core
