#pragma once
// The USB transport of the direct connections: the maker's USB printer named
// by (a part of) its instance id, data over its bulk pipes, and the vendor
// control transfers for the interface control, status and online probe.

#include <memory>
#include <string>

#include "foundation/platform.h"
#include "hal/hal.h"
#include "io/device_io.h"

namespace tilo2::core {

class OrvikUsbIo : public OrvikDeviceIo {
 public:
  // Vendor requests on the default control endpoint.
  static constexpr uint8_t kRequestTypeOut = 0x40;
  static constexpr uint8_t kRequestTypeIn = 0xC0;
  static constexpr uint8_t kRequestStatus = 1;
  static constexpr uint8_t kRequestControl = 2;

  OrvikUsbIo();
  ~OrvikUsbIo() override;

  using OrvikDeviceIo::Open;
  void Open(const std::string& address) override;
  void Control(const std::string& text, int value) override;
  void GetStatus(const std::string& text, const std::shared_ptr<int>& out) override;
  void CheckOnline(const std::string& text, const std::shared_ptr<int>& out);

 protected:
  void ReleaseTransport() override;

 private:
  std::shared_ptr<hal::UsbDevice> Device();
  void QueryStatus(const std::shared_ptr<int>& out, int notOpenLine);

  // Guards device_: a Close or a reconnect may swap it under a status query.
  PlatformMutex_t deviceLock_;
  std::shared_ptr<hal::UsbDevice> device_;  // held while open
};

}  // namespace tilo2::core
