#include "io/connection_table.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "foundation/logger.h"
#include "foundation/platform.h"

namespace tilo2::core {

namespace {

struct ConnectionRow {
  char* address;
  TiloIoConnection_t* connection;
  int pins;                              // calls running on the connection
  bool retired;                          // closed: found by no lookup, freed by the last pin
  void (*release)(TiloIoConnection_t*);  // what frees a retired record
};

PlatformMutex_t g_tableLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
PlatformMutex_t g_rowLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
ConnectionRow g_rows[kConnectionRows];
bool g_initialised = false;

PlatformLockGuard LockRows() {
  PlatformLockGuard lock(g_rowLock);
  if (!lock) log_error_line("ERROR", __FILE__, __LINE__);
  return lock;
}

// Under the row lock.
int FirstFreeRow() {
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

// Under the row lock.
int FindLiveRow(const TiloIoConnection_t* connection) {
  if (!connection || !g_initialised) return -1;
  for (int i = 0; i < kConnectionRows; ++i) {
    if (g_rows[i].connection == connection && !g_rows[i].retired) return i;
  }
  return -1;
}

}  // namespace

PlatformLockGuard LockConnectionTable() { return PlatformLockGuard(g_tableLock); }

int countHandleList() {
  const PlatformLockGuard lock = LockRows();
  if (!lock) return -1;
  return FirstFreeRow();
}

int findHandleByAddress(const char* address) {
  if (!address) return -1;
  const PlatformLockGuard lock = LockRows();
  if (!lock || !g_initialised) return -1;
  for (int i = 0; i < kConnectionRows; ++i) {
    const ConnectionRow& row = g_rows[i];
    if (row.connection && !row.retired && row.address && strcasecmp(row.address, address) == 0)
      return i;
  }
  return -1;
}

int FindHandleRow(const TiloIoConnection_t* connection) {
  const PlatformLockGuard lock = LockRows();
  if (!lock) return -1;
  return FindLiveRow(connection);
}

int setHandleToList(TiloIoConnection_t* connection, const char* address) {
  if (!connection || !address || !*address) return TILOIO_PARAMETER_ERROR;
  const PlatformLockGuard lock = LockRows();
  if (!lock) return TILOIO_BUSY;
  const int row = FirstFreeRow();
  if (row < 0) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_ILLEGAL_STATE;
  }
  char* copy = strdup(address);
  if (!copy) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return TILOIO_OUT_OF_MEMORY;
  }
  g_rows[row] = {copy, connection, 0, false, nullptr};
  log_trace("IOCMN", LOG_TRACE_INFO, connection, 0, "setHandleToList", LOG_ARG_STRING,
            "Add handle.", LOG_ARG_STRING, address, LOG_ARG_END);
  return TILOIO_SUCCESS;
}

bool RetireHandle(int row, TiloIoConnection_t* connection, void (*release)(TiloIoConnection_t*)) {
  if (row < 0 || row >= kConnectionRows) return false;
  bool releaseNow = false;
  {
    const PlatformLockGuard lock = LockRows();
    ConnectionRow& entry = g_rows[row];
    if (!lock || entry.connection != connection || entry.retired) return false;
    std::free(entry.address);
    entry.address = nullptr;
    log_trace("IOCMN", LOG_TRACE_INFO, connection, 0, "delHandleInList", LOG_ARG_STRING,
              "Remove handle.", LOG_ARG_END);
    if (entry.pins == 0) {
      entry = {};
      releaseNow = true;
    } else {
      entry.retired = true;
      entry.release = release;
    }
  }
  // Outside the row lock: a transport's release may take locks of its own.
  if (releaseNow && release) release(connection);
  return true;
}

bool delHandleInList(TiloIoConnection_t* connection) {
  const PlatformLockGuard lock = LockRows();  // recursive: keeps the find and the retiring together
  return lock && RetireHandle(FindLiveRow(connection), connection, nullptr);
}

ConnectionPin::ConnectionPin(const TiloIoConnection_t* connection) {
  const PlatformLockGuard lock = LockRows();
  if (!lock) return;
  row_ = FindLiveRow(connection);
  if (row_ >= 0) ++g_rows[row_].pins;
}

ConnectionPin::~ConnectionPin() {
  if (row_ < 0) return;
  TiloIoConnection_t* retired = nullptr;
  void (*release)(TiloIoConnection_t*) = nullptr;
  {
    // A pinned row is never cleared, so it still holds the connection; the row
    // lock has no limit, so only a broken mutex could refuse it.
    const PlatformLockGuard lock(g_rowLock);
    ConnectionRow& entry = g_rows[row_];
    if (--entry.pins == 0 && entry.retired) {
      retired = entry.connection;
      release = entry.release;
      entry = {};
    }
  }
  if (retired && release) release(retired);
}

}  // namespace tilo2::core
