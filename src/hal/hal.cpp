// The layer's entry points: the error type, backend selection and the calls
// that forward to the selected backend.

#include "hal/hal.h"

#include <cstdio>
#include <utility>

#include "foundation/lock_guard.h"
#include "hal/linux_backend.h"

#ifndef TILO2_USB_VENDOR_ID
#define TILO2_USB_VENDOR_ID 0
#endif

namespace tilo2::core {

namespace hal {

Error::Error(Hresult hresult) noexcept : hresult_(hresult) {
  std::snprintf(text_, sizeof text_, "hal: HRESULT 0x%08X", static_cast<unsigned>(hresult));
}

uint16_t UsbVendorId() { return static_cast<uint16_t>(TILO2_USB_VENDOR_ID); }

namespace {

PlatformMutex_t g_backendLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
// Leaked on purpose: calls may still run on it while the process exits.
std::shared_ptr<Backend>* g_installed = new std::shared_ptr<Backend>();

}  // namespace

std::shared_ptr<Backend> LinuxBackend() {
  static std::shared_ptr<Backend>* backend = new std::shared_ptr<Backend>(CreateLinuxBackend());
  return *backend;
}

std::shared_ptr<Backend> GetBackend() {
  {
    PlatformLockGuard guard(g_backendLock);
    if (*g_installed) return *g_installed;
  }
  return LinuxBackend();
}

void SetBackend(std::shared_ptr<Backend> backend) {
  std::shared_ptr<Backend> previous;
  {
    PlatformLockGuard guard(g_backendLock);
    previous = std::exchange(*g_installed, std::move(backend));
  }
  // previous is released here, outside the lock.
}

std::vector<DeviceRecord> FindAll(const Selector& selector, const std::vector<std::string>& keys) {
  return GetBackend()->FindAll(selector, keys);
}

std::optional<DeviceRecord> CreateFromId(const std::string& id,
                                         const std::vector<std::string>& keys) {
  return GetBackend()->CreateFromId(id, keys);
}

std::shared_ptr<Watcher> CreateWatcher(const Selector& selector) {
  return GetBackend()->CreateWatcher(selector);
}

std::optional<RfcommService> GetRfcommService(const std::string& id) {
  return GetBackend()->GetRfcommService(id);
}

std::shared_ptr<RfcommConnection> ConnectRfcomm(const RfcommService& service, int protectionLevel) {
  return GetBackend()->ConnectRfcomm(service, protectionLevel);
}

std::shared_ptr<UsbDevice> UsbOpen(const std::string& id) { return GetBackend()->UsbOpen(id); }

}  // namespace hal

uint64_t TiloIoGetOsVersion() {
  try {
    return hal::GetBackend()->OsVersion();
  } catch (...) {
    return 0;
  }
}

}  // namespace tilo2::core
