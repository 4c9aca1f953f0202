#include "component/device_frame.h"

#include "component/thread_pool.h"

namespace tilo2::core {

namespace {

// How many core callback frames this thread is inside.
thread_local int coreCallbackDepth = 0;

}  // namespace

bool InCoreCallback() noexcept { return coreCallbackDepth > 0; }

CoreCallbackScope::CoreCallbackScope() noexcept { ++coreCallbackDepth; }

CoreCallbackScope::~CoreCallbackScope() { --coreCallbackDepth; }

void DeleteDevice(const ::Orvik::Tilo::Tilo2::Object* device) noexcept {
  if (device == nullptr) return;
  if (!InCoreCallback()) {
    delete device;
    return;
  }
  try {
    PoolSubmit([device] { delete device; });
  } catch (...) {
    // No worker exists and none can start; see the declaration.
  }
}

}  // namespace tilo2::core

namespace Orvik::Tilo::Tilo2 {

IDevice::~IDevice() = default;

ConnectionChangedEventArgs::ConnectionChangedEventArgs(ConnectionEvent eventType)
    : eventType_(eventType) {}

ConnectionChangedEventArgs::~ConnectionChangedEventArgs() = default;

String ConnectionChangedEventArgs::GetRuntimeClassName() const {
  return "Orvik.Tilo.Tilo2.ConnectionChangedEventArgs";
}

}  // namespace Orvik::Tilo::Tilo2
