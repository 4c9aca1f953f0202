// The CommonPrinter members that act on the printer itself: the monitor
// switch and its interval, transactions and the forced operations, on an
// unconnected record and against the printer emulator.
//
// Addresses (io_test::address): 520-539.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "common_test_support.h"
#include "device/printer_access.h"
#include "device/printer_operations.h"
#include "engine/print_handle.h"
#include "orvik/tilo2/error_status.h"

using namespace common_test;
using ::Orvik::Tilo::Tilo2::ErrorStatus;
using ::Orvik::Tilo::Tilo2::IAsyncAction;
using ::Orvik::Tilo::Tilo2::RuntimeException;

namespace {

// Status events the record reported, with the thread each came on.
struct StatusSeen {
  std::mutex mutex;
  std::vector<std::pair<int32_t, std::thread::id>> events;

  static void OnStatus(void*, int32_t event, void* user) {
    auto* self = static_cast<StatusSeen*>(user);
    std::lock_guard lock(self->mutex);
    self->events.emplace_back(event, std::this_thread::get_id());
  }
  std::vector<std::pair<int32_t, std::thread::id>> Take() {
    std::lock_guard lock(mutex);
    return std::exchange(events, {});
  }
};

class CommonControl : public CommonPrinterTest {
 protected:
  void TearDown() override {
    CommonPrinterTest::TearDown();
    if (emulator_) emulator_->stop();
  }

  // The emulator on the test's address, and a CommonPrinter connected to it
  // directly as an owner connects: the interval handed over after the connect.
  std::shared_ptr<CommonPrinter> Connected(int n) {
    emulator_ = io_test::startEmulator(n);
    // Callers use the emulator and the connection at once: a test whose set-up
    // failed stops here (gtest reports the exception) instead of going on.
    if (emulator_ == nullptr) throw std::runtime_error("no emulator on " + io_test::address(n));
    auto printer = NewPrinter();
    TdcPrinter_t* record = printer->Record();
    TdcRegisterPrinter(record);
    record->statusCallback = &StatusSeen::OnStatus;
    record->statusUser = &seen_;
    Connect(*printer, n);
    if (HasFatalFailure()) throw std::runtime_error("no connection to " + io_test::address(n));
    return printer;
  }
  void Connect(CommonPrinter& printer, int n) {
    const std::string target = "TCP:" + io_test::address(n);
    ASSERT_EQ(TdcConnectPrinter(nullptr, printer.Record(), target.c_str(), nullptr, 10000), 0);
    TdcSetInterval(printer.Record(), printer.Interval());
  }
  static PrintHandle_t* Handle(CommonPrinter& printer) {
    return static_cast<PrintHandle_t*>(TdcReadPrinterState(printer.Record()).handle);
  }

  StatusSeen seen_;  // outlives the records: TearDown's destroy waits for callbacks
  std::unique_ptr<printer_emulator::PrinterEmulator> emulator_;
};

TEST_F(CommonControl, IntervalTakesMinusTwoOrOneToSixtySeconds) {
  auto printer = NewPrinter();
  EXPECT_EQ(printer->Interval(), 3000);
  struct Row {
    int32_t value;
    int32_t result;
  };
  const Row rows[] = {{999, ErrorStatus::ErrParameter},
                      {1000, 0},
                      {60000, 0},
                      {60001, ErrorStatus::ErrParameter},
                      {-1, ErrorStatus::ErrParameter},
                      {-2, 0},
                      {0, ErrorStatus::ErrParameter},
                      {4500, 0}};
  int32_t expected = 3000;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    EXPECT_EQ(HResultOf([&] { printer->Interval(row.value); }), row.result);
    if (row.result == 0) expected = row.value;
    // A refused value leaves the last accepted one.
    EXPECT_EQ(printer->Interval(), expected);
  }
  // Unconnected, the record keeps the value for the next connect.
  EXPECT_EQ(printer->Record()->interval, 4500);
  const auto bodies = ApiBodies();
  ASSERT_GE(bodies.size(), 2u);
  EXPECT_EQ(bodies[1], Line("<-", printer->Record(), "a0048200", "Interval::set", "(999)"));
}

TEST_F(CommonControl, IntervalSetWhileDisconnectedIsUsedAfterTheConnect) {
  emulator_ = io_test::startEmulator(520);
  ASSERT_NE(emulator_, nullptr);
  auto printer = NewPrinter();
  printer->Interval(1000);
  Connect(*printer, 520);
  EXPECT_EQ(GetMonitorInterval(Handle(*printer)), 1000);
  // Connected, a new value goes to the engine at once.
  printer->Interval(60000);
  EXPECT_EQ(GetMonitorInterval(Handle(*printer)), 60000);
  printer->Interval(-2);
  EXPECT_EQ(GetMonitorInterval(Handle(*printer)), 3000);
  EXPECT_EQ(printer->Interval(), -2);
}

TEST_F(CommonControl, ForcedOperationsTestTheirArgumentsThenNeedTheDeviceService) {
  struct Row {
    const char* name;
    std::function<IAsyncAction(CommonPrinter&)> call;
    bool argumentsPass;
  };
  auto recover = [](int32_t t) { return [t](CommonPrinter& p) { return p.ForceRecoverAsync(t); }; };
  auto reset = [](int32_t t) { return [t](CommonPrinter& p) { return p.ForceResetAsync(t); }; };
  auto pulse = [](P::Drawer d, P::Pulse s, int32_t t) {
    return [=](CommonPrinter& p) { return p.ForcePulseAsync(d, s, t); };
  };
  const Row rows[] = {
      {"recover 0", recover(0), true},
      {"recover 600000", recover(600000), true},
      {"recover -2", recover(-2), true},
      {"recover 600001", recover(600001), false},
      {"recover -1", recover(-1), false},
      {"reset 600000", reset(600000), true},
      {"reset -3", reset(-3), false},
      {"pulse 5 pin 300 ms", pulse(P::Drawer::Drawer5Pin, P::Pulse::Pulse300, 1000), true},
      {"pulse defaults", pulse(P::Drawer::Default, P::Pulse::Default, -2), true},
      {"pulse drawer 3", pulse(static_cast<P::Drawer>(3), P::Pulse::Pulse100, 0), false},
      {"pulse 6", pulse(P::Drawer::Drawer2Pin, static_cast<P::Pulse>(6), 0), false},
      {"pulse 600001", pulse(P::Drawer::Drawer2Pin, P::Pulse::Pulse100, 600001), false},
  };
  auto unconnected = NewPrinter();
  auto direct = Connected(521);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Outcome(row.call(*unconnected)),
              row.argumentsPass ? ErrorStatus::ErrIllegalState : ErrorStatus::ErrParameter);
    EXPECT_EQ(Outcome(row.call(*direct)),
              row.argumentsPass ? ErrorStatus::ErrUnsupported : ErrorStatus::ErrParameter);
  }
  // Without a record the record check comes first.
  auto empty = CommonPrinter::Create();
  EXPECT_EQ(Outcome(empty->ForceRecoverAsync(-1)), ErrorStatus::ErrFailure);
}

TEST_F(CommonControl, ForcedOperationLines) {
  auto printer = NewPrinter();
  EXPECT_EQ(Outcome(printer->ForcePulseAsync(P::Drawer::Drawer5Pin, P::Pulse::Pulse300, 600001)),
            ErrorStatus::ErrParameter);
  TdcPrinter_t* record = printer->Record();
  const std::vector<std::string> expected = {
      Line("->", record, "", "ForcePulseAsync", "(Drawer5Pin, Pulse300, 600001)"),
      Line("<-", record, "a0048200", "ForcePulseAsync", "(Drawer5Pin, Pulse300, 600001)"),
  };
  EXPECT_EQ(ApiBodies(), expected);
}

TEST_F(CommonControl, UnconnectedMonitorAndTransactionsAreIllegal) {
  auto printer = NewPrinter();
  EXPECT_EQ(HResultOf([&] { printer->StartMonitor(); }), ErrorStatus::ErrIllegalState);
  EXPECT_EQ(HResultOf([&] { printer->StopMonitor(); }), ErrorStatus::ErrIllegalState);
  EXPECT_EQ(Outcome(printer->BeginTransactionAsync()), ErrorStatus::ErrIllegalState);
  EXPECT_EQ(Outcome(printer->EndTransactionAsync()), ErrorStatus::ErrIllegalState);
  EXPECT_EQ(printer->Record()->transaction, 0);
  TdcPrinter_t* record = printer->Record();
  const std::vector<std::string> expected = {
      Line("->", record, "", "StartMonitor", "()"),
      Line("<-", record, "a0048204", "StartMonitor", "()"),
      Line("->", record, "", "StopMonitor", "()"),
      Line("<-", record, "a0048204", "StopMonitor", "()"),
      Line("->", record, "", "BeginTransactionAsync", "()"),
      Line("<-", record, "a0048204", "BeginTransactionAsync", "()"),
      Line("->", record, "", "EndTransactionAsync", "()"),
      Line("<-", record, "a0048204", "EndTransactionAsync", "()"),
  };
  EXPECT_EQ(ApiBodies(), expected);
}

// The first report comes from the monitor's thread once its next cycle has
// ended: StartMonitor neither waits for that cycle nor runs handlers itself.
TEST_F(CommonControl, FirstStartMonitorReportsTheCurrentStateFromTheMonitorThread) {
  auto printer = Connected(522);
  printer->StartMonitor();
  std::vector<std::pair<int32_t, std::thread::id>> first;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const auto online = [&] {
    return std::find_if(first.begin(), first.end(), [](auto& e) { return e.first == 0; }) !=
           first.end();
  };
  while (!online() && std::chrono::steady_clock::now() < deadline) {
    const auto more = seen_.Take();
    first.insert(first.end(), more.begin(), more.end());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(online()) << "Online reported";
  for (const auto& [event, thread] : first) {
    EXPECT_NE(thread, std::this_thread::get_id()) << "event " << event;
  }
  // Already enabled: no second report.
  printer->StartMonitor();
  const auto again = seen_.Take();
  EXPECT_EQ(std::find_if(again.begin(), again.end(), [](auto& e) { return e.first == 0; }),
            again.end());
  printer->StopMonitor();
  printer->StopMonitor();
}

TEST_F(CommonControl, TransactionBeginsOnceAndEndsOnce) {
  auto printer = Connected(523);
  EXPECT_EQ(Outcome(printer->EndTransactionAsync()), ErrorStatus::ErrIllegalState);
  EXPECT_EQ(Outcome(printer->BeginTransactionAsync()), 0);
  EXPECT_EQ(printer->Record()->transaction, 1);
  EXPECT_EQ(Outcome(printer->BeginTransactionAsync()), ErrorStatus::ErrIllegalState);
  EXPECT_EQ(Outcome(printer->EndTransactionAsync()), 0);
  EXPECT_EQ(printer->Record()->transaction, 0);
  EXPECT_EQ(Outcome(printer->EndTransactionAsync()), ErrorStatus::ErrIllegalState);
}

// A reconnect does not end the record's transaction: a begin stays refused
// until an end, which succeeds although the new connection never had one.
TEST_F(CommonControl, TransactionAcrossAReconnectEndsAndBeginsAgain) {
  auto printer = Connected(524);
  ASSERT_EQ(Outcome(printer->BeginTransactionAsync()), 0);
  ASSERT_EQ(TdcDisconnectPrinter(nullptr, printer->Record()), 0);
  Connect(*printer, 524);
  EXPECT_EQ(Outcome(printer->BeginTransactionAsync()), ErrorStatus::ErrIllegalState);
  EXPECT_EQ(Outcome(printer->EndTransactionAsync()), 0);
  EXPECT_EQ(printer->Record()->transaction, 0);
  EXPECT_EQ(Outcome(printer->BeginTransactionAsync()), 0);
  EXPECT_EQ(Outcome(printer->EndTransactionAsync()), 0);
}

// The owner as the printer classes are: it destroys the record when it goes.
class Owner final : public ::Orvik::Tilo::Tilo2::Object {
 public:
  Owner(TdcPrinter_t* record, const IAsyncAction* watched, std::atomic<int>* state)
      : common_(CommonPrinter::Create()), record_(record), watched_(watched), state_(state) {
    common_->SetRecord(record);
  }
  ~Owner() override {
    // 2: destroyed after the operation ended; 1: under it.
    state_->store(watched_->Status() == ::Orvik::Tilo::Tilo2::AsyncStatus::Started ? 1 : 2);
    TdcDisconnectPrinter(nullptr, record_);
    TdcClearPrinterCommands(&record_->commands.commandList);
    TdcDestroyPrinter(record_);
    common_->SetRecord(nullptr);
  }
  CommonPrinter& Common() { return *common_; }
  ::Orvik::Tilo::Tilo2::String GetRuntimeClassName() const override { return "Tests.Owner"; }

 private:
  std::shared_ptr<CommonPrinter> common_;
  TdcPrinter_t* record_;
  const IAsyncAction* watched_;
  std::atomic<int>* state_;
};

TEST_F(CommonControl, ReleasedOwnerLivesUntilItsTransactionEnds) {
  emulator_ = io_test::startEmulator(525);
  ASSERT_NE(emulator_, nullptr);
  TdcPrinter_t* record = nullptr;
  ASSERT_EQ(TdcCreatePrinter(&record, kSeriesS3, 0), 0);
  const std::string target = "TCP:" + io_test::address(525);
  ASSERT_EQ(TdcConnectPrinter(nullptr, record, target.c_str(), nullptr, 10000), 0);
  std::atomic<int> state{0};
  IAsyncAction action;
  auto owner = std::make_shared<Owner>(record, &action, &state);
  owner->Common().SetOwner(owner);
  ASSERT_EQ(Outcome(owner->Common().BeginTransactionAsync()), 0);
  action = owner->Common().EndTransactionAsync();
  owner.reset();
  EXPECT_EQ(Outcome(action), 0);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (state.load() == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(state.load(), 2);
}

}  // namespace
