#pragma once
// The chain of one print job (Init, Check, send and Exit steps), the device
// information step of an open or a transaction end, and the step that leaves a
// Bluetooth printer usable for the next host.

#include <cstdint>

#include "engine/builder_records.h"
#include "engine/print_handle.h"
#include "engine/step_context.h"

namespace tilo2::core {

// Queues the job's chain on a private copy of the builder and returns at once:
// 0 queued, 5 when the copy fails, 1 without queue, 255 when a request cannot
// be queued. The result arrives through the print result callback.
int QueueSendPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle, PrinterBuilder_t* builder,
                     int32_t timeoutMs);

int32_t InitSendPrinterCmd(StepContext_t* context);   // "Init_SendPrinter_Cmd"
int32_t CheckSendPrinterCmd(StepContext_t* context);  // "Check_SendPrinter_Cmd"
int32_t SendPrinterCmd(StepContext_t* context);       // "SendPrinter_Cmd"
int32_t ExitSendPrinterCmd(StepContext_t* context);   // "Exit_SendPrinter_Cmd"

// "GetDeviceInformation": inputs in deviceInfo and *online.
int32_t GetDeviceInformation(StepContext_t* context);
// "ClosingOperation": replyWait must carry the handle.
int32_t ClosingOperation(StepContext_t* context);

}  // namespace tilo2::core
