#pragma once
// Shared by the io tests: one loopback address per test, so the fixed ports
// 9100 and 3289 never collide when ctest runs tests in parallel, and a running
// emulator on that address.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "printer_emulator.h"

namespace io_test {

// Each test names its own address here; a number is never used twice.
inline std::string address(int n) { return "127.0.0." + std::to_string(n); }

inline std::unique_ptr<printer_emulator::PrinterEmulator> startEmulator(int n) {
  printer_emulator::Options options;
  options.address = address(n);
  auto emulator = std::make_unique<printer_emulator::PrinterEmulator>(options);
  std::string error;
  if (!emulator->start(&error)) {
    ADD_FAILURE() << "emulator on " << options.address << ": " << error;
    return nullptr;
  }
  return emulator;
}

}  // namespace io_test
