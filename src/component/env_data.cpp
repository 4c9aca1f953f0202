#include "component/env_data.h"

#include "component/device_information.h"

namespace tilo2::core::CommonUtils {

namespace {

constexpr char kVirtualProductName[] = "Virtual";

}  // namespace

bool IsVirtualMachine() noexcept {
  try {
    const std::shared_ptr<const DeviceInformation> information = GetDeviceInformation();
    return information != nullptr && information->systemProductName == kVirtualProductName;
  } catch (...) {
    return false;
  }
}

std::shared_ptr<TdcEnvData_t> CreateEnvData() {
  auto record = std::make_shared<TdcEnvData_t>();  // value-initialised: every field zero
  record->isVirtual = IsVirtualMachine() ? 1 : 0;
  return record;
}

}  // namespace tilo2::core::CommonUtils
