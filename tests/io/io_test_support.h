#pragma once
// Shared by the io tests: one loopback address per test, so the fixed ports
// 9100 and 3289 never collide when ctest runs tests in parallel, a running
// emulator on that address, and small helpers.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log_settings.h"
#include "io/kdpx.h"
#include "io/test_hooks.h"
#include "printer_emulator.h"

using namespace tilo2::core;

namespace io_test {

// Addresses in use (127.0.0.N): emulator self-tests 10-13, control protocol
// 14-29, address cache 30-39, TCP transport 40-51, later additions 52-69,
// connection interface 70-99, the emulator's network front 100-106, the print
// engine 130-239, the example, benchmark and emulator program 246-251, the
// hybrid and display chains from 300 (127.0.1.44) on. 120 is the broadcast
// sink: nothing listens there.
// Numbers above 255 continue in 127.0.1.x: the whole 127/8 is loopback.
inline std::string address(int n) {
  return "127.0." + std::to_string(n / 256) + "." + std::to_string(n % 256);
}

// ctest runs every test as a process of its own, all at once: two tests on one
// address would fight over its fixed ports. A run of the whole binary notices
// when a second test takes an address that an earlier test already used.
inline void claimAddress(int n) {
  static std::mutex mutex;
  static std::map<int, std::string> owners;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string test =
      info ? std::string(info->test_suite_name()) + "." + info->name() : "(no test)";
  std::lock_guard lock(mutex);
  const auto [it, fresh] = owners.emplace(n, test);
  if (!fresh && it->second != test) {
    ADD_FAILURE() << address(n) << " is used by " << it->second << " and by " << test
                  << ": give each test an address of its own";
  }
}

// Before any test runs, the MAC broadcast is pointed at a loopback address
// where nobody listens, so even a test that forgets its own seam can never
// send to 255.255.255.255.
inline const bool kBroadcastSinkSet = (TiloIoKdpxSetBroadcastDestination("127.0.0.120"), true);

// Several builds of the suite (other work trees, sanitizer builds) may run at
// once on one machine and use the same address: the ports are taken in turn,
// waiting until the other run's test has let them go.
inline std::unique_ptr<printer_emulator::PrinterEmulator> startEmulator(int n) {
  claimAddress(n);
  printer_emulator::Options options;
  options.address = address(n);
  auto emulator = std::make_unique<printer_emulator::PrinterEmulator>(options);
  std::string error;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!emulator->start(&error)) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "emulator on " << options.address << ": " << error;
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return emulator;
}

// Points the MAC broadcast at one emulator for the life of the object.
class BroadcastTo {
 public:
  explicit BroadcastTo(int n) { TiloIoKdpxSetBroadcastDestination(address(n).c_str()); }
  ~BroadcastTo() { TiloIoKdpxSetBroadcastDestination("127.0.0.120"); }
};

// A plain client on the printer's data port, as another host would hold it; -1 on failure.
inline int connectDataPort(const std::string& ip) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(9100);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends the log at full level to a file of its own while it lives, and reads
// the lines back.
class LogCapture {
 public:
  LogCapture() {
    char pattern[] = "/tmp/tilo2-io-log-XXXXXX";
    if (const char* dir = ::mkdtemp(pattern)) folder_ = dir;
    EXPECT_EQ(log_set_settings(folder_.c_str(), 0, 1, nullptr, 0, 10, 255), 0);
  }
  ~LogCapture() {
    log_set_settings(nullptr, 0, 0, nullptr, 0, 10, 0);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Lines that contain every one of the given texts.
  std::vector<std::string> lines(std::initializer_list<const char*> having) const {
    std::vector<std::string> out;
    std::ifstream file(folder_ + "/Tilo2Log/Tilo2Log.txt");
    for (std::string line; std::getline(file, line);) {
      bool all = true;
      for (const char* text : having) all = all && line.find(text) != std::string::npos;
      if (all) out.push_back(line);
    }
    return out;
  }

 private:
  std::string folder_;
};

inline int64_t msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// Waits for a condition with a generous deadline, polling.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Bytes the printer took in on its data port, from the emulator's log.
inline std::vector<uint8_t> PrinterBytes(printer_emulator::PrinterEmulator& emulator) {
  std::vector<uint8_t> bytes;
  uint64_t cursor = 0;
  for (const auto& entry : emulator.readLog(cursor)) {
    if (entry.fromPrinter || entry.channel != printer_emulator::LogChannel::TcpPrinter) continue;
    bytes.insert(bytes.end(), entry.bytes.begin(), entry.bytes.end());
  }
  return bytes;
}

// How often the text stands in the bytes.
inline size_t Count(const std::vector<uint8_t>& haystack, const std::string& needle) {
  size_t n = 0;
  for (auto it = haystack.begin();
       (it = std::search(it, haystack.end(), needle.begin(), needle.end())) != haystack.end();
       ++it) {
    ++n;
  }
  return n;
}

inline bool Contains(const std::vector<uint8_t>& haystack, const std::string& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

}  // namespace io_test
