#include "engine/print_handle.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/engine_log.h"
#include "engine/event_callbacks.h"
#include "engine/print_result.h"
#include "engine/reply_analysis.h"
#include "engine/status_monitor.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "io/connection_table.h"

namespace tilo2::core {

namespace {

struct HandleListNode_t {
  HandleListNode_t* next;
  PrintHandle_t* handle;
};

PlatformMutex_t handleListLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
HandleListNode_t* handleList = nullptr;

// Every lock of a handle, in creation order.
PlatformMutex_t PrintHandle_t::*const kHandleLocks[] = {
    &PrintHandle_t::transactionLock,
    &PrintHandle_t::monitorSettingsLock,
    &PrintHandle_t::callbacksLock,
    &PrintHandle_t::extStatusLock,
    &PrintHandle_t::waitInsertionLock,
    &PrintHandle_t::cancelInsertionLock,
    &PrintHandle_t::micrReadLock,
    &PrintHandle_t::micrCleanLock,
    &PrintHandle_t::cleaningInsertionSeenLock,
    &PrintHandle_t::slipCueingLock,
    &PrintHandle_t::hybridClosingLock,
    &PrintHandle_t::asbLock,
    &PrintHandle_t::cycleDoneLock,
    &PrintHandle_t::batteryLock,
    &PrintHandle_t::recoverLock,
    &PrintHandle_t::replyWaitLock,
    &PrintHandle_t::monitorStateLock,
    &PrintHandle_t::sendingBuilderLock,
    &PrintHandle_t::attachLock,
    &PrintHandle_t::sendLock,
    &PrintHandle_t::monitorLock,
    &PrintHandle_t::eventTableLock,
    &PrintHandle_t::resultLock,
    &PrintHandle_t::jobListLock,
    &PrintHandle_t::monitorStartLock,
};

void DestroyLocks(PrintHandle_t* handle) {
  for (auto lock : kHandleLocks) {
    if ((handle->*lock).kind != 0) platform_mutex_destroy(&(handle->*lock));
  }
  if (handle->monitorWakeEvent != nullptr) platform_cond_destroy(&handle->monitorWakeEvent);
  if (handle->cycleDoneEvent != nullptr) platform_cond_destroy(&handle->cycleDoneEvent);
  if (handle->jobsEmptyEvent != nullptr) platform_cond_destroy(&handle->jobsEmptyEvent);
}

bool CreateLocks(PrintHandle_t* handle) {
  for (auto lock : kHandleLocks) {
    platform_mutex_init(&(handle->*lock));
    if ((handle->*lock).kind == 0) return false;
  }
  platform_cond_init(&handle->monitorWakeEvent);
  platform_cond_init(&handle->cycleDoneEvent);
  platform_cond_init(&handle->jobsEmptyEvent);
  return handle->monitorWakeEvent != nullptr && handle->cycleDoneEvent != nullptr &&
         handle->jobsEmptyEvent != nullptr;
}

// What every handle gets before its locks exist.
void SetDefaults(PrintHandle_t* handle) {
  std::memset(handle->rawAsb, 0xFF, sizeof handle->rawAsb);
  handle->statusFlags = kStatusFlagsUnknown;
  handle->battery = -1;
  handle->needRecover = 1;
  handle->modelId = 0xFF;
  handle->paperSupport = 0xFFFFFFFFu;
  // Records replies silently until the status monitor installs AnalyzeResponse.
  handle->replyHandler = &AnalyzeOpenResponse;
}

void FreeHandle(PrintHandle_t* handle) {
  if (handle->internalBuilder != nullptr) PrnCmdClose(handle->internalBuilder);
  DestroyLocks(handle);
  std::free(handle->printerName.exchange(nullptr));
  std::free(handle->micrText.exchange(nullptr));
  delete handle;
}

}  // namespace

SharedPrnBuilder MakeSharedPrnBuilder(PrnCmdHandle_t* builder) {
  if (builder == nullptr) return nullptr;
  return SharedPrnBuilder(builder, [](PrnCmdHandle_t* owned) { PrnCmdClose(owned); });
}

int TiloCreateHandle(PrintHandle_t** out) {
  if (out == nullptr) return TILOPRN_PARAMETER_ERROR;
  *out = nullptr;
  auto* handle = new (std::nothrow) PrintHandle_t{};
  if (handle == nullptr) return TILOPRN_MEMORY_ERROR;
  SetDefaults(handle);
  if (!CreateLocks(handle)) {
    FreeHandle(handle);
    return TILOPRN_FAILURE;
  }
  if (SetMonitorInterval(handle, kDefaultMonitorIntervalMs) != TILOPRN_SUCCESS) {
    FreeHandle(handle);
    return TILOPRN_FAILURE;
  }
  if (SetCallbackEnabled(handle, 1) != TILOPRN_SUCCESS) {
    FreeHandle(handle);
    return TILOPRN_FAILURE;
  }
  if (PrnCmdOpen("", 0, &handle->internalBuilder) != 0) {
    handle->internalBuilder = nullptr;
    FreeHandle(handle);
    return TILOPRN_MEMORY_ERROR;
  }
  const int added = AddHandleList(handle);
  if (added != TILOPRN_SUCCESS) {
    FreeHandle(handle);
    return added;
  }
  *out = handle;
  return TILOPRN_SUCCESS;
}

int TiloDestroyHandle(PrintHandle_t* handle) {
  if (!CheckHandleList(handle)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  RemoveHandleList(handle);
  FreeHandle(handle);
  return TILOPRN_SUCCESS;
}

int AddHandleList(PrintHandle_t* handle) {
  auto* node = new (std::nothrow) HandleListNode_t{nullptr, handle};
  if (node == nullptr) return TILOPRN_MEMORY_ERROR;
  PlatformLockGuard lock(handleListLock);
  if (!lock) {
    delete node;
    return TILOPRN_FAILURE;
  }
  HandleListNode_t** tail = &handleList;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = node;
  lock.Unlock();
  log_trace(kEngineTag, LOG_TRACE_INFO, handle, 0, "AddHandleList", LOG_ARG_STRING, "Add handle.",
            LOG_ARG_POINTER, node, LOG_ARG_END);
  return TILOPRN_SUCCESS;
}

void RemoveHandleList(PrintHandle_t* handle) {
  PlatformLockGuard lock(handleListLock);
  if (!lock) return;
  HandleListNode_t** link = &handleList;
  while (*link != nullptr && (*link)->handle != handle) link = &(*link)->next;
  HandleListNode_t* node = *link;
  if (node == nullptr) return;
  *link = node->next;
  lock.Unlock();
  log_trace(kEngineTag, LOG_TRACE_INFO, handle, 0, "RemoveHandleList", LOG_ARG_STRING,
            "Remove handle.", LOG_ARG_POINTER, node, LOG_ARG_END);
  delete node;
}

bool CheckHandleList(const PrintHandle_t* handle) {
  if (handle == nullptr) return false;
  PlatformLockGuard lock(handleListLock);
  if (!lock) return false;
  for (HandleListNode_t* node = handleList; node != nullptr; node = node->next) {
    if (node->handle == handle) return true;
  }
  return false;
}

bool IsConnectionOpen(const PrintHandle_t* handle) {
  if (handle == nullptr || handle->connection == nullptr) return false;
  return FindHandleRow(handle->connection) >= 0;
}

int CheckOpenHandle(PrintHandle_t* handle) {
  if (!CheckHandleList(handle)) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (handle->connection == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  return TILOPRN_SUCCESS;
}

uint8_t GetNeedRecover(PrintHandle_t* handle) {
  if (handle == nullptr) return 0;
  PlatformLockGuard lock(handle->recoverLock);
  return lock ? handle->needRecover : 0;
}

void SetNeedRecover(PrintHandle_t* handle, uint8_t value) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->recoverLock);
  if (lock) handle->needRecover = value;
}

void SetSendingBuilder(PrintHandle_t* handle, SharedPrnBuilder builder) {
  if (handle == nullptr) return;
  PlatformLockGuard lock(handle->sendingBuilderLock);
  // The old builder is released outside the lock: its close may log.
  if (lock) builder.swap(handle->sendingBuilder);
}

SharedPrnBuilder GetSendingBuilder(PrintHandle_t* handle) {
  if (handle == nullptr) return nullptr;
  PlatformLockGuard lock(handle->sendingBuilderLock);
  return lock ? handle->sendingBuilder : nullptr;
}

int32_t GetMonitorInterval(PrintHandle_t* handle) {
  // The monitor waits this long between cycles: never answer 0, which would
  // make it cycle without pause.
  if (handle == nullptr) {
    EngineErrorLine(kMonitorSource, __LINE__);
    return kDefaultMonitorIntervalMs;
  }
  PlatformLockGuard lock(handle->monitorSettingsLock);
  if (!lock) {
    EngineErrorLine(kMonitorSource, __LINE__);
    return kDefaultMonitorIntervalMs;
  }
  return handle->monitorIntervalMs;
}

int SetMonitorInterval(PrintHandle_t* handle, int32_t milliseconds) {
  if (handle == nullptr) {
    EngineErrorLine(kMonitorSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  PlatformLockGuard lock(handle->monitorSettingsLock);
  if (!lock) {
    EngineErrorLine(kMonitorSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  handle->monitorIntervalMs = milliseconds;
  return TILOPRN_SUCCESS;
}

}  // namespace tilo2::core
