// TCP output of the logger: one short connection per line. The connect is
// bounded so that a listener that drops packets costs a line at most a second.
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/address_list.h"
#include "foundation/logger.h"
#include "foundation/owned_fd.h"
#include "foundation/platform.h"
#include "foundation/poll_wait.h"

namespace {

constexpr int kConnectLimitMs = 1000;
constexpr int kWritableLimitMs = 10;

// Connects to the first looked-up address that takes the connection.
OwnedFd ConnectToAny(const AddressList& addresses) {
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    OwnedFd fd(platform_connect_bounded(a, kConnectLimitMs));
    if (fd) return fd;
  }
  return OwnedFd();
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
  short revents = 0;
  if (PollWait(socket.Get(), POLLOUT, kWritableLimitMs, &revents) != 1 ||
      (revents & (POLLERR | POLLHUP)) != 0 || (revents & POLLOUT) == 0)
    return 255;
  const size_t length = std::strlen(line);
  const ssize_t sent = ::send(socket.Get(), line, length, MSG_NOSIGNAL);
  if (sent < 0 && platform_socket_errno(errno) != PLATFORM_EWOULDBLOCK) return 255;
  ::shutdown(socket.Get(), SHUT_RDWR);
  return 0;
}
