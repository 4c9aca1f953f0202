#pragma once
// Shared by the discovery tests that run the whole discovery: a recorder of
// Discovered events that tests wait on, and a fixture on the simulated
// Bluetooth and USB backend (so a search of every transport stays inside the
// process) whose queries go only to the test's own emulators.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../component/api_log_fixture.h"
#include "../io/io_test_support.h"
#include "hal_sim.h"
#include "io/test_hooks.h"
#include "orvik/tilo2/discovery.h"
#include "orvik/tilo2/error_status.h"

namespace discovery_test {

namespace api = ::Orvik::Tilo::Tilo2;
namespace disc = ::Orvik::Tilo::Tilo2::Discovery;
namespace hal = ::tilo2::core::hal;

// Longer than anything a discovery needs on a loaded machine.
inline constexpr std::chrono::seconds kWait{30};

// HRESULT of what the operation's get() throws; 0 when it completes.
inline int32_t Outcome(const api::IAsyncAction& action) {
  try {
    action.get();
  } catch (const api::RuntimeException& e) {
    return e.HResult();
  }
  return 0;
}

// One Discovered event as a handler saw it.
struct Seen {
  std::shared_ptr<const disc::DeviceInfo> info;
  std::chrono::steady_clock::time_point when;
  std::thread::id thread;

  std::string target() const { return info->Target().utf8(); }
  std::string name() const { return info->DeviceName().utf8(); }
};

// A Discovered handler that records every device, removed with the object.
// `onEvent`, when given, runs in the handler after the event is recorded.
class Recorder {
 public:
  explicit Recorder(std::function<void(const Seen&)> onEvent = {}) : onEvent_(std::move(onEvent)) {
    token_ = disc::Discovery::Discovered([this](const auto& args) {
      Seen seen{args->DeviceInfo(), std::chrono::steady_clock::now(), std::this_thread::get_id()};
      {
        std::lock_guard lock(mutex_);
        seen_.push_back(seen);
        changed_.notify_all();
      }
      if (onEvent_) onEvent_(seen);
    });
  }
  ~Recorder() { disc::Discovery::Discovered(token_); }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  std::vector<Seen> All() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

  // Waits until `done` holds for the events so far; false at the deadline.
  bool WaitFor(const std::function<bool(const std::vector<Seen>&)>& done,
               std::chrono::milliseconds limit = kWait) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return done(seen_); });
  }

  // Waits for an event of the target and type; false at the deadline.
  bool WaitForDevice(const std::string& target, disc::DeviceType type) {
    return WaitFor([&](const auto& all) { return Count(all, target, type) > 0; });
  }

  static size_t Count(const std::vector<Seen>& all, const std::string& target,
                      disc::DeviceType type) {
    size_t n = 0;
    for (const Seen& s : all) {
      if (s.target() == target && s.info->DeviceType() == type) ++n;
    }
    return n;
  }

 private:
  std::function<void(const Seen&)> onEvent_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Seen> seen_;
  api::EventToken token_ = 0;
};

// The simulated backend for the whole test, discovery stopped at its end
// whatever happened, and the query destinations set by the test emptied.
class DiscoveryRun : public ApiLogTest {
 protected:
  void SetUp() override {
    ApiLogTest::SetUp();
    sim = hal::SimBackend::Install();
  }
  void TearDown() override {
    // A test that failed half-way may leave a discovery running.
    disc::Discovery::StopAsync().wait();
    tilo2::core::TiloIoUdpSetDiscoveryDestinations(nullptr, 0);
    emulators.clear();
    hal::SimBackend::Uninstall();
    ApiLogTest::TearDown();
  }

  // An emulator on io_test::address(n) that a discovery finds under its name
  // and MAC; the test's query destinations are the emulators made so far.
  printer_emulator::PrinterEmulator& AddPrinter(int n, const std::string& name,
                                                printer_emulator::PrinterState::Mac mac,
                                                bool dhcp = false) {
    auto emulator = io_test::startEmulator(n);
    if (!emulator) throw std::runtime_error("no emulator on " + io_test::address(n));
    emulator->setName(name);
    emulator->setMac(mac);
    emulator->setDhcp(dhcp);
    emulators.push_back(std::move(emulator));
    addresses_.push_back(io_test::address(n));
    std::vector<const char*> list;
    for (const std::string& a : addresses_) list.push_back(a.c_str());
    EXPECT_EQ(
        tilo2::core::TiloIoUdpSetDiscoveryDestinations(list.data(), static_cast<int>(list.size())),
        0);
    return *emulators.back();
  }

  // The API lines of a method, in order.
  std::vector<std::string> LinesOf(const std::string& method) const {
    std::vector<std::string> out;
    for (const std::string& body : ApiBodies()) {
      if (body.find("," + method + ",") != std::string::npos) out.push_back(body);
    }
    return out;
  }

  std::shared_ptr<hal::SimBackend> sim;
  std::vector<std::unique_ptr<printer_emulator::PrinterEmulator>> emulators;

 private:
  std::vector<std::string> addresses_;
};

}  // namespace discovery_test
