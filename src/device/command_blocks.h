#pragma once
// The argument blocks of the printer command list, shared by the appends that
// build them and the replay that reads them. Private to the command list.
//
// A node and its block (with any text, data or pixel copy) are one
// allocation: the block follows the node, the copy follows the block, so one
// free releases everything and an append needs one allocation only.

#include <cstddef>
#include <cstdint>

#include "device/command_list.h"

namespace tilo2::core {

// Kinds of one to seven ints: args points at the ints, in block order.
// Kind 3: args points at the NUL-terminated text.

// Kinds 14 and 15.
struct TdcSymbolArgs_t {
  const char* data;  // the node's own NUL-terminated copy
  int32_t values[5];
};

// Kind 29.
struct TdcDataArgs_t {
  const uint8_t* bytes;  // the node's own copy
  int32_t length;        // at least 1
};

// Kind 12: TdcImageArgs_t, rgb pointing at the node's own pixel copy.

}  // namespace tilo2::core
