#pragma once
// How BlueZ's objects become records of the layer: the ids of a Bluetooth
// device and of its SerialPort service, their names and address property.
// Pure text work, shared by the Linux and the simulated backends.

#include <optional>
#include <string>
#include <vector>

#include "hal/hal.h"

namespace tilo2::core::hal {

inline constexpr const char* kSerialPortUuid = "00001101-0000-1000-8000-00805f9b34fb";

// What the layer needs of an org.bluez.Adapter1 and an org.bluez.Device1.
struct BluezAdapter {
  std::string path;     // "/org/bluez/hci0"
  std::string address;  // "00:11:22:33:44:55"
};
struct BluezDevice {
  std::string path;         // "/org/bluez/hci0/dev_00_1A_7D_DA_71_13"
  std::string adapterPath;  // its Adapter property
  std::string address;      // its Address property, "00:1A:7D:DA:71:13"
  std::optional<std::string> alias;
  bool paired = false;
  std::vector<std::string> uuids;
};

// "Bluetooth#Bluetooth<adapter>-<device>", the addresses in lower case.
std::string BluetoothDeviceId(const std::string& adapterAddress, const std::string& deviceAddress);
// The device id + "#RFCOMM:00000000:{<SerialPort uuid>}".
std::string BluetoothServiceId(const std::string& adapterAddress, const std::string& deviceAddress);
// The device address of a device or service id, upper case with colons;
// nullopt when the id is not one of ours.
std::optional<std::string> BluetoothIdDeviceAddress(const std::string& id);
bool IsBluetoothServiceId(const std::string& id);

// "00:1A:7D:DA:71:13" to "001A7DDA7113" (upper case, colons dropped).
std::string BluetoothAddressProperty(const std::string& address);

// Does the device offer a SerialPort service the layer lists: paired, with the
// SerialPort uuid (any case) among its UUIDs and a valid address.
bool OffersSerialPort(const BluezDevice& device);

// The service record of a device that offers SerialPort (nullopt otherwise)
// and the record of the device itself; the adapter's address comes from the
// adapter list (nullopt when its adapter is not there). Names are the Alias;
// a device without an Alias has no name key.
std::optional<DeviceRecord> BluezServiceRecord(const std::vector<BluezAdapter>& adapters,
                                               const BluezDevice& device);
std::optional<DeviceRecord> BluezDeviceRecord(const std::vector<BluezAdapter>& adapters,
                                              const BluezDevice& device);

// The service records of every device that offers SerialPort, ordered by
// object path (the bus hands objects out in no fixed order).
std::vector<DeviceRecord> BluezServiceRecords(const std::vector<BluezAdapter>& adapters,
                                              std::vector<BluezDevice> devices);

// The record of a service or device id among the objects, nullopt when none.
std::optional<DeviceRecord> BluezRecordOfId(const std::vector<BluezAdapter>& adapters,
                                            const std::vector<BluezDevice>& devices,
                                            const std::string& id);

}  // namespace tilo2::core::hal
