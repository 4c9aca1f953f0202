// A job is what was added before SendDataAsync was called: whatever the app
// adds or clears while the job waits for its turn is not in it, and a command
// the printer cannot take fails the job instead of vanishing from it.
// Addresses (io_test::address): 2240-2249.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "printer_test_support.h"

namespace printer_test {
namespace {

// Holds the connection's operation lock, so that a job's pool step waits
// before it builds its job: what the app does meanwhile is what the step
// would have read from the list.
class JobsHeldBack {
 public:
  explicit JobsHeldBack(Printer& printer) : guard_(RecordOf(printer)->opLock) {}

 private:
  ::tilo2::core::PlatformLockGuard guard_;
};

class JobContent : public PrinterTest {
 protected:
  size_t Printed(const std::string& text) { return Count(PrinterBytes(*emulator_), text); }
  bool PrintedOnce(const std::string& text) {
    return Eventually([&] { return Printed(text) >= 1; }) && Printed(text) == 1;
  }
};

TEST_F(JobContent, TextAddedAfterTheCallIsNotInTheJob) {
  auto printer = Connected(2240);
  printer->AddText("first 2240\n");
  IAsyncAction sent;
  {
    JobsHeldBack held(*printer);
    sent = printer->SendDataAsync(-2);
    printer->AddText("later 2240\n");
  }
  EXPECT_EQ(ResultOf(sent), 0);
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  EXPECT_TRUE(PrintedOnce("first 2240"));
  EXPECT_EQ(Printed("later 2240"), 0u);
  // The list itself keeps both until it is cleared.
  EXPECT_EQ(ReadCommands(*printer).size(), 2u);
}

TEST_F(JobContent, AClearAfterTheCallLeavesTheJobWhole) {
  auto printer = Connected(2241);
  printer->AddText("kept 2241\n");
  IAsyncAction sent;
  {
    JobsHeldBack held(*printer);
    sent = printer->SendDataAsync(-2);
    printer->ClearCommandBuffer();
  }
  EXPECT_EQ(ResultOf(sent), 0);
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  EXPECT_TRUE(PrintedOnce("kept 2241"));
  EXPECT_TRUE(ReadCommands(*printer).empty());
}

TEST_F(JobContent, TwoJobsInFlightEachPrintTheirOwn) {
  auto printer = Connected(2242);
  IAsyncAction first;
  IAsyncAction second;
  {
    JobsHeldBack held(*printer);
    printer->AddText("job C 2242\n");
    first = printer->SendDataAsync(-2);
    printer->ClearCommandBuffer();
    printer->AddText("job D 2242\n");
    second = printer->SendDataAsync(-2);
  }
  EXPECT_EQ(ResultOf(first), 0);
  EXPECT_EQ(ResultOf(second), 0);
  ASSERT_TRUE(recorder_.WaitResults(2));
  for (const auto& result : recorder_.Results()) EXPECT_EQ(result.code, CallbackCode::Success);
  EXPECT_TRUE(PrintedOnce("job C 2242"));
  EXPECT_TRUE(PrintedOnce("job D 2242"));
}

// A command that passes its Add but that the connected printer cannot take
// fails the send with ErrParameter; nothing of the job reaches the printer,
// and the list stays for the app to mend.
TEST_F(JobContent, ACommandRefusedAtTheSendFailsTheJobAndSendsNothing) {
  auto printer = Connected(2243);
  printer->AddText("refused 2243\n");
  printer->AddSound(Pattern::PatternA, 0, -2);  // no repeat count 0 on a direct connection
  printer->AddCut(Cut::Feed);
  EXPECT_EQ(ResultOf(printer->SendDataAsync(-2)), ErrorStatus::ErrParameter);
  EXPECT_EQ(ReadCommands(*printer).size(), 3u);

  // The next job starts clean: nothing of the refused one goes with it.
  printer->ClearCommandBuffer();
  printer->AddText("next 2243\n");
  EXPECT_EQ(ResultOf(printer->SendDataAsync(-2)), 0);
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results().size(), 1u);
  EXPECT_TRUE(PrintedOnce("next 2243"));
  EXPECT_EQ(Printed("refused 2243"), 0u);
}

}  // namespace
}  // namespace printer_test
