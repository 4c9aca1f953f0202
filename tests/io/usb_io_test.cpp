// The USB transport over the simulated backend: the open by instance id, the
// vendor requests behind control, status and the online probe, re-plugging.

#include "io/usb_io.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "device_test_support.h"
#include "io/device_bridge.h"
#include "io/device_bridge_internal.h"
#include "io_test_support.h"

using namespace device_test;

namespace {

int32_t hresultOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const hal::Error& error) {
    return error.hresult();
  }
  return 0;
}

bool samePacket(const hal::UsbSetupPacket& p, uint8_t type, uint8_t request, uint16_t value,
                uint16_t index, uint16_t length) {
  return p.requestType == type && p.request == request && p.value == value && p.index == index &&
         p.length == length;
}

class UsbIo : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    hal::SimUsbDevice device;
    device.vendorId = hal::UsbVendorId();
    device.serial = "ABC123";
    id = sim->PlugUsbDevice(device);
  }
  std::shared_ptr<OrvikUsbIo> open(const std::string& address) {
    auto io = std::make_shared<OrvikUsbIo>();
    io->Open(address);
    return io;
  }
  std::string id;
};

TEST_F(UsbIo, OpensByAPartOfTheInstanceIdInAnyCase) {
  char expected[64];
  std::snprintf(expected, sizeof expected, "USB\\VID_%04X&PID_0202\\ABC123", hal::UsbVendorId());
  EXPECT_EQ(id, expected);
  TiloIoConnection_t* connection = nullptr;
  ASSERT_EQ(TiloIoUsbOpen(&connection, "abc123"), 0);
  EXPECT_EQ(connection->type, TILOIO_TYPE_USB);
  EXPECT_STREQ(connection->address, "abc123");
  EXPECT_EQ(sim->UsbOpens(id), 1);
  EXPECT_EQ(TiloIoUsbClose(connection->device), 0);
  freeIoHolder(connection->device);
  std::free(connection->address);
  delete connection;
  EXPECT_EQ(TiloIoUsbOpen(&connection, "XYZ999"), 2);  // no device holds it
  EXPECT_EQ(connection, nullptr);
  sim->RefuseUsbOpen(id, true);
  EXPECT_EQ(TiloIoUsbOpen(&connection, "ABC123"), 2);  // busy or no access
}

TEST_F(UsbIo, ControlSendsTheValueAndConfirmsIt) {
  auto io = open("ABC123");
  IoHolder holder{io};
  // Control 1: value 0, confirmed by bit 1 clear.
  sim->ScriptControl(id, {{{}, 0, {}}, {{0x00, 0x00}, 0, {}}});
  EXPECT_EQ(TiloIoUsbControl(&holder, 1), 0);
  auto log = sim->SetupLog(id);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(samePacket(log[0], 0x40, 2, 0, 0, 0));
  EXPECT_TRUE(samePacket(log[1], 0xC0, 1, 0, 0, 2));
  // Control 0: value 2; bit 1 set confirms, an empty reply confirms nothing and passes.
  sim->ScriptControl(id, {{{}, 0, {}}, {{0x02}, 0, {}}, {{}, 0, {}}, {{}, 0, {}}});
  EXPECT_EQ(TiloIoUsbControl(&holder, 0), 0);
  EXPECT_EQ(TiloIoUsbControl(&holder, 0), 0);
  log = sim->SetupLog(id);
  ASSERT_EQ(log.size(), 6u);
  EXPECT_TRUE(samePacket(log[2], 0x40, 2, 2, 0, 0));
}

TEST_F(UsbIo, ControlFailures) {
  io_test::LogCapture capture;
  auto io = open("ABC123");
  IoHolder holder{io};
  sim->ScriptControl(id, {{{}, 0, {}}, {{0x02}, 0, {}}});
  EXPECT_EQ(hresultOf([&] { io->Control("", 1); }), hal::kHrFail);
  EXPECT_EQ(capture.lines({"OrvikUsbIo(374)"}).size(), 1u);
  sim->ScriptControl(id, {{{}, 1, {}}});
  EXPECT_EQ(TiloIoUsbControl(&holder, 1), 255);
  EXPECT_EQ(capture.lines({"OrvikUsbIo(320)"}).size(), 1u);
  sim->ScriptControl(id, {{{}, 0, hal::kHrAbort}});
  EXPECT_EQ(TiloIoUsbControl(&holder, 1), 4);  // a kept HRESULT passes
  sim->ScriptControl(id, {{{}, 0, hal::kHrNotFound}});
  EXPECT_EQ(TiloIoUsbControl(&holder, 1), 255);
}

TEST_F(UsbIo, StatusFromTheFirstReplyByte) {
  auto io = open("ABC123");
  const struct {
    std::vector<uint8_t> reply;
    int flag;
  } cases[] = {{{0x00}, 1}, {{0x01, 0xFF}, 0}, {{0x03}, 0}, {{0x02}, 1}, {{}, 7}};
  for (const auto& c : cases) {
    sim->ScriptControl(id, {{c.reply, 0, {}}, {c.reply, 0, {}}});
    auto status = std::make_shared<int>(7);
    io->GetStatus("", status);
    EXPECT_EQ(*status, c.flag);
    auto online = std::make_shared<int>(7);
    io->CheckOnline("", online);
    EXPECT_EQ(*online, c.flag);
  }
  EXPECT_EQ(hresultOf([&] { io->GetStatus("", nullptr); }), hal::kHrInvalidArg);
}

TEST_F(UsbIo, UnopenedDeviceRefusesControlStatusAndProbe) {
  io_test::LogCapture capture;
  IoHolder holder{std::make_shared<OrvikUsbIo>()};
  int value = 5;
  EXPECT_EQ(TiloIoUsbControl(&holder, 1), 6);
  EXPECT_EQ(TiloIoUsbGetStatus(&holder, &value), 6);
  EXPECT_EQ(TiloIoUsbCheckOnline(&holder, &value), 6);
  for (const char* line : {"OrvikUsbIo(288)", "OrvikUsbIo(143)", "OrvikUsbIo(218)"}) {
    EXPECT_EQ(capture.lines({line}).size(), 1u) << line;
  }
  auto io = open("ABC123");
  EXPECT_EQ(hresultOf([&] { io->Open("ABC123"); }), hal::kHrIllegalMethodCall);
  EXPECT_EQ(capture.lines({"OrvikUsbIo(52)"}).size(), 1u);
}

TEST_F(UsbIo, TwoPrintersOpenSideBySide) {
  hal::SimUsbDevice second;
  second.vendorId = hal::UsbVendorId();
  second.serial = "XYZ789";
  second.portPath = "1-2";
  const std::string secondId = sim->PlugUsbDevice(second);
  auto first = open("ABC123");
  auto other = open("XYZ789");
  Peer a(sim->TakePeer(id, kWait));
  Peer b(sim->TakePeer(secondId, kWait));
  const std::vector<uint8_t> one{1}, two{2, 2};
  EXPECT_EQ(first->Write(std::shared_ptr<const uint8_t[]>(one.data(), [](const uint8_t*) {}), 1,
                         1000, TILOIO_TYPE_USB),
            1u);
  EXPECT_EQ(other->Write(std::shared_ptr<const uint8_t[]>(two.data(), [](const uint8_t*) {}), 2,
                         1000, TILOIO_TYPE_USB),
            2u);
  ASSERT_TRUE(a.WaitBytes(1));
  ASSERT_TRUE(b.WaitBytes(2));
  EXPECT_EQ(a.Received(), one);
  EXPECT_EQ(b.Received(), two);
}

TEST_F(UsbIo, AReplugIsReopenedByTheNextWrite) {
  auto io = open("ABC123");
  IoHolder holder{io};
  Peer first(sim->TakePeer(id, kWait));
  sim->UnplugUsbDevice(id);
  ASSERT_TRUE(waitFor([&] { return io->ConnectionLost(); }));
  hal::SimUsbDevice device;
  device.vendorId = hal::UsbVendorId();
  device.serial = "ABC123";
  ASSERT_EQ(sim->PlugUsbDevice(device), id);
  size_t written = 0;
  EXPECT_EQ(TiloIoUsbWrite(&holder, "hello", 5, 2000, &written), 0);
  EXPECT_EQ(written, 5u);
  EXPECT_EQ(sim->UsbOpens(id), 2);
  Peer again(sim->TakePeer(id, kWait));
  ASSERT_TRUE(again.WaitBytes(5));
  // Replies on the new pipe reach reads.
  again.Send({0x10, 0x20});
  char buffer[128];
  size_t count = 0;
  EXPECT_EQ(TiloIoUsbRead(&holder, buffer, 5000, &count), 0);
  EXPECT_EQ(count, 2u);
}

}  // namespace
