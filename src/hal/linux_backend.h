#pragma once
// The Linux backend and its two halves, each in files of its own: USB on
// libusb-1.0 (linux_usb.cpp) and Bluetooth on BlueZ (linux_bluez.cpp). A half
// that is not built answers as a machine without that hardware does: nothing
// listed, watchers that find nothing, opens that find no device.

#include <memory>

#include "hal/hal.h"

namespace tilo2::core::hal {

// One half of the Linux backend: the calls of its own transport.
class LinuxUsb {
 public:
  virtual ~LinuxUsb() = default;
  virtual std::vector<DeviceRecord> FindAll(const Selector& selector) = 0;
  virtual std::optional<DeviceRecord> CreateFromId(const std::string& id) = 0;
  virtual std::shared_ptr<Watcher> CreateWatcher(const Selector& selector) = 0;
  virtual std::shared_ptr<UsbDevice> Open(const std::string& id) = 0;
};

class LinuxBluetooth {
 public:
  virtual ~LinuxBluetooth() = default;
  virtual std::vector<DeviceRecord> FindAll() = 0;
  virtual std::optional<DeviceRecord> CreateFromId(const std::string& id) = 0;
  virtual std::shared_ptr<Watcher> CreateWatcher() = 0;
  virtual std::optional<RfcommService> GetRfcommService(const std::string& id) = 0;
  virtual std::shared_ptr<RfcommConnection> Connect(const RfcommService& service,
                                                    int protectionLevel) = 0;
};

// The halves as built (TILO2_HAL_USB, TILO2_HAL_BLUETOOTH); a half left out
// gives the empty one.
std::unique_ptr<LinuxUsb> CreateLinuxUsb();
std::unique_ptr<LinuxBluetooth> CreateLinuxBluetooth();
std::unique_ptr<LinuxUsb> CreateAbsentUsb();
std::unique_ptr<LinuxBluetooth> CreateAbsentBluetooth();

// A watcher that starts, stops and reports nothing.
std::shared_ptr<Watcher> CreateIdleWatcher();

// The whole Linux backend on the halves as built.
std::shared_ptr<Backend> CreateLinuxBackend();

}  // namespace tilo2::core::hal
