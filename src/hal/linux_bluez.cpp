// Bluetooth printers through BlueZ: devices over D-Bus (sd-bus), the RFCOMM
// channel by an SDP search (libbluetooth), data on a kernel RFCOMM socket.
// Without a system bus, bluetoothd or an adapter: nothing is listed, watchers
// find nothing, connects fail with E_ACCESSDENIED.

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "foundation/lock_guard.h"
#include "foundation/poll_wait.h"
#include "hal/bluez_map.h"
#include "hal/linux_backend.h"
#include "hal/loop_watcher.h"
#include "hal/socket_stream.h"

namespace tilo2::core::hal {

namespace {

constexpr uint64_t kBusCallUsec = 5'000'000;  // D-Bus calls: 5 s
constexpr int kSdpMs = 5000;                  // SDP connect and search: 5 s each
constexpr int kConnectMs = 10000;             // one RFCOMM connect attempt

struct BusRef {
  sd_bus* bus = nullptr;
  ~BusRef() {
    if (bus != nullptr) sd_bus_flush_close_unref(bus);
  }
};

struct MessageRef {
  sd_bus_message* message = nullptr;
  ~MessageRef() {
    if (message != nullptr) sd_bus_message_unref(message);
  }
};

// Reads a variant holding one basic value of type.
template <typename T>
bool ReadVariant(sd_bus_message* m, char type, T* out) {
  const char sig[2] = {type, 0};
  if (sd_bus_message_enter_container(m, 'v', sig) <= 0) return false;
  const bool ok = sd_bus_message_read_basic(m, type, out) > 0;
  sd_bus_message_exit_container(m);
  return ok;
}

// Properties (a{sv}) of an Adapter1 or Device1 into what the layer keeps.
// changed, if given, collects the names read.
bool ReadProperties(sd_bus_message* m, BluezAdapter* adapter, BluezDevice* device,
                    std::set<std::string>* changed) {
  if (sd_bus_message_enter_container(m, 'a', "{sv}") <= 0) return false;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* name = nullptr;
    if (sd_bus_message_read_basic(m, 's', &name) <= 0) return false;
    const std::string key = name;
    const char* text = nullptr;
    int flag = 0;
    bool read = false;
    if (key == "Address" && ReadVariant(m, 's', &text)) {
      if (adapter != nullptr) adapter->address = text;
      if (device != nullptr) device->address = text;
      read = true;
    } else if (key == "Alias" && device != nullptr && ReadVariant(m, 's', &text)) {
      device->alias = text;
      read = true;
    } else if (key == "Paired" && device != nullptr && ReadVariant(m, 'b', &flag)) {
      device->paired = flag != 0;
      read = true;
    } else if (key == "Adapter" && device != nullptr && ReadVariant(m, 'o', &text)) {
      device->adapterPath = text;
      read = true;
    } else if (key == "UUIDs" && device != nullptr &&
               sd_bus_message_enter_container(m, 'v', "as") > 0) {
      char** list = nullptr;
      if (sd_bus_message_read_strv(m, &list) >= 0 && list != nullptr) {
        device->uuids.clear();
        for (char** s = list; *s != nullptr; ++s) {
          device->uuids.emplace_back(*s);
          free(*s);
        }
        free(list);
        read = true;
      }
      sd_bus_message_exit_container(m);
    } else {
      sd_bus_message_skip(m, "v");
    }
    if (read && changed != nullptr) changed->insert(key);
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
  return true;
}

std::string AdapterPathOf(const std::string& devicePath) {
  const size_t cut = devicePath.rfind("/dev_");
  return cut == std::string::npos ? std::string() : devicePath.substr(0, cut);
}

// One object's interfaces (a{sa{sv}}).
void ReadInterfaces(sd_bus_message* m, const std::string& path, std::vector<BluezAdapter>& adapters,
                    std::vector<BluezDevice>& devices) {
  if (sd_bus_message_enter_container(m, 'a', "{sa{sv}}") <= 0) return;
  while (sd_bus_message_enter_container(m, 'e', "sa{sv}") > 0) {
    const char* interface = nullptr;
    sd_bus_message_read_basic(m, 's', &interface);
    const std::string name = interface != nullptr ? interface : "";
    if (name == "org.bluez.Adapter1") {
      BluezAdapter adapter{path, {}};
      ReadProperties(m, &adapter, nullptr, nullptr);
      adapters.push_back(adapter);
    } else if (name == "org.bluez.Device1") {
      BluezDevice device;
      device.path = path;
      device.adapterPath = AdapterPathOf(path);
      ReadProperties(m, nullptr, &device, nullptr);
      devices.push_back(device);
    } else {
      sd_bus_message_skip(m, "a{sv}");
    }
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
}

// BlueZ's adapters and devices; false without a bus or bluetoothd.
bool ManagedObjects(sd_bus* bus, std::vector<BluezAdapter>& adapters,
                    std::vector<BluezDevice>& devices) {
  MessageRef call;
  MessageRef reply;
  if (sd_bus_message_new_method_call(bus, &call.message, "org.bluez", "/",
                                     "org.freedesktop.DBus.ObjectManager",
                                     "GetManagedObjects") < 0) {
    return false;
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int rc = sd_bus_call(bus, call.message, kBusCallUsec, &error, &reply.message);
  sd_bus_error_free(&error);
  if (rc < 0) return false;
  sd_bus_message* m = reply.message;
  if (sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}") <= 0) return false;
  while (sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}") > 0) {
    const char* path = nullptr;
    sd_bus_message_read_basic(m, 'o', &path);
    ReadInterfaces(m, path != nullptr ? path : "", adapters, devices);
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
  return true;
}

bool ManagedObjects(std::vector<BluezAdapter>& adapters, std::vector<BluezDevice>& devices) {
  BusRef bus;
  if (sd_bus_open_system(&bus.bus) < 0) return false;
  return ManagedObjects(bus.bus, adapters, devices);
}

class RfcommLink : public RfcommConnection {
 public:
  explicit RfcommLink(std::shared_ptr<SocketLink> link)
      : link_(link), input_(link->MakeInput()), output_(link->MakeOutput()) {}
  std::shared_ptr<InputStream> Input() override { return input_; }
  std::shared_ptr<OutputStream> Output() override { return output_; }
  void Close() noexcept override { link_->Close(); }

 private:
  std::shared_ptr<SocketLink> link_;
  std::shared_ptr<InputStream> input_;
  std::shared_ptr<OutputStream> output_;
};

// ---- The watcher: a bus thread of its own ----
struct BluezWatchState : WatchHandlers {
  // Bus thread only.
  std::vector<BluezAdapter> adapters;
  std::map<std::string, BluezDevice> devices;  // by path
  std::set<std::string> reported;              // service ids sent as Added

  void Deliver(bool added, const DeviceRecord& record) {
    std::vector<WatcherHandler> list;
    {
      PlatformLockGuard guard(lock);
      for (auto& [token, entry] : handlers) {
        if (entry.first == added) list.push_back(entry.second);
      }
    }
    for (auto& handler : list) {
      if (!running.load()) return;
      try {
        handler(record);
      } catch (...) {
      }
    }
  }

  // Reports a device as Added once it offers SerialPort; later name changes
  // as Updated.
  void Consider(const BluezDevice& device, bool aliasChanged) {
    auto record = BluezServiceRecord(adapters, device);
    if (!record) return;
    if (reported.insert(record->id).second) {
      Deliver(true, *record);
    } else if (aliasChanged && device.alias) {
      DeviceRecord update{record->id, {{kKeyItemNameDisplay, *device.alias}}};
      Deliver(false, update);
    }
  }
};

int OnInterfacesAdded(sd_bus_message* m, void* user, sd_bus_error*) {
  auto* state = static_cast<BluezWatchState*>(user);
  const char* path = nullptr;
  if (sd_bus_message_read_basic(m, 'o', &path) <= 0 || path == nullptr) return 0;
  std::vector<BluezAdapter> adapters;
  std::vector<BluezDevice> devices;
  ReadInterfaces(m, path, adapters, devices);
  for (auto& adapter : adapters) state->adapters.push_back(adapter);
  for (auto& device : devices) {
    state->devices[device.path] = device;
    state->Consider(device, false);
  }
  return 0;
}

int OnPropertiesChanged(sd_bus_message* m, void* user, sd_bus_error*) {
  auto* state = static_cast<BluezWatchState*>(user);
  const char* interface = nullptr;
  if (sd_bus_message_read_basic(m, 's', &interface) <= 0 || interface == nullptr ||
      std::strcmp(interface, "org.bluez.Device1") != 0) {
    return 0;
  }
  const std::string path = sd_bus_message_get_path(m) != nullptr ? sd_bus_message_get_path(m) : "";
  BluezDevice& device = state->devices[path];
  if (device.path.empty()) {
    device.path = path;
    device.adapterPath = AdapterPathOf(path);
  }
  std::set<std::string> changed;
  ReadProperties(m, nullptr, &device, &changed);
  state->Consider(device, changed.count("Alias") != 0);
  return 0;
}

void BusLoop(std::shared_ptr<BluezWatchState> state) {
  BusRef bus;
  // No system bus: the watcher runs and finds nothing.
  if (sd_bus_open_system(&bus.bus) < 0) return;
  sd_bus_match_signal(bus.bus, nullptr, "org.bluez", "/", "org.freedesktop.DBus.ObjectManager",
                      "InterfacesAdded", OnInterfacesAdded, state.get());
  sd_bus_match_signal(bus.bus, nullptr, "org.bluez", nullptr, "org.freedesktop.DBus.Properties",
                      "PropertiesChanged", OnPropertiesChanged, state.get());
  std::vector<BluezDevice> present;
  ManagedObjects(bus.bus, state->adapters, present);
  std::vector<DeviceRecord> records = BluezServiceRecords(state->adapters, present);
  for (auto& device : present) state->devices[device.path] = device;
  for (auto& record : records) {
    if (state->reported.insert(record.id).second) state->Deliver(true, record);
  }
  while (state->running.load()) {
    const int rc = sd_bus_process(bus.bus, nullptr);
    if (rc < 0) break;
    if (rc > 0) continue;
    if (sd_bus_wait(bus.bus, 200'000) < 0) break;
  }
}

// The RFCOMM channel of the device's Serial Port service; 0 when none.
int SdpSerialPortChannel(const std::string& address) {
  bdaddr_t target{};
  bdaddr_t any{};
  if (str2ba(address.c_str(), &target) != 0) return 0;
  sdp_session_t* session = sdp_connect(&any, &target, SDP_NON_BLOCKING);
  if (session == nullptr) return 0;
  const int fd = sdp_get_socket(session);
  int channel = 0;
  short revents = 0;
  int error = 0;
  socklen_t length = sizeof error;
  if (PollWait(fd, POLLOUT, kSdpMs, &revents) == 1 &&
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
    // The search itself blocks, bounded by the socket's time-outs.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    timeval limit{kSdpMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    uuid_t serialPort;
    sdp_uuid16_create(&serialPort, SERIAL_PORT_SVCLASS_ID);
    uint32_t range = 0x0000ffff;
    sdp_list_t* search = sdp_list_append(nullptr, &serialPort);
    sdp_list_t* attributes = sdp_list_append(nullptr, &range);
    sdp_list_t* found = nullptr;
    if (sdp_service_search_attr_req(session, search, SDP_ATTR_REQ_RANGE, attributes, &found) == 0) {
      for (sdp_list_t* r = found; r != nullptr; r = r->next) {
        auto* record = static_cast<sdp_record_t*>(r->data);
        sdp_list_t* protocols = nullptr;
        if (channel == 0 && sdp_get_access_protos(record, &protocols) == 0) {
          const int port = sdp_get_proto_port(protocols, RFCOMM_UUID);
          if (port > 0 && port <= 30) channel = port;
          for (sdp_list_t* p = protocols; p != nullptr; p = p->next) {
            sdp_list_free(static_cast<sdp_list_t*>(p->data), nullptr);
          }
          sdp_list_free(protocols, nullptr);
        }
        sdp_record_free(record);
      }
      sdp_list_free(found, nullptr);
    }
    sdp_list_free(search, nullptr);
    sdp_list_free(attributes, nullptr);
  }
  sdp_close(session);
  return channel;
}

class BluezHalf : public LinuxBluetooth {
 public:
  std::vector<DeviceRecord> FindAll() override {
    std::vector<BluezAdapter> adapters;
    std::vector<BluezDevice> devices;
    if (!ManagedObjects(adapters, devices)) return {};
    return BluezServiceRecords(adapters, std::move(devices));
  }

  std::optional<DeviceRecord> CreateFromId(const std::string& id) override {
    if (!BluetoothIdDeviceAddress(id)) return std::nullopt;
    std::vector<BluezAdapter> adapters;
    std::vector<BluezDevice> devices;
    if (!ManagedObjects(adapters, devices)) return std::nullopt;
    return BluezRecordOfId(adapters, devices, id);
  }

  std::shared_ptr<Watcher> CreateWatcher() override {
    return std::make_shared<LoopWatcher<BluezWatchState>>(std::make_shared<BluezWatchState>(),
                                                          &BusLoop);
  }

  std::optional<RfcommService> GetRfcommService(const std::string& id) override {
    const auto address = BluetoothIdDeviceAddress(id);
    if (!address || !IsBluetoothServiceId(id)) return std::nullopt;
    const int channel = SdpSerialPortChannel(*address);
    if (channel == 0) return std::nullopt;
    return RfcommService{id, *address, static_cast<uint8_t>(channel)};
  }

  std::shared_ptr<RfcommConnection> Connect(const RfcommService& service,
                                            int protectionLevel) override {
    sockaddr_rc remote{};
    remote.rc_family = AF_BLUETOOTH;
    remote.rc_channel = service.channel;
    if (str2ba(service.address.c_str(), &remote.rc_bdaddr) != 0) throw Error(kHrInvalidArg);
    // A fresh socket per attempt; no Bluetooth in the kernel: no access.
    OwnedFd fd(::socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, BTPROTO_RFCOMM));
    if (!fd) throw Error(kHrAccessDenied);
    bt_security security{};
    security.level = protectionLevel == kProtectionBluetoothEncryptionAllowNullAuthentication
                         ? BT_SECURITY_MEDIUM
                         : BT_SECURITY_LOW;
    ::setsockopt(fd.Get(), SOL_BLUETOOTH, BT_SECURITY, &security, sizeof security);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
      if (errno != EINPROGRESS && errno != EAGAIN) throw Error(ConnectError(errno));
      const int ready = PollWait(fd.Get(), POLLOUT, kConnectMs);
      if (ready == 0) throw Error(kHrTimeout);
      int error = 0;
      socklen_t length = sizeof error;
      if (ready < 0 || ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        throw Error(kHrFail);
      }
      if (error != 0) throw Error(ConnectError(error));
    }
    return std::make_shared<RfcommLink>(std::make_shared<SocketLink>(std::move(fd), true));
  }

 private:
  static Hresult ConnectError(int error) {
    if (error == ECONNREFUSED) return kHrConnectionRefused;
    if (error == ETIMEDOUT || error == EHOSTDOWN) return kHrTimeout;
    if (error == ENODEV || error == EHOSTUNREACH || error == EACCES || error == EPERM) {
      return kHrAccessDenied;
    }
    return kHrFail;
  }
};

}  // namespace

std::unique_ptr<LinuxBluetooth> CreateLinuxBluetooth() { return std::make_unique<BluezHalf>(); }

}  // namespace tilo2::core::hal
