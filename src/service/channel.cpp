#include "service/channel.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "foundation/address_list.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "foundation/owned_fd.h"
#include "foundation/poll_wait.h"
#include "io/address_cache.h"
#include "service/device_service.h"
#include "service/live_threads.h"

namespace tilo2::core {

struct TdevChannel_t {
  char* host = nullptr;
  int32_t port = 0;
  int32_t timeout_ms = 0;
  int32_t tls = 0;
  void* context = nullptr;
  TdevSocket_t* socket = nullptr;  // guarded by lock
  std::atomic<int32_t> connected{0};
  std::atomic<int32_t> running{1};
  // Guards socket and connected, and is held for the whole of one send.
  PlatformMutex_t lock{nullptr, 0, 0};
  // Serialises joins, so the thread is waited for by one caller at a time.
  PlatformMutex_t joinLock{nullptr, 0, 0};
  PlatformThread_t thread = nullptr;
  std::atomic<uint32_t> threadId{0};
  // Readable once the channel stops: wakes the receive thread in connect or
  // read, and a send waiting on the socket.
  OwnedFd stop;
};

namespace {

constexpr const char* kTag = "IOCMN";
constexpr const char* kSource = "tilodevice_raw_tcp";
constexpr const char* kCacheSource = "tiloio_common_dhcp";
// Internal result: the channel's stop descriptor fired. Never leaves this file.
constexpr int32_t kStopped = -100;
constexpr int32_t kRetryPauseMs = 100;
constexpr int32_t kDrainWaitMs = 100;

struct ErrnoRow {
  int32_t code;  // wrapper errno
  int32_t result;
};

constexpr ErrnoRow kErrnoTable[] = {
    {PLATFORM_EWOULDBLOCK, 1},  {PLATFORM_EINPROGRESS, 1},   {PLATFORM_ETIMEDOUT, -2},
    {PLATFORM_EACCES, -6},      {PLATFORM_ECONNREFUSED, -6}, {PLATFORM_ECONNRESET, -3},
    {PLATFORM_EINTR, -3},       {PLATFORM_ENOTCONN, -3},     {PLATFORM_EPIPE, -3},
    {PLATFORM_ENETUNREACH, -3}, {PLATFORM_EHOSTUNREACH, -3}, {PLATFORM_ECONNABORTED, -3},
    {PLATFORM_EMFILE, -4},      {PLATFORM_ENFILE, -4},       {PLATFORM_ENOBUFS, -4},
    {PLATFORM_ENOMEM, -4},
};

int32_t FromNativeErrno(int native) {
  return TdevSocketResultFromErrno(platform_socket_errno(native));
}

// ---- Waiting on a socket and a stop descriptor --------------------------------

// Waits for events on fd, or for stopFd (when not -1) to become readable,
// within milliseconds (negative: 0). 1 fd ready, 0 nothing in time, kStopped,
// -1 failure with the native errno. A signal does not restart the limit.
int WaitEither(int fd, short events, int stopFd, int milliseconds) {
  if (stopFd < 0) {
    const int r = PollWait(fd, events, milliseconds);
    if (r < 0 && errno == 0) errno = EBADF;
    return r;
  }
  pollfd p[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
  const int n = PollWaitAny(p, 2, milliseconds);
  if (n < 0) return -1;
  if (p[1].revents != 0) return kStopped;
  if ((p[0].revents & POLLNVAL) != 0) {
    errno = EBADF;
    return -1;
  }
  return n > 0 ? 1 : 0;
}

// A pause that the stop descriptor cuts short: true when stopped.
bool PauseUnlessStopped(int stopFd, int milliseconds) {
  if (stopFd < 0) {
    platform_sleep_ms(static_cast<uint32_t>(milliseconds));
    return false;
  }
  return PollWait(stopFd, POLLIN, milliseconds) == 1;
}

int32_t Select(int fd, bool forWriting, int milliseconds, int stopFd) {
  const int r = WaitEither(fd, forWriting ? POLLOUT : POLLIN, stopFd, milliseconds);
  if (r == kStopped) return kStopped;
  if (r < 0) {
    const int32_t mapped = FromNativeErrno(errno);
    return mapped < 0 ? mapped : TDEV_SOCKET_OTHER;
  }
  if (r == 0) {
    const int32_t pending = tcp_socket_error(fd);
    return pending < 0 ? pending : TDEV_SOCKET_TIMEOUT;
  }
  return TDEV_SOCKET_OK;
}

int RemainingMs(uint64_t start, int32_t limit) {
  const uint64_t elapsed = platform_tick_ms() - start;
  return elapsed >= static_cast<uint64_t>(limit) ? 0 : limit - static_cast<int>(elapsed);
}

// ---- TLS over our own BIO --------------------------------------------------------
// The BIO writes with MSG_NOSIGNAL: a peer gone mid-write gives EPIPE, never a
// signal that would end a process which does not ignore SIGPIPE.

int SocketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int BioWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    const ssize_t n = ::send(SocketOf(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
    return -1;
  }
}

int BioRead(BIO* bio, char* data, int length) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    const ssize_t n = ::recv(SocketOf(bio), data, static_cast<size_t>(length), 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
    return -1;
  }
}

int BioPuts(BIO* bio, const char* text) {
  return BioWrite(bio, text, static_cast<int>(std::strlen(text)));
}

long BioCtrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

int BioDestroy(BIO* bio) { return bio != nullptr ? 1 : 0; }

const BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tdev socket");
    if (m != nullptr) {
      BIO_meth_set_write(m, BioWrite);
      BIO_meth_set_read(m, BioRead);
      BIO_meth_set_puts(m, BioPuts);
      BIO_meth_set_ctrl(m, BioCtrl);
      BIO_meth_set_create(m, BioCreate);
      BIO_meth_set_destroy(m, BioDestroy);
    }
    return m;
  }();
  return method;
}

int32_t HandshakeWithin(int fd, int32_t timeoutMs, int stopFd, SSL** outConnection,
                        SSL_CTX** outContext) {
  if (fd < 0 || outConnection == nullptr || outContext == nullptr) return TDEV_SOCKET_PARAM;
  *outConnection = nullptr;
  *outContext = nullptr;
  // Every connection gets its own context and no certificate check: the
  // service presents a self-signed certificate.
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL* connection = context != nullptr ? SSL_new(context) : nullptr;
  BIO* bio =
      connection != nullptr && SocketBioMethod() != nullptr ? BIO_new(SocketBioMethod()) : nullptr;
  if (bio == nullptr) {
    SSL_free(connection);
    SSL_CTX_free(context);
    ERR_clear_error();
    return TDEV_SOCKET_RESOURCES;
  }
  SSL_set_verify(connection, SSL_VERIFY_NONE, nullptr);
  SSL_set_mode(connection, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  SSL_set_bio(connection, bio, bio);
  SSL_set_connect_state(connection);

  const uint64_t start = platform_tick_ms();
  int32_t result = TDEV_SOCKET_OK;
  for (;;) {
    ERR_clear_error();
    const int r = SSL_connect(connection);
    if (r == 1) break;
    const int error = SSL_get_error(connection, r);
    short events = 0;
    if (error == SSL_ERROR_WANT_READ) {
      events = POLLIN;
    } else if (error == SSL_ERROR_WANT_WRITE) {
      events = POLLOUT;
    } else {
      result = TDEV_SOCKET_IO;
      break;
    }
    const int left = RemainingMs(start, timeoutMs);
    const int ready = left > 0 ? WaitEither(fd, events, stopFd, left) : 0;
    if (ready == 1) continue;
    result = ready == kStopped ? kStopped : ready == 0 ? TDEV_SOCKET_TIMEOUT : TDEV_SOCKET_IO;
    break;
  }
  ERR_clear_error();
  if (result != TDEV_SOCKET_OK) {
    SSL_free(connection);
    SSL_CTX_free(context);
    return result;
  }
  *outConnection = connection;
  *outContext = context;
  return TDEV_SOCKET_OK;
}

// ---- Connect ---------------------------------------------------------------------

int32_t ConnectNumeric(const char* address, int32_t port, int32_t timeoutMs, int stopFd,
                       int32_t* out) {
  if (out == nullptr) return TDEV_SOCKET_PARAM;
  *out = -1;
  if (address == nullptr) return TDEV_SOCKET_PARAM;
  char service[24];
  std::snprintf(service, sizeof service, "%ld", static_cast<long>(port));
  const AddressList answers =
      LookUpAddresses(address, service, AI_NUMERICHOST, AF_UNSPEC, SOCK_STREAM);
  if (!answers) {
    log_error_line("ERROR", kSource, 285);
    return TDEV_SOCKET_IO;
  }
  // The first answer whose family and protocol the system supports is the
  // only one ever connected to.
  const addrinfo* chosen = nullptr;
  OwnedFd socket;
  for (const addrinfo* a = answers.get(); a != nullptr; a = a->ai_next) {
    const int s = platform_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s >= 0) {
      chosen = a;
      socket.Reset(s);
      break;
    }
    if (errno == PLATFORM_EAFNOSUPPORT || errno == PLATFORM_EPROTONOSUPPORT) continue;
    log_error_line("ERROR", kSource, 307);
    const int32_t mapped = TdevSocketResultFromErrno(errno);
    return mapped == TDEV_SOCKET_RESOURCES ? mapped : TDEV_SOCKET_IO;
  }
  if (chosen == nullptr) {
    log_error_line("ERROR", kSource, 301);
    return TDEV_SOCKET_IO;
  }

  const uint64_t start = platform_tick_ms();
  for (;;) {
    if (!socket) {
      // A failed connect leaves a socket unusable: every attempt gets a fresh one.
      const int s = platform_socket(chosen->ai_family, chosen->ai_socktype, chosen->ai_protocol);
      if (s < 0) {
        const int32_t mapped = TdevSocketResultFromErrno(errno);
        return mapped < 0 ? mapped : TDEV_SOCKET_IO;
      }
      socket.Reset(s);
    }
    uint32_t on = 1;
    if (platform_ioctlsocket(socket.Get(), FIONBIO, &on) != 0) {
      const int32_t mapped = TdevSocketResultFromErrno(errno);
      return mapped < 0 ? mapped : TDEV_SOCKET_OTHER;
    }
    int32_t last = TDEV_SOCKET_OK;
    if (platform_connect(socket.Get(), chosen->ai_addr, chosen->ai_addrlen) == 0) {
      *out = socket.Release();
      return TDEV_SOCKET_OK;
    }
    // An interrupted connect goes on in the background, like one in progress.
    const bool pending = errno == PLATFORM_EINTR;
    last = pending ? TDEV_SOCKET_IN_PROGRESS : TdevSocketResultFromErrno(errno);
    if (last == TDEV_SOCKET_IN_PROGRESS) {
      last = Select(socket.Get(), true, RemainingMs(start, timeoutMs), stopFd);
      if (last == TDEV_SOCKET_OK) {
        last = tcp_socket_error(socket.Get());
        if (last == TDEV_SOCKET_OK) {
          *out = socket.Release();
          return TDEV_SOCKET_OK;
        }
      }
      if (last == kStopped) return kStopped;
      if (last > 0) last = TDEV_SOCKET_TIMEOUT;
    }
    socket.Reset();
    const int left = RemainingMs(start, timeoutMs);
    if (left <= 0) return last;
    if (PauseUnlessStopped(stopFd, left < kRetryPauseMs ? left : kRetryPauseMs)) return kStopped;
  }
}

void SetLinkOptions(int fd) {
  int on = 1;
  int idle = 30;
  unsigned int userTimeout = 15000;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

int32_t ConnectHost(const char* host, int32_t port, int32_t tls, int32_t timeoutMs, int stopFd,
                    TdevSocket_t** out) {
  if (host == nullptr || out == nullptr) return TDEV_SOCKET_PARAM;
  *out = nullptr;
  const size_t length = std::strlen(host);
  auto* record = static_cast<TdevSocket_t*>(std::malloc(sizeof(TdevSocket_t) + length + 1));
  if (record == nullptr) return TDEV_SOCKET_RESOURCES;
  record->host = reinterpret_cast<char*>(record + 1);
  std::memcpy(record->host, host, length + 1);
  record->port = port;
  record->socket = -1;
  record->tls_connection = nullptr;
  record->tls_context = nullptr;
  record->tls_failed = 0;
  record->tls_lock = PlatformMutex_t{nullptr, 0, 0};
  platform_mutex_init(&record->tls_lock);
  if (record->tls_lock.handle == nullptr) {
    std::free(record);
    return TDEV_SOCKET_RESOURCES;
  }

  int fromMac = 0;
  int update = 1;
  char* address = TiloIoDhcpResolve(host, &fromMac, &update);
  if (address == nullptr) {
    address = TiloIoDhcpLookup(host, &fromMac);
    update = 0;
  }
  if (address == nullptr) {
    platform_mutex_destroy(&record->tls_lock);
    std::free(record);
    return TDEV_SOCKET_IO;
  }
  const uint64_t start = platform_tick_ms();
  int32_t result = ConnectNumeric(address, port, timeoutMs, stopFd, &record->socket);
  if (result == TDEV_SOCKET_OK && tls == 1) {
    // The handshake has what is left of the connect time.
    const int left = RemainingMs(start, timeoutMs);
    result = left > 0 ? HandshakeWithin(record->socket, left, stopFd, &record->tls_connection,
                                        &record->tls_context)
                      : TDEV_SOCKET_TIMEOUT;
  }
  if (result != TDEV_SOCKET_OK) {
    if (record->socket >= 0) platform_closesocket(record->socket);
    platform_mutex_destroy(&record->tls_lock);
    std::free(record);
    std::free(address);
    return result;
  }
  SetLinkOptions(record->socket);
  if (update != 0) TiloIoDhcpUpdate(host, address, fromMac, 1);
  std::free(address);
  *out = record;
  return TDEV_SOCKET_OK;
}

// ---- Send and receive ---------------------------------------------------------------

// One connection as the send and receive loops see it. The record's fields
// are used when there is one (lock around each TLS call, the fatal-error mark).
struct Link {
  int fd;
  SSL* tls;
  TdevSocket_t* record;  // may be null
};

Link LinkOf(TdevSocket_t* record) { return Link{record->socket, record->tls_connection, record}; }

// Holds the record's TLS lock for one call into the TLS object.
class TlsCall {
 public:
  explicit TlsCall(const Link& link)
      : lock_(link.record != nullptr && link.tls != nullptr ? &link.record->tls_lock : nullptr) {
    if (lock_ != nullptr) platform_mutex_lock(lock_, -1);
  }
  ~TlsCall() {
    if (lock_ != nullptr) platform_mutex_unlock(lock_);
  }
  TlsCall(const TlsCall&) = delete;
  TlsCall& operator=(const TlsCall&) = delete;

 private:
  PlatformMutex_t* lock_;
};

// Called with the TLS lock held.
void MarkTlsFailed(const Link& link) {
  if (link.record != nullptr) link.record->tls_failed = 1;
}

int TlsPending(const Link& link) {
  if (link.tls == nullptr) return 0;
  TlsCall call(link);
  return SSL_pending(link.tls);
}

int32_t SendAll(const Link& link, const void* data, int32_t length, int32_t timeoutMs, int stopFd,
                int32_t* sent) {
  if (data == nullptr || sent == nullptr) {
    if (sent != nullptr) *sent = 0;
    return TDEV_SOCKET_PARAM;
  }
  *sent = 0;
  if (length < 0) return TDEV_SOCKET_PARAM;
  const auto* bytes = static_cast<const uint8_t*>(data);
  int32_t total = 0;
  bool wantRead = false;
  while (total < length) {
    const int32_t ready = Select(link.fd, !wantRead, timeoutMs, stopFd);
    if (ready != TDEV_SOCKET_OK) return ready;
    wantRead = false;
    int32_t n = 0;
    if (link.tls != nullptr) {
      TlsCall call(link);
      ERR_clear_error();
      const int r = SSL_write(link.tls, bytes + total, length - total);
      if (r <= 0) {
        const int error = SSL_get_error(link.tls, r);
        ERR_clear_error();
        if (error == SSL_ERROR_WANT_WRITE) continue;
        if (error == SSL_ERROR_WANT_READ) {
          wantRead = true;
          continue;
        }
        MarkTlsFailed(link);
        return TDEV_SOCKET_IO;
      }
      n = r;
    } else {
      const ssize_t r =
          ::send(link.fd, bytes + total, static_cast<size_t>(length - total), MSG_NOSIGNAL);
      if (r < 0) {
        if (errno == EINTR) continue;
        const int32_t mapped = FromNativeErrno(errno);
        if (mapped == TDEV_SOCKET_IN_PROGRESS) continue;
        return TDEV_SOCKET_IO;
      }
      n = static_cast<int32_t>(r);
    }
    log_write_dump(kTag, "TCP", log_handle(link.fd), static_cast<size_t>(n),
                   static_cast<size_t>(length - total), bytes + total, 0);
    total += n;
    *sent = total;
  }
  return TDEV_SOCKET_OK;
}

// One read of what is there: >0 bytes, 0 the peer closed, -1 nothing for now
// (would block), -2 failure.
int ReadOnce(const Link& link, uint8_t* into, int32_t room) {
  if (link.tls != nullptr) {
    TlsCall call(link);
    ERR_clear_error();
    const int r = SSL_read(link.tls, into, room);
    if (r > 0) return r;
    const int error = SSL_get_error(link.tls, r);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return -1;
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    MarkTlsFailed(link);
    return -2;
  }
  for (;;) {
    const ssize_t r = ::recv(link.fd, into, static_cast<size_t>(room), 0);
    if (r >= 0) return static_cast<int>(r);
    if (errno == EINTR) continue;
    return FromNativeErrno(errno) == TDEV_SOCKET_IN_PROGRESS ? -1 : -2;
  }
}

int32_t RecvSome(const Link& link, void* buffer, int32_t capacity, int32_t timeoutMs, int stopFd,
                 int32_t* received) {
  if (buffer == nullptr || received == nullptr || capacity <= 0) {
    if (received != nullptr) *received = 0;
    return TDEV_SOCKET_PARAM;
  }
  *received = 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  int32_t held = 0;
  bool first = true;
  while (held < capacity) {
    // Bytes already decrypted in the TLS object are not seen by the socket.
    if (TlsPending(link) <= 0) {
      const int32_t ready = Select(link.fd, false, first ? timeoutMs : 0, stopFd);
      if (ready != TDEV_SOCKET_OK) {
        if (first) return ready;
        break;
      }
    }
    first = false;
    const int n = ReadOnce(link, bytes + held, capacity - held);
    if (n == -1) break;
    if (n == 0 || n == -2) {
      // What was read in this call is handed over; the next call meets the end.
      if (held > 0) break;
      return TDEV_SOCKET_IO;
    }
    log_read_dump(kTag, "TCP", log_handle(link.fd), static_cast<size_t>(n), bytes + held, 0);
    held += n;
    *received = held;
  }
  return TDEV_SOCKET_OK;
}

// ---- Hooks ------------------------------------------------------------------------------

std::atomic<decltype(TdevChannelHooks::connectResult)> g_connectHook{nullptr};
std::atomic<decltype(TdevChannelHooks::linkLost)> g_lostHook{nullptr};
std::atomic<decltype(TdevChannelHooks::data)> g_dataHook{nullptr};

void Stop(TdevChannel_t* channel) {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(channel->stop.Get(), &one, sizeof one);
}

// The thread's share of the live count, taken by TdevChannelOpen before the
// start so the count never misses a thread that was started but has not run
// yet; given back when the thread ends, however it ends.
struct LiveCountRelease {
  LiveCountRelease() = default;
  LiveCountRelease(const LiveCountRelease&) = delete;
  LiveCountRelease& operator=(const LiveCountRelease&) = delete;
  ~LiveCountRelease() { TdevLiveThreads().fetch_sub(1); }
};

// Set on every channel's receive thread for its life.
thread_local bool onReceiveThread = false;

void* ChannelThread(void* argument) {
  const LiveCountRelease live;
  onReceiveThread = true;
  auto* channel = static_cast<TdevChannel_t*>(argument);
  channel->threadId.store(platform_thread_self_id());
  const int stopFd = channel->stop.Get();

  TdevSocket_t* socket = nullptr;
  int32_t result =
      ConnectHost(channel->host, channel->port, channel->tls, channel->timeout_ms, stopFd, &socket);
  // Stopped by its owner while connecting: reported as a failure, which the
  // owner no longer looks at.
  if (result == kStopped) result = TDEV_SOCKET_IO;
  if (result == TDEV_SOCKET_OK) {
    PlatformLockGuard guard(channel->lock);
    channel->socket = socket;
    channel->connected.store(1);
  }
  if (auto hook = g_connectHook.load()) hook(channel, channel->host, TdevChannelResult(result));
  if (result != TDEV_SOCKET_OK) return nullptr;

  const Link link = LinkOf(socket);
  uint8_t buffer[kTdevChannelReadMax + 1];
  while (channel->running.load()) {
    std::memset(buffer, 0, sizeof buffer);
    int32_t held = 0;
    const int32_t r =
        RecvSome(link, buffer, kTdevChannelReadMax, channel->timeout_ms, stopFd, &held);
    if (r == TDEV_SOCKET_TIMEOUT || r == kStopped) continue;
    if (r != TDEV_SOCKET_OK) {
      if (channel->running.load()) {
        if (auto hook = g_lostHook.load()) hook(channel, channel->host);
      }
      break;
    }
    // More may follow within a moment; a message that already ended (NUL)
    // goes on at once.
    while (held > 0 && held < kTdevChannelReadMax && buffer[held - 1] != 0) {
      int32_t more = 0;
      const int32_t d =
          RecvSome(link, buffer + held, kTdevChannelReadMax - held, kDrainWaitMs, stopFd, &more);
      if (d != TDEV_SOCKET_OK || more == 0) break;
      held += more;
    }
    if (held > 0) {
      if (auto hook = g_dataHook.load()) hook(channel, channel->host, buffer, held);
    }
  }

  // A send waiting on the socket gives up now rather than after its wait.
  Stop(channel);
  {
    PlatformLockGuard guard(channel->lock);
    channel->connected.store(0);
    socket = channel->socket;
    channel->socket = nullptr;
  }
  tcp_disconnect_host(socket);
  return nullptr;
}

void DestroyChannel(TdevChannel_t* channel) {
  if (channel->thread != nullptr) platform_thread_close(channel->thread);
  if (channel->lock.handle != nullptr) platform_mutex_destroy(&channel->lock);
  if (channel->joinLock.handle != nullptr) platform_mutex_destroy(&channel->joinLock);
  std::free(channel->host);
  delete channel;
}

}  // namespace

// ---- Socket layer ------------------------------------------------------------------------

int32_t TdevSocketResultFromErrno(int32_t wrapperErrno) {
  for (const ErrnoRow& row : kErrnoTable) {
    if (row.code == wrapperErrno) return row.result;
  }
  return TDEV_SOCKET_OTHER;
}

int32_t tcp_connect_host(const char* host, int32_t port, int32_t tls, int32_t timeoutMs,
                         TdevSocket_t** out) {
  return ConnectHost(host, port, tls, timeoutMs, -1, out);
}

int32_t tcp_disconnect_host(TdevSocket_t* socket) {
  if (socket == nullptr) return TDEV_SOCKET_PARAM;
  if (socket->tls_connection != nullptr || socket->tls_context != nullptr) {
    ssl_socket_finalize(socket->tls_connection, socket->tls_context,
                        socket->tls_failed == 0 ? 1 : 0);
  }
  if (socket->socket >= 0) {
    ::shutdown(socket->socket, SHUT_RDWR);
    platform_closesocket(socket->socket);
  }
  // The target's cache entry is no longer held by a connection.
  if (TiloIoDhcpLock() == 0) {
    int fromMac = 0;
    if (const char* cached = findCacheEntry(socket->host, &fromMac)) {
      const std::string address(cached);
      TiloIoDhcpUpdate(socket->host, address.c_str(), fromMac, 0);
    }
    if (TiloIoDhcpUnlock() != 0) log_error_line("ERROR", kCacheSource, 206);
  } else {
    log_error_line("ERROR", kCacheSource, 200);
  }
  platform_mutex_destroy(&socket->tls_lock);
  std::free(socket);
  return TDEV_SOCKET_OK;
}

int32_t tcp_socket_connect(const char* address, int32_t port, int32_t timeoutMs, int32_t* out) {
  return ConnectNumeric(address, port, timeoutMs, -1, out);
}

int32_t ssl_socket_connect(int32_t socket, int32_t timeoutMs, ssl_st** outConnection,
                           ssl_ctx_st** outContext) {
  return HandshakeWithin(socket, timeoutMs, -1, outConnection, outContext);
}

void ssl_socket_finalize(ssl_st* connection, ssl_ctx_st* context, int32_t sendCloseNotify) {
  if (connection != nullptr && sendCloseNotify != 0) {
    // close_notify is sent once; the peer's answer is not waited for, so a
    // silent peer never holds up the close.
    ERR_clear_error();
    errno = 0;
    const int r = SSL_shutdown(connection);
    if (r < 0) {
      const int error = SSL_get_error(connection, r);
      if (error == SSL_ERROR_SYSCALL && errno == EPIPE) {
        log_trace(kTag, LOG_TRACE_INFO, nullptr, 0, "ssl_socket_finalize", LOG_ARG_STRING,
                  "SSL connection disconnected.", LOG_ARG_END);
      } else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
        log_error_line("ERROR", kSource, 464);
      }
    }
  }
  SSL_free(connection);
  SSL_CTX_free(context);
  ERR_clear_error();
}

int32_t tcp_select(int32_t socket, int32_t forWriting, int32_t timeoutMs) {
  if (socket < 0) return TDEV_SOCKET_PARAM;
  return Select(socket, forWriting != 0, timeoutMs, -1);
}

int32_t tcp_wait_readable(int32_t socket, int32_t timeoutMs) {
  return tcp_select(socket, 0, timeoutMs);
}

int32_t tcp_socket_send(int32_t socket, const void* data, int32_t length, int32_t timeoutMs,
                        int32_t* sent) {
  return SendAll(Link{socket, nullptr, nullptr}, data, length, timeoutMs, -1, sent);
}

int32_t ssl_socket_send(ssl_st* connection, int32_t socket, const void* data, int32_t length,
                        int32_t timeoutMs, int32_t* sent) {
  if (connection == nullptr) {
    if (sent != nullptr) *sent = 0;
    return TDEV_SOCKET_PARAM;
  }
  return SendAll(Link{socket, connection, nullptr}, data, length, timeoutMs, -1, sent);
}

int32_t tcp_socket_recv(int32_t socket, void* buffer, int32_t capacity, int32_t timeoutMs,
                        int32_t* received) {
  return RecvSome(Link{socket, nullptr, nullptr}, buffer, capacity, timeoutMs, -1, received);
}

int32_t ssl_socket_recv(ssl_st* connection, int32_t socket, void* buffer, int32_t capacity,
                        int32_t timeoutMs, int32_t* received) {
  if (connection == nullptr) {
    if (received != nullptr) *received = 0;
    return TDEV_SOCKET_PARAM;
  }
  return RecvSome(Link{socket, connection, nullptr}, buffer, capacity, timeoutMs, -1, received);
}

int32_t TdevSocketSend(TdevSocket_t* socket, const void* data, int32_t length, int32_t timeoutMs,
                       int32_t* sent) {
  if (socket == nullptr) {
    if (sent != nullptr) *sent = 0;
    return TDEV_SOCKET_PARAM;
  }
  return SendAll(LinkOf(socket), data, length, timeoutMs, -1, sent);
}

int32_t TdevSocketRecv(TdevSocket_t* socket, void* buffer, int32_t capacity, int32_t timeoutMs,
                       int32_t* received) {
  if (socket == nullptr) {
    if (received != nullptr) *received = 0;
    return TDEV_SOCKET_PARAM;
  }
  return RecvSome(LinkOf(socket), buffer, capacity, timeoutMs, -1, received);
}

uint64_t tcp_tick_ms() { return platform_tick_ms(); }

int32_t tcp_socket_error(int32_t socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    const int32_t mapped = FromNativeErrno(errno);
    return mapped < 0 ? mapped : TDEV_SOCKET_OTHER;
  }
  return error == 0 ? TDEV_SOCKET_OK : FromNativeErrno(error);
}

// ---- Channel -------------------------------------------------------------------------------

void TdevChannelSetHooks(const TdevChannelHooks& hooks) {
  g_connectHook.store(hooks.connectResult);
  g_lostHook.store(hooks.linkLost);
  g_dataHook.store(hooks.data);
}

TdevChannelHooks TdevChannelGetHooks() {
  return TdevChannelHooks{g_connectHook.load(), g_lostHook.load(), g_dataHook.load()};
}

int32_t TdevChannelOpen(TdevChannel_t** out, const char* host, int32_t port, int32_t tls,
                        int32_t timeoutMs, void* context) {
  if (out != nullptr) *out = nullptr;
  // A wait of 0 would make the receive loop spin.
  if (out == nullptr || host == nullptr || port <= 0 || port > 65535 || timeoutMs <= 0) {
    return TDEV_CHANNEL_PARAM;
  }
  auto* channel = new (std::nothrow) TdevChannel_t;
  if (channel == nullptr) return TDEV_CHANNEL_RESOURCES;
  channel->host = strdup(host);
  channel->port = port;
  channel->timeout_ms = timeoutMs;
  channel->tls = tls == 1 ? 1 : 0;
  channel->context = context;
  platform_mutex_init(&channel->lock);
  platform_mutex_init(&channel->joinLock);
  channel->stop.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (channel->host == nullptr || channel->lock.handle == nullptr ||
      channel->joinLock.handle == nullptr) {
    DestroyChannel(channel);
    return TDEV_CHANNEL_RESOURCES;
  }
  if (!channel->stop) {
    const int32_t mapped = FromNativeErrno(errno);
    DestroyChannel(channel);
    return mapped == TDEV_SOCKET_RESOURCES ? TDEV_CHANNEL_RESOURCES : TDEV_CHANNEL_FAILED;
  }
  *out = channel;
  // Counted from before the start: the thread gives the count back when it ends.
  TdevLiveThreads().fetch_add(1);
  // The platform's thread start answers 11 for every failure, lack of resources among them.
  if (platform_thread_create(&channel->thread, ChannelThread, channel) != 0) {
    TdevLiveThreads().fetch_sub(1);
    *out = nullptr;
    channel->thread = nullptr;
    DestroyChannel(channel);
    return TDEV_CHANNEL_RESOURCES;
  }
  return TDEV_CHANNEL_OK;
}

int32_t TdevChannelSend(TdevChannel_t* channel, const void* data, int32_t length) {
  if (channel == nullptr || data == nullptr || length <= 0) return TDEV_CHANNEL_PARAM;
  if (length == INT32_MAX) return TDEV_CHANNEL_RESOURCES;
  // The message and its NUL leave in one write.
  std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[static_cast<size_t>(length) + 1]);
  if (!copy) return TDEV_CHANNEL_RESOURCES;
  std::memcpy(copy.get(), data, static_cast<size_t>(length));
  copy[static_cast<size_t>(length)] = 0;

  PlatformLockGuard guard(channel->lock);
  if (!guard) return TDEV_CHANNEL_FAILED;
  if (channel->connected.load() != 1 || channel->socket == nullptr) {
    return TDEV_CHANNEL_NOT_CONNECTED;
  }
  TdevSocket_t* socket = channel->socket;
  int32_t sent = 0;
  const int32_t r = SendAll(LinkOf(socket), copy.get(), length + 1, kTdevChannelSendWaitMs,
                            channel->stop.Get(), &sent);
  if (r == kStopped) return TDEV_CHANNEL_NOT_CONNECTED;
  return TdevChannelResult(r);
}

int32_t TdevChannelJoin(TdevChannel_t* channel) {
  if (channel == nullptr) return TDEV_CHANNEL_PARAM;
  if (TdevChannelOnReceiveThread(channel) == 1) return TDEV_CHANNEL_SELF_JOIN;
  channel->running.store(0);
  Stop(channel);
  PlatformLockGuard guard(channel->joinLock);
  platform_thread_join(channel->thread);
  return TDEV_CHANNEL_OK;
}

int32_t TdevChannelFree(TdevChannel_t* channel) {
  const int32_t joined = TdevChannelJoin(channel);
  if (joined != TDEV_CHANNEL_OK) return joined;
  DestroyChannel(channel);
  return TDEV_CHANNEL_OK;
}

const char* TdevChannelHost(const TdevChannel_t* channel) {
  return channel != nullptr ? channel->host : nullptr;
}

int32_t TdevChannelPort(const TdevChannel_t* channel) {
  return channel != nullptr ? channel->port : 0;
}

int32_t TdevChannelTls(const TdevChannel_t* channel) {
  return channel != nullptr ? channel->tls : 0;
}

void* TdevChannelContext(const TdevChannel_t* channel) {
  return channel != nullptr ? channel->context : nullptr;
}

int32_t TdevChannelIsConnected(TdevChannel_t* channel) {
  return channel != nullptr && channel->connected.load() == 1 ? 1 : 0;
}

int32_t TdevChannelOnReceiveThread(const TdevChannel_t* channel) {
  return channel != nullptr && channel->threadId.load() == platform_thread_self_id() ? 1 : 0;
}

bool TdevOnReceiveThread() { return onReceiveThread; }

}  // namespace tilo2::core
