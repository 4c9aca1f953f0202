// The keyboard, scanner, serial and message-box operations over the device
// service: the setters that install the device layer's notifiers, the
// keyboard's prefix set, the serial device's raw command and the message-box
// history and send requests. None of them waits for an answer: each writes one
// message under the connection's send lock (tried without waiting) and
// returns; answers and input reach the installed notifiers on the receive
// thread.

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "device/service_notifiers.h"
#include "foundation/lock_guard.h"
#include "service/device_handles.h"
#include "service/device_service.h"
#include "service/host_connection.h"
#include "service/ops_support.h"
#include "service/reply_codes.h"
#include "service/request_messages.h"

namespace tilo2::core {

namespace {

// The connection a handle or entry was opened on, ready to carry a request:
// 255 when it is gone or has no channel, 4 when it is not connected. A request
// written on a link the service has not taken back yet (a reconnect under
// way) would reach a session that holds none of our devices or boxes.
int UsableConnection(const std::weak_ptr<TdevConnection_t>& weak, TdevConnectionRef* out) {
  TdevConnectionRef connection = weak.lock();
  if (connection == nullptr) return 255;
  if (TdevGetCondition(connection.get()) != TDEV_CONDITION_CONNECTED) return 4;
  if (TdevConnectionChannel(connection.get(), nullptr) == nullptr) return 255;
  *out = std::move(connection);
  return 0;
}

// Replaces the prefix set in one step under its lock, so a reader sees the
// old set or the new one, never a half-built one: the distinct non-zero codes
// in the order first given, as many as the area holds.
int ReplacePrefix(TdevKeyboardHandle_t* keyboard, const uint8_t* bytes, int32_t count) {
  char next[sizeof keyboard->prefix]{};
  size_t used = 0;
  for (int32_t i = 0; i < count && used < sizeof next - 1; ++i) {
    const char code = static_cast<char>(bytes[i]);
    if (code == 0 || std::memchr(next, code, used) != nullptr) continue;
    next[used++] = code;
  }
  PlatformLockGuard guard(keyboard->prefixLock);
  if (!guard) return 255;
  std::memcpy(keyboard->prefix, next, sizeof next);
  return 0;
}

// The common frame of the history and send requests: checks the entry and
// its connection, installs the reply callback, hands out the sequence
// number before anything is sent, and sends what build makes of it.
template <class Callback, class Build>
int BoxRequest(TdevCommBoxEntry_t* entry, int32_t* sequence, Callback TdevCommBoxEntry_t::*slot,
               Callback callback, Build build) {
  auto live = TdevRefCommBoxEntry(entry);
  if (live == nullptr || live->boxId.empty()) return 255;
  TdevConnectionRef connection;
  if (const int usable = UsableConnection(live->connectionRef, &connection)) return usable;
  if (TdevStoreCallback(live->callbackLock, &(live.get()->*slot), callback) != 0) return 255;
  const int32_t next = TdevNextSequence(connection.get());
  if (next == 0) return 255;
  // Written first: the answer may arrive before this call returns, and the
  // caller matches it by this number.
  *sequence = next;
  TdevBuffer_t* message = nullptr;
  const int built = build(live->boxId.c_str(), next, &message);
  return TdevConnectionSendBuilt(connection.get(), built, message);
}

}  // namespace

// ---- Callback setters ---------------------------------------------------------------

int TdevKeyboardSetKeyPressCallback(TdevKeyboardHandle_t* handle) {
  return TdevInstallNotifier(handle, TDEV_DEVICE_KEYBOARD, &TdevKeyboardHandle_t::keyPress,
                             &TdcOnKeyPress);
}

int TdevKeyboardSetStringCallback(TdevKeyboardHandle_t* handle) {
  return TdevInstallNotifier(handle, TDEV_DEVICE_KEYBOARD, &TdevKeyboardHandle_t::string,
                             &TdcOnReadString);
}

int TdevScannerSetDataCallback(TdevDeviceHandle_t* handle) {
  return TdevInstallNotifier(handle, TDEV_DEVICE_SCANNER, &TdevDeviceHandle_t::dataText,
                             &TdcOnScanData);
}

int TdevSerialSetDataCallback(TdevDeviceHandle_t* handle) {
  // Serial input and command replies both arrive as bytes.
  return TdevInstallNotifier(handle, TDEV_DEVICE_SERIAL, &TdevDeviceHandle_t::dataBytes,
                             &TdcOnSerialData);
}

int TdevCommBoxSetReceiveCallback(TdevCommBoxEntry_t* entry) {
  auto live = TdevRefCommBoxEntry(entry);
  if (live == nullptr) return 1;
  return TdevStoreCallback<TdevCommReceiveCallback>(live->callbackLock, &live->receive,
                                                    &TdcOnCommBoxReceive);
}

// ---- Keyboard prefix ------------------------------------------------------------------

int TdevKeyboardSetPrefix(TdcBackendEnv_t*, TdevKeyboardHandle_t* handle, const uint8_t* bytes,
                          int32_t length) {
  auto keyboard = TdevRefKind<TdevKeyboardHandle_t>(handle, TDEV_DEVICE_KEYBOARD);
  if (keyboard == nullptr || length < 0) return 1;
  TdevConnectionRef connection;
  if (const int usable = UsableConnection(keyboard->connectionRef, &connection)) return usable;
  // No codes (none given or a count of 0) clears the set and sends none.
  const int32_t count = bytes != nullptr ? length : 0;
  // Replaced before the send, and stays replaced when the send fails: the
  // set is what the app asked for last.
  if (ReplacePrefix(keyboard.get(), bytes, count) != 0) return 255;
  // The codes go out as given, repeats and 0 included; the service decides.
  return TdevSendRequest(connection.get(), [&](int32_t sequence, TdevBuffer_t** message) {
    return TdevMsgSetPrefix(keyboard->deviceId.c_str(), bytes, count, sequence, message);
  });
}

int TdevKeyboardGetPrefix(TdevKeyboardHandle_t* handle, uint8_t* out, int32_t capacity,
                          int32_t* length) {
  if (out == nullptr || length == nullptr || capacity < 0) return 1;
  auto keyboard = TdevRefKind<TdevKeyboardHandle_t>(handle, TDEV_DEVICE_KEYBOARD);
  if (keyboard == nullptr) return 1;
  PlatformLockGuard guard(keyboard->prefixLock);
  if (!guard) return 255;
  const size_t used = std::char_traits<char>::length(keyboard->prefix);
  *length = static_cast<int32_t>(used);
  // Too small an area gets nothing rather than a cut set; *length tells
  // what it needs.
  if (used > static_cast<size_t>(capacity)) return 1;
  std::memcpy(out, keyboard->prefix, used);
  return 0;
}

// ---- Serial command -------------------------------------------------------------------

int TdevSerialSendCommand(TdcBackendEnv_t*, TdevDeviceHandle_t* handle, const uint8_t* bytes,
                          int32_t length) {
  auto serial = TdevRefKind<TdevDeviceHandle_t>(handle, TDEV_DEVICE_SERIAL);
  if (serial == nullptr || bytes == nullptr || length <= 0) return 1;
  TdevConnectionRef connection;
  if (const int usable = UsableConnection(serial->connectionRef, &connection)) return usable;
  // Two digits per byte must still fit a message length.
  if (length > (std::numeric_limits<int32_t>::max() - 1) / 2) return 12;
  std::string hex;
  try {
    hex.resize(static_cast<size_t>(length) * 2 + 1);
  } catch (const std::bad_alloc&) {
    return 12;
  }
  TdevBytesToHex(bytes, length, hex.data());
  return TdevSendRequest(connection.get(), [&](int32_t sequence, TdevBuffer_t** message) {
    return TdevMsgSendCommand(serial->deviceId.c_str(), hex.data(), length * 2, sequence, message);
  });
}

// ---- Message-box requests -------------------------------------------------------------

int TdevGetCommHistory(TdcBackendEnv_t*, TdevCommBoxEntry_t* entry, int32_t* sequence) {
  if (entry == nullptr || sequence == nullptr) return 1;
  return BoxRequest<TdevCommHistoryCallback>(
      entry, sequence, &TdevCommBoxEntry_t::history, &TdcOnCommBoxHistory,
      [](const char* boxId, int32_t next, TdevBuffer_t** message) {
        return TdevMsgGetCommHistory(boxId, next, message);
      });
}

int TdevSendCommBoxMessage(TdcBackendEnv_t*, TdevCommBoxEntry_t* entry, const char* memberId,
                           const char* message, int32_t* sequence) {
  if (entry == nullptr || message == nullptr || sequence == nullptr) return 1;
  // A null member id leaves the member element out.
  return BoxRequest<TdevCommSendCallback>(
      entry, sequence, &TdevCommBoxEntry_t::sendResult, &TdcOnCommBoxSendResult,
      [&](const char* boxId, int32_t next, TdevBuffer_t** out) {
        return TdevMsgCommBoxSend(boxId, memberId, message, next, out);
      });
}

}  // namespace tilo2::core
