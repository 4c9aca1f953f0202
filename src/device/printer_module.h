#pragma once
// The printer device module: the record's life, the registry, connect and
// disconnect on either backend, sending the command list as a job, status
// queries, the printer-only immediate operations, and the callbacks through
// which both backends report status changes and print results.

#include <cstdint>

#include "device/device_types.h"
#include "device/registry.h"
#include "engine/print_handle.h"

namespace tilo2::core {

struct TdevPrinterHandle_t;

int TdcCreatePrinter(TdcPrinter_t** out, int32_t series, int32_t modelLang);
// Removes the listener, unregisters, waits for the other threads' holds of
// the record, then frees it (a hold of the calling thread defers the free to
// that hold's release). 1 for null.
int TdcDestroyPrinter(TdcPrinter_t* record);
void TdcRegisterPrinter(TdcPrinter_t* record);
void TdcUnregisterPrinter(TdcPrinter_t* record);
// Unregisters the record and frees it with freeRecord once no other thread
// holds it (see TdcRegistryBase::Retire); used by TdcDestroyPrinter.
void TdcRetirePrinter(TdcPrinter_t* record, TdcRegistryFreeFn freeRecord);

// A registered record whose handle equals the given non-null one, held until
// TdcReleasePrinter; null when none.
TdcPrinter_t* TdcFindPrinter(const void* handle);
void TdcReleasePrinter(TdcPrinter_t* record);
// Holds a registered record for an operation's length (false when it is not
// registered); released with TdcReleasePrinter.
bool TdcHoldPrinter(TdcPrinter_t* record);

// reserved is never read.
int TdcConnectPrinter(TdcEnvData_t* env, TdcPrinter_t* record, const char* target,
                      const char* reserved, int32_t timeoutMs);
int TdcDisconnectPrinter(TdcEnvData_t* env, TdcPrinter_t* record);
int TdcSendPrinterData(TdcEnvData_t* env, TdcPrinter_t* record, int32_t timeoutMs);
// Never null but when out of memory; the caller frees it with free().
TdcStatus_t* TdcGetPrinterStatus(TdcEnvData_t* env, TdcPrinter_t* record);

// Where a call that waits for the record's work is made: 0 a thread of the
// app or the pool; 1 one of the direct connection's own threads (its queue,
// monitor or job-wait threads), which that work needs; 2 the record is
// connected through the device service and this is a core callback on a
// receive thread of the service client, which would have to read the reply
// (inCoreCallback tells whether this thread runs one). Read under the
// record's leaf lock only.
int TdcPrinterCallerThread(TdcPrinter_t* record, bool inCoreCallback);
// Waits up to timeoutMs for the jobs of the record's direct connection to
// end (with nextChange: and for the next change of its job list even when
// none is out); true at once for a record not connected directly.
bool TdcWaitPrinterJobsEnded(TdcPrinter_t* record, int32_t timeoutMs, bool nextChange = false);
// The status as last seen, asking the printer nothing: for a query made on
// one of the direct connection's own threads. Not connected directly: the
// closed status. Never null but when out of memory; freed with free().
TdcStatus_t* TdcGetLastPrinterStatus(TdcPrinter_t* record);
int TdcRequestPrintJobStatus(TdcEnvData_t* env, TdcPrinter_t* record, const char* printJobId);
int TdcForceStopSound(TdcEnvData_t* env, TdcPrinter_t* record, int32_t timeoutMs);
int TdcForcePrinterCommand(TdcEnvData_t* env, TdcPrinter_t* record, const uint8_t* bytes,
                           int32_t length, int32_t timeoutMs);

// Callback registration used by connect.
int TdcSetPrinterDirectCallbacks(PrintHandle_t* handle, int32_t series);
int TdcSetPrinterServiceCallbacks(TdevPrinterHandle_t* handle, int32_t series);

// Print-engine callbacks.
// A base event (0 Online .. 11 BatteryEmpty) of a direct print handle, told
// to the printer record and the hybrid printer record on it; both kinds'
// direct event callbacks end here.
void TdcNotifyDirectBaseEvent(PrintHandle_t* handle, int32_t event);
void TdcPrinterDirectEventOnline(TdcBackendEnv_t* env, PrintHandle_t* handle, const char* address,
                                 uint32_t value);
void TdcPrinterDirectEventOffline(TdcBackendEnv_t* env, PrintHandle_t* handle, const char* address,
                                  uint32_t value);
void TdcPrinterDirectEventPowerOff(TdcBackendEnv_t* env, PrintHandle_t* handle, const char* address,
                                   uint32_t value);
void TdcPrinterDirectEventCoverClose(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                     const char* address, uint32_t value);
void TdcPrinterDirectEventCoverOpen(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                    const char* address, uint32_t value);
void TdcPrinterDirectEventPaperOk(TdcBackendEnv_t* env, PrintHandle_t* handle, const char* address,
                                  uint32_t value);
void TdcPrinterDirectEventPaperNearEnd(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                       const char* address, uint32_t value);
void TdcPrinterDirectEventPaperEmpty(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                     const char* address, uint32_t value);
void TdcPrinterDirectEventDrawerHigh(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                     const char* address, uint32_t value);
void TdcPrinterDirectEventDrawerLow(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                    const char* address, uint32_t value);
void TdcPrinterDirectEventBatteryEnough(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                        const char* address, uint32_t value);
void TdcPrinterDirectEventBatteryEmpty(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                       const char* address, uint32_t value);
void TdcOnPrinterDirectResult(PrintHandle_t* handle, const char* address, int32_t code,
                              uint32_t statusFlags, int32_t battery, const char* printJobId);

// Device-service notifiers, installed by the client's slot setters.
void TdcPrinterServiceEventOnline(TdevPrinterHandle_t* handle, const char* host,
                                  const char* deviceId);
void TdcPrinterServiceEventOffline(TdevPrinterHandle_t* handle, const char* host,
                                   const char* deviceId);
void TdcPrinterServiceEventPowerOff(TdevPrinterHandle_t* handle, const char* host,
                                    const char* deviceId);
void TdcPrinterServiceEventCoverClose(TdevPrinterHandle_t* handle, const char* host,
                                      const char* deviceId);
void TdcPrinterServiceEventCoverOpen(TdevPrinterHandle_t* handle, const char* host,
                                     const char* deviceId);
void TdcPrinterServiceEventPaperOk(TdevPrinterHandle_t* handle, const char* host,
                                   const char* deviceId);
void TdcPrinterServiceEventPaperNearEnd(TdevPrinterHandle_t* handle, const char* host,
                                        const char* deviceId);
void TdcPrinterServiceEventPaperEmpty(TdevPrinterHandle_t* handle, const char* host,
                                      const char* deviceId);
void TdcPrinterServiceEventDrawerHigh(TdevPrinterHandle_t* handle, const char* host,
                                      const char* deviceId);
void TdcPrinterServiceEventDrawerLow(TdevPrinterHandle_t* handle, const char* host,
                                     const char* deviceId);
void TdcPrinterServiceEventBatteryEnough(TdevPrinterHandle_t* handle, const char* host,
                                         const char* deviceId);
void TdcPrinterServiceEventBatteryEmpty(TdevPrinterHandle_t* handle, const char* host,
                                        const char* deviceId);
void TdcOnPrinterServiceResult(TdevPrinterHandle_t* handle, const char* host, const char* deviceId,
                               int32_t success, int32_t code, uint32_t status, int32_t battery,
                               const char* printJobId);

// Connection listener of printer records.
void TdcOnPrinterConnectionEvent(void* record, int32_t event);

}  // namespace tilo2::core
