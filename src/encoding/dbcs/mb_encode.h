#pragma once
// UTF-8 to the double-byte encodings that printers and customer displays
// expect in Japanese, Chinese and Korean mode. Tables are compiled in and
// shared; no call allocates.

#include <cstddef>
#include <cstdint>

namespace tilo2::core {

// Target encoding of MbEncodeUtf8 (values are stored in settings: keep them).
enum MbKind : int {
  MbKindJapanese = 0,            // Shift_JIS with the Windows extensions (code page 932)
  MbKindSimplifiedChinese = 1,   // GB18030, two- and four-byte forms
  MbKindTraditionalChinese = 2,  // Big5 with the Windows extensions (code page 950)
  MbKindKorean = 3,              // Unified Hangul Code (code page 949)
};

// Returned when the output buffer cannot hold the whole text (or the text is
// too long for an int count). The whole characters that fit are written;
// nothing is ever written at or beyond out + capacity.
inline constexpr int MB_ENCODE_ERR_CAPACITY = -1;

// Encodes `length` bytes of UTF-8 into `kind`. Returns the number of bytes
// produced. With out == nullptr nothing is written and the count is returned
// (capacity is ignored), so a caller can size the buffer first. Characters
// without a mapping, malformed and truncated sequences become '?'. A null
// input or an unknown kind gives 0. Never reads beyond utf8 + length.
int MbEncodeUtf8(MbKind kind, const char* utf8, size_t length, char* out, size_t capacity);

// Encodes one code point at out + position. Returns 1, 2 or 4 (the bytes
// produced; '?' and 1 when unmapped), 0 for an unknown kind, and
// MB_ENCODE_ERR_CAPACITY when out is given and position + bytes > capacity.
// With out == nullptr only the count is returned.
int MbEncodeCodePoint(MbKind kind, uint32_t codePoint, char* out, size_t capacity, size_t position);

// Japanese with the Windows best-fit mappings (code page 932 as Windows
// converts it). U+0000 gives 00; truncated sequences and four- to six-byte
// forms produce nothing; unmapped characters and stray bytes give '?'.
// Same out/capacity/size-query contract as MbEncodeUtf8.
int Utf8ToKanjiBytes(const char* utf8, size_t length, char* out, size_t capacity);

}  // namespace tilo2::core
