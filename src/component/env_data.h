#pragma once
// The environment record the runtime classes hand to every core call that
// reaches a backend. The device API layer copies what each backend needs out
// of it (TdcBackendEnv_t of the io layer): both backends get the two contexts
// and the port's context, only the direct backend the is-virtual flag.

#include <cstdint>
#include <memory>

#include "device/device_types.h"

namespace tilo2::core {

namespace CommonUtils {

// True when the machine's system product name is "Virtual", compared exactly
// (case-sensitive). Never throws: a failure to learn the name gives false.
bool IsVirtualMachine() noexcept;

// A zero-filled record with isVirtual from IsVirtualMachine. Throws only
// std::bad_alloc.
std::shared_ptr<TdcEnvData_t> CreateEnvData();

}  // namespace CommonUtils

}  // namespace tilo2::core
