#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "foundation/address_list.h"
#include "foundation/logger.h"
#include "foundation/platform.h"
#include "io/address_cache.h"
#include "io/kdpx.h"
#include "io/socket_open.h"
#include "io/tcp_record.h"
#include "io/tcp_transport.h"

namespace tilo2::core {

namespace {

constexpr uint32_t kOwnerPollMs = 500;
constexpr int kOwnerQueries = 5;
constexpr const char* kDataPort = "9100";

class OpenClock {
 public:
  explicit OpenClock(int limitMs) : start_(platform_tick_ms()), limit_(limitMs) {}
  int64_t Elapsed() const { return static_cast<int64_t>(platform_tick_ms() - start_); }
  bool Expired() const { return Elapsed() >= limit_; }
  int Remaining() const { return static_cast<int>(std::max<int64_t>(0, limit_ - Elapsed())); }
  // The tick at which the limit runs out, for the control-protocol exchanges.
  uint64_t Deadline() const { return start_ + static_cast<uint64_t>(std::max<int64_t>(limit_, 0)); }

 private:
  uint64_t start_;
  int64_t limit_;
};

// Waits until the printer reports no client on its data port: 0, 2 when the
// printer cannot be asked, 4 when another client keeps it past the limit.
int WaitForFreePort(const char* resolved, const OpenClock& clock) {
  // A printer that does not answer must not hold the open past its limit.
  const KdpxDeadlineScope bound(clock.Deadline());
  bool answered = false;
  for (;;) {
    int client = 0;
    if (TiloIoKdpxGetClientAddress(resolved, &client) != TILOIO_SUCCESS) {
      // A query cut short by the limit after the printer named another
      // client is the limit's; a printer that never answered cannot be asked.
      return answered && clock.Expired() ? TILOIO_TIMEOUT : TILOIO_CONNECT_ERROR;
    }
    answered = true;
    if (client == 0) return TILOIO_SUCCESS;
    if (clock.Expired()) return TILOIO_TIMEOUT;
    platform_sleep_ms(std::min<uint32_t>(kOwnerPollMs, static_cast<uint32_t>(clock.Remaining())));
  }
}

// Non-blocking connect to the first looked-up address that accepts, bounded
// by what is left of the open time. The socket, or -1.
int ConnectDataPort(const char* resolved, const OpenClock& clock) {
  const AddressList list =
      LookUpAddresses(resolved, kDataPort, AI_NUMERICHOST, AF_UNSPEC, SOCK_STREAM);
  if (!list) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return -1;
  }
  for (const addrinfo* a = list.get(); a; a = a->ai_next) {
    const int fd = platform_connect_bounded(a, clock.Remaining());
    if (fd >= 0) {
      // Every write goes out at once: a job's last small command after an
      // image must not wait for the printer's delayed acknowledgement.
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    if (errno != PLATFORM_EAFNOSUPPORT && errno != PLATFORM_EPROTONOSUPPORT) {
      log_error_line("ERROR", __FILE__, __LINE__);
    }
  }
  log_error_line("ERROR", __FILE__, __LINE__);
  return -1;
}

enum class Owner { Keep, Retry };

// After the connect: does the printer now report this host as its client?
// Keep or Retry, or a result code (2, 5) in *failure.
Owner ConfirmOwner(TdcBackendEnv_t* env, const char* resolved, const OpenClock& clock,
                   int* failure) {
  *failure = TILOIO_SUCCESS;
  const KdpxDeadlineScope bound(clock.Deadline());
  int count = 0;
  if (TiloIoGetLocalAddressCount(env, &count) != TILOIO_SUCCESS || count <= 0) return Owner::Keep;
  std::vector<int> local;
  try {
    local.assign(static_cast<size_t>(count), 0);
  } catch (const std::bad_alloc&) {
    *failure = TILOIO_OUT_OF_MEMORY;
    return Owner::Retry;
  }
  if (TiloIoGetLocalAddresses(env, local.data(), count) != TILOIO_SUCCESS) return Owner::Keep;
  int client = 0;
  for (int i = 0; i < kOwnerQueries; ++i) {
    if (TiloIoKdpxGetClientAddress(resolved, &client) != TILOIO_SUCCESS) {
      // The data port took us: a silence past the limit is the limit's.
      *failure = clock.Expired() ? TILOIO_TIMEOUT : TILOIO_CONNECT_ERROR;
      return Owner::Retry;
    }
    if (client != 0) break;
  }
  return std::find(local.begin(), local.end(), client) != local.end() ? Owner::Keep : Owner::Retry;
}

}  // namespace

int TiloIoTcpOpen(TdcBackendEnv_t* env, TiloIoConnection_t** out, int type, const char* target,
                  int timeoutMs) {
  if (type != TILOIO_TYPE_TCP || !target || !*target || !out) return TILOIO_PARAMETER_ERROR;
  *out = nullptr;
  int fromMac = 0;
  int updateCache = 0;
  std::unique_ptr<char, decltype(&std::free)> resolved(
      TiloIoDhcpResolve(target, &fromMac, &updateCache), std::free);
  if (!resolved) return TILOIO_CONNECT_ERROR;

  const OpenClock clock(timeoutMs);
  const bool ownerCheck = !(env && env->isVirtual);
  for (int round = 0;; ++round) {
    // Another host may win the port again and again: the open time bounds the retries.
    if (round > 0 && clock.Expired()) return TILOIO_TIMEOUT;
    if (ownerCheck) {
      const int rc = WaitForFreePort(resolved.get(), clock);
      if (rc != TILOIO_SUCCESS) return rc;
    }
    TiloIoConnection_t* connection = NewTcpRecord(target);
    if (!connection) {
      log_error_line("ERROR", __FILE__, __LINE__);
      return TILOIO_OUT_OF_MEMORY;
    }
    connection->socket = ConnectDataPort(resolved.get(), clock);
    if (connection->socket < 0) {
      FreeTcpRecord(connection);
      return TILOIO_CONNECT_ERROR;
    }
    if (ownerCheck) {
      int failure = TILOIO_SUCCESS;
      if (ConfirmOwner(env, resolved.get(), clock, &failure) == Owner::Retry) {
        ShutDownAndClose(connection->socket);
        FreeTcpRecord(connection);
        if (failure != TILOIO_SUCCESS) return failure;
        // Another host won the port: give it the owner wait's pause before
        // asking again, rather than connecting and dropping back to back.
        platform_sleep_ms(
            std::min<uint32_t>(kOwnerPollMs, static_cast<uint32_t>(clock.Remaining())));
        continue;
      }
    }
    platform_mutex_init(&connection->sendLock);
    platform_mutex_init(&connection->receiveLock);
    if (connection->sendLock.kind != PLATFORM_MUTEX_CREATED ||
        connection->receiveLock.kind != PLATFORM_MUTEX_CREATED) {
      ShutDownAndClose(connection->socket);
      platform_mutex_destroy(&connection->sendLock);
      platform_mutex_destroy(&connection->receiveLock);
      FreeTcpRecord(connection);
      log_error_line("ERROR", __FILE__, __LINE__);
      return TILOIO_FAILURE;
    }
    if (updateCache) TiloIoDhcpUpdate(target, resolved.get(), fromMac, 1);
    *out = connection;
    return TILOIO_SUCCESS;
  }
}

}  // namespace tilo2::core
