// USB printers through libusb-1.0. Without a USB bus (no context, no device
// nodes) nothing is listed, watchers find nothing and opens find no device.

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "foundation/lock_guard.h"
#include "hal/linux_backend.h"
#include "hal/loop_watcher.h"
#include "hal/usb_map.h"

namespace tilo2::core::hal {

namespace {

// Bulk-in is polled in short transfers so a close is seen within this time.
constexpr unsigned kBulkInSliceMs = 200;
constexpr unsigned kControlTimeoutMs = 5000;

// One libusb context, shared by the half, its watchers and open devices.
struct UsbContext {
  libusb_context* ctx = nullptr;
  ~UsbContext() {
    if (ctx != nullptr) libusb_exit(ctx);
  }
};

std::string ReadString(libusb_device_handle* handle, uint8_t index) {
  if (index == 0) return {};
  unsigned char text[256];
  const int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
  return n > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n)) : std::string();
}

std::string PortPathOf(libusb_device* device) {
  uint8_t ports[8];
  const int n = libusb_get_port_numbers(device, ports, sizeof ports);
  std::vector<int> path;
  for (int i = 0; i < n; ++i) path.push_back(ports[i]);
  return UsbPortPath(libusb_get_bus_number(device), path);
}

// The record of a device; the strings need read access, else the port path
// names it and the name is empty.
DeviceRecord RecordOf(libusb_device* device, const libusb_device_descriptor& descriptor) {
  std::string serial;
  std::string product;
  libusb_device_handle* handle = nullptr;
  if (libusb_open(device, &handle) == 0) {
    serial = ReadString(handle, descriptor.iSerialNumber);
    product = ReadString(handle, descriptor.iProduct);
    libusb_close(handle);
  }
  return UsbRecord(
      UsbInstanceId(descriptor.idVendor, descriptor.idProduct, serial, PortPathOf(device)),
      product);
}

// The open device: released when its streams and the device object are gone,
// so a close never pulls the handle from under a running transfer.
struct OpenHandle {
  std::shared_ptr<UsbContext> context;
  libusb_device_handle* handle = nullptr;
  uint8_t bulkIn = 0;
  uint8_t bulkOut = 0;
  std::atomic<bool> closed{false};
  std::atomic<bool> gone{false};
  ~OpenHandle() {
    if (handle != nullptr) {
      libusb_release_interface(handle, 0);
      libusb_close(handle);
    }
  }
};

class UsbIn : public InputStream {
 public:
  explicit UsbIn(std::shared_ptr<OpenHandle> open) : open_(std::move(open)) {}
  size_t Load(void* buffer, size_t max) override {
    if (max == 0) {
      if (open_->closed.load()) throw Cancelled();
      return 0;
    }
    for (;;) {
      if (open_->closed.load()) throw Cancelled();
      if (!pending_.empty()) {
        const size_t n = std::min(max, pending_.size());
        std::memcpy(buffer, pending_.data(), n);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
      }
      // Whole packets only: a buffer of 4 KiB takes any packet size.
      unsigned char data[4096];
      int got = 0;
      const int rc = libusb_bulk_transfer(open_->handle, open_->bulkIn, data, sizeof data, &got,
                                          kBulkInSliceMs);
      if (got > 0) {
        pending_.assign(data, data + got);
        continue;
      }
      // A time-out or a zero-length packet is not the end; a vanished device is.
      if (rc == 0 || rc == LIBUSB_ERROR_TIMEOUT || rc == LIBUSB_ERROR_INTERRUPTED) continue;
      if (rc == LIBUSB_ERROR_NO_DEVICE) {
        open_->gone.store(true);
        return 0;
      }
      throw Error(kHrFail);
    }
  }
  void Close() noexcept override { open_->closed.store(true); }

 private:
  std::shared_ptr<OpenHandle> open_;
  std::vector<unsigned char> pending_;
};

class UsbOut : public OutputStream {
 public:
  explicit UsbOut(std::shared_ptr<OpenHandle> open) : open_(std::move(open)) {}
  size_t Store(const void* data, size_t length, Deadline deadline) override {
    if (open_->closed.load() || open_->gone.load()) throw Error(kHrFail);
    auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
    size_t sent = 0;
    while (sent < length) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
              .count();
      if (left <= 0) break;
      int done = 0;
      const int chunk = static_cast<int>(std::min<size_t>(length - sent, 1 << 20));
      const int rc = libusb_bulk_transfer(open_->handle, open_->bulkOut, bytes + sent, chunk, &done,
                                          static_cast<unsigned>(std::min<int64_t>(left, 60000)));
      sent += static_cast<size_t>(std::max(done, 0));
      if (rc == 0 || rc == LIBUSB_ERROR_TIMEOUT) continue;
      if (rc == LIBUSB_ERROR_NO_DEVICE) open_->gone.store(true);
      if (sent > 0) return sent;
      throw Error(kHrFail);
    }
    return sent;
  }
  bool Flush(Deadline) override {
    if (open_->closed.load()) throw Error(kHrFail);
    return true;  // a completed bulk transfer has left
  }
  void Close() noexcept override { open_->closed.store(true); }

 private:
  std::shared_ptr<OpenHandle> open_;
};

class LibusbDevice : public UsbDevice {
 public:
  explicit LibusbDevice(std::shared_ptr<OpenHandle> open)
      : open_(open), in_(std::make_shared<UsbIn>(open)), out_(std::make_shared<UsbOut>(open)) {}
  std::shared_ptr<InputStream> BulkIn() override { return in_; }
  std::shared_ptr<OutputStream> BulkOut() override { return out_; }
  uint32_t ControlOut(const UsbSetupPacket& setup) override {
    if (open_->closed.load()) throw Error(kHrFail);
    const int rc = libusb_control_transfer(open_->handle, setup.requestType, setup.request,
                                           setup.value, setup.index, nullptr, 0, kControlTimeoutMs);
    if (rc < 0) throw Error(kHrFail);
    return static_cast<uint32_t>(rc);
  }
  std::vector<uint8_t> ControlIn(const UsbSetupPacket& setup, size_t capacity) override {
    if (open_->closed.load()) throw Error(kHrFail);
    std::vector<uint8_t> reply(std::min<size_t>(capacity, setup.length));
    const int rc = libusb_control_transfer(open_->handle, setup.requestType, setup.request,
                                           setup.value, setup.index, reply.data(),
                                           static_cast<uint16_t>(reply.size()), kControlTimeoutMs);
    if (rc < 0) throw Error(kHrFail);
    reply.resize(static_cast<size_t>(rc));
    return reply;
  }
  void Close() noexcept override { open_->closed.store(true); }

 private:
  std::shared_ptr<OpenHandle> open_;
  std::shared_ptr<InputStream> in_;
  std::shared_ptr<OutputStream> out_;
};

// The hotplug watcher: libusb's callbacks only queue; the watcher's thread
// reads the devices' strings and calls the handlers.
struct UsbWatchState : WatchHandlers {
  std::shared_ptr<UsbContext> context;
  Selector selector;
  std::vector<libusb_device*> arrived;  // referenced, under lock

  std::vector<WatcherHandler> Added() {
    PlatformLockGuard guard(lock);
    std::vector<WatcherHandler> list;
    for (auto& [token, entry] : handlers) {
      if (entry.first) list.push_back(entry.second);
    }
    return list;
  }
};

int OnHotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* user) {
  auto* state = static_cast<UsbWatchState*>(user);
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
    PlatformLockGuard guard(state->lock);
    state->arrived.push_back(libusb_ref_device(device));
  }
  return 0;
}

void WatchLoop(std::shared_ptr<UsbWatchState> state) {
  libusb_context* ctx = state->context->ctx;
  libusb_hotplug_callback_handle callback = 0;
  const int rc = libusb_hotplug_register_callback(
      ctx,
      static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                        LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
      LIBUSB_HOTPLUG_ENUMERATE, state->selector.vendorId, state->selector.productId,
      LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug, state.get(), &callback);
  if (rc != LIBUSB_SUCCESS) return;
  while (state->running.load()) {
    std::vector<libusb_device*> arrived;
    {
      PlatformLockGuard guard(state->lock);
      arrived.swap(state->arrived);
    }
    for (libusb_device* device : arrived) {
      libusb_device_descriptor descriptor{};
      if (state->running.load() && libusb_get_device_descriptor(device, &descriptor) == 0) {
        const DeviceRecord record = RecordOf(device, descriptor);
        for (auto& handler : state->Added()) {
          try {
            if (state->running.load()) handler(record);
          } catch (...) {
          }
        }
      }
      libusb_unref_device(device);
    }
    timeval slice{0, 200000};
    libusb_handle_events_timeout_completed(ctx, &slice, nullptr);
  }
  libusb_hotplug_deregister_callback(ctx, callback);
  PlatformLockGuard guard(state->lock);
  for (libusb_device* device : state->arrived) libusb_unref_device(device);
  state->arrived.clear();
}

class LibusbHalf : public LinuxUsb {
 public:
  explicit LibusbHalf(std::shared_ptr<UsbContext> context) : context_(std::move(context)) {}

  std::vector<DeviceRecord> FindAll(const Selector& selector) override {
    std::vector<DeviceRecord> found;
    if (selector.vendorId == 0) return found;  // no vendor id configured
    ForEach(selector.vendorId, selector.productId,
            [&](libusb_device* device, const libusb_device_descriptor& descriptor) {
              found.push_back(RecordOf(device, descriptor));
              return false;
            });
    return found;
  }

  std::optional<DeviceRecord> CreateFromId(const std::string& id) override {
    const auto ids = ParseUsbInstanceId(id);
    if (!ids) return std::nullopt;
    std::optional<DeviceRecord> result;
    ForEach(ids->vendorId, ids->productId,
            [&](libusb_device* device, const libusb_device_descriptor& descriptor) {
              DeviceRecord record = RecordOf(device, descriptor);
              if (record.id != id) return false;
              result = std::move(record);
              return true;
            });
    return result;
  }

  std::shared_ptr<Watcher> CreateWatcher(const Selector& selector) override {
    if (selector.vendorId == 0 || libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0) {
      return CreateIdleWatcher();
    }
    auto state = std::make_shared<UsbWatchState>();
    state->context = context_;
    state->selector = selector;
    return std::make_shared<LoopWatcher<UsbWatchState>>(std::move(state), &WatchLoop);
  }

  std::shared_ptr<UsbDevice> Open(const std::string& id) override {
    const auto ids = ParseUsbInstanceId(id);
    if (!ids) return nullptr;
    std::shared_ptr<UsbDevice> opened;
    bool noPipe = false;
    ForEach(ids->vendorId, ids->productId,
            [&](libusb_device* device, const libusb_device_descriptor& descriptor) {
              if (RecordOf(device, descriptor).id != id) return false;
              opened = OpenDevice(device, noPipe);
              return true;
            });
    if (noPipe) throw Error(kHrFail);
    return opened;
  }

 private:
  // Calls visit for every device of vendor/product until it answers true.
  template <typename Visit>
  void ForEach(uint16_t vendor, uint16_t product, Visit visit) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context_->ctx, &list);
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device_descriptor descriptor{};
      if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
      if (descriptor.idVendor != vendor || descriptor.idProduct != product) continue;
      if (visit(list[i], descriptor)) break;
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
  }

  std::shared_ptr<UsbDevice> OpenDevice(libusb_device* device, bool& noPipe) {
    auto open = std::make_shared<OpenHandle>();
    open->context = context_;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0) return nullptr;  // no access
    libusb_set_auto_detach_kernel_driver(handle, 1);
    if (libusb_claim_interface(handle, 0) != 0) {  // busy
      libusb_close(handle);
      return nullptr;
    }
    open->handle = handle;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) == 0) {
      if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
        const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
          const libusb_endpoint_descriptor& ep = alt.endpoint[e];
          if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
          const bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
          if (in && open->bulkIn == 0) open->bulkIn = ep.bEndpointAddress;
          if (!in && open->bulkOut == 0) open->bulkOut = ep.bEndpointAddress;
        }
      }
      libusb_free_config_descriptor(config);
    }
    if (open->bulkIn == 0 || open->bulkOut == 0) {
      noPipe = true;
      return nullptr;
    }
    return std::make_shared<LibusbDevice>(std::move(open));
  }

  std::shared_ptr<UsbContext> context_;
};

}  // namespace

std::unique_ptr<LinuxUsb> CreateLinuxUsb() {
  auto context = std::make_shared<UsbContext>();
  if (libusb_init(&context->ctx) != 0) {
    context->ctx = nullptr;
    return CreateAbsentUsb();
  }
  return std::make_unique<LibusbHalf>(std::move(context));
}

}  // namespace tilo2::core::hal
