// The shared connection list against the printer emulator: who opens, who
// joins and who closes, the display's probe, a silent printer replaced by a
// fresh connection, and one handle used from four threads at once.

#include "engine/shared_connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "connection_test_support.h"
#include "engine/builder_records.h"
#include "engine/engine_ops.h"
#include "engine/job_wait.h"
#include "engine/status_monitor.h"

using namespace tilo2::core;
using namespace connection_test;

namespace {

constexpr uint32_t kPrinter = kSharedUserPrinter;
constexpr uint32_t kDisplay = kSharedUserDisplay;
constexpr uint32_t kHybrid = kSharedUserHybrid;

// Byte 0 bit 1 of the online status: no display answers behind the printer.
void SetDisplayOffline(printer_emulator::PrinterEmulator& emulator, bool offline) {
  std::array<uint8_t, 13> status{};
  status[0] = offline ? 0x02 : 0x00;
  emulator.state().setOnlineStatus(status);
}

TEST(SharedConnection, FirstUserOpensOthersJoinLastUserCloses) {
  auto emulator = io_test::startEmulator(225);
  ASSERT_NE(emulator, nullptr);
  const std::string address = io_test::address(225);
  PrintHandle_t* printer = nullptr;
  ASSERT_EQ(AcquireSharedConnection(nullptr, kPrinter, 0, address.c_str(), 5000, &printer), 0);
  PrintHandle_t* hybrid = nullptr;
  ASSERT_EQ(AcquireSharedConnection(nullptr, kHybrid, 0, address.c_str(), 5000, &hybrid), 0);
  EXPECT_EQ(hybrid, printer);
  PrintHandle_t* again = nullptr;
  EXPECT_EQ(AcquireSharedConnection(nullptr, kPrinter, 0, address.c_str(), 5000, &again), 2);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(emulator->clientsAccepted(), 1);
  EXPECT_EQ(GetDisconnectedInfo(printer), 0);

  // Leaving as a user one is not changes nothing.
  EXPECT_EQ(ReleaseSharedConnection(nullptr, kDisplay, printer), 1);
  ASSERT_EQ(ReleaseSharedConnection(nullptr, kPrinter, printer), 0);
  EXPECT_EQ(ReleaseSharedConnection(nullptr, kPrinter, printer), 1);
  EXPECT_TRUE(emulator->clientConnected());
  EXPECT_TRUE(CheckHandleList(printer));
  ASSERT_EQ(ReleaseSharedConnection(nullptr, kHybrid, printer), 0);
  EXPECT_FALSE(CheckHandleList(printer));
  EXPECT_TRUE(emulator->waitForNoClient(kDeadline));
  EXPECT_EQ(ReleaseSharedConnection(nullptr, kHybrid, printer), 1);
}

TEST(SharedConnection, DisplayJoinsOnlyWhileTheProbeSeesIt) {
  auto emulator = io_test::startEmulator(226);
  ASSERT_NE(emulator, nullptr);
  const std::string address = io_test::address(226);
  PrintHandle_t* display = nullptr;

  // As the first user: the new connection is closed again.
  SetDisplayOffline(*emulator, true);
  EXPECT_EQ(AcquireSharedConnection(nullptr, kDisplay, 0, address.c_str(), 5000, &display), 2);
  EXPECT_EQ(display, nullptr);
  EXPECT_TRUE(emulator->waitForNoClient(kDeadline));

  // Behind a printer: refused, and the printer keeps its connection untouched.
  PrintHandle_t* printer = nullptr;
  ASSERT_EQ(AcquireSharedConnection(nullptr, kPrinter, 0, address.c_str(), 5000, &printer), 0);
  EXPECT_EQ(AcquireSharedConnection(nullptr, kDisplay, 0, address.c_str(), 5000, &display), 2);
  EXPECT_EQ(display, nullptr);
  EXPECT_EQ(ReleaseSharedConnection(nullptr, kDisplay, printer), 1);

  SetDisplayOffline(*emulator, false);
  ASSERT_EQ(AcquireSharedConnection(nullptr, kDisplay, 0, address.c_str(), 5000, &display), 0);
  EXPECT_EQ(display, printer);
  EXPECT_EQ(emulator->clientsAccepted(), 2);
  ASSERT_EQ(ReleaseSharedConnection(nullptr, kDisplay, display), 0);
  ASSERT_EQ(ReleaseSharedConnection(nullptr, kPrinter, printer), 0);
  EXPECT_TRUE(emulator->waitForNoClient(kDeadline));
}

// A printer that stopped answering: the next user closes the stale
// connection, marks its node and opens a fresh one; the old users leave later
// without closing anything twice.
TEST(SharedConnection, SilentPrinterIsReplacedByAFreshConnection) {
  auto emulator = io_test::startEmulator(227);
  ASSERT_NE(emulator, nullptr);
  const std::string address = io_test::address(227);
  PrintHandle_t* stale = nullptr;
  ASSERT_EQ(AcquireSharedConnection(nullptr, kPrinter, 0, address.c_str(), 5000, &stale), 0);

  // The printer falls silent for exactly the check the next acquire makes:
  // power returns as soon as the stale handle reports no response.
  ASSERT_EQ(TiloSetInterval(stale, 60000), 0);
  WakeStatusMonitor(stale);
  EventRecorder::Get().Clear();
  RecordEvents(stale);
  ASSERT_TRUE(StartMonitorAndWaitForReport(stale));
  EventRecorder::Get().SetHook([&](PrintHandle_t* handle, int slot) {
    if (handle == stale && slot == EVENT_POWER_OFF) emulator->state().setPowerOff(false);
  });
  emulator->state().setPowerOff(true);

  PrintHandle_t* fresh = nullptr;
  ASSERT_EQ(AcquireSharedConnection(nullptr, kPrinter, 0, address.c_str(), 5000, &fresh), 0);
  EXPECT_NE(fresh, stale);
  EXPECT_EQ(stale->connection, nullptr);
  EXPECT_EQ(GetDisconnectedInfo(stale), 1);
  EXPECT_EQ(GetDisconnectedInfo(fresh), 0);
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_POWER_OFF), 1);
  EventRecorder::Get().SetHook(nullptr);
  EXPECT_EQ(emulator->clientsAccepted(), 2);

  // The stale node is never joined again.
  PrintHandle_t* hybrid = nullptr;
  ASSERT_EQ(AcquireSharedConnection(nullptr, kHybrid, 0, address.c_str(), 5000, &hybrid), 0);
  EXPECT_EQ(hybrid, fresh);

  ASSERT_EQ(ReleaseSharedConnection(nullptr, kPrinter, stale), 0);
  EXPECT_FALSE(CheckHandleList(stale));
  EXPECT_TRUE(emulator->clientConnected());
  uint32_t status = 0;
  int32_t battery = 0;
  EXPECT_EQ(TiloGetStatus(nullptr, fresh, &status, &battery), 0);
  EXPECT_EQ(status & kStatusNoResponse, 0u);
  ASSERT_EQ(ReleaseSharedConnection(nullptr, kPrinter, fresh), 0);
  ASSERT_EQ(ReleaseSharedConnection(nullptr, kHybrid, fresh), 0);
  EXPECT_TRUE(emulator->waitForNoClient(kDeadline));
}

TEST(SharedConnection, LastUserCannotLeaveWhileAJobIsOut) {
  auto emulator = io_test::startEmulator(228);
  ASSERT_NE(emulator, nullptr);
  const std::string address = io_test::address(228);
  PrintHandle_t* printer = nullptr;
  ASSERT_EQ(AcquireSharedConnection(nullptr, kPrinter, 0, address.c_str(), 5000, &printer), 0);
  ResultRecorder::Get().Clear();
  RecordResults(printer);
  emulator->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(true); });
  PrinterBuilder_t* builder = nullptr;
  ASSERT_EQ(TiloCreateBuilder(&builder, "RP-S3", 0), 0);
  PrnCmdAddText(builder->builder.get(), "held\n");
  ASSERT_EQ(TiloSendData(nullptr, printer, builder, 30000), 0);
  ASSERT_TRUE(Eventually([&] { return CountActiveJobs(printer) == 1; }));

  EXPECT_EQ(ReleaseSharedConnection(nullptr, kPrinter, printer), 7);
  EXPECT_TRUE(CheckHandleList(printer));
  EXPECT_TRUE(emulator->clientConnected());
  emulator->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(false); });
  ASSERT_TRUE(ResultRecorder::Get().WaitFor(1));
  ASSERT_TRUE(Eventually([&] { return CountActiveJobs(printer) == 0; }));
  // The user bit stayed: the same user leaves now.
  EXPECT_EQ(ReleaseSharedConnection(nullptr, kPrinter, printer), 0);
  EXPECT_TRUE(emulator->waitForNoClient(kDeadline));
  EXPECT_EQ(TiloDestroyBuilder(builder), 0);
}

TEST(SharedConnection, RefusalsNeedNoPrinter) {
  PrintHandle_t* out = nullptr;
  EXPECT_EQ(AcquireSharedConnection(nullptr, kPrinter, 0, nullptr, 5000, &out), 1);
  EXPECT_EQ(AcquireSharedConnection(nullptr, kPrinter, 0, "127.0.0.229", 5000, nullptr), 1);
  EXPECT_EQ(AcquireSharedConnection(nullptr, 3, 0, "127.0.0.229", 5000, &out), 1);
  EXPECT_EQ(out, nullptr);
  int unknownStorage = 0;
  auto* unknown = reinterpret_cast<PrintHandle_t*>(&unknownStorage);
  EXPECT_EQ(ReleaseSharedConnection(nullptr, kPrinter, nullptr), 1);
  EXPECT_EQ(ReleaseSharedConnection(nullptr, kPrinter, unknown), 1);
  EXPECT_EQ(GetDisconnectedInfo(nullptr), 0);
  EXPECT_EQ(CloseAndDestroyHandle(nullptr, nullptr), 1);
  EXPECT_FALSE(ProbeSharedConnection(nullptr));
}

// On Bluetooth the display's presence is what the printer told the status
// steps; the other kinds ask the open connection, which a closed handle lacks.
TEST(SharedConnection, ProbeOfAHandleWithoutConnection) {
  struct Case {
    int32_t connectionType;
    int32_t displayConnected;
    bool expected;
  };
  const Case cases[] = {
      {1, 1, true}, {1, 0, false}, {1, 2, false}, {0, 1, false}, {2, 1, false},
  };
  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(TiloCreateHandle(&handle), 0);
  for (const auto& c : cases) {
    handle->connectionType = c.connectionType;
    handle->displayConnected = c.displayConnected;
    EXPECT_EQ(ProbeSharedConnection(handle), c.expected)
        << c.connectionType << " " << c.displayConnected;
  }
  EXPECT_EQ(TiloDestroyHandle(handle), 0);
}

// Jobs, status queries, the event switch and a display joining and leaving,
// all on one handle at once: every job reports exactly once.
TEST(SharedConnection, FourThreadsOnOneHandle) {
  auto emulator = io_test::startEmulator(230);
  ASSERT_NE(emulator, nullptr);
  const std::string address = io_test::address(230);
  PrintHandle_t* printer = nullptr;
  ASSERT_EQ(AcquireSharedConnection(nullptr, kPrinter, 0, address.c_str(), 5000, &printer), 0);
  ResultRecorder::Get().Clear();
  RecordResults(printer);
  RecordEvents(printer);
  constexpr int kJobs = 8;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};

  std::thread jobs([&] {
    PrinterBuilder_t* builder = nullptr;
    if (TiloCreateBuilder(&builder, "RP-S3", 0) != 0) return;
    PrnCmdAddText(builder->builder.get(), "shared\n");
    for (int i = 0; i < kJobs; ++i) {
      if (TiloSendData(nullptr, printer, builder, 30000) != 0) ++failures;
    }
    ResultRecorder::Get().WaitFor(kJobs);
    TiloDestroyBuilder(builder);
  });
  std::thread status([&] {
    while (!done) {
      uint32_t word = 0;
      int32_t battery = 0;
      if (TiloGetStatus(nullptr, printer, &word, &battery) != 0) ++failures;
    }
  });
  std::thread monitor([&] {
    while (!done) {
      if (TiloStartMonitor(nullptr, printer) != 0) ++failures;
      if (TiloStopMonitor(nullptr, printer) != 0) ++failures;
    }
  });
  std::thread display([&] {
    while (!done) {
      PrintHandle_t* joined = nullptr;
      if (AcquireSharedConnection(nullptr, kDisplay, 0, address.c_str(), 5000, &joined) != 0 ||
          joined != printer || ReleaseSharedConnection(nullptr, kDisplay, joined) != 0) {
        ++failures;
      }
    }
  });
  jobs.join();
  done = true;
  status.join();
  monitor.join();
  display.join();

  EXPECT_EQ(failures, 0);
  ASSERT_TRUE(Eventually([&] { return CountActiveJobs(printer) == 0; }));
  const auto results = ResultRecorder::Get().Results();
  EXPECT_EQ(results.size(), static_cast<size_t>(kJobs));
  for (const auto& r : results) EXPECT_EQ(r.code, 0);
  EXPECT_EQ(ReleaseSharedConnection(nullptr, kPrinter, printer), 0);
  EXPECT_TRUE(emulator->waitForNoClient(kDeadline));
}

}  // namespace
