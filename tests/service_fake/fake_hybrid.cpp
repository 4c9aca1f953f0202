// The scripted client's hybrid printer operations: each records its call and
// answers the scripted code (0 unless scripted; 1 for a null handle).

#include "service_fake/fake_internal.h"

namespace tilo2::core {

using fake::Append;
using fake::Begin;
using fake::Call;
using fake::Finish;
using fake::MakeCall;
using fake::Text;

int TdevHybridSetOnlineCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevHybridSetOnlineCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetOfflineCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevHybridSetOfflineCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetPowerOffCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetPowerOffCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetCoverCloseCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetCoverCloseCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetCoverOpenCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetCoverOpenCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetPaperOkCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevHybridSetPaperOkCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetPaperNearEndCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetPaperNearEndCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetPaperEmptyCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetPaperEmptyCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetDrawerHighCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetDrawerHighCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetDrawerLowCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetDrawerLowCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetInsertionWaitCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetInsertionWaitCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetInsertionWaitNoneCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetInsertionWaitNoneCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetRemovalWaitPaperCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetRemovalWaitPaperCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetRemovalWaitNoneCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetRemovalWaitNoneCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetSlipPaperOkCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetSlipPaperOkCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetSlipPaperEmptyCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetSlipPaperEmptyCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetReceiveCallback(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevHybridSetReceiveCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetWaitInsertionReply(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetWaitInsertionReply", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevHybridSetClearBufferReply(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevHybridSetClearBufferReply", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
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

}  // namespace tilo2::core
