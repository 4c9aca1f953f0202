#pragma once
// The shared connection list: a printer, a hybrid printer and a line display
// behind the same printer share one print handle and one open connection.
// The first user opens it, users of other kinds join while the printer still
// answers, and the last user to leave closes it. A user that finds the
// printer silent closes the stale connection and opens a fresh one.

#include <cstdint>

#include "engine/print_handle.h"

namespace tilo2::core {

// One bit per kind of user, so at most one user of each kind.
enum SharedUser : uint32_t {
  kSharedUserPrinter = 1,
  kSharedUserDisplay = 2,
  kSharedUserHybrid = 4,
};

struct ConnectionListNode_t {
  int32_t connectionType;
  char* address;         // the resolved address, owned
  TdcBackendEnv_t* env;  // copy of the first user's record, owned; null without one
  PrintHandle_t* handle;
  uint32_t userBits;
  // Closed because the printer stopped answering while a new user arrived;
  // the handle stays valid for the users that still hold it.
  uint8_t disconnected;
  ConnectionListNode_t* prev;
  ConnectionListNode_t* next;
};

// Opens a connection or joins one; *out is written only on success. 1 for a
// null address or out or an unknown user bit; 2 when this kind of user holds
// the connection already or no display answers behind the printer; the open's
// or the stale connection's close failure otherwise.
int AcquireSharedConnection(TdcBackendEnv_t* env, uint32_t userBit, int32_t connectionType,
                            const char* address, int32_t timeoutMs, PrintHandle_t** out);
// Leaves a connection; the last user closes it. 1 for a handle no node holds
// or a user bit it does not hold (nothing changes then); a failed close (7
// while jobs are out) keeps the user bit, so the caller may try again.
int ReleaseSharedConnection(TdcBackendEnv_t* env, uint32_t userBit, PrintHandle_t* handle);
// A malloc'ed copy of the address of the connection that holds the handle,
// taken under the list lock; null when no node holds it or out of memory.
char* CopySharedConnectionAddress(PrintHandle_t* handle);
// The disconnected mark of the node that holds the handle; 0 when none does.
uint8_t GetDisconnectedInfo(PrintHandle_t* handle);

// A new handle, opened; on failure nothing is left behind.
int OpenNewHandle(TdcBackendEnv_t* env, int32_t connectionType, const char* address,
                  int32_t timeoutMs, PrintHandle_t** out);
// Disconnects, then destroys the handle when that succeeded; the disconnect's
// result (1 for a null handle).
int CloseAndDestroyHandle(TdcBackendEnv_t* env, PrintHandle_t* handle);
// Whether a line display answers behind the printer: up to three probes.
bool ProbeSharedConnection(PrintHandle_t* handle);
// Appends a node with copies of the address and env: 0, 5 when out of memory.
int AddConnectionList(int32_t connectionType, const char* address, const TdcBackendEnv_t* env,
                      PrintHandle_t* handle, uint32_t userBits);
// Unlinks and frees the node with its copies.
void RemoveConnectionList(ConnectionListNode_t* node);

}  // namespace tilo2::core
