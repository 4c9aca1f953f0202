#pragma once
// The live-record registry every device module keeps, so that a backend
// callback finds the record of a handle. Records are found in the order
// they were registered; a record registered twice needs two unregisters.
// A find holds the record until its release, and retiring a record waits
// for the holds of other threads, so no callback runs on a freed record.

#include <cstdint>

namespace tilo2::core {

class TdcRegistryCore;

// Reads a record's key (its backend or device handle) under the record's own leaf lock.
using TdcRegistryKeyFn = const void* (*)(void* record);
using TdcRegistryFreeFn = void (*)(void* record);

// Untyped registry; TdcRegistry<Record> below is what modules use.
class TdcRegistryBase {
 public:
  explicit TdcRegistryBase(TdcRegistryKeyFn key);
  ~TdcRegistryBase();
  TdcRegistryBase(const TdcRegistryBase&) = delete;
  TdcRegistryBase& operator=(const TdcRegistryBase&) = delete;

  // A failed allocation or lock leaves the record unregistered, silently.
  void Register(void* record);
  // Removes the first node of the record; nothing when none.
  void Unregister(void* record);
  // The first registered record whose key is non-null and equals handle, held;
  // null for a null handle (without locking) or when none matches.
  void* Find(const void* handle);
  // Every registered record whose key equals handle, each held, in order;
  // returns how many were written to out (at most capacity).
  int FindAll(const void* handle, void** out, int capacity);
  // Holds the record itself when it is registered, as a find does: an
  // operation keeps a record alive this way for its whole length.
  bool Hold(void* record);
  void Release(void* record);
  // Unregisters every node of the record, then waits until no other thread
  // holds it and frees it with freeRecord; when the calling thread itself
  // holds it, the free happens at that thread's last release instead.
  void Retire(void* record, TdcRegistryFreeFn freeRecord);

 private:
  TdcRegistryCore* core_;
};

template <typename Record>
class TdcRegistry : public TdcRegistryBase {
 public:
  using TdcRegistryBase::TdcRegistryBase;
  Record* Find(const void* handle) { return static_cast<Record*>(TdcRegistryBase::Find(handle)); }
};

}  // namespace tilo2::core
