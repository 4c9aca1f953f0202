// Whole discoveries through the public classes: emulated network printers on
// loopback, Bluetooth devices on the simulated backend, the start and stop
// sequences and what the app's handlers see.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/discovery_engine.h"
#include "discovery_test_support.h"
#include "io/device_finder.h"

namespace discovery_test {
namespace {

using namespace std::string_literals;

constexpr char kOnDiscovery[] = "Orvik::Tilo::Tilo2::Discovery::Discovery::OnDiscovery";
constexpr char kStartBody[] = "Orvik::Tilo::Tilo2::Discovery::Discovery::StartAsync::Body";
constexpr char kStopBody[] = "Orvik::Tilo::Tilo2::Discovery::Discovery::StopAsync::Body";

// Three printers: one by IP, one whose DHCP flag makes its MAC the target,
// and a hybrid model, which comes as a printer and as a hybrid printer.
TEST_F(DiscoveryRun, EmulatedPrintersArriveAsDeviceInfos) {
  use_file();
  AddPrinter(801, "RP-S100", {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13});
  AddPrinter(802, "RP-S200", {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x14}, true);
  AddPrinter(803, "RP-X5 abc", {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x15});
  Recorder recorder;
  ASSERT_EQ(Outcome(disc::Discovery::StartAsync(nullptr)), 0);

  struct Expected {
    disc::DeviceType type;
    std::string target, name, ip, mac;
  };
  const Expected expected[] = {
      {disc::DeviceType::Printer, "TCP:127.0.3.33", "RP-S100", "127.0.3.33", "00:1A:7D:DA:71:13"},
      {disc::DeviceType::Printer, "TCP:00:1A:7D:DA:71:14", "RP-S200", "127.0.3.34",
       "00:1A:7D:DA:71:14"},
      {disc::DeviceType::Printer, "TCP:127.0.3.35", "RP-X5 abc", "127.0.3.35", "00:1A:7D:DA:71:15"},
      {disc::DeviceType::HybridPrinter, "TCP:127.0.3.35", "RP-X5 abc", "127.0.3.35",
       "00:1A:7D:DA:71:15"},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.target);
    ASSERT_TRUE(recorder.WaitForDevice(e.target, e.type));
    for (const Seen& s : recorder.All()) {
      if (s.target() != e.target || s.info->DeviceType() != e.type) continue;
      EXPECT_EQ(s.name(), e.name);
      EXPECT_EQ(s.info->IpAddress().utf8(), e.ip);
      EXPECT_EQ(s.info->MacAddress().utf8(), e.mac);
      EXPECT_TRUE(s.info->BdAddress().empty());
      EXPECT_NE(s.thread, std::this_thread::get_id());
    }
  }
  ASSERT_EQ(Outcome(disc::Discovery::StopAsync()), 0);
  // Each device once, however many polls listed it.
  EXPECT_EQ(recorder.All().size(), 4u);

  // A null filter is the default one; the event line names all six values.
  const auto starts = LinesOf(kStartBody);
  ASSERT_EQ(starts.size(), 2u);
  const std::string args = "(All, 255.255.255.255, All, Name, All)";
  EXPECT_EQ(starts[0], "APIIO,->,0000000000000000,,,"s + kStartBody + "," + args);
  EXPECT_EQ(starts[1], "APIIO,<-,0000000000000000,,0,"s + kStartBody + "," + args);
  EXPECT_EQ(LinesOf(kStopBody),
            (std::vector<std::string>{"APIIO,->,0000000000000000,,,"s + kStopBody + ",()",
                                      "APIIO,<-,0000000000000000,,0,"s + kStopBody + ",()"}));
  size_t eventLines = 0;
  for (const std::string& line : LinesOf(kOnDiscovery)) {
    if (line.rfind("APIIO,<<,", 0) != 0) continue;
    ++eventLines;
    if (line.find("RP-S200") == std::string::npos) continue;
    EXPECT_EQ(line, "APIIO,<<,0000000000000000,,,"s + kOnDiscovery +
                        ",(DeviceType->, Printer, Target->, TCP:00:1A:7D:DA:71:14, DeviceName->, "
                        "RP-S200, IpAddress->, 127.0.3.34, MacAddress->, 00:1A:7D:DA:71:14, "
                        "BdAddress->, null)");
  }
  EXPECT_EQ(eventLines, 4u);
}

// The emulator's hybrid profile tells a discovery a hybrid model's name of
// itself, so it is found as a printer and as a hybrid printer.
TEST_F(DiscoveryRun, EmulatorHybridProfileIsFoundAsAHybridPrinter) {
  const int n = 2340;  // 127.0.9.36
  auto emulator = io_test::startEmulator(n);
  ASSERT_TRUE(emulator);
  emulator->state().setProfile(printer_emulator::Profile::Hybrid);
  const std::string ip = io_test::address(n);
  const char* list[] = {ip.c_str()};
  ASSERT_EQ(tilo2::core::TiloIoUdpSetDiscoveryDestinations(list, 1), 0);
  emulators.push_back(std::move(emulator));
  Recorder recorder;
  ASSERT_EQ(Outcome(disc::Discovery::StartAsync(nullptr)), 0);
  for (const auto type : {disc::DeviceType::Printer, disc::DeviceType::HybridPrinter}) {
    EXPECT_TRUE(recorder.WaitForDevice("TCP:" + ip, type));
  }
  ASSERT_EQ(Outcome(disc::Discovery::StopAsync()), 0);
  ASSERT_EQ(recorder.All().size(), 2u);
  for (const Seen& s : recorder.All()) EXPECT_EQ(s.name(), "RP-X5E");
}

// A refused start and a refused stop leave the state as it was: the state
// stays stopped after a bad filter, and a running discovery goes on (its
// printer's hosted device, held back until after the refusals, still comes).
TEST_F(DiscoveryRun, RefusedStartsLeaveTheStateAlone) {
  AddPrinter(804, "RP-S100", {0x00, 0x1A, 0x7D, 0x00, 0x00, 0x04});
  FakeDeviceService service;
  service.SetEntries({{3, "kbd1", "KB-1"}});
  service.Hold();
  Recorder recorder;
  auto bad = std::make_shared<disc::FilterOption>();
  bad->PortType(static_cast<disc::PortType>(3));
  EXPECT_EQ(Outcome(disc::Discovery::StartAsync(bad)), api::ErrorStatus::ErrParameter);
  EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), api::ErrorStatus::ErrIllegalState);

  auto tcp = std::make_shared<disc::FilterOption>();
  tcp->PortType(disc::PortType::Tcp);
  ASSERT_EQ(Outcome(disc::Discovery::StartAsync(tcp)), 0);
  ASSERT_TRUE(service.WaitAsked(1));
  EXPECT_EQ(Outcome(disc::Discovery::StartAsync(tcp)), api::ErrorStatus::ErrIllegalState);
  EXPECT_EQ(Outcome(disc::Discovery::StartAsync(nullptr)), api::ErrorStatus::ErrIllegalState);
  service.Release();
  EXPECT_TRUE(recorder.WaitForDevice("TCP:127.0.3.36[kbd1]", disc::DeviceType::Keyboard));
  EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), 0);
  EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), api::ErrorStatus::ErrIllegalState);

  // A broadcast text the network search refuses fails a network-only start,
  // which undoes itself. (Searching every transport, the other finders would
  // still start, and so would the discovery.)
  auto longText = std::make_shared<disc::FilterOption>();
  longText->PortType(disc::PortType::Tcp);
  longText->Broadcast(std::string(32, '1'));
  EXPECT_EQ(Outcome(disc::Discovery::StartAsync(longText)), api::ErrorStatus::ErrParameter);
  EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), api::ErrorStatus::ErrIllegalState);

  // Every start reports every device again.
  const size_t before =
      Recorder::Count(recorder.All(), "TCP:127.0.3.36", disc::DeviceType::Printer);
  EXPECT_EQ(before, 1u);
  ASSERT_EQ(Outcome(disc::Discovery::StartAsync(tcp)), 0);
  EXPECT_TRUE(recorder.WaitFor([&](const auto& all) {
    return Recorder::Count(all, "TCP:127.0.3.36", disc::DeviceType::Printer) == before + 1;
  }));
  EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), 0);
}

// The devices a printer's device service hosts arrive with the device id in
// the target and the type of their kind; a kind nobody knows comes as -1 and
// only when every type is wanted. The printer's record comes first and the
// entries in list order, so whatever the type filter holds back would have
// come before the keyboard.
TEST_F(DiscoveryRun, HostedDevicesFromTheDeviceService) {
  use_file();
  AddPrinter(809, "RP-S100", {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13});
  FakeDeviceService service;
  service.SetEntries({{7, "x1", "Other"}, {3, "kbd1", "KB-1"}});
  struct Case {
    disc::DeviceType filter;
    std::vector<std::pair<std::string, int32_t>> seen;  // target, type
  };
  const Case cases[] = {
      {disc::DeviceType::All,
       {{"TCP:127.0.3.41", 1}, {"TCP:127.0.3.41[x1]", -1}, {"TCP:127.0.3.41[kbd1]", 4}}},
      {disc::DeviceType::Keyboard, {{"TCP:127.0.3.41[kbd1]", 4}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.filter));
    Recorder recorder;
    auto filter = std::make_shared<disc::FilterOption>();
    filter->DeviceType(c.filter);
    ASSERT_EQ(Outcome(disc::Discovery::StartAsync(filter)), 0);
    ASSERT_TRUE(recorder.WaitForDevice("TCP:127.0.3.41[kbd1]", disc::DeviceType::Keyboard));
    ASSERT_EQ(Outcome(disc::Discovery::StopAsync()), 0);
    std::vector<std::pair<std::string, int32_t>> seen;
    for (const Seen& s : recorder.All()) {
      seen.emplace_back(s.target(), static_cast<int32_t>(s.info->DeviceType()));
      if (s.info->DeviceType() == disc::DeviceType::Keyboard) {
        EXPECT_EQ(s.name(), "KB-1");
        EXPECT_EQ(s.info->IpAddress().utf8(), "127.0.3.41");
        EXPECT_EQ(s.info->MacAddress().utf8(), "00:1A:7D:DA:71:13");
        EXPECT_TRUE(s.info->BdAddress().empty());
      }
    }
    EXPECT_EQ(seen, c.seen);
  }
  // The device list is asked once per start, with the printer's address.
  EXPECT_EQ(service.AskedHosts(), (std::vector<std::string>{"127.0.3.41", "127.0.3.41"}));
  bool keyboardLine = false;
  for (const std::string& line : LinesOf(kOnDiscovery)) {
    keyboardLine =
        keyboardLine || line == "APIIO,<<,0000000000000000,,,"s + kOnDiscovery +
                                    ",(DeviceType->, Keyboard, Target->, TCP:127.0.3.41[kbd1], "
                                    "DeviceName->, KB-1, IpAddress->, 127.0.3.41, MacAddress->, "
                                    "00:1A:7D:DA:71:13, BdAddress->, null)";
  }
  EXPECT_TRUE(keyboardLine);
}

// A start whose later step fails undoes the earlier ones and ends stopped:
// here another user of the engine holds one of its parts, so that step
// answers "already running". Once that user lets go, a start succeeds, which
// it would not if a part of the failed start had been left running.
TEST_F(DiscoveryRun, StartUndoesItsStepsWhenALaterOneFails) {
  static tilo2::core::DiscoveryFilter_t bluetooth{};
  bluetooth.portType = 3;
  bluetooth.broadcast = const_cast<char*>("255.255.255.255");
  struct Case {
    const char* what;
    std::function<int()> take;
    std::function<int()> release;
  };
  const Case cases[] = {
      {"finders", [] { return tilo2::core::TdcStartDiscovery(nullptr, &bluetooth); },
       [] { return tilo2::core::TdcStopDiscovery(); }},
      {"notify side",
       [] {
         return tilo2::core::TdcStartDiscoveryNotify([](int32_t, tilo2::core::FoundDevice_t*) {},
                                                     &bluetooth);
       },
       [] { return tilo2::core::TdcStopDiscoveryNotify(); }},
      {"polling", [] { return tilo2::core::TdcStartDiscoveryPolling(); },
       [] { return tilo2::core::TdcStopDiscoveryPolling(); }},
  };
  auto filter = std::make_shared<disc::FilterOption>();
  filter->PortType(disc::PortType::Bluetooth);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(c.take(), 0);
    EXPECT_EQ(Outcome(disc::Discovery::StartAsync(filter)), api::ErrorStatus::ErrIllegalState);
    EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), api::ErrorStatus::ErrIllegalState);
    EXPECT_EQ(c.release(), 0);
    EXPECT_EQ(Outcome(disc::Discovery::StartAsync(filter)), 0);
    EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), 0);
  }
}

// StopAsync waits for a handler that is still running, and once it has
// completed no handler is called any more.
TEST_F(DiscoveryRun, StopWaitsForTheRunningHandlerAndNothingComesAfter) {
  for (int n = 805; n <= 808; ++n) {
    AddPrinter(n, "RP-S" + std::to_string(n),
               {0x00, 0x1A, 0x7D, 0x00, 0x00, static_cast<uint8_t>(n)});
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool inHandler = false, release = false, handlerDone = false;
  std::atomic<bool> stopped{false};
  std::atomic<int> afterStop{0};
  Recorder recorder([&](const Seen&) {
    if (stopped) ++afterStop;
    std::unique_lock lock(mutex);
    if (inHandler) return;  // only the first event is held
    inHandler = true;
    changed.notify_all();
    changed.wait_for(lock, kWait, [&] { return release; });
    handlerDone = true;
  });
  ASSERT_EQ(Outcome(disc::Discovery::StartAsync(nullptr)), 0);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kWait, [&] { return inHandler; }));
  }
  const api::IAsyncAction stop = disc::Discovery::StopAsync();
  // The stop cannot end while the handler holds the notify thread.
  EXPECT_EQ(stop.Status(), api::AsyncStatus::Started);
  {
    std::lock_guard lock(mutex);
    release = true;
    changed.notify_all();
  }
  EXPECT_EQ(Outcome(stop), 0);
  stopped = true;
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(handlerDone);
  }
  const size_t delivered = recorder.All().size();
  EXPECT_GE(delivered, 1u);
  EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), api::ErrorStatus::ErrIllegalState);
  EXPECT_EQ(afterStop.load(), 0);
  EXPECT_EQ(recorder.All().size(), delivered);
}

// A printer's name reaches the app as valid text whatever bytes it sent: the
// network search keeps at most 127 bytes, which may cut a character, and
// ill-formed bytes become U+FFFD. An empty name is reported as "RP Printer".
TEST_F(DiscoveryRun, PrinterNamesBecomeValidText) {
  struct Case {
    int address;
    std::string sent;
    std::u16string reported;
  };
  const Case cases[] = {
      {812, "", u"RP Printer"},
      {813, std::string(126, 'A') + "\xC3\xA9xyz", std::u16string(126, u'A') + u"\uFFFD"},
      {814, "Caf\xC3\xA9 \xE2\x82\xAC", u"Caf\u00E9 \u20AC"},
      {815, "RP\xFF\xFE-S", u"RP\uFFFD\uFFFD-S"},
  };
  for (const Case& c : cases) {
    AddPrinter(c.address, c.sent, {0x00, 0x1A, 0x7D, 0x00, 0x01, static_cast<uint8_t>(c.address)});
  }
  Recorder recorder;
  ASSERT_EQ(Outcome(disc::Discovery::StartAsync(nullptr)), 0);
  for (const Case& c : cases) {
    const std::string target = "TCP:" + io_test::address(c.address);
    SCOPED_TRACE(target);
    ASSERT_TRUE(recorder.WaitForDevice(target, disc::DeviceType::Printer));
    for (const Seen& s : recorder.All()) {
      if (s.target() == target) {
        EXPECT_EQ(s.info->DeviceName(), api::String(c.reported));
      }
    }
  }
  EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), 0);
}

// What a handler does stays with that handler and that device: one that
// always throws keeps the later handlers from every device, but the discovery
// goes on delivering to the earlier ones; and a handler may stop the
// discovery as long as it does not wait for the stop.
TEST_F(DiscoveryRun, HandlersThatThrowOrStop) {
  AddPrinter(816, "RP-S100", {0x00, 0x1A, 0x7D, 0x00, 0x02, 0x01});
  AddPrinter(817, "RP-S200", {0x00, 0x1A, 0x7D, 0x00, 0x02, 0x02});
  {
    Recorder first;
    HandlerScope thrower([](const auto&) { throw std::runtime_error("handler"); });
    Recorder never;
    ASSERT_EQ(Outcome(disc::Discovery::StartAsync(nullptr)), 0);
    EXPECT_TRUE(first.WaitForDevice("TCP:127.0.3.48", disc::DeviceType::Printer));
    EXPECT_TRUE(first.WaitForDevice("TCP:127.0.3.49", disc::DeviceType::Printer));
    ASSERT_EQ(Outcome(disc::Discovery::StopAsync()), 0);
    EXPECT_TRUE(never.All().empty());
  }

  // The next start's first event stops it from inside the handler.
  std::mutex mutex;
  api::IAsyncAction stop;
  Recorder stopper([&](const Seen&) {
    std::lock_guard lock(mutex);
    if (!stop) stop = disc::Discovery::StopAsync();
  });
  ASSERT_EQ(Outcome(disc::Discovery::StartAsync(nullptr)), 0);
  api::IAsyncAction stopping;
  ASSERT_TRUE(io_test::Eventually([&] {
    std::lock_guard lock(mutex);
    stopping = stop;
    return static_cast<bool>(stopping);
  }));
  EXPECT_EQ(Outcome(stopping), 0);
  EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), api::ErrorStatus::ErrIllegalState);
}

// The name filter reaches the Bluetooth finder: with Name a device whose name
// is not a printer model's stays unreported, with None it comes too. A
// Bluetooth find carries its address as target and as BdAddress.
TEST_F(DiscoveryRun, BluetoothFindsUnderTheNameFilter) {
  struct Case {
    disc::OrvikFilter filter;
    bool phoneReported;
  };
  const Case cases[] = {{disc::OrvikFilter::Name, false}, {disc::OrvikFilter::None, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.filter));
    sim = hal::SimBackend::Install();
    hal::SimBluetoothDevice phone;
    phone.address = "00:1A:7D:00:00:01";
    phone.name = "Phone";
    phone.serviceName = "Phone";
    sim->AddBluetoothDevice(phone);
    Recorder recorder;
    auto filter = std::make_shared<disc::FilterOption>();
    filter->PortType(disc::PortType::Bluetooth);
    filter->OrvikFilter(c.filter);
    ASSERT_EQ(Outcome(disc::Discovery::StartAsync(filter)), 0);
    // The phone is known in full before the printer appears, so a poll that
    // lists the printer would list the phone ahead of it.
    ASSERT_TRUE(sim->WaitDeliveriesIdle(kWait));
    ASSERT_TRUE(
        io_test::Eventually([] { return tilo2::core::TiloIoBtAddressLookupsRunning() == 0; }));
    if (c.phoneReported) {
      ASSERT_TRUE(recorder.WaitForDevice("BT:00:1A:7D:00:00:01", disc::DeviceType::Printer));
    }
    hal::SimBluetoothDevice printer;
    printer.address = "00:1A:7D:DA:71:13";
    printer.name = "RP-S100";
    printer.serviceName = "RP-S100";
    sim->AddBluetoothDevice(printer);
    ASSERT_TRUE(recorder.WaitForDevice("BT:00:1A:7D:DA:71:13", disc::DeviceType::Printer));
    ASSERT_EQ(Outcome(disc::Discovery::StopAsync()), 0);

    const auto all = recorder.All();
    EXPECT_EQ(Recorder::Count(all, "BT:00:1A:7D:00:00:01", disc::DeviceType::Printer),
              c.phoneReported ? 1u : 0u);
    for (const Seen& s : all) {
      if (s.target() != "BT:00:1A:7D:DA:71:13") continue;
      EXPECT_EQ(s.name(), "RP-S100");
      EXPECT_EQ(s.info->BdAddress().utf8(), "00:1A:7D:DA:71:13");
      EXPECT_TRUE(s.info->IpAddress().empty());
      EXPECT_TRUE(s.info->MacAddress().empty());
    }
  }
}

// Searching every transport takes in USB printers too: the target is "USB:"
// and the device's instance id, and a USB device has no addresses.
TEST_F(DiscoveryRun, UsbFindUnderEveryTransport) {
  hal::SimUsbDevice usb;
  usb.vendorId = hal::UsbVendorId();
  usb.serial = "S100";
  usb.name = "RP-S100";
  const std::string id = sim->PlugUsbDevice(usb);
  Recorder recorder;
  ASSERT_EQ(Outcome(disc::Discovery::StartAsync(nullptr)), 0);
  ASSERT_TRUE(recorder.WaitForDevice("USB:" + id, disc::DeviceType::Printer));
  ASSERT_EQ(Outcome(disc::Discovery::StopAsync()), 0);
  for (const Seen& s : recorder.All()) {
    if (s.target() != "USB:" + id) continue;
    EXPECT_EQ(s.name(), "RP-S100");
    EXPECT_TRUE(s.info->IpAddress().empty());
    EXPECT_TRUE(s.info->MacAddress().empty());
    EXPECT_TRUE(s.info->BdAddress().empty());
  }
}

}  // namespace
}  // namespace discovery_test
