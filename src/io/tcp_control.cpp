#include <sys/socket.h>

#include "foundation/lock_guard.h"
#include "foundation/platform.h"
#include "io/kdpx.h"
#include "io/tcp_transport.h"
#include "io/transport_ops.h"

namespace tilo2::core {

namespace {

constexpr size_t kOnlineReplySize = 13;
constexpr uint8_t kOfflineBit = 0x02;
// The printer may need a moment to apply control 1; it is asked again, up to
// this many times after the first request, but not forever.
constexpr int kControlOneRetries = 100;
constexpr uint32_t kControlRetryPauseMs = 10;
constexpr int kInterfaceStatusBusyBit = 0x08;

int TcpInterfaceStatus(TiloIoConnection_t* connection, int* flag) {
  if (!flag) return TILOIO_PARAMETER_ERROR;
  // All bits set until the printer says otherwise: a failed request reads as busy.
  int status = -1;
  const int rc = TiloIoKdpxGetStatus(connection->address, &status);
  *flag = (rc == TILOIO_SUCCESS && !(status & kInterfaceStatusBusyBit)) ? 1 : 0;
  return rc;
}

// A shutdown wakes a blocked poll at once; the descriptor stays open until
// the close, so no other call can find it reused. Taking each lock once
// waits for the call that held it to leave.
int TcpAbort(TiloIoConnection_t* connection) {
  if (!connection) return TILOIO_PARAMETER_ERROR;
  connection->aborted = true;
  if (connection->socket >= 0) ::shutdown(connection->socket, SHUT_RDWR);
  { const PlatformLockGuard send(connection->sendLock); }
  { const PlatformLockGuard receive(connection->receiveLock); }
  return TILOIO_SUCCESS;
}

}  // namespace

int TiloIoTcpCheckOnline(TiloIoConnection_t* connection, int* online) {
  if (!connection || !online || !connection->address) return TILOIO_PARAMETER_ERROR;
  uint8_t reply[kOnlineReplySize] = {};
  size_t length = sizeof reply;
  int result = 0;
  if (TiloIoKdpxExec(connection->address, kKdpxQuery, KDPX_ONLINE_STATUS, nullptr, 0, &result,
                     reply, &length) != TILOIO_SUCCESS) {
    return TILOIO_IO_ERROR;
  }
  *online =
      (result < kKdpxResultErrorFloor && length == kOnlineReplySize && !(reply[0] & kOfflineBit))
          ? 1
          : 0;
  return TILOIO_SUCCESS;
}

int TiloIoTcpControl(TiloIoConnection_t* connection, int value) {
  if (!connection || (value != 0 && value != 1)) return TILOIO_PARAMETER_ERROR;
  const uint8_t sent = value == 0 ? 0x01 : 0x00;
  const int tries = value == 0 ? 1 : 1 + kControlOneRetries;
  for (int i = 0; i < tries; ++i) {
    if (i > 0) platform_sleep_ms(kControlRetryPauseMs);
    uint8_t reply = 0;
    size_t length = sizeof reply;
    int result = 0;
    if (TiloIoKdpxExec(connection->address, kKdpxControl, KDPX_INTERFACE_CONTROL, &sent, 1, &result,
                       &reply, &length) != TILOIO_SUCCESS ||
        result != 0) {
      return TILOIO_IO_ERROR;
    }
    if (length == 1 && reply == sent) return TILOIO_SUCCESS;
  }
  return TILOIO_IO_ERROR;
}

const TransportOps kTcpTransport = {
    TiloIoTcpOpen,    TcpShutDown,        TcpRelease,           TiloIoTcpWrite, TiloIoTcpRead,
    TiloIoTcpControl, TcpInterfaceStatus, TiloIoTcpCheckOnline, TcpCheckLink,   TcpReconnect,
    TcpAbort};

}  // namespace tilo2::core
