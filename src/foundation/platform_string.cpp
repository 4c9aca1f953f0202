// String copies and file opening of the wrapper.
#include <cstring>

#include "foundation/platform.h"

namespace tilo2::core {

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

}  // namespace tilo2::core
