#include "component/bluetooth_pairing.h"

#include <gtest/gtest.h>

#include "orvik/tilo2/exceptions.h"

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

class FakePairing : public IBluetoothPairing {
 public:
  IAsyncOperation<std::vector<PairedSerialPortDevice>> FindPairedSerialPortDevices() override {
    return {};
  }
  IAsyncAction OpenSerialService(const String&) override { return {}; }
};

// Without a Bluetooth backend no list can arrive: the query fails, so the
// pairing check can never mistake "unknown" for "not paired".
TEST(BluetoothPairingTest, DefaultServiceFailsWithNotImplemented) {
  auto service = BluetoothPairing();
  ASSERT_NE(service, nullptr);
  auto devices = service->FindPairedSerialPortDevices();
  devices.wait();
  EXPECT_EQ(devices.Status(), AsyncStatus::Error);
  EXPECT_EQ(devices.ErrorCode(), kENotImpl);
  auto open = service->OpenSerialService(String("id"));
  open.wait();
  EXPECT_EQ(open.ErrorCode(), kENotImpl);
}

TEST(BluetoothPairingTest, InstalledServiceReplacesTheDefaultUntilReset) {
  auto fake = std::make_shared<FakePairing>();
  SetBluetoothPairing(fake);
  EXPECT_EQ(BluetoothPairing(), fake);
  SetBluetoothPairing(nullptr);
  EXPECT_NE(BluetoothPairing(), fake);
  EXPECT_NE(BluetoothPairing(), nullptr);
}

}  // namespace
