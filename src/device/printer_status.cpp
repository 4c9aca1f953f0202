// Printer status records from the status word of either backend, and the
// completion code of a direct print job.

#include "device/printer_status.h"

#include <cstdlib>

namespace tilo2::core {

namespace {

// Status word bits, as both backends report them (the paper bits differ).
constexpr uint32_t kNoResponse = 0x1;
constexpr uint32_t kDrawerOrBattery = 0x4;
constexpr uint32_t kOffline = 0x8;
constexpr uint32_t kCoverOpen = 0x20;
constexpr uint32_t kPaperFeed = 0x40;
constexpr uint32_t kWaitOnline = 0x100;
constexpr uint32_t kPanelSwitch = 0x200;
constexpr uint32_t kMechanicalError = 0x400;
constexpr uint32_t kAutocutterError = 0x800;
constexpr uint32_t kWrongPaper = 0x1000;
constexpr uint32_t kUnrecoverableError = 0x2000;
constexpr uint32_t kAutoRecoverableError = 0x4000;
constexpr uint32_t kBuzzer = 0x1000000;
constexpr uint32_t kHeadOverheat = 1u << 28;
constexpr uint32_t kMotorOverheat = 1u << 29;
constexpr uint32_t kBatteryOverheat = 1u << 30;

constexpr uint32_t kEnginePaperNearEnd = 0x10000;
constexpr uint32_t kEnginePaperEnd = 0x40000;
constexpr uint32_t kServicePaperNearEnd = 0x20000;
constexpr uint32_t kServicePaperEnd = 0x80000;

constexpr int32_t kBuzzerSeries = 14;

// The print engine's completion codes a direct job ends with.
constexpr int32_t kEngineSuccess = 0;
constexpr int32_t kEngineIoError = 3;
constexpr int32_t kEngineTimeout = 4;
constexpr int32_t kEnginePrinterError = 9;

struct PaperBits {
  uint32_t nearEnd;
  uint32_t end;
};

int32_t Bit(uint32_t word, uint32_t bit) { return (word & bit) != 0 ? 1 : 0; }

// The battery value carries two ASCII digits: the adapter in its second
// byte, the charge level (counting down from '0' full) in its low byte.
int32_t AdapterOf(int32_t battery) {
  switch ((static_cast<uint32_t>(battery) >> 8) & 0xFF) {
    case 0x30:
      return 1;
    case 0x31:
      return 0;
    default:
      return kTdcNone;
  }
}

int32_t BatteryLevelOf(int32_t battery) {
  const uint32_t digit = static_cast<uint32_t>(battery) & 0xFF;
  if (digit >= 0x30 && digit <= 0x36) return static_cast<int32_t>(6 - (digit - 0x30));
  return kTdcNone;
}

int32_t ErrorStatusOf(uint32_t word) {
  if ((word & kMechanicalError) != 0) return 1;
  if ((word & kAutocutterError) != 0) return 2;
  if ((word & kUnrecoverableError) != 0) return 3;
  if ((word & kAutoRecoverableError) != 0) return 4;
  return 0;
}

int32_t AutoRecoverErrorOf(const TdcStatus_t& status, uint32_t word, bool battery) {
  if (status.errorStatus == 4 && status.coverOpen == 1) return 4;
  if ((word & kHeadOverheat) != 0) return 0;
  if ((word & kMotorOverheat) != 0) return 1;
  if (battery && (word & kBatteryOverheat) != 0) return 2;
  if ((word & kWrongPaper) != 0) return 3;
  return kTdcNone;
}

TdcStatus_t* MakeStatus(int32_t series, uint32_t word, int32_t batteryValue, PaperBits paper,
                        bool withAutoRecover) {
  TdcStatus_t* status = TdcNewStatus();
  if (status == nullptr) return nullptr;
  if ((word & kNoResponse) != 0) return status;

  const bool battery = TdcIsBatterySeries(series);
  status->connection = 1;
  // A battery model signals offline on its drawer line too.
  status->online = battery ? ((word & (kOffline | kDrawerOrBattery)) == 0 ? 1 : 0)
                           : ((word & kOffline) == 0 ? 1 : 0);
  status->coverOpen = Bit(word, kCoverOpen);
  status->paper = (word & paper.end) != 0 ? 2 : (word & paper.nearEnd) != 0 ? 1 : 0;
  status->paperFeed = Bit(word, kPaperFeed);
  status->panelSwitch = Bit(word, kPanelSwitch);
  status->waitOnline = Bit(word, kWaitOnline);
  if (!battery) status->drawer = (word & kDrawerOrBattery) == 0 ? 1 : 0;
  status->errorStatus = ErrorStatusOf(word);
  if (withAutoRecover) status->autoRecoverError = AutoRecoverErrorOf(*status, word, battery);
  status->buzzer = series == kBuzzerSeries && (word & kBuzzer) != 0 ? 1 : 0;
  status->adapter = AdapterOf(batteryValue);
  status->batteryLevel = BatteryLevelOf(batteryValue);
  return status;
}

}  // namespace

bool TdcIsBatterySeries(int32_t series) { return series >= 2 && series <= 5; }

TdcStatus_t* TdcNewStatus() {
  auto* status = static_cast<TdcStatus_t*>(std::malloc(sizeof(TdcStatus_t)));
  if (status == nullptr) return nullptr;
  *status = {0,        kTdcNone, kTdcNone, kTdcNone, kTdcNone, kTdcNone, kTdcNone,
             kTdcNone, kTdcNone, kTdcNone, kTdcNone, kTdcNone, kTdcNone};
  return status;
}

TdcStatus_t* TdcMakePrinterStatus(int32_t series, uint32_t statusFlags, int32_t battery) {
  return MakeStatus(series, statusFlags, battery, {kEnginePaperNearEnd, kEnginePaperEnd}, true);
}

TdcStatus_t* TdcMakePrinterServiceStatus(int32_t series, uint32_t statusBits, int32_t battery) {
  return MakeStatus(series, statusBits, battery, {kServicePaperNearEnd, kServicePaperEnd}, false);
}

int TdcGetPrintResultCode(int32_t series, int32_t code, uint32_t statusFlags, int32_t* out) {
  if (out == nullptr) return TDC_ERR_PARAM;
  const uint32_t f = statusFlags;
  int32_t result = TDC_CB_FAILURE;
  switch (code) {
    case kEngineSuccess:
      result = TDC_CB_SUCCESS;
      break;
    case kEngineIoError:
      result = TDC_CB_PORT;
      break;
    case kEngineTimeout:
      result = TDC_CB_TIMEOUT;
      break;
    case kEnginePrinterError:
      // The first reason that applies names the error.
      if ((f & (kPaperFeed | kPanelSwitch)) != 0) {
        result = TDC_CB_FAILURE;
      } else if ((f & kNoResponse) != 0) {
        result = TDC_CB_PORT;
      } else if ((f & kUnrecoverableError) != 0) {
        result = TDC_CB_UNRECOVERABLE;
      } else if (TdcIsBatterySeries(series) && (f & kDrawerOrBattery) != 0) {
        result = TDC_CB_BATTERY_LOW;
      } else if ((f & kAutocutterError) != 0) {
        result = TDC_CB_CUTTER;
      } else if ((f & kMechanicalError) != 0) {
        result = TDC_CB_MECHANICAL;
      } else if ((f & kCoverOpen) != 0) {
        result = TDC_CB_COVER_OPEN;
      } else if ((f & kEnginePaperEnd) != 0) {
        result = TDC_CB_EMPTY;
      } else if ((f & kAutoRecoverableError) != 0) {
        result = TDC_CB_AUTORECOVER;
      } else {
        result = TDC_CB_PORT;
      }
      break;
    default:
      break;
  }
  *out = result;
  return TDC_SUCCESS;
}

}  // namespace tilo2::core
