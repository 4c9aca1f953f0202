// The UDP finder against in-process printer emulators on loopback addresses
// 127.0.2.128 to 127.0.2.187 (io_test::address(640..699)). Every test waits on
// what the emulators saw or on the count of replies the finder handled, never
// on time alone.

#include "io/udp_discovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "foundation/owned_fd.h"
#include "foundation/poll_wait.h"
#include "io/io_types.h"
#include "io/test_hooks.h"
#include "io_test_support.h"
#include "kdpx_reply.h"
#include "printer_emulator.h"

namespace {

using io_test::address;
using io_test::Eventually;
using printer_emulator::PrinterEmulator;
using printer_emulator::UdpRule;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint32_t kNameQuery = printer_emulator::kDiscoveryNameQuery;
constexpr uint32_t kMacQuery = printer_emulator::kDiscoveryMacQuery;
constexpr printer_emulator::PrinterState::Mac kMac = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
constexpr const char* kMacText = "00:1A:7D:DA:71:13";

struct FoundRow {
  int type = 0;
  std::string name, target, ip, mac;
  bool operator==(const FoundRow&) const = default;
};

std::ostream& operator<<(std::ostream& out, const FoundRow& r) {
  return out << "{" << r.type << ", \"" << r.name << "\", \"" << r.target << "\", \"" << r.ip
             << "\", \"" << r.mac << "\"}";
}

// One poll, copied out of the finder's arrays (which live until the next poll).
std::vector<FoundRow> Poll(int* resultOut = nullptr) {
  int count = -1, result = -1;
  TiloIoDeviceArrays_t* arrays = TiloIoUdpGetDeviceList(&count, &result);
  if (resultOut) *resultOut = result;
  std::vector<FoundRow> rows;
  for (int i = 0; arrays && i < count; ++i) {
    rows.push_back({arrays->connectionType[i], arrays->name[i] ? arrays->name[i] : "(null)",
                    arrays->target[i] ? arrays->target[i] : "(null)",
                    arrays->ip[i] ? arrays->ip[i] : "(null)",
                    arrays->mac[i] ? arrays->mac[i] : "(null)"});
  }
  return rows;
}

bool HandledAtLeast(uint64_t count) {
  return Eventually([count] { return TiloIoUdpDatagramsHandled() >= count; }, seconds(30));
}

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

// Every test leaves the finder idle, the destination list empty and the
// forced receive error off, whatever it asserted on the way.
class UdpDiscovery : public ::testing::Test {
 protected:
  void TearDown() override {
    TiloIoUdpForceReceiveError(false);
    TiloIoUdpStopDiscovery();  // 6 when already stopped
    TiloIoUdpSetDiscoveryDestinations(nullptr, 0);
  }

  std::unique_ptr<PrinterEmulator> Printer(int n, const std::string& name = "RP-S100",
                                           printer_emulator::PrinterState::Mac mac = kMac,
                                           bool dhcp = false) {
    auto emulator = io_test::startEmulator(n);
    if (emulator) {
      emulator->setName(name);
      emulator->setMac(mac);
      emulator->setDhcp(dhcp);
    }
    return emulator;
  }

  static int SendTo(const std::vector<std::string>& addresses) {
    std::vector<const char*> list;
    for (const auto& a : addresses) list.push_back(a.c_str());
    return TiloIoUdpSetDiscoveryDestinations(list.data(), static_cast<int>(list.size()));
  }
};

// The two queries go out byte for byte, once at the start and again after the
// 10 s repeat. A printer that answered only the name in the first round is
// not reported until its MAC reply comes in the second round.
TEST_F(UdpDiscovery, QueriesRepeatAfterTenSecondsAndARowWaitsForTheMacReply) {
  auto printer = Printer(640);
  ASSERT_TRUE(printer);
  UdpRule dropFirstMac;
  dropFirstMac.dropFirst = 1;
  printer->setUdpRule('Q', kMacQuery, dropFirstMac);

  const uint64_t handledBefore = TiloIoUdpDatagramsHandled();
  const std::string ip = address(640);
  ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, ip.c_str()), TILOIO_SUCCESS);

  ASSERT_TRUE(Eventually([&] { return printer->arrivals().size() >= 2; }, seconds(10)));
  const auto first = printer->arrivals();
  EXPECT_EQ(first[0].bytes, Bytes({0x4F, 0x52, 0x56, 0x49, 0x4B, 0x51, 0x03, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(first[1].bytes, Bytes({0x4F, 0x52, 0x56, 0x49, 0x4B, 0x51, 0, 0, 0, 0x10, 0, 0, 0, 0}));

  // The name reply alone: handled, but no row yet.
  ASSERT_TRUE(HandledAtLeast(handledBefore + 1));
  int result = -1;
  EXPECT_TRUE(Poll(&result).empty());
  EXPECT_EQ(result, TILOIO_SUCCESS);
  EXPECT_EQ(printer->arrivals().size(), 2u) << "the queries went out twice at the start";

  ASSERT_TRUE(Eventually([&] { return printer->arrivals().size() >= 4; }, seconds(20)));
  const auto all = printer->arrivals();
  EXPECT_EQ(all[2].bytes, first[0].bytes);
  EXPECT_EQ(all[3].bytes, first[1].bytes);
  const auto gap = std::chrono::duration_cast<milliseconds>(all[2].when - all[0].when).count();
  EXPECT_GE(gap, 9900);
  EXPECT_LE(gap, 13000);

  ASSERT_TRUE(HandledAtLeast(handledBefore + 3));
  EXPECT_EQ(Poll(), (std::vector<FoundRow>{{TILOIO_TYPE_TCP, "RP-S100", ip, ip, kMacText}}));
}

// The DHCP flag decides the target: the MAC text, or the IPv4 address.
TEST_F(UdpDiscovery, ACompletePrinterIsOneRowWhoseTargetFollowsTheDhcpFlag) {
  struct Case {
    int n;
    bool dhcp;
  };
  for (const Case c : {Case{641, true}, Case{642, false}}) {
    SCOPED_TRACE(c.dhcp ? "DHCP" : "fixed address");
    auto printer = Printer(c.n, "RP-S100", kMac, c.dhcp);
    ASSERT_TRUE(printer);
    const std::string ip = address(c.n);
    const uint64_t before = TiloIoUdpDatagramsHandled();
    ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, ip.c_str()), TILOIO_SUCCESS);
    ASSERT_TRUE(HandledAtLeast(before + 2));
    const std::string target = c.dhcp ? std::string(kMacText) : ip;
    EXPECT_EQ(Poll(), (std::vector<FoundRow>{{TILOIO_TYPE_TCP, "RP-S100", target, ip, kMacText}}));
    // A second poll reports the same row again (the engine drops repeats).
    EXPECT_EQ(Poll().size(), 1u);
    EXPECT_EQ(TiloIoUdpStopDiscovery(), TILOIO_SUCCESS);
  }
}

// Replies that are faulty or odd, one printer each: the row they leave
// behind after both replies were handled (none when the reply must not count).
struct ReplyCase {
  const char* label = "";
  int n = 0;
  std::string name = "RP-S100";
  bool dhcp = true;
  uint32_t faultyQuery = 0;  // the query whose reply the rule shapes; 0 none
  std::optional<uint16_t> result{};
  std::optional<size_t> cutTo{};
  bool rowExpected = true;
  std::string expectedName = "RP-S100";
  bool targetIsMac = true;
};

class UdpDiscoveryReplies : public UdpDiscovery, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(UdpDiscoveryReplies, AreReadWithinTheirLength) {
  const ReplyCase& c = GetParam();
  auto printer = Printer(c.n, c.name, kMac, c.dhcp);
  ASSERT_TRUE(printer);
  if (c.faultyQuery != 0) {
    UdpRule rule;
    rule.result = c.result;
    rule.cutTo = c.cutTo;
    printer->setUdpRule('Q', c.faultyQuery, rule);
  }
  const std::string ip = address(c.n);
  const uint64_t before = TiloIoUdpDatagramsHandled();
  ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, ip.c_str()), TILOIO_SUCCESS);
  ASSERT_TRUE(HandledAtLeast(before + 2));
  const auto rows = Poll();
  if (!c.rowExpected) {
    EXPECT_TRUE(rows.empty()) << rows.front();
    return;
  }
  const std::string target = c.targetIsMac ? std::string(kMacText) : ip;
  EXPECT_EQ(rows, (std::vector<FoundRow>{{TILOIO_TYPE_TCP, c.expectedName, target, ip, kMacText}}));
}

const std::string kLongName(200, 'N');

INSTANTIATE_TEST_SUITE_P(
    Faults, UdpDiscoveryReplies,
    ::testing::Values(
        ReplyCase{.label = "NameResult8000",
                  .n = 643,
                  .faultyQuery = kNameQuery,
                  .result = 0x8000,
                  .rowExpected = false},
        ReplyCase{.label = "MacResult8000",
                  .n = 644,
                  .faultyQuery = kMacQuery,
                  .result = 0x8000,
                  .rowExpected = false},
        ReplyCase{.label = "Name13Bytes",
                  .n = 645,
                  .faultyQuery = kNameQuery,
                  .cutTo = 13,
                  .rowExpected = false},
        ReplyCase{.label = "Mac13Bytes",
                  .n = 646,
                  .faultyQuery = kMacQuery,
                  .cutTo = 13,
                  .rowExpected = false},
        ReplyCase{.label = "Mac20Bytes",
                  .n = 647,
                  .faultyQuery = kMacQuery,
                  .cutTo = 20,
                  .rowExpected = false},
        // 21 bytes hold the MAC but not the flags: no DHCP.
        ReplyCase{.label = "Mac21Bytes",
                  .n = 648,
                  .faultyQuery = kMacQuery,
                  .cutTo = 21,
                  .targetIsMac = false},
        ReplyCase{.label = "Mac22Bytes",
                  .n = 649,
                  .faultyQuery = kMacQuery,
                  .cutTo = 22,
                  .targetIsMac = false},
        ReplyCase{.label = "Mac23Bytes", .n = 650, .faultyQuery = kMacQuery, .cutTo = 23},
        // A name reply of 19 bytes or fewer has no name.
        ReplyCase{.label = "Name19Bytes",
                  .n = 651,
                  .faultyQuery = kNameQuery,
                  .cutTo = 19,
                  .expectedName = "RP Printer"},
        ReplyCase{.label = "Name20Bytes",
                  .n = 652,
                  .faultyQuery = kNameQuery,
                  .cutTo = 20,
                  .expectedName = "R"},
        // Cut before its NUL: the name runs to the end of the datagram.
        ReplyCase{.label = "NameWithoutNul",
                  .n = 653,
                  .faultyQuery = kNameQuery,
                  .cutTo = 26,
                  .expectedName = "RP-S100"},
        ReplyCase{.label = "EmptyName", .n = 654, .name = "", .expectedName = "RP Printer"},
        ReplyCase{.label = "LongName",
                  .n = 655,
                  .name = kLongName,
                  .expectedName = std::string(127, 'N')}),
    [](const auto& param) { return std::string(param.param.label); });

// Each listed destination gets every query; replies from two addresses make
// two rows even with one MAC. The broadcast text itself is outside 127/8 and
// is never used.
TEST_F(UdpDiscovery, TheDestinationListReachesEveryPrinterAndRowsAreKeyedByAddress) {
  auto a = Printer(656, "RP-A", kMac);
  auto b = Printer(657, "RP-B", kMac, true);
  ASSERT_TRUE(a && b);
  ASSERT_EQ(SendTo({address(656), address(657)}), 0);
  const uint64_t before = TiloIoUdpDatagramsHandled();
  ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, "255.255.255.255"), TILOIO_SUCCESS);
  ASSERT_TRUE(HandledAtLeast(before + 4));
  auto rows = Poll();
  std::sort(rows.begin(), rows.end(), [](const auto& x, const auto& y) { return x.ip < y.ip; });
  EXPECT_EQ(rows,
            (std::vector<FoundRow>{{TILOIO_TYPE_TCP, "RP-A", address(656), address(656), kMacText},
                                   {TILOIO_TYPE_TCP, "RP-B", kMacText, address(657), kMacText}}));
}

TEST_F(UdpDiscovery, TwentyFivePrintersGiveTwentyFiveCompleteRows) {
  std::vector<std::unique_ptr<PrinterEmulator>> printers;
  std::vector<std::string> addresses;
  for (int i = 0; i < 25; ++i) {
    const auto mac =
        printer_emulator::PrinterState::Mac{0x00, 0x1A, 0x7D, 0x00, 0x01, static_cast<uint8_t>(i)};
    char name[16];
    std::snprintf(name, sizeof name, "RP-%02d", i);
    printers.push_back(Printer(660 + i, name, mac));
    ASSERT_TRUE(printers.back());
    addresses.push_back(address(660 + i));
  }
  ASSERT_EQ(SendTo(addresses), 0);
  const uint64_t before = TiloIoUdpDatagramsHandled();
  ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, "255.255.255.255"), TILOIO_SUCCESS);
  ASSERT_TRUE(HandledAtLeast(before + 50));
  const auto rows = Poll();
  ASSERT_EQ(rows.size(), 25u);
  for (int i = 0; i < 25; ++i) {
    char name[16], mac[18];
    std::snprintf(name, sizeof name, "RP-%02d", i);
    std::snprintf(mac, sizeof mac, "00:1A:7D:00:01:%02X", i);
    const std::string ip = address(660 + i);
    const auto it =
        std::find_if(rows.begin(), rows.end(), [&](const FoundRow& r) { return r.ip == ip; });
    ASSERT_NE(it, rows.end()) << ip;
    EXPECT_EQ(*it, (FoundRow{TILOIO_TYPE_TCP, name, ip, ip, mac}));
  }
}

TEST_F(UdpDiscovery, StartPollAndStopAnswerClearCodesOutOfTurnOrWithBadText) {
  const std::string thirtyTwo(32, '1');
  struct Case {
    const char* label = "";
    const char* text;
  };
  for (const Case c : {Case{"null", nullptr}, Case{"32 characters", thirtyTwo.c_str()},
                       Case{"not numeric", "printer.local"}, Case{"IPv6 only", "::1"}}) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(TiloIoUdpStartDiscovery(nullptr, c.text), TILOIO_PARAMETER_ERROR);
    // A refused start leaves nothing running behind.
    EXPECT_EQ(TiloIoUdpStopDiscovery(), TILOIO_ILLEGAL_STATE);
  }

  int count = -1, result = -1;
  EXPECT_EQ(TiloIoUdpGetDeviceList(&count, &result), nullptr);
  EXPECT_EQ(result, TILOIO_ILLEGAL_STATE);
  EXPECT_EQ(count, 0);

  const std::string nobody = address(658);
  ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, nobody.c_str()), TILOIO_SUCCESS);
  EXPECT_EQ(TiloIoUdpStartDiscovery(nullptr, nobody.c_str()), TILOIO_ILLEGAL_STATE);
  EXPECT_TRUE(Poll(&result).empty());
  EXPECT_EQ(result, TILOIO_SUCCESS);
  EXPECT_EQ(TiloIoUdpStopDiscovery(), TILOIO_SUCCESS);
  EXPECT_EQ(TiloIoUdpStopDiscovery(), TILOIO_ILLEGAL_STATE);
}

// Rows live from start to stop: a new start knows nothing of the last one.
TEST_F(UdpDiscovery, AStopForgetsTheRowsOfThatRun) {
  auto printer = Printer(659);
  ASSERT_TRUE(printer);
  const std::string ip = address(659);
  uint64_t before = TiloIoUdpDatagramsHandled();
  ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, ip.c_str()), TILOIO_SUCCESS);
  ASSERT_TRUE(HandledAtLeast(before + 2));
  ASSERT_EQ(Poll().size(), 1u);
  ASSERT_EQ(TiloIoUdpStopDiscovery(), TILOIO_SUCCESS);

  UdpRule silent;
  silent.silent = true;
  printer->setUdpRule('Q', kMacQuery, silent);
  before = TiloIoUdpDatagramsHandled();
  ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, ip.c_str()), TILOIO_SUCCESS);
  ASSERT_TRUE(HandledAtLeast(before + 1));
  EXPECT_TRUE(Poll().empty());
}

// Under the guard, a destination outside 127/8 goes to the guard's fallback
// while no list is set; a loopback broadcast text is used as given even with
// a list; a list entry outside 127/8 is refused.
TEST_F(UdpDiscovery, TheLoopbackGuardKeepsEveryQueryOnTheMachine) {
  ASSERT_TRUE(TiloIoLoopbackGuardInstalled()) << "every test binary installs the guard";

  const std::string other = "10.0.0.1";
  const char* outside[] = {other.c_str()};
  EXPECT_EQ(TiloIoUdpSetDiscoveryDestinations(outside, 1), TILOIO_PARAMETER_ERROR);
  EXPECT_EQ(TiloIoInstallLoopbackGuard("192.168.0.1"), TILOIO_PARAMETER_ERROR);
  EXPECT_EQ(TiloIoInstallLoopbackGuard(nullptr), TILOIO_PARAMETER_ERROR);

  // The fallback moved to a listening emulator for this test.
  auto sink = Printer(690, "RP-SINK");
  ASSERT_TRUE(sink);
  ASSERT_EQ(TiloIoInstallLoopbackGuard(address(690).c_str()), 0);
  struct RestoreFallback {
    ~RestoreFallback() { TiloIoInstallLoopbackGuard("127.0.0.120"); }
  } restore;
  uint64_t before = TiloIoUdpDatagramsHandled();
  ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, "255.255.255.255"), TILOIO_SUCCESS);
  ASSERT_TRUE(HandledAtLeast(before + 2));
  EXPECT_EQ(Poll().size(), 1u);
  EXPECT_EQ(sink->udpRequests('Q', kNameQuery).size(), 1u);
  ASSERT_EQ(TiloIoUdpStopDiscovery(), TILOIO_SUCCESS);

  auto direct = Printer(691, "RP-DIRECT");
  auto listed = Printer(692, "RP-LISTED");
  ASSERT_TRUE(direct && listed);
  ASSERT_EQ(SendTo({address(692)}), 0);
  before = TiloIoUdpDatagramsHandled();
  ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, address(691).c_str()), TILOIO_SUCCESS);
  ASSERT_TRUE(HandledAtLeast(before + 2));
  const auto rows = Poll();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].ip, address(691));
  EXPECT_TRUE(listed->arrivals().empty());
}

// A socket error that lasts must not flood the network: at most one pair of
// queries per 200 ms slice. Once the error clears the finder goes on.
TEST_F(UdpDiscovery, ALastingReceiveErrorSendsAtMostOnePairPerSlice) {
  auto printer = Printer(695);
  ASSERT_TRUE(printer);
  TiloIoUdpForceReceiveError(true);
  const std::string ip = address(695);
  ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, ip.c_str()), TILOIO_SUCCESS);
  ASSERT_TRUE(
      Eventually([&] { return printer->udpRequests('Q', kNameQuery).size() >= 6; }, seconds(30)));
  TiloIoUdpForceReceiveError(false);
  const auto names = printer->udpRequests('Q', kNameQuery);
  for (size_t i = 1; i < names.size(); ++i) {
    const auto gap = std::chrono::duration_cast<milliseconds>(names[i].when - names[i - 1].when);
    EXPECT_GE(gap.count(), 190) << "pair " << i;
  }
  // Pairs: every name query has its MAC query.
  const auto macs = printer->udpRequests('Q', kMacQuery);
  EXPECT_LE(macs.size(), printer->udpRequests('Q', kNameQuery).size());
  EXPECT_GE(macs.size() + 1, names.size());

  const uint64_t before = TiloIoUdpDatagramsHandled();
  ASSERT_TRUE(HandledAtLeast(before + 2));
  ASSERT_TRUE(Eventually([] { return Poll().size() == 1; }, seconds(30)));
}

// At full log level every query sent is a "Write" dump and every reply a
// "Read" dump of the UDP transport; a stop while idle leaves an error line of
// the finder's own source.
TEST_F(UdpDiscovery, QueriesAndRepliesAreLoggedAsDumps) {
  auto printer = Printer(697, "RP-S100");
  ASSERT_TRUE(printer);
  io_test::LogCapture log;
  const uint64_t before = TiloIoUdpDatagramsHandled();
  ASSERT_EQ(TiloIoUdpStartDiscovery(nullptr, address(697).c_str()), TILOIO_SUCCESS);
  ASSERT_TRUE(HandledAtLeast(before + 2));
  ASSERT_EQ(TiloIoUdpStopDiscovery(), TILOIO_SUCCESS);
  EXPECT_EQ(TiloIoUdpStopDiscovery(), TILOIO_ILLEGAL_STATE);

  EXPECT_EQ(log.lines({"IOCMN", ",UDP,,Write,0000000e,0000000e,"}).size(), 2u);
  // 27 bytes: header, five zero bytes, "RP-S100" and its NUL; 23 bytes of MAC reply.
  EXPECT_EQ(log.lines({"IOCMN", ",UDP,,Read,,0000001b,"}).size(), 1u);
  EXPECT_EQ(log.lines({"IOCMN", ",UDP,,Read,,00000017,"}).size(), 1u);
  EXPECT_EQ(log.lines({"ERROR,--,net_udp("}).size(), 1u);
}

// The emulator's own replies, as a raw socket sees them: type 'q', the
// request's command, result 0; the name at offset 19 with a NUL, the MAC at
// 15 and the flags at 22.
TEST(DiscoveryEmulator, AnswersBothQueriesToTheSendersPort) {
  auto printer = io_test::startEmulator(696);
  ASSERT_TRUE(printer);
  printer->setName("RP-S100");
  printer->setMac(kMac);
  printer->setDhcp(true);

  OwnedFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(fd);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(3289);
  ASSERT_EQ(inet_pton(AF_INET, address(696).c_str(), &to.sin_addr), 1);
  const auto ask = [&](uint32_t command) {
    const auto query = printer_emulator::encodeKdpx({'Q', command, 0, {}});
    EXPECT_EQ(::sendto(fd.Get(), query.data(), query.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(query.size()));
    std::vector<uint8_t> reply(1024);
    if (PollWait(fd.Get(), POLLIN, 10000) != 1) return std::vector<uint8_t>{};
    const ssize_t n = ::recv(fd.Get(), reply.data(), reply.size(), 0);
    reply.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return reply;
  };

  const auto name = ask(kNameQuery);
  EXPECT_EQ(name, Bytes({'O', 'R', 'V', 'I', 'K', 'q', 3,   0,   0,   0,   0,   0,   0, 13,
                         0,   0,   0,   0,   0,   'R', 'P', '-', 'S', '1', '0', '0', 0}));
  const auto mac = ask(kMacQuery);
  EXPECT_EQ(mac, Bytes({'O', 'R', 'V', 'I',  'K',  'q',  0,    0,    0,    0x10, 0,   0,
                        0,   9,   0,   0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13, 0,    0x04}));

  printer->setDhcp(false);
  UdpRule cut;
  cut.cutTo = 17;
  printer->setUdpRule('Q', kMacQuery, cut);
  EXPECT_EQ(ask(kMacQuery),
            Bytes({'O', 'R', 'V', 'I', 'K', 'q', 0, 0, 0, 0x10, 0, 0, 0, 9, 0, 0x00, 0x1A}));
  printer->clearUdpRules();
  EXPECT_EQ(ask(kMacQuery).back(), 0x00) << "DHCP off";
}

}  // namespace
