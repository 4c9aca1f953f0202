#pragma once
// Operations both printer kinds share: transactions, the status monitor and
// its interval, and the immediate recover, drawer-pulse and reset operations.

#include <cstdint>

#include "device/device_types.h"

namespace tilo2::core {

int TdcBeginTransaction(TdcEnvData_t* env, TdcPrinter_t* record);
int TdcEndTransaction(TdcEnvData_t* env, TdcPrinter_t* record);
int TdcStartMonitor(TdcEnvData_t* env, TdcPrinter_t* record);
int TdcStopMonitor(TdcEnvData_t* env, TdcPrinter_t* record);
// May answer any translated engine failure; the runtime ignores it.
int TdcSetInterval(TdcPrinter_t* record, int32_t intervalMs);
int TdcForceRecover(TdcEnvData_t* env, TdcPrinter_t* record, int32_t timeoutMs);
int TdcForceReset(TdcEnvData_t* env, TdcPrinter_t* record, int32_t timeoutMs);
int TdcForcePulse(TdcEnvData_t* env, TdcPrinter_t* record, int32_t drawer, int32_t time,
                  int32_t timeoutMs);

}  // namespace tilo2::core
