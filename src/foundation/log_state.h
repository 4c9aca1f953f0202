#pragma once
// Process-wide state of the logger, shared by the line writer, the settings
// file and header code, and the rotation into archives.

#include <cstdint>

#include "foundation/platform.h"

namespace tilo2::core {

struct LogSettings_t {
  int32_t output;        // 0 off, 1 file, 2 TCP
  char ip[46];           // listener address text; wide enough for any IPv6 text
  uint16_t port;         // listener port
  int32_t size_mb;       // cap of the log file plus its archives, in MB
  int32_t level;         // 0 normal, 255 full
  uint32_t total_bytes;  // log file plus 5 MB per archive; 0 = not yet counted
  uint32_t file_bytes;   // current log file; 0 = not yet counted
};

inline constexpr uint32_t kLogFileCap = 0x500000;  // one log file, and one archive as counted
inline constexpr uint32_t kLogForcedRotation = 0x500001;  // incoming length that forces a rotation
inline constexpr int kLogPathSize = 512;
inline constexpr int kLogHeaderSlots = 6;
inline constexpr int kLogHeaderValueSize = 80;

// Log folder, log file and base folder, "/" as separator.
struct LogPaths_t {
  char folder[kLogPathSize];
  char file[kLogPathSize];
  char base[kLogPathSize];
};

// The paths and the six header values (SDK name, SDK version, device OS, OS
// version, device name, storage size) of the current environment.
struct LogHeader_t {
  LogPaths_t paths;
  char values[kLogHeaderSlots][kLogHeaderValueSize];
};

// The one settings record. Its output, ip, port, size_mb and level are written
// only by log_settings_apply, which holds the log-file lock and the settings
// lock; the byte counters are touched only under the log-file lock. So code that
// holds the log-file lock (appending, rotation, the header check) may use this
// record directly; everything else reads a snapshot.
LogSettings_t& log_settings();
// A consistent copy of output, ip, port, size_mb and level (counters are 0).
LogSettings_t log_settings_snapshot();
// Replaces output, ip, port, size_mb and level; the counters stay.
void log_settings_apply(const LogSettings_t& settings);

// The log-file lock: a static mutex serialising file writes, the lazy counting,
// rotation, the header check and changes of the paths and settings.
PlatformMutex_t* log_file_lock();

// Paths built from the base folder (log folder, log file, base folder), 512
// bytes each; read them under the log-file lock.
const char* log_folder_path();
const char* log_file_path();
const char* log_base_path();
// The current paths and header values; use under the log-file lock.
LogHeader_t& log_header_state();
// Under the log-file lock: takes new paths. The byte counters describe the old
// log file and its archives, so they are dropped (recounted on the next write)
// when the paths change.
void SetLogPaths(const LogPaths_t& paths);

// Settings-file flag: 1 (start, permanent) lets log_initialize read the settings file.
int log_settings_file_flag();
void log_set_settings_file_flag(int period);

}  // namespace tilo2::core
