#pragma once
// Where tests reach into the device layer. Product code never calls these.

#include <cstddef>

namespace tilo2::core {

// The allocation behind every command-list node; tests swap it to fail on
// purpose. Null restores malloc.
using TdcCommandAllocFn = void* (*)(size_t size);
void TdcSetCommandAllocator(TdcCommandAllocFn alloc);

// The next count connection-listener adds fail as if out of memory.
void TdcFailListenerAdds(int count);

}  // namespace tilo2::core
