#pragma once
// Generators compose a command in a reusable per-thread vector and append it
// to a builder's buffer as one chunk.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "encoding/builder/cmd_buffer.h"

// Runs fill(std::vector<uint8_t>&) -> result code on an empty scratch vector;
// on 0 appends the bytes it produced (nothing when it produced none).
// Answers fill's failure, 3 for lack of memory, or the append's result.
template <typename Fill>
int CmdEmitFilled(CmdBuffer_t* buffer, CmdAppendFn append, Fill&& fill) {
  // Kept between calls so a busy print loop does not allocate per command.
  thread_local std::vector<uint8_t> scratch;
  constexpr size_t kKeepBytes = size_t{1} << 20;
  scratch.clear();
  int rc = 0;
  try {
    rc = fill(scratch);
  } catch (const std::bad_alloc&) {
    rc = 3;
  }
  if (rc == 0 && !scratch.empty()) {
    rc = scratch.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())
             ? 3
             : CmdBufferAppendCopy(buffer, append, scratch.data(), static_cast<int>(scratch.size()));
  }
  if (scratch.capacity() > kKeepBytes) std::vector<uint8_t>().swap(scratch);
  return rc;
}

// For byte cores that cannot fail: fill(std::vector<uint8_t>&) returns nothing.
template <typename Fill>
int CmdEmitAlways(CmdBuffer_t* buffer, CmdAppendFn append, Fill&& fill) {
  return CmdEmitFilled(buffer, append, [&](std::vector<uint8_t>& out) {
    fill(out);
    return 0;
  });
}
