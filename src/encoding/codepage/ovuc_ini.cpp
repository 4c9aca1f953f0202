#include "encoding/codepage/ovuc_ini.h"

#include <cstring>

namespace tilo2::core {

const char* IniValueOf(const char* text) {
  if (text == nullptr) return nullptr;
  const char* eq = std::strchr(text, '=');
  if (eq == nullptr) return nullptr;
  // The generated files always end their lines; a last line without one is
  // still read rather than treated as a missing key.
  return eq + 1;
}

std::string_view IniLineValue(const char* value) {
  if (value == nullptr) return {};
  const size_t n = std::strcspn(value, "\r\n");
  return std::string_view(value, n);
}

int IniIsDigits(const char* value) {
  const std::string_view v = IniLineValue(value);
  if (v.empty()) return -1;
  for (char c : v) {
    if (c < '0' || c > '9') return -1;
  }
  return 0;
}

std::optional<uint64_t> IniNumber(const char* afterKey, uint64_t lo, uint64_t hi) {
  const char* value = IniValueOf(afterKey);
  if (value == nullptr || IniIsDigits(value) != 0) return std::nullopt;
  uint64_t n = 0;
  for (char c : IniLineValue(value)) {
    const auto d = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - d) / 10) return std::nullopt;
    n = n * 10 + d;
    if (n > hi) return std::nullopt;
  }
  if (n < lo) return std::nullopt;
  return n;
}

bool IniSkipLine(std::string_view line) {
  return line.empty() || line[0] == ';' || line[0] == '\n' || line[0] == '\r';
}

int SplitFields(const char* text, char (*fields)[128], int count) {
  if (text == nullptr || fields == nullptr || count < 0) return -1;
  int n = 0;
  const char* p = text;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0' || *p == '\r' || *p == '\n') break;
    const char* start = p;
    while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') ++p;
    const size_t len = static_cast<size_t>(p - start);
    if (n >= count || len > 127) return -1;
    std::memcpy(fields[n], start, len);
    fields[n][len] = '\0';
    ++n;
  }
  for (int i = n; i < count; ++i) fields[i][0] = '\0';
  return 0;
}

}  // namespace tilo2::core
