// Connection targets and the environment extract handed to each backend call.

#include "device/target.h"

#include <cstdlib>
#include <cstring>
#include <regex>

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
