// Address resolution and the process-wide address cache.

#include "io/address_cache.h"

#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "io_test_support.h"

using namespace tilo2::core;

namespace {

using namespace std::chrono_literals;

struct HeapText {
  char* text;
  explicit HeapText(char* t) : text(t) {}
  ~HeapText() { std::free(text); }
  bool null() const { return text == nullptr; }
  std::string str() const { return text ? text : "(null)"; }
};

class AddressCache : public ::testing::Test {
 protected:
  void SetUp() override { TiloIoDhcpReset(); }
  void TearDown() override { TiloIoDhcpReset(); }
};

TEST_F(AddressCache, IpLiteralsComeBackUnchangedAndUncached) {
  for (const char* literal : {"127.0.0.30", "::1", "fe80::1:2", "192.0.2.44"}) {
    int fromMac = 7, update = 7;
    HeapText resolved(TiloIoDhcpResolve(literal, &fromMac, &update));
    EXPECT_EQ(resolved.str(), literal);
    EXPECT_EQ(fromMac, 0);
    EXPECT_EQ(update, 0);
    EXPECT_TRUE(HeapText(TiloIoDhcpLookup(literal, nullptr)).null());
  }
  int a = 0, b = 0;
  EXPECT_EQ(TiloIoDhcpResolve(nullptr, &a, &b), nullptr);
  EXPECT_EQ(TiloIoDhcpResolve("127.0.0.30", nullptr, &b), nullptr);
}

TEST_F(AddressCache, HostNamesAreLookedUpAgainEvenWhenCached) {
  int fromMac = 7, update = 0;
  HeapText first(TiloIoDhcpResolve("localhost", &fromMac, &update));
  EXPECT_EQ(first.str(), "127.0.0.1");
  EXPECT_EQ(fromMac, 0);
  EXPECT_EQ(update, 1);
  // A stale cached address is never handed out for a host name.
  ASSERT_EQ(TiloIoDhcpUpdate("localhost", "127.0.0.31", 0, 1), 2);
  HeapText again(TiloIoDhcpResolve("LOCALHOST", &fromMac, &update));
  EXPECT_EQ(again.str(), "127.0.0.1");
  EXPECT_EQ(update, 1);
}

TEST_F(AddressCache, TwentyRowsThenNothingThenAReleasedRowIsTakenOver) {
  for (int i = 0; i < kAddressCacheRows; ++i) {
    const std::string key = "printer-" + std::to_string(i);
    ASSERT_EQ(TiloIoDhcpUpdate(key.c_str(), "127.0.0.32", 0, 1), 2) << i;
  }
  EXPECT_EQ(TiloIoDhcpUpdate("printer-20", "127.0.0.33", 0, 1), 0);
  EXPECT_TRUE(HeapText(TiloIoDhcpLookup("printer-20", nullptr)).null());

  // Same key in another case updates its own row.
  EXPECT_EQ(TiloIoDhcpUpdate("PRINTER-7", "127.0.0.34", 0, 0), 1);
  // A target released by its connection stays findable until taken over.
  EXPECT_EQ(HeapText(TiloIoDhcpLookup("printer-7", nullptr)).str(), "127.0.0.34");
  EXPECT_EQ(TiloIoDhcpUpdate("printer-20", "127.0.0.33", 1, 1), 3);
  EXPECT_TRUE(HeapText(TiloIoDhcpLookup("printer-7", nullptr)).null());
  int fromMac = 0;
  EXPECT_EQ(HeapText(TiloIoDhcpLookup("Printer-20", &fromMac)).str(), "127.0.0.33");
  EXPECT_EQ(fromMac, 1);
  EXPECT_EQ(TiloIoDhcpUpdate("printer-21", "127.0.0.33", 0, 1), 0);
}

TEST_F(AddressCache, WholeKeysOfAnyLengthAreCompared) {
  const std::string common(80, 'k');
  const std::string a = common + "-a", b = common + "-b";
  EXPECT_EQ(TiloIoDhcpUpdate(a.c_str(), "127.0.0.35", 0, 1), 2);
  EXPECT_EQ(TiloIoDhcpUpdate(b.c_str(), "127.0.0.36", 0, 1), 2);  // not a row of a
  EXPECT_EQ(TiloIoDhcpUpdate(a.c_str(), "127.0.0.37", 0, 1), 1);  // found again, no new row
  EXPECT_EQ(HeapText(TiloIoDhcpLookup(a.c_str(), nullptr)).str(), "127.0.0.37");
  EXPECT_EQ(HeapText(TiloIoDhcpLookup(b.c_str(), nullptr)).str(), "127.0.0.36");
  // An address text too long for any literal is refused, not cut.
  EXPECT_EQ(TiloIoDhcpUpdate("long", std::string(60, '1').c_str(), 0, 1), 0);
  EXPECT_EQ(TiloIoDhcpUpdate(nullptr, "127.0.0.35", 0, 1), 0);
  EXPECT_EQ(TiloIoDhcpUpdate("x", nullptr, 0, 1), 0);
}

TEST_F(AddressCache, CachedAddressForThePrintEngine) {
  EXPECT_EQ(HeapText(TiloIoDhcpGetCachedAddress(0, "never-cached")).str(), "never-cached");
  ASSERT_EQ(TiloIoDhcpUpdate("02:1A:7C:10:20:30", "127.0.0.38", 1, 0), 2);
  EXPECT_EQ(HeapText(TiloIoDhcpGetCachedAddress(0, "02:1a:7c:10:20:30")).str(), "127.0.0.38");
  EXPECT_EQ(HeapText(TiloIoDhcpGetCachedAddress(1, "02:1a:7c:10:20:30")).str(),
            "02:1a:7c:10:20:30");
  EXPECT_TRUE(HeapText(TiloIoDhcpGetCachedAddress(0, nullptr)).null());
}

TEST_F(AddressCache, HolderOfTheLockMayCallTheCache) {
  ASSERT_EQ(TiloIoDhcpLock(), 0);
  EXPECT_EQ(TiloIoDhcpUpdate("held", "127.0.0.39", 0, 1), 2);
  EXPECT_EQ(HeapText(TiloIoDhcpLookup("held", nullptr)).str(), "127.0.0.39");
  // Another thread waits for the holder.
  bool done = false;
  std::thread other(
      [&] { done = HeapText(TiloIoDhcpLookup("held", nullptr)).str() == "127.0.0.39"; });
  EXPECT_EQ(TiloIoDhcpUnlock(), 0);
  other.join();
  EXPECT_TRUE(done);
}

TEST_F(AddressCache, MacTargetsAreBroadcastForOnEveryResolution) {
  const int n = 30;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  io_test::BroadcastTo seam(n);
  const auto mac = emu->state().mac();
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);

  // Cached in upper case under another address; the lower-case target still asks the printer.
  std::string upper(text);
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_EQ(TiloIoDhcpUpdate(upper.c_str(), "127.0.0.99", 1, 0), 2);
  for (int round = 1; round <= 2; ++round) {
    int fromMac = 0, update = 0;
    HeapText resolved(TiloIoDhcpResolve(text, &fromMac, &update));
    EXPECT_EQ(resolved.str(), io_test::address(n));
    EXPECT_EQ(fromMac, 1);
    EXPECT_EQ(update, 1);
    EXPECT_EQ(emu->udpRequests('P', 0x10).size(), static_cast<size_t>(round));
  }
  // The lower-case target finds the upper-case row.
  int fromMac = 0;
  EXPECT_EQ(HeapText(TiloIoDhcpLookup(text, &fromMac)).str(), "127.0.0.99");
  EXPECT_EQ(fromMac, 1);
}

// A MAC resolution waits seconds for broadcast replies; meanwhile the cache
// and control exchanges with other printers go on. The responder answers
// only after 1.5 s.
TEST_F(AddressCache, MacResolutionDoesNotHoldUpOtherPrinters) {
  const int responderAt = 62, printerAt = 63;
  auto responder = io_test::startEmulator(responderAt);
  auto printer = io_test::startEmulator(printerAt);
  ASSERT_TRUE(responder && printer);
  io_test::BroadcastTo seam(responderAt);
  printer_emulator::UdpRule late;
  late.delay = 1500ms;
  responder->setUdpRule('P', 0x10, late);
  const auto mac = responder->state().mac();
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  ASSERT_EQ(TiloIoDhcpUpdate("back-office", io_test::address(printerAt).c_str(), 0, 1), 2);

  auto resolution = std::async(std::launch::async, [&] {
    int fromMac = 0, update = 0;
    return HeapText(TiloIoDhcpResolve(text, &fromMac, &update)).str();
  });
  ASSERT_TRUE(responder->waitForUdpRequests('P', 0x10, 1, 5s));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(HeapText(TiloIoDhcpGetCachedAddress(0, "back-office")).str(),
            io_test::address(printerAt));
  int status = -1;
  EXPECT_EQ(TiloIoKdpxGetStatus("back-office", &status),
            0);  // reaches the printer through the cache
  EXPECT_LT(io_test::msSince(start), 500);
  EXPECT_EQ(resolution.wait_for(0s), std::future_status::timeout)
      << "the resolution was over already";
  EXPECT_EQ(resolution.get(), io_test::address(responderAt));
  EXPECT_EQ(printer->udpRequests('Q', 0x03000010).size(), 1u);
}

}  // namespace
