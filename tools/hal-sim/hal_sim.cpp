// The simulated backend: one mutex-guarded world; handlers, acceptors and
// control handlers always run outside that lock.

#include "hal_sim.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <thread>

#include "hal/bluez_map.h"
#include "hal/socket_stream.h"
#include "hal/usb_map.h"

namespace tilo2::core::hal {

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

thread_local bool t_inDelivery = false;

struct Entry {
  DeviceRecord record;
  bool filtered = false;  // USB: listed only for its own vendor/product id
  uint16_t vendorId = 0;
  uint16_t productId = 0;
};

bool Matches(const Entry& entry, const Selector& selector) {
  return !entry.filtered ||
         (entry.vendorId == selector.vendorId && entry.productId == selector.productId);
}

}  // namespace

// ---- SimGate ------------------------------------------------------------------
bool SimGate::WaitArrived(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return cond_.wait_for(lock, timeout, [&] { return arrived_ > 0; });
}

void SimGate::Open() {
  std::lock_guard lock(mutex_);
  open_ = true;
  cond_.notify_all();
}

int SimGate::Arrived() {
  std::lock_guard lock(mutex_);
  return arrived_;
}

void SimGate::Pass() {
  std::unique_lock lock(mutex_);
  ++arrived_;
  cond_.notify_all();
  cond_.wait(lock, [&] { return open_; });
}

// ---- State ----------------------------------------------------------------------
struct SimWatcherState;

// One open link (Bluetooth) or device pipe (USB) and its fault view.
struct SimLinkEntry {
  std::string key;  // upper-cased address or id
  std::weak_ptr<SocketLink> link;
};

struct SimBackend::State {
  std::mutex mutex;
  std::condition_variable cond;
  std::map<Selector::Kind, std::vector<Entry>> lists;
  std::map<std::string, DeviceRecord> records;
  std::map<std::string, RfcommService> services;
  std::vector<std::weak_ptr<SimWatcherState>> watchers;
  int watchersCreated = 0;
  int deliveries = 0;

  std::map<std::string, std::shared_ptr<SimGate>> gates;
  std::map<std::string, Hresult> createFailures;
  int createFromIdCalls = 0;

  std::map<std::string, int> refusals;
  std::map<std::string, int> attempts;
  int lastProtection = -1;
  std::map<std::string, SimAcceptor> acceptors;
  std::map<std::string, std::deque<OwnedFd>> peers;
  std::vector<SimLinkEntry> links;

  std::map<std::string, SimControlHandler> controlHandlers;
  std::map<std::string, std::deque<SimControlReply>> controlScripts;
  std::map<std::string, std::vector<UsbSetupPacket>> setupLogs;
  std::map<std::string, bool> usbRefused;
  std::map<std::string, int> usbOpens;
  std::map<std::string, bool> unplugged;  // key: upper-cased id

  std::map<Selector::Kind, bool> noWatcher;
  bool watcherStartFails = false;
  bool noService = false;
  std::optional<Hresult> findAllError;
  bool findAllCancelled = false;
  bool createCancelled = false;
  bool serviceCancelled = false;
  std::optional<Hresult> serviceError;
  uint64_t osVersion = 0x000A000038390000ull;
  bool osVersionFails = false;

  // Read by the streams without the lock.
  std::atomic<size_t> storeLimit{0};
  std::atomic<int> storeFailures{0};
  std::atomic<bool> storeHangs{false};
  std::atomic<int> storeCalls{0};
  std::atomic<bool> flushResult{true};
  std::atomic<int> flushCalls{0};
  std::atomic<Hresult> loadError{0};
  std::atomic<bool> loadsEnd{false};

  // Live links (pruned of dead ones), under the lock.
  std::vector<std::shared_ptr<SocketLink>> LiveLinks(const std::string& key) {
    std::vector<std::shared_ptr<SocketLink>> live;
    links.erase(std::remove_if(links.begin(), links.end(),
                               [](const SimLinkEntry& e) { return e.link.expired(); }),
                links.end());
    for (const SimLinkEntry& e : links) {
      if (key.empty() || e.key == key) {
        if (auto link = e.link.lock()) live.push_back(std::move(link));
      }
    }
    return live;
  }
};

struct SimWatcherState {
  Selector selector;
  std::mutex mutex;
  bool running = false;
  WatcherToken next = 0;
  std::map<WatcherToken, std::pair<bool, WatcherHandler>> handlers;  // first: is Added

  std::vector<WatcherHandler> Handlers(bool added) {
    std::lock_guard lock(mutex);
    std::vector<WatcherHandler> list;
    if (!running) return list;
    for (auto& [token, entry] : handlers) {
      if (entry.first == added) list.push_back(entry.second);
    }
    return list;
  }

  void Deliver(bool added, const DeviceRecord& record) {
    for (auto& handler : Handlers(added)) {
      try {
        handler(record);
      } catch (...) {
        // A handler's failure stays with it.
      }
    }
  }
};

namespace {

class SimWatcher : public Watcher {
 public:
  SimWatcher(std::shared_ptr<SimBackend::State> backend, std::shared_ptr<SimWatcherState> state)
      : backend_(std::move(backend)), state_(std::move(state)) {}

  WatcherToken OnAdded(WatcherHandler handler) override { return Add(true, std::move(handler)); }
  WatcherToken OnUpdated(WatcherHandler handler) override { return Add(false, std::move(handler)); }
  void Remove(WatcherToken token) override {
    std::lock_guard lock(state_->mutex);
    state_->handlers.erase(token);
  }
  void Start() override {
    std::vector<DeviceRecord> present;
    {
      std::lock_guard lock(backend_->mutex);
      if (backend_->watcherStartFails) throw Error(kHrFail);
      {
        std::lock_guard watcherLock(state_->mutex);
        if (state_->running) return;
        state_->running = true;
      }
      for (const Entry& entry : backend_->lists[state_->selector.kind]) {
        if (Matches(entry, state_->selector)) present.push_back(entry.record);
      }
      ++backend_->deliveries;
    }
    // Devices present at the start arrive on a thread of their own.
    std::thread([backend = backend_, state = state_, present = std::move(present)] {
      t_inDelivery = true;
      for (const DeviceRecord& record : present) state->Deliver(true, record);
      std::lock_guard lock(backend->mutex);
      --backend->deliveries;
      backend->cond.notify_all();
    }).detach();
  }
  void Stop() override {
    std::lock_guard lock(state_->mutex);
    state_->running = false;
  }
  ~SimWatcher() override { Stop(); }

 private:
  WatcherToken Add(bool added, WatcherHandler handler) {
    std::lock_guard lock(state_->mutex);
    const WatcherToken token = ++state_->next;
    state_->handlers[token] = {added, std::move(handler)};
    return token;
  }

  std::shared_ptr<SimBackend::State> backend_;
  std::shared_ptr<SimWatcherState> state_;
};

// The layer's streams over a sim link, with the backend's fault switches.
class SimInput : public InputStream {
 public:
  SimInput(std::shared_ptr<SimBackend::State> state, std::shared_ptr<SocketLink> link)
      : state_(std::move(state)), link_(std::move(link)) {}
  size_t Load(void* buffer, size_t max) override {
    CheckFaults();
    const size_t n = link_->Load(buffer, max);
    if (n == 0) CheckFaults();
    return n;
  }
  void Close() noexcept override { link_->CloseInput(); }

 private:
  void CheckFaults() {
    if (link_->InputClosed()) throw Cancelled();
    if (const Hresult error = state_->loadError.load(); error != 0) throw Error(error);
  }
  std::shared_ptr<SimBackend::State> state_;
  std::shared_ptr<SocketLink> link_;
};

class SimOutput : public OutputStream {
 public:
  SimOutput(std::shared_ptr<SimBackend::State> state, std::shared_ptr<SocketLink> link)
      : state_(std::move(state)), link_(std::move(link)) {}
  size_t Store(const void* data, size_t length, Deadline deadline) override {
    state_->storeCalls.fetch_add(1);
    if (link_->Closed()) throw Error(kHrFail);
    int failures = state_->storeFailures.load();
    while (failures > 0) {
      if (state_->storeFailures.compare_exchange_weak(failures, failures - 1)) throw Error(kHrFail);
    }
    if (state_->storeHangs.load()) {
      while (std::chrono::steady_clock::now() < deadline && !link_->Closed()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      return 0;
    }
    const size_t limit = state_->storeLimit.load();
    return link_->Store(data, limit != 0 ? std::min(limit, length) : length, deadline);
  }
  bool Flush(Deadline deadline) override {
    state_->flushCalls.fetch_add(1);
    if (!link_->Flush(deadline)) return false;
    return state_->flushResult.load();
  }
  void Close() noexcept override { link_->CloseOutput(); }

 private:
  std::shared_ptr<SimBackend::State> state_;
  std::shared_ptr<SocketLink> link_;
};

class SimRfcomm : public RfcommConnection {
 public:
  SimRfcomm(const std::shared_ptr<SimBackend::State>& state, std::shared_ptr<SocketLink> link)
      : link_(link),
        input_(std::make_shared<SimInput>(state, link)),
        output_(std::make_shared<SimOutput>(state, link)) {}
  std::shared_ptr<InputStream> Input() override { return input_; }
  std::shared_ptr<OutputStream> Output() override { return output_; }
  void Close() noexcept override { link_->Close(); }

 private:
  std::shared_ptr<SocketLink> link_;
  std::shared_ptr<InputStream> input_;
  std::shared_ptr<OutputStream> output_;
};

class SimUsb : public UsbDevice {
 public:
  SimUsb(const std::shared_ptr<SimBackend::State>& state, std::string id,
         std::shared_ptr<SocketLink> link)
      : state_(state),
        id_(std::move(id)),
        link_(link),
        input_(std::make_shared<SimInput>(state, link)),
        output_(std::make_shared<SimOutput>(state, link)) {}
  std::shared_ptr<InputStream> BulkIn() override { return input_; }
  std::shared_ptr<OutputStream> BulkOut() override { return output_; }
  uint32_t ControlOut(const UsbSetupPacket& setup) override { return Transfer(setup).transferred; }
  std::vector<uint8_t> ControlIn(const UsbSetupPacket& setup, size_t capacity) override {
    SimControlReply reply = Transfer(setup);
    if (reply.data.size() > capacity) reply.data.resize(capacity);
    return reply.data;
  }
  void Close() noexcept override {
    closed_.store(true);
    link_->Close();
  }

 private:
  SimControlReply Transfer(const UsbSetupPacket& setup) {
    if (closed_.load()) throw Error(kHrFail);
    SimControlHandler handler;
    SimControlReply reply;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->unplugged[Upper(id_)]) throw Error(kHrFail);
      state_->setupLogs[Upper(id_)].push_back(setup);
      handler = state_->controlHandlers[Upper(id_)];
      if (!handler) {
        auto& script = state_->controlScripts[Upper(id_)];
        if (!script.empty()) {
          reply = std::move(script.front());
          script.pop_front();
        }
      }
    }
    if (handler) reply = handler(setup);
    if (reply.error) throw Error(*reply.error);
    return reply;
  }

  std::shared_ptr<SimBackend::State> state_;
  std::string id_;
  std::shared_ptr<SocketLink> link_;
  std::shared_ptr<InputStream> input_;
  std::shared_ptr<OutputStream> output_;
  std::atomic<bool> closed_{false};
};

}  // namespace

// ---- SimBackend -------------------------------------------------------------------
SimBackend::SimBackend() : state_(std::make_shared<State>()) {}

SimBackend::~SimBackend() {
  // Initial deliveries may still run; let them end unless this is one of them.
  if (!t_inDelivery) WaitDeliveriesIdle(std::chrono::seconds(10));
}

std::shared_ptr<SimBackend> SimBackend::Install() {
  auto backend = std::make_shared<SimBackend>();
  SetBackend(backend);
  return backend;
}

void SimBackend::Uninstall() { SetBackend(nullptr); }

namespace {

void Upsert(std::vector<Entry>& list, Entry entry) {
  for (Entry& existing : list) {
    if (existing.record.id == entry.record.id) {
      existing = std::move(entry);
      return;
    }
  }
  list.push_back(std::move(entry));
}

}  // namespace

std::string SimBackend::AddBluetoothDevice(const SimBluetoothDevice& device) {
  const std::string serviceId = BluetoothServiceId(device.adapter, device.address);
  DeviceRecord service;
  service.id = serviceId;
  if (!device.serviceUnnamed) service.properties[kKeyItemNameDisplay] = device.serviceName;
  service.properties[kKeyBluetoothAddress] = device.addressProperty.empty()
                                                 ? BluetoothAddressProperty(device.address)
                                                 : device.addressProperty;
  DeviceRecord parent;
  parent.id = BluetoothDeviceId(device.adapter, device.address);
  parent.properties[kKeyItemNameDisplay] = device.name;
  parent.properties[kKeyBluetoothAddress] = service.properties[kKeyBluetoothAddress];
  {
    std::lock_guard lock(state_->mutex);
    Upsert(state_->lists[Selector::Kind::kBluetoothSerialPort], Entry{service});
    state_->records[parent.id] = parent;
    state_->services[serviceId] = RfcommService{serviceId, Upper(device.address), device.channel};
  }
  InjectAdded(Selector::Kind::kBluetoothSerialPort, service);
  return serviceId;
}

void SimBackend::RemoveBluetoothDevice(const std::string& address) {
  {
    std::lock_guard lock(state_->mutex);
    auto& list = state_->lists[Selector::Kind::kBluetoothSerialPort];
    std::vector<std::string> gone;
    for (const auto& [id, service] : state_->services) {
      if (Upper(service.address) == Upper(address)) gone.push_back(id);
    }
    for (const std::string& id : gone) {
      state_->services.erase(id);
      list.erase(std::remove_if(list.begin(), list.end(),
                                [&](const Entry& e) { return e.record.id == id; }),
                 list.end());
    }
    for (auto it = state_->records.begin(); it != state_->records.end();) {
      const auto owner = BluetoothIdDeviceAddress(it->first);
      it = owner && *owner == Upper(address) ? state_->records.erase(it) : std::next(it);
    }
  }
  Disconnect(address);
}

void SimBackend::Disconnect(const std::string& address) {
  std::vector<std::shared_ptr<SocketLink>> live;
  {
    std::lock_guard lock(state_->mutex);
    live = state_->LiveLinks(Upper(address));
  }
  for (auto& link : live) link->Sever();
}

std::string SimBackend::PlugUsbDevice(const SimUsbDevice& device) {
  const std::string id =
      UsbInstanceId(device.vendorId, device.productId, device.serial, device.portPath);
  Entry entry{UsbRecord(id, device.name), true, device.vendorId, device.productId};
  std::vector<std::shared_ptr<SimWatcherState>> watchers;
  {
    std::lock_guard lock(state_->mutex);
    Upsert(state_->lists[Selector::Kind::kUsbDevice], entry);
    state_->unplugged[Upper(id)] = false;
    for (auto& weak : state_->watchers) {
      auto watcher = weak.lock();
      if (watcher && watcher->selector.kind == Selector::Kind::kUsbDevice &&
          Matches(entry, watcher->selector)) {
        watchers.push_back(std::move(watcher));
      }
    }
  }
  for (auto& watcher : watchers) watcher->Deliver(true, entry.record);
  return id;
}

void SimBackend::UnplugUsbDevice(const std::string& id) {
  std::vector<std::shared_ptr<SocketLink>> live;
  {
    std::lock_guard lock(state_->mutex);
    auto& list = state_->lists[Selector::Kind::kUsbDevice];
    list.erase(
        std::remove_if(list.begin(), list.end(), [&](const Entry& e) { return e.record.id == id; }),
        list.end());
    state_->unplugged[Upper(id)] = true;
    live = state_->LiveLinks(Upper(id));
  }
  for (auto& link : live) link->Sever();
}

void SimBackend::SetDevices(Selector::Kind kind, std::vector<DeviceRecord> devices) {
  std::lock_guard lock(state_->mutex);
  auto& list = state_->lists[kind];
  list.clear();
  for (auto& record : devices) list.push_back(Entry{std::move(record)});
}

void SimBackend::SetRecord(const DeviceRecord& record) {
  std::lock_guard lock(state_->mutex);
  state_->records[record.id] = record;
}

void SimBackend::RemoveRecord(const std::string& id) {
  std::lock_guard lock(state_->mutex);
  state_->records.erase(id);
}

void SimBackend::SetRfcommService(const std::string& id, const RfcommService& service) {
  std::lock_guard lock(state_->mutex);
  state_->services[id] = service;
}

namespace {

std::vector<std::shared_ptr<SimWatcherState>> WatchersOf(SimBackend::State& state,
                                                         Selector::Kind kind) {
  std::vector<std::shared_ptr<SimWatcherState>> watchers;
  std::lock_guard lock(state.mutex);
  state.watchers.erase(std::remove_if(state.watchers.begin(), state.watchers.end(),
                                      [](const auto& w) { return w.expired(); }),
                       state.watchers.end());
  for (auto& weak : state.watchers) {
    auto watcher = weak.lock();
    if (watcher && watcher->selector.kind == kind) watchers.push_back(std::move(watcher));
  }
  return watchers;
}

}  // namespace

void SimBackend::InjectAdded(Selector::Kind kind, const DeviceRecord& record) {
  for (auto& watcher : WatchersOf(*state_, kind)) watcher->Deliver(true, record);
}

void SimBackend::InjectUpdated(Selector::Kind kind, const DeviceRecord& record) {
  for (auto& watcher : WatchersOf(*state_, kind)) watcher->Deliver(false, record);
}

int SimBackend::WatchersCreated() {
  std::lock_guard lock(state_->mutex);
  return state_->watchersCreated;
}

int SimBackend::WatchersRunning() {
  std::vector<std::shared_ptr<SimWatcherState>> all;
  {
    std::lock_guard lock(state_->mutex);
    for (auto& weak : state_->watchers) {
      if (auto w = weak.lock()) all.push_back(std::move(w));
    }
  }
  int running = 0;
  for (auto& w : all) {
    std::lock_guard lock(w->mutex);
    running += w->running ? 1 : 0;
  }
  return running;
}

bool SimBackend::WaitDeliveriesIdle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  return state_->cond.wait_for(lock, timeout, [&] { return state_->deliveries == 0; });
}

std::shared_ptr<SimGate> SimBackend::HoldCreateFromId(const std::string& id) {
  auto gate = std::make_shared<SimGate>();
  std::lock_guard lock(state_->mutex);
  state_->gates[id] = gate;
  return gate;
}

void SimBackend::FailCreateFromId(const std::string& id, Hresult hresult) {
  std::lock_guard lock(state_->mutex);
  if (hresult == 0) {
    state_->createFailures.erase(id);
  } else {
    state_->createFailures[id] = hresult;
  }
}

int SimBackend::CreateFromIdCalls() {
  std::lock_guard lock(state_->mutex);
  return state_->createFromIdCalls;
}

void SimBackend::RefuseConnects(const std::string& address, int k) {
  std::lock_guard lock(state_->mutex);
  state_->refusals[Upper(address)] = k;
}

int SimBackend::ConnectAttempts(const std::string& address) {
  std::lock_guard lock(state_->mutex);
  if (!address.empty()) return state_->attempts[Upper(address)];
  int all = 0;
  for (const auto& [key, count] : state_->attempts) all += count;
  return all;
}

int SimBackend::LastProtectionLevel() {
  std::lock_guard lock(state_->mutex);
  return state_->lastProtection;
}

void SimBackend::SetAcceptor(const std::string& addressOrId, SimAcceptor acceptor) {
  std::lock_guard lock(state_->mutex);
  if (acceptor) {
    state_->acceptors[Upper(addressOrId)] = std::move(acceptor);
  } else {
    state_->acceptors.erase(Upper(addressOrId));
  }
}

OwnedFd SimBackend::TakePeer(const std::string& addressOrId, std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  auto& queue = state_->peers[Upper(addressOrId)];
  if (!state_->cond.wait_for(lock, timeout, [&] { return !queue.empty(); })) return OwnedFd();
  OwnedFd peer = std::move(queue.front());
  queue.pop_front();
  return peer;
}

int SimBackend::OpenConnections() {
  std::lock_guard lock(state_->mutex);
  int open = 0;
  for (auto& link : state_->LiveLinks("")) open += link->Closed() ? 0 : 1;
  return open;
}

void SimBackend::SetControlHandler(const std::string& id, SimControlHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->controlHandlers[Upper(id)] = std::move(handler);
}

void SimBackend::ScriptControl(const std::string& id, std::vector<SimControlReply> replies) {
  std::lock_guard lock(state_->mutex);
  auto& script = state_->controlScripts[Upper(id)];
  for (auto& reply : replies) script.push_back(std::move(reply));
}

std::vector<UsbSetupPacket> SimBackend::SetupLog(const std::string& id) {
  std::lock_guard lock(state_->mutex);
  return state_->setupLogs[Upper(id)];
}

void SimBackend::RefuseUsbOpen(const std::string& id, bool refuse) {
  std::lock_guard lock(state_->mutex);
  state_->usbRefused[Upper(id)] = refuse;
}

int SimBackend::UsbOpens(const std::string& id) {
  std::lock_guard lock(state_->mutex);
  return state_->usbOpens[Upper(id)];
}

void SimBackend::SetNoWatcher(Selector::Kind kind, bool on) {
  std::lock_guard lock(state_->mutex);
  state_->noWatcher[kind] = on;
}
void SimBackend::SetWatcherStartFails(bool on) {
  std::lock_guard lock(state_->mutex);
  state_->watcherStartFails = on;
}
void SimBackend::SetNoService(bool on) {
  std::lock_guard lock(state_->mutex);
  state_->noService = on;
}
void SimBackend::SetFindAllError(std::optional<Hresult> hresult) {
  std::lock_guard lock(state_->mutex);
  state_->findAllError = hresult;
}
void SimBackend::SetFindAllCancelled(bool on) {
  std::lock_guard lock(state_->mutex);
  state_->findAllCancelled = on;
}
void SimBackend::SetCreateFromIdCancelled(bool on) {
  std::lock_guard lock(state_->mutex);
  state_->createCancelled = on;
}
void SimBackend::SetServiceLookupCancelled(bool on) {
  std::lock_guard lock(state_->mutex);
  state_->serviceCancelled = on;
}
void SimBackend::SetServiceLookupError(std::optional<Hresult> hresult) {
  std::lock_guard lock(state_->mutex);
  state_->serviceError = hresult;
}
void SimBackend::SetStoreLimit(size_t limit) { state_->storeLimit.store(limit); }
void SimBackend::FailStores(int n) { state_->storeFailures.store(n); }
void SimBackend::SetStoreHangs(bool on) { state_->storeHangs.store(on); }
int SimBackend::StoreCalls() { return state_->storeCalls.load(); }
void SimBackend::SetFlushResult(bool result) { state_->flushResult.store(result); }
int SimBackend::FlushCalls() { return state_->flushCalls.load(); }

void SimBackend::FailLoads(Hresult hresult) {
  state_->loadError.store(hresult);
  std::vector<std::shared_ptr<SocketLink>> live;
  {
    std::lock_guard lock(state_->mutex);
    live = state_->LiveLinks("");
  }
  for (auto& link : live) link->WakeInput();
}

void SimBackend::EndLoads() {
  state_->loadsEnd.store(true);
  std::vector<std::shared_ptr<SocketLink>> live;
  {
    std::lock_guard lock(state_->mutex);
    live = state_->LiveLinks("");
  }
  // A load woken this way reads the end of its stream.
  for (auto& link : live) link->WakeInput();
}

void SimBackend::SetOsVersion(uint64_t version) {
  std::lock_guard lock(state_->mutex);
  state_->osVersion = version;
}
void SimBackend::SetOsVersionFails(bool on) {
  std::lock_guard lock(state_->mutex);
  state_->osVersionFails = on;
}

// ---- Backend calls ------------------------------------------------------------------
std::vector<DeviceRecord> SimBackend::FindAll(const Selector& selector,
                                              const std::vector<std::string>&) {
  std::lock_guard lock(state_->mutex);
  if (state_->findAllCancelled) throw Cancelled();
  if (state_->findAllError) throw Error(*state_->findAllError);
  std::vector<DeviceRecord> found;
  for (const Entry& entry : state_->lists[selector.kind]) {
    if (Matches(entry, selector)) found.push_back(entry.record);
  }
  return found;
}

std::optional<DeviceRecord> SimBackend::CreateFromId(const std::string& id,
                                                     const std::vector<std::string>&) {
  std::shared_ptr<SimGate> gate;
  {
    std::lock_guard lock(state_->mutex);
    ++state_->createFromIdCalls;
    if (state_->createCancelled) throw Cancelled();
    for (const std::string& key : {id, std::string()}) {
      if (auto it = state_->createFailures.find(key); it != state_->createFailures.end()) {
        throw Error(it->second);
      }
      if (auto it = state_->gates.find(key); it != state_->gates.end() && !gate) gate = it->second;
    }
  }
  if (gate) gate->Pass();
  std::lock_guard lock(state_->mutex);
  for (const auto& [kind, list] : state_->lists) {
    for (const Entry& entry : list) {
      if (entry.record.id == id) return entry.record;
    }
  }
  if (auto it = state_->records.find(id); it != state_->records.end()) return it->second;
  return std::nullopt;
}

std::shared_ptr<Watcher> SimBackend::CreateWatcher(const Selector& selector) {
  std::lock_guard lock(state_->mutex);
  if (state_->noWatcher[selector.kind]) return nullptr;
  auto watcher = std::make_shared<SimWatcherState>();
  watcher->selector = selector;
  state_->watchers.push_back(watcher);
  ++state_->watchersCreated;
  return std::make_shared<SimWatcher>(state_, watcher);
}

std::optional<RfcommService> SimBackend::GetRfcommService(const std::string& id) {
  std::lock_guard lock(state_->mutex);
  if (state_->serviceCancelled) throw Cancelled();
  if (state_->serviceError) throw Error(*state_->serviceError);
  if (state_->noService) return std::nullopt;
  if (auto it = state_->services.find(id); it != state_->services.end()) return it->second;
  return std::nullopt;
}

namespace {

// A new socketpair: the layer's end as a link registered under key, the peer
// end to the acceptor (called outside the lock) or the queue.
std::shared_ptr<SocketLink> Connect(SimBackend::State& state, const std::string& key,
                                    std::unique_lock<std::mutex>& lock) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw Error(kHrFail);
  auto link = std::make_shared<SocketLink>(OwnedFd(fds[0]), false);
  OwnedFd peer(fds[1]);
  state.links.push_back(SimLinkEntry{key, link});
  SimAcceptor acceptor;
  if (auto it = state.acceptors.find(key); it != state.acceptors.end()) acceptor = it->second;
  if (acceptor) {
    lock.unlock();
    acceptor(std::move(peer));
  } else {
    state.peers[key].push_back(std::move(peer));
    state.cond.notify_all();
  }
  return link;
}

}  // namespace

std::shared_ptr<RfcommConnection> SimBackend::ConnectRfcomm(const RfcommService& service,
                                                            int protectionLevel) {
  const std::string key = Upper(service.address);
  std::unique_lock lock(state_->mutex);
  ++state_->attempts[key];
  state_->lastProtection = protectionLevel;
  for (const std::string& which : {key, std::string()}) {
    if (auto it = state_->refusals.find(which); it != state_->refusals.end() && it->second > 0) {
      --it->second;
      throw Error(kHrConnectionRefused);
    }
  }
  const bool known = std::any_of(state_->services.begin(), state_->services.end(),
                                 [&](const auto& s) { return Upper(s.second.address) == key; });
  if (!known) throw Error(kHrConnectionRefused);
  auto link = Connect(*state_, key, lock);
  return std::make_shared<SimRfcomm>(state_, std::move(link));
}

std::shared_ptr<UsbDevice> SimBackend::UsbOpen(const std::string& id) {
  const std::string key = Upper(id);
  std::unique_lock lock(state_->mutex);
  ++state_->usbOpens[key];
  if (state_->usbRefused[key]) return nullptr;
  const auto& list = state_->lists[Selector::Kind::kUsbDevice];
  const bool listed =
      std::any_of(list.begin(), list.end(), [&](const Entry& e) { return e.record.id == id; });
  if (!listed) return nullptr;
  auto link = Connect(*state_, key, lock);
  return std::make_shared<SimUsb>(state_, id, std::move(link));
}

uint64_t SimBackend::OsVersion() {
  std::lock_guard lock(state_->mutex);
  if (state_->osVersionFails) throw Error(kHrFail);
  return state_->osVersion;
}

}  // namespace tilo2::core::hal
