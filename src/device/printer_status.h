#pragma once
// Printer status records from either backend's status word, and the print
// result code a direct job's completion code and word give. Records are
// malloc'ed; whoever receives one frees it with free().

#include <cstdint>

#include "device/device_types.h"

namespace tilo2::core {

// Series 2 to 5 report battery events instead of drawer events.
bool TdcIsBatterySeries(int32_t series);

// connection 0, every other field -3; null when out of memory.
TdcStatus_t* TdcNewStatus();
TdcStatus_t* TdcMakePrinterStatus(int32_t series, uint32_t statusFlags, int32_t battery);
TdcStatus_t* TdcMakePrinterServiceStatus(int32_t series, uint32_t statusBits, int32_t battery);
// 0, *out the TdcCallbackCode; 1 for a null out.
int TdcGetPrintResultCode(int32_t series, int32_t code, uint32_t statusFlags, int32_t* out);

}  // namespace tilo2::core
