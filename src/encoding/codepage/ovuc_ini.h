// Small parsing helpers for the converter's key=value files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tilo2::core {

// Text after the first "=" of `text` when a CR, LF or the end follows it
// somewhere; null for a null text or one without "=".
const char* IniValueOf(const char* text);

// 0 when the value up to its CR, LF or end is a non-empty run of digits, else -1.
int IniIsDigits(const char* value);

// Splits `text` at blanks (spaces and tabs) into at most `count` fields of up
// to 127 characters each (every field buffer holds 128 bytes). 0, or -1 when
// there are more fields than `count` or a field is longer than 127 characters.
int SplitFields(const char* text, char (*fields)[128], int count);

// Lines beginning with ";", LF or CR carry nothing.
bool IniSkipLine(std::string_view line);

// Value of a line up to its CR or LF.
std::string_view IniLineValue(const char* value);

// The digits value of a key's line, when it lies in [lo, hi].
std::optional<uint64_t> IniNumber(const char* afterKey, uint64_t lo, uint64_t hi);

}  // namespace tilo2::core
