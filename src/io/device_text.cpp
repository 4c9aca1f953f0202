#include "io/device_text.h"

#include <array>

namespace tilo2::core {

namespace {

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

constexpr size_t kNameBufferBytes = 128;

}  // namespace

bool isValidBluetoothAddress(std::string_view address) {
  if (address.size() != 17) return false;
  for (size_t i = 0; i < address.size(); ++i) {
    const bool separator = i % 3 == 2;
    if (separator ? address[i] != ':' : !isHexDigit(address[i])) return false;
  }
  return true;
}

std::optional<std::string> formatBluetoothAddress(std::string_view text) {
  if (text.size() != 12) return std::nullopt;
  std::string out;
  out.reserve(17);
  for (size_t i = 0; i < 12; i += 2) {
    if (i != 0) out += ':';
    out.append(text.substr(i, 2));
  }
  return out;
}

bool matchesPrinterName(std::string_view name) {
  // The name plus its terminating zero must fit the 128-byte buffer the test works in.
  if (name.empty() || name.size() >= kNameBufferBytes) return false;
  static constexpr std::array<std::string_view, 4> kPrefixes = {"RP-S", "RP-M", "RP-k", "IF-C"};
  for (const auto prefix : kPrefixes) {
    if (name.starts_with(prefix)) return true;
  }
  if (name == "NQ31") return true;
  return name.find("RP-X") != std::string_view::npos;
}

std::string asciiUpper(std::string_view text) {
  std::string out(text);
  for (auto& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string_view utf8Prefix(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t end = maxBytes;
  // Step back over continuation bytes so the cut never splits a character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace tilo2::core
