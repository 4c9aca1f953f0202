#pragma once
// Operation tables of a printer builder. A model says what it can do by the
// tables and slots its constructor installs: a null table or slot means "not
// supported", and the entry points answer 2 for it. Every slot receives the
// builder first. Slot numbers are given beside each field; the tables are
// numbered 0..11 in the order of PrnModelOps_t.

#include <cstdint>

#include "encoding/builder/cmd_buffer.h"
#include "encoding/reply/reply_splitter.h"

namespace tilo2::core {

struct PrnCmdHandle_t;

using PrnOp0Fn = int (*)(PrnCmdHandle_t*);
using PrnOp1Fn = int (*)(PrnCmdHandle_t*, int);
using PrnOp2Fn = int (*)(PrnCmdHandle_t*, int, int);
using PrnOp3Fn = int (*)(PrnCmdHandle_t*, int, int, int);
using PrnOp4Fn = int (*)(PrnCmdHandle_t*, int, int, int, int);
using PrnOp5Fn = int (*)(PrnCmdHandle_t*, int, int, int, int, int);
using PrnTextFn = int (*)(PrnCmdHandle_t*, const char* utf8);
// (builder, width, height, data, size, color, compress)
using PrnImageFn = int (*)(PrnCmdHandle_t*, int, int, const uint8_t*, int, int, int);
// (builder, type, data, length)
using PrnDataFn = int (*)(PrnCmdHandle_t*, int, const uint8_t*, uint32_t);
// (builder, type, height, margin top, offset cut, offset label, margin bottom, width)
using PrnLayoutFn = int (*)(PrnCmdHandle_t*, int, int, int, int, int, int, int);
// Header and trailer generators append through the given function.
using PrnFrameFn = int (*)(PrnCmdHandle_t*, CmdAppendFn);
// (builder, bytes, length, handler, user)
using PrnSplitFn = int (*)(PrnCmdHandle_t*, const uint8_t*, uint32_t, PrnReplyHandler, void*);
// (builder, kind, bytes, length, isEnd)
using PrnJobEndFn = int (*)(PrnCmdHandle_t*, int, const uint8_t*, uint32_t, int*);

struct PrnTextOps {       // table 0
  PrnTextFn text;         // 0
  PrnOp1Fn lineSpace;     // 1
  PrnOp1Fn textLang;      // 2
  PrnOp1Fn font;          // 3
  PrnOp1Fn smooth;        // 4
  PrnOp1Fn doubleWidth;   // 5
  PrnOp1Fn doubleHeight;  // 6
  PrnOp1Fn widthScale;    // 7
  PrnOp1Fn heightScale;   // 8
  PrnOp1Fn reverse;       // 9
  PrnOp1Fn underline;     // 10
  PrnOp1Fn emphasis;      // 11
  PrnOp1Fn color;         // 12
  PrnOp1Fn positionX;     // 13 (x)
};

struct PrnImageOps {            // table 1
  PrnImageFn image;             // 0 monochrome; chosen by PrnCmdSetRasterMode
  PrnOp2Fn nvLogo;              // 1 (key code 1, key code 2); impact: (logo number, unused)
  PrnImageFn grayImage;         // 2
  PrnImageFn highDensityImage;  // 3
};

struct PrnBarcodeOps {   // table 2
  PrnDataFn barcode;     // 0 (type, data, length)
  PrnOp1Fn hriFont;      // 1
  PrnOp1Fn hriPosition;  // 2
  PrnOp1Fn height;       // 3
  PrnOp1Fn width;        // 4
};

struct PrnSymbolOps {     // table 3, each (type, value) after slot 0
  PrnDataFn symbol;       // 0 (type, data, length)
  PrnOp2Fn level;         // 1
  PrnOp2Fn height;        // 2
  PrnOp2Fn width;         // 3
  PrnOp2Fn size;          // 4
  PrnOp2Fn levelPercent;  // 5
};

struct PrnAlignOps {  // table 4
  PrnOp1Fn align;     // 0
  PrnOp1Fn rotate;    // 1
};

struct PrnFeedOps {   // table 5
  PrnOp1Fn feedUnit;  // 0 (dots)
  PrnOp1Fn feedLine;  // 1 (lines)
  PrnOp1Fn cut;       // 2 (cut type)
};

struct PrnLineOps {     // table 6; no model installs it
  PrnOp3Fn hLine;       // 0 (x1, x2, style)
  PrnOp2Fn vLineBegin;  // 1 (x, style)
  PrnOp2Fn vLineEnd;    // 2 (x, style)
};

struct PrnPageOps {    // table 7
  PrnOp0Fn begin;      // 0
  PrnOp0Fn end;        // 1
  PrnOp4Fn area;       // 2 (x, y, width, height)
  PrnOp1Fn direction;  // 3
  PrnOp1Fn positionX;  // 4 (x)
  PrnOp1Fn positionY;  // 5 (y)
  PrnOp5Fn line;       // 6 (x1, y1, x2, y2, style)
  PrnOp5Fn rectangle;  // 7 (x1, y1, x2, y2, style)
};

struct PrnLayoutOps {     // table 8
  PrnLayoutFn layout;     // 0
  PrnOp1Fn feedPosition;  // 1
};

struct PrnSoundOps {        // table 9
  PrnOp2Fn pulse;           // 0 (drawer, pulse)
  PrnOp2Fn buzzer;          // 1 (pattern, repeat)
  PrnOp0Fn buzzerRealtime;  // 2
  PrnOp3Fn sound;           // 3 (pattern, repeat, cycle)
};

struct PrnControlOps {   // table 10
  PrnFrameFn header;     // 0; replaced per paper type on hybrid printers
  PrnOp0Fn clearBuffer;  // 1 (appends to the body)
  PrnFrameFn trailer;    // 2
};

struct PrnReplyOps {     // table 11
  PrnSplitFn split;      // 0
  PrnJobEndFn isJobEnd;  // 1; null on the generic model
};

// The twelve tables of a builder; each owned by it, null when not installed.
struct PrnModelOps_t {
  PrnTextOps* text;        // 0
  PrnImageOps* image;      // 1
  PrnBarcodeOps* barcode;  // 2
  PrnSymbolOps* symbol;    // 3
  PrnAlignOps* align;      // 4
  PrnFeedOps* feed;        // 5
  PrnLineOps* line;        // 6
  PrnPageOps* page;        // 7
  PrnLayoutOps* layout;    // 8
  PrnSoundOps* sound;      // 9
  PrnControlOps* control;  // 10
  PrnReplyOps* reply;      // 11
};

}  // namespace tilo2::core
