// String copies, file opening and the device-id pattern of the wrapper.
// <regex> trips a false "maybe uninitialized" in GCC 12 sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <cstring>
#include <new>

#include "foundation/platform.h"

char* platform_strcpy(char* dst, const char* src) {
  if (dst == nullptr || src == nullptr) return nullptr;
  return std::strcpy(dst, src);
}

char* platform_strncpy(char* dst, const char* src, size_t n) {
  if (dst == nullptr || src == nullptr) return nullptr;
  const size_t len = strnlen(src, n);
  std::memcpy(dst, src, len);
  dst[len] = '\0';
  return dst;
}

char* platform_strcat(char* dst, const char* src) {
  if (dst == nullptr || src == nullptr) return nullptr;
  return std::strcat(dst, src);
}

FILE* platform_fopen(const char* name, const char* mode) {
  if (name == nullptr || mode == nullptr) return nullptr;
  return std::fopen(name, mode);
}

int platform_name_regex_create(std::regex** out) {
  if (out == nullptr) return PLATFORM_ENOMEM;
  try {
    *out = new std::regex(R"(([^a-zA-Z0-9\._\-]))", std::regex::ECMAScript);
  } catch (...) {
    *out = nullptr;
    return PLATFORM_ENOMEM;
  }
  return PLATFORM_OK;
}
