#pragma once
// The three JSON queries about a printer's device service: its device list
// (for discovery), its system version (the units of a hybrid printer) and its
// port list. Each is one plain HTTP request with a 3000 ms limit, an empty
// device id and an empty body. The entry points are declared in
// device_service.h; this header holds what tests reach.

#include <cstdint>

#include "service/device_service.h"

namespace tilo2::core {

inline constexpr int32_t kTdevQueryTimeoutMs = 3000;

// Where device lists go: onDeviceListResult unless a test installed its own
// receiver (null restores it).
using TdevDeviceListSink = void (*)(const char* host, const char* name, const char* mac,
                                    TdevDeviceListEntry_t* entries, int32_t count);
void TdevSetDeviceListSink(TdevDeviceListSink sink);

}  // namespace tilo2::core
