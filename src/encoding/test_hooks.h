#pragma once
// Test seams of the command encoding, in one place: each swaps a piece the
// encoding otherwise takes from the system or from its own code, so tests
// reach paths (a failing allocation, a scripted converter, a fixed clock, the
// scalar image paths) they could not reach otherwise. Library code calls
// none of them; each takes effect for every thread, so tests call them while
// nothing else encodes.

#include <cstddef>

#include "encoding/builder/cmd_codec.h"

namespace tilo2::core {

// Allocation of the encoding's working blocks; null restores malloc.
using EncodingAllocFn = void* (*)(size_t size);
void EncodingSetAllocator(EncodingAllocFn alloc);

// Scripted converter or double-byte encoders; null restores the built-in ones.
void CmdSetConverterOps(const CmdConverterOps* ops);
void CmdSetDbcsOps(const CmdDbcsOps* ops);

// Local time source of the display reset: 0 with hour 0..23 and minute 0..59,
// anything else when the time cannot be read. Null restores the system clock.
using DspLocalClockFn = int (*)(int* hour, int* minute);
void DspSetLocalClock(DspLocalClockFn clock);

// False makes every image conversion take its scalar path.
void ImageSetVectorPaths(bool enabled);

}  // namespace tilo2::core
