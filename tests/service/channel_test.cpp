// The socket layer and the channel against small loopback peers of the test's
// own: a plain TCP listener and a TLS acceptor with a self-signed identity
// made in memory. Each test takes its own address 127.0.0.N (840..879, 1030).
#include "service/channel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "service/live_threads.h"
#include "service/test_hooks.h"

namespace tilo2::core {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = 10s;

int64_t MsSince(Clock::time_point start) { return io_test::msSince(start); }

// ---- The TLS identity of the test peers -----------------------------------------------

SSL_CTX* ServerContext() {
  static SSL_CTX* const context = [] {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.3.72"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX* c = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(c, cert);
    SSL_CTX_use_PrivateKey(c, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return c;
  }();
  return context;
}

// ---- One accepted connection of a peer ---------------------------------------------------

class Conn {
 public:
  Conn(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
  ~Conn() { close(); }
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  bool write(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < length) {
      const int n = ssl_ != nullptr
                        ? SSL_write(ssl_, p + done, static_cast<int>(length - done))
                        : static_cast<int>(::send(fd_, p + done, length - done, MSG_NOSIGNAL));
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  bool write(const std::string& text) { return write(text.data(), text.size()); }

  // Reads until count bytes arrived or the deadline passed.
  std::string read(size_t count, std::chrono::milliseconds limit = kDeadline) {
    std::string out;
    const auto end = Clock::now() + limit;
    while (out.size() < count && Clock::now() < end) {
      if (ssl_ == nullptr || SSL_pending(ssl_) == 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
      }
      char buffer[65536];
      const size_t want = std::min(sizeof buffer, count - out.size());
      const int n = ssl_ != nullptr ? SSL_read(ssl_, buffer, static_cast<int>(want))
                                    : static_cast<int>(::recv(fd_, buffer, want, 0));
      if (n <= 0) {
        if (ssl_ != nullptr && SSL_get_error(ssl_, n) == SSL_ERROR_WANT_READ) continue;
        break;
      }
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  }

  // True when the client closed its side within the limit.
  bool seesEnd(std::chrono::milliseconds limit = kDeadline) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buffer[4096];
      const int n = ssl_ != nullptr ? SSL_read(ssl_, buffer, sizeof buffer)
                                    : static_cast<int>(::recv(fd_, buffer, sizeof buffer, 0));
      if (n == 0) return true;
      if (n < 0 && (ssl_ == nullptr || SSL_get_error(ssl_, n) != SSL_ERROR_WANT_READ)) {
        return true;
      }
    }
    return false;
  }

  // True when the TLS client ended with close_notify within the limit.
  bool seesCloseNotify(std::chrono::milliseconds limit = kDeadline) {
    const auto end = Clock::now() + limit;
    while (ssl_ != nullptr && Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buffer[4096];
      const int n = SSL_read(ssl_, buffer, sizeof buffer);
      if (n > 0) continue;
      const int error = SSL_get_error(ssl_, n);
      if (error == SSL_ERROR_WANT_READ) continue;
      ERR_clear_error();
      return error == SSL_ERROR_ZERO_RETURN;
    }
    return false;
  }

  // A reset: the client's next read or write fails at once.
  void reset() {
    if (fd_ < 0) return;
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
  }

  void close() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    ssl_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd() const { return fd_; }

 private:
  int fd_;
  SSL* ssl_;
};

// ---- A listener on the test's own address, on a port the system picks -----------------------

class Peer {
 public:
  explicit Peer(int n) : address_(io_test::address(n)) {
    io_test::claimAddress(n);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = 0;
    inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << address_;
    EXPECT_EQ(::listen(fd_, 16), 0);
    socklen_t length = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
  }
  ~Peer() {
    if (fd_ >= 0) ::close(fd_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  const char* host() const { return address_.c_str(); }
  int port() const { return port_; }

  // Accepts one client within the deadline; with tls, completes the server
  // handshake unless handshake is false. Null when nobody came.
  std::unique_ptr<Conn> accept(bool tls, bool handshake = true) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kDeadline).count())) <= 0) {
      return nullptr;
    }
    const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return nullptr;
    if (!tls || !handshake) return std::make_unique<Conn>(c, nullptr);
    SSL* ssl = SSL_new(ServerContext());
    SSL_set_fd(ssl, c);
    if (SSL_accept(ssl) != 1) {
      ERR_clear_error();
      SSL_free(ssl);
      ::close(c);
      return nullptr;
    }
    return std::make_unique<Conn>(c, ssl);
  }

  // Nobody listens on the address any more.
  void stopListening() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  std::string address_;
  int fd_ = -1;
  int port_ = 0;
};

// ---- What the hooks saw, per channel (the channel's context) -------------------------------

struct ChannelLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int32_t> connectCodes;
  std::vector<std::string> chunks;
  int lost = 0;
  std::thread::id hookThread;
  // Runs on the receive thread after a chunk is recorded.
  std::function<void(TdevChannel_t*)> onData;

  std::string bytes() {
    std::lock_guard lock(mutex);
    std::string all;
    for (const auto& c : chunks) all += c;
    return all;
  }
  template <typename Pred>
  bool waitFor(Pred pred, std::chrono::milliseconds limit = kDeadline) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return pred(*this); });
  }
  bool waitConnect(std::chrono::milliseconds limit = kDeadline) {
    return waitFor([](ChannelLog& l) { return !l.connectCodes.empty(); }, limit);
  }
  int lostCount() {
    std::lock_guard lock(mutex);
    return lost;
  }
  int32_t connectCode() {
    std::lock_guard lock(mutex);
    return connectCodes.empty() ? -1 : connectCodes.front();
  }
  bool waitBytes(size_t count) {
    return waitFor([count](ChannelLog& l) {
      size_t n = 0;
      for (const auto& c : l.chunks) n += c.size();
      return n >= count;
    });
  }
};

ChannelLog* LogOf(TdevChannel_t* channel) {
  return static_cast<ChannelLog*>(TdevChannelContext(channel));
}

void OnConnectResult(TdevChannel_t* channel, const char* host, int32_t code) {
  ChannelLog* log = LogOf(channel);
  if (log == nullptr || host == nullptr) return;
  std::lock_guard lock(log->mutex);
  log->connectCodes.push_back(code);
  log->hookThread = std::this_thread::get_id();
  log->changed.notify_all();
}

void OnLost(TdevChannel_t* channel, const char*) {
  ChannelLog* log = LogOf(channel);
  if (log == nullptr) return;
  std::lock_guard lock(log->mutex);
  ++log->lost;
  log->changed.notify_all();
}

void OnData(TdevChannel_t* channel, const char*, const uint8_t* bytes, int32_t length) {
  ChannelLog* log = LogOf(channel);
  if (log == nullptr) return;
  std::function<void(TdevChannel_t*)> action;
  {
    std::lock_guard lock(log->mutex);
    log->chunks.emplace_back(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    action = log->onData;
    log->changed.notify_all();
  }
  if (action) action(channel);
}

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = TdevChannelGetHooks();
    TdevChannelSetHooks(TdevChannelHooks{OnConnectResult, OnLost, OnData});
    threadsAtStart_ = TdevLiveThreadCount();
  }
  void TearDown() override {
    for (TdevChannel_t* channel : channels_) EXPECT_EQ(TdevChannelFree(channel), 0);
    EXPECT_TRUE(
        io_test::Eventually([&] { return TdevLiveThreadCount() == threadsAtStart_; }, kDeadline));
    TdevChannelSetHooks(saved_);
  }

  // Opens a channel whose hooks report into log; freed at the end of the test.
  TdevChannel_t* open(const Peer& peer, int tls, int timeoutMs, ChannelLog& log) {
    TdevChannel_t* channel = nullptr;
    EXPECT_EQ(TdevChannelOpen(&channel, peer.host(), peer.port(), tls, timeoutMs, &log), 0);
    if (channel != nullptr) channels_.push_back(channel);
    return channel;
  }
  // Opens a channel, takes the peer's side of it and waits for the connect
  // report; conn stays null (with the failure recorded) when any step fails.
  TdevChannel_t* openAccepted(Peer& peer, int tls, int timeoutMs, ChannelLog& log,
                              std::unique_ptr<Conn>& conn) {
    TdevChannel_t* channel = open(peer, tls, timeoutMs, log);
    conn = peer.accept(tls == 1);
    if (conn && !log.waitConnect()) {
      ADD_FAILURE() << "no connect report";
      conn.reset();
    }
    if (!conn) ADD_FAILURE() << "the peer took no connection";
    return channel;
  }
  // A log that outlives every channel of the test (they are freed in TearDown).
  ChannelLog& makeLog() { return *logs_.emplace_back(std::make_unique<ChannelLog>()); }

  // Frees a channel before the end of the test.
  void freeNow(TdevChannel_t* channel) {
    EXPECT_EQ(TdevChannelFree(channel), 0);
    std::erase(channels_, channel);
  }

  TdevChannelHooks saved_{};
  int32_t threadsAtStart_ = 0;
  std::vector<TdevChannel_t*> channels_;
  std::vector<std::unique_ptr<ChannelLog>> logs_;
};

// ---- Socket layer --------------------------------------------------------------------------

TEST(ServiceSocket, ErrnoTableInTheWrapperSpace) {
  const struct {
    int32_t code;
    int32_t result;
  } rows[] = {
      {11, 1},   {112, 1}, {138, -2}, {13, -6},   {107, -6},  {108, -3},   {4, -3},
      {126, -3}, {32, -3}, {118, -3}, {110, -3},  {106, -3},  {24, -4},    {23, -4},
      {119, -4}, {12, -4}, {0, -999}, {14, -999}, {22, -999}, {102, -999}, {135, -999},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(TdevSocketResultFromErrno(row.code), row.result) << row.code;
  }
  // The native numbers that differ from the wrapper's go through its map first.
  EXPECT_EQ(TdevSocketResultFromErrno(platform_socket_errno(EPIPE)), -3);
  EXPECT_EQ(TdevSocketResultFromErrno(platform_socket_errno(ENFILE)), -4);
  EXPECT_EQ(TdevSocketResultFromErrno(platform_socket_errno(ETIMEDOUT)), -2);
  EXPECT_EQ(TdevSocketResultFromErrno(platform_socket_errno(EHOSTUNREACH)), -3);
}

TEST(ServiceSocket, BadArgumentsAndEmptySends) {
  const std::string unused = io_test::address(870);  // nothing is ever connected there
  TdevSocket_t* record = reinterpret_cast<TdevSocket_t*>(1);
  EXPECT_EQ(tcp_connect_host(nullptr, 8009, 0, 1000, &record), -1);
  EXPECT_EQ(tcp_connect_host(unused.c_str(), 8009, 0, 1000, nullptr), -1);
  EXPECT_EQ(tcp_disconnect_host(nullptr), -1);
  int32_t socket = 7;
  EXPECT_EQ(tcp_socket_connect(nullptr, 8009, 1000, &socket), -1);
  EXPECT_EQ(socket, -1);  // "no socket" is -1, never 0
  EXPECT_EQ(tcp_socket_connect(unused.c_str(), 8009, 1000, nullptr), -1);
  // Not a numeric address: no lookup is made, the address is unusable.
  EXPECT_EQ(tcp_socket_connect("printer.invalid", 8009, 1000, &socket), -3);
  EXPECT_EQ(socket, -1);
  ssl_st* connection = nullptr;
  ssl_ctx_st* context = nullptr;
  EXPECT_EQ(ssl_socket_connect(-1, 1000, &connection, &context), -1);

  // A pair of connected sockets stands in for a connection.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  int32_t count = 99;
  const char byte = 'x';
  EXPECT_EQ(tcp_socket_send(pair[0], nullptr, 1, 100, &count), -1);
  EXPECT_EQ(tcp_socket_send(pair[0], &byte, 1, 100, nullptr), -1);
  count = 99;
  EXPECT_EQ(tcp_socket_send(pair[0], &byte, 0, 100, &count), 0);
  EXPECT_EQ(count, 0);
  char buffer[8];
  EXPECT_EQ(tcp_socket_recv(pair[1], nullptr, 8, 100, &count), -1);
  EXPECT_EQ(tcp_socket_recv(pair[1], buffer, 8, 100, nullptr), -1);
  EXPECT_EQ(ssl_socket_send(nullptr, pair[0], &byte, 1, 100, &count), -1);
  EXPECT_EQ(ssl_socket_recv(nullptr, pair[1], buffer, 8, 100, &count), -1);

  // Nothing waiting: -2 within the wait. Then bytes, then the peer's close.
  EXPECT_EQ(tcp_socket_recv(pair[1], buffer, 8, 50, &count), -2);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(tcp_socket_send(pair[0], "abc", 3, 100, &count), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(tcp_socket_recv(pair[1], buffer, 8, 1000, &count), 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(count)), "abc");
  ::close(pair[0]);
  EXPECT_EQ(tcp_socket_recv(pair[1], buffer, 8, 1000, &count), -3);
  EXPECT_EQ(count, 0);
  ::close(pair[1]);
}

// The receive fills the buffer while more is waiting and stops when it is full.
TEST(ServiceSocket, ReceiveTakesWhatIsWaitingUpToTheCapacity) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const std::string sent(10000, 'q');
  int32_t count = 0;
  ASSERT_EQ(tcp_socket_send(pair[0], sent.data(), static_cast<int32_t>(sent.size()), 1000, &count),
            0);
  std::vector<char> buffer(4096);
  EXPECT_EQ(tcp_socket_recv(pair[1], buffer.data(), 4096, 1000, &count), 0);
  EXPECT_EQ(count, 4096);
  std::vector<char> rest(20000);
  EXPECT_EQ(tcp_socket_recv(pair[1], rest.data(), 20000, 1000, &count), 0);
  EXPECT_EQ(count, 10000 - 4096);
  ::close(pair[0]);
  ::close(pair[1]);
}

TEST(ServiceSocket, ConnectSetsKeepAliveAndUserTimeout) {
  Peer peer(840);
  TdevSocket_t* record = nullptr;
  ASSERT_EQ(tcp_connect_host(peer.host(), peer.port(), 0, 5000, &record), 0);
  ASSERT_NE(record, nullptr);
  EXPECT_STREQ(record->host, peer.host());
  EXPECT_EQ(record->port, peer.port());
  EXPECT_EQ(record->tls_connection, nullptr);
  int value = 0;
  socklen_t length = sizeof value;
  ASSERT_EQ(::getsockopt(record->socket, SOL_SOCKET, SO_KEEPALIVE, &value, &length), 0);
  EXPECT_EQ(value, 1);
  ASSERT_EQ(::getsockopt(record->socket, IPPROTO_TCP, TCP_KEEPIDLE, &value, &length), 0);
  EXPECT_EQ(value, 30);
  unsigned int userTimeout = 0;
  length = sizeof userTimeout;
  ASSERT_EQ(::getsockopt(record->socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, &length), 0);
  EXPECT_EQ(userTimeout, 15000u);
  auto conn = peer.accept(false);
  ASSERT_TRUE(conn);
  EXPECT_EQ(tcp_disconnect_host(record), 0);
  EXPECT_TRUE(conn->seesEnd());
}

// Refused attempts are repeated with fresh sockets until the limit; the last
// attempt's result is reported.
TEST(ServiceSocket, RefusedConnectRetriesUntilItsLimit) {
  Peer peer(841);
  const int port = peer.port();
  peer.stopListening();
  int32_t socket = 7;
  const auto start = Clock::now();
  EXPECT_EQ(tcp_socket_connect(peer.host(), port, 1000, &socket), -6);
  EXPECT_GE(MsSince(start), 990);  // the limit is counted in whole milliseconds
  EXPECT_LT(MsSince(start), 10000);
  EXPECT_EQ(socket, -1);
}

// ---- Channel --------------------------------------------------------------------------------

TEST_F(ChannelTest, OpenRefusesBadArgumentsAndStartsNoThread) {
  ChannelLog& log = makeLog();
  const std::string unusedText = io_test::address(871);  // nothing is ever connected there
  const char* unused = unusedText.c_str();
  const struct {
    bool out;
    const char* host;
    int32_t port;
    int32_t timeout;
  } rows[] = {
      {false, unused, 8009, 1000}, {true, nullptr, 8009, 1000}, {true, unused, 0, 1000},
      {true, unused, -1, 1000},    {true, unused, 8009, 0},     {true, unused, 8009, -2},
  };
  for (const auto& row : rows) {
    TdevChannel_t* channel = reinterpret_cast<TdevChannel_t*>(1);
    EXPECT_EQ(
        TdevChannelOpen(row.out ? &channel : nullptr, row.host, row.port, 0, row.timeout, &log), 1)
        << (row.host ? row.host : "(null)") << " " << row.port << " " << row.timeout;
    if (row.out) {
      EXPECT_EQ(channel, nullptr);
    }
    EXPECT_EQ(TdevLiveThreadCount(), threadsAtStart_);
  }
  EXPECT_EQ(log.connectCode(), -1);

  EXPECT_EQ(TdevChannelSend(nullptr, "a", 1), 1);
  EXPECT_EQ(TdevChannelJoin(nullptr), 1);
  EXPECT_EQ(TdevChannelFree(nullptr), 1);
}

TEST_F(ChannelTest, RefusedConnectReportsCodeEightAfterItsLimit) {
  Peer peer(842);
  const int port = peer.port();
  peer.stopListening();
  ChannelLog& log = makeLog();
  const auto start = Clock::now();
  TdevChannel_t* channel = nullptr;
  ASSERT_EQ(TdevChannelOpen(&channel, peer.host(), port, 0, 1000, &log), 0);
  channels_.push_back(channel);
  ASSERT_TRUE(log.waitConnect());
  EXPECT_GE(MsSince(start), 990);  // the limit is counted in whole milliseconds
  EXPECT_EQ(log.connectCode(), TDEV_CHANNEL_FAILED);
  EXPECT_NE(log.hookThread, std::this_thread::get_id());
  EXPECT_EQ(TdevChannelResultToResult(log.connectCode(), -1), 255);
  EXPECT_EQ(TdevChannelSend(channel, "x", 1), TDEV_CHANNEL_NOT_CONNECTED);
  // A failed connect ends the thread by itself, and no link-lost comes.
  EXPECT_TRUE(io_test::Eventually([&] { return TdevLiveThreadCount() == threadsAtStart_; }));
  EXPECT_EQ(log.lostCount(), 0);
}

class ChannelBothTest : public ChannelTest, public ::testing::WithParamInterface<int> {};

// A message of n bytes puts n + 1 bytes on the wire, the last one 0; what the
// peer sends reaches the data hook unchanged.
TEST_P(ChannelBothTest, SendAddsOneNulAndDataComesBack) {
  const int tls = GetParam();
  Peer peer(843 + tls);
  ChannelLog& log = makeLog();
  std::unique_ptr<Conn> conn;
  TdevChannel_t* channel = openAccepted(peer, tls, 5000, log, conn);
  ASSERT_TRUE(conn);
  ASSERT_EQ(log.connectCode(), 0);
  EXPECT_EQ(TdevChannelIsConnected(channel), 1);
  EXPECT_EQ(TdevChannelTls(channel), tls);
  EXPECT_EQ(TdevChannelPort(channel), peer.port());
  EXPECT_STREQ(TdevChannelHost(channel), peer.host());

  for (size_t size : {size_t{1}, size_t{4095}, size_t{4096}, size_t{200000}}) {
    std::string message(size, 'm');
    for (size_t i = 0; i < size; ++i) message[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(TdevChannelSend(channel, message.data(), static_cast<int32_t>(size)), 0) << size;
    const std::string wire = conn->read(size + 1);
    ASSERT_EQ(wire.size(), size + 1) << size;
    EXPECT_EQ(wire.substr(0, size), message);
    EXPECT_EQ(wire.back(), '\0');
  }
  EXPECT_EQ(TdevChannelSend(channel, nullptr, 1), 1);
  EXPECT_EQ(TdevChannelSend(channel, "x", 0), 1);

  const std::string reply("<reply/>\0", 9);
  ASSERT_TRUE(conn->write(reply));
  ASSERT_TRUE(log.waitBytes(reply.size()));
  EXPECT_EQ(log.bytes(), reply);
}

// The peer closing makes the thread report the lost link once and end; a
// send afterwards answers "not connected" without touching the socket.
TEST_P(ChannelBothTest, PeerCloseReportsLinkLostOnce) {
  const int tls = GetParam();
  Peer peer(845 + tls);
  ChannelLog& log = makeLog();
  std::unique_ptr<Conn> conn;
  TdevChannel_t* channel = openAccepted(peer, tls, 5000, log, conn);
  ASSERT_TRUE(conn);
  ASSERT_TRUE(conn->write(std::string("last\0", 5)));
  ASSERT_TRUE(log.waitBytes(5));
  conn->close();
  ASSERT_TRUE(log.waitFor([](ChannelLog& l) { return l.lost > 0; }));
  EXPECT_TRUE(io_test::Eventually([&] { return TdevLiveThreadCount() == threadsAtStart_; }));
  EXPECT_EQ(log.lostCount(), 1);
  EXPECT_EQ(TdevChannelIsConnected(channel), 0);
  EXPECT_EQ(TdevChannelSend(channel, "x", 1), TDEV_CHANNEL_NOT_CONNECTED);
  EXPECT_EQ(log.bytes(), std::string("last\0", 5));
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, ChannelBothTest, ::testing::Values(0, 1),
                         [](const auto& param) { return param.param == 1 ? "Tls" : "Plain"; });

// Two messages that arrive together come in one call; a longer stream comes
// in calls of exactly 4096 bytes but the last.
TEST_F(ChannelTest, ReadsAreDeliveredInCallsOfAtMost4096Bytes) {
  Peer peer(847);
  ChannelLog& log = makeLog();
  open(peer, 0, 5000, log);
  auto conn = peer.accept(false);
  ASSERT_TRUE(conn);
  ASSERT_TRUE(log.waitConnect());

  const std::string two("<a/>\0<b/>\0", 10);
  ASSERT_TRUE(conn->write(two));
  ASSERT_TRUE(log.waitBytes(two.size()));
  {
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.chunks.size(), 1u);
    EXPECT_EQ(log.chunks[0], two);
    log.chunks.clear();
  }

  std::string big(10000, 'z');
  big.back() = '\0';
  ASSERT_TRUE(conn->write(big));
  ASSERT_TRUE(log.waitBytes(big.size()));
  std::lock_guard lock(log.mutex);
  std::string joined;
  for (size_t i = 0; i < log.chunks.size(); ++i) {
    if (i + 1 < log.chunks.size()) {
      EXPECT_EQ(log.chunks[i].size(), 4096u) << i;
    }
    EXPECT_LE(log.chunks[i].size(), 4096u);
    joined += log.chunks[i];
  }
  EXPECT_EQ(joined, big);
}

// A read that ends in NUL is handed on at once instead of waiting for more:
// twenty request-and-answer turns take far less than twenty drain waits.
TEST_F(ChannelTest, ReadEndingInNulIsDeliveredWithoutTheDrainWait) {
  Peer peer(848);
  ChannelLog& log = makeLog();
  std::unique_ptr<Conn> conn;
  TdevChannel_t* channel = openAccepted(peer, 0, 5000, log, conn);
  ASSERT_TRUE(conn);
  std::atomic<bool> stop{false};
  // The peer answers every message it gets.
  std::thread echo([&] {
    while (!stop.load()) {
      const std::string got = conn->read(2, 200ms);
      if (got.size() == 2) conn->write(got);
    }
  });
  const auto start = Clock::now();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(TdevChannelSend(channel, "k", 1), 0);
    ASSERT_TRUE(log.waitBytes(static_cast<size_t>(2 * (i + 1))));
  }
  const int64_t elapsed = MsSince(start);
  stop.store(true);
  echo.join();
  // Twenty drain waits alone would take 2000 ms.
  EXPECT_LT(elapsed, 1500);
  std::lock_guard lock(log.mutex);
  EXPECT_EQ(log.chunks.size(), 20u);
}

// A partial message waits for its rest within the drain and arrives in one call.
TEST_F(ChannelTest, SplitMessageIsJoinedWithinTheDrain) {
  Peer peer(849);
  ChannelLog& log = makeLog();
  open(peer, 0, 5000, log);
  auto conn = peer.accept(false);
  ASSERT_TRUE(conn);
  ASSERT_TRUE(log.waitConnect());
  ASSERT_TRUE(conn->write("<half"));
  ASSERT_TRUE(conn->write(std::string("/>\0", 3)));
  ASSERT_TRUE(log.waitBytes(8));
  EXPECT_EQ(log.bytes(), std::string("<half/>\0", 8));
}

TEST_F(ChannelTest, JoinFromTheDataHookAnswersSevenAndDoesNotWait) {
  Peer peer(850);
  ChannelLog& log = makeLog();
  std::atomic<int32_t> joinResult{-1};
  std::atomic<int32_t> freeResult{-1};
  log.onData = [&](TdevChannel_t* channel) {
    joinResult.store(TdevChannelJoin(channel));
    freeResult.store(TdevChannelFree(channel));
  };
  std::unique_ptr<Conn> conn;
  TdevChannel_t* channel = openAccepted(peer, 0, 5000, log, conn);
  ASSERT_TRUE(conn);
  ASSERT_TRUE(conn->write(std::string("x\0", 2)));
  ASSERT_TRUE(io_test::Eventually([&] { return freeResult.load() != -1; }));
  EXPECT_EQ(joinResult.load(), TDEV_CHANNEL_SELF_JOIN);
  EXPECT_EQ(freeResult.load(), TDEV_CHANNEL_SELF_JOIN);
  // The channel still runs.
  EXPECT_EQ(TdevChannelIsConnected(channel), 1);
  EXPECT_EQ(TdevChannelSend(channel, "y", 1), 0);
  EXPECT_EQ(conn->read(2), std::string("y\0", 2));
}

// Join ends the receive thread at once, whether it waits in a read of a
// silent peer or in the handshake of a peer that never answers, however long
// the channel's own wait is.
TEST_F(ChannelTest, JoinEndsAWaitingThreadAtOnce) {
  Peer silent(851);
  Peer neverHandshakes(852);
  ChannelLog& readingLog = makeLog();
  ChannelLog& connectingLog = makeLog();
  TdevChannel_t* reading = open(silent, 0, 120000, readingLog);
  auto conn = silent.accept(false);
  ASSERT_TRUE(conn);
  ASSERT_TRUE(readingLog.waitConnect());
  TdevChannel_t* connecting = open(neverHandshakes, 1, 120000, connectingLog);
  auto raw = neverHandshakes.accept(true, false);
  ASSERT_TRUE(raw);

  const auto start = Clock::now();
  freeNow(reading);
  EXPECT_TRUE(conn->seesEnd());
  freeNow(connecting);
  EXPECT_LT(MsSince(start), 10000);
  // The stopped connect reports a failure, which its owner no longer reads.
  EXPECT_EQ(connectingLog.connectCode(), TDEV_CHANNEL_FAILED);
  EXPECT_EQ(readingLog.lostCount(), 0);
}

// A TLS peer that accepts the connection but never answers the handshake
// fails the connect within the connect limit, as a timeout.
TEST_F(ChannelTest, SilentTlsPeerTimesOutWithinTheConnectLimit) {
  Peer peer(853);
  ChannelLog& log = makeLog();
  const auto start = Clock::now();
  open(peer, 1, 1500, log);
  auto raw = peer.accept(true, false);
  ASSERT_TRUE(raw);
  ASSERT_TRUE(log.waitConnect());
  const int64_t elapsed = MsSince(start);
  EXPECT_EQ(log.connectCode(), TDEV_CHANNEL_TIMEOUT);
  EXPECT_EQ(TdevChannelResultToResult(log.connectCode(), -1), 3);
  EXPECT_GE(elapsed, 1400);
  EXPECT_LT(elapsed, 1500 + 5000);
}

// A handshake that hangs on one silent peer holds up no other connection,
// and its channel, freed, stops waiting at once.
TEST_F(ChannelTest, SilentHandshakeDoesNotHoldUpAnotherConnection) {
  Peer silent(863);
  Peer good(864);
  ChannelLog& silentLog = makeLog();
  ChannelLog& goodLog = makeLog();
  TdevChannel_t* waiting = open(silent, 1, 120000, silentLog);
  auto raw = silent.accept(true, false);
  ASSERT_TRUE(raw);
  open(good, 1, 120000, goodLog);
  auto conn = good.accept(true);
  ASSERT_TRUE(conn);
  ASSERT_TRUE(goodLog.waitConnect());
  EXPECT_EQ(goodLog.connectCode(), 0);
  EXPECT_EQ(silentLog.connectCode(), -1);  // still in its handshake
  freeNow(waiting);
  EXPECT_EQ(silentLog.connectCode(), TDEV_CHANNEL_FAILED);
}

// A freed TLS channel ends the session with close_notify, sent once and not
// waited for.
TEST_F(ChannelTest, FreedTlsChannelSendsCloseNotify) {
  Peer peer(865);
  ChannelLog& log = makeLog();
  std::unique_ptr<Conn> conn;
  TdevChannel_t* channel = openAccepted(peer, 1, 60000, log, conn);
  ASSERT_TRUE(conn);
  freeNow(channel);
  EXPECT_TRUE(conn->seesCloseNotify());
}

// A peer that is not a TLS server at all fails the handshake at once.
TEST_F(ChannelTest, TlsToAPlainPeerFailsTheHandshake) {
  Peer peer(854);
  ChannelLog& log = makeLog();
  open(peer, 1, 60000, log);
  auto raw = peer.accept(true, false);
  ASSERT_TRUE(raw);
  ASSERT_TRUE(raw->write("HTTP/1.1 400 Bad Request\r\n\r\n"));
  raw->close();
  ASSERT_TRUE(log.waitConnect());
  EXPECT_EQ(log.connectCode(), TDEV_CHANNEL_FAILED);
}

// 10 KB in one TLS record: what the TLS object holds decrypted is read without
// waiting on the socket, where nothing more will come.
TEST_F(ChannelTest, TenKilobytesInOneTlsRecordArriveAtOnce) {
  Peer peer(855);
  ChannelLog& log = makeLog();
  open(peer, 1, 60000, log);
  auto conn = peer.accept(true);
  ASSERT_TRUE(conn);
  ASSERT_TRUE(log.waitConnect());
  std::string message(10240, 'r');
  message.back() = '\0';
  ASSERT_TRUE(conn->write(message));  // one SSL_write below the record limit: one record
  ASSERT_TRUE(log.waitBytes(message.size()));
  EXPECT_EQ(log.bytes(), message);
}

class ChannelResetTest : public ChannelTest, public ::testing::WithParamInterface<int> {};

// The peer resets the connection while a large send is under way: the send
// fails, and the process, which does not ignore SIGPIPE, lives on.
TEST_P(ChannelResetTest, PeerResetDuringALargeSendFailsTheSend) {
  struct sigaction previous {};
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ASSERT_EQ(::sigaction(SIGPIPE, &fallback, &previous), 0);

  const int tls = GetParam();
  Peer peer(856 + tls);
  ChannelLog& log = makeLog();
  std::unique_ptr<Conn> conn;
  TdevChannel_t* channel = openAccepted(peer, tls, 60000, log, conn);
  ASSERT_TRUE(conn);

  const std::string large(32 * 1024 * 1024, 'L');
  std::atomic<int32_t> result{-1};
  std::thread sender([&] {
    result.store(TdevChannelSend(channel, large.data(), static_cast<int32_t>(large.size())));
  });
  // Some of it has arrived: the send is under way.
  EXPECT_EQ(conn->read(1000).size(), 1000u);
  conn->reset();
  sender.join();
  // The write meets the reset (8), or the receive thread meets it first and
  // stops the channel under the waiting send (3).
  EXPECT_TRUE(result.load() == TDEV_CHANNEL_FAILED || result.load() == TDEV_CHANNEL_NOT_CONNECTED)
      << result.load();
  ASSERT_TRUE(log.waitFor([](ChannelLog& l) { return l.lost > 0; }));
  ::sigaction(SIGPIPE, &previous, nullptr);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, ChannelResetTest, ::testing::Values(0, 1),
                         [](const auto& param) { return param.param == 1 ? "Tls" : "Plain"; });

// A send waiting on a peer that stopped reading gives up when the channel is
// joined, with "not connected", instead of holding the channel for its wait.
TEST_F(ChannelTest, JoinReleasesASendWaitingOnAFullSocket) {
  Peer peer(858);
  ChannelLog& log = makeLog();
  std::unique_ptr<Conn> conn;
  TdevChannel_t* channel = openAccepted(peer, 0, 60000, log, conn);
  ASSERT_TRUE(conn);
  const std::string large(64 * 1024 * 1024, 'F');
  std::atomic<int32_t> result{-1};
  std::thread sender([&] {
    result.store(TdevChannelSend(channel, large.data(), static_cast<int32_t>(large.size())));
  });
  // The peer reads nothing: once its receive queue stops growing the sender waits.
  int last = -1;
  ASSERT_TRUE(io_test::Eventually([&] {
    int queued = 0;
    ::ioctl(conn->fd(), FIONREAD, &queued);
    const bool settled = queued > 0 && queued == last;
    last = queued;
    if (!settled) std::this_thread::sleep_for(20ms);
    return settled;
  }));
  EXPECT_EQ(result.load(), -1);
  const auto start = Clock::now();
  EXPECT_EQ(TdevChannelJoin(channel), 0);
  sender.join();
  EXPECT_LT(MsSince(start), 10000);
  EXPECT_EQ(result.load(), TDEV_CHANNEL_NOT_CONNECTED);
  EXPECT_EQ(TdevChannelJoin(channel), 0);  // joining again answers at once
}

// Sends from several threads never interleave on the wire.
TEST_P(ChannelBothTest, ConcurrentSendsStayWhole) {
  const int tls = GetParam();
  Peer peer(859 + tls);
  ChannelLog& log = makeLog();
  std::unique_ptr<Conn> conn;
  TdevChannel_t* channel = openAccepted(peer, tls, 5000, log, conn);
  ASSERT_TRUE(conn);
  constexpr int kThreads = 4;
  constexpr int kEach = 25;
  constexpr size_t kSize = 30000;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      const std::string message(kSize, static_cast<char>('A' + t));
      for (int i = 0; i < kEach; ++i) {
        EXPECT_EQ(TdevChannelSend(channel, message.data(), static_cast<int32_t>(kSize)), 0);
      }
    });
  }
  // Meanwhile the peer talks back, so the TLS object is read while it is written.
  for (int i = 0; i < 50; ++i) conn->write(std::string("p\0", 2));
  const std::string wire = conn->read(kThreads * kEach * (kSize + 1), 30s);
  for (auto& s : senders) s.join();
  ASSERT_EQ(wire.size(), kThreads * kEach * (kSize + 1));
  for (size_t at = 0; at < wire.size(); at += kSize + 1) {
    const char first = wire[at];
    ASSERT_EQ(wire.find_first_not_of(first, at), at + kSize) << at;
    ASSERT_EQ(wire[at + kSize], '\0');
  }
  EXPECT_TRUE(log.waitBytes(100));
}

// Channels opened, used and freed in a loop, some mid-connect and some after
// the peer dropped them: every thread ends and nothing leaks (sanitizer builds).
TEST_F(ChannelTest, OpenUseAndFreeInALoop) {
  Peer peer(861);
  Peer early(862);  // its clients are freed at once; nobody accepts them
  for (int round = 0; round < 20; ++round) {
    ChannelLog& log = makeLog();
    const int tls = round % 2;
    if (round % 5 == 4) {
      freeNow(open(early, tls, 5000, log));
      continue;
    }
    std::unique_ptr<Conn> conn;
    TdevChannel_t* channel = openAccepted(peer, tls, 5000, log, conn);
    ASSERT_TRUE(conn);
    EXPECT_EQ(TdevChannelSend(channel, "ping", 4), 0);
    EXPECT_EQ(conn->read(5), std::string("ping\0", 5));
    if (round % 3 == 0) {
      conn->reset();
      ASSERT_TRUE(log.waitFor([](ChannelLog& l) { return l.lost > 0; }));
    }
    freeNow(channel);
  }
  EXPECT_TRUE(io_test::Eventually([&] { return TdevLiveThreadCount() == threadsAtStart_; }));
}

// The receive thread is counted from the moment TdevChannelOpen returns,
// before it has had a chance to run, and uncounted once TdevChannelFree has
// joined it: a test reading the count right after either call sees it exact.
// Nobody accepts, so every thread stays busy connecting, reading or in its
// handshake until it is freed.
TEST_F(ChannelTest, LiveCountHoldsTheThreadFromOpenUntilFree) {
  Peer peer(1030);
  std::vector<TdevChannel_t*> opened;
  for (int i = 0; i < 8; ++i) {
    ChannelLog& log = makeLog();
    TdevChannel_t* channel = open(peer, i % 2, 120000, log);
    ASSERT_NE(channel, nullptr);
    opened.push_back(channel);
    EXPECT_EQ(TdevLiveThreadCount(), threadsAtStart_ + i + 1) << "after open " << i;
  }
  for (size_t i = 0; i < opened.size(); ++i) {
    freeNow(opened[i]);
    EXPECT_EQ(TdevLiveThreadCount(), threadsAtStart_ + static_cast<int32_t>(opened.size() - i - 1))
        << "after free " << i;
  }
}

}  // namespace
}  // namespace tilo2::core
