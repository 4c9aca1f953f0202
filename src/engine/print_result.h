#pragma once
// The print engine's result codes and the maps from the layers below.

#include <cstdint>

namespace tilo2::core {

enum TiloPrintResult : int {
  TILOPRN_SUCCESS = 0,
  TILOPRN_PARAMETER_ERROR = 1,  // null argument, unknown handle, value out of range
  TILOPRN_CONNECT_ERROR = 2,    // also: the connection is already held, no display behind
  TILOPRN_IO_ERROR = 3,         // also: the printer does not answer
  TILOPRN_TIMEOUT = 4,
  TILOPRN_MEMORY_ERROR = 5,  // also: a request could not be queued
  TILOPRN_ILLEGAL_STATE = 6,
  TILOPRN_BUSY = 7,
  TILOPRN_NOT_SUPPORTED = 8,  // the model lacks the command (builder result 2)
  TILOPRN_PRINTER_ERROR = 9,
  TILOPRN_DISPLAY_WINDOW_ERROR = 10,
  TILOPRN_CANCELLED = 11,
  TILOPRN_FAILURE = 255,
};

// The connection layer's 0..7 pass through; anything else is 255.
int ConvertIoResult(int ioResult);
// Builder 0 -> 0, 1 -> 1, 2 -> 8, 3 -> 5, anything else -> 255.
int ConvertBuilderResult(int builderResult);
// As ConvertBuilderResult, but a command the model lacks counts as success:
// clearing or freeing never fails for want of a table.
int ConvertBuilderResultLenient(int builderResult);

}  // namespace tilo2::core
