#pragma once
// Small helpers of the printer generators: each command is copied into a
// block of its own and appended as one chunk.

#include <cstdint>
#include <initializer_list>

#include "encoding/prn_cmd.h"

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
