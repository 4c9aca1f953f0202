#pragma once
// Size-capped rotation of the log file into numbered single-entry ZIP archives.
//
// Names built from the log file path P: "P.n.zip" is archive n (1 the newest),
// "P.zip" an archive without number, "P.n" (n = 1..10) a left-over plain file
// that rotation archives as "P.n.zip" whenever it runs.

#include <cstddef>
#include <cstdint>

namespace tilo2::core {

struct LogSettings_t;

inline constexpr int kLogLeftoverMax = 10;  // left-over plain files "P.1" .. "P.10"
inline constexpr int kZipNameSize = 512;    // buffer for any name built from a path
// Longest log file path rotation handles (503): every name it builds, up to
// "P.<n>.zip" for the highest archive number it may reach (820, three digits),
// must fit kZipNameSize with its NUL. Longer paths are refused up front, as the
// log file path, so that no rotation fails on a name later.
inline constexpr int kLogRotatePathMax = kZipNameSize - 1 - static_cast<int>(sizeof ".820.zip" - 1);

// Builds "P.zip" (n = 0) or "P.n.zip" (n >= 1); false when it does not fit.
bool log_archive_name(char* out, size_t size, const char* path, int n);

// Whether the path names a regular file (symbolic links followed).
bool log_file_exists(const char* path);
// Size of a regular file (capped at 0xFFFFFFFF), else 0.
uint32_t log_file_size(const char* path);
// 0x500000 when archive n of the path ("P.n.zip") is a regular file, else 0.
uint32_t log_archive_size(const char* path, int n);
// Archives 1, 2, ... of the path up to the first gap, counted 0x500000 each.
uint32_t log_archives_size_of(const char* path);
// The same for the process-wide log file.
uint32_t log_archives_size();

// Counts what is not counted yet (a counter of 0): the file, then the file
// together with its archives.
void log_count_sizes(const char* path, LogSettings_t& settings);

// Makes room for an incoming line of the given length (0x500001 forces the file
// into archive 1). Works on the given counters and cap; 0 done, 1 failed.
// Callers hold the log-file lock.
int log_rotate_with(const char* path, uint32_t incoming, LogSettings_t& settings);
// The same on the process-wide settings.
int log_rotate(const char* path, uint32_t incoming);

}  // namespace tilo2::core
