#pragma once
// What every device class shares: the IDevice interface and its
// ConnectionChanged event, raised when a connection through a device service
// is lost, comes back or ends.

#include <cstdint>

#include "orvik/tilo2/enum_list.h"
#include "orvik/tilo2/event.h"
#include "orvik/tilo2/export.h"
#include "orvik/tilo2/object.h"
#include "orvik/tilo2/string.h"

// The core's connection event numbers are the members' own.
#define TILO2_CONNECTION_EVENT_LIST(MEMBER, ROW) \
  MEMBER(Reconnecting, 0, 0)                     \
  MEMBER(Reconnect, 1, 1)                        \
  MEMBER(Disconnect, 2, 2)

namespace Orvik::Tilo::Tilo2 {

enum class ConnectionEvent : int32_t {
  TILO2_CONNECTION_EVENT_LIST(TILO2_ENUM_MEMBER, TILO2_ENUM_NO_ROW)
};

namespace detail {
// The library's way to make event arguments, which apps cannot construct.
struct EventArgsFactory;
}  // namespace detail

// The arguments of ConnectionChanged.
class TILO2_EXPORT ConnectionChangedEventArgs final : public Object {
 public:
  ~ConnectionChangedEventArgs() override;

  ConnectionEvent EventType() const noexcept { return eventType_; }

  // "Orvik.Tilo.Tilo2.ConnectionChangedEventArgs"
  String GetRuntimeClassName() const override;

 private:
  friend struct detail::EventArgsFactory;
  explicit ConnectionChangedEventArgs(ConnectionEvent eventType);

  ConnectionEvent eventType_;
};

using ConnectionChangedHandler = TypedEventHandler<Object, ConnectionChangedEventArgs>;

// Implemented by every device class. Events are raised synchronously on the
// thread that reports them (a device service's receive thread, or the thread
// that disconnects), so a handler that blocks holds that thread up. An
// exception leaving a handler ends that one raise: later handlers miss that
// event, and the reporting thread goes on.
//
// A handler may start any operation of its sender; on a device service's
// receive thread, a call that would wait for a reply read on that thread
// (a status query, a send, a disconnect) fails at once with ErrIllegalState.
// Capture the sender the handler receives, not the object's own shared_ptr.
//
// A device object is not given to handlers once it is being destroyed: the
// Disconnect that its own destruction causes reaches no handler. Which thread
// raises which event and what a handler may call: docs/threading.md.
class TILO2_EXPORT IDevice {
 public:
  virtual ~IDevice();

  // The administrator name and the location the device service reports for a
  // device connected through it; "" otherwise. Never throw.
  virtual String Admin() const = 0;
  virtual String Location() const = 0;

  // Adding throws RuntimeException(kEPointer) for an empty handler; removing an
  // unknown token does nothing. Both are safe from any thread, handlers included.
  virtual EventToken ConnectionChanged(ConnectionChangedHandler handler) = 0;
  virtual void ConnectionChanged(EventToken token) = 0;

 protected:
  IDevice() = default;
  IDevice(const IDevice&) = default;
  IDevice& operator=(const IDevice&) = default;
};

}  // namespace Orvik::Tilo::Tilo2
