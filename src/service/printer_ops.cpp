// The printer's document builders over the device service: one operation per
// command kind of the device layer's replay. Each maps the layer's values
// (-2 for "default", -1 for "leave it out") onto the indexes of the element
// writers, refuses what the service does not take with 1 before anything is
// appended, and appends one element to the handle's document.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "encoding/imaging/image_raster.h"
#include "service/device_handles.h"
#include "service/device_service.h"
#include "service/printer_ops_internal.h"
#include "service/request_messages.h"

namespace tilo2::core {

namespace {

constexpr int32_t kDefault = -2;
constexpr int32_t kLeaveOut = -1;
constexpr int32_t kNoRow = -100;  // no index: the value is refused

// The value as it is when it lies in 0..hi, -2 as defaultIndex and -1 as
// leaveOutIndex (each only when given); false for anything else.
bool MapIndex(int32_t value, int32_t hi, int32_t defaultIndex, int32_t leaveOutIndex,
              int32_t* out) {
  if (value >= 0 && value <= hi) {
    *out = value;
    return true;
  }
  if (value == kDefault && defaultIndex != kNoRow) {
    *out = defaultIndex;
    return true;
  }
  if (value == kLeaveOut && leaveOutIndex != kNoRow) {
    *out = leaveOutIndex;
    return true;
  }
  return false;
}

bool In(int32_t value, int32_t lo, int32_t hi) { return value >= lo && value <= hi; }
bool InOrLeftOut(int32_t value, int32_t lo, int32_t hi) {
  return value == kLeaveOut || In(value, lo, hi);
}

// Runs an element writer on the handle's document: 1 for a missing handle,
// 255 for one without a document, else the writer's translated result.
template <typename Write>
int Append(const void* handle, Write write) {
  TdevDocumentRef target = TdevDocumentOf(handle);
  if (target.result != 0) return target.result;
  return TdevFromBuilderResult(write(target.document));
}

// The style of the line elements: 0..5 as they are, -2 thin.
bool MapLineStyle(int32_t style, int32_t* out) { return MapIndex(style, 5, 0, kNoRow, out); }

// Every value a coordinate: 0..65535.
bool Coordinates(std::initializer_list<int32_t> values) {
  for (int32_t v : values)
    if (!In(v, 0, 65535)) return false;
  return true;
}

// The elements that take one index: value 0..hi as it is, -2 as
// defaultIndex (kNoRow: no default), anything else refused with 1.
int AppendIndex(const void* handle, int32_t value, int32_t hi, int32_t defaultIndex,
                int (*write)(TdevDocument_t*, int32_t)) {
  return Append(handle, [&](TdevDocument_t* d) {
    int32_t index = 0;
    return MapIndex(value, hi, defaultIndex, kNoRow, &index) ? write(d, index) : 1;
  });
}

// The elements that take one number in lo..hi as it is.
int AppendNumber(const void* handle, int32_t value, int32_t lo, int32_t hi,
                 int (*write)(TdevDocument_t*, int32_t)) {
  return Append(handle, [&](TdevDocument_t* d) { return In(value, lo, hi) ? write(d, value) : 1; });
}

// The two ends of a vertical line: a coordinate and a line style.
int AppendVLine(const void* handle, int32_t x, int32_t style,
                int (*write)(TdevDocument_t*, int32_t, int32_t)) {
  return Append(handle, [&](TdevDocument_t* d) {
    int32_t s = 0;
    if (!Coordinates({x}) || !MapLineStyle(style, &s)) return 1;
    return write(d, x, s);
  });
}

// The page-mode shapes between two points: four coordinates and a line style.
int AppendPageShape(const void* handle, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                    int32_t style,
                    int (*write)(TdevDocument_t*, int32_t, int32_t, int32_t, int32_t, int32_t)) {
  return Append(handle, [&](TdevDocument_t* d) {
    int32_t s = 0;
    if (!Coordinates({x1, y1, x2, y2}) || !MapLineStyle(style, &s)) return 1;
    return write(d, x1, y1, x2, y2, s);
  });
}

}  // namespace

// ---- Shared with the job operations ---------------------------------------------------------

TdevDocumentRef TdevDocumentOf(const void* handle) {
  TdevDocumentRef target;
  target.handle = TdevRefHandle(handle);
  if (target.handle == nullptr) {
    target.result = 1;
    return target;
  }
  const uint32_t type = target.handle->type;
  if (type == TDEV_DEVICE_PRINTER || type == TDEV_DEVICE_HYBRID_PRINTER) {
    target.document = static_cast<TdevPrinterHandle_t*>(target.handle.get())->document;
  } else if (type == TDEV_DEVICE_DISPLAY) {
    target.document = static_cast<TdevDisplayHandle_t*>(target.handle.get())->document;
  }
  target.result = target.document == nullptr ? 255 : 0;
  return target;
}

int TdevFromBuilderResult(int built) {
  switch (built) {
    case TDEV_BUILD_OK:
      return 0;
    case TDEV_BUILD_BAD_ARGUMENT:
      return 1;
    case TDEV_BUILD_NO_MEMORY:
      return 12;
    case TDEV_BUILD_UNSUPPORTED:
      // A document of another kind: the replay stops on it.
      return -1;
    default:
      return 0;
  }
}

// ---- Text ----------------------------------------------------------------------------------

int TdevPrinterAddTextAlign(TdevPrinterHandle_t* handle, int32_t align) {
  return AppendIndex(handle, align, 2, 0, &TdevXmlTextAlign);
}

int TdevPrinterAddLineSpace(TdevPrinterHandle_t* handle, int32_t linespc) {
  return AppendNumber(handle, linespc, 0, 255, &TdevXmlTextLineSpace);
}

int TdevPrinterAddTextRotate(TdevPrinterHandle_t* handle, int32_t rotate) {
  return AppendIndex(handle, rotate, 1, 0, &TdevXmlTextRotate);
}

int TdevPrinterAddText(TdevPrinterHandle_t* handle, const char* text) {
  return Append(handle,
                [&](TdevDocument_t* d) { return text != nullptr ? TdevXmlText(d, text) : 1; });
}

int TdevPrinterAddTextLang(TdevPrinterHandle_t* handle, int32_t lang) {
  return AppendIndex(handle, lang, 5, 0, &TdevXmlTextLang);
}

int TdevPrinterAddTextFont(TdevPrinterHandle_t* handle, int32_t font) {
  return AppendIndex(handle, font, 4, 0, &TdevXmlTextFont);
}

int TdevPrinterAddTextSmooth(TdevPrinterHandle_t* handle, int32_t smooth) {
  return AppendIndex(handle, smooth, 1, 0, &TdevXmlTextSmooth);
}

int TdevPrinterAddTextSize(TdevPrinterHandle_t* handle, int32_t width, int32_t height) {
  return Append(handle, [&](TdevDocument_t* d) {
    // 1..8, -2 the single size, -1 left out.
    auto scale = [](int32_t value, int32_t* out) {
      if (value == kDefault) {
        *out = 1;
      } else if (value == kLeaveOut || In(value, 1, 8)) {
        *out = value;
      } else {
        return false;
      }
      return true;
    };
    int32_t w = 0, h = 0;
    if (!scale(width, &w) || !scale(height, &h)) return 1;
    return TdevXmlTextSize(d, h, w);
  });
}

int TdevPrinterAddTextStyle(TdevPrinterHandle_t* handle, int32_t reverse, int32_t ul, int32_t em,
                            int32_t color) {
  return Append(handle, [&](TdevDocument_t* d) {
    // Index 2 (and 5 for the color) leaves the attribute out; only reverse
    // has a default.
    int32_t r = 0, u = 0, e = 0, c = 0;
    if (!MapIndex(reverse, 1, 0, 2, &r) || !MapIndex(ul, 1, kNoRow, 2, &u) ||
        !MapIndex(em, 1, kNoRow, 2, &e) || !MapIndex(color, 4, 1, 5, &c)) {
      return 1;
    }
    return TdevXmlTextStyle(d, r, u, e, c);
  });
}

int TdevPrinterAddHPosition(TdevPrinterHandle_t* handle, int32_t x) {
  return AppendNumber(handle, x, 0, 65535, &TdevXmlTextPosition);
}

// ---- Paper feed ------------------------------------------------------------------------------

int TdevPrinterAddFeedUnit(TdevPrinterHandle_t* handle, int32_t unit) {
  return AppendNumber(handle, unit, 0, 255, &TdevXmlFeedUnit);
}

int TdevPrinterAddFeedLine(TdevPrinterHandle_t* handle, int32_t line) {
  return AppendNumber(handle, line, 0, 255, &TdevXmlFeedLine);
}

int TdevPrinterAddFeedPosition(TdevPrinterHandle_t* handle, int32_t pos) {
  // No default: the position must be named.
  return AppendIndex(handle, pos, 3, kNoRow, &TdevXmlFeedPosition);
}

// ---- Image -------------------------------------------------------------------------------------

int TdevPrinterAddImage(TdevPrinterHandle_t* handle, const uint8_t* pixels, int32_t imageWidth,
                        int32_t imageHeight, int32_t x, int32_t y, int32_t width, int32_t height,
                        int32_t color, int32_t mode, int32_t halftone, double brightness) {
  return Append(handle, [&](TdevDocument_t* d) {
    if (pixels == nullptr) return 1;
    if (!Coordinates({imageWidth, imageHeight, x, y, width, height})) return 1;
    int32_t colorIndex = 0, modeIndex = 0, halftoneIndex = 0;
    if (!MapIndex(color, 4, 1, kNoRow, &colorIndex) || !MapIndex(mode, 1, 0, kNoRow, &modeIndex) ||
        !MapIndex(halftone, 2, 0, kNoRow, &halftoneIndex)) {
      return 1;
    }
    if (brightness == -2.0) brightness = 1.0;
    // Written so that NaN fails too.
    if (!(brightness >= 0.1 && brightness <= 10.0)) return 1;
    if (x + width > imageWidth || y + height > imageHeight) return 1;

    const bool gray = modeIndex == 1;
    const int64_t rowBytes = gray ? (int64_t{width} + 1) / 2 : (int64_t{width} + 7) / 8;
    const int64_t size = rowBytes * height;
    // An empty region has nothing to print; the converters refuse it too.
    if (size == 0) return 1;
    if (size > TDEV_MAX_RASTER_BYTES) return 3;
    auto* raster = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
    if (raster == nullptr) return 3;
    const int32_t length = static_cast<int32_t>(size);
    int converted = 0;
    if (gray) {
      converted = TdevImageToGray16(pixels, imageWidth, imageHeight, x, y, width, height,
                                    brightness, raster, length);
    } else if (halftoneIndex == 0) {
      converted = TdevImageDitherToRaster(pixels, imageWidth, imageHeight, x, y, width, height,
                                          brightness, raster, length);
    } else if (halftoneIndex == 1) {
      converted = TdevImageDiffuseToRaster(pixels, imageWidth, imageHeight, x, y, width, height,
                                           brightness, raster, length);
    } else {
      converted = TdevImageThresholdToRaster(pixels, imageWidth, imageHeight, x, y, width, height,
                                             brightness, raster, length);
    }
    if (converted != 0) {
      std::free(raster);
      // The converters answer in the client's own codes (12: no memory).
      return converted == 12 ? 3 : 1;
    }
    const int built = TdevXmlImage(d, raster, length, width, height, colorIndex, modeIndex);
    std::free(raster);
    return built;
  });
}

int TdevPrinterAddLogo(TdevPrinterHandle_t* handle, int32_t key1, int32_t key2) {
  return Append(handle, [&](TdevDocument_t* d) {
    return In(key1, 0, 255) && In(key2, 0, 255) ? TdevXmlLogo(d, key1, key2) : 1;
  });
}

// ---- Barcodes and symbols
// ------------------------------------------------------------------------

int TdevPrinterAddBarcode(TdevPrinterHandle_t* handle, const char* data, int32_t type, int32_t hri,
                          int32_t font, int32_t width, int32_t height) {
  return Append(handle, [&](TdevDocument_t* d) {
    if (data == nullptr) return 1;
    int32_t hriIndex = 0, fontIndex = 0;
    // Index 4 leaves hri out, 7 the font.
    if (!In(type, 0, 15) || !MapIndex(hri, 3, 0, 4, &hriIndex) ||
        !MapIndex(font, 4, 0, 7, &fontIndex) || !InOrLeftOut(width, 2, 6) ||
        !InOrLeftOut(height, 1, 255)) {
      return 1;
    }
    const size_t length = std::strlen(data);
    if (length > static_cast<size_t>(INT32_MAX)) return 1;
    return TdevXmlBarcode(d, data, static_cast<int32_t>(length), type, width, height, hriIndex,
                          fontIndex);
  });
}

namespace {

// The level code the symbol writer takes: 0..12 named levels, 13 default,
// 14..104 an Aztec percentage plus 9, 105 left out.
bool MapSymbolLevel(int32_t type, int32_t level, int32_t* out) {
  constexpr int32_t kDefaultLevel = 13;
  constexpr int32_t kLeftOut = 105;
  if (level == kLeaveOut) {
    *out = kLeftOut;
    return true;
  }
  if (type == 13 || type == 14) {  // Aztec: a percentage
    if (level == kDefault) {
      *out = kDefaultLevel;
      return true;
    }
    if (!In(level, 5, 95)) return false;
    *out = level + 9;
    return true;
  }
  if (In(type, 2, 4)) {                          // QR and micro QR: L, M, Q, H
    if (type == 4 && level == 12) return false;  // micro QR has no H
    if (level == kDefault) {
      *out = kDefaultLevel;
      return true;
    }
    if (!In(level, 9, 12)) return false;
    *out = level;
    return true;
  }
  if (!In(level, 0, 13)) return false;
  *out = level;
  return true;
}

}  // namespace

int TdevPrinterAddSymbol(TdevPrinterHandle_t* handle, const char* data, int32_t type, int32_t level,
                         int32_t width, int32_t height, int32_t size) {
  return Append(handle, [&](TdevDocument_t* d) {
    if (data == nullptr || !InOrLeftOut(width, 0, 255) || !InOrLeftOut(height, 0, 255) ||
        !InOrLeftOut(size, 0, 65535) || !In(type, 0, 18)) {
      return 1;
    }
    int32_t levelCode = 0;
    if (!MapSymbolLevel(type, level, &levelCode)) return 1;
    const size_t length = std::strlen(data);
    if (length > static_cast<size_t>(INT32_MAX)) return 1;
    return TdevXmlSymbol(d, data, static_cast<int32_t>(length), type, levelCode, height, width,
                         size);
  });
}

// ---- Lines and page mode -----------------------------------------------------------------------

int TdevPrinterAddHLine(TdevPrinterHandle_t* handle, int32_t x1, int32_t x2, int32_t style) {
  return Append(handle, [&](TdevDocument_t* d) {
    int32_t s = 0;
    if (!Coordinates({x1, x2}) || !MapLineStyle(style, &s)) return 1;
    return TdevXmlHLine(d, x1, x2, s);
  });
}

int TdevPrinterAddVLineBegin(TdevPrinterHandle_t* handle, int32_t x, int32_t style) {
  return AppendVLine(handle, x, style, &TdevXmlVLineBegin);
}

int TdevPrinterAddVLineEnd(TdevPrinterHandle_t* handle, int32_t x, int32_t style) {
  return AppendVLine(handle, x, style, &TdevXmlVLineEnd);
}

int TdevPrinterAddPageBegin(TdevPrinterHandle_t* handle) {
  return Append(handle, [&](TdevDocument_t* d) { return TdevXmlPageBegin(d); });
}

int TdevPrinterAddPageEnd(TdevPrinterHandle_t* handle) {
  return Append(handle, [&](TdevDocument_t* d) { return TdevXmlPageEnd(d); });
}

int TdevPrinterAddPageArea(TdevPrinterHandle_t* handle, int32_t x, int32_t y, int32_t width,
                           int32_t height) {
  return Append(handle, [&](TdevDocument_t* d) {
    if (!Coordinates({x, y, width, height})) return 1;
    return TdevXmlPageArea(d, x, y, width, height);
  });
}

int TdevPrinterAddPageDirection(TdevPrinterHandle_t* handle, int32_t dir) {
  return AppendIndex(handle, dir, 3, 0, &TdevXmlPageDirection);
}

int TdevPrinterAddPagePosition(TdevPrinterHandle_t* handle, int32_t x, int32_t y) {
  return Append(handle, [&](TdevDocument_t* d) {
    return Coordinates({x, y}) ? TdevXmlPagePosition(d, x, y) : 1;
  });
}

int TdevPrinterAddPageLine(TdevPrinterHandle_t* handle, int32_t x1, int32_t y1, int32_t x2,
                           int32_t y2, int32_t style) {
  return AppendPageShape(handle, x1, y1, x2, y2, style, &TdevXmlPageLine);
}

int TdevPrinterAddPageRectangle(TdevPrinterHandle_t* handle, int32_t x1, int32_t y1, int32_t x2,
                                int32_t y2, int32_t style) {
  return AppendPageShape(handle, x1, y1, x2, y2, style, &TdevXmlPageRectangle);
}

// ---- Cutter, drawer, buzzer, raw bytes, layout -------------------------------------------------

int TdevPrinterAddCut(TdevPrinterHandle_t* handle, int32_t type) {
  return AppendIndex(handle, type, 2, 1, &TdevXmlCut);
}

int TdevPrinterAddPulse(TdevPrinterHandle_t* handle, int32_t drawer, int32_t time) {
  return Append(handle, [&](TdevDocument_t* d) {
    int32_t drawerIndex = 0, timeIndex = 0;
    if (!TdevMapPulse(drawer, time, &drawerIndex, &timeIndex)) return 1;
    return TdevXmlPulse(d, drawerIndex, timeIndex);
  });
}

int TdevPrinterAddSound(TdevPrinterHandle_t* handle, int32_t pattern, int32_t repeat,
                        int32_t cycle) {
  return Append(handle, [&](TdevDocument_t* d) {
    int32_t patternIndex = 0;
    if (!MapIndex(pattern, 17, 1, kNoRow, &patternIndex)) return 1;
    if (repeat == kDefault) {
      repeat = 1;
    } else if (!In(repeat, 0, 255)) {
      return 1;
    }
    if (cycle == kDefault) {
      cycle = 1000;
    } else if (!In(cycle, 1000, 25500)) {
      return 1;
    }
    return TdevXmlSound(d, patternIndex, repeat, cycle);
  });
}

int TdevAddCommand(void* handle, const uint8_t* bytes, int32_t length) {
  // The writer turns the bytes into hex text (3 when that text cannot be
  // had) and refuses a count below 1.
  return Append(handle, [&](TdevDocument_t* d) {
    return bytes != nullptr ? TdevXmlCommand(d, bytes, length) : 1;
  });
}

int TdevPrinterAddLayout(TdevPrinterHandle_t* handle, int32_t type, int32_t width, int32_t height,
                         int32_t marginTop, int32_t marginBottom, int32_t offsetCut,
                         int32_t offsetLabel) {
  // The writer checks the six numbers against the layout type.
  return Append(handle, [&](TdevDocument_t* d) {
    if (!In(type, 0, 3)) return 1;
    return TdevXmlLayout(d, type, width, height, marginTop, marginBottom, offsetCut, offsetLabel);
  });
}

bool TdevMapPulse(int32_t drawer, int32_t time, int32_t* drawerIndex, int32_t* timeIndex) {
  return MapIndex(drawer, 1, 0, kNoRow, drawerIndex) && MapIndex(time, 4, 0, kNoRow, timeIndex);
}

}  // namespace tilo2::core
