// The operations both printer kinds share: transactions, the status monitor
// and its interval, and the immediate operations, on the direct backend
// against the printer emulator and on the device service; and the record
// access they run under.
//
// Addresses (127.0.0.N via io_test::address): 430-449.

#include "device/printer_operations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../engine/connection_test_support.h"
#include "device/printer_access.h"
#include "device/printer_module.h"
#include "engine/engine_ops.h"
#include "engine/event_callbacks.h"
#include "engine/print_handle.h"
#include "engine/shared_connection.h"
#include "foundation/lock_guard.h"
#include "service_fake/fake_service.h"

using namespace tilo2::core;

namespace {

namespace fake = tilo2::fake;

constexpr int32_t kSeries = 6;  // a drawer series

// A printer record as creation leaves it, built here so the operations are
// tested on their own: settings, interval 3000, every lock initialised.
class Record {
 public:
  explicit Record(int32_t portType = TDC_PORT_TCP) {
    record_ = static_cast<TdcPrinter_t*>(std::calloc(1, sizeof(TdcPrinter_t)));
    record_->settings =
        static_cast<TdcPrinterSettings_t*>(std::calloc(1, sizeof(TdcPrinterSettings_t)));
    *record_->settings = {kSeries, 0, portType};
    record_->interval = 3000;
    for (PlatformMutex_t* lock : Locks()) platform_mutex_init(lock);
  }
  ~Record() {
    for (PlatformMutex_t* lock : Locks()) platform_mutex_destroy(lock);
    std::free(record_->settings);
    std::free(record_);
  }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  TdcPrinter_t* get() const { return record_; }
  TdcPrinter_t* operator->() const { return record_; }
  void Connect(int32_t mode, void* handle, TdevConnection_t* connection = nullptr) {
    TdcWritePrinterState(record_, {mode, connection, handle, mode == 2 ? handle : nullptr});
  }
  int32_t Interval() const {
    const PlatformLockGuard lock(record_->intervalLock);
    return record_->interval;
  }

 private:
  std::array<PlatformMutex_t*, 6> Locks() const {
    return {&record_->intervalLock, &record_->opLock,        &record_->stateLock,
            &record_->paperLock,    &record_->insertionLock, &record_->supportLock};
  }
  TdcPrinter_t* record_;
};

TdcEnvData_t* Env() {
  static int context;
  static TdcEnvData_t env{&context, &context, nullptr, 0, nullptr, nullptr};
  return &env;
}

// A print handle that was created but never opened: known to the engine,
// with no connection, as a direct record's handle is once its connection vanished.
struct ClosedHandle {
  ClosedHandle() {
    EXPECT_EQ(TiloCreateHandle(&handle), 0);
    // As the connection list opens handles: events off until a monitor start.
    SetCallbackEnabled(handle, 0);
  }
  ~ClosedHandle() { TiloDestroyHandle(handle); }
  PrintHandle_t* handle = nullptr;
};

// ---- Record access ---------------------------------------------------------------------

TEST(PrinterAccess, StateIsWrittenAndClearedAsAWhole) {
  Record record;
  int handle = 0;
  auto* connection = reinterpret_cast<TdevConnection_t*>(&handle);
  TdcWritePrinterState(record.get(), {TDC_MODE_SERVICE, connection, &handle, &handle});
  TdcPrinterState_t state = TdcReadPrinterState(record.get());
  EXPECT_EQ(state.mode, TDC_MODE_SERVICE);
  EXPECT_EQ(state.connection, connection);
  EXPECT_EQ(state.handle, &handle);
  EXPECT_EQ(state.builder, &handle);
  TdcClearPrinterState(record.get());
  state = TdcReadPrinterState(record.get());
  EXPECT_EQ(state.mode, TDC_MODE_CLOSED);
  EXPECT_EQ(state.connection, nullptr);
  EXPECT_EQ(state.handle, nullptr);
  EXPECT_EQ(state.builder, nullptr);

  EXPECT_EQ(TdcReadPrinterState(nullptr).handle, nullptr);
  TdcWritePrinterState(nullptr, state);  // ignored
  TdcClearPrinterState(nullptr);
}

TEST(PrinterAccess, OperationHoldsTheRecordAgainstOtherThreadsAndNests) {
  Record record;
  int handle = 0;
  record.Connect(TDC_MODE_DIRECT, &handle);
  auto othersMayTake = [&] {
    int result = -1;
    std::thread([&] {
      result = platform_mutex_trylock(&record->opLock);
      if (result == PLATFORM_OK) platform_mutex_unlock(&record->opLock);
    }).join();
    return result == PLATFORM_OK;
  };
  {
    const TdcPrinterOperation outer(record.get());
    ASSERT_TRUE(outer.Locked());
    EXPECT_EQ(outer.State().mode, TDC_MODE_DIRECT);
    EXPECT_EQ(outer.State().handle, &handle);
    EXPECT_FALSE(othersMayTake());
    {
      // An operation that calls another of the same record on its thread.
      const TdcPrinterOperation inner(record.get());
      EXPECT_TRUE(inner.Locked());
    }
    EXPECT_FALSE(othersMayTake()) << "the inner end must not release the outer hold";
    // What the operation writes does not change its snapshot.
    TdcClearPrinterState(record.get());
    EXPECT_EQ(outer.State().handle, &handle);
  }
  EXPECT_TRUE(othersMayTake());

  const TdcPrinterOperation none(nullptr);
  EXPECT_FALSE(none.Locked());
  EXPECT_EQ(none.State().handle, nullptr);
}

// ---- Checks before any backend ------------------------------------------------------------

// Every operation of a record: (env, record) -> result.
struct OperationCase {
  const char* name;
  int (*run)(TdcEnvData_t*, TdcPrinter_t*);
};

const OperationCase kOperations[] = {
    {"Begin", [](TdcEnvData_t* e, TdcPrinter_t* r) { return TdcBeginTransaction(e, r); }},
    {"End",
     [](TdcEnvData_t* e, TdcPrinter_t* r) {
       if (r != nullptr) r->transaction = 1;  // past the marker check
       return TdcEndTransaction(e, r);
     }},
    {"StartMonitor", [](TdcEnvData_t* e, TdcPrinter_t* r) { return TdcStartMonitor(e, r); }},
    {"StopMonitor", [](TdcEnvData_t* e, TdcPrinter_t* r) { return TdcStopMonitor(e, r); }},
    {"ForceRecover", [](TdcEnvData_t* e, TdcPrinter_t* r) { return TdcForceRecover(e, r, -2); }},
    {"ForceReset", [](TdcEnvData_t* e, TdcPrinter_t* r) { return TdcForceReset(e, r, -2); }},
    {"ForcePulse", [](TdcEnvData_t* e, TdcPrinter_t* r) { return TdcForcePulse(e, r, 0, 0, -2); }},
};

TEST(PrinterOperationChecks, NullRecordIsAParameterError) {
  for (const auto& op : kOperations) EXPECT_EQ(op.run(Env(), nullptr), 1) << op.name;
  EXPECT_EQ(TdcSetInterval(nullptr, 3000), 1);
}

TEST(PrinterOperationChecks, RecordWithoutHandleIsIllegalState) {
  for (const int32_t mode : {int32_t{TDC_MODE_NEVER_CONNECTED}, int32_t{TDC_MODE_CLOSED}}) {
    Record record;
    record.Connect(mode, nullptr);
    for (const auto& op : kOperations) EXPECT_EQ(op.run(Env(), record.get()), 5) << op.name;
  }
  // The handle is tested before the timeout and the pulse arguments.
  Record record;
  EXPECT_EQ(TdcForceRecover(Env(), record.get(), 600001), 5);
  EXPECT_EQ(TdcForcePulse(Env(), record.get(), 7, 7, -7), 5);
}

TEST(PrinterOperationChecks, UnknownModeWithHandleFails) {
  Record record;
  int handle = 0;
  record.Connect(3, &handle);
  for (const auto& op : kOperations) EXPECT_EQ(op.run(Env(), record.get()), 255) << op.name;
  // Its interval is still kept for the next connect.
  EXPECT_EQ(TdcSetInterval(record.get(), 5000), 0);
  EXPECT_EQ(record.Interval(), 5000);
}

TEST(PrinterOperationChecks, TransactionMarkerRefusesRepeats) {
  Record record;
  int handle = 0;
  record.Connect(TDC_MODE_SERVICE, &handle);
  EXPECT_EQ(TdcEndTransaction(Env(), record.get()), 5) << "end without begin";
  EXPECT_EQ(TdcBeginTransaction(Env(), record.get()), 0);
  EXPECT_EQ(record->transaction, 1);
  EXPECT_EQ(TdcBeginTransaction(Env(), record.get()), 5) << "second begin";
  EXPECT_EQ(TdcEndTransaction(Env(), record.get()), 0);
  EXPECT_EQ(record->transaction, 0);
  EXPECT_EQ(TdcEndTransaction(Env(), record.get()), 5) << "second end";

  // A disconnect does not clear the marker: after a reconnect, begin still
  // refuses until an end is made.
  EXPECT_EQ(TdcBeginTransaction(Env(), record.get()), 0);
  TdcClearPrinterState(record.get());
  EXPECT_EQ(record->transaction, 1);
  record.Connect(TDC_MODE_SERVICE, &handle);
  EXPECT_EQ(TdcBeginTransaction(Env(), record.get()), 5);
  EXPECT_EQ(TdcEndTransaction(Env(), record.get()), 0);
}

struct IntervalCase {
  int32_t interval;
  int result;
  int32_t stored;  // the record's interval afterwards (from 3000)
};

TEST(PrinterOperationChecks, IntervalBoundsAndWhatIsStoredWhileClosed) {
  const IntervalCase cases[] = {
      {999, 1, 3000},  {60001, 1, 3000},  {0, 1, 3000}, {-1, 1, 3000},
      {1000, 0, 1000}, {60000, 0, 60000}, {-2, 0, -2},  // stored as given: the next connect applies
                                                        // the default
  };
  for (const auto& c : cases) {
    Record record;
    EXPECT_EQ(TdcSetInterval(record.get(), c.interval), c.result) << c.interval;
    EXPECT_EQ(record.Interval(), c.stored) << c.interval;
  }
}

// ---- Direct backend ---------------------------------------------------------------------

TEST(PrinterOperationsDirect, ImmediateOperationsAreNotSupported) {
  ClosedHandle closed;
  Record record;
  record.Connect(TDC_MODE_DIRECT, closed.handle);
  struct Case {
    const char* name;
    int result;
    int (*run)(TdcPrinter_t*);
  };
  const Case cases[] = {
      {"RecoverDefaultTimeout", 28, [](TdcPrinter_t* r) { return TdcForceRecover(Env(), r, -2); }},
      {"RecoverZero", 28, [](TdcPrinter_t* r) { return TdcForceRecover(Env(), r, 0); }},
      {"RecoverMax", 28, [](TdcPrinter_t* r) { return TdcForceRecover(Env(), r, 600000); }},
      {"RecoverTooLong", 1, [](TdcPrinter_t* r) { return TdcForceRecover(Env(), r, 600001); }},
      {"RecoverNegative", 1, [](TdcPrinter_t* r) { return TdcForceRecover(Env(), r, -1); }},
      {"ResetDefaultTimeout", 28, [](TdcPrinter_t* r) { return TdcForceReset(Env(), r, -2); }},
      {"ResetTooLong", 1, [](TdcPrinter_t* r) { return TdcForceReset(Env(), r, 600001); }},
      {"PulseDefaults", 28, [](TdcPrinter_t* r) { return TdcForcePulse(Env(), r, -2, -2, -2); }},
      {"PulseLast", 28, [](TdcPrinter_t* r) { return TdcForcePulse(Env(), r, 1, 4, 600000); }},
      {"PulseUnknownDrawer", 1, [](TdcPrinter_t* r) { return TdcForcePulse(Env(), r, 2, 0, -2); }},
      {"PulseUnspecifiedDrawer", 1,
       [](TdcPrinter_t* r) { return TdcForcePulse(Env(), r, -1, 0, -2); }},
      {"PulseUnknownTime", 1, [](TdcPrinter_t* r) { return TdcForcePulse(Env(), r, 0, 5, -2); }},
      {"PulseTimeoutTooLong", 1,
       [](TdcPrinter_t* r) { return TdcForcePulse(Env(), r, 0, 0, 600001); }},
  };
  for (const auto& c : cases) EXPECT_EQ(c.run(record.get()), c.result) << c.name;
}

// A direct connection that vanished: transactions only move the marker, the
// monitor answers 0 without effect.
TEST(PrinterOperationsDirect, VanishedConnectionOnlyMovesTheMarker) {
  ClosedHandle closed;
  ASSERT_FALSE(IsConnectionOpen(closed.handle));
  Record record;
  record.Connect(TDC_MODE_DIRECT, closed.handle);
  EXPECT_EQ(TdcStartMonitor(Env(), record.get()), 0);
  EXPECT_FALSE(IsCallbackEnabled(closed.handle));
  EXPECT_EQ(TdcStopMonitor(Env(), record.get()), 0);
  EXPECT_EQ(TdcBeginTransaction(Env(), record.get()), 0);
  EXPECT_EQ(record->transaction, 1);
  EXPECT_EQ(closed.handle->inTransaction, 0);
  EXPECT_EQ(TdcEndTransaction(Env(), record.get()), 0);
  EXPECT_EQ(record->transaction, 0);
}

TEST(PrinterOperationsDirect, IntervalGoesToTheEngineAndIsKeptAsGiven) {
  ClosedHandle closed;
  Record record;
  record.Connect(TDC_MODE_DIRECT, closed.handle);
  EXPECT_EQ(TdcSetInterval(record.get(), 1500), 0);
  EXPECT_EQ(GetMonitorInterval(closed.handle), 1500);
  EXPECT_EQ(record.Interval(), 1500);
  // The engine takes -2 as its default; the record keeps -2.
  EXPECT_EQ(TdcSetInterval(record.get(), -2), 0);
  EXPECT_EQ(GetMonitorInterval(closed.handle), 3000);
  EXPECT_EQ(record.Interval(), -2);
}

TEST(PrinterOperationsDirect, EngineRefusalIsTranslatedAndNothingStored) {
  // A handle the engine does not know: its check answers 1.
  int bogus = 0;
  Record record;
  record.Connect(TDC_MODE_DIRECT, &bogus);
  EXPECT_EQ(TdcSetInterval(record.get(), 2000), 1);
  EXPECT_EQ(record.Interval(), 3000);
}

// A connection to the emulator as the direct connect makes it.
class DirectPrinter {
 public:
  explicit DirectPrinter(int n)
      : emulator_(io_test::startEmulator(n)), address_(io_test::address(n)) {}
  ~DirectPrinter() { Close(); }
  DirectPrinter(const DirectPrinter&) = delete;
  DirectPrinter& operator=(const DirectPrinter&) = delete;

  bool Open(Record& record) {
    if (!emulator_) return false;
    PrintHandle_t* handle = nullptr;
    const int opened =
        AcquireSharedConnection(nullptr, kSharedUserPrinter, 0, address_.c_str(), 15000, &handle);
    EXPECT_EQ(opened, 0);
    if (opened != 0) return false;
    handle_ = handle;
    record.Connect(TDC_MODE_DIRECT, handle_);
    return true;
  }
  void Close(Record* record = nullptr) {
    if (handle_ != nullptr) {
      EXPECT_EQ(ReleaseSharedConnection(nullptr, kSharedUserPrinter, handle_), 0);
      handle_ = nullptr;
    }
    if (record != nullptr) TdcClearPrinterState(record->get());
  }
  PrintHandle_t* handle() const { return handle_; }

 private:
  std::unique_ptr<printer_emulator::PrinterEmulator> emulator_;
  std::string address_;
  PrintHandle_t* handle_ = nullptr;
};

// A transaction begun before a disconnect ended with that connection: after
// the reconnect the engine knows none, so the end clears the marker and a
// new begin is not refused.
TEST(PrinterOperationsDirect, TransactionBegunBeforeAReconnectEndsCleanly) {
  DirectPrinter printer(430);
  Record record;
  ASSERT_TRUE(printer.Open(record));
  ASSERT_EQ(TdcBeginTransaction(Env(), record.get()), 0);
  EXPECT_EQ(printer.handle()->inTransaction, 1);
  EXPECT_EQ(record->transaction, 1);

  printer.Close(&record);
  ASSERT_TRUE(printer.Open(record));
  EXPECT_EQ(printer.handle()->inTransaction, 0);

  EXPECT_EQ(TdcEndTransaction(Env(), record.get()), 0);
  EXPECT_EQ(record->transaction, 0);
  EXPECT_EQ(TdcBeginTransaction(Env(), record.get()), 0);
  EXPECT_EQ(printer.handle()->inTransaction, 1);
  // A transaction the engine has open ends there too.
  EXPECT_EQ(TdcEndTransaction(Env(), record.get()), 0);
  EXPECT_EQ(printer.handle()->inTransaction, 0);
  EXPECT_EQ(record->transaction, 0);
}

// The same through the printer module's own connect and disconnect.
TEST(PrinterOperationsDirect, TransactionSurvivesTheModulesDisconnectAndReconnect) {
  auto emulator = io_test::startEmulator(433);
  ASSERT_NE(emulator, nullptr);
  const std::string target = "TCP:" + io_test::address(433);
  TdcPrinter_t* record = nullptr;
  ASSERT_EQ(TdcCreatePrinter(&record, kSeries, 0), 0);
  TdcRegisterPrinter(record);
  ASSERT_EQ(TdcConnectPrinter(Env(), record, target.c_str(), nullptr, 15000), 0);
  EXPECT_EQ(TdcBeginTransaction(Env(), record), 0);
  ASSERT_EQ(TdcDisconnectPrinter(Env(), record), 0);
  ASSERT_EQ(TdcConnectPrinter(Env(), record, target.c_str(), nullptr, 15000), 0);
  auto* handle = static_cast<PrintHandle_t*>(TdcReadPrinterState(record).handle);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->inTransaction, 0);
  EXPECT_EQ(TdcEndTransaction(Env(), record), 0);
  EXPECT_EQ(TdcBeginTransaction(Env(), record), 0);
  EXPECT_EQ(handle->inTransaction, 1);
  EXPECT_EQ(TdcEndTransaction(Env(), record), 0);
  EXPECT_EQ(TdcDisconnectPrinter(Env(), record), 0);
  EXPECT_EQ(TdcDestroyPrinter(record), 0);
}

// The engine refuses a begin while it has a transaction open (another user of
// the shared handle began one): the marker stays clear.
TEST(PrinterOperationsDirect, EngineRefusedBeginLeavesTheMarkerClear) {
  DirectPrinter printer(431);
  Record record;
  ASSERT_TRUE(printer.Open(record));
  ASSERT_EQ(TiloBeginTransaction(nullptr, printer.handle()), 0);
  EXPECT_EQ(TdcBeginTransaction(Env(), record.get()), 5);
  EXPECT_EQ(record->transaction, 0);
  EXPECT_EQ(TiloEndTransaction(nullptr, printer.handle()), 0);
}

std::atomic<int> statusChanges{0};
std::atomic<bool> statusOnCallingThread{false};
std::thread::id callingThread;

void OnStatusChange(TdcBackendEnv_t*, PrintHandle_t*, const char*, uint32_t) {
  ++statusChanges;
  statusOnCallingThread = std::this_thread::get_id() == callingThread;
}

// The first report comes from the monitor thread: the start neither waits
// for a monitor cycle nor runs handlers on its caller.
TEST(PrinterOperationsDirect, StartMonitorReportsOnceFromTheMonitorThread) {
  DirectPrinter printer(432);
  Record record;
  ASSERT_TRUE(printer.Open(record));
  ASSERT_EQ(SetEventCallback(printer.handle(), EVENT_STATUS_CHANGE, &OnStatusChange), 0);
  statusChanges = 0;
  callingThread = std::this_thread::get_id();
  ASSERT_EQ(TdcStartMonitor(Env(), record.get()), 0);
  ASSERT_TRUE(io_test::Eventually([] { return statusChanges.load() == 1; }));
  EXPECT_FALSE(statusOnCallingThread.load());
  EXPECT_TRUE(IsCallbackEnabled(printer.handle()));
  EXPECT_EQ(TdcStartMonitor(Env(), record.get()), 0);
  EXPECT_EQ(statusChanges.load(), 1) << "a second start raises nothing";
  EXPECT_EQ(TdcStopMonitor(Env(), record.get()), 0);
  EXPECT_FALSE(IsCallbackEnabled(printer.handle()));
  SetEventCallback(printer.handle(), EVENT_STATUS_CHANGE, nullptr);
}

// ---- Device service ----------------------------------------------------------------------

// A printer record connected through the scripted client, as the runtime
// makes one: created, registered, connected to "TCP:<address>[printer1]".
class ServiceOperations : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override {
    if (record_ != nullptr) {
      TdcDisconnectPrinter(Env(), record_);
      TdcDestroyPrinter(record_);
    }
    EXPECT_TRUE(fake::WaitIdle());
    fake::Reset();
  }
  void Connect(int n, int32_t intervalBeforeConnect = 3000) {
    ASSERT_EQ(TdcCreatePrinter(&record_, kSeries, 0), 0);
    TdcRegisterPrinter(record_);
    ASSERT_EQ(TdcSetInterval(record_, intervalBeforeConnect), 0);
    const std::string target = "TCP:" + io_test::address(n) + "[printer1]";
    ASSERT_EQ(TdcConnectPrinter(Env(), record_, target.c_str(), nullptr, 5000), 0);
    const TdcPrinterState_t state = TdcReadPrinterState(record_);
    ASSERT_EQ(state.mode, TDC_MODE_SERVICE);
    handle_ = state.handle;
    connection_ = state.connection;
  }
  // The calls made since the connect, by name.
  std::vector<fake::Call> CallsAfterConnect(const std::string& name) {
    std::vector<fake::Call> calls;
    for (const auto& call : fake::Calls(name)) {
      if (call.target == handle_) calls.push_back(call);
    }
    return calls;
  }

  TdcPrinter_t* record_ = nullptr;
  void* handle_ = nullptr;
  TdevConnection_t* connection_ = nullptr;
};

TEST_F(ServiceOperations, MonitorStartSendsTheStoredIntervalAndIgnoresTheAnswers) {
  Connect(440, 7000);
  fake::SetResult("TdevSetMonitorInterval", 255);
  fake::SetResult("TdevStartMonitor", 4);
  fake::SetResult("TdevStopMonitor", 255);
  EXPECT_EQ(TdcStartMonitor(Env(), record_), 0);
  EXPECT_EQ(TdcStopMonitor(Env(), record_), 0);
  const std::vector<std::string> names = fake::CallNames();
  const auto start = std::find(names.begin(), names.end(), "TdevSetMonitorInterval");
  ASSERT_NE(start, names.end());
  EXPECT_EQ(
      std::vector<std::string>(start, names.end()),
      (std::vector<std::string>{"TdevSetMonitorInterval", "TdevStartMonitor", "TdevStopMonitor"}));
  const auto interval = CallsAfterConnect("TdevSetMonitorInterval");
  ASSERT_EQ(interval.size(), 1u);
  EXPECT_EQ(interval[0].ints, (std::vector<int64_t>{7000}));
  EXPECT_EQ(CallsAfterConnect("TdevStartMonitor").size(), 1u);
  EXPECT_EQ(CallsAfterConnect("TdevStopMonitor").size(), 1u);
}

TEST_F(ServiceOperations, IntervalDefaultBecomesThreeSecondsAndIsStored) {
  Connect(441);
  fake::SetResult("TdevSetMonitorInterval", 255);  // not looked at
  EXPECT_EQ(TdcSetInterval(record_, -2), 0);
  EXPECT_EQ(TdcSetInterval(record_, 999), 1);
  EXPECT_EQ(TdcSetInterval(record_, 60000), 0);
  const auto calls = CallsAfterConnect("TdevSetMonitorInterval");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].ints, (std::vector<int64_t>{3000}));
  EXPECT_EQ(calls[1].ints, (std::vector<int64_t>{60000}));
  {
    const PlatformLockGuard lock(record_->intervalLock);
    EXPECT_EQ(record_->interval, 60000);
  }
  EXPECT_EQ(TdcSetInterval(record_, -2), 0);
  const PlatformLockGuard lock(record_->intervalLock);
  EXPECT_EQ(record_->interval, 3000);
}

TEST_F(ServiceOperations, TransactionsAreTheLayersMarkerOnly) {
  Connect(442);
  const size_t before = fake::Calls().size();
  EXPECT_EQ(TdcBeginTransaction(Env(), record_), 0);
  EXPECT_EQ(TdcBeginTransaction(Env(), record_), 5);
  EXPECT_EQ(TdcEndTransaction(Env(), record_), 0);
  EXPECT_EQ(TdcEndTransaction(Env(), record_), 5);
  EXPECT_EQ(fake::Calls().size(), before) << "the service was told";
}

// Codes the client answers, and the layer's result for each.
const std::pair<int, int> kServiceAnswers[] = {
    {0, 0},    {1, 1},   {2, 2},   {3, 4},   {4, 3},     {5, 5},
    {10, 255}, {12, 10}, {14, 12}, {17, 15}, {255, 255}, {30, 1},  // in no row
};

TEST_F(ServiceOperations, RecoverAndResetPassTheTimeoutAndTranslateTheAnswer) {
  Connect(443);
  struct Op {
    const char* name;
    int (*run)(TdcEnvData_t*, TdcPrinter_t*, int32_t);
  };
  const Op ops[] = {{"TdevPrinterForceRecover", &TdcForceRecover},
                    {"TdevPrinterForceReset", &TdcForceReset}};
  for (const auto& op : ops) {
    SCOPED_TRACE(op.name);
    for (const auto& [answer, result] : kServiceAnswers) {
      fake::PushResult(op.name, answer);
      EXPECT_EQ(op.run(Env(), record_, 20000), result) << "answer " << answer;
    }
    EXPECT_EQ(op.run(Env(), record_, -2), 0);
    EXPECT_EQ(op.run(Env(), record_, 0), 0);
    EXPECT_EQ(op.run(Env(), record_, 600001), 1);
    EXPECT_EQ(op.run(Env(), record_, -1), 1);
    const auto calls = CallsAfterConnect(op.name);
    ASSERT_EQ(calls.size(), std::size(kServiceAnswers) + 2);
    EXPECT_EQ(calls[0].ints, (std::vector<int64_t>{20000}));
    EXPECT_EQ(calls[calls.size() - 2].ints, (std::vector<int64_t>{-2}));
    EXPECT_EQ(calls.back().ints, (std::vector<int64_t>{0}));
  }
}

TEST_F(ServiceOperations, PulseSendsTheServiceValuesOfDrawerAndTime) {
  Connect(444);
  struct Case {
    int32_t drawer, time, timeout;
    int result;
    std::vector<int64_t> sent;  // empty: nothing sent
  };
  const Case cases[] = {
      {1, 4, 5000, 0, {1, 4, 5000}},
      {-2, -2, -2, 0, {0, 0, -2}},
      {0, 2, 600000, 0, {0, 2, 600000}},
      {2, 0, -2, 1, {}},
      {-1, 0, -2, 1, {}},
      {0, 5, -2, 1, {}},
      {0, -1, -2, 1, {}},
      {0, 0, 600001, 1, {}},
  };
  for (const auto& c : cases) {
    const size_t before = CallsAfterConnect("TdevPrinterForcePulse").size();
    EXPECT_EQ(TdcForcePulse(Env(), record_, c.drawer, c.time, c.timeout), c.result)
        << c.drawer << " " << c.time << " " << c.timeout;
    const auto calls = CallsAfterConnect("TdevPrinterForcePulse");
    if (c.sent.empty()) {
      EXPECT_EQ(calls.size(), before);
    } else {
      ASSERT_EQ(calls.size(), before + 1);
      EXPECT_EQ(calls.back().ints, c.sent);
    }
  }
  for (const auto& [answer, result] : kServiceAnswers) {
    fake::PushResult("TdevPrinterForcePulse", answer);
    EXPECT_EQ(TdcForcePulse(Env(), record_, 0, 0, -2), result) << "answer " << answer;
  }
}

// The host link drops while an immediate operation waits in the client: the
// record is closed at once, but the connection the client is using stays
// alive until the operation is done with it.
TEST_F(ServiceOperations, ConnectionOutlivesADisconnectDuringAnOperation) {
  Connect(445);
  ASSERT_TRUE(fake::IsLive(connection_));
  fake::Hold("TdevPrinterForceRecover");
  int result = -1;
  std::thread worker([&] { result = TdcForceRecover(Env(), record_, -2); });
  ASSERT_TRUE(fake::WaitBlocked("TdevPrinterForceRecover"));

  ASSERT_TRUE(fake::FireDisconnected(connection_));
  EXPECT_EQ(TdcReadPrinterState(record_).handle, nullptr);
  EXPECT_TRUE(fake::IsLive(connection_)) << "freed under the waiting call";

  fake::ReleaseHold("TdevPrinterForceRecover");
  worker.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(fake::IsLive(connection_)) << "the last use frees it";
  EXPECT_EQ(TdcForceRecover(Env(), record_, -2), 5);
}

// Operations of one record never overlap: a second one waits until the one
// in the client returns.
TEST_F(ServiceOperations, OperationsOfOneRecordRunOneAtATime) {
  Connect(446);
  fake::Hold("TdevPrinterForceReset");
  std::thread first([&] { EXPECT_EQ(TdcForceReset(Env(), record_, -2), 0); });
  ASSERT_TRUE(fake::WaitBlocked("TdevPrinterForceReset"));
  std::atomic<bool> secondDone{false};
  std::thread second([&] {
    EXPECT_EQ(TdcForcePulse(Env(), record_, 0, 0, -2), 0);
    secondDone = true;
  });
  // The second is kept out of the client for as long as the first is in it.
  EXPECT_FALSE(fake::WaitForCalls("TdevPrinterForcePulse", 1, std::chrono::milliseconds(300)));
  EXPECT_FALSE(secondDone.load());
  fake::ReleaseHold("TdevPrinterForceReset");
  first.join();
  second.join();
  EXPECT_EQ(fake::CallCount("TdevPrinterForcePulse"), 1);
}

}  // namespace
