#pragma once
// The hardware access layer: device enumeration and watching, Bluetooth serial
// (RFCOMM) links and USB bulk and control transfers, as blocking calls.
//
// Every operation runs on the caller's thread and either returns or throws one
// of two exceptions: hal::Error (an HRESULT) or hal::Cancelled (the operation
// was cancelled, or a load was unblocked by a close). Nothing else is thrown
// by the layer itself, std::bad_alloc aside.
//
// Two backends stand behind the layer: the Linux one (libusb-1.0, BlueZ),
// which apps get, and a simulated one (tools/hal-sim) that tests and the
// printer emulator install with SetBackend.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tilo2::core {

// The packed OS version the Bluetooth finder compares with 10.0.14393.0:
// 16 bits each for major, minor, build and revision. Linux has no such
// version; the layer answers 0x000A000038390000 (a backend may answer
// otherwise; a failure answers 0). Never throws.
uint64_t TiloIoGetOsVersion();

namespace hal {

// ---- Errors -----------------------------------------------------------------
using Hresult = int32_t;

inline constexpr Hresult kHrFail = static_cast<Hresult>(0x80004005u);
inline constexpr Hresult kHrInvalidArg = static_cast<Hresult>(0x80070057u);
inline constexpr Hresult kHrAccessDenied = static_cast<Hresult>(0x80070005u);
inline constexpr Hresult kHrAbort = static_cast<Hresult>(0x80004004u);
inline constexpr Hresult kHrOutOfMemory = static_cast<Hresult>(0x8007000Eu);
inline constexpr Hresult kHrIllegalMethodCall = static_cast<Hresult>(0x8000000Eu);
inline constexpr Hresult kHrPending = static_cast<Hresult>(0x8000000Au);
// Element not found: not one of the six kept codes.
inline constexpr Hresult kHrNotFound = static_cast<Hresult>(0x80070490u);
// A connection attempt the remote side refused (a foreign value).
inline constexpr Hresult kHrConnectionRefused = static_cast<Hresult>(0x800704C9u);
// An attempt that ran out of its time (a foreign value).
inline constexpr Hresult kHrTimeout = static_cast<Hresult>(0x800705B4u);

// The layer's one error type.
class Error : public std::exception {
 public:
  explicit Error(Hresult hresult) noexcept;
  Hresult hresult() const noexcept { return hresult_; }
  const char* what() const noexcept override { return text_; }

 private:
  Hresult hresult_;
  char text_[32];
};

// A cancelled operation. Not an Error: catch it on its own.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "hal: cancelled"; }
};

// ---- Enumeration ------------------------------------------------------------
// Property values are text; an absent key is absent from the map.
using PropertyMap = std::map<std::string, std::string>;

inline constexpr const char* kKeyItemNameDisplay = "System.ItemNameDisplay";
inline constexpr const char* kKeyDeviceInstanceId = "System.Devices.DeviceInstanceId";
// The Bluetooth address: twelve hexadecimal digits, no separators.
inline constexpr const char* kKeyBluetoothAddress = "{2BD67D8B-8BEB-48D5-87E0-6CDA3428040A} 1";

// Product id of the maker's USB printers.
inline constexpr uint16_t kUsbPrinterProductId = 0x0202;
// The maker's USB vendor id, fixed at build time (CMake cache variable
// TILO2_USB_VENDOR_ID); 0 when unset, and then the Linux backend lists no USB
// printer. Tests read it from here.
uint16_t UsbVendorId();

struct Selector {
  enum class Kind {
    kBluetoothSerialPort,  // RFCOMM SerialPort services of paired devices
    kUsbDevice,            // USB devices with vendorId and productId
  };
  Kind kind = Kind::kBluetoothSerialPort;
  uint16_t vendorId = 0;
  uint16_t productId = 0;

  static Selector BluetoothSerialPort() { return {Kind::kBluetoothSerialPort, 0, 0}; }
  static Selector Usb(uint16_t vendor, uint16_t product) {
    return {Kind::kUsbDevice, vendor, product};
  }
  // The maker's printers: UsbVendorId() and kUsbPrinterProductId.
  static Selector UsbPrinter() { return Usb(UsbVendorId(), kUsbPrinterProductId); }
};

// One enumerated device (or service), or one watcher event. An Updated event
// carries only the properties that changed.
//
// Id shapes: a Bluetooth SerialPort service is
//   "Bluetooth#Bluetooth<adapter>-<device>#RFCOMM:00000000:{00001101-0000-1000-8000-00805f9b34fb}"
// and the device that offers it "Bluetooth#Bluetooth<adapter>-<device>" (the
// addresses in lower case with colons). A USB device's id is its instance id
// "USB\VID_%04X&PID_%04X\<serial>" (the bus-port path without a serial).
struct DeviceRecord {
  std::string id;
  PropertyMap properties;
};

// Devices matching the selector, in the backend's order, each with at least
// the keys asked for that it has (kKeyItemNameDisplay always when known).
// Throws Error or Cancelled. Without the system's services the list is empty.
std::vector<DeviceRecord> FindAll(const Selector& selector, const std::vector<std::string>& keys);

// The record of one id (a service, a Bluetooth device, a USB device): nullopt
// when unknown. Safe to call from a watcher handler. Throws Error or Cancelled.
std::optional<DeviceRecord> CreateFromId(const std::string& id,
                                         const std::vector<std::string>& keys);

// ---- Watchers ---------------------------------------------------------------
using WatcherToken = uint64_t;  // 0 is never a valid token
using WatcherHandler = std::function<void(const DeviceRecord&)>;

// Reports the devices a selector matches. Devices present at Start arrive as
// Added (on a thread of the watcher's own, never on the caller of Start);
// later arrivals as Added, property changes as Updated. Handlers may run
// concurrently with each other, on several threads. Stop, Remove and the
// destructor never wait for a running handler; after Remove or Stop returns no
// new call of that handler begins. A handler that throws is ignored.
class Watcher {
 public:
  virtual ~Watcher() = default;
  virtual WatcherToken OnAdded(WatcherHandler handler) = 0;
  virtual WatcherToken OnUpdated(WatcherHandler handler) = 0;
  virtual void Remove(WatcherToken token) = 0;
  // Throws Error when the watcher cannot start; starting twice does nothing.
  virtual void Start() = 0;
  virtual void Stop() = 0;
};

// A new watcher for the selector, not started; null when none can be created.
std::shared_ptr<Watcher> CreateWatcher(const Selector& selector);

// ---- Streams ----------------------------------------------------------------
using Deadline = std::chrono::steady_clock::time_point;

class InputStream {
 public:
  virtual ~InputStream() = default;
  // Blocks until at least one byte arrived and copies up to max bytes into
  // buffer; returns the count. 0 only at the true end of the stream (the
  // peer closed, the device vanished). Throws Error on a failure and
  // Cancelled when Close ran before or during the call. max 0 returns 0.
  virtual size_t Load(void* buffer, size_t max) = 0;
  // Unblocks a running Load and fails every later one. Idempotent; never throws.
  virtual void Close() noexcept = 0;
};

class OutputStream {
 public:
  virtual ~OutputStream() = default;
  // Delivers up to length bytes before the deadline and returns the count
  // actually delivered (less than length when time ran out). Throws Error on
  // a failure (peer gone, closed stream).
  virtual size_t Store(const void* data, size_t length, Deadline deadline) = 0;
  // True once everything stored has left; false when the deadline passed
  // first. Throws Error on a failure.
  virtual bool Flush(Deadline deadline) = 0;
  // Ends the stream; later calls throw Error. Idempotent; never throws.
  virtual void Close() noexcept = 0;
};

// ---- Bluetooth --------------------------------------------------------------
struct RfcommService {
  std::string id;       // the service's enumeration id
  std::string address;  // the device, "00:1A:7D:DA:71:13"
  uint8_t channel = 0;  // RFCOMM channel, 1..30
};

// Encryption without authentication.
inline constexpr int kProtectionBluetoothEncryptionAllowNullAuthentication = 3;

// A connected RFCOMM link. Closing both streams (or Close) ends the link.
class RfcommConnection {
 public:
  virtual ~RfcommConnection() = default;
  virtual std::shared_ptr<InputStream> Input() = 0;
  virtual std::shared_ptr<OutputStream> Output() = 0;
  virtual void Close() noexcept = 0;
};

// The RFCOMM service of an enumerated service id: nullopt when it is not
// (or no longer) there. Throws Error or Cancelled.
std::optional<RfcommService> GetRfcommService(const std::string& id);

// One connection attempt on a fresh socket. Throws Error (refused, timed out,
// no adapter: an HRESULT) or Cancelled; never returns null.
std::shared_ptr<RfcommConnection> ConnectRfcomm(const RfcommService& service, int protectionLevel);

// ---- USB --------------------------------------------------------------------
struct UsbSetupPacket {
  uint8_t requestType = 0;  // 0x40 vendor out, 0xC0 vendor in
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
};

// An opened USB device: interface 0 claimed, its first bulk-in and bulk-out
// endpoints as streams, control transfers on the default endpoint (safe while
// a Load runs). Close releases the device; later transfers throw Error.
class UsbDevice {
 public:
  virtual ~UsbDevice() = default;
  virtual std::shared_ptr<InputStream> BulkIn() = 0;
  virtual std::shared_ptr<OutputStream> BulkOut() = 0;
  // Host-to-device transfer without data stage: the bytes transferred.
  virtual uint32_t ControlOut(const UsbSetupPacket& setup) = 0;
  // Device-to-host transfer: up to capacity bytes of reply (possibly none).
  virtual std::vector<uint8_t> ControlIn(const UsbSetupPacket& setup, size_t capacity) = 0;
  virtual void Close() noexcept = 0;
};

// Opens the device of an id (as FindAll listed it): null when it is not there,
// busy or not accessible. Throws Error or Cancelled.
std::shared_ptr<UsbDevice> UsbOpen(const std::string& id);

// ---- Backends ---------------------------------------------------------------
class Backend {
 public:
  virtual ~Backend() = default;
  virtual std::vector<DeviceRecord> FindAll(const Selector& selector,
                                            const std::vector<std::string>& keys) = 0;
  virtual std::optional<DeviceRecord> CreateFromId(const std::string& id,
                                                   const std::vector<std::string>& keys) = 0;
  virtual std::shared_ptr<Watcher> CreateWatcher(const Selector& selector) = 0;
  virtual std::optional<RfcommService> GetRfcommService(const std::string& id) = 0;
  virtual std::shared_ptr<RfcommConnection> ConnectRfcomm(const RfcommService& service,
                                                          int protectionLevel) = 0;
  virtual std::shared_ptr<UsbDevice> UsbOpen(const std::string& id) = 0;
  // Throws Error when the version cannot be read.
  virtual uint64_t OsVersion() { return 0x000A000038390000ull; }
};

// The backend every call above goes to: the installed one, else the Linux one.
std::shared_ptr<Backend> GetBackend();
// Installs a backend (tests, the emulator); null goes back to the Linux one.
// Calls already running keep the backend they started on.
void SetBackend(std::shared_ptr<Backend> backend);
// The Linux backend (created once, kept for the process).
std::shared_ptr<Backend> LinuxBackend();

}  // namespace hal
}  // namespace tilo2::core
