// The record's backend state under its leaf lock, and the scope of one
// operation that reaches a backend.

#include "device/printer_access.h"

#include "device/conn_listener.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

TdcPrinterState_t TdcReadPrinterState(TdcPrinter_t* record) {
  if (record == nullptr) return {};
  PlatformLockGuard lock(record->stateLock);
  // Without the lock nothing consistent can be read: the record counts as closed.
  if (!lock) return {};
  return {record->mode, record->connection, record->handle, record->builder};
}

void TdcWritePrinterState(TdcPrinter_t* record, const TdcPrinterState_t& state) {
  if (record == nullptr) return;
  PlatformLockGuard lock(record->stateLock);
  if (!lock) return;
  record->mode = state.mode;
  record->connection = state.connection;
  record->handle = state.handle;
  record->builder = state.builder;
}

void TdcClearPrinterState(TdcPrinter_t* record) {
  TdcWritePrinterState(record, {TDC_MODE_CLOSED, nullptr, nullptr, nullptr});
}

TdcPrinterOperation::TdcPrinterOperation(TdcPrinter_t* record)
    : record_(record), locked_(false), state_{} {
  if (record_ == nullptr) return;
  locked_ = platform_mutex_lock(&record_->opLock, -1) == PLATFORM_OK;
  if (!locked_) return;
  state_ = TdcReadPrinterState(record_);
  // The snapshot's connection is the one released at the end, whatever the
  // operation or a disconnect event writes into the record meanwhile.
  if (state_.mode == TDC_MODE_SERVICE && state_.connection != nullptr) {
    TdcAcquireConnectionUse(state_.connection);
  }
}

TdcPrinterOperation::~TdcPrinterOperation() {
  if (!locked_) return;
  if (state_.mode == TDC_MODE_SERVICE && state_.connection != nullptr) {
    TdcReleaseConnectionUse(state_.connection);
  }
  platform_mutex_unlock(&record_->opLock);
}

}  // namespace tilo2::core
