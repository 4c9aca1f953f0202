// The logger's process-wide state and its locks.
#include "foundation/log_state.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "foundation/lock_guard.h"
#include "foundation/test_hooks.h"

namespace tilo2::core {

namespace {

LogSettings_t gSettings{};
LogHeader_t gHeader{};
PlatformMutex_t gFileLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
std::atomic<int> gSettingsFileFlag{1};

std::mutex& SettingsLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

LogSettings_t& log_settings() { return gSettings; }

LogSettings_t log_settings_snapshot() {
  LogSettings_t copy{};
  std::lock_guard<std::mutex> guard(SettingsLock());
  copy.output = gSettings.output;
  std::memcpy(copy.ip, gSettings.ip, sizeof copy.ip);
  copy.port = gSettings.port;
  copy.size_mb = gSettings.size_mb;
  copy.level = gSettings.level;
  return copy;
}

void log_settings_apply(const LogSettings_t& s) {
  const PlatformLockGuard lock(gFileLock);
  {
    std::lock_guard<std::mutex> guard(SettingsLock());
    gSettings.output = s.output;
    std::memcpy(gSettings.ip, s.ip, sizeof gSettings.ip);
    gSettings.ip[sizeof gSettings.ip - 1] = '\0';
    gSettings.port = s.port;
    gSettings.size_mb = s.size_mb;
    gSettings.level = s.level;
  }
}

PlatformMutex_t* log_file_lock() { return &gFileLock; }

const char* log_folder_path() { return gHeader.paths.folder; }
const char* log_file_path() { return gHeader.paths.file; }
const char* log_base_path() { return gHeader.paths.base; }
LogHeader_t& log_header_state() { return gHeader; }

void SetLogPaths(const LogPaths_t& paths) {
  const LogPaths_t& old = gHeader.paths;
  if (std::strcmp(old.file, paths.file) != 0 || std::strcmp(old.folder, paths.folder) != 0 ||
      std::strcmp(old.base, paths.base) != 0) {
    gSettings.file_bytes = 0;
    gSettings.total_bytes = 0;
  }
  gHeader.paths = paths;
}

int log_settings_file_flag() { return gSettingsFileFlag.load(); }
void log_set_settings_file_flag(int period) { gSettingsFileFlag.store(period); }

void log_reset_state() {
  const PlatformLockGuard lock(gFileLock);
  {
    std::lock_guard<std::mutex> guard(SettingsLock());
    gSettings = LogSettings_t{};
  }
  gHeader = LogHeader_t{};
  gSettingsFileFlag.store(1);
}

}  // namespace tilo2::core
