// The device-service emulator itself, driven by small raw clients of the
// test's own (plain sockets and OpenSSL), so the client under test can trust
// its peer. Addresses 880-919.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "service_emulator_support.h"

namespace {

using namespace std::chrono_literals;
using service_emulator::AcceptMode;
using service_emulator::HttpOverride;
using service_emulator::ReplyOverride;
using service_emulator::ServiceEmulator;
using service_emulator::Transport;
using Clock = std::chrono::steady_clock;

constexpr auto kLimit = 10s;

int connectTo(const std::string& ip, uint16_t port, int* error = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (error != nullptr) *error = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

bool waitReadable(int fd, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) == 1;
}

// One raw client of the channel, plain or TLS, reading NUL-terminated messages.
class Peer {
 public:
  Peer(const std::string& ip, uint16_t port, bool tls) {
    fd_ = connectTo(ip, port);
    if (fd_ < 0 || !tls) return;
    ctx_ = SSL_CTX_new(TLS_client_method());
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    if (SSL_connect(ssl_) != 1) {
      SSL_free(ssl_);
      ssl_ = nullptr;
      ::close(fd_);
      fd_ = -1;
    }
    // Later reads wait in poll; the TLS object reads without blocking.
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~Peer() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool ok() const { return fd_ >= 0; }
  SSL* ssl() const { return ssl_; }
  int fd() const { return fd_; }

  bool sendRaw(const std::string& bytes) {
    if (ssl_ != nullptr) {
      size_t done = 0;
      while (done < bytes.size()) {
        const int n = SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done));
        if (n <= 0) {
          const int e = SSL_get_error(ssl_, n);
          if (e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_WANT_READ) return false;
          pollfd p{fd_, POLLOUT, 0};
          ::poll(&p, 1, 1000);
          continue;
        }
        done += static_cast<size_t>(n);
      }
      return true;
    }
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool send(const std::string& text) { return sendRaw(text + std::string(1, '\0')); }

  // Reads once: >0 bytes, 0 closed, -1 nothing yet, -2 error.
  ssize_t readSome(char* buf, size_t size) {
    if (ssl_ != nullptr) {
      const int n = SSL_read(ssl_, buf, static_cast<int>(size));
      if (n > 0) return n;
      const int e = SSL_get_error(ssl_, n);
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return -1;
      return e == SSL_ERROR_ZERO_RETURN ? 0 : -2;
    }
    const ssize_t n = ::recv(fd_, buf, size, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN ? -1 : -2;
    return n;
  }

  // The next message without its NUL, or nullopt on close or at the limit.
  std::optional<std::string> next(std::chrono::milliseconds limit = kLimit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      const size_t nul = pending_.find('\0');
      if (nul != std::string::npos) {
        std::string message = pending_.substr(0, nul);
        pending_.erase(0, nul + 1);
        return message;
      }
      char buf[16384];
      const ssize_t n = readSome(buf, sizeof buf);
      if (n > 0) {
        pending_.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || n == -2) return std::nullopt;
      if (!waitReadable(fd_, deadline)) return std::nullopt;
    }
  }

  // True when the emulator closes the link within the limit (bytes before
  // the close are kept for next()).
  bool closedWithin(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      char buf[4096];
      const ssize_t n = readSome(buf, sizeof buf);
      if (n > 0) {
        pending_.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || n == -2) return true;
      if (!waitReadable(fd_, deadline)) return false;
    }
  }

 private:
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string pending_;
};

// Reads until the link ends: the errno of a failed read, 0 for an orderly
// close, -1 when nothing ended it within the limit.
int readError(int fd) {
  const auto deadline = Clock::now() + kLimit;
  while (waitReadable(fd, deadline)) {
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return 0;
    if (n < 0 && errno != EAGAIN) return errno;
  }
  return -1;
}

std::string openDevice(const std::string& id, const std::string& type) {
  return "<open_device><device_id>" + id + "</device_id><data><buffer>false</buffer><type>" + type +
         "</type></data></open_device>";
}

// An override with the fields the lambda sets.
template <typename T, typename F>
T with(F set) {
  T o;
  set(o);
  return o;
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The text of the first element of that name in a message.
std::string field(const std::string& message, const std::string& name) {
  const std::string open = "<" + name + ">";
  const size_t start = message.find(open);
  if (start == std::string::npos) return {};
  const size_t end = message.find("</" + name + ">", start);
  return message.substr(start + open.size(), end - start - open.size());
}

// ---- the channel -------------------------------------------------------------

TEST(ServiceEmulator, ChannelExchangesFollowTheProtocol) {
  auto emulator = service_test::startServiceEmulator(880);
  ASSERT_TRUE(emulator);
  emulator->setAdmin("Ann <boss>", "shop & back");
  const std::string ip = emulator->options().address;
  Peer a(ip, 8009, false);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a.next(),
            "<connect><data><client_id>C1</client_id><protocol_version>2.00</"
            "protocol_version></data></connect>");
  ASSERT_TRUE(a.send("<admin_info></admin_info>"));
  EXPECT_EQ(a.next(),
            "<admin_info><data><code>OK</code><admin_name>Ann &lt;boss&gt;</admin_name>"
            "<location>shop &amp; back</location></data></admin_info>");

  ASSERT_TRUE(a.send(openDevice("local_printer", "type_printer")));
  EXPECT_EQ(a.next(),
            "<open_device><device_id>local_printer</device_id><data><code>OK</code>"
            "</data><data_id>1</data_id></open_device>");
  EXPECT_EQ(emulator->openDevices("C1"), std::vector<std::string>{"local_printer"});

  // A print job is answered with its result, carrying the device's status.
  ASSERT_TRUE(
      a.send("<device_data><sequence>7</sequence><device_id>local_printer</device_id>"
             "<data><type>print</type><timeout>10000</timeout><printjobid>J1</printjobid>"
             "<printdata><tilo-print><text>x</text></tilo-print></printdata></data>"
             "</device_data>"));
  const auto result = a.next();
  ASSERT_TRUE(result);
  EXPECT_EQ(field(*result, "sequence"), "7");
  EXPECT_EQ(field(*result, "type"), "onxmlresult");
  EXPECT_EQ(field(*result, "data_id"), "2");
  EXPECT_EQ(field(*result, "printjobid"), "J1");
  EXPECT_TRUE(has(*result, "<response success=\"true\" code=\"\" status=\"2\" battery=\"0\"/>"));

  ASSERT_TRUE(a.send("<close_device><device_id>local_printer</device_id></close_device>"));
  EXPECT_EQ(a.next(),
            "<close_device><device_id>local_printer</device_id><data><code>OK</code>"
            "</data><data_id>3</data_id></close_device>");
  ASSERT_TRUE(a.send("<close_device><device_id>local_printer</device_id></close_device>"));
  EXPECT_TRUE(has(a.next().value_or(""), "<code>DEVICE_NOT_OPEN</code>"));

  // Disconnect: the reply, then the service closes the link.
  ASSERT_TRUE(a.send("<disconnect><data><client_id>C1</client_id></data></disconnect>"));
  EXPECT_TRUE(a.closedWithin(kLimit));
  EXPECT_EQ(a.next(), "<disconnect><data><code>OK</code></data></disconnect>");
  EXPECT_TRUE(emulator->waitForConnected(0, kLimit));

  // Everything was recorded in order, each message with its NUL and its time.
  const auto log = emulator->messages();
  ASSERT_EQ(log.size(), 13u);
  EXPECT_TRUE(log[0].fromService);
  EXPECT_EQ(log[0].kind, "connect");
  EXPECT_EQ(log[1].raw, std::string("<admin_info></admin_info>") + '\0');
  EXPECT_FALSE(log[1].fromService);
  EXPECT_EQ(log[5].kind, "print");
  EXPECT_EQ(log[6].root, "device_data");
  EXPECT_EQ(log[6].kind, "onxmlresult");
  for (size_t i = 1; i < log.size(); ++i) EXPECT_LE(log[i - 1].when, log[i].when);
  for (const auto& m : log) EXPECT_EQ(m.client, 1);
}

TEST(ServiceEmulator, OpenDeviceAnswersEveryRefusal) {
  auto emulator = service_test::startServiceEmulator(881);
  ASSERT_TRUE(emulator);
  emulator->setDevice("slip", {"type_hybrid_printer", 0, 0, "TL-H6"});
  const std::string ip = emulator->options().address;
  Peer a(ip, 8009, false);
  Peer b(ip, 8009, false);
  ASSERT_TRUE(a.next() && b.next());
  struct Case {
    Peer* peer;
    const char* id;
    const char* type;
    const char* code;
  } cases[] = {
      {&a, "local_printer", "type_printer", "OK"},
      {&a, "local_printer", "type_printer", "DEVICE_IN_USE"},  // again on the same link
      {&b, "local_printer", "type_printer", "DEVICE_IN_USE"},  // held by another client
      {&b, "nothing_here", "type_printer", "DEVICE_NOT_FOUND"},
      {&b, "slip", "type_printer", "DEVICE_TYPE_INVALID"},  // types compare exactly
      {&b, "slip", "type_hybrid_printer", "OK"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.id) + " " + c.type);
    ASSERT_TRUE(c.peer->send(openDevice(c.id, c.type)));
    const auto reply = c.peer->next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(field(*reply, "code"), c.code);
    EXPECT_EQ(field(*reply, "device_id"), c.id);
  }
  // Every message of a session carries the next data id.
  a.send(openDevice("x", "type_printer"));
  EXPECT_EQ(field(a.next().value_or(""), "data_id"), "3");
}

TEST(ServiceEmulator, JobsAndHybridOperationsEndWithTheirEvents) {
  auto emulator = service_test::startServiceEmulator(894);
  ASSERT_TRUE(emulator);
  emulator->setDevice("slip", {"type_hybrid_printer", 0x40600000, 0, "TL-H6"});
  Peer a(emulator->options().address, 8009, false);
  ASSERT_TRUE(a.next());
  ASSERT_TRUE(a.send(openDevice("slip", "type_hybrid_printer")));
  ASSERT_EQ(field(a.next().value_or(""), "code"), "OK");
  emulator->overrideNextReply("print", with<ReplyOverride>([](auto& o) {
                                o.success = false;
                                o.code = "TPTR_COVER_OPEN";
                                o.status = 0x20;
                              }));
  struct Case {
    const char* device;
    const char* type;
    const char* event;    // type of the answer
    const char* content;  // a part of it
  } cases[] = {
      {"slip", "print", "onxmlresult",
       "<response success=\"false\" code=\"TPTR_COVER_OPEN\" status=\"32\" battery=\"0\"/>"},
      {"slip", "print", "onxmlresult",
       "<response success=\"true\" code=\"\" status=\"1080033280\""},
      {"slip", "clearbuffer", "onreceive",
       "<eventtype>clearbuffer</eventtype><success>true</success><code>OK</code>"
       "<status>1080033280</status>"},
      {"slip", "slipwaitinsertion", "onreceive", "<eventtype>slipwaitinsertion</eventtype>"},
      {"slip", "eject", "onreceive", "<eventtype>eject</eventtype>"},
      {"slip", "micrread", "onreceive", "<data><data>T123456789T 0123456789O</data></data>"},
      {"other", "slipcancel", "onreceive", "<success>false</success><code>DEVICE_NOT_OPEN</code>"},
      {"other", "print", "onxmlresult", "success=\"false\" code=\"DEVICE_NOT_OPEN\""},
  };
  int sequence = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.device) + " " + c.type);
    ASSERT_TRUE(a.send("<device_data><sequence>" + std::to_string(++sequence) +
                       "</sequence><device_id>" + c.device + "</device_id><data><type>" + c.type +
                       "</type><timeout>500</timeout></data></device_data>"));
    const auto event = a.next();
    ASSERT_TRUE(event);
    EXPECT_EQ(field(*event, "sequence"), std::to_string(sequence));
    EXPECT_EQ(field(*event, "device_id"), c.device);
    EXPECT_EQ(field(*event, "type"), c.event);
    EXPECT_TRUE(has(*event, c.content)) << *event;
  }
}

TEST(ServiceEmulator, ReconnectChecksTheOldClientAndItsReceivedId) {
  auto emulator = service_test::startServiceEmulator(882);
  ASSERT_TRUE(emulator);
  const std::string ip = emulator->options().address;
  struct Case {
    const char* name;
    bool knownOldId;
    int receivedOffset;  // added to the old session's last data id
    const char* code;
  } cases[] = {
      {"the old session comes back", true, 0, "OK"},
      {"an earlier data id is fine", true, -1, "OK"},
      {"an unknown old id", false, 0, "CLIENT_NOT_FOUND"},
      {"a data id never sent", true, 1, "CLIENT_NOT_FOUND"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string oldId;
    {
      Peer first(ip, 8009, false);
      const auto hello = first.next();
      ASSERT_TRUE(hello);
      oldId = field(*hello, "client_id");
      first.send(openDevice("local_printer", "type_printer"));
      ASSERT_EQ(field(first.next().value_or(""), "data_id"), "1");
      first.send(openDevice("local_printer", "type_printer"));  // DEVICE_IN_USE, data id 2
      ASSERT_TRUE(first.next());
    }  // the link drops without a disconnect
    Peer second(ip, 8009, false);
    const auto hello = second.next();
    ASSERT_TRUE(hello);
    const std::string newId = field(*hello, "client_id");
    EXPECT_NE(newId, oldId);
    const std::string old = c.knownOldId ? oldId : "C999";
    const std::string reconnect =
        "<reconnect><data><new_client_id>" + newId + "</new_client_id><old_client_id>" + old +
        "</old_client_id><received_id>" + std::to_string(2 + c.receivedOffset) +
        "</received_id></data></reconnect>";
    ASSERT_TRUE(second.send(reconnect));
    EXPECT_EQ(second.next(),
              "<reconnect><data><code>" + std::string(c.code) + "</code></data></reconnect>");
    if (std::string(c.code) == "OK") {
      // The session moved over: its device and its data ids.
      EXPECT_EQ(emulator->openDevices(newId), std::vector<std::string>{"local_printer"});
      second.send("<close_device><device_id>local_printer</device_id></close_device>");
      const auto closed = second.next();
      EXPECT_EQ(field(closed.value_or(""), "code"), "OK");
      EXPECT_EQ(field(closed.value_or(""), "data_id"), "3");
    }
    second.send("<disconnect><data><client_id>" + newId + "</client_id></data></disconnect>");
    EXPECT_TRUE(second.closedWithin(kLimit));
  }
}

TEST(ServiceEmulator, FramingReadsEachMessageOnceHoweverItIsSplit) {
  auto emulator = service_test::startServiceEmulator(883);
  ASSERT_TRUE(emulator);
  Peer a(emulator->options().address, 8009, false);
  ASSERT_TRUE(a.next());
  const std::string admin = std::string("<admin_info></admin_info>") + '\0';
  // Byte by byte, each byte a write of its own.
  for (char c : admin) ASSERT_TRUE(a.sendRaw(std::string(1, c)));
  ASSERT_TRUE(a.next());
  // Two messages and a bad one in one write; the bad one is recorded and skipped.
  ASSERT_TRUE(a.sendRaw(admin + "<broken><" + '\0' + admin));
  ASSERT_TRUE(a.next());
  ASSERT_TRUE(a.next());
  // An unfinished message beyond 1 MiB is dropped up to its NUL; reading goes on.
  ASSERT_TRUE(a.sendRaw("<big>" + std::string((1 << 20) + 10, 'x')));
  ASSERT_TRUE(a.sendRaw(std::string("tail</big>") + '\0' + admin));
  ASSERT_TRUE(a.next());
  EXPECT_EQ(emulator->received("admin_info").size(), 4u);
  const auto all = emulator->received();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[2].raw, std::string("<broken><") + '\0');
  EXPECT_EQ(all[2].root, "");
}

TEST(ServiceEmulator, ReplyOverridesChangeOnlyTheNextReply) {
  auto emulator = service_test::startServiceEmulator(884);
  ASSERT_TRUE(emulator);
  Peer a(emulator->options().address, 8009, false);
  ASSERT_TRUE(a.next());
  struct Case {
    const char* name;
    ReplyOverride override;
    std::vector<std::string> expected;  // the replies to one admin_info request
  } cases[] = {
      {"code",
       with<ReplyOverride>([](auto& o) { o.code = "SYSTEM_ERROR"; }),
       {"<admin_info><data><code>SYSTEM_ERROR</code>"}},
      {"no code element",
       with<ReplyOverride>([](auto& o) { o.code = ""; }),
       {"<admin_info><data><admin_name>"}},
      {"raw text",
       with<ReplyOverride>([](auto& o) { o.raw = "<admin_info/>"; }),
       {"<admin_info/>"}},
      {"duplicate",
       with<ReplyOverride>([](auto& o) { o.duplicate = true; }),
       {"<admin_info><data><code>OK", "<admin_info><data><code>OK"}},
      {"drop", with<ReplyOverride>([](auto& o) { o.drop = true; }), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    emulator->overrideNextReply("admin_info", c.override);
    ASSERT_TRUE(a.send("<admin_info></admin_info>"));
    for (const std::string& prefix : c.expected) {
      const auto reply = a.next();
      ASSERT_TRUE(reply);
      EXPECT_EQ(reply->substr(0, prefix.size()), prefix);
    }
    // The override is used up: the next request is answered normally.
    ASSERT_TRUE(a.send("<admin_info></admin_info>"));
    EXPECT_TRUE(has(a.next().value_or(""), "<code>OK</code>"));
  }
  // A delay holds the reply back; a close after it ends the link.
  emulator->overrideNextReply("admin_info", with<ReplyOverride>([](auto& o) {
                                o.delay = 300ms;
                                o.closeAfter = true;
                              }));
  const auto sent = Clock::now();
  ASSERT_TRUE(a.send("<admin_info></admin_info>"));
  ASSERT_TRUE(a.next());
  EXPECT_GE(Clock::now() - sent, 300ms);
  EXPECT_TRUE(a.closedWithin(kLimit));
  // The greeting can carry a chosen client id.
  emulator->overrideNextReply("connect", with<ReplyOverride>([](auto& o) { o.clientId = "CX"; }));
  Peer b(emulator->options().address, 8009, false);
  EXPECT_EQ(field(b.next().value_or(""), "client_id"), "CX");
}

TEST(ServiceEmulator, SendsChosenBytesAndBreaksTheLinkOnRequest) {
  auto emulator = service_test::startServiceEmulator(885);
  ASSERT_TRUE(emulator);
  const std::string ip = emulator->options().address;
  Peer a(ip, 8009, false);
  ASSERT_TRUE(a.next());
  // Three pieces 200 ms apart: the second piece cannot have come before the pause.
  const auto start = Clock::now();
  ASSERT_TRUE(emulator->sendRaw(0, std::string("<one/>") + '\0' + "<two/>" + '\0', {3, 9}, 200ms));
  EXPECT_EQ(a.next(), "<one/>");
  EXPECT_GE(Clock::now() - start, 200ms);
  EXPECT_EQ(a.next(), "<two/>");
  EXPECT_GE(Clock::now() - start, 400ms);
  const int id = emulator->takeDataId(0);
  EXPECT_EQ(id, 1);
  ASSERT_TRUE(emulator->sendMessage(0, "<x/>"));
  EXPECT_EQ(a.next(), "<x/>");
  EXPECT_EQ(emulator->newestClient(), 1);
  EXPECT_EQ(emulator->sendDeviceEvent(0, "kbd", "onkeypress", "<keycode>13</keycode>", 4), 2);
  EXPECT_EQ(a.next(),
            "<device_data><sequence>4</sequence><device_id>kbd</device_id><data_id>2</data_id>"
            "<data><type>onkeypress</type><keycode>13</keycode></data></device_data>");
  // A dropped disconnect reply leaves the link up.
  emulator->overrideNextReply("disconnect", with<ReplyOverride>([](auto& o) { o.drop = true; }));
  ASSERT_TRUE(a.send("<disconnect><data><client_id>C1</client_id></data></disconnect>"));
  ASSERT_TRUE(emulator->waitForReceived("disconnect", 1, kLimit));
  ASSERT_TRUE(a.send("<admin_info></admin_info>"));
  EXPECT_TRUE(has(a.next().value_or(""), "<code>OK</code>"));

  ASSERT_TRUE(emulator->resetClient(0));
  EXPECT_EQ(readError(a.fd()), ECONNRESET);

  Peer b(ip, 8009, false);
  ASSERT_TRUE(b.next());
  ASSERT_TRUE(emulator->closeClient(0));
  EXPECT_TRUE(b.closedWithin(kLimit));
  EXPECT_TRUE(emulator->waitForConnected(0, kLimit));
  EXPECT_FALSE(emulator->sendMessage(0, "<x/>"));
}

TEST(ServiceEmulator, StoppedReadingBacksUpTheClient) {
  auto emulator = service_test::startServiceEmulator(886);
  ASSERT_TRUE(emulator);
  Peer a(emulator->options().address, 8009, false);
  ASSERT_TRUE(a.next());
  emulator->setReading(false);
  const std::string chunk(64 * 1024, 'x');
  size_t sent = 0;
  bool backedUp = false;
  const auto deadline = Clock::now() + kLimit;
  while (!backedUp && Clock::now() < deadline && sent < (256u << 20)) {
    const ssize_t n = ::send(a.fd(), chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (errno == EAGAIN) {
      // Full only when it stays full: the emulator would drain it within a poll.
      pollfd p{a.fd(), POLLOUT, 0};
      backedUp = ::poll(&p, 1, 300) == 0;
    }
  }
  EXPECT_TRUE(backedUp);
  emulator->setReading(true);
  ASSERT_TRUE(a.sendRaw(std::string(1, '\0') + "<admin_info></admin_info>" + '\0'));
  EXPECT_TRUE(has(a.next().value_or(""), "<code>OK</code>"));
}

// ---- TLS and the listeners -----------------------------------------------------

TEST(ServiceEmulator, TlsUsesTheSelfSignedIdentityAndSendsOneRecord) {
  auto emulator = service_test::startServiceEmulator(887);
  ASSERT_TRUE(emulator);
  const std::string ip = emulator->options().address;
  Peer a(ip, 8143, true);
  ASSERT_TRUE(a.ok());
  X509* cert = SSL_get1_peer_certificate(a.ssl());
  ASSERT_NE(cert, nullptr);
  char cn[64] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
  EXPECT_EQ(std::string(cn), ip);
  EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)), 0);
  EVP_PKEY* key = X509_get0_pubkey(cert);
  EXPECT_EQ(EVP_PKEY_get_base_id(key), EVP_PKEY_EC);
  EXPECT_EQ(EVP_PKEY_get_bits(key), 256);
  int days = 0, seconds = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert), X509_get0_notAfter(cert)),
            1);
  EXPECT_LE(days * 86400 + seconds, 86400 + 60);
  EXPECT_EQ(
      service_emulator::tlsIdentity(ip).certificatePem.rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
  X509_free(cert);

  EXPECT_EQ(field(a.next().value_or(""), "client_id"), "C1");
  // 10 KB in one write of the emulator is one TLS record: one read takes it all.
  const std::string big = "<m>" + std::string(10 * 1024, 'y') + "</m>" + '\0';
  ASSERT_TRUE(emulator->sendRaw(0, big));
  ASSERT_TRUE(waitReadable(a.fd(), Clock::now() + kLimit));
  fcntl(a.fd(), F_SETFL, fcntl(a.fd(), F_GETFL) & ~O_NONBLOCK);
  std::string got(big.size() + 100, '\0');
  const int n = SSL_read(a.ssl(), got.data(), static_cast<int>(got.size()));
  EXPECT_EQ(n, static_cast<int>(big.size()));
  fcntl(a.fd(), F_SETFL, fcntl(a.fd(), F_GETFL) | O_NONBLOCK);
  // And the TLS channel answers like the plain one.
  ASSERT_TRUE(a.send("<admin_info></admin_info>"));
  EXPECT_TRUE(has(a.next().value_or(""), "<code>OK</code>"));
  EXPECT_EQ(emulator->received("admin_info").at(0).transport, Transport::Tls);
}

// The test process keeps SIGPIPE's default action: a write of the emulator
// to a peer that has gone must fail quietly, on TLS as on plain TCP.
TEST(ServiceEmulator, WritesToAVanishedPeerRaiseNoSigpipe) {
  auto emulator = service_test::startServiceEmulator(892);
  ASSERT_TRUE(emulator);
  ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    {
      Peer a(emulator->options().address, tls ? 8143 : 8009, tls);
      ASSERT_TRUE(a.next());
      // Not reading, the emulator learns of the close only by its writes.
      emulator->setReading(false);
    }  // gone without reading what comes next
    std::vector<size_t> splits;
    for (size_t i = 1; i < 40; ++i) splits.push_back(i * 16384);
    ASSERT_TRUE(emulator->sendRaw(0, std::string(40 * 16384, 'z'), splits, 5ms));
    EXPECT_TRUE(emulator->waitForConnected(0, kLimit));
    emulator->setReading(true);
  }
}

TEST(ServiceEmulator, ListenerFaultsOnRequest) {
  auto emulator = service_test::startServiceEmulator(888);
  ASSERT_TRUE(emulator);
  const std::string ip = emulator->options().address;

  // Silent TLS: the connection is accepted but never handshakes.
  emulator->setAcceptMode(Transport::Tls, AcceptMode::Silent);
  {
    const int fd = connectTo(ip, 8143);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(emulator->waitForAccepted(1, kLimit));
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    int r = SSL_connect(ssl);
    EXPECT_EQ(SSL_get_error(ssl, r), SSL_ERROR_WANT_READ);
    EXPECT_FALSE(waitReadable(fd, Clock::now() + 500ms));  // no server hello
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ::close(fd);
  }
  emulator->setAcceptMode(Transport::Tls, AcceptMode::Normal);

  // Close and reset on accept.
  emulator->setAcceptMode(Transport::Plain, AcceptMode::CloseOnAccept);
  {
    Peer p(ip, 8009, false);
    EXPECT_TRUE(p.closedWithin(kLimit));
    EXPECT_EQ(p.next(0ms), std::nullopt);
  }
  emulator->setAcceptMode(Transport::Plain, AcceptMode::ResetOnAccept);
  {
    const int fd = connectTo(ip, 8009);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(readError(fd), ECONNRESET);
    ::close(fd);
  }
  emulator->setAcceptMode(Transport::Plain, AcceptMode::Normal);

  // Refused, then serving again.
  ASSERT_TRUE(emulator->setRefusing(Transport::Plain, true));
  int error = 0;
  EXPECT_LT(connectTo(ip, 8009, &error), 0);
  EXPECT_EQ(error, ECONNREFUSED);
  ASSERT_TRUE(emulator->setRefusing(Transport::Plain, false));
  {
    Peer p(ip, 8009, false);
    EXPECT_TRUE(p.next());
  }

  // A full backlog: a connect does not complete until it is drained.
  ASSERT_TRUE(emulator->setBacklogFull(Transport::Plain, true));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(8009);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  pollfd p{fd, POLLOUT, 0};
  EXPECT_EQ(::poll(&p, 1, 700), 0) << "a connect completed against a full backlog";
  ::close(fd);
  ASSERT_TRUE(emulator->setBacklogFull(Transport::Plain, false));
  Peer after(ip, 8009, false);
  EXPECT_TRUE(after.next());
}

// ---- message boxes ----------------------------------------------------------

TEST(ServiceEmulator, MessageBoxesCarryMessagesBetweenClients) {
  auto emulator = service_test::startServiceEmulator(889);
  ASSERT_TRUE(emulator);
  const std::string ip = emulator->options().address;
  Peer a(ip, 8009, false);
  Peer b(ip, 8009, false);
  ASSERT_TRUE(a.next() && b.next());
  auto open = [](int seq, const std::string& member) {
    std::string text = "<open_commbox><sequence>";
    text.append(std::to_string(seq));
    text.append("</sequence><data><box_id>box1</box_id><member_id>");
    text.append(member);
    text.append("</member_id></data></open_commbox>");
    return text;
  };
  struct Step {
    Peer* peer;
    std::string request;
    const char* code;
  } steps[] = {
      {&a, open(1, "till"), "OK"},
      {&a, open(2, "till"), "ALREADY_OPENED"},
      {&b, open(3, "till"), "MEMBERID_ALREADY_USED"},
      {&b, open(4, "kitchen"), "OK"},
  };
  for (const Step& s : steps) {
    ASSERT_TRUE(s.peer->send(s.request));
    const auto reply = s.peer->next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(field(*reply, "code"), s.code) << s.request;
    EXPECT_EQ(field(*reply, "sequence"), field(s.request, "sequence"));
  }
  ASSERT_TRUE(
      a.send("<commbox_data><sequence>5</sequence><data><type>send</type><box_id>box1"
             "</box_id><member_id>kitchen</member_id><message>2 x soup &amp; bread"
             "</message></data></commbox_data>"));
  const auto sent = a.next();
  EXPECT_EQ(field(sent.value_or(""), "count"), "1");
  EXPECT_EQ(field(sent.value_or(""), "sequence"), "5");
  const auto received = b.next();
  ASSERT_TRUE(received);
  EXPECT_EQ(field(*received, "type"), "onreceive");
  EXPECT_EQ(field(*received, "sender_id"), "till");
  EXPECT_EQ(field(*received, "message"), "2 x soup &amp; bread");
  ASSERT_TRUE(
      b.send("<commbox_data><sequence>6</sequence><data><type>getcommhistory</type>"
             "<box_id>box1</box_id></data></commbox_data>"));
  const auto history = b.next();
  ASSERT_TRUE(history);
  EXPECT_TRUE(has(*history,
                  "<history_list><senderId>till</senderId><receiverId>kitchen"
                  "</receiverId><message>2 x soup &amp; bread</message></history_list>"));
  const std::string close =
      "<close_commbox><sequence>7</sequence><data><box_id>box1</box_id>"
      "</data></close_commbox>";
  ASSERT_TRUE(a.send(close));
  EXPECT_EQ(field(a.next().value_or(""), "code"), "OK");
  ASSERT_TRUE(a.send(close));
  EXPECT_EQ(field(a.next().value_or(""), "code"), "NOT_OPENED");
  EXPECT_EQ(emulator->openBoxes(emulator->clientId(2)), std::vector<std::string>{"box1"});
}

// ---- HTTP ---------------------------------------------------------------------

struct HttpReply {
  std::string bytes;
  std::vector<Clock::time_point> arrivals;  // one per read
  bool closed = false;
};

HttpReply httpPost(const std::string& ip, uint16_t port, bool tls, const std::string& target,
                   const std::string& body, std::chrono::milliseconds limit = kLimit) {
  HttpReply reply;
  const int fd = connectTo(ip, port);
  if (fd < 0) return reply;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  if (tls) {
    ctx = SSL_CTX_new(TLS_client_method());
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_connect(ssl);
  }
  std::string request = "POST " + target + " HTTP/1.1\r\nHost: " + ip +
                        "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  if (tls) {
    SSL_write(ssl, request.data(), static_cast<int>(request.size()));
  } else {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  }
  const auto deadline = Clock::now() + limit;
  while (waitReadable(fd, deadline)) {
    char buf[65536];
    const int n =
        tls ? SSL_read(ssl, buf, sizeof buf) : static_cast<int>(::recv(fd, buf, sizeof buf, 0));
    if (n <= 0) {
      reply.closed = true;
      break;
    }
    reply.bytes.append(buf, static_cast<size_t>(n));
    reply.arrivals.push_back(Clock::now());
  }
  if (ssl != nullptr) SSL_free(ssl);
  if (ctx != nullptr) SSL_CTX_free(ctx);
  ::close(fd);
  return reply;
}

std::string bodyOf(const std::string& reply) {
  const size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

const char* kStatusPath = "/cgi-bin/tilo/service.cgi";

TEST(ServiceEmulator, HttpAnswersStatusAndTheJsonQueries) {
  auto emulator = service_test::startServiceEmulator(890);
  ASSERT_TRUE(emulator);
  const std::string ip = emulator->options().address;
  emulator->setDevice("local_printer", {"type_printer", 0x18, 3, "TL-M30"});
  emulator->setDevice("slip", {"type_hybrid_printer", 0, 0, "TL-H6"});
  emulator->queueStatus("local_printer", {0x1000008, "EX_KDPX_TIMEOUT", false, 0, false});
  emulator->queueStatus("local_printer", {0, "", true, 0, true});
  const std::string soap =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/"
      "soap/envelope/\"><s:Body><tilo-print xmlns=\"http://www.orvik.example/schemas/2011/03/"
      "tilo-print\"></tilo-print></s:Body></s:Envelope>";
  const std::string target = std::string(kStatusPath) + "?devid=local_printer&timeout=10000";
  struct Case {
    const char* name;
    std::string target;
    std::string response;  // "" when the envelope has no response element
  } cases[] = {
      {"queued first", target,
       "<response success=\"false\" code=\"EX_KDPX_TIMEOUT\" status=\"16777224\" battery=\"0\""},
      {"queued without response", target, ""},
      {"the device's own", target,
       "<response success=\"true\" code=\"\" status=\"24\" battery=\"3\""},
      {"unknown device", std::string(kStatusPath) + "?devid=nope&timeout=10000",
       "<response success=\"false\" code=\"DeviceNotFound\" status=\"0\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HttpReply r = httpPost(ip, emulator->httpPort(), false, c.target, soap);
    EXPECT_EQ(r.bytes.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    const std::string body = bodyOf(r.bytes);
    EXPECT_TRUE(has(r.bytes, "Content-Length: " + std::to_string(body.size()) + "\r\n"));
    EXPECT_TRUE(has(body, "<s:Body>"));
    if (c.response.empty()) {
      EXPECT_FALSE(has(body, "<response"));
    } else {
      EXPECT_TRUE(has(body, c.response)) << body;
    }
  }
  // The request was recorded as it came.
  const auto requests = emulator->httpRequests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].requestLine, "POST " + target + " HTTP/1.1");
  EXPECT_EQ(requests[0].path, kStatusPath);
  EXPECT_EQ(requests[0].query.at("devid"), "local_printer");
  EXPECT_EQ(requests[0].query.at("timeout"), "10000");
  EXPECT_EQ(requests[0].body, soap);
  EXPECT_EQ(requests[0].headers.at(0).first, "Host");

  const auto list = nlohmann::json::parse(
      bodyOf(httpPost(ip, emulator->httpPort(), false,
                      "/orvik_tilodevice/getDeviceList.cgi?devid=&timeout=3000", "")
                 .bytes));
  ASSERT_TRUE(list.is_array());
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["deviceId"], "local_printer");
  EXPECT_EQ(list[1]["deviceType"], "type_hybrid_printer");
  EXPECT_EQ(list[1]["modelName"], "TL-H6");

  emulator->setUnits(true, false, true);
  const auto version = nlohmann::json::parse(
      bodyOf(httpPost(ip, emulator->httpPort(), false,
                      "/orvik_tilodevice/getSystemVersion.cgi?devid=&timeout=3000", "")
                 .bytes));
  EXPECT_EQ(version["Services"][0]["EndorsementUnit"], "1");
  EXPECT_EQ(version["Services"][0]["ValidationUnit"], "0");
  EXPECT_EQ(version["Services"][0]["MICRUnit"], "1");

  const auto ports = nlohmann::json::parse(
      bodyOf(httpPost(ip, emulator->httpsPort(), true,
                      "/orvik_tilodevice/getSystemPortList.cgi?devid=&timeout=3000", "")
                 .bytes));
  EXPECT_EQ(ports["NativeSocket"], 8009);
  EXPECT_EQ(ports["SSLNativeSocket"], 8143);
  EXPECT_TRUE(emulator->httpRequests().back().tls);
}

TEST(ServiceEmulator, HttpOverridesShapeTheReply) {
  auto emulator = service_test::startServiceEmulator(891);
  ASSERT_TRUE(emulator);
  const std::string ip = emulator->options().address;
  const std::string target = "/orvik_tilodevice/getSystemPortList.cgi?devid=&timeout=3000";
  const std::string normal = "{\"NativeSocket\":8009,\"SSLNativeSocket\":8143}";

  // 302 points at the HTTPS port with the same target.
  emulator->overrideHttp("getSystemPortList.cgi",
                         with<HttpOverride>([](auto& o) { o.status = 302; }));
  std::string r = httpPost(ip, emulator->httpPort(), false, target, "").bytes;
  EXPECT_EQ(r.rfind("HTTP/1.1 302 Found\r\n", 0), 0u);
  EXPECT_TRUE(has(r, "Location: https://" + ip + ":" + std::to_string(emulator->httpsPort()) +
                         target + "\r\n"));
  // Used up: the next one is normal.
  EXPECT_EQ(bodyOf(httpPost(ip, emulator->httpPort(), false, target, "").bytes), normal);

  // Every reply from now on, until cleared.
  emulator->overrideHttp("", with<HttpOverride>([](auto& o) {
                           o.status = 500;
                           o.count = -1;
                         }));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(httpPost(ip, emulator->httpPort(), false, target, "").bytes.rfind("HTTP/1.1 500", 0),
              0u);
  }
  emulator->clearOverrides();

  // Chunked: the chunks decode to the normal body.
  emulator->overrideHttp("", with<HttpOverride>([](auto& o) {
                           o.chunked = true;
                           o.chunkSize = 7;
                         }));
  r = httpPost(ip, emulator->httpPort(), false, target, "").bytes;
  EXPECT_TRUE(has(r, "Transfer-Encoding: chunked\r\n"));
  EXPECT_FALSE(has(r, "Content-Length"));
  std::string wire = bodyOf(r), decoded;
  for (;;) {
    const size_t eol = wire.find("\r\n");
    ASSERT_NE(eol, std::string::npos);
    const size_t size = std::stoul(wire.substr(0, eol), nullptr, 16);
    if (size == 0) break;
    EXPECT_LE(size, 7u);
    decoded += wire.substr(eol + 2, size);
    wire.erase(0, eol + 2 + size + 2);
  }
  EXPECT_EQ(decoded, normal);

  // A body in three pieces 300 ms apart.
  emulator->overrideHttp("", with<HttpOverride>([](auto& o) {
                           o.splits = {10, 20};
                           o.pause = 300ms;
                         }));
  const auto start = Clock::now();
  const HttpReply split = httpPost(ip, emulator->httpPort(), false, target, "");
  EXPECT_EQ(bodyOf(split.bytes), normal);
  ASSERT_GE(split.arrivals.size(), 3u);
  EXPECT_GE(split.arrivals.back() - start, 600ms);

  // Oversized, replaced, raw, silent and closed replies.
  emulator->overrideHttp("", with<HttpOverride>([](auto& o) { o.bodySize = 70000; }));
  EXPECT_EQ(bodyOf(httpPost(ip, emulator->httpPort(), false, target, "").bytes).size(), 70000u);
  emulator->overrideHttp("", with<HttpOverride>([](auto& o) { o.body = "{\"NativeSocket\":"; }));
  EXPECT_EQ(bodyOf(httpPost(ip, emulator->httpPort(), false, target, "").bytes),
            "{\"NativeSocket\":");
  emulator->overrideHttp(
      "", with<HttpOverride>([](auto& o) { o.rawReply = "HTTP/1.1 200 OK\r\n\r\n1a\r\n"; }));
  EXPECT_EQ(httpPost(ip, emulator->httpPort(), false, target, "").bytes,
            "HTTP/1.1 200 OK\r\n\r\n1a\r\n");
  emulator->overrideHttp("", with<HttpOverride>([](auto& o) { o.noContentLength = true; }));
  r = httpPost(ip, emulator->httpPort(), false, target, "").bytes;
  EXPECT_FALSE(has(r, "Content-Length"));
  EXPECT_EQ(bodyOf(r), normal);
  emulator->overrideHttp("", with<HttpOverride>([](auto& o) { o.closeWithoutReply = true; }));
  HttpReply closed = httpPost(ip, emulator->httpPort(), false, target, "");
  EXPECT_TRUE(closed.closed);
  EXPECT_EQ(closed.bytes, "");
  emulator->overrideHttp("", with<HttpOverride>([](auto& o) { o.silent = true; }));
  HttpReply silent = httpPost(ip, emulator->httpPort(), false, target, "", 500ms);
  EXPECT_FALSE(silent.closed);
  EXPECT_EQ(silent.bytes, "");
  // A delayed head.
  emulator->overrideHttp("", with<HttpOverride>([](auto& o) { o.delay = 300ms; }));
  const auto before = Clock::now();
  EXPECT_EQ(bodyOf(httpPost(ip, emulator->httpPort(), false, target, "").bytes), normal);
  EXPECT_GE(Clock::now() - before, 300ms);
  // Over HTTPS the head can go alone, the body (in chunks) after a pause.
  emulator->overrideHttp("", with<HttpOverride>([](auto& o) {
                           o.splits = {0};
                           o.pause = 200ms;
                           o.chunked = true;
                           o.chunkSize = 1000;
                         }));
  // Timed from the request, not from the first read: a late first read would
  // shorten the gap between reads without the emulator having paused less.
  const auto tlsStart = Clock::now();
  const HttpReply tls = httpPost(ip, emulator->httpsPort(), true, target, "");
  ASSERT_GE(tls.arrivals.size(), 2u);
  EXPECT_GE(tls.arrivals.back() - tlsStart, 200ms);
  EXPECT_EQ(bodyOf(tls.bytes), "2c\r\n" + normal + "\r\n0\r\n\r\n");
  EXPECT_TRUE(tls.closed);
}

// ---- the program ----------------------------------------------------------------

// The program as a person runs it: it serves on its address, prints what
// passes, and ends on SIGTERM.
TEST(ServiceEmulator, ProgramServesAndPrintsUntilTerminated) {
  const auto program = std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
                       "tools/service-emulator/service-emulator";
  if (!std::filesystem::exists(program)) GTEST_SKIP() << program << " is not built";
  io_test::claimAddress(893);
  const std::string ip = io_test::address(893);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string path = program.string();
  std::vector<std::string> args = {
      path,       "--address",         ip,        "--http-port", "0", "--https-port", "0",
      "--device", "kbd=type_keyboard", "--admin", "Ann"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Whatever fails below, the program does not outlive the test.
  struct Child {
    pid_t pid = 0;
    ~Child() {
      if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  } child;
  pid_t& pid = child.pid;
  ASSERT_EQ(posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string printed;
  // Reads the program's output until it holds the text (or the limit passes).
  auto readUntil = [&](const std::string& text) {
    const auto deadline = Clock::now() + kLimit;
    while (!has(printed, text) && waitReadable(out[0], deadline)) {
      char buf[4096];
      const ssize_t n = ::read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      printed.append(buf, static_cast<size_t>(n));
    }
    return has(printed, text);
  };
  EXPECT_TRUE(readUntil("serving on " + ip + ": TCP 8009, TLS 8143, HTTP ")) << printed;
  {
    Peer a(ip, 8009, false);
    ASSERT_TRUE(a.next());
    ASSERT_TRUE(a.send("<admin_info></admin_info>"));
    EXPECT_TRUE(has(a.next().value_or(""), "<admin_name>Ann</admin_name>"));
    ASSERT_TRUE(a.send(openDevice("kbd", "type_keyboard")));
    EXPECT_EQ(field(a.next().value_or(""), "code"), "OK");
  }
  EXPECT_TRUE(readUntil("C1 -> <admin_info></admin_info>")) << printed;
  EXPECT_TRUE(readUntil("C1 <- <open_device><device_id>kbd</device_id>")) << printed;
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  const bool ended =
      io_test::Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, kLimit);
  ASSERT_TRUE(ended) << "the program did not end on SIGTERM";
  pid = 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ::close(out[0]);
}

}  // namespace
