#pragma once
// Allocation and release of the TCP form of the connection record.

#include "io/io_types.h"

namespace tilo2::core {

// A zeroed record of type 257 with a copy of the target and no socket; null
// when memory runs out.
TiloIoConnection_t* NewTcpRecord(const char* target);
// Frees the address copy and the record (not the socket, not the locks).
void FreeTcpRecord(TiloIoConnection_t* connection);

}  // namespace tilo2::core
