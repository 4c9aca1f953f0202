// The scripted client's keyboard, scanner, serial and message-box operations:
// each records its call and answers the scripted code (0 unless scripted; 1
// for a null handle or entry).

#include <algorithm>
#include <atomic>

#include "service_fake/fake_internal.h"

namespace tilo2::core {

using fake::Append;
using fake::Begin;
using fake::Call;
using fake::Finish;
using fake::MakeCall;
using fake::Text;

namespace {
// Sequence numbers of message-box requests, as the client hands them out.
int32_t NextSequence() {
  static std::atomic<int32_t> next{0};
  return ++next;
}
}  // namespace

int TdevKeyboardSetKeyPressCallback(TdevKeyboardHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevKeyboardSetKeyPressCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevKeyboardSetStringCallback(TdevKeyboardHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevKeyboardSetStringCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevKeyboardSetPrefix(TdcBackendEnv_t*, TdevKeyboardHandle_t* handle, const uint8_t* bytes,
                          int32_t length) {
  bool hasScript;
  int code = 0;
  Call call = MakeCall("TdevKeyboardSetPrefix", handle, {length}, {});
  if (bytes != nullptr && length > 0) call.bytes.assign(bytes, bytes + length);
  size_t index = Begin(std::move(call), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevKeyboardGetPrefix(TdevKeyboardHandle_t* handle, uint8_t* out, int32_t capacity,
                          int32_t* length) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevKeyboardGetPrefix", handle, {capacity}, {}), &hasScript, &code);
  if (handle == nullptr || out == nullptr || length == nullptr) return Finish(index, 1);
  if (hasScript && code != 0) return Finish(index, code);
  std::lock_guard lock(fake::S().mu);
  TdevPrinterHandle_t* h = fake::FindHandleLocked(handle);
  const std::string prefix = h == nullptr ? std::string() : h->prefix;
  *length = static_cast<int32_t>(std::min<size_t>(prefix.size(), static_cast<size_t>(capacity)));
  std::copy_n(prefix.begin(), *length, out);
  return fake::FinishLocked(index, 0);
}

int TdevScannerSetDataCallback(TdevDeviceHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevScannerSetDataCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevSerialSetDataCallback(TdevDeviceHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevSerialSetDataCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevSerialSendCommand(TdcBackendEnv_t*, TdevDeviceHandle_t* handle, const uint8_t* bytes,
                          int32_t length) {
  bool hasScript;
  int code = 0;
  Call call = MakeCall("TdevSerialSendCommand", handle, {length}, {});
  if (bytes != nullptr && length > 0) call.bytes.assign(bytes, bytes + length);
  size_t index = Begin(std::move(call), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevOpenCommBoxSync(TdcBackendEnv_t*, TdevConnection_t* connection, const char* boxId,
                        const char* memberId, TdevCommBoxEntry_t** out) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevOpenCommBoxSync", connection, {}, {Text(boxId), Text(memberId)}),
            &hasScript, &code);
  if (connection == nullptr || boxId == nullptr || out == nullptr || *out != nullptr)
    return Finish(index, 1);
  if (!fake::Alive(connection)) return Finish(index, 255);
  if (hasScript && code != 0) return Finish(index, code);
  std::lock_guard lock(fake::S().mu);
  auto* entry =
      new TdevCommBoxEntry_t{fake::kBoxMagic, connection, boxId, Text(memberId), true, false};
  connection->boxes.push_back(entry);
  *out = entry;
  return fake::FinishLocked(index, 0);
}

int TdevCloseCommBoxSync(TdcBackendEnv_t*, TdevConnection_t* connection,
                         TdevCommBoxEntry_t* entry) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevCloseCommBoxSync", entry, {}, {}), &hasScript, &code);
  if (connection == nullptr || entry == nullptr) return Finish(index, 1);
  if (hasScript && code != 0) return Finish(index, code);
  std::lock_guard lock(fake::S().mu);
  entry->open = false;
  return fake::FinishLocked(index, 0);
}

int TdevCommBoxSetReceiveCallback(TdevCommBoxEntry_t* entry) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevCommBoxSetReceiveCallback", entry, {}, {}), &hasScript, &code);
  if (entry == nullptr) return Finish(index, 1);
  if (hasScript && code != 0) return Finish(index, code);
  std::lock_guard lock(fake::S().mu);
  entry->receiveInstalled = true;
  return fake::FinishLocked(index, 0);
}

int TdevGetCommHistory(TdcBackendEnv_t*, TdevCommBoxEntry_t* entry, int32_t* sequence) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevGetCommHistory", entry, {}, {}), &hasScript, &code);
  if (entry == nullptr || sequence == nullptr) return Finish(index, 1);
  *sequence = NextSequence();
  return Finish(index, hasScript ? code : 0);
}

int TdevSendCommBoxMessage(TdcBackendEnv_t*, TdevCommBoxEntry_t* entry, const char* memberId,
                           const char* message, int32_t* sequence) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevSendCommBoxMessage", entry, {}, {Text(memberId), Text(message)}),
            &hasScript, &code);
  if (entry == nullptr || message == nullptr || sequence == nullptr) return Finish(index, 1);
  *sequence = NextSequence();
  return Finish(index, hasScript ? code : 0);
}

}  // namespace tilo2::core
