#include <cstring>

#include "foundation/logger.h"
#include "io/io_types.h"
#include "io/kdpx.h"

namespace tilo2::core {

namespace {

constexpr size_t kStatusReplySize = 13;

}  // namespace

int TiloIoKdpxGetClientAddress(const char* target, int* client) {
  if (!target || !client) return TILOIO_PARAMETER_ERROR;
  uint8_t reply[4] = {};
  size_t length = sizeof reply;
  int result = 0;
  if (TiloIoKdpxExec(target, kKdpxQuery, KDPX_CLIENT_ADDRESS, nullptr, 0, &result, reply,
                     &length) != 0 ||
      result != 0) {
    return TILOIO_IO_ERROR;
  }
  // Bytes a short reply lacks stay 0.
  std::memcpy(client, reply, sizeof reply);
  return TILOIO_SUCCESS;
}

int TiloIoKdpxGetStatus(const char* target, int* status) {
  if (!target || !status) return TILOIO_PARAMETER_ERROR;
  uint8_t reply[kStatusReplySize] = {};
  size_t length = sizeof reply;
  int result = 0;
  if (TiloIoKdpxExec(target, kKdpxQuery, KDPX_INTERFACE_STATUS, nullptr, 0, &result, reply,
                     &length) != 0) {
    return TILOIO_IO_ERROR;
  }
  if (result >= kKdpxResultErrorFloor || length != kStatusReplySize) {
    *status = -1;
    return TILOIO_SUCCESS;
  }
  const uint32_t value = uint32_t{reply[1]} | (uint32_t{reply[2]} << 8) |
                         (uint32_t{reply[3]} << 16) | (uint32_t{reply[4]} << 24);
  *status = static_cast<int>(value);
  return TILOIO_SUCCESS;
}

int TiloIoKdpxClearConnectionTimeout(const char* target) {
  if (!target) return TILOIO_PARAMETER_ERROR;
  uint8_t reply[1];
  size_t length = sizeof reply;
  int result = 0;
  if (TiloIoKdpxExec(target, kKdpxControl, KDPX_CLEAR_CONNECTION_TIMEOUT, nullptr, 0, &result,
                     reply, &length) != 0 ||
      result != 0) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_FAILURE;
  }
  return TILOIO_SUCCESS;
}

int TiloIoKdpxCheckConnected(const char* target) {
  if (!target) return TILOIO_PARAMETER_ERROR;
  int client = 0;
  const int rc = TiloIoKdpxGetClientAddress(target, &client);
  if (rc != TILOIO_SUCCESS) return rc;
  return client == 0 ? TILOIO_IO_ERROR : TILOIO_SUCCESS;
}

}  // namespace tilo2::core
