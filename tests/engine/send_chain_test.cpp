// The print job's chain against the printer emulator over loopback TCP: the
// bytes a job puts on the wire, the result each outcome reaches the result
// callback with, and the device information and closing steps.

#include "engine/send_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "engine/builder_records.h"
#include "engine/event_callbacks.h"
#include "engine/exchange.h"
#include "engine/print_result.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "engine_test_support.h"
#include "foundation/lock_guard.h"

using namespace tilo2::core;
using printer_emulator::Faults;
using printer_emulator::JobIdMode;
using printer_emulator::PrinterEmulator;
using printer_emulator::Profile;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kNotFound = std::string::npos;

constexpr auto kDeadline = std::chrono::seconds(20);
constexpr int32_t kJobTimeoutMs = 10000;

// Addresses 127.0.0.160 to 127.0.0.179 belong to these tests.
constexpr int kWireAddress = 160;
constexpr int kSequenceAddress = 161;
constexpr int kEmptyAddress = 162;
constexpr int kPowerOffAddress = 163;
constexpr int kNoEndAddress = 164;
constexpr int kBadBuilderAddress = 165;
constexpr int kFeedAddress = 166;
constexpr int kAutoRecoverAddress = 167;
constexpr int kResetAddress = 168;
constexpr int kReceiptInfoAddress = 169;
constexpr int kBatteryInfoAddress = 170;
constexpr int kInterruptInfoAddress = 171;
constexpr int kDmaAddress = 172;
constexpr int kClosingOnlineAddress = 173;
constexpr int kClosingOfflineAddress = 174;
constexpr int kArgumentsAddress = 175;
constexpr int kCoverOpenAddress = 176;
constexpr int kInfoVariantsAddress = 177;  // one row after the other
constexpr int kClosingInterruptAddress = 178;
constexpr int kClosingSilentModelAddress = 179;

struct JobResult {
  int32_t code;
  uint32_t status;
};

// The print results each handle received, in order.
class ResultLog {
 public:
  void Add(PrintHandle_t* handle, int32_t code, uint32_t status) {
    std::lock_guard<std::mutex> lock(mutex_);
    results_[handle].push_back({code, status});
    changed_.notify_all();
  }
  // The first count results of the handle, or fewer when they do not come.
  std::vector<JobResult> WaitFor(PrintHandle_t* handle, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kDeadline, [&] { return results_[handle].size() >= count; });
    return results_[handle];
  }
  void Forget(PrintHandle_t* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    results_.erase(handle);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<PrintHandle_t*, std::vector<JobResult>> results_;
};

ResultLog resultLog;

void RecordResult(PrintHandle_t* handle, const char*, int32_t code, uint32_t statusFlags, int32_t,
                  const char*) {
  resultLog.Add(handle, code, statusFlags);
}

size_t Find(const Bytes& haystack, const Bytes& needle, size_t from = 0) {
  return engine_test::FindBytes(haystack, needle, from);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const Bytes kJobIdRequest = {0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30};
const Bytes kOfflineResponseQuery = {0x10, 0x14, 0x07, 0x04};
const Bytes kModelIdQuery = {0x1B, 0x3D, 0x01, 0x1D, 0x49, 0x01};
const Bytes kClearBuffer = {0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08};
const Bytes kPaperSupportQuery = {0x1B, 0x3D, 0x01, 0x1D, 0x49, 0x21};
const Bytes kStatusRequest = {0x10, 0x14, 0x14, 0x00, 0x00, 0x01, 0x08};
const Bytes kInterruptRequest = {0x10, 0x14, 0x06, 0x04, 0x00, 0x01,
                                 0x03, 0x14, 0x01, 0x06, 0x02, 0x08};

// The ids of the job-id requests on the wire, in order.
std::vector<std::string> JobIds(const Bytes& wire) {
  std::vector<std::string> ids;
  for (size_t at = Find(wire, kJobIdRequest); at != kNotFound;
       at = Find(wire, kJobIdRequest, at + 1)) {
    const size_t id = at + kJobIdRequest.size();
    if (id + 4 <= wire.size()) ids.emplace_back(wire.begin() + id, wire.begin() + id + 4);
  }
  return ids;
}

// The shared emulated printer, left as the opening code leaves it: the
// printer recovered, the monitor wanted and the print result callback set.
class PrinterLink {
 public:
  explicit PrinterLink(int address, Profile profile = Profile::Receipt)
      : printer_(address, profile) {
    if (!printer_.ok()) return;
    PrintHandle_t* handle = printer_.handle();
    handle->monitorWanted = 1;
    SetNeedRecover(handle, 0);
    SetResultCallback(handle, RESULT_PRINT, reinterpret_cast<void*>(&RecordResult));
  }

  ~PrinterLink() {
    PrintHandle_t* handle = printer_.handle();
    if (handle == nullptr) return;
    // Every job wait ends before the queue it wakes goes away.
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (handle->jobCount.load() != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(handle->jobCount.load(), 0) << "a job wait never ended";
    // The last wait thread lowers the count under the job-list lock; taking
    // the lock once lets it finish with the lock before the handle goes.
    { PlatformLockGuard settled(handle->jobListLock); }
    resultLog.Forget(handle);
    printer_.Close();
  }

  PrinterLink(const PrinterLink&) = delete;
  PrinterLink& operator=(const PrinterLink&) = delete;

  bool ready() const { return printer_.ok(); }
  PrintHandle_t* handle() const { return printer_.handle(); }
  PrinterEmulator& emulator() const { return printer_.emulator(); }

  // Events, job completions and the job-end test, as while the monitor runs.
  void AnalyseLikeTheMonitor() { handle()->replyHandler = AnalyzeResponse; }

  // Switches automatic status on and waits until the first one is taken in.
  bool EnableAsb() {
    if (SendAsbEnable(handle()) != TILOPRN_SUCCESS) return false;
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < deadline) {
      // Each read waits up to 100 ms for the printer.
      ReplyWaitContext replies{};
      replies.handle = handle();
      StepContext_t read{};
      read.replyWait = &replies;
      RunStep(read, CheckAsb, "CheckAsb");
      uint8_t raw[4];
      GetRawAsb(handle(), raw);
      if (raw[0] != 0xFF) return true;
    }
    return false;
  }

  // Runs one step on the queue thread, as the opening code does.
  int32_t RunStep(const StepContext_t& context, StepFunc step, const char* name) const {
    return printer_.RunStep(step, context, name);
  }

  // What arrived on the data port once at least count bytes are there.
  Bytes WireAfter(size_t count) const {
    emulator().waitForTcpBytes(count, kDeadline);
    return emulator().tcpBytes();
  }

 private:
  engine_test::EmulatedPrinter printer_;
};

// A builder for the receipt model whose body is exactly these bytes.
struct JobBuilder {
  explicit JobBuilder(const Bytes& body) {
    EXPECT_EQ(TiloCreateBuilder(&record, "RP-X5E", 0), TILOPRN_SUCCESS);
    if (record != nullptr && !body.empty()) {
      EXPECT_EQ(
          PrnCmdAddCommand(record->builder.get(), body.data(), static_cast<uint32_t>(body.size())),
          0);
    }
  }
  ~JobBuilder() {
    if (record != nullptr) TiloDestroyBuilder(record);
  }
  JobBuilder(const JobBuilder&) = delete;
  JobBuilder& operator=(const JobBuilder&) = delete;

  PrinterBuilder_t* record = nullptr;
};

const Bytes kReceiptHeader = {0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF,
                              0x1B, 0x54, 0x00, 0x1D, 0x50, 0xB4, 0xB4};

TEST(SendChain, JobGoesOnTheWireFramedAndEndsWithTheEmulatorsAnswer) {
  PrinterLink link(kWireAddress);
  ASSERT_TRUE(link.ready());
  link.AnalyseLikeTheMonitor();
  ASSERT_TRUE(link.EnableAsb());
  const Bytes body = {'h', 'e', 'l', 'l', 'o', '\n'};
  JobBuilder job(body);

  ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), job.record, kJobTimeoutMs), TILOPRN_SUCCESS);
  const auto results = resultLog.WaitFor(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_SUCCESS);
  EXPECT_EQ(results[0].status, 0x80000000u);

  const Bytes wire = link.emulator().tcpBytes();
  const auto ids = JobIds(wire);
  ASSERT_EQ(ids.size(), 1u);
  const Bytes id(ids[0].begin(), ids[0].end());
  const Bytes expected = Cat({kReceiptHeader, body, Bytes(128, 0x00), kJobIdRequest, id});
  EXPECT_NE(Find(wire, expected), kNotFound) << "the job is not on the wire as one frame";
  // The caller's builder is untouched: it carries no frame of its own.
  EXPECT_EQ(job.record->builder->headerWanted, 0);
}

TEST(SendChain, JobIdsRunInOrderAndASecondJobsEndCompletesBoth) {
  PrinterLink link(kSequenceAddress);
  ASSERT_TRUE(link.ready());
  link.AnalyseLikeTheMonitor();
  ASSERT_TRUE(link.EnableAsb());
  link.emulator().state().withModel([](auto& model) { model.setJobIdMode(JobIdMode::DropFirst); });
  // The mode an attached builder sets: a second job may go while one is out.
  link.handle()->queue->reorderMode = 1;
  JobBuilder first({'1', '\n'});
  JobBuilder second({'2', '\n'});

  ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), first.record, kJobTimeoutMs), TILOPRN_SUCCESS);
  ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), second.record, kJobTimeoutMs),
            TILOPRN_SUCCESS);
  const auto results = resultLog.WaitFor(link.handle(), 2);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].code, TILOPRN_SUCCESS);
  EXPECT_EQ(results[1].code, TILOPRN_SUCCESS);

  const auto ids = JobIds(link.emulator().tcpBytes());
  ASSERT_EQ(ids.size(), 2u);
  const long firstId = std::strtol(ids[0].c_str(), nullptr, 16);
  const long secondId = std::strtol(ids[1].c_str(), nullptr, 16);
  EXPECT_EQ(secondId, (firstId + 1) % 0xFFF) << ids[0] << " then " << ids[1];
}

// Bytes never sent draw no job end: the chain's own outcome is the result.
TEST(SendChain, EmptyJobEndsWithoutWritingIt) {
  {
    PrinterLink link(kEmptyAddress);
    ASSERT_TRUE(link.ready());
    link.AnalyseLikeTheMonitor();
    JobBuilder empty({});
    ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), empty.record, kJobTimeoutMs),
              TILOPRN_SUCCESS);
    const auto results = resultLog.WaitFor(link.handle(), 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, TILOPRN_SUCCESS);
    EXPECT_TRUE(JobIds(link.emulator().tcpBytes()).empty());
  }
  {
    PrinterLink link(kPowerOffAddress);
    ASSERT_TRUE(link.ready());
    link.AnalyseLikeTheMonitor();
    link.emulator().state().setPowerOff(true);
    JobBuilder empty({});
    ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), empty.record, kJobTimeoutMs),
              TILOPRN_SUCCESS);
    const auto results = resultLog.WaitFor(link.handle(), 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, TILOPRN_IO_ERROR);
    EXPECT_EQ(GetNeedRecover(link.handle()), 1) << "a failed job leaves the printer to recover";
  }
}

TEST(SendChain, JobWithoutAnEndTimesOutAsNoResponse) {
  PrinterLink link(kNoEndAddress);
  ASSERT_TRUE(link.ready());
  link.AnalyseLikeTheMonitor();
  ASSERT_TRUE(link.EnableAsb());
  link.emulator().state().withModel([](auto& model) { model.setJobIdMode(JobIdMode::Drop); });
  JobBuilder job({'x', '\n'});

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), job.record, 1000), TILOPRN_SUCCESS);
  const auto results = resultLog.WaitFor(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_TIMEOUT);
  EXPECT_NE(results[0].status & 0x1u, 0u);
  EXPECT_GE(io_test::msSince(start), 1000);
  // The job's copy is gone with its Exit step; the handle's own reference
  // keeps the builder whose job end may still come.
  EXPECT_TRUE(PrnCmdValid(GetSendingBuilder(link.handle()).get()));
}

// A builder record that holds no printer builder cannot be built; the job
// still reports, and nothing reaches the printer.
TEST(SendChain, BadBuilderReachesTheCallback) {
  PrinterLink link(kBadBuilderAddress);
  ASSERT_TRUE(link.ready());
  link.AnalyseLikeTheMonitor();
  PrinterBuilder_t broken{};

  ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), &broken, kJobTimeoutMs), TILOPRN_SUCCESS);
  const auto results = resultLog.WaitFor(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_FAILURE);
  EXPECT_TRUE(JobIds(link.emulator().tcpBytes()).empty());
}

TEST(SendChain, QueueRefusesWhatCannotBeQueued) {
  PrinterLink link(kArgumentsAddress);
  ASSERT_TRUE(link.ready());
  JobBuilder job({'x'});
  PrintHandle_t closed{};
  struct Case {
    const char* what;
    PrintHandle_t* handle;
    PrinterBuilder_t* builder;
    int32_t timeoutMs;
  };
  const Case cases[] = {
      {"no handle", nullptr, job.record, kJobTimeoutMs},
      {"no queue", &closed, job.record, kJobTimeoutMs},
      {"no builder", link.handle(), nullptr, kJobTimeoutMs},
      {"negative timeout", link.handle(), job.record, -1},
      {"timeout beyond the job wait's", link.handle(), job.record, 600001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(QueueSendPrinter(nullptr, c.handle, c.builder, c.timeoutMs), TILOPRN_PARAMETER_ERROR);
  }
  EXPECT_EQ(link.handle()->jobCount.load(), 0);
}

// Feeding paper makes the printer offline with a reason that passes by
// itself: the job waits, reading the printer, and goes on once it is over.
TEST(SendChain, JobWaitsForAFeedToEnd) {
  PrinterLink link(kFeedAddress);
  ASSERT_TRUE(link.ready());
  link.AnalyseLikeTheMonitor();
  Faults feeding;
  feeding.feed = true;
  link.emulator().state().setFaults(feeding);
  ASSERT_TRUE(link.EnableAsb());
  JobBuilder job({'f', '\n'});

  ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), job.record, kJobTimeoutMs), TILOPRN_SUCCESS);
  // The Check step polls the printer between its decisions: wait for a few
  // polls, then the job must still be held back.
  const size_t polls = link.emulator().udpRequests('Q', 0x03000017).size();
  ASSERT_TRUE(link.emulator().waitForUdpRequests('Q', 0x03000017, polls + 3, kDeadline));
  EXPECT_TRUE(JobIds(link.emulator().tcpBytes()).empty()) << "sent while the paper was fed";

  link.emulator().state().setFaults(Faults{});
  const auto results = resultLog.WaitFor(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_SUCCESS);
  EXPECT_EQ(JobIds(link.emulator().tcpBytes()).size(), 1u);
}

// An offline printer with a real error ends the job in the Check step; the
// job wait asks the printer for the reasons once before it reports.
TEST(SendChain, PrinterErrorEndsTheJobWithItsReasons) {
  struct Case {
    const char* what;
    int address;
    Faults faults;
    uint32_t statusBits;  // must all be in the reported word
    size_t offlineQueries;
  };
  Faults autoRecoverable;
  autoRecoverable.autoRecoverable = true;
  autoRecoverable.offlineReasons = 0x02;  // head overheat
  Faults coverOpen;
  coverOpen.coverOpen = true;
  const Case cases[] = {
      {"automatically recoverable", kAutoRecoverAddress, autoRecoverable,
       0x8u | 0x4000u | 0x10000000u, 1},
      {"cover open", kCoverOpenAddress, coverOpen, 0x8u | 0x20u, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PrinterLink link(c.address);
    ASSERT_TRUE(link.ready());
    link.AnalyseLikeTheMonitor();
    link.emulator().state().setFaults(c.faults);
    ASSERT_TRUE(link.EnableAsb());
    JobBuilder job({'e', '\n'});

    ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), job.record, kJobTimeoutMs), TILOPRN_SUCCESS);
    const auto results = resultLog.WaitFor(link.handle(), 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, TILOPRN_PRINTER_ERROR);
    EXPECT_EQ(results[0].status & c.statusBits, c.statusBits);
    const Bytes wire = link.emulator().tcpBytes();
    EXPECT_EQ(engine_test::CountBytes(wire, kOfflineResponseQuery), c.offlineQueries);
    EXPECT_TRUE(JobIds(wire).empty()) << "a job was sent to a printer in error";
    EXPECT_EQ(GetNeedRecover(link.handle()), 1);
  }
}

TEST(SendChain, ConnectionResetMidJobEndsItAsNoResponse) {
  PrinterLink link(kResetAddress);
  ASSERT_TRUE(link.ready());
  link.AnalyseLikeTheMonitor();
  ASSERT_TRUE(link.EnableAsb());
  // More than the loopback socket buffers hold, so the reset fails the write
  // itself rather than the polls after a job that looked sent.
  const Bytes body(16 * 1024 * 1024, 'r');
  JobBuilder job(body);
  printer_emulator::Disconnect reset;
  reset.point = printer_emulator::DisconnectPoint::AfterBytes;
  reset.count = link.emulator().tcpBytes().size() + 4096;
  reset.reset = true;
  link.emulator().scheduleDisconnect(reset);

  ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), job.record, kJobTimeoutMs), TILOPRN_SUCCESS);
  const auto results = resultLog.WaitFor(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_IO_ERROR);
  EXPECT_NE(results[0].status & 0x1u, 0u);
  // Nothing of the dropped link counts for the next job: the status is
  // unknown until the printer is asked again, which only a new link does.
  uint8_t raw[4];
  GetRawAsb(link.handle(), raw);
  if (raw[0] != 0xFF) {
    EXPECT_EQ(link.emulator().clientsAccepted(), 2);
  }
}

// What the opening code asks for: every query, nothing known yet.
StepContext_t OpenDeviceInfoContext(int32_t* online) {
  StepContext_t context{};
  *online = 1;
  context.online = online;
  context.deviceInfo.batteryQuery = 1;
  context.deviceInfo.infoQuery = 1;
  context.deviceInfo.settingQuery = 1;
  context.deviceInfo.infoKnown = 0;
  context.deviceInfo.paperSupport = 0xFFFFFFFFu;
  context.deviceInfo.replyTimeoutMs = 1000;
  return context;
}

TEST(GetDeviceInformation, LearnsWhatEachProfileReports) {
  struct Case {
    const char* what;
    int address;
    Profile profile;
    uint8_t batteryModel;
    int32_t interruptSupport;
  };
  const Case cases[] = {
      {"receipt", kReceiptInfoAddress, Profile::Receipt, 0, 2},
      {"battery", kBatteryInfoAddress, Profile::Battery, 1, 2},
      {"interrupt", kInterruptInfoAddress, Profile::Interrupt, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PrinterLink link(c.address, c.profile);
    ASSERT_TRUE(link.ready());
    int32_t online = 0;
    StepContext_t context = OpenDeviceInfoContext(&online);

    EXPECT_EQ(link.RunStep(context, GetDeviceInformation, "GetDeviceInformation"), TILOPRN_SUCCESS);
    PrintHandle_t* handle = link.handle();
    EXPECT_EQ(handle->batteryModel.load(), c.batteryModel);
    EXPECT_EQ(handle->interruptSupport.load(), c.interruptSupport);
    EXPECT_EQ(handle->infoByte.load(), '2');
    EXPECT_EQ(handle->infoKind.load(), 2);
    EXPECT_EQ(handle->paperSupport.load(), 0x7u);
    EXPECT_NE(handle->modelId.load(), 0xFF);
    EXPECT_EQ(handle->responseEnabled.load(), 1);
    EXPECT_EQ(handle->asbSettingDone.load(), 1);
  }
}

TEST(GetDeviceInformation, SilentPrinterStopsAfterTheAsbEnable) {
  PrinterLink link(kDmaAddress);
  ASSERT_TRUE(link.ready());
  link.handle()->dma = 1;
  int32_t online = 0;
  StepContext_t context = OpenDeviceInfoContext(&online);

  EXPECT_EQ(link.RunStep(context, GetDeviceInformation, "GetDeviceInformation"), TILOPRN_SUCCESS);
  const Bytes expected = {0x10, 0x04, 0x12, 0x01, 0x10, 0x14, 0x07,
                          0x05, 0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF};
  const Bytes wire = link.WireAfter(expected.size());
  EXPECT_EQ(wire, expected);
  EXPECT_EQ(Find(wire, kModelIdQuery), kNotFound);
}

// At a transaction end the paper support is known already; a printer that
// was not online is asked for its status and recovered instead of queried.
TEST(GetDeviceInformation, AsksOnlyWhatItDoesNotKnow) {
  struct Case {
    const char* what;
    int32_t online;
    uint8_t infoKnown;
    uint32_t paperSupport;
    bool modelQuery, paperQuery, statusRequest, recovered;
  };
  const Case cases[] = {
      {"known at a transaction end", 1, 1, 0x7, true, false, false, false},
      {"known flag without a value", 1, 1, 0xFFFFFFFFu, true, true, false, false},
      {"not online", 0, 0, 0xFFFFFFFFu, false, false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PrinterLink link(kInfoVariantsAddress);
    ASSERT_TRUE(link.ready());
    int32_t online = 0;
    StepContext_t context = OpenDeviceInfoContext(&online);
    online = c.online;
    context.deviceInfo.infoKnown = c.infoKnown;
    context.deviceInfo.paperSupport = c.paperSupport;

    EXPECT_EQ(link.RunStep(context, GetDeviceInformation, "GetDeviceInformation"), TILOPRN_SUCCESS);
    // The step's last writes may still be on their way when it returns: wait
    // for every sequence it should have sent before judging the others.
    const std::pair<const Bytes*, bool> wanted[] = {{&kModelIdQuery, c.modelQuery},
                                                    {&kPaperSupportQuery, c.paperQuery},
                                                    {&kStatusRequest, c.statusRequest},
                                                    {&kClearBuffer, c.recovered}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (const auto& [sequence, sent] : wanted) {
      while (sent && Find(link.emulator().tcpBytes(), *sequence) == kNotFound &&
             std::chrono::steady_clock::now() < deadline) {
        link.emulator().waitForTcpBytes(link.emulator().tcpBytes().size() + 1,
                                        std::chrono::milliseconds(100));
      }
    }
    const Bytes wire = link.emulator().tcpBytes();
    EXPECT_EQ(Find(wire, kModelIdQuery) != kNotFound, c.modelQuery);
    EXPECT_EQ(Find(wire, kPaperSupportQuery) != kNotFound, c.paperQuery);
    EXPECT_EQ(Find(wire, kStatusRequest) != kNotFound, c.statusRequest);
    EXPECT_EQ(Find(wire, kClearBuffer) != kNotFound, c.recovered);
    EXPECT_NE(link.handle()->interruptSupport.load(), 0) << "still unknown after the step";
  }
}

TEST(ClosingOperation, OnlinePrinterAnswersItsModelAndIsLeftAlone) {
  PrinterLink link(kClosingOnlineAddress);
  ASSERT_TRUE(link.ready());
  ReplyWaitContext replies{};
  replies.handle = link.handle();
  StepContext_t context{};
  context.replyWait = &replies;

  EXPECT_EQ(link.RunStep(context, ClosingOperation, "ClosingOperation"), TILOPRN_SUCCESS);
  const Bytes wire = link.emulator().tcpBytes();
  EXPECT_NE(Find(wire, kModelIdQuery), kNotFound);
  EXPECT_EQ(Find(wire, kClearBuffer), kNotFound) << "a healthy printer was recovered";

  // Without a handle in the reply-wait context there is nothing to close.
  ReplyWaitContext empty{};
  context.replyWait = &empty;
  EXPECT_EQ(link.RunStep(context, ClosingOperation, "ClosingOperation"), TILOPRN_FAILURE);
}

TEST(ClosingOperation, OfflinePrinterIsRecoveredOnce) {
  PrinterLink link(kClosingOfflineAddress);
  ASSERT_TRUE(link.ready());
  Faults offline;
  offline.offline = true;
  link.emulator().state().setFaults(offline);
  SetNeedRecover(link.handle(), 1);
  ReplyWaitContext replies{};
  replies.handle = link.handle();
  StepContext_t context{};
  context.replyWait = &replies;

  EXPECT_EQ(link.RunStep(context, ClosingOperation, "ClosingOperation"), TILOPRN_SUCCESS);
  EXPECT_EQ(engine_test::CountBytes(link.emulator().tcpBytes(), kClearBuffer), 1u);
  EXPECT_EQ(GetNeedRecover(link.handle()), 0);
}

// A printer that takes interrupt jobs is asked to let this host go first; one
// that refuses is left as it is.
TEST(ClosingOperation, InterruptPrinterIsAskedFirst) {
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "refused" : "accepted");
    PrinterLink link(kClosingInterruptAddress, Profile::Interrupt);
    ASSERT_TRUE(link.ready());
    link.emulator().state().withModel([&](auto& model) { model.setInterruptRefused(refused); });
    link.handle()->interruptSupport = 1;
    ReplyWaitContext replies{};
    replies.handle = link.handle();
    StepContext_t context{};
    context.replyWait = &replies;

    EXPECT_EQ(link.RunStep(context, ClosingOperation, "ClosingOperation"), TILOPRN_SUCCESS);
    const Bytes wire = link.emulator().tcpBytes();
    const size_t request = Find(wire, kInterruptRequest);
    ASSERT_NE(request, kNotFound);
    const size_t model = Find(wire, kModelIdQuery, request);
    EXPECT_EQ(model == kNotFound, refused);
  }
}

// A printer that answers its status but never its model: the closing gives
// up at once when the near-end sensor explains it, else after 30 s in all.
TEST(ClosingOperation, PrinterThatNeverAnswersItsModelIsGivenUp) {
  struct Case {
    const char* what;
    uint32_t paperSupport;
    uint8_t thirdStatusByte;
    int64_t atLeastMs, atMostMs;
  };
  const Case cases[] = {
      {"the near-end sensor explains it", 0x4, 0x08, 2000, 10000},
      {"nothing explains it", 0x0, 0x00, 30000, 45000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PrinterLink link(kClosingSilentModelAddress);
    ASSERT_TRUE(link.ready());
    link.emulator().setReplyDelay(printer_emulator::ReplyClass::Query, std::chrono::minutes(5));
    link.handle()->paperSupport = c.paperSupport;
    const uint8_t raw[4] = {0x10, 0x00, c.thirdStatusByte, 0x00};
    SetRawAsb(link.handle(), raw);
    ReplyWaitContext replies{};
    replies.handle = link.handle();
    StepContext_t context{};
    context.replyWait = &replies;

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.RunStep(context, ClosingOperation, "ClosingOperation"), TILOPRN_TIMEOUT);
    const int64_t took = io_test::msSince(start);
    EXPECT_GE(took, c.atLeastMs);
    EXPECT_LE(took, c.atMostMs);
  }
}

}  // namespace
