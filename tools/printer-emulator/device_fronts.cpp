#include "device_fronts.h"

#include <poll.h>
#include <sys/socket.h>

#include <cstdio>

namespace printer_emulator {

using tilo2::core::OwnedFd;
namespace hal = tilo2::core::hal;

namespace {

// How often an idle link lets printing go on (print speed, held job ends).
constexpr int kIdlePollMs = 20;

bool sendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

struct DeviceFront::Link {
  OwnedFd fd;
};

DeviceFront::DeviceFront(std::shared_ptr<hal::SimBackend> sim) : sim_(std::move(sim)) {}

DeviceFront::~DeviceFront() { stopServing(); }

void DeviceFront::stopServing() {
  stopping_ = true;
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    for (const auto& link : links_) ::shutdown(link->fd.Get(), SHUT_RDWR);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
}

void DeviceFront::dropLinks() {
  std::lock_guard lock(mutex_);
  for (const auto& link : links_) ::shutdown(link->fd.Get(), SHUT_RDWR);
}

void DeviceFront::accept(OwnedFd peer) {
  if (stopping_) return;
  auto link = std::make_shared<Link>();
  link->fd = std::move(peer);
  std::lock_guard lock(mutex_);
  links_.push_back(link);
  threads_.emplace_back([this, link] { serve(link); });
  changed_.notify_all();
}

void DeviceFront::serve(std::shared_ptr<Link> link) {
  uint8_t buffer[4096];
  const int fd = link->fd.Get();
  while (!stopping_) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, kIdlePollMs);
    std::vector<uint8_t> answer;
    if (ready > 0) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;  // the host closed the link
      std::vector<uint8_t> bytes(buffer, buffer + n);
      {
        std::lock_guard lock(mutex_);
        received_.insert(received_.end(), bytes.begin(), bytes.end());
      }
      record({std::chrono::steady_clock::now(), DeviceLogEntry::Kind::Data, bytes, {}});
      answer = state_.receiveData(bytes);
    } else if (ready < 0) {
      break;
    }
    for (const Reply& due : state_.advance(std::chrono::steady_clock::now())) {
      answer.insert(answer.end(), due.bytes.begin(), due.bytes.end());
    }
    if (answer.empty()) continue;
    record({std::chrono::steady_clock::now(), DeviceLogEntry::Kind::Answer, answer, {}});
    if (!sendAll(fd, answer)) break;
  }
  std::lock_guard lock(mutex_);
  std::erase(links_, link);
  changed_.notify_all();
}

void DeviceFront::record(DeviceLogEntry entry) {
  if (echo_) {
    const char* kind = entry.kind == DeviceLogEntry::Kind::Data     ? "in"
                       : entry.kind == DeviceLogEntry::Kind::Answer ? "out"
                                                                    : "control";
    std::fprintf(stderr, "[device %s]", kind);
    if (entry.kind == DeviceLogEntry::Kind::Control) {
      std::fprintf(stderr, " %02X %02X %04X %04X %04X", entry.setup.requestType,
                   entry.setup.request, entry.setup.value, entry.setup.index, entry.setup.length);
    }
    for (const uint8_t b : entry.bytes) std::fprintf(stderr, " %02X", b);
    std::fprintf(stderr, "\n");
  }
  std::lock_guard lock(mutex_);
  log_.push_back(std::move(entry));
  changed_.notify_all();
}

std::vector<uint8_t> DeviceFront::receivedBytes() const {
  std::lock_guard lock(mutex_);
  return received_;
}

bool DeviceFront::waitForBytes(size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return received_.size() >= count; });
}

std::vector<DeviceLogEntry> DeviceFront::log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

int DeviceFront::connections() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(links_.size());
}

BluetoothFront::BluetoothFront(std::shared_ptr<hal::SimBackend> sim, const std::string& address,
                               const std::string& name)
    : DeviceFront(std::move(sim)), address_(address) {
  sim_->SetAcceptor(address_, [this](OwnedFd peer) { accept(std::move(peer)); });
  hal::SimBluetoothDevice device;
  device.address = address;
  device.name = name;
  sim_->AddBluetoothDevice(device);
}

BluetoothFront::~BluetoothFront() {
  sim_->SetAcceptor(address_, nullptr);
  stopServing();
}

UsbFront::UsbFront(std::shared_ptr<hal::SimBackend> sim, const std::string& serial,
                   const std::string& name)
    : DeviceFront(std::move(sim)) {
  hal::SimUsbDevice device;
  device.vendorId = hal::UsbVendorId();
  device.serial = serial;
  device.name = name;
  id_ = sim_->PlugUsbDevice(device);
  sim_->SetAcceptor(id_, [this](OwnedFd peer) { accept(std::move(peer)); });
  sim_->SetControlHandler(id_, [this](const hal::UsbSetupPacket& setup) { return control(setup); });
}

UsbFront::~UsbFront() {
  sim_->SetControlHandler(id_, nullptr);
  sim_->SetAcceptor(id_, nullptr);
  stopServing();
}

hal::SimControlReply UsbFront::control(const hal::UsbSetupPacket& setup) {
  hal::SimControlReply reply;
  if (setup.requestType == 0x40 && setup.request == 2) {
    // wValue 0 selects interface control 1, 2 selects control 0.
    lastValue_ = setup.value;
    state_.applyInterfaceControl(setup.value == 0 ? 1 : 0);
  } else if (setup.requestType == 0xC0 && setup.request == 1) {
    bool offline = false;
    state_.withModel([&](PrinterModel& m) { offline = (m.realtimeStatus(1) & 0x08) != 0; });
    reply.data = {static_cast<uint8_t>((offline ? 0x01 : 0x00) | (lastValue_ & 0x02)), 0x00};
  } else {
    reply.error = hal::kHrFail;  // a request the printer does not know
  }
  record({std::chrono::steady_clock::now(), DeviceLogEntry::Kind::Control, reply.data, setup});
  return reply;
}

std::vector<hal::UsbSetupPacket> UsbFront::controlRequests() const {
  std::vector<hal::UsbSetupPacket> out;
  for (const auto& entry : log()) {
    if (entry.kind == DeviceLogEntry::Kind::Control) out.push_back(entry.setup);
  }
  return out;
}

}  // namespace printer_emulator
