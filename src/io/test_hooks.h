#pragma once
// Where tests reach into the io layer: every setter that replaces something
// the layer would otherwise take from the machine or the network. Product code
// never calls these.

#include "io/io_types.h"

namespace tilo2::core {

// Where the MAC broadcast goes; null restores 255.255.255.255. Tests point it
// at an emulator's loopback address so nothing leaves the machine.
void TiloIoKdpxSetBroadcastDestination(const char* address);

// The name the local address list looks up in place of the machine's own;
// null restores it.
void TiloIoSetLocalHostName(const char* name);

// The finder entry points discovery calls.
struct TiloIoFinderOps {
  int (*udpStart)(const void* logHandle, const char* broadcastAddress);
  TiloIoDeviceArrays_t* (*udpList)(int* count, int* result);
  int (*btStart)();
  int (*usbStart)();
  TiloIoDeviceArrays_t* (*btList)(int listFilter, int* count, int* result);
  TiloIoDeviceArrays_t* (*usbList)(int listFilter, int* count, int* result);
};
// Null restores the real finders.
void TiloIoSetFinderOps(const TiloIoFinderOps* ops);

}  // namespace tilo2::core
