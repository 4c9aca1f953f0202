#pragma once
// The finders that a discovery starts and polls: the UDP finder
// (udp_discovery.cpp; its start refuses a missing broadcast address) and the
// Bluetooth and USB finders (finder_bridge.cpp).
// No exception leaves any of these. A list's arrays and rows stay owned by
// the finder until its next poll or its stop.

#include "io/io_types.h"

namespace tilo2::core {

int TiloIoUdpStartDiscovery(const void* logHandle, const char* broadcastAddress);
TiloIoDeviceArrays_t* TiloIoUdpGetDeviceList(int* count, int* result);
int TiloIoBtStartFinder();
int TiloIoUsbStartFinder();
TiloIoDeviceArrays_t* TiloIoBtGetFoundDevices(int listFilter, int* count, int* result);
TiloIoDeviceArrays_t* TiloIoUsbGetFoundDevices(int listFilter, int* count, int* result);
int TiloIoBtStopFinder();
int TiloIoUsbStopFinder();

// n zeroed rows (n may be 0); null when memory runs out.
TiloIoDeviceArrays_t* newDeviceArrays(int n);
// Frees the rows' strings, the arrays and the record; nothing for null.
void freeFoundDeviceArrays(TiloIoDeviceArrays_t* arrays, int count);

}  // namespace tilo2::core
