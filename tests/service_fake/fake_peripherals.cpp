// The scripted client's keyboard, scanner, serial and message-box operations:
// each records its call and answers the scripted code (0 unless scripted; 1
// for a null handle or entry). Setters mark the handle's notifier slots, the
// prefix set is kept as the client keeps it, and the Fire* functions call
// the layer's notifiers on the fake's threads.

#include "service_fake/fake_peripherals.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "device/service_notifiers.h"
#include "service_fake/fake_internal.h"
#include "service_fake/fake_stubs.h"

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

// A setter that marks a notifier slot of a live handle.
int SetSlot(const char* name, void* handle, int slot) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall(name, handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  if (hasScript && code != 0) return Finish(index, code);
  std::lock_guard lock(fake::S().mu);
  TdevPrinterHandle_t* h = fake::FindHandleLocked(handle);
  if (h == nullptr) return fake::FinishLocked(index, 255);
  h->slots[slot] = true;
  return fake::FinishLocked(index, 0);
}
}  // namespace

int TdevKeyboardSetKeyPressCallback(TdevKeyboardHandle_t* handle) {
  return SetSlot("TdevKeyboardSetKeyPressCallback", handle, fake::kKeyPressSlot);
}

int TdevKeyboardSetStringCallback(TdevKeyboardHandle_t* handle) {
  return SetSlot("TdevKeyboardSetStringCallback", handle, fake::kStringSlot);
}

int TdevKeyboardSetPrefix(TdcBackendEnv_t*, TdevKeyboardHandle_t* handle, const uint8_t* bytes,
                          int32_t length) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(fake::WithBytes(MakeCall("TdevKeyboardSetPrefix", handle, {length}), bytes, length),
            &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  std::lock_guard lock(fake::S().mu);
  TdevPrinterHandle_t* h = fake::FindHandleLocked(handle);
  if (h == nullptr) return fake::FinishLocked(index, 255);
  // As the client: distinct non-zero codes in first-seen order, at most 99.
  h->prefix.clear();
  for (int32_t i = 0; bytes != nullptr && i < length; ++i) {
    const char c = static_cast<char>(bytes[i]);
    if (c == 0 || h->prefix.find(c) != std::string::npos || h->prefix.size() >= 99) continue;
    h->prefix.push_back(c);
  }
  return fake::FinishLocked(index, hasScript ? code : 0);
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
  // As the client: too small an area copies nothing and tells the room needed.
  *length = static_cast<int32_t>(prefix.size());
  if (capacity < *length) return fake::FinishLocked(index, 1);
  std::copy_n(prefix.begin(), *length, out);
  return fake::FinishLocked(index, 0);
}

int TdevScannerSetDataCallback(TdevDeviceHandle_t* handle) {
  return SetSlot("TdevScannerSetDataCallback", handle, fake::kDataSlot);
}

int TdevSerialSetDataCallback(TdevDeviceHandle_t* handle) {
  return SetSlot("TdevSerialSetDataCallback", handle, fake::kDataSlot);
}

int TdevSerialSendCommand(TdcBackendEnv_t*, TdevDeviceHandle_t* handle, const uint8_t* bytes,
                          int32_t length) {
  return fake::Answer(
      fake::WithBytes(MakeCall("TdevSerialSendCommand", handle, {length}), bytes, length),
      handle == nullptr);
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

// ---- Test interface -----------------------------------------------------------------

namespace tilo2::fake {

namespace {

std::mutex g_itemsMutex;
std::vector<const void*> g_lastItems;

// Under the fake's mutex: the live entry at this address, or null.
TdevCommBoxEntry_t* FindBoxLocked(const TdevCommBoxEntry_t* entry) {
  if (entry == nullptr) return nullptr;
  for (TdevConnection_t* connection : S().live)
    for (TdevCommBoxEntry_t* e : connection->boxes)
      if (e == entry) return e;
  return nullptr;
}

// The host of a live entry (with its receive notifier installed, when
// receiving is asked for); false for none.
bool BoxTarget(const TdevCommBoxEntry_t* entry, bool receiving, std::string* host) {
  std::lock_guard lock(S().mu);
  TdevCommBoxEntry_t* e = FindBoxLocked(entry);
  if (e == nullptr || (receiving && !e->receiveInstalled)) return false;
  *host = e->connection->host;
  return true;
}

char* Dup(const std::optional<std::string>& text) {
  if (!text) return nullptr;
  auto* copy = static_cast<char*>(std::malloc(text->size() + 1));
  std::memcpy(copy, text->c_str(), text->size() + 1);
  return copy;
}

// The client's items on the heap, freed when the notifier returned.
struct Items {
  std::vector<TdevCommHistoryItem_t> items;
  explicit Items(const std::vector<Message>& messages) {
    std::vector<const void*> pointers;
    for (const Message& m : messages) {
      items.push_back({Dup(m.senderId), Dup(m.receiverId), Dup(m.message)});
      for (const char* p : {items.back().senderId, items.back().receiverId, items.back().message})
        if (p != nullptr) pointers.push_back(p);
    }
    std::lock_guard lock(g_itemsMutex);
    g_lastItems = std::move(pointers);
  }
  ~Items() {
    for (auto& item : items) {
      std::free(item.senderId);
      std::free(item.receiverId);
      std::free(item.message);
    }
  }
};

}  // namespace

std::string PrefixOf(const void* handle) {
  std::lock_guard lock(S().mu);
  TdevPrinterHandle_t* h = FindHandleLocked(handle);
  return h ? h->prefix : std::string();
}

bool IsReceiveInstalled(const TdevCommBoxEntry_t* entry) {
  std::lock_guard lock(S().mu);
  TdevCommBoxEntry_t* e = FindBoxLocked(entry);
  return e != nullptr && e->receiveInstalled;
}

std::string MemberOf(const TdevCommBoxEntry_t* entry) {
  std::lock_guard lock(S().mu);
  TdevCommBoxEntry_t* e = FindBoxLocked(entry);
  return e != nullptr ? e->memberId : std::string();
}

bool IsBoxOpen(const TdevCommBoxEntry_t* entry) {
  std::lock_guard lock(S().mu);
  TdevCommBoxEntry_t* e = FindBoxLocked(entry);
  return e != nullptr && e->open;
}

bool FireKeyPress(const void* handle, int32_t keyCode, std::optional<std::string> text, bool wait) {
  std::string host, deviceId;
  if (!SlotTarget(handle, kKeyPressSlot, &host, &deviceId)) return false;
  void* h = const_cast<void*>(handle);
  RunNotifier(
      [=] {
        std::unique_ptr<char, decltype(&std::free)> owned(Dup(text), &std::free);
        TdcOnKeyPress(h, host.c_str(), deviceId.c_str(), keyCode, owned.get());
      },
      wait);
  return true;
}

bool FireReadString(const void* handle, std::optional<std::string> text, int32_t prefix) {
  std::string host, deviceId;
  if (!SlotTarget(handle, kStringSlot, &host, &deviceId)) return false;
  void* h = const_cast<void*>(handle);
  RunNotifier(
      [=] {
        std::unique_ptr<char, decltype(&std::free)> owned(Dup(text), &std::free);
        TdcOnReadString(h, host.c_str(), deviceId.c_str(), owned.get(), prefix);
      },
      true);
  return true;
}

bool FireScanData(const void* handle, std::optional<std::string> data) {
  std::string host, deviceId;
  if (!SlotTarget(handle, kDataSlot, &host, &deviceId)) return false;
  void* h = const_cast<void*>(handle);
  RunNotifier(
      [=] {
        std::unique_ptr<char, decltype(&std::free)> owned(Dup(data), &std::free);
        TdcOnScanData(h, host.c_str(), deviceId.c_str(), owned.get());
      },
      true);
  return true;
}

bool FireSerialData(const void* handle, const std::vector<uint8_t>& bytes, bool nullData) {
  std::string host, deviceId;
  if (!SlotTarget(handle, kDataSlot, &host, &deviceId)) return false;
  void* h = const_cast<void*>(handle);
  RunNotifier(
      [=] {
        // Exactly the given bytes on the heap, so a read past them shows.
        std::unique_ptr<uint8_t[]> owned(new uint8_t[bytes.size() + 1]);
        std::copy(bytes.begin(), bytes.end(), owned.get());
        TdcOnSerialData(h, host.c_str(), deviceId.c_str(), nullData ? nullptr : owned.get(),
                        static_cast<int32_t>(bytes.size()));
      },
      true);
  return true;
}

bool FireCommHistory(const TdevCommBoxEntry_t* entry, int32_t code,
                     const std::vector<Message>& items, int32_t sequence, bool nullItems,
                     int32_t count) {
  std::string host;
  if (!BoxTarget(entry, false, &host)) return false;
  auto* e = const_cast<TdevCommBoxEntry_t*>(entry);
  const int32_t n = count >= 0 ? count : static_cast<int32_t>(items.size());
  RunNotifier(
      [=] {
        Items owned(items);
        TdcOnCommBoxHistory(e, host.c_str(), code, nullItems ? nullptr : owned.items.data(), n,
                            sequence);
      },
      true);
  return true;
}

bool FireCommSendResult(const TdevCommBoxEntry_t* entry, int32_t code, int32_t count,
                        int32_t sequence) {
  std::string host;
  if (!BoxTarget(entry, false, &host)) return false;
  auto* e = const_cast<TdevCommBoxEntry_t*>(entry);
  RunNotifier([=] { TdcOnCommBoxSendResult(e, host.c_str(), code, count, sequence); }, true);
  return true;
}

bool FireCommReceive(const TdevCommBoxEntry_t* entry, const Message& message, bool nullMessage) {
  std::string host;
  if (!BoxTarget(entry, true, &host)) return false;
  auto* e = const_cast<TdevCommBoxEntry_t*>(entry);
  RunNotifier(
      [=] {
        Items owned({message});
        TdcOnCommBoxReceive(e, host.c_str(), nullMessage ? nullptr : owned.items.data());
      },
      true);
  return true;
}

std::vector<const void*> LastItemPointers() {
  std::lock_guard lock(g_itemsMutex);
  return g_lastItems;
}

}  // namespace tilo2::fake
