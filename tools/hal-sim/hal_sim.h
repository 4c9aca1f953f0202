#pragma once
// The simulated backend of the hardware access layer: an in-process world of
// Bluetooth serial-port services and USB printers that tests and the printer
// emulator script. Install it with SimBackend::Install(); every call of the
// layer then reaches it. All members are safe to call from any thread.
//
// Data paths are socketpairs: the layer's streams use one end, the other end
// (the "peer") goes to an acceptor callback or waits in a queue for TakePeer.
// Bluetooth and USB bulk data share that one pipe per connection.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/owned_fd.h"
#include "hal/hal.h"

namespace tilo2::core::hal {

// One Bluetooth device offering a SerialPort service.
struct SimBluetoothDevice {
  std::string address{};                    // "00:1A:7D:DA:71:13", either case
  std::string name{};                       // the device's display name (the parent record)
  std::string serviceName = "Serial Port";  // the service's own display name
  uint8_t channel = 1;
  // The address property's text; empty: the address without colons, upper case.
  std::string addressProperty{};
  // Leave the name key out of the service record.
  bool serviceUnnamed = false;
  std::string adapter = "00:11:22:33:44:55";
};

// One USB device.
struct SimUsbDevice {
  uint16_t vendorId = 0;  // usually UsbVendorId()
  uint16_t productId = kUsbPrinterProductId;
  std::string serial{};  // empty: the instance id ends in a bus-port path
  std::string name = "Printer";
  std::string portPath = "1-1";
};

// What a USB control transfer answers.
struct SimControlReply {
  std::vector<uint8_t> data{};     // ControlIn: the reply bytes (cut to the capacity)
  uint32_t transferred = 0;        // ControlOut: the bytes reported transferred
  std::optional<Hresult> error{};  // set: the transfer throws Error(error)
};
using SimControlHandler = std::function<SimControlReply(const UsbSetupPacket&)>;

// Where a new connection's peer end goes: the handler takes it.
using SimAcceptor = std::function<void(OwnedFd peer)>;

// A gate a test holds CreateFromId calls at.
class SimGate {
 public:
  // Waits until a call is held at the gate; false after the timeout.
  bool WaitArrived(std::chrono::milliseconds timeout);
  // Lets every held call (and every later one) through.
  void Open();
  int Arrived();

 private:
  friend class SimBackend;
  void Pass();  // called by the held call
  std::mutex mutex_;
  std::condition_variable cond_;
  int arrived_ = 0;
  bool open_ = false;
};

class SimBackend : public Backend, public std::enable_shared_from_this<SimBackend> {
 public:
  SimBackend();
  ~SimBackend() override;

  // A new simulated backend, installed with SetBackend; Uninstall (or
  // SetBackend(nullptr)) goes back to the Linux one.
  static std::shared_ptr<SimBackend> Install();
  static void Uninstall();

  // ---- The world ----
  // Adds (or replaces) a device; returns the service id. Running watchers of
  // the selector see it as Added.
  std::string AddBluetoothDevice(const SimBluetoothDevice& device);
  // Removes its records, ends its open links (as Disconnect). Nothing is reported.
  void RemoveBluetoothDevice(const std::string& address);
  // Ends every open link to the address: the layer's loads see the end of the stream.
  void Disconnect(const std::string& address);
  // Plugs a USB device in (or again, with the same id); returns its instance
  // id. Running watchers of a matching selector see it as Added.
  std::string PlugUsbDevice(const SimUsbDevice& device);
  // Unplugs it: its open devices' loads see the end of the stream, their
  // stores and transfers fail, and it is no longer listed.
  void UnplugUsbDevice(const std::string& id);
  // Scripted lists in full: what FindAll answers for a selector kind (USB lists
  // are not filtered by vendor/product id), in this order.
  void SetDevices(Selector::Kind kind, std::vector<DeviceRecord> devices);
  // A record only CreateFromId answers (for instance a parent device).
  void SetRecord(const DeviceRecord& record);
  void RemoveRecord(const std::string& id);
  // The service a service id resolves to (AddBluetoothDevice sets it).
  void SetRfcommService(const std::string& id, const RfcommService& service);

  // ---- Watcher events, from any thread: the running watchers of the kind ----
  // call their handlers on the calling thread.
  void InjectAdded(Selector::Kind kind, const DeviceRecord& record);
  void InjectUpdated(Selector::Kind kind, const DeviceRecord& record);
  // Watchers created so far and how many of them run.
  int WatchersCreated();
  int WatchersRunning();
  // Waits until no initial Added delivery runs (those run on threads of their own).
  bool WaitDeliveriesIdle(std::chrono::milliseconds timeout);

  // ---- CreateFromId ----
  // Calls for id (empty: any id) wait at the returned gate until it opens.
  std::shared_ptr<SimGate> HoldCreateFromId(const std::string& id);
  // Calls for id (empty: any id) throw Error(hresult); 0 clears.
  void FailCreateFromId(const std::string& id, Hresult hresult);
  int CreateFromIdCalls();

  // ---- Connections ----
  // The next k connect attempts to the address (empty: any) are refused.
  void RefuseConnects(const std::string& address, int k);
  int ConnectAttempts(const std::string& address);  // empty: all
  // Protection level of the last attempt (-1 before any).
  int LastProtectionLevel();
  // New peers of the address (Bluetooth, any case) or id (USB) go to the
  // acceptor instead of the queue; null restores the queue.
  void SetAcceptor(const std::string& addressOrId, SimAcceptor acceptor);
  // The oldest queued peer of the address or id; invalid after the timeout.
  OwnedFd TakePeer(const std::string& addressOrId, std::chrono::milliseconds timeout);
  int OpenConnections();  // links and USB devices not yet closed

  // ---- USB control transfers ----
  // The handler answers every transfer of the id; without one the script's
  // replies are used in order, and then 0 transferred / an empty reply.
  void SetControlHandler(const std::string& id, SimControlHandler handler);
  void ScriptControl(const std::string& id, std::vector<SimControlReply> replies);
  std::vector<UsbSetupPacket> SetupLog(const std::string& id);
  // Every open of the id gives no device (busy, no access).
  void RefuseUsbOpen(const std::string& id, bool refuse);
  int UsbOpens(const std::string& id);

  // ---- Fault switches ----
  void SetNoWatcher(Selector::Kind kind, bool on);  // CreateWatcher gives null
  void SetWatcherStartFails(bool on);               // Start throws Error(E_FAIL)
  void SetNoService(bool on);                       // GetRfcommService gives nullopt
  void SetFindAllError(std::optional<Hresult> hresult);
  void SetFindAllCancelled(bool on);
  void SetCreateFromIdCancelled(bool on);
  void SetServiceLookupCancelled(bool on);
  void SetServiceLookupError(std::optional<Hresult> hresult);
  // Each store delivers at most limit bytes (0: no limit).
  void SetStoreLimit(size_t limit);
  // The next n stores throw Error(E_FAIL).
  void FailStores(int n);
  // Stores deliver nothing and return at their deadline (or at a close).
  void SetStoreHangs(bool on);
  int StoreCalls();
  void SetFlushResult(bool result);
  int FlushCalls();
  // Every open input stream's running and later loads throw Error(hresult).
  void FailLoads(Hresult hresult);
  // Every open input stream's loads report the end of the stream.
  void EndLoads();
  void SetOsVersion(uint64_t version);
  void SetOsVersionFails(bool on);

  // ---- Backend ----
  std::vector<DeviceRecord> FindAll(const Selector& selector,
                                    const std::vector<std::string>& keys) override;
  std::optional<DeviceRecord> CreateFromId(const std::string& id,
                                           const std::vector<std::string>& keys) override;
  std::shared_ptr<Watcher> CreateWatcher(const Selector& selector) override;
  std::optional<RfcommService> GetRfcommService(const std::string& id) override;
  std::shared_ptr<RfcommConnection> ConnectRfcomm(const RfcommService& service,
                                                  int protectionLevel) override;
  std::shared_ptr<UsbDevice> UsbOpen(const std::string& id) override;
  uint64_t OsVersion() override;

  // Shared with the streams and watchers; defined in the sources.
  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tilo2::core::hal
