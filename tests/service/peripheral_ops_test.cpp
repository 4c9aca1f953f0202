// Keyboards, scanners, serial devices and message boxes over the device
// service: the notifiers the setters install, the keyboard's prefix set and
// its message, serial commands as hex text, the message-box history and send
// requests with their sequence numbers, and what each refuses.

#include <cstdio>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/service_notifiers.h"
#include "host_test_support.h"

namespace host_test {
namespace {

using service_emulator::AcceptMode;
using service_emulator::Device;
using service_emulator::ReplyOverride;
using service_emulator::Transport;

// Addresses 1150-1189 belong to these tests.

// What the test's own callbacks saw, one line per call, in order.
Records<std::string>& Events() {
  static Records<std::string> events;
  return events;
}

std::string Hex(const uint8_t* bytes, int32_t count) {
  std::string out;
  char digits[4];
  for (int32_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    out += digits;
  }
  return out;
}

void RecordKey(void*, const char* host, const char* deviceId, int32_t keyCode, const char* ascii) {
  Events().add(std::string("key ") + host + " " + deviceId + " " + std::to_string(keyCode) + " [" +
               ascii + "]");
}
void RecordString(void*, const char* host, const char* deviceId, const char* text, int32_t prefix) {
  Events().add(std::string("string ") + host + " " + deviceId + " [" + text + "] " +
               std::to_string(prefix));
}
void RecordScan(void*, const char* host, const char* deviceId, const char* text) {
  Events().add(std::string("scan ") + host + " " + deviceId + " [" + text + "]");
}
void RecordSerial(void*, const char* host, const char* deviceId, const uint8_t* bytes,
                  int32_t count) {
  Events().add(std::string("serial ") + host + " " + deviceId + " " + Hex(bytes, count));
}
void RecordHistory(TdevCommBoxEntry_t*, const char* host, int32_t result,
                   const TdevCommHistoryItem_t* items, int32_t count, int32_t sequence) {
  std::string line = std::string("history ") + host + " " + std::to_string(result) + " " +
                     std::to_string(sequence);
  for (int32_t i = 0; i < count; ++i) {
    line += std::string(" {") + items[i].senderId + "|" + items[i].receiverId + "|" +
            items[i].message + "}";
  }
  Events().add(line);
}
void RecordSendResult(TdevCommBoxEntry_t*, const char* host, int32_t result, int32_t count,
                      int32_t sequence) {
  Events().add(std::string("sent ") + host + " " + std::to_string(result) + " " +
               std::to_string(count) + " " + std::to_string(sequence));
}

// A keyboard "k1", a scanner "s1", a serial device "r1" and a message box
// "b1" (member "me") open on one connection.
class PeripheralOps : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    Events().clear();
  }

  bool openAll(int address) {
    auto& e = service(address);
    e.setDevice("k1", Device{"type_keyboard", 0, 0, ""});
    e.setDevice("s1", Device{"type_scanner", 0, 0, ""});
    e.setDevice("r1", Device{"type_simple_serial", 0, 0, ""});
    c_ = connect();
    if (c_ == nullptr) return false;
    void* handle = nullptr;
    if (TdevOpenDeviceSync(nullptr, c_, "k1", TDEV_DEVICE_KEYBOARD, &handle) != 0) return false;
    keyboard_ = static_cast<TdevKeyboardHandle_t*>(handle);
    handle = nullptr;
    if (TdevOpenDeviceSync(nullptr, c_, "s1", TDEV_DEVICE_SCANNER, &handle) != 0) return false;
    scanner_ = static_cast<TdevDeviceHandle_t*>(handle);
    handle = nullptr;
    if (TdevOpenDeviceSync(nullptr, c_, "r1", TDEV_DEVICE_SERIAL, &handle) != 0) return false;
    serial_ = static_cast<TdevDeviceHandle_t*>(handle);
    if (TdevOpenCommBoxSync(nullptr, c_, "b1", "me", &box_) != 0) return false;
    e.clearLog();
    return true;
  }

  // The number the next request on the connection will carry.
  int32_t nextSequence() { return TdevNextSequence(c_) + 1; }

  // Asserts that a setter left the layer's notifier in the slot, then puts
  // the test's recorder there instead.
  template <class Callback>
  static void swapIn(PlatformMutex_t& lock, Callback* slot, Callback expected, Callback recorder) {
    PlatformLockGuard guard(lock);
    EXPECT_EQ(*slot, expected);
    *slot = recorder;
  }

  // The keyboard's prefix set as the client reads it back.
  std::vector<uint8_t> prefix() {
    uint8_t read[100];
    int32_t length = 0;
    const int got = TdevKeyboardGetPrefix(keyboard_, read, sizeof read, &length);
    EXPECT_EQ(got, 0);
    return got == 0 ? std::vector<uint8_t>(read, read + length) : std::vector<uint8_t>{};
  }

  // A request after the others goes out and is the only one the service
  // received: nothing of theirs went out before it.
  void expectOnlyTheNextRequest() {
    const uint8_t command[] = {0x1B, 0x40};
    ASSERT_EQ(TdevSerialSendCommand(nullptr, serial_, command, 2), 0);
    ASSERT_TRUE(e().waitForReceived("sendcommand", 1, 10s));
    EXPECT_EQ(e().received().size(), 1u);
  }

  service_emulator::ServiceEmulator& e() { return *emulator_; }

  TdevConnection_t* c_ = nullptr;
  TdevKeyboardHandle_t* keyboard_ = nullptr;
  TdevDeviceHandle_t* scanner_ = nullptr;
  TdevDeviceHandle_t* serial_ = nullptr;
  TdevCommBoxEntry_t* box_ = nullptr;
};

std::string DeviceData(int32_t sequence, const std::string& deviceId, const std::string& rest) {
  return withNul("<device_data><sequence>" + std::to_string(sequence) + "</sequence><device_id>" +
                 deviceId + "</device_id><data>" + rest + "</data></device_data>");
}

std::string CommBoxData(int32_t sequence, const std::string& rest) {
  return withNul("<commbox_data><sequence>" + std::to_string(sequence) + "</sequence><data>" +
                 rest + "</data></commbox_data>");
}

TEST_F(PeripheralOps, SettersInstallTheLayerNotifiersOnlyInTheirOwnKind) {
  ASSERT_TRUE(openAll(1150));
  EXPECT_EQ(TdevKeyboardSetKeyPressCallback(keyboard_), 0);
  EXPECT_EQ(TdevKeyboardSetStringCallback(keyboard_), 0);
  EXPECT_EQ(TdevScannerSetDataCallback(scanner_), 0);
  EXPECT_EQ(TdevSerialSetDataCallback(serial_), 0);
  EXPECT_EQ(TdevCommBoxSetReceiveCallback(box_), 0);
  EXPECT_EQ(keyboard_->keyPress, &TdcOnKeyPress);
  EXPECT_EQ(keyboard_->string, &TdcOnReadString);
  EXPECT_EQ(scanner_->dataText, &TdcOnScanData);
  EXPECT_EQ(scanner_->dataBytes, nullptr);
  EXPECT_EQ(serial_->dataBytes, &TdcOnSerialData);
  EXPECT_EQ(serial_->dataText, nullptr);
  EXPECT_EQ(box_->receive, &TdcOnCommBoxReceive);

  // A record of another kind has other fields: it counts as missing, and
  // nothing is written into it.
  auto* keyboardAsDevice = reinterpret_cast<TdevDeviceHandle_t*>(keyboard_);
  auto* scannerAsKeyboard = reinterpret_cast<TdevKeyboardHandle_t*>(scanner_);
  int stale = 0;
  struct Case {
    const char* what;
    std::function<int()> set;
  } cases[] = {
      {"key press, null", [] { return TdevKeyboardSetKeyPressCallback(nullptr); }},
      {"string, null", [] { return TdevKeyboardSetStringCallback(nullptr); }},
      {"scanner, null", [] { return TdevScannerSetDataCallback(nullptr); }},
      {"serial, null", [] { return TdevSerialSetDataCallback(nullptr); }},
      {"box, null", [] { return TdevCommBoxSetReceiveCallback(nullptr); }},
      {"key press on a scanner",
       [&] { return TdevKeyboardSetKeyPressCallback(scannerAsKeyboard); }},
      {"string on a scanner", [&] { return TdevKeyboardSetStringCallback(scannerAsKeyboard); }},
      {"scanner on a serial device", [&] { return TdevScannerSetDataCallback(serial_); }},
      {"serial on a scanner", [&] { return TdevSerialSetDataCallback(scanner_); }},
      {"scanner on a keyboard", [&] { return TdevScannerSetDataCallback(keyboardAsDevice); }},
      {"box that is not one",
       [&] {
         return TdevCommBoxSetReceiveCallback(reinterpret_cast<TdevCommBoxEntry_t*>(&stale));
       }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(k.set(), 1);
  }
  EXPECT_EQ(scanner_->dataBytes, nullptr);
  EXPECT_EQ(serial_->dataText, nullptr);

  // Closed records are missing too.
  ASSERT_EQ(TdevCloseDeviceSync(nullptr, c_, keyboard_), 0);
  ASSERT_EQ(TdevCloseCommBoxSync(nullptr, c_, box_), 0);
  EXPECT_EQ(TdevKeyboardSetKeyPressCallback(keyboard_), 1);
  EXPECT_EQ(TdevKeyboardSetStringCallback(keyboard_), 1);
  EXPECT_EQ(TdevCommBoxSetReceiveCallback(box_), 1);
}

TEST_F(PeripheralOps, InputAndRepliesReachTheSlotsTheSettersFilled) {
  ASSERT_TRUE(openAll(1151));
  ASSERT_EQ(TdevKeyboardSetKeyPressCallback(keyboard_), 0);
  ASSERT_EQ(TdevKeyboardSetStringCallback(keyboard_), 0);
  ASSERT_EQ(TdevScannerSetDataCallback(scanner_), 0);
  ASSERT_EQ(TdevSerialSetDataCallback(serial_), 0);
  swapIn<TdevKeyPressCallback>(keyboard_->callbackLock, &keyboard_->keyPress, &TdcOnKeyPress,
                               &RecordKey);
  swapIn<TdevStringCallback>(keyboard_->callbackLock, &keyboard_->string, &TdcOnReadString,
                             &RecordString);
  swapIn<TdevDataTextCallback>(scanner_->callbackLock, &scanner_->dataText, &TdcOnScanData,
                               &RecordScan);
  swapIn<TdevDataBytesCallback>(serial_->callbackLock, &serial_->dataBytes, &TdcOnSerialData,
                                &RecordSerial);
  struct Event {
    const char* deviceId;
    const char* type;
    const char* fields;
    const char* expected;
  } events[] = {
      {"k1", "onkeypress", "<keycode>65</keycode><ascii>A</ascii>", "key %s k1 65 [A]"},
      {"k1", "onstring", "<input>12&amp;amp;34</input><prefix>7</prefix>",
       "string %s k1 [12&34] 7"},
      {"s1", "ondata", "<input>4901234567894</input>", "scan %s s1 [4901234567894]"},
      {"r1", "ondata", "<input>ok</input>", "serial %s r1 6F6B"},
      {"r1", "oncommandreply", "<data>0a1B</data>", "serial %s r1 0A1B"},
      // Input for a device of another kind reaches nobody.
      {"s1", "onkeypress", "<keycode>66</keycode><ascii>B</ascii>", nullptr},
  };
  std::vector<std::string> expected;
  for (const auto& k : events) {
    ASSERT_NE(e().sendDeviceEvent(0, k.deviceId, k.type, k.fields), 0) << k.type;
    if (k.expected == nullptr) continue;
    char line[128];
    std::snprintf(line, sizeof line, k.expected, host());
    expected.push_back(line);
  }
  // A last event shows everything before it was read.
  ASSERT_NE(e().sendDeviceEvent(0, "k1", "onkeypress", "<keycode>48</keycode><ascii>0</ascii>"), 0);
  expected.push_back(std::string("key ") + host() + " k1 48 [0]");
  ASSERT_TRUE(Eventually([&] { return Events().size() == expected.size(); }, 10s));
  EXPECT_EQ(Events().all(), expected);
}

TEST_F(PeripheralOps, PrefixSetKeepsTheFirstOfEachNonzeroCodeAndSendsThemAllAsGiven) {
  ASSERT_TRUE(openAll(1152));
  std::vector<uint8_t> many;  // 1..255 twice: far beyond the set's 99 codes
  for (int round = 0; round < 2; ++round)
    for (int code = 1; code < 256; ++code) many.push_back(static_cast<uint8_t>(code));
  std::vector<uint8_t> firstOfMany(many.begin(), many.begin() + 99);
  struct Case {
    const char* what;
    std::vector<uint8_t> codes;
    bool nullCodes;
    std::vector<uint8_t> stored;
  } cases[] = {
      {"repeats keep the first", {10, 10, 13}, false, {10, 13}},
      {"the order first given", {13, 10, 13, 10}, false, {13, 10}},
      {"no codes clear the set", {}, false, {}},
      {"a single code", {65}, false, {65}},
      {"0 is sent but not stored", {0, 7, 0}, false, {7}},
      {"a count without codes clears the set", {1, 2, 3}, true, {}},
      {"at most 99 codes are stored", many, false, firstOfMany},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    // Something in the set beforehand: each call replaces it.
    const uint8_t before[] = {'x', 'y'};
    ASSERT_EQ(TdevKeyboardAddPrefix(keyboard_, before, 2), 0);
    e().clearLog();
    const int32_t sequence = nextSequence();
    const int32_t count = static_cast<int32_t>(k.codes.size());
    EXPECT_EQ(
        TdevKeyboardSetPrefix(nullptr, keyboard_, k.nullCodes ? nullptr : k.codes.data(), count),
        0);

    EXPECT_EQ(prefix(), k.stored);

    std::string keyCodes;
    const size_t sent = k.nullCodes ? 0 : k.codes.size();
    for (size_t i = 0; i < sent; ++i) {
      const std::string code = std::to_string(k.codes[i]);
      keyCodes += i == 0 && sent >= 2 ? "<keycodes array=\"true\">" + code + "</keycodes>"
                                      : "<keycodes>" + code + "</keycodes>";
    }
    ASSERT_TRUE(e().waitForReceived("setprefix", 1, 10s));
    EXPECT_EQ(
        receivedRaw(e(), "setprefix"),
        std::vector<std::string>{DeviceData(sequence, "k1", "<type>setprefix</type>" + keyCodes)});
  }
}

TEST_F(PeripheralOps, PrefixReadBackNeedsRoomForTheWholeSet) {
  ASSERT_TRUE(openAll(1153));
  const uint8_t codes[] = {1, 2, 3};
  ASSERT_EQ(TdevKeyboardSetPrefix(nullptr, keyboard_, codes, 3), 0);
  uint8_t read[3] = {9, 9, 9};
  int32_t length = -1;
  EXPECT_EQ(TdevKeyboardGetPrefix(keyboard_, read, 2, &length), 1);
  EXPECT_EQ(length, 3) << "the room it needs";
  EXPECT_EQ(read[0], 9) << "nothing cut is handed out";
  EXPECT_EQ(TdevKeyboardGetPrefix(keyboard_, read, 3, &length), 0);
  EXPECT_EQ(std::vector<uint8_t>(read, read + length), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(TdevKeyboardGetPrefix(keyboard_, nullptr, 3, &length), 1);
  EXPECT_EQ(TdevKeyboardGetPrefix(keyboard_, read, 3, nullptr), 1);
  EXPECT_EQ(TdevKeyboardGetPrefix(keyboard_, read, -1, &length), 1);
  EXPECT_EQ(TdevKeyboardGetPrefix(nullptr, read, 3, &length), 1);
  EXPECT_EQ(
      TdevKeyboardGetPrefix(reinterpret_cast<TdevKeyboardHandle_t*>(serial_), read, 3, &length), 1);
}

TEST_F(PeripheralOps, SerialCommandGoesOutAsUpperCaseHex) {
  ASSERT_TRUE(openAll(1154));
  struct Case {
    std::vector<uint8_t> bytes;
    const char* hex;
  } cases[] = {
      {{0x1B, 0x40}, "1B40"},
      {{0x00, 0xFF, 0xAB, 0x0A, 0x7F}, "00FFAB0A7F"},
      {{'<'}, "3C"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.hex);
    e().clearLog();
    const int32_t sequence = nextSequence();
    EXPECT_EQ(TdevSerialSendCommand(nullptr, serial_, k.bytes.data(),
                                    static_cast<int32_t>(k.bytes.size())),
              0);
    ASSERT_TRUE(e().waitForReceived("sendcommand", 1, 10s));
    EXPECT_EQ(receivedRaw(e(), "sendcommand"),
              std::vector<std::string>{DeviceData(
                  sequence, "r1",
                  std::string("<type>sendcommand</type><command>") + k.hex + "</command>")});
  }
}

TEST_F(PeripheralOps, BoxRequestsCarryConsecutiveSequencesAndTheirRepliesReachTheEntry) {
  ASSERT_TRUE(openAll(1155));
  // The service reads nothing until the recorders are in place: each request
  // installs the layer's notifier again, and its reply must not beat the swap.
  e().setReading(false);
  int32_t first = 0;
  int32_t second = 0;
  int32_t toAll = 0;
  int32_t toOne = 0;
  const int32_t expectedFirst = nextSequence();
  ASSERT_EQ(TdevSendCommBoxMessage(nullptr, box_, nullptr, "a < b", &toAll), 0);
  ASSERT_EQ(TdevSendCommBoxMessage(nullptr, box_, "you", "hi", &toOne), 0);
  ASSERT_EQ(TdevGetCommHistory(nullptr, box_, &first), 0);
  ASSERT_EQ(TdevGetCommHistory(nullptr, box_, &second), 0);
  EXPECT_EQ(toAll, expectedFirst);
  EXPECT_EQ(toOne, expectedFirst + 1);
  EXPECT_EQ(first, expectedFirst + 2);
  EXPECT_EQ(second, first + 1);
  swapIn<TdevCommHistoryCallback>(box_->callbackLock, &box_->history, &TdcOnCommBoxHistory,
                                  &RecordHistory);
  swapIn<TdevCommSendCallback>(box_->callbackLock, &box_->sendResult, &TdcOnCommBoxSendResult,
                               &RecordSendResult);
  e().setReading(true);

  ASSERT_TRUE(Eventually([&] { return Events().size() == 4; }, 10s));
  EXPECT_EQ(
      receivedRaw(e(), "send"),
      (std::vector<std::string>{
          CommBoxData(toAll, "<type>send</type><box_id>b1</box_id><message>a &lt; b</message>"),
          CommBoxData(toOne,
                      "<type>send</type><box_id>b1</box_id><member_id>you</member_id>"
                      "<message>hi</message>"),
      }));
  EXPECT_EQ(receivedRaw(e(), "getcommhistory"),
            (std::vector<std::string>{
                CommBoxData(first, "<type>getcommhistory</type><box_id>b1</box_id>"),
                CommBoxData(second, "<type>getcommhistory</type><box_id>b1</box_id>"),
            }));
  const std::string h = host();
  const std::string items = " {me||a < b} {me|you|hi}";
  EXPECT_EQ(Events().all(), (std::vector<std::string>{
                                "sent " + h + " 0 0 " + std::to_string(toAll),
                                "sent " + h + " 0 0 " + std::to_string(toOne),
                                "history " + h + " 0 " + std::to_string(first) + items,
                                "history " + h + " 0 " + std::to_string(second) + items,
                            }));
}

TEST_F(PeripheralOps, MissingArgumentsAreRefusedBeforeAnythingChanges) {
  ASSERT_TRUE(openAll(1156));
  const uint8_t kept[] = {5, 6};
  ASSERT_EQ(TdevKeyboardSetPrefix(nullptr, keyboard_, kept, 2), 0);
  ASSERT_TRUE(e().waitForReceived("setprefix", 1, 10s));
  e().clearLog();
  const uint8_t bytes[] = {1};
  int32_t sequence = -7;
  struct Case {
    const char* what;
    std::function<int()> call;
  } cases[] = {
      {"prefix, null handle", [&] { return TdevKeyboardSetPrefix(nullptr, nullptr, bytes, 1); }},
      {"prefix, negative count",
       [&] { return TdevKeyboardSetPrefix(nullptr, keyboard_, bytes, -1); }},
      {"prefix, a scanner",
       [&] {
         return TdevKeyboardSetPrefix(nullptr, reinterpret_cast<TdevKeyboardHandle_t*>(scanner_),
                                      bytes, 1);
       }},
      {"command, null handle", [&] { return TdevSerialSendCommand(nullptr, nullptr, bytes, 1); }},
      {"command, null bytes", [&] { return TdevSerialSendCommand(nullptr, serial_, nullptr, 1); }},
      {"command, no bytes", [&] { return TdevSerialSendCommand(nullptr, serial_, bytes, 0); }},
      {"command, negative count",
       [&] { return TdevSerialSendCommand(nullptr, serial_, bytes, -2); }},
      {"command, a scanner", [&] { return TdevSerialSendCommand(nullptr, scanner_, bytes, 1); }},
      {"history, null entry", [&] { return TdevGetCommHistory(nullptr, nullptr, &sequence); }},
      {"history, null out", [&] { return TdevGetCommHistory(nullptr, box_, nullptr); }},
      {"send, null entry",
       [&] { return TdevSendCommBoxMessage(nullptr, nullptr, "m", "x", &sequence); }},
      {"send, null message",
       [&] { return TdevSendCommBoxMessage(nullptr, box_, "m", nullptr, &sequence); }},
      {"send, null out", [&] { return TdevSendCommBoxMessage(nullptr, box_, "m", "x", nullptr); }},
  };
  const int32_t before = nextSequence();
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_EQ(k.call(), 1);
  }
  EXPECT_EQ(sequence, -7);
  EXPECT_EQ(nextSequence(), before + 1) << "no sequence number was taken";
  EXPECT_EQ(box_->history, nullptr);
  EXPECT_EQ(box_->sendResult, nullptr);
  EXPECT_EQ(prefix(), (std::vector<uint8_t>{5, 6}));
  expectOnlyTheNextRequest();
}

TEST_F(PeripheralOps, BusySendLockAnswersTwoAndSendsNothing) {
  ASSERT_TRUE(openAll(1157));
  const uint8_t codes[] = {10, 13};
  const uint8_t command[] = {0x1B, 0x40};
  int32_t historySequence = 0;
  int32_t sendSequence = 0;
  const int32_t next = nextSequence();
  {
    SendLockHolder busy(c_);
    EXPECT_EQ(TdevKeyboardSetPrefix(nullptr, keyboard_, codes, 2), 2);
    EXPECT_EQ(TdevSerialSendCommand(nullptr, serial_, command, 2), 2);
    EXPECT_EQ(TdevGetCommHistory(nullptr, box_, &historySequence), 2);
    EXPECT_EQ(TdevSendCommBoxMessage(nullptr, box_, nullptr, "x", &sendSequence), 2);
    // An open that cannot be sent leaves no half-opened box behind.
    TdevCommBoxEntry_t* other = nullptr;
    EXPECT_EQ(TdevOpenCommBoxSync(nullptr, c_, "b2", "me", &other), 2);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(TdevCommBoxListFindById(c_, "b2"), nullptr);
    EXPECT_EQ(TdevCountBusyRecords(c_), 4) << "three devices and b1";
  }
  // The set stays replaced: it is what the app asked for last.
  EXPECT_EQ(prefix(), (std::vector<uint8_t>{10, 13}));
  // The numbers were handed out before the send was tried, one per request
  // on the host, whatever its device or box.
  EXPECT_EQ(historySequence, next + 2);
  EXPECT_EQ(sendSequence, next + 3);

  // The link is untouched.
  expectOnlyTheNextRequest();
}

TEST_F(PeripheralOps, RequestsWithoutAUsableLinkFailWithoutSending) {
  ASSERT_TRUE(openAll(1158));
  const uint8_t bytes[] = {1, 2};
  int32_t sequence = -7;
  struct Op {
    const char* what;
    std::function<int()> call;
  } ops[] = {
      {"prefix", [&] { return TdevKeyboardSetPrefix(nullptr, keyboard_, bytes, 2); }},
      {"command", [&] { return TdevSerialSendCommand(nullptr, serial_, bytes, 2); }},
      {"history", [&] { return TdevGetCommHistory(nullptr, box_, &sequence); }},
      {"send", [&] { return TdevSendCommBoxMessage(nullptr, box_, "you", "x", &sequence); }},
  };

  // The link drops and the new one is never greeted: a reconnect under way.
  e().setAcceptMode(Transport::Plain, AcceptMode::Silent);
  ASSERT_TRUE(e().resetClient(0));
  ASSERT_TRUE(Eventually([&] { return SlotRecorder::instance().count(c_, 1) == 1; }, 10s));
  ASSERT_EQ(TdevGetCondition(c_), TDEV_CONDITION_RECONNECTING);
  ASSERT_TRUE(e().waitForAccepted(2, 10s));
  for (const auto& k : ops) {
    SCOPED_TRACE(std::string("reconnecting: ") + k.what);
    EXPECT_EQ(k.call(), 4);
  }
  EXPECT_EQ(sequence, -7);
  // Boxes neither open nor close on it, and nothing is created.
  TdevCommBoxEntry_t* other = nullptr;
  EXPECT_EQ(TdevOpenCommBoxSync(nullptr, c_, "b2", "me", &other), 4);
  EXPECT_EQ(TdevCommBoxListFindById(c_, "b2"), nullptr);
  EXPECT_EQ(TdevCloseCommBoxSync(nullptr, c_, box_), 11);
  EXPECT_EQ(TdevCommBoxListFindById(c_, "b1").get(), box_);
  EXPECT_EQ(TdevCountBusyRecords(c_), 4) << "three devices and b1";

  // The new link closes too: the connection is given up, its devices go
  // with it, and the boxes it keeps find no connected host.
  // A reset that beats the client's own connect only fails that attempt and
  // the client tries again; each new link is reset until one is lost after
  // its connect, which gives the connection up.
  ASSERT_TRUE(Eventually(
      [&] {
        e().resetClient(0);
        return SlotRecorder::instance().count(c_, 0) == 1;
      },
      30s));
  ASSERT_EQ(TdevGetCondition(c_), TDEV_CONDITION_DISCONNECTED);
  const int expected[] = {1, 1, 4, 4};
  for (size_t i = 0; i < std::size(ops); ++i) {
    SCOPED_TRACE(std::string("disconnected: ") + ops[i].what);
    EXPECT_EQ(ops[i].call(), expected[i]);
  }
  EXPECT_EQ(sequence, -7);
  EXPECT_TRUE(receivedRaw(e(), "setprefix").empty());
  EXPECT_TRUE(receivedRaw(e(), "sendcommand").empty());
  EXPECT_TRUE(receivedRaw(e(), "getcommhistory").empty());
  EXPECT_TRUE(receivedRaw(e(), "send").empty());
}

TEST_F(PeripheralOps, ClosedRecordsAreRefused) {
  ASSERT_TRUE(openAll(1159));
  ASSERT_EQ(TdevCloseDeviceSync(nullptr, c_, keyboard_), 0);
  ASSERT_EQ(TdevCloseDeviceSync(nullptr, c_, serial_), 0);
  ASSERT_EQ(TdevCloseCommBoxSync(nullptr, c_, box_), 0);
  e().clearLog();
  const uint8_t bytes[] = {1};
  int32_t sequence = -7;
  uint8_t read[4];
  int32_t length = 0;
  EXPECT_EQ(TdevKeyboardSetPrefix(nullptr, keyboard_, bytes, 1), 1);
  EXPECT_EQ(TdevKeyboardGetPrefix(keyboard_, read, sizeof read, &length), 1);
  EXPECT_EQ(TdevSerialSendCommand(nullptr, serial_, bytes, 1), 1);
  // A box no longer on its host's list is a missing record.
  EXPECT_EQ(TdevGetCommHistory(nullptr, box_, &sequence), 255);
  EXPECT_EQ(TdevSendCommBoxMessage(nullptr, box_, nullptr, "x", &sequence), 255);
  EXPECT_EQ(sequence, -7);
  EXPECT_EQ(TdevCloseCommBoxSync(nullptr, c_, box_), 255) << "not on the host's list";
  // The host still works for what is open on it.
  ASSERT_EQ(TdevScannerSetDataCallback(scanner_), 0);
  EXPECT_TRUE(e().received().empty());
}

}  // namespace
}  // namespace host_test
