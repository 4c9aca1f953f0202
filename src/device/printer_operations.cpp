// Transactions, the status monitor and its interval, and the immediate
// operations both printer kinds share, on either backend. Each runs as one
// operation of the record, so it never overlaps a connect, a disconnect or
// a send of the same record.

#include "device/printer_operations.h"

#include <cstdlib>

#include "device/code_tables.h"
#include "device/printer_access.h"
#include "device/printer_kind.h"
#include "device/target.h"
#include "engine/engine_ops.h"
#include "engine/print_handle.h"
#include "foundation/lock_guard.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

constexpr int32_t kMinInterval = 1000;
constexpr int32_t kMaxInterval = 60000;
constexpr int32_t kDefaultInterval = 3000;
// The engine's answer to an end without an open transaction.
constexpr int kEngineIllegalState = 6;

// The environment of one backend call for the record's port type.
TdcScopedBackendEnv RecordEnv(const TdcPrinter_t* record, int32_t mode, const TdcEnvData_t* env) {
  return {TdcRecordPortType(record), mode, env};
}

PrintHandle_t* PrintHandle(const TdcPrinterState_t& state) {
  return static_cast<PrintHandle_t*>(state.handle);
}

TdevPrinterHandle_t* DeviceHandle(const TdcPrinterState_t& state) {
  return static_cast<TdevPrinterHandle_t*>(state.handle);
}

int32_t ReadInterval(TdcPrinter_t* record) {
  PlatformLockGuard lock(record->intervalLock);
  return record->interval;
}

using TdevForceFn = int (*)(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t);

int ForceOperation(TdcEnvData_t* env, TdcPrinter_t* record, int32_t timeoutMs, TdevForceFn force) {
  if (record == nullptr) return TDC_ERR_PARAM;
  const TdcPrinterOperation operation(record);
  if (const int checked = operation.Check(); checked != TDC_SUCCESS) return checked;
  if (const int checked = TdcCheckImmediate(operation, timeoutMs); checked != TDC_SUCCESS) {
    return checked;
  }
  const TdcScopedBackendEnv backendEnv = RecordEnv(record, TDC_MODE_SERVICE, env);
  return TdcFromServiceResult(force(backendEnv.get(), DeviceHandle(operation.State()), timeoutMs));
}

}  // namespace

// ---- Transactions ------------------------------------------------------------------

int TdcBeginTransaction(TdcEnvData_t* env, TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  const TdcPrinterOperation operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  const TdcPrinterState_t& state = operation.State();
  if (record->transaction != 0 || state.handle == nullptr) return TDC_ERR_ILLEGAL;
  if (state.mode == TDC_MODE_DIRECT) {
    // A vanished connection only moves the marker; the send will report the port error.
    if (IsConnectionOpen(PrintHandle(state))) {
      const TdcScopedBackendEnv backendEnv = RecordEnv(record, TDC_MODE_DIRECT, env);
      const int begun =
          TdcFromEngineResult(TiloBeginTransaction(backendEnv.get(), PrintHandle(state)));
      if (begun != TDC_SUCCESS) return begun;
    }
    record->transaction = 1;
    return TDC_SUCCESS;
  }
  if (state.mode == TDC_MODE_SERVICE) {
    // The device service keeps no transaction of its own.
    record->transaction = 1;
    return TDC_SUCCESS;
  }
  return TDC_ERR_FAILURE;
}

int TdcEndTransaction(TdcEnvData_t* env, TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  const TdcPrinterOperation operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  const TdcPrinterState_t& state = operation.State();
  if (record->transaction == 0 || state.handle == nullptr) return TDC_ERR_ILLEGAL;
  if (state.mode == TDC_MODE_DIRECT) {
    if (IsConnectionOpen(PrintHandle(state))) {
      const TdcScopedBackendEnv backendEnv = RecordEnv(record, TDC_MODE_DIRECT, env);
      const int ended = TiloEndTransaction(backendEnv.get(), PrintHandle(state));
      // The engine knows no transaction: a disconnect since the begin ended
      // it with its connection, and the marker only has to follow.
      if (ended != 0 && ended != kEngineIllegalState) return TdcFromEngineResult(ended);
    }
    record->transaction = 0;
    return TDC_SUCCESS;
  }
  if (state.mode == TDC_MODE_SERVICE) {
    record->transaction = 0;
    return TDC_SUCCESS;
  }
  return TDC_ERR_FAILURE;
}

// ---- Status monitor ----------------------------------------------------------------

namespace {

using EngineMonitorFn = int (*)(TdcBackendEnv_t*, PrintHandle_t*);

// Starts or stops the monitor: the engine's answer translated; the client's
// monitor reports through the status notifiers and its answers carry nothing.
int SwitchMonitor(TdcEnvData_t* env, TdcPrinter_t* record, bool start) {
  if (record == nullptr) return TDC_ERR_PARAM;
  const TdcPrinterOperation operation(record);
  if (const int checked = operation.Check(); checked != 0) return checked;
  const TdcPrinterState_t& state = operation.State();
  if (state.mode == TDC_MODE_DIRECT) {
    if (!IsConnectionOpen(PrintHandle(state))) return TDC_SUCCESS;
    const EngineMonitorFn engine = start ? &TiloStartMonitor : &TiloStopMonitor;
    const TdcScopedBackendEnv backendEnv = RecordEnv(record, TDC_MODE_DIRECT, env);
    return TdcFromEngineResult(engine(backendEnv.get(), PrintHandle(state)));
  }
  if (state.mode == TDC_MODE_SERVICE) {
    if (start) {
      TdevSetMonitorInterval(DeviceHandle(state), ReadInterval(record));
      TdevStartMonitor(DeviceHandle(state));
    } else {
      TdevStopMonitor(DeviceHandle(state));
    }
    return TDC_SUCCESS;
  }
  return TDC_ERR_FAILURE;
}

}  // namespace

int TdcStartMonitor(TdcEnvData_t* env, TdcPrinter_t* record) {
  return SwitchMonitor(env, record, true);
}

int TdcStopMonitor(TdcEnvData_t* env, TdcPrinter_t* record) {
  return SwitchMonitor(env, record, false);
}

int TdcSetInterval(TdcPrinter_t* record, int32_t intervalMs) {
  if (record == nullptr) return TDC_ERR_PARAM;
  if (intervalMs != kTdcDefault && (intervalMs < kMinInterval || intervalMs > kMaxInterval)) {
    return TDC_ERR_PARAM;
  }
  const TdcPrinterOperation operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  const TdcPrinterState_t& state = operation.State();
  if (state.mode == TDC_MODE_DIRECT) {
    const int set = TiloSetInterval(PrintHandle(state), intervalMs);
    if (set != 0) return TdcFromEngineResult(set);
  } else if (state.mode == TDC_MODE_SERVICE) {
    if (state.handle == nullptr) return TDC_ERR_PARAM;
    if (intervalMs == kTdcDefault) intervalMs = kDefaultInterval;
    TdevSetMonitorInterval(DeviceHandle(state), intervalMs);
  }
  // Kept for the next connect, which applies it again.
  PlatformLockGuard lock(record->intervalLock);
  if (!lock) return TDC_ERR_FAILURE;
  record->interval = intervalMs;
  return TDC_SUCCESS;
}

// ---- Immediate operations ------------------------------------------------------------

int TdcForceRecover(TdcEnvData_t* env, TdcPrinter_t* record, int32_t timeoutMs) {
  return ForceOperation(env, record, timeoutMs, &TdevPrinterForceRecover);
}

int TdcForceReset(TdcEnvData_t* env, TdcPrinter_t* record, int32_t timeoutMs) {
  return ForceOperation(env, record, timeoutMs, &TdevPrinterForceReset);
}

int TdcForcePulse(TdcEnvData_t* env, TdcPrinter_t* record, int32_t drawer, int32_t time,
                  int32_t timeoutMs) {
  if (record == nullptr) return TDC_ERR_PARAM;
  const TdcPrinterOperation operation(record);
  if (const int checked = operation.Check(); checked != 0) return checked;
  const TdcPrinterState_t& state = operation.State();
  if (!TdcIsListed(kTdcDrawerTable, drawer) || !TdcIsListed(kTdcPulseTimeTable, time)) {
    return TDC_ERR_PARAM;
  }
  if (const int checked = TdcCheckImmediate(operation, timeoutMs); checked != TDC_SUCCESS) {
    return checked;
  }
  int32_t serviceDrawer = 0;
  int32_t serviceTime = 0;
  if (!TdcMapStoredValue(kTdcDrawerTable, TDC_MODE_SERVICE, drawer, &serviceDrawer) ||
      !TdcMapStoredValue(kTdcPulseTimeTable, TDC_MODE_SERVICE, time, &serviceTime)) {
    return TDC_ERR_PARAM;
  }
  const TdcScopedBackendEnv backendEnv = RecordEnv(record, TDC_MODE_SERVICE, env);
  return TdcFromServiceResult(TdevPrinterForcePulse(backendEnv.get(), DeviceHandle(state),
                                                    serviceDrawer, serviceTime, timeoutMs));
}

}  // namespace tilo2::core
