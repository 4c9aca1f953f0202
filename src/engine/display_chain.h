#pragma once
// The chain of one customer display job (Init, send and Exit steps), sent
// through the printer's connection, and its public entry point.

#include "engine/builder_records.h"
#include "engine/print_handle.h"
#include "engine/step_context.h"

namespace tilo2::core {

// Every display job waits this long for its job end.
inline constexpr int32_t kDisplayJobTimeoutMs = 10000;

// Queues the job's chain on a private copy of the builder and returns at once:
// 0 queued; 1 without builder or for a dead handle; 6 for a handle without
// connection or queue, or while print jobs are outstanding (two or more when
// two jobs may run at once, else one); 5 when the copy fails; 255 when a
// request cannot be queued. The result arrives through the display result
// callback.
int QueueSendDisplay(TdcBackendEnv_t* env, PrintHandle_t* handle, DisplayBuilder_t* builder);

int32_t InitSendDisplayCmd(StepContext_t* context);  // "Init_SendDisplay_Cmd"
int32_t SendDisplayCmd(StepContext_t* context);      // "SendDisplay_Cmd"
int32_t ExitSendDisplayCmd(StepContext_t* context);  // "Exit_SendDisplay_Cmd"

// 1 for a null handle or builder; QueueSendDisplay's 1, 5 and 6 as they are;
// 5 when a request cannot be queued; 0 once queued.
int TiloSendDisplayData(TdcBackendEnv_t* env, PrintHandle_t* handle, DisplayBuilder_t* builder);

}  // namespace tilo2::core
