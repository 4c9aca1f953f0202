// The open-connection table, dispatch by connection type, the probe by
// connection kind, and the discovery dispatch.

#include "io/connection_interface.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "io/address_cache.h"
#include "io/connection_table.h"
#include "io/finder_bridge.h"
#include "io_test_support.h"

using namespace tilo2::core;

namespace {

using namespace std::chrono_literals;

// Rows registered by hand; the table refuses opens before any transport runs.
class FakeRows {
 public:
  ~FakeRows() {
    for (auto& record : records_) delHandleInList(record.get());
  }
  int add(const std::string& address) {
    records_.push_back(std::make_unique<TiloIoConnection_t>());
    records_.back()->type = TILOIO_TYPE_TCP;
    records_.back()->socket = -1;
    return setHandleToList(records_.back().get(), address.c_str());
  }

 private:
  std::vector<std::unique_ptr<TiloIoConnection_t>> records_;
};

TEST(ConnectionInterface, SameAddressInAnyCaseIsRefused) {
  FakeRows rows;
  ASSERT_EQ(rows.add("Front-Counter.example"), 0);
  TiloIoConnection_t* connection = reinterpret_cast<TiloIoConnection_t*>(1);
  EXPECT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_TCP, "front-counter.EXAMPLE", 1000), 6);
  EXPECT_EQ(connection, nullptr);
  EXPECT_EQ(findHandleByAddress("FRONT-COUNTER.EXAMPLE"),
            findHandleByAddress("Front-Counter.example"));
  EXPECT_GE(findHandleByAddress("front-counter.example"), 0);
}

TEST(ConnectionInterface, SeventeenthOpenIsRefused) {
  FakeRows rows;
  for (int i = 0; i < kConnectionRows; ++i) ASSERT_EQ(rows.add("row-" + std::to_string(i)), 0) << i;
  EXPECT_EQ(countHandleList(), -1);
  TiloIoConnection_t* connection = reinterpret_cast<TiloIoConnection_t*>(1);
  EXPECT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_TCP, "127.0.0.70", 1000), 6);
  EXPECT_EQ(connection, nullptr);
  TiloIoConnection_t extra{};
  EXPECT_EQ(setHandleToList(&extra, "one-more"), 6);
}

TEST(ConnectionInterface, RealOpenThenSameTargetInOtherCase) {
  const int n = 71;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  io_test::BroadcastTo seam(n);
  io_test::LogCapture log;
  TiloIoConnection_t* connection = nullptr;
  ASSERT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_TCP, "02:1a:7c:10:20:30", 15000), 0);
  // Registered as the caller wrote it.
  EXPECT_EQ(log.lines({"IOCMN,-i,", ",setHandleToList,Add handle.,02:1a:7c:10:20:30"}).size(), 1u);
  TiloIoConnection_t* second = nullptr;
  EXPECT_EQ(TiloIoOpen(nullptr, &second, TILOIO_TYPE_TCP, "02:1A:7C:10:20:30", 15000), 6);
  EXPECT_EQ(second, nullptr);
  ASSERT_TRUE(emu->waitForClient(5s));
  EXPECT_EQ(emu->clientsAccepted(), 1);
  EXPECT_EQ(TiloIoClose(connection), 0);
  EXPECT_EQ(log.lines({"IOCMN,-i,", ",delHandleInList,Remove handle."}).size(), 1u);
  // The row is free again: the same target opens anew.
  ASSERT_TRUE(emu->waitForNoClient(5s));
  ASSERT_EQ(TiloIoOpen(nullptr, &second, TILOIO_TYPE_TCP, "02:1A:7C:10:20:30", 15000), 0);
  EXPECT_EQ(TiloIoClose(second), 0);
  TiloIoDhcpReset();
}

TEST(ConnectionInterface, UnregisteredConnectionIsRefusedEverywhere) {
  TiloIoConnection_t stray{};
  stray.type = TILOIO_TYPE_TCP;
  stray.socket = -1;
  uint8_t buffer[128];
  size_t count = 0;
  int flag = 0;
  EXPECT_EQ(TiloIoClose(&stray), 6);
  EXPECT_EQ(TiloIoClose(nullptr), 6);
  EXPECT_EQ(TiloIoWrite(&stray, buffer, 1, 100, &count), 6);
  EXPECT_EQ(TiloIoRead(&stray, buffer, 100, &count), 6);
  EXPECT_EQ(TiloIoControl(&stray, 0), 6);
  EXPECT_EQ(TiloIoGetStatus(&stray, &flag), 6);
  TiloIoProbeTarget_t probe{TILOIO_KIND_TCP, &stray, 1};
  int online = 1;
  EXPECT_EQ(TiloIoCheckOnline(&probe, &online), 9);
  EXPECT_EQ(online, 0);
}

TEST(ConnectionInterface, OpenArgumentsAndDevicesNotThere) {
  TiloIoConnection_t* connection = nullptr;
  struct Case {
    int type;
    const char* address;
    int rc;
  } cases[] = {
      {TILOIO_TYPE_BLUETOOTH, "00:11:22:33:44:5", 1},    // 16 characters
      {TILOIO_TYPE_BLUETOOTH, "00:11:22:33:44:555", 1},  // 18 characters
      {TILOIO_TYPE_BLUETOOTH, "00:11:22:aa:bb:cc", 2},   // no such paired device here
      {TILOIO_TYPE_USB, "USB\\VID_04B8&PID_0E15\\1", 2},
      {TILOIO_TYPE_USB, "", 1},
      {260, "127.0.0.72", 1},
      {0, "127.0.0.72", 1},
      {TILOIO_TYPE_TCP, nullptr, 1},
      {TILOIO_TYPE_TCP, "", 1},
  };
  for (const auto& c : cases) {
    connection = reinterpret_cast<TiloIoConnection_t*>(1);  // must be cleared on failure
    EXPECT_EQ(TiloIoOpen(nullptr, &connection, c.type, c.address, 1000), c.rc)
        << (c.address ? c.address : "null");
    EXPECT_EQ(connection, nullptr);
  }
  EXPECT_EQ(TiloIoOpen(nullptr, nullptr, TILOIO_TYPE_TCP, "127.0.0.72", 1000), 1);
  EXPECT_EQ(countHandleList(), 0);  // nothing was left registered
}

TEST(ConnectionInterface, OnlineProbeByConnectionKind) {
  struct Case {
    int32_t kind;
    int32_t state;
    int rc;
    int online;
  } cases[] = {
      {TILOIO_KIND_BLUETOOTH, 1, 0, 1}, {TILOIO_KIND_BLUETOOTH, 0, 9, 0},
      {TILOIO_KIND_BLUETOOTH, 2, 9, 0}, {7, 1, 9, 0},
      {TILOIO_KIND_USB, 1, 9, 0},  // no registered connection
  };
  for (const auto& c : cases) {
    TiloIoProbeTarget_t probe{c.kind, nullptr, c.state};
    int online = -1;
    EXPECT_EQ(TiloIoCheckOnline(&probe, &online), c.rc) << c.kind << "/" << c.state;
    EXPECT_EQ(online, c.online) << c.kind << "/" << c.state;
  }
  int online = 0;
  EXPECT_EQ(TiloIoCheckOnline(nullptr, &online), 1);
  TiloIoProbeTarget_t probe{TILOIO_KIND_BLUETOOTH, nullptr, 1};
  EXPECT_EQ(TiloIoCheckOnline(&probe, nullptr), 1);
}

// An app that disconnects while its print job still writes and its status
// monitor still reads: every call on the connection either runs on a live
// record or finds it closed (6); none may touch a freed one (the sanitizer
// builds catch that), and close itself only ever answers 0 or busy.
TEST(ConnectionInterface, CloseRacingWriteReadAndStatusFreesTheRecordOnce) {
  const int n = 56;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  TdcBackendEnv_t env{};
  env.isVirtual = 1;  // no owner wait: the rounds follow each other at once
  const std::string ip = io_test::address(n);
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  for (int round = 0; round < 25; ++round) {
    TiloIoConnection_t* connection = nullptr;
    ASSERT_EQ(TiloIoOpen(&env, &connection, TILOIO_TYPE_TCP, ip.c_str(), 5000), 0) << round;
    std::atomic<int> calls{0};
    // Each caller loops until it is told the connection is gone (6) and hands
    // back that 6, or the first answer that is not one of the allowed ones.
    // Busy (7) is always allowed: the close holds the connection's locks for a moment.
    const auto caller = [&](auto call, std::initializer_list<int> allowed) {
      return std::async(std::launch::async, [&, call, allowed = std::vector<int>(allowed)] {
        for (;;) {
          const int rc = call();
          ++calls;
          if (rc == 6 ||
              (rc != 7 && std::find(allowed.begin(), allowed.end(), rc) == allowed.end()))
            return rc;
          if (std::chrono::steady_clock::now() > deadline) return -1;
        }
      });
    };
    auto writer = caller(
        [&] {
          const uint8_t bytes[3] = {0x1B, 0x40, 0x0A};
          size_t written = 0;
          return TiloIoWrite(connection, bytes, sizeof bytes, 50, &written);
        },
        {0, 4});
    auto reader = caller(
        [&] {
          uint8_t buffer[128];
          size_t count = 0;
          return TiloIoRead(connection, buffer, 0, &count);
        },
        {4});
    auto monitor = caller(
        [&] {
          int flag = 0;
          return TiloIoGetStatus(connection, &flag);
        },
        {0});
    // Close only once all three are under way.
    while (calls < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    int closed;
    do {
      closed = TiloIoClose(connection);
      ASSERT_TRUE(closed == 0 || closed == 7) << closed;
    } while (closed == 7 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(closed, 0) << round;
    EXPECT_EQ(writer.get(), 6) << round;
    EXPECT_EQ(reader.get(), 6) << round;
    EXPECT_EQ(monitor.get(), 6) << round;
    EXPECT_EQ(TiloIoClose(connection), 6);  // closed once, never twice
  }
  EXPECT_EQ(countHandleList(), 0);
}

// Discovery with finders that the test controls.
struct FakeFinders {
  static inline int udpStart = 0, btStart = 0, usbStart = 0;
  static inline int udpResult = 0;
  static inline int udpStarts = 0, btStarts = 0, usbStarts = 0;
  static inline int lastFilter = -1;
  static inline std::vector<std::string> seen;

  static void reset() {
    udpStart = btStart = usbStart = udpResult = 0;
    udpStarts = btStarts = usbStarts = 0;
    lastFilter = -1;
    seen.clear();
  }
  static std::vector<int> starts() { return {udpStarts, btStarts, usbStarts}; }

  static int startUdp(const void*, const char*) { return ++udpStarts, udpStart; }
  static int startBt() { return ++btStarts, btStart; }
  static int startUsb() { return ++usbStarts, usbStart; }
  static TiloIoDeviceArrays_t* listUdp(int* count, int* result) {
    static int types[2] = {TILOIO_TYPE_TCP, TILOIO_TYPE_TCP};
    static char n0[] = "RP-A", n1[] = "RP-B", t0[] = "127.0.0.73", t1[] = "127.0.0.74";
    static char m0[] = "02:1A:7C:00:00:01", m1[] = "02:1A:7C:00:00:02";
    static char* names[2] = {n0, n1};
    static char* targets[2] = {t0, t1};
    static char* macs[2] = {m0, m1};
    static TiloIoDeviceArrays_t arrays{types, names, targets, targets, macs};
    *count = 2;
    *result = udpResult;
    return &arrays;
  }
  static TiloIoDeviceArrays_t* listBt(int filter, int* count, int* result) {
    lastFilter = filter;
    *count = 0;
    *result = 0;
    return nullptr;
  }
  static void found(int type, const char* name, const char* target, const char* ip,
                    const char* mac) {
    seen.push_back(std::to_string(type) + "|" + name + "|" + target + "|" + ip + "|" + mac);
  }
};

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    static const TiloIoFinderOps ops{FakeFinders::startUdp, FakeFinders::listUdp,
                                     FakeFinders::startBt,  FakeFinders::startUsb,
                                     FakeFinders::listBt,   FakeFinders::listBt};
    TiloIoSetFinderOps(&ops);
    TiloIoClearActiveFinders();
    FakeFinders::reset();
    TiloIoSetFoundDeviceCallback(FakeFinders::found);
  }
  void TearDown() override {
    TiloIoClearActiveFinders();
    TiloIoSetFoundDeviceCallback(nullptr);
    TiloIoSetFinderOps(nullptr);
  }
};

TEST_F(Discovery, MaskThreeStartsNothing) {
  TiloIoDiscoveryRequest_t request{3, nullptr, 0};
  EXPECT_EQ(TiloIoStartDiscovery(nullptr, &request), 0);
  EXPECT_EQ(TiloIoGetActiveFinders(), 0);
  EXPECT_EQ(FakeFinders::starts(), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(TiloIoPollDiscovery(), 6);
  EXPECT_EQ(TiloIoStartDiscovery(nullptr, nullptr), 1);
}

TEST_F(Discovery, PollHandsEveryRowToTheCallback) {
  FakeFinders::udpStart = 0;
  FakeFinders::btStart = 5;
  FakeFinders::usbStart = 0;
  FakeFinders::udpResult = 0;
  char broadcast[] = "127.0.0.120";
  TiloIoDiscoveryRequest_t request{TILOIO_FINDER_ALL, broadcast, 42};
  EXPECT_EQ(TiloIoStartDiscovery(nullptr, &request), 0);
  EXPECT_EQ(TiloIoGetActiveFinders(), TILOIO_FINDER_UDP | TILOIO_FINDER_USB);
  EXPECT_EQ(TiloIoStartDiscovery(nullptr, &request), 6);          // already active
  EXPECT_EQ(FakeFinders::starts(), (std::vector<int>{1, 1, 1}));  // each finder once, none again

  EXPECT_EQ(TiloIoPollDiscovery(), 0);
  EXPECT_EQ(FakeFinders::seen,
            (std::vector<std::string>{"257|RP-A|127.0.0.73|127.0.0.73|02:1A:7C:00:00:01",
                                      "257|RP-B|127.0.0.74|127.0.0.74|02:1A:7C:00:00:02"}));
  EXPECT_EQ(FakeFinders::lastFilter, 42);  // the USB list got the stored filter

  // A list with a nonzero result reports none of its rows.
  FakeFinders::seen.clear();
  FakeFinders::udpResult = 255;
  EXPECT_EQ(TiloIoPollDiscovery(), 0);
  EXPECT_TRUE(FakeFinders::seen.empty());
}

TEST_F(Discovery, OnlyFailedStartsGiveTheLastResult) {
  FakeFinders::btStart = 5;
  TiloIoDiscoveryRequest_t request{TILOIO_FINDER_BLUETOOTH, nullptr, 0};
  EXPECT_EQ(TiloIoStartDiscovery(nullptr, &request), 5);
  EXPECT_EQ(TiloIoGetActiveFinders(), 0);
  EXPECT_EQ(FakeFinders::starts(), (std::vector<int>{0, 1, 0}));
}

// The UDP finder refuses a request without a broadcast address (1); the
// Bluetooth and USB finders start even on a machine without a bus or adapter,
// and find nothing.
TEST(DiscoveryPending, DeviceFindersStartWhereTheUdpFinderRefusesTheRequest) {
  TiloIoClearActiveFinders();
  TiloIoDiscoveryRequest_t request{TILOIO_FINDER_ALL, nullptr, 0};
  EXPECT_EQ(TiloIoStartDiscovery(nullptr, &request), 0);
  EXPECT_EQ(TiloIoGetActiveFinders(), TILOIO_FINDER_BLUETOOTH | TILOIO_FINDER_USB);
  EXPECT_EQ(TiloIoPollDiscovery(), 0);
  EXPECT_EQ(TiloIoBtStopFinder(), 0);
  EXPECT_EQ(TiloIoUsbStopFinder(), 0);
  TiloIoClearActiveFinders();
  request.finderMask = TILOIO_FINDER_UDP;
  EXPECT_EQ(TiloIoStartDiscovery(nullptr, &request), TILOIO_PARAMETER_ERROR);
  EXPECT_EQ(TiloIoGetActiveFinders(), 0);
}

}  // namespace
