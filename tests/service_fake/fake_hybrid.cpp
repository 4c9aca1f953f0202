// The scripted client's hybrid printer operations: each records its call and
// answers the scripted code (0 unless scripted; 1 for a null handle). The slot
// setters mark their slot installed, so a test can fire the layer's hybrid
// notifiers on a fake thread (fake_hybrid.h).

#include "service_fake/fake_hybrid.h"

#include "device/service_notifiers.h"
#include "service_fake/fake_internal.h"
#include "service_fake/fake_stubs.h"

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

}  // namespace

int TdevHybridSetOnlineCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetOnlineCallback", handle, 0);
}
int TdevHybridSetOfflineCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetOfflineCallback", handle, 1);
}
int TdevHybridSetPowerOffCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetPowerOffCallback", handle, 2);
}
int TdevHybridSetCoverCloseCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetCoverCloseCallback", handle, 3);
}
int TdevHybridSetCoverOpenCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetCoverOpenCallback", handle, 4);
}
int TdevHybridSetPaperOkCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetPaperOkCallback", handle, 5);
}
int TdevHybridSetPaperNearEndCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetPaperNearEndCallback", handle, 6);
}
int TdevHybridSetPaperEmptyCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetPaperEmptyCallback", handle, 7);
}
int TdevHybridSetDrawerHighCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetDrawerHighCallback", handle, 8);
}
int TdevHybridSetDrawerLowCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetDrawerLowCallback", handle, 9);
}
int TdevHybridSetInsertionWaitCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetInsertionWaitCallback", handle, 10);
}
int TdevHybridSetInsertionWaitNoneCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetInsertionWaitNoneCallback", handle, 11);
}
int TdevHybridSetRemovalWaitPaperCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetRemovalWaitPaperCallback", handle, 12);
}
int TdevHybridSetRemovalWaitNoneCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetRemovalWaitNoneCallback", handle, 13);
}
int TdevHybridSetSlipPaperOkCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetSlipPaperOkCallback", handle, 14);
}
int TdevHybridSetSlipPaperEmptyCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetSlipPaperEmptyCallback", handle, 15);
}
int TdevHybridSetReceiveCallback(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetReceiveCallback", handle, 16);
}
int TdevHybridSetWaitInsertionReply(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetWaitInsertionReply", handle, 17);
}
int TdevHybridSetClearBufferReply(TdevPrinterHandle_t* handle) {
  return fake::MarkSlot("TdevHybridSetClearBufferReply", handle, 18);
}

int TdevHybridSetSelectingPaper(TdevPrinterHandle_t* handle, int32_t flag) {
  return fake::Answer(MakeCall("TdevHybridSetSelectingPaper", handle, {flag}, {}),
                      handle == nullptr);
}

int TdevHybridClearBufferSync(TdcBackendEnv_t*, TdevPrinterHandle_t* handle) {
  return fake::Answer(MakeCall("TdevHybridClearBufferSync", handle, {}, {}), handle == nullptr);
}

int TdevHybridWaitInsertionSync(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper,
                                int32_t reserved, int32_t timeoutMs) {
  return fake::Answer(
      MakeCall("TdevHybridWaitInsertionSync", handle, {paper, reserved, timeoutMs}, {}),
      handle == nullptr);
}

int TdevHybridWaitInsertion(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper,
                            int32_t waitTimeMs, int32_t timeoutMs, int32_t removal) {
  return fake::Answer(
      MakeCall("TdevHybridWaitInsertion", handle, {paper, waitTimeMs, timeoutMs, removal}, {}),
      handle == nullptr);
}

int TdevHybridSendData(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper,
                       int32_t timeoutMs, int32_t fortyColumn, int32_t removal, int32_t force) {
  return fake::Answer(
      MakeCall("TdevHybridSendData", handle, {paper, timeoutMs, fortyColumn, removal, force}, {}),
      handle == nullptr);
}

int TdevHybridCancelInsertion(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper) {
  return fake::Answer(MakeCall("TdevHybridCancelInsertion", handle, {paper}, {}),
                      handle == nullptr);
}

int TdevHybridCancelMicr(TdcBackendEnv_t*, TdevPrinterHandle_t* handle) {
  return fake::Answer(MakeCall("TdevHybridCancelMicr", handle, {}, {}), handle == nullptr);
}

int TdevHybridEjectPaper(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t spare,
                         int32_t removal) {
  return fake::Answer(MakeCall("TdevHybridEjectPaper", handle, {spare, removal}, {}),
                      handle == nullptr);
}

int TdevHybridReadMicrData(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t font,
                           int32_t waitTimeMs, int32_t timeoutMs, int32_t removal) {
  return fake::Answer(
      MakeCall("TdevHybridReadMicrData", handle, {font, waitTimeMs, timeoutMs, removal}, {}),
      handle == nullptr);
}

int TdevHybridCleanMicrReader(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t waitTimeMs,
                              int32_t timeoutMs, int32_t removal) {
  return fake::Answer(
      MakeCall("TdevHybridCleanMicrReader", handle, {waitTimeMs, timeoutMs, removal}, {}),
      handle == nullptr);
}

int TdevHybridForceCommand(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, const uint8_t* bytes,
                           int32_t length, int32_t paper, int32_t fortyColumn, int32_t removal,
                           int32_t timeoutMs) {
  return fake::Answer(fake::WithBytes(MakeCall("TdevHybridForceCommand", handle,
                                               {length, paper, fortyColumn, removal, timeoutMs}),
                                      bytes, length),
                      handle == nullptr);
}

int TdevPrinterIsReady(TdcBackendEnv_t*, TdevPrinterHandle_t* handle) {
  return fake::Answer(MakeCall("TdevPrinterIsReady", handle, {}, {}), handle == nullptr);
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
  if (!fake::SlotTarget(handle, slot, &host, &deviceId)) return false;
  StatusNotifier notifier = kHybridStatusNotifiers[slot];
  RunNotifier([=] { notifier(handle, host.c_str(), deviceId.c_str()); }, true);
  return true;
}

bool FireHybridResult(TdevPrinterHandle_t* handle, int32_t success, int32_t code, uint32_t status,
                      int32_t operation, const char* data) {
  std::string host, deviceId;
  if (!fake::SlotTarget(handle, 16, &host, &deviceId)) return false;
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
