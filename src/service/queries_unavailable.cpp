// Stand-in for the device-service queries until the HTTP client exists: the
// device list answers at once with nothing, so discovery keeps plain targets,
// and the blocking queries fail.

#include "service/device_service.h"

namespace tilo2::core {

int TdevGetDeviceList(const char* host, const char* name, const char* mac) {
  if (!host) return 1;
  onDeviceListResult(host, name, mac, nullptr, 0);
  return 0;
}

int TdevGetSystemVersion(const char*, uint8_t*) { return 255; }

int TdevGetSystemPortList(const char*, int32_t*) { return 255; }

}  // namespace tilo2::core
