// The six-line header at the top of every log file, and the paths it lives by.
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/log_rotate.h"
#include "foundation/log_settings.h"
#include "foundation/platform.h"
#include "orvik/tilo2/version.h"

namespace tilo2::core {

namespace {

constexpr const char* kHeaderKeys[kLogHeaderSlots] = {
    "SDK NAME: ",          "SDK VERSION: ", "DEVICE OS: ",
    "DEVICE OS VERSION: ", "DEVICE NAME: ", "STORAGE SIZE: ",
};

bool JoinPath(char (&out)[kLogPathSize], const char* folder, const char* name) {
  const int n = std::snprintf(out, sizeof out, "%s/%s", folder, name);
  return n >= 0 && n < kLogPathSize;
}

void SetValue(char (&slot)[kLogHeaderValueSize], const char* value) {
  slot[0] = '\0';
  if (value != nullptr) platform_strncpy(slot, value, sizeof slot - 1);
}

}  // namespace

bool log_read_text_line(FILE* file, std::string& line, size_t keep) {
  line.clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(file)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line.size() < keep) line.push_back(static_cast<char>(c));
  }
  while (!line.empty() && line.back() == '\r') line.pop_back();
  return any;
}

int log_build_paths(LogPaths_t* paths, const char* base_folder) {
  if (paths == nullptr || base_folder == nullptr) return 0;
  // An empty folder would put the log folder at the root of the file system.
  if (base_folder[0] == '\0' || strnlen(base_folder, kLogPathSize) >= kLogPathSize) return 1;
  LogPaths_t built{};
  platform_strncpy(built.base, base_folder, kLogPathSize - 1);
  if (!JoinPath(built.folder, built.base, kLogFolderName) ||
      !JoinPath(built.file, built.folder, kLogFileName) ||
      std::strlen(built.file) > static_cast<size_t>(kLogRotatePathMax)) {
    return 1;
  }
  *paths = built;
  return 0;
}

int log_build_header(LogHeader_t* header, const char* base_folder, const char* device_os,
                     const char* device_name, const char* storage) {
  if (header == nullptr) return 1;
  *header = LogHeader_t{};
  if (log_build_paths(&header->paths, base_folder) != 0) return 255;
  SetValue(header->values[0], kLogSdkName);
  SetValue(header->values[1], ::Orvik::Tilo::Tilo2::kSdkVersion);
  SetValue(header->values[2], device_os);
  SetValue(header->values[3], kLogOsVersion);
  SetValue(header->values[4], device_name);
  SetValue(header->values[5], storage);
  return 0;
}

int log_read_header(FILE* file, LogHeader_t* header) {
  if (file == nullptr || header == nullptr) return 255;
  std::string line;
  for (int i = 0; i < kLogHeaderSlots; ++i) {
    const size_t key_length = std::strlen(kHeaderKeys[i]);
    if (!log_read_text_line(file, line, key_length + kLogHeaderValueSize)) return 255;
    header->values[i][0] = '\0';
    if (line.size() > key_length) SetValue(header->values[i], line.c_str() + key_length);
  }
  return 0;
}

int log_write_header(FILE* file) {
  if (file == nullptr) return 1;
  const LogHeader_t& h = log_header_state();
  for (int i = 0; i < kLogHeaderSlots; ++i) {
    if (std::fprintf(file, "%s%s\n", kHeaderKeys[i], h.values[i]) < 0) return 1;
  }
  return std::ferror(file) ? 1 : 0;
}

size_t log_header_length() {
  const LogHeader_t& h = log_header_state();
  size_t n = 0;
  for (int i = 0; i < kLogHeaderSlots; ++i)
    n += std::strlen(kHeaderKeys[i]) + std::strlen(h.values[i]) + 1;
  return n;
}

}  // namespace tilo2::core
