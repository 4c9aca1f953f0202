#include "service/device_handles.h"

#include <algorithm>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "device/printer_module.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "service/reply_codes.h"
#include "service/request_messages.h"
#include "service/waiters.h"

namespace tilo2::core {

namespace {

constexpr const char* kTag = "TDEV_";

// Every live handle and message-box entry by the pointer the device layer
// holds. A record leaves the registry when it is destroyed, so a stale
// pointer finds nothing.
PlatformMutex_t g_registryLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
std::unordered_map<const void*, std::shared_ptr<TdevHandleBase_t>>& Handles() {
  static auto* map = new std::unordered_map<const void*, std::shared_ptr<TdevHandleBase_t>>();
  return *map;
}
std::unordered_map<const void*, std::shared_ptr<TdevCommBoxEntry_t>>& Boxes() {
  static auto* map = new std::unordered_map<const void*, std::shared_ptr<TdevCommBoxEntry_t>>();
  return *map;
}

void Register(const std::shared_ptr<TdevHandleBase_t>& handle) {
  PlatformLockGuard guard(g_registryLock);
  Handles()[handle.get()] = handle;
}

void Unregister(const void* handle) {
  std::shared_ptr<TdevHandleBase_t> last;  // freed outside the lock
  PlatformLockGuard guard(g_registryLock);
  auto it = Handles().find(handle);
  if (it == Handles().end()) return;
  last = std::move(it->second);
  Handles().erase(it);
  guard.Unlock();
}

void RegisterBox(const std::shared_ptr<TdevCommBoxEntry_t>& entry) {
  PlatformLockGuard guard(g_registryLock);
  Boxes()[entry.get()] = entry;
}

void UnregisterBox(const void* entry) {
  std::shared_ptr<TdevCommBoxEntry_t> last;
  PlatformLockGuard guard(g_registryLock);
  auto it = Boxes().find(entry);
  if (it == Boxes().end()) return;
  last = std::move(it->second);
  Boxes().erase(it);
  guard.Unlock();
}

// Maps a builder failure to the client's result.
int BuilderResult(int built) {
  if (built == TDEV_BUILD_OK) return 0;
  if (built == TDEV_BUILD_BAD_ARGUMENT) return 1;
  if (built == TDEV_BUILD_NO_MEMORY) return 12;
  return 255;
}

// Sends a finished message and frees it.
int SendBuilt(TdevConnection_t* connection, TdevBuffer_t* message) {
  const std::string_view bytes = TdevBufferView(message);
  const int sent = TdevConnectionSend(connection, bytes.data(), static_cast<int32_t>(bytes.size()));
  TdevBufferFree(message);
  return sent;
}

std::shared_ptr<TdevHandleBase_t> CreateHandle(TdevConnection_t* connection,
                                               const TdevConnectionRef& ref, const char* deviceId,
                                               uint32_t type, int* result) {
  std::shared_ptr<TdevHandleBase_t> handle;
  TdevDocument_t* document = nullptr;
  int32_t kind = -1;
  if (type == TDEV_DEVICE_PRINTER) kind = TDEV_DOC_PRINT;
  if (type == TDEV_DEVICE_HYBRID_PRINTER) kind = TDEV_DOC_HYBRID_PRINT;
  if (type == TDEV_DEVICE_DISPLAY) kind = TDEV_DOC_DISPLAY;
  if (kind >= 0) {
    const int made = TdevDocCreate(kind, deviceId, &document);
    if (made != TDEV_BUILD_OK) {
      *result = made == TDEV_BUILD_BAD_ARGUMENT ? 1 : made == TDEV_BUILD_NO_MEMORY ? 12 : 255;
      return nullptr;
    }
  }
  try {
    if (type == TDEV_DEVICE_PRINTER || type == TDEV_DEVICE_HYBRID_PRINTER) {
      auto printer = std::make_shared<TdevPrinterHandle_t>();
      printer->document = document;
      handle = printer;
    } else if (type == TDEV_DEVICE_DISPLAY) {
      auto display = std::make_shared<TdevDisplayHandle_t>();
      display->document = document;
      handle = display;
    } else if (type == TDEV_DEVICE_KEYBOARD) {
      handle = std::make_shared<TdevKeyboardHandle_t>();
    } else {
      handle = std::make_shared<TdevDeviceHandle_t>();
    }
    handle->deviceId = deviceId;
  } catch (const std::bad_alloc&) {
    if (handle == nullptr) TdevDocFree(document);
    *result = 12;
    return nullptr;
  }
  handle->type = type;
  handle->connection = connection;
  handle->connectionRef = ref;
  *result = 0;
  return handle;
}

// Ends a handle's life: it becomes unreachable, and its monitor stops. The
// memory goes with the last reference.
void DestroyHandle(const std::shared_ptr<TdevHandleBase_t>& handle) {
  if (handle == nullptr) return;
  // Unreachable first, whatever the monitor's stop takes; the caller's
  // reference keeps the record for the stop.
  Unregister(handle.get());
  if (handle->type == TDEV_DEVICE_PRINTER || handle->type == TDEV_DEVICE_HYBRID_PRINTER) {
    TdevStopMonitor(static_cast<TdevPrinterHandle_t*>(handle.get()));
  }
}

// Under driverLock: the entry of a handle.
TdevDriverHandleEntry_t* FindEntry(TdevConnection_t* connection, const void* handle) {
  for (auto& entry : connection->drivers)
    if (entry.handle.get() == handle) return &entry;
  return nullptr;
}

// Takes one handle off the list; the caller destroys it.
std::shared_ptr<TdevHandleBase_t> Unlink(TdevConnection_t* connection, const void* handle) {
  PlatformLockGuard guard(connection->driverLock);
  auto& list = connection->drivers;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->handle.get() != handle) continue;
    auto taken = std::move(it->handle);
    list.erase(it);
    log_trace(kTag, LOG_TRACE_INFO, connection, 0, "TdevRemoveDriverHandleList", LOG_ARG_STRING,
              "Remove handle.", LOG_ARG_END);
    return taken;
  }
  return nullptr;
}

template <class Callback>
Callback ReadSlot(TdevConnection_t* connection, Callback TdevConnectionSlots_t::*slot) {
  PlatformLockGuard guard(connection->callbackLock);
  return connection->slots.*slot;
}

}  // namespace

// ---- Records ------------------------------------------------------------------------

TdevHandleBase_t::TdevHandleBase_t() { platform_mutex_init(&callbackLock); }
TdevHandleBase_t::~TdevHandleBase_t() { platform_mutex_destroy(&callbackLock); }

TdevPrinterHandle_t::TdevPrinterHandle_t() {
  for (PlatformMutex_t* lock :
       {&monitorFlagLock, &intervalLock, &monitorLock, &statusLock, &batteryLock, &statusQueryLock,
        &statusRequestLock, &selectingPaperLock, &lastStatusLock}) {
    platform_mutex_init(lock);
  }
  platform_cond_init(&monitorEvent);
  platform_cond_init(&statusQueryEvent);
}

TdevPrinterHandle_t::~TdevPrinterHandle_t() {
  if (monitorThread != nullptr) platform_thread_close(monitorThread);
  platform_cond_destroy(&monitorEvent);
  platform_cond_destroy(&statusQueryEvent);
  for (PlatformMutex_t* lock :
       {&monitorFlagLock, &intervalLock, &monitorLock, &statusLock, &batteryLock, &statusQueryLock,
        &statusRequestLock, &selectingPaperLock, &lastStatusLock}) {
    platform_mutex_destroy(lock);
  }
  TdevDocFree(document);
}

TdevDisplayHandle_t::~TdevDisplayHandle_t() { TdevDocFree(document); }

TdevKeyboardHandle_t::TdevKeyboardHandle_t() { platform_mutex_init(&prefixLock); }
TdevKeyboardHandle_t::~TdevKeyboardHandle_t() { platform_mutex_destroy(&prefixLock); }

TdevDeviceHandle_t::~TdevDeviceHandle_t() = default;

TdevCommBoxEntry_t::TdevCommBoxEntry_t() { platform_mutex_init(&callbackLock); }
TdevCommBoxEntry_t::~TdevCommBoxEntry_t() { platform_mutex_destroy(&callbackLock); }

// ---- Registry -----------------------------------------------------------------------

std::shared_ptr<TdevHandleBase_t> TdevRefHandle(const void* handle) {
  if (handle == nullptr) return nullptr;
  PlatformLockGuard guard(g_registryLock);
  auto it = Handles().find(handle);
  return it == Handles().end() ? nullptr : it->second;
}

TdevDocument_t* TdevGetDocument(const void* handle) {
  auto base = TdevRefHandle(handle);
  if (base == nullptr) return nullptr;
  if (base->type == TDEV_DEVICE_PRINTER || base->type == TDEV_DEVICE_HYBRID_PRINTER)
    return static_cast<TdevPrinterHandle_t*>(base.get())->document;
  if (base->type == TDEV_DEVICE_DISPLAY)
    return static_cast<TdevDisplayHandle_t*>(base.get())->document;
  return nullptr;
}

std::shared_ptr<TdevPrinterHandle_t> TdevRefPrinterHandle(const TdevPrinterHandle_t* handle) {
  auto base = TdevRefHandle(handle);
  if (base == nullptr ||
      (base->type != TDEV_DEVICE_PRINTER && base->type != TDEV_DEVICE_HYBRID_PRINTER)) {
    return nullptr;
  }
  return std::static_pointer_cast<TdevPrinterHandle_t>(base);
}

std::shared_ptr<TdevCommBoxEntry_t> TdevRefCommBoxEntry(const TdevCommBoxEntry_t* entry) {
  if (entry == nullptr) return nullptr;
  PlatformLockGuard guard(g_registryLock);
  auto it = Boxes().find(entry);
  return it == Boxes().end() ? nullptr : it->second;
}

// ---- Driver-handle list ---------------------------------------------------------------

std::shared_ptr<TdevHandleBase_t> TdevFindDriverHandle(TdevConnection_t* connection,
                                                       const char* deviceId, uint32_t* type,
                                                       int32_t* state) {
  if (connection == nullptr || deviceId == nullptr) return nullptr;
  PlatformLockGuard guard(connection->driverLock);
  for (auto& entry : connection->drivers) {
    if (entry.handle->deviceId != deviceId) continue;
    if (type != nullptr) *type = entry.type;
    if (state != nullptr) *state = entry.state;
    return entry.handle;
  }
  return nullptr;
}

int TdevGetDriverHandleType(TdevConnection_t* connection, const void* handle, uint32_t* type) {
  if (connection == nullptr || handle == nullptr || type == nullptr) return 255;
  PlatformLockGuard guard(connection->driverLock);
  if (!guard) return 255;
  TdevDriverHandleEntry_t* entry = FindEntry(connection, handle);
  if (entry == nullptr) return 255;
  *type = entry->type;
  return 0;
}

int TdevSetDriverHandleState(TdevConnection_t* connection, const void* handle, int32_t state) {
  if (connection == nullptr || handle == nullptr) return 255;
  PlatformLockGuard guard(connection->driverLock);
  if (!guard) return 255;
  TdevDriverHandleEntry_t* entry = FindEntry(connection, handle);
  if (entry == nullptr) return 255;
  entry->state = state;
  return 0;
}

int TdevHasOpenDriverHandle(TdevConnection_t* connection) {
  if (connection == nullptr) return 0;
  PlatformLockGuard guard(connection->driverLock);
  for (auto& entry : connection->drivers)
    if (entry.state == TDEV_HANDLE_OPEN) return 1;
  return 0;
}

int32_t TdevCountBusyRecords(TdevConnection_t* connection) {
  if (connection == nullptr) return 0;
  int32_t count = 0;
  {
    PlatformLockGuard guard(connection->driverLock);
    count += static_cast<int32_t>(connection->drivers.size());
  }
  PlatformLockGuard guard(connection->boxLock);
  count += static_cast<int32_t>(connection->boxes.size());
  return count;
}

void TdevRemoveAllDriverHandleList(TdevConnection_t* connection) {
  if (connection == nullptr) return;
  std::vector<TdevDriverHandleEntry_t> taken;
  {
    PlatformLockGuard guard(connection->driverLock);
    taken.swap(connection->drivers);
  }
  // All unreachable before any monitor is waited for.
  for (auto& entry : taken) Unregister(entry.handle.get());
  for (auto& entry : taken) {
    log_trace(kTag, LOG_TRACE_INFO, connection, 0, "TdevRemoveAllDriverHandleList", LOG_ARG_STRING,
              "Remove handle.", LOG_ARG_END);
    DestroyHandle(entry.handle);
  }
}

void TdevRemoveDriverHandle(TdevConnection_t* connection, const void* handle) {
  if (connection == nullptr) return;
  DestroyHandle(Unlink(connection, handle));
}

// ---- Open and close a device ------------------------------------------------------------

int TdevOpenDevice(TdevConnection_t* connection, const char* deviceId, int32_t type) {
  if (connection == nullptr || deviceId == nullptr || type < 0 || type > 5) return 1;
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 1;
  if (TdevGetCondition(connection) != TDEV_CONDITION_CONNECTED) return 4;
  TdevSetConnectionCallback(connection, TDEV_SLOT_OPEN_DEVICE,
                            reinterpret_cast<void*>(&TdevOnOpenDeviceReply));

  int result = 0;
  std::shared_ptr<TdevHandleBase_t> handle;
  {
    // The check and the append are one step, so two opens of one id cannot
    // both pass.
    PlatformLockGuard guard(connection->driverLock);
    if (!guard) return 255;
    for (auto& entry : connection->drivers)
      if (entry.handle->deviceId == deviceId) return 8;
    handle = CreateHandle(connection, ref, deviceId, static_cast<uint32_t>(type), &result);
    if (handle == nullptr) return result;
    try {
      connection->drivers.push_back({handle, static_cast<uint32_t>(type), TDEV_HANDLE_OPENING});
    } catch (const std::bad_alloc&) {
      return 12;
    }
    log_trace(kTag, LOG_TRACE_INFO, connection, 0, "TdevAddDriverHandleList", LOG_ARG_STRING,
              "Add handle.", LOG_ARG_END);
  }
  Register(handle);

  TdevBuffer_t* message = nullptr;
  const int built = TdevMsgOpenDevice(type, deviceId, 0, &message);
  result = built == TDEV_BUILD_OK ? SendBuilt(connection, message) : BuilderResult(built);
  if (result != 0) TdevRemoveDriverHandle(connection, handle.get());
  return result;
}

int TdevCloseDevice(TdevConnection_t* connection, void* handle) {
  if (connection == nullptr || handle == nullptr) return 1;
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 1;
  if (TdevGetCondition(connection) != TDEV_CONDITION_CONNECTED) return 4;
  TdevSetConnectionCallback(connection, TDEV_SLOT_CLOSE_DEVICE,
                            reinterpret_cast<void*>(&TdevOnCloseDeviceReply));
  std::string deviceId;
  {
    PlatformLockGuard guard(connection->driverLock);
    if (!guard) return 255;
    TdevDriverHandleEntry_t* entry = FindEntry(connection, handle);
    if (entry == nullptr) return 255;
    deviceId = entry->handle->deviceId;
    // Closing before the send, so a quick reply finds the handle closing.
    entry->state = TDEV_HANDLE_CLOSING;
  }
  TdevBuffer_t* message = nullptr;
  const int built = TdevMsgCloseDevice(deviceId.c_str(), &message);
  const int result = built == TDEV_BUILD_OK ? SendBuilt(connection, message) : BuilderResult(built);
  // A close that never went out leaves the handle open; it still counts.
  if (result != 0) TdevSetDriverHandleState(connection, handle, TDEV_HANDLE_OPEN);
  return result;
}

void TdevOnOpenDevice(TdevConnection_t* connection, int32_t replyCode, const char* deviceId,
                      int32_t dataId) {
  if (connection == nullptr || deviceId == nullptr) return;
  const int32_t result = TdevReplyCodeToResult(replyCode);
  // Stored first, so a waiter that wakes on the reply sees it.
  if (dataId > 0) TdevSetReceivedId(connection, dataId);
  TdevDeviceResultCallback slot = ReadSlot(connection, &TdevConnectionSlots_t::openResult);
  uint32_t type = 0;
  int32_t state = -1;
  auto handle = TdevFindDriverHandle(connection, deviceId, &type, &state);
  // Only a handle that waits for its open takes the reply: a repeated reply
  // must not close (or reopen) a handle that is already open.
  if (slot != nullptr && handle != nullptr && state == TDEV_HANDLE_OPENING) {
    const std::string host = TdevConnectionHost(connection);
    if (result != 0) {
      TdevRemoveDriverHandle(connection, handle.get());
      slot(connection, nullptr, host.c_str(), deviceId, static_cast<int32_t>(type), result);
    } else {
      TdevSetDriverHandleState(connection, handle.get(), TDEV_HANDLE_OPEN);
      slot(connection, handle.get(), host.c_str(), deviceId, static_cast<int32_t>(type), 0);
    }
  }
}

void TdevOnCloseDevice(TdevConnection_t* connection, int32_t replyCode, const char* deviceId,
                       int32_t dataId) {
  if (connection == nullptr || deviceId == nullptr) return;
  const int32_t result = TdevReplyCodeToResult(replyCode);
  // Stored first, so a waiter that wakes on the reply sees it.
  if (dataId > 0) TdevSetReceivedId(connection, dataId);
  TdevDeviceResultCallback slot = ReadSlot(connection, &TdevConnectionSlots_t::closeResult);
  uint32_t type = 0;
  int32_t state = -1;
  auto handle = TdevFindDriverHandle(connection, deviceId, &type, &state);
  if (slot != nullptr && handle != nullptr && state == TDEV_HANDLE_CLOSING) {
    const std::string host = TdevConnectionHost(connection);
    if (result != 0) {
      TdevSetDriverHandleState(connection, handle.get(), TDEV_HANDLE_OPEN);
      slot(connection, handle.get(), host.c_str(), deviceId, static_cast<int32_t>(type), result);
    } else {
      // Gone before the waiter wakes; the reference above keeps it for the call.
      TdevRemoveDriverHandle(connection, handle.get());
      slot(connection, handle.get(), host.c_str(), deviceId, static_cast<int32_t>(type), 0);
    }
  }
}

void TdevFailOpeningDevices(TdevConnection_t* connection) {
  if (connection == nullptr) return;
  TdevDeviceResultCallback slot = ReadSlot(connection, &TdevConnectionSlots_t::openResult);
  if (slot == nullptr) return;
  std::vector<TdevDriverHandleEntry_t> failed;
  {
    PlatformLockGuard guard(connection->driverLock);
    auto& list = connection->drivers;
    for (auto it = list.begin(); it != list.end();) {
      if (it->state == TDEV_HANDLE_OPENING) {
        failed.push_back(std::move(*it));
        it = list.erase(it);
      } else {
        ++it;
      }
    }
  }
  const std::string host = TdevConnectionHost(connection);
  for (auto& entry : failed) {
    slot(connection, entry.handle.get(), host.c_str(), entry.handle->deviceId.c_str(),
         static_cast<int32_t>(entry.type), 4);
    DestroyHandle(entry.handle);
  }
}

void TdevFailClosingDevices(TdevConnection_t* connection) {
  if (connection == nullptr) return;
  TdevDeviceResultCallback slot = ReadSlot(connection, &TdevConnectionSlots_t::closeResult);
  if (slot == nullptr) return;
  std::vector<TdevDriverHandleEntry_t> failed;
  {
    PlatformLockGuard guard(connection->driverLock);
    for (auto& entry : connection->drivers) {
      if (entry.state != TDEV_HANDLE_CLOSING) continue;
      entry.state = TDEV_HANDLE_OPEN;
      failed.push_back(entry);
    }
  }
  const std::string host = TdevConnectionHost(connection);
  for (auto& entry : failed) {
    slot(connection, entry.handle.get(), host.c_str(), entry.handle->deviceId.c_str(),
         static_cast<int32_t>(entry.type), 4);
  }
}

// ---- Message boxes ------------------------------------------------------------------------

int TdevOpenCommBox(TdevConnection_t* connection, const char* boxId, const char* memberId,
                    int32_t sequence, std::shared_ptr<TdevCommBoxEntry_t>* out) {
  if (connection == nullptr || boxId == nullptr || memberId == nullptr) return 1;
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 1;
  if (TdevGetCondition(connection) != TDEV_CONDITION_CONNECTED) return 4;
  std::shared_ptr<TdevCommBoxEntry_t> entry;
  try {
    entry = std::make_shared<TdevCommBoxEntry_t>();
    entry->boxId = boxId;
    entry->memberId = memberId;
  } catch (const std::bad_alloc&) {
    return 12;
  }
  entry->connection = connection;
  entry->connectionRef = ref;
  TdevBuffer_t* message = nullptr;
  const int built = TdevMsgOpenCommBox(boxId, memberId, sequence, &message);
  if (built != TDEV_BUILD_OK) return BuilderResult(built);
  {
    PlatformLockGuard guard(connection->boxLock);
    try {
      connection->boxes.push_back({entry, sequence, TDEV_HANDLE_OPENING});
    } catch (const std::bad_alloc&) {
      TdevBufferFree(message);
      return 12;
    }
  }
  RegisterBox(entry);
  const int result = SendBuilt(connection, message);
  if (result != 0) {
    TdevCommBoxListDrop(connection, entry.get());
    return result;
  }
  if (out != nullptr) *out = entry;
  return 0;
}

int TdevCloseCommBox(TdevConnection_t* connection, TdevCommBoxEntry_t* entry, int32_t sequence) {
  if (connection == nullptr || entry == nullptr) return 1;
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 1;
  if (TdevGetCondition(connection) != TDEV_CONDITION_CONNECTED) return 4;
  std::string boxId;
  {
    PlatformLockGuard guard(connection->boxLock);
    auto it = std::find_if(connection->boxes.begin(), connection->boxes.end(),
                           [&](const TdevCommBoxNode_t& n) { return n.entry.get() == entry; });
    if (it == connection->boxes.end()) return 255;
    boxId = it->entry->boxId;
    it->sequence = sequence;
    it->state = TDEV_HANDLE_CLOSING;
  }
  TdevBuffer_t* message = nullptr;
  const int built = TdevMsgCloseCommBox(boxId.c_str(), sequence, &message);
  const int result = built == TDEV_BUILD_OK ? SendBuilt(connection, message) : BuilderResult(built);
  if (result != 0) TdevCommBoxListReopen(connection, entry);
  return result;
}

void TdevCommBoxListReopen(TdevConnection_t* connection, TdevCommBoxEntry_t* entry) {
  if (connection == nullptr) return;
  PlatformLockGuard guard(connection->boxLock);
  for (auto& node : connection->boxes) {
    if (node.entry.get() != entry) continue;
    node.sequence = 0;
    node.state = TDEV_HANDLE_OPEN;
  }
}

void TdevCommBoxListDrop(TdevConnection_t* connection, TdevCommBoxEntry_t* entry) {
  if (connection == nullptr) return;
  std::shared_ptr<TdevCommBoxEntry_t> taken;
  {
    PlatformLockGuard guard(connection->boxLock);
    auto& boxes = connection->boxes;
    auto it = std::find_if(boxes.begin(), boxes.end(),
                           [&](const TdevCommBoxNode_t& n) { return n.entry.get() == entry; });
    if (it == boxes.end()) return;
    taken = std::move(it->entry);
    boxes.erase(it);
  }
  UnregisterBox(taken.get());
}

int TdevCommBoxListSetCallback(TdevConnection_t* connection, int32_t index,
                               TdevCommBoxResultCallback callback) {
  if (connection == nullptr) return 5;
  if (index < 0 || index > 1) return 255;
  PlatformLockGuard guard(connection->callbackLock);
  if (!guard) return 255;
  connection->boxCallbacks[index] = callback;
  return 0;
}

std::shared_ptr<TdevCommBoxEntry_t> TdevCommBoxListFindById(TdevConnection_t* connection,
                                                            const char* boxId) {
  if (connection == nullptr || boxId == nullptr) return nullptr;
  PlatformLockGuard guard(connection->boxLock);
  for (auto& node : connection->boxes)
    if (node.entry->boxId == boxId) return node.entry;
  return nullptr;
}

int TdevCommBoxListHasOpen(TdevConnection_t* connection) {
  if (connection == nullptr) return 0;
  PlatformLockGuard guard(connection->boxLock);
  for (auto& node : connection->boxes)
    if (node.state == TDEV_HANDLE_OPEN) return 1;
  return 0;
}

namespace {

TdevCommBoxResultCallback BoxCallback(TdevConnection_t* connection, int index) {
  PlatformLockGuard guard(connection->callbackLock);
  return connection->boxCallbacks[index];
}

// The reply of an open (index 0) or close (index 1) of a message box.
void OnBoxReply(TdevConnection_t* connection, int index, int32_t replyCode, int32_t sequence,
                int32_t dataId) {
  if (connection == nullptr) return;
  const int32_t result = TdevReplyCodeToResult(replyCode);
  if (dataId > 0) TdevSetReceivedId(connection, dataId);
  const int32_t wanted = index == 0 ? TDEV_HANDLE_OPENING : TDEV_HANDLE_CLOSING;
  std::shared_ptr<TdevCommBoxEntry_t> entry;
  TdevCommBoxResultCallback callback = BoxCallback(connection, index);
  if (callback != nullptr && sequence != 0) {
    PlatformLockGuard guard(connection->boxLock);
    auto& boxes = connection->boxes;
    auto it = std::find_if(boxes.begin(), boxes.end(), [&](const TdevCommBoxNode_t& n) {
      return n.sequence == sequence && n.state == wanted;
    });
    if (it != boxes.end()) {
      entry = it->entry;
      const bool unlink = (index == 0) == (result != 0);  // failed open, or closed
      if (unlink) {
        boxes.erase(it);
      } else {
        it->sequence = 0;
        it->state = TDEV_HANDLE_OPEN;
      }
    }
  }
  if (entry != nullptr) {
    const std::string host = TdevConnectionHost(connection);
    if ((index == 0) == (result != 0)) UnregisterBox(entry.get());
    callback(connection, result == 0 ? entry.get() : nullptr, host.c_str(), result, sequence);
  }
}

// Link lost: the boxes in the given state are told 4.
void FailBoxes(TdevConnection_t* connection, int index) {
  if (connection == nullptr) return;
  TdevCommBoxResultCallback callback = BoxCallback(connection, index);
  if (callback == nullptr) return;
  std::vector<TdevCommBoxNode_t> failed;
  {
    PlatformLockGuard guard(connection->boxLock);
    auto& boxes = connection->boxes;
    for (auto it = boxes.begin(); it != boxes.end();) {
      if (index == 0 && it->state == TDEV_HANDLE_OPENING) {
        failed.push_back(std::move(*it));
        it = boxes.erase(it);
        continue;
      }
      if (index == 1 && it->state == TDEV_HANDLE_CLOSING) {
        failed.push_back(*it);
        it->sequence = 0;
        it->state = TDEV_HANDLE_OPEN;
      }
      ++it;
    }
  }
  const std::string host = TdevConnectionHost(connection);
  for (auto& node : failed) {
    callback(connection, node.entry.get(), host.c_str(), 4, node.sequence);
    if (index == 0) UnregisterBox(node.entry.get());
  }
}

}  // namespace

void TdevOnOpenCommBox(TdevConnection_t* connection, int32_t replyCode, const char*,
                       int32_t sequence, int32_t dataId) {
  OnBoxReply(connection, 0, replyCode, sequence, dataId);
}

void TdevOnCloseCommBox(TdevConnection_t* connection, int32_t replyCode, const char*,
                        int32_t sequence, int32_t dataId) {
  OnBoxReply(connection, 1, replyCode, sequence, dataId);
}

void TdevFailOpeningCommBoxes(TdevConnection_t* connection) { FailBoxes(connection, 0); }
void TdevFailClosingCommBoxes(TdevConnection_t* connection) { FailBoxes(connection, 1); }

void TdevClearCommBoxes(TdevConnection_t* connection) {
  if (connection == nullptr) return;
  std::vector<TdevCommBoxNode_t> taken;
  {
    PlatformLockGuard guard(connection->boxLock);
    taken.swap(connection->boxes);
  }
  for (auto& node : taken) UnregisterBox(node.entry.get());
}

// ---- Printer handle fields --------------------------------------------------------------

TdevAnyCallback TdevGetPrinterCallback(TdevPrinterHandle_t* handle, int32_t index) {
  if (handle == nullptr || index < 0 || index >= TDEV_PRINTER_SLOTS) return nullptr;
  PlatformLockGuard guard(handle->callbackLock);
  if (!guard) return nullptr;
  return handle->printerSlots[index];
}

TdevAnyCallback TdevGetHybridPrinterCallback(TdevPrinterHandle_t* handle, int32_t index) {
  if (handle == nullptr || index < 0 || index >= TDEV_HYBRID_SLOTS) return nullptr;
  PlatformLockGuard guard(handle->callbackLock);
  if (!guard) return nullptr;
  return handle->hybridSlots[index];
}

int TdevSetPrinterCallback(TdevPrinterHandle_t* handle, int32_t index, TdevAnyCallback function) {
  if (handle == nullptr) return 1;
  if (index < 0 || index >= TDEV_PRINTER_SLOTS) return 255;
  PlatformLockGuard guard(handle->callbackLock);
  if (!guard) return 255;
  handle->printerSlots[index] = function;
  return 0;
}

int TdevSetHybridPrinterCallback(TdevPrinterHandle_t* handle, int32_t index,
                                 TdevAnyCallback function) {
  if (handle == nullptr) return 1;
  if (index < 0 || index >= TDEV_HYBRID_SLOTS) return 255;
  PlatformLockGuard guard(handle->callbackLock);
  if (!guard) return 255;
  handle->hybridSlots[index] = function;
  return 0;
}

namespace {
template <class T>
int StoreField(TdevPrinterHandle_t* handle, PlatformMutex_t TdevPrinterHandle_t::*lock,
               T TdevPrinterHandle_t::*field, T value) {
  if (handle == nullptr) return 1;
  PlatformLockGuard guard(handle->*lock);
  handle->*field = value;  // stored even when the lock failed, as the callers expect
  return guard ? 0 : 255;
}
template <class T>
T ReadField(TdevPrinterHandle_t* handle, PlatformMutex_t TdevPrinterHandle_t::*lock,
            T TdevPrinterHandle_t::*field) {
  if (handle == nullptr) return T{};
  PlatformLockGuard guard(handle->*lock);
  return handle->*field;
}
}  // namespace

int TdevSetPrinterStatus(TdevPrinterHandle_t* handle, uint32_t status) {
  return StoreField(handle, &TdevPrinterHandle_t::statusLock, &TdevPrinterHandle_t::status, status);
}
uint32_t TdevGetPrinterStatus(TdevPrinterHandle_t* handle) {
  return ReadField(handle, &TdevPrinterHandle_t::statusLock, &TdevPrinterHandle_t::status);
}
int TdevSetBatteryLevel(TdevPrinterHandle_t* handle, int32_t battery) {
  return StoreField(handle, &TdevPrinterHandle_t::batteryLock, &TdevPrinterHandle_t::battery,
                    battery);
}
int32_t TdevGetBatteryLevel(TdevPrinterHandle_t* handle) {
  return ReadField(handle, &TdevPrinterHandle_t::batteryLock, &TdevPrinterHandle_t::battery);
}
int TdevSetMonitorInterval(TdevPrinterHandle_t* handle, int32_t intervalMs) {
  auto ref = TdevRefPrinterHandle(handle);
  if (ref == nullptr) return 1;
  return StoreField(handle, &TdevPrinterHandle_t::intervalLock, &TdevPrinterHandle_t::interval,
                    intervalMs);
}
int32_t TdevGetMonitorInterval(TdevPrinterHandle_t* handle) {
  return ReadField(handle, &TdevPrinterHandle_t::intervalLock, &TdevPrinterHandle_t::interval);
}
int TdevSetMonitorRunning(TdevPrinterHandle_t* handle, uint8_t running) {
  return StoreField(handle, &TdevPrinterHandle_t::monitorFlagLock,
                    &TdevPrinterHandle_t::monitorRunning, running);
}
uint8_t TdevIsMonitorRunning(TdevPrinterHandle_t* handle) {
  return ReadField(handle, &TdevPrinterHandle_t::monitorFlagLock,
                   &TdevPrinterHandle_t::monitorRunning);
}
int TdevHybridSetSelectingPaper(TdevPrinterHandle_t* handle, int32_t flag) {
  return StoreField(handle, &TdevPrinterHandle_t::selectingPaperLock,
                    &TdevPrinterHandle_t::selectingPaper, static_cast<uint8_t>(flag != 0));
}
int TdevHybridIsSelectingPaper(TdevPrinterHandle_t* handle) {
  return ReadField(handle, &TdevPrinterHandle_t::selectingPaperLock,
                   &TdevPrinterHandle_t::selectingPaper);
}

// ---- Keyboard prefixes -------------------------------------------------------------------

int TdevKeyboardAddPrefix(TdevKeyboardHandle_t* handle, const uint8_t* bytes, int32_t count) {
  if (handle == nullptr || bytes == nullptr) return 1;
  PlatformLockGuard guard(handle->prefixLock);
  if (!guard) return 255;
  size_t used = std::char_traits<char>::length(handle->prefix);
  for (int32_t i = 0; i < count && used < sizeof handle->prefix - 1; ++i) {
    const char byte = static_cast<char>(bytes[i]);
    if (byte == 0 || std::char_traits<char>::find(handle->prefix, used, byte) != nullptr) continue;
    handle->prefix[used++] = byte;
  }
  handle->prefix[used] = 0;
  return 0;
}

int TdevKeyboardClearPrefix(TdevKeyboardHandle_t* handle) {
  if (handle == nullptr) return 1;
  PlatformLockGuard guard(handle->prefixLock);
  if (!guard) return 255;
  std::fill(std::begin(handle->prefix), std::end(handle->prefix), 0);
  return 0;
}

// ---- Printer slot setters of the device API layer ---------------------------------------------

namespace {
template <class Function>
int SetSlot(TdevPrinterHandle_t* handle, int32_t index, Function function) {
  if (TdevRefPrinterHandle(handle) == nullptr) return 1;
  return TdevSetPrinterCallback(handle, index, reinterpret_cast<TdevAnyCallback>(function));
}
}  // namespace

int TdevPrinterSetOnlineCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 1, &TdcPrinterServiceEventOnline);
}
int TdevPrinterSetOfflineCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 2, &TdcPrinterServiceEventOffline);
}
int TdevPrinterSetPowerOffCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 3, &TdcPrinterServiceEventPowerOff);
}
int TdevPrinterSetCoverCloseCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 4, &TdcPrinterServiceEventCoverClose);
}
int TdevPrinterSetCoverOpenCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 5, &TdcPrinterServiceEventCoverOpen);
}
int TdevPrinterSetPaperOkCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 6, &TdcPrinterServiceEventPaperOk);
}
int TdevPrinterSetPaperNearEndCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 7, &TdcPrinterServiceEventPaperNearEnd);
}
int TdevPrinterSetPaperEmptyCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 8, &TdcPrinterServiceEventPaperEmpty);
}
int TdevPrinterSetDrawerHighCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 9, &TdcPrinterServiceEventDrawerHigh);
}
int TdevPrinterSetDrawerLowCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 10, &TdcPrinterServiceEventDrawerLow);
}
int TdevPrinterSetBatteryEmptyCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 11, &TdcPrinterServiceEventBatteryEmpty);
}
int TdevPrinterSetBatteryEnoughCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 12, &TdcPrinterServiceEventBatteryEnough);
}
int TdevPrinterSetReceiveCallback(TdevPrinterHandle_t* h) {
  return SetSlot(h, 14, &TdcOnPrinterServiceResult);
}

}  // namespace tilo2::core
