#pragma once
// How a USB device becomes a record of the layer: its instance id and name.
// Pure text work, shared by the Linux and the simulated backends.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hal/hal.h"

namespace tilo2::core::hal {

// "<bus>-<port>.<port>...", the device's place on the bus ("1-2.4").
std::string UsbPortPath(int bus, const std::vector<int>& ports);

// "USB\VID_%04X&PID_%04X\<serial>": the serial upper-cased, characters that
// cannot stand in an instance id (controls, spaces, backslashes, non-ASCII)
// as "_". Without a serial (empty or unreadable) the port path stands in.
std::string UsbInstanceId(uint16_t vendorId, uint16_t productId, const std::string& serial,
                          const std::string& portPath);

// Vendor and product id of an instance id; nullopt when it is not one.
struct UsbIds {
  uint16_t vendorId;
  uint16_t productId;
};
std::optional<UsbIds> ParseUsbInstanceId(const std::string& id);

// The record FindAll and watchers report: id and instance id the same, the
// name the product string.
DeviceRecord UsbRecord(const std::string& instanceId, const std::string& product);

}  // namespace tilo2::core::hal
