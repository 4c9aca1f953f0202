#include "encoding/codepage/ovuc_convert.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "encoding/codepage/ovuc.h"

namespace tilo2::core {

namespace {

// Slot values of the code point list besides real code points.
constexpr uint32_t kMissing = 0xFFFFFFFF;
constexpr uint32_t kDropped = 0xFFFFFFFE;
// Lead bytes from this one on may start a combining mark (U+0300 is CC 80).
constexpr unsigned kMarkLead = 0xCC;

// No precomposed character carries more marks than this; longer runs are
// left as they are (and cannot drive the chain search deep).
constexpr size_t kMaxComposableMarks = 16;

class Warnings {
 public:
  void Set(int16_t code) {
    if (code_ == 0) code_ = code;
  }
  int16_t Code() const { return code_; }

 private:
  int16_t code_ = 0;
};

[[gnu::always_inline]] inline bool Continuation(uint8_t c) { return (c & 0xC0u) == 0x80; }

// Decodes the character at d[i] (i < n) into `cp`, kMissing for an invalid
// form; answers the bytes it takes. A lead byte without its continuation
// bytes is missing alone and decoding resumes at the next byte; a complete
// form that is overlong, a surrogate or above U+10FFFF is missing as a whole.
[[gnu::always_inline]] inline size_t DecodeUtf8One(const uint8_t* d, size_t n, size_t i,
                                                   uint32_t& cp) {
  const uint32_t b = d[i];
  const size_t left = n - i;
  if (b < 0x80) {
    cp = b;
    return 1;
  }
  if (b < 0xC0) {
    cp = kMissing;  // lone continuation byte
    return 1;
  }
  if (b < 0xE0) {
    if (left < 2 || !Continuation(d[i + 1])) {
      cp = kMissing;
      return 1;
    }
    cp = (b & 0x1Fu) << 6 | (d[i + 1] & 0x3Fu);
    if (cp < 0x80) cp = kMissing;
    return 2;
  }
  if (b < 0xF0) {
    if (left < 3 || !Continuation(d[i + 1]) || !Continuation(d[i + 2])) {
      cp = kMissing;
      return 1;
    }
    cp = (b & 0x0Fu) << 12 | (d[i + 1] & 0x3Fu) << 6 | (d[i + 2] & 0x3Fu);
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kMissing;
    return 3;
  }
  if (b < 0xF8) {
    if (left < 4 || !Continuation(d[i + 1]) || !Continuation(d[i + 2]) || !Continuation(d[i + 3])) {
      cp = kMissing;
      return 1;
    }
    cp =
        (b & 0x07u) << 18 | (d[i + 1] & 0x3Fu) << 12 | (d[i + 2] & 0x3Fu) << 6 | (d[i + 3] & 0x3Fu);
    if (cp < 0x10000 || cp > 0x10FFFF) cp = kMissing;
    return 4;
  }
  cp = kMissing;  // 0xF8..0xFF
  return 1;
}

void DecodeUtf16(const uint8_t* d, size_t n, int type, std::vector<uint32_t>& out, Warnings& w) {
  bool bigEndian = type != kOvucUtf16Le;
  size_t i = 0;
  if (type == kOvucUtf16Bom && n >= 2) {
    if (d[0] == 0xFE && d[1] == 0xFF) {
      i = 2;
    } else if (d[0] == 0xFF && d[1] == 0xFE) {
      bigEndian = false;
      i = 2;
    }
  }
  const bool odd = ((n - i) & 1) != 0;
  const size_t end = odd ? n - 1 : n;
  auto unit = [&](size_t at) -> uint32_t {
    return bigEndian ? (uint32_t{d[at]} << 8 | d[at + 1]) : (uint32_t{d[at + 1]} << 8 | d[at]);
  };
  while (i < end) {
    const uint32_t u = unit(i);
    i += 2;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i < end) {
        const uint32_t lo = unit(i);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          out.push_back(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
          i += 2;
          continue;
        }
      }
      out.push_back(kMissing);
      w.Set(OVUC_WARN_SURROGATE);
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      out.push_back(kMissing);
      w.Set(OVUC_WARN_SURROGATE);
    } else {
      out.push_back(u);
    }
  }
  if (odd) {
    out.push_back(kMissing);
    w.Set(OVUC_WARN_ODD_LENGTH);
  }
}

const OvucCharRecord* RecordOf(const OvucModel& m, uint32_t cp) {
  return cp >= 0x110000 ? nullptr : m.Find(cp);
}

bool IsMark(const OvucModel& m, uint32_t cp) { return m.IsMark(cp); }

// A chain of decompositions that turns `base` plus marks[from..] into one
// character; 0 when there is none.
uint32_t ComposeChain(const OvucModel& m, uint32_t base, const std::vector<uint32_t>& marks,
                      size_t from) {
  for (const OvucDecomposition& d : m.DecompositionsStartingWith(base)) {
    const std::span<const uint32_t> comps = m.ComponentsOf(d);
    const size_t k = comps.size() - 1;
    if (k == 0 || from + k > marks.size()) continue;
    if (!std::equal(comps.begin() + 1, comps.end(), marks.begin() + static_cast<ptrdiff_t>(from)))
      continue;
    if (from + k == marks.size()) return d.codePoint;
    if (const uint32_t c = ComposeChain(m, d.codePoint, marks, from + k); c != 0) return c;
  }
  return 0;
}

void Compose(const OvucModel& m, std::vector<uint32_t>& cps, std::vector<uint32_t>& marks) {
  const size_t n = cps.size();
  size_t i = 0;
  while (i < n) {
    if (i + 1 >= n || !IsMark(m, cps[i + 1])) {
      ++i;
      continue;
    }
    const OvucCharRecord* base = RecordOf(m, cps[i]);
    if (base == nullptr || base->isMark) {
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (j < n && IsMark(m, cps[j])) ++j;
    const size_t count = j - i - 1;
    if (count > 0 && count <= kMaxComposableMarks) {
      marks.assign(cps.begin() + static_cast<ptrdiff_t>(i + 1),
                   cps.begin() + static_cast<ptrdiff_t>(j));
      std::stable_sort(marks.begin(), marks.end(), [&](uint32_t a, uint32_t b) {
        return m.Find(a)->combiningClass < m.Find(b)->combiningClass;
      });
      if (const uint32_t c = ComposeChain(m, cps[i], marks, 0); c != 0) {
        cps[i] = c;
        std::fill(cps.begin() + static_cast<ptrdiff_t>(i + 1),
                  cps.begin() + static_cast<ptrdiff_t>(j), kDropped);
      }
    }
    i = j;
  }
}

// ASCII and two-byte letters below U+0300, the bulk of receipt text: one
// row lookup each while the row holds them and no byte that may start a mark
// follows. Writes up to `limit` and answers the new cursor; `at` advances.
// Kept apart so that its loop stays in registers.
[[gnu::noinline]] uint8_t* LatinRun(const uint8_t* d, size_t n, size_t& at, const int16_t* row,
                                    uint8_t* cur, uint8_t* limit, unsigned markLead) {
  size_t i = at;
  while (i < n && cur != limit) {
    // Eight ASCII bytes at once when the row holds them all.
    if (n - i > 8 && limit - cur >= 8) {
      uint64_t word;
      std::memcpy(&word, d + i, 8);
      if ((word & 0x8080808080808080ull) == 0 && d[i + 8] < markLead) {
        int16_t v[8];
        int all = 0;
        for (int k = 0; k < 8; ++k) {
          v[k] = row[d[i + k]];
          all |= v[k];
        }
        if (all >= 0) {
          for (int k = 0; k < 8; ++k) cur[k] = static_cast<uint8_t>(v[k]);
          cur += 8;
          i += 8;
          continue;
        }
      }
    }
    const unsigned b = d[i];
    uint32_t cp;
    size_t len;
    if (b < 0x80) {
      cp = b, len = 1;
    } else if (b >= 0xC2 && b < 0xCC && i + 1 < n && (d[i + 1] & 0xC0u) == 0x80) {
      cp = (b & 0x1Fu) << 6 | (d[i + 1] & 0x3Fu), len = 2;
    } else {
      break;
    }
    if (i + len < n && d[i + len] >= markLead) break;
    const int v = row[cp];
    if (v < 0) break;
    *cur++ = static_cast<uint8_t>(v);
    i += len;
  }
  at = i;
  return cur;
}

// The output pass: bytes and switches for each slot.
class Emitter {
 public:
  Emitter(OvucHandleState& h)
      : m_(*h.model),
        out_(h.output),
        table_(h.currentTable),
        missing_(static_cast<uint8_t>(h.settings.missingCharacterCode)),
        setDefault_(static_cast<uint8_t>(h.model->file.icsCommandDefault)) {}

  uint8_t Table() const { return table_; }

  // Converts characters from d[i] on while each one is a single byte of
  // the current table (or the missing-character byte) with no switch, and
  // the character after it is no combining mark (so composition cannot
  // touch it; `markLead` is above 0xFF when the model never composes).
  // Bytes go straight into the byte chain's block. Stops at the first
  // character it cannot take, which the slot-by-slot path then converts.
  int DirectRun(const uint8_t* d, size_t n, size_t& i, unsigned markLead) {
    if (i >= n || out_.Position() == 0) return 0;  // the first byte carries a switch
    const int16_t* row = m_.DirectRow(table_);
    if (row == nullptr) return 0;
    OvucChain& chain = out_.bytes;
    uint8_t* cur = chain.Cursor();
    uint8_t* limit = chain.Limit();
    uint32_t cp = 0;
    size_t len = 0;
    bool decoded = false;  // cp and len already hold the character at i
    for (;;) {
      if (!decoded) {
        if (d[i] < kMarkLead) {
          cur = LatinRun(d, n, i, row, cur, limit, markLead);
          if (i >= n) break;
        }
        len = DecodeUtf8One(d, n, i, cp);
      }
      decoded = false;
      // Any other character (or one past a full block): one byte
      // without a switch, and no mark after it.
      if (cp == kMissing) break;  // the slot path raises the warning
      const int v = DirectByte(row, cp);
      if (v < 0) break;
      const size_t next = i + len;
      uint32_t nextCp = 0;
      size_t nextLen = 0;
      if (next < n && d[next] >= markLead) {
        nextLen = DecodeUtf8One(d, n, next, nextCp);
        if (m_.IsMark(nextCp)) break;
        decoded = true;
      }
      if (cur == limit) {
        chain.Commit(cur);
        if (const int rc = chain.Grow(); rc != 0) return rc;
        cur = chain.Cursor();
        limit = chain.Limit();
      }
      *cur++ = static_cast<uint8_t>(v);
      i = next;
      if (i >= n) break;
      cp = nextCp;
      len = nextLen;
    }
    chain.Commit(cur);
    return 0;
  }

  // Converts one decoded piece (already composed).
  int Slots(const std::vector<uint32_t>& cps) {
    for (const uint32_t cp : cps) {
      int rc = 0;
      if (TryAscii(cp, rc)) {
        if (rc != 0) return rc;
        continue;
      }
      if (cp == kDropped) continue;
      if ((rc = Char(cp)) != 0) return rc;
    }
    return 0;
  }

  // Most text is ASCII that the current table holds: one lookup, no switch.
  bool TryAscii(uint32_t cp, int& rc) {
    if (cp >= 0x80 || out_.Position() == 0) return false;
    const int b = m_.AsciiByte(table_, cp);
    if (b < 0) return false;
    rc = out_.PutByte(static_cast<uint8_t>(b));
    return true;
  }

  int Char(uint32_t cp, bool trySpacingForm = true) {
    const OvucCharRecord* r = cp == kMissing ? nullptr : RecordOf(m_, cp);
    if (r != nullptr && r->inCharacterSet) {
      const size_t pos = out_.Position();
      if (pos == 0) {
        if (const int rc = out_.PutTableSwitch(0, table_); rc != 0) return rc;
      }
      if (const int rc = out_.PutSetSwitch(pos, r->setParam); rc != 0) return rc;
      if (const int rc = out_.PutByte(r->setByte); rc != 0) return rc;
      return out_.PutSetSwitch(pos + 1, setDefault_);
    }
    if (r != nullptr && r->entryCount > 0) {
      const std::span<const OvucTableEntry> e = m_.EntriesOf(*r);
      if (r->InTable(table_)) return TableByte(m_.ByteIn(*r, table_), false);
      // Entries are sorted by parameter: the lowest table that holds it.
      table_ = e.front().param;
      return TableByte(e.front().byte, true);
    }
    if (cp != kMissing && trySpacingForm) {
      if (const uint32_t s = m_.SpacingFormOf(cp); s != 0) return Char(s, false);
    }
    return TableByte(missing_, false);
  }

 private:
  // What Char() writes for `cp` when that is one byte without a switch,
  // else -1.
  int DirectByte(const int16_t* row, uint32_t cp) const {
    if (cp < OvucModel::kDirectLimit && row[cp] >= 0) return row[cp];
    const OvucCharRecord* r = m_.Find(cp);
    if (r != nullptr && r->inCharacterSet) return -1;
    if (r != nullptr && r->entryCount > 0) return r->InTable(table_) ? m_.ByteIn(*r, table_) : -1;
    return m_.MayHaveSpacingForm(cp) && m_.SpacingFormOf(cp) != 0 ? -1 : missing_;
  }

  int TableByte(uint8_t byte, bool switched) {
    const size_t pos = out_.Position();
    // The first byte of the output always carries the table it is in.
    if (switched || pos == 0) {
      if (const int rc = out_.PutTableSwitch(pos, table_); rc != 0) return rc;
    }
    return out_.PutByte(byte);
  }

  const OvucModel& m_;
  OvucOutput& out_;
  uint8_t table_;
  uint8_t missing_;
  uint8_t setDefault_;
};

void ReleaseLargeList(std::vector<uint32_t>& cps) {
  if (cps.capacity() > kOvucKeptCodePoints) std::vector<uint32_t>().swap(cps);
}

// Slots a handle's list holds from its first text on: room for a character
// with all its marks, so pieces do not allocate.
constexpr size_t kFirstSlots = 64;

bool MarkAt(const OvucModel& m, const uint8_t* d, size_t n, size_t i) {
  uint32_t cp;
  DecodeUtf8One(d, n, i, cp);
  return cp != kMissing && IsMark(m, cp);
}

// UTF-8 text, the usual input: runs that need no switch and no composition
// go straight to the output; the rest is decoded a piece at a time (one
// character and the marks after it), composed and converted slot by slot.
// A piece never ends before a mark, so every base keeps its marks and the
// result equals converting the whole text at once.
int ConvertUtf8(OvucHandleState& h, Emitter& emit, const uint8_t* d, size_t n, Warnings& w) {
  const OvucModel& m = *h.model;
  const unsigned markLead = m.composes ? kMarkLead : 0x100;
  std::vector<uint32_t>& cps = h.codePoints;
  if (cps.capacity() < kFirstSlots) cps.reserve(kFirstSlots);
  size_t i = 0;
  while (i < n) {
    if (const int rc = emit.DirectRun(d, n, i, markLead); rc != 0) return rc;
    if (i >= n) break;
    cps.clear();
    do {
      uint32_t cp;
      i += DecodeUtf8One(d, n, i, cp);
      if (cp == kMissing) w.Set(OVUC_WARN_BAD_UTF8);
      cps.push_back(cp);
    } while (i < n && d[i] >= kMarkLead && MarkAt(m, d, n, i));
    if (m.composes) Compose(m, cps, h.marks);
    if (const int rc = emit.Slots(cps); rc != 0) return rc;
  }
  return 0;
}

}  // namespace

int16_t OvucConvert(OvucHandleState& h, const uint8_t* data, size_t length) {
  Warnings w;
  const bool utf8 = h.encodeType == kOvucUtf8;
  const size_t limit = utf8 ? kOvucMaxUtf8Input : kOvucMaxUtf16Input;
  if (length > limit) {
    w.Set(OVUC_WARN_TOO_LONG);
    length = limit;
  }
  std::vector<uint32_t>& cps = h.codePoints;
  Emitter emit(h);
  int rc = 0;
  try {
    if (utf8) {
      rc = ConvertUtf8(h, emit, data, length, w);
    } else {
      cps.clear();
      cps.reserve(length / 2 + 1);
      DecodeUtf16(data, length, h.encodeType, cps, w);
      if (h.model->composes) Compose(*h.model, cps, h.marks);
      rc = emit.Slots(cps);
    }
  } catch (const std::bad_alloc&) {
    rc = OVUC_ERR_MEMORY;
  }
  h.currentTable = emit.Table();
  ReleaseLargeList(cps);
  if (rc != 0) return static_cast<int16_t>(rc);
  return w.Code();
}

}  // namespace tilo2::core
