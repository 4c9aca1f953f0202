// The customer display job's chain against the printer emulator over loopback
// TCP: the frame it puts on the wire, how outstanding print jobs hold it back,
// and the code each outcome reaches the display result callback with.

#include "engine/display_chain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "encoding/builder/cmd_handle.h"
#include "encoding/display/dsp_cmd_handle.h"
#include "encoding/printer/prn_cmd.h"
#include "engine/builder_ops.h"
#include "engine/builder_records.h"
#include "engine/event_callbacks.h"
#include "engine/print_result.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/send_chain.h"
#include "engine/status_store.h"
#include "engine_test_support.h"
#include "foundation/lock_guard.h"

using namespace tilo2::core;
using printer_emulator::JobIdMode;
using printer_emulator::LogChannel;
using printer_emulator::PrinterEmulator;

namespace {

using Bytes = std::vector<uint8_t>;
using Codes = std::vector<int32_t>;
constexpr size_t kNotFound = std::string::npos;

constexpr auto kDeadline = std::chrono::seconds(20);
// The display job's own 10000 ms and then some.
constexpr auto kTimeoutDeadline = std::chrono::seconds(30);
constexpr int32_t kPrintTimeoutMs = 20000;
// A job end that comes well before the display job's timeout.
constexpr int64_t kPromptMs = 5000;

// Addresses 380 to 409 (127.0.1.124 on) belong to these tests.
constexpr int kStartupAddress = 380;
constexpr int kWireAddress = 381;
constexpr int kReorderAddress = 382;
constexpr int kBuildFailureAddress = 383;
constexpr int kEmptyAddress = 384;
constexpr int kAttachedAddress = 385;
constexpr int kNoEndAddress = 386;
constexpr int kResetAddress = 387;
constexpr int kRefusalAddress = 388;
constexpr int kStaleFrameAddress = 389;
// Addresses 1410 to 1429 belong to the sends made while a result is reported.
constexpr int kReportedSendAddress = 1410;

const Bytes kDisplayBegin = {0x1B, 0x3D, 0x02};
const Bytes kDisplayEnd = {0x1B, 0x3D, 0x01};
const Bytes kJobIdRequest = {0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30};

// The result codes each handle's callbacks of one kind received, in order.
class CodeLog {
 public:
  void Add(PrintHandle_t* handle, int32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    codes_[handle].push_back(code);
    changed_.notify_all();
  }
  // The first count codes of the handle, or fewer when they do not come.
  Codes WaitFor(PrintHandle_t* handle, size_t count,
                std::chrono::steady_clock::duration limit = kDeadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return codes_[handle].size() >= count; });
    return codes_[handle];
  }
  Codes Now(PrintHandle_t* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return codes_[handle];
  }
  void Forget(PrintHandle_t* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    codes_.erase(handle);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<PrintHandle_t*, Codes> codes_;
};

CodeLog displayLog;
CodeLog printLog;

void RecordDisplay(PrintHandle_t* handle, const char*, int32_t code) {
  displayLog.Add(handle, code);
}

void RecordPrint(PrintHandle_t* handle, const char*, int32_t code, uint32_t, int32_t, const char*) {
  printLog.Add(handle, code);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

size_t Find(const Bytes& haystack, const Bytes& needle) {
  return engine_test::FindBytes(haystack, needle);
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char cell[4];
  for (const uint8_t b : bytes) {
    std::snprintf(cell, sizeof cell, "%02X ", b);
    text += cell;
  }
  return text;
}

// The ids of the job-id requests on the wire, print and display jobs alike.
std::vector<std::string> JobIds(const Bytes& wire) {
  std::vector<std::string> ids;
  for (size_t at = engine_test::FindBytes(wire, kJobIdRequest); at != kNotFound;
       at = engine_test::FindBytes(wire, kJobIdRequest, at + 1)) {
    const size_t id = at + kJobIdRequest.size();
    if (id + 4 <= wire.size()) ids.emplace_back(wire.begin() + id, wire.begin() + id + 4);
  }
  return ids;
}

// Polls the condition until it holds or the limit passes.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::steady_clock::duration limit = kDeadline) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The emulated printer with a customer display behind it, left as the opening
// code leaves it: recovered, job ends completing jobs as while the status
// monitor runs, and the display and print result callbacks set.
class DisplayLink {
 public:
  explicit DisplayLink(int address) : printer_(address) {
    if (!printer_.ok()) return;
    PrintHandle_t* handle = printer_.handle();
    handle->monitorWanted = 1;
    SetNeedRecover(handle, 0);
    handle->replyHandler = AnalyzeResponse;
    SetResultCallback(handle, RESULT_DISPLAY, reinterpret_cast<void*>(&RecordDisplay));
    SetResultCallback(handle, RESULT_PRINT, reinterpret_cast<void*>(&RecordPrint));
  }

  ~DisplayLink() {
    PrintHandle_t* handle = printer_.handle();
    if (handle == nullptr) return;
    // Every job wait ends before the queue it wakes goes away.
    EXPECT_TRUE(WaitUntil([&] { return handle->jobCount.load() == 0; }, kTimeoutDeadline))
        << "a job wait never ended";
    // The last wait thread lowers the count under the job-list lock; taking
    // the lock once lets it finish with the lock before the handle goes.
    { PlatformLockGuard settled(handle->jobListLock); }
    displayLog.Forget(handle);
    printLog.Forget(handle);
    printer_.Close();
  }

  DisplayLink(const DisplayLink&) = delete;
  DisplayLink& operator=(const DisplayLink&) = delete;

  bool ready() const { return printer_.ok(); }
  PrintHandle_t* handle() const { return printer_.handle(); }
  PrinterEmulator& emulator() const { return printer_.emulator(); }
  Bytes Wire() const { return emulator().tcpBytes(); }

  // Everything the printer passed on to its display.
  Bytes DisplayChannel() const {
    uint64_t cursor = 0;
    Bytes shown;
    for (const auto& entry : emulator().readLog(cursor)) {
      if (entry.channel == LogChannel::TcpDisplay && !entry.fromPrinter) {
        shown.insert(shown.end(), entry.bytes.begin(), entry.bytes.end());
      }
    }
    return shown;
  }

  // A full print buffer: print data and job ends wait until it is released.
  void HoldPrinting(bool hold) const {
    emulator().state().withModel([&](auto& model) { model.setHoldPrinting(hold); });
  }

 private:
  engine_test::EmulatedPrinter printer_;
};

// A display builder record for the receipt printer's display whose body is
// exactly these bytes.
struct DisplayJob {
  explicit DisplayJob(const Bytes& body) {
    EXPECT_EQ(TiloCreateDisplayBuilder(&record, "CD-A1"), TILOPRN_SUCCESS);
    if (record != nullptr && !body.empty()) {
      EXPECT_EQ(TiloDisplayAddCommand(record, body.data(), static_cast<uint32_t>(body.size())),
                TILOPRN_SUCCESS);
    }
  }
  ~DisplayJob() {
    if (record != nullptr) TiloDestroyDisplayBuilder(record);
  }
  DisplayJob(const DisplayJob&) = delete;
  DisplayJob& operator=(const DisplayJob&) = delete;

  DisplayBuilder_t* record = nullptr;
};

struct PrintJob {
  explicit PrintJob(const Bytes& body) {
    EXPECT_EQ(TiloCreateBuilder(&record, "RP-X5E", 0), TILOPRN_SUCCESS);
    if (record != nullptr) {
      EXPECT_EQ(
          PrnCmdAddCommand(record->builder.get(), body.data(), static_cast<uint32_t>(body.size())),
          0);
    }
  }
  ~PrintJob() {
    if (record != nullptr) TiloDestroyBuilder(record);
  }
  PrintJob(const PrintJob&) = delete;
  PrintJob& operator=(const PrintJob&) = delete;

  PrinterBuilder_t* record = nullptr;
};

// The first display job and print job of a fresh process; the first problem
// found, or an empty text.
std::string FirstJobsAfterStartUp() {
  DisplayLink link(kStartupAddress);
  if (!link.ready()) return "no printer";
  PrintHandle_t* handle = link.handle();
  const Bytes body = {'W', 'e', 'l', 'c', 'o', 'm', 'e'};
  DisplayJob display(body);
  if (QueueSendDisplay(nullptr, handle, display.record) != TILOPRN_SUCCESS) {
    return "the display job was not queued";
  }
  if (displayLog.WaitFor(handle, 1) != Codes{TILOPRN_SUCCESS}) return "the display job failed";
  PrintJob print({'p', '\n'});
  if (QueueSendPrinter(nullptr, handle, print.record, kPrintTimeoutMs) != TILOPRN_SUCCESS) {
    return "the print job was not queued";
  }
  if (printLog.WaitFor(handle, 1) != Codes{TILOPRN_SUCCESS}) return "the print job failed";

  const Bytes wire = link.Wire();
  const Bytes frame = Cat({kDisplayBegin, body, kDisplayEnd, kJobIdRequest, {'1', '0', '0', '0'}});
  if (Find(wire, frame) == kNotFound) return "no display frame in " + Hex(wire);
  const auto ids = JobIds(wire);
  if (ids != std::vector<std::string>{"1000", "0001"}) return "job ids on the wire: " + Hex(wire);
  if (link.DisplayChannel() != body) return "shown on the display: " + Hex(link.DisplayChannel());
  return {};
}

TEST(DisplayChainStartup, FirstDisplayJobTakes1000AndTheNextPrintJob0001) {
  // Only a process of its own starts with the job-id counter untouched: the
  // child runs the test binary afresh.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::string problem = FirstJobsAfterStartUp();
        std::fprintf(stderr, "startup: %s\n", problem.empty() ? "ok" : problem.c_str());
        std::exit(problem.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "startup: ok");
}

TEST(DisplayChain, BodyGoesFramedToTheDisplayAndTheJobEndsWithItsId) {
  DisplayLink link(kWireAddress);
  ASSERT_TRUE(link.ready());
  const Bytes body = {'H', 'e', 'l', 'l', 'o', ' ', 'd', 'i', 's', 'p', 'l', 'a', 'y'};
  DisplayJob display(body);

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(QueueSendDisplay(nullptr, link.handle(), display.record), TILOPRN_SUCCESS);
  EXPECT_EQ(displayLog.WaitFor(link.handle(), 1), Codes{TILOPRN_SUCCESS});
  EXPECT_LT(io_test::msSince(start), kPromptMs) << "ended by the timeout, not by its job end";
  // The printer has taken the job: the handle is no longer sending.
  EXPECT_EQ(GetSendInProgress(link.handle()), 0);

  const Bytes wire = link.Wire();
  const auto ids = JobIds(wire);
  ASSERT_EQ(ids.size(), 1u) << Hex(wire);
  ASSERT_EQ(ids[0][0], '1') << ids[0];
  const Bytes id(ids[0].begin(), ids[0].end());
  const Bytes frame = Cat({kDisplayBegin, body, kDisplayEnd, kJobIdRequest, id});
  EXPECT_NE(Find(wire, frame), kNotFound) << Hex(wire);
  EXPECT_EQ(link.DisplayChannel(), body);
  // The caller's builder is untouched: the job framed and stamped its copy.
  EXPECT_EQ(display.record->builder->cmdBuffer.trailer, nullptr);
  EXPECT_EQ(std::memcmp(display.record->builder->processId, "FFFF", 4), 0);

  // Print and display jobs count on one counter.
  PrintJob print({'p', '\n'});
  ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), print.record, kPrintTimeoutMs),
            TILOPRN_SUCCESS);
  EXPECT_EQ(printLog.WaitFor(link.handle(), 1), Codes{TILOPRN_SUCCESS});
  const auto both = JobIds(link.Wire());
  ASSERT_EQ(both.size(), 2u);
  const long displayNumber = std::strtol(both[0].c_str(), nullptr, 16) - 0x1000;
  const long printNumber = std::strtol(both[1].c_str(), nullptr, 16);
  EXPECT_EQ(printNumber, (displayNumber + 1) % 0xFFF) << both[0] << " then " << both[1];
}

// Print jobs whose end has not come hold a display job back: one of them may
// be out while two jobs may run at once, none otherwise. A refused job is
// never queued.
TEST(DisplayChain, OutstandingPrintJobsHoldItBackByReorderMode) {
  struct Case {
    const char* what;
    int32_t reorderMode;
    int printJobs;
    int expected;
  };
  const Case cases[] = {
      {"nothing out", 2, 0, TILOPRN_SUCCESS},
      {"one out, two jobs may run", 1, 1, TILOPRN_SUCCESS},
      {"one out, one job at a time", 2, 1, TILOPRN_ILLEGAL_STATE},
      {"one out, no reordering", 0, 1, TILOPRN_ILLEGAL_STATE},
      {"two out, two jobs may run", 1, 2, TILOPRN_ILLEGAL_STATE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DisplayLink link(kReorderAddress);
    ASSERT_TRUE(link.ready());
    PrintHandle_t* handle = link.handle();
    handle->queue->reorderMode = c.reorderMode;
    link.HoldPrinting(true);
    std::vector<std::unique_ptr<PrintJob>> prints;
    for (int i = 0; i < c.printJobs; ++i) {
      prints.push_back(std::make_unique<PrintJob>(Bytes{'p', '\n'}));
      ASSERT_EQ(QueueSendPrinter(nullptr, handle, prints.back()->record, kPrintTimeoutMs),
                TILOPRN_SUCCESS);
    }
    ASSERT_TRUE(WaitUntil([&] { return handle->jobCount.load() == c.printJobs; }));
    const Bytes body = {'d', 'i', 's', 'p'};
    DisplayJob display(body);

    EXPECT_EQ(TiloSendDisplayData(nullptr, handle, display.record), c.expected);
    const bool accepted = c.expected == TILOPRN_SUCCESS;
    if (accepted) {
      // It runs beside the print job that is still out.
      EXPECT_TRUE(WaitUntil([&] { return link.DisplayChannel() == body; }));
      EXPECT_EQ(handle->jobCount.load(), c.printJobs + 1);
    } else {
      EXPECT_EQ(handle->jobCount.load(), c.printJobs);
    }
    link.HoldPrinting(false);
    EXPECT_EQ(printLog.WaitFor(handle, c.printJobs), Codes(c.printJobs, TILOPRN_SUCCESS));
    if (accepted) {
      EXPECT_EQ(displayLog.WaitFor(handle, 1), Codes{TILOPRN_SUCCESS});
    } else {
      ASSERT_TRUE(WaitUntil([&] { return handle->jobCount.load() == 0; }));
      EXPECT_TRUE(displayLog.Now(handle).empty());
      EXPECT_EQ(Find(link.Wire(), kDisplayBegin), kNotFound);
    }
  }
}

// Whatever keeps the job from being built still reaches the display result
// callback, and nothing reaches the printer.
TEST(DisplayChain, BuildFailuresReachTheDisplayCallback) {
  DisplayLink link(kBuildFailureAddress);
  ASSERT_TRUE(link.ready());
  PrintHandle_t* handle = link.handle();
  DisplayJob windowError({'w'});
  // Window 4 was never created.
  ASSERT_EQ(TiloDisplayAddSetCurrentWindow(windowError.record, 4), TILOPRN_SUCCESS);
  DisplayBuilder_t noCommandBuilder{};
  DspCmdHandle_t foreign{};
  foreign.size = sizeof foreign;
  foreign.tag = 0x48565858;  // not a display command builder's tag
  DisplayBuilder_t foreignBuilder{};
  foreignBuilder.builder = &foreign;
  struct Case {
    const char* what;
    DisplayBuilder_t* builder;
    int32_t code;
  };
  const Case cases[] = {
      {"window error", windowError.record, TILOPRN_DISPLAY_WINDOW_ERROR},
      {"no command builder", &noCommandBuilder, TILOPRN_FAILURE},
      {"foreign command builder", &foreignBuilder, TILOPRN_FAILURE},
  };
  size_t reported = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(QueueSendDisplay(nullptr, handle, c.builder), TILOPRN_SUCCESS);
    const Codes codes = displayLog.WaitFor(handle, ++reported);
    ASSERT_EQ(codes.size(), reported);
    EXPECT_EQ(codes.back(), c.code);
    ASSERT_TRUE(WaitUntil([&] { return handle->jobCount.load() == 0; }));
  }
  EXPECT_EQ(Find(link.Wire(), kDisplayBegin), kNotFound);
}

// Bytes never sent draw no job end: an empty job ends at once with 0.
TEST(DisplayChain, EmptyJobEndsAtOnceWithoutWriting) {
  DisplayLink link(kEmptyAddress);
  ASSERT_TRUE(link.ready());
  DisplayJob empty({});

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(QueueSendDisplay(nullptr, link.handle(), empty.record), TILOPRN_SUCCESS);
  EXPECT_EQ(displayLog.WaitFor(link.handle(), 1), Codes{TILOPRN_SUCCESS});
  EXPECT_LT(io_test::msSince(start), kPromptMs);
  ASSERT_TRUE(WaitUntil([&] { return link.handle()->jobCount.load() == 0; }));
  EXPECT_EQ(Find(link.Wire(), kDisplayBegin), kNotFound);
  EXPECT_TRUE(JobIds(link.Wire()).empty());
  EXPECT_EQ(GetNeedRecover(link.handle()), 0);
}

// A "1xxx" job end completes the display job whether or not the attached
// printer builder's job-end test knows it.
TEST(DisplayChain, JobEndCompletesItWhateverBuilderIsAttached) {
  struct Case {
    const char* what;
    const char* model;  // null: none attached
  };
  const Case cases[] = {
      {"none attached", nullptr},
      {"a model that names its jobs", "RP-X5E"},
      {"a model whose job end is one status byte", "RP-D4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DisplayLink link(kAttachedAddress);
    ASSERT_TRUE(link.ready());
    if (c.model != nullptr) {
      PrinterBuilder_t* attached = nullptr;
      ASSERT_EQ(TiloCreateBuilder(&attached, c.model, 0), TILOPRN_SUCCESS);
      TiloAttachBuilder(link.handle(), attached);
      TiloDestroyBuilder(attached);
      ASSERT_NE(GetAttachedBuilder(link.handle()), nullptr);
    }
    DisplayJob display({'a'});

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(QueueSendDisplay(nullptr, link.handle(), display.record), TILOPRN_SUCCESS);
    EXPECT_EQ(displayLog.WaitFor(link.handle(), 1), Codes{TILOPRN_SUCCESS});
    EXPECT_LT(io_test::msSince(start), kPromptMs) << "ended by the timeout, not by its job end";
    EXPECT_EQ(GetSendInProgress(link.handle()), 0) << "the handle still counts as sending";
  }
}

TEST(DisplayChain, JobWithoutAnEndTimesOutAfterTenSeconds) {
  DisplayLink link(kNoEndAddress);
  ASSERT_TRUE(link.ready());
  link.emulator().state().withModel([](auto& model) { model.setJobIdMode(JobIdMode::Drop); });
  DisplayJob display({'t'});

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(QueueSendDisplay(nullptr, link.handle(), display.record), TILOPRN_SUCCESS);
  EXPECT_EQ(displayLog.WaitFor(link.handle(), 1, kTimeoutDeadline), Codes{TILOPRN_TIMEOUT});
  const int64_t took = io_test::msSince(start);
  EXPECT_GE(took, kDisplayJobTimeoutMs);
  EXPECT_LT(took, kDisplayJobTimeoutMs + kPromptMs);
}

TEST(DisplayChain, ConnectionResetMidJobEndsItWith3) {
  DisplayLink link(kResetAddress);
  ASSERT_TRUE(link.ready());
  // More than the loopback socket buffers hold, so the reset fails the write
  // itself rather than leaving a job that looked sent.
  DisplayJob display(Bytes(16 * 1024 * 1024, 'r'));
  printer_emulator::Disconnect reset;
  reset.point = printer_emulator::DisconnectPoint::AfterBytes;
  reset.count = link.Wire().size() + 4096;
  reset.reset = true;
  link.emulator().scheduleDisconnect(reset);

  ASSERT_EQ(QueueSendDisplay(nullptr, link.handle(), display.record), TILOPRN_SUCCESS);
  EXPECT_EQ(displayLog.WaitFor(link.handle(), 1), Codes{TILOPRN_IO_ERROR});
}

// Refusals come at once, before anything is queued; the public entry passes
// them through.
TEST(DisplayChain, RefusesWhatCannotBeSent) {
  DisplayLink link(kRefusalAddress);
  ASSERT_TRUE(link.ready());
  DisplayJob display({'x'});
  PrintHandle_t* unconnected = nullptr;
  ASSERT_EQ(TiloCreateHandle(&unconnected), 0);
  PrintHandle_t stranger{};
  // A display command builder of an older, smaller record cannot be copied.
  DspCmdHandle_t truncated{};
  truncated.size = sizeof truncated - 1;
  truncated.tag = kDspCmdTag;
  DisplayBuilder_t uncopyable{};
  uncopyable.builder = &truncated;
  struct Case {
    const char* what;
    PrintHandle_t* handle;
    DisplayBuilder_t* builder;
    int expected;
  };
  const Case cases[] = {
      {"no handle", nullptr, display.record, TILOPRN_PARAMETER_ERROR},
      {"no builder", link.handle(), nullptr, TILOPRN_PARAMETER_ERROR},
      {"unknown handle", &stranger, display.record, TILOPRN_PARAMETER_ERROR},
      {"no connection", unconnected, display.record, TILOPRN_ILLEGAL_STATE},
      {"builder that cannot be copied", link.handle(), &uncopyable, TILOPRN_MEMORY_ERROR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(QueueSendDisplay(nullptr, c.handle, c.builder), c.expected);
    EXPECT_EQ(TiloSendDisplayData(nullptr, c.handle, c.builder), c.expected);
  }
  EXPECT_EQ(link.handle()->jobCount.load(), 0);
  EXPECT_EQ(unconnected->jobCount.load(), 0);
  EXPECT_EQ(TiloDestroyHandle(unconnected), 0);
}

// A builder built once before carries a frame with that build's id; the job
// still asks the printer for its own end.
TEST(DisplayChain, FrameOfAnEarlierBuildIsNotSentAgain) {
  DisplayLink link(kStaleFrameAddress);
  ASSERT_TRUE(link.ready());
  DisplayJob display({'s'});
  CmdData_t* earlier = nullptr;
  ASSERT_EQ(DspCmdBuild(display.record->builder, &earlier), 0);
  CmdDataFree(earlier);
  ASSERT_NE(display.record->builder->cmdBuffer.trailer, nullptr);

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(QueueSendDisplay(nullptr, link.handle(), display.record), TILOPRN_SUCCESS);
  EXPECT_EQ(displayLog.WaitFor(link.handle(), 1), Codes{TILOPRN_SUCCESS});
  EXPECT_LT(io_test::msSince(start), kPromptMs) << "ended by the timeout, not by its job end";
  const auto ids = JobIds(link.Wire());
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids[0][0], '1') << ids[0];
}

// Runs once, on the job wait thread, from the next result callback of either
// kind, before that callback returns.
class ReportHook {
 public:
  void Set(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
  }
  void RunOnce() {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hook.swap(hook_);
    }
    if (hook) hook();
  }

 private:
  std::mutex mutex_;
  std::function<void()> hook_;
};

ReportHook reportHook;

void HookedDisplay(PrintHandle_t* handle, const char* address, int32_t code) {
  reportHook.RunOnce();
  RecordDisplay(handle, address, code);
}

void HookedPrint(PrintHandle_t* handle, const char* address, int32_t code, uint32_t status,
                 int32_t battery, const char* jobId) {
  reportHook.RunOnce();
  RecordPrint(handle, address, code, status, battery, jobId);
}

// A flag one thread raises and another waits for, with a deadline.
class Flag {
 public:
  void Raise() {
    std::lock_guard<std::mutex> lock(mutex_);
    raised_ = true;
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return raised_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool raised_ = false;
};

// Once a job's result is being reported the job is over: a job sent from the
// result callback, or from another thread while the callback runs, is neither
// refused nor held back by it.
TEST(DisplayChain, JobSentWhileTheResultIsReportedIsTakenAtOnce) {
  enum class Trigger { kDisplay, kPrint };
  enum class Next { kDisplayFromCallback, kDisplayFromAnotherThread, kPrintFromCallback };
  struct Case {
    const char* what;
    Trigger trigger;
    Next next;
  };
  const Case cases[] = {
      {"display job from the display callback", Trigger::kDisplay, Next::kDisplayFromCallback},
      {"display job from the print callback", Trigger::kPrint, Next::kDisplayFromCallback},
      {"display job while the display callback runs", Trigger::kDisplay,
       Next::kDisplayFromAnotherThread},
      {"display job while the print callback runs", Trigger::kPrint,
       Next::kDisplayFromAnotherThread},
      {"print job from the display callback", Trigger::kDisplay, Next::kPrintFromCallback},
  };
  int address = kReportedSendAddress;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DisplayLink link(address++);
    ASSERT_TRUE(link.ready());
    PrintHandle_t* handle = link.handle();
    SetResultCallback(handle, RESULT_DISPLAY, reinterpret_cast<void*>(&HookedDisplay));
    SetResultCallback(handle, RESULT_PRINT, reinterpret_cast<void*>(&HookedPrint));

    const Bytes nextBody = {'n', 'e', 'x', 't'};
    DisplayJob nextDisplay(nextBody);
    PrintJob nextPrint(nextBody);
    std::atomic<int> sent{-1};
    std::atomic<bool> wentOutInCallback{false};
    Flag entered;
    Flag released;
    // A hook left behind by a failed case must not run in a later test.
    struct Unhook {
      ~Unhook() { reportHook.Set(nullptr); }
    } unhook;
    reportHook.Set([&] {
      switch (c.next) {
        case Next::kDisplayFromCallback:
          sent = QueueSendDisplay(nullptr, handle, nextDisplay.record);
          break;
        case Next::kDisplayFromAnotherThread:
          entered.Raise();
          released.Wait();
          break;
        case Next::kPrintFromCallback:
          sent = QueueSendPrinter(nullptr, handle, nextPrint.record, kPrintTimeoutMs);
          // Nothing holds it back while this callback still runs.
          wentOutInCallback = WaitUntil([&] { return Find(link.Wire(), nextBody) != kNotFound; });
          break;
      }
    });

    DisplayJob firstDisplay({'f', 'i', 'r', 's', 't'});
    PrintJob firstPrint({'f', 'i', 'r', 's', 't', '\n'});
    if (c.trigger == Trigger::kDisplay) {
      ASSERT_EQ(QueueSendDisplay(nullptr, handle, firstDisplay.record), TILOPRN_SUCCESS);
    } else {
      ASSERT_EQ(QueueSendPrinter(nullptr, handle, firstPrint.record, kPrintTimeoutMs),
                TILOPRN_SUCCESS);
    }
    if (c.next == Next::kDisplayFromAnotherThread) {
      ASSERT_TRUE(entered.Wait());
      sent = TiloSendDisplayData(nullptr, handle, nextDisplay.record);
      released.Raise();
    }

    // Both results arrive, the second job's with 0.
    const size_t displays =
        (c.trigger == Trigger::kDisplay ? 1 : 0) + (c.next == Next::kPrintFromCallback ? 0 : 1);
    const size_t prints =
        (c.trigger == Trigger::kPrint ? 1 : 0) + (c.next == Next::kPrintFromCallback ? 1 : 0);
    EXPECT_EQ(displayLog.WaitFor(handle, displays), Codes(displays, TILOPRN_SUCCESS));
    EXPECT_EQ(printLog.WaitFor(handle, prints), Codes(prints, TILOPRN_SUCCESS));
    EXPECT_EQ(sent.load(), TILOPRN_SUCCESS);
    if (c.next == Next::kPrintFromCallback) {
      EXPECT_TRUE(wentOutInCallback.load());
    } else {
      EXPECT_TRUE(WaitUntil([&] { return link.DisplayChannel().size() >= nextBody.size(); }));
      const Bytes shown = link.DisplayChannel();
      EXPECT_TRUE(shown.size() >= nextBody.size() &&
                  std::equal(nextBody.begin(), nextBody.end(), shown.end() - nextBody.size()))
          << Hex(shown);
    }
  }
}

}  // namespace
