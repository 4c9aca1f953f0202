// The stream device I/O and the Bluetooth transport over the simulated backend.

#include "io/bluetooth_io.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "device_test_support.h"
#include "io/connection_interface.h"
#include "io/device_bridge.h"
#include "io/device_bridge_internal.h"
#include "io/device_errors.h"
#include "io_test_support.h"

using namespace device_test;

namespace {

constexpr const char* kAddress = "00:1A:7D:DA:71:13";

// The process's threads, by id.
std::set<int> threadIds() {
  std::set<int> ids;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return ids;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ids.insert(std::atoi(entry->d_name));
  }
  ::closedir(dir);
  return ids;
}

// How often a thread gave up the CPU on its own (each wake-up from a wait
// ends in one); -1 once the thread is gone.
long voluntarySwitches(int tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::atol(line.c_str() + 24);
  }
  return -1;
}

// The CPU time a thread used, in clock ticks (user plus system); 0 once it is
// gone. Per thread, so a sanitizer's own threads and a loaded machine do not count.
long threadCpuTicks(int tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which ends with the last ')': state is the
  // first of them, utime the twelfth and stime the thirteenth.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  long utime = 0;
  long stime = 0;
  for (int i = 1; i <= 13 && fields >> field; ++i) {
    if (i == 12) utime = std::atol(field.c_str());
    if (i == 13) stime = std::atol(field.c_str());
  }
  return utime + stime;
}

int32_t hresultOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const hal::Error& error) {
    return error.hresult();
  } catch (const hal::Cancelled&) {
    return 1;
  }
  return 0;
}

class BluetoothIo : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    hal::SimBluetoothDevice device;
    device.address = kAddress;
    device.name = "RP-S100";
    serviceId = sim->AddBluetoothDevice(device);
  }
  // Opens a device object and takes the link's far end.
  std::shared_ptr<OrvikBluetoothIo> open(std::unique_ptr<Peer>& peer,
                                         const std::string& address = kAddress) {
    auto io = std::make_shared<OrvikBluetoothIo>();
    io->Open(address);
    peer = std::make_unique<Peer>(sim->TakePeer(kAddress, kWait));
    EXPECT_TRUE(peer->valid());
    return io;
  }
  size_t write(OrvikDeviceIo& io, const std::vector<uint8_t>& bytes, int timeoutMs,
               int type = TILOIO_TYPE_BLUETOOTH) {
    const std::shared_ptr<const uint8_t[]> data(bytes.data(), [](const uint8_t*) {});
    return io.Write(data, static_cast<int>(bytes.size()), timeoutMs, type);
  }
  std::string serviceId;
};

TEST_F(BluetoothIo, OpensTheDeviceWhoseAddressPropertyMatchesInEitherCase) {
  std::unique_ptr<Peer> peer;
  auto io = open(peer, "00:1a:7d:da:71:13");
  EXPECT_EQ(sim->LastProtectionLevel(), 3);
  EXPECT_EQ(write(*io, {1, 2, 3}, 1000), 3u);
  ASSERT_TRUE(peer->WaitBytes(3));
}

TEST_F(BluetoothIo, MalformedAddressesFailBeforeAnyEnumeration) {
  // Were the enumeration reached, it would fail with access denied.
  sim->SetFindAllError(hal::kHrFail);
  for (const char* address : {"00-1A-7D-DA-71-13", "001A7DDA7113", "00:1A:7D:DA:71:13:14"}) {
    OrvikBluetoothIo io;
    EXPECT_EQ(hresultOf([&] { io.Open(address); }), hal::kHrInvalidArg) << address;
  }
  OrvikBluetoothIo io;
  EXPECT_EQ(hresultOf([&] { io.Open(kAddress); }), hal::kHrAccessDenied);
}

TEST_F(BluetoothIo, CancelledEnumerationOrLookupReachesTheCallerAsACancellation) {
  sim->SetFindAllCancelled(true);
  TiloIoConnection_t* connection = nullptr;
  EXPECT_EQ(TiloIoBtOpen(&connection, kAddress), 2);
  OrvikBluetoothIo io;
  EXPECT_EQ(hresultOf([&] { io.Open(kAddress); }), 1);  // the Cancelled marker
  sim->SetFindAllCancelled(false);
  sim->SetServiceLookupCancelled(true);
  OrvikBluetoothIo again;
  EXPECT_EQ(hresultOf([&] { again.Open(kAddress); }), 1);
}

TEST_F(BluetoothIo, TheFirstOfTwoServicesWithOneAddressWins) {
  hal::SimBluetoothDevice second;
  second.address = "00:1A:7D:DA:71:99";
  const std::string otherId = sim->AddBluetoothDevice(second);
  // Both services claim the first device's address; the second device's comes first.
  sim->SetDevices(hal::Selector::Kind::kBluetoothSerialPort,
                  {{otherId, {{hal::kKeyBluetoothAddress, "001a7dda7113"}}},
                   {serviceId, {{hal::kKeyBluetoothAddress, "001A7DDA7113"}}}});
  OrvikBluetoothIo io;
  io.Open(kAddress);
  EXPECT_EQ(sim->ConnectAttempts(second.address), 1);
  EXPECT_EQ(sim->ConnectAttempts(kAddress), 0);
}

TEST_F(BluetoothIo, ConnectRetriesThreeTimesWithPauses) {
  sim->RefuseConnects(kAddress, 1);
  auto start = std::chrono::steady_clock::now();
  OrvikBluetoothIo io;
  io.Open(kAddress);
  EXPECT_GE(io_test::msSince(start), 100);
  EXPECT_EQ(sim->ConnectAttempts(kAddress), 2);

  sim->RefuseConnects(kAddress, 3);
  start = std::chrono::steady_clock::now();
  TiloIoConnection_t* connection = nullptr;
  EXPECT_EQ(TiloIoBtOpen(&connection, kAddress), 2);
  EXPECT_EQ(connection, nullptr);
  EXPECT_GE(io_test::msSince(start), 300);
  EXPECT_EQ(sim->ConnectAttempts(kAddress), 5);
}

TEST_F(BluetoothIo, OpenWhileOpenIsRefusedAndTheLinkStillWorks) {
  io_test::LogCapture log;
  std::unique_ptr<Peer> peer;
  auto io = open(peer);
  EXPECT_EQ(hresultOf([&] { io->Open(kAddress); }), hal::kHrIllegalMethodCall);
  EXPECT_EQ(log.lines({"OrvikBluetoothIo(55)"}).size(), 1u);
  EXPECT_EQ(write(*io, {9, 8}, 1000), 2u);
  ASSERT_TRUE(peer->WaitBytes(2));
  peer->Send({0x14});
  auto buffer = std::shared_ptr<uint8_t[]>(new uint8_t[128]);
  EXPECT_EQ(io->Read(buffer, 128, 5000), 1u);
  EXPECT_EQ(buffer[0], 0x14);
}

TEST_F(BluetoothIo, ChunksAreStoredAndFlushedOnBluetoothOnly) {
  for (const int type : {TILOIO_TYPE_BLUETOOTH, TILOIO_TYPE_USB}) {
    SCOPED_TRACE(type);
    std::unique_ptr<Peer> peer;
    auto io = open(peer);
    const int stores = sim->StoreCalls();
    const int flushes = sim->FlushCalls();
    EXPECT_EQ(write(*io, pattern(10000), 5000, type), 10000u);
    EXPECT_EQ(sim->StoreCalls() - stores, 3);
    EXPECT_EQ(sim->FlushCalls() - flushes, type == TILOIO_TYPE_BLUETOOTH ? 3 : 0);
    ASSERT_TRUE(peer->WaitBytes(10000));
    EXPECT_EQ(peer->Received(), pattern(10000));
    io->Close();
  }
}

TEST_F(BluetoothIo, WriteArgumentsAndEmptyWrites) {
  std::unique_ptr<Peer> peer;
  auto io = open(peer);
  const int stores = sim->StoreCalls();
  EXPECT_EQ(hresultOf([&] { write(*io, {1}, 600001); }), hal::kHrInvalidArg);
  EXPECT_EQ(hresultOf([&] { write(*io, {1}, -1); }), hal::kHrInvalidArg);
  const uint8_t one = 1;
  EXPECT_EQ(io->Write(std::shared_ptr<const uint8_t[]>(&one, [](const uint8_t*) {}), 0, 1000,
                      TILOIO_TYPE_BLUETOOTH),
            0u);
  EXPECT_EQ(hresultOf([&] { io->Write(nullptr, 1, 1000, TILOIO_TYPE_BLUETOOTH); }),
            hal::kHrInvalidArg);
  EXPECT_EQ(sim->StoreCalls(), stores);
  IoHolder holder{io};
  size_t written = 0;
  EXPECT_EQ(TiloIoBtWrite(&holder, "x", 1, 600001, &written), 1);
}

TEST_F(BluetoothIo, APartialStoreIsNeverSentAgainWhole) {
  std::unique_ptr<Peer> peer;
  auto io = open(peer);
  sim->SetStoreLimit(1000);
  EXPECT_EQ(write(*io, pattern(10000), 5000), 10000u);
  ASSERT_TRUE(peer->WaitBytes(10000));
  EXPECT_EQ(peer->Received(), pattern(10000));  // each byte exactly once
}

TEST_F(BluetoothIo, AFailingStoreIsRetriedUntilTheLimit) {
  std::unique_ptr<Peer> peer;
  auto io = open(peer);
  sim->FailStores(1000000);
  const int stores = sim->StoreCalls();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(write(*io, pattern(100), 300), 0u);
  const auto elapsed = io_test::msSince(start);
  EXPECT_GE(elapsed, 300);
  EXPECT_LT(elapsed, 3000);
  // About one attempt every 10 ms, never a busy loop.
  EXPECT_LE(sim->StoreCalls() - stores, 35);
  EXPECT_GE(sim->StoreCalls() - stores, 5);
}

TEST_F(BluetoothIo, ANeverCompletingStoreEndsSoonAfterTheLimit) {
  std::unique_ptr<Peer> peer;
  auto io = open(peer);
  sim->SetStoreHangs(true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(write(*io, pattern(100), 300), 0u);
  const auto elapsed = io_test::msSince(start);
  EXPECT_GE(elapsed, 300);
  EXPECT_LT(elapsed, 1500);
}

TEST_F(BluetoothIo, ReadTakesTheOldestOfTheNewest1024Bytes) {
  std::unique_ptr<Peer> peer;
  auto io = open(peer);
  peer->Send(pattern(1500));
  ASSERT_TRUE(waitFor([&] { return io->ReceivedTotal() == 1500; }));
  EXPECT_EQ(io->BufferedBytes(), 1024u);
  auto buffer = std::shared_ptr<uint8_t[]>(new uint8_t[128]);
  ASSERT_EQ(io->Read(buffer, 128, 1000), 128u);
  for (size_t i = 0; i < 128; ++i) EXPECT_EQ(buffer[i], static_cast<uint8_t>((476 + i) % 256));
  EXPECT_EQ(io->BufferedBytes(), 1024u - 128u);
}

TEST_F(BluetoothIo, AReadReturnsOneQuietPollAfterTheReply) {
  std::unique_ptr<Peer> peer;
  auto io = open(peer);
  auto buffer = std::shared_ptr<uint8_t[]>(new uint8_t[128]);
  std::atomic<int64_t> sentAt{0};
  const auto start = std::chrono::steady_clock::now();
  std::thread sender([&] {
    std::this_thread::sleep_for(200ms);
    sentAt = io_test::msSince(start);
    peer->Send({1, 2, 3, 4});
  });
  EXPECT_EQ(io->Read(buffer, 128, 10000), 4u);
  const auto returned = io_test::msSince(start);
  sender.join();
  EXPECT_LT(returned - sentAt, 1000);  // far below the 10 s limit
  // Nothing arriving: 0 once the limit has passed.
  const auto quiet = std::chrono::steady_clock::now();
  EXPECT_EQ(io->Read(buffer, 128, 200), 0u);
  EXPECT_GE(io_test::msSince(quiet), 200);
  EXPECT_EQ(io->Read(buffer, 0, 200), 0u);
}

TEST_F(BluetoothIo, ALostLinkIsReopenedOnceBeforeTheNextWrite) {
  std::unique_ptr<Peer> peer;
  auto io = open(peer);
  peer->Close();
  ASSERT_TRUE(waitFor([&] { return io->ConnectionLost(); }));
  EXPECT_EQ(write(*io, {5, 6, 7}, 2000), 3u);
  EXPECT_EQ(sim->ConnectAttempts(kAddress), 2);
  Peer again(sim->TakePeer(kAddress, kWait));
  ASSERT_TRUE(again.WaitBytes(3));
  EXPECT_EQ(again.Received(), (std::vector<uint8_t>{5, 6, 7}));
}

TEST_F(BluetoothIo, AFailedReopenFailsTheWrite) {
  std::unique_ptr<Peer> peer;
  auto io = open(peer);
  IoHolder holder{io};
  sim->RemoveBluetoothDevice(kAddress);
  ASSERT_TRUE(waitFor([&] { return io->ConnectionLost(); }));
  size_t written = 9;
  EXPECT_EQ(TiloIoBtWrite(&holder, "abc", 3, 1000, &written), 3);
  EXPECT_EQ(written, 0u);
}

TEST_F(BluetoothIo, NoReopenWhileClosing) {
  std::unique_ptr<Peer> peer;
  auto io = open(peer);
  peer->Close();
  ASSERT_TRUE(waitFor([&] { return io->ConnectionLost(); }));
  io->SetClosing(true);
  write(*io, {1}, 100);
  EXPECT_EQ(sim->ConnectAttempts(kAddress), 1);
}

TEST_F(BluetoothIo, CloseStopsTheReceiveThreadAndTakesItsPauses) {
  TiloIoConnection_t* connection = nullptr;
  ASSERT_EQ(TiloIoBtOpen(&connection, kAddress), 0);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->type, TILOIO_TYPE_BLUETOOTH);
  EXPECT_STREQ(connection->address, kAddress);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TiloIoBtClose(connection->device), 0);
  EXPECT_GE(io_test::msSince(start), 100);
  EXPECT_EQ(sim->OpenConnections(), 0);
  freeIoHolder(connection->device);
  std::free(connection->address);
  delete connection;

  // Through the connection interface: another 100 ms.
  ASSERT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_BLUETOOTH, "00:1a:7d:da:71:13", 15000), 0);
  EXPECT_STREQ(connection->address, kAddress);  // the record keeps the upper-cased form
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(TiloIoClose(connection), 0);
  EXPECT_GE(io_test::msSince(start), 200);
}

// An open link with nothing to read costs nothing: the receive thread sleeps
// in its load, it does not poll.
TEST_F(BluetoothIo, AnIdleOpenConnectionUsesNoCpu) {
  // A sanitizer runtime starts its own helper thread (which wakes
  // periodically) at the first thread created: let that happen before the
  // threads are counted, so only the open's own thread is new.
  std::thread([] {}).join();
  const std::set<int> before = threadIds();
  TiloIoConnection_t* connection = nullptr;
  ASSERT_EQ(TiloIoOpen(nullptr, &connection, TILOIO_TYPE_BLUETOOTH, kAddress, 15000), 0);
  std::set<int> started;
  for (int tid : threadIds()) {
    if (before.count(tid) == 0) started.insert(tid);
  }
  EXPECT_FALSE(started.empty());  // the receive thread
  Peer peer(sim->TakePeer(kAddress, kWait));
  // One byte through, so the receive thread is surely running and back in its load.
  peer.Send({0x16});
  char byte = 0;
  size_t count = 0;
  ASSERT_EQ(TiloIoRead(connection, &byte, 5000, &count), 0);
  ASSERT_EQ(count, 1u);

  std::map<int, long> switches;
  for (int tid : started) switches[tid] = voluntarySwitches(tid);
  std::map<int, long> ticks;
  for (int tid : started) ticks[tid] = threadCpuTicks(tid);
  // The window is at least one second, however the sleeps fall.
  const auto end = std::chrono::steady_clock::now() + 1s;
  while (std::chrono::steady_clock::now() < end) std::this_thread::sleep_until(end);
  const long tick = ::sysconf(_SC_CLK_TCK);
  for (const auto& [tid, was] : ticks) {
    // Under 50 ms of CPU in the idle second.
    EXPECT_LT((threadCpuTicks(tid) - was) * 1000 / tick, 50) << "thread " << tid;
  }
  for (const auto& [tid, was] : switches) {
    const long now = voluntarySwitches(tid);
    if (was < 0 || now < 0) continue;
    EXPECT_LT(now - was, 10) << "wake-ups of thread " << tid << " in an idle second";
  }
  EXPECT_EQ(TiloIoClose(connection), 0);
}

}  // namespace
