// The Linux backends' pure mappings: BlueZ objects to records and ids, USB
// descriptors to instance ids.

#include <gtest/gtest.h>

#include "hal/bluez_map.h"
#include "hal/usb_map.h"

namespace tilo2::core::hal {
namespace {

TEST(UsbMap, InstanceIds) {
  struct Case {
    uint16_t vendor, product;
    std::string serial, portPath, id;
  };
  const Case cases[] = {
      {0x0519, 0x0202, "abc123", "1-2", "USB\\VID_0519&PID_0202\\ABC123"},
      {0x0A5F, 0x0202, "", "3-1.4", "USB\\VID_0A5F&PID_0202\\3-1.4"},  // no serial
      {0x0001, 0x0202, "a b\\c,d", "1-1", "USB\\VID_0001&PID_0202\\A_B_C_D"},
      {0xFFFF, 0x1234, "X\x01\xC3\xA9", "1-1", "USB\\VID_FFFF&PID_1234\\X___"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UsbInstanceId(c.vendor, c.product, c.serial, c.portPath), c.id) << c.serial;
    const auto ids = ParseUsbInstanceId(c.id);
    ASSERT_TRUE(ids.has_value()) << c.id;
    EXPECT_EQ(ids->vendorId, c.vendor);
    EXPECT_EQ(ids->productId, c.product);
  }
}

TEST(UsbMap, PortPathsAndIdsThatAreNotInstanceIds) {
  EXPECT_EQ(UsbPortPath(1, {2}), "1-2");
  EXPECT_EQ(UsbPortPath(3, {1, 4, 2}), "3-1.4.2");
  EXPECT_EQ(UsbPortPath(2, {}), "2");
  for (const char* id : {"", "USB\\VID_0519&PID_0202", "USB\\VID_05G9&PID_0202\\X",
                         "usb\\VID_0519&PID_0202\\X", "Bluetooth#Bluetooth00:11"}) {
    EXPECT_FALSE(ParseUsbInstanceId(id).has_value()) << id;
  }
  const DeviceRecord record = UsbRecord("USB\\VID_0519&PID_0202\\ABC", "TM Printer");
  EXPECT_EQ(record.id, "USB\\VID_0519&PID_0202\\ABC");
  EXPECT_EQ(record.properties.at(kKeyDeviceInstanceId), record.id);
  EXPECT_EQ(record.properties.at(kKeyItemNameDisplay), "TM Printer");
}

TEST(BluezMap, IdsKeepTheShapesTheFinderParses) {
  const std::string device = BluetoothDeviceId("00:11:22:33:44:55", "00:1A:7D:DA:71:13");
  const std::string service = BluetoothServiceId("00:11:22:33:44:55", "00:1A:7D:DA:71:13");
  EXPECT_EQ(device, "Bluetooth#Bluetooth00:11:22:33:44:55-00:1a:7d:da:71:13");
  EXPECT_EQ(service, device + "#RFCOMM:00000000:{00001101-0000-1000-8000-00805f9b34fb}");
  // The finder's parent id: the text from "Bluetooth#" up to "#RFCOMM".
  EXPECT_EQ(service.substr(0, service.find("#RFCOMM")), device);
  EXPECT_EQ(BluetoothIdDeviceAddress(device), "00:1A:7D:DA:71:13");
  EXPECT_EQ(BluetoothIdDeviceAddress(service), "00:1A:7D:DA:71:13");
  EXPECT_TRUE(IsBluetoothServiceId(service));
  EXPECT_FALSE(IsBluetoothServiceId(device));
  for (const char* bad : {"", "Bluetooth#Bluetooth00:11:22:33:44:55", "USB\\VID_0001&PID_0202\\X",
                          "Bluetooth#Bluetooth00:11:22:33:44:55-00:1a:7d:da:71:1",
                          "Bluetooth#Bluetooth00:11:22:33:44:55-00:1a:7d:da:71:13#X"}) {
    EXPECT_FALSE(BluetoothIdDeviceAddress(bad).has_value()) << bad;
  }
}

TEST(BluezMap, DevicePropertiesToServiceRecords) {
  const std::vector<BluezAdapter> adapters = {{"/org/bluez/hci0", "00:11:22:33:44:55"}};
  struct Case {
    const char* what;
    BluezDevice device;
    bool listed;
  };
  const std::string spp = kSerialPortUuid;
  const Case cases[] = {
      {"paired with SerialPort",
       {"/org/bluez/hci0/dev_00_1A_7D_DA_71_13",
        "/org/bluez/hci0",
        "00:1A:7D:DA:71:13",
        "RP-S1",
        true,
        {"0000110a-0000-1000-8000-00805f9b34fb", spp}},
       true},
      {"uuid in upper case",
       {"/org/bluez/hci0/dev_A",
        "/org/bluez/hci0",
        "00:1A:7D:DA:71:14",
        "X",
        true,
        {"00001101-0000-1000-8000-00805F9B34FB"}},
       true},
      {"not paired",
       {"/org/bluez/hci0/dev_B", "/org/bluez/hci0", "00:1A:7D:DA:71:15", "X", false, {spp}},
       false},
      {"no SerialPort",
       {"/org/bluez/hci0/dev_C",
        "/org/bluez/hci0",
        "00:1A:7D:DA:71:16",
        "X",
        true,
        {"0000110a-0000-1000-8000-00805f9b34fb"}},
       false},
      {"unknown adapter",
       {"/org/bluez/hci1/dev_D", "/org/bluez/hci1", "00:1A:7D:DA:71:17", "X", true, {spp}},
       false},
      {"bad address",
       {"/org/bluez/hci0/dev_E", "/org/bluez/hci0", "00-1A-7D-DA-71-18", "X", true, {spp}},
       false},
  };
  for (const Case& c : cases) {
    const auto record = BluezServiceRecord(adapters, c.device);
    ASSERT_EQ(record.has_value(), c.listed) << c.what;
    if (!record) continue;
    EXPECT_EQ(record->id, BluetoothServiceId("00:11:22:33:44:55", c.device.address)) << c.what;
    EXPECT_EQ(record->properties.at(kKeyItemNameDisplay), *c.device.alias) << c.what;
    std::string digits = c.device.address;
    std::erase(digits, ':');
    EXPECT_EQ(record->properties.at(kKeyBluetoothAddress), digits) << c.what;
  }
}

TEST(BluezMap, ListsInPathOrderAndAnswersIdsOfServicesAndDevices) {
  const std::vector<BluezAdapter> adapters = {{"/org/bluez/hci0", "00:11:22:33:44:55"}};
  BluezDevice b{"/org/bluez/hci0/dev_B", "/org/bluez/hci0", "00:00:00:00:00:0B", std::nullopt, true,
                {kSerialPortUuid}};
  BluezDevice a{"/org/bluez/hci0/dev_A", "/org/bluez/hci0", "00:00:00:00:00:0a", "Alpha", true,
                {kSerialPortUuid}};
  const auto records = BluezServiceRecords(adapters, {b, a});
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].properties.at(kKeyBluetoothAddress), "00000000000A");
  EXPECT_EQ(records[1].properties.count(kKeyItemNameDisplay), 0u);  // no Alias, no name
  const auto parent =
      BluezRecordOfId(adapters, {b, a}, BluetoothDeviceId("00:11:22:33:44:55", a.address));
  ASSERT_TRUE(parent.has_value());
  EXPECT_EQ(parent->properties.at(kKeyItemNameDisplay), "Alpha");
  EXPECT_FALSE(BluezRecordOfId(adapters, {b, a}, "Bluetooth#nothing").has_value());
}

}  // namespace
}  // namespace tilo2::core::hal
