#pragma once
// The queued status steps: automatic status back switched on, drained and
// analysed, and the real-time, battery, offline-response, power and display
// queries. Each is a StepFunc run on the connection's queue thread.

#include <cstdint>

#include "engine/step_context.h"

namespace tilo2::core {

// Four status bytes into statusOut; statusOutLength is the number of
// real-time queries (1 or 4) and extraWaitMs the extra reply wait.
int32_t GetCommandAsb(StepContext_t* context);
// TCP: the four status bytes from the printer's network interface into out,
// analysed as an automatic status; 3 when the exchange fails. context->handle
// must be set.
int32_t GetNetworkAsb(StepContext_t* context, uint8_t out[4]);
// Drains and analyses what the printer sent (replyWait); always 0 once started.
int32_t CheckAsb(StepContext_t* context);
// Switches automatic status on; *resultOut 1 when it did.
int32_t EnableAsb(StepContext_t* context);
// Battery query with extraWaitMs added to the wait; a timeout is 0.
int32_t GetBatteryStatus(StepContext_t* context);
// ORs the offline response's reasons into *flagsOut.
int32_t GetOfflineResponse(StepContext_t* context);
// *resultOut 1 when the printer does not answer.
int32_t IsPoweroff(StepContext_t* context);
// Sets displayConnected, reading with readTimeoutMs per read.
int32_t CheckDisplayConnection(StepContext_t* context);
int32_t CheckSupportPaperType(StepContext_t* context);

}  // namespace tilo2::core
