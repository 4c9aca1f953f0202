// The Linux backends where there is no system bus, bluetoothd, adapter or USB
// bus to talk to (this machine, CI): nothing listed, watchers that start, stop
// and find nothing, opens that fail.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "hal/bluez_map.h"
#include "hal/hal.h"
#include "hal/usb_map.h"

namespace tilo2::core::hal {
namespace {

const Selector kSelectors[] = {Selector::BluetoothSerialPort(), Selector::UsbPrinter(),
                               Selector::Usb(0x1D6B, 0x0002)};

TEST(LinuxBackend, EnumerationIsEmpty) {
  auto backend = LinuxBackend();
  for (const Selector& selector : kSelectors) {
    EXPECT_TRUE(backend->FindAll(selector, {kKeyBluetoothAddress}).empty());
  }
  EXPECT_FALSE(
      backend->CreateFromId(BluetoothServiceId("00:11:22:33:44:55", "00:1A:7D:DA:71:13"), {})
          .has_value());
  EXPECT_FALSE(
      backend->CreateFromId(UsbInstanceId(UsbVendorId(), 0x0202, "ABC123", "1-1"), {}).has_value());
}

TEST(LinuxBackend, WatchersStartFindNothingAndStop) {
  auto backend = LinuxBackend();
  std::atomic<int> events{0};
  for (const Selector& selector : kSelectors) {
    auto watcher = backend->CreateWatcher(selector);
    ASSERT_NE(watcher, nullptr);
    const WatcherToken added = watcher->OnAdded([&](const DeviceRecord&) { ++events; });
    const WatcherToken updated = watcher->OnUpdated([&](const DeviceRecord&) { ++events; });
    EXPECT_NE(added, updated);
    watcher->Start();
    watcher->Start();  // twice does nothing
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    watcher->Stop();
    watcher->Remove(added);
    watcher->Remove(updated);
  }
  EXPECT_EQ(events.load(), 0);
}

TEST(LinuxBackend, OpensFailWithAccessDenied) {
  auto backend = LinuxBackend();
  EXPECT_EQ(backend->UsbOpen(UsbInstanceId(UsbVendorId(), 0x0202, "ABC123", "1-1")), nullptr);
  EXPECT_EQ(backend->UsbOpen("not an id"), nullptr);
  EXPECT_FALSE(
      backend->GetRfcommService(BluetoothServiceId("00:11:22:33:44:55", "00:1A:7D:DA:71:13"))
          .has_value());
  const RfcommService service{"x", "00:1A:7D:DA:71:13", 1};
  try {
    backend->ConnectRfcomm(service, kProtectionBluetoothEncryptionAllowNullAuthentication);
    FAIL() << "connected without an adapter";
  } catch (const Error& e) {
    EXPECT_EQ(e.hresult(), kHrAccessDenied);
  }
}

}  // namespace
}  // namespace tilo2::core::hal
