#pragma once
// The SDK's string: UTF-16 text, as the runtime string it stands in for holds it.
// A null and an empty string are one value. Conversions never fail: ill-formed
// input becomes U+FFFD (one per maximal ill-formed subpart of UTF-8, one per
// lone surrogate of UTF-16).
// Threads, handlers and what a handler may call: docs/threading.md.

// Every header that takes or gives text comes through here, so an app built
// with an older standard learns why at once instead of from later errors.
#if __cplusplus < 202002L
#error "The Tilo2 SDK needs C++20: compile with -std=c++20 or later."
#endif

#include <cstddef>
#include <string>
#include <string_view>

#include "orvik/tilo2/export.h"

namespace Orvik::Tilo::Tilo2 {

class TILO2_EXPORT String {
 public:
  String() = default;
  // UTF-8; a null pointer gives the empty string.
  String(const char* utf8);  // NOLINT(google-explicit-constructor): converts like the runtime's
  String(std::string_view utf8);
  String(const std::string& utf8) : String(std::string_view(utf8)) {}
  // UTF-16; a null pointer gives the empty string. Kept as given, lone surrogates too.
  String(const char16_t* utf16);
  // Out of line: GCC 12 inlining the copy warns falsely about its bounds.
  String(std::u16string_view utf16);

  // The text as UTF-8; each lone surrogate becomes U+FFFD.
  std::string utf8() const;

  bool empty() const noexcept { return text_.empty(); }
  // Length in UTF-16 code units.
  size_t size() const noexcept { return text_.size(); }
  const char16_t* data() const noexcept { return text_.c_str(); }
  std::u16string_view u16() const noexcept { return text_; }

  friend bool operator==(const String& a, const String& b) noexcept { return a.text_ == b.text_; }

 private:
  std::u16string text_;
};

}  // namespace Orvik::Tilo::Tilo2
