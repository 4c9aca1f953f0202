#pragma once
// Printer command builder: one per printer model and model language. The
// generators append commands to its chunk buffer; build frames the body with
// the model's header and trailer into one block for the connection.
//
// Result codes of every entry point: 0 success, 1 bad argument or handle,
// 2 not supported by the model (missing table or slot, unknown model,
// refused language), 3 out of memory; a generator's own result (e.g. -1 for
// text the converter cannot take) is passed through unchanged.
//
// Argument rule of the generators (the PrnGen* and DspGen* slots): ranges
// that carry meaning (a coordinate inside the paper, a size of 1..8) are the
// device API layer's to check, and the generators trust them. What a
// generator does check is that an argument it writes into its command as a
// raw number fits the byte(s) it goes to (one byte, a 16-bit number, a
// nibble); one that does not fit answers 1 and appends nothing, rather than
// being cut to another value. Arguments that choose among forms map an
// unknown value to the command's default form, and quantities the command
// converts (milliseconds to units, a repeat count with a maximum) are capped
// at the largest the command takes, as each generator documents.

#include <cstdint>

#include "encoding/builder/cmd_buffer.h"
#include "encoding/builder/cmd_data.h"
#include "encoding/printer/prn_ops.h"
#include "encoding/reply/reply_splitter.h"

namespace tilo2::core {

enum PrnModelLang : int {
  kPrnLangAnk = 0,
  kPrnLangJapanese = 1,
  kPrnLangChinese = 2,
  kPrnLangTaiwan = 3,
  kPrnLangKorean = 4,
  kPrnLangThai = 5,
  kPrnLangSouthAsia = 6,
};

using PrnPrintableWidthFn = int (*)(PrnCmdHandle_t* builder, int* outDots);

struct PrnCmdHandle_t {
  uint32_t size;        // own record size
  uint32_t tag;         // "DEVH"
  char modelName[16];   // empty for the generic model
  int32_t modelLang;    // 0..6
  int32_t dotDensityX;  // dots per inch; 0 for the generic model
  int32_t dotDensityY;
  int32_t rasterBandLimit;  // most raster rows in one band
  int32_t grayBandLimit;    // most gray16 rows in one band
  int32_t rasterByteLimit;  // byte budget of one raster band command
  int32_t paperWidthCode;   // written by the device layer, read by getPrintableWidth
  int32_t paperWidthFlag;
  int32_t textLang;    // language of the last text-language command
  int32_t widthScale;  // character magnification last sent, 1..8
  int32_t heightScale;
  int32_t headerWanted;   // 1 asks build to add the model header
  int32_t trailerWanted;  // 1 asks build to add the model trailer
  char processId[4];      // job id of the trailer's GS ( H request
  int32_t positionX;      // current horizontal position in dots
  int32_t pageMode;       // 1 between page begin and page end
  int32_t font;
  int32_t underline;
  int32_t emphasis;
  int32_t color;            // color asked for
  int32_t colorSent;        // color last sent to an impact printer
  int32_t endorse40Column;  // 40-column endorsement in the endorse header
  CmdBuffer_t cmdBuffer;
  PrnReplyRemainder_t replyRemainder;
  int16_t converter;  // code-page converter handle; -1 when none
  PrnModelOps_t ops;
  PrnPrintableWidthFn getPrintableWidth;  // null when the model has none
};

// True for a live printer builder.
bool PrnCmdValid(const PrnCmdHandle_t* builder);

// Allocates a zero-filled builder with the defaults and opens the model's
// converter. 0, 1 (null argument), 3 (memory).
int PrnCmdAlloc(const char* modelName, int modelLang, PrnCmdHandle_t** out);

int PrnCmdOpen(const char* modelName, int modelLang, PrnCmdHandle_t** out);
int PrnCmdClose(PrnCmdHandle_t* builder);

int PrnCmdAddText(PrnCmdHandle_t* builder, const char* text);
int PrnCmdAddTextPosition(PrnCmdHandle_t* builder, int x);
int PrnCmdAddImage(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data, int size,
                   int color, int compress);
int PrnCmdAddGrayImage(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data,
                       int size, int compress);
int PrnCmdAddHighDensityImage(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data,
                              int size, int color, int compress);
int PrnCmdAddBarcode(PrnCmdHandle_t* builder, int type, const uint8_t* data, uint32_t length);
int PrnCmdAddSymbol(PrnCmdHandle_t* builder, int type, const uint8_t* data, uint32_t length);
int PrnCmdSetSymbolLevel(PrnCmdHandle_t* builder, int type, int level);
int PrnCmdSetSymbolHeight(PrnCmdHandle_t* builder, int type, int height);
int PrnCmdSetSymbolWidth(PrnCmdHandle_t* builder, int type, int width);
int PrnCmdSetSymbolSize(PrnCmdHandle_t* builder, int type, int size);
int PrnCmdSetSymbolLevelPercent(PrnCmdHandle_t* builder, int type, int percent);
int PrnCmdAddHLine(PrnCmdHandle_t* builder, int x1, int x2, int style);
int PrnCmdAddVLineBegin(PrnCmdHandle_t* builder, int x, int style);
int PrnCmdAddVLineEnd(PrnCmdHandle_t* builder, int x, int style);
int PrnCmdAddPageArea(PrnCmdHandle_t* builder, int x, int y, int width, int height);
int PrnCmdAddPageHPosition(PrnCmdHandle_t* builder, int x);
int PrnCmdAddPageLine(PrnCmdHandle_t* builder, int x1, int y1, int x2, int y2, int style);
int PrnCmdAddPageRectangle(PrnCmdHandle_t* builder, int x1, int y1, int x2, int y2, int style);
int PrnCmdAddLayout(PrnCmdHandle_t* builder, int type, int height, int marginTop, int offsetCut,
                    int offsetLabel, int marginBottom, int width);
int PrnCmdAddCut(PrnCmdHandle_t* builder, int type);
// Modes 0..3 (PrnRasterMode) choose image slot 0; any other mode changes
// nothing and answers 0. 2 when the model has no image table.
int PrnCmdSetRasterMode(PrnCmdHandle_t* builder, int mode);
int PrnCmdAddCommand(PrnCmdHandle_t* builder, const uint8_t* bytes, uint32_t size);

// Syncs header and trailer with headerWanted / trailerWanted, then flattens.
int PrnCmdBuild(PrnCmdHandle_t* builder, CmdData_t** out);
// Drops the body and resets the per-job state; header and trailer stay.
int PrnCmdClear(PrnCmdHandle_t* builder);
// Deep copy for a queued send, with no converter; null when memory runs out
// or any part cannot be copied.
PrnCmdHandle_t* PrnCmdDuplicate(const PrnCmdHandle_t* builder);

}  // namespace tilo2::core
