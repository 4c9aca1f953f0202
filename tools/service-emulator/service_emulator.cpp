// The device-service emulator: one thread polls every listener and client,
// non-blocking, plain and TLS alike; the control API only changes state under
// the one lock and wakes that thread, so every byte is read and written there.

#include "service_emulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <pugixml.hpp>
#include <set>
#include <thread>

namespace service_emulator {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kMaxPending = 1 << 20;  // an unfinished message beyond this is dropped
constexpr size_t kMaxHttpRequest = 1 << 20;
constexpr const char* kPrintNamespace = "http://www.orvik.example/schemas/2011/03/tilo-print";
constexpr const char* kSoapNamespace = "http://schemas.xmlsoap.org/soap/envelope/";

std::string xmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string jsonEscape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string element(const char* name, const std::string& text) {
  std::string out = "<";
  out += name;
  out += '>';
  out += xmlEscape(text);
  out += "</";
  out += name;
  out += '>';
  return out;
}

std::string number(const char* name, long value) {
  std::string out = "<";
  out += name;
  out += '>';
  out += std::to_string(value);
  out += "</";
  out += name;
  out += '>';
  return out;
}

// The code element, or nothing for an empty code.
std::string codeElement(const std::string& code) {
  return code.empty() ? std::string() : element("code", code);
}

// First element of that name anywhere below node, in document order.
pugi::xml_node firstNamed(pugi::xml_node node, const char* name) {
  return node.find_node([name](pugi::xml_node n) {
    return n.type() == pugi::node_element && std::strcmp(n.name(), name) == 0;
  });
}

std::string textOf(pugi::xml_node node, const char* name) {
  const pugi::xml_node found = firstNamed(node, name);
  return found ? std::string(found.child_value()) : std::string();
}

long numberOf(pugi::xml_node node, const char* name) {
  const std::string text = textOf(node, name);
  long value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

bool isLoopback(const std::string& address) {
  in_addr a{};
  return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void resetAndClose(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

// One piece of output: a plain send or one TLS write.
struct Piece {
  std::string bytes;
  size_t done = 0;  // plain: bytes already sent
};

enum class Close { None, Fin, Rst };

struct ChannelConn {
  int serial = 0;
  int fd = -1;
  Transport transport = Transport::Plain;
  SSL* ssl = nullptr;
  bool silent = false;
  bool tlsWantsWrite = false;
  std::string clientId;
  std::string in;
  bool skippingToNul = false;
  std::deque<Piece> out;
  bool closeWhenFlushed = false;
  Close closeNow = Close::None;
};

struct HttpConn {
  int id = 0;
  int fd = -1;
  bool tls = false;
  SSL* ssl = nullptr;
  bool tlsWantsWrite = false;
  std::string in;
  bool answered = false;  // a request was taken; later bytes are ignored
  std::deque<Piece> out;
  bool closeWhenFlushed = false;
  bool closeNow = false;
};

struct Session {
  std::string id;
  int serial = 0;  // the connection holding it; 0 when its link is gone
  int lastDataId = 0;
  std::set<std::string> devices;
  std::map<std::string, std::string> boxes;  // box id -> member id
};

struct HistoryItem {
  std::string sender, receiver, message;
};

struct Listener {
  int fd = -1;
  uint16_t port = 0;
  bool tls = false;
  bool http = false;
  AcceptMode mode = AcceptMode::Normal;
  bool refusing = false;
  bool backlogFull = false;
  std::vector<int> fillers;  // our own connects that fill the accept queue
};

}  // namespace

class ServiceEmulator::Impl {
 public:
  explicit Impl(const Options& options) : opt(options) { devices["local_printer"] = Device{}; }

  ~Impl() { stop(); }

  bool start(std::string* error) {
    auto fail = [&](const std::string& why) {
      if (error != nullptr) *error = why;
      closeAll();
      return false;
    };
    if (!isLoopback(opt.address)) return fail("not a loopback address: " + opt.address);
    ctx = newServerContext(opt.address);
    if (ctx == nullptr) return fail("no TLS context");
    listeners[0].port = opt.plainPort;
    listeners[1].port = opt.tlsPort;
    listeners[1].tls = true;
    listeners[2].port = opt.httpPort;
    listeners[2].http = true;
    listeners[3].port = opt.httpsPort;
    listeners[3].http = true;
    listeners[3].tls = true;
    const int count = opt.http ? 4 : 2;
    for (int i = 0; i < count; ++i) {
      std::string why;
      if (!openListener(listeners[i], &why)) return fail(why);
    }
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) return fail("no eventfd");
    stopping = false;
    thread = std::thread([this] { run(); });
    return true;
  }

  void stop() {
    if (thread.joinable()) {
      {
        std::lock_guard lock(mu);
        stopping = true;
      }
      wake();
      thread.join();
    }
    closeAll();
  }

  // ---- listeners ----
  bool openListener(Listener& l, std::string* why) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *why = "socket: " + std::string(std::strerror(errno));
      return false;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(l.port);
    inet_pton(AF_INET, opt.address.c_str(), &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0) {
      *why = opt.address + ":" + std::to_string(l.port) + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    l.port = ntohs(a.sin_port);
    setNonBlocking(fd);
    l.fd = fd;
    return true;
  }

  void closeAll() {
    for (auto& [serial, c] : conns) closeConnFd(*c, Close::Fin);
    conns.clear();
    for (auto& h : https) closeHttpFd(*h);
    https.clear();
    for (int fd : silentFds) ::close(fd);
    silentFds.clear();
    for (auto& l : listeners) {
      for (int f : l.fillers) ::close(f);
      l.fillers.clear();
      if (l.fd >= 0) ::close(l.fd);
      l.fd = -1;
    }
    if (wakeFd >= 0) ::close(wakeFd);
    wakeFd = -1;
    if (ctx != nullptr) SSL_CTX_free(ctx);
    ctx = nullptr;
  }

  void wake() {
    if (wakeFd >= 0) {
      const uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
  }

  // ---- the loop ----
  void run() {
    // Writes to a vanished peer must fail, not raise SIGPIPE in the host
    // process (the TLS library writes with plain write()). The signal is
    // blocked for this thread only; the process keeps its own disposition.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    std::unique_lock lock(mu);
    while (!stopping) {
      std::vector<pollfd> fds;
      std::vector<std::function<void(short)>> handlers;
      fds.push_back({wakeFd, POLLIN, 0});
      handlers.push_back([this](short) {
        uint64_t v;
        while (::read(wakeFd, &v, sizeof v) > 0) {
        }
      });
      for (auto& l : listeners) {
        if (l.fd >= 0 && !l.refusing && !l.backlogFull) {
          fds.push_back({l.fd, POLLIN, 0});
          handlers.push_back([this, &l](short) { acceptOn(l); });
        }
      }
      for (auto& [serial, cp] : conns) {
        ChannelConn& c = *cp;
        if (c.silent) continue;
        short events = 0;
        const bool handshaking = c.ssl != nullptr && !SSL_is_init_finished(c.ssl);
        if (reading || handshaking) events |= POLLIN;
        if (!c.out.empty() && (c.ssl == nullptr || c.tlsWantsWrite || handshaking))
          events |= POLLOUT;
        if (events == 0) continue;
        fds.push_back({c.fd, events, 0});
        const int s = serial;
        handlers.push_back([this, s](short re) { onChannelEvent(s, re); });
      }
      for (auto& hp : https) {
        HttpConn* h = hp.get();
        short events = POLLIN;
        if (!h->out.empty()) events |= POLLOUT;
        fds.push_back({h->fd, events, 0});
        handlers.push_back([this, h](short re) { onHttpEvent(h, re); });
      }
      int timeout = -1;
      if (!timers.empty()) {
        const auto wait =
            std::chrono::duration_cast<milliseconds>(timers.begin()->first - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<long long>(wait + 1, 0, 60000));
      }
      lock.unlock();
      const int n = ::poll(fds.data(), fds.size(), timeout);
      lock.lock();
      if (stopping) break;
      if (n > 0) {
        for (size_t i = 0; i < fds.size(); ++i) {
          if (fds[i].revents != 0) handlers[i](fds[i].revents);
        }
      }
      runTimers();
      flushAll();
      reap();
      cv.notify_all();
    }
  }

  void runTimers() {
    const auto now = Clock::now();
    while (!timers.empty() && timers.begin()->first <= now) {
      auto action = std::move(timers.begin()->second);
      timers.erase(timers.begin());
      action();
    }
  }

  void after(milliseconds delay, std::function<void()> action) {
    timers.emplace(Clock::now() + delay, std::move(action));
  }

  // ---- accepting ----
  void acceptOn(Listener& l) {
    // The control API may have closed or filled the listener since the poll.
    if (l.fd < 0 || l.refusing || l.backlogFull) return;
    for (;;) {
      const int fd = ::accept4(l.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      if (l.mode == AcceptMode::CloseOnAccept) {
        ::close(fd);
        if (!l.http) ++acceptCount;
        continue;
      }
      if (l.mode == AcceptMode::ResetOnAccept) {
        resetAndClose(fd);
        if (!l.http) ++acceptCount;
        continue;
      }
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (l.http) {
        if (l.mode == AcceptMode::Silent) {
          silentFds.push_back(fd);
          continue;
        }
        auto h = std::make_unique<HttpConn>();
        h->id = ++httpSerial;
        h->fd = fd;
        h->tls = l.tls;
        if (l.tls) {
          h->ssl = SSL_new(ctx);
          SSL_set_fd(h->ssl, fd);
          SSL_set_accept_state(h->ssl);
        }
        https.push_back(std::move(h));
        continue;
      }
      auto c = std::make_unique<ChannelConn>();
      c->serial = ++acceptCount;
      c->fd = fd;
      c->transport = l.tls ? Transport::Tls : Transport::Plain;
      c->silent = l.mode == AcceptMode::Silent;
      c->clientId = "C" + std::to_string(c->serial);
      trace("accept " + c->clientId + (l.tls ? " (TLS)" : ""));
      if (l.tls && !c->silent) {
        c->ssl = SSL_new(ctx);
        SSL_set_fd(c->ssl, fd);
        SSL_set_accept_state(c->ssl);
      }
      ChannelConn& ref = *c;
      conns[c->serial] = std::move(c);
      ++connectedCount;
      if (ref.silent) continue;
      // The service greets every client with its id.
      ReplyOverride ov = takeOverride("connect");
      if (ov.clientId) ref.clientId = *ov.clientId;
      Session& s = sessions[ref.clientId];
      s.id = ref.clientId;
      s.serial = ref.serial;
      const std::string text = "<connect><data>" + element("client_id", ref.clientId) +
                               element("protocol_version", "2.00") + "</data></connect>";
      emit(ref.serial, text, ov);
    }
  }

  // ---- output ----
  // Sends a reply as the override says: dropped, delayed, twice, or followed by a close.
  void emit(int serial, const std::string& text, const ReplyOverride& ov) {
    const std::string wire = (ov.raw ? *ov.raw : text) + std::string(1, '\0');
    auto send = [this, serial, wire, ov] {
      if (!ov.drop) {
        queueMessage(serial, wire);
        if (ov.duplicate) queueMessage(serial, wire);
      }
      if (ov.closeAfter) {
        auto it = conns.find(serial);
        if (it != conns.end()) it->second->closeWhenFlushed = true;
      }
    };
    if (ov.delay.count() > 0) {
      after(ov.delay, send);
    } else {
      send();
    }
  }

  void queueMessage(int serial, const std::string& wire) {
    auto it = conns.find(serial);
    if (it == conns.end()) return;
    it->second->out.push_back(Piece{wire, 0});
    record(*it->second, wire, true);
  }

  void queueBytes(int serial, std::string bytes) {
    auto it = conns.find(serial);
    if (it == conns.end()) return;
    it->second->out.push_back(Piece{std::move(bytes), 0});
  }

  // Writes what can go out now. False when the link failed.
  template <typename Conn>
  bool flush(Conn& c) {
    while (!c.out.empty()) {
      Piece& p = c.out.front();
      if (p.bytes.empty()) {  // a TLS write of nothing would read as a failure
        c.out.pop_front();
        continue;
      }
      if (c.ssl != nullptr) {
        ERR_clear_error();
        const int n = SSL_write(c.ssl, p.bytes.data(), static_cast<int>(p.bytes.size()));
        if (n <= 0) {
          const int e = SSL_get_error(c.ssl, n);
          c.tlsWantsWrite = e == SSL_ERROR_WANT_WRITE;
          if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return true;
          return false;
        }
        c.tlsWantsWrite = false;
        c.out.pop_front();
      } else {
        const ssize_t n =
            ::send(c.fd, p.bytes.data() + p.done, p.bytes.size() - p.done, MSG_NOSIGNAL);
        if (n < 0) {
          if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
          return false;
        }
        p.done += static_cast<size_t>(n);
        if (p.done == p.bytes.size()) c.out.pop_front();
      }
    }
    return true;
  }

  void flushAll() {
    for (auto& [serial, c] : conns) {
      if (c->closeNow != Close::None || c->silent) continue;
      if (!flush(*c)) {
        c->closeNow = Close::Fin;
        continue;
      }
      if (c->out.empty() && c->closeWhenFlushed) c->closeNow = Close::Fin;
    }
    for (auto& h : https) {
      if (h->closeNow) continue;
      if (!flush(*h)) {
        h->closeNow = true;
        continue;
      }
      if (h->out.empty() && h->closeWhenFlushed) h->closeNow = true;
    }
  }

  // ---- closing ----
  void closeConnFd(ChannelConn& c, Close how) {
    if (c.fd < 0) return;
    if (c.ssl != nullptr) {
      if (how == Close::Fin && SSL_is_init_finished(c.ssl)) SSL_shutdown(c.ssl);
      SSL_free(c.ssl);
      c.ssl = nullptr;
    }
    if (how == Close::Rst) {
      resetAndClose(c.fd);
    } else {
      ::close(c.fd);
    }
    c.fd = -1;
  }

  void closeHttpFd(HttpConn& h) {
    if (h.fd < 0) return;
    if (h.ssl != nullptr) {
      if (SSL_is_init_finished(h.ssl)) SSL_shutdown(h.ssl);
      SSL_free(h.ssl);
      h.ssl = nullptr;
    }
    ::close(h.fd);
    h.fd = -1;
  }

  void reap() {
    for (auto it = conns.begin(); it != conns.end();) {
      ChannelConn& c = *it->second;
      if (c.closeNow == Close::None) {
        ++it;
        continue;
      }
      trace("close " + c.clientId + (c.closeNow == Close::Rst ? " (reset)" : ""));
      closeConnFd(c, c.closeNow);
      auto s = sessions.find(c.clientId);
      if (s != sessions.end() && s->second.serial == c.serial) s->second.serial = 0;
      --connectedCount;
      it = conns.erase(it);
    }
    https.remove_if([this](const std::unique_ptr<HttpConn>& h) {
      if (!h->closeNow) return false;
      closeHttpFd(*h);
      return true;
    });
  }

  // ---- channel input ----
  void onChannelEvent(int serial, short revents) {
    auto it = conns.find(serial);
    if (it == conns.end()) return;
    ChannelConn& c = *it->second;
    if (c.closeNow != Close::None) return;
    if ((revents & POLLOUT) != 0 || (c.ssl != nullptr && !c.out.empty())) {
      if (!flush(c)) {
        c.closeNow = Close::Fin;
        return;
      }
    }
    const bool handshaking = c.ssl != nullptr && !SSL_is_init_finished(c.ssl);
    if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
    if (!reading && !handshaking) return;
    char buf[16384];
    for (;;) {
      ssize_t n;
      if (c.ssl != nullptr) {
        ERR_clear_error();
        const int r = SSL_read(c.ssl, buf, sizeof buf);
        if (r <= 0) {
          const int e = SSL_get_error(c.ssl, r);
          if (e == SSL_ERROR_WANT_READ) break;
          if (e == SSL_ERROR_WANT_WRITE) {
            c.tlsWantsWrite = true;
            break;
          }
          c.closeNow = Close::Fin;
          return;
        }
        n = r;
      } else {
        n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n < 0) {
          if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
          c.closeNow = Close::Fin;
          return;
        }
        if (n == 0) {
          c.closeNow = Close::Fin;
          return;
        }
      }
      takeBytes(c, buf, static_cast<size_t>(n));
      if (c.closeNow != Close::None || !reading) return;
    }
  }

  // Splits the stream at NUL; each message is read alone.
  void takeBytes(ChannelConn& c, const char* data, size_t n) {
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
      if (data[i] != '\0') continue;
      if (c.skippingToNul) {
        c.skippingToNul = false;
      } else if (c.in.size() + (i - start) > kMaxPending) {
        // However the bytes came in, a message beyond the cap is dropped whole.
        trace(c.clientId + ": message beyond 1 MiB dropped");
        c.in.clear();
      } else {
        c.in.append(data + start, i - start + 1);
        std::string message;
        message.swap(c.in);
        onMessage(c.serial, message);
        if (conns.find(c.serial) == conns.end()) return;
      }
      start = i + 1;
    }
    if (c.skippingToNul || start == n) return;
    c.in.append(data + start, n - start);
    if (c.in.size() > kMaxPending) {
      trace(c.clientId + ": unfinished message beyond 1 MiB dropped");
      c.in.clear();
      c.skippingToNul = true;
    }
  }

  void record(const ChannelConn& c, const std::string& raw, bool fromService,
              const pugi::xml_document* parsed = nullptr) {
    Message m;
    m.when = Clock::now();
    m.client = c.serial;
    m.fromService = fromService;
    m.transport = c.transport;
    m.raw = raw;
    pugi::xml_document local;
    const pugi::xml_document* doc = parsed;
    if (doc == nullptr) {
      if (local.load_buffer(raw.data(), raw.size() > 0 ? raw.size() - 1 : 0)) doc = &local;
    }
    if (doc != nullptr) {
      m.root = doc->document_element().name();
      m.type = textOf(*doc, "type");
      m.kind = (m.root == "device_data" || m.root == "commbox_data") ? m.type : m.root;
    }
    trace(c.clientId + (fromService ? " <- " : " -> ") + raw.substr(0, raw.size() - 1));
    if (opt.keepNoLog) return;
    log.push_back(std::move(m));
    while (log.size() > opt.logLimit) log.pop_front();
  }

  void onMessage(int serial, const std::string& raw) {
    ChannelConn& c = *conns[serial];
    pugi::xml_document doc;
    const bool ok = doc.load_buffer(raw.data(), raw.size() - 1).status == pugi::status_ok;
    record(c, raw, false, ok ? &doc : nullptr);
    if (!ok || !doc.document_element()) return;
    const std::string root = doc.document_element().name();
    Session& s = sessions[c.clientId];
    s.id = c.clientId;
    if (root == "admin_info") {
      ReplyOverride ov = takeOverride(root);
      emit(serial,
           "<admin_info><data>" + codeElement(ov.code.value_or("OK")) +
               element("admin_name", adminName) + element("location", location) +
               "</data></admin_info>",
           ov);
    } else if (root == "open_device") {
      onOpenDevice(c, s, doc);
    } else if (root == "close_device") {
      onCloseDevice(c, s, doc);
    } else if (root == "disconnect") {
      ReplyOverride ov = takeOverride(root);
      const bool known = textOf(doc, "client_id") == c.clientId;
      if (known) sessions.erase(c.clientId);
      if (!ov.drop) ov.closeAfter = true;
      emit(serial,
           "<disconnect><data>" + codeElement(ov.code.value_or(known ? "OK" : "CLIENT_NOT_FOUND")) +
               "</data></disconnect>",
           ov);
    } else if (root == "reconnect") {
      onReconnect(c, doc);
    } else if (root == "open_commbox") {
      onOpenCommBox(c, s, doc);
    } else if (root == "close_commbox") {
      onCloseCommBox(c, s, doc);
    } else if (root == "commbox_data") {
      onCommBoxData(c, s, doc);
    } else if (root == "device_data") {
      onDeviceData(c, s, doc);
    }
  }

  // A device is in use when another connected session holds it.
  bool inUseElsewhere(const std::string& id, const Session& self) const {
    for (const auto& [sid, other] : sessions) {
      if (&other != &self && other.serial != 0 && other.devices.count(id) != 0) return true;
    }
    return false;
  }

  void onOpenDevice(ChannelConn& c, Session& s, const pugi::xml_document& doc) {
    const std::string id = textOf(doc, "device_id");
    const std::string type = textOf(doc, "type");
    std::string code = "OK";
    auto d = devices.find(id);
    if (d == devices.end()) {
      code = "DEVICE_NOT_FOUND";
    } else if (d->second.type != type) {
      code = "DEVICE_TYPE_INVALID";
    } else if (s.devices.count(id) != 0 || inUseElsewhere(id, s)) {
      code = "DEVICE_IN_USE";
    }
    ReplyOverride ov = takeOverride("open_device");
    code = ov.code.value_or(code);
    if (code == "OK") s.devices.insert(id);
    emit(c.serial,
         "<open_device>" + element("device_id", id) + "<data>" + codeElement(code) + "</data>" +
             number("data_id", ++s.lastDataId) + "</open_device>",
         ov);
  }

  void onCloseDevice(ChannelConn& c, Session& s, const pugi::xml_document& doc) {
    const std::string id = textOf(doc, "device_id");
    ReplyOverride ov = takeOverride("close_device");
    const std::string code = ov.code.value_or(s.devices.count(id) != 0 ? "OK" : "DEVICE_NOT_OPEN");
    if (code == "OK") s.devices.erase(id);
    emit(c.serial,
         "<close_device>" + element("device_id", id) + "<data>" + codeElement(code) + "</data>" +
             number("data_id", ++s.lastDataId) + "</close_device>",
         ov);
  }

  // A client back after a lost link asks for its old session by the old id
  // and the last data id it received.
  void onReconnect(ChannelConn& c, const pugi::xml_document& doc) {
    const std::string newId = textOf(doc, "new_client_id");
    const std::string oldId = textOf(doc, "old_client_id");
    const long received = numberOf(doc, "received_id");
    ReplyOverride ov = takeOverride("reconnect");
    auto old = sessions.find(oldId);
    const bool known = newId == c.clientId && oldId != c.clientId && old != sessions.end() &&
                       received >= 0 && received <= old->second.lastDataId;
    std::string code = ov.code.value_or(known ? "OK" : "CLIENT_NOT_FOUND");
    if (known && code == "OK") {
      Session moved = std::move(old->second);
      // The old link, if the service still holds it, is gone now.
      if (moved.serial != 0) {
        auto oc = conns.find(moved.serial);
        if (oc != conns.end()) oc->second->closeNow = Close::Fin;
      }
      sessions.erase(old);
      Session& s = sessions[c.clientId];
      s.devices.insert(moved.devices.begin(), moved.devices.end());
      s.boxes.insert(moved.boxes.begin(), moved.boxes.end());
      s.lastDataId = std::max(s.lastDataId, moved.lastDataId);
    }
    emit(c.serial, "<reconnect><data>" + codeElement(code) + "</data></reconnect>", ov);
  }

  void onOpenCommBox(ChannelConn& c, Session& s, const pugi::xml_document& doc) {
    const long sequence = numberOf(doc, "sequence");
    const std::string box = textOf(doc, "box_id");
    const std::string member = textOf(doc, "member_id");
    std::string code = "OK";
    if (s.boxes.count(box) != 0) {
      code = "ALREADY_OPENED";
    } else {
      for (const auto& [sid, other] : sessions) {
        auto b = other.boxes.find(box);
        if (&other != &s && other.serial != 0 && b != other.boxes.end() && b->second == member) {
          code = "MEMBERID_ALREADY_USED";
        }
      }
    }
    ReplyOverride ov = takeOverride("open_commbox");
    code = ov.code.value_or(code);
    if (code == "OK") s.boxes[box] = member;
    emit(c.serial,
         "<open_commbox>" + number("sequence", sequence) + number("data_id", ++s.lastDataId) +
             "<data>" + element("box_id", box) + codeElement(code) + "</data></open_commbox>",
         ov);
  }

  void onCloseCommBox(ChannelConn& c, Session& s, const pugi::xml_document& doc) {
    const long sequence = numberOf(doc, "sequence");
    const std::string box = textOf(doc, "box_id");
    ReplyOverride ov = takeOverride("close_commbox");
    const std::string code = ov.code.value_or(s.boxes.count(box) != 0 ? "OK" : "NOT_OPENED");
    if (code == "OK") s.boxes.erase(box);
    emit(c.serial,
         "<close_commbox>" + number("sequence", sequence) + number("data_id", ++s.lastDataId) +
             "<data>" + element("box_id", box) + codeElement(code) + "</data></close_commbox>",
         ov);
  }

  void onCommBoxData(ChannelConn& c, Session& s, const pugi::xml_document& doc) {
    const std::string type = textOf(doc, "type");
    const long sequence = numberOf(doc, "sequence");
    const std::string box = textOf(doc, "box_id");
    const bool open = s.boxes.count(box) != 0;
    if (type == "getcommhistory") {
      ReplyOverride ov = takeOverride(type);
      std::string items;
      if (open) {
        for (const HistoryItem& h : history[box]) {
          items += "<history_list>" + element("senderId", h.sender) +
                   element("receiverId", h.receiver) + element("message", h.message) +
                   "</history_list>";
        }
      }
      emit(c.serial,
           "<commbox_data>" + number("sequence", sequence) + number("data_id", ++s.lastDataId) +
               "<data>" + element("type", type) + element("box_id", box) +
               codeElement(ov.code.value_or(open ? "OK" : "NOT_OPENED")) + items +
               "</data></commbox_data>",
           ov);
    } else if (type == "send") {
      ReplyOverride ov = takeOverride(type);
      const std::string to = textOf(doc, "member_id");
      const std::string message = textOf(doc, "message");
      int count = 0;
      if (open) {
        const std::string from = s.boxes[box];
        history[box].push_back({from, to, message});
        for (auto& [sid, other] : sessions) {
          auto b = other.boxes.find(box);
          if (&other == &s || other.serial == 0 || b == other.boxes.end()) continue;
          if (!to.empty() && b->second != to) continue;
          ++count;
          const std::string event =
              "<commbox_data>" + number("sequence", 0) + number("data_id", ++other.lastDataId) +
              "<data>" + element("type", "onreceive") + element("box_id", box) + "<data>" +
              element("sender_id", from) + element("receiver_id", to) +
              element("message", message) + "</data></data></commbox_data>";
          queueMessage(other.serial, event + std::string(1, '\0'));
        }
      }
      emit(c.serial,
           "<commbox_data>" + number("sequence", sequence) + number("data_id", ++s.lastDataId) +
               "<data>" + element("type", type) + element("box_id", box) +
               codeElement(ov.code.value_or(open ? "OK" : "NOT_OPENED")) + number("count", count) +
               "</data></commbox_data>",
           ov);
    }
  }

  void onDeviceData(ChannelConn& c, Session& s, const pugi::xml_document& doc) {
    const std::string type = textOf(doc, "type");
    const long sequence = numberOf(doc, "sequence");
    const std::string id = textOf(doc, "device_id");
    const bool open = s.devices.count(id) != 0;
    auto d = devices.find(id);
    const uint32_t status = d != devices.end() ? d->second.status : 0;
    const int battery = d != devices.end() ? d->second.battery : 0;
    if (type == "print" || type == "display") {
      ReplyOverride ov = takeOverride(type);
      const bool success = ov.success.value_or(open);
      const std::string code = ov.code.value_or(open ? "" : "DEVICE_NOT_OPEN");
      char response[256];
      std::snprintf(response, sizeof response,
                    "<response success=\"%s\" code=\"%s\" status=\"%u\" battery=\"%d\"/>",
                    success ? "true" : "false", xmlEscape(code).c_str(), ov.status.value_or(status),
                    battery);
      emit(c.serial,
           "<device_data>" + number("sequence", sequence) + element("device_id", id) +
               number("data_id", ++s.lastDataId) + "<data>" + element("type", "onxmlresult") +
               "<resultdata>" + response + "</resultdata>" +
               element("printjobid", textOf(doc, "printjobid")) + "</data></device_data>",
           ov);
    } else if (isHybridOperation(type)) {
      // The hybrid printer's operations end with an "onreceive" event named
      // after them; the emulated paper is always there at once.
      ReplyOverride ov = takeOverride(type);
      const bool success = ov.success.value_or(open);
      emit(c.serial,
           "<device_data>" + number("sequence", sequence) + element("device_id", id) +
               number("data_id", ++s.lastDataId) + "<data>" + element("type", "onreceive") +
               element("eventtype", type) + element("success", success ? "true" : "false") +
               codeElement(ov.code.value_or(open ? "OK" : "DEVICE_NOT_OPEN")) +
               number("status", ov.status.value_or(status)) + "<data><data>" +
               xmlEscape(type == "micrread" ? micrText : std::string()) + "</data></data>" +
               "</data></device_data>",
           ov);
    }
  }

  static bool isHybridOperation(const std::string& type) {
    static const char* const kTypes[] = {
        "clearbuffer",   "slipwaitinsertion", "endorsewaitinsertion", "validationwaitinsertion",
        "slipprint2",    "endorseprint2",     "validationprint2",     "slipcancel",
        "endorsecancel", "validationcancel",  "micrcancel",           "eject",
        "micrread",      "micrcleaning"};
    return std::find(std::begin(kTypes), std::end(kTypes), type) != std::end(kTypes);
  }

  ReplyOverride takeOverride(const std::string& kind) {
    auto it = overrides.find(kind);
    if (it == overrides.end() || it->second.empty()) return {};
    ReplyOverride ov = it->second.front();
    it->second.pop_front();
    return ov;
  }

  // ---- HTTP ----
  void onHttpEvent(HttpConn* h, short revents) {
    if (h->closeNow) return;
    if ((revents & POLLOUT) != 0 || (h->ssl != nullptr && !h->out.empty())) {
      if (!flush(*h)) {
        h->closeNow = true;
        return;
      }
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
    char buf[16384];
    for (;;) {
      ssize_t n;
      if (h->ssl != nullptr) {
        ERR_clear_error();
        const int r = SSL_read(h->ssl, buf, sizeof buf);
        if (r <= 0) {
          const int e = SSL_get_error(h->ssl, r);
          if (e == SSL_ERROR_WANT_READ) break;
          if (e == SSL_ERROR_WANT_WRITE) {
            h->tlsWantsWrite = true;
            break;
          }
          h->closeNow = true;
          return;
        }
        n = r;
      } else {
        n = ::recv(h->fd, buf, sizeof buf, 0);
        if (n < 0) {
          if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
          h->closeNow = true;
          return;
        }
        if (n == 0) {
          h->closeNow = true;
          return;
        }
      }
      if (h->answered) continue;
      h->in.append(buf, static_cast<size_t>(n));
      if (h->in.size() > kMaxHttpRequest) {
        h->closeNow = true;
        return;
      }
      tryHttpRequest(*h);
    }
  }

  void tryHttpRequest(HttpConn& h) {
    const size_t headEnd = h.in.find("\r\n\r\n");
    if (headEnd == std::string::npos) return;
    HttpRequest r;
    r.when = Clock::now();
    r.tls = h.tls;
    size_t pos = 0;
    bool first = true;
    size_t contentLength = 0;
    while (pos < headEnd) {
      size_t eol = h.in.find("\r\n", pos);
      const std::string line = h.in.substr(pos, eol - pos);
      pos = eol + 2;
      if (first) {
        r.requestLine = line;
        first = false;
        continue;
      }
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      r.headers.emplace_back(line.substr(0, colon), value);
      std::string lower = line.substr(0, colon);
      std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
      if (lower == "content-length") contentLength = std::strtoul(value.c_str(), nullptr, 10);
    }
    if (h.in.size() < headEnd + 4 + contentLength) return;
    r.body = h.in.substr(headEnd + 4, contentLength);
    r.raw = h.in.substr(0, headEnd + 4 + contentLength);
    h.answered = true;
    const size_t sp1 = r.requestLine.find(' ');
    const size_t sp2 = r.requestLine.find(' ', sp1 == std::string::npos ? 0 : sp1 + 1);
    if (sp1 != std::string::npos) {
      r.method = r.requestLine.substr(0, sp1);
      r.target = r.requestLine.substr(sp1 + 1,
                                      sp2 == std::string::npos ? std::string::npos : sp2 - sp1 - 1);
    }
    const size_t q = r.target.find('?');
    r.path = r.target.substr(0, q);
    if (q != std::string::npos) {
      std::string rest = r.target.substr(q + 1);
      size_t p = 0;
      while (p <= rest.size()) {
        size_t amp = rest.find('&', p);
        if (amp == std::string::npos) amp = rest.size();
        const std::string pair = rest.substr(p, amp - p);
        const size_t eq = pair.find('=');
        if (!pair.empty())
          r.query[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
        p = amp + 1;
      }
    }
    trace(std::string(h.tls ? "HTTPS " : "HTTP ") + r.requestLine);
    answerHttp(h, r);
    if (opt.keepNoLog) return;
    httpLog.push_back(std::move(r));
    while (httpLog.size() > opt.logLimit) httpLog.pop_front();
  }

  std::optional<HttpOverride> takeHttpOverride(const std::string& path) {
    for (auto it = httpOverrides.begin(); it != httpOverrides.end(); ++it) {
      const std::string& suffix = it->first;
      if (path.size() < suffix.size() ||
          path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        continue;
      HttpOverride ov = it->second;
      if (it->second.count > 0 && --it->second.count == 0) httpOverrides.erase(it);
      return ov;
    }
    return std::nullopt;
  }

  std::string statusBody(const std::string& devid) {
    StatusAnswer a;
    auto queued = statusQueue.find(devid);
    auto d = devices.find(devid);
    if (queued != statusQueue.end() && !queued->second.empty()) {
      a = queued->second.front();
      queued->second.pop_front();
    } else if (d != devices.end()) {
      a.status = d->second.status;
      a.battery = d->second.battery;
    } else {
      a.success = false;
      a.code = "DeviceNotFound";
    }
    std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope xmlns:s=\"";
    body += kSoapNamespace;
    body += "\"><s:Body>";
    if (!a.omitResponse) {
      char response[512];
      std::snprintf(
          response, sizeof response,
          "<response success=\"%s\" code=\"%s\" status=\"%u\" battery=\"%d\" xmlns=\"%s\"/>",
          a.success ? "true" : "false", xmlEscape(a.code).c_str(), a.status, a.battery,
          kPrintNamespace);
      body += response;
    }
    body += "</s:Body></s:Envelope>";
    return body;
  }

  std::string deviceListBody() const {
    std::string body = "[";
    for (const auto& [id, d] : devices) {
      if (body.size() > 1) body += ',';
      body += "{\"deviceId\":\"" + jsonEscape(id) + "\",\"deviceType\":\"" + jsonEscape(d.type) +
              "\",\"modelName\":\"" + jsonEscape(d.model) + "\"}";
    }
    return body + "]";
  }

  void answerHttp(HttpConn& h, const HttpRequest& r) {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    if (r.path == "/cgi-bin/tilo/service.cgi") {
      auto dev = r.query.find("devid");
      body = statusBody(dev == r.query.end() ? std::string() : dev->second);
      contentType = "text/xml; charset=utf-8";
    } else if (r.path == "/orvik_tilodevice/getDeviceList.cgi") {
      body = deviceListBody();
    } else if (r.path == "/orvik_tilodevice/getSystemVersion.cgi") {
      body = std::string("{\"Services\":[{\"EndorsementUnit\":\"") + (units[0] ? "1" : "0") +
             "\",\"ValidationUnit\":\"" + (units[1] ? "1" : "0") + "\",\"MICRUnit\":\"" +
             (units[2] ? "1" : "0") + "\"}]}";
    } else if (r.path == "/orvik_tilodevice/getSystemPortList.cgi") {
      body = "{\"NativeSocket\":" + std::to_string(listeners[0].port) +
             ",\"SSLNativeSocket\":" + std::to_string(listeners[1].port) + "}";
    } else {
      status = 404;
      body = "not found";
      contentType = "text/plain";
    }
    HttpOverride ov;
    if (auto taken = takeHttpOverride(r.path)) ov = *taken;
    if (ov.silent) return;
    if (ov.closeWithoutReply) {
      h.closeNow = true;
      return;
    }
    std::vector<std::string> pieces;
    if (ov.rawReply) {
      pieces.push_back(*ov.rawReply);
    } else {
      if (ov.status != 200) {
        status = ov.status;
        body = status == 302 ? std::string() : "<html><body>error</body></html>";
        contentType = "text/html";
      }
      if (ov.body) body = *ov.body;
      if (ov.bodySize > 0) body.assign(ov.bodySize, 'x');
      std::string head = "HTTP/1.1 " + std::to_string(status) + " " +
                         (status == 200   ? "OK"
                          : status == 302 ? "Found"
                          : status == 404 ? "Not Found"
                                          : "Error") +
                         "\r\n";
      if (status == 302) {
        head += "Location: https://" + opt.address + ":" + std::to_string(listeners[3].port) +
                r.target + "\r\n";
      }
      head += "Content-Type: " + contentType + "\r\nConnection: close\r\n";
      std::string wireBody;
      if (ov.chunked) {
        head += "Transfer-Encoding: chunked\r\n";
        const size_t step = std::max<size_t>(ov.chunkSize, 1);
        for (size_t p = 0; p < body.size(); p += step) {
          const std::string part = body.substr(p, step);
          char size[32];
          std::snprintf(size, sizeof size, "%zx\r\n", part.size());
          wireBody += size + part + "\r\n";
        }
        wireBody += "0\r\n\r\n";
      } else {
        if (!ov.noContentLength) head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        wireBody = body;
      }
      head += "\r\n";
      if (ov.splits.empty()) {
        pieces.push_back(head + wireBody);
      } else {
        // The head goes with the first piece; later pieces wait for the pause.
        size_t from = 0;
        std::string first = head;
        for (size_t cut : ov.splits) {
          cut = std::min(cut, wireBody.size());
          if (cut < from) continue;
          std::string part = wireBody.substr(from, cut - from);
          if (pieces.empty()) {
            pieces.push_back(first + part);
          } else {
            pieces.push_back(part);
          }
          from = cut;
        }
        if (pieces.empty()) pieces.push_back(first);
        pieces.push_back(wireBody.substr(from));
      }
    }
    const int target = h.id;
    milliseconds at = ov.delay;
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) at += ov.pause;
      const bool last = i + 1 == pieces.size();
      auto send = [this, target, piece = pieces[i], last] {
        HttpConn* c = httpConn(target);
        if (c == nullptr) return;
        c->out.push_back(Piece{piece, 0});
        if (last) c->closeWhenFlushed = true;
      };
      if (at.count() > 0) {
        after(at, send);
      } else {
        send();
      }
    }
  }

  HttpConn* httpConn(int id) const {
    for (const auto& p : https) {
      if (p->id == id) return p->closeNow ? nullptr : p.get();
    }
    return nullptr;
  }

  // ---- helpers for the control API ----
  // The connection of a serial, or the newest one still open for 0.
  ChannelConn* findConn(int client) {
    if (client == 0) {
      for (auto it = conns.rbegin(); it != conns.rend(); ++it) {
        if (it->second->closeNow == Close::None) return it->second.get();
      }
      return nullptr;
    }
    auto it = conns.find(client);
    return it == conns.end() || it->second->closeNow != Close::None ? nullptr : it->second.get();
  }

  void trace(const std::string& line) {
    if (opt.trace) opt.trace(line);
  }

  Options opt;
  mutable std::mutex mu;
  mutable std::condition_variable cv;
  std::thread thread;
  bool stopping = false;
  int wakeFd = -1;
  SSL_CTX* ctx = nullptr;
  Listener listeners[4];
  std::map<int, std::unique_ptr<ChannelConn>> conns;
  std::list<std::unique_ptr<HttpConn>> https;
  std::vector<int> silentFds;
  std::multimap<Clock::time_point, std::function<void()>> timers;
  std::map<std::string, Session> sessions;
  std::map<std::string, Device> devices;
  std::map<std::string, std::vector<HistoryItem>> history;
  std::string adminName = "admin";
  std::string location = "counter 1";
  bool units[3] = {false, false, false};
  std::string micrText = "T123456789T 0123456789O";
  std::map<std::string, std::deque<StatusAnswer>> statusQueue;
  std::map<std::string, std::deque<ReplyOverride>> overrides;
  std::vector<std::pair<std::string, HttpOverride>> httpOverrides;
  bool reading = true;
  int acceptCount = 0;
  int httpSerial = 0;
  int connectedCount = 0;
  std::deque<Message> log;
  std::deque<HttpRequest> httpLog;
};

// ---- the public face --------------------------------------------------------

ServiceEmulator::ServiceEmulator(Options options)
    : options_(std::move(options)), impl_(std::make_unique<Impl>(options_)) {}

ServiceEmulator::~ServiceEmulator() { stop(); }

bool ServiceEmulator::start(std::string* error) { return impl_->start(error); }

void ServiceEmulator::stop() { impl_->stop(); }

uint16_t ServiceEmulator::httpPort() const { return impl_->listeners[2].port; }
uint16_t ServiceEmulator::httpsPort() const { return impl_->listeners[3].port; }

void ServiceEmulator::setDevice(const std::string& id, Device device) {
  std::lock_guard lock(impl_->mu);
  impl_->devices[id] = std::move(device);
}

void ServiceEmulator::removeDevice(const std::string& id) {
  std::lock_guard lock(impl_->mu);
  impl_->devices.erase(id);
}

void ServiceEmulator::setAdmin(const std::string& name, const std::string& location) {
  std::lock_guard lock(impl_->mu);
  impl_->adminName = name;
  impl_->location = location;
}

void ServiceEmulator::setUnits(bool endorsement, bool validation, bool micr) {
  std::lock_guard lock(impl_->mu);
  impl_->units[0] = endorsement;
  impl_->units[1] = validation;
  impl_->units[2] = micr;
}

void ServiceEmulator::queueStatus(const std::string& deviceId, StatusAnswer answer) {
  std::lock_guard lock(impl_->mu);
  impl_->statusQueue[deviceId].push_back(std::move(answer));
}

void ServiceEmulator::overrideNextReply(const std::string& kind, ReplyOverride override) {
  std::lock_guard lock(impl_->mu);
  impl_->overrides[kind].push_back(std::move(override));
}

void ServiceEmulator::clearOverrides() {
  std::lock_guard lock(impl_->mu);
  impl_->overrides.clear();
  impl_->httpOverrides.clear();
}

void ServiceEmulator::setAcceptMode(Transport transport, AcceptMode mode) {
  std::lock_guard lock(impl_->mu);
  impl_->listeners[transport == Transport::Tls ? 1 : 0].mode = mode;
}

bool ServiceEmulator::setRefusing(Transport transport, bool refusing) {
  std::lock_guard lock(impl_->mu);
  Listener& l = impl_->listeners[transport == Transport::Tls ? 1 : 0];
  if (refusing == l.refusing) return true;
  if (refusing) {
    // With no listener the kernel answers connects with a reset. The shutdown
    // stops the listening at once, even while the loop's poll still holds the
    // socket (a close alone would wait for the poll to return).
    if (l.fd >= 0) {
      ::shutdown(l.fd, SHUT_RDWR);
      ::close(l.fd);
    }
    l.fd = -1;
    l.refusing = true;
  } else {
    std::string why;
    if (!impl_->openListener(l, &why)) return false;
    l.refusing = false;
  }
  impl_->wake();
  return true;
}

bool ServiceEmulator::setBacklogFull(Transport transport, bool full) {
  std::lock_guard lock(impl_->mu);
  Listener& l = impl_->listeners[transport == Transport::Tls ? 1 : 0];
  if (l.fd < 0 || full == l.backlogFull) return l.fd >= 0;
  if (full) {
    // A queue of one: the first of our own connects fills it, the kernel drops
    // every later SYN, and nobody accepts while full.
    ::listen(l.fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(l.port);
    inet_pton(AF_INET, impl_->opt.address.c_str(), &a.sin_addr);
    for (int i = 0; i < 2; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) continue;
      ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      l.fillers.push_back(fd);
    }
    l.backlogFull = true;
    // Wait (bounded) until the first filler sits in the queue.
    pollfd p{l.fillers.empty() ? -1 : l.fillers[0], POLLOUT, 0};
    ::poll(&p, 1, 2000);
  } else {
    for (int f : l.fillers) ::close(f);
    l.fillers.clear();
    for (;;) {
      const int fd = ::accept4(l.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) break;
      ::close(fd);
    }
    ::listen(l.fd, 64);
    l.backlogFull = false;
  }
  impl_->wake();
  return true;
}

void ServiceEmulator::setReading(bool reading) {
  std::lock_guard lock(impl_->mu);
  impl_->reading = reading;
  impl_->wake();
}

void ServiceEmulator::overrideHttp(const std::string& pathSuffix, HttpOverride override) {
  std::lock_guard lock(impl_->mu);
  impl_->httpOverrides.emplace_back(pathSuffix, std::move(override));
}

bool ServiceEmulator::sendRaw(int client, std::string bytes, std::vector<size_t> splits,
                              std::chrono::milliseconds pause) {
  std::lock_guard lock(impl_->mu);
  ChannelConn* c = impl_->findConn(client);
  if (c == nullptr) return false;
  const int serial = c->serial;
  std::vector<std::string> pieces;
  size_t from = 0;
  for (size_t cut : splits) {
    cut = std::min(cut, bytes.size());
    if (cut <= from) continue;
    pieces.push_back(bytes.substr(from, cut - from));
    from = cut;
  }
  if (from < bytes.size()) pieces.push_back(bytes.substr(from));
  std::chrono::milliseconds at{0};
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) at += pause;
    if (at.count() == 0) {
      impl_->queueBytes(serial, std::move(pieces[i]));
    } else {
      impl_->after(
          at, [this, serial, piece = std::move(pieces[i])] { impl_->queueBytes(serial, piece); });
    }
  }
  impl_->wake();
  return true;
}

bool ServiceEmulator::sendMessage(int client, const std::string& text) {
  std::lock_guard lock(impl_->mu);
  ChannelConn* c = impl_->findConn(client);
  if (c == nullptr) return false;
  impl_->queueMessage(c->serial, text + std::string(1, '\0'));
  impl_->wake();
  return true;
}

int ServiceEmulator::takeDataId(int client) {
  std::lock_guard lock(impl_->mu);
  ChannelConn* c = impl_->findConn(client);
  if (c == nullptr) return 0;
  return ++impl_->sessions[c->clientId].lastDataId;
}

int ServiceEmulator::sendDeviceEvent(int client, const std::string& deviceId,
                                     const std::string& type, const std::string& fields,
                                     int sequence) {
  std::lock_guard lock(impl_->mu);
  ChannelConn* c = impl_->findConn(client);
  if (c == nullptr) return 0;
  const int dataId = ++impl_->sessions[c->clientId].lastDataId;
  const std::string text = "<device_data>" + number("sequence", sequence) +
                           element("device_id", deviceId) + number("data_id", dataId) + "<data>" +
                           element("type", type) + fields + "</data></device_data>";
  impl_->queueMessage(c->serial, text + std::string(1, '\0'));
  impl_->wake();
  return dataId;
}

int ServiceEmulator::newestClient() const {
  std::lock_guard lock(impl_->mu);
  ChannelConn* c = impl_->findConn(0);
  return c == nullptr ? 0 : c->serial;
}

bool ServiceEmulator::closeClient(int client) {
  std::lock_guard lock(impl_->mu);
  ChannelConn* c = impl_->findConn(client);
  if (c == nullptr) return false;
  c->closeNow = Close::Fin;
  impl_->wake();
  return true;
}

bool ServiceEmulator::resetClient(int client) {
  std::lock_guard lock(impl_->mu);
  ChannelConn* c = impl_->findConn(client);
  if (c == nullptr) return false;
  c->closeNow = Close::Rst;
  impl_->wake();
  return true;
}

std::vector<Message> ServiceEmulator::messages() const {
  std::lock_guard lock(impl_->mu);
  return {impl_->log.begin(), impl_->log.end()};
}

std::vector<Message> ServiceEmulator::received(const std::string& kind) const {
  std::lock_guard lock(impl_->mu);
  std::vector<Message> out;
  for (const Message& m : impl_->log) {
    if (!m.fromService && (kind.empty() || m.kind == kind)) out.push_back(m);
  }
  return out;
}

std::vector<HttpRequest> ServiceEmulator::httpRequests() const {
  std::lock_guard lock(impl_->mu);
  return {impl_->httpLog.begin(), impl_->httpLog.end()};
}

int ServiceEmulator::accepted() const {
  std::lock_guard lock(impl_->mu);
  return impl_->acceptCount;
}

int ServiceEmulator::connectedClients() const {
  std::lock_guard lock(impl_->mu);
  return impl_->connectedCount;
}

std::string ServiceEmulator::clientId(int client) const {
  std::lock_guard lock(impl_->mu);
  auto it = impl_->conns.find(client);
  if (it != impl_->conns.end()) return it->second->clientId;
  return "C" + std::to_string(client);
}

std::vector<std::string> ServiceEmulator::openDevices(const std::string& clientId) const {
  std::lock_guard lock(impl_->mu);
  auto it = impl_->sessions.find(clientId);
  if (it == impl_->sessions.end()) return {};
  return {it->second.devices.begin(), it->second.devices.end()};
}

std::vector<std::string> ServiceEmulator::openBoxes(const std::string& clientId) const {
  std::lock_guard lock(impl_->mu);
  std::vector<std::string> out;
  auto it = impl_->sessions.find(clientId);
  if (it == impl_->sessions.end()) return out;
  for (const auto& [box, member] : it->second.boxes) out.push_back(box);
  return out;
}

void ServiceEmulator::clearLog() {
  std::lock_guard lock(impl_->mu);
  impl_->log.clear();
  impl_->httpLog.clear();
}

bool ServiceEmulator::waitFor(const std::function<bool(const std::vector<Message>&)>& test,
                              std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->mu);
  return impl_->cv.wait_for(lock, limit, [&] {
    const std::vector<Message> snapshot(impl_->log.begin(), impl_->log.end());
    return test(snapshot);
  });
}

bool ServiceEmulator::waitForReceived(const std::string& kind, size_t count,
                                      std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->mu);
  return impl_->cv.wait_for(lock, limit, [&] {
    size_t n = 0;
    for (const Message& m : impl_->log) {
      if (!m.fromService && (kind.empty() || m.kind == kind)) ++n;
    }
    return n >= count;
  });
}

bool ServiceEmulator::waitForAccepted(int count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->mu);
  return impl_->cv.wait_for(lock, limit, [&] { return impl_->acceptCount >= count; });
}

bool ServiceEmulator::waitForConnected(int count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->mu);
  return impl_->cv.wait_for(lock, limit, [&] { return impl_->connectedCount == count; });
}

bool ServiceEmulator::waitForHttpRequests(size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->mu);
  return impl_->cv.wait_for(lock, limit, [&] { return impl_->httpLog.size() >= count; });
}

}  // namespace service_emulator
