// The request queue with recording steps: chain results, reordering behind
// held job chains, and a stop that drains what may run.

#include "engine/request_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/print_handle.h"
#include "engine/recovery.h"
#include "engine/test_hooks.h"
#include "engine/wait_object.h"

using namespace tilo2::core;

namespace {

constexpr auto kDeadline = std::chrono::seconds(20);
constexpr int kWaitMs = 20000;

// What the steps did, as "name:tag" with the tag taken from the context's timeout.
class Recorder {
 public:
  void Add(const char* name, const StepContext_t* context) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::string(name) + ":" + std::to_string(context->timeoutMs));
    changed_.notify_all();
  }
  bool WaitFor(const std::string& entry) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] {
      for (const auto& e : entries_) {
        if (e == entry) return true;
      }
      return false;
    });
  }
  std::vector<std::string> Entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> entries_;
};

Recorder recorder;

int32_t RecoverStep(StepContext_t* context) {
  EXPECT_EQ(context->env, nullptr) << "steps run without an environment";
  recorder.Add("CheckAndRecover", context);
  return 0;
}
// A job's Init step registers its job, as the job wait would.
int32_t InitStep(StepContext_t* context) {
  recorder.Add("Init", context);
  PrintHandle_t* handle = context->handle;
  platform_mutex_lock(&handle->jobListLock, -1);
  ++handle->jobCount;
  platform_mutex_unlock(&handle->jobListLock);
  return 0;
}
int32_t PlainStep(StepContext_t* context) {
  recorder.Add("Step", context);
  return 0;
}
int32_t FailingStep(StepContext_t* context) {
  recorder.Add("Fail", context);
  return 3;
}
int32_t ExitStep(StepContext_t* context) {
  recorder.Add("Exit", context);
  return 0;
}
int32_t StandaloneStep(StepContext_t* context) {
  recorder.Add("Standalone", context);
  return 21;
}

// A step that holds the queue thread until the test opens the gate.
std::mutex gateLock;
std::condition_variable gateChanged;
bool gateOpen = false;
int32_t GateStep(StepContext_t* context) {
  recorder.Add("Gate", context);
  std::unique_lock<std::mutex> lock(gateLock);
  gateChanged.wait_for(lock, kDeadline, [] { return gateOpen; });
  return 0;
}

std::atomic<int> selfWaitAnswer{-1};
int32_t SelfWaitStep(StepContext_t* context) {
  recorder.Add("SelfWait", context);
  int32_t result = 0;
  selfWaitAnswer = RunStandaloneStep(context->handle->queue, context, PlainStep, "Inner", &result);
  return 0;
}

class RequestQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    recorder.Clear();
    EngineSetCheckAndRecoverStep(RecoverStep);
    ASSERT_EQ(TiloCreateHandle(&handle_), 0);
    queue_ = createQueue(nullptr, handle_);
    ASSERT_NE(queue_, nullptr);
    handle_->queue = queue_;
    EXPECT_EQ(queue_isStopped(queue_), 1);
  }
  void TearDown() override {
    if (queue_ != nullptr) {
      handle_->jobCount = 0;
      if (!queue_isStopped(queue_)) signalThread(queue_);
      EXPECT_EQ(stopThread(queue_), 0);
      EXPECT_FALSE(queue_hasItem(queue_));
      destroyQueue(queue_);
    }
    EXPECT_EQ(TiloDestroyHandle(handle_), 0);
    EngineSetCheckAndRecoverStep(CheckAndRecover);
  }

  StepContext_t Context(int tag, uint8_t printJob) {
    StepContext_t context{};
    context.handle = handle_;
    context.timeoutMs = tag;
    context.printJob = printJob;
    return context;
  }

  void Push(StepContext_t* chain, int32_t type, StepFunc step, const char* name) {
    QueueRequest_t* request = NewQueueRequest(chain, type, 0, step, name);
    ASSERT_NE(request, nullptr);
    ASSERT_EQ(queueList_push(queue_->list, request), 0);
  }

  // An asynchronous job chain: "CheckAndRecover", Init, one step, Exit.
  void PushJob(int tag, StepFunc step = PlainStep) {
    StepContext_t context = Context(tag, 1);
    StepContext_t* chain = nullptr;
    ASSERT_EQ(
        queueList_pushStep(queue_, &context, &chain, QUEUE_JOB_START, nullptr, InitStep, "Init"),
        0);
    ASSERT_NE(chain, &context);
    Push(chain, QUEUE_CHAIN_STEP, step, "Step");
    ASSERT_EQ(queueList_pushStep(queue_, chain, nullptr, QUEUE_JOB_EXIT, nullptr, ExitStep, "Exit"),
              0);
    Wake();
  }

  // A synchronous chain of the given steps; returns its wait object.
  uint64_t PushChain(int tag, std::vector<StepFunc> steps) {
    StepContext_t context = Context(tag, 0);
    StepContext_t* chain = nullptr;
    EXPECT_EQ(queueList_pushRecover(queue_, &context, &chain), 0);
    for (StepFunc step : steps) {
      QueueRequest_t* request = NewQueueRequest(chain, QUEUE_CHAIN_STEP, 0, step, "Step");
      EXPECT_EQ(queueList_push(queue_->list, request), 0);
    }
    uint64_t wait = 0;
    EXPECT_EQ(queueList_pushNull(queue_, chain, &wait), 0);
    Wake();
    return wait;
  }

  uint64_t PushStandalone(int tag, StepFunc step = StandaloneStep) {
    StepContext_t context = Context(tag, 0);
    uint64_t wait = 0;
    EXPECT_EQ(
        queueList_pushStep(queue_, &context, nullptr, QUEUE_STANDALONE, &wait, step, "Standalone"),
        0);
    Wake();
    return wait;
  }

  void Wake() {
    if (!queue_isStopped(queue_)) signalThread(queue_);
  }

  // Waits for the object and answers its result; -1 when it never came.
  static int32_t Await(uint64_t wait) {
    int32_t result = -1;
    EXPECT_EQ(WaitForWaitObject(wait, kWaitMs, &result), 0);
    DeleteWaitObject(wait);
    return result;
  }

  void ReleaseJobs(int32_t count) {
    handle_->jobCount = count;
    signalThread(queue_);
  }

  using Log = std::vector<std::string>;
  PrintHandle_t* handle_ = nullptr;
  RequestQueue_t* queue_ = nullptr;
};

TEST_F(RequestQueue, ModeTwoHoldsTheNextJobWhileAStatusChainOvertakes) {
  queue_->reorderMode = 2;
  handle_->jobCount = 1;  // one job outstanding
  ASSERT_EQ(startThread(queue_), 0);
  PushJob(2);
  EXPECT_EQ(Await(PushChain(7, {PlainStep})), 0);
  EXPECT_EQ(recorder.Entries(), (Log{"CheckAndRecover:7", "Step:7"}));

  ReleaseJobs(0);
  ASSERT_TRUE(recorder.WaitFor("Exit:2"));
  EXPECT_EQ(recorder.Entries(), (Log{"CheckAndRecover:7", "Step:7", "CheckAndRecover:2", "Init:2",
                                     "Step:2", "Exit:2"}));
}

TEST_F(RequestQueue, ModeOneStartsTheSecondJobAtOnceAndHoldsTheThird) {
  queue_->reorderMode = 1;
  // Pushed while the thread is stopped: they wait in the list.
  PushJob(1);
  PushJob(2);
  PushJob(3);
  EXPECT_TRUE(queue_hasItem(queue_));
  ASSERT_EQ(startThread(queue_), 0);
  EXPECT_EQ(Await(PushChain(9, {PlainStep})), 0);
  EXPECT_EQ(recorder.Entries(),
            (Log{"CheckAndRecover:1", "Init:1", "Step:1", "Exit:1", "CheckAndRecover:2", "Init:2",
                 "Step:2", "Exit:2", "CheckAndRecover:9", "Step:9"}));

  ReleaseJobs(1);
  ASSERT_TRUE(recorder.WaitFor("Exit:3"));
  EXPECT_EQ(recorder.Entries().back(), "Exit:3");
}

TEST_F(RequestQueue, StandaloneStepBehindAHeldChainRunsNextEvenWithNothingAfterIt) {
  queue_->reorderMode = 2;
  handle_->jobCount = 1;
  ASSERT_EQ(startThread(queue_), 0);
  PushJob(4);
  PushJob(5);
  EXPECT_EQ(Await(PushStandalone(6)), 21);
  EXPECT_EQ(recorder.Entries(), (Log{"Standalone:6"}));

  ReleaseJobs(0);
  ASSERT_TRUE(recorder.WaitFor("Exit:4"));
  // Job 4 registered itself, so job 5 is held now in its turn.
  EXPECT_EQ(Await(PushStandalone(8)), 21);
  EXPECT_EQ(recorder.Entries(), (Log{"Standalone:6", "CheckAndRecover:4", "Init:4", "Step:4",
                                     "Exit:4", "Standalone:8"}));
  ReleaseJobs(0);
  ASSERT_TRUE(recorder.WaitFor("Exit:5"));
}

TEST_F(RequestQueue, FailingStepSkipsTheRestOfItsChainOnly) {
  ASSERT_EQ(startThread(queue_), 0);
  EXPECT_EQ(Await(PushChain(1, {PlainStep, FailingStep, PlainStep})), 3);
  EXPECT_EQ(recorder.Entries(), (Log{"CheckAndRecover:1", "Step:1", "Fail:1"}));

  // The "NULL" marker reset the chain result: the next chain starts clean.
  recorder.Clear();
  EXPECT_EQ(Await(PushChain(2, {PlainStep})), 0);
  EXPECT_EQ(recorder.Entries(), (Log{"CheckAndRecover:2", "Step:2"}));

  // A failed job chain still runs its Exit step, and the result is reset after it.
  recorder.Clear();
  PushJob(3, FailingStep);
  handle_->jobCount = 0;
  EXPECT_EQ(Await(PushChain(4, {PlainStep})), 0);
  EXPECT_EQ(recorder.Entries(), (Log{"CheckAndRecover:3", "Init:3", "Fail:3", "Exit:3",
                                     "CheckAndRecover:4", "Step:4"}));
}

TEST_F(RequestQueue, StopRunsWhatMayRunBeforeTheThreadEnds) {
  {
    std::lock_guard<std::mutex> lock(gateLock);
    gateOpen = false;
  }
  ASSERT_EQ(startThread(queue_), 0);
  const uint64_t gate = PushStandalone(1, GateStep);
  ASSERT_TRUE(recorder.WaitFor("Gate:1"));
  const uint64_t chain = PushChain(2, {PlainStep, PlainStep});
  const uint64_t standalone = PushStandalone(3);

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    EXPECT_EQ(stopThread(queue_), 0);
    stopped = true;
  });
  // Open the gate only once the stop has been asked for.
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  while (!queue_isStopped(queue_) && std::chrono::steady_clock::now() < until) {
    std::this_thread::yield();
  }
  EXPECT_FALSE(stopped);
  {
    std::lock_guard<std::mutex> lock(gateLock);
    gateOpen = true;
  }
  gateChanged.notify_all();
  stopper.join();

  EXPECT_FALSE(queue_hasItem(queue_));
  EXPECT_EQ(recorder.Entries(),
            (Log{"Gate:1", "CheckAndRecover:2", "Step:2", "Step:2", "Standalone:3"}));
  EXPECT_EQ(Await(gate), 0);
  EXPECT_EQ(Await(chain), 0);
  EXPECT_EQ(Await(standalone), 21);
}

TEST_F(RequestQueue, WaitingOnTheQueueFromItsOwnThreadAnswersBusy) {
  ASSERT_EQ(startThread(queue_), 0);
  EXPECT_EQ(Await(PushStandalone(1, SelfWaitStep)), 0);
  EXPECT_EQ(selfWaitAnswer.load(), 7);
  int32_t result = -1;
  StepContext_t context = Context(2, 0);
  EXPECT_EQ(RunStandaloneStep(queue_, &context, StandaloneStep, "Standalone", &result), 0);
  EXPECT_EQ(result, 21);
}

// The reordering pop on a list alone. Names say what a request is: "J" a job
// chain request (printJob 1), anything else a request that may overtake.
struct Entry {
  const char* name;
  int32_t type;
};

std::vector<std::string> Names(QueueList_t* list) {
  std::vector<std::string> names;
  while (QueueRequest_t* request = queueList_pop(list)) {
    names.push_back(request->name);
    delete request->context;
    FreeQueueRequest(request);
  }
  return names;
}

TEST(ReorderingPop, MovesTheFirstRunBehindAHeldJobChainToTheFront) {
  struct Case {
    std::vector<Entry> list;
    const char* popped;  // null: nothing may be popped
    std::vector<std::string> rest;
  };
  const Case cases[] = {
      // A status chain behind the held job goes first, up to its "NULL".
      {{{"J1", 1}, {"J1i", 1}, {"S", 2}, {"s", 3}, {"N", 6}, {"x", 3}},
       "S",
       {"s", "N", "J1", "J1i", "x"}},
      // A standalone step with nothing after it.
      {{{"J1", 1}, {"J1i", 1}, {"A", 4}}, "A", {"J1", "J1i", "+"}},
      // A run without an end takes everything after it.
      {{{"J1", 2}, {"S", 2}, {"s", 3}}, "S", {"s", "J1", "+"}},
      // Only job chain requests: nothing runs.
      {{{"J1", 1}, {"J1i", 1}, {"Js", 3}}, nullptr, {"J1", "J1i", "Js", "+"}},
      // Heads that do not start a job chain pop as they are.
      {{{"Js", 3}, {"A", 4}}, "Js", {"A", "+"}},
      {{{"S", 2}, {"J1", 1}}, "S", {"J1", "+"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list.front().name + std::string("...") + c.list.back().name);
    QueueList_t list{};
    platform_mutex_init(&list.mutex);
    for (const Entry& entry : c.list) {
      StepContext_t context{};
      context.printJob = entry.name[0] == 'J' ? 1 : 0;
      ASSERT_EQ(
          queueList_push(&list, NewQueueRequestCopy(&context, entry.type, 0, nullptr, entry.name)),
          0);
    }
    QueueRequest_t* popped = queueList_changeOrderAndPop(&list);
    if (c.popped == nullptr) {
      EXPECT_EQ(popped, nullptr);
    } else {
      ASSERT_NE(popped, nullptr);
      EXPECT_STREQ(popped->name, c.popped);
      delete popped->context;
      FreeQueueRequest(popped);
    }
    // "+" marks a request pushed after the pop: the tail must still be right.
    if (!c.rest.empty() && c.rest.back() == "+") {
      StepContext_t context{};
      ASSERT_EQ(queueList_push(&list, NewQueueRequestCopy(&context, 4, 0, nullptr, "+")), 0);
    }
    EXPECT_EQ(Names(&list), c.rest);
    platform_mutex_destroy(&list.mutex);
  }
}

TEST_F(RequestQueue, NullArgumentsAreRefused) {
  StepContext_t context = Context(1, 0);
  StepContext_t* chain = nullptr;
  uint64_t wait = 0;
  EXPECT_EQ(queueList_pushRecover(nullptr, &context, &chain), 1);
  EXPECT_EQ(queueList_pushStep(nullptr, &context, &chain, QUEUE_STANDALONE, &wait, PlainStep, "S"),
            1);
  EXPECT_EQ(startThread(nullptr), 1);
  EXPECT_EQ(stopThread(nullptr), 1);
  EXPECT_EQ(signalThread(nullptr), 1);
  EXPECT_EQ(queue_isStopped(nullptr), 1);
  EXPECT_EQ(NewQueueRequest(nullptr, QUEUE_CHAIN_STEP, 0, PlainStep, "S"), nullptr);
  EXPECT_EQ(NewQueueRequestCopy(nullptr, QUEUE_STANDALONE, 0, PlainStep, "S"), nullptr);
  EXPECT_EQ(queueList_push(nullptr, nullptr), 1);
  EXPECT_EQ(queueList_pop(nullptr), nullptr);
  // A refused chain end still leaves the global lock free for other threads.
  ASSERT_TRUE(LockGlobalQueue());
  EXPECT_EQ(queueList_pushNull(nullptr, &context, &wait), 1);
  std::thread other([] {
    ASSERT_TRUE(LockGlobalQueue());
    UnlockGlobalQueue();
  });
  other.join();
}

}  // namespace
