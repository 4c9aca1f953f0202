// Stand-ins for the Bluetooth and USB transports until their device objects
// exist: every call fails clearly, so a Bluetooth or USB target can never be
// mistaken for an open connection.

#include "foundation/logger.h"
#include "io/device_bridge.h"

namespace tilo2::core {

namespace {

int NotAvailable(const char* function) {
  log_trace("IOCMN", LOG_TRACE_INFO, nullptr, TILOIO_FAILURE, function, LOG_ARG_STRING,
            "Transport not available.", LOG_ARG_END);
  return TILOIO_FAILURE;
}

}  // namespace

int TiloIoBtOpen(TiloIoConnection_t**, const char*) { return NotAvailable("TiloIoBtOpen"); }
int TiloIoUsbOpen(TiloIoConnection_t**, const char*) { return NotAvailable("TiloIoUsbOpen"); }
int TiloIoBtClose(void*) { return NotAvailable("TiloIoBtClose"); }
int TiloIoUsbClose(void*) { return NotAvailable("TiloIoUsbClose"); }
int TiloIoBtWrite(void*, const void*, size_t, int, size_t*) {
  return NotAvailable("TiloIoBtWrite");
}
int TiloIoUsbWrite(void*, const void*, size_t, int, size_t*) {
  return NotAvailable("TiloIoUsbWrite");
}
int TiloIoBtRead(void*, void*, int, size_t*) { return NotAvailable("TiloIoBtRead"); }
int TiloIoUsbRead(void*, void*, int, size_t*) { return NotAvailable("TiloIoUsbRead"); }
int TiloIoUsbControl(void*, int) { return NotAvailable("TiloIoUsbControl"); }
int TiloIoUsbGetStatus(void*, int*) { return NotAvailable("TiloIoUsbGetStatus"); }
int TiloIoUsbCheckOnline(void*, int*) { return NotAvailable("TiloIoUsbCheckOnline"); }
void freeIoHolder(void*) {}

}  // namespace tilo2::core
