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
#include "device/test_hooks.h"
#include "hal_sim.h"
#include "io/test_hooks.h"
#include "orvik/tilo2/discovery.h"
#include "orvik/tilo2/error_status.h"
#include "service/device_service.h"

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
  std::vector<std::shared_ptr<const disc::DeviceInfo>> Infos() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<const disc::DeviceInfo>> out;
    for (const Seen& s : seen_) out.push_back(s.info);
    return out;
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

// A Discovered handler for the object's life.
class HandlerScope {
 public:
  explicit HandlerScope(disc::DiscoveredHandler handler)
      : token_(disc::Discovery::Discovered(std::move(handler))) {}
  ~HandlerScope() { disc::Discovery::Discovered(token_); }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;

 private:
  api::EventToken token_;
};

// A printer's device service as discovery asks it: the devices it hosts and
// its ports. Each device-list query is answered from a thread of the fake's
// own, at once or, while held, when the test releases it. Installed for the
// object's life; its threads are joined before it goes.
class FakeDeviceService {
 public:
  struct Entry {
    int32_t type;  // TdevDeviceType
    std::string deviceId;
    std::string modelName;
  };

  FakeDeviceService() {
    std::lock_guard lock(Mutex());
    Instance() = this;
    static const tilo2::core::TdcDeviceListOps ops{&GetDeviceList, &GetSystemPortList};
    tilo2::core::TdcSetDeviceListOps(&ops);
  }
  ~FakeDeviceService() {
    Release();
    {
      std::lock_guard lock(Mutex());
      Instance() = nullptr;
    }
    // Restored only now: a query that started meanwhile answers with nothing.
    tilo2::core::TdcSetDeviceListOps(nullptr);
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
  }
  FakeDeviceService(const FakeDeviceService&) = delete;
  FakeDeviceService& operator=(const FakeDeviceService&) = delete;

  void SetEntries(std::vector<Entry> entries) {
    std::lock_guard lock(mutex_);
    entries_ = std::move(entries);
  }
  // {plain, TLS}; a TLS port of 0 means none.
  void SetPorts(int32_t plain, int32_t tls) {
    std::lock_guard lock(mutex_);
    ports_[0] = plain;
    ports_[1] = tls;
  }
  // Answers wait until Release.
  void Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  // Waits until `n` device-list queries have come; false at the deadline.
  bool WaitAsked(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return asked_ >= n; });
  }
  // Waits until `n` answers have been handed to the engine.
  bool WaitAnswered(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return answered_ >= n; });
  }
  std::vector<std::string> AskedHosts() {
    std::lock_guard lock(mutex_);
    return hosts_;
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static FakeDeviceService*& Instance() {
    static FakeDeviceService* instance = nullptr;
    return instance;
  }

  static int GetDeviceList(const char* host, const char* name, const char* mac) {
    std::lock_guard lock(Mutex());
    if (Instance() == nullptr) {
      tilo2::core::onDeviceListResult(host, name, mac, nullptr, 0);
      return 0;
    }
    Instance()->Start(host ? host : "", name ? name : "", mac ? mac : "");
    return 0;
  }
  static int GetSystemPortList(const char*, int32_t* ports) {
    std::lock_guard lock(Mutex());
    if (Instance() == nullptr || ports == nullptr) return 255;
    std::lock_guard own(Instance()->mutex_);
    ports[0] = Instance()->ports_[0];
    ports[1] = Instance()->ports_[1];
    return 0;
  }

  void Start(std::string host, std::string name, std::string mac) {
    std::lock_guard lock(mutex_);
    ++asked_;
    hosts_.push_back(host);
    changed_.notify_all();
    threads_.emplace_back([this, host, name, mac] {
      std::vector<Entry> entries;
      {
        std::unique_lock waitLock(mutex_);
        changed_.wait_for(waitLock, kWait, [&] { return !held_; });
        entries = entries_;
      }
      std::vector<tilo2::core::TdevDeviceListEntry_t> records;
      for (Entry& e : entries) {
        records.push_back({e.type, e.deviceId.data(), e.modelName.data()});
      }
      tilo2::core::onDeviceListResult(host.c_str(), name.c_str(), mac.c_str(),
                                      records.empty() ? nullptr : records.data(),
                                      static_cast<int32_t>(records.size()));
      std::lock_guard doneLock(mutex_);
      ++answered_;
      changed_.notify_all();
    });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Entry> entries_;
  int32_t ports_[2] = {8009, 0};
  bool held_ = false;
  int asked_ = 0;
  int answered_ = 0;
  std::vector<std::string> hosts_;
  std::vector<std::thread> threads_;
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
