// The converter's handle table and its public entry points.
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "encoding/codepage/ovuc.h"
#include "encoding/codepage/ovuc_convert.h"
#include "encoding/codepage/ovuc_model.h"
#include "encoding/codepage/ovuc_settings.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

namespace {

constexpr size_t kSlotLimit = 254;  // the largest MaximumHandle the settings accept
constexpr size_t kNameBuffer = 128;
constexpr const char* kModuleName = "rpi";

// Slots are written under the lock and read without it by the thread that
// owns the handle, hence atomics.
std::array<std::atomic<OvucHandleState*>, kSlotLimit> handleSlots{};
// MaximumHandle of the settings when the table was created; 0 before.
std::atomic<int> maximumHandle{0};
int nextSlot = 0;  // guarded by OvucMutex()

OvucHandleState* Lookup(OvucHandle handle) {
  const int max = maximumHandle.load(std::memory_order_acquire);
  if (handle < 1 || handle > max) return nullptr;
  return handleSlots[static_cast<size_t>(handle - 1)].load(std::memory_order_acquire);
}

}  // namespace

OvucHandle ConverterOpen(const char* name, size_t length) {
  if (name == nullptr || length == 0) return OVUC_ERR_ARGUMENT;
  char buf[kNameBuffer];
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F || c >= 0x80) continue;
    // A name the buffer cannot hold is refused, never cut to another file's name.
    if (n == kNameBuffer - 1) return OVUC_ERR_ARGUMENT;
    buf[n++] = static_cast<char>(c);
  }
  if (n == 0) return OVUC_ERR_ARGUMENT;
  buf[n] = '\0';
  return OvucOpenHandle(buf, n, kModuleName);
}

OvucHandle OvucOpenHandle(const char* modelFileName, size_t length, const char* moduleName) {
  if (modelFileName == nullptr || length == 0 || length >= kNameBuffer || moduleName == nullptr) {
    return OVUC_ERR_ARGUMENT;
  }
  // A NUL inside the name would cut it to another file's name at lookup.
  if (std::memchr(modelFileName, '\0', length) != nullptr) return OVUC_ERR_ARGUMENT;
  std::unique_ptr<OvucHandleState> state;
  try {
    const std::string name(modelFileName, length);
    std::string modulePath;
    const std::string settingsPath = OvucReadModulePath(moduleName, modulePath) == 0
                                         ? modulePath + "/" + kOvucSettingsFile
                                         : std::string(kOvucSettingsFile);
    state.reset(new OvucHandleState);
    if (const int rc = OvucReadSettings(settingsPath, state->settings); rc != 0)
      return static_cast<int16_t>(rc);
    if (const int rc = OvucLoadModel(state->settings, name, state->model); rc != 0) {
      return static_cast<int16_t>(rc);
    }
    state->encodeType = state->settings.encodeTypeDefault;
    if (!state->output.Init(state->settings.outputBufferBlockSize,
                            state->settings.outputBufferBlockMax)) {
      return OVUC_ERR_MEMORY;
    }
  } catch (const std::bad_alloc&) {
    return OVUC_ERR_MEMORY;
  }

  PlatformLockGuard lock(OvucMutex());
  if (!lock.Owns()) return OVUC_ERR_MEMORY;
  int max = maximumHandle.load(std::memory_order_relaxed);
  if (max == 0) {
    // The table is sized once, by the settings of the first successful open.
    max = state->settings.maximumHandle;
    maximumHandle.store(max, std::memory_order_release);
  }
  for (int k = 0; k < max; ++k) {
    const int slot = (nextSlot + k) % max;
    if (handleSlots[static_cast<size_t>(slot)].load(std::memory_order_relaxed) != nullptr) continue;
    handleSlots[static_cast<size_t>(slot)].store(state.release(), std::memory_order_release);
    nextSlot = (slot + 1) % max;
    return static_cast<OvucHandle>(slot + 1);
  }
  return OVUC_ERR_NO_SLOT;
}

int16_t OvucCloseHandle(OvucHandle handle) {
  OvucHandleState* state = nullptr;
  {
    PlatformLockGuard lock(OvucMutex());
    if (!lock.Owns()) return OVUC_ERR_MEMORY;
    state = Lookup(handle);
    if (state == nullptr) return OVUC_ERR_HANDLE;
    handleSlots[static_cast<size_t>(handle - 1)].store(nullptr, std::memory_order_release);
  }
  delete state;
  return OVUC_OK;
}

int16_t OvucSetEncodeType(OvucHandle handle) {
  OvucHandleState* h = Lookup(handle);
  if (h == nullptr) return OVUC_ERR_HANDLE;
  h->encodeType = kOvucUtf8;
  return OVUC_OK;
}

int16_t OvucSetData(OvucHandle handle, const char* data, size_t length) {
  OvucHandleState* h = Lookup(handle);
  if (h == nullptr) return OVUC_ERR_HANDLE;
  // A refused argument converts nothing: it leaves the pending output, and
  // whether it belongs to a failed text, as they were.
  if (data == nullptr || length == 0) return OVUC_ERR_ARGUMENT;
  if (h->failedTextPending) {
    // The caller dropped the failed text without fetching it.
    h->output.Clear();
    h->failedTextPending = false;
  }
  const int16_t rc = OvucConvert(*h, reinterpret_cast<const uint8_t*>(data), length);
  if (rc < 0) h->failedTextPending = true;
  return rc;
}

int16_t OvucGetOutputData(OvucHandle handle, uint8_t* buffer, size_t* size) {
  OvucHandleState* h = Lookup(handle);
  if (h == nullptr) return OVUC_ERR_HANDLE;
  if (size == nullptr || (buffer == nullptr && *size != 0)) return OVUC_ERR_ARGUMENT;
  const size_t needed = h->output.Needed();
  if (needed == 0) {
    *size = 0;
    h->failedTextPending = false;
    return OVUC_OK;
  }
  if (*size < needed) {
    *size = needed;
    return OVUC_ERR_BUFFER_SMALL;
  }
  h->output.Write(buffer);
  *size = needed;
  h->output.Clear();
  h->failedTextPending = false;
  return OVUC_OK;
}

}  // namespace tilo2::core
