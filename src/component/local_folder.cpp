#include "component/local_folder.h"

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "orvik/tilo2/platform.h"

namespace tilo2::core {

namespace {

constexpr mode_t kFolderMode = 0700;

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
  std::string made;      // the folder once it exists
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

bool MakeFolder(const std::string& path) {
  if (path.empty()) return false;
  if (IsDirectory(path)) return true;
  // Each missing component in turn, parents first.
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), kFolderMode) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return IsDirectory(path);
}

std::string LocalFolderPath() {
  FolderState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.made.empty()) return state.made;
  std::string folder = state.assigned;
  if (folder.empty()) {
    folder = DefaultLocalFolder(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"), ProgramName());
  }
  if (!MakeFolder(folder)) return {};
  state.made = folder;
  return folder;
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
  state.made.clear();
}

String LocalFolder() { return String(tilo2::core::LocalFolderPath()); }

}  // namespace Orvik::Tilo::Tilo2::Platform
