#include "component/async_frame.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "api_log_fixture.h"
#include "orvik/tilo2/error_status.h"
#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/object.h"

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

constexpr int32_t kEAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr char kConnectName[] = "Orvik::Tilo::Tilo2::Printer::Printer::ConnectAsync";
constexpr char kStatusName[] = "Orvik::Tilo::Tilo2::Printer::Printer::GetStatusAsync";
const void* const kRecord = log_handle(0x5A5A1234);
const String kTarget("TCP:192.168.0.10");

std::string Line(const char* mark, const std::string& result, const char* name,
                 const std::string& args) {
  return std::string("APIIO,") + mark + ",000000005a5a1234,," + result + "," + name + "," + args;
}

// A device class's method over a fake core call: the argument check, then the
// blocking call, whose nonzero result is translated.
IAsyncAction FakeConnectAsync(const String& target, int32_t timeout,
                              std::function<int32_t()> core) {
  return StartOperation([target, timeout, core] {
    RunApiCall(
        kRecord, kConnectName,
        [&] {
          return LogArguments{target, timeout};
        },
        [&] {
          CommonUtils::CheckRange(timeout, 1000, 300000, true, false);
          CommonUtils::ThrowIfFailed(core());
        });
  });
}

// A body that fails with `fail`, in the ordinary frame and in the status frame.
IAsyncAction FailingOperation(std::function<void()> fail) {
  return StartOperation(
      [fail] { RunApiCall(kRecord, kConnectName, NoLogArguments, [&] { fail(); }); });
}
IAsyncOperation<int> FailingStatus(std::function<void()> fail) {
  return StartStatusOperation([fail] {
    return RunApiCall(kRecord, kStatusName, NoLogArguments, [&] {
      fail();
      return 1;
    });
  });
}

TEST_F(ApiLogTest, OutOfRangeFailsInTheOperationNotOnTheCallersThread) {
  use_file();
  std::atomic<int> coreCalls{0};
  IAsyncAction op;
  ASSERT_NO_THROW(op = FakeConnectAsync(kTarget, 999, [&] {
                    ++coreCalls;
                    return 0;
                  }));
  op.wait();
  EXPECT_EQ(op.Status(), AsyncStatus::Error);
  EXPECT_EQ(op.ErrorCode(), ErrorStatus::ErrParameter);
  EXPECT_EQ(coreCalls.load(), 0);
  const std::string args = "(TCP:192.168.0.10, 999)";
  const std::vector<std::string> expected = {Line("->", "", kConnectName, args),
                                             Line("<-", "a0048200", kConnectName, args)};
  EXPECT_EQ(ApiBodies(), expected);
}

TEST_F(ApiLogTest, SuccessWritesExitZeroAndACoreResultIsTranslated) {
  use_file();
  IAsyncAction ok = FakeConnectAsync(kTarget, -2, [] { return 0; });
  ok.get();
  IAsyncAction refused = FakeConnectAsync(kTarget, 10000, [] { return 5; });
  refused.wait();
  EXPECT_EQ(refused.ErrorCode(), ErrorStatus::ErrIllegalState);
  const std::vector<std::string> expected = {
      Line("->", "", kConnectName, "(TCP:192.168.0.10, -2)"),
      Line("<-", "0", kConnectName, "(TCP:192.168.0.10, -2)"),
      Line("->", "", kConnectName, "(TCP:192.168.0.10, 10000)"),
      Line("<-", "a0048204", kConnectName, "(TCP:192.168.0.10, 10000)")};
  EXPECT_EQ(ApiBodies(), expected);
}

// What the app sees behind each filter, and what the body's exit line carries
// (the HRESULT as raised, before the filter maps it; none for a failure that
// is not a runtime exception).
TEST_F(ApiLogTest, FiltersTable) {
  use_file();
  struct Case {
    const char* name;
    std::function<void()> fail;
    int32_t ordinary;
    int32_t status;
    const char* exitResult;  // null: no exit line
  };
  const Case cases[] = {
      {"foreign HRESULT", [] { throw RuntimeException(kEAccessDenied); }, ErrorStatus::ErrFailure,
       kEAccessDenied, "80070005"},
      {"the SDK's own HRESULT", [] { throw RuntimeException(ErrorStatus::ErrNotFound); },
       ErrorStatus::ErrNotFound, ErrorStatus::ErrNotFound, "a0048206"},
      {"reserved is not the SDK's to raise",
       [] { throw RuntimeException(ErrorStatus::ErrReserved); }, ErrorStatus::ErrFailure,
       ErrorStatus::ErrReserved, "a0048210"},
      {"out of memory", [] { throw std::bad_alloc(); }, ErrorStatus::ErrFailure, kEFail, nullptr},
      {"standard-library exception", [] { throw std::runtime_error("x"); }, ErrorStatus::ErrFailure,
       kEFail, nullptr},
      {"anything else", [] { throw 42; }, ErrorStatus::ErrFailure, kEFail, nullptr},
  };
  size_t seen = 0;
  // The lines written since the last call.
  auto newLines = [&] {
    const std::vector<std::string> all = ApiBodies();
    std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
    seen = all.size();
    return fresh;
  };
  for (const Case& c : cases) {
    IAsyncAction ordinary = FailingOperation(c.fail);
    ordinary.wait();
    EXPECT_EQ(ordinary.Status(), AsyncStatus::Error) << c.name;
    EXPECT_EQ(ordinary.ErrorCode(), c.ordinary) << c.name;
    EXPECT_THROW(ordinary.get(), RuntimeException) << c.name;
    std::vector<std::string> expected = {Line("->", "", kConnectName, "()")};
    if (c.exitResult != nullptr) expected.push_back(Line("<-", c.exitResult, kConnectName, "()"));
    EXPECT_EQ(newLines(), expected) << c.name;

    IAsyncOperation<int> status = FailingStatus(c.fail);
    status.wait();
    EXPECT_EQ(status.Status(), AsyncStatus::Error) << c.name;
    EXPECT_EQ(status.ErrorCode(), c.status) << c.name;
    expected = {Line("->", "", kStatusName, "()")};
    if (c.exitResult != nullptr) expected.push_back(Line("<-", c.exitResult, kStatusName, "()"));
    EXPECT_EQ(newLines(), expected) << c.name;
  }
}

// An SDK HRESULT passes as the very exception the body raised; a foreign one
// is replaced by the filter's own error number.
TEST(AsyncFrameTest, FilterKeepsTheSdksExceptionAndMapsTheRest) {
  auto passed = StartOperation(
      []() -> int { throw RuntimeException(ErrorStatus::ErrTimeout, "printer silent"); });
  try {
    passed.get();
    ADD_FAILURE() << "no exception";
  } catch (const RuntimeException& e) {
    EXPECT_EQ(e.HResult(), ErrorStatus::ErrTimeout);
    EXPECT_STREQ(e.what(), "printer silent");
  }
  struct Case {
    ErrorNumber errorNumber;
    std::function<void()> fail;
    int32_t result;
  };
  const Case cases[] = {
      {2, [] { throw RuntimeException(kEFail); }, ErrorStatus::ErrConnect},
      {2, [] { throw 1; }, ErrorStatus::ErrConnect},
      {2, [] { throw std::runtime_error("x"); }, ErrorStatus::ErrFailure},
      {2, [] { throw RuntimeException(ErrorStatus::ErrParameter); }, ErrorStatus::ErrParameter},
      {16, [] { throw RuntimeException(kEFail); }, ErrorStatus::ErrFailure},
  };
  for (const Case& c : cases) {
    auto op =
        RunAsync([fail = c.fail] { fail(); }).then(Tilo2ObserveException<void>{c.errorNumber});
    op.wait();
    EXPECT_EQ(op.ErrorCode(), c.result) << c.errorNumber;
  }
  auto value = RunAsync([] { return 7; }).then(Tilo2ObserveException<int>{});
  EXPECT_EQ(value.get(), 7);
  auto statusValue = RunAsync([] { return 8; }).then(Tilo2ObserveStatusInfoException<int>{});
  EXPECT_EQ(statusValue.get(), 8);
}

// Cancel before a step starts skips it and every later one; the operation ends
// Canceled and the filter still runs.
TEST(AsyncFrameTest, CancelBeforeTheBodyStartsSkipsIt) {
  Signal started;
  Signal gate;
  std::atomic<bool> bodyRan{false};
  auto cancel = std::make_shared<ChainCancel>();
  auto before = FirstStep(cancel, [&] {
    started.Set();
    EXPECT_TRUE(gate.Wait());
  });
  auto body = NextStep(cancel, before, [&](const IAsyncAction& a) {
    a.get();
    bodyRan = true;
    return 5;
  });
  auto op = AppOperation(cancel, body.then(Tilo2ObserveException<int>{}));
  ASSERT_TRUE(started.Wait());
  op.Cancel();
  EXPECT_EQ(op.Status(), AsyncStatus::Started);  // the running step decides when it ends
  auto seen = std::make_shared<std::atomic<int>>(-1);
  Signal done;
  op.Completed([seen, &done](const IAsyncOperation<int>&, AsyncStatus status) {
    *seen = static_cast<int>(status);
    done.Set();
  });
  gate.Set();
  ASSERT_TRUE(done.Wait());
  EXPECT_EQ(*seen, static_cast<int>(AsyncStatus::Canceled));
  EXPECT_EQ(op.Status(), AsyncStatus::Canceled);
  EXPECT_EQ(op.ErrorCode(), kECanceled);
  EXPECT_THROW(op.get(), OperationCanceledException);
  EXPECT_FALSE(bodyRan.load());
}

// A started body (a blocking core call) is not interrupted, and its outcome
// is the operation's, success or failure.
TEST(AsyncFrameTest, CancelDuringABlockingBodyKeepsItsOutcome) {
  for (const int32_t coreResult : {0, 3}) {
    Signal started;
    Signal gate;
    auto op = FakeConnectAsync(kTarget, 10000, [&] {
      started.Set();
      EXPECT_TRUE(gate.Wait());
      return coreResult;
    });
    ASSERT_TRUE(started.Wait());
    op.Cancel();
    op.Cancel();
    EXPECT_EQ(op.Status(), AsyncStatus::Started);
    gate.Set();
    op.wait();
    if (coreResult == 0) {
      EXPECT_EQ(op.Status(), AsyncStatus::Completed);
      EXPECT_NO_THROW(op.get());
    } else {
      EXPECT_EQ(op.Status(), AsyncStatus::Error);
      EXPECT_EQ(op.ErrorCode(), ErrorStatus::ErrConnect);
    }
  }
}

class FakeDevice : public Object, public std::enable_shared_from_this<FakeDevice> {
 public:
  explicit FakeDevice(Signal& destroyed) : destroyed_(destroyed) {}
  ~FakeDevice() override { destroyed_.Set(); }
  String GetRuntimeClassName() const override { return "Orvik.Tilo.Tilo2.Fake"; }

  IAsyncAction SendDataAsync(Signal& started, Signal& gate) {
    auto self = shared_from_this();
    return StartOperation([self, &started, &gate] {
      started.Set();
      EXPECT_TRUE(gate.Wait());
      EXPECT_EQ(self->GetRuntimeClassName(), String("Orvik.Tilo.Tilo2.Fake"));
    });
  }

 private:
  Signal& destroyed_;
};

TEST(AsyncFrameTest, TheObjectOutlivesItsOperation) {
  Signal destroyed;
  Signal started;
  Signal gate;
  auto device = std::make_shared<FakeDevice>(destroyed);
  std::weak_ptr<FakeDevice> weak = device;
  IAsyncAction op = device->SendDataAsync(started, gate);
  device.reset();  // the app lets go while the body runs
  ASSERT_TRUE(started.Wait());
  EXPECT_FALSE(weak.expired());
  EXPECT_FALSE(destroyed.IsSet());
  gate.Set();
  op.get();
  EXPECT_TRUE(destroyed.Wait());
}

// The synchronous frame runs on the caller's thread and hands the exception
// over unchanged, without a filter.
TEST_F(ApiLogTest, SynchronousFrameOnTheCallersThread) {
  use_file();
  constexpr char kAddName[] = "Orvik::Tilo::Tilo2::Printer::Printer::AddFeedLine";
  auto addFeedLine = [&](int32_t line) {
    return RunApiCall(
        kRecord, kAddName, [&] { return LogArguments{line}; },
        [&] { return CommonUtils::CheckRange(line, 0, 255, true, true); });
  };
  EXPECT_EQ(addFeedLine(3), 3);
  try {
    addFeedLine(256);
    ADD_FAILURE() << "no exception";
  } catch (const RuntimeException& e) {
    EXPECT_EQ(e.HResult(), ErrorStatus::ErrParameter);
  }
  EXPECT_THROW(
      RunApiCall(kRecord, kAddName, NoLogArguments, [] { throw RuntimeException(kEAccessDenied); }),
      RuntimeException);
  EXPECT_THROW(RunApiCall(kRecord, kAddName, NoLogArguments, [] { throw std::bad_alloc(); }),
               std::bad_alloc);
  const std::vector<std::string> expected = {
      Line("->", "", kAddName, "(3)"),   Line("<-", "0", kAddName, "(3)"),
      Line("->", "", kAddName, "(256)"), Line("<-", "a0048200", kAddName, "(256)"),
      Line("->", "", kAddName, "()"),    Line("<-", "80070005", kAddName, "()"),
      Line("->", "", kAddName, "()"),
  };
  EXPECT_EQ(ApiBodies(), expected);
}

// A status query's successful exit line shows the result; a failed one the
// arguments the call had.
TEST_F(ApiLogTest, ResultArgumentsOnTheSuccessfulExitLine) {
  use_file();
  auto status = StartStatusOperation([] {
    return RunApiCall(
        kRecord, kStatusName, NoLogArguments, [] { return 1; },
        [](int online) {
          return LogArguments{String("connection->"), String("True"), String("online->"),
                              String(online == 1 ? "True" : "False")};
        });
  });
  EXPECT_EQ(status.get(), 1);
  const std::vector<std::string> expected = {
      Line("->", "", kStatusName, "()"),
      Line("<-", "0", kStatusName, "(connection->, True, online->, True)")};
  EXPECT_EQ(ApiBodies(), expected);
}

}  // namespace
