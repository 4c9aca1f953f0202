// The converter's process-wide lock: it guards the handle table, the next-slot
// index and the cache of model records.
#pragma once

#include <mutex>

class OvucLock {
public:
    OvucLock() { Mutex().lock(); }
    ~OvucLock() { Mutex().unlock(); }
    OvucLock(const OvucLock&) = delete;
    OvucLock& operator=(const OvucLock&) = delete;

private:
    static std::recursive_mutex& Mutex() {
        static std::recursive_mutex m;
        return m;
    }
};
