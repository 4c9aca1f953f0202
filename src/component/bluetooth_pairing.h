#pragma once
// The system's Bluetooth pairings, as the pairing check before a Bluetooth
// connect needs them: the paired devices offering the serial-port service, and
// opening that service on one of them. Until a Bluetooth backend provides
// them, the query fails with kENotImpl.

#include <memory>
#include <vector>

#include "orvik/tilo2/async.h"
#include "orvik/tilo2/string.h"

namespace tilo2::core {

struct PairedSerialPortDevice {
  ::Orvik::Tilo::Tilo2::String id;
  // The device's Bluetooth address as the system gives it, e.g. "000190AABBCC".
  ::Orvik::Tilo::Tilo2::String address;
};

class IBluetoothPairing {
 public:
  virtual ~IBluetoothPairing() = default;
  virtual ::Orvik::Tilo::Tilo2::IAsyncOperation<std::vector<PairedSerialPortDevice>>
  FindPairedSerialPortDevices() = 0;
  virtual ::Orvik::Tilo::Tilo2::IAsyncAction OpenSerialService(
      const ::Orvik::Tilo::Tilo2::String& id) = 0;
};

// The service in use: the one installed last, else the default.
std::shared_ptr<IBluetoothPairing> BluetoothPairing();

// Installs the service a Bluetooth backend (or a test) provides; null restores
// the default.
void SetBluetoothPairing(std::shared_ptr<IBluetoothPairing> service);

}  // namespace tilo2::core
