#pragma once
// A person's view of what the printer understood: one line per recognised
// command, text decoded to UTF-8, and what the printer answered.

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "printer_model.h"

namespace printer_emulator {

// The text as UTF-8, read in the code page that ESC t n selected; bytes the
// page does not map are shown as \xNN.
std::string decodeText(std::span<const uint8_t> text, uint8_t codePage);

// The same for a line whose coding changes midway: each run of bytes read in
// its own code page or double-byte encoding (see ModelEvent::runs). A
// double-byte character the encoding does not know shows its lead byte as
// \xNN, and the bytes behind it are read afresh.
std::string decodeText(std::span<const uint8_t> text, std::span<const CodingRun> runs);

// "41 42 0A".
std::string hexBytes(std::span<const uint8_t> bytes);

// One transcript line, without a newline: "[centre]", "Crème brûlée",
// "-> job end \"0001\": 37 22 30 30 30 31 00"; display lines start "display: ".
// Link lines read "[connected 127.0.0.1:40312]", "[disconnected]".
std::string formatEvent(const ModelEvent& event);

// The wall-clock time as a line prefix, local time to the millisecond:
// "14:03:27.815".
std::string formatTime(std::chrono::system_clock::time_point when);

}  // namespace printer_emulator
