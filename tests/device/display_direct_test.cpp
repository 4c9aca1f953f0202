// A line display record on the direct backend against the printer emulator:
// display jobs over the printer's connection and their results, sharing the
// connection with the printer, refusals, and a connection that vanished
// before a send.
//
// Addresses (io_test::address): 1070-1089.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "device/display_module.h"
#include "engine/engine_ops.h"
#include "engine/print_handle.h"
#include "engine/shared_connection.h"
#include "engine/status_monitor.h"

using namespace tilo2::core;

namespace {

constexpr auto kDeadline = std::chrono::seconds(30);

struct Seen {
  int32_t code;
  std::thread::id thread;
};

class Recorder {
 public:
  static void OnReceive(void*, int32_t code, void* user) {
    auto* self = static_cast<Recorder*>(user);
    {
      std::lock_guard lock(self->mutex_);
      self->seen_.push_back({code, std::this_thread::get_id()});
    }
    self->changed_.notify_all();
  }
  static void OnConnection(void*, int32_t event, void* user) {
    auto* self = static_cast<Recorder*>(user);
    std::lock_guard lock(self->mutex_);
    self->events_.push_back(event);
  }
  bool WaitResults(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return seen_.size() >= count; });
  }
  std::vector<Seen> Results() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  std::vector<int32_t> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Seen> seen_;
  std::vector<int32_t> events_;
};

// Bytes the display behind the printer took in.
std::vector<uint8_t> DisplayBytes(printer_emulator::PrinterEmulator& emulator) {
  std::vector<uint8_t> bytes;
  uint64_t cursor = 0;
  for (const auto& entry : emulator.readLog(cursor)) {
    if (entry.fromPrinter || entry.channel != printer_emulator::LogChannel::TcpDisplay) continue;
    bytes.insert(bytes.end(), entry.bytes.begin(), entry.bytes.end());
  }
  return bytes;
}

int32_t Status(TdcLineDisplay_t* record) {
  int32_t* online = TdcGetLineDisplayStatus(nullptr, record);
  if (online == nullptr) return -1;
  const int32_t value = *online;
  std::free(online);
  return value;
}

using io_test::Contains;
using io_test::Count;
using io_test::Eventually;

class LineDisplayDirect : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto* record : records_) {
      if (record->handle != nullptr) {
        // A display job still out keeps the connection; wait for its end first.
        EXPECT_TRUE(Eventually([&] { return TdcDisconnectLineDisplay(nullptr, record) != 2; }));
      }
      TdcClearLineDisplayCommands(&record->commands);
      TdcUnregisterLineDisplay(nullptr, record);
      EXPECT_EQ(TdcDestroyLineDisplay(record), 0);
    }
    if (emulator_) emulator_->stop();
  }

  void Start(int n) {
    emulator_ = io_test::startEmulator(n);
    ASSERT_NE(emulator_, nullptr);
    target_ = "TCP:" + io_test::address(n);
  }

  TdcLineDisplay_t* NewRecord(int32_t series = 0) {
    auto* record = static_cast<TdcLineDisplay_t*>(std::calloc(1, sizeof(TdcLineDisplay_t)));
    record->mode = TDC_MODE_NEVER_CONNECTED;
    record->series = series;
    record->onReceive = &Recorder::OnReceive;
    record->onReceiveUser = &recorder_;
    record->onConnection = &Recorder::OnConnection;
    record->onConnectionUser = &recorder_;
    TdcRegisterLineDisplay(nullptr, record);
    records_.push_back(record);
    return record;
  }

  // Outlives the records: TearDown's destroy waits for their last callback.
  Recorder recorder_;
  std::unique_ptr<printer_emulator::PrinterEmulator> emulator_;
  std::string target_;
  std::vector<TdcLineDisplay_t*> records_;
};

TEST_F(LineDisplayDirect, SendsTheListAsADisplayJobEachTimeAndReportsItsEnd) {
  ASSERT_NO_FATAL_FAILURE(Start(1070));
  TdcLineDisplay_t* record = NewRecord(1);
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, target_.c_str(), -2), 0);
  EXPECT_EQ(record->mode, TDC_MODE_DIRECT);
  EXPECT_EQ(record->portType, TDC_PORT_TCP);
  EXPECT_EQ(record->connection, nullptr);
  ASSERT_NE(record->builder, nullptr);
  ASSERT_NE(record->ops, nullptr);
  EXPECT_EQ(TdcFindLineDisplay(record->handle), record);
  TdcReleaseLineDisplay(record);
  EXPECT_EQ(Status(record), 1);

  // Nothing to show yet: refused, nothing goes out.
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, record), TDC_ERR_ILLEGAL);

  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, TDC_DSP_INITIALIZE), 0);
  ASSERT_EQ(
      TdcAddLineDisplayCommand(&record->commands, TDC_DSP_TEXT, "Tilo display 1070", -1, -1, -2),
      0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, TDC_DSP_SET_BRIGHTNESS, -2), 0);
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, TDC_CB_SUCCESS);
  EXPECT_NE(recorder_.Results()[0].thread, std::this_thread::get_id());
  ASSERT_TRUE(Eventually([&] { return Contains(DisplayBytes(*emulator_), "Tilo display 1070"); }));

  // The list stays after a send, the builder does not keep the last job. The
  // job is over once its result is delivered: the next send is taken at once.
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  ASSERT_TRUE(recorder_.WaitResults(2));
  EXPECT_EQ(recorder_.Results()[1].code, TDC_CB_SUCCESS);
  ASSERT_TRUE(
      Eventually([&] { return Count(DisplayBytes(*emulator_), "Tilo display 1070") == 2; }));

  // The builder outlives the connection and serves the next one.
  void* builder = record->builder;
  ASSERT_EQ(TdcDisconnectLineDisplay(nullptr, record), 0);
  EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(record->handle, nullptr);
  EXPECT_EQ(record->ops, nullptr);
  EXPECT_EQ(record->builder, builder);
  EXPECT_TRUE(recorder_.Events().empty());  // direct connections raise no events
  EXPECT_TRUE(emulator_->waitForNoClient(kDeadline));
  EXPECT_EQ(Status(record), 0);

  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, target_.c_str(), 5000), 0);
  EXPECT_EQ(record->builder, builder);
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  ASSERT_TRUE(recorder_.WaitResults(3));
  EXPECT_EQ(recorder_.Results()[2].code, TDC_CB_SUCCESS);
}

TEST_F(LineDisplayDirect, JoinsThePrintersConnectionAndLeavesItToThePrinter) {
  ASSERT_NO_FATAL_FAILURE(Start(1071));
  const std::string address = io_test::address(1071);
  PrintHandle_t* printer = nullptr;
  ASSERT_EQ(
      AcquireSharedConnection(nullptr, kSharedUserPrinter, 0, address.c_str(), 5000, &printer), 0);
  TdcLineDisplay_t* record = NewRecord();
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, target_.c_str(), -2), 0);
  EXPECT_EQ(record->handle, printer);
  EXPECT_EQ(emulator_->clientsAccepted(), 1);

  ASSERT_EQ(TdcDisconnectLineDisplay(nullptr, record), 0);
  EXPECT_TRUE(IsConnectionOpen(printer));
  EXPECT_TRUE(emulator_->clientConnected());
  ASSERT_EQ(ReleaseSharedConnection(nullptr, kSharedUserPrinter, printer), 0);
  EXPECT_TRUE(emulator_->waitForNoClient(kDeadline));
}

TEST_F(LineDisplayDirect, RefusedConnectsLeaveModeZeroAndKeepTheBuilder) {
  ASSERT_NO_FATAL_FAILURE(Start(1072));
  const std::string tls = "TCPS:" + io_test::address(1072);
  TdcLineDisplay_t* unknownSeries = NewRecord(3);
  EXPECT_EQ(TdcConnectLineDisplay(nullptr, unknownSeries, target_.c_str(), -2), TDC_ERR_PARAM);
  EXPECT_EQ(unknownSeries->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(unknownSeries->ops, nullptr);

  TdcLineDisplay_t* record = NewRecord(2);
  EXPECT_EQ(TdcConnectLineDisplay(nullptr, record, tls.c_str(), -2), TDC_ERR_PARAM);
  EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(emulator_->clientsAccepted(), 0);

  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, target_.c_str(), -2), 0);
  void* builder = record->builder;
  ASSERT_EQ(TdcDisconnectLineDisplay(nullptr, record), 0);

  // No display answers behind the printer: the engine's connect error.
  emulator_->setDisplayPresent(false);
  EXPECT_EQ(TdcConnectLineDisplay(nullptr, record, target_.c_str(), -2), TDC_ERR_CONNECT);
  EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(record->handle, nullptr);
  EXPECT_EQ(record->ops, nullptr);
  EXPECT_EQ(record->builder, builder);
  EXPECT_TRUE(emulator_->waitForNoClient(kDeadline));
}

// The printer stopped answering and another user of its address replaced the
// stale connection: the display's next send does not fail, the app gets a
// port error on another thread before the send returns.
TEST_F(LineDisplayDirect, SendOnAVanishedConnectionReportsAPortErrorBeforeReturning) {
  ASSERT_NO_FATAL_FAILURE(Start(1073));
  TdcLineDisplay_t* record = NewRecord();
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, target_.c_str(), 5000), 0);
  auto* stale = static_cast<PrintHandle_t*>(record->handle);

  emulator_->state().setPowerOff(true);
  PrintHandle_t* fresh = nullptr;
  const int acquired = AcquireSharedConnection(nullptr, kSharedUserHybrid, 0,
                                               io_test::address(1073).c_str(), 5000, &fresh);
  ASSERT_FALSE(IsConnectionOpen(stale));
  emulator_->state().setPowerOff(false);
  EXPECT_EQ(Status(record), 0);

  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, TDC_DSP_TEXT, "never shown", 1, 1, 0), 0);
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  // Delivered before the send returned.
  const auto results = recorder_.Results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TDC_CB_PORT);
  EXPECT_NE(results[0].thread, std::this_thread::get_id());
  EXPECT_FALSE(Contains(DisplayBytes(*emulator_), "never shown"));

  if (acquired == 0) {
    EXPECT_EQ(ReleaseSharedConnection(nullptr, kSharedUserHybrid, fresh), 0);
  }
}

}  // namespace
