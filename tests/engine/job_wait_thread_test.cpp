// Job wait threads against a handle whose queue runs on a real connection to
// the printer emulator: timeouts counted from the sent signal, completions,
// cancellation, the offline query of a recoverable error, and the result
// callback running free of engine locks.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/event_callbacks.h"
#include "engine/job_wait.h"
#include "engine/print_handle.h"
#include "engine/request_queue.h"
#include "engine/status_store.h"
#include "engine/test_hooks.h"
#include "engine/wait_object.h"
#include "engine_test_support.h"

using namespace tilo2::core;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(20);

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kDeadline) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// One result callback as it arrived.
struct Outcome {
  int32_t code = -1;
  uint32_t status = 0;
  int32_t battery = 0;
  int32_t method = -1;
  std::string data;
  bool hadJobId = false;
  Clock::time_point when;
};

class Outcomes {
 public:
  void Add(Outcome outcome) {
    outcome.when = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.push_back(std::move(outcome));
    changed_.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return outcomes_.size() >= count; });
  }
  std::vector<Outcome> All() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Outcome> outcomes_;
};

Outcomes outcomes;
// Runs inside the print callback, on the job's thread, before it is recorded.
std::function<void(PrintHandle_t*)> insideCallback;

void OnPrint(PrintHandle_t* handle, const char*, int32_t code, uint32_t status, int32_t battery,
             const char* jobId) {
  if (insideCallback) insideCallback(handle);
  outcomes.Add({code, status, battery, -1, {}, jobId != nullptr, {}});
}

void OnHybrid(PrintHandle_t*, const char*, int32_t code, uint32_t status, int32_t method,
              const char* data) {
  outcomes.Add({code, status, 0, method, data != nullptr ? data : "", false, {}});
}

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return bytes; }

// A handle open on an emulator at 127.0.0.n with its queue thread running.
class JobWaitThreads : public ::testing::Test {
 protected:
  void Open(int n) {
    outcomes.Clear();
    insideCallback = nullptr;
    printer_ = std::make_unique<engine_test::EmulatedPrinter>(n);
    ASSERT_TRUE(printer_->ok());
    handle_ = printer_->handle();
    ASSERT_EQ(SetResultCallback(handle_, RESULT_PRINT, reinterpret_cast<void*>(OnPrint)), 0);
    ASSERT_EQ(SetResultCallback(handle_, RESULT_HYBRID, reinterpret_cast<void*>(OnHybrid)), 0);
  }

  void TearDown() override {
    insideCallback = nullptr;
    EngineSetThreadCreate(nullptr);
    if (handle_ != nullptr) CancelAllJobWaits(handle_);
    printer_.reset();
  }

  JobWait_t* Add(int32_t timeoutMs, int32_t kind = kJobKindPrint, const char* id = "0001") {
    JobWait_t* job = AddJobWait(nullptr, handle_, id, timeoutMs, kind);
    // Callers use the job at once: without one the test stops here (gtest
    // reports the exception) instead of dereferencing null.
    if (job == nullptr) throw std::runtime_error("AddJobWait gave no job");
    return job;
  }

  // What a hybrid Init step stamps into its record.
  void SetMethod(JobWait_t* job, int32_t method) {
    platform_mutex_lock(&handle_->jobListLock, -1);
    job->method = method;
    platform_mutex_unlock(&handle_->jobListLock);
  }

  // What the chain's Exit step does once the bytes are out.
  static void MarkSent(JobWait_t* job) { SignalWaitObject(job->sentWaitId, 0); }

  // A job ended by the status analysis, as UpdateJobStatus ends one.
  void End(JobWait_t* job, int32_t state, int32_t result, uint32_t status) {
    platform_mutex_lock(&handle_->jobListLock, -1);
    job->state = state;
    job->result = result;
    job->status = status;
    const uint64_t done = job->doneWaitId;
    platform_mutex_unlock(&handle_->jobListLock);
    SignalWaitObject(done, 0);
  }

  bool WaitNoJobs() {
    return WaitUntil([&] { return handle_->jobCount == 0; });
  }

  std::unique_ptr<engine_test::EmulatedPrinter> printer_;
  PrintHandle_t* handle_ = nullptr;
};

TEST_F(JobWaitThreads, AJobWhoseEndNeverComesTimesOutCountedFromTheSentSignal) {
  ASSERT_NO_FATAL_FAILURE(Open(180));
  SetNeedRecover(handle_, 0);
  JobWait_t* job = Add(300);
  ASSERT_NE(job, nullptr);
  // Sending takes a while; the job's time only starts once it is sent.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_TRUE(outcomes.All().empty());
  const auto sentAt = Clock::now();
  MarkSent(job);
  ASSERT_TRUE(outcomes.WaitFor(1));
  const Outcome outcome = outcomes.All().front();
  EXPECT_EQ(outcome.code, 4);
  EXPECT_EQ(outcome.status & 0x1u, 0x1u);
  EXPECT_FALSE(outcome.hadJobId);
  EXPECT_GE(outcome.when - sentAt, std::chrono::milliseconds(300));
  ASSERT_TRUE(WaitNoJobs());
  EXPECT_EQ(GetNeedRecover(handle_), 1);
}

TEST_F(JobWaitThreads, SignalJobByIdCompletesTheJobWithItsStatusAndBattery) {
  ASSERT_NO_FATAL_FAILURE(Open(181));
  SetBatteryValue(handle_, 55);
  JobWait_t* job = Add(20000, kJobKindPrint, "0A0B");
  ASSERT_NE(job, nullptr);
  MarkSent(job);
  platform_mutex_lock(&handle_->jobListLock, -1);
  job->status = 0x80000008u;
  platform_mutex_unlock(&handle_->jobListLock);
  ASSERT_EQ(SignalJobById(handle_, "0A0B"), 0);
  ASSERT_TRUE(outcomes.WaitFor(1));
  const Outcome outcome = outcomes.All().front();
  EXPECT_EQ(outcome.code, 0);
  EXPECT_EQ(outcome.status, 0x80000008u);
  EXPECT_EQ(outcome.battery, 55);
  ASSERT_TRUE(WaitNoJobs());
  EXPECT_EQ(GetNeedRecover(handle_), 0);
  EXPECT_EQ(handle_->jobs, nullptr);
}

TEST_F(JobWaitThreads, CancelAllEndsEveryJobWithoutCallbackAndReturnsOnceTheListIsEmpty) {
  ASSERT_NO_FATAL_FAILURE(Open(182));
  // One job still sending, two already polling.
  Add(20000, kJobKindPrint, "0001");
  MarkSent(Add(20000, kJobKindPrint, "0002"));
  MarkSent(Add(20000, kJobKindPrint, "0003"));
  ASSERT_EQ(handle_->jobCount, 3);
  CancelAllJobWaits(handle_);
  EXPECT_EQ(handle_->jobs, nullptr);
  EXPECT_EQ(handle_->jobCount, 0);
  // The threads report before they leave the list: none of them did.
  EXPECT_TRUE(outcomes.All().empty());
  EXPECT_EQ(GetNeedRecover(handle_), 1);

  // With nothing in the list the count is put right.
  handle_->jobCount = 2;
  CancelAllJobWaits(handle_);
  EXPECT_EQ(handle_->jobCount, 0);
}

TEST_F(JobWaitThreads, TheResultCallbackRunsWithNoEngineLockHeld) {
  ASSERT_NO_FATAL_FAILURE(Open(183));
  // Other threads must get every lock the callback could be under: the
  // engine's locks are recursive, so the callback's own thread proves nothing.
  std::promise<bool> othersGotThrough;
  insideCallback = [&](PrintHandle_t* handle) {
    auto finished = std::make_shared<std::promise<void>>();
    auto future = finished->get_future();
    // Detached: a helper that blocks gets through once the callback returns,
    // so the test fails instead of hanging.
    std::thread([handle, finished] {
      CountActiveJobs(handle);
      GetResultCallbacks(handle);
      GetNeedRecover(handle);
      GetBatteryValue(handle);
      finished->set_value();
    }).detach();
    othersGotThrough.set_value(future.wait_for(std::chrono::seconds(5)) ==
                               std::future_status::ready);
  };
  JobWait_t* job = Add(20000, kJobKindPrint, "0100");
  MarkSent(job);
  ASSERT_EQ(SignalJobById(handle_, "0100"), 0);
  ASSERT_TRUE(outcomes.WaitFor(1));
  EXPECT_TRUE(othersGotThrough.get_future().get());
  ASSERT_TRUE(WaitNoJobs());
}

TEST_F(JobWaitThreads, ARecoverableErrorAsksTheOfflineResponseOnceBeforeTheCallback) {
  ASSERT_NO_FATAL_FAILURE(Open(184));
  const auto query = Bytes({0x10, 0x14, 0x07, 0x04});
  std::promise<size_t> queriesAtCallback;
  insideCallback = [&](PrintHandle_t*) {
    queriesAtCallback.set_value(engine_test::CountBytes(printer_->DataBytes(), query));
  };
  JobWait_t* job = Add(20000, kJobKindPrint, "0200");
  MarkSent(job);
  End(job, kJobStateEnded, 9, 0x4008u);
  ASSERT_TRUE(outcomes.WaitFor(1));
  EXPECT_EQ(queriesAtCallback.get_future().get(), 1u);
  const Outcome outcome = outcomes.All().front();
  EXPECT_EQ(outcome.code, 9);
  EXPECT_EQ(outcome.status & 0x4008u, 0x4008u);
  ASSERT_TRUE(WaitNoJobs());
  EXPECT_EQ(engine_test::CountBytes(printer_->DataBytes(), query), 1u);
}

TEST_F(JobWaitThreads, CountActiveJobsLeavesOutJobsCancelledWithEleven) {
  ASSERT_NO_FATAL_FAILURE(Open(185));
  // Neither is sent, so both records stay while the test looks at them.
  SetMethod(Add(20000, kJobKindHybrid, "0000"), kMethodReadMicrData);
  SetMethod(Add(20000, kJobKindHybrid, "0000"), kMethodReadMicrData);
  Add(20000, kJobKindPrint, "0300");
  EXPECT_EQ(CountActiveJobs(handle_), 3);
  platform_mutex_lock(&handle_->hybridClosingLock, -1);
  handle_->hybridClosing = 1;
  platform_mutex_unlock(&handle_->hybridClosingLock);
  ASSERT_EQ(CancelJobByMethod(handle_, kMethodReadMicrData), 0);
  EXPECT_EQ(CountActiveJobs(handle_), 1);
  EXPECT_EQ(handle_->jobCount, 3);
  EXPECT_EQ(CountActiveJobs(nullptr), 1);
}

TEST_F(JobWaitThreads, NeedRecoverAfterTheJobIsClearOnlyForACleanEnd) {
  ASSERT_NO_FATAL_FAILURE(Open(186));
  struct Case {
    const char* name;
    int32_t kind;
    int32_t method;
    int32_t state;
    int32_t result;
    int32_t code;
    uint8_t needRecover;
  };
  const Case cases[] = {
      {"print completed", kJobKindPrint, 0, kJobStateCompleted, 0, 0, 0},
      {"print printer error", kJobKindPrint, 0, kJobStateEnded, 9, 9, 1},
      {"print io failure", kJobKindPrint, 0, kJobStateEnded, 3, 3, 1},
      {"micr read insertion waiting", kJobKindHybrid, kMethodReadMicrData, kJobStateEnded, 22, 22,
       0},
      {"insertion cancelled", kJobKindHybrid, kMethodWaitInsertion, kJobStateEnded, 11, 11, 0},
      {"insertion printer error", kJobKindHybrid, kMethodWaitInsertion, kJobStateEnded, 9, 9, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    outcomes.Clear();
    SetNeedRecover(handle_, c.needRecover == 0 ? 1 : 0);
    if (c.kind == kJobKindHybrid) {
      handle_->micrText.store(strdup("MICR"));
      platform_mutex_lock(&handle_->micrReadLock, -1);
      handle_->micrRead = 1;
      platform_mutex_unlock(&handle_->micrReadLock);
      platform_mutex_lock(&handle_->waitInsertionLock, -1);
      handle_->waitInsertion = 1;
      platform_mutex_unlock(&handle_->waitInsertionLock);
    }
    JobWait_t* job = Add(20000, c.kind, "0400");
    ASSERT_NE(job, nullptr);
    SetMethod(job, c.method);
    MarkSent(job);
    End(job, c.state, c.result, 0);
    ASSERT_TRUE(outcomes.WaitFor(1));
    ASSERT_TRUE(WaitNoJobs());
    const Outcome outcome = outcomes.All().front();
    EXPECT_EQ(outcome.code, c.code);
    EXPECT_EQ(GetNeedRecover(handle_), c.needRecover);
    if (c.kind == kJobKindHybrid) {
      EXPECT_EQ(outcome.method, c.method);
      // The MICR text is handed over once, then the handle lets it go.
      EXPECT_EQ(outcome.data, "MICR");
      EXPECT_EQ(handle_->micrText.load(), nullptr);
      const uint8_t flag =
          c.method == kMethodReadMicrData ? handle_->micrRead : handle_->waitInsertion;
      EXPECT_EQ(flag, 0) << "the method's flag is cleared";
    }
  }
}

int FailThreadCreate(PlatformThread_t* out, PlatformThreadEntry, void*) {
  *out = nullptr;
  return PLATFORM_EWOULDBLOCK;
}

TEST(JobWaitArguments, CreateJobWaitRefusesBadArgumentsAndAFailedThreadLeavesNothing) {
  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(TiloCreateHandle(&handle), 0);
  struct Case {
    const char* name;
    PrintHandle_t* handle;
    const char* jobId;
    int32_t timeoutMs;
    int32_t kind;
    bool withOut;
  };
  const Case cases[] = {
      {"null handle", nullptr, "0001", 1000, kJobKindPrint, true},
      {"null job id", handle, nullptr, 1000, kJobKindPrint, true},
      {"null out", handle, "0001", 1000, kJobKindPrint, false},
      {"timeout 600001", handle, "0001", 600001, kJobKindPrint, true},
      {"negative timeout", handle, "0001", -1, kJobKindPrint, true},
      {"kind 3", handle, "0001", 1000, 3, true},
      {"kind -1", handle, "0001", 1000, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JobWait_t* job = nullptr;
    EXPECT_EQ(
        CreateJobWait(nullptr, c.handle, c.jobId, c.timeoutMs, c.kind, c.withOut ? &job : nullptr),
        1);
    EXPECT_EQ(job, nullptr);
  }
  EXPECT_EQ(AddJobWait(nullptr, handle, "0001", 600001, kJobKindPrint), nullptr);
  EXPECT_EQ(AddJobWait(nullptr, nullptr, "0001", 1000, kJobKindPrint), nullptr);

  EngineSetThreadCreate(FailThreadCreate);
  JobWait_t* job = nullptr;
  EXPECT_EQ(CreateJobWait(nullptr, handle, "0001", 600000, kJobKindHybrid, &job), 255);
  EXPECT_EQ(job, nullptr);
  EXPECT_EQ(AddJobWait(nullptr, handle, "0001", 1000, kJobKindPrint), nullptr);
  EngineSetThreadCreate(nullptr);
  EXPECT_EQ(handle->jobs, nullptr);
  EXPECT_EQ(handle->jobCount, 0);
  EXPECT_EQ(TiloDestroyHandle(handle), 0);
}

}  // namespace
