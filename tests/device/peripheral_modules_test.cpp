// Keyboards, barcode scanners, simple serial devices and message boxes on the
// device service, against the scripted client: connect and disconnect checks
// and results for every kind, connection events, the notifiers, the prefix
// set, serial commands, the message-box requests with their deep copies, and
// destroying a record while one of its notifiers runs.
//
// Addresses (io_test::address): 1904-1919 and 1920-1939 (four kinds per typed test); the fake never
// opens a socket, the address only names the host.

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "device/commbox_module.h"
#include "device/conn_listener.h"
#include "device/keyboard_module.h"
#include "device/scanner_serial_module.h"
#include "device/service_notifiers.h"
#include "device/test_hooks.h"
#include "service_fake/fake_peripherals.h"
#include "service_fake/fake_service.h"

using namespace tilo2::core;
namespace fake = tilo2::fake;

namespace {

TdcEnvData_t g_env{};

std::string Host(int n) {
  io_test::claimAddress(n);
  return io_test::address(n);
}

std::string Target(int n, const std::string& id, const char* port = "TCP") {
  return std::string(port) + ":" + Host(n) + "[" + id + "]";
}

template <typename Record>
Record* NewRecord() {
  auto* record = static_cast<Record*>(std::calloc(1, sizeof(Record)));
  record->mode = TDC_MODE_NEVER_CONNECTED;
  return record;
}

std::optional<std::string> Text(const char* text) {
  return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

// What the records' callbacks saw; callbacks run on the fake's threads.
struct Events {
  struct Connection {
    void* record;
    int32_t event;
    std::thread::id thread;
  };
  struct History {
    void* record;
    int32_t code;
    bool nullArray;
    int32_t count;
    int32_t sequence;
    void* user;
    std::vector<fake::Message> items;
    std::vector<const void*> pointers;
  };
  struct Send {
    int32_t code;
    int32_t count;
    int32_t sequence;
    void* user;
  };

  std::mutex mu;
  std::vector<Connection> connections;
  std::vector<std::pair<int32_t, std::string>> keys;
  std::vector<std::pair<std::string, int32_t>> strings;
  std::vector<std::string> scans;
  std::vector<std::vector<uint8_t>> serial;
  std::vector<History> histories;
  std::vector<Send> sends;
  std::vector<fake::Message> received;
  std::vector<const void*> receivedPointers;
  std::vector<void*> records;  // the record of every data callback, in order

  std::vector<int32_t> EventsOf(void* record) {
    std::lock_guard lock(mu);
    std::vector<int32_t> out;
    for (const auto& c : connections)
      if (c.record == record) out.push_back(c.event);
    return out;
  }
};

void Note(std::vector<const void*>* pointers, fake::Message* out, const TdcCommBoxMessage_t& m) {
  *out = {Text(m.senderId), Text(m.receiverId), Text(m.message)};
  for (const char* p : {m.senderId, m.receiverId, m.message})
    if (p != nullptr) pointers->push_back(p);
}

void OnConnection(void* record, int32_t event, void* user) {
  auto* events = static_cast<Events*>(user);
  std::lock_guard lock(events->mu);
  events->connections.push_back({record, event, std::this_thread::get_id()});
}
void OnKeyPress(void* record, int32_t keyCode, const char* text, void* user) {
  auto* events = static_cast<Events*>(user);
  std::lock_guard lock(events->mu);
  events->keys.emplace_back(keyCode, text);
  events->records.push_back(record);
}
void OnString(void* record, const char* text, int32_t prefix, void* user) {
  auto* events = static_cast<Events*>(user);
  std::lock_guard lock(events->mu);
  events->strings.emplace_back(text, prefix);
  events->records.push_back(record);
}
void OnScan(void* record, const char* data, void* user) {
  auto* events = static_cast<Events*>(user);
  std::lock_guard lock(events->mu);
  events->scans.emplace_back(data);
  events->records.push_back(record);
}
void OnSerial(void* record, const uint8_t* bytes, int32_t length, void* user) {
  auto* events = static_cast<Events*>(user);
  std::lock_guard lock(events->mu);
  events->serial.emplace_back(bytes, bytes + length);
  events->records.push_back(record);
}
void OnHistory(void* record, int32_t code, TdcCommBoxMessage_t* messages, int32_t count,
               int32_t sequence, void* user) {
  auto* events = static_cast<Events*>(user);
  std::lock_guard lock(events->mu);
  Events::History h{record, code, messages == nullptr, count, sequence, user, {}, {}};
  for (int32_t i = 0; messages != nullptr && i < count; ++i) {
    h.items.emplace_back();
    Note(&h.pointers, &h.items.back(), messages[i]);
  }
  events->histories.push_back(std::move(h));
}
void OnSend(void*, int32_t code, int32_t count, int32_t sequence, void* user) {
  auto* events = static_cast<Events*>(user);
  std::lock_guard lock(events->mu);
  events->sends.push_back({code, count, sequence, user});
}
void OnReceive(void*, TdcCommBoxMessage_t* message, void* user) {
  auto* events = static_cast<Events*>(user);
  std::lock_guard lock(events->mu);
  events->received.emplace_back();
  Note(&events->receivedPointers, &events->received.back(), *message);
}

bool Disjoint(const std::vector<const void*>& a, const std::vector<const void*>& b) {
  for (const void* p : a)
    if (std::find(b.begin(), b.end(), p) != b.end()) return false;
  return true;
}

// ---- One traits struct per record kind, for the tests every kind shares -------------

struct KeyboardKind {
  static constexpr int kIndex = 0;
  using Record = TdcKeyboard_t;
  static constexpr int32_t kType = TDEV_DEVICE_KEYBOARD;
  static constexpr const char* kOpen = "TdevOpenDeviceSync";
  static constexpr const char* kClose = "TdevCloseDeviceSync";
  static constexpr const char* kInstall = "TdevKeyboardSetStringCallback";
  static int Connect(Record* r, const char* target, int32_t timeout) {
    return TdcConnectKeyboard(&g_env, r, target, timeout);
  }
  static int Disconnect(Record* r) { return TdcDisconnectKeyboard(&g_env, r); }
  static int Destroy(Record* r) { return TdcDestroyKeyboard(r); }
  static void Register(Record* r) { TdcRegisterKeyboard(r); }
  static void* Key(Record* r) { return r->device; }
  static bool Installed(void* h) {
    return fake::IsInstalled(h, fake::kKeyPressSlot) && fake::IsInstalled(h, fake::kStringSlot);
  }
  static Record* Find(void* h) { return TdcFindKeyboard(h); }
  static void Release(Record* r) { TdcReleaseKeyboard(r); }
  static void SetCallbacks(Record* r, Events* e) {
    r->onKeyPress = &OnKeyPress;
    r->onKeyPressUser = e;
    r->onString = &OnString;
    r->onStringUser = e;
    r->onConnection = &OnConnection;
    r->onConnectionUser = e;
  }
};

struct ScannerKind {
  static constexpr int kIndex = 1;
  using Record = TdcBarcodeScanner_t;
  static constexpr int32_t kType = TDEV_DEVICE_SCANNER;
  static constexpr const char* kOpen = "TdevOpenDeviceSync";
  static constexpr const char* kClose = "TdevCloseDeviceSync";
  static constexpr const char* kInstall = "TdevScannerSetDataCallback";
  static int Connect(Record* r, const char* target, int32_t timeout) {
    return TdcConnectBarcodeScanner(&g_env, r, target, timeout);
  }
  static int Disconnect(Record* r) { return TdcDisconnectBarcodeScanner(&g_env, r); }
  static int Destroy(Record* r) { return TdcDestroyBarcodeScanner(r); }
  static void Register(Record* r) { TdcRegisterBarcodeScanner(r); }
  static void* Key(Record* r) { return r->device; }
  static bool Installed(void* h) { return fake::IsInstalled(h, fake::kDataSlot); }
  static Record* Find(void* h) { return TdcFindBarcodeScanner(h); }
  static void Release(Record* r) { TdcReleaseBarcodeScanner(r); }
  static void SetCallbacks(Record* r, Events* e) {
    r->onData = &OnScan;
    r->onDataUser = e;
    r->onConnection = &OnConnection;
    r->onConnectionUser = e;
  }
};

struct SerialKind {
  static constexpr int kIndex = 2;
  using Record = TdcSimpleSerial_t;
  static constexpr int32_t kType = TDEV_DEVICE_SERIAL;
  static constexpr const char* kOpen = "TdevOpenDeviceSync";
  static constexpr const char* kClose = "TdevCloseDeviceSync";
  static constexpr const char* kInstall = "TdevSerialSetDataCallback";
  static int Connect(Record* r, const char* target, int32_t timeout) {
    return TdcConnectSimpleSerial(&g_env, r, target, timeout);
  }
  static int Disconnect(Record* r) { return TdcDisconnectSimpleSerial(&g_env, r); }
  static int Destroy(Record* r) { return TdcDestroySimpleSerial(r); }
  static void Register(Record* r) { TdcRegisterSimpleSerial(r); }
  static void* Key(Record* r) { return r->device; }
  static bool Installed(void* h) { return fake::IsInstalled(h, fake::kDataSlot); }
  static Record* Find(void* h) { return TdcFindSimpleSerial(h); }
  static void Release(Record* r) { TdcReleaseSimpleSerial(r); }
  static void SetCallbacks(Record* r, Events* e) {
    r->onData = &OnSerial;
    r->onDataUser = e;
    r->onConnection = &OnConnection;
    r->onConnectionUser = e;
  }
};

struct CommBoxKind {
  static constexpr int kIndex = 3;
  using Record = TdcCommBox_t;
  static constexpr int32_t kType = -1;  // not a device
  static constexpr const char* kOpen = "TdevOpenCommBoxSync";
  static constexpr const char* kClose = "TdevCloseCommBoxSync";
  static constexpr const char* kInstall = "TdevCommBoxSetReceiveCallback";
  static int Connect(Record* r, const char* target, int32_t timeout) {
    return TdcConnectCommBox(&g_env, r, target, "member-a", timeout);
  }
  static int Disconnect(Record* r) { return TdcDisconnectCommBox(&g_env, r); }
  static int Destroy(Record* r) { return TdcDestroyCommBox(r); }
  static void Register(Record* r) { TdcRegisterCommBox(r); }
  static void* Key(Record* r) { return r->commBox; }
  static bool Installed(void* h) {
    return fake::IsReceiveInstalled(static_cast<TdevCommBoxEntry_t*>(h));
  }
  static Record* Find(void* h) { return TdcFindCommBox(h); }
  static void Release(Record* r) { TdcReleaseCommBox(r); }
  static void SetCallbacks(Record* r, Events* e) {
    r->onReceive = &OnReceive;
    r->onReceiveUser = e;
    r->onConnection = &OnConnection;
    r->onConnectionUser = e;
  }
};

// Records made by a test are destroyed before the fake frees its connections.
class PeripheralBase : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    TdcFailListenerAdds(0);
    TdcFailCommBoxCopy(0);
  }
  void TearDown() override {
    DestroyAll();
    fake::WaitIdle();
    fake::Reset();
  }

  // Before the fake frees their connections.
  void DestroyAll() {
    for (auto& destroy : destroys_) destroy();
    destroys_.clear();
  }

  template <typename K>
  typename K::Record* Make(bool withCallbacks = true) {
    auto* record = NewRecord<typename K::Record>();
    K::Register(record);
    if (withCallbacks) K::SetCallbacks(record, &events_);
    destroys_.push_back([record] { EXPECT_EQ(K::Destroy(record), 0); });
    return record;
  }

  Events events_;
  std::vector<std::function<void()>> destroys_;
};

template <typename K>
class PeripheralLifecycle : public PeripheralBase {};

using Kinds = ::testing::Types<KeyboardKind, ScannerKind, SerialKind, CommBoxKind>;
TYPED_TEST_SUITE(PeripheralLifecycle, Kinds);

TYPED_TEST(PeripheralLifecycle, BadArgumentsAndTargetsAreRefusedBeforeAnyConnection) {
  using K = TypeParam;
  constexpr int kBase = 1920 + K::kIndex;
  const std::string host = Host(kBase);
  struct Case {
    std::optional<std::string> target;
    int32_t timeout;
    int expected;
  };
  const Case cases[] = {
      {std::nullopt, -2, TDC_ERR_PARAM},
      {"TCP:" + host + "[dev1]", 999, TDC_ERR_PARAM},
      {"TCP:" + host + "[dev1]", 300001, TDC_ERR_PARAM},
      {"TCP:" + host + "[dev1]", -1, TDC_ERR_PARAM},
      {"TCP:" + host, -2, TDC_ERR_TYPE_INVALID},
      {"TCPS:" + host, 1000, TDC_ERR_TYPE_INVALID},
      {"BT:00:01:02:03:04:05[dev1]", -2, TDC_ERR_TYPE_INVALID},
      {"USB:000102[dev1]", -2, TDC_ERR_TYPE_INVALID},
      {"TCP:" + host + "[dev1", -2, TDC_ERR_PARAM},
      {"TCP:" + host + "[dev 1]", -2, TDC_ERR_PARAM},
      {host + "[dev1]", -2, TDC_ERR_PARAM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target.value_or("<null>") + " / " + std::to_string(c.timeout));
    auto* record = this->template Make<K>();
    EXPECT_EQ(K::Connect(record, c.target ? c.target->c_str() : nullptr, c.timeout), c.expected);
    EXPECT_EQ(record->mode, TDC_MODE_NEVER_CONNECTED);
    EXPECT_EQ(K::Key(record), nullptr);
  }
  EXPECT_EQ(fake::CallCount("TdevConnectSync"), 0);
  EXPECT_EQ(K::Connect(nullptr, ("TCP:" + host + "[dev1]").c_str(), -2), TDC_ERR_PARAM);
  EXPECT_EQ(K::Disconnect(nullptr), TDC_ERR_PARAM);
  EXPECT_EQ(K::Destroy(nullptr), TDC_ERR_PARAM);
}

TYPED_TEST(PeripheralLifecycle, ConnectOpensTheDeviceInstallsItsNotifiersAndListens) {
  using K = TypeParam;
  constexpr int kBase = 1924 + K::kIndex;
  const std::string host = Host(kBase);
  // The limits of the timeout and both transports are accepted.
  const struct {
    const char* port;
    int32_t timeout;
  } cases[] = {{"TCPS", 1000}, {"TCP", 300000}, {"TCP", -2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.port) + " " + std::to_string(c.timeout));
    this->DestroyAll();
    fake::Reset();
    auto* record = this->template Make<K>();
    const std::string target = std::string(c.port) + ":" + host + "[dev1]";
    ASSERT_EQ(K::Connect(record, target.c_str(), c.timeout), 0);
    EXPECT_EQ(record->mode, TDC_MODE_SERVICE);
    EXPECT_EQ(record->portType, std::string(c.port) == "TCPS" ? TDC_PORT_TCPS : TDC_PORT_TCP);
    EXPECT_EQ(record->connection, fake::ConnectionOf(host));
    ASSERT_NE(K::Key(record), nullptr);
    EXPECT_TRUE(K::Installed(K::Key(record)));

    const auto connects = fake::Calls("TdevConnectSync");
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].texts, std::vector<std::string>{host});
    EXPECT_EQ(connects[0].ints,
              (std::vector<int64_t>{std::string(c.port) == "TCPS" ? 1 : 0, c.timeout}));
    for (int slot : {0, 1, 2})
      EXPECT_TRUE(fake::IsConnectionNotifierInstalled(record->connection, slot));
    const auto opens = fake::Calls(K::kOpen);
    ASSERT_EQ(opens.size(), 1u);
    if (K::kType >= 0) {
      EXPECT_EQ(opens[0].ints, std::vector<int64_t>{K::kType});
      EXPECT_EQ(opens[0].texts, std::vector<std::string>{"dev1"});
    } else {
      EXPECT_EQ(opens[0].texts, (std::vector<std::string>{"dev1", "member-a"}));
    }

    // The registry finds the record by its handle.
    auto* found = K::Find(K::Key(record));
    EXPECT_EQ(found, record);
    K::Release(found);

    // A second connect is refused without touching the service.
    EXPECT_EQ(K::Connect(record, target.c_str(), -2), TDC_ERR_ILLEGAL);
    EXPECT_EQ(fake::CallCount("TdevConnectSync"), 1);
  }
}

TYPED_TEST(PeripheralLifecycle, EachFailingConnectStepLeavesModeZeroAndNoConnection) {
  using K = TypeParam;
  constexpr int kBase = 1928 + K::kIndex;
  const std::string target = Target(kBase, "dev1");
  struct Case {
    const char* failing;  // null: the listener cannot be added
    int code;
    int expected;
    int closes;
    int disconnects;
  };
  const Case cases[] = {
      {"TdevConnectSync", 4, TDC_ERR_CONNECT, 0, 0},
      {"TdevSetReconnectingCallback", 255, TDC_ERR_FAILURE, 0, 1},
      {"TdevSetDisconnectCallback", 1, TDC_ERR_PARAM, 0, 1},
      {K::kOpen, 8, TDC_ERR_IN_USE, 0, 1},
      {K::kInstall, 255, TDC_ERR_FAILURE, 1, 1},
      {nullptr, 0, TDC_ERR_MEMORY, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing != nullptr ? c.failing : "listener");
    this->DestroyAll();
    fake::Reset();
    auto* record = this->template Make<K>();
    if (c.failing != nullptr) {
      fake::SetResult(c.failing, c.code);
    } else {
      TdcFailListenerAdds(1);
    }
    EXPECT_EQ(K::Connect(record, target.c_str(), -2), c.expected);
    EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
    EXPECT_EQ(record->connection, nullptr);
    EXPECT_EQ(K::Key(record), nullptr);
    EXPECT_EQ(fake::CallCount(K::kClose), c.closes);
    EXPECT_EQ(fake::CallCount("TdevDisconnectIfUnused"), c.disconnects);
    // Let go of (without its disconnected notifier the client keeps the object).
    EXPECT_EQ(fake::ConnectionOf(Host(kBase)), nullptr);
    EXPECT_TRUE(this->events_.EventsOf(record).empty());
  }

  // Another device of the host keeps the connection through a failed connect.
  this->DestroyAll();
  fake::Reset();
  auto* first = this->template Make<K>();
  auto* second = this->template Make<K>();
  ASSERT_EQ(K::Connect(first, target.c_str(), -2), 0);
  fake::SetResult(K::kOpen, 8);
  EXPECT_EQ(K::Connect(second, Target(kBase, "dev2").c_str(), -2), TDC_ERR_IN_USE);
  EXPECT_EQ(second->mode, TDC_MODE_CLOSED);
  EXPECT_TRUE(fake::IsLive(first->connection));
  EXPECT_EQ(first->mode, TDC_MODE_SERVICE);
}

TYPED_TEST(PeripheralLifecycle, DisconnectClosesReportsEventTwoAndTranslatesFailures) {
  using K = TypeParam;
  constexpr int kBase = 1932 + K::kIndex;
  const std::string target = Target(kBase, "dev1");
  auto* record = this->template Make<K>();
  EXPECT_EQ(K::Disconnect(record), TDC_ERR_ILLEGAL);

  ASSERT_EQ(K::Connect(record, target.c_str(), -2), 0);
  void* handle = K::Key(record);
  TdevConnection_t* connection = record->connection;

  // A failed close leaves the record connected and raises nothing.
  fake::PushResult(K::kClose, 11);
  EXPECT_EQ(K::Disconnect(record), TDC_ERR_DISCONNECT);
  EXPECT_EQ(record->mode, TDC_MODE_SERVICE);
  EXPECT_EQ(K::Key(record), handle);
  EXPECT_TRUE(this->events_.EventsOf(record).empty());

  EXPECT_EQ(K::Disconnect(record), 0);
  EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(record->connection, nullptr);
  EXPECT_EQ(K::Key(record), nullptr);
  EXPECT_FALSE(fake::IsLive(connection));
  {
    std::lock_guard lock(this->events_.mu);
    ASSERT_EQ(this->events_.connections.size(), 1u);
    EXPECT_EQ(this->events_.connections[0].event, TDC_EVENT_DISCONNECTED);
    EXPECT_EQ(this->events_.connections[0].thread, std::this_thread::get_id());
  }
  EXPECT_EQ(K::Disconnect(record), TDC_ERR_ILLEGAL);

  // When the host connection cannot be let go the device is still closed,
  // the failure is returned and no event is raised.
  ASSERT_EQ(K::Connect(record, target.c_str(), -2), 0);
  fake::PushResult("TdevDisconnectIfUnused", 4);
  EXPECT_EQ(K::Disconnect(record), TDC_ERR_CONNECT);
  EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(K::Key(record), nullptr);
  EXPECT_EQ(record->connection, nullptr);
  EXPECT_EQ(this->events_.EventsOf(record).size(), 1u);
  EXPECT_EQ(K::Disconnect(record), TDC_ERR_ILLEGAL);
  // No listener is left: the connection's later loss reaches nobody.
  TdevConnection_t* left = fake::ConnectionOf(Host(kBase));
  ASSERT_NE(left, nullptr);
  EXPECT_TRUE(fake::FireDisconnected(left));
  EXPECT_EQ(this->events_.EventsOf(record).size(), 1u);
}

TYPED_TEST(PeripheralLifecycle, ConnectionEventsReachEveryRecordOfTheHostInOrder) {
  using K = TypeParam;
  constexpr int kBase = 1936 + K::kIndex;
  auto* first = this->template Make<K>();
  auto* second = this->template Make<K>();
  ASSERT_EQ(K::Connect(first, Target(kBase, "dev1").c_str(), -2), 0);
  ASSERT_EQ(K::Connect(second, Target(kBase, "dev2").c_str(), -2), 0);
  ASSERT_EQ(first->connection, second->connection);
  TdevConnection_t* connection = first->connection;

  EXPECT_TRUE(fake::FireReconnecting(connection));
  EXPECT_TRUE(fake::FireReconnected(connection));
  EXPECT_EQ(first->mode, TDC_MODE_SERVICE);
  EXPECT_TRUE(fake::FireDisconnected(connection));
  {
    std::lock_guard lock(this->events_.mu);
    std::vector<std::pair<void*, int32_t>> seen;
    for (const auto& c : this->events_.connections) seen.emplace_back(c.record, c.event);
    const std::vector<std::pair<void*, int32_t>> expected = {{first, 0},  {second, 0}, {first, 1},
                                                             {second, 1}, {first, 2},  {second, 2}};
    EXPECT_EQ(seen, expected);
  }
  for (auto* record : {first, second}) {
    EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
    EXPECT_EQ(record->connection, nullptr);
    EXPECT_EQ(K::Key(record), nullptr);
    EXPECT_EQ(K::Disconnect(record), TDC_ERR_ILLEGAL);
  }
  EXPECT_FALSE(fake::IsLive(connection));
  // The record connects again on a new connection.
  EXPECT_EQ(K::Connect(first, Target(kBase, "dev1").c_str(), -2), 0);
  EXPECT_EQ(first->mode, TDC_MODE_SERVICE);
}

// ---- Kind-specific behaviour ----------------------------------------------------------

class Peripherals : public PeripheralBase {};

TEST_F(Peripherals, KeyboardNotifiersDeliverOnlyTextsToAFoundRecordWithACallback) {
  auto* keyboard = Make<KeyboardKind>();
  auto* silent = Make<KeyboardKind>(false);
  ASSERT_EQ(TdcConnectKeyboard(&g_env, keyboard, Target(1905, "kb1").c_str(), -2), 0);
  ASSERT_EQ(TdcConnectKeyboard(&g_env, silent, Target(1905, "kb2").c_str(), -2), 0);

  EXPECT_TRUE(fake::FireKeyPress(keyboard->device, 65, "A"));
  EXPECT_TRUE(fake::FireKeyPress(keyboard->device, 66, std::nullopt));
  EXPECT_TRUE(fake::FireReadString(keyboard->device, "4711", 2));
  EXPECT_TRUE(fake::FireReadString(keyboard->device, std::nullopt, 3));
  // A record without callbacks, and a handle no record has.
  EXPECT_TRUE(fake::FireKeyPress(silent->device, 67, "C"));
  EXPECT_TRUE(fake::FireReadString(silent->device, "x", 1));
  int unknown = 0;
  TdcOnKeyPress(&unknown, "host", "kb9", 68, "D");
  TdcOnReadString(&unknown, "host", "kb9", "y", 1);

  std::lock_guard lock(events_.mu);
  EXPECT_EQ(events_.keys, (std::vector<std::pair<int32_t, std::string>>{{65, "A"}}));
  EXPECT_EQ(events_.strings, (std::vector<std::pair<std::string, int32_t>>{{"4711", 2}}));
  EXPECT_EQ(events_.records, (std::vector<void*>{keyboard, keyboard}));
}

TEST_F(Peripherals, ScanAndSerialDataAreDeliveredUnlessTheirPointerIsNull) {
  auto* scanner = Make<ScannerKind>();
  auto* serial = Make<SerialKind>();
  ASSERT_EQ(TdcConnectBarcodeScanner(&g_env, scanner, Target(1906, "scan1").c_str(), -2), 0);
  ASSERT_EQ(TdcConnectSimpleSerial(&g_env, serial, Target(1906, "ser1").c_str(), -2), 0);

  EXPECT_TRUE(fake::FireScanData(scanner->device, "4006381333931"));
  EXPECT_TRUE(fake::FireScanData(scanner->device, std::nullopt));
  EXPECT_TRUE(fake::FireSerialData(serial->device, {0x02, 0x00, 0xff}));
  EXPECT_TRUE(fake::FireSerialData(serial->device, {}));
  EXPECT_TRUE(fake::FireSerialData(serial->device, {0x10}, true));
  // Each module looks only in its own registry.
  TdcOnScanData(serial->device, "host", "ser1", "not a scan");
  TdcOnSerialData(scanner->device, "host", "scan1", reinterpret_cast<const uint8_t*>("x"), 1);

  std::lock_guard lock(events_.mu);
  EXPECT_EQ(events_.scans, std::vector<std::string>{"4006381333931"});
  EXPECT_EQ(events_.serial, (std::vector<std::vector<uint8_t>>{{0x02, 0x00, 0xff}, {}}));
  EXPECT_EQ(events_.records, (std::vector<void*>{scanner, serial, serial}));
}

TEST_F(Peripherals, UnregisteredRecordsAreNotFoundAndGetNoData) {
  auto* first = Make<ScannerKind>();
  auto* second = Make<ScannerKind>();
  ASSERT_EQ(TdcConnectBarcodeScanner(&g_env, first, Target(1907, "scan1").c_str(), -2), 0);
  ASSERT_EQ(TdcConnectBarcodeScanner(&g_env, second, Target(1907, "scan2").c_str(), -2), 0);
  EXPECT_EQ(TdcFindBarcodeScanner(nullptr), nullptr);
  auto* found = TdcFindBarcodeScanner(second->device);
  EXPECT_EQ(found, second);
  TdcReleaseBarcodeScanner(found);

  TdcUnregisterBarcodeScanner(first);
  EXPECT_EQ(TdcFindBarcodeScanner(first->device), nullptr);
  EXPECT_TRUE(fake::FireScanData(first->device, "lost"));
  TdcRegisterBarcodeScanner(first);
  EXPECT_TRUE(fake::FireScanData(first->device, "found"));
  std::lock_guard lock(events_.mu);
  EXPECT_EQ(events_.scans, std::vector<std::string>{"found"});
}

TEST_F(Peripherals, PrefixIsSetOnTheServiceAndReadBackAsDistinctBytesInFirstSeenOrder) {
  auto* keyboard = Make<KeyboardKind>();
  const uint8_t* bytes = nullptr;
  int32_t length = -1;
  const uint8_t codes[] = {'B', 'A', 'B', 0, 'C', 'A'};

  EXPECT_EQ(TdcSetPrefix(&g_env, nullptr, codes, 6), TDC_ERR_PARAM);
  EXPECT_EQ(TdcGetPrefix(nullptr, &bytes, &length), TDC_ERR_PARAM);
  EXPECT_EQ(TdcGetPrefix(keyboard, nullptr, &length), TDC_ERR_PARAM);
  // Not connected.
  EXPECT_EQ(TdcSetPrefix(&g_env, keyboard, codes, 6), TDC_ERR_FAILURE);
  EXPECT_EQ(TdcGetPrefix(keyboard, &bytes, &length), TDC_ERR_FAILURE);
  EXPECT_EQ(fake::CallCount("TdevKeyboardSetPrefix"), 0);

  ASSERT_EQ(TdcConnectKeyboard(&g_env, keyboard, Target(1908, "kb1").c_str(), -2), 0);
  EXPECT_EQ(TdcGetPrefix(keyboard, &bytes, nullptr), TDC_ERR_PARAM);
  EXPECT_EQ(TdcGetPrefix(keyboard, &bytes, &length), 0);
  EXPECT_EQ(length, 0);

  EXPECT_EQ(TdcSetPrefix(&g_env, keyboard, codes, 6), 0);
  const auto sets = fake::Calls("TdevKeyboardSetPrefix");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].target, keyboard->device);
  EXPECT_EQ(sets[0].bytes, std::vector<uint8_t>(codes, codes + 6));
  EXPECT_EQ(TdcGetPrefix(keyboard, &bytes, &length), 0);
  ASSERT_EQ(length, 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 3), "BAC");
  EXPECT_EQ(bytes[3], 0);

  // The service's failures come back translated.
  fake::PushResult("TdevKeyboardSetPrefix", 2);
  EXPECT_EQ(TdcSetPrefix(&g_env, keyboard, codes, 1), TDC_ERR_PROCESSING);
  fake::PushResult("TdevKeyboardGetPrefix", 255);
  EXPECT_EQ(TdcGetPrefix(keyboard, &bytes, &length), TDC_ERR_FAILURE);
  // An empty set clears it.
  EXPECT_EQ(TdcSetPrefix(&g_env, keyboard, nullptr, 0), 0);
  EXPECT_EQ(TdcGetPrefix(keyboard, &bytes, &length), 0);
  EXPECT_EQ(length, 0);
}

TEST_F(Peripherals, SerialCommandNeedsAConnectionAndBytes) {
  auto* serial = Make<SerialKind>();
  const uint8_t command[] = {0x1b, 0x40, 0x00};
  EXPECT_EQ(TdcSendSerialCommand(&g_env, nullptr, command, 3), TDC_ERR_PARAM);
  EXPECT_EQ(TdcSendSerialCommand(&g_env, serial, command, 3), TDC_ERR_ILLEGAL);

  ASSERT_EQ(TdcConnectSimpleSerial(&g_env, serial, Target(1909, "ser1").c_str(), -2), 0);
  EXPECT_EQ(TdcSendSerialCommand(&g_env, serial, nullptr, 3), TDC_ERR_PARAM);
  EXPECT_EQ(fake::CallCount("TdevSerialSendCommand"), 0);
  EXPECT_EQ(TdcSendSerialCommand(&g_env, serial, command, 3), 0);
  const auto sends = fake::Calls("TdevSerialSendCommand");
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].target, serial->device);
  EXPECT_EQ(sends[0].bytes, std::vector<uint8_t>(command, command + 3));
  fake::PushResult("TdevSerialSendCommand", 4);
  EXPECT_EQ(TdcSendSerialCommand(&g_env, serial, command, 3), TDC_ERR_CONNECT);

  // After the connection was lost: 5, and nothing reaches the client.
  EXPECT_TRUE(fake::FireDisconnected(serial->connection));
  EXPECT_EQ(TdcSendSerialCommand(&g_env, serial, command, 3), TDC_ERR_ILLEGAL);
  EXPECT_EQ(fake::CallCount("TdevSerialSendCommand"), 2);
}

TEST_F(Peripherals, DevicesOfOnePrinterShareItsConnectionUntilTheLastLeaves) {
  auto* scanner = Make<ScannerKind>();
  auto* serial = Make<SerialKind>();
  auto* keyboard = Make<KeyboardKind>();
  auto* box = Make<CommBoxKind>();
  ASSERT_EQ(TdcConnectBarcodeScanner(&g_env, scanner, Target(1910, "scan1").c_str(), -2), 0);
  ASSERT_EQ(TdcConnectSimpleSerial(&g_env, serial, Target(1910, "ser1").c_str(), -2), 0);
  ASSERT_EQ(TdcConnectKeyboard(&g_env, keyboard, Target(1910, "kb1").c_str(), -2), 0);
  ASSERT_EQ(TdcConnectCommBox(&g_env, box, Target(1910, "box1").c_str(), "m1", -2), 0);
  TdevConnection_t* connection = scanner->connection;
  for (TdevConnection_t* c : {serial->connection, keyboard->connection, box->connection})
    EXPECT_EQ(c, connection);
  EXPECT_EQ(fake::LiveConnections(), 1);

  EXPECT_EQ(TdcDisconnectBarcodeScanner(&g_env, scanner), 0);
  EXPECT_EQ(TdcDisconnectKeyboard(&g_env, keyboard), 0);
  EXPECT_EQ(TdcDisconnectSimpleSerial(&g_env, serial), 0);
  // The open box alone keeps the connection.
  ASSERT_TRUE(fake::IsLive(connection));
  EXPECT_EQ(box->mode, TDC_MODE_SERVICE);
  EXPECT_TRUE(fake::FireCommReceive(box->commBox, {"m2", "m1", "hello"}));
  EXPECT_EQ(TdcDisconnectCommBox(&g_env, box), 0);
  EXPECT_FALSE(fake::IsLive(connection));
  for (void* record : std::vector<void*>{scanner, serial, keyboard, box})
    EXPECT_EQ(events_.EventsOf(record), std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  std::lock_guard lock(events_.mu);
  EXPECT_EQ(events_.received.size(), 1u);
}

// ---- Message boxes -----------------------------------------------------------------------

class CommBox : public PeripheralBase {
 protected:
  TdcCommBox_t* Connected(int n) {
    auto* box = Make<CommBoxKind>();
    EXPECT_EQ(TdcConnectCommBox(&g_env, box, Target(n, "box1").c_str(), "member-a", -2), 0);
    EXPECT_EQ(fake::MemberOf(box->commBox), "member-a");
    return box;
  }
  Events other_;
};

TEST_F(CommBox, HistoryRequestChecksStoreThePairOnlyForAValidRequest) {
  auto* box = Make<CommBoxKind>();
  int32_t sequence = -1;
  EXPECT_EQ(TdcGetCommHistory(&g_env, nullptr, &sequence, &OnHistory, &events_), TDC_ERR_PARAM);
  EXPECT_EQ(TdcGetCommHistory(&g_env, box, &sequence, &OnHistory, &events_), TDC_ERR_ILLEGAL);
  ASSERT_EQ(TdcConnectCommBox(&g_env, box, Target(1911, "box1").c_str(), "member-a", -2), 0);

  const struct {
    bool sequence, callback, user;
  } nulls[] = {{true, false, false}, {false, true, false}, {false, false, true}};
  for (const auto& n : nulls) {
    EXPECT_EQ(TdcGetCommHistory(&g_env, box, n.sequence ? nullptr : &sequence,
                                n.callback ? nullptr : &OnHistory, n.user ? nullptr : &events_),
              TDC_ERR_PARAM);
  }
  EXPECT_EQ(box->onHistory, nullptr);
  EXPECT_EQ(box->onHistoryUser, nullptr);
  EXPECT_EQ(fake::CallCount("TdevGetCommHistory"), 0);
  // No pair stored: a reply reaches nobody.
  EXPECT_TRUE(fake::FireCommHistory(box->commBox, 0, {}, 1));

  // A request the client refuses forgets its pair; its late reply is dropped.
  fake::PushResult("TdevGetCommHistory", 2);
  EXPECT_EQ(TdcGetCommHistory(&g_env, box, &sequence, &OnHistory, &events_), TDC_ERR_PROCESSING);
  EXPECT_EQ(sequence, -1);
  EXPECT_EQ(box->onHistory, nullptr);
  EXPECT_TRUE(fake::FireCommHistory(box->commBox, 0, {}, 2));
  std::lock_guard lock(events_.mu);
  EXPECT_TRUE(events_.histories.empty());
}

TEST_F(CommBox, EveryHistoryReplyGoesToTheLatestPairWithItsOwnSequence) {
  auto* box = Connected(1912);
  int32_t first = 0;
  int32_t second = 0;
  ASSERT_EQ(TdcGetCommHistory(&g_env, box, &first, &OnHistory, &other_), 0);
  ASSERT_EQ(TdcGetCommHistory(&g_env, box, &second, &OnHistory, &events_), 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(fake::CallCount("TdevGetCommHistory"), 2);

  EXPECT_TRUE(fake::FireCommHistory(box->commBox, 0, {{"m2", "member-a", "one"}}, first));
  // Count 0 and a null array both give a null array and count 0; the code is translated.
  EXPECT_TRUE(fake::FireCommHistory(box->commBox, 6, {}, second));
  EXPECT_TRUE(fake::FireCommHistory(box->commBox, 0, {}, second, true, 3));
  {
    std::lock_guard lock(other_.mu);
    EXPECT_TRUE(other_.histories.empty());
  }
  std::lock_guard lock(events_.mu);
  ASSERT_EQ(events_.histories.size(), 3u);
  EXPECT_EQ(events_.histories[0].sequence, first);
  EXPECT_EQ(events_.histories[0].count, 1);
  EXPECT_EQ(events_.histories[0].record, box);
  EXPECT_EQ(events_.histories[1].sequence, second);
  EXPECT_EQ(events_.histories[1].code, TDC_CB_NOT_FOUND);
  for (size_t i : {1u, 2u}) {
    EXPECT_TRUE(events_.histories[i].nullArray);
    EXPECT_EQ(events_.histories[i].count, 0);
  }
}

TEST_F(CommBox, HistoryEntriesArriveAsDeepCopiesWithTheirMissingStrings) {
  auto* box = Connected(1913);
  int32_t sequence = 0;
  ASSERT_EQ(TdcGetCommHistory(&g_env, box, &sequence, &OnHistory, &events_), 0);
  const std::vector<fake::Message> items = {
      {"m2", "member-a", "first"}, {std::nullopt, "member-a", "second"}, {"m3", std::nullopt, ""}};
  EXPECT_TRUE(fake::FireCommHistory(box->commBox, 0, items, sequence));

  std::lock_guard lock(events_.mu);
  ASSERT_EQ(events_.histories.size(), 1u);
  const auto& h = events_.histories[0];
  EXPECT_EQ(h.code, 0);
  EXPECT_EQ(h.sequence, sequence);
  ASSERT_EQ(h.items.size(), 3u);
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(h.items[i].senderId, items[i].senderId);
    EXPECT_EQ(h.items[i].receiverId, items[i].receiverId);
    EXPECT_EQ(h.items[i].message, items[i].message);
  }
  // The strings handed up are the layer's, not the client's.
  EXPECT_TRUE(Disjoint(h.pointers, fake::LastItemPointers()));
}

TEST_F(CommBox, AHistoryThatCannotBeCopiedStillCompletesItsRequestAsAFailure) {
  auto* box = Connected(1914);
  int32_t sequence = 0;
  ASSERT_EQ(TdcGetCommHistory(&g_env, box, &sequence, &OnHistory, &events_), 0);
  TdcFailCommBoxCopy(1);
  EXPECT_TRUE(fake::FireCommHistory(box->commBox, 0, {{"m2", "member-a", "x"}}, sequence));
  std::lock_guard lock(events_.mu);
  ASSERT_EQ(events_.histories.size(), 1u);
  EXPECT_EQ(events_.histories[0].code, TDC_CB_FAILURE);
  EXPECT_TRUE(events_.histories[0].nullArray);
  EXPECT_EQ(events_.histories[0].count, 0);
  EXPECT_EQ(events_.histories[0].sequence, sequence);
}

TEST_F(CommBox, SendNeedsAMemberIdAndForgetsThePairOfAFailedRequest) {
  auto* box = Make<CommBoxKind>();
  int32_t sequence = -1;
  EXPECT_EQ(TdcSendCommBoxMessage(&g_env, box, "m2", "hi", &sequence, &OnSend, &events_),
            TDC_ERR_ILLEGAL);
  ASSERT_EQ(TdcConnectCommBox(&g_env, box, Target(1915, "box1").c_str(), "member-a", -2), 0);
  EXPECT_EQ(TdcSendCommBoxMessage(&g_env, box, nullptr, "hi", &sequence, &OnSend, &events_),
            TDC_ERR_PARAM);
  EXPECT_EQ(TdcSendCommBoxMessage(&g_env, box, "m2", "hi", &sequence, &OnSend, nullptr),
            TDC_ERR_PARAM);
  EXPECT_EQ(box->onSendResult, nullptr);
  EXPECT_EQ(fake::CallCount("TdevSendCommBoxMessage"), 0);
  // The message itself is the client's to judge.
  EXPECT_EQ(TdcSendCommBoxMessage(&g_env, box, "m2", nullptr, &sequence, &OnSend, &events_),
            TDC_ERR_PARAM);
  EXPECT_EQ(box->onSendResult, nullptr);
  fake::PushResult("TdevSendCommBoxMessage", 4);
  EXPECT_EQ(TdcSendCommBoxMessage(&g_env, box, "m2", "hi", &sequence, &OnSend, &events_),
            TDC_ERR_CONNECT);
  EXPECT_EQ(box->onSendResult, nullptr);
  EXPECT_EQ(sequence, -1);
  EXPECT_TRUE(fake::FireCommSendResult(box->commBox, 0, 1, 7));
  {
    std::lock_guard lock(events_.mu);
    EXPECT_TRUE(events_.sends.empty());
  }

  ASSERT_EQ(TdcSendCommBoxMessage(&g_env, box, "", "to all", &sequence, &OnSend, &events_), 0);
  const auto calls = fake::Calls("TdevSendCommBoxMessage");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls.back().texts, (std::vector<std::string>{"", "to all"}));
  EXPECT_TRUE(fake::FireCommSendResult(box->commBox, 0, 3, sequence));
  EXPECT_TRUE(fake::FireCommSendResult(box->commBox, 6, 0, sequence + 1));
  std::lock_guard lock(events_.mu);
  ASSERT_EQ(events_.sends.size(), 2u);
  EXPECT_EQ(events_.sends[0].code, 0);
  EXPECT_EQ(events_.sends[0].count, 3);
  EXPECT_EQ(events_.sends[0].sequence, sequence);
  EXPECT_EQ(events_.sends[0].user, &events_);
  EXPECT_EQ(events_.sends[1].code, TDC_CB_NOT_FOUND);
  EXPECT_EQ(events_.sends[1].sequence, sequence + 1);
}

TEST_F(CommBox, ReceivedMessagesArriveAsCopiesOnlyWithAMessageAndACallback) {
  auto* box = Connected(1916);
  EXPECT_TRUE(fake::FireCommReceive(box->commBox, {std::nullopt, "member-a", "hello"}));
  // The client's strings of that call, alive while the callback saw its copies.
  const std::vector<const void*> clientPointers = fake::LastItemPointers();
  EXPECT_TRUE(fake::FireCommReceive(box->commBox, {"m2", "member-a", "x"}, true));
  TdcFailCommBoxCopy(1);
  EXPECT_TRUE(fake::FireCommReceive(box->commBox, {"m2", "member-a", "lost"}));
  {
    std::lock_guard lock(events_.mu);
    ASSERT_EQ(events_.received.size(), 1u);
    EXPECT_EQ(events_.received[0].senderId, std::nullopt);
    EXPECT_EQ(events_.received[0].receiverId, "member-a");
    EXPECT_EQ(events_.received[0].message, "hello");
  }
  // Without a receive callback nothing is delivered.
  box->onReceive = nullptr;
  EXPECT_TRUE(fake::FireCommReceive(box->commBox, {"m2", "member-a", "unseen"}));
  std::lock_guard lock(events_.mu);
  EXPECT_EQ(events_.received.size(), 1u);
  EXPECT_TRUE(Disjoint(events_.receivedPointers, clientPointers));
}

TEST(CommBoxMessages, CopiesAreDeepAndAFailedCopyLeavesNothingBehind) {
  char sender[] = "m1";
  char text[] = "hello";
  const TdcCommBoxMessage_t source[] = {{sender, nullptr, text}, {nullptr, sender, nullptr}};
  TdcCommBoxMessage_t one{};
  EXPECT_EQ(TdcCopyCommBoxMessage(nullptr, &one), TDC_ERR_PARAM);
  EXPECT_EQ(TdcCopyCommBoxMessage(source, nullptr), TDC_ERR_PARAM);

  ASSERT_EQ(TdcCopyCommBoxMessage(source, &one), 0);
  EXPECT_STREQ(one.senderId, "m1");
  EXPECT_NE(one.senderId, sender);
  EXPECT_EQ(one.receiverId, nullptr);
  EXPECT_STREQ(one.message, "hello");
  std::free(one.senderId);
  std::free(one.message);

  // The second string fails: the first is freed again (a leak would show).
  TdcFailCommBoxCopy(2);
  one = {};
  EXPECT_EQ(TdcCopyCommBoxMessage(source, &one), TDC_ERR_MEMORY);
  EXPECT_EQ(one.senderId, nullptr);
  EXPECT_EQ(one.receiverId, nullptr);
  EXPECT_EQ(one.message, nullptr);
  // The third string overall fails: the first message's copies go too.
  TdcFailCommBoxCopy(3);
  EXPECT_EQ(TdcCopyCommBoxMessages(source, 2), nullptr);
  TdcFailCommBoxCopy(0);

  EXPECT_EQ(TdcCopyCommBoxMessages(nullptr, 2), nullptr);
  EXPECT_EQ(TdcCopyCommBoxMessages(source, 0), nullptr);
  EXPECT_EQ(TdcCopyCommBoxMessages(source, -1), nullptr);
  TdcCommBoxMessage_t* copies = TdcCopyCommBoxMessages(source, 2);
  ASSERT_NE(copies, nullptr);
  EXPECT_STREQ(copies[0].senderId, "m1");
  EXPECT_STREQ(copies[1].receiverId, "m1");
  EXPECT_EQ(copies[1].message, nullptr);
  TdcFreeCommBoxMessages(copies, 2);
  TdcFreeCommBoxMessages(nullptr, 3);
}

// ---- Destroying a record while its notifier runs -------------------------------------------

// A key-press callback that stays inside until the test lets it go, then
// reads the record it was given.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool entered = false;
  bool released = false;
  bool destroyed = false;
  void* seenUser = nullptr;
};

void OnGatedKey(void* record, int32_t, const char*, void* user) {
  auto* gate = static_cast<Gate*>(user);
  std::unique_lock lock(gate->mu);
  gate->entered = true;
  gate->cv.notify_all();
  gate->cv.wait(lock, [&] { return gate->released; });
  // Still the record's own memory: the destroy waits for this call.
  gate->seenUser = static_cast<TdcKeyboard_t*>(record)->onKeyPressUser;
}

TEST_F(Peripherals, DestroyOrUnregisterWaitsForAKeyPressStillBeingDelivered) {
  for (const bool ownerFrees : {false, true}) {
    SCOPED_TRACE(ownerFrees ? "unregister, then the owner frees" : "destroy");
    fake::Reset();
    Gate gate;
    auto* keyboard = NewRecord<TdcKeyboard_t>();
    TdcRegisterKeyboard(keyboard);
    keyboard->onKeyPress = &OnGatedKey;
    keyboard->onKeyPressUser = &gate;
    ASSERT_EQ(TdcConnectKeyboard(&g_env, keyboard, Target(1917, "kb1").c_str(), -2), 0);

    ASSERT_TRUE(fake::FireKeyPress(keyboard->device, 13, "\r", false));
    {
      std::unique_lock lock(gate.mu);
      ASSERT_TRUE(gate.cv.wait_for(lock, std::chrono::seconds(10), [&] { return gate.entered; }));
    }
    std::thread destroyer([&] {
      TdcDisconnectKeyboard(&g_env, keyboard);
      if (ownerFrees) {
        TdcRemoveConnectionListener(keyboard);
        TdcUnregisterKeyboard(keyboard);
        std::free(keyboard);
      } else {
        EXPECT_EQ(TdcDestroyKeyboard(keyboard), 0);
      }
      std::lock_guard lock(gate.mu);
      gate.destroyed = true;
      gate.cv.notify_all();
    });
    {
      // A destroy that did not wait would finish here while the callback is inside.
      std::unique_lock lock(gate.mu);
      EXPECT_FALSE(
          gate.cv.wait_for(lock, std::chrono::milliseconds(300), [&] { return gate.destroyed; }));
      gate.released = true;
      gate.cv.notify_all();
    }
    destroyer.join();
    EXPECT_TRUE(fake::WaitIdle());
    EXPECT_EQ(gate.seenUser, &gate);
  }
}

// The link drops while the connect is still installing the notifiers: the
// connect fails instead of keeping a handle the connection takes with it.
TEST_F(Peripherals, ALinkLostDuringTheConnectFailsItWithoutKeepingTheHandle) {
  auto* keyboard = Make<KeyboardKind>();
  const std::string target = Target(1904, "kb1");
  fake::Hold("TdevKeyboardSetStringCallback");
  int connected = -1;
  std::thread connector(
      [&] { connected = TdcConnectKeyboard(&g_env, keyboard, target.c_str(), -2); });
  ASSERT_TRUE(fake::WaitBlocked("TdevKeyboardSetStringCallback"));
  TdevConnection_t* connection = fake::ConnectionOf(Host(1904));
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(fake::FireDisconnected(connection));
  fake::ReleaseHold("TdevKeyboardSetStringCallback");
  connector.join();
  EXPECT_EQ(connected, TDC_ERR_CONNECT);
  EXPECT_EQ(keyboard->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(keyboard->device, nullptr);
  EXPECT_EQ(keyboard->connection, nullptr);
  EXPECT_FALSE(fake::IsLive(connection));
  EXPECT_EQ(TdcDisconnectKeyboard(&g_env, keyboard), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcConnectKeyboard(&g_env, keyboard, target.c_str(), -2), 0);
}

// A close frees the client's handle, so a disconnect waits for an operation
// that is still using it on another thread.
TEST_F(Peripherals, DisconnectWaitsForAPrefixReadStillUsingTheHandle) {
  auto* keyboard = Make<KeyboardKind>();
  ASSERT_EQ(TdcConnectKeyboard(&g_env, keyboard, Target(1919, "kb1").c_str(), -2), 0);
  fake::Hold("TdevKeyboardGetPrefix");
  int read = -1;
  std::thread reader([&] {
    const uint8_t* bytes = nullptr;
    int32_t length = 0;
    read = TdcGetPrefix(keyboard, &bytes, &length);
  });
  ASSERT_TRUE(fake::WaitBlocked("TdevKeyboardGetPrefix"));
  int disconnected = -1;
  std::thread closer([&] { disconnected = TdcDisconnectKeyboard(&g_env, keyboard); });
  // A disconnect that did not wait would close the handle under the read.
  EXPECT_FALSE(fake::WaitForCalls("TdevCloseDeviceSync", 1, std::chrono::milliseconds(300)));
  fake::ReleaseHold("TdevKeyboardGetPrefix");
  reader.join();
  closer.join();
  EXPECT_EQ(read, 0);
  EXPECT_EQ(disconnected, 0);
  const auto names = fake::CallNames();
  const auto get = std::find(names.begin(), names.end(), "TdevKeyboardGetPrefix");
  const auto close = std::find(names.begin(), names.end(), "TdevCloseDeviceSync");
  EXPECT_LT(get, close);
}

// A record destroyed from inside its own callback is freed once the callback returned.
TEST_F(Peripherals, ARecordDestroyedFromItsOwnCallbackIsFreedAfterIt) {
  struct Self {
    static void OnScan(void* record, const char*, void* user) {
      EXPECT_EQ(TdcDestroyBarcodeScanner(static_cast<TdcBarcodeScanner_t*>(record)), 0);
      *static_cast<bool*>(user) = true;
    }
  };
  bool called = false;
  auto* scanner = NewRecord<TdcBarcodeScanner_t>();
  TdcRegisterBarcodeScanner(scanner);
  scanner->onData = &Self::OnScan;
  scanner->onDataUser = &called;
  ASSERT_EQ(TdcConnectBarcodeScanner(&g_env, scanner, Target(1918, "scan1").c_str(), -2), 0);
  TdevDeviceHandle_t* handle = scanner->device;
  EXPECT_TRUE(fake::FireScanData(handle, "123"));
  EXPECT_TRUE(called);
  // Gone from the registry: a later scan on the still open handle reaches nobody.
  called = false;
  EXPECT_TRUE(fake::FireScanData(handle, "456"));
  EXPECT_FALSE(called);
}

}  // namespace
