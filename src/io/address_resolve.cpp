#include <arpa/inet.h>
#include <netdb.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "foundation/address_list.h"
#include "foundation/logger.h"
#include "foundation/platform.h"
#include "io/address_cache.h"
#include "io/kdpx.h"

namespace tilo2::core {

namespace {

bool IsIpLiteral(const char* text) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, text, buffer) == 1 || inet_pton(AF_INET6, text, buffer) == 1;
}

// Exactly 17 characters of six hexadecimal numbers joined by colons; the low
// byte of each number is taken.
std::optional<std::array<uint8_t, 6>> ParseMac(const char* text) {
  if (std::strlen(text) != 17) return std::nullopt;
  std::array<uint8_t, 6> mac{};
  const char* p = text;
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && *p++ != ':') return std::nullopt;
    unsigned value = 0;
    int digits = 0;
    while (std::isxdigit(static_cast<unsigned char>(*p))) {
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(*p++)));
      value = ((value << 4) | static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10)) & 0xFFFF;
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    mac[i] = static_cast<uint8_t>(value);
  }
  if (*p != '\0') return std::nullopt;
  return mac;
}

// A name lookup of the target; the first result as text (empty for a family
// other than IPv4 and IPv6).
std::optional<std::string> LookUpHost(const char* target) {
  const AddressList addresses = LookUpAddresses(target, nullptr, AI_PASSIVE, AF_UNSPEC, SOCK_DGRAM);
  if (!addresses) return std::nullopt;
  const addrinfo* list = addresses.get();
  char text[kAddressTextSize] = {};
  if (list->ai_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr, text, sizeof text);
  } else if (list->ai_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(list->ai_addr)->sin6_addr, text,
              sizeof text);
  }
  return std::string(text);
}

}  // namespace

int resolveMacByBroadcast(char* address, const uint8_t mac[6]) {
  if (!address || !mac) return 0;
  address[0] = '\0';
  uint8_t payload[kKdpxBroadcastPayload] = {0x01};
  std::memcpy(payload + 1, mac, 6);
  uint8_t reply[23];
  size_t replyLength = sizeof reply;
  int result = 0;
  if (TiloIoKdpxBroadcast(payload, &result, reply, &replyLength) != 0 || replyLength <= 12 ||
      std::memcmp(reply + 1, mac, 6) != 0) {
    return 0;
  }
  std::snprintf(address, 46, "%d.%d.%d.%d", reply[9], reply[10], reply[11], reply[12]);
  return 1;
}

char* TiloIoDhcpResolve(const char* target, int* fromMac, int* updateCache) {
  if (!target || !fromMac || !updateCache) return nullptr;
  *fromMac = 0;
  *updateCache = 0;
  if (IsIpLiteral(target)) return strdup(target);

  // Only the cache is read under its lock. The lookup or the MAC broadcast
  // below may take seconds, and every control exchange and cache call of the
  // process would wait for them.
  if (TiloIoDhcpLock() != 0) return nullptr;
  int cachedFromMac = 0;
  const bool cachedHostName = findCacheEntry(target, &cachedFromMac) && cachedFromMac == 0;
  TiloIoDhcpUnlock();

  std::optional<std::string> text;
  if (cachedHostName) {
    // A host name may have moved: it is looked up again, never taken from the cache.
    text = LookUpHost(target);
    *updateCache = text ? 1 : 0;
  }
  if (!text) {
    if (const auto mac = ParseMac(target)) {
      // MAC targets are asked for on every resolution: DHCP may have moved the printer.
      char found[kAddressTextSize];
      if (resolveMacByBroadcast(found, mac->data()) == 1) {
        text = found;
        *fromMac = 1;
        *updateCache = 1;
      }
    } else {
      text = LookUpHost(target);
      *updateCache = text ? 1 : 0;
    }
  }
  if (!text) return nullptr;
  return strdup(text->c_str());
}

}  // namespace tilo2::core
