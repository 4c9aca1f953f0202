#include "device/conn_listener.h"

#include <atomic>
#include <cstdint>
#include <new>

#include "device/code_tables.h"
#include "device/test_hooks.h"
#include "foundation/lock_guard.h"
#include "foundation/platform.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

// A list node with the serial that lets a walk tell whether a node it saw
// is still linked after a callback ran (an address may be reused).
struct ListenerNode {
  TdcConnListener_t listener;
  uint64_t serial;
};

// Recursive: listener callbacks run under it and may add or remove listeners.
PlatformMutex_t g_listMutex = PLATFORM_MUTEX_STATIC_INITIALIZER;
TdcConnListener_t* g_head = nullptr;
uint64_t g_nextSerial = 1;

// Connections in use by operations, and whether a disconnect left them to
// the last use to destroy. A leaf lock: nothing else is taken under it.
struct ConnectionUse {
  TdevConnection_t* connection;
  int uses;
  bool destroyAtLastUse;
  ConnectionUse* next;
};
PlatformMutex_t g_useMutex = PLATFORM_MUTEX_STATIC_INITIALIZER;
ConnectionUse* g_uses = nullptr;

// Listener adds a test asked to fail.
std::atomic<int> g_failAdds{0};

ListenerNode* AsNode(TdcConnListener_t* listener) {
  return reinterpret_cast<ListenerNode*>(listener);
}

// Under g_listMutex: the linked node with this serial, or null.
TdcConnListener_t* FindSerial(uint64_t serial) {
  for (TdcConnListener_t* l = g_head; l != nullptr; l = l->next)
    if (AsNode(l)->serial == serial) return l;
  return nullptr;
}

// Tells every record of the connection about the event. The serials of the
// matching nodes are taken first; each is called only while still linked,
// so a callback may remove any node, the visited one included, or add new
// ones (which this event does not reach). Called with g_listMutex held.
void NotifyLocked(TdevConnection_t* connection, int32_t event) {
  int count = 0;
  for (TdcConnListener_t* l = g_head; l != nullptr; l = l->next)
    if (l->connection == connection) ++count;
  if (count == 0) return;
  auto* serials = new (std::nothrow) uint64_t[count];
  if (serials == nullptr) return;
  int n = 0;
  for (TdcConnListener_t* l = g_head; l != nullptr && n < count; l = l->next)
    if (l->connection == connection) serials[n++] = AsNode(l)->serial;
  for (int i = 0; i < n; ++i) {
    TdcConnListener_t* l = FindSerial(serials[i]);
    if (l == nullptr || l->connection != connection) continue;
    l->callback(l->record, event);
  }
  delete[] serials;
}

void Notify(TdevConnection_t* connection, int32_t event) {
  if (connection == nullptr) return;
  PlatformLockGuard guard(g_listMutex);
  if (!guard) return;
  NotifyLocked(connection, event);
}

}  // namespace

void TdcFailListenerAdds(int count) { g_failAdds.store(count); }

int TdcAddConnectionListener(TdevConnection_t* connection, void* record,
                             TdcListenerCallback callback) {
  if (connection == nullptr || record == nullptr || callback == nullptr) return TDC_ERR_PARAM;
  for (int left = g_failAdds.load(); left > 0;) {
    if (g_failAdds.compare_exchange_weak(left, left - 1)) return TDC_ERR_MEMORY;
  }
  auto* node = new (std::nothrow) ListenerNode{{connection, record, callback, nullptr}, 0};
  if (node == nullptr) return TDC_ERR_MEMORY;
  PlatformLockGuard guard(g_listMutex);
  if (!guard) {
    delete node;
    return TDC_ERR_FAILURE;
  }
  node->serial = g_nextSerial++;
  TdcConnListener_t** link = &g_head;
  while (*link != nullptr) link = &(*link)->next;
  *link = &node->listener;
  return TDC_SUCCESS;
}

int TdcRemoveConnectionListener(void* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  PlatformLockGuard guard(g_listMutex);
  if (!guard) return TDC_ERR_FAILURE;
  for (TdcConnListener_t** link = &g_head; *link != nullptr; link = &(*link)->next) {
    if ((*link)->record == record) {
      TdcConnListener_t* node = *link;
      *link = node->next;
      delete AsNode(node);
      break;
    }
  }
  return TDC_SUCCESS;
}

int TdcSetConnectionCallbacks(TdevConnection_t* connection) {
  if (connection == nullptr) return TDC_ERR_PARAM;
  int result = TdevSetReconnectingCallback(connection);
  if (result == 0) result = TdevSetReconnectCallback(connection);
  if (result == 0) result = TdevSetDisconnectCallback(connection);
  return result == 0 ? TDC_SUCCESS : TdcFromServiceResult(result);
}

void TdcOnReconnecting(TdevConnection_t* connection, const char*) {
  Notify(connection, TDC_EVENT_RECONNECTING);
}

void TdcOnReconnected(TdevConnection_t* connection, const char*) {
  Notify(connection, TDC_EVENT_RECONNECTED);
}

void TdcOnDisconnected(TdevConnection_t* connection, const char*) {
  if (connection == nullptr) return;
  {
    PlatformLockGuard guard(g_listMutex);
    if (!guard) return;
    NotifyLocked(connection, TDC_EVENT_DISCONNECTED);
    // The connection is about to go: no node may keep pointing at it, or a
    // later connection at the same address would reach these records.
    for (TdcConnListener_t** link = &g_head; *link != nullptr;) {
      TdcConnListener_t* node = *link;
      if (node->connection == connection) {
        *link = node->next;
        delete AsNode(node);
      } else {
        link = &node->next;
      }
    }
    guard.Unlock();
  }
  {
    PlatformLockGuard guard(g_useMutex);
    if (!guard) return;  // uses unknown: leaking the connection beats freeing it under a user
    for (ConnectionUse* use = g_uses; use != nullptr; use = use->next) {
      if (use->connection == connection) {
        use->destroyAtLastUse = true;
        return;
      }
    }
  }
  TdevDestroyConnection(connection);
}

void TdcAcquireConnectionUse(TdevConnection_t* connection) {
  if (connection == nullptr) return;
  PlatformLockGuard guard(g_useMutex);
  if (!guard) return;
  for (ConnectionUse* use = g_uses; use != nullptr; use = use->next) {
    if (use->connection == connection) {
      ++use->uses;
      return;
    }
  }
  auto* use = new (std::nothrow) ConnectionUse{connection, 1, false, g_uses};
  if (use != nullptr) g_uses = use;
}

void TdcReleaseConnectionUse(TdevConnection_t* connection) {
  if (connection == nullptr) return;
  bool destroy = false;
  {
    PlatformLockGuard guard(g_useMutex);
    if (!guard) return;
    for (ConnectionUse** link = &g_uses; *link != nullptr; link = &(*link)->next) {
      ConnectionUse* use = *link;
      if (use->connection != connection) continue;
      if (--use->uses == 0) {
        destroy = use->destroyAtLastUse;
        *link = use->next;
        delete use;
      }
      break;
    }
  }
  if (destroy) TdevDestroyConnection(connection);
}

}  // namespace tilo2::core
