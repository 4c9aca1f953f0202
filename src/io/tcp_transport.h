#pragma once
// The direct connection to a network printer's raw data port 9100. The open
// waits until the printer reports (over the control protocol) that no client
// holds the port, connects, and checks that the client it then reports is
// this host; control and online probe are control requests, not socket data.

#include <cstddef>

#include "io/io_types.h"

namespace tilo2::core {

inline constexpr int kTcpMaxTimeoutMs = 600000;
inline constexpr size_t kTcpSendPiece = 4096;
inline constexpr size_t kReadSize = 128;

int TiloIoTcpOpen(TdcBackendEnv_t* env, TiloIoConnection_t** out, int type, const char* target,
                  int timeoutMs);
// Shuts the transport and then frees the record.
int TiloIoTcpClose(TiloIoConnection_t* connection);
// The two halves of the close: TcpShutDown ends the socket (7 while a write or
// a read runs, the record kept); TcpRelease frees the record once nobody uses it.
int TcpShutDown(TiloIoConnection_t* connection);
void TcpRelease(TiloIoConnection_t* connection);
int TiloIoTcpWrite(TiloIoConnection_t* connection, const void* data, size_t length, int timeoutMs,
                   size_t* written);
int TiloIoTcpRead(TiloIoConnection_t* connection, void* buffer, int timeoutMs, size_t* count);
// 0 while nothing says the link is gone (the peer has not closed or reset
// it, no write failed), 3 once it is lost; 7 while a read holds the link.
int TcpCheckLink(TiloIoConnection_t* connection);
// Opens a lost link again with the open's own steps (owner check included)
// and puts the new socket into the same record: 0, 7 while the link is in
// use, or the open's failure (the link then stays lost and shut).
int TcpReconnect(TdcBackendEnv_t* env, TiloIoConnection_t* connection, int timeoutMs);
int TiloIoTcpCheckOnline(TiloIoConnection_t* connection, int* online);
int TiloIoTcpControl(TiloIoConnection_t* connection, int value);

// The local address list: one int per lookup entry of the local host name
// (IPv4 in network byte order, 0 for any other family), then every IPv4
// interface address not named yet. 0, or 255 when there is none.
int TiloIoGetLocalAddressCount(TdcBackendEnv_t* env, int* count);
int TiloIoGetLocalAddresses(TdcBackendEnv_t* env, int* addresses, int count);

}  // namespace tilo2::core
