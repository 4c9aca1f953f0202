// The control protocol on port 3289 against the emulated printer.

#include "io/kdpx.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <vector>

#include "io/address_cache.h"
#include "io_test_support.h"

using namespace tilo2::core;

namespace {

using namespace std::chrono_literals;
using printer_emulator::UdpRule;
using Bytes = std::vector<uint8_t>;

TEST(Kdpx, ClientAddressRequestIsTheExactFourteenBytes) {
  const int n = 14;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  const std::string ip = io_test::address(n);
  int client = -1;
  ASSERT_EQ(TiloIoKdpxGetClientAddress(ip.c_str(), &client), 0);
  EXPECT_EQ(client, 0);
  EXPECT_EQ(TiloIoKdpxCheckConnected(ip.c_str()), 3);

  const auto sent = emu->udpRequests('Q', 0x03000017);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bytes,
            (Bytes{'O', 'R', 'V', 'I', 'K', 'Q', 0x03, 0x00, 0x00, 0x17, 0, 0, 0, 0}));

  const int data = io_test::connectDataPort(ip);
  ASSERT_GE(data, 0);
  ASSERT_EQ(TiloIoKdpxGetClientAddress(ip.c_str(), &client), 0);
  const uint8_t loopback[4] = {127, 0, 0, 1};
  EXPECT_EQ(std::memcmp(&client, loopback, 4),
            0);  // network byte order, as a socket address holds it
  EXPECT_EQ(TiloIoKdpxCheckConnected(ip.c_str()), 0);
  ::close(data);
}

TEST(Kdpx, WrongTypeCommandAndShortRepliesAreDropped) {
  const int n = 15;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  emu->state().setAutomaticStatus({0x11, 0x22, 0x33, 0x44});
  UdpRule rule;
  rule.decoysBefore = 3;
  emu->setUdpRule('Q', 0x03000010, rule);
  int status = 0;
  ASSERT_EQ(TiloIoKdpxGetStatus(io_test::address(n).c_str(), &status), 0);
  EXPECT_EQ(static_cast<uint32_t>(status), 0x44332211u);    // byte 1 lowest
  EXPECT_EQ(emu->udpRequests('Q', 0x03000010).size(), 1u);  // taken within the first attempt

  // Every kind of wrong reply in front of the right one, on a request with a payload.
  emu->setUdpRule('C', 0x03000015, rule);
  const uint8_t sent = 0x01;
  uint8_t reply = 0;
  size_t length = 1;
  int result = -1;
  ASSERT_EQ(TiloIoKdpxExec(io_test::address(n).c_str(), 'C', 0x03000015, &sent, 1, &result, &reply,
                           &length),
            0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(reply, 0x01);
}

// Only the printer asked may answer: a well-formed reply from any other
// address is not taken, even when it comes first. The printer answers after
// a second; the decoy goes out as soon as the request was seen.
TEST(Kdpx, ReplyFromAnotherAddressIsNotTaken) {
  const int n = 58;
  const int other = 59;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  io_test::claimAddress(other);
  emu->state().setAutomaticStatus({0x11, 0x22, 0x33, 0x44});
  UdpRule rule;
  rule.delay = 1000ms;
  emu->setUdpRule('Q', 0x03000010, rule);
  auto exchange = std::async(std::launch::async, [&] {
    int status = 0;
    const int rc = TiloIoKdpxGetStatus(io_test::address(n).c_str(), &status);
    return std::make_pair(rc, status);
  });
  ASSERT_TRUE(emu->waitForUdpRequests('Q', 0x03000010, 1, 5s));
  const auto request = emu->udpRequests('Q', 0x03000010).front();

  const int decoy = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(decoy, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_port = htons(3289);
  inet_pton(AF_INET, io_test::address(other).c_str(), &from.sin_addr);
  ASSERT_EQ(::bind(decoy, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(request.peerPort);
  to.sin_addr.s_addr = request.peerAddress;
  Bytes reply = {'O', 'R', 'V', 'I', 'K', 'q', 0x03, 0x00, 0x00, 0x10, 0, 0, 0, 13};
  const Bytes payload = {0, 0xAA, 0xBB, 0xCC, 0xDD, 0, 0, 0, 0, 0, 0, 0, 0};
  reply.insert(reply.end(), payload.begin(), payload.end());
  EXPECT_EQ(
      ::sendto(decoy, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
      static_cast<ssize_t>(reply.size()));
  ::close(decoy);

  const auto [rc, status] = exchange.get();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(static_cast<uint32_t>(status), 0x44332211u);  // the printer's, not the decoy's
}

TEST(Kdpx, LateReplyIsTakenInTheSecondAttempt) {
  const int n = 16;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  UdpRule rule;
  rule.delay = 1000ms;
  emu->setUdpRule('Q', 0x03000021, rule);
  uint8_t reply[13] = {};
  size_t length = sizeof reply;
  int result = -1;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(TiloIoKdpxExec(io_test::address(n).c_str(), 'Q', 0x03000021, nullptr, 0, &result, reply,
                           &length),
            0);
  const auto elapsed = io_test::msSince(start);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(length, 13u);
  EXPECT_GE(elapsed, 1000);
  EXPECT_LT(elapsed, 5000);  // well short of the four attempts' 6 s, with room for a loaded machine
  const auto sent = emu->udpRequests('Q', 0x03000021);
  ASSERT_EQ(sent.size(), 2u);  // attempt 1 gave up after 160 ms, attempt 2 waited
  const auto gap =
      std::chrono::duration_cast<std::chrono::milliseconds>(sent[1].when - sent[0].when).count();
  EXPECT_GE(gap, 150);
  EXPECT_LT(gap, 1500);  // not the 2 s of a full attempt
}

TEST(Kdpx, SilentPrinterTimesOutAfterFourAttempts) {
  const int n = 17;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  UdpRule rule;
  rule.silent = true;
  emu->setUdpRule('Q', 0x03000017, rule);
  int client = 0;
  io_test::LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TiloIoKdpxGetClientAddress(io_test::address(n).c_str(), &client), 3);
  const auto elapsed = io_test::msSince(start);
  EXPECT_GE(elapsed, 5900);
  EXPECT_LT(elapsed, 15000);
  const auto sent = emu->udpRequests('Q', 0x03000017);
  ASSERT_EQ(sent.size(), 4u);
  // Attempt 1 waits 160 ms, attempt 2 until 1840 ms after its send, 3 and 4 the full 2 s.
  // The upper bounds leave room for a loaded machine; the count above rules out extra attempts.
  const auto gap = [&](size_t i) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(sent[i].when - sent[i - 1].when)
        .count();
  };
  EXPECT_GE(gap(1), 150);
  EXPECT_LT(gap(1), 1500);
  EXPECT_GE(gap(2), 1790);
  EXPECT_LT(gap(2), 3500);
  EXPECT_GE(gap(3), 1950);
  EXPECT_LT(gap(3), 3500);
  const auto trace = log.lines({"IOCMN,-i,", ",TiloIoKdpxExec,KDPX timeout.,2000,"});
  EXPECT_EQ(trace.size(), 1u);
  EXPECT_EQ(log.lines({",UDP,,Write,0000000e,0000000e,"}).size(), 4u);
}

TEST(Kdpx, ReplyPayloadIsCutToTheCapacity) {
  const int n = 18;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  emu->state().setAutomaticStatus({1, 2, 3, 4});
  const std::string ip = io_test::address(n);
  struct Case {
    size_t capacity;
    std::optional<Bytes> payload;
    size_t stored;
  } cases[] = {
      {4, std::nullopt, 4},  // 13 bytes sent, 4 taken
      {13, std::nullopt, 13},
      {64, std::nullopt, 13},
      {13, Bytes{}, 0},  // a reply of exactly 14 bytes
  };
  for (const auto& c : cases) {
    UdpRule rule;
    rule.payload = c.payload;
    emu->setUdpRule('Q', 0x03000010, rule);
    Bytes reply(c.capacity, 0xEE);
    size_t length = c.capacity;
    int result = -1;
    ASSERT_EQ(
        TiloIoKdpxExec(ip.c_str(), 'Q', 0x03000010, nullptr, 0, &result, reply.data(), &length), 0);
    EXPECT_EQ(length, c.stored) << "capacity " << c.capacity;
    if (c.stored >= 5) {
      EXPECT_EQ(Bytes(reply.begin() + 1, reply.begin() + 5), (Bytes{1, 2, 3, 4}));
    }
    if (c.capacity > c.stored) {
      EXPECT_EQ(reply[c.stored], 0xEE) << "written past the reply";
    }
  }
  // No reply length: the payload is not taken at all.
  int result = -1;
  EXPECT_EQ(TiloIoKdpxExec(ip.c_str(), 'Q', 0x03000010, nullptr, 0, &result, nullptr, nullptr), 0);
}

TEST(Kdpx, ResultFieldDecidesPerRequest) {
  const int n = 19;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  const std::string ip = io_test::address(n);
  emu->state().setAutomaticStatus({0x08, 0, 0, 0});
  struct Case {
    uint16_t result;
    int statusRc;
    int status;
    int clientRc;
    int clearRc;
  } cases[] = {
      {0x0000, 0, 0x08, 0, 0},
      {0x8000, 0, 0x08, 3, 255},  // below F000h: still a status, but a failure elsewhere
      {0xF000, 0, -1, 3, 255},
  };
  for (const auto& c : cases) {
    UdpRule rule;
    rule.result = c.result;
    emu->setUdpRule('Q', 0x03000010, rule);
    emu->setUdpRule('Q', 0x03000017, rule);
    emu->setUdpRule('C', 0x03000016, rule);
    int status = 12345;
    EXPECT_EQ(TiloIoKdpxGetStatus(ip.c_str(), &status), c.statusRc) << std::hex << c.result;
    EXPECT_EQ(status, c.status) << std::hex << c.result;
    int client = 0;
    EXPECT_EQ(TiloIoKdpxGetClientAddress(ip.c_str(), &client), c.clientRc) << std::hex << c.result;
    EXPECT_EQ(TiloIoKdpxClearConnectionTimeout(ip.c_str()), c.clearRc) << std::hex << c.result;
  }
  // A status reply of the wrong size carries no status.
  UdpRule rule;
  rule.payload = Bytes(12, 0);
  emu->setUdpRule('Q', 0x03000010, rule);
  int status = 0;
  EXPECT_EQ(TiloIoKdpxGetStatus(ip.c_str(), &status), 0);
  EXPECT_EQ(status, -1);
}

TEST(Kdpx, ParameterErrors) {
  int result = 0;
  uint8_t reply[4];
  size_t length = sizeof reply;
  const uint8_t payload[1] = {1};
  int out = 0;
  EXPECT_EQ(TiloIoKdpxExec(nullptr, 'Q', 1, nullptr, 0, &result, reply, &length), 1);
  EXPECT_EQ(TiloIoKdpxExec("127.0.0.20", 'Q', 1, nullptr, 1, &result, reply, &length), 1);
  EXPECT_EQ(TiloIoKdpxExec("127.0.0.20", 'Q', 1, payload, 1, &result, nullptr, &length), 1);
  EXPECT_EQ(TiloIoKdpxBroadcast(nullptr, &result, reply, &length), 1);
  EXPECT_EQ(TiloIoKdpxGetClientAddress(nullptr, &out), 1);
  EXPECT_EQ(TiloIoKdpxGetClientAddress("127.0.0.20", nullptr), 1);
  EXPECT_EQ(TiloIoKdpxGetStatus(nullptr, &out), 1);
  EXPECT_EQ(TiloIoKdpxGetStatus("127.0.0.20", nullptr), 1);
  EXPECT_EQ(TiloIoKdpxClearConnectionTimeout(nullptr), 1);
  EXPECT_EQ(TiloIoKdpxCheckConnected(nullptr), 1);
  // Not an address a numeric lookup takes: no name service is asked.
  EXPECT_EQ(TiloIoKdpxExec("no-such-printer", 'Q', 1, nullptr, 0, &result, reply, &length), 2);
  // A payload the 16-bit length field cannot describe.
  const std::vector<uint8_t> huge(0x10000, 0);
  EXPECT_EQ(TiloIoKdpxExec("127.0.0.20", 'C', 1, huge.data(), huge.size(), &result, reply, &length),
            1);
  // The broadcast goes out over IPv4 only; nothing is sent when no IPv4 address is left.
  TiloIoKdpxSetBroadcastDestination("::1");
  const uint8_t mac[21] = {1};
  EXPECT_EQ(TiloIoKdpxBroadcast(mac, &result, reply, &length), 255);
  TiloIoKdpxSetBroadcastDestination("127.0.0.120");
}

TEST(Kdpx, UnicastGoesToTheCachedAddressOfTheTarget) {
  const int n = 21;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  TiloIoDhcpReset();
  ASSERT_EQ(TiloIoDhcpUpdate("front-printer", io_test::address(n).c_str(), 0, 1), 2);
  int client = -1;
  EXPECT_EQ(TiloIoKdpxGetClientAddress("FRONT-PRINTER", &client), 0);
  EXPECT_EQ(emu->udpRequests('Q', 0x03000017).size(), 1u);
  TiloIoDhcpReset();
}

Bytes macPayload(const printer_emulator::PrinterState::Mac& mac) {
  Bytes payload(21, 0);
  payload[0] = 0x01;
  std::copy(mac.begin(), mac.end(), payload.begin() + 1);
  return payload;
}

TEST(Kdpx, BroadcastIsThirtyFiveBytesAndTakesOnlyItsEcho) {
  const int n = 22;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  io_test::BroadcastTo seam(n);
  const auto mac = emu->state().mac();
  const Bytes payload = macPayload(mac);

  // The first reply names another MAC: dropped; the second attempt gets the right one.
  Bytes foreign(23, 0);
  foreign[0] = 1;
  foreign[1] = 0x02;
  UdpRule rule;
  rule.payloadScript = {foreign};
  emu->setUdpRule('P', 0x10, rule);

  uint8_t reply[23] = {};
  size_t length = sizeof reply;
  int result = -1;
  ASSERT_EQ(TiloIoKdpxBroadcast(payload.data(), &result, reply, &length), 0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(length, 23u);
  EXPECT_TRUE(std::equal(mac.begin(), mac.end(), reply + 1));
  EXPECT_EQ(Bytes(reply + 9, reply + 13), (Bytes{127, 0, 0, static_cast<uint8_t>(n)}));

  const auto sent = emu->udpRequests('P', 0x10);
  ASSERT_EQ(sent.size(), 2u);
  Bytes golden = {'O', 'R', 'V', 'I', 'K', 'P', 0, 0, 0, 0x10, 0, 0, 0, 21};
  golden.insert(golden.end(), payload.begin(), payload.end());
  EXPECT_EQ(sent[0].bytes.size(), 35u);
  EXPECT_EQ(sent[0].bytes, golden);

  // Resolution by MAC through the same broadcast.
  char address[46];
  EXPECT_EQ(resolveMacByBroadcast(address, mac.data()), 1);
  EXPECT_EQ(std::string(address), io_test::address(n));
}

TEST(Kdpx, TimeoutTraceAfterTwoSecondsForTheBroadcastOnlyAfterSixForUnicast) {
  const int n = 53;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  io_test::BroadcastTo seam(n);
  // Each printer answers 2.1 s late: the answer to the first request arrives in attempt 3.
  UdpRule rule;
  rule.delay = 2100ms;
  emu->setUdpRule('P', 0x10, rule);
  emu->setUdpRule('Q', 0x03000021, rule);
  io_test::LogCapture log;

  uint8_t reply[23] = {};
  size_t length = sizeof reply;
  int result = -1;
  ASSERT_EQ(TiloIoKdpxExec(io_test::address(n).c_str(), 'Q', 0x03000021, nullptr, 0, &result, reply,
                           &length),
            0);
  EXPECT_TRUE(log.lines({"KDPX timeout."}).empty());

  const Bytes payload = macPayload(emu->state().mac());
  length = sizeof reply;
  ASSERT_EQ(TiloIoKdpxBroadcast(payload.data(), &result, reply, &length), 0);
  EXPECT_EQ(length, 23u);
  EXPECT_EQ(log.lines({"IOCMN,-i,", ",TiloIoKdpxBroadcast,KDPX timeout.,2000,"}).size(), 1u);
  EXPECT_TRUE(log.lines({",TiloIoKdpxExec,KDPX timeout."}).empty());
}

}  // namespace
