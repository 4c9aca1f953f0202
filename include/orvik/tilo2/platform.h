#pragma once
// The app's local data folder: where the SDK keeps its log files and log settings.
// Threads, handlers and what a handler may call: docs/threading.md.

#include "orvik/tilo2/export.h"
#include "orvik/tilo2/string.h"

namespace Orvik::Tilo::Tilo2::Platform {

// Replaces the folder for the rest of the process; an empty path restores the
// default.
TILO2_EXPORT void SetLocalFolder(const String& path);

// The folder, made (mode 0700) on first use when missing. By default
// $XDG_DATA_HOME/<program> when that variable is an absolute path, else
// $HOME/.local/share/<program>, <program> being the executable's file name.
// Empty when neither variable gives a path or the folder cannot be made.
TILO2_EXPORT String LocalFolder();

}  // namespace Orvik::Tilo::Tilo2::Platform
