#pragma once
// The printer behind the network front: everything a printer knows that does
// not depend on how the host reaches it. The front (UDP control port, TCP data
// port) only moves bytes to and from this object, so a later command parser
// plugs in here without touching sockets.

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace printer_emulator {

class PrinterState {
 public:
  using Mac = std::array<uint8_t, 6>;

  PrinterState();

  // Automatic status: the four bytes a printer sends back on its own; the
  // interface status reply carries them in bytes 1 to 4.
  std::array<uint8_t, 4> automaticStatus() const;
  void setAutomaticStatus(std::array<uint8_t, 4> status);

  // The 13-byte interface status reply (query 03000010h).
  std::array<uint8_t, 13> interfaceStatus() const;

  // The 13-byte online status reply (query 03000021h); byte 0 bit 1 set = offline.
  std::array<uint8_t, 13> onlineStatus() const;
  void setOnlineStatus(std::array<uint8_t, 13> status);
  void setOffline(bool offline);

  // Interface control (control 03000015h): applies the byte and answers the
  // byte now in force.
  uint8_t applyInterfaceControl(uint8_t value);
  uint8_t interfaceControl() const;

  // Control 03000016h.
  void clearConnectionTimeout();
  int connectionTimeoutClears() const;

  Mac mac() const;
  void setMac(Mac mac);

  // Bytes that arrived on the data port; returns what the printer answers.
  // No command parser yet: the printer takes everything and answers nothing.
  std::vector<uint8_t> receiveData(std::span<const uint8_t> bytes);
  uint64_t dataBytesReceived() const;

 private:
  mutable std::mutex mutex_;
  std::array<uint8_t, 4> automaticStatus_{};
  std::array<uint8_t, 13> onlineStatus_{};
  uint8_t interfaceControl_ = 0;
  int timeoutClears_ = 0;
  Mac mac_{};
  uint64_t dataBytes_ = 0;
};

}  // namespace printer_emulator
