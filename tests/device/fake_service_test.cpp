// The scripted device-service client's own behaviour, which the layer's
// device-service tests rely on.

#include "service_fake/fake_service.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace tilo2::fake {
namespace {

using core::TdevAddCommand;
using core::TdevClearCommandBuffer;
using core::TdevCloseDeviceSync;
using core::TdevConnectSync;
using core::TdevDestroyConnection;
using core::TdevDisconnectIfUnused;
using core::TdevDocClearBody;
using core::TdevIsConnected;
using core::TdevOpenDeviceSync;
using core::TdevPrinterAddCut;
using core::TdevPrinterAddText;
using core::TdevPrinterGetStatus;
using core::TdevPrinterSendData;
using core::TdevPrinterSetOnlineCallback;
using core::TdevSetDisconnectCallback;

constexpr const char* kHost = "127.0.0.450";
constexpr const char* kOtherHost = "127.0.0.451";

class FakeServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }

  TdevConnection_t* Connect(const char* host) {
    TdevConnection_t* connection = nullptr;
    EXPECT_EQ(TdevConnectSync(nullptr, host, 0, &connection, 10000), 0);
    return connection;
  }
  TdevPrinterHandle_t* Open(TdevConnection_t* connection, const char* id) {
    void* handle = nullptr;
    EXPECT_EQ(TdevOpenDeviceSync(nullptr, connection, id, core::TDEV_DEVICE_PRINTER, &handle), 0);
    return static_cast<TdevPrinterHandle_t*>(handle);
  }
};

TEST_F(FakeServiceTest, OneConnectionPerConnectedHostUntilDestroyed) {
  TdevConnection_t* first = Connect(kHost);
  EXPECT_EQ(Connect(kHost), first);
  TdevConnection_t* other = Connect(kOtherHost);
  EXPECT_NE(other, first);
  EXPECT_EQ(LiveConnections(), 2);
  EXPECT_EQ(ConnectionOf(kHost), first);
  EXPECT_EQ(TdevIsConnected(first), 1);

  // A connection that went down is not handed out again.
  SetConnected(first, false);
  EXPECT_EQ(TdevIsConnected(first), 0);
  TdevConnection_t* fresh = Connect(kHost);
  EXPECT_NE(fresh, first);

  EXPECT_EQ(TdevDestroyConnection(first), 0);
  EXPECT_FALSE(IsLive(first));
  EXPECT_EQ(TdevDestroyConnection(fresh), 0);
  EXPECT_EQ(ConnectionOf(kHost), nullptr);
  EXPECT_EQ(LiveConnections(), 1);
}

TEST_F(FakeServiceTest, CallsAreRecordedWithArgumentsThreadAndResult) {
  TdevConnection_t* connection = Connect(kHost);
  TdevPrinterHandle_t* handle = Open(connection, "local_printer");
  SetResult("TdevPrinterSendData", 2);
  std::thread([&] {
    EXPECT_EQ(TdevPrinterSendData(nullptr, handle, 5000, "job7", 1, 0), 2);
  }).join();

  const std::vector<Call> sends = Calls("TdevPrinterSendData");
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].target, handle);
  EXPECT_EQ(sends[0].ints, (std::vector<int64_t>{5000, 1, 0}));
  EXPECT_EQ(sends[0].texts, (std::vector<std::string>{"job7"}));
  EXPECT_NE(sends[0].thread, std::this_thread::get_id());
  EXPECT_EQ(sends[0].result, 2);
  EXPECT_EQ(CallNames(), (std::vector<std::string>{"TdevConnectSync", "TdevOpenDeviceSync",
                                                   "TdevPrinterSendData"}));
  EXPECT_EQ(Calls("TdevConnectSync")[0].texts, (std::vector<std::string>{kHost}));
  EXPECT_EQ(Calls("TdevConnectSync")[0].target, connection);
}

TEST_F(FakeServiceTest, QueuedResultsComeBeforeTheStandingOne) {
  SetResult("TdevStartMonitor", 4);
  PushResult("TdevStartMonitor", 3);
  PushResult("TdevStartMonitor", 0);
  TdevPrinterHandle_t* handle = Open(Connect(kHost), "p");
  EXPECT_EQ(core::TdevStartMonitor(handle), 3);
  EXPECT_EQ(core::TdevStartMonitor(handle), 0);
  EXPECT_EQ(core::TdevStartMonitor(handle), 4);
  EXPECT_EQ(core::TdevStartMonitor(handle), 4);
}

TEST_F(FakeServiceTest, FailedConnectLeavesNoConnection) {
  PushResult("TdevConnectSync", 255);
  TdevConnection_t* connection = nullptr;
  EXPECT_EQ(TdevConnectSync(nullptr, kHost, 0, &connection, 1000), 255);
  EXPECT_EQ(connection, nullptr);
  EXPECT_EQ(LiveConnections(), 0);
  EXPECT_EQ(TdevConnectSync(nullptr, nullptr, 0, &connection, 1000), 1);
}

TEST_F(FakeServiceTest, OpeningAnOpenDeviceIdAgainAnswers8) {
  TdevConnection_t* connection = Connect(kHost);
  TdevPrinterHandle_t* handle = Open(connection, "p");
  void* second = nullptr;
  EXPECT_EQ(TdevOpenDeviceSync(nullptr, connection, "p", 0, &second), 8);
  EXPECT_EQ(second, nullptr);
  void* preset = handle;
  EXPECT_EQ(TdevOpenDeviceSync(nullptr, connection, "q", 0, &preset), 1);
  EXPECT_EQ(TdevCloseDeviceSync(nullptr, connection, handle), 0);
  EXPECT_NE(Open(connection, "p"), nullptr);
  EXPECT_EQ(HandlesOf(connection).size(), 2u);
  EXPECT_EQ(OpenDevices(connection), 1);
}

// With no listener, the layer's disconnected notifier destroys the connection.
TEST_F(FakeServiceTest, DisconnectIfUnusedWaitsForTheLastDevice) {
  struct Case {
    DisconnectNotify how;
    bool notified;
    bool otherThread;
  };
  for (const Case& c : {Case{DisconnectNotify::kCallerThread, true, false},
                        Case{DisconnectNotify::kOwnThread, true, true},
                        Case{DisconnectNotify::kNone, false, false}}) {
    SCOPED_TRACE(static_cast<int>(c.how));
    Reset();
    SetDisconnectNotify(c.how);
    TdevConnection_t* connection = Connect(kHost);
    ASSERT_EQ(TdevSetDisconnectCallback(connection), 0);
    TdevPrinterHandle_t* a = Open(connection, "a");
    TdevPrinterHandle_t* b = Open(connection, "b");
    ASSERT_EQ(TdevCloseDeviceSync(nullptr, connection, a), 0);
    EXPECT_EQ(TdevDisconnectIfUnused(nullptr, connection), 0);
    EXPECT_TRUE(IsLive(connection));
    EXPECT_EQ(ConnectionOf(kHost), connection);

    ASSERT_EQ(TdevCloseDeviceSync(nullptr, connection, b), 0);
    EXPECT_EQ(TdevDisconnectIfUnused(nullptr, connection), 0);
    EXPECT_EQ(ConnectionOf(kHost), nullptr);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(CallCount("TdevDestroyConnection"), c.notified ? 1 : 0);
    if (c.notified) {
      EXPECT_FALSE(IsLive(connection));
      EXPECT_EQ(Calls("TdevDestroyConnection")[0].thread != std::this_thread::get_id(),
                c.otherThread);
    }
  }
}

TEST_F(FakeServiceTest, ScriptedDisconnectFailureKeepsTheConnection) {
  TdevConnection_t* connection = Connect(kHost);
  ASSERT_EQ(TdevSetDisconnectCallback(connection), 0);
  PushResult("TdevDisconnectIfUnused", 4);
  EXPECT_EQ(TdevDisconnectIfUnused(nullptr, connection), 4);
  EXPECT_EQ(ConnectionOf(kHost), connection);
  EXPECT_EQ(CallCount("TdevDestroyConnection"), 0);
}

TEST_F(FakeServiceTest, DocumentKeepsAppendedElementsUntilCleared) {
  TdevPrinterHandle_t* handle = Open(Connect(kHost), "p");
  EXPECT_EQ(TdevPrinterAddText(handle, "Hello"), 0);
  PushResult("TdevPrinterAddCut", 1);  // refused: left out of the document
  EXPECT_EQ(TdevPrinterAddCut(handle, 9), 1);
  EXPECT_EQ(TdevPrinterAddCut(handle, 1), 0);
  const uint8_t bytes[] = {0x1b, 0x40};
  EXPECT_EQ(TdevAddCommand(handle, bytes, 2), 0);

  std::vector<Call> document = Document(handle);
  ASSERT_EQ(document.size(), 3u);
  EXPECT_EQ(document[0].name, "TdevPrinterAddText");
  EXPECT_EQ(document[0].texts[0], "Hello");
  EXPECT_EQ(document[1].ints, (std::vector<int64_t>{1}));
  EXPECT_EQ(document[2].bytes, (std::vector<uint8_t>{0x1b, 0x40}));

  EXPECT_EQ(TdevPrinterSendData(nullptr, handle, 10000, "", 0, 0), 0);
  EXPECT_EQ(TdevClearCommandBuffer(handle), 0);
  EXPECT_TRUE(Document(handle).empty());
  ASSERT_EQ(Jobs().size(), 1u);
  EXPECT_EQ(Jobs()[0].document.size(), 3u);

  EXPECT_EQ(TdevPrinterAddText(handle, "again"), 0);
  EXPECT_EQ(TdevDocClearBody(DocumentOf(handle)), 0);
  EXPECT_TRUE(Document(handle).empty());
  EXPECT_EQ(TdevPrinterAddText(nullptr, "x"), 1);
}

TEST_F(FakeServiceTest, StatusQueriesAnswerTheScriptedWord) {
  TdevPrinterHandle_t* handle = Open(Connect(kHost), "p");
  uint32_t word = 99;
  int32_t battery = 99;
  EXPECT_EQ(TdevPrinterGetStatus(nullptr, handle, &word, &battery), 0);
  EXPECT_EQ(word, kStatusOnline);

  SetStatus(0, 0x20, 0x3106);
  PushStatus(0, kStatusNoResponse, 0);
  PushStatus(0, kStatusNeverStarted, 0);
  EXPECT_EQ(TdevPrinterGetStatus(nullptr, handle, &word, &battery), 0);
  EXPECT_EQ(word, kStatusNoResponse);
  EXPECT_EQ(TdevPrinterGetStatus(nullptr, handle, &word, &battery), 0);
  EXPECT_EQ(word, 0u);
  EXPECT_EQ(TdevPrinterGetStatus(nullptr, handle, &word, &battery), 0);
  EXPECT_EQ(word, 0x20u);
  EXPECT_EQ(battery, 0x3106);

  EXPECT_EQ(TdevPrinterGetStatus(nullptr, handle, nullptr, &battery), 1);
  // A query that cannot start leaves the word 0.
  EXPECT_EQ(TdevPrinterGetStatus(nullptr, nullptr, &word, &battery), 0);
  EXPECT_EQ(word, 0u);
}

TEST_F(FakeServiceTest, HeldCallBlocksUntilReleased) {
  TdevPrinterHandle_t* handle = Open(Connect(kHost), "p");
  Hold("TdevPrinterSendData");
  auto send = std::async(std::launch::async,
                         [&] { return TdevPrinterSendData(nullptr, handle, 10000, "", 0, 0); });
  ASSERT_TRUE(WaitBlocked("TdevPrinterSendData"));
  // Recorded while blocked; other functions go on.
  EXPECT_EQ(CallCount("TdevPrinterSendData"), 1);
  EXPECT_EQ(TdevPrinterAddText(handle, "meanwhile"), 0);
  EXPECT_EQ(send.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  ReleaseHold("TdevPrinterSendData");
  EXPECT_EQ(send.get(), 0);
  EXPECT_EQ(BlockedCount("TdevPrinterSendData"), 0);
  // Released for good: later calls pass.
  EXPECT_EQ(TdevPrinterSendData(nullptr, handle, 10000, "", 0, 0), 0);
}

TEST_F(FakeServiceTest, NotifiersFireOnlyWhenInstalledAndOnAFakeThread) {
  TdevConnection_t* connection = Connect(kHost);
  TdevPrinterHandle_t* handle = Open(connection, "p");
  EXPECT_FALSE(FireStatusEvent(handle, 1));
  EXPECT_FALSE(FirePrintResult(handle, 1, 0, kStatusOnline, 0, ""));
  EXPECT_FALSE(FireReconnected(connection));
  ASSERT_EQ(TdevPrinterSetOnlineCallback(handle), 0);
  EXPECT_TRUE(IsInstalled(handle, 1));
  EXPECT_FALSE(IsInstalled(handle, 2));
  EXPECT_TRUE(FireStatusEvent(handle, 1));
  EXPECT_NE(LastNotifierThread(), std::thread::id());
  EXPECT_NE(LastNotifierThread(), std::this_thread::get_id());
  EXPECT_FALSE(FireStatusEvent(handle, 13));
}

TEST_F(FakeServiceTest, ResetFreesEveryLiveConnection) {
  Open(Connect(kHost), "p");
  Connect(kOtherHost);
  Hold("TdevStopMonitor");
  Reset();
  EXPECT_EQ(LiveConnections(), 0);
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(core::TdevStopMonitor(nullptr), 1);  // no longer held
}

}  // namespace
}  // namespace tilo2::fake
