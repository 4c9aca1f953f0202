// The printer record's life, its registry, connect and disconnect on either
// backend, status queries and the printer-only immediate operations.
//
// Every operation that reaches a backend runs under the record's operation
// mutex (TdcPrinterOperation); the backend state (mode, connection, handle,
// builder) is only published once a connect has fully succeeded and is
// cleared before a disconnect reports anything, so a callback that finds
// the record never sees half a connection.

#include "device/printer_module.h"

#include <cstdlib>

#include "device/code_tables.h"
#include "device/command_list.h"
#include "device/conn_listener.h"
#include "device/printer_access.h"
#include "device/printer_kind.h"
#include "device/printer_status.h"
#include "device/service_connect.h"
#include "device/target.h"
#include "engine/builder_ops.h"
#include "engine/builder_records.h"
#include "engine/engine_ops.h"
#include "engine/job_wait.h"
#include "engine/shared_connection.h"
#include "foundation/lock_guard.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

constexpr int32_t kDefaultInterval = 3000;

struct ModelRow {
  int32_t series;
  const char* name;
};

// Direct connections build for the model of the record's series; series 14
// and 17 have no row and are refused before the table is read.
constexpr ModelRow kModelTable[] = {
    {18, "RP-X5E"},  {0, "RP-k2"},    {1, "RP-k4"},    {2, "RP-M3"},  {3, "RP-M5"},  {4, "RP-M5B"},
    {5, "RP-M7"},    {6, "RP-S3B"},   {7, "RP-S5"},    {8, "RP-S6B"}, {9, "RP-S8B"}, {10, "RP-S9B"},
    {11, "RP-S11B"}, {12, "RP-S12F"}, {13, "RP-S14B"}, {15, "RP-D4"}, {16, "RP-D6"},
};

// The builder takes the runtime's model language unchanged.
constexpr TdcCodeMap_t kModelLangTable[] = {{0, -3, 0}, {1, -3, 1}, {2, -3, 2}, {3, -3, 3},
                                            {4, -3, 4}, {5, -3, 5}, {6, -3, 6}};

const char* FindModelName(int32_t series) {
  for (const auto& row : kModelTable) {
    if (row.series == series) return row.name;
  }
  return nullptr;
}

// The registry key: the backend handle, read under the record's leaf lock.
const void* PrinterKey(void* record) {
  return TdcReadPrinterState(static_cast<TdcPrinter_t*>(record)).handle;
}

// Never destroyed: callbacks may still look records up while the process exits.
TdcRegistry<TdcPrinter_t>& PrinterRegistry() {
  static auto* registry = new TdcRegistry<TdcPrinter_t>(&PrinterKey);
  return *registry;
}

void FreeOps(TdcPrinter_t* record) {
  std::free(record->commands.ops);
  record->commands.ops = nullptr;
}

int32_t Series(const TdcPrinter_t* record) { return record->settings->series; }

// The direct connect of either kind; *state is filled on success.
int ConnectDirect(const TdcPrinterKind& kind, TdcEnvData_t* env, TdcPrinter_t* record,
                  const TdcTarget_t& target, int32_t portType, int32_t timeoutMs,
                  TdcPrinterState_t* state) {
  int32_t connectionType = 0;
  int32_t language = 0;
  const char* model = kind.directModel(record);
  if (!TdcFindDirectPortType(portType, &connectionType) || model == nullptr ||
      !TdcFindModelLanguage(record->settings->modelLang, &language)) {
    return TDC_ERR_PARAM;
  }
  PrinterBuilder_t* builder = nullptr;
  const int created = TiloCreateBuilder(&builder, model, language);
  if (created != 0) return TdcFromEngineResult(created);

  TdcScopedBackendEnv backendEnv(portType, TDC_MODE_DIRECT, env);
  PrintHandle_t* handle = nullptr;
  const int acquired = AcquireSharedConnection(backendEnv.get(), kind.sharedUser, connectionType,
                                               target.address, timeoutMs, &handle);
  if (acquired != 0) {
    TiloDestroyBuilder(builder);
    return TdcFromEngineResult(acquired);
  }
  const int attached = kind.attachDirect(backendEnv.get(), record, handle);
  if (attached != 0) {
    kind.releaseDirect(backendEnv.get(), handle);
    TiloDestroyBuilder(builder);
    return attached;
  }
  TiloAttachBuilder(handle, builder);
  *state = {TDC_MODE_DIRECT, nullptr, handle, builder};
  return TDC_SUCCESS;
}

// Device-service connect; every failing step undoes the earlier ones.
int ConnectService(TdcEnvData_t* env, TdcPrinter_t* record, const TdcTarget_t& target,
                   int32_t portType, int32_t timeoutMs, TdcPrinterState_t* state) {
  TdcScopedBackendEnv backendEnv(portType, TDC_MODE_SERVICE, env);
  TdcServiceLink link(backendEnv.get());
  void* device = nullptr;
  const int opened = link.ConnectAndOpen(target, portType, timeoutMs, TDEV_DEVICE_PRINTER, &device);
  if (opened != 0) return opened;
  // Without its listener the record would keep the handles a later
  // disconnect of the host frees: undo the whole connect.
  int failed =
      TdcSetPrinterServiceCallbacks(static_cast<TdevPrinterHandle_t*>(device), Series(record));
  if (failed == 0)
    failed = TdcAddConnectionListener(link.connection(), record, &TdcOnPrinterConnectionEvent);
  if (failed != 0) return link.Undo(failed);
  *state = {TDC_MODE_SERVICE, link.connection(), device, device};
  return TDC_SUCCESS;
}

const char* DirectModel(const TdcPrinter_t* record) { return FindModelName(Series(record)); }

// Already translated by the registration.
int AttachDirect(TdcBackendEnv_t*, TdcPrinter_t* record, PrintHandle_t* handle) {
  return TdcSetPrinterDirectCallbacks(handle, Series(record));
}

bool RefusesDirect(const TdcPrinter_t* record) {
  return Series(record) == 14 || Series(record) == 17;
}

int ReleaseDirect(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  return ReleaseSharedConnection(env, kSharedUserPrinter, handle);
}

TdcStatus_t* DirectStatus(TdcBackendEnv_t* env, TdcPrinter_t* record, PrintHandle_t* handle) {
  uint32_t flags = 0;
  int32_t battery = 0;
  if (TiloGetStatus(env, handle, &flags, &battery) != 0) return TdcNewStatus();
  return TdcMakePrinterStatus(Series(record), flags, battery);
}

TdcStatus_t* ServiceStatus(TdcPrinter_t* record, uint32_t word, int32_t battery) {
  return TdcMakePrinterServiceStatus(Series(record), word, battery);
}

constexpr TdcPrinterKind kPrinterKind{
    &RefusesDirect,
    &DirectModel,
    kSharedUserPrinter,
    &AttachDirect,
    &ReleaseDirect,
    &ConnectService,
    nullptr,
    nullptr,
    &DirectStatus,
    &ServiceStatus,
    &TdcPrinter_t::connectionCallback,
    &TdcPrinter_t::connectionUser,
};

}  // namespace

// ---- What both printer kinds share -------------------------------------------------------

int TdcNewPrinterRecord(int32_t series, int32_t modelLang, TdcPrinter_t** out) {
  if (out == nullptr) return TDC_ERR_PARAM;
  auto* record = static_cast<TdcPrinter_t*>(std::calloc(1, sizeof(TdcPrinter_t)));
  auto* settings = static_cast<TdcPrinterSettings_t*>(std::calloc(1, sizeof(TdcPrinterSettings_t)));
  if (record == nullptr || settings == nullptr) {
    std::free(record);
    std::free(settings);
    return TDC_ERR_MEMORY;
  }
  *settings = {series, modelLang, kTdcNone};
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
  *out = record;
  return TDC_SUCCESS;
}

void TdcFreePrinterRecord(void* pointer) {
  auto* record = static_cast<TdcPrinter_t*>(pointer);
  TdcDestroyCommandList(&record->commands.commandList);
  // A table left by connection event 2 (the record was never disconnected).
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

int TdcConnectPrinterKind(const TdcPrinterKind& kind, TdcEnvData_t* env, TdcPrinter_t* record,
                          const char* target, int32_t timeoutMs) {
  TdcPrinterOperation operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  if (operation.State().handle != nullptr) return TDC_ERR_ILLEGAL;

  TdcTargetPtr parsed;
  int32_t portType = 0;
  int32_t mode = TDC_MODE_DIRECT;
  const int picked = TdcParseConnectTarget(target, &parsed, &portType, &mode);
  if (picked != 0) return picked;
  if (mode == TDC_MODE_DIRECT && kind.refusesDirect != nullptr && kind.refusesDirect(record)) {
    return TDC_ERR_TYPE_INVALID;
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
  const int connected =
      mode == TDC_MODE_DIRECT
          ? ConnectDirect(kind, env, record, *parsed, portType, timeoutMs, &state)
          : kind.connectService(env, record, *parsed, portType, timeoutMs, &state);
  if (connected != 0) {
    FreeOps(record);
    TdcClearPrinterState(record);
    return connected;
  }
  record->settings->portType = portType;
  if (kind.connected != nullptr) kind.connected(record);
  TdcWritePrinterState(record, state);
  return TDC_SUCCESS;
}

int TdcDisconnectPrinterKind(const TdcPrinterKind& kind, TdcEnvData_t* env, TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  bool reportDisconnected = false;
  {
    TdcPrinterOperation operation(record);
    if (!operation.Locked()) return TDC_ERR_FAILURE;
    const TdcPrinterState_t state = operation.State();
    if (state.handle == nullptr) return TDC_ERR_ILLEGAL;

    if (state.mode == TDC_MODE_DIRECT) {
      TdcScopedBackendEnv backendEnv(TdcRecordPortType(record), TDC_MODE_DIRECT, env);
      const int released =
          kind.releaseDirect(backendEnv.get(), static_cast<PrintHandle_t*>(state.handle));
      if (released != 0) return TdcFromEngineResult(released);
      TiloDestroyBuilder(static_cast<PrinterBuilder_t*>(state.builder));
    } else if (state.mode == TDC_MODE_SERVICE) {
      TdcScopedBackendEnv backendEnv(TdcRecordPortType(record), TDC_MODE_SERVICE, env);
      const int closed = TdevCloseDeviceSync(backendEnv.get(), state.connection, state.handle);
      if (closed != 0) return TdcFromServiceResult(closed);
      TdcRemoveConnectionListener(record);
      // The handle is gone with the close: the record is closed whatever
      // the host link does now. The operation's use of the connection keeps
      // it alive if the client reports the host's disconnect meanwhile.
      reportDisconnected = TdevDisconnectIfUnused(backendEnv.get(), state.connection) == 0;
    } else {
      return TDC_ERR_ILLEGAL;
    }
    FreeOps(record);
    TdcClearPrinterState(record);
    if (kind.disconnected != nullptr) kind.disconnected(record);
  }
  // Outside the operation mutex: the app's handler may start another operation.
  const TdcConnectionCallback callback = record->*kind.connectionCallback;
  if (reportDisconnected && callback != nullptr) {
    callback(record, TDC_EVENT_DISCONNECTED, record->*kind.connectionUser);
  }
  return TDC_SUCCESS;
}

TdcStatus_t* TdcGetPrinterKindStatus(const TdcPrinterKind& kind, TdcEnvData_t* env,
                                     TdcPrinter_t* record) {
  if (record == nullptr) return TdcNewStatus();
  TdcPrinterOperation operation(record);
  const TdcPrinterState_t& state = operation.State();
  if (!operation.Locked() || state.handle == nullptr) return TdcNewStatus();

  if (state.mode == TDC_MODE_DIRECT) {
    auto* handle = static_cast<PrintHandle_t*>(state.handle);
    if (!IsConnectionOpen(handle)) return TdcNewStatus();
    TdcScopedBackendEnv backendEnv(TdcRecordPortType(record), TDC_MODE_DIRECT, env);
    return kind.directStatus(backendEnv.get(), record, handle);
  }
  if (state.mode == TDC_MODE_SERVICE) {
    TdcScopedBackendEnv backendEnv(TdcRecordPortType(record), TDC_MODE_SERVICE, env);
    uint32_t word = 0;
    int32_t battery = 0;
    const int asked = TdevPrinterGetStatus(
        backendEnv.get(), static_cast<TdevPrinterHandle_t*>(state.handle), &word, &battery);
    // Word 0 means the query never ran: a reply never gives it, and taking
    // it for one would report a printer that answered.
    if (asked != 0 || word == 0) return TdcNewStatus();
    return kind.serviceStatus(record, word, battery);
  }
  return TdcNewStatus();
}

int TdcPrinterCallerThread(TdcPrinter_t* record, bool inCoreCallback) {
  if (record == nullptr) return 0;
  const TdcPrinterState_t state = TdcReadPrinterState(record);
  if (state.handle == nullptr) return 0;
  if (state.mode == TDC_MODE_DIRECT) {
    return IsHandleThread(static_cast<const PrintHandle_t*>(state.handle)) ? 1 : 0;
  }
  return state.mode == TDC_MODE_SERVICE && inCoreCallback && TdevOnReceiveThread() ? 2 : 0;
}

bool TdcWaitPrinterJobsEnded(TdcPrinter_t* record, int32_t timeoutMs, bool nextChange) {
  if (record == nullptr) return true;
  // Not under the operation lock, which the jobs' own callbacks may want; the
  // handle stays while this record is attached to it.
  const TdcPrinterState_t state = TdcReadPrinterState(record);
  if (state.mode != TDC_MODE_DIRECT || state.handle == nullptr) return true;
  return WaitForNoJobs(static_cast<PrintHandle_t*>(state.handle), timeoutMs, nextChange);
}

TdcStatus_t* TdcGetLastPrinterStatus(TdcPrinter_t* record) {
  // No operation lock: the thread may be one that an operation holding it
  // waits for. The handle cannot go meanwhile, since its close waits for
  // this very thread.
  const TdcPrinterState_t state =
      record != nullptr ? TdcReadPrinterState(record) : TdcPrinterState_t{};
  if (state.mode != TDC_MODE_DIRECT || state.handle == nullptr) return TdcNewStatus();
  uint32_t word = 0;
  int32_t battery = 0;
  if (TiloGetLastStatus(static_cast<PrintHandle_t*>(state.handle), &word, &battery) != 0) {
    return TdcNewStatus();
  }
  return TdcMakePrinterStatus(Series(record), word, battery);
}

bool TdcFindModelLanguage(int32_t modelLang, int32_t* out) {
  for (const auto& row : kModelLangTable) {
    if (row.tdcValue == modelLang) {
      *out = row.engineValue;
      return true;
    }
  }
  return false;
}

// ---- Record life and registry ---------------------------------------------------------

int TdcCreatePrinter(TdcPrinter_t** out, int32_t series, int32_t modelLang) {
  return TdcNewPrinterRecord(series, modelLang, out);
}

int TdcDestroyPrinter(TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  // No connection event reaches the record from here on.
  TdcRemoveConnectionListener(record);
  TdcRetirePrinter(record, &TdcFreePrinterRecord);
  return TDC_SUCCESS;
}

void TdcRegisterPrinter(TdcPrinter_t* record) {
  if (record != nullptr) PrinterRegistry().Register(record);
}

void TdcUnregisterPrinter(TdcPrinter_t* record) {
  if (record != nullptr) PrinterRegistry().Unregister(record);
}

void TdcRetirePrinter(TdcPrinter_t* record, TdcRegistryFreeFn freeRecord) {
  if (record != nullptr) PrinterRegistry().Retire(record, freeRecord);
}

TdcPrinter_t* TdcFindPrinter(const void* handle) { return PrinterRegistry().Find(handle); }

bool TdcHoldPrinter(TdcPrinter_t* record) {
  return record != nullptr && PrinterRegistry().Hold(record);
}

void TdcReleasePrinter(TdcPrinter_t* record) {
  if (record != nullptr) PrinterRegistry().Release(record);
}

// ---- Connect and disconnect -------------------------------------------------------

int TdcConnectPrinter(TdcEnvData_t* env, TdcPrinter_t* record, const char* target,
                      const char* /*reserved*/, int32_t timeoutMs) {
  if (record == nullptr || target == nullptr || !TdcValidConnectTimeout(timeoutMs)) {
    return TDC_ERR_PARAM;
  }
  return TdcConnectPrinterKind(kPrinterKind, env, record, target, timeoutMs);
}

int TdcDisconnectPrinter(TdcEnvData_t* env, TdcPrinter_t* record) {
  return TdcDisconnectPrinterKind(kPrinterKind, env, record);
}

// ---- Status and immediate operations -------------------------------------------------

TdcStatus_t* TdcGetPrinterStatus(TdcEnvData_t* env, TdcPrinter_t* record) {
  return TdcGetPrinterKindStatus(kPrinterKind, env, record);
}

int TdcRequestPrintJobStatus(TdcEnvData_t* env, TdcPrinter_t* record, const char* printJobId) {
  if (record == nullptr || printJobId == nullptr) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  if (const int checked = operation.Check(); checked != 0) return checked;
  const TdcPrinterState_t& state = operation.State();
  if (state.mode == TDC_MODE_DIRECT) return TDC_SUCCESS;
  if (state.mode != TDC_MODE_SERVICE) return TDC_ERR_FAILURE;
  TdcScopedBackendEnv backendEnv(TdcRecordPortType(record), TDC_MODE_SERVICE, env);
  // No body: the service answers about that job without printing.
  const int sent = TdevPrinterSendData(
      backendEnv.get(), static_cast<TdevPrinterHandle_t*>(state.handle), 10000, printJobId, 0, 1);
  return TdcFromServiceResult(sent);
}

namespace {

// The checks both immediate operations share; 0 when the service may be asked.
int CheckImmediate(const TdcPrinterOperation& operation, int32_t timeoutMs) {
  if (const int checked = operation.Check(); checked != 0) return checked;
  return TdcCheckImmediate(operation, timeoutMs);
}

}  // namespace

int TdcForceStopSound(TdcEnvData_t* env, TdcPrinter_t* record, int32_t timeoutMs) {
  if (record == nullptr) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  if (const int checked = CheckImmediate(operation, timeoutMs); checked != 0) return checked;
  TdcScopedBackendEnv backendEnv(TdcRecordPortType(record), TDC_MODE_SERVICE, env);
  return TdcFromServiceResult(TdevPrinterForceStopSound(
      backendEnv.get(), static_cast<TdevPrinterHandle_t*>(operation.State().handle), timeoutMs));
}

int TdcForcePrinterCommand(TdcEnvData_t* env, TdcPrinter_t* record, const uint8_t* bytes,
                           int32_t length, int32_t timeoutMs) {
  if (record == nullptr || bytes == nullptr || length <= 0) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  if (const int checked = CheckImmediate(operation, timeoutMs); checked != 0) return checked;
  TdcScopedBackendEnv backendEnv(TdcRecordPortType(record), TDC_MODE_SERVICE, env);
  return TdcFromServiceResult(TdevPrinterForceCommand(
      backendEnv.get(), static_cast<TdevPrinterHandle_t*>(operation.State().handle), bytes, length,
      timeoutMs));
}

}  // namespace tilo2::core
