#pragma once
// The runtime's thread pool: runs queued work on worker threads. Work items may
// block for minutes and may wait on other items, so the pool never makes work wait
// for a busy worker: when no worker is idle, queuing starts a new one (up to
// kPoolMaxWorkers). Workers beyond the core count leave after an idle spell.

#include <chrono>
#include <cstddef>
#include <functional>

namespace tilo2::core {

inline constexpr size_t kPoolMaxWorkers = 512;
inline constexpr std::chrono::milliseconds kPoolIdleTimeout{30000};

// Queues `work`; it runs once, on a pool thread. An exception leaving `work` is
// dropped so it never ends a worker. Throws std::system_error when no worker
// exists and none can be started.
void PoolSubmit(std::function<void()> work);

// The number of worker threads (busy and idle) now alive.
size_t PoolWorkerCount();

// The number of workers the pool keeps however long they are idle.
size_t PoolCoreCount();

}  // namespace tilo2::core
