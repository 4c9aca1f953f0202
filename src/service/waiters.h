#pragma once
// Blocking calls over the device service's asynchronous requests: the caller
// registers a waiter, sends, and sleeps until the reply callback (installed
// in a connection slot, the message-box list or a hybrid slot) finds the
// waiter by its keys, stores the result and wakes it. Every wait is bounded:
// the connect waiter by its own timeout, the others by the reply bound (or
// the request's own timeout plus the reply bound). An expired wait answers 3
// and leaves its list, so a late reply finds nothing.

#include <cstdint>
#include <memory>

#include "service/device_handles.h"
#include "service/device_service.h"

namespace tilo2::core {

// Message boxes: TdevOpenCommBoxSync and TdevCloseCommBoxSync (device_service.h)
// answer 1 for null arguments or *out already set, 4 when not connected (11
// for a close, as for devices), 3 without a reply within the bound, else the
// reply's result.

// Hybrid printers: the request is sent by send(handle) once the waiter is on
// its list; the clear-buffer reply reaches slot 18, the wait-insertion reply
// slot 17. timeoutMs is the request's own (it extends the bound).
using TdevHybridSender = int (*)(TdevPrinterHandle_t* handle, void* context);
int TdevHybridClearBufferWait(TdevPrinterHandle_t* handle, TdevHybridSender send, void* context,
                              int32_t timeoutMs);
int TdevHybridWaitInsertionWait(TdevPrinterHandle_t* handle, TdevHybridSender send, void* context,
                                int32_t timeoutMs);

// Reply callbacks of the seven families.
void TdevOnConnectReply(TdevConnection_t* connection, const char* host, int32_t result);
void TdevOnOpenDeviceReply(TdevConnection_t* connection, void* handle, const char* host,
                           const char* deviceId, int32_t type, int32_t result);
void TdevOnCloseDeviceReply(TdevConnection_t* connection, void* handle, const char* host,
                            const char* deviceId, int32_t type, int32_t result);
void TdevOnClearBufferReply(TdevPrinterHandle_t* handle, int32_t result);
void TdevOnWaitInsertionReply(TdevPrinterHandle_t* handle, int32_t result, uint32_t status);
void TdevOnOpenCommBoxReply(TdevConnection_t* connection, TdevCommBoxEntry_t* entry,
                            const char* host, int32_t result, int32_t sequence);
void TdevOnCloseCommBoxReply(TdevConnection_t* connection, TdevCommBoxEntry_t* entry,
                             const char* host, int32_t result, int32_t sequence);

// Waiters registered now (all families), for tests.
int32_t TdevPendingWaiters();

}  // namespace tilo2::core
