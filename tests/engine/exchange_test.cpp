// The exchanges against the printer emulator: real-time status queries, the
// receive loop, the fixed query sequences and the send path.

#include "engine/exchange.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "engine/print_result.h"
#include "engine/status_store.h"
#include "engine/status_word.h"
#include "engine_test_support.h"

using namespace tilo2::core;
using engine_test::EmulatedPrinter;
using printer_emulator::Faults;
using printer_emulator::Profile;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Exchange, RealtimeStatusFoldsTheTwoFirstReplies) {
  EmulatedPrinter printer(130);
  ASSERT_TRUE(printer.ok());
  Faults faults;
  faults.coverOpen = true;  // DLE EOT 1 answers 1Ah, DLE EOT 2 16h
  printer.state().setFaults(faults);
  uint8_t out[4] = {};
  const int32_t result =
      printer.OnQueue([&] { return GetRealtimeStatus(nullptr, printer.handle(), out, 4, 2000); });
  ASSERT_EQ(result, 0);
  EXPECT_EQ(out[0], 0x38);
  EXPECT_EQ(out[3], 0x0F);
  const Bytes sent = printer.DataBytes();
  EXPECT_EQ(sent, (Bytes{0x10, 0x04, 0x01, 0x10, 0x04, 0x02, 0x10, 0x04, 0x03, 0x10, 0x04, 0x04}));
}

}  // namespace
