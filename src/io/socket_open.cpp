#include "io/socket_open.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "foundation/platform.h"
#include "foundation/logger.h"

int openFirstSocket(const addrinfo* list, const addrinfo** used, bool ipv4Only, bool* noIpv4) {
  if (noIpv4) *noIpv4 = false;
  bool madeOther = false;
  for (const addrinfo* a = list; a; a = a->ai_next) {
    if (ipv4Only && a->ai_family != AF_INET) {
      madeOther = true;
      continue;
    }
    const int fd = platform_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd >= 0) {
      if (used) *used = a;
      return fd;
    }
    if (errno != PLATFORM_EAFNOSUPPORT && errno != PLATFORM_EPROTONOSUPPORT) {
      log_error_line("ERROR", __FILE__, __LINE__);
      return -1;
    }
  }
  if (noIpv4) *noIpv4 = madeOther;
  log_error_line("ERROR", __FILE__, __LINE__);
  return -1;
}

AddressList lookUpAddresses(const char* host, const char* service, int flags, int socketType) {
  addrinfo hints{};
  hints.ai_flags = flags;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = socketType;
  addrinfo* list = nullptr;
  if (platform_getaddrinfo(host, service, &hints, &list) != 0 || !list) {
    if (list) freeaddrinfo(list);
    return {nullptr, freeaddrinfo};
  }
  return {list, freeaddrinfo};
}

void shutdownAndClose(int socket) {
  if (socket < 0) return;
  ::shutdown(socket, SHUT_RDWR);
  platform_closesocket(socket);
}

int waitForSocket(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, ms < 0 ? 0 : ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (p.revents & POLLNVAL)) return -1;
    return n > 0 ? 1 : 0;
  }
}
