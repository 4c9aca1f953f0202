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
// The status word and battery value as last seen, asking nothing and waiting
// for nothing: what a status query made on one of the handle's own threads
// (IsHandleThread) answers. 1 for a null argument; 6 while closed.
int TiloGetLastStatus(PrintHandle_t* handle, uint32_t* status, int32_t* battery);
// True on a thread that runs the handle's own work: its queue thread, its
// monitor thread or one of its job-wait threads. A call made there that
// waits for that work would wait for itself.
bool IsHandleThread(const PrintHandle_t* handle);

// Lets status events fire and has the current status and battery raised
// once by the monitor thread: at once while its last cycle is fresh, else when
// the cycle under way ends, so that the caller never waits for a cycle (which
// may take seconds against a silent printer). On the calling thread only when
// no monitor runs. A second start raises nothing.
int TiloStartMonitor(TdcBackendEnv_t* env, PrintHandle_t* handle);
int TiloStopMonitor(TdcBackendEnv_t* env, PrintHandle_t* handle);
// 1000..60000 ms, or -2 for 3000; anything else 1.
int TiloSetInterval(PrintHandle_t* handle, int32_t intervalMs);

// What the operations share (the hybrid ones too).

// CheckOpenHandle (print_handle.h) checks an operation that needs the connection.
int CheckKnownHandle(PrintHandle_t* handle);
// Waiting for this queue on its own thread (from an event callback) would
// wait for the waiter itself: true, with an ERROR line, there.
bool OnQueueThread(PrintHandle_t* handle);
// The chain's (step's) result, or the push failure when it could not be queued.
int32_t RunOperationChain(PrintHandle_t* handle, const StepContext_t& context, StepFunc step,
                          const char* name);
int32_t RunOperationStep(PrintHandle_t* handle, const StepContext_t& context, StepFunc step,
                         const char* name);
// A status chain's result; a recovery the printer did not acknowledge in its
// "CheckAndRecover" counts as no answer (3).
int32_t RunStatusChain(PrintHandle_t* handle, const StepContext_t& context, StepFunc step,
                       const char* name);
// The status word of four status bytes. A first byte of FFh means no status
// came: that is a printer that does not answer, never a healthy one.
uint32_t StatusWord(uint8_t bytes[4], bool noResponse);
// Maps the result of a status chain: 0 go on (*noResponse set when the
// printer did not answer), anything else is the failure to return.
int StatusChainOutcome(int32_t result, bool* noResponse);
// Runs the status step (GetCommandAsb or GetHybdCommandAsb) as a chain into
// four bytes and folds them into *word; with *noResponse already set it
// queries nothing and gives the no-response word.
int FoldedStatus(TdcBackendEnv_t* env, PrintHandle_t* handle, StepFunc step, const char* name,
                 uint32_t* word, bool* noResponse);
// An automatically recoverable error: ORs the printer's reasons into *word.
void AddOfflineReasons(TdcBackendEnv_t* env, PrintHandle_t* handle, uint32_t* word);

}  // namespace tilo2::core
