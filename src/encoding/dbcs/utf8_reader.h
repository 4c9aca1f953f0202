#pragma once
// Bounded UTF-8 reading shared by the double-byte encoders. Lead bytes of
// the old 5- and 6-byte forms are kept as forms so they are skipped whole;
// overlong forms are not refused (they only reach a table lookup).

#include <cstddef>
#include <cstdint>

namespace tilo2::core {

struct Utf8Unit {
  enum class Kind : uint8_t {
    Char,       // a complete form: codePoint is valid
    Truncated,  // a form cut short by the end of input or by a non-continuation byte
    Stray,      // a continuation byte or 0xFE/0xFF where a character should start
  };
  Kind kind;
  uint8_t formLength;  // bytes the lead byte announced (1 for Stray)
  uint32_t codePoint;
  size_t consumed;  // bytes to advance; never past the input
};

// Reads the unit at s[pos]; requires pos < length.
inline Utf8Unit Utf8ReadUnit(const unsigned char* s, size_t length, size_t pos) {
  const unsigned lead = s[pos];
  if (lead < 0x80) {
    return {Utf8Unit::Kind::Char, 1, lead, 1};
  }
  unsigned form;
  uint32_t cp;
  if (lead >= 0xC0 && lead <= 0xDF) {
    form = 2;
    cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    form = 3;
    cp = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    form = 4;
    cp = lead & 0x07u;
  } else if (lead >= 0xF8 && lead <= 0xFB) {
    form = 5;
    cp = lead & 0x03u;
  } else if (lead >= 0xFC && lead <= 0xFD) {
    form = 6;
    cp = lead & 0x01u;
  } else {
    return {Utf8Unit::Kind::Stray, 1, 0, 1};
  }
  size_t i = 1;
  for (; i < form; ++i) {
    if (pos + i >= length) {
      // The end of input cuts the form: it ends the text.
      return {Utf8Unit::Kind::Truncated, static_cast<uint8_t>(form), 0, length - pos};
    }
    const unsigned next = s[pos + i];
    if ((next & 0xC0u) != 0x80u) {
      // A new character starts here: keep it rather than swallow it.
      return {Utf8Unit::Kind::Truncated, static_cast<uint8_t>(form), 0, i};
    }
    cp = (cp << 6) | (next & 0x3Fu);
  }
  return {Utf8Unit::Kind::Char, static_cast<uint8_t>(form), cp, form};
}

}  // namespace tilo2::core
