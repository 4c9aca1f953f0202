// How long a discovery takes to report a shop's worth of network printers:
// 32 emulators on 127.0.3.1 to 127.0.3.32, each with its own name and MAC,
// found with the default filter. The time runs from the StartAsync call to
// the Discovered event of the 32nd distinct printer.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>

#include "discovery_test_support.h"

namespace discovery_test {
namespace {

constexpr int kPrinters = 32;
constexpr int kFirstAddress = 769;  // 127.0.3.1

TEST_F(DiscoveryRun, ThirtyTwoPrintersReported) {
  std::set<std::string> expected;
  for (int i = 0; i < kPrinters; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "RP-S100 #%02d", i + 1);
    AddPrinter(kFirstAddress + i, name,
               {0x00, 0x1A, 0x7D, 0x30, 0x00, static_cast<uint8_t>(i + 1)});
    expected.insert("TCP:" + io_test::address(kFirstAddress + i));
  }
  Recorder recorder;
  const auto start = std::chrono::steady_clock::now();
  const api::IAsyncAction started = disc::Discovery::StartAsync(nullptr);
  ASSERT_EQ(Outcome(started), 0);
  std::chrono::steady_clock::time_point last{};
  const bool all = recorder.WaitFor(
      [&](const std::vector<Seen>& seen) {
        std::set<std::string> printers;
        for (const Seen& s : seen) {
          if (s.info->DeviceType() == disc::DeviceType::Printer && expected.count(s.target())) {
            if (printers.insert(s.target()).second && printers.size() == expected.size()) {
              last = s.when;
            }
          }
        }
        return printers.size() == expected.size();
      },
      std::chrono::duration_cast<std::chrono::milliseconds>(start + std::chrono::seconds(10) -
                                                            std::chrono::steady_clock::now()));
  ASSERT_TRUE(all) << "not every printer was reported within 10 s";
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(last - start).count();
  std::printf("[ discovery ] %d printers reported %lld ms after the start\n", kPrinters,
              static_cast<long long>(ms));
  RecordProperty("milliseconds", static_cast<int>(ms));
  EXPECT_LE(ms, 10000);
  ASSERT_EQ(Outcome(disc::Discovery::StopAsync()), 0);
  // Each printer once, names as its emulator gave them.
  for (int i = 0; i < kPrinters; ++i) {
    const std::string target = "TCP:" + io_test::address(kFirstAddress + i);
    EXPECT_EQ(Recorder::Count(recorder.All(), target, disc::DeviceType::Printer), 1u) << target;
  }
}

}  // namespace
}  // namespace discovery_test
