// TCP output of the logger: one short connection per line, sent whole or
// reported lost. Connect and send are bounded, so a listener that drops
// packets or stops reading costs a line a second or two.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/address_list.h"
#include "foundation/logger.h"
#include "foundation/owned_fd.h"
#include "foundation/platform.h"
#include "foundation/poll_wait.h"

namespace tilo2::core {

namespace {

// Past Linux's first SYN resend (1 s): a listener whose accept queue overflowed
// for a moment still takes the line.
constexpr int kConnectLimitMs = 1500;
// A listener that takes no byte for this long has stopped reading: the line is lost.
constexpr int kStallLimitMs = 1000;
// However slowly the listener reads, a line holds its caller at most this long.
constexpr int kSendLimitMs = 10000;

// Connects to the first looked-up address that takes the connection.
OwnedFd ConnectToAny(const AddressList& addresses) {
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    OwnedFd fd(platform_connect_bounded(a, kConnectLimitMs));
    if (fd) return fd;
  }
  return OwnedFd();
}

// Sends every byte on the non-blocking socket, waiting for room while the
// listener keeps reading; false on an error, a stall or the time running out.
bool SendAll(int fd, const char* data, size_t length) {
  const uint64_t start = platform_tick_ms();
  size_t done = 0;
  while (done < length) {
    const ssize_t sent = ::send(fd, data + done, length - done, MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent == 0 || platform_socket_errno(errno) != PLATFORM_EWOULDBLOCK) return false;
    const uint64_t elapsed = platform_tick_ms() - start;
    if (elapsed >= static_cast<uint64_t>(kSendLimitMs)) return false;
    const int wait = std::min(kStallLimitMs, kSendLimitMs - static_cast<int>(elapsed));
    short revents = 0;
    if (PollWait(fd, POLLOUT, wait, &revents) != 1 || (revents & (POLLERR | POLLHUP)) != 0 ||
        (revents & POLLOUT) == 0)
      return false;
  }
  return true;
}

}  // namespace

int log_send_tcp(const char* address, uint16_t port, const char* line) {
  if (address == nullptr || line == nullptr) return 255;
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  const AddressList addresses =
      LookUpAddresses(address, service, AI_NUMERICHOST | AI_NUMERICSERV, AF_UNSPEC, SOCK_STREAM);
  if (!addresses) return 255;
  const OwnedFd socket = ConnectToAny(addresses);
  if (!socket) return 255;
  if (!SendAll(socket.Get(), line, std::strlen(line))) return 255;
  ::shutdown(socket.Get(), SHUT_RDWR);
  return 0;
}

}  // namespace tilo2::core
