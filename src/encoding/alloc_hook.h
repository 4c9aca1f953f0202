#pragma once
// Allocation of the command encoding's working blocks (reply remainders,
// packet copies, error rows). malloc by default; tests swap in a failing
// allocator to reach the out-of-memory paths. Blocks are released with free().

#include <cstddef>

using EncodingAllocFn = void* (*)(size_t size);

void* encoding_alloc(size_t size);

// Null restores malloc. Not for use while another thread encodes.
void encoding_set_allocator(EncodingAllocFn alloc);
