#pragma once
// Shared by the host connection, waiter and device handle tests: one service
// emulator per test on its own loopback address, a recorder for the
// connection slots, and a fixture that checks every thread the client
// started has ended.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "foundation/lock_guard.h"
#include "service/device_handles.h"
#include "service/device_service.h"
#include "service/host_connection.h"
#include "service/test_hooks.h"
#include "service/waiters.h"
#include "service_emulator.h"
#include "service_emulator_support.h"

namespace host_test {

using namespace tilo2::core;
using io_test::Eventually;
using namespace std::chrono_literals;

// Addresses 970-1019 (127.0.3.202 ...) belong to these tests.
inline std::unique_ptr<service_emulator::ServiceEmulator> startService(int n) {
  return service_test::startServiceEmulator(n);
}

// What a test's own callbacks saw, in order; filled from the client's
// threads while the test reads it.
template <class T>
class Records {
 public:
  void add(T record) {
    std::lock_guard lock(mutex_);
    records_.push_back(std::move(record));
    changed_.notify_all();
  }
  std::vector<T> all() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  size_t size() const {
    std::lock_guard lock(mutex_);
    return records_.size();
  }
  void clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }
  // Waits (at most limit) until count records arrived.
  bool waitFor(size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return records_.size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<T> records_;
};

// What the connection slots 0, 1 and 2 reported, per connection.
struct SlotEvent {
  TdevConnection_t* connection;
  int slot;
  std::string host;
};

class SlotRecorder {
 public:
  static SlotRecorder& instance() {
    static SlotRecorder recorder;
    return recorder;
  }
  void record(TdevConnection_t* connection, int slot, const char* host) {
    std::lock_guard lock(mutex_);
    events_.push_back({connection, slot, host != nullptr ? host : ""});
  }
  int count(TdevConnection_t* connection, int slot) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& e : events_) n += e.connection == connection && e.slot == slot;
    return n;
  }
  std::vector<int> slots(TdevConnection_t* connection) const {
    std::lock_guard lock(mutex_);
    std::vector<int> out;
    for (const auto& e : events_)
      if (e.connection == connection) out.push_back(e.slot);
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<SlotEvent> events_;
};

inline void OnDisconnected(TdevConnection_t* c, const char* host) {
  SlotRecorder::instance().record(c, 0, host);
}
inline void OnReconnecting(TdevConnection_t* c, const char* host) {
  SlotRecorder::instance().record(c, 1, host);
}
inline void OnReconnected(TdevConnection_t* c, const char* host) {
  SlotRecorder::instance().record(c, 2, host);
}

// Installs the recorder in slots 0, 1 and 2 (in place of the device layer's
// notifiers, which would destroy the connection).
inline void recordSlots(TdevConnection_t* connection) {
  TdevSetConnectionCallback(connection, 0, reinterpret_cast<void*>(&OnDisconnected));
  TdevSetConnectionCallback(connection, 1, reinterpret_cast<void*>(&OnReconnecting));
  TdevSetConnectionCallback(connection, 2, reinterpret_cast<void*>(&OnReconnected));
}

// Every test ends with the client's threads gone and the bounds restored.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SlotRecorder::instance().clear();
    threadsBefore_ = TdevLiveThreadCount();
  }
  void TearDown() override {
    for (TdevConnection_t* c : connections_) TdevDestroyConnection(c);
    TdevSetReconnectLimit(0);
    TdevSetReplyBounds(0, 0);
    EXPECT_TRUE(Eventually([&] { return TdevLiveThreadCount() == threadsBefore_; }, 20s))
        << "client threads still running: " << TdevLiveThreadCount() - threadsBefore_;
    EXPECT_EQ(TdevPendingWaiters(), 0);
  }

  // Starts the emulator of this test on address n.
  service_emulator::ServiceEmulator& service(int n) {
    emulator_ = startService(n);
    host_ = io_test::address(n);
    return *emulator_;
  }
  const char* host() const { return host_.c_str(); }

  // TdevConnectSync to this test's host; the connection is destroyed at the end.
  TdevConnection_t* connect(int tls = 0, int* result = nullptr) {
    TdevConnection_t* c = nullptr;
    const int r = TdevConnectSync(nullptr, host(), tls, &c, 10000);
    if (result != nullptr) *result = r;
    if (c != nullptr) {
      recordSlots(c);
      adopt(c);
    }
    return c;
  }
  void adopt(TdevConnection_t* c) {
    for (TdevConnection_t* known : connections_)
      if (known == c) return;
    connections_.push_back(c);
  }

  std::unique_ptr<service_emulator::ServiceEmulator> emulator_;
  std::string host_;
  std::vector<TdevConnection_t*> connections_;
  int32_t threadsBefore_ = 0;
};

// Another sender holds the connection's send lock from a thread of its own
// until release() or the end of this object, so a request's send finds it
// busy without touching the link.
class SendLockHolder {
 public:
  explicit SendLockHolder(TdevConnection_t* connection)
      : thread_([this, connection] {
          PlatformLockGuard guard(connection->sendLock);
          std::unique_lock lock(mutex_);
          held_ = static_cast<bool>(guard);
          taken_ = true;
          changed_.notify_all();
          changed_.wait(lock, [this] { return release_; });
        }) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [this] { return taken_; });
  }
  ~SendLockHolder() { release(); }
  SendLockHolder(const SendLockHolder&) = delete;
  SendLockHolder& operator=(const SendLockHolder&) = delete;

  // Whether the other sender holds the lock (checked once the constructor returned).
  bool held() const {
    std::lock_guard lock(mutex_);
    return held_;
  }
  // Lets go of the lock and waits for the other sender to end.
  void release() {
    {
      std::lock_guard lock(mutex_);
      release_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool taken_ = false;
  bool held_ = false;
  bool release_ = false;
  std::thread thread_;
};

// Raw message bytes the emulator received of one kind, in order.
inline std::vector<std::string> receivedRaw(const service_emulator::ServiceEmulator& e,
                                            const std::string& kind) {
  std::vector<std::string> out;
  for (const auto& m : e.received(kind)) out.push_back(m.raw);
  return out;
}

// Waits until the service has sent at least count messages of this kind.
inline bool waitForSent(const service_emulator::ServiceEmulator& e, const std::string& kind,
                        size_t count, std::chrono::milliseconds limit) {
  return e.waitFor(
      [&](const auto& messages) {
        size_t n = 0;
        for (const auto& m : messages) n += m.fromService && m.kind == kind;
        return n >= count;
      },
      limit);
}

inline std::string withNul(const std::string& text) { return text + std::string(1, '\0'); }

}  // namespace host_test
