#include "hal/usb_map.h"

#include <cctype>
#include <cstdio>

namespace tilo2::core::hal {

std::string UsbPortPath(int bus, const std::vector<int>& ports) {
  std::string path = std::to_string(bus);
  for (size_t i = 0; i < ports.size(); ++i) {
    path += i == 0 ? '-' : '.';
    path += std::to_string(ports[i]);
  }
  return path;
}

std::string UsbInstanceId(uint16_t vendorId, uint16_t productId, const std::string& serial,
                          const std::string& portPath) {
  char head[32];
  std::snprintf(head, sizeof head, "USB\\VID_%04X&PID_%04X\\", vendorId, productId);
  std::string id = head;
  if (serial.empty()) return id + portPath;
  for (unsigned char c : serial) {
    if (c >= 'a' && c <= 'z') {
      id += static_cast<char>(c - 'a' + 'A');
    } else if (c <= 0x20 || c >= 0x7F || c == '\\' || c == ',') {
      id += '_';
    } else {
      id += static_cast<char>(c);
    }
  }
  return id;
}

std::optional<UsbIds> ParseUsbInstanceId(const std::string& id) {
  unsigned vendor = 0;
  unsigned product = 0;
  int used = 0;
  // Exactly four hex digits each, then the separator.
  if (id.size() < 22 || id.compare(0, 8, "USB\\VID_") != 0 || id.compare(12, 5, "&PID_") != 0 ||
      id[21] != '\\') {
    return std::nullopt;
  }
  for (size_t i : {8u, 9u, 10u, 11u, 17u, 18u, 19u, 20u}) {
    if (std::isxdigit(static_cast<unsigned char>(id[i])) == 0) return std::nullopt;
  }
  if (std::sscanf(id.c_str() + 8, "%4x", &vendor) != 1 ||
      std::sscanf(id.c_str() + 17, "%4x%n", &product, &used) != 1) {
    return std::nullopt;
  }
  return UsbIds{static_cast<uint16_t>(vendor), static_cast<uint16_t>(product)};
}

DeviceRecord UsbRecord(const std::string& instanceId, const std::string& product) {
  DeviceRecord record;
  record.id = instanceId;
  record.properties[kKeyDeviceInstanceId] = instanceId;
  record.properties[kKeyItemNameDisplay] = product;
  return record;
}

}  // namespace tilo2::core::hal
