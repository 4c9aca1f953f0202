#pragma once
// The discovery engine: the polling thread feeds the found list from the
// connection layer's finders, the notify thread filters what is new and hands
// it to the runtime's callback, and for every plain network printer a short
// query thread asks its device service for the devices it hosts.

#include <cstdint>

#include "device/device_types.h"

namespace tilo2::core {

// A found device, owned by the engine; the callback reads it and keeps nothing.
struct FoundDevice_t {
  int32_t
      deviceType;  // 1 printer, 2 hybrid, 3 display, 4 keyboard, 5 scanner, 6 serial, -1 unknown
  char* target;
  char* name;
  char* ip;         // null when the finder reported none
  char* mac;        // null when the finder reported none
  char* bdAddress;  // the Bluetooth address of a Bluetooth find, else ""
};

// Built zero-filled by the runtime's Discovery.
struct DiscoveryFilter_t {
  int32_t portType;     // 0 all, 1 network, 3 Bluetooth, 4 USB
  char* broadcast;      // UTF-8; at most 31 characters are used
  int32_t deviceModel;  // the engine's connectionFilter: 0 all, 1 no device id, 2 with one
  int32_t nameFilter;   // 0 Bluetooth and USB finds filtered by name, 1 not
  int32_t deviceType;   // 0 all, else one FoundDevice_t device type
};

using TdcDiscoveryCallback = void (*)(int32_t reserved, FoundDevice_t* device);

// Results are TdcResult codes.
int TdcStartDiscovery(TdcEnvData_t* env, const DiscoveryFilter_t* filter);
int TdcStopDiscovery();
int TdcStartDiscoveryNotify(TdcDiscoveryCallback callback, const DiscoveryFilter_t* filter);
int TdcStopDiscoveryNotify();
int TdcStartDiscoveryPolling();
int TdcStopDiscoveryPolling();

}  // namespace tilo2::core
