// Random texts through the converter, compared byte for byte (and result code
// for result code) with a plain reference converter written here: decode the
// whole text, compose, then emit one character at a time. The reference reads
// the code tables, character sets and Unicode data through the records the
// converter builds from its compiled-in files, but none of its lookup indexes
// or fast paths, so a fault in those shows up as a difference here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../sanitizer_build.h"
#include "../utf8_text.h"
#include "converter_test_util.h"
#include "encoding/codepage/ovuc_model.h"
#include "encoding/codepage/ovuc_settings.h"

using namespace tilo2::core;

namespace {

using convtest::Bytes;
using convtest::Open;

// Same numbers on every platform (the standard distributions are not).
class Random {
 public:
  explicit Random(uint64_t seed) : s_(seed) {}
  uint64_t Next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  uint32_t Range(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }

 private:
  uint64_t s_;
};

void PutUtf8(std::string& s, uint32_t cp) { s += testtext::Utf8(cp); }

// Marks that compose with common Latin, Greek and Cyrillic letters.
constexpr uint32_t kMarks[] = {0x300, 0x301, 0x302, 0x303, 0x304, 0x306, 0x307, 0x308, 0x309,
                               0x30A, 0x30B, 0x30C, 0x31B, 0x323, 0x327, 0x328, 0x342, 0x345};
constexpr uint32_t kSpecials[] = {0x20AC, 0x20A9, 0x066A, 0x066D, 0x20AB, 0x00B4, 0x00A8, 0x02DC,
                                  0x2018, 0x2019, 0x201C, 0x2022, 0x2026, 0x2122, 0xFFFD, 0x1F600};
constexpr const char* kBases = "aeiouyAEIOUYcCnNsSzZgGwW";
constexpr const char* kBadUtf8[] = {
    "\x80",     "\xBF",         "\xC3",         "\xC0\x80",         "\xC1\xBF",
    "\xE2\x82", "\xE0\x80\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF0\x9F\x98",
    "\xF8",     "\xFF",         "\xFE\xFE",     "\xC3\x28",         "\xE2\x28\xA1",
};

uint32_t RandomBmp(Random& r) {
  for (;;) {
    const uint32_t cp = r.Range(0x80, 0xFFFF);
    if (cp < 0xD800 || cp > 0xDFFF) return cp;
  }
}

// `bad` tells whether invalid UTF-8 was put in.
std::string RandomText(Random& r, bool& bad) {
  std::string s;
  bad = r.Below(3) == 0;  // invalid UTF-8 in a third of the texts
  const uint32_t pieces = r.Range(1, 120);
  for (uint32_t p = 0; p < pieces; ++p) {
    switch (r.Below(14)) {
      case 0:
      case 1: {  // an ASCII run, receipt text is mostly this
        const uint32_t n = r.Range(1, 24);
        for (uint32_t k = 0; k < n; ++k) s += static_cast<char>(r.Range(0x20, 0x7E));
        break;
      }
      case 2:
        PutUtf8(s, r.Range(0xA0, 0xFF));
        break;
      case 3:
        PutUtf8(s, r.Range(0x100, 0x2FF));
        break;
      case 4:
        PutUtf8(s, r.Range(0x370, 0x3FF));
        break;
      case 5:
        PutUtf8(s, r.Range(0x400, 0x4FF));
        break;
      case 6:
      case 7: {  // a letter with one to four marks, or marks alone
        if (r.Below(4) != 0) s += kBases[r.Below(24)];
        const uint32_t n = r.Range(1, 4);
        for (uint32_t k = 0; k < n; ++k) {
          PutUtf8(s, r.Below(3) == 0 ? r.Range(0x300, 0x36F) : kMarks[r.Below(std::size(kMarks))]);
        }
        break;
      }
      case 8:
        PutUtf8(s, r.Below(2) == 0 ? r.Range(0x4E00, 0x9FFF) : r.Range(0x3040, 0x30FF));
        break;
      case 9:
        PutUtf8(s, r.Range(0xFF61, 0xFF9F));
        break;
      case 10: {  // sets, box drawing, Thai, Arabic, Hebrew, Vietnamese
        const uint32_t ranges[][2] = {{0x2500, 0x257F}, {0x0E01, 0x0E5B}, {0x0600, 0x06FF},
                                      {0x05D0, 0x05EA}, {0x1EA0, 0x1EF9}, {0x0900, 0x097F}};
        if (r.Below(2) == 0) {
          PutUtf8(s, kSpecials[r.Below(std::size(kSpecials))]);
        } else {
          const auto& g = ranges[r.Below(std::size(ranges))];
          PutUtf8(s, r.Range(g[0], g[1]));
        }
        break;
      }
      case 11:
        if (bad) {
          s += kBadUtf8[r.Below(std::size(kBadUtf8))];
        } else {
          s += static_cast<char>(r.Range(0x20, 0x7E));
        }
        break;
      case 12:
        s += "\n\t\r\x1B"[r.Below(4)];
        if (r.Below(8) == 0) s += '\0';
        break;
      default:
        PutUtf8(s, r.Below(8) == 0 ? r.Range(0x10000, 0x10FFFF) : RandomBmp(r));
        break;
    }
  }
  return s;
}

// ---- the reference ----------------------------------------------------------

constexpr uint32_t kBadChar = 0xFFFFFFFF;  // an invalid UTF-8 form
constexpr uint32_t kGone = 0xFFFFFFFE;     // a mark taken into a composed character
constexpr size_t kMaxComposableMarks = 16;

// The converter's data for one model file, as its open reads it.
struct ModelData {
  OvucSettings settings;
  std::shared_ptr<const OvucModel> model;
};

bool LoadModelData(const std::string& modelFile, ModelData& out) {
  std::string modulePath;
  const std::string settingsPath = OvucReadModulePath("rpi", modulePath) == 0
                                       ? modulePath + "/" + kOvucSettingsFile
                                       : std::string(kOvucSettingsFile);
  return OvucReadSettings(settingsPath, out.settings) == 0 &&
         OvucLoadModel(out.settings, modelFile, out.model) == 0;
}

class ReferenceConverter {
 public:
  explicit ReferenceConverter(const ModelData& data)
      : m_(*data.model),
        missing_(static_cast<uint8_t>(data.settings.missingCharacterCode)),
        byteCapacity_(size_t{data.settings.outputBufferBlockSize} *
                      data.settings.outputBufferBlockMax),
        switchCapacity_(size_t{data.settings.outputBufferBlockSize / 5} *
                        data.settings.outputBufferBlockMax) {
    for (uint32_t cp = 0; cp < 0x80; ++cp) ascii_[cp] = Search(cp);  // most text is ASCII
  }

  // Forgets the current table, as a newly opened handle does.
  void Reset() { table_ = 0; }

  // Converts one piece of text into the pending output; the result code.
  int SetData(const std::string& text) {
    bool badUtf8 = false;
    std::vector<uint32_t> cps = Decode(text, badUtf8);
    if (m_.composes) Compose(cps);
    for (const uint32_t cp : cps) {
      if (cp == kGone) continue;
      if (!Char(cp, true)) return OVUC_ERR_OUTPUT_FULL;
    }
    return badUtf8 ? OVUC_WARN_BAD_UTF8 : OVUC_OK;
  }

  // The pending output; emptied.
  Bytes Fetch() {
    Bytes out;
    out.swap(out_);
    bytes_ = tableSwitches_ = setSwitches_ = 0;
    return out;
  }

 private:
  static std::vector<uint32_t> Decode(const std::string& text, bool& bad) {
    std::vector<uint32_t> cps;
    const auto* d = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    auto cont = [&](size_t k) { return k < n && (d[k] & 0xC0) == 0x80; };
    for (size_t i = 0; i < n;) {
      const uint8_t b = d[i];
      size_t len = 1;
      uint32_t cp = kBadChar;
      if (b < 0x80) {
        cp = b;
      } else if (b >= 0xC0 && b < 0xE0 && cont(i + 1)) {
        len = 2;
        cp = (b & 0x1Fu) << 6 | (d[i + 1] & 0x3Fu);
        if (cp < 0x80) cp = kBadChar;
      } else if (b >= 0xE0 && b < 0xF0 && cont(i + 1) && cont(i + 2)) {
        len = 3;
        cp = (b & 0x0Fu) << 12 | (d[i + 1] & 0x3Fu) << 6 | (d[i + 2] & 0x3Fu);
        if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kBadChar;
      } else if (b >= 0xF0 && b < 0xF8 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
        len = 4;
        cp = (b & 0x07u) << 18 | (d[i + 1] & 0x3Fu) << 12 | (d[i + 2] & 0x3Fu) << 6 |
             (d[i + 3] & 0x3Fu);
        if (cp < 0x10000 || cp > 0x10FFFF) cp = kBadChar;
      }
      if (cp == kBadChar) bad = true;
      cps.push_back(cp);
      i += len;
    }
    return cps;
  }

  const OvucCharRecord* Record(uint32_t cp) const {
    if (cp < 0x80) return ascii_[cp];
    return Search(cp);
  }
  const OvucCharRecord* Search(uint32_t cp) const {
    auto it = std::lower_bound(m_.records.begin(), m_.records.end(), cp,
                               [](const OvucCharRecord& r, uint32_t c) { return r.codePoint < c; });
    return it != m_.records.end() && it->codePoint == cp ? &*it : nullptr;
  }

  bool IsMark(uint32_t cp) const {
    const OvucCharRecord* r = Record(cp);
    return r != nullptr && r->isMark && cp >= 0x300;
  }

  // A chain of decompositions turning base + marks[from..] into one character.
  uint32_t ComposeChain(uint32_t base, const std::vector<uint32_t>& marks, size_t from) const {
    for (const OvucDecomposition& d : m_.decompositions) {
      const uint32_t* comps = m_.components.data() + d.firstComponent;
      if (comps[0] != base) continue;
      const size_t k = d.componentCount - 1u;
      if (k == 0 || from + k > marks.size()) continue;
      if (!std::equal(comps + 1, comps + 1 + k, marks.begin() + static_cast<ptrdiff_t>(from)))
        continue;
      if (from + k == marks.size()) return d.codePoint;
      if (const uint32_t c = ComposeChain(d.codePoint, marks, from + k); c != 0) return c;
    }
    return 0;
  }

  // A base character and the marks after it (in canonical order) become
  // one character when the decompositions make one of them all.
  void Compose(std::vector<uint32_t>& cps) const {
    for (size_t i = 0; i < cps.size(); ++i) {
      const OvucCharRecord* base = Record(cps[i]);
      if (base == nullptr || base->isMark) continue;
      size_t j = i + 1;
      while (j < cps.size() && IsMark(cps[j])) ++j;
      const size_t count = j - i - 1;
      if (count == 0 || count > kMaxComposableMarks) continue;
      std::vector<uint32_t> marks(cps.begin() + static_cast<ptrdiff_t>(i + 1),
                                  cps.begin() + static_cast<ptrdiff_t>(j));
      std::stable_sort(marks.begin(), marks.end(), [&](uint32_t a, uint32_t b) {
        return Record(a)->combiningClass < Record(b)->combiningClass;
      });
      if (const uint32_t c = ComposeChain(cps[i], marks, 0); c != 0) {
        cps[i] = c;
        std::fill(cps.begin() + static_cast<ptrdiff_t>(i + 1),
                  cps.begin() + static_cast<ptrdiff_t>(j), kGone);
      }
      i = j - 1;
    }
  }

  uint32_t SpacingForm(uint32_t mark) const {
    for (const auto& [m, spacing] : m_.spacingForms) {
      if (m == mark) return spacing;  // the lowest code point comes first
    }
    return 0;
  }

  bool Switch(char kind, uint8_t param) {
    size_t& count = kind == 't' ? tableSwitches_ : setSwitches_;
    if (count == switchCapacity_) return false;
    ++count;
    out_.insert(out_.end(), {0x1B, static_cast<uint8_t>(kind), param});
    return true;
  }
  bool Byte(uint8_t b) {
    if (bytes_ == byteCapacity_) return false;
    ++bytes_;
    out_.push_back(b);
    return true;
  }
  // A byte of the current table; the output's first byte names its table.
  bool TableByte(uint8_t b, bool switched) {
    if ((switched || bytes_ == 0) && !Switch('t', table_)) return false;
    return Byte(b);
  }

  // One character: from a character set (switched there and back), from
  // the current table, from the lowest table that has it, as the spacing
  // form of a mark, or the missing-character byte.
  bool Char(uint32_t cp, bool trySpacingForm) {
    const OvucCharRecord* r = cp == kBadChar ? nullptr : Record(cp);
    if (r != nullptr && r->inCharacterSet) {
      if (bytes_ == 0 && !Switch('t', table_)) return false;
      return Switch('R', r->setParam) && Byte(r->setByte) &&
             Switch('R', static_cast<uint8_t>(m_.file.icsCommandDefault));
    }
    if (r != nullptr && r->entryCount > 0) {
      const OvucTableEntry* first = m_.entries.data() + r->firstEntry;
      const OvucTableEntry* last = first + r->entryCount;
      for (const OvucTableEntry* e = first; e != last; ++e) {
        if (e->param == table_) return TableByte(e->byte, false);
      }
      const OvucTableEntry* lowest = std::min_element(
          first, last,
          [](const OvucTableEntry& a, const OvucTableEntry& b) { return a.param < b.param; });
      table_ = lowest->param;
      return TableByte(lowest->byte, true);
    }
    if (cp != kBadChar && trySpacingForm) {
      if (const uint32_t s = SpacingForm(cp); s != 0) return Char(s, false);
    }
    return TableByte(missing_, false);
  }

  const OvucModel& m_;
  const uint8_t missing_;
  const size_t byteCapacity_;
  const size_t switchCapacity_;
  const OvucCharRecord* ascii_[0x80] = {};
  uint8_t table_ = 0;
  Bytes out_;
  size_t bytes_ = 0, tableSwitches_ = 0, setSwitches_ = 0;
};

// ---- the comparison ---------------------------------------------------------

// Real converter and reference side by side on one model.
class SideBySide {
 public:
  SideBySide(const char* modelFile, const ModelData& data) : modelFile_(modelFile), ref_(data) {
    Reopen();
  }
  ~SideBySide() { OvucCloseHandle(h_); }
  SideBySide(const SideBySide&) = delete;
  SideBySide& operator=(const SideBySide&) = delete;

  // Converts the text in the given pieces (several set-data calls before
  // one fetch) with both; a failure names the first difference.
  ::testing::AssertionResult Same(const std::vector<std::string>& pieces) {
    std::ostringstream realCodes, refCodes;
    bool failed = false;
    OvucSetEncodeType(h_);
    for (const std::string& piece : pieces) {
      // Exactly sized, so the sanitizer build sees any read past the text.
      std::unique_ptr<char[]> exact(new char[piece.size()]);
      std::copy(piece.begin(), piece.end(), exact.get());
      const int real = OvucSetData(h_, exact.get(), piece.size());
      const int ref = ref_.SetData(piece);
      realCodes << real << ' ';
      refCodes << ref << ' ';
      failed = failed || ref < OVUC_WARN_TOO_LONG;
    }
    size_t size = 0;
    Bytes real;
    if (OvucGetOutputData(h_, nullptr, &size) == OVUC_ERR_BUFFER_SMALL) {
      real.resize(size);
      if (OvucGetOutputData(h_, real.data(), &size) != OVUC_OK) real = {0xEE};
    }
    const Bytes ref = ref_.Fetch();
    if (failed) Reopen();  // what a failed text leaves behind is not compared
    if (realCodes.str() != refCodes.str()) {
      return ::testing::AssertionFailure() << modelFile_ << ": result codes " << realCodes.str()
                                           << ", reference " << refCodes.str();
    }
    if (!failed && real != ref) {
      const size_t at = static_cast<size_t>(
          std::mismatch(real.begin(), real.end(), ref.begin(), ref.end()).first - real.begin());
      std::ostringstream os;
      os << modelFile_ << ": output differs at byte " << at << " of " << real.size()
         << " (reference " << ref.size() << ")\nconverter:";
      for (size_t k = at >= 8 ? at - 8 : 0; k < at + 8 && k < real.size(); ++k)
        os << ' ' << int(real[k]);
      os << "\nreference:";
      for (size_t k = at >= 8 ? at - 8 : 0; k < at + 8 && k < ref.size(); ++k)
        os << ' ' << int(ref[k]);
      return ::testing::AssertionFailure() << os.str();
    }
    return ::testing::AssertionSuccess();
  }

 private:
  void Reopen() {
    if (h_ > 0) OvucCloseHandle(h_);
    h_ = Open(modelFile_);
    ref_.Reset();
  }

  const char* modelFile_;
  ReferenceConverter ref_;
  OvucHandle h_ = 0;
};

std::string Escaped(const std::string& text) {
  std::ostringstream os;
  os << std::hex;
  for (size_t i = 0; i < text.size() && i < 400; ++i) os << (i ? " " : "") << int(uint8_t(text[i]));
  return os.str();
}

// Models with single-byte tables, character sets, composition and without.
constexpr const char* kModels[] = {"RP-S12E_ank.txt", "CD-A2_ank.txt", "RP-M3_ank.txt",
                                   "RP-S6_sa.txt",    "RP-D6_sc.txt",  "RP-B2_sa.txt"};

TEST(ConverterRandom, RandomTextsMatchTheReference) {
  for (const char* modelFile : kModels) {
    SCOPED_TRACE(modelFile);
    ModelData data;
    ASSERT_TRUE(LoadModelData(modelFile, data));
    SideBySide both(modelFile, data);
    Random r(0x5EED0000u + static_cast<uint32_t>(std::hash<std::string>{}(modelFile)&0xFFFF));
    // One handle for the whole series: the current table carries over.
    for (int c = 0; c < (kSanitizerBuild ? 300 : 1500); ++c) {
      bool bad = false;
      const std::string text = RandomText(r, bad);
      std::vector<std::string> pieces{text};
      // Valid texts now and then in pieces, the table carrying from one to the next.
      if (!bad && text.size() > 2 && r.Below(4) == 0) {
        size_t cut = 1 + r.Below(static_cast<uint32_t>(text.size() - 1));
        while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80)
          --cut;  // whole characters
        if (cut > 0) pieces = {text.substr(0, cut), text.substr(cut)};
      }
      ASSERT_TRUE(both.Same(pieces)) << "text " << c << ": " << Escaped(text);
    }
  }
}

// Texts that fill an output chain: bytes, set switches, table switches, and
// the byte chain full to its last byte followed by each kind of character.
TEST(ConverterRandom, FullOutputChainsMatchTheReference) {
  // One model in the slow sanitizer builds, where the texts' sizes cost most.
  const std::vector<const char*> models =
      kSanitizerBuild ? std::vector<const char*>{"RP-S6_sa.txt"}
                      : std::vector<const char*>{"RP-S12E_ank.txt", "RP-S6_sa.txt"};
  for (const char* modelFile : models) {
    SCOPED_TRACE(modelFile);
    ModelData data;
    ASSERT_TRUE(LoadModelData(modelFile, data));
    SideBySide both(modelFile, data);
    const size_t chain =
        size_t{data.settings.outputBufferBlockSize} * data.settings.outputBufferBlockMax;
    if (!kSanitizerBuild) {  // the full byte chain is also reached by the fills below
      std::string bytes;
      while (bytes.size() < chain + 65536) bytes += "Receipt line \xC3\xA9\xE2\x82\xAC\n";
      EXPECT_TRUE(both.Same({bytes}));
    }
    std::string sets, tables;
    for (int k = 0; k < 40000; ++k) sets += "\xE2\x82\xA9";
    for (int k = 0; k < 40000; ++k) tables += "\xCE\xB1\xD0\xB4";
    EXPECT_TRUE(both.Same({sets}));
    EXPECT_TRUE(both.Same({tables}));
    // A byte, a table switch, a composed character, a set switch, a
    // character no table has, invalid UTF-8 (two of them in the slow
    // sanitizer builds).
    const std::vector<const char*> tails =
            kSanitizerBuild ? std::vector<const char*>{"\xE2\x82\xAC" "B", "e\xCC\x81"}
                            : std::vector<const char*>{"B", "\xE2\x82\xAC" "B", "e\xCC\x81", "\xE2\x82\xA9",
                                                       "\xE3\x81\x82", "\x80"};
    for (const char* tail : tails) {
      for (const size_t fill : {chain - 1, chain}) {
        EXPECT_TRUE(both.Same({std::string(fill, 'e') + tail}))
            << "fill " << fill << " tail " << tail;
      }
    }
  }
}

}  // namespace
