#include "foundation/address_list.h"

#include "foundation/platform.h"

namespace tilo2::core {

AddressList LookUpAddresses(const char* host, const char* service, int flags, int family,
                            int socketType) {
  addrinfo hints{};
  hints.ai_flags = flags;
  hints.ai_family = family;
  hints.ai_socktype = socketType;
  addrinfo* list = nullptr;
  if (platform_getaddrinfo(host, service, &hints, &list) != 0) return AddressList();
  return AddressList(list);
}

}  // namespace tilo2::core
