#pragma once
// The hybrid printer operations beside those the device layer calls
// (device_service.h): the request under the blocking buffer clear, and what
// the host connection needs of them.

#include "service/host_connection.h"

namespace tilo2::core {

// Sends the clear-buffer request (no status check); its answer reaches slot
// 18, where TdevHybridClearBufferSync waits for it.
int TdevHybridClearBuffer(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle);

// Ends every blocking clear-buffer and wait-insertion request on a hybrid
// printer of the connection with 4 (not connected): once the link is gone or
// the connection is destroyed, their replies can no longer come.
void TdevFailHybridWaits(TdevConnection_t* connection);

}  // namespace tilo2::core
