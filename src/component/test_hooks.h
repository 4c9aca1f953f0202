#pragma once
// Where tests reach into the component layer. Product code never calls these.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace tilo2::core {

// How long a worker beyond the core count stays idle before it leaves; zero
// restores kPoolIdleTimeout. Idle workers apply it at once.
void TiloComponentSetPoolIdleTimeout(std::chrono::milliseconds timeout);

// Waits until at most `count` workers are alive or `deadline` passes; true when
// the count was reached.
bool TiloComponentWaitPoolWorkersAtMost(size_t count,
                                        std::chrono::steady_clock::time_point deadline);

// Waits until the queue is empty and at most `count` workers are running work, or
// `deadline` passes; true when that state was reached.
bool TiloComponentWaitPoolBusyAtMost(size_t count, std::chrono::steady_clock::time_point deadline);

// Reads the device information from these files instead of the system's and
// drops what was read so far; an empty path restores that source's default.
void TiloComponentSetDeviceInformationSources(std::string osReleasePath,
                                              std::string productNamePath);

struct DeviceInformation;
using DeviceInformationProvider = std::shared_ptr<const DeviceInformation> (*)();

// Makes GetDeviceInformation answer from `provider` (which may throw) instead of
// reading its sources; null reads the sources again.
void TiloComponentSetDeviceInformationProvider(DeviceInformationProvider provider);

}  // namespace tilo2::core
