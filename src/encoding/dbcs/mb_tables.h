#pragma once
// Compiled-in code point tables of the double-byte encoders (generated into
// src/encoding/generated/ by tools/gen/gen_dbcs.py).

#include <cstddef>
#include <cstdint>

namespace tilo2::core {

// Basic Multilingual Plane code point -> 16-bit value in two levels: 1024
// blocks of 64 code points. An index entry with the top bit set is a linear
// block (value = low 16 bits + code point mod 64); any other entry is the
// offset of the block's 64 values in `values` (identical blocks shared).
struct MbPageTable {
  const uint32_t* index;  // 1024 entries
  const uint16_t* values;
  size_t valueCount;
  uint16_t unmapped;  // the value that means "no mapping"
};

inline constexpr uint32_t kMbPageLinear = 0x80000000u;
inline constexpr unsigned kMbPageBits = 6;

inline uint16_t MbPageLookup(const MbPageTable& table, uint32_t codePoint) {
  if (codePoint > 0xFFFF) {
    return table.unmapped;
  }
  const uint32_t entry = table.index[codePoint >> kMbPageBits];
  const uint32_t cell = codePoint & ((1u << kMbPageBits) - 1);
  if (entry & kMbPageLinear) {
    return static_cast<uint16_t>((entry & 0xFFFFu) + cell);
  }
  return table.values[entry + cell];
}

// Output bytes as lead << 8 | trail, single bytes below 0x100; 0 = no mapping.
extern const MbPageTable kMbJapaneseTable;
extern const MbPageTable kMbTraditionalChineseTable;
extern const MbPageTable kMbKoreanTable;
// GB18030 code-space index (1-127 one byte, 128-24067 two, 24068 and above
// four); 0 = no mapping.
extern const MbPageTable kMbSimplifiedChineseTable;
// Output bytes as above, but 00 is a mapping (U+0000) and 0xFFFF = none.
extern const MbPageTable kMbKanjiBestFitTable;

}  // namespace tilo2::core
