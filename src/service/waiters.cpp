#include "service/waiters.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "foundation/lock_guard.h"
#include "foundation/platform.h"
#include "service/host_connection.h"

namespace tilo2::core {

namespace {

enum Family : int {
  kConnect,
  kOpenDevice,
  kCloseDevice,
  kClearBuffer,
  kOpenBox,
  kWaitInsertion,
  kCloseBox,
  kFamilies,
};

constexpr int32_t kTimedOut = 3;

// One blocked call. Shared between the waiting thread and the callback that
// takes it off its list, so neither frees it under the other.
struct Waiter {
  const void* key = nullptr;     // connection, or handle for the hybrid families
  std::string text;              // host or device id
  const void* object = nullptr;  // handle (close device), entry
  int32_t sequence = 0;          // message-box request
  int32_t result = 0;
  void* answer = nullptr;  // handle or entry handed back by the reply
  bool done = false;       // under lock
  PlatformMutex_t lock{};
  PlatformCond_t event = nullptr;

  Waiter() {
    platform_mutex_init(&lock);
    platform_cond_init(&event);
  }
  ~Waiter() {
    platform_cond_destroy(&event);
    platform_mutex_destroy(&lock);
  }
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;
};
using WaiterRef = std::shared_ptr<Waiter>;

struct WaiterList {
  PlatformMutex_t lock = PLATFORM_MUTEX_STATIC_INITIALIZER;
  std::vector<WaiterRef> nodes;
};

WaiterList& List(Family family) {
  static auto* lists = new WaiterList[kFamilies];
  return lists[family];
}

// A new waiter, or null (with *result 12 or 255) when it cannot be made.
WaiterRef NewWaiter(int* result) {
  WaiterRef waiter;
  try {
    waiter = std::make_shared<Waiter>();
  } catch (const std::bad_alloc&) {
    *result = 12;
    return nullptr;
  }
  if (waiter->event == nullptr) {
    *result = 255;
    return nullptr;
  }
  return waiter;
}

// Appends; 12 when the node cannot be stored (a waiter that is not on its
// list could never be woken, so nothing is sent then).
int Register(Family family, const WaiterRef& waiter) {
  WaiterList& list = List(family);
  PlatformLockGuard guard(list.lock);
  if (!guard) return 255;
  try {
    list.nodes.push_back(waiter);
  } catch (const std::bad_alloc&) {
    return 12;
  }
  return 0;
}

// Unlinks this waiter; false when a callback took it first.
bool Remove(Family family, const WaiterRef& waiter) {
  WaiterList& list = List(family);
  PlatformLockGuard guard(list.lock);
  auto it = std::find(list.nodes.begin(), list.nodes.end(), waiter);
  if (it == list.nodes.end()) return false;
  list.nodes.erase(it);
  return true;
}

// Takes the first waiter whose keys match.
template <class Match>
WaiterRef Take(Family family, Match&& match) {
  WaiterList& list = List(family);
  PlatformLockGuard guard(list.lock);
  for (auto it = list.nodes.begin(); it != list.nodes.end(); ++it) {
    if (!match(**it)) continue;
    WaiterRef waiter = *it;
    list.nodes.erase(it);
    return waiter;
  }
  return nullptr;
}

void Complete(const WaiterRef& waiter, int32_t result, void* answer) {
  if (waiter == nullptr) return;
  PlatformLockGuard guard(waiter->lock);
  waiter->result = result;
  waiter->answer = answer;
  waiter->done = true;
  platform_cond_signal(&waiter->event);
}

// Sleeps until the reply or the bound. The event is auto-reset and stays set,
// so a reply that came before the wait is not lost. 3 when the bound passed
// first (the waiter has then left its list).
int32_t Wait(Family family, const WaiterRef& waiter, int32_t boundMs, void** answer = nullptr) {
  const uint64_t end = platform_tick_ms() + static_cast<uint64_t>(std::max(boundMs, 0));
  for (;;) {
    {
      PlatformLockGuard guard(waiter->lock);
      if (waiter->done) {
        if (answer != nullptr) *answer = waiter->answer;
        return waiter->result;
      }
    }
    const uint64_t now = platform_tick_ms();
    if (now >= end) {
      if (Remove(family, waiter)) return kTimedOut;
      // A callback holds it and is about to complete it.
      platform_cond_wait_ms(&waiter->event, -1);
      continue;
    }
    platform_cond_wait_ms(&waiter->event, static_cast<int>(end - now));
  }
}

int32_t BoundWithTimeout(int32_t timeoutMs) {
  const int64_t bound = static_cast<int64_t>(TdevReplyBoundMs()) + std::max(timeoutMs, 0);
  return static_cast<int32_t>(std::min<int64_t>(bound, INT32_MAX));
}

}  // namespace

// ---- Connect --------------------------------------------------------------------------

int TdevConnectSync(TdcBackendEnv_t*, const char* host, int32_t useTls, TdevConnection_t** out,
                    int32_t timeoutMs) {
  if (host == nullptr || out == nullptr) return 1;
  if (TdevConnection_t* shared = TdevTakeConnectedUser(host)) {
    *out = shared;
    return 0;
  }
  if (timeoutMs != -2 && (timeoutMs < 1000 || timeoutMs > 300000)) return 1;
  TdevConnection_t* connection = nullptr;
  int result = TdevCreateConnection(&connection);
  if (result != 0) return result;
  // The caller's use is counted from the start: a connection that another
  // caller finds connected in the meantime is never disconnected under it.
  TdevAddConnectionUser(connection);

  WaiterRef waiter = NewWaiter(&result);
  if (waiter != nullptr) {
    waiter->key = connection;
    waiter->text = host;
    result = Register(kConnect, waiter);
  }
  if (result == 0) {
    result = TdevConnect(connection, host, useTls, timeoutMs);
    if (result != 0) {
      Remove(kConnect, waiter);
    } else {
      // The channel gives its own verdict (refused, timed out) when the
      // timeout ends; a short grace lets that verdict through, and keeps the
      // whole connect within half a second of the caller's limit.
      result = Wait(kConnect, waiter, (timeoutMs == -2 ? 15000 : timeoutMs) + kTdevConnectGraceMs);
    }
  }
  if (result != 0) {
    TdevDestroyConnection(connection);
    return result;
  }
  *out = connection;
  return 0;
}

void TdevOnConnectReply(TdevConnection_t* connection, const char* host, int32_t result) {
  const std::string text = host != nullptr ? host : "";
  Complete(Take(kConnect, [&](const Waiter& w) { return w.key == connection && w.text == text; }),
           result, connection);
}

// ---- Devices ---------------------------------------------------------------------------

int TdevOpenDeviceSync(TdcBackendEnv_t*, TdevConnection_t* connection, const char* deviceId,
                       int32_t type, void** outHandle, int32_t boundMs) {
  if (connection == nullptr || deviceId == nullptr || outHandle == nullptr ||
      *outHandle != nullptr) {
    return 1;
  }
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 1;
  if (TdevFindDriverHandle(connection, deviceId) != nullptr) return 8;
  int result = 0;
  WaiterRef waiter = NewWaiter(&result);
  if (waiter == nullptr) return result;
  waiter->key = connection;
  waiter->text = deviceId;
  if ((result = Register(kOpenDevice, waiter)) != 0) return result;
  result = TdevOpenDevice(connection, deviceId, type);
  if (result != 0) {
    Remove(kOpenDevice, waiter);
    return result;
  }
  void* handle = nullptr;
  result = Wait(kOpenDevice, waiter, boundMs < 0 ? TdevReplyBoundMs() : boundMs, &handle);
  if (result == kTimedOut && handle == nullptr) {
    // Given up: the handle goes, so a late reply finds nothing to open.
    int32_t state = -1;
    auto opening = TdevFindDriverHandle(connection, deviceId, nullptr, &state);
    if (opening != nullptr && state == TDEV_HANDLE_OPENING) {
      TdevRemoveDriverHandle(connection, opening.get());
    }
    return result;
  }
  if (result == 0) *outHandle = handle;
  return result;
}

void TdevOnOpenDeviceReply(TdevConnection_t* connection, void* handle, const char*,
                           const char* deviceId, int32_t, int32_t result) {
  const std::string text = deviceId != nullptr ? deviceId : "";
  Complete(
      Take(kOpenDevice, [&](const Waiter& w) { return w.key == connection && w.text == text; }),
      result, handle);
}

int TdevCloseDeviceSync(TdcBackendEnv_t*, TdevConnection_t* connection, void* handle) {
  if (connection == nullptr || handle == nullptr) return 1;
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 1;
  int result = 0;
  WaiterRef waiter = NewWaiter(&result);
  if (waiter == nullptr) return result;
  waiter->key = connection;
  waiter->object = handle;
  if ((result = Register(kCloseDevice, waiter)) != 0) return result;
  result = TdevCloseDevice(connection, handle);
  if (result != 0) {
    Remove(kCloseDevice, waiter);
  } else {
    result = Wait(kCloseDevice, waiter, TdevReplyBoundMs());
    // Given up: the handle is open again as far as the client knows.
    if (result == kTimedOut) TdevSetDriverHandleState(connection, handle, TDEV_HANDLE_OPEN);
  }
  return result == 4 ? 11 : result;
}

void TdevOnCloseDeviceReply(TdevConnection_t* connection, void* handle, const char*, const char*,
                            int32_t, int32_t result) {
  Complete(Take(kCloseDevice,
                [&](const Waiter& w) { return w.key == connection && w.object == handle; }),
           result, handle);
}

// ---- Message boxes -----------------------------------------------------------------------

int TdevOpenCommBoxSync(TdcBackendEnv_t*, TdevConnection_t* connection, const char* boxId,
                        const char* memberId, TdevCommBoxEntry_t** out) {
  if (connection == nullptr || boxId == nullptr || memberId == nullptr || out == nullptr ||
      *out != nullptr) {
    return 1;
  }
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 1;
  TdevCommBoxListSetCallback(connection, 0, &TdevOnOpenCommBoxReply);
  int result = 0;
  WaiterRef waiter = NewWaiter(&result);
  if (waiter == nullptr) return result;
  // The sequence is in the waiter before the request can be answered.
  waiter->key = connection;
  waiter->sequence = TdevNextSequence(connection);
  if ((result = Register(kOpenBox, waiter)) != 0) return result;
  std::shared_ptr<TdevCommBoxEntry_t> entry;
  result = TdevOpenCommBox(connection, boxId, memberId, waiter->sequence, &entry);
  if (result != 0) {
    Remove(kOpenBox, waiter);
    return result;
  }
  void* answer = nullptr;
  result = Wait(kOpenBox, waiter, TdevReplyBoundMs(), &answer);
  if (result == kTimedOut && answer == nullptr) TdevCommBoxListDrop(connection, entry.get());
  if (result == 0) *out = static_cast<TdevCommBoxEntry_t*>(answer);
  return result;
}

void TdevOnOpenCommBoxReply(TdevConnection_t* connection, TdevCommBoxEntry_t* entry, const char*,
                            int32_t result, int32_t sequence) {
  Complete(Take(kOpenBox,
                [&](const Waiter& w) { return w.key == connection && w.sequence == sequence; }),
           result, entry);
}

int TdevCloseCommBoxSync(TdcBackendEnv_t*, TdevConnection_t* connection,
                         TdevCommBoxEntry_t* entry) {
  if (connection == nullptr || entry == nullptr) return 1;
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 1;
  TdevCommBoxListSetCallback(connection, 1, &TdevOnCloseCommBoxReply);
  int result = 0;
  WaiterRef waiter = NewWaiter(&result);
  if (waiter == nullptr) return result;
  waiter->key = connection;
  waiter->sequence = TdevNextSequence(connection);
  if ((result = Register(kCloseBox, waiter)) != 0) return result;
  result = TdevCloseCommBox(connection, entry, waiter->sequence);
  if (result != 0) {
    Remove(kCloseBox, waiter);
  } else {
    result = Wait(kCloseBox, waiter, TdevReplyBoundMs());
    if (result == kTimedOut) TdevCommBoxListReopen(connection, entry);
  }
  return result == 4 ? 11 : result;
}

void TdevOnCloseCommBoxReply(TdevConnection_t* connection, TdevCommBoxEntry_t* entry, const char*,
                             int32_t result, int32_t sequence) {
  Complete(Take(kCloseBox,
                [&](const Waiter& w) { return w.key == connection && w.sequence == sequence; }),
           result, entry);
}

// ---- Hybrid printers ----------------------------------------------------------------------

namespace {
int HybridWait(Family family, TdevPrinterHandle_t* handle, TdevHybridSender send, void* context,
               int32_t timeoutMs) {
  if (handle == nullptr || send == nullptr) return 1;
  int result = 0;
  WaiterRef waiter = NewWaiter(&result);
  if (waiter == nullptr) return result;
  waiter->key = handle;
  if ((result = Register(family, waiter)) != 0) return result;
  result = send(handle, context);
  if (result != 0) {
    Remove(family, waiter);
    return result;
  }
  return Wait(family, waiter, BoundWithTimeout(timeoutMs));
}
}  // namespace

int TdevHybridClearBufferWait(TdevPrinterHandle_t* handle, TdevHybridSender send, void* context,
                              int32_t timeoutMs) {
  return HybridWait(kClearBuffer, handle, send, context, timeoutMs);
}

int TdevHybridWaitInsertionWait(TdevPrinterHandle_t* handle, TdevHybridSender send, void* context,
                                int32_t timeoutMs) {
  return HybridWait(kWaitInsertion, handle, send, context, timeoutMs);
}

void TdevOnClearBufferReply(TdevPrinterHandle_t* handle, int32_t result) {
  Complete(Take(kClearBuffer, [&](const Waiter& w) { return w.key == handle; }), result, handle);
}

void TdevOnWaitInsertionReply(TdevPrinterHandle_t* handle, int32_t result, uint32_t) {
  Complete(Take(kWaitInsertion, [&](const Waiter& w) { return w.key == handle; }), result, handle);
}

int32_t TdevPendingWaiters() {
  int32_t count = 0;
  for (int f = 0; f < kFamilies; ++f) {
    WaiterList& list = List(static_cast<Family>(f));
    PlatformLockGuard guard(list.lock);
    count += static_cast<int32_t>(list.nodes.size());
  }
  return count;
}

}  // namespace tilo2::core
