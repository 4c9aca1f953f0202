#include "hal/bluez_map.h"

#include <algorithm>
#include <cctype>

namespace tilo2::core::hal {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// "xx:xx:xx:xx:xx:xx" in hexadecimal digits, either case.
bool IsColonAddress(const std::string& text) {
  if (text.size() != 17) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool colon = i % 3 == 2;
    if (colon ? text[i] != ':' : std::isxdigit(static_cast<unsigned char>(text[i])) == 0) {
      return false;
    }
  }
  return true;
}

constexpr const char* kIdHead = "Bluetooth#Bluetooth";
constexpr const char* kServiceTail = "#RFCOMM:00000000:{";

const BluezAdapter* AdapterOf(const std::vector<BluezAdapter>& adapters,
                              const BluezDevice& device) {
  for (const BluezAdapter& adapter : adapters) {
    if (adapter.path == device.adapterPath && IsColonAddress(adapter.address)) return &adapter;
  }
  return nullptr;
}

}  // namespace

std::string BluetoothDeviceId(const std::string& adapterAddress, const std::string& deviceAddress) {
  return std::string(kIdHead) + Lower(adapterAddress) + "-" + Lower(deviceAddress);
}

std::string BluetoothServiceId(const std::string& adapterAddress,
                               const std::string& deviceAddress) {
  return BluetoothDeviceId(adapterAddress, deviceAddress) + kServiceTail + kSerialPortUuid + "}";
}

std::optional<std::string> BluetoothIdDeviceAddress(const std::string& id) {
  const std::string head = kIdHead;
  // head, adapter (17), "-", device (17), then the end or the service tail.
  if (id.size() < head.size() + 35 || id.compare(0, head.size(), head) != 0) return std::nullopt;
  const std::string adapter = id.substr(head.size(), 17);
  const std::string device = id.substr(head.size() + 18, 17);
  if (!IsColonAddress(adapter) || id[head.size() + 17] != '-' || !IsColonAddress(device)) {
    return std::nullopt;
  }
  const std::string rest = id.substr(head.size() + 35);
  if (!rest.empty() && rest.rfind("#RFCOMM", 0) != 0) return std::nullopt;
  return Upper(device);
}

bool IsBluetoothServiceId(const std::string& id) {
  return BluetoothIdDeviceAddress(id).has_value() && id.find("#RFCOMM") != std::string::npos;
}

std::string BluetoothAddressProperty(const std::string& address) {
  std::string digits;
  for (char c : address) {
    if (c != ':') digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return digits;
}

bool OffersSerialPort(const BluezDevice& device) {
  if (!device.paired || !IsColonAddress(device.address)) return false;
  return std::any_of(device.uuids.begin(), device.uuids.end(),
                     [](const std::string& uuid) { return Lower(uuid) == kSerialPortUuid; });
}

std::optional<DeviceRecord> BluezServiceRecord(const std::vector<BluezAdapter>& adapters,
                                               const BluezDevice& device) {
  const BluezAdapter* adapter = AdapterOf(adapters, device);
  if (adapter == nullptr || !OffersSerialPort(device)) return std::nullopt;
  DeviceRecord record;
  record.id = BluetoothServiceId(adapter->address, device.address);
  if (device.alias) record.properties[kKeyItemNameDisplay] = *device.alias;
  record.properties[kKeyBluetoothAddress] = BluetoothAddressProperty(device.address);
  return record;
}

std::optional<DeviceRecord> BluezDeviceRecord(const std::vector<BluezAdapter>& adapters,
                                              const BluezDevice& device) {
  const BluezAdapter* adapter = AdapterOf(adapters, device);
  if (adapter == nullptr || !IsColonAddress(device.address)) return std::nullopt;
  DeviceRecord record;
  record.id = BluetoothDeviceId(adapter->address, device.address);
  if (device.alias) record.properties[kKeyItemNameDisplay] = *device.alias;
  record.properties[kKeyBluetoothAddress] = BluetoothAddressProperty(device.address);
  return record;
}

std::vector<DeviceRecord> BluezServiceRecords(const std::vector<BluezAdapter>& adapters,
                                              std::vector<BluezDevice> devices) {
  std::sort(devices.begin(), devices.end(),
            [](const BluezDevice& a, const BluezDevice& b) { return a.path < b.path; });
  std::vector<DeviceRecord> records;
  for (const BluezDevice& device : devices) {
    if (auto record = BluezServiceRecord(adapters, device)) records.push_back(std::move(*record));
  }
  return records;
}

std::optional<DeviceRecord> BluezRecordOfId(const std::vector<BluezAdapter>& adapters,
                                            const std::vector<BluezDevice>& devices,
                                            const std::string& id) {
  for (const BluezDevice& device : devices) {
    for (auto record :
         {BluezServiceRecord(adapters, device), BluezDeviceRecord(adapters, device)}) {
      if (record && record->id == id) return record;
    }
  }
  return std::nullopt;
}

}  // namespace tilo2::core::hal
