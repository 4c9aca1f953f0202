#pragma once
// The finders that a discovery starts and polls: the UDP finder and the
// Bluetooth and USB finders. Not in the tree yet: until they are, every start
// answers 255 and every list is empty with result 255 (finders_pending.cpp).

#include "io/io_types.h"

namespace tilo2::core {

int TiloIoUdpStartDiscovery(const void* logHandle, const char* broadcastAddress);
TiloIoDeviceArrays_t* TiloIoUdpGetDeviceList(int* count, int* result);
int TiloIoBtStartFinder();
int TiloIoUsbStartFinder();
TiloIoDeviceArrays_t* TiloIoBtGetFoundDevices(int listFilter, int* count, int* result);
TiloIoDeviceArrays_t* TiloIoUsbGetFoundDevices(int listFilter, int* count, int* result);

}  // namespace tilo2::core
