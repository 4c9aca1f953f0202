#pragma once
// Shared by the io tests: one loopback address per test, so the fixed ports
// 9100 and 3289 never collide when ctest runs tests in parallel, a running
// emulator on that address, and small helpers.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "io/kdpx.h"
#include "printer_emulator.h"

namespace io_test {

// Addresses in use (127.0.0.N): emulator self-tests 10-13, control protocol
// 14-29, address cache 30-39, TCP transport 40-69, connection interface
// 70-99. 120 is the broadcast sink: nothing listens there.
inline std::string address(int n) { return "127.0.0." + std::to_string(n); }

// Before any test runs, the MAC broadcast is pointed at a loopback address
// where nobody listens, so even a test that forgets its own seam can never
// send to 255.255.255.255.
inline const bool kBroadcastSinkSet = (TiloIoKdpxSetBroadcastDestination("127.0.0.120"), true);

// Several builds of the suite (other work trees, sanitizer builds) may run at
// once on one machine and use the same address: the ports are taken in turn,
// waiting until the other run's test has let them go.
inline std::unique_ptr<printer_emulator::PrinterEmulator> startEmulator(int n) {
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

inline int64_t msSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace io_test
