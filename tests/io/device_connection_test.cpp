// Bluetooth and USB connections through the connection interface.

#include <gtest/gtest.h>

#include <string>

#include "device_test_support.h"
#include "io/connection_interface.h"
#include "io/connection_table.h"
#include "io_test_support.h"

using namespace device_test;

namespace {

// Takes every free row of the connection table by hand, so an open running
// meanwhile finds no row to register in; the rows go again at the end.
class RowFiller {
 public:
  ~RowFiller() {
    for (auto& record : records_) delHandleInList(record.get());
  }
  void fill() {
    while (countHandleList() >= 0) {
      records_.push_back(std::make_unique<TiloIoConnection_t>());
      records_.back()->type = TILOIO_TYPE_TCP;
      records_.back()->socket = -1;
      const std::string address = "filler-" + std::to_string(records_.size());
      if (setHandleToList(records_.back().get(), address.c_str()) != 0) return;
    }
  }

 private:
  std::vector<std::unique_ptr<TiloIoConnection_t>> records_;
};

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

// The table fills up while the transport opens (from inside the simulated
// device's accept): the registration fails after the link is up, and the open
// link must be closed again, not left holding the printer.
TEST_F(DeviceConnections, AFailedRegistrationClosesTheOpenedTransport) {
  struct Case {
    int type;
    std::string address;
    std::string device;  // the simulated device's address or instance id
  };
  const Case cases[] = {
      {TILOIO_TYPE_BLUETOOTH, "00:1a:7d:da:71:13", "00:1A:7D:DA:71:13"},
      {TILOIO_TYPE_USB, "abc123", usbId},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    RowFiller rows;
    std::mutex mutex;
    std::unique_ptr<Peer> peer;
    sim->SetAcceptor(c.device, [&](OwnedFd fd) {
      rows.fill();
      std::lock_guard lock(mutex);
      peer = std::make_unique<Peer>(std::move(fd));
    });
    TiloIoConnection_t* connection = reinterpret_cast<TiloIoConnection_t*>(1);
    EXPECT_EQ(TiloIoOpen(nullptr, &connection, c.type, c.address.c_str(), 15000), 6);
    EXPECT_EQ(connection, nullptr);
    sim->SetAcceptor(c.device, nullptr);
    std::unique_lock lock(mutex);
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(peer->WaitEnd());  // the device saw its link closed
    EXPECT_EQ(sim->OpenConnections(), 0);
  }
  EXPECT_EQ(countHandleList(), 0);
}

}  // namespace
