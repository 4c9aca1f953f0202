#include "engine/wait_object.h"

#include <new>

#include "engine/test_hooks.h"
#include "foundation/lock_guard.h"
#include "foundation/platform.h"
#include "foundation/wait_accounting.h"

namespace tilo2::core {

namespace {

constexpr uint32_t kNoId = 0xFFFFFFFFu;

struct WaitObject_t {
  PlatformCond_t event = nullptr;
  uint8_t done = 0;
  int32_t result = 0;
  // Threads inside WaitForWaitObject: a delete during their wait leaves the
  // freeing to the last of them, which still touches the object on wake-up.
  int waiters = 0;
  bool deleted = false;
};

struct WaitEntry {
  uint64_t id;
  WaitObject_t* object;
  WaitEntry* next;
};

PlatformMutex_t waitListLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
WaitEntry* waitList = nullptr;
uint32_t lastWaitId = 0;

void FreeObject(WaitObject_t* object) {
  if (object->event != nullptr) platform_cond_destroy(&object->event);
  delete object;
}

WaitEntry* FindEntry(uint64_t id) {
  for (WaitEntry* entry = waitList; entry != nullptr; entry = entry->next) {
    if (entry->id == id) return entry;
  }
  return nullptr;
}

// Under the lock: the next free id after the last one, or 0 when none is free.
uint32_t ChooseId() {
  uint32_t candidate = lastWaitId;
  for (;;) {
    candidate = candidate + 1;
    if (candidate == kNoId || candidate == 0) candidate = 1;
    if (candidate == lastWaitId) return 0;
    if (FindEntry(candidate) == nullptr) return candidate;
    if (lastWaitId == 0 && candidate == kNoId - 1) return 0;
  }
}

}  // namespace

uint64_t CreateWaitObject() {
  auto* object = new (std::nothrow) WaitObject_t;
  if (object == nullptr) return 0;
  auto* entry = new (std::nothrow) WaitEntry{0, object, nullptr};
  if (entry == nullptr) {
    delete object;
    return 0;
  }
  platform_cond_init(&object->event);
  if (object->event == nullptr) {
    delete entry;
    FreeObject(object);
    return 0;
  }
  PlatformLockGuard lock(waitListLock);
  const uint32_t id = lock ? ChooseId() : 0;
  if (id == 0) {
    lock.Unlock();
    delete entry;
    FreeObject(object);
    return 0;
  }
  lastWaitId = id;
  entry->id = id;
  WaitEntry** tail = &waitList;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = entry;
  return id;
}

void SignalWaitObject(uint64_t id, int32_t result) {
  PlatformLockGuard lock(waitListLock);
  if (!lock) return;
  WaitEntry* entry = FindEntry(id);
  if (entry == nullptr) return;
  entry->object->result = result;
  entry->object->done = 1;
  platform_cond_signal(&entry->object->event);
}

int WaitForWaitObject(uint64_t id, int timeoutMs, int32_t* result) {
  PlatformLockGuard lock(waitListLock);
  if (!lock) return 4;
  WaitEntry* entry = FindEntry(id);
  if (entry == nullptr) return 0;
  WaitObject_t* object = entry->object;
  int answer = 0;
  if (!object->done) {
    ++object->waiters;
    if (timeoutMs == -1) {
      // The event is auto-reset and set only with done, so a set event seen
      // without done is stale; keep waiting.
      while (!object->done) platform_cond_wait(&object->event, &waitListLock);
    } else {
      const PlatformTimespec_t deadline =
          platform_deadline_after(static_cast<uint32_t>(timeoutMs < 0 ? 0 : timeoutMs));
      const int64_t start = WaitAccountingEnabled() ? WaitAccountingNow() : 0;
      while (!object->done && answer == 0) {
        answer = platform_cond_timedwait(&object->event, &waitListLock, &deadline);
      }
      if (object->done) answer = 0;
      if (start != 0 && answer == 138) {
        WaitAccountingAdd(WaitKind::kQuietGap, WaitAccountingNow() - start);
      }
    }
    --object->waiters;
  }
  if (result != nullptr) *result = object->result;
  if (object->deleted && object->waiters == 0) FreeObject(object);
  return answer;
}

void DeleteWaitObject(uint64_t id) {
  PlatformLockGuard lock(waitListLock);
  if (!lock) return;
  WaitEntry** link = &waitList;
  while (*link != nullptr && (*link)->id != id) link = &(*link)->next;
  WaitEntry* entry = *link;
  if (entry == nullptr) return;
  *link = entry->next;
  WaitObject_t* object = entry->object;
  delete entry;
  object->result = 0;
  object->done = 1;
  platform_cond_signal(&object->event);
  if (object->waiters == 0) {
    FreeObject(object);
  } else {
    object->deleted = true;
  }
}

int EngineWaitObjectWaiters(uint64_t id) {
  PlatformLockGuard lock(waitListLock);
  const WaitEntry* entry = lock ? FindEntry(id) : nullptr;
  return entry == nullptr ? 0 : entry->object->waiters;
}

void EngineSetLastWaitId(uint32_t id) {
  PlatformLockGuard lock(waitListLock);
  lastWaitId = id;
}

}  // namespace tilo2::core
