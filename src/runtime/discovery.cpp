// The discovery classes: the filter, the found device and its event
// arguments, and Discovery, which drives the discovery engine and turns what
// it finds into Discovered events.

#include "orvik/tilo2/discovery.h"

#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "component/activation.h"
#include "component/api_log.h"
#include "component/async_frame.h"
#include "component/device_frame.h"
#include "component/enum_info.h"
#include "component/result_codes.h"
#include "component/utf8_buffer.h"
#include "device/discovery_engine.h"
#include "foundation/lock_guard.h"
#include "foundation/platform.h"
#include "runtime/discovery_internal.h"

#define TILO2_DISCOVERY_NAME(member) "Orvik::Tilo::Tilo2::Discovery::Discovery::" member

namespace tilo2::core {

namespace disc = ::Orvik::Tilo::Tilo2::Discovery;

TILO2_DEFINE_ENUM_INFO(disc::PortType, "Orvik.Tilo.Tilo2.Discovery.PortType",
                       TILO2_DISCOVERY_PORT_TYPE_LIST);
TILO2_DEFINE_ENUM_INFO(disc::DeviceModel, "Orvik.Tilo.Tilo2.Discovery.DeviceModel",
                       TILO2_DISCOVERY_DEVICE_MODEL_LIST);
TILO2_DEFINE_ENUM_INFO(disc::OrvikFilter, "Orvik.Tilo.Tilo2.Discovery.OrvikFilter",
                       TILO2_DISCOVERY_ORVIK_FILTER_LIST);
TILO2_DEFINE_ENUM_INFO(disc::DeviceType, "Orvik.Tilo.Tilo2.Discovery.DeviceType",
                       TILO2_DISCOVERY_DEVICE_TYPE_LIST);

namespace {

namespace api = ::Orvik::Tilo::Tilo2;

constexpr char kStartName[] = TILO2_DISCOVERY_NAME("StartAsync::Body");
constexpr char kStopName[] = TILO2_DISCOVERY_NAME("StopAsync::Body");
constexpr char kOnDiscoveryName[] = TILO2_DISCOVERY_NAME("OnDiscovery");

constexpr char kDefaultBroadcast[] = "255.255.255.255";

// The engine's "already running" and "failed" results.
constexpr int kTdcIllegalState = 5;
constexpr int kTdcFailure = 255;

constexpr ErrorNumber kErrIllegalStateNumber = 5;

// What a StartAsync call took from its filter.
struct FilterValues {
  disc::PortType portType = disc::PortType::All;
  api::String broadcast{kDefaultBroadcast};
  disc::DeviceModel deviceModel = disc::DeviceModel::All;
  disc::OrvikFilter orvikFilter = disc::OrvikFilter::Name;
  disc::DeviceType deviceType = disc::DeviceType::All;
};

// The process-wide state of Discovery. Never destroyed: the engine's notify
// thread may still raise an event while the process exits.
struct DiscoveryState {
  // Serialises the bodies of StartAsync and StopAsync for their whole run.
  PlatformMutex_t classLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
  // Held around the engine calls; guards storedCallback (taken after classLock).
  PlatformMutex_t engineLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
  // 1 stopped, 0 started; changed only under classLock.
  int isStopped = 1;
  // The engine's callback while its notify and polling threads run, else null.
  TdcDiscoveryCallback storedCallback = nullptr;
  api::Event<api::Object, disc::DiscoveredEventArgs> discovered;
};

DiscoveryState& State() {
  static DiscoveryState* const state = new DiscoveryState();
  return *state;
}

LogArguments FilterLogArguments(const FilterValues& f) {
  return LogArguments{EnumArgument(f.portType), f.broadcast, EnumArgument(f.deviceModel),
                      EnumArgument(f.orvikFilter), EnumArgument(f.deviceType)};
}

template <class E>
int32_t ToCore(E value) {
  return CommonUtils::ConvertToCore(PairTable<E>(), static_cast<int32_t>(value));
}

// Start in the engine's order; each step that fails undoes the earlier ones.
int StartEngine(DiscoveryState& state, const DiscoveryFilter_t& filter) {
  PlatformLockGuard engineLock(state.engineLock);
  if (!engineLock) return kTdcFailure;
  if (state.storedCallback != nullptr) return kTdcIllegalState;
  int result = TdcStartDiscovery(nullptr, &filter);
  if (result != 0) return result;
  state.storedCallback = &DiscoveryOnDiscovery;
  result = TdcStartDiscoveryNotify(state.storedCallback, &filter);
  if (result != 0) {
    TdcStopDiscovery();
    state.storedCallback = nullptr;
    return result;
  }
  result = TdcStartDiscoveryPolling();
  if (result != 0) {
    TdcStopDiscoveryNotify();
    TdcStopDiscovery();
    state.storedCallback = nullptr;
  }
  return result;
}

void StartBody(const FilterValues& values) {
  DiscoveryState& state = State();
  RunApiCall(
      nullptr, kStartName, [&] { return FilterLogArguments(values); },
      [&] {
        PlatformLockGuard classLock(state.classLock);
        if (!classLock) throw CommonUtils::MakeException(kErrFailureNumber);
        if (state.isStopped == 0) throw CommonUtils::MakeException(kErrIllegalStateNumber);
        DiscoveryFilter_t filter{};
        filter.portType = ToCore(values.portType);
        filter.deviceModel = ToCore(values.deviceModel);
        filter.nameFilter = ToCore(values.orvikFilter);
        filter.deviceType = ToCore(values.deviceType);
        const std::shared_ptr<char[]> broadcast = CommonUtils::ToUtf8(values.broadcast);
        filter.broadcast = broadcast.get();
        state.isStopped = 0;
        const int result = StartEngine(state, filter);
        if (result != 0) {
          state.isStopped = 1;
          CommonUtils::ThrowIfFailed(result);
        }
      });
}

void StopBody() {
  DiscoveryState& state = State();
  RunApiCall(nullptr, kStopName, NoLogArguments, [&] {
    PlatformLockGuard classLock(state.classLock);
    if (!classLock) throw CommonUtils::MakeException(kErrFailureNumber);
    if (state.isStopped == 1) throw CommonUtils::MakeException(kErrIllegalStateNumber);
    int result = 0;
    {
      PlatformLockGuard engineLock(state.engineLock);
      result = engineLock ? TdcStopDiscoveryPolling() : kTdcFailure;
      if (result == 0) {
        TdcStopDiscoveryNotify();
        state.storedCallback = nullptr;
        TdcStopDiscovery();
      }
    }
    // A polling stop that failed leaves the discovery started.
    CommonUtils::ThrowIfFailed(result);
    state.isStopped = 1;
  });
}

disc::DeviceType DeviceTypeOf(const FoundDevice_t& device) {
  // The engine numbers kinds as the enumeration does; an unknown kind (-1)
  // has no member and is handed on as it is.
  return static_cast<disc::DeviceType>(device.deviceType);
}

std::shared_ptr<const disc::DiscoveredEventArgs> MakeDiscoveredEventArgs(
    const FoundDevice_t& device) {
  auto info = api::detail::EventArgsFactory::Make<disc::DeviceInfo>(
      DeviceTypeOf(device), CommonUtils::FromUtf8(device.target),
      CommonUtils::FromUtf8(device.name), CommonUtils::FromUtf8(device.ip),
      CommonUtils::FromUtf8(device.mac), CommonUtils::FromUtf8(device.bdAddress));
  return api::detail::EventArgsFactory::Make<disc::DiscoveredEventArgs>(std::move(info));
}

LogArguments EventLogArguments(const disc::DeviceInfo& info) {
  return LogArguments{api::String("DeviceType->"), EnumArgument(info.DeviceType()),
                      api::String("Target->"),     info.Target(),
                      api::String("DeviceName->"), info.DeviceName(),
                      api::String("IpAddress->"),  info.IpAddress(),
                      api::String("MacAddress->"), info.MacAddress(),
                      api::String("BdAddress->"),  info.BdAddress()};
}

class FilterOptionFactory final : public ActivationFactory {
 public:
  int32_t ActivateInstance(std::shared_ptr<api::Object>* instance) noexcept override {
    if (instance == nullptr) return api::kEPointer;
    instance->reset();
    try {
      *instance = std::make_shared<disc::FilterOption>();
    } catch (const std::bad_alloc&) {
      return api::kEOutOfMemory;
    } catch (...) {
      return api::kEFail;
    }
    return api::kSOk;
  }

 private:
  ~FilterOptionFactory() override = default;
};

}  // namespace

void DiscoveryOnDiscovery(int32_t /*reserved*/, FoundDevice_t* device) {
  const auto makeArgs = [device] { return LogArguments{Pointer{device}}; };
  CommonUtils::LogApiInWith(kLogApiEntry, nullptr, kOnDiscoveryName, makeArgs);
  int32_t result = 0;
  try {
    if (device == nullptr) throw CommonUtils::MakeException(kErrFailureNumber);
    const auto args = MakeDiscoveredEventArgs(*device);
    CommonUtils::LogApiInWith(kLogApiEvent, nullptr, kOnDiscoveryName,
                              [&] { return EventLogArguments(*args->DeviceInfo()); });
    State().discovered.Raise(nullptr, args);
  } catch (const api::RuntimeException& e) {
    result = e.HResult();
  } catch (...) {
    // Whatever an app's handler throws stays on this side: the engine's notify
    // thread goes on with the next device.
    result = api::ErrorStatus::ErrFailure;
  }
  CommonUtils::LogApiOutWith(nullptr, kOnDiscoveryName, result, makeArgs);
}

api::IActivationFactory* MakeDiscoveryFactory() { return new ActivationFactory(); }

api::IActivationFactory* MakeFilterOptionFactory() { return new FilterOptionFactory(); }

}  // namespace tilo2::core

namespace Orvik::Tilo::Tilo2::Discovery {

namespace core = ::tilo2::core;

// The values sit behind a lock: an app may set them while a StartAsync call
// reads them on another thread.
struct FilterOption::State {
  mutable std::mutex mutex;
  ::Orvik::Tilo::Tilo2::Discovery::PortType portType = PortType::All;
  String broadcast{core::kDefaultBroadcast};
  ::Orvik::Tilo::Tilo2::Discovery::DeviceModel deviceModel = DeviceModel::All;
  ::Orvik::Tilo::Tilo2::Discovery::OrvikFilter orvikFilter = OrvikFilter::Name;
  ::Orvik::Tilo::Tilo2::Discovery::DeviceType deviceType = DeviceType::All;
};

FilterOption::FilterOption() : state_(std::make_unique<State>()) {}
FilterOption::~FilterOption() = default;

PortType FilterOption::PortType() const {
  std::lock_guard lock(state_->mutex);
  return state_->portType;
}
void FilterOption::PortType(::Orvik::Tilo::Tilo2::Discovery::PortType value) {
  std::lock_guard lock(state_->mutex);
  state_->portType = value;
}
String FilterOption::Broadcast() const {
  std::lock_guard lock(state_->mutex);
  return state_->broadcast;
}
void FilterOption::Broadcast(const String& value) {
  std::lock_guard lock(state_->mutex);
  state_->broadcast = value;
}
DeviceModel FilterOption::DeviceModel() const {
  std::lock_guard lock(state_->mutex);
  return state_->deviceModel;
}
void FilterOption::DeviceModel(::Orvik::Tilo::Tilo2::Discovery::DeviceModel value) {
  std::lock_guard lock(state_->mutex);
  state_->deviceModel = value;
}
OrvikFilter FilterOption::OrvikFilter() const {
  std::lock_guard lock(state_->mutex);
  return state_->orvikFilter;
}
void FilterOption::OrvikFilter(::Orvik::Tilo::Tilo2::Discovery::OrvikFilter value) {
  std::lock_guard lock(state_->mutex);
  state_->orvikFilter = value;
}
DeviceType FilterOption::DeviceType() const {
  std::lock_guard lock(state_->mutex);
  return state_->deviceType;
}
void FilterOption::DeviceType(::Orvik::Tilo::Tilo2::Discovery::DeviceType value) {
  std::lock_guard lock(state_->mutex);
  state_->deviceType = value;
}

String FilterOption::GetRuntimeClassName() const {
  return "Orvik.Tilo.Tilo2.Discovery.FilterOption";
}

DeviceInfo::DeviceInfo(::Orvik::Tilo::Tilo2::Discovery::DeviceType deviceType, String target,
                       String deviceName, String ipAddress, String macAddress, String bdAddress)
    : deviceType_(deviceType),
      target_(std::move(target)),
      deviceName_(std::move(deviceName)),
      ipAddress_(std::move(ipAddress)),
      macAddress_(std::move(macAddress)),
      bdAddress_(std::move(bdAddress)) {}

DeviceInfo::~DeviceInfo() = default;

String DeviceInfo::GetRuntimeClassName() const { return "Orvik.Tilo.Tilo2.Discovery.DeviceInfo"; }

DiscoveredEventArgs::DiscoveredEventArgs(
    std::shared_ptr<const ::Orvik::Tilo::Tilo2::Discovery::DeviceInfo> deviceInfo)
    : deviceInfo_(std::move(deviceInfo)) {}

DiscoveredEventArgs::~DiscoveredEventArgs() = default;

String DiscoveredEventArgs::GetRuntimeClassName() const {
  return "Orvik.Tilo.Tilo2.Discovery.DiscoveredEventArgs";
}

IAsyncAction Discovery::StartAsync(std::shared_ptr<FilterOption> filter) {
  // The values are taken now, on the caller's thread: a later change of the
  // filter does not reach a start already under way.
  core::FilterValues values;
  if (filter) {
    values.portType = filter->PortType();
    values.broadcast = filter->Broadcast();
    values.deviceModel = filter->DeviceModel();
    values.orvikFilter = filter->OrvikFilter();
    values.deviceType = filter->DeviceType();
  }
  return core::StartOperation([values = std::move(values)] { core::StartBody(values); });
}

IAsyncAction Discovery::StopAsync() {
  return core::StartOperation([] { core::StopBody(); });
}

EventToken Discovery::Discovered(DiscoveredHandler handler) {
  if (!handler) throw RuntimeException(kEPointer, "event handler is empty");
  return core::State().discovered.Add(
      [handler = std::move(handler)](const std::shared_ptr<Object>&,
                                     const std::shared_ptr<const DiscoveredEventArgs>& args) {
        handler(args);
      });
}

void Discovery::Discovered(EventToken token) { core::State().discovered.Remove(token); }

}  // namespace Orvik::Tilo::Tilo2::Discovery
