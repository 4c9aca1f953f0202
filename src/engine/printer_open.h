#pragma once
// Opening a created print handle onto a printer (transport, queue thread,
// reachability, recovery, device information, status monitor) and closing it
// again, which waits for nothing: it refuses while jobs or requests remain.

#include <cstdint>

#include "engine/print_handle.h"

namespace tilo2::core {

inline constexpr int32_t kDefaultOpenTimeoutMs = 15000;
inline constexpr int32_t kMinOpenTimeoutMs = 1000;
inline constexpr int32_t kMaxOpenTimeoutMs = 300000;

// connectionType 0 TCP, 1 Bluetooth, 2 USB; timeoutMs 1000..300000 or -2 for
// 15000. A printer that stays silent still opens, with dma set. Results are
// TiloPrintResult codes: 1 bad argument, 6 already open, the transport's
// failure, or the failure of the queue thread or monitor start (the transport
// is closed again then).
int TiloOpenPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t connectionType,
                    const char* address, int32_t timeoutMs);
// 1 unknown handle, 6 not open, 7 while jobs are outstanding (after three
// checks 30 ms apart) or requests remain queued: the connection then stays
// open with its monitor running. A failing transport close is returned too.
int TiloDisconnectPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle);

}  // namespace tilo2::core
