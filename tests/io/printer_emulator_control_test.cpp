// The emulator as a person drives it while an app is connected: switches
// flipped through the control socket, the power switch, and the transcript's
// connection lines. Plain sockets on loopback only.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "control.h"
#include "io_test_support.h"
#include "kdpx_reply.h"

namespace {

using namespace std::chrono_literals;
using printer_emulator::ControlCommands;
using printer_emulator::ControlPort;
using printer_emulator::ModelEvent;

constexpr int kWaitMs = 10000;

int connectTo(const std::string& ip, uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads until count bytes are in, the peer closes, or the wait is over.
std::vector<uint8_t> readBytes(int fd, size_t count, int waitMs = kWaitMs) {
  std::vector<uint8_t> out;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (out.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    uint8_t b = 0;
    if (::recv(fd, &b, 1, 0) != 1) break;
    out.push_back(b);
  }
  return out;
}

// True once the peer closed the connection (recv gives 0 or an error).
bool closedByPeer(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, kWaitMs) <= 0) return false;
  uint8_t b = 0;
  return ::recv(fd, &b, 1, 0) <= 0;
}

void sendBytes(int fd, const std::vector<uint8_t>& bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

// One control session: a command out, its one answer line back.
class Session {
 public:
  Session(const std::string& ip, uint16_t port) : fd_(connectTo(ip, port)) {}
  ~Session() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  std::string ask(const std::string& command) {
    const std::string line = command + "\n";
    if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
      return "(send failed)";
    std::string answer;
    for (;;) {
      const auto b = readBytes(fd_, 1);
      if (b.empty()) return answer + "(no newline)";
      if (b[0] == '\n') return answer;
      answer += static_cast<char>(b[0]);
    }
  }

 private:
  int fd_;
};

// An emulator with its control socket, as the program runs them.
struct Controlled {
  explicit Controlled(int n) : emu(io_test::startEmulator(n)), ip(io_test::address(n)) {
    if (!emu) return;
    commands = std::make_unique<ControlCommands>(*emu);
    std::string error;
    started = port.start(ip, 0, &error);
    EXPECT_TRUE(started) << error;
  }
  std::unique_ptr<printer_emulator::PrinterEmulator> emu;
  std::string ip;
  std::unique_ptr<ControlCommands> commands;
  ControlPort port{[this](const std::string& line) { return commands->execute(line); }};
  bool started = false;
};

std::vector<uint8_t> statusQuery() {
  return printer_emulator::encodeKdpx({'Q', 0x03000010, 0, {}});
}

// Datagrams back for one request to the control port within the wait.
size_t udpAnswers(const std::string& ip, int waitMs) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(3289);
  inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
  const auto request = statusQuery();
  ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
  pollfd p{fd, POLLIN, 0};
  size_t n = 0;
  if (::poll(&p, 1, waitMs) > 0) {
    uint8_t buffer[256];
    n = ::recv(fd, buffer, sizeof buffer, 0) > 0 ? 1 : 0;
  }
  ::close(fd);
  return n;
}

const std::vector<uint8_t> kAsbOn{0x1D, 0x61, 0xFF};

TEST(EmulatorControl, SocketCommandsFlipTheSwitchesAnAppSees) {
  Controlled c(2335);  // 127.0.9.31
  ASSERT_TRUE(c.started);
  const int data = io_test::connectDataPort(c.ip);
  ASSERT_GE(data, 0);
  ASSERT_TRUE(c.emu->waitForClient(5s));
  sendBytes(data, kAsbOn);
  EXPECT_EQ(readBytes(data, 4), (std::vector<uint8_t>{0x10, 0, 0, 0}));

  auto first = std::make_unique<Session>(c.ip, c.port.port());
  Session& s = *first;
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.ask("status"),
            "power=on cover=closed paper=ok offline=no silent=no client=connected");
  // Each switch reaches the connected app as an automatic status at once.
  struct Step {
    const char* command;
    std::vector<uint8_t> asb;
  };
  const Step steps[] = {
      {"cover open", {0x38, 0, 0, 0}},  {"cover close", {0x10, 0, 0, 0}},
      {"paper near", {0x10, 0, 1, 0}},  {"paper end", {0x18, 0, 4, 0}},
      {"paper ok", {0x10, 0, 0, 0}},    {"offline", {0x18, 0, 0, 0}},
      {"offline off", {0x10, 0, 0, 0}}, {"  offline on\r", {0x18, 0, 0, 0}},
      {"online", {0x10, 0, 0, 0}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.command);
    EXPECT_EQ(s.ask(step.command), "ok");
    EXPECT_EQ(readBytes(data, 4), step.asb);
  }
  // A bad command gets an error naming it, changes nothing and keeps the session.
  const std::pair<const char*, const char*> bad[] = {
      {"cover ajar", "error: cover takes open or close: \"cover ajar\""},
      {"paper", "error: paper takes end, near or ok: \"paper\""},
      {"power up", "error: power takes off or on: \"power up\""},
      {"silent maybe", "error: silent takes nothing, on or off: \"silent maybe\""},
      {"status now", "error: status takes nothing: \"status now\""},
      {"cover open now", "error: too many words: \"cover open now\""},
      {"reboot", "error: unknown command \"reboot\" (try help)"},
  };
  for (const auto& [command, answer] : bad) EXPECT_EQ(s.ask(command), answer);
  EXPECT_EQ(s.ask("silent"), "ok");
  EXPECT_EQ(c.emu->tcpMode(), printer_emulator::TcpMode::Silent);
  EXPECT_EQ(s.ask("cover open"), "ok");
  EXPECT_EQ(s.ask("status"), "power=on cover=open paper=ok offline=no silent=yes client=connected");
  EXPECT_EQ(s.ask("silent off"), "ok");
  EXPECT_EQ(c.emu->tcpMode(), printer_emulator::TcpMode::Normal);

  // Sessions follow one another: one that connects while another is open is
  // served once that one ends.
  Session next(c.ip, c.port.port());
  ASSERT_TRUE(next.ok());
  first.reset();
  EXPECT_EQ(next.ask("cover close"), "ok");
  EXPECT_EQ(next.ask("status"),
            "power=on cover=closed paper=ok offline=no silent=no client=connected");
  ::close(data);
}

TEST(EmulatorControl, PowerOffDropsTheLinkAndPowerOnComesBackFresh) {
  Controlled c(2336);  // 127.0.9.32
  ASSERT_TRUE(c.started);
  const int data = io_test::connectDataPort(c.ip);
  ASSERT_GE(data, 0);
  ASSERT_TRUE(c.emu->waitForClient(5s));
  sendBytes(data, kAsbOn);
  ASSERT_EQ(readBytes(data, 4).size(), 4u);
  ASSERT_EQ(udpAnswers(c.ip, kWaitMs), 1u);

  Session s(c.ip, c.port.port());
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.ask("power off"), "ok");
  // The app's link is closed, a new one refused, the control port silent.
  EXPECT_TRUE(closedByPeer(data));
  ::close(data);
  EXPECT_FALSE(c.emu->clientConnected());
  EXPECT_EQ(io_test::connectDataPort(c.ip), -1);
  EXPECT_EQ(udpAnswers(c.ip, 300), 0u);
  EXPECT_EQ(s.ask("status"), "power=off cover=closed paper=ok offline=no silent=no client=none");
  EXPECT_EQ(s.ask("power off"), "ok");   // already off: nothing more happens
  EXPECT_EQ(s.ask("cover open"), "ok");  // the cover opens on a machine that is off too

  EXPECT_EQ(s.ask("power on"), "ok");
  EXPECT_EQ(udpAnswers(c.ip, kWaitMs), 1u);
  const int again = io_test::connectDataPort(c.ip);
  ASSERT_GE(again, 0);
  ASSERT_TRUE(c.emu->waitForClient(5s));
  // Switched on afresh, the printer sends no automatic status until asked
  // (the cover's closing sends none): the first byte back answers the
  // real-time request.
  EXPECT_EQ(s.ask("cover close"), "ok");
  sendBytes(again, {0x10, 0x04, 0x01});
  EXPECT_EQ(readBytes(again, 1), (std::vector<uint8_t>{0x12}));
  ::close(again);
  ASSERT_TRUE(c.emu->waitForNoClient(5s));

  // The transcript names the link's life and the power switch, each line timed.
  std::vector<std::string> links;
  for (const auto& e : c.emu->takeTranscript()) {
    EXPECT_NE(e.when, std::chrono::system_clock::time_point{});
    if (e.kind != ModelEvent::Kind::Link) continue;
    links.push_back(e.label.rfind("[connected 127.0.0.1:", 0) == 0 ? "[connected]" : e.label);
  }
  EXPECT_EQ(links,
            (std::vector<std::string>{"[connected]", "[closed by the printer]", "[power off]",
                                      "[power on]", "[connected]", "[disconnected by the host]"}));
}

TEST(EmulatorControl, LibraryPowerSwitchNeedsARunningEmulator) {
  printer_emulator::PrinterEmulator stopped;
  EXPECT_FALSE(stopped.powerOff());
  std::string why;
  EXPECT_FALSE(stopped.powerOn(&why));
  EXPECT_FALSE(why.empty());
  ControlPort outside([](const std::string&) { return std::string("ok"); });
  std::string error;
  EXPECT_FALSE(outside.start("192.0.2.7", 0, &error));
  EXPECT_NE(error.find("loopback"), std::string::npos);
}

}  // namespace
