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

// Where discovery's queries go. With a list set, a query whose destination
// (the filter's broadcast text) lies outside 127/8 goes to each listed address
// instead; a destination inside 127/8 is used unchanged. Every entry must be
// a dotted IPv4 address in 127/8 and there are at most 64: else 1 and the list
// stays as it was. Null or count 0 empties the list: 0. Read at every send,
// so a change reaches a running discovery.
int TiloIoUdpSetDiscoveryDestinations(const char* const* addresses, int count);

// The loopback guard of the test binaries, installed at their start-up:
// from then on a discovery query for a destination outside 127/8 never goes
// there, but to the list above, or to fallback (a loopback address nobody
// listens on) while the list is empty. A fallback outside 127/8 or null is
// refused (1); 0 once installed. The guard cannot be removed.
int TiloIoInstallLoopbackGuard(const char* fallback);
bool TiloIoLoopbackGuardInstalled();

// While on, the discovery receive thread's wait fails as a lasting socket
// error would (the thread then waits out its slice before sending again).
void TiloIoUdpForceReceiveError(bool on);

// Datagrams the discovery receive thread has read and handled (or ignored)
// since the process started: a test waits on it instead of on time.
uint64_t TiloIoUdpDatagramsHandled();

}  // namespace tilo2::core
