#pragma once
// Connection targets ("TCP:host", "TCPS:host[id]", "BT:addr", "USB:id"), the
// environment extract each backend call receives, and the one-shot thread
// that reports a port error when a direct connection vanished before a send.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "device/device_types.h"
#include "engine/print_handle.h"

namespace tilo2::core {

struct TdcTarget_t {
  char* portText;  // "TCPS", "TCP", "BT" or "USB"
  char* address;   // possibly empty
  char* deviceId;  // null without brackets; non-null (even empty) selects the device service
};

// 0 and a new record; 1 for a null argument, no prefix, "[" without "]" or a
// bad device id; 10 when out of memory (nothing left allocated).
int TdcParseTarget(const char* target, TdcTarget_t** out);
void TdcFreeTarget(TdcTarget_t* target);
// What an app may hand to a connect: "<kind>:<address>" with an optional
// "[<device id>]" at the end and nothing before or after. kind is TCP, TCPS,
// BT or USB; a TCP or TCPS address is a host name or IPv4 address without a
// port (the ports are fixed), a BT address six hex pairs joined by ":", a USB
// address any text without brackets. 0, or 1 with the reason in *reason
// (when not null). The parse above stays as lenient as it is for the
// targets discovery builds.
int TdcCheckTargetForm(const char* target, std::string* reason);
// 0 and 2, 1, 3 or 4 for "TCPS", "TCP", "BT", "USB" (tested in that order); 1 otherwise.
int TdcGetPortType(const char* portText, int32_t* out);
// 0 acceptable (null too), 1 a character outside letters, digits, ".", "_", "-",
// 255 when the expression cannot be built.
int TdcCheckDeviceId(const char* deviceId);

// *out gets a new record for mode 1 (four fields) or 2 (isVirtual left 0);
// nothing for any other mode, a null env or out, or no memory.
void TdcCopyEnvData(int32_t portType, int32_t mode, const TdcEnvData_t* env, TdcBackendEnv_t** out);

// The environment of one backend call, freed when the call is done; null
// where TdcCopyEnvData writes nothing.
class TdcScopedBackendEnv {
 public:
  TdcScopedBackendEnv(int32_t portType, int32_t mode, const TdcEnvData_t* env) {
    TdcCopyEnvData(portType, mode, env, &value_);
  }
  ~TdcScopedBackendEnv() { std::free(value_); }
  TdcScopedBackendEnv(const TdcScopedBackendEnv&) = delete;
  TdcScopedBackendEnv& operator=(const TdcScopedBackendEnv&) = delete;
  TdcBackendEnv_t* get() const { return value_; }

 private:
  TdcBackendEnv_t* value_ = nullptr;
};

// The direct port map {port type, -3, print-engine connection type}; -3 in
// the last column: refused.
extern const TdcCodeMap_t kTdcDirectPortMap[4];

enum TdcPortErrorKind : int32_t {
  TDC_PORT_ERROR_PRINT = 1,
  TDC_PORT_ERROR_DISPLAY = 2,
};

struct TdcPortErrorJob_t {
  PrintHandle_t* handle;
  char* address;     // copy, may be null
  char* printJobId;  // always null
  int32_t kind;      // TdcPortErrorKind
  void* callback;    // PrintResultCallback (kind 1) or DisplayResultCallback (kind 2)
};

// Calls the callback on a new thread with (handle, address, 3, 1, 0, null)
// (kind 2: (handle, address, 3)) and returns once that thread ended.
// 1 null handle or callback; 10 no memory; 255 thread start or join failed.
int TdcPostPortErrorResult(PrintHandle_t* handle, const char* address, int32_t kind,
                           void* callback);
void* TdcPortErrorResultThread(void* job);

}  // namespace tilo2::core
