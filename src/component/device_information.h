#pragma once
// Facts about the machine: the operating system's name and the system product
// name (what a virtual machine reports as "Virtual"). Read once and kept, since
// the virtual-machine check runs before every core call.

#include <cstddef>
#include <memory>
#include <string>

namespace tilo2::core {

struct DeviceInformation {
  // os-release's PRETTY_NAME, else the kernel's name and release.
  std::string operatingSystem;
  // The firmware's product name, trimmed; empty when unreadable.
  std::string systemProductName;
};

// Each text is cut to this many bytes, never inside a UTF-8 sequence.
inline constexpr size_t kDeviceInformationTextMax = 255;

// The machine's information, read on the first call.
std::shared_ptr<const DeviceInformation> GetDeviceInformation();

// Where the information is read from; the test seam points these elsewhere.
inline constexpr const char* kOsReleasePaths[] = {"/etc/os-release", "/usr/lib/os-release"};
inline constexpr const char* kProductNamePath = "/sys/class/dmi/id/product_name";

}  // namespace tilo2::core
