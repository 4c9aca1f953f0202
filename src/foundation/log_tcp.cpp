// TCP output of the logger: one short connection per line. The connect is
// bounded so that a listener that drops packets costs a line at most a second.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "foundation/logger.h"
#include "foundation/platform.h"

namespace {

constexpr int kConnectLimitMs = 1000;
constexpr int kWritableLimitMs = 10;

struct AddrList {
  addrinfo* list = nullptr;
  ~AddrList() {
    if (list != nullptr) freeaddrinfo(list);
  }
};

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) platform_closesocket(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Waits up to the limit for the socket to become writable; false on error or timeout.
bool wait_writable(int fd, int milliseconds) {
  pollfd p{fd, POLLOUT, 0};
  int rc;
  do rc = ::poll(&p, 1, milliseconds);
  while (rc < 0 && errno == EINTR);
  return rc == 1 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0 && (p.revents & POLLOUT) != 0;
}

}  // namespace

int log_send_tcp(const char* address, uint16_t port, const char* line) {
  if (address == nullptr || line == nullptr) return 255;
  char service[8];
  std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  AddrList addrs;
  if (platform_getaddrinfo(address, service, &hints, &addrs.list) != 0 || addrs.list == nullptr) {
    return 255;
  }
  // A failed connect moves on to the next address.
  int fd = -1;
  for (const addrinfo* a = addrs.list; a != nullptr && fd < 0; a = a->ai_next) {
    fd = platform_connect_bounded(a, kConnectLimitMs);
  }
  if (fd < 0) return 255;
  Socket s(fd);
  if (!wait_writable(s.fd(), kWritableLimitMs)) return 255;
  const size_t length = std::strlen(line);
  const ssize_t sent = ::send(s.fd(), line, length, MSG_NOSIGNAL);
  if (sent < 0 && platform_socket_errno(errno) != PLATFORM_EWOULDBLOCK) return 255;
  ::shutdown(s.fd(), SHUT_RDWR);
  return 0;
}
