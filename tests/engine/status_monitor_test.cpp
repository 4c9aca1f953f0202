// The status monitor against a handle whose queue runs on a real connection
// to the printer emulator: what a cycle sends, the interval, waking, the
// silent phase, start failures and a stress of its entry points.

#include "engine/status_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/event_callbacks.h"
#include "engine/job_wait.h"
#include "engine/print_handle.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/test_hooks.h"
#include "engine/wait_object.h"
#include "engine_test_support.h"

using namespace tilo2::core;
using engine_test::CountBytes;
using engine_test::EmulatedPrinter;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(20);
constexpr uint32_t kClearTimeoutCommand = 0x03000016;
constexpr uint32_t kStatusCommand = 0x03000010;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kDeadline) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

const std::vector<uint8_t> kAsbEnable = {0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF};
const std::vector<uint8_t> kClearBuffer = {0x10, 0x14, 0x08, 0x01, 0x03,
                                           0x14, 0x01, 0x06, 0x02, 0x08};

struct CycleCount {
  uint64_t begun;
  uint64_t ended;
};

// What a callback saw of WakeStatusMonitor: how long it took and where it ran.
struct WakeInCallback {
  std::atomic<int> calls{0};
  std::atomic<int64_t> longestMs{0};
  std::atomic<uint32_t> threadId{0};
};
WakeInCallback wakeInCallback;

void WakeFromCallback(TdcBackendEnv_t*, PrintHandle_t* handle, const char*, uint32_t) {
  if (wakeInCallback.calls.load() > 0) return;
  const auto start = Clock::now();
  WakeStatusMonitor(handle);
  const int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  wakeInCallback.longestMs = ms;
  wakeInCallback.threadId = platform_thread_self_id();
  ++wakeInCallback.calls;
}

// A handle open on an emulator at 127.0.0.n with its queue thread running, as
// the open leaves it before the monitor starts.
class StatusMonitor : public ::testing::Test {
 protected:
  void Open(int n) {
    wakeInCallback.calls = 0;
    wakeInCallback.longestMs = 0;
    wakeInCallback.threadId = 0;
    printer_ = std::make_unique<EmulatedPrinter>(n);
    ASSERT_TRUE(printer_->ok());
    handle_ = printer_->handle();
    handle_->monitorWanted = 1;
  }

  void TearDown() override {
    EngineSetThreadCreate(nullptr);
    if (handle_ != nullptr) {
      StopStatusMonitor(handle_);
      EXPECT_EQ(handle_->replyHandler.load(), &AnalyzeOpenResponse);
      EXPECT_EQ(handle_->monitorRunning, 0);
      CancelAllJobWaits(handle_);
    }
    printer_.reset();
  }

  CycleCount Cycles() {
    platform_mutex_lock(&handle_->cycleDoneLock, -1);
    const CycleCount count{handle_->monitorCyclesBegun, handle_->monitorCyclesEnded};
    platform_mutex_unlock(&handle_->cycleDoneLock);
    return count;
  }

  bool WaitCyclesEnded(uint64_t count) {
    return WaitUntil([&] { return Cycles().ended >= count; });
  }

  size_t ClearTimeoutRequests() { return Emulator().udpRequests('C', kClearTimeoutCommand).size(); }

  printer_emulator::PrinterEmulator& Emulator() { return printer_->emulator(); }

  std::unique_ptr<EmulatedPrinter> printer_;
  PrintHandle_t* handle_ = nullptr;
};

TEST_F(StatusMonitor, TheFirstCycleSwitchesAsbOnBeforeCheckAsbAndEachCycleClearsTheTimeout) {
  io_test::LogCapture log;
  ASSERT_NO_FATAL_FAILURE(Open(190));
  ASSERT_EQ(SetMonitorInterval(handle_, 60000), 0);
  ASSERT_EQ(StartStatusMonitor(nullptr, handle_), 0);
  EXPECT_EQ(handle_->replyHandler.load(), &AnalyzeResponse);
  ASSERT_TRUE(WaitCyclesEnded(1));
  EXPECT_EQ(CountBytes(printer_->DataBytes(), kAsbEnable), 1u);
  EXPECT_EQ(ClearTimeoutRequests(), 1u);
  // On TCP the status comes from the network interface, not the data port.
  EXPECT_GE(Emulator().udpRequests('Q', kStatusCommand).size(), 1u);

  const auto started = log.lines({"Queue send start."});
  auto first = [&](const char* name) {
    return std::find_if(started.begin(), started.end(), [&](const std::string& line) {
      return line.find(std::string(",") + name + ",") != std::string::npos;
    });
  };
  ASSERT_NE(first("EnableAsb"), started.end());
  ASSERT_NE(first("CheckAsb"), started.end());
  EXPECT_LT(first("EnableAsb"), first("CheckAsb"));

  // Automatic status is on now: the next cycle only checks it.
  WakeStatusMonitor(handle_);
  EXPECT_GE(Cycles().ended, 2u);
  EXPECT_EQ(ClearTimeoutRequests(), 2u);
  EXPECT_EQ(CountBytes(printer_->DataBytes(), kAsbEnable), 1u);
}

int FailThreadCreate(PlatformThread_t* out, PlatformThreadEntry, void*) {
  *out = nullptr;
  return PLATFORM_EWOULDBLOCK;
}

TEST(StatusMonitorWithoutDevice, StartRefusalsLeaveTheOpenReplyHandler) {
  EXPECT_EQ(StartStatusMonitor(nullptr, nullptr), 6);
  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(TiloCreateHandle(&handle), 0);

  // Not wanted: nothing starts and replies keep being only recorded.
  EXPECT_EQ(StartStatusMonitor(nullptr, handle), 0);
  EXPECT_EQ(handle->replyHandler.load(), &AnalyzeOpenResponse);
  EXPECT_EQ(handle->monitorThread, nullptr);
  EXPECT_EQ(IsMonitorEnabled(handle), 0);

  // A thread that cannot start.
  handle->monitorWanted = 1;
  EngineSetThreadCreate(FailThreadCreate);
  EXPECT_EQ(StartStatusMonitor(nullptr, handle), 255);
  EngineSetThreadCreate(nullptr);
  EXPECT_EQ(handle->replyHandler.load(), &AnalyzeOpenResponse);
  EXPECT_EQ(handle->monitorThread, nullptr);
  EXPECT_EQ(handle->monitorRunning, 0);
  EXPECT_EQ(IsMonitorEnabled(handle), 0);
  // With no monitor, waking and stopping return at once.
  WakeStatusMonitor(handle);
  StopStatusMonitor(handle);
  EXPECT_EQ(handle->replyHandler.load(), &AnalyzeOpenResponse);
  EXPECT_EQ(TiloDestroyHandle(handle), 0);
}

TEST(StatusMonitorWithoutDevice, OnlyTcpConnectionsQueueTheClearConnectionTimeout) {
  EXPECT_EQ(QueueClearConnectionTimeout(nullptr), 1);
  EXPECT_EQ(ClearConnectionTimeout(nullptr), 1);
  StepContext_t noHandle{};
  EXPECT_EQ(ClearConnectionTimeout(&noHandle), 1);

  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(TiloCreateHandle(&handle), 0);
  // A queue without its thread: a request pushed there would stay.
  handle->queue = createQueue(nullptr, handle);
  ASSERT_NE(handle->queue, nullptr);
  for (const int32_t type : {TILOIO_KIND_BLUETOOTH, TILOIO_KIND_USB}) {
    SCOPED_TRACE(type);
    handle->connectionType = type;
    EXPECT_EQ(QueueClearConnectionTimeout(handle), 0);
    EXPECT_FALSE(queue_hasItem(handle->queue));
  }
  destroyQueue(handle->queue);
  handle->queue = nullptr;
  EXPECT_EQ(TiloDestroyHandle(handle), 0);
}

TEST_F(StatusMonitor, ANewIntervalCountsFromTheNextWait) {
  ASSERT_NO_FATAL_FAILURE(Open(191));
  ASSERT_EQ(SetMonitorInterval(handle_, 60000), 0);
  ASSERT_EQ(StartStatusMonitor(nullptr, handle_), 0);
  ASSERT_TRUE(WaitCyclesEnded(1));
  ASSERT_EQ(SetMonitorInterval(handle_, 100), 0);
  // The wait in progress keeps its 60 s.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Cycles().begun, 1u);
  WakeStatusMonitor(handle_);
  EXPECT_TRUE(WaitCyclesEnded(5));
}

TEST_F(StatusMonitor, AWakeStartsACycleAtOnceAndReturnsOnceACycleBegunAfterItEnded) {
  ASSERT_NO_FATAL_FAILURE(Open(192));
  // Each cycle's clear-timeout request is answered late (though before the
  // request is sent again), so the wake below comes while the first cycle is
  // still running.
  printer_emulator::UdpRule slow;
  slow.delay = std::chrono::milliseconds(140);
  Emulator().setUdpRule('C', kClearTimeoutCommand, slow);
  ASSERT_EQ(SetMonitorInterval(handle_, 60000), 0);
  ASSERT_EQ(StartStatusMonitor(nullptr, handle_), 0);
  ASSERT_TRUE(Emulator().waitForUdpRequests('C', kClearTimeoutCommand, 1, kDeadline));
  ASSERT_EQ(Cycles().begun, 1u);
  const auto start = Clock::now();
  WakeStatusMonitor(handle_);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(15));
  // Not the first cycle's end: the one that began after the wake.
  EXPECT_GE(Cycles().ended, 2u);
  EXPECT_EQ(ClearTimeoutRequests(), 2u);
}

TEST_F(StatusMonitor, AWakeFromAnEventCallbackOnTheQueueThreadDoesNotWait) {
  ASSERT_NO_FATAL_FAILURE(Open(193));
  // The first automatic status fires the status change on the queue thread.
  ASSERT_EQ(SetEventCallback(handle_, EVENT_STATUS_CHANGE, WakeFromCallback), 0);
  ASSERT_EQ(SetMonitorInterval(handle_, 60000), 0);
  ASSERT_EQ(StartStatusMonitor(nullptr, handle_), 0);
  ASSERT_TRUE(WaitUntil([] { return wakeInCallback.calls.load() > 0; }));
  EXPECT_EQ(wakeInCallback.threadId.load(), handle_->queue->threadId.load());
  EXPECT_LT(wakeInCallback.longestMs.load(), 1000);
  EXPECT_TRUE(WaitCyclesEnded(1));
}

TEST_F(StatusMonitor, AWakeFromACallbackOnTheMonitorThreadReturnsAtOnce) {
  ASSERT_NO_FATAL_FAILURE(Open(194));
  // A printer that went away: the link is gone and cannot be opened again
  // (a link the printer only dropped would be), so the cycle's recovery
  // fails, and the monitor itself reports that the printer does not answer.
  printer_emulator::UdpRule refused;
  refused.result = 0xF000;
  Emulator().setUdpRule('Q', 0x03000017, refused);
  Emulator().resetClient();
  ASSERT_TRUE(Emulator().waitForNoClient(kDeadline));
  SetNeedRecover(handle_, 1);
  ASSERT_EQ(SetEventCallback(handle_, EVENT_POWER_OFF, WakeFromCallback), 0);
  ASSERT_EQ(SetMonitorInterval(handle_, 60000), 0);
  ASSERT_EQ(StartStatusMonitor(nullptr, handle_), 0);
  ASSERT_TRUE(WaitUntil([] { return wakeInCallback.calls.load() > 0; }));
  EXPECT_NE(wakeInCallback.threadId.load(), handle_->queue->threadId.load());
  EXPECT_LT(wakeInCallback.longestMs.load(), 1000);
  EXPECT_TRUE(WaitCyclesEnded(1));
}

TEST_F(StatusMonitor, TheSilentPhaseChecksAndRecoversWithoutIntervalAndEndsAfterFiveSeconds) {
  io_test::LogCapture log;
  ASSERT_NO_FATAL_FAILURE(Open(195));
  // The data port takes everything in and answers nothing.
  Emulator().setTcpMode(printer_emulator::TcpMode::Silent);
  handle_->dma = 1;
  SetNeedRecover(handle_, 0);
  ASSERT_EQ(SetMonitorInterval(handle_, 60000), 0);
  const auto start = Clock::now();
  ASSERT_EQ(StartStatusMonitor(nullptr, handle_), 0);
  ASSERT_TRUE(WaitUntil([&] { return handle_->dma.load() == 0; }));
  const auto phase = Clock::now() - start;
  // No recovery starts after 5 s; the check begun before that may take its
  // full 2 s reply wait.
  EXPECT_LT(phase, std::chrono::milliseconds(5000 + 2000 + 1500));
  EXPECT_GE(phase, std::chrono::milliseconds(5000));
  // With a 60 s interval, two recoveries prove the phase does not wait.
  EXPECT_GE(CountBytes(printer_->DataBytes(), kClearBuffer), 2u);
  EXPECT_GE(log.lines({"TPSTM", "DMA->"}).size(), 3u);
}

TEST_F(StatusMonitor, WakesIntervalChangesStartsStopsAndJobsFromFourThreadsStayClean) {
  ASSERT_NO_FATAL_FAILURE(Open(196));
  ASSERT_EQ(StartStatusMonitor(nullptr, handle_), 0);
  std::atomic<bool> stop{false};
  const auto until = Clock::now() + std::chrono::milliseconds(1500);
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (!stop) WakeStatusMonitor(handle_);
  });
  threads.emplace_back([&] {
    for (int32_t i = 0; !stop; ++i) {
      EXPECT_EQ(SetMonitorInterval(handle_, 1000 + (i % 3) * 1000), 0);
      EXPECT_GE(GetMonitorInterval(handle_), 1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  threads.emplace_back([&] {
    while (!stop) {
      EXPECT_EQ(StartStatusMonitor(nullptr, handle_), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      StopStatusMonitor(handle_);
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      char id[5];
      std::snprintf(id, sizeof id, "%04X", i % 0xFFF);
      JobWait_t* job = AddJobWait(nullptr, handle_, id, 20000, kJobKindPrint);
      ASSERT_NE(job, nullptr);
      SignalWaitObject(job->sentWaitId, 0);
      EXPECT_EQ(SignalJobById(handle_, id), 0);
      EXPECT_TRUE(WaitUntil([&] { return handle_->jobCount == 0; }));
    }
  });
  while (Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  for (auto& thread : threads) thread.join();
  StopStatusMonitor(handle_);
  EXPECT_EQ(handle_->monitorThread, nullptr);
  EXPECT_EQ(handle_->jobCount, 0);
}

}  // namespace
