#pragma once
// The finders of Bluetooth and USB discovery: each watches the hardware access
// layer's enumeration and keeps every device it saw since its start, once per
// address; a poll gets filtered copies.
//
// A finder lives in shared ownership (the finder bridge holds it). Watcher
// handlers and the Bluetooth address look-ups reach it only through a weak
// reference, so one that ends after the finder is gone drops its result.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "foundation/platform.h"
#include "hal/hal.h"

namespace tilo2::core {

// One found device. Strings are UTF-8.
struct ORVIKIoDevInfo {
  static constexpr int kComplete = 0x3;  // both completeness bits

  int connectionType = 0;  // 258 Bluetooth, 259 USB
  std::string name;
  std::string address;  // "00:1A:7D:DA:71:13", or the USB instance id
  std::string ip;
  std::string mac;
  int flags = 0;
};

using DevInfoList = std::vector<std::shared_ptr<ORVIKIoDevInfo>>;

class OrvikDeviceFinder : public std::enable_shared_from_this<OrvikDeviceFinder> {
 public:
  OrvikDeviceFinder();
  virtual ~OrvikDeviceFinder();
  OrvikDeviceFinder(const OrvikDeviceFinder&) = delete;
  OrvikDeviceFinder& operator=(const OrvikDeviceFinder&) = delete;

  // Starts watching; filter must be empty. Failures throw hal::Error.
  virtual void Start(const std::string& filter) = 0;
  virtual void Stop() = 0;

  // New copies (flags 0) of the entries that pass the list filter: 1 and -2
  // apply the printer-name filter, every other value passes every complete
  // entry. Throws E_ILLEGAL_METHOD_CALL when the finder is not started.
  DevInfoList GetDeviceList(int listFilter);
  // Adds the device unless an entry has exactly this address already.
  void AddOrUpdateDevice(int connectionType, const std::string& name, const std::string& address,
                         const std::string& mac);
  static bool MatchesFilter(const ORVIKIoDevInfo& entry, int listFilter);

 protected:
  struct Lines {
    const char* source;
    int startedAlready, noWatcher, notStarted, stopNoWatcher;
  };
  using Handler = void (*)(OrvikDeviceFinder& finder, const hal::DeviceRecord& record);

  void StartWatching(const std::string& filter, const hal::Selector& selector, const Lines& lines,
                     Handler handler);
  void StopWatching(const Lines& lines);

 private:
  PlatformMutex_t lock_;  // started_, found_ and the watcher fields
  bool started_ = false;
  DevInfoList found_;
  std::shared_ptr<hal::Watcher> watcher_;
  hal::WatcherToken addedToken_ = 0;
  hal::WatcherToken updatedToken_ = 0;
};

class OrvikBluetoothFinder : public OrvikDeviceFinder {
 public:
  void Start(const std::string& filter) override;
  void Stop() override;

  // The parent device's display name from OS version 10.0.14393.0 on, else
  // (or when the parent cannot be read) the given name.
  static std::string resolveDeviceName(const std::string& deviceId, const std::string& name);
  // Looks the service's device address up on a thread of its own and adds
  // the device once it is known.
  void queryDeviceAddress(const std::string& deviceId, const std::string& name);
  static void OnDevice(OrvikDeviceFinder& finder, const hal::DeviceRecord& record);
};

class OrvikUsbFinder : public OrvikDeviceFinder {
 public:
  void Start(const std::string& filter) override;
  void Stop() override;
  static void OnDevice(OrvikDeviceFinder& finder, const hal::DeviceRecord& record);
};

// Address look-ups still running, for tests that must see them end.
int TiloIoBtAddressLookupsRunning();

}  // namespace tilo2::core
