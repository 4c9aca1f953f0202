// The test peer itself, driven with plain sockets: if it misbehaves, every io
// test built on it means nothing.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "io_test_support.h"
#include "kdpx_reply.h"

namespace {

using namespace std::chrono_literals;
using printer_emulator::KdpxDatagram;
using printer_emulator::UdpRule;

sockaddr_in endpoint(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

// Long enough for a loaded machine: a wait for expected replies ends as soon as they are in.
constexpr int kReplyWaitMs = 10000;

// Sends one request and collects the datagrams that come back within the wait,
// up to stopAfter of them.
std::vector<std::vector<uint8_t>> exchange(const std::string& ip,
                                           const std::vector<uint8_t>& request,
                                           int waitMs = kReplyWaitMs, size_t stopAfter = 1) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  const auto to = endpoint(ip, 3289);
  ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
  std::vector<std::vector<uint8_t>> replies;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (replies.size() < stopAfter) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    uint8_t buffer[1024];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n >= 0) replies.emplace_back(buffer, buffer + n);
  }
  ::close(fd);
  return replies;
}

std::vector<uint8_t> request(char type, uint32_t command, std::vector<uint8_t> payload = {}) {
  return printer_emulator::encodeKdpx(KdpxDatagram{type, command, 0, std::move(payload)});
}

TEST(PrinterEmulator, RefusesAddressesOutsideLoopback) {
  printer_emulator::PrinterEmulator emulator({"192.0.2.2", 9100, 3289});
  std::string error;
  EXPECT_FALSE(emulator.start(&error));
  EXPECT_NE(error.find("loopback"), std::string::npos);
}

TEST(PrinterEmulator, ClientAddressFollowsTheDataPort) {
  const int n = 10;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  const auto query = request('Q', 0x03000017);
  // Golden request: magic, type, command, result 0, length 0.
  EXPECT_EQ(query, (std::vector<uint8_t>{'O', 'R', 'V', 'I', 'K', 'Q', 3, 0, 0, 0x17, 0, 0, 0, 0}));

  auto replies = exchange(io_test::address(n), query);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], (std::vector<uint8_t>{'O', 'R', 'V', 'I', 'K', 'q', 3, 0, 0, 0x17, 0, 0, 0,
                                              4, 0, 0, 0, 0}));

  const int data = io_test::connectDataPort(io_test::address(n));
  ASSERT_GE(data, 0);
  replies = exchange(io_test::address(n), query);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(std::vector<uint8_t>(replies[0].begin() + 14, replies[0].end()),
            (std::vector<uint8_t>{127, 0, 0, 1}));

  emu->setReportedClient(htonl(0x0A010203));
  replies = exchange(io_test::address(n), query);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(std::vector<uint8_t>(replies[0].begin() + 14, replies[0].end()),
            (std::vector<uint8_t>{10, 1, 2, 3}));

  ::close(data);
  ASSERT_TRUE(emu->waitForNoClient(5s));
  replies = exchange(io_test::address(n), query);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(std::vector<uint8_t>(replies[0].begin() + 14, replies[0].end()),
            (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST(PrinterEmulator, AnswersStatusControlAndMacQueries) {
  const int n = 11;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  emu->state().setAutomaticStatus({0x14, 0x08, 0x00, 0x0F});
  auto r = exchange(io_test::address(n), request('Q', 0x03000010));
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].size(), 14u + 13u);
  EXPECT_EQ(std::vector<uint8_t>(r[0].begin() + 15, r[0].begin() + 19),
            (std::vector<uint8_t>{0x14, 0x08, 0x00, 0x0F}));

  emu->state().setOffline(true);
  r = exchange(io_test::address(n), request('Q', 0x03000021));
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].size(), 27u);
  EXPECT_EQ(r[0][14], 0x02);

  r = exchange(io_test::address(n), request('C', 0x03000015, {0x01}));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0][5], 'c');
  EXPECT_EQ(std::vector<uint8_t>(r[0].begin() + 14, r[0].end()), std::vector<uint8_t>{0x01});

  r = exchange(io_test::address(n), request('C', 0x03000016));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].size(), 14u);
  EXPECT_EQ(emu->state().connectionTimeoutClears(), 1);

  const auto mac = emu->state().mac();
  std::vector<uint8_t> payload(21, 0);
  payload[0] = 0x01;
  std::copy(mac.begin(), mac.end(), payload.begin() + 1);
  r = exchange(io_test::address(n), request('P', 0x10, payload));
  ASSERT_EQ(r.size(), 1u);
  ASSERT_GT(r[0].size(), 14u + 12u);
  EXPECT_EQ(r[0][5], 'p');
  EXPECT_TRUE(std::equal(mac.begin(), mac.end(), r[0].begin() + 15));
  EXPECT_EQ(std::vector<uint8_t>(r[0].begin() + 23, r[0].begin() + 27),
            (std::vector<uint8_t>{127, 0, 0, 11}));

  payload[3] ^= 0xFF;  // another printer's MAC: no answer
  EXPECT_TRUE(exchange(io_test::address(n), request('P', 0x10, payload), 200).empty());
}

TEST(PrinterEmulator, RulesShapeTheReplies) {
  const int n = 12;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  const uint32_t cmd = 0x03000010;

  UdpRule rule;
  rule.decoysBefore = 3;
  rule.result = 0x8000;
  emu->setUdpRule('Q', cmd, rule);
  auto r = exchange(io_test::address(n), request('Q', cmd), kReplyWaitMs, 4);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0][5], 'Q');      // wrong type
  EXPECT_EQ(r[1][9], 0x11);     // wrong command
  EXPECT_EQ(r[2].size(), 13u);  // too short
  EXPECT_EQ(r[3][5], 'q');
  EXPECT_EQ((r[3][10] << 8) | r[3][11], 0x8000);

  rule = {};
  rule.dropFirst = 1;
  rule.payloadScript = {{0xAA}};
  emu->setUdpRule('Q', cmd, rule);
  EXPECT_TRUE(exchange(io_test::address(n), request('Q', cmd), 200).empty());
  r = exchange(io_test::address(n), request('Q', cmd));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].size(), 15u);
  r = exchange(io_test::address(n), request('Q', cmd));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].size(), 27u);

  rule = {};
  rule.delay = 300ms;
  emu->setUdpRule('Q', cmd, rule);
  const auto start = std::chrono::steady_clock::now();
  r = exchange(io_test::address(n), request('Q', cmd));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

  emu->clearUdpRules();
  EXPECT_EQ(emu->udpRequests('Q', cmd).size(), 5u);
}

TEST(PrinterEmulator, DataPortRecordsAndFaults) {
  const int n = 13;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  int data = io_test::connectDataPort(io_test::address(n));
  ASSERT_GE(data, 0);
  ASSERT_TRUE(emu->waitForClient(5s));
  const char text[] = "hello printer";
  ASSERT_EQ(::send(data, text, sizeof text - 1, MSG_NOSIGNAL),
            static_cast<ssize_t>(sizeof text - 1));
  ASSERT_TRUE(emu->waitForTcpBytes(sizeof text - 1, 5s));
  EXPECT_EQ(emu->tcpBytes(), std::vector<uint8_t>(text, text + sizeof text - 1));
  EXPECT_EQ(emu->arrivals().back().client, 1);

  ASSERT_TRUE(emu->sendToClient({{1, 2, 3}, {4, 5}}, 1ms));
  uint8_t got[8];
  size_t have = 0;
  while (have < 5) {
    pollfd p{data, POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 5000), 0);
    const ssize_t k = ::recv(data, got + have, sizeof got - have, 0);
    ASSERT_GT(k, 0);
    have += static_cast<size_t>(k);
  }
  EXPECT_EQ(std::vector<uint8_t>(got, got + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));

  emu->resetClient();
  EXPECT_FALSE(emu->clientConnected());
  pollfd p{data, POLLIN, 0};
  ASSERT_GT(::poll(&p, 1, 5000), 0);
  EXPECT_LT(::recv(data, got, sizeof got, 0), 0);  // reset, not an orderly close
  EXPECT_EQ(errno, ECONNRESET);
  ::close(data);

  emu->setTcpMode(printer_emulator::TcpMode::CloseOnAccept);
  data = io_test::connectDataPort(io_test::address(n));
  ASSERT_GE(data, 0);
  p = {data, POLLIN, 0};
  ASSERT_GT(::poll(&p, 1, 5000), 0);
  EXPECT_EQ(::recv(data, got, sizeof got, 0), 0);
  EXPECT_EQ(emu->clientsAccepted(), 2);
  ::close(data);
}

TEST(PrinterEmulator, RestartsAtOnceOnTheSameAddress) {
  const int n = 52;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  const int data = io_test::connectDataPort(io_test::address(n));
  ASSERT_GE(data, 0);
  ASSERT_TRUE(emu->waitForClient(5s));
  // The printer closes first, so its end of the connection lingers in TIME_WAIT.
  emu->closeClient();
  pollfd p{data, POLLIN, 0};
  ASSERT_GT(::poll(&p, 1, 5000), 0);
  uint8_t byte = 0;
  EXPECT_EQ(::recv(data, &byte, 1, 0), 0);
  ::close(data);
  emu->stop();

  // No waiting for the lingering connection: the ports bind again at once.
  std::string error;
  ASSERT_TRUE(emu->start(&error)) << error;
  const int again = io_test::connectDataPort(io_test::address(n));
  EXPECT_GE(again, 0);
  EXPECT_TRUE(emu->waitForClient(5s));
  if (again >= 0) ::close(again);
}

}  // namespace
