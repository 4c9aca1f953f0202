#pragma once
// What the device API layer calls of the device-service client: host
// connections, device handles, the printer's document, slot setters, status,
// sends, immediate operations, the status monitor and the printer document
// builders. Connections and handles are opaque here. Results are the
// client's own codes (0 success), which the layer translates. "env" is the
// device-service form of TdcBackendEnv_t; the client never reads it.

#include <cstdint>

#include "io/io_types.h"

namespace tilo2::core {

struct TdevConnection_t;
struct TdevPrinterHandle_t;
struct TdevDisplayHandle_t;
struct TdevKeyboardHandle_t;
struct TdevDeviceHandle_t;  // barcode scanners and simple serial devices
struct TdevCommBoxEntry_t;
struct TdevDocument_t;

// One message-box message as the client hands it to the layer.
struct TdevCommHistoryItem_t {
  char* senderId;
  char* receiverId;
  char* message;
};

enum TdevDeviceType : int32_t {
  TDEV_DEVICE_PRINTER = 0,
  TDEV_DEVICE_HYBRID_PRINTER = 1,
  TDEV_DEVICE_DISPLAY = 2,
  TDEV_DEVICE_KEYBOARD = 3,
  TDEV_DEVICE_SCANNER = 4,
  TDEV_DEVICE_SERIAL = 5,
};

// ---- Connections --------------------------------------------------------------
// Hands out the connected connection of the host at once, else connects a new
// one (TLS when useTls is 1) and waits within timeoutMs, and a short grace
// (kTdevConnectGraceMs) for the channel's own verdict, for the service.
inline constexpr int32_t kTdevConnectGraceMs = 400;
int TdevConnectSync(TdcBackendEnv_t* env, const char* host, int32_t useTls, TdevConnection_t** out,
                    int32_t timeoutMs);
// 0 at once while a device or message box still uses the connection; else
// disconnects it, and the disconnected notifier reports it.
int TdevDisconnectIfUnused(TdcBackendEnv_t* env, TdevConnection_t* connection);
// Frees the connection with all its device handles.
int TdevDestroyConnection(TdevConnection_t* connection);
// 1 while connected, 0 otherwise.
int TdevIsConnected(TdevConnection_t* connection);
// Install the layer's TdcOnReconnecting, TdcOnReconnected and TdcOnDisconnected.
int TdevSetReconnectingCallback(TdevConnection_t* connection);
int TdevSetReconnectCallback(TdevConnection_t* connection);
int TdevSetDisconnectCallback(TdevConnection_t* connection);

// True on a thread of the client that reads a host connection's messages (and
// raises the events they bring): a call made there that waits for a reply of
// the service would wait for itself.
bool TdevOnReceiveThread();

// ---- Devices --------------------------------------------------------------------
// *outHandle gets the new handle of the kind's type (a TdevPrinterHandle_t* for
// printers and hybrid printers); it must be null on entry. The reply is
// waited for boundMs, or the reply bound when boundMs is negative.
int TdevOpenDeviceSync(TdcBackendEnv_t* env, TdevConnection_t* connection, const char* deviceId,
                       int32_t type, void** outHandle, int32_t boundMs = -1);
int TdevCloseDeviceSync(TdcBackendEnv_t* env, TdevConnection_t* connection, void* handle);
int TdevDocClearBody(TdevDocument_t* document);
// The command document of a printer, hybrid printer or display handle; null
// for other handles and for null.
TdevDocument_t* TdevGetDocument(const void* handle);

// ---- Printer slot setters: each installs one fixed notifier of the layer ---------
int TdevPrinterSetOnlineCallback(TdevPrinterHandle_t* handle);         // slot 1
int TdevPrinterSetOfflineCallback(TdevPrinterHandle_t* handle);        // slot 2
int TdevPrinterSetPowerOffCallback(TdevPrinterHandle_t* handle);       // slot 3
int TdevPrinterSetCoverCloseCallback(TdevPrinterHandle_t* handle);     // slot 4
int TdevPrinterSetCoverOpenCallback(TdevPrinterHandle_t* handle);      // slot 5
int TdevPrinterSetPaperOkCallback(TdevPrinterHandle_t* handle);        // slot 6
int TdevPrinterSetPaperNearEndCallback(TdevPrinterHandle_t* handle);   // slot 7
int TdevPrinterSetPaperEmptyCallback(TdevPrinterHandle_t* handle);     // slot 8
int TdevPrinterSetDrawerHighCallback(TdevPrinterHandle_t* handle);     // slot 9
int TdevPrinterSetDrawerLowCallback(TdevPrinterHandle_t* handle);      // slot 10
int TdevPrinterSetBatteryEmptyCallback(TdevPrinterHandle_t* handle);   // slot 11
int TdevPrinterSetBatteryEnoughCallback(TdevPrinterHandle_t* handle);  // slot 12
int TdevPrinterSetReceiveCallback(TdevPrinterHandle_t* handle);        // slot 14

// ---- Status, jobs, immediate operations, monitor ---------------------------------
// Always 0 with a word once it ran: 1 when no usable answer came, 0 when the
// query never started (1 for null outputs, 255 for a lock failure).
int TdevPrinterGetStatus(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, uint32_t* status,
                         int32_t* battery);
// Sends the handle's document; the job's result arrives through slot 14.
int TdevPrinterSendData(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t timeoutMs,
                        const char* printJobId, int32_t force, int32_t noBody);
int TdevClearCommandBuffer(TdevPrinterHandle_t* handle);
int TdevPrinterForceRecover(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t timeoutMs);
int TdevPrinterForceReset(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t timeoutMs);
int TdevPrinterForceStopSound(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t timeoutMs);
int TdevPrinterForcePulse(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t drawer,
                          int32_t pulseTime, int32_t timeoutMs);
int TdevPrinterForceCommand(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, const uint8_t* bytes,
                            int32_t length, int32_t timeoutMs);
int TdevSetMonitorInterval(TdevPrinterHandle_t* handle, int32_t intervalMs);
int TdevStartMonitor(TdevPrinterHandle_t* handle);
int TdevStopMonitor(TdevPrinterHandle_t* handle);

// ---- Printer document builders: slot k of the service's printer operations ------
// 0 appended, 1 a value the service does not take (the command is left out),
// any other code stops the replay.
int TdevPrinterAddTextAlign(TdevPrinterHandle_t* handle, int32_t align);
int TdevPrinterAddLineSpace(TdevPrinterHandle_t* handle, int32_t linespc);
int TdevPrinterAddTextRotate(TdevPrinterHandle_t* handle, int32_t rotate);
int TdevPrinterAddText(TdevPrinterHandle_t* handle, const char* text);
int TdevPrinterAddTextLang(TdevPrinterHandle_t* handle, int32_t lang);
int TdevPrinterAddTextFont(TdevPrinterHandle_t* handle, int32_t font);
int TdevPrinterAddTextSmooth(TdevPrinterHandle_t* handle, int32_t smooth);
int TdevPrinterAddTextSize(TdevPrinterHandle_t* handle, int32_t width, int32_t height);
int TdevPrinterAddTextStyle(TdevPrinterHandle_t* handle, int32_t reverse, int32_t ul, int32_t em,
                            int32_t color);
int TdevPrinterAddHPosition(TdevPrinterHandle_t* handle, int32_t x);
int TdevPrinterAddFeedUnit(TdevPrinterHandle_t* handle, int32_t unit);
int TdevPrinterAddFeedLine(TdevPrinterHandle_t* handle, int32_t line);
// Pixels are three bytes each, blue, green, red, rows of width pixels.
int TdevPrinterAddImage(TdevPrinterHandle_t* handle, const uint8_t* pixels, int32_t imageWidth,
                        int32_t imageHeight, int32_t x, int32_t y, int32_t width, int32_t height,
                        int32_t color, int32_t mode, int32_t halftone, double brightness);
int TdevPrinterAddLogo(TdevPrinterHandle_t* handle, int32_t key1, int32_t key2);
int TdevPrinterAddBarcode(TdevPrinterHandle_t* handle, const char* data, int32_t type, int32_t hri,
                          int32_t font, int32_t width, int32_t height);
int TdevPrinterAddSymbol(TdevPrinterHandle_t* handle, const char* data, int32_t type, int32_t level,
                         int32_t width, int32_t height, int32_t size);
int TdevPrinterAddHLine(TdevPrinterHandle_t* handle, int32_t x1, int32_t x2, int32_t style);
int TdevPrinterAddVLineBegin(TdevPrinterHandle_t* handle, int32_t x, int32_t style);
int TdevPrinterAddVLineEnd(TdevPrinterHandle_t* handle, int32_t x, int32_t style);
int TdevPrinterAddPageBegin(TdevPrinterHandle_t* handle);
int TdevPrinterAddPageEnd(TdevPrinterHandle_t* handle);
int TdevPrinterAddPageArea(TdevPrinterHandle_t* handle, int32_t x, int32_t y, int32_t width,
                           int32_t height);
int TdevPrinterAddPageDirection(TdevPrinterHandle_t* handle, int32_t dir);
int TdevPrinterAddPagePosition(TdevPrinterHandle_t* handle, int32_t x, int32_t y);
int TdevPrinterAddPageLine(TdevPrinterHandle_t* handle, int32_t x1, int32_t y1, int32_t x2,
                           int32_t y2, int32_t style);
int TdevPrinterAddPageRectangle(TdevPrinterHandle_t* handle, int32_t x1, int32_t y1, int32_t x2,
                                int32_t y2, int32_t style);
int TdevPrinterAddCut(TdevPrinterHandle_t* handle, int32_t type);
int TdevPrinterAddPulse(TdevPrinterHandle_t* handle, int32_t drawer, int32_t time);
int TdevPrinterAddSound(TdevPrinterHandle_t* handle, int32_t pattern, int32_t repeat,
                        int32_t cycle);
// Slot 29 of the printer operations and slot 14 of the display's: any handle
// that carries a document.
int TdevAddCommand(void* handle, const uint8_t* bytes, int32_t length);
int TdevPrinterAddFeedPosition(TdevPrinterHandle_t* handle, int32_t pos);
int TdevPrinterAddLayout(TdevPrinterHandle_t* handle, int32_t type, int32_t width, int32_t height,
                         int32_t marginTop, int32_t marginBottom, int32_t offsetCut,
                         int32_t offsetLabel);

// ---- Hybrid printers --------------------------------------------------------------
// Slot setters: slots 0..15 take the layer's status notifiers
// (TdcHybridServiceEvent*), slot 16 its result notifier, 17 and 18 the
// client's own reply hooks of the two blocking requests.
int TdevHybridSetOnlineCallback(TdevPrinterHandle_t* handle);             // slot 0
int TdevHybridSetOfflineCallback(TdevPrinterHandle_t* handle);            // slot 1
int TdevHybridSetPowerOffCallback(TdevPrinterHandle_t* handle);           // slot 2
int TdevHybridSetCoverCloseCallback(TdevPrinterHandle_t* handle);         // slot 3
int TdevHybridSetCoverOpenCallback(TdevPrinterHandle_t* handle);          // slot 4
int TdevHybridSetPaperOkCallback(TdevPrinterHandle_t* handle);            // slot 5
int TdevHybridSetPaperNearEndCallback(TdevPrinterHandle_t* handle);       // slot 6
int TdevHybridSetPaperEmptyCallback(TdevPrinterHandle_t* handle);         // slot 7
int TdevHybridSetDrawerHighCallback(TdevPrinterHandle_t* handle);         // slot 8
int TdevHybridSetDrawerLowCallback(TdevPrinterHandle_t* handle);          // slot 9
int TdevHybridSetInsertionWaitCallback(TdevPrinterHandle_t* handle);      // slot 10
int TdevHybridSetInsertionWaitNoneCallback(TdevPrinterHandle_t* handle);  // slot 11
int TdevHybridSetRemovalWaitPaperCallback(TdevPrinterHandle_t* handle);   // slot 12
int TdevHybridSetRemovalWaitNoneCallback(TdevPrinterHandle_t* handle);    // slot 13
int TdevHybridSetSlipPaperOkCallback(TdevPrinterHandle_t* handle);        // slot 14
int TdevHybridSetSlipPaperEmptyCallback(TdevPrinterHandle_t* handle);     // slot 15
int TdevHybridSetReceiveCallback(TdevPrinterHandle_t* handle);            // slot 16
int TdevHybridSetWaitInsertionReply(TdevPrinterHandle_t* handle);         // slot 17
int TdevHybridSetClearBufferReply(TdevPrinterHandle_t* handle);           // slot 18
// While the flag is 1, insertion events go to the wait-insertion hook.
int TdevHybridSetSelectingPaper(TdevPrinterHandle_t* handle, int32_t flag);
// Blocking: the request is sent and its reply awaited.
int TdevHybridClearBufferSync(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle);
int TdevHybridWaitInsertionSync(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t paper,
                                int32_t reserved, int32_t timeoutMs);
// Each returns once its request is sent; completion comes through slot 16.
int TdevHybridWaitInsertion(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t paper,
                            int32_t waitTimeMs, int32_t timeoutMs, int32_t removal);
int TdevHybridSendData(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t paper,
                       int32_t timeoutMs, int32_t fortyColumn, int32_t removal, int32_t force);
int TdevHybridCancelInsertion(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t paper);
int TdevHybridCancelMicr(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle);
int TdevHybridEjectPaper(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t spare,
                         int32_t removal);
int TdevHybridReadMicrData(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t font,
                           int32_t waitTimeMs, int32_t timeoutMs, int32_t removal);
int TdevHybridCleanMicrReader(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, int32_t waitTimeMs,
                              int32_t timeoutMs, int32_t removal);
int TdevHybridForceCommand(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, const uint8_t* bytes,
                           int32_t length, int32_t paper, int32_t fortyColumn, int32_t removal,
                           int32_t timeoutMs);
// 1 when the printer can take a job at once, else 0.
int TdevPrinterIsReady(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle);

// ---- Line displays ------------------------------------------------------------------
// Installs TdcOnLineDisplayServiceResult.
int TdevDisplaySetReceiveCallback(TdevDisplayHandle_t* handle);
// Sends the display document; the job's result arrives through that notifier.
int TdevDisplaySendData(TdcBackendEnv_t* env, TdevDisplayHandle_t* handle);
// Slot k of the service's display operations (slot 14 is TdevAddCommand).
int TdevDisplayAddInitialize(TdevDisplayHandle_t* handle);
int TdevDisplayAddCreateWindow(TdevDisplayHandle_t* handle, int32_t number, int32_t x, int32_t y,
                               int32_t width, int32_t height, int32_t scrollMode);
int TdevDisplayAddDestroyWindow(TdevDisplayHandle_t* handle, int32_t number);
int TdevDisplayAddSetCurrentWindow(TdevDisplayHandle_t* handle, int32_t number);
int TdevDisplayAddClearCurrentWindow(TdevDisplayHandle_t* handle);
int TdevDisplayAddSetCursorPosition(TdevDisplayHandle_t* handle, int32_t x, int32_t y);
int TdevDisplayAddMoveCursorPosition(TdevDisplayHandle_t* handle, int32_t target);
int TdevDisplayAddSetCursorType(TdevDisplayHandle_t* handle, int32_t type);
int TdevDisplayAddText(TdevDisplayHandle_t* handle, const char* text, int32_t x, int32_t y,
                       int32_t lang);
int TdevDisplayAddReverseText(TdevDisplayHandle_t* handle, const char* text, int32_t x, int32_t y,
                              int32_t lang);
int TdevDisplayAddMarqueeText(TdevDisplayHandle_t* handle, const char* text, int32_t format,
                              int32_t unitWaitMs, int32_t repeatWaitMs, int32_t repeatCount,
                              int32_t lang);
int TdevDisplayAddSetBlink(TdevDisplayHandle_t* handle, int32_t intervalMs);
int TdevDisplayAddSetBrightness(TdevDisplayHandle_t* handle, int32_t level);
int TdevDisplayAddShowClock(TdevDisplayHandle_t* handle);

// ---- Keyboards, barcode scanners, simple serial devices ---------------------------
// Install TdcOnKeyPress and TdcOnReadString.
int TdevKeyboardSetKeyPressCallback(TdevKeyboardHandle_t* handle);
int TdevKeyboardSetStringCallback(TdevKeyboardHandle_t* handle);
// Replaces the prefix set and sends it to the keyboard.
int TdevKeyboardSetPrefix(TdcBackendEnv_t* env, TdevKeyboardHandle_t* handle, const uint8_t* bytes,
                          int32_t length);
// Copies the prefix set (distinct non-zero bytes, at most 99) under the
// handle's prefix lock: *length bytes into out, which holds capacity bytes.
// 1 null arguments or too small an area (nothing copied, *length the room it
// needs), 255 lock, else 0.
int TdevKeyboardGetPrefix(TdevKeyboardHandle_t* handle, uint8_t* out, int32_t capacity,
                          int32_t* length);
// Install TdcOnScanData and TdcOnSerialData.
int TdevScannerSetDataCallback(TdevDeviceHandle_t* handle);
int TdevSerialSetDataCallback(TdevDeviceHandle_t* handle);
// Sends the bytes as hexadecimal text; returns once the message is written.
int TdevSerialSendCommand(TdcBackendEnv_t* env, TdevDeviceHandle_t* handle, const uint8_t* bytes,
                          int32_t length);

// ---- Message boxes ------------------------------------------------------------------
// Blocking open and close; on 0 *out holds the new entry.
int TdevOpenCommBoxSync(TdcBackendEnv_t* env, TdevConnection_t* connection, const char* boxId,
                        const char* memberId, TdevCommBoxEntry_t** out);
int TdevCloseCommBoxSync(TdcBackendEnv_t* env, TdevConnection_t* connection,
                         TdevCommBoxEntry_t* entry);
// Installs TdcOnCommBoxReceive.
int TdevCommBoxSetReceiveCallback(TdevCommBoxEntry_t* entry);
// Send the request with a new sequence number (written to *sequence) and
// install TdcOnCommBoxHistory / TdcOnCommBoxSendResult for its reply.
int TdevGetCommHistory(TdcBackendEnv_t* env, TdevCommBoxEntry_t* entry, int32_t* sequence);
int TdevSendCommBoxMessage(TdcBackendEnv_t* env, TdevCommBoxEntry_t* entry, const char* memberId,
                           const char* message, int32_t* sequence);

// ---- Queries about a printer's device service (plain HTTP, 3000 ms) -------------
struct TdevDeviceListEntry_t {
  int32_t type;  // TdevDeviceType
  char* deviceId;
  char* modelName;  // may be null
};
// Returns at once; the answer goes to onDeviceListResult with the same host,
// name and mac (entries null and count 0 when none came).
int TdevGetDeviceList(const char* host, const char* name, const char* mac);
// Blocking: {endorsement, validation, MICR} units, each 1 or 0.
int TdevGetSystemVersion(const char* host, uint8_t* units);
// Blocking: {plain port, TLS port}.
int TdevGetSystemPortList(const char* host, int32_t* ports);
// The discovery engine's device-list result callback (defined by the engine).
void onDeviceListResult(const char* host, const char* name, const char* mac,
                        TdevDeviceListEntry_t* entries, int32_t count);

}  // namespace tilo2::core
