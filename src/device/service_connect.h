#pragma once
// The connect steps every device module shares: the target and the backend
// it picks, the timeout check, the direct port types, and the device-service
// steps (host connection, connection notifiers, device open) with the undo
// of every step made when a later one fails.

#include <cstdint>
#include <memory>

#include "device/code_tables.h"
#include "device/conn_listener.h"
#include "device/device_types.h"
#include "device/target.h"
#include "foundation/platform.h"
#include "service/device_service.h"

namespace tilo2::core {

struct TdcTargetDeleter {
  void operator()(TdcTarget_t* target) const { TdcFreeTarget(target); }
};
using TdcTargetPtr = std::unique_ptr<TdcTarget_t, TdcTargetDeleter>;

// A connect's time limit: the default or 1 s to 300 s.
inline bool TdcValidConnectTimeout(int32_t timeoutMs) {
  return timeoutMs == kTdcDefault || (timeoutMs >= 1000 && timeoutMs <= 300000);
}

// The print engine's connection type of a port type; false for a port the
// direct backend cannot reach.
inline bool TdcFindDirectPortType(int32_t portType, int32_t* out) {
  for (const auto& row : kTdcDirectPortMap) {
    if (row.tdcValue == portType) {
      if (row.engineValue == kTdcNone) return false;
      *out = row.engineValue;
      return true;
    }
  }
  return false;
}

// Parses a connect target and picks its backend: the device service when it
// names a device id (on TCP or TCPS only), the direct backend otherwise.
// 0; the parser's error; 7 for a device id on another port.
inline int TdcParseConnectTarget(const char* target, TdcTargetPtr* parsed, int32_t* portType,
                                 int32_t* mode) {
  TdcTarget_t* raw = nullptr;
  const int parsedResult = TdcParseTarget(target, &raw);
  if (parsedResult != 0) return parsedResult;
  parsed->reset(raw);
  const int typed = TdcGetPortType(raw->portText, portType);
  if (typed != 0) return typed;
  *mode = TDC_MODE_DIRECT;
  if (raw->deviceId != nullptr) {
    if (*portType != TDC_PORT_TCP && *portType != TDC_PORT_TCPS) return TDC_ERR_TYPE_INVALID;
    *mode = TDC_MODE_SERVICE;
  }
  return TDC_SUCCESS;
}

// One device-service connect under way. It keeps a use of the host
// connection for its whole length, so a disconnect reported meanwhile cannot
// free the connection under the steps; Undo closes the device it opened and
// drops the host connection unless another record uses it.
class TdcServiceLink {
 public:
  explicit TdcServiceLink(TdcBackendEnv_t* env) : env_(env) {}
  ~TdcServiceLink() {
    if (connection_ != nullptr) TdcReleaseConnectionUse(connection_);
  }
  TdcServiceLink(const TdcServiceLink&) = delete;
  TdcServiceLink& operator=(const TdcServiceLink&) = delete;

  // The host connection (TLS for TCPS); nothing to undo when it fails. The
  // device open after it shares the same limit.
  int Connect(const char* address, int32_t portType, int32_t timeoutMs) {
    deadline_ =
        platform_tick_ms() +
        static_cast<uint64_t>((timeoutMs == kTdcDefault ? 15000 : timeoutMs) + kTdevConnectGraceMs);
    TdevConnection_t* connection = nullptr;
    const int connected =
        TdevConnectSync(env_, address, portType == TDC_PORT_TCPS ? 1 : 0, &connection, timeoutMs);
    if (connected != 0 || connection == nullptr) {
      return connected != 0 ? TdcFromServiceResult(connected) : TDC_ERR_FAILURE;
    }
    TdcAcquireConnectionUse(connection);
    connection_ = connection;
    return TDC_SUCCESS;
  }
  // The connection's notifiers, through which the listeners hear its events.
  int WatchConnection() { return Undo(TdcSetConnectionCallbacks(connection_)); }
  // Opens the device within what is left of the connect's limit; *device is
  // written on success only.
  int Open(const char* deviceId, int32_t deviceType, void** device) {
    void* opened = nullptr;
    const uint64_t now = platform_tick_ms();
    const int32_t left =
        deadline_ == 0 ? -1 : (now >= deadline_ ? 0 : static_cast<int32_t>(deadline_ - now));
    const int result = TdevOpenDeviceSync(env_, connection_, deviceId, deviceType, &opened, left);
    if (result != 0 || opened == nullptr) {
      return Undo(result != 0 ? TdcFromServiceResult(result) : TDC_ERR_FAILURE);
    }
    device_ = opened;
    *device = opened;
    return TDC_SUCCESS;
  }
  // The three steps in a row, for a device needing nothing in between.
  int ConnectAndOpen(const TdcTarget_t& target, int32_t portType, int32_t timeoutMs,
                     int32_t deviceType, void** device) {
    int result = Connect(target.address, portType, timeoutMs);
    if (result == TDC_SUCCESS) result = WatchConnection();
    if (result == TDC_SUCCESS) result = Open(target.deviceId, deviceType, device);
    return result;
  }
  // Passes code through; a failure first undoes the steps made.
  int Undo(int code) {
    if (code == TDC_SUCCESS) return code;
    if (device_ != nullptr) TdevCloseDeviceSync(env_, connection_, device_);
    device_ = nullptr;
    TdevDisconnectIfUnused(env_, connection_);
    return code;
  }

  TdcBackendEnv_t* env() const { return env_; }
  TdevConnection_t* connection() const { return connection_; }

 private:
  TdcBackendEnv_t* env_;
  TdevConnection_t* connection_ = nullptr;
  void* device_ = nullptr;
  uint64_t deadline_ = 0;  // platform_tick_ms() by which the connect ends
};

}  // namespace tilo2::core
