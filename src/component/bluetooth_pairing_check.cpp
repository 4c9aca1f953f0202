#include "component/bluetooth_pairing_check.h"

#include <memory>
#include <string>
#include <vector>

#include "component/api_log.h"
#include "component/async_frame.h"
#include "component/bluetooth_pairing.h"
#include "component/result_codes.h"
#include "component/run_async.h"

namespace tilo2::core::CommonUtils {

namespace {

using ::Orvik::Tilo::Tilo2::IAsyncAction;
using ::Orvik::Tilo::Tilo2::IAsyncOperation;
using ::Orvik::Tilo::Tilo2::String;

constexpr std::u16string_view kBluetoothPrefix = u"BT:";
constexpr char kPairedText[] = "Bluetooth is paired.";
constexpr char kNotPairedText[] = "Bluetooth isn't paired.";

char16_t UpperAscii(char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }

// Addresses compare upper-cased and without separators: the app may write
// "00:01:90:aa:bb:cc" where the system reports "000190AABBCC".
std::u16string AddressKey(std::u16string_view address, bool dropColons) {
  std::u16string key;
  key.reserve(address.size());
  for (const char16_t c : address) {
    if (dropColons && c == u':') continue;
    key.push_back(UpperAscii(c));
  }
  return key;
}

IAsyncAction CompletedAction() {
  auto state = std::make_shared<IAsyncAction::State>();
  state->TryStart();
  state->SetValue({});
  return IAsyncAction(state);
}

}  // namespace

IAsyncAction ConnectBtDeviceAsync(const String& target) {
  const std::u16string text(target.u16());
  const size_t prefix = text.find(kBluetoothPrefix);
  if (prefix == std::u16string::npos) return CompletedAction();
  std::u16string address = text;
  address.erase(prefix, kBluetoothPrefix.size());
  const std::u16string wanted = AddressKey(address, true);

  // The query starts on the pool, so whatever the service throws reaches the filter.
  auto query = RunAsync([] { return BluetoothPairing()->FindPairedSerialPortDevices(); });
  auto opened = query.then(
      [target, wanted](const IAsyncOperation<std::vector<PairedSerialPortDevice>>& found) {
        const std::vector<PairedSerialPortDevice> devices = found.get();
        for (const PairedSerialPortDevice& device : devices) {
          if (AddressKey(device.address.u16(), false) != wanted) continue;
          LogBtInfo(kPairedText, {target});
          return BluetoothPairing()->OpenSerialService(device.id);
        }
        LogBtInfo(kNotPairedText, {target});
        throw MakeException(kErrConnectNumber);
      });
  return opened.then(Tilo2ObserveException<void>{kErrConnectNumber});
}

}  // namespace tilo2::core::CommonUtils
