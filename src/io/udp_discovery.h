#pragma once
// The UDP finder: finds network printers by the two discovery queries sent to
// a broadcast address on port 3289, repeated every 10 s, and keeps one row per
// replying IPv4 address. Start, poll and stop run under the discovery engine's
// lock, so they never overlap; the receive thread and a poll share a mutex.
//
// Its start and poll are declared with the other finders in finder_bridge.h:
// the start answers 0, 1 (null text, 32 characters or more, no IPv4 address
// in it), 5, 6 (running already) or 255; the poll hands out the complete rows
// (name and MAC known), owned by the finder until the next poll or the stop.

#include "io/finder_bridge.h"

namespace tilo2::core {

// Stops the receive thread (within 200 ms) and frees the table and the last
// poll's arrays: 0, or 6 when not running.
int TiloIoUdpStopDiscovery();

}  // namespace tilo2::core
