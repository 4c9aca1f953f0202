#pragma once
// The printer behind simulated Bluetooth and USB devices, in-process only:
// the fronts put a PrinterState behind the hardware access layer's simulated
// backend. Bluetooth is a serial-port (RFCOMM) stream; USB is the bulk
// stream plus the vendor requests on the control endpoint (request 2 sets the
// interface control, request 1 answers the two status bytes). Both log what
// they receive and what the printer answers, as the network front does.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hal_sim.h"
#include "printer_state.h"

namespace printer_emulator {

// One entry of a device front's log.
struct DeviceLogEntry {
  enum class Kind { Data, Answer, Control };
  std::chrono::steady_clock::time_point when;
  Kind kind = Kind::Data;
  std::vector<uint8_t> bytes;              // data taken in, or the printer's answer
  tilo2::core::hal::UsbSetupPacket setup;  // Control: the request
};

class DeviceFront {
 public:
  virtual ~DeviceFront();
  DeviceFront(const DeviceFront&) = delete;
  DeviceFront& operator=(const DeviceFront&) = delete;

  PrinterState& state() { return state_; }
  // Every data byte the host sent, over all its connections.
  std::vector<uint8_t> receivedBytes() const;
  bool waitForBytes(size_t count, std::chrono::milliseconds limit) const;
  std::vector<DeviceLogEntry> log() const;
  int connections() const;
  // Mirrors every log entry to stderr (the program).
  void setEcho(bool on) { echo_ = on; }
  // Ends every link the host holds (the device went away).
  void dropLinks();

 protected:
  explicit DeviceFront(std::shared_ptr<tilo2::core::hal::SimBackend> sim);
  void accept(tilo2::core::OwnedFd peer);
  void record(DeviceLogEntry entry);
  // Stops the serving threads; the derived destructor calls it first.
  void stopServing();

  std::shared_ptr<tilo2::core::hal::SimBackend> sim_;
  PrinterState state_;

 private:
  struct Link;
  void serve(std::shared_ptr<Link> link);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::shared_ptr<Link>> links_;
  std::vector<std::thread> threads_;
  std::vector<uint8_t> received_;
  std::vector<DeviceLogEntry> log_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> echo_{false};
};

// A paired Bluetooth printer offering a serial-port service.
class BluetoothFront : public DeviceFront {
 public:
  BluetoothFront(std::shared_ptr<tilo2::core::hal::SimBackend> sim, const std::string& address,
                 const std::string& name);
  ~BluetoothFront() override;
  const std::string& address() const { return address_; }

 private:
  std::string address_;
};

// A USB printer with the maker's vendor and product id.
class UsbFront : public DeviceFront {
 public:
  UsbFront(std::shared_ptr<tilo2::core::hal::SimBackend> sim, const std::string& serial,
           const std::string& name);
  ~UsbFront() override;
  const std::string& instanceId() const { return id_; }
  // The vendor requests received, in order.
  std::vector<tilo2::core::hal::UsbSetupPacket> controlRequests() const;

 private:
  tilo2::core::hal::SimControlReply control(const tilo2::core::hal::UsbSetupPacket& setup);

  std::string id_;
  std::atomic<uint16_t> lastValue_{0};
};

}  // namespace printer_emulator
