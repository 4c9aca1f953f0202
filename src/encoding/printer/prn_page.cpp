#include "encoding/printer/prn_page.h"

#include <initializer_list>

#include "encoding/printer/prn_emit.h"
#include "encoding/printer/prn_page_bytes.h"

namespace tilo2::core {

using Out = std::vector<uint8_t>;

namespace {

// Points and sizes go out as 16-bit numbers.
bool Words(std::initializer_list<int> values) {
  for (int v : values) {
    if (!CmdFitsWord(v)) return false;
  }
  return true;
}

}  // namespace

int PrnGenPageBegin(PrnCmdHandle_t* builder) {
  return PrnEmitAlways(builder, [](Out& out) { PrnPageBeginBytes(out); });
}

int PrnGenPageEnd(PrnCmdHandle_t* builder) {
  return PrnEmitAlways(builder, [](Out& out) { PrnPageEndBytes(out); });
}

int PrnGenPageArea(PrnCmdHandle_t* builder, int x, int y, int width, int height) {
  if (!Words({x, y, width, height})) return 1;
  return PrnEmitAlways(builder, [&](Out& out) { PrnPageAreaBytes(out, x, y, width, height); });
}

int PrnGenPageDirection(PrnCmdHandle_t* builder, int direction) {
  return PrnEmitAlways(builder, [&](Out& out) { PrnPageDirectionBytes(out, direction); });
}

int PrnGenPositionX(PrnCmdHandle_t* builder, int x) {
  if (!CmdFitsWord(x)) return 1;
  return PrnEmitAlways(builder, [&](Out& out) { PrnPositionXBytes(out, x); });
}

int PrnGenPositionY(PrnCmdHandle_t* builder, int y) {
  if (!CmdFitsWord(y)) return 1;
  return PrnEmitAlways(builder, [&](Out& out) { PrnPositionYBytes(out, y); });
}

int PrnGenPageLine(PrnCmdHandle_t* builder, int x1, int y1, int x2, int y2, int style) {
  if (!Words({x1, y1, x2, y2})) return 1;
  return PrnEmitAlways(builder, [&](Out& out) { PrnPageLineBytes(out, x1, y1, x2, y2, style); });
}

int PrnGenPageRectangle(PrnCmdHandle_t* builder, int x1, int y1, int x2, int y2, int style) {
  if (!Words({x1, y1, x2, y2})) return 1;
  return PrnEmitAlways(builder,
                       [&](Out& out) { PrnPageRectangleBytes(out, x1, y1, x2, y2, style); });
}

int PrnGenLayout(PrnCmdHandle_t* builder, int type, int height, int marginTop, int offsetCut,
                 int offsetLabel, int marginBottom, int width) {
  return PrnEmitAlways(builder, [&](Out& out) {
    PrnLayoutBytes(out, type, height, marginTop, offsetCut, offsetLabel, marginBottom, width);
  });
}

int PrnGenFeedPosition(PrnCmdHandle_t* builder, int position) {
  return PrnEmitAlways(builder, [&](Out& out) { PrnFeedPositionBytes(out, position); });
}

int PrnGenPulse(PrnCmdHandle_t* builder, int drawer, int pulse) {
  return PrnEmitAlways(builder, [&](Out& out) { PrnPulseBytes(out, drawer, pulse); });
}

int PrnGenBuzzer(PrnCmdHandle_t* builder, int pattern, int repeat) {
  if (!CmdFitsByte(repeat)) return 1;
  return PrnEmitAlways(builder, [&](Out& out) { PrnBuzzerBytes(out, pattern, repeat); });
}

int PrnGenBuzzerRealtime(PrnCmdHandle_t* builder) {
  return PrnEmitAlways(builder, [](Out& out) { PrnBuzzerRealtimeBytes(out); });
}

int PrnGenSound(PrnCmdHandle_t* builder, int pattern, int repeat, int cycle) {
  if (!CmdFitsByte(repeat) || !CmdFitsByte(cycle)) return 1;
  return PrnEmitAlways(builder, [&](Out& out) { PrnSoundBytes(out, pattern, repeat, cycle); });
}

int PrnGenSoundImpact(PrnCmdHandle_t* builder, int pattern, int repeat, int /*cycle*/) {
  return PrnEmitAlways(builder, [&](Out& out) { PrnSoundImpactBytes(out, pattern, repeat); });
}

}  // namespace tilo2::core
