#pragma once
// The print engine's builder operations: the slots of the device API layer's
// printer and display operation tables for the direct backend. Each checks
// and translates its arguments, then drives the command builder the record
// holds, through the builder's checked entry points or a slot of the model's
// operation tables.
//
// Shared rules: a null record, or one whose builder is not a live "DEVH"
// ("DDVH") handle, gives 1. An optional value of -1 leaves the setting alone
// and sends nothing; -2 picks the default where the operation says so; any
// other value outside the range gives 1 and adds nothing. Builder results are
// mapped 0 -> 0, 1 -> 1, 2 -> 0 (the model lacks the command: accepted, nothing
// added), 3 -> 5, anything else -> 255; an operation of several builder steps
// stops at the first non-zero result and keeps the steps before it. Memory
// failures of the engine's own blocks give 5 with an ERROR line.

#include <cstddef>
#include <cstdint>

#include "engine/builder_records.h"
#include "engine/print_handle.h"

namespace tilo2::core {

// Printer operations, in the order of the device API layer's table (slot k
// carries command id k).
int TiloAddTextAlign(PrinterBuilder_t* builder, int32_t align);                 // 0..2
int TiloAddLineSpace(PrinterBuilder_t* builder, int32_t dots);                  // 0..255
int TiloAddTextRotate(PrinterBuilder_t* builder, int32_t rotate);               // 0..1
int TiloAddText(PrinterBuilder_t* builder, const char* text);                   // UTF-8
int TiloAddTextLang(PrinterBuilder_t* builder, int32_t language);               // 0..6
int TiloAddTextFont(PrinterBuilder_t* builder, int32_t font);                   // 0..4
int TiloAddTextSmooth(PrinterBuilder_t* builder, int32_t smooth);               // 0..1
int TiloAddTextSize(PrinterBuilder_t* builder, int32_t width, int32_t height);  // 1..8 or -1
// reverse, underline, emphasis 0..1 or -1; color 0..4 or -1.
int TiloAddTextStyle(PrinterBuilder_t* builder, int32_t reverse, int32_t underline,
                     int32_t emphasis, int32_t color);
int TiloAddHPosition(PrinterBuilder_t* builder, int32_t x);     // 0..65535
int TiloAddFeedUnit(PrinterBuilder_t* builder, int32_t dots);   // 0..255
int TiloAddFeedLine(PrinterBuilder_t* builder, int32_t lines);  // 0..255
// pixels: imageHeight rows of imageWidth 24-bit pixels (blue, green, red).
// Outside page mode the printed width is cut to what fits right of the text
// position, and a position inside a byte is padded with white dots.
// color 0..4 or -2 (1); mode 0 raster, 1 gray16, 2 high density or -2 (0);
// halftone 0 dither, 1 error diffusion, 2 threshold or -2 (0); brightness
// 0.1..10.0 or -2.0 (1.0); compress 0..1 or -2 (0).
int TiloAddImage(PrinterBuilder_t* builder, const uint8_t* pixels, int32_t imageWidth,
                 int32_t imageHeight, int32_t x, int32_t y, int32_t width, int32_t height,
                 int32_t color, int32_t mode, int32_t halftone, double brightness,
                 int32_t compress);
int TiloAddLogo(PrinterBuilder_t* builder, int32_t keyCode1, int32_t keyCode2);
// data: UTF-8 with escapes (see ParseEscapes). type 0..15; hri 0..3 or -1;
// font 0..4 or -1; width 2..6 or -1; height 1..255 or -1.
int TiloAddBarcode(PrinterBuilder_t* builder, const char* data, int32_t type, int32_t hri,
                   int32_t font, int32_t width, int32_t height);
// data: UTF-8 with escapes; QR codes (types 2, 3) are first converted to
// double-byte codes. type 0..17; level 0..13 (Aztec, types 12 and 13: a
// percentage 5..95) or -1; width, height 1..255 or -1; size 0..65535 or -1.
int TiloAddSymbol(PrinterBuilder_t* builder, const char* data, int32_t type, int32_t level,
                  int32_t width, int32_t height, int32_t size);
// Line styles 0..5 or -2 (0). No model has lines: these add nothing.
int TiloAddHLine(PrinterBuilder_t* builder, int32_t x1, int32_t x2, int32_t style);
int TiloAddVLineBegin(PrinterBuilder_t* builder, int32_t x, int32_t style);
int TiloAddVLineEnd(PrinterBuilder_t* builder, int32_t x, int32_t style);
// Page mode: the builder's pageMode follows a page begin (end) that the
// builder really added.
int TiloAddPageBegin(PrinterBuilder_t* builder);
int TiloAddPageEnd(PrinterBuilder_t* builder);
int TiloAddPageArea(PrinterBuilder_t* builder, int32_t x, int32_t y, int32_t width, int32_t height);
int TiloAddPageDirection(PrinterBuilder_t* builder, int32_t direction);    // 0..3
int TiloAddPagePosition(PrinterBuilder_t* builder, int32_t x, int32_t y);  // each or -1
int TiloAddPageLine(PrinterBuilder_t* builder, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                    int32_t style);
int TiloAddPageRectangle(PrinterBuilder_t* builder, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                         int32_t style);
int TiloAddCut(PrinterBuilder_t* builder, int32_t type);  // 0..2 or -2 (1)
// drawer 0..1 or -2 (0); time 0..4 or -2 (0).
int TiloAddPulse(PrinterBuilder_t* builder, int32_t drawer, int32_t time);
// pattern 0..6 (A..E, Error, PaperEmpty) or 7..16 (Pattern1..10) or -2 (0);
// repeat 1..255 or -2 (1), at most 63 for patterns 7..16; cycle 1000..25500 ms
// or -2 (1000), sent in units of 100 ms rounded up.
int TiloAddSound(PrinterBuilder_t* builder, int32_t pattern, int32_t repeat, int32_t cycleMs);
int TiloAddCommand(PrinterBuilder_t* builder, const uint8_t* bytes, uint32_t size);
int TiloAddFeedPosition(PrinterBuilder_t* builder, int32_t position);  // 0..3
// type 0..3; the builder checks the other ranges.
int TiloAddLayout(PrinterBuilder_t* builder, int32_t type, int32_t width, int32_t height,
                  int32_t marginTop, int32_t marginBottom, int32_t offsetCut, int32_t offsetLabel);

// Display operations, in the order of the device API layer's display table.
int TiloDisplayAddInitialize(DisplayBuilder_t* builder);
// window 1..4, x 1..20, y 1..2, width 1..20, height 1..2, scroll 0..2 or -2 (0).
int TiloDisplayAddCreateWindow(DisplayBuilder_t* builder, int32_t window, int32_t x, int32_t y,
                               int32_t width, int32_t height, int32_t scroll);
int TiloDisplayAddDestroyWindow(DisplayBuilder_t* builder, int32_t window);     // 1..4
int TiloDisplayAddSetCurrentWindow(DisplayBuilder_t* builder, int32_t window);  // 1..4
int TiloDisplayAddClearCurrentWindow(DisplayBuilder_t* builder);
int TiloDisplayAddSetCursorPosition(DisplayBuilder_t* builder, int32_t x, int32_t y);
int TiloDisplayAddMoveCursorPosition(DisplayBuilder_t* builder, int32_t move);  // 0..3 or -2 (0)
int TiloDisplayAddSetCursorType(DisplayBuilder_t* builder, int32_t type);       // 0..1 or -2 (1)
// x 1..20 and y 1..2, or both -1 (no cursor move); language 0..6, -1
// (unchanged) or -2 (0).
int TiloDisplayAddText(DisplayBuilder_t* builder, const char* text, int32_t x, int32_t y,
                       int32_t language);
int TiloDisplayAddReverseText(DisplayBuilder_t* builder, const char* text, int32_t x, int32_t y,
                              int32_t language);
// format 0..1 or -2 (0); waits 1..2000 ms; repeat count 0..127; language
// 0..6, -1 or -2 (both 0).
int TiloDisplayAddMarqueeText(DisplayBuilder_t* builder, const char* text, int32_t format,
                              int32_t unitWait, int32_t repeatWait, int32_t repeatCount,
                              int32_t language);
int TiloDisplayAddSetBlink(DisplayBuilder_t* builder, int32_t intervalMs);  // 0..12700
// level 3, 2, 1, 0 or -2, sent as 0, 2, 3, 4 and 0.
int TiloDisplayAddSetBrightness(DisplayBuilder_t* builder, int32_t level);
int TiloDisplayAddShowClock(DisplayBuilder_t* builder);
int TiloDisplayAddCommand(DisplayBuilder_t* builder, const uint8_t* bytes, uint32_t size);

// Ties a printer builder to a connection: the handle keeps its own duplicate
// of the record's builder (a later attach replaces it; an invalid builder
// leaves none), and the handle's queue may have two jobs outstanding (reorder
// mode 1) when the builder's model reports each job's end with its id
// (PrnIsJobEndReply), one (mode 2) otherwise. Nothing for a null handle or
// builder, or a handle that is not in the list.
void TiloAttachBuilder(PrintHandle_t* handle, PrinterBuilder_t* builder);
// The reader's own reference to the attached duplicate; null when none.
SharedPrnBuilder GetAttachedBuilder(PrintHandle_t* handle);

// Escapes in barcode and symbol data: "\\" is one backslash, "\x" or "\X"
// with two hexadecimal digits that byte, a backslash before anything else is
// dropped (the characters after it stay). UTF-8 sequences are copied whole,
// their length taken from the lead byte (2 to 6), but never past the end.
// Decodes length bytes of data into out (nothing is written when out is
// null) and returns the decoded byte count. Reads nothing at or beyond
// data + length. With shiftJis the data is double-byte text instead of UTF-8:
// a lead byte and the byte after it are copied whole, so a second byte of 5Ch
// stays part of its character.
size_t ParseEscapes(const char* data, size_t length, uint8_t* out, bool shiftJis = false);
// Copies the character at src (at most available bytes, available > 0) to
// out when out is not null; returns the bytes taken, 1 to 6.
size_t CopyUtf8Char(const char* src, size_t available, uint8_t* out);

}  // namespace tilo2::core
