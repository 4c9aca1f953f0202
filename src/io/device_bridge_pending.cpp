// Stand-ins for the Bluetooth and USB transports until their device objects
// exist: every call fails clearly, so a Bluetooth or USB target can never be
// mistaken for an open connection.

#include "io/device_bridge.h"
#include "foundation/logger.h"

namespace {

int notAvailable(const char* function) {
  log_trace("IOCMN", LOG_TRACE_INFO, nullptr, TILOIO_FAILURE, function, LOG_ARG_STRING, "Transport not available.", LOG_ARG_END);
  return TILOIO_FAILURE;
}

}  // namespace

int TiloIoBtOpen(TiloIoConnection_t**, const char*) { return notAvailable("TiloIoBtOpen"); }
int TiloIoUsbOpen(TiloIoConnection_t**, const char*) { return notAvailable("TiloIoUsbOpen"); }
int TiloIoBtClose(void*) { return notAvailable("TiloIoBtClose"); }
int TiloIoUsbClose(void*) { return notAvailable("TiloIoUsbClose"); }
int TiloIoBtWrite(void*, const void*, size_t, int, size_t*) { return notAvailable("TiloIoBtWrite"); }
int TiloIoUsbWrite(void*, const void*, size_t, int, size_t*) { return notAvailable("TiloIoUsbWrite"); }
int TiloIoBtRead(void*, void*, int, size_t*) { return notAvailable("TiloIoBtRead"); }
int TiloIoUsbRead(void*, void*, int, size_t*) { return notAvailable("TiloIoUsbRead"); }
int TiloIoUsbControl(void*, int) { return notAvailable("TiloIoUsbControl"); }
int TiloIoUsbGetStatus(void*, int*) { return notAvailable("TiloIoUsbGetStatus"); }
int TiloIoUsbCheckOnline(void*, int*) { return notAvailable("TiloIoUsbCheckOnline"); }
void freeIoHolder(void*) {}
