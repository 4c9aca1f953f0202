// A Printer connected to the printer emulator: connect arguments and targets,
// jobs and their timeouts, status queries, and a disconnect refused while a
// job is out.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "component/bluetooth_pairing.h"
#include "component/run_async.h"
#include "device/printer_access.h"
#include "printer_test_support.h"

namespace printer_test {
namespace {

using ::tilo2::core::PairedSerialPortDevice;

constexpr int32_t kErrParameter = ErrorStatus::ErrParameter;

class PrinterConnect : public PrinterTest {};

TEST_F(PrinterConnect, TargetAndTimeoutChecksWriteNoExitLine) {
  use_file();
  ASSERT_NO_FATAL_FAILURE(Start(541));
  auto printer = NewPrinter();
  const void* record = RecordOf(*printer);
  const std::string check = PrinterName("ConnectAsync::Check");
  const std::string connect = PrinterName("ConnectAsync::Connect");
  struct Refused {
    std::string target;
    int32_t timeout;
  };
  for (const Refused& c : {Refused{"", 15000}, Refused{target_, 999}, Refused{target_, 300001}}) {
    SCOPED_TRACE(c.target + std::string(" ") + std::to_string(c.timeout));
    EXPECT_EQ(ResultOf(printer->ConnectAsync(String(c.target), c.timeout)), kErrParameter);
  }
  EXPECT_EQ(LinesOf(check), (std::vector<std::string>{
                                Entry(record, check, "(null, 15000)"),
                                Entry(record, check, "(" + target_ + ", 999)"),
                                Entry(record, check, "(" + target_ + ", 300001)"),
                            }));
  EXPECT_TRUE(LinesOf(connect).empty());
  EXPECT_EQ(emulator_->clientsAccepted(), 0);

  for (int32_t timeout : {-2, 1000, 300000}) {
    SCOPED_TRACE(timeout);
    printer->ConnectAsync(String(target_), timeout).get();
    const std::string args = "(" + target_ + std::string(", ") + std::to_string(timeout) + ")";
    EXPECT_EQ(LastLineOf(connect), Exit(record, 0, connect, args));
    printer->DisconnectAsync().get();
  }
}

TEST_F(PrinterConnect, RefusedTargetsAndSeries) {
  ASSERT_NO_FATAL_FAILURE(Start(544));
  struct Case {
    const char* name;
    Series series;
    std::string target;
    int32_t result;
  };
  const Case cases[] = {
      {"RP_B2 cannot be driven directly", Series::RP_B2, target_, ErrorStatus::ErrTypeInvalid},
      {"TCPS without a device id", Series::RP_S3, "TCPS:" + io_test::address(544), kErrParameter},
      {"no transport prefix", Series::RP_S3, io_test::address(544), kErrParameter},
      {"nobody listening", Series::RP_S3, "TCP:" + io_test::address(545), ErrorStatus::ErrConnect},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto printer = NewPrinter(c.series);
    EXPECT_EQ(ResultOf(printer->ConnectAsync(String(c.target), 1000)), c.result);
    // A failed connect leaves the printer closed and usable.
    auto status = printer->GetStatusAsync().get();
    EXPECT_EQ(status->Connection(), Connection::False);
  }
  EXPECT_EQ(emulator_->clientsAccepted(), 0);
}

// The system knows no paired device: the check fails before the core is asked.
TEST_F(PrinterConnect, UnpairedBluetoothTargetFailsBeforeAnyCoreCall) {
  class NoPairings : public ::tilo2::core::IBluetoothPairing {
   public:
    IAsyncOperation<std::vector<PairedSerialPortDevice>> FindPairedSerialPortDevices() override {
      return ::tilo2::core::RunAsync([] { return std::vector<PairedSerialPortDevice>{}; });
    }
    IAsyncAction OpenSerialService(const String&) override {
      return ::tilo2::core::RunAsync([] {});
    }
  };
  ::tilo2::core::SetBluetoothPairing(std::make_shared<NoPairings>());
  use_file();
  auto printer = NewPrinter();
  EXPECT_EQ(ResultOf(printer->ConnectAsync("BT:00:01:90:AA:BB:CC", -2)), ErrorStatus::ErrConnect);
  ::tilo2::core::SetBluetoothPairing(nullptr);
  EXPECT_TRUE(LinesOf(PrinterName("ConnectAsync::Connect")).empty());
  EXPECT_EQ(RecordOf(*printer)->settings->portType, -3);  // never reached the device API
}

TEST_F(PrinterConnect, SendTimeoutsRepeatsAndClear) {
  use_file();
  auto printer = Connected(542);
  const void* record = RecordOf(*printer);
  printer->AddText("Tilo receipt 542\n");
  printer->AddCut(Cut::Feed);
  const std::string send = PrinterName("SendDataAsync::Body");
  for (int32_t timeout : {4999, 600001}) {
    SCOPED_TRACE(timeout);
    EXPECT_EQ(ResultOf(printer->SendDataAsync(timeout)), kErrParameter);
    EXPECT_EQ(LastLineOf(send),
              Exit(record, kErrParameter, send, std::string("(") + std::to_string(timeout) + ")"));
  }
  // Each accepted send replays the whole list: three jobs, three receipts.
  size_t jobs = 0;
  for (int32_t timeout : {-2, 5000, 600000}) {
    SCOPED_TRACE(timeout);
    printer->SendDataAsync(timeout).get();
    ++jobs;
    EXPECT_EQ(LastLineOf(send), Exit(record, 0, send, "()"));
    ASSERT_TRUE(recorder_.WaitResults(jobs));
  }
  for (const auto& result : recorder_.Results()) {
    EXPECT_EQ(result.code, CallbackCode::Success);
    EXPECT_EQ(result.printJobId, "");  // a direct job has no id
    EXPECT_EQ(result.status->Connection(), Connection::True);
  }
  ASSERT_TRUE(Eventually([&] { return Count(PrinterBytes(*emulator_), "Tilo receipt 542") == 3; }));

  printer->ClearCommandBuffer();
  EXPECT_EQ(ResultOf(printer->SendDataAsync(-2)), ErrorStatus::ErrIllegalState);
  printer->DisconnectAsync().get();
}

TEST_F(PrinterConnect, SecondConnectIsRefusedAndTheFirstStillPrints) {
  auto printer = Connected(543);
  EXPECT_EQ(ResultOf(printer->ConnectAsync(String(target_), -2)), ErrorStatus::ErrIllegalState);
  printer->AddText("still here 543\n");
  printer->SendDataAsync(-2).get();
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  EXPECT_EQ(Count(PrinterBytes(*emulator_), "still here 543"), 1u);
  printer->DisconnectAsync().get();
}

TEST_F(PrinterConnect, StatusUnconnectedAndConnectedWithItsExitLine) {
  use_file();
  ASSERT_NO_FATAL_FAILURE(Start(546));
  auto printer = NewPrinter();
  const void* record = RecordOf(*printer);
  auto closed = printer->GetStatusAsync().get();
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(closed->Connection(), Connection::False);
  EXPECT_EQ(closed->Online(), Online::Unknown);
  EXPECT_EQ(closed->CoverOpen(), CoverOpen::Unknown);
  EXPECT_EQ(closed->Paper(), Paper::Unknown);
  EXPECT_EQ(closed->PanelSwitch(), PanelSwitch::Unknown);
  EXPECT_EQ(closed->PaperFeed(), PaperFeed::Unknown);
  EXPECT_EQ(closed->WaitOnline(), WaitOnline::Unknown);
  EXPECT_EQ(closed->Drawer(), DrawerStatus::Unknown);
  EXPECT_EQ(closed->ErrorStatus(), PrinterErrorStatus::Unknown);
  EXPECT_EQ(closed->AutoRecoverError(), AutoRecoverError::Unknown);
  EXPECT_EQ(closed->Buzzer(), Buzzer::Unknown);
  EXPECT_EQ(closed->Adapter(), Adapter::Unknown);
  EXPECT_EQ(closed->BatteryLevel(), BatteryLevel::Unknown);
  EXPECT_EQ(closed->GetRuntimeClassName(), String("Orvik.Tilo.Tilo2.Printer.PrinterStatusInfo"));

  printer->ConnectAsync(String(target_), -2).get();
  auto open = printer->GetStatusAsync().get();
  EXPECT_EQ(open->Connection(), Connection::True);
  EXPECT_EQ(open->Online(), Online::True);
  EXPECT_EQ(open->CoverOpen(), CoverOpen::False);
  EXPECT_EQ(open->Paper(), Paper::Ok);
  EXPECT_EQ(open->ErrorStatus(), PrinterErrorStatus::NoErr);

  const std::string name = PrinterName("GetStatusAsync::Body");
  const auto lines = LinesOf(name);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], Entry(record, name, "()"));
  EXPECT_EQ(lines[1],
            Exit(record, 0, name,
                 "(connection->False, online->Unknown, coverOpen->Unknown, paper->Unknown, "
                 "paperFeed->Unknown, panelSwitch->Unknown, waitOnline->Unknown, "
                 "drawer->Unknown, errorStatus->Unknown, autoRecoverError->Unknown, "
                 "buzzer->Unknown, adapter->Unknown, batteryLevel->Unknown)"));
  EXPECT_EQ(lines[3].rfind(Exit(record, 0, name,
                                "(connection->True, online->True, coverOpen->False, paper->Ok, "),
                           0),
            0u)
      << lines[3];
  printer->DisconnectAsync().get();
}

TEST_F(PrinterConnect, DirectJobStatusRequestAdminAndLocation) {
  auto printer = Connected(547);
  EXPECT_EQ(ResultOf(printer->RequestPrintJobStatusAsync("")), kErrParameter);
  printer->RequestPrintJobStatusAsync("job-1").get();
  EXPECT_EQ(printer->Admin(), String(""));
  EXPECT_EQ(printer->Location(), String(""));
  // Ask the printer something and wait for the answer: an event of the
  // request would have come by now.
  printer->GetStatusAsync().get();
  EXPECT_TRUE(recorder_.Results().empty());
  printer->DisconnectAsync().get();
  EXPECT_EQ(ResultOf(printer->RequestPrintJobStatusAsync("job-1")), ErrorStatus::ErrIllegalState);
  EXPECT_EQ(ResultOf(printer->DisconnectAsync()), ErrorStatus::ErrIllegalState);
}

TEST_F(PrinterConnect, DisconnectWhileAJobEndIsWithheldIsRefusedAndStaysConnected) {
  auto printer = Connected(548);
  emulator_->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(true); });
  printer->AddText("held 548\n");
  printer->SendDataAsync(30000).get();
  // The job is out once the printer has its bytes; its end is withheld.
  ASSERT_TRUE(Eventually([&] { return Count(PrinterBytes(*emulator_), "held 548") == 1; }));
  EXPECT_EQ(ResultOf(printer->DisconnectAsync()), ErrorStatus::ErrProcessing);
  EXPECT_EQ(::tilo2::core::TdcReadPrinterState(RecordOf(*printer)).mode, 1);
  emulator_->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(false); });
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  printer->DisconnectAsync().get();
}

}  // namespace
}  // namespace printer_test
