#include "service/device_queries.h"

#include <gtest/gtest.h>

#include <array>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http_test_support.h"
#include "service/live_threads.h"

namespace tilo2::core {
namespace {

using namespace std::chrono_literals;
using service_emulator::Device;
using service_emulator::HttpOverride;

constexpr const char* kListPath = "/orvik_tilodevice/getDeviceList.cgi";

struct Entry {
  int32_t type;
  std::string deviceId;
  std::optional<std::string> model;
  bool operator==(const Entry&) const = default;
};

// One call of the device-list receiver, copied out.
struct ListCall {
  std::string host;
  std::optional<std::string> name;
  std::optional<std::string> mac;
  bool nullEntries = false;
  std::vector<Entry> entries;
};

// Receives device lists in place of the discovery engine while it lives.
class ListReceiver {
 public:
  ListReceiver() {
    instance_ = this;
    TdevSetDeviceListSink(&Sink);
  }
  ~ListReceiver() {
    TdevSetDeviceListSink(nullptr);
    instance_ = nullptr;
  }
  bool waitFor(size_t count, std::chrono::milliseconds limit = 30s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return calls_.size() >= count; });
  }
  std::vector<ListCall> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  static void Sink(const char* host, const char* name, const char* mac,
                   TdevDeviceListEntry_t* entries, int32_t count) {
    ListCall call;
    call.host = host ? host : "(null)";
    if (name) call.name = name;
    if (mac) call.mac = mac;
    call.nullEntries = entries == nullptr;
    for (int32_t i = 0; entries && i < count; ++i) {
      call.entries.push_back(Entry{
          entries[i].type, entries[i].deviceId,
          entries[i].modelName ? std::optional<std::string>(entries[i].modelName) : std::nullopt});
    }
    std::lock_guard lock(instance_->mutex_);
    instance_->calls_.push_back(std::move(call));
    instance_->changed_.notify_all();
  }
  static inline ListReceiver* instance_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ListCall> calls_;
};

class DeviceQueriesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(io_test::Eventually([&] { return TdevLiveThreadCount() == threadsBefore_; }));
  }
  int32_t threadsBefore_ = TdevLiveThreadCount();
};

TEST_F(DeviceQueriesTest, DeviceListMapsTypesAndOffersAHybridPrinterTwice) {
  auto service = http_test::startService(940);
  ASSERT_TRUE(service);
  const std::string host = service->options().address;
  service->removeDevice("local_printer");
  // The emulator lists its devices ordered by id.
  service->setDevice("a_printer", Device{"type_printer", 0, 0, "TL-M30"});
  service->setDevice("b_hybrid", Device{"type_hybrid_printer", 0, 0, "TL-H6000"});
  service->setDevice("c_display", Device{"type_display", 0, 0, "DM-1"});
  service->setDevice("d_keyboard", Device{"type_keyboard", 0, 0, "KB"});
  service->setDevice("e_fax", Device{"type_fax", 0, 0, "FX"});
  service->setDevice("f_scanner", Device{"type_scanner", 0, 0, "SC"});
  service->setDevice("g_serial", Device{"type_simple_serial", 0, 0, "SR"});

  ListReceiver receiver;
  ASSERT_EQ(TdevGetDeviceList(host.c_str(), "Front desk", "00:11:22:33:44:55"), 0);
  ASSERT_TRUE(receiver.waitFor(2));
  const auto calls = receiver.calls();
  EXPECT_EQ(calls[0].host, host);
  EXPECT_EQ(calls[0].name, std::optional<std::string>("Front desk"));
  EXPECT_EQ(calls[0].mac, std::optional<std::string>("00:11:22:33:44:55"));
  // The unknown type is left out; the hybrid printer is a printer here.
  const std::vector<Entry> list = {
      {0, "a_printer", "TL-M30"}, {0, "b_hybrid", "TL-H6000"}, {2, "c_display", "DM-1"},
      {3, "d_keyboard", "KB"},    {4, "f_scanner", "SC"},      {5, "g_serial", "SR"},
  };
  EXPECT_EQ(calls[0].entries, list);
  EXPECT_EQ(calls[1].host, host);
  EXPECT_EQ(calls[1].name, calls[0].name);
  EXPECT_EQ(calls[1].entries, (std::vector<Entry>{{1, "b_hybrid", "TL-H6000"}}));
  EXPECT_FALSE(receiver.waitFor(3, 300ms));

  const auto requests = service->httpRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].raw,
            "POST /orvik_tilodevice/getDeviceList.cgi?devid=&timeout=3000 "
            "HTTP/1.1\r\nHost: " +
                host + "\r\nContent-Length: 0\r\n\r\n");
}

// What the list says decides whether a hybrid printer is offered once more.
TEST_F(DeviceQueriesTest, HybridOfferNeedsTheExactTypeAndAModelOtherThanX5D) {
  auto service = http_test::startService(941);
  ASSERT_TRUE(service);
  const std::string host = service->options().address;
  struct Case {
    const char* name;
    const char* body;
    std::vector<Entry> list;
    bool hybridOffered;
  };
  const Case cases[] = {
      {"X5D model",
       R"([{"deviceId":"h","deviceType":"type_hybrid_printer","modelName":"TL-X5D II"}])",
       {{0, "h", "TL-X5D II"}},
       false},
      {"no model",
       R"([{"deviceId":"h","deviceType":"type_hybrid_printer"}])",
       {{0, "h", std::nullopt}},
       false},
      // Leading parts of the type are no type at all: no phantom hybrid.
      {"empty type", R"([{"deviceId":"h","deviceType":"","modelName":"TL-H6000"}])", {}, false},
      {"type_", R"([{"deviceId":"h","deviceType":"type_","modelName":"TL-H6000"}])", {}, false},
      {"one object",
       R"({"deviceId":"h","deviceType":"type_hybrid_printer","modelName":"M"})",
       {{0, "h", "M"}},
       true},
  };
  ListReceiver receiver;
  size_t expected = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HttpOverride reply;
    reply.body = c.body;
    service->overrideHttp(kListPath, reply);
    ASSERT_EQ(TdevGetDeviceList(host.c_str(), nullptr, nullptr), 0);
    expected += c.hybridOffered ? 2 : 1;
    ASSERT_TRUE(receiver.waitFor(expected));
    // Wait for the request thread, so a late second call would be seen.
    ASSERT_TRUE(io_test::Eventually([&] { return TdevLiveThreadCount() == threadsBefore_; }));
    const auto calls = receiver.calls();
    ASSERT_EQ(calls.size(), expected);
    const auto& list = calls[expected - (c.hybridOffered ? 2 : 1)];
    EXPECT_FALSE(list.name);
    EXPECT_FALSE(list.mac);
    EXPECT_EQ(list.entries, c.list);
    EXPECT_EQ(list.nullEntries, c.list.empty());
    if (c.hybridOffered) {
      EXPECT_EQ(calls.back().entries, (std::vector<Entry>{{1, "h", "M"}}));
    }
  }
}

// Discovery hears of every query: a failed one reports no entries.
TEST_F(DeviceQueriesTest, DeviceListWithoutUsableAnswerReportsNothingFound) {
  auto service = http_test::startService(942);
  ASSERT_TRUE(service);
  const std::string host = service->options().address;
  struct Case {
    const char* name;
    HttpOverride override;
  };
  auto shape = [](auto&& edit) {
    HttpOverride o;
    edit(o);
    return o;
  };
  const Case cases[] = {
      {"silent", shape([](HttpOverride& o) { o.silent = true; })},
      {"status 500", shape([](HttpOverride& o) { o.status = 500; })},
      {"malformed", shape([](HttpOverride& o) { o.body = R"([{"deviceId":"a",)"; })},
      {"item without type", shape([](HttpOverride& o) { o.body = R"([{"deviceId":"a"}])"; })},
      {"empty array", shape([](HttpOverride& o) { o.body = "[]"; })},
  };
  ListReceiver receiver;
  size_t expected = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    service->overrideHttp(kListPath, c.override);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(TdevGetDeviceList(host.c_str(), "n", "m"), 0);
    ASSERT_TRUE(receiver.waitFor(++expected));
    // Within the query's 3000 ms and some slack.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
    const auto call = receiver.calls().back();
    EXPECT_EQ(call.host, host);
    EXPECT_EQ(call.name, std::optional<std::string>("n"));
    EXPECT_TRUE(call.nullEntries);
    EXPECT_TRUE(call.entries.empty());
  }
  ASSERT_TRUE(io_test::Eventually([&] { return TdevLiveThreadCount() == threadsBefore_; }));
  EXPECT_EQ(receiver.calls().size(), expected);
}

TEST_F(DeviceQueriesTest, DeviceListStartFailuresAnswerAtOnce) {
  io_test::claimAddress(943);
  const std::string nobody = io_test::address(943);
  ListReceiver receiver;
  EXPECT_EQ(TdevGetDeviceList(nullptr, "n", "m"), 1);
  EXPECT_TRUE(receiver.calls().empty());
  // Nobody listens: the refusal is no row of the HTTP table (8), and the
  // receiver hears of it before the call returns.
  TdevSetHttpPorts(nobody.c_str(), 1, 2);
  EXPECT_EQ(TdevGetDeviceList(nobody.c_str(), "n", nullptr), 8);
  TdevSetHttpPorts(nobody.c_str(), 0, 0);
  const auto calls = receiver.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].host, nobody);
  EXPECT_EQ(calls[0].name, std::optional<std::string>("n"));
  EXPECT_FALSE(calls[0].mac);
  EXPECT_TRUE(calls[0].nullEntries);
}

TEST_F(DeviceQueriesTest, SystemVersionReadsUnitsAndReportsNoneWhenUnanswered) {
  auto service = http_test::startService(944);
  ASSERT_TRUE(service);
  const std::string host = service->options().address;
  service->setUnits(true, false, true);
  std::array<uint8_t, 3> units{9, 9, 9};
  ASSERT_EQ(TdevGetSystemVersion(host.c_str(), units.data()), 0);
  EXPECT_EQ(units, (std::array<uint8_t, 3>{1, 0, 1}));

  // A silent service: no units, result 0, within the query's time.
  HttpOverride silent;
  silent.silent = true;
  service->overrideHttp("getSystemVersion.cgi", silent);
  units = {9, 9, 9};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(TdevGetSystemVersion(host.c_str(), units.data()), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  EXPECT_EQ(units, (std::array<uint8_t, 3>{0, 0, 0}));

  // "1" only, exactly: anything else is no unit.
  HttpOverride odd;
  odd.body = R"({"Services":[{"EndorsementUnit":"","ValidationUnit":"1","MICRUnit":"11"}]})";
  service->overrideHttp("getSystemVersion.cgi", odd);
  ASSERT_EQ(TdevGetSystemVersion(host.c_str(), units.data()), 0);
  EXPECT_EQ(units, (std::array<uint8_t, 3>{0, 1, 0}));

  const auto requests = service->httpRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].requestLine,
            "POST /orvik_tilodevice/getSystemVersion.cgi?devid=&timeout=3000 HTTP/1.1");
}

TEST_F(DeviceQueriesTest, PortListReadsBothPortsAndMissingOnesAsZero) {
  auto service = http_test::startService(945);
  ASSERT_TRUE(service);
  const std::string host = service->options().address;
  std::array<int32_t, 2> ports{-7, -7};
  ASSERT_EQ(TdevGetSystemPortList(host.c_str(), ports.data()), 0);
  EXPECT_EQ(ports, (std::array<int32_t, 2>{8009, 8143}));

  HttpOverride plainOnly;
  plainOnly.body = R"({"NativeSocket":8009})";
  service->overrideHttp("getSystemPortList.cgi", plainOnly);
  ASSERT_EQ(TdevGetSystemPortList(host.c_str(), ports.data()), 0);
  EXPECT_EQ(ports, (std::array<int32_t, 2>{8009, 0}));

  HttpOverride broken;
  broken.body = "{\"NativeSocket\":";
  service->overrideHttp("getSystemPortList.cgi", broken);
  ports = {-7, -7};
  ASSERT_EQ(TdevGetSystemPortList(host.c_str(), ports.data()), 0);
  EXPECT_EQ(ports, (std::array<int32_t, 2>{0, 0}));
  EXPECT_EQ(service->httpRequests().back().requestLine,
            "POST /orvik_tilodevice/getSystemPortList.cgi?devid=&timeout=3000 HTTP/1.1");
}

TEST_F(DeviceQueriesTest, BlockingQueriesRefuseBadArgumentsAndFailedStarts) {
  io_test::claimAddress(946);
  const std::string nobody = io_test::address(946);
  uint8_t units[3] = {9, 9, 9};
  int32_t ports[2] = {-7, -7};
  EXPECT_EQ(TdevGetSystemVersion(nullptr, units), 1);
  EXPECT_EQ(TdevGetSystemVersion(nobody.c_str(), nullptr), 1);
  EXPECT_EQ(TdevGetSystemPortList(nullptr, ports), 1);
  EXPECT_EQ(TdevGetSystemPortList(nobody.c_str(), nullptr), 1);
  // Refused: channel code 8, the client's failure 255; nothing written.
  TdevSetHttpPorts(nobody.c_str(), 1, 2);
  EXPECT_EQ(TdevGetSystemVersion(nobody.c_str(), units), 255);
  EXPECT_EQ(TdevGetSystemPortList(nobody.c_str(), ports), 255);
  TdevSetHttpPorts(nobody.c_str(), 0, 0);
  EXPECT_EQ(units[0], 9);
  EXPECT_EQ(ports[0], -7);
}

}  // namespace
}  // namespace tilo2::core
