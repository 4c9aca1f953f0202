#pragma once
// What the device operations over the service share: the kind-checked handle
// reference, the callback store under a record's lock, and the one-message
// request (next sequence number, build, send, free).

#include <cstdint>
#include <memory>
#include <type_traits>

#include "foundation/lock_guard.h"
#include "service/device_handles.h"
#include "service/host_connection.h"
#include "service/request_messages.h"

namespace tilo2::core {

// The live handle behind a pointer, when it is of the wanted kind. A handle
// of another kind is treated as missing: its record has other fields.
template <class Handle>
std::shared_ptr<Handle> TdevRefKind(const void* handle, uint32_t type) {
  auto base = TdevRefHandle(handle);
  if (base == nullptr || base->type != type) return nullptr;
  return std::static_pointer_cast<Handle>(base);
}

// Stores one callback under its record's callback lock: 0, or 255 when the
// lock cannot be had.
template <class Callback>
int TdevStoreCallback(PlatformMutex_t& lock, Callback* field,
                      std::type_identity_t<Callback> function) {
  PlatformLockGuard guard(lock);
  if (!guard) return 255;
  *field = function;
  return 0;
}

// Installs a notifier in a slot of a live handle of the given kind: 1 for a
// missing handle or one of another kind.
template <class Handle, class Callback>
int TdevInstallNotifier(const void* handle, uint32_t type, Callback Handle::*slot,
                        std::type_identity_t<Callback> function) {
  auto live = TdevRefKind<Handle>(handle, type);
  if (live == nullptr) return 1;
  return TdevStoreCallback(live->callbackLock, &(live.get()->*slot), function);
}

// Takes the connection's next sequence number, has build(sequence, &message)
// make the message and sends it under the send lock (tried, 2 when busy):
// the builder's failure translated, else the channel's result.
template <class Build>
int TdevSendRequest(TdevConnection_t* connection, Build&& build) {
  TdevBuffer_t* message = nullptr;
  const int built = build(TdevNextSequence(connection), &message);
  return TdevConnectionSendBuilt(connection, built, message);
}

}  // namespace tilo2::core
