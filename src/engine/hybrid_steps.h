#pragma once
// Hybrid printer steps. Every open runs the initialisation, whatever the model.

#include <cstdint>

#include "engine/print_handle.h"
#include "engine/step_context.h"

namespace tilo2::core {

// "InitiaizeHybridPrinter" (the label keeps the printer family's spelling):
// clears the printer's buffer and waits briefly for the acknowledgement.
int32_t InitiaizeHybridPrinter(StepContext_t* context);
// Runs the step standalone and waits for it; 0.
int QueueInitiaizeHybridPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle);

}  // namespace tilo2::core
