#include "component/bluetooth_pairing_check.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "api_log_fixture.h"
#include "component/async_frame.h"
#include "component/bluetooth_pairing.h"
#include "component/run_async.h"
#include "orvik/tilo2/error_status.h"
#include "orvik/tilo2/exceptions.h"

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

constexpr int32_t kEAccessDenied = static_cast<int32_t>(0x80070005u);
const std::string kInfoLine =
    "APIIO,-i,0000000000000000,,,Orvik::Tilo::Tilo2::CommonUtils::ConnectBtDeviceAsync,";

// The system's pairings as a test sets them; records what was asked of it.
class FakePairing : public IBluetoothPairing {
 public:
  enum class Failure {
    None,
    QueryFails,      // the query's operation fails with E_FAIL
    QueryThrowsStd,  // the call throws std::runtime_error
    OpenFails,       // opening fails with E_ACCESSDENIED
    OpenTimesOut,    // opening fails with the SDK's ErrTimeout
  };

  std::vector<PairedSerialPortDevice> devices;
  Failure failure = Failure::None;
  std::atomic<int> queries{0};

  IAsyncOperation<std::vector<PairedSerialPortDevice>> FindPairedSerialPortDevices() override {
    ++queries;
    if (failure == Failure::QueryThrowsStd) throw std::runtime_error("enumeration broke");
    const bool fails = failure == Failure::QueryFails;
    return RunAsync([fails, list = devices] {
      if (fails) throw RuntimeException(kEFail, "enumeration failed");
      return list;
    });
  }

  IAsyncAction OpenSerialService(const String& id) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      opened_.push_back(id.utf8());
    }
    const Failure f = failure;
    return RunAsync([f] {
      if (f == Failure::OpenFails) throw RuntimeException(kEAccessDenied);
      if (f == Failure::OpenTimesOut) throw RuntimeException(ErrorStatus::ErrTimeout);
    });
  }

  std::vector<std::string> Opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> opened_;
};

class PairingCheckTest : public ApiLogTest {
 protected:
  void SetUp() override {
    ApiLogTest::SetUp();
    use_file();
    fake_ = std::make_shared<FakePairing>();
    SetBluetoothPairing(fake_);
  }
  void TearDown() override {
    SetBluetoothPairing(nullptr);
    ApiLogTest::TearDown();
  }

  std::shared_ptr<FakePairing> fake_;
};

TEST_F(PairingCheckTest, Table) {
  using F = FakePairing::Failure;
  const std::vector<PairedSerialPortDevice> paired = {
      {String("dev-1"), String("001122334455")},
      {String("dev-2"), String("000190AABBCC")},
      {String("dev-3"), String("000190AABBCC")},
  };
  struct Case {
    const char* name;
    const char* target;
    std::vector<PairedSerialPortDevice> devices;
    F failure;
    int32_t result;
    const char* line;    // the information line's message, or null for none
    const char* opened;  // the id opened, or null
  };
  const Case cases[] = {
      {"address as the app writes it", "BT:00:01:90:aa:bb:cc", paired, F::None, kSOk,
       "Bluetooth is paired.", "dev-2"},
      {"system reports lower case",
       "BT:00:01:90:AA:BB:CC",
       {{String("dev-9"), String("000190aabbcc")}},
       F::None,
       kSOk,
       "Bluetooth is paired.",
       "dev-9"},
      {"not among the paired", "BT:00:01:90:00:00:01", paired, F::None, ErrorStatus::ErrConnect,
       "Bluetooth isn't paired.", nullptr},
      {"nothing paired",
       "BT:00:01:90:aa:bb:cc",
       {},
       F::None,
       ErrorStatus::ErrConnect,
       "Bluetooth isn't paired.",
       nullptr},
      {"query fails", "BT:00:01:90:aa:bb:cc", paired, F::QueryFails, ErrorStatus::ErrConnect,
       nullptr, nullptr},
      {"query throws a standard exception", "BT:00:01:90:aa:bb:cc", paired, F::QueryThrowsStd,
       ErrorStatus::ErrFailure, nullptr, nullptr},
      {"open fails", "BT:00:01:90:aa:bb:cc", paired, F::OpenFails, ErrorStatus::ErrConnect,
       "Bluetooth is paired.", "dev-2"},
      {"open fails with the SDK's own code", "BT:00:01:90:aa:bb:cc", paired, F::OpenTimesOut,
       ErrorStatus::ErrTimeout, "Bluetooth is paired.", "dev-2"},
  };
  size_t seenLines = 0;
  size_t seenOpens = 0;
  for (const Case& c : cases) {
    fake_->devices = c.devices;
    fake_->failure = c.failure;
    const int queriesBefore = fake_->queries.load();
    IAsyncAction op = CommonUtils::ConnectBtDeviceAsync(String(c.target));
    op.wait();
    EXPECT_EQ(op.ErrorCode(), c.result) << c.name;
    EXPECT_EQ(op.Status(), c.result == kSOk ? AsyncStatus::Completed : AsyncStatus::Error)
        << c.name;
    EXPECT_EQ(fake_->queries.load(), queriesBefore + 1) << c.name;

    const std::vector<std::string> lines = ApiBodies();
    std::vector<std::string> fresh(lines.begin() + static_cast<std::ptrdiff_t>(seenLines),
                                   lines.end());
    seenLines = lines.size();
    std::vector<std::string> expected;
    if (c.line != nullptr) {
      expected.push_back(kInfoLine + c.line + "," + "(" + c.target + ")");
    }
    EXPECT_EQ(fresh, expected) << c.name;

    const std::vector<std::string> opened = fake_->Opened();
    std::vector<std::string> freshOpens(opened.begin() + static_cast<std::ptrdiff_t>(seenOpens),
                                        opened.end());
    seenOpens = opened.size();
    EXPECT_EQ(freshOpens,
              c.opened != nullptr ? std::vector<std::string>{c.opened} : std::vector<std::string>{})
        << c.name;
  }
}

// Other targets complete at once: no query, no line.
TEST_F(PairingCheckTest, OtherTargetsCompleteAtOnce) {
  for (const char* target : {"TCP:192.168.0.10", "USB:", "TCP:192.168.0.10[printer1]", ""}) {
    IAsyncAction op = CommonUtils::ConnectBtDeviceAsync(String(target));
    EXPECT_EQ(op.Status(), AsyncStatus::Completed) << target;
    EXPECT_NO_THROW(op.get());
  }
  EXPECT_EQ(fake_->queries.load(), 0);
  EXPECT_TRUE(ApiBodies().empty());
}

// Without a Bluetooth backend no list arrives: the check fails with
// ErrConnect and claims nothing about the pairing.
TEST_F(PairingCheckTest, WithoutABackendTheCheckFailsWithoutALine) {
  SetBluetoothPairing(nullptr);
  IAsyncAction op = CommonUtils::ConnectBtDeviceAsync(String("BT:00:01:90:aa:bb:cc"));
  op.wait();
  EXPECT_EQ(op.ErrorCode(), ErrorStatus::ErrConnect);
  EXPECT_TRUE(ApiBodies().empty());
}

// The connect chain of a device reachable over Bluetooth, with fake checks
// and a fake core call.
struct ConnectProbe {
  std::atomic<int> checks{0};
  std::atomic<int> connects{0};
  std::atomic<int> connectSawFailure{0};
};

IAsyncAction FakeConnect(const String& target, std::shared_ptr<ConnectProbe> probe,
                         std::function<void()> check, std::function<void()> core) {
  return StartConnectOperation(
      target,
      [probe, check] {
        ++probe->checks;
        check();
      },
      [probe, core](const IAsyncAction& pairing) {
        try {
          pairing.get();
        } catch (const RuntimeException&) {
          ++probe->connectSawFailure;
          throw;
        }
        ++probe->connects;
        core();
      });
}

TEST_F(PairingCheckTest, ConnectChainRunsTheCoreOnlyAfterACheckAndAPairing) {
  fake_->devices = {{String("dev-1"), String("000190AABBCC")}};
  struct Case {
    const char* name;
    const char* target;
    bool checkFails;
    int32_t result;
    int queries;
    int connects;
  };
  const Case cases[] = {
      {"paired", "BT:00:01:90:aa:bb:cc", false, kSOk, 1, 1},
      {"tcp skips the pairing", "TCP:192.168.0.10", false, kSOk, 0, 1},
      {"failed check", "BT:00:01:90:aa:bb:cc", true, ErrorStatus::ErrParameter, 0, 0},
      {"not paired", "BT:00:01:90:00:00:01", false, ErrorStatus::ErrConnect, 1, 0},
  };
  for (const Case& c : cases) {
    auto probe = std::make_shared<ConnectProbe>();
    const int queriesBefore = fake_->queries.load();
    const bool checkFails = c.checkFails;
    IAsyncAction op = FakeConnect(
        String(c.target), probe,
        [checkFails] {
          if (checkFails) throw RuntimeException(ErrorStatus::ErrParameter);
        },
        [] {});
    op.wait();
    EXPECT_EQ(op.ErrorCode(), c.result) << c.name;
    EXPECT_EQ(probe->checks.load(), 1) << c.name;
    EXPECT_EQ(fake_->queries.load() - queriesBefore, c.queries) << c.name;
    EXPECT_EQ(probe->connects.load(), c.connects) << c.name;
    // The connect step sees a failure of the steps before, to log it as its own.
    EXPECT_EQ(probe->connectSawFailure.load(), c.result == kSOk ? 0 : 1) << c.name;
  }
}

TEST_F(PairingCheckTest, CancelDuringTheCheckSkipsPairingAndConnect) {
  fake_->devices = {{String("dev-1"), String("000190AABBCC")}};
  auto probe = std::make_shared<ConnectProbe>();
  Signal started;
  Signal gate;
  IAsyncAction op = FakeConnect(
      String("BT:00:01:90:aa:bb:cc"), probe,
      [&] {
        started.Set();
        EXPECT_TRUE(gate.Wait());
      },
      [] {});
  ASSERT_TRUE(started.Wait());
  op.Cancel();
  gate.Set();
  op.wait();
  EXPECT_EQ(op.Status(), AsyncStatus::Canceled);
  EXPECT_THROW(op.get(), OperationCanceledException);
  EXPECT_EQ(fake_->queries.load(), 0);
  EXPECT_EQ(probe->connects.load(), 0);
}

// A connect that happened is never reported as cancelled.
TEST_F(PairingCheckTest, CancelDuringTheConnectKeepsTheConnection) {
  fake_->devices = {{String("dev-1"), String("000190AABBCC")}};
  auto probe = std::make_shared<ConnectProbe>();
  Signal started;
  Signal gate;
  IAsyncAction op = FakeConnect(
      String("BT:00:01:90:aa:bb:cc"), probe, [] {},
      [&] {
        started.Set();
        EXPECT_TRUE(gate.Wait());
      });
  ASSERT_TRUE(started.Wait());
  op.Cancel();
  EXPECT_EQ(op.Status(), AsyncStatus::Started);
  gate.Set();
  op.wait();
  EXPECT_EQ(op.Status(), AsyncStatus::Completed);
  EXPECT_EQ(probe->connects.load(), 1);
}

}  // namespace
