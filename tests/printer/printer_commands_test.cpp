// The Printer's own builders (ruled lines, buzzer, feed position, layout)
// read back from the record's command list, and its forced operations.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "printer_test_support.h"

namespace printer_test {
namespace {

constexpr int32_t kErrParameter = ErrorStatus::ErrParameter;

struct BuilderCase {
  const char* name;
  std::function<void(Printer&)> call;
  std::optional<StoredCommand> appended;  // nullopt: refused with ErrParameter
};

// Every row runs on a fresh, never connected printer with one text-free
// command already in the list, so a refusal can be seen to leave it alone.
TEST(PrinterBuilders, AppendOrRefuse) {
  const std::vector<BuilderCase> cases = {
      {"hline full width default style",
       [](Printer& p) { p.AddHLine(0, 65535, LineStyle::Default); },
       StoredCommand{16, {0, 65535, -2}}},
      {"hline thick double", [](Printer& p) { p.AddHLine(10, 20, LineStyle::ThickDouble); },
       StoredCommand{16, {10, 20, 5}}},
      {"hline negative x1", [](Printer& p) { p.AddHLine(-1, 10, LineStyle::Thin); }, std::nullopt},
      {"hline x2 past 65535", [](Printer& p) { p.AddHLine(0, 65536, LineStyle::Thin); },
       std::nullopt},
      {"hline style out of enum", [](Printer& p) { p.AddHLine(0, 10, static_cast<LineStyle>(7)); },
       std::nullopt},
      {"vline begin thick double",
       [](Printer& p) {
         int32_t id = 0;
         p.AddVLineBegin(100, LineStyle::ThickDouble, &id);
         EXPECT_EQ(id, 6 * 65536 + 100);
       },
       StoredCommand{17, {100, 5}}},
      {"vline begin default counts as thin",
       [](Printer& p) {
         int32_t id = 0;
         p.AddVLineBegin(100, LineStyle::Default, &id);
         EXPECT_EQ(id, 65636);
       },
       StoredCommand{17, {100, -2}}},
      {"vline begin thin",
       [](Printer& p) {
         int32_t id = 0;
         p.AddVLineBegin(100, LineStyle::Thin, &id);
         EXPECT_EQ(id, 65636);
       },
       StoredCommand{17, {100, 0}}},
      {"vline begin without an out id",
       [](Printer& p) { p.AddVLineBegin(100, LineStyle::Thin, nullptr); }, std::nullopt},
      {"vline begin x past 65535",
       [](Printer& p) {
         int32_t id = -7;
         EXPECT_THROW(p.AddVLineBegin(65536, LineStyle::Thin, &id), RuntimeException);
         EXPECT_EQ(id, -7);  // untouched by a refusal
         throw RuntimeException(kErrParameter);
       },
       std::nullopt},
      {"vline end 65536 ends a thin line at 0", [](Printer& p) { p.AddVLineEnd(65536); },
       StoredCommand{18, {0, 0}}},
      {"vline end of a thick double id", [](Printer& p) { p.AddVLineEnd(6 * 65536 + 100); },
       StoredCommand{18, {100, 5}}},
      {"vline end without a style half", [](Printer& p) { p.AddVLineEnd(100); }, std::nullopt},
      {"vline end style 7", [](Printer& p) { p.AddVLineEnd(7 * 65536); }, std::nullopt},
      {"vline end negative", [](Printer& p) { p.AddVLineEnd(-65536); }, std::nullopt},
      {"sound repeat 0 cycle default", [](Printer& p) { p.AddSound(Pattern::PatternA, 0, -2); },
       StoredCommand{28, {1, 0, -2}}},
      {"sound all default", [](Printer& p) { p.AddSound(Pattern::Default, -2, -2); },
       StoredCommand{28, {-2, -2, -2}}},
      {"sound none pattern", [](Printer& p) { p.AddSound(Pattern::None, 1, 1000); },
       StoredCommand{28, {0, 1, 1000}}},
      {"sound pattern 10 at the bounds",
       [](Printer& p) { p.AddSound(Pattern::Pattern10, 255, 25500); },
       StoredCommand{28, {17, 255, 25500}}},
      {"sound repeat 256", [](Printer& p) { p.AddSound(Pattern::PatternA, 256, 1000); },
       std::nullopt},
      {"sound repeat -1", [](Printer& p) { p.AddSound(Pattern::PatternA, -1, 1000); },
       std::nullopt},
      {"sound cycle 999", [](Printer& p) { p.AddSound(Pattern::PatternA, 1, 999); }, std::nullopt},
      {"sound cycle 25501", [](Printer& p) { p.AddSound(Pattern::PatternA, 1, 25501); },
       std::nullopt},
      {"sound pattern out of enum",
       [](Printer& p) { p.AddSound(static_cast<Pattern>(19), 1, 1000); }, std::nullopt},
      {"feed to next form", [](Printer& p) { p.AddFeedPosition(Feed::NextTOF); },
       StoredCommand{30, {3}}},
      {"feed to peeling", [](Printer& p) { p.AddFeedPosition(Feed::Peeling); },
       StoredCommand{30, {0}}},
      {"feed out of enum", [](Printer& p) { p.AddFeedPosition(static_cast<Feed>(4)); },
       std::nullopt},
      {"layout receipt", [](Printer& p) { p.AddLayout(Layout::Receipt, 580, 0, 0, 0, 0, 0); },
       StoredCommand{31, {0, 580, 0, 0, 0, 0, 0}}},
      {"layout receipt takes no height",
       [](Printer& p) { p.AddLayout(Layout::Receipt, 580, 300, 0, 0, 0, 0); }, std::nullopt},
      {"layout label height 283",
       [](Printer& p) { p.AddLayout(Layout::Label, 580, 283, 0, 0, 0, 0); }, std::nullopt},
      {"layout label black mark at every bound",
       [](Printer& p) { p.AddLayout(Layout::Label_BM, 600, 1550, -15, 15, 50, 15); },
       StoredCommand{31, {3, 600, 1550, -15, 15, 50, 15}}},
      {"layout width 289", [](Printer& p) { p.AddLayout(Layout::Label, 289, 300, 0, 0, 0, 0); },
       std::nullopt},
      {"layout label bottom margin above 0",
       [](Printer& p) { p.AddLayout(Layout::Label, 580, 300, 0, 1, 0, 0); }, std::nullopt},
      {"layout type out of enum",
       [](Printer& p) { p.AddLayout(static_cast<Layout>(4), 580, 0, 0, 0, 0, 0); }, std::nullopt},
  };
  for (const BuilderCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto printer = Printer::Create(Series::RP_S3, ModelLang::Ank);
    printer->AddFeedLine(1);
    const auto before = ReadCommands(*printer);
    ASSERT_EQ(before.size(), 1u);
    const int32_t result = HResultOf([&] { c.call(*printer); });
    auto expected = before;
    if (c.appended) {
      EXPECT_EQ(result, 0);
      expected.push_back(*c.appended);
    } else {
      EXPECT_EQ(result, kErrParameter);
    }
    EXPECT_EQ(ReadCommands(*printer), expected);
    EXPECT_EQ(PageMode(*printer), 0);
  }
}

// Refusals inside a page keep the page-mode flag; the builders log their
// arguments, an out id as a pointer and then its value.
class PrinterBuilderLog : public PrinterTest {};

TEST_F(PrinterBuilderLog, LinesOfAnAcceptedAndARefusedCall) {
  use_file();
  auto printer = NewPrinter();
  const void* record = RecordOf(*printer);
  printer->AddPageBegin();
  ASSERT_EQ(PageMode(*printer), 1);
  int32_t id = 0;
  printer->AddVLineBegin(100, LineStyle::ThickDouble, &id);
  EXPECT_EQ(HResultOf([&] { printer->AddLayout(Layout::Receipt, 580, 300, 0, 0, 0, 0); }),
            kErrParameter);
  EXPECT_EQ(PageMode(*printer), 1);
  char pointer[24];
  std::snprintf(pointer, sizeof pointer, "0x%016" PRIXPTR, reinterpret_cast<uintptr_t>(&id));
  const std::string vline = PrinterName("AddVLineBegin");
  const std::string layout = PrinterName("AddLayout");
  EXPECT_EQ(LinesOf(vline),
            (std::vector<std::string>{
                Entry(record, vline, std::string("(100, ThickDouble, ") + pointer + ")"),
                Exit(record, 0, vline, std::string("(100, ThickDouble, ") + pointer + ", 393316)"),
            }));
  EXPECT_EQ(LinesOf(layout),
            (std::vector<std::string>{
                Entry(record, layout, "(Receipt, 580, 300, 0, 0, 0, 0)"),
                Exit(record, kErrParameter, layout, "(Receipt, 580, 300, 0, 0, 0, 0)"),
            }));
}

// The forced operations: argument checks first (bytes before anything else),
// then the connection, and only the device service carries them out.
TEST(PrinterForced, UnconnectedRefusals) {
  auto printer = Printer::Create(Series::RP_S3, ModelLang::Ank);
  const std::vector<uint8_t> bytes = {0x1b, 0x40};
  struct Case {
    const char* name;
    std::function<IAsyncAction()> start;
    int32_t result;
  };
  const Case cases[] = {
      {"stop sound default", [&] { return printer->ForceStopSoundAsync(-2); },
       ErrorStatus::ErrIllegalState},
      {"stop sound 0", [&] { return printer->ForceStopSoundAsync(0); },
       ErrorStatus::ErrIllegalState},
      {"stop sound 600000", [&] { return printer->ForceStopSoundAsync(600000); },
       ErrorStatus::ErrIllegalState},
      {"stop sound 600001", [&] { return printer->ForceStopSoundAsync(600001); }, kErrParameter},
      {"stop sound -1", [&] { return printer->ForceStopSoundAsync(-1); }, kErrParameter},
      {"command", [&] { return printer->ForceCommandAsync(bytes, -2); },
       ErrorStatus::ErrIllegalState},
      {"command without bytes", [&] { return printer->ForceCommandAsync({}, -2); }, kErrParameter},
      {"command timeout 600001", [&] { return printer->ForceCommandAsync(bytes, 600001); },
       kErrParameter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ResultOf(c.start()), c.result);
  }
}

class PrinterForcedDirect : public PrinterTest {};

TEST_F(PrinterForcedDirect, DirectConnectionIsUnsupportedAndCommandBytesAreCopied) {
  use_file();
  auto printer = Connected(540);
  EXPECT_EQ(ResultOf(printer->ForceStopSoundAsync(-2)), ErrorStatus::ErrUnsupported);
  IAsyncAction action;
  {
    std::vector<uint8_t> bytes = {0x1b, 0x40};
    action = printer->ForceCommandAsync(bytes, 1000);
    bytes.assign(2, 0xEE);  // the call took its own copy
  }
  EXPECT_EQ(ResultOf(action), ErrorStatus::ErrUnsupported);
  EXPECT_EQ(ResultOf(printer->ForceCommandAsync({}, 1000)), kErrParameter);
  const std::string name = PrinterName("ForceCommandAsync::Body");
  const void* record = RecordOf(*printer);
  const auto lines = LinesOf(name);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], Entry(record, name, "(0x1B 0x40 , 1000)"));
  EXPECT_EQ(lines[1], Exit(record, ErrorStatus::ErrUnsupported, name, "(0x1B 0x40 , 1000)"));
  printer->DisconnectAsync().get();
}

}  // namespace
}  // namespace printer_test

namespace printer_test {
namespace {

// The shared monitoring, transaction and forced members reached through a
// Printer, its connect and disconnect in between.
class PrinterShared : public PrinterTest {};

TEST_F(PrinterShared, ForcedOperationsAndTransactionsAcrossAReconnect) {
  ASSERT_NO_FATAL_FAILURE(Start(573));
  auto printer = NewPrinter();
  struct Forced {
    const char* name;
    std::function<IAsyncAction()> start;
    int32_t closed;  // on a closed printer
    int32_t direct;  // on a direct connection
  };
  const int32_t kIllegal = ErrorStatus::ErrIllegalState;
  const int32_t kUnsupported = ErrorStatus::ErrUnsupported;
  const Forced cases[] = {
      {"recover 0", [&] { return printer->ForceRecoverAsync(0); }, kIllegal, kUnsupported},
      {"recover 600000", [&] { return printer->ForceRecoverAsync(600000); }, kIllegal,
       kUnsupported},
      {"recover 600001", [&] { return printer->ForceRecoverAsync(600001); }, kErrParameter,
       kErrParameter},
      {"recover -1", [&] { return printer->ForceRecoverAsync(-1); }, kErrParameter, kErrParameter},
      {"pulse", [&] { return printer->ForcePulseAsync(Drawer::Drawer5Pin, Pulse::Pulse300, -2); },
       kIllegal, kUnsupported},
      {"reset", [&] { return printer->ForceResetAsync(-2); }, kIllegal, kUnsupported},
      {"stop sound", [&] { return printer->ForceStopSoundAsync(-2); }, kIllegal, kUnsupported},
  };
  for (const Forced& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ResultOf(c.start()), c.closed);
  }
  EXPECT_EQ(HResultOf([&] { printer->StartMonitor(); }), kIllegal);
  EXPECT_EQ(ResultOf(printer->BeginTransactionAsync()), kIllegal);

  printer->ConnectAsync(String(target_), -2).get();
  for (const Forced& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ResultOf(c.start()), c.direct);
  }
  EXPECT_EQ(ResultOf(printer->EndTransactionAsync()), kIllegal);
  EXPECT_EQ(ResultOf(printer->BeginTransactionAsync()), 0);
  EXPECT_EQ(ResultOf(printer->BeginTransactionAsync()), kIllegal);

  // A transaction left open across a reconnect: the new connection has none,
  // yet a begin waits for an end, and that end succeeds.
  printer->DisconnectAsync().get();
  printer->ConnectAsync(String(target_), -2).get();
  EXPECT_EQ(ResultOf(printer->BeginTransactionAsync()), kIllegal);
  EXPECT_EQ(ResultOf(printer->EndTransactionAsync()), 0);
  EXPECT_EQ(ResultOf(printer->BeginTransactionAsync()), 0);
  EXPECT_EQ(ResultOf(printer->EndTransactionAsync()), 0);
  printer->DisconnectAsync().get();
}

}  // namespace
}  // namespace printer_test

namespace printer_test {
namespace {

// The printer-only commands replayed into a direct job: "no sound" has no
// command there and sends nothing, and the job prints.
TEST_F(PrinterShared, PrinterOnlyCommandsPrintOnADirectConnection) {
  auto printer = Connected(575);
  int32_t id = 0;
  printer->AddLayout(Layout::Receipt, 580, 0, 0, 0, 0, 0);
  printer->AddHLine(0, 400, LineStyle::Medium);
  printer->AddVLineBegin(100, LineStyle::Thin, &id);
  printer->AddText("ruled 575\n");
  printer->AddVLineEnd(id);
  printer->AddSound(Pattern::None, 1, 1000);
  printer->AddSound(Pattern::PatternB, 2, 1000);
  printer->AddFeedPosition(Feed::Cutting);
  printer->SendDataAsync(-2).get();
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  EXPECT_EQ(Count(PrinterBytes(*emulator_), "ruled 575"), 1u);
  printer->DisconnectAsync().get();
}

}  // namespace
}  // namespace printer_test
