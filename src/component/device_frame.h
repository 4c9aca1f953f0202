#pragma once
// The frame every device class stands on: its core device record from
// construction to teardown, the handle check, the synchronous method frame,
// Admin and Location, ConnectionChanged, and the frame in which each core
// callback raises its event.
//
// The frame is generic over a device kind, a struct naming what differs
// between the classes:
//
//   struct ScannerKind {
//     using Record = ...;  // the core device record
//     using Device = ...;  // the runtime class, an Object; callbacks resolve to it
//     // Log names, "Orvik::Tilo::Tilo2::<Ns>::<Class>::<Member>":
//     static constexpr char kConstructorName[] = ...;  // also kDestructorName,
//     // kAdminName ("...::Admin::get"), kLocationName, kOnConnectionEventName
//     static void RegisterRecord(Record*);              // its registry; result not looked at
//     static void StoreCallbacks(Record&, void* userData);  // every {function, user data} pair
//     static void DestroyRecord(Record*) noexcept;      // undoes a failed construction
//     static void TearDown(Record*) noexcept;           // disconnect without an environment
//                                                       // record, clean-up calls, free
//     static std::string AdminName(const Record&);      // "" without a service connection
//     static std::string LocationName(const Record&);
//     static DeviceFrame<ScannerKind>& FrameOf(Device&);
//   };
//
// Lifetime rules the frame keeps:
// - A device object exists only behind a std::shared_ptr made by AdoptDevice,
//   and holds a weak reference to itself (Self()).
// - The record's callbacks get a never-reused id of the process-wide weak
//   table as their user data, not the object's address: a callback reaches
//   the object only while it lives. Once the last reference is gone (the
//   destructor running, or done) a callback raises nothing, so the Disconnect
//   the destructor's own disconnect reports is never delivered.
// - Teardown never runs on a core thread: the callback frame marks its thread,
//   and when the last reference drops there (the callback's own, or a handler
//   dropping the app's last one) the object goes to a pool worker to be
//   destroyed. Its disconnect may have to join the very thread the callback
//   runs on.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "component/api_log.h"
#include "component/async_frame.h"
#include "component/enum_info.h"
#include "component/result_codes.h"
#include "component/utf8_buffer.h"
#include "component/weak_table.h"
#include "orvik/tilo2/device.h"
#include "orvik/tilo2/error_status.h"
#include "orvik/tilo2/event.h"
#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/object.h"
#include "orvik/tilo2/string.h"

namespace Orvik::Tilo::Tilo2::detail {

struct EventArgsFactory {
  template <class Args, class... A>
  static std::shared_ptr<const Args> Make(A&&... a) {
    return std::shared_ptr<const Args>(new Args(std::forward<A>(a)...));
  }
};

}  // namespace Orvik::Tilo::Tilo2::detail

namespace tilo2::core {

TILO2_DEFINE_ENUM_INFO(::Orvik::Tilo::Tilo2::ConnectionEvent, "Orvik.Tilo.Tilo2.ConnectionEvent",
                       TILO2_CONNECTION_EVENT_LIST);

// {ConnectionEvent, core connection event}: the same three rows in every class.
inline constexpr std::span<const CodePair> ConnectionEventTable =
    PairTable<::Orvik::Tilo::Tilo2::ConnectionEvent>();

// True while this thread runs a core callback's frame.
bool InCoreCallback() noexcept;

// Marks the calling thread as running a core callback for its lifetime; nests.
class CoreCallbackScope {
 public:
  CoreCallbackScope() noexcept;
  ~CoreCallbackScope();
  CoreCallbackScope(const CoreCallbackScope&) = delete;
  CoreCallbackScope& operator=(const CoreCallbackScope&) = delete;
};

// Destroys a device object on this thread, or on a pool worker when this thread
// is inside a core callback. Should no worker be available the object is kept:
// a leak is the lesser harm than a teardown that joins its own thread.
void DeleteDevice(const ::Orvik::Tilo::Tilo2::Object* device) noexcept;

struct DeviceDeleter {
  void operator()(const ::Orvik::Tilo::Tilo2::Object* device) const noexcept {
    DeleteDevice(device);
  }
};

// The owner of a newly made device object; every device class's Create makes
// its object through this, never with make_shared.
template <class Device>
std::shared_ptr<Device> AdoptDevice(Device* device) {
  return std::shared_ptr<Device>(device, DeviceDeleter{});
}

template <class Kind>
class DeviceFrame {
 public:
  using Record = typename Kind::Record;
  using Device = typename Kind::Device;

  // The event sources exist and the record pointer is null; Construct does the rest.
  DeviceFrame() = default;
  DeviceFrame(const DeviceFrame&) = delete;
  DeviceFrame& operator=(const DeviceFrame&) = delete;

  // Writes the destructor's entry line (and no exit line), then disconnects and
  // frees the record. Nothing for an object whose construction failed: to the
  // app it never existed.
  ~DeviceFrame() {
    if (!constructed_) return;
    CommonUtils::LogApiInWith(kLogApiEntry, record_, Kind::kDestructorName, NoLogArguments);
    // The Disconnect the teardown reports must find no object; the object has
    // expired already, and its id goes too.
    registration_ = WeakRegistration();
    if (Record* record = std::exchange(record_, nullptr)) Kind::TearDown(record);
  }

  // The constructor's steps once `self`, the object's first owner (AdoptDevice),
  // exists: the log's header values, the entry line, the record from
  // createRecord() (which throws ErrParameter for an argument without a row
  // and ErrMemory when it cannot allocate), its registration and callbacks,
  // and the exit line. A failure disposes of the record and reaches the caller;
  // a RuntimeException also writes the exit line with its HRESULT. A local
  // folder of 260 bytes or more fails with ErrFailure before any line.
  template <class MakeArgs, class CreateRecord>
  void Construct(const std::shared_ptr<Device>& self, const MakeArgs& makeArgs,
                 CreateRecord&& createRecord) {
    CommonUtils::InitializeLog();
    CommonUtils::LogApiInWith(kLogApiEntry, nullptr, Kind::kConstructorName, makeArgs);
    Record* record = nullptr;
    try {
      record = createRecord();
      if (record == nullptr) CommonUtils::ThrowIfFailed(kTdcOutOfMemory);
      Kind::RegisterRecord(record);
      record_ = record;
      self_ = self;
      registration_ = WeakRegistration(self);
      RegisterCallbacks();
    } catch (const ::Orvik::Tilo::Tilo2::RuntimeException& e) {
      Dispose(record);
      CommonUtils::LogApiOutWith(nullptr, Kind::kConstructorName, e.HResult(), makeArgs);
      throw;
    } catch (...) {
      Dispose(record);
      throw;
    }
    CommonUtils::LogApiOutWith(record_, Kind::kConstructorName, 0, makeArgs);
    constructed_ = true;
  }

  // The record, null only before construction and after teardown.
  Record* Handle() const noexcept { return record_; }

  // The handle check: the record, or ErrFailure.
  Record& EnsureHandle() const {
    if (record_ == nullptr) throw CommonUtils::MakeException(kErrFailureNumber);
    return *record_;
  }
  // The same for a method that logs its failed check itself: an entry line and
  // an exit line with ErrFailure, both without arguments, before raising.
  Record& EnsureHandle(const char* method) const {
    if (record_ == nullptr) {
      CommonUtils::LogApiInWith(kLogApiEntry, nullptr, method, NoLogArguments);
      CommonUtils::LogApiOutWith(nullptr, method, ::Orvik::Tilo::Tilo2::ErrorStatus::ErrFailure,
                                 NoLogArguments);
      throw CommonUtils::MakeException(kErrFailureNumber);
    }
    return *record_;
  }

  // A synchronous method: work(record) between the entry and exit lines of
  // `method`, after the handle check (see RunApiCall).
  template <class MakeArgs, class Work>
  auto Call(const char* method, const MakeArgs& makeArgs, Work&& work) const {
    return RunApiCall(record_, method, makeArgs, [&] { return work(EnsureHandle()); });
  }

  // A strong reference to the object, for an operation to hold while it runs;
  // null once the object is being destroyed.
  std::shared_ptr<Device> Self() const noexcept { return self_.lock(); }

  // The user data of the record's callbacks.
  void* UserData() const noexcept { return registration_.UserData(); }

  // Never raise: a failure is logged and gives "".
  ::Orvik::Tilo::Tilo2::String Admin() const noexcept {
    return ConnectionText(Kind::kAdminName, [](const Record& r) { return Kind::AdminName(r); });
  }
  ::Orvik::Tilo::Tilo2::String Location() const noexcept {
    return ConnectionText(Kind::kLocationName,
                          [](const Record& r) { return Kind::LocationName(r); });
  }

  ::Orvik::Tilo::Tilo2::EventToken AddConnectionChanged(
      ::Orvik::Tilo::Tilo2::ConnectionChangedHandler handler) {
    return connectionChanged_.Add(std::move(handler));
  }
  void RemoveConnectionChanged(::Orvik::Tilo::Tilo2::EventToken token) {
    connectionChanged_.Remove(token);
  }

  // The record's connection callback, (record, core connection event, user
  // data), called on a core thread: raises ConnectionChanged.
  static void OnConnectionEvent(Record* record, int32_t event, void* userData) noexcept {
    using ::Orvik::Tilo::Tilo2::ConnectionChangedEventArgs;
    using ::Orvik::Tilo::Tilo2::ConnectionEvent;
    RunCallback(
        record, Kind::kOnConnectionEventName, userData, true,
        [&] {
          return LogArguments{event, Pointer{userData}};
        },
        [&] {
          const int32_t value = CommonUtils::ConvertFromCore(ConnectionEventTable, event);
          return ::Orvik::Tilo::Tilo2::detail::EventArgsFactory::Make<ConnectionChangedEventArgs>(
              static_cast<ConnectionEvent>(value));
        },
        [](const ConnectionChangedEventArgs& args) {
          return LogArguments{::Orvik::Tilo::Tilo2::String("EventType->"),
                              EnumArgument(args.EventType())};
        },
        [](Device& device, const std::shared_ptr<Device>& sender,
           const std::shared_ptr<const ConnectionChangedEventArgs>& args) {
          Kind::FrameOf(device).connectionChanged_.Raise(sender, args);
        });
  }

  // The frame of every callback that raises an event, on the core's thread:
  // the entry line with makeArgs(); unless the record, the user data and the
  // callback's data (`dataPresent`) are all there and the user data still
  // resolves to a live Device, only an exit line with ErrFailure. Otherwise
  // build() translates the report into the event's arguments (a failure: exit
  // line with ErrFailure, no event), the event line lists eventLog(args),
  // raise(device, sender, args) raises the event, and the exit line follows.
  // Whatever a handler throws ends that raise only; the exit line then carries
  // the exception's HRESULT (ErrFailure for one without) and the callback
  // still returns normally to the core.
  template <class MakeArgs, class Build, class EventLog, class Raise>
  static void RunCallback(const void* record, const char* method, const void* userData,
                          bool dataPresent, const MakeArgs& makeArgs, const Build& build,
                          const EventLog& eventLog, const Raise& raise) noexcept {
    using ::Orvik::Tilo::Tilo2::ErrorStatus;
    using ::Orvik::Tilo::Tilo2::RuntimeException;
    // Made first so it ends last: the strong reference below, maybe the last
    // one, drops while the thread is still marked.
    const CoreCallbackScope scope;
    CommonUtils::LogApiInWith(kLogApiEntry, record, method, makeArgs);
    std::shared_ptr<Device> device;
    std::invoke_result_t<const Build&> args;
    try {
      if (record != nullptr && userData != nullptr && dataPresent) {
        device = ResolveUserData<Device>(userData);
        if (device) args = build();
      }
    } catch (...) {
      args = nullptr;  // a report that cannot be translated raises nothing
    }
    if (!device || !args) {
      CommonUtils::LogApiOutWith(record, method, ErrorStatus::ErrFailure, makeArgs);
      return;
    }
    CommonUtils::LogApiInWith(kLogApiEvent, record, method, [&] { return eventLog(*args); });
    int32_t result = 0;
    try {
      raise(*device, device, args);
    } catch (const RuntimeException& e) {
      result = e.HResult();
    } catch (...) {
      result = ErrorStatus::ErrFailure;
    }
    CommonUtils::LogApiOutWith(record, method, result, makeArgs);
  }

 private:
  // What the device API answers when it cannot allocate.
  static constexpr int32_t kTdcOutOfMemory = 10;

  void RegisterCallbacks() { Kind::StoreCallbacks(EnsureHandle(), registration_.UserData()); }

  // Undoes what a failed construction made.
  void Dispose(Record* record) noexcept {
    registration_ = WeakRegistration();
    self_.reset();
    record_ = nullptr;
    if (record != nullptr) Kind::DestroyRecord(record);
  }

  template <class Read>
  ::Orvik::Tilo::Tilo2::String ConnectionText(const char* method, const Read& read) const noexcept {
    using ::Orvik::Tilo::Tilo2::String;
    const void* handle = record_;
    CommonUtils::LogApiInWith(kLogApiEntry, handle, method, NoLogArguments);
    int32_t result = 0;
    String value;
    try {
      value = CommonUtils::FromUtf8(read(EnsureHandle()).c_str());
    } catch (const ::Orvik::Tilo::Tilo2::RuntimeException& e) {
      result = e.HResult();
    } catch (...) {
      result = ::Orvik::Tilo::Tilo2::ErrorStatus::ErrFailure;
    }
    if (result != 0) {
      CommonUtils::LogApiOutWith(handle, method, result, NoLogArguments);
      return String();
    }
    CommonUtils::LogApiOutWith(handle, method, 0, [&] { return LogArguments{value}; });
    return value;
  }

  ::Orvik::Tilo::Tilo2::Event<::Orvik::Tilo::Tilo2::Object,
                              ::Orvik::Tilo::Tilo2::ConnectionChangedEventArgs>
      connectionChanged_;
  Record* record_ = nullptr;
  std::weak_ptr<Device> self_;
  WeakRegistration registration_;
  bool constructed_ = false;
};

}  // namespace tilo2::core
