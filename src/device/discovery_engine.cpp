// The discovery engine. The polling thread asks the connection layer's active
// finders what they see and appends every device to the found list; the
// notify thread hands what is new to the runtime's callback; for every plain
// network printer one short query thread asks its device service for the
// devices it hosts, whose answer lands in onDeviceListResult.
//
// Locks, always taken in this order: the discovery lock (finder start, stop
// and every poll), the engine lock (whether the notify side runs, which
// printers this run asked, the query threads), the found-list signal's mutex
// (the list and its marks). The engine lock is a static mutex: a device-list
// answer that comes at any time, even long after a stop, finds it alive and
// learns under it whether there is still a list to add to.

#include "device/discovery_engine.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "device/target.h"
#include "device/test_hooks.h"
#include "foundation/lock_guard.h"
#include "foundation/platform.h"
#include "io/connection_interface.h"
#include "io/finder_bridge.h"
#include "io/io_types.h"
#include "io/udp_discovery.h"
#include "io/wait_signal.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

constexpr size_t kTargetMax = 255;
constexpr int kFirstPollMs = 200;
constexpr int kPollIntervalMs = 1000;
constexpr int kNotifySliceMs = 10000;

// ---- Found records --------------------------------------------------------

// A deep copy of a found device. The view's pointers point into the strings,
// so a record is built in place and never moved.
struct FoundRecord {
  FoundDevice_t view{};
  std::string target;
  std::optional<std::string> name, ip, mac;
  std::string bdAddress;

  FoundRecord(int32_t type, std::string targetText, const char* nameText, const char* ipText,
              const char* macText, std::string bd)
      : target(std::move(targetText)), bdAddress(std::move(bd)) {
    if (nameText) name.emplace(nameText);
    if (ipText) ip.emplace(ipText);
    if (macText) mac.emplace(macText);
    view.deviceType = type;
    view.target = target.data();
    view.name = name ? name->data() : nullptr;
    view.ip = ip ? ip->data() : nullptr;
    view.mac = mac ? mac->data() : nullptr;
    view.bdAddress = bdAddress.data();
  }
  FoundRecord(const FoundRecord&) = delete;
  FoundRecord& operator=(const FoundRecord&) = delete;
};

// Null when memory runs out; every copy is made in here.
std::unique_ptr<FoundRecord> MakeRecord(int32_t type, const std::string& target, const char* name,
                                        const char* ip, const char* mac, const char* bdAddress) {
  try {
    return std::make_unique<FoundRecord>(type, target, name, ip, mac, bdAddress);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// ---- Engine state -------------------------------------------------------------

PlatformMutex_t g_discoveryLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
PlatformMutex_t g_engineLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
// Start and stop of each side are serialised apart from the engine lock: a
// stop joins threads that take the engine lock themselves.
PlatformMutex_t g_notifyControl = PLATFORM_MUTEX_STATIC_INITIALIZER;
PlatformMutex_t g_pollingControl = PLATFORM_MUTEX_STATIC_INITIALIZER;

struct DiscoveryNotify_t {
  TdcDiscoveryCallback callback;
  int32_t connectionFilter;
  int32_t deviceType;
};

struct NotifySide {
  // Under g_engineLock.
  bool running = false;
  uint64_t run = 0;
  std::set<std::string, std::less<>> asked;  // printer addresses this run sent a query for
  std::vector<PlatformThread_t> queries;
  wait_signal_t* signal = nullptr;  // the found-list signal while running

  // Under the found-list signal's mutex.
  std::vector<std::unique_ptr<FoundRecord>> list;
  std::set<std::pair<int32_t, std::string>> seen;  // {deviceType, target} of every record
  size_t lastTaken = 0;                            // records before this index were handed out

  // Under g_notifyControl.
  PlatformThread_t thread = nullptr;
  uint32_t threadId = 0;
};

// Allocated once and never freed: a late device-list answer may come while
// the process exits.
NotifySide& Notify() {
  static NotifySide* side = new NotifySide;
  return *side;
}

std::atomic<int> g_stopFlag{0};
std::atomic<uint32_t> g_notifyThreadId{0};

PlatformThread_t g_pollingThread = nullptr;  // under g_pollingControl

constexpr TdcDeviceListOps kRealDeviceListOps = {TdevGetDeviceList, TdevGetSystemPortList};
std::atomic<const TdcDeviceListOps*> g_deviceListOps{&kRealDeviceListOps};

// Room for one more element, growing geometrically, so that a push_back after
// it cannot fail.
template <typename T>
void ReserveOneMore(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(v.capacity() < 16 ? 16 : v.capacity() * 2);
}

// ---- Found list ---------------------------------------------------------------

// The caller holds the engine lock and the notify side runs.
int PushLocked(std::unique_ptr<FoundRecord> record) {
  NotifySide& side = Notify();
  wait_signal_t* signal = side.signal;
  if (!record || !signal) return TDC_ERR_MEMORY;
  PlatformLockGuard lock(signal->mutex);
  if (!lock) return TDC_ERR_FAILURE;
  try {
    ReserveOneMore(side.list);  // the append below cannot fail then
    if (!side.seen.emplace(record->view.deviceType, record->target).second) return TDC_ERR_ILLEGAL;
  } catch (const std::bad_alloc&) {
    return TDC_ERR_MEMORY;
  }
  side.list.push_back(std::move(record));
  signal->waiting = 1;
  wait_signal_notify(signal);
  signal->waiting = 0;
  return TDC_SUCCESS;
}

int Push(std::unique_ptr<FoundRecord> record) {
  PlatformLockGuard lock(g_engineLock);
  if (!lock || !Notify().running || g_stopFlag.load() != 0) return TDC_ERR_FAILURE;
  return PushLocked(std::move(record));
}

// Wakes the notify thread (a push, or a stop that wants it to look at the flag).
void WakeNotify(wait_signal_t* signal) {
  PlatformLockGuard lock(signal->mutex);
  signal->waiting = 1;
  wait_signal_notify(signal);
  signal->waiting = 0;
}

// The records added since the last take, in list order; waits for some while
// the stop flag stays clear. 0 with a batch, 255 when the notify side stops.
int TakeNewFoundDevices(wait_signal_t* signal, std::vector<FoundDevice_t*>& batch) {
  NotifySide& side = Notify();
  batch.clear();
  PlatformLockGuard lock(signal->mutex);
  if (!lock) return TDC_ERR_FAILURE;
  for (;;) {
    if (side.lastTaken < side.list.size()) {
      try {
        for (size_t i = side.lastTaken; i < side.list.size(); ++i)
          batch.push_back(&side.list[i]->view);
      } catch (const std::bad_alloc&) {
        batch.clear();
        return TDC_ERR_MEMORY;
      }
      side.lastTaken = side.list.size();
      return TDC_SUCCESS;
    }
    signal->state = WAIT_SIGNAL_NOT_SET;
    if (g_stopFlag.load() != 0) return TDC_ERR_FAILURE;
    signal->waiting = 1;
    int waited = 0;
    do {
      waited = wait_signal_timedwait(signal, kNotifySliceMs);
    } while (waited == WAIT_SIGNAL_NOT_SET && g_stopFlag.load() == 0);
    signal->waiting = 0;
    if (waited != WAIT_SIGNAL_SET || g_stopFlag.load() != 0) return TDC_ERR_FAILURE;
  }
}

// ---- Device-list queries --------------------------------------------------------

struct QueryArgs {
  std::string address;
  std::optional<std::string> ip, mac;
};

void* DeviceListQueryThread(void* argument) {
  std::unique_ptr<QueryArgs> args(static_cast<QueryArgs*>(argument));
  const TdcDeviceListOps* ops = g_deviceListOps.load();
  ops->getDeviceList(args->address.c_str(), args->ip ? args->ip->c_str() : nullptr,
                     args->mac ? args->mac->c_str() : nullptr);
  return nullptr;
}

// One query per printer and run; the thread is joined by the notify stop.
void StartDeviceListQuery(const char* address, const char* ip, const char* mac) {
  if (!address) return;
  NotifySide& side = Notify();
  PlatformLockGuard lock(g_engineLock);
  if (!lock || !side.running) return;
  std::set<std::string, std::less<>>::iterator asked;
  try {
    bool fresh = false;
    std::tie(asked, fresh) = side.asked.insert(address);
    if (!fresh) return;
  } catch (const std::bad_alloc&) {
    return;
  }
  // From here on a failure takes the entry back: no answer can come for it.
  try {
    ReserveOneMore(side.queries);
    auto args = std::make_unique<QueryArgs>();
    args->address = address;
    if (ip) args->ip.emplace(ip);
    if (mac) args->mac.emplace(mac);
    PlatformThread_t thread = nullptr;
    if (platform_thread_create(&thread, DeviceListQueryThread, args.get()) != PLATFORM_OK) {
      side.asked.erase(asked);
      return;
    }
    args.release();
    side.queries.push_back(thread);
  } catch (const std::bad_alloc&) {
    side.asked.erase(asked);
  }
}

// ---- Notify thread -----------------------------------------------------------------

void DeliverBatch(const DiscoveryNotify_t& notify, const std::vector<FoundDevice_t*>& batch) {
  for (FoundDevice_t* record : batch) {
    // A stop that began meanwhile wants no more callbacks: it waits for this thread.
    if (g_stopFlag.load() != 0) return;
    TdcTarget_t* target = nullptr;
    if (TdcParseTarget(record->target, &target) != TDC_SUCCESS || !target) continue;
    const int hasId = target->deviceId && target->deviceId[0] != '\0' ? 2 : 1;
    if ((notify.connectionFilter == 0 || notify.connectionFilter == hasId) &&
        (notify.deviceType == 0 || notify.deviceType == record->deviceType)) {
      notify.callback(0, record);
    }
    // The printer's hosted devices are asked for whether or not the printer
    // itself passed the filters.
    int32_t portType = 0;
    if ((notify.connectionFilter == 0 || notify.connectionFilter == 2) && hasId == 1 &&
        (record->deviceType == 1 || record->deviceType == 2) &&
        TdcGetPortType(target->portText, &portType) == TDC_SUCCESS && portType == TDC_PORT_TCP) {
      StartDeviceListQuery(target->address, record->ip, record->mac);
    }
    TdcFreeTarget(target);
  }
}

void* DiscoveryNotifyThread(void* argument) {
  std::unique_ptr<DiscoveryNotify_t> notify(static_cast<DiscoveryNotify_t*>(argument));
  g_notifyThreadId = platform_thread_self_id();
  wait_signal_t* signal = nullptr;
  {
    PlatformLockGuard lock(g_engineLock);
    signal = Notify().signal;
  }
  std::vector<FoundDevice_t*> batch;
  while (signal && TakeNewFoundDevices(signal, batch) == TDC_SUCCESS) DeliverBatch(*notify, batch);
  // Thread ids are reused: a later thread must not pass for this one.
  g_notifyThreadId = 0;
  return nullptr;
}

// ---- Polling thread ---------------------------------------------------------------------

void ReportFoundDevice(int connectionType, const char* name, const char* address, const char* ip,
                       const char* mac) {
  if (!address) return;
  const char* prefix = "";
  bool bluetooth = false;
  switch (connectionType) {
    case TILOIO_TYPE_TCP:
      prefix = "TCP:";
      break;
    case TILOIO_TYPE_BLUETOOTH:
      prefix = "BT:";
      bluetooth = true;
      break;
    case TILOIO_TYPE_USB:
      prefix = "USB:";
      break;
    default:
      break;
  }
  std::string target;
  try {
    target = std::string(prefix) + address;
    if (target.size() > kTargetMax) target.resize(kTargetMax);
  } catch (const std::bad_alloc&) {
    return;
  }
  const char* bdAddress = bluetooth ? address : "";
  if (g_stopFlag.load() != 0) return;
  Push(MakeRecord(1, target, name, ip, mac, bdAddress));
  // A hybrid printer is both a printer and a hybrid printer; the X5D is a plain printer.
  if (name && std::strstr(name, "X5") && !std::strstr(name, "X5D"))
    Push(MakeRecord(2, target, name, ip, mac, bdAddress));
}

void* DiscoveryPollingThread(void*) {
  int wait = kFirstPollMs;
  while (wait_signal_wait(wait) == WAIT_SIGNAL_NOT_SET) {
    {
      PlatformLockGuard lock(g_discoveryLock);
      if (lock) {
        TiloIoSetFoundDeviceCallback(ReportFoundDevice);
        TiloIoPollDiscovery();
      }
    }
    wait = kPollIntervalMs;
  }
  return nullptr;
}

int MapStartResult(int io) {
  switch (io) {
    case TILOIO_SUCCESS:
      return TDC_SUCCESS;
    case TILOIO_PARAMETER_ERROR:
      return TDC_ERR_PARAM;
    case TILOIO_TIMEOUT:
      return TDC_ERR_TIMEOUT;
    case TILOIO_OUT_OF_MEMORY:
      return TDC_ERR_MEMORY;
    case TILOIO_ILLEGAL_STATE:
      return TDC_ERR_ILLEGAL;
    case TILOIO_BUSY:
      return TDC_ERR_PROCESSING;
    default:
      return TDC_ERR_FAILURE;
  }
}

}  // namespace

void TdcSetDeviceListOps(const TdcDeviceListOps* ops) {
  g_deviceListOps = ops ? ops : &kRealDeviceListOps;
}

int TdcStartDiscovery(TdcEnvData_t*, const DiscoveryFilter_t* filter) {
  if (!filter) return TDC_ERR_PARAM;
  int mask = 0;
  switch (filter->portType) {
    case 0:
      mask = TILOIO_FINDER_ALL;
      break;
    case 1:
      mask = TILOIO_FINDER_UDP;
      break;
    case 3:
      mask = TILOIO_FINDER_BLUETOOTH;
      break;
    case 4:
      mask = TILOIO_FINDER_USB;
      break;
    default:
      return TDC_ERR_PARAM;
  }
  if (filter->nameFilter != 0 && filter->nameFilter != 1) return TDC_ERR_PARAM;
  TiloIoDiscoveryRequest_t request{mask, filter->broadcast, filter->nameFilter == 0 ? 1 : 0};
  PlatformLockGuard lock(g_discoveryLock);
  if (!lock) return TDC_ERR_FAILURE;
  return MapStartResult(TiloIoStartDiscovery(nullptr, &request));
}

int TdcStopDiscovery() {
  PlatformLockGuard lock(g_discoveryLock);
  const int active = TiloIoGetActiveFinders();
  if (active & TILOIO_FINDER_UDP) TiloIoUdpStopDiscovery();
  if (active & TILOIO_FINDER_BLUETOOTH) TiloIoBtStopFinder();
  if (active & TILOIO_FINDER_USB) TiloIoUsbStopFinder();
  TiloIoClearActiveFinders();
  return TDC_SUCCESS;
}

int TdcStartDiscoveryNotify(TdcDiscoveryCallback callback, const DiscoveryFilter_t* filter) {
  if (!callback || !filter) return TDC_ERR_PARAM;
  NotifySide& side = Notify();
  PlatformLockGuard control(g_notifyControl);
  if (!control) return TDC_ERR_FAILURE;
  if (side.thread) return TDC_ERR_ILLEGAL;
  auto* notify =
      new (std::nothrow) DiscoveryNotify_t{callback, filter->deviceModel, filter->deviceType};
  if (!notify) return TDC_ERR_FAILURE;
  wait_signal_t* signal = nullptr;
  if (wait_signal_create(&signal) != 0 || wait_signal_reset(signal) != 0) {
    wait_signal_destroy(signal);
    delete notify;
    return TDC_ERR_FAILURE;
  }
  g_stopFlag = 0;
  {
    PlatformLockGuard list(signal->mutex);
    side.list.clear();
    side.seen.clear();
    side.lastTaken = 0;
  }
  {
    PlatformLockGuard lock(g_engineLock);
    side.signal = signal;
    side.running = true;
    ++side.run;
    side.asked.clear();
  }
  PlatformThread_t thread = nullptr;
  if (platform_thread_create(&thread, DiscoveryNotifyThread, notify) != PLATFORM_OK) {
    {
      PlatformLockGuard lock(g_engineLock);
      side.running = false;
      side.signal = nullptr;
    }
    wait_signal_destroy(signal);
    delete notify;
    return TDC_ERR_FAILURE;
  }
  side.thread = thread;
  return TDC_SUCCESS;
}

int TdcStopDiscoveryNotify() {
  NotifySide& side = Notify();
  // The callback runs on the notify thread: a stop from there would wait for itself.
  if (g_notifyThreadId.load() == platform_thread_self_id()) return TDC_ERR_ILLEGAL;
  PlatformLockGuard control(g_notifyControl);
  if (!control) return TDC_ERR_FAILURE;
  if (!side.thread) return TDC_ERR_ILLEGAL;
  wait_signal_t* signal = side.signal;
  g_stopFlag = 1;
  WakeNotify(signal);
  platform_thread_join(side.thread);
  platform_thread_close(side.thread);
  side.thread = nullptr;
  g_notifyThreadId = 0;

  // From here on no answer reaches the list: whatever comes is dropped.
  std::vector<PlatformThread_t> queries;
  {
    PlatformLockGuard lock(g_engineLock);
    side.running = false;
    side.signal = nullptr;
    side.asked.clear();
    queries.swap(side.queries);
  }
  for (PlatformThread_t query : queries) {
    platform_thread_join(query);
    platform_thread_close(query);
  }
  {
    PlatformLockGuard list(signal->mutex);
    side.list.clear();
    side.seen.clear();
    side.lastTaken = 0;
  }
  WakeNotify(signal);
  wait_signal_destroy(signal);
  return TDC_SUCCESS;
}

int TdcStartDiscoveryPolling() {
  PlatformLockGuard control(g_pollingControl);
  if (!control) return TDC_ERR_FAILURE;
  if (g_pollingThread) return TDC_ERR_ILLEGAL;
  wait_signal_t* signal = nullptr;
  if (wait_signal_create(&signal) != 0) return TDC_ERR_FAILURE;
  wait_signal_reset(signal);
  wait_signal_install_polling(signal);
  if (platform_thread_create(&g_pollingThread, DiscoveryPollingThread, nullptr) != PLATFORM_OK) {
    g_pollingThread = nullptr;
    wait_signal_destroy(wait_signal_take_polling());
    return TDC_ERR_FAILURE;
  }
  return TDC_SUCCESS;
}

int TdcStopDiscoveryPolling() {
  PlatformLockGuard control(g_pollingControl);
  if (!control) return TDC_ERR_FAILURE;
  if (!g_pollingThread) return TDC_ERR_ILLEGAL;
  int result = TDC_SUCCESS;
  if (wait_signal_set() != 0) result = TDC_ERR_FAILURE;
  // Taking the signal away also ends a thread that missed the set: its next
  // wait finds no signal.
  wait_signal_t* signal = wait_signal_take_polling();
  if (platform_thread_join(g_pollingThread) != PLATFORM_OK) result = TDC_ERR_FAILURE;
  platform_thread_close(g_pollingThread);
  g_pollingThread = nullptr;
  wait_signal_destroy(signal);
  return result;
}

void onDeviceListResult(const char* host, const char* ip, const char* mac,
                        TdevDeviceListEntry_t* entries, int32_t count) {
  if (!host || !ip || !mac || !entries || count <= 0) return;
  NotifySide& side = Notify();
  uint64_t run = 0;
  {
    PlatformLockGuard lock(g_engineLock);
    if (!lock || !side.running || !side.asked.contains(host)) return;
    run = side.run;
  }
  // The port list may take the service's whole timeout: asked without any lock.
  int32_t ports[2] = {0, 0};
  const bool tls = g_deviceListOps.load()->getSystemPortList(host, ports) == 0 && ports[1] != 0;
  const char* prefix = tls ? "TCPS:" : "TCP:";

  std::vector<std::unique_ptr<FoundRecord>> records;
  try {
    for (int32_t i = 0; i < count; ++i) {
      const TdevDeviceListEntry_t& entry = entries[i];
      if (!entry.deviceId) continue;
      const int32_t type = entry.type >= 0 && entry.type <= 5 ? entry.type + 1 : -1;
      std::string target = std::string(prefix) + host + "[" + entry.deviceId + "]";
      auto record = MakeRecord(type, target, entry.modelName, ip, mac, "");
      if (record) records.push_back(std::move(record));
    }
  } catch (const std::bad_alloc&) {
    // What could be built is still delivered.
  }

  // The check and the pushes under one lock: a stop that comes meanwhile
  // either waits for the pushes or makes them drop.
  PlatformLockGuard lock(g_engineLock);
  if (!lock || !side.running || side.run != run || g_stopFlag.load() != 0 ||
      !side.asked.contains(host))
    return;
  for (auto& record : records) PushLocked(std::move(record));
}

}  // namespace tilo2::core
