#pragma once
// The hybrid printer device module: a printer with a receipt station and a
// station for inserted paper (slip, endorsement, validation) with a MICR
// reader. It shares the printer's record and command list and adds the paper
// state that ties the asynchronous insertion operations together. Results of
// those operations arrive through the record's hybrid result callback with
// the method that produced them. The device-service notifiers are declared
// in service_notifiers.h.

#include <cstdint>

#include "device/code_tables.h"
#include "device/device_types.h"
#include "engine/print_handle.h"

namespace tilo2::core {

struct TdevPrinterHandle_t;

// Paper types as the app selects them.
enum TdcPaperType : int32_t {
  TDC_PAPER_RECEIPT = 0,
  TDC_PAPER_SLIP = 1,
  TDC_PAPER_ENDORSE = 2,
  TDC_PAPER_VALIDATION = 3,
};

// insertionMode values.
enum TdcInsertionMode : int32_t {
  TDC_INSERTION_NONE = 0,
  TDC_INSERTION_MICR_RUNNING = 1,  // a MICR read or cleaning is under way
  TDC_INSERTION_MICR_HELD = 2,     // a read document waits for removal
};

// paperSupport bits; -3 while unknown.
inline constexpr int32_t kTdcSupportEndorse = 0x1;
inline constexpr int32_t kTdcSupportValidation = 0x2;
inline constexpr int32_t kTdcSupportMicr = 0x4;

// Methods reported with a hybrid result.
enum TdcHybridMethod : int32_t {
  TDC_METHOD_WAIT_INSERTION = 0,
  TDC_METHOD_SEND_DATA = 1,
  TDC_METHOD_CANCEL_INSERTION = 2,
  TDC_METHOD_EJECT_PAPER = 3,
  TDC_METHOD_READ_MICR = 4,
  TDC_METHOD_CLEAN_MICR = 5,
};

// Hybrid status events (runtime numbering; 10 and 11 never come).
enum TdcHybridEvent : int32_t {
  TDC_HYBRID_EVENT_INSERTION_WAIT_SLIP = 12,
  TDC_HYBRID_EVENT_INSERTION_WAIT_VALIDATION = 13,
  TDC_HYBRID_EVENT_INSERTION_WAIT_MICR = 14,
  TDC_HYBRID_EVENT_INSERTION_WAIT_NONE = 15,
  TDC_HYBRID_EVENT_REMOVAL_WAIT_PAPER = 16,
  TDC_HYBRID_EVENT_REMOVAL_WAIT_NONE = 17,
  TDC_HYBRID_EVENT_SLIP_PAPER_OK = 18,
  TDC_HYBRID_EVENT_SLIP_PAPER_EMPTY = 19,
};

// Value tables {stored, device service, print engine}.
extern const TdcCodeTable kTdcPaperTypeTable;
extern const TdcCodeTable kTdcMicrFontTable;
extern const TdcCodeTable kTdcFortyColumnTable;
extern const TdcCodeTable kTdcForceTable;
extern const TdcCodeTable kTdcMethodTable;

// ---- Record life and registry -------------------------------------------------
// 0; 1 for a null out; 10 out of memory.
int TdcCreateHybridPrinter(int32_t modelLang, TdcPrinter_t** out);
// Removes the listener, unregisters, waits for the other threads' holds of
// the record, then frees it. 1 for null.
int TdcDestroyHybridPrinter(TdcPrinter_t* record);
void TdcRegisterHybridPrinter(TdcPrinter_t* record);
void TdcUnregisterHybridPrinter(TdcPrinter_t* record);
// A registered record whose handle equals the non-null one, held until
// TdcReleaseHybridPrinter; null when none.
TdcPrinter_t* TdcFindHybridPrinter(const void* handle);
void TdcReleaseHybridPrinter(TdcPrinter_t* record);
bool TdcHoldHybridPrinter(TdcPrinter_t* record);

// ---- Paper state accessors -------------------------------------------------------
// Setters answer 0, 1 for null. Getters answer the value, 1 for a null record.
int TdcSetPaperType(TdcPrinter_t* record, int32_t paperType);
int32_t TdcGetPaperType(TdcPrinter_t* record);
int TdcSetInsertedPaper(TdcPrinter_t* record, int32_t paperType);
int32_t TdcGetInsertedPaper(TdcPrinter_t* record);
int TdcSetInsertionMode(TdcPrinter_t* record, int32_t mode);
int32_t TdcGetInsertionMode(TdcPrinter_t* record);
int TdcSetPaperSupport(TdcPrinter_t* record, uint8_t endorse, uint8_t validation, uint8_t micr);
int32_t TdcGetPaperSupport(TdcPrinter_t* record);
// Direct backend only: asks the printer for its units. 0; 1 null; 5 otherwise.
int TdcQueryPaperSupport(TdcEnvData_t* env, TdcPrinter_t* record);

// ---- Operations --------------------------------------------------------------------
int TdcConnectHybridPrinter(TdcEnvData_t* env, TdcPrinter_t* record, const char* target,
                            int32_t timeoutMs);
int TdcDisconnectHybridPrinter(TdcEnvData_t* env, TdcPrinter_t* record);
// Never null but when out of memory; the caller frees it with free().
TdcStatus_t* TdcGetHybridPrinterStatus(TdcEnvData_t* env, TdcPrinter_t* record);
int TdcSelectPaperType(TdcEnvData_t* env, TdcPrinter_t* record, int32_t paperType);
int TdcWaitInsertion(TdcEnvData_t* env, TdcPrinter_t* record, int32_t waitTimeMs,
                     int32_t timeoutMs);
int TdcSendHybridPrinterData(TdcEnvData_t* env, TdcPrinter_t* record, int32_t fortyColumn,
                             int32_t timeoutMs);
int TdcCancelInsertion(TdcEnvData_t* env, TdcPrinter_t* record);
int TdcEjectPaper(TdcEnvData_t* env, TdcPrinter_t* record);
int TdcReadMicrData(TdcEnvData_t* env, TdcPrinter_t* record, int32_t font, int32_t waitTimeMs,
                    int32_t timeoutMs);
int TdcCleanMicrReader(TdcEnvData_t* env, TdcPrinter_t* record, int32_t waitTimeMs,
                       int32_t timeoutMs);
int TdcForceHybridPrinterCommand(TdcEnvData_t* env, TdcPrinter_t* record, const uint8_t* bytes,
                                 int32_t length, int32_t fortyColumn, int32_t timeoutMs);

// Used by the send: whether the printer must switch to the selected paper
// first (*out 1), and the switch itself.
int TdcGetPaperSwitchFlag(TdcPrinter_t* record, uint8_t* out);
int TdcApplyPaperType(TdcEnvData_t* env, TdcPrinter_t* record, int32_t paperType,
                      int32_t timeoutMs);

// ---- Status records and completion codes ------------------------------------------
// malloc'ed; null when out of memory.
TdcStatus_t* TdcMakeHybridStatus(TdcPrinter_t* record, uint32_t statusFlags);
TdcStatus_t* TdcMakeHybridServiceStatus(TdcPrinter_t* record, uint32_t statusBits);
// 0 with *out the TdcCallbackCode; 1 for a null out.
int TdcGetHybridResultCode(int32_t code, uint32_t statusFlags, int32_t* out);

// ---- Callbacks -----------------------------------------------------------------------
int TdcSetHybridDirectCallbacks(PrintHandle_t* handle);
int TdcSetHybridServiceCallbacks(TdevPrinterHandle_t* handle);

void TdcHybridDirectEventOnline(TdcBackendEnv_t* env, PrintHandle_t* handle, const char* address,
                                uint32_t value);
void TdcHybridDirectEventOffline(TdcBackendEnv_t* env, PrintHandle_t* handle, const char* address,
                                 uint32_t value);
void TdcHybridDirectEventPowerOff(TdcBackendEnv_t* env, PrintHandle_t* handle, const char* address,
                                  uint32_t value);
void TdcHybridDirectEventCoverClose(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                    const char* address, uint32_t value);
void TdcHybridDirectEventCoverOpen(TdcBackendEnv_t* env, PrintHandle_t* handle, const char* address,
                                   uint32_t value);
void TdcHybridDirectEventPaperOk(TdcBackendEnv_t* env, PrintHandle_t* handle, const char* address,
                                 uint32_t value);
void TdcHybridDirectEventPaperNearEnd(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                      const char* address, uint32_t value);
void TdcHybridDirectEventPaperEmpty(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                    const char* address, uint32_t value);
void TdcHybridDirectEventDrawerHigh(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                    const char* address, uint32_t value);
void TdcHybridDirectEventDrawerLow(TdcBackendEnv_t* env, PrintHandle_t* handle, const char* address,
                                   uint32_t value);
void TdcHybridDirectEventInsertionWait(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                       const char* address, uint32_t value);
void TdcHybridDirectEventInsertionWaitNone(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                           const char* address, uint32_t value);
void TdcHybridDirectEventRemovalWaitPaper(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                          const char* address, uint32_t value);
void TdcHybridDirectEventRemovalWaitNone(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                         const char* address, uint32_t value);
void TdcHybridDirectEventSlipPaperOk(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                     const char* address, uint32_t value);
void TdcHybridDirectEventSlipPaperEmpty(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                        const char* address, uint32_t value);
void TdcOnHybridDirectResult(PrintHandle_t* handle, const char* address, int32_t code,
                             uint32_t statusFlags, int32_t method, const char* data);

// Connection listener of hybrid printer records.
void TdcOnHybridConnectionEvent(void* record, int32_t event);

}  // namespace tilo2::core
