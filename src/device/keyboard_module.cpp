// The keyboard module: connect, disconnect, the prefix set and the two
// notifiers through which the device service reports key presses and strings.

#include "device/keyboard_module.h"

#include <cstdlib>

#include "device/peripheral_service.h"
#include "device/service_notifiers.h"

namespace tilo2::core {

namespace {

// Matches the client's prefix area: 99 codes and the terminating zero.
constexpr int32_t kPrefixCapacity = 99;

struct KeyboardKind {
  using Record = TdcKeyboard_t;
  using Handle = TdevKeyboardHandle_t;
  static Handle*& Key(Record* record) { return record->device; }
  static TdcRegistryBase& Registry() {
    // Never destroyed: notifiers may still look records up while the process exits.
    static auto* registry = new TdcRegistry<TdcKeyboard_t>(&peripheral::KeyOf<KeyboardKind>);
    return *registry;
  }
  static int Open(TdcBackendEnv_t* env, TdevConnection_t* connection, const char* deviceId,
                  const char*, Handle** out) {
    void* device = nullptr;
    const int opened = TdevOpenDeviceSync(env, connection, deviceId, TDEV_DEVICE_KEYBOARD, &device);
    *out = static_cast<Handle*>(device);
    return opened;
  }
  static int Close(TdcBackendEnv_t* env, TdevConnection_t* connection, Handle* handle) {
    return TdevCloseDeviceSync(env, connection, handle);
  }
  static int Install(Handle* handle) {
    const int keys = TdevKeyboardSetKeyPressCallback(handle);
    return keys != 0 ? keys : TdevKeyboardSetStringCallback(handle);
  }
  static void Listener(void* record, int32_t event) { TdcOnKeyboardConnectionEvent(record, event); }
};

void FreeKeyboard(void* pointer) {
  auto* record = static_cast<TdcKeyboard_t*>(pointer);
  record->onKeyPress = nullptr;
  record->onKeyPressUser = nullptr;
  record->onString = nullptr;
  record->onStringUser = nullptr;
  record->onConnection = nullptr;
  record->onConnectionUser = nullptr;
  std::free(record);
}

}  // namespace

int TdcConnectKeyboard(TdcEnvData_t* env, TdcKeyboard_t* record, const char* target,
                       int32_t timeoutMs) {
  return peripheral::Connect<KeyboardKind>(env, record, target, timeoutMs, nullptr);
}

int TdcDisconnectKeyboard(TdcEnvData_t* env, TdcKeyboard_t* record) {
  return peripheral::Disconnect<KeyboardKind>(env, record);
}

int TdcSetPrefix(TdcEnvData_t* env, TdcKeyboard_t* record, const uint8_t* bytes, int32_t length) {
  if (record == nullptr) return TDC_ERR_PARAM;
  peripheral::Operation<KeyboardKind> operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  const auto& state = operation.Snapshot();
  if (state.mode != TDC_MODE_SERVICE) return TDC_ERR_FAILURE;
  TdcScopedBackendEnv backendEnv(record->portType, TDC_MODE_SERVICE, env);
  return TdcFromServiceResult(TdevKeyboardSetPrefix(backendEnv.get(), state.handle, bytes, length));
}

int TdcGetPrefix(TdcKeyboard_t* record, const uint8_t** bytes, int32_t* length) {
  if (record == nullptr || bytes == nullptr) return TDC_ERR_PARAM;
  peripheral::Operation<KeyboardKind> operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  const auto& state = operation.Snapshot();
  if (state.mode != TDC_MODE_SERVICE) return TDC_ERR_FAILURE;
  if (state.handle == nullptr || length == nullptr) return TDC_ERR_PARAM;
  // The handle's set may change or go with a close once the operation ends,
  // so the caller gets a copy that only its own thread overwrites.
  thread_local uint8_t copy[kPrefixCapacity + 1];
  int32_t copied = 0;
  const int read = TdevKeyboardGetPrefix(state.handle, copy, kPrefixCapacity, &copied);
  if (read != 0) return TdcFromServiceResult(read);
  if (copied < 0 || copied > kPrefixCapacity) return TDC_ERR_FAILURE;
  copy[copied] = 0;
  *bytes = copy;
  *length = copied;
  return TDC_SUCCESS;
}

int TdcDestroyKeyboard(TdcKeyboard_t* record) {
  return peripheral::Destroy<KeyboardKind>(record, &FreeKeyboard);
}

void TdcRegisterKeyboard(TdcKeyboard_t* record) {
  if (record != nullptr) KeyboardKind::Registry().Register(record);
}

void TdcUnregisterKeyboard(TdcKeyboard_t* record) { peripheral::Unregister<KeyboardKind>(record); }

TdcKeyboard_t* TdcFindKeyboard(const void* handle) {
  return static_cast<TdcKeyboard_t*>(KeyboardKind::Registry().Find(handle));
}

void TdcReleaseKeyboard(TdcKeyboard_t* record) {
  if (record != nullptr) KeyboardKind::Registry().Release(record);
}

void TdcOnKeyboardConnectionEvent(void* record, int32_t event) {
  peripheral::OnConnectionEvent<KeyboardKind>(record, event);
}

void TdcOnKeyPress(void* handle, const char*, const char*, int32_t keyCode, const char* text) {
  if (text == nullptr) return;
  peripheral::Deliver<KeyboardKind>(handle, &TdcKeyboard_t::onKeyPress,
                                    &TdcKeyboard_t::onKeyPressUser, keyCode, text);
}

void TdcOnReadString(void* handle, const char*, const char*, const char* text, int32_t prefix) {
  if (text == nullptr) return;
  peripheral::Deliver<KeyboardKind>(handle, &TdcKeyboard_t::onString, &TdcKeyboard_t::onStringUser,
                                    text, prefix);
}

}  // namespace tilo2::core
