#pragma once
// Event and result callbacks of a print handle: registration, the switch that
// lets events fire, and the dispatch of a status word change to the
// per-condition event slots.

#include <cstdint>

#include "engine/print_handle.h"

namespace tilo2::core {

enum EventSlot : int {
  EVENT_STATUS_CHANGE = 0,
  EVENT_ONLINE = 1,
  EVENT_OFFLINE = 2,
  EVENT_POWER_OFF = 3,
  EVENT_COVER_CLOSE = 4,
  EVENT_COVER_OPEN = 5,
  EVENT_PAPER_OK = 6,
  EVENT_PAPER_NEAR_END = 7,
  EVENT_PAPER_EMPTY = 8,
  EVENT_DRAWER_HIGH = 9,
  EVENT_DRAWER_LOW = 10,
  EVENT_BATTERY_EMPTY = 11,
  EVENT_BATTERY_ENOUGH = 12,
  EVENT_BATTERY_CHANGE = 13,
  EVENT_INSERTION_WAIT = 14,
  EVENT_INSERTION_WAIT_NONE = 15,
  EVENT_REMOVAL_WAIT_PAPER = 16,
  EVENT_REMOVAL_WAIT_NONE = 17,
  EVENT_SLIP_PAPER_OK = 18,
  EVENT_SLIP_PAPER_EMPTY = 19,
};

enum ResultSlot : int {
  RESULT_PRINT = 0,
  RESULT_DISPLAY = 1,
  RESULT_HYBRID = 2,
};

// Bits of the status word that the dispatch looks at.
inline constexpr uint32_t kStatusNoResponse = 0x1;
inline constexpr uint32_t kStatusDrawer = 0x4;
inline constexpr uint32_t kStatusOffline = 0x8;
inline constexpr uint32_t kStatusCoverOpen = 0x20;
inline constexpr uint32_t kStatusPaperNearEnd = 0x10000;
inline constexpr uint32_t kStatusInsertionWait = 0x20000;
inline constexpr uint32_t kStatusPaperEmpty = 0x40000;
inline constexpr uint32_t kStatusRemovalWait = 0x80000;
inline constexpr uint32_t kStatusSlipPaper = 0x80000000u;

// 0; 6 for a null handle; 255 for a slot above 19 or a lock failure.
int SetEventCallback(PrintHandle_t* handle, int slot, EventCallback callback);
EventCallback GetEventCallback(PrintHandle_t* handle, int slot);
// Index 0 print, 1 display, 2 hybrid; the pointer is stored as given, so it
// must be of that slot's type. Results as SetEventCallback.
int SetResultCallback(PrintHandle_t* handle, int index, void* callback);
// The three result slots as one snapshot; all null for a null handle.
ResultCallbacks GetResultCallbacks(PrintHandle_t* handle);
int SetCallbackEnabled(PrintHandle_t* handle, uint8_t value);
bool IsCallbackEnabled(PrintHandle_t* handle);

// Public setters: 1 for an unknown handle, else SetEventCallback's result.
int TiloSetCoverCloseCallback(PrintHandle_t* handle, EventCallback callback);
int TiloSetCoverOpenCallback(PrintHandle_t* handle, EventCallback callback);
int TiloSetPaperOkCallback(PrintHandle_t* handle, EventCallback callback);
int TiloSetPaperNearEndCallback(PrintHandle_t* handle, EventCallback callback);
int TiloSetPaperEmptyCallback(PrintHandle_t* handle, EventCallback callback);
int TiloSetDrawerHighCallback(PrintHandle_t* handle, EventCallback callback);
int TiloSetDrawerLowCallback(PrintHandle_t* handle, EventCallback callback);

// Fires the event slots for the change from oldFlags to newFlags (oldFlags
// 0xFFFFFFFF: no previous word, every bit counts as changed).
void NotifyStatusChange(TdcBackendEnv_t* env, PrintHandle_t* handle, uint32_t oldFlags,
                        uint32_t newFlags);
void NotifyBatteryChange(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t oldValue,
                         int32_t newValue);
// Stores the no-response word built from the last automatic status and
// dispatches the change.
void NotifyNoResponse(TdcBackendEnv_t* env, PrintHandle_t* handle);
void FireEvent(TdcBackendEnv_t* env, PrintHandle_t* handle, int slot);

// How every writer of statusFlags stores a word: it swaps the word in and
// dispatches from the word it swapped out, so two writers racing on the queue
// and monitor threads neither lose nor double an event.
void StoreStatusFlags(TdcBackendEnv_t* env, PrintHandle_t* handle, uint32_t newFlags);

// The no-response word for the four raw automatic status bytes.
uint32_t NoResponseFlags(const uint8_t rawAsb[4]);

}  // namespace tilo2::core
