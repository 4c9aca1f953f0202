#pragma once
// The local folder (where logs and log settings live) and the free space of
// its volume. The public side is Platform::SetLocalFolder / LocalFolder.

#include <cstdint>
#include <string>
#include <string_view>

namespace tilo2::core {

// The default folder from the environment's values (either may be null):
// <xdgDataHome>/<program> when xdgDataHome is an absolute path, else
// <home>/.local/share/<program> when home is one; empty otherwise, or when
// program is empty.
std::string DefaultLocalFolder(const char* xdgDataHome, const char* home, std::string_view program);

// The folder as UTF-8; empty when there is none or something other than a
// folder stands in its way (see Platform::LocalFolder). Reading it makes
// nothing: the folder is made by the first file written into it, so a
// program that never writes there leaves no empty folder behind.
std::string LocalFolderPath();

// The folder as LocalFolderPath gives it, made (with its parents) if missing;
// empty when it cannot be made. For callers about to write into it.
std::string MakeLocalFolder();

// Makes the directory and any missing parent, each with mode 0700; true when
// the path is a directory afterwards.
bool MakeFolder(const std::string& path);

// The path itself when it exists, else its nearest existing ancestor: the
// volume a folder not made yet will be on. Empty for an empty path.
std::string NearestExistingPath(const std::string& path);

// Bytes available to this process on the volume holding path; 0 on failure.
uint64_t FreeBytesOfVolume(const std::string& path);

}  // namespace tilo2::core
