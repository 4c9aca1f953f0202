// The Bluetooth and USB finders, the finder bridge and discovery through the
// connection interface, on the simulated backend.

#include "io/device_finder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "device_test_support.h"
#include "io/connection_interface.h"
#include "io/finder_bridge.h"
#include "io_test_support.h"

using namespace device_test;

namespace {

using Kind = hal::Selector::Kind;

int32_t hresultOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const hal::Error& error) {
    return error.hresult();
  }
  return 0;
}

hal::DeviceRecord usbRecord(const std::string& id, const std::string& name) {
  return {id, {{hal::kKeyDeviceInstanceId, id}, {hal::kKeyItemNameDisplay, name}}};
}

std::vector<std::string> names(const DevInfoList& list) {
  std::vector<std::string> out;
  for (const auto& entry : list) out.push_back(entry->name);
  return out;
}

class Finders : public SimTest {
 protected:
  void TearDown() override {
    EXPECT_TRUE(waitFor([] { return TiloIoBtAddressLookupsRunning() == 0; }));
    TiloIoBtStopFinder();
    TiloIoUsbStopFinder();
    SimTest::TearDown();
  }
  // Waits until the Bluetooth finder has listed n devices.
  static bool waitListed(OrvikDeviceFinder& finder, size_t n) {
    return waitFor([&] { return finder.GetDeviceList(0).size() >= n; }) &&
           waitFor([] { return TiloIoBtAddressLookupsRunning() == 0; });
  }
};

TEST_F(Finders, NameFilterUnderListFilters) {
  auto finder = std::make_shared<OrvikUsbFinder>();
  finder->Start("");
  const std::string name127 = "RP-S" + std::string(123, 'x');
  const std::vector<std::string> all = {"RP-S100",     "A RP-S",       "rp-s1", "NQ31",
                                        "NQ31x",       "My RP-X",      "",      name127,
                                        name127 + "y", "IF-C \xC3\xA9"};
  for (size_t i = 0; i < all.size(); ++i) {
    sim->InjectAdded(Kind::kUsbDevice, usbRecord("USB\\ID" + std::to_string(i), all[i]));
  }
  EXPECT_EQ(names(finder->GetDeviceList(1)),
            (std::vector<std::string>{"RP-S100", "NQ31", "My RP-X", name127, "IF-C \xC3\xA9"}));
  EXPECT_EQ(names(finder->GetDeviceList(-2)).size(), 5u);
  EXPECT_EQ(names(finder->GetDeviceList(0)), all);
  for (const auto& copy : finder->GetDeviceList(0)) {
    EXPECT_EQ(copy->flags, 0);
    EXPECT_EQ(copy->connectionType, TILOIO_TYPE_USB);
  }
  finder->Stop();
}

TEST_F(Finders, OneEntryPerExactAddress) {
  auto finder = std::make_shared<OrvikUsbFinder>();
  finder->Start("");
  sim->InjectAdded(Kind::kUsbDevice, usbRecord("USB\\VID_1&PID_0202\\A1", "first"));
  sim->InjectUpdated(Kind::kUsbDevice, usbRecord("USB\\VID_1&PID_0202\\A1", "second"));
  sim->InjectAdded(Kind::kUsbDevice, usbRecord("USB\\VID_1&PID_0202\\a1", "lower"));
  // Without a name nothing is added, even with an instance id.
  sim->InjectAdded(Kind::kUsbDevice, {"x", {{hal::kKeyDeviceInstanceId, "USB\\X"}}});
  const DevInfoList list = finder->GetDeviceList(0);
  EXPECT_EQ(names(list), (std::vector<std::string>{"first", "lower"}));
  // A copy is the caller's: the list does not change under it.
  sim->InjectAdded(Kind::kUsbDevice, usbRecord("USB\\B", "later"));
  EXPECT_EQ(list.size(), 2u);
  EXPECT_EQ(finder->GetDeviceList(0).size(), 3u);
  finder->Stop();
}

TEST_F(Finders, MisuseIsRefusedWithItsLine) {
  io_test::LogCapture log;
  auto usb = std::make_shared<OrvikUsbFinder>();
  EXPECT_EQ(hresultOf([&] { usb->GetDeviceList(0); }), hal::kHrIllegalMethodCall);
  EXPECT_EQ(hresultOf([&] { usb->Stop(); }), hal::kHrIllegalMethodCall);
  EXPECT_EQ(hresultOf([&] { usb->Start("x"); }), hal::kHrInvalidArg);
  usb->Start("");
  EXPECT_EQ(hresultOf([&] { usb->Start(""); }), hal::kHrIllegalMethodCall);
  usb->Stop();
  EXPECT_EQ(hresultOf([&] { usb->GetDeviceList(0); }), hal::kHrIllegalMethodCall);
  sim->SetNoWatcher(Kind::kUsbDevice, true);
  EXPECT_EQ(hresultOf([&] { usb->Start(""); }), hal::kHrIllegalMethodCall);

  auto bt = std::make_shared<OrvikBluetoothFinder>();
  EXPECT_EQ(hresultOf([&] { bt->Stop(); }), hal::kHrIllegalMethodCall);
  EXPECT_EQ(hresultOf([&] { bt->Start("x"); }), hal::kHrInvalidArg);
  bt->Start("");
  EXPECT_EQ(hresultOf([&] { bt->Start(""); }), hal::kHrIllegalMethodCall);
  bt->Stop();
  sim->SetNoWatcher(Kind::kBluetoothSerialPort, true);
  EXPECT_EQ(hresultOf([&] { bt->Start(""); }), hal::kHrIllegalMethodCall);

  const struct {
    const char* text;
    size_t count;
  } lines[] = {{"OrvikDeviceFinder(39)", 2},    {"OrvikUsbFinder(36)", 1},
               {"OrvikUsbFinder(59)", 1},       {"OrvikUsbFinder(116)", 1},
               {"OrvikBluetoothFinder(56)", 1}, {"OrvikBluetoothFinder(75)", 1},
               {"OrvikBluetoothFinder(140)", 1}};
  for (const auto& line : lines) EXPECT_EQ(log.lines({line.text}).size(), line.count) << line.text;
}

TEST_F(Finders, BluetoothAddressesAreListedInPairs) {
  auto finder = std::make_shared<OrvikBluetoothFinder>();
  finder->Start("");
  const struct {
    const char* property;
    const char* id;
  } devices[] = {{"001a7dda7113", "Bluetooth#Bluetooth00:11-a#RFCOMM:1"},
                 {"001A7DDA711", "Bluetooth#Bluetooth00:11-b#RFCOMM:1"},
                 {"001A7DDA71134", "Bluetooth#Bluetooth00:11-c#RFCOMM:1"}};
  for (const auto& d : devices) {
    const hal::DeviceRecord record{
        d.id, {{hal::kKeyItemNameDisplay, "RP-S"}, {hal::kKeyBluetoothAddress, d.property}}};
    sim->SetRecord(record);
    sim->InjectAdded(Kind::kBluetoothSerialPort, record);
  }
  ASSERT_TRUE(waitFor([] { return TiloIoBtAddressLookupsRunning() == 0; }));
  const DevInfoList list = finder->GetDeviceList(0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->address, "00:1A:7D:DA:71:13");
  EXPECT_EQ(list[0]->connectionType, TILOIO_TYPE_BLUETOOTH);
  finder->Stop();
}

TEST_F(Finders, BluetoothNameComesFromTheParentFromTheVersionOn) {
  const struct {
    uint64_t version;
    bool parentFails;
    const char* name;
  } cases[] = {{0x000A000038390000ull, false, "RP-S Parent"},
               {0x000A00003838FFFFull, false, "Serial Port"},
               {0x000A000038390000ull, true, "Serial Port"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim = hal::SimBackend::Install();
    sim->SetOsVersion(c.version);
    hal::SimBluetoothDevice device;
    device.address = "00:1A:7D:DA:71:13";
    device.name = "RP-S Parent";
    if (c.parentFails)
      sim->FailCreateFromId("Bluetooth#Bluetooth00:11:22:33:44:55-00:1a:7d:da:71:13", hal::kHrFail);
    auto finder = std::make_shared<OrvikBluetoothFinder>();
    finder->Start("");
    sim->AddBluetoothDevice(device);
    ASSERT_TRUE(waitListed(*finder, 1));
    EXPECT_EQ(names(finder->GetDeviceList(0)), std::vector<std::string>{c.name});
    finder->Stop();
  }
}

TEST_F(Finders, ALookUpEndingAfterStopAndReleaseWritesNothing) {
  hal::SimBluetoothDevice device;
  device.address = "00:1A:7D:DA:71:13";
  const std::string serviceId = sim->AddBluetoothDevice(device);
  auto gate = sim->HoldCreateFromId(serviceId);
  ASSERT_EQ(TiloIoBtStartFinder(), 0);
  ASSERT_TRUE(gate->WaitArrived(kWait));
  EXPECT_EQ(TiloIoBtStopFinder(), 0);  // the finder is gone now
  gate->Open();
  EXPECT_TRUE(waitFor([] { return TiloIoBtAddressLookupsRunning() == 0; }));
}

TEST_F(Finders, AddedEventsFromManyThreadsWhilePollingAndStopping) {
  ASSERT_EQ(TiloIoUsbStartFinder(), 0);
  std::atomic<bool> go{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; go && i < 200; ++i) {
        sim->InjectAdded(
            Kind::kUsbDevice,
            usbRecord("USB\\" + std::to_string(t) + "-" + std::to_string(i % 50), "RP-S"));
      }
    });
  }
  for (int poll = 0; poll < 50; ++poll) {
    int count = -1, result = -1;
    TiloIoUsbGetFoundDevices(0, &count, &result);
    EXPECT_EQ(result, 0);
  }
  EXPECT_EQ(TiloIoUsbStopFinder(), 0);
  go = false;
  for (auto& t : threads) t.join();
}

TEST_F(Finders, BridgeAfterAFailedStart) {
  sim->SetNoWatcher(Kind::kUsbDevice, true);
  EXPECT_EQ(TiloIoUsbStartFinder(), 6);
  int count = 42, result = 0;
  EXPECT_EQ(TiloIoUsbGetFoundDevices(0, &count, &result), nullptr);
  EXPECT_EQ(result, 6);
  EXPECT_EQ(count, 42);
  EXPECT_EQ(TiloIoUsbStopFinder(), 6);
  sim->SetNoWatcher(Kind::kUsbDevice, false);
  EXPECT_EQ(TiloIoUsbStartFinder(), 0);  // a new start replaces the finder
}

TEST_F(Finders, BridgeWithNothingFoundGivesZeroRowsAndLeaksNothing) {
  ASSERT_EQ(TiloIoBtStartFinder(), 0);
  for (int i = 0; i < 100; ++i) {
    int count = -1, result = -1;
    EXPECT_NE(TiloIoBtGetFoundDevices(1, &count, &result), nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(result, 0);
  }
  EXPECT_EQ(TiloIoBtStopFinder(), 0);
}

TEST_F(Finders, BridgeRows) {
  hal::SimBluetoothDevice device;
  device.address = "00:1A:7D:DA:71:13";
  device.name = "";
  device.serviceName = "";
  sim->AddBluetoothDevice(device);
  hal::SimUsbDevice usb;
  usb.vendorId = hal::UsbVendorId();
  usb.serial = "S1";
  usb.name.clear();
  for (int i = 0; i < 150; ++i) usb.name += "\xC3\xA9";  // 300 bytes
  const std::string usbId = sim->PlugUsbDevice(usb);
  ASSERT_EQ(TiloIoBtStartFinder(), 0);
  ASSERT_EQ(TiloIoUsbStartFinder(), 0);
  int count = 0, result = -1;
  TiloIoDeviceArrays_t* rows = nullptr;
  ASSERT_TRUE(waitFor([&] {
    rows = TiloIoBtGetFoundDevices(0, &count, &result);
    return count == 1;
  }));
  EXPECT_EQ(rows->connectionType[0], TILOIO_TYPE_BLUETOOTH);
  EXPECT_EQ(rows->name[0], nullptr);
  EXPECT_STREQ(rows->target[0], "00:1A:7D:DA:71:13");
  EXPECT_EQ(rows->ip[0], nullptr);
  EXPECT_EQ(rows->mac[0], nullptr);
  ASSERT_TRUE(waitFor([&] {
    rows = TiloIoUsbGetFoundDevices(0, &count, &result);
    return count == 1;
  }));
  EXPECT_EQ(rows->connectionType[0], TILOIO_TYPE_USB);
  EXPECT_EQ(std::strlen(rows->name[0]), 254u);  // 127 whole characters
  EXPECT_EQ(std::string(rows->name[0]), usb.name.substr(0, 254));
  EXPECT_EQ(rows->target[0], usbId);
}

std::vector<std::pair<int, std::string>> g_found;

TEST_F(Finders, DiscoveryPollsUdpThenBluetoothThenUsb) {
  hal::SimBluetoothDevice device;
  device.address = "00:1A:7D:DA:71:13";
  device.name = "RP-S BT";
  sim->AddBluetoothDevice(device);
  hal::SimUsbDevice usb;
  usb.vendorId = hal::UsbVendorId();
  usb.serial = "S1";
  usb.name = "RP-S USB";
  sim->PlugUsbDevice(usb);
  TiloIoClearActiveFinders();
  TiloIoDiscoveryRequest_t request{0xFFFF, nullptr, 0};
  // No broadcast address: the UDP finder refuses to start (and sends nothing),
  // and Bluetooth and USB still start.
  ASSERT_EQ(TiloIoStartDiscovery(nullptr, &request), 0);
  EXPECT_EQ(TiloIoGetActiveFinders(), TILOIO_FINDER_BLUETOOTH | TILOIO_FINDER_USB);
  TiloIoSetFoundDeviceCallback([](int type, const char* name, const char*, const char*,
                                  const char*) { g_found.emplace_back(type, name ? name : ""); });
  ASSERT_TRUE(waitFor([] {
    g_found.clear();
    TiloIoPollDiscovery();
    return g_found.size() == 2;
  }));
  EXPECT_EQ(g_found,
            (std::vector<std::pair<int, std::string>>{{258, "RP-S BT"}, {259, "RP-S USB"}}));
  TiloIoSetFoundDeviceCallback(nullptr);
  EXPECT_EQ(TiloIoBtStopFinder(), 0);
  EXPECT_EQ(TiloIoUsbStopFinder(), 0);
  TiloIoClearActiveFinders();
}

}  // namespace
