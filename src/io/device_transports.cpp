// The Bluetooth and USB transports as the connection interface sees them:
// address checks, the device dump lines and the record's lifetime here, the
// device work itself in the bridge (device_bridge.h).

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/logger.h"
#include "foundation/platform.h"
#include "io/device_bridge.h"
#include "io/transport_ops.h"

namespace tilo2::core {

namespace {

constexpr size_t kBluetoothAddressLength = 17;
constexpr uint32_t kBluetoothClosePauseMs = 100;

int BluetoothOpen(TdcBackendEnv_t*, TiloIoConnection_t** out, int, const char* address, int) {
  if (std::strlen(address) != kBluetoothAddressLength) return TILOIO_PARAMETER_ERROR;
  std::string upper(address);
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return TiloIoBtOpen(out, upper.c_str());
}

int UsbOpen(TdcBackendEnv_t*, TiloIoConnection_t** out, int, const char* address, int) {
  return TiloIoUsbOpen(out, address);
}

int BluetoothClose(TiloIoConnection_t* connection) {
  const int rc = TiloIoBtClose(connection->device);
  // The radio needs a moment before the same device can be opened again.
  if (rc == TILOIO_SUCCESS) platform_sleep_ms(kBluetoothClosePauseMs);
  return rc;
}

int UsbClose(TiloIoConnection_t* connection) { return TiloIoUsbClose(connection->device); }

void ReleaseDevice(TiloIoConnection_t* connection) {
  freeIoHolder(connection->device);
  std::free(connection->address);
  delete connection;
}

int LoggedWrite(int rc, const char* transport, TiloIoConnection_t* connection, const void* data,
                size_t length, const size_t* written) {
  if (rc == TILOIO_SUCCESS && written && *written > 0) {
    log_write_dump("IODEV", transport, connection, *written, length, data, 0);
  }
  return rc;
}

int LoggedRead(int rc, const char* transport, TiloIoConnection_t* connection, const void* buffer,
               const size_t* count) {
  if (rc == TILOIO_SUCCESS && count && *count > 0) {
    log_read_dump("IODEV", transport, connection, *count, buffer, 0);
  }
  return rc;
}

int BluetoothWrite(TiloIoConnection_t* connection, const void* data, size_t length, int timeoutMs,
                   size_t* written) {
  return LoggedWrite(TiloIoBtWrite(connection->device, data, length, timeoutMs, written), "BTH",
                     connection, data, length, written);
}

int UsbWrite(TiloIoConnection_t* connection, const void* data, size_t length, int timeoutMs,
             size_t* written) {
  return LoggedWrite(TiloIoUsbWrite(connection->device, data, length, timeoutMs, written), "USB",
                     connection, data, length, written);
}

int BluetoothRead(TiloIoConnection_t* connection, void* buffer, int timeoutMs, size_t* count) {
  return LoggedRead(TiloIoBtRead(connection->device, buffer, timeoutMs, count), "BTH", connection,
                    buffer, count);
}

int UsbRead(TiloIoConnection_t* connection, void* buffer, int timeoutMs, size_t* count) {
  return LoggedRead(TiloIoUsbRead(connection->device, buffer, timeoutMs, count), "USB", connection,
                    buffer, count);
}

int BluetoothControl(TiloIoConnection_t*, int) {
  return TILOIO_SUCCESS;
}  // nothing to switch on a serial link

int UsbControl(TiloIoConnection_t* connection, int value) {
  return TiloIoUsbControl(connection->device, value);
}

int BluetoothStatus(TiloIoConnection_t*, int* flag) {
  if (!flag) return TILOIO_PARAMETER_ERROR;
  *flag = 1;
  return TILOIO_SUCCESS;
}

int UsbStatus(TiloIoConnection_t* connection, int* flag) {
  return TiloIoUsbGetStatus(connection->device, flag);
}

int BluetoothCheckOnline(TiloIoConnection_t*, int* online) {
  *online = 1;
  return TILOIO_SUCCESS;
}

int UsbCheckOnline(TiloIoConnection_t* connection, int* online) {
  return TiloIoUsbCheckOnline(connection->device, online);
}

}  // namespace

const TransportOps kBluetoothTransport = {
    BluetoothOpen, BluetoothClose,   ReleaseDevice,   BluetoothWrite,
    BluetoothRead, BluetoothControl, BluetoothStatus, BluetoothCheckOnline,
    nullptr,       nullptr,          nullptr};

const TransportOps kUsbTransport = {UsbOpen, UsbClose,   ReleaseDevice, UsbWrite,
                                    UsbRead, UsbControl, UsbStatus,     UsbCheckOnline,
                                    nullptr, nullptr,    nullptr};

}  // namespace tilo2::core
