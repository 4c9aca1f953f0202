#pragma once
// Text tests and forms shared by the Bluetooth and USB transports and their
// finders. Every string here is UTF-8 and is looked at byte by byte.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tilo2::core {

// Six pairs of hexadecimal digits joined by colons, either letter case.
bool isValidBluetoothAddress(std::string_view address);

// Twelve characters as six pairs joined by colons; nothing for any other length.
std::optional<std::string> formatBluetoothAddress(std::string_view text);

// The maker's printers and interface boards by their names; a name of 128
// bytes or more, or an empty one, fails.
bool matchesPrinterName(std::string_view name);

// ASCII upper case; other bytes (UTF-8 sequences included) stay as they are.
std::string asciiUpper(std::string_view text);

// The longest prefix of at most maxBytes bytes that ends on a character boundary.
std::string_view utf8Prefix(std::string_view text, size_t maxBytes);

}  // namespace tilo2::core
