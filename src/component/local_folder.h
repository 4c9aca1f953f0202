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

// The folder as UTF-8, made on first use; empty when there is none (see
// Platform::LocalFolder).
std::string LocalFolderPath();

// Makes the directory and any missing parent, each with mode 0700; true when
// the path is a directory afterwards.
bool MakeFolder(const std::string& path);

// Bytes available to this process on the volume holding path; 0 on failure.
uint64_t FreeBytesOfVolume(const std::string& path);

}  // namespace tilo2::core
