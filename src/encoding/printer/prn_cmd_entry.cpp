// Checked entry points of the printer builder: handle, then arguments in
// order, then the model's table and slot (2 when either is missing).
#include "encoding/printer/prn_cmd.h"
#include "encoding/printer/prn_model.h"

namespace tilo2::core {

namespace {

template <typename Table, typename Fn, typename... Args>
int Dispatch(PrnCmdHandle_t* b, Table* PrnModelOps_t::*table, Fn Table::*slot, Args... args) {
  const Table* t = b->ops.*table;
  if (t == nullptr || t->*slot == nullptr) return 2;
  return (t->*slot)(b, args...);
}

constexpr bool In(int v, int lo, int hi) { return v >= lo && v <= hi; }
constexpr bool Coord(int v) { return In(v, 0, 65535); }
constexpr bool Style(int v) { return In(v, 0, 5); }
constexpr bool SymbolType(int v) { return In(v, 0, 17); }

// Runs an entry point's dispatch and resets positionX when it succeeded.
int ResetPositionOnSuccess(PrnCmdHandle_t* b, int rc) {
  if (rc == 0) b->positionX = 0;
  return rc;
}

}  // namespace

int PrnCmdAddText(PrnCmdHandle_t* b, const char* text) {
  if (!PrnCmdValid(b) || text == nullptr) return 1;
  return ResetPositionOnSuccess(b, Dispatch(b, &PrnModelOps_t::text, &PrnTextOps::text, text));
}

int PrnCmdAddTextPosition(PrnCmdHandle_t* b, int x) {
  if (!PrnCmdValid(b) || !Coord(x)) return 1;
  int rc = Dispatch(b, &PrnModelOps_t::text, &PrnTextOps::positionX, x);
  if (rc == 0) b->positionX = x;
  return rc;
}

namespace {

bool ImageArgs(int width, int height, const uint8_t* data, int size, int compress) {
  return width >= 1 && height >= 1 && data != nullptr && size >= 1 && In(compress, 0, 1);
}

}  // namespace

int PrnCmdAddImage(PrnCmdHandle_t* b, int width, int height, const uint8_t* data, int size,
                   int color, int compress) {
  if (!PrnCmdValid(b) || !ImageArgs(width, height, data, size, compress) || !In(color, 0, 4)) {
    return 1;
  }
  return Dispatch(b, &PrnModelOps_t::image, &PrnImageOps::image, width, height, data, size, color,
                  compress);
}

int PrnCmdAddGrayImage(PrnCmdHandle_t* b, int width, int height, const uint8_t* data, int size,
                       int compress) {
  if (!PrnCmdValid(b) || !ImageArgs(width, height, data, size, compress)) return 1;
  return Dispatch(b, &PrnModelOps_t::image, &PrnImageOps::grayImage, width, height, data, size, 2,
                  compress);
}

int PrnCmdAddHighDensityImage(PrnCmdHandle_t* b, int width, int height, const uint8_t* data,
                              int size, int color, int compress) {
  if (!PrnCmdValid(b) || !ImageArgs(width, height, data, size, compress) || !In(color, 0, 4)) {
    return 1;
  }
  return Dispatch(b, &PrnModelOps_t::image, &PrnImageOps::highDensityImage, width, height, data,
                  size, color, compress);
}

int PrnCmdAddBarcode(PrnCmdHandle_t* b, int type, const uint8_t* data, uint32_t length) {
  if (!PrnCmdValid(b) || !In(type, 0, 15) || data == nullptr || length == 0) return 1;
  return ResetPositionOnSuccess(
      b, Dispatch(b, &PrnModelOps_t::barcode, &PrnBarcodeOps::barcode, type, data, length));
}

int PrnCmdAddSymbol(PrnCmdHandle_t* b, int type, const uint8_t* data, uint32_t length) {
  if (!PrnCmdValid(b) || !SymbolType(type) || data == nullptr || length == 0) return 1;
  return ResetPositionOnSuccess(
      b, Dispatch(b, &PrnModelOps_t::symbol, &PrnSymbolOps::symbol, type, data, length));
}

int PrnCmdSetSymbolLevel(PrnCmdHandle_t* b, int type, int level) {
  if (!PrnCmdValid(b) || !SymbolType(type) || !In(level, 0, 13)) return 1;
  return Dispatch(b, &PrnModelOps_t::symbol, &PrnSymbolOps::level, type, level);
}

int PrnCmdSetSymbolHeight(PrnCmdHandle_t* b, int type, int height) {
  if (!PrnCmdValid(b) || !SymbolType(type) || !In(height, 1, 255)) return 1;
  return Dispatch(b, &PrnModelOps_t::symbol, &PrnSymbolOps::height, type, height);
}

int PrnCmdSetSymbolWidth(PrnCmdHandle_t* b, int type, int width) {
  if (!PrnCmdValid(b) || !SymbolType(type) || !In(width, 1, 255)) return 1;
  return Dispatch(b, &PrnModelOps_t::symbol, &PrnSymbolOps::width, type, width);
}

int PrnCmdSetSymbolSize(PrnCmdHandle_t* b, int type, int size) {
  if (!PrnCmdValid(b) || !SymbolType(type) || !In(size, 0, 65535)) return 1;
  return Dispatch(b, &PrnModelOps_t::symbol, &PrnSymbolOps::size, type, size);
}

int PrnCmdSetSymbolLevelPercent(PrnCmdHandle_t* b, int type, int percent) {
  if (!PrnCmdValid(b) || !SymbolType(type) || !In(percent, 1, 1000)) return 1;
  return Dispatch(b, &PrnModelOps_t::symbol, &PrnSymbolOps::levelPercent, type, percent);
}

int PrnCmdAddHLine(PrnCmdHandle_t* b, int x1, int x2, int style) {
  if (!PrnCmdValid(b) || !Coord(x1) || !Coord(x2) || !Style(style)) return 1;
  return Dispatch(b, &PrnModelOps_t::line, &PrnLineOps::hLine, x1, x2, style);
}

int PrnCmdAddVLineBegin(PrnCmdHandle_t* b, int x, int style) {
  if (!PrnCmdValid(b) || !Coord(x) || !Style(style)) return 1;
  return Dispatch(b, &PrnModelOps_t::line, &PrnLineOps::vLineBegin, x, style);
}

int PrnCmdAddVLineEnd(PrnCmdHandle_t* b, int x, int style) {
  if (!PrnCmdValid(b) || !Coord(x) || !Style(style)) return 1;
  return Dispatch(b, &PrnModelOps_t::line, &PrnLineOps::vLineEnd, x, style);
}

int PrnCmdAddPageArea(PrnCmdHandle_t* b, int x, int y, int width, int height) {
  if (!PrnCmdValid(b) || !Coord(x) || !Coord(y) || !In(width, 1, 65535) || !In(height, 1, 65535)) {
    return 1;
  }
  return Dispatch(b, &PrnModelOps_t::page, &PrnPageOps::area, x, y, width, height);
}

int PrnCmdAddPageHPosition(PrnCmdHandle_t* b, int x) {
  if (!PrnCmdValid(b) || !Coord(x)) return 1;
  int rc = Dispatch(b, &PrnModelOps_t::page, &PrnPageOps::positionX, x);
  if (rc == 0) b->positionX = x;
  return rc;
}

int PrnCmdAddPageLine(PrnCmdHandle_t* b, int x1, int y1, int x2, int y2, int style) {
  if (!PrnCmdValid(b) || !Coord(x1) || !Coord(y1) || !Coord(x2) || !Coord(y2) || !Style(style)) {
    return 1;
  }
  return Dispatch(b, &PrnModelOps_t::page, &PrnPageOps::line, x1, y1, x2, y2, style);
}

int PrnCmdAddPageRectangle(PrnCmdHandle_t* b, int x1, int y1, int x2, int y2, int style) {
  if (!PrnCmdValid(b) || !Coord(x1) || !Coord(y1) || !Coord(x2) || !Coord(y2) || !Style(style)) {
    return 1;
  }
  return Dispatch(b, &PrnModelOps_t::page, &PrnPageOps::rectangle, x1, y1, x2, y2, style);
}

int PrnCmdAddLayout(PrnCmdHandle_t* b, int type, int height, int marginTop, int offsetCut,
                    int offsetLabel, int marginBottom, int width) {
  if (!PrnCmdValid(b) || !In(type, 0, 3) || !In(height, 0, 10000) || !In(marginTop, -9999, 10000) ||
      !In(offsetCut, -9999, 10000) || !In(offsetLabel, 0, 10000) ||
      !In(marginBottom, -9999, 10000) || !In(width, 1, 10000)) {
    return 1;
  }
  return Dispatch(b, &PrnModelOps_t::layout, &PrnLayoutOps::layout, type, height, marginTop,
                  offsetCut, offsetLabel, marginBottom, width);
}

int PrnCmdAddCut(PrnCmdHandle_t* b, int type) {
  if (!PrnCmdValid(b) || !In(type, 0, 2)) return 1;
  return ResetPositionOnSuccess(b, Dispatch(b, &PrnModelOps_t::feed, &PrnFeedOps::cut, type));
}

int PrnCmdSetRasterMode(PrnCmdHandle_t* b, int mode) {
  if (!PrnCmdValid(b)) return 1;
  if (b->ops.image == nullptr) return 2;
  if (In(mode, 0, 3)) b->ops.image->image = PrnRasterModeGenerator(mode);
  return 0;
}

}  // namespace tilo2::core
