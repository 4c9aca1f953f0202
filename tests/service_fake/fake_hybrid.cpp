// The scripted client's hybrid printer operations: each records its call and
// answers the scripted code (0 unless scripted; 1 for a null handle). The slot
// setters mark their slot installed, so a test can fire the layer's hybrid
// notifiers on a fake thread (fake_hybrid.h).

#include "service_fake/fake_hybrid.h"

#include "device/service_notifiers.h"
#include "service_fake/fake_internal.h"

namespace tilo2::core {

using fake::Append;
using fake::Begin;
using fake::Call;
using fake::FindHandleLocked;
using fake::Finish;
using fake::MakeCall;
using fake::S;
using fake::Text;

namespace {

// Units TdevGetSystemVersion reports: {endorsement, validation, MICR}.
uint8_t g_units[3] = {1, 1, 1};

using StatusNotifier = void (*)(TdevPrinterHandle_t*, const char*, const char*);
constexpr StatusNotifier kHybridStatusNotifiers[16] = {
    &TdcHybridServiceEventOnline,           &TdcHybridServiceEventOffline,
    &TdcHybridServiceEventPowerOff,         &TdcHybridServiceEventCoverClose,
    &TdcHybridServiceEventCoverOpen,        &TdcHybridServiceEventPaperOk,
    &TdcHybridServiceEventPaperNearEnd,     &TdcHybridServiceEventPaperEmpty,
    &TdcHybridServiceEventDrawerHigh,       &TdcHybridServiceEventDrawerLow,
    &TdcHybridServiceEventInsertionWait,    &TdcHybridServiceEventInsertionWaitNone,
    &TdcHybridServiceEventRemovalWaitPaper, &TdcHybridServiceEventRemovalWaitNone,
    &TdcHybridServiceEventSlipPaperOk,      &TdcHybridServiceEventSlipPaperEmpty,
};

int SetHybridSlot(const char* name, TdevPrinterHandle_t* handle, int slot) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall(name, handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  if (!fake::Alive(handle)) return Finish(index, 255);
  if (hasScript && code != 0) return Finish(index, code);
  {
    std::lock_guard lock(S().mu);
    handle->slots[slot] = true;
  }
  return Finish(index, 0);
}

// Host and device id of a live handle whose hybrid slot is installed.
bool SlotTarget(TdevPrinterHandle_t* handle, int slot, std::string* host, std::string* deviceId) {
  std::lock_guard lock(S().mu);
  TdevPrinterHandle_t* h = FindHandleLocked(handle);
  if (h == nullptr || !h->slots[slot]) return false;
  *host = h->connection->host;
  *deviceId = h->deviceId;
  return true;
}

}  // namespace

int TdevHybridSetOnlineCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetOnlineCallback", handle, 0);
}
int TdevHybridSetOfflineCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetOfflineCallback", handle, 1);
}
int TdevHybridSetPowerOffCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetPowerOffCallback", handle, 2);
}
int TdevHybridSetCoverCloseCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetCoverCloseCallback", handle, 3);
}
int TdevHybridSetCoverOpenCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetCoverOpenCallback", handle, 4);
}
int TdevHybridSetPaperOkCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetPaperOkCallback", handle, 5);
}
int TdevHybridSetPaperNearEndCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetPaperNearEndCallback", handle, 6);
}
int TdevHybridSetPaperEmptyCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetPaperEmptyCallback", handle, 7);
}
int TdevHybridSetDrawerHighCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetDrawerHighCallback", handle, 8);
}
int TdevHybridSetDrawerLowCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetDrawerLowCallback", handle, 9);
}
int TdevHybridSetInsertionWaitCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetInsertionWaitCallback", handle, 10);
}
int TdevHybridSetInsertionWaitNoneCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetInsertionWaitNoneCallback", handle, 11);
}
int TdevHybridSetRemovalWaitPaperCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetRemovalWaitPaperCallback", handle, 12);
}
int TdevHybridSetRemovalWaitNoneCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetRemovalWaitNoneCallback", handle, 13);
}
int TdevHybridSetSlipPaperOkCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetSlipPaperOkCallback", handle, 14);
}
int TdevHybridSetSlipPaperEmptyCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetSlipPaperEmptyCallback", handle, 15);
}
int TdevHybridSetReceiveCallback(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetReceiveCallback", handle, 16);
}
int TdevHybridSetWaitInsertionReply(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetWaitInsertionReply", handle, 17);
}
int TdevHybridSetClearBufferReply(TdevPrinterHandle_t* handle) {
  return SetHybridSlot("TdevHybridSetClearBufferReply", handle, 18);
}

int TdevHybridSetSelectingPaper(TdevPrinterHandle_t* handle, int32_t flag) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetSelectingPaper", handle, {flag}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridClearBufferSync(TdcBackendEnv_t*, TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevHybridClearBufferSync", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridWaitInsertionSync(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper,
                                int32_t reserved, int32_t timeoutMs) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridWaitInsertionSync", handle, {paper, reserved, timeoutMs}, {}),
            &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridWaitInsertion(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper,
                            int32_t waitTimeMs, int32_t timeoutMs, int32_t removal) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(
      MakeCall("TdevHybridWaitInsertion", handle, {paper, waitTimeMs, timeoutMs, removal}, {}),
      &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSendData(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper,
                       int32_t timeoutMs, int32_t fortyColumn, int32_t removal, int32_t force) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(
      MakeCall("TdevHybridSendData", handle, {paper, timeoutMs, fortyColumn, removal, force}, {}),
      &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridCancelInsertion(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridCancelInsertion", handle, {paper}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridCancelMicr(TdcBackendEnv_t*, TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevHybridCancelMicr", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridEjectPaper(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t spare,
                         int32_t removal) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridEjectPaper", handle, {spare, removal}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridReadMicrData(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t font,
                           int32_t waitTimeMs, int32_t timeoutMs, int32_t removal) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridReadMicrData", handle, {font, waitTimeMs, timeoutMs, removal}, {}),
            &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridCleanMicrReader(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t waitTimeMs,
                              int32_t timeoutMs, int32_t removal) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridCleanMicrReader", handle, {waitTimeMs, timeoutMs, removal}, {}),
            &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridForceCommand(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, const uint8_t* bytes,
                           int32_t length, int32_t paper, int32_t fortyColumn, int32_t removal,
                           int32_t timeoutMs) {
  bool hasScript;
  int code = 0;
  Call call = MakeCall("TdevHybridForceCommand", handle,
                       {length, paper, fortyColumn, removal, timeoutMs}, {});
  if (bytes != nullptr && length > 0) call.bytes.assign(bytes, bytes + length);
  size_t index = Begin(std::move(call), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevPrinterIsReady(TdcBackendEnv_t*, TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevPrinterIsReady", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevGetSystemVersion(const char* host, uint8_t* units) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevGetSystemVersion", nullptr, {}, {Text(host)}), &hasScript, &code);
  if (host == nullptr || units == nullptr) return Finish(index, 1);
  if (hasScript && code != 0) return Finish(index, code);
  {
    std::lock_guard lock(S().mu);
    for (int i = 0; i < 3; ++i) units[i] = g_units[i];
  }
  return Finish(index, 0);
}

}  // namespace tilo2::core

namespace tilo2::fake {

void SetSystemUnits(uint8_t endorse, uint8_t validation, uint8_t micr) {
  std::lock_guard lock(S().mu);
  g_units[0] = endorse;
  g_units[1] = validation;
  g_units[2] = micr;
}

bool IsHybridInstalled(const void* handle, int slot) {
  std::lock_guard lock(S().mu);
  TdevPrinterHandle_t* h = FindHandleLocked(handle);
  return h != nullptr && slot >= 0 && slot <= 18 && h->slots[slot];
}

bool FireHybridStatusEvent(TdevPrinterHandle_t* handle, int slot) {
  if (slot < 0 || slot > 15) return false;
  std::string host, deviceId;
  if (!SlotTarget(handle, slot, &host, &deviceId)) return false;
  StatusNotifier notifier = kHybridStatusNotifiers[slot];
  RunNotifier([=] { notifier(handle, host.c_str(), deviceId.c_str()); }, true);
  return true;
}

bool FireHybridResult(TdevPrinterHandle_t* handle, int32_t success, int32_t code, uint32_t status,
                      int32_t operation, const char* data) {
  std::string host, deviceId;
  if (!SlotTarget(handle, 16, &host, &deviceId)) return false;
  const bool hasData = data != nullptr;
  std::string text = hasData ? data : "";
  RunNotifier(
      [=] {
        TdcOnHybridServiceResult(handle, host.c_str(), deviceId.c_str(), success, code, status,
                                 operation, hasData ? text.c_str() : nullptr);
      },
      true);
  return true;
}

}  // namespace tilo2::fake
