#include "encoding/alloc_hook.h"

#include <cstdlib>

#include "encoding/test_hooks.h"

namespace {
EncodingAllocFn g_alloc = nullptr;
}

void* encoding_alloc(size_t size) { return g_alloc ? g_alloc(size) : std::malloc(size); }

void encoding_set_allocator(EncodingAllocFn alloc) { g_alloc = alloc; }
