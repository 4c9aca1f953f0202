#include "io/connection_interface.h"

#include <strings.h>

#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "foundation/wait_accounting.h"
#include "io/connection_table.h"
#include "io/transport_ops.h"

namespace tilo2::core {

namespace {

// Which table serves which connection type, in type order from 257.
constexpr const TransportOps* kTransports[] = {&kTcpTransport, &kBluetoothTransport,
                                               &kUsbTransport};

const TransportOps* TransportFor(int type) {
  const int index = type - TILOIO_TYPE_TCP;
  return index >= 0 && index < static_cast<int>(std::size(kTransports)) ? kTransports[index]
                                                                        : nullptr;
}

// The transport of a pinned connection; null (after an "ERROR" line) for a
// record of no known type.
const TransportOps* TransportOf(const TiloIoConnection_t* connection) {
  const TransportOps* ops = TransportFor(connection->type);
  if (!ops) log_error_line("ERROR", __FILE__, __LINE__);
  return ops;
}

// Addresses whose transport open is under way, under the table lock.
std::vector<std::string>& Opening() {
  static auto* opening = new std::vector<std::string>();
  return *opening;
}

bool SameAddress(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// False when another open of the address is under way (or memory ran out).
bool ReserveOpening(const char* address) {
  std::vector<std::string>& opening = Opening();
  for (const std::string& a : opening) {
    if (SameAddress(a, address)) return false;
  }
  try {
    opening.emplace_back(address);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void ReleaseOpening(const char* address) {
  std::vector<std::string>& opening = Opening();
  for (auto it = opening.begin(); it != opening.end(); ++it) {
    if (SameAddress(*it, address)) {
      opening.erase(it);
      return;
    }
  }
}

bool Registered(const ConnectionPin& pin) {
  if (pin) return true;
  log_error_line("ERROR", __FILE__, __LINE__);
  return false;
}

}  // namespace

int TiloIoOpen(TdcBackendEnv_t* env, TiloIoConnection_t** out, int type, const char* address,
               int timeoutMs) {
  if (!out) return TILOIO_PARAMETER_ERROR;
  *out = nullptr;
  if (!address) return TILOIO_PARAMETER_ERROR;
  const TransportOps* ops = TransportFor(type);
  {
    const PlatformLockGuard lock = LockConnectionTable();
    if (!lock) return TILOIO_BUSY;
    if (findHandleByAddress(address) >= 0 || countHandleList() < 0 || !ReserveOpening(address)) {
      log_error_line("ERROR", __FILE__, __LINE__);
      return TILOIO_ILLEGAL_STATE;
    }
    if (!ops) {
      ReleaseOpening(address);
      return TILOIO_PARAMETER_ERROR;
    }
  }
  // The transport's open runs without the table lock: it may take the whole
  // time limit, and the opens of other printers must not wait for it. The
  // reservation keeps a second open of this address out meanwhile.
  int rc = ops->open(env, out, type, address, timeoutMs);
  const PlatformLockGuard lock = LockConnectionTable();
  ReleaseOpening(address);
  if (rc != TILOIO_SUCCESS) return rc;
  (*out)->virtualEnv = env != nullptr && env->isVirtual != 0;
  rc = lock ? setHandleToList(*out, address) : TILOIO_BUSY;
  if (rc != TILOIO_SUCCESS) {
    // An open connection nobody can find again would hold the printer: close it.
    if (ops->close(*out) == TILOIO_SUCCESS) ops->release(*out);
    *out = nullptr;
  }
  return rc;
}

int TiloIoClose(TiloIoConnection_t* connection) {
  const PlatformLockGuard lock = LockConnectionTable();
  if (!lock) return TILOIO_BUSY;
  // Only close retires rows, and closes run one at a time: the row and the
  // record stay until this close is done with them.
  const int row = FindHandleRow(connection);
  if (row < 0) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_ILLEGAL_STATE;
  }
  const TransportOps* ops = TransportOf(connection);
  if (!ops) return TILOIO_FAILURE;
  const int rc = ops->close(connection);
  if (rc != TILOIO_SUCCESS) return rc;
  // A call still running on the connection keeps the record until it returns.
  if (!RetireHandle(row, connection, ops->release)) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_FAILURE;
  }
  return TILOIO_SUCCESS;
}

int TiloIoAbort(TiloIoConnection_t* connection) {
  const ConnectionPin pin(connection);
  if (!Registered(pin)) return TILOIO_ILLEGAL_STATE;
  const TransportOps* ops = TransportOf(connection);
  if (!ops) return TILOIO_FAILURE;
  return ops->abort != nullptr ? ops->abort(connection) : TILOIO_IO_ERROR;
}

int TiloIoCloseNow(TiloIoConnection_t* connection) {
  for (;;) {
    const int rc = TiloIoClose(connection);
    // A busy close had a call under way; each abort ends the calls then running.
    if (rc != TILOIO_BUSY || TiloIoAbort(connection) != TILOIO_SUCCESS) return rc;
  }
}

int TiloIoWrite(TiloIoConnection_t* connection, const void* data, size_t length, int timeoutMs,
                size_t* written) {
  const ConnectionPin pin(connection);
  if (!Registered(pin)) return TILOIO_ILLEGAL_STATE;
  const TransportOps* ops = TransportOf(connection);
  return ops ? ops->write(connection, data, length, timeoutMs, written) : TILOIO_FAILURE;
}

int TiloIoRead(TiloIoConnection_t* connection, void* buffer, int timeoutMs, size_t* count) {
  const ConnectionPin pin(connection);
  if (!Registered(pin)) return TILOIO_ILLEGAL_STATE;
  const TransportOps* ops = TransportOf(connection);
  if (!ops) return TILOIO_FAILURE;
  if (!WaitAccountingEnabled()) return ops->read(connection, buffer, timeoutMs, count);
  const int64_t start = WaitAccountingNow();
  const int result = ops->read(connection, buffer, timeoutMs, count);
  const bool silent =
      result == TILOIO_TIMEOUT || (result == TILOIO_SUCCESS && count && *count == 0);
  WaitAccountingAdd(silent ? WaitKind::kSilentRead : WaitKind::kReplyRead,
                    WaitAccountingNow() - start);
  return result;
}

int TiloIoControl(TiloIoConnection_t* connection, int value) {
  const ConnectionPin pin(connection);
  if (!Registered(pin)) return TILOIO_ILLEGAL_STATE;
  const TransportOps* ops = TransportOf(connection);
  return ops ? ops->control(connection, value) : TILOIO_FAILURE;
}

int TiloIoGetStatus(TiloIoConnection_t* connection, int* flag) {
  const ConnectionPin pin(connection);
  if (!Registered(pin)) return TILOIO_ILLEGAL_STATE;
  const TransportOps* ops = TransportOf(connection);
  return ops ? ops->status(connection, flag) : TILOIO_FAILURE;
}

int TiloIoCheckLink(TiloIoConnection_t* connection) {
  const ConnectionPin pin(connection);
  if (!Registered(pin)) return TILOIO_ILLEGAL_STATE;
  const TransportOps* ops = TransportOf(connection);
  if (!ops) return TILOIO_FAILURE;
  return ops->checkLink ? ops->checkLink(connection) : TILOIO_SUCCESS;
}

int TiloIoReconnect(TdcBackendEnv_t* env, TiloIoConnection_t* connection, int timeoutMs) {
  const ConnectionPin pin(connection);
  if (!Registered(pin)) return TILOIO_ILLEGAL_STATE;
  const TransportOps* ops = TransportOf(connection);
  if (!ops) return TILOIO_FAILURE;
  return ops->reconnect ? ops->reconnect(env, connection, timeoutMs) : TILOIO_SUCCESS;
}

int TiloIoCheckOnline(const TiloIoProbeTarget_t* handle, int* online) {
  if (!handle || !online) return TILOIO_PARAMETER_ERROR;
  *online = 0;
  switch (handle->connectionKind) {
    case TILOIO_KIND_TCP:
    case TILOIO_KIND_USB: {
      TiloIoConnection_t* connection = handle->connection;
      const ConnectionPin pin(connection);
      if (!Registered(pin)) return TILOIO_PROBE_FAILED;
      const TransportOps* ops = TransportOf(connection);
      int value = 0;
      if (!ops || ops->checkOnline(connection, &value) != TILOIO_SUCCESS)
        return TILOIO_PROBE_FAILED;
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

}  // namespace tilo2::core
