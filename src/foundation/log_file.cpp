// File output of the logger: each line is appended under the log-file lock,
// after the lazy size count, rotation and, for a new file, the header.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/lock_guard.h"
#include "foundation/log_rotate.h"
#include "foundation/log_settings.h"
#include "foundation/logger.h"

namespace tilo2::core {

namespace {

constexpr uint32_t kMegabyte = 1048576;

bool IsDirectory(const char* path) {
  struct stat st {};
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Appends under the lock the caller holds. A file of 0 bytes counts as new: a
// first write that failed (disk full, quota) leaves one behind, and it must
// still get the header.
int AppendLocked(const char* line) {
  LogSettings_t& s = log_settings();
  const char* path = log_file_path();
  if (path[0] == '\0') return 255;  // no folder given yet
  const uint32_t length = static_cast<uint32_t>(std::strlen(line));
  bool fresh = false;
  if (log_file_size(path) == 0) {
    s.file_bytes = 0;
    s.total_bytes = log_archives_size();
    if (!IsDirectory(log_folder_path()) &&
        (!log_make_folder(log_base_path()) ||
         (::mkdir(log_folder_path(), 0777) != 0 && errno != EEXIST))) {
      return 255;
    }
    fresh = true;
  } else {
    log_count_sizes(path, s);
  }
  const uint32_t cap = static_cast<uint32_t>(s.size_mb) * kMegabyte;
  if (s.file_bytes + length > kLogFileCap || s.total_bytes + length > cap) {
    if (log_rotate(path, length) != 0) return 255;
    // Rotation may only have dropped old archives: the header goes only into
    // a file that starts anew, never into the middle of one.
    fresh = log_file_size(path) == 0;
  }
  FILE* file = platform_fopen(path, "a");
  if (file == nullptr) return 255;
  struct stat st {};
  if (::fstat(fileno(file), &st) != 0) {
    std::fclose(file);
    return 255;
  }
  const off_t before = st.st_size;
  bool written = !fresh || log_write_header(file) == 0;
  written = written && std::fputs(line, file) >= 0;
  written = std::fclose(file) == 0 && written;
  if (!written) {
    // Cut the torn tail off, so the file ends with a whole line (the next one
    // would otherwise run on from the fragment) and matches the counters. When
    // that fails too, the counters are dropped and recounted from the file.
    if (::truncate(path, before) != 0) {
      s.file_bytes = 0;
      s.total_bytes = 0;
    }
    return 255;
  }
  if (fresh) {
    const uint32_t header = static_cast<uint32_t>(log_header_length());
    s.file_bytes = header;
    s.total_bytes += header;
  }
  s.file_bytes += length;
  s.total_bytes += length;
  return 0;
}

}  // namespace

bool log_make_folder(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  if (IsDirectory(path)) return true;
  // Each missing component in turn, parents first.
  const std::string whole(path);
  for (size_t slash = whole.find('/', 1);; slash = whole.find('/', slash + 1)) {
    const std::string part = whole.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return IsDirectory(path);
}

int log_append_file(const char* line) {
  if (line == nullptr) return 255;
  const PlatformLockGuard lock(*log_file_lock());
  if (!lock) return 255;
  return AppendLocked(line);
}

}  // namespace tilo2::core
