// The record's backend state under its leaf lock, and the scope of one
// operation that reaches a backend.

#include "device/printer_access.h"

#include "device/conn_listener.h"
#include "device/hybrid_module.h"
#include "device/printer_module.h"
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
    : record_(record), release_(nullptr), locked_(false), state_{} {
  if (record_ == nullptr) return;
  if (TdcHoldPrinter(record_)) {
    release_ = &TdcReleasePrinter;
  } else if (TdcHoldHybridPrinter(record_)) {
    release_ = &TdcReleaseHybridPrinter;
  }
  locked_ = platform_mutex_lock(&record_->opLock, -1) == PLATFORM_OK;
  if (!locked_) return;
  // The use is taken under the leaf lock: a disconnect event clears the
  // state under the same lock before it may free the connection, so the
  // snapshot never names a connection already freed.
  PlatformLockGuard lock(record_->stateLock);
  if (!lock) return;
  state_ = {record_->mode, record_->connection, record_->handle, record_->builder};
  // The snapshot's connection is the one released at the end, whatever the
  // operation or a disconnect event writes into the record meanwhile.
  if (state_.mode == TDC_MODE_SERVICE && state_.connection != nullptr) {
    TdcAcquireConnectionUse(state_.connection);
  }
}

TdcPrinterOperation::~TdcPrinterOperation() {
  if (locked_) {
    if (state_.mode == TDC_MODE_SERVICE && state_.connection != nullptr) {
      TdcReleaseConnectionUse(state_.connection);
    }
    platform_mutex_unlock(&record_->opLock);
  }
  // Last: this release may free the record.
  if (release_ != nullptr) release_(record_);
}

int TdcPrinterOperation::Check() const {
  if (!locked_) return TDC_ERR_FAILURE;
  return state_.handle == nullptr ? TDC_ERR_ILLEGAL : TDC_SUCCESS;
}

int TdcCheckImmediate(const TdcPrinterOperation& operation, int32_t timeoutMs) {
  if (timeoutMs != kTdcDefault && (timeoutMs < 0 || timeoutMs > 600000)) return TDC_ERR_PARAM;
  const int32_t mode = operation.State().mode;
  if (mode == TDC_MODE_DIRECT) return TDC_ERR_UNSUPPORTED;
  if (mode != TDC_MODE_SERVICE) return TDC_ERR_FAILURE;
  return TDC_SUCCESS;
}

}  // namespace tilo2::core
