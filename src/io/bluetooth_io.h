#pragma once
// The Bluetooth transport of the direct connections: a serial-port (RFCOMM)
// link to the printer with the given address, over the hardware access layer.

#include <memory>
#include <optional>
#include <string>

#include "foundation/platform.h"
#include "hal/hal.h"
#include "io/device_io.h"

namespace tilo2::core {

class OrvikBluetoothIo : public OrvikDeviceIo {
 public:
  static constexpr int kConnectAttempts = 3;
  static constexpr uint32_t kConnectPauseMs = 100;

  OrvikBluetoothIo();
  ~OrvikBluetoothIo() override;

  using OrvikDeviceIo::Open;
  // Finds the device by its address ("00:1A:7D:DA:71:13", either case) among
  // the paired serial-port services and connects.
  void Open(const std::string& address) override;

 protected:
  void ReleaseTransport() override;

 private:
  void Connect(const hal::RfcommService& service);

  // Guards service_ and link_ against a Close racing an Open's check.
  PlatformMutex_t transportLock_;
  std::optional<hal::RfcommService> service_;  // held while open
  std::shared_ptr<hal::RfcommConnection> link_;
};

}  // namespace tilo2::core
