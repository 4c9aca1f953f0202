#include "orvik/tilo2/string.h"

#include <cstdint>

namespace Orvik::Tilo::Tilo2 {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(std::u16string& out, uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Decodes UTF-8 by the well-formed byte ranges of the Unicode standard, so a
// sequence stops at the first byte that cannot continue it: each maximal
// ill-formed subpart gives exactly one U+FFFD.
std::u16string FromUtf8(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const uint8_t lead = static_cast<uint8_t>(in[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    int trail = 0;
    uint8_t lo = 0x80;
    uint8_t hi = 0xBF;
    uint32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) lo = 0xA0;  // overlong below
      if (lead == 0xED) hi = 0x9F;  // surrogates above
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) lo = 0x90;  // overlong below
      if (lead == 0xF4) hi = 0x8F;  // beyond U+10FFFF above
    } else {
      out.push_back(kReplacement);  // continuation byte, C0, C1, F5..FF
      ++i;
      continue;
    }
    ++i;
    bool complete = true;
    for (int k = 0; k < trail; ++k) {
      const uint8_t b = i < in.size() ? static_cast<uint8_t>(in[i]) : 0;
      if (i >= in.size() || b < lo || b > hi) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
      ++i;
      lo = 0x80;
      hi = 0xBF;
    }
    if (complete) {
      AppendCodePoint(out, cp);
    } else {
      out.push_back(kReplacement);  // the offending byte starts the next round
    }
  }
  return out;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

String::String(const char* utf8) {
  if (utf8 != nullptr) text_ = FromUtf8(utf8);
}

String::String(std::string_view utf8) : text_(FromUtf8(utf8)) {}

String::String(const char16_t* utf16) {
  if (utf16 != nullptr) text_ = utf16;
}

String::String(std::u16string_view utf16) : text_(utf16) {}

std::string String::utf8() const {
  std::string out;
  out.reserve(text_.size());
  for (size_t i = 0; i < text_.size(); ++i) {
    const char16_t u = text_[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text_.size() && text_[i + 1] >= 0xDC00 &&
        text_[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<uint32_t>(u) - 0xD800) << 10) +
                          (static_cast<uint32_t>(text_[i + 1]) - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

}  // namespace Orvik::Tilo::Tilo2
