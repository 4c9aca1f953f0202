#pragma once
// Turns a TCP target (host name, IP literal or MAC text) into an address text
// that a numeric-host lookup accepts, and keeps a process-wide cache of
// {target, address} pairs: it lets control requests reach the address a
// connection uses, and records which targets belong to open connections.
//
// Heap strings returned here are allocated with malloc; callers free() them.
// Every public function reads and writes the cache under the cache lock
// (recursive, so a caller may hold it itself); when the lock cannot be had
// they fail instead of running unguarded.

#include <cstdint>

namespace tilo2::core {

inline constexpr int kAddressCacheRows = 20;
inline constexpr int kAddressTextSize = 48;  // an IPv6 literal (46) and its terminator fit

// Null on failure. fromMac: the address came from the MAC broadcast;
// updateCache: store the pair once the connection is up. Holds the cache lock
// only to read the cache, not through the lookup or broadcast.
char* TiloIoDhcpResolve(const char* target, int* fromMac, int* updateCache);
// Cached address of the target (case-insensitive), or null. fromMac may be null.
char* TiloIoDhcpLookup(const char* target, int* fromMac);
// 1 updated, 2 appended, 3 took over a row not in use, 0 nothing stored.
int TiloIoDhcpUpdate(const char* target, const char* address, int fromMac, int inUse);
// Print-engine kind 0 (TCP): the cached address, else a copy of the target;
// other kinds: a copy of the target. Null for a null target or a failed lock.
char* TiloIoDhcpGetCachedAddress(int connectionKind, const char* target);

// Finds a printer's IPv4 address by the MAC broadcast: 1 found (text in
// address, 46 bytes or more), 0 not found (text empty).
int resolveMacByBroadcast(char* address, const uint8_t mac[6]);

// Both expect the cache lock to be held. findCacheEntry returns the shared
// result buffer, valid while the lock is held.
const char* findCacheEntry(const char* target, int* fromMac);
int storeCacheEntry(const char* target, const char* address, int fromMac, int inUse);

// Takes and gives back the cache lock: 0 on success.
int TiloIoDhcpLock();
int TiloIoDhcpUnlock();

// Empties the cache, as at process start.
void TiloIoDhcpReset();

}  // namespace tilo2::core
