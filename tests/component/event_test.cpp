#include "orvik/tilo2/event.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace Orvik::Tilo::Tilo2;

namespace {

struct Source {
  int id = 7;
};
struct Payload {
  int value = 0;
};
using TestEvent = Event<Source, Payload>;

TEST(EventTest, TokensAreNonZeroAndUniqueAcrossEventsAndThreads) {
  TestEvent a;
  TestEvent b;
  std::vector<std::vector<EventToken>> perThread(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < perThread.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        TestEvent& e = (i % 2) ? a : b;
        const EventToken token = e.Add([](const auto&, const auto&) {});
        perThread[t].push_back(token);
        // Removing does not free the token for reuse.
        if (i % 3 == 0) e.Remove(token);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<EventToken> all;
  size_t count = 0;
  for (const auto& list : perThread) {
    for (EventToken token : list) {
      EXPECT_NE(token, 0);
      all.insert(token);
      ++count;
    }
  }
  EXPECT_EQ(all.size(), count);
}

TEST(EventTest, RaiseCallsHandlersInOrderWithSenderAndArgs) {
  TestEvent e;
  std::string order;
  auto sender = std::make_shared<Source>();
  auto args = std::make_shared<const Payload>(Payload{42});
  for (char c : std::string("abcde")) {
    e.Add([&, c](const std::shared_ptr<Source>& s, const std::shared_ptr<const Payload>& p) {
      EXPECT_EQ(s.get(), sender.get());
      EXPECT_EQ(p->value, 42);
      order += c;
    });
  }
  e.Raise(sender, args);
  EXPECT_EQ(order, "abcde");
}

TEST(EventTest, RemoveTakesOutOnlyThatHandlerAndIgnoresUnknownTokens) {
  TestEvent e;
  std::string order;
  e.Add([&](const auto&, const auto&) { order += 'a'; });
  const EventToken b = e.Add([&](const auto&, const auto&) { order += 'b'; });
  e.Add([&](const auto&, const auto&) { order += 'c'; });
  e.Remove(b);
  e.Remove(b);
  e.Remove(0);
  e.Remove(NextEventToken());
  e.Raise(nullptr, nullptr);
  EXPECT_EQ(order, "ac");
  EXPECT_THROW(e.Add(nullptr), RuntimeException);
}

TEST(EventTest, HandlerRemovingItselfAndAddingDuringRaiseTakesEffectNextRaise) {
  TestEvent e;
  std::string order;
  EventToken self = 0;
  EventToken later = 0;
  self = e.Add([&](const auto&, const auto&) {
    order += 's';
    e.Remove(self);
    e.Remove(later);  // still called in this raise: the raise works on its snapshot
    e.Add([&](const auto&, const auto&) { order += 'n'; });
  });
  later = e.Add([&](const auto&, const auto&) { order += 'l'; });
  e.Raise(nullptr, nullptr);
  EXPECT_EQ(order, "sl");
  e.Raise(nullptr, nullptr);
  EXPECT_EQ(order, "sln");
}

TEST(EventTest, ConcurrentAddRemoveAndRaise) {
  TestEvent e;
  std::atomic<int> calls{0};
  std::atomic<bool> stop{false};
  const EventToken keeper = e.Add([&](const auto&, const auto&) { calls.fetch_add(1); });
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (!stop.load()) {
        const EventToken token = e.Add([&](const auto&, const auto&) { calls.fetch_add(1); });
        e.Remove(token);
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) e.Raise(nullptr, std::make_shared<const Payload>());
    });
  }
  for (size_t t = 3; t < threads.size(); ++t) threads[t].join();
  stop = true;
  for (size_t t = 0; t < 3; ++t) threads[t].join();
  // The handler that stayed was called by every raise.
  EXPECT_GE(calls.load(), 4000);
  e.Remove(keeper);
  EXPECT_FALSE(e.HasHandlers());
}

}  // namespace
