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

// What a job chain of another kind (the hybrid send, the display job) shares
// with the print job's: the queueing, the Init and Exit steps and the receipt
// checks.
struct NamedStep {
  StepFunc step;
  const char* name;
};
struct JobChainSteps {
  NamedStep init, check, send, exit;  // a chain without Check has a null check step
  // Queued under the Exit step's name when the Check or send step could not be.
  NamedStep exitIncomplete;
};
// Queues Init, Check, send and Exit on private copies of context's builders.
// The context holds handle, jobHandle, printerBuilder or displayBuilder,
// timeoutMs and the chain's own fields. Results as QueueSendPrinter.
int QueueJobChain(StepContext_t* context, const JobChainSteps& steps);
// The Init step: the job wait of that kind and method first, then the job's
// id, its built bytes and its work buffers.
int32_t InitJobChain(StepContext_t* context, int32_t kind, int32_t method);
struct ReceiptCheckRules {
  bool withBattery;
  // With infoKind 1 the extended status decides an offline printer's error later.
  bool extStatusDecides;
};
// The Check step's status decision after the printer's pending replies were
// read; the job timeout counts from startMs. Its failures are left to the
// Exit step to report.
int32_t CheckReceiptJob(StepContext_t* context, uint64_t startMs, const ReceiptCheckRules& rules);
// Whether a failed chain leaves the printer to recover first.
using NeedRecoverRule = bool (*)(int32_t chainResult);
// The Exit step: ends the job's record when the chain failed and frees the chain.
int32_t ExitJobChain(StepContext_t* context, NeedRecoverRule needRecoverAfter);
// Takes a build's bytes into the context: builtData, sendLength and, when
// there are any, sendData (owned by built).
void TakeBuiltData(StepContext_t* context, CmdData_t* built);
// CheckAsb with a reply context of its own: takes in what the printer sent.
void ReadPendingReplies(PrintHandle_t* handle);

int32_t InitSendPrinterCmd(StepContext_t* context);   // "Init_SendPrinter_Cmd"
int32_t CheckSendPrinterCmd(StepContext_t* context);  // "Check_SendPrinter_Cmd"
int32_t SendPrinterCmd(StepContext_t* context);       // "SendPrinter_Cmd"
int32_t ExitSendPrinterCmd(StepContext_t* context);   // "Exit_SendPrinter_Cmd"

// "GetDeviceInformation": inputs in deviceInfo and *online.
int32_t GetDeviceInformation(StepContext_t* context);
// "ClosingOperation": replyWait must carry the handle.
int32_t ClosingOperation(StepContext_t* context);

}  // namespace tilo2::core
