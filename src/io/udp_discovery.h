#pragma once
// The UDP finder: finds network printers by the two discovery queries sent to
// a broadcast address on port 3289, repeated every 10 s, and keeps one row per
// replying IPv4 address. Start, poll and stop run under the discovery engine's
// lock, so they never overlap; the receive thread and a poll share a mutex.

#include "io/finder_bridge.h"

namespace tilo2::core {

// Results are TiloIoResult codes: 0, 1 (null, 32 characters or more, nothing
// IPv4 resolves), 5, 6 (running already), 255.
// int TiloIoUdpStartDiscovery(const void* logHandle, const char* broadcastAddress);
// TiloIoDeviceArrays_t* TiloIoUdpGetDeviceList(int* count, int* result);
// (declared in finder_bridge.h)

// Stops the receive thread and frees the table and the last poll's arrays:
// 0, or 6 when not running.
int TiloIoUdpStopDiscovery();

}  // namespace tilo2::core
