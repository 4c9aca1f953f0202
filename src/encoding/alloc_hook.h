#pragma once
// Allocation of the command encoding's working blocks (reply remainders,
// packet copies, error rows). malloc by default; tests swap in a failing
// allocator (encoding/test_hooks.h) to reach the out-of-memory paths. Blocks
// are released with free().

#include <cstddef>

namespace tilo2::core {

void* EncodingAlloc(size_t size);

}  // namespace tilo2::core
