#pragma once
// The process-wide table of open connections: 16 rows of {address as the
// caller gave it, connection}. Open and close hold the long table lock for
// their whole run; the rows themselves are read and written only under a short
// row lock, so lookups from write, read and status never see a torn row.

#include "io/io_types.h"

inline constexpr int kConnectionRows = 16;

// Serialises open and close. 0, or nonzero when the lock cannot be had.
int connectionTableLock();
int connectionTableUnlock();

int setHandleToList(TiloIoConnection_t* connection, const char* address);  // 0, 1, 5, 6
bool delHandleInList(TiloIoConnection_t* connection);
int countHandleList();  // first free row, -1 when all are used
int findHandleByAddress(const char* address);  // row of an equal address ignoring case, or -1

// Row of the connection, or -1.
int findHandleRow(const TiloIoConnection_t* connection);
bool isHandleRegistered(const TiloIoConnection_t* connection);
// Frees the row's address copy and clears the row; false when the row no
// longer holds that connection.
bool delHandleAt(int row, const TiloIoConnection_t* connection);
