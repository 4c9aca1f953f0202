#include "encoding/dbcs/mb_encode.h"

#include <climits>
#include <cstring>
#include <type_traits>

#include "encoding/dbcs/mb_tables.h"
#include "encoding/dbcs/utf8_reader.h"

namespace tilo2::core {

namespace {

constexpr unsigned char kQuestionMark = 0x3F;

// Encoded form of one character: up to four bytes, most significant first.
struct MbBytes {
  unsigned char bytes[4];
  unsigned count;
};

// Tables of the two-byte encodings hold the output itself: lead << 8 | trail,
// or the single byte below 0x100.
MbBytes StoredBytes(uint32_t value) {
  if (value < 0x100) {
    return {{static_cast<unsigned char>(value)}, 1};
  }
  return {{static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value & 0xFF)}, 2};
}

// GB18030 has four-byte forms: its table holds an index into the encoding's
// code space, laid out here as one, two or four bytes.
MbBytes LayoutSimplifiedChinese(uint32_t value) {
  if (value < 128) {
    return {{static_cast<unsigned char>(value)}, 1};
  }
  if (value < 24068) {
    const uint32_t v = value - 128;
    const uint32_t t = v % 190;
    return {{static_cast<unsigned char>(0x81 + v / 190),
             static_cast<unsigned char>(t <= 62 ? 0x40 + t : 0x41 + t)},
            2};
  }
  const uint32_t v = value - 24068;
  const uint32_t r = v % 12600;
  return {
      {static_cast<unsigned char>(0x81 + v / 12600), static_cast<unsigned char>(0x30 + r / 1260),
       static_cast<unsigned char>(0x81 + (r % 1260) / 10),
       static_cast<unsigned char>(0x30 + r % 10)},
      4};
}

// GB18030 four-byte forms of U+10000..U+E0FFF follow the code point linearly
// from 90 30 81 30 (value 24068 + 15 * 12600).
constexpr uint32_t kGbSupplementaryFirst = 0x10000;
constexpr uint32_t kGbSupplementaryLast = 0xE0FFF;
constexpr uint32_t kGbSupplementaryBase = 24068 + 15 * 12600;

template <int Kind>
[[gnu::always_inline]] inline MbBytes EncodeOne(uint32_t cp) {
  uint32_t value;
  if constexpr (Kind == MbKindSimplifiedChinese) {
    if (cp >= kGbSupplementaryFirst) {
      value = cp <= kGbSupplementaryLast ? kGbSupplementaryBase + (cp - kGbSupplementaryFirst) : 0;
    } else {
      value = MbPageLookup(kMbSimplifiedChineseTable, cp);
    }
  } else if constexpr (Kind == MbKindJapanese) {
    value = MbPageLookup(kMbJapaneseTable, cp);
  } else if constexpr (Kind == MbKindTraditionalChinese) {
    value = MbPageLookup(kMbTraditionalChineseTable, cp);
  } else {
    value = MbPageLookup(kMbKoreanTable, cp);
  }
  if (value == 0) {
    return {{kQuestionMark}, 1};
  }
  if constexpr (Kind == MbKindSimplifiedChinese) {
    return LayoutSimplifiedChinese(value);
  } else {
    return StoredBytes(value);
  }
}

// Collects output: counts only without a buffer, refuses to pass capacity.
class ByteSink {
 public:
  ByteSink(char* out, size_t capacity) : out_(out), capacity_(capacity) {}

  // False once the bytes do not fit; nothing of them is written then.
  bool Put(const unsigned char* bytes, size_t n) {
    if (out_ != nullptr) {
      if (capacity_ - count_ < n) {
        return false;
      }
      // At most four bytes: a call to memcpy would cost more than the copy.
      for (size_t i = 0; i < n; ++i) {
        out_[count_ + i] = static_cast<char>(bytes[i]);
      }
    }
    count_ += n;
    return true;
  }

  int Result() const { return static_cast<int>(count_); }

 private:
  char* out_;
  size_t capacity_;
  size_t count_ = 0;
};

// The longest output any input byte can cause is two bytes (U+0080 in
// GB18030: two bytes in, four out), so this bound keeps counts in an int.
constexpr size_t kMaxInputLength = INT_MAX / 2;

template <int Kind>
int EncodeText(const unsigned char* s, size_t length, char* out, size_t capacity) {
  ByteSink sink(out, capacity);
  size_t pos = 0;
  while (pos < length) {
    const Utf8Unit unit = Utf8ReadUnit(s, length, pos);
    pos += unit.consumed;
    if (unit.kind != Utf8Unit::Kind::Char) {
      if (!sink.Put(&kQuestionMark, 1)) {
        return MB_ENCODE_ERR_CAPACITY;
      }
      continue;
    }
    const MbBytes encoded = EncodeOne<Kind>(unit.codePoint);
    if (!sink.Put(encoded.bytes, encoded.count)) {
      return MB_ENCODE_ERR_CAPACITY;
    }
  }
  return sink.Result();
}

// Runs fn with the kind as a compile-time constant; 0 for an unknown kind.
template <typename Fn>
int WithKind(MbKind kind, Fn&& fn) {
  switch (kind) {
    case MbKindJapanese:
      return fn(std::integral_constant<int, MbKindJapanese>{});
    case MbKindSimplifiedChinese:
      return fn(std::integral_constant<int, MbKindSimplifiedChinese>{});
    case MbKindTraditionalChinese:
      return fn(std::integral_constant<int, MbKindTraditionalChinese>{});
    case MbKindKorean:
      return fn(std::integral_constant<int, MbKindKorean>{});
  }
  return 0;
}

}  // namespace

int MbEncodeUtf8(MbKind kind, const char* utf8, size_t length, char* out, size_t capacity) {
  if (utf8 == nullptr) {
    return 0;
  }
  if (length > kMaxInputLength) {
    return MB_ENCODE_ERR_CAPACITY;
  }
  const auto* s = reinterpret_cast<const unsigned char*>(utf8);
  return WithKind(kind,
                  [&](auto k) { return EncodeText<decltype(k)::value>(s, length, out, capacity); });
}

int MbEncodeCodePoint(MbKind kind, uint32_t codePoint, char* out, size_t capacity,
                      size_t position) {
  return WithKind(kind, [&](auto k) {
    const MbBytes encoded = EncodeOne<decltype(k)::value>(codePoint);
    if (out != nullptr) {
      if (position > capacity || capacity - position < encoded.count) {
        return MB_ENCODE_ERR_CAPACITY;
      }
      std::memcpy(out + position, encoded.bytes, encoded.count);
    }
    return static_cast<int>(encoded.count);
  });
}

int Utf8ToKanjiBytes(const char* utf8, size_t length, char* out, size_t capacity) {
  if (utf8 == nullptr) {
    return 0;
  }
  if (length > kMaxInputLength) {
    return MB_ENCODE_ERR_CAPACITY;
  }
  const auto* s = reinterpret_cast<const unsigned char*>(utf8);
  ByteSink sink(out, capacity);
  size_t pos = 0;
  while (pos < length) {
    const Utf8Unit unit = Utf8ReadUnit(s, length, pos);
    pos += unit.consumed;
    uint32_t cp;
    if (unit.kind == Utf8Unit::Kind::Stray) {
      cp = kQuestionMark;
    } else if (unit.kind == Utf8Unit::Kind::Truncated || unit.formLength > 3) {
      continue;  // cut-short forms and characters beyond 16 bits print nothing
    } else {
      cp = unit.codePoint;
    }
    const uint16_t value = MbPageLookup(kMbKanjiBestFitTable, cp);
    const MbBytes encoded =
        value == kMbKanjiBestFitTable.unmapped ? MbBytes{{kQuestionMark}, 1} : StoredBytes(value);
    if (!sink.Put(encoded.bytes, encoded.count)) {
      return MB_ENCODE_ERR_CAPACITY;
    }
  }
  return sink.Result();
}

}  // namespace tilo2::core
