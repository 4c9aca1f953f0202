// The simulated backend as the io layer and the emulator rely on it.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "foundation/poll_wait.h"
#include "hal_sim.h"

namespace tilo2::core::hal {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = seconds(10);

class SimFixture : public ::testing::Test {
 protected:
  void SetUp() override { sim_ = SimBackend::Install(); }
  void TearDown() override {
    sim_->WaitDeliveriesIdle(kWait);
    SimBackend::Uninstall();
  }

  // Reads exactly n bytes from a peer, with the generous deadline.
  static std::string ReadPeer(int fd, size_t n) {
    std::string got;
    const auto deadline = Clock::now() + kWait;
    while (got.size() < n && Clock::now() < deadline) {
      if (PollWait(fd, POLLIN, 100) != 1) continue;
      char buffer[4096];
      const ssize_t r = ::recv(fd, buffer, std::min(sizeof buffer, n - got.size()), 0);
      if (r <= 0) break;
      got.append(buffer, static_cast<size_t>(r));
    }
    return got;
  }

  std::shared_ptr<RfcommConnection> ConnectTo(const std::string& serviceId) {
    const auto service = GetRfcommService(serviceId);
    // Callers use the link at once: without one the test stops here (gtest
    // reports the exception) instead of dereferencing an empty value.
    if (!service) throw std::runtime_error("no RFCOMM service " + serviceId);
    auto link = ConnectRfcomm(*service, kProtectionBluetoothEncryptionAllowNullAuthentication);
    if (!link) throw std::runtime_error("no RFCOMM link to " + serviceId);
    return link;
  }

  std::shared_ptr<SimBackend> sim_;
};

// ---- Enumeration --------------------------------------------------------------------
TEST_F(SimFixture, BluetoothServicesAreListedInOrderWithTheirParentRecords) {
  const std::string first = sim_->AddBluetoothDevice(
      {.address = "00:1a:7d:da:71:13", .name = "RP-S1", .serviceName = "SerialPort"});
  const std::string second = sim_->AddBluetoothDevice(
      {.address = "00:1A:7D:DA:71:14", .name = "Other", .addressProperty = "001a7dda7114"});
  const auto found = FindAll(Selector::BluetoothSerialPort(), {kKeyBluetoothAddress});
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].id, first);
  EXPECT_EQ(found[0].properties.at(kKeyBluetoothAddress), "001A7DDA7113");
  EXPECT_EQ(found[0].properties.at(kKeyItemNameDisplay), "SerialPort");
  EXPECT_EQ(found[1].properties.at(kKeyBluetoothAddress), "001a7dda7114");  // scripted text
  const std::string parentId = first.substr(0, first.find("#RFCOMM"));
  const auto parent = CreateFromId(parentId, {});
  ASSERT_TRUE(parent.has_value());
  EXPECT_EQ(parent->properties.at(kKeyItemNameDisplay), "RP-S1");
  EXPECT_FALSE(CreateFromId("Bluetooth#nothing", {}).has_value());
  EXPECT_TRUE(FindAll(Selector::UsbPrinter(), {}).empty());
}

TEST_F(SimFixture, UsbDevicesAreListedOnlyForTheirVendorAndProduct) {
  const std::string printer =
      sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .serial = "abc123", .name = "RP-M10"});
  sim_->PlugUsbDevice({.vendorId = static_cast<uint16_t>(UsbVendorId() + 1), .serial = "X"});
  sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .productId = 0x0203, .serial = "Y"});
  const auto found = FindAll(Selector::UsbPrinter(), {kKeyDeviceInstanceId});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, printer);
  EXPECT_NE(printer.find("&PID_0202\\ABC123"), std::string::npos);
  EXPECT_EQ(found[0].properties.at(kKeyDeviceInstanceId), printer);
  EXPECT_EQ(found[0].properties.at(kKeyItemNameDisplay), "RP-M10");
}

TEST_F(SimFixture, EnumerationFaults) {
  sim_->AddBluetoothDevice({.address = "00:1A:7D:DA:71:13", .name = "RP-S1"});
  const std::string id = FindAll(Selector::BluetoothSerialPort(), {})[0].id;
  sim_->SetFindAllCancelled(true);
  EXPECT_THROW(FindAll(Selector::BluetoothSerialPort(), {}), Cancelled);
  sim_->SetFindAllCancelled(false);
  sim_->SetFindAllError(kHrPending);
  EXPECT_THROW(FindAll(Selector::BluetoothSerialPort(), {}), Error);
  sim_->SetFindAllError(std::nullopt);
  sim_->SetCreateFromIdCancelled(true);
  EXPECT_THROW(CreateFromId(id, {}), Cancelled);
  sim_->SetCreateFromIdCancelled(false);
  sim_->FailCreateFromId(id, kHrNotFound);
  try {
    CreateFromId(id, {});
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.hresult(), kHrNotFound);
  }
  sim_->FailCreateFromId(id, 0);
  EXPECT_TRUE(CreateFromId(id, {}).has_value());
  sim_->SetServiceLookupCancelled(true);
  EXPECT_THROW(GetRfcommService(id), Cancelled);
  sim_->SetServiceLookupCancelled(false);
  sim_->SetNoService(true);
  EXPECT_FALSE(GetRfcommService(id).has_value());
  sim_->SetNoService(false);
  EXPECT_TRUE(GetRfcommService(id).has_value());
  sim_->SetNoWatcher(Selector::Kind::kBluetoothSerialPort, true);
  EXPECT_EQ(CreateWatcher(Selector::BluetoothSerialPort()), nullptr);
  EXPECT_NE(CreateWatcher(Selector::UsbPrinter()), nullptr);
}

TEST_F(SimFixture, CreateFromIdHeldAtAGateLetsOtherCallsThrough) {
  const std::string held = sim_->AddBluetoothDevice({.address = "00:00:00:00:00:01"});
  const std::string free = sim_->AddBluetoothDevice({.address = "00:00:00:00:00:02"});
  auto gate = sim_->HoldCreateFromId(held);
  std::optional<DeviceRecord> late;
  std::thread waiter([&] { late = CreateFromId(held, {}); });
  ASSERT_TRUE(gate->WaitArrived(kWait));
  EXPECT_TRUE(CreateFromId(free, {}).has_value());  // answered while the other waits
  EXPECT_FALSE(late.has_value());
  gate->Open();
  waiter.join();
  EXPECT_TRUE(late.has_value());
}

// ---- Watchers -----------------------------------------------------------------------
TEST_F(SimFixture, PresentDevicesArriveAsAddedOnAThreadOfTheWatcher) {
  sim_->AddBluetoothDevice({.address = "00:00:00:00:00:01"});
  sim_->AddBluetoothDevice({.address = "00:00:00:00:00:02"});
  auto watcher = CreateWatcher(Selector::BluetoothSerialPort());
  std::mutex mutex;
  std::vector<std::string> ids;
  std::set<std::thread::id> threads;
  watcher->OnAdded([&](const DeviceRecord& record) {
    std::lock_guard lock(mutex);
    ids.push_back(record.id);
    threads.insert(std::this_thread::get_id());
  });
  watcher->Start();
  ASSERT_TRUE(sim_->WaitDeliveriesIdle(kWait));
  std::lock_guard lock(mutex);
  EXPECT_EQ(ids.size(), 2u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(sim_->WatchersRunning(), 1);
}

TEST_F(SimFixture, EventsFromEightThreadsReachEveryHandlerUntilRemoveOrStop) {
  auto watcher = CreateWatcher(Selector::UsbPrinter());
  std::atomic<int> added{0};
  std::atomic<int> updated{0};
  std::atomic<int> removed{0};
  watcher->OnAdded([&](const DeviceRecord&) { ++added; });
  watcher->OnUpdated([&](const DeviceRecord&) { ++updated; });
  const WatcherToken gone = watcher->OnAdded([&](const DeviceRecord&) { ++removed; });
  watcher->Remove(gone);
  sim_->InjectAdded(Selector::Kind::kUsbDevice, {"before start", {}});
  watcher->Start();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        const DeviceRecord record{"USB\\" + std::to_string(t * 100 + i), {}};
        sim_->InjectAdded(Selector::Kind::kUsbDevice, record);
        sim_->InjectUpdated(Selector::Kind::kUsbDevice, record);
        sim_->InjectAdded(Selector::Kind::kBluetoothSerialPort, record);  // other kind
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(added.load(), 800);
  EXPECT_EQ(updated.load(), 800);
  EXPECT_EQ(removed.load(), 0);
  watcher->Stop();
  sim_->InjectAdded(Selector::Kind::kUsbDevice, {"after stop", {}});
  EXPECT_EQ(added.load(), 800);
  EXPECT_EQ(sim_->WatchersRunning(), 0);
}

TEST_F(SimFixture, StopAndRemoveNeverWaitForARunningHandler) {
  const std::string id = sim_->AddBluetoothDevice({.address = "00:00:00:00:00:01"});
  auto gate = sim_->HoldCreateFromId(id);
  auto watcher = CreateWatcher(Selector::BluetoothSerialPort());
  std::atomic<bool> done{false};
  const WatcherToken token = watcher->OnAdded([&](const DeviceRecord& record) {
    CreateFromId(record.id, {});  // blocks at the gate
    done = true;
  });
  watcher->Start();
  ASSERT_TRUE(gate->WaitArrived(kWait));
  watcher->Remove(token);
  watcher->Stop();
  watcher.reset();
  EXPECT_FALSE(done.load());
  gate->Open();
  ASSERT_TRUE(sim_->WaitDeliveriesIdle(kWait));
  EXPECT_TRUE(done.load());
}

TEST_F(SimFixture, PluggingReachesRunningUsbWatchersOfItsSelector) {
  auto watcher = CreateWatcher(Selector::UsbPrinter());
  std::atomic<int> added{0};
  watcher->OnAdded([&](const DeviceRecord&) { ++added; });
  watcher->Start();
  sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .serial = "A"});
  sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .productId = 0x0999, .serial = "B"});
  ASSERT_TRUE(sim_->WaitDeliveriesIdle(kWait));
  EXPECT_EQ(added.load(), 1);
}

TEST_F(SimFixture, WatcherStartCanFail) {
  sim_->SetWatcherStartFails(true);
  auto watcher = CreateWatcher(Selector::BluetoothSerialPort());
  EXPECT_THROW(watcher->Start(), Error);
  EXPECT_EQ(sim_->WatchersRunning(), 0);
}

// ---- Bluetooth links ----------------------------------------------------------------
TEST_F(SimFixture, ConnectsAreRefusedKTimesThenAccepted) {
  const std::string id = sim_->AddBluetoothDevice({.address = "00:1A:7D:DA:71:13", .channel = 5});
  sim_->RefuseConnects("00:1a:7d:da:71:13", 2);
  const auto service = GetRfcommService(id);
  ASSERT_TRUE(service.has_value());
  EXPECT_EQ(service->channel, 5);
  EXPECT_EQ(service->address, "00:1A:7D:DA:71:13");
  for (int i = 0; i < 2; ++i) {
    try {
      ConnectRfcomm(*service, kProtectionBluetoothEncryptionAllowNullAuthentication);
      FAIL() << "attempt " << i << " was accepted";
    } catch (const Error& e) {
      EXPECT_EQ(e.hresult(), kHrConnectionRefused);
    }
  }
  auto link = ConnectRfcomm(*service, kProtectionBluetoothEncryptionAllowNullAuthentication);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(sim_->ConnectAttempts("00:1A:7D:DA:71:13"), 3);
  EXPECT_EQ(sim_->LastProtectionLevel(), 3);
  EXPECT_TRUE(sim_->TakePeer("00:1A:7D:DA:71:13", kWait).Valid());
  EXPECT_EQ(sim_->OpenConnections(), 1);
  link->Close();
  EXPECT_EQ(sim_->OpenConnections(), 0);
}

TEST_F(SimFixture, DataFlowsBothWaysAndCloseUnblocksALoad) {
  const std::string id = sim_->AddBluetoothDevice({.address = "00:00:00:00:00:01"});
  auto link = ConnectTo(id);
  OwnedFd peer = sim_->TakePeer("00:00:00:00:00:01", kWait);
  ASSERT_TRUE(peer.Valid());
  EXPECT_EQ(link->Output()->Store("hello", 5, Clock::now() + kWait), 5u);
  EXPECT_TRUE(link->Output()->Flush(Clock::now() + kWait));
  EXPECT_EQ(ReadPeer(peer.Get(), 5), "hello");
  ASSERT_EQ(::send(peer.Get(), "\x10\x04", 2, 0), 2);
  char buffer[16];
  EXPECT_EQ(link->Input()->Load(buffer, sizeof buffer), 2u);
  EXPECT_EQ(std::memcmp(buffer, "\x10\x04", 2), 0);

  std::atomic<bool> cancelled{false};
  std::thread loader([&] {
    try {
      link->Input()->Load(buffer, sizeof buffer);
    } catch (const Cancelled&) {
      cancelled = true;
    }
  });
  std::this_thread::sleep_for(milliseconds(50));  // let it block; the close must wake it anyway
  link->Input()->Close();
  loader.join();
  EXPECT_TRUE(cancelled.load());
  EXPECT_THROW(link->Input()->Load(buffer, sizeof buffer), Cancelled);
}

TEST_F(SimFixture, PeerClosingIsTheEndOfTheStreamAndStoresThenFail) {
  const std::string id = sim_->AddBluetoothDevice({.address = "00:00:00:00:00:01"});
  auto link = ConnectTo(id);
  OwnedFd peer = sim_->TakePeer("00:00:00:00:00:01", kWait);
  ASSERT_EQ(::send(peer.Get(), "ab", 2, 0), 2);
  peer.Reset();
  char buffer[16];
  EXPECT_EQ(link->Input()->Load(buffer, sizeof buffer), 2u);  // what came before the end
  EXPECT_EQ(link->Input()->Load(buffer, sizeof buffer), 0u);
  EXPECT_THROW(link->Output()->Store("x", 1, Clock::now() + kWait), Error);
}

TEST_F(SimFixture, DisconnectAndAcceptor) {
  const std::string id = sim_->AddBluetoothDevice({.address = "00:00:00:00:00:01"});
  OwnedFd accepted;
  sim_->SetAcceptor("00:00:00:00:00:01", [&](OwnedFd peer) { accepted = std::move(peer); });
  auto link = ConnectTo(id);
  ASSERT_TRUE(accepted.Valid());
  EXPECT_FALSE(sim_->TakePeer("00:00:00:00:00:01", milliseconds(1)).Valid());
  sim_->Disconnect("00:00:00:00:00:01");
  char buffer[4];
  EXPECT_EQ(link->Input()->Load(buffer, sizeof buffer), 0u);
  sim_->RemoveBluetoothDevice("00:00:00:00:00:01");
  EXPECT_TRUE(FindAll(Selector::BluetoothSerialPort(), {}).empty());
  EXPECT_FALSE(GetRfcommService(id).has_value());
  const RfcommService stale{id, "00:00:00:00:00:01", 1};
  EXPECT_THROW(ConnectRfcomm(stale, 3), Error);
}

// ---- Store, flush and load faults -----------------------------------------------------
TEST_F(SimFixture, StoreFaults) {
  const std::string id = sim_->AddBluetoothDevice({.address = "00:00:00:00:00:01"});
  auto link = ConnectTo(id);
  OwnedFd peer = sim_->TakePeer("00:00:00:00:00:01", kWait);
  auto out = link->Output();

  sim_->SetStoreLimit(3);
  EXPECT_EQ(out->Store("abcdef", 6, Clock::now() + kWait), 3u);  // a partial store
  EXPECT_EQ(out->Store("def", 3, Clock::now() + kWait), 3u);
  EXPECT_EQ(ReadPeer(peer.Get(), 6), "abcdef");  // each byte once
  sim_->SetStoreLimit(0);

  sim_->FailStores(2);
  EXPECT_THROW(out->Store("x", 1, Clock::now() + kWait), Error);
  EXPECT_THROW(out->Store("x", 1, Clock::now() + kWait), Error);
  EXPECT_EQ(out->Store("x", 1, Clock::now() + kWait), 1u);

  sim_->SetStoreHangs(true);
  const auto start = Clock::now();
  EXPECT_EQ(out->Store("y", 1, start + milliseconds(100)), 0u);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, milliseconds(100));
  EXPECT_LT(took, seconds(5));
  sim_->SetStoreHangs(false);

  sim_->SetFlushResult(false);
  EXPECT_FALSE(out->Flush(Clock::now() + kWait));
  EXPECT_GE(sim_->FlushCalls(), 1);
  EXPECT_EQ(sim_->StoreCalls(), 6);
}

TEST_F(SimFixture, LoadFaultsWakeRunningLoads) {
  const std::string id = sim_->AddBluetoothDevice({.address = "00:00:00:00:00:01"});
  auto first = ConnectTo(id);
  auto second = ConnectTo(id);
  std::atomic<Hresult> failure{0};
  std::thread loader([&] {
    char buffer[4];
    try {
      first->Input()->Load(buffer, sizeof buffer);
    } catch (const Error& e) {
      failure = e.hresult();
    }
  });
  std::this_thread::sleep_for(milliseconds(50));
  sim_->FailLoads(kHrFail);
  loader.join();
  EXPECT_EQ(failure.load(), kHrFail);
  char buffer[4];
  EXPECT_THROW(second->Input()->Load(buffer, sizeof buffer), Error);
}

TEST_F(SimFixture, EndLoadsReportsTheEndOfEveryStream) {
  const std::string id = sim_->AddBluetoothDevice({.address = "00:00:00:00:00:01"});
  auto link = ConnectTo(id);
  sim_->EndLoads();
  char buffer[4];
  EXPECT_EQ(link->Input()->Load(buffer, sizeof buffer), 0u);
}

// ---- USB ----------------------------------------------------------------------------
TEST_F(SimFixture, UsbControlTransfersAreRecordedAndAnsweredFromTheScript) {
  const std::string id = sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .serial = "A"});
  auto device = UsbOpen(id);
  ASSERT_NE(device, nullptr);
  sim_->ScriptControl(id, {SimControlReply{{}, 0, {}}, SimControlReply{{0x02, 0x00, 0x55}, 0, {}},
                           SimControlReply{{}, 1, {}}, SimControlReply{{}, 0, kHrPending}});
  const UsbSetupPacket control{0x40, 2, 0, 0, 0};
  const UsbSetupPacket status{0xC0, 1, 0, 0, 2};
  EXPECT_EQ(device->ControlOut(control), 0u);
  EXPECT_EQ(device->ControlIn(status, 2), (std::vector<uint8_t>{0x02, 0x00}));  // cut to 2
  EXPECT_EQ(device->ControlOut(control), 1u);
  try {
    device->ControlIn(status, 2);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.hresult(), kHrPending);
  }
  EXPECT_TRUE(device->ControlIn(status, 2).empty());  // script used up: an empty reply
  const auto log = sim_->SetupLog(id);
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].requestType, 0x40);
  EXPECT_EQ(log[0].request, 2);
  EXPECT_EQ(log[1].requestType, 0xC0);
  EXPECT_EQ(log[1].length, 2);
}

TEST_F(SimFixture, UsbControlHandlerAnswersFromAnyThread) {
  const std::string id = sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .serial = "A"});
  std::atomic<uint16_t> lastValue{0xFFFF};
  sim_->SetControlHandler(id, [&](const UsbSetupPacket& setup) {
    if (setup.requestType == 0x40) lastValue = setup.value;
    return SimControlReply{{static_cast<uint8_t>(lastValue.load() & 0x02)}, 0, {}};
  });
  auto device = UsbOpen(id);
  EXPECT_EQ(device->ControlOut({0x40, 2, 2, 0, 0}), 0u);
  EXPECT_EQ(device->ControlIn({0xC0, 1, 0, 0, 2}, 2), std::vector<uint8_t>{0x02});
}

TEST_F(SimFixture, TwoPrintersOpenAndCarryTheirOwnData) {
  const std::string a = sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .serial = "A"});
  const std::string b =
      sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .serial = "B", .portPath = "1-2"});
  auto first = UsbOpen(a);
  auto second = UsbOpen(b);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  OwnedFd peerA = sim_->TakePeer(a, kWait);
  OwnedFd peerB = sim_->TakePeer(b, kWait);
  EXPECT_EQ(second->BulkOut()->Store("to b", 4, Clock::now() + kWait), 4u);
  EXPECT_EQ(first->BulkOut()->Store("to a", 4, Clock::now() + kWait), 4u);
  EXPECT_EQ(ReadPeer(peerA.Get(), 4), "to a");
  EXPECT_EQ(ReadPeer(peerB.Get(), 4), "to b");
}

TEST_F(SimFixture, UnplugEndsTheStreamThenReplugOpensAgain) {
  const std::string id = sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .serial = "A"});
  auto device = UsbOpen(id);
  ASSERT_NE(device, nullptr);
  sim_->UnplugUsbDevice(id);
  char buffer[8];
  EXPECT_EQ(device->BulkIn()->Load(buffer, sizeof buffer), 0u);
  EXPECT_THROW(device->BulkOut()->Store("x", 1, Clock::now() + kWait), Error);
  EXPECT_THROW(device->ControlOut({0x40, 2, 0, 0, 0}), Error);
  EXPECT_TRUE(FindAll(Selector::UsbPrinter(), {}).empty());
  EXPECT_EQ(UsbOpen(id), nullptr);
  device->Close();

  EXPECT_EQ(sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .serial = "A"}), id);
  auto again = UsbOpen(id);
  ASSERT_NE(again, nullptr);
  sim_->TakePeer(id, kWait);  // the first open's peer
  OwnedFd peer = sim_->TakePeer(id, kWait);
  EXPECT_EQ(again->BulkOut()->Store("ok", 2, Clock::now() + kWait), 2u);
  EXPECT_EQ(ReadPeer(peer.Get(), 2), "ok");
  EXPECT_EQ(sim_->UsbOpens(id), 3);
}

TEST_F(SimFixture, RefusedUsbDeviceGivesNoDevice) {
  const std::string id = sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .serial = "A"});
  sim_->RefuseUsbOpen(id, true);
  EXPECT_EQ(UsbOpen(id), nullptr);
  sim_->RefuseUsbOpen(id, false);
  EXPECT_NE(UsbOpen(id), nullptr);
  EXPECT_EQ(UsbOpen("USB\\VID_0000&PID_0202\\NONE"), nullptr);
}

TEST_F(SimFixture, ClosedUsbDeviceRefusesTransfers) {
  const std::string id = sim_->PlugUsbDevice({.vendorId = UsbVendorId(), .serial = "A"});
  auto device = UsbOpen(id);
  device->Close();
  EXPECT_THROW(device->ControlIn({0xC0, 1, 0, 0, 2}, 2), Error);
  EXPECT_THROW(device->BulkOut()->Store("x", 1, Clock::now() + kWait), Error);
  char buffer[2];
  EXPECT_THROW(device->BulkIn()->Load(buffer, 2), Cancelled);
}

}  // namespace
}  // namespace tilo2::core::hal
