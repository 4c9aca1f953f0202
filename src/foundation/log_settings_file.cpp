// The settings file "Tilo2LogSettings.ini": nine lines written by a permanent
// settings call, read back by every device object. A file with a bad line or
// a bad combination is refused whole.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "foundation/file_handle.h"
#include "foundation/log_settings.h"
#include "foundation/platform.h"

namespace tilo2::core {

namespace {

constexpr size_t kLineMax = 255;

bool ReadLine(FILE* file, std::string& line) { return log_read_text_line(file, line, kLineMax); }

bool StartsWith(const std::string& line, const char* prefix) {
  return line.compare(0, std::strlen(prefix), prefix) == 0;
}

// The value after the key as a number (base 0: "0x" hex, leading-0 octal), in
// [0, max]; trailing blanks are allowed, anything else refuses it.
std::optional<long> KeyValue(const std::string& line, const char* key, long max) {
  if (!StartsWith(line, key)) return std::nullopt;
  const char* text = line.c_str() + std::strlen(key);
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 0);
  if (end == text || errno == ERANGE) return std::nullopt;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0' || v < 0 || v > max) return std::nullopt;
  return v;
}

}  // namespace

bool log_ip_text_valid(const char* ip) {
  if (ip == nullptr || strnlen(ip, sizeof LogSettings_t{}.ip) >= sizeof LogSettings_t{}.ip)
    return false;
  unsigned char addr[16];
  return inet_pton(AF_INET, ip, addr) == 1 || inet_pton(AF_INET6, ip, addr) == 1;
}

bool log_size_fits_level(int size_mb, int level) {
  const int max = level == 255 ? 200 : 50;
  return size_mb >= 1 && size_mb <= max;
}

int log_read_settings_file(const char* path) {
  if (path == nullptr) return 1;
  const FileHandle file(platform_fopen(path, "r"));
  if (!file) return 1;
  LogSettings_t s = log_settings_snapshot();
  std::string line;
  while (ReadLine(file.get(), line)) {
    if (StartsWith(line, "[ENABLE]")) {
      if (!ReadLine(file.get(), line)) return 255;
      const auto v = KeyValue(line, "ENABLE=", 2);
      if (!v) return 255;
      s.output = static_cast<int32_t>(*v);
    } else if (StartsWith(line, "[MAXSIZE]")) {
      if (!ReadLine(file.get(), line)) return 255;
      const auto v = KeyValue(line, "SIZE=", 200);
      if (!v || *v < 1) return 255;
      s.size_mb = static_cast<int32_t>(*v);
    } else if (StartsWith(line, "[NETWORK]") && s.output == 2) {
      if (!ReadLine(file.get(), line) || !StartsWith(line, "IPADDRESS=")) return 255;
      const char* ip = line.c_str() + std::strlen("IPADDRESS=");
      if (!log_ip_text_valid(ip)) return 255;
      platform_strncpy(s.ip, ip, sizeof s.ip - 1);
      if (!ReadLine(file.get(), line)) return 255;
      const auto port = KeyValue(line, "PORT=", 65535);
      if (!port) return 255;
      s.port = static_cast<uint16_t>(*port);
    } else if (StartsWith(line, "[LEVEL]")) {
      if (!ReadLine(file.get(), line)) return 255;
      const auto v = KeyValue(line, "LEVEL=", 255);
      if (!v) return 255;
      s.level = static_cast<int32_t>(*v);
    }
  }
  if (!log_size_fits_level(s.size_mb, s.level)) return 255;
  log_settings_apply(s);
  return 0;
}

int log_write_settings_file(const char* path, const LogSettings_t& s) {
  if (path == nullptr || strnlen(path, kLogPathSize) >= kLogPathSize) return 255;
  FileHandle file(platform_fopen(path, "w"));
  if (!file) return 255;
  const int n =
      std::fprintf(file.get(),
                   "[ENABLE]\nENABLE=%d\n[NETWORK]\nIPADDRESS=%s\nPORT=%u\n[MAXSIZE]\nSIZE=%d\n"
                   "[LEVEL]\nLEVEL=%d\n",
                   s.output, s.ip, static_cast<unsigned>(s.port), s.size_mb, s.level);
  const bool failed = n < 0 || std::ferror(file.get());
  return std::fclose(file.release()) != 0 || failed ? 255 : 0;
}

}  // namespace tilo2::core
