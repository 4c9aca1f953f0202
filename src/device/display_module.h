#pragma once
// The line display module: the record a line-display object owns, its typed
// command list with the two operation tables it replays through, connect,
// send, status, disconnect and destroy on either backend, the registry, and
// the callbacks through which both backends report results and connection
// events.

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "device/device_types.h"
#include "engine/print_handle.h"

namespace tilo2::core {

struct DisplayBuilder_t;
struct TdevDisplayHandle_t;

enum TdcLineDisplayCommandKind : int32_t {
  TDC_DSP_INITIALIZE = 0,
  TDC_DSP_CREATE_WINDOW = 1,
  TDC_DSP_DESTROY_WINDOW = 2,
  TDC_DSP_SET_CURRENT_WINDOW = 3,
  TDC_DSP_CLEAR_CURRENT_WINDOW = 4,
  TDC_DSP_SET_CURSOR_POSITION = 5,
  TDC_DSP_MOVE_CURSOR_POSITION = 6,
  TDC_DSP_SET_CURSOR_TYPE = 7,
  TDC_DSP_TEXT = 8,
  TDC_DSP_REVERSE_TEXT = 9,
  TDC_DSP_MARQUEE_TEXT = 10,
  TDC_DSP_SET_BLINK = 11,
  TDC_DSP_SET_BRIGHTNESS = 12,
  TDC_DSP_SHOW_CLOCK = 13,
  TDC_DSP_COMMAND = 14,
};
inline constexpr int kTdcLineDisplayCommandKinds = 15;

// Argument blocks. Kinds 2, 3, 6, 7, 11 and 12 keep one int32_t, kind 5 two
// (x, y), kind 1 six (number, x, y, width, height, scroll mode).
struct TdcDisplayTextArgs_t {  // kinds 8 and 9
  char* text;                  // own copy
  int32_t x;                   // -1 with y -1: no position
  int32_t y;
  int32_t lang;
};

struct TdcMarqueeArgs_t {  // kind 10
  char* text;              // own copy
  int32_t format;
  int32_t unitWait;
  int32_t repeatWait;
  int32_t repeatCount;
  int32_t lang;
};

struct TdcDisplayDataArgs_t {  // kind 14
  uint8_t* bytes;              // own copy
  int32_t length;
};

// Slot k executes kind k. Each slot takes the record's builder first, typed
// as the backend's own (DisplayBuilder_t* direct, TdevDisplayHandle_t*
// through the device service; slot 14 of the service takes it as void*), then
// the kind's values mapped into that backend's numbering.
struct TdcLineDisplayOps_t {
  void* slot[kTdcLineDisplayCommandKinds];
};

using TdcDisplayResultCallback = void (*)(void* record, int32_t code, void* user);

// The device record of one line display, allocated zero-filled by its owner,
// which sets mode -3, the series and the two callback pairs; freed by
// TdcDestroyLineDisplay. The field order is fixed.
struct TdcLineDisplay_t {
  int32_t mode;                  // TdcBackendMode
  int32_t portType;              // TdcPortType of the last successful connect
  int32_t series;                // 0 "CD-A2", 1 "CD-A4", 2 "CD-A1"
  TdevConnection_t* connection;  // device service only
  void* handle;                  // PrintHandle_t* or TdevDisplayHandle_t*; the registry key
  void* builder;  // DisplayBuilder_t* (kept across disconnects) or the display handle
  TdcCommand_t* commands;
  TdcLineDisplayOps_t* ops;  // from connect to disconnect
  TdcDisplayResultCallback onReceive;
  void* onReceiveUser;
  TdcConnectionCallback onConnection;
  void* onConnectionUser;
};

// ---- Command list -----------------------------------------------------------------
// Copy functions: read one kind's values from args and return a new block;
// null when out of memory or for a null text or bytes.
void* TdcCopyIntArg(va_list* args);
void* TdcCopyTwoIntArgs(va_list* args);
void* TdcCopyCreateWindowArgs(va_list* args);
void* TdcCopyDisplayTextArgs(va_list* args);
void* TdcCopyMarqueeArgs(va_list* args);
void* TdcCopyDataArgs(va_list* args);

// Appends one node at the tail; the values follow in the order of the kind's
// block (ints as int32_t, text as const char*, bytes as const uint8_t* then an
// int32_t length). 1 for a null list pointer or a value outside the kind's
// range; 10 when out of memory (nothing appended). An unknown kind gets a node
// without values, which the replay skips.
int TdcAddLineDisplayCommand(TdcCommand_t** list, int32_t kind, ...);
// Frees every node with its block and copies; the head becomes null. 1 for null.
int TdcClearLineDisplayCommands(TdcCommand_t** list);
int TdcAddCreateWindow(TdcLineDisplay_t* record, int32_t number, int32_t x, int32_t y,
                       int32_t width, int32_t height, int32_t scrollMode);
// A repeat wait below 100 is stored as 100.
int TdcAddMarqueeText(TdcLineDisplay_t* record, const char* text, int32_t format, int32_t unitWait,
                      int32_t repeatWait, int32_t repeatCount, int32_t lang);

void TdcInitLineDisplayDirectOps(TdcLineDisplayOps_t* ops);
void TdcInitLineDisplayServiceOps(TdcLineDisplayOps_t* ops);
int TdcLineDisplayDirectAddCommand(DisplayBuilder_t* builder, const uint8_t* bytes, int32_t length);

// The list is named by its head's address: the head is read under the list's
// lock, so a clear on another thread cannot free it under the replay.
struct TdcLineDisplayCommandSet_t {
  TdcCommand_t* const* commands;
  const TdcLineDisplayOps_t* ops;
};
// 1 null builder; 5 empty or null list or null ops; the first node result above 1,
// unchanged; else 0 (a node answering 1 is skipped).
int TdcReplayLineDisplayCommands(int32_t mode, void* builder, TdcLineDisplayCommandSet_t set);

// ---- Record life and registry -----------------------------------------------------
// reserved is never read. 0, also when the record could not be registered.
int TdcRegisterLineDisplay(void* reserved, TdcLineDisplay_t* record);
void TdcUnregisterLineDisplay(void* reserved, TdcLineDisplay_t* record);
// The registered record whose handle is the given non-null one, held until
// TdcReleaseLineDisplay; null when none.
TdcLineDisplay_t* TdcFindLineDisplay(const void* handle);
void TdcReleaseLineDisplay(TdcLineDisplay_t* record);
// Waits for the callbacks other threads are running on the record, then
// frees it (from inside one of its own callbacks: once that returned). 1 for null.
int TdcDestroyLineDisplay(TdcLineDisplay_t* record);

// ---- Operations ---------------------------------------------------------------------
// timeoutMs -2 or 1000..300000.
int TdcConnectLineDisplay(TdcEnvData_t* env, TdcLineDisplay_t* record, const char* target,
                          int32_t timeoutMs);
int TdcDisconnectLineDisplay(TdcEnvData_t* env, TdcLineDisplay_t* record);
int TdcSendLineDisplayData(TdcEnvData_t* env, TdcLineDisplay_t* record);
// A new int (the caller frees it): 1 online, 0 not; null when out of memory
// or when a handle is set in no backend mode.
int32_t* TdcGetLineDisplayStatus(TdcEnvData_t* env, TdcLineDisplay_t* record);

// ---- Backend callbacks ---------------------------------------------------------------
// The print engine's display result slot (DisplayResultCallback).
void TdcOnLineDisplayDirectResult(PrintHandle_t* handle, const char* address, int32_t code);
// TdcOnLineDisplayServiceResult is in service_notifiers.h.
// The connection listener of display records.
void TdcOnLineDisplayConnectionEvent(void* record, int32_t event);

// Tests only: every allocation of the command list goes through alloc; null restores malloc.
void TdcSetLineDisplayAllocator(void* (*alloc)(size_t size));

}  // namespace tilo2::core
