#include "io/device_bridge.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/platform.h"
#include "io/bluetooth_io.h"
#include "io/device_bridge_internal.h"
#include "io/usb_io.h"

namespace tilo2::core {

namespace {

constexpr uint32_t kBluetoothClosePauseMs = 100;
constexpr int kReadBytes = 128;

std::shared_ptr<OrvikDeviceIo> DeviceOf(void* holder) {
  return holder ? static_cast<IoHolder*>(holder)->device : nullptr;
}

template <class Device>
int OpenDevice(TiloIoConnection_t** out, const char* address, int type) noexcept {
  if (!out) return TILOIO_PARAMETER_ERROR;
  *out = nullptr;
  if (!address) return TILOIO_PARAMETER_ERROR;
  auto* holder = new (std::nothrow) IoHolder;
  if (!holder) return TILOIO_OUT_OF_MEMORY;
  try {
    holder->device = std::make_shared<Device>();
  } catch (...) {
    // An empty holder: openIoHolder answers 5.
  }
  auto* record = new (std::nothrow) TiloIoConnection_t{};
  if (!record) {
    freeIoHolder(holder);
    return TILOIO_OUT_OF_MEMORY;
  }
  int rc = openIoHolder(holder, address);
  char* copy = nullptr;
  if (rc == TILOIO_SUCCESS && !(copy = ::strdup(address))) {
    TiloIoGuarded(false, [&] { holder->device->Close(); });
    rc = TILOIO_OUT_OF_MEMORY;
  }
  if (rc != TILOIO_SUCCESS) {
    freeIoHolder(holder);
    delete record;
    return rc;
  }
  record->type = type;
  record->socket = -1;
  record->address = copy;
  record->device = holder;
  *out = record;
  return TILOIO_SUCCESS;
}

int WriteDevice(void* holder, const void* data, size_t length, int timeoutMs, size_t* written,
                int type) noexcept {
  if (!data || !written) return TILOIO_PARAMETER_ERROR;
  *written = 0;
  if (length == 0) return TILOIO_SUCCESS;
  if (length > static_cast<size_t>(INT_MAX)) return TILOIO_PARAMETER_ERROR;
  const auto device = DeviceOf(holder);
  if (!device) return TILOIO_ILLEGAL_STATE;
  return TiloIoGuarded(false, [&] {
    // The call blocks until the write is over, so the caller's bytes outlive it.
    const std::shared_ptr<const uint8_t[]> bytes(static_cast<const uint8_t*>(data),
                                                 [](const uint8_t*) {});
    *written = device->Write(bytes, static_cast<int>(length), timeoutMs, type);
  });
}

int ReadDevice(void* holder, void* buffer, int timeoutMs, size_t* count) noexcept {
  if (!buffer || !count) return TILOIO_PARAMETER_ERROR;
  *count = 0;
  const auto device = DeviceOf(holder);
  if (!device) return TILOIO_ILLEGAL_STATE;
  return TiloIoGuarded(false, [&] {
    const std::shared_ptr<uint8_t[]> shared(new uint8_t[kReadBytes]());
    const size_t n = device->Read(shared, kReadBytes, timeoutMs);
    std::memcpy(buffer, shared.get(), n);
    *count = n;
  });
}

}  // namespace

int openIoHolder(void* holder, const char* address) {
  if (!address) return TILOIO_PARAMETER_ERROR;
  const auto device = DeviceOf(holder);
  if (!device) return TILOIO_OUT_OF_MEMORY;
  return TiloIoGuarded(true, [&] { device->Open(std::string(address)); });
}

void freeIoHolder(void* holder) { delete static_cast<IoHolder*>(holder); }

int TiloIoBtOpen(TiloIoConnection_t** out, const char* address) {
  return OpenDevice<OrvikBluetoothIo>(out, address, TILOIO_TYPE_BLUETOOTH);
}

int TiloIoUsbOpen(TiloIoConnection_t** out, const char* address) {
  // An empty id would match whichever printer comes first.
  if (out && address && *address == '\0') {
    *out = nullptr;
    return TILOIO_PARAMETER_ERROR;
  }
  return OpenDevice<OrvikUsbIo>(out, address, TILOIO_TYPE_USB);
}

int TiloIoBtClose(void* holder) {
  const auto device = DeviceOf(holder);
  if (!device) return TILOIO_ILLEGAL_STATE;
  device->SetClosing(true);
  const int rc = TiloIoGuarded(false, [&] { device->Close(); });
  if (rc != TILOIO_SUCCESS) {
    // Still open: later writes and reads may reconnect.
    device->SetClosing(false);
    return rc;
  }
  platform_sleep_ms(kBluetoothClosePauseMs);
  return TILOIO_SUCCESS;
}

int TiloIoUsbClose(void* holder) {
  const auto device = DeviceOf(holder);
  if (!device) return TILOIO_ILLEGAL_STATE;
  return TiloIoGuarded(false, [&] { device->Close(); });
}

int TiloIoBtWrite(void* holder, const void* data, size_t length, int timeoutMs, size_t* written) {
  return WriteDevice(holder, data, length, timeoutMs, written, TILOIO_TYPE_BLUETOOTH);
}

int TiloIoUsbWrite(void* holder, const void* data, size_t length, int timeoutMs, size_t* written) {
  return WriteDevice(holder, data, length, timeoutMs, written, TILOIO_TYPE_USB);
}

int TiloIoBtRead(void* holder, void* buffer, int timeoutMs, size_t* count) {
  return ReadDevice(holder, buffer, timeoutMs, count);
}

int TiloIoUsbRead(void* holder, void* buffer, int timeoutMs, size_t* count) {
  return ReadDevice(holder, buffer, timeoutMs, count);
}

int TiloIoUsbControl(void* holder, int value) {
  const auto device = DeviceOf(holder);
  if (!device) return TILOIO_ILLEGAL_STATE;
  return TiloIoGuarded(false, [&] { device->Control(std::string(), value); });
}

int TiloIoUsbGetStatus(void* holder, int* flag) {
  if (!flag) return TILOIO_PARAMETER_ERROR;
  *flag = 0;
  const auto device = DeviceOf(holder);
  if (!device) return TILOIO_ILLEGAL_STATE;
  return TiloIoGuarded(false, [&] {
    const auto value = std::make_shared<int>(0);
    device->GetStatus(std::string(), value);
    *flag = *value;
  });
}

int TiloIoUsbCheckOnline(void* holder, int* online) {
  if (!online) return TILOIO_PARAMETER_ERROR;
  *online = 0;
  const auto device = DeviceOf(holder);
  if (!device) return TILOIO_ILLEGAL_STATE;
  return TiloIoGuarded(false, [&] {
    const auto usb = std::dynamic_pointer_cast<OrvikUsbIo>(device);
    if (!usb) std::rethrow_exception(TiloIoResultToException(TILOIO_ILLEGAL_STATE));
    const auto value = std::make_shared<int>(0);
    usb->CheckOnline(std::string(), value);
    *online = *value;
  });
}

}  // namespace tilo2::core
