#pragma once
// Append helpers of the printer generators: fixed commands are copied into a
// block of their own, composed ones go through the shared scratch vector;
// either way each command lands as one chunk.

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "encoding/builder/cmd_emit_vector.h"
#include "encoding/printer/prn_cmd.h"

namespace tilo2::core {

// Appends a copy of bytes to the builder's body (0, 1 null builder, 3, ...).
inline int PrnEmitBody(PrnCmdHandle_t* builder, const uint8_t* bytes, int size) {
  if (builder == nullptr) return 1;
  return CmdBufferAppendCopy(&builder->cmdBuffer, CmdBufferAppendBody, bytes, size);
}

inline int PrnEmitBody(PrnCmdHandle_t* builder, std::initializer_list<uint8_t> bytes) {
  return PrnEmitBody(builder, bytes.begin(), int(bytes.size()));
}

// Appends a copy through a header or trailer append function.
inline int PrnEmitFrame(PrnCmdHandle_t* builder, CmdAppendFn append, const uint8_t* bytes,
                        int size) {
  if (builder == nullptr || append == nullptr) return 1;
  return CmdBufferAppendCopy(&builder->cmdBuffer, append, bytes, size);
}

// fill(std::vector<uint8_t>&) returns a result code (0 to append what it wrote).
template <typename Fill>
int PrnEmitFilled(PrnCmdHandle_t* builder, Fill&& fill) {
  if (builder == nullptr) return 1;
  return CmdEmitFilled(&builder->cmdBuffer, CmdBufferAppendBody, fill);
}

// For byte cores that cannot fail: fill returns nothing.
template <typename Fill>
int PrnEmitAlways(PrnCmdHandle_t* builder, Fill&& fill) {
  if (builder == nullptr) return 1;
  return CmdEmitAlways(&builder->cmdBuffer, CmdBufferAppendBody, fill);
}

}  // namespace tilo2::core
