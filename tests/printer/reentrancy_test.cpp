// Handlers that call back into their sender: a status query, a send and a
// disconnect from StatusChanged, from the job result and from
// ConnectionChanged each end within a deadline, either served or refused at
// once with ErrIllegalState.
//
// Addresses (io_test::address): 2321-2324.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "../service/service_emulator_support.h"
#include "printer_test_support.h"

namespace printer_test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t kIllegal = ErrorStatus::ErrIllegalState;

// What one handler's calls ended with: 0 or the HRESULT.
struct CallResults {
  int32_t status = -1;
  int32_t send = -1;
  int32_t disconnect = -1;
  bool connected = false;  // the status the handler read
  std::thread::id thread;
  std::chrono::milliseconds took{0};  // all three calls
};

// Runs the calls once, from the first event that reaches it, and keeps what
// they ended with.
class Reentry {
 public:
  void Run(const std::shared_ptr<Printer>& sender, bool withDisconnect) {
    {
      std::lock_guard lock(mutex_);
      if (started_) return;
      started_ = true;
    }
    CallResults r;
    r.thread = std::this_thread::get_id();
    const auto start = Clock::now();
    std::shared_ptr<const PrinterStatusInfo> info;
    auto query = sender->GetStatusAsync();
    r.status = ResultOf(query);
    if (r.status == 0) r.connected = query.get()->Connection() == Connection::True;
    sender->AddText("from a handler\n");
    r.send = ResultOf(sender->SendDataAsync(-2));
    if (withDisconnect) r.disconnect = ResultOf(sender->DisconnectAsync());
    r.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    std::lock_guard lock(mutex_);
    results_ = r;
    done_.notify_all();
  }

  std::optional<CallResults> Wait() {
    std::unique_lock lock(mutex_);
    done_.wait_for(lock, std::chrono::seconds(20), [&] { return results_.has_value(); });
    return results_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool started_ = false;
  std::optional<CallResults> results_;
};

class Reentrancy : public PrinterTest {};

// The first events of StartMonitor, and the changes the monitor sees after.
TEST_F(Reentrancy, StatusChangedHandlerCallsBack) {
  Start(2321);
  auto printer = NewPrinter();
  recorder_.Attach(*printer);
  Reentry reentry;
  printer->StatusChanged(
      [&](const std::shared_ptr<Printer>& sender,
          const std::shared_ptr<const StatusChangedEventArgs>&) { reentry.Run(sender, true); });
  printer->ConnectAsync(String(target_), -2).get();
  const auto start = Clock::now();
  printer->StartMonitor();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  const auto r = reentry.Wait();
  ASSERT_TRUE(r.has_value());
  EXPECT_NE(r->thread, std::this_thread::get_id());
  EXPECT_EQ(r->status, 0);
  EXPECT_TRUE(r->connected);
  EXPECT_EQ(r->send, 0);
  // The handler runs on a thread the disconnect would have to wait for.
  EXPECT_EQ(r->disconnect, kIllegal);
  ASSERT_TRUE(recorder_.WaitResults(1));
  EXPECT_EQ(recorder_.Results()[0].code, CallbackCode::Success);
  EXPECT_TRUE(Eventually([&] { return Count(PrinterBytes(*emulator_), "from a handler") == 1; }));

  // A change seen by a later cycle reaches a handler that calls back as well.
  Reentry later;
  printer->StatusChanged([&](const std::shared_ptr<Printer>& sender,
                             const std::shared_ptr<const StatusChangedEventArgs>& args) {
    if (args->EventType() == EventType::CoverOpen) later.Run(sender, true);
  });
  emulator_->state().setFaults({.coverOpen = true});
  const auto changed = later.Wait();
  ASSERT_TRUE(changed.has_value());
  EXPECT_EQ(changed->status, 0);
  EXPECT_EQ(changed->disconnect, kIllegal);
  emulator_->state().setFaults({});
  printer->StopMonitor();
  ASSERT_TRUE(recorder_.WaitResults(2));
  EXPECT_EQ(ResultOf(printer->DisconnectAsync()), 0);
}

TEST_F(Reentrancy, JobResultHandlerCallsBack) {
  Start(2322);
  auto printer = NewPrinter();
  Reentry reentry;
  printer->Received(
      [&](const std::shared_ptr<Printer>& sender, const std::shared_ptr<const ReceivedEventArgs>&) {
        reentry.Run(sender, true);
      });
  printer->ConnectAsync(String(target_), -2).get();
  printer->AddText("first job\n");
  printer->SendDataAsync(-2).get();
  const auto r = reentry.Wait();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->status, 0);
  EXPECT_TRUE(r->connected);
  EXPECT_EQ(r->send, 0);
  EXPECT_EQ(r->disconnect, kIllegal);
  EXPECT_TRUE(Eventually([&] { return Count(PrinterBytes(*emulator_), "from a handler") == 1; }));
  // The second job's result comes and the printer still closes cleanly.
  EXPECT_TRUE(Eventually([&] { return ResultOf(printer->DisconnectAsync()) == 0; }));
}

// ConnectionChanged of a printer behind a device service: raised on the
// disconnecting thread by the app's own disconnect (the record is closed by
// then), and on the client's receive thread when the service closes the link:
// there every call that would wait for a reply read on that very thread is
// refused at once.
TEST_F(Reentrancy, ConnectionChangedHandlerCallsBack) {
  struct Case {
    const char* name;
    int address;
    bool serviceCloses;
    int32_t status;
    int32_t send;
  };
  const Case cases[] = {
      {"app disconnects", 2323, false, 0, kIllegal},
      {"service closes", 2324, true, kIllegal, kIllegal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto service = service_test::startServiceEmulator(c.address);
    ASSERT_NE(service, nullptr);
    auto printer = NewPrinter();
    Reentry reentry;
    printer->ConnectionChanged([&](const std::shared_ptr<Object>& sender,
                                   const std::shared_ptr<const ConnectionChangedEventArgs>&) {
      reentry.Run(std::dynamic_pointer_cast<Printer>(sender), true);
    });
    printer->ConnectAsync(String("TCP:" + io_test::address(c.address) + "[local_printer]"), -2)
        .get();
    if (c.serviceCloses) {
      ASSERT_TRUE(service->closeClient(0));
    } else {
      EXPECT_EQ(ResultOf(printer->DisconnectAsync()), 0);
    }
    const auto r = reentry.Wait();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->status, c.status);
    if (r->status == 0) {
      EXPECT_FALSE(r->connected);
    }
    EXPECT_EQ(r->send, c.send);
    EXPECT_EQ(r->disconnect, kIllegal);
    EXPECT_LT(r->took, std::chrono::seconds(2));
    printers_.clear();
    service->stop();
  }
}

}  // namespace
}  // namespace printer_test
