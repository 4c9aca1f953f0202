#pragma once
// Process-wide state of the logger, shared by the line writer, the settings
// file and header code, and the rotation into archives.

#include <cstdint>

struct LogSettings_t {
  int32_t output;        // 0 off, 1 file, 2 TCP
  char ip[46];           // listener address text; wide enough for any IPv6 text
  uint16_t port;         // listener port
  int32_t size_mb;       // cap of the log file plus its archives, in MB
  int32_t level;         // 0 normal, 255 full
  uint32_t total_bytes;  // log file plus 5 MB per archive; 0 = not yet counted
  uint32_t file_bytes;   // current log file; 0 = not yet counted
};

inline constexpr uint32_t kLogFileCap = 0x500000;        // one log file, and one archive as counted
inline constexpr uint32_t kLogForcedRotation = 0x500001;  // incoming length that forces a rotation
inline constexpr int kLogPathSize = 512;

// The one settings record. Writers replace it under the settings lock; the line
// writer works on a snapshot so a line never goes to a half-written address.
// The byte counters are touched only under the log-file lock.
LogSettings_t& log_settings();

// Paths built from the base folder (log folder, log file, base folder), 512 bytes each.
const char* log_folder_path();
const char* log_file_path();
const char* log_base_path();
