// The validating appends and their validators at their boundary values:
// what each accepts, what it stores, and that a refusal stores nothing.

#include "device/printer_commands.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "device/command_blocks.h"
#include "device/command_list.h"
#include "device/test_hooks.h"

using namespace tilo2::core;

namespace {

class Appends : public ::testing::Test {
 protected:
  void SetUp() override {
    record_.settings = &settings_;
    TdcInitCommandList(&record_.commands.commandList);
  }
  void TearDown() override { TdcDestroyCommandList(&record_.commands.commandList); }

  size_t Count() const {
    size_t n = 0;
    for (const TdcCommand_t* c = record_.commands.commandList.head; c != nullptr; c = c->next) ++n;
    return n;
  }
  const TdcCommand_t* Last() const { return record_.commands.commandList.tail; }
  std::vector<int32_t> LastInts(size_t count) const {
    const auto* v = static_cast<const int32_t*>(Last()->args);
    return std::vector<int32_t>(v, v + count);
  }
  void Clear() { ASSERT_EQ(TdcClearPrinterCommands(&record_.commands.commandList), 0); }

  TdcPrinterSettings_t settings_{6, 0, -3};
  TdcPrinter_t record_{};
};

// One append at one value: its answer, and when 0 the kind and values stored.
struct AppendCase {
  const char* name;
  std::function<int(TdcPrinter_t*)> append;
  bool accepted;
  int kind = -1;
  std::vector<int32_t> stored = {};
};

using R = TdcPrinter_t*;

std::vector<AppendCase> IntAppendCases() {
  std::vector<AppendCase> cases;
  // An append of one enumerated value: each listed value accepted, its
  // neighbours refused.
  auto listed = [&](const char* name, int (*append)(R, int32_t), int kind, std::vector<int32_t> ok,
                    std::vector<int32_t> bad) {
    for (int32_t v : ok) {
      cases.push_back({name, [=](R r) { return append(r, v); }, true, kind, {v}});
    }
    for (int32_t v : bad) cases.push_back({name, [=](R r) { return append(r, v); }, false});
  };
  listed("align", TdcAddTextAlign, 0, {0, 1, 2, -2}, {3, -1, -3});
  listed("rotate", TdcAddTextRotate, 2, {0, 1, -2}, {2, -1});
  listed("lang", TdcAddTextLang, 4, {0, 6, -2}, {7, -1});
  listed("font", TdcAddTextFont, 5, {0, 4, -2}, {5, -1});
  listed("smooth", TdcAddTextSmooth, 6, {0, 1, -2}, {2, -1});
  listed("direction", TdcAddPageDirection, 22, {0, 3, -2}, {4, -1});
  listed("cut", TdcAddCut, 26, {0, 1, 2, -2}, {3, -1});
  listed("feed position", TdcAddFeedPosition, 30, {0, 3}, {4, -1, -2});
  // Bounds read as unsigned: negatives fail too.
  listed("line space", TdcAddLineSpace, 1, {0, 255}, {256, -1, -2, INT32_MIN});
  listed("hposition", TdcAddHPosition, 9, {0, 65535}, {65536, -1});
  listed("feed unit", TdcAddFeedUnit, 10, {0, 255}, {256, -1});
  listed("feed line", TdcAddFeedLine, 11, {0, 255}, {256, -1});
  return cases;
}

std::vector<AppendCase> OtherAppendCases() {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>("\x1b\x40");
  return {
      {"text", [](R r) { return TdcAddText(r, "hello"); }, true, 3},
      {"text empty", [](R r) { return TdcAddText(r, ""); }, true, 3},
      {"text null", [](R r) { return TdcAddText(r, nullptr); }, false},
      // Text size: 1..8, -1 or -2 each, not both -1.
      {"size 1 8", [](R r) { return TdcAddTextSize(r, 1, 8); }, true, 7, {1, 8}},
      {"size -2 -1", [](R r) { return TdcAddTextSize(r, -2, -1); }, true, 7, {-2, -1}},
      {"size -1 -1", [](R r) { return TdcAddTextSize(r, -1, -1); }, false},
      {"size 0", [](R r) { return TdcAddTextSize(r, 0, 1); }, false},
      {"size 9", [](R r) { return TdcAddTextSize(r, 1, 9); }, false},
      {"size -3", [](R r) { return TdcAddTextSize(r, -3, 1); }, false},
      {"style", [](R r) { return TdcAddTextStyle(r, 1, 0, -2, 4); }, true, 8, {1, 0, -2, 4}},
      {"style color only",
       [](R r) { return TdcAddTextStyle(r, -1, -1, -1, 2); },
       true,
       8,
       {-1, -1, -1, 2}},
      {"style all -1", [](R r) { return TdcAddTextStyle(r, -1, -1, -1, -1); }, false},
      {"style color 5", [](R r) { return TdcAddTextStyle(r, 0, 0, 0, 5); }, false},
      {"style em 2", [](R r) { return TdcAddTextStyle(r, 0, 0, 2, 0); }, false},
      // Logo keys 1..255; series 6 checks the second key as well.
      {"logo 1 255", [](R r) { return TdcAddLogo(r, 1, 255); }, true, 13, {1, 255}},
      {"logo key1 0", [](R r) { return TdcAddLogo(r, 0, 1); }, false},
      {"logo key1 256", [](R r) { return TdcAddLogo(r, 256, 1); }, false},
      {"logo key2 0", [](R r) { return TdcAddLogo(r, 1, 0); }, false},
      {"page begin", [](R r) { return TdcAddPageBegin(r); }, true, 19},
      {"page end", [](R r) { return TdcAddPageEnd(r); }, true, 20},
      {"page area",
       [](R r) { return TdcAddPageArea(r, 0, 65535, 1, 65535); },
       true,
       21,
       {0, 65535, 1, 65535}},
      {"page area x -1", [](R r) { return TdcAddPageArea(r, -1, 0, 1, 1); }, false},
      {"page area y 65536", [](R r) { return TdcAddPageArea(r, 0, 65536, 1, 1); }, false},
      {"page area width 0", [](R r) { return TdcAddPageArea(r, 0, 0, 0, 1); }, false},
      {"page area height 65536", [](R r) { return TdcAddPageArea(r, 0, 0, 1, 65536); }, false},
      {"page position",
       [](R r) { return TdcAddPagePosition(r, -1, 65535); },
       true,
       23,
       {-1, 65535}},
      {"page position -1 -1", [](R r) { return TdcAddPagePosition(r, -1, -1); }, false},
      {"page position -2", [](R r) { return TdcAddPagePosition(r, -2, 0); }, false},
      {"page position 65536", [](R r) { return TdcAddPagePosition(r, 0, 65536); }, false},
      {"pulse", [](R r) { return TdcAddPulse(r, -2, 4); }, true, 27, {-2, 4}},
      {"pulse drawer 2", [](R r) { return TdcAddPulse(r, 2, 0); }, false},
      {"pulse time 5", [](R r) { return TdcAddPulse(r, 0, 5); }, false},
      {"pulse time -1", [](R r) { return TdcAddPulse(r, 0, -1); }, false},
      {"command", [=](R r) { return TdcAddCommand(r, bytes, 1); }, true, 29},
      {"command count 0", [=](R r) { return TdcAddCommand(r, bytes, 0); }, false},
      {"command null", [](R r) { return TdcAddCommand(r, nullptr, 2); }, false},
      {"hline", [](R r) { return TdcAddHLine(r, 0, 65535, -2); }, true, 16, {0, 65535, -2}},
      {"hline x2 -1", [](R r) { return TdcAddHLine(r, 0, -1, 0); }, false},
      {"hline x1 65536", [](R r) { return TdcAddHLine(r, 65536, 0, 0); }, false},
      {"hline style 6", [](R r) { return TdcAddHLine(r, 0, 1, 6); }, false},
      {"sound", [](R r) { return TdcAddSound(r, 17, 0, 25500); }, true, 28, {17, 0, 25500}},
      {"sound defaults", [](R r) { return TdcAddSound(r, -2, -2, -2); }, true, 28, {-2, -2, -2}},
      {"sound none", [](R r) { return TdcAddSound(r, 0, 255, 1000); }, true, 28, {0, 255, 1000}},
      {"sound pattern 18", [](R r) { return TdcAddSound(r, 18, 1, 1000); }, false},
      {"sound repeat 256", [](R r) { return TdcAddSound(r, 1, 256, 1000); }, false},
      {"sound repeat -1", [](R r) { return TdcAddSound(r, 1, -1, 1000); }, false},
      {"sound cycle 999", [](R r) { return TdcAddSound(r, 1, 1, 999); }, false},
      {"sound cycle 25501", [](R r) { return TdcAddSound(r, 1, 1, 25501); }, false},
      {"page line",
       [](R r) { return TdcAddPageLine(r, -1, 0, 65535, -1, 5); },
       true,
       24,
       {-1, 0, 65535, -1, 5}},
      {"page line x2 65536", [](R r) { return TdcAddPageLine(r, 0, 0, 65536, 0, 0); }, false},
      {"page line y1 -2", [](R r) { return TdcAddPageLine(r, 0, -2, 0, 0, 0); }, false},
      {"page rectangle",
       [](R r) { return TdcAddPageRectangle(r, 0, 0, 10, 10, -2); },
       true,
       25,
       {0, 0, 10, 10, -2}},
      {"page rectangle style -1", [](R r) { return TdcAddPageRectangle(r, 0, 0, 1, 1, -1); },
       false},
      {"layout",
       [](R r) { return TdcAddLayout(r, 3, 600, 1550, -15, 15, 50, 15); },
       true,
       31,
       {3, 600, 1550, -15, 15, 50, 15}},
      {"layout refused", [](R r) { return TdcAddLayout(r, 3, 600, 1550, -15, 15, 50, 16); }, false},
      {"vline end", [](R r) { return TdcAddVLineEnd(r, 0x30064); }, true, 18, {100, 2}},
      {"vline end style 5", [](R r) { return TdcAddVLineEnd(r, 0x6FFFF); }, true, 18, {65535, 5}},
      {"vline end 0x70000", [](R r) { return TdcAddVLineEnd(r, 0x70000); }, false},
      {"vline end below 65536", [](R r) { return TdcAddVLineEnd(r, 65535); }, false},
      {"vline end negative", [](R r) { return TdcAddVLineEnd(r, -65536); }, false},
  };
}

TEST_F(Appends, AcceptAndStoreAtTheirBoundaries) {
  std::vector<AppendCase> cases = IntAppendCases();
  for (AppendCase& c : OtherAppendCases()) cases.push_back(std::move(c));
  for (const AppendCase& c : cases) {
    Clear();
    const int result = c.append(&record_);
    if (!c.accepted) {
      EXPECT_EQ(result, 1) << c.name;
      EXPECT_EQ(Count(), 0u) << c.name;
      continue;
    }
    ASSERT_EQ(result, 0) << c.name;
    ASSERT_EQ(Count(), 1u) << c.name;
    EXPECT_EQ(Last()->kind, c.kind) << c.name;
    if (!c.stored.empty()) {
      EXPECT_EQ(LastInts(c.stored.size()), c.stored) << c.name;
    }
    // Every append refuses a missing record.
    EXPECT_EQ(c.append(nullptr), 1) << c.name;
  }
}

TEST_F(Appends, LogoOfSeries15IgnoresTheSecondKey) {
  EXPECT_EQ(TdcAddLogo(&record_, 1, 0), 1);
  settings_.series = 15;
  EXPECT_EQ(TdcAddLogo(&record_, 1, 0), 0);
  EXPECT_EQ(TdcAddLogo(&record_, 0, 0), 1);
  // Without settings the second key is checked.
  record_.settings = nullptr;
  EXPECT_EQ(TdcAddLogo(&record_, 1, 0), 1);
  EXPECT_EQ(Count(), 1u);
}

TEST_F(Appends, PageBeginAndEndSetPageModeOnlyAfterAnAppend) {
  EXPECT_EQ(TdcAddPageBegin(&record_), 0);
  EXPECT_EQ(record_.pageMode, 1);
  const std::vector<uint8_t> pixels(3, 0);
  ASSERT_EQ(TdcAddImage(&record_, pixels.data(), 1, 1, 0, 0, 1, 1, -2, -2, -2, -2.0, -2), 0);
  EXPECT_EQ(static_cast<const TdcImageArgs_t*>(Last()->args)->pageMode, 1);
  EXPECT_EQ(TdcAddPageEnd(&record_), 0);
  EXPECT_EQ(record_.pageMode, 0);
  ASSERT_EQ(TdcAddImage(&record_, pixels.data(), 1, 1, 0, 0, 1, 1, -2, -2, -2, -2.0, -2), 0);
  EXPECT_EQ(static_cast<const TdcImageArgs_t*>(Last()->args)->pageMode, 0);

  // An append that ran out of memory leaves the flag as it was.
  TdcSetCommandAllocator([](size_t) -> void* { return nullptr; });
  EXPECT_EQ(TdcAddPageBegin(&record_), 10);
  EXPECT_EQ(record_.pageMode, 0);
  record_.pageMode = 1;
  EXPECT_EQ(TdcAddPageEnd(&record_), 10);
  EXPECT_EQ(record_.pageMode, 1);
  TdcSetCommandAllocator(nullptr);
  EXPECT_EQ(Count(), 4u);
}

TEST_F(Appends, OutOfMemoryAnswersTen) {
  TdcSetCommandAllocator([](size_t) -> void* { return nullptr; });
  const uint8_t pixels[3] = {};
  EXPECT_EQ(TdcAddText(&record_, "x"), 10);
  EXPECT_EQ(TdcAddCut(&record_, 1), 10);
  EXPECT_EQ(TdcAddBarcode(&record_, "01234567890", 0, 0, 0, 2, 1), 10);
  EXPECT_EQ(TdcAddImage(&record_, pixels, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1.0, 1), 10);
  int32_t id = 7;
  EXPECT_EQ(TdcAddVLineBegin(&record_, 1, 1, &id), 10);
  EXPECT_EQ(id, 7);
  // Refused values answer 1 before any allocation.
  EXPECT_EQ(TdcAddCut(&record_, 9), 1);
  TdcSetCommandAllocator(nullptr);
  EXPECT_EQ(Count(), 0u);
}

TEST_F(Appends, VLineBeginEncodesTheLineIdForTheEnd) {
  struct Case {
    int32_t x, style, id;
  };
  for (const Case& c : std::vector<Case>{
           {100, 2, 0x30064}, {0, 0, 0x10000}, {0, -2, 0x10000}, {65535, 5, 0x6FFFF}}) {
    Clear();
    int32_t id = 0;
    ASSERT_EQ(TdcAddVLineBegin(&record_, c.x, c.style, &id), 0);
    EXPECT_EQ(id, c.id);
    EXPECT_EQ(LastInts(2), (std::vector<int32_t>{c.x, c.style}));
    ASSERT_EQ(TdcAddVLineEnd(&record_, id), 0);
    EXPECT_EQ(Last()->kind, TDC_CMD_VLINE_END);
    EXPECT_EQ(LastInts(2), (std::vector<int32_t>{c.x, c.style == -2 ? 0 : c.style}));
  }
  Clear();
  int32_t id = 42;
  // Values that would not fit the id, and a missing out pointer, store nothing.
  EXPECT_EQ(TdcAddVLineBegin(&record_, -1, 0, &id), 1);
  EXPECT_EQ(TdcAddVLineBegin(&record_, 65536, 0, &id), 1);
  EXPECT_EQ(TdcAddVLineBegin(&record_, 0, 6, &id), 1);
  EXPECT_EQ(TdcAddVLineBegin(&record_, 0, -1, &id), 1);
  EXPECT_EQ(TdcAddVLineBegin(&record_, 0, 0, nullptr), 1);
  EXPECT_EQ(TdcAddVLineBegin(nullptr, 0, 0, &id), 1);
  EXPECT_EQ(id, 42);
  EXPECT_EQ(Count(), 0u);
}

TEST_F(Appends, ImageKeepsTheRecordsSettingsAndHandleSlot) {
  const std::vector<uint8_t> pixels(2 * 3 * 3, 7);
  ASSERT_EQ(TdcAddImage(&record_, pixels.data(), 2, 3, 1, 1, 1, 2, 4, 2, 1, 0.1, 0), 0);
  const auto* image = static_cast<const TdcImageArgs_t*>(Last()->args);
  EXPECT_EQ(image->settings, &settings_);
  EXPECT_EQ(image->handleSlot, &record_.handle);
  EXPECT_EQ(image->imageWidth, 2);
  EXPECT_EQ(image->imageHeight, 3);
  EXPECT_EQ(image->color, 4);
  EXPECT_EQ(image->brightness, 0.1);
  EXPECT_EQ(image->compress, 0);
  EXPECT_NE(image->rgb, pixels.data());
  EXPECT_EQ(image->rgb[17], 7);

  record_.settings = nullptr;
  EXPECT_EQ(TdcAddImage(&record_, pixels.data(), 2, 3, 0, 0, 2, 3, 1, 0, 0, 1.0, 0), 255);
  EXPECT_EQ(TdcAddImage(nullptr, pixels.data(), 2, 3, 0, 0, 2, 3, 1, 0, 0, 1.0, 0), 1);
  EXPECT_EQ(TdcAddImage(&record_, nullptr, 2, 3, 0, 0, 2, 3, 1, 0, 0, 1.0, 0), 1);
  EXPECT_EQ(Count(), 1u);
}

TEST_F(Appends, BarcodeAndSymbolKeepTheirData) {
  ASSERT_EQ(TdcAddBarcode(&record_, "4006381333931", 2, -1, -2, 6, 255), 0);
  auto* block = static_cast<const TdcSymbolArgs_t*>(Last()->args);
  EXPECT_STREQ(block->data, "4006381333931");
  EXPECT_EQ(std::vector<int32_t>(block->values, block->values + 5),
            (std::vector<int32_t>{2, -1, -2, 6, 255}));
  ASSERT_EQ(TdcAddSymbol(&record_, "qr", 3, 107, -1, 255, 65535), 0);
  block = static_cast<const TdcSymbolArgs_t*>(Last()->args);
  EXPECT_EQ(Last()->kind, TDC_CMD_SYMBOL);
  EXPECT_STREQ(block->data, "qr");
  EXPECT_EQ(std::vector<int32_t>(block->values, block->values + 5),
            (std::vector<int32_t>{3, 107, -1, 255, 65535}));
  EXPECT_EQ(TdcAddBarcode(nullptr, "1", 0, 0, 0, 2, 1), 1);
  EXPECT_EQ(TdcAddSymbol(nullptr, "1", 5, -2, 1, 1, 0), 1);
  EXPECT_EQ(TdcAddBarcode(&record_, "1", 0, 0, 0, 1, 1), 1);
  EXPECT_EQ(TdcAddSymbol(&record_, "1", 2, 96, 1, 1, 0), 1);
  EXPECT_EQ(Count(), 2u);
}

// ---------------------------------------------------------------------------
// Validators.

struct CheckCase {
  const char* name;
  std::function<int()> check;
  int expected;
};

void RunChecks(const std::vector<CheckCase>& cases) {
  for (const CheckCase& c : cases) EXPECT_EQ(c.check(), c.expected) << c.name;
}

TEST(Validators, TextStyle) {
  RunChecks({
      {"all unspecified", [] { return TdcCheckTextStyle(-1, -1, -1, -1); }, 1},
      {"color only", [] { return TdcCheckTextStyle(-1, -1, -1, 2); }, 0},
      {"defaults", [] { return TdcCheckTextStyle(-2, -2, -2, -2); }, 0},
      {"reverse 2", [] { return TdcCheckTextStyle(2, 0, 0, 0); }, 1},
      {"ul -3", [] { return TdcCheckTextStyle(0, -3, 0, 0); }, 1},
      {"color 4", [] { return TdcCheckTextStyle(0, 0, 0, 4); }, 0},
      {"color 5", [] { return TdcCheckTextStyle(0, 0, 0, 5); }, 1},
  });
}

// A 10 x 10 image with the printed area moved about.
int Image(int32_t x, int32_t y, int32_t w, int32_t h, double brightness = 1.0, int32_t color = 1,
          int32_t mode = 0, int32_t halftone = 0, int32_t compress = 1, int32_t iw = 10,
          int32_t ih = 10) {
  static const uint8_t pixels[3] = {};
  return TdcCheckImage(pixels, iw, ih, x, y, w, h, color, mode, halftone, brightness, compress);
}

TEST(Validators, Image) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  RunChecks({
      {"whole", [] { return Image(0, 0, 10, 10); }, 0},
      {"null pixels", [] { return TdcCheckImage(nullptr, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1.0, 1); }, 1},
      {"x + width past the image", [] { return Image(1, 0, 10, 10); }, 1},
      {"y + height past the image", [] { return Image(0, 9, 1, 2); }, 1},
      {"last pixel", [] { return Image(9, 9, 1, 1); }, 0},
      {"x 65535", [] { return Image(65535, 0, 1, 1, 1.0, 1, 0, 0, 1, 65535, 1); }, 1},
      {"x 65534", [] { return Image(65534, 0, 1, 1, 1.0, 1, 0, 0, 1, 65535, 1); }, 0},
      {"x -1", [] { return Image(-1, 0, 1, 1); }, 1},
      {"y -1", [] { return Image(0, -1, 1, 1); }, 1},
      {"width 0", [] { return Image(0, 0, 0, 1); }, 1},
      {"image width 0", [] { return Image(0, 0, 1, 1, 1.0, 1, 0, 0, 1, 0, 1); }, 1},
      {"image height 65536", [] { return Image(0, 0, 1, 1, 1.0, 1, 0, 0, 1, 1, 65536); }, 1},
      {"color -2", [] { return Image(0, 0, 1, 1, 1.0, -2); }, 0},
      {"color 5", [] { return Image(0, 0, 1, 1, 1.0, 5); }, 1},
      {"color -1", [] { return Image(0, 0, 1, 1, 1.0, -1); }, 1},
      {"mode 2", [] { return Image(0, 0, 1, 1, 1.0, 1, 2); }, 0},
      {"mode 3", [] { return Image(0, 0, 1, 1, 1.0, 1, 3); }, 1},
      {"halftone 3", [] { return Image(0, 0, 1, 1, 1.0, 1, 0, 3); }, 1},
      {"compress 2", [] { return Image(0, 0, 1, 1, 1.0, 1, 0, 0, 2); }, 0},
      {"compress -2", [] { return Image(0, 0, 1, 1, 1.0, 1, 0, 0, -2); }, 0},
      {"compress 3", [] { return Image(0, 0, 1, 1, 1.0, 1, 0, 0, 3); }, 1},
      // Brightness: exactly the default, or 0.1 to 10.0.
      {"brightness -2.0", [] { return Image(0, 0, 1, 1, -2.0); }, 0},
      {"brightness 0.1", [] { return Image(0, 0, 1, 1, 0.1); }, 0},
      {"brightness 10.0", [] { return Image(0, 0, 1, 1, 10.0); }, 0},
      {"brightness 0.05", [] { return Image(0, 0, 1, 1, 0.05); }, 1},
      {"brightness 10.1", [] { return Image(0, 0, 1, 1, 10.1); }, 1},
      {"brightness -2.5", [] { return Image(0, 0, 1, 1, -2.5); }, 1},
      {"brightness 10.05", [] { return Image(0, 0, 1, 1, 10.05); }, 1},
      {"brightness 0", [] { return Image(0, 0, 1, 1, 0.0); }, 1},
      {"brightness NaN", [=] { return Image(0, 0, 1, 1, nan); }, 1},
      {"brightness infinity",
       [] { return Image(0, 0, 1, 1, std::numeric_limits<double>::infinity()); }, 1},
  });
}

TEST(Validators, Barcode) {
  constexpr const char* kUpcA = "01234567890";
  RunChecks({
      {"plain", [] { return TdcCheckBarcode(kUpcA, 0, 0, 0, 2, 1); }, 0},
      {"unspecified", [] { return TdcCheckBarcode("1", 15, -1, -1, -1, -1); }, 0},
      {"defaults", [] { return TdcCheckBarcode("1", 15, -2, -2, 6, 255); }, 0},
      {"null data", [] { return TdcCheckBarcode(nullptr, 0, 0, 0, 2, 1); }, 1},
      {"type 16", [] { return TdcCheckBarcode("1", 16, 0, 0, 2, 1); }, 1},
      {"type -1", [] { return TdcCheckBarcode("1", -1, 0, 0, 2, 1); }, 1},
      {"hri 4", [] { return TdcCheckBarcode(kUpcA, 0, 4, 0, 2, 1); }, 1},
      {"font 5", [] { return TdcCheckBarcode(kUpcA, 0, 0, 5, 2, 1); }, 1},
      {"width 1", [] { return TdcCheckBarcode(kUpcA, 0, 0, 0, 1, 1); }, 1},
      {"width 7", [] { return TdcCheckBarcode(kUpcA, 0, 0, 0, 7, 1); }, 1},
      {"width -2", [] { return TdcCheckBarcode(kUpcA, 0, 0, 0, -2, 1); }, 1},
      {"height 0", [] { return TdcCheckBarcode(kUpcA, 0, 0, 0, 2, 0); }, 1},
      {"height 256", [] { return TdcCheckBarcode(kUpcA, 0, 0, 0, 2, 256); }, 1},
  });
}

// The data rules, with the reason an app reads.
TEST(Validators, BarcodeData) {
  struct Case {
    std::string data;
    int32_t type;
    const char* reason;  // null: accepted
  };
  const std::string code128(255, 'A');
  const Case cases[] = {
      {code128, 10, nullptr},
      {std::string(256, 'A'), 10, "data is 256 bytes long; a barcode takes 1 to 255"},
      // An escape is one byte: 254 letters and \x41 are 255 bytes.
      {std::string(254, 'A').append("\\x41"), 10, nullptr},
      {"", 10, "data is 0 bytes long; a barcode takes 1 to 255"},
      {"Caf\xc3\xa9", 10, "Code128 takes ASCII characters only"},
      {"01234567890", 0, nullptr},
      {"012345678905", 0, nullptr},
      {"0123456789", 0, "UPC_A takes 11 or 12 digits"},
      {"01234567890A", 0, "UPC_A takes 11 or 12 digits"},
      {"0123456", 1, nullptr},
      {"012345678", 1, "UPC_E takes 6, 7, 8, 11 or 12 digits"},
      {"400638133393", 2, nullptr},
      {"4006381333931", 2, nullptr},
      {"40063813339", 2, "EAN13 takes 12 or 13 digits"},
      {"40063813339312", 3, "JAN13 takes 12 or 13 digits"},
      {"4006381", 4, nullptr},
      {"400638133", 5, "JAN8 takes 7 or 8 digits"},
      {"CODE-39 $/+%.*", 6, nullptr},
      {"code39", 6, "Code39 takes 0-9, A-Z, space and $ % * + - . / only"},
      {"123456", 7, nullptr},
      {"12345", 7, "ITF takes an even count of digits"},
      {"A40156B", 8, nullptr},
      {"A401E6B", 8, "Codabar takes 0-9, A-D, a-d and $ + - . / : only"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.data << " type " << c.type);
    std::string reason;
    EXPECT_EQ(TdcCheckBarcodeData(c.data.c_str(), c.type, &reason), c.reason ? 1 : 0);
    EXPECT_EQ(reason, c.reason ? c.reason : "");
  }
}

TEST(Validators, Symbol) {
  auto level = [](int32_t type, int32_t value) {
    return TdcCheckSymbol("d", type, value, -1, -1, -1);
  };
  RunChecks({
      {"null data", [] { return TdcCheckSymbol(nullptr, 0, -1, 1, 1, 0); }, 1},
      {"type 18", [] { return TdcCheckSymbol("d", 18, -2, 1, 1, 0); }, 0},
      {"type 19", [] { return TdcCheckSymbol("d", 19, -2, 1, 1, 0); }, 1},
      {"width 255 height 1 size 65535", [] { return TdcCheckSymbol("d", 5, -2, 255, 1, 65535); },
       0},
      {"width 0", [] { return TdcCheckSymbol("d", 5, -2, 0, 1, 0); }, 1},
      {"height 256", [] { return TdcCheckSymbol("d", 5, -2, 1, 256, 0); }, 1},
      {"size 65536", [] { return TdcCheckSymbol("d", 5, -2, 1, 1, 65536); }, 1},
      {"size -2", [] { return TdcCheckSymbol("d", 5, -2, 1, 1, -2); }, 1},
      {"pdf417 96", [=] { return level(0, 96); }, 0},
      {"pdf417 104", [=] { return level(1, 104); }, 0},
      {"pdf417 105", [=] { return level(0, 105); }, 1},
      {"pdf417 95", [=] { return level(0, 95); }, 1},
      {"qr 96", [=] { return level(2, 96); }, 1},
      {"qr 107", [=] { return level(3, 107); }, 0},
      {"qr micro 108", [=] { return level(4, 108); }, 0},
      {"qr 109", [=] { return level(2, 109); }, 1},
      {"aztec 4", [=] { return level(13, 4); }, 1},
      {"aztec 5", [=] { return level(13, 5); }, 0},
      {"aztec 95", [=] { return level(14, 95); }, 0},
      {"aztec 96", [=] { return level(14, 96); }, 1},
      {"aztec default", [=] { return level(14, -2); }, 0},
      {"maxicode default", [=] { return level(5, -2); }, 0},
      {"maxicode unspecified", [=] { return level(5, -1); }, 0},
      {"maxicode 96", [=] { return level(5, 96); }, 1},
      {"datamatrix 105", [=] { return level(15, 105); }, 1},
      {"any type -1", [=] { return level(0, -1); }, 0},
  });
}

TEST(Validators, Layout) {
  RunChecks({
      {"receipt", [] { return TdcCheckLayout(0, 580, 0, 0, 0, 0, 0); }, 0},
      {"receipt height", [] { return TdcCheckLayout(0, 580, 1, 0, 0, 0, 0); }, 1},
      {"receipt offset label", [] { return TdcCheckLayout(0, 580, 0, 0, 0, 0, 1); }, 1},
      {"width 289", [] { return TdcCheckLayout(0, 289, 0, 0, 0, 0, 0); }, 1},
      {"width 601", [] { return TdcCheckLayout(0, 601, 0, 0, 0, 0, 0); }, 1},
      {"width 290", [] { return TdcCheckLayout(0, 290, 0, 0, 0, 0, 0); }, 0},
      {"receipt bm low", [] { return TdcCheckLayout(1, 600, 284, -150, 0, -290, 0); }, 0},
      {"receipt bm high", [] { return TdcCheckLayout(1, 600, 1550, 1500, 0, 50, 0); }, 0},
      {"receipt bm height 283", [] { return TdcCheckLayout(1, 600, 283, 0, 0, 0, 0); }, 1},
      {"receipt bm top -151", [] { return TdcCheckLayout(1, 600, 0, -151, 0, 0, 0); }, 1},
      {"receipt bm bottom 1", [] { return TdcCheckLayout(1, 600, 0, 0, 1, 0, 0); }, 1},
      {"receipt bm cut -291", [] { return TdcCheckLayout(1, 600, 0, 0, 0, -291, 0); }, 1},
      {"label", [] { return TdcCheckLayout(2, 400, 0, 0, -15, 0, 0); }, 0},
      {"label top -1", [] { return TdcCheckLayout(2, 400, 0, -1, 0, 0, 0); }, 1},
      {"label bottom 1", [] { return TdcCheckLayout(2, 400, 0, 0, 1, 0, 0); }, 1},
      {"label cut -1", [] { return TdcCheckLayout(2, 400, 0, 0, 0, -1, 0); }, 1},
      {"label height 1551", [] { return TdcCheckLayout(2, 400, 1551, 0, 0, 0, 0); }, 1},
      {"label bm", [] { return TdcCheckLayout(3, 400, 1550, -15, 15, 50, 15); }, 0},
      {"label bm offset label 16", [] { return TdcCheckLayout(3, 400, 0, 0, 0, 0, 16); }, 1},
      {"label bm bottom -16", [] { return TdcCheckLayout(3, 400, 0, 0, -16, 0, 0); }, 1},
      {"label bm top -16", [] { return TdcCheckLayout(3, 400, 0, -16, 0, 0, 0); }, 1},
      {"type 4", [] { return TdcCheckLayout(4, 400, 0, 0, 0, 0, 0); }, 1},
      {"type -2", [] { return TdcCheckLayout(-2, 400, 0, 0, 0, 0, 0); }, 1},
  });
}

}  // namespace
