// The status word's pure computations: the fold, the offline-with-a-reason
// test, the status bytes from real-time replies and the extended error bits.

#include "engine/status_word.h"

#include <gtest/gtest.h>

#include <array>

using namespace tilo2::core;

namespace {

using Bytes4 = std::array<uint8_t, 4>;

TEST(StatusWord, FoldKeepsTheStatusBitsAndDerivesSlipPaper) {
  struct Case {
    Bytes4 asb;
    uint32_t word;
  };
  const Case cases[] = {
      {{0x08, 0x00, 0x00, 0x00}, 0x80000008u},  // offline only
      {{0x00, 0x00, 0x60, 0x40}, 0x40600000u},  // slip sensors all set: no slip paper
      {{0x00, 0x00, 0x20, 0x40}, 0xC0200000u},  // one sensor missing: slip paper ok
      {{0xFF, 0x00, 0x00, 0x00}, 0u},           // no status
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0u},
      {{0x7F, 0xFF, 0xFF, 0xFF}, 0x4F6F6F6Fu},  // fixed bits 4 and 7 dropped
      {{0x14, 0x00, 0x00, 0x0F}, 0x8F000004u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FoldAsb(c.asb.data()), c.word) << std::hex << int{c.asb[0]} << " " << int{c.asb[2]};
  }
}

TEST(StatusWord, OfflineWithReasonNeedsOfflineAndACause) {
  struct Case {
    Bytes4 raw;
    bool expected;
  };
  const Case cases[] = {
      {{0x08, 0x00, 0x00, 0x00}, false}, {{0x28, 0x00, 0x00, 0x00}, true},
      {{0x48, 0x00, 0x00, 0x00}, true},  {{0x08, 0x01, 0x00, 0x00}, true},
      {{0x08, 0x00, 0x04, 0x00}, true},  {{0x08, 0x00, 0x01, 0x00}, false},
      {{0x20, 0x6F, 0x04, 0x00}, false}, {{0x08, 0x10, 0x00, 0x00}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsOfflineWithReason(c.raw.data()), c.expected)
        << std::hex << int{c.raw[0]} << " " << int{c.raw[1]} << " " << int{c.raw[2]};
  }
}

TEST(StatusWord, RealtimeRepliesGiveTheFourStatusBytes) {
  struct Case {
    Bytes4 rt;
    int count;
    Bytes4 held;
    Bytes4 out;
  };
  const Bytes4 none = {0xFF, 0xFF, 0xFF, 0xFF};
  const Case cases[] = {
      {{0x1A, 0x16, 0x00, 0x00}, 1, none, {0x38, 0x00, 0x00, 0x0F}},
      {{0x12, 0x12, 0x12, 0x12}, 4, none, {0x10, 0x00, 0x00, 0x0F}},
      // Drawer and offline from DLE EOT 1, cover and feed from DLE EOT 2.
      {{0x1E, 0x6E, 0x00, 0x00}, 2, none, {0x7C, 0x00, 0x00, 0x0F}},
      // Panel switch from DLE EOT 1 bit 6; errors from DLE EOT 3.
      {{0x52, 0x12, 0x7E, 0x12}, 4, none, {0x10, 0x6E, 0x00, 0x0F}},
      // Roll paper near end and end from DLE EOT 4.
      {{0x12, 0x12, 0x12, 0x16}, 4, none, {0x10, 0x00, 0x01, 0x0F}},
      {{0x12, 0x12, 0x12, 0x1A}, 4, none, {0x10, 0x00, 0x01, 0x0F}},
      {{0x12, 0x12, 0x12, 0x32}, 4, none, {0x10, 0x00, 0x04, 0x0F}},
      {{0x12, 0x12, 0x12, 0x7E}, 4, none, {0x10, 0x00, 0x05, 0x0F}},
      // Hybrid waits come from the held status only.
      {{0x12, 0x12, 0x12, 0x12}, 4, {0x10, 0x00, 0xFF, 0x00}, {0x10, 0x00, 0x0A, 0x0F}},
      {{0x12, 0x12, 0x12, 0x72}, 4, {0x10, 0x00, 0x02, 0x00}, {0x10, 0x00, 0x06, 0x0F}},
      {{0x12, 0x12, 0x12, 0x72}, 4, {0xFF, 0x00, 0x0A, 0x00}, {0x10, 0x00, 0x04, 0x0F}},
      // Fewer than four queries: the held status alone.
      {{0x12, 0x12, 0x12, 0x7E}, 1, {0x10, 0x00, 0x0F, 0x00}, {0x10, 0x00, 0x0A, 0x0F}},
      {{0x12, 0x12, 0x12, 0x7E}, 1, none, {0x10, 0x00, 0x00, 0x0F}},
  };
  for (const Case& c : cases) {
    Bytes4 out{};
    RealtimeStatusBytes(c.rt.data(), c.count, c.held.data(), out.data());
    EXPECT_EQ(out, c.out) << std::hex << int{c.rt[0]} << " " << int{c.rt[1]} << " " << int{c.rt[2]}
                          << " " << int{c.rt[3]} << " count " << c.count;
  }
}

TEST(StatusWord, ExtendedErrorBitsAreBitsTenAndElevenOfTheFirstTwoBytes) {
  struct Case {
    Bytes4 ext;
    bool error10;
    bool error11;
  };
  const Case cases[] = {
      {{'9', 0x40, 0x40, 0x00}, false, false},  {{'9', 0x44, 0x40, 0x00}, true, false},
      {{'9', 0x48, 0x40, 0x00}, false, true},   {{'9', 0x4C, 0x7F, 0x00}, true, true},
      {{0xFF, 0x43, 0xFF, 0xFF}, false, false},
  };
  for (const Case& c : cases) {
    bool error10 = !c.error10;
    bool error11 = !c.error11;
    ExtStatusErrorBits(c.ext.data(), &error10, &error11);
    EXPECT_EQ(error10, c.error10) << std::hex << int{c.ext[1]};
    EXPECT_EQ(error11, c.error11) << std::hex << int{c.ext[1]};
  }
}

TEST(StatusWord, OfflineResponseReasonsBecomeStatusBits) {
  struct Case {
    uint8_t reasons;
    bool batteryModel;
    uint32_t bits;
  };
  const Case cases[] = {
      {0x00, true, 0u},           {0x01, false, 0x20u},      {0x02, false, 0x10000000u},
      {0x04, false, 0x20000000u}, {0x08, false, 0u},         {0x08, true, 0x40000000u},
      {0x10, false, 0x1000u},     {0xFF, true, 0x70001020u}, {0xE0, true, 0u},
  };
  for (const Case& c : cases) {
    const uint8_t response[8] = {'7', '#', 0xFF, 0xFF, 0xFF, 0xFF, c.reasons, 0x00};
    EXPECT_EQ(DecodeOfflineReasons(response, c.batteryModel), c.bits)
        << std::hex << int{c.reasons} << " battery " << c.batteryModel;
  }
}

}  // namespace
