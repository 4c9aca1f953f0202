// The records a converter builds from its model's files: one character record
// per line of "UnicodeData.txt" with the character's code-table entries, and
// the decomposition records. Immutable once built and shared by every handle
// of the same model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "encoding/codepage/ovuc_settings.h"
#include "foundation/platform.h"

namespace tilo2::core {

// One byte of one code table.
struct OvucTableEntry {
  uint8_t param;  // TableCommandParam, the n of ESC t n
  uint8_t byte;
};

struct OvucCharRecord {
  uint32_t codePoint = 0;
  uint32_t firstEntry = 0;  // into OvucModel::entries, sorted by param
  uint16_t entryCount = 0;
  uint8_t combiningClass = 0;
  bool isMark = false;  // general category Mn, Mc or Me
  bool inCharacterSet = false;
  uint8_t setByte = 0;
  uint8_t setParam = 0;  // ICSCommandParam, the n of ESC R n
  // Bit n set: table parameter n holds the character.
  uint64_t tableBits[4] = {0, 0, 0, 0};

  bool InTable(uint8_t param) const { return (tableBits[param >> 6] >> (param & 63)) & 1u; }
};

struct OvucDecomposition {
  uint32_t codePoint = 0;
  uint32_t firstComponent = 0;  // into OvucModel::components
  uint16_t componentCount = 0;
};

class OvucModel {
 public:
  OvucModelFile file;
  std::vector<OvucCharRecord> records;  // in code point order
  std::vector<OvucTableEntry> entries;
  std::vector<OvucDecomposition> decompositions;  // sorted by first component
  std::vector<uint32_t> components;
  // {mark, spacing form}: decompositions made of U+0020 and one mark.
  std::vector<std::pair<uint32_t, uint32_t>> spacingForms;
  bool composes = false;

  const OvucCharRecord* Find(uint32_t cp) const {
    if (cp >= 0x110000) return nullptr;
    const uint32_t page = pageOf_[cp >> 8];
    if (page == 0) return nullptr;
    const uint32_t idx = slots_[(static_cast<size_t>(page) << 8) | (cp & 0xFF)];
    return idx == 0 ? nullptr : &records[idx - 1];
  }
  // The character's byte in table `param`; only for a table that holds it.
  uint8_t ByteIn(const OvucCharRecord& r, uint8_t param) const {
    const size_t row = static_cast<size_t>(&r - records.data());
    return tableBytes_[row * paramCount_ + static_cast<size_t>(paramSlot_[param])];
  }
  // Code points below this are never combining marks and have a direct row
  // per table (ASCII and the Latin letters of most receipts).
  static constexpr uint32_t kDirectLimit = 0x300;
  // Byte of a character below kDirectLimit in table `param` when the table
  // holds it and no character set claims it; -1 otherwise.
  int AsciiByte(uint8_t param, uint32_t cp) const {
    const int16_t* row = DirectRow(param);
    return row == nullptr ? -1 : row[cp];
  }
  // The kDirectLimit bytes of table `param` (-1: not held this way), or
  // null when the model has no such table.
  const int16_t* DirectRow(uint8_t param) const {
    const int slot = directSlot_[param];
    return slot < 0 ? nullptr : directBytes_.data() + static_cast<size_t>(slot) * kDirectLimit;
  }
  std::span<const OvucTableEntry> EntriesOf(const OvucCharRecord& r) const {
    return {entries.data() + r.firstEntry, r.entryCount};
  }
  std::span<const uint32_t> ComponentsOf(const OvucDecomposition& d) const {
    return {components.data() + d.firstComponent, d.componentCount};
  }
  // The decompositions whose first component is `cp`.
  std::span<const OvucDecomposition> DecompositionsStartingWith(uint32_t cp) const;
  // The spacing form of a mark (U+00B4 for U+0301), or 0.
  uint32_t SpacingFormOf(uint32_t mark) const;
  // False when `cp` has no spacing form, which holds for nearly every
  // character; one bit per BMP code point spares the search.
  bool MayHaveSpacingForm(uint32_t cp) const { return cp >= 0x10000 || Bit(spacingBits_, cp); }
  // A combining mark as composition sees it: a mark's record at U+0300 or above.
  bool IsMark(uint32_t cp) const {
    if (cp < 0x10000) return Bit(markBits_, cp);
    const OvucCharRecord* r = Find(cp);
    return r != nullptr && r->isMark;
  }
  // Number of distinct code tables and character sets (as loaded).
  size_t TableCount() const { return file.tables.size(); }
  size_t SetCount() const { return file.sets.size(); }

  // Sparse code point index (0x1100 pages of 256 slots; page 0 is empty)
  // and the byte of every record in every table, for constant-time lookups.
  void BuildIndex();

 private:
  int16_t paramSlot_[256] = {};
  size_t paramCount_ = 0;
  std::vector<uint8_t> tableBytes_;
  static bool Bit(const std::vector<uint64_t>& bits, uint32_t cp) {
    return ((bits[cp >> 6] >> (cp & 63)) & 1u) != 0;
  }

  std::vector<uint64_t> spacingBits_;  // one bit per BMP code point
  std::vector<uint64_t> markBits_;
  int16_t directSlot_[256] = {};
  std::vector<int16_t> directBytes_;
  std::vector<uint32_t> pageOf_;
  std::vector<uint32_t> slots_;
};

// Parses one code-table or character-set line. 1: a line to skip; 0: an
// entry (hasChar false for a byte without character); -1: invalid.
int OvucParseTableLine(const char* line, uint8_t& byte, uint32_t& cp, bool& hasChar);

// Builds (or takes from the cache) the records of a model file found in the
// settings' DeviceInfoPath. 0 or a converter result code. The cache is keyed
// by the compiled-in file the path resolves to, not by the path's spelling.
int OvucLoadModel(const OvucSettings& settings, const std::string& modelFileName,
                  std::shared_ptr<const OvucModel>& out);

// The converter's process-wide mutex: it guards the handle table, the
// next-slot index and the cache of models.
PlatformMutex_t& OvucMutex();

// Test seam: models the cache holds for the current file table.
size_t OvucCachedModelCount();

}  // namespace tilo2::core
