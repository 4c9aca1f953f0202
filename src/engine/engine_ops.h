#pragma once
// The engine's entry points for work on an open connection: sending a print
// job, transactions, the status query, the switch of status events and the
// monitor interval. Jobs return once queued; everything else waits for its
// steps on the connection's queue thread.

#include <cstdint>

#include "engine/builder_records.h"
#include "engine/print_handle.h"
#include "engine/step_context.h"

namespace tilo2::core {

// Results are TiloPrintResult codes: 1 for an unknown handle, 6 for a closed one.

// Queues the job and returns at once; its outcome arrives through the print
// result callback. 1 for a null handle or builder or a timeout above 600000
// ms (negative ones included); 5 when the job could not be queued.
int TiloSendData(TdcBackendEnv_t* env, PrintHandle_t* handle, PrinterBuilder_t* builder,
                 int32_t timeoutMs);

// 6 when a transaction is already open; 255 when the transaction lock fails.
int TiloBeginTransaction(TdcBackendEnv_t* env, PrintHandle_t* handle);
// Brings an answering printer back to the interrupted job: 6 when no
// transaction is open; 7 (nothing done) on the connection's queue thread.
int TiloEndTransaction(TdcBackendEnv_t* env, PrintHandle_t* handle);
// Step "SendInterruptPrinting": ESC = 1, ESC J 0, FF with a 500 ms timeout.
int32_t SendInterruptPrinting(StepContext_t* context);

// The printer's status word, freshly asked, and its battery value (0 when not
// read). 1 for a null out argument; 7 on the connection's queue thread.
int TiloGetStatus(TdcBackendEnv_t* env, PrintHandle_t* handle, uint32_t* status, int32_t* battery);

// Lets status events fire and raises the current status and battery once on
// the calling thread; a second start raises nothing.
int TiloStartMonitor(TdcBackendEnv_t* env, PrintHandle_t* handle);
int TiloStopMonitor(TdcBackendEnv_t* env, PrintHandle_t* handle);
// 1000..60000 ms, or -2 for 3000; anything else 1.
int TiloSetInterval(PrintHandle_t* handle, int32_t intervalMs);

}  // namespace tilo2::core
