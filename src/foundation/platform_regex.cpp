// The device-id pattern of the wrapper.
// <regex> trips a false "maybe uninitialized" in GCC 12 sanitizer builds.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "foundation/platform_regex.h"

#include "foundation/platform.h"

namespace tilo2::core {

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

}  // namespace tilo2::core
