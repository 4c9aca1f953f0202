// The client's message sinks: where each message of the service lands once
// its handler has read it. Each sink finds its record (connection, handle or
// message box); finding nothing does nothing. Callbacks are read under their
// record's callback lock and called after it is released.

#include "foundation/lock_guard.h"
#include "service/device_handles.h"
#include "service/host_connection.h"
#include "service/received_messages.h"
#include "service/reply_codes.h"

namespace tilo2::core {

namespace {

constexpr uint32_t kJobStatusMask = 0x810F6F6F;
constexpr uint32_t kHybridEventMask = 0x910F6F6F;
constexpr uint32_t kSlipPresent = 0x10000000;
constexpr uint32_t kSlipKeep = 0x40600000;

template <class Callback>
Callback ReadCallback(TdevHandleBase_t* handle, Callback* field) {
  PlatformLockGuard guard(handle->callbackLock);
  return *field;
}

template <class Callback>
Callback SlotAs(TdevAnyCallback any) {
  return reinterpret_cast<Callback>(any);
}

void StoreDataId(TdevConnection_t* connection, int32_t dataId) {
  if (dataId >= 1) TdevSetReceivedId(connection, dataId);
}

void OnXmlResult(TdevConnection_t* connection, int32_t, const char* deviceId, int32_t success,
                 int32_t code, uint32_t status, int32_t battery, const char* printJobId,
                 int32_t dataId) {
  uint32_t type = 0;
  auto handle = TdevFindDriverHandle(connection, deviceId, &type);
  if (handle == nullptr) return;
  const int32_t result = TdevReplyCodeToResult(code);
  const std::string host = TdevConnectionHost(connection);
  bool called = false;
  if (type == TDEV_DEVICE_PRINTER) {
    auto* printer = static_cast<TdevPrinterHandle_t*>(handle.get());
    TdevSetPrinterStatus(printer, status);
    if (battery != 0) TdevSetBatteryLevel(printer, battery);
    if (auto slot = SlotAs<TdevPrinterJobResult>(TdevGetPrinterCallback(printer, 14))) {
      slot(printer, host.c_str(), deviceId, success, result, status & kJobStatusMask, battery,
           printJobId != nullptr ? printJobId : "");
      called = true;
    }
  } else if (type == TDEV_DEVICE_HYBRID_PRINTER) {
    auto* printer = static_cast<TdevPrinterHandle_t*>(handle.get());
    TdevSetPrinterStatus(printer, status);
    if (auto slot = SlotAs<TdevHybridResult>(TdevGetHybridPrinterCallback(printer, 16))) {
      slot(printer, host.c_str(), deviceId, success, result, status & kJobStatusMask, 1, "");
      called = true;
    }
  } else if (type == TDEV_DEVICE_DISPLAY) {
    auto* display = static_cast<TdevDisplayHandle_t*>(handle.get());
    if (auto callback = ReadCallback(display, &display->jobResult)) {
      callback(display, host.c_str(), deviceId, success, result, status, battery);
      called = true;
    }
  }
  if (called) StoreDataId(connection, dataId);
}

void OnDeviceReceive(TdevConnection_t* connection, int32_t, const char* deviceId,
                     const char* eventType, int32_t eventTypeLength, int32_t success, int32_t code,
                     uint32_t status, const char* data) {
  uint32_t type = 0;
  auto handle = TdevFindDriverHandle(connection, deviceId, &type);
  if (handle == nullptr || type != TDEV_DEVICE_HYBRID_PRINTER || eventType == nullptr) return;
  auto* printer = static_cast<TdevPrinterHandle_t*>(handle.get());
  const int32_t result = TdevReplyCodeToResult(code);
  const std::string host = TdevConnectionHost(connection);
  const std::string_view event(eventType, eventTypeLength > 0 ? eventTypeLength : 0);
  if (!event.empty() && std::string_view("clearbuffer").substr(0, event.size()) == event) {
    if (auto slot = SlotAs<TdevHybridClearBufferReply>(TdevGetHybridPrinterCallback(printer, 18)))
      slot(printer, result);
    return;
  }
  const uint32_t adjusted = (status & kSlipKeep) == kSlipKeep ? status : status | kSlipPresent;
  TdevSetPrinterStatus(printer, adjusted);
  auto resultSlot = SlotAs<TdevHybridResult>(TdevGetHybridPrinterCallback(printer, 16));
  if (resultSlot == nullptr) return;
  int32_t operation = 0;
  if (TdevHybridOperationKind(eventType, eventTypeLength, &operation) != 0) return;
  if (TdevHybridIsSelectingPaper(printer) != 0) {
    auto waitSlot = SlotAs<TdevHybridWaitInsertionReply>(TdevGetHybridPrinterCallback(printer, 17));
    if (waitSlot == nullptr) return;
    if (result != 0) {
      resultSlot(printer, host.c_str(), deviceId, success, result, adjusted & kHybridEventMask, 1,
                 data != nullptr ? data : "");
    }
    waitSlot(printer, result, adjusted & kHybridEventMask);
    return;
  }
  resultSlot(printer, host.c_str(), deviceId, success, result, adjusted & kHybridEventMask,
             operation, data != nullptr ? data : "");
}

void OnKeyPress(TdevConnection_t* connection, int32_t, const char* deviceId, int32_t keyCode,
                const char* ascii, int32_t dataId) {
  uint32_t type = 0;
  auto handle = TdevFindDriverHandle(connection, deviceId, &type);
  if (handle == nullptr || type != TDEV_DEVICE_KEYBOARD) return;
  auto* keyboard = static_cast<TdevKeyboardHandle_t*>(handle.get());
  if (auto callback = ReadCallback(keyboard, &keyboard->keyPress)) {
    callback(keyboard, TdevConnectionHost(connection).c_str(), deviceId, keyCode, ascii);
    StoreDataId(connection, dataId);
  }
}

void OnString(TdevConnection_t* connection, int32_t, const char* deviceId, const char* text,
              int32_t prefix, int32_t dataId) {
  uint32_t type = 0;
  auto handle = TdevFindDriverHandle(connection, deviceId, &type);
  if (handle == nullptr || type != TDEV_DEVICE_KEYBOARD) return;
  auto* keyboard = static_cast<TdevKeyboardHandle_t*>(handle.get());
  if (auto callback = ReadCallback(keyboard, &keyboard->string)) {
    callback(keyboard, TdevConnectionHost(connection).c_str(), deviceId, text, prefix);
    StoreDataId(connection, dataId);
  }
}

void OnData(TdevConnection_t* connection, int32_t, const char* deviceId, const char* text,
            int32_t dataId) {
  uint32_t type = 0;
  auto handle = TdevFindDriverHandle(connection, deviceId, &type);
  if (handle == nullptr || (type != TDEV_DEVICE_SCANNER && type != TDEV_DEVICE_SERIAL)) return;
  auto* device = static_cast<TdevDeviceHandle_t*>(handle.get());
  const std::string host = TdevConnectionHost(connection);
  if (type == TDEV_DEVICE_SERIAL) {
    // A serial device takes bytes: the text's own length is the count.
    if (auto callback = ReadCallback(device, &device->dataBytes)) {
      const std::string_view bytes(text != nullptr ? text : "");
      callback(device, host.c_str(), deviceId, reinterpret_cast<const uint8_t*>(bytes.data()),
               static_cast<int32_t>(bytes.size()));
      StoreDataId(connection, dataId);
    }
    return;
  }
  if (auto callback = ReadCallback(device, &device->dataText)) {
    callback(device, host.c_str(), deviceId, text);
    StoreDataId(connection, dataId);
  }
}

void OnCommandReply(TdevConnection_t* connection, int32_t, const char* deviceId,
                    const uint8_t* bytes, int32_t count, int32_t dataId) {
  uint32_t type = 0;
  auto handle = TdevFindDriverHandle(connection, deviceId, &type);
  if (handle == nullptr || (type != TDEV_DEVICE_SCANNER && type != TDEV_DEVICE_SERIAL)) return;
  auto* device = static_cast<TdevDeviceHandle_t*>(handle.get());
  if (auto callback = ReadCallback(device, &device->dataBytes)) {
    callback(device, TdevConnectionHost(connection).c_str(), deviceId, bytes, count);
    StoreDataId(connection, dataId);
  }
}

template <class Callback>
Callback ReadBoxCallback(TdevCommBoxEntry_t* entry, Callback* field) {
  PlatformLockGuard guard(entry->callbackLock);
  return *field;
}

void OnCommHistory(TdevConnection_t* connection, int32_t sequence, const char* boxId, int32_t code,
                   TdevCommHistoryItem_t* items, int32_t count, int32_t dataId) {
  auto entry = TdevCommBoxListFindById(connection, boxId);
  if (entry == nullptr) return;
  const int32_t result = TdevReplyCodeToResult(code);
  if (auto callback = ReadBoxCallback(entry.get(), &entry->history)) {
    callback(entry.get(), TdevConnectionHost(connection).c_str(), result,
             result == 0 ? items : nullptr, result == 0 ? count : 0, sequence);
    StoreDataId(connection, dataId);
  }
}

void OnCommBoxSend(TdevConnection_t* connection, int32_t sequence, const char* boxId, int32_t code,
                   int32_t count, int32_t dataId) {
  auto entry = TdevCommBoxListFindById(connection, boxId);
  if (entry == nullptr) return;
  if (auto callback = ReadBoxCallback(entry.get(), &entry->sendResult)) {
    callback(entry.get(), TdevConnectionHost(connection).c_str(), TdevReplyCodeToResult(code),
             count, sequence);
    StoreDataId(connection, dataId);
  }
}

void OnCommBoxReceive(TdevConnection_t* connection, int32_t, const char* boxId,
                      TdevCommHistoryItem_t* item, int32_t dataId) {
  auto entry = TdevCommBoxListFindById(connection, boxId);
  if (entry == nullptr) return;
  if (auto callback = ReadBoxCallback(entry.get(), &entry->receive)) {
    callback(entry.get(), TdevConnectionHost(connection).c_str(), item);
    StoreDataId(connection, dataId);
  }
}

void OnError(TdevConnection_t*, int32_t, const char*, int32_t, const char*, int32_t) {}

}  // namespace

const TdevMessageSinks_t* TdevDefaultMessageSinks() {
  static const TdevMessageSinks_t sinks{
      &TdevOnConnect,    &TdevOnReconnect,   &TdevOnDisconnect,
      &TdevOnAdminInfo,  &TdevOnOpenCommBox, &TdevOnCloseCommBox,
      &OnCommHistory,    &OnCommBoxSend,     &OnCommBoxReceive,
      &TdevOnOpenDevice, &TdevOnCloseDevice, &OnXmlResult,
      &OnDeviceReceive,  &OnKeyPress,        &OnString,
      &OnData,           &OnCommandReply,    &OnError,
  };
  return &sinks;
}

}  // namespace tilo2::core
