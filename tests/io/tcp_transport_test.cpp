// The TCP transport through the connection interface, against the emulated
// printer: the owner wait and check, writes in pieces, reads that gather a
// burst, control and probe requests.

#include "io/tcp_transport.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "io/address_cache.h"
#include "io/connection_interface.h"
#include "io/connection_table.h"
#include "io_test_support.h"

using namespace tilo2::core;

namespace {

using namespace std::chrono_literals;
using printer_emulator::TcpMode;
using printer_emulator::UdpRule;
using Bytes = std::vector<uint8_t>;

// One emulator and one open connection to it.
class TcpConnection {
 public:
  explicit TcpConnection(int n, TdcBackendEnv_t* env = nullptr)
      : n_(n), emu(io_test::startEmulator(n)) {
    if (!emu) return;
    rc = TiloIoOpen(env, &connection, TILOIO_TYPE_TCP, io_test::address(n).c_str(), 15000);
    if (rc == TILOIO_SUCCESS) emu->waitForClient(5s);
  }
  ~TcpConnection() {
    if (connection) {
      EXPECT_EQ(TiloIoClose(connection), 0);
    }
  }
  std::string ip() const { return io_test::address(n_); }

  int n_;
  std::unique_ptr<printer_emulator::PrinterEmulator> emu;
  TiloIoConnection_t* connection = nullptr;
  int rc = -1;
};

TEST(TcpTransport, OpenWriteCloseAgainstAFreePrinter) {
  TcpConnection c(40);
  ASSERT_TRUE(c.emu);
  ASSERT_EQ(c.rc, 0);
  ASSERT_NE(c.connection, nullptr);
  EXPECT_EQ(c.connection->type, TILOIO_TYPE_TCP);
  EXPECT_STREQ(c.connection->address, c.ip().c_str());
  // The owner wait asked once before the connect.
  EXPECT_GE(c.emu->udpRequests('Q', 0x03000017).size(), 1u);
  // IP literals are never cached.
  EXPECT_EQ(TiloIoDhcpLookup(c.ip().c_str(), nullptr), nullptr);

  io_test::LogCapture log;
  Bytes data(10000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  size_t written = 0;
  EXPECT_EQ(TiloIoWrite(c.connection, data.data(), data.size(), 5000, &written), 0);
  EXPECT_EQ(written, data.size());
  ASSERT_TRUE(c.emu->waitForTcpBytes(data.size(), 10s));
  EXPECT_EQ(c.emu->tcpBytes(), data);
  // One dump line per send: "...,TCP,,Write,<total asked>,<bytes sent>, ..." in hex.
  size_t total = 0;
  const auto pieces = log.lines({"IOCMN,--,", ",TCP,,Write,00002710,"});
  for (const auto& line : pieces) {
    const size_t at = line.find(",Write,00002710,") + 16;
    const size_t sent = std::stoul(line.substr(at, 8), nullptr, 16);
    EXPECT_LE(sent, 4096u);
    total += sent;
  }
  EXPECT_EQ(total, 10000u);
  EXPECT_GE(pieces.size(), 3u);
}

TEST(TcpTransport, WriteAndReadArguments) {
  TcpConnection c(41);
  ASSERT_EQ(c.rc, 0);
  size_t written = 99;
  EXPECT_EQ(TiloIoWrite(c.connection, nullptr, 0, 600001, &written),
            0);  // length 0 checks nothing else
  EXPECT_EQ(written, 0u);
  const uint8_t byte = 0x1B;
  uint8_t buffer[128];
  size_t count = 99;
  struct Case {
    int timeout;
    int rc;
  } limits[] = {{600001, 1}, {-1, 1}};
  for (const auto& l : limits) {
    EXPECT_EQ(TiloIoWrite(c.connection, &byte, 1, l.timeout, &written), l.rc) << l.timeout;
    EXPECT_EQ(TiloIoRead(c.connection, buffer, l.timeout, &count), l.rc) << l.timeout;
  }
  EXPECT_EQ(TiloIoWrite(c.connection, nullptr, 1, 100, &written), 1);
  EXPECT_EQ(TiloIoRead(c.connection, nullptr, 100, &count), 1);
  EXPECT_EQ(TiloIoTcpWrite(c.connection, &byte, 1, 100, nullptr), 1);
  EXPECT_EQ(TiloIoTcpRead(c.connection, buffer, 100, nullptr), 1);
  // Nothing to read: the limit passes, count 0.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TiloIoRead(c.connection, buffer, 200, &count), 4);
  EXPECT_EQ(count, 0u);
  EXPECT_GE(io_test::msSince(start), 195);
  EXPECT_EQ(TiloIoRead(c.connection, buffer, 0, &count), 4);
}

TEST(TcpTransport, ReadGathersABurstAndStopsAt128) {
  TcpConnection c(42);
  ASSERT_EQ(c.rc, 0);
  uint8_t buffer[128];
  size_t count = 0;

  // Three pieces a millisecond apart arrive as one burst.
  ASSERT_TRUE(c.emu->sendToClient({{1, 2, 3}, {4, 5}, {6}}, 1ms));
  ASSERT_EQ(TiloIoRead(c.connection, buffer, 5000, &count), 0);
  EXPECT_EQ(Bytes(buffer, buffer + count), (Bytes{1, 2, 3, 4, 5, 6}));

  // 200 bytes waiting: one read takes 128 at once, the next the other 72.
  Bytes big(200);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(c.emu->sendToClient({big}));
  Bytes got;
  while (got.size() < big.size()) {
    ASSERT_EQ(TiloIoRead(c.connection, buffer, 5000, &count), 0);
    ASSERT_LE(count, 128u);
    if (got.empty()) {
      EXPECT_GT(count, 0u);
    }
    got.insert(got.end(), buffer, buffer + count);
  }
  EXPECT_EQ(got, big);
}

// A read waiting for its first bytes takes them the moment they arrive, not
// at its next look some milliseconds later. A full 128-byte reply ends the
// read at once, so the time from the printer's send to the read's return is
// the wake-up alone. The sends fall at different points of any fixed polling
// step (20, 23, 26 ... ms after the read starts).
TEST(TcpTransport, ReadSeesAReplyWhenItArrives) {
  TcpConnection c(57);
  ASSERT_EQ(c.rc, 0);
  const Bytes reply(128, 0x5A);
  std::vector<int64_t> latencyUs;
  for (int i = 0; i < 15; ++i) {
    c.emu->sendToClientAfter(reply, std::chrono::milliseconds(20 + 3 * i));
    uint8_t buffer[128];
    size_t count = 0;
    ASSERT_EQ(TiloIoRead(c.connection, buffer, 5000, &count), 0);
    const auto returned = std::chrono::steady_clock::now();
    ASSERT_EQ(count, 128u);
    ASSERT_TRUE(c.emu->waitForSends(i + 1, 5s));  // the printer notes its send just after it
    const auto sent = c.emu->sentAt();
    ASSERT_EQ(sent.size(), static_cast<size_t>(i + 1));
    latencyUs.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(returned - sent.back()).count());
  }
  std::sort(latencyUs.begin(), latencyUs.end());
  // Polling every 10 ms gives a median near 5 ms; a wake-up on arrival well under 1 ms.
  EXPECT_LT(latencyUs[latencyUs.size() / 2], 2500) << "median of " << latencyUs.size();
}

TEST(TcpTransport, ReadAfterThePeerClosedRunsToItsLimit) {
  TcpConnection c(43);
  ASSERT_EQ(c.rc, 0);
  c.emu->closeClient();
  uint8_t buffer[128];
  size_t count = 5;
  const auto start = std::chrono::steady_clock::now();
  io_test::LogCapture log;
  EXPECT_EQ(TiloIoRead(c.connection, buffer, 300, &count), 4);
  EXPECT_EQ(count, 0u);
  EXPECT_GE(io_test::msSince(start), 295);
  EXPECT_EQ(log.lines({"IOCMN,-i,", "TiloIoTcpRead,Peer closed."}).size(), 1u);
}

// A job's last small command after a large image must not wait for the
// peer's delayed acknowledgement of the image's tail (40 ms and more): the
// small write's bytes reach the printer within a few milliseconds of the
// call, round after round. The printer's arrival log holds kernel times.
TEST(TcpTransport, SmallWriteAfterALargeOneIsNotHeldBack) {
  TcpConnection c(64);
  ASSERT_EQ(c.rc, 0);
  Bytes bulk(64 * 1024);  // fits the socket buffers: the printer drains it at once
  for (size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<uint8_t>(i);
  const Bytes tail = {0x1D, 0x56, 0x00};
  size_t total = 0;
  std::vector<int64_t> lateUs;
  for (int round = 0; round < 20; ++round) {
    // Image sizes that end in a short piece of varying length.
    const size_t size = bulk.size() - 997 * static_cast<size_t>(round);
    size_t written = 0;
    ASSERT_EQ(TiloIoWrite(c.connection, bulk.data(), size, 10000, &written), 0);
    const auto call = std::chrono::steady_clock::now();
    ASSERT_EQ(TiloIoWrite(c.connection, tail.data(), tail.size(), 1000, &written), 0);
    total += size + tail.size();
    ASSERT_TRUE(c.emu->waitForTcpBytes(total, 10s));
    const auto arrivals = c.emu->arrivals();
    const auto last = std::find_if(arrivals.rbegin(), arrivals.rend(), [](const auto& a) {
      return a.channel == printer_emulator::Channel::Tcp;
    });
    ASSERT_NE(last, arrivals.rend());
    lateUs.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(last->when - call).count());
  }
  EXPECT_EQ(c.emu->tcpBytes().size(), total);
  const int64_t worst = *std::max_element(lateUs.begin(), lateUs.end());
  EXPECT_LT(worst, 20000) << "the small write waited " << worst << " us in one of " << lateUs.size()
                          << " rounds";
}

TEST(TcpTransport, SecondConcurrentWriteIsBusy) {
  const int n = 44;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  emu->setTcpMode(
      TcpMode::Stalled);  // nothing is read: the first write keeps its lock until its limit
  TiloIoConnection_t* connection = nullptr;
  ASSERT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_TCP, io_test::address(n).c_str(), 15000),
            0);

  const Bytes flood(64 * 1024 * 1024, 0x20);
  std::atomic<bool> firstDone{false};
  size_t firstWritten = 0;
  auto first = std::async(std::launch::async, [&] {
    int rc;
    do {  // the probing writes below may hold the lock for a moment
      rc = TiloIoWrite(connection, flood.data(), flood.size(), 2000, &firstWritten);
    } while (rc == 7);
    firstDone = true;
    return rc;
  });
  int second = -1;
  const uint8_t byte = 0;
  size_t written = 0;
  while (!firstDone && second != 7) {
    second = TiloIoWrite(connection, &byte, 1, 0, &written);
  }
  EXPECT_EQ(second, 7);
  EXPECT_EQ(first.get(), 4);
  EXPECT_GT(firstWritten, 0u);
  EXPECT_LT(firstWritten, flood.size());
  EXPECT_EQ(TiloIoClose(connection), 0);
}

// An emulated printer whose data port another client holds.
struct HeldPrinter {
  explicit HeldPrinter(int n) : emu(io_test::startEmulator(n)) {
    if (emu) other = io_test::connectDataPort(io_test::address(n));
    held = emu && other >= 0 && emu->waitForClient(5s);
  }
  ~HeldPrinter() { release(); }
  void release() {
    if (other >= 0) ::close(other);
    other = -1;
  }
  std::unique_ptr<printer_emulator::PrinterEmulator> emu;
  int other = -1;
  bool held = false;
};

TEST(TcpTransport, OwnerWaitHoldsTheOpenUntilTheOtherClientLeaves) {
  const int n = 45;
  HeldPrinter printer(n);
  ASSERT_TRUE(printer.held);
  auto& emu = printer.emu;

  TiloIoConnection_t* connection = nullptr;
  auto open = std::async(std::launch::async, [&] {
    return TiloIoOpen(nullptr, &connection, TILOIO_TYPE_TCP, io_test::address(n).c_str(), 20000);
  });
  // Two queries seen: the open is waiting in its 500-ms steps.
  ASSERT_TRUE(emu->waitForUdpRequests('Q', 0x03000017, 2, 10s));
  EXPECT_EQ(emu->clientsAccepted(), 1);
  printer.release();
  ASSERT_EQ(open.get(), 0);
  ASSERT_TRUE(emu->waitForClient(5s));
  EXPECT_EQ(emu->clientsAccepted(), 2);
  const auto queries = emu->udpRequests('Q', 0x03000017);
  const auto step =
      std::chrono::duration_cast<std::chrono::milliseconds>(queries[1].when - queries[0].when)
          .count();
  EXPECT_GE(step, 450);
  EXPECT_EQ(TiloIoClose(connection), 0);
}

TEST(TcpTransport, OwnerWaitEndsAtTheOpenLimit) {
  const int n = 46;
  HeldPrinter printer(n);
  ASSERT_TRUE(printer.held);
  TiloIoConnection_t* connection = nullptr;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_TCP, io_test::address(n).c_str(), 1200),
            4);
  EXPECT_GE(io_test::msSince(start), 1150);
  EXPECT_EQ(connection, nullptr);
}

TEST(TcpTransport, AnotherHostWinningEveryRaceEndsAtTheOpenLimit) {
  const int n = 47;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  // This host is 127.0.0.1, the address its connections leave from; no name
  // server is asked what the machine's own name stands for.
  struct LocalHost {
    LocalHost() { TiloIoSetLocalHostName("127.0.0.1"); }
    ~LocalHost() { TiloIoSetLocalHostName(nullptr); }
  } localHost;
  // After every connect the printer names a host that is not this one.
  emu->setReportedClient(htonl(0x0A010203));
  TdcBackendEnv_t env{};
  TiloIoConnection_t* connection = nullptr;
  EXPECT_EQ(TiloIoOpen(&env, &connection, TILOIO_TYPE_TCP, io_test::address(n).c_str(), 1500), 4);
  EXPECT_EQ(connection, nullptr);
  EXPECT_GE(emu->clientsAccepted(), 1);
  // Confirmation names this host: the open keeps the connection.
  emu->setReportedClient(std::nullopt);
  ASSERT_TRUE(emu->waitForNoClient(5s));
  EXPECT_EQ(TiloIoOpen(&env, &connection, TILOIO_TYPE_TCP, io_test::address(n).c_str(), 5000), 0);
  EXPECT_EQ(TiloIoClose(connection), 0);
}

// Names this host for the owner check without asking a name server.
struct LocalHostName {
  explicit LocalHostName(const char* name) { TiloIoSetLocalHostName(name); }
  ~LocalHostName() { TiloIoSetLocalHostName(nullptr); }
};

// This machine's IPv4 interface addresses (network byte order).
std::vector<uint32_t> InterfaceAddresses() {
  std::vector<uint32_t> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    out.push_back(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
  }
  ::freeifaddrs(list);
  return out;
}

// An interface address other than the host-name alias 127.0.1.1, a LAN
// address when there is one.
uint32_t InterfaceAddress() {
  const auto all = InterfaceAddresses();
  for (const uint32_t a : all) {
    if ((ntohl(a) >> 24) != 127) return a;
  }
  return htonl(INADDR_LOOPBACK);
}

// An address that is none of this machine's.
uint32_t ForeignAddress() {
  const auto all = InterfaceAddresses();
  uint32_t candidate = 0xCB00714D;  // 203.0.113.77
  while (std::find(all.begin(), all.end(), htonl(candidate)) != all.end()) ++candidate;
  return htonl(candidate);
}

// On a standard install the host name maps to 127.0.1.1 while a printer on
// the LAN reports the host's interface address: the open still keeps its
// connection, at the first confirmation.
TEST(TcpTransport, OwnerCheckKnowsEveryInterfaceAddress) {
  const int n = 60;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  LocalHostName localHost("127.0.1.1");
  emu->setReportedClient(InterfaceAddress());
  TdcBackendEnv_t env{};
  TiloIoConnection_t* connection = nullptr;
  ASSERT_EQ(TiloIoOpen(&env, &connection, TILOIO_TYPE_TCP, io_test::address(n).c_str(), 3000), 0);
  EXPECT_EQ(emu->clientsAccepted(), 1);
  EXPECT_EQ(TiloIoClose(connection), 0);
}

// A printer that names another host after every connect: the open pauses
// between rounds as the owner wait does, so over its 1.5 s it asks the
// printer a handful of times, not thousands.
TEST(TcpTransport, RefusedOwnerRoundsDoNotSpin) {
  const int n = 61;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  LocalHostName localHost("127.0.0.1");
  emu->setReportedClient(ForeignAddress());
  TdcBackendEnv_t env{};
  TiloIoConnection_t* connection = nullptr;
  EXPECT_EQ(TiloIoOpen(&env, &connection, TILOIO_TYPE_TCP, io_test::address(n).c_str(), 1500), 4);
  EXPECT_EQ(connection, nullptr);
  const size_t queries = emu->udpRequests('Q', 0x03000017).size();
  EXPECT_GE(queries, 2u);
  EXPECT_LE(queries, 20u);
  EXPECT_LE(emu->clientsAccepted(), 6);
}

TEST(TcpTransport, VirtualMachineOpenAsksNothingAndRefusedConnectFails) {
  const int n = 48;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  TdcBackendEnv_t env{};
  env.isVirtual = 1;
  TiloIoConnection_t* connection = nullptr;
  ASSERT_EQ(TiloIoOpen(&env, &connection, TILOIO_TYPE_TCP, io_test::address(n).c_str(), 5000), 0);
  for (const auto& arrival : emu->arrivals()) {
    EXPECT_NE(arrival.channel, printer_emulator::Channel::Udp) << "the printer was asked";
  }
  EXPECT_EQ(TiloIoClose(connection), 0);
  // Nobody ever listens on the broadcast sink.
  EXPECT_EQ(TiloIoOpen(&env, &connection, TILOIO_TYPE_TCP, io_test::address(120).c_str(), 5000), 2);
  EXPECT_EQ(connection, nullptr);
}

TEST(TcpTransport, OpenArgumentsAndAPrinterThatCannotBeAsked) {
  const int n = 54;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  const std::string ip = io_test::address(n);
  TiloIoConnection_t* connection = reinterpret_cast<TiloIoConnection_t*>(1);
  EXPECT_EQ(TiloIoTcpOpen(nullptr, &connection, TILOIO_TYPE_BLUETOOTH, ip.c_str(), 1000), 1);
  EXPECT_EQ(TiloIoTcpOpen(nullptr, nullptr, TILOIO_TYPE_TCP, ip.c_str(), 1000), 1);
  EXPECT_EQ(TiloIoTcpOpen(nullptr, &connection, TILOIO_TYPE_TCP, "", 1000), 1);
  EXPECT_EQ(TiloIoTcpClose(nullptr), 1);
  // The owner wait cannot learn who holds the port: a connect failure, no connection made.
  UdpRule refuse;
  refuse.result = 0x0001;
  emu->setUdpRule('Q', 0x03000017, refuse);
  connection = nullptr;
  EXPECT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_TCP, ip.c_str(), 5000), 2);
  EXPECT_EQ(connection, nullptr);
  EXPECT_EQ(emu->clientsAccepted(), 0);
  EXPECT_EQ(countHandleList(), 0);
}

TEST(TcpTransport, CloseDuringAReadIsBusyAndKeepsTheConnection) {
  TcpConnection c(55);
  ASSERT_EQ(c.rc, 0);
  uint8_t buffer[128];
  std::atomic<bool> readDone{false};
  auto reader = std::async(std::launch::async, [&] {
    uint8_t own[128];
    size_t count = 0;
    int rc;
    do {  // the probing reads below may hold the lock for a moment
      rc = TiloIoRead(c.connection, own, 3000, &count);
    } while (rc == 7);
    readDone = true;
    return rc;
  });
  // A probe that finds the receive lock held proves the long read is running.
  size_t count = 0;
  int probe = -1;
  while (!readDone && probe != 7) probe = TiloIoRead(c.connection, buffer, 0, &count);
  ASSERT_EQ(probe, 7);
  EXPECT_EQ(TiloIoClose(c.connection), 7);
  EXPECT_EQ(reader.get(), 4);
  // Still registered and usable.
  const uint8_t byte = 0x10;
  size_t written = 0;
  EXPECT_EQ(TiloIoWrite(c.connection, &byte, 1, 1000, &written), 0);
  EXPECT_EQ(written, 1u);
  ASSERT_TRUE(c.emu->waitForTcpBytes(1, 10s));
  EXPECT_EQ(c.emu->tcpBytes(), Bytes{byte});
}

TEST(TcpTransport, InterfaceControlEchoes) {
  TcpConnection c(49);
  ASSERT_EQ(c.rc, 0);
  EXPECT_EQ(TiloIoControl(c.connection, 0), 0);
  EXPECT_EQ(c.emu->state().interfaceControl(), 0x01);
  EXPECT_EQ(TiloIoControl(c.connection, 1), 0);
  EXPECT_EQ(c.emu->state().interfaceControl(), 0x00);
  EXPECT_EQ(TiloIoControl(c.connection, 2), 1);
  const auto sent = c.emu->udpRequests('C', 0x03000015);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bytes, (Bytes{'O', 'R', 'V', 'I', 'K', 'C', 3, 0, 0, 0x15, 0, 0, 0, 1, 0x01}));

  // Control 1 asks again while the printer has not applied it yet.
  UdpRule rule;
  rule.payloadScript = {{0x01}, {0x01}};
  c.emu->setUdpRule('C', 0x03000015, rule);
  EXPECT_EQ(TiloIoControl(c.connection, 1), 0);
  EXPECT_EQ(c.emu->udpRequests('C', 0x03000015).size(), 5u);

  // ... but not forever: the first request and at most 100 retries.
  rule = {};
  rule.payload = Bytes{0x01};
  c.emu->setUdpRule('C', 0x03000015, rule);
  EXPECT_EQ(TiloIoControl(c.connection, 1), 3);
  EXPECT_EQ(c.emu->udpRequests('C', 0x03000015).size(), 5u + 1u + 100u);

  // Control 0 takes no second answer, and a nonzero result fails either value.
  rule.payload = Bytes{0x00};
  c.emu->setUdpRule('C', 0x03000015, rule);
  EXPECT_EQ(TiloIoControl(c.connection, 0), 3);
  rule = {};
  rule.result = 1;
  c.emu->setUdpRule('C', 0x03000015, rule);
  EXPECT_EQ(TiloIoControl(c.connection, 1), 3);
}

TEST(TcpTransport, StatusFlagAndOnlineProbe) {
  TcpConnection c(50);
  ASSERT_EQ(c.rc, 0);
  struct Case {
    std::array<uint8_t, 4> status;
    std::optional<uint16_t> result;
    int flag;
  } statuses[] = {
      {{0x00, 0, 0, 0}, std::nullopt, 1},
      {{0x08, 0, 0, 0}, std::nullopt, 0},  // bit 3 of the lowest byte: busy
      {{0xF7, 0xFF, 0xFF, 0xFF}, std::nullopt, 1},
      {{0x00, 0, 0, 0}, 0xF000, 0},  // no status in the reply
  };
  for (const auto& s : statuses) {
    c.emu->state().setAutomaticStatus(s.status);
    UdpRule rule;
    rule.result = s.result;
    c.emu->setUdpRule('Q', 0x03000010, rule);
    int flag = -1;
    EXPECT_EQ(TiloIoGetStatus(c.connection, &flag), 0);
    EXPECT_EQ(flag, s.flag) << int(s.status[0]);
  }
  EXPECT_EQ(TiloIoGetStatus(c.connection, nullptr), 1);

  TiloIoProbeTarget_t probe{TILOIO_KIND_TCP, c.connection, 0};
  int online = -1;
  EXPECT_EQ(TiloIoCheckOnline(&probe, &online), 0);
  EXPECT_EQ(online, 1);
  c.emu->state().setOffline(true);
  EXPECT_EQ(TiloIoCheckOnline(&probe, &online), 0);
  EXPECT_EQ(online, 0);
  c.emu->state().setOffline(false);
  UdpRule shortReply;
  shortReply.payload = Bytes(12, 0);
  c.emu->setUdpRule('Q', 0x03000021, shortReply);
  EXPECT_EQ(TiloIoCheckOnline(&probe, &online), 0);
  EXPECT_EQ(online, 0);
}

TEST(TcpTransport, MacTargetIsResolvedCachedAndReleased) {
  const int n = 51;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  io_test::BroadcastTo seam(n);
  TiloIoDhcpReset();
  const char* mac = "02:1a:7c:10:20:30";
  TiloIoConnection_t* connection = nullptr;
  ASSERT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_TCP, mac, 15000), 0);
  EXPECT_STREQ(connection->address, mac);
  int fromMac = 0;
  char* cached = TiloIoDhcpLookup("02:1A:7C:10:20:30", &fromMac);
  ASSERT_NE(cached, nullptr);
  EXPECT_STREQ(cached, io_test::address(n).c_str());
  EXPECT_EQ(fromMac, 1);
  std::free(cached);
  // Control requests of the connection reach the printer through the cache.
  int flag = -1;
  EXPECT_EQ(TiloIoGetStatus(connection, &flag), 0);
  EXPECT_EQ(emu->udpRequests('Q', 0x03000010).size(), 1u);
  // Taking the row over is refused while the connection is open ...
  for (int i = 0; i < kAddressCacheRows - 1; ++i) {
    ASSERT_EQ(TiloIoDhcpUpdate(("filler-" + std::to_string(i)).c_str(), "127.0.0.98", 0, 1), 2);
  }
  EXPECT_EQ(TiloIoDhcpUpdate("newcomer", "127.0.0.97", 0, 1), 0);
  // ... and allowed once it closed; the released row stays findable until then.
  EXPECT_EQ(TiloIoClose(connection), 0);
  cached = TiloIoDhcpLookup(mac, nullptr);
  EXPECT_NE(cached, nullptr);
  std::free(cached);
  EXPECT_EQ(TiloIoDhcpUpdate("newcomer", "127.0.0.97", 0, 1), 3);
  EXPECT_EQ(TiloIoDhcpLookup(mac, nullptr), nullptr);
  // Each open asks the printer again.
  EXPECT_EQ(emu->udpRequests('P', 0x10).size(), 1u);
  TiloIoDhcpReset();
}

}  // namespace
