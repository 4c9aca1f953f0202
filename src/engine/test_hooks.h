#pragma once
// Where tests reach into the print engine. Product code never calls these.

#include <cstddef>
#include <cstdint>

#include "engine/step_context.h"
#include "foundation/platform.h"

namespace tilo2::core {

// Sets the id the next wait object's search starts after, so tests reach the
// wrap of the 32-bit ids without creating four billion objects.
void EngineSetLastWaitId(uint32_t id);
// Threads inside WaitForWaitObject for the id (0 for an unknown id), so a
// test can act once a waiter is really waiting.
int EngineWaitObjectWaiters(uint64_t id);

// Replaces platform_thread_create for the threads of the job waits, the
// status monitor and the request queues; null restores it.
using EngineThreadCreate = int (*)(PlatformThread_t* out, PlatformThreadEntry entry,
                                   void* argument);
void EngineSetThreadCreate(EngineThreadCreate create);

// The step every chain starts with ("CheckAndRecover"; CheckAndRecover until a
// test sets another); null runs nothing. Tests put a recording step there and
// put CheckAndRecover back afterwards.
void EngineSetCheckAndRecoverStep(StepFunc step);

// Allocation of the builder operations' own blocks (decoded barcode and
// symbol data, shifted images, raster output); null restores malloc. Blocks
// are released with free().
using EngineAllocFn = void* (*)(size_t size);
void EngineSetBuilderAllocator(EngineAllocFn alloc);

}  // namespace tilo2::core
