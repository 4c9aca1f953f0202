// CommonPrinter: the image, barcode and symbol builders.

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "component/api_log.h"
#include "component/async_frame.h"
#include "component/result_codes.h"
#include "component/utf8_buffer.h"
#include "device/printer_commands.h"
#include "printer/common_frame.h"
#include "printer/common_printer.h"

namespace tilo2::core {

using namespace common_printer;
namespace P = ::Orvik::Tilo::Tilo2::Printer;
using ::Orvik::Tilo::Tilo2::IAsyncAction;
using ::Orvik::Tilo::Tilo2::IAsyncOperation;
using ::Orvik::Tilo::Tilo2::String;

void FlattenBgraOnWhite(std::span<const uint8_t> source, int32_t width, int32_t height,
                        std::span<uint8_t> out) {
  if (width < 1 || height < 1) ThrowParameter("the bitmap has no pixels");
  const uint64_t count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (source.size() / 4 < count || out.size() / 3 < count) {
    ThrowParameter("the pixel data is smaller than the bitmap");
  }
  std::fill(out.begin(), out.end(), uint8_t{0});
  const uint8_t* in = source.data();
  uint8_t* o = out.data();
  for (uint64_t i = 0; i < count; ++i, in += 4, o += 3) {
    const unsigned alpha = in[3];
    for (int c = 0; c < 3; ++c) {
      const unsigned v = in[c] + 255u - alpha;
      o[c] = static_cast<uint8_t>(v > 255u ? 255u : v);
    }
  }
}

namespace {

constexpr const char* kAddImageName = TILO2_COMMON_PRINTER_NAME("AddImageAsync");

// The brightness passed on: -2.0 for the default, else the value in tenths
// from 0.1 to 10.0, a value between two steps taken as the lower one.
double ImageBrightness(double brightness) {
  const auto refuse = [brightness] {
    ThrowParameter("brightness is " + std::to_string(brightness) + "; it takes 0.1..10.0 or -2");
  };
  if (!std::isfinite(brightness)) refuse();
  const double whole = std::trunc(brightness);
  if (whole == -1.0) refuse();
  if (whole == -2.0) return -2.0;
  const double tenths = std::trunc(brightness * 10.0);
  if (tenths < 1.0 || tenths > 100.0) {
    // -2 tenths (-0.2) passes here and is refused by the device API.
    if (tenths != -2.0) refuse();
  }
  return static_cast<int32_t>(tenths) / 10.0;
}

// What the pixel step needs, all checked and translated.
struct ImageJob {
  uint32_t bitmapWidth;
  uint32_t bitmapHeight;
  int32_t x, y, width, height;
  int32_t color, mode, halftone;
  double brightness;
  int32_t compress;
};

// Runs once the frame has handed its pixels: flattens them and appends the
// image to the record the CommonPrinter holds now.
void AddImagePixelStep(const CommonPrinter& printer,
                       const IAsyncOperation<std::vector<uint8_t>>& antecedent,
                       const ImageJob& job) {
  const std::vector<uint8_t> pixels = antecedent.get();
  if (job.bitmapWidth > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) ||
      job.bitmapHeight > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
    ThrowParameter("the bitmap is wider or higher than 2147483647 pixels");
  }
  const uint64_t count = static_cast<uint64_t>(job.bitmapWidth) * job.bitmapHeight;
  // A frame whose pixels do not match its own size is broken: never read past them.
  if (pixels.size() / 4 != count || pixels.size() % 4 != 0) {
    throw CommonUtils::MakeException(kErrFailureNumber,
                                     "the bitmap's pixel data does not match its size");
  }
  std::vector<uint8_t> rgb;
  try {
    rgb.resize(static_cast<size_t>(count) * 3);
  } catch (const std::bad_alloc&) {
    throw CommonUtils::MakeException(kErrFailureNumber, "out of memory for the image's pixels");
  }
  const auto width = static_cast<int32_t>(job.bitmapWidth);
  const auto height = static_cast<int32_t>(job.bitmapHeight);
  FlattenBgraOnWhite(pixels, width, height, rgb);
  TdcPrinter_t* record = printer.Record();
  if (record == nullptr) {
    throw CommonUtils::MakeException(kErrFailureNumber, "the printer has been released");
  }
  // The append takes the list's lock, so a clear or a replay never sees half an image.
  CommonUtils::ThrowIfFailed(
      TdcAddImage(record, rgb.data(), width, height, job.x, job.y, job.width, job.height, job.color,
                  job.mode, job.halftone, job.brightness, job.compress),
      "the image was refused");
}

}  // namespace

IAsyncAction CommonPrinter::AddImageAsync(std::shared_ptr<IBitmapFrame> image, int32_t x, int32_t y,
                                          int32_t width, int32_t height, P::Color color,
                                          P::Mode mode, P::Halftone halftone, double brightness,
                                          P::Compression compress) {
  auto body = [keep = KeepAlive(), image = std::move(image), x, y, width, height, color, mode,
               halftone, brightness, compress]() {
    const CommonPrinter& self = *keep.self;
    TdcPrinter_t* handle = self.Record();
    auto makeArgs = [&] {
      return LogArguments{std::shared_ptr<const ::Orvik::Tilo::Tilo2::Object>(image),
                          static_cast<int64_t>(x),
                          static_cast<int64_t>(y),
                          static_cast<int64_t>(width),
                          static_cast<int64_t>(height),
                          EnumArgument(color),
                          EnumArgument(mode),
                          EnumArgument(halftone),
                          brightness,
                          EnumArgument(compress)};
    };
    const CommonUtils::ErrorScope scope(kAddImageName);
    RunApiCall(handle, kAddImageName, makeArgs, [&] {
      if (keep.ownerLost) {
        throw CommonUtils::MakeException(kErrFailureNumber, "the printer has been released");
      }
      self.EnsureHandle();
      if (!image) ThrowParameter("data is null");
      // A frame's own failure keeps its HRESULT.
      ImageJob job{};
      job.bitmapWidth = image->PixelWidth();
      job.bitmapHeight = image->PixelHeight();
      CheckUnsignedMax(x, 65534, "x");
      CheckUnsignedMax(y, 65534, "y");
      CheckBetween(width, 1, 65535, "width");
      CheckBetween(height, 1, 65535, "height");
      if (color == P::Color::Unspecified) ThrowParameter("color is Unspecified; it takes a color");
      job.x = x;
      job.y = y;
      job.width = width;
      job.height = height;
      job.color = ToCore(color);
      job.mode = ToCore(mode);
      job.halftone = ToCore(halftone);
      job.brightness = ImageBrightness(brightness);
      job.compress = ToCore(compress);
      auto pixels = image->GetPixelDataAsync();
      auto appended =
          pixels.then([keep, job](const IAsyncOperation<std::vector<uint8_t>>& antecedent) {
            AddImagePixelStep(*keep.self, antecedent, job);
          });
      // The SDK's own failures pass; a failed pixel request becomes ErrFailure.
      appended.then(Tilo2ObserveException<void>{kErrFailureNumber}).get();
    });
  };
  // No filter after the body: a failure of the frame itself reaches the app
  // with the frame's HRESULT.
  auto cancel = std::make_shared<ChainCancel>();
  return AppOperation(cancel, FirstStep(cancel, std::move(body)));
}

void CommonPrinter::AddBarcode(const String& data, P::BarcodeType type, P::Hri hri, P::Font font,
                               int32_t width, int32_t height) {
  BuildCommand(
      Record(), TILO2_COMMON_PRINTER_NAME("AddBarcode"),
      [&] { return Args(data, type, hri, font, width, height); },
      [&](TdcPrinter_t& r) {
        CheckText(data, "data");
        const auto text = CommonUtils::ToUtf8(data);
        const int32_t coreType = ToCore(type);
        const int32_t coreHri = ToCore(hri);
        const int32_t coreFont = ToCore(font);
        CommonUtils::CheckRange(width, 2, 6, false, true, "width");
        CommonUtils::CheckRange(height, 1, 255, false, true, "height");
        if (std::string reason; TdcCheckBarcodeData(text.get(), coreType, &reason) != 0) {
          ThrowParameter(reason);
        }
        return TdcAddBarcode(&r, text.get(), coreType, coreHri, coreFont, width, height);
      });
}

void CommonPrinter::AddSymbol(const String& data, P::SymbolType type, P::Level level,
                              int32_t levelPercent, int32_t width, int32_t height, int32_t size) {
  BuildCommand(
      Record(), TILO2_COMMON_PRINTER_NAME("AddSymbol"),
      [&] { return Args(data, type, level, levelPercent, width, height, size); },
      [&](TdcPrinter_t& r) {
        CheckText(data, "data");
        const auto text = CommonUtils::ToUtf8(data);
        if (std::string reason; TdcCheckSymbolData(text.get(), &reason) != 0) {
          ThrowParameter(reason);
        }
        const int32_t coreType = ToCore(type);
        // Aztec symbols carry their error correction in percent in the same place.
        const bool aztec =
            type == P::SymbolType::AztecCodeFullRange || type == P::SymbolType::AztecCodeCompact;
        const int32_t coreLevel =
            aztec ? CommonUtils::CheckRange(levelPercent, 5, 95, false, false, "levelPercent")
                  : ToCore(level);
        CommonUtils::CheckRange(width, 1, 255, false, true, "width");
        CommonUtils::CheckRange(height, 1, 255, false, true, "height");
        if (size != -1) CheckUnsignedMax(size, 65535, "size");
        // Every value but the level was checked above: a 1 is a level the type does not take.
        const int added = TdcAddSymbol(&r, text.get(), coreType, coreLevel, width, height, size);
        if (added == 1) {
          ThrowParameter(aztec ? "levelPercent " + std::to_string(levelPercent) +
                                     " does not apply to " + std::string(EnumText(type))
                               : "level " + std::string(EnumText(level)) + " does not apply to " +
                                     std::string(EnumText(type)));
        }
        return added;
      });
}

}  // namespace tilo2::core
