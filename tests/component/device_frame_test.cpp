#include "component/device_frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cinttypes>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "api_log_fixture.h"
#include "component/async_frame.h"
#include "orvik/tilo2/device.h"
#include "orvik/tilo2/error_status.h"
#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/platform.h"

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

constexpr char kConstructorName[] = "Orvik::Tilo::Tilo2::Test::Gadget::Gadget";
constexpr char kDestructorName[] = "Orvik::Tilo::Tilo2::Test::Gadget::~Gadget";
constexpr char kAdminName[] = "Orvik::Tilo::Tilo2::Test::Gadget::Admin::get";
constexpr char kLocationName[] = "Orvik::Tilo::Tilo2::Test::Gadget::Location::get";
constexpr char kOnConnectionEventName[] = "Orvik::Tilo::Tilo2::Test::Gadget::OnConnectionEvent";
constexpr char kBeepName[] = "Orvik::Tilo::Tilo2::Test::Gadget::Beep";
constexpr int32_t kEAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t kModeDeviceService = 2;

struct FakeRecord;
using ConnectionCallback = void (*)(FakeRecord*, int32_t, void*);

// The core device record of the test-only device kind.
struct FakeRecord {
  int32_t mode = -3;
  int32_t series = 0;
  ConnectionCallback connectionCallback = nullptr;
  void* connectionUserData = nullptr;
  // The service connection's texts; read only while mode is 2.
  std::string admin;
  std::string location;
  int32_t beepResult = 0;
};

// What the fake device API saw, and its failure switches.
class FakeCore {
 public:
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = State{};
  }

  struct State {
    int registered = 0;
    int destroyed = 0;  // disposed of after a failed construction
    int tornDown = 0;
    bool failStoreCallbacks = false;
    bool failAdmin = false;
    std::thread::id teardownThread;
    bool teardownMarked = false;
  };

  template <class F>
  auto With(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(state_);
  }

  void NoteTeardown(bool marked) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++state_.tornDown;
    state_.teardownThread = std::this_thread::get_id();
    state_.teardownMarked = marked;
    changed_.notify_all();
  }

  // Waits (at a generous deadline) until `count` records were torn down.
  bool WaitTornDown(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60),
                             [&] { return state_.tornDown >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_;
};

FakeCore& Core() {
  static FakeCore core;
  return core;
}

class Gadget;

struct GadgetKind {
  using Record = FakeRecord;
  using Device = Gadget;
  static constexpr const char* kConstructorName = ::kConstructorName;
  static constexpr const char* kDestructorName = ::kDestructorName;
  static constexpr const char* kAdminName = ::kAdminName;
  static constexpr const char* kLocationName = ::kLocationName;
  static constexpr const char* kOnConnectionEventName = ::kOnConnectionEventName;

  static void RegisterRecord(FakeRecord*) {
    Core().With([](FakeCore::State& s) { ++s.registered; });
  }
  static void StoreCallbacks(FakeRecord& record, void* userData) {
    if (Core().With([](FakeCore::State& s) { return s.failStoreCallbacks; })) {
      throw RuntimeException(ErrorStatus::ErrMemory);
    }
    record.connectionCallback = &DeviceFrame<GadgetKind>::OnConnectionEvent;
    record.connectionUserData = userData;
  }
  static void DestroyRecord(FakeRecord* record) noexcept {
    Core().With([](FakeCore::State& s) { ++s.destroyed; });
    delete record;
  }
  // As the device API does: a disconnect of a service connection reports
  // event 2 on the calling thread before the record's pairs are cleared.
  // Noted once it is all done, so a test waiting for it finds nothing running.
  static void TearDown(FakeRecord* record) noexcept {
    const bool marked = InCoreCallback();
    if (record->mode == kModeDeviceService) {
      record->mode = 0;
      if (record->connectionCallback != nullptr) {
        record->connectionCallback(record, 2, record->connectionUserData);
      }
    }
    record->connectionCallback = nullptr;
    record->connectionUserData = nullptr;
    delete record;
    Core().NoteTeardown(marked);
  }
  static std::string AdminName(const FakeRecord& record) {
    if (Core().With([](FakeCore::State& s) { return s.failAdmin; })) throw std::bad_alloc();
    return record.mode == kModeDeviceService ? record.admin : std::string();
  }
  static std::string LocationName(const FakeRecord& record) {
    return record.mode == kModeDeviceService ? record.location : std::string();
  }
  static DeviceFrame<GadgetKind>& FrameOf(Gadget& device);
};

// A device class of the test-only kind, shaped as the real classes are.
class Gadget final : public Object, public IDevice {
 public:
  // series 0 or 1.
  static std::shared_ptr<Gadget> Create(int32_t series) {
    std::shared_ptr<Gadget> device = AdoptDevice(new Gadget());
    device->frame_.Construct(
        device, [&] { return LogArguments{series}; },
        [&] {
          CommonUtils::CheckRange(series, 0, 1, true, true);
          auto* record = new (std::nothrow) FakeRecord();
          if (record != nullptr) record->series = series;
          return record;
        });
    return device;
  }

  String GetRuntimeClassName() const override { return "Orvik.Tilo.Tilo2.Test.Gadget"; }
  String Admin() const override { return frame_.Admin(); }
  String Location() const override { return frame_.Location(); }
  EventToken ConnectionChanged(ConnectionChangedHandler handler) override {
    return frame_.AddConnectionChanged(std::move(handler));
  }
  void ConnectionChanged(EventToken token) override { frame_.RemoveConnectionChanged(token); }

  // A synchronous method over a core call answering record.beepResult.
  void Beep(int32_t count) {
    frame_.Call(
        kBeepName, [&] { return LogArguments{count}; },
        [&](FakeRecord& record) {
          CommonUtils::CheckRange(count, 1, 9, true, true);
          CommonUtils::ThrowIfFailed(record.beepResult);
        });
  }

  FakeRecord* Record() const { return frame_.Handle(); }
  std::shared_ptr<Gadget> Self() const { return frame_.Self(); }

 private:
  friend struct GadgetKind;
  Gadget() = default;

  DeviceFrame<GadgetKind> frame_;
};

DeviceFrame<GadgetKind>& GadgetKind::FrameOf(Gadget& device) { return device.frame_; }

// The record as connected through a device service would be.
void Connect(const std::shared_ptr<Gadget>& device, std::string admin = {},
             std::string location = {}) {
  FakeRecord* record = device->Record();
  record->mode = kModeDeviceService;
  record->admin = std::move(admin);
  record->location = std::move(location);
}

// What the device API keeps of a record to call it back.
struct CallbackPair {
  FakeRecord* record;
  ConnectionCallback function;
  void* userData;
};
CallbackPair PairOf(const std::shared_ptr<Gadget>& device) {
  FakeRecord* record = device->Record();
  return {record, record->connectionCallback, record->connectionUserData};
}

// Reports `event` as a core thread of its own would, and waits for it. True
// when the callback returned to its caller.
bool ReportOnCoreThread(const CallbackPair& pair, int32_t event) {
  bool returned = false;
  std::thread core([&] {
    pair.function(pair.record, event, pair.userData);
    returned = true;
  });
  core.join();
  return returned;
}

std::string Hex(const void* p) {
  char text[24];
  std::snprintf(text, sizeof text, "%016" PRIxPTR, reinterpret_cast<uintptr_t>(p));
  return text;
}
std::string PointerText(const void* p) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016" PRIXPTR, reinterpret_cast<uintptr_t>(p));
  return text;
}
std::string Line(const char* mark, const void* handle, const std::string& result, const char* name,
                 const std::string& args) {
  return std::string("APIIO,") + mark + "," + Hex(handle) + ",," + result + "," + name + "," + args;
}

class DeviceFrameTest : public ApiLogTest {
 protected:
  void SetUp() override {
    ApiLogTest::SetUp();
    Core().Reset();
  }
};

// A handler that counts what it saw.
struct Seen {
  std::mutex mutex;
  std::vector<ConnectionEvent> events;
  std::vector<std::shared_ptr<Object>> senders;

  ConnectionChangedHandler Handler() {
    return [this](const std::shared_ptr<Object>& sender,
                  const std::shared_ptr<const ConnectionChangedEventArgs>& args) {
      std::lock_guard<std::mutex> lock(mutex);
      events.push_back(args->EventType());
      senders.push_back(sender);
    };
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return events.size();
  }
};

TEST_F(DeviceFrameTest, ConstructorAndDestructorLines) {
  use_file();
  FakeRecord* record = nullptr;
  {
    std::shared_ptr<Gadget> device = Gadget::Create(1);
    record = device->Record();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->series, 1);
    EXPECT_EQ(device->Self(), device);
    // The callbacks carry a weak id that resolves to the object, not its address.
    EXPECT_NE(record->connectionUserData, static_cast<void*>(device.get()));
    EXPECT_EQ(ResolveUserData<Gadget>(record->connectionUserData), device);
    EXPECT_EQ(Core().With([](FakeCore::State& s) { return s.registered; }), 1);
  }
  EXPECT_EQ(Core().With([](FakeCore::State& s) { return s.tornDown; }), 1);
  // Released on the app's thread, it is torn down there.
  EXPECT_EQ(Core().With([](FakeCore::State& s) { return s.teardownThread; }),
            std::this_thread::get_id());
  const std::vector<std::string> expected = {
      Line("->", nullptr, "", kConstructorName, "(1)"),
      Line("<-", record, "0", kConstructorName, "(1)"),
      Line("->", record, "", kDestructorName, "()"),
  };
  EXPECT_EQ(ApiBodies(), expected);
}

// A failed construction disposes of what it made, writes its exit line with
// a null handle, and leaves no object behind: no destructor line, no teardown.
TEST_F(DeviceFrameTest, FailedConstructionTable) {
  use_file();
  struct Case {
    const char* name;
    int32_t series;
    bool failStoreCallbacks;
    int32_t hresult;
    int destroyed;
  };
  const Case cases[] = {
      {"argument out of range", 7, false, ErrorStatus::ErrParameter, 0},
      {"callbacks cannot be stored", 0, true, ErrorStatus::ErrMemory, 1},
  };
  for (const Case& c : cases) {
    Core().Reset();
    Core().With([&](FakeCore::State& s) { s.failStoreCallbacks = c.failStoreCallbacks; });
    const size_t before = ApiBodies().size();
    try {
      Gadget::Create(c.series);
      ADD_FAILURE() << c.name << ": constructed";
    } catch (const RuntimeException& e) {
      EXPECT_EQ(e.HResult(), c.hresult) << c.name;
    }
    EXPECT_EQ(Core().With([](FakeCore::State& s) { return s.destroyed; }), c.destroyed) << c.name;
    EXPECT_EQ(Core().With([](FakeCore::State& s) { return s.tornDown; }), 0) << c.name;
    const std::vector<std::string> bodies = ApiBodies();
    const std::vector<std::string> added(bodies.begin() + static_cast<ptrdiff_t>(before),
                                         bodies.end());
    char hresult[16];
    std::snprintf(hresult, sizeof hresult, "%08x", static_cast<uint32_t>(c.hresult));
    const std::string args = "(" + std::to_string(c.series) + ")";
    const std::vector<std::string> expected = {
        Line("->", nullptr, "", kConstructorName, args),
        Line("<-", nullptr, hresult, kConstructorName, args),
    };
    EXPECT_EQ(added, expected) << c.name;
  }
}

// The logger's header buffers cannot take such a folder: every device
// constructor fails before it writes a line or makes a record.
TEST_F(DeviceFrameTest, LocalFolderOf260BytesFailsTheConstructorWithoutALine) {
  use_file();
  const std::string tooLong = FolderOfLength(base_, 260);
  Platform::SetLocalFolder(String(tooLong));
  try {
    Gadget::Create(0);
    ADD_FAILURE() << "constructed";
  } catch (const RuntimeException& e) {
    EXPECT_EQ(e.HResult(), ErrorStatus::ErrFailure);
  }
  EXPECT_TRUE(ApiBodies().empty());
  EXPECT_EQ(Core().With([](FakeCore::State& s) { return s.registered; }), 0);
  EXPECT_EQ(Core().With([](FakeCore::State& s) { return s.tornDown; }), 0);
}

TEST_F(DeviceFrameTest, SynchronousMethodRunsBetweenItsLines) {
  auto device = Gadget::Create(0);
  FakeRecord* record = device->Record();
  use_file();
  device->Beep(3);
  record->beepResult = 5;  // the device API's "already connected"
  try {
    device->Beep(2);
    ADD_FAILURE() << "no exception";
  } catch (const RuntimeException& e) {
    EXPECT_EQ(e.HResult(), ErrorStatus::ErrIllegalState);
  }
  EXPECT_THROW(device->Beep(10), RuntimeException);
  const std::vector<std::string> expected = {
      Line("->", record, "", kBeepName, "(3)"),  Line("<-", record, "0", kBeepName, "(3)"),
      Line("->", record, "", kBeepName, "(2)"),  Line("<-", record, "a0048204", kBeepName, "(2)"),
      Line("->", record, "", kBeepName, "(10)"), Line("<-", record, "a0048200", kBeepName, "(10)"),
  };
  EXPECT_EQ(ApiBodies(), expected);
}

// Without a record (construction never finished) every method fails its
// handle check with ErrFailure, the getters give "", and going away writes nothing.
TEST_F(DeviceFrameTest, MissingRecordFailsTheHandleCheck) {
  use_file();
  {
    DeviceFrame<GadgetKind> frame;
    auto failure = [](const std::function<void()>& call) {
      try {
        call();
      } catch (const RuntimeException& e) {
        return e.HResult();
      }
      return 0;
    };
    EXPECT_EQ(failure([&] { frame.EnsureHandle(); }), ErrorStatus::ErrFailure);
    EXPECT_EQ(failure([&] { frame.EnsureHandle(kBeepName); }), ErrorStatus::ErrFailure);
    EXPECT_EQ(failure([&] {
                frame.Call(
                    kBeepName, [] { return LogArguments{1}; }, [](FakeRecord&) {});
              }),
              ErrorStatus::ErrFailure);
    EXPECT_EQ(frame.Admin(), String());
    EXPECT_EQ(frame.Self(), nullptr);
  }
  const std::vector<std::string> expected = {
      Line("->", nullptr, "", kBeepName, "()"),  Line("<-", nullptr, "a004820f", kBeepName, "()"),
      Line("->", nullptr, "", kBeepName, "(1)"), Line("<-", nullptr, "a004820f", kBeepName, "(1)"),
      Line("->", nullptr, "", kAdminName, "()"), Line("<-", nullptr, "a004820f", kAdminName, "()"),
  };
  EXPECT_EQ(ApiBodies(), expected);
  EXPECT_EQ(Core().With([](FakeCore::State& s) { return s.tornDown; }), 0);
}

TEST_F(DeviceFrameTest, AdminAndLocationNeverRaise) {
  auto device = Gadget::Create(0);
  FakeRecord* record = device->Record();
  use_file();
  // Never connected: empty, result 0.
  EXPECT_EQ(device->Admin(), String());
  EXPECT_EQ(device->Location(), String());
  Connect(device, "Store admin", "Till 3");
  EXPECT_EQ(device->Admin(), String("Store admin"));
  EXPECT_EQ(device->Location(), String("Till 3"));
  // A failure inside the getter is logged and gives "".
  Core().With([](FakeCore::State& s) { s.failAdmin = true; });
  EXPECT_EQ(device->Admin(), String());
  const std::vector<std::string> expected = {
      Line("->", record, "", kAdminName, "()"),
      Line("<-", record, "0", kAdminName, "(null)"),
      Line("->", record, "", kLocationName, "()"),
      Line("<-", record, "0", kLocationName, "(null)"),
      Line("->", record, "", kAdminName, "()"),
      Line("<-", record, "0", kAdminName, "(Store admin)"),
      Line("->", record, "", kLocationName, "()"),
      Line("<-", record, "0", kLocationName, "(Till 3)"),
      Line("->", record, "", kAdminName, "()"),
      Line("<-", record, "a004820f", kAdminName, "()"),
  };
  EXPECT_EQ(ApiBodies(), expected);
}

// Each core connection event and what it becomes: the three with a row raise
// ConnectionChanged with the object as sender; any other raises nothing.
TEST_F(DeviceFrameTest, ConnectionEventsTable) {
  auto device = Gadget::Create(0);
  Connect(device);
  Seen seen;
  device->ConnectionChanged(seen.Handler());
  const CallbackPair pair = PairOf(device);
  use_file();
  struct Case {
    int32_t event;
    const char* member;  // null: no event
  };
  const Case cases[] = {
      {2, "Disconnect"}, {0, "Reconnecting"}, {1, "Reconnect"}, {3, nullptr}, {-1, nullptr},
  };
  for (const Case& c : cases) {
    const size_t before = ApiBodies().size();
    const size_t seenBefore = seen.Count();
    ASSERT_TRUE(ReportOnCoreThread(pair, c.event));
    const std::vector<std::string> bodies = ApiBodies();
    const std::vector<std::string> added(bodies.begin() + static_cast<ptrdiff_t>(before),
                                         bodies.end());
    const std::string args =
        "(" + std::to_string(c.event) + ", " + PointerText(pair.userData) + ")";
    std::vector<std::string> expected = {Line("->", pair.record, "", kOnConnectionEventName, args)};
    if (c.member != nullptr) {
      expected.push_back(Line("<<", pair.record, "", kOnConnectionEventName,
                              std::string("(EventType->, ") + c.member + ")"));
      expected.push_back(Line("<-", pair.record, "0", kOnConnectionEventName, args));
      ASSERT_EQ(seen.Count(), seenBefore + 1) << c.event;
      std::lock_guard<std::mutex> lock(seen.mutex);
      EXPECT_EQ(static_cast<int32_t>(seen.events.back()), c.event);
      EXPECT_EQ(seen.senders.back(), std::static_pointer_cast<Object>(device));
    } else {
      expected.push_back(Line("<-", pair.record, "a004820f", kOnConnectionEventName, args));
      EXPECT_EQ(seen.Count(), seenBefore) << c.event;
    }
    EXPECT_EQ(added, expected) << c.event;
  }
}

// A callback without its record or its user data raises nothing and writes only
// its entry line and an exit line with ErrFailure.
TEST_F(DeviceFrameTest, MissingRecordOrUserDataWritesOnlyEntryAndExit) {
  auto device = Gadget::Create(0);
  Connect(device);
  Seen seen;
  device->ConnectionChanged(seen.Handler());
  const CallbackPair pair = PairOf(device);
  use_file();
  ASSERT_TRUE(ReportOnCoreThread({pair.record, pair.function, nullptr}, 2));
  ASSERT_TRUE(ReportOnCoreThread({nullptr, pair.function, pair.userData}, 2));
  const std::string withUserData = "(2, " + PointerText(pair.userData) + ")";
  const std::vector<std::string> expected = {
      Line("->", pair.record, "", kOnConnectionEventName, "(2, 0x0000000000000000)"),
      Line("<-", pair.record, "a004820f", kOnConnectionEventName, "(2, 0x0000000000000000)"),
      Line("->", nullptr, "", kOnConnectionEventName, withUserData),
      Line("<-", nullptr, "a004820f", kOnConnectionEventName, withUserData),
  };
  EXPECT_EQ(ApiBodies(), expected);
  EXPECT_EQ(seen.Count(), 0u);
}

// A throwing handler ends its own raise only: later handlers of that raise are
// skipped, the exit line carries the exception's HRESULT, the core thread gets
// its call back normally, and the next raise reaches every handler.
TEST_F(DeviceFrameTest, HandlerExceptionEndsOnlyThatRaise) {
  struct Case {
    const char* name;
    std::function<void()> fail;
    const char* exitResult;
  };
  const Case cases[] = {
      {"standard exception", [] { throw std::runtime_error("handler failed"); }, "a004820f"},
      {"runtime exception", [] { throw RuntimeException(kEAccessDenied); }, "80070005"},
      {"anything else", [] { throw 42; }, "a004820f"},
  };
  use_file();
  for (const Case& c : cases) {
    auto device = Gadget::Create(0);
    Connect(device);
    std::atomic<bool> thrown{false};
    device->ConnectionChanged([&](const auto&, const auto&) {
      if (!thrown.exchange(true)) c.fail();
    });
    Seen later;
    device->ConnectionChanged(later.Handler());
    const CallbackPair pair = PairOf(device);
    const size_t before = ApiBodies().size();
    ASSERT_TRUE(ReportOnCoreThread(pair, 0)) << c.name;
    EXPECT_EQ(later.Count(), 0u) << c.name;
    ASSERT_TRUE(ReportOnCoreThread(pair, 1)) << c.name;
    EXPECT_EQ(later.Count(), 1u) << c.name;
    const std::vector<std::string> bodies = ApiBodies();
    ASSERT_EQ(bodies.size(), before + 6) << c.name;
    EXPECT_EQ(bodies[before + 2], Line("<-", pair.record, c.exitResult, kOnConnectionEventName,
                                       "(0, " + PointerText(pair.userData) + ")"))
        << c.name;
    EXPECT_EQ(bodies[before + 5], Line("<-", pair.record, "0", kOnConnectionEventName,
                                       "(1, " + PointerText(pair.userData) + ")"))
        << c.name;
  }
}

// The destructor's own disconnect reports event 2 to an object that is being
// destroyed: the callback finds no object, and no handler hears of it.
TEST_F(DeviceFrameTest, DestructorsOwnDisconnectReachesNoHandler) {
  auto device = Gadget::Create(0);
  Connect(device);
  Seen seen;
  device->ConnectionChanged(seen.Handler());
  const CallbackPair pair = PairOf(device);
  use_file();
  device.reset();
  EXPECT_EQ(Core().With([](FakeCore::State& s) { return s.tornDown; }), 1);
  EXPECT_EQ(seen.Count(), 0u);
  const std::string args = "(2, " + PointerText(pair.userData) + ")";
  const std::vector<std::string> expected = {
      Line("->", pair.record, "", kDestructorName, "()"),
      Line("->", pair.record, "", kOnConnectionEventName, args),
      Line("<-", pair.record, "a004820f", kOnConnectionEventName, args),
  };
  EXPECT_EQ(ApiBodies(), expected);
}

// A callback arriving after the object and its record are gone reaches
// nothing, and a newer object does not answer to the old id. Under
// AddressSanitizer any use of the freed object or record shows here.
TEST_F(DeviceFrameTest, StaleUserDataDoesNothing) {
  auto device = Gadget::Create(0);
  Seen seen;
  device->ConnectionChanged(seen.Handler());
  const CallbackPair stale = PairOf(device);
  device.reset();
  ASSERT_EQ(Core().With([](FakeCore::State& s) { return s.tornDown; }), 1);

  auto newer = Gadget::Create(0);
  Connect(newer);
  Seen newerSeen;
  newer->ConnectionChanged(newerSeen.Handler());
  use_file();
  ASSERT_TRUE(ReportOnCoreThread(stale, 2));
  EXPECT_EQ(seen.Count(), 0u);
  EXPECT_EQ(newerSeen.Count(), 0u);
  const std::string args = "(2, " + PointerText(stale.userData) + ")";
  const std::vector<std::string> expected = {
      Line("->", stale.record, "", kOnConnectionEventName, args),
      Line("<-", stale.record, "a004820f", kOnConnectionEventName, args),
  };
  EXPECT_EQ(ApiBodies(), expected);
}

// When the last reference drops inside a callback, the object is torn down on
// a pool worker, never on the core thread its disconnect may have to join.
TEST_F(DeviceFrameTest, LastReferenceDroppedInACallbackIsTornDownOffTheCoreThread) {
  struct Case {
    const char* name;
    bool handlerDropsAppsReference;  // else the app drops it while the handler runs
  };
  const Case cases[] = {{"a handler drops the app's last reference", true},
                        {"the callback's own reference is the last", false}};
  for (const Case& c : cases) {
    Core().Reset();
    std::shared_ptr<Gadget> app = Gadget::Create(0);
    Connect(app);
    Signal inHandler;
    Signal released;
    app->ConnectionChanged([&](const auto&, const auto&) {
      if (c.handlerDropsAppsReference) {
        app.reset();
      } else {
        inHandler.Set();
        released.Wait();
      }
      // Nothing is torn down while the callback runs.
      EXPECT_EQ(Core().With([](FakeCore::State& s) { return s.tornDown; }), 0);
    });
    const CallbackPair pair = PairOf(app);
    std::thread::id coreThread;
    bool returned = false;
    std::thread core([&] {
      pair.function(pair.record, 0, pair.userData);
      returned = true;
    });
    coreThread = core.get_id();
    if (!c.handlerDropsAppsReference) {
      ASSERT_TRUE(inHandler.Wait());
      app.reset();
      released.Set();
    }
    core.join();
    EXPECT_TRUE(returned) << c.name;
    ASSERT_TRUE(Core().WaitTornDown(1)) << c.name;
    const FakeCore::State state = Core().With([](FakeCore::State& s) { return s; });
    EXPECT_EQ(state.tornDown, 1) << c.name;
    EXPECT_NE(state.teardownThread, coreThread) << c.name;
    EXPECT_NE(state.teardownThread, std::this_thread::get_id()) << c.name;
    EXPECT_FALSE(state.teardownMarked) << c.name;
  }
}

// Core threads reporting while the app releases the object: every report
// reaches a live object or nothing, and the object is torn down exactly once.
TEST_F(DeviceFrameTest, ReportsRacingTheLastReleaseNeverReachADeadObject) {
  auto device = Gadget::Create(0);
  Connect(device);
  std::mutex mutex;
  std::condition_variable changed;
  int raised = 0;
  device->ConnectionChanged([&](const std::shared_ptr<Object>& sender, const auto&) {
    // The sender is whole while its handlers run.
    EXPECT_EQ(sender->GetRuntimeClassName(), String("Orvik.Tilo.Tilo2.Test.Gadget"));
    std::lock_guard<std::mutex> lock(mutex);
    ++raised;
    changed.notify_all();
  });
  const CallbackPair pair = PairOf(device);
  std::atomic<bool> stop{false};
  std::vector<std::thread> cores;
  for (int i = 0; i < 4; ++i) {
    cores.emplace_back([&] {
      while (!stop.load()) pair.function(pair.record, 1, pair.userData);
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return raised >= 20; }));
  }
  device.reset();
  ASSERT_TRUE(Core().WaitTornDown(1));
  // Reports after the teardown find nothing; let each thread make some.
  int afterTeardown = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    afterTeardown = raised;
  }
  stop.store(true);
  for (std::thread& core : cores) core.join();
  pair.function(pair.record, 1, pair.userData);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(raised, afterTeardown);
  EXPECT_EQ(Core().With([](FakeCore::State& s) { return s.tornDown; }), 1);
}

}  // namespace
