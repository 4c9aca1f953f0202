#include "printer_state.h"

namespace printer_emulator {

PrinterState::PrinterState() : mac_{0x02, 0x1A, 0x7C, 0x10, 0x20, 0x30} {}

std::array<uint8_t, 4> PrinterState::automaticStatus() const {
  std::lock_guard lock(mutex_);
  return model_.asb();
}

void PrinterState::setAutomaticStatus(std::array<uint8_t, 4> status) {
  withModel([&](PrinterModel& m) { m.setAsbOverride(status); });
}

void PrinterState::withModel(const std::function<void(PrinterModel&)>& fn) {
  std::function<void()> listener;
  {
    std::lock_guard lock(mutex_);
    fn(model_);
    listener = listener_;
  }
  if (listener) listener();
}

void PrinterState::setFaults(const Faults& faults) {
  withModel([&](PrinterModel& m) { m.setFaults(faults); });
}

Faults PrinterState::faults() const {
  std::lock_guard lock(mutex_);
  return model_.faults();
}

void PrinterState::setProfile(Profile profile) {
  withModel([&](PrinterModel& m) { m.setProfile(profile); });
  std::lock_guard lock(mutex_);
  if (!nameSet_) name_ = defaultName(profile);
}

std::string PrinterState::defaultName(Profile profile) {
  // Discovery takes a name with "X5" (other than the X5D) for a hybrid printer.
  return profile == Profile::Hybrid ? "RP-X5E" : "RP-S100";
}

void PrinterState::setPowerOff(bool off, bool statusF000) {
  withModel([&](PrinterModel& m) { m.setPowerOff(off); });
  std::lock_guard lock(mutex_);
  powerOffF000_ = statusF000;
}

bool PrinterState::powerOff() const {
  std::lock_guard lock(mutex_);
  return model_.powerOff();
}

bool PrinterState::powerOffStatusF000() const {
  std::lock_guard lock(mutex_);
  return powerOffF000_;
}

void PrinterState::setOutputListener(std::function<void()> listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

std::array<uint8_t, 13> PrinterState::interfaceStatus() const {
  std::lock_guard lock(mutex_);
  const auto asb = model_.asb();
  std::array<uint8_t, 13> reply{};
  for (size_t i = 0; i < asb.size(); ++i) reply[1 + i] = asb[i];
  return reply;
}

std::array<uint8_t, 13> PrinterState::onlineStatus() const {
  std::lock_guard lock(mutex_);
  auto status = onlineStatus_;
  if (model_.asb()[0] & 0x08) status[0] |= 0x02;  // the printer is offline
  if (!model_.displayConnected()) status[0] |= 0x02;
  return status;
}

HybridStatus PrinterState::hybrid() const {
  std::lock_guard lock(mutex_);
  return model_.hybrid();
}

void PrinterState::setOnlineStatus(std::array<uint8_t, 13> status) {
  std::lock_guard lock(mutex_);
  onlineStatus_ = status;
}

void PrinterState::setOffline(bool offline) {
  withModel([&](PrinterModel& m) {
    Faults f = m.faults();
    f.offline = offline;
    m.setFaults(f);
    if (offline) {
      onlineStatus_[0] |= 0x02;
    } else {
      onlineStatus_[0] &= static_cast<uint8_t>(~0x02);
    }
  });
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

std::string PrinterState::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void PrinterState::setName(std::string name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
  nameSet_ = true;
}

bool PrinterState::dhcp() const {
  std::lock_guard lock(mutex_);
  return dhcp_;
}

void PrinterState::setDhcp(bool dhcp) {
  std::lock_guard lock(mutex_);
  dhcp_ = dhcp;
}

std::vector<uint8_t> PrinterState::receiveData(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> out;
  for (const auto& r : receiveReplies(bytes)) out.insert(out.end(), r.bytes.begin(), r.bytes.end());
  return out;
}

std::vector<Reply> PrinterState::receiveReplies(std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  dataBytes_ += bytes.size();
  model_.feed(bytes);
  return model_.takeReplies();
}

std::vector<Reply> PrinterState::advance(std::chrono::steady_clock::time_point now) {
  std::lock_guard lock(mutex_);
  model_.feed({}, now);  // prints up to now; what came due stays queued as replies
  return model_.takeReplies();
}

std::optional<std::chrono::steady_clock::time_point> PrinterState::nextDue() const {
  std::lock_guard lock(mutex_);
  return model_.nextDue();
}

std::vector<RoutedBytes> PrinterState::takeRouted() {
  std::lock_guard lock(mutex_);
  return model_.takeRouted();
}

std::vector<ModelEvent> PrinterState::takeEvents() {
  std::lock_guard lock(mutex_);
  return model_.takeEvents();
}

std::map<std::string, uint64_t> PrinterState::commandCounts() const {
  std::lock_guard lock(mutex_);
  return model_.commandCounts();
}

uint64_t PrinterState::dataBytesReceived() const {
  std::lock_guard lock(mutex_);
  return dataBytes_;
}

size_t PrinterState::jobEndsWithheld() const {
  std::lock_guard lock(mutex_);
  return model_.jobEndsWithheld();
}

}  // namespace printer_emulator
