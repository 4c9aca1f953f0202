#pragma once
// The process-wide table of weak references to runtime objects. A device
// object's record hands its callbacks an id from this table, never the
// object's address: the core may call back after the object died, and a
// stale id then resolves to nothing instead of to freed memory. Ids are never
// reused, so a stale one cannot reach a newer object either.

#include <cstdint>
#include <memory>

#include "orvik/tilo2/object.h"

namespace tilo2::core {

// 0 is never an id: it stands for "no object", and is what a null object gets.
uint64_t RegisterWeakReference(const std::shared_ptr<::Orvik::Tilo::Tilo2::Object>& object);
// An unknown id does nothing.
void UnregisterWeakReference(uint64_t id);
// The object while it lives and its id is registered, else null.
std::shared_ptr<::Orvik::Tilo::Tilo2::Object> ResolveWeakReference(uint64_t id);

// The same id as a callback's user data, and back.
inline void* UserDataFromWeakId(uint64_t id) {
  static_assert(sizeof(void*) >= sizeof(uint64_t), "ids travel as pointer-sized user data");
  return reinterpret_cast<void*>(static_cast<uintptr_t>(id));
}
inline uint64_t WeakIdFromUserData(const void* userData) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(userData));
}

// The object behind a callback's user data when it lives and is a T, else null.
template <class T>
std::shared_ptr<T> ResolveUserData(const void* userData) {
  return std::dynamic_pointer_cast<T>(ResolveWeakReference(WeakIdFromUserData(userData)));
}

// Owns one registration: registers in its constructor, unregisters when destroyed
// or replaced. A device object keeps one as a member, made right after the
// object's shared owner exists.
class WeakRegistration {
 public:
  WeakRegistration() = default;
  explicit WeakRegistration(const std::shared_ptr<::Orvik::Tilo::Tilo2::Object>& object)
      : id_(RegisterWeakReference(object)) {}
  ~WeakRegistration() { UnregisterWeakReference(id_); }
  WeakRegistration(WeakRegistration&& other) noexcept : id_(other.id_) { other.id_ = 0; }
  WeakRegistration& operator=(WeakRegistration&& other) noexcept {
    if (this != &other) {
      UnregisterWeakReference(id_);
      id_ = other.id_;
      other.id_ = 0;
    }
    return *this;
  }
  WeakRegistration(const WeakRegistration&) = delete;
  WeakRegistration& operator=(const WeakRegistration&) = delete;

  uint64_t Id() const { return id_; }
  void* UserData() const { return UserDataFromWeakId(id_); }

 private:
  uint64_t id_ = 0;
};

}  // namespace tilo2::core
