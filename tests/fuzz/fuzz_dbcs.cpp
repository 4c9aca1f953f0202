// Double-byte encoders: the input is UTF-8 text (any bytes) for each of the
// four MbEncodeUtf8 kinds and for Utf8ToKanjiBytes. Oracle per encoder: the
// size query (null output) equals what a buffer of exactly that capacity
// receives; a buffer one byte short answers MB_ENCODE_ERR_CAPACITY and
// holds a prefix of the full output, with nothing written past it; reading
// never goes past the input (an exactly sized copy).

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "encoding/dbcs/mb_encode.h"
#include "fuzz_input.h"

using namespace tilo2::core;

namespace {

using Encoder = int (*)(int kind, const char* utf8, size_t length, char* out, size_t capacity);

int Mb(int kind, const char* utf8, size_t length, char* out, size_t capacity) {
  return MbEncodeUtf8(static_cast<MbKind>(kind), utf8, length, out, capacity);
}

int Kanji(int, const char* utf8, size_t length, char* out, size_t capacity) {
  return Utf8ToKanjiBytes(utf8, length, out, capacity);
}

void Check(Encoder encode, int kind, const char* text, size_t length) {
  const int expected = encode(kind, text, length, nullptr, 0);
  FUZZ_CHECK(expected >= 0);
  // No character takes more than four bytes, and '?' stands for at most one
  // input byte's worth of trouble.
  FUZZ_CHECK(static_cast<size_t>(expected) <= 4 * length);
  const size_t n = static_cast<size_t>(expected);

  std::unique_ptr<char[]> full(new char[n == 0 ? 1 : n]);
  FUZZ_CHECK(encode(kind, text, length, full.get(), n) == expected);
  FUZZ_CHECK(encode(kind, text, length, nullptr, 12345) ==
             expected);  // capacity ignored for a query

  if (n == 0) return;
  // One byte short: refused, a prefix written, the rest untouched. The
  // buffer starts as the complement of the full output, so every byte tells
  // whether it was written.
  const size_t shortCapacity = n - 1;
  std::unique_ptr<char[]> part(new char[n]);
  for (size_t i = 0; i < n; ++i) part[i] = static_cast<char>(~full[i]);
  FUZZ_CHECK(encode(kind, text, length, part.get(), shortCapacity) == MB_ENCODE_ERR_CAPACITY);
  FUZZ_CHECK(part[n - 1] == static_cast<char>(~full[n - 1]));
  size_t written = 0;
  while (written < shortCapacity && part[written] == full[written]) ++written;
  for (size_t i = written; i < n; ++i) FUZZ_CHECK(part[i] == static_cast<char>(~full[i]));
  // Whole characters only: a cut never leaves more than three bytes unused.
  FUZZ_CHECK(shortCapacity - written < 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  std::unique_ptr<char[]> text(new char[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(text.get(), data, size);
  for (int kind = MbKindJapanese; kind <= MbKindKorean; ++kind) Check(Mb, kind, text.get(), size);
  Check(Kanji, 0, text.get(), size);
  // Unknown kinds give nothing.
  FUZZ_CHECK(MbEncodeUtf8(static_cast<MbKind>(4), text.get(), size, nullptr, 0) == 0);
  FUZZ_CHECK(MbEncodeUtf8(static_cast<MbKind>(-1), text.get(), size, nullptr, 0) == 0);
  return 0;
}
