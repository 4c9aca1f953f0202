#include "io/usb_io.h"

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "io/device_errors.h"
#include "io/device_text.h"
#include "io/io_types.h"

namespace tilo2::core {

namespace {

constexpr const char* kSource = "core\\tiloprint\\MobileIO\\OrvikUsbIo";

[[noreturn]] void Fail(int result) { std::rethrow_exception(TiloIoResultToException(result)); }

[[noreturn]] void FailAt(int line, int result) {
  log_error_line("ERROR", kSource, line);
  Fail(result);
}

}  // namespace

OrvikUsbIo::OrvikUsbIo() { platform_mutex_init(&deviceLock_); }

OrvikUsbIo::~OrvikUsbIo() {
  try {
    Close();
  } catch (...) {
  }
  platform_mutex_destroy(&deviceLock_);
}

std::shared_ptr<hal::UsbDevice> OrvikUsbIo::Device() {
  const PlatformLockGuard lock(deviceLock_);
  return device_;
}

void OrvikUsbIo::Open(const std::string& address) {
  if (Device()) FailAt(52, TILOIO_ILLEGAL_STATE);
  BeginOpen(address);
  try {
    std::vector<hal::DeviceRecord> records;
    try {
      records = hal::FindAll(hal::Selector::UsbPrinter(),
                             {hal::kKeyDeviceInstanceId, hal::kKeyItemNameDisplay});
    } catch (const hal::Cancelled&) {
      throw;
    } catch (...) {
      Fail(TILOIO_CONNECT_ERROR);
    }
    const std::string wanted = asciiUpper(address);
    const hal::DeviceRecord* winner = nullptr;
    for (const auto& record : records) {
      const auto it = record.properties.find(hal::kKeyDeviceInstanceId);
      const std::string& instance = it != record.properties.end() ? it->second : record.id;
      if (asciiUpper(instance).find(wanted) != std::string::npos) {
        winner = &record;
        break;
      }
    }
    if (!winner) Fail(TILOIO_CONNECT_ERROR);
    std::shared_ptr<hal::UsbDevice> device = hal::UsbOpen(winner->id);
    {
      const PlatformLockGuard lock(deviceLock_);
      device_ = device;
    }
    if (!device) Fail(TILOIO_CONNECT_ERROR);
    // The first pipes of the matched device, whatever its place in the list:
    // a second printer stays openable.
    auto input = device->BulkIn();
    auto output = device->BulkOut();
    if (!input || !output) Fail(TILOIO_FAILURE);
    StartReceiving(std::move(input), std::move(output));
  } catch (...) {
    ObserveException(TILOIO_FAILURE);
  }
}

void OrvikUsbIo::Control(const std::string&, int value) {
  const std::shared_ptr<hal::UsbDevice> device = Device();
  if (!device) FailAt(288, TILOIO_ILLEGAL_STATE);
  try {
    const uint16_t expected = value == 1 ? 0 : 2;
    const hal::UsbSetupPacket control{kRequestTypeOut, kRequestControl, expected, 0, 0};
    if (device->ControlOut(control) != 0) FailAt(320, TILOIO_FAILURE);
    const hal::UsbSetupPacket status{kRequestTypeIn, kRequestStatus, 0, 0, 2};
    const std::vector<uint8_t> reply = device->ControlIn(status, 2);
    // An empty reply confirms nothing, and that is no failure.
    if (!reply.empty() && (reply[0] & 0x02) != expected) FailAt(374, TILOIO_FAILURE);
  } catch (...) {
    ObserveException(TILOIO_FAILURE);
  }
}

void OrvikUsbIo::QueryStatus(const std::shared_ptr<int>& out, int notOpenLine) {
  if (!out) Fail(TILOIO_PARAMETER_ERROR);
  const std::shared_ptr<hal::UsbDevice> device = Device();
  if (!device) FailAt(notOpenLine, TILOIO_ILLEGAL_STATE);
  try {
    const hal::UsbSetupPacket status{kRequestTypeIn, kRequestStatus, 0, 0, 2};
    const std::vector<uint8_t> reply = device->ControlIn(status, 2);
    if (!reply.empty()) *out = (reply[0] & 0x01) ? 0 : 1;
  } catch (...) {
    ObserveException(TILOIO_FAILURE);
  }
}

void OrvikUsbIo::GetStatus(const std::string&, const std::shared_ptr<int>& out) {
  QueryStatus(out, 143);
}

void OrvikUsbIo::CheckOnline(const std::string&, const std::shared_ptr<int>& out) {
  QueryStatus(out, 218);
}

void OrvikUsbIo::ReleaseTransport() {
  std::shared_ptr<hal::UsbDevice> device;
  {
    const PlatformLockGuard lock(deviceLock_);
    device = std::move(device_);
    device_.reset();
  }
  if (device) device->Close();
}

}  // namespace tilo2::core
