#pragma once
// The step before a connect to a Bluetooth target: the target must be among
// the devices the system has paired.

#include "orvik/tilo2/async.h"
#include "orvik/tilo2/string.h"

namespace tilo2::core::CommonUtils {

// For a target containing "BT:": looks the address after it up among the
// paired serial-port devices (case and ":" ignored), writes "Bluetooth is
// paired." or "Bluetooth isn't paired." with the target, and opens the
// device's serial service. Fails with ErrConnect when the device is not paired
// or the system's query or open fails, with ErrFailure for a standard-library
// exception. Any other target gives an operation already completed: no query,
// no line.
::Orvik::Tilo::Tilo2::IAsyncAction ConnectBtDeviceAsync(const ::Orvik::Tilo::Tilo2::String& target);

}  // namespace tilo2::core::CommonUtils
