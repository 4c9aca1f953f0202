// The converter's settings file, module file and model files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tilo2::core {

// Folder of the module file; the module name and ".txt" are appended.
inline constexpr const char* kOvucModuleFolder = "/usr/local/ORVIK/OrvUCCvt/";
inline constexpr const char* kOvucSettingsFile = "OrvUCSet.txt";

struct OvucSettings {
  int encodeTypeDefault = 3;
  int missingCharacterCode = 63;
  std::string deviceInfoPath;  // with "/" appended
  int maximumHandle = 100;
  uint32_t outputBufferBlockSize = 65536;
  int outputBufferBlockMax = 5;
  bool hasLog = false;
  std::string logFilePath;  // with "/" appended
  int logMaxSize = 0;
};

struct OvucTableSpec {
  int codePage = 0;
  int param = 0;
  std::string fileName;
};

struct OvucIcsSpec {
  int param = 0;
  std::string fileName;
};

struct OvucModelFile {
  int mappingTableNumber = 0;
  int internalCharacterSetNumber = 0;
  int icsCommandDefault = 0;
  uint32_t decompositionClassNumber = 0;
  int generalCategorySize = 0;
  int canonicalCombiningClassSize = 0;
  int bidiClassSize = 0;
  int decompositionMappingSize = 0;
  std::vector<OvucTableSpec> tables;
  std::vector<OvucIcsSpec> sets;
};

// Calls `line` for every line of a compiled-in file (CR LF ends, as read).
// 0, or `missing` when no file has that path, -30 when its reader cannot be
// created, or the first nonzero answer of `line`.
int OvucForEachLine(const std::string& path, int missing,
                    const std::function<int(const char*)>& line);

// Reads the module file of `moduleName`; 0 and the ModulePath with "/"
// appended, or -1 when the file or the key is missing.
int OvucReadModulePath(const char* moduleName, std::string& folder);

// 0, -100 missing, -110 invalid, -30 reader.
int OvucReadSettings(const std::string& path, OvucSettings& out);

// 0, -200 missing, -210 invalid, -30 reader.
int OvucReadModelFile(const std::string& path, OvucModelFile& out);

}  // namespace tilo2::core
