#include "foundation/log_rotate.h"
#include "foundation/log_state.h"

namespace tilo2::core {

// Kept apart from the rotation itself: these are the only pieces that need the
// process-wide logger state.

uint32_t log_archives_size() { return log_archives_size_of(log_file_path()); }

int log_rotate(const char* path, uint32_t incoming) {
  return log_rotate_with(path, incoming, log_settings());
}

}  // namespace tilo2::core
