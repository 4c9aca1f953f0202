// The line display record's registry, connect, send, status, disconnect and
// destroy on either backend, and the callbacks of both backends.
//
// The record is allocated by its owner without any lock of its own, so one
// module lock (a leaf: nothing else is taken under it) guards the backend
// state of every display record: mode, connection, handle and builder. A
// connect publishes that state only once every step succeeded, and a
// disconnect clears it before it reports anything, so a callback that finds
// the record never sees half a connection. Operations hold the record in the
// registry for their length, so a destroy on another thread waits for them.

#include "device/display_module.h"

#include <cstdlib>

#include "device/code_tables.h"
#include "device/conn_listener.h"
#include "device/registry.h"
#include "device/service_connect.h"
#include "device/service_notifiers.h"
#include "device/target.h"
#include "encoding/display/dsp_cmd_handle.h"
#include "engine/builder_records.h"
#include "engine/display_chain.h"
#include "engine/engine_ops.h"
#include "engine/event_callbacks.h"
#include "engine/shared_connection.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

constexpr const char* kDisplaySource = "tilo2_line_display";

PlatformMutex_t gStateLock = PLATFORM_MUTEX_STATIC_INITIALIZER;

struct State {
  int32_t mode;
  TdevConnection_t* connection;
  void* handle;
  void* builder;
};

State ReadState(TdcLineDisplay_t* record) {
  PlatformLockGuard lock(gStateLock);
  // Without the lock nothing consistent can be read: the record counts as closed.
  if (!lock) return {TDC_MODE_CLOSED, nullptr, nullptr, nullptr};
  return {record->mode, record->connection, record->handle, record->builder};
}

void WriteState(TdcLineDisplay_t* record, const State& state) {
  PlatformLockGuard lock(gStateLock);
  if (!lock) return;
  record->mode = state.mode;
  record->connection = state.connection;
  record->handle = state.handle;
  record->builder = state.builder;
}

const void* DisplayKey(void* record) {
  return ReadState(static_cast<TdcLineDisplay_t*>(record)).handle;
}

// Never destroyed: callbacks may still look records up while the process exits.
TdcRegistry<TdcLineDisplay_t>& DisplayRegistry() {
  static auto* registry = new TdcRegistry<TdcLineDisplay_t>(&DisplayKey);
  return *registry;
}

// One operation's view of the record: held in the registry (when registered)
// so a destroy waits for it, the state as it was at the start, and in mode 2
// a use of the connection, so a disconnect event meanwhile cannot free it
// under the operation's calls.
class Operation {
 public:
  explicit Operation(TdcLineDisplay_t* record)
      : record_(record), held_(DisplayRegistry().Hold(record)) {
    PlatformLockGuard lock(gStateLock);
    if (!lock) return;
    state_ = {record->mode, record->connection, record->handle, record->builder};
    if (state_.mode == TDC_MODE_SERVICE && state_.connection != nullptr) {
      TdcAcquireConnectionUse(state_.connection);
      use_ = state_.connection;
    }
  }
  ~Operation() {
    if (use_ != nullptr) TdcReleaseConnectionUse(use_);
    // Last: this release may free the record.
    if (held_) DisplayRegistry().Release(record_);
  }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  const State& state() const { return state_; }

 private:
  TdcLineDisplay_t* record_;
  bool held_;
  TdevConnection_t* use_ = nullptr;
  State state_{TDC_MODE_CLOSED, nullptr, nullptr, nullptr};
};

struct ModelRow {
  int32_t series;
  const char* name;
};
constexpr ModelRow kModelTable[] = {{0, "CD-A2"}, {1, "CD-A4"}, {2, "CD-A1"}};

const char* FindModelName(int32_t series) {
  for (const auto& row : kModelTable) {
    if (row.series == series) return row.name;
  }
  return nullptr;
}

void FreeOps(TdcLineDisplay_t* record) {
  std::free(record->ops);
  record->ops = nullptr;
}

TdevDocument_t* DocumentOf(void* handle) { return TdevGetDocument(handle); }

void ClearDirectBuilder(void* builder) {
  if (builder != nullptr) DspCmdClear(static_cast<DisplayBuilder_t*>(builder)->builder);
}

int ConnectDirect(TdcEnvData_t* env, TdcLineDisplay_t* record, const TdcTarget_t& target,
                  int32_t portType, int32_t timeoutMs, State* state) {
  int32_t connectionType = 0;
  const char* model = FindModelName(record->series);
  if (!TdcFindDirectPortType(portType, &connectionType) || model == nullptr) return TDC_ERR_PARAM;

  TdcScopedBackendEnv backendEnv(portType, TDC_MODE_DIRECT, env);
  PrintHandle_t* handle = nullptr;
  const int acquired = AcquireSharedConnection(backendEnv.get(), kSharedUserDisplay, connectionType,
                                               target.address, timeoutMs, &handle);
  if (acquired != 0) return TdcFromEngineResult(acquired);

  // The builder lives from the first direct connect until destroy.
  void* builder = ReadState(record).builder;
  if (builder == nullptr) {
    DisplayBuilder_t* created = nullptr;
    const int made = TiloCreateDisplayBuilder(&created, model);
    if (made != 0 || created == nullptr) {
      ReleaseSharedConnection(backendEnv.get(), kSharedUserDisplay, handle);
      return made != 0 ? TdcFromEngineResult(made) : TDC_ERR_FAILURE;
    }
    builder = created;
  }
  if (CheckHandleList(handle)) {
    SetResultCallback(handle, RESULT_DISPLAY,
                      reinterpret_cast<void*>(&TdcOnLineDisplayDirectResult));
  } else {
    log_error_line("ERROR", kDisplaySource, __LINE__);
  }
  *state = {TDC_MODE_DIRECT, nullptr, handle, builder};
  return TDC_SUCCESS;
}

// Every failing step undoes the earlier ones.
int ConnectService(TdcEnvData_t* env, TdcLineDisplay_t* record, const TdcTarget_t& target,
                   int32_t portType, int32_t timeoutMs, State* state) {
  TdcScopedBackendEnv backendEnv(portType, TDC_MODE_SERVICE, env);
  TdcServiceLink link(backendEnv.get());
  void* device = nullptr;
  const int opened = link.ConnectAndOpen(target, portType, timeoutMs, TDEV_DEVICE_DISPLAY, &device);
  if (opened != 0) return opened;
  // Without its result notifier no job of this display would ever report,
  // and without its listener the record would keep handles that the host's
  // disconnect frees: either failure undoes the connect.
  int installed = TdevDisplaySetReceiveCallback(static_cast<TdevDisplayHandle_t*>(device));
  installed = installed != 0 ? TdcFromServiceResult(installed)
                             : TdcAddConnectionListener(link.connection(), record,
                                                        &TdcOnLineDisplayConnectionEvent);
  if (installed != 0) return link.Undo(installed);
  *state = {TDC_MODE_SERVICE, link.connection(), device, device};
  return TDC_SUCCESS;
}

void FreeRecord(void* pointer) {
  auto* record = static_cast<TdcLineDisplay_t*>(pointer);
  const State state = ReadState(record);
  // In mode 2 the builder is the device handle, which the client owns.
  if (state.mode != TDC_MODE_SERVICE && state.builder != nullptr) {
    TiloDestroyDisplayBuilder(static_cast<DisplayBuilder_t*>(state.builder));
  }
  TdcClearLineDisplayCommands(&record->commands);
  // A table left by connection event 2 (the record was never disconnected).
  FreeOps(record);
  record->onReceive = nullptr;
  record->onReceiveUser = nullptr;
  record->onConnection = nullptr;
  record->onConnectionUser = nullptr;
  std::free(record);
}

void DeliverResult(const void* handle, int32_t code) {
  TdcLineDisplay_t* record = DisplayRegistry().Find(handle);
  if (record == nullptr) return;
  if (record->onReceive != nullptr) record->onReceive(record, code, record->onReceiveUser);
  DisplayRegistry().Release(record);
}

}  // namespace

// ---- Record life and registry ---------------------------------------------------------

int TdcRegisterLineDisplay(void*, TdcLineDisplay_t* record) {
  if (record != nullptr) DisplayRegistry().Register(record);
  return TDC_SUCCESS;
}

void TdcUnregisterLineDisplay(void*, TdcLineDisplay_t* record) {
  if (record != nullptr) DisplayRegistry().Unregister(record);
}

TdcLineDisplay_t* TdcFindLineDisplay(const void* handle) { return DisplayRegistry().Find(handle); }

void TdcReleaseLineDisplay(TdcLineDisplay_t* record) {
  if (record != nullptr) DisplayRegistry().Release(record);
}

int TdcDestroyLineDisplay(TdcLineDisplay_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  // No connection event reaches the record from here on.
  TdcRemoveConnectionListener(record);
  DisplayRegistry().Retire(record, &FreeRecord);
  return TDC_SUCCESS;
}

// ---- Connect and disconnect -------------------------------------------------------

int TdcConnectLineDisplay(TdcEnvData_t* env, TdcLineDisplay_t* record, const char* target,
                          int32_t timeoutMs) {
  if (record == nullptr || target == nullptr || !TdcValidConnectTimeout(timeoutMs)) {
    return TDC_ERR_PARAM;
  }
  Operation operation(record);
  const State current = operation.state();
  if (current.handle != nullptr) return TDC_ERR_ILLEGAL;

  TdcTargetPtr parsed;
  int32_t portType = 0;
  int32_t mode = TDC_MODE_DIRECT;
  const int picked = TdcParseConnectTarget(target, &parsed, &portType, &mode);
  if (picked != 0) return picked;

  // What a failure leaves: mode 0, and the direct builder kept for later.
  const State closed{TDC_MODE_CLOSED, nullptr, nullptr,
                     current.mode == TDC_MODE_SERVICE ? nullptr : current.builder};
  // A table left behind by connection event 2 goes before the new one.
  FreeOps(record);
  record->ops = static_cast<TdcLineDisplayOps_t*>(std::calloc(1, sizeof(TdcLineDisplayOps_t)));
  if (record->ops == nullptr) {
    WriteState(record, closed);
    return TDC_ERR_MEMORY;
  }
  if (mode == TDC_MODE_DIRECT) {
    TdcInitLineDisplayDirectOps(record->ops);
  } else {
    TdcInitLineDisplayServiceOps(record->ops);
  }

  State state{};
  const int connected = mode == TDC_MODE_DIRECT
                            ? ConnectDirect(env, record, *parsed, portType, timeoutMs, &state)
                            : ConnectService(env, record, *parsed, portType, timeoutMs, &state);
  if (connected != 0) {
    FreeOps(record);
    WriteState(record, closed);
    return connected;
  }
  record->portType = portType;
  WriteState(record, state);
  return TDC_SUCCESS;
}

int TdcDisconnectLineDisplay(TdcEnvData_t* env, TdcLineDisplay_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  int result = TDC_SUCCESS;
  bool reportDisconnected = false;
  {
    Operation operation(record);
    const State state = operation.state();
    if (state.handle == nullptr) return TDC_ERR_ILLEGAL;

    if (state.mode == TDC_MODE_DIRECT) {
      TdcScopedBackendEnv backendEnv(record->portType, TDC_MODE_DIRECT, env);
      const int released = ReleaseSharedConnection(backendEnv.get(), kSharedUserDisplay,
                                                   static_cast<PrintHandle_t*>(state.handle));
      if (released != 0) return TdcFromEngineResult(released);
      // The builder stays for the next connect.
      WriteState(record, {TDC_MODE_CLOSED, nullptr, nullptr, state.builder});
    } else if (state.mode == TDC_MODE_SERVICE) {
      TdcScopedBackendEnv backendEnv(record->portType, TDC_MODE_SERVICE, env);
      TdevDocClearBody(DocumentOf(state.handle));
      WriteState(record, {state.mode, state.connection, state.handle, nullptr});
      const int closed = TdevCloseDeviceSync(backendEnv.get(), state.connection, state.handle);
      if (closed != 0) {
        // Still open: the record stays usable, builder included.
        WriteState(record, state);
        return TdcFromServiceResult(closed);
      }
      TdcRemoveConnectionListener(record);
      WriteState(record, {TDC_MODE_CLOSED, nullptr, nullptr, nullptr});
      // The operation's use of the connection keeps it alive if the client
      // reports the host's disconnect meanwhile.
      result = TdcFromServiceResult(TdevDisconnectIfUnused(backendEnv.get(), state.connection));
      reportDisconnected = result == TDC_SUCCESS;
    } else {
      return TDC_ERR_FAILURE;
    }
    FreeOps(record);
  }
  // Outside every layer lock: the app's handler may start another operation.
  if (reportDisconnected && record->onConnection != nullptr) {
    record->onConnection(record, TDC_EVENT_DISCONNECTED, record->onConnectionUser);
  }
  return result;
}

// ---- Send and status --------------------------------------------------------------------

int TdcSendLineDisplayData(TdcEnvData_t* env, TdcLineDisplay_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  PrintHandle_t* portErrorHandle = nullptr;
  char* portErrorAddress = nullptr;
  {
    Operation operation(record);
    const State& state = operation.state();
    if (state.handle == nullptr) return TDC_ERR_ILLEGAL;

    const int replayed =
        TdcReplayLineDisplayCommands(state.mode, state.builder, {&record->commands, record->ops});
    if (replayed != 0) {
      // A replay stopped half-way must not leave its commands for the next job.
      if (state.mode == TDC_MODE_DIRECT) {
        ClearDirectBuilder(state.builder);
      } else if (state.mode == TDC_MODE_SERVICE) {
        TdevDocClearBody(DocumentOf(state.handle));
      }
      return replayed;
    }

    if (state.mode == TDC_MODE_SERVICE) {
      TdcScopedBackendEnv backendEnv(record->portType, TDC_MODE_SERVICE, env);
      const int sent =
          TdevDisplaySendData(backendEnv.get(), static_cast<TdevDisplayHandle_t*>(state.handle));
      TdevDocClearBody(DocumentOf(state.handle));
      return TdcFromServiceResult(sent);
    }
    if (state.mode != TDC_MODE_DIRECT) return TDC_ERR_FAILURE;

    auto* handle = static_cast<PrintHandle_t*>(state.handle);
    auto* builder = static_cast<DisplayBuilder_t*>(state.builder);
    if (IsConnectionOpen(handle)) {
      TdcScopedBackendEnv backendEnv(record->portType, TDC_MODE_DIRECT, env);
      // The queued job works on its own copy of the built bytes.
      const int sent = TiloSendDisplayData(backendEnv.get(), handle, builder);
      ClearDirectBuilder(builder);
      return TdcFromEngineResult(sent);
    }
    ClearDirectBuilder(builder);
    portErrorHandle = handle;
    portErrorAddress = CopySharedConnectionAddress(handle);
  }
  // The vanished connection still gets its result, before the send returns
  // and with no layer lock held: the app's handler may call into the record.
  const int posted =
      TdcPostPortErrorResult(portErrorHandle, portErrorAddress, TDC_PORT_ERROR_DISPLAY,
                             reinterpret_cast<void*>(&TdcOnLineDisplayDirectResult));
  std::free(portErrorAddress);
  // A report that could not be made would leave the app waiting for a result
  // that never comes: say so instead of answering success.
  return posted;
}

int32_t* TdcGetLineDisplayStatus(TdcEnvData_t* env, TdcLineDisplay_t* record) {
  auto* online = static_cast<int32_t*>(std::malloc(sizeof(int32_t)));
  if (online == nullptr) return nullptr;
  *online = 0;
  if (record == nullptr) return online;
  Operation operation(record);
  const State& state = operation.state();
  if (state.handle == nullptr) return online;

  if (state.mode == TDC_MODE_DIRECT) {
    auto* handle = static_cast<PrintHandle_t*>(state.handle);
    if (!IsConnectionOpen(handle)) return online;
    TdcScopedBackendEnv backendEnv(record->portType, TDC_MODE_DIRECT, env);
    uint32_t flags = 0;
    int32_t battery = 0;
    const int asked = TiloGetStatus(backendEnv.get(), handle, &flags, &battery);
    *online = asked == 0 && (flags & kStatusNoResponse) == 0 ? 1 : 0;
    return online;
  }
  if (state.mode == TDC_MODE_SERVICE) {
    *online = TdevIsConnected(state.connection) == 1 ? 1 : 0;
    return online;
  }
  std::free(online);
  return nullptr;
}

// ---- Backend callbacks ---------------------------------------------------------------

void TdcOnLineDisplayDirectResult(PrintHandle_t* handle, const char*, int32_t code) {
  DeliverResult(handle, TdcCallbackFromEngine(code));
}

void TdcOnLineDisplayServiceResult(void* handle, const char*, const char*, int32_t, int32_t result,
                                   uint32_t, int32_t) {
  DeliverResult(handle, TdcCallbackFromService(result));
}

// Runs under the listener list's lock, which keeps another thread's destroy
// of the record waiting at its listener removal. The record may be destroyed
// by its own connection callback (on this thread), so it is not touched
// after that call.
void TdcOnLineDisplayConnectionEvent(void* pointer, int32_t event) {
  auto* record = static_cast<TdcLineDisplay_t*>(pointer);
  if (record == nullptr) return;
  if (event == TDC_EVENT_DISCONNECTED) {
    PlatformLockGuard guard(gStateLock);
    if (guard && record->mode == TDC_MODE_SERVICE) {
      // The operation table stays: the next connect or destroy frees it.
      record->handle = nullptr;
      if (record->connection != nullptr) {
        record->connection = nullptr;
        record->builder = nullptr;
      }
      record->mode = TDC_MODE_CLOSED;
    }
  }
  TdcConnectionCallback callback = record->onConnection;
  void* user = record->onConnectionUser;
  if (callback != nullptr) callback(record, event, user);
}

}  // namespace tilo2::core
