#include "service/device_queries.h"

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "foundation/platform.h"
#include "service/http_client.h"
#include "service/json_reader.h"
#include "service/reply_codes.h"

namespace tilo2::core {
namespace {

constexpr const char* kTag = "TDEV_";
constexpr const char* kDeviceListPath = "/orvik_tilodevice/getDeviceList.cgi";
constexpr const char* kSystemVersionPath = "/orvik_tilodevice/getSystemVersion.cgi";
constexpr const char* kPortListPath = "/orvik_tilodevice/getSystemPortList.cgi";
// A blocking query waits for its reply callback, which the HTTP client always
// gives; this bound only guards against a callback that never comes.
constexpr int32_t kQueryWaitMs = 4 * kTdevQueryTimeoutMs + 30000;

std::atomic<TdevDeviceListSink> g_sink{nullptr};

void ReportDeviceList(const char* host, const char* name, const char* mac,
                      TdevDeviceListEntry_t* entries, int32_t count) {
  const TdevDeviceListSink sink = g_sink.load();
  if (sink) {
    sink(host, name, mac, entries, count);
  } else {
    onDeviceListResult(host, name, mac, entries, count);
  }
}

// ---- Device list ------------------------------------------------------------------------

struct DeviceListContext {
  std::string host;
  std::optional<std::string> name;
  std::optional<std::string> mac;
  const char* Name() const { return name ? name->c_str() : nullptr; }
  const char* Mac() const { return mac ? mac->c_str() : nullptr; }
};

constexpr const char* kHybridType = "type_hybrid_printer";

std::optional<int32_t> DeviceTypeOf(const std::string& text) {
  static constexpr struct {
    const char* text;
    int32_t type;
  } kTypes[] = {
      {"type_printer", TDEV_DEVICE_PRINTER},
      // Listed as a printer; reported once more as a hybrid printer below.
      {kHybridType, TDEV_DEVICE_PRINTER},
      {"type_display", TDEV_DEVICE_DISPLAY},
      {"type_keyboard", TDEV_DEVICE_KEYBOARD},
      {"type_scanner", TDEV_DEVICE_SCANNER},
      {"type_simple_serial", TDEV_DEVICE_SERIAL},
  };
  for (const auto& row : kTypes) {
    if (text == row.text) return row.type;
  }
  return std::nullopt;
}

void OnDeviceListReply(const char* host, const char*, const char* body, size_t length,
                       void* context) {
  std::unique_ptr<DeviceListContext> request(static_cast<DeviceListContext*>(context));
  if (!request) return;
  const char* reportHost = host ? host : request->host.c_str();
  std::optional<std::vector<TdevDeviceRecord_t>> records;
  if (body) records = TdevParseDeviceList(body, length);
  if (!records) {
    // Discovery hears of every query, also of one that brought nothing.
    ReportDeviceList(reportHost, request->Name(), request->Mac(), nullptr, 0);
    return;
  }
  std::vector<TdevDeviceListEntry_t> entries;
  entries.reserve(records->size());
  // The records own the texts the entries point to; they outlive every call below.
  auto& owned = *records;
  for (auto& record : owned) {
    const auto type = DeviceTypeOf(record.deviceType);
    if (!type) continue;
    entries.push_back(TdevDeviceListEntry_t{*type, record.deviceId.data(),
                                            record.modelName ? record.modelName->data() : nullptr});
  }
  ReportDeviceList(reportHost, request->Name(), request->Mac(),
                   entries.empty() ? nullptr : entries.data(),
                   static_cast<int32_t>(entries.size()));
  // A hybrid printer is offered as a hybrid printer too, unless it is an X5D.
  for (auto& record : owned) {
    if (record.deviceType != kHybridType || !record.modelName ||
        record.modelName->find("X5D") != std::string::npos) {
      continue;
    }
    TdevDeviceListEntry_t hybrid{TDEV_DEVICE_HYBRID_PRINTER, record.deviceId.data(),
                                 record.modelName->data()};
    ReportDeviceList(reportHost, request->Name(), request->Mac(), &hybrid, 1);
  }
}

// ---- Blocking queries ---------------------------------------------------------------------

// Shared by the caller and the reply callback: whichever lets go last frees it.
struct BlockingQuery {
  PlatformMutex_t lock{};
  PlatformCond_t event = nullptr;
  bool done = false;  // under lock
  std::optional<std::array<uint8_t, 3>> units;
  std::optional<TdevPortList_t> ports;
  BlockingQuery() { platform_mutex_init(&lock); }
  ~BlockingQuery() {
    if (event) platform_cond_destroy(&event);
    platform_mutex_destroy(&lock);
  }
  BlockingQuery(const BlockingQuery&) = delete;
  BlockingQuery& operator=(const BlockingQuery&) = delete;
};
using QueryRef = std::shared_ptr<BlockingQuery>;

enum class QueryKind { SystemVersion, PortList };

template <QueryKind kind>
void OnBlockingReply(const char*, const char*, const char* body, size_t length, void* context) {
  std::unique_ptr<QueryRef> holder(static_cast<QueryRef*>(context));
  if (!holder) return;
  BlockingQuery& query = **holder;
  PlatformLockGuard guard(query.lock);
  if (body) {
    if constexpr (kind == QueryKind::SystemVersion) {
      query.units = TdevParseSystemVersion(body, length);
    } else {
      query.ports = TdevParsePortList(body, length);
    }
  }
  query.done = true;
  platform_cond_signal(&query.event);
}

// Runs one blocking query. 0 with *out filled by the reply (or left alone when
// none came), else the failure as a TdevResult.
template <QueryKind kind>
int RunBlockingQuery(const char* host, const char* path, QueryRef* out) {
  QueryRef query(new (std::nothrow) BlockingQuery());
  if (!query) return TDEV_ERR_MEMORY;
  platform_cond_init(&query->event);
  if (!query->event) return TDEV_ERR_FAILURE;
  auto* holder = new (std::nothrow) QueryRef(query);
  if (!holder) return TDEV_ERR_MEMORY;

  TdevHttpRequest_t request;
  request.host = host;
  request.path = path;
  request.devid = "";
  request.timeout = kTdevQueryTimeoutMs;
  request.body = "";
  request.context = holder;
  const int32_t started = http_request_post(&request, 0, kTdevQueryTimeoutMs,
                                            http_request_forward_reply, &OnBlockingReply<kind>);
  if (started != TDEV_HTTP_OK) {
    delete holder;
    log_trace(kTag, LOG_TRACE_INFO, nullptr, started, path, LOG_ARG_STRING, "Request not started.",
              LOG_ARG_END);
    const int32_t code = TdevHttpResultToChannelCode(started, TDEV_CHANNEL_FAILED);
    return TdevChannelResultToResult(code, TDEV_ERR_FAILURE);
  }
  const uint64_t deadline = platform_tick_ms() + kQueryWaitMs;
  for (;;) {
    {
      PlatformLockGuard guard(query->lock);
      if (!guard) return TDEV_ERR_FAILURE;
      if (query->done) break;
    }
    const uint64_t now = platform_tick_ms();
    if (now >= deadline) {
      log_trace(kTag, LOG_TRACE_INFO, nullptr, 0, path, LOG_ARG_STRING, "No reply.", LOG_ARG_END);
      break;
    }
    platform_cond_wait_ms(&query->event, static_cast<int>(deadline - now));
  }
  *out = std::move(query);
  return TDEV_OK;
}

}  // namespace

void TdevSetDeviceListSink(TdevDeviceListSink sink) { g_sink.store(sink); }

int TdevGetDeviceList(const char* host, const char* name, const char* mac) {
  if (!host) return TDEV_ERR_PARAM;
  std::unique_ptr<DeviceListContext> context(new (std::nothrow) DeviceListContext());
  if (!context) return TDEV_ERR_MEMORY;
  try {
    context->host = host;
    if (name) context->name = name;
    if (mac) context->mac = mac;
  } catch (const std::bad_alloc&) {
    return TDEV_ERR_MEMORY;
  }
  TdevHttpRequest_t request;
  request.host = host;
  request.path = kDeviceListPath;
  request.devid = "";
  request.timeout = kTdevQueryTimeoutMs;
  request.body = "";
  request.context = context.get();
  const int32_t started = http_request_post(&request, 0, kTdevQueryTimeoutMs,
                                            http_request_forward_reply, &OnDeviceListReply);
  if (started != TDEV_HTTP_OK) {
    ReportDeviceList(host, name, mac, nullptr, 0);
    return TdevHttpResultToChannelCode(started, TDEV_CHANNEL_FAILED);
  }
  // The reply callback owns the context now.
  context.release();
  return TDEV_OK;
}

int TdevGetSystemVersion(const char* host, uint8_t* units) {
  if (!host || !units) return TDEV_ERR_PARAM;
  QueryRef query;
  const int result = RunBlockingQuery<QueryKind::SystemVersion>(host, kSystemVersionPath, &query);
  if (result != TDEV_OK) return result;
  PlatformLockGuard guard(query->lock);
  const std::array<uint8_t, 3> found = query->units.value_or(std::array<uint8_t, 3>{0, 0, 0});
  std::memcpy(units, found.data(), found.size());
  return TDEV_OK;
}

int TdevGetSystemPortList(const char* host, int32_t* ports) {
  if (!host || !ports) return TDEV_ERR_PARAM;
  QueryRef query;
  const int result = RunBlockingQuery<QueryKind::PortList>(host, kPortListPath, &query);
  if (result != TDEV_OK) return result;
  PlatformLockGuard guard(query->lock);
  const TdevPortList_t found = query->ports.value_or(TdevPortList_t{0, 0});
  ports[0] = found.plainPort;
  ports[1] = found.tlsPort;
  return TDEV_OK;
}

}  // namespace tilo2::core
