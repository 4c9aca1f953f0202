#pragma once
// Types shared by every module of the device API layer: the environment the
// runtime hands in, result and completion codes, backend modes and port types,
// the three-column translation rows, status records, the printer command list
// and the printer device record.

#include <cstdint>

#include "foundation/platform.h"
#include "io/io_types.h"

namespace tilo2::core {

struct PrintHandle_t;
struct PrinterBuilder_t;
struct TdevConnection_t;

// The environment record the runtime builds before every call that reaches a
// backend. The field order is fixed: the layer reads the fields by position.
struct TdcEnvData_t {
  void* context1;  // platform contexts for both backends; null from the runtime classes
  void* context2;
  void* reserved;          // read by nothing
  int32_t isVirtual;       // 1 when the system product name is exactly "Virtual"
  void* bluetoothContext;  // handed to a backend only for a Bluetooth target
  void* usbContext;        // handed to a backend only for a USB target
};

// Result of every entry point of the layer.
enum TdcResult : int {
  TDC_SUCCESS = 0,
  TDC_ERR_PARAM = 1,
  TDC_ERR_PROCESSING = 2,
  TDC_ERR_CONNECT = 3,
  TDC_ERR_TIMEOUT = 4,
  TDC_ERR_ILLEGAL = 5,
  TDC_ERR_NOT_FOUND = 6,
  TDC_ERR_TYPE_INVALID = 7,
  TDC_ERR_IN_USE = 8,
  TDC_ERR_DISCONNECT = 9,
  TDC_ERR_MEMORY = 10,
  TDC_ERR_UNSUPPORTED = 28,
  TDC_ERR_PRINTER = 29,
  TDC_ERR_FAILURE = 255,
};

enum TdcBackendMode : int32_t {
  TDC_MODE_NEVER_CONNECTED = -3,
  TDC_MODE_CLOSED = 0,
  TDC_MODE_DIRECT = 1,
  TDC_MODE_SERVICE = 2,
};

enum TdcPortType : int32_t {
  TDC_PORT_TCP = 1,
  TDC_PORT_TCPS = 2,
  TDC_PORT_BLUETOOTH = 3,
  TDC_PORT_USB = 4,
};

enum TdcConnectionEvent : int32_t {
  TDC_EVENT_RECONNECTING = 0,
  TDC_EVENT_RECONNECTED = 1,
  TDC_EVENT_DISCONNECTED = 2,
};

// Completion codes handed to result callbacks, numbered like the runtime's
// CallbackCode; 255 for any other failure.
enum TdcCallbackCode : int32_t {
  TDC_CB_SUCCESS = 0,
  TDC_CB_TIMEOUT = 1,
  TDC_CB_NOT_FOUND = 2,
  TDC_CB_AUTORECOVER = 3,
  TDC_CB_COVER_OPEN = 4,
  TDC_CB_CUTTER = 5,
  TDC_CB_MECHANICAL = 6,
  TDC_CB_EMPTY = 7,
  TDC_CB_UNRECOVERABLE = 8,
  TDC_CB_SYSTEM = 9,
  TDC_CB_PORT = 10,
  TDC_CB_BATTERY_LOW = 15,
  TDC_CB_FAILURE = 255,
};

// A stored enumeration value: -2 default, -1 unspecified; -3 in a column
// means "no counterpart in that backend"; status fields hold -3 for "no value".
inline constexpr int32_t kTdcDefault = -2;
inline constexpr int32_t kTdcUnspecified = -1;
inline constexpr int32_t kTdcNone = -3;

// One row of a translation table: {the layer's value, device service, print engine}.
struct TdcCodeMap_t {
  int32_t tdcValue;
  int32_t serviceValue;
  int32_t engineValue;
};

// 13 fields. Printers end with buzzer, adapter, batteryLevel; hybrid printers
// use the same slots for insertionWaiting, removalWaiting, slipPaper.
struct TdcStatus_t {
  int32_t connection;
  int32_t online;
  int32_t coverOpen;
  int32_t paper;
  int32_t paperFeed;
  int32_t panelSwitch;
  int32_t waitOnline;
  int32_t drawer;
  int32_t errorStatus;
  int32_t autoRecoverError;
  int32_t buzzer;
  int32_t adapter;
  int32_t batteryLevel;
};

// ---- Record callbacks: device record first, the stored user pointer last ----
using TdcConnectionCallback = void (*)(void* record, int32_t event, void* user);
using TdcStatusCallback = void (*)(void* record, int32_t event, void* user);
// The status record belongs to the layer and is freed after the call.
using TdcPrintResultCallback = void (*)(void* record, int32_t code, TdcStatus_t* status,
                                        const char* printJobId, void* user);
using TdcHybridResultCallback = void (*)(void* record, int32_t method, int32_t code,
                                         const char* data, TdcStatus_t* status, void* user);
// What a record kind's connection listener does with a connection event.
using TdcListenerCallback = void (*)(void* record, int32_t event);

// ---- Printer command list ---------------------------------------------------
struct TdcCommand_t {
  int32_t kind;  // TdcPrinterCommandKind
  void* args;    // the kind's argument block, owned; null for kinds without one
  TdcCommand_t* next;
};

// Append, clear and replay exclude each other through the list's own lock,
// so an app thread adding commands never races a worker replaying them.
struct TdcCommandList_t {
  PlatformMutex_t lock;
  TdcCommand_t* head;
  TdcCommand_t* tail;
};

inline constexpr int kTdcPrinterCommandKinds = 32;
// The 32 slots of a backend's printer operations, slot k executing kind k.
// Each slot has its own signature; the executor of kind k casts slot k.
struct TdcPrinterOps_t {
  void* slot[kTdcPrinterCommandKinds];
};

// The list and the operation table the replay walks, side by side in the record.
struct TdcPrinterCommandSet_t {
  TdcCommandList_t commandList;
  TdcPrinterOps_t* ops;
};

struct TdcPrinterSettings_t {
  int32_t series;     // the runtime Series value; -3 for hybrid printers
  int32_t modelLang;  // the runtime ModelLang value 0..6
  int32_t portType;   // TdcPortType of the last successful connect; -3 before
};

struct TdcCallbackPair_t {
  void* function;
  void* user;
};

// The device record of a Printer or HybridPrinter object.
struct TdcPrinter_t {
  int32_t mode;  // TdcBackendMode
  TdcPrinterSettings_t* settings;
  TdevConnection_t* connection;  // device service only
  void* handle;                  // PrintHandle_t* (direct) or the device handle; registry key
  void* builder;                 // PrinterBuilder_t* (direct) or the device handle
  TdcPrinterCommandSet_t commands;

  TdcStatusCallback statusCallback;
  void* statusUser;
  TdcPrintResultCallback receiveCallback;
  void* receiveUser;
  TdcConnectionCallback connectionCallback;
  void* connectionUser;
  TdcStatusCallback hybridStatusCallback;
  void* hybridStatusUser;
  TdcHybridResultCallback hybridReceiveCallback;
  void* hybridReceiveUser;
  TdcConnectionCallback hybridConnectionCallback;
  void* hybridConnectionUser;

  int32_t interval;  // status-monitor interval in ms, under intervalLock
  PlatformMutex_t intervalLock;
  int32_t transaction;  // 1 inside a transaction: a marker of this layer only
  int32_t pageMode;     // 1 between a PageBegin and a PageEnd append

  // Hybrid printer state.
  PlatformMutex_t paperLock;
  int32_t paperType;
  PlatformMutex_t insertionLock;
  int32_t insertionMode;
  PlatformMutex_t supportLock;
  int32_t paperSupport;
  int32_t slipApplied;
  int32_t endorseApplied;
  int32_t insertedPaper;

  // Our own fields. Every operation that reaches a backend runs under opLock
  // (recursive); mode, connection, handle and builder are read and written
  // under stateLock, which is never held across a backend call. Callbacks
  // hold the record from find to return (the registry counts the holds);
  // destroy waits for them.
  PlatformMutex_t opLock;
  PlatformMutex_t stateLock;
};

}  // namespace tilo2::core
