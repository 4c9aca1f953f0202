#pragma once
// The process-wide table of open connections: 16 rows of {address as the
// caller gave it, connection}. Open and close hold the long table lock for
// their whole run; the rows themselves are read and written only under a short
// row lock, so lookups from write, read and status never see a torn row.
//
// A call on a connection pins its row for as long as it runs. Close retires
// the row (no lookup finds it any more) and the record is freed when the last
// pin goes, so a close that races a write or a read never frees the record
// under it.

#include "foundation/lock_guard.h"
#include "io/io_types.h"

namespace tilo2::core {

inline constexpr int kConnectionRows = 16;

// Serialises open and close; the guard does not own the lock when it failed.
PlatformLockGuard LockConnectionTable();

int setHandleToList(TiloIoConnection_t* connection, const char* address);  // 0, 1, 5, 6
// Retires the connection's row; the record itself is not freed.
bool delHandleInList(TiloIoConnection_t* connection);
int countHandleList();                         // first free row, -1 when all are used
int findHandleByAddress(const char* address);  // row of an equal address ignoring case, or -1

// Row of the registered connection, or -1.
int FindHandleRow(const TiloIoConnection_t* connection);

// Frees the row's address copy and takes the row out of every lookup; release
// (may be null) frees the record once no call holds a pin on it, at once when
// none does. False when the row no longer holds that connection.
bool RetireHandle(int row, TiloIoConnection_t* connection, void (*release)(TiloIoConnection_t*));

// Keeps a registered connection's record alive for a scope; false when the
// connection is not registered (never opened, or closed already).
class ConnectionPin {
 public:
  explicit ConnectionPin(const TiloIoConnection_t* connection);
  ~ConnectionPin();
  ConnectionPin(const ConnectionPin&) = delete;
  ConnectionPin& operator=(const ConnectionPin&) = delete;
  explicit operator bool() const { return row_ >= 0; }

 private:
  int row_ = -1;
};

}  // namespace tilo2::core
