// A printer record driven end to end over the direct backend against the
// printer emulator: connect, jobs and their results, a connection that
// vanished before a send, status events, and refusals.
//
// Addresses (io_test::address): 470-489.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "device/command_list.h"
#include "device/printer_access.h"
#include "device/printer_module.h"
#include "device/printer_operations.h"
#include "engine/builder_records.h"
#include "engine/engine_ops.h"
#include "engine/shared_connection.h"
#include "engine/status_monitor.h"

using namespace tilo2::core;

namespace {

constexpr auto kDeadline = std::chrono::seconds(30);
constexpr int32_t kSeriesS3B = 6;

struct ResultSeen {
  int32_t code;
  int32_t connection;
  bool jobIdNull;
  std::thread::id thread;
};

struct EventSeen {
  int32_t event;
  std::thread::id thread;
};

// What the record's callbacks reported, with the thread each ran on.
class Recorder {
 public:
  static void OnStatus(void*, int32_t event, void* user) {
    auto* self = static_cast<Recorder*>(user);
    std::function<void(int32_t)> hook;
    {
      std::lock_guard lock(self->mutex_);
      self->events_.push_back({event, std::this_thread::get_id()});
      hook = self->hook_;
    }
    self->changed_.notify_all();
    if (hook) hook(event);
  }
  // Runs on the callback's thread after each status event.
  void SetHook(std::function<void(int32_t)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
  }
  static void OnResult(void*, int32_t code, TdcStatus_t* status, const char* jobId, void* user) {
    auto* self = static_cast<Recorder*>(user);
    {
      std::lock_guard lock(self->mutex_);
      self->results_.push_back(
          {code, status ? status->connection : -99, jobId == nullptr, std::this_thread::get_id()});
    }
    self->changed_.notify_all();
  }

  bool WaitResults(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return results_.size() >= count; });
  }
  bool WaitEvent(int32_t event) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] {
      for (const auto& e : events_) {
        if (e.event == event) return true;
      }
      return false;
    });
  }
  std::vector<ResultSeen> Results() {
    std::lock_guard lock(mutex_);
    return results_;
  }
  std::vector<EventSeen> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ResultSeen> results_;
  std::vector<EventSeen> events_;
  std::function<void(int32_t)> hook_;
};

using io_test::Contains;
using io_test::Count;
using io_test::Eventually;
using io_test::PrinterBytes;

// A registered printer record of series S3B with recording callbacks, and
// the emulator on the test's address.
class PrinterDirect : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto* record : records_) {
      if (TdcReadPrinterState(record).handle != nullptr) {
        // A job still out keeps the connection; wait for its end first.
        EXPECT_TRUE(Eventually([&] { return TdcDisconnectPrinter(nullptr, record) != 7; }));
      }
      EXPECT_EQ(TdcDestroyPrinter(record), 0);
    }
    if (emulator_) emulator_->stop();
  }

  void Start(int n) {
    emulator_ = io_test::startEmulator(n);
    ASSERT_NE(emulator_, nullptr);
    target_ = "TCP:" + io_test::address(n);
  }

  TdcPrinter_t* NewRecord() {
    Recorder* recorder = &recorder_;
    TdcPrinter_t* record = nullptr;
    EXPECT_EQ(TdcCreatePrinter(&record, kSeriesS3B, 0), 0);
    if (record == nullptr) return nullptr;
    TdcRegisterPrinter(record);
    record->statusCallback = &Recorder::OnStatus;
    record->statusUser = recorder;
    record->receiveCallback = &Recorder::OnResult;
    record->receiveUser = recorder;
    records_.push_back(record);
    return record;
  }

  static PrintHandle_t* Handle(TdcPrinter_t* record) {
    return static_cast<PrintHandle_t*>(TdcReadPrinterState(record).handle);
  }

  static void AddReceipt(TdcPrinter_t* record, const char* text) {
    TdcCommandList_t* list = &record->commands.commandList;
    ASSERT_EQ(TdcAddPrinterCommandText(list, text), 0);
    ASSERT_EQ(TdcAddPrinterCommandInt(list, TDC_CMD_CUT, kTdcDefault), 0);
  }

  // Outlives the records: TearDown's destroy waits for their last callback.
  Recorder recorder_;
  std::unique_ptr<printer_emulator::PrinterEmulator> emulator_;
  std::string target_;
  std::vector<TdcPrinter_t*> records_;
};

TEST_F(PrinterDirect, SendsTextAndACutAndReportsSuccessOnAnotherThread) {
  ASSERT_NO_FATAL_FAILURE(Start(470));
  TdcPrinter_t* record = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, record, target_.c_str(), nullptr, -2), 0);
  EXPECT_EQ(TdcReadPrinterState(record).mode, TDC_MODE_DIRECT);
  EXPECT_EQ(record->settings->portType, TDC_PORT_TCP);
  EXPECT_EQ(TdcFindPrinter(Handle(record)), record);
  TdcReleasePrinter(record);

  AddReceipt(record, "Tilo receipt 470\n");
  ASSERT_EQ(TdcSendPrinterData(nullptr, record, -2), 0);
  ASSERT_TRUE(recorder_.WaitResults(1));
  const ResultSeen first = recorder_.Results()[0];
  EXPECT_EQ(first.code, TDC_CB_SUCCESS);
  EXPECT_EQ(first.connection, 1);
  EXPECT_NE(first.thread, std::this_thread::get_id());

  ASSERT_TRUE(emulator_->waitForTcpBytes(1, kDeadline));
  ASSERT_TRUE(Eventually([&] { return Contains(PrinterBytes(*emulator_), "Tilo receipt 470"); }));
  const auto bytes = PrinterBytes(*emulator_);
  const auto text = std::search(bytes.begin(), bytes.end(), std::begin("Tilo receipt 470"),
                                std::end("Tilo receipt 470") - 1);
  // The cut (GS V) follows the text within the same job.
  EXPECT_TRUE(std::search(text, bytes.end(), std::begin("\x1d\x56"), std::end("\x1d\x56") - 1) !=
              bytes.end());

  // The list stays after a send: the next send prints it again.
  ASSERT_EQ(TdcSendPrinterData(nullptr, record, 5000), 0);
  ASSERT_TRUE(recorder_.WaitResults(2));
  EXPECT_EQ(recorder_.Results()[1].code, TDC_CB_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return Count(PrinterBytes(*emulator_), "Tilo receipt 470") == 2; }));
}

TEST_F(PrinterDirect, EmptyListSendsNothingAndStatusSeesAHealthyPrinter) {
  ASSERT_NO_FATAL_FAILURE(Start(471));
  TdcPrinter_t* record = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, record, target_.c_str(), nullptr, 5000), 0);
  EXPECT_EQ(TdcSendPrinterData(nullptr, record, -2), TDC_ERR_ILLEGAL);

  TdcStatus_t* status = TdcGetPrinterStatus(nullptr, record);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->connection, 1);
  EXPECT_EQ(status->online, 1);
  EXPECT_EQ(status->coverOpen, 0);
  std::free(status);
  EXPECT_TRUE(recorder_.Results().empty());
}

// The printer stopped answering and another user of its address replaced the
// stale connection: the record's next send does not fail, the app gets a
// port error on another thread before the send returns.
TEST_F(PrinterDirect, SendOnAVanishedConnectionReportsAPortErrorBeforeReturning) {
  ASSERT_NO_FATAL_FAILURE(Start(472));
  TdcPrinter_t* record = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, record, target_.c_str(), nullptr, 5000), 0);
  PrintHandle_t* stale = Handle(record);
  ASSERT_EQ(TiloSetInterval(stale, 60000), 0);
  WakeStatusMonitor(stale);
  ASSERT_EQ(TiloStartMonitor(nullptr, stale), 0);
  // The monitor raises its first report after a cycle of its own: once it is
  // out, the next user's wake is the cycle that finds the printer silent.
  ASSERT_TRUE(recorder_.WaitEvent(0));
  ASSERT_TRUE(recorder_.WaitEvent(3));
  // Silent for the whole check the next user makes, which asks the printer
  // itself: power returns once the stale connection is gone.
  emulator_->state().setPowerOff(true);
  std::thread powerBack([&] {
    if (emulator_->waitForNoClient(std::chrono::seconds(10))) {
      emulator_->state().setPowerOff(false);
    }
  });

  PrintHandle_t* fresh = nullptr;
  const int acquired = AcquireSharedConnection(nullptr, kSharedUserHybrid, 0,
                                               io_test::address(472).c_str(), 5000, &fresh);
  powerBack.join();
  EXPECT_EQ(acquired, 0);
  ASSERT_FALSE(IsConnectionOpen(stale));
  emulator_->state().setPowerOff(false);

  AddReceipt(record, "never printed\n");
  ASSERT_EQ(TdcSendPrinterData(nullptr, record, -2), 0);
  // Delivered before the send returned.
  const auto results = recorder_.Results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TDC_CB_PORT);
  EXPECT_EQ(results[0].connection, 0);
  EXPECT_TRUE(results[0].jobIdNull);
  EXPECT_NE(results[0].thread, std::this_thread::get_id());
  EXPECT_FALSE(Contains(PrinterBytes(*emulator_), "never printed"));

  if (acquired == 0) {
    EXPECT_EQ(ReleaseSharedConnection(nullptr, kSharedUserHybrid, fresh), 0);
  }
}

// The first report of a monitoring start comes from the monitor thread, not
// from the caller, which does not wait for a monitor cycle.
TEST_F(PrinterDirect, MonitorStartReportsOnceFromTheMonitorAndACoverOpenGivesEvent4) {
  ASSERT_NO_FATAL_FAILURE(Start(473));
  TdcPrinter_t* record = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, record, target_.c_str(), nullptr, 5000), 0);
  ASSERT_EQ(TdcStartMonitor(nullptr, record), 0);
  ASSERT_TRUE(recorder_.WaitEvent(0));
  ASSERT_TRUE(recorder_.WaitEvent(3));
  const auto atStart = recorder_.Events();
  int online = 0;
  int coverClose = 0;
  for (const auto& e : atStart) {
    EXPECT_NE(e.thread, std::this_thread::get_id()) << "event " << e.event;
    online += e.event == 0 ? 1 : 0;
    coverClose += e.event == 3 ? 1 : 0;
  }
  EXPECT_EQ(online, 1);
  EXPECT_EQ(coverClose, 1);

  emulator_->state().setFaults({.coverOpen = true});
  WakeStatusMonitor(Handle(record));
  ASSERT_TRUE(recorder_.WaitEvent(4));
  const auto events = recorder_.Events();
  for (size_t i = atStart.size(); i < events.size(); ++i) {
    EXPECT_NE(events[i].thread, std::this_thread::get_id());
  }
  EXPECT_EQ(TdcStopMonitor(nullptr, record), 0);
  emulator_->state().setFaults({});
}

// A handler that destroys its record in the first report of a monitoring
// start, which the monitor thread raises: nothing hangs, and the record is gone.
TEST_F(PrinterDirect, HandlerDestroyingItsRecordDuringTheMonitorStart) {
  ASSERT_NO_FATAL_FAILURE(Start(476));
  TdcPrinter_t* record = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, record, target_.c_str(), nullptr, 5000), 0);
  const TdcPrinterState_t state = TdcReadPrinterState(record);
  std::atomic<bool> destroyed{false};
  recorder_.SetHook([&](int32_t) {
    if (!destroyed.exchange(true)) {
      EXPECT_EQ(TdcDestroyPrinter(record), 0);
    }
  });
  records_.erase(std::find(records_.begin(), records_.end(), record));
  EXPECT_EQ(TdcStartMonitor(nullptr, record), 0);
  EXPECT_TRUE(Eventually([&] { return destroyed.load(); }));
  recorder_.SetHook(nullptr);
  EXPECT_EQ(TdcFindPrinter(state.handle), nullptr);

  // The record is gone without a disconnect: leave its connection by hand.
  auto* handle = static_cast<PrintHandle_t*>(state.handle);
  EXPECT_TRUE(Eventually(
      [&] { return ReleaseSharedConnection(nullptr, kSharedUserPrinter, handle) != 7; }));
  TiloDestroyBuilder(static_cast<PrinterBuilder_t*>(state.builder));
}

TEST_F(PrinterDirect, ASecondRecordOnTheSameAddressIsRefusedUntilTheFirstLeaves) {
  ASSERT_NO_FATAL_FAILURE(Start(474));
  TdcPrinter_t* first = NewRecord();
  TdcPrinter_t* second = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, first, target_.c_str(), nullptr, 5000), 0);
  EXPECT_EQ(TdcConnectPrinter(nullptr, second, target_.c_str(), nullptr, 5000), TDC_ERR_CONNECT);
  EXPECT_EQ(TdcReadPrinterState(second).mode, TDC_MODE_CLOSED);
  EXPECT_EQ(TdcReadPrinterState(second).handle, nullptr);
  EXPECT_EQ(second->settings->portType, kTdcNone);
  EXPECT_EQ(second->commands.ops, nullptr);

  // A connected record refuses a second connect before looking at the target.
  EXPECT_EQ(TdcConnectPrinter(nullptr, first, "no prefix", nullptr, 5000), TDC_ERR_ILLEGAL);

  ASSERT_EQ(TdcDisconnectPrinter(nullptr, first), 0);
  EXPECT_EQ(TdcReadPrinterState(first).mode, TDC_MODE_CLOSED);
  EXPECT_EQ(first->commands.ops, nullptr);
  EXPECT_EQ(TdcDisconnectPrinter(nullptr, first), TDC_ERR_ILLEGAL);
  ASSERT_EQ(TdcConnectPrinter(nullptr, second, target_.c_str(), nullptr, 5000), 0);
  EXPECT_EQ(TdcReadPrinterState(second).mode, TDC_MODE_DIRECT);
}

// Refusals that need no printer: nothing is connected, nothing allocated.
TEST(PrinterDirectRefusals, ConnectArgumentsAndTargets) {
  struct Case {
    int32_t series;
    const char* target;
    int32_t timeout;
    int expected;
  };
  const Case cases[] = {
      {6, "TCP:127.0.1.235", 999, TDC_ERR_PARAM},
      {6, "TCP:127.0.1.235", 300001, TDC_ERR_PARAM},
      {6, nullptr, 5000, TDC_ERR_PARAM},
      {6, "no prefix here", 5000, TDC_ERR_PARAM},
      {6, "TCPS:127.0.1.235", 5000, TDC_ERR_PARAM},  // TLS only with a device id
      {6, "BT:00:11:22:33:44:55[p1]", 5000, TDC_ERR_TYPE_INVALID},
      {6, "USB:x[p1]", 5000, TDC_ERR_TYPE_INVALID},
      {14, "USB:anything", 5000, TDC_ERR_TYPE_INVALID},  // no direct model
      {17, "TCP:127.0.1.235", 5000, TDC_ERR_TYPE_INVALID},
      {-3, "TCP:127.0.1.235", 5000, TDC_ERR_PARAM},  // no model row
  };
  for (const auto& c : cases) {
    TdcPrinter_t* record = nullptr;
    ASSERT_EQ(TdcCreatePrinter(&record, c.series, 0), 0);
    EXPECT_EQ(TdcConnectPrinter(nullptr, record, c.target, nullptr, c.timeout), c.expected)
        << c.series << " " << (c.target ? c.target : "(null)") << " " << c.timeout;
    EXPECT_EQ(TdcReadPrinterState(record).mode, TDC_MODE_CLOSED);
    EXPECT_EQ(record->settings->portType, kTdcNone);
    EXPECT_EQ(record->commands.ops, nullptr);
    EXPECT_EQ(TdcDestroyPrinter(record), 0);
  }
}

TEST(PrinterDirectRefusals, OperationsOfAnUnconnectedRecord) {
  EXPECT_EQ(TdcCreatePrinter(nullptr, 6, 0), TDC_ERR_PARAM);
  EXPECT_EQ(TdcDestroyPrinter(nullptr), TDC_ERR_PARAM);
  TdcPrinter_t* record = nullptr;
  ASSERT_EQ(TdcCreatePrinter(&record, 6, 0), 0);
  EXPECT_EQ(record->interval, 3000);
  EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(TdcSendPrinterData(nullptr, nullptr, -2), TDC_ERR_PARAM);
  EXPECT_EQ(TdcSendPrinterData(nullptr, record, 4999), TDC_ERR_PARAM);
  EXPECT_EQ(TdcSendPrinterData(nullptr, record, 600001), TDC_ERR_PARAM);
  EXPECT_EQ(TdcSendPrinterData(nullptr, record, -2), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcDisconnectPrinter(nullptr, record), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcRequestPrintJobStatus(nullptr, record, nullptr), TDC_ERR_PARAM);
  EXPECT_EQ(TdcRequestPrintJobStatus(nullptr, record, "job"), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcForceStopSound(nullptr, record, 1000), TDC_ERR_ILLEGAL);
  const uint8_t bytes[] = {0x1b, 0x40};
  EXPECT_EQ(TdcForcePrinterCommand(nullptr, record, nullptr, 2, 1000), TDC_ERR_PARAM);
  EXPECT_EQ(TdcForcePrinterCommand(nullptr, record, bytes, 0, 1000), TDC_ERR_PARAM);
  EXPECT_EQ(TdcForcePrinterCommand(nullptr, record, bytes, 2, 1000), TDC_ERR_ILLEGAL);
  TdcStatus_t* status = TdcGetPrinterStatus(nullptr, record);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->connection, 0);
  EXPECT_EQ(status->online, kTdcNone);
  std::free(status);
  EXPECT_EQ(TdcDestroyPrinter(record), 0);
}

TEST_F(PrinterDirect, ImmediateOperationsAreTheServiceOnes) {
  ASSERT_NO_FATAL_FAILURE(Start(475));
  TdcPrinter_t* record = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, record, target_.c_str(), nullptr, 5000), 0);
  const uint8_t bytes[] = {0x1b, 0x40};
  EXPECT_EQ(TdcForceStopSound(nullptr, record, 1000), TDC_ERR_UNSUPPORTED);
  EXPECT_EQ(TdcForceStopSound(nullptr, record, 600001), TDC_ERR_PARAM);
  EXPECT_EQ(TdcForcePrinterCommand(nullptr, record, bytes, 2, -2), TDC_ERR_UNSUPPORTED);
  EXPECT_EQ(TdcRequestPrintJobStatus(nullptr, record, "job-1"), 0);
}

}  // namespace
