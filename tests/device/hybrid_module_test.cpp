// A hybrid printer record on the device-service backend against the scripted
// client: connect and its undo, the paper selection and its refusals, each
// operation's request, the send's paper switch, the result notifier's paper
// state and codes, the status events; and the backend-free parts (status
// records, completion codes, the switch flag, the accessors).
//
// The fake never opens a socket; io_test::address(1270) only names the host.

#include "device/hybrid_module.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../io/io_test_support.h"
#include "device/command_list.h"
#include "device/printer_access.h"
#include "device/printer_module.h"
#include "device/service_notifiers.h"
#include "device/test_hooks.h"
#include "service_fake/fake_hybrid.h"
#include "service_fake/fake_service.h"

using namespace tilo2::core;
namespace fake = tilo2::fake;

namespace {

struct ResultSeen {
  int32_t method;
  int32_t code;
  std::optional<std::string> data;
  TdcStatus_t status;
};

// What the record's hybrid callbacks reported. The fake's Fire* return once
// the notifier returned, so the tests read these without waiting.
struct Seen {
  std::mutex mutex;
  std::vector<int32_t> events;
  std::vector<ResultSeen> results;
  std::vector<int32_t> connection;

  std::vector<int32_t> Events() {
    std::lock_guard lock(mutex);
    return events;
  }
  std::vector<ResultSeen> Results() {
    std::lock_guard lock(mutex);
    return results;
  }
};

void OnStatus(void*, int32_t event, void* user) {
  auto* seen = static_cast<Seen*>(user);
  std::lock_guard lock(seen->mutex);
  seen->events.push_back(event);
}

void OnResult(void*, int32_t method, int32_t code, const char* data, TdcStatus_t* status,
              void* user) {
  auto* seen = static_cast<Seen*>(user);
  std::lock_guard lock(seen->mutex);
  seen->results.push_back({method, code,
                           data != nullptr ? std::optional<std::string>(data) : std::nullopt,
                           status != nullptr ? *status : TdcStatus_t{}});
}

void OnConnection(void*, int32_t event, void* user) {
  auto* seen = static_cast<Seen*>(user);
  std::lock_guard lock(seen->mutex);
  seen->connection.push_back(event);
}

std::string Target(const char* id = "h1") {
  return "TCP:" + io_test::address(1270) + "[" + id + "]";
}

class HybridService : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    fake::SetSystemUnits(1, 1, 1);
  }
  void TearDown() override {
    for (auto* record : records_) EXPECT_EQ(TdcDestroyHybridPrinter(record), 0);
    fake::WaitIdle();
    fake::Reset();
    fake::SetSystemUnits(1, 1, 1);
  }

  TdcPrinter_t* NewRecord() {
    TdcPrinter_t* record = nullptr;
    EXPECT_EQ(TdcCreateHybridPrinter(0, &record), 0);
    TdcRegisterHybridPrinter(record);
    record->hybridStatusCallback = &OnStatus;
    record->hybridStatusUser = &seen_;
    record->hybridReceiveCallback = &OnResult;
    record->hybridReceiveUser = &seen_;
    record->hybridConnectionCallback = &OnConnection;
    record->hybridConnectionUser = &seen_;
    records_.push_back(record);
    return record;
  }

  // A connected record with one text command in its list.
  TdcPrinter_t* Connected() {
    TdcPrinter_t* record = NewRecord();
    EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record, Target().c_str(), 5000), 0);
    EXPECT_EQ(TdcAddPrinterCommandText(&record->commands.commandList, "slip"), 0);
    return record;
  }

  static TdevPrinterHandle_t* Handle(TdcPrinter_t* record) {
    return static_cast<TdevPrinterHandle_t*>(TdcReadPrinterState(record).handle);
  }

  static std::vector<int64_t> Ints(const std::string& name) {
    const auto calls = fake::Calls(name);
    return calls.empty() ? std::vector<int64_t>{} : calls.back().ints;
  }

  Seen seen_;
  std::vector<TdcPrinter_t*> records_;
};

// ---- Connect and disconnect ------------------------------------------------------------

TEST_F(HybridService, ConnectLearnsTheUnitsOpensAHybridDeviceAndInstallsEverySlot) {
  fake::SetSystemUnits(1, 0, 1);
  TdcPrinter_t* record = NewRecord();
  // Left from an earlier session: the inserted paper survives a connect.
  TdcSetInsertedPaper(record, TDC_PAPER_SLIP);
  TdcSetPaperType(record, TDC_PAPER_VALIDATION);
  TdcSetInsertionMode(record, TDC_INSERTION_MICR_HELD);
  record->slipApplied = 1;

  ASSERT_EQ(TdcConnectHybridPrinter(nullptr, record, Target().c_str(), 5000), 0);
  const TdcPrinterState_t state = TdcReadPrinterState(record);
  EXPECT_EQ(state.mode, TDC_MODE_SERVICE);
  EXPECT_NE(state.handle, nullptr);
  EXPECT_EQ(state.builder, state.handle);
  EXPECT_EQ(record->settings->portType, TDC_PORT_TCP);
  EXPECT_EQ(record->settings->series, kTdcNone);
  EXPECT_EQ(TdcGetPaperSupport(record), kTdcSupportEndorse | kTdcSupportMicr);
  EXPECT_EQ(TdcGetPaperType(record), TDC_PAPER_RECEIPT);
  EXPECT_EQ(TdcGetInsertionMode(record), TDC_INSERTION_NONE);
  EXPECT_EQ(record->slipApplied, 0);
  EXPECT_EQ(TdcGetInsertedPaper(record), TDC_PAPER_SLIP);

  const auto open = fake::Calls("TdevOpenDeviceSync");
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].ints, std::vector<int64_t>{TDEV_DEVICE_HYBRID_PRINTER});
  EXPECT_EQ(fake::Calls("TdevGetSystemVersion")[0].texts,
            std::vector<std::string>{io_test::address(1270)});
  for (int slot = 0; slot <= 18; ++slot) {
    EXPECT_TRUE(fake::IsHybridInstalled(state.handle, slot)) << "slot " << slot;
  }
  // The buffer is cleared last, once every slot is in place.
  EXPECT_EQ(fake::CallNames().back(), "TdevHybridClearBufferSync");
}

TEST_F(HybridService, EachConnectStepFailingLeavesTheRecordClosedAndUndoesTheEarlierSteps) {
  struct Case {
    const char* failing;
    int code;
    int expected;
    int closes;
    int disconnects;
  };
  const Case cases[] = {
      {"TdevConnectSync", 3, TDC_ERR_TIMEOUT, 0, 0},
      // Units that cannot be read make the connect fail whatever the reason.
      {"TdevGetSystemVersion", 255, TDC_ERR_CONNECT, 0, 1},
      {"TdevSetDisconnectCallback", 255, TDC_ERR_FAILURE, 0, 1},
      {"TdevOpenDeviceSync", 8, TDC_ERR_IN_USE, 0, 1},
      {"TdevHybridSetOnlineCallback", 255, TDC_ERR_FAILURE, 1, 1},
      {"TdevHybridSetClearBufferReply", 255, TDC_ERR_FAILURE, 1, 1},
      {"TdevHybridClearBufferSync", 255, TDC_ERR_CONNECT, 1, 1},
      {"TdevHybridClearBufferSync", 10, TDC_ERR_CONNECT, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.failing) + " " + std::to_string(c.code));
    fake::Reset();
    TdcPrinter_t* record = NewRecord();
    fake::PushResult(c.failing, c.code);
    EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record, Target().c_str(), 5000), c.expected);
    const TdcPrinterState_t state = TdcReadPrinterState(record);
    EXPECT_EQ(state.mode, TDC_MODE_CLOSED);
    EXPECT_EQ(state.handle, nullptr);
    EXPECT_EQ(record->commands.ops, nullptr);
    EXPECT_EQ(record->settings->portType, kTdcNone);
    EXPECT_EQ(TdcGetPaperSupport(record), kTdcNone);
    EXPECT_EQ(fake::CallCount("TdevCloseDeviceSync"), c.closes);
    EXPECT_EQ(fake::CallCount("TdevDisconnectIfUnused"), c.disconnects);
    EXPECT_TRUE(fake::WaitIdle());
    // No listener is left behind: a later drop of the host reaches nobody.
    if (TdevConnection_t* connection = fake::ConnectionOf(io_test::address(1270))) {
      fake::FireDisconnected(connection);
    }
    EXPECT_TRUE(seen_.connection.empty());
    // The record stays usable.
    EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record, Target().c_str(), 5000), 0);
    EXPECT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
    EXPECT_EQ(TdcDestroyHybridPrinter(record), 0);
    records_.clear();
    seen_.connection.clear();
  }
}

// A timed-out or busy buffer clear still leaves a usable printer.
TEST_F(HybridService, BufferClearTimeoutOrBusyCountsAsConnected) {
  for (int code : {3, 46}) {
    SCOPED_TRACE(code);
    TdcPrinter_t* record = NewRecord();
    fake::PushResult("TdevHybridClearBufferSync", code);
    EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record, Target().c_str(), 5000), 0);
    EXPECT_EQ(TdcReadPrinterState(record).mode, TDC_MODE_SERVICE);
    EXPECT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
  }
}

TEST_F(HybridService, ConnectRefusals) {
  TdcPrinter_t* record = NewRecord();
  EXPECT_EQ(TdcConnectHybridPrinter(nullptr, nullptr, Target().c_str(), 5000), TDC_ERR_PARAM);
  EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record, nullptr, 5000), TDC_ERR_PARAM);
  EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record, Target().c_str(), 999), TDC_ERR_PARAM);
  EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record, Target().c_str(), 300001), TDC_ERR_PARAM);
  const std::string bluetooth = "BT:00:11:22:33:44:55[h1]";
  EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record, bluetooth.c_str(), 5000),
            TDC_ERR_TYPE_INVALID);
  EXPECT_EQ(fake::CallCount("TdevConnectSync"), 0);
  ASSERT_EQ(TdcConnectHybridPrinter(nullptr, record, Target().c_str(), kTdcDefault), 0);
  EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record, Target().c_str(), 5000), TDC_ERR_ILLEGAL);
}

TEST_F(HybridService, DisconnectResetsThePaperStateAndReportsEventTwo) {
  TdcPrinter_t* record = Connected();
  TdcSetPaperType(record, TDC_PAPER_SLIP);
  TdcSetInsertedPaper(record, TDC_PAPER_SLIP);
  TdcSetInsertionMode(record, TDC_INSERTION_MICR_HELD);
  record->endorseApplied = 1;

  ASSERT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
  EXPECT_EQ(TdcReadPrinterState(record).handle, nullptr);
  EXPECT_EQ(TdcReadPrinterState(record).mode, TDC_MODE_CLOSED);
  EXPECT_EQ(record->commands.ops, nullptr);
  EXPECT_EQ(TdcGetPaperType(record), TDC_PAPER_RECEIPT);
  EXPECT_EQ(TdcGetInsertionMode(record), TDC_INSERTION_NONE);
  EXPECT_EQ(TdcGetPaperSupport(record), kTdcNone);
  EXPECT_EQ(record->endorseApplied, 0);
  EXPECT_EQ(TdcGetInsertedPaper(record), TDC_PAPER_SLIP);
  EXPECT_EQ(fake::CallCount("TdevCloseDeviceSync"), 1);
  EXPECT_EQ(seen_.connection, std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  EXPECT_EQ(TdcDisconnectHybridPrinter(nullptr, record), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcDisconnectHybridPrinter(nullptr, nullptr), TDC_ERR_PARAM);
}

TEST_F(HybridService, FailedCloseKeepsTheRecordConnected) {
  TdcPrinter_t* record = Connected();
  fake::PushResult("TdevCloseDeviceSync", 255);
  EXPECT_EQ(TdcDisconnectHybridPrinter(nullptr, record), TDC_ERR_FAILURE);
  EXPECT_EQ(TdcReadPrinterState(record).mode, TDC_MODE_SERVICE);
  EXPECT_NE(TdcGetPaperSupport(record), kTdcNone);
  EXPECT_TRUE(seen_.connection.empty());
  EXPECT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
}

// The host dropping clears the record's handles and tells the app.
TEST_F(HybridService, HostDropClosesTheRecord) {
  TdcPrinter_t* record = Connected();
  TdevConnection_t* connection = TdcReadPrinterState(record).connection;
  ASSERT_TRUE(fake::FireDisconnected(connection));
  EXPECT_EQ(TdcReadPrinterState(record).handle, nullptr);
  EXPECT_EQ(TdcReadPrinterState(record).mode, TDC_MODE_CLOSED);
  EXPECT_EQ(seen_.connection, std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  EXPECT_EQ(TdcWaitInsertion(nullptr, record, -2, -2), TDC_ERR_ILLEGAL);
  // A new connect works on the same record.
  EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record, Target().c_str(), 5000), 0);
}

// ---- Status ---------------------------------------------------------------------------------

TEST_F(HybridService, StatusQueryBuildsTheHybridFieldsAndRefusesAQueryThatNeverRan) {
  TdcPrinter_t* record = Connected();
  TdcSetPaperType(record, TDC_PAPER_VALIDATION);
  struct Case {
    const char* what;
    int result;
    uint32_t word;
    int32_t connection;
    int32_t insertionWaiting;
    int32_t removalWaiting;
    int32_t slipPaper;
  };
  const Case cases[] = {
      {"idle", 0, 0x2, 1, 3, 1, 1},
      {"waiting for validation paper", 0, 0x2 | 0x10000, 1, 1, 1, 1},
      {"removal wait, slip empty", 0, 0x2 | 0x40000 | (1u << 28), 1, 3, 0, 0},
      {"no answer", 0, 0x1, 0, kTdcNone, kTdcNone, kTdcNone},
      {"query failed", 1, 0x2, 0, kTdcNone, kTdcNone, kTdcNone},
      // Word 0 comes only from a query that never started: not a printer that answered.
      {"never ran", 0, 0, 0, kTdcNone, kTdcNone, kTdcNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake::PushStatus(c.result, c.word, 0);
    TdcStatus_t* status = TdcGetHybridPrinterStatus(nullptr, record);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->connection, c.connection);
    EXPECT_EQ(status->buzzer, c.insertionWaiting);
    EXPECT_EQ(status->adapter, c.removalWaiting);
    EXPECT_EQ(status->batteryLevel, c.slipPaper);
    std::free(status);
  }
  TdcStatus_t* none = TdcGetHybridPrinterStatus(nullptr, nullptr);
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(none->connection, 0);
  std::free(none);
}

// ---- Paper selection ------------------------------------------------------------------------

TEST_F(HybridService, SelectPaperTypeChecksUnitsAndTheServiceStatus) {
  constexpr int32_t kOld = TDC_PAPER_SLIP;
  struct Case {
    const char* what;
    uint8_t units[3];
    int32_t paperType;
    int statusResult;
    uint32_t word;
    int32_t insertionMode;
    int expected;
    int32_t stored;
  };
  const Case cases[] = {
      {"slip on a ready printer", {1, 1, 1}, TDC_PAPER_SLIP, 0, 0x2, 0, 0, TDC_PAPER_SLIP},
      {"default", {1, 1, 1}, kTdcDefault, 0, 0x2, 0, 0, kTdcDefault},
      {"endorse without the unit", {0, 1, 1}, TDC_PAPER_ENDORSE, 0, 0x2, 0, 28, kOld},
      {"validation without the unit", {1, 0, 1}, TDC_PAPER_VALIDATION, 0, 0x2, 0, 28, kOld},
      {"validation while waiting for an insertion",
       {1, 1, 1},
       TDC_PAPER_VALIDATION,
       0,
       0x2 | 0x10000,
       0,
       TDC_ERR_ILLEGAL,
       kOld},
      {"insertion wait of a running MICR operation",
       {1, 1, 1},
       TDC_PAPER_VALIDATION,
       0,
       0x2 | 0x10000,
       TDC_INSERTION_MICR_RUNNING,
       0,
       TDC_PAPER_VALIDATION},
      {"removal wait", {1, 1, 1}, TDC_PAPER_RECEIPT, 0, 0x2 | 0x40000, 0, TDC_ERR_ILLEGAL, kOld},
      {"printer silent", {1, 1, 1}, TDC_PAPER_RECEIPT, 0, 0x1, 0, TDC_ERR_CONNECT, kOld},
      {"query failed", {1, 1, 1}, TDC_PAPER_RECEIPT, 1, 0x2, 0, TDC_ERR_ILLEGAL, kOld},
      {"query never ran", {1, 1, 1}, TDC_PAPER_RECEIPT, 0, 0, 0, TDC_ERR_ILLEGAL, kOld},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake::Reset();
    fake::SetSystemUnits(c.units[0], c.units[1], c.units[2]);
    TdcPrinter_t* record = Connected();
    TdcSetPaperType(record, kOld);
    TdcSetInsertionMode(record, c.insertionMode);
    fake::SetStatus(c.statusResult, c.word, 0);
    EXPECT_EQ(TdcSelectPaperType(nullptr, record, c.paperType), c.expected);
    EXPECT_EQ(TdcGetPaperType(record), c.stored);
    EXPECT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
  }
}

TEST_F(HybridService, SelectPaperTypeRefusals) {
  TdcPrinter_t* record = NewRecord();
  EXPECT_EQ(TdcSelectPaperType(nullptr, nullptr, 1), TDC_ERR_PARAM);
  for (int32_t bad : {-1, 4, -3}) EXPECT_EQ(TdcSelectPaperType(nullptr, record, bad), 1) << bad;
  EXPECT_EQ(TdcSelectPaperType(nullptr, record, 1), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcGetPaperType(record), TDC_PAPER_RECEIPT);
}

// ---- Operations ------------------------------------------------------------------------------

TEST_F(HybridService, WaitTimeAndTimeoutRules) {
  TdcPrinter_t* record = Connected();
  TdcSetPaperType(record, TDC_PAPER_VALIDATION);
  struct Case {
    int32_t waitTime;
    int32_t timeout;
    int expected;
    int32_t sentWait;
    int32_t sentTimeout;
  };
  const Case cases[] = {
      {-2, -2, 0, 500, 15000}, {0, 5000, 0, 0, 5000}, {6400, 600000, 0, 6400, 600000},
      {6401, 5000, 1, 0, 0},   {-1, 5000, 1, 0, 0},   {0, 4999, 1, 0, 0},
      {0, 600001, 1, 0, 0},    {0, -1, 1, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.waitTime) + " " + std::to_string(c.timeout));
    const int before = fake::CallCount("TdevHybridWaitInsertion");
    EXPECT_EQ(TdcWaitInsertion(nullptr, record, c.waitTime, c.timeout), c.expected);
    if (c.expected != 0) {
      EXPECT_EQ(fake::CallCount("TdevHybridWaitInsertion"), before);
      continue;
    }
    EXPECT_EQ(Ints("TdevHybridWaitInsertion"),
              (std::vector<int64_t>{TDC_PAPER_VALIDATION, c.sentWait, c.sentTimeout, 0}));
  }
}

// Each operation's request on the device service, with the removal flag of
// a held MICR document.
TEST_F(HybridService, OperationsSendTheirRequestsWithThePaperState) {
  TdcPrinter_t* record = Connected();
  TdcSetPaperType(record, TDC_PAPER_ENDORSE);
  TdcSetInsertionMode(record, TDC_INSERTION_MICR_HELD);

  EXPECT_EQ(TdcWaitInsertion(nullptr, record, 100, 5000), 0);
  EXPECT_EQ(Ints("TdevHybridWaitInsertion"), (std::vector<int64_t>{2, 100, 5000, 1}));
  EXPECT_EQ(TdcEjectPaper(nullptr, record), 0);
  EXPECT_EQ(Ints("TdevHybridEjectPaper"), (std::vector<int64_t>{0, 1}));

  const uint8_t bytes[] = {0x1B, 0x40};
  EXPECT_EQ(TdcForceHybridPrinterCommand(nullptr, record, bytes, 2, kTdcDefault, kTdcDefault), 0);
  const auto force = fake::Calls("TdevHybridForceCommand");
  ASSERT_EQ(force.size(), 1u);
  EXPECT_EQ(force[0].ints, (std::vector<int64_t>{2, 2, 1, 1, kTdcDefault}));
  EXPECT_EQ(force[0].bytes, std::vector<uint8_t>(bytes, bytes + 2));

  // The cancel follows the insertion mode: a MICR operation, a plain insertion, or neither.
  const struct {
    int32_t insertionMode;
    int expected;
    const char* request;
  } cancels[] = {
      {TDC_INSERTION_MICR_HELD, 0, "TdevHybridCancelMicr"},
      {TDC_INSERTION_MICR_RUNNING, 0, "TdevHybridCancelMicr"},
      {TDC_INSERTION_NONE, 0, "TdevHybridCancelInsertion"},
      {7, TDC_ERR_ILLEGAL, nullptr},
  };
  for (const auto& c : cancels) {
    SCOPED_TRACE(c.insertionMode);
    const int micr = fake::CallCount("TdevHybridCancelMicr");
    const int plain = fake::CallCount("TdevHybridCancelInsertion");
    TdcSetInsertionMode(record, c.insertionMode);
    EXPECT_EQ(TdcCancelInsertion(nullptr, record), c.expected);
    const int micrAfter = fake::CallCount("TdevHybridCancelMicr");
    const int plainAfter = fake::CallCount("TdevHybridCancelInsertion");
    EXPECT_EQ(micrAfter - micr + plainAfter - plain, c.request != nullptr ? 1 : 0);
    if (c.request != nullptr) {
      EXPECT_EQ(fake::CallNames().back(), c.request);
    }
  }
  EXPECT_EQ(Ints("TdevHybridCancelInsertion"), std::vector<int64_t>{2});
}

TEST_F(HybridService, OperationRefusals) {
  TdcPrinter_t* closed = NewRecord();
  const uint8_t bytes[] = {0x10};
  // Not connected.
  EXPECT_EQ(TdcWaitInsertion(nullptr, closed, -2, -2), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcSendHybridPrinterData(nullptr, closed, -2, -2), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcCancelInsertion(nullptr, closed), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcEjectPaper(nullptr, closed), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcReadMicrData(nullptr, closed, 0, -2, -2), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcCleanMicrReader(nullptr, closed, -2, -2), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcForceHybridPrinterCommand(nullptr, closed, bytes, 1, 1, -2), TDC_ERR_ILLEGAL);
  // Null record.
  EXPECT_EQ(TdcWaitInsertion(nullptr, nullptr, -2, -2), TDC_ERR_PARAM);
  EXPECT_EQ(TdcCancelInsertion(nullptr, nullptr), TDC_ERR_PARAM);
  EXPECT_EQ(TdcEjectPaper(nullptr, nullptr), TDC_ERR_PARAM);
  EXPECT_EQ(TdcSendHybridPrinterData(nullptr, nullptr, 1, -2), TDC_ERR_PARAM);

  TdcPrinter_t* record = Connected();
  // Values outside their tables, bytes and timeouts.
  EXPECT_EQ(TdcSendHybridPrinterData(nullptr, record, 2, -2), TDC_ERR_PARAM);
  EXPECT_EQ(TdcSendHybridPrinterData(nullptr, record, 1, 4999), TDC_ERR_PARAM);
  EXPECT_EQ(TdcReadMicrData(nullptr, record, 2, -2, -2), TDC_ERR_PARAM);
  EXPECT_EQ(TdcForceHybridPrinterCommand(nullptr, record, nullptr, 1, 1, -2), TDC_ERR_PARAM);
  EXPECT_EQ(TdcForceHybridPrinterCommand(nullptr, record, bytes, 0, 1, -2), TDC_ERR_PARAM);
  EXPECT_EQ(TdcForceHybridPrinterCommand(nullptr, record, bytes, 1, 3, -2), TDC_ERR_PARAM);
  EXPECT_EQ(TdcForceHybridPrinterCommand(nullptr, record, bytes, 1, 1, 600001), TDC_ERR_PARAM);
  EXPECT_EQ(TdcForceHybridPrinterCommand(nullptr, record, bytes, 1, 1, 0), 0);
  // The service's own refusals come back translated.
  fake::PushResult("TdevHybridEjectPaper", 9);
  EXPECT_EQ(TdcEjectPaper(nullptr, record), TDC_ERR_CONNECT);
}

TEST_F(HybridService, MicrOperationsNeedTheUnitAndRestoreTheModeOnFailure) {
  struct Case {
    const char* what;
    bool read;
    uint8_t micrUnit;
    int scripted;
    int32_t before;
    int expected;
    int32_t after;
  };
  const Case cases[] = {
      {"read", true, 1, 0, TDC_INSERTION_NONE, 0, TDC_INSERTION_MICR_RUNNING},
      {"cleaning", false, 1, 0, TDC_INSERTION_MICR_HELD, 0, TDC_INSERTION_MICR_RUNNING},
      {"read refused", true, 1, 5, TDC_INSERTION_MICR_HELD, TDC_ERR_ILLEGAL,
       TDC_INSERTION_MICR_HELD},
      {"cleaning refused", false, 1, 3, TDC_INSERTION_NONE, TDC_ERR_TIMEOUT, TDC_INSERTION_NONE},
      {"read without a MICR unit", true, 0, 0, TDC_INSERTION_NONE, 28, TDC_INSERTION_NONE},
      {"cleaning without a MICR unit", false, 0, 0, TDC_INSERTION_MICR_HELD, 28,
       TDC_INSERTION_MICR_HELD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake::Reset();
    fake::SetSystemUnits(1, 1, c.micrUnit);
    TdcPrinter_t* record = Connected();
    TdcSetInsertionMode(record, c.before);
    const char* request = c.read ? "TdevHybridReadMicrData" : "TdevHybridCleanMicrReader";
    if (c.scripted != 0) fake::PushResult(request, c.scripted);
    const int result = c.read ? TdcReadMicrData(nullptr, record, 1, -2, 20000)
                              : TdcCleanMicrReader(nullptr, record, 3000, -2);
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(TdcGetInsertionMode(record), c.after);
    if (c.micrUnit == 0) {
      EXPECT_EQ(fake::CallCount(request), 0);
    } else {
      const int64_t removal = c.before == TDC_INSERTION_MICR_HELD ? 1 : 0;
      const std::vector<int64_t> sent = c.read ? std::vector<int64_t>{1, 500, 20000, removal}
                                               : std::vector<int64_t>{3000, 15000, removal};
      EXPECT_EQ(Ints(request), sent);
    }
    EXPECT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
  }
}

// ---- Send and the paper switch --------------------------------------------------------------

TEST_F(HybridService, SendSwitchesPaperOnlyWhenTheSelectedSideIsNotInPlace) {
  TdcPrinter_t* record = Connected();
  // Slip selected and a slip inserted: printed as it is.
  TdcSetPaperType(record, TDC_PAPER_SLIP);
  TdcSetInsertedPaper(record, TDC_PAPER_SLIP);
  ASSERT_EQ(TdcSendHybridPrinterData(nullptr, record, 0, -2), 0);
  EXPECT_EQ(fake::CallCount("TdevHybridWaitInsertionSync"), 0);
  EXPECT_EQ(Ints("TdevHybridSendData"), (std::vector<int64_t>{1, 15000, 0, 0, 0}));

  // Endorse after the slip insertion: one switch, then none.
  TdcSetPaperType(record, TDC_PAPER_ENDORSE);
  ASSERT_EQ(TdcSendHybridPrinterData(nullptr, record, kTdcDefault, 6000), 0);
  const std::vector<std::string> expected = {"TdevHybridSetSelectingPaper",
                                             "TdevHybridWaitInsertionSync",
                                             "TdevHybridSetSelectingPaper", "TdevHybridSendData"};
  std::vector<std::string> names;
  for (const auto& name : fake::CallNames()) {
    if (name.rfind("TdevHybrid", 0) == 0 && name.find("Callback") == std::string::npos &&
        name.find("Reply") == std::string::npos && name != "TdevHybridClearBufferSync") {
      names.push_back(name);
    }
  }
  ASSERT_GE(names.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(names.end() - 4, names.end()), expected);
  const auto selecting = fake::Calls("TdevHybridSetSelectingPaper");
  EXPECT_EQ(selecting[0].ints, std::vector<int64_t>{1});
  EXPECT_EQ(selecting[1].ints, std::vector<int64_t>{0});
  EXPECT_EQ(Ints("TdevHybridWaitInsertionSync"), (std::vector<int64_t>{2, 0, 6000}));
  EXPECT_EQ(Ints("TdevHybridSendData"), (std::vector<int64_t>{2, 6000, 1, 0, 0}));
  EXPECT_EQ(record->endorseApplied, 1);
  EXPECT_EQ(record->slipApplied, 0);
  EXPECT_EQ(TdcGetInsertedPaper(record), TDC_PAPER_ENDORSE);

  ASSERT_EQ(TdcSendHybridPrinterData(nullptr, record, 1, -2), 0);
  EXPECT_EQ(fake::CallCount("TdevHybridWaitInsertionSync"), 1);
  EXPECT_EQ(fake::CallCount("TdevHybridSendData"), 3);
  // The command list stays; the document is emptied after each send.
  EXPECT_NE(record->commands.commandList.head, nullptr);
  EXPECT_TRUE(fake::Document(TdcReadPrinterState(record).handle).empty());
}

TEST_F(HybridService, PaperSwitchFlagTable) {
  TdcPrinter_t* record = NewRecord();
  struct Case {
    int32_t selected;
    int32_t inserted;
    int32_t insertionMode;
    int32_t slipApplied;
    int32_t endorseApplied;
    uint8_t flag;
  };
  const Case cases[] = {
      {1, 1, 0, 0, 0, 0},  // the same paper is in
      {1, 0, 0, 0, 0, 0},  // nothing inserted
      {0, 1, 0, 0, 0, 0},  // receipt
      {3, 1, 0, 0, 0, 0},  // validation never switches
      {2, 3, 0, 0, 0, 0},  // inserted validation
      {2, 1, 0, 0, 0, 1},  // endorse after a slip
      {2, 1, 0, 0, 1, 0},  // endorse side already applied
      {1, 2, 0, 0, 0, 1},  // slip after an endorse
      {1, 2, 0, 1, 0, 0},  // slip side already applied
      {1, 1, 2, 0, 0, 1},  // a held MICR document: the side is switched in any case
      {1, 0, 2, 1, 0, 0}, {0, 0, 2, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.selected << c.inserted << c.insertionMode
                                      << c.slipApplied << c.endorseApplied);
    TdcSetPaperType(record, c.selected);
    TdcSetInsertedPaper(record, c.inserted);
    TdcSetInsertionMode(record, c.insertionMode);
    record->slipApplied = c.slipApplied;
    record->endorseApplied = c.endorseApplied;
    uint8_t flag = 7;
    EXPECT_EQ(TdcGetPaperSwitchFlag(record, &flag), 0);
    EXPECT_EQ(flag, c.flag);
  }
  EXPECT_EQ(TdcGetPaperSwitchFlag(record, nullptr), TDC_ERR_PARAM);
  EXPECT_EQ(TdcGetPaperSwitchFlag(nullptr, nullptr), TDC_ERR_PARAM);
}

// A switch the service could not make sends nothing and answers 0; the app
// hears it through the result callback, as it would from the print engine.
TEST_F(HybridService, FailedPaperSwitchSendsNothingAndReportsTheSend) {
  TdcPrinter_t* record = Connected();
  TdcSetPaperType(record, TDC_PAPER_ENDORSE);
  TdcSetInsertedPaper(record, TDC_PAPER_SLIP);
  fake::PushResult("TdevHybridWaitInsertionSync", 3);
  EXPECT_EQ(TdcSendHybridPrinterData(nullptr, record, 1, -2), 0);
  EXPECT_EQ(fake::CallCount("TdevHybridSendData"), 0);
  // The selecting flag is not left on.
  EXPECT_EQ(fake::Calls("TdevHybridSetSelectingPaper").back().ints, std::vector<int64_t>{0});
  EXPECT_TRUE(fake::Document(TdcReadPrinterState(record).handle).empty());
  EXPECT_EQ(record->endorseApplied, 0);
  EXPECT_EQ(TdcGetInsertedPaper(record), TDC_PAPER_SLIP);
  const auto results = seen_.Results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].method, TDC_METHOD_SEND_DATA);
  EXPECT_EQ(results[0].code, TDC_CB_TIMEOUT);
}

TEST_F(HybridService, SendFailures) {
  TdcPrinter_t* record = Connected();
  // The service refusing the document's parameters is an illegal state here.
  fake::PushResult("TdevHybridSendData", 1);
  EXPECT_EQ(TdcSendHybridPrinterData(nullptr, record, 1, -2), TDC_ERR_ILLEGAL);
  fake::PushResult("TdevHybridSendData", 9);
  EXPECT_EQ(TdcSendHybridPrinterData(nullptr, record, 1, -2), TDC_ERR_CONNECT);
  EXPECT_TRUE(fake::Document(TdcReadPrinterState(record).handle).empty());
  // An empty list sends nothing.
  TdcClearPrinterCommands(&record->commands.commandList);
  EXPECT_EQ(TdcSendHybridPrinterData(nullptr, record, 1, -2), TDC_ERR_ILLEGAL);
  EXPECT_EQ(fake::CallCount("TdevHybridSendData"), 2);
}

// ---- Results and events ------------------------------------------------------------------------

TEST_F(HybridService, ResultNotifierUpdatesThePaperStateAndRenamesMicrCodes) {
  struct Case {
    const char* what;
    int32_t operation;
    int32_t code;  // the service's
    int32_t paperType;
    int32_t insertedBefore;
    int32_t modeBefore;
    int32_t method;
    int32_t reported;
    int32_t insertedAfter;
    int32_t modeAfter;
    int32_t appliedAfter;  // slipApplied
  };
  const Case cases[] = {
      {"insertion done", 0, 0, 1, 0, 0, 0, 0, 1, 0, 1},
      {"print done", 1, 0, 1, 1, 0, 1, 0, 1, 0, 1},
      {"cancel done resets", 2, 0, 1, 1, 2, 2, 0, 0, 0, 0},
      {"eject done resets", 3, 0, 1, 1, 2, 3, 0, 0, 0, 0},
      {"read done holds the document", 4, 0, 1, 0, 1, 4, 0, 0, 2, 1},
      {"cleaning done resets", 5, 0, 1, 1, 1, 5, 0, 0, 0, 0},
      // No reset on errors from the service.
      {"print timeout", 1, 3, 1, 1, 2, 1, 1, 1, 2, 1},
      {"read: system error", 4, 19, 1, 0, 1, 4, 19, 0, 0, 1},
      {"read: no MICR data", 4, 33, 1, 0, 1, 4, 21, 0, 0, 1},
      {"cleaning: system error keeps its name", 5, 19, 1, 0, 1, 5, 9, 0, 0, 1},
      {"read: wait insertion while running", 4, 43, 1, 0, 1, 4, 29, 0, 1, 1},
      {"read: wait insertion while held", 4, 43, 1, 0, 2, 4, 29, 0, 0, 1},
      {"read: inserted, none recorded", 4, 44, 1, 0, 1, 4, 31, 0, 2, 1},
      {"read: inserted, one recorded", 4, 44, 1, 1, 1, 4, 31, 1, 0, 1},
      {"unknown operation", 9, 0, 1, 0, 0, 1, 0, 0, 0, 1},
      {"unknown code", 0, 999, 1, 0, 0, 0, 1, 0, 0, 1},
  };
  TdcPrinter_t* record = Connected();
  TdevPrinterHandle_t* handle = Handle(record);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TdcSetPaperType(record, c.paperType);
    TdcSetInsertedPaper(record, c.insertedBefore);
    TdcSetInsertionMode(record, c.modeBefore);
    record->slipApplied = 1;
    const size_t before = seen_.Results().size();
    ASSERT_TRUE(fake::FireHybridResult(handle, 1, c.code, 0x2, c.operation, "T123"));
    const auto results = seen_.Results();
    ASSERT_EQ(results.size(), before + 1);
    EXPECT_EQ(results.back().method, c.method);
    EXPECT_EQ(results.back().code, c.reported);
    EXPECT_EQ(results.back().data, std::optional<std::string>("T123"));
    EXPECT_EQ(TdcGetInsertedPaper(record), c.insertedAfter);
    EXPECT_EQ(TdcGetInsertionMode(record), c.modeAfter);
    EXPECT_EQ(record->slipApplied, c.appliedAfter);
  }
}

TEST_F(HybridService, ResultCarriesTheStatusAndNullData) {
  TdcPrinter_t* record = Connected();
  TdcSetPaperType(record, TDC_PAPER_SLIP);
  ASSERT_TRUE(fake::FireHybridResult(Handle(record), 1, 0, 0x2 | 0x10000 | 0x40000, 1, nullptr));
  ASSERT_TRUE(fake::FireHybridResult(Handle(record), 1, 0, 0, 1, nullptr));
  const auto results = seen_.Results();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(results[0].data.has_value());
  EXPECT_EQ(results[0].status.connection, 1);
  EXPECT_EQ(results[0].status.online, 1);
  EXPECT_EQ(results[0].status.buzzer, 0);  // waiting for slip paper
  EXPECT_EQ(results[0].status.adapter, 0);
  EXPECT_EQ(results[0].status.batteryLevel, 1);
  // No bits at all: the printer answered, nothing else is known.
  EXPECT_EQ(results[1].status.connection, 1);
  EXPECT_EQ(results[1].status.online, kTdcNone);
  EXPECT_EQ(results[1].status.buzzer, kTdcNone);
}

// The app may start the next operation from a result: the operation mutex is
// free, so it runs at once on the notifier's thread.
TEST_F(HybridService, ResultCallbackMayStartTheNextOperation) {
  TdcPrinter_t* record = Connected();
  TdcSetPaperType(record, TDC_PAPER_SLIP);
  static int nested;
  nested = -1;
  record->hybridReceiveCallback = [](void* self, int32_t, int32_t, const char*, TdcStatus_t*,
                                     void*) {
    nested = TdcWaitInsertion(nullptr, static_cast<TdcPrinter_t*>(self), -2, -2);
  };
  ASSERT_TRUE(fake::FireHybridResult(Handle(record), 1, 0, 0x2, 3, nullptr));
  EXPECT_EQ(nested, 0);
  const auto waits = fake::Calls("TdevHybridWaitInsertion");
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_EQ(waits[0].thread, fake::LastNotifierThread());
}

// Without a result callback the notifier changes nothing.
TEST_F(HybridService, ResultWithoutCallbackLeavesThePaperState) {
  TdcPrinter_t* record = Connected();
  record->hybridReceiveCallback = nullptr;
  TdcSetPaperType(record, TDC_PAPER_SLIP);
  ASSERT_TRUE(fake::FireHybridResult(Handle(record), 1, 0, 0x2, 0, nullptr));
  EXPECT_EQ(TdcGetInsertedPaper(record), 0);
}

TEST_F(HybridService, StatusEventsMapSlotsAndTheInsertionWaitFollowsThePaperState) {
  TdcPrinter_t* record = Connected();
  TdevPrinterHandle_t* handle = Handle(record);
  for (int slot = 0; slot <= 9; ++slot) ASSERT_TRUE(fake::FireHybridStatusEvent(handle, slot));
  for (int slot = 11; slot <= 15; ++slot) ASSERT_TRUE(fake::FireHybridStatusEvent(handle, slot));
  EXPECT_EQ(seen_.Events(),
            (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 18, 19}));

  struct Case {
    int32_t paperType;
    int32_t insertionMode;
    std::optional<int32_t> event;
  };
  const Case cases[] = {
      {TDC_PAPER_SLIP, 0, 12},        {TDC_PAPER_ENDORSE, 2, 12},
      {TDC_PAPER_VALIDATION, 0, 13},  {TDC_PAPER_RECEIPT, 1, 14},
      {TDC_PAPER_VALIDATION, 1, 14},  {TDC_PAPER_RECEIPT, 0, std::nullopt},
      {kTdcDefault, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.paperType << " " << c.insertionMode);
    TdcSetPaperType(record, c.paperType);
    TdcSetInsertionMode(record, c.insertionMode);
    const size_t before = seen_.Events().size();
    ASSERT_TRUE(fake::FireHybridStatusEvent(handle, 10));
    const auto events = seen_.Events();
    if (c.event) {
      ASSERT_EQ(events.size(), before + 1);
      EXPECT_EQ(events.back(), *c.event);
    } else {
      EXPECT_EQ(events.size(), before);
    }
  }
}

// A handle of no hybrid record (closed, or another module's) reaches nobody.
TEST_F(HybridService, NotifiersIgnoreUnknownHandles) {
  TdcPrinter_t* record = Connected();
  int other = 0;
  auto* stranger = reinterpret_cast<TdevPrinterHandle_t*>(&other);
  TdcHybridServiceEventOnline(stranger, "h", "d");
  TdcOnHybridServiceResult(stranger, "h", "d", 1, 0, 0x2, 0, nullptr);
  TdcHybridServiceEventOnline(nullptr, nullptr, nullptr);
  TdcOnHybridServiceResult(nullptr, nullptr, nullptr, 0, 0, 0, 0, nullptr);
  EXPECT_TRUE(seen_.Events().empty());
  EXPECT_TRUE(seen_.Results().empty());
  EXPECT_NE(record, nullptr);
}

// ---- Backend-free parts ---------------------------------------------------------------------

TEST(HybridRecord, CreateAccessorsAndDestroy) {
  EXPECT_EQ(TdcCreateHybridPrinter(0, nullptr), TDC_ERR_PARAM);
  TdcPrinter_t* record = nullptr;
  ASSERT_EQ(TdcCreateHybridPrinter(4, &record), 0);
  EXPECT_EQ(record->settings->series, kTdcNone);
  EXPECT_EQ(record->settings->modelLang, 4);
  EXPECT_EQ(record->settings->portType, kTdcNone);
  EXPECT_EQ(record->interval, 3000);
  EXPECT_EQ(TdcGetPaperSupport(record), kTdcNone);
  EXPECT_EQ(TdcGetPaperType(record), 0);
  EXPECT_EQ(TdcGetInsertionMode(record), 0);
  EXPECT_EQ(TdcGetInsertedPaper(record), 0);

  const struct {
    uint8_t endorse, validation, micr;
    int32_t bits;
  } supports[] = {{0, 0, 0, 0}, {1, 0, 0, 1}, {0, 7, 0, 2}, {0, 0, 1, 4}, {1, 1, 1, 7}};
  for (const auto& s : supports) {
    EXPECT_EQ(TdcSetPaperSupport(record, s.endorse, s.validation, s.micr), 0);
    EXPECT_EQ(TdcGetPaperSupport(record), s.bits);
  }
  EXPECT_EQ(TdcSetPaperType(record, 3), 0);
  EXPECT_EQ(TdcGetPaperType(record), 3);
  EXPECT_EQ(TdcSetInsertedPaper(record, 2), 0);
  EXPECT_EQ(TdcGetInsertedPaper(record), 2);
  EXPECT_EQ(TdcSetInsertionMode(record, 1), 0);
  EXPECT_EQ(TdcGetInsertionMode(record), 1);

  EXPECT_EQ(TdcSetPaperType(nullptr, 1), TDC_ERR_PARAM);
  EXPECT_EQ(TdcSetInsertedPaper(nullptr, 1), TDC_ERR_PARAM);
  EXPECT_EQ(TdcSetInsertionMode(nullptr, 1), TDC_ERR_PARAM);
  EXPECT_EQ(TdcSetPaperSupport(nullptr, 1, 1, 1), TDC_ERR_PARAM);
  EXPECT_EQ(TdcGetPaperType(nullptr), 1);
  EXPECT_EQ(TdcGetInsertedPaper(nullptr), 1);
  EXPECT_EQ(TdcGetInsertionMode(nullptr), 1);
  EXPECT_EQ(TdcGetPaperSupport(nullptr), 1);
  EXPECT_EQ(TdcQueryPaperSupport(nullptr, nullptr), TDC_ERR_PARAM);
  // Not on the direct backend.
  EXPECT_EQ(TdcQueryPaperSupport(nullptr, record), TDC_ERR_ILLEGAL);

  EXPECT_EQ(TdcDestroyHybridPrinter(nullptr), TDC_ERR_PARAM);
  EXPECT_EQ(TdcDestroyHybridPrinter(record), 0);
}

TEST(HybridRecord, CompletionCodesOfThePrintEngine) {
  struct Case {
    int32_t code;
    uint32_t flags;
    int32_t expected;
  };
  const Case cases[] = {
      {0, 0xFFFFFFFF, 0},
      {3, 0, 10},
      {4, 0, 1},
      {6, 0, 30},
      {9, 0x40 | 0x1, 255},
      {9, 0x200, 255},
      {9, 0x1 | 0x2000, 10},
      {9, 0x2000 | 0x800, 8},
      {9, 0x800 | 0x400, 5},
      {9, 0x400 | 0x20, 6},
      {9, 0x20 | 0x40000, 4},
      {9, 0x40000 | 0x4000, 7},
      {9, 0x4000, 3},
      {9, 0x8, 10},
      {11, 0, 18},
      {16, 0, 23},
      {22, 0, 29},
      {23, 0, 31},
      {24, 0, 32},
      {1, 0, 255},
      {10, 0, 255},
      {25, 0, 255},
      {-1, 0, 255},
  };
  for (const auto& c : cases) {
    int32_t out = -99;
    EXPECT_EQ(TdcGetHybridResultCode(c.code, c.flags, &out), 0);
    EXPECT_EQ(out, c.expected) << c.code << " " << std::hex << c.flags;
  }
  EXPECT_EQ(TdcGetHybridResultCode(0, 0, nullptr), TDC_ERR_PARAM);
}

TEST(HybridRecord, StatusRecordsFromBothBackends) {
  TdcPrinter_t* record = nullptr;
  ASSERT_EQ(TdcCreateHybridPrinter(0, &record), 0);
  struct Case {
    const char* what;
    bool service;
    uint32_t word;
    int32_t paperType;
    int32_t insertionMode;
    TdcStatus_t expected;
  };
  constexpr int32_t N = kTdcNone;
  const Case cases[] = {
      {"engine idle, drawer bit clear", false, 0, 1, 0, {1, 1, 0, 0, 0, 0, 0, 1, 0, N, 3, 1, 1}},
      {"engine offline, slip wait, removal, slip empty",
       false,
       0x8 | 0x4 | 0x20000 | 0x80000 | 0x80000000u,
       2,
       0,
       {1, 0, 0, 0, 0, 0, 0, 0, 0, N, 0, 0, 0}},
      {"engine validation wait", false, 0x20000, 3, 0, {1, 1, 0, 0, 0, 0, 0, 1, 0, N, 1, 1, 1}},
      {"engine MICR wait", false, 0x20000, 3, 1, {1, 1, 0, 0, 0, 0, 0, 1, 0, N, 2, 1, 1}},
      {"engine wait for receipt", false, 0x20000, 0, 0, {1, 1, 0, 0, 0, 0, 0, 1, 0, N, N, 1, 1}},
      {"engine paper end, no battery-overheat case",
       false,
       0x40000 | (1u << 30),
       0,
       0,
       {1, 1, 0, 2, 0, 0, 0, 1, 0, N, 3, 1, 1}},
      {"engine no answer", false, 0x1, 0, 0, {0, N, N, N, N, N, N, N, N, N, N, N, N}},
      {"service ok", true, 0x2 | 0x4, 1, 0, {1, 1, 0, 0, 0, 0, 0, 0, 0, N, 3, 1, 1}},
      {"service near end, slip wait, removal, slip empty",
       true,
       0x2 | 0x20000 | 0x10000 | 0x40000 | (1u << 28),
       1,
       0,
       {1, 1, 0, 1, 0, 0, 0, 1, 0, N, 0, 0, 0}},
      {"service paper end", true, 0x80000, 3, 0, {1, 1, 0, 2, 0, 0, 0, 1, 0, N, 3, 1, 1}},
      {"service no answer", true, 0x1, 0, 0, {0, N, N, N, N, N, N, N, N, N, N, N, N}},
      {"service no bits", true, 0, 0, 0, {1, N, N, N, N, N, N, N, N, N, N, N, N}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TdcSetPaperType(record, c.paperType);
    TdcSetInsertionMode(record, c.insertionMode);
    TdcStatus_t* status = c.service ? TdcMakeHybridServiceStatus(record, c.word)
                                    : TdcMakeHybridStatus(record, c.word);
    ASSERT_NE(status, nullptr);
    const int32_t* got = &status->connection;
    const int32_t* want = &c.expected.connection;
    for (int field = 0; field < 13; ++field) EXPECT_EQ(got[field], want[field]) << field;
    std::free(status);
  }
  EXPECT_EQ(TdcDestroyHybridPrinter(record), 0);
}

// The direct result path without a printer: a record whose handle is a
// stand-in pointer gets the engine's completions as the job-wait thread
// would deliver them.
class HybridDirectResult : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(TdcCreateHybridPrinter(0, &record_), 0);
    TdcRegisterHybridPrinter(record_);
    record_->hybridReceiveCallback = &OnResult;
    record_->hybridReceiveUser = &seen_;
    record_->hybridStatusCallback = &OnStatus;
    record_->hybridStatusUser = &seen_;
    TdcWritePrinterState(record_, {TDC_MODE_DIRECT, nullptr, Handle(), nullptr});
  }
  void TearDown() override {
    TdcClearPrinterState(record_);
    EXPECT_EQ(TdcDestroyHybridPrinter(record_), 0);
  }
  PrintHandle_t* Handle() { return reinterpret_cast<PrintHandle_t*>(&standIn_); }

  int standIn_ = 0;
  TdcPrinter_t* record_ = nullptr;
  Seen seen_;
};

TEST_F(HybridDirectResult, ErrorsResetThePaperStateExceptForEjectAndHeldCodes) {
  struct Case {
    const char* what;
    int32_t method;
    int32_t engineCode;
    uint32_t flags;
    int32_t reported;
    bool reset;
    int32_t insertedAfter;  // when not reset
    int32_t modeAfter;
  };
  const Case cases[] = {
      {"insertion done records the paper", 0, 0, 0, 0, false, 2, 1},
      {"insertion timeout resets", 0, 4, 0, 1, true, 0, 0},
      {"print failure resets", 1, 9, 0x20, 4, true, 0, 0},
      {"print canceled keeps", 1, 11, 0, 18, false, 1, 1},
      {"print port error keeps", 1, 3, 0, 10, false, 1, 1},
      {"eject error keeps the state", 3, 4, 0, 1, false, 1, 1},
      {"eject done resets", 3, 0, 0, 0, true, 0, 0},
      {"read done holds", 4, 0, 0, 0, false, 1, 2},
      {"read: wait insertion while running keeps the mode", 4, 22, 0, 29, false, 1, 1},
      {"read: inserted with a recorded paper", 4, 23, 0, 31, false, 1, 0},
      {"read: illegal", 4, 6, 0, 30, false, 1, 0},
      {"read: system error is not renamed here", 4, 9, 0x8, 10, false, 1, 0},
      {"read: timeout resets", 4, 4, 0, 1, true, 0, 0},
      {"cleaning: paper type error", 5, 21, 0, 28, false, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TdcSetPaperType(record_, TDC_PAPER_ENDORSE);
    TdcSetInsertedPaper(record_, TDC_PAPER_SLIP);
    TdcSetInsertionMode(record_, TDC_INSERTION_MICR_RUNNING);
    record_->slipApplied = 1;
    const size_t before = seen_.Results().size();
    TdcOnHybridDirectResult(Handle(), "127.0.0.1", c.engineCode, c.flags, c.method, "D");
    const auto results = seen_.Results();
    ASSERT_EQ(results.size(), before + 1);
    EXPECT_EQ(results.back().method, c.method);
    EXPECT_EQ(results.back().code, c.reported);
    EXPECT_EQ(results.back().data, std::optional<std::string>("D"));
    EXPECT_EQ(TdcGetInsertedPaper(record_), c.insertedAfter);
    EXPECT_EQ(TdcGetInsertionMode(record_), c.modeAfter);
    EXPECT_EQ(record_->slipApplied, c.reset ? 0 : 1);
  }
}

TEST_F(HybridDirectResult, EventsAndUnknownMethods) {
  TdcSetPaperType(record_, TDC_PAPER_VALIDATION);
  TdcHybridDirectEventInsertionWait(nullptr, Handle(), nullptr, 0);
  TdcHybridDirectEventSlipPaperEmpty(nullptr, Handle(), nullptr, 0);
  TdcHybridDirectEventDrawerLow(nullptr, Handle(), nullptr, 0);
  EXPECT_EQ(seen_.Events(), (std::vector<int32_t>{13, 19, 9}));
  TdcOnHybridDirectResult(Handle(), nullptr, 0, 0, 17, nullptr);
  ASSERT_EQ(seen_.Results().size(), 1u);
  EXPECT_EQ(seen_.Results()[0].method, 1);
  // Another handle reaches nobody.
  int other = 0;
  TdcOnHybridDirectResult(reinterpret_cast<PrintHandle_t*>(&other), nullptr, 0, 0, 0, nullptr);
  EXPECT_EQ(seen_.Results().size(), 1u);
}

// A printer record sharing the print handle hears the base events the
// hybrid callbacks now hold the slots of; a battery series no drawer events.
TEST_F(HybridDirectResult, BaseEventsAlsoReachAPrinterOnTheSameHandle) {
  for (int32_t series : {6, 3}) {
    SCOPED_TRACE(series);
    TdcPrinter_t* printer = nullptr;
    ASSERT_EQ(TdcCreatePrinter(&printer, series, 0), 0);
    TdcRegisterPrinter(printer);
    Seen printerSeen;
    printer->statusCallback = &OnStatus;
    printer->statusUser = &printerSeen;
    TdcWritePrinterState(printer, {TDC_MODE_DIRECT, nullptr, Handle(), nullptr});
    TdcSetPaperType(record_, TDC_PAPER_SLIP);
    const size_t before = seen_.Events().size();

    TdcHybridDirectEventOnline(nullptr, Handle(), nullptr, 0);
    TdcHybridDirectEventDrawerLow(nullptr, Handle(), nullptr, 0);
    TdcHybridDirectEventInsertionWait(nullptr, Handle(), nullptr, 0);
    TdcHybridDirectEventSlipPaperOk(nullptr, Handle(), nullptr, 0);

    const auto hybridEvents = seen_.Events();
    EXPECT_EQ(
        std::vector<int32_t>(hybridEvents.begin() + static_cast<long>(before), hybridEvents.end()),
        (std::vector<int32_t>{0, 9, 12, 18}));
    const std::vector<int32_t> printerEvents =
        series == 3 ? std::vector<int32_t>{0} : std::vector<int32_t>{0, 9};
    EXPECT_EQ(printerSeen.Events(), printerEvents);
    TdcClearPrinterState(printer);
    EXPECT_EQ(TdcDestroyPrinter(printer), 0);
  }
}

}  // namespace
