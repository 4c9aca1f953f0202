#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include "foundation/address_list.h"
#include "foundation/platform.h"
#include "io/tcp_transport.h"

namespace {

// Tests name the local host themselves, so the list never depends on how the
// machine resolves its own name (or asks a name server for it).
std::mutex g_hostNameMutex;
std::string g_hostNameOverride;

// Runs the host name lookup and hands each entry to visit; false when the
// name or the lookup fails or yields nothing.
template <typename Visit>
bool ForEachLocalEntry(Visit visit) {
  char name[1024] = {};
  {
    std::lock_guard lock(g_hostNameMutex);
    if (!g_hostNameOverride.empty()) {
      std::strncpy(name, g_hostNameOverride.c_str(), sizeof name - 1);
    } else if (::gethostname(name, sizeof name - 1) != 0) {
      return false;
    }
  }
  const AddressList list = LookUpAddresses(name, nullptr, 0, AF_UNSPEC, SOCK_STREAM);
  if (!list) return false;
  for (const addrinfo* a = list.get(); a; a = a->ai_next) visit(*a);
  return true;
}

}  // namespace

void TiloIoSetLocalHostName(const char* name) {
  std::lock_guard lock(g_hostNameMutex);
  g_hostNameOverride = name ? name : "";
}

int TiloIoGetLocalAddressCount(TdcBackendEnv_t* env, int* count) {
  if (!env || !count) return TILOIO_FAILURE;
  int n = 0;
  if (!ForEachLocalEntry([&](const addrinfo&) { ++n; }) || n == 0) return TILOIO_FAILURE;
  *count = n;
  return TILOIO_SUCCESS;
}

int TiloIoGetLocalAddresses(TdcBackendEnv_t* env, int* addresses, int count) {
  if (!env || !addresses) return TILOIO_FAILURE;
  int i = 0;
  const bool ok = ForEachLocalEntry([&](const addrinfo& a) {
    if (i < count && a.ai_family == AF_INET) {
      std::memcpy(&addresses[i], &reinterpret_cast<const sockaddr_in*>(a.ai_addr)->sin_addr, 4);
    }
    ++i;
  });
  return ok && i > 0 ? TILOIO_SUCCESS : TILOIO_FAILURE;
}
