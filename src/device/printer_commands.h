#pragma once
// The validating appends of printer commands and their validators. Each
// append answers 1 for a null record or a refused value, else the result of
// the typed append (0, or 10 when out of memory).

#include <cstdint>
#include <string>

#include "device/device_types.h"

namespace tilo2::core {

int TdcAddTextAlign(TdcPrinter_t* record, int32_t align);
int TdcAddLineSpace(TdcPrinter_t* record, int32_t spacing);
int TdcAddTextRotate(TdcPrinter_t* record, int32_t rotate);
int TdcAddText(TdcPrinter_t* record, const char* text);
int TdcAddTextLang(TdcPrinter_t* record, int32_t language);
int TdcAddTextFont(TdcPrinter_t* record, int32_t font);
int TdcAddTextSmooth(TdcPrinter_t* record, int32_t smooth);
int TdcAddTextSize(TdcPrinter_t* record, int32_t width, int32_t height);
int TdcCheckTextStyle(int32_t reverse, int32_t ul, int32_t em, int32_t color);
int TdcAddTextStyle(TdcPrinter_t* record, int32_t reverse, int32_t ul, int32_t em, int32_t color);
int TdcAddHPosition(TdcPrinter_t* record, int32_t x);
int TdcAddFeedUnit(TdcPrinter_t* record, int32_t units);
int TdcAddFeedLine(TdcPrinter_t* record, int32_t lines);
int TdcAddLogo(TdcPrinter_t* record, int32_t key1, int32_t key2);
int TdcAddPageBegin(TdcPrinter_t* record);
int TdcAddPageEnd(TdcPrinter_t* record);
int TdcAddPageArea(TdcPrinter_t* record, int32_t x, int32_t y, int32_t width, int32_t height);
int TdcAddPageDirection(TdcPrinter_t* record, int32_t direction);
int TdcAddPagePosition(TdcPrinter_t* record, int32_t x, int32_t y);
int TdcAddPageLine(TdcPrinter_t* record, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                   int32_t style);
int TdcAddPageRectangle(TdcPrinter_t* record, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                        int32_t style);
int TdcAddCut(TdcPrinter_t* record, int32_t type);
int TdcAddPulse(TdcPrinter_t* record, int32_t drawer, int32_t pulse);
int TdcAddCommand(TdcPrinter_t* record, const uint8_t* bytes, int32_t count);
int TdcCheckImage(const uint8_t* rgb, int32_t imageWidth, int32_t imageHeight, int32_t x, int32_t y,
                  int32_t width, int32_t height, int32_t color, int32_t mode, int32_t halftone,
                  double brightness, int32_t compress);
// rgb: three bytes per pixel, blue, green, red; copied.
int TdcAddImage(TdcPrinter_t* record, const uint8_t* rgb, int32_t imageWidth, int32_t imageHeight,
                int32_t x, int32_t y, int32_t width, int32_t height, int32_t color, int32_t mode,
                int32_t halftone, double brightness, int32_t compress);
// The data of a barcode of `type` (data with its escapes decoded): 1 to 255
// bytes, and the symbology's own rules where every printer keeps them (UPC-A
// 11-12 digits, UPC-E 6-8, 11 or 12, EAN-13/JAN-13 12-13, EAN-8/JAN-8 7-8,
// ITF an even count of digits, Code39 and Codabar their character sets,
// Code93, Code128 and GS1-128 ASCII). 0, or 1 with the reason in *reason
// (when not null).
int TdcCheckBarcodeData(const char* data, int32_t type, std::string* reason);
// The data of a symbol: 1 to 65531 bytes once its escapes are decoded.
int TdcCheckSymbolData(const char* data, std::string* reason);
int TdcCheckBarcode(const char* data, int32_t type, int32_t hri, int32_t font, int32_t width,
                    int32_t height);
int TdcAddBarcode(TdcPrinter_t* record, const char* data, int32_t type, int32_t hri, int32_t font,
                  int32_t width, int32_t height);
int TdcCheckSymbol(const char* data, int32_t type, int32_t level, int32_t width, int32_t height,
                   int32_t size);
int TdcAddSymbol(TdcPrinter_t* record, const char* data, int32_t type, int32_t level, int32_t width,
                 int32_t height, int32_t size);
int TdcAddHLine(TdcPrinter_t* record, int32_t x1, int32_t x2, int32_t style);
// *lineId = (n << 16) | x, n = style + 1 (1 for -2); a null lineId answers 1.
int TdcAddVLineBegin(TdcPrinter_t* record, int32_t x, int32_t style, int32_t* lineId);
int TdcAddVLineEnd(TdcPrinter_t* record, int32_t lineId);
int TdcAddSound(TdcPrinter_t* record, int32_t pattern, int32_t repeat, int32_t cycle);
int TdcAddFeedPosition(TdcPrinter_t* record, int32_t position);
int TdcCheckLayout(int32_t type, int32_t width, int32_t height, int32_t marginTop,
                   int32_t marginBottom, int32_t offsetCut, int32_t offsetLabel);
int TdcAddLayout(TdcPrinter_t* record, int32_t type, int32_t width, int32_t height,
                 int32_t marginTop, int32_t marginBottom, int32_t offsetCut, int32_t offsetLabel);

}  // namespace tilo2::core
