#include "io/connection_table.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "foundation/platform.h"
#include "foundation/logger.h"
#include "io/scoped_lock.h"

namespace {

struct ConnectionRow {
  char* address;
  TiloIoConnection_t* connection;
};

PlatformMutex_t g_tableLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
PlatformMutex_t g_rowLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
ConnectionRow g_rows[kConnectionRows];
bool g_initialised = false;

int rowLock() {
  if (platform_mutex_lock(&g_rowLock, -1) == 0) return 0;
  log_error_line("ERROR", __FILE__, __LINE__);
  return -1;
}

int rowUnlock() { return platform_mutex_unlock(&g_rowLock); }

using RowLock = ScopedLock<rowLock, rowUnlock>;

// Under the row lock.
int firstFreeRow() {
  if (!g_initialised) {
    for (auto& row : g_rows) row = {};
    g_initialised = true;
    return 0;
  }
  for (int i = 0; i < kConnectionRows; ++i) {
    if (!g_rows[i].connection) return i;
  }
  return -1;
}

}  // namespace

int connectionTableLock() { return platform_mutex_lock(&g_tableLock, -1); }

int connectionTableUnlock() { return platform_mutex_unlock(&g_tableLock); }

int countHandleList() {
  RowLock lock;
  if (!lock) return -1;
  return firstFreeRow();
}

int findHandleByAddress(const char* address) {
  if (!address) return -1;
  RowLock lock;
  if (!lock || !g_initialised) return -1;
  for (int i = 0; i < kConnectionRows; ++i) {
    if (g_rows[i].connection && g_rows[i].address && strcasecmp(g_rows[i].address, address) == 0) return i;
  }
  return -1;
}

int findHandleRow(const TiloIoConnection_t* connection) {
  if (!connection) return -1;
  RowLock lock;
  if (!lock || !g_initialised) return -1;
  for (int i = 0; i < kConnectionRows; ++i) {
    if (g_rows[i].connection == connection) return i;
  }
  return -1;
}

bool isHandleRegistered(const TiloIoConnection_t* connection) { return findHandleRow(connection) >= 0; }

int setHandleToList(TiloIoConnection_t* connection, const char* address) {
  if (!connection || !address || !*address) return TILOIO_PARAMETER_ERROR;
  RowLock lock;
  if (!lock) return TILOIO_BUSY;
  const int row = firstFreeRow();
  if (row < 0) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_ILLEGAL_STATE;
  }
  char* copy = strdup(address);
  if (!copy) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_OUT_OF_MEMORY;
  }
  g_rows[row] = {copy, connection};
  log_trace("IOCMN", LOG_TRACE_INFO, connection, 0, "setHandleToList", LOG_ARG_STRING, "Add handle.", LOG_ARG_STRING,
            address, LOG_ARG_END);
  return TILOIO_SUCCESS;
}

bool delHandleAt(int row, const TiloIoConnection_t* connection) {
  if (row < 0 || row >= kConnectionRows) return false;
  RowLock lock;
  if (!lock || g_rows[row].connection != connection) return false;
  std::free(g_rows[row].address);
  g_rows[row] = {};
  log_trace("IOCMN", LOG_TRACE_INFO, connection, 0, "delHandleInList", LOG_ARG_STRING, "Remove handle.", LOG_ARG_END);
  return true;
}

bool delHandleInList(TiloIoConnection_t* connection) {
  RowLock lock;  // recursive: keeps the find and the clear together
  return lock && delHandleAt(findHandleRow(connection), connection);
}
