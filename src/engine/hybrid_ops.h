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

}  // namespace tilo2::core
