// The generators' argument rule: a value written into its command as a raw
// number must fit its byte(s); one that does not answers 1 and appends
// nothing, where it used to be cut to another value. The largest value that
// fits still gives its bytes.
#include <functional>
#include <string>

#include "../prn_test_util.h"
#include "encoding/display/dsp_cmd.h"
#include "encoding/printer/prn_control.h"
#include "encoding/printer/prn_page.h"
#include "encoding/printer/prn_text.h"

using namespace tilo2::core;

namespace {

struct RuleCase {
  const char* what;
  std::function<int(PrnCmdHandle_t*, int)> gen;  // called with the value under test
  int largest;                                   // the largest value that fits
  Bytes largestBytes;
};

TEST(GeneratorArgumentRule, PrinterValuesThatDoNotFitAreRefused) {
  const RuleCase cases[] = {
      {"line space", PrnGenLineSpace, 255, B({0x1B, 0x33, 0xFF})},
      {"feed dots", PrnGenFeedUnit, 255, B({0x1B, 0x4A, 0xFF})},
      {"feed lines", PrnGenFeedLine, 255, B({0x1B, 0x64, 0xFF})},
      {"character width", [](PrnCmdHandle_t* b, int v) { return PrnGenCharSize(b, v, 1); }, 16,
       B({0x1D, 0x21, 0xF0})},
      {"character height", [](PrnCmdHandle_t* b, int v) { return PrnGenCharSize(b, 1, v); }, 16,
       B({0x1D, 0x21, 0x0F})},
      {"width scale", PrnGenWidthScale, 16, B({0x1D, 0x21, 0xF0})},
      {"position x", PrnGenPositionX, 65535, B({0x1B, 0x24, 0xFF, 0xFF})},
      {"position y", PrnGenPositionY, 65535, B({0x1D, 0x24, 0xFF, 0xFF})},
      {"page area height", [](PrnCmdHandle_t* b, int v) { return PrnGenPageArea(b, 0, 0, 1, v); },
       65535, B({0x1B, 0x57, 0, 0, 0, 0, 1, 0, 0xFF, 0xFF})},
      {"page line x2", [](PrnCmdHandle_t* b, int v) { return PrnGenPageLine(b, 0, 0, v, 0, 0); },
       65535,
       B({0x1D, 0x28, 0x51, 0x0C, 0x00, 0x30, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0x01, 0x01, 0x30})},
      {"page rectangle y1",
       [](PrnCmdHandle_t* b, int v) { return PrnGenPageRectangle(b, 0, v, 0, 0, 0); }, 65535,
       B({0x1D, 0x28, 0x51, 0x0E, 0x00, 0x31, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0x01, 0x01, 0x30, 0x30,
          0x01})},
      {"buzzer repeat", [](PrnCmdHandle_t* b, int v) { return PrnGenBuzzer(b, 1, v); }, 255,
       B({0x1B, 0x28, 0x41, 0x03, 0x00, 0x61, 0x02, 0xFF})},
      {"sound repeat", [](PrnCmdHandle_t* b, int v) { return PrnGenSound(b, 1, v, 0); }, 255,
       B({0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, 0x31, 0xFF, 0x00})},
      {"sound cycle", [](PrnCmdHandle_t* b, int v) { return PrnGenSound(b, 1, 0, v); }, 255,
       B({0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, 0x31, 0x00, 0xFF})},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.what);
    // 300 used to come out as 44 (2Ch) and 65536 as 0.
    const int over = c.largest == 16 ? 17 : c.largest + 1;
    for (int bad : {over, c.largest == 65535 ? 70000 : 300, -1}) {
      Builder b("RP-M3", 0);
      ASSERT_EQ(b.rc, 0);
      EXPECT_EQ(c.gen(b.get(), bad), 1) << bad;
      EXPECT_EQ(BodyBytes(b.get()), Bytes{}) << bad;
    }
    Builder b("RP-M3", 0);
    ASSERT_EQ(c.gen(b.get(), c.largest), 0);
    EXPECT_EQ(BodyBytes(b.get()), c.largestBytes);
  }
}

TEST(GeneratorArgumentRule, DisplayCornersAndCursorMustFitAByte) {
  DspCmdHandle_t* d = nullptr;
  ASSERT_EQ(DspCmdOpen("CD-A1", 0, &d), 0);
  auto body = [&] { return ListBytes(d->cmdBuffer.body); };
  // The last column x + width - 1 goes out as a byte too.
  EXPECT_EQ(DspGenCreateWindow(d, 1, 200, 1, 57, 1, 0), 1);
  EXPECT_EQ(DspGenCreateWindow(d, 1, 256, 1, 1, 1, 0), 1);
  EXPECT_EQ(DspGenCreateWindow(d, 1, 1, -1, 1, 1, 0), 1);
  EXPECT_EQ(DspGenCursorPosition(d, 256, 1), 1);
  EXPECT_EQ(DspGenCursorPosition(d, 1, -1), 1);
  EXPECT_EQ(body(), Bytes{});
  // A refused window is not recorded: selecting it records the window error.
  ASSERT_EQ(DspGenSelectWindow(d, 1), 0);
  CmdData_t* data = nullptr;
  EXPECT_EQ(DspCmdBuild(d, &data), 4);
  ASSERT_EQ(DspCmdClear(d), 0);

  ASSERT_EQ(DspGenCreateWindow(d, 1, 200, 1, 56, 1, 0), 0);
  EXPECT_EQ(body(),
            B({0x1B, 0x57, 0x01, 0x01, 200, 0x01, 0xFF, 0x01, 0x1F, 0x24, 200, 0x01, 0x1F, 0x01}));
  ASSERT_EQ(DspCmdClear(d), 0);
  ASSERT_EQ(DspGenCursorPosition(d, 255, 255), 0);
  EXPECT_EQ(body(), B({0x1F, 0x24, 0xFF, 0xFF}));
  EXPECT_EQ(DspCmdClose(d), 0);
}

}  // namespace
