#pragma once
// Sending a printer job whose commands were taken from the record's list when
// the app asked for the send, so that what is added or cleared while the job
// waits for the pool, the operation lock or the connection is not in it.

#include <cstdint>

#include "device/command_list.h"
#include "device/device_types.h"
#include "device/printer_access.h"
#include "device/printer_kind.h"

namespace tilo2::core {

// TdcSendPrinterData's checks and results, for `job` instead of the list as
// it stands when the operation lock is taken.
int TdcSendPrinterJob(TdcEnvData_t* env, TdcPrinter_t* record, const TdcCommandSnapshot& job,
                      int32_t timeoutMs);

// TdcBuildPrinterJob for `job`.
int TdcBuildPrinterJob(const TdcPrinterOperation& operation, const TdcPrinter_t* record,
                       const TdcCommandSnapshot& job);

}  // namespace tilo2::core
