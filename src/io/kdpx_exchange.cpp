#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "foundation/address_list.h"
#include "foundation/logger.h"
#include "foundation/owned_fd.h"
#include "foundation/platform.h"
#include "foundation/poll_wait.h"
#include "io/address_cache.h"
#include "io/io_types.h"
#include "io/kdpx.h"
#include "io/socket_open.h"
#include "io/test_hooks.h"

namespace tilo2::core {

namespace {

constexpr int kAttempts = 4;
constexpr int kWritableWaitMs = 2000;
constexpr uint64_t kAttemptSpanMs = 2000;
constexpr int kFirstWaitMs = 160;
constexpr int kSecondWaitMs = 1840;
constexpr size_t kUnicastReceive = 256;
constexpr size_t kBroadcastReceive = 512;
constexpr long kExecTimeoutTraceMs = 6000;
constexpr long kBroadcastTimeoutTraceMs = 2000;
constexpr const char* kPort = "3289";

// The broadcast destination; tests replace it with a loopback address.
std::mutex g_broadcastMutex;
char g_broadcastDestination[64] = "255.255.255.255";

// The bound of this thread's exchanges (KdpxDeadlineScope); 0 for none.
thread_local uint64_t exchangeDeadline = 0;

// Milliseconds left before this thread's bound, capped at `wanted`; wanted
// itself without a bound.
int BoundedWait(int wanted) {
  if (exchangeDeadline == 0) return wanted;
  const uint64_t now = platform_tick_ms();
  if (now >= exchangeDeadline) return 0;
  const uint64_t left = exchangeDeadline - now;
  return left < static_cast<uint64_t>(wanted) ? static_cast<int>(left) : wanted;
}

bool PastDeadline() { return exchangeDeadline != 0 && platform_tick_ms() >= exchangeDeadline; }

std::string BroadcastDestination() {
  std::lock_guard lock(g_broadcastMutex);
  return g_broadcastDestination;
}

// An exchange that ran long: the nominal attempt span and what it took.
void TraceTimeout(const char* function, int result, long elapsedMs) {
  log_trace("IOCMN", LOG_TRACE_INFO, nullptr, result, function, LOG_ARG_STRING, "KDPX timeout.",
            LOG_ARG_LONG, static_cast<int32_t>(kAttemptSpanMs), LOG_ARG_LONG,
            static_cast<int32_t>(elapsedMs), LOG_ARG_END);
}

uint32_t ReadBe32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// A connected datagram socket learns of an earlier datagram's rejection
// (ICMP unreachable) as the error of its next call. An unconnected socket
// never heard of it, and the exchange keeps its attempts as it did then.
bool EarlierRejection(int error) {
  return error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH;
}

// Sends the datagram: to the connected peer, or with connected false to to.
ssize_t SendDatagram(int fd, const std::vector<uint8_t>& datagram, const sockaddr* to,
                     socklen_t toLength, bool connected) {
  const auto once = [&] {
    return connected ? ::send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL)
                     : ::sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL, to, toLength);
  };
  const ssize_t sent = once();
  // The rejection was reported (and cleared) by this call: send again.
  return sent < 0 && connected && EarlierRejection(errno) ? once() : sent;
}

// The four attempts of one exchange: send, then wait for the datagram that
// isReply accepts, dropping everything else. 0 with the reply in accepted, 3
// on a socket error, 4 when no attempt got a reply.
template <typename IsReply>
int RunAttempts(int fd, const std::vector<uint8_t>& datagram, const sockaddr* to,
                socklen_t toLength, bool connected, size_t receiveSize, IsReply isReply,
                std::vector<uint8_t>& accepted) {
  std::vector<uint8_t> buffer(receiveSize);
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (PastDeadline()) return TILOIO_TIMEOUT;
    const int writable = PollWait(fd, POLLOUT, BoundedWait(kWritableWaitMs));
    if (writable < 0) {
      log_error_line("ERROR", __FILE__, __LINE__);
      return TILOIO_IO_ERROR;
    }
    if (writable == 0) continue;
    const ssize_t sent = SendDatagram(fd, datagram, to, toLength, connected);
    if (sent < 0) {
      log_error_line("ERROR", __FILE__, __LINE__);
      return TILOIO_IO_ERROR;
    }
    if (sent > 0)
      log_write_dump("IOCMN", "UDP", to, static_cast<size_t>(sent), datagram.size(),
                     datagram.data(), 0);
    if (static_cast<size_t>(sent) < datagram.size()) continue;
    const uint64_t sendTime = platform_tick_ms();
    for (;;) {
      const uint64_t elapsed = platform_tick_ms() - sendTime;
      if (elapsed >= kAttemptSpanMs) break;
      int waitMs;
      if (attempt == 1) {
        waitMs = kFirstWaitMs;
      } else if (attempt == 2) {
        waitMs = elapsed >= static_cast<uint64_t>(kSecondWaitMs)
                     ? 0
                     : kSecondWaitMs - static_cast<int>(elapsed);
      } else {
        waitMs = static_cast<int>(kAttemptSpanMs - elapsed);
      }
      const int readable = PollWait(fd, POLLIN, BoundedWait(waitMs));
      if (readable < 0) return TILOIO_IO_ERROR;
      if (readable == 0) {
        if (PastDeadline()) return TILOIO_TIMEOUT;
        break;
      }
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        if (connected && EarlierRejection(errno)) continue;
        return TILOIO_IO_ERROR;
      }
      log_read_dump("IOCMN", "UDP", to, static_cast<size_t>(n), buffer.data(), 0);
      const std::span<const uint8_t> got(buffer.data(), static_cast<size_t>(n));
      if (isReply(got)) {
        accepted.assign(got.begin(), got.end());
        return TILOIO_SUCCESS;
      }
    }
  }
  return TILOIO_TIMEOUT;
}

// The socket of one exchange: a unicast socket is non-blocking and connected
// to the printer, so the kernel drops datagrams from any other source; a
// broadcast socket may broadcast. Invalid, with the result in *rc, when it
// cannot be had.
OwnedFd OpenExchangeSocket(const addrinfo* addresses, bool broadcast, const addrinfo** used,
                           int* rc) {
  bool noIpv4 = false;
  OwnedFd socket(OpenFirstSocket(addresses, used, broadcast, &noIpv4));
  if (!socket) {
    *rc = noIpv4 ? TILOIO_FAILURE : TILOIO_CONNECT_ERROR;
    return socket;
  }
  bool ready;
  if (broadcast) {
    const int one = 1;
    ready = ::setsockopt(socket.Get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0;
  } else {
    uint32_t nonBlocking = 1;
    ready = platform_ioctlsocket(socket.Get(), FIONBIO, &nonBlocking) == 0 &&
            ::connect(socket.Get(), (*used)->ai_addr, (*used)->ai_addrlen) == 0;
  }
  if (!ready) {
    log_error_line("ERROR", __FILE__, __LINE__);
    *rc = TILOIO_CONNECT_ERROR;
    socket.Reset();
  }
  return socket;
}

// One exchange with its own socket: lookup of the destination, the socket,
// the attempts, and the reply into the caller's memory. Nothing of a failed
// exchange is handed out.
template <typename IsReply>
int Exchange(const std::string& destination, bool broadcast, const std::vector<uint8_t>& datagram,
             IsReply isReply, int* result, void* reply, size_t* replyLength) {
  int rc = TILOIO_SUCCESS;
  const AddressList addresses =
      LookUpAddresses(destination.c_str(), kPort, AI_NUMERICHOST, AF_UNSPEC, SOCK_DGRAM);
  const addrinfo* used = nullptr;
  if (!addresses) {
    log_error_line("ERROR", __FILE__, __LINE__);
    rc = TILOIO_CONNECT_ERROR;
  } else if (const OwnedFd socket = OpenExchangeSocket(addresses.get(), broadcast, &used, &rc);
             socket) {
    std::vector<uint8_t> accepted;
    rc = RunAttempts(socket.Get(), datagram, used->ai_addr, used->ai_addrlen, !broadcast,
                     broadcast ? kBroadcastReceive : kUnicastReceive, isReply, accepted);
    if (rc == TILOIO_SUCCESS)
      kdpxTakeReply(accepted.data(), accepted.size(), result, reply, replyLength);
  }
  if (rc != TILOIO_SUCCESS && replyLength) *replyLength = 0;
  return rc;
}

}  // namespace

bool kdpxIsReply(const uint8_t* request, size_t requestLength, const uint8_t* got, size_t gotLength,
                 bool matchMac) {
  if (requestLength < kKdpxHeaderSize || gotLength < kKdpxHeaderSize) return false;
  if (std::memcmp(got, request, 5) != 0 || got[5] != static_cast<uint8_t>(request[5] + 0x20) ||
      ReadBe32(got + 6) != ReadBe32(request + 6)) {
    return false;
  }
  return !matchMac ||
         (requestLength >= 21 && gotLength >= 21 && std::memcmp(got + 15, request + 15, 6) == 0);
}

void kdpxTakeReply(const uint8_t* got, size_t gotLength, int* result, void* buffer,
                   size_t* replyLength) {
  if (gotLength < kKdpxHeaderSize) return;
  if (result) *result = (got[10] << 8) | got[11];
  if (replyLength && *replyLength != 0) {
    const size_t n = std::min(*replyLength, gotLength - kKdpxHeaderSize);
    if (n > 0) std::memcpy(buffer, got + kKdpxHeaderSize, n);
    *replyLength = n;
  }
}

void kdpxBuildDatagram(uint8_t* out, char type, uint32_t command, const void* payload,
                       size_t payloadLength) {
  std::memcpy(out, "ORVIK", 5);
  out[5] = static_cast<uint8_t>(type);
  out[6] = static_cast<uint8_t>(command >> 24);
  out[7] = static_cast<uint8_t>(command >> 16);
  out[8] = static_cast<uint8_t>(command >> 8);
  out[9] = static_cast<uint8_t>(command);
  out[10] = 0;
  out[11] = 0;
  out[12] = static_cast<uint8_t>(payloadLength >> 8);
  out[13] = static_cast<uint8_t>(payloadLength);
  if (payloadLength > 0) std::memcpy(out + kKdpxHeaderSize, payload, payloadLength);
}

KdpxDeadlineScope::KdpxDeadlineScope(uint64_t deadline) : saved_(exchangeDeadline) {
  if (deadline != 0 && (saved_ == 0 || deadline < saved_)) exchangeDeadline = deadline;
}

KdpxDeadlineScope::~KdpxDeadlineScope() { exchangeDeadline = saved_; }

void TiloIoKdpxSetBroadcastDestination(const char* address) {
  std::lock_guard lock(g_broadcastMutex);
  const char* text = address ? address : "255.255.255.255";
  std::strncpy(g_broadcastDestination, text, sizeof g_broadcastDestination - 1);
  g_broadcastDestination[sizeof g_broadcastDestination - 1] = '\0';
}

int TiloIoKdpxExec(const char* target, char type, uint32_t command, const void* payload,
                   size_t payloadLength, int* result, void* reply, size_t* replyLength) {
  if (!target || (payloadLength > 0 && !payload) || (replyLength && !reply))
    return TILOIO_PARAMETER_ERROR;
  // The length field has 16 bits; a longer payload could not be described.
  if (payloadLength > 0xFFFF) return TILOIO_PARAMETER_ERROR;
  const uint64_t start = platform_tick_ms();

  char* cached = TiloIoDhcpLookup(target, nullptr);
  const std::string destination = cached ? cached : target;
  std::free(cached);

  int rc;
  try {
    std::vector<uint8_t> datagram(kKdpxHeaderSize + payloadLength);
    kdpxBuildDatagram(datagram.data(), type, command, payload, payloadLength);
    rc = Exchange(
        destination, false, datagram,
        [&](std::span<const uint8_t> got) {
          return kdpxIsReply(datagram.data(), datagram.size(), got.data(), got.size(), false);
        },
        result, reply, replyLength);
  } catch (const std::bad_alloc&) {
    log_error_line("ERROR", __FILE__, __LINE__);
    rc = TILOIO_OUT_OF_MEMORY;
  }
  const long elapsed = static_cast<long>(platform_tick_ms() - start);
  if (elapsed > kExecTimeoutTraceMs) TraceTimeout("TiloIoKdpxExec", rc, elapsed);
  return rc;
}

int TiloIoKdpxBroadcast(const uint8_t* payload, int* result, void* reply, size_t* replyLength) {
  if (!payload || (replyLength && *replyLength != 0 && !reply)) return TILOIO_PARAMETER_ERROR;
  const uint64_t start = platform_tick_ms();

  int rc;
  try {
    std::vector<uint8_t> datagram(kKdpxHeaderSize + kKdpxBroadcastPayload);
    kdpxBuildDatagram(datagram.data(), kKdpxMacQuery, KDPX_MAC_QUERY, payload,
                      kKdpxBroadcastPayload);
    // Every printer on the segment may answer; only the one that repeats the MAC counts.
    rc = Exchange(
        BroadcastDestination(), true, datagram,
        [&](std::span<const uint8_t> got) {
          return kdpxIsReply(datagram.data(), datagram.size(), got.data(), got.size(), true);
        },
        result, reply, replyLength);
  } catch (const std::bad_alloc&) {
    log_error_line("ERROR", __FILE__, __LINE__);
    rc = TILOIO_OUT_OF_MEMORY;
  }
  const long elapsed = static_cast<long>(platform_tick_ms() - start);
  if (elapsed > kBroadcastTimeoutTraceMs) TraceTimeout("TiloIoKdpxBroadcast", rc, elapsed);
  return rc;
}

}  // namespace tilo2::core
