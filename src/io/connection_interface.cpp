#include "io/connection_interface.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/platform.h"
#include "io/connection_table.h"
#include "io/device_bridge.h"
#include "foundation/logger.h"
#include "io/kdpx.h"
#include "io/scoped_lock.h"
#include "io/tcp_transport.h"

namespace {

constexpr size_t kBluetoothAddressLength = 17;
constexpr int kInterfaceStatusBusyBit = 0x08;
constexpr uint32_t kBluetoothClosePauseMs = 100;

using TableLock = ScopedLock<connectionTableLock, connectionTableUnlock>;

int openByType(TdcBackendEnv_t* env, TiloIoConnection_t** out, int type, const char* address, int timeoutMs) {
  switch (type) {
    case TILOIO_TYPE_TCP:
      return TiloIoTcpOpen(env, out, TILOIO_TYPE_TCP, address, timeoutMs);
    case TILOIO_TYPE_BLUETOOTH: {
      if (std::strlen(address) != kBluetoothAddressLength) return TILOIO_PARAMETER_ERROR;
      std::string upper(address);
      for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return TiloIoBtOpen(out, upper.c_str());
    }
    case TILOIO_TYPE_USB:
      return TiloIoUsbOpen(out, address);
    default:
      return TILOIO_PARAMETER_ERROR;
  }
}

// Closes the transport of a connection; on success the record is gone.
int closeByType(TiloIoConnection_t* connection) {
  int rc;
  switch (connection->type) {
    case TILOIO_TYPE_TCP:
      return TiloIoTcpClose(connection);
    case TILOIO_TYPE_BLUETOOTH:
      if ((rc = TiloIoBtClose(connection->device)) != TILOIO_SUCCESS) return rc;
      break;
    case TILOIO_TYPE_USB:
      if ((rc = TiloIoUsbClose(connection->device)) != TILOIO_SUCCESS) return rc;
      break;
    default:
      log_error_line("ERROR", __FILE__, __LINE__);
      return TILOIO_FAILURE;
  }
  const bool bluetooth = connection->type == TILOIO_TYPE_BLUETOOTH;
  freeIoHolder(connection->device);
  std::free(connection->address);
  delete connection;
  // The radio needs a moment before the same device can be opened again.
  if (bluetooth) platform_sleep_ms(kBluetoothClosePauseMs);
  return TILOIO_SUCCESS;
}

const char* deviceTransport(const TiloIoConnection_t* connection) {
  return connection->type == TILOIO_TYPE_BLUETOOTH ? "BTH" : "USB";
}

bool registered(const TiloIoConnection_t* connection) {
  if (isHandleRegistered(connection)) return true;
  log_error_line("ERROR", __FILE__, __LINE__);
  return false;
}

}  // namespace

int TiloIoOpen(TdcBackendEnv_t* env, TiloIoConnection_t** out, int type, const char* address, int timeoutMs) {
  TableLock lock;
  if (!lock) return TILOIO_BUSY;
  if (!out) return TILOIO_PARAMETER_ERROR;
  *out = nullptr;
  if (!address) return TILOIO_PARAMETER_ERROR;
  if (findHandleByAddress(address) >= 0 || countHandleList() < 0) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_ILLEGAL_STATE;
  }
  int rc = openByType(env, out, type, address, timeoutMs);
  if (rc != TILOIO_SUCCESS) return rc;
  rc = setHandleToList(*out, address);
  if (rc != TILOIO_SUCCESS) {
    // An open connection nobody can find again would hold the printer: close it.
    closeByType(*out);
    *out = nullptr;
  }
  return rc;
}

int TiloIoClose(TiloIoConnection_t* connection) {
  TableLock lock;
  if (!lock) return TILOIO_BUSY;
  // The row is found while the record still exists; after the close it is gone.
  const int row = findHandleRow(connection);
  if (row < 0) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_ILLEGAL_STATE;
  }
  const int rc = closeByType(connection);
  if (rc != TILOIO_SUCCESS) return rc;
  if (!delHandleAt(row, connection)) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_FAILURE;
  }
  return TILOIO_SUCCESS;
}

int TiloIoWrite(TiloIoConnection_t* connection, const void* data, size_t length, int timeoutMs, size_t* written) {
  if (!registered(connection)) return TILOIO_ILLEGAL_STATE;
  int rc;
  switch (connection->type) {
    case TILOIO_TYPE_TCP:
      return TiloIoTcpWrite(connection, data, length, timeoutMs, written);
    case TILOIO_TYPE_BLUETOOTH:
      rc = TiloIoBtWrite(connection->device, data, length, timeoutMs, written);
      break;
    case TILOIO_TYPE_USB:
      rc = TiloIoUsbWrite(connection->device, data, length, timeoutMs, written);
      break;
    default:
      log_error_line("ERROR", __FILE__, __LINE__);
      return TILOIO_FAILURE;
  }
  if (rc == TILOIO_SUCCESS && written && *written > 0) {
    log_write_dump("IODEV", deviceTransport(connection), connection, *written, length, data, 0);
  }
  return rc;
}

int TiloIoRead(TiloIoConnection_t* connection, void* buffer, int timeoutMs, size_t* count) {
  if (!registered(connection)) return TILOIO_ILLEGAL_STATE;
  int rc;
  switch (connection->type) {
    case TILOIO_TYPE_TCP:
      return TiloIoTcpRead(connection, buffer, timeoutMs, count);
    case TILOIO_TYPE_BLUETOOTH:
      rc = TiloIoBtRead(connection->device, buffer, timeoutMs, count);
      break;
    case TILOIO_TYPE_USB:
      rc = TiloIoUsbRead(connection->device, buffer, timeoutMs, count);
      break;
    default:
      log_error_line("ERROR", __FILE__, __LINE__);
      return TILOIO_FAILURE;
  }
  if (rc == TILOIO_SUCCESS && count && *count > 0) {
    log_read_dump("IODEV", deviceTransport(connection), connection, *count, buffer, 0);
  }
  return rc;
}

int TiloIoControl(TiloIoConnection_t* connection, int value) {
  if (!registered(connection)) return TILOIO_ILLEGAL_STATE;
  switch (connection->type) {
    case TILOIO_TYPE_TCP:
      return TiloIoTcpControl(connection, value);
    case TILOIO_TYPE_BLUETOOTH:
      return TILOIO_SUCCESS;  // nothing to switch on a serial link
    case TILOIO_TYPE_USB:
      return TiloIoUsbControl(connection->device, value);
    default:
      log_error_line("ERROR", __FILE__, __LINE__);
      return TILOIO_FAILURE;
  }
}

int TiloIoGetStatus(TiloIoConnection_t* connection, int* flag) {
  if (!registered(connection)) return TILOIO_ILLEGAL_STATE;
  switch (connection->type) {
    case TILOIO_TYPE_TCP: {
      if (!flag) return TILOIO_PARAMETER_ERROR;
      // All bits set until the printer says otherwise: a failed request reads as busy.
      int status = -1;
      const int rc = TiloIoKdpxGetStatus(connection->address, &status);
      *flag = (rc == TILOIO_SUCCESS && !(status & kInterfaceStatusBusyBit)) ? 1 : 0;
      return rc;
    }
    case TILOIO_TYPE_BLUETOOTH:
      if (!flag) return TILOIO_PARAMETER_ERROR;
      *flag = 1;
      return TILOIO_SUCCESS;
    case TILOIO_TYPE_USB:
      return TiloIoUsbGetStatus(connection->device, flag);
    default:
      log_error_line("ERROR", __FILE__, __LINE__);
      return TILOIO_FAILURE;
  }
}

int TiloIoCheckOnline(const TiloIoProbeTarget_t* handle, int* online) {
  if (!handle || !online) return TILOIO_PARAMETER_ERROR;
  *online = 0;
  switch (handle->connectionKind) {
    case TILOIO_KIND_TCP:
    case TILOIO_KIND_USB: {
      TiloIoConnection_t* connection = handle->connection;
      if (!registered(connection)) return TILOIO_PROBE_FAILED;
      int value = 0;
      int rc;
      switch (connection->type) {
        case TILOIO_TYPE_TCP:
          rc = TiloIoTcpCheckOnline(connection, &value);
          break;
        case TILOIO_TYPE_USB:
          rc = TiloIoUsbCheckOnline(connection->device, &value);
          break;
        case TILOIO_TYPE_BLUETOOTH:
          value = 1;
          rc = TILOIO_SUCCESS;
          break;
        default:
          log_error_line("ERROR", __FILE__, __LINE__);
          return TILOIO_PROBE_FAILED;
      }
      if (rc != TILOIO_SUCCESS) return TILOIO_PROBE_FAILED;
      *online = value;
      return TILOIO_SUCCESS;
    }
    case TILOIO_KIND_BLUETOOTH:
      if (handle->onlineState != 1) return TILOIO_PROBE_FAILED;
      *online = 1;
      return TILOIO_SUCCESS;
    default:
      return TILOIO_PROBE_FAILED;
  }
}
