// The BlueZ half against a fake bluetoothd on a private bus daemon: a real
// D-Bus peer serving org.bluez's object manager, reached as the system bus.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "hal/bluez_map.h"
#include "hal/hal.h"

extern char** environ;

namespace tilo2::core::hal {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr const char* kAdapterPath = "/org/bluez/hci0";
constexpr const char* kAdapterAddress = "00:11:22:33:44:55";

struct FakeDevice {
  std::string address;
  std::string alias;
  bool paired;
  bool serialPort;
  std::string Path() const {
    std::string path = std::string(kAdapterPath) + "/dev_" + address;
    for (char& c : path) c = c == ':' ? '_' : c;
    return path;
  }
};

void AppendDevice(sd_bus_message* m, const FakeDevice& d) {
  sd_bus_message_open_container(m, 'a', "{sa{sv}}");
  sd_bus_message_open_container(m, 'e', "sa{sv}");
  sd_bus_message_append(m, "s", "org.bluez.Device1");
  sd_bus_message_open_container(m, 'a', "{sv}");
  sd_bus_message_append(m, "{sv}", "Address", "s", d.address.c_str());
  sd_bus_message_append(m, "{sv}", "Alias", "s", d.alias.c_str());
  sd_bus_message_append(m, "{sv}", "Paired", "b", d.paired ? 1 : 0);
  sd_bus_message_append(m, "{sv}", "Adapter", "o", kAdapterPath);
  sd_bus_message_append(m, "{sv}", "RSSI", "n", static_cast<int16_t>(-40));  // skipped
  if (d.serialPort) {
    sd_bus_message_append(m, "{sv}", "UUIDs", "as", 2, "0000110a-0000-1000-8000-00805f9b34fb",
                          kSerialPortUuid);
  } else {
    sd_bus_message_append(m, "{sv}", "UUIDs", "as", 0);
  }
  sd_bus_message_close_container(m);
  sd_bus_message_close_container(m);
  sd_bus_message_close_container(m);
}

// A bus daemon of our own and a fake bluetoothd on it, served on one thread.
class FakeBluez : public ::testing::Test {
 protected:
  void SetUp() override {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const char* argv[] = {"dbus-daemon", "--session",         "--nofork",
                          "--nopidfile", "--print-address=1", nullptr};
    const int rc = posix_spawnp(&daemon_, "dbus-daemon", &actions, nullptr,
                                const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
      ::close(out[0]);
      daemon_ = 0;
      GTEST_SKIP() << "no dbus-daemon";
    }
    char line[512];
    size_t used = 0;
    while (used < sizeof line - 1) {
      const ssize_t n = ::read(out[0], line + used, 1);
      if (n <= 0 || line[used] == '\n') break;
      ++used;
    }
    ::close(out[0]);
    address_.assign(line, used);
    ASSERT_FALSE(address_.empty());
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    server_ = std::thread([this] { Serve(); });
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(cond_.wait_for(lock, std::chrono::seconds(10), [&] { return ready_; }));
    ASSERT_TRUE(served_) << "the fake could not take the name";
  }

  void TearDown() override {
    running_ = false;
    if (server_.joinable()) server_.join();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (daemon_ > 0) {
      ::kill(daemon_, SIGTERM);
      ::waitpid(daemon_, nullptr, 0);
    }
  }

  // sd-bus keeps the object manager interface to itself: answer its call here.
  static int Filter(sd_bus_message* call, void* user, sd_bus_error* error) {
    if (sd_bus_message_is_method_call(call, "org.freedesktop.DBus.ObjectManager",
                                      "GetManagedObjects") <= 0) {
      return 0;
    }
    const int rc = GetManagedObjects(call, user, error);
    return rc < 0 ? rc : 1;
  }

  static int GetManagedObjects(sd_bus_message* call, void* user, sd_bus_error*) {
    auto* self = static_cast<FakeBluez*>(user);
    sd_bus_message* reply = nullptr;
    sd_bus_message_new_method_return(call, &reply);
    sd_bus_message_open_container(reply, 'a', "{oa{sa{sv}}}");
    sd_bus_message_open_container(reply, 'e', "oa{sa{sv}}");
    sd_bus_message_append(reply, "o", kAdapterPath);
    sd_bus_message_append(reply, "a{sa{sv}}", 1, "org.bluez.Adapter1", 1, "Address", "s",
                          kAdapterAddress);
    sd_bus_message_close_container(reply);
    std::vector<FakeDevice> devices;
    {
      std::lock_guard lock(self->mutex_);
      devices = self->devices_;
    }
    for (const FakeDevice& d : devices) {
      sd_bus_message_open_container(reply, 'e', "oa{sa{sv}}");
      sd_bus_message_append(reply, "o", d.Path().c_str());
      AppendDevice(reply, d);
      sd_bus_message_close_container(reply);
    }
    sd_bus_message_close_container(reply);
    const int rc = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return rc;
  }

  void Serve() {
    sd_bus* bus = nullptr;
    sd_bus_slot* slot = nullptr;
    int step = 0;
    bool ok = ++step && sd_bus_new(&bus) >= 0 && ++step &&
              sd_bus_set_address(bus, address_.c_str()) >= 0 && ++step &&
              sd_bus_set_bus_client(bus, 1) >= 0 && ++step && sd_bus_start(bus) >= 0 && ++step &&
              sd_bus_add_filter(bus, &slot, Filter, this) >= 0 && ++step &&
              sd_bus_request_name(bus, "org.bluez", 0) >= 0;
    if (!ok) fprintf(stderr, "fake bluez failed at step %d\n", step);
    {
      std::lock_guard lock(mutex_);
      ready_ = true;
      served_ = ok;
      cond_.notify_all();
    }
    while (ok && running_) {
      std::vector<FakeDevice> added;
      std::vector<std::pair<std::string, std::string>> renamed;
      {
        std::lock_guard lock(mutex_);
        added.swap(pendingAdded_);
        renamed.swap(pendingRenamed_);
      }
      for (const FakeDevice& d : added) {
        sd_bus_message* m = nullptr;
        sd_bus_message_new_signal(bus, &m, "/", "org.freedesktop.DBus.ObjectManager",
                                  "InterfacesAdded");
        sd_bus_message_append(m, "o", d.Path().c_str());
        AppendDevice(m, d);
        sd_bus_send(bus, m, nullptr);
        sd_bus_message_unref(m);
      }
      for (const auto& [path, alias] : renamed) {
        sd_bus_message* m = nullptr;
        sd_bus_message_new_signal(bus, &m, path.c_str(), "org.freedesktop.DBus.Properties",
                                  "PropertiesChanged");
        sd_bus_message_append(m, "sa{sv}as", "org.bluez.Device1", 1, "Alias", "s", alias.c_str(),
                              0);
        sd_bus_send(bus, m, nullptr);
        sd_bus_message_unref(m);
      }
      const int rc = sd_bus_process(bus, nullptr);
      if (rc < 0) break;
      if (rc == 0) sd_bus_wait(bus, 20'000);
    }
    sd_bus_slot_unref(slot);
    sd_bus_flush_close_unref(bus);
  }

  void AddLater(const FakeDevice& d) {
    std::lock_guard lock(mutex_);
    devices_.push_back(d);
    pendingAdded_.push_back(d);
  }
  void RenameLater(const FakeDevice& d, const std::string& alias) {
    std::lock_guard lock(mutex_);
    pendingRenamed_.emplace_back(d.Path(), alias);
  }

  pid_t daemon_ = 0;
  std::string address_;
  std::thread server_;
  std::atomic<bool> running_{true};
  std::mutex mutex_;
  std::condition_variable cond_;
  bool ready_ = false;
  bool served_ = false;
  std::vector<FakeDevice> devices_ = {
      {"00:1A:7D:DA:71:13", "RP-S1", true, true},
      {"00:1A:7D:DA:71:14", "Unpaired", false, true},
      {"00:1A:7D:DA:71:15", "Headset", true, false},
  };
  std::vector<FakeDevice> pendingAdded_;
  std::vector<std::pair<std::string, std::string>> pendingRenamed_;
};

TEST_F(FakeBluez, ListsPairedSerialPortDevicesAndAnswersTheirIds) {
  auto backend = LinuxBackend();
  const auto found = backend->FindAll(Selector::BluetoothSerialPort(), {kKeyBluetoothAddress});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, BluetoothServiceId(kAdapterAddress, "00:1A:7D:DA:71:13"));
  EXPECT_EQ(found[0].properties.at(kKeyItemNameDisplay), "RP-S1");
  EXPECT_EQ(found[0].properties.at(kKeyBluetoothAddress), "001A7DDA7113");
  const auto parent =
      backend->CreateFromId(BluetoothDeviceId(kAdapterAddress, "00:1A:7D:DA:71:13"), {});
  ASSERT_TRUE(parent.has_value());
  EXPECT_EQ(parent->properties.at(kKeyItemNameDisplay), "RP-S1");
  EXPECT_FALSE(backend->CreateFromId(BluetoothDeviceId(kAdapterAddress, "00:00:00:00:00:00"), {})
                   .has_value());
}

TEST_F(FakeBluez, WatcherReportsPresentAndArrivingDevicesAndRenames) {
  auto watcher = LinuxBackend()->CreateWatcher(Selector::BluetoothSerialPort());
  std::mutex mutex;
  std::condition_variable cond;
  std::vector<DeviceRecord> added;
  std::vector<DeviceRecord> updated;
  watcher->OnAdded([&](const DeviceRecord& r) {
    std::lock_guard lock(mutex);
    added.push_back(r);
    cond.notify_all();
  });
  watcher->OnUpdated([&](const DeviceRecord& r) {
    std::lock_guard lock(mutex);
    updated.push_back(r);
    cond.notify_all();
  });
  watcher->Start();
  std::unique_lock lock(mutex);
  ASSERT_TRUE(cond.wait_for(lock, std::chrono::seconds(10), [&] { return added.size() == 1; }));
  EXPECT_EQ(added[0].properties.at(kKeyItemNameDisplay), "RP-S1");
  const FakeDevice late{"00:1A:7D:DA:71:16", "RP-M10", true, true};
  lock.unlock();
  AddLater(late);
  AddLater({"00:1A:7D:DA:71:17", "Not paired", false, true});
  lock.lock();
  ASSERT_TRUE(cond.wait_for(lock, std::chrono::seconds(10), [&] { return added.size() == 2; }));
  EXPECT_EQ(added[1].id, BluetoothServiceId(kAdapterAddress, late.address));
  EXPECT_EQ(added[1].properties.at(kKeyBluetoothAddress), "001A7DDA7116");
  lock.unlock();
  RenameLater(late, "RP-M10 renamed");
  lock.lock();
  ASSERT_TRUE(cond.wait_for(lock, std::chrono::seconds(10), [&] { return updated.size() == 1; }));
  EXPECT_EQ(updated[0].id, added[1].id);
  EXPECT_EQ(updated[0].properties.at(kKeyItemNameDisplay), "RP-M10 renamed");
  EXPECT_EQ(added.size(), 2u);  // the unpaired one never
  lock.unlock();
  watcher->Stop();
}

}  // namespace
}  // namespace tilo2::core::hal
