#include "encoding/printer/prn_page_bytes.h"

#include <algorithm>
#include <cstdio>

#include "encoding/le_bytes.h"

namespace tilo2::core {

namespace {
using namespace tilo2_bytes;

uint8_t Byte(int value) { return static_cast<uint8_t>(value); }

void PutPoints(std::vector<uint8_t>& out, std::initializer_list<int> values) {
  for (int v : values) PutLe16(out, static_cast<unsigned>(v));
}

}  // namespace

uint8_t PrnLineStyleParam(int style) { return style >= 0 && style <= 5 ? Byte(style + 1) : 1; }

void PrnPageBeginBytes(std::vector<uint8_t>& out) { Put(out, {0x1B, 0x4C}); }

void PrnPageEndBytes(std::vector<uint8_t>& out) { Put(out, {0x1B, 0x54, 0x00, 0x0C}); }

void PrnPageAreaBytes(std::vector<uint8_t>& out, int x, int y, int width, int height) {
  Put(out, {0x1B, 0x57});
  PutPoints(out, {x, y, width, height});
}

void PrnPageDirectionBytes(std::vector<uint8_t>& out, int direction) {
  Put(out, {0x1B, 0x54, direction >= 0 && direction <= 3 ? Byte(direction) : uint8_t{1}});
}

void PrnPositionXBytes(std::vector<uint8_t>& out, int x) {
  Put(out, {0x1B, 0x24});
  PutLe16(out, static_cast<unsigned>(x));
}

void PrnPositionYBytes(std::vector<uint8_t>& out, int y) {
  Put(out, {0x1D, 0x24});
  PutLe16(out, static_cast<unsigned>(y));
}

void PrnPageLineBytes(std::vector<uint8_t>& out, int x1, int y1, int x2, int y2, int style) {
  Put(out, {0x1D, 0x28, 0x51, 0x0C, 0x00, 0x30});
  PutPoints(out, {x1, y1, x2, y2});
  Put(out, {0x01, PrnLineStyleParam(style), 0x30});
}

void PrnPageRectangleBytes(std::vector<uint8_t>& out, int x1, int y1, int x2, int y2, int style) {
  Put(out, {0x1D, 0x28, 0x51, 0x0E, 0x00, 0x31});
  PutPoints(out, {x1, y1, x2, y2});
  Put(out, {0x01, PrnLineStyleParam(style), 0x30, 0x30, 0x01});
}

void PrnLayoutBytes(std::vector<uint8_t>& out, int type, long height, long marginTop,
                    long offsetCut, long offsetLabel, long marginBottom, long width) {
  switch (type) {
    case 1:  // die-cut label
      marginTop = std::max(marginTop, 0L);
      marginBottom = std::min(marginBottom, 0L);
      offsetLabel = 0;
      offsetCut = std::max(offsetCut, 0L);
      break;
    case 2:  // label with black marks
      offsetCut = std::max(offsetCut, 0L);
      break;
    case 3:  // receipt with black marks
      offsetLabel = 0;
      marginBottom = 0;
      break;
    default:  // plain receipt: only the width matters
      type = 0;
      height = marginTop = offsetCut = offsetLabel = marginBottom = 0;
      break;
  }
  char text[96];
  const int n =
      std::snprintf(text, sizeof text, "%u%ld;%ld;%ld;%ld;%ld;%ld;", static_cast<unsigned>(type),
                    height, marginTop, offsetCut, offsetLabel, marginBottom, width);
  Put(out, {0x1C, 0x28, 0x4C});
  PutLe16(out, static_cast<unsigned>(n + 1));
  out.push_back(0x21);
  PutBytes(out, reinterpret_cast<const uint8_t*>(text), static_cast<size_t>(n));
  Put(out, {0x1D, 0x57, 0xFF, 0xFF});
}

void PrnFeedPositionBytes(std::vector<uint8_t>& out, int position) {
  uint8_t f = 0x43, m = 0x32;  // top of the current form
  if (position == 0)
    f = 0x41, m = 0x30;
  else if (position == 1)
    f = 0x42, m = 0x30;
  else if (position == 3)
    f = 0x43, m = 0x30;
  Put(out, {0x1C, 0x28, 0x4C, 0x02, 0x00, f, m});
}

void PrnPulseBytes(std::vector<uint8_t>& out, int drawer, int pulse) {
  const uint8_t t = pulse >= 0 && pulse <= 4 ? Byte(50 * (pulse + 1)) : uint8_t{50};
  Put(out, {0x1B, 0x70, drawer == 1 ? uint8_t{1} : uint8_t{0}, t, t});
}

void PrnBuzzerBytes(std::vector<uint8_t>& out, int pattern, int repeat) {
  const uint8_t p = pattern >= 1 && pattern <= 6 ? Byte(pattern + 1) : uint8_t{1};
  Put(out, {0x1B, 0x28, 0x41, 0x03, 0x00, 0x61, p, Byte(repeat)});
}

void PrnBuzzerRealtimeBytes(std::vector<uint8_t>& out) {
  Put(out, {0x10, 0x14, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00});
}

void PrnSoundBytes(std::vector<uint8_t>& out, int pattern, int repeat, int cycle) {
  const uint8_t p = pattern >= 1 && pattern <= 10 ? Byte(0x30 + pattern) : uint8_t{0x30};
  Put(out, {0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, p, Byte(repeat), Byte(cycle)});
}

void PrnSoundImpactBytes(std::vector<uint8_t>& out, int pattern, int repeat) {
  uint8_t f = 0x65, r = 0x02;
  if (pattern == 1 || pattern == 2)
    r = 0x0A;
  else if (pattern == 7 || pattern == 8)
    r = 0x05;
  else if (pattern < 1 || pattern > 10)
    f = 0x64, r = 0x01;
  const uint8_t n = Byte(std::clamp(repeat, 0, 20));
  Put(out, {0x1B, 0x28, 0x41, 0x05, 0x00, 0x61, f, n, r, 0x02});
}

}  // namespace tilo2::core
