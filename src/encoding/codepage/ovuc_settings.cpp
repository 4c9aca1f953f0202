#include "encoding/codepage/ovuc_settings.h"

#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include "encoding/codepage/embedded_file.h"
#include "encoding/codepage/ovuc.h"
#include "encoding/codepage/ovuc_ini.h"

namespace tilo2::core {

namespace {

constexpr size_t kMaxPathValue = 200;
constexpr size_t kMaxFileName = 127;

struct FileCloser {
  void operator()(EmbeddedFile_t* f) const { EmbeddedFileClose(f); }
};

// A key is recognised anywhere in its line; when several keys appear, the one
// written first names the line (a value may contain another key's name).
template <size_t N>
int FindKey(const char* line, const std::array<const char*, N>& keys, const char** afterKey) {
  int best = -1;
  const char* bestPos = nullptr;
  for (size_t i = 0; i < N; ++i) {
    const char* pos = std::strstr(line, keys[i]);
    if (pos != nullptr && (bestPos == nullptr || pos < bestPos)) {
      best = static_cast<int>(i);
      bestPos = pos;
    }
  }
  if (best >= 0) *afterKey = bestPos + std::strlen(keys[static_cast<size_t>(best)]);
  return best;
}

bool ReadPath(const char* afterKey, std::string& out) {
  const std::string_view v = IniLineValue(IniValueOf(afterKey));
  if (IniValueOf(afterKey) == nullptr || v.size() > kMaxPathValue) return false;
  out.assign(v);
  out.push_back('/');
  return true;
}

bool ReadName(const char* afterKey, std::string& out) {
  const std::string_view v = IniLineValue(IniValueOf(afterKey));
  if (IniValueOf(afterKey) == nullptr || v.empty() || v.size() > kMaxFileName) return false;
  out.assign(v);
  return true;
}

template <typename T>
bool ReadNumber(const char* afterKey, uint64_t lo, uint64_t hi, T& out) {
  const std::optional<uint64_t> n = IniNumber(afterKey, lo, hi);
  if (!n) return false;
  out = static_cast<T>(*n);
  return true;
}

// Number of a "[Table%d]" / "[ICS%d]" header after its prefix; -1 when it is
// bare or not a number.
long SectionNumber(const char* afterPrefix) {
  long n = 0;
  const char* p = afterPrefix;
  if (*p < '0' || *p > '9') return -1;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + (*p - '0');
    if (n > 1000000) return -1;
    ++p;
  }
  return *p == ']' ? n : -1;
}

}  // namespace

int OvucForEachLine(const std::string& path, int missing,
                    const std::function<int(const char*)>& line) {
  if (EmbeddedFileFind(path.c_str()) == nullptr) return missing;
  std::unique_ptr<EmbeddedFile_t, FileCloser> file(EmbeddedFileOpen(path.c_str()));
  if (!file) return OVUC_ERR_READER;
  char buf[kEmbeddedFileLineBuffer];
  while (EmbeddedFileReadLine(buf, file.get()) != nullptr) {
    if (const int rc = line(buf); rc != 0) return rc;
  }
  return 0;
}

int OvucReadModulePath(const char* moduleName, std::string& folder) {
  if (moduleName == nullptr) return -1;
  std::string path = std::string(kOvucModuleFolder) + moduleName + ".txt";
  bool found = false;
  const int rc = OvucForEachLine(path, -1, [&](const char* line) {
    if (IniSkipLine(line)) return 0;
    const char* key = std::strstr(line, "ModulePath");
    if (key == nullptr) return 0;
    const char* value = IniValueOf(key + std::strlen("ModulePath"));
    const std::string_view v = IniLineValue(value);
    if (value == nullptr || v.size() > kMaxPathValue) return 0;
    folder.assign(v);
    folder.push_back('/');
    found = true;
    return 1;  // the first ModulePath line decides
  });
  if (rc < 0 || !found) return -1;
  return 0;
}

int OvucReadSettings(const std::string& path, OvucSettings& out) {
  enum Section { kNone, kSettings, kLog };
  static constexpr std::array<const char*, 6> kSettingsKeys = {
      "EncodeTypeDefault", "MissingCharacterCode",  "DeviceInfoPath",
      "MaximumHandle",     "OutputBufferBlockSize", "OutputBufferBlockMax"};
  static constexpr std::array<const char*, 2> kLogKeys = {"LogFilePath", "LogMaxSize"};
  Section section = kNone;
  std::array<bool, 6> seen{};
  std::array<bool, 2> seenLog{};
  bool logSection = false;
  OvucSettings s;

  const int rc = OvucForEachLine(path, OVUC_ERR_SETTINGS_MISSING, [&](const char* line) {
    if (IniSkipLine(line)) return 0;
    const char* after = nullptr;
    if (section == kSettings) {
      const int k = FindKey(line, kSettingsKeys, &after);
      bool ok = true;
      switch (k) {
        case 0:
          ok = ReadNumber(after, 0, 3, s.encodeTypeDefault);
          break;
        case 1:
          ok = ReadNumber(after, 32, 255, s.missingCharacterCode);
          break;
        case 2:
          ok = ReadPath(after, s.deviceInfoPath);
          break;
        case 3:
          ok = ReadNumber(after, 1, 254, s.maximumHandle);
          break;
        case 4:
          ok = ReadNumber(after, 5, 1000000000, s.outputBufferBlockSize);
          break;
        case 5:
          ok = ReadNumber(after, 1, 255, s.outputBufferBlockMax);
          break;
        default:
          break;
      }
      if (k >= 0) {
        seen[static_cast<size_t>(k)] = true;
        return ok ? 0 : int{OVUC_ERR_SETTINGS_INVALID};
      }
      if (std::strchr(line, '[') == nullptr) return int{OVUC_ERR_SETTINGS_INVALID};
      section = kNone;
    } else if (section == kLog) {
      const int k = FindKey(line, kLogKeys, &after);
      bool ok = true;
      if (k == 0) ok = ReadPath(after, s.logFilePath);
      if (k == 1) ok = ReadNumber(after, 1, 10, s.logMaxSize);
      if (k >= 0) {
        seenLog[static_cast<size_t>(k)] = true;
        return ok ? 0 : int{OVUC_ERR_SETTINGS_INVALID};
      }
      if (std::strchr(line, '[') == nullptr) return int{OVUC_ERR_SETTINGS_INVALID};
      section = kNone;
    }
    if (std::strstr(line, "[Settings]") != nullptr) {
      section = kSettings;
    } else if (std::strstr(line, "[LOG]") != nullptr) {
      section = kLog;
      logSection = true;
    }
    return 0;
  });
  if (rc != 0) return rc;
  for (bool b : seen) {
    if (!b) return OVUC_ERR_SETTINGS_INVALID;
  }
  if (logSection && !(seenLog[0] && seenLog[1])) return OVUC_ERR_SETTINGS_INVALID;
  s.hasLog = logSection;
  out = std::move(s);
  return 0;
}

int OvucReadModelFile(const std::string& path, OvucModelFile& out) {
  enum Section { kNone, kCommon, kTable, kIcs, kIgnored };
  static constexpr std::array<const char*, 8> kCommonKeys = {
      "MappingTableNumber",  "InternalCharacterSetNumber",
      "ICSCommandDefault",   "DecompositionClassNumber",
      "GeneralCategorySize", "CanonicalCombiningClassSize",
      "BidiClassSize",       "DecompositionMappingSize"};
  static constexpr std::array<const char*, 3> kTableKeys = {"CodePage", "TableCommandParam",
                                                            "TableFileName"};
  static constexpr std::array<const char*, 2> kIcsKeys = {"ICSCommandParam", "ICSFileName"};
  constexpr int kInvalid = OVUC_ERR_MODEL_INVALID;

  Section section = kNone;
  OvucModelFile m;
  std::array<bool, 8> seenCommon{};
  bool commonStarted = false;
  // Keys seen per table / set section, as bit masks.
  std::vector<uint8_t> tableKeys;
  std::vector<uint8_t> icsKeys;

  auto commonComplete = [&] {
    for (bool b : seenCommon) {
      if (!b) return false;
    }
    return true;
  };

  const int rc = OvucForEachLine(path, OVUC_ERR_MODEL_MISSING, [&](const char* line) -> int {
    if (IniSkipLine(line)) return 0;
    const char* after = nullptr;
    if (section == kCommon) {
      const int k = FindKey(line, kCommonKeys, &after);
      if (k >= 0) {
        bool ok = false;
        switch (k) {
          case 0:
            ok = ReadNumber(after, 1, 256, m.mappingTableNumber);
            break;
          case 1:
            ok = ReadNumber(after, 1, 256, m.internalCharacterSetNumber);
            break;
          case 2:
            ok = ReadNumber(after, 0, 255, m.icsCommandDefault);
            break;
          case 3:
            ok = ReadNumber(after, 1, 1114112, m.decompositionClassNumber);
            break;
          case 4:
            ok = ReadNumber(after, 1, 255, m.generalCategorySize);
            break;
          case 5:
            ok = ReadNumber(after, 1, 255, m.canonicalCombiningClassSize);
            break;
          case 6:
            ok = ReadNumber(after, 1, 255, m.bidiClassSize);
            break;
          case 7:
            ok = ReadNumber(after, 1, 255, m.decompositionMappingSize);
            break;
          default:
            break;
        }
        seenCommon[static_cast<size_t>(k)] = true;
        return ok ? 0 : kInvalid;
      }
    } else if (section == kTable) {
      const int k = FindKey(line, kTableKeys, &after);
      if (k >= 0) {
        OvucTableSpec& t = m.tables.back();
        bool ok = false;
        if (k == 0) ok = ReadNumber(after, 0, 65535, t.codePage);
        if (k == 1) ok = ReadNumber(after, 0, 255, t.param);
        if (k == 2) ok = ReadName(after, t.fileName);
        tableKeys.back() |= static_cast<uint8_t>(1u << k);
        return ok ? 0 : kInvalid;
      }
    } else if (section == kIcs) {
      const int k = FindKey(line, kIcsKeys, &after);
      if (k >= 0) {
        OvucIcsSpec& s = m.sets.back();
        bool ok = false;
        if (k == 0) ok = ReadNumber(after, 0, 255, s.param);
        if (k == 1) ok = ReadName(after, s.fileName);
        icsKeys.back() |= static_cast<uint8_t>(1u << k);
        return ok ? 0 : kInvalid;
      }
    }
    const bool header = std::strchr(line, '[') != nullptr;
    if (section != kNone && section != kIgnored && !header) return kInvalid;
    if (!header) return 0;

    section = kIgnored;
    if (std::strstr(line, "[Common]") != nullptr) {
      if (commonStarted) return kInvalid;
      commonStarted = true;
      section = kCommon;
    } else if (const char* t = std::strstr(line, "[Table"); t != nullptr) {
      const long n = SectionNumber(t + 6);
      if (n < 1 || !commonComplete()) return kInvalid;
      if (n > m.mappingTableNumber) return 0;  // beyond the count: not read
      if (!m.sets.empty()) return kInvalid;
      if (n != static_cast<long>(m.tables.size()) + 1) return kInvalid;
      m.tables.emplace_back();
      tableKeys.push_back(0);
      section = kTable;
    } else if (const char* s = std::strstr(line, "[ICS"); s != nullptr) {
      const long n = SectionNumber(s + 4);
      if (n < 1 || !commonComplete()) return kInvalid;
      if (static_cast<int>(m.tables.size()) != m.mappingTableNumber) return kInvalid;
      if (n > m.internalCharacterSetNumber) return 0;
      if (n != static_cast<long>(m.sets.size()) + 1) return kInvalid;
      m.sets.emplace_back();
      icsKeys.push_back(0);
      section = kIcs;
    }
    return 0;
  });
  if (rc != 0) return rc;
  if (!commonComplete()) return kInvalid;
  if (static_cast<int>(m.tables.size()) != m.mappingTableNumber ||
      static_cast<int>(m.sets.size()) != m.internalCharacterSetNumber) {
    return kInvalid;
  }
  for (uint8_t k : tableKeys) {
    if (k != 0x7) return kInvalid;
  }
  for (uint8_t k : icsKeys) {
    if (k != 0x3) return kInvalid;
  }
  out = std::move(m);
  return 0;
}

}  // namespace tilo2::core
