// The Printer's own job builders (ruled lines, buzzer, feed position, paper
// layout) and its two forced operations (stop the buzzer, raw bytes now).

#include "device/printer_commands.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "component/api_log.h"
#include "component/async_frame.h"
#include "component/env_data.h"
#include "component/result_codes.h"
#include "device/printer_module.h"
#include "orvik/tilo2/printer/printer.h"
#include "printer/printer_internal.h"

namespace Orvik::Tilo::Tilo2::Printer {

namespace core = ::tilo2::core;
using core::EnumArgument;
using core::LogArguments;
using core::CommonUtils::CheckRange;
using core::CommonUtils::MakeException;
using core::CommonUtils::ThrowIfFailed;

namespace {

// Read as unsigned, as the device API does: a negative position is refused too.
void CheckPosition(int32_t x, const char* name) {
  if (static_cast<uint32_t>(x) > 65535u) {
    throw MakeException(core::kPrinterErrParameter,
                        std::string(name) + " is " + std::to_string(x) + "; it takes 0..65535");
  }
}

// Forced operations: -2, or 0 to 600000 ms read as unsigned.
void CheckForcedTimeout(int32_t timeout) {
  if (timeout != -2 && static_cast<uint32_t>(timeout) > 600000u) {
    throw MakeException(core::kPrinterErrParameter,
                        "timeout is " + std::to_string(timeout) + "; it takes 0..600000 or -2");
  }
}

}  // namespace

void Printer::AddHLine(int32_t x1, int32_t x2, LineStyle style) {
  const core::CommonUtils::ErrorScope scope("AddHLine");
  state_->frame.Call(
      TILO2_PRINTER_NAME("AddHLine"),
      [&] {
        return LogArguments{x1, x2, EnumArgument(style)};
      },
      [&](core::TdcPrinter_t& record) {
        CheckPosition(x1, "x1");
        CheckPosition(x2, "x2");
        ThrowIfFailed(core::TdcAddHLine(&record, x1, x2, core::ToCore(style)));
      });
}

void Printer::AddVLineBegin(int32_t x, LineStyle style, int32_t* lineId) {
  core::TdcPrinter_t* const handle = state_->frame.Handle();
  auto makeArgs = [&] { return LogArguments{x, EnumArgument(style), core::Pointer{lineId}}; };
  const core::CommonUtils::ErrorScope scope("AddVLineBegin");
  core::RunApiCall(
      handle, TILO2_PRINTER_NAME("AddVLineBegin"), makeArgs,
      [&] {
        core::TdcPrinter_t& record = state_->frame.EnsureHandle();
        if (lineId == nullptr) throw MakeException(core::kPrinterErrParameter, "lineId is null");
        CheckPosition(x, "x");
        const int32_t coreStyle = core::ToCore(style);
        int32_t id = 0;
        ThrowIfFailed(core::TdcAddVLineBegin(&record, x, coreStyle, &id));
        *lineId = id;  // only once the line is in the list
        return id;
      },
      [&](int32_t id) {
        return LogArguments{x, EnumArgument(style), core::Pointer{lineId}, id};
      });
}

void Printer::AddVLineEnd(int32_t lineId) {
  const core::CommonUtils::ErrorScope scope("AddVLineEnd");
  state_->frame.Call(
      TILO2_PRINTER_NAME("AddVLineEnd"), [&] { return LogArguments{lineId}; },
      [&](core::TdcPrinter_t& record) {
        const int added = core::TdcAddVLineEnd(&record, lineId);
        if (added == 1) {
          throw MakeException(
              core::kPrinterErrParameter,
              "lineId " + std::to_string(lineId) + " is not an id that AddVLineBegin gives");
        }
        ThrowIfFailed(added);
      });
}

void Printer::AddSound(Pattern pattern, int32_t repeat, int32_t cycle) {
  const core::CommonUtils::ErrorScope scope("AddSound");
  state_->frame.Call(
      TILO2_PRINTER_NAME("AddSound"),
      [&] {
        return LogArguments{EnumArgument(pattern), repeat, cycle};
      },
      [&](core::TdcPrinter_t& record) {
        const int32_t corePattern = core::ToCore(pattern);
        CheckRange(repeat, 0, 255, true, false, "repeat");
        CheckRange(cycle, 1000, 25500, true, false, "cycle");
        ThrowIfFailed(core::TdcAddSound(&record, corePattern, repeat, cycle));
      });
}

void Printer::AddFeedPosition(Feed position) {
  const core::CommonUtils::ErrorScope scope("AddFeedPosition");
  state_->frame.Call(
      TILO2_PRINTER_NAME("AddFeedPosition"), [&] { return LogArguments{EnumArgument(position)}; },
      [&](core::TdcPrinter_t& record) {
        ThrowIfFailed(core::TdcAddFeedPosition(&record, core::ToCore(position)));
      });
}

void Printer::AddLayout(Layout type, int32_t width, int32_t height, int32_t marginTop,
                        int32_t marginBottom, int32_t offsetCut, int32_t offsetLabel) {
  const core::CommonUtils::ErrorScope scope("AddLayout");
  state_->frame.Call(
      TILO2_PRINTER_NAME("AddLayout"),
      [&] {
        return LogArguments{EnumArgument(type), width,     height,     marginTop,
                            marginBottom,       offsetCut, offsetLabel};
      },
      [&](core::TdcPrinter_t& record) {
        const int32_t coreType = core::ToCore(type);
        CheckRange(width, 290, 600, true, true, "width");
        if (height != 0) CheckRange(height, 284, 1550, true, true, "height (or 0)");
        CheckRange(marginTop, -150, 1500, true, true, "marginTop");
        CheckRange(marginBottom, -15, 15, true, true, "marginBottom");
        CheckRange(offsetCut, -290, 50, true, true, "offsetCut");
        CheckRange(offsetLabel, 0, 15, true, true, "offsetLabel");
        // Each value is in its own range: a 1 is a combination the type does not take.
        const int added = core::TdcAddLayout(&record, coreType, width, height, marginTop,
                                             marginBottom, offsetCut, offsetLabel);
        if (added == 1) {
          throw MakeException(core::kPrinterErrParameter,
                              "height, margins and offsets do not fit a " +
                                  std::string(core::EnumText(type)) + " layout");
        }
        ThrowIfFailed(added);
      });
}

IAsyncAction Printer::ForceStopSoundAsync(int32_t timeout) {
  auto self = state_->frame.Self();
  return core::StartOperation([self, timeout] {
    State& state = *self->state_;
    const core::CommonUtils::ErrorScope scope("ForceStopSoundAsync");
    core::RunApiCall(
        state.frame.Handle(), TILO2_PRINTER_NAME("ForceStopSoundAsync::Body"),
        [&] { return LogArguments{timeout}; },
        [&] {
          core::TdcPrinter_t& record = state.frame.EnsureHandle();
          CheckForcedTimeout(timeout);
          const auto env = core::CommonUtils::CreateEnvData();
          ThrowIfFailed(core::TdcForceStopSound(env.get(), &record, timeout));
        });
  });
}

IAsyncAction Printer::ForceCommandAsync(std::span<const uint8_t> data, int32_t timeout) {
  auto self = state_->frame.Self();
  // Copied now: the caller's bytes may be gone before the body runs.
  auto bytes = std::make_shared<const std::vector<uint8_t>>(data.begin(), data.end());
  return core::StartOperation([self, bytes, timeout] {
    State& state = *self->state_;
    const core::CommonUtils::ErrorScope scope("ForceCommandAsync");
    core::RunApiCall(
        state.frame.Handle(), TILO2_PRINTER_NAME("ForceCommandAsync::Body"),
        [&] {
          return LogArguments{std::span<const uint8_t>(*bytes), timeout};
        },
        [&] {
          core::TdcPrinter_t& record = state.frame.EnsureHandle();
          if (bytes->empty()) throw MakeException(core::kPrinterErrParameter, "data is empty");
          if (bytes->size() > static_cast<size_t>(INT32_MAX)) {
            throw MakeException(core::kPrinterErrParameter,
                                "data holds " + std::to_string(bytes->size()) +
                                    " bytes; it takes at most 2147483647");
          }
          CheckForcedTimeout(timeout);
          const auto env = core::CommonUtils::CreateEnvData();
          ThrowIfFailed(core::TdcForcePrinterCommand(env.get(), &record, bytes->data(),
                                                     static_cast<int32_t>(bytes->size()), timeout));
        });
  });
}

}  // namespace Orvik::Tilo::Tilo2::Printer
