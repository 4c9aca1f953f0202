// The blocking calls over the service's replies: sharing a connected host
// between users, open and close of devices and message boxes with their
// reply codes, bounded waits, and lost links while a wait runs.

#include <atomic>

#include "host_test_support.h"

namespace host_test {
namespace {

using service_emulator::ReplyOverride;

class Waiters : public HostTest {};

TEST_F(Waiters, ConnectedHostIsSharedAndDisconnectedOnlyByItsLastUser) {
  auto& e = service(990);
  TdevConnection_t* first = connect();
  ASSERT_NE(first, nullptr);
  TdevConnection_t* second = connect();
  EXPECT_EQ(second, first) << "the connected connection is handed out";
  EXPECT_EQ(e.accepted(), 1);
  EXPECT_EQ(TdevConnectionUsers(first), 2);

  EXPECT_EQ(TdevDisconnectIfUnused(nullptr, first), 0);
  EXPECT_EQ(TdevIsConnected(first), 1) << "the other user still holds it";
  EXPECT_TRUE(e.received("disconnect").empty());
  EXPECT_EQ(TdevDisconnectIfUnused(nullptr, first), 0);
  EXPECT_EQ(TdevIsConnected(first), 0);
  EXPECT_EQ(e.received("disconnect").size(), 1u);
}

TEST_F(Waiters, AFreshUserIsNeverDisconnectedUnderIt) {
  auto& e = service(991);
  TdevConnection_t* base = connect();
  ASSERT_NE(base, nullptr);
  // One thread keeps taking and giving back users while another takes one
  // and holds it: whenever the holder has its connection, it is connected.
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      TdevConnection_t* c = nullptr;
      if (TdevConnectSync(nullptr, host(), 0, &c, 10000) == 0) {
        TdevDisconnectIfUnused(nullptr, c);
      }
    }
  });
  for (int i = 0; i < 50; ++i) {
    TdevConnection_t* c = nullptr;
    ASSERT_EQ(TdevConnectSync(nullptr, host(), 0, &c, 10000), 0);
    EXPECT_EQ(c, base);
    EXPECT_EQ(TdevIsConnected(c), 1);
    EXPECT_EQ(TdevDisconnectIfUnused(nullptr, c), 0);
  }
  stop = true;
  churn.join();
  EXPECT_EQ(TdevIsConnected(base), 1);
  EXPECT_TRUE(e.received("disconnect").empty());
  EXPECT_EQ(TdevConnectionUsers(base), 1);
}

TEST_F(Waiters, OpenDeviceAnswersTheReplysResult) {
  auto& e = service(992);
  e.setDevice("kbd_1", {"type_keyboard", 0, 0, ""});
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  struct Case {
    const char* name;
    const char* id;
    int32_t type;
    int expected;
  } cases[] = {
      {"unknown id", "nobody", TDEV_DEVICE_PRINTER, 6},  // DEVICE_NOT_FOUND
      {"wrong type", "kbd_1", TDEV_DEVICE_PRINTER, 7},   // DEVICE_TYPE_INVALID
      {"type out of range", "kbd_1", 6, 1},
      {"opens", "kbd_1", TDEV_DEVICE_KEYBOARD, 0},
      {"already open here", "kbd_1", TDEV_DEVICE_KEYBOARD, 8},  // found before sending
  };
  void* opened = nullptr;
  for (const auto& k : cases) {
    void* handle = nullptr;
    EXPECT_EQ(TdevOpenDeviceSync(nullptr, c, k.id, k.type, &handle), k.expected) << k.name;
    EXPECT_EQ(handle != nullptr, k.expected == 0) << k.name;
    if (handle != nullptr) opened = handle;
  }
  EXPECT_EQ(e.received("open_device").size(), 3u);
  void* set = opened;
  EXPECT_EQ(TdevOpenDeviceSync(nullptr, c, "kbd_1", TDEV_DEVICE_KEYBOARD, &set), 1)
      << "an out handle already set";
  // A failed open leaves nothing behind; the open one counts.
  EXPECT_EQ(TdevCountBusyRecords(c), 1);
  EXPECT_EQ(TdevCloseDeviceSync(nullptr, c, opened), 0);
  EXPECT_EQ(TdevCountBusyRecords(c), 0);
  EXPECT_EQ(TdevRefHandle(opened), nullptr);
}

TEST_F(Waiters, DeviceInUseBySecondClientAndFailedCloseKeepsTheHandle) {
  auto& e = service(993);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  void* handle = nullptr;
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "local_printer", TDEV_DEVICE_PRINTER, &handle), 0);
  ReplyOverride inUse;
  inUse.code = "DEVICE_IN_USE";
  e.overrideNextReply("open_device", inUse);
  void* other = nullptr;
  e.setDevice("p2", {"type_printer", 0, 0, ""});
  EXPECT_EQ(TdevOpenDeviceSync(nullptr, c, "p2", TDEV_DEVICE_PRINTER, &other), 8);

  ReplyOverride refuse;
  refuse.code = "DEVICE_NOT_OPEN";
  e.overrideNextReply("close_device", refuse);
  EXPECT_EQ(TdevCloseDeviceSync(nullptr, c, handle), 10);
  EXPECT_NE(TdevRefHandle(handle), nullptr) << "a refused close leaves the device open";
  EXPECT_EQ(TdevCloseDeviceSync(nullptr, c, handle), 0);
}

TEST_F(Waiters, AReplyThatNeverComesAnswersTimeoutWithinItsBound) {
  auto& e = service(994);
  TdevSetReplyBounds(800, 0);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  ReplyOverride late;
  late.delay = 2500ms;
  e.overrideNextReply("open_device", late);
  const auto start = std::chrono::steady_clock::now();
  void* handle = nullptr;
  EXPECT_EQ(TdevOpenDeviceSync(nullptr, c, "local_printer", TDEV_DEVICE_PRINTER, &handle), 3);
  EXPECT_GE(io_test::msSince(start), 700);
  EXPECT_LT(io_test::msSince(start), 2400);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(TdevPendingWaiters(), 0);
  // The late reply finds nothing: no handle appears.
  ASSERT_TRUE(waitForSent(e, "open_device", 1, 10s));
  int32_t dataId = 0;
  for (const auto& m : e.messages()) {
    const auto at = m.raw.find("<data_id>");
    if (m.fromService && m.kind == "open_device" && at != std::string::npos)
      dataId = std::atoi(m.raw.c_str() + at + 9);
  }
  ASSERT_TRUE(Eventually([&] { return TdevGetReceivedId(c) == dataId; }))
      << "the late reply was read";
  EXPECT_EQ(TdevCountBusyRecords(c), 0);
  EXPECT_EQ(TdevFindDriverHandle(c, "local_printer"), nullptr);
}

TEST_F(Waiters, LinkLostWhileWaitingGivesNotConnectedOrCloseError) {
  auto& e = service(995);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  void* handle = nullptr;
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "local_printer", TDEV_DEVICE_PRINTER, &handle), 0);

  ReplyOverride hangUp;
  hangUp.drop = true;
  hangUp.closeAfter = true;
  e.overrideNextReply("close_device", hangUp);
  EXPECT_EQ(TdevCloseDeviceSync(nullptr, c, handle), 11);
  EXPECT_NE(TdevRefHandle(handle), nullptr) << "the device stays open through the reconnect";
  ASSERT_TRUE(Eventually([&] { return TdevIsConnected(c) == 1; }));

  e.setDevice("p2", {"type_printer", 0, 0, ""});
  e.overrideNextReply("open_device", hangUp);
  void* other = nullptr;
  EXPECT_EQ(TdevOpenDeviceSync(nullptr, c, "p2", TDEV_DEVICE_PRINTER, &other), 4);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(TdevFindDriverHandle(c, "p2"), nullptr);
  ASSERT_TRUE(Eventually([&] { return TdevIsConnected(c) == 1; }));
  // The service had done the close whose reply was lost: it says so now.
  EXPECT_EQ(TdevCloseDeviceSync(nullptr, c, handle), 10);
}

TEST_F(Waiters, DestroyingTheConnectionEndsItsWaitsAtOnce) {
  auto& e = service(998);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  ReplyOverride silent;
  silent.drop = true;
  e.overrideNextReply("open_device", silent);
  std::atomic<int> result{-1};
  std::thread opener([&] {
    void* handle = nullptr;
    result = TdevOpenDeviceSync(nullptr, c, "local_printer", TDEV_DEVICE_PRINTER, &handle);
  });
  ASSERT_TRUE(e.waitForReceived("open_device", 1, 10s));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TdevDestroyConnection(c), 0);
  opener.join();
  EXPECT_EQ(result.load(), 4);
  EXPECT_LT(io_test::msSince(start), 5000) << "not the whole reply bound";
}

TEST_F(Waiters, MessageBoxOpensAndClosesWithItsSequence) {
  auto& e = service(996);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  TdevCommBoxEntry_t* box = nullptr;
  ASSERT_EQ(TdevOpenCommBoxSync(nullptr, c, "box<1>", "m&1", &box), 0);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->boxId, "box<1>");
  EXPECT_EQ(e.openBoxes("C1"), std::vector<std::string>{"box<1>"});
  EXPECT_EQ(receivedRaw(e, "open_commbox"),
            std::vector<std::string>{withNul(
                "<open_commbox><sequence>1</sequence><data><box_id>box&lt;1&gt;</box_id><member_id>"
                "m&amp;1</member_id></data></open_commbox>")});
  EXPECT_EQ(TdevCommBoxListHasOpen(c), 1);
  // An open box keeps the host.
  EXPECT_EQ(TdevDisconnectIfUnused(nullptr, c), 0);
  EXPECT_EQ(TdevIsConnected(c), 1);

  TdevCommBoxEntry_t* again = nullptr;
  EXPECT_EQ(TdevOpenCommBoxSync(nullptr, c, "box<1>", "m&1", &again), 22);  // ALREADY_OPENED
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(TdevOpenCommBoxSync(nullptr, c, "box<1>", "m&1", &box), 1) << "out already set";

  EXPECT_EQ(TdevCloseCommBoxSync(nullptr, c, box), 0);
  EXPECT_EQ(receivedRaw(e, "close_commbox").back(),
            withNul("<close_commbox><sequence>3</sequence><data><box_id>box&lt;1&gt;</box_id>"
                    "</data></close_commbox>"));
  EXPECT_EQ(TdevRefCommBoxEntry(box), nullptr);
  EXPECT_EQ(TdevCountBusyRecords(c), 0);
  EXPECT_TRUE(e.openBoxes("C1").empty());
}

TEST_F(Waiters, MessageBoxWaitsEndOnALostLink) {
  auto& e = service(997);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  TdevCommBoxEntry_t* box = nullptr;
  ASSERT_EQ(TdevOpenCommBoxSync(nullptr, c, "b1", "m1", &box), 0);
  ReplyOverride hangUp;
  hangUp.drop = true;
  hangUp.closeAfter = true;
  e.overrideNextReply("close_commbox", hangUp);
  EXPECT_EQ(TdevCloseCommBoxSync(nullptr, c, box), 11);
  EXPECT_NE(TdevRefCommBoxEntry(box), nullptr) << "the box stays open";
  ASSERT_TRUE(Eventually([&] { return TdevIsConnected(c) == 1; }));

  e.overrideNextReply("open_commbox", hangUp);
  TdevCommBoxEntry_t* other = nullptr;
  EXPECT_EQ(TdevOpenCommBoxSync(nullptr, c, "b2", "m2", &other), 4);
  EXPECT_EQ(TdevCommBoxListFindById(c, "b2"), nullptr);
  ASSERT_TRUE(Eventually([&] { return TdevIsConnected(c) == 1; }));
  EXPECT_EQ(TdevCloseCommBoxSync(nullptr, c, box), 10) << "closed by the service already";
  EXPECT_NE(TdevRefCommBoxEntry(box), nullptr);
}

}  // namespace
}  // namespace host_test
