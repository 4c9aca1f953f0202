#pragma once
// Shared by the HTTP, query and status-monitor tests: a device-service
// emulator on the test's own loopback address with the client pointed at its
// HTTP ports, and a collector of reply callbacks.
//
// Addresses in use (io_test::address(N), N = 920..969): HTTP client 920-939, queries
// 940-954, status monitor 955-969.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "service/test_hooks.h"
#include "service_emulator_support.h"

namespace http_test {

using namespace std::chrono_literals;

// Starts an emulator on 127.0.0.N and hands its HTTP and HTTPS ports to the
// client for that host.
inline std::unique_ptr<service_emulator::ServiceEmulator> startService(int n) {
  auto emulator = service_test::startServiceEmulator(n);
  if (emulator) {
    tilo2::core::TdevSetHttpPorts(emulator->options().address.c_str(), emulator->httpPort(),
                                  emulator->httpsPort());
  }
  return emulator;
}

// One reply callback as it arrived.
struct Reply {
  std::string host;
  std::string devid;
  std::optional<std::string> body;  // nothing when the callback carried no body
  std::chrono::steady_clock::time_point when;
};

// Collects reply callbacks (any thread) and waits for them.
class Replies {
 public:
  static void Callback(const char* host, const char* devid, const char* body, size_t length,
                       void* context) {
    auto* self = static_cast<Replies*>(context);
    Reply reply{host ? host : "", devid ? devid : "", std::nullopt,
                std::chrono::steady_clock::now()};
    if (body) reply.body = std::string(body, length);
    std::lock_guard lock(self->mutex_);
    self->replies_.push_back(std::move(reply));
    self->changed_.notify_all();
  }

  // Waits until count replies arrived (generous limit); false when they did not.
  bool waitFor(size_t count, std::chrono::milliseconds limit = 30s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return replies_.size() >= count; });
  }
  std::vector<Reply> all() {
    std::lock_guard lock(mutex_);
    return replies_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Reply> replies_;
};

}  // namespace http_test
