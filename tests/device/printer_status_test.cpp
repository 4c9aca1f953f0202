// Status records from either backend's status word, and the completion code
// a direct print job's code and word give, for battery and drawer series.

#include "device/printer_status.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <string>

using namespace tilo2::core;

namespace {

constexpr int32_t N = kTdcNone;
constexpr int32_t kDrawerSeries = 0;   // reports drawer events
constexpr int32_t kBatterySeries = 3;  // reports battery events
constexpr int32_t kBuzzerSeries = 14;

constexpr uint32_t kBit28 = 1u << 28;
constexpr uint32_t kBit29 = 1u << 29;
constexpr uint32_t kBit30 = 1u << 30;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using StatusPtr = std::unique_ptr<TdcStatus_t, FreeDeleter>;

using Fields = std::array<int32_t, 13>;

Fields FieldsOf(const TdcStatus_t& s) {
  return {s.connection,  s.online,     s.coverOpen,   s.paper,       s.paperFeed,
          s.panelSwitch, s.waitOnline, s.drawer,      s.errorStatus, s.autoRecoverError,
          s.buzzer,      s.adapter,    s.batteryLevel};
}

std::string Describe(const Fields& f) {
  static const char* names[] = {"connection",  "online",           "coverOpen",  "paper",
                                "paperFeed",   "panelSwitch",      "waitOnline", "drawer",
                                "errorStatus", "autoRecoverError", "buzzer",     "adapter",
                                "batteryLevel"};
  std::string text;
  for (size_t i = 0; i < f.size(); ++i)
    text += std::string(names[i]) + "=" + std::to_string(f[i]) + " ";
  return text;
}

// A healthy connected drawer printer with no battery information.
constexpr Fields kHealthy = {1, 1, 0, 0, 0, 0, 0, 1, 0, N, 0, N, N};
constexpr Fields kNoAnswer = {0, N, N, N, N, N, N, N, N, N, N, N, N};

Fields With(Fields base, std::initializer_list<std::pair<int, int32_t>> changes) {
  for (const auto& [index, value] : changes) base[static_cast<size_t>(index)] = value;
  return base;
}

enum Field {
  kConnection,
  kOnline,
  kCoverOpen,
  kPaper,
  kPaperFeed,
  kPanelSwitch,
  kWaitOnline,
  kDrawer,
  kErrorStatus,
  kAutoRecover,
  kBuzzer,
  kAdapter,
  kBatteryLevel
};

struct StatusCase {
  const char* name;
  int32_t series;
  uint32_t word;
  int32_t battery;
  Fields expected;
};

void CheckCases(const StatusCase* begin, const StatusCase* end,
                TdcStatus_t* (*make)(int32_t, uint32_t, int32_t)) {
  for (const StatusCase* c = begin; c != end; ++c) {
    SCOPED_TRACE(c->name);
    const StatusPtr status(make(c->series, c->word, c->battery));
    ASSERT_NE(status, nullptr);
    const Fields got = FieldsOf(*status);
    EXPECT_EQ(got, c->expected) << "got      " << Describe(got) << "\nexpected "
                                << Describe(c->expected);
  }
}

TEST(PrinterStatus, NewStatusIsNotConnectedWithoutValues) {
  const StatusPtr status(TdcNewStatus());
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(FieldsOf(*status), kNoAnswer);
}

TEST(PrinterStatus, BatterySeriesAreTwoToFive) {
  for (int32_t series = -3; series <= 18; ++series) {
    EXPECT_EQ(TdcIsBatterySeries(series), series >= 2 && series <= 5) << series;
  }
}

// Cases the engine and the service read alike.
const StatusCase kCommonCases[] = {
    {"NoResponseHidesEverythingElse", kDrawerSeries, 0x1 | 0x20 | 0x8, 0x3035, kNoAnswer},
    {"NoResponseOnBatterySeries", kBatterySeries, 0x1, 0x3035, kNoAnswer},
    {"Healthy", kDrawerSeries, 0, 0, kHealthy},
    {"DrawerSignalClosesDrawer", kDrawerSeries, 0x4, 0, With(kHealthy, {{kDrawer, 0}})},
    {"OfflineDrawerSeries", kDrawerSeries, 0x8, 0, With(kHealthy, {{kOnline, 0}})},
    {"BatterySeriesHealthy", kBatterySeries, 0, 0, With(kHealthy, {{kDrawer, N}})},
    // On a battery model the drawer line means offline, and there is no drawer.
    {"BatterySignalIsOffline", kBatterySeries, 0x4, 0,
     With(kHealthy, {{kOnline, 0}, {kDrawer, N}})},
    {"BatterySeriesOffline", kBatterySeries, 0x8, 0, With(kHealthy, {{kOnline, 0}, {kDrawer, N}})},
    {"CoverFeedPanelWaitOnline", kDrawerSeries, 0x20 | 0x40 | 0x200 | 0x100, 0,
     With(kHealthy, {{kCoverOpen, 1}, {kPaperFeed, 1}, {kPanelSwitch, 1}, {kWaitOnline, 1}})},
    {"MechanicalBeatsTheOtherErrors", kDrawerSeries, 0x400 | 0x800 | 0x2000, 0,
     With(kHealthy, {{kErrorStatus, 1}})},
    {"AutocutterBeforeUnrecoverable", kDrawerSeries, 0x800 | 0x2000, 0,
     With(kHealthy, {{kErrorStatus, 2}})},
    {"UnrecoverableBeforeRecoverable", kDrawerSeries, 0x2000, 0,
     With(kHealthy, {{kErrorStatus, 3}})},
    {"BuzzerOnlyOnItsSeries", kDrawerSeries, 0x1000000, 0, kHealthy},
    {"BuzzerSeries", kBuzzerSeries, 0x1000000, 0, With(kHealthy, {{kBuzzer, 1}})},
    {"BatteryFullOnAdapter", kBatterySeries, 0, 0x3030,
     With(kHealthy, {{kDrawer, N}, {kAdapter, 1}, {kBatteryLevel, 6}})},
    {"BatteryValue3035", kBatterySeries, 0, 0x3035,
     With(kHealthy, {{kDrawer, N}, {kAdapter, 1}, {kBatteryLevel, 1}})},
    {"BatteryEmptyOffAdapter", kBatterySeries, 0, 0x3136,
     With(kHealthy, {{kDrawer, N}, {kAdapter, 0}, {kBatteryLevel, 0}})},
    {"BatteryDigitsOutOfRange", kBatterySeries, 0, 0x3237,
     With(kHealthy, {{kDrawer, N}, {kAdapter, N}, {kBatteryLevel, N}})},
    {"BatteryBytesAboveTheLowTwoIgnored", kBatterySeries, 0, 0x7F003134,
     With(kHealthy, {{kDrawer, N}, {kAdapter, 0}, {kBatteryLevel, 2}})},
};

TEST(PrinterStatus, EngineWordCommonCases) {
  CheckCases(std::begin(kCommonCases), std::end(kCommonCases), &TdcMakePrinterStatus);
}

TEST(PrinterStatus, ServiceWordCommonCases) {
  CheckCases(std::begin(kCommonCases), std::end(kCommonCases), &TdcMakePrinterServiceStatus);
}

TEST(PrinterStatus, EngineWordPaperAndRecoverableErrors) {
  const StatusCase cases[] = {
      {"PaperNearEnd", kDrawerSeries, 0x10000, 0, With(kHealthy, {{kPaper, 1}})},
      {"PaperEndBeatsNearEnd", kDrawerSeries, 0x40000 | 0x10000, 0, With(kHealthy, {{kPaper, 2}})},
      {"ServicePaperBitsMeanNothingHere", kDrawerSeries, 0x20000 | 0x80000, 0, kHealthy},
      {"RecoverableWithCoverOpen", kDrawerSeries, 0x4000 | 0x20 | kBit28, 0,
       With(kHealthy, {{kCoverOpen, 1}, {kErrorStatus, 4}, {kAutoRecover, 4}})},
      {"CoverOpenWithoutRecoverableError", kDrawerSeries, 0x20, 0,
       With(kHealthy, {{kCoverOpen, 1}})},
      {"HeadOverheat", kDrawerSeries, 0x4000 | kBit28 | kBit29, 0,
       With(kHealthy, {{kErrorStatus, 4}, {kAutoRecover, 0}})},
      {"MotorOverheat", kDrawerSeries, 0x4000 | kBit29 | 0x1000, 0,
       With(kHealthy, {{kErrorStatus, 4}, {kAutoRecover, 1}})},
      {"BatteryOverheatOnBatterySeries", kBatterySeries, 0x4000 | kBit30 | 0x1000, 0,
       With(kHealthy, {{kDrawer, N}, {kErrorStatus, 4}, {kAutoRecover, 2}})},
      {"BatteryOverheatIgnoredOnDrawerSeries", kDrawerSeries, 0x4000 | kBit30, 0,
       With(kHealthy, {{kErrorStatus, 4}})},
      {"WrongPaper", kDrawerSeries, 0x4000 | 0x1000, 0,
       With(kHealthy, {{kErrorStatus, 4}, {kAutoRecover, 3}})},
  };
  CheckCases(std::begin(cases), std::end(cases), &TdcMakePrinterStatus);
}

TEST(PrinterStatus, ServiceWordPaperBitsAndNoRecoverReason) {
  const StatusCase cases[] = {
      {"PaperNearEnd", kDrawerSeries, 0x20000, 0, With(kHealthy, {{kPaper, 1}})},
      {"PaperEndBeatsNearEnd", kDrawerSeries, 0x80000 | 0x20000, 0, With(kHealthy, {{kPaper, 2}})},
      // In the service's word these are insertion and removal waits.
      {"EnginePaperBitsMeanNothingHere", kDrawerSeries, 0x10000 | 0x40000, 0, kHealthy},
      {"RecoverableWithCoverOpenHasNoReason", kDrawerSeries, 0x4000 | 0x20, 0,
       With(kHealthy, {{kCoverOpen, 1}, {kErrorStatus, 4}})},
      {"OverheatBitsIgnored", kBatterySeries, kBit28 | kBit29 | kBit30 | 0x1000, 0,
       With(kHealthy, {{kDrawer, N}})},
  };
  CheckCases(std::begin(cases), std::end(cases), &TdcMakePrinterServiceStatus);
}

struct ResultCase {
  const char* name;
  int32_t series;
  int32_t code;
  uint32_t flags;
  int32_t expected;
};

TEST(PrintResultCode, FromEngineCodeAndWord) {
  const ResultCase cases[] = {
      {"Success", kDrawerSeries, 0, 0x20, 0},
      {"IoError", kDrawerSeries, 3, 0, 10},
      {"Timeout", kDrawerSeries, 4, 0, 1},
      {"PaperFeedIsFailure", kDrawerSeries, 9, 0x40 | 0x1, 255},
      {"PanelSwitchIsFailure", kDrawerSeries, 9, 0x200 | 0x2000, 255},
      {"NoResponseIsPort", kDrawerSeries, 9, 0x1 | 0x2000, 10},
      {"Unrecoverable", kDrawerSeries, 9, 0x2000 | 0x800, 8},
      {"BatteryLowOnBatterySeries", kBatterySeries, 9, 0x4 | 0x800, 15},
      {"DrawerSignalOnDrawerSeriesIsNoReason", kDrawerSeries, 9, 0x4, 10},
      {"Cutter", kDrawerSeries, 9, 0x800 | 0x400, 5},
      {"Mechanical", kDrawerSeries, 9, 0x400 | 0x20, 6},
      {"CoverOpen", kDrawerSeries, 9, 0x20 | 0x40000, 4},
      {"PaperEmpty", kDrawerSeries, 9, 0x40000 | 0x4000, 7},
      {"Autorecover", kDrawerSeries, 9, 0x4000, 3},
      {"PrinterErrorWithoutReason", kDrawerSeries, 9, 0, 10},
      {"ServicePaperEndBitIsNoReason", kDrawerSeries, 9, 0x80000, 10},
      {"OtherCodeOne", kDrawerSeries, 1, 0, 255},
      {"OtherCodeSix", kDrawerSeries, 6, 0, 255},
      {"OtherCodeNegative", kDrawerSeries, -1, 0, 255},
  };
  for (const auto& c : cases) {
    int32_t out = -7;
    EXPECT_EQ(TdcGetPrintResultCode(c.series, c.code, c.flags, &out), 0) << c.name;
    EXPECT_EQ(out, c.expected) << c.name;
  }
}

TEST(PrintResultCode, BatteryLowOnlyForBatterySeries) {
  for (int32_t series = 0; series <= 18; ++series) {
    int32_t out = -7;
    ASSERT_EQ(TdcGetPrintResultCode(series, 9, 0x4, &out), 0);
    EXPECT_EQ(out, TdcIsBatterySeries(series) ? 15 : 10) << series;
  }
}

TEST(PrintResultCode, NullOutIsAParameterError) {
  EXPECT_EQ(TdcGetPrintResultCode(0, 0, 0, nullptr), 1);
}

}  // namespace
