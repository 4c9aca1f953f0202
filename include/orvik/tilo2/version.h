#pragma once

namespace orvik::tilo2 {

// The SDK's own version string, as reported to apps and written into the log header.
inline constexpr const char* kSdkVersion = "Ver.2.7.0";

}  // namespace orvik::tilo2
