#include "component/weak_table.h"

#include <mutex>
#include <unordered_map>
#include <utility>

namespace tilo2::core {

namespace {

using ::Orvik::Tilo::Tilo2::Object;

class WeakTable {
 public:
  uint64_t Register(const std::shared_ptr<Object>& object) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t id = ++lastId_;  // 64 bits never wrap in practice
    entries_.emplace(id, object);
    return id;
  }

  void Unregister(uint64_t id) {
    std::weak_ptr<Object> removed;  // released outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    removed = std::move(it->second);
    entries_.erase(it);
  }

  std::shared_ptr<Object> Resolve(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : it->second.lock();
  }

 private:
  std::mutex mutex_;
  uint64_t lastId_ = 0;
  std::unordered_map<uint64_t, std::weak_ptr<Object>> entries_;
};

// Never destroyed: a core thread may still resolve an id while the process exits.
WeakTable& Table() {
  static auto* table = new WeakTable();
  return *table;
}

}  // namespace

uint64_t RegisterWeakReference(const std::shared_ptr<Object>& object) {
  if (!object) return 0;
  return Table().Register(object);
}

void UnregisterWeakReference(uint64_t id) {
  if (id != 0) Table().Unregister(id);
}

std::shared_ptr<Object> ResolveWeakReference(uint64_t id) {
  if (id == 0) return nullptr;
  return Table().Resolve(id);
}

}  // namespace tilo2::core
