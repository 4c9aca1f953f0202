#pragma once
// What the library and its tests reach of the discovery classes beyond the
// public header.

#include <cstdint>

#include "device/discovery_engine.h"
#include "orvik/tilo2/activation.h"

namespace tilo2::core {

// The engine's found-device callback (Discovery::OnDiscovery): raises
// Discovered on the calling thread (the engine's notify thread) with a
// DeviceInfo copied from `device`. Keeps no pointer into the record, takes no
// lock of the Discovery class and never calls back into the engine; whatever
// a handler throws ends that one raise and is written to the exit line.
void DiscoveryOnDiscovery(int32_t reserved, FoundDevice_t* device);

// The activation factories of "Orvik.Tilo.Tilo2.Discovery.Discovery" (static
// only) and "Orvik.Tilo.Tilo2.Discovery.FilterOption" (default constructor).
::Orvik::Tilo::Tilo2::IActivationFactory* MakeDiscoveryFactory();
::Orvik::Tilo::Tilo2::IActivationFactory* MakeFilterOptionFactory();

}  // namespace tilo2::core
