#pragma once
// The failure codes that cross between the device objects (which report
// failures as HRESULTs, as the hardware access layer does) and the connection
// layer's plain result codes.

#include <cstdint>
#include <exception>

#include "hal/hal.h"

namespace tilo2::core {

// The six HRESULTs that keep their meaning on their way to a result code.
bool TiloIoIsKeptHresult(int32_t hresult);

int TiloIoHresultToResult(int32_t hresult);

// The failure (a hal::Error) a device object raises for a connection-layer result code.
std::exception_ptr TiloIoResultToException(int result);

// The HRESULT that TiloIoResultToException gives for a result code.
int32_t TiloIoResultToHresult(int result);

}  // namespace tilo2::core
