// The converter's process-wide lock: it guards the handle table, the next-slot
// index and the cache of model records.
#pragma once

#include "foundation/platform.h"

class OvucLock {
public:
    OvucLock() : locked_(platform_mutex_lock(&Mutex(), -1) == 0) {}
    ~OvucLock() {
        if (locked_) platform_mutex_unlock(&Mutex());
    }
    OvucLock(const OvucLock&) = delete;
    OvucLock& operator=(const OvucLock&) = delete;

    // False when the system could not give the lock (no resources).
    bool Locked() const { return locked_; }

private:
    static PlatformMutex_t& Mutex() {
        static PlatformMutex_t m = PLATFORM_MUTEX_STATIC_INITIALIZER;
        return m;
    }
    bool locked_;
};
