#pragma once
// The hybrid printer's operations on an open connection: paper support and
// selection, the hybrid status and readiness, the hybrid send with its
// builder set-up, and the hybrid printer's leave of a shared connection.

#include <cstdint>

#include "engine/builder_records.h"
#include "engine/print_handle.h"

namespace tilo2::core {

// Results are TiloPrintResult codes: 1 for a null or unknown handle, 6 for a
// closed one, 7 on the connection's queue thread (waiting there would wait
// for the waiter).

// Asks the printer which papers it supports (paperSupport, infoKind); the
// step's result, or 255 when it could not be queued.
int TiloCheckSupportPaperType(TdcBackendEnv_t* env, PrintHandle_t* handle);
// The status word from the hybrid status query, with an automatically
// recoverable error's reasons. 1 for a null out argument.
int TiloGetHybridStatus(TdcBackendEnv_t* env, PrintHandle_t* handle, uint32_t* status);
// 3 when the printer does not answer; 6 while it waits for an insertion
// (unless allowInsertionWait) or for the removal of a sheet; else 0.
int TiloCheckHybridReady(TdcBackendEnv_t* env, PrintHandle_t* handle, uint8_t allowInsertionWait);

// Builder set-up for a paper type (0 receipt, 1 slip, 2 endorse, 3
// validation); option 1 selects the 40-column endorsement. 1, leaving the
// builder unchanged, for an invalid builder, a paper type outside 0..3 or an
// endorse option other than 0 and 1 (SetHybridHeader: any option but 0, 1).
int SetHybridDotDensity(PrinterBuilder_t* builder, int32_t paperType, int32_t option);
int SetHybridHeader(PrinterBuilder_t* builder, int32_t paperType, int32_t option);
// Prepares the builder for the paper type, then queues the hybrid send; its
// outcome arrives through the hybrid result callback as method 1. 1 for a
// null handle or builder or a timeout above 600000 ms; else the queueing's
// result (5 when the copy fails, 255 when it cannot be queued).
int TiloSendHybridData(TdcBackendEnv_t* env, PrintHandle_t* handle, PrinterBuilder_t* builder,
                       int32_t paperType, int32_t timeoutMs, int32_t option,
                       uint8_t removalPending);

// Selects the paper type: the printer cues the sheet (slipCueing is set
// meanwhile). QueueCuePaper's result.
int TiloSelectPaperType(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t paperType);
// The operations below answer 7 while a job's bytes are being sent, else
// pass on the queueing's result; their outcome arrives through the hybrid
// result callback. delayMs is the printer's own insertion wait, 0..6400 or -2
// (500); timeoutMs 0..600000; anything else 1.
// Cancels a pending insertion and waits for the printer to end it.
int TiloCancelInsertionSync(TdcBackendEnv_t* env, PrintHandle_t* handle);
// paperType is the hybrid paper type (1 slip, 2 endorsement, 3 validation);
// the wait expects the sheet on that paper's path.
int TiloWaitInsertion(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t paperType,
                      int32_t delayMs, int32_t timeoutMs, uint8_t removalPending);
int TiloCancelInsertion(TdcBackendEnv_t* env, PrintHandle_t* handle);
// Waits for the eject and reports it (method 3) before it returns.
int TiloEjectPaper(TdcBackendEnv_t* env, PrintHandle_t* handle, uint8_t removalPending);
int TiloReadMicrData(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t font, int32_t delayMs,
                     int32_t timeoutMs, uint8_t removalPending);
int TiloCleanMicrReader(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t delayMs,
                        int32_t timeoutMs, uint8_t removalPending);

// The hybrid printer leaves the shared connection: a pending insertion is
// cancelled first (its job ends without a callback), then user bit 4 goes.
// ReleaseSharedConnection's result.
int TiloCloseHybridPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle);

}  // namespace tilo2::core
