// The hybrid printer record's life, its registry, the paper-state accessors,
// connect and disconnect on either backend and the status query.
//
// As for printers, every operation that reaches a backend runs under the
// record's operation mutex, and the backend state is published only once a
// connect fully succeeded. The paper fields have their own leaf locks, which
// results and events take on backend threads; none is held across a
// backend call or an app callback.

#include "device/hybrid_module.h"

#include <cstdlib>
#include <memory>

#include "device/code_tables.h"
#include "device/command_list.h"
#include "device/conn_listener.h"
#include "device/hybrid_access.h"
#include "device/printer_status.h"
#include "device/registry.h"
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

constexpr int32_t kDefaultInterval = 3000;
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
constexpr TdcCodeMap_t kModelLangRows[] = {{0, -3, 0}, {1, -3, 1}, {2, -3, 2}, {3, -3, 3},
                                           {4, -3, 4}, {5, -3, 5}, {6, -3, 6}};

bool FindModelLanguage(int32_t modelLang, int32_t* out) {
  for (const auto& row : kModelLangRows) {
    if (row.tdcValue == modelLang) {
      *out = row.engineValue;
      return true;
    }
  }
  return false;
}

bool FindDirectPortType(int32_t portType, int32_t* out) {
  for (const auto& row : kTdcDirectPortMap) {
    if (row.tdcValue == portType) {
      if (row.engineValue == kTdcNone) return false;
      *out = row.engineValue;
      return true;
    }
  }
  return false;
}

bool ValidConnectTimeout(int32_t timeoutMs) {
  return timeoutMs == kTdcDefault || (timeoutMs >= 1000 && timeoutMs <= 300000);
}

struct TargetDeleter {
  void operator()(TdcTarget_t* target) const { TdcFreeTarget(target); }
};
using TargetPtr = std::unique_ptr<TdcTarget_t, TargetDeleter>;

const void* HybridKey(void* record) {
  return TdcReadPrinterState(static_cast<TdcPrinter_t*>(record)).handle;
}

// Never destroyed: callbacks may still look records up while the process exits.
TdcRegistry<TdcPrinter_t>& HybridRegistry() {
  static auto* registry = new TdcRegistry<TdcPrinter_t>(&HybridKey);
  return *registry;
}

void FreeOps(TdcPrinter_t* record) {
  std::free(record->commands.ops);
  record->commands.ops = nullptr;
}

void FreeHybridRecord(void* pointer) {
  auto* record = static_cast<TdcPrinter_t*>(pointer);
  TdcDestroyCommandList(&record->commands.commandList);
  FreeOps(record);
  std::free(record->settings);
  record->settings = nullptr;
  record->statusCallback = nullptr;
  record->statusUser = nullptr;
  record->receiveCallback = nullptr;
  record->receiveUser = nullptr;
  record->connectionCallback = nullptr;
  record->connectionUser = nullptr;
  record->hybridStatusCallback = nullptr;
  record->hybridStatusUser = nullptr;
  record->hybridReceiveCallback = nullptr;
  record->hybridReceiveUser = nullptr;
  record->hybridConnectionCallback = nullptr;
  record->hybridConnectionUser = nullptr;
  platform_mutex_destroy(&record->intervalLock);
  platform_mutex_destroy(&record->paperLock);
  platform_mutex_destroy(&record->insertionLock);
  platform_mutex_destroy(&record->supportLock);
  platform_mutex_destroy(&record->opLock);
  platform_mutex_destroy(&record->stateLock);
  std::free(record);
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

// Direct connect; *state is filled on success.
int ConnectDirect(TdcEnvData_t* env, TdcPrinter_t* record, const TdcTarget_t& target,
                  int32_t portType, int32_t timeoutMs, TdcPrinterState_t* state) {
  int32_t connectionType = 0;
  int32_t language = 0;
  if (!FindDirectPortType(portType, &connectionType) ||
      !FindModelLanguage(record->settings->modelLang, &language)) {
    return TDC_ERR_PARAM;
  }
  PrinterBuilder_t* builder = nullptr;
  const int created = TiloCreateBuilder(&builder, kDirectModel, language);
  if (created != 0) return TdcFromEngineResult(created);

  TdcScopedBackendEnv backendEnv(portType, TDC_MODE_DIRECT, env);
  PrintHandle_t* handle = nullptr;
  const int acquired = AcquireSharedConnection(backendEnv.get(), kSharedUserHybrid, connectionType,
                                               target.address, timeoutMs, &handle);
  if (acquired != 0) {
    TiloDestroyBuilder(builder);
    return TdcFromEngineResult(acquired);
  }
  const uint32_t support = handle->paperSupport.load();
  if (support != kStatusFlagsUnknown) {
    TdcSetPaperSupport(record, (support & kTdcSupportEndorse) != 0 ? 1 : 0,
                       (support & kTdcSupportValidation) != 0 ? 1 : 0,
                       (support & kTdcSupportMicr) != 0 ? 1 : 0);
  } else {
    // Learned later, when an operation needs it.
    log_error_line("ERROR", kEngineSource, __LINE__);
  }
  const int registered = TdcSetHybridDirectCallbacks(handle);
  if (registered != 0) {
    ForgetPaperSupport(record);
    TiloCloseHybridPrinter(backendEnv.get(), handle);
    TiloDestroyBuilder(builder);
    return registered;
  }
  TiloAttachBuilder(handle, builder);
  *state = {TDC_MODE_DIRECT, nullptr, handle, builder};
  return TDC_SUCCESS;
}

// Device-service connect; every failing step undoes the earlier ones.
int ConnectService(TdcEnvData_t* env, TdcPrinter_t* record, const TdcTarget_t& target,
                   int32_t portType, int32_t timeoutMs, TdcPrinterState_t* state) {
  TdcScopedBackendEnv backendEnv(portType, TDC_MODE_SERVICE, env);
  TdevConnection_t* connection = nullptr;
  const int connected = TdevConnectSync(backendEnv.get(), target.address,
                                        portType == TDC_PORT_TCPS ? 1 : 0, &connection, timeoutMs);
  if (connected != 0 || connection == nullptr) {
    return connected != 0 ? TdcFromServiceResult(connected) : TDC_ERR_FAILURE;
  }
  // Held while the steps below work with the connection, so a disconnect
  // reported meanwhile cannot free it under them.
  TdcAcquireConnectionUse(connection);
  struct UseGuard {
    TdevConnection_t* connection;
    ~UseGuard() { TdcReleaseConnectionUse(connection); }
  } use{connection};

  uint8_t units[3] = {0, 0, 0};
  if (TdevGetSystemVersion(target.address, units) != 0) {
    TdevDisconnectIfUnused(backendEnv.get(), connection);
    return TDC_ERR_CONNECT;
  }
  TdcSetPaperSupport(record, units[0], units[1], units[2]);

  const int callbacks = TdcSetConnectionCallbacks(connection);
  if (callbacks != 0) {
    ForgetPaperSupport(record);
    TdevDisconnectIfUnused(backendEnv.get(), connection);
    return callbacks;
  }
  void* device = nullptr;
  const int opened = TdevOpenDeviceSync(backendEnv.get(), connection, target.deviceId,
                                        TDEV_DEVICE_HYBRID_PRINTER, &device);
  if (opened != 0 || device == nullptr) {
    if (opened == 0) TdevCloseDeviceSync(backendEnv.get(), connection, device);
    ForgetPaperSupport(record);
    TdevDisconnectIfUnused(backendEnv.get(), connection);
    return opened != 0 ? TdcFromServiceResult(opened) : TDC_ERR_FAILURE;
  }
  auto* printer = static_cast<TdevPrinterHandle_t*>(device);
  const auto undoOpen = [&] {
    ForgetPaperSupport(record);
    TdevCloseDeviceSync(backendEnv.get(), connection, device);
    TdevDisconnectIfUnused(backendEnv.get(), connection);
  };
  const int listened = TdcAddConnectionListener(connection, record, &TdcOnHybridConnectionEvent);
  if (listened != 0) {
    undoOpen();
    return listened;
  }
  const int registered = TdcSetHybridServiceCallbacks(printer);
  if (registered != 0) {
    TdcRemoveConnectionListener(record);
    undoOpen();
    return registered;
  }
  const int cleared = TdevHybridClearBufferSync(backendEnv.get(), printer);
  if (cleared != 0 && cleared != kClearTimeout && cleared != kClearBusy) {
    log_error_line("ERROR", kHybridSource, __LINE__);
    TdcRemoveConnectionListener(record);
    undoOpen();
    return TDC_ERR_CONNECT;
  }
  *state = {TDC_MODE_SERVICE, connection, device, device};
  return TDC_SUCCESS;
}

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

int32_t TdcHybridPortType(const TdcPrinter_t* record) {
  return record->settings != nullptr ? record->settings->portType : kTdcNone;
}

// ---- Record life and registry ---------------------------------------------------------

int TdcCreateHybridPrinter(int32_t modelLang, TdcPrinter_t** out) {
  if (out == nullptr) return TDC_ERR_PARAM;
  auto* record = static_cast<TdcPrinter_t*>(std::calloc(1, sizeof(TdcPrinter_t)));
  auto* settings = static_cast<TdcPrinterSettings_t*>(std::calloc(1, sizeof(TdcPrinterSettings_t)));
  if (record == nullptr || settings == nullptr) {
    std::free(record);
    std::free(settings);
    return TDC_ERR_MEMORY;
  }
  *settings = {kTdcNone, modelLang, kTdcNone};
  record->mode = TDC_MODE_CLOSED;
  record->settings = settings;
  TdcInitCommandList(&record->commands.commandList);
  record->interval = kDefaultInterval;
  platform_mutex_init(&record->intervalLock);
  platform_mutex_init(&record->paperLock);
  platform_mutex_init(&record->insertionLock);
  platform_mutex_init(&record->supportLock);
  platform_mutex_init(&record->opLock);
  platform_mutex_init(&record->stateLock);
  record->paperSupport = kTdcNone;
  *out = record;
  return TDC_SUCCESS;
}

int TdcDestroyHybridPrinter(TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  TdcRemoveConnectionListener(record);
  HybridRegistry().Retire(record, &FreeHybridRecord);
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
  TdcScopedBackendEnv backendEnv(TdcHybridPortType(record), TDC_MODE_DIRECT, env);
  const int asked =
      TiloCheckSupportPaperType(backendEnv.get(), static_cast<PrintHandle_t*>(state.handle));
  return asked == 0 ? TDC_SUCCESS : TDC_ERR_ILLEGAL;
}

// ---- Connect and disconnect -------------------------------------------------------

int TdcConnectHybridPrinter(TdcEnvData_t* env, TdcPrinter_t* record, const char* target,
                            int32_t timeoutMs) {
  if (record == nullptr || target == nullptr || !ValidConnectTimeout(timeoutMs)) {
    return TDC_ERR_PARAM;
  }
  TdcPrinterOperation operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  if (operation.State().handle != nullptr) return TDC_ERR_ILLEGAL;

  TdcTarget_t* parsed = nullptr;
  const int parsedResult = TdcParseTarget(target, &parsed);
  if (parsedResult != 0) return parsedResult;
  const TargetPtr targetOwner(parsed);
  int32_t portType = 0;
  const int typed = TdcGetPortType(parsed->portText, &portType);
  if (typed != 0) return typed;

  int32_t mode = TDC_MODE_DIRECT;
  if (parsed->deviceId != nullptr) {
    if (portType != TDC_PORT_TCP && portType != TDC_PORT_TCPS) return TDC_ERR_TYPE_INVALID;
    mode = TDC_MODE_SERVICE;
  }

  // A table left behind by connection event 2 goes before the new one.
  FreeOps(record);
  record->commands.ops = static_cast<TdcPrinterOps_t*>(std::calloc(1, sizeof(TdcPrinterOps_t)));
  if (record->commands.ops == nullptr) {
    TdcClearPrinterState(record);
    return TDC_ERR_MEMORY;
  }
  const int selected = TdcSelectPrinterOps(&record->commands, mode);
  if (selected != 0) {
    FreeOps(record);
    TdcClearPrinterState(record);
    return selected;
  }

  TdcPrinterState_t state{};
  const int connected = mode == TDC_MODE_DIRECT
                            ? ConnectDirect(env, record, *parsed, portType, timeoutMs, &state)
                            : ConnectService(env, record, *parsed, portType, timeoutMs, &state);
  if (connected != 0) {
    FreeOps(record);
    TdcClearPrinterState(record);
    return connected;
  }
  record->settings->portType = portType;
  StartPaperState(record);
  TdcWritePrinterState(record, state);
  return TDC_SUCCESS;
}

int TdcDisconnectHybridPrinter(TdcEnvData_t* env, TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  bool reportDisconnected = false;
  {
    TdcPrinterOperation operation(record);
    if (!operation.Locked()) return TDC_ERR_FAILURE;
    const TdcPrinterState_t state = operation.State();
    if (state.handle == nullptr) return TDC_ERR_ILLEGAL;

    if (state.mode == TDC_MODE_DIRECT) {
      TdcScopedBackendEnv backendEnv(TdcHybridPortType(record), TDC_MODE_DIRECT, env);
      // Cancels a pending insertion, then gives the hybrid share back.
      const int closed =
          TiloCloseHybridPrinter(backendEnv.get(), static_cast<PrintHandle_t*>(state.handle));
      if (closed != 0) return TdcFromEngineResult(closed);
      TiloDestroyBuilder(static_cast<PrinterBuilder_t*>(state.builder));
    } else if (state.mode == TDC_MODE_SERVICE) {
      TdcScopedBackendEnv backendEnv(TdcHybridPortType(record), TDC_MODE_SERVICE, env);
      const int closed = TdevCloseDeviceSync(backendEnv.get(), state.connection, state.handle);
      if (closed != 0) return TdcFromServiceResult(closed);
      TdcRemoveConnectionListener(record);
      reportDisconnected = TdevDisconnectIfUnused(backendEnv.get(), state.connection) == 0;
    } else {
      return TDC_ERR_ILLEGAL;
    }
    FreeOps(record);
    TdcClearPrinterState(record);
    StartPaperState(record);
    ForgetPaperSupport(record);
  }
  // Outside the operation mutex: the app's handler may start another operation.
  if (reportDisconnected && record->hybridConnectionCallback != nullptr) {
    record->hybridConnectionCallback(record, TDC_EVENT_DISCONNECTED, record->hybridConnectionUser);
  }
  return TDC_SUCCESS;
}

// ---- Status ------------------------------------------------------------------------------

TdcStatus_t* TdcGetHybridPrinterStatus(TdcEnvData_t* env, TdcPrinter_t* record) {
  if (record == nullptr) return TdcNewStatus();
  TdcPrinterOperation operation(record);
  const TdcPrinterState_t& state = operation.State();
  if (!operation.Locked() || state.handle == nullptr) return TdcNewStatus();

  if (state.mode == TDC_MODE_DIRECT) {
    auto* handle = static_cast<PrintHandle_t*>(state.handle);
    if (!IsConnectionOpen(handle)) return TdcNewStatus();
    TdcScopedBackendEnv backendEnv(TdcHybridPortType(record), TDC_MODE_DIRECT, env);
    uint32_t flags = 0;
    if (TiloGetHybridStatus(backendEnv.get(), handle, &flags) != 0) return TdcNewStatus();
    return TdcMakeHybridStatus(record, flags);
  }
  if (state.mode == TDC_MODE_SERVICE) {
    TdcScopedBackendEnv backendEnv(TdcHybridPortType(record), TDC_MODE_SERVICE, env);
    uint32_t word = 0;
    int32_t battery = 0;
    const int asked = TdevPrinterGetStatus(
        backendEnv.get(), static_cast<TdevPrinterHandle_t*>(state.handle), &word, &battery);
    // Word 0 means the query never ran: a reply never gives it, and taking
    // it for one would report a printer that answered.
    if (asked != 0 || word == 0) return TdcNewStatus();
    return TdcMakeHybridServiceStatus(record, word);
  }
  return TdcNewStatus();
}

}  // namespace tilo2::core
