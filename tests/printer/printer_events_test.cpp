// What a Printer raises: print results from canned status records and from
// real jobs (success, a withheld job end, a vanished connection), and status
// changes while the monitor runs.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device/printer_access.h"
#include "device/printer_status.h"
#include "engine/print_handle.h"
#include "engine/shared_connection.h"
#include "engine/status_monitor.h"
#include "printer_test_support.h"

namespace printer_test {
namespace {

using ::tilo2::core::TdcMakePrinterStatus;
using ::tilo2::core::TdcStatus_t;

constexpr uint32_t kNoResponse = 0x1;
constexpr uint32_t kUnrecoverableError = 0x2000;
constexpr int32_t kSeriesS3 = 6;
constexpr int32_t kSeriesM3 = 2;  // a battery model

struct StatusFree {
  void operator()(TdcStatus_t* s) const { std::free(s); }
};
using StatusPtr = std::unique_ptr<TdcStatus_t, StatusFree>;

// Calls the record's print-result callback from a thread of its own, as a
// backend does.
void ReportResult(const Printer& printer, int32_t code, TdcStatus_t* status, const char* jobId) {
  auto* record = RecordOf(printer);
  std::thread core(
      [&] { record->receiveCallback(record, code, status, jobId, record->receiveUser); });
  core.join();
}

void ReportStatus(const Printer& printer, int32_t event) {
  auto* record = RecordOf(printer);
  std::thread core([&] { record->statusCallback(record, event, record->statusUser); });
  core.join();
}

class PrinterEvents : public PrinterTest {};

TEST_F(PrinterEvents, ReceivedFromCannedStatusRecords) {
  struct Case {
    const char* name;
    int32_t series;
    uint32_t word;
    int32_t battery;
    int32_t code;
    const char* jobId;
    std::function<void(const EventRecorder::Result&)> check;
  };
  const Case cases[] = {
      {"unrecoverable error", kSeriesS3, kUnrecoverableError, 0, 8, "job-1",
       [](const EventRecorder::Result& r) {
         EXPECT_EQ(r.code, CallbackCode::ErrorUnrecoverable);
         EXPECT_EQ(r.status->Connection(), Connection::True);
         EXPECT_EQ(r.status->ErrorStatus(), PrinterErrorStatus::UnrecoverErr);
         EXPECT_EQ(r.printJobId, "job-1");
       }},
      {"no answer", kSeriesS3, kNoResponse, 0x3036, 1, nullptr,
       [](const EventRecorder::Result& r) {
         EXPECT_EQ(r.code, CallbackCode::ErrorTimeout);
         const PrinterStatusInfo& s = *r.status;
         EXPECT_EQ(s.Connection(), Connection::False);
         EXPECT_EQ(s.Online(), Online::Unknown);
         EXPECT_EQ(s.CoverOpen(), CoverOpen::Unknown);
         EXPECT_EQ(s.Paper(), Paper::Unknown);
         EXPECT_EQ(s.PanelSwitch(), PanelSwitch::Unknown);
         EXPECT_EQ(s.PaperFeed(), PaperFeed::Unknown);
         EXPECT_EQ(s.WaitOnline(), WaitOnline::Unknown);
         EXPECT_EQ(s.Drawer(), DrawerStatus::Unknown);
         EXPECT_EQ(s.ErrorStatus(), PrinterErrorStatus::Unknown);
         EXPECT_EQ(s.AutoRecoverError(), AutoRecoverError::Unknown);
         EXPECT_EQ(s.Buzzer(), Buzzer::Unknown);
         EXPECT_EQ(s.Adapter(), Adapter::Unknown);
         EXPECT_EQ(s.BatteryLevel(), BatteryLevel::Unknown);
         EXPECT_EQ(r.printJobId, "");
       }},
      {"battery 6 on adapter", kSeriesM3, 0, 0x3036, 0, "",
       [](const EventRecorder::Result& r) {
         EXPECT_EQ(r.code, CallbackCode::Success);
         EXPECT_EQ(r.status->BatteryLevel(), BatteryLevel::Level6);
         EXPECT_EQ(static_cast<int32_t>(r.status->BatteryLevel()), 0);
         EXPECT_EQ(r.status->Adapter(), Adapter::True);
         EXPECT_EQ(r.status->Drawer(), DrawerStatus::Unknown);  // battery models have none
       }},
      {"battery 0 without adapter", kSeriesM3, 0, 0x3130, 15, "",
       [](const EventRecorder::Result& r) {
         EXPECT_EQ(r.code, CallbackCode::ErrorBatteryLow);
         EXPECT_EQ(r.status->BatteryLevel(), BatteryLevel::Level0);
         EXPECT_EQ(static_cast<int32_t>(r.status->BatteryLevel()), 6);
         EXPECT_EQ(r.status->Adapter(), Adapter::False);
       }},
      {"no battery character", kSeriesS3, 0, 0, 255, "",
       [](const EventRecorder::Result& r) {
         EXPECT_EQ(r.code, CallbackCode::ErrorFailure);
         EXPECT_EQ(r.status->BatteryLevel(), BatteryLevel::Unknown);
         EXPECT_EQ(r.status->Drawer(), DrawerStatus::Low);
       }},
  };
  auto printer = NewPrinter();
  recorder_.Attach(*printer);
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StatusPtr status(TdcMakePrinterStatus(c.series, c.word, c.battery));
    ASSERT_NE(status, nullptr);
    ReportResult(*printer, c.code, status.get(), c.jobId);
    ASSERT_EQ(recorder_.Results().size(), ++seen);
    const auto result = recorder_.Results().back();
    EXPECT_NE(result.thread, std::this_thread::get_id());
    c.check(result);
  }
}

TEST_F(PrinterEvents, ReceivedLinesAndReportsThatRaiseNothing) {
  use_file();
  auto printer = NewPrinter();
  recorder_.Attach(*printer);
  auto* record = RecordOf(*printer);
  StatusPtr status(TdcMakePrinterStatus(kSeriesS3, kUnrecoverableError, 0));
  ReportResult(*printer, 8, status.get(), "job-9");
  const std::string name = PrinterName("OnReceiveEvent");
  auto lines = LinesOf(name);
  ASSERT_EQ(lines.size(), 3u);
  // The job id pointer differs per call: compare the lines around it.
  EXPECT_EQ(lines[0].substr(0, lines[0].find("(")), Entry(record, name, ""));
  EXPECT_EQ(lines[1], "APIIO,<<," + Hex(record) + ",,," + name +
                          ",(Code->, ErrorUnrecoverable, Connection->, True, Online->, True, "
                          "CoverOpen->, False, Paper->, Ok, PaperFeed->, False, PanelSwitch->, "
                          "Off, WaitOnline->, False, Drawer->, Low, ErrorStatus->, UnrecoverErr, "
                          "AutoRecoverError->, Unknown, Buzzer->, False, Adapter->, Unknown, "
                          "BatteryLevel->, Unknown, PrintJobId->, job-9)");
  EXPECT_EQ(lines[2].rfind(Exit(record, 0, name, "(8, "), 0), 0u) << lines[2];

  // A field without a row, and a missing record: logged, nothing raised.
  status->online = 7;
  ReportResult(*printer, 0, status.get(), nullptr);
  ReportResult(*printer, 0, nullptr, nullptr);
  lines = LinesOf(name);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[4].rfind(Exit(record, ErrorStatus::ErrFailure, name, "(0, "), 0), 0u) << lines[4];
  EXPECT_EQ(lines[6].rfind(Exit(record, ErrorStatus::ErrFailure, name, "(0, "), 0), 0u) << lines[6];
  EXPECT_EQ(recorder_.Results().size(), 1u);
}

TEST_F(PrinterEvents, StatusEventsOfAPrinterAreTheFirstTwelve) {
  use_file();
  auto printer = NewPrinter();
  recorder_.Attach(*printer);
  auto* record = RecordOf(*printer);
  ReportStatus(*printer, 4);
  ReportStatus(*printer, 11);
  ReportStatus(*printer, 12);
  ReportStatus(*printer, -1);
  const auto statuses = recorder_.Statuses();
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0].type, EventType::CoverOpen);
  EXPECT_EQ(statuses[1].type, EventType::BatteryEmpty);
  const std::string name = PrinterName("OnStatusChangeEvent");
  const std::string user = [&] {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016" PRIXPTR,
                  reinterpret_cast<uintptr_t>(record->statusUser));
    return std::string(text);
  }();
  const auto lines = LinesOf(name);
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], Entry(record, name, "(4, " + user + ")"));
  EXPECT_EQ(lines[1], "APIIO,<<," + Hex(record) + ",,," + name + ",(EventType->, CoverOpen)");
  EXPECT_EQ(lines[2], Exit(record, 0, name, "(4, " + user + ")"));
  EXPECT_EQ(lines[6], Entry(record, name, "(12, " + user + ")"));
  EXPECT_EQ(lines[7], Exit(record, ErrorStatus::ErrFailure, name, "(12, " + user + ")"));
  EXPECT_EQ(lines[9], Exit(record, ErrorStatus::ErrFailure, name, "(-1, " + user + ")"));
}

TEST_F(PrinterEvents, AJobReportsSuccessOnAnotherThread) {
  auto printer = Connected(556);
  printer->AddText("event 556\n");
  printer->AddCut(Cut::Default);
  printer->SendDataAsync(-2).get();
  ASSERT_TRUE(recorder_.WaitResults(1));
  const auto result = recorder_.Results()[0];
  EXPECT_EQ(result.code, CallbackCode::Success);
  EXPECT_EQ(result.status->Connection(), Connection::True);
  EXPECT_EQ(result.status->Online(), Online::True);
  EXPECT_EQ(result.printJobId, "");
  EXPECT_NE(result.thread, std::this_thread::get_id());
  printer->DisconnectAsync().get();
}

TEST_F(PrinterEvents, AWithheldJobEndTimesOutAfterTheSendTimeout) {
  auto printer = Connected(557);
  emulator_->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(true); });
  printer->AddText("held 557\n");
  const auto start = std::chrono::steady_clock::now();
  printer->SendDataAsync(5000).get();
  ASSERT_TRUE(recorder_.WaitResults(1));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::ErrorTimeout);
  EXPECT_GE(elapsed, std::chrono::milliseconds(4900));
  emulator_->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(false); });
  EXPECT_TRUE(Eventually([&] { return ResultOf(printer->DisconnectAsync()) == 0; }));
}

// The printer went silent and another user of its address replaced the stale
// connection: the next send still succeeds, and its port error arrives first.
TEST_F(PrinterEvents, AVanishedConnectionGivesAPortErrorBeforeTheSendEnds) {
  ASSERT_NO_FATAL_FAILURE(Start(558));
  auto printer = NewPrinter();
  recorder_.Attach(*printer);
  printer->Interval(60000);  // no poll of the monitor's own in between
  printer->ConnectAsync(String(target_), -2).get();
  auto* stale = static_cast<::tilo2::core::PrintHandle_t*>(
      ::tilo2::core::TdcReadPrinterState(RecordOf(*printer)).handle);
  ASSERT_NE(stale, nullptr);
  ::tilo2::core::WakeStatusMonitor(stale);
  printer->StartMonitor();
  // Silent for exactly the check the next user makes: power returns as soon
  // as the printer object hears of the power-off.
  auto* emulator = emulator_.get();
  const EventToken token =
      printer->StatusChanged([emulator](const std::shared_ptr<Printer>&,
                                        const std::shared_ptr<const StatusChangedEventArgs>& args) {
        if (args->EventType() == EventType::PowerOff) emulator->state().setPowerOff(false);
      });
  emulator_->state().setPowerOff(true);
  ::tilo2::core::PrintHandle_t* fresh = nullptr;
  const int acquired = ::tilo2::core::AcquireSharedConnection(
      nullptr, ::tilo2::core::kSharedUserHybrid, 0, io_test::address(558).c_str(), 5000, &fresh);
  printer->StatusChanged(token);
  emulator_->state().setPowerOff(false);
  ASSERT_EQ(acquired, 0);
  ASSERT_FALSE(::tilo2::core::IsConnectionOpen(stale));

  printer->AddText("never printed 558\n");
  printer->SendDataAsync(-2).get();
  // Raised before the send completed, on a thread of its own.
  const auto results = recorder_.Results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, CallbackCode::ErrorPort);
  EXPECT_EQ(results[0].status->Connection(), Connection::False);
  EXPECT_EQ(results[0].printJobId, "");
  EXPECT_NE(results[0].thread, std::this_thread::get_id());
  EXPECT_EQ(Count(PrinterBytes(*emulator_), "never printed 558"), 0u);
  EXPECT_EQ(
      ::tilo2::core::ReleaseSharedConnection(nullptr, ::tilo2::core::kSharedUserHybrid, fresh), 0);
}

TEST_F(PrinterEvents, MonitorStartReportsOnceAndCoverChangesOnlyWhileMonitoring) {
  ASSERT_NO_FATAL_FAILURE(Start(559));
  auto printer = NewPrinter();
  recorder_.Attach(*printer);
  printer->Interval(1000);
  printer->ConnectAsync(String(target_), -2).get();
  auto* handle = static_cast<::tilo2::core::PrintHandle_t*>(
      ::tilo2::core::TdcReadPrinterState(RecordOf(*printer)).handle);

  // The first report comes from the monitor's thread once its next cycle
  // ended; StartMonitor does not wait for it.
  printer->StartMonitor();
  ASSERT_TRUE(recorder_.WaitStatus(EventType::Online));
  // The monitor's next cycle begins only once the whole report is out.
  ::tilo2::core::WakeStatusMonitor(handle);
  const auto atStart = recorder_.Statuses();
  for (const auto& s : atStart) EXPECT_NE(s.thread, std::this_thread::get_id());
  EXPECT_EQ(std::count_if(atStart.begin(), atStart.end(),
                          [](const auto& s) { return s.type == EventType::Online; }),
            1);
  EXPECT_EQ(std::count_if(atStart.begin(), atStart.end(),
                          [](const auto& s) { return s.type == EventType::CoverClose; }),
            1);
  printer->StartMonitor();
  EXPECT_EQ(recorder_.Statuses().size(), atStart.size());

  emulator_->state().setFaults({.coverOpen = true});
  ::tilo2::core::WakeStatusMonitor(handle);
  ASSERT_TRUE(recorder_.WaitStatus(EventType::CoverOpen));

  printer->StopMonitor();
  const size_t stopped = recorder_.Statuses().size();
  emulator_->state().setFaults({});
  ::tilo2::core::WakeStatusMonitor(handle);
  // The printer's closed cover has been seen, and nobody was told.
  ASSERT_TRUE(
      Eventually([&] { return printer->GetStatusAsync().get()->CoverOpen() == CoverOpen::False; }));
  EXPECT_EQ(recorder_.Statuses().size(), stopped);
  printer->DisconnectAsync().get();
}

}  // namespace
}  // namespace printer_test

namespace printer_test {
namespace {

// The printer closed or reset the connection before a send: the send does
// not hang, and the job goes out on a link opened again.
TEST_F(PrinterEvents, AConnectionClosedOrResetBeforeTheSendIsOpenedAgainForTheJob) {
  struct Case {
    const char* name;
    int address;
    bool reset;
  };
  // Outlive the printers, which the fixture may release only at its end.
  EventRecorder recorders[2];
  const Case cases[] = {{"close", 576, false}, {"reset", 577, true}};
  for (size_t i = 0; i < 2; ++i) {
    const Case& c = cases[i];
    EventRecorder& recorder = recorders[i];
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(Start(c.address));
    auto printer = NewPrinter();
    recorder.Attach(*printer);
    printer->ConnectAsync(String(target_), -2).get();
    if (c.reset) {
      emulator_->resetClient();
    } else {
      emulator_->closeClient();
    }
    ASSERT_TRUE(emulator_->waitForNoClient(std::chrono::seconds(30)));
    printer->AddText("after close\n");
    EXPECT_EQ(ResultOf(printer->SendDataAsync(-2)), 0);
    ASSERT_TRUE(recorder.WaitResults(1));
    const auto result = recorder.Results()[0];
    EXPECT_EQ(result.code, CallbackCode::Success);
    EXPECT_NE(result.thread, std::this_thread::get_id());
    EXPECT_EQ(emulator_->clientsAccepted(), 2);
    EXPECT_EQ(Count(PrinterBytes(*emulator_), "after close"), 1u);
    EXPECT_EQ(ResultOf(printer->DisconnectAsync()), 0);
    printers_.clear();
    emulator_->stop();
  }
}

}  // namespace
}  // namespace printer_test
