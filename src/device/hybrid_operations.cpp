// The hybrid printer's operations: paper selection, insertion, the send with
// its paper switch, cancel, eject, the MICR reader and the raw command. The
// asynchronous ones report their outcome later through the hybrid result
// callback; what they answer here is whether the request went out.

#include <cstdlib>

#include "device/code_tables.h"
#include "device/command_list.h"
#include "device/hybrid_access.h"
#include "device/hybrid_module.h"
#include "device/printer_kind.h"
#include "device/printer_status.h"
#include "device/target.h"
#include "engine/builder_records.h"
#include "engine/hybrid_ops.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

constexpr const char* kEngineSource = "tiloprint_common_public";
constexpr const char* kHybridSource = "tilo2_common_hybridprinter";

constexpr int32_t kDefaultWaitTime = 500;
constexpr int32_t kDefaultTimeout = 15000;

// Device-service status bits the paper selection looks at.
constexpr uint32_t kServiceNoResponse = 0x1;
constexpr uint32_t kServiceInsertionWait = 0x10000;
constexpr uint32_t kServiceRemovalWait = 0x40000;

bool NormalizeWaitTime(int32_t* waitTimeMs) {
  if (*waitTimeMs == kTdcDefault) {
    *waitTimeMs = kDefaultWaitTime;
    return true;
  }
  return *waitTimeMs >= 0 && *waitTimeMs <= 6400;
}

bool NormalizeTimeout(int32_t* timeoutMs) {
  if (*timeoutMs == kTdcDefault) {
    *timeoutMs = kDefaultTimeout;
    return true;
  }
  return *timeoutMs >= 5000 && *timeoutMs <= 600000;
}

// The stored value in the column of mode; 0 when it has none (every caller
// validated it against the table first).
int32_t Column(TdcCodeTable table, int32_t mode, int32_t stored) {
  int32_t out = 0;
  TdcMapStoredValue(table, mode, stored, &out);
  return out;
}

uint8_t RemovalPending(TdcPrinter_t* record) {
  return TdcGetInsertionMode(record) == TDC_INSERTION_MICR_HELD ? 1 : 0;
}

TdcScopedBackendEnv BackendEnv(TdcPrinter_t* record, int32_t mode, TdcEnvData_t* env) {
  return TdcScopedBackendEnv(TdcRecordPortType(record), mode, env);
}

// Learns the printer's units when they are not known yet (direct backend).
int EnsurePaperSupport(TdcEnvData_t* env, TdcPrinter_t* record, const TdcPrinterState_t& state) {
  if (TdcGetPaperSupport(record) != kTdcNone) return TDC_SUCCESS;
  if (TdcQueryPaperSupport(env, record) != 0) return TDC_ERR_ILLEGAL;
  if (!TdcTakePaperSupport(record,
                           static_cast<PrintHandle_t*>(state.handle)->paperSupport.load())) {
    log_error_line("ERROR", kEngineSource, __LINE__);
    return TDC_ERR_ILLEGAL;
  }
  return TDC_SUCCESS;
}

// Whether the printer may take the selected paper now.
int CheckReady(TdcEnvData_t* env, TdcPrinter_t* record, const TdcPrinterState_t& state) {
  const bool micrRunning = TdcGetInsertionMode(record) == TDC_INSERTION_MICR_RUNNING;
  if (state.mode == TDC_MODE_DIRECT) {
    return TdcFromEngineResult(TiloCheckHybridReady(BackendEnv(record, state.mode, env).get(),
                                                    static_cast<PrintHandle_t*>(state.handle),
                                                    micrRunning ? 1 : 0));
  }
  if (state.mode != TDC_MODE_SERVICE) return TDC_ERR_ILLEGAL;
  uint32_t word = 0;
  int32_t battery = 0;
  const int asked =
      TdevPrinterGetStatus(BackendEnv(record, state.mode, env).get(),
                           static_cast<TdevPrinterHandle_t*>(state.handle), &word, &battery);
  int serviceResult = 0;
  // Word 0: the query never ran, which is no more a ready printer than a failed one.
  if (asked != 0 || word == 0) {
    serviceResult = 5;
  } else if ((word & kServiceNoResponse) != 0) {
    serviceResult = 4;
  } else if ((word & kServiceInsertionWait) != 0 && !micrRunning) {
    serviceResult = 5;
  } else if ((word & kServiceRemovalWait) != 0) {
    serviceResult = 5;
  }
  return TdcFromServiceResult(serviceResult);
}

// The MICR read and cleaning share everything but the backend call.
struct MicrCall {
  int32_t font;
  bool read;
};

int RunMicr(TdcEnvData_t* env, TdcPrinter_t* record, const MicrCall& call, int32_t waitTimeMs,
            int32_t timeoutMs) {
  if (record == nullptr || !NormalizeWaitTime(&waitTimeMs) || !NormalizeTimeout(&timeoutMs)) {
    return TDC_ERR_PARAM;
  }
  if (call.read && !TdcIsListed(kTdcMicrFontTable, call.font)) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  if (const int checked = operation.Check(); checked != 0) return checked;
  const TdcPrinterState_t& state = operation.State();
  if (const int known = EnsurePaperSupport(env, record, state); known != 0) return known;
  if ((TdcGetPaperSupport(record) & kTdcSupportMicr) == 0) return TDC_ERR_UNSUPPORTED;

  const int32_t previous = TdcGetInsertionMode(record);
  const uint8_t removal = previous == TDC_INSERTION_MICR_HELD ? 1 : 0;
  TdcSetInsertionMode(record, TDC_INSERTION_MICR_RUNNING);
  int result = TDC_ERR_ILLEGAL;
  if (state.mode == TDC_MODE_DIRECT) {
    auto* handle = static_cast<PrintHandle_t*>(state.handle);
    const TdcScopedBackendEnv backendEnv = BackendEnv(record, state.mode, env);
    const int32_t font = Column(kTdcMicrFontTable, state.mode, call.font);
    result = TdcFromEngineResult(
        call.read ? TiloReadMicrData(backendEnv.get(), handle, font, waitTimeMs, timeoutMs, removal)
                  : TiloCleanMicrReader(backendEnv.get(), handle, waitTimeMs, timeoutMs, removal));
  } else if (state.mode == TDC_MODE_SERVICE) {
    auto* handle = static_cast<TdevPrinterHandle_t*>(state.handle);
    const TdcScopedBackendEnv backendEnv = BackendEnv(record, state.mode, env);
    const int32_t font = Column(kTdcMicrFontTable, state.mode, call.font);
    result = TdcFromServiceResult(
        call.read
            ? TdevHybridReadMicrData(backendEnv.get(), handle, font, waitTimeMs, timeoutMs, removal)
            : TdevHybridCleanMicrReader(backendEnv.get(), handle, waitTimeMs, timeoutMs, removal));
  }
  if (result != 0) TdcSetInsertionMode(record, previous);
  return result;
}

// A paper switch the device service could not make: nothing else reports
// it there, and the app waits for the send's result.
struct MissedSend {
  bool report = false;
  int32_t code = 0;
};

int SendLocked(TdcEnvData_t* env, TdcPrinter_t* record, int32_t fortyColumn, int32_t timeoutMs,
               MissedSend* missed) {
  TdcPrinterOperation operation(record);
  if (const int built = TdcBuildPrinterJob(operation, record); built != 0) return built;
  const TdcPrinterState_t& state = operation.State();
  uint8_t switchPaper = 0;
  if (TdcGetPaperSwitchFlag(record, &switchPaper) != 0) {
    TdcClearPrinterBuilder(state.mode, state.builder);
    return TDC_ERR_PARAM;
  }
  const int32_t paper = TdcGetPaperType(record);
  if (switchPaper != 0) {
    const int applied = TdcApplyPaperType(env, record, paper, timeoutMs);
    if (applied != 0) {
      TdcClearPrinterBuilder(state.mode, state.builder);
      if (state.mode == TDC_MODE_SERVICE) {
        missed->report = true;
        // The switch waited for the sheet: the app hears the insertion failed.
        missed->code = applied == TDC_ERR_TIMEOUT ? TDC_CB_TIMEOUT : 29;
      }
      return TDC_SUCCESS;
    }
    if (paper == TDC_PAPER_SLIP) TdcSetAppliedSides(record, 1, 0);
    if (paper == TDC_PAPER_ENDORSE) TdcSetAppliedSides(record, 0, 1);
    TdcSetInsertedPaper(record, paper);
  }

  const uint8_t removal = RemovalPending(record);
  int result = TDC_ERR_ILLEGAL;
  if (state.mode == TDC_MODE_DIRECT) {
    result = TdcFromEngineResult(TiloSendHybridData(
        BackendEnv(record, state.mode, env).get(), static_cast<PrintHandle_t*>(state.handle),
        static_cast<PrinterBuilder_t*>(state.builder),
        Column(kTdcPaperTypeTable, state.mode, paper), timeoutMs,
        Column(kTdcFortyColumnTable, state.mode, fortyColumn), removal));
  } else if (state.mode == TDC_MODE_SERVICE) {
    int sent = TdevHybridSendData(
        BackendEnv(record, state.mode, env).get(), static_cast<TdevPrinterHandle_t*>(state.handle),
        Column(kTdcPaperTypeTable, state.mode, paper), timeoutMs,
        Column(kTdcFortyColumnTable, state.mode, fortyColumn), removal, 0);
    if (sent == 1) {
      // The service refused the document's parameters.
      log_error_line("ERROR", kHybridSource, __LINE__);
      sent = 5;
    }
    result = TdcFromServiceResult(sent);
  }
  TdcClearPrinterBuilder(state.mode, state.builder);
  return result;
}

}  // namespace

int TdcSelectPaperType(TdcEnvData_t* env, TdcPrinter_t* record, int32_t paperType) {
  if (record == nullptr || !TdcIsListed(kTdcPaperTypeTable, paperType)) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  if (const int checked = operation.Check(); checked != 0) return checked;
  const TdcPrinterState_t& state = operation.State();
  if (const int known = EnsurePaperSupport(env, record, state); known != 0) return known;
  const int32_t support = TdcGetPaperSupport(record);
  if ((paperType == TDC_PAPER_ENDORSE && (support & kTdcSupportEndorse) == 0) ||
      (paperType == TDC_PAPER_VALIDATION && (support & kTdcSupportValidation) == 0)) {
    return TDC_ERR_UNSUPPORTED;
  }
  const int32_t previous = TdcGetPaperType(record);
  TdcSetPaperType(record, paperType);
  const int ready = CheckReady(env, record, state);
  if (ready != 0) TdcSetPaperType(record, previous);
  return ready;
}

int TdcWaitInsertion(TdcEnvData_t* env, TdcPrinter_t* record, int32_t waitTimeMs,
                     int32_t timeoutMs) {
  if (record == nullptr || !NormalizeWaitTime(&waitTimeMs) || !NormalizeTimeout(&timeoutMs)) {
    return TDC_ERR_PARAM;
  }
  TdcPrinterOperation operation(record);
  if (const int checked = operation.Check(); checked != 0) return checked;
  const TdcPrinterState_t& state = operation.State();
  const int32_t paper = Column(kTdcPaperTypeTable, state.mode, TdcGetPaperType(record));
  const uint8_t removal = RemovalPending(record);
  if (state.mode == TDC_MODE_DIRECT) {
    return TdcFromEngineResult(TiloWaitInsertion(BackendEnv(record, state.mode, env).get(),
                                                 static_cast<PrintHandle_t*>(state.handle), paper,
                                                 waitTimeMs, timeoutMs, removal));
  }
  if (state.mode == TDC_MODE_SERVICE) {
    return TdcFromServiceResult(TdevHybridWaitInsertion(
        BackendEnv(record, state.mode, env).get(), static_cast<TdevPrinterHandle_t*>(state.handle),
        paper, waitTimeMs, timeoutMs, removal));
  }
  return TDC_ERR_ILLEGAL;
}

int TdcGetPaperSwitchFlag(TdcPrinter_t* record, uint8_t* out) {
  if (record == nullptr || out == nullptr) {
    log_error_line("ERROR", kHybridSource, __LINE__);
    if (record != nullptr) {
      const TdcPrinterState_t state = TdcReadPrinterState(record);
      TdcClearPrinterBuilder(state.mode, state.builder);
    }
    return TDC_ERR_PARAM;
  }
  const int32_t insertion = TdcGetInsertionMode(record);
  PlatformLockGuard lock(record->paperLock);
  const int32_t s = record->paperType;
  const int32_t i = record->insertedPaper;
  if (insertion != TDC_INSERTION_MICR_HELD &&
      (s == i || s == TDC_PAPER_RECEIPT || s == TDC_PAPER_VALIDATION || i == TDC_PAPER_RECEIPT ||
       i == TDC_PAPER_VALIDATION)) {
    *out = 0;
    return TDC_SUCCESS;
  }
  *out = (s == TDC_PAPER_SLIP && record->slipApplied == 0) ||
                 (s == TDC_PAPER_ENDORSE && record->endorseApplied == 0)
             ? 1
             : 0;
  return TDC_SUCCESS;
}

int TdcApplyPaperType(TdcEnvData_t* env, TdcPrinter_t* record, int32_t paperType,
                      int32_t timeoutMs) {
  if (record == nullptr) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  if (const int checked = operation.Check(); checked != 0) return checked;
  const TdcPrinterState_t& state = operation.State();
  if (state.mode == TDC_MODE_DIRECT) {
    return TdcFromEngineResult(TiloSelectPaperType(
        BackendEnv(record, state.mode, env).get(), static_cast<PrintHandle_t*>(state.handle),
        Column(kTdcPaperTypeTable, state.mode, paperType)));
  }
  if (state.mode == TDC_MODE_SERVICE) {
    auto* handle = static_cast<TdevPrinterHandle_t*>(state.handle);
    // The insertion events of the switch go to the waiting request, not to the app.
    TdevHybridSetSelectingPaper(handle, 1);
    const int waited = TdevHybridWaitInsertionSync(
        BackendEnv(record, state.mode, env).get(), handle,
        Column(kTdcPaperTypeTable, state.mode, paperType), 0, timeoutMs);
    TdevHybridSetSelectingPaper(handle, 0);
    return TdcFromServiceResult(waited);
  }
  return TDC_ERR_FAILURE;
}

int TdcSendHybridPrinterData(TdcEnvData_t* env, TdcPrinter_t* record, int32_t fortyColumn,
                             int32_t timeoutMs) {
  if (record == nullptr || !TdcIsListed(kTdcFortyColumnTable, fortyColumn) ||
      !NormalizeTimeout(&timeoutMs)) {
    return TDC_ERR_PARAM;
  }
  MissedSend missed;
  const int sent = SendLocked(env, record, fortyColumn, timeoutMs, &missed);
  if (sent != 0 || !missed.report) return sent;
  // Outside the operation mutex: the app's handler may start another operation.
  TdcStatus_t* status = TdcNewStatus();
  if (status == nullptr) return sent;
  if (record->hybridReceiveCallback != nullptr) {
    record->hybridReceiveCallback(record, TDC_METHOD_SEND_DATA, missed.code, nullptr, status,
                                  record->hybridReceiveUser);
  }
  std::free(status);
  return sent;
}

int TdcCancelInsertion(TdcEnvData_t* env, TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  if (const int checked = operation.Check(); checked != 0) return checked;
  const TdcPrinterState_t& state = operation.State();
  if (state.mode == TDC_MODE_DIRECT) {
    return TdcFromEngineResult(TiloCancelInsertion(BackendEnv(record, state.mode, env).get(),
                                                   static_cast<PrintHandle_t*>(state.handle)));
  }
  if (state.mode != TDC_MODE_SERVICE) return TDC_ERR_ILLEGAL;
  auto* handle = static_cast<TdevPrinterHandle_t*>(state.handle);
  const int32_t insertion = TdcGetInsertionMode(record);
  if (insertion == TDC_INSERTION_MICR_RUNNING || insertion == TDC_INSERTION_MICR_HELD) {
    return TdcFromServiceResult(
        TdevHybridCancelMicr(BackendEnv(record, state.mode, env).get(), handle));
  }
  if (insertion != TDC_INSERTION_NONE) return TDC_ERR_ILLEGAL;
  return TdcFromServiceResult(
      TdevHybridCancelInsertion(BackendEnv(record, state.mode, env).get(), handle,
                                Column(kTdcPaperTypeTable, state.mode, TdcGetPaperType(record))));
}

int TdcEjectPaper(TdcEnvData_t* env, TdcPrinter_t* record) {
  if (record == nullptr) return TDC_ERR_PARAM;
  TdcPrinterOperation operation(record);
  if (const int checked = operation.Check(); checked != 0) return checked;
  const TdcPrinterState_t& state = operation.State();
  const uint8_t removal = RemovalPending(record);
  if (state.mode == TDC_MODE_DIRECT) {
    return TdcFromEngineResult(TiloEjectPaper(BackendEnv(record, state.mode, env).get(),
                                              static_cast<PrintHandle_t*>(state.handle), removal));
  }
  if (state.mode == TDC_MODE_SERVICE) {
    return TdcFromServiceResult(
        TdevHybridEjectPaper(BackendEnv(record, state.mode, env).get(),
                             static_cast<TdevPrinterHandle_t*>(state.handle), 0, removal));
  }
  return TDC_ERR_ILLEGAL;
}

int TdcReadMicrData(TdcEnvData_t* env, TdcPrinter_t* record, int32_t font, int32_t waitTimeMs,
                    int32_t timeoutMs) {
  return RunMicr(env, record, {font, true}, waitTimeMs, timeoutMs);
}

int TdcCleanMicrReader(TdcEnvData_t* env, TdcPrinter_t* record, int32_t waitTimeMs,
                       int32_t timeoutMs) {
  return RunMicr(env, record, {0, false}, waitTimeMs, timeoutMs);
}

int TdcForceHybridPrinterCommand(TdcEnvData_t* env, TdcPrinter_t* record, const uint8_t* bytes,
                                 int32_t length, int32_t fortyColumn, int32_t timeoutMs) {
  if (record == nullptr || bytes == nullptr || length <= 0 ||
      !TdcIsListed(kTdcFortyColumnTable, fortyColumn)) {
    return TDC_ERR_PARAM;
  }
  TdcPrinterOperation operation(record);
  if (const int checked = operation.Check(); checked != 0) return checked;
  if (const int checked = TdcCheckImmediate(operation, timeoutMs); checked != 0) return checked;
  const TdcPrinterState_t& state = operation.State();
  return TdcFromServiceResult(TdevHybridForceCommand(
      BackendEnv(record, state.mode, env).get(), static_cast<TdevPrinterHandle_t*>(state.handle),
      bytes, length, Column(kTdcPaperTypeTable, state.mode, TdcGetPaperType(record)),
      Column(kTdcFortyColumnTable, state.mode, fortyColumn), RemovalPending(record), timeoutMs));
}

}  // namespace tilo2::core
