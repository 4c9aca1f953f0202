// Connection listeners: which records hear a connection's events, how a
// disconnect unlinks them and frees the connection, and walks that survive
// callbacks changing the list.

#include "device/conn_listener.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <vector>

#include "device/code_tables.h"
#include "service/device_service.h"
#include "service_fake/fake_service.h"

namespace tilo2::core {
namespace {

constexpr const char* kHost = "127.0.0.452";
constexpr const char* kOtherHost = "127.0.0.453";

struct Heard {
  int record;
  int32_t event;
  bool operator==(const Heard&) const = default;
};

std::mutex g_mutex;
std::vector<Heard> g_heard;
// Runs inside the callback of the record with that number, once.
std::function<void(int)> g_action;

int g_records[8] = {0, 1, 2, 3, 4, 5, 6, 7};

void Listener(void* record, int32_t event) {
  const int number = *static_cast<int*>(record);
  {
    std::lock_guard lock(g_mutex);
    g_heard.push_back({number, event});
  }
  if (g_action) g_action(number);
}

class ConnListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    g_heard.clear();
    g_action = nullptr;
  }
  void TearDown() override {
    for (int& record : g_records) TdcRemoveConnectionListener(&record);
    g_action = nullptr;
    fake::Reset();
  }

  TdevConnection_t* Connect(const char* host) {
    TdevConnection_t* connection = nullptr;
    EXPECT_EQ(TdevConnectSync(nullptr, host, 0, &connection, 10000), 0);
    EXPECT_EQ(TdcSetConnectionCallbacks(connection), 0);
    return connection;
  }
  void Listen(TdevConnection_t* connection, int record) {
    ASSERT_EQ(TdcAddConnectionListener(connection, &g_records[record], &Listener), 0);
  }
  std::vector<Heard> HeardSoFar() {
    std::lock_guard lock(g_mutex);
    return g_heard;
  }
};

TEST_F(ConnListenerTest, EventsReachTheRecordsOfTheirConnectionInOrder) {
  TdevConnection_t* a = Connect(kHost);
  TdevConnection_t* b = Connect(kOtherHost);
  Listen(a, 1);
  Listen(b, 2);
  Listen(a, 3);
  ASSERT_TRUE(fake::FireReconnecting(a));
  ASSERT_TRUE(fake::FireReconnected(a));
  EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{1, 0}, {3, 0}, {1, 1}, {3, 1}}));
  EXPECT_TRUE(fake::IsLive(a));
}

TEST_F(ConnListenerTest, AddRefusesNullArguments) {
  TdevConnection_t* a = Connect(kHost);
  EXPECT_EQ(TdcAddConnectionListener(nullptr, &g_records[1], &Listener), TDC_ERR_PARAM);
  EXPECT_EQ(TdcAddConnectionListener(a, nullptr, &Listener), TDC_ERR_PARAM);
  EXPECT_EQ(TdcAddConnectionListener(a, &g_records[1], nullptr), TDC_ERR_PARAM);
  EXPECT_EQ(TdcRemoveConnectionListener(nullptr), TDC_ERR_PARAM);
  ASSERT_TRUE(fake::FireReconnected(a));
  EXPECT_TRUE(HeardSoFar().empty());
}

TEST_F(ConnListenerTest, RemovedRecordHearsNothing) {
  TdevConnection_t* a = Connect(kHost);
  Listen(a, 1);
  Listen(a, 2);
  EXPECT_EQ(TdcRemoveConnectionListener(&g_records[1]), 0);
  EXPECT_EQ(TdcRemoveConnectionListener(&g_records[1]), 0);  // none left: nothing
  ASSERT_TRUE(fake::FireReconnected(a));
  EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{2, 1}}));
}

// After event 2 the connection is gone and its records are unlinked, so a
// new connection to the same host (possibly at the same address) reaches
// none of them.
TEST_F(ConnListenerTest, DisconnectTellsUnlinksAndDestroys) {
  TdevConnection_t* a = Connect(kHost);
  TdevConnection_t* b = Connect(kOtherHost);
  Listen(a, 1);
  Listen(b, 2);
  Listen(a, 3);
  ASSERT_TRUE(fake::FireDisconnected(a));
  EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{1, 2}, {3, 2}}));
  EXPECT_FALSE(fake::IsLive(a));
  EXPECT_EQ(fake::CallCount("TdevDestroyConnection"), 1);

  g_heard.clear();
  TdevConnection_t* again = Connect(kHost);
  ASSERT_TRUE(fake::FireReconnected(again));
  ASSERT_TRUE(fake::FireDisconnected(again));
  ASSERT_TRUE(fake::FireReconnected(b));
  EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{2, 1}}));
}

TEST_F(ConnListenerTest, ConnectionInUseIsFreedAtItsLastUse) {
  TdevConnection_t* a = Connect(kHost);
  Listen(a, 1);
  TdcAcquireConnectionUse(a);
  TdcAcquireConnectionUse(a);
  ASSERT_TRUE(fake::FireDisconnected(a));
  EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{1, 2}}));
  EXPECT_TRUE(fake::IsLive(a));
  TdcReleaseConnectionUse(a);
  EXPECT_TRUE(fake::IsLive(a));
  TdcReleaseConnectionUse(a);
  EXPECT_FALSE(fake::IsLive(a));
  EXPECT_EQ(fake::CallCount("TdevDestroyConnection"), 1);
}

TEST_F(ConnListenerTest, UsesWithoutDisconnectNeverDestroy) {
  TdevConnection_t* a = Connect(kHost);
  TdcAcquireConnectionUse(a);
  TdcReleaseConnectionUse(a);
  TdcReleaseConnectionUse(a);  // unbalanced: ignored
  EXPECT_TRUE(fake::IsLive(a));
  // A later disconnect with no use outstanding destroys at once.
  ASSERT_TRUE(fake::FireDisconnected(a));
  EXPECT_FALSE(fake::IsLive(a));
}

// Callbacks that change the list while the walk is at any point of it.
TEST_F(ConnListenerTest, WalkSurvivesCallbacksChangingTheList) {
  struct Case {
    const char* name;
    int actor;                    // the record whose callback acts
    std::vector<int> removes;     // records it removes
    std::vector<Heard> expected;  // for event 1 on records 1, 2, 3
  };
  const Case cases[] = {
      {"itself", 2, {2}, {{1, 1}, {2, 1}, {3, 1}}},
      {"the next one", 2, {3}, {{1, 1}, {2, 1}}},
      {"an earlier one", 2, {1}, {{1, 1}, {2, 1}, {3, 1}}},
      {"every one", 1, {1, 2, 3}, {{1, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    g_heard.clear();
    for (int& record : g_records) TdcRemoveConnectionListener(&record);
    TdevConnection_t* a = Connect(kHost);
    Listen(a, 1);
    Listen(a, 2);
    Listen(a, 3);
    g_action = [&](int number) {
      if (number != c.actor) return;
      for (int removed : c.removes) EXPECT_EQ(TdcRemoveConnectionListener(&g_records[removed]), 0);
      // A listener added meanwhile hears later events, not this one.
      EXPECT_EQ(TdcAddConnectionListener(a, &g_records[4], &Listener), 0);
    };
    ASSERT_TRUE(fake::FireReconnected(a));
    g_action = nullptr;
    EXPECT_EQ(HeardSoFar(), c.expected);
    TdcRemoveConnectionListener(&g_records[4]);
  }
}

TEST_F(ConnListenerTest, DisconnectWalkSurvivesRecordsLeavingInTheirEvent) {
  TdevConnection_t* a = Connect(kHost);
  Listen(a, 1);
  Listen(a, 2);
  Listen(a, 3);
  // Each record's handler removes its own listener, as a destroy does.
  g_action = [](int number) { TdcRemoveConnectionListener(&g_records[number]); };
  ASSERT_TRUE(fake::FireDisconnected(a));
  EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{1, 2}, {2, 2}, {3, 2}}));
  EXPECT_FALSE(fake::IsLive(a));
}

// A handler that disconnects from inside an event reaches the notifier
// again on the same thread (the client reports on the caller's thread).
TEST_F(ConnListenerTest, DisconnectFromInsideAnEventOnTheSameThread) {
  TdevConnection_t* a = Connect(kHost);
  Listen(a, 1);
  Listen(a, 2);
  bool done = false;
  g_action = [a, &done](int number) {
    if (number != 1 || done) return;
    done = true;
    EXPECT_EQ(TdevDisconnectIfUnused(nullptr, a), 0);
  };
  ASSERT_TRUE(fake::FireReconnected(a));
  g_action = nullptr;
  EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{1, 1}, {1, 2}, {2, 2}}));
  EXPECT_FALSE(fake::IsLive(a));
}

TEST_F(ConnListenerTest, SetConnectionCallbacksInstallsThreeInOrder) {
  TdevConnection_t* a = nullptr;
  ASSERT_EQ(TdevConnectSync(nullptr, kHost, 0, &a, 10000), 0);
  EXPECT_EQ(TdcSetConnectionCallbacks(a), 0);
  EXPECT_EQ(fake::CallNames(),
            (std::vector<std::string>{"TdevConnectSync", "TdevSetReconnectingCallback",
                                      "TdevSetReconnectCallback", "TdevSetDisconnectCallback"}));
  for (int slot = 0; slot < 3; ++slot) EXPECT_TRUE(fake::IsConnectionNotifierInstalled(a, slot));
  EXPECT_EQ(TdcSetConnectionCallbacks(nullptr), TDC_ERR_PARAM);
}

TEST_F(ConnListenerTest, FirstSetterFailureStopsAndIsTranslated) {
  const char* setters[] = {"TdevSetReconnectingCallback", "TdevSetReconnectCallback",
                           "TdevSetDisconnectCallback"};
  struct Code {
    int service;
    int expected;
  };
  // 12 is the client's out-of-memory code; 9999 is in no row.
  for (Code code : {Code{12, TDC_ERR_MEMORY}, Code{255, TDC_ERR_FAILURE}, Code{9999, 1}}) {
    for (int failing = 0; failing < 3; ++failing) {
      SCOPED_TRACE(std::string(setters[failing]) + " " + std::to_string(code.service));
      fake::Reset();
      TdevConnection_t* a = nullptr;
      ASSERT_EQ(TdevConnectSync(nullptr, kHost, 0, &a, 10000), 0);
      fake::PushResult(setters[failing], code.service);
      EXPECT_EQ(TdcSetConnectionCallbacks(a), code.expected);
      for (int later = failing + 1; later < 3; ++later)
        EXPECT_EQ(fake::CallCount(setters[later]), 0);
    }
  }
}

}  // namespace
}  // namespace tilo2::core
