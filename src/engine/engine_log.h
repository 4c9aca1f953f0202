#pragma once
// What the engine's log lines share: the trace tag and the source names its
// ERROR lines carry, one per group of entry points.

#include "foundation/logger.h"

namespace tilo2::core {

inline constexpr const char* kEngineTag = "TPRI_";
inline constexpr const char* kPublicSource = "tiloprint_common_public";
inline constexpr const char* kCallbackSource = "tiloprint_common_callback";
inline constexpr const char* kStatusSource = "tiloprint_common_status";

inline void EngineErrorLine(const char* source, int line) { log_error_line("ERROR", source, line); }

}  // namespace tilo2::core
