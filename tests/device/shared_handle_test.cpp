// A printer record and a hybrid printer record on the same printer: over the
// direct backend they share one print handle and its event slots, so each
// hears the base events whichever connected (or left) first; and the
// operations both printer kinds share hold a hybrid record against its
// destroy as they hold a printer record.
//
// Addresses (io_test::address): 1390-1409.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../io/io_test_support.h"
#include "device/hybrid_module.h"
#include "device/printer_access.h"
#include "device/printer_module.h"
#include "device/printer_operations.h"
#include "engine/status_monitor.h"
#include "service_fake/fake_hybrid.h"
#include "service_fake/fake_service.h"

using namespace tilo2::core;
namespace fake = tilo2::fake;

namespace {

constexpr auto kDeadline = std::chrono::seconds(10);
constexpr int32_t kSeriesS3B = 6;
constexpr int32_t kCoverClose = 3;
constexpr int32_t kCoverOpen = 4;

// The status events one record heard.
class Events {
 public:
  static void On(void*, int32_t event, void* user) {
    auto* self = static_cast<Events*>(user);
    {
      std::lock_guard lock(self->mutex_);
      self->events_.push_back(event);
    }
    self->changed_.notify_all();
  }
  int Count(int32_t event) {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (int32_t e : events_) count += e == event ? 1 : 0;
    return count;
  }
  // Waits until the event was heard at least count times.
  bool WaitCount(int32_t event, int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] {
      int seen = 0;
      for (int32_t e : events_) seen += e == event ? 1 : 0;
      return seen >= count;
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int32_t> events_;
};

PrintHandle_t* HandleOf(TdcPrinter_t* record) {
  return static_cast<PrintHandle_t*>(TdcReadPrinterState(record).handle);
}

class SharedDirectHandle : public ::testing::Test {
 protected:
  void TearDown() override { Finish(); }

  // Disconnects and destroys both records and stops the emulator.
  void Finish() {
    for (TdcPrinter_t* record : {printer_, hybrid_}) {
      if (record != nullptr && TdcReadPrinterState(record).handle != nullptr) {
        EXPECT_TRUE(io_test::Eventually([&] { return Disconnect(record) == 0; }));
      }
    }
    if (printer_ != nullptr) {
      EXPECT_EQ(TdcDestroyPrinter(printer_), 0);
    }
    if (hybrid_ != nullptr) {
      EXPECT_EQ(TdcDestroyHybridPrinter(hybrid_), 0);
    }
    printer_ = nullptr;
    hybrid_ = nullptr;
    if (emulator_) emulator_->stop();
    emulator_.reset();
  }

  void Start(int n) {
    emulator_ = io_test::startEmulator(n);
    ASSERT_NE(emulator_, nullptr);
    emulator_->state().setProfile(printer_emulator::Profile::Hybrid);
    target_ = "TCP:" + io_test::address(n);
    ASSERT_EQ(TdcCreatePrinter(&printer_, kSeriesS3B, 0), 0);
    TdcRegisterPrinter(printer_);
    printer_->statusCallback = &Events::On;
    printer_->statusUser = &printerEvents_;
    ASSERT_EQ(TdcCreateHybridPrinter(0, &hybrid_), 0);
    TdcRegisterHybridPrinter(hybrid_);
    hybrid_->hybridStatusCallback = &Events::On;
    hybrid_->hybridStatusUser = &hybridEvents_;
  }

  int Connect(TdcPrinter_t* record) {
    return record == printer_ ? TdcConnectPrinter(nullptr, printer_, target_.c_str(), nullptr, 5000)
                              : TdcConnectHybridPrinter(nullptr, hybrid_, target_.c_str(), 5000);
  }
  int Disconnect(TdcPrinter_t* record) {
    return record == printer_ ? TdcDisconnectPrinter(nullptr, printer_)
                              : TdcDisconnectHybridPrinter(nullptr, hybrid_);
  }

  // Opens or closes the cover and waits for a monitor cycle that saw it.
  void SetCover(bool open, PrintHandle_t* handle) {
    emulator_->state().setFaults({.coverOpen = open});
    WakeStatusMonitor(handle);
  }

  std::unique_ptr<printer_emulator::PrinterEmulator> emulator_;
  std::string target_;
  // Outlive the records: the destroys wait for their last callback.
  Events printerEvents_;
  Events hybridEvents_;
  TdcPrinter_t* printer_ = nullptr;
  TdcPrinter_t* hybrid_ = nullptr;
};

// Whichever kind connects first and whichever leaves first, a cover change
// reaches every record still on the handle; the one that left hears nothing.
TEST_F(SharedDirectHandle, BaseEventsReachBothKindsWhicheverConnectsFirst) {
  struct Case {
    const char* what;
    bool hybridFirst;
    bool firstLeaves;
  };
  const Case cases[] = {
      {"hybrid first, the printer leaves", true, false},
      {"hybrid first, the hybrid leaves", true, true},
      {"printer first, the hybrid leaves", false, false},
      {"printer first, the printer leaves", false, true},
  };
  int n = 1390;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(Start(n++));
    TdcPrinter_t* first = c.hybridFirst ? hybrid_ : printer_;
    TdcPrinter_t* second = c.hybridFirst ? printer_ : hybrid_;
    ASSERT_EQ(Connect(first), 0);
    ASSERT_EQ(Connect(second), 0);
    PrintHandle_t* handle = HandleOf(first);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(HandleOf(second), handle);

    ASSERT_EQ(TdcStartMonitor(nullptr, second), 0);
    SetCover(true, handle);
    EXPECT_TRUE(printerEvents_.WaitCount(kCoverOpen, 1));
    EXPECT_TRUE(hybridEvents_.WaitCount(kCoverOpen, 1));

    TdcPrinter_t* leaving = c.firstLeaves ? first : second;
    TdcPrinter_t* staying = c.firstLeaves ? second : first;
    Events& stayingEvents = staying == printer_ ? printerEvents_ : hybridEvents_;
    Events& leavingEvents = staying == printer_ ? hybridEvents_ : printerEvents_;
    const int leavingCloses = leavingEvents.Count(kCoverClose);
    const int stayingCloses = stayingEvents.Count(kCoverClose);
    ASSERT_EQ(Disconnect(leaving), 0);
    SetCover(false, handle);
    EXPECT_TRUE(stayingEvents.WaitCount(kCoverClose, stayingCloses + 1));
    // Delivered to the staying record by then: the one that left was skipped.
    EXPECT_EQ(leavingEvents.Count(kCoverClose), leavingCloses);

    Finish();
  }
}

// A hybrid record connected through the scripted client; each shared
// operation is held inside the client while another thread destroys the
// record.
class SharedOperationHold : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    fake::SetSystemUnits(1, 1, 1);
  }
  void TearDown() override {
    fake::WaitIdle();
    fake::Reset();
  }
};

TEST_F(SharedOperationHold, DestroyOfAHybridRecordWaitsForASharedOperation) {
  struct Case {
    const char* call;  // the client call the operation is held in
    int (*run)(TdcPrinter_t*);
  };
  const Case cases[] = {
      {"TdevSetMonitorInterval", [](TdcPrinter_t* r) { return TdcSetInterval(r, 2000); }},
      {"TdevStartMonitor", [](TdcPrinter_t* r) { return TdcStartMonitor(nullptr, r); }},
      {"TdevPrinterForceRecover",
       [](TdcPrinter_t* r) { return TdcForceRecover(nullptr, r, 1000); }},
  };
  const std::string target = "TCP:" + io_test::address(1400) + "[h1]";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    TdcPrinter_t* record = nullptr;
    ASSERT_EQ(TdcCreateHybridPrinter(0, &record), 0);
    TdcRegisterHybridPrinter(record);
    ASSERT_EQ(TdcConnectHybridPrinter(nullptr, record, target.c_str(), 5000), 0);

    fake::Hold(c.call);
    auto operation = std::async(std::launch::async, [&] { return c.run(record); });
    ASSERT_TRUE(fake::WaitBlocked(c.call));
    std::atomic<bool> released{false};
    auto destroy = std::async(std::launch::async, [&] {
      EXPECT_EQ(TdcDestroyHybridPrinter(record), 0);
      return released.load();
    });
    // The destroy may not end while the operation is inside the client.
    EXPECT_EQ(destroy.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    released = true;
    fake::ReleaseHold(c.call);
    EXPECT_EQ(operation.get(), 0);
    EXPECT_TRUE(destroy.get()) << "the record was freed under the operation";
    fake::Reset();
  }
}

}  // namespace
