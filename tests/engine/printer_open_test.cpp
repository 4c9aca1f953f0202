// Opening and closing a printer connection against the printer emulator:
// what the printer sees in order, a silent printer, the argument checks, a
// failed queue thread start, and a close refused while a job is out.

#include "engine/printer_open.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connection_test_support.h"
#include "engine/builder_records.h"
#include "engine/engine_ops.h"
#include "engine/job_wait.h"
#include "engine/request_queue.h"
#include "engine/status_monitor.h"
#include "engine/test_hooks.h"
#include "foundation/lock_guard.h"

using namespace tilo2::core;
using namespace connection_test;

namespace {

// A created handle, destroyed at the end (closed first when still open).
class Handle {
 public:
  Handle() { EXPECT_EQ(TiloCreateHandle(&handle_), 0); }
  ~Handle() {
    if (handle_->connection != nullptr) {
      EXPECT_EQ(TiloDisconnectPrinter(nullptr, handle_), 0);
    }
    EXPECT_EQ(TiloDestroyHandle(handle_), 0);
  }
  PrintHandle_t* get() const { return handle_; }

 private:
  PrintHandle_t* handle_ = nullptr;
};

// The step labels the queue thread started, in order, up to the first one
// named stop.
std::vector<std::string> StepsBefore(const io_test::LogCapture& log, const std::string& stop) {
  std::vector<std::string> steps;
  for (const auto& line : log.lines({"Queue send start."})) {
    for (const char* name : {"CheckDMA", "_TiloRecover", "GetDeviceInformation"}) {
      if (line.find(std::string(",") + name + ",") == std::string::npos) continue;
      if (name == stop) return steps;
      steps.push_back(name);
    }
  }
  return steps;
}

TEST(PrinterOpen, ThePrinterSeesTheOpenAndTheMonitorInOrder) {
  auto emulator = io_test::startEmulator(200);
  ASSERT_NE(emulator, nullptr);
  Handle handle;
  ASSERT_EQ(TiloOpenPrinter(nullptr, handle.get(), 0, io_test::address(200).c_str(), -2), 0);
  EXPECT_NE(handle.get()->connection, nullptr);
  EXPECT_EQ(handle.get()->dma, 0);
  EXPECT_EQ(GetNeedRecover(handle.get()), 0);

  // Later cycles wait a minute, so each wake below is one cycle. The open
  // does not wait for the monitor's first cycle: a wake before that cycle
  // began would be served by it and leave its signal for one cycle more.
  ASSERT_EQ(TiloSetInterval(handle.get(), 60000), 0);
  ASSERT_TRUE(Eventually([&] {
    PlatformLockGuard lock(handle.get()->cycleDoneLock);
    return lock && handle.get()->monitorCyclesEnded >= 1;
  }));
  WakeStatusMonitor(handle.get());
  uint64_t cursor = 0;
  const std::string log = RenderLog(*emulator, cursor);
  EXPECT_TRUE(InOrder(log, {
                               "[Q03000017]",                     // who holds the data port
                               " 10 04 01",                       // CheckDMA
                               " 10 04 12 01",                    // interrupt support
                               " 10 14 07 05",                    // battery
                               " 1B 3D 01 1D 49 01",              // model id
                               " 10 14 08 01 03 14 01 06 02 08",  // clear buffer
                               "[Q03000010]",                     // first cycle: status by UDP
                               " 1B 3D 01 1D 61 FF",              // automatic status on
                               "[C03000016]",                     // clear connection timeout
                           }));
  EXPECT_EQ(handle.get()->infoKind != 0, true);
  EXPECT_NE(handle.get()->interruptSupport, 0);

  const size_t clears = emulator->udpRequests('C', 0x03000016).size();
  WakeStatusMonitor(handle.get());
  WakeStatusMonitor(handle.get());
  EXPECT_EQ(emulator->udpRequests('C', 0x03000016).size(), clears + 2);

  ASSERT_EQ(TiloDisconnectPrinter(nullptr, handle.get()), 0);
  EXPECT_EQ(handle.get()->connection, nullptr);
  EXPECT_EQ(handle.get()->queue, nullptr);
  EXPECT_TRUE(emulator->waitForNoClient(kDeadline));
  EXPECT_EQ(TiloDisconnectPrinter(nullptr, handle.get()), 6);
}

// A printer whose data port stays silent while its interface reports the
// connection: the open still succeeds and leaves the monitor to check it.
TEST(PrinterOpen, SilentPrinterOpensAfterTwoChecksAndOneRecovery) {
  struct Case {
    int address;
    int64_t isVirtual;
    std::vector<std::string> steps;
  };
  const Case cases[] = {
      {201, 0, {"CheckDMA", "_TiloRecover", "CheckDMA"}},
      {202, 1, {"CheckDMA"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    auto emulator = io_test::startEmulator(c.address);
    ASSERT_NE(emulator, nullptr);
    emulator->setTcpMode(printer_emulator::TcpMode::Silent);
    io_test::LogCapture log;
    TdcBackendEnv_t env{};
    env.isVirtual = c.isVirtual;
    Handle handle;
    // The steps of an open keep its limit: this one leaves room for both
    // checks and the recovery between them.
    ASSERT_EQ(TiloOpenPrinter(&env, handle.get(), 0, io_test::address(c.address).c_str(), 15000),
              0);
    EXPECT_EQ(handle.get()->dma, 1);
    EXPECT_EQ(StepsBefore(log, "GetDeviceInformation"), c.steps);
    EXPECT_EQ(log.lines({"TiloOpenPrinter", "DMA->,1"}).size(), 1u);
  }
}

TEST(PrinterOpen, RefusesBadArgumentsBeforeConnecting) {
  auto emulator = io_test::startEmulator(203);
  ASSERT_NE(emulator, nullptr);
  const std::string address = io_test::address(203);
  Handle handle;
  struct Case {
    int32_t type;
    const char* address;
    int32_t timeout;
  };
  const Case refused[] = {
      {0, address.c_str(), 999}, {0, address.c_str(), 300001}, {0, address.c_str(), -1},
      {0, nullptr, 1000},        {3, address.c_str(), 1000},   {-1, address.c_str(), 1000},
  };
  for (const auto& c : refused) {
    EXPECT_EQ(TiloOpenPrinter(nullptr, handle.get(), c.type, c.address, c.timeout), 1)
        << c.type << " " << c.timeout;
  }
  EXPECT_EQ(emulator->clientsAccepted(), 0);
  int unknown = 0;
  EXPECT_EQ(TiloOpenPrinter(nullptr, reinterpret_cast<PrintHandle_t*>(&unknown), 0, address.c_str(),
                            1000),
            1);
  EXPECT_EQ(TiloDisconnectPrinter(nullptr, reinterpret_cast<PrintHandle_t*>(&unknown)), 1);
  EXPECT_EQ(TiloDisconnectPrinter(nullptr, handle.get()), 6);

  // -2 stands for the default; an open handle refuses a second open.
  ASSERT_EQ(TiloOpenPrinter(nullptr, handle.get(), 0, address.c_str(), -2), 0);
  EXPECT_EQ(TiloOpenPrinter(nullptr, handle.get(), 0, address.c_str(), -2), 6);
  EXPECT_EQ(emulator->clientsAccepted(), 1);
}

// An open starts its queue thread first and its monitor thread second; the
// thread creation counted down to 1 fails as if no thread were left.
std::atomic<int> threadStartsBeforeFailure{0};
int FailingThreadCreate(PlatformThread_t* out, PlatformThreadEntry entry, void* argument) {
  if (threadStartsBeforeFailure.fetch_sub(1) == 1) {
    *out = nullptr;
    return PLATFORM_EWOULDBLOCK;
  }
  return platform_thread_create(out, entry, argument);
}

TEST(PrinterOpen, FailedThreadStartClosesTheTransport) {
  auto emulator = io_test::startEmulator(204);
  ASSERT_NE(emulator, nullptr);
  const std::string address = io_test::address(204);
  Handle handle;
  struct Case {
    int failingStart;
    int expected;
  };
  const Case cases[] = {{1, 5}, {2, 255}};  // the queue thread, the monitor thread
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failingStart);
    threadStartsBeforeFailure = c.failingStart;
    EngineSetThreadCreate(FailingThreadCreate);
    EXPECT_EQ(TiloOpenPrinter(nullptr, handle.get(), 0, address.c_str(), 5000), c.expected);
    EngineSetThreadCreate(nullptr);
    EXPECT_EQ(handle.get()->connection, nullptr);
    EXPECT_EQ(handle.get()->queue, nullptr);
    EXPECT_EQ(handle.get()->address, nullptr);
    EXPECT_TRUE(emulator->waitForNoClient(kDeadline));
  }
  // The connection layer refuses an address still open: the transport was
  // closed each time, so the next open works.
  EXPECT_EQ(TiloOpenPrinter(nullptr, handle.get(), 0, address.c_str(), 5000), 0);
}

TEST(PrinterOpen, CloseWithAJobOutIsRefusedAndTheJobGoesOn) {
  auto emulator = io_test::startEmulator(205);
  ASSERT_NE(emulator, nullptr);
  Handle handle;
  ASSERT_EQ(TiloOpenPrinter(nullptr, handle.get(), 0, io_test::address(205).c_str(), 5000), 0);
  ResultRecorder::Get().Clear();
  RecordResults(handle.get());
  emulator->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(true); });
  PrinterBuilder_t* builder = nullptr;
  ASSERT_EQ(TiloCreateBuilder(&builder, "RP-S3", 0), 0);
  PrnCmdAddText(builder->builder.get(), "held\n");
  ASSERT_EQ(TiloSendData(nullptr, handle.get(), builder, 30000), 0);
  ASSERT_TRUE(Eventually([&] { return CountActiveJobs(handle.get()) == 1; }));

  io_test::LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TiloDisconnectPrinter(nullptr, handle.get()), 7);
  const auto elapsed = io_test::msSince(start);
  EXPECT_GE(elapsed, 55);
  EXPECT_LT(elapsed, 5000);
  EXPECT_EQ(log.lines({"ERROR", "tiloprint_common_public"}).size(), 3u);
  EXPECT_NE(handle.get()->connection, nullptr);

  emulator->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(false); });
  ASSERT_TRUE(ResultRecorder::Get().WaitFor(1));
  EXPECT_EQ(ResultRecorder::Get().Results()[0].code, 0);
  ASSERT_TRUE(Eventually([&] { return CountActiveJobs(handle.get()) == 0; }));
  EXPECT_EQ(TiloDestroyBuilder(builder), 0);
}

// Holds the status monitor's thread at its end until the test lets it go, so
// a close waits in the monitor's stop while the test sends a job.
class MonitorEndGate {
 public:
  static MonitorEndGate& Get() {
    static MonitorEndGate gate;
    return gate;
  }
  // The open creates its queue thread first and its monitor thread second.
  void Arm() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
      open_ = false;
    }
    threadsToPass_ = 2;
    EngineSetThreadCreate(&Create);
  }
  bool WaitUntilHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return held_; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  struct Thread {
    PlatformThreadEntry entry;
    void* argument;
  };
  static void* RunThenHold(void* raw) {
    auto* thread = static_cast<Thread*>(raw);
    void* result = thread->entry(thread->argument);
    delete thread;
    MonitorEndGate& gate = Get();
    std::unique_lock lock(gate.mutex_);
    gate.held_ = true;
    gate.changed_.notify_all();
    gate.changed_.wait(lock, [&] { return gate.open_; });
    return result;
  }
  static int Create(PlatformThread_t* out, PlatformThreadEntry entry, void* argument) {
    if (Get().threadsToPass_.fetch_sub(1) != 1) return platform_thread_create(out, entry, argument);
    return platform_thread_create(out, RunThenHold, new Thread{entry, argument});
  }

  std::atomic<int> threadsToPass_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool open_ = false;
};

// A job that arrives while a close is already stopping the monitor is
// cancelled by the close: it never reports.
TEST(PrinterOpen, JobCancelledByTheCloseGetsNoCallback) {
  auto emulator = io_test::startEmulator(206);
  ASSERT_NE(emulator, nullptr);
  Handle handle;
  MonitorEndGate::Get().Arm();
  ASSERT_EQ(TiloOpenPrinter(nullptr, handle.get(), 0, io_test::address(206).c_str(), 5000), 0);
  EngineSetThreadCreate(nullptr);
  ResultRecorder::Get().Clear();
  RecordResults(handle.get());
  emulator->state().withModel([](printer_emulator::PrinterModel& m) { m.setHoldPrinting(true); });

  std::atomic<int> closed{-1};
  std::thread closer([&] { closed = TiloDisconnectPrinter(nullptr, handle.get()); });
  ASSERT_TRUE(MonitorEndGate::Get().WaitUntilHeld());
  PrinterBuilder_t* builder = nullptr;
  ASSERT_EQ(TiloCreateBuilder(&builder, "RP-S3", 0), 0);
  PrnCmdAddText(builder->builder.get(), "late\n");
  ASSERT_EQ(TiloSendData(nullptr, handle.get(), builder, 30000), 0);
  ASSERT_TRUE(Eventually([&] {
    uint64_t cursor = 0;
    return RenderLog(*emulator, cursor).find(" 6C 61 74 65") != std::string::npos &&  // "late"
           !queue_hasItem(handle.get()->queue) && CountActiveJobs(handle.get()) == 1;
  }));
  MonitorEndGate::Get().Open();
  closer.join();

  EXPECT_EQ(closed, 0);
  EXPECT_EQ(handle.get()->connection, nullptr);
  EXPECT_EQ(CountActiveJobs(handle.get()), 0);
  EXPECT_TRUE(ResultRecorder::Get().Results().empty());
  EXPECT_EQ(TiloDestroyBuilder(builder), 0);
}

}  // namespace
