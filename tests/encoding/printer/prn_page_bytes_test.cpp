// Page-mode, layout and sound command bytes.
#include "encoding/printer/prn_page_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../emit_case.h"

using namespace tilo2::core;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(PrnPage, Commands) {
  const EmitCase cases[] = {
      {"begin", [](Bytes& o) { PrnPageBeginBytes(o); }, {0x1B, 0x4C}},
      {"end", [](Bytes& o) { PrnPageEndBytes(o); }, {0x1B, 0x54, 0x00, 0x0C}},
      {"area",
       [](Bytes& o) { PrnPageAreaBytes(o, 0, 0, 512, 1000); },
       {0x1B, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xE8, 0x03}},
      {"direction 2", [](Bytes& o) { PrnPageDirectionBytes(o, 2); }, {0x1B, 0x54, 0x02}},
      {"direction 3", [](Bytes& o) { PrnPageDirectionBytes(o, 3); }, {0x1B, 0x54, 0x03}},
      {"direction 7", [](Bytes& o) { PrnPageDirectionBytes(o, 7); }, {0x1B, 0x54, 0x01}},
      {"position x", [](Bytes& o) { PrnPositionXBytes(o, 65535); }, {0x1B, 0x24, 0xFF, 0xFF}},
      {"position y", [](Bytes& o) { PrnPositionYBytes(o, 300); }, {0x1D, 0x24, 0x2C, 0x01}},
      {"line",
       [](Bytes& o) { PrnPageLineBytes(o, 1, 2, 3, 4, 5); },
       {0x1D, 0x28, 0x51, 0x0C, 0x00, 0x30, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00, 0x01,
        0x06, 0x30}},
      {"line with unknown style",
       [](Bytes& o) { PrnPageLineBytes(o, 0, 0, 0, 0, 9); },
       {0x1D, 0x28, 0x51, 0x0C, 0x00, 0x30, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x01, 0x30}},
      {"rectangle",
       [](Bytes& o) { PrnPageRectangleBytes(o, 10, 20, 300, 400, 4); },
       {0x1D, 0x28, 0x51, 0x0E, 0x00, 0x31, 0x0A, 0x00, 0x14, 0x00, 0x2C, 0x01, 0x90, 0x01, 0x01,
        0x05, 0x30, 0x30, 0x01}},
  };
  ExpectEmitCases(cases);
}

Bytes LayoutBytes(const std::string& text) {
  Bytes b = {0x1C, 0x28, 0x4C, static_cast<uint8_t>(text.size() + 1), 0x00, 0x21};
  b.insert(b.end(), text.begin(), text.end());
  b.insert(b.end(), {0x1D, 0x57, 0xFF, 0xFF});
  return b;
}

TEST(PrnLayout, EachTypeAdjustsItsValues) {
  struct Case {
    int type;
    long height, top, cut, label, bottom, width;
    const char* text;
  };
  const Case cases[] = {
      {1, 300, -15, -20, 30, 5, 580, "1300;0;0;0;0;580;"},
      {1, 300, 15, 20, 0, -5, 580, "1300;15;20;0;-5;580;"},
      {2, 300, -15, -20, 30, 5, 580, "2300;-15;0;30;5;580;"},
      {3, 300, -15, -20, 30, 5, 580, "3300;-15;-20;0;0;580;"},
      {0, 300, -15, -20, 30, 5, 580, "00;0;0;0;0;580;"},
      {7, 300, -15, -20, 30, 5, 580, "00;0;0;0;0;580;"},
  };
  for (const auto& tc : cases) {
    Bytes out;
    PrnLayoutBytes(out, tc.type, tc.height, tc.top, tc.cut, tc.label, tc.bottom, tc.width);
    EXPECT_EQ(LayoutBytes(tc.text), out) << tc.text;
  }
  Bytes out;
  PrnLayoutBytes(out, 1, 300, -15, -20, 30, 5, 580);
  EXPECT_EQ(0x12, out[3]);  // 17 characters plus the function byte
}

TEST(PrnLayout, FeedPositions) {
  const Bytes expect[] = {{0x1C, 0x28, 0x4C, 0x02, 0x00, 0x41, 0x30},
                          {0x1C, 0x28, 0x4C, 0x02, 0x00, 0x42, 0x30},
                          {0x1C, 0x28, 0x4C, 0x02, 0x00, 0x43, 0x32},
                          {0x1C, 0x28, 0x4C, 0x02, 0x00, 0x43, 0x30},
                          {0x1C, 0x28, 0x4C, 0x02, 0x00, 0x43, 0x32}};
  for (int position = 0; position < 5; ++position) {
    EXPECT_EQ(expect[position], Emitted([&](Bytes& o) { PrnFeedPositionBytes(o, position); }))
        << position;
  }
}

TEST(PrnSound, PulseBuzzerAndSound) {
  const EmitCase cases[] = {
      {"pulse 5-pin 250ms",
       [](Bytes& o) { PrnPulseBytes(o, 1, 4); },
       {0x1B, 0x70, 0x01, 0xFA, 0xFA}},
      {"pulse 2-pin 100ms",
       [](Bytes& o) { PrnPulseBytes(o, 0, 1); },
       {0x1B, 0x70, 0x00, 0x64, 0x64}},
      {"pulse unknown", [](Bytes& o) { PrnPulseBytes(o, 2, 9); }, {0x1B, 0x70, 0x00, 0x32, 0x32}},
      {"buzzer A",
       [](Bytes& o) { PrnBuzzerBytes(o, 0, 3); },
       {0x1B, 0x28, 0x41, 0x03, 0x00, 0x61, 0x01, 0x03}},
      {"buzzer paper empty",
       [](Bytes& o) { PrnBuzzerBytes(o, 6, 1); },
       {0x1B, 0x28, 0x41, 0x03, 0x00, 0x61, 0x07, 0x01}},
      {"buzzer real-time",
       [](Bytes& o) { PrnBuzzerRealtimeBytes(o); },
       {0x10, 0x14, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00}},
      {"sound 10",
       [](Bytes& o) { PrnSoundBytes(o, 10, 2, 5); },
       {0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, 0x3A, 0x02, 0x05}},
      {"sound 0",
       [](Bytes& o) { PrnSoundBytes(o, 0, 1, 1); },
       {0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, 0x30, 0x01, 0x01}},
      {"impact 8 x30",
       [](Bytes& o) { PrnSoundImpactBytes(o, 8, 30); },
       {0x1B, 0x28, 0x41, 0x05, 0x00, 0x61, 0x65, 0x14, 0x05, 0x02}},
      {"impact 0",
       [](Bytes& o) { PrnSoundImpactBytes(o, 0, 1); },
       {0x1B, 0x28, 0x41, 0x05, 0x00, 0x61, 0x64, 0x01, 0x01, 0x02}},
      {"impact 2",
       [](Bytes& o) { PrnSoundImpactBytes(o, 2, 3); },
       {0x1B, 0x28, 0x41, 0x05, 0x00, 0x61, 0x65, 0x03, 0x0A, 0x02}},
      {"impact 9",
       [](Bytes& o) { PrnSoundImpactBytes(o, 9, 3); },
       {0x1B, 0x28, 0x41, 0x05, 0x00, 0x61, 0x65, 0x03, 0x02, 0x02}},
      {"impact 11",
       [](Bytes& o) { PrnSoundImpactBytes(o, 11, 3); },
       {0x1B, 0x28, 0x41, 0x05, 0x00, 0x61, 0x64, 0x03, 0x01, 0x02}},
  };
  ExpectEmitCases(cases);
}

}  // namespace
