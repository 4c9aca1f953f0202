#pragma once
// Shared by the Bluetooth and USB tests: the simulated backend installed for
// one test, and the far end of a simulated link that collects what arrives.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/owned_fd.h"
#include "hal_sim.h"

namespace device_test {

using namespace tilo2::core;
using namespace std::chrono_literals;

inline constexpr auto kWait = std::chrono::seconds(10);

// Waits for a condition with a generous deadline.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = kWait) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { sim = hal::SimBackend::Install(); }
  void TearDown() override {
    // Address look-ups of the Bluetooth finder may still run on the backend.
    hal::SimBackend::Uninstall();
  }
  std::shared_ptr<hal::SimBackend> sim;
};

// The device's end of a link: collects every byte in a thread and can answer.
class Peer {
 public:
  explicit Peer(OwnedFd fd) : fd_(std::move(fd)) {
    if (fd_) thread_ = std::thread([this] { Run(); });
  }
  ~Peer() { Close(); }
  bool valid() const { return fd_.Valid(); }
  void Send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd_.Get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  bool WaitBytes(size_t n) {
    std::unique_lock lock(mutex_);
    return cond_.wait_for(lock, kWait, [&] { return received_.size() >= n; });
  }
  std::vector<uint8_t> Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }
  bool WaitEnd() {
    std::unique_lock lock(mutex_);
    return cond_.wait_for(lock, kWait, [&] { return ended_; });
  }
  // Ends the link from the device's side.
  void Close() {
    if (fd_) ::shutdown(fd_.Get(), SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    fd_.Reset();
  }

 private:
  void Run() {
    uint8_t buffer[65536];
    for (;;) {
      const ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, 0);
      std::lock_guard lock(mutex_);
      if (n <= 0) {
        ended_ = true;
        cond_.notify_all();
        return;
      }
      received_.insert(received_.end(), buffer, buffer + n);
      cond_.notify_all();
    }
  }

  OwnedFd fd_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<uint8_t> received_;
  bool ended_ = false;
};

inline std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i % 256);
  return bytes;
}

}  // namespace device_test
