#include "engine/shared_connection.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine/engine_log.h"
#include "engine/event_callbacks.h"
#include "engine/print_result.h"
#include "engine/printer_open.h"
#include "engine/request_queue.h"
#include "engine/status_monitor.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "io/address_cache.h"
#include "io/connection_interface.h"

namespace tilo2::core {

namespace {

constexpr int kProbeAttempts = 3;

// Guards the list; held through an acquire or release but for the open or
// close of a connection, which may take seconds: the address is reserved in
// openingAddresses meanwhile, so opens and closes of different printers run
// side by side and another user of the same address waits for them to end
// (openingDone), and joins or opens then.
PlatformMutex_t connectionListLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
ConnectionListNode_t* connectionList = nullptr;
struct OpeningAddress {
  int32_t connectionType;
  std::string address;
};
std::vector<OpeningAddress>* openingAddresses = nullptr;
PlatformCond_t openingDone = nullptr;

// Under the list lock.
bool IsOpening(int32_t connectionType, const char* address) {
  if (openingAddresses == nullptr) return false;
  for (const OpeningAddress& a : *openingAddresses) {
    if (a.connectionType == connectionType && a.address == address) return true;
  }
  return false;
}

// Under the list lock; false when memory runs out.
bool ReserveOpening(int32_t connectionType, const char* address) {
  try {
    if (openingAddresses == nullptr) openingAddresses = new std::vector<OpeningAddress>();
    if (openingDone == nullptr) platform_cond_init(&openingDone);
    if (openingDone == nullptr) return false;
    openingAddresses->push_back({connectionType, address});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Under the list lock: ends the reservation and wakes a waiting user.
void EndOpening(int32_t connectionType, const char* address) {
  for (auto it = openingAddresses->begin(); it != openingAddresses->end(); ++it) {
    if (it->connectionType == connectionType && it->address == address) {
      openingAddresses->erase(it);
      break;
    }
  }
  platform_cond_signal(&openingDone);
}

// Under the list lock: waits until no open of the address is under way. The
// event wakes one waiter, which passes the wake on once its address is free.
// False when the limit ran out first.
bool WaitForOpening(int32_t connectionType, const char* address, uint64_t deadline) {
  bool waited = false;
  while (IsOpening(connectionType, address)) {
    const uint64_t now = platform_tick_ms();
    if (now >= deadline) return false;
    const PlatformTimespec_t until = platform_deadline_after(static_cast<uint32_t>(deadline - now));
    platform_cond_timedwait(&openingDone, &connectionListLock, &until);
    waited = true;
  }
  if (waited) platform_cond_signal(&openingDone);
  return true;
}

bool IsUserBit(uint32_t userBit) {
  return userBit == kSharedUserPrinter || userBit == kSharedUserDisplay ||
         userBit == kSharedUserHybrid;
}

ConnectionListNode_t* FindNode(const PrintHandle_t* handle) {
  for (ConnectionListNode_t* node = connectionList; node != nullptr; node = node->next) {
    if (node->handle == handle) return node;
  }
  return nullptr;
}

// Frees a malloc'ed text when the scope ends.
struct OwnedText {
  char* text;
  ~OwnedText() { std::free(text); }
};

// Joins a live node whose printer answers: 0 with *out, 2 when the kind of
// user is there already or a display does not answer behind the printer.
int JoinNode(ConnectionListNode_t* node, uint32_t userBit, PrintHandle_t** out) {
  if ((node->userBits & userBit) != 0) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_CONNECT_ERROR;
  }
  node->userBits |= userBit;
  if (userBit == kSharedUserDisplay && !ProbeSharedConnection(node->handle)) {
    node->userBits &= ~userBit;
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_CONNECT_ERROR;
  }
  *out = node->handle;
  return TILOPRN_SUCCESS;
}

// Walks the nodes of the address: joins the first live one whose printer
// answers, and closes every live one whose printer is silent. 0 with *out
// set when joined; -1 when nothing could be joined; else the failure.
int JoinOrRetire(uint32_t userBit, int32_t connectionType, const char* compared,
                 PrintHandle_t** out) {
  for (ConnectionListNode_t* node = connectionList; node != nullptr; node = node->next) {
    // A closed node keeps its handle only for the users still holding it.
    if (node->disconnected != 0) continue;
    if (node->connectionType != connectionType || std::strcmp(node->address, compared) != 0) {
      continue;
    }
    if (node->handle != nullptr) {
      // The monitor's cycle runs on the handle's queue: its own thread
      // would wait for itself.
      if (IsQueueThread(node->handle->queue)) {
        EngineErrorLine(kPublicSource, __LINE__);
        return TILOPRN_BUSY;
      }
      WakeStatusMonitor(node->handle);
      if ((node->handle->statusFlags & kStatusNoResponse) == 0) {
        return JoinNode(node, userBit, out);
      }
      const int closed = TiloDisconnectPrinter(node->env, node->handle);
      if (closed != TILOPRN_SUCCESS) return closed;
    }
    node->disconnected = 1;
  }
  return -1;
}

}  // namespace

int AcquireSharedConnection(TdcBackendEnv_t* env, uint32_t userBit, int32_t connectionType,
                            const char* address, int32_t timeoutMs, PrintHandle_t** out) {
  if (address == nullptr || out == nullptr || !IsUserBit(userBit)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  PlatformLockGuard lock(connectionListLock);
  if (!lock) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  const OwnedText compared{TiloIoDhcpGetCachedAddress(connectionType, address)};
  if (compared.text == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_MEMORY_ERROR;
  }
  const uint64_t deadline =
      platform_tick_ms() +
      static_cast<uint64_t>(timeoutMs == -2 ? kDefaultOpenTimeoutMs : std::max(timeoutMs, 0));
  if (!WaitForOpening(connectionType, compared.text, deadline)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_TIMEOUT;
  }
  if (const int joined = JoinOrRetire(userBit, connectionType, compared.text, out); joined >= 0) {
    return joined;
  }
  if (!ReserveOpening(connectionType, compared.text)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_MEMORY_ERROR;
  }
  PrintHandle_t* handle = nullptr;
  lock.Unlock();
  int opened = OpenNewHandle(env, connectionType, address, timeoutMs, &handle);
  if (opened == TILOPRN_SUCCESS && userBit == kSharedUserDisplay &&
      !ProbeSharedConnection(handle)) {
    EngineErrorLine(kPublicSource, __LINE__);
    CloseAndDestroyHandle(env, handle);
    opened = TILOPRN_CONNECT_ERROR;
  }
  const PlatformLockGuard relock(connectionListLock);
  EndOpening(connectionType, compared.text);
  if (opened != TILOPRN_SUCCESS) return opened;
  // The open may have resolved the target and cached its address.
  const OwnedText resolved{TiloIoDhcpGetCachedAddress(connectionType, address)};
  const int added = resolved.text == nullptr
                        ? TILOPRN_MEMORY_ERROR
                        : AddConnectionList(connectionType, resolved.text, env, handle, userBit);
  if (added != TILOPRN_SUCCESS) {
    EngineErrorLine(kPublicSource, __LINE__);
    CloseAndDestroyHandle(env, handle);
    return added;
  }
  *out = handle;
  return TILOPRN_SUCCESS;
}

int ReleaseSharedConnection(TdcBackendEnv_t* env, uint32_t userBit, PrintHandle_t* handle) {
  if (handle == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  PlatformLockGuard lock(connectionListLock);
  if (!lock) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  ConnectionListNode_t* node = FindNode(handle);
  // Leaving as a user one never was must not take another user's place.
  if (node == nullptr || (node->userBits & userBit) == 0 || !IsUserBit(userBit)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  node->userBits &= ~userBit;
  if (node->userBits != 0) return TILOPRN_SUCCESS;
  if (node->disconnected != 0) {
    // Closed already when its printer fell silent: only the handle is left.
    TiloDestroyHandle(handle);
    node->handle = nullptr;
    RemoveConnectionList(node);
    return TILOPRN_SUCCESS;
  }
  // The close may take seconds (a monitor cycle against a silent printer ends
  // first): it runs without the list lock, the address reserved as for an
  // open, so only users of this address wait for it.
  const int32_t connectionType = node->connectionType;
  std::string address;
  try {
    address = node->address != nullptr ? node->address : "";
  } catch (const std::bad_alloc&) {
    address.clear();
  }
  const bool reserved = !address.empty() && ReserveOpening(connectionType, address.c_str());
  if (reserved) lock.Unlock();
  const int closed = CloseAndDestroyHandle(env, handle);
  const PlatformLockGuard relock(connectionListLock);
  if (reserved) EndOpening(connectionType, address.c_str());
  if (closed != TILOPRN_SUCCESS) {
    node->userBits |= userBit;
    return closed;
  }
  node->handle = nullptr;
  RemoveConnectionList(node);
  return TILOPRN_SUCCESS;
}

char* CopySharedConnectionAddress(PrintHandle_t* handle) {
  if (handle == nullptr) return nullptr;
  PlatformLockGuard lock(connectionListLock);
  if (!lock) return nullptr;
  // Copied under the lock: the last user's release frees the node's text.
  const ConnectionListNode_t* node = FindNode(handle);
  if (node == nullptr || node->address == nullptr) return nullptr;
  return strdup(node->address);
}

uint8_t GetDisconnectedInfo(PrintHandle_t* handle) {
  uint8_t disconnected = 0;
  {
    PlatformLockGuard lock(connectionListLock);
    if (!lock) return 0;
    if (const ConnectionListNode_t* node = handle != nullptr ? FindNode(handle) : nullptr) {
      disconnected = node->disconnected;
    }
  }
  const LogByteBuffer_t value{1, &disconnected};
  log_trace(kEngineTag, LOG_TRACE_INFO, handle, 0, "GetDisconnectedInfo", LOG_ARG_STRING, "Info->",
            LOG_ARG_DUMP, &value, LOG_ARG_END);
  return disconnected;
}

int OpenNewHandle(TdcBackendEnv_t* env, int32_t connectionType, const char* address,
                  int32_t timeoutMs, PrintHandle_t** out) {
  if (out == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrintHandle_t* handle = nullptr;
  const int created = TiloCreateHandle(&handle);
  if (created != TILOPRN_SUCCESS) return created;
  if (!CheckHandleList(handle)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  // Events start only once the application asks for them.
  int result = SetCallbackEnabled(handle, 0);
  if (result == TILOPRN_SUCCESS) {
    result = TiloOpenPrinter(env, handle, connectionType, address, timeoutMs);
  }
  if (result != TILOPRN_SUCCESS) {
    TiloDestroyHandle(handle);
    return result;
  }
  *out = handle;
  return TILOPRN_SUCCESS;
}

int CloseAndDestroyHandle(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  const int closed = TiloDisconnectPrinter(env, handle);
  if (closed == TILOPRN_SUCCESS) TiloDestroyHandle(handle);
  return closed;
}

bool ProbeSharedConnection(PrintHandle_t* handle) {
  if (handle == nullptr) return false;
  TiloIoProbeTarget_t target{};
  target.connectionKind = handle->connectionType;
  target.connection = handle->connection;
  target.onlineState = handle->displayConnected == 1 ? 1 : 0;
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    int online = 0;
    if (TiloIoCheckOnline(&target, &online) != TILOIO_SUCCESS) return false;
    if (online == 1) return true;
  }
  return false;
}

int AddConnectionList(int32_t connectionType, const char* address, const TdcBackendEnv_t* env,
                      PrintHandle_t* handle, uint32_t userBits) {
  if (address == nullptr) return TILOPRN_PARAMETER_ERROR;
  auto* node = new (std::nothrow) ConnectionListNode_t{};
  const size_t length = std::strlen(address);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  TdcBackendEnv_t* envCopy = env != nullptr ? new (std::nothrow) TdcBackendEnv_t(*env) : nullptr;
  if (node == nullptr || copy == nullptr || (env != nullptr && envCopy == nullptr)) {
    delete node;
    std::free(copy);
    delete envCopy;
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_MEMORY_ERROR;
  }
  std::memcpy(copy, address, length + 1);
  *node = {connectionType, copy, envCopy, handle, userBits, 0, nullptr, nullptr};
  PlatformLockGuard lock(connectionListLock);
  if (!lock) {
    std::free(copy);
    delete envCopy;
    delete node;
    return TILOPRN_FAILURE;
  }
  ConnectionListNode_t** tail = &connectionList;
  ConnectionListNode_t* last = nullptr;
  while (*tail != nullptr) {
    last = *tail;
    tail = &last->next;
  }
  node->prev = last;
  *tail = node;
  return TILOPRN_SUCCESS;
}

void RemoveConnectionList(ConnectionListNode_t* node) {
  if (node == nullptr) return;
  {
    PlatformLockGuard lock(connectionListLock);
    if (!lock) return;
    const bool linked = node->prev != nullptr || connectionList == node;
    if (linked) {
      if (node->prev != nullptr) {
        node->prev->next = node->next;
      } else {
        connectionList = node->next;
      }
      if (node->next != nullptr) node->next->prev = node->prev;
    }
  }
  std::free(node->address);
  delete node->env;
  delete node;
}

}  // namespace tilo2::core
