#pragma once
// The records that stand for what the device service reaches behind one host:
// device handles (printers, hybrid printers, displays, keyboards, scanners,
// serial devices) and message-box entries, with their callback slots, the
// driver-handle list and message-box list of a connection, and the open and
// close requests with their replies.
//
// Handles and entries are shared records like connections: the connection's
// lists hold one reference, a process-wide registry lets a pointer the device
// layer holds be turned back into a reference (TdevRefHandle), and every
// thread that works with a record holds its own reference. Destroying a
// handle makes it unreachable at once; its memory goes with the last holder.

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/platform.h"
#include "service/device_service.h"
#include "service/host_connection.h"

namespace tilo2::core {

struct TdevStatusQuery_t;  // a running status request (status monitor)

// Any callback slot is stored as this type and called through its typed alias.
using TdevAnyCallback = void (*)();

// ---- Base of every device handle ---------------------------------------------
struct TdevHandleBase_t {
  std::string deviceId;  // fixed at creation
  uint32_t type = 0;     // TdevDeviceType
  // The connection the handle was opened on: the pointer the device layer
  // knows and a weak reference to the live record.
  TdevConnection_t* connection = nullptr;
  std::weak_ptr<TdevConnection_t> connectionRef;
  PlatformMutex_t callbackLock{};

  TdevHandleBase_t();
  virtual ~TdevHandleBase_t();
  TdevHandleBase_t(const TdevHandleBase_t&) = delete;
  TdevHandleBase_t& operator=(const TdevHandleBase_t&) = delete;
};

// ---- Printers and hybrid printers ---------------------------------------------
enum : int32_t { TDEV_PRINTER_SLOTS = 15, TDEV_HYBRID_SLOTS = 19 };

// Printer slot 0 (status masked with 0x516F6F6D).
using TdevPrinterStatusChanged = void (*)(TdevPrinterHandle_t* handle, const char* host,
                                          const char* deviceId, uint32_t status);
// Printer slots 1..12 and hybrid slots 0..15.
using TdevPrinterEvent = void (*)(TdevPrinterHandle_t* handle, const char* host,
                                  const char* deviceId);
// Printer slot 13.
using TdevPrinterBatteryChanged = void (*)(TdevPrinterHandle_t* handle, const char* host,
                                           const char* deviceId, int32_t battery);
// Printer slot 14: the job result.
using TdevPrinterJobResult = void (*)(TdevPrinterHandle_t* handle, const char* host,
                                      const char* deviceId, int32_t success, int32_t result,
                                      uint32_t status, int32_t battery, const char* printJobId);
// Hybrid slot 16: job or operation result.
using TdevHybridResult = void (*)(TdevPrinterHandle_t* handle, const char* host,
                                  const char* deviceId, int32_t success, int32_t result,
                                  uint32_t status, int32_t operation, const char* data);
// Hybrid slot 17: wait-insertion reply.
using TdevHybridWaitInsertionReply = void (*)(TdevPrinterHandle_t* handle, int32_t result,
                                              uint32_t status);
// Hybrid slot 18: clear-buffer reply.
using TdevHybridClearBufferReply = void (*)(TdevPrinterHandle_t* handle, int32_t result);

struct TdevPrinterHandle_t : TdevHandleBase_t {
  TdevDocument_t* document = nullptr;                  // kind 0 printer, 1 hybrid printer
  TdevAnyCallback printerSlots[TDEV_PRINTER_SLOTS]{};  // under callbackLock
  TdevAnyCallback hybridSlots[TDEV_HYBRID_SLOTS]{};    // under callbackLock

  // Status monitor (status_monitor.*): thread, running flag, interval, event.
  PlatformThread_t monitorThread = nullptr;
  uint8_t monitorRunning = 0;
  PlatformMutex_t monitorFlagLock{};
  int32_t interval = 3000;
  PlatformMutex_t intervalLock{};
  PlatformCond_t monitorEvent = nullptr;
  PlatformMutex_t monitorLock{};

  uint32_t status = 0;
  PlatformMutex_t statusLock{};
  int32_t battery = 0;
  PlatformMutex_t batteryLock{};
  int32_t drawerLevel = 0;

  // A running one-shot status request and its wake-up.
  std::shared_ptr<TdevStatusQuery_t> statusQuery;
  PlatformCond_t statusQueryEvent = nullptr;
  PlatformMutex_t statusQueryLock{};
  PlatformMutex_t statusRequestLock{};

  uint8_t selectingPaper = 0;
  PlatformMutex_t selectingPaperLock{};
  uint32_t lastMonitoredStatus = 0;
  PlatformMutex_t lastStatusLock{};

  TdevPrinterHandle_t();
  ~TdevPrinterHandle_t() override;
};

// ---- Line displays -------------------------------------------------------------
using TdevDisplayJobResult = void (*)(void* handle, const char* host, const char* deviceId,
                                      int32_t success, int32_t result, uint32_t status,
                                      int32_t battery);
struct TdevDisplayHandle_t : TdevHandleBase_t {
  TdevDocument_t* document = nullptr;  // kind 2
  TdevDisplayJobResult jobResult = nullptr;
  ~TdevDisplayHandle_t() override;
};

// ---- Keyboards -------------------------------------------------------------------
using TdevKeyPressCallback = void (*)(void* handle, const char* host, const char* deviceId,
                                      int32_t keyCode, const char* ascii);
using TdevStringCallback = void (*)(void* handle, const char* host, const char* deviceId,
                                    const char* text, int32_t prefix);
struct TdevKeyboardHandle_t : TdevHandleBase_t {
  TdevKeyPressCallback keyPress = nullptr;
  TdevStringCallback string = nullptr;
  // Distinct nonzero byte values, NUL-terminated; at most 99.
  char prefix[100]{};
  PlatformMutex_t prefixLock{};
  TdevKeyboardHandle_t();
  ~TdevKeyboardHandle_t() override;
};

// ---- Barcode scanners and simple serial devices -----------------------------------
using TdevDataTextCallback = void (*)(void* handle, const char* host, const char* deviceId,
                                      const char* text);
using TdevDataBytesCallback = void (*)(void* handle, const char* host, const char* deviceId,
                                       const uint8_t* bytes, int32_t count);
struct TdevDeviceHandle_t : TdevHandleBase_t {
  TdevDataTextCallback dataText = nullptr;    // scanner data, serial "ondata"
  TdevDataBytesCallback dataBytes = nullptr;  // serial data and command replies
  ~TdevDeviceHandle_t() override;
};

// ---- Message boxes -------------------------------------------------------------------
using TdevCommHistoryCallback = void (*)(TdevCommBoxEntry_t* entry, const char* host,
                                         int32_t result, const TdevCommHistoryItem_t* items,
                                         int32_t count, int32_t sequence);
using TdevCommSendCallback = void (*)(TdevCommBoxEntry_t* entry, const char* host, int32_t result,
                                      int32_t count, int32_t sequence);
using TdevCommReceiveCallback = void (*)(TdevCommBoxEntry_t* entry, const char* host,
                                         const TdevCommHistoryItem_t* message);

struct TdevCommBoxEntry_t {
  std::string boxId;
  std::string memberId;
  TdevConnection_t* connection = nullptr;
  std::weak_ptr<TdevConnection_t> connectionRef;
  TdevCommHistoryCallback history = nullptr;  // under callbackLock
  TdevCommSendCallback sendResult = nullptr;
  TdevCommReceiveCallback receive = nullptr;
  PlatformMutex_t callbackLock{};

  TdevCommBoxEntry_t();
  ~TdevCommBoxEntry_t();
  TdevCommBoxEntry_t(const TdevCommBoxEntry_t&) = delete;
  TdevCommBoxEntry_t& operator=(const TdevCommBoxEntry_t&) = delete;
};

// ---- Registry --------------------------------------------------------------------
// The live handle behind a pointer the device layer holds (any kind), or null.
std::shared_ptr<TdevHandleBase_t> TdevRefHandle(const void* handle);
std::shared_ptr<TdevPrinterHandle_t> TdevRefPrinterHandle(const TdevPrinterHandle_t* handle);
// The live message-box entry behind a pointer, or null.
std::shared_ptr<TdevCommBoxEntry_t> TdevRefCommBoxEntry(const TdevCommBoxEntry_t* entry);

// ---- Driver-handle list of a connection ---------------------------------------------
// The handle with that device id on the connection (any state), with its type.
std::shared_ptr<TdevHandleBase_t> TdevFindDriverHandle(TdevConnection_t* connection,
                                                       const char* deviceId,
                                                       uint32_t* type = nullptr,
                                                       int32_t* state = nullptr);
// 0 with the type, or 255 when the handle is not on the connection's list.
int TdevGetDriverHandleType(TdevConnection_t* connection, const void* handle, uint32_t* type);
int TdevSetDriverHandleState(TdevConnection_t* connection, const void* handle, int32_t state);
// 1 when any handle is in state 1.
int TdevHasOpenDriverHandle(TdevConnection_t* connection);
// Handles and boxes that are opening, open or closing.
int32_t TdevCountBusyRecords(TdevConnection_t* connection);
// Unlinks and destroys every handle of the connection, whatever its state.
void TdevRemoveAllDriverHandleList(TdevConnection_t* connection);
// Unlinks and destroys one handle (an open whose waiter expired).
void TdevRemoveDriverHandle(TdevConnection_t* connection, const void* handle);

// ---- Open and close a device -----------------------------------------------------
// 1 null or a type outside 0..5; 4 not connected; 8 the id is already open;
// 12 no memory; builder failures; 2 send lock busy; a send failure; else 0.
int TdevOpenDevice(TdevConnection_t* connection, const char* deviceId, int32_t type);
// 1 null; 4 not connected; 255 not on the list; 2 busy; a send failure; else 0.
int TdevCloseDevice(TdevConnection_t* connection, void* handle);
// Sinks of "open_device" and "close_device".
void TdevOnOpenDevice(TdevConnection_t* connection, int32_t replyCode, const char* deviceId,
                      int32_t dataId);
void TdevOnCloseDevice(TdevConnection_t* connection, int32_t replyCode, const char* deviceId,
                       int32_t dataId);
// Link lost: fail opening handles (destroyed) and closing ones (back to open) with 4.
void TdevFailOpeningDevices(TdevConnection_t* connection);
void TdevFailClosingDevices(TdevConnection_t* connection);

// ---- Message boxes -----------------------------------------------------------------
// Creates the entry, links it in state 0 with the given sequence number (the
// caller takes it from TdevNextSequence and registers its waiter first) and
// sends "open_commbox". On failure nothing stays linked. 1 null, 4 not
// connected, 12 no memory, builder failures, 2 busy, a send failure, else 0.
int TdevOpenCommBox(TdevConnection_t* connection, const char* boxId, const char* memberId,
                    int32_t sequence, std::shared_ptr<TdevCommBoxEntry_t>* entry);
// Sends "close_commbox" with the given sequence; the node is in state 2 while
// the reply is awaited, back in state 1 when the send failed (it still
// counts). 1 null, 4 not connected, 255 not linked, 2 busy, a send failure, else 0.
int TdevCloseCommBox(TdevConnection_t* connection, TdevCommBoxEntry_t* entry, int32_t sequence);
// Puts a box whose close was given up back into state 1.
void TdevCommBoxListReopen(TdevConnection_t* connection, TdevCommBoxEntry_t* entry);
// Unlinks a box whose open was given up (its waiter expired).
void TdevCommBoxListDrop(TdevConnection_t* connection, TdevCommBoxEntry_t* entry);
int TdevCommBoxListSetCallback(TdevConnection_t* connection, int32_t index,
                               TdevCommBoxResultCallback callback);
std::shared_ptr<TdevCommBoxEntry_t> TdevCommBoxListFindById(TdevConnection_t* connection,
                                                            const char* boxId);
// 1 when any box is in state 1.
int TdevCommBoxListHasOpen(TdevConnection_t* connection);
// Sinks of "open_commbox" and "close_commbox".
void TdevOnOpenCommBox(TdevConnection_t* connection, int32_t replyCode, const char* boxId,
                       int32_t sequence, int32_t dataId);
void TdevOnCloseCommBox(TdevConnection_t* connection, int32_t replyCode, const char* boxId,
                        int32_t sequence, int32_t dataId);
void TdevFailOpeningCommBoxes(TdevConnection_t* connection);
void TdevFailClosingCommBoxes(TdevConnection_t* connection);
// Drops every box of the connection (its destruction).
void TdevClearCommBoxes(TdevConnection_t* connection);

// ---- Printer handle fields ---------------------------------------------------------
TdevAnyCallback TdevGetPrinterCallback(TdevPrinterHandle_t* handle, int32_t index);        // 0..14
TdevAnyCallback TdevGetHybridPrinterCallback(TdevPrinterHandle_t* handle, int32_t index);  // 0..18
int TdevSetPrinterCallback(TdevPrinterHandle_t* handle, int32_t index, TdevAnyCallback function);
int TdevSetHybridPrinterCallback(TdevPrinterHandle_t* handle, int32_t index,
                                 TdevAnyCallback function);
int TdevSetPrinterStatus(TdevPrinterHandle_t* handle, uint32_t status);
uint32_t TdevGetPrinterStatus(TdevPrinterHandle_t* handle);
int TdevSetBatteryLevel(TdevPrinterHandle_t* handle, int32_t battery);
int32_t TdevGetBatteryLevel(TdevPrinterHandle_t* handle);
int32_t TdevGetMonitorInterval(TdevPrinterHandle_t* handle);
int TdevSetMonitorRunning(TdevPrinterHandle_t* handle, uint8_t running);
uint8_t TdevIsMonitorRunning(TdevPrinterHandle_t* handle);
int TdevHybridSetSelectingPaper(TdevPrinterHandle_t* handle, int32_t flag);
int TdevHybridIsSelectingPaper(TdevPrinterHandle_t* handle);

// ---- Other handles -------------------------------------------------------------------
// Adds every byte not yet in the set, in order; 0 is never added; the set
// never grows beyond 99 values. 1 null, 255 lock.
int TdevKeyboardAddPrefix(TdevKeyboardHandle_t* handle, const uint8_t* bytes, int32_t count);
int TdevKeyboardClearPrefix(TdevKeyboardHandle_t* handle);

}  // namespace tilo2::core
