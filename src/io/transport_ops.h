#pragma once
// What the connection interface asks of a transport: one constant table of
// entry points per connection type. A transport brings its own table; the
// interface looks it up once per call and never branches on the type itself.

#include <cstddef>

#include "io/io_types.h"

namespace tilo2::core {

struct TransportOps {
  // Makes and connects a record; the caller registers it.
  int (*open)(TdcBackendEnv_t* env, TiloIoConnection_t** out, int type, const char* address,
              int timeoutMs);
  // Ends the transport. On success the record takes no more I/O but stays
  // readable until release frees it, which happens once no call on it runs.
  int (*close)(TiloIoConnection_t* connection);
  void (*release)(TiloIoConnection_t* connection);
  int (*write)(TiloIoConnection_t* connection, const void* data, size_t length, int timeoutMs,
               size_t* written);
  int (*read)(TiloIoConnection_t* connection, void* buffer, int timeoutMs, size_t* count);
  int (*control)(TiloIoConnection_t* connection, int value);
  // flag: 1 while the interface status allows a status exchange, else 0.
  int (*status)(TiloIoConnection_t* connection, int* flag);
  int (*checkOnline)(TiloIoConnection_t* connection, int* online);
  // Both null for a transport that reconnects by itself before its next write.
  // checkLink: 0 while the link looks usable, 3 once it is known lost.
  int (*checkLink)(TiloIoConnection_t* connection);
  // Opens a lost link again at the record's address; the record stays.
  int (*reconnect)(TdcBackendEnv_t* env, TiloIoConnection_t* connection, int timeoutMs);
  // Makes the calls blocked on the connection return at once with an error
  // and returns once none runs any more; close still has to follow. Null for
  // a transport whose close never refuses.
  int (*abort)(TiloIoConnection_t* connection);
};

extern const TransportOps kTcpTransport;        // tcp_control.cpp
extern const TransportOps kBluetoothTransport;  // device_transports.cpp
extern const TransportOps kUsbTransport;        // device_transports.cpp

}  // namespace tilo2::core
