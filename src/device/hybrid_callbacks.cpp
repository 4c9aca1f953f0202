// How both backends report status changes, operation results and connection
// events to hybrid printer records: the status records, the completion codes,
// the paper-state update a result makes, and the callback registration.
//
// Every backend callback finds its record in the hybrid registry, which holds
// it until the callback returns, so a destroy on another thread waits for it.

#include <cstdlib>

#include "device/code_tables.h"
#include "device/hybrid_access.h"
#include "device/hybrid_module.h"
#include "device/printer_kind.h"
#include "device/printer_module.h"
#include "device/printer_status.h"
#include "device/service_notifiers.h"
#include "engine/event_callbacks.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

constexpr const char* kEngineSource = "tiloprint_common_public";

// Stands for the insertion-wait slot, whose event depends on the paper state.
constexpr int32_t kInsertionWaitSlot = -1;

// Print-engine status word bits of the hybrid fields.
constexpr uint32_t kEngineInsertionWait = 0x20000;
constexpr uint32_t kEngineRemovalWait = 0x80000;
constexpr uint32_t kEngineSlipPaperEmpty = 0x80000000u;
// The device service's.
constexpr uint32_t kServiceNoResponse = 0x1;
constexpr uint32_t kServiceInsertionWait = 0x10000;
constexpr uint32_t kServiceRemovalWait = 0x40000;
constexpr uint32_t kServiceSlipPaperEmpty = 1u << 28;

// Print-engine completion codes.
constexpr int32_t kEngineSuccess = 0;
constexpr int32_t kEngineIoError = 3;
constexpr int32_t kEngineTimeout = 4;
constexpr int32_t kEngineIllegal = 6;
constexpr int32_t kEnginePrinterError = 9;
constexpr int32_t kEngineCanceled = 11;
constexpr int32_t kEngineWaitInsertion = 22;
constexpr int32_t kEngineInserted = 23;
constexpr int32_t kEngineWaitRemoval = 24;

// Callback codes the paper-state update looks at.
constexpr int32_t kCodeSystem = 9;
constexpr int32_t kCodePort = 10;
constexpr int32_t kCodeCanceled = 18;
constexpr int32_t kCodeNoMicrData = 19;
constexpr int32_t kCodeNoMagneticData = 21;
constexpr int32_t kCodePaperType = 28;
constexpr int32_t kCodeWaitInsertion = 29;
constexpr int32_t kCodeIllegal = 30;
constexpr int32_t kCodeInserted = 31;
constexpr int32_t kCodeWaitRemoval = 32;

int32_t PaperTypeOf(TdcPrinter_t* record) { return TdcGetPaperType(record); }

// The insertion-wait event for the current paper state; -1 for none.
int32_t InsertionWaitEvent(TdcPrinter_t* record) {
  if (TdcGetInsertionMode(record) == TDC_INSERTION_MICR_RUNNING) {
    return TDC_HYBRID_EVENT_INSERTION_WAIT_MICR;
  }
  const int32_t paper = PaperTypeOf(record);
  if (paper == TDC_PAPER_SLIP || paper == TDC_PAPER_ENDORSE) {
    return TDC_HYBRID_EVENT_INSERTION_WAIT_SLIP;
  }
  if (paper == TDC_PAPER_VALIDATION) return TDC_HYBRID_EVENT_INSERTION_WAIT_VALIDATION;
  return -1;
}

// insertionWaiting once the wait bit is known to be set.
int32_t InsertionWaiting(TdcPrinter_t* record) {
  if (TdcGetInsertionMode(record) == TDC_INSERTION_MICR_RUNNING) return 2;
  const int32_t paper = PaperTypeOf(record);
  if (paper == TDC_PAPER_SLIP || paper == TDC_PAPER_ENDORSE) return 0;
  if (paper == TDC_PAPER_VALIDATION) return 1;
  return kTdcNone;
}

void Notify(const void* handle, int32_t event) {
  TdcPrinter_t* record = TdcFindHybridPrinter(handle);
  if (record == nullptr) return;
  if (event == kInsertionWaitSlot) event = InsertionWaitEvent(record);
  if (event >= 0 && record->hybridStatusCallback != nullptr) {
    record->hybridStatusCallback(record, event, record->hybridStatusUser);
  }
  TdcReleaseHybridPrinter(record);
}

// The base events of a direct print handle go to every printer kind's record
// on it (see TdcNotifyDirectBaseEvent); the hybrid ones to the hybrid record.
void NotifyDirect(PrintHandle_t* handle, int32_t event) {
  if (event >= kTdcEventOnline && event <= kTdcEventDrawerLow) {
    TdcNotifyDirectBaseEvent(handle, event);
  } else {
    Notify(handle, event);
  }
}

// Calls the result callback with a status record that is freed after it.
void Deliver(TdcPrinter_t* record, int32_t method, int32_t code, const char* data,
             TdcStatus_t* status) {
  if (status == nullptr) status = TdcNewStatus();
  if (status == nullptr) return;  // out of memory: the runtime cannot take a null status
  if (record->hybridReceiveCallback != nullptr) {
    record->hybridReceiveCallback(record, method, code, data, status, record->hybridReceiveUser);
  }
  std::free(status);
}

int SetEventChecked(PrintHandle_t* handle, int slot, EventCallback callback) {
  if (!CheckHandleList(handle)) {
    log_error_line("ERROR", kEngineSource, __LINE__);
    return 1;
  }
  return SetEventCallback(handle, slot, callback);
}

bool IsHeldOrFinalCode(int32_t code) {
  switch (code) {
    case 0:
    case kCodePort:
    case kCodeCanceled:
    case kCodePaperType:
    case kCodeWaitInsertion:
    case kCodeIllegal:
    case kCodeInserted:
    case kCodeWaitRemoval:
      return true;
    default:
      return false;
  }
}

}  // namespace

// ---- Status records and completion codes ---------------------------------------------

TdcStatus_t* TdcMakeHybridStatus(TdcPrinter_t* record, uint32_t statusFlags) {
  // A series without a battery: drawer from 0x4, no battery-overheat case.
  TdcStatus_t* status = TdcMakePrinterStatus(kTdcNone, statusFlags, 0);
  if (status == nullptr || status->connection == 0) return status;
  status->buzzer = (statusFlags & kEngineInsertionWait) == 0 ? 3 : InsertionWaiting(record);
  status->adapter = (statusFlags & kEngineRemovalWait) != 0 ? 0 : 1;
  status->batteryLevel = (statusFlags & kEngineSlipPaperEmpty) == 0 ? 1 : 0;
  return status;
}

TdcStatus_t* TdcMakeHybridServiceStatus(TdcPrinter_t* record, uint32_t statusBits) {
  if (statusBits == 0) {
    TdcStatus_t* status = TdcNewStatus();
    if (status != nullptr) status->connection = 1;
    return status;
  }
  if ((statusBits & kServiceNoResponse) != 0) return TdcNewStatus();
  TdcStatus_t* status = TdcMakePrinterServiceStatus(kTdcNone, statusBits, 0);
  if (status == nullptr) return nullptr;
  status->buzzer = (statusBits & kServiceInsertionWait) == 0 ? 3 : InsertionWaiting(record);
  status->adapter = (statusBits & kServiceRemovalWait) != 0 ? 0 : 1;
  status->batteryLevel = (statusBits & kServiceSlipPaperEmpty) == 0 ? 1 : 0;
  return status;
}

int TdcGetHybridResultCode(int32_t code, uint32_t f, int32_t* out) {
  if (out == nullptr) return TDC_ERR_PARAM;
  int32_t result = TDC_CB_FAILURE;
  if (code == kEngineSuccess) {
    result = TDC_CB_SUCCESS;
  } else if (code == kEngineIoError) {
    result = TDC_CB_PORT;
  } else if (code == kEngineTimeout) {
    result = TDC_CB_TIMEOUT;
  } else if (code == kEngineIllegal) {
    result = kCodeIllegal;
  } else if (code == kEnginePrinterError) {
    if ((f & (0x40 | 0x200)) != 0) {
      result = TDC_CB_FAILURE;
    } else if ((f & 0x1) != 0) {
      result = TDC_CB_PORT;
    } else if ((f & 0x2000) != 0) {
      result = TDC_CB_UNRECOVERABLE;
    } else if ((f & 0x800) != 0) {
      result = TDC_CB_CUTTER;
    } else if ((f & 0x400) != 0) {
      result = TDC_CB_MECHANICAL;
    } else if ((f & 0x20) != 0) {
      result = TDC_CB_COVER_OPEN;
    } else if ((f & 0x40000) != 0) {
      result = TDC_CB_EMPTY;
    } else if ((f & 0x4000) != 0) {
      result = TDC_CB_AUTORECOVER;
    } else {
      result = TDC_CB_PORT;
    }
  } else if (code >= kEngineCanceled && code <= kEngineWaitInsertion) {
    result = code + 7;
  } else if (code == kEngineInserted) {
    result = kCodeInserted;
  } else if (code == kEngineWaitRemoval) {
    result = kCodeWaitRemoval;
  }
  *out = result;
  return TDC_SUCCESS;
}

// ---- Paper-state update ----------------------------------------------------------------

int32_t TdcUpdatePaperState(TdcPrinter_t* record, TdcResultSource source, int32_t rawMethod,
                            int32_t method, int32_t code) {
  // The print engine resets the state on an error of any but the eject, so
  // the next slip job switches the paper again.
  if (source == TdcResultSource::Direct && rawMethod != TDC_METHOD_EJECT_PAPER &&
      !IsHeldOrFinalCode(code)) {
    TdcResetPaperState(record);
    return code;
  }
  if (code == TDC_CB_SUCCESS) {
    switch (method) {
      case TDC_METHOD_WAIT_INSERTION: {
        PlatformLockGuard lock(record->paperLock);
        if (lock) record->insertedPaper = record->paperType;
        break;
      }
      case TDC_METHOD_CANCEL_INSERTION:
      case TDC_METHOD_EJECT_PAPER:
      case TDC_METHOD_CLEAN_MICR:
        TdcResetPaperState(record);
        break;
      case TDC_METHOD_READ_MICR:
        TdcSetInsertionMode(record, TDC_INSERTION_MICR_HELD);
        break;
      default:
        break;
    }
    return code;
  }
  if (method != TDC_METHOD_READ_MICR && method != TDC_METHOD_CLEAN_MICR) return code;
  if (code == kCodeWaitInsertion) {
    PlatformLockGuard lock(record->insertionLock);
    if (lock && record->insertionMode != TDC_INSERTION_MICR_RUNNING) {
      record->insertionMode = TDC_INSERTION_NONE;
    }
  } else if (code == kCodeInserted) {
    const int32_t inserted = TdcGetInsertedPaper(record);
    TdcSetInsertionMode(record, inserted == 0 ? TDC_INSERTION_MICR_HELD : TDC_INSERTION_NONE);
  } else {
    TdcSetInsertionMode(record, TDC_INSERTION_NONE);
    if (source == TdcResultSource::Service && method == TDC_METHOD_READ_MICR) {
      if (code == kCodeSystem) return kCodeNoMicrData;
      if (code == kCodeNoMicrData) return kCodeNoMagneticData;
    }
  }
  return code;
}

// ---- Print engine -----------------------------------------------------------------------

#define TDC_HYBRID_DIRECT_EVENT(name, event)                                            \
  void TdcHybridDirectEvent##name(TdcBackendEnv_t*, PrintHandle_t* handle, const char*, \
                                  uint32_t) {                                           \
    NotifyDirect(handle, event);                                                        \
  }
TDC_HYBRID_DIRECT_EVENT(Online, kTdcEventOnline)
TDC_HYBRID_DIRECT_EVENT(Offline, kTdcEventOffline)
TDC_HYBRID_DIRECT_EVENT(PowerOff, kTdcEventPowerOff)
TDC_HYBRID_DIRECT_EVENT(CoverClose, kTdcEventCoverClose)
TDC_HYBRID_DIRECT_EVENT(CoverOpen, kTdcEventCoverOpen)
TDC_HYBRID_DIRECT_EVENT(PaperOk, kTdcEventPaperOk)
TDC_HYBRID_DIRECT_EVENT(PaperNearEnd, kTdcEventPaperNearEnd)
TDC_HYBRID_DIRECT_EVENT(PaperEmpty, kTdcEventPaperEmpty)
TDC_HYBRID_DIRECT_EVENT(DrawerHigh, kTdcEventDrawerHigh)
TDC_HYBRID_DIRECT_EVENT(DrawerLow, kTdcEventDrawerLow)
TDC_HYBRID_DIRECT_EVENT(InsertionWait, kInsertionWaitSlot)
TDC_HYBRID_DIRECT_EVENT(InsertionWaitNone, TDC_HYBRID_EVENT_INSERTION_WAIT_NONE)
TDC_HYBRID_DIRECT_EVENT(RemovalWaitPaper, TDC_HYBRID_EVENT_REMOVAL_WAIT_PAPER)
TDC_HYBRID_DIRECT_EVENT(RemovalWaitNone, TDC_HYBRID_EVENT_REMOVAL_WAIT_NONE)
TDC_HYBRID_DIRECT_EVENT(SlipPaperOk, TDC_HYBRID_EVENT_SLIP_PAPER_OK)
TDC_HYBRID_DIRECT_EVENT(SlipPaperEmpty, TDC_HYBRID_EVENT_SLIP_PAPER_EMPTY)
#undef TDC_HYBRID_DIRECT_EVENT

void TdcOnHybridDirectResult(PrintHandle_t* handle, const char*, int32_t code, uint32_t statusFlags,
                             int32_t rawMethod, const char* data) {
  TdcPrinter_t* record = TdcFindHybridPrinter(handle);
  if (record == nullptr) return;
  const TdcCodeMap_t* row = TdcFindRow(kTdcMethodTable, TdcColumn::Engine, rawMethod);
  const int32_t method = row != nullptr ? row->tdcValue : 1;
  int32_t callbackCode = TDC_CB_FAILURE;
  TdcGetHybridResultCode(code, statusFlags, &callbackCode);
  TdcStatus_t* status = TdcMakeHybridStatus(record, statusFlags);
  callbackCode =
      TdcUpdatePaperState(record, TdcResultSource::Direct, rawMethod, method, callbackCode);
  Deliver(record, method, callbackCode, data, status);
  TdcReleaseHybridPrinter(record);
}

// ---- Device service ---------------------------------------------------------------------

#define TDC_HYBRID_SERVICE_EVENT(name, event)                                               \
  void TdcHybridServiceEvent##name(TdevPrinterHandle_t* handle, const char*, const char*) { \
    Notify(handle, event);                                                                  \
  }
TDC_HYBRID_SERVICE_EVENT(Online, kTdcEventOnline)
TDC_HYBRID_SERVICE_EVENT(Offline, kTdcEventOffline)
TDC_HYBRID_SERVICE_EVENT(PowerOff, kTdcEventPowerOff)
TDC_HYBRID_SERVICE_EVENT(CoverClose, kTdcEventCoverClose)
TDC_HYBRID_SERVICE_EVENT(CoverOpen, kTdcEventCoverOpen)
TDC_HYBRID_SERVICE_EVENT(PaperOk, kTdcEventPaperOk)
TDC_HYBRID_SERVICE_EVENT(PaperNearEnd, kTdcEventPaperNearEnd)
TDC_HYBRID_SERVICE_EVENT(PaperEmpty, kTdcEventPaperEmpty)
TDC_HYBRID_SERVICE_EVENT(DrawerHigh, kTdcEventDrawerHigh)
TDC_HYBRID_SERVICE_EVENT(DrawerLow, kTdcEventDrawerLow)
TDC_HYBRID_SERVICE_EVENT(InsertionWait, kInsertionWaitSlot)
TDC_HYBRID_SERVICE_EVENT(InsertionWaitNone, TDC_HYBRID_EVENT_INSERTION_WAIT_NONE)
TDC_HYBRID_SERVICE_EVENT(RemovalWaitPaper, TDC_HYBRID_EVENT_REMOVAL_WAIT_PAPER)
TDC_HYBRID_SERVICE_EVENT(RemovalWaitNone, TDC_HYBRID_EVENT_REMOVAL_WAIT_NONE)
TDC_HYBRID_SERVICE_EVENT(SlipPaperOk, TDC_HYBRID_EVENT_SLIP_PAPER_OK)
TDC_HYBRID_SERVICE_EVENT(SlipPaperEmpty, TDC_HYBRID_EVENT_SLIP_PAPER_EMPTY)
#undef TDC_HYBRID_SERVICE_EVENT

void TdcOnHybridServiceResult(TdevPrinterHandle_t* handle, const char*, const char*, int32_t,
                              int32_t code, uint32_t status, int32_t operation, const char* data) {
  TdcPrinter_t* record = TdcFindHybridPrinter(handle);
  if (record == nullptr) return;
  if (record->hybridReceiveCallback != nullptr) {
    const TdcCodeMap_t* row = TdcFindRow(kTdcMethodTable, TdcColumn::Service, operation);
    const int32_t method = row != nullptr ? row->tdcValue : 1;
    TdcStatus_t* statusRecord = TdcMakeHybridServiceStatus(record, status);
    const int32_t callbackCode = TdcUpdatePaperState(record, TdcResultSource::Service, operation,
                                                     method, TdcCallbackFromService(code));
    Deliver(record, method, callbackCode, data, statusRecord);
  }
  TdcReleaseHybridPrinter(record);
}

// ---- Connection listener -------------------------------------------------------------------

void TdcOnHybridConnectionEvent(void* record, int32_t event) {
  TdcOnPrinterKindConnectionEvent(record, event, &TdcPrinter_t::hybridConnectionCallback,
                                  &TdcPrinter_t::hybridConnectionUser);
}

// ---- Registration -----------------------------------------------------------------------

int TdcSetHybridDirectCallbacks(PrintHandle_t* handle) {
  int result = SetEventChecked(handle, EVENT_ONLINE, &TdcHybridDirectEventOnline);
  if (result == 0) result = SetEventChecked(handle, EVENT_OFFLINE, &TdcHybridDirectEventOffline);
  if (result == 0) result = SetEventChecked(handle, EVENT_POWER_OFF, &TdcHybridDirectEventPowerOff);
  if (result == 0) result = TiloSetCoverCloseCallback(handle, &TdcHybridDirectEventCoverClose);
  if (result == 0) result = TiloSetCoverOpenCallback(handle, &TdcHybridDirectEventCoverOpen);
  if (result == 0) result = TiloSetPaperOkCallback(handle, &TdcHybridDirectEventPaperOk);
  if (result == 0) result = TiloSetPaperNearEndCallback(handle, &TdcHybridDirectEventPaperNearEnd);
  if (result == 0) result = TiloSetPaperEmptyCallback(handle, &TdcHybridDirectEventPaperEmpty);
  if (result == 0) result = TiloSetDrawerHighCallback(handle, &TdcHybridDirectEventDrawerHigh);
  if (result == 0) result = TiloSetDrawerLowCallback(handle, &TdcHybridDirectEventDrawerLow);
  constexpr struct {
    int slot;
    EventCallback callback;
  } kHybridSlots[] = {
      {EVENT_INSERTION_WAIT, &TdcHybridDirectEventInsertionWait},
      {EVENT_INSERTION_WAIT_NONE, &TdcHybridDirectEventInsertionWaitNone},
      {EVENT_REMOVAL_WAIT_PAPER, &TdcHybridDirectEventRemovalWaitPaper},
      {EVENT_REMOVAL_WAIT_NONE, &TdcHybridDirectEventRemovalWaitNone},
      {EVENT_SLIP_PAPER_OK, &TdcHybridDirectEventSlipPaperOk},
      {EVENT_SLIP_PAPER_EMPTY, &TdcHybridDirectEventSlipPaperEmpty},
  };
  for (const auto& entry : kHybridSlots) {
    if (result == 0) result = SetEventChecked(handle, entry.slot, entry.callback);
  }
  if (result == 0) {
    if (CheckHandleList(handle)) {
      result = SetResultCallback(handle, RESULT_HYBRID,
                                 reinterpret_cast<void*>(&TdcOnHybridDirectResult));
    } else {
      log_error_line("ERROR", kEngineSource, __LINE__);
      result = 1;
    }
  }
  return result == 0 ? TDC_SUCCESS : TdcFromEngineResult(result);
}

int TdcSetHybridServiceCallbacks(TdevPrinterHandle_t* handle) {
  using Setter = int (*)(TdevPrinterHandle_t*);
  constexpr Setter kSetters[] = {
      &TdevHybridSetOnlineCallback,           &TdevHybridSetOfflineCallback,
      &TdevHybridSetPowerOffCallback,         &TdevHybridSetCoverCloseCallback,
      &TdevHybridSetCoverOpenCallback,        &TdevHybridSetPaperOkCallback,
      &TdevHybridSetPaperNearEndCallback,     &TdevHybridSetPaperEmptyCallback,
      &TdevHybridSetDrawerHighCallback,       &TdevHybridSetDrawerLowCallback,
      &TdevHybridSetInsertionWaitCallback,    &TdevHybridSetInsertionWaitNoneCallback,
      &TdevHybridSetRemovalWaitPaperCallback, &TdevHybridSetRemovalWaitNoneCallback,
      &TdevHybridSetSlipPaperOkCallback,      &TdevHybridSetSlipPaperEmptyCallback,
      &TdevHybridSetReceiveCallback,          &TdevHybridSetWaitInsertionReply,
      &TdevHybridSetClearBufferReply,
  };
  for (Setter setter : kSetters) {
    const int result = setter(handle);
    if (result != 0) return TdcFromServiceResult(result);
  }
  return TDC_SUCCESS;
}

}  // namespace tilo2::core
