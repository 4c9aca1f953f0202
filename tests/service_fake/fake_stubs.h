#pragma once
// The recording stubs' common shapes, shared by the family files of the
// scripted client: answer a recorded call, mark a setter's slot, find where a
// slot's notifier goes.

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "service_fake/fake_internal.h"

namespace tilo2::fake {

// A call that carries bytes keeps a copy of them (none for null or a count
// below 1).
inline Call WithBytes(Call call, const uint8_t* bytes, int32_t length) {
  if (bytes != nullptr && length > 0) call.bytes.assign(bytes, bytes + length);
  return call;
}

// Records the call and answers: 1 when refused (a null argument), else the
// scripted code, 0 unless scripted.
inline int Answer(Call call, bool refused) {
  bool hasScript;
  int code = 0;
  const size_t index = Begin(std::move(call), &hasScript, &code);
  if (refused) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

// A setter of a handle's notifier: recorded, the handle touched (so a freed
// one shows under AddressSanitizer), then the slot marked unless a non-zero
// code is scripted. 1 for null, 255 for a record that is no handle.
inline int MarkSlot(const char* name, TdevPrinterHandle_t* handle, int slot) {
  bool hasScript;
  int code = 0;
  const size_t index = Begin(MakeCall(name, handle), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  if (!Alive(handle)) return Finish(index, 255);
  if (hasScript && code != 0) return Finish(index, code);
  {
    std::lock_guard lock(S().mu);
    handle->slots[slot] = true;
  }
  return Finish(index, 0);
}

// Host and device id of a live handle whose slot is installed; false for
// none, so a Fire* function calls no notifier the layer did not install.
inline bool SlotTarget(const void* handle, int slot, std::string* host, std::string* deviceId) {
  std::lock_guard lock(S().mu);
  TdevPrinterHandle_t* h = FindHandleLocked(handle);
  if (h == nullptr || !h->slots[slot]) return false;
  *host = h->connection->host;
  *deviceId = h->deviceId;
  return true;
}

}  // namespace tilo2::fake
