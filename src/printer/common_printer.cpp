// CommonPrinter: the object itself, and the text, layout, page, cut, pulse,
// logo and raw-byte builders.

#include "printer/common_printer.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "component/api_log.h"
#include "component/async_frame.h"
#include "component/result_codes.h"
#include "component/utf8_buffer.h"
#include "device/command_list.h"
#include "device/printer_commands.h"
#include "printer/common_frame.h"

namespace tilo2::core {

using namespace common_printer;
namespace P = ::Orvik::Tilo::Tilo2::Printer;
using ::Orvik::Tilo::Tilo2::String;

std::shared_ptr<CommonPrinter> CommonPrinter::Create() {
  return std::shared_ptr<CommonPrinter>(new CommonPrinter());
}

CommonPrinter::~CommonPrinter() = default;

String CommonPrinter::GetRuntimeClassName() const {
  return String("Orvik.Tilo.Tilo2.Printer.CommonPrinter");
}

void CommonPrinter::SetRecord(TdcPrinter_t* record) noexcept {
  record_.store(record, std::memory_order_release);
}

TdcPrinter_t* CommonPrinter::Record() const noexcept {
  return record_.load(std::memory_order_acquire);
}

void CommonPrinter::SetOwner(std::weak_ptr<const ::Orvik::Tilo::Tilo2::Object> owner) {
  owner_ = std::move(owner);
  ownerSet_ = true;
}

TdcPrinter_t& CommonPrinter::EnsureHandle() const {
  TdcPrinter_t* record = Record();
  if (record == nullptr) {
    throw CommonUtils::MakeException(kErrFailureNumber, "the printer has been released");
  }
  return *record;
}

CommonPrinter::Keep CommonPrinter::KeepAlive() const {
  Keep keep;
  keep.self = shared_from_this();
  if (ownerSet_) {
    keep.owner = owner_.lock();
    keep.ownerLost = keep.owner == nullptr;
  }
  return keep;
}

// ---- The builders' frame ------------------------------------------------------

namespace {

void CheckCorners(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
  CheckUnsignedMax(x1, 65535, "x1");
  CheckUnsignedMax(y1, 65535, "y1");
  CheckUnsignedMax(x2, 65535, "x2");
  CheckUnsignedMax(y2, 65535, "y2");
}

}  // namespace

// A builder on the caller's thread; see BuildCommand.
#define TILO2_BUILD(member, ...) \
  BuildCommand(Record(), TILO2_COMMON_PRINTER_NAME(member), __VA_ARGS__)

void CommonPrinter::ClearCommandBuffer() noexcept {
  constexpr const char* kName = TILO2_COMMON_PRINTER_NAME("ClearCommandBuffer");
  const void* handle = Record();
  CommonUtils::LogApiInWith(kLogApiEntry, handle, kName, NoLogArguments);
  try {
    TdcClearPrinterCommands(&EnsureHandle().commands.commandList);
  } catch (...) {
    // Nothing to clear without a record; a clear never fails its caller.
  }
  CommonUtils::LogApiOutWith(handle, kName, 0, NoLogArguments);
}

void CommonPrinter::AddTextAlign(P::Alignment align) {
  TILO2_BUILD(
      "AddTextAlign", [&] { return Args(align); },
      [&](TdcPrinter_t& r) { return TdcAddTextAlign(&r, ToCore(align)); });
}

void CommonPrinter::AddLineSpace(int32_t lineSpace) {
  TILO2_BUILD(
      "AddLineSpace", [&] { return Args(lineSpace); },
      [&](TdcPrinter_t& r) {
        CheckUnsignedMax(lineSpace, 255, "lineSpace");
        return TdcAddLineSpace(&r, lineSpace);
      });
}

void CommonPrinter::AddTextRotate(P::Rotate rotate) {
  TILO2_BUILD(
      "AddTextRotate", [&] { return Args(rotate); },
      [&](TdcPrinter_t& r) { return TdcAddTextRotate(&r, ToCore(rotate)); });
}

void CommonPrinter::AddText(const String& data) {
  TILO2_BUILD(
      "AddText", [&] { return Args(data); },
      [&](TdcPrinter_t& r) {
        CheckText(data, "data");
        const auto text = CommonUtils::ToUtf8(data);
        return TdcAddText(&r, text.get());
      });
}

void CommonPrinter::AddTextLang(P::Lang lang) {
  TILO2_BUILD(
      "AddTextLang", [&] { return Args(lang); },
      [&](TdcPrinter_t& r) { return TdcAddTextLang(&r, ToCore(lang)); });
}

void CommonPrinter::AddTextFont(P::Font font) {
  TILO2_BUILD(
      "AddTextFont", [&] { return Args(font); },
      [&](TdcPrinter_t& r) {
        if (font == P::Font::Unspecified) ThrowParameter("font is Unspecified; it takes a font");
        return TdcAddTextFont(&r, ToCore(font));
      });
}

void CommonPrinter::AddTextSmooth(P::Smooth smooth) {
  TILO2_BUILD(
      "AddTextSmooth", [&] { return Args(smooth); },
      [&](TdcPrinter_t& r) { return TdcAddTextSmooth(&r, ToCore(smooth)); });
}

void CommonPrinter::AddTextSize(int32_t width, int32_t height) {
  TILO2_BUILD(
      "AddTextSize", [&] { return Args(width, height); },
      [&](TdcPrinter_t& r) {
        // -1 (unchanged) and -2 (default) pass; both -1 is left to the device API.
        CommonUtils::CheckRange(width, 1, 8, false, false, "width");
        CommonUtils::CheckRange(height, 1, 8, false, false, "height");
        if (width == -1 && height == -1) ThrowParameter("width and height are both -1 (unchanged)");
        return TdcAddTextSize(&r, width, height);
      });
}

void CommonPrinter::AddTextStyle(P::Reverse reverse, P::Underline underline, P::Emphasis emphasis,
                                 P::Color color) {
  TILO2_BUILD(
      "AddTextStyle", [&] { return Args(reverse, underline, emphasis, color); },
      [&](TdcPrinter_t& r) {
        if (reverse == P::Reverse::Unspecified && underline == P::Underline::Unspecified &&
            emphasis == P::Emphasis::Unspecified && color == P::Color::Unspecified) {
          ThrowParameter("reverse, ul, em and color are all Unspecified");
        }
        const int32_t coreReverse = ToCore(reverse);
        const int32_t coreUnderline = ToCore(underline);
        const int32_t coreEmphasis = ToCore(emphasis);
        const int32_t coreColor = ToCore(color);
        return TdcAddTextStyle(&r, coreReverse, coreUnderline, coreEmphasis, coreColor);
      });
}

void CommonPrinter::AddHPosition(int32_t x) {
  TILO2_BUILD(
      "AddHPosition", [&] { return Args(x); },
      [&](TdcPrinter_t& r) {
        CheckUnsignedMax(x, 65535, "x");
        return TdcAddHPosition(&r, x);
      });
}

void CommonPrinter::AddFeedUnit(int32_t unit) {
  TILO2_BUILD(
      "AddFeedUnit", [&] { return Args(unit); },
      [&](TdcPrinter_t& r) {
        CheckUnsignedMax(unit, 255, "unit");
        return TdcAddFeedUnit(&r, unit);
      });
}

void CommonPrinter::AddFeedLine(int32_t line) {
  TILO2_BUILD(
      "AddFeedLine", [&] { return Args(line); },
      [&](TdcPrinter_t& r) {
        CheckUnsignedMax(line, 255, "line");
        return TdcAddFeedLine(&r, line);
      });
}

void CommonPrinter::AddLogo(int32_t key1, int32_t key2) {
  TILO2_BUILD(
      "AddLogo", [&] { return Args(key1, key2); },
      [&](TdcPrinter_t& r) {
        // Key 2 is the device API's: an RP_D4 takes any value there.
        CheckBetween(key1, 1, 255, "key1");
        return TdcAddLogo(&r, key1, key2);
      });
}

void CommonPrinter::AddPageBegin() {
  // The device API sets the page-mode flag once the command is in the list.
  TILO2_BUILD("AddPageBegin", NoLogArguments, [&](TdcPrinter_t& r) { return TdcAddPageBegin(&r); });
}

void CommonPrinter::AddPageEnd() {
  TILO2_BUILD("AddPageEnd", NoLogArguments, [&](TdcPrinter_t& r) { return TdcAddPageEnd(&r); });
}

void CommonPrinter::AddPageArea(int32_t x, int32_t y, int32_t width, int32_t height) {
  TILO2_BUILD(
      "AddPageArea", [&] { return Args(x, y, width, height); },
      [&](TdcPrinter_t& r) {
        CheckUnsignedMax(x, 65535, "x");
        CheckUnsignedMax(y, 65535, "y");
        CheckBetween(width, 1, 65535, "width");
        CheckBetween(height, 1, 65535, "height");
        return TdcAddPageArea(&r, x, y, width, height);
      });
}

void CommonPrinter::AddPageDirection(P::Direction direction) {
  TILO2_BUILD(
      "AddPageDirection", [&] { return Args(direction); },
      [&](TdcPrinter_t& r) { return TdcAddPageDirection(&r, ToCore(direction)); });
}

void CommonPrinter::AddPagePosition(int32_t x, int32_t y) {
  TILO2_BUILD(
      "AddPagePosition", [&] { return Args(x, y); },
      [&](TdcPrinter_t& r) {
        if (x == -1 && y == -1) ThrowParameter("x and y are both -1 (unchanged)");
        if (x != -1) CheckUnsignedMax(x, 65535, "x");
        if (y != -1) CheckUnsignedMax(y, 65535, "y");
        return TdcAddPagePosition(&r, x, y);
      });
}

void CommonPrinter::AddPageLine(int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                                P::LineStyle style) {
  TILO2_BUILD(
      "AddPageLine", [&] { return Args(x1, y1, x2, y2, style); },
      [&](TdcPrinter_t& r) {
        CheckCorners(x1, y1, x2, y2);
        return TdcAddPageLine(&r, x1, y1, x2, y2, ToCore(style));
      });
}

void CommonPrinter::AddPageRectangle(int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                                     P::LineStyle style) {
  TILO2_BUILD(
      "AddPageRectangle", [&] { return Args(x1, y1, x2, y2, style); },
      [&](TdcPrinter_t& r) {
        CheckCorners(x1, y1, x2, y2);
        return TdcAddPageRectangle(&r, x1, y1, x2, y2, ToCore(style));
      });
}

void CommonPrinter::AddCut(P::Cut type) {
  TILO2_BUILD(
      "AddCut", [&] { return Args(type); },
      [&](TdcPrinter_t& r) { return TdcAddCut(&r, ToCore(type)); });
}

void CommonPrinter::AddPulse(P::Drawer drawer, P::Pulse time) {
  TILO2_BUILD(
      "AddPulse", [&] { return Args(drawer, time); },
      [&](TdcPrinter_t& r) {
        const int32_t coreDrawer = ToCore(drawer);
        const int32_t corePulse = ToCore(time);
        return TdcAddPulse(&r, coreDrawer, corePulse);
      });
}

void CommonPrinter::AddCommand(std::span<const uint8_t> data) {
  TILO2_BUILD(
      "AddCommand", [&] { return LogArguments{data}; },
      [&](TdcPrinter_t& r) {
        if (data.empty()) ThrowParameter("data is empty");
        if (data.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
          ThrowParameter("data holds " + std::to_string(data.size()) +
                         " bytes; it takes at most 2147483647");
        }
        return TdcAddCommand(&r, data.data(), static_cast<int32_t>(data.size()));
      });
}

#undef TILO2_BUILD

}  // namespace tilo2::core
