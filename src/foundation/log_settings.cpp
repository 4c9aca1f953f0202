// Settings calls and the start-up of the logger by every device object.
#include "foundation/log_settings.h"

#include <cstdio>
#include <cstring>

#include "foundation/lock_guard.h"
#include "foundation/log_rotate.h"
#include "foundation/platform.h"

namespace tilo2::core {

namespace {

constexpr int kHeaderComparedSlots = 5;  // the storage size may change freely

bool SettingsFilePath(char (&out)[kLogPathSize], const char* base) {
  const int n = std::snprintf(out, sizeof out, "%s/%s", base, kLogSettingsFileName);
  return n >= 0 && n < kLogPathSize;
}

// Under the log-file lock: archives an existing log file whose header belongs
// to another environment.
void CheckStoredHeader() {
  const char* path = log_file_path();
  FILE* file = platform_fopen(path, "r");
  if (file == nullptr) return;
  LogHeader_t stored{};
  const bool readable = log_read_header(file, &stored) == 0;
  std::fclose(file);
  const LogHeader_t& current = log_header_state();
  bool same = readable;
  for (int i = 0; same && i < kHeaderComparedSlots; ++i) {
    same = std::strcmp(stored.values[i], current.values[i]) == 0;
  }
  // Rotation counts the file first and, while no cap is known yet (settings
  // not read), archives it without deleting anything.
  if (!same) log_rotate(path, kLogForcedRotation);
}

}  // namespace

int log_set_settings(const char* base_folder, int period, int output, const char* ip, int port,
                     int size_mb, int level) {
  if (period != 0 && period != 1) return 1;
  if (output < 0 || output > 2) return 1;
  if (port < 0 || port > 65535) return 1;
  if (output == 2 && !log_ip_text_valid(ip)) return 1;
  // Any address text is kept whole or refused, never cut short.
  if (ip != nullptr && strnlen(ip, sizeof LogSettings_t{}.ip) >= sizeof LogSettings_t{}.ip)
    return 1;
  if (level != 0 && level != 255) return 1;
  if (!log_size_fits_level(size_mb, level)) return 1;
  LogPaths_t paths{};
  if (base_folder != nullptr && log_build_paths(&paths, base_folder) != 0) return 1;

  LogSettings_t s = log_settings_snapshot();
  s.output = output;
  if (ip != nullptr) platform_strncpy(s.ip, ip, sizeof s.ip - 1);
  s.port = static_cast<uint16_t>(port);
  s.size_mb = size_mb;
  s.level = level;

  char settings_path[kLogPathSize];
  char base[kLogPathSize];
  bool path_fits = false;
  {
    const PlatformLockGuard lock(*log_file_lock());
    if (base_folder != nullptr) SetLogPaths(paths);
    path_fits = SettingsFilePath(settings_path, log_base_path()) && log_base_path()[0] != '\0';
    platform_strncpy(base, log_base_path(), sizeof base - 1);
  }

  log_set_settings_file_flag(period);
  log_settings_apply(s);
  // The app's folder is made here, by the first file written into it.
  if (period == 1 &&
      (!path_fits || !log_make_folder(base) || log_write_settings_file(settings_path, s) != 0)) {
    return 255;
  }
  return 0;
}

int log_initialize(const char* base_folder, const char* device_os, const char* device_name,
                   const char* storage) {
  if (base_folder == nullptr || device_os == nullptr || device_name == nullptr ||
      storage == nullptr) {
    return 1;
  }
  LogHeader_t header{};
  if (log_build_header(&header, base_folder, device_os, device_name, storage) != 0) return 255;
  char settings_path[kLogPathSize];
  const bool path_fits = SettingsFilePath(settings_path, header.paths.base);

  {
    const PlatformLockGuard lock(*log_file_lock());
    SetLogPaths(header.paths);
    log_header_state() = header;
    CheckStoredHeader();
  }

  if (log_settings_file_flag() != 1) return 0;
  if (!path_fits || log_read_settings_file(settings_path) != 0) return 255;
  return 0;
}

}  // namespace tilo2::core
