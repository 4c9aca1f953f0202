// The USB finder: the maker's printers, listed under their instance ids.

#include "io/device_finder.h"
#include "io/io_types.h"

namespace tilo2::core {

namespace {

constexpr const char* kSource = "core\\tiloprint\\MobileIO\\OrvikUsbFinder";

}  // namespace

void OrvikUsbFinder::Start(const std::string& filter) {
  StartWatching(filter, hal::Selector::UsbPrinter(), {kSource, 36, 59, 116, 125},
                &OrvikUsbFinder::OnDevice);
}

void OrvikUsbFinder::Stop() { StopWatching({kSource, 36, 59, 116, 125}); }

void OrvikUsbFinder::OnDevice(OrvikDeviceFinder& finder, const hal::DeviceRecord& record) {
  const auto address = record.properties.find(hal::kKeyDeviceInstanceId);
  const auto name = record.properties.find(hal::kKeyItemNameDisplay);
  if (address == record.properties.end() || name == record.properties.end()) return;
  finder.AddOrUpdateDevice(TILOIO_TYPE_USB, name->second, address->second, std::string());
}

}  // namespace tilo2::core
