// How both backends report status changes, print results and connection
// events to printer records, and the registration of those callbacks.
//
// Every backend callback finds its record in the registry, which holds it
// until the callback releases it: a record being destroyed on another thread
// is freed only after the callback returned.

#include <cstdlib>

#include "device/code_tables.h"
#include "device/hybrid_module.h"
#include "device/printer_kind.h"
#include "device/printer_module.h"
#include "device/printer_status.h"
#include "engine/event_callbacks.h"
#include "foundation/lock_guard.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

int32_t SeriesOf(const TdcPrinter_t* record) {
  return record->settings != nullptr ? record->settings->series : kTdcNone;
}

void NotifyStatus(TdcPrinter_t* record, int32_t event) {
  if (record->statusCallback != nullptr) record->statusCallback(record, event, record->statusUser);
}

void NotifyServiceStatus(TdevPrinterHandle_t* handle, int32_t event) {
  TdcPrinter_t* record = TdcFindPrinter(handle);
  if (record == nullptr) return;
  NotifyStatus(record, event);
  TdcReleasePrinter(record);
}

// Calls the receive callback with a status record that is freed after it.
void DeliverResult(TdcPrinter_t* record, int32_t code, TdcStatus_t* status,
                   const char* printJobId) {
  if (status == nullptr) status = TdcNewStatus();
  if (status == nullptr) return;  // out of memory: the runtime cannot take a null status
  if (record->receiveCallback != nullptr)
    record->receiveCallback(record, code, status, printJobId, record->receiveUser);
  std::free(status);
}

// The print engine's slot registration answers 1 for a handle it does not list.
int SetEventChecked(PrintHandle_t* handle, int slot, EventCallback callback) {
  if (!CheckHandleList(handle)) return 1;
  return SetEventCallback(handle, slot, callback);
}

}  // namespace

// ---- Print engine -------------------------------------------------------------------

// A direct print handle is shared by the records of every module connected
// to the same printer (at most one record of each kind), and its event slots
// hold the callbacks of whichever printer kind registered last: so a base
// event reaches the printer record and the hybrid record on the handle,
// whichever of them connected first. A series with a battery has no drawer
// events; hybrid records know no battery events.
void TdcNotifyDirectBaseEvent(PrintHandle_t* handle, int32_t event) {
  if (TdcPrinter_t* printer = TdcFindPrinter(handle); printer != nullptr) {
    const bool drawer = event == kTdcEventDrawerHigh || event == kTdcEventDrawerLow;
    if (!(drawer && TdcIsBatterySeries(SeriesOf(printer)))) NotifyStatus(printer, event);
    TdcReleasePrinter(printer);
  }
  if (event < kTdcEventOnline || event > kTdcEventDrawerLow) return;
  if (TdcPrinter_t* hybrid = TdcFindHybridPrinter(handle); hybrid != nullptr) {
    if (hybrid->hybridStatusCallback != nullptr) {
      hybrid->hybridStatusCallback(hybrid, event, hybrid->hybridStatusUser);
    }
    TdcReleaseHybridPrinter(hybrid);
  }
}

void TdcPrinterDirectEventOnline(TdcBackendEnv_t*, PrintHandle_t* handle, const char*, uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventOnline);
}
void TdcPrinterDirectEventOffline(TdcBackendEnv_t*, PrintHandle_t* handle, const char*, uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventOffline);
}
void TdcPrinterDirectEventPowerOff(TdcBackendEnv_t*, PrintHandle_t* handle, const char*, uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventPowerOff);
}
void TdcPrinterDirectEventCoverClose(TdcBackendEnv_t*, PrintHandle_t* handle, const char*,
                                     uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventCoverClose);
}
void TdcPrinterDirectEventCoverOpen(TdcBackendEnv_t*, PrintHandle_t* handle, const char*,
                                    uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventCoverOpen);
}
void TdcPrinterDirectEventPaperOk(TdcBackendEnv_t*, PrintHandle_t* handle, const char*, uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventPaperOk);
}
void TdcPrinterDirectEventPaperNearEnd(TdcBackendEnv_t*, PrintHandle_t* handle, const char*,
                                       uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventPaperNearEnd);
}
void TdcPrinterDirectEventPaperEmpty(TdcBackendEnv_t*, PrintHandle_t* handle, const char*,
                                     uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventPaperEmpty);
}
void TdcPrinterDirectEventDrawerHigh(TdcBackendEnv_t*, PrintHandle_t* handle, const char*,
                                     uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventDrawerHigh);
}
void TdcPrinterDirectEventDrawerLow(TdcBackendEnv_t*, PrintHandle_t* handle, const char*,
                                    uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventDrawerLow);
}
void TdcPrinterDirectEventBatteryEnough(TdcBackendEnv_t*, PrintHandle_t* handle, const char*,
                                        uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventBatteryEnough);
}
void TdcPrinterDirectEventBatteryEmpty(TdcBackendEnv_t*, PrintHandle_t* handle, const char*,
                                       uint32_t) {
  TdcNotifyDirectBaseEvent(handle, kTdcEventBatteryEmpty);
}

void TdcOnPrinterDirectResult(PrintHandle_t* handle, const char*, int32_t code,
                              uint32_t statusFlags, int32_t battery, const char* printJobId) {
  TdcPrinter_t* record = TdcFindPrinter(handle);
  if (record == nullptr) return;
  const int32_t series = SeriesOf(record);
  int32_t callbackCode = TDC_CB_FAILURE;
  if (TdcGetPrintResultCode(series, code, statusFlags, &callbackCode) != 0)
    callbackCode = TDC_CB_FAILURE;
  DeliverResult(record, callbackCode, TdcMakePrinterStatus(series, statusFlags, battery),
                printJobId);
  TdcReleasePrinter(record);
}

// ---- Device service -------------------------------------------------------------------

void TdcPrinterServiceEventOnline(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventOnline);
}
void TdcPrinterServiceEventOffline(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventOffline);
}
void TdcPrinterServiceEventPowerOff(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventPowerOff);
}
void TdcPrinterServiceEventCoverClose(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventCoverClose);
}
void TdcPrinterServiceEventCoverOpen(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventCoverOpen);
}
void TdcPrinterServiceEventPaperOk(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventPaperOk);
}
void TdcPrinterServiceEventPaperNearEnd(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventPaperNearEnd);
}
void TdcPrinterServiceEventPaperEmpty(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventPaperEmpty);
}
void TdcPrinterServiceEventDrawerHigh(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventDrawerHigh);
}
void TdcPrinterServiceEventDrawerLow(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventDrawerLow);
}
void TdcPrinterServiceEventBatteryEnough(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventBatteryEnough);
}
void TdcPrinterServiceEventBatteryEmpty(TdevPrinterHandle_t* handle, const char*, const char*) {
  NotifyServiceStatus(handle, kTdcEventBatteryEmpty);
}

void TdcOnPrinterServiceResult(TdevPrinterHandle_t* handle, const char*, const char*, int32_t,
                               int32_t code, uint32_t status, int32_t battery,
                               const char* printJobId) {
  TdcPrinter_t* record = TdcFindPrinter(handle);
  if (record == nullptr) return;
  DeliverResult(record, TdcCallbackFromService(code),
                TdcMakePrinterServiceStatus(SeriesOf(record), status, battery), printJobId);
  TdcReleasePrinter(record);
}

// ---- Connection listener ---------------------------------------------------------------

void TdcOnPrinterKindConnectionEvent(void* pointer, int32_t event,
                                     TdcConnectionCallback TdcPrinter_t::*callbackField,
                                     void* TdcPrinter_t::*userField) {
  auto* record = static_cast<TdcPrinter_t*>(pointer);
  if (record == nullptr) return;
  if (event == TDC_EVENT_DISCONNECTED) {
    // Only the leaf lock: an operation holding the record's operation mutex
    // may be waiting in the client for this thread.
    PlatformLockGuard guard(record->stateLock);
    if (guard && record->mode == TDC_MODE_SERVICE) {
      // The operation table stays: the next connect or destroy frees it.
      record->handle = nullptr;
      record->builder = nullptr;
      record->connection = nullptr;
      record->mode = TDC_MODE_CLOSED;
    }
  }
  TdcConnectionCallback callback = record->*callbackField;
  void* user = record->*userField;
  if (callback != nullptr) callback(record, event, user);
}

void TdcOnPrinterConnectionEvent(void* record, int32_t event) {
  TdcOnPrinterKindConnectionEvent(record, event, &TdcPrinter_t::connectionCallback,
                                  &TdcPrinter_t::connectionUser);
}

// ---- Registration ------------------------------------------------------------------------

int TdcSetPrinterDirectCallbacks(PrintHandle_t* handle, int32_t series) {
  int result = SetEventChecked(handle, EVENT_ONLINE, &TdcPrinterDirectEventOnline);
  if (result == 0) result = SetEventChecked(handle, EVENT_OFFLINE, &TdcPrinterDirectEventOffline);
  if (result == 0)
    result = SetEventChecked(handle, EVENT_POWER_OFF, &TdcPrinterDirectEventPowerOff);
  if (result == 0) result = TiloSetCoverCloseCallback(handle, &TdcPrinterDirectEventCoverClose);
  if (result == 0) result = TiloSetCoverOpenCallback(handle, &TdcPrinterDirectEventCoverOpen);
  if (result == 0) result = TiloSetPaperOkCallback(handle, &TdcPrinterDirectEventPaperOk);
  if (result == 0) result = TiloSetPaperNearEndCallback(handle, &TdcPrinterDirectEventPaperNearEnd);
  if (result == 0) result = TiloSetPaperEmptyCallback(handle, &TdcPrinterDirectEventPaperEmpty);
  if (TdcIsBatterySeries(series)) {
    if (result == 0)
      result = SetEventChecked(handle, EVENT_BATTERY_ENOUGH, &TdcPrinterDirectEventBatteryEnough);
    if (result == 0)
      result = SetEventChecked(handle, EVENT_BATTERY_EMPTY, &TdcPrinterDirectEventBatteryEmpty);
  } else {
    if (result == 0) result = TiloSetDrawerHighCallback(handle, &TdcPrinterDirectEventDrawerHigh);
    if (result == 0) result = TiloSetDrawerLowCallback(handle, &TdcPrinterDirectEventDrawerLow);
  }
  if (result == 0) {
    result = CheckHandleList(handle)
                 ? SetResultCallback(handle, RESULT_PRINT,
                                     reinterpret_cast<void*>(&TdcOnPrinterDirectResult))
                 : 1;
  }
  return result == 0 ? TDC_SUCCESS : TdcFromEngineResult(result);
}

int TdcSetPrinterServiceCallbacks(TdevPrinterHandle_t* handle, int32_t series) {
  int result = TdevPrinterSetOnlineCallback(handle);
  if (result == 0) result = TdevPrinterSetOfflineCallback(handle);
  if (result == 0) result = TdevPrinterSetPowerOffCallback(handle);
  if (result == 0) result = TdevPrinterSetCoverCloseCallback(handle);
  if (result == 0) result = TdevPrinterSetCoverOpenCallback(handle);
  if (result == 0) result = TdevPrinterSetPaperOkCallback(handle);
  if (result == 0) result = TdevPrinterSetPaperNearEndCallback(handle);
  if (result == 0) result = TdevPrinterSetPaperEmptyCallback(handle);
  if (TdcIsBatterySeries(series)) {
    if (result == 0) result = TdevPrinterSetBatteryEnoughCallback(handle);
    if (result == 0) result = TdevPrinterSetBatteryEmptyCallback(handle);
  } else {
    if (result == 0) result = TdevPrinterSetDrawerHighCallback(handle);
    if (result == 0) result = TdevPrinterSetDrawerLowCallback(handle);
  }
  if (result == 0) result = TdevPrinterSetReceiveCallback(handle);
  return result == 0 ? TDC_SUCCESS : TdcFromServiceResult(result);
}

}  // namespace tilo2::core
