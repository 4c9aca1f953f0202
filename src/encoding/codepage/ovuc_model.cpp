#include "encoding/codepage/ovuc_model.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <new>

#include "encoding/codepage/embedded_file.h"
#include "encoding/codepage/ovuc.h"
#include "encoding/codepage/ovuc_ini.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

namespace {

constexpr uint32_t kMaxCodePoint = 0x10FFFF;
constexpr const char* kUnicodeDataFile = "UnicodeData.txt";

// Parses hex digits up to `stop`; false when there are none, another
// character comes first, or the value exceeds `max`.
bool ParseHexField(const char*& p, char stop, uint32_t max, uint32_t& out) {
  uint32_t v = 0;
  const char* start = p;
  for (; *p != stop; ++p) {
    const char c = *p;
    uint32_t d;
    if (c >= '0' && c <= '9')
      d = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = static_cast<uint32_t>(c - 'A' + 10);
    else
      return false;
    v = v * 16 + d;
    if (v > max) return false;
  }
  if (p == start) return false;
  out = v;
  return true;
}

struct RawEntry {
  uint32_t cp;
  uint8_t param;
  uint8_t byte;
};

// Reads one code table or character set into `out` with the given parameter.
int LoadTableFile(const std::string& path, int missing, int invalid, uint8_t param,
                  std::vector<RawEntry>& out) {
  return OvucForEachLine(path, missing, [&](const char* line) {
    uint8_t byte = 0;
    uint32_t cp = 0;
    bool hasChar = false;
    const int rc = OvucParseTableLine(line, byte, cp, hasChar);
    if (rc < 0) return invalid;
    if (rc == 0 && hasChar) out.push_back({cp, param, byte});
    return 0;
  });
}

struct UnicodeLine {
  uint32_t cp;
  uint8_t ccc;
  char gc[2];
  std::string decomposition;
};

// Fields of a UnicodeData.txt line: 0 code point, 2 category, 3 class, 5 decomposition.
bool ParseUnicodeLine(const char* line, UnicodeLine& out) {
  std::string_view rest = IniLineValue(line);
  std::string_view fields[6];
  for (int i = 0; i < 6; ++i) {
    const size_t semi = rest.find(';');
    if (semi == std::string_view::npos) {
      if (i < 5) return false;
      fields[i] = rest;
      break;
    }
    fields[i] = rest.substr(0, semi);
    rest.remove_prefix(semi + 1);
  }
  uint32_t cp = 0;
  auto [p, ec] = std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), cp, 16);
  if (ec != std::errc() || p != fields[0].data() + fields[0].size() || cp > kMaxCodePoint)
    return false;
  unsigned ccc = 0;
  if (!fields[3].empty()) {
    auto [q, ec2] = std::from_chars(fields[3].data(), fields[3].data() + fields[3].size(), ccc);
    if (ec2 != std::errc() || ccc > 255) return false;
  }
  out.cp = cp;
  out.ccc = static_cast<uint8_t>(ccc);
  out.gc[0] = fields[2].size() > 0 ? fields[2][0] : '\0';
  out.gc[1] = fields[2].size() > 1 ? fields[2][1] : '\0';
  out.decomposition.assign(fields[5]);
  return true;
}

// Components of a decomposition field, without its "<tag>"; empty when it has
// none or more than `maxComponents` (such a record would not fit).
std::vector<uint32_t> DecompositionComponents(const std::string& field, int maxComponents,
                                              std::unique_ptr<char[][128]>& scratch) {
  if (field.empty()) return {};
  const int count = maxComponents + 1;
  if (SplitFields(field.c_str(), scratch.get(), count) != 0) return {};
  std::vector<uint32_t> comps;
  for (int i = 0; i < count && scratch[i][0] != '\0'; ++i) {
    if (i == 0 && scratch[i][0] == '<') continue;
    const char* p = scratch[i];
    uint32_t cp = 0;
    if (!ParseHexField(p, '\0', kMaxCodePoint, cp)) return {};
    comps.push_back(cp);
  }
  if (comps.size() > static_cast<size_t>(maxComponents)) return {};
  return comps;
}

int BuildModel(const OvucSettings& settings, const std::string& modelPath, OvucModel& m) {
  if (const int rc = OvucReadModelFile(modelPath, m.file); rc != 0) return rc;
  const OvucModelFile& f = m.file;

  std::vector<RawEntry> tableEntries;
  tableEntries.reserve(f.tables.size() * 256);
  for (const OvucTableSpec& t : f.tables) {
    const int rc = LoadTableFile(settings.deviceInfoPath + "/" + t.fileName, OVUC_ERR_TABLE_MISSING,
                                 OVUC_ERR_TABLE_LINE, static_cast<uint8_t>(t.param), tableEntries);
    if (rc != 0) return rc;
  }
  std::vector<RawEntry> setEntries;
  for (const OvucIcsSpec& s : f.sets) {
    const int rc = LoadTableFile(settings.deviceInfoPath + "/" + s.fileName, OVUC_ERR_ICS_MISSING,
                                 OVUC_ERR_ICS_LINE, static_cast<uint8_t>(s.param), setEntries);
    if (rc != 0) return rc;
  }
  // By code point, then table; a byte listed twice for one character in one
  // table keeps its file order, so the first byte wins.
  auto byCpThenParam = [](const RawEntry& a, const RawEntry& b) {
    return a.cp != b.cp ? a.cp < b.cp : a.param < b.param;
  };
  std::stable_sort(tableEntries.begin(), tableEntries.end(), byCpThenParam);
  std::stable_sort(setEntries.begin(), setEntries.end(), byCpThenParam);

  std::vector<UnicodeLine> lines;
  lines.reserve(2048);
  UnicodeLine u;
  const int urc = OvucForEachLine(settings.deviceInfoPath + "/" + kUnicodeDataFile,
                                  OVUC_ERR_UNICODE_MISSING, [&](const char* line) {
                                    if (ParseUnicodeLine(line, u)) lines.push_back(u);
                                    return 0;
                                  });
  if (urc != 0) return urc;
  std::stable_sort(lines.begin(), lines.end(),
                   [](const UnicodeLine& a, const UnicodeLine& b) { return a.cp < b.cp; });
  lines.erase(std::unique(lines.begin(), lines.end(),
                          [](const UnicodeLine& a, const UnicodeLine& b) { return a.cp == b.cp; }),
              lines.end());

  // Merge entries and Unicode lines in code point order.
  m.records.reserve(lines.size());
  size_t ti = 0;
  size_t si = 0;
  const size_t gcKeep = static_cast<size_t>(std::min(f.generalCategorySize, 2));
  std::unique_ptr<char[][128]> scratch(
      new char[static_cast<size_t>(f.decompositionMappingSize) + 1][128]);
  std::vector<std::pair<uint32_t, std::vector<uint32_t>>> decomps;
  for (const UnicodeLine& line : lines) {
    OvucCharRecord r;
    r.codePoint = line.cp;
    r.combiningClass = line.ccc;
    // Only as many category letters as the model file keeps count.
    char gc[2] = {0, 0};
    for (size_t i = 0; i < gcKeep; ++i) gc[i] = line.gc[i];
    r.isMark = gc[0] == 'M' && (gc[1] == 'n' || gc[1] == 'c' || gc[1] == 'e');
    while (ti < tableEntries.size() && tableEntries[ti].cp < line.cp) ++ti;
    r.firstEntry = static_cast<uint32_t>(m.entries.size());
    for (; ti < tableEntries.size() && tableEntries[ti].cp == line.cp; ++ti) {
      const uint8_t param = tableEntries[ti].param;
      if (r.InTable(param)) continue;  // a second byte in the same table: the first wins
      r.tableBits[param >> 6] |= uint64_t{1} << (param & 63);
      m.entries.push_back({param, tableEntries[ti].byte});
      ++r.entryCount;
    }
    while (si < setEntries.size() && setEntries[si].cp < line.cp) ++si;
    if (si < setEntries.size() && setEntries[si].cp == line.cp) {
      r.inCharacterSet = true;
      r.setByte = setEntries[si].byte;
      r.setParam = setEntries[si].param;
    }
    m.records.push_back(r);
    if (decomps.size() < f.decompositionClassNumber) {
      std::vector<uint32_t> comps =
          DecompositionComponents(line.decomposition, f.decompositionMappingSize, scratch);
      if (!comps.empty()) decomps.emplace_back(line.cp, std::move(comps));
    }
  }

  for (const auto& [cp, comps] : decomps) {
    if (comps.size() == 2 && comps[0] == 0x20) m.spacingForms.emplace_back(comps[1], cp);
  }
  // Lowest code point first among spacing forms of the same mark.
  std::stable_sort(m.spacingForms.begin(), m.spacingForms.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::stable_sort(decomps.begin(), decomps.end(),
                   [](const auto& a, const auto& b) { return a.second[0] < b.second[0]; });
  m.decompositions.reserve(decomps.size());
  for (const auto& [cp, comps] : decomps) {
    m.decompositions.push_back(
        {cp, static_cast<uint32_t>(m.components.size()), static_cast<uint16_t>(comps.size())});
    m.components.insert(m.components.end(), comps.begin(), comps.end());
  }
  m.composes = f.generalCategorySize >= 2 && f.decompositionMappingSize >= 2;
  m.BuildIndex();
  return 0;
}

// A model depends only on the text of its model file and the folder its
// tables are looked up in. Keying by the text the path resolves to (rather
// than the path) makes every spelling of one file, and every file with the
// same text, share one model, so the cache never holds more models than the
// table has model texts.
struct ModelKey {
  const char* text;
  std::string deviceInfoPath;
  bool operator<(const ModelKey& o) const {
    return text != o.text ? std::less<const char*>()(text, o.text)
                          : deviceInfoPath < o.deviceInfoPath;
  }
};

// Models built so far, for one generation of the file table.
struct ModelCache {
  uint32_t generation = 0;
  std::map<ModelKey, std::shared_ptr<const OvucModel>> models;
};

ModelCache& Cache() {
  static ModelCache cache;
  return cache;
}

}  // namespace

PlatformMutex_t& OvucMutex() {
  static PlatformMutex_t mutex = PLATFORM_MUTEX_STATIC_INITIALIZER;
  return mutex;
}

int OvucParseTableLine(const char* line, uint8_t& byte, uint32_t& cp, bool& hasChar) {
  if (line[0] == '#' || line[0] == '\n' || line[0] == '\r' || line[0] == '\0') return 1;
  const char* p = line;
  if (p[0] != '0' || p[1] != 'x') return -1;
  p += 2;
  uint32_t b = 0;
  if (!ParseHexField(p, '\t', 0xFF, b)) return -1;
  ++p;  // the tab
  if (p[0] == '0' && p[1] == 'x') {
    p += 2;
    if (!ParseHexField(p, '\t', kMaxCodePoint, cp)) return -1;
    hasChar = true;
  } else if (p[0] == ' ') {
    while (*p == ' ') ++p;
    if (*p != '\t') return -1;
    hasChar = false;
  } else {
    return -1;
  }
  ++p;  // the tab
  if (*p != '#') return -1;
  byte = static_cast<uint8_t>(b);
  return 0;
}

std::span<const OvucDecomposition> OvucModel::DecompositionsStartingWith(uint32_t cp) const {
  auto first = [this](const OvucDecomposition& d) { return components[d.firstComponent]; };
  auto lo = std::partition_point(decompositions.begin(), decompositions.end(),
                                 [&](const OvucDecomposition& d) { return first(d) < cp; });
  auto hi = std::partition_point(lo, decompositions.end(),
                                 [&](const OvucDecomposition& d) { return first(d) == cp; });
  return {lo, hi};
}

uint32_t OvucModel::SpacingFormOf(uint32_t mark) const {
  auto it = std::partition_point(spacingForms.begin(), spacingForms.end(),
                                 [&](const auto& s) { return s.first < mark; });
  return it != spacingForms.end() && it->first == mark ? it->second : 0;
}

void OvucModel::BuildIndex() {
  pageOf_.assign(0x110000 >> 8, 0);
  slots_.assign(256, 0);  // page 0: empty
  for (size_t i = 0; i < records.size(); ++i) {
    const uint32_t cp = records[i].codePoint;
    uint32_t& page = pageOf_[cp >> 8];
    if (page == 0) {
      page = static_cast<uint32_t>(slots_.size() >> 8);
      slots_.resize(slots_.size() + 256, 0);
    }
    slots_[(static_cast<size_t>(page) << 8) | (cp & 0xFF)] = static_cast<uint32_t>(i + 1);
  }
  bool used[256] = {};
  for (const OvucTableSpec& t : file.tables) used[t.param] = true;
  paramCount_ = 0;
  for (int p = 0; p < 256; ++p)
    paramSlot_[p] = used[p] ? static_cast<int16_t>(paramCount_++) : int16_t{0};
  tableBytes_.assign(records.size() * paramCount_, 0);
  for (size_t i = 0; i < records.size(); ++i) {
    for (const OvucTableEntry& e : EntriesOf(records[i])) {
      tableBytes_[i * paramCount_ + static_cast<size_t>(paramSlot_[e.param])] = e.byte;
    }
  }
  spacingBits_.assign(0x10000 / 64, 0);
  for (const auto& [mark, spacing] : spacingForms) {
    if (mark < 0x10000) spacingBits_[mark >> 6] |= uint64_t{1} << (mark & 63);
  }
  markBits_.assign(0x10000 / 64, 0);
  for (const OvucCharRecord& r : records) {
    if (r.isMark && r.codePoint >= 0x300 && r.codePoint < 0x10000) {
      markBits_[r.codePoint >> 6] |= uint64_t{1} << (r.codePoint & 63);
    }
  }
  for (int p = 0; p < 256; ++p) directSlot_[p] = used[p] ? paramSlot_[p] : int16_t{-1};
  directBytes_.assign(paramCount_ * kDirectLimit, -1);
  for (uint32_t cp = 0; cp < kDirectLimit; ++cp) {
    const OvucCharRecord* r = Find(cp);
    if (r == nullptr || r->inCharacterSet) continue;
    for (int p = 0; p < 256; ++p) {
      if (used[p] && r->InTable(static_cast<uint8_t>(p))) {
        directBytes_[static_cast<size_t>(paramSlot_[p]) * kDirectLimit + cp] =
            ByteIn(*r, static_cast<uint8_t>(p));
      }
    }
  }
}

int OvucLoadModel(const OvucSettings& settings, const std::string& modelFileName,
                  std::shared_ptr<const OvucModel>& out) {
  const std::string path = settings.deviceInfoPath + "/" + modelFileName;
  const uint32_t generation = EmbeddedFileTableGeneration();
  const EmbeddedFileRow* row = EmbeddedFileFind(path.c_str());
  // A path that names no readable file is not cached: building answers why.
  const bool cacheable = row != nullptr && row->data != nullptr;
  const ModelKey key{cacheable ? row->data : nullptr, settings.deviceInfoPath};
  if (cacheable) {
    PlatformLockGuard lock(OvucMutex());
    ModelCache& cache = Cache();
    // Without the lock the cache is out of reach: a private copy is built.
    if (lock.Owns()) {
      if (cache.generation != generation) {
        cache.models.clear();  // handles still open keep their own reference
        cache.generation = generation;
      }
      if (auto it = cache.models.find(key); it != cache.models.end()) {
        out = it->second;
        return 0;
      }
    }
  }
  // Built outside the lock: other opens and closes need not wait for it.
  std::shared_ptr<OvucModel> model;
  try {
    model = std::make_shared<OvucModel>();
    if (const int rc = BuildModel(settings, path, *model); rc != 0) return rc;
  } catch (const std::bad_alloc&) {
    return OVUC_ERR_MEMORY;
  }
  PlatformLockGuard lock(OvucMutex());
  ModelCache& cache = Cache();
  if (cacheable && lock.Owns() && cache.generation == generation) {
    try {
      auto [it, inserted] = cache.models.emplace(key, model);
      out = it->second;  // a concurrent build of the same model may have won
      return 0;
    } catch (const std::bad_alloc&) {
      // Not cached; the handle still gets its records.
    }
  }
  out = std::move(model);
  return 0;
}

size_t OvucCachedModelCount() {
  PlatformLockGuard lock(OvucMutex());
  const ModelCache& cache = Cache();
  if (!lock.Owns() || cache.generation != EmbeddedFileTableGeneration()) return 0;
  return cache.models.size();
}

}  // namespace tilo2::core
