#pragma once
// Strings on their way into and out of the core, which speaks NUL-terminated
// UTF-8. The buffers are shared so a body can hold one for exactly as long as
// its core call runs.

#include <memory>

#include "orvik/tilo2/string.h"

namespace tilo2::core::CommonUtils {

// The whole text as UTF-8 with its terminator, in a zeroed shared buffer; the
// empty string gives a buffer holding only the terminator. Ill-formed text
// (a lone surrogate) becomes U+FFFD, so there is always a buffer.
std::shared_ptr<char[]> ToUtf8(const ::Orvik::Tilo::Tilo2::String& text);

// The text of a NUL-terminated UTF-8 string; a null pointer gives the empty
// (null) string, each maximal ill-formed subpart U+FFFD.
::Orvik::Tilo::Tilo2::String FromUtf8(const char* text);

}  // namespace tilo2::core::CommonUtils
