#pragma once
// Shared by the hybrid printer module's files: the paper-state steps its
// results take. Its operations run in a TdcPrinterOperation, which holds a
// hybrid record in the hybrid registry.

#include <cstdint>

#include "device/device_types.h"
#include "device/printer_access.h"

namespace tilo2::core {

// Both applied sides, the insertion mode and the inserted paper back to 0.
void TdcResetPaperState(TdcPrinter_t* record);
void TdcSetAppliedSides(TdcPrinter_t* record, int32_t slip, int32_t endorse);

// The paper-state update a completed operation makes, and the code the app
// gets (method 4 on the device service renames two codes).
enum class TdcResultSource { Direct, Service };
int32_t TdcUpdatePaperState(TdcPrinter_t* record, TdcResultSource source, int32_t rawMethod,
                            int32_t method, int32_t code);

// The units a print handle learned (its paperSupport word) as the record's;
// false, and nothing changes, while the handle does not know them.
bool TdcTakePaperSupport(TdcPrinter_t* record, uint32_t handleSupport);

}  // namespace tilo2::core
