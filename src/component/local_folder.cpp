#include "component/local_folder.h"

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "foundation/log_settings.h"
#include "orvik/tilo2/platform.h"

namespace tilo2::core {

namespace {

bool IsAbsolute(const char* path) { return path != nullptr && path[0] == '/'; }

// The executable's file name; the name it was started under when the
// executable cannot be read.
std::string ProgramName() {
  char target[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", target, sizeof target);
  std::string_view path;
  if (length > 0 && static_cast<size_t>(length) < sizeof target) {
    path = std::string_view(target, static_cast<size_t>(length));
  } else {
    path = program_invocation_name != nullptr ? program_invocation_name : "";
  }
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool IsDirectory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

struct FolderState {
  std::mutex mutex;
  std::string assigned;  // from SetLocalFolder; empty for the default
  std::string resolved;  // the folder in use, once looked up
};

FolderState& State() {
  static auto* state = new FolderState();  // never destroyed: logging may run at exit
  return *state;
}

}  // namespace

std::string DefaultLocalFolder(const char* xdgDataHome, const char* home,
                               std::string_view program) {
  if (program.empty()) return {};
  if (IsAbsolute(xdgDataHome)) return std::string(xdgDataHome) + "/" + std::string(program);
  if (IsAbsolute(home)) return std::string(home) + "/.local/share/" + std::string(program);
  return {};
}

bool MakeFolder(const std::string& path) { return log_make_folder(path.c_str()); }

std::string NearestExistingPath(const std::string& path) {
  std::string at = path;
  struct stat status {};
  while (!at.empty() && stat(at.c_str(), &status) != 0) {
    const size_t slash = at.rfind('/');
    if (slash == std::string::npos) return ".";  // relative: the working directory
    at = slash == 0 ? std::string("/") : at.substr(0, slash);
  }
  return at;
}

namespace {

// The configured or default folder, looked up once per setting.
std::string FolderLocked(FolderState& state) {
  if (state.resolved.empty()) {
    state.resolved = state.assigned;
    if (state.resolved.empty()) {
      state.resolved =
          DefaultLocalFolder(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"), ProgramName());
    }
  }
  return state.resolved;
}

// A folder can be there or be made: the path is a directory, or it is missing
// and its nearest existing ancestor is one.
bool CanBeFolder(const std::string& path) {
  if (path.empty()) return false;
  const std::string existing = NearestExistingPath(path);
  return !existing.empty() && IsDirectory(existing);
}

}  // namespace

std::string LocalFolderPath() {
  FolderState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::string folder = FolderLocked(state);
  return CanBeFolder(folder) ? folder : std::string();
}

std::string MakeLocalFolder() {
  FolderState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::string folder = FolderLocked(state);
  return MakeFolder(folder) ? folder : std::string();
}

uint64_t FreeBytesOfVolume(const std::string& path) {
  struct statvfs volume {};
  if (path.empty() || statvfs(path.c_str(), &volume) != 0) return 0;
  return static_cast<uint64_t>(volume.f_bavail) * static_cast<uint64_t>(volume.f_frsize);
}

}  // namespace tilo2::core

namespace Orvik::Tilo::Tilo2::Platform {

void SetLocalFolder(const String& path) {
  auto& state = tilo2::core::State();
  std::string folder = path.utf8();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.assigned = std::move(folder);
  state.resolved.clear();
}

String LocalFolder() { return String(tilo2::core::LocalFolderPath()); }

}  // namespace Orvik::Tilo::Tilo2::Platform
