#include "device/registry.h"

#include <new>

#include "foundation/lock_guard.h"
#include "foundation/platform.h"

namespace tilo2::core {

namespace {

struct Node {
  void* record;
  Node* next;
};

// One thread's holds of one record.
struct HoldEntry {
  void* record;
  uint32_t thread;
  int count;
  HoldEntry* next;
};

// A record being retired: either a Retire waiting for other threads' holds
// (waiter set), or one whose free waits for its retiring thread's holds.
struct Retiring {
  void* record;
  TdcRegistryFreeFn freeRecord;  // set once the free is deferred to a release
  PlatformCond_t waiter;         // signalled whenever a hold of the record ends
  Retiring* next;
};

}  // namespace

class TdcRegistryCore {
 public:
  explicit TdcRegistryCore(TdcRegistryKeyFn keyFn) : key(keyFn) { platform_mutex_init(&mutex); }
  ~TdcRegistryCore() {
    while (head != nullptr) {
      Node* next = head->next;
      delete head;
      head = next;
    }
    while (holds != nullptr) {
      HoldEntry* next = holds->next;
      delete holds;
      holds = next;
    }
    platform_mutex_destroy(&mutex);
  }

  // All under mutex.
  bool AddHold(void* record) {
    const uint32_t self = platform_thread_self_id();
    for (HoldEntry* h = holds; h != nullptr; h = h->next) {
      if (h->record == record && h->thread == self) {
        ++h->count;
        return true;
      }
    }
    HoldEntry* h = new (std::nothrow) HoldEntry{record, self, 1, holds};
    if (h == nullptr) return false;
    holds = h;
    return true;
  }

  // Holds of the record by threads other than the caller (others) and by it (own).
  void CountHolds(void* record, int* others, int* own) const {
    const uint32_t self = platform_thread_self_id();
    *others = 0;
    *own = 0;
    for (HoldEntry* h = holds; h != nullptr; h = h->next) {
      if (h->record != record) continue;
      (h->thread == self ? *own : *others) += h->count;
    }
  }

  bool RemoveFirstNode(void* record) {
    for (Node** link = &head; *link != nullptr; link = &(*link)->next) {
      if ((*link)->record == record) {
        Node* node = *link;
        *link = node->next;
        if (tail == node) {
          tail = nullptr;
          for (Node* n = head; n != nullptr; n = n->next) tail = n;
        }
        delete node;
        return true;
      }
    }
    return false;
  }

  void Unlink(Retiring* entry) {
    for (Retiring** link = &retiring; *link != nullptr; link = &(*link)->next) {
      if (*link == entry) {
        *link = entry->next;
        return;
      }
    }
  }

  PlatformMutex_t mutex;
  TdcRegistryKeyFn key;
  Node* head = nullptr;
  Node* tail = nullptr;
  HoldEntry* holds = nullptr;
  Retiring* retiring = nullptr;
};

TdcRegistryBase::TdcRegistryBase(TdcRegistryKeyFn key)
    : core_(new (std::nothrow) TdcRegistryCore(key)) {}

TdcRegistryBase::~TdcRegistryBase() { delete core_; }

void TdcRegistryBase::Register(void* record) {
  if (core_ == nullptr) return;
  Node* node = new (std::nothrow) Node{record, nullptr};
  if (node == nullptr) return;
  PlatformLockGuard guard(core_->mutex);
  if (!guard) {
    delete node;
    return;
  }
  if (core_->tail != nullptr) {
    core_->tail->next = node;
  } else {
    core_->head = node;
  }
  core_->tail = node;
}

void TdcRegistryBase::Unregister(void* record) {
  if (core_ == nullptr) return;
  PlatformLockGuard guard(core_->mutex);
  if (!guard) return;
  core_->RemoveFirstNode(record);
}

void* TdcRegistryBase::Find(const void* handle) {
  if (handle == nullptr || core_ == nullptr) return nullptr;
  PlatformLockGuard guard(core_->mutex);
  if (!guard) return nullptr;
  for (Node* node = core_->head; node != nullptr; node = node->next) {
    const void* key = core_->key(node->record);
    if (key != nullptr && key == handle) {
      return core_->AddHold(node->record) ? node->record : nullptr;
    }
  }
  return nullptr;
}

int TdcRegistryBase::FindAll(const void* handle, void** out, int capacity) {
  if (handle == nullptr || out == nullptr || capacity <= 0 || core_ == nullptr) return 0;
  PlatformLockGuard guard(core_->mutex);
  if (!guard) return 0;
  int found = 0;
  for (Node* node = core_->head; node != nullptr && found < capacity; node = node->next) {
    const void* key = core_->key(node->record);
    if (key == nullptr || key != handle) continue;
    // A record registered twice is reported (and held) once.
    bool seen = false;
    for (int i = 0; i < found; ++i) seen = seen || out[i] == node->record;
    if (seen || !core_->AddHold(node->record)) continue;
    out[found++] = node->record;
  }
  return found;
}

bool TdcRegistryBase::Hold(void* record) {
  if (record == nullptr || core_ == nullptr) return false;
  PlatformLockGuard guard(core_->mutex);
  if (!guard) return false;
  for (Node* node = core_->head; node != nullptr; node = node->next) {
    if (node->record == record) return core_->AddHold(record);
  }
  return false;
}

void TdcRegistryBase::Release(void* record) {
  if (record == nullptr || core_ == nullptr) return;
  TdcRegistryFreeFn freeNow = nullptr;
  {
    PlatformLockGuard guard(core_->mutex);
    if (!guard) return;
    const uint32_t self = platform_thread_self_id();
    for (HoldEntry** link = &core_->holds; *link != nullptr; link = &(*link)->next) {
      HoldEntry* h = *link;
      if (h->record != record || h->thread != self) continue;
      if (--h->count == 0) {
        *link = h->next;
        delete h;
      }
      break;
    }
    int others = 0;
    int own = 0;
    core_->CountHolds(record, &others, &own);
    for (Retiring* entry = core_->retiring; entry != nullptr; entry = entry->next) {
      if (entry->record != record) continue;
      if (entry->freeRecord != nullptr) {
        // The retiring thread's own hold was the last one: free it now.
        if (others + own == 0) {
          freeNow = entry->freeRecord;
          core_->Unlink(entry);
          delete entry;
        }
      } else {
        platform_cond_signal(&entry->waiter);
      }
      break;
    }
  }
  // Outside the registry mutex: the free may take the record's own locks.
  if (freeNow != nullptr) freeNow(record);
}

void TdcRegistryBase::Retire(void* record, TdcRegistryFreeFn freeRecord) {
  if (record == nullptr || core_ == nullptr) return;
  {
    PlatformLockGuard guard(core_->mutex);
    // Without the lock the holds cannot be known: keeping the record is the
    // safe failure.
    if (!guard) return;
    while (core_->RemoveFirstNode(record)) {
    }
    int others = 0;
    int own = 0;
    core_->CountHolds(record, &others, &own);
    if (others > 0) {
      Retiring* entry = new (std::nothrow) Retiring{record, nullptr, nullptr, core_->retiring};
      if (entry == nullptr) return;
      platform_cond_init(&entry->waiter);
      if (entry->waiter == nullptr) {
        delete entry;
        return;
      }
      core_->retiring = entry;
      while (others > 0) {
        platform_cond_wait(&entry->waiter, &core_->mutex);
        core_->CountHolds(record, &others, &own);
      }
      core_->Unlink(entry);
      platform_cond_destroy(&entry->waiter);
      delete entry;
    }
    if (own > 0) {
      // The caller is inside a callback of this record: its last release frees it.
      Retiring* entry = new (std::nothrow) Retiring{record, freeRecord, nullptr, core_->retiring};
      if (entry != nullptr) core_->retiring = entry;
      return;
    }
  }
  freeRecord(record);
}

}  // namespace tilo2::core
