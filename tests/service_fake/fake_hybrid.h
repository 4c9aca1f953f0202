#pragma once
// The scripted client's hybrid printer controls: the units the service
// reports and the hybrid notifiers fired on a fake thread. Reset() does not
// touch the units; set them in each test's SetUp.

#include <cstdint>

#include "service_fake/fake_service.h"

namespace tilo2::fake {

// What TdevGetSystemVersion writes when it answers 0 (script its result with
// SetResult/PushResult("TdevGetSystemVersion", code)). All 1 by default.
void SetSystemUnits(uint8_t endorse, uint8_t validation, uint8_t micr);

// Hybrid slots 0..18 of TdevHybridSet*.
bool IsHybridInstalled(const void* handle, int slot);
// Calls the notifier of hybrid status slot 0..15 on a fake thread and
// returns once it returned; false when the slot is not installed or the
// handle is not live.
bool FireHybridStatusEvent(TdevPrinterHandle_t* handle, int slot);
// The result notifier (slot 16), likewise.
bool FireHybridResult(TdevPrinterHandle_t* handle, int32_t success, int32_t code, uint32_t status,
                      int32_t operation, const char* data);

}  // namespace tilo2::fake
