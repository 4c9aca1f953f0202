// The line display's command list and replay on their own, and a display
// record on the device-service backend against the scripted client: connect
// steps failing in turn, the documents its sends carry, results, the
// disconnect's rules and connection events.
//
// Addresses (io_test::address): 1050-1069; the fake never opens a socket, the
// address only names the host.

#include "device/display_module.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "device/service_notifiers.h"
#include "device/test_hooks.h"
#include "service_fake/fake_display.h"
#include "service_fake/fake_service.h"

using namespace tilo2::core;
namespace fake = tilo2::fake;

namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

// ---- Command list and replay on their own ------------------------------------------

struct ListOwner {
  TdcCommand_t* head = nullptr;
  ~ListOwner() { TdcClearLineDisplayCommands(&head); }
  int Length() const {
    int n = 0;
    for (const TdcCommand_t* node = head; node != nullptr; node = node->next) ++n;
    return n;
  }
};

TEST(LineDisplayCommands, AddsRefuseValuesOutsideTheirRangesAndAppendNothing) {
  const uint8_t bytes[] = {0x1B, 0x40};
  struct Case {
    const char* what;
    std::function<int(TdcCommand_t**)> add;
    int expected;
  };
  const Case cases[] = {
      {"window 0", [](auto l) { return TdcAddLineDisplayCommand(l, 2, 0); }, 1},
      {"window 4", [](auto l) { return TdcAddLineDisplayCommand(l, 3, 4); }, 0},
      {"window 5", [](auto l) { return TdcAddLineDisplayCommand(l, 3, 5); }, 1},
      {"cursor 20,2", [](auto l) { return TdcAddLineDisplayCommand(l, 5, 20, 2); }, 0},
      {"cursor 21,1", [](auto l) { return TdcAddLineDisplayCommand(l, 5, 21, 1); }, 1},
      {"cursor 1,3", [](auto l) { return TdcAddLineDisplayCommand(l, 5, 1, 3); }, 1},
      {"move -2", [](auto l) { return TdcAddLineDisplayCommand(l, 6, -2); }, 0},
      {"move 4", [](auto l) { return TdcAddLineDisplayCommand(l, 6, 4); }, 1},
      {"cursor type 2", [](auto l) { return TdcAddLineDisplayCommand(l, 7, 2); }, 1},
      {"text unplaced", [](auto l) { return TdcAddLineDisplayCommand(l, 8, "a", -1, -1, -2); }, 0},
      {"text half placed", [](auto l) { return TdcAddLineDisplayCommand(l, 8, "a", -1, 1, 0); }, 0},
      {"text y 3", [](auto l) { return TdcAddLineDisplayCommand(l, 9, "a", 1, 3, 0); }, 1},
      {"text x 0", [](auto l) { return TdcAddLineDisplayCommand(l, 9, "a", 0, 1, 0); }, 1},
      {"text lang 6", [](auto l) { return TdcAddLineDisplayCommand(l, 8, "a", 1, 1, 6); }, 0},
      {"text lang 7", [](auto l) { return TdcAddLineDisplayCommand(l, 8, "a", 1, 1, 7); }, 1},
      {"text null", [](auto l) { return TdcAddLineDisplayCommand(l, 8, nullptr, 1, 1, 0); }, 1},
      {"blink 12700", [](auto l) { return TdcAddLineDisplayCommand(l, 11, 12700); }, 0},
      {"blink 12701", [](auto l) { return TdcAddLineDisplayCommand(l, 11, 12701); }, 1},
      {"blink -1", [](auto l) { return TdcAddLineDisplayCommand(l, 11, -1); }, 1},
      {"brightness 4", [](auto l) { return TdcAddLineDisplayCommand(l, 12, 4); }, 1},
      {"bytes", [&](auto l) { return TdcAddLineDisplayCommand(l, 14, bytes, 2); }, 0},
      {"bytes null", [](auto l) { return TdcAddLineDisplayCommand(l, 14, nullptr, 2); }, 1},
      {"bytes empty", [&](auto l) { return TdcAddLineDisplayCommand(l, 14, bytes, 0); }, 1},
      {"unknown kind", [](auto l) { return TdcAddLineDisplayCommand(l, 15); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ListOwner list;
    EXPECT_EQ(c.add(&list.head), c.expected);
    EXPECT_EQ(list.Length(), c.expected == 0 ? 1 : 0);
  }
  EXPECT_EQ(TdcAddLineDisplayCommand(nullptr, 0), 1);
  EXPECT_EQ(TdcClearLineDisplayCommands(nullptr), 1);
}

TEST(LineDisplayCommands, CreateWindowAndMarqueeChecksAndTheStoredRepeatWait) {
  TdcLineDisplay_t record{};
  struct Window {
    int32_t v[6];
    int expected;
  };
  const Window windows[] = {
      {{1, 15, 1, 7, 1, -2}, 1},  // x + width = 22
      {{1, 14, 2, 7, 1, -2}, 0},  // x + width = 21
      {{1, 1, 2, 1, 2, 0}, 1},    // y + height = 4
      {{4, 1, 1, 20, 2, 2}, 0},  {{5, 1, 1, 1, 1, 0}, 1}, {{1, 1, 1, 1, 1, 3}, 1},
      {{1, 0, 1, 1, 1, 0}, 1},   {{1, 1, 1, 0, 1, 0}, 1},
  };
  int appended = 0;
  for (const auto& w : windows) {
    SCOPED_TRACE(testing::Message() << w.v[0] << "," << w.v[1] << "," << w.v[2] << "," << w.v[3]
                                    << "," << w.v[4] << "," << w.v[5]);
    EXPECT_EQ(TdcAddCreateWindow(&record, w.v[0], w.v[1], w.v[2], w.v[3], w.v[4], w.v[5]),
              w.expected);
    if (w.expected == 0) ++appended;
  }
  EXPECT_EQ(TdcAddCreateWindow(nullptr, 1, 1, 1, 1, 1, 0), 1);

  struct Marquee {
    const char* text;
    int32_t format, unitWait, repeatWait, repeatCount, lang;
    int expected;
  };
  const Marquee marquees[] = {
      {"m", -2, 1, 50, 0, -2, 0}, {"m", 1, 2000, 2000, 127, 1, 0}, {"m", 0, 2001, 100, 0, 0, 1},
      {"m", 0, 0, 100, 0, 0, 1},  {"m", 0, 1, 0, 0, 0, 1},         {"m", 0, 1, 100, 128, 0, 1},
      {"m", 2, 1, 100, 0, 0, 1},  {"m", 0, 1, 100, 0, 6, 1},       {nullptr, 0, 1, 100, 0, 0, 1},
  };
  for (const auto& m : marquees) {
    SCOPED_TRACE(testing::Message() << m.format << "," << m.unitWait << "," << m.repeatWait << ","
                                    << m.repeatCount << "," << m.lang);
    EXPECT_EQ(TdcAddMarqueeText(&record, m.text, m.format, m.unitWait, m.repeatWait, m.repeatCount,
                                m.lang),
              m.expected);
    if (m.expected == 0) ++appended;
  }

  std::vector<const TdcCommand_t*> nodes;
  for (const TdcCommand_t* node = record.commands; node != nullptr; node = node->next) {
    nodes.push_back(node);
  }
  ASSERT_EQ(static_cast<int>(nodes.size()), appended);
  const auto* window = static_cast<const int32_t*>(nodes[0]->args);
  EXPECT_EQ(nodes[0]->kind, TDC_DSP_CREATE_WINDOW);
  EXPECT_EQ(std::vector<int32_t>(window, window + 6), (std::vector<int32_t>{1, 14, 2, 7, 1, -2}));
  const auto* slow = static_cast<const TdcMarqueeArgs_t*>(nodes[2]->args);
  ASSERT_EQ(nodes[2]->kind, TDC_DSP_MARQUEE_TEXT);
  EXPECT_STREQ(slow->text, "m");
  EXPECT_EQ(slow->repeatWait, 100);  // 50 raised
  const auto* fast = static_cast<const TdcMarqueeArgs_t*>(nodes[3]->args);
  EXPECT_EQ(fast->repeatWait, 2000);
  EXPECT_EQ(TdcClearLineDisplayCommands(&record.commands), 0);
  EXPECT_EQ(record.commands, nullptr);
}

std::atomic<int> gAllocationsLeft{-1};
void* FailingAlloc(size_t size) {
  if (gAllocationsLeft.fetch_sub(1) == 0) return nullptr;
  return std::malloc(size);
}

// Every allocation of an append failing in turn: 10 and the list as it was.
// The sanitizer build shows any part left behind.
TEST(LineDisplayCommands, AnAllocationFailureAppendsNothingAndLeaksNothing) {
  ListOwner list;
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 0), 0);
  const uint8_t bytes[] = {1, 2, 3};
  const std::function<int()> adds[] = {
      [&] { return TdcAddLineDisplayCommand(&list.head, 8, "text", 1, 1, 0); },
      [&] { return TdcAddLineDisplayCommand(&list.head, 10, "m", 0, 1, 100, 1, 0); },
      [&] { return TdcAddLineDisplayCommand(&list.head, 14, bytes, 3); },
      [&] { return TdcAddLineDisplayCommand(&list.head, 1, 1, 1, 1, 1, 1, 0); },
  };
  for (const auto& add : adds) {
    for (int failing = 0; failing < 3; ++failing) {
      gAllocationsLeft = failing;
      TdcSetLineDisplayAllocator(&FailingAlloc);
      const int result = add();
      TdcSetLineDisplayAllocator(nullptr);
      const bool allocationFailed = gAllocationsLeft < 0;
      EXPECT_EQ(result, allocationFailed ? TDC_ERR_MEMORY : TDC_SUCCESS) << failing;
      if (!allocationFailed) {
        ASSERT_EQ(TdcClearLineDisplayCommands(&list.head), 0);
        ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 0), 0);
      }
      EXPECT_EQ(list.Length(), 1);
    }
  }
}

// Slots that record what reached them, in either backend's typing.
struct SlotLog {
  std::vector<std::string> calls;
  int textAnswer = 0;
};
SlotLog* gLog = nullptr;

std::string Join(std::string out, std::initializer_list<int32_t> values) {
  for (int32_t v : values) out.append(1, ' ').append(std::to_string(v));
  return out;
}

std::string Named(const char* name, const char* text) { return std::string(name).append(text); }

template <typename B>
int RecInit(B*) {
  gLog->calls.push_back("init");
  return 0;
}
template <typename B>
int RecWindow(B*, int32_t n, int32_t x, int32_t y, int32_t w, int32_t h, int32_t s) {
  gLog->calls.push_back(Join("window", {n, x, y, w, h, s}));
  return 0;
}
template <typename B>
int RecCursorType(B*, int32_t t) {
  gLog->calls.push_back(Join("cursor", {t}));
  return 0;
}
template <typename B>
int RecMove(B*, int32_t t) {
  gLog->calls.push_back(Join("move", {t}));
  return 0;
}
template <typename B>
int RecText(B*, const char* text, int32_t x, int32_t y, int32_t lang) {
  gLog->calls.push_back(Join(Named("text ", text), {x, y, lang}));
  return gLog->textAnswer;
}
template <typename B>
int RecMarquee(B*, const char* text, int32_t f, int32_t u, int32_t r, int32_t c, int32_t lang) {
  gLog->calls.push_back(Join(Named("marquee ", text), {f, u, r, c, lang}));
  return 0;
}
template <typename B>
int RecBrightness(B*, int32_t level) {
  gLog->calls.push_back(Join("brightness", {level}));
  return 0;
}

template <typename B>
TdcLineDisplayOps_t RecordingOps() {
  TdcLineDisplayOps_t ops{};
  ops.slot[TDC_DSP_INITIALIZE] = reinterpret_cast<void*>(&RecInit<B>);
  ops.slot[TDC_DSP_CREATE_WINDOW] = reinterpret_cast<void*>(&RecWindow<B>);
  ops.slot[TDC_DSP_MOVE_CURSOR_POSITION] = reinterpret_cast<void*>(&RecMove<B>);
  ops.slot[TDC_DSP_SET_CURSOR_TYPE] = reinterpret_cast<void*>(&RecCursorType<B>);
  ops.slot[TDC_DSP_TEXT] = reinterpret_cast<void*>(&RecText<B>);
  ops.slot[TDC_DSP_MARQUEE_TEXT] = reinterpret_cast<void*>(&RecMarquee<B>);
  ops.slot[TDC_DSP_SET_BRIGHTNESS] = reinterpret_cast<void*>(&RecBrightness<B>);
  return ops;
}

// Defaults and the language only the print engine knows, per backend.
TEST(LineDisplayCommands, ReplayMapsEveryDefaultIntoTheBackendsNumbering) {
  ListOwner list;
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 0), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 1, 1, 1, 1, 20, 2, -2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 6, -2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 7, -2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 8, "six", 1, 1, 6), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 8, "dflt", -1, -1, -2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 10, "m", -2, 5, 100, 3, -2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 12, -2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 12, 1), 0);
  // The engine's value of language 6 is 6, the service's 0; brightness -2 is 3 on both.
  const std::vector<std::string> common = {"init",
                                           "window 1 1 1 20 2 0",
                                           "move 0",
                                           "cursor 0",
                                           "",
                                           "text dflt -1 -1 0",
                                           "marquee m 0 5 100 3 0",
                                           "brightness 3",
                                           "brightness 1"};
  struct Case {
    int32_t mode;
    TdcLineDisplayOps_t ops;
    const char* six;
  };
  const Case cases[] = {{TDC_MODE_DIRECT, RecordingOps<DisplayBuilder_t>(), "text six 1 1 6"},
                        {TDC_MODE_SERVICE, RecordingOps<TdevDisplayHandle_t>(), "text six 1 1 0"}};
  int builder = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    SlotLog log;
    gLog = &log;
    EXPECT_EQ(TdcReplayLineDisplayCommands(c.mode, &builder, {&list.head, &c.ops}), 0);
    std::vector<std::string> expected = common;
    expected[4] = c.six;
    EXPECT_EQ(log.calls, expected);
  }
  gLog = nullptr;
}

TEST(LineDisplayCommands, ReplaySkipsWhatASlotRefusesAndStopsAtTheFirstFailure) {
  ListOwner list;
  const TdcLineDisplayOps_t ops = RecordingOps<TdevDisplayHandle_t>();
  int builder = 0;
  SlotLog log;
  gLog = &log;
  EXPECT_EQ(TdcReplayLineDisplayCommands(TDC_MODE_SERVICE, nullptr, {&list.head, &ops}), 1);
  EXPECT_EQ(TdcReplayLineDisplayCommands(TDC_MODE_SERVICE, &builder, {&list.head, &ops}), 5);
  EXPECT_EQ(TdcReplayLineDisplayCommands(TDC_MODE_SERVICE, &builder, {nullptr, &ops}), 5);
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 8, "a", 1, 1, 0), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 13), 0);  // no slot: skipped
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 15), 0);  // unknown kind: skipped
  ASSERT_EQ(TdcAddLineDisplayCommand(&list.head, 0), 0);
  EXPECT_EQ(TdcReplayLineDisplayCommands(TDC_MODE_SERVICE, &builder, {&list.head, nullptr}), 5);

  log.textAnswer = 1;
  EXPECT_EQ(TdcReplayLineDisplayCommands(TDC_MODE_SERVICE, &builder, {&list.head, &ops}), 0);
  EXPECT_EQ(log.calls, (std::vector<std::string>{"text a 1 1 0", "init"}));

  log.calls.clear();
  log.textAnswer = 29;
  EXPECT_EQ(TdcReplayLineDisplayCommands(TDC_MODE_SERVICE, &builder, {&list.head, &ops}), 29);
  EXPECT_EQ(log.calls, (std::vector<std::string>{"text a 1 1 0"}));

  // Without a backend nothing reaches a slot.
  log.calls.clear();
  EXPECT_EQ(TdcReplayLineDisplayCommands(TDC_MODE_CLOSED, &builder, {&list.head, &ops}), 0);
  EXPECT_TRUE(log.calls.empty());
  gLog = nullptr;
}

TEST(LineDisplayCommands, OperationTablesFillEverySlot) {
  TdcLineDisplayOps_t direct{};
  TdcLineDisplayOps_t service{};
  TdcInitLineDisplayDirectOps(&direct);
  TdcInitLineDisplayServiceOps(&service);
  TdcInitLineDisplayDirectOps(nullptr);
  TdcInitLineDisplayServiceOps(nullptr);
  for (int k = 0; k < kTdcLineDisplayCommandKinds; ++k) {
    EXPECT_NE(direct.slot[k], nullptr) << k;
    EXPECT_NE(service.slot[k], nullptr) << k;
    EXPECT_NE(direct.slot[k], service.slot[k]) << k;
  }
  const uint8_t bytes[] = {1};
  EXPECT_EQ(TdcLineDisplayDirectAddCommand(nullptr, bytes, 1), 1);
}

// ---- Device-service backend -----------------------------------------------------------

// What the record's callbacks reported, with the thread each ran on.
class Recorder {
 public:
  static void OnReceive(void*, int32_t code, void* user) {
    auto* self = static_cast<Recorder*>(user);
    std::function<void()> hook;
    {
      std::lock_guard lock(self->mutex_);
      self->codes_.push_back(code);
      self->threads_.push_back(std::this_thread::get_id());
      hook = self->hook_;
    }
    self->changed_.notify_all();
    if (hook) hook();
  }
  static void OnConnection(void*, int32_t event, void* user) {
    auto* self = static_cast<Recorder*>(user);
    std::lock_guard lock(self->mutex_);
    self->events_.push_back(event);
  }
  void SetHook(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
  }
  bool WaitCodes(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return codes_.size() >= count; });
  }
  std::vector<int32_t> Codes() {
    std::lock_guard lock(mutex_);
    return codes_;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }
  std::vector<int32_t> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int32_t> codes_;
  std::vector<std::thread::id> threads_;
  std::vector<int32_t> events_;
  std::function<void()> hook_;
};

class LineDisplayService : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    fake::ResetDisplay();
  }
  void TearDown() override {
    for (auto* record : records_) {
      if (record->handle != nullptr) TdcDisconnectLineDisplay(nullptr, record);
      TdcClearLineDisplayCommands(&record->commands);
      TdcUnregisterLineDisplay(nullptr, record);
      EXPECT_EQ(TdcDestroyLineDisplay(record), 0);
    }
    fake::WaitIdle();
    fake::Reset();
    fake::ResetDisplay();
  }

  // As the runtime object makes it: zero-filled, mode -3, series and callbacks set.
  TdcLineDisplay_t* NewRecord(int32_t series = 0) {
    auto* record = static_cast<TdcLineDisplay_t*>(std::calloc(1, sizeof(TdcLineDisplay_t)));
    record->mode = TDC_MODE_NEVER_CONNECTED;
    record->series = series;
    record->onReceive = &Recorder::OnReceive;
    record->onReceiveUser = &recorder_;
    record->onConnection = &Recorder::OnConnection;
    record->onConnectionUser = &recorder_;
    EXPECT_EQ(TdcRegisterLineDisplay(nullptr, record), 0);
    records_.push_back(record);
    return record;
  }

  static std::string Target(int n, const char* id = "display_1") {
    io_test::claimAddress(n);
    return "TCP:" + io_test::address(n) + "[" + id + "]";
  }

  Recorder recorder_;
  std::vector<TdcLineDisplay_t*> records_;
};

std::vector<std::string> Names(const std::vector<fake::Call>& document) {
  std::vector<std::string> names;
  for (const auto& element : document) names.push_back(element.name);
  return names;
}

TEST_F(LineDisplayService, SendsEachCommandMappedAndEmptiesTheDocumentAfterEverySend) {
  TdcLineDisplay_t* record = NewRecord();
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1050).c_str(), -2), 0);
  EXPECT_EQ(record->mode, TDC_MODE_SERVICE);
  EXPECT_EQ(record->portType, TDC_PORT_TCP);
  ASSERT_NE(record->handle, nullptr);
  EXPECT_EQ(record->builder, record->handle);
  EXPECT_EQ(record->connection, fake::ConnectionOfHandle(record->handle));
  ASSERT_NE(record->ops, nullptr);
  EXPECT_TRUE(fake::IsDisplayReceiveInstalled(record->handle));
  const auto opens = fake::Calls("TdevOpenDeviceSync");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].ints, (std::vector<int64_t>{TDEV_DEVICE_DISPLAY}));
  EXPECT_EQ(opens[0].texts, (std::vector<std::string>{"display_1"}));

  const uint8_t raw[] = {0x1F, 0x43, 0x01};
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, 0), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, 8, "six", 1, 1, 6), 0);
  // Language 2 is the print engine's only: the service's slot refuses it and the node is skipped.
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, 9, "two", 1, 2, 2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, 12, -2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, 14, raw, 3), 0);

  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  const auto jobs = fake::DisplayJobs();
  ASSERT_EQ(jobs.size(), 2u);
  for (const auto& job : jobs) {
    EXPECT_EQ(job.handle, record->handle);
    ASSERT_EQ(Names(job.document),
              (std::vector<std::string>{"TdevDisplayAddInitialize", "TdevDisplayAddText",
                                        "TdevDisplayAddSetBrightness", "TdevAddCommand"}));
    EXPECT_EQ(job.document[1].ints, (std::vector<int64_t>{1, 1, 0}));
    EXPECT_EQ(job.document[1].texts, (std::vector<std::string>{"six"}));
    EXPECT_EQ(job.document[2].ints, (std::vector<int64_t>{3}));
    EXPECT_EQ(job.document[3].bytes, (std::vector<uint8_t>{0x1F, 0x43, 0x01}));
  }
  // Each send empties the document for the next; the list itself stays.
  EXPECT_TRUE(fake::Document(record->handle).empty());
  EXPECT_NE(record->commands, nullptr);
  EXPECT_EQ(fake::CallCount("TdevDocClearBody"), 2);
}

TEST_F(LineDisplayService, ResultsReachTheReceiveCallbackTranslatedOnTheClientsThread) {
  TdcLineDisplay_t* record = NewRecord();
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1051).c_str(), 5000), 0);
  // Service codes: success, timeout, port, an unknown one.
  for (int32_t code : {0, 3, 20, 999}) {
    ASSERT_TRUE(fake::FireDisplayResult(record->handle, code == 0 ? 1 : 0, code));
  }
  EXPECT_EQ(recorder_.Codes(), (std::vector<int32_t>{0, 1, 10, 1}));
  for (const auto& thread : recorder_.Threads()) EXPECT_NE(thread, std::this_thread::get_id());

  // A handle no record holds, and a record without a receive callback: nothing.
  TdcOnLineDisplayServiceResult(&recorder_, "h", "d", 1, 0, 0, 0);
  record->onReceive = nullptr;
  ASSERT_TRUE(fake::FireDisplayResult(record->handle, 1, 0));
  EXPECT_EQ(recorder_.Codes().size(), 4u);

  // The automatic result of a send arrives on its own.
  record->onReceive = &Recorder::OnReceive;
  fake::SetAutoDisplayResult(true, 0, 21);
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, 13), 0);
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  ASSERT_TRUE(recorder_.WaitCodes(5));
  EXPECT_EQ(recorder_.Codes()[4], 11);
}

TEST_F(LineDisplayService, RefusalsBeforeAnyBackendIsReached) {
  TdcLineDisplay_t* record = NewRecord();
  io_test::claimAddress(1052);
  const std::string host = io_test::address(1052);
  const std::string tlsWithoutId = "TCPS:" + host;
  struct Case {
    const char* target;
    int32_t timeout;
    int expected;
    int32_t mode;  // afterwards
  };
  const Case cases[] = {
      {nullptr, -2, TDC_ERR_PARAM, TDC_MODE_NEVER_CONNECTED},
      {"TCP:x[d]", 999, TDC_ERR_PARAM, TDC_MODE_NEVER_CONNECTED},
      {"TCP:x[d]", 300001, TDC_ERR_PARAM, TDC_MODE_NEVER_CONNECTED},
      {"TCP:x[d]", -1, TDC_ERR_PARAM, TDC_MODE_NEVER_CONNECTED},
      {"SERIAL:x", -2, TDC_ERR_PARAM, TDC_MODE_NEVER_CONNECTED},
      {"BT:00:11:22:33:44:55[d]", -2, TDC_ERR_TYPE_INVALID, TDC_MODE_NEVER_CONNECTED},
      {"USB:abc[d]", -2, TDC_ERR_TYPE_INVALID, TDC_MODE_NEVER_CONNECTED},
      // TLS reaches only the device service.
      {tlsWithoutId.c_str(), 1000, TDC_ERR_PARAM, TDC_MODE_CLOSED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target ? c.target : "null");
    record->mode = TDC_MODE_NEVER_CONNECTED;
    EXPECT_EQ(TdcConnectLineDisplay(nullptr, record, c.target, c.timeout), c.expected);
    EXPECT_EQ(record->mode, c.mode);
    EXPECT_EQ(record->handle, nullptr);
    EXPECT_EQ(record->ops, nullptr);
  }
  EXPECT_TRUE(fake::Calls().empty());
  EXPECT_EQ(TdcConnectLineDisplay(nullptr, nullptr, "TCP:x[d]", -2), TDC_ERR_PARAM);

  // Not connected: send and disconnect refuse, status is offline.
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, record), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcDisconnectLineDisplay(nullptr, record), TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, nullptr), TDC_ERR_PARAM);
  EXPECT_EQ(TdcDisconnectLineDisplay(nullptr, nullptr), TDC_ERR_PARAM);
  for (TdcLineDisplay_t* r : {record, static_cast<TdcLineDisplay_t*>(nullptr)}) {
    int32_t* online = TdcGetLineDisplayStatus(nullptr, r);
    ASSERT_NE(online, nullptr);
    EXPECT_EQ(*online, 0);
    std::free(online);
  }

  // Connected: a second connect is refused, an empty list sends nothing.
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, ("TCPS:" + host + "[d]").c_str(), -2), 0);
  EXPECT_EQ(record->portType, TDC_PORT_TCPS);
  EXPECT_EQ(fake::Calls("TdevConnectSync")[0].ints[0], 1);  // TLS
  EXPECT_EQ(TdcConnectLineDisplay(nullptr, record, ("TCP:" + host + "[e]").c_str(), -2),
            TDC_ERR_ILLEGAL);
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, record), TDC_ERR_ILLEGAL);
  EXPECT_EQ(fake::CallCount("TdevDisplaySendData"), 0);
  EXPECT_EQ(fake::CallCount("TdevOpenDeviceSync"), 1);
}

// The notifier and the listener count as connect steps: a record that
// connected without them would never hear of its jobs or of its host leaving.
TEST_F(LineDisplayService, EachConnectStepFailingUndoesTheEarlierOnesAndLeavesModeZero) {
  struct Case {
    const char* failing;  // a fake function, or "listener"
    int code;
    int expected;
    int closes;
    int disconnects;
  };
  const Case cases[] = {
      {"TdevConnectSync", 3, TDC_ERR_TIMEOUT, 0, 0},
      {"TdevSetReconnectCallback", 255, TDC_ERR_FAILURE, 0, 1},
      {"TdevOpenDeviceSync", 8, TDC_ERR_IN_USE, 0, 1},
      {"TdevDisplaySetReceiveCallback", 255, TDC_ERR_FAILURE, 1, 1},
      {"listener", 0, TDC_ERR_MEMORY, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing);
    fake::Reset();
    TdcLineDisplay_t* record = NewRecord();
    if (std::strcmp(c.failing, "listener") == 0) {
      TdcFailListenerAdds(1);
    } else {
      fake::PushResult(c.failing, c.code);
    }
    EXPECT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1053).c_str(), -2), c.expected);
    EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
    EXPECT_EQ(record->handle, nullptr);
    EXPECT_EQ(record->connection, nullptr);
    EXPECT_EQ(record->builder, nullptr);
    EXPECT_EQ(record->ops, nullptr);
    EXPECT_EQ(fake::CallCount("TdevCloseDeviceSync"), c.closes);
    EXPECT_EQ(fake::CallCount("TdevDisconnectIfUnused"), c.disconnects);
    if (c.disconnects > 0) {
      EXPECT_EQ(fake::ConnectionOf(io_test::address(1053)), nullptr);
    }

    // The same record connects once the step works again.
    ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1053).c_str(), -2), 0);
    EXPECT_EQ(TdcDisconnectLineDisplay(nullptr, record), 0);
  }
}

TEST_F(LineDisplayService, DisconnectClosesReportsEventTwoAndAFailedCloseKeepsTheDisplayUsable) {
  TdcLineDisplay_t* record = NewRecord();
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1054).c_str(), -2), 0);
  void* handle = record->handle;
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, 13), 0);

  // The service refuses the close: still connected, and still able to send.
  fake::PushResult("TdevCloseDeviceSync", 6);
  EXPECT_EQ(TdcDisconnectLineDisplay(nullptr, record), TDC_ERR_NOT_FOUND);
  EXPECT_EQ(record->mode, TDC_MODE_SERVICE);
  EXPECT_EQ(record->handle, handle);
  EXPECT_EQ(record->builder, handle);
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  EXPECT_EQ(fake::DisplayJobs().size(), 1u);
  EXPECT_TRUE(recorder_.Events().empty());

  EXPECT_EQ(TdcDisconnectLineDisplay(nullptr, record), 0);
  EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(record->handle, nullptr);
  EXPECT_EQ(record->connection, nullptr);
  EXPECT_EQ(record->builder, nullptr);
  EXPECT_EQ(record->ops, nullptr);
  EXPECT_EQ(recorder_.Events(), (std::vector<int32_t>{TDC_EVENT_DISCONNECTED}));
  EXPECT_EQ(fake::LiveConnections(), 0);
  // The document was emptied before the close.
  const auto names = fake::CallNames();
  const auto close = std::find(names.rbegin(), names.rend(), "TdevCloseDeviceSync");
  ASSERT_NE(close, names.rend());
  EXPECT_EQ(*(close + 1), "TdevDocClearBody");

  // The host link cannot be let go: no event, the failure, but the record is closed.
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1054).c_str(), -2), 0);
  fake::PushResult("TdevDisconnectIfUnused", 255);
  EXPECT_EQ(TdcDisconnectLineDisplay(nullptr, record), TDC_ERR_FAILURE);
  EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(record->handle, nullptr);
  EXPECT_EQ(record->ops, nullptr);
  EXPECT_EQ(recorder_.Events().size(), 1u);
}

TEST_F(LineDisplayService, StatusFollowsTheConnectionAndAHandleInNoModeGivesNull) {
  TdcLineDisplay_t* record = NewRecord();
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1055).c_str(), -2), 0);
  int32_t* online = TdcGetLineDisplayStatus(nullptr, record);
  ASSERT_NE(online, nullptr);
  EXPECT_EQ(*online, 1);
  std::free(online);
  fake::SetConnected(record->connection, false);
  online = TdcGetLineDisplayStatus(nullptr, record);
  ASSERT_NE(online, nullptr);
  EXPECT_EQ(*online, 0);
  std::free(online);
  fake::SetConnected(record->connection, true);

  const int32_t mode = record->mode;
  record->mode = TDC_MODE_CLOSED;
  EXPECT_EQ(TdcGetLineDisplayStatus(nullptr, record), nullptr);
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, record), TDC_ERR_ILLEGAL);  // empty list
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, 13), 0);
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, record), TDC_ERR_FAILURE);
  EXPECT_EQ(TdcDisconnectLineDisplay(nullptr, record), TDC_ERR_FAILURE);
  EXPECT_EQ(fake::CallCount("TdevDisplayAddShowClock"), 0);
  record->mode = mode;
}

// The host dropped: the record closes, tells its owner, and connects again
// later (the old operation table goes then; the sanitizer build shows a leak).
TEST_F(LineDisplayService, AHostDisconnectClosesTheRecordAndItConnectsAgain) {
  TdcLineDisplay_t* record = NewRecord();
  TdcLineDisplay_t* other = NewRecord();
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1056).c_str(), -2), 0);
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, other, Target(1056, "display_2").c_str(), -2), 0);
  EXPECT_EQ(record->connection, other->connection);

  ASSERT_TRUE(fake::FireReconnecting(record->connection));
  ASSERT_TRUE(fake::FireDisconnected(record->connection));
  EXPECT_EQ(recorder_.Events(), (std::vector<int32_t>{0, 0, 2, 2}));
  for (auto* r : {record, other}) {
    EXPECT_EQ(r->mode, TDC_MODE_CLOSED);
    EXPECT_EQ(r->handle, nullptr);
    EXPECT_EQ(r->connection, nullptr);
    EXPECT_EQ(r->builder, nullptr);
  }
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, record), TDC_ERR_ILLEGAL);

  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1056).c_str(), -2), 0);
  EXPECT_EQ(record->mode, TDC_MODE_SERVICE);
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, 4), 0);
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
}

// A destroy on another thread waits for the result callback that is running
// on the record; the sanitizer build shows a use after free otherwise.
TEST_F(LineDisplayService, DestroyWaitsForARunningResultCallback) {
  TdcLineDisplay_t* record = NewRecord();
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1057).c_str(), -2), 0);
  void* handle = record->handle;
  records_.clear();  // this test destroys it

  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool release = false;
  std::atomic<bool> destroyed{false};
  recorder_.SetHook([&] {
    std::unique_lock lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
  });
  std::thread result([&] { fake::FireDisplayResult(handle, 1, 0); });
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, kDeadline, [&] { return entered; }));
  }
  std::thread destroyer([&] {
    TdcDisconnectLineDisplay(nullptr, record);
    TdcUnregisterLineDisplay(nullptr, record);
    TdcDestroyLineDisplay(record);
    destroyed = true;
  });
  // The callback still runs: the destroy cannot have freed the record.
  ASSERT_TRUE(fake::WaitForCalls("TdevDisconnectIfUnused", 1));
  EXPECT_FALSE(destroyed);
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  result.join();
  destroyer.join();
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(recorder_.Codes(), (std::vector<int32_t>{0}));
}

}  // namespace

namespace {

// The app's thread adds and clears while a worker sends: every job carries a
// whole prefix of the list, never a node half linked or already freed (the
// thread sanitizer build checks the list's ordering).
TEST_F(LineDisplayService, AddsAndClearsOnOneThreadWhileAnotherSends) {
  TdcLineDisplay_t* record = NewRecord();
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1058).c_str(), -2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, TDC_DSP_INITIALIZE), 0);
  std::atomic<bool> done{false};
  std::thread app([&] {
    for (int round = 0; round < 20; ++round) {
      for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(TdcAddLineDisplayCommand(&record->commands, TDC_DSP_TEXT, "t", 1, 1, 0), 0);
      }
      EXPECT_EQ(TdcClearLineDisplayCommands(&record->commands), 0);
      EXPECT_EQ(TdcAddLineDisplayCommand(&record->commands, TDC_DSP_INITIALIZE), 0);
    }
    done = true;
  });
  int sends = 0;
  while (!done || sends < 5) {
    // 5 when the send fell between a clear and the next add.
    const int sent = TdcSendLineDisplayData(nullptr, record);
    ASSERT_TRUE(sent == TDC_SUCCESS || sent == TDC_ERR_ILLEGAL) << sent;
    ++sends;
  }
  app.join();
  for (const auto& job : fake::DisplayJobs()) {
    ASSERT_FALSE(job.document.empty());
    EXPECT_EQ(job.document[0].name, "TdevDisplayAddInitialize");
    for (size_t i = 1; i < job.document.size(); ++i) {
      EXPECT_EQ(job.document[i].name, "TdevDisplayAddText");
    }
  }
}

}  // namespace

namespace {

// A replay that the service stops half-way leaves nothing in the document:
// the next job carries the list once, not the remains of the failed one too.
TEST_F(LineDisplayService, AReplayStoppedHalfWayLeavesNothingForTheNextJob) {
  TdcLineDisplay_t* record = NewRecord();
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, Target(1059).c_str(), -2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, TDC_DSP_TEXT, "first", 1, 1, 0), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, TDC_DSP_SHOW_CLOCK), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, TDC_DSP_CLEAR_CURRENT_WINDOW), 0);

  fake::PushResult("TdevDisplayAddShowClock", 12);
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, record), 12);  // the slot's code, untranslated
  EXPECT_EQ(fake::CallCount("TdevDisplayAddClearCurrentWindow"), 0);
  EXPECT_EQ(fake::CallCount("TdevDisplaySendData"), 0);
  EXPECT_TRUE(fake::Document(record->handle).empty());

  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  const auto jobs = fake::DisplayJobs();
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(Names(jobs[0].document),
            (std::vector<std::string>{"TdevDisplayAddText", "TdevDisplayAddShowClock",
                                      "TdevDisplayAddClearCurrentWindow"}));
}

}  // namespace
