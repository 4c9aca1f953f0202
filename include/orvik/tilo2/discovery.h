#pragma once
// Finding devices: network printers by UDP broadcast, Bluetooth and USB
// printers, and the devices that a network printer's device service hosts.
//
//   auto token = Discovery::Discovered([](const auto& args) {
//     const auto& info = args->DeviceInfo();
//     // info->Target() is what a device's ConnectAsync takes.
//   });
//   Discovery::StartAsync(nullptr).get();  // the default filter
//   ...
//   Discovery::StopAsync().get();
//   Discovery::Discovered(token);
//
// One discovery runs at a time in the process: a second StartAsync fails with
// ErrorStatus::ErrIllegalState and leaves the running one alone, as does a
// StopAsync while none runs. A device is reported once per start (a hybrid
// printer twice: as Printer and as HybridPrinter, with one target).
//
// Discovered is raised synchronously on the discovery's own thread, one
// device at a time, handlers in the order they were added. StopAsync waits
// for that thread to end, so once it has completed no event comes any more,
// and a Discovered handler must not wait for StopAsync, nor for a StartAsync
// (which may be queued behind a stop), nor for anything that waits for
// either: it would wait for its own thread. Starting or stopping from a
// handler without waiting is fine. An exception leaving a handler skips the
// later handlers for that device only.

#include <cstdint>
#include <functional>
#include <memory>

#include "orvik/tilo2/async.h"
#include "orvik/tilo2/enum_list.h"
#include "orvik/tilo2/event.h"
#include "orvik/tilo2/export.h"
#include "orvik/tilo2/object.h"
#include "orvik/tilo2/string.h"

// Which transports are searched. The core numbers Bluetooth 3.
#define TILO2_DISCOVERY_PORT_TYPE_LIST(MEMBER, ROW) \
  MEMBER(All, 0, 0)                                 \
  MEMBER(Tcp, 1, 1)                                 \
  MEMBER(Bluetooth, 2, 3)

#define TILO2_DISCOVERY_DEVICE_MODEL_LIST(MEMBER, ROW) MEMBER(All, 0, 0)

// Name: Bluetooth and USB devices are listed only when their names are the
// maker's model names; None: every such device is listed.
#define TILO2_DISCOVERY_ORVIK_FILTER_LIST(MEMBER, ROW) \
  MEMBER(Name, 0, 0)                                   \
  MEMBER(None, 1, 1)

#define TILO2_DISCOVERY_DEVICE_TYPE_LIST(MEMBER, ROW) \
  MEMBER(All, 0, 0)                                   \
  MEMBER(Printer, 1, 1)                               \
  MEMBER(HybridPrinter, 2, 2)                         \
  MEMBER(Display, 3, 3)                               \
  MEMBER(Keyboard, 4, 4)                              \
  MEMBER(Scanner, 5, 5)                               \
  MEMBER(Serial, 6, 6)

namespace Orvik::Tilo::Tilo2::detail {
// The library's way to make event arguments, which apps cannot construct.
struct EventArgsFactory;
}  // namespace Orvik::Tilo::Tilo2::detail

namespace Orvik::Tilo::Tilo2::Discovery {

enum class PortType : int32_t {
  TILO2_DISCOVERY_PORT_TYPE_LIST(TILO2_ENUM_MEMBER, TILO2_ENUM_NO_ROW)
};
enum class DeviceModel : int32_t {
  TILO2_DISCOVERY_DEVICE_MODEL_LIST(TILO2_ENUM_MEMBER, TILO2_ENUM_NO_ROW)
};
enum class OrvikFilter : int32_t {
  TILO2_DISCOVERY_ORVIK_FILTER_LIST(TILO2_ENUM_MEMBER, TILO2_ENUM_NO_ROW)
};
// A device that a device service lists with a kind this SDK does not know
// arrives with the value -1, which has no member.
enum class DeviceType : int32_t {
  TILO2_DISCOVERY_DEVICE_TYPE_LIST(TILO2_ENUM_MEMBER, TILO2_ENUM_NO_ROW)
};

// What StartAsync searches for. The setters take any value; StartAsync refuses
// one outside its enumeration with ErrorStatus::ErrParameter. The properties
// may be set from any thread; StartAsync takes their values at its call.
// Activatable as "Orvik.Tilo.Tilo2.Discovery.FilterOption".
class TILO2_EXPORT FilterOption final : public Object {
 public:
  // All, "255.255.255.255", All, Name, All.
  FilterOption();
  ~FilterOption() override;
  FilterOption(const FilterOption&) = delete;
  FilterOption& operator=(const FilterOption&) = delete;

  ::Orvik::Tilo::Tilo2::Discovery::PortType PortType() const;
  void PortType(::Orvik::Tilo::Tilo2::Discovery::PortType value);
  // The address the network queries go to (UTF-8, at most 31 bytes).
  String Broadcast() const;
  void Broadcast(const String& value);
  ::Orvik::Tilo::Tilo2::Discovery::DeviceModel DeviceModel() const;
  void DeviceModel(::Orvik::Tilo::Tilo2::Discovery::DeviceModel value);
  ::Orvik::Tilo::Tilo2::Discovery::OrvikFilter OrvikFilter() const;
  void OrvikFilter(::Orvik::Tilo::Tilo2::Discovery::OrvikFilter value);
  // All, or the one kind of device to report.
  ::Orvik::Tilo::Tilo2::Discovery::DeviceType DeviceType() const;
  void DeviceType(::Orvik::Tilo::Tilo2::Discovery::DeviceType value);

  // "Orvik.Tilo.Tilo2.Discovery.FilterOption"
  String GetRuntimeClassName() const override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// One device found. Target is what the device classes' ConnectAsync takes:
// "TCP:<address>", "BT:<address>" or "USB:<instance id>", and for a device that
// a device service hosts "TCP:" or "TCPS:", the printer's address and the
// device id in brackets. IpAddress and MacAddress are those of the network
// printer (the hosting one for a hosted device), BdAddress the Bluetooth
// address of a Bluetooth device; each is "" when unknown. Text a device sent
// that is not valid UTF-8 comes with U+FFFD in place of the bad bytes.
class TILO2_EXPORT DeviceInfo final : public Object {
 public:
  ~DeviceInfo() override;

  ::Orvik::Tilo::Tilo2::Discovery::DeviceType DeviceType() const noexcept { return deviceType_; }
  const String& Target() const noexcept { return target_; }
  const String& DeviceName() const noexcept { return deviceName_; }
  const String& IpAddress() const noexcept { return ipAddress_; }
  const String& MacAddress() const noexcept { return macAddress_; }
  const String& BdAddress() const noexcept { return bdAddress_; }

  // "Orvik.Tilo.Tilo2.Discovery.DeviceInfo"
  String GetRuntimeClassName() const override;

 private:
  friend struct ::Orvik::Tilo::Tilo2::detail::EventArgsFactory;
  DeviceInfo(::Orvik::Tilo::Tilo2::Discovery::DeviceType deviceType, String target,
             String deviceName, String ipAddress, String macAddress, String bdAddress);

  ::Orvik::Tilo::Tilo2::Discovery::DeviceType deviceType_;
  String target_;
  String deviceName_;
  String ipAddress_;
  String macAddress_;
  String bdAddress_;
};

// The argument of Discovered.
class TILO2_EXPORT DiscoveredEventArgs final : public Object {
 public:
  ~DiscoveredEventArgs() override;

  const std::shared_ptr<const ::Orvik::Tilo::Tilo2::Discovery::DeviceInfo>& DeviceInfo()
      const noexcept {
    return deviceInfo_;
  }

  // "Orvik.Tilo.Tilo2.Discovery.DiscoveredEventArgs"
  String GetRuntimeClassName() const override;

 private:
  friend struct ::Orvik::Tilo::Tilo2::detail::EventArgsFactory;
  explicit DiscoveredEventArgs(
      std::shared_ptr<const ::Orvik::Tilo::Tilo2::Discovery::DeviceInfo> deviceInfo);

  std::shared_ptr<const ::Orvik::Tilo::Tilo2::Discovery::DeviceInfo> deviceInfo_;
};

using DiscoveredHandler = std::function<void(const std::shared_ptr<const DiscoveredEventArgs>&)>;

// Static only: the class has no instances. Its thread and what a Discovered
// handler may call and wait for: docs/threading.md.
class TILO2_EXPORT Discovery {
 public:
  Discovery() = delete;

  // Starts searching with `filter` (null: a new FilterOption's defaults).
  // Fails with ErrIllegalState while a discovery runs, ErrParameter for a
  // filter value outside its enumeration; the discovery is then stopped. A
  // broadcast text the network search refuses (32 bytes or more, or no IPv4
  // address) fails a PortType::Tcp start with ErrParameter; with
  // PortType::All the Bluetooth and USB search start without it.
  static IAsyncAction StartAsync(std::shared_ptr<FilterOption> filter);
  // Stops it and waits until no Discovered event can come any more; fails
  // with ErrIllegalState when none runs. Never wait for it inside a
  // Discovered handler.
  static IAsyncAction StopAsync();

  // The Discovered event: add gives a token (RuntimeException(kEPointer) for an
  // empty handler), remove takes it (an unknown token does nothing). Safe
  // from any thread, handlers included; a change takes effect from the next
  // device on.
  static EventToken Discovered(DiscoveredHandler handler);
  static void Discovered(EventToken token);
};

}  // namespace Orvik::Tilo::Tilo2::Discovery
