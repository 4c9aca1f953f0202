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
#include <cstring>
#include <memory>

#include "device/code_tables.h"
#include "device/command_list.h"
#include "device/conn_listener.h"
#include "device/printer_access.h"
#include "device/printer_status.h"
#include "device/target.h"
#include "engine/builder_ops.h"
#include "engine/builder_records.h"
#include "engine/engine_ops.h"
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

bool FindModelLanguage(int32_t modelLang, int32_t* out) {
  for (const auto& row : kModelLangTable) {
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

bool ValidImmediateTimeout(int32_t timeoutMs) {
  return timeoutMs == kTdcDefault || (timeoutMs >= 0 && timeoutMs <= 600000);
}

struct TargetDeleter {
  void operator()(TdcTarget_t* target) const { TdcFreeTarget(target); }
};
using TargetPtr = std::unique_ptr<TdcTarget_t, TargetDeleter>;

// The registry key: the backend handle, read under the record's leaf lock.
const void* PrinterKey(void* record) {
  return TdcReadPrinterState(static_cast<TdcPrinter_t*>(record)).handle;
}

// Never destroyed: callbacks may still look records up while the process exits.
TdcRegistry<TdcPrinter_t>& PrinterRegistry() {
  static auto* registry = new TdcRegistry<TdcPrinter_t>(&PrinterKey);
  return *registry;
}

void FreePrinterRecord(void* pointer) {
  auto* record = static_cast<TdcPrinter_t*>(pointer);
  TdcDestroyCommandList(&record->commands.commandList);
  // A table left by connection event 2 (the record was never disconnected).
  std::free(record->commands.ops);
  record->commands.ops = nullptr;
  std::free(record->settings);
  record->settings = nullptr;
  record->statusCallback = nullptr;
  record->statusUser = nullptr;
  record->receiveCallback = nullptr;
  record->receiveUser = nullptr;
  record->connectionCallback = nullptr;
  record->connectionUser = nullptr;
  platform_mutex_destroy(&record->intervalLock);
  platform_mutex_destroy(&record->paperLock);
  platform_mutex_destroy(&record->insertionLock);
  platform_mutex_destroy(&record->supportLock);
  platform_mutex_destroy(&record->opLock);
  platform_mutex_destroy(&record->stateLock);
  std::free(record);
}

void FreeOps(TdcPrinter_t* record) {
  std::free(record->commands.ops);
  record->commands.ops = nullptr;
}

int32_t Series(const TdcPrinter_t* record) { return record->settings->series; }
int32_t PortType(const TdcPrinter_t* record) { return record->settings->portType; }

// Direct connect steps 5.1 to 5.6; *state is filled on success.
int ConnectDirect(TdcEnvData_t* env, TdcPrinter_t* record, const TdcTarget_t& target,
                  int32_t portType, int32_t timeoutMs, TdcPrinterState_t* state) {
  int32_t connectionType = 0;
  int32_t language = 0;
  const char* model = FindModelName(Series(record));
  if (!FindDirectPortType(portType, &connectionType) || model == nullptr ||
      !FindModelLanguage(record->settings->modelLang, &language)) {
    return TDC_ERR_PARAM;
  }
  PrinterBuilder_t* builder = nullptr;
  const int created = TiloCreateBuilder(&builder, model, language);
  if (created != 0) return TdcFromEngineResult(created);

  TdcScopedBackendEnv backendEnv(portType, TDC_MODE_DIRECT, env);
  PrintHandle_t* handle = nullptr;
  const int acquired = AcquireSharedConnection(backendEnv.get(), kSharedUserPrinter, connectionType,
                                               target.address, timeoutMs, &handle);
  if (acquired != 0) {
    TiloDestroyBuilder(builder);
    return TdcFromEngineResult(acquired);
  }
  // Already translated by the registration.
  const int registered = TdcSetPrinterDirectCallbacks(handle, Series(record));
  if (registered != 0) {
    ReleaseSharedConnection(backendEnv.get(), kSharedUserPrinter, handle);
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

  const int callbacks = TdcSetConnectionCallbacks(connection);
  if (callbacks != 0) {
    TdevDisconnectIfUnused(backendEnv.get(), connection);
    return callbacks;
  }
  void* device = nullptr;
  const int opened = TdevOpenDeviceSync(backendEnv.get(), connection, target.deviceId,
                                        TDEV_DEVICE_PRINTER, &device);
  if (opened != 0 || device == nullptr) {
    if (opened == 0) TdevCloseDeviceSync(backendEnv.get(), connection, device);
    TdevDisconnectIfUnused(backendEnv.get(), connection);
    return opened != 0 ? TdcFromServiceResult(opened) : TDC_ERR_FAILURE;
  }
  auto* printer = static_cast<TdevPrinterHandle_t*>(device);
  const int registered = TdcSetPrinterServiceCallbacks(printer, Series(record));
  if (registered != 0) {
    TdevCloseDeviceSync(backendEnv.get(), connection, device);
    TdevDisconnectIfUnused(backendEnv.get(), connection);
    return registered;
  }
  // Without its listener the record would keep the handles a later
  // disconnect of the host frees: undo the whole connect.
  const int listened = TdcAddConnectionListener(connection, record, &TdcOnPrinterConnectionEvent);
  if (listened != 0) {
    TdevCloseDeviceSync(backendEnv.get(), connection, device);
    TdevDisconnectIfUnused(backendEnv.get(), connection);
    return listened;
  }
  *state = {TDC_MODE_SERVICE, connection, device, device};
  return TDC_SUCCESS;
}

}  // namespace

// ---- Record life and registry ---------------------------------------------------------

int TdcCreatePrinter(TdcPrinter_t** out, int32_t series, int32_t modelLang) {
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

int TdcDestroyPrinter(TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  // No connection event reaches the record from here on.
  TdcRemoveConnectionListener(record);
  TdcRetirePrinter(record, &FreePrinterRecord);
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
  } else if (Series(record) == 14 || Series(record) == 17) {
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
  const int connected = mode == TDC_MODE_DIRECT
                            ? ConnectDirect(env, record, *parsed, portType, timeoutMs, &state)
                            : ConnectService(env, record, *parsed, portType, timeoutMs, &state);
  if (connected != 0) {
    FreeOps(record);
    TdcClearPrinterState(record);
    return connected;
  }
  record->settings->portType = portType;
  TdcWritePrinterState(record, state);
  return TDC_SUCCESS;
}

int TdcDisconnectPrinter(TdcEnvData_t* env, TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  bool reportDisconnected = false;
  {
    TdcPrinterOperation operation(record);
    if (!operation.Locked()) return TDC_ERR_FAILURE;
    const TdcPrinterState_t state = operation.State();
    if (state.handle == nullptr) return TDC_ERR_ILLEGAL;

    if (state.mode == TDC_MODE_DIRECT) {
      TdcScopedBackendEnv backendEnv(PortType(record), TDC_MODE_DIRECT, env);
      auto* handle = static_cast<PrintHandle_t*>(state.handle);
      const int released = ReleaseSharedConnection(backendEnv.get(), kSharedUserPrinter, handle);
      if (released != 0) return TdcFromEngineResult(released);
      TiloDestroyBuilder(static_cast<PrinterBuilder_t*>(state.builder));
    } else if (state.mode == TDC_MODE_SERVICE) {
      TdcScopedBackendEnv backendEnv(PortType(record), TDC_MODE_SERVICE, env);
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
  }
  // Outside the operation mutex: the app's handler may start another operation.
  if (reportDisconnected && record->connectionCallback != nullptr) {
    record->connectionCallback(record, TDC_EVENT_DISCONNECTED, record->connectionUser);
  }
  return TDC_SUCCESS;
}

// ---- Status and immediate operations -------------------------------------------------

TdcStatus_t* TdcGetPrinterStatus(TdcEnvData_t* env, TdcPrinter_t* record) {
  if (record == nullptr) return TdcNewStatus();
  TdcPrinterOperation operation(record);
  const TdcPrinterState_t& state = operation.State();
  if (!operation.Locked() || state.handle == nullptr) return TdcNewStatus();

  if (state.mode == TDC_MODE_DIRECT) {
    auto* handle = static_cast<PrintHandle_t*>(state.handle);
    if (!IsConnectionOpen(handle)) return TdcNewStatus();
    TdcScopedBackendEnv backendEnv(PortType(record), TDC_MODE_DIRECT, env);
    uint32_t flags = 0;
    int32_t battery = 0;
    if (TiloGetStatus(backendEnv.get(), handle, &flags, &battery) != 0) return TdcNewStatus();
    return TdcMakePrinterStatus(Series(record), flags, battery);
  }
  if (state.mode == TDC_MODE_SERVICE) {
    TdcScopedBackendEnv backendEnv(PortType(record), TDC_MODE_SERVICE, env);
    uint32_t word = 0;
    int32_t battery = 0;
    const int asked = TdevPrinterGetStatus(
        backendEnv.get(), static_cast<TdevPrinterHandle_t*>(state.handle), &word, &battery);
    // Word 0 means the query never ran: no reply ever gives it.
    if (asked != 0 || word == 0) return TdcNewStatus();
    return TdcMakePrinterServiceStatus(Series(record), word, battery);
  }
  return TdcNewStatus();
}

int TdcRequestPrintJobStatus(TdcEnvData_t* env, TdcPrinter_t* record, const char* printJobId) {
  if (record == nullptr || printJobId == nullptr) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  const TdcPrinterState_t& state = operation.State();
  if (state.handle == nullptr) return TDC_ERR_ILLEGAL;
  if (state.mode == TDC_MODE_DIRECT) return TDC_SUCCESS;
  if (state.mode != TDC_MODE_SERVICE) return TDC_ERR_FAILURE;
  TdcScopedBackendEnv backendEnv(PortType(record), TDC_MODE_SERVICE, env);
  // No body: the service answers about that job without printing.
  const int sent = TdevPrinterSendData(
      backendEnv.get(), static_cast<TdevPrinterHandle_t*>(state.handle), 10000, printJobId, 0, 1);
  return TdcFromServiceResult(sent);
}

namespace {

// The checks both immediate operations share; 0 when the service may be asked.
int CheckImmediate(const TdcPrinterOperation& operation, int32_t timeoutMs) {
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  const TdcPrinterState_t& state = operation.State();
  if (state.handle == nullptr) return TDC_ERR_ILLEGAL;
  if (!ValidImmediateTimeout(timeoutMs)) return TDC_ERR_PARAM;
  if (state.mode == TDC_MODE_DIRECT) return TDC_ERR_UNSUPPORTED;
  if (state.mode != TDC_MODE_SERVICE) return TDC_ERR_FAILURE;
  return TDC_SUCCESS;
}

}  // namespace

int TdcForceStopSound(TdcEnvData_t* env, TdcPrinter_t* record, int32_t timeoutMs) {
  if (record == nullptr) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  if (const int checked = CheckImmediate(operation, timeoutMs); checked != 0) return checked;
  TdcScopedBackendEnv backendEnv(PortType(record), TDC_MODE_SERVICE, env);
  return TdcFromServiceResult(TdevPrinterForceStopSound(
      backendEnv.get(), static_cast<TdevPrinterHandle_t*>(operation.State().handle), timeoutMs));
}

int TdcForcePrinterCommand(TdcEnvData_t* env, TdcPrinter_t* record, const uint8_t* bytes,
                           int32_t length, int32_t timeoutMs) {
  if (record == nullptr || bytes == nullptr || length <= 0) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  if (const int checked = CheckImmediate(operation, timeoutMs); checked != 0) return checked;
  TdcScopedBackendEnv backendEnv(PortType(record), TDC_MODE_SERVICE, env);
  return TdcFromServiceResult(TdevPrinterForceCommand(
      backendEnv.get(), static_cast<TdevPrinterHandle_t*>(operation.State().handle), bytes, length,
      timeoutMs));
}

}  // namespace tilo2::core
