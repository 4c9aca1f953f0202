// Connection targets and the environment extract handed to each backend call.

#include "device/target.h"

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <string_view>

#include "foundation/platform_regex.h"

namespace tilo2::core {

namespace {

// Searched in this order: "TCPS:" holds "TCP" as well, so it must win.
constexpr const char* kPrefixes[] = {"TCPS:", "TCP:", "BT:", "USB:"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A zero-filled heap copy of [begin, begin + length); null when out of memory.
char* CopyText(const char* begin, size_t length) {
  char* copy = static_cast<char*>(std::calloc(length + 1, 1));
  if (copy != nullptr && length > 0) std::memcpy(copy, begin, length);
  return copy;
}

// Built once and shared: searching a const regex from several threads is safe.
const std::regex* DeviceIdPattern() {
  static const std::regex* pattern = [] {
    std::regex* built = nullptr;
    return platform_name_regex_create(&built) == PLATFORM_OK ? built : nullptr;
  }();
  return pattern;
}

}  // namespace

const TdcCodeMap_t kTdcDirectPortMap[4] = {
    {TDC_PORT_TCP, kTdcNone, 0},
    {TDC_PORT_TCPS, kTdcNone, kTdcNone},  // TLS only reaches the device service
    {TDC_PORT_BLUETOOTH, kTdcNone, 1},
    {TDC_PORT_USB, kTdcNone, 2},
};

int TdcCheckDeviceId(const char* deviceId) {
  if (deviceId == nullptr) return 0;
  const std::regex* pattern = DeviceIdPattern();
  if (pattern == nullptr) return TDC_ERR_FAILURE;
  return std::regex_search(deviceId, *pattern) ? 1 : 0;
}

int TdcParseTarget(const char* target, TdcTarget_t** out) {
  if (target == nullptr || out == nullptr) return TDC_ERR_PARAM;

  const char* prefix = nullptr;
  for (const char* candidate : kPrefixes) {
    prefix = std::strstr(target, candidate);
    if (prefix != nullptr) break;
  }
  if (prefix == nullptr) return TDC_ERR_PARAM;

  // The type text ends at the prefix's own colon; a Bluetooth address may hold more.
  const char* colon = std::strchr(prefix, ':');
  const char* address = colon + 1;
  while (IsBlank(*address)) ++address;

  const char* open = std::strchr(address, '[');
  const char* close = nullptr;
  if (open != nullptr) {
    close = std::strchr(open + 1, ']');
    if (close == nullptr) return TDC_ERR_PARAM;
  }
  const char* addressEnd = open != nullptr ? open : address + std::strlen(address);

  auto* parsed = static_cast<TdcTarget_t*>(std::calloc(1, sizeof(TdcTarget_t)));
  if (parsed == nullptr) return TDC_ERR_MEMORY;
  parsed->portText = CopyText(prefix, static_cast<size_t>(colon - prefix));
  parsed->address = CopyText(address, static_cast<size_t>(addressEnd - address));
  if (open != nullptr) parsed->deviceId = CopyText(open + 1, static_cast<size_t>(close - open - 1));
  if (parsed->portText == nullptr || parsed->address == nullptr ||
      (open != nullptr && parsed->deviceId == nullptr)) {
    TdcFreeTarget(parsed);
    return TDC_ERR_MEMORY;
  }
  if (TdcCheckDeviceId(parsed->deviceId) != 0) {
    TdcFreeTarget(parsed);
    return TDC_ERR_PARAM;
  }
  *out = parsed;
  return TDC_SUCCESS;
}

namespace {

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool BluetoothAddress(std::string_view a) {
  if (a.size() != 17) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (i % 3 == 2 ? a[i] != ':' : !IsHex(a[i])) return false;
  }
  return true;
}

int RefuseTarget(std::string* reason, std::string_view target, std::string_view why) {
  if (reason != nullptr) {
    *reason = "target \"" + std::string(target) + "\" is not <kind>:<address>[<id>]: ";
    *reason += why;
  }
  return TDC_ERR_PARAM;
}

}  // namespace

int TdcCheckTargetForm(const char* target, std::string* reason) {
  if (target == nullptr) return RefuseTarget(reason, "", "it is missing");
  const std::string_view text(target);
  const std::string_view kinds[] = {"TCPS", "TCP", "BT", "USB"};
  const size_t colon = text.find(':');
  std::string_view kind =
      colon == std::string_view::npos ? std::string_view() : text.substr(0, colon);
  bool known = false;
  for (std::string_view k : kinds) known = known || kind == k;
  if (!known) return RefuseTarget(reason, text, "it must start with TCP:, TCPS:, BT: or USB:");
  std::string_view address = text.substr(colon + 1);
  while (!address.empty() && IsBlank(address.front())) address.remove_prefix(1);
  const size_t open = address.find('[');
  if (open != std::string_view::npos) {
    const size_t close = address.find(']', open);
    if (close == std::string_view::npos) return RefuseTarget(reason, text, "\"[\" without \"]\"");
    if (close + 1 != address.size()) {
      return RefuseTarget(reason, text, "nothing may follow the device id");
    }
    address = address.substr(0, open);
  } else if (address.find(']') != std::string_view::npos) {
    return RefuseTarget(reason, text, "\"]\" without \"[\"");
  }
  if (address.empty()) return RefuseTarget(reason, text, "the address is empty");
  if (kind == "TCP" || kind == "TCPS") {
    for (char c : address) {
      if (c == ':') {
        return RefuseTarget(reason, text, "a TCP address takes no port (the ports are fixed)");
      }
      if (!IsHostChar(c)) {
        return RefuseTarget(reason, text, "a TCP address is a host name or an IPv4 address");
      }
    }
  } else if (kind == "BT" && !BluetoothAddress(address)) {
    return RefuseTarget(reason, text, "a BT address is six hex pairs joined by \":\"");
  }
  return TDC_SUCCESS;
}

void TdcFreeTarget(TdcTarget_t* target) {
  if (target == nullptr) return;
  std::free(target->portText);
  std::free(target->address);
  std::free(target->deviceId);
  std::free(target);
}

int TdcGetPortType(const char* portText, int32_t* out) {
  if (portText == nullptr || out == nullptr) return TDC_ERR_PARAM;
  if (std::strstr(portText, "TCPS") != nullptr) {
    *out = TDC_PORT_TCPS;
  } else if (std::strstr(portText, "TCP") != nullptr) {
    *out = TDC_PORT_TCP;
  } else if (std::strstr(portText, "BT") != nullptr) {
    *out = TDC_PORT_BLUETOOTH;
  } else if (std::strstr(portText, "USB") != nullptr) {
    *out = TDC_PORT_USB;
  } else {
    return TDC_ERR_PARAM;
  }
  return TDC_SUCCESS;
}

void TdcCopyEnvData(int32_t portType, int32_t mode, const TdcEnvData_t* env,
                    TdcBackendEnv_t** out) {
  if (env == nullptr || out == nullptr) return;
  if (mode != TDC_MODE_DIRECT && mode != TDC_MODE_SERVICE) return;
  // Released by the caller with free() right after the backend call.
  auto* copy = static_cast<TdcBackendEnv_t*>(std::calloc(1, sizeof(TdcBackendEnv_t)));
  if (copy == nullptr) return;
  copy->context1 = env->context1;
  copy->context2 = env->context2;
  if (portType == TDC_PORT_BLUETOOTH) {
    copy->portContext = env->bluetoothContext;
  } else if (portType == TDC_PORT_USB) {
    copy->portContext = env->usbContext;
  }
  // Only the print engine's TCP transport reads the flag; the service form has no such field.
  if (mode == TDC_MODE_DIRECT) copy->isVirtual = env->isVirtual;
  *out = copy;
}

}  // namespace tilo2::core
