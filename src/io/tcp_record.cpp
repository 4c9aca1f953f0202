#include "io/tcp_record.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace tilo2::core {

TiloIoConnection_t* NewTcpRecord(const char* target) {
  auto* connection = new (std::nothrow) TiloIoConnection_t{};
  if (!connection) return nullptr;
  connection->type = TILOIO_TYPE_TCP;
  connection->socket = -1;
  connection->address = strdup(target);
  if (!connection->address) {
    delete connection;
    return nullptr;
  }
  return connection;
}

void FreeTcpRecord(TiloIoConnection_t* connection) {
  if (!connection) return;
  std::free(connection->address);
  delete connection;
}

}  // namespace tilo2::core
