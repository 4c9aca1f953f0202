// A printer that is switched off and on again while a Printer stays connected:
// the connection comes back by itself, the status tells the truth meanwhile,
// and the events follow the printer. Also what a Printer learns when it finds
// the printer offline or silent: nothing it keeps for good.
//
// Addresses (io_test::address): 2440-2449.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "device/printer_access.h"
#include "engine/event_callbacks.h"
#include "engine/print_handle.h"
#include "engine/shared_connection.h"
#include "printer_test_support.h"

namespace printer_test {
namespace {

class PowerCycle : public PrinterTest {
 protected:
  // The printer goes away: its ports close, and the connection with them.
  void PowerOff() {
    emulator_->stop();
    emulator_.reset();
  }
  // A fresh printer at the same address, knowing nothing of the old link.
  void PowerOn(int n) {
    emulator_ = io_test::startEmulator(n);
    ASSERT_NE(emulator_, nullptr);
  }

  static size_t CountOf(const std::vector<EventRecorder::Status>& statuses, EventType type) {
    return static_cast<size_t>(std::count_if(statuses.begin(), statuses.end(),
                                             [&](const auto& s) { return s.type == type; }));
  }

  // Waits until an event of this type follows the first event of type after.
  bool WaitStatusAfter(EventType after, EventType type) {
    return Eventually([&] {
      const auto statuses = recorder_.Statuses();
      auto it = std::find_if(statuses.begin(), statuses.end(),
                             [&](const auto& s) { return s.type == after; });
      return it != statuses.end() &&
             std::any_of(it, statuses.end(), [&](const auto& s) { return s.type == type; });
    });
  }
};

TEST_F(PowerCycle, WithTheMonitorPowerOffThenOnlineAndTheNextJobPrints) {
  Start(2440);
  auto printer = NewPrinter();
  recorder_.Attach(*printer);
  printer->Interval(1000);
  printer->ConnectAsync(String(target_), -2).get();
  printer->StartMonitor();
  ASSERT_TRUE(recorder_.WaitStatus(EventType::Online));

  PowerOff();
  ASSERT_TRUE(recorder_.WaitStatus(EventType::PowerOff));
  // A dead link is no connection, although the printer's network interface
  // would answer for it once it is back.
  const auto away = printer->GetStatusAsync().get();
  EXPECT_EQ(away->Connection(), Connection::False);
  EXPECT_EQ(away->Online(), Online::Unknown);

  PowerOn(2440);
  ASSERT_TRUE(WaitStatusAfter(EventType::PowerOff, EventType::Online));
  const auto status = printer->GetStatusAsync().get();
  EXPECT_EQ(status->Connection(), Connection::True);
  EXPECT_EQ(status->Online(), Online::True);

  printer->AddText("after power 2440\n");
  printer->AddCut(Cut::Default);
  printer->SendDataAsync(-2).get();
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  EXPECT_TRUE(
      Eventually([&] { return Count(PrinterBytes(*emulator_), "after power 2440") == 1u; }));
  // One power-off, one return: nothing said twice without a change between.
  EXPECT_EQ(CountOf(recorder_.Statuses(), EventType::PowerOff), 1u);
  EXPECT_EQ(ResultOf(printer->DisconnectAsync()), 0);
}

TEST_F(PowerCycle, WithoutTheMonitorTheFirstJobAfterPowerReturnsPrints) {
  Start(2441);
  auto printer = NewPrinter();
  recorder_.Attach(*printer);
  printer->Interval(60000);  // no monitor cycle in between: the jobs find out alone
  printer->ConnectAsync(String(target_), -2).get();

  PowerOff();
  printer->AddText("while away 2441\n");
  printer->SendDataAsync(-2).get();
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::ErrorPort);

  PowerOn(2441);
  printer->ClearCommandBuffer();
  printer->AddText("after power 2441\n");
  printer->SendDataAsync(-2).get();
  ASSERT_TRUE(recorder_.WaitResults(2));
  EXPECT_EQ(recorder_.Results()[1].code, CallbackCode::Success);
  EXPECT_EQ(Count(PrinterBytes(*emulator_), "after power 2441"), 1u);
  EXPECT_EQ(Count(PrinterBytes(*emulator_), "while away 2441"), 0u);
  EXPECT_EQ(ResultOf(printer->DisconnectAsync()), 0);
}

::tilo2::core::PrintHandle_t* HandleOf(const Printer& printer) {
  return static_cast<::tilo2::core::PrintHandle_t*>(
      ::tilo2::core::TdcReadPrinterState(RecordOf(printer)).handle);
}

// The printer is offline with its drawer line high when the Printer connects,
// and its status answer comes after the others: the answer to the interrupt
// support query is still read as that, so no job asks for interrupt printing.
TEST_F(PowerCycle, APrinterOfflineAtConnectIsNotTakenForOneWithInterruptPrinting) {
  Start(2442);
  emulator_->state().setFaults({.offline = true, .drawerHigh = true});
  emulator_->setReplyDelay(printer_emulator::ReplyClass::Asb, std::chrono::milliseconds(300));
  auto printer = NewPrinter();
  recorder_.Attach(*printer);
  printer->ConnectAsync(String(target_), -2).get();
  EXPECT_EQ(HandleOf(*printer)->interruptSupport.load(), 2);

  emulator_->setReplyDelay(printer_emulator::ReplyClass::Asb, std::chrono::milliseconds(0));
  emulator_->state().setFaults({});
  printer->AddText("online again 2442\n");
  printer->SendDataAsync(-2).get();
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  const auto counts = emulator_->commandCounts();
  EXPECT_EQ(counts.count("DLE DC4 6"), 0u) << "an interrupt request went out";
  EXPECT_EQ(ResultOf(printer->DisconnectAsync()), 0);
}

// After a recovery that failed the word says "no response" although the
// printer answers again: a second user of the address finds it answering and
// joins, and the first user's connection stays.
TEST_F(PowerCycle, ASecondUserJoinsAPrinterThatAnswersAgainAfterAFailedRecovery) {
  Start(2443);
  auto printer = NewPrinter();
  recorder_.Attach(*printer);
  printer->Interval(60000);
  printer->ConnectAsync(String(target_), -2).get();
  printer->StartMonitor();
  // The monitor raises its first report on its own thread; the silence below
  // comes after it.
  ASSERT_TRUE(recorder_.WaitStatus(EventType::Online));
  auto* handle = HandleOf(*printer);
  ::tilo2::core::NotifyNoResponse(nullptr, handle);
  ASSERT_TRUE(recorder_.WaitStatus(EventType::PowerOff));

  ::tilo2::core::PrintHandle_t* joined = nullptr;
  ASSERT_EQ(::tilo2::core::AcquireSharedConnection(nullptr, ::tilo2::core::kSharedUserHybrid, 0,
                                                   io_test::address(2443).c_str(), 5000, &joined),
            0);
  EXPECT_EQ(joined, handle);
  EXPECT_EQ(emulator_->clientsAccepted(), 1);
  // The app hears that the printer is back.
  EXPECT_TRUE(WaitStatusAfter(EventType::PowerOff, EventType::Online));

  printer->AddText("first user 2443\n");
  EXPECT_EQ(ResultOf(printer->SendDataAsync(-2)), 0);
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  EXPECT_EQ(
      ::tilo2::core::ReleaseSharedConnection(nullptr, ::tilo2::core::kSharedUserHybrid, joined), 0);
  EXPECT_EQ(ResultOf(printer->DisconnectAsync()), 0);
}

}  // namespace
}  // namespace printer_test
