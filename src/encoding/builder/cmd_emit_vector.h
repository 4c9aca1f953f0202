#pragma once
// Generators compose a command in a reusable per-thread vector and append it
// to a builder's buffer as one chunk.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "encoding/builder/cmd_buffer.h"

namespace tilo2::core {

// Argument checks of the generators: a value written into its command as
// one byte, or as a 16-bit little-endian number, must fit there.
constexpr bool CmdFitsByte(long value) { return value >= 0 && value <= 0xFF; }
constexpr bool CmdFitsWord(long value) { return value >= 0 && value <= 0xFFFF; }

// Lends the calling thread's one scratch vector, empty, for the lifetime of
// the object. Should a fill ever emit a command itself, the inner object finds
// the vector lent out and uses a vector of its own, so the outer command's
// bytes are never overwritten.
class CmdEmitScratch {
 public:
  CmdEmitScratch();
  ~CmdEmitScratch();
  CmdEmitScratch(const CmdEmitScratch&) = delete;
  CmdEmitScratch& operator=(const CmdEmitScratch&) = delete;

  std::vector<uint8_t>& Bytes() { return *vector_; }

 private:
  std::vector<uint8_t>* vector_;
  std::vector<uint8_t> own_;
  bool borrowed_;
};

// Runs fill(std::vector<uint8_t>&) -> result code on an empty scratch vector;
// on 0 appends the bytes it produced (nothing when it produced none).
// Answers fill's failure, 3 for lack of memory, or the append's result.
template <typename Fill>
int CmdEmitFilled(CmdBuffer_t* buffer, CmdAppendFn append, Fill&& fill) {
  CmdEmitScratch lease;
  std::vector<uint8_t>& scratch = lease.Bytes();
  int rc = 0;
  try {
    rc = fill(scratch);
  } catch (const std::bad_alloc&) {
    rc = 3;
  }
  if (rc == 0 && !scratch.empty()) {
    rc =
        scratch.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())
            ? 3
            : CmdBufferAppendCopy(buffer, append, scratch.data(), static_cast<int>(scratch.size()));
  }
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

}  // namespace tilo2::core
