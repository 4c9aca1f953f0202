// The logger's process-wide state and its locks.
#include "foundation/log_state.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "foundation/lock_guard.h"
#include "foundation/test_hooks.h"

namespace {

LogSettings_t g_settings{};
LogHeader_t g_header{};
PlatformMutex_t g_file_lock = PLATFORM_MUTEX_STATIC_INITIALIZER;
std::atomic<int> g_settings_file_flag{1};

std::mutex& settings_lock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

LogSettings_t& log_settings() { return g_settings; }

LogSettings_t log_settings_snapshot() {
  LogSettings_t copy{};
  std::lock_guard<std::mutex> guard(settings_lock());
  copy.output = g_settings.output;
  std::memcpy(copy.ip, g_settings.ip, sizeof copy.ip);
  copy.port = g_settings.port;
  copy.size_mb = g_settings.size_mb;
  copy.level = g_settings.level;
  return copy;
}

void log_settings_apply(const LogSettings_t& s) {
  const PlatformLockGuard lock(g_file_lock);
  {
    std::lock_guard<std::mutex> guard(settings_lock());
    g_settings.output = s.output;
    std::memcpy(g_settings.ip, s.ip, sizeof g_settings.ip);
    g_settings.ip[sizeof g_settings.ip - 1] = '\0';
    g_settings.port = s.port;
    g_settings.size_mb = s.size_mb;
    g_settings.level = s.level;
  }
}

PlatformMutex_t* log_file_lock() { return &g_file_lock; }

const char* log_folder_path() { return g_header.paths.folder; }
const char* log_file_path() { return g_header.paths.file; }
const char* log_base_path() { return g_header.paths.base; }
LogHeader_t& log_header_state() { return g_header; }

void SetLogPaths(const LogPaths_t& paths) {
  const LogPaths_t& old = g_header.paths;
  if (std::strcmp(old.file, paths.file) != 0 || std::strcmp(old.folder, paths.folder) != 0 ||
      std::strcmp(old.base, paths.base) != 0) {
    g_settings.file_bytes = 0;
    g_settings.total_bytes = 0;
  }
  g_header.paths = paths;
}

int log_settings_file_flag() { return g_settings_file_flag.load(); }
void log_set_settings_file_flag(int period) { g_settings_file_flag.store(period); }

void log_reset_state() {
  const PlatformLockGuard lock(g_file_lock);
  {
    std::lock_guard<std::mutex> guard(settings_lock());
    g_settings = LogSettings_t{};
  }
  g_header = LogHeader_t{};
  g_settings_file_flag.store(1);
}
