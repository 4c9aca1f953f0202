// The status steps against the printer emulator: the status from the network
// interface, draining and analysing what the printer sent, switching automatic
// status on, and the battery, offline-response, display and paper queries.

#include "engine/status_steps.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "engine/event_callbacks.h"
#include "engine/exchange.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/reply_analysis.h"
#include "engine/status_store.h"
#include "engine/wait_object.h"
#include "engine_test_support.h"
#include "foundation/lock_guard.h"
#include "io/kdpx.h"

using namespace tilo2::core;
using engine_test::CountBytes;
using engine_test::EmulatedPrinter;
using printer_emulator::Faults;
using printer_emulator::Profile;

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

const Bytes kAsbEnable{0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF};

std::mutex firedLock;
std::vector<std::pair<int, uint32_t>> fired;

template <int Slot>
void Record(TdcBackendEnv_t*, PrintHandle_t*, const char*, uint32_t value) {
  std::lock_guard<std::mutex> lock(firedLock);
  fired.emplace_back(Slot, value);
}

std::vector<std::pair<int, uint32_t>> TakeFired() {
  std::lock_guard<std::mutex> lock(firedLock);
  return std::exchange(fired, {});
}

bool Fired(const std::vector<std::pair<int, uint32_t>>& events, int slot) {
  for (const auto& event : events) {
    if (event.first == slot) return true;
  }
  return false;
}

// Events of the handle recorded, replies analysed as while the monitor runs.
void WatchEvents(PrintHandle_t* handle) {
  handle->replyHandler = &AnalyzeResponse;
  ASSERT_EQ(SetEventCallback(handle, EVENT_STATUS_CHANGE, &Record<EVENT_STATUS_CHANGE>), 0);
  ASSERT_EQ(SetEventCallback(handle, EVENT_ONLINE, &Record<EVENT_ONLINE>), 0);
  ASSERT_EQ(SetEventCallback(handle, EVENT_OFFLINE, &Record<EVENT_OFFLINE>), 0);
  ASSERT_EQ(SetEventCallback(handle, EVENT_POWER_OFF, &Record<EVENT_POWER_OFF>), 0);
  TakeFired();
}

// Pending jobs on the handle's list, as a sent job leaves them; removed again
// before the handle goes.
class PendingJobs {
 public:
  explicit PendingJobs(PrintHandle_t* handle) : handle_(handle) {}
  ~PendingJobs() {
    {
      PlatformLockGuard lock(handle_->jobListLock);
      handle_->jobs = nullptr;
      handle_->jobCount = 0;
    }
    for (auto& job : jobs_) DeleteWaitObject(job->doneWaitId);
  }
  PendingJobs(const PendingJobs&) = delete;
  PendingJobs& operator=(const PendingJobs&) = delete;

  JobWait_t* Add(const char* id) {
    auto job = std::make_unique<JobWait_t>();
    std::memset(job.get(), 0, sizeof(JobWait_t));
    std::memcpy(job->jobId, id, kJobIdLength);
    job->kind = kJobKindPrint;
    job->state = kJobStatePending;
    job->result = TILOPRN_TIMEOUT;
    job->doneWaitId = CreateWaitObject();
    EXPECT_NE(job->doneWaitId, 0u);
    JobWait_t* raw = job.get();
    PlatformLockGuard lock(handle_->jobListLock);
    JobWait_t** tail = &handle_->jobs;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = raw;
    jobs_.push_back(std::move(job));
    return raw;
  }

 private:
  PrintHandle_t* handle_;
  std::vector<std::unique_ptr<JobWait_t>> jobs_;
};

StepContext_t StatusContext(uint8_t* out, int32_t queries) {
  StepContext_t context{};
  context.statusOut = out;
  context.statusOutLength = queries;
  return context;
}

TEST(StatusSteps, CommandAsbOnTcpAsksTheNetworkInterfaceOnly) {
  EmulatedPrinter printer(135);
  ASSERT_TRUE(printer.ok());
  WatchEvents(printer.handle());
  Faults faults;
  faults.coverOpen = true;
  faults.nearEnd = true;
  printer.state().setFaults(faults);
  const auto expected = printer.state().automaticStatus();
  uint8_t out[4] = {};
  ASSERT_EQ(printer.RunStep(GetCommandAsb, StatusContext(out, 4)), 0);
  EXPECT_EQ(Bytes(out, out + 4), Bytes(expected.begin(), expected.end()));
  uint8_t raw[4];
  GetRawAsb(printer.handle(), raw);
  EXPECT_EQ(Bytes(raw, raw + 4), Bytes(expected.begin(), expected.end()));
  // Analysed like any automatic status: offline, cover open, near end.
  EXPECT_EQ(printer.handle()->statusFlags.load() & 0x10029u, 0x10028u);
  EXPECT_TRUE(Fired(TakeFired(), EVENT_OFFLINE));
  EXPECT_TRUE(printer.DataBytes().empty());
  EXPECT_EQ(printer.emulator().udpRequests('Q', KDPX_INTERFACE_STATUS).size(), 1u);
}

TEST(StatusSteps, BadNetworkStatusIsNoAnswerAndReachesNoAnalyser) {
  EmulatedPrinter printer(136);
  ASSERT_TRUE(printer.ok());
  WatchEvents(printer.handle());
  printer.state().setPowerOff(true, /*statusF000=*/true);
  uint8_t out[4] = {0, 0, 0, 0};
  EXPECT_EQ(printer.RunStep(GetCommandAsb, StatusContext(out, 1)), TILOPRN_IO_ERROR);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_TRUE(TakeFired().empty());
  EXPECT_EQ(printer.handle()->statusFlags.load(), kStatusFlagsUnknown);

  // The caller that takes the no-response path reports exactly 1.
  int32_t enabled = -1;
  StepContext_t enable{};
  enable.resultOut = &enabled;
  EXPECT_EQ(printer.RunStep(EnableAsb, enable), 0);
  EXPECT_EQ(enabled, 0);
  EXPECT_EQ(printer.handle()->statusFlags.load(), 1u);
  const auto events = TakeFired();
  EXPECT_TRUE(Fired(events, EVENT_POWER_OFF));
  EXPECT_FALSE(Fired(events, EVENT_ONLINE));
  EXPECT_TRUE(printer.DataBytes().empty());
}

TEST(StatusSteps, CheckAsbTakesInWhatThePrinterSentAndKeepsQuietWhenItAnswers) {
  EmulatedPrinter printer(137);
  ASSERT_TRUE(printer.ok());
  WatchEvents(printer.handle());
  PrintHandle_t* handle = printer.handle();

  // Nothing waiting: the printer is asked whether it is there, and it is.
  printer.emulator().clearLog();
  ReplyWaitContext reply{};
  StepContext_t check{};
  check.replyWait = &reply;
  EXPECT_EQ(printer.RunStep(CheckAsb, check), 0);
  EXPECT_EQ(handle->statusFlags.load(), kStatusFlagsUnknown);
  EXPECT_EQ(handle->asbSeen.load(), 0);
  EXPECT_TRUE(TakeFired().empty());
  EXPECT_EQ(printer.emulator().udpRequests('Q', KDPX_CLIENT_ADDRESS).size(), 1u);

  // An automatic status and the sent job's end arrive: both are analysed.
  PrnCmdHandle_t* builder = nullptr;
  ASSERT_EQ(PrnCmdOpen("RP-S3", 0, &builder), 0);
  SetSendingBuilder(handle, MakeSharedPrnBuilder(builder));
  SetSendInProgress(handle, 1);
  ASSERT_TRUE(printer.emulator().sendToClient(
      {{0x18, 0x00, 0x00, 0x00}, {'7', 0x22, '0', '0', '0', '1', 0x00}}));
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (GetSendInProgress(handle) != 0 && std::chrono::steady_clock::now() < deadline) {
    EXPECT_EQ(printer.RunStep(CheckAsb, check), 0);
  }
  EXPECT_EQ(handle->asbSeen.load(), 1);
  EXPECT_EQ(handle->statusFlags.load(), 0x80000008u);
  EXPECT_EQ(GetSendInProgress(handle), 0);
  EXPECT_EQ(GetSendingBuilder(handle), nullptr);
  EXPECT_TRUE(Fired(TakeFired(), EVENT_OFFLINE));
  EXPECT_TRUE(printer.DataBytes().empty());
}

TEST(StatusSteps, CheckAsbOnAPoweredOffPrinterReportsNoResponse) {
  EmulatedPrinter printer(138);
  ASSERT_TRUE(printer.ok());
  WatchEvents(printer.handle());
  PrintHandle_t* handle = printer.handle();
  handle->asbSeen = 1;
  PendingJobs jobs(handle);
  JobWait_t* job = jobs.Add("0001");
  printer.state().setPowerOff(true);

  ReplyWaitContext reply{};
  StepContext_t check{};
  check.replyWait = &reply;
  EXPECT_EQ(printer.RunStep(CheckAsb, check), 0);
  EXPECT_EQ(handle->statusFlags.load(), 1u);  // no automatic status was ever held
  EXPECT_EQ(handle->asbSeen.load(), 0);
  EXPECT_TRUE(Fired(TakeFired(), EVENT_POWER_OFF));
  EXPECT_EQ(job->state, kJobStateEnded);
  EXPECT_EQ(job->result, TILOPRN_IO_ERROR);
  EXPECT_EQ(job->status, 1u);

  // With an automatic status held, the word keeps its bits and adds bit 0.
  const uint8_t held[4] = {0x18, 0x00, 0x00, 0x00};
  SetRawAsb(handle, held);
  handle->statusFlags = 0x80000008u;
  EXPECT_EQ(printer.RunStep(CheckAsb, check), 0);
  EXPECT_EQ(handle->statusFlags.load(), 0x80000009u);
}

TEST(StatusSteps, CheckAsbGivesUpAfterTenBusyReads) {
  EmulatedPrinter printer(139);
  ASSERT_TRUE(printer.ok());
  PrintHandle_t* handle = printer.handle();
  // Another reader holds the connection's receive side: every read answers busy.
  PlatformLockGuard reader(handle->connection->receiveLock);
  ASSERT_TRUE(reader);
  const auto start = std::chrono::steady_clock::now();
  StepContext_t check{};
  EXPECT_EQ(printer.RunStep(CheckAsb, check), 0);
  const auto took = io_test::msSince(start);
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 5000);
  EXPECT_EQ(handle->statusFlags.load(), 1u);
  EXPECT_EQ(handle->asbSeen.load(), 0);
}

TEST(StatusSteps, EnableAsbSwitchesAutomaticStatusOnOnlyWhenOnline) {
  EmulatedPrinter printer(140);
  ASSERT_TRUE(printer.ok());
  int32_t enabled = -1;
  StepContext_t enable{};
  enable.resultOut = &enabled;

  EXPECT_EQ(printer.RunStep(EnableAsb, enable), 0);
  EXPECT_EQ(enabled, 1);
  EXPECT_EQ(printer.DataBytes(kAsbEnable.size()), kAsbEnable);
  EXPECT_EQ(printer.emulator().udpRequests('Q', KDPX_INTERFACE_STATUS).size(), 1u);

  printer.emulator().clearLog();
  Faults faults;
  faults.offline = true;
  printer.state().setFaults(faults);
  EXPECT_EQ(printer.RunStep(EnableAsb, enable), 0);
  EXPECT_EQ(enabled, 0);
  // Offline: the status is asked once more (all four bytes) and nothing is written.
  EXPECT_EQ(printer.emulator().udpRequests('Q', KDPX_INTERFACE_STATUS).size(), 2u);
  EXPECT_TRUE(printer.DataBytes().empty());
}

TEST(StatusSteps, BatteryQueryStoresTheValueOrTimesOutQuietly) {
  struct Case {
    Profile profile;
    int32_t battery;
    uint8_t batteryModel;
  };
  // The battery profile answers "7" "E" with its percentage as two digits.
  const Case cases[] = {{Profile::Battery, '8' * 256 + '0', 1}, {Profile::Receipt, -1, 0}};
  for (const Case& c : cases) {
    EmulatedPrinter printer(141, c.profile);
    ASSERT_TRUE(printer.ok());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(printer.RunStep(GetBatteryStatus), 0);
    EXPECT_EQ(GetBatteryValue(printer.handle()), c.battery);
    EXPECT_EQ(printer.handle()->batteryModel.load(), c.batteryModel);
    EXPECT_EQ(CountBytes(printer.DataBytes(), {0x10, 0x14, 0x07, 0x05}), 1u);
    if (c.batteryModel == 0) {
      EXPECT_GE(io_test::msSince(start), 900);
    }
  }
}

TEST(StatusSteps, OfflineResponseAddsItsReasonsToTheFlags) {
  EmulatedPrinter printer(142);
  ASSERT_TRUE(printer.ok());
  Faults faults;
  faults.autoRecoverable = true;
  faults.offlineReasons = 0x02 | 0x10;  // head overheat, wrong paper
  printer.state().setFaults(faults);
  uint32_t flags = 0x80004008u;
  StepContext_t query{};
  query.flagsOut = &flags;
  EXPECT_EQ(printer.RunStep(GetOfflineResponse, query), 0);
  EXPECT_EQ(flags, 0x80004008u | 0x10000000u | 0x1000u);
  EXPECT_EQ(CountBytes(printer.DataBytes(), {0x10, 0x14, 0x07, 0x04}), 1u);
  // Interface control 0 before the query, 1 after it.
  const auto controls = printer.emulator().udpRequests('C', KDPX_INTERFACE_CONTROL);
  ASSERT_GE(controls.size(), 2u);
  EXPECT_EQ(controls.front().bytes.back(), 0x01);
  EXPECT_EQ(controls.back().bytes.back(), 0x00);
}

TEST(StatusSteps, DisplayConnectionFollowsThePrintersAnswer) {
  struct Case {
    bool connected;
    int32_t expected;
  };
  for (const Case& c : {Case{true, 1}, Case{false, 2}}) {
    EmulatedPrinter printer(143);
    ASSERT_TRUE(printer.ok());
    printer.WithModel([&](auto& model) { model.setDisplayConnected(c.connected); });
    StepContext_t check{};
    check.readTimeoutMs = 2000;
    EXPECT_EQ(printer.RunStep(CheckDisplayConnection, check), 0);
    EXPECT_EQ(printer.handle()->displayConnected.load(), c.expected);
  }
}

TEST(StatusSteps, PaperTypeSupportComesFromTheInformationReply) {
  EmulatedPrinter printer(144);
  ASSERT_TRUE(printer.ok());
  EXPECT_EQ(printer.RunStep(CheckSupportPaperType), 0);
  // "=" "!" 68h 60h: bits 2 and 0 from the first byte, bit 1 from the second.
  EXPECT_EQ(printer.handle()->paperSupport.load(), 0x7u);
  EXPECT_EQ(printer.handle()->infoKind.load(), 2);
}

TEST(StatusSteps, IsPoweroffAsksWhetherTheDataPortIsHeld) {
  EmulatedPrinter printer(145);
  ASSERT_TRUE(printer.ok());
  int32_t off = -1;
  StepContext_t check{};
  check.resultOut = &off;
  EXPECT_EQ(printer.RunStep(IsPoweroff, check), 0);
  EXPECT_EQ(off, 0);
  printer.state().setPowerOff(true);
  EXPECT_EQ(printer.RunStep(IsPoweroff, check), 0);
  EXPECT_EQ(off, 1);
  EXPECT_TRUE(printer.DataBytes().empty());
}

TEST(StatusSteps, MissingContextOrHandle) {
  for (StepFunc step : {GetCommandAsb, CheckAsb, EnableAsb, GetBatteryStatus, GetOfflineResponse,
                        IsPoweroff, CheckDisplayConnection, CheckSupportPaperType}) {
    EXPECT_EQ(step(nullptr), TILOPRN_PARAMETER_ERROR);
    StepContext_t empty{};
    EXPECT_EQ(step(&empty), TILOPRN_FAILURE);
  }
}

}  // namespace
