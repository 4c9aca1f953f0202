// Placeholder for the UDP finder: a discovery that asks for it
// gets a clear failure instead of an empty success.

#include "io/udp_discovery.h"

#include "foundation/logger.h"
#include "io/finder_bridge.h"
#include "io/test_hooks.h"

namespace tilo2::core {

namespace {

int NotAvailable(const char* function) {
  log_trace("IOCMN", LOG_TRACE_INFO, nullptr, TILOIO_FAILURE, function, LOG_ARG_STRING,
            "Finder not available.", LOG_ARG_END);
  return TILOIO_FAILURE;
}

TiloIoDeviceArrays_t* NoList(int* count, int* result) {
  if (count) *count = 0;
  if (result) *result = TILOIO_FAILURE;
  return nullptr;
}

}  // namespace

int TiloIoUdpStartDiscovery(const void*, const char*) {
  return NotAvailable("TiloIoUdpStartDiscovery");
}
TiloIoDeviceArrays_t* TiloIoUdpGetDeviceList(int* count, int* result) {
  return NoList(count, result);
}
}  // namespace tilo2::core

namespace tilo2::core {
int TiloIoUdpStopDiscovery() { return TILOIO_ILLEGAL_STATE; }
int TiloIoUdpSetDiscoveryDestinations(const char* const*, int) { return 0; }
int TiloIoInstallLoopbackGuard(const char*) { return 0; }
bool TiloIoLoopbackGuardInstalled() { return false; }
void TiloIoUdpForceReceiveError(bool) {}
}  // namespace tilo2::core
