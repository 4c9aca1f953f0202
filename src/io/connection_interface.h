#pragma once
// The single door through which the print engine reaches a directly connected
// printer: open and close over TCP, Bluetooth or USB, and the write, read,
// interface control, interface status and online probe of an open connection,
// routed to the transport that owns it. Plus the dispatch of discovery to the
// finders. Every function returns a TiloIoResult and never throws.

#include <cstddef>

#include "io/io_types.h"

namespace tilo2::core {

int TiloIoOpen(TdcBackendEnv_t* env, TiloIoConnection_t** out, int type, const char* address,
               int timeoutMs);
int TiloIoClose(TiloIoConnection_t* connection);
int TiloIoWrite(TiloIoConnection_t* connection, const void* data, size_t length, int timeoutMs,
                size_t* written);
// buffer holds at least 128 bytes; a read never returns more.
int TiloIoRead(TiloIoConnection_t* connection, void* buffer, int timeoutMs, size_t* count);
int TiloIoControl(TiloIoConnection_t* connection, int value);
// flag: 1 while the interface status allows a status exchange, else 0.
int TiloIoGetStatus(TiloIoConnection_t* connection, int* flag);
// 0 while the link looks usable without waiting for anything, 3 once it is
// known lost (the peer closed or reset it, or a write failed), 7 while a read
// holds it. A transport that reconnects by itself always answers 0.
int TiloIoCheckLink(TiloIoConnection_t* connection);
// Opens a lost link again at its address with the open's own steps; the
// record stays the one the caller holds. 0, or the failure (the link then
// stays lost). A transport that reconnects by itself answers 0 at once.
int TiloIoReconnect(TdcBackendEnv_t* env, TiloIoConnection_t* connection, int timeoutMs);
// Ends the blocked calls on a connection at once (each fails) and returns once
// none runs; the connection takes no more I/O and still has to be closed. 0;
// 3 for a transport that has no calls to end, 6 for a connection that is not
// open.
int TiloIoAbort(TiloIoConnection_t* connection);
// Closes the connection even while a call runs on it: that call is ended
// first (TiloIoAbort) instead of refusing the close. TiloIoClose's results.
int TiloIoCloseNow(TiloIoConnection_t* connection);
// 0 with online, or 9 (online 0) when the probe fails.
int TiloIoCheckOnline(const TiloIoProbeTarget_t* handle, int* online);

// Discovery; the discovery engine runs these under its own lock.
int TiloIoStartDiscovery(const void* logHandle, const TiloIoDiscoveryRequest_t* request);
int TiloIoPollDiscovery();
void TiloIoSetFoundDeviceCallback(TiloIoFoundDeviceCallback callback);
int TiloIoGetActiveFinders();
void TiloIoClearActiveFinders();

}  // namespace tilo2::core
