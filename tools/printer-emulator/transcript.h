#pragma once
// A person's view of what the printer understood: one line per recognised
// command, text decoded to UTF-8, and what the printer answered.

#include <cstdint>
#include <span>
#include <string>

#include "printer_model.h"

namespace printer_emulator {

// The text as UTF-8, read in the code page that ESC t n selected; bytes the
// page does not map are shown as \xNN.
std::string decodeText(std::span<const uint8_t> text, uint8_t codePage);

// "41 42 0A".
std::string hexBytes(std::span<const uint8_t> bytes);

// One transcript line, without a newline: "[centre]", "Crème brûlée",
// "-> job end \"0001\": 37 22 30 30 30 31 00"; display lines start "display: ".
std::string formatEvent(const ModelEvent& event);

}  // namespace printer_emulator
