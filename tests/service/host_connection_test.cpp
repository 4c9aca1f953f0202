// A host connection against the device-service emulator: the exact connect,
// admin_info and disconnect exchanges, the condition machine with its lost
// links and reconnects, and the framing of received bytes.

#include "host_test_support.h"

namespace host_test {
namespace {

using service_emulator::AcceptMode;
using service_emulator::ReplyOverride;
using service_emulator::Transport;

class HostConnection : public HostTest {};

TEST_F(HostConnection, ConnectsWithAdminInfoAndDisconnectsWithItsClientId) {
  auto& e = service(970);
  e.setAdmin("Front desk", "Floor <2> & lobby");
  int result = -1;
  TdevConnection_t* c = connect(0, &result);
  ASSERT_EQ(result, 0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(TdevIsConnected(c), 1);
  EXPECT_EQ(TdevConnectionClientId(c), "C1");
  ASSERT_TRUE(e.waitForReceived("admin_info", 1, 10s));
  EXPECT_EQ(receivedRaw(e, "admin_info"),
            std::vector<std::string>{withNul("<admin_info></admin_info>")});
  // The reply's texts land together.
  EXPECT_TRUE(Eventually([&] {
    std::string name, location;
    TdevConnectionAdminInfo(c, &name, &location);
    return name == "Front desk" && location == "Floor <2> & lobby";
  }));

  EXPECT_EQ(TdevDisconnectIfUnused(nullptr, c), 0);
  EXPECT_EQ(receivedRaw(e, "disconnect"),
            std::vector<std::string>{
                withNul("<disconnect><data><client_id>C1</client_id></data></disconnect>")});
  EXPECT_EQ(TdevIsConnected(c), 0);
  EXPECT_EQ(TdevGetCondition(c), TDEV_CONDITION_DISCONNECTED);
  // Slot 0 may run on the receive thread just after the call returned.
  ASSERT_TRUE(Eventually([&] { return SlotRecorder::instance().count(c, 0) == 1; }));
  EXPECT_EQ(SlotRecorder::instance().slots(c), std::vector<int>{0});
}

TEST_F(HostConnection, TlsConnectAgainstTheSelfSignedIdentity) {
  auto& e = service(971);
  int result = -1;
  TdevConnection_t* c = connect(1, &result);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(TdevConnectionTls(c), 1);
  ASSERT_TRUE(e.waitForReceived("admin_info", 1, 10s));
  EXPECT_EQ(e.received("admin_info").at(0).transport, Transport::Tls);
  EXPECT_EQ(TdevDisconnectIfUnused(nullptr, c), 0);
  EXPECT_TRUE(Eventually([&] { return SlotRecorder::instance().count(c, 0) == 1; }));
}

TEST_F(HostConnection, RefusesBadArgumentsAndSecondConnects) {
  auto& e = service(972);
  struct Case {
    const char* name;
    const char* host;
    bool out;
    int32_t timeout;
  } cases[] = {
      {"null host", nullptr, true, 5000},
      {"null out", host(), false, 5000},
      {"timeout 999", host(), true, 999},
      {"timeout 300001", host(), true, 300001},
  };
  for (const auto& k : cases) {
    TdevConnection_t* c = nullptr;
    EXPECT_EQ(TdevConnectSync(nullptr, k.host, 0, k.out ? &c : nullptr, k.timeout), 1) << k.name;
    EXPECT_EQ(c, nullptr) << k.name;
  }
  EXPECT_EQ(TdevConnect(nullptr, host(), 0, 5000), 1);

  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(TdevConnect(c, host(), 0, 5000), 5) << "already connected";
  TdevConnection_t* second = nullptr;
  ASSERT_EQ(TdevCreateConnection(&second), 0);
  adopt(second);
  EXPECT_EQ(TdevConnect(second, host(), 0, 5000), 5) << "the host has a live connection";
  EXPECT_EQ(TdevConnect(second, host(), 0, 300001), 1);
  EXPECT_EQ(e.accepted(), 1);
}

TEST_F(HostConnection, SequenceWrapsToOneAfterItsLargestValue) {
  TdevConnection_t* c = nullptr;
  ASSERT_EQ(TdevCreateConnection(&c), 0);
  adopt(c);
  EXPECT_EQ(TdevNextSequence(c), 1);
  EXPECT_EQ(TdevNextSequence(c), 2);
  {
    PlatformLockGuard guard(c->counterLock);
    c->sequence = 0x7FFFFFFD;
  }
  EXPECT_EQ(TdevNextSequence(c), 0x7FFFFFFE);
  EXPECT_EQ(TdevNextSequence(c), 1);
  EXPECT_EQ(TdevNextSequence(nullptr), 0);
}

TEST_F(HostConnection, ReconnectsAfterALostLinkWithOldIdAndLastDataId) {
  auto& e = service(973);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  void* handle = nullptr;
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "local_printer", TDEV_DEVICE_PRINTER, &handle), 0);
  const int32_t lastDataId = TdevGetReceivedId(c);
  EXPECT_GT(lastDataId, 0);

  ASSERT_TRUE(e.resetClient(0));
  ASSERT_TRUE(Eventually([&] { return SlotRecorder::instance().count(c, 2) == 1; }, 20s));
  EXPECT_EQ(SlotRecorder::instance().slots(c), (std::vector<int>{1, 2}));
  EXPECT_EQ(TdevIsConnected(c), 1);
  char expected[160];
  std::snprintf(expected, sizeof expected,
                "<reconnect><data><new_client_id>C2</new_client_id><old_client_id>C1</"
                "old_client_id><received_id>%d</received_id></data></reconnect>",
                lastDataId);
  EXPECT_EQ(receivedRaw(e, "reconnect"), std::vector<std::string>{withNul(expected)});
  EXPECT_EQ(TdevConnectionClientId(c), "C2");
  // The device survived the reconnect and closes on the new link.
  EXPECT_EQ(TdevCloseDeviceSync(nullptr, c, handle), 0);
}

TEST_F(HostConnection, RefusedReconnectEndsTheConnectionThroughSlotZero) {
  auto& e = service(974);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  ReplyOverride refuse;
  refuse.code = "CLIENT_NOT_FOUND";
  e.overrideNextReply("reconnect", refuse);
  ASSERT_TRUE(e.resetClient(0));
  ASSERT_TRUE(Eventually([&] { return SlotRecorder::instance().count(c, 0) == 1; }, 20s));
  EXPECT_EQ(SlotRecorder::instance().slots(c), (std::vector<int>{1, 0}));
  EXPECT_EQ(TdevGetCondition(c), TDEV_CONDITION_DISCONNECTED);
  EXPECT_EQ(TdevConnectionClientId(c), "");
}

TEST_F(HostConnection, LinkLostBeforeTheServiceGreetsFailsTheConnectPromptly) {
  auto& e = service(975);
  ReplyOverride hangUp;
  hangUp.drop = true;
  hangUp.closeAfter = true;
  e.overrideNextReply("connect", hangUp);
  const auto start = std::chrono::steady_clock::now();
  TdevConnection_t* c = nullptr;
  EXPECT_EQ(TdevConnectSync(nullptr, host(), 0, &c, 60000), 4);
  EXPECT_EQ(c, nullptr);
  EXPECT_LT(io_test::msSince(start), 10000);
}

TEST_F(HostConnection, ReconnectNotDoneWithinTheLimitDisconnects) {
  auto& e = service(976);
  TdevSetReconnectLimit(1500);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  // The new link is accepted but the service never greets it.
  e.setAcceptMode(Transport::Plain, AcceptMode::Silent);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(e.resetClient(0));
  ASSERT_TRUE(Eventually([&] { return SlotRecorder::instance().count(c, 0) == 1; }, 20s));
  EXPECT_GE(io_test::msSince(start), 1000);
  EXPECT_EQ(SlotRecorder::instance().slots(c), (std::vector<int>{1, 0}));
  EXPECT_EQ(TdevGetCondition(c), TDEV_CONDITION_DISCONNECTED);
}

TEST_F(HostConnection, ConnectFailuresAnswerTheChannelsResultWithinTheTimeout) {
  struct Case {
    const char* name;
    int address;
    int tls;
    bool refuse;
    int expected;
  } cases[] = {
      {"refused", 981, 0, true, 255},
      {"TLS peer that never handshakes", 982, 1, false, 3},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    auto e = startService(k.address);
    ASSERT_NE(e, nullptr);
    const Transport transport = k.tls ? Transport::Tls : Transport::Plain;
    if (k.refuse) {
      ASSERT_TRUE(e->setRefusing(transport, true));
    } else {
      e->setAcceptMode(transport, AcceptMode::Silent);
    }
    const std::string target = io_test::address(k.address);
    const auto start = std::chrono::steady_clock::now();
    TdevConnection_t* c = nullptr;
    EXPECT_EQ(TdevConnectSync(nullptr, target.c_str(), k.tls, &c, 1500), k.expected);
    EXPECT_EQ(c, nullptr);
    EXPECT_LT(io_test::msSince(start), 8000);
    EXPECT_EQ(TdevFindConnection(target.c_str()), nullptr) << "a failed connect leaves nothing";
  }
}

TEST_F(HostConnection, LinkLostWhileReconnectingEndsTheConnection) {
  auto& e = service(983);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  e.setAcceptMode(Transport::Plain, AcceptMode::Silent);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(e.resetClient(0));
  ASSERT_TRUE(e.waitForAccepted(2, 30s));
  ASSERT_TRUE(Eventually([&] { return SlotRecorder::instance().count(c, 1) == 1; }));
  // The new link goes too, before the service greeted it. A reset that beats
  // the client's own connect only fails that attempt and the client tries
  // again; each new link is reset until one is lost after its connect.
  ASSERT_TRUE(Eventually([&] {
    e.resetClient(0);
    return SlotRecorder::instance().count(c, 0) == 1;
  }));
  EXPECT_LT(io_test::msSince(start), 30000) << "well before the reconnect limit";
  EXPECT_EQ(SlotRecorder::instance().slots(c), (std::vector<int>{1, 0}));
  EXPECT_EQ(TdevGetCondition(c), TDEV_CONDITION_DISCONNECTED);
}

TEST_F(HostConnection, TheLayersDisconnectNotifierDestroysTheConnectionInsideSlotZero) {
  auto& e = service(984);
  struct Case {
    const char* name;
    bool refuseReconnect;
  } cases[] = {{"orderly disconnect", false}, {"refused reconnect", true}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    TdevConnection_t* c = nullptr;
    ASSERT_EQ(TdevConnectSync(nullptr, host(), 0, &c, 10000), 0);
    // The device layer's own notifiers: slot 0 destroys the connection,
    // on the receive thread or on the disconnecting one.
    ASSERT_EQ(TdevSetDisconnectCallback(c), 0);
    ASSERT_EQ(TdevSetReconnectingCallback(c), 0);
    ASSERT_EQ(TdevSetReconnectCallback(c), 0);
    if (k.refuseReconnect) {
      ReplyOverride refuse;
      refuse.code = "CLIENT_NOT_FOUND";
      e.overrideNextReply("reconnect", refuse);
      ASSERT_TRUE(e.resetClient(0));
    } else {
      EXPECT_EQ(TdevDisconnectIfUnused(nullptr, c), 0);
    }
    EXPECT_TRUE(Eventually([&] { return TdevRefConnection(c) == nullptr; }));
    EXPECT_EQ(TdevFindConnection(host()), nullptr);
    EXPECT_TRUE(e.waitForConnected(0, 10s));
  }
}

TEST_F(HostConnection, DisconnectWithoutReplyCleansUpOnceAfterItsBound) {
  auto& e = service(977);
  TdevSetReplyBounds(0, 800);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  // The service stops reading: the disconnect is never answered.
  e.setReading(false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TdevDisconnect(c), 0);
  EXPECT_GE(io_test::msSince(start), 700);
  EXPECT_EQ(TdevGetCondition(c), TDEV_CONDITION_DISCONNECTED);
  EXPECT_EQ(SlotRecorder::instance().slots(c), std::vector<int>{0});
  // The link's later loss finds the clean-up done.
  e.setReading(true);
  EXPECT_TRUE(e.waitForConnected(0, 10s));
  EXPECT_EQ(SlotRecorder::instance().slots(c), std::vector<int>{0});
  EXPECT_EQ(TdevDisconnect(c), 5) << "no channel any more";
}

TEST_F(HostConnection, DisconnectWhileConnectingReportsSlotZeroAtOnce) {
  auto& e = service(978);
  e.setAcceptMode(Transport::Plain, AcceptMode::Silent);
  TdevConnection_t* c = nullptr;
  ASSERT_EQ(TdevCreateConnection(&c), 0);
  adopt(c);
  recordSlots(c);
  ASSERT_EQ(TdevConnect(c, host(), 0, 10000), 0);
  EXPECT_EQ(TdevGetCondition(c), TDEV_CONDITION_CONNECTING);
  EXPECT_EQ(TdevDisconnect(c), 0);
  EXPECT_EQ(TdevGetCondition(c), TDEV_CONDITION_DISCONNECTED);
  EXPECT_EQ(SlotRecorder::instance().slots(c), std::vector<int>{0});
  EXPECT_TRUE(e.received("disconnect").empty());
}

TEST_F(HostConnection, ALateReportOfAnOldChannelChangesNothing) {
  auto& e = service(979);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  std::shared_ptr<TdevChannelHolder_t> keep;
  TdevChannel_t* old = TdevConnectionChannel(c, &keep);
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(TdevDisconnect(c), 0);
  ASSERT_TRUE(Eventually([&] { return SlotRecorder::instance().count(c, 0) == 1; }));
  SlotRecorder::instance().clear();

  // A new connect on the same record, then the old channel reports.
  ASSERT_EQ(TdevConnect(c, host(), 0, 10000), 0);
  ASSERT_TRUE(Eventually([&] { return TdevIsConnected(c) == 1; }));
  TdevOnChannelLost(old, host());
  TdevOnChannelConnectResult(old, host(), 8);
  EXPECT_EQ(TdevIsConnected(c), 1);
  EXPECT_TRUE(SlotRecorder::instance().slots(c).empty());
  keep.reset();
  EXPECT_EQ(e.accepted(), 2);
  EXPECT_EQ(TdevDisconnect(c), 0);
}

TEST_F(HostConnection, MessagesCutAnywhereAreDispatchedOnceEach) {
  auto& e = service(980);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  void* handle = nullptr;
  e.setDevice("serial_1", {"type_simple_serial", 0, 0, ""});
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "serial_1", TDEV_DEVICE_SERIAL, &handle), 0);
  static std::mutex mutex;
  static std::vector<std::vector<uint8_t>> replies;
  replies.clear();
  auto* device = static_cast<TdevDeviceHandle_t*>(handle);
  PlatformLockGuard slotGuard(device->callbackLock);
  device->dataBytes = [](void*, const char*, const char*, const uint8_t* bytes, int32_t count) {
    std::lock_guard lock(mutex);
    replies.emplace_back(bytes, bytes + count);
  };
  slotGuard.Unlock();
  auto reply = [](const std::string& hex) {
    return "<device_data><sequence>0</sequence><device_id>serial_1</device_id><data><type>"
           "oncommandreply</type><data>" +
           hex + "</data></data></device_data>" + std::string(1, '\0');
  };
  auto count = [] {
    std::lock_guard lock(mutex);
    return replies.size();
  };

  // Good, bad hex, good: both good ones arrive once.
  ASSERT_TRUE(e.sendRaw(0, reply("0a1B") + reply("0G") + reply("FF")));
  ASSERT_TRUE(Eventually([&] { return count() == 2; }));
  // Cut after 100 bytes with a pause, and a message longer than one read cut
  // at 4096 (each waits for the one before: the pieces of two sends could mix).
  ASSERT_TRUE(e.sendRaw(0, reply("C0FFEE"), {100}, 300ms));
  ASSERT_TRUE(Eventually([&] { return count() == 3; }));
  std::string big;
  for (int i = 0; i < 2100; ++i) big += "5A";
  ASSERT_TRUE(e.sendRaw(0, reply(big), {4096}, 300ms));
  ASSERT_TRUE(Eventually([&] { return count() == 4; }));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(replies[0], (std::vector<uint8_t>{0x0A, 0x1B}));
    EXPECT_EQ(replies[1], (std::vector<uint8_t>{0xFF}));
    EXPECT_EQ(replies[2], (std::vector<uint8_t>{0xC0, 0xFF, 0xEE}));
    EXPECT_EQ(replies[3], std::vector<uint8_t>(2100, 0x5A));
  }
  // Nothing arrives twice.
  ASSERT_TRUE(e.sendRaw(0, reply("01")));
  ASSERT_TRUE(Eventually([&] { return count() == 5; }));
  EXPECT_EQ(count(), 5u);
  EXPECT_EQ(TdevCloseDeviceSync(nullptr, c, handle), 0);
}

}  // namespace
}  // namespace host_test
