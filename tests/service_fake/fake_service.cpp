#include "service_fake/fake_service.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "device/conn_listener.h"
#include "device/printer_module.h"
#include "service_fake/fake_internal.h"
#include "service_fake/fake_stubs.h"

namespace tilo2::fake {

using namespace tilo2::core;

State& S() {
  static State state;
  return state;
}

std::string Text(const char* text) { return text ? std::string(text) : std::string(kNullText); }

// Records a call, then blocks while its function is held. Returns the index
// of the call in the log; *scripted gets a scripted code when there is one.
size_t Begin(Call call, bool* hasScript, int* scripted) {
  State& s = S();
  std::unique_lock lock(s.mu);
  call.thread = std::this_thread::get_id();
  *hasScript = false;
  auto q = s.queued.find(call.name);
  if (q != s.queued.end() && !q->second.empty()) {
    *hasScript = true;
    *scripted = q->second.front();
    q->second.pop_front();
  } else if (auto r = s.results.find(call.name); r != s.results.end()) {
    *hasScript = true;
    *scripted = r->second;
  }
  size_t index = s.calls.size();
  const std::string name = call.name;
  s.calls.push_back(std::move(call));
  ++s.activeCalls;
  if (s.holds.count(name)) {
    uint64_t generation = s.holdGeneration[name];
    ++s.blocked[name];
    s.cv.notify_all();
    s.cv.wait(lock, [&] { return s.holdGeneration[name] != generation; });
    --s.blocked[name];
  }
  s.cv.notify_all();
  return index;
}

// Finish with the fake's mutex already held.
int FinishLocked(size_t index, int result) {
  State& s = S();
  if (index < s.calls.size()) s.calls[index].result = result;
  --s.activeCalls;
  s.cv.notify_all();
  return result;
}

int Finish(size_t index, int result) {
  std::lock_guard lock(S().mu);
  return FinishLocked(index, result);
}

Call MakeCall(const char* name, const void* target, std::vector<int64_t> ints,
              std::vector<std::string> texts) {
  Call call;
  call.name = name;
  call.target = target;
  call.ints = std::move(ints);
  call.texts = std::move(texts);
  return call;
}

// Touches a connection or handle the way the real client does, so a freed
// one shows under AddressSanitizer at the call that used it.
bool Alive(const TdevConnection_t* connection) { return connection->magic == kConnectionMagic; }
bool Alive(const TdevPrinterHandle_t* handle) { return handle->magic == kHandleMagic; }

// Runs fn on a thread of the fake; waits for it when wait is true.
void RunNotifier(std::function<void()> fn, bool wait) {
  State& s = S();
  {
    std::lock_guard lock(s.mu);
    ++s.runningNotifiers;
  }
  std::thread thread([fn = std::move(fn)] {
    {
      std::lock_guard lock(S().mu);
      S().lastNotifierThread = std::this_thread::get_id();
    }
    fn();
    std::lock_guard lock(S().mu);
    --S().runningNotifiers;
    S().cv.notify_all();
  });
  if (wait) {
    thread.join();
  } else {
    std::lock_guard lock(s.mu);
    s.threads.push_back(std::move(thread));
  }
}

// A document element: the call that appended it, if the answer was 0.
int Append(Call call, TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  Call element = call;
  size_t index = Begin(std::move(call), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  int result = hasScript ? code : 0;
  if (!Alive(handle)) return Finish(index, 255);
  if (result == 0) {
    element.thread = std::this_thread::get_id();
    std::lock_guard lock(S().mu);
    handle->document.elements.push_back(std::move(element));
  }
  return Finish(index, result);
}

using StatusNotifier = void (*)(TdevPrinterHandle_t*, const char*, const char*);
constexpr StatusNotifier kStatusNotifiers[13] = {
    nullptr,
    TdcPrinterServiceEventOnline,
    TdcPrinterServiceEventOffline,
    TdcPrinterServiceEventPowerOff,
    TdcPrinterServiceEventCoverClose,
    TdcPrinterServiceEventCoverOpen,
    TdcPrinterServiceEventPaperOk,
    TdcPrinterServiceEventPaperNearEnd,
    TdcPrinterServiceEventPaperEmpty,
    TdcPrinterServiceEventDrawerHigh,
    TdcPrinterServiceEventDrawerLow,
    TdcPrinterServiceEventBatteryEmpty,
    TdcPrinterServiceEventBatteryEnough,
};

void FreeConnection(TdevConnection_t* connection) {
  for (TdevPrinterHandle_t* handle : connection->handles) delete handle;
  for (TdevCommBoxEntry_t* entry : connection->boxes) delete entry;
  delete connection;
}

// ---- Test interface -------------------------------------------------------------

void Reset() {
  State& s = S();
  std::vector<std::thread> threads;
  std::vector<TdevConnection_t*> connections;
  {
    std::unique_lock lock(s.mu);
    for (const std::string& name : s.holds) ++s.holdGeneration[name];
    s.holds.clear();
    s.cv.notify_all();
    s.cv.wait_for(lock, std::chrono::seconds(10),
                  [&] { return s.activeCalls == 0 && s.runningNotifiers == 0; });
    threads.swap(s.threads);
  }
  for (auto& t : threads)
    if (t.joinable()) t.join();
  std::lock_guard lock(s.mu);
  connections.assign(s.live.begin(), s.live.end());
  for (TdevConnection_t* connection : connections) FreeConnection(connection);
  s.live.clear();
  s.hostConnection.clear();
  s.calls.clear();
  s.results.clear();
  s.queued.clear();
  s.status = Status{0, kStatusOnline, 0};
  s.queuedStatus.clear();
  s.blocked.clear();
  s.jobs.clear();
  s.disconnectNotify = DisconnectNotify::kCallerThread;
  s.autoResult = AutoResult{};
  s.lastNotifierThread = std::thread::id();
}

std::vector<Call> Calls() {
  std::lock_guard lock(S().mu);
  return S().calls;
}

std::vector<Call> Calls(const std::string& name) {
  std::lock_guard lock(S().mu);
  std::vector<Call> out;
  for (const Call& call : S().calls)
    if (call.name == name) out.push_back(call);
  return out;
}

int CallCount(const std::string& name) {
  std::lock_guard lock(S().mu);
  return static_cast<int>(std::count_if(S().calls.begin(), S().calls.end(),
                                        [&](const Call& call) { return call.name == name; }));
}

std::vector<std::string> CallNames() {
  std::lock_guard lock(S().mu);
  std::vector<std::string> out;
  for (const Call& call : S().calls) out.push_back(call.name);
  return out;
}

bool WaitForCalls(const std::string& name, int count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(S().mu);
  return S().cv.wait_for(lock, timeout, [&] {
    return std::count_if(S().calls.begin(), S().calls.end(),
                         [&](const Call& call) { return call.name == name; }) >= count;
  });
}

void SetResult(const std::string& name, int code) {
  std::lock_guard lock(S().mu);
  S().results[name] = code;
}

void PushResult(const std::string& name, int code) {
  std::lock_guard lock(S().mu);
  S().queued[name].push_back(code);
}

void SetStatus(int result, uint32_t statusWord, int32_t battery) {
  std::lock_guard lock(S().mu);
  S().status = Status{result, statusWord, battery};
}

void PushStatus(int result, uint32_t statusWord, int32_t battery) {
  std::lock_guard lock(S().mu);
  S().queuedStatus.push_back(Status{result, statusWord, battery});
}

void Hold(const std::string& name) {
  std::lock_guard lock(S().mu);
  S().holds.insert(name);
}

void ReleaseHold(const std::string& name) {
  std::lock_guard lock(S().mu);
  S().holds.erase(name);
  ++S().holdGeneration[name];
  S().cv.notify_all();
}

bool WaitBlocked(const std::string& name, int count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(S().mu);
  return S().cv.wait_for(lock, timeout, [&] { return S().blocked[name] >= count; });
}

int BlockedCount(const std::string& name) {
  std::lock_guard lock(S().mu);
  auto it = S().blocked.find(name);
  return it == S().blocked.end() ? 0 : it->second;
}

void SetDisconnectNotify(DisconnectNotify how) {
  std::lock_guard lock(S().mu);
  S().disconnectNotify = how;
}

TdevConnection_t* ConnectionOf(const std::string& host) {
  std::lock_guard lock(S().mu);
  auto it = S().hostConnection.find(host);
  return it == S().hostConnection.end() ? nullptr : it->second;
}

int LiveConnections() {
  std::lock_guard lock(S().mu);
  return static_cast<int>(S().live.size());
}

bool IsLive(const TdevConnection_t* connection) {
  std::lock_guard lock(S().mu);
  return S().live.count(const_cast<TdevConnection_t*>(connection)) != 0;
}

TdevPrinterHandle_t* FindHandleLocked(const void* handle) {
  if (handle == nullptr) return nullptr;
  for (TdevConnection_t* connection : S().live)
    for (TdevPrinterHandle_t* h : connection->handles)
      if (h == handle) return h;
  return nullptr;
}

int OpenDevices(const TdevConnection_t* connection) {
  std::lock_guard lock(S().mu);
  if (!S().live.count(const_cast<TdevConnection_t*>(connection))) return 0;
  return static_cast<int>(std::count_if(connection->handles.begin(), connection->handles.end(),
                                        [](const TdevPrinterHandle_t* h) { return h->open; }));
}

std::vector<TdevPrinterHandle_t*> HandlesOf(const TdevConnection_t* connection) {
  std::lock_guard lock(S().mu);
  if (!S().live.count(const_cast<TdevConnection_t*>(connection))) return {};
  return connection->handles;
}

TdevConnection_t* ConnectionOfHandle(const void* handle) {
  std::lock_guard lock(S().mu);
  TdevPrinterHandle_t* h = FindHandleLocked(handle);
  return h ? h->connection : nullptr;
}

std::string HostOf(const TdevConnection_t* connection) {
  std::lock_guard lock(S().mu);
  if (!S().live.count(const_cast<TdevConnection_t*>(connection))) return "";
  return connection->host;
}

std::string DeviceIdOf(const void* handle) {
  std::lock_guard lock(S().mu);
  TdevPrinterHandle_t* h = FindHandleLocked(handle);
  return h ? h->deviceId : "";
}

TdevDocument_t* DocumentOf(const void* handle) {
  std::lock_guard lock(S().mu);
  TdevPrinterHandle_t* h = FindHandleLocked(handle);
  return h ? &h->document : nullptr;
}

void SetConnected(TdevConnection_t* connection, bool connected) {
  std::lock_guard lock(S().mu);
  if (S().live.count(connection)) connection->connected = connected;
}

std::vector<Call> Document(const void* handle) {
  std::lock_guard lock(S().mu);
  TdevPrinterHandle_t* h = FindHandleLocked(handle);
  return h ? h->document.elements : std::vector<Call>{};
}

std::vector<Job> Jobs() {
  std::lock_guard lock(S().mu);
  return S().jobs;
}

void SetAutoPrintResult(bool on, int32_t success, int32_t code, uint32_t status, int32_t battery) {
  std::lock_guard lock(S().mu);
  S().autoResult = AutoResult{on, success, code, status, battery};
}

bool IsInstalled(const void* handle, int slot) {
  std::lock_guard lock(S().mu);
  TdevPrinterHandle_t* h = FindHandleLocked(handle);
  return h && slot >= 0 && slot < 15 && h->slots[slot];
}

bool IsConnectionNotifierInstalled(const TdevConnection_t* connection, int slot) {
  std::lock_guard lock(S().mu);
  return S().live.count(const_cast<TdevConnection_t*>(connection)) && slot >= 0 && slot < 3 &&
         connection->notifier[slot];
}

namespace {
bool FireConnection(TdevConnection_t* connection, int slot) {
  std::string host;
  {
    std::lock_guard lock(S().mu);
    if (!S().live.count(connection) || !connection->notifier[slot]) return false;
    host = connection->host;
    if (slot == 0) {
      connection->connected = false;
      auto it = S().hostConnection.find(host);
      if (it != S().hostConnection.end() && it->second == connection) S().hostConnection.erase(it);
    }
  }
  RunNotifier(
      [connection, slot, host] {
        if (slot == 0) TdcOnDisconnected(connection, host.c_str());
        if (slot == 1) TdcOnReconnecting(connection, host.c_str());
        if (slot == 2) TdcOnReconnected(connection, host.c_str());
      },
      true);
  return true;
}
}  // namespace

bool FireReconnecting(TdevConnection_t* connection) { return FireConnection(connection, 1); }
bool FireReconnected(TdevConnection_t* connection) { return FireConnection(connection, 2); }
bool FireDisconnected(TdevConnection_t* connection) { return FireConnection(connection, 0); }

bool FireStatusEvent(TdevPrinterHandle_t* handle, int slot) {
  if (slot < 1 || slot > 12) return false;
  std::string host, deviceId;
  if (!SlotTarget(handle, slot, &host, &deviceId)) return false;
  StatusNotifier notifier = kStatusNotifiers[slot];
  RunNotifier([=] { notifier(handle, host.c_str(), deviceId.c_str()); }, true);
  return true;
}

bool FirePrintResult(TdevPrinterHandle_t* handle, int32_t success, int32_t code, uint32_t status,
                     int32_t battery, const char* printJobId) {
  std::string host, deviceId;
  if (!SlotTarget(handle, 14, &host, &deviceId)) return false;
  const bool hasJob = printJobId != nullptr;
  std::string job = hasJob ? printJobId : "";
  RunNotifier(
      [=] {
        TdcOnPrinterServiceResult(handle, host.c_str(), deviceId.c_str(), success, code, status,
                                  battery, hasJob ? job.c_str() : nullptr);
      },
      true);
  return true;
}

std::thread::id LastNotifierThread() {
  std::lock_guard lock(S().mu);
  return S().lastNotifierThread;
}

bool WaitIdle(std::chrono::milliseconds timeout) {
  std::vector<std::thread> threads;
  {
    std::unique_lock lock(S().mu);
    if (!S().cv.wait_for(lock, timeout, [] { return S().runningNotifiers == 0; })) return false;
    threads.swap(S().threads);
  }
  for (auto& t : threads)
    if (t.joinable()) t.join();
  return true;
}

}  // namespace tilo2::fake

// ---- The client's functions ---------------------------------------------------------

namespace tilo2::core {

using fake::Append;
using fake::Begin;
using fake::Call;
using fake::Finish;
using fake::FinishLocked;
using fake::MakeCall;
using fake::S;
using fake::Text;

int TdevConnectSync(TdcBackendEnv_t*, const char* host, int32_t useTls, TdevConnection_t** out,
                    int32_t timeoutMs) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevConnectSync", nullptr, {useTls, timeoutMs}, {Text(host)}),
                       &hasScript, &code);
  if (host == nullptr || out == nullptr) return Finish(index, 1);
  if (hasScript && code != 0) return Finish(index, code);
  std::lock_guard lock(S().mu);
  auto it = S().hostConnection.find(host);
  if (it != S().hostConnection.end() && it->second->connected) {
    *out = it->second;
  } else {
    auto* connection = new TdevConnection_t{fake::kConnectionMagic, host, true, {}, {}, {}};
    S().live.insert(connection);
    S().hostConnection[host] = connection;
    *out = connection;
  }
  S().calls[index].target = *out;
  return FinishLocked(index, 0);
}

int TdevDisconnectIfUnused(TdcBackendEnv_t*, TdevConnection_t* connection) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevDisconnectIfUnused", connection), &hasScript, &code);
  if (connection == nullptr) return Finish(index, 1);
  if (!fake::Alive(connection)) return Finish(index, 255);
  if (hasScript && code != 0) return Finish(index, code);
  fake::DisconnectNotify how;
  std::string host;
  bool notify;
  {
    std::lock_guard lock(S().mu);
    for (TdevPrinterHandle_t* handle : connection->handles)
      if (handle->open) return FinishLocked(index, 0);
    // An open message box uses the connection as a device does.
    for (TdevCommBoxEntry_t* entry : connection->boxes)
      if (entry->open) return FinishLocked(index, 0);
    connection->connected = false;
    host = connection->host;
    auto it = S().hostConnection.find(host);
    if (it != S().hostConnection.end() && it->second == connection) S().hostConnection.erase(it);
    how = S().disconnectNotify;
    notify = connection->notifier[0];
  }
  if (notify && how == fake::DisconnectNotify::kCallerThread) {
    TdcOnDisconnected(connection, host.c_str());
  } else if (notify && how == fake::DisconnectNotify::kOwnThread) {
    fake::RunNotifier([connection, host] { TdcOnDisconnected(connection, host.c_str()); }, false);
  }
  return Finish(index, 0);
}

int TdevDestroyConnection(TdevConnection_t* connection) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevDestroyConnection", connection), &hasScript, &code);
  if (connection == nullptr) return Finish(index, 1);
  if (!fake::Alive(connection)) return Finish(index, 255);
  {
    std::lock_guard lock(S().mu);
    if (!S().live.erase(connection)) return FinishLocked(index, 255);
    auto it = S().hostConnection.find(connection->host);
    if (it != S().hostConnection.end() && it->second == connection) S().hostConnection.erase(it);
    fake::FreeConnection(connection);
    return fake::FinishLocked(index, 0);
  }
}

int TdevIsConnected(TdevConnection_t* connection) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevIsConnected", connection), &hasScript, &code);
  if (connection == nullptr) return Finish(index, 0);
  if (hasScript) return Finish(index, code);
  bool connected;
  {
    std::lock_guard lock(S().mu);
    connected = fake::Alive(connection) && connection->connected;
  }
  return Finish(index, connected ? 1 : 0);
}

namespace {
int SetConnectionNotifier(const char* name, TdevConnection_t* connection, int slot) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall(name, connection), &hasScript, &code);
  if (connection == nullptr) return Finish(index, 1);
  if (!fake::Alive(connection)) return Finish(index, 255);
  if (hasScript && code != 0) return Finish(index, code);
  {
    std::lock_guard lock(S().mu);
    connection->notifier[slot] = true;
  }
  return Finish(index, 0);
}
}  // namespace

int TdevSetReconnectingCallback(TdevConnection_t* connection) {
  return SetConnectionNotifier("TdevSetReconnectingCallback", connection, 1);
}
int TdevSetReconnectCallback(TdevConnection_t* connection) {
  return SetConnectionNotifier("TdevSetReconnectCallback", connection, 2);
}
int TdevSetDisconnectCallback(TdevConnection_t* connection) {
  return SetConnectionNotifier("TdevSetDisconnectCallback", connection, 0);
}

// The scripted client runs no receive threads of its own.
bool TdevOnReceiveThread() { return false; }

int TdevOpenDeviceSync(TdcBackendEnv_t*, TdevConnection_t* connection, const char* deviceId,
                       int32_t type, void** outHandle, int32_t /*boundMs*/) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevOpenDeviceSync", connection, {type}, {Text(deviceId)}),
                       &hasScript, &code);
  if (connection == nullptr || deviceId == nullptr || outHandle == nullptr || *outHandle != nullptr)
    return Finish(index, 1);
  if (!fake::Alive(connection)) return Finish(index, 255);
  if (hasScript && code != 0) return Finish(index, code);
  {
    std::lock_guard lock(S().mu);
    for (TdevPrinterHandle_t* handle : connection->handles)
      if (handle->open && handle->deviceId == deviceId) return FinishLocked(index, 8);
    auto* handle =
        new TdevPrinterHandle_t{fake::kHandleMagic, connection, deviceId, type, true, {}, {}, {}};
    connection->handles.push_back(handle);
    *outHandle = handle;
  }
  return Finish(index, 0);
}

int TdevCloseDeviceSync(TdcBackendEnv_t*, TdevConnection_t* connection, void* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevCloseDeviceSync", handle), &hasScript, &code);
  if (connection == nullptr || handle == nullptr) return Finish(index, 1);
  auto* h = static_cast<TdevPrinterHandle_t*>(handle);
  if (!fake::Alive(connection) || !fake::Alive(h)) return Finish(index, 255);
  if (hasScript && code != 0) return Finish(index, code);
  {
    std::lock_guard lock(S().mu);
    h->open = false;
  }
  return Finish(index, 0);
}

TdevDocument_t* TdevGetDocument(const void* handle) {
  std::lock_guard lock(S().mu);
  TdevPrinterHandle_t* h = fake::FindHandleLocked(handle);
  return h == nullptr ? nullptr : &h->document;
}

int TdevDocClearBody(TdevDocument_t* document) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevDocClearBody", document), &hasScript, &code);
  if (document == nullptr) return Finish(index, 1);
  {
    std::lock_guard lock(S().mu);
    document->elements.clear();
  }
  return Finish(index, hasScript ? code : 0);
}

int TdevPrinterSetOnlineCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetOnlineCallback", h, 1);
}
int TdevPrinterSetOfflineCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetOfflineCallback", h, 2);
}
int TdevPrinterSetPowerOffCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetPowerOffCallback", h, 3);
}
int TdevPrinterSetCoverCloseCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetCoverCloseCallback", h, 4);
}
int TdevPrinterSetCoverOpenCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetCoverOpenCallback", h, 5);
}
int TdevPrinterSetPaperOkCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetPaperOkCallback", h, 6);
}
int TdevPrinterSetPaperNearEndCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetPaperNearEndCallback", h, 7);
}
int TdevPrinterSetPaperEmptyCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetPaperEmptyCallback", h, 8);
}
int TdevPrinterSetDrawerHighCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetDrawerHighCallback", h, 9);
}
int TdevPrinterSetDrawerLowCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetDrawerLowCallback", h, 10);
}
int TdevPrinterSetBatteryEmptyCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetBatteryEmptyCallback", h, 11);
}
int TdevPrinterSetBatteryEnoughCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetBatteryEnoughCallback", h, 12);
}
int TdevPrinterSetReceiveCallback(TdevPrinterHandle_t* h) {
  return fake::MarkSlot("TdevPrinterSetReceiveCallback", h, 14);
}

int TdevPrinterGetStatus(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, uint32_t* status,
                         int32_t* battery) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevPrinterGetStatus", handle), &hasScript, &code);
  if (status == nullptr || battery == nullptr) return Finish(index, 1);
  if (hasScript && code != 0) return Finish(index, code);
  fake::Status answer;
  {
    std::lock_guard lock(S().mu);
    if (!S().queuedStatus.empty()) {
      answer = S().queuedStatus.front();
      S().queuedStatus.pop_front();
    } else {
      answer = S().status;
    }
  }
  // A query that cannot start (no handle) leaves both outputs 0, as the client does.
  if (handle == nullptr || !fake::Alive(handle)) answer = fake::Status{0, 0, 0};
  *status = answer.word;
  *battery = answer.battery;
  return Finish(index, answer.result);
}

int TdevPrinterSendData(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t timeoutMs,
                        const char* printJobId, int32_t force, int32_t noBody) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevPrinterSendData", handle, {timeoutMs, force, noBody}, {Text(printJobId)}),
            &hasScript, &code);
  if (handle == nullptr || printJobId == nullptr) return Finish(index, 1);
  if (!fake::Alive(handle)) return Finish(index, 255);
  if (hasScript && code != 0) return Finish(index, code);
  fake::AutoResult autoResult;
  std::string host, deviceId;
  bool notify;
  {
    std::lock_guard lock(S().mu);
    fake::Job job;
    job.handle = handle;
    job.printJobId = printJobId;
    job.timeoutMs = timeoutMs;
    job.force = force;
    job.noBody = noBody;
    if (!noBody) job.document = handle->document.elements;
    S().jobs.push_back(std::move(job));
    autoResult = S().autoResult;
    notify = autoResult.on && handle->slots[14];
    host = handle->connection->host;
    deviceId = handle->deviceId;
  }
  if (notify) {
    std::string job = printJobId;
    fake::RunNotifier(
        [=] {
          TdcOnPrinterServiceResult(handle, host.c_str(), deviceId.c_str(), autoResult.success,
                                    autoResult.code, autoResult.status, autoResult.battery,
                                    job.c_str());
        },
        false);
  }
  return Finish(index, 0);
}

int TdevClearCommandBuffer(TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevClearCommandBuffer", handle), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  if (!fake::Alive(handle)) return Finish(index, 255);
  {
    std::lock_guard lock(S().mu);
    handle->document.elements.clear();
  }
  return Finish(index, hasScript ? code : 0);
}

namespace {
// Immediate operations and the monitor: recorded, the handle touched, scripted.
int HandleCall(Call call, TdevPrinterHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(std::move(call), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  if (!fake::Alive(handle)) return Finish(index, 255);
  return Finish(index, hasScript ? code : 0);
}
}  // namespace

int TdevPrinterForceRecover(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t timeoutMs) {
  return HandleCall(MakeCall("TdevPrinterForceRecover", handle, {timeoutMs}), handle);
}
int TdevPrinterForceReset(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t timeoutMs) {
  return HandleCall(MakeCall("TdevPrinterForceReset", handle, {timeoutMs}), handle);
}
int TdevPrinterForceStopSound(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t timeoutMs) {
  return HandleCall(MakeCall("TdevPrinterForceStopSound", handle, {timeoutMs}), handle);
}
int TdevPrinterForcePulse(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t drawer,
                          int32_t pulseTime, int32_t timeoutMs) {
  return HandleCall(MakeCall("TdevPrinterForcePulse", handle, {drawer, pulseTime, timeoutMs}),
                    handle);
}
int TdevPrinterForceCommand(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, const uint8_t* bytes,
                            int32_t length, int32_t timeoutMs) {
  Call call = MakeCall("TdevPrinterForceCommand", handle, {length, timeoutMs});
  if (bytes != nullptr && length > 0) call.bytes.assign(bytes, bytes + length);
  return HandleCall(std::move(call), handle);
}
int TdevSetMonitorInterval(TdevPrinterHandle_t* handle, int32_t intervalMs) {
  return HandleCall(MakeCall("TdevSetMonitorInterval", handle, {intervalMs}), handle);
}
int TdevStartMonitor(TdevPrinterHandle_t* handle) {
  return HandleCall(MakeCall("TdevStartMonitor", handle), handle);
}
int TdevStopMonitor(TdevPrinterHandle_t* handle) {
  return HandleCall(MakeCall("TdevStopMonitor", handle), handle);
}

// ---- Document builders ------------------------------------------------------------

#define TDEV_FAKE_APPEND(name, ...) return Append(MakeCall(#name, handle, {__VA_ARGS__}), handle)

int TdevPrinterAddTextAlign(TdevPrinterHandle_t* handle, int32_t align) {
  TDEV_FAKE_APPEND(TdevPrinterAddTextAlign, align);
}
int TdevPrinterAddLineSpace(TdevPrinterHandle_t* handle, int32_t linespc) {
  TDEV_FAKE_APPEND(TdevPrinterAddLineSpace, linespc);
}
int TdevPrinterAddTextRotate(TdevPrinterHandle_t* handle, int32_t rotate) {
  TDEV_FAKE_APPEND(TdevPrinterAddTextRotate, rotate);
}
int TdevPrinterAddText(TdevPrinterHandle_t* handle, const char* text) {
  return Append(MakeCall("TdevPrinterAddText", handle, {}, {Text(text)}), handle);
}
int TdevPrinterAddTextLang(TdevPrinterHandle_t* handle, int32_t lang) {
  TDEV_FAKE_APPEND(TdevPrinterAddTextLang, lang);
}
int TdevPrinterAddTextFont(TdevPrinterHandle_t* handle, int32_t font) {
  TDEV_FAKE_APPEND(TdevPrinterAddTextFont, font);
}
int TdevPrinterAddTextSmooth(TdevPrinterHandle_t* handle, int32_t smooth) {
  TDEV_FAKE_APPEND(TdevPrinterAddTextSmooth, smooth);
}
int TdevPrinterAddTextSize(TdevPrinterHandle_t* handle, int32_t width, int32_t height) {
  TDEV_FAKE_APPEND(TdevPrinterAddTextSize, width, height);
}
int TdevPrinterAddTextStyle(TdevPrinterHandle_t* handle, int32_t reverse, int32_t ul, int32_t em,
                            int32_t color) {
  TDEV_FAKE_APPEND(TdevPrinterAddTextStyle, reverse, ul, em, color);
}
int TdevPrinterAddHPosition(TdevPrinterHandle_t* handle, int32_t x) {
  TDEV_FAKE_APPEND(TdevPrinterAddHPosition, x);
}
int TdevPrinterAddFeedUnit(TdevPrinterHandle_t* handle, int32_t unit) {
  TDEV_FAKE_APPEND(TdevPrinterAddFeedUnit, unit);
}
int TdevPrinterAddFeedLine(TdevPrinterHandle_t* handle, int32_t line) {
  TDEV_FAKE_APPEND(TdevPrinterAddFeedLine, line);
}
int TdevPrinterAddImage(TdevPrinterHandle_t* handle, const uint8_t* pixels, int32_t imageWidth,
                        int32_t imageHeight, int32_t x, int32_t y, int32_t width, int32_t height,
                        int32_t color, int32_t mode, int32_t halftone, double brightness) {
  Call call = MakeCall("TdevPrinterAddImage", handle,
                       {imageWidth, imageHeight, x, y, width, height, color, mode, halftone});
  call.reals.push_back(brightness);
  // Reading every pixel lets AddressSanitizer check the block the layer hands in.
  if (pixels != nullptr && imageWidth > 0 && imageHeight > 0)
    call.bytes.assign(pixels, pixels + static_cast<size_t>(imageWidth) * imageHeight * 3);
  return Append(std::move(call), handle);
}
int TdevPrinterAddLogo(TdevPrinterHandle_t* handle, int32_t key1, int32_t key2) {
  TDEV_FAKE_APPEND(TdevPrinterAddLogo, key1, key2);
}
int TdevPrinterAddBarcode(TdevPrinterHandle_t* handle, const char* data, int32_t type, int32_t hri,
                          int32_t font, int32_t width, int32_t height) {
  return Append(
      MakeCall("TdevPrinterAddBarcode", handle, {type, hri, font, width, height}, {Text(data)}),
      handle);
}
int TdevPrinterAddSymbol(TdevPrinterHandle_t* handle, const char* data, int32_t type, int32_t level,
                         int32_t width, int32_t height, int32_t size) {
  return Append(
      MakeCall("TdevPrinterAddSymbol", handle, {type, level, width, height, size}, {Text(data)}),
      handle);
}
int TdevPrinterAddHLine(TdevPrinterHandle_t* handle, int32_t x1, int32_t x2, int32_t style) {
  TDEV_FAKE_APPEND(TdevPrinterAddHLine, x1, x2, style);
}
int TdevPrinterAddVLineBegin(TdevPrinterHandle_t* handle, int32_t x, int32_t style) {
  TDEV_FAKE_APPEND(TdevPrinterAddVLineBegin, x, style);
}
int TdevPrinterAddVLineEnd(TdevPrinterHandle_t* handle, int32_t x, int32_t style) {
  TDEV_FAKE_APPEND(TdevPrinterAddVLineEnd, x, style);
}
int TdevPrinterAddPageBegin(TdevPrinterHandle_t* handle) {
  return Append(MakeCall("TdevPrinterAddPageBegin", handle), handle);
}
int TdevPrinterAddPageEnd(TdevPrinterHandle_t* handle) {
  return Append(MakeCall("TdevPrinterAddPageEnd", handle), handle);
}
int TdevPrinterAddPageArea(TdevPrinterHandle_t* handle, int32_t x, int32_t y, int32_t width,
                           int32_t height) {
  TDEV_FAKE_APPEND(TdevPrinterAddPageArea, x, y, width, height);
}
int TdevPrinterAddPageDirection(TdevPrinterHandle_t* handle, int32_t dir) {
  TDEV_FAKE_APPEND(TdevPrinterAddPageDirection, dir);
}
int TdevPrinterAddPagePosition(TdevPrinterHandle_t* handle, int32_t x, int32_t y) {
  TDEV_FAKE_APPEND(TdevPrinterAddPagePosition, x, y);
}
int TdevPrinterAddPageLine(TdevPrinterHandle_t* handle, int32_t x1, int32_t y1, int32_t x2,
                           int32_t y2, int32_t style) {
  TDEV_FAKE_APPEND(TdevPrinterAddPageLine, x1, y1, x2, y2, style);
}
int TdevPrinterAddPageRectangle(TdevPrinterHandle_t* handle, int32_t x1, int32_t y1, int32_t x2,
                                int32_t y2, int32_t style) {
  TDEV_FAKE_APPEND(TdevPrinterAddPageRectangle, x1, y1, x2, y2, style);
}
int TdevPrinterAddCut(TdevPrinterHandle_t* handle, int32_t type) {
  TDEV_FAKE_APPEND(TdevPrinterAddCut, type);
}
int TdevPrinterAddPulse(TdevPrinterHandle_t* handle, int32_t drawer, int32_t time) {
  TDEV_FAKE_APPEND(TdevPrinterAddPulse, drawer, time);
}
int TdevPrinterAddSound(TdevPrinterHandle_t* handle, int32_t pattern, int32_t repeat,
                        int32_t cycle) {
  TDEV_FAKE_APPEND(TdevPrinterAddSound, pattern, repeat, cycle);
}
int TdevAddCommand(void* handle, const uint8_t* bytes, int32_t length) {
  auto* h = static_cast<TdevPrinterHandle_t*>(handle);
  Call call = MakeCall("TdevAddCommand", handle, {length});
  if (bytes != nullptr && length > 0) call.bytes.assign(bytes, bytes + length);
  return Append(std::move(call), h);
}
int TdevPrinterAddFeedPosition(TdevPrinterHandle_t* handle, int32_t pos) {
  TDEV_FAKE_APPEND(TdevPrinterAddFeedPosition, pos);
}
int TdevPrinterAddLayout(TdevPrinterHandle_t* handle, int32_t type, int32_t width, int32_t height,
                         int32_t marginTop, int32_t marginBottom, int32_t offsetCut,
                         int32_t offsetLabel) {
  TDEV_FAKE_APPEND(TdevPrinterAddLayout, type, width, height, marginTop, marginBottom, offsetCut,
                   offsetLabel);
}

#undef TDEV_FAKE_APPEND

}  // namespace tilo2::core

namespace tilo2::core {

// Discovery's device-service queries: no hosted devices, no port list.
int TdevGetDeviceList(const char* host, const char* name, const char* mac) {
  if (!host) return 1;
  onDeviceListResult(host, name, mac, nullptr, 0);
  return 0;
}
int TdevGetSystemPortList(const char*, int32_t*) { return 255; }

}  // namespace tilo2::core
