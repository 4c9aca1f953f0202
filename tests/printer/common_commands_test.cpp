// The synchronous builders of CommonPrinter on an unconnected printer: each
// call either appends exactly one command with the translated values, or is
// refused with its HRESULT, leaving the list and the page-mode flag as they
// were and writing its exit line with that HRESULT.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common_test_support.h"
#include "device/test_hooks.h"
#include "orvik/tilo2/error_status.h"

using namespace common_test;
using ::Orvik::Tilo::Tilo2::ErrorStatus;
using ::Orvik::Tilo::Tilo2::String;

namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kParam = ErrorStatus::ErrParameter;

struct BuildCase {
  const char* name;    // the member, as the log names it
  const char* detail;  // which row
  std::function<void(CommonPrinter&)> call;
  int32_t hresult;
  Stored stored = {};  // when accepted
  int32_t series = kSeriesS3;
};

template <class E>
E Cast(int32_t v) {
  return static_cast<E>(v);
}

Stored Ints(int32_t kind, std::vector<int32_t> ints) { return Stored{kind, std::move(ints)}; }

std::vector<BuildCase> BuilderCases() {
  using C = CommonPrinter;
  return {
      // Enumerations translate through their tables; a value outside is refused.
      {"AddTextAlign", "Left", [](C& p) { p.AddTextAlign(P::Alignment::Left); }, kOk, Ints(0, {0})},
      {"AddTextAlign", "Right", [](C& p) { p.AddTextAlign(P::Alignment::Right); }, kOk,
       Ints(0, {2})},
      {"AddTextAlign", "Default", [](C& p) { p.AddTextAlign(P::Alignment::Default); }, kOk,
       Ints(0, {-2})},
      {"AddTextAlign", "4", [](C& p) { p.AddTextAlign(Cast<P::Alignment>(4)); }, kParam},
      {"AddTextAlign", "-1", [](C& p) { p.AddTextAlign(Cast<P::Alignment>(-1)); }, kParam},
      {"AddTextRotate", "True is 1", [](C& p) { p.AddTextRotate(P::Rotate::True); }, kOk,
       Ints(2, {1})},
      {"AddTextRotate", "False is 0", [](C& p) { p.AddTextRotate(P::Rotate::False); }, kOk,
       Ints(2, {0})},
      {"AddTextRotate", "3", [](C& p) { p.AddTextRotate(Cast<P::Rotate>(3)); }, kParam},
      {"AddTextLang", "VI", [](C& p) { p.AddTextLang(P::Lang::VI); }, kOk, Ints(4, {6})},
      {"AddTextLang", "Default", [](C& p) { p.AddTextLang(P::Lang::Default); }, kOk, Ints(4, {-2})},
      {"AddTextLang", "8", [](C& p) { p.AddTextLang(Cast<P::Lang>(8)); }, kParam},
      {"AddTextFont", "FontE", [](C& p) { p.AddTextFont(P::Font::FontE); }, kOk, Ints(5, {4})},
      {"AddTextFont", "Default", [](C& p) { p.AddTextFont(P::Font::Default); }, kOk, Ints(5, {-2})},
      {"AddTextFont", "Unspecified", [](C& p) { p.AddTextFont(P::Font::Unspecified); }, kParam},
      {"AddTextSmooth", "True is 1", [](C& p) { p.AddTextSmooth(P::Smooth::True); }, kOk,
       Ints(6, {1})},
      {"AddTextSmooth", "Default", [](C& p) { p.AddTextSmooth(P::Smooth::Default); }, kOk,
       Ints(6, {-2})},
      {"AddPageDirection", "TopToBottom",
       [](C& p) { p.AddPageDirection(P::Direction::TopToBottom); }, kOk, Ints(22, {3})},
      {"AddPageDirection", "5", [](C& p) { p.AddPageDirection(Cast<P::Direction>(5)); }, kParam},
      {"AddCut", "NoFeed is 1", [](C& p) { p.AddCut(P::Cut::NoFeed); }, kOk, Ints(26, {1})},
      {"AddCut", "Feed is 0", [](C& p) { p.AddCut(P::Cut::Feed); }, kOk, Ints(26, {0})},
      {"AddCut", "Reserve", [](C& p) { p.AddCut(P::Cut::Reserve); }, kOk, Ints(26, {2})},
      {"AddCut", "Default", [](C& p) { p.AddCut(P::Cut::Default); }, kOk, Ints(26, {-2})},
      {"AddCut", "4", [](C& p) { p.AddCut(Cast<P::Cut>(4)); }, kParam},
      {"AddPulse", "5 pin, 500 ms",
       [](C& p) { p.AddPulse(P::Drawer::Drawer5Pin, P::Pulse::Pulse500); }, kOk, Ints(27, {1, 4})},
      {"AddPulse", "defaults", [](C& p) { p.AddPulse(P::Drawer::Default, P::Pulse::Default); }, kOk,
       Ints(27, {-2, -2})},
      {"AddPulse", "drawer 3", [](C& p) { p.AddPulse(Cast<P::Drawer>(3), P::Pulse::Pulse100); },
       kParam},
      {"AddPulse", "pulse 6", [](C& p) { p.AddPulse(P::Drawer::Drawer2Pin, Cast<P::Pulse>(6)); },
       kParam},

      // Text.
      {"AddText", "one character", [](C& p) { p.AddText(String("A")); }, kOk, Stored{3, {}, "A"}},
      {"AddText", "UTF-8", [](C& p) { p.AddText(String(u"\u00c4pfel \u20ac")); }, kOk,
       Stored{3, {}, "\xc3\x84pfel \xe2\x82\xac"}},
      {"AddText", "empty", [](C& p) { p.AddText(String("")); }, kParam},
      {"AddText", "null", [](C& p) { p.AddText(String()); }, kParam},

      // Ranges read as unsigned.
      {"AddLineSpace", "255", [](C& p) { p.AddLineSpace(255); }, kOk, Ints(1, {255})},
      {"AddLineSpace", "-2", [](C& p) { p.AddLineSpace(-2); }, kParam},
      {"AddLineSpace", "256", [](C& p) { p.AddLineSpace(256); }, kParam},
      {"AddFeedLine", "0", [](C& p) { p.AddFeedLine(0); }, kOk, Ints(11, {0})},
      {"AddFeedLine", "256", [](C& p) { p.AddFeedLine(256); }, kParam},
      {"AddFeedUnit", "255", [](C& p) { p.AddFeedUnit(255); }, kOk, Ints(10, {255})},
      {"AddFeedUnit", "-1", [](C& p) { p.AddFeedUnit(-1); }, kParam},
      {"AddHPosition", "65535", [](C& p) { p.AddHPosition(65535); }, kOk, Ints(9, {65535})},
      {"AddHPosition", "65536", [](C& p) { p.AddHPosition(65536); }, kParam},
      {"AddHPosition", "-1", [](C& p) { p.AddHPosition(-1); }, kParam},

      // Text size: 1..8, -1 (unchanged) or -2 (default), not both -1.
      {"AddTextSize", "(-1, 2)", [](C& p) { p.AddTextSize(-1, 2); }, kOk, Ints(7, {-1, 2})},
      {"AddTextSize", "(-2, -2)", [](C& p) { p.AddTextSize(-2, -2); }, kOk, Ints(7, {-2, -2})},
      {"AddTextSize", "(8, 1)", [](C& p) { p.AddTextSize(8, 1); }, kOk, Ints(7, {8, 1})},
      {"AddTextSize", "(-1, -1)", [](C& p) { p.AddTextSize(-1, -1); }, kParam},
      {"AddTextSize", "(0, 1)", [](C& p) { p.AddTextSize(0, 1); }, kParam},
      {"AddTextSize", "(9, 1)", [](C& p) { p.AddTextSize(9, 1); }, kParam},
      {"AddTextSize", "(1, 9)", [](C& p) { p.AddTextSize(1, 9); }, kParam},
      {"AddTextSize", "(1, -3)", [](C& p) { p.AddTextSize(1, -3); }, kParam},

      // Text style: not all four Unspecified.
      {"AddTextStyle", "(U, U, U, Color1)",
       [](C& p) {
         p.AddTextStyle(P::Reverse::Unspecified, P::Underline::Unspecified,
                        P::Emphasis::Unspecified, P::Color::Color1);
       },
       kOk, Ints(8, {-1, -1, -1, 1})},
      {"AddTextStyle", "(True, False, Default, None)",
       [](C& p) {
         p.AddTextStyle(P::Reverse::True, P::Underline::False, P::Emphasis::Default,
                        P::Color::None);
       },
       kOk, Ints(8, {1, 0, -2, 0})},
      {"AddTextStyle", "all Unspecified",
       [](C& p) {
         p.AddTextStyle(P::Reverse::Unspecified, P::Underline::Unspecified,
                        P::Emphasis::Unspecified, P::Color::Unspecified);
       },
       kParam},
      {"AddTextStyle", "reverse 4",
       [](C& p) {
         p.AddTextStyle(Cast<P::Reverse>(4), P::Underline::True, P::Emphasis::True, P::Color::None);
       },
       kParam},

      // Logo: key 2 is tested by the device API, except on an RP_D4.
      {"AddLogo", "(1, 0) RP_S3", [](C& p) { p.AddLogo(1, 0); }, kParam},
      {"AddLogo", "(1, 0) RP_D4", [](C& p) { p.AddLogo(1, 0); }, kOk, Ints(13, {1, 0}), kSeriesD4},
      {"AddLogo", "(255, 255)", [](C& p) { p.AddLogo(255, 255); }, kOk, Ints(13, {255, 255})},
      {"AddLogo", "(0, 1)", [](C& p) { p.AddLogo(0, 1); }, kParam},
      {"AddLogo", "(0, 1) RP_D4", [](C& p) { p.AddLogo(0, 1); }, kParam, {}, kSeriesD4},
      {"AddLogo", "(256, 1)", [](C& p) { p.AddLogo(256, 1); }, kParam},

      // Page mode.
      {"AddPageArea", "all 65535", [](C& p) { p.AddPageArea(65535, 65535, 65535, 65535); }, kOk,
       Ints(21, {65535, 65535, 65535, 65535})},
      {"AddPageArea", "(0, 0, 0, 10)", [](C& p) { p.AddPageArea(0, 0, 0, 10); }, kParam},
      {"AddPageArea", "x 65536", [](C& p) { p.AddPageArea(65536, 0, 1, 1); }, kParam},
      {"AddPageArea", "y -1", [](C& p) { p.AddPageArea(0, -1, 1, 1); }, kParam},
      {"AddPageArea", "height 65536", [](C& p) { p.AddPageArea(0, 0, 1, 65536); }, kParam},
      {"AddPagePosition", "(-1, 10)", [](C& p) { p.AddPagePosition(-1, 10); }, kOk,
       Ints(23, {-1, 10})},
      {"AddPagePosition", "(65535, -1)", [](C& p) { p.AddPagePosition(65535, -1); }, kOk,
       Ints(23, {65535, -1})},
      {"AddPagePosition", "(-1, -1)", [](C& p) { p.AddPagePosition(-1, -1); }, kParam},
      {"AddPagePosition", "(0, -2)", [](C& p) { p.AddPagePosition(0, -2); }, kParam},
      {"AddPagePosition", "(65536, 0)", [](C& p) { p.AddPagePosition(65536, 0); }, kParam},
      {"AddPageLine", "ThickDouble",
       [](C& p) { p.AddPageLine(0, 0, 100, 0, P::LineStyle::ThickDouble); }, kOk,
       Ints(24, {0, 0, 100, 0, 5})},
      {"AddPageLine", "Default", [](C& p) { p.AddPageLine(1, 2, 3, 4, P::LineStyle::Default); },
       kOk, Ints(24, {1, 2, 3, 4, -2})},
      {"AddPageLine", "x2 65536", [](C& p) { p.AddPageLine(0, 0, 65536, 0, P::LineStyle::Thin); },
       kParam},
      {"AddPageLine", "y1 -1", [](C& p) { p.AddPageLine(0, -1, 1, 0, P::LineStyle::Thin); },
       kParam},
      {"AddPageLine", "style 7", [](C& p) { p.AddPageLine(0, 0, 1, 0, Cast<P::LineStyle>(7)); },
       kParam},
      {"AddPageRectangle", "Medium",
       [](C& p) { p.AddPageRectangle(10, 20, 65535, 40, P::LineStyle::Medium); }, kOk,
       Ints(25, {10, 20, 65535, 40, 1})},
      {"AddPageRectangle", "y2 65536",
       [](C& p) { p.AddPageRectangle(0, 0, 1, 65536, P::LineStyle::Thin); }, kParam},

      // Raw bytes: at least one.
      {"AddCommand", "two bytes",
       [](C& p) {
         const uint8_t bytes[] = {0x1b, 0x40};
         p.AddCommand(bytes);
       },
       kOk, Stored{29, {}, {}, {0x1b, 0x40}}},
      {"AddCommand", "empty", [](C& p) { p.AddCommand({}); }, kParam},

      // Barcodes.
      {"AddBarcode", "EAN-13",
       [](C& p) {
         p.AddBarcode(String("4006381333931"), P::BarcodeType::EAN13, P::Hri::Below, P::Font::FontA,
                      2, 60);
       },
       kOk, Stored{14, {2, 2, 0, 2, 60}, "4006381333931"}},
      {"AddBarcode", "-1 sizes, Unspecified HRI and font",
       [](C& p) {
         p.AddBarcode(String("123"), P::BarcodeType::Code39, P::Hri::Unspecified,
                      P::Font::Unspecified, -1, -1);
       },
       kOk, Stored{14, {6, -1, -1, -1, -1}, "123"}},
      {"AddBarcode", "width 1",
       [](C& p) {
         p.AddBarcode(String("123"), P::BarcodeType::Code39, P::Hri::None, P::Font::FontA, 1, 10);
       },
       kParam},
      {"AddBarcode", "width 7",
       [](C& p) {
         p.AddBarcode(String("123"), P::BarcodeType::Code39, P::Hri::None, P::Font::FontA, 7, 10);
       },
       kParam},
      {"AddBarcode", "height 256",
       [](C& p) {
         p.AddBarcode(String("123"), P::BarcodeType::Code39, P::Hri::None, P::Font::FontA, 2, 256);
       },
       kParam},
      {"AddBarcode", "empty data",
       [](C& p) {
         p.AddBarcode(String(""), P::BarcodeType::Code39, P::Hri::None, P::Font::FontA, 2, 10);
       },
       kParam},
      {"AddBarcode", "type 16",
       [](C& p) {
         p.AddBarcode(String("1"), Cast<P::BarcodeType>(16), P::Hri::None, P::Font::FontA, 2, 10);
       },
       kParam},

      // Symbols: levels by type.
      {"AddSymbol", "QR model 2, LevelM",
       [](C& p) {
         p.AddSymbol(String("https://example.com/r/12345"), P::SymbolType::QRCodeModel2,
                     P::Level::LevelM, 0, 6, 6, 0);
       },
       kOk, Stored{15, {3, 106, 6, 6, 0}, "https://example.com/r/12345"}},
      {"AddSymbol", "QR model 2, Level0",
       [](C& p) {
         p.AddSymbol(String("x"), P::SymbolType::QRCodeModel2, P::Level::Level0, 0, 3, 3, 0);
       },
       kParam},
      {"AddSymbol", "MaxiCode mode 2, Default",
       [](C& p) {
         p.AddSymbol(String("x"), P::SymbolType::MaxiCodeMode2, P::Level::Default, 0, -1, -1, -1);
       },
       kOk, Stored{15, {5, -2, -1, -1, -1}, "x"}},
      {"AddSymbol", "Aztec compact 23",
       [](C& p) {
         p.AddSymbol(String("x"), P::SymbolType::AztecCodeCompact, P::Level::LevelH, 23, 3, 3, 0);
       },
       kOk, Stored{15, {14, 23, 3, 3, 0}, "x"}},
      {"AddSymbol", "Aztec compact 23, Level outside its table",
       [](C& p) {
         p.AddSymbol(String("x"), P::SymbolType::AztecCodeCompact, Cast<P::Level>(99), 23, 3, 3, 0);
       },
       kOk, Stored{15, {14, 23, 3, 3, 0}, "x"}},
      {"AddSymbol", "Aztec full range 4",
       [](C& p) {
         p.AddSymbol(String("x"), P::SymbolType::AztecCodeFullRange, P::Level::Default, 4, 3, 3, 0);
       },
       kParam},
      {"AddSymbol", "PDF417, Level2, percent 4",
       [](C& p) {
         p.AddSymbol(String("x"), P::SymbolType::Pdf417Standard, P::Level::Level2, 4, 3, 3, 0);
       },
       kOk, Stored{15, {0, 98, 3, 3, 0}, "x"}},
      {"AddSymbol", "size 65536",
       [](C& p) {
         p.AddSymbol(String("x"), P::SymbolType::QRCodeModel2, P::Level::LevelL, 0, 3, 3, 65536);
       },
       kParam},
      {"AddSymbol", "size 65535",
       [](C& p) {
         p.AddSymbol(String("x"), P::SymbolType::QRCodeModel2, P::Level::LevelL, 0, 3, 3, 65535);
       },
       kOk, Stored{15, {3, 105, 3, 3, 65535}, "x"}},
      {"AddSymbol", "width 0",
       [](C& p) {
         p.AddSymbol(String("x"), P::SymbolType::QRCodeModel2, P::Level::LevelL, 0, 0, 3, 0);
       },
       kParam},
      {"AddSymbol", "empty data",
       [](C& p) {
         p.AddSymbol(String(), P::SymbolType::QRCodeModel2, P::Level::LevelL, 0, 3, 3, 0);
       },
       kParam},
  };
}

class CommonBuilders : public CommonPrinterTest {};

TEST_F(CommonBuilders, EachCallAppendsItsCommandOrIsRefusedLeavingEverythingAsItWas) {
  for (const BuildCase& c : BuilderCases()) {
    SCOPED_TRACE(std::string(c.name) + " " + c.detail);
    auto printer = NewPrinter(c.series);
    TdcPrinter_t* record = printer->Record();
    // Something in the list already, and page mode on: a refusal keeps both.
    printer->AddPageBegin();
    printer->AddText(String("before"));
    ASSERT_EQ(record->pageMode, 1);
    const auto before = ReadCommands(record);

    EXPECT_EQ(HResultOf([&] { c.call(*printer); }), c.hresult);

    const auto after = ReadCommands(record);
    EXPECT_EQ(record->pageMode, 1);
    if (c.hresult == kOk) {
      ASSERT_EQ(after.size(), before.size() + 1);
      EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
      EXPECT_EQ(after.back(), c.stored) << "kind " << after.back().kind;
    } else {
      EXPECT_EQ(after, before);
      char result[16];
      std::snprintf(result, sizeof result, "%08x", static_cast<uint32_t>(c.hresult));
      const std::string exit = last_body();
      EXPECT_EQ(exit.rfind(std::string("APIIO,<-,") + Hex(record) + ",," + result +
                               ",Orvik::Tilo::Tilo2::Printer::CommonPrinter::" + c.name + ",",
                           0),
                0u)
          << exit;
    }
  }
}

TEST_F(CommonBuilders, EntryAndExitLinesCarryTheArguments) {
  auto printer = NewPrinter();
  TdcPrinter_t* record = printer->Record();
  printer->AddTextStyle(P::Reverse::Unspecified, P::Underline::Unspecified,
                        P::Emphasis::Unspecified, P::Color::Color1);
  const uint8_t bytes[] = {0x1b, 0x40};
  printer->AddCommand(bytes);
  EXPECT_NE(HResultOf([&] { printer->AddTextAlign(static_cast<P::Alignment>(4)); }), 0);
  printer->AddPageBegin();
  const std::vector<std::string> expected = {
      Line("->", record, "", "AddTextStyle", "(Unspecified, Unspecified, Unspecified, Color1)"),
      Line("<-", record, "0", "AddTextStyle", "(Unspecified, Unspecified, Unspecified, Color1)"),
      Line("->", record, "", "AddCommand", "(0x1B 0x40 )"),
      Line("<-", record, "0", "AddCommand", "(0x1B 0x40 )"),
      Line("->", record, "", "AddTextAlign", "(Orvik.Tilo.Tilo2.Printer.Alignment)"),
      Line("<-", record, "a0048200", "AddTextAlign", "(Orvik.Tilo.Tilo2.Printer.Alignment)"),
      Line("->", record, "", "AddPageBegin", "()"),
      Line("<-", record, "0", "AddPageBegin", "()"),
  };
  EXPECT_EQ(ApiBodies(), expected);
}

TEST_F(CommonBuilders, PageModeFlagFollowsOnlySuccessfulPageBeginsAndEnds) {
  auto printer = NewPrinter();
  TdcPrinter_t* record = printer->Record();
  EXPECT_EQ(record->pageMode, 0);
  // No test of page mode: an end without a begin is appended like any command.
  printer->AddPageEnd();
  EXPECT_EQ(record->pageMode, 0);
  printer->AddPageBegin();
  printer->AddPageBegin();
  EXPECT_EQ(record->pageMode, 1);

  // Out of memory: the end is not appended, the flag stays 1.
  const size_t count = ReadCommands(record).size();
  TdcSetCommandAllocator([](size_t) -> void* { return nullptr; });
  EXPECT_EQ(HResultOf([&] { printer->AddPageEnd(); }), ErrorStatus::ErrMemory);
  EXPECT_EQ(HResultOf([&] { printer->AddText(String("x")); }), ErrorStatus::ErrMemory);
  TdcSetCommandAllocator(nullptr);
  EXPECT_EQ(record->pageMode, 1);
  EXPECT_EQ(ReadCommands(record).size(), count);

  // A clear leaves the flag alone.
  printer->ClearCommandBuffer();
  EXPECT_TRUE(ReadCommands(record).empty());
  EXPECT_EQ(record->pageMode, 1);
  printer->AddPageEnd();
  EXPECT_EQ(record->pageMode, 0);
  EXPECT_EQ(ReadCommands(record).size(), 1u);
}

TEST_F(CommonBuilders, WithoutARecordBuildersFailAndClearStillSucceeds) {
  auto printer = CommonPrinter::Create();
  EXPECT_EQ(printer->GetRuntimeClassName(), String("Orvik.Tilo.Tilo2.Printer.CommonPrinter"));
  EXPECT_EQ(printer->Interval(), 3000);
  EXPECT_EQ(HResultOf([&] { printer->AddText(String("x")); }), ErrorStatus::ErrFailure);
  // The record check comes before the argument tests.
  EXPECT_EQ(HResultOf([&] { printer->AddLineSpace(-5); }), ErrorStatus::ErrFailure);
  EXPECT_EQ(HResultOf([&] { printer->Interval(1000); }), ErrorStatus::ErrFailure);
  EXPECT_EQ(printer->Interval(), 3000);
  printer->ClearCommandBuffer();
  const std::vector<std::string> expected = {
      Line("->", nullptr, "", "AddText", "(x)"),
      Line("<-", nullptr, "a004820f", "AddText", "(x)"),
      Line("->", nullptr, "", "AddLineSpace", "(-5)"),
      Line("<-", nullptr, "a004820f", "AddLineSpace", "(-5)"),
      Line("->", nullptr, "", "Interval::set", "(1000)"),
      Line("<-", nullptr, "a004820f", "Interval::set", "(1000)"),
      Line("->", nullptr, "", "ClearCommandBuffer", "()"),
      Line("<-", nullptr, "0", "ClearCommandBuffer", "()"),
  };
  EXPECT_EQ(ApiBodies(), expected);
}

TEST_F(CommonBuilders, TheListKeepsItsOwnCopiesOfTextAndBytes) {
  auto printer = NewPrinter();
  {
    std::vector<uint8_t> bytes = {1, 2, 3};
    String text("kept");
    printer->AddCommand(bytes);
    printer->AddText(text);
    bytes.assign(3, 0xff);
    text = String("gone");
  }
  const auto stored = ReadCommands(printer->Record());
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].bytes, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(stored[1].text, "kept");
}

}  // namespace
