// Keyboards, scanners, serial devices and message boxes from the device
// layer's records down through the real device-service client to the
// emulator and back: connects and disconnects, input and replies reaching the
// records' callbacks, the exact messages of the prefix set, serial commands
// and the message-box requests, refused connects and closes, TLS targets,
// several records sharing one host connection, and a host's reconnect and
// drop reaching every record.
//
// Addresses (io_test::address): 1350-1389.

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "device/commbox_module.h"
#include "device/keyboard_module.h"
#include "device/scanner_serial_module.h"
#include "host_test_support.h"

namespace host_test {
namespace {

using service_emulator::AcceptMode;
using service_emulator::Device;
using service_emulator::ReplyOverride;
using service_emulator::Transport;

// What the records' callbacks saw, one line per call, in order. Callbacks
// run on the client's receive thread.
struct Seen {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::vector<int32_t> events;

  void add(std::string line) {
    std::lock_guard lock(mutex);
    lines.push_back(std::move(line));
  }
  std::vector<std::string> all() {
    std::lock_guard lock(mutex);
    return lines;
  }
  size_t size() {
    std::lock_guard lock(mutex);
    return lines.size();
  }
  void clear() {
    std::lock_guard lock(mutex);
    lines.clear();
  }
  std::vector<int32_t> connectionEvents() {
    std::lock_guard lock(mutex);
    return events;
  }
};

std::string Hex(const uint8_t* bytes, int32_t count) {
  std::string out;
  char digits[4];
  for (int32_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    out += digits;
  }
  return out;
}

std::string OrNull(const char* text) { return text != nullptr ? text : "(null)"; }

void OnKey(void*, int32_t keyCode, const char* text, void* user) {
  static_cast<Seen*>(user)->add("key " + std::to_string(keyCode) + " [" + text + "]");
}
void OnString(void*, const char* text, int32_t prefix, void* user) {
  static_cast<Seen*>(user)->add("string [" + std::string(text) + "] " + std::to_string(prefix));
}
void OnScan(void*, const char* data, void* user) {
  static_cast<Seen*>(user)->add("scan [" + std::string(data) + "]");
}
void OnSerial(void*, const uint8_t* bytes, int32_t length, void* user) {
  static_cast<Seen*>(user)->add("serial " + Hex(bytes, length));
}
void OnHistory(void*, int32_t code, TdcCommBoxMessage_t* messages, int32_t count, int32_t sequence,
               void* user) {
  std::string line = "history " + std::to_string(code) + " " + std::to_string(sequence);
  for (int32_t i = 0; i < count; ++i) {
    line += " {" + OrNull(messages[i].senderId) + "|" + OrNull(messages[i].receiverId) + "|" +
            OrNull(messages[i].message) + "}";
  }
  static_cast<Seen*>(user)->add(line);
}
void OnSendResult(void*, int32_t code, int32_t count, int32_t sequence, void* user) {
  static_cast<Seen*>(user)->add("sent " + std::to_string(code) + " " + std::to_string(count) + " " +
                                std::to_string(sequence));
}
void OnReceive(void*, TdcCommBoxMessage_t* message, void* user) {
  static_cast<Seen*>(user)->add("received {" + OrNull(message->senderId) + "|" +
                                OrNull(message->receiverId) + "|" + OrNull(message->message) + "}");
}
void OnConnection(void*, int32_t event, void* user) {
  auto* seen = static_cast<Seen*>(user);
  std::lock_guard lock(seen->mutex);
  seen->events.push_back(event);
}

// Zero-filled with mode -3, as the owners of these records allocate them.
template <typename Record>
Record* NewRecord() {
  auto* record = static_cast<Record*>(std::calloc(1, sizeof(Record)));
  record->mode = TDC_MODE_NEVER_CONNECTED;
  return record;
}

std::string DeviceData(int32_t sequence, const std::string& deviceId, const std::string& rest) {
  return withNul("<device_data><sequence>" + std::to_string(sequence) + "</sequence><device_id>" +
                 deviceId + "</device_id><data>" + rest + "</data></device_data>");
}

std::string CommBoxData(int32_t sequence, const std::string& rest) {
  return withNul("<commbox_data><sequence>" + std::to_string(sequence) + "</sequence><data>" +
                 rest + "</data></commbox_data>");
}

// A keyboard "k1", a scanner "s1" and a serial device "r1" on this test's
// emulator; records are registered and destroyed at the end.
class DeviceLayerPeripherals : public HostTest {
 protected:
  void TearDown() override {
    for (auto* k : keyboards_) TdcDestroyKeyboard(k);
    for (auto* s : scanners_) TdcDestroyBarcodeScanner(s);
    for (auto* r : serials_) TdcDestroySimpleSerial(r);
    for (auto* b : boxes_) TdcDestroyCommBox(b);
    HostTest::TearDown();
  }

  service_emulator::ServiceEmulator& start(int n) {
    auto& e = service(n);
    e.setDevice("k1", Device{"type_keyboard", 0, 0, ""});
    e.setDevice("s1", Device{"type_scanner", 0, 0, ""});
    e.setDevice("r1", Device{"type_simple_serial", 0, 0, ""});
    return e;
  }

  std::string target(const char* id) const { return "TCP:" + host_ + "[" + id + "]"; }

  TdcKeyboard_t* keyboard(Seen* seen) {
    auto* k = NewRecord<TdcKeyboard_t>();
    k->onKeyPress = &OnKey;
    k->onKeyPressUser = seen;
    k->onString = &OnString;
    k->onStringUser = seen;
    k->onConnection = &OnConnection;
    k->onConnectionUser = seen;
    TdcRegisterKeyboard(k);
    keyboards_.push_back(k);
    return k;
  }
  TdcBarcodeScanner_t* scanner(Seen* seen) {
    auto* s = NewRecord<TdcBarcodeScanner_t>();
    s->onData = &OnScan;
    s->onDataUser = seen;
    s->onConnection = &OnConnection;
    s->onConnectionUser = seen;
    TdcRegisterBarcodeScanner(s);
    scanners_.push_back(s);
    return s;
  }
  TdcSimpleSerial_t* serial(Seen* seen) {
    auto* r = NewRecord<TdcSimpleSerial_t>();
    r->onData = &OnSerial;
    r->onDataUser = seen;
    r->onConnection = &OnConnection;
    r->onConnectionUser = seen;
    TdcRegisterSimpleSerial(r);
    serials_.push_back(r);
    return r;
  }
  TdcCommBox_t* box(Seen* seen) {
    auto* b = NewRecord<TdcCommBox_t>();
    b->onReceive = &OnReceive;
    b->onReceiveUser = seen;
    b->onConnection = &OnConnection;
    b->onConnectionUser = seen;
    TdcRegisterCommBox(b);
    boxes_.push_back(b);
    return b;
  }

  // The number the next request on the connection will carry.
  static int32_t nextSequence(TdevConnection_t* connection) {
    return TdevNextSequence(connection) + 1;
  }

  std::vector<TdcKeyboard_t*> keyboards_;
  std::vector<TdcBarcodeScanner_t*> scanners_;
  std::vector<TdcSimpleSerial_t*> serials_;
  std::vector<TdcCommBox_t*> boxes_;
};

TEST_F(DeviceLayerPeripherals, KeyboardInputReachesTheRecordAndItsPrefixSetGoesOutExactly) {
  auto& e = start(1350);
  Seen seen;
  TdcKeyboard_t* k = keyboard(&seen);
  ASSERT_EQ(TdcConnectKeyboard(nullptr, k, target("k1").c_str(), 10000), TDC_SUCCESS);
  EXPECT_EQ(k->mode, TDC_MODE_SERVICE);
  EXPECT_EQ(k->portType, TDC_PORT_TCP);
  EXPECT_EQ(e.openDevices(e.clientId(e.newestClient())), std::vector<std::string>{"k1"});
  ASSERT_EQ(e.received("open_device").size(), 1u);
  EXPECT_NE(e.received("open_device")[0].raw.find("<type>type_keyboard</type>"), std::string::npos);

  // Key presses and strings, escaped on the wire, reach the callbacks as text.
  struct Input {
    const char* type;
    const char* fields;
    const char* expected;
  } inputs[] = {
      {"onkeypress", "<keycode>65</keycode><ascii>A</ascii>", "key 65 [A]"},
      {"onkeypress", "<keycode>60</keycode><ascii>&lt;</ascii>", "key 60 [<]"},
      {"onstring", "<input>12&amp;34 &quot;x&quot;</input><prefix>7</prefix>",
       "string [12&34 \"x\"] 7"},
      // The client reads an empty field as one space.
      {"onstring", "<input></input><prefix>0</prefix>", "string [ ] 0"},
  };
  std::vector<std::string> expected;
  for (const auto& in : inputs) {
    ASSERT_NE(e.sendDeviceEvent(0, "k1", in.type, in.fields), 0) << in.type;
    expected.push_back(in.expected);
  }
  ASSERT_TRUE(Eventually([&] { return seen.size() >= expected.size(); }, 10s));
  EXPECT_EQ(seen.all(), expected);

  // The prefix set: the codes go out as given, the set keeps the first of
  // each non-zero code.
  struct PrefixCase {
    const char* what;
    std::vector<uint8_t> codes;
    std::string keyCodes;  // the elements of the message
    std::vector<uint8_t> kept;
  } cases[] = {
      {"repeats and 0",
       {10, 13, 10, 0, 27},
       "<keycodes array=\"true\">10</keycodes><keycodes>13</keycodes><keycodes>10</keycodes>"
       "<keycodes>0</keycodes><keycodes>27</keycodes>",
       {10, 13, 27}},
      {"one code", {200}, "<keycodes>200</keycodes>", {200}},
      {"none clears the set", {}, "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    e.clearLog();
    const int32_t sequence = nextSequence(k->connection);
    ASSERT_EQ(TdcSetPrefix(nullptr, k, c.codes.data(), static_cast<int32_t>(c.codes.size())),
              TDC_SUCCESS);
    ASSERT_TRUE(e.waitForReceived("setprefix", 1, 10s));
    EXPECT_EQ(receivedRaw(e, "setprefix"),
              std::vector<std::string>{
                  DeviceData(sequence, "k1", "<type>setprefix</type>" + c.keyCodes)});
    const uint8_t* bytes = nullptr;
    int32_t length = -1;
    ASSERT_EQ(TdcGetPrefix(k, &bytes, &length), TDC_SUCCESS);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + length), c.kept);
  }

  // Disconnect: the device is closed on the service, the unused host
  // connection goes, and event 2 reaches the record.
  e.clearLog();
  ASSERT_EQ(TdcDisconnectKeyboard(nullptr, k), TDC_SUCCESS);
  EXPECT_EQ(k->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(k->device, nullptr);
  EXPECT_EQ(seen.connectionEvents(), std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  ASSERT_EQ(e.received("close_device").size(), 1u);
  EXPECT_NE(e.received("close_device")[0].raw.find("<device_id>k1</device_id>"), std::string::npos);
  EXPECT_TRUE(e.waitForConnected(0, 10s));
  EXPECT_EQ(TdevFindConnection(host()), nullptr);

  // A closed record refuses the prefix calls and a second disconnect.
  const uint8_t code = 9;
  const uint8_t* bytes = nullptr;
  int32_t length = 0;
  EXPECT_EQ(TdcSetPrefix(nullptr, k, &code, 1), TDC_ERR_FAILURE);
  EXPECT_EQ(TdcGetPrefix(k, &bytes, &length), TDC_ERR_FAILURE);
  EXPECT_EQ(TdcDisconnectKeyboard(nullptr, k), TDC_ERR_ILLEGAL);
}

TEST_F(DeviceLayerPeripherals, ScanDataSerialDataAndCommandRepliesReachTheirRecords) {
  auto& e = start(1351);
  Seen scans;
  Seen serials;
  TdcBarcodeScanner_t* s = scanner(&scans);
  TdcSimpleSerial_t* r = serial(&serials);
  ASSERT_EQ(TdcConnectBarcodeScanner(nullptr, s, target("s1").c_str(), 10000), TDC_SUCCESS);
  ASSERT_EQ(TdcConnectSimpleSerial(nullptr, r, target("r1").c_str(), -2), TDC_SUCCESS);
  EXPECT_EQ(s->connection, r->connection) << "one host, one connection";
  EXPECT_EQ(e.accepted(), 1);

  struct Input {
    const char* deviceId;
    const char* type;
    const char* fields;
    Seen* to;
    const char* expected;
  } inputs[] = {
      {"s1", "ondata", "<input>4901234567894</input>", &scans, "scan [4901234567894]"},
      {"s1", "ondata", "<input>A&amp;B&lt;</input>", &scans, "scan [A&B<]"},
      {"r1", "ondata", "<input>ok</input>", &serials, "serial 6F6B"},
      {"r1", "oncommandreply", "<data>0a1B00ff</data>", &serials, "serial 0A1B00FF"},
      // Input for a device of another kind reaches neither record.
      {"s1", "oncommandreply", "<data>01</data>", nullptr, nullptr},
      {"r1", "onkeypress", "<keycode>66</keycode><ascii>B</ascii>", nullptr, nullptr},
  };
  std::vector<std::string> expectScans;
  std::vector<std::string> expectSerials;
  for (const auto& in : inputs) {
    ASSERT_NE(e.sendDeviceEvent(0, in.deviceId, in.type, in.fields), 0) << in.type;
    if (in.to == &scans) expectScans.push_back(in.expected);
    if (in.to == &serials) expectSerials.push_back(in.expected);
  }
  // A last input to each shows everything before it was read.
  ASSERT_NE(e.sendDeviceEvent(0, "s1", "ondata", "<input>end</input>"), 0);
  ASSERT_NE(e.sendDeviceEvent(0, "r1", "ondata", "<input>z</input>"), 0);
  expectScans.push_back("scan [end]");
  expectSerials.push_back("serial 7A");
  ASSERT_TRUE(Eventually(
      [&] { return scans.size() >= expectScans.size() && serials.size() >= expectSerials.size(); },
      10s));
  EXPECT_EQ(scans.all(), expectScans);
  EXPECT_EQ(serials.all(), expectSerials);

  // Serial commands go out as upper-case hex; bad arguments send nothing.
  struct Command {
    std::vector<uint8_t> bytes;
    const char* hex;
  } commands[] = {{{0x1B, 0x40}, "1B40"}, {{0x00, 0xFF, 0xAB, 0x3C}, "00FFAB3C"}};
  for (const auto& c : commands) {
    SCOPED_TRACE(c.hex);
    e.clearLog();
    const int32_t sequence = nextSequence(r->connection);
    ASSERT_EQ(
        TdcSendSerialCommand(nullptr, r, c.bytes.data(), static_cast<int32_t>(c.bytes.size())),
        TDC_SUCCESS);
    ASSERT_TRUE(e.waitForReceived("sendcommand", 1, 10s));
    EXPECT_EQ(receivedRaw(e, "sendcommand"),
              std::vector<std::string>{DeviceData(
                  sequence, "r1",
                  std::string("<type>sendcommand</type><command>") + c.hex + "</command>")});
  }
  e.clearLog();
  const uint8_t one = 1;
  EXPECT_EQ(TdcSendSerialCommand(nullptr, r, nullptr, 1), TDC_ERR_PARAM);
  EXPECT_EQ(TdcSendSerialCommand(nullptr, r, &one, 0), TDC_ERR_PARAM);
  EXPECT_EQ(TdcSendSerialCommand(nullptr, r, &one, -1), TDC_ERR_PARAM);

  // The first disconnect leaves the connection to the other record.
  ASSERT_EQ(TdcDisconnectBarcodeScanner(nullptr, s), TDC_SUCCESS);
  EXPECT_EQ(scans.connectionEvents(), std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  EXPECT_TRUE(serials.connectionEvents().empty());
  EXPECT_EQ(e.openDevices(e.clientId(e.newestClient())), std::vector<std::string>{"r1"});
  ASSERT_EQ(TdcSendSerialCommand(nullptr, r, &one, 1), TDC_SUCCESS);
  ASSERT_TRUE(e.waitForReceived("sendcommand", 1, 10s));
  EXPECT_EQ(receivedRaw(e, "sendcommand").size(), 1u) << "nothing of the refused calls went out";
  ASSERT_EQ(TdcDisconnectSimpleSerial(nullptr, r), TDC_SUCCESS);
  EXPECT_EQ(serials.connectionEvents(), std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  EXPECT_TRUE(e.waitForConnected(0, 10s));
  EXPECT_EQ(TdcSendSerialCommand(nullptr, r, &one, 1), TDC_ERR_ILLEGAL);
}

TEST_F(DeviceLayerPeripherals, MessageBoxRequestsRepliesAndReceivedMessagesReachTheRecord) {
  auto& e = start(1352);
  Seen seen;
  TdcCommBox_t* b = box(&seen);
  ASSERT_EQ(TdcConnectCommBox(nullptr, b, target("b1").c_str(), "me", 10000), TDC_SUCCESS);
  const std::string client = e.clientId(e.newestClient());
  EXPECT_EQ(e.openBoxes(client), std::vector<std::string>{"b1"});
  ASSERT_EQ(e.received("open_commbox").size(), 1u);
  const std::string open = e.received("open_commbox")[0].raw;
  EXPECT_NE(open.find("<box_id>b1</box_id>"), std::string::npos) << open;
  EXPECT_NE(open.find("<member_id>me</member_id>"), std::string::npos) << open;

  // An empty box answers its history without items: the owner still hears
  // of the request, with no array. A refused request has no items either.
  int32_t empty = 0;
  ASSERT_EQ(TdcGetCommHistory(nullptr, b, &empty, &OnHistory, &seen), TDC_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return seen.size() >= 1; }, 10s));
  ReplyOverride notOpened;
  notOpened.code = "NOT_OPENED";
  e.overrideNextReply("getcommhistory", notOpened);
  int32_t notOpen = 0;
  ASSERT_EQ(TdcGetCommHistory(nullptr, b, &notOpen, &OnHistory, &seen), TDC_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return seen.size() >= 2; }, 10s));
  // The service's not-opened code has no callback code of its own: 1.
  EXPECT_EQ(seen.all(), (std::vector<std::string>{"history 0 " + std::to_string(empty),
                                                  "history 1 " + std::to_string(notOpen)}));
  seen.clear();

  // A send: its exact request, and its result with the request's sequence.
  e.clearLog();
  int32_t sent = 0;
  const int32_t expectedSent = nextSequence(b->connection);
  ASSERT_EQ(TdcSendCommBoxMessage(nullptr, b, "you", "a < b & c", &sent, &OnSendResult, &seen),
            TDC_SUCCESS);
  EXPECT_EQ(sent, expectedSent);
  ASSERT_TRUE(e.waitForReceived("send", 1, 10s));
  EXPECT_EQ(receivedRaw(e, "send"),
            std::vector<std::string>{
                CommBoxData(sent,
                            "<type>send</type><box_id>b1</box_id><member_id>you</member_id>"
                            "<message>a &lt; b &amp; c</message>")});
  ASSERT_TRUE(Eventually([&] { return seen.size() >= 1; }, 10s));
  EXPECT_EQ(seen.all()[0], "sent 0 0 " + std::to_string(sent));

  // The service's refusal of a send reaches the callback translated.
  ReplyOverride noMember;
  noMember.code = "MEMBER_NOT_FOUND";
  e.overrideNextReply("send", noMember);
  int32_t refused = 0;
  ASSERT_EQ(TdcSendCommBoxMessage(nullptr, b, "nobody", "x", &refused, &OnSendResult, &seen),
            TDC_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return seen.size() >= 2; }, 10s));
  EXPECT_EQ(seen.all()[1],
            "sent " + std::to_string(TDC_CB_NOT_FOUND) + " 0 " + std::to_string(refused));

  // The history: its exact request, and the messages, copied by the layer,
  // with the request's sequence.
  e.clearLog();
  int32_t history = 0;
  const int32_t expectedHistory = nextSequence(b->connection);
  ASSERT_EQ(TdcGetCommHistory(nullptr, b, &history, &OnHistory, &seen), TDC_SUCCESS);
  EXPECT_EQ(history, expectedHistory);
  ASSERT_TRUE(e.waitForReceived("getcommhistory", 1, 10s));
  EXPECT_EQ(receivedRaw(e, "getcommhistory"),
            std::vector<std::string>{
                CommBoxData(history, "<type>getcommhistory</type><box_id>b1</box_id>")});
  ASSERT_TRUE(Eventually([&] { return seen.size() >= 3; }, 10s));
  EXPECT_EQ(seen.all()[2],
            "history 0 " + std::to_string(history) + " {me|you|a < b & c} {me|nobody|x}");

  // Two history requests before either is answered: the record keeps one
  // pair, so both results reach the second request's, each with its own
  // sequence.
  Seen firstUser;
  Seen secondUser;
  e.setReading(false);
  int32_t first = 0;
  int32_t second = 0;
  ASSERT_EQ(TdcGetCommHistory(nullptr, b, &first, &OnHistory, &firstUser), TDC_SUCCESS);
  ASSERT_EQ(TdcGetCommHistory(nullptr, b, &second, &OnHistory, &secondUser), TDC_SUCCESS);
  e.setReading(true);
  ASSERT_TRUE(Eventually([&] { return secondUser.size() >= 2; }, 10s));
  const std::string items = " {me|you|a < b & c} {me|nobody|x}";
  EXPECT_EQ(secondUser.all(),
            (std::vector<std::string>{"history 0 " + std::to_string(first) + items,
                                      "history 0 " + std::to_string(second) + items}));
  EXPECT_EQ(firstUser.size(), 0u);

  // An empty member id is a message to every member: its element goes out
  // empty, and the number of members reached comes back with the result.
  e.clearLog();
  const int32_t toAll = nextSequence(b->connection);
  ReplyOverride reached;
  reached.raw = "<commbox_data><sequence>" + std::to_string(toAll) + "</sequence><data_id>" +
                std::to_string(e.takeDataId(0)) +
                "</data_id><data><type>send</type><box_id>b1</box_id><code>OK</code>"
                "<count>3</count></data></commbox_data>";
  e.overrideNextReply("send", reached);
  int32_t sentToAll = 0;
  ASSERT_EQ(TdcSendCommBoxMessage(nullptr, b, "", "all", &sentToAll, &OnSendResult, &seen),
            TDC_SUCCESS);
  EXPECT_EQ(sentToAll, toAll);
  ASSERT_TRUE(e.waitForReceived("send", 1, 10s));
  EXPECT_EQ(receivedRaw(e, "send"),
            std::vector<std::string>{CommBoxData(toAll,
                                                 "<type>send</type><box_id>b1</box_id>"
                                                 "<member_id></member_id><message>all</message>")});
  ASSERT_TRUE(Eventually([&] { return seen.size() >= 4; }, 10s));
  EXPECT_EQ(seen.all()[3], "sent 0 3 " + std::to_string(toAll));
  seen.clear();

  // A message from another member of the box.
  const std::string event =
      "<commbox_data><sequence>0</sequence><data_id>" + std::to_string(e.takeDataId(0)) +
      "</data_id><data><type>onreceive</type><box_id>b1</box_id><data><sender_id>you</sender_id>"
      "<receiver_id>me</receiver_id><message>hi &amp; bye</message></data></data></commbox_data>";
  ASSERT_TRUE(e.sendMessage(0, event));
  ASSERT_TRUE(Eventually([&] { return seen.size() >= 1; }, 10s));
  EXPECT_EQ(seen.all()[0], "received {you|me|hi & bye}");

  // Disconnect: the box is left on the service and event 2 follows.
  e.clearLog();
  ASSERT_EQ(TdcDisconnectCommBox(nullptr, b), TDC_SUCCESS);
  EXPECT_EQ(b->commBox, nullptr);
  EXPECT_EQ(seen.connectionEvents(), std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  ASSERT_EQ(e.received("close_commbox").size(), 1u);
  EXPECT_NE(e.received("close_commbox")[0].raw.find("<box_id>b1</box_id>"), std::string::npos);
  EXPECT_TRUE(e.waitForConnected(0, 10s));
  int32_t after = -7;
  EXPECT_EQ(TdcGetCommHistory(nullptr, b, &after, &OnHistory, &seen), TDC_ERR_ILLEGAL);
  EXPECT_EQ(after, -7);
}

TEST_F(DeviceLayerPeripherals, RecordsOnOneHostShareItsConnectionAndAllHearOfItsDrop) {
  auto& e = start(1353);
  Seen keys;
  Seen scans;
  Seen serials;
  Seen messages;
  TdcKeyboard_t* k = keyboard(&keys);
  TdcBarcodeScanner_t* s = scanner(&scans);
  TdcSimpleSerial_t* r = serial(&serials);
  TdcCommBox_t* b = box(&messages);
  ASSERT_EQ(TdcConnectKeyboard(nullptr, k, target("k1").c_str(), 10000), TDC_SUCCESS);
  ASSERT_EQ(TdcConnectBarcodeScanner(nullptr, s, target("s1").c_str(), 10000), TDC_SUCCESS);
  ASSERT_EQ(TdcConnectSimpleSerial(nullptr, r, target("r1").c_str(), 10000), TDC_SUCCESS);
  ASSERT_EQ(TdcConnectCommBox(nullptr, b, target("b1").c_str(), "me", 10000), TDC_SUCCESS);
  EXPECT_EQ(e.accepted(), 1);
  EXPECT_EQ(s->connection, k->connection);
  EXPECT_EQ(r->connection, k->connection);
  EXPECT_EQ(b->connection, k->connection);
  const std::string client = e.clientId(e.newestClient());
  EXPECT_EQ(e.openDevices(client), (std::vector<std::string>{"k1", "r1", "s1"}));
  EXPECT_EQ(e.openBoxes(client), std::vector<std::string>{"b1"});

  // The link drops and the client takes its session back on a new one:
  // every record hears both steps, and input and requests flow again.
  Seen* all[] = {&keys, &scans, &serials, &messages};
  ASSERT_TRUE(e.resetClient(0));
  const std::vector<int32_t> back = {TDC_EVENT_RECONNECTING, TDC_EVENT_RECONNECTED};
  for (Seen* seen : all) {
    ASSERT_TRUE(Eventually([&] { return seen->connectionEvents().size() >= 2; }, 10s));
    EXPECT_EQ(seen->connectionEvents(), back);
  }
  EXPECT_EQ(e.accepted(), 2);
  EXPECT_EQ(k->mode, TDC_MODE_SERVICE);
  EXPECT_EQ(b->mode, TDC_MODE_SERVICE);
  ASSERT_NE(e.sendDeviceEvent(0, "k1", "onkeypress", "<keycode>50</keycode><ascii>2</ascii>"), 0);
  ASSERT_NE(e.sendDeviceEvent(0, "s1", "ondata", "<input>x</input>"), 0);
  ASSERT_NE(e.sendDeviceEvent(0, "r1", "oncommandreply", "<data>06</data>"), 0);
  ASSERT_TRUE(Eventually([&] { return keys.size() + scans.size() + serials.size() >= 3; }, 10s));
  EXPECT_EQ(keys.all(), std::vector<std::string>{"key 50 [2]"});
  EXPECT_EQ(scans.all(), std::vector<std::string>{"scan [x]"});
  EXPECT_EQ(serials.all(), std::vector<std::string>{"serial 06"});
  int32_t history = 0;
  ASSERT_EQ(TdcGetCommHistory(nullptr, b, &history, &OnHistory, &messages), TDC_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return messages.size() >= 1; }, 10s));
  EXPECT_EQ(messages.all(), std::vector<std::string>{"history 0 " + std::to_string(history)})
      << "the box was taken back with the session";
  keys.clear();

  // The link drops again and no new one is ever greeted: once the reconnect
  // limit passes the connection is given up and every record hears of it.
  TdevSetReconnectLimit(1500);
  e.setAcceptMode(Transport::Plain, AcceptMode::Silent);
  ASSERT_TRUE(e.resetClient(0));
  const std::vector<int32_t> dropped = {TDC_EVENT_RECONNECTING, TDC_EVENT_RECONNECTED,
                                        TDC_EVENT_RECONNECTING, TDC_EVENT_DISCONNECTED};
  for (Seen* seen : all) {
    ASSERT_TRUE(Eventually([&] { return seen->connectionEvents().size() >= 4; }, 10s));
    EXPECT_EQ(seen->connectionEvents(), dropped);
  }
  EXPECT_EQ(k->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(s->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(r->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(b->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(k->device, nullptr);
  EXPECT_EQ(b->commBox, nullptr);
  ASSERT_TRUE(Eventually([&] { return TdevFindConnection(host()) == nullptr; }, 10s));

  // The records are usable again once the host answers.
  const uint8_t one = 1;
  EXPECT_EQ(TdcSendSerialCommand(nullptr, r, &one, 1), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcGetCommHistory(nullptr, b, &history, &OnHistory, &messages), TDC_ERR_ILLEGAL);
  e.setAcceptMode(Transport::Plain, AcceptMode::Normal);
  ASSERT_EQ(TdcConnectKeyboard(nullptr, k, target("k1").c_str(), 10000), TDC_SUCCESS);
  ASSERT_NE(e.sendDeviceEvent(0, "k1", "onkeypress", "<keycode>49</keycode><ascii>1</ascii>"), 0);
  ASSERT_TRUE(Eventually([&] { return keys.size() >= 1; }, 10s));
  EXPECT_EQ(keys.all(), std::vector<std::string>{"key 49 [1]"});
  ASSERT_EQ(TdcDisconnectKeyboard(nullptr, k), TDC_SUCCESS);
}

TEST_F(DeviceLayerPeripherals, RefusedConnectsGiveTheServicesReasonAndLeaveNothingOpen) {
  auto& e = start(1354);
  Seen seen;
  TdcKeyboard_t* k = keyboard(&seen);
  TdcBarcodeScanner_t* s = scanner(&seen);
  TdcSimpleSerial_t* r = serial(&seen);
  const std::string noId = "TCP:" + host_;
  const std::string bluetooth = "BT:00:01:90:AA:BB:CC[k1]";
  struct Case {
    const char* what;
    std::function<int()> connect;
    int result;
    bool reachedService;
  } cases[] = {
      {"no such device", [&] { return TdcConnectKeyboard(nullptr, k, target("zz").c_str(), -2); },
       TDC_ERR_NOT_FOUND, true},
      {"a keyboard that is a scanner",
       [&] { return TdcConnectKeyboard(nullptr, k, target("s1").c_str(), -2); },
       TDC_ERR_TYPE_INVALID, true},
      {"a scanner that is a serial device",
       [&] { return TdcConnectBarcodeScanner(nullptr, s, target("r1").c_str(), -2); },
       TDC_ERR_TYPE_INVALID, true},
      {"a serial device that is a keyboard",
       [&] { return TdcConnectSimpleSerial(nullptr, r, target("k1").c_str(), -2); },
       TDC_ERR_TYPE_INVALID, true},
      {"no device id", [&] { return TdcConnectKeyboard(nullptr, k, noId.c_str(), -2); },
       TDC_ERR_TYPE_INVALID, false},
      {"not a network port", [&] { return TdcConnectKeyboard(nullptr, k, bluetooth.c_str(), -2); },
       TDC_ERR_TYPE_INVALID, false},
  };
  int accepted = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.connect(), c.result);
    if (c.reachedService) ++accepted;
    EXPECT_EQ(e.accepted(), accepted);
    // The host connection made for the connect is let go with it.
    EXPECT_TRUE(e.waitForConnected(0, 10s));
    EXPECT_EQ(TdevFindConnection(host()), nullptr);
  }
  EXPECT_EQ(k->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(k->device, nullptr);
  EXPECT_EQ(s->device, nullptr);
  EXPECT_EQ(r->device, nullptr);

  // With a keyboard open, a refused connect on the same host leaves its
  // connection to the keyboard; a second record on the same device or box
  // is refused by the client itself.
  ASSERT_EQ(TdcConnectKeyboard(nullptr, k, target("k1").c_str(), -2), TDC_SUCCESS);
  TdcKeyboard_t* second = keyboard(&seen);
  EXPECT_EQ(TdcConnectKeyboard(nullptr, second, target("k1").c_str(), -2), TDC_ERR_IN_USE);
  EXPECT_EQ(TdcConnectBarcodeScanner(nullptr, s, target("k1").c_str(), -2), TDC_ERR_IN_USE)
      << "open on this connection whatever it is asked for as";
  TdcCommBox_t* b = box(&seen);
  TdcCommBox_t* again = box(&seen);
  ASSERT_EQ(TdcConnectCommBox(nullptr, b, target("b1").c_str(), "me", -2), TDC_SUCCESS);
  EXPECT_EQ(TdcConnectCommBox(nullptr, again, target("b1").c_str(), "me2", -2), 20)
      << "already opened";
  EXPECT_EQ(again->commBox, nullptr);
  EXPECT_EQ(e.accepted(), accepted + 1);
  const std::string client = e.clientId(e.newestClient());
  EXPECT_EQ(e.openDevices(client), std::vector<std::string>{"k1"});
  EXPECT_EQ(e.openBoxes(client), std::vector<std::string>{"b1"});
  ASSERT_NE(e.sendDeviceEvent(0, "k1", "onkeypress", "<keycode>51</keycode><ascii>3</ascii>"), 0);
  ASSERT_TRUE(Eventually([&] { return seen.size() >= 1; }, 10s));
  EXPECT_EQ(seen.all(), std::vector<std::string>{"key 51 [3]"});
  EXPECT_TRUE(seen.connectionEvents().empty()) << "no record heard of a disconnect";
  ASSERT_EQ(TdcDisconnectCommBox(nullptr, b), TDC_SUCCESS);
  ASSERT_EQ(TdcDisconnectKeyboard(nullptr, k), TDC_SUCCESS);
  EXPECT_TRUE(e.waitForConnected(0, 10s));
}

TEST_F(DeviceLayerPeripherals, ARefusedCloseLeavesTheRecordConnectedAndWorking) {
  auto& e = start(1355);
  Seen keys;
  Seen messages;
  TdcKeyboard_t* k = keyboard(&keys);
  TdcCommBox_t* b = box(&messages);
  ASSERT_EQ(TdcConnectKeyboard(nullptr, k, target("k1").c_str(), -2), TDC_SUCCESS);
  ASSERT_EQ(TdcConnectCommBox(nullptr, b, target("b1").c_str(), "me", -2), TDC_SUCCESS);

  ReplyOverride closeError;
  closeError.code = "DEVICE_CLOSE_ERROR";
  e.overrideNextReply("close_device", closeError);
  EXPECT_EQ(TdcDisconnectKeyboard(nullptr, k), TDC_ERR_DISCONNECT);
  ReplyOverride boxError;
  boxError.code = "SYSTEM_ERROR";
  e.overrideNextReply("close_commbox", boxError);
  EXPECT_EQ(TdcDisconnectCommBox(nullptr, b), 17) << "the system-error result";

  // Both records still hold their handles, and what the service sends for
  // them still reaches them.
  EXPECT_EQ(k->mode, TDC_MODE_SERVICE);
  EXPECT_NE(k->device, nullptr);
  EXPECT_EQ(b->mode, TDC_MODE_SERVICE);
  EXPECT_NE(b->commBox, nullptr);
  EXPECT_TRUE(keys.connectionEvents().empty());
  EXPECT_TRUE(messages.connectionEvents().empty());
  ASSERT_NE(e.sendDeviceEvent(0, "k1", "onkeypress", "<keycode>52</keycode><ascii>4</ascii>"), 0);
  int32_t history = 0;
  ASSERT_EQ(TdcGetCommHistory(nullptr, b, &history, &OnHistory, &messages), TDC_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return keys.size() >= 1 && messages.size() >= 1; }, 10s));
  EXPECT_EQ(keys.all(), std::vector<std::string>{"key 52 [4]"});
  EXPECT_EQ(messages.all(), std::vector<std::string>{"history 0 " + std::to_string(history)});

  // A second try closes them.
  ASSERT_EQ(TdcDisconnectKeyboard(nullptr, k), TDC_SUCCESS);
  ASSERT_EQ(TdcDisconnectCommBox(nullptr, b), TDC_SUCCESS);
  EXPECT_EQ(keys.connectionEvents(), std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  EXPECT_EQ(messages.connectionEvents(), std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  EXPECT_TRUE(e.waitForConnected(0, 10s));
}

TEST_F(DeviceLayerPeripherals, ATcpsTargetRunsOverTlsAndItsHostIsSharedWithTcpTargets) {
  auto& e = start(1356);
  Seen scans;
  Seen serials;
  TdcBarcodeScanner_t* s = scanner(&scans);
  TdcSimpleSerial_t* r = serial(&serials);
  const std::string secure = "TCPS:" + host_ + "[s1]";
  ASSERT_EQ(TdcConnectBarcodeScanner(nullptr, s, secure.c_str(), -2), TDC_SUCCESS);
  EXPECT_EQ(s->portType, TDC_PORT_TCPS);
  ASSERT_EQ(TdcConnectSimpleSerial(nullptr, r, target("r1").c_str(), -2), TDC_SUCCESS);
  EXPECT_EQ(r->portType, TDC_PORT_TCP);
  EXPECT_EQ(r->connection, s->connection) << "one connection per host, whatever the port";
  EXPECT_EQ(e.accepted(), 1);
  const auto opens = e.received("open_device");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[0].transport, Transport::Tls);
  EXPECT_EQ(opens[1].transport, Transport::Tls);

  ASSERT_NE(e.sendDeviceEvent(0, "s1", "ondata", "<input>secure</input>"), 0);
  ASSERT_TRUE(Eventually([&] { return scans.size() >= 1; }, 10s));
  EXPECT_EQ(scans.all(), std::vector<std::string>{"scan [secure]"});
  const uint8_t command[] = {0x10, 0x04};
  ASSERT_EQ(TdcSendSerialCommand(nullptr, r, command, 2), TDC_SUCCESS);
  ASSERT_TRUE(e.waitForReceived("sendcommand", 1, 10s));
  EXPECT_EQ(e.received("sendcommand")[0].transport, Transport::Tls);

  ASSERT_EQ(TdcDisconnectSimpleSerial(nullptr, r), TDC_SUCCESS);
  ASSERT_EQ(TdcDisconnectBarcodeScanner(nullptr, s), TDC_SUCCESS);
  EXPECT_TRUE(e.waitForConnected(0, 10s));
}

TEST_F(DeviceLayerPeripherals, AHostThatCannotBeReachedFailsTheConnectAndLeavesTheRecordClosed) {
  auto& e = start(1357);
  Seen seen;
  TdcKeyboard_t* k = keyboard(&seen);
  TdcCommBox_t* b = box(&seen);
  ASSERT_TRUE(e.setRefusing(Transport::Plain, true));
  EXPECT_EQ(TdcConnectKeyboard(nullptr, k, target("k1").c_str(), 1000), TDC_ERR_FAILURE);
  EXPECT_EQ(k->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(k->connection, nullptr);
  // A TLS peer that never completes its handshake: the connect times out.
  e.setAcceptMode(Transport::Tls, AcceptMode::Silent);
  const std::string secure = "TCPS:" + host_ + "[b1]";
  EXPECT_EQ(TdcConnectCommBox(nullptr, b, secure.c_str(), "me", 1000), TDC_ERR_TIMEOUT);
  EXPECT_EQ(b->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(b->commBox, nullptr);
  EXPECT_EQ(TdevFindConnection(host()), nullptr);
  EXPECT_TRUE(seen.connectionEvents().empty());

  // Once the host answers, the same records connect.
  ASSERT_TRUE(e.setRefusing(Transport::Plain, false));
  ASSERT_EQ(TdcConnectKeyboard(nullptr, k, target("k1").c_str(), -2), TDC_SUCCESS);
  ASSERT_EQ(TdcConnectCommBox(nullptr, b, target("b1").c_str(), "me", -2), TDC_SUCCESS);
  ASSERT_EQ(TdcDisconnectCommBox(nullptr, b), TDC_SUCCESS);
  ASSERT_EQ(TdcDisconnectKeyboard(nullptr, k), TDC_SUCCESS);
}

}  // namespace
}  // namespace host_test
