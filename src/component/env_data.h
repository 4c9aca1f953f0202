#pragma once
// The environment record the runtime classes hand to every core call that
// reaches a backend. The device API layer copies what each backend needs out
// of it (TdcBackendEnv_t of the io layer): both backends get the two contexts
// and the port's context, only the direct backend the is-virtual flag.

#include <cstdint>
#include <memory>

namespace tilo2::core {

// The field order is fixed: the device API layer reads the fields by position.
struct TdcEnvData_t {
  void* context1;  // platform contexts for both backends; null from the runtime classes
  void* context2;
  void* reserved;          // read by nothing
  int32_t isVirtual;       // 1 when the system product name is exactly "Virtual"
  void* bluetoothContext;  // handed to a backend only for a Bluetooth target; null
  void* usbContext;        // handed to a backend only for a USB target; null
};

namespace CommonUtils {

// True when the machine's system product name is "Virtual", compared exactly
// (case-sensitive). Never throws: a failure to learn the name gives false.
bool IsVirtualMachine() noexcept;

// A zero-filled record with isVirtual from IsVirtualMachine. Throws only
// std::bad_alloc.
std::shared_ptr<TdcEnvData_t> CreateEnvData();

}  // namespace CommonUtils

}  // namespace tilo2::core
