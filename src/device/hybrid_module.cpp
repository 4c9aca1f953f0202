// The hybrid printer record's life, its registry, the paper-state accessors,
// connect and disconnect on either backend and the status query.
//
// As for printers, every operation that reaches a backend runs under the
// record's operation mutex, and the backend state is published only once a
// connect fully succeeded. The paper fields have their own leaf locks, which
// results and events take on backend threads; none is held across a
// backend call or an app callback.

#include "device/hybrid_module.h"

#include "device/code_tables.h"
#include "device/command_list.h"
#include "device/conn_listener.h"
#include "device/hybrid_access.h"
#include "device/printer_kind.h"
#include "device/printer_status.h"
#include "device/registry.h"
#include "device/service_connect.h"
#include "device/target.h"
#include "engine/builder_ops.h"
#include "engine/builder_records.h"
#include "engine/engine_ops.h"
#include "engine/hybrid_ops.h"
#include "engine/shared_connection.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

constexpr const char* kDirectModel = "RP-X5E";
constexpr const char* kEngineSource = "tiloprint_common_public";
constexpr const char* kHybridSource = "tilo2_common_hybridprinter";

// Device-service results of the buffer clear that count as success: done,
// timed out, device busy.
constexpr int kClearTimeout = 3;
constexpr int kClearBusy = 46;

constexpr TdcCodeMap_t kPaperTypeRows[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {-2, 0, 0}};
constexpr TdcCodeMap_t kMicrFontRows[] = {{0, 0, 0}, {1, 1, 1}, {-2, 0, 0}};
constexpr TdcCodeMap_t kFortyColumnRows[] = {{1, 1, 1}, {0, 0, 0}, {-2, 1, 1}};
constexpr TdcCodeMap_t kForceRows[] = {{1, 1, 1}, {0, 0, 0}};
constexpr TdcCodeMap_t kMethodRows[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2},
                                        {3, 3, 3}, {4, 4, 4}, {5, 5, 5}};

const void* HybridKey(void* record) {
  return TdcReadPrinterState(static_cast<TdcPrinter_t*>(record)).handle;
}

// Never destroyed: callbacks may still look records up while the process exits.
TdcRegistry<TdcPrinter_t>& HybridRegistry() {
  static auto* registry = new TdcRegistry<TdcPrinter_t>(&HybridKey);
  return *registry;
}

void ForgetPaperSupport(TdcPrinter_t* record) {
  PlatformLockGuard lock(record->supportLock);
  if (lock) record->paperSupport = kTdcNone;
}

// Paper type, insertion mode and the applied sides after a connect or a
// disconnect; the inserted paper survives both.
void StartPaperState(TdcPrinter_t* record) {
  {
    PlatformLockGuard lock(record->paperLock);
    if (lock) {
      record->paperType = TDC_PAPER_RECEIPT;
      record->slipApplied = 0;
      record->endorseApplied = 0;
    }
  }
  TdcSetInsertionMode(record, TDC_INSERTION_NONE);
}

const char* DirectModel(const TdcPrinter_t*) { return kDirectModel; }

// Learns the units the print handle knows, then registers the callbacks.
int AttachDirect(TdcBackendEnv_t*, TdcPrinter_t* record, PrintHandle_t* handle) {
  if (!TdcTakePaperSupport(record, handle->paperSupport.load())) {
    // Learned later, when an operation needs it.
    log_error_line("ERROR", kEngineSource, __LINE__);
  }
  const int registered = TdcSetHybridDirectCallbacks(handle);
  if (registered != 0) ForgetPaperSupport(record);
  return registered;
}

// Device-service connect; every failing step undoes the earlier ones.
int ConnectService(TdcEnvData_t* env, TdcPrinter_t* record, const TdcTarget_t& target,
                   int32_t portType, int32_t timeoutMs, TdcPrinterState_t* state) {
  TdcScopedBackendEnv backendEnv(portType, TDC_MODE_SERVICE, env);
  TdcServiceLink link(backendEnv.get());
  if (const int connected = link.Connect(target.address, portType, timeoutMs); connected != 0) {
    return connected;
  }
  uint8_t units[3] = {0, 0, 0};
  if (TdevGetSystemVersion(target.address, units) != 0) return link.Undo(TDC_ERR_CONNECT);
  TdcSetPaperSupport(record, units[0], units[1], units[2]);
  // Every failure from here on forgets the units it learned.
  const auto fail = [&](int code) {
    ForgetPaperSupport(record);
    return link.Undo(code);
  };
  if (const int watched = TdcSetConnectionCallbacks(link.connection()); watched != 0) {
    return fail(watched);
  }
  void* device = nullptr;
  if (const int opened = link.Open(target.deviceId, TDEV_DEVICE_HYBRID_PRINTER, &device);
      opened != 0) {
    ForgetPaperSupport(record);
    return opened;
  }
  auto* printer = static_cast<TdevPrinterHandle_t*>(device);
  const int listened =
      TdcAddConnectionListener(link.connection(), record, &TdcOnHybridConnectionEvent);
  if (listened != 0) return fail(listened);
  const int registered = TdcSetHybridServiceCallbacks(printer);
  if (registered != 0) {
    TdcRemoveConnectionListener(record);
    return fail(registered);
  }
  const int cleared = TdevHybridClearBufferSync(backendEnv.get(), printer);
  if (cleared != 0 && cleared != kClearTimeout && cleared != kClearBusy) {
    log_error_line("ERROR", kHybridSource, __LINE__);
    TdcRemoveConnectionListener(record);
    return fail(TDC_ERR_CONNECT);
  }
  *state = {TDC_MODE_SERVICE, link.connection(), device, device};
  return TDC_SUCCESS;
}

// Cancels a pending insertion, then gives the hybrid share back.
int CloseDirect(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  return TiloCloseHybridPrinter(env, handle);
}

void Disconnected(TdcPrinter_t* record) {
  StartPaperState(record);
  ForgetPaperSupport(record);
}

TdcStatus_t* DirectStatus(TdcBackendEnv_t* env, TdcPrinter_t* record, PrintHandle_t* handle) {
  uint32_t flags = 0;
  if (TiloGetHybridStatus(env, handle, &flags) != 0) return TdcNewStatus();
  return TdcMakeHybridStatus(record, flags);
}

TdcStatus_t* ServiceStatus(TdcPrinter_t* record, uint32_t word, int32_t) {
  return TdcMakeHybridServiceStatus(record, word);
}

constexpr TdcPrinterKind kHybridKind{
    nullptr,
    &DirectModel,
    kSharedUserHybrid,
    &AttachDirect,
    &CloseDirect,
    &ConnectService,
    &StartPaperState,
    &Disconnected,
    &DirectStatus,
    &ServiceStatus,
    &TdcPrinter_t::hybridConnectionCallback,
    &TdcPrinter_t::hybridConnectionUser,
};

}  // namespace

const TdcCodeTable kTdcPaperTypeTable{kPaperTypeRows};
const TdcCodeTable kTdcMicrFontTable{kMicrFontRows};
const TdcCodeTable kTdcFortyColumnTable{kFortyColumnRows};
const TdcCodeTable kTdcForceTable{kForceRows};
const TdcCodeTable kTdcMethodTable{kMethodRows};

// ---- Paper-state helpers ------------------------------------------

void TdcSetAppliedSides(TdcPrinter_t* record, int32_t slip, int32_t endorse) {
  PlatformLockGuard lock(record->paperLock);
  if (!lock) return;
  record->slipApplied = slip;
  record->endorseApplied = endorse;
}

void TdcResetPaperState(TdcPrinter_t* record) {
  {
    PlatformLockGuard lock(record->paperLock);
    if (lock) {
      record->slipApplied = 0;
      record->endorseApplied = 0;
      record->insertedPaper = 0;
    }
  }
  TdcSetInsertionMode(record, TDC_INSERTION_NONE);
}

// ---- Record life and registry ---------------------------------------------------------

int TdcCreateHybridPrinter(int32_t modelLang, TdcPrinter_t** out) {
  const int created = TdcNewPrinterRecord(kTdcNone, modelLang, out);
  if (created == TDC_SUCCESS) (*out)->paperSupport = kTdcNone;
  return created;
}

int TdcDestroyHybridPrinter(TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  TdcRemoveConnectionListener(record);
  HybridRegistry().Retire(record, &TdcFreePrinterRecord);
  return TDC_SUCCESS;
}

void TdcRegisterHybridPrinter(TdcPrinter_t* record) {
  if (record != nullptr) HybridRegistry().Register(record);
}

void TdcUnregisterHybridPrinter(TdcPrinter_t* record) {
  if (record != nullptr) HybridRegistry().Unregister(record);
}

TdcPrinter_t* TdcFindHybridPrinter(const void* handle) { return HybridRegistry().Find(handle); }

void TdcReleaseHybridPrinter(TdcPrinter_t* record) {
  if (record != nullptr) HybridRegistry().Release(record);
}

bool TdcHoldHybridPrinter(TdcPrinter_t* record) {
  return record != nullptr && HybridRegistry().Hold(record);
}

// ---- Paper state accessors -------------------------------------------------------------

int TdcSetPaperType(TdcPrinter_t* record, int32_t paperType) {
  if (record == nullptr) return TDC_ERR_PARAM;
  PlatformLockGuard lock(record->paperLock);
  if (!lock) return TDC_ERR_FAILURE;
  record->paperType = paperType;
  return TDC_SUCCESS;
}

int32_t TdcGetPaperType(TdcPrinter_t* record) {
  if (record == nullptr) return 1;
  PlatformLockGuard lock(record->paperLock);
  return record->paperType;
}

int TdcSetInsertedPaper(TdcPrinter_t* record, int32_t paperType) {
  if (record == nullptr) return TDC_ERR_PARAM;
  PlatformLockGuard lock(record->paperLock);
  if (!lock) return TDC_ERR_FAILURE;
  record->insertedPaper = paperType;
  return TDC_SUCCESS;
}

int32_t TdcGetInsertedPaper(TdcPrinter_t* record) {
  if (record == nullptr) return 1;
  PlatformLockGuard lock(record->paperLock);
  return record->insertedPaper;
}

int TdcSetInsertionMode(TdcPrinter_t* record, int32_t mode) {
  if (record == nullptr) return TDC_ERR_PARAM;
  PlatformLockGuard lock(record->insertionLock);
  if (!lock) return TDC_ERR_FAILURE;
  record->insertionMode = mode;
  return TDC_SUCCESS;
}

int32_t TdcGetInsertionMode(TdcPrinter_t* record) {
  if (record == nullptr) return 1;
  PlatformLockGuard lock(record->insertionLock);
  return record->insertionMode;
}

bool TdcTakePaperSupport(TdcPrinter_t* record, uint32_t handleSupport) {
  if (handleSupport == kStatusFlagsUnknown) return false;
  TdcSetPaperSupport(record, (handleSupport & kTdcSupportEndorse) != 0 ? 1 : 0,
                     (handleSupport & kTdcSupportValidation) != 0 ? 1 : 0,
                     (handleSupport & kTdcSupportMicr) != 0 ? 1 : 0);
  return true;
}

int TdcSetPaperSupport(TdcPrinter_t* record, uint8_t endorse, uint8_t validation, uint8_t micr) {
  if (record == nullptr) return TDC_ERR_PARAM;
  int32_t bits = 0;
  if (endorse != 0) bits |= kTdcSupportEndorse;
  if (validation != 0) bits |= kTdcSupportValidation;
  if (micr != 0) bits |= kTdcSupportMicr;
  PlatformLockGuard lock(record->supportLock);
  if (!lock) return TDC_ERR_FAILURE;
  record->paperSupport = bits;
  return TDC_SUCCESS;
}

int32_t TdcGetPaperSupport(TdcPrinter_t* record) {
  if (record == nullptr) return 1;
  PlatformLockGuard lock(record->supportLock);
  return record->paperSupport;
}

int TdcQueryPaperSupport(TdcEnvData_t* env, TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  const TdcPrinterState_t& state = operation.State();
  if (!operation.Locked() || state.mode != TDC_MODE_DIRECT || state.handle == nullptr) {
    return TDC_ERR_ILLEGAL;
  }
  TdcScopedBackendEnv backendEnv(TdcRecordPortType(record), TDC_MODE_DIRECT, env);
  const int asked =
      TiloCheckSupportPaperType(backendEnv.get(), static_cast<PrintHandle_t*>(state.handle));
  return asked == 0 ? TDC_SUCCESS : TDC_ERR_ILLEGAL;
}

// ---- Connect and disconnect -------------------------------------------------------

int TdcConnectHybridPrinter(TdcEnvData_t* env, TdcPrinter_t* record, const char* target,
                            int32_t timeoutMs) {
  if (record == nullptr || target == nullptr || !TdcValidConnectTimeout(timeoutMs)) {
    return TDC_ERR_PARAM;
  }
  return TdcConnectPrinterKind(kHybridKind, env, record, target, timeoutMs);
}

int TdcDisconnectHybridPrinter(TdcEnvData_t* env, TdcPrinter_t* record) {
  return TdcDisconnectPrinterKind(kHybridKind, env, record);
}

// ---- Status ------------------------------------------------------------------------------

TdcStatus_t* TdcGetHybridPrinterStatus(TdcEnvData_t* env, TdcPrinter_t* record) {
  return TdcGetPrinterKindStatus(kHybridKind, env, record);
}

}  // namespace tilo2::core
