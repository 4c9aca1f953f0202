#pragma once
// The POS keyboard module: a keyboard is reached only through the device
// service of a network printer. Connect opens it there and installs the
// key-press and string notifiers; the prefix bytes that mark strings are set
// and read back through the device-service handle.

#include <cstdint>

#include "device/device_types.h"
#include "foundation/platform.h"
#include "service/device_service.h"

namespace tilo2::core {

// The texts are valid only during the call.
using TdcKeyPressCallback = void (*)(void* record, int32_t keyCode, const char* text, void* user);
using TdcReadStringCallback = void (*)(void* record, const char* text, int32_t prefix, void* user);

// Allocated zero-filled by its owner with mode -3; freed by TdcDestroyKeyboard
// (or by the owner after TdcUnregisterKeyboard). The owner stores the
// callbacks before it connects.
struct TdcKeyboard_t {
  int32_t mode;      // TdcBackendMode: -3 never connected, 0 closed, 2 device service
  int32_t portType;  // TdcPortType of the last connect: 1 TCP or 2 TCPS
  TdevConnection_t* connection;
  TdevKeyboardHandle_t* device;  // the registry key; null when not connected
  TdcKeyPressCallback onKeyPress;
  void* onKeyPressUser;
  TdcReadStringCallback onString;
  void* onStringUser;
  TdcConnectionCallback onConnection;
  void* onConnectionUser;

  // Our own: serialises the record's operations; zero-filled is its valid start.
  PlatformMutex_t opLock;
};

// timeoutMs -2 or 1000..300000. 1 bad arguments; 5 already connected; the
// target parser's result; 7 without a device id or on a port other than TCP
// or TCPS; else the device service's result translated.
int TdcConnectKeyboard(TdcEnvData_t* env, TdcKeyboard_t* record, const char* target,
                       int32_t timeoutMs);
// 1 null; 5 not connected; 255 not on the device service; a failed close is
// translated and leaves the record connected. After the close the record is
// closed; event 2 follows on this thread when the host connection was let go.
int TdcDisconnectKeyboard(TdcEnvData_t* env, TdcKeyboard_t* record);
// 1 null record; 255 not connected; else the device service's result.
int TdcSetPrefix(TdcEnvData_t* env, TdcKeyboard_t* record, const uint8_t* bytes, int32_t length);
// The prefix set (distinct non-zero bytes in first-seen order) and its
// length. 1 null record or out pointer; 255 not connected; 1 no device or
// no length pointer; 255 when the set could not be read. *bytes points into
// storage of the calling thread, valid until its next TdcGetPrefix: copy it.
int TdcGetPrefix(TdcKeyboard_t* record, const uint8_t** bytes, int32_t* length);
// 1 null; else leaves the listener list and the registry and frees the
// record once no other thread's callback or operation holds it; 0.
int TdcDestroyKeyboard(TdcKeyboard_t* record);

void TdcRegisterKeyboard(TdcKeyboard_t* record);
// Also waits until no other thread's callback or operation holds the record.
void TdcUnregisterKeyboard(TdcKeyboard_t* record);
// The registered record of the handle, held until TdcReleaseKeyboard; null for none.
TdcKeyboard_t* TdcFindKeyboard(const void* handle);
void TdcReleaseKeyboard(TdcKeyboard_t* record);

// Connection listener of keyboard records.
void TdcOnKeyboardConnectionEvent(void* record, int32_t event);

}  // namespace tilo2::core
