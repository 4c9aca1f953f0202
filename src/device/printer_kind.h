#pragma once
// What the printer and hybrid printer modules share of a record's life: one
// record layout, its allocation and free, and connect, disconnect, the status
// query and the connection listener, each told by a TdcPrinterKind what its
// kind does differently.

#include <cstdint>

#include "device/device_types.h"
#include "device/printer_access.h"
#include "device/target.h"
#include "engine/print_handle.h"

namespace tilo2::core {

// The runtime's EventType numbers of the status events both printer kinds
// report (hybrid records none of the battery ones).
enum TdcPrinterEvent : int32_t {
  kTdcEventOnline = 0,
  kTdcEventOffline = 1,
  kTdcEventPowerOff = 2,
  kTdcEventCoverClose = 3,
  kTdcEventCoverOpen = 4,
  kTdcEventPaperOk = 5,
  kTdcEventPaperNearEnd = 6,
  kTdcEventPaperEmpty = 7,
  kTdcEventDrawerHigh = 8,
  kTdcEventDrawerLow = 9,
  kTdcEventBatteryEnough = 10,
  kTdcEventBatteryEmpty = 11,
};

using TdcPrinterConnectFn = int (*)(TdcEnvData_t* env, TdcPrinter_t* record,
                                    const TdcTarget_t& target, int32_t portType, int32_t timeoutMs,
                                    TdcPrinterState_t* state);

struct TdcPrinterKind {
  // True when the record may not connect directly (7, before anything
  // changes); null: every record may.
  bool (*refusesDirect)(const TdcPrinter_t* record);
  // The direct connect: the model the builder is made for (null: the
  // record's series has none, 1), the kind's SharedUser bit, and what the
  // kind does with the print handle it joined (its event callbacks; a
  // failure, already translated, undoes the kind's own steps, and the
  // connect then gives the share back through releaseDirect).
  const char* (*directModel)(const TdcPrinter_t* record);
  uint32_t sharedUser;
  int (*attachDirect)(TdcBackendEnv_t* env, TdcPrinter_t* record, PrintHandle_t* handle);
  // Gives the kind's share of a direct print handle back (engine result).
  int (*releaseDirect)(TdcBackendEnv_t* env, PrintHandle_t* handle);
  // The device-service connect: *state is filled on success, and a failure
  // undoes every step it made.
  TdcPrinterConnectFn connectService;
  // Run under the operation after a connect succeeded, before the state is
  // published, and after a disconnect cleared it; null: nothing.
  void (*connected)(TdcPrinter_t* record);
  void (*disconnected)(TdcPrinter_t* record);
  // The status of an open direct handle (an empty status when the query
  // fails), and the one of a device-service status word that a reply gave.
  TdcStatus_t* (*directStatus)(TdcBackendEnv_t* env, TdcPrinter_t* record, PrintHandle_t* handle);
  TdcStatus_t* (*serviceStatus)(TdcPrinter_t* record, uint32_t word, int32_t battery);
  // The callback pair connection events reach.
  TdcConnectionCallback TdcPrinter_t::*connectionCallback;
  void* TdcPrinter_t::*connectionUser;
};

// A record with its locks, mode 0, the default interval and an empty command
// list. 0; 1 for a null out; 10 out of memory.
int TdcNewPrinterRecord(int32_t series, int32_t modelLang, TdcPrinter_t** out);
// Frees a record of either kind with what it owns; the registries' free.
void TdcFreePrinterRecord(void* record);

// The argument checks are the caller's (record, target, timeout).
int TdcConnectPrinterKind(const TdcPrinterKind& kind, TdcEnvData_t* env, TdcPrinter_t* record,
                          const char* target, int32_t timeoutMs);
int TdcDisconnectPrinterKind(const TdcPrinterKind& kind, TdcEnvData_t* env, TdcPrinter_t* record);
// Never null but when out of memory.
TdcStatus_t* TdcGetPrinterKindStatus(const TdcPrinterKind& kind, TdcEnvData_t* env,
                                     TdcPrinter_t* record);
// Event 2 closes a record in mode 2 (its handles go with the connection);
// every event then reaches the kind's connection callback. Runs under the
// listener list's lock and takes only the leaf lock; the record is not
// touched after the callback, which may destroy it.
void TdcOnPrinterKindConnectionEvent(void* record, int32_t event,
                                     TdcConnectionCallback TdcPrinter_t::*callback,
                                     void* TdcPrinter_t::*user);

// The print engine's model language of the runtime's ModelLang (the same
// value); false for one outside 0..6.
bool TdcFindModelLanguage(int32_t modelLang, int32_t* out);

// The start of either kind's send, under its operation: the operation's
// check, then the command list replayed into the builder (a replay stopped
// half-way leaves the builder empty). 0 when the job may be sent.
int TdcBuildPrinterJob(const TdcPrinterOperation& operation, TdcPrinter_t* record);

// The port type of the last successful connect; -3 before.
inline int32_t TdcRecordPortType(const TdcPrinter_t* record) {
  return record->settings != nullptr ? record->settings->portType : kTdcNone;
}

}  // namespace tilo2::core
