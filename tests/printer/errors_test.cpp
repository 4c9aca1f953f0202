// What an app reads from a refusal: every exception's what() names the
// status, its code, the method and the reason with the argument or target;
// text with a NUL is refused rather than cut; a barcode the printer cannot
// print is refused at its Add.
// Addresses (io_test::address): 2250-2259.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "printer_test_support.h"

namespace printer_test {
namespace {

// The message of what f raised; "" when it raised nothing.
std::string WhatOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const RuntimeException& e) {
    return e.what();
  }
  return "";
}

// The message an operation failed with.
std::string WhatOfOperation(const IAsyncAction& operation) {
  return WhatOf([&] { operation.get(); });
}

String WithNul(std::string_view text) { return String(text); }

class Errors : public PrinterTest {};

TEST(ErrorStatusNames, EveryCodeHasItsName) {
  EXPECT_STREQ(ErrorStatus::ToString(ErrorStatus::ErrParameter), "ErrParameter");
  EXPECT_STREQ(ErrorStatus::ToString(ErrorStatus::ErrConnect), "ErrConnect");
  EXPECT_STREQ(ErrorStatus::ToString(ErrorStatus::ErrIllegalState), "ErrIllegalState");
  EXPECT_STREQ(ErrorStatus::ToString(ErrorStatus::ErrFailure), "ErrFailure");
  EXPECT_STREQ(ErrorStatus::ToString(ErrorStatus::ErrReserved), "ErrReserved");
  EXPECT_STREQ(ErrorStatus::ToString(kEFail), "E_FAIL");
  EXPECT_STREQ(ErrorStatus::ToString(0x12345678), "Unknown");
  // The codes themselves are unchanged.
  EXPECT_EQ(static_cast<uint32_t>(ErrorStatus::ErrParameter), 0xA0048200u);
  EXPECT_EQ(static_cast<uint32_t>(ErrorStatus::ErrFailure), 0xA004820Fu);
  // Without a message an exception still names its status.
  EXPECT_STREQ(RuntimeException(ErrorStatus::ErrTimeout).what(), "ErrTimeout (0xA0048202)");
}

// Refusals at the call, on an unconnected printer: each what() in full.
TEST_F(Errors, EachRefusalSaysWhatAndWhy) {
  auto printer = NewPrinter();
  Printer& p = *printer;
  struct Case {
    const char* name;
    std::function<void()> call;
    const char* what;
  };
  const std::string longCode128(300, 'A');
  const Case cases[] = {
      {"barcode EAN13 length",
       [&] { p.AddBarcode("12345", BarcodeType::EAN13, Hri::Below, Font::FontA, 2, 60); },
       "ErrParameter (0xA0048200): AddBarcode: EAN13 takes 12 or 13 digits"},
      {"barcode too long",
       [&] {
         p.AddBarcode(String(longCode128), BarcodeType::Code128, Hri::None, Font::FontA, 2, 60);
       },
       "ErrParameter (0xA0048200): AddBarcode: data is 300 bytes long; a barcode takes 1 to 255"},
      {"barcode ITF odd",
       [&] { p.AddBarcode("12345", BarcodeType::ITF, Hri::None, Font::FontA, 2, 60); },
       "ErrParameter (0xA0048200): AddBarcode: ITF takes an even count of digits"},
      {"barcode UPC-A letters",
       [&] { p.AddBarcode("0123456789A", BarcodeType::UPC_A, Hri::None, Font::FontA, 2, 60); },
       "ErrParameter (0xA0048200): AddBarcode: UPC_A takes 11 or 12 digits"},
      {"barcode Code39 lower case",
       [&] { p.AddBarcode("abc", BarcodeType::Code39, Hri::None, Font::FontA, 2, 60); },
       "ErrParameter (0xA0048200): AddBarcode: Code39 takes 0-9, A-Z, space and $ % * + - . / "
       "only"},
      {"barcode width",
       [&] { p.AddBarcode("ABC", BarcodeType::Code128, Hri::None, Font::FontA, 7, 60); },
       "ErrParameter (0xA0048200): AddBarcode: width is 7; it takes 2..6 or -1"},
      {"text with a NUL", [&] { p.AddText(WithNul(std::string_view("before\0after\n", 13))); },
       "ErrParameter (0xA0048200): AddText: data holds a NUL at character 6, which would cut it "
       "there"},
      {"empty text", [&] { p.AddText(""); }, "ErrParameter (0xA0048200): AddText: data is empty"},
      {"symbol with a NUL",
       [&] {
         p.AddSymbol(WithNul(std::string_view("ab\0c", 4)), SymbolType::QRCodeModel2, Level::LevelM,
                     -1, 3, 3, 0);
       },
       "ErrParameter (0xA0048200): AddSymbol: data holds a NUL at character 2, which would cut it "
       "there"},
      {"line space", [&] { p.AddLineSpace(256); },
       "ErrParameter (0xA0048200): AddLineSpace: lineSpace is 256; it takes 0..255"},
      {"text size", [&] { p.AddTextSize(9, 1); },
       "ErrParameter (0xA0048200): AddTextSize: width is 9; it takes 1..8, -1 or -2"},
      {"enum value", [&] { p.AddTextAlign(static_cast<Alignment>(42)); },
       "ErrParameter (0xA0048200): AddTextAlign: 42 is not a member of Alignment"},
      {"page position", [&] { p.AddPagePosition(-1, -1); },
       "ErrParameter (0xA0048200): AddPagePosition: x and y are both -1 (unchanged)"},
      {"hline", [&] { p.AddHLine(70000, 0, LineStyle::Thin); },
       "ErrParameter (0xA0048200): AddHLine: x1 is 70000; it takes 0..65535"},
      {"vline end", [&] { p.AddVLineEnd(5); },
       "ErrParameter (0xA0048200): AddVLineEnd: lineId 5 is not an id that AddVLineBegin gives"},
      {"sound", [&] { p.AddSound(Pattern::PatternA, 1, 999); },
       "ErrParameter (0xA0048200): AddSound: cycle is 999; it takes 1000..25500 or -2"},
      {"raw bytes", [&] { p.AddCommand({}); },
       "ErrParameter (0xA0048200): AddCommand: data is empty"},
      {"interval", [&] { p.Interval(999); },
       "ErrParameter (0xA0048200): Interval: interval is 999; it takes 1000..60000 or -2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WhatOf(c.call), c.what);
  }
  // Nothing refused reached the job.
  EXPECT_TRUE(ReadCommands(p).empty());
}

TEST_F(Errors, OperationsSayWhatAndWhy) {
  auto printer = NewPrinter();
  Printer& p = *printer;
  struct Case {
    const char* name;
    std::function<IAsyncAction()> start;
    const char* what;
  };
  const Case cases[] = {
      {"target with a port", [&] { return p.ConnectAsync("TCP:127.0.0.1:9100", 1000); },
       "ErrParameter (0xA0048200): ConnectAsync: target \"TCP:127.0.0.1:9100\" is not "
       "<kind>:<address>[<id>]: a TCP address takes no port (the ports are fixed)"},
      {"target without a kind", [&] { return p.ConnectAsync("127.0.0.1", 1000); },
       "ErrParameter (0xA0048200): ConnectAsync: target \"127.0.0.1\" is not "
       "<kind>:<address>[<id>]: it must start with TCP:, TCPS:, BT: or USB:"},
      {"target with a NUL",
       [&] { return p.ConnectAsync(WithNul(std::string_view("TCP:127.0.0.1\0junk", 18)), 1000); },
       "ErrParameter (0xA0048200): ConnectAsync: target holds a NUL at character 13, which would "
       "cut it there"},
      {"bluetooth address", [&] { return p.ConnectAsync("BT:00:01:90", 1000); },
       "ErrParameter (0xA0048200): ConnectAsync: target \"BT:00:01:90\" is not "
       "<kind>:<address>[<id>]: a BT address is six hex pairs joined by \":\""},
      {"connect timeout", [&] { return p.ConnectAsync("TCP:127.0.0.1", 999); },
       "ErrParameter (0xA0048200): ConnectAsync: timeout is 999; it takes 1000..300000 or -2"},
      {"send timeout", [&] { return p.SendDataAsync(4999); },
       "ErrParameter (0xA0048200): SendDataAsync: timeout is 4999; it takes 5000..600000 or -2"},
      {"send without anything added", [&] { return p.SendDataAsync(-2); },
       "ErrIllegalState (0xA0048204): SendDataAsync: nothing was added to send"},
      {"force timeout", [&] { return p.ForceResetAsync(600001); },
       "ErrParameter (0xA0048200): ForceResetAsync: timeout is 600001; it takes 0..600000 or -2"},
      {"job status id", [&] { return p.RequestPrintJobStatusAsync(""); },
       "ErrParameter (0xA0048200): RequestPrintJobStatusAsync: printJobId is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WhatOfOperation(c.start()), c.what);
  }
  // Connected-only work on an unconnected printer says so.
  p.AddText("x\n");
  EXPECT_EQ(WhatOfOperation(p.SendDataAsync(-2)),
            "ErrIllegalState (0xA0048204): SendDataAsync: the printer is not connected");
}

// A connect nobody answers names the target and the time it waited.
TEST_F(Errors, AConnectNobodyAnswersNamesTargetAndTimeout) {
  auto printer = NewPrinter();
  const std::string target = "TCP:" + io_test::address(2250);
  EXPECT_EQ(WhatOfOperation(printer->ConnectAsync(String(target), 1000)),
            "ErrConnect (0xA0048201): ConnectAsync: no printer answered at " + target +
                " within 1000 ms");
}

// Text with a NUL never reaches the printer cut short: refused whole, and the
// job built around it prints without it.
TEST_F(Errors, TextWithANulIsRefusedNotCut) {
  auto printer = Connected(2251);
  EXPECT_EQ(HResultOf([&] { printer->AddText(WithNul(std::string_view("before\0after\n", 13))); }),
            ErrorStatus::ErrParameter);
  printer->AddText("whole 2251\n");
  printer->SendDataAsync(-2).get();
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_TRUE(Eventually([&] { return Count(PrinterBytes(*emulator_), "whole 2251") == 1; }));
  EXPECT_EQ(Count(PrinterBytes(*emulator_), "before"), 0u);
}

// A barcode too long for the printer is refused at its Add, so the app hears
// it there; the rest of the job prints as built.
TEST_F(Errors, ABarcodeTooLongIsRefusedAtItsAdd) {
  auto printer = Connected(2252);
  printer->AddText("around 2252\n");
  EXPECT_EQ(HResultOf([&] {
              printer->AddBarcode(String(std::string(300, 'A')), BarcodeType::Code128, Hri::None,
                                  Font::FontA, 2, 60);
            }),
            ErrorStatus::ErrParameter);
  printer->AddBarcode("{BORVIK-2252", BarcodeType::Code128, Hri::None, Font::FontA, 2, 60);
  printer->SendDataAsync(-2).get();
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  EXPECT_TRUE(Eventually([&] { return Count(PrinterBytes(*emulator_), "ORVIK-2252") == 1; }));
  EXPECT_EQ(Count(PrinterBytes(*emulator_), std::string(300, 'A')), 0u);
}

}  // namespace
}  // namespace printer_test
