#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "foundation/platform.h"
#include "foundation/poll_wait.h"
#include "io/address_cache.h"
#include "io/socket_open.h"
#include "io/tcp_record.h"
#include "io/tcp_transport.h"

namespace tilo2::core {

namespace {

// A read gathers what follows its first bytes within gaps this long.
constexpr int kBurstGapMs = 10;

// A connection lock tried without waiting: 0 held, 7 another thread holds
// it, 255 the lock is unusable.
int TryResult(const PlatformLockGuard& lock) {
  return lock.Owns()                       ? TILOIO_SUCCESS
         : lock.Result() == PLATFORM_EBUSY ? TILOIO_BUSY
                                           : TILOIO_FAILURE;
}

class Stopwatch {
 public:
  Stopwatch() : start_(platform_tick_ms()) {}
  bool Reached(int limitMs) const {
    return platform_tick_ms() - start_ >= static_cast<uint64_t>(limitMs);
  }
  // Milliseconds left of the limit, 0 once it passed.
  int Left(int limitMs) const {
    const uint64_t elapsed = platform_tick_ms() - start_;
    return elapsed >= static_cast<uint64_t>(limitMs) ? 0 : limitMs - static_cast<int>(elapsed);
  }

 private:
  uint64_t start_;
};

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

bool BadLimit(int timeoutMs) { return timeoutMs < 0 || timeoutMs > kTcpMaxTimeoutMs; }

// A socket error ends the link for good: the next use opens it again.
int LinkLost(TiloIoConnection_t* connection) {
  connection->linkLost = true;
  return TILOIO_IO_ERROR;
}

}  // namespace

int TcpShutDown(TiloIoConnection_t* connection) {
  if (!connection) return TILOIO_PARAMETER_ERROR;
  const PlatformLockGuard send = PlatformLockGuard::Try(connection->sendLock);
  if (TryResult(send) != TILOIO_SUCCESS) return TryResult(send);
  const PlatformLockGuard receive = PlatformLockGuard::Try(connection->receiveLock);
  if (TryResult(receive) != TILOIO_SUCCESS) return TryResult(receive);
  if (connection->type != TILOIO_TYPE_TCP) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_FAILURE;
  }
  if (connection->socket != -1) {
    ShutDownAndClose(connection->socket);
    connection->socket = -1;
  }
  // The target's cache row stays, marked free for another target to take over.
  if (TiloIoDhcpLock() == 0) {
    int fromMac = 0;
    if (char* cached = TiloIoDhcpLookup(connection->address, &fromMac)) {
      TiloIoDhcpUpdate(connection->address, cached, fromMac, 0);
      std::free(cached);
    }
    TiloIoDhcpUnlock();
  }
  return TILOIO_SUCCESS;
}

void TcpRelease(TiloIoConnection_t* connection) {
  platform_mutex_destroy(&connection->receiveLock);
  platform_mutex_destroy(&connection->sendLock);
  FreeTcpRecord(connection);
}

int TiloIoTcpClose(TiloIoConnection_t* connection) {
  const int rc = TcpShutDown(connection);
  if (rc == TILOIO_SUCCESS) TcpRelease(connection);
  return rc;
}

int TcpCheckLink(TiloIoConnection_t* connection) {
  if (!connection) return TILOIO_PARAMETER_ERROR;
  if (connection->linkLost) return TILOIO_IO_ERROR;
  const PlatformLockGuard lock = PlatformLockGuard::Try(connection->receiveLock);
  if (TryResult(lock) != TILOIO_SUCCESS) return TryResult(lock);
  if (connection->type != TILOIO_TYPE_TCP || connection->socket < 0) return TILOIO_ILLEGAL_STATE;
  // The peer's close shows even behind bytes not read yet; nothing is taken.
  short revents = 0;
  const int ready = PollWait(connection->socket, POLLRDHUP, 0, &revents);
  if (ready < 0 || (ready > 0 && (revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)) {
    return LinkLost(connection);
  }
  return TILOIO_SUCCESS;
}

int TcpReconnect(TdcBackendEnv_t* env, TiloIoConnection_t* connection, int timeoutMs) {
  if (!connection) return TILOIO_PARAMETER_ERROR;
  if (connection->type != TILOIO_TYPE_TCP) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_FAILURE;
  }
  {
    // The printer must see the old link end, or its owner check would wait
    // for this host to leave. The descriptor stays until the swap, so a use
    // meanwhile fails as on any dead link.
    const PlatformLockGuard send = PlatformLockGuard::Try(connection->sendLock);
    if (TryResult(send) != TILOIO_SUCCESS) return TryResult(send);
    const PlatformLockGuard receive = PlatformLockGuard::Try(connection->receiveLock);
    if (TryResult(receive) != TILOIO_SUCCESS) return TryResult(receive);
    // An aborted link is on its way to the close: it is not opened again.
    if (connection->socket < 0 || connection->aborted) return TILOIO_ILLEGAL_STATE;
    connection->linkLost = true;
    ::shutdown(connection->socket, SHUT_RDWR);
  }
  TdcBackendEnv_t virtualEnv{};
  virtualEnv.isVirtual = 1;
  TiloIoConnection_t* fresh = nullptr;
  const int opened = TiloIoTcpOpen(connection->virtualEnv ? &virtualEnv : env, &fresh,
                                   TILOIO_TYPE_TCP, connection->address, timeoutMs);
  if (opened != TILOIO_SUCCESS) return opened;
  const PlatformLockGuard send = PlatformLockGuard::Try(connection->sendLock);
  const PlatformLockGuard receive = PlatformLockGuard::Try(connection->receiveLock);
  int result = TryResult(send) != TILOIO_SUCCESS ? TryResult(send) : TryResult(receive);
  if (result == TILOIO_SUCCESS && (connection->socket < 0 || connection->aborted)) {
    result = TILOIO_ILLEGAL_STATE;
  }
  if (result == TILOIO_SUCCESS) {
    ShutDownAndClose(connection->socket);
    connection->socket = fresh->socket;
    fresh->socket = -1;
    connection->linkLost = false;
  } else {
    ShutDownAndClose(fresh->socket);
    fresh->socket = -1;
  }
  // The fresh record only carried the socket; the cache row is the link's own.
  TcpRelease(fresh);
  return result;
}

int TiloIoTcpWrite(TiloIoConnection_t* connection, const void* data, size_t length, int timeoutMs,
                   size_t* written) {
  if (!connection || !written) return TILOIO_PARAMETER_ERROR;
  const PlatformLockGuard lock = PlatformLockGuard::Try(connection->sendLock);
  if (TryResult(lock) != TILOIO_SUCCESS) return TryResult(lock);
  *written = 0;
  if (connection->type != TILOIO_TYPE_TCP) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_FAILURE;
  }
  // Closed while this call waited for its turn: as if it came after the close.
  if (connection->socket < 0) return TILOIO_ILLEGAL_STATE;
  if (length == 0) return TILOIO_SUCCESS;
  if (!data || BadLimit(timeoutMs)) return TILOIO_PARAMETER_ERROR;
  const Stopwatch clock;
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (;;) {
    // Waits for room as long as the limit allows: a send goes out the moment there is room.
    const int writable = PollWait(connection->socket, POLLOUT, clock.Left(timeoutMs));
    if (writable < 0) return LinkLost(connection);
    if (writable > 0) {
      const size_t piece = std::min(length - *written, kTcpSendPiece);
      const ssize_t n =
          ::send(connection->socket, bytes + *written, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && !WouldBlock(errno)) return LinkLost(connection);
      if (n > 0) {
        log_write_dump("IOCMN", "TCP", connection, static_cast<size_t>(n), length, bytes + *written,
                       0);
        *written += static_cast<size_t>(n);
        if (*written == length) return TILOIO_SUCCESS;
      }
    }
    if (clock.Reached(timeoutMs)) return TILOIO_TIMEOUT;
  }
}

int TiloIoTcpRead(TiloIoConnection_t* connection, void* buffer, int timeoutMs, size_t* count) {
  if (!connection || !count) return TILOIO_PARAMETER_ERROR;
  const PlatformLockGuard lock = PlatformLockGuard::Try(connection->receiveLock);
  if (TryResult(lock) != TILOIO_SUCCESS) return TryResult(lock);
  *count = 0;
  if (connection->type != TILOIO_TYPE_TCP) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_FAILURE;
  }
  if (connection->socket < 0) return TILOIO_ILLEGAL_STATE;
  if (!buffer || BadLimit(timeoutMs)) return TILOIO_PARAMETER_ERROR;
  auto* bytes = static_cast<uint8_t*>(buffer);
  const Stopwatch clock;
  bool closedSeen = false;
  ssize_t n;
  // The first bytes: taken the moment they arrive, up to the limit.
  for (;;) {
    n = ::recv(connection->socket, bytes, kReadSize, MSG_DONTWAIT);
    if (n < 0 && !WouldBlock(errno)) return LinkLost(connection);
    if (n > 0) break;
    // An aborted connection's reads end at once, not at their limit.
    if (n == 0 && connection->aborted) return TILOIO_IO_ERROR;
    if (n == 0 && !closedSeen) {
      // The peer is gone; the read still runs to its limit, as callers expect.
      log_trace("IOCMN", LOG_TRACE_INFO, connection, 0, "TiloIoTcpRead", LOG_ARG_STRING,
                "Peer closed.", LOG_ARG_END);
      closedSeen = true;
      connection->linkLost = true;
    }
    if (clock.Reached(timeoutMs)) return TILOIO_TIMEOUT;
    if (closedSeen) {
      // Nothing can follow the peer's close, and the socket would read as ready at once.
      platform_sleep_ms(static_cast<uint32_t>(clock.Left(timeoutMs)));
    } else if (PollWait(connection->socket, POLLIN, clock.Left(timeoutMs)) < 0) {
      return TILOIO_IO_ERROR;
    }
  }
  log_read_dump("IOCMN", "TCP", connection, static_cast<size_t>(n), bytes, 0);
  *count = static_cast<size_t>(n);
  // The rest of the burst: whatever follows within 10-ms gaps.
  while (*count < kReadSize) {
    const int readable = PollWait(connection->socket, POLLIN, kBurstGapMs);
    if (readable < 0) return TILOIO_IO_ERROR;
    if (readable == 0) break;
    n = ::recv(connection->socket, bytes + *count, kReadSize - *count, MSG_DONTWAIT);
    if (n < 0) return WouldBlock(errno) ? TILOIO_SUCCESS : LinkLost(connection);
    if (n == 0) {
      log_trace("IOCMN", LOG_TRACE_INFO, connection, 0, "TiloIoTcpRead", LOG_ARG_STRING,
                "Peer closed.", LOG_ARG_END);
      connection->linkLost = true;
      break;
    }
    log_read_dump("IOCMN", "TCP", connection, static_cast<size_t>(n), bytes + *count, 0);
    *count += static_cast<size_t>(n);
  }
  return TILOIO_SUCCESS;
}

}  // namespace tilo2::core
