#pragma once
// A looked-up address list that frees itself: the one address list of the core.

#include <netdb.h>

#include <memory>

namespace tilo2::core {

struct AddrinfoDeleter {
  void operator()(addrinfo* list) const {
    if (list != nullptr) freeaddrinfo(list);
  }
};
using AddressList = std::unique_ptr<addrinfo, AddrinfoDeleter>;

// Looks host and service up (platform_getaddrinfo) with the given flags,
// family and socket type; empty when the lookup fails or finds nothing.
AddressList LookUpAddresses(const char* host, const char* service, int flags, int family,
                            int socketType);

}  // namespace tilo2::core
