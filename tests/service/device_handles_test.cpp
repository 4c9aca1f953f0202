// Device handles and message boxes on a host connection: the open and close
// bytes per device kind, replies that arrive twice, the sinks that reach a
// handle's slots, keyboard prefixes, and the lifetime of shared records.

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "host_test_support.h"
#include "service/received_messages.h"

namespace host_test {
namespace {

using service_emulator::Device;
using service_emulator::ReplyOverride;

class DeviceHandles : public HostTest {};

TEST_F(DeviceHandles, OpenAndCloseCarryTheirBytesForEveryKind) {
  auto& e = service(1000);
  struct Case {
    int32_t type;
    const char* id;
    const char* word;
  } cases[] = {
      {TDEV_DEVICE_PRINTER, "p<1>", "type_printer"},
      {TDEV_DEVICE_HYBRID_PRINTER, "h1", "type_hybrid_printer"},
      {TDEV_DEVICE_DISPLAY, "d1", "type_display"},
      {TDEV_DEVICE_KEYBOARD, "k1", "type_keyboard"},
      {TDEV_DEVICE_SCANNER, "s1", "type_scanner"},
      {TDEV_DEVICE_SERIAL, "r1", "type_simple_serial"},
  };
  for (const auto& k : cases) e.setDevice(k.id, Device{k.word, 0, 0, ""});
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  for (const auto& k : cases) {
    SCOPED_TRACE(k.word);
    e.clearLog();
    void* handle = nullptr;
    ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, k.id, k.type, &handle), 0);
    auto ref = TdevRefHandle(handle);
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(ref->type, static_cast<uint32_t>(k.type));
    EXPECT_EQ(ref->deviceId, k.id);
    const std::string id = k.type == TDEV_DEVICE_PRINTER ? "p&lt;1&gt;" : k.id;
    EXPECT_EQ(receivedRaw(e, "open_device"),
              std::vector<std::string>{withNul("<open_device><device_id>" + id +
                                               "</device_id><data><buffer>false</buffer><type>" +
                                               k.word + "</type></data></open_device>")});
    if (k.type <= TDEV_DEVICE_HYBRID_PRINTER) {
      EXPECT_NE(static_cast<TdevPrinterHandle_t*>(handle)->document, nullptr);
      EXPECT_EQ(TdevGetMonitorInterval(static_cast<TdevPrinterHandle_t*>(handle)), 3000);
    }
    EXPECT_EQ(TdevCloseDeviceSync(nullptr, c, handle), 0);
    EXPECT_EQ(receivedRaw(e, "close_device"),
              std::vector<std::string>{
                  withNul("<close_device><device_id>" + id + "</device_id></close_device>")});
    EXPECT_EQ(TdevRefHandle(handle), nullptr);
  }
  EXPECT_EQ(TdevCountBusyRecords(c), 0);
}

TEST_F(DeviceHandles, RequestsNeedAConnectedHost) {
  TdevConnection_t* c = nullptr;
  ASSERT_EQ(TdevCreateConnection(&c), 0);
  adopt(c);
  void* handle = nullptr;
  EXPECT_EQ(TdevOpenDevice(c, "p1", TDEV_DEVICE_PRINTER), 4);
  EXPECT_EQ(TdevOpenDevice(c, "p1", 6), 1);
  EXPECT_EQ(TdevOpenDevice(c, nullptr, 0), 1);
  EXPECT_EQ(TdevOpenDeviceSync(nullptr, c, "p1", TDEV_DEVICE_PRINTER, &handle), 4);
  EXPECT_EQ(TdevCloseDevice(c, &handle), 4);
  TdevCommBoxEntry_t* box = nullptr;
  EXPECT_EQ(TdevOpenCommBoxSync(nullptr, c, "b", "m", &box), 4);
  EXPECT_EQ(TdevCountBusyRecords(c), 0);
}

TEST_F(DeviceHandles, RepeatedRepliesNeverTouchASettledHandle) {
  auto& e = service(1001);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  ReplyOverride twice;
  twice.duplicate = true;
  e.overrideNextReply("open_device", twice);
  void* handle = nullptr;
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "local_printer", TDEV_DEVICE_PRINTER, &handle), 0);
  ASSERT_TRUE(waitForSent(e, "open_device", 2, 10s));
  // A failed repeat of the open must not close the open handle either.
  ASSERT_TRUE(e.sendMessage(0,
                            "<open_device><device_id>local_printer</device_id><data><code>"
                            "DEVICE_OPEN_ERROR</code></data></open_device>"));
  ASSERT_TRUE(e.sendMessage(0,
                            "<close_device><device_id>local_printer</device_id><data><code>OK"
                            "</code></data></close_device>"));
  // A message after them shows they were read.
  ASSERT_TRUE(e.sendMessage(0,
                            "<admin_info><data><admin_name>marker</admin_name></data>"
                            "</admin_info>"));
  ASSERT_TRUE(Eventually([&] {
    std::string name;
    TdevConnectionAdminInfo(c, &name, nullptr);
    return name == "marker";
  }));
  uint32_t type = 99;
  int32_t state = -1;
  EXPECT_NE(TdevFindDriverHandle(c, "local_printer", &type, &state), nullptr);
  EXPECT_EQ(state, TDEV_HANDLE_OPEN);
  EXPECT_EQ(type, static_cast<uint32_t>(TDEV_DEVICE_PRINTER));

  e.overrideNextReply("close_device", twice);
  EXPECT_EQ(TdevCloseDeviceSync(nullptr, c, handle), 0);
  EXPECT_EQ(TdevRefHandle(handle), nullptr);
}

struct JobResult {
  std::string host, deviceId, jobId;
  int32_t success, result;
  uint32_t status;
  int32_t battery;
};
Records<JobResult> g_jobs;

void OnJob(TdevPrinterHandle_t*, const char* host, const char* deviceId, int32_t success,
           int32_t result, uint32_t status, int32_t battery, const char* jobId) {
  g_jobs.add({host, deviceId, jobId, success, result, status, battery});
}

TEST_F(DeviceHandles, JobResultsReachTheirPrinterSlotMasked) {
  auto& e = service(1002);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  void* handle = nullptr;
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "local_printer", TDEV_DEVICE_PRINTER, &handle), 0);
  auto* printer = static_cast<TdevPrinterHandle_t*>(handle);
  g_jobs.clear();
  ASSERT_EQ(TdevSetPrinterCallback(printer, 14, reinterpret_cast<TdevAnyCallback>(&OnJob)), 0);
  auto result = [](const char* attributes, const char* device, int dataId) {
    char text[400];
    std::snprintf(text, sizeof text,
                  "<device_data><sequence>7</sequence><device_id>%s</device_id><data_id>%d"
                  "</data_id><data><type>onxmlresult</type><response %s/><printjobid>J1"
                  "</printjobid></data></device_data>",
                  device, dataId, attributes);
    return std::string(text);
  };
  ASSERT_TRUE(
      e.sendMessage(0, result("success=\"true\" code=\"\" status=\"0xFFFFFFFF\" battery=\"3\"",
                              "local_printer", 41)));
  ASSERT_TRUE(e.sendMessage(0, result("success=\"false\" status=\"8\"", "local_printer", 42)));
  // Another device's result reaches nobody.
  ASSERT_TRUE(e.sendMessage(0, result("success=\"true\"", "elsewhere", 43)));
  ASSERT_TRUE(Eventually([&] { return g_jobs.size() == 2; }));
  const auto jobs = g_jobs.all();
  EXPECT_EQ(jobs[0].host, host());
  EXPECT_EQ(jobs[0].deviceId, "local_printer");
  EXPECT_EQ(jobs[0].jobId, "J1");
  EXPECT_EQ(jobs[0].success, 1);
  EXPECT_EQ(jobs[0].result, 0);
  EXPECT_EQ(jobs[0].status, 0x810F6F6Fu);
  EXPECT_EQ(jobs[0].battery, 3);
  EXPECT_EQ(jobs[1].success, 0);
  EXPECT_EQ(jobs[1].result, 255) << "a failure without a code";
  EXPECT_EQ(jobs[1].status, 8u);
  // The stored status is the last one; a battery of 0 keeps the one before.
  EXPECT_EQ(TdevGetPrinterStatus(printer), 8u);
  EXPECT_EQ(TdevGetBatteryLevel(printer), 3);
  EXPECT_EQ(TdevGetReceivedId(c), 42);
}

struct BoxMessage {
  std::string sender, receiver, message;
};
Records<BoxMessage> g_boxMessages;

void OnBoxReceive(TdevCommBoxEntry_t*, const char*, const TdevCommHistoryItem_t* item) {
  g_boxMessages.add({item->senderId, item->receiverId, item->message});
}

TEST_F(DeviceHandles, MessageBoxReceivesMessagesForItsBoxId) {
  auto& e = service(1003);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  TdevCommBoxEntry_t* box = nullptr;
  ASSERT_EQ(TdevOpenCommBoxSync(nullptr, c, "b1", "me", &box), 0);
  g_boxMessages.clear();
  {
    PlatformLockGuard guard(box->callbackLock);
    box->receive = &OnBoxReceive;
  }
  auto message = [](const char* boxId, const char* text) {
    return std::string(
               "<commbox_data><sequence>0</sequence><data_id>9</data_id><data><type>"
               "onreceive</type><box_id>") +
           boxId +
           "</box_id><data><sender_id>you</sender_id><receiver_id>me</receiver_id>"
           "<message>" +
           text + "</message></data></data></commbox_data>";
  };
  ASSERT_TRUE(e.sendMessage(0, message("other", "not mine")));
  ASSERT_TRUE(e.sendMessage(0, message("b1", "a &lt; b")));
  ASSERT_TRUE(Eventually([&] { return g_boxMessages.size() == 1; }));
  const auto messages = g_boxMessages.all();
  EXPECT_EQ(messages[0].sender, "you");
  EXPECT_EQ(messages[0].receiver, "me");
  EXPECT_EQ(messages[0].message, "a < b");
}

TEST_F(DeviceHandles, KeyboardPrefixSetKeepsDistinctNonzeroBytes) {
  TdevKeyboardHandle_t keyboard;
  struct Step {
    std::vector<uint8_t> add;
    std::string expected;
  } steps[] = {
      {{'a', 'b', 'a'}, "ab"},
      {{'b', 0, 'c'}, "abc"},
      {{}, "abc"},
  };
  for (const auto& s : steps) {
    const uint8_t none = 'z';
    const uint8_t* bytes = s.add.empty() ? &none : s.add.data();
    EXPECT_EQ(TdevKeyboardAddPrefix(&keyboard, bytes, static_cast<int32_t>(s.add.size())), 0);
    EXPECT_EQ(std::string(keyboard.prefix), s.expected);
  }
  // Never beyond its 99 values.
  std::vector<uint8_t> all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<uint8_t>(b));
  EXPECT_EQ(TdevKeyboardAddPrefix(&keyboard, all.data(), static_cast<int32_t>(all.size())), 0);
  EXPECT_EQ(std::strlen(keyboard.prefix), 99u);
  EXPECT_EQ(TdevKeyboardAddPrefix(nullptr, all.data(), 1), 1);
  EXPECT_EQ(TdevKeyboardAddPrefix(&keyboard, nullptr, 1), 1);
  EXPECT_EQ(TdevKeyboardClearPrefix(&keyboard), 0);
  EXPECT_EQ(std::string(keyboard.prefix), "");
}

// A close that never went out leaves the handle or box open and counted: the
// host is not disconnected under it, it is found and usable, and a later close
// goes out and ends it.
TEST_F(DeviceHandles, CloseWhoseSendFailedLeavesTheRecordOpenAndCounted) {
  auto& e = service(1031);
  e.setDevice("p1", Device{"type_printer", 0, 0, ""});
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  void* handle = nullptr;
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "p1", TDEV_DEVICE_PRINTER, &handle), 0);
  TdevCommBoxEntry_t* box = nullptr;
  ASSERT_EQ(TdevOpenCommBoxSync(nullptr, c, "b1", "me", &box), 0);
  ASSERT_EQ(TdevCountBusyRecords(c), 2);

  {
    SendLockHolder busy(c);
    struct Case {
      const char* what;
      std::function<int()> close;
    } cases[] = {
        {"device, one-shot", [&] { return TdevCloseDevice(c, handle); }},
        {"device, waited", [&] { return TdevCloseDeviceSync(nullptr, c, handle); }},
        {"box, waited", [&] { return TdevCloseCommBoxSync(nullptr, c, box); }},
    };
    for (const auto& k : cases) {
      SCOPED_TRACE(k.what);
      EXPECT_EQ(k.close(), 2);  // busy: nothing was sent
      uint32_t type = 0;
      int32_t state = -1;
      EXPECT_EQ(TdevFindDriverHandle(c, "p1", &type, &state).get(), handle);
      EXPECT_EQ(state, TDEV_HANDLE_OPEN);
      EXPECT_NE(TdevRefHandle(handle), nullptr);
      EXPECT_EQ(TdevHasOpenDriverHandle(c), 1);
      EXPECT_EQ(TdevCommBoxListFindById(c, "b1").get(), box);
      EXPECT_EQ(TdevCommBoxListHasOpen(c), 1);
      EXPECT_EQ(TdevCountBusyRecords(c), 2);
      EXPECT_EQ(TdevPendingWaiters(), 0);
    }
    // The user leaves, but the open records keep the host connected.
    EXPECT_EQ(TdevDisconnectIfUnused(nullptr, c), 0);
    EXPECT_EQ(TdevIsConnected(c), 1);
  }
  EXPECT_TRUE(receivedRaw(e, "close_device").empty());
  EXPECT_TRUE(receivedRaw(e, "close_commbox").empty());

  // Still usable: the closes go out now and end both records.
  EXPECT_EQ(TdevCloseDeviceSync(nullptr, c, handle), 0);
  EXPECT_EQ(TdevCloseCommBoxSync(nullptr, c, box), 0);
  EXPECT_EQ(receivedRaw(e, "close_device").size(), 1u);
  EXPECT_EQ(receivedRaw(e, "close_commbox").size(), 1u);
  EXPECT_EQ(TdevRefHandle(handle), nullptr);
  EXPECT_EQ(TdevCountBusyRecords(c), 0);
}

TEST_F(DeviceHandles, DestroyedRecordsAreUnreachable) {
  auto& e = service(1004);
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  void* handle = nullptr;
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "local_printer", TDEV_DEVICE_PRINTER, &handle), 0);
  TdevCommBoxEntry_t* box = nullptr;
  ASSERT_EQ(TdevOpenCommBoxSync(nullptr, c, "b1", "m1", &box), 0);
  // A holder keeps the memory; destruction only makes the records unreachable.
  auto keepConnection = TdevRefConnection(c);
  auto keepHandle = TdevRefHandle(handle);
  ASSERT_EQ(TdevDestroyConnection(c), 0);
  EXPECT_EQ(TdevRefConnection(c), nullptr);
  EXPECT_EQ(TdevRefHandle(handle), nullptr);
  EXPECT_EQ(TdevRefCommBoxEntry(box), nullptr);
  EXPECT_EQ(TdevFindConnection(host()), nullptr);
  EXPECT_EQ(TdevIsConnected(c), 0);
  EXPECT_EQ(TdevSetMonitorInterval(static_cast<TdevPrinterHandle_t*>(handle), 500), 1);
  EXPECT_EQ(TdevCloseDeviceSync(nullptr, c, handle), 1);
  EXPECT_EQ(TdevDisconnectIfUnused(nullptr, c), 0);
  EXPECT_EQ(TdevDestroyConnection(c), 1);
  EXPECT_EQ(keepHandle->deviceId, "local_printer");
  keepHandle.reset();
  keepConnection.reset();
  EXPECT_TRUE(e.waitForConnected(0, 10s)) << "the channel closed";
}

TEST_F(DeviceHandles, ConnectOpenDropAndDestroyInLoopsLeaveNothingRunning) {
  auto& e = service(1005);
  TdevSetHttpPorts(host(), e.httpPort(), e.httpsPort());
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    TdevConnection_t* c = nullptr;
    ASSERT_EQ(TdevConnectSync(nullptr, host(), round % 2, &c, 10000), 0);
    recordSlots(c);
    // A device of its own per round: the service may still hold the last
    // round's session for a while.
    char printer[16];
    std::snprintf(printer, sizeof printer, "p%d", round);
    e.setDevice(printer, Device{});
    void* handle = nullptr;
    ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, printer, TDEV_DEVICE_PRINTER, &handle), 0);
    // Its status monitor asks over HTTP while the link drops and the
    // connection goes.
    auto* monitored = static_cast<TdevPrinterHandle_t*>(handle);
    ASSERT_EQ(TdevSetMonitorInterval(monitored, 20), 0);
    ASSERT_EQ(TdevStartMonitor(monitored), 0);
    // Opens racing the drop, from another thread.
    std::thread opener([&] {
      for (int i = 0; i < 5; ++i) {
        void* h = nullptr;
        char id[16];
        std::snprintf(id, sizeof id, "x%d", i);
        TdevOpenDeviceSync(nullptr, c, id, TDEV_DEVICE_SCANNER, &h);
      }
    });
    // The first round lets its monitor reach the service before the drop, so
    // a loaded machine cannot end every round before any request went out.
    if (round == 0) {
      EXPECT_TRUE(e.waitForHttpRequests(1, 10s));
    }
    ASSERT_TRUE(e.resetClient(0));
    opener.join();
    if (round % 3 == 0) {
      ASSERT_TRUE(Eventually([&] { return TdevIsConnected(c) == 1; }));
    }
    EXPECT_EQ(TdevDestroyConnection(c), 0);
    EXPECT_EQ(TdevRefHandle(handle), nullptr);
  }
  EXPECT_GT(e.httpRequests().size(), 0u) << "the monitors were asking";
  TdevSetHttpPorts(nullptr, 0, 0);
}

}  // namespace
}  // namespace host_test
