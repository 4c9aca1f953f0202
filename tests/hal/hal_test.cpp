// The layer's entry points: errors, backend selection, the OS version.

#include "hal/hal.h"

#include <gtest/gtest.h>

#include <thread>

#include "hal_sim.h"

namespace tilo2::core::hal {
namespace {

TEST(HalError, CarriesItsHresultAndIsNotACancellation) {
  try {
    throw Error(kHrAccessDenied);
  } catch (const Cancelled&) {
    FAIL() << "an error is no cancellation";
  } catch (const Error& e) {
    EXPECT_EQ(e.hresult(), static_cast<Hresult>(0x80070005u));
    EXPECT_STREQ(e.what(), "hal: HRESULT 0x80070005");
  }
  try {
    throw Cancelled();
  } catch (const Error&) {
    FAIL() << "a cancellation is no error";
  } catch (const Cancelled&) {
  }
}

TEST(HalBackend, InstalledBackendServesEveryCallUntilUninstalled) {
  EXPECT_EQ(GetBackend(), LinuxBackend());
  auto sim = SimBackend::Install();
  EXPECT_EQ(GetBackend(), sim);
  sim->AddBluetoothDevice({.address = "00:1a:7d:da:71:13", .name = "RP-S1"});
  EXPECT_EQ(FindAll(Selector::BluetoothSerialPort(), {}).size(), 1u);
  SimBackend::Uninstall();
  EXPECT_EQ(GetBackend(), LinuxBackend());
}

TEST(HalBackend, CallsKeepTheBackendTheyStartedOnWhileAnotherIsInstalled) {
  auto sim = SimBackend::Install();
  sim->AddBluetoothDevice({.address = "00:1A:7D:DA:71:13", .name = "RP-S1"});
  auto gate = sim->HoldCreateFromId("");
  std::optional<DeviceRecord> found;
  std::thread caller(
      [&] { found = CreateFromId("Bluetooth#Bluetooth00:11:22:33:44:55-00:1a:7d:da:71:13", {}); });
  ASSERT_TRUE(gate->WaitArrived(std::chrono::seconds(10)));
  SimBackend::Uninstall();
  sim.reset();  // the running call still holds it
  gate->Open();
  caller.join();
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->properties.at(kKeyItemNameDisplay), "RP-S1");
}

TEST(HalOsVersion, AnswersTheLayersVersionTheBackendsOrZeroOnFailure) {
  EXPECT_EQ(TiloIoGetOsVersion(), 0x000A000038390000ull);  // the Linux backend
  auto sim = SimBackend::Install();
  EXPECT_EQ(TiloIoGetOsVersion(), 0x000A000038390000ull);
  sim->SetOsVersion(0x000A000038380000ull);
  EXPECT_EQ(TiloIoGetOsVersion(), 0x000A000038380000ull);
  sim->SetOsVersionFails(true);
  EXPECT_EQ(TiloIoGetOsVersion(), 0u);
  SimBackend::Uninstall();
}

TEST(HalSelector, UsbPrinterUsesTheConfiguredVendorIdAndProductId0202) {
  const Selector selector = Selector::UsbPrinter();
  EXPECT_EQ(selector.kind, Selector::Kind::kUsbDevice);
  EXPECT_EQ(selector.vendorId, UsbVendorId());
  EXPECT_EQ(selector.productId, 0x0202);
}

}  // namespace
}  // namespace tilo2::core::hal
