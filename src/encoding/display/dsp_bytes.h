#pragma once
// Byte cores of the customer-display commands, the language blocks, display
// text encoding and the local clock read by the display reset.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tilo2::core {

// ESC = 2: the printer passes what follows to the display.
void DspBeginBytes(std::vector<uint8_t>& out);
// ESC = 1 and the printer's job-end request carrying the four job id characters.
void DspEndBytes(std::vector<uint8_t>& out, const char processId[4]);
void DspResetBytes(std::vector<uint8_t>& out, int hour, int minute);
// Window 1..4 at column x, row y (1-based); scroll 1 vertical, 2 horizontal, else overwrite.
void DspCreateWindowBytes(std::vector<uint8_t>& out, int window, int x, int y, int width,
                          int height, int scroll);
void DspDestroyWindowBytes(std::vector<uint8_t>& out, int window);
void DspClearBytes(std::vector<uint8_t>& out);
void DspCursorPositionBytes(std::vector<uint8_t>& out, int x, int y);
// 1 top right, 2 bottom left, 3 bottom right, else top left.
void DspMoveCursorBytes(std::vector<uint8_t>& out, int position);
void DspCursorTypeBytes(std::vector<uint8_t>& out, int type);
void DspReverseBytes(std::vector<uint8_t>& out, int on);
void DspBlinkBytes(std::vector<uint8_t>& out, long intervalMs);
void DspBrightnessBytes(std::vector<uint8_t>& out, int level);
void DspShowClockBytes(std::vector<uint8_t>& out);

// The 20-byte block that puts the display into the character set of a language.
void DspLanguagePrefix(std::vector<uint8_t>& out, int language);

// Marquee frame: format 1 places the text, any other walks it in.
void DspMarqueePrefixBytes(std::vector<uint8_t>& out, int format);
void DspMarqueeSuffixBytes(std::vector<uint8_t>& out, long unitWaitMs, long repeatWaitMs);

// Appends UTF-8 text encoded for a display language: 1 Japanese, 2, 3, 4 the
// Chinese and Korean double-byte encodings, any other through the converter.
// 0 (also when it encodes to nothing), -1 when the text cannot be converted
// (or there is no converter), 3 for lack of memory; the vector is unchanged on failure.
int DspEncodeText(std::vector<uint8_t>& out, int language, int16_t converter, const char* text,
                  size_t length);

// Reads the local clock (tests install a fixed one: encoding/test_hooks.h);
// 0 with hour and minute, or 3 when the time cannot be read.
int DspReadLocalClock(int* hour, int* minute);

}  // namespace tilo2::core
