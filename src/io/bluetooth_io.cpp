#include "io/bluetooth_io.h"

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "io/device_errors.h"
#include "io/device_text.h"
#include "io/io_types.h"

namespace tilo2::core {

namespace {

constexpr const char* kSource = "core\\tiloprint\\MobileIO\\OrvikBluetoothIo";

[[noreturn]] void Fail(int result) { std::rethrow_exception(TiloIoResultToException(result)); }

// Twelve upper-case digits of an address in either case, colons removed.
std::string AddressDigits(const std::string& address) {
  std::string digits;
  for (const char c : asciiUpper(address)) {
    if (c != ':') digits += c;
  }
  return digits;
}

}  // namespace

OrvikBluetoothIo::OrvikBluetoothIo() { platform_mutex_init(&transportLock_); }

OrvikBluetoothIo::~OrvikBluetoothIo() {
  try {
    Close();
  } catch (...) {
  }
  platform_mutex_destroy(&transportLock_);
}

void OrvikBluetoothIo::Open(const std::string& address) {
  if (!isValidBluetoothAddress(address)) Fail(TILOIO_PARAMETER_ERROR);
  {
    const PlatformLockGuard lock(transportLock_);
    if (service_) {
      log_error_line("ERROR", kSource, 55);
      Fail(TILOIO_ILLEGAL_STATE);
    }
  }
  BeginOpen(address);
  try {
    std::vector<hal::DeviceRecord> records;
    try {
      records = hal::FindAll(hal::Selector::BluetoothSerialPort(), {hal::kKeyBluetoothAddress});
    } catch (const hal::Cancelled&) {
      throw;
    } catch (...) {
      Fail(TILOIO_CONNECT_ERROR);
    }
    const std::string digits = AddressDigits(address);
    const hal::DeviceRecord* winner = nullptr;
    for (const auto& record : records) {
      const auto it = record.properties.find(hal::kKeyBluetoothAddress);
      if (it != record.properties.end() && asciiUpper(it->second) == digits) {
        winner = &record;
        break;
      }
    }
    if (!winner) Fail(TILOIO_CONNECT_ERROR);
    std::optional<hal::RfcommService> service = hal::GetRfcommService(winner->id);
    {
      const PlatformLockGuard lock(transportLock_);
      service_ = service;
    }
    if (!service) Fail(TILOIO_CONNECT_ERROR);
    Connect(*service);
  } catch (...) {
    try {
      ObserveException(TILOIO_CONNECT_ERROR);
    } catch (...) {
      ObserveException(TILOIO_FAILURE);
    }
  }
  try {
    std::shared_ptr<hal::RfcommConnection> link;
    {
      const PlatformLockGuard lock(transportLock_);
      link = link_;
    }
    if (!link) Fail(TILOIO_FAILURE);
    auto input = link->Input();
    auto output = link->Output();
    if (!input || !output) Fail(TILOIO_FAILURE);
    StartReceiving(std::move(input), std::move(output));
  } catch (...) {
    ObserveException(TILOIO_FAILURE);
  }
}

void OrvikBluetoothIo::Connect(const hal::RfcommService& service) {
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    try {
      std::shared_ptr<hal::RfcommConnection> link =
          hal::ConnectRfcomm(service, hal::kProtectionBluetoothEncryptionAllowNullAuthentication);
      if (link) {
        const PlatformLockGuard lock(transportLock_);
        link_ = std::move(link);
        return;
      }
    } catch (...) {
      // A refused or cancelled attempt only costs the pause below.
    }
    platform_sleep_ms(kConnectPauseMs);
  }
  Fail(TILOIO_CONNECT_ERROR);
}

void OrvikBluetoothIo::ReleaseTransport() {
  std::shared_ptr<hal::RfcommConnection> link;
  {
    const PlatformLockGuard lock(transportLock_);
    link = std::move(link_);
    link_.reset();
    service_.reset();
  }
  if (link) link->Close();
}

}  // namespace tilo2::core
