// Placeholder for the UDP finder: a discovery that asks for it
// gets a clear failure instead of an empty success.

#include "foundation/logger.h"
#include "io/finder_bridge.h"

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
