#include "printer_state.h"

namespace printer_emulator {

PrinterState::PrinterState() : mac_{0x02, 0x1A, 0x7C, 0x10, 0x20, 0x30} {}

std::array<uint8_t, 4> PrinterState::automaticStatus() const {
  std::lock_guard lock(mutex_);
  return automaticStatus_;
}

void PrinterState::setAutomaticStatus(std::array<uint8_t, 4> status) {
  std::lock_guard lock(mutex_);
  automaticStatus_ = status;
}

std::array<uint8_t, 13> PrinterState::interfaceStatus() const {
  std::lock_guard lock(mutex_);
  std::array<uint8_t, 13> reply{};
  for (size_t i = 0; i < automaticStatus_.size(); ++i) reply[1 + i] = automaticStatus_[i];
  return reply;
}

std::array<uint8_t, 13> PrinterState::onlineStatus() const {
  std::lock_guard lock(mutex_);
  return onlineStatus_;
}

void PrinterState::setOnlineStatus(std::array<uint8_t, 13> status) {
  std::lock_guard lock(mutex_);
  onlineStatus_ = status;
}

void PrinterState::setOffline(bool offline) {
  std::lock_guard lock(mutex_);
  if (offline) {
    onlineStatus_[0] |= 0x02;
  } else {
    onlineStatus_[0] &= static_cast<uint8_t>(~0x02);
  }
}

uint8_t PrinterState::applyInterfaceControl(uint8_t value) {
  std::lock_guard lock(mutex_);
  interfaceControl_ = value;
  return interfaceControl_;
}

uint8_t PrinterState::interfaceControl() const {
  std::lock_guard lock(mutex_);
  return interfaceControl_;
}

void PrinterState::clearConnectionTimeout() {
  std::lock_guard lock(mutex_);
  ++timeoutClears_;
}

int PrinterState::connectionTimeoutClears() const {
  std::lock_guard lock(mutex_);
  return timeoutClears_;
}

PrinterState::Mac PrinterState::mac() const {
  std::lock_guard lock(mutex_);
  return mac_;
}

void PrinterState::setMac(Mac mac) {
  std::lock_guard lock(mutex_);
  mac_ = mac;
}

std::vector<uint8_t> PrinterState::receiveData(std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  dataBytes_ += bytes.size();
  return {};
}

uint64_t PrinterState::dataBytesReceived() const {
  std::lock_guard lock(mutex_);
  return dataBytes_;
}

}  // namespace printer_emulator
