// The Linux backend: routes each call to its transport's half. Ids tell the
// halves apart: Bluetooth ids begin with "Bluetooth#", USB ids with "USB\".

#include "hal/linux_backend.h"

#include <atomic>
#include <utility>

#include "foundation/lock_guard.h"

namespace tilo2::core::hal {

namespace {

bool IsBluetoothId(const std::string& id) { return id.rfind("Bluetooth#", 0) == 0; }

class IdleWatcher : public Watcher {
 public:
  WatcherToken OnAdded(WatcherHandler) override { return ++next_; }
  WatcherToken OnUpdated(WatcherHandler) override { return ++next_; }
  void Remove(WatcherToken) override {}
  void Start() override {}
  void Stop() override {}

 private:
  std::atomic<WatcherToken> next_{0};
};

class AbsentUsb : public LinuxUsb {
 public:
  std::vector<DeviceRecord> FindAll(const Selector&) override { return {}; }
  std::optional<DeviceRecord> CreateFromId(const std::string&) override { return std::nullopt; }
  std::shared_ptr<Watcher> CreateWatcher(const Selector&) override { return CreateIdleWatcher(); }
  std::shared_ptr<UsbDevice> Open(const std::string&) override { return nullptr; }
};

class AbsentBluetooth : public LinuxBluetooth {
 public:
  std::vector<DeviceRecord> FindAll() override { return {}; }
  std::optional<DeviceRecord> CreateFromId(const std::string&) override { return std::nullopt; }
  std::shared_ptr<Watcher> CreateWatcher() override { return CreateIdleWatcher(); }
  std::optional<RfcommService> GetRfcommService(const std::string&) override {
    return std::nullopt;
  }
  std::shared_ptr<RfcommConnection> Connect(const RfcommService&, int) override {
    throw Error(kHrAccessDenied);
  }
};

class LinuxBackendImpl : public Backend {
 public:
  LinuxBackendImpl(std::unique_ptr<LinuxUsb> usb, std::unique_ptr<LinuxBluetooth> bluetooth)
      : usb_(std::move(usb)), bluetooth_(std::move(bluetooth)) {}

  std::vector<DeviceRecord> FindAll(const Selector& selector,
                                    const std::vector<std::string>&) override {
    if (selector.kind == Selector::Kind::kUsbDevice) return usb_->FindAll(selector);
    return bluetooth_->FindAll();
  }
  std::optional<DeviceRecord> CreateFromId(const std::string& id,
                                           const std::vector<std::string>&) override {
    if (IsBluetoothId(id)) return bluetooth_->CreateFromId(id);
    return usb_->CreateFromId(id);
  }
  std::shared_ptr<Watcher> CreateWatcher(const Selector& selector) override {
    if (selector.kind == Selector::Kind::kUsbDevice) return usb_->CreateWatcher(selector);
    return bluetooth_->CreateWatcher();
  }
  std::optional<RfcommService> GetRfcommService(const std::string& id) override {
    return bluetooth_->GetRfcommService(id);
  }
  std::shared_ptr<RfcommConnection> ConnectRfcomm(const RfcommService& service,
                                                  int protectionLevel) override {
    return bluetooth_->Connect(service, protectionLevel);
  }
  std::shared_ptr<UsbDevice> UsbOpen(const std::string& id) override { return usb_->Open(id); }

 private:
  std::unique_ptr<LinuxUsb> usb_;
  std::unique_ptr<LinuxBluetooth> bluetooth_;
};

}  // namespace

std::shared_ptr<Watcher> CreateIdleWatcher() { return std::make_shared<IdleWatcher>(); }
std::unique_ptr<LinuxUsb> CreateAbsentUsb() { return std::make_unique<AbsentUsb>(); }
std::unique_ptr<LinuxBluetooth> CreateAbsentBluetooth() {
  return std::make_unique<AbsentBluetooth>();
}

#if !TILO2_HAL_USB
std::unique_ptr<LinuxUsb> CreateLinuxUsb() { return CreateAbsentUsb(); }
#endif
#if !TILO2_HAL_BLUETOOTH
std::unique_ptr<LinuxBluetooth> CreateLinuxBluetooth() { return CreateAbsentBluetooth(); }
#endif

std::shared_ptr<Backend> CreateLinuxBackend() {
  return std::make_shared<LinuxBackendImpl>(CreateLinuxUsb(), CreateLinuxBluetooth());
}

}  // namespace tilo2::core::hal
