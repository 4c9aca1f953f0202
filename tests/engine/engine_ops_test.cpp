// The operations on an open connection against the printer emulator: status
// events and what faults do to them and to jobs, the status query, the
// transaction end, the event switch and the argument checks.

#include "engine/engine_ops.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "connection_test_support.h"
#include "engine/builder_records.h"
#include "engine/job_wait.h"
#include "engine/printer_open.h"
#include "engine/shared_connection.h"
#include "engine/status_monitor.h"

using namespace tilo2::core;
using namespace connection_test;

namespace {

// A printer on its own address with a handle opened as the connection list
// opens one: events off until the test starts them.
class EngineOps : public ::testing::Test {
 protected:
  void Open(int n, printer_emulator::Profile profile = printer_emulator::Profile::Receipt) {
    emulator_ = io_test::startEmulator(n);
    ASSERT_NE(emulator_, nullptr);
    emulator_->state().setProfile(profile);
    ASSERT_EQ(OpenNewHandle(nullptr, 0, io_test::address(n).c_str(), 5000, &handle_), 0);
    EventRecorder::Get().Clear();
    EventRecorder::Get().SetHook(nullptr);
    ResultRecorder::Get().Clear();
    RecordEvents(handle_);
    RecordResults(handle_);
  }
  void TearDown() override {
    EventRecorder::Get().SetHook(nullptr);
    if (handle_ != nullptr) {
      ASSERT_TRUE(Eventually([&] { return CountActiveJobs(handle_) == 0; }));
      EXPECT_EQ(CloseAndDestroyHandle(nullptr, handle_), 0);
    }
    for (auto* builder : builders_) TiloDestroyBuilder(builder);
  }
  PrinterBuilder_t* Job(const char* text) {
    PrinterBuilder_t* builder = nullptr;
    EXPECT_EQ(TiloCreateBuilder(&builder, "RP-S3", 0), 0);
    PrnCmdAddText(builder->builder.get(), text);
    builders_.push_back(builder);
    return builder;
  }
  void Faults(const printer_emulator::Faults& faults) { emulator_->state().setFaults(faults); }
  void Hold(bool hold) {
    emulator_->state().withModel(
        [&](printer_emulator::PrinterModel& m) { m.setHoldPrinting(hold); });
  }

  std::unique_ptr<printer_emulator::PrinterEmulator> emulator_;
  PrintHandle_t* handle_ = nullptr;
  std::vector<PrinterBuilder_t*> builders_;
};

TEST_F(EngineOps, StartingTheMonitorTwiceRaisesTheCurrentStatusOnce) {
  ASSERT_NO_FATAL_FAILURE(Open(210));
  ASSERT_TRUE(StartMonitorAndWaitForReport(handle_));
  // One member of every pair, after the whole word.
  const auto slots = EventRecorder::Get().Slots();
  ASSERT_FALSE(slots.empty());
  EXPECT_EQ(slots[0], EVENT_STATUS_CHANGE);
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_STATUS_CHANGE), 1);
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_ONLINE), 1);
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_COVER_CLOSE), 1);
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_OFFLINE), 0);
  EXPECT_EQ(EventRecorder::Get().Records()[0].value, handle_->statusFlags.load());

  ASSERT_EQ(TiloStartMonitor(nullptr, handle_), 0);
  WakeStatusMonitor(handle_);
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_STATUS_CHANGE), 1);

  // Stopped, a change raises nothing; started again, the status comes once more.
  ASSERT_EQ(TiloStopMonitor(nullptr, handle_), 0);
  Faults({.coverOpen = true});
  ASSERT_TRUE(Eventually([&] {
    WakeStatusMonitor(handle_);
    return (handle_->statusFlags & kStatusCoverOpen) != 0;
  }));
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_COVER_OPEN), 0);
  ASSERT_TRUE(StartMonitorAndWaitForReport(handle_));
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_COVER_OPEN), 1);
}

TEST_F(EngineOps, CoverOpenRaisesOfflineAndCoverOpenAndFailsTheJobs) {
  ASSERT_NO_FATAL_FAILURE(Open(211));
  ASSERT_TRUE(StartMonitorAndWaitForReport(handle_));
  Hold(true);
  ASSERT_EQ(TiloSendData(nullptr, handle_, Job("first\n"), 30000), 0);
  ASSERT_TRUE(Eventually([&] { return CountActiveJobs(handle_) == 1; }));
  EventRecorder::Get().Clear();
  Faults({.coverOpen = true});
  ASSERT_TRUE(EventRecorder::Get().WaitFor(EVENT_COVER_OPEN));
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_OFFLINE), 1);
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_POWER_OFF), 0);

  ASSERT_TRUE(ResultRecorder::Get().WaitFor(1));
  EXPECT_EQ(ResultRecorder::Get().Results()[0].code, 9);
  EXPECT_NE(ResultRecorder::Get().Results()[0].status & kStatusCoverOpen, 0u);

  // The next job finds the printer offline with a reason before sending.
  ASSERT_TRUE(Eventually([&] { return CountActiveJobs(handle_) == 0; }));
  ASSERT_EQ(TiloSendData(nullptr, handle_, Job("second\n"), 30000), 0);
  ASSERT_TRUE(ResultRecorder::Get().WaitFor(2));
  EXPECT_EQ(ResultRecorder::Get().Results()[1].code, 9);
  EXPECT_NE(ResultRecorder::Get().Results()[1].status & kStatusOffline, 0u);
  uint64_t cursor = 0;
  EXPECT_EQ(Occurrences(RenderLog(*emulator_, cursor), " 73 65 63 6F 6E 64"), 0u);  // "second"

  uint32_t status = 0;
  int32_t battery = -1;
  ASSERT_EQ(TiloGetStatus(nullptr, handle_, &status, &battery), 0);
  EXPECT_NE(status & kStatusCoverOpen, 0u);
  EXPECT_NE(status & kStatusOffline, 0u);
  Hold(false);
  Faults({});
}

TEST_F(EngineOps, PowerOffRaisesOnlyPowerOffAndEndsTheJobsWithoutResponse) {
  ASSERT_NO_FATAL_FAILURE(Open(212));
  ASSERT_TRUE(StartMonitorAndWaitForReport(handle_));
  Hold(true);
  ASSERT_EQ(TiloSendData(nullptr, handle_, Job("lost\n"), 30000), 0);
  ASSERT_TRUE(Eventually([&] { return CountActiveJobs(handle_) == 1; }));
  EventRecorder::Get().Clear();
  emulator_->state().setPowerOff(true);
  WakeStatusMonitor(handle_);
  ASSERT_TRUE(EventRecorder::Get().WaitFor(EVENT_POWER_OFF));
  for (int slot : EventRecorder::Get().Slots()) {
    EXPECT_TRUE(slot == EVENT_STATUS_CHANGE || slot == EVENT_POWER_OFF) << slot;
  }
  ASSERT_TRUE(ResultRecorder::Get().WaitFor(1));
  EXPECT_EQ(ResultRecorder::Get().Results()[0].code, 3);

  uint32_t status = 0;
  int32_t battery = -1;
  ASSERT_EQ(TiloGetStatus(nullptr, handle_, &status, &battery), 0);
  EXPECT_NE(status & kStatusNoResponse, 0u);
  EXPECT_EQ(battery, 0);
  emulator_->state().setPowerOff(false);
}

// A power-off whose interface answers the status query with a failure result:
// no status bytes, so the word says no response and nothing turns online.
TEST_F(EngineOps, StatusQueryFailureResultReportsNoResponse) {
  ASSERT_NO_FATAL_FAILURE(Open(213));
  ASSERT_TRUE(StartMonitorAndWaitForReport(handle_));
  EventRecorder::Get().Clear();
  emulator_->state().setPowerOff(true, true);
  uint32_t status = 0;
  int32_t battery = -1;
  ASSERT_EQ(TiloGetStatus(nullptr, handle_, &status, &battery), 0);
  EXPECT_EQ(status, kStatusNoResponse);
  WakeStatusMonitor(handle_);
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_ONLINE), 0);
  emulator_->state().setPowerOff(false);
}

TEST_F(EngineOps, StatusOfAHealthyPrinter) {
  ASSERT_NO_FATAL_FAILURE(Open(214, printer_emulator::Profile::Battery));
  uint32_t status = 0xFFFFFFFF;
  int32_t battery = -1;
  ASSERT_EQ(TiloGetStatus(nullptr, handle_, &status, &battery), 0);
  EXPECT_EQ(status & (kStatusNoResponse | kStatusOffline | kStatusCoverOpen), 0u);
  EXPECT_NE(battery, 0);
  EXPECT_EQ(TiloGetStatus(nullptr, handle_, nullptr, &battery), 1);
  EXPECT_EQ(TiloGetStatus(nullptr, handle_, &status, nullptr), 1);
}

TEST_F(EngineOps, TransactionEndWithoutBeginQueuesNothing) {
  ASSERT_NO_FATAL_FAILURE(Open(215));
  // The monitor's own cycles push steps too: let one finish and keep the
  // next a minute away while the log is watched.
  ASSERT_EQ(TiloSetInterval(handle_, 60000), 0);
  WakeStatusMonitor(handle_);
  io_test::LogCapture log;
  EXPECT_EQ(TiloEndTransaction(nullptr, handle_), 6);
  EXPECT_TRUE(log.lines({"Push->"}).empty());
  EXPECT_EQ(TiloBeginTransaction(nullptr, handle_), 0);
  EXPECT_EQ(TiloBeginTransaction(nullptr, handle_), 6);
  EXPECT_EQ(TiloEndTransaction(nullptr, handle_), 0);
  EXPECT_EQ(TiloEndTransaction(nullptr, handle_), 6);
}

// An interrupt-capable printer resumes the interrupted job at a transaction
// end; a printer whose support is not known yet is asked first.
TEST_F(EngineOps, TransactionEndOnAnInterruptPrinterResumesTheJob) {
  ASSERT_NO_FATAL_FAILURE(Open(216, printer_emulator::Profile::Interrupt));
  ASSERT_EQ(handle_->interruptSupport, 1);
  const std::string resume = " 1B 3D 01 1B 4A 00 0C";
  for (const bool unknownSupport : {false, true}) {
    SCOPED_TRACE(unknownSupport);
    WakeStatusMonitor(handle_);
    uint64_t cursor = 0;
    RenderLog(*emulator_, cursor);
    if (unknownSupport) handle_->interruptSupport = 0;
    ASSERT_EQ(TiloBeginTransaction(nullptr, handle_), 0);
    ASSERT_EQ(TiloEndTransaction(nullptr, handle_), 0);
    // The emulator logs what it read a moment after the write returned.
    std::string log;
    ASSERT_TRUE(Eventually([&] {
      log += RenderLog(*emulator_, cursor);
      return log.find(resume) != std::string::npos;
    })) << log;
    EXPECT_EQ(Occurrences(log, resume), 1u) << log;
    if (unknownSupport) {
      EXPECT_TRUE(InOrder(log, {" 10 04 12 01", resume}));
    } else {
      EXPECT_EQ(Occurrences(log, " 10 04 12 01"), 0u) << log;
    }
    EXPECT_EQ(handle_->interruptSupport, 1);
  }
}

TEST_F(EngineOps, EventCallbackOnTheQueueThreadGetsBusy) {
  ASSERT_NO_FATAL_FAILURE(Open(217));
  ASSERT_TRUE(StartMonitorAndWaitForReport(handle_));
  std::atomic<int> answer{-1};
  EventRecorder::Get().SetHook([&](PrintHandle_t* handle, int slot) {
    if (slot != EVENT_COVER_OPEN || answer != -1) return;
    uint32_t status = 0;
    int32_t battery = 0;
    answer = TiloGetStatus(nullptr, handle, &status, &battery);
  });
  io_test::LogCapture log;
  Faults({.coverOpen = true});
  WakeStatusMonitor(handle_);
  ASSERT_TRUE(EventRecorder::Get().WaitFor(EVENT_COVER_OPEN));
  EXPECT_EQ(answer, 7);
  EXPECT_FALSE(log.lines({"ERROR", "tiloprint_common_public"}).empty());
  EventRecorder::Get().SetHook(nullptr);
  Faults({});
}

TEST(EngineOpsArguments, RefusalsNeedNoPrinter) {
  PrintHandle_t* closed = nullptr;
  ASSERT_EQ(TiloCreateHandle(&closed), 0);
  PrinterBuilder_t* builder = nullptr;
  ASSERT_EQ(TiloCreateBuilder(&builder, "RP-S3", 0), 0);
  int unknownStorage = 0;
  auto* unknown = reinterpret_cast<PrintHandle_t*>(&unknownStorage);

  struct SendCase {
    PrintHandle_t* handle;
    PrinterBuilder_t* builder;
    int32_t timeout;
    int expected;
  };
  const SendCase sends[] = {
      {closed, builder, -2, 1},   {closed, builder, 600001, 1}, {nullptr, builder, 1000, 1},
      {closed, nullptr, 1000, 1}, {unknown, builder, 1000, 1},  {closed, builder, 600000, 6},
  };
  for (const auto& c : sends) {
    EXPECT_EQ(TiloSendData(nullptr, c.handle, c.builder, c.timeout), c.expected) << c.timeout;
  }
  uint32_t status = 0;
  int32_t battery = 0;
  EXPECT_EQ(TiloGetStatus(nullptr, unknown, &status, &battery), 1);
  EXPECT_EQ(TiloGetStatus(nullptr, closed, &status, &battery), 6);
  EXPECT_EQ(TiloBeginTransaction(nullptr, closed), 6);
  EXPECT_EQ(TiloEndTransaction(nullptr, unknown), 1);
  EXPECT_EQ(TiloStartMonitor(nullptr, unknown), 1);
  EXPECT_EQ(TiloStopMonitor(nullptr, unknown), 1);

  struct IntervalCase {
    int32_t interval;
    int expected;
    int32_t stored;
  };
  const IntervalCase intervals[] = {
      {999, 1, 3000}, {60001, 1, 3000}, {1000, 0, 1000}, {60000, 0, 60000}, {-2, 0, 3000},
  };
  for (const auto& c : intervals) {
    EXPECT_EQ(TiloSetInterval(closed, c.interval), c.expected) << c.interval;
    EXPECT_EQ(GetMonitorInterval(closed), c.stored) << c.interval;
  }
  EXPECT_EQ(TiloSetInterval(unknown, 1000), 1);
  EXPECT_EQ(TiloDestroyBuilder(builder), 0);
  EXPECT_EQ(TiloDestroyHandle(closed), 0);
}

}  // namespace
