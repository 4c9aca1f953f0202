// The operations both printer kinds share: transactions, the status monitor
// and its interval, and the immediate operations, on the direct backend
// against the printer emulator and on the device service; and the record
// access they run under.
//
// Addresses (127.0.0.N via io_test::address): 430-449.

#include "device/printer_operations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "../engine/connection_test_support.h"
#include "device/printer_access.h"
#include "engine/engine_ops.h"
#include "engine/event_callbacks.h"
#include "engine/print_handle.h"
#include "engine/shared_connection.h"
#include "foundation/lock_guard.h"

using namespace tilo2::core;

namespace {

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

TEST(PrinterOperationsDirect, StartMonitorReportsOnceOnTheCallingThread) {
  DirectPrinter printer(432);
  Record record;
  ASSERT_TRUE(printer.Open(record));
  ASSERT_EQ(SetEventCallback(printer.handle(), EVENT_STATUS_CHANGE, &OnStatusChange), 0);
  statusChanges = 0;
  callingThread = std::this_thread::get_id();
  ASSERT_EQ(TdcStartMonitor(Env(), record.get()), 0);
  EXPECT_EQ(statusChanges.load(), 1) << "raised before the start returned";
  EXPECT_TRUE(statusOnCallingThread.load());
  EXPECT_TRUE(IsCallbackEnabled(printer.handle()));
  EXPECT_EQ(TdcStartMonitor(Env(), record.get()), 0);
  EXPECT_EQ(statusChanges.load(), 1) << "a second start raises nothing";
  EXPECT_EQ(TdcStopMonitor(Env(), record.get()), 0);
  EXPECT_FALSE(IsCallbackEnabled(printer.handle()));
  SetEventCallback(printer.handle(), EVENT_STATUS_CHANGE, nullptr);
}

}  // namespace
