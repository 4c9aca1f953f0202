#pragma once
// The printer behind the network front: everything a printer knows that does
// not depend on how the host reaches it. The front (UDP control port, TCP data
// port) only moves bytes to and from this object, so a later command parser
// plugs in here without touching sockets.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "printer_model.h"

namespace printer_emulator {

class PrinterState {
 public:
  using Mac = std::array<uint8_t, 6>;

  PrinterState();

  // Automatic status: the four bytes a printer sends back on its own; the
  // interface status reply carries them in bytes 1 to 4. They follow the
  // model's faults unless set here.
  std::array<uint8_t, 4> automaticStatus() const;
  void setAutomaticStatus(std::array<uint8_t, 4> status);

  // The printer model behind the data port. fn runs under the state's lock;
  // what it makes the printer say (an ASB change) goes out through the front.
  void withModel(const std::function<void(PrinterModel&)>& fn);
  void setFaults(const Faults& faults);
  Faults faults() const;
  void setProfile(Profile profile);

  // Power off: the data port takes bytes and answers nothing, the client
  // query reports no client, and the interface status query is not answered
  // (or answered with result F000h when statusF000 is set).
  void setPowerOff(bool off, bool statusF000 = false);
  bool powerOff() const;
  bool powerOffStatusF000() const;

  // Called, without the lock, whenever the model has output nobody asked for.
  void setOutputListener(std::function<void()> listener);

  // The 13-byte interface status reply (query 03000010h).
  std::array<uint8_t, 13> interfaceStatus() const;

  // What the hybrid printer is doing (hybrid profile).
  HybridStatus hybrid() const;

  // The 13-byte online status reply (query 03000021h); byte 0 bit 1 set =
  // offline, or no customer display behind the printer.
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

  // What the discovery replies carry: the name (any bytes, any length; the
  // reply ends it with a NUL) and whether the printer takes its address by DHCP.
  // The name defaults to the profile's (defaultName()) until setName.
  std::string name() const;
  void setName(std::string name);
  // "RP-S100"; the hybrid profile's "RP-X5E", which discovery reports as a
  // hybrid printer as well as a printer.
  static std::string defaultName(Profile profile);
  bool dhcp() const;
  void setDhcp(bool dhcp);

  // Bytes that arrived on the data port; returns what the printer answers.
  std::vector<uint8_t> receiveData(std::span<const uint8_t> bytes);
  // The same, one entry per answer.
  std::vector<Reply> receiveReplies(std::span<const uint8_t> bytes);
  // Printing goes on to now; returns the answers that came due, and output
  // queued by the control calls.
  std::vector<Reply> advance(std::chrono::steady_clock::time_point now);
  std::optional<std::chrono::steady_clock::time_point> nextDue() const;
  // What the model took in, by route, and its transcript lines, since the last call.
  std::vector<RoutedBytes> takeRouted();
  std::vector<ModelEvent> takeEvents();
  std::map<std::string, uint64_t> commandCounts() const;
  uint64_t dataBytesReceived() const;
  size_t jobEndsWithheld() const;

 private:
  mutable std::mutex mutex_;
  std::array<uint8_t, 13> onlineStatus_{};
  uint8_t interfaceControl_ = 0;
  int timeoutClears_ = 0;
  Mac mac_{};
  std::string name_ = "RP-S100";
  bool nameSet_ = false;
  bool dhcp_ = false;
  uint64_t dataBytes_ = 0;
  PrinterModel model_;
  bool powerOffF000_ = false;
  std::function<void()> listener_;
};

}  // namespace printer_emulator
