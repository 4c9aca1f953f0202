// A printer record on the device-service backend against the scripted
// client: each connect step failing in turn, the status query's word 0,
// the disconnect's event 2 rules, and a job's document.
//
// Addresses (io_test::address): 500-519; the fake never opens a socket, the
// address only names the host.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../io/io_test_support.h"
#include "device/command_list.h"
#include "device/printer_access.h"
#include "device/printer_module.h"
#include "device/test_hooks.h"
#include "service_fake/fake_service.h"

using namespace tilo2::core;
namespace fake = tilo2::fake;

namespace {

struct Events {
  std::vector<int32_t> connection;
};

void OnConnection(void*, int32_t event, void* user) {
  static_cast<Events*>(user)->connection.push_back(event);
}

class PrinterService : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override {
    for (auto* record : records_) EXPECT_EQ(TdcDestroyPrinter(record), 0);
    fake::WaitIdle();
    fake::Reset();
  }

  TdcPrinter_t* NewRecord() {
    TdcPrinter_t* record = nullptr;
    EXPECT_EQ(TdcCreatePrinter(&record, 6, 0), 0);
    TdcRegisterPrinter(record);
    record->connectionCallback = &OnConnection;
    record->connectionUser = &events_;
    records_.push_back(record);
    return record;
  }

  static std::string Target(const char* id) {
    return "TCP:" + io_test::address(500) + "[" + id + "]";
  }

  Events events_;
  std::vector<TdcPrinter_t*> records_;
};

TEST_F(PrinterService, EachConnectStepFailingLeavesTheRecordClosedAndUndoesTheEarlierSteps) {
  struct Case {
    const char* failing;
    int code;
    int expected;
    int closes;       // TdevCloseDeviceSync calls
    int disconnects;  // TdevDisconnectIfUnused calls
  };
  const Case cases[] = {
      {"TdevConnectSync", 3, TDC_ERR_TIMEOUT, 0, 0},
      {"TdevSetReconnectingCallback", 255, TDC_ERR_FAILURE, 0, 1},
      {"TdevSetDisconnectCallback", 255, TDC_ERR_FAILURE, 0, 1},
      {"TdevOpenDeviceSync", 8, TDC_ERR_IN_USE, 0, 1},
      {"TdevPrinterSetOnlineCallback", 255, TDC_ERR_FAILURE, 1, 1},
      {"TdevPrinterSetReceiveCallback", 255, TDC_ERR_FAILURE, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing);
    fake::Reset();
    TdcPrinter_t* record = NewRecord();
    fake::PushResult(c.failing, c.code);
    EXPECT_EQ(TdcConnectPrinter(nullptr, record, Target("p1").c_str(), nullptr, 5000), c.expected);
    const TdcPrinterState_t state = TdcReadPrinterState(record);
    EXPECT_EQ(state.mode, TDC_MODE_CLOSED);
    EXPECT_EQ(state.handle, nullptr);
    EXPECT_EQ(state.connection, nullptr);
    EXPECT_EQ(record->settings->portType, kTdcNone);
    EXPECT_EQ(record->commands.ops, nullptr);
    EXPECT_EQ(fake::CallCount("TdevCloseDeviceSync"), c.closes);
    EXPECT_EQ(fake::CallCount("TdevDisconnectIfUnused"), c.disconnects);
    EXPECT_TRUE(fake::WaitIdle());
    // The connection went with its last user (no notifier: the test's Reset frees it).
    if (c.disconnects > 0 && std::string(c.failing) != "TdevSetReconnectingCallback" &&
        std::string(c.failing) != "TdevSetDisconnectCallback") {
      EXPECT_EQ(fake::LiveConnections(), 0);
    }
    EXPECT_TRUE(events_.connection.empty());
    // The record stays usable: the next connect succeeds.
    EXPECT_EQ(TdcConnectPrinter(nullptr, record, Target("p1").c_str(), nullptr, 5000), 0);
    EXPECT_EQ(TdcReadPrinterState(record).mode, TDC_MODE_SERVICE);
    EXPECT_EQ(TdcDisconnectPrinter(nullptr, record), 0);
    EXPECT_EQ(TdcDestroyPrinter(record), 0);
    records_.clear();
    events_.connection.clear();
  }
}

// A listener add that fails undoes the connect: without its listener the
// record would keep the handles of a connection the client later frees.
TEST_F(PrinterService, FailingListenerAddUndoesTheConnect) {
  TdcPrinter_t* record = NewRecord();
  TdcFailListenerAdds(1);
  EXPECT_EQ(TdcConnectPrinter(nullptr, record, Target("p1").c_str(), nullptr, 5000),
            TDC_ERR_MEMORY);
  const TdcPrinterState_t state = TdcReadPrinterState(record);
  EXPECT_EQ(state.mode, TDC_MODE_CLOSED);
  EXPECT_EQ(state.handle, nullptr);
  EXPECT_EQ(state.connection, nullptr);
  EXPECT_EQ(record->settings->portType, kTdcNone);
  EXPECT_EQ(fake::CallCount("TdevCloseDeviceSync"), 1);
  EXPECT_EQ(fake::CallCount("TdevDisconnectIfUnused"), 1);
  EXPECT_TRUE(fake::WaitIdle());
  EXPECT_EQ(fake::LiveConnections(), 0);
  EXPECT_TRUE(events_.connection.empty());

  EXPECT_EQ(TdcConnectPrinter(nullptr, record, Target("p1").c_str(), nullptr, 5000), 0);
  EXPECT_EQ(TdcDisconnectPrinter(nullptr, record), 0);
}

TEST_F(PrinterService, ConnectFillsTheRecordAndSecondIdOnTheHostSharesTheConnection) {
  TdcPrinter_t* first = NewRecord();
  TdcPrinter_t* second = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, first, Target("p1").c_str(), nullptr, -2), 0);
  const TdcPrinterState_t state = TdcReadPrinterState(first);
  EXPECT_EQ(state.mode, TDC_MODE_SERVICE);
  EXPECT_EQ(state.handle, state.builder);
  EXPECT_EQ(fake::DeviceIdOf(state.handle), "p1");
  EXPECT_EQ(first->settings->portType, TDC_PORT_TCP);
  for (int slot : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 14})
    EXPECT_TRUE(fake::IsInstalled(state.handle, slot));
  EXPECT_EQ(TdcFindPrinter(state.handle), first);
  TdcReleasePrinter(first);

  // The same id again on the same host is the service's "in use".
  EXPECT_EQ(TdcConnectPrinter(nullptr, second, Target("p1").c_str(), nullptr, 5000),
            TDC_ERR_IN_USE);
  ASSERT_EQ(TdcConnectPrinter(nullptr, second, Target("p2").c_str(), nullptr, 5000), 0);
  EXPECT_EQ(TdcReadPrinterState(second).connection, state.connection);
}

TEST_F(PrinterService, StatusWordZeroOrAFailedQueryIsNoConnection) {
  TdcPrinter_t* record = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, record, Target("p1").c_str(), nullptr, 5000), 0);
  struct Case {
    int result;
    uint32_t word;
    int32_t connection;
  };
  const Case cases[] = {
      {0, fake::kStatusOnline, 1},
      {0, fake::kStatusNeverStarted, 0},  // the query never ran
      {255, fake::kStatusOnline, 0},
      {0, fake::kStatusNoResponse, 0},
  };
  for (const auto& c : cases) {
    fake::PushStatus(c.result, c.word, 0);
    TdcStatus_t* status = TdcGetPrinterStatus(nullptr, record);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->connection, c.connection) << c.result << " " << c.word;
    if (c.connection == 0 && c.word != fake::kStatusNoResponse) {
      EXPECT_EQ(status->online, kTdcNone);
    }
    std::free(status);
  }
}

TEST_F(PrinterService, DisconnectReportsEvent2WheneverTheHostLinkWasLetGo) {
  TdcPrinter_t* first = NewRecord();
  TdcPrinter_t* second = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, first, Target("p1").c_str(), nullptr, 5000), 0);
  ASSERT_EQ(TdcConnectPrinter(nullptr, second, Target("p2").c_str(), nullptr, 5000), 0);
  TdevConnection_t* connection = TdcReadPrinterState(first).connection;

  // Another device keeps the host link: still event 2 for the record.
  ASSERT_EQ(TdcDisconnectPrinter(nullptr, first), 0);
  EXPECT_EQ(events_.connection, std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  EXPECT_EQ(TdcReadPrinterState(first).mode, TDC_MODE_CLOSED);
  EXPECT_EQ(first->commands.ops, nullptr);
  EXPECT_TRUE(fake::IsLive(connection));
  EXPECT_EQ(TdcDisconnectPrinter(nullptr, first), TDC_ERR_ILLEGAL);

  // A failing let-go: the record is closed all the same, without an event.
  fake::PushResult("TdevDisconnectIfUnused", 255);
  ASSERT_EQ(TdcDisconnectPrinter(nullptr, second), 0);
  EXPECT_EQ(events_.connection.size(), 1u);
  EXPECT_EQ(TdcReadPrinterState(second).handle, nullptr);
  EXPECT_EQ(fake::CallCount("TdevCloseDeviceSync"), 2);
}

TEST_F(PrinterService, ACloseTheServiceRefusesKeepsTheRecordConnected) {
  TdcPrinter_t* record = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, record, Target("p1").c_str(), nullptr, 5000), 0);
  fake::PushResult("TdevCloseDeviceSync", 3);
  EXPECT_EQ(TdcDisconnectPrinter(nullptr, record), TDC_ERR_TIMEOUT);
  EXPECT_EQ(TdcReadPrinterState(record).mode, TDC_MODE_SERVICE);
  EXPECT_EQ(fake::CallCount("TdevDisconnectIfUnused"), 0);
  EXPECT_EQ(TdcDisconnectPrinter(nullptr, record), 0);
  EXPECT_EQ(fake::LiveConnections(), 0);
}

TEST_F(PrinterService, SendReplaysTheListIntoOneJobAndEmptiesTheDocument) {
  TdcPrinter_t* record = NewRecord();
  ASSERT_EQ(TdcConnectPrinter(nullptr, record, Target("p1").c_str(), nullptr, 5000), 0);
  void* handle = TdcReadPrinterState(record).handle;
  ASSERT_EQ(TdcAddPrinterCommandText(&record->commands.commandList, "one"), 0);
  ASSERT_EQ(TdcAddPrinterCommandText(&record->commands.commandList, "two"), 0);
  ASSERT_EQ(TdcSendPrinterData(nullptr, record, -2), 0);
  const auto jobs = fake::Jobs();
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].timeoutMs, 10000);
  EXPECT_EQ(jobs[0].printJobId, "");
  EXPECT_EQ(jobs[0].force, 0);
  ASSERT_EQ(jobs[0].document.size(), 2u);
  EXPECT_EQ(jobs[0].document[1].texts, std::vector<std::string>{"two"});
  EXPECT_TRUE(fake::Document(handle).empty());

  // A parameter refusal of the service is an illegal state for the app; the
  // document is emptied all the same.
  fake::PushResult("TdevPrinterSendData", 1);
  EXPECT_EQ(TdcSendPrinterData(nullptr, record, 5000), TDC_ERR_ILLEGAL);
  EXPECT_TRUE(fake::Document(handle).empty());

  // The job status request asks about a job without a body.
  ASSERT_EQ(TdcRequestPrintJobStatus(nullptr, record, "job-7"), 0);
  const auto asked = fake::Jobs();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[1].printJobId, "job-7");
  EXPECT_EQ(asked[1].noBody, 1);
  EXPECT_EQ(asked[1].timeoutMs, 10000);
}

}  // namespace
