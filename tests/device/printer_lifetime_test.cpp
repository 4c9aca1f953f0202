// Printer records against callbacks and disconnects on other threads: no
// callback runs on a freed record, a handler may destroy its own record, and
// a connection outlives the operation using it.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>

#include "device/conn_listener.h"
#include "device/printer_access.h"
#include "device/printer_commands.h"
#include "device/printer_module.h"
#include "service_fake/fake_service.h"

namespace tilo2::core {
namespace {

constexpr const char* kTarget = "TCP:127.0.0.454[local_printer]";
constexpr const char* kHost = "127.0.0.454";
constexpr int kOnlineSlot = 1;
constexpr auto kDeadline = std::chrono::seconds(10);

// A one-way gate a callback waits at until the test opens it.
class Gate {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  bool Wait() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kDeadline, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

class PrinterLifetimeTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override { fake::Reset(); }

  TdcPrinter_t* ConnectedPrinter() {
    TdcPrinter_t* record = nullptr;
    EXPECT_EQ(TdcCreatePrinter(&record, 6, 0), 0);
    TdcRegisterPrinter(record);
    TdcEnvData_t env{};
    EXPECT_EQ(TdcConnectPrinter(&env, record, kTarget, nullptr, 10000), 0);
    return record;
  }
  TdevPrinterHandle_t* HandleOf(TdcPrinter_t* record) {
    return static_cast<TdevPrinterHandle_t*>(TdcReadPrinterState(record).handle);
  }
};

// The status handler blocks inside the callback while another thread
// destroys the record: the destroy waits, and the handler still reads its
// record safely.
TEST_F(PrinterLifetimeTest, DestroyWaitsForACallbackHeldOpen) {
  struct Context {
    Gate entered;
    Gate proceed;
    std::atomic<bool> destroyed{false};
    std::atomic<bool> destroyedWhileInside{false};
    std::atomic<int> event{-1};
  } context;
  TdcPrinter_t* record = ConnectedPrinter();
  record->statusUser = &context;
  record->statusCallback = [](void* r, int32_t event, void* user) {
    auto* c = static_cast<Context*>(user);
    c->event = event;
    c->entered.Open();
    c->proceed.Wait();
    // Still this record's user pointer: the record is not freed yet.
    EXPECT_EQ(static_cast<TdcPrinter_t*>(r)->statusUser, user);
    c->destroyedWhileInside = c->destroyed.load();
  };
  TdevPrinterHandle_t* handle = HandleOf(record);

  auto fire =
      std::async(std::launch::async, [&] { return fake::FireStatusEvent(handle, kOnlineSlot); });
  ASSERT_TRUE(context.entered.Wait());
  auto destroy = std::async(std::launch::async, [&] {
    EXPECT_EQ(TdcDisconnectPrinter(nullptr, record), 0);
    EXPECT_EQ(TdcDestroyPrinter(record), 0);
    context.destroyed = true;
  });
  // The disconnect may finish; the destroy may not while the callback runs.
  EXPECT_EQ(destroy.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  context.proceed.Open();
  EXPECT_TRUE(fire.get());
  destroy.get();
  EXPECT_FALSE(context.destroyedWhileInside);
  EXPECT_EQ(context.event, 0);
}

// The app destroys its printer from its own status handler.
TEST_F(PrinterLifetimeTest, HandlerDestroysItsRecordInAStatusEvent) {
  std::atomic<int> calls{0};
  TdcPrinter_t* record = ConnectedPrinter();
  record->statusUser = &calls;
  record->statusCallback = [](void* r, int32_t, void* user) {
    ++*static_cast<std::atomic<int>*>(user);
    auto* self = static_cast<TdcPrinter_t*>(r);
    EXPECT_EQ(TdcDisconnectPrinter(nullptr, self), 0);
    EXPECT_EQ(TdcDestroyPrinter(self), 0);
  };
  TdevPrinterHandle_t* handle = HandleOf(record);
  TdevConnection_t* connection = fake::ConnectionOfHandle(handle);
  ASSERT_TRUE(fake::FireStatusEvent(handle, kOnlineSlot));
  EXPECT_EQ(calls, 1);
  // The disconnect left the host unused: the connection is gone.
  EXPECT_FALSE(fake::IsLive(connection));
}

// The app destroys its printer from its connection handler on event 2.
TEST_F(PrinterLifetimeTest, HandlerDestroysItsRecordOnDisconnect) {
  struct Context {
    int events = 0;
    int32_t modeSeen = -1;
  } context;
  TdcPrinter_t* first = ConnectedPrinter();
  // A second record on the same host, told after the first one destroyed itself.
  TdcPrinter_t* second = nullptr;
  ASSERT_EQ(TdcCreatePrinter(&second, 6, 0), 0);
  TdcRegisterPrinter(second);
  TdcEnvData_t env{};
  ASSERT_EQ(TdcConnectPrinter(&env, second, "TCP:127.0.0.454[second_printer]", nullptr, 10000), 0);
  auto handler = [](void* r, int32_t event, void* user) {
    auto* c = static_cast<Context*>(user);
    ++c->events;
    auto* self = static_cast<TdcPrinter_t*>(r);
    c->modeSeen = TdcReadPrinterState(self).mode;
    if (event == TDC_EVENT_DISCONNECTED) {
      EXPECT_EQ(TdcDestroyPrinter(self), 0);
    }
  };
  first->connectionUser = &context;
  first->connectionCallback = handler;
  second->connectionUser = &context;
  second->connectionCallback = handler;
  TdevConnection_t* connection = fake::ConnectionOf(kHost);
  ASSERT_NE(connection, nullptr);
  ASSERT_TRUE(fake::FireDisconnected(connection));
  EXPECT_EQ(context.events, 2);
  EXPECT_EQ(context.modeSeen, TDC_MODE_CLOSED);
  EXPECT_FALSE(fake::IsLive(connection));
}

// A send blocked in the client keeps its connection alive through a
// disconnect; the connection is freed once the send returned.
TEST_F(PrinterLifetimeTest, BlockedSendKeepsTheConnectionAlive) {
  std::atomic<int> disconnected{0};
  TdcPrinter_t* record = ConnectedPrinter();
  record->connectionUser = &disconnected;
  record->connectionCallback = [](void*, int32_t event, void* user) {
    if (event == TDC_EVENT_DISCONNECTED) ++*static_cast<std::atomic<int>*>(user);
  };
  ASSERT_EQ(TdcAddText(record, "receipt"), 0);
  TdevConnection_t* connection = fake::ConnectionOf(kHost);
  fake::Hold("TdevPrinterSendData");
  auto send = std::async(std::launch::async, [&] {
    TdcEnvData_t env{};
    return TdcSendPrinterData(&env, record, 10000);
  });
  ASSERT_TRUE(fake::WaitBlocked("TdevPrinterSendData"));

  // The event reaches the record while its send is inside the client.
  ASSERT_TRUE(fake::FireDisconnected(connection));
  EXPECT_EQ(disconnected, 1);
  EXPECT_EQ(TdcReadPrinterState(record).mode, TDC_MODE_CLOSED);
  EXPECT_TRUE(fake::IsLive(connection));

  fake::ReleaseHold("TdevPrinterSendData");
  EXPECT_EQ(send.get(), 0);
  // The send cleared the document of a handle that was still alive.
  EXPECT_EQ(fake::CallCount("TdevClearCommandBuffer"), 1);
  EXPECT_FALSE(fake::IsLive(connection));
  EXPECT_EQ(TdcDestroyPrinter(record), 0);
}

}  // namespace
}  // namespace tilo2::core
