// The validating appends of printer commands: each checks its values against
// the stored numbering (the first column of the command tables) and appends
// one command to the record's list. Values are translated at replay only.

#include "device/printer_commands.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device/code_tables.h"
#include "device/command_list.h"
#include "engine/builder_ops.h"

namespace tilo2::core {

namespace {

bool In(int64_t value, int64_t low, int64_t high) { return value >= low && value <= high; }

// A bound "read as unsigned": negative values fail as well.
bool AtMost(int32_t value, uint32_t high) { return static_cast<uint32_t>(value) <= high; }

bool Listed(TdcCodeTable table, int32_t value) { return TdcIsListed(table, value); }

bool ListedOrUnspecified(TdcCodeTable table, int32_t value) {
  return value == kTdcUnspecified || Listed(table, value);
}

bool CoordinateOrUnspecified(int32_t value) {
  return value == kTdcUnspecified || In(value, 0, 65535);
}

TdcCommandList_t* ListOf(TdcPrinter_t* record) { return &record->commands.commandList; }

int AppendInt(TdcPrinter_t* record, int32_t kind, int32_t value) {
  return TdcAddPrinterCommandInt(ListOf(record), kind, value);
}

// Width or height of a text size: 1 to 8, -1 (unchanged) or -2 (default).
bool TextScale(int32_t value) {
  return value == kTdcDefault || value == kTdcUnspecified || In(value, 1, 8);
}

bool SymbolLevelAccepted(int32_t type, int32_t level) {
  if (level == kTdcUnspecified) return true;
  if (type == 0 || type == 1) return Listed(kTdcPdf417LevelTable, level);
  if (In(type, 2, 4)) return Listed(kTdcQrLevelTable, level);
  if (type == 13 || type == 14) return level == kTdcDefault || In(level, 5, 95);
  return level == kTdcDefault;
}

bool LayoutHeight(int32_t height) { return height == 0 || In(height, 284, 1550); }

}  // namespace

int TdcAddTextAlign(TdcPrinter_t* record, int32_t align) {
  if (record == nullptr || !Listed(kTdcAlignmentTable, align)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_TEXT_ALIGN, align);
}

int TdcAddLineSpace(TdcPrinter_t* record, int32_t spacing) {
  if (record == nullptr || !AtMost(spacing, 255)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_LINE_SPACE, spacing);
}

int TdcAddTextRotate(TdcPrinter_t* record, int32_t rotate) {
  if (record == nullptr || !Listed(kTdcBooleanTable, rotate)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_TEXT_ROTATE, rotate);
}

int TdcAddText(TdcPrinter_t* record, const char* text) {
  if (record == nullptr || text == nullptr) return TDC_ERR_PARAM;
  return TdcAddPrinterCommandText(ListOf(record), text);
}

int TdcAddTextLang(TdcPrinter_t* record, int32_t language) {
  if (record == nullptr || !Listed(kTdcLanguageTable, language)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_TEXT_LANG, language);
}

int TdcAddTextFont(TdcPrinter_t* record, int32_t font) {
  if (record == nullptr || !Listed(kTdcFontTable, font)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_TEXT_FONT, font);
}

int TdcAddTextSmooth(TdcPrinter_t* record, int32_t smooth) {
  if (record == nullptr || !Listed(kTdcBooleanTable, smooth)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_TEXT_SMOOTH, smooth);
}

int TdcAddTextSize(TdcPrinter_t* record, int32_t width, int32_t height) {
  if (record == nullptr || !TextScale(width) || !TextScale(height) ||
      (width == kTdcUnspecified && height == kTdcUnspecified)) {
    return TDC_ERR_PARAM;
  }
  return TdcAddPrinterCommandTwoInts(ListOf(record), TDC_CMD_TEXT_SIZE, width, height);
}

int TdcCheckTextStyle(int32_t reverse, int32_t ul, int32_t em, int32_t color) {
  if (!ListedOrUnspecified(kTdcBooleanTable, reverse) ||
      !ListedOrUnspecified(kTdcBooleanTable, ul) || !ListedOrUnspecified(kTdcBooleanTable, em) ||
      !ListedOrUnspecified(kTdcColorTable, color)) {
    return TDC_ERR_PARAM;
  }
  if (reverse == kTdcUnspecified && ul == kTdcUnspecified && em == kTdcUnspecified &&
      color == kTdcUnspecified) {
    return TDC_ERR_PARAM;
  }
  return TDC_SUCCESS;
}

int TdcAddTextStyle(TdcPrinter_t* record, int32_t reverse, int32_t ul, int32_t em, int32_t color) {
  if (record == nullptr || TdcCheckTextStyle(reverse, ul, em, color) != TDC_SUCCESS) {
    return TDC_ERR_PARAM;
  }
  return TdcAddPrinterCommandFourInts(ListOf(record), TDC_CMD_TEXT_STYLE, reverse, ul, em, color);
}

int TdcAddHPosition(TdcPrinter_t* record, int32_t x) {
  if (record == nullptr || !AtMost(x, 65535)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_HPOSITION, x);
}

int TdcAddFeedUnit(TdcPrinter_t* record, int32_t units) {
  if (record == nullptr || !AtMost(units, 255)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_FEED_UNIT, units);
}

int TdcAddFeedLine(TdcPrinter_t* record, int32_t lines) {
  if (record == nullptr || !AtMost(lines, 255)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_FEED_LINE, lines);
}

int TdcAddLogo(TdcPrinter_t* record, int32_t key1, int32_t key2) {
  if (record == nullptr || !In(key1, 1, 255)) return TDC_ERR_PARAM;
  // Series 15 keys its logos by the first code alone.
  const bool singleKey = record->settings != nullptr && record->settings->series == 15;
  if (!singleKey && !In(key2, 1, 255)) return TDC_ERR_PARAM;
  return TdcAddPrinterCommandTwoInts(ListOf(record), TDC_CMD_LOGO, key1, key2);
}

int TdcAddPageBegin(TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  const int result = TdcAddPrinterCommandNone(ListOf(record), TDC_CMD_PAGE_BEGIN);
  if (result == TDC_SUCCESS) record->pageMode = 1;
  return result;
}

int TdcAddPageEnd(TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  const int result = TdcAddPrinterCommandNone(ListOf(record), TDC_CMD_PAGE_END);
  if (result == TDC_SUCCESS) record->pageMode = 0;
  return result;
}

int TdcAddPageArea(TdcPrinter_t* record, int32_t x, int32_t y, int32_t width, int32_t height) {
  if (record == nullptr || !AtMost(x, 65535) || !AtMost(y, 65535) || !In(width, 1, 65535) ||
      !In(height, 1, 65535)) {
    return TDC_ERR_PARAM;
  }
  return TdcAddPrinterCommandFourInts(ListOf(record), TDC_CMD_PAGE_AREA, x, y, width, height);
}

int TdcAddPageDirection(TdcPrinter_t* record, int32_t direction) {
  if (record == nullptr || !Listed(kTdcDirectionTable, direction)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_PAGE_DIRECTION, direction);
}

int TdcAddPagePosition(TdcPrinter_t* record, int32_t x, int32_t y) {
  if (record == nullptr || !In(x, -1, 65535) || !In(y, -1, 65535) ||
      (x == kTdcUnspecified && y == kTdcUnspecified)) {
    return TDC_ERR_PARAM;
  }
  return TdcAddPrinterCommandTwoInts(ListOf(record), TDC_CMD_PAGE_POSITION, x, y);
}

namespace {

int AddPageShape(TdcPrinter_t* record, int32_t kind, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                 int32_t style) {
  if (record == nullptr || !CoordinateOrUnspecified(x1) || !CoordinateOrUnspecified(y1) ||
      !CoordinateOrUnspecified(x2) || !CoordinateOrUnspecified(y2) ||
      !Listed(kTdcLineStyleTable, style)) {
    return TDC_ERR_PARAM;
  }
  return TdcAddPrinterCommandFiveInts(ListOf(record), kind, x1, y1, x2, y2, style);
}

}  // namespace

int TdcAddPageLine(TdcPrinter_t* record, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                   int32_t style) {
  return AddPageShape(record, TDC_CMD_PAGE_LINE, x1, y1, x2, y2, style);
}

int TdcAddPageRectangle(TdcPrinter_t* record, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                        int32_t style) {
  return AddPageShape(record, TDC_CMD_PAGE_RECTANGLE, x1, y1, x2, y2, style);
}

int TdcAddCut(TdcPrinter_t* record, int32_t type) {
  if (record == nullptr || !Listed(kTdcCutTable, type)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_CUT, type);
}

int TdcAddPulse(TdcPrinter_t* record, int32_t drawer, int32_t pulse) {
  if (record == nullptr || !Listed(kTdcDrawerTable, drawer) || !Listed(kTdcPulseTimeTable, pulse)) {
    return TDC_ERR_PARAM;
  }
  return TdcAddPrinterCommandTwoInts(ListOf(record), TDC_CMD_PULSE, drawer, pulse);
}

int TdcAddCommand(TdcPrinter_t* record, const uint8_t* bytes, int32_t count) {
  if (record == nullptr || bytes == nullptr || count < 1) return TDC_ERR_PARAM;
  return TdcAddPrinterCommandData(ListOf(record), bytes, count);
}

int TdcCheckImage(const uint8_t* rgb, int32_t imageWidth, int32_t imageHeight, int32_t x, int32_t y,
                  int32_t width, int32_t height, int32_t color, int32_t mode, int32_t halftone,
                  double brightness, int32_t compress) {
  if (rgb == nullptr || !In(imageWidth, 1, 65535) || !In(imageHeight, 1, 65535) ||
      !AtMost(x, 65534) || !AtMost(y, 65534) || !In(width, 1, 65535) || !In(height, 1, 65535)) {
    return TDC_ERR_PARAM;
  }
  if (!Listed(kTdcColorTable, color) || !Listed(kTdcImageModeTable, mode) ||
      !Listed(kTdcHalftoneTable, halftone) || !Listed(kTdcCompressionTable, compress)) {
    return TDC_ERR_PARAM;
  }
  // Exactly the default, or a value both backends take (NaN fails too).
  if (brightness != -2.0 && !(brightness >= 0.1 && brightness <= 10.0)) return TDC_ERR_PARAM;
  if (int64_t(x) + width > imageWidth || int64_t(y) + height > imageHeight) return TDC_ERR_PARAM;
  return TDC_SUCCESS;
}

int TdcAddImage(TdcPrinter_t* record, const uint8_t* rgb, int32_t imageWidth, int32_t imageHeight,
                int32_t x, int32_t y, int32_t width, int32_t height, int32_t color, int32_t mode,
                int32_t halftone, double brightness, int32_t compress) {
  if (record == nullptr || TdcCheckImage(rgb, imageWidth, imageHeight, x, y, width, height, color,
                                         mode, halftone, brightness, compress) != TDC_SUCCESS) {
    return TDC_ERR_PARAM;
  }
  if (record->settings == nullptr) return TDC_ERR_FAILURE;
  const TdcImageArgs_t args{const_cast<uint8_t*>(rgb),
                            imageWidth,
                            imageHeight,
                            x,
                            y,
                            width,
                            height,
                            color,
                            mode,
                            halftone,
                            brightness,
                            compress,
                            record->settings,
                            &record->handle,
                            record->pageMode};
  return TdcAddPrinterCommandImage(ListOf(record), args);
}

namespace {

// The bytes a barcode or symbol prints: the data with its escapes decoded.
std::vector<uint8_t> DecodedData(const char* data) {
  const size_t length = std::strlen(data);
  std::vector<uint8_t> bytes(ParseEscapes(data, length, nullptr));
  ParseEscapes(data, length, bytes.data());
  return bytes;
}

bool AllOf(const std::vector<uint8_t>& bytes, const char* set) {
  for (uint8_t b : bytes) {
    if (b == 0 || std::strchr(set, b) == nullptr) return false;
  }
  return true;
}

constexpr char kDigits[] = "0123456789";

bool Refuse(std::string* reason, const std::string& text) {
  if (reason != nullptr) *reason = text;
  return false;
}

// The symbologies' own rules, where every printer keeps them.
bool BarcodeDataAccepted(int32_t type, const std::vector<uint8_t>& bytes, std::string* reason) {
  const size_t n = bytes.size();
  const bool digits = AllOf(bytes, kDigits);
  switch (type) {
    case 0:  // UPC-A
      if (!digits || n < 11 || n > 12) return Refuse(reason, "UPC_A takes 11 or 12 digits");
      break;
    case 1:  // UPC-E
      if (!digits || n < 6 || n == 9 || n == 10 || n > 12) {
        return Refuse(reason, "UPC_E takes 6, 7, 8, 11 or 12 digits");
      }
      break;
    case 2:
    case 3:
      if (!digits || n < 12 || n > 13) {
        return Refuse(reason,
                      std::string(type == 2 ? "EAN13" : "JAN13") + " takes 12 or 13 digits");
      }
      break;
    case 4:
    case 5:
      if (!digits || n < 7 || n > 8) {
        return Refuse(reason, std::string(type == 4 ? "EAN8" : "JAN8") + " takes 7 or 8 digits");
      }
      break;
    case 6:
      if (!AllOf(bytes, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%*+-./")) {
        return Refuse(reason, "Code39 takes 0-9, A-Z, space and $ % * + - . / only");
      }
      break;
    case 7:
      if (!digits || n % 2 != 0) return Refuse(reason, "ITF takes an even count of digits");
      break;
    case 8:
      if (!AllOf(bytes, "0123456789ABCDabcd$+-./:")) {
        return Refuse(reason, "Codabar takes 0-9, A-D, a-d and $ + - . / : only");
      }
      break;
    case 9:
    case 10:
    case 11:
      for (uint8_t b : bytes) {
        if (b > 0x7F) {
          return Refuse(reason, std::string(type == 9    ? "Code93"
                                            : type == 10 ? "Code128"
                                                         : "GS1_128") +
                                    " takes ASCII characters only");
        }
      }
      break;
    default:
      break;
  }
  return true;
}

}  // namespace

int TdcCheckBarcodeData(const char* data, int32_t type, std::string* reason) {
  if (data == nullptr) {
    Refuse(reason, "data is missing");
    return TDC_ERR_PARAM;
  }
  const std::vector<uint8_t> bytes = DecodedData(data);
  // The printer takes the length in one byte.
  if (bytes.empty() || bytes.size() > 255) {
    Refuse(reason,
           "data is " + std::to_string(bytes.size()) + " bytes long; a barcode takes 1 to 255");
    return TDC_ERR_PARAM;
  }
  return BarcodeDataAccepted(type, bytes, reason) ? TDC_SUCCESS : TDC_ERR_PARAM;
}

int TdcCheckSymbolData(const char* data, std::string* reason) {
  if (data == nullptr) {
    Refuse(reason, "data is missing");
    return TDC_ERR_PARAM;
  }
  const std::vector<uint8_t> bytes = DecodedData(data);
  // The printer takes the stored length, with its three bytes of header, in two bytes.
  constexpr size_t kMaxSymbolData = 0xFFFF - 4;
  if (bytes.empty() || bytes.size() > kMaxSymbolData) {
    Refuse(reason, "data is " + std::to_string(bytes.size()) + " bytes long; a symbol takes 1 to " +
                       std::to_string(kMaxSymbolData));
    return TDC_ERR_PARAM;
  }
  return TDC_SUCCESS;
}

int TdcCheckBarcode(const char* data, int32_t type, int32_t hri, int32_t font, int32_t width,
                    int32_t height) {
  if (data == nullptr || !Listed(kTdcBarcodeTypeTable, type) ||
      !ListedOrUnspecified(kTdcHriTable, hri) || !ListedOrUnspecified(kTdcFontTable, font)) {
    return TDC_ERR_PARAM;
  }
  if ((width != kTdcUnspecified && !In(width, 2, 6)) ||
      (height != kTdcUnspecified && !In(height, 1, 255))) {
    return TDC_ERR_PARAM;
  }
  return TdcCheckBarcodeData(data, type, nullptr);
}

int TdcAddBarcode(TdcPrinter_t* record, const char* data, int32_t type, int32_t hri, int32_t font,
                  int32_t width, int32_t height) {
  if (record == nullptr || TdcCheckBarcode(data, type, hri, font, width, height) != TDC_SUCCESS) {
    return TDC_ERR_PARAM;
  }
  return TdcAddPrinterCommandSymbol(ListOf(record), TDC_CMD_BARCODE, data, type, hri, font, width,
                                    height);
}

int TdcCheckSymbol(const char* data, int32_t type, int32_t level, int32_t width, int32_t height,
                   int32_t size) {
  if (data == nullptr || !Listed(kTdcSymbolTypeTable, type)) return TDC_ERR_PARAM;
  if ((width != kTdcUnspecified && !In(width, 1, 255)) ||
      (height != kTdcUnspecified && !In(height, 1, 255)) ||
      (size != kTdcUnspecified && !In(size, 0, 65535))) {
    return TDC_ERR_PARAM;
  }
  if (!SymbolLevelAccepted(type, level)) return TDC_ERR_PARAM;
  return TdcCheckSymbolData(data, nullptr);
}

int TdcAddSymbol(TdcPrinter_t* record, const char* data, int32_t type, int32_t level, int32_t width,
                 int32_t height, int32_t size) {
  if (record == nullptr || TdcCheckSymbol(data, type, level, width, height, size) != TDC_SUCCESS) {
    return TDC_ERR_PARAM;
  }
  return TdcAddPrinterCommandSymbol(ListOf(record), TDC_CMD_SYMBOL, data, type, level, width,
                                    height, size);
}

int TdcAddHLine(TdcPrinter_t* record, int32_t x1, int32_t x2, int32_t style) {
  if (record == nullptr || !AtMost(x1, 65535) || !AtMost(x2, 65535) ||
      !Listed(kTdcLineStyleTable, style)) {
    return TDC_ERR_PARAM;
  }
  return TdcAddPrinterCommandThreeInts(ListOf(record), TDC_CMD_HLINE, x1, x2, style);
}

int TdcAddVLineBegin(TdcPrinter_t* record, int32_t x, int32_t style, int32_t* lineId) {
  // x must fit the low half of the line id: a negative one would corrupt it.
  if (record == nullptr || lineId == nullptr || !AtMost(x, 65535) ||
      !Listed(kTdcLineStyleTable, style)) {
    return TDC_ERR_PARAM;
  }
  const int result = TdcAddPrinterCommandTwoInts(ListOf(record), TDC_CMD_VLINE_BEGIN, x, style);
  if (result == TDC_SUCCESS) {
    const int32_t n = style == kTdcDefault ? 1 : style + 1;
    *lineId = (n << 16) | x;
  }
  return result;
}

int TdcAddVLineEnd(TdcPrinter_t* record, int32_t lineId) {
  if (record == nullptr || lineId < 65536) return TDC_ERR_PARAM;
  const int32_t high = lineId >> 16;
  if (!In(high, 1, 6)) return TDC_ERR_PARAM;
  return TdcAddPrinterCommandTwoInts(ListOf(record), TDC_CMD_VLINE_END, lineId & 0xFFFF, high - 1);
}

int TdcAddSound(TdcPrinter_t* record, int32_t pattern, int32_t repeat, int32_t cycle) {
  if (record == nullptr || !Listed(kTdcSoundTable, pattern) ||
      (repeat != kTdcDefault && !In(repeat, 0, 255)) ||
      (cycle != kTdcDefault && !In(cycle, 1000, 25500))) {
    return TDC_ERR_PARAM;
  }
  return TdcAddPrinterCommandThreeInts(ListOf(record), TDC_CMD_SOUND, pattern, repeat, cycle);
}

int TdcAddFeedPosition(TdcPrinter_t* record, int32_t position) {
  if (record == nullptr || !Listed(kTdcFeedPositionTable, position)) return TDC_ERR_PARAM;
  return AppendInt(record, TDC_CMD_FEED_POSITION, position);
}

int TdcCheckLayout(int32_t type, int32_t width, int32_t height, int32_t marginTop,
                   int32_t marginBottom, int32_t offsetCut, int32_t offsetLabel) {
  if (!In(width, 290, 600)) return TDC_ERR_PARAM;
  bool accepted = false;
  switch (type) {
    case 0:  // receipt
      accepted =
          height == 0 && marginTop == 0 && marginBottom == 0 && offsetCut == 0 && offsetLabel == 0;
      break;
    case 1:  // receipt with black marks
      accepted = LayoutHeight(height) && In(marginTop, -150, 1500) && marginBottom == 0 &&
                 In(offsetCut, -290, 50) && offsetLabel == 0;
      break;
    case 2:  // label
      accepted = LayoutHeight(height) && In(marginTop, 0, 1500) && In(marginBottom, -15, 0) &&
                 In(offsetCut, 0, 50) && offsetLabel == 0;
      break;
    case 3:  // label with black marks
      accepted = LayoutHeight(height) && In(marginTop, -15, 1500) && In(marginBottom, -15, 15) &&
                 In(offsetCut, 0, 50) && In(offsetLabel, 0, 15);
      break;
    default:
      break;
  }
  return accepted ? TDC_SUCCESS : TDC_ERR_PARAM;
}

int TdcAddLayout(TdcPrinter_t* record, int32_t type, int32_t width, int32_t height,
                 int32_t marginTop, int32_t marginBottom, int32_t offsetCut, int32_t offsetLabel) {
  if (record == nullptr || TdcCheckLayout(type, width, height, marginTop, marginBottom, offsetCut,
                                          offsetLabel) != TDC_SUCCESS) {
    return TDC_ERR_PARAM;
  }
  return TdcAddPrinterCommandLayout(ListOf(record), type, width, height, marginTop, marginBottom,
                                    offsetCut, offsetLabel);
}

}  // namespace tilo2::core
