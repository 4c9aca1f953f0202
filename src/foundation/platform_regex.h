#pragma once
// The one regular expression of the wrapper, apart from platform.h so that
// <regex> is compiled only where the pattern is used.

#include <regex>

namespace tilo2::core {

// 0 with a new regex "([^a-zA-Z0-9\._\-])" in *out (caller deletes it); 12 on failure.
int platform_name_regex_create(std::regex** out);

}  // namespace tilo2::core
