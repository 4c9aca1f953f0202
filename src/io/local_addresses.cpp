#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "foundation/address_list.h"
#include "foundation/platform.h"
#include "io/tcp_transport.h"
#include "io/test_hooks.h"

namespace tilo2::core {

namespace {

// Tests name the local host themselves, so the list never depends on how the
// machine resolves its own name (or asks a name server for it).
std::mutex g_hostNameMutex;
std::string g_hostNameOverride;

// The host name's lookup entries in their order: IPv4 in network byte order,
// 0 for any other family. Empty when the name or the lookup fails.
void AddHostNameEntries(std::vector<int>& list) {
  char name[1024] = {};
  {
    std::lock_guard lock(g_hostNameMutex);
    if (!g_hostNameOverride.empty()) {
      std::strncpy(name, g_hostNameOverride.c_str(), sizeof name - 1);
    } else if (::gethostname(name, sizeof name - 1) != 0) {
      return;
    }
  }
  const AddressList entries = LookUpAddresses(name, nullptr, 0, AF_UNSPEC, SOCK_STREAM);
  for (const addrinfo* a = entries.get(); a; a = a->ai_next) {
    int value = 0;
    if (a->ai_family == AF_INET)
      std::memcpy(&value, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, 4);
    list.push_back(value);
  }
}

// Every IPv4 address of an interface that is up and not in the list yet. The
// host name alone often maps to a loopback alias (127.0.1.1) while the
// printer sees the host's LAN address.
void AddInterfaceAddresses(std::vector<int>& list) {
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return;
  for (const ifaddrs* i = interfaces; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    int value = 0;
    std::memcpy(&value, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, 4);
    if (std::find(list.begin(), list.end(), value) == list.end()) list.push_back(value);
  }
  ::freeifaddrs(interfaces);
}

// The local address list; empty when neither source yields an address.
std::vector<int> LocalAddressList() {
  std::vector<int> list;
  try {
    AddHostNameEntries(list);
    AddInterfaceAddresses(list);
  } catch (const std::bad_alloc&) {
    list.clear();
  }
  return list;
}

}  // namespace

void TiloIoSetLocalHostName(const char* name) {
  std::lock_guard lock(g_hostNameMutex);
  g_hostNameOverride = name ? name : "";
}

int TiloIoGetLocalAddressCount(TdcBackendEnv_t* env, int* count) {
  if (!env || !count) return TILOIO_FAILURE;
  const std::vector<int> list = LocalAddressList();
  if (list.empty()) return TILOIO_FAILURE;
  *count = static_cast<int>(list.size());
  return TILOIO_SUCCESS;
}

int TiloIoGetLocalAddresses(TdcBackendEnv_t* env, int* addresses, int count) {
  if (!env || !addresses) return TILOIO_FAILURE;
  const std::vector<int> list = LocalAddressList();
  if (list.empty()) return TILOIO_FAILURE;
  std::copy_n(list.begin(),
              std::min<size_t>(list.size(), count < 0 ? 0 : static_cast<size_t>(count)), addresses);
  return TILOIO_SUCCESS;
}

}  // namespace tilo2::core
