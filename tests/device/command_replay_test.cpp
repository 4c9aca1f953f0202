// Replay of the command list: every stored value mapped into the numbering
// of each backend (through a recording operation table), slot results in the
// layer's codes, the operation-table fillers, the slot forwarders, and a
// replay into the engine's real builder compared byte for byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "device/command_blocks.h"
#include "device/command_list.h"
#include "device/printer_commands.h"
#include "encoding/builder/cmd_data.h"
#include "encoding/printer/prn_cmd.h"
#include "engine/builder_ops.h"
#include "engine/builder_records.h"
#include "engine/print_handle.h"
#include "engine/test_hooks.h"
#include "service/device_service.h"

using namespace tilo2::core;

namespace {

// ---------------------------------------------------------------------------
// A recording operation table: slot k records kind k and its arguments and
// answers the scripted result of kind k.

struct Call {
  int kind = -1;
  void* builder = nullptr;
  std::vector<int64_t> ints;
  std::string text;
  double real = 0;
  std::vector<const void*> pointers;
};

std::vector<Call> gCalls;
int gResult[kTdcPrinterCommandKinds] = {};

template <typename T>
void Put(Call& call, T value) {
  if constexpr (std::is_integral_v<T>) {
    call.ints.push_back(value);
  } else if constexpr (std::is_floating_point_v<T>) {
    call.real = value;
  } else if constexpr (std::is_same_v<T, const char*>) {
    call.text = value;
  } else {
    call.pointers.push_back(value);
  }
}

template <int K, typename B, typename... A>
int Record(B* builder, A... args) {
  Call call;
  call.kind = K;
  call.builder = builder;
  (Put(call, args), ...);
  gCalls.push_back(call);
  return gResult[K];
}

template <int K, typename B, typename... A>
void* Slot() {
  return reinterpret_cast<void*>(&Record<K, B, A...>);
}

using I = int32_t;
using Text = const char*;
using Bytes = const uint8_t*;

// B: the builder type of most slots; ImageB/ImageH the image slot's builder
// and backend handle; CommandB the raw-command slot's builder.
template <typename B, typename ImageB, typename ImageH, typename CommandB>
TdcPrinterOps_t RecordingOps() {
  TdcPrinterOps_t ops{};
  void* const slots[kTdcPrinterCommandKinds] = {
      Slot<0, B, I>(),
      Slot<1, B, I>(),
      Slot<2, B, I>(),
      Slot<3, B, Text>(),
      Slot<4, B, I>(),
      Slot<5, B, I>(),
      Slot<6, B, I>(),
      Slot<7, B, I, I>(),
      Slot<8, B, I, I, I, I>(),
      Slot<9, B, I>(),
      Slot<10, B, I>(),
      Slot<11, B, I>(),
      Slot<12, ImageB, Bytes, I, I, I, I, I, I, I, I, I, double, I, ImageH*>(),
      Slot<13, B, I, I>(),
      Slot<14, B, Text, I, I, I, I, I>(),
      Slot<15, B, Text, I, I, I, I, I>(),
      Slot<16, B, I, I, I>(),
      Slot<17, B, I, I>(),
      Slot<18, B, I, I>(),
      Slot<19, B>(),
      Slot<20, B>(),
      Slot<21, B, I, I, I, I>(),
      Slot<22, B, I>(),
      Slot<23, B, I, I>(),
      Slot<24, B, I, I, I, I, I>(),
      Slot<25, B, I, I, I, I, I>(),
      Slot<26, B, I>(),
      Slot<27, B, I, I>(),
      Slot<28, B, I, I, I>(),
      Slot<29, CommandB, Bytes, I>(),
      Slot<30, B, I>(),
      Slot<31, B, I, I, I, I, I, I, I>(),
  };
  for (int k = 0; k < kTdcPrinterCommandKinds; ++k) ops.slot[k] = slots[k];
  return ops;
}

TdcPrinterOps_t DirectRecordingOps() {
  return RecordingOps<PrinterBuilder_t, PrinterBuilder_t, PrintHandle_t, PrinterBuilder_t>();
}
TdcPrinterOps_t ServiceRecordingOps() {
  return RecordingOps<TdevPrinterHandle_t, void, void, void>();
}

// A printer record with its list, replayed through a recording table.
class Replay : public ::testing::Test {
 protected:
  void SetUp() override {
    gCalls.clear();
    std::fill(std::begin(gResult), std::end(gResult), 0);
    settings_ = {6, 0, TDC_PORT_TCP};
    record_.settings = &settings_;
    TdcInitCommandList(&record_.commands.commandList);
  }
  void TearDown() override { TdcDestroyCommandList(&record_.commands.commandList); }

  TdcCommandList_t* list() { return &record_.commands.commandList; }

  // Replays the list in the mode; the recorded calls are in gCalls.
  int Run(int32_t mode) {
    gCalls.clear();
    ops_ = mode == TDC_MODE_DIRECT ? DirectRecordingOps() : ServiceRecordingOps();
    record_.commands.ops = &ops_;
    return TdcReplayPrinterCommands(mode, &builderToken_, &record_.commands);
  }

  TdcPrinter_t record_{};
  TdcPrinterSettings_t settings_{};
  TdcPrinterOps_t ops_{};
  int builderToken_ = 0;
};

// ---------------------------------------------------------------------------
// Mappings, both modes.

struct MappingCase {
  const char* name;
  std::function<int(TdcCommandList_t*)> append;
  int kind;                     // the slot expected to run; -1 none (the job refused)
  std::vector<int64_t> direct;  // arguments it receives in mode 1
  std::vector<int64_t> service;
  std::string text = {};
  bool nothingDirect = false;  // mode 1 has no command for it and sends nothing
};

std::vector<MappingCase> MappingCases() {
  using L = TdcCommandList_t*;
  return {
      {"align 1", [](L l) { return TdcAddPrinterCommandInt(l, 0, 1); }, 0, {1}, {1}},
      {"align default", [](L l) { return TdcAddPrinterCommandInt(l, 0, -2); }, 0, {0}, {0}},
      {"align 7 left out", [](L l) { return TdcAddPrinterCommandInt(l, 0, 7); }, -1, {}, {}},
      {"line space as stored",
       [](L l) { return TdcAddPrinterCommandInt(l, 1, 30); },
       1,
       {30},
       {30}},
      {"rotate default", [](L l) { return TdcAddPrinterCommandInt(l, 2, -2); }, 2, {0}, {0}},
      {"text", [](L l) { return TdcAddPrinterCommandText(l, "abc"); }, 3, {}, {}, "abc"},
      {"lang 6", [](L l) { return TdcAddPrinterCommandInt(l, 4, 6); }, 4, {6}, {0}},
      {"lang default", [](L l) { return TdcAddPrinterCommandInt(l, 4, -2); }, 4, {0}, {0}},
      {"lang 7 left out", [](L l) { return TdcAddPrinterCommandInt(l, 4, 7); }, -1, {}, {}},
      {"font 4", [](L l) { return TdcAddPrinterCommandInt(l, 5, 4); }, 5, {4}, {4}},
      {"smooth 1", [](L l) { return TdcAddPrinterCommandInt(l, 6, 1); }, 6, {1}, {1}},
      {"size default and 3",
       [](L l) { return TdcAddPrinterCommandTwoInts(l, 7, -2, 3); },
       7,
       {1, 3},
       {1, 3}},
      {"size -1 kept",
       [](L l) { return TdcAddPrinterCommandTwoInts(l, 7, -1, 8); },
       7,
       {-1, 8},
       {-1, 8}},
      {"size both -1 left out",
       [](L l) { return TdcAddPrinterCommandTwoInts(l, 7, -1, -1); },
       -1,
       {},
       {}},
      {"style mixed",
       [](L l) { return TdcAddPrinterCommandFourInts(l, 8, -1, 1, -2, -2); },
       8,
       {-1, 1, 0, 1},
       {-1, 1, 0, 1}},
      {"style all -1 left out",
       [](L l) { return TdcAddPrinterCommandFourInts(l, 8, -1, -1, -1, -1); },
       -1,
       {},
       {}},
      {"style bad color left out",
       [](L l) { return TdcAddPrinterCommandFourInts(l, 8, 1, 1, 1, 5); },
       -1,
       {},
       {}},
      {"hposition", [](L l) { return TdcAddPrinterCommandInt(l, 9, 65535); }, 9, {65535}, {65535}},
      {"feed unit", [](L l) { return TdcAddPrinterCommandInt(l, 10, 0); }, 10, {0}, {0}},
      {"feed line", [](L l) { return TdcAddPrinterCommandInt(l, 11, 255); }, 11, {255}, {255}},
      {"logo",
       [](L l) { return TdcAddPrinterCommandTwoInts(l, 13, 32, 33); },
       13,
       {32, 33},
       {32, 33}},
      {"barcode",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 14, "123", 2, -1, -2, 3, 60); },
       14,
       {2, -1, 0, 3, 60},
       {2, -1, 0, 3, 60},
       "123"},
      {"barcode hri default",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 14, "1", 15, -2, 1, -1, -1); },
       14,
       {15, 0, 1, -1, -1},
       {15, 0, 1, -1, -1},
       "1"},
      {"barcode type 16 left out",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 14, "1", 16, 0, 0, 2, 1); },
       -1,
       {},
       {}},
      {"qr micro",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 15, "q", 4, 105, 3, 3, 0); },
       15,
       {-3, 9, 3, 3, 0},
       {4, 9, 3, 3, 0},
       "q"},
      {"qr default level",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 15, "q", 3, -2, 3, -1, -1); },
       15,
       {3, 10, 3, -1, -1},
       {3, 10, 3, -1, -1},
       "q"},
      {"pdf417 level 105 left out",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 15, "p", 0, 105, 3, 3, 0); },
       -1,
       {},
       {}},
      {"pdf417 level 104",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 15, "p", 1, 104, 3, 3, 0); },
       15,
       {1, 8, 3, 3, 0},
       {1, 8, 3, 3, 0},
       "p"},
      {"aztec 50",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 15, "a", 13, 50, 3, 3, 0); },
       15,
       {12, 50, 3, 3, 0},
       {13, 50, 3, 3, 0},
       "a"},
      {"aztec default",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 15, "a", 14, -2, 3, 3, 0); },
       15,
       {13, 23, 3, 3, 0},
       {14, 23, 3, 3, 0},
       "a"},
      {"aztec 4 left out",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 15, "a", 13, 4, 3, 3, 0); },
       -1,
       {},
       {}},
      {"maxicode default",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 15, "m", 5, -2, 3, 3, 0); },
       15,
       {4, 13, 3, 3, 0},
       {5, 13, 3, 3, 0},
       "m"},
      {"maxicode level 1 left out",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 15, "m", 5, 1, 3, 3, 0); },
       -1,
       {},
       {}},
      {"symbol level -1 kept",
       [](L l) { return TdcAddPrinterCommandSymbol(l, 15, "m", 18, -1, 3, 3, 0); },
       15,
       {17, -1, 3, 3, 0},
       {18, -1, 3, 3, 0},
       "m"},
      {"hline default style",
       [](L l) { return TdcAddPrinterCommandThreeInts(l, 16, 0, 100, -2); },
       16,
       {0, 100, 0},
       {0, 100, 0}},
      {"vline begin",
       [](L l) { return TdcAddPrinterCommandTwoInts(l, 17, 10, 5); },
       17,
       {10, 5},
       {10, 5}},
      {"vline end bad style left out",
       [](L l) { return TdcAddPrinterCommandTwoInts(l, 18, 10, 6); },
       -1,
       {},
       {}},
      {"page begin", [](L l) { return TdcAddPrinterCommandNone(l, 19); }, 19, {}, {}},
      {"page end", [](L l) { return TdcAddPrinterCommandNone(l, 20); }, 20, {}, {}},
      {"page area",
       [](L l) { return TdcAddPrinterCommandFourInts(l, 21, 0, 1, 2, 3); },
       21,
       {0, 1, 2, 3},
       {0, 1, 2, 3}},
      {"page direction default",
       [](L l) { return TdcAddPrinterCommandInt(l, 22, -2); },
       22,
       {0},
       {0}},
      {"page position -1 10",
       [](L l) { return TdcAddPrinterCommandTwoInts(l, 23, -1, 10); },
       23,
       {-1, 10},
       {-1, 10}},
      {"page position both -1 left out",
       [](L l) { return TdcAddPrinterCommandTwoInts(l, 23, -1, -1); },
       -1,
       {},
       {}},
      {"page line",
       [](L l) { return TdcAddPrinterCommandFiveInts(l, 24, 1, 2, 3, 4, 5); },
       24,
       {1, 2, 3, 4, 5},
       {1, 2, 3, 4, 5}},
      {"page rectangle default",
       [](L l) { return TdcAddPrinterCommandFiveInts(l, 25, -1, 2, 3, 4, -2); },
       25,
       {-1, 2, 3, 4, 0},
       {-1, 2, 3, 4, 0}},
      {"cut 0", [](L l) { return TdcAddPrinterCommandInt(l, 26, 0); }, 26, {1}, {1}},
      {"cut 1", [](L l) { return TdcAddPrinterCommandInt(l, 26, 1); }, 26, {0}, {0}},
      {"cut default", [](L l) { return TdcAddPrinterCommandInt(l, 26, -2); }, 26, {1}, {1}},
      {"pulse", [](L l) { return TdcAddPrinterCommandTwoInts(l, 27, -2, 4); }, 27, {0, 4}, {0, 4}},
      {"sound pattern 0",
       [](L l) { return TdcAddPrinterCommandThreeInts(l, 28, 0, 3, 2000); },
       28,
       {},
       {0, 3, 2000},
       "",
       true},
      {"sound defaults",
       [](L l) { return TdcAddPrinterCommandThreeInts(l, 28, -2, -2, -2); },
       28,
       {0, 1, 1000},
       {1, 1, 1000}},
      {"sound 17",
       [](L l) { return TdcAddPrinterCommandThreeInts(l, 28, 17, 0, 25500); },
       28,
       {16, 0, 25500},
       {17, 0, 25500}},
      {"feed position 3", [](L l) { return TdcAddPrinterCommandInt(l, 30, 3); }, 30, {3}, {3}},
      {"feed position default left out",
       [](L l) { return TdcAddPrinterCommandInt(l, 30, -2); },
       -1,
       {},
       {}},
      {"layout 1",
       [](L l) { return TdcAddPrinterCommandLayout(l, 1, 580, 0, -150, 0, -290, 0); },
       31,
       {3, 580, 0, -150, 0, -290, 0},
       {1, 580, 0, -150, 0, -290, 0}},
      {"layout 2",
       [](L l) { return TdcAddPrinterCommandLayout(l, 2, 290, 284, 0, -15, 0, 0); },
       31,
       {1, 290, 284, 0, -15, 0, 0},
       {2, 290, 284, 0, -15, 0, 0}},
  };
}

TEST_F(Replay, MapsEveryStoredValueIntoEachBackend) {
  for (const MappingCase& c : MappingCases()) {
    for (int32_t mode : {TDC_MODE_DIRECT, TDC_MODE_SERVICE}) {
      ASSERT_EQ(TdcClearPrinterCommands(list()), 0);
      ASSERT_EQ(c.append(list()), 0) << c.name;
      // A text behind each case: a refused command stops the job before it.
      ASSERT_EQ(TdcAddPrinterCommandText(list(), "after"), 0);
      if (c.kind < 0) {
        EXPECT_EQ(Run(mode), 1) << c.name << " mode " << mode;
        EXPECT_TRUE(gCalls.empty()) << c.name << " mode " << mode;
        continue;
      }
      EXPECT_EQ(Run(mode), 0) << c.name << " mode " << mode;
      const bool nothing = mode == TDC_MODE_DIRECT && c.nothingDirect;
      ASSERT_EQ(gCalls.size(), nothing ? 1u : 2u) << c.name << " mode " << mode;
      EXPECT_EQ(gCalls.back().kind, TDC_CMD_TEXT);
      EXPECT_EQ(gCalls.back().text, "after");
      if (nothing) continue;
      const Call& call = gCalls.front();
      EXPECT_EQ(call.kind, c.kind) << c.name;
      EXPECT_EQ(call.builder, &builderToken_) << c.name;
      EXPECT_EQ(call.ints, mode == TDC_MODE_DIRECT ? c.direct : c.service)
          << c.name << " mode " << mode;
      EXPECT_EQ(call.text, c.text) << c.name;
    }
  }
}

TEST_F(Replay, RawCommandPassesItsBytesAndLength) {
  const uint8_t bytes[] = {0x1b, 0x40, 0x0a};
  ASSERT_EQ(TdcAddPrinterCommandData(list(), bytes, 3), 0);
  for (int32_t mode : {TDC_MODE_DIRECT, TDC_MODE_SERVICE}) {
    EXPECT_EQ(Run(mode), 0);
    ASSERT_EQ(gCalls.size(), 1u);
    EXPECT_EQ(gCalls[0].kind, TDC_CMD_COMMAND);
    EXPECT_EQ(gCalls[0].ints, std::vector<int64_t>{3});
    const auto* copy = static_cast<const uint8_t*>(gCalls[0].pointers.at(0));
    EXPECT_EQ(std::vector<uint8_t>(copy, copy + 3), std::vector<uint8_t>(bytes, bytes + 3));
  }
}

// ---------------------------------------------------------------------------
// Images: color, mode, halftone through their tables, brightness -2 as 1.0,
// compression by page mode, port type and table, the handle read at replay.

const uint8_t kPixels[4 * 2 * 3] = {};

struct ImageCase {
  const char* name;
  int32_t color, mode, halftone;
  double brightness;
  int32_t compress;
  int32_t pageMode;
  int32_t portType;
  std::vector<int64_t> direct;  // color, mode, halftone, compress; empty: the job refused
  std::vector<int64_t> service;
  double brightnessOut;
};

TEST_F(Replay, ImageValuesAndCompression) {
  const std::vector<ImageCase> cases = {
      {"defaults over tcp", -2, -2, -2, -2.0, -2, 0, TDC_PORT_TCP, {1, 0, 0, 0}, {1, 0, 0, 0}, 1.0},
      {"default compress over bluetooth",
       4,
       1,
       2,
       2.5,
       -2,
       0,
       TDC_PORT_BLUETOOTH,
       {4, 1, 2, 1},
       {4, 1, 2, 1},
       2.5},
      {"auto compress over bluetooth",
       0,
       0,
       1,
       0.1,
       2,
       0,
       TDC_PORT_BLUETOOTH,
       {0, 0, 1, 1},
       {0, 0, 1, 1},
       0.1},
      {"never compressed in page mode",
       1,
       0,
       0,
       1.0,
       -2,
       1,
       TDC_PORT_BLUETOOTH,
       {1, 0, 0, 0},
       {1, 0, 0, 0},
       1.0},
      {"compress 0 is on", 1, 0, 0, 1.0, 0, 0, TDC_PORT_TCP, {1, 0, 0, 1}, {1, 0, 0, -3}, 1.0},
      {"compress 1 is off", 1, 0, 0, 1.0, 1, 0, TDC_PORT_TCP, {1, 0, 0, 0}, {1, 0, 0, -3}, 1.0},
      {"high density has no service value",
       1,
       2,
       0,
       1.0,
       1,
       0,
       TDC_PORT_TCP,
       {1, 2, 0, 0},
       {1, -3, 0, -3},
       1.0},
      {"color 5 left out", 5, 0, 0, 1.0, 1, 0, TDC_PORT_TCP, {}, {}, 0},
      {"compress 3 left out", 1, 0, 0, 1.0, 3, 0, TDC_PORT_TCP, {}, {}, 0},
  };
  void* handle = reinterpret_cast<void*>(0x1234);
  for (const ImageCase& c : cases) {
    settings_.portType = c.portType;
    const TdcImageArgs_t args{const_cast<uint8_t*>(kPixels),
                              4,
                              2,
                              1,
                              0,
                              3,
                              2,
                              c.color,
                              c.mode,
                              c.halftone,
                              c.brightness,
                              c.compress,
                              &settings_,
                              &record_.handle,
                              c.pageMode};
    for (int32_t mode : {TDC_MODE_DIRECT, TDC_MODE_SERVICE}) {
      record_.handle = nullptr;
      ASSERT_EQ(TdcClearPrinterCommands(list()), 0);
      ASSERT_EQ(TdcAddPrinterCommandImage(list(), args), 0);
      // The connect comes after the Add: the slot gets the handle of the replay.
      record_.handle = handle;
      const std::vector<int64_t>& expected = mode == TDC_MODE_DIRECT ? c.direct : c.service;
      EXPECT_EQ(Run(mode), expected.empty() ? 1 : 0) << c.name;
      if (expected.empty()) {
        EXPECT_TRUE(gCalls.empty()) << c.name;
        continue;
      }
      ASSERT_EQ(gCalls.size(), 1u) << c.name;
      const Call& call = gCalls[0];
      // imageWidth, imageHeight, x, y, width, height, then the mapped values.
      ASSERT_EQ(call.ints.size(), 10u);
      EXPECT_EQ(std::vector<int64_t>(call.ints.begin(), call.ints.begin() + 6),
                (std::vector<int64_t>{4, 2, 1, 0, 3, 2}));
      EXPECT_EQ(std::vector<int64_t>(call.ints.begin() + 6, call.ints.end()), expected)
          << c.name << " mode " << mode;
      EXPECT_EQ(call.real, c.brightnessOut) << c.name;
      ASSERT_EQ(call.pointers.size(), 2u);
      EXPECT_NE(call.pointers[0], kPixels);  // the list's own copy
      // Only the direct backend uses the handle; the service forwarder drops it.
      EXPECT_EQ(call.pointers[1], mode == TDC_MODE_DIRECT ? handle : nullptr) << c.name;
    }
  }
  record_.handle = nullptr;
}

TEST_F(Replay, ImageWithoutSettingsStopsTheReplayWith255) {
  const TdcImageArgs_t args{const_cast<uint8_t*>(kPixels),
                            4,
                            2,
                            0,
                            0,
                            4,
                            2,
                            1,
                            0,
                            0,
                            1.0,
                            -2,
                            nullptr,
                            &record_.handle,
                            0};
  ASSERT_EQ(TdcAddPrinterCommandImage(list(), args), 0);
  ASSERT_EQ(TdcAddPrinterCommandText(list(), "never"), 0);
  for (int32_t mode : {TDC_MODE_DIRECT, TDC_MODE_SERVICE}) {
    EXPECT_EQ(Run(mode), 255);
    EXPECT_TRUE(gCalls.empty());
  }
}

// ---------------------------------------------------------------------------
// Slot results: 0 continues, anything else stops the replay, 1 as it is and
// the rest in the layer's codes through the backend's column of the result
// table.

struct ResultCase {
  int32_t mode;
  int slotResult;
  int expected;
};

TEST_F(Replay, SlotFailuresStopTheReplayTranslated) {
  const std::vector<ResultCase> cases = {
      {TDC_MODE_DIRECT, 5, 10},      // out of memory
      {TDC_MODE_DIRECT, 2, 3},       // connect failure
      {TDC_MODE_DIRECT, 6, 5},       // illegal state
      {TDC_MODE_DIRECT, 7, 2},       // busy
      {TDC_MODE_DIRECT, 8, 28},      // unsupported
      {TDC_MODE_DIRECT, 9, 29},      // printer error
      {TDC_MODE_DIRECT, 255, 255},   //
      {TDC_MODE_DIRECT, 11, 255},    // in no row: never 1, which would drop the command
      {TDC_MODE_DIRECT, -3, 255},    // the "no counterpart" marker is no code
      {TDC_MODE_DIRECT, -1, 255},    //
      {TDC_MODE_SERVICE, 12, 10},    // out of memory
      {TDC_MODE_SERVICE, 5, 5},      //
      {TDC_MODE_SERVICE, 4, 3},      // not connected
      {TDC_MODE_SERVICE, 14, 12},    // cover open
      {TDC_MODE_SERVICE, 10, 255},   // device not open
      {TDC_MODE_SERVICE, 11, 9},     //
      {TDC_MODE_SERVICE, 2, 2},      //
      {TDC_MODE_SERVICE, 300, 255},  // in no row
      {TDC_MODE_SERVICE, -3, 255},   //
  };
  ASSERT_EQ(TdcAddPrinterCommandInt(list(), TDC_CMD_TEXT_ALIGN, 1), 0);
  ASSERT_EQ(TdcAddPrinterCommandText(list(), "stops here"), 0);
  ASSERT_EQ(TdcAddPrinterCommandInt(list(), TDC_CMD_CUT, 1), 0);
  for (const ResultCase& c : cases) {
    gResult[TDC_CMD_TEXT] = c.slotResult;
    EXPECT_EQ(Run(c.mode), c.expected) << "mode " << c.mode << " slot " << c.slotResult;
    ASSERT_EQ(gCalls.size(), 2u) << "the cut after the failing text never runs";
    EXPECT_EQ(gCalls[1].kind, TDC_CMD_TEXT);
  }
  // A slot refusing its values (1) stops the job too: a receipt missing a
  // command is not the receipt the app built.
  gResult[TDC_CMD_TEXT] = 1;
  for (int32_t mode : {TDC_MODE_DIRECT, TDC_MODE_SERVICE}) {
    EXPECT_EQ(Run(mode), 1);
    EXPECT_EQ(gCalls.size(), 2u);
  }
  // So does a last command refused.
  gResult[TDC_CMD_TEXT] = 0;
  gResult[TDC_CMD_CUT] = 1;
  EXPECT_EQ(Run(TDC_MODE_DIRECT), 1);
}

TEST_F(Replay, RefusesBeforeAnyBackendCall) {
  TdcPrinterOps_t ops = DirectRecordingOps();
  // Empty list: 5.
  record_.commands.ops = &ops;
  EXPECT_EQ(TdcReplayPrinterCommands(TDC_MODE_DIRECT, &builderToken_, &record_.commands), 5);
  ASSERT_EQ(TdcAddPrinterCommandText(list(), "x"), 0);
  // No operation table: 5.
  record_.commands.ops = nullptr;
  EXPECT_EQ(TdcReplayPrinterCommands(TDC_MODE_DIRECT, &builderToken_, &record_.commands), 5);
  record_.commands.ops = &ops;
  EXPECT_EQ(TdcReplayPrinterCommands(TDC_MODE_DIRECT, nullptr, &record_.commands), 1);
  EXPECT_EQ(TdcReplayPrinterCommands(TDC_MODE_DIRECT, &builderToken_, nullptr), 1);
  // A mode without a backend would report a job that was never built.
  for (int32_t mode : {-3, 0, 3}) {
    EXPECT_EQ(TdcReplayPrinterCommands(mode, &builderToken_, &record_.commands), 1) << mode;
  }
  EXPECT_TRUE(gCalls.empty());
  // A slot the table lacks refuses the job.
  ops.slot[TDC_CMD_TEXT] = nullptr;
  EXPECT_EQ(TdcReplayPrinterCommands(TDC_MODE_DIRECT, &builderToken_, &record_.commands), 1);
  EXPECT_TRUE(gCalls.empty());
}

// ---------------------------------------------------------------------------
// Operation tables.

TEST(PrinterOps, SelectFillsTheTableOfTheMode) {
  TdcPrinterOps_t ops{};
  TdcPrinterCommandSet_t set{};
  EXPECT_EQ(TdcSelectPrinterOps(nullptr, 1), 1);
  EXPECT_EQ(TdcSelectPrinterOps(&set, 1), 1);  // no table
  set.ops = &ops;
  EXPECT_EQ(TdcSelectPrinterOps(&set, 0), 5);
  EXPECT_EQ(TdcSelectPrinterOps(&set, 3), 1);
  EXPECT_EQ(TdcSelectPrinterOps(&set, -3), 1);
  for (void* slot : ops.slot) EXPECT_EQ(slot, nullptr);

  auto is = [](void* slot, auto* function) { return slot == reinterpret_cast<void*>(function); };
  ASSERT_EQ(TdcSelectPrinterOps(&set, 1), 0);
  EXPECT_TRUE(is(ops.slot[0], &TiloAddTextAlign));
  EXPECT_TRUE(is(ops.slot[3], &TiloAddText));
  EXPECT_TRUE(is(ops.slot[11], &TiloAddFeedLine));
  EXPECT_TRUE(is(ops.slot[12], &TdcPrinterDirectAddImage));
  EXPECT_TRUE(is(ops.slot[13], &TiloAddLogo));
  EXPECT_TRUE(is(ops.slot[19], &TiloAddPageBegin));
  EXPECT_TRUE(is(ops.slot[28], &TiloAddSound));
  EXPECT_TRUE(is(ops.slot[29], &TdcPrinterDirectAddCommand));
  EXPECT_TRUE(is(ops.slot[30], &TiloAddFeedPosition));
  EXPECT_TRUE(is(ops.slot[31], &TiloAddLayout));

  ASSERT_EQ(TdcSelectPrinterOps(&set, 2), 0);
  EXPECT_TRUE(is(ops.slot[0], &TdevPrinterAddTextAlign));
  EXPECT_TRUE(is(ops.slot[3], &TdevPrinterAddText));
  EXPECT_TRUE(is(ops.slot[11], &TdevPrinterAddFeedLine));
  EXPECT_TRUE(is(ops.slot[12], &TdcPrinterServiceAddImage));
  EXPECT_TRUE(is(ops.slot[13], &TdevPrinterAddLogo));
  EXPECT_TRUE(is(ops.slot[20], &TdevPrinterAddPageEnd));
  EXPECT_TRUE(is(ops.slot[28], &TdevPrinterAddSound));
  EXPECT_TRUE(is(ops.slot[29], &TdevAddCommand));
  EXPECT_TRUE(is(ops.slot[30], &TdevPrinterAddFeedPosition));
  EXPECT_TRUE(is(ops.slot[31], &TdevPrinterAddLayout));
  for (void* slot : ops.slot) EXPECT_NE(slot, nullptr);
}

// ---------------------------------------------------------------------------
// The engine's real builder.

using ByteVector = std::vector<uint8_t>;

struct Builder {
  PrinterBuilder_t* record = nullptr;
  Builder() { EXPECT_EQ(TiloCreateBuilder(&record, "RP-S3B", 0), 0); }
  ~Builder() { TiloDestroyBuilder(record); }
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;
  ByteVector Built() const {
    CmdData_t* data = nullptr;
    EXPECT_EQ(PrnCmdBuild(record->builder.get(), &data), 0);
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
    ByteVector out;
    if (data != nullptr && CmdDataGetData(data, &bytes) == 0 &&
        CmdDataGetLength(data, &length) == 0) {
      out.assign(bytes, bytes + length);
    }
    CmdDataFree(data);
    return out;
  }
};

class DirectReplay : public Replay {
 protected:
  int RunInto(Builder& builder) {
    directOps_ = {};
    record_.commands.ops = &directOps_;
    EXPECT_EQ(TdcSelectPrinterOps(&record_.commands, TDC_MODE_DIRECT), 0);
    return TdcReplayPrinterCommands(TDC_MODE_DIRECT, builder.record, &record_.commands);
  }
  TdcPrinterOps_t directOps_{};
};

bool Contains(const ByteVector& haystack, const ByteVector& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

// A receipt appended through the validating appends and replayed gives the
// bytes of the same receipt built with the engine's values directly.
TEST_F(DirectReplay, ReceiptGivesTheBytesOfTheTranslatedCalls) {
  const uint8_t raw[] = {0x1b, 0x70, 0x00, 0x19, 0xfa};
  ASSERT_EQ(TdcAddTextAlign(&record_, 1), 0);
  ASSERT_EQ(TdcAddTextStyle(&record_, -1, -1, 1, -1), 0);
  ASSERT_EQ(TdcAddTextSize(&record_, 2, 2), 0);
  ASSERT_EQ(TdcAddText(&record_, "Corner Shop\n"), 0);
  ASSERT_EQ(TdcAddTextSize(&record_, -2, -2), 0);
  ASSERT_EQ(TdcAddTextStyle(&record_, -2, -2, -2, -2), 0);
  ASSERT_EQ(TdcAddTextAlign(&record_, -2), 0);
  ASSERT_EQ(TdcAddText(&record_, "Milk 1.20\n"), 0);
  ASSERT_EQ(TdcAddTextLang(&record_, 6), 0);
  ASSERT_EQ(TdcAddTextStyle(&record_, -1, 1, -1, -1), 0);
  ASSERT_EQ(TdcAddText(&record_, "TOTAL 1.20\n"), 0);
  ASSERT_EQ(TdcAddFeedLine(&record_, 2), 0);
  ASSERT_EQ(TdcAddBarcode(&record_, "4006381333931", 2, 2, -2, 2, 60), 0);
  ASSERT_EQ(TdcAddSymbol(&record_, "https://example.com/r/12345", 3, 106, 4, -1, 0), 0);
  ASSERT_EQ(TdcAddCommand(&record_, raw, sizeof(raw)), 0);
  ASSERT_EQ(TdcAddCut(&record_, 1), 0);

  Builder replayed;
  ASSERT_EQ(RunInto(replayed), 0);

  Builder direct;
  PrinterBuilder_t* b = direct.record;
  ASSERT_EQ(TiloAddTextAlign(b, 1), 0);
  ASSERT_EQ(TiloAddTextStyle(b, -1, -1, 1, -1), 0);
  ASSERT_EQ(TiloAddTextSize(b, 2, 2), 0);
  ASSERT_EQ(TiloAddText(b, "Corner Shop\n"), 0);
  ASSERT_EQ(TiloAddTextSize(b, 1, 1), 0);
  ASSERT_EQ(TiloAddTextStyle(b, 0, 0, 0, 1), 0);
  ASSERT_EQ(TiloAddTextAlign(b, 0), 0);
  ASSERT_EQ(TiloAddText(b, "Milk 1.20\n"), 0);
  ASSERT_EQ(TiloAddTextLang(b, 6), 0);
  ASSERT_EQ(TiloAddTextStyle(b, -1, 1, -1, -1), 0);
  ASSERT_EQ(TiloAddText(b, "TOTAL 1.20\n"), 0);
  ASSERT_EQ(TiloAddFeedLine(b, 2), 0);
  ASSERT_EQ(TiloAddBarcode(b, "4006381333931", 2, 2, 0, 2, 60), 0);
  ASSERT_EQ(TiloAddSymbol(b, "https://example.com/r/12345", 3, 10, 4, -1, 0), 0);
  ASSERT_EQ(TiloAddCommand(b, raw, sizeof(raw)), 0);
  ASSERT_EQ(TiloAddCut(b, 0), 0);

  const ByteVector bytes = replayed.Built();
  EXPECT_EQ(bytes, direct.Built());
  EXPECT_TRUE(Contains(bytes, ByteVector{'C', 'o', 'r', 'n', 'e', 'r'}));
  EXPECT_TRUE(Contains(bytes, ByteVector(raw, raw + sizeof(raw))));
  EXPECT_TRUE(
      Contains(bytes, ByteVector{'4', '0', '0', '6', '3', '8', '1', '3', '3', '3', '9', '3', '1'}));
  // The list stays for another send.
  EXPECT_NE(record_.commands.commandList.head, nullptr);
}

// "No sound" sends nothing on the engine; a value the engine refuses refuses
// the whole job (1) and leaves nothing in the builder.
TEST_F(DirectReplay, RefusedValuesRefuseTheJob) {
  ASSERT_EQ(TdcAddSound(&record_, 0, 1, 1000), 0);  // no "none" pattern on the engine
  ASSERT_EQ(TdcAddText(&record_, "kept\n"), 0);
  Builder replayed;
  ASSERT_EQ(RunInto(replayed), 0);
  Builder direct;
  ASSERT_EQ(TiloAddText(direct.record, "kept\n"), 0);
  EXPECT_EQ(replayed.Built(), direct.Built());

  ASSERT_EQ(TdcAddSymbol(&record_, "micro", 4, 105, 3, 3, 0), 0);  // no micro QR code
  Builder refused;
  EXPECT_EQ(RunInto(refused), 1);
}

// The builder running out of memory stops the replay with 10, the layer's
// out-of-memory code (the engine says 5, which is "illegal state" here).
TEST_F(DirectReplay, OutOfMemoryBuilderStopsWithTen) {
  ASSERT_EQ(TdcAddBarcode(&record_, "4006381333931", 2, 2, -2, 2, 60), 0);
  ASSERT_EQ(TdcAddText(&record_, "never\n"), 0);
  Builder replayed;
  EngineSetBuilderAllocator([](size_t) -> void* { return nullptr; });
  const int result = RunInto(replayed);
  EngineSetBuilderAllocator(nullptr);
  EXPECT_EQ(result, 10);
}

// The same through the recording table for the device service's code.
TEST_F(Replay, OutOfMemorySlotStopsWithTenInBothModes) {
  ASSERT_EQ(TdcAddText(&record_, "a"), 0);
  ASSERT_EQ(TdcAddCut(&record_, 1), 0);
  gResult[TDC_CMD_TEXT] = 5;  // the engine's out of memory
  EXPECT_EQ(Run(TDC_MODE_DIRECT), 10);
  EXPECT_EQ(gCalls.size(), 1u);
  gResult[TDC_CMD_TEXT] = 12;  // the device service's
  EXPECT_EQ(Run(TDC_MODE_SERVICE), 10);
  EXPECT_EQ(gCalls.size(), 1u);
}

// An image through the direct forwarder takes the printer's paper width
// from the print handle read at replay.
TEST_F(DirectReplay, ImageReachesTheBuilderWithThePrintHandle) {
  std::vector<uint8_t> pixels(16 * 8 * 3, 0);  // black
  ASSERT_EQ(TdcAddImage(&record_, pixels.data(), 16, 8, 0, 0, 16, 8, -2, -2, -2, -2.0, 1), 0);
  Builder withoutHandle;
  // Not connected: no print handle, the image cannot be fitted and the job is refused.
  ASSERT_EQ(RunInto(withoutHandle), 1);

  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(TiloCreateHandle(&handle), 0);
  handle->infoByte = 0x40;
  handle->infoFlag2 = 1;
  record_.handle = handle;
  Builder replayed;
  ASSERT_EQ(RunInto(replayed), 0);
  EXPECT_EQ(replayed.record->builder->paperWidthCode, 0x40);
  EXPECT_EQ(replayed.record->builder->paperWidthFlag, 1);
  Builder direct;
  direct.record->builder->paperWidthCode = 0x40;
  direct.record->builder->paperWidthFlag = 1;
  ASSERT_EQ(TiloAddImage(direct.record, pixels.data(), 16, 8, 0, 0, 16, 8, 1, 0, 0, 1.0, 0), 0);
  EXPECT_EQ(replayed.Built(), direct.Built());
  record_.handle = nullptr;
  TiloDestroyHandle(handle);
}

TEST(PrinterForwarders, RefuseMissingArguments) {
  Builder builder;
  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(TiloCreateHandle(&handle), 0);
  const uint8_t pixels[3] = {};
  EXPECT_EQ(TdcPrinterDirectAddImage(nullptr, pixels, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1.0, 0, handle),
            1);
  EXPECT_EQ(
      TdcPrinterDirectAddImage(builder.record, pixels, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1.0, 0, nullptr),
      1);
  PrinterBuilder_t empty{};
  EXPECT_EQ(TdcPrinterDirectAddImage(&empty, pixels, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1.0, 0, handle),
            255);
  TiloDestroyHandle(handle);

  const uint8_t bytes[] = {0x0a};
  EXPECT_EQ(TdcPrinterDirectAddCommand(nullptr, bytes, 1), 1);
  EXPECT_EQ(TdcPrinterDirectAddCommand(builder.record, nullptr, 1), 1);
  EXPECT_EQ(TdcPrinterDirectAddCommand(builder.record, bytes, 0), 1);
  EXPECT_EQ(TdcPrinterDirectAddCommand(builder.record, bytes, -5), 1);
  EXPECT_EQ(TdcPrinterDirectAddCommand(builder.record, bytes, 1), 0);
  EXPECT_TRUE(Contains(builder.Built(), ByteVector{0x0a}));

  EXPECT_EQ(TdcPrinterServiceAddImage(nullptr, pixels, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1.0, 0, nullptr),
            1);
}

TEST(PrinterBuilderClear, ClearsTheBuilderOfTheMode) {
  Builder builder;
  const ByteVector empty = builder.Built();
  ASSERT_EQ(TiloAddText(builder.record, "gone\n"), 0);
  ASSERT_NE(builder.Built(), empty);
  EXPECT_EQ(TdcClearPrinterBuilder(TDC_MODE_DIRECT, builder.record), 0);
  EXPECT_EQ(builder.Built(), empty);
  EXPECT_EQ(TdcClearPrinterBuilder(TDC_MODE_DIRECT, nullptr), 1);
  EXPECT_EQ(TdcClearPrinterBuilder(0, builder.record), 255);
  EXPECT_EQ(TdcClearPrinterBuilder(3, builder.record), 255);
}

}  // namespace
