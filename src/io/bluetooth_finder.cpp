// The Bluetooth finder: serial-port services of paired devices, listed under
// the address of the device that offers them.

#include <atomic>
#include <thread>

#include "io/device_finder.h"
#include "io/device_text.h"
#include "io/io_types.h"

namespace tilo2::core {

namespace {

constexpr const char* kSource = "core\\tiloprint\\MobileIO\\OrvikBluetoothFinder";
constexpr uint64_t kParentNameVersion = 0x000A000038390000ull;  // 10.0.14393.0

std::atomic<int> g_lookupsRunning{0};

// The first place where token starts with at least one more character after it.
size_t FindWithTail(const std::string& text, const std::string& token) {
  const size_t at = text.find(token);
  if (at == std::string::npos || at + token.size() >= text.size()) return std::string::npos;
  return at;
}

}  // namespace

int TiloIoBtAddressLookupsRunning() { return g_lookupsRunning; }

void OrvikBluetoothFinder::Start(const std::string& filter) {
  StartWatching(filter, hal::Selector::BluetoothSerialPort(), {kSource, 56, 75, 140, 149},
                &OrvikBluetoothFinder::OnDevice);
}

void OrvikBluetoothFinder::Stop() { StopWatching({kSource, 56, 75, 140, 149}); }

std::string OrvikBluetoothFinder::resolveDeviceName(const std::string& deviceId,
                                                    const std::string& name) {
  if (TiloIoGetOsVersion() < kParentNameVersion) return name;
  try {
    const size_t device = FindWithTail(deviceId, "Bluetooth#");
    if (device == std::string::npos) return name;
    const size_t service = FindWithTail(deviceId, "#RFCOMM");
    const std::string parent = service == std::string::npos || service < device
                                   ? deviceId.substr(device)
                                   : deviceId.substr(device, service - device);
    const auto record = hal::CreateFromId(parent, {hal::kKeyItemNameDisplay});
    if (!record) return name;
    const auto it = record->properties.find(hal::kKeyItemNameDisplay);
    return it != record->properties.end() ? it->second : name;
  } catch (...) {
    return name;
  }
}

void OrvikBluetoothFinder::queryDeviceAddress(const std::string& deviceId,
                                              const std::string& name) {
  const std::weak_ptr<OrvikDeviceFinder> weak = weak_from_this();
  ++g_lookupsRunning;
  try {
    std::thread([weak, deviceId, name] {
      try {
        const auto record = hal::CreateFromId(deviceId, {hal::kKeyBluetoothAddress});
        if (record) {
          const auto it = record->properties.find(hal::kKeyBluetoothAddress);
          if (it != record->properties.end()) {
            const auto address = formatBluetoothAddress(asciiUpper(it->second));
            // The finder may be gone by now (stopped and released): then the
            // result goes nowhere.
            if (address) {
              if (const auto finder = weak.lock()) {
                finder->AddOrUpdateDevice(TILOIO_TYPE_BLUETOOTH, name, *address, std::string());
              }
            }
          }
        }
      } catch (...) {
      }
      --g_lookupsRunning;
    }).detach();
  } catch (...) {
    --g_lookupsRunning;
  }
}

void OrvikBluetoothFinder::OnDevice(OrvikDeviceFinder& finder, const hal::DeviceRecord& record) {
  const auto it = record.properties.find(hal::kKeyItemNameDisplay);
  if (it == record.properties.end()) return;
  const std::string name = resolveDeviceName(record.id, it->second);
  static_cast<OrvikBluetoothFinder&>(finder).queryDeviceAddress(record.id, name);
}

}  // namespace tilo2::core
