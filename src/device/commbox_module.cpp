// The message-box module: joining and leaving a box, the history and send
// requests with their result callbacks, received messages, and the deep
// copies of messages handed to the owner.

#include "device/commbox_module.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "device/peripheral_service.h"
#include "device/service_notifiers.h"

namespace tilo2::core {

namespace {

struct CommBoxKind {
  using Record = TdcCommBox_t;
  using Handle = TdevCommBoxEntry_t;
  static Handle*& Key(Record* record) { return record->commBox; }
  static TdcRegistryBase& Registry() {
    // Never destroyed: notifiers may still look records up while the process exits.
    static auto* registry = new TdcRegistry<TdcCommBox_t>(&peripheral::KeyOf<CommBoxKind>);
    return *registry;
  }
  static int Open(TdcBackendEnv_t* env, TdevConnection_t* connection, const char* boxId,
                  const char* memberId, Handle** out) {
    return TdevOpenCommBoxSync(env, connection, boxId, memberId, out);
  }
  static int Close(TdcBackendEnv_t* env, TdevConnection_t* connection, Handle* entry) {
    return TdevCloseCommBoxSync(env, connection, entry);
  }
  static int Install(Handle* entry) { return TdevCommBoxSetReceiveCallback(entry); }
  static void Listener(void* record, int32_t event) { TdcOnCommBoxConnectionEvent(record, event); }
};

// Counts down to the string copy a test wants to fail; 0 when none.
std::atomic<int> g_failCopyAt{0};

char* CopyText(const char* text) {
  for (int at = g_failCopyAt.load(); at > 0;) {
    if (g_failCopyAt.compare_exchange_weak(at, at - 1)) {
      if (at == 1) return nullptr;
      break;
    }
  }
  const size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(std::malloc(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

void ClearMessage(TdcCommBoxMessage_t* message) {
  std::free(message->senderId);
  std::free(message->receiverId);
  std::free(message->message);
  *message = {nullptr, nullptr, nullptr};
}

// The client's items and the layer's messages have the same three strings.
template <typename Source>
int CopyMessage(const Source& source, TdcCommBoxMessage_t* destination) {
  *destination = {nullptr, nullptr, nullptr};
  const char* const from[3] = {source.senderId, source.receiverId, source.message};
  char** const to[3] = {&destination->senderId, &destination->receiverId, &destination->message};
  for (int i = 0; i < 3; ++i) {
    if (from[i] == nullptr) continue;
    *to[i] = CopyText(from[i]);
    if (*to[i] == nullptr) {
      ClearMessage(destination);
      return TDC_ERR_MEMORY;
    }
  }
  return TDC_SUCCESS;
}

template <typename Source>
TdcCommBoxMessage_t* CopyMessages(const Source* messages, int32_t count) {
  if (messages == nullptr || count <= 0) return nullptr;
  auto* copy = static_cast<TdcCommBoxMessage_t*>(
      std::calloc(static_cast<size_t>(count), sizeof(TdcCommBoxMessage_t)));
  if (copy == nullptr) return nullptr;
  for (int32_t i = 0; i < count; ++i) {
    if (CopyMessage(messages[i], &copy[i]) != TDC_SUCCESS) {
      TdcFreeCommBoxMessages(copy, i);
      return nullptr;
    }
  }
  return copy;
}

void FreeCommBox(void* pointer) {
  auto* record = static_cast<TdcCommBox_t*>(pointer);
  record->onHistory = nullptr;
  record->onHistoryUser = nullptr;
  record->onSendResult = nullptr;
  record->onSendResultUser = nullptr;
  record->onReceive = nullptr;
  record->onReceiveUser = nullptr;
  record->onConnection = nullptr;
  record->onConnectionUser = nullptr;
  std::free(record);
}

}  // namespace

void TdcFailCommBoxCopy(int nth) { g_failCopyAt.store(nth); }

int TdcConnectCommBox(TdcEnvData_t* env, TdcCommBox_t* record, const char* target,
                      const char* memberId, int32_t timeoutMs) {
  return peripheral::Connect<CommBoxKind>(env, record, target, timeoutMs, memberId);
}

int TdcDisconnectCommBox(TdcEnvData_t* env, TdcCommBox_t* record) {
  return peripheral::Disconnect<CommBoxKind>(env, record);
}

int TdcGetCommHistory(TdcEnvData_t* env, TdcCommBox_t* record, int32_t* sequence,
                      TdcCommHistoryCallback callback, void* user) {
  if (record == nullptr) return TDC_ERR_PARAM;
  peripheral::Operation<CommBoxKind> operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  const auto& state = operation.Snapshot();
  if (state.connection == nullptr) return TDC_ERR_ILLEGAL;
  if (sequence == nullptr || callback == nullptr || user == nullptr) return TDC_ERR_PARAM;
  peripheral::WritePair(record->onHistory, record->onHistoryUser, callback, user);
  if (state.mode != TDC_MODE_SERVICE) return TDC_ERR_FAILURE;
  TdcScopedBackendEnv backendEnv(record->portType, TDC_MODE_SERVICE, env);
  int32_t number = 0;
  const int sent = TdevGetCommHistory(backendEnv.get(), state.handle, &number);
  if (sent == 0) *sequence = number;
  const int result = TdcFromServiceResult(sent);
  if (result != TDC_SUCCESS) {
    peripheral::WritePair<TdcCommHistoryCallback>(record->onHistory, record->onHistoryUser, nullptr,
                                                  nullptr);
  }
  return result;
}

int TdcSendCommBoxMessage(TdcEnvData_t* env, TdcCommBox_t* record, const char* memberId,
                          const char* message, int32_t* sequence,
                          TdcCommSendResultCallback callback, void* user) {
  if (record == nullptr) return TDC_ERR_PARAM;
  peripheral::Operation<CommBoxKind> operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  const auto& state = operation.Snapshot();
  if (state.connection == nullptr) return TDC_ERR_ILLEGAL;
  if (memberId == nullptr || sequence == nullptr || callback == nullptr || user == nullptr) {
    return TDC_ERR_PARAM;
  }
  peripheral::WritePair(record->onSendResult, record->onSendResultUser, callback, user);
  if (state.mode != TDC_MODE_SERVICE) return TDC_ERR_FAILURE;
  TdcScopedBackendEnv backendEnv(record->portType, TDC_MODE_SERVICE, env);
  int32_t number = 0;
  const int sent =
      TdevSendCommBoxMessage(backendEnv.get(), state.handle, memberId, message, &number);
  if (sent == 0) *sequence = number;
  const int result = TdcFromServiceResult(sent);
  if (result != TDC_SUCCESS) {
    peripheral::WritePair<TdcCommSendResultCallback>(record->onSendResult, record->onSendResultUser,
                                                     nullptr, nullptr);
  }
  return result;
}

int TdcDestroyCommBox(TdcCommBox_t* record) {
  return peripheral::Destroy<CommBoxKind>(record, &FreeCommBox);
}

void TdcRegisterCommBox(TdcCommBox_t* record) {
  if (record != nullptr) CommBoxKind::Registry().Register(record);
}

void TdcUnregisterCommBox(TdcCommBox_t* record) { peripheral::Unregister<CommBoxKind>(record); }

TdcCommBox_t* TdcFindCommBox(const void* entry) {
  return static_cast<TdcCommBox_t*>(CommBoxKind::Registry().Find(entry));
}

void TdcReleaseCommBox(TdcCommBox_t* record) {
  if (record != nullptr) CommBoxKind::Registry().Release(record);
}

int TdcCopyCommBoxMessage(const TdcCommBoxMessage_t* source, TdcCommBoxMessage_t* destination) {
  if (source == nullptr || destination == nullptr) return TDC_ERR_PARAM;
  return CopyMessage(*source, destination);
}

TdcCommBoxMessage_t* TdcCopyCommBoxMessages(const TdcCommBoxMessage_t* messages, int32_t count) {
  return CopyMessages(messages, count);
}

void TdcFreeCommBoxMessages(TdcCommBoxMessage_t* messages, int32_t count) {
  if (messages == nullptr) return;
  for (int32_t i = 0; i < count; ++i) ClearMessage(&messages[i]);
  std::free(messages);
}

void TdcOnCommBoxConnectionEvent(void* record, int32_t event) {
  peripheral::OnConnectionEvent<CommBoxKind>(record, event);
}

void TdcOnCommBoxHistory(TdevCommBoxEntry_t* entry, const char*, int32_t result,
                         const TdevCommHistoryItem_t* items, int32_t count, int32_t sequence) {
  peripheral::Found<CommBoxKind> found(entry);
  TdcCommBox_t* record = found.get();
  if (record == nullptr) return;
  TdcCommHistoryCallback callback = nullptr;
  void* user = nullptr;
  if (!peripheral::ReadPair(record->onHistory, record->onHistoryUser, &callback, &user)) return;
  const int32_t code = TdcCallbackFromService(result);
  if (items == nullptr || count <= 0) {
    callback(record, code, nullptr, 0, sequence, user);
    return;
  }
  TdcCommBoxMessage_t* copy = CopyMessages(items, count);
  if (copy == nullptr) {
    // The owner waits for this answer: a failure it can report beats none.
    callback(record, TDC_CB_FAILURE, nullptr, 0, sequence, user);
    return;
  }
  callback(record, code, copy, count, sequence, user);
  TdcFreeCommBoxMessages(copy, count);
}

void TdcOnCommBoxSendResult(TdevCommBoxEntry_t* entry, const char*, int32_t result, int32_t count,
                            int32_t sequence) {
  peripheral::Deliver<CommBoxKind>(entry, &TdcCommBox_t::onSendResult,
                                   &TdcCommBox_t::onSendResultUser, TdcCallbackFromService(result),
                                   count, sequence);
}

void TdcOnCommBoxReceive(TdevCommBoxEntry_t* entry, const char*,
                         const TdevCommHistoryItem_t* message) {
  if (message == nullptr) return;
  peripheral::Found<CommBoxKind> found(entry);
  TdcCommBox_t* record = found.get();
  if (record == nullptr) return;
  TdcCommReceiveCallback callback = nullptr;
  void* user = nullptr;
  if (!peripheral::ReadPair(record->onReceive, record->onReceiveUser, &callback, &user)) return;
  TdcCommBoxMessage_t copy{};
  // A message that cannot be copied is not delivered.
  if (CopyMessage(*message, &copy) != TDC_SUCCESS) return;
  callback(record, &copy, user);
  ClearMessage(&copy);
}

}  // namespace tilo2::core
