#include "engine/builder_ops.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "encoding/dbcs/mb_encode.h"
#include "encoding/display/dsp_cmd_handle.h"
#include "encoding/imaging/image_raster.h"
#include "encoding/printer/prn_cmd.h"
#include "encoding/printer/prn_model.h"
#include "engine/engine_log.h"
#include "engine/print_result.h"
#include "engine/request_queue.h"
#include "engine/test_hooks.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

namespace {

EngineAllocFn allocOverride = nullptr;

void* Alloc(size_t size) { return allocOverride ? allocOverride(size) : std::malloc(size); }

struct FreeBlock {
  void operator()(void* block) const { std::free(block); }
};
template <typename T>
using Block = std::unique_ptr<T, FreeBlock>;

// The engine's own allocation failed.
int MemoryError(int line) {
  EngineErrorLine(kPublicSource, line);
  return TILOPRN_MEMORY_ERROR;
}

// A command the model lacks is accepted and adds nothing.
int Map(int builderResult) { return ConvertBuilderResultLenient(builderResult); }

bool In(int32_t value, int32_t low, int32_t high) { return value >= low && value <= high; }
// -1 leaves the setting unchanged.
bool OptionalIn(int32_t value, int32_t low, int32_t high) {
  return value == -1 || In(value, low, high);
}
int32_t OrDefault(int32_t value, int32_t fallback) { return value == -2 ? fallback : value; }

PrnCmdHandle_t* PrinterOf(PrinterBuilder_t* record) {
  if (record == nullptr) return nullptr;
  PrnCmdHandle_t* builder = record->builder.get();
  return PrnCmdValid(builder) ? builder : nullptr;
}

DspCmdHandle_t* DisplayOf(DisplayBuilder_t* record) {
  if (record == nullptr) return nullptr;
  return DspCmdValid(record->builder) ? record->builder : nullptr;
}

// Calls a slot of one of the model's tables; 2 when the table or slot is missing.
template <typename Table, typename Fn, typename... Args>
int PrnSlot(PrnCmdHandle_t* builder, Table* PrnModelOps_t::*table, Fn Table::*slot, Args... args) {
  Table* ops = builder->ops.*table;
  if (ops == nullptr || ops->*slot == nullptr) return 2;
  return (ops->*slot)(builder, args...);
}

template <typename Fn, typename... Args>
int DspSlot(DspCmdHandle_t* builder, Fn DspOps::*slot, Args... args) {
  if (builder->ops == nullptr || builder->ops->*slot == nullptr) return 2;
  return (builder->ops->*slot)(builder, args...);
}

// One-argument printer operation: a range check, then one table slot.
template <typename Table>
int RangedSlot(PrinterBuilder_t* record, Table* PrnModelOps_t::*table, PrnOp1Fn Table::*slot,
               int32_t value, int32_t low, int32_t high) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !In(value, low, high)) return TILOPRN_PARAMETER_ERROR;
  return Map(PrnSlot(builder, table, slot, value));
}

// One-argument display operation.
int RangedDspSlot(DisplayBuilder_t* record, DspOp1Fn DspOps::*slot, int32_t value, int32_t low,
                  int32_t high) {
  DspCmdHandle_t* builder = DisplayOf(record);
  if (builder == nullptr || !In(value, low, high)) return TILOPRN_PARAMETER_ERROR;
  return Map(DspSlot(builder, slot, value));
}

size_t Utf8SequenceLength(uint8_t lead) {
  if (lead < 0xC0) return 1;  // ASCII, or a stray continuation byte
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF8) return 4;
  if (lead < 0xFC) return 5;
  if (lead < 0xFE) return 6;
  return 1;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the escapes of length bytes of data into a block of its own (one
// spare byte, NUL); 0, or 5 with an ERROR line.
int DecodeEscapes(const char* data, size_t length, Block<uint8_t>* out, size_t* outLength,
                  bool shiftJis = false) {
  const size_t count = ParseEscapes(data, length, nullptr, shiftJis);
  Block<uint8_t> block(static_cast<uint8_t*>(Alloc(count + 1)));
  if (block == nullptr) return MemoryError(__LINE__);
  const size_t written = ParseEscapes(data, length, block.get(), shiftJis);
  block.get()[written] = 0;
  *out = std::move(block);
  *outLength = written;
  return TILOPRN_SUCCESS;
}

int LineStyle(int32_t style) { return OrDefault(style, 0); }
bool LineStyleValid(int32_t style) { return In(LineStyle(style), 0, 5); }

constexpr int32_t kMaxCoord = 65535;

int DisplayTextSteps(DisplayBuilder_t* record, const char* text, int32_t x, int32_t y,
                     int32_t language, bool reverse) {
  DspCmdHandle_t* builder = DisplayOf(record);
  if (builder == nullptr || text == nullptr) return TILOPRN_PARAMETER_ERROR;
  const bool move = !(x == -1 && y == -1);
  if (move && !(In(x, 1, 20) && In(y, 1, 2))) return TILOPRN_PARAMETER_ERROR;
  language = OrDefault(language, 0);
  if (!OptionalIn(language, 0, 6)) return TILOPRN_PARAMETER_ERROR;
  int rc = TILOPRN_SUCCESS;
  if (move) rc = Map(DspCmdSetCursorPosition(builder, x, y));
  if (rc == 0 && language != -1) rc = Map(DspCmdSetLanguage(builder, language));
  if (rc == 0) rc = Map(DspSlot(builder, &DspOps::reverse, reverse ? 1 : 0));
  if (rc == 0) rc = Map(DspSlot(builder, &DspOps::text, text));
  if (rc == 0 && reverse) rc = Map(DspSlot(builder, &DspOps::reverse, 0));
  return rc;
}

}  // namespace

void EngineSetBuilderAllocator(EngineAllocFn alloc) { allocOverride = alloc; }

// Printer operations.

int TiloAddTextAlign(PrinterBuilder_t* builder, int32_t align) {
  return RangedSlot(builder, &PrnModelOps_t::align, &PrnAlignOps::align, align, 0, 2);
}

int TiloAddLineSpace(PrinterBuilder_t* builder, int32_t dots) {
  return RangedSlot(builder, &PrnModelOps_t::text, &PrnTextOps::lineSpace, dots, 0, 255);
}

int TiloAddTextRotate(PrinterBuilder_t* builder, int32_t rotate) {
  return RangedSlot(builder, &PrnModelOps_t::align, &PrnAlignOps::rotate, rotate, 0, 1);
}

int TiloAddText(PrinterBuilder_t* record, const char* text) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || text == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Map(PrnCmdAddText(builder, text));
}

int TiloAddTextLang(PrinterBuilder_t* builder, int32_t language) {
  return RangedSlot(builder, &PrnModelOps_t::text, &PrnTextOps::textLang, language, 0, 6);
}

int TiloAddTextFont(PrinterBuilder_t* builder, int32_t font) {
  return RangedSlot(builder, &PrnModelOps_t::text, &PrnTextOps::font, font, 0, 4);
}

int TiloAddTextSmooth(PrinterBuilder_t* builder, int32_t smooth) {
  return RangedSlot(builder, &PrnModelOps_t::text, &PrnTextOps::smooth, smooth, 0, 1);
}

int TiloAddTextSize(PrinterBuilder_t* record, int32_t width, int32_t height) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !OptionalIn(width, 1, 8) || !OptionalIn(height, 1, 8)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  int rc = TILOPRN_SUCCESS;
  if (width != -1) rc = Map(PrnSlot(builder, &PrnModelOps_t::text, &PrnTextOps::widthScale, width));
  if (rc == 0 && height != -1) {
    rc = Map(PrnSlot(builder, &PrnModelOps_t::text, &PrnTextOps::heightScale, height));
  }
  return rc;
}

int TiloAddTextStyle(PrinterBuilder_t* record, int32_t reverse, int32_t underline, int32_t emphasis,
                     int32_t color) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !OptionalIn(reverse, 0, 1) || !OptionalIn(underline, 0, 1) ||
      !OptionalIn(emphasis, 0, 1) || !OptionalIn(color, 0, 4)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  const struct {
    int32_t value;
    PrnOp1Fn PrnTextOps::*slot;
  } steps[] = {
      {reverse, &PrnTextOps::reverse},
      {underline, &PrnTextOps::underline},
      {emphasis, &PrnTextOps::emphasis},
      {color, &PrnTextOps::color},
  };
  for (const auto& step : steps) {
    if (step.value == -1) continue;
    const int rc = Map(PrnSlot(builder, &PrnModelOps_t::text, step.slot, step.value));
    if (rc != 0) return rc;
  }
  return TILOPRN_SUCCESS;
}

int TiloAddHPosition(PrinterBuilder_t* record, int32_t x) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !In(x, 0, kMaxCoord)) return TILOPRN_PARAMETER_ERROR;
  return Map(PrnCmdAddTextPosition(builder, x));
}

int TiloAddFeedUnit(PrinterBuilder_t* builder, int32_t dots) {
  return RangedSlot(builder, &PrnModelOps_t::feed, &PrnFeedOps::feedUnit, dots, 0, 255);
}

int TiloAddFeedLine(PrinterBuilder_t* builder, int32_t lines) {
  return RangedSlot(builder, &PrnModelOps_t::feed, &PrnFeedOps::feedLine, lines, 0, 255);
}

int TiloAddImage(PrinterBuilder_t* record, const uint8_t* pixels, int32_t imageWidth,
                 int32_t imageHeight, int32_t x, int32_t y, int32_t width, int32_t height,
                 int32_t color, int32_t mode, int32_t halftone, double brightness,
                 int32_t compress) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || pixels == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (!In(imageWidth, 1, kMaxCoord) || !In(imageHeight, 1, kMaxCoord) || !In(x, 0, kMaxCoord - 1) ||
      !In(y, 0, kMaxCoord - 1) || !In(width, 1, kMaxCoord) || !In(height, 1, kMaxCoord)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  color = OrDefault(color, 1);
  mode = OrDefault(mode, 0);
  halftone = OrDefault(halftone, 0);
  compress = OrDefault(compress, 0);
  if (brightness == -2.0) brightness = 1.0;
  // Written so that NaN fails as well.
  if (!In(color, 0, 4) || !In(mode, 0, 2) || !In(halftone, 0, 2) || !In(compress, 0, 1) ||
      !(brightness >= 0.1 && brightness <= 10.0)) {
    return TILOPRN_PARAMETER_ERROR;
  }

  // Fit to the paper: in page mode the application places the image itself.
  int32_t position = 0;
  if (builder->pageMode != 1 && builder->getPrintableWidth != nullptr) {
    int printable = 0;
    if (builder->getPrintableWidth(builder, &printable) == 0) {
      if (builder->positionX < 0) return TILOPRN_FAILURE;
      position = builder->positionX;
      if (int64_t(width) > int64_t(printable) - position) width = printable - position;
    }
  }
  // Nothing fits right of the position.
  if (width < 1) return TILOPRN_PARAMETER_ERROR;
  if (int64_t(x) + width > imageWidth || int64_t(y) + height > imageHeight) {
    return TILOPRN_PARAMETER_ERROR;
  }

  // The raster starts at the byte boundary left of the position: pad the rows
  // with white so that the image's first dot lands on the position.
  const uint8_t* source = pixels;
  int32_t sourceWidth = imageWidth;
  int32_t sourceHeight = imageHeight;
  int32_t sourceX = x;
  int32_t sourceY = y;
  Block<uint8_t> shifted;
  const int32_t pad = position % 8;
  if (pad != 0) {
    const int32_t newWidth = width + pad;
    const uint64_t bytes = uint64_t(newWidth) * uint64_t(height) * 3;
    if (bytes > uint64_t(INT_MAX)) return MemoryError(__LINE__);
    shifted.reset(static_cast<uint8_t*>(Alloc(size_t(bytes))));
    if (shifted == nullptr) return MemoryError(__LINE__);
    const uint8_t* firstRow = pixels + size_t(uint64_t(y) * uint64_t(imageWidth) * 3);
    const int rc =
        ImageShiftCopy(firstRow, imageWidth, pad, x, newWidth, height, shifted.get(), int(bytes));
    if (rc != 0) return rc;
    source = shifted.get();
    sourceWidth = newWidth;
    sourceHeight = height;
    sourceX = 0;
    sourceY = 0;
    width = newWidth;
  }

  const bool gray = mode == 1;
  const uint64_t rowBytes = gray ? (uint64_t(width) + 1) / 2 : (uint64_t(width) + 7) / 8;
  const uint64_t outBytes = rowBytes * uint64_t(height);
  if (outBytes > uint64_t(INT_MAX)) return MemoryError(__LINE__);
  Block<uint8_t> out(static_cast<uint8_t*>(Alloc(size_t(outBytes))));
  if (out == nullptr) return MemoryError(__LINE__);
  const int outLength = int(outBytes);

  if (gray) {
    const int rc = ImageToGray16(source, sourceWidth, sourceHeight, sourceX, sourceY, width, height,
                                 brightness, out.get(), outLength);
    if (rc != 0) return rc;
    return Map(PrnCmdAddGrayImage(builder, width, height, out.get(), outLength, compress));
  }
  using Converter = int (*)(const uint8_t*, int, int, int, int, int, int, double, uint8_t*, int);
  constexpr Converter kConverters[] = {ImageDitherToRaster, ImageDiffuseToRaster,
                                       ImageThresholdToRaster};
  const int rc = kConverters[halftone](source, sourceWidth, sourceHeight, sourceX, sourceY, width,
                                       height, brightness, out.get(), outLength);
  if (rc != 0) return rc;
  if (mode == 2) {
    return Map(
        PrnCmdAddHighDensityImage(builder, width, height, out.get(), outLength, color, compress));
  }
  return Map(PrnCmdAddImage(builder, width, height, out.get(), outLength, color, compress));
}

int TiloAddLogo(PrinterBuilder_t* record, int32_t keyCode1, int32_t keyCode2) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Map(PrnSlot(builder, &PrnModelOps_t::image, &PrnImageOps::nvLogo, keyCode1, keyCode2));
}

int TiloAddBarcode(PrinterBuilder_t* record, const char* data, int32_t type, int32_t hri,
                   int32_t font, int32_t width, int32_t height) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || data == nullptr || !In(type, 0, 15) || !OptionalIn(hri, 0, 3) ||
      !OptionalIn(font, 0, 4) || !OptionalIn(width, 2, 6) || !OptionalIn(height, 1, 255)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  Block<uint8_t> bytes;
  size_t length = 0;
  const int decoded = DecodeEscapes(data, std::strlen(data), &bytes, &length);
  if (decoded != 0) return decoded;
  // The barcode itself would refuse empty data: check it before its settings go in.
  if (length == 0 || length > UINT32_MAX) return TILOPRN_PARAMETER_ERROR;

  const struct {
    int32_t value;
    PrnOp1Fn PrnBarcodeOps::*slot;
  } settings[] = {
      {hri, &PrnBarcodeOps::hriPosition},
      {font, &PrnBarcodeOps::hriFont},
      {width, &PrnBarcodeOps::width},
      {height, &PrnBarcodeOps::height},
  };
  for (const auto& setting : settings) {
    if (setting.value == -1) continue;
    const int rc = Map(PrnSlot(builder, &PrnModelOps_t::barcode, setting.slot, setting.value));
    if (rc != 0) return rc;
  }
  return Map(PrnCmdAddBarcode(builder, type, bytes.get(), uint32_t(length)));
}

int TiloAddSymbol(PrinterBuilder_t* record, const char* data, int32_t type, int32_t level,
                  int32_t width, int32_t height, int32_t size) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || data == nullptr || !In(type, 0, 17) || !OptionalIn(width, 1, 255) ||
      !OptionalIn(height, 1, 255) || !OptionalIn(size, 0, kMaxCoord)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  const bool aztec = type == 12 || type == 13;
  if (level != -1 && !(aztec ? In(level, 5, 95) : In(level, 0, 13))) {
    return TILOPRN_PARAMETER_ERROR;
  }

  const char* text = data;
  size_t textLength = std::strlen(data);
  Block<char> kanji;
  if (type == 2 || type == 3) {
    // QR codes carry Kanji in Shift_JIS.
    const int count = Utf8ToKanjiBytes(data, textLength, nullptr, 0);
    if (count < 0) return TILOPRN_PARAMETER_ERROR;
    kanji.reset(static_cast<char*>(Alloc(size_t(count) + 1)));
    if (kanji == nullptr) return MemoryError(__LINE__);
    const int written = Utf8ToKanjiBytes(data, textLength, kanji.get(), size_t(count));
    if (written < 0) return TILOPRN_FAILURE;
    text = kanji.get();
    textLength = size_t(written);
  }
  Block<uint8_t> bytes;
  size_t length = 0;
  const int decoded = DecodeEscapes(text, textLength, &bytes, &length, kanji != nullptr);
  if (decoded != 0) return decoded;
  kanji.reset();
  if (length == 0 || length > UINT32_MAX) return TILOPRN_PARAMETER_ERROR;

  int rc = TILOPRN_SUCCESS;
  if (level != -1) {
    rc = Map(aztec ? PrnCmdSetSymbolLevelPercent(builder, type, level)
                   : PrnCmdSetSymbolLevel(builder, type, level));
  }
  if (rc == 0 && width != -1) rc = Map(PrnCmdSetSymbolWidth(builder, type, width));
  if (rc == 0 && height != -1) rc = Map(PrnCmdSetSymbolHeight(builder, type, height));
  if (rc == 0 && size != -1) rc = Map(PrnCmdSetSymbolSize(builder, type, size));
  if (rc == 0) rc = Map(PrnCmdAddSymbol(builder, type, bytes.get(), uint32_t(length)));
  return rc;
}

int TiloAddHLine(PrinterBuilder_t* record, int32_t x1, int32_t x2, int32_t style) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !In(x1, 0, kMaxCoord) || !In(x2, 0, kMaxCoord) ||
      !LineStyleValid(style)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  return Map(PrnCmdAddHLine(builder, x1, x2, LineStyle(style)));
}

int TiloAddVLineBegin(PrinterBuilder_t* record, int32_t x, int32_t style) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !In(x, 0, kMaxCoord) || !LineStyleValid(style)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  return Map(PrnCmdAddVLineBegin(builder, x, LineStyle(style)));
}

int TiloAddVLineEnd(PrinterBuilder_t* record, int32_t x, int32_t style) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !In(x, 0, kMaxCoord) || !LineStyleValid(style)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  return Map(PrnCmdAddVLineEnd(builder, x, LineStyle(style)));
}

int TiloAddPageBegin(PrinterBuilder_t* record) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  const int rc = PrnSlot(builder, &PrnModelOps_t::page, &PrnPageOps::begin);
  // A model without page mode never enters it, so its images are still fitted.
  if (rc == 0) builder->pageMode = 1;
  return Map(rc);
}

int TiloAddPageEnd(PrinterBuilder_t* record) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  const int rc = PrnSlot(builder, &PrnModelOps_t::page, &PrnPageOps::end);
  if (rc == 0) builder->pageMode = 0;
  return Map(rc);
}

int TiloAddPageArea(PrinterBuilder_t* record, int32_t x, int32_t y, int32_t width, int32_t height) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !In(x, 0, kMaxCoord) || !In(y, 0, kMaxCoord) ||
      !In(width, 1, kMaxCoord) || !In(height, 1, kMaxCoord)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  return Map(PrnCmdAddPageArea(builder, x, y, width, height));
}

int TiloAddPageDirection(PrinterBuilder_t* builder, int32_t direction) {
  return RangedSlot(builder, &PrnModelOps_t::page, &PrnPageOps::direction, direction, 0, 3);
}

int TiloAddPagePosition(PrinterBuilder_t* record, int32_t x, int32_t y) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !OptionalIn(x, 0, kMaxCoord) || !OptionalIn(y, 0, kMaxCoord)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  int rc = TILOPRN_SUCCESS;
  if (x != -1) rc = Map(PrnCmdAddPageHPosition(builder, x));
  if (rc == 0 && y != -1)
    rc = Map(PrnSlot(builder, &PrnModelOps_t::page, &PrnPageOps::positionY, y));
  return rc;
}

int TiloAddPageLine(PrinterBuilder_t* record, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                    int32_t style) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !In(x1, 0, kMaxCoord) || !In(y1, 0, kMaxCoord) ||
      !In(x2, 0, kMaxCoord) || !In(y2, 0, kMaxCoord) || !LineStyleValid(style)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  return Map(PrnCmdAddPageLine(builder, x1, y1, x2, y2, LineStyle(style)));
}

int TiloAddPageRectangle(PrinterBuilder_t* record, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                         int32_t style) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !In(x1, 0, kMaxCoord) || !In(y1, 0, kMaxCoord) ||
      !In(x2, 0, kMaxCoord) || !In(y2, 0, kMaxCoord) || !LineStyleValid(style)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  return Map(PrnCmdAddPageRectangle(builder, x1, y1, x2, y2, LineStyle(style)));
}

int TiloAddCut(PrinterBuilder_t* record, int32_t type) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  type = OrDefault(type, 1);
  if (builder == nullptr || !In(type, 0, 2)) return TILOPRN_PARAMETER_ERROR;
  return Map(PrnCmdAddCut(builder, type));
}

int TiloAddPulse(PrinterBuilder_t* record, int32_t drawer, int32_t time) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  drawer = OrDefault(drawer, 0);
  time = OrDefault(time, 0);
  if (builder == nullptr || !In(drawer, 0, 1) || !In(time, 0, 4)) return TILOPRN_PARAMETER_ERROR;
  return Map(PrnSlot(builder, &PrnModelOps_t::sound, &PrnSoundOps::pulse, drawer, time));
}

int TiloAddSound(PrinterBuilder_t* record, int32_t pattern, int32_t repeat, int32_t cycleMs) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  pattern = OrDefault(pattern, 0);
  repeat = OrDefault(repeat, 1);
  cycleMs = OrDefault(cycleMs, 1000);
  if (builder == nullptr || !In(pattern, 0, 16) || !In(repeat, 1, 255) ||
      !In(cycleMs, 1000, 25500)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  // A to E, Error and PaperEmpty are buzzer patterns.
  if (pattern <= 6) {
    return Map(PrnSlot(builder, &PrnModelOps_t::sound, &PrnSoundOps::buzzer, pattern, repeat));
  }
  // Pattern1 to Pattern10 take at most 63 repeats and the cycle in 100 ms units.
  if (repeat > 63) return TILOPRN_PARAMETER_ERROR;
  return Map(PrnSlot(builder, &PrnModelOps_t::sound, &PrnSoundOps::sound, pattern - 6, repeat,
                     (cycleMs + 99) / 100));
}

int TiloAddCommand(PrinterBuilder_t* record, const uint8_t* bytes, uint32_t size) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || bytes == nullptr || size == 0) return TILOPRN_PARAMETER_ERROR;
  return Map(PrnCmdAddCommand(builder, bytes, size));
}

int TiloAddFeedPosition(PrinterBuilder_t* builder, int32_t position) {
  return RangedSlot(builder, &PrnModelOps_t::layout, &PrnLayoutOps::feedPosition, position, 0, 3);
}

int TiloAddLayout(PrinterBuilder_t* record, int32_t type, int32_t width, int32_t height,
                  int32_t marginTop, int32_t marginBottom, int32_t offsetCut, int32_t offsetLabel) {
  PrnCmdHandle_t* builder = PrinterOf(record);
  if (builder == nullptr || !In(type, 0, 3)) return TILOPRN_PARAMETER_ERROR;
  return Map(PrnCmdAddLayout(builder, type, height, marginTop, offsetCut, offsetLabel, marginBottom,
                             width));
}

// Display operations.

int TiloDisplayAddInitialize(DisplayBuilder_t* record) {
  DspCmdHandle_t* builder = DisplayOf(record);
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Map(DspSlot(builder, &DspOps::reset));
}

int TiloDisplayAddCreateWindow(DisplayBuilder_t* record, int32_t window, int32_t x, int32_t y,
                               int32_t width, int32_t height, int32_t scroll) {
  DspCmdHandle_t* builder = DisplayOf(record);
  scroll = OrDefault(scroll, 0);
  if (builder == nullptr || !In(window, 1, 4) || !In(x, 1, 20) || !In(y, 1, 2) ||
      !In(width, 1, 20) || !In(height, 1, 2) || !In(scroll, 0, 2)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  return Map(DspCmdCreateWindow(builder, window, x, y, width, height, scroll));
}

int TiloDisplayAddDestroyWindow(DisplayBuilder_t* builder, int32_t window) {
  return RangedDspSlot(builder, &DspOps::destroyWindow, window, 1, 4);
}

int TiloDisplayAddSetCurrentWindow(DisplayBuilder_t* builder, int32_t window) {
  return RangedDspSlot(builder, &DspOps::selectWindow, window, 1, 4);
}

int TiloDisplayAddClearCurrentWindow(DisplayBuilder_t* record) {
  DspCmdHandle_t* builder = DisplayOf(record);
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Map(DspSlot(builder, &DspOps::clear));
}

int TiloDisplayAddSetCursorPosition(DisplayBuilder_t* record, int32_t x, int32_t y) {
  DspCmdHandle_t* builder = DisplayOf(record);
  if (builder == nullptr || !In(x, 1, 20) || !In(y, 1, 2)) return TILOPRN_PARAMETER_ERROR;
  return Map(DspCmdSetCursorPosition(builder, x, y));
}

int TiloDisplayAddMoveCursorPosition(DisplayBuilder_t* builder, int32_t move) {
  return RangedDspSlot(builder, &DspOps::moveCursor, OrDefault(move, 0), 0, 3);
}

int TiloDisplayAddSetCursorType(DisplayBuilder_t* builder, int32_t type) {
  return RangedDspSlot(builder, &DspOps::cursorType, OrDefault(type, 1), 0, 1);
}

int TiloDisplayAddText(DisplayBuilder_t* builder, const char* text, int32_t x, int32_t y,
                       int32_t language) {
  return DisplayTextSteps(builder, text, x, y, language, false);
}

int TiloDisplayAddReverseText(DisplayBuilder_t* builder, const char* text, int32_t x, int32_t y,
                              int32_t language) {
  return DisplayTextSteps(builder, text, x, y, language, true);
}

int TiloDisplayAddMarqueeText(DisplayBuilder_t* record, const char* text, int32_t format,
                              int32_t unitWait, int32_t repeatWait, int32_t repeatCount,
                              int32_t language) {
  DspCmdHandle_t* builder = DisplayOf(record);
  format = OrDefault(format, 0);
  if (language == -1 || language == -2) language = 0;
  if (builder == nullptr || text == nullptr || !In(format, 0, 1) || !In(unitWait, 1, 2000) ||
      !In(repeatWait, 1, 2000) || !In(repeatCount, 0, 127) || !In(language, 0, 6)) {
    return TILOPRN_PARAMETER_ERROR;
  }
  return Map(DspCmdAddMarquee(builder, text, format, unitWait, repeatWait, repeatCount, language));
}

int TiloDisplayAddSetBlink(DisplayBuilder_t* builder, int32_t intervalMs) {
  return RangedDspSlot(builder, &DspOps::blink, intervalMs, 0, 12700);
}

int TiloDisplayAddSetBrightness(DisplayBuilder_t* record, int32_t level) {
  DspCmdHandle_t* builder = DisplayOf(record);
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  int32_t sent = 0;
  switch (level) {
    case 3:
    case -2:
      sent = 0;
      break;
    case 2:
      sent = 2;
      break;
    case 1:
      sent = 3;
      break;
    case 0:
      sent = 4;
      break;
    default:
      return TILOPRN_PARAMETER_ERROR;
  }
  return Map(DspSlot(builder, &DspOps::brightness, sent));
}

int TiloDisplayAddShowClock(DisplayBuilder_t* record) {
  DspCmdHandle_t* builder = DisplayOf(record);
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Map(DspSlot(builder, &DspOps::showClock));
}

int TiloDisplayAddCommand(DisplayBuilder_t* record, const uint8_t* bytes, uint32_t size) {
  DspCmdHandle_t* builder = DisplayOf(record);
  if (builder == nullptr || bytes == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Map(DspCmdAddCommand(builder, bytes, size));
}

// Attaching a builder to a connection.

void TiloAttachBuilder(PrintHandle_t* handle, PrinterBuilder_t* record) {
  if (handle == nullptr || record == nullptr) return;
  if (!CheckHandleList(handle)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return;
  }
  PrnCmdHandle_t* builder = record->builder.get();
  const bool valid = PrnCmdValid(builder);
  // The engine keeps its own copy: the caller may destroy its builder at any time.
  SharedPrnBuilder copy;
  if (valid) {
    copy = MakeSharedPrnBuilder(PrnCmdDuplicate(builder));
    if (copy == nullptr) EngineErrorLine(kPublicSource, __LINE__);
  }
  {
    PlatformLockGuard lock(handle->attachLock);
    if (lock) copy.swap(handle->attachedBuilder);
  }
  // The replaced copy is closed here, outside the lock.
  copy.reset();

  if (handle->queue != nullptr) {
    // Printers that name each finished job may have two jobs outstanding.
    const bool namesJobs =
        valid && builder->ops.reply != nullptr && builder->ops.reply->isJobEnd == PrnIsJobEndReply;
    handle->queue->reorderMode = namesJobs ? 1 : 2;
  }
}

SharedPrnBuilder GetAttachedBuilder(PrintHandle_t* handle) {
  if (handle == nullptr) return nullptr;
  PlatformLockGuard lock(handle->attachLock);
  return lock ? handle->attachedBuilder : nullptr;
}

// Escapes.

size_t CopyUtf8Char(const char* src, size_t available, uint8_t* out) {
  if (src == nullptr || available == 0) return 0;
  const size_t length = std::min(Utf8SequenceLength(uint8_t(src[0])), available);
  if (out != nullptr) std::memcpy(out, src, length);
  return length;
}

size_t ParseEscapes(const char* data, size_t length, uint8_t* out, bool shiftJis) {
  if (data == nullptr) return 0;
  size_t in = 0;
  size_t written = 0;
  const auto emit = [&](uint8_t byte) {
    if (out != nullptr) out[written] = byte;
    ++written;
  };
  while (in < length) {
    if (shiftJis && data[in] != '\\') {
      // A double-byte character's second byte may be 5Ch: it is not an escape.
      const auto lead = static_cast<uint8_t>(data[in]);
      const bool pair =
          ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC)) && in + 1 < length;
      emit(lead);
      if (pair) emit(static_cast<uint8_t>(data[in + 1]));
      in += pair ? 2 : 1;
      continue;
    }
    if (data[in] != '\\') {
      const size_t taken = CopyUtf8Char(data + in, length - in, out ? out + written : nullptr);
      in += taken;
      written += taken;
      continue;
    }
    const size_t left = length - in - 1;  // after the backslash
    if (left >= 1 && data[in + 1] == '\\') {
      emit('\\');
      in += 2;
      continue;
    }
    if (left >= 3 && (data[in + 1] == 'x' || data[in + 1] == 'X')) {
      const int high = HexDigit(data[in + 2]);
      const int low = HexDigit(data[in + 3]);
      if (high >= 0 && low >= 0) {
        emit(uint8_t(high << 4 | low));
        in += 4;
        continue;
      }
    }
    // Unknown escape: the backslash goes, what follows stays.
    in += 1;
  }
  return written;
}

}  // namespace tilo2::core
