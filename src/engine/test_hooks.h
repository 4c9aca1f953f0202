#pragma once
// Where tests reach into the print engine. Product code never calls these.

#include <cstdint>

namespace tilo2::core {

// Sets the id the next wait object's search starts after, so tests reach the
// wrap of the 32-bit ids without creating four billion objects.
void EngineSetLastWaitId(uint32_t id);

}  // namespace tilo2::core
