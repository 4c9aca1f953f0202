#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "foundation/platform.h"
#include "io/socket_open.h"
#include "io/tcp_transport.h"

namespace {

// Runs the host name lookup and hands each entry to visit; false when the
// name or the lookup fails or yields nothing.
template <typename Visit>
bool forEachLocalEntry(Visit visit) {
  char name[1024] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return false;
  const AddressList list = lookUpAddresses(name, nullptr, 0, SOCK_STREAM);
  if (!list) return false;
  for (const addrinfo* a = list.get(); a; a = a->ai_next) visit(*a);
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
