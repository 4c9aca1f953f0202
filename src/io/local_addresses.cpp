#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "foundation/platform.h"
#include "io/tcp_transport.h"

namespace {

// Runs the host name lookup and hands each entry to visit; false when the
// name or the lookup fails or yields nothing.
template <typename Visit>
bool forEachLocalEntry(Visit visit) {
  char name[1024] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (platform_getaddrinfo(name, nullptr, &hints, &list) != 0 || !list) {
    if (list) freeaddrinfo(list);
    return false;
  }
  for (const addrinfo* a = list; a; a = a->ai_next) visit(*a);
  freeaddrinfo(list);
  return true;
}

}  // namespace

int TiloIoGetLocalAddressCount(TdcBackendEnv_t* env, int* count) {
  if (!env || !count) return TILOIO_FAILURE;
  int n = 0;
  if (!forEachLocalEntry([&](const addrinfo&) { ++n; }) || n == 0) return TILOIO_FAILURE;
  *count = n;
  return TILOIO_SUCCESS;
}

int TiloIoGetLocalAddresses(TdcBackendEnv_t* env, int* addresses, int count) {
  if (!env || !addresses) return TILOIO_FAILURE;
  int i = 0;
  const bool ok = forEachLocalEntry([&](const addrinfo& a) {
    if (i < count && a.ai_family == AF_INET) {
      std::memcpy(&addresses[i], &reinterpret_cast<const sockaddr_in*>(a.ai_addr)->sin_addr, 4);
    }
    ++i;
  });
  return ok && i > 0 ? TILOIO_SUCCESS : TILOIO_FAILURE;
}
