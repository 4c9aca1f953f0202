#pragma once
// Printer generators built on the byte cores: compose into a scratch vector,
// append as one body chunk.
#include <vector>

#include "encoding/cmd_emit_vector.h"
#include "encoding/prn_cmd.h"

// fill(std::vector<uint8_t>&) returns a result code (0 to append what it wrote).
template <typename Fill>
int PrnEmitFilled(PrnCmdHandle_t* builder, Fill&& fill) {
  if (builder == nullptr) return 1;
  return CmdEmitFilled(&builder->cmdBuffer, CmdBufferAppendBody, fill);
}

// For byte cores that cannot fail: fill returns nothing.
template <typename Fill>
int PrnEmitAlways(PrnCmdHandle_t* builder, Fill&& fill) {
  return PrnEmitFilled(builder, [&](std::vector<uint8_t>& out) {
    fill(out);
    return 0;
  });
}
