#pragma once
// The global list that ties device-service connections to the device records
// using them, the three notifiers the client calls for a connection, and the
// uses that keep a connection alive while an operation works with it.

#include <cstdint>

#include "device/device_types.h"

namespace tilo2::core {

struct TdcConnListener_t {
  TdevConnection_t* connection;
  void* record;
  TdcListenerCallback callback;
  TdcConnListener_t* next;
};

// 1 any argument null; 10 no memory; 255 lock failure; else appended, 0.
int TdcAddConnectionListener(TdevConnection_t* connection, void* record,
                             TdcListenerCallback callback);
// 1 null; 255 lock failure; removes the first node of the record; 0.
int TdcRemoveConnectionListener(void* record);
// Installs the three notifiers; the first failure translated (no row: 1).
int TdcSetConnectionCallbacks(TdevConnection_t* connection);

// Notifiers the client calls on its own threads (host unused).
void TdcOnReconnecting(TdevConnection_t* connection, const char* host);
void TdcOnReconnected(TdevConnection_t* connection, const char* host);
// Tells every record of the connection, unlinks their nodes, then destroys
// the connection at once, or at its last use when an operation holds one.
void TdcOnDisconnected(TdevConnection_t* connection, const char* host);

// An operation that calls the client with a connection takes a use of it
// first, so a disconnect meanwhile cannot free it under the call.
void TdcAcquireConnectionUse(TdevConnection_t* connection);
void TdcReleaseConnectionUse(TdevConnection_t* connection);

}  // namespace tilo2::core
