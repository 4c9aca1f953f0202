#pragma once
// What the keyboard, barcode scanner, simple serial and message-box modules
// share: connect and disconnect through the device service, the connection
// listener, the record's operation scope and the lookups of the notifiers.
//
// Their records are allocated zero-filled by their owners and may be freed
// by them, so a record carries no lock that needs creating or destroying.
// Its operation lock is a zeroed PlatformMutex_t that becomes a static-kind
// mutex (an OS mutex exists only while someone uses it) the first time an
// operation needs it. The backend state and the callback pairs are read and
// written under one module-wide leaf lock, never held across a backend call
// or a callback. Each module instantiates these templates with a traits
// class K:
//   using Record; using Handle;
//   static Handle*& Key(Record*);                       // the registry key field
//   static TdcRegistryBase& Registry();
//   static int Open(TdcBackendEnv_t*, TdevConnection_t*, const char* deviceId,
//                   const char* memberId, Handle** out);
//   static int Close(TdcBackendEnv_t*, TdevConnection_t*, Handle*);
//   static int Install(Handle*);                        // the data notifiers
//   static void Listener(void* record, int32_t event);  // connection listener

#include <cstdint>
#include <cstdlib>

#include "device/code_tables.h"
#include "device/conn_listener.h"
#include "device/device_types.h"
#include "device/registry.h"
#include "device/service_connect.h"
#include "device/target.h"
#include "foundation/lock_guard.h"
#include "foundation/platform.h"
#include "service/device_service.h"

namespace tilo2::core::peripheral {

// The leaf lock of every peripheral record's state and callback pairs.
inline PlatformMutex_t& StateLock() {
  static PlatformMutex_t lock = PLATFORM_MUTEX_STATIC_INITIALIZER;
  return lock;
}

template <typename Handle>
struct State {
  int32_t mode;
  TdevConnection_t* connection;
  Handle* handle;
};

template <typename K>
State<typename K::Handle> ReadState(typename K::Record* record) {
  PlatformLockGuard lock(StateLock());
  if (!lock) return {TDC_MODE_CLOSED, nullptr, nullptr};
  return {record->mode, record->connection, K::Key(record)};
}

// Mode 0 without connection or handle.
template <typename K>
void SetClosed(typename K::Record* record) {
  PlatformLockGuard lock(StateLock());
  if (!lock) return;
  record->mode = TDC_MODE_CLOSED;
  record->connection = nullptr;
  K::Key(record) = nullptr;
}

// The registry key, read under the leaf lock.
template <typename K>
const void* KeyOf(void* record) {
  PlatformLockGuard lock(StateLock());
  if (!lock) return nullptr;
  return K::Key(static_cast<typename K::Record*>(record));
}

// Reads a callback pair consistently with the requests that replace it.
template <typename Fn>
bool ReadPair(Fn& function, void*& user, Fn* outFunction, void** outUser) {
  PlatformLockGuard lock(StateLock());
  if (!lock) return false;
  *outFunction = function;
  *outUser = user;
  return *outFunction != nullptr;
}

template <typename Fn>
void WritePair(Fn& function, void*& user, Fn newFunction, void* newUser) {
  PlatformLockGuard lock(StateLock());
  if (!lock) return;
  function = newFunction;
  user = newUser;
}

// One operation on a record that may reach the backend: holds a registered
// record so that destroying or unregistering it waits for the operation,
// serialises the record's operations (a close frees the handle another
// operation may be using), snapshots the state and, in mode 2, keeps the
// connection alive against a disconnect reported meanwhile.
template <typename K>
class Operation {
 public:
  using Record = typename K::Record;
  explicit Operation(Record* record) : record_(record) {
    held_ = K::Registry().Hold(record_);
    {
      PlatformLockGuard lock(StateLock());
      if (!lock) return;
      // Zero-filled by its owner: turn it into a lazily created mutex.
      if (record_->opLock.kind != PLATFORM_MUTEX_STATIC) {
        record_->opLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
      }
    }
    locked_ = platform_mutex_lock(&record_->opLock, -1) == PLATFORM_OK;
    if (!locked_) return;
    PlatformLockGuard lock(StateLock());
    if (!lock) return;
    state_ = {record_->mode, record_->connection, K::Key(record_)};
    // Taken under the leaf lock: a disconnect event clears the state under
    // it before the connection may be freed.
    if (state_.mode == TDC_MODE_SERVICE && state_.connection != nullptr) {
      TdcAcquireConnectionUse(state_.connection);
      use_ = state_.connection;
    }
  }
  ~Operation() {
    Unlock();
    // Last: this release may let a destroy free the record.
    if (held_) K::Registry().Release(record_);
  }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  bool Locked() const { return locked_; }
  const State<typename K::Handle>& Snapshot() const { return state_; }
  // Ends the serialisation early (before calling the app); the hold stays.
  void Unlock() {
    if (use_ != nullptr) TdcReleaseConnectionUse(use_);
    use_ = nullptr;
    if (locked_) platform_mutex_unlock(&record_->opLock);
    locked_ = false;
  }

 private:
  Record* record_;
  bool held_ = false;
  bool locked_ = false;
  TdevConnection_t* use_ = nullptr;
  State<typename K::Handle> state_{TDC_MODE_CLOSED, nullptr, nullptr};
};

// Connects the record through the device service: the target must name a
// device (or box) id on TCP or TCPS. A failure after the host connection was
// made undoes every earlier step and leaves mode 0.
template <typename K>
int Connect(TdcEnvData_t* env, typename K::Record* record, const char* target, int32_t timeoutMs,
            const char* memberId) {
  using Handle = typename K::Handle;
  if (record == nullptr || target == nullptr || !TdcValidConnectTimeout(timeoutMs)) {
    return TDC_ERR_PARAM;
  }
  Operation<K> operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  if (operation.Snapshot().handle != nullptr) return TDC_ERR_ILLEGAL;

  TdcTargetPtr parsed;
  int32_t portType = 0;
  int32_t mode = TDC_MODE_DIRECT;
  const int picked = TdcParseConnectTarget(target, &parsed, &portType, &mode);
  if (picked != 0) return picked;
  if (mode != TDC_MODE_SERVICE) return TDC_ERR_TYPE_INVALID;

  TdcScopedBackendEnv backendEnv(portType, TDC_MODE_SERVICE, env);
  TdcServiceLink link(backendEnv.get());
  int failed = link.Connect(parsed->address, portType, timeoutMs);
  if (failed == 0) failed = link.WatchConnection();
  Handle* handle = nullptr;
  if (failed == 0) {
    const int opened =
        K::Open(backendEnv.get(), link.connection(), parsed->deviceId, memberId, &handle);
    if (opened != 0 || handle == nullptr) {
      failed = link.Undo(opened != 0 ? TdcFromServiceResult(opened) : TDC_ERR_FAILURE);
    }
  }
  if (failed != 0) {
    SetClosed<K>(record);
    return failed;
  }
  TdevConnection_t* connection = link.connection();
  // Published before the listener is added, so a disconnect reported from
  // then on finds the record in mode 2 and closes it.
  {
    PlatformLockGuard lock(StateLock());
    if (!lock) {
      K::Close(backendEnv.get(), connection, handle);
      return link.Undo(TDC_ERR_FAILURE);
    }
    record->mode = TDC_MODE_SERVICE;
    record->portType = portType;
    record->connection = connection;
    K::Key(record) = handle;
  }
  // A device whose notifiers are missing would never report anything, and
  // a record without its listener would keep the handle after the host's
  // disconnect frees it: either undoes the whole connect.
  failed = K::Install(handle);
  if (failed != 0) failed = TdcFromServiceResult(failed);
  if (failed == 0) failed = TdcAddConnectionListener(connection, record, &K::Listener);
  if (failed != 0) {
    SetClosed<K>(record);
    K::Close(backendEnv.get(), connection, handle);
    return link.Undo(failed);
  }
  // A link lost before the listener was in place told the other records
  // only; the connection and its handles go when this connect lets go of it.
  if (TdevIsConnected(connection) != 1) {
    TdcRemoveConnectionListener(record);
    SetClosed<K>(record);
    return TDC_ERR_CONNECT;
  }
  return TDC_SUCCESS;
}

// Closes the device, drops the listener and the host connection when nothing
// else uses it. After a successful close the record is closed whatever the
// host connection does; event 2 is raised only when that step succeeded.
template <typename K>
int Disconnect(TdcEnvData_t* env, typename K::Record* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  Operation<K> operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  const auto state = operation.Snapshot();
  if (state.handle == nullptr) return TDC_ERR_ILLEGAL;
  if (state.mode != TDC_MODE_SERVICE) return TDC_ERR_FAILURE;

  TdcScopedBackendEnv backendEnv(record->portType, TDC_MODE_SERVICE, env);
  const int closed = K::Close(backendEnv.get(), state.connection, state.handle);
  if (closed != 0) return TdcFromServiceResult(closed);
  TdcRemoveConnectionListener(record);
  const int dropped = TdevDisconnectIfUnused(backendEnv.get(), state.connection);
  SetClosed<K>(record);
  operation.Unlock();
  if (dropped != 0) return TdcFromServiceResult(dropped);
  // Outside the operation lock: the app's handler may start another operation.
  TdcConnectionCallback callback = nullptr;
  void* user = nullptr;
  if (ReadPair(record->onConnection, record->onConnectionUser, &callback, &user)) {
    callback(record, TDC_EVENT_DISCONNECTED, user);
  }
  return TDC_SUCCESS;
}

// The connection listener: event 2 closes a record of mode 2 (its handle
// goes with the connection); every event then reaches the record's callback.
template <typename K>
void OnConnectionEvent(void* pointer, int32_t event) {
  auto* record = static_cast<typename K::Record*>(pointer);
  if (record == nullptr) return;
  if (event == TDC_EVENT_DISCONNECTED) {
    PlatformLockGuard lock(StateLock());
    if (lock && record->mode == TDC_MODE_SERVICE) {
      record->connection = nullptr;
      K::Key(record) = nullptr;
      record->mode = TDC_MODE_CLOSED;
    }
  }
  TdcConnectionCallback callback = nullptr;
  void* user = nullptr;
  if (ReadPair(record->onConnection, record->onConnectionUser, &callback, &user)) {
    callback(record, event, user);
  }
}

// A found record stays held (a destroy waits) until this scope ends.
template <typename K>
class Found {
 public:
  explicit Found(const void* handle)
      : record_(static_cast<typename K::Record*>(K::Registry().Find(handle))) {}
  ~Found() {
    if (record_ != nullptr) K::Registry().Release(record_);
  }
  Found(const Found&) = delete;
  Found& operator=(const Found&) = delete;
  typename K::Record* get() const { return record_; }

 private:
  typename K::Record* record_;
};

// Tells the record of a notifier's handle through one of its callback pairs:
// the callback gets the record, the values and the pair's user pointer,
// with the record held (a destroy waits) until it returned.
template <typename K, typename Fn, typename... Values>
void Deliver(const void* handle, Fn K::Record::*function, void* K::Record::*user,
             Values... values) {
  Found<K> found(handle);
  typename K::Record* record = found.get();
  if (record == nullptr) return;
  Fn callback = nullptr;
  void* callbackUser = nullptr;
  if (ReadPair(record->*function, record->*user, &callback, &callbackUser)) {
    callback(record, values..., callbackUser);
  }
}

// Destroy: no connection event reaches the record any more, it leaves the
// registry, and it is freed once no other thread's callback or operation
// holds it.
template <typename K>
int Destroy(typename K::Record* record, TdcRegistryFreeFn freeRecord) {
  if (record == nullptr) return TDC_ERR_PARAM;
  TdcRemoveConnectionListener(record);
  K::Registry().Retire(record, freeRecord);
  return TDC_SUCCESS;
}

inline void KeepRecord(void*) {}

// Unregister waits for the other threads' holds, so an owner that frees the
// record itself afterwards never frees it under a running callback.
template <typename K>
void Unregister(typename K::Record* record) {
  if (record != nullptr) K::Registry().Retire(record, &KeepRecord);
}

}  // namespace tilo2::core::peripheral
