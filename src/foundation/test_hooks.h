#pragma once

namespace tilo2::core {

// Test seams of the foundation layer: functions that exist only for tests.
// Product code never calls them.

// Puts the logger back to its state at process start: output off, no paths or
// header values, counters not yet counted, settings-file flag 1.
void log_reset_state();

}  // namespace tilo2::core
