#pragma once
// Shared by the service tests: a device-service emulator on the test's own
// loopback address (see io_test::address), started with the same patience as
// the printer emulator, since other runs of the suite may hold the fixed ports
// 8009 and 8143 of that address for a while.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "../io/io_test_support.h"
#include "service_emulator.h"

namespace service_test {

inline std::unique_ptr<service_emulator::ServiceEmulator> startServiceEmulator(
    int n, service_emulator::Options options = {}) {
  io_test::claimAddress(n);
  options.address = io_test::address(n);
  auto emulator = std::make_unique<service_emulator::ServiceEmulator>(options);
  std::string error;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!emulator->start(&error)) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "service emulator on " << options.address << ": " << error;
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return emulator;
}

}  // namespace service_test
