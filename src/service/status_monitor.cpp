#include "service/status_monitor.h"

#include <algorithm>
#include <memory>
#include <new>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "service/http_client.h"
#include "service/live_threads.h"
#include "service/received_messages.h"
#include "service/reply_codes.h"
#include "service/request_messages.h"

namespace tilo2::core {
namespace {

constexpr const char* kTag = "TDEV_";
constexpr const char* kMonitorTag = "TDSTM";
constexpr int32_t kReplyCodeServiceTimeout = 50;  // the service's own time-out towards the printer
constexpr int32_t kPrinterBatterySlot = 13;

using PrinterRef = std::shared_ptr<TdevPrinterHandle_t>;

// The handle a monitor thread works for, so a stop from inside one of its
// own callbacks does not wait for itself.
thread_local TdevPrinterHandle_t* t_monitoredHandle = nullptr;

bool IsPrinterType(uint32_t type) {
  return type == TDEV_DEVICE_PRINTER || type == TDEV_DEVICE_HYBRID_PRINTER;
}

// The connection of a handle while both live.
TdevConnectionRef ConnectionOf(TdevPrinterHandle_t* handle) {
  auto connection = handle->connectionRef.lock();
  if (!connection || TdevRefConnection(connection.get()) != connection) return nullptr;
  return connection;
}

// The handle still reachable (not destroyed) behind a reference.
bool Reachable(const PrinterRef& handle) {
  return handle && TdevRefPrinterHandle(handle.get()) == handle;
}

void FireStatusEvent(TdevPrinterHandle_t* handle, const std::string& host, int32_t index) {
  TdevAnyCallback slot = TdevGetPrinterCallback(handle, index);
  if (!slot) slot = TdevGetHybridPrinterCallback(handle, index);
  if (!slot) return;
  reinterpret_cast<TdevPrinterEvent>(slot)(handle, host.c_str(), handle->deviceId.c_str());
}

// Builds and starts one status request to the handle's service.
int32_t StartStatusRequest(TdevPrinterHandle_t* handle, const std::string& host, int32_t tls,
                           int32_t timeoutMs, TdevHttpUserCallback user, void* context) {
  const std::string body = TdevStatusRequestBody();
  TdevHttpRequest_t request;
  request.host = host.c_str();
  request.path = kTdevStatusPath;
  request.devid = handle->deviceId.c_str();
  request.timeout = timeoutMs;
  request.body = body.c_str();
  request.context = context;
  return http_request_post(&request, tls, timeoutMs, http_request_forward_reply, user);
}

// A request that could not start counts as a failure unless the HTTP table
// maps it to success.
bool StartFailed(int32_t started) {
  return started != TDEV_HTTP_OK &&
         TdevHttpResultToChannelCode(started, TDEV_CHANNEL_FAILED) != TDEV_CHANNEL_OK;
}

// ---- One-shot request ----------------------------------------------------------------------

struct StatusReplyContext {
  std::shared_ptr<TdevStatusQuery_t> query;
};

void OnStatusResponse(void* context, int32_t, const char*, int32_t, int32_t code, uint32_t status,
                      int32_t battery, int32_t) {
  auto* query = static_cast<TdevStatusQuery_t*>(context);
  PlatformLockGuard guard(query->lock);
  query->status = TdevAdjustStatus(status);
  query->battery = battery;
  query->result = code >= 0 && code < kTdevReplyCodeCount ? TdevReplyCodeToResult(code) : 0;
}

void OnStatusReply(const char*, const char*, const char* body, size_t length, void* context) {
  std::unique_ptr<StatusReplyContext> reply(static_cast<StatusReplyContext*>(context));
  if (!reply || !reply->query) return;
  TdevStatusQuery_t& query = *reply->query;
  // A reply without a usable "response" leaves the record as it was: no response (1).
  if (body) TdevParsePrinterResponse(body, length, &OnStatusResponse, &query);
  PlatformLockGuard guard(query.lock);
  query.done = true;
  platform_cond_signal(&query.event);
}

// ---- Monitor -----------------------------------------------------------------------------------

// Stores a new monitored word and reports the change from the previous one.
void StoreMonitoredStatus(TdevPrinterHandle_t* handle, uint32_t newStatus) {
  uint32_t oldStatus = 0;
  {
    // Read and replace together: overlapping replies each report one step.
    PlatformLockGuard guard(handle->lastStatusLock);
    oldStatus = handle->lastMonitoredStatus;
    handle->lastMonitoredStatus = newStatus;
    TdevSetPrinterStatus(handle, newStatus);
  }
  TdevNotifyStatusChange(handle, oldStatus, newStatus);
}

// The printer cannot be asked: its stored word gets the no-response bit.
void MarkUnreachable(TdevPrinterHandle_t* handle) {
  uint32_t oldStatus = 0;
  uint32_t newStatus = 0;
  {
    PlatformLockGuard guard(handle->lastStatusLock);
    oldStatus = TdevGetPrinterStatus(handle);
    newStatus = oldStatus | kTdevStatusNoResponse;
    handle->lastMonitoredStatus = newStatus;
    TdevSetPrinterStatus(handle, newStatus);
  }
  TdevNotifyStatusChange(handle, oldStatus, newStatus);
}

struct MonitorReplyContext {
  std::weak_ptr<TdevPrinterHandle_t> handle;
};

void OnMonitorResponse(void* context, int32_t, const char*, int32_t, int32_t code, uint32_t status,
                       int32_t battery, int32_t) {
  auto* handle = static_cast<TdevPrinterHandle_t*>(context);
  if (code == kReplyCodeServiceTimeout) return;
  StoreMonitoredStatus(handle, TdevAdjustStatus(status));
  if (battery != 0 && battery != TdevGetBatteryLevel(handle)) {
    if (TdevAnyCallback slot = TdevGetPrinterCallback(handle, kPrinterBatterySlot)) {
      const auto connection = ConnectionOf(handle);
      const std::string host = TdevConnectionHost(connection.get());
      reinterpret_cast<TdevPrinterBatteryChanged>(slot)(handle, host.c_str(),
                                                        handle->deviceId.c_str(), battery);
    }
    TdevSetBatteryLevel(handle, battery);
  }
}

void OnMonitorReply(const char*, const char*, const char* body, size_t length, void* context) {
  std::unique_ptr<MonitorReplyContext> reply(static_cast<MonitorReplyContext*>(context));
  if (!reply) return;
  const PrinterRef handle = reply->handle.lock();
  // A handle destroyed, or a monitor stopped, while the request ran hears nothing.
  if (!Reachable(handle) || !TdevIsMonitorRunning(handle.get()) || !ConnectionOf(handle.get())) {
    return;
  }
  if (!body) {
    MarkUnreachable(handle.get());
    return;
  }
  if (!IsPrinterType(handle->type)) return;
  const int parsed = TdevParsePrinterResponse(body, length, &OnMonitorResponse, handle.get());
  // Well-formed but without a "response": no usable answer, as a missing body.
  if (parsed == 2) MarkUnreachable(handle.get());
}

struct MonitorStart {
  PrinterRef handle;
  std::unique_ptr<TdevLiveThread> live;
};

void* StatusMonitor(void* argument) {
  std::unique_ptr<MonitorStart> start(static_cast<MonitorStart*>(argument));
  TdevPrinterHandle_t* handle = start->handle.get();
  t_monitoredHandle = handle;
  const auto firstConnection = ConnectionOf(handle);
  if (!firstConnection) {
    TdevSetMonitorRunning(handle, 0);
    return nullptr;
  }
  const uint32_t stored = TdevGetPrinterStatus(handle);
  {
    PlatformLockGuard guard(handle->lastStatusLock);
    handle->lastMonitoredStatus = stored;
  }
  if (stored != 0) TdevNotifyStatusChange(handle, 0, stored);
  // The request timeout is fixed when monitoring starts.
  const int32_t timeoutMs = std::max(kTdevStatusTimeoutMs, TdevGetMonitorInterval(handle));
  const std::weak_ptr<TdevConnection_t> weakConnection = firstConnection;

  while (TdevIsMonitorRunning(handle)) {
    log_trace(kMonitorTag, LOG_TRACE_INFO, handle, 0, "StatusMonitor", LOG_ARG_STRING, "Start.",
              LOG_ARG_END);
    const auto connection = weakConnection.lock();
    const int32_t condition = connection ? TdevGetCondition(connection.get()) : -1;
    if (condition == TDEV_CONDITION_RECONNECTING) {
      MarkUnreachable(handle);
    } else if (condition == TDEV_CONDITION_CONNECTED) {
      auto* context = new (std::nothrow) MonitorReplyContext{start->handle};
      const int32_t started = context
                                  ? StartStatusRequest(handle, TdevConnectionHost(connection.get()),
                                                       TdevConnectionTls(connection.get()),
                                                       timeoutMs, &OnMonitorReply, context)
                                  : TDEV_HTTP_RESOURCES;
      if (started != TDEV_HTTP_OK) delete context;
      if (StartFailed(started)) MarkUnreachable(handle);
    }
    log_trace(kMonitorTag, LOG_TRACE_INFO, handle, 0, "StatusMonitor", LOG_ARG_STRING, "End.",
              LOG_ARG_END);
    if (!TdevIsMonitorRunning(handle)) break;
    // A stop signals the event; the interval in force now sets this wait.
    const int32_t interval = std::max<int32_t>(TdevGetMonitorInterval(handle), 1);
    platform_cond_wait_ms(&handle->monitorEvent, interval);
  }
  t_monitoredHandle = nullptr;
  return nullptr;
}

}  // namespace

TdevStatusQuery_t::TdevStatusQuery_t() {
  platform_mutex_init(&lock);
  platform_cond_init(&event);
}

TdevStatusQuery_t::~TdevStatusQuery_t() {
  if (event) platform_cond_destroy(&event);
  platform_mutex_destroy(&lock);
}

std::string TdevStatusRequestBody() {
  std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
      "<tilo-print xmlns=\"";
  body += TDEV_PRINT_NAMESPACE;
  body += "\"/></s:Body></s:Envelope>";
  return body;
}

uint32_t TdevAdjustStatus(uint32_t status) {
  constexpr uint32_t kKeep = 0x40600000;
  return (status & kKeep) == kKeep ? status : status | 0x10000000;
}

void TdevNotifyStatusChange(TdevPrinterHandle_t* handle, uint32_t oldStatus, uint32_t newStatus) {
  if (!handle) return;
  const uint32_t changed = (oldStatus ^ newStatus) & kTdevStatusMask;
  if (changed == 0) return;
  const auto connection = ConnectionOf(handle);
  const std::string host = TdevConnectionHost(connection.get());
  const char* deviceId = handle->deviceId.c_str();
  auto fire = [&](int32_t index) { FireStatusEvent(handle, host, index); };
  auto has = [&](uint32_t bit) { return (newStatus & bit) != 0; };
  auto moved = [&](uint32_t bits) { return (changed & bits) != 0; };

  if (handle->type == TDEV_DEVICE_PRINTER) {
    if (TdevAnyCallback slot = TdevGetPrinterCallback(handle, 0)) {
      reinterpret_cast<TdevPrinterStatusChanged>(slot)(handle, host.c_str(), deviceId,
                                                       newStatus & kTdevStatusMask);
    }
    if (has(0x1)) {
      fire(3);  // PowerOff
      return;
    }
    if (moved(0x8)) fire(has(0x8) ? 2 : 1);    // Offline / Online
    if (moved(0x20)) fire(has(0x20) ? 5 : 4);  // CoverOpen / CoverClose
    if (moved(0x20000 | 0x80000)) {            // PaperEmpty / PaperNearEnd / PaperOk
      fire(has(0x80000) ? 8 : has(0x20000) ? 7 : 6);
    }
    if (moved(0x4)) {
      fire(has(0x4) ? 9 : 10);   // DrawerHigh / DrawerLow
      fire(has(0x4) ? 11 : 12);  // BatteryEmpty / BatteryEnough
    }
    return;
  }
  if (handle->type == TDEV_DEVICE_HYBRID_PRINTER) {
    if (has(0x1)) {
      fire(2);  // PowerOff
      return;
    }
    if (moved(0x8)) fire(has(0x8) ? 1 : 0);
    if (moved(0x20)) fire(has(0x20) ? 4 : 3);
    if (moved(0x20000 | 0x80000)) fire(has(0x80000) ? 7 : has(0x20000) ? 6 : 5);
    if (moved(0x4)) fire(has(0x4) ? 8 : 9);
    if (moved(0x10000)) fire(has(0x10000) ? 10 : 11);        // InsertionWait / None
    if (moved(0x40000)) fire(has(0x40000) ? 12 : 13);        // RemovalWaitPaper / None
    if (moved(0x10000000)) fire(has(0x10000000) ? 14 : 15);  // SlipPaperOk / SlipPaperEmpty
  }
}

int TdevRequestStatus(TdevPrinterHandle_t* handle, uint32_t* status, int32_t* battery,
                      int32_t* result) {
  if (!handle || !status || !battery || !result) return TDEV_ERR_PARAM;
  const PrinterRef ref = TdevRefPrinterHandle(handle);
  if (!ref) return TDEV_ERR_PARAM;
  // Whatever keeps the request from an answer reads as "no response", never
  // as 0 (connected, online, cover closed).
  auto noAnswer = [&](int code) {
    *status = kTdevStatusNoResponse;
    *battery = 0;
    return code;
  };
  const auto connection = ConnectionOf(handle);
  const std::string host = TdevConnectionHost(connection.get());
  if (!connection || host.empty() || handle->deviceId.empty()) {
    return noAnswer(TDEV_ERR_NOT_CONNECTED);
  }
  std::shared_ptr<TdevStatusQuery_t> query(new (std::nothrow) TdevStatusQuery_t());
  if (!query || !query->event) return noAnswer(TDEV_ERR_MEMORY);
  auto* context = new (std::nothrow) StatusReplyContext{query};
  if (!context) return noAnswer(TDEV_ERR_MEMORY);
  {
    PlatformLockGuard guard(handle->statusQueryLock);
    handle->statusQuery = query;
  }
  const int32_t started = StartStatusRequest(handle, host, TdevConnectionTls(connection.get()),
                                             kTdevStatusTimeoutMs, &OnStatusReply, context);
  if (started != TDEV_HTTP_OK) {
    delete context;
    log_trace(kTag, LOG_TRACE_INFO, handle, started, "TdevRequestStatus", LOG_ARG_STRING,
              "Request not started.", LOG_ARG_END);
  } else {
    const uint64_t deadline =
        platform_tick_ms() + static_cast<uint64_t>(kTdevStatusTimeoutMs + kTdevStatusWaitSlackMs);
    for (;;) {
      {
        PlatformLockGuard guard(query->lock);
        if (query->done) break;
      }
      const uint64_t now = platform_tick_ms();
      if (now >= deadline) break;
      platform_cond_wait_ms(&query->event, static_cast<int>(deadline - now));
    }
  }
  {
    PlatformLockGuard guard(handle->statusQueryLock);
    if (handle->statusQuery == query) handle->statusQuery.reset();
  }
  PlatformLockGuard guard(query->lock);
  if (!query->done || query->status == kTdevStatusNoResponse) return noAnswer(TDEV_OK);
  *status = query->status;
  *battery = query->battery;
  *result = query->result;
  return TDEV_OK;
}

int TdevStartMonitor(TdevPrinterHandle_t* handle) {
  const PrinterRef ref = TdevRefPrinterHandle(handle);
  if (!ref) return TDEV_ERR_FAILURE;
  PlatformLockGuard guard(handle->monitorLock);
  if (!guard) return TDEV_ERR_FAILURE;
  if (handle->monitorThread) {
    if (TdevIsMonitorRunning(handle)) return TDEV_OK;
    // A monitor that ended by itself (its connection went) is collected first.
    if (t_monitoredHandle != handle) platform_thread_join(handle->monitorThread);
    platform_thread_close(handle->monitorThread);
    handle->monitorThread = nullptr;
  }
  auto* start = new (std::nothrow) MonitorStart{ref, nullptr};
  if (!start) return TDEV_ERR_MEMORY;
  try {
    start->live = std::make_unique<TdevLiveThread>();
  } catch (const std::bad_alloc&) {
    delete start;
    return TDEV_ERR_MEMORY;
  }
  platform_cond_reset(&handle->monitorEvent);
  TdevSetMonitorRunning(handle, 1);
  PlatformThread_t thread = nullptr;
  if (platform_thread_create(&thread, &StatusMonitor, start) != PLATFORM_OK) {
    TdevSetMonitorRunning(handle, 0);
    delete start;
    // The wrapper answers 11 for every failed start: lack of resources.
    return TDEV_ERR_MEMORY;
  }
  handle->monitorThread = thread;
  return TDEV_OK;
}

int TdevStopMonitor(TdevPrinterHandle_t* handle) {
  if (!handle) return TDEV_ERR_FAILURE;
  PlatformThread_t thread = nullptr;
  {
    PlatformLockGuard guard(handle->monitorLock);
    if (!guard) return TDEV_ERR_FAILURE;
    TdevSetMonitorRunning(handle, 0);
    platform_cond_signal(&handle->monitorEvent);
    thread = handle->monitorThread;
    handle->monitorThread = nullptr;
  }
  if (!thread) return TDEV_OK;
  // No thread waits for itself: a stop from the monitor's own callback lets
  // the thread end on its own.
  if (t_monitoredHandle != handle) platform_thread_join(thread);
  platform_thread_close(thread);
  return TDEV_OK;
}

}  // namespace tilo2::core
