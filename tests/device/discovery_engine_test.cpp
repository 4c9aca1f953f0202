// The discovery engine through its six entry points: finders faked through the
// connection layer's seam (or the simulated Bluetooth and USB backend, or real
// printer emulators), the device service's queries faked through the device
// layer's seam, and a callback that records every delivered device.

#include "device/discovery_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../io/device_test_support.h"
#include "../io/io_test_support.h"
#include "device/test_hooks.h"
#include "io/connection_interface.h"
#include "io/device_finder.h"
#include "io/finder_bridge.h"
#include "io/test_hooks.h"
#include "service/device_service.h"

using namespace tilo2::core;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = 10s;

// Addresses of this file: io_test::address(700..759).
std::string Addr(int n) {
  EXPECT_TRUE(n >= 700 && n <= 759) << n;
  return io_test::address(n);
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = kWait) {
  const auto end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// ---- Fake finders -----------------------------------------------------------------

struct Row {
  int type;
  std::optional<std::string> name, target, ip, mac;
};

struct FakeFinders {
  std::mutex mutex;
  std::vector<Row> udpRows, btRows, usbRows;
  int udpStartResult = 0, btStartResult = 0, usbStartResult = 0;
  std::vector<std::string> started;  // "udp <broadcast>", "bt", "usb"
  std::vector<int> listFilters;
  std::vector<Clock::time_point> udpPolls;
  // The last list of each kind, kept until its next poll as a finder does.
  std::map<int, std::pair<TiloIoDeviceArrays_t*, int>> last;

  void Reset() {
    std::lock_guard lock(mutex);
    udpRows.clear();
    btRows.clear();
    usbRows.clear();
    udpStartResult = btStartResult = usbStartResult = 0;
    started.clear();
    listFilters.clear();
    udpPolls.clear();
    for (auto& [kind, list] : last) freeFoundDeviceArrays(list.first, list.second);
    last.clear();
  }
};

FakeFinders g_finders;

char* Dup(const std::optional<std::string>& text) { return text ? strdup(text->c_str()) : nullptr; }

TiloIoDeviceArrays_t* List(int kind, const std::vector<Row>& rows, int* count, int* result) {
  auto& slot = g_finders.last[kind];
  freeFoundDeviceArrays(slot.first, slot.second);
  const int n = static_cast<int>(rows.size());
  TiloIoDeviceArrays_t* arrays = newDeviceArrays(n);
  for (int i = 0; i < n; ++i) {
    arrays->connectionType[i] = rows[i].type;
    arrays->name[i] = Dup(rows[i].name);
    arrays->target[i] = Dup(rows[i].target);
    arrays->ip[i] = Dup(rows[i].ip);
    arrays->mac[i] = Dup(rows[i].mac);
  }
  slot = {arrays, n};
  *count = n;
  *result = 0;
  return arrays;
}

const TiloIoFinderOps kFakeFinders = {
    [](const void*, const char* broadcast) {
      std::lock_guard lock(g_finders.mutex);
      g_finders.started.push_back(std::string("udp ") + (broadcast ? broadcast : "(null)"));
      return g_finders.udpStartResult;
    },
    [](int* count, int* result) {
      std::lock_guard lock(g_finders.mutex);
      g_finders.udpPolls.push_back(Clock::now());
      return List(1, g_finders.udpRows, count, result);
    },
    [] {
      std::lock_guard lock(g_finders.mutex);
      g_finders.started.push_back("bt");
      return g_finders.btStartResult;
    },
    [] {
      std::lock_guard lock(g_finders.mutex);
      g_finders.started.push_back("usb");
      return g_finders.usbStartResult;
    },
    [](int filter, int* count, int* result) {
      std::lock_guard lock(g_finders.mutex);
      g_finders.listFilters.push_back(filter);
      return List(2, g_finders.btRows, count, result);
    },
    [](int filter, int* count, int* result) {
      std::lock_guard lock(g_finders.mutex);
      g_finders.listFilters.push_back(filter);
      return List(4, g_finders.usbRows, count, result);
    },
};

Row Printer(int n, const std::string& name, const std::string& mac = "00:1A:7D:DA:71:13") {
  const std::string ip = Addr(n);
  return {TILOIO_TYPE_TCP, name, ip, ip, mac};
}

// ---- Fake device service -------------------------------------------------------------

struct Entry {
  int32_t type;
  std::string id;
  std::optional<std::string> model;
};

struct ListScript {
  std::vector<Entry> entries;
  bool hold = false;  // answer only when the test releases this host
};

struct Asked {
  std::string host;
  std::optional<std::string> name, mac;
};

struct FakeService {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, ListScript> scripts;
  std::vector<Asked> asked;
  std::map<std::string, int> releases;  // host -> answers the test let go
  std::map<std::string, int> answered;  // host -> answers that returned from the engine
  std::vector<std::thread> threads;
  int portResult = 255;
  int32_t ports[2] = {0, 0};

  void Reset() {
    std::lock_guard lock(mutex);
    scripts.clear();
    asked.clear();
    releases.clear();
    answered.clear();
    portResult = 255;
    ports[0] = ports[1] = 0;
  }
  // Lets every held answer go and waits for all answer threads.
  void Drain() {
    {
      std::lock_guard lock(mutex);
      for (auto& [host, script] : scripts) script.hold = false;
    }
    changed.notify_all();
    std::vector<std::thread> done;
    {
      std::lock_guard lock(mutex);
      done.swap(threads);
    }
    for (auto& t : done) t.join();
  }
  void Release(const std::string& host) {
    {
      std::lock_guard lock(mutex);
      ++releases[host];
    }
    changed.notify_all();
  }
  int AskedCount(const std::string& host) {
    std::lock_guard lock(mutex);
    return static_cast<int>(
        std::count_if(asked.begin(), asked.end(), [&](const Asked& a) { return a.host == host; }));
  }
  int AnsweredCount(const std::string& host) {
    std::lock_guard lock(mutex);
    return answered[host];
  }
};

FakeService g_service;

// Answers from a thread of its own, as the device service's HTTP client does.
int FakeGetDeviceList(const char* host, const char* name, const char* mac) {
  if (!host) return 1;
  std::lock_guard guard(g_service.mutex);
  Asked call{host, {}, {}};
  if (name) call.name = name;
  if (mac) call.mac = mac;
  g_service.asked.push_back(call);
  const int ticket =
      static_cast<int>(std::count_if(g_service.asked.begin(), g_service.asked.end(),
                                     [&](const Asked& a) { return a.host == call.host; }));
  g_service.threads.emplace_back([call, ticket] {
    std::vector<Entry> entries;
    {
      std::unique_lock lock(g_service.mutex);
      auto it = g_service.scripts.find(call.host);
      if (it != g_service.scripts.end()) {
        g_service.changed.wait(lock, [&] {
          return !g_service.scripts[call.host].hold || g_service.releases[call.host] >= ticket;
        });
        entries = g_service.scripts[call.host].entries;
      }
    }
    std::vector<TdevDeviceListEntry_t> raw;
    for (auto& e : entries)
      raw.push_back({e.type, e.id.data(), e.model ? e.model->data() : nullptr});
    onDeviceListResult(call.host.c_str(), call.name ? call.name->c_str() : nullptr,
                       call.mac ? call.mac->c_str() : nullptr, raw.empty() ? nullptr : raw.data(),
                       static_cast<int32_t>(raw.size()));
    {
      std::lock_guard lock(g_service.mutex);
      ++g_service.answered[call.host];
    }
    g_service.changed.notify_all();
  });
  return 0;
}

int FakeGetPortList(const char*, int32_t* ports) {
  std::lock_guard lock(g_service.mutex);
  ports[0] = g_service.ports[0];
  ports[1] = g_service.ports[1];
  return g_service.portResult;
}

const TdcDeviceListOps kFakeService = {FakeGetDeviceList, FakeGetPortList};

// ---- Recording callback -------------------------------------------------------------------

struct Found {
  int32_t type;
  std::string target;
  std::optional<std::string> name, ip, mac, bd;
  bool operator==(const Found&) const = default;
};

std::optional<std::string> Opt(const char* text) {
  return text ? std::optional<std::string>(text) : std::nullopt;
}

struct Recorder {
  std::mutex mutex;
  std::vector<Found> found;
  // Called once from inside the callback when set.
  std::function<void()> inside;
};

Recorder g_recorder;

void Record(int32_t reserved, FoundDevice_t* device) {
  EXPECT_EQ(reserved, 0);
  std::function<void()> inside;
  {
    std::lock_guard lock(g_recorder.mutex);
    g_recorder.found.push_back({device->deviceType, device->target, Opt(device->name),
                                Opt(device->ip), Opt(device->mac), Opt(device->bdAddress)});
    inside.swap(g_recorder.inside);
  }
  if (inside) inside();
}

std::vector<Found> Delivered() {
  std::lock_guard lock(g_recorder.mutex);
  return g_recorder.found;
}

int CountTarget(const std::string& target, int32_t type = 0) {
  int n = 0;
  for (const auto& f : Delivered())
    if (f.target == target && (type == 0 || f.type == type)) ++n;
  return n;
}

std::string Text(const std::vector<Found>& found) {
  std::string out;
  for (const auto& f : found) {
    out.append("{").append(std::to_string(f.type)).append(", ").append(f.target).append(", ");
    out.append(f.name.value_or("(null)")).append("}\n");
  }
  return out;
}

// ---- Fixture -----------------------------------------------------------------------------------

DiscoveryFilter_t MakeFilter(int portType = 0, int deviceModel = 0, int nameFilter = 0,
                             int deviceType = 0, const char* broadcast = nullptr) {
  return DiscoveryFilter_t{portType, const_cast<char*>(broadcast), deviceModel, nameFilter,
                           deviceType};
}

class DiscoveryEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    g_finders.Reset();
    g_service.Reset();
    {
      std::lock_guard lock(g_recorder.mutex);
      g_recorder.found.clear();
      g_recorder.inside = nullptr;
    }
    TiloIoSetFinderOps(&kFakeFinders);
    TdcSetDeviceListOps(&kFakeService);
  }
  void TearDown() override {
    StopAll();
    g_service.Drain();
    TiloIoSetFinderOps(nullptr);
    TdcSetDeviceListOps(nullptr);
    g_finders.Reset();
  }
  // The runtime's start order.
  void StartAll(const DiscoveryFilter_t& filter) {
    ASSERT_EQ(TdcStartDiscovery(nullptr, &filter), 0);
    ASSERT_EQ(TdcStartDiscoveryNotify(Record, &filter), 0);
    ASSERT_EQ(TdcStartDiscoveryPolling(), 0);
  }
  // The runtime's stop order; each part answers 5 when it was not running.
  static void StopAll() {
    TdcStopDiscoveryPolling();
    TdcStopDiscoveryNotify();
    TdcStopDiscovery();
  }
  static size_t Polls() {
    std::lock_guard lock(g_finders.mutex);
    return g_finders.udpPolls.size();
  }
};

// ---- Starting and stopping ------------------------------------------------------------------

TEST_F(DiscoveryEngine, BadFiltersAndCallbacksAreRefusedWithoutStartingAnything) {
  struct Case {
    const char* what;
    int portType, nameFilter;
  };
  const Case cases[] = {
      {"Bluetooth is 3 on this side, not 2", 2, 0},
      {"port type 5", 5, 0},
      {"port type -1", -1, 0},
      {"name filter 2", 0, 2},
      {"name filter -1", 1, -1},
  };
  for (const Case& c : cases) {
    const DiscoveryFilter_t filter = MakeFilter(c.portType, 0, c.nameFilter);
    EXPECT_EQ(TdcStartDiscovery(nullptr, &filter), 1) << c.what;
  }
  EXPECT_EQ(TdcStartDiscovery(nullptr, nullptr), 1);
  const DiscoveryFilter_t filter = MakeFilter();
  EXPECT_EQ(TdcStartDiscoveryNotify(nullptr, &filter), 1);
  EXPECT_EQ(TdcStartDiscoveryNotify(Record, nullptr), 1);
  std::lock_guard lock(g_finders.mutex);
  EXPECT_TRUE(g_finders.started.empty());
  EXPECT_EQ(TiloIoGetActiveFinders(), 0);
}

TEST_F(DiscoveryEngine, PortTypesStartTheirFindersAndTheNameFilterReachesTheLists) {
  struct Case {
    int portType, nameFilter;
    std::vector<std::string> started;
    int mask;
    int listFilter;
  };
  const std::string udp = "udp " + Addr(700);
  const Case cases[] = {
      {0, 0, {udp, "bt", "usb"}, 7, 1},
      {1, 1, {udp}, 1, -1},
      {3, 0, {"bt"}, 2, 1},
      {4, 1, {"usb"}, 4, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.portType);
    g_finders.Reset();
    const std::string broadcast = Addr(700);
    const DiscoveryFilter_t filter = MakeFilter(c.portType, 0, c.nameFilter, 0, broadcast.c_str());
    ASSERT_EQ(TdcStartDiscovery(nullptr, &filter), 0);
    EXPECT_EQ(TiloIoGetActiveFinders(), c.mask);
    // A second start while the finders run is refused and changes nothing.
    EXPECT_EQ(TdcStartDiscovery(nullptr, &filter), 5);
    EXPECT_EQ(TiloIoGetActiveFinders(), c.mask);
    {
      std::lock_guard lock(g_finders.mutex);
      EXPECT_EQ(g_finders.started, c.started);
    }
    if (c.listFilter >= 0) {
      EXPECT_EQ(TiloIoPollDiscovery(), 0);
      std::lock_guard lock(g_finders.mutex);
      ASSERT_FALSE(g_finders.listFilters.empty());
      for (int f : g_finders.listFilters) EXPECT_EQ(f, c.listFilter);
    }
    EXPECT_EQ(TdcStopDiscovery(), 0);
    EXPECT_EQ(TiloIoGetActiveFinders(), 0);
  }
}

TEST_F(DiscoveryEngine, FinderStartResultsAreTranslated) {
  const std::pair<int, int> cases[] = {{1, 1},   {4, 4},   {5, 10},    {6, 5},   {7, 2},
                                       {3, 255}, {2, 255}, {255, 255}, {-1, 255}};
  for (const auto& [io, tdc] : cases) {
    {
      std::lock_guard lock(g_finders.mutex);
      g_finders.udpStartResult = io;
    }
    const DiscoveryFilter_t filter = MakeFilter(1);
    EXPECT_EQ(TdcStartDiscovery(nullptr, &filter), tdc) << io;
    EXPECT_EQ(TdcStopDiscovery(), 0);
  }
}

TEST_F(DiscoveryEngine, EachSideRefusesASecondStartAndAStopWhileIdle) {
  EXPECT_EQ(TdcStopDiscoveryPolling(), 5);
  EXPECT_EQ(TdcStopDiscoveryNotify(), 5);
  EXPECT_EQ(TdcStopDiscovery(), 0);
  const DiscoveryFilter_t filter = MakeFilter(1);
  StartAll(filter);
  EXPECT_EQ(TdcStartDiscoveryNotify(Record, &filter), 5);
  EXPECT_EQ(TdcStartDiscoveryPolling(), 5);
  EXPECT_EQ(TdcStopDiscoveryPolling(), 0);
  EXPECT_EQ(TdcStopDiscoveryPolling(), 5);
  EXPECT_EQ(TdcStopDiscoveryNotify(), 0);
  EXPECT_EQ(TdcStopDiscoveryNotify(), 5);
  EXPECT_EQ(TdcStopDiscovery(), 0);
  // Everything can start again.
  StartAll(filter);
}

// ---- Polling ------------------------------------------------------------------------------------

TEST_F(DiscoveryEngine, TheFirstPollComesAfter200MsThenOneEverySecond) {
  const DiscoveryFilter_t filter = MakeFilter(1);
  ASSERT_EQ(TdcStartDiscovery(nullptr, &filter), 0);
  ASSERT_EQ(TdcStartDiscoveryNotify(Record, &filter), 0);
  const auto start = Clock::now();
  ASSERT_EQ(TdcStartDiscoveryPolling(), 0);
  ASSERT_TRUE(WaitFor([] { return Polls() >= 3; }));
  std::vector<Clock::time_point> polls;
  {
    std::lock_guard lock(g_finders.mutex);
    polls = g_finders.udpPolls;
  }
  const auto ms = [](Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  EXPECT_GE(ms(polls[0] - start), 200);
  EXPECT_LT(ms(polls[0] - start), 3000);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_GE(ms(polls[i] - polls[i - 1]), 1000) << i;
    EXPECT_LT(ms(polls[i] - polls[i - 1]), 4000) << i;
  }
  // The stop ends the polling thread long before its next poll is due.
  const auto stopStart = Clock::now();
  EXPECT_EQ(TdcStopDiscoveryPolling(), 0);
  EXPECT_LT(ms(Clock::now() - stopStart), 900);
  const size_t after = Polls();
  EXPECT_EQ(TdcStopDiscoveryNotify(), 0);
  EXPECT_EQ(Polls(), after);
}

TEST_F(DiscoveryEngine, PollsWithoutANotifySideAddNothingAndHarmNothing) {
  {
    std::lock_guard lock(g_finders.mutex);
    g_finders.udpRows = {Printer(701, "RP-S100")};
  }
  const DiscoveryFilter_t filter = MakeFilter(1, 1);
  ASSERT_EQ(TdcStartDiscovery(nullptr, &filter), 0);
  ASSERT_EQ(TdcStartDiscoveryPolling(), 0);
  ASSERT_TRUE(WaitFor([] { return Polls() >= 2; }));
  // A notify side that starts later gets the printer from the next poll.
  ASSERT_EQ(TdcStartDiscoveryNotify(Record, &filter), 0);
  EXPECT_TRUE(WaitFor([&] { return CountTarget("TCP:" + Addr(701)) == 1; })) << Text(Delivered());
}

// ---- Records from the finders -------------------------------------------------------------------

TEST_F(DiscoveryEngine, TransportFindsBecomeTargetsAndHybridsComeTwice) {
  const std::string ip = Addr(702);
  const std::string longAddress(300, 'a');
  {
    std::lock_guard lock(g_finders.mutex);
    g_finders.udpRows = {
        Printer(702, "RP-X5 abc"),
        Printer(703, "RP-X5D"),
        {TILOIO_TYPE_TCP, "no address", std::nullopt, std::nullopt, std::nullopt},
        {TILOIO_TYPE_TCP, "RP-long", longAddress, std::nullopt, std::nullopt},
        // Last, so that once it is delivered everything before it was handled.
        {TILOIO_TYPE_TCP, std::nullopt, Addr(704), std::nullopt, std::nullopt},
    };
  }
  const DiscoveryFilter_t filter = MakeFilter(1, 1);
  StartAll(filter);
  ASSERT_TRUE(WaitFor([&] { return CountTarget("TCP:" + Addr(704)) == 1; })) << Text(Delivered());
  const std::string x5d = Addr(703);
  const std::string mac = "00:1A:7D:DA:71:13";
  const std::string longTarget = ("TCP:" + longAddress).substr(0, 255);
  const std::vector<Found> expected = {
      {1, "TCP:" + ip, "RP-X5 abc", ip, mac, ""},
      {2, "TCP:" + ip, "RP-X5 abc", ip, mac, ""},
      {1, "TCP:" + x5d, "RP-X5D", x5d, mac, ""},
      {1, longTarget, "RP-long", std::nullopt, std::nullopt, ""},
      {1, "TCP:" + Addr(704), std::nullopt, std::nullopt, std::nullopt, ""},
  };
  EXPECT_EQ(Delivered(), expected) << Text(Delivered());
}

TEST_F(DiscoveryEngine, APrinterListedByEveryPollIsDeliveredOncePerNotifyRun) {
  {
    std::lock_guard lock(g_finders.mutex);
    g_finders.udpRows = {Printer(705, "RP-S100")};
  }
  const std::string target = "TCP:" + Addr(705);
  const DiscoveryFilter_t filter = MakeFilter(1, 1);
  StartAll(filter);
  ASSERT_TRUE(WaitFor([&] { return CountTarget(target) == 1; }));
  const size_t seen = Polls();
  ASSERT_TRUE(WaitFor([&] { return Polls() >= seen + 2; }));
  EXPECT_EQ(CountTarget(target), 1);

  // A new notify run reports it again.
  EXPECT_EQ(TdcStopDiscoveryNotify(), 0);
  ASSERT_EQ(TdcStartDiscoveryNotify(Record, &filter), 0);
  ASSERT_TRUE(WaitFor([&] { return CountTarget(target) == 2; }));
  const size_t again = Polls();
  ASSERT_TRUE(WaitFor([&] { return Polls() >= again + 2; }));
  EXPECT_EQ(CountTarget(target), 2);
}

TEST_F(DiscoveryEngine, BluetoothAndUsbFindsGetTheirPrefixAndBluetoothAddress) {
  {
    std::lock_guard lock(g_finders.mutex);
    g_finders.btRows = {
        {TILOIO_TYPE_BLUETOOTH, "RP-S100", "00:1A:7D:DA:71:13", std::nullopt, std::nullopt}};
    g_finders.usbRows = {
        {TILOIO_TYPE_USB, "RP-S100 USB", "USB\\VID_1234&PID_0001\\S1", std::nullopt, std::nullopt}};
  }
  const DiscoveryFilter_t filter = MakeFilter(0);
  StartAll(filter);
  ASSERT_TRUE(WaitFor([] { return Delivered().size() >= 2; }));
  const std::vector<Found> expected = {
      {1, "BT:00:1A:7D:DA:71:13", "RP-S100", std::nullopt, std::nullopt, "00:1A:7D:DA:71:13"},
      {1, "USB:USB\\VID_1234&PID_0001\\S1", "RP-S100 USB", std::nullopt, std::nullopt, ""},
  };
  EXPECT_EQ(Delivered(), expected) << Text(Delivered());
  // Neither is a network printer: no device service is asked.
  std::lock_guard lock(g_service.mutex);
  EXPECT_TRUE(g_service.asked.empty());
}

// ---- Devices behind a printer -------------------------------------------------------------------

TEST_F(DiscoveryEngine, HostedDevicesGetTargetsWithTheirIdAndTheServicePortDecidesTls) {
  struct Case {
    const char* what;
    int portResult;
    int32_t tlsPort;
    const char* prefix;
  };
  const Case cases[] = {
      {"port list fails", 255, 8143, "TCP:"},
      {"no TLS port", 0, 0, "TCP:"},
      {"TLS port 8143", 0, 8143, "TCPS:"},
  };
  const std::string ip = Addr(706);
  const std::string mac = "00:1A:7D:DA:71:14";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      std::lock_guard lock(g_recorder.mutex);
      g_recorder.found.clear();
    }
    {
      std::lock_guard lock(g_finders.mutex);
      g_finders.udpRows = {Printer(706, "RP-S100", mac)};
    }
    {
      std::lock_guard lock(g_service.mutex);
      g_service.scripts[ip] = {{{3, "kbd1", "KB-1"}}, false};
      g_service.portResult = c.portResult;
      g_service.ports[0] = 8009;
      g_service.ports[1] = c.tlsPort;
    }
    // Only targets with a device id: the printer itself stays out.
    const DiscoveryFilter_t filter = MakeFilter(1, 2);
    StartAll(filter);
    const std::string target = std::string(c.prefix) + ip + "[kbd1]";
    ASSERT_TRUE(WaitFor([&] { return CountTarget(target) == 1; })) << Text(Delivered());
    ASSERT_TRUE(WaitFor([&] { return g_service.AnsweredCount(ip) >= 1; }));
    StopAll();
    const std::vector<Found> expected = {{4, target, "KB-1", ip, mac, ""}};
    EXPECT_EQ(Delivered(), expected) << Text(Delivered());
    // Asked once, with the printer's address, its ip in the name's place, and its MAC.
    std::lock_guard lock(g_service.mutex);
    ASSERT_EQ(g_service.asked.size(), 1u);
    EXPECT_EQ(g_service.asked[0].host, ip);
    EXPECT_EQ(g_service.asked[0].name, ip);
    EXPECT_EQ(g_service.asked[0].mac, mac);
    g_service.asked.clear();
    g_service.answered.clear();
  }
}

TEST_F(DiscoveryEngine, ListedDeviceTypesMapAndTheTypeFilterSelects) {
  struct Case {
    int typeFilter;
    std::vector<std::string> ids;  // delivered hosted ids, in order
    bool printer;                  // the printer itself delivered
    std::string sentinel;          // the last entry this filter lets pass
  };
  // Entries of types 0..5 map to 1..6; any other (7, -3) to -1.
  const Case cases[] = {
      {0, {"p0", "h1", "d2", "k3", "s4", "c5", "x7", "n3"}, true, "z5"},
      {1, {"p0"}, true, "z0"},
      {4, {"k3"}, false, "z3"},
      {6, {"c5"}, false, "z5"},
  };
  const std::map<std::string, int32_t> types = {{"p0", 1}, {"h1", 2}, {"d2", 3},  {"k3", 4},
                                                {"s4", 5}, {"c5", 6}, {"x7", -1}, {"n3", -1}};
  const std::string ip = Addr(707);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typeFilter);
    {
      std::lock_guard lock(g_recorder.mutex);
      g_recorder.found.clear();
    }
    {
      std::lock_guard lock(g_finders.mutex);
      g_finders.udpRows = {Printer(707, "RP-S100")};
    }
    {
      std::lock_guard lock(g_service.mutex);
      std::vector<Entry> entries = {{0, "p0", "RP-S100"}, {1, "h1", "RP-H6000"},   {2, "d2", "DM"},
                                    {3, "k3", "KB"},      {4, "s4", "SC"},         {5, "c5", "SER"},
                                    {7, "x7", "odd"},     {-3, "n3", std::nullopt}};
      // One entry of each known type at the end: once the filter's own one is
      // delivered, every entry before it has been handled.
      for (int t = 0; t <= 5; ++t) {
        char id[8];
        std::snprintf(id, sizeof id, "z%d", t);
        entries.push_back({t, id, "Z"});
      }
      g_service.scripts[ip] = {entries, false};
    }
    const DiscoveryFilter_t filter = MakeFilter(1, 0, 0, c.typeFilter);
    StartAll(filter);
    const std::string sentinel = "TCP:" + ip + "[" + c.sentinel + "]";
    ASSERT_TRUE(WaitFor([&] { return CountTarget(sentinel) == 1; })) << Text(Delivered());
    StopAll();
    std::vector<std::string> ids;
    bool printer = false;
    for (const auto& f : Delivered()) {
      if (f.target == "TCP:" + ip) {
        printer = true;
        continue;
      }
      const auto open = f.target.find('[');
      ASSERT_NE(open, std::string::npos) << f.target;
      const std::string id = f.target.substr(open + 1, f.target.size() - open - 2);
      if (id[0] == 'z') continue;
      ids.push_back(id);
      EXPECT_EQ(f.type, types.at(id)) << id;
      EXPECT_EQ(f.bd, "");
    }
    EXPECT_EQ(ids, c.ids) << Text(Delivered());
    EXPECT_EQ(printer, c.printer);
  }
}

TEST_F(DiscoveryEngine, AHybridPrinterIsAskedForItsDevicesOnceAndBothListsAreKept) {
  const std::string ip = Addr(708);
  {
    std::lock_guard lock(g_finders.mutex);
    g_finders.udpRows = {Printer(708, "RP-X5 abc")};
  }
  {
    std::lock_guard lock(g_service.mutex);
    g_service.scripts[ip] = {{{3, "kbd1", "KB"}}, false};
  }
  const DiscoveryFilter_t filter = MakeFilter(1, 0);
  StartAll(filter);
  ASSERT_TRUE(WaitFor([&] { return CountTarget("TCP:" + ip + "[kbd1]") == 1; }));
  ASSERT_TRUE(WaitFor([&] { return Polls() >= 3; }));
  EXPECT_EQ(g_service.AskedCount(ip), 1);
  EXPECT_EQ(CountTarget("TCP:" + ip, 1), 1);
  EXPECT_EQ(CountTarget("TCP:" + ip, 2), 1);
  // A printer only without ids: nobody asks its service.
  StopAll();
  g_service.Reset();
  const DiscoveryFilter_t plain = MakeFilter(1, 1);
  StartAll(plain);
  ASSERT_TRUE(WaitFor([&] { return CountTarget("TCP:" + ip, 1) == 2; }));
  ASSERT_TRUE(WaitFor([&] { return Polls() >= 2; }));
  EXPECT_EQ(g_service.AskedCount(ip), 0);
}

// A device-list answer that comes after the notify stop is dropped, also when
// a new run is going on that did not ask that printer; nothing touches the
// list or the signal of the run that asked.
TEST_F(DiscoveryEngine, LateDeviceListAnswersAreDropped) {
  const std::string first = Addr(709), second = Addr(710), third = Addr(711);
  {
    std::lock_guard lock(g_finders.mutex);
    g_finders.udpRows = {Printer(709, "RP-S100"), Printer(711, "RP-S100")};
  }
  {
    std::lock_guard lock(g_service.mutex);
    g_service.scripts[first] = {{{3, "late1", "KB"}}, true};
    g_service.scripts[third] = {{{3, "late3", "KB"}}, true};
    g_service.scripts[second] = {{{3, "kbd2", "KB"}}, true};
  }
  const DiscoveryFilter_t filter = MakeFilter(1, 0);
  StartAll(filter);
  ASSERT_TRUE(WaitFor([&] { return g_service.AskedCount(first) == 1; }));
  ASSERT_TRUE(WaitFor([&] { return g_service.AskedCount(third) == 1; }));
  StopAll();

  // With nothing running.
  g_service.Release(third);
  ASSERT_TRUE(WaitFor([&] { return g_service.AnsweredCount(third) == 1; }));

  // During a run that only knows the second printer.
  {
    std::lock_guard lock(g_finders.mutex);
    g_finders.udpRows = {Printer(710, "RP-S100")};
  }
  StartAll(filter);
  ASSERT_TRUE(WaitFor([&] { return g_service.AskedCount(second) == 1; }));
  g_service.Release(first);
  ASSERT_TRUE(WaitFor([&] { return g_service.AnsweredCount(first) == 1; }));
  // The second printer's answer comes after the late one: once it is
  // delivered, the late one was handled before it.
  g_service.Release(second);
  ASSERT_TRUE(WaitFor([&] { return CountTarget("TCP:" + second + "[kbd2]") == 1; }));
  for (const auto& f : Delivered()) {
    EXPECT_EQ(f.target.find("late"), std::string::npos) << f.target;
  }
}

TEST_F(DiscoveryEngine, AStopWhileAnAnswerIsBeingAddedNeverLosesTheList) {
  // Many answers race the stops; run under the sanitizers this shows any
  // access to a list or signal that a stop has freed.
  const std::string ip = Addr(712);
  for (int round = 0; round < 20; ++round) {
    {
      std::lock_guard lock(g_finders.mutex);
      g_finders.udpRows = {Printer(712, "RP-S100")};
    }
    {
      std::lock_guard lock(g_service.mutex);
      std::vector<Entry> entries;
      for (int i = 0; i < 50; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "d%d", i);
        entries.push_back({3, id, "KB"});
      }
      g_service.scripts[ip] = {entries, true};
    }
    const DiscoveryFilter_t filter = MakeFilter(1, 0);
    StartAll(filter);
    ASSERT_TRUE(WaitFor([&] { return g_service.AskedCount(ip) == round + 1; }));
    g_service.Release(ip);
    StopAll();
  }
  g_service.Drain();
}

// ---- The callback's own thread
// --------------------------------------------------------------------

TEST_F(DiscoveryEngine, AStopFromInsideTheCallbackIsRefusedInsteadOfWaitingForItself) {
  {
    std::lock_guard lock(g_finders.mutex);
    g_finders.udpRows = {Printer(713, "RP-S100")};
  }
  std::atomic<int> inside{-100};
  {
    std::lock_guard lock(g_recorder.mutex);
    g_recorder.inside = [&] { inside = TdcStopDiscoveryNotify(); };
  }
  const DiscoveryFilter_t filter = MakeFilter(1, 1);
  StartAll(filter);
  ASSERT_TRUE(WaitFor([&] { return inside != -100; }));
  EXPECT_EQ(inside, 5);
  EXPECT_EQ(TdcStopDiscoveryNotify(), 0);
}

}  // namespace

namespace {

// ---- Bluetooth and USB on the simulated backend
// ----------------------------------------------------

class DiscoveryEngineSim : public device_test::SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    TiloIoSetFinderOps(nullptr);
    TdcSetDeviceListOps(&kFakeService);
    g_service.Reset();
    std::lock_guard lock(g_recorder.mutex);
    g_recorder.found.clear();
    g_recorder.inside = nullptr;
  }
  void TearDown() override {
    TdcStopDiscoveryPolling();
    TdcStopDiscoveryNotify();
    TdcStopDiscovery();
    g_service.Drain();
    TdcSetDeviceListOps(nullptr);
    EXPECT_TRUE(WaitFor([] { return TiloIoBtAddressLookupsRunning() == 0; }));
    SimTest::TearDown();
  }
  void AddBluetooth(const std::string& address, const std::string& name) {
    hal::SimBluetoothDevice device;
    device.address = address;
    device.name = name;
    sim->AddBluetoothDevice(device);
  }
};

TEST_F(DiscoveryEngineSim, BluetoothAndUsbFindsBecomeTargets) {
  AddBluetooth("00:1A:7D:DA:71:13", "RP-S100");
  hal::SimUsbDevice usb;
  usb.vendorId = hal::UsbVendorId();
  usb.serial = "S1";
  usb.name = "RP-S100";
  const std::string usbId = sim->PlugUsbDevice(usb);
  for (int portType : {3, 4}) {
    SCOPED_TRACE(portType);
    {
      std::lock_guard lock(g_recorder.mutex);
      g_recorder.found.clear();
    }
    const DiscoveryFilter_t filter = MakeFilter(portType);
    ASSERT_EQ(TdcStartDiscovery(nullptr, &filter), 0);
    ASSERT_EQ(TdcStartDiscoveryNotify(Record, &filter), 0);
    ASSERT_EQ(TdcStartDiscoveryPolling(), 0);
    ASSERT_TRUE(WaitFor([] { return !Delivered().empty(); }));
    EXPECT_EQ(TdcStopDiscoveryPolling(), 0);
    EXPECT_EQ(TdcStopDiscoveryNotify(), 0);
    EXPECT_EQ(TdcStopDiscovery(), 0);
    const Found expected =
        portType == 3 ? Found{1,
                              "BT:00:1A:7D:DA:71:13",
                              "RP-S100",
                              std::nullopt,
                              std::nullopt,
                              "00:1A:7D:DA:71:13"}
                      : Found{1, "USB:" + usbId, "RP-S100", std::nullopt, std::nullopt, ""};
    EXPECT_EQ(Delivered(), std::vector<Found>{expected}) << Text(Delivered());
  }
}

TEST_F(DiscoveryEngineSim, TheNameFilterKeepsOtherBluetoothDevicesOut) {
  AddBluetooth("00:1A:7D:DA:71:20", "Phone");
  AddBluetooth("00:1A:7D:DA:71:21", "RP-S100");
  for (int nameFilter : {0, 1}) {
    SCOPED_TRACE(nameFilter);
    {
      std::lock_guard lock(g_recorder.mutex);
      g_recorder.found.clear();
    }
    const DiscoveryFilter_t filter = MakeFilter(3, 0, nameFilter);
    ASSERT_EQ(TdcStartDiscovery(nullptr, &filter), 0);
    ASSERT_EQ(TdcStartDiscoveryNotify(Record, &filter), 0);
    ASSERT_EQ(TdcStartDiscoveryPolling(), 0);
    ASSERT_TRUE(WaitFor([] { return CountTarget("BT:00:1A:7D:DA:71:21") == 1; }));
    EXPECT_EQ(TdcStopDiscoveryPolling(), 0);
    // One more poll, by hand, once the finder surely lists both devices and a
    // third that comes last: when the third is delivered, the phone had its chance.
    AddBluetooth("00:1A:7D:DA:71:22", "RP-S200");
    ASSERT_TRUE(WaitFor([] {
      int count = 0, result = -1;
      TiloIoBtGetFoundDevices(0, &count, &result);
      return result == 0 && count == 3 && TiloIoBtAddressLookupsRunning() == 0;
    }));
    EXPECT_EQ(TiloIoPollDiscovery(), 0);
    ASSERT_TRUE(WaitFor([] { return CountTarget("BT:00:1A:7D:DA:71:22") == 1; }));
    EXPECT_EQ(TdcStopDiscoveryNotify(), 0);
    EXPECT_EQ(TdcStopDiscovery(), 0);
    EXPECT_EQ(CountTarget("BT:00:1A:7D:DA:71:20"), nameFilter == 1 ? 1 : 0) << Text(Delivered());
    sim->RemoveBluetoothDevice("00:1A:7D:DA:71:22");
  }
}

}  // namespace

namespace {

// ---- Printer emulators on loopback
// ---------------------------------------------------------------

class DiscoveryEngineEmulators : public DiscoveryEngine {
 protected:
  void SetUp() override {
    DiscoveryEngine::SetUp();
    TiloIoSetFinderOps(nullptr);  // the real UDP finder
  }
  void TearDown() override {
    DiscoveryEngine::TearDown();
    TiloIoUdpSetDiscoveryDestinations(nullptr, 0);
  }
};

// The default broadcast text goes, through the test's destination list, to
// both emulators: a printer without DHCP is addressed by its IP, one with DHCP
// by its MAC; each one's device service is asked with that address.
TEST_F(DiscoveryEngineEmulators, EmulatedPrintersAndTheirHostedDevicesAreDelivered) {
  auto plain = io_test::startEmulator(720);
  auto dhcp = io_test::startEmulator(721);
  ASSERT_TRUE(plain && dhcp);
  plain->setName("RP-S100");
  plain->setMac({0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13});
  dhcp->setName("RP-X5 abc");
  dhcp->setMac({0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x14});
  dhcp->setDhcp(true);
  const std::string ipA = Addr(720), ipB = Addr(721);
  const std::string macA = "00:1A:7D:DA:71:13", macB = "00:1A:7D:DA:71:14";
  const char* destinations[] = {ipA.c_str(), ipB.c_str()};
  ASSERT_EQ(TiloIoUdpSetDiscoveryDestinations(destinations, 2), 0);
  {
    std::lock_guard lock(g_service.mutex);
    g_service.scripts[ipA] = {{{3, "kbd1", "KB-100"}}, false};
    g_service.scripts[macB] = {{{4, "scan1", "SC-1"}}, false};
  }
  const DiscoveryFilter_t filter = MakeFilter(0, 0, 0, 0, "255.255.255.255");
  StartAll(filter);
  ASSERT_TRUE(WaitFor([&] {
    return CountTarget("TCP:" + ipA + "[kbd1]") == 1 && CountTarget("TCP:" + macB + "[scan1]") == 1;
  })) << Text(Delivered());
  StopAll();
  std::vector<Found> found = Delivered();
  std::vector<Found> expected = {
      {1, "TCP:" + ipA, "RP-S100", ipA, macA, ""},
      {1, "TCP:" + macB, "RP-X5 abc", ipB, macB, ""},
      {2, "TCP:" + macB, "RP-X5 abc", ipB, macB, ""},
      {4, "TCP:" + ipA + "[kbd1]", "KB-100", ipA, macA, ""},
      {5, "TCP:" + macB + "[scan1]", "SC-1", ipB, macB, ""},
  };
  const auto order = [](const Found& a, const Found& b) {
    return std::tie(a.target, a.type) < std::tie(b.target, b.type);
  };
  std::sort(found.begin(), found.end(), order);
  std::sort(expected.begin(), expected.end(), order);
  EXPECT_EQ(found, expected) << Text(found);
  std::lock_guard lock(g_service.mutex);
  EXPECT_EQ(g_service.asked.size(), 2u);
}

}  // namespace
