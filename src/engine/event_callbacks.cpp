#include "engine/event_callbacks.h"

#include <cstring>
#include <iterator>

#include "engine/engine_log.h"
#include "engine/print_result.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

namespace {

// A pair of slots fired when its bit changed: the first when the bit is now set.
struct EventPair {
  uint32_t bit;
  int whenSet;
  int whenClear;
};

// In firing order; the paper triple goes between the cover and the drawer pair.
constexpr EventPair kPairsBeforePaper[] = {
    {kStatusOffline, EVENT_OFFLINE, EVENT_ONLINE},
    {kStatusCoverOpen, EVENT_COVER_OPEN, EVENT_COVER_CLOSE},
};
constexpr EventPair kPairsAfterPaper[] = {
    {kStatusDrawer, EVENT_DRAWER_HIGH, EVENT_DRAWER_LOW},
    {kStatusDrawer, EVENT_BATTERY_EMPTY, EVENT_BATTERY_ENOUGH},
    {kStatusInsertionWait, EVENT_INSERTION_WAIT, EVENT_INSERTION_WAIT_NONE},
    {kStatusRemovalWait, EVENT_REMOVAL_WAIT_PAPER, EVENT_REMOVAL_WAIT_NONE},
    {kStatusSlipPaper, EVENT_SLIP_PAPER_OK, EVENT_SLIP_PAPER_EMPTY},
};

// The flag sets the slip-paper bit unless all three of its source bits are set.
constexpr uint32_t kSlipSourceBits = 0x40600000u;

void FireWithValue(TdcBackendEnv_t* env, PrintHandle_t* handle, int slot, uint32_t value) {
  // Called without the table lock: a callback may register callbacks.
  const EventCallback callback = GetEventCallback(handle, slot);
  if (callback != nullptr) callback(env, handle, handle->address, value);
}

void FirePairs(TdcBackendEnv_t* env, PrintHandle_t* handle, const EventPair* pairs, size_t count,
               uint32_t changed, uint32_t newFlags) {
  for (size_t i = 0; i < count; ++i) {
    if ((changed & pairs[i].bit) == 0) continue;
    FireEvent(env, handle, (newFlags & pairs[i].bit) != 0 ? pairs[i].whenSet : pairs[i].whenClear);
  }
}

int SetPublicSlot(PrintHandle_t* handle, int slot, EventCallback callback) {
  if (!CheckHandleList(handle)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  return SetEventCallback(handle, slot, callback);
}

}  // namespace

int SetEventCallback(PrintHandle_t* handle, int slot, EventCallback callback) {
  if (handle == nullptr) {
    EngineErrorLine(kCallbackSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  if (slot < 0 || slot >= kEventSlotCount) {
    EngineErrorLine(kCallbackSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  PlatformLockGuard lock(handle->eventTableLock);
  if (!lock) {
    EngineErrorLine(kCallbackSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  handle->eventCallbacks[slot] = callback;
  return TILOPRN_SUCCESS;
}

EventCallback GetEventCallback(PrintHandle_t* handle, int slot) {
  if (handle == nullptr || slot < 0 || slot >= kEventSlotCount) return nullptr;
  PlatformLockGuard lock(handle->eventTableLock);
  return lock ? handle->eventCallbacks[slot] : nullptr;
}

int SetResultCallback(PrintHandle_t* handle, int index, void* callback) {
  if (handle == nullptr) {
    EngineErrorLine(kCallbackSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  if (index < 0 || index >= kResultSlotCount) {
    EngineErrorLine(kCallbackSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  PlatformLockGuard lock(handle->resultLock);
  if (!lock) {
    EngineErrorLine(kCallbackSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  switch (index) {
    case RESULT_PRINT:
      handle->resultCallbacks.print = reinterpret_cast<PrintResultCallback>(callback);
      break;
    case RESULT_DISPLAY:
      handle->resultCallbacks.display = reinterpret_cast<DisplayResultCallback>(callback);
      break;
    default:
      handle->resultCallbacks.hybrid = reinterpret_cast<HybridResultCallback>(callback);
      break;
  }
  return TILOPRN_SUCCESS;
}

ResultCallbacks GetResultCallbacks(PrintHandle_t* handle) {
  if (handle == nullptr) return {};
  PlatformLockGuard lock(handle->resultLock);
  return lock ? handle->resultCallbacks : ResultCallbacks{};
}

int SetCallbackEnabled(PrintHandle_t* handle, uint8_t value) {
  if (handle == nullptr) {
    EngineErrorLine(kCallbackSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  PlatformLockGuard lock(handle->callbacksLock);
  if (!lock) {
    EngineErrorLine(kCallbackSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  handle->callbacksEnabled = value;
  return TILOPRN_SUCCESS;
}

bool IsCallbackEnabled(PrintHandle_t* handle) {
  if (handle == nullptr) return true;
  PlatformLockGuard lock(handle->callbacksLock);
  if (!lock) {
    EngineErrorLine(kCallbackSource, __LINE__);
    return true;
  }
  return handle->callbacksEnabled != 0;
}

int TiloSetCoverCloseCallback(PrintHandle_t* handle, EventCallback callback) {
  return SetPublicSlot(handle, EVENT_COVER_CLOSE, callback);
}
int TiloSetCoverOpenCallback(PrintHandle_t* handle, EventCallback callback) {
  return SetPublicSlot(handle, EVENT_COVER_OPEN, callback);
}
int TiloSetPaperOkCallback(PrintHandle_t* handle, EventCallback callback) {
  return SetPublicSlot(handle, EVENT_PAPER_OK, callback);
}
int TiloSetPaperNearEndCallback(PrintHandle_t* handle, EventCallback callback) {
  return SetPublicSlot(handle, EVENT_PAPER_NEAR_END, callback);
}
int TiloSetPaperEmptyCallback(PrintHandle_t* handle, EventCallback callback) {
  return SetPublicSlot(handle, EVENT_PAPER_EMPTY, callback);
}
int TiloSetDrawerHighCallback(PrintHandle_t* handle, EventCallback callback) {
  return SetPublicSlot(handle, EVENT_DRAWER_HIGH, callback);
}
int TiloSetDrawerLowCallback(PrintHandle_t* handle, EventCallback callback) {
  return SetPublicSlot(handle, EVENT_DRAWER_LOW, callback);
}

void NotifyStatusChange(TdcBackendEnv_t* env, PrintHandle_t* handle, uint32_t oldFlags,
                        uint32_t newFlags) {
  if (handle == nullptr || !IsCallbackEnabled(handle)) return;
  // A printer that answers again may have changed anything while it was away,
  // and the silent word says nothing of it: every pair reports afresh.
  const bool unknownBefore =
      oldFlags == kStatusFlagsUnknown ||
      ((oldFlags & kStatusNoResponse) != 0 && (newFlags & kStatusNoResponse) == 0);
  const uint32_t changed = unknownBefore ? 0xFFFFFFFFu : oldFlags ^ newFlags;
  if (changed == 0) return;
  FireWithValue(env, handle, EVENT_STATUS_CHANGE, newFlags);
  if ((newFlags & kStatusNoResponse) != 0) {
    // Said once per silence: another silent word is no news.
    if ((changed & kStatusNoResponse) != 0) FireEvent(env, handle, EVENT_POWER_OFF);
    return;
  }
  FirePairs(env, handle, kPairsBeforePaper, std::size(kPairsBeforePaper), changed, newFlags);
  if ((changed & (kStatusPaperNearEnd | kStatusPaperEmpty)) != 0) {
    int slot = EVENT_PAPER_OK;
    if ((newFlags & kStatusPaperEmpty) != 0) {
      slot = EVENT_PAPER_EMPTY;
    } else if ((newFlags & kStatusPaperNearEnd) != 0) {
      slot = EVENT_PAPER_NEAR_END;
    }
    FireEvent(env, handle, slot);
  }
  FirePairs(env, handle, kPairsAfterPaper, std::size(kPairsAfterPaper), changed, newFlags);
}

void NotifyBatteryChange(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t oldValue,
                         int32_t newValue) {
  if (handle == nullptr || !IsCallbackEnabled(handle) || oldValue == newValue) return;
  FireWithValue(env, handle, EVENT_BATTERY_CHANGE, static_cast<uint32_t>(newValue));
}

uint32_t NoResponseFlags(const uint8_t rawAsb[4]) {
  if (rawAsb[0] == 0xFF) return kStatusNoResponse;
  uint32_t flags = (uint32_t{rawAsb[3]} & 0x4F) << 24 | (uint32_t{rawAsb[2]} & 0x6F) << 16 |
                   (uint32_t{rawAsb[1]} & 0x6F) << 8 | (uint32_t{rawAsb[0]} & 0x6E);
  flags |= kStatusNoResponse;
  if ((flags & kSlipSourceBits) != kSlipSourceBits) flags |= kStatusSlipPaper;
  return flags;
}

void NotifyNoResponse(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (handle == nullptr) return;
  uint8_t raw[4];
  {
    PlatformLockGuard lock(handle->asbLock);
    if (!lock) return;
    std::memcpy(raw, handle->rawAsb, sizeof raw);
  }
  StoreStatusFlags(env, handle, NoResponseFlags(raw));
}

void FireEvent(TdcBackendEnv_t* env, PrintHandle_t* handle, int slot) {
  if (handle == nullptr) return;
  FireWithValue(env, handle, slot, 0);
}

void StoreStatusFlags(TdcBackendEnv_t* env, PrintHandle_t* handle, uint32_t newFlags) {
  if (handle == nullptr) return;
  const uint32_t oldFlags = handle->statusFlags.exchange(newFlags);
  NotifyStatusChange(env, handle, oldFlags, newFlags);
}

}  // namespace tilo2::core
