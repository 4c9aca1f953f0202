#include "component/bluetooth_pairing.h"

#include <mutex>
#include <utility>

#include "component/run_async.h"
#include "orvik/tilo2/exceptions.h"

namespace tilo2::core {

namespace {

using ::Orvik::Tilo::Tilo2::IAsyncAction;
using ::Orvik::Tilo::Tilo2::IAsyncOperation;
using ::Orvik::Tilo::Tilo2::kENotImpl;
using ::Orvik::Tilo::Tilo2::RuntimeException;
using ::Orvik::Tilo::Tilo2::String;

class UnavailableBluetoothPairing final : public IBluetoothPairing {
 public:
  IAsyncOperation<std::vector<PairedSerialPortDevice>> FindPairedSerialPortDevices() override {
    return RunAsync([]() -> std::vector<PairedSerialPortDevice> {
      throw RuntimeException(kENotImpl, "no Bluetooth device enumeration");
    });
  }

  IAsyncAction OpenSerialService(const String&) override {
    return RunAsync([] { throw RuntimeException(kENotImpl, "no Bluetooth serial service"); });
  }
};

struct Installed {
  std::mutex mutex;
  std::shared_ptr<IBluetoothPairing> service;
};

Installed& Current() {
  static auto* installed = new Installed();  // never destroyed: a pool task may still ask
  return *installed;
}

}  // namespace

std::shared_ptr<IBluetoothPairing> BluetoothPairing() {
  Installed& installed = Current();
  std::lock_guard<std::mutex> lock(installed.mutex);
  if (!installed.service) installed.service = std::make_shared<UnavailableBluetoothPairing>();
  return installed.service;
}

void SetBluetoothPairing(std::shared_ptr<IBluetoothPairing> service) {
  Installed& installed = Current();
  std::shared_ptr<IBluetoothPairing> previous;  // released outside the lock
  std::lock_guard<std::mutex> lock(installed.mutex);
  previous = std::move(installed.service);
  installed.service = std::move(service);
}

}  // namespace tilo2::core
