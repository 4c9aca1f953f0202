// Bluetooth and USB connections through the connection interface.

#include <gtest/gtest.h>

#include "device_test_support.h"
#include "io/connection_interface.h"
#include "io_test_support.h"

using namespace device_test;

namespace {

class DeviceConnections : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    hal::SimBluetoothDevice device;
    device.address = "00:1A:7D:DA:71:13";
    sim->AddBluetoothDevice(device);
    hal::SimUsbDevice usb;
    usb.vendorId = hal::UsbVendorId();
    usb.serial = "ABC123";
    usbId = sim->PlugUsbDevice(usb);
  }
  std::string usbId;
};

TEST_F(DeviceConnections, BluetoothAddressLengthAndCase) {
  TiloIoConnection_t* connection = nullptr;
  for (const char* address : {"00:1A:7D:DA:71:1", "00:1A:7D:DA:71:133"}) {
    EXPECT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_BLUETOOTH, address, 15000), 1);
  }
  EXPECT_EQ(sim->ConnectAttempts(""), 0);
  ASSERT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_BLUETOOTH, "00:1a:7d:da:71:13", 15000), 0);
  EXPECT_STREQ(connection->address, "00:1A:7D:DA:71:13");
  // The row keeps the caller's text; any case of it is the same connection.
  TiloIoConnection_t* second = nullptr;
  EXPECT_EQ(TiloIoOpen(nullptr, &second, TILOIO_TYPE_BLUETOOTH, "00:1A:7D:DA:71:13", 15000), 6);
  EXPECT_EQ(TiloIoClose(connection), 0);
}

TEST_F(DeviceConnections, BluetoothStatusControlProbeAndQuietRead) {
  io_test::LogCapture log;
  TiloIoConnection_t* connection = nullptr;
  ASSERT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_BLUETOOTH, "00:1A:7D:DA:71:13", 15000), 0);
  Peer peer(sim->TakePeer("00:1A:7D:DA:71:13", kWait));
  int flag = 0;
  EXPECT_EQ(TiloIoGetStatus(connection, &flag), 0);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(TiloIoControl(connection, 1), 0);
  EXPECT_EQ(TiloIoControl(connection, 0), 0);
  char buffer[128];
  size_t count = 9;
  EXPECT_EQ(TiloIoRead(connection, buffer, 100, &count), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(log.lines({"IODEV", "BTH"}).empty());
  size_t written = 0;
  EXPECT_EQ(TiloIoWrite(connection, "\x10\x04\x01", 3, 1000, &written), 0);
  EXPECT_EQ(written, 3u);
  ASSERT_TRUE(peer.WaitBytes(3));
  EXPECT_EQ(peer.Received().size(), 3u);  // control sent nothing
  peer.Send({0x16});
  EXPECT_EQ(TiloIoRead(connection, buffer, 5000, &count), 0);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(log.lines({"IODEV", "BTH"}).size(), 2u);
  TiloIoProbeTarget_t target{TILOIO_KIND_BLUETOOTH, connection, 1};
  int online = 0;
  EXPECT_EQ(TiloIoCheckOnline(&target, &online), 0);
  EXPECT_EQ(online, 1);
  EXPECT_EQ(TiloIoClose(connection), 0);
  EXPECT_EQ(TiloIoGetStatus(connection, &flag), 6);
}

TEST_F(DeviceConnections, UsbThroughTheInterface) {
  TiloIoConnection_t* connection = nullptr;
  EXPECT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_USB, "", 15000), 1);
  ASSERT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_USB, "abc123", 15000), 0);
  sim->ScriptControl(usbId, {{{}, 0, {}}, {{0x00}, 0, {}}, {{0x01}, 0, {}}, {{0x00}, 0, {}}});
  EXPECT_EQ(TiloIoControl(connection, 1), 0);
  int flag = 5;
  EXPECT_EQ(TiloIoGetStatus(connection, &flag), 0);
  EXPECT_EQ(flag, 0);  // offline
  TiloIoProbeTarget_t target{TILOIO_KIND_USB, connection, 0};
  int online = 0;
  EXPECT_EQ(TiloIoCheckOnline(&target, &online), 0);
  EXPECT_EQ(online, 1);
  EXPECT_EQ(TiloIoClose(connection), 0);
  EXPECT_EQ(sim->OpenConnections(), 0);
}

}  // namespace
