// The print engine end to end over simulated Bluetooth and USB printers: the
// emulator's printer model behind the device fronts.

#include <gtest/gtest.h>

#include <algorithm>

#include "../engine/connection_test_support.h"
#include "device_fronts.h"
#include "device_test_support.h"
#include "encoding/printer/prn_cmd.h"
#include "engine/builder_records.h"
#include "engine/engine_ops.h"
#include "engine/event_callbacks.h"
#include "engine/printer_open.h"
#include "engine/shared_connection.h"
#include "engine/status_monitor.h"
#include "io/connection_interface.h"

using namespace device_test;
using namespace connection_test;

namespace {

constexpr const char* kAddress = "00:1A:7D:DA:71:13";

bool contains(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& part) {
  return std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
}

// A created handle, destroyed at the end.
class Handle {
 public:
  Handle() { EXPECT_EQ(TiloCreateHandle(&handle_), 0); }
  ~Handle() {
    if (handle_->connection != nullptr) TiloDisconnectPrinter(nullptr, handle_);
    EXPECT_EQ(TiloDestroyHandle(handle_), 0);
  }
  PrintHandle_t* get() const { return handle_; }

 private:
  PrintHandle_t* handle_ = nullptr;
};

void printJob(PrintHandle_t* handle, const char* text) {
  ResultRecorder::Get().Clear();
  RecordResults(handle);
  PrinterBuilder_t* builder = nullptr;
  ASSERT_EQ(TiloCreateBuilder(&builder, "RP-S3", 0), 0);
  PrnCmdAddText(builder->builder.get(), text);
  ASSERT_EQ(TiloSendData(nullptr, handle, builder, 30000), 0);
  ASSERT_TRUE(ResultRecorder::Get().WaitFor(1));
  EXPECT_EQ(ResultRecorder::Get().Results()[0].code, 0);
  EXPECT_EQ(TiloDestroyBuilder(builder), 0);
}

class DevicePrint : public SimTest {};

TEST_F(DevicePrint, BluetoothPrinterOpensPrintsAndCloses) {
  printer_emulator::BluetoothFront front(sim, kAddress, "RP-S100");
  // A network printer listening where the control protocol's broadcasts go:
  // nothing of a Bluetooth print may reach it.
  auto network = io_test::startEmulator(600);
  ASSERT_NE(network, nullptr);
  const io_test::BroadcastTo broadcast(600);
  io_test::LogCapture log;
  Handle handle;
  ASSERT_EQ(TiloOpenPrinter(nullptr, handle.get(), 1, "00:1a:7d:da:71:13", 15000), 0);
  // The status came from DLE EOT replies, and the display check went out.
  const auto opened = front.receivedBytes();
  EXPECT_TRUE(contains(opened, {0x10, 0x04}));
  EXPECT_TRUE(contains(opened, {0x10, 0x04, 0x12, 0x02}));
  printJob(handle.get(), "over bluetooth\n");
  EXPECT_TRUE(contains(front.receivedBytes(), {'o', 'v', 'e', 'r', ' ', 'b', 'l', 'u', 'e'}));
  EXPECT_EQ(TiloDisconnectPrinter(nullptr, handle.get()), 0);
  EXPECT_FALSE(log.lines({"ClosingOperation"}).empty());
  EXPECT_EQ(sim->OpenConnections(), 0);
  for (const auto& arrival : network->arrivals()) {
    EXPECT_NE(arrival.channel, printer_emulator::Channel::Udp);
  }
}

TEST_F(DevicePrint, UsbPrinterOpensPrintsAndClosesWithVendorRequests) {
  printer_emulator::UsbFront front(sim, "ABC123", "RP-S100");
  io_test::LogCapture log;
  Handle handle;
  ASSERT_EQ(TiloOpenPrinter(nullptr, handle.get(), 2, front.instanceId().c_str(), 15000), 0);
  printJob(handle.get(), "over usb\n");
  EXPECT_TRUE(contains(front.receivedBytes(), {'o', 'v', 'e', 'r', ' ', 'u', 's', 'b'}));
  EXPECT_FALSE(contains(front.receivedBytes(), {0x10, 0x04, 0x12, 0x02}));
  const auto requests = front.controlRequests();
  EXPECT_TRUE(std::any_of(requests.begin(), requests.end(),
                          [](const auto& p) { return p.requestType == 0x40 && p.request == 2; }));
  EXPECT_TRUE(std::any_of(requests.begin(), requests.end(),
                          [](const auto& p) { return p.requestType == 0xC0 && p.request == 1; }));
  EXPECT_EQ(TiloDisconnectPrinter(nullptr, handle.get()), 0);
  EXPECT_TRUE(log.lines({"ClosingOperation"}).empty());
  EXPECT_EQ(sim->OpenConnections(), 0);
}

// A line display shares the printer's Bluetooth connection only when the
// printer answers the display check with a display behind it; without one it
// is refused, whether it comes first or joins a printer, and opens no link of
// its own either way.
TEST_F(DevicePrint, ALineDisplayJoinsABluetoothPrinterOnlyWhenTheModelHasOne) {
  struct Case {
    const char* address;
    bool hasDisplay;
  };
  const Case cases[] = {{"00:1A:7D:DA:71:21", true}, {"00:1A:7D:DA:71:22", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    printer_emulator::BluetoothFront front(sim, c.address, "RP-S100");
    front.state().withModel(
        [&](printer_emulator::PrinterModel& m) { m.setDisplayConnected(c.hasDisplay); });
    const int expected = c.hasDisplay ? 0 : 2;

    // The display as the first user: it opens, and keeps the link only with a display.
    PrintHandle_t* display = nullptr;
    ASSERT_EQ(AcquireSharedConnection(nullptr, kSharedUserDisplay, 1, c.address, 15000, &display),
              expected);
    if (display != nullptr) {
      ASSERT_EQ(ReleaseSharedConnection(nullptr, kSharedUserDisplay, display), 0);
    }
    ASSERT_TRUE(waitFor([&] { return sim->OpenConnections() == 0; }));

    // Behind an open printer: it joins the printer's connection or is refused.
    PrintHandle_t* printer = nullptr;
    ASSERT_EQ(AcquireSharedConnection(nullptr, kSharedUserPrinter, 1, c.address, 15000, &printer),
              0);
    const int attempts = sim->ConnectAttempts(c.address);
    display = nullptr;
    EXPECT_EQ(AcquireSharedConnection(nullptr, kSharedUserDisplay, 1, c.address, 15000, &display),
              expected);
    EXPECT_EQ(display, c.hasDisplay ? printer : nullptr);
    EXPECT_EQ(sim->ConnectAttempts(c.address), attempts);
    EXPECT_EQ(sim->OpenConnections(), 1);
    if (display != nullptr) {
      ASSERT_EQ(ReleaseSharedConnection(nullptr, kSharedUserDisplay, display), 0);
      EXPECT_EQ(sim->OpenConnections(), 1);  // the printer still holds it
    }
    ASSERT_EQ(ReleaseSharedConnection(nullptr, kSharedUserPrinter, printer), 0);
    EXPECT_TRUE(waitFor([&] { return sim->OpenConnections() == 0; }));
  }
}

// Offline shows twice: in the flag of the vendor status request, and as the
// engine's status events from the monitor (the open switched them on).
TEST_F(DevicePrint, AnOfflineUsbPrinterReportsFlagZero) {
  printer_emulator::UsbFront front(sim, "ABC123", "RP-S100");
  Handle handle;
  ASSERT_EQ(TiloOpenPrinter(nullptr, handle.get(), 2, "ABC123", 15000), 0);
  EventRecorder::Get().Clear();
  RecordEvents(handle.get());
  ASSERT_EQ(TiloStartMonitor(nullptr, handle.get()), 0);
  EXPECT_EQ(EventRecorder::Get().Count(EVENT_OFFLINE), 0);
  printer_emulator::Faults faults;
  faults.offline = true;
  front.state().setFaults(faults);
  int flag = 1;
  EXPECT_EQ(TiloIoGetStatus(handle.get()->connection, &flag), 0);
  EXPECT_EQ(flag, 0);
  ASSERT_TRUE(Eventually([&] {
    WakeStatusMonitor(handle.get());
    return EventRecorder::Get().Count(EVENT_OFFLINE) > 0;
  }));
  const auto records = EventRecorder::Get().Records();
  const auto change = std::find_if(records.rbegin(), records.rend(), [](const EventRecord& r) {
    return r.slot == EVENT_STATUS_CHANGE;
  });
  ASSERT_NE(change, records.rend());
  EXPECT_NE(change->value & kStatusOffline, 0u);
  EXPECT_EQ(handle.get()->statusFlags.load() & kStatusOffline, kStatusOffline);
  ASSERT_EQ(TiloStopMonitor(nullptr, handle.get()), 0);
  front.state().setFaults({});
  EXPECT_EQ(TiloIoGetStatus(handle.get()->connection, &flag), 0);
  EXPECT_EQ(flag, 1);
}

}  // namespace
