#include "io/socket_open.h"

#include <sys/socket.h>

#include <cerrno>

#include "foundation/logger.h"
#include "foundation/platform.h"

namespace tilo2::core {

int OpenFirstSocket(const addrinfo* list, const addrinfo** used, bool ipv4Only, bool* noIpv4) {
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

void ShutDownAndClose(int socket) {
  if (socket < 0) return;
  ::shutdown(socket, SHUT_RDWR);
  platform_closesocket(socket);
}

}  // namespace tilo2::core
