#pragma once
// The message-box module: a named box on a printer's device service through
// which apps that joined it under a member id exchange text messages. The
// history and send requests complete later through result callbacks that
// carry the request's sequence number; messages from others arrive through
// the receive callback.

#include <cstdint>

#include "device/device_types.h"
#include "foundation/platform.h"
#include "service/device_service.h"

namespace tilo2::core {

// One message; every string is optional (null). Arrays are contiguous.
struct TdcCommBoxMessage_t {
  char* senderId;
  char* receiverId;
  char* message;
};

// Messages handed to these callbacks are the layer's copies, freed after the
// call returns.
using TdcCommHistoryCallback = void (*)(void* record, int32_t code, TdcCommBoxMessage_t* messages,
                                        int32_t count, int32_t sequence, void* user);
using TdcCommSendResultCallback = void (*)(void* record, int32_t code, int32_t count,
                                           int32_t sequence, void* user);
using TdcCommReceiveCallback = void (*)(void* record, TdcCommBoxMessage_t* message, void* user);

// Allocated zero-filled by its owner with mode -3; freed by TdcDestroyCommBox
// (or by the owner after TdcUnregisterCommBox).
struct TdcCommBox_t {
  int32_t mode;      // TdcBackendMode: -3 never connected, 0 closed, 2 device service
  int32_t portType;  // TdcPortType of the last connect: 1 TCP or 2 TCPS
  TdevConnection_t* connection;
  TdevCommBoxEntry_t* commBox;       // the registry key; null when not connected
  TdcCommHistoryCallback onHistory;  // stored by each history request
  void* onHistoryUser;
  TdcCommSendResultCallback onSendResult;  // stored by each send request
  void* onSendResultUser;
  TdcCommReceiveCallback onReceive;
  void* onReceiveUser;
  TdcConnectionCallback onConnection;
  void* onConnectionUser;

  // Our own: serialises the record's operations; zero-filled is its valid start.
  PlatformMutex_t opLock;
};

// The target's device id is the box id; memberId is this app's id in the
// box. Results as TdcConnectKeyboard.
int TdcConnectCommBox(TdcEnvData_t* env, TdcCommBox_t* record, const char* target,
                      const char* memberId, int32_t timeoutMs);
int TdcDisconnectCommBox(TdcEnvData_t* env, TdcCommBox_t* record);
// 1 null record; 5 not connected; 1 null sequence, callback or user. The
// pair is stored before the request goes out (a result may arrive before
// this returns) and forgotten when the request fails; *sequence is written
// on success.
int TdcGetCommHistory(TdcEnvData_t* env, TdcCommBox_t* record, int32_t* sequence,
                      TdcCommHistoryCallback callback, void* user);
// As TdcGetCommHistory; the member id is required, the message is passed on.
int TdcSendCommBoxMessage(TdcEnvData_t* env, TdcCommBox_t* record, const char* memberId,
                          const char* message, int32_t* sequence,
                          TdcCommSendResultCallback callback, void* user);
int TdcDestroyCommBox(TdcCommBox_t* record);

void TdcRegisterCommBox(TdcCommBox_t* record);
// Also waits until no other thread's callback or operation holds the record.
void TdcUnregisterCommBox(TdcCommBox_t* record);
// Held until TdcReleaseCommBox; null for none.
TdcCommBox_t* TdcFindCommBox(const void* entry);
void TdcReleaseCommBox(TdcCommBox_t* record);

// Duplicates each present string of source into destination. 1 null
// argument; 10 when a copy fails (destination left empty).
int TdcCopyCommBoxMessage(const TdcCommBoxMessage_t* source, TdcCommBoxMessage_t* destination);
// A new array of count copies; null for a null array, count <= 0 or a failed
// copy (nothing left allocated). Freed with TdcFreeCommBoxMessages.
TdcCommBoxMessage_t* TdcCopyCommBoxMessages(const TdcCommBoxMessage_t* messages, int32_t count);
void TdcFreeCommBoxMessages(TdcCommBoxMessage_t* messages, int32_t count);

void TdcOnCommBoxConnectionEvent(void* record, int32_t event);

// Tests only: the nth string copy from now (1: the next) fails as if out of
// memory; 0 lets every copy succeed.
void TdcFailCommBoxCopy(int nth);

}  // namespace tilo2::core
