#include "service/status_monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "http_test_support.h"
#include "service/device_handles.h"
#include "service/host_connection.h"
#include "service/live_threads.h"

namespace tilo2::core {
namespace {

using namespace std::chrono_literals;
using service_emulator::Device;
using service_emulator::HttpOverride;
using service_emulator::StatusAnswer;

// ---- Slot recorder ------------------------------------------------------------------------

// One slot call: 'P' printer or 'H' hybrid, its index, and the value of
// printer slots 0 (status) and 13 (battery).
struct Event {
  char kind;
  int index;
  int64_t value;
  bool operator==(const Event&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Event& e) {
  return out << e.kind << e.index << "(" << std::hex << e.value << std::dec << ")";
}

std::mutex g_eventMutex;
std::vector<Event> g_events;

void Record(Event event) {
  std::lock_guard lock(g_eventMutex);
  g_events.push_back(event);
}
std::vector<Event> Events() {
  std::lock_guard lock(g_eventMutex);
  return g_events;
}
void ClearEvents() {
  std::lock_guard lock(g_eventMutex);
  g_events.clear();
}

void StatusSlot(TdevPrinterHandle_t*, const char*, const char*, uint32_t status) {
  Record({'P', 0, status});
}
void BatterySlot(TdevPrinterHandle_t*, const char*, const char*, int32_t battery) {
  Record({'P', 13, battery});
}
template <char kKind, int kIndex>
void EventSlot(TdevPrinterHandle_t*, const char*, const char*) {
  Record({kKind, kIndex, 0});
}

template <char kKind, int... kIndex>
void FillEventSlots(TdevPrinterHandle_t* handle, std::integer_sequence<int, kIndex...>) {
  if constexpr (kKind == 'P') {
    (TdevSetPrinterCallback(handle, kIndex + 1,
                            reinterpret_cast<TdevAnyCallback>(&EventSlot<'P', kIndex + 1>)),
     ...);
  } else {
    (TdevSetHybridPrinterCallback(handle, kIndex,
                                  reinterpret_cast<TdevAnyCallback>(&EventSlot<'H', kIndex>)),
     ...);
  }
}

// Fills every status slot of the handle with the recorder.
void FillSlots(TdevPrinterHandle_t* handle) {
  if (handle->type == TDEV_DEVICE_PRINTER) {
    TdevSetPrinterCallback(handle, 0, reinterpret_cast<TdevAnyCallback>(&StatusSlot));
    FillEventSlots<'P'>(handle, std::make_integer_sequence<int, 12>());
    TdevSetPrinterCallback(handle, 13, reinterpret_cast<TdevAnyCallback>(&BatterySlot));
  } else {
    FillEventSlots<'H'>(handle, std::make_integer_sequence<int, 16>());
  }
}

// ---- Without a peer -----------------------------------------------------------------------------

TEST(StatusRequest, SoapBodyBytes) {
  EXPECT_EQ(TdevStatusRequestBody(),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
            "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
            "<tilo-print xmlns=\"http://www.orvik.example/schemas/2011/03/tilo-print\"/>"
            "</s:Body></s:Envelope>");
}

TEST(StatusRequest, StoredWordGetsSlipBitUnlessAllThreeKeepBitsAreSet) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {0x0, 0x10000000},        {0x8, 0x10000008},        {0x40600000, 0x40600000},
      {0x40600008, 0x40600008}, {0x40400000, 0x50400000}, {0x10000000, 0x10000000},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_EQ(TdevAdjustStatus(in), out);
  }
}

// Which slots a change calls, in their order (no connection: host "").
TEST(StatusChange, SlotsFollowTheChangedBitsInOrder) {
  struct Case {
    uint32_t type;
    uint32_t from;
    uint32_t to;
    std::vector<Event> events;
  };
  const Case cases[] = {
      {TDEV_DEVICE_PRINTER, 0x0, 0x8, {{'P', 0, 0x8}, {'P', 2, 0}}},
      {TDEV_DEVICE_PRINTER, 0x8, 0x0, {{'P', 0, 0x0}, {'P', 1, 0}}},
      // No response: PowerOff alone, whatever else changed.
      {TDEV_DEVICE_PRINTER, 0x8, 0x1 | 0x20, {{'P', 0, 0x21}, {'P', 3, 0}}},
      {TDEV_DEVICE_PRINTER,
       0x0,
       0x20 | 0x80000 | 0x20000 | 0x4 | 0x8,
       {{'P', 0, 0xA002C}, {'P', 2, 0}, {'P', 5, 0}, {'P', 8, 0}, {'P', 9, 0}, {'P', 11, 0}}},
      {TDEV_DEVICE_PRINTER,
       0x80000 | 0x4 | 0x20,
       0x20000,
       {{'P', 0, 0x20000}, {'P', 4, 0}, {'P', 7, 0}, {'P', 10, 0}, {'P', 12, 0}}},
      {TDEV_DEVICE_PRINTER, 0x20000, 0x0, {{'P', 0, 0x0}, {'P', 6, 0}}},
      // Slot 0 carries the masked word; bits outside the mask are no change.
      {TDEV_DEVICE_PRINTER, 0x0, 0x10000000 | 0x2, {{'P', 0, 0x10000000}}},
      {TDEV_DEVICE_PRINTER, 0x0, 0x2 | 0x80000000, {}},
      {TDEV_DEVICE_HYBRID_PRINTER, 0x0, 0x8 | 0x1, {{'H', 2, 0}}},
      {TDEV_DEVICE_HYBRID_PRINTER,
       0x10000000,
       0x8 | 0x20 | 0x80000 | 0x4 | 0x10000 | 0x40000,
       {{'H', 1, 0},
        {'H', 4, 0},
        {'H', 7, 0},
        {'H', 8, 0},
        {'H', 10, 0},
        {'H', 12, 0},
        {'H', 15, 0}}},
      {TDEV_DEVICE_HYBRID_PRINTER,
       0x8 | 0x20 | 0x20000 | 0x4 | 0x10000 | 0x40000,
       0x20000 | 0x10000000,
       {{'H', 0, 0}, {'H', 3, 0}, {'H', 9, 0}, {'H', 11, 0}, {'H', 13, 0}, {'H', 14, 0}}},
      {TDEV_DEVICE_HYBRID_PRINTER, 0x20000, 0x0, {{'H', 5, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "type " << c.type << " 0x" << std::hex << c.from << " -> 0x" << c.to);
    TdevPrinterHandle_t handle;
    handle.type = c.type;
    handle.deviceId = "local_printer";
    FillSlots(&handle);
    ClearEvents();
    TdevNotifyStatusChange(&handle, c.from, c.to);
    EXPECT_EQ(Events(), c.events);
  }
}

// ---- Against the emulator
// ------------------------------------------------------------------------

class StatusMonitorTest : public ::testing::Test {
 protected:
  // An emulator on 127.0.0.n with one device of the given type, connected and opened.
  void Open(int n, uint32_t type) {
    service_ = http_test::startService(n);
    ASSERT_TRUE(service_);
    host_ = service_->options().address;
    service_->setDevice("local_printer",
                        Device{type == TDEV_DEVICE_PRINTER ? "type_printer" : "type_hybrid_printer",
                               0, 0, "TL-M30"});
    ASSERT_EQ(TdevConnectSync(nullptr, host_.c_str(), 0, &connection_, 10000), 0);
    void* handle = nullptr;
    ASSERT_EQ(TdevOpenDeviceSync(nullptr, connection_, "local_printer", static_cast<int32_t>(type),
                                 &handle),
              0);
    handle_ = static_cast<TdevPrinterHandle_t*>(handle);
    FillSlots(handle_);
    ClearEvents();
  }
  void TearDown() override {
    if (handle_) {
      EXPECT_EQ(TdevStopMonitor(handle_), 0);
      TdevCloseDeviceSync(nullptr, connection_, handle_);
    }
    if (connection_) {
      TdevDisconnectIfUnused(nullptr, connection_);
      TdevDestroyConnection(connection_);
    }
    EXPECT_TRUE(io_test::Eventually([&] { return TdevLiveThreadCount() == threadsBefore_; }))
        << TdevLiveThreadCount() << " threads, " << threadsBefore_ << " before";
    TdevSetHttpPorts(host_.c_str(), 0, 0);
  }
  bool WaitForEvents(size_t count) {
    return io_test::Eventually([&] { return Events().size() >= count; });
  }

  int32_t threadsBefore_ = TdevLiveThreadCount();
  std::unique_ptr<service_emulator::ServiceEmulator> service_;
  std::string host_;
  TdevConnection_t* connection_ = nullptr;
  TdevPrinterHandle_t* handle_ = nullptr;
};

TEST_F(StatusMonitorTest, MonitorReportsEachChangeOnceAndIgnoresTheServiceTimeout) {
  ASSERT_NO_FATAL_FAILURE(Open(955, TDEV_DEVICE_PRINTER));
  service_->queueStatus("local_printer", StatusAnswer{0x8, "", true, 0, false});
  // The service's own time-out towards the printer says nothing about it.
  service_->queueStatus("local_printer", StatusAnswer{0x20, "EX_KDPX_TIMEOUT", false, 0, false});
  service_->queueStatus("local_printer", StatusAnswer{0x8, "", true, 40, false});
  // Then the device's own word, 0, for every later pass.
  ASSERT_EQ(TdevSetMonitorInterval(handle_, 100), 0);
  ASSERT_EQ(TdevStartMonitor(handle_), 0);
  const std::vector<Event> expected = {
      {'P', 0, 0x10000008}, {'P', 2, 0},  // first reply: Offline
      {'P', 13, 40},                      // battery
      {'P', 0, 0x10000000}, {'P', 1, 0},  // Online
  };
  ASSERT_TRUE(WaitForEvents(expected.size())) << ::testing::PrintToString(Events());
  // Several more passes change nothing.
  ASSERT_TRUE(service_->waitForHttpRequests(8, 30s));
  EXPECT_EQ(Events(), expected);
  EXPECT_EQ(TdevGetPrinterStatus(handle_), 0x10000000u);
  EXPECT_EQ(TdevGetBatteryLevel(handle_), 40);

  const auto request = service_->httpRequests().front();
  EXPECT_EQ(request.requestLine,
            "POST /cgi-bin/tilo/service.cgi?devid=local_printer&timeout=10000 HTTP/1.1");
  EXPECT_EQ(request.body, TdevStatusRequestBody());
}

TEST_F(StatusMonitorTest, HybridPrinterHearsSlipPaperWhenTheBitIsAdded) {
  ASSERT_NO_FATAL_FAILURE(Open(956, TDEV_DEVICE_HYBRID_PRINTER));
  service_->queueStatus("local_printer", StatusAnswer{0x40600000, "", true, 0, false});
  ASSERT_EQ(TdevSetMonitorInterval(handle_, 100), 0);
  ASSERT_EQ(TdevStartMonitor(handle_), 0);
  // 0x40600000 is kept as it is (no slip bit); the next word 0 gets it: SlipPaperOk.
  ASSERT_TRUE(WaitForEvents(1));
  ASSERT_TRUE(service_->waitForHttpRequests(4, 30s));
  EXPECT_EQ(Events(), (std::vector<Event>{{'H', 14, 0}}));
}

TEST_F(StatusMonitorTest, UnansweredPassesReportPowerOffUntilAReplyComes) {
  ASSERT_NO_FATAL_FAILURE(Open(957, TDEV_DEVICE_PRINTER));
  ASSERT_EQ(TdevSetMonitorInterval(handle_, 100), 0);
  ASSERT_EQ(TdevStartMonitor(handle_), 0);
  ASSERT_TRUE(WaitForEvents(1));
  EXPECT_EQ(Events(), (std::vector<Event>{{'P', 0, 0x10000000}}));

  // Each kind of unusable answer, then a good one.
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
      {"status 500", shape([](HttpOverride& o) { o.status = 500; })},
      {"closed", shape([](HttpOverride& o) { o.closeWithoutReply = true; })},
      {"no response element", shape([](HttpOverride& o) {
         o.body =
             "<?xml version=\"1.0\"?><s:Envelope "
             "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body/></s:Envelope>";
       })},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClearEvents();
    HttpOverride failing = c.override;
    failing.count = 2;
    service_->overrideHttp("service.cgi", failing);
    // PowerOff once, then the word stays marked; the next good reply clears it.
    ASSERT_TRUE(WaitForEvents(3)) << ::testing::PrintToString(Events());
    EXPECT_EQ(Events(),
              (std::vector<Event>{{'P', 0, 0x10000001}, {'P', 3, 0}, {'P', 0, 0x10000000}}));
  }
}

TEST_F(StatusMonitorTest, LinkLostReportsPowerOff) {
  ASSERT_NO_FATAL_FAILURE(Open(958, TDEV_DEVICE_PRINTER));
  TdevSetReconnectLimit(60000);
  ASSERT_EQ(TdevSetMonitorInterval(handle_, 100), 0);
  ASSERT_EQ(TdevStartMonitor(handle_), 0);
  ASSERT_TRUE(WaitForEvents(1));
  ClearEvents();
  // The link drops and cannot come back while the listener refuses.
  ASSERT_TRUE(service_->setRefusing(service_emulator::Transport::Plain, true));
  ASSERT_TRUE(service_->resetClient(0));
  ASSERT_TRUE(WaitForEvents(2)) << ::testing::PrintToString(Events());
  EXPECT_EQ(Events()[0], (Event{'P', 0, 0x10000001}));
  EXPECT_EQ(Events()[1], (Event{'P', 3, 0}));
  EXPECT_EQ(TdevGetPrinterStatus(handle_) & 0x1, 0x1u);
  ASSERT_TRUE(service_->setRefusing(service_emulator::Transport::Plain, false));
}

TEST_F(StatusMonitorTest, StartTwiceRunsOneMonitorAndStopEndsItAtOnce) {
  ASSERT_NO_FATAL_FAILURE(Open(959, TDEV_DEVICE_PRINTER));
  ASSERT_EQ(TdevSetMonitorInterval(handle_, 60000), 0);
  const int32_t before = TdevLiveThreadCount();
  ASSERT_EQ(TdevStartMonitor(handle_), 0);
  ASSERT_EQ(TdevStartMonitor(handle_), 0);
  ASSERT_TRUE(service_->waitForHttpRequests(1, 30s));
  // The first pass's request ends; one monitor thread stays.
  EXPECT_TRUE(io_test::Eventually([&] { return TdevLiveThreadCount() == before + 1; }));
  EXPECT_FALSE(service_->waitForHttpRequests(2, 300ms));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(TdevStopMonitor(handle_), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(TdevLiveThreadCount(), before);
  EXPECT_EQ(TdevStopMonitor(handle_), 0);
  EXPECT_EQ(TdevStartMonitor(nullptr), 255);
}

TEST_F(StatusMonitorTest, RequestStatusAnswersOnlyItsCaller) {
  ASSERT_NO_FATAL_FAILURE(Open(960, TDEV_DEVICE_PRINTER));
  service_->queueStatus("local_printer", StatusAnswer{0x28, "TPTR_COVER_OPEN", false, 3, false});
  uint32_t status = 0;
  int32_t battery = -1;
  int32_t result = -1;
  ASSERT_EQ(TdevRequestStatus(handle_, &status, &battery, &result), 0);
  EXPECT_EQ(status, 0x10000028u);
  EXPECT_EQ(battery, 3);
  EXPECT_EQ(result, 14);
  // The stored word and the slots are the monitor's alone.
  EXPECT_EQ(TdevGetPrinterStatus(handle_), 0u);
  EXPECT_TRUE(Events().empty());

  // No usable answer: 1 and 0, never 0 (which reads as online); result kept.
  struct Case {
    const char* name;
    std::optional<HttpOverride> override;
    std::optional<StatusAnswer> answer;
  };
  HttpOverride error;
  error.status = 500;
  HttpOverride garbage;
  garbage.body = "<s:Envelope";
  const Case cases[] = {
      {"status 500", error, std::nullopt},
      {"not XML", garbage, std::nullopt},
      {"no response element", std::nullopt, StatusAnswer{0, "", true, 0, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.override) service_->overrideHttp("service.cgi", *c.override);
    if (c.answer) service_->queueStatus("local_printer", *c.answer);
    status = 0;
    battery = -1;
    result = -7;
    ASSERT_EQ(TdevRequestStatus(handle_, &status, &battery, &result), 0);
    EXPECT_EQ(status, 1u);
    EXPECT_EQ(battery, 0);
    EXPECT_EQ(result, -7);
  }
  EXPECT_EQ(TdevRequestStatus(handle_, nullptr, &battery, &result), 1);
  EXPECT_EQ(TdevRequestStatus(nullptr, &status, &battery, &result), 1);
}

TEST_F(StatusMonitorTest, RequestStatusOfASilentOrUnreachableServiceEndsWithinItsBound) {
  ASSERT_NO_FATAL_FAILURE(Open(961, TDEV_DEVICE_PRINTER));
  HttpOverride silent;
  silent.silent = true;
  service_->overrideHttp("service.cgi", silent);
  uint32_t status = 0;
  int32_t battery = -1;
  int32_t result = 0;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(TdevRequestStatus(handle_, &status, &battery, &result), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(kTdevStatusTimeoutMs + kTdevStatusWaitSlackMs + 3000));
  EXPECT_EQ(status, 1u);
  EXPECT_EQ(battery, 0);

  // The request cannot even start: the same answer.
  TdevSetHttpPorts(host_.c_str(), 1, 2);
  status = 0;
  battery = -1;
  start = std::chrono::steady_clock::now();
  ASSERT_EQ(TdevRequestStatus(handle_, &status, &battery, &result), 0);
  EXPECT_EQ(status, 1u);
  EXPECT_EQ(battery, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
}

TEST_F(StatusMonitorTest, StatusRequestsOfATlsConnectionGoOverHttps) {
  service_ = http_test::startService(963);
  ASSERT_TRUE(service_);
  host_ = service_->options().address;
  ASSERT_EQ(TdevConnectSync(nullptr, host_.c_str(), 1, &connection_, 10000), 0);
  void* handle = nullptr;
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, connection_, "local_printer", 0, &handle), 0);
  handle_ = static_cast<TdevPrinterHandle_t*>(handle);
  service_->queueStatus("local_printer", StatusAnswer{0x8, "", true, 0, false});
  uint32_t status = 0;
  int32_t battery = -1;
  int32_t result = -1;
  ASSERT_EQ(TdevRequestStatus(handle_, &status, &battery, &result), 0);
  EXPECT_EQ(status, 0x10000008u);
  ASSERT_TRUE(TdevSetMonitorInterval(handle_, 100) == 0 && TdevStartMonitor(handle_) == 0);
  ASSERT_TRUE(service_->waitForHttpRequests(2, 30s));
  for (const auto& request : service_->httpRequests()) EXPECT_TRUE(request.tls);
}

// A handler may stop monitoring from the monitor's own thread: the stop
// does not wait for itself, and the thread still ends.
std::atomic<TdevPrinterHandle_t*> g_stopFromSlot{nullptr};
std::atomic<int> g_stopResult{-1};
void StopInsideSlot(TdevPrinterHandle_t* handle, const char*, const char*) {
  if (handle == g_stopFromSlot.load()) g_stopResult = TdevStopMonitor(handle);
  Record({'P', 2, 0});
}

TEST_F(StatusMonitorTest, StopFromInsideAStatusHandlerWaitsForNothing) {
  ASSERT_NO_FATAL_FAILURE(Open(964, TDEV_DEVICE_PRINTER));
  const int32_t before = TdevLiveThreadCount();
  // A stored word is reported once when monitoring starts, on the monitor's thread.
  ASSERT_EQ(TdevSetPrinterStatus(handle_, 0x8), 0);
  TdevSetPrinterCallback(handle_, 2, reinterpret_cast<TdevAnyCallback>(&StopInsideSlot));
  g_stopFromSlot = handle_;
  ASSERT_EQ(TdevSetMonitorInterval(handle_, 60000), 0);
  ASSERT_EQ(TdevStartMonitor(handle_), 0);
  ASSERT_TRUE(io_test::Eventually([] { return g_stopResult.load() == 0; }));
  EXPECT_TRUE(io_test::Eventually([&] { return TdevLiveThreadCount() == before; }));
  EXPECT_EQ(TdevIsMonitorRunning(handle_), 0);
  EXPECT_EQ(service_->httpRequests().size(), 0u);
  // It starts again afterwards.
  g_stopFromSlot = nullptr;
  ASSERT_EQ(TdevStartMonitor(handle_), 0);
  EXPECT_TRUE(service_->waitForHttpRequests(1, 30s));
}

// Handles destroyed and connections dropped while monitors and requests run:
// nothing is reported to a destroyed handle and every thread ends.
TEST_F(StatusMonitorTest, DestroyWhileMonitorsAndRequestsRun) {
  auto service = http_test::startService(962);
  ASSERT_TRUE(service);
  host_ = service->options().address;
  HttpOverride slow;
  slow.delay = 150ms;
  slow.count = -1;
  service->overrideHttp("service.cgi", slow);
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    TdevConnection_t* connection = nullptr;
    ASSERT_EQ(TdevConnectSync(nullptr, host_.c_str(), 0, &connection, 10000), 0);
    void* handle = nullptr;
    ASSERT_EQ(TdevOpenDeviceSync(nullptr, connection, "local_printer", 0, &handle), 0);
    auto* printer = static_cast<TdevPrinterHandle_t*>(handle);
    FillSlots(printer);
    ASSERT_EQ(TdevSetMonitorInterval(printer, 20), 0);
    ASSERT_EQ(TdevStartMonitor(printer), 0);
    std::thread asker([printer] {
      uint32_t status = 0;
      int32_t battery = 0;
      int32_t result = 0;
      TdevRequestStatus(printer, &status, &battery, &result);
    });
    // A device-list query in flight as well.
    ASSERT_EQ(TdevGetDeviceList(host_.c_str(), nullptr, nullptr), 0);
    ASSERT_TRUE(service->waitForHttpRequests(static_cast<size_t>(4 * (round + 1)), 30s));
    if (round % 2) service->resetClient(0);
    // Destroyed with its monitor running and requests in flight.
    EXPECT_EQ(TdevDestroyConnection(connection), 0);
    asker.join();
  }
  EXPECT_TRUE(io_test::Eventually([&] { return TdevLiveThreadCount() == threadsBefore_; }))
      << TdevLiveThreadCount() << " threads, " << threadsBefore_ << " before";
}

}  // namespace
}  // namespace tilo2::core
