#include "orvik/tilo2/async.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "component/run_async.h"
#include "component/test_hooks.h"

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

constexpr auto kDeadline = std::chrono::seconds(60);

// A one-shot signal whose wait gives up at a generous deadline.
class Signal {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return set_; });
  }
  bool IsSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

// Waits for an operation's end with a deadline, through its Completed handler.
template <class Handle>
bool WaitDone(const Handle& op) {
  auto done = std::make_shared<Signal>();
  op.Completed([done](const Handle&, AsyncStatus) { done->Set(); });
  return done->Wait();
}

TEST(AsyncTest, ThenUnwrapsReturnedOperations) {
  auto chain = RunAsync([] { return 20; })
                   .then([](const IAsyncOperation<int>& a) {
                     const int v = a.get();
                     return RunAsync([v] { return std::to_string(v + 1); });
                   })
                   .then([](const IAsyncOperation<std::string>& a) {
                     const std::string text = a.get();
                     return RunAsync([text] { EXPECT_EQ(text, "21"); });
                   })
                   .then([](const IAsyncAction& a) { a.get(); });
  static_assert(std::is_same_v<decltype(chain), IAsyncAction>);
  ASSERT_TRUE(WaitDone(chain));
  EXPECT_EQ(chain.Status(), AsyncStatus::Completed);
  EXPECT_EQ(chain.ErrorCode(), kSOk);
  chain.get();

  auto value = RunAsync([] { return RunAsync([] { return 6; }); }).then([](const auto& a) {
    return a.get() * 7;
  });
  static_assert(std::is_same_v<decltype(value), IAsyncOperation<int>>);
  EXPECT_EQ(value.get(), 42);
}

TEST(AsyncTest, CompletedSetLateFiresAtOnceAndOnce) {
  auto op = RunAsync([] { return 5; });
  EXPECT_EQ(op.get(), 5);
  int calls = 0;
  std::thread::id caller;
  op.Completed([&](const IAsyncOperation<int>& h, AsyncStatus status) {
    ++calls;
    caller = std::this_thread::get_id();
    EXPECT_EQ(status, AsyncStatus::Completed);
    EXPECT_EQ(h.get(), 5);
    EXPECT_TRUE(h == op);
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(caller, std::this_thread::get_id());
  try {
    op.Completed([&](const IAsyncOperation<int>&, AsyncStatus) { ++calls; });
    ADD_FAILURE() << "a second Completed was accepted";
  } catch (const RuntimeException& e) {
    EXPECT_EQ(e.HResult(), kEIllegalMethodCall);
  }
  EXPECT_EQ(calls, 1);
}

TEST(AsyncTest, CompletedFiresOnceOnTheCompletingThread) {
  Signal gate;
  std::thread::id bodyThread;
  auto op = RunAsync([&] {
    bodyThread = std::this_thread::get_id();
    EXPECT_TRUE(gate.Wait());
  });
  Signal fired;
  std::mutex mutex;
  int calls = 0;
  std::thread::id handlerThread;
  op.Completed([&](const IAsyncAction&, AsyncStatus status) {
    std::lock_guard<std::mutex> lock(mutex);
    ++calls;
    handlerThread = std::this_thread::get_id();
    EXPECT_EQ(status, AsyncStatus::Completed);
    fired.Set();
  });
  EXPECT_THROW(op.Completed([](const IAsyncAction&, AsyncStatus) {}), RuntimeException);
  gate.Set();
  ASSERT_TRUE(fired.Wait());
  op.get();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(handlerThread, bodyThread);
}

TEST(AsyncTest, CancelBeforeTheStepStartsSkipsItAndFlowsDown) {
  Signal gate;
  auto antecedent = RunAsync([&] {
    EXPECT_TRUE(gate.Wait());
    return 1;
  });
  // The skipped step's closure signals when the last copy of it is gone, so the
  // test knows the pool had its chance to run it.
  auto ran = std::make_shared<bool>(false);
  Signal released;
  std::shared_ptr<int> sentinel(new int(0), [&released](int* p) {
    delete p;
    released.Set();
  });
  auto skipped = antecedent.then([ran, sentinel](const IAsyncOperation<int>& a) {
    *ran = true;
    return a.get();
  });
  sentinel.reset();
  // A step needing its antecedent's success, and one that only looks at it.
  auto needing = skipped.then([](const IAsyncOperation<int>& a) { return a.get() + 1; });
  auto looking = skipped.then([](const IAsyncOperation<int>& a) { return a.Status(); });

  skipped.Cancel();
  EXPECT_EQ(skipped.Status(), AsyncStatus::Canceled);
  EXPECT_EQ(skipped.ErrorCode(), kECanceled);
  EXPECT_THROW(skipped.get(), OperationCanceledException);
  skipped.Cancel();  // a second request changes nothing

  gate.Set();
  EXPECT_EQ(antecedent.get(), 1);
  ASSERT_TRUE(released.Wait());
  EXPECT_FALSE(*ran);
  EXPECT_THROW(needing.get(), OperationCanceledException);
  EXPECT_EQ(needing.Status(), AsyncStatus::Canceled);
  EXPECT_EQ(looking.get(), AsyncStatus::Canceled);
}

TEST(AsyncTest, CancelDuringABlockingStepKeepsItsOutcome) {
  struct Case {
    const char* name;
    bool throws;
  };
  for (const Case& c : {Case{"value", false}, Case{"error", true}}) {
    Signal started;
    Signal gate;
    const bool throws = c.throws;
    auto op = RunAsync([&, throws] {
      started.Set();
      EXPECT_TRUE(gate.Wait());
      if (throws) throw RuntimeException(kENotImpl);
      return 7;
    });
    ASSERT_TRUE(started.Wait()) << c.name;
    op.Cancel();
    EXPECT_EQ(op.Status(), AsyncStatus::Started) << c.name;
    gate.Set();
    op.wait();
    if (throws) {
      EXPECT_EQ(op.Status(), AsyncStatus::Error) << c.name;
      EXPECT_EQ(op.ErrorCode(), kENotImpl) << c.name;
    } else {
      EXPECT_EQ(op.Status(), AsyncStatus::Completed) << c.name;
      EXPECT_EQ(op.get(), 7) << c.name;
    }
  }
}

TEST(AsyncTest, CancelOfAStepThatReturnedAnOperationReachesThatOperation) {
  Signal gate;
  auto blocker = RunAsync([&] { EXPECT_TRUE(gate.Wait()); });
  auto innerRan = std::make_shared<bool>(false);
  auto outer = RunAsync([blocker, innerRan] {
    return blocker.then([innerRan](const IAsyncAction& a) {
      *innerRan = true;
      a.get();
      return 3;
    });
  });
  // Once only the blocker's worker is busy, the outer step has returned its
  // operation and handed on its cancel requests.
  ASSERT_TRUE(TiloComponentWaitPoolBusyAtMost(1, std::chrono::steady_clock::now() + kDeadline));
  EXPECT_EQ(outer.Status(), AsyncStatus::Started);
  outer.Cancel();
  EXPECT_EQ(outer.Status(), AsyncStatus::Canceled);
  EXPECT_THROW(outer.get(), OperationCanceledException);
  gate.Set();
  blocker.get();
  ASSERT_TRUE(TiloComponentWaitPoolBusyAtMost(0, std::chrono::steady_clock::now() + kDeadline));
  EXPECT_FALSE(*innerRan);
}

template <class E>
void ExpectRethrows(const IAsyncOperation<int>& op, int32_t code) {
  EXPECT_EQ(op.Status(), AsyncStatus::Error);
  EXPECT_EQ(op.ErrorCode(), code);
  EXPECT_THROW(op.get(), E);
}

TEST(AsyncTest, ExceptionsReachGetWithTheirCode) {
  auto runtime = RunAsync([]() -> int { throw RuntimeException(kEInvalidArg, "bad width"); });
  auto noMemory = RunAsync([]() -> int { throw std::bad_alloc(); });
  auto standard = RunAsync([]() -> int { throw std::runtime_error("oops"); });
  auto other = RunAsync([]() -> int { throw 17; });
  for (auto* op : {&runtime, &noMemory, &standard, &other}) op->wait();
  ExpectRethrows<RuntimeException>(runtime, kEInvalidArg);
  ExpectRethrows<std::bad_alloc>(noMemory, kEFail);
  ExpectRethrows<std::runtime_error>(standard, kEFail);
  ExpectRethrows<int>(other, kEFail);
  try {
    runtime.get();
  } catch (const RuntimeException& e) {
    EXPECT_STREQ(e.what(), "bad width");
  }
  // Down a chain: the step that needs success rethrows the antecedent's error.
  auto down = runtime.then([](const IAsyncOperation<int>& a) { return a.get() + 1; });
  down.wait();
  ExpectRethrows<RuntimeException>(down, kEInvalidArg);
}

TEST(AsyncTest, StateOutlivesTheCallersHandle) {
  Signal gate;
  Signal fired;
  auto seen = std::make_shared<int>(0);
  {
    auto op = RunAsync([&] {
      EXPECT_TRUE(gate.Wait());
      return 99;
    });
    op.Completed([seen, &fired](const IAsyncOperation<int>& h, AsyncStatus status) {
      if (status == AsyncStatus::Completed) *seen = h.get();
      fired.Set();
    });
  }
  gate.Set();
  ASSERT_TRUE(fired.Wait());
  EXPECT_EQ(*seen, 99);
}

TEST(AsyncTest, ThrowingCompletedHandlerLeavesTheRestWorking) {
  Signal gate;
  auto op = RunAsync([&] {
    EXPECT_TRUE(gate.Wait());
    return 4;
  });
  op.Completed([](const IAsyncOperation<int>&, AsyncStatus) { throw std::runtime_error("x"); });
  auto next = op.then([](const IAsyncOperation<int>& a) { return a.get() * 2; });
  gate.Set();
  EXPECT_EQ(next.get(), 8);
  EXPECT_EQ(op.get(), 4);
  // Set late, it throws on this thread and is swallowed too.
  auto late = RunAsync([] {});
  late.get();
  EXPECT_NO_THROW(
      late.Completed([](const IAsyncAction&, AsyncStatus) { throw std::runtime_error("y"); }));
}

TEST(AsyncTest, ManyChainsWaitingOnEachOther) {
  std::vector<IAsyncOperation<int>> ops;
  for (int i = 0; i < 64; ++i) {
    ops.push_back(RunAsync([i] {
      // Each body waits on an operation of its own, started from the pool.
      return RunAsync([i] { return i; }).get() + 1;
    }));
  }
  int sum = 0;
  for (auto& op : ops) sum += op.then([](const IAsyncOperation<int>& a) { return a.get(); }).get();
  EXPECT_EQ(sum, 64 * 65 / 2);
}

TEST(AsyncTest, EmptyHandleThrowsPointerError) {
  IAsyncAction empty;
  EXPECT_FALSE(empty);
  try {
    empty.get();
    ADD_FAILURE();
  } catch (const RuntimeException& e) {
    EXPECT_EQ(e.HResult(), kEPointer);
  }
}

}  // namespace
