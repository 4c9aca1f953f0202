#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/platform.h"
#include "log_test_fixture.h"

using namespace tilo2::core;

namespace {

// A listening socket on a free port of the address; *bound receives its address.
// A receive buffer size above 0 is fixed before listen() (so it does not grow)
// and inherited by the accepted connections.
int listen_on(const char* address, int backlog, sockaddr_in* bound, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) {
    EXPECT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer), 0);
  }
  *bound = sockaddr_in{};
  bound->sin_family = AF_INET;
  inet_pton(AF_INET, address, &bound->sin_addr);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(bound), sizeof *bound), 0);
  EXPECT_EQ(::listen(fd, backlog), 0);
  socklen_t len = sizeof *bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(bound), &len);
  return fd;
}

// A listening socket on a free port of a loopback address, closed with the object.
class Listener {
 public:
  Listener(const char* address, int backlog, int receiveBuffer = 0) {
    fd_ = listen_on(address, backlog, &bound_, receiveBuffer);
    port_ = ntohs(bound_.sin_port);
  }
  ~Listener() { ::close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  uint16_t port() const { return port_; }

 protected:
  int fd_ = -1;
  uint16_t port_ = 0;
  sockaddr_in bound_{};
};

// A loopback listener that collects what each accepted connection sends
// until the peer closes it.
class LineListener : public Listener {
 public:
  explicit LineListener(const char* address, int receiveBuffer = 0)
      : Listener(address, 16, receiveBuffer) {}

  // Accepts up to n connections, each read to its end, within a generous deadline.
  std::vector<std::string> collect(size_t n) {
    std::vector<std::string> got;
    const uint64_t end = platform_tick_ms() + 20000;
    while (got.size() < n && platform_tick_ms() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) != 1) continue;
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      std::string text;
      char buf[65536];
      for (;;) {
        pollfd q{c, POLLIN, 0};
        if (::poll(&q, 1, 10000) != 1) break;
        const ssize_t r = ::recv(c, buf, sizeof buf, 0);
        if (r <= 0) break;
        text.append(buf, static_cast<size_t>(r));
      }
      ::close(c);
      got.push_back(text);
    }
    return got;
  }
};

uint16_t closed_port(const char* address) {
  LineListener gone(address);
  return gone.port();  // closed again when this returns
}

}  // namespace

TEST_F(LogTest, TcpOutputSendsOneConnectionPerLine) {
  LineListener listener("127.0.0.3");
  ASSERT_EQ(log_set_settings(base_.c_str(), 0, 2, "127.0.0.3", listener.port(), 1, 0), 0);
  std::vector<std::string> got;
  std::thread collector([&] { got = listener.collect(3); });
  for (int i = 0; i < 3; ++i) log_trace("TPRI_", 2, nullptr, 0, "net", LOG_ARG_INT, i, LOG_ARG_END);
  collector.join();
  ASSERT_EQ(got.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    ASSERT_GT(got[i].size(), 42u) << got[i];
    EXPECT_EQ(got[i].substr(42), "TPRI_,--,0000000000000000,,,net," + std::to_string(i) + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(base_ + "/Tilo2Log"));  // nothing went to a file
}

TEST_F(LogTest, TcpOutputToAClosedPortLosesTheLineOnly) {
  const uint16_t port = closed_port("127.0.0.4");
  ASSERT_EQ(log_set_settings(base_.c_str(), 0, 2, "127.0.0.4", port, 1, 0), 0);
  const uint64_t start = platform_tick_ms();
  EXPECT_EQ(log_send_tcp("127.0.0.4", port, "line\n"), 255);
  log_trace("TPRI_", 2, nullptr, 0, "lost", LOG_ARG_END);
  EXPECT_EQ(log_write_dump("IOCMN", "TCP", nullptr, 1, 1, "a", 1), 255);
  EXPECT_LT(platform_tick_ms() - start, 5000u);
  EXPECT_FALSE(std::filesystem::exists(base_ + "/Tilo2Log"));
  EXPECT_EQ(log_send_tcp("not an address", port, "x\n"), 255);
  EXPECT_EQ(log_send_tcp(nullptr, port, "x\n"), 255);
}

namespace {

// A listener whose accept queue is full: the kernel drops further connection
// requests, so a connect to it neither succeeds nor is refused.
class FullListener : public Listener {
 public:
  explicit FullListener(const char* address) : Listener(address, 0) {
    // Connect until one stays pending: from then on requests are dropped.
    for (int i = 0; i < 16 && !full_; ++i) {
      const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      clients_.push_back(c);
      if (::connect(c, reinterpret_cast<sockaddr*>(&bound_), sizeof bound_) == 0) continue;
      pollfd p{c, POLLOUT, 0};
      full_ = errno == EINPROGRESS && ::poll(&p, 1, 1500) == 0;
    }
  }
  ~FullListener() {
    for (int c : clients_) ::close(c);
  }
  bool full() const { return full_; }

 private:
  bool full_ = false;
  std::vector<int> clients_;
};

}  // namespace

TEST_F(LogTest, TcpOutputToAListenerThatDropsRequestsCostsTheConnectLimit) {
  FullListener listener("127.0.0.7");
  if (!listener.full()) GTEST_SKIP() << "the accept queue did not fill";
  const uint64_t start = platform_tick_ms();
  EXPECT_EQ(log_send_tcp("127.0.0.7", listener.port(), "dropped\n"), 255);
  const uint64_t took = platform_tick_ms() - start;
  // The limit of 1.5 s outlasts the first SYN resend (1 s); a blocking connect
  // would wait out every SYN retry (minutes).
  EXPECT_GE(took, 1400u);
  EXPECT_LT(took, 5000u);
}

namespace {

constexpr int kListenerReceiveBuffer = 64 * 1024;

// More than the send buffer may grow to plus the listener's receive buffer, so
// the kernel cannot take the line in one go.
size_t BeyondTheBuffers() {
  std::ifstream in("/proc/sys/net/ipv4/tcp_wmem");
  size_t low = 0, initial = 0, high = 0;
  if (!(in >> low >> initial >> high)) high = 8u << 20;
  return high + 4 * kListenerReceiveBuffer + (1u << 20);
}

std::string PatternLine(size_t length) {
  std::string line(length, '\0');
  for (size_t i = 0; i < length; ++i) line[i] = static_cast<char>('a' + i % 26);
  line.back() = '\n';
  return line;
}

// Accepts one connection and holds it open without ever reading from it.
class SilentListener : public Listener {
 public:
  explicit SilentListener(const char* address) : Listener(address, 4, kListenerReceiveBuffer) {
    acceptor_ = std::thread([this] {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20000) == 1) accepted_ = ::accept(fd_, nullptr, nullptr);
    });
  }
  ~SilentListener() {
    acceptor_.join();
    if (accepted_ >= 0) ::close(accepted_);
  }

 private:
  std::thread acceptor_;
  int accepted_ = -1;
};

}  // namespace

TEST_F(LogTest, TcpOutputSendsALineLargerThanTheSocketBuffersWhole) {
  LineListener listener("127.0.0.141", kListenerReceiveBuffer);
  const std::string line = PatternLine(BeyondTheBuffers());
  std::vector<std::string> got;
  std::thread collector([&] { got = listener.collect(1); });
  EXPECT_EQ(log_send_tcp("127.0.0.141", listener.port(), line.c_str()), 0);
  collector.join();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].size(), line.size());
  EXPECT_TRUE(got[0] == line) << "the line did not arrive whole";
}

TEST_F(LogTest, TcpOutputToAListenerThatNeverReadsReportsTheLineLost) {
  SilentListener listener("127.0.0.142");
  const std::string line = PatternLine(BeyondTheBuffers());
  const uint64_t start = platform_tick_ms();
  EXPECT_EQ(log_send_tcp("127.0.0.142", listener.port(), line.c_str()), 255);
  const uint64_t took = platform_tick_ms() - start;
  // The send gives up after 1 s without progress, not at the first full buffer.
  EXPECT_GE(took, 950u);
  EXPECT_LT(took, 5000u);
}
