#include "encoding/alloc_hook.h"

#include <cstdlib>

#include "encoding/test_hooks.h"

namespace tilo2::core {

namespace {
EncodingAllocFn allocOverride = nullptr;
}

void* EncodingAlloc(size_t size) { return allocOverride ? allocOverride(size) : std::malloc(size); }

void EncodingSetAllocator(EncodingAllocFn alloc) { allocOverride = alloc; }

}  // namespace tilo2::core
