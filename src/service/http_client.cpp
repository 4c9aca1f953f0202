#include "service/http_client.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "foundation/platform.h"
#include "io/address_cache.h"
#include "service/channel.h"
#include "service/live_threads.h"
#include "service/test_hooks.h"

namespace tilo2::core {
namespace {

constexpr const char* kTag = "TDEV_";
constexpr int32_t kDefaultHttpPort = 80;
constexpr int32_t kDefaultHttpsPort = 443;
// A head longer than this is no reply of the device service.
constexpr size_t kHeadMax = 16 * 1024;
// A chunk-size line longer than this is malformed.
constexpr size_t kChunkLineMax = 1024;

// ---- Ports per host (test hook) ---------------------------------------------------

PlatformMutex_t g_portLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
std::map<std::string, std::pair<int32_t, int32_t>>& PortTable() {
  static auto* table = new std::map<std::string, std::pair<int32_t, int32_t>>();
  return *table;
}

// ---- Text helpers ---------------------------------------------------------------------

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

void AppendPercentEncoded(std::string* out, const char* text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (const char* p = text; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (IsUnreserved(c)) {
      out->push_back(static_cast<char>(c));
    } else {
      out->push_back('%');
      out->push_back(kDigits[c >> 4]);
      out->push_back(kDigits[c & 0xF]);
    }
  }
}

// A chunk-size line "hex[;extension]" at the start of bytes. 1 with its size
// and the offset after its CR LF; 0 when its end has not arrived; -1 malformed.
int ReadChunkLine(const char* bytes, size_t length, uint32_t* size, size_t* next) {
  size_t i = 0;
  uint64_t value = 0;
  while (i < length && IsHex(bytes[i])) {
    if (i >= 8) return -1;  // beyond 32 bits: no chunk of ours
    const char c = bytes[i];
    value = value * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    ++i;
  }
  if (i == length) return length > kChunkLineMax ? -1 : 0;
  if (i == 0) return -1;
  // Extensions and trailing blanks up to the CR LF are skipped.
  const char c = bytes[i];
  if (c != '\r' && c != ';' && c != ' ' && c != '\t') return -1;
  const void* cr = std::memchr(bytes + i, '\r', length - i);
  if (!cr) return length > kChunkLineMax ? -1 : 0;
  const size_t at = static_cast<size_t>(static_cast<const char*>(cr) - bytes);
  if (at > kChunkLineMax) return -1;
  if (at + 1 >= length) return 0;
  if (bytes[at + 1] != '\n') return -1;
  *size = static_cast<uint32_t>(value);
  *next = at + 2;
  return 1;
}

// ---- Request --------------------------------------------------------------------------

struct Worker {
  std::string host;     // the caller's host text
  std::string address;  // the resolved address
  std::string path;
  std::string devid;
  std::string body;
  int32_t queryTimeout = 0;
  int32_t timeoutMs = 0;
  int32_t tls = 0;
  TdevSocket_t* socket = nullptr;
  TdevHttpReplyCallback reply = nullptr;
  TdevHttpUserCallback user = nullptr;
  void* context = nullptr;
  // Counts the request for its whole life, from before its thread starts.
  std::unique_ptr<TdevLiveThread> live;
};

void Disconnect(Worker& worker) {
  if (worker.socket) tcp_disconnect_host(worker.socket);
  worker.socket = nullptr;
}

// Where a reply stands once its head is known.
enum class Framing { ContentLength, Chunked, Undecided, UntilClose };

// Reads one reply. 0 with the body, 1 redirect, else a TdevHttpResult.
int32_t ReceiveReply(TdevSocket_t* socket, int32_t timeoutMs, std::string* body) {
  std::string raw;
  char chunk[4096];
  const uint64_t deadline = tcp_tick_ms() + static_cast<uint64_t>(timeoutMs > 0 ? timeoutMs : 0);
  TdevHttpReplyHead_t head;
  bool haveHead = false;
  Framing framing = Framing::Undecided;
  for (;;) {
    const uint64_t now = tcp_tick_ms();
    if (now >= deadline) return TDEV_HTTP_TIMEOUT;
    int32_t got = 0;
    const int32_t rc = TdevSocketRecv(socket, chunk, static_cast<int32_t>(sizeof chunk),
                                      static_cast<int32_t>(deadline - now), &got);
    // The peer's close (or a broken link) ends the bytes; what it ends decides.
    const bool closed = rc == TDEV_SOCKET_IO;
    if (rc != TDEV_SOCKET_OK && !closed) return TdevHttpRequestResult(rc);
    if (got > 0) raw.append(chunk, static_cast<size_t>(got));

    if (!haveHead) {
      const int32_t parsed = http_response_parse_head(raw.data(), raw.size(), &head);
      if (parsed == 1) {
        if (raw.size() > kHeadMax) return TDEV_HTTP_OTHER;
        if (closed) return TDEV_HTTP_IO;
        continue;
      }
      if (parsed != 0 && parsed != TDEV_HTTP_NO_BODY) return parsed;
      haveHead = true;
      if (head.status == 302) return TDEV_HTTP_REDIRECT;
      if (head.status != 200) return TDEV_HTTP_OTHER;
      if (head.chunked) {
        framing = Framing::Chunked;
      } else if (head.contentLength >= 0) {
        if (static_cast<uint64_t>(head.contentLength) > kTdevHttpBodyMax) return TDEV_HTTP_OTHER;
        framing = Framing::ContentLength;
      }
    }

    const char* after = raw.data() + head.headLength;
    const size_t held = raw.size() - head.headLength;
    if (framing == Framing::Undecided && held > 0) {
      // Without Content-Length the body may still come in chunks, announced
      // or not; anything that does not open with a chunk-size line runs to
      // the close.
      uint32_t size = 0;
      size_t next = 0;
      const int line = ReadChunkLine(after, held, &size, &next);
      if (line == 1) framing = Framing::Chunked;
      if (line == -1) framing = Framing::UntilClose;
      if (line == 0 && closed) framing = Framing::UntilClose;
    }
    switch (framing) {
      case Framing::ContentLength: {
        const auto want = static_cast<size_t>(head.contentLength);
        if (held >= want) {
          if (want == 0) return TDEV_HTTP_NO_BODY;
          body->assign(after, want);
          return TDEV_HTTP_OK;
        }
        break;
      }
      case Framing::Chunked: {
        const TdevHttpBodyState state = http_decode_chunked(after, held, body);
        if (state == TdevHttpBodyState::Complete) {
          return body->empty() ? TDEV_HTTP_NO_BODY : TDEV_HTTP_OK;
        }
        if (state != TdevHttpBodyState::NeedMore) return TDEV_HTTP_OTHER;
        if (held > kTdevHttpBodyMax + kHeadMax) return TDEV_HTTP_OTHER;
        break;
      }
      case Framing::UntilClose:
        if (held > kTdevHttpBodyMax) return TDEV_HTTP_OTHER;
        if (closed) {
          if (held == 0) return TDEV_HTTP_NO_BODY;
          body->assign(after, held);
          return TDEV_HTTP_OK;
        }
        break;
      case Framing::Undecided:
        break;
    }
    if (closed) return held == 0 ? TDEV_HTTP_NO_BODY : TDEV_HTTP_IO;
  }
}

// Sends the request and reads its reply on the worker's socket.
int32_t Exchange(Worker& worker, std::string* body) {
  std::string request;
  const int32_t formatted =
      http_request_format(worker.path.c_str(), worker.devid.c_str(), worker.queryTimeout,
                          worker.address.c_str(), worker.body.c_str(), &request);
  if (formatted != 0) return formatted;
  int32_t sent = 0;
  const int32_t rc = TdevSocketSend(worker.socket, request.data(),
                                    static_cast<int32_t>(request.size()), worker.timeoutMs, &sent);
  if (rc != TDEV_SOCKET_OK) return TdevHttpRequestResult(rc);
  return ReceiveReply(worker.socket, worker.timeoutMs, body);
}

void* RequestThread(void* argument) {
  std::unique_ptr<Worker> worker(static_cast<Worker*>(argument));
  std::string body;
  int32_t result = Exchange(*worker, &body);
  if (result == TDEV_HTTP_REDIRECT && worker->tls == 0) {
    // The service asks for TLS: the same request once more on its HTTPS port.
    Disconnect(*worker);
    worker->tls = 1;
    const int32_t rc =
        tcp_connect_host(worker->address.c_str(), TdevHttpPort(worker->host.c_str(), 1), 1,
                         worker->timeoutMs, &worker->socket);
    result = rc == TDEV_SOCKET_OK ? Exchange(*worker, &body) : TdevHttpRequestResult(rc);
  }
  // A redirect after the TLS request ends the request: no loop between the two.
  if (result == TDEV_HTTP_REDIRECT) result = TDEV_HTTP_OTHER;
  Disconnect(*worker);
  if (result != TDEV_HTTP_OK) {
    log_trace(kTag, LOG_TRACE_INFO, worker.get(), result, "http_request_thread", LOG_ARG_STRING,
              "No reply body.", LOG_ARG_STRING, worker->path.c_str(), LOG_ARG_END);
  }
  const bool ok = result == TDEV_HTTP_OK;
  worker->reply(worker->host.c_str(), worker->devid.c_str(), ok ? body.c_str() : nullptr,
                ok ? body.size() : 0, worker->user, worker->context);
  return nullptr;
}

}  // namespace

void TdevSetHttpPorts(const char* host, int32_t httpPort, int32_t httpsPort) {
  PlatformLockGuard guard(g_portLock);
  if (!guard) return;
  if (!host) {
    PortTable().clear();
    return;
  }
  if (httpPort <= 0 && httpsPort <= 0) {
    PortTable().erase(host);
    return;
  }
  PortTable()[host] = {httpPort, httpsPort};
}

int32_t TdevHttpPort(const char* host, int32_t tls) {
  const int32_t fallback = tls == 1 ? kDefaultHttpsPort : kDefaultHttpPort;
  if (!host) return fallback;
  PlatformLockGuard guard(g_portLock);
  if (!guard) return fallback;
  const auto it = PortTable().find(host);
  if (it == PortTable().end()) return fallback;
  const int32_t port = tls == 1 ? it->second.second : it->second.first;
  return port > 0 ? port : fallback;
}

void http_request_forward_reply(const char* host, const char* devid, const char* body,
                                size_t length, TdevHttpUserCallback user, void* context) {
  if (user) user(host, devid, body, length, context);
}

int32_t http_request_format(const char* path, const char* devid, int32_t timeout,
                            const char* address, const char* body, std::string* out) {
  if (!path || !address || !out) return TDEV_HTTP_PARAM;
  // The path goes on the request line as it is: nothing in it may end or split the line.
  for (const char* p = path; *p; ++p) {
    if (static_cast<unsigned char>(*p) <= ' ' || *p == 0x7F) return TDEV_HTTP_PARAM;
  }
  std::string line = "POST ";
  line += path;
  line += "?devid=";
  AppendPercentEncoded(&line, devid ? devid : "");
  line += "&timeout=";
  line += std::to_string(timeout);
  line += " HTTP/1.1\r\n";
  if (line.size() >= kTdevHttpRequestLineMax) return TDEV_HTTP_PARAM;

  const size_t bodyLength = body ? std::strlen(body) : 0;
  std::string request = std::move(line);
  request += "Host: ";
  // An IPv6 literal is bracketed, so its colons do not read as a port.
  const bool v6 = std::strchr(address, ':') != nullptr;
  if (v6) request += '[';
  request += address;
  if (v6) request += ']';
  request += "\r\nContent-Length: ";
  request += std::to_string(bodyLength);
  request += "\r\n\r\n";
  if (bodyLength) request.append(body, bodyLength);
  *out = std::move(request);
  return TDEV_HTTP_OK;
}

int32_t http_response_parse_head(const char* bytes, size_t length, TdevHttpReplyHead_t* head) {
  if (!bytes || !head) return TDEV_HTTP_PARAM;
  const std::string_view text(bytes, length);
  const size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) return 1;
  TdevHttpReplyHead_t parsed;
  parsed.headLength = end + 4;

  size_t at = 0;
  bool first = true;
  while (at < end) {
    size_t eol = text.find("\r\n", at);
    if (eol == std::string_view::npos || eol > end) eol = end;
    const std::string_view line = text.substr(at, eol - at);
    at = eol + 2;
    if (first) {
      // "HTTP/1.1 200 OK": the version, one space, three digits.
      first = false;
      if (line.size() < 12 || line.substr(0, 5) != "HTTP/" || line[8] != ' ') {
        return TDEV_HTTP_OTHER;
      }
      // Digits only: a number reader would also take a sign ("-01").
      int32_t status = 0;
      for (size_t i = 9; i < 12; ++i) {
        if (!IsDigit(line[i])) return TDEV_HTTP_OTHER;
        status = status * 10 + (line[i] - '0');
      }
      if (line.size() > 12 && line[12] != ' ') return TDEV_HTTP_OTHER;
      parsed.status = status;
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Length")) {
      int64_t number = -1;
      const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (value.empty() || !IsDigit(value[0]) || ec != std::errc() ||
          ptr != value.data() + value.size() || number < 0) {
        return TDEV_HTTP_OTHER;
      }
      // Two different lengths: no telling where the body ends.
      if (parsed.contentLength >= 0 && parsed.contentLength != number) return TDEV_HTTP_OTHER;
      parsed.contentLength = number;
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
      const size_t comma = value.rfind(',');
      const std::string_view last =
          Trim(comma == std::string_view::npos ? value : value.substr(comma + 1));
      if (EqualsNoCase(last, "chunked")) parsed.chunked = true;
    }
  }
  if (first) return TDEV_HTTP_OTHER;
  *head = parsed;
  return parsed.headLength == length ? TDEV_HTTP_NO_BODY : TDEV_HTTP_OK;
}

TdevHttpBodyState http_decode_chunked(const char* bytes, size_t length, std::string* body) {
  body->clear();
  size_t at = 0;
  for (;;) {
    uint32_t size = 0;
    size_t next = 0;
    const int line = ReadChunkLine(bytes + at, length - at, &size, &next);
    if (line == 0) return TdevHttpBodyState::NeedMore;
    if (line < 0) return TdevHttpBodyState::Malformed;
    // The last chunk ends the body; its trailer is not waited for.
    if (size == 0) return TdevHttpBodyState::Complete;
    if (body->size() + size > kTdevHttpBodyMax) return TdevHttpBodyState::TooLarge;
    const size_t data = at + next;
    if (length - data < static_cast<size_t>(size) + 2) return TdevHttpBodyState::NeedMore;
    if (bytes[data + size] != '\r' || bytes[data + size + 1] != '\n') {
      return TdevHttpBodyState::Malformed;
    }
    body->append(bytes + data, size);
    at = data + size + 2;
  }
}

int32_t http_request_post(const TdevHttpRequest_t* options, int32_t tls, int32_t timeoutMs,
                          TdevHttpReplyCallback reply, TdevHttpUserCallback user) {
  if (!options || !options->host || !options->path || !reply) return TDEV_HTTP_PARAM;
  int fromMac = 0;
  int update = 1;
  char* resolved = TiloIoDhcpResolve(options->host, &fromMac, &update);
  if (!resolved) return TDEV_HTTP_IO;
  std::unique_ptr<char, decltype(&std::free)> address(resolved, &std::free);

  std::unique_ptr<Worker> worker(new (std::nothrow) Worker());
  if (!worker) return TDEV_HTTP_RESOURCES;
  try {
    worker->host = options->host;
    worker->address = address.get();
    worker->path = options->path;
    worker->devid = options->devid ? options->devid : "";
    worker->body = options->body ? options->body : "";
    worker->live = std::make_unique<TdevLiveThread>();
  } catch (const std::bad_alloc&) {
    return TDEV_HTTP_RESOURCES;
  }
  worker->queryTimeout = options->timeout;
  worker->timeoutMs = timeoutMs;
  worker->tls = tls == 1 ? 1 : 0;
  worker->reply = reply;
  worker->user = user;
  worker->context = options->context;

  const int32_t rc =
      tcp_connect_host(worker->address.c_str(), TdevHttpPort(worker->host.c_str(), worker->tls),
                       worker->tls, timeoutMs, &worker->socket);
  if (rc != TDEV_SOCKET_OK) return TdevHttpRequestResult(rc);

  PlatformThread_t thread = nullptr;
  Worker* raw = worker.release();
  if (platform_thread_create(&thread, &RequestThread, raw) != PLATFORM_OK) {
    worker.reset(raw);
    Disconnect(*worker);
    // The wrapper answers 11 for every failed start: lack of resources.
    return TDEV_HTTP_RESOURCES;
  }
  platform_thread_close(thread);
  return TDEV_HTTP_OK;
}

}  // namespace tilo2::core
