#include "foundation/log_rotate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/log_state.h"
#include "foundation/zip_writer.h"

namespace tilo2::core {

namespace {

constexpr uint64_t kMegabyte = 1048576;
// More archives than this would wrap the 32-bit total; the count stops there.
constexpr int kMaxCountedArchives = static_cast<int>(0xFFFFFFFFu / kLogFileCap);
// The shift names archive k + 1: it must stay within the three digits the path
// bound leaves room for.
static_assert(kMaxCountedArchives + 1 < 1000);

bool LeftoverName(char* out, size_t size, const char* path, int n) {
  const int len = std::snprintf(out, size, "%s.%d", path, n);
  return len > 0 && static_cast<size_t>(len) < size;
}

int ArchiveCount(const char* path) {
  int k = 0;
  while (k < kMaxCountedArchives && log_archive_size(path, k + 1) != 0) ++k;
  return k;
}

// Renames archive `from` to archive `to`; false when a name does not fit or the
// rename fails.
bool MoveArchive(const char* path, int from, int to) {
  char a[kZipNameSize];
  char b[kZipNameSize];
  return log_archive_name(a, sizeof a, path, from) && log_archive_name(b, sizeof b, path, to) &&
         std::rename(a, b) == 0;
}

// Archives 1..k move up one number, newest last so nothing is overwritten. On a
// failure the moves already made are undone, so the run keeps its numbers.
bool ShiftArchives(const char* path, int k) {
  for (int j = k; j >= 1; --j) {
    if (!MoveArchive(path, j, j + 1)) {
      for (int u = j + 1; u <= k; ++u) MoveArchive(path, u + 1, u);
      return false;
    }
  }
  return true;
}

void UnshiftArchives(const char* path, int k) {
  for (int j = 1; j <= k; ++j) MoveArchive(path, j + 1, j);
}

// Archives the left-over plain files "P.1" .. "P.10". One whose archive already
// exists is left alone: an archive is never overwritten.
void ArchiveLeftovers(const char* path) {
  for (int n = 1; n <= kLogLeftoverMax; ++n) {
    char plain[kZipNameSize];
    char archive[kZipNameSize];
    if (!LeftoverName(plain, sizeof plain, path, n) ||
        !log_archive_name(archive, sizeof archive, path, n))
      return;
    if (!log_file_exists(plain)) continue;
    struct stat st {};
    if (::stat(archive, &st) == 0) continue;
    if (log_zip_file(plain, 0) != 0) return;  // "P.n" + ".zip"
  }
}

}  // namespace

bool log_file_exists(const char* path) {
  struct stat st {};
  return path != nullptr && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

uint32_t log_file_size(const char* path) {
  struct stat st {};
  if (path == nullptr || ::stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return 0;
  return static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFu ? 0xFFFFFFFFu
                                                         : static_cast<uint32_t>(st.st_size);
}

uint32_t log_archive_size(const char* path, int n) {
  char name[kZipNameSize];
  if (n < 1 || !log_archive_name(name, sizeof name, path, n)) return 0;
  return log_file_exists(name) ? kLogFileCap : 0;
}

uint32_t log_archives_size_of(const char* path) {
  if (path == nullptr) return 0;
  return static_cast<uint32_t>(ArchiveCount(path)) * kLogFileCap;
}

void log_count_sizes(const char* path, LogSettings_t& s) {
  if (s.file_bytes == 0) s.file_bytes = log_file_size(path);
  if (s.total_bytes == 0) s.total_bytes = log_archives_size_of(path) + s.file_bytes;
}

int log_rotate_with(const char* path, uint32_t incoming, LogSettings_t& s) {
  if (path == nullptr || *path == '\0' || strnlen(path, kLogRotatePathMax + 1) > kLogRotatePathMax)
    return 1;
  // 0 means not yet counted: count now, or the cap check below would see too little.
  log_count_sizes(path, s);

  ArchiveLeftovers(path);

  // Sums in 64 bits: a cap of 4096 MB or more, or a forced length, never wraps.
  // A size of 0 means no settings are known yet (the header check at start-up
  // runs before the settings file is read): the file is archived, but nothing
  // is deleted for a cap of 0.
  const bool capped = s.size_mb > 0;
  const uint64_t cap = capped ? static_cast<uint64_t>(s.size_mb) * kMegabyte : 0;
  int k = ArchiveCount(path);
  while (capped && k > 0 && uint64_t{s.total_bytes} + incoming > cap) {
    char name[kZipNameSize];
    if (!log_archive_name(name, sizeof name, path, k) || ::unlink(name) != 0) return 1;
    s.total_bytes = s.total_bytes > kLogFileCap ? s.total_bytes - kLogFileCap : 0;
    --k;
  }
  if (capped && uint64_t{s.total_bytes} + incoming > cap) {
    if (::unlink(path) != 0 && errno != ENOENT) return 1;
    s.file_bytes = 0;
  }
  if (uint64_t{s.file_bytes} + incoming > kLogFileCap) {
    // Only an existing file is archived, so a missing one never opens a gap at 1.
    if (log_file_exists(path)) {
      if (!ShiftArchives(path, k)) return 1;
      if (log_zip_file(path, 1) != 0) {
        UnshiftArchives(path, k);
        return 1;
      }
    }
    s.file_bytes = 0;
  }
  s.total_bytes = log_archives_size_of(path) + s.file_bytes;
  return 0;
}

}  // namespace tilo2::core
