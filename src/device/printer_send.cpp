// Sending a printer record's command list as one job: replayed into the
// backend's builder, sent, and the builder emptied for the next job. The
// command list itself stays as it is.

#include "device/printer_send.h"

#include <cstdlib>

#include "device/code_tables.h"
#include "device/command_list.h"
#include "device/printer_access.h"
#include "device/printer_kind.h"
#include "device/printer_module.h"
#include "device/target.h"
#include "engine/builder_records.h"
#include "engine/engine_ops.h"
#include "engine/shared_connection.h"
#include "foundation/logger.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

constexpr int32_t kDefaultSendTimeout = 10000;
constexpr const char* kPrinterSource = "tilo2_common_printer";

// A direct job whose connection vanished: what the port-error report needs
// once the operation mutex is let go.
struct PortError {
  PrintHandle_t* handle = nullptr;
  char* address = nullptr;
};

// Runs under the record's operation mutex. 0 with *portError.handle set
// asks the caller to report a port error after releasing it.
int SendLocked(TdcEnvData_t* env, TdcPrinter_t* record, const TdcCommandSnapshot& job,
               int32_t timeoutMs, PortError* portError) {
  TdcPrinterOperation operation(record);
  if (const int built = TdcBuildPrinterJob(operation, record, job); built != 0) return built;
  const TdcPrinterState_t& state = operation.State();

  const int32_t portType = record->settings->portType;
  if (state.mode == TDC_MODE_DIRECT) {
    auto* handle = static_cast<PrintHandle_t*>(state.handle);
    auto* builder = static_cast<PrinterBuilder_t*>(state.builder);
    if (!IsConnectionOpen(handle)) {
      TiloClearBuilder(builder);
      portError->handle = handle;
      portError->address = CopySharedConnectionAddress(handle);
      return TDC_SUCCESS;
    }
    const int sent = TiloSendData(TdcScopedBackendEnv(portType, TDC_MODE_DIRECT, env).get(), handle,
                                  builder, timeoutMs);
    TiloClearBuilder(builder);
    return TdcFromEngineResult(sent);
  }
  if (state.mode == TDC_MODE_SERVICE) {
    auto* handle = static_cast<TdevPrinterHandle_t*>(state.handle);
    int sent = TdevPrinterSendData(TdcScopedBackendEnv(portType, TDC_MODE_SERVICE, env).get(),
                                   handle, timeoutMs, "", 0, 0);
    if (sent == 1) {
      // The service refused the document's parameters.
      log_error_line("ERROR", kPrinterSource, __LINE__);
      sent = 5;
    }
    TdevClearCommandBuffer(handle);
    return TdcFromServiceResult(sent);
  }
  return TDC_ERR_FAILURE;
}

}  // namespace

int TdcBuildPrinterJob(const TdcPrinterOperation& operation, const TdcPrinter_t* record,
                       const TdcCommandSnapshot& job) {
  if (const int checked = operation.Check(); checked != 0) return checked;
  const TdcPrinterState_t& state = operation.State();
  const int replayed =
      TdcReplayPrinterSnapshot(state.mode, state.builder, record->commands.ops, job);
  // A replay stopped half-way must not leave its commands for the next job.
  if (replayed != 0) TdcClearPrinterBuilder(state.mode, state.builder);
  return replayed;
}

int TdcBuildPrinterJob(const TdcPrinterOperation& operation, TdcPrinter_t* record) {
  if (const int checked = operation.Check(); checked != 0) return checked;
  TdcCommandSnapshot job;
  if (const int taken = TdcTakePrinterCommands(&record->commands.commandList, &job); taken != 0) {
    return taken;
  }
  return TdcBuildPrinterJob(operation, record, job);
}

int TdcSendPrinterData(TdcEnvData_t* env, TdcPrinter_t* record, int32_t timeoutMs) {
  if (record == nullptr) return TDC_ERR_PARAM;
  TdcCommandSnapshot job;
  if (const int taken = TdcTakePrinterCommands(&record->commands.commandList, &job); taken != 0) {
    return taken;
  }
  return TdcSendPrinterJob(env, record, job, timeoutMs);
}

int TdcSendPrinterJob(TdcEnvData_t* env, TdcPrinter_t* record, const TdcCommandSnapshot& job,
                      int32_t timeoutMs) {
  if (record == nullptr) return TDC_ERR_PARAM;
  if (timeoutMs == kTdcDefault) {
    timeoutMs = kDefaultSendTimeout;
  } else if (timeoutMs < 5000 || timeoutMs > 600000) {
    return TDC_ERR_PARAM;
  }
  PortError portError;
  const int sent = SendLocked(env, record, job, timeoutMs, &portError);
  if (sent != 0 || portError.handle == nullptr) return sent;

  // The app's result handler runs on the report's thread and may call into
  // this record: no layer lock is held while it runs. The send returns once
  // the result was delivered.
  const int posted =
      TdcPostPortErrorResult(portError.handle, portError.address, TDC_PORT_ERROR_PRINT,
                             reinterpret_cast<void*>(&TdcOnPrinterDirectResult));
  std::free(portError.address);
  // A report that could not be made would leave the app waiting for a result
  // that never comes: say so instead of answering success.
  return posted;
}

}  // namespace tilo2::core
