#include "io/address_cache.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "foundation/platform.h"

namespace tilo2::core {

namespace {

struct AddressCacheEntry_t {
  std::string key;  // the whole target, compared ignoring case
  char address[kAddressTextSize];
  int fromMac;
  int inUse;
};

PlatformMutex_t g_cacheLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
AddressCacheEntry_t g_rows[kAddressCacheRows];
int g_rowCount = 0;
char g_result[kAddressTextSize];

AddressCacheEntry_t* FindRow(const char* target) {
  for (int i = 0; i < g_rowCount; ++i) {
    if (strcasecmp(g_rows[i].key.c_str(), target) == 0) return &g_rows[i];
  }
  return nullptr;
}

void Fill(AddressCacheEntry_t& row, const char* target, const char* address, int fromMac,
          int inUse) {
  row.key = target;
  std::memcpy(row.address, address, std::strlen(address) + 1);
  row.fromMac = fromMac;
  row.inUse = inUse;
}

char* HeapCopy(const char* text) { return text ? strdup(text) : nullptr; }

// The cache lock for a scope; a failed lock is logged and not held.
PlatformLockGuard LockCache() {
  PlatformLockGuard lock(g_cacheLock);
  if (!lock) log_error_line("ERROR", __FILE__, __LINE__);
  return lock;
}

}  // namespace

int TiloIoDhcpLock() {
  if (platform_mutex_lock(&g_cacheLock, -1) != 0) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return -1;
  }
  return 0;
}

int TiloIoDhcpUnlock() {
  if (platform_mutex_unlock(&g_cacheLock) != 0) {
    log_error_line("ERROR", __FILE__, __LINE__);
    return -1;
  }
  return 0;
}

const char* findCacheEntry(const char* target, int* fromMac) {
  if (!target) return nullptr;
  const AddressCacheEntry_t* row = FindRow(target);
  if (!row) return nullptr;
  std::memcpy(g_result, row->address, sizeof g_result);
  if (fromMac) *fromMac = row->fromMac;
  return g_result;
}

int storeCacheEntry(const char* target, const char* address, int fromMac, int inUse) {
  if (!target || !address || std::strlen(address) >= kAddressTextSize) return 0;
  if (AddressCacheEntry_t* row = FindRow(target)) {
    Fill(*row, target, address, fromMac, inUse);
    return 1;
  }
  if (g_rowCount < kAddressCacheRows) {
    Fill(g_rows[g_rowCount++], target, address, fromMac, inUse);
    return 2;
  }
  for (auto& row : g_rows) {
    if (row.inUse == 0) {
      Fill(row, target, address, fromMac, inUse);
      return 3;
    }
  }
  return 0;
}

char* TiloIoDhcpLookup(const char* target, int* fromMac) {
  const PlatformLockGuard lock = LockCache();
  if (!lock) return nullptr;
  return HeapCopy(findCacheEntry(target, fromMac));
}

int TiloIoDhcpUpdate(const char* target, const char* address, int fromMac, int inUse) {
  const PlatformLockGuard lock = LockCache();
  if (!lock) return 0;
  return storeCacheEntry(target, address, fromMac, inUse);
}

char* TiloIoDhcpGetCachedAddress(int connectionKind, const char* target) {
  if (!target) return nullptr;
  if (connectionKind != 0) return HeapCopy(target);
  const PlatformLockGuard lock = LockCache();
  if (!lock) return nullptr;
  const char* cached = findCacheEntry(target, nullptr);
  return HeapCopy(cached ? cached : target);
}

void TiloIoDhcpReset() {
  const PlatformLockGuard lock = LockCache();
  for (auto& row : g_rows) row = {};
  g_rowCount = 0;
}

}  // namespace tilo2::core
