// A hybrid printer record driven over the direct backend against the printer
// emulator's hybrid profile: connect and the units it learns, the slip flow
// (select, wait for the sheet, print, eject), the MICR read and its held
// document, an insertion that never comes, and the direct refusals.
//
// Addresses (io_test::address): 1280-1299.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../io/io_test_support.h"
#include "device/command_list.h"
#include "device/hybrid_module.h"
#include "device/printer_access.h"
#include "device/printer_operations.h"
#include "engine/print_handle.h"

using namespace tilo2::core;
using printer_emulator::HybridStatus;
using printer_emulator::MicrResult;
using printer_emulator::Profile;
using printer_emulator::SheetPath;

namespace {

constexpr auto kDeadline = std::chrono::seconds(30);

struct Outcome {
  int32_t method;
  int32_t code;
  std::optional<std::string> data;
  int32_t connection;
};

class Recorder {
 public:
  static void OnStatus(void*, int32_t event, void* user) {
    auto* self = static_cast<Recorder*>(user);
    {
      std::lock_guard lock(self->mutex_);
      self->events_.push_back(event);
    }
    self->changed_.notify_all();
  }
  static void OnResult(void* record, int32_t method, int32_t code, const char* data,
                       TdcStatus_t* status, void* user) {
    auto* self = static_cast<Recorder*>(user);
    std::function<void(TdcPrinter_t*, int32_t)> hook;
    {
      std::lock_guard lock(self->mutex_);
      hook = self->hook_;
    }
    // Before the result is recorded: a test waiting for it sees what the hook did.
    if (hook) hook(static_cast<TdcPrinter_t*>(record), method);
    {
      std::lock_guard lock(self->mutex_);
      self->results_.push_back({method, code,
                                data != nullptr ? std::optional<std::string>(data) : std::nullopt,
                                status != nullptr ? status->connection : -99});
    }
    self->changed_.notify_all();
  }

  // The first result of the method after the first `skip` of it; nullopt at the deadline.
  std::optional<Outcome> WaitResult(int32_t method, size_t skip = 0) {
    std::unique_lock lock(mutex_);
    std::optional<Outcome> found;
    changed_.wait_for(lock, kDeadline, [&] {
      size_t seen = 0;
      for (const auto& r : results_) {
        if (r.method == method && seen++ == skip) {
          found = r;
          return true;
        }
      }
      return false;
    });
    return found;
  }
  // Runs on the callback's thread for each result.
  void SetHook(std::function<void(TdcPrinter_t*, int32_t)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
  }
  bool WaitEvent(int32_t event) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] {
      for (int32_t e : events_) {
        if (e == event) return true;
      }
      return false;
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int32_t> events_;
  std::vector<Outcome> results_;
  std::function<void(TdcPrinter_t*, int32_t)> hook_;
};

class HybridDirect : public ::testing::Test {
 protected:
  void TearDown() override {
    if (record_ != nullptr) {
      if (TdcReadPrinterState(record_).handle != nullptr) {
        EXPECT_TRUE(
            io_test::Eventually([&] { return TdcDisconnectHybridPrinter(nullptr, record_) == 0; }));
      }
      EXPECT_EQ(TdcDestroyHybridPrinter(record_), 0);
    }
    if (emulator_) emulator_->stop();
  }

  void Start(int n) {
    emulator_ = io_test::startEmulator(n);
    ASSERT_NE(emulator_, nullptr);
    emulator_->state().setProfile(Profile::Hybrid);
    target_ = "TCP:" + io_test::address(n);
    ASSERT_EQ(TdcCreateHybridPrinter(0, &record_), 0);
    TdcRegisterHybridPrinter(record_);
    record_->hybridStatusCallback = &Recorder::OnStatus;
    record_->hybridStatusUser = &recorder_;
    record_->hybridReceiveCallback = &Recorder::OnResult;
    record_->hybridReceiveUser = &recorder_;
  }

  void Connect() { ASSERT_EQ(TdcConnectHybridPrinter(nullptr, record_, target_.c_str(), 5000), 0); }

  bool WaitHybrid(const std::function<bool(const HybridStatus&)>& test) {
    return emulator_->waitForHybrid(test, std::chrono::milliseconds(10000));
  }

  std::unique_ptr<printer_emulator::PrinterEmulator> emulator_;
  std::string target_;
  TdcPrinter_t* record_ = nullptr;
  Recorder recorder_;
};

TEST_F(HybridDirect, ConnectTakesTheHybridShareAndLearnsTheUnits) {
  ASSERT_NO_FATAL_FAILURE(Start(1280));
  TdcSetInsertedPaper(record_, TDC_PAPER_SLIP);
  ASSERT_NO_FATAL_FAILURE(Connect());
  const TdcPrinterState_t state = TdcReadPrinterState(record_);
  EXPECT_EQ(state.mode, TDC_MODE_DIRECT);
  EXPECT_NE(state.handle, nullptr);
  EXPECT_NE(state.builder, nullptr);
  EXPECT_EQ(state.connection, nullptr);
  EXPECT_EQ(record_->settings->portType, TDC_PORT_TCP);
  EXPECT_EQ(TdcGetInsertedPaper(record_), TDC_PAPER_SLIP);
  // The units come with the connection or with the first operation that needs them.
  EXPECT_EQ(TdcSelectPaperType(nullptr, record_, TDC_PAPER_RECEIPT), 0);
  const int32_t support = TdcGetPaperSupport(record_);
  EXPECT_NE(support, kTdcNone);
  const uint32_t handleSupport = static_cast<PrintHandle_t*>(state.handle)->paperSupport.load();
  EXPECT_EQ(static_cast<uint32_t>(support), handleSupport & 0x7u);
  EXPECT_EQ(TdcQueryPaperSupport(nullptr, record_), 0);

  EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record_, target_.c_str(), 5000), TDC_ERR_ILLEGAL);
  const uint8_t bytes[] = {0x1B, 0x40};
  EXPECT_EQ(TdcForceHybridPrinterCommand(nullptr, record_, bytes, 2, 1, -2), TDC_ERR_UNSUPPORTED);

  ASSERT_EQ(TdcDisconnectHybridPrinter(nullptr, record_), 0);
  EXPECT_EQ(TdcReadPrinterState(record_).mode, TDC_MODE_CLOSED);
  EXPECT_EQ(TdcGetPaperSupport(record_), kTdcNone);
  EXPECT_EQ(TdcGetInsertedPaper(record_), TDC_PAPER_SLIP);
  // The printer is free again for the next connect.
  ASSERT_NO_FATAL_FAILURE(Connect());
}

TEST_F(HybridDirect, TlsTargetIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Start(1281));
  const std::string tls = "TCPS:" + io_test::address(1281);
  EXPECT_EQ(TdcConnectHybridPrinter(nullptr, record_, tls.c_str(), 5000), TDC_ERR_PARAM);
  EXPECT_EQ(TdcReadPrinterState(record_).mode, TDC_MODE_CLOSED);
  EXPECT_EQ(record_->commands.ops, nullptr);
}

TEST_F(HybridDirect, SlipFlowRecordsTheInsertedPaperPrintsAndEjects) {
  ASSERT_NO_FATAL_FAILURE(Start(1282));
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_EQ(TdcStartMonitor(nullptr, record_), 0);
  ASSERT_EQ(TdcSelectPaperType(nullptr, record_, TDC_PAPER_SLIP), 0);
  EXPECT_EQ(TdcGetPaperType(record_), TDC_PAPER_SLIP);

  ASSERT_EQ(TdcWaitInsertion(nullptr, record_, kTdcDefault, 30000), 0);
  ASSERT_TRUE(emulator_->waitForInsertionWait(std::chrono::milliseconds(10000)));
  // The insertion wait is reported as a slip wait while slip paper is selected.
  EXPECT_TRUE(recorder_.WaitEvent(TDC_HYBRID_EVENT_INSERTION_WAIT_SLIP));
  ASSERT_TRUE(emulator_->insertSheet(SheetPath::Slip));
  const auto inserted = recorder_.WaitResult(TDC_METHOD_WAIT_INSERTION);
  ASSERT_TRUE(inserted.has_value());
  EXPECT_EQ(inserted->code, TDC_CB_SUCCESS);
  EXPECT_EQ(TdcGetInsertedPaper(record_), TDC_PAPER_SLIP);

  // Slip selected and inserted: printed without a paper switch.
  ASSERT_EQ(TdcAddPrinterCommandText(&record_->commands.commandList, "PAY TO THE ORDER\n"), 0);
  ASSERT_EQ(TdcSendHybridPrinterData(nullptr, record_, 1, kTdcDefault), 0);
  const auto printed = recorder_.WaitResult(TDC_METHOD_SEND_DATA);
  ASSERT_TRUE(printed.has_value());
  EXPECT_EQ(printed->code, TDC_CB_SUCCESS);
  EXPECT_EQ(printed->connection, 1);
  EXPECT_EQ(record_->slipApplied, 0);
  EXPECT_NE(record_->commands.commandList.head, nullptr);

  // The eject reports before it returns and resets the paper state.
  ASSERT_EQ(TdcEjectPaper(nullptr, record_), 0);
  const auto ejected = recorder_.WaitResult(TDC_METHOD_EJECT_PAPER);
  ASSERT_TRUE(ejected.has_value());
  EXPECT_EQ(ejected->code, TDC_CB_SUCCESS);
  EXPECT_EQ(TdcGetInsertedPaper(record_), 0);
  EXPECT_EQ(TdcGetInsertionMode(record_), TDC_INSERTION_NONE);
  ASSERT_TRUE(WaitHybrid([](const HybridStatus& s) { return s.removalWaiting; }));
  ASSERT_TRUE(emulator_->removeSheet());
  EXPECT_EQ(TdcStopMonitor(nullptr, record_), 0);
}

TEST_F(HybridDirect, MicrReadHoldsTheDocumentUntilTheEject) {
  ASSERT_NO_FATAL_FAILURE(Start(1283));
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_EQ(TdcReadMicrData(nullptr, record_, 0, kTdcDefault, 30000), 0);
  EXPECT_EQ(TdcGetInsertionMode(record_), TDC_INSERTION_MICR_RUNNING);
  ASSERT_TRUE(WaitHybrid([](const HybridStatus& s) { return s.micrRead; }));
  ASSERT_TRUE(emulator_->answerMicr(MicrResult{"T123456789T 0042", false, 0}));
  const auto read = recorder_.WaitResult(TDC_METHOD_READ_MICR);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->code, TDC_CB_SUCCESS);
  ASSERT_TRUE(read->data.has_value());
  EXPECT_EQ(*read->data, "T123456789T 0042");
  EXPECT_EQ(TdcGetInsertionMode(record_), TDC_INSERTION_MICR_HELD);

  ASSERT_EQ(TdcEjectPaper(nullptr, record_), 0);
  const auto ejected = recorder_.WaitResult(TDC_METHOD_EJECT_PAPER);
  ASSERT_TRUE(ejected.has_value());
  EXPECT_EQ(ejected->code, TDC_CB_SUCCESS);
  EXPECT_EQ(TdcGetInsertionMode(record_), TDC_INSERTION_NONE);
}

// Endorse after a slip insertion switches the paper once, marks the side and
// prints; the next send prints on the same side without a switch.
TEST_F(HybridDirect, EndorseAfterSlipSwitchesOnce) {
  ASSERT_NO_FATAL_FAILURE(Start(1287));
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_EQ(TdcSelectPaperType(nullptr, record_, TDC_PAPER_SLIP), 0);
  ASSERT_EQ(TdcWaitInsertion(nullptr, record_, kTdcDefault, 30000), 0);
  ASSERT_TRUE(emulator_->waitForInsertionWait(std::chrono::milliseconds(10000)));
  ASSERT_TRUE(emulator_->insertSheet(SheetPath::Slip));
  ASSERT_TRUE(recorder_.WaitResult(TDC_METHOD_WAIT_INSERTION).has_value());
  ASSERT_EQ(TdcGetInsertedPaper(record_), TDC_PAPER_SLIP);

  ASSERT_EQ(TdcSelectPaperType(nullptr, record_, TDC_PAPER_ENDORSE), 0);
  ASSERT_EQ(TdcAddPrinterCommandText(&record_->commands.commandList, "FOR DEPOSIT ONLY\n"), 0);
  ASSERT_EQ(TdcSendHybridPrinterData(nullptr, record_, 1, kTdcDefault), 0);
  const auto first = recorder_.WaitResult(TDC_METHOD_SEND_DATA);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->code, TDC_CB_SUCCESS);
  EXPECT_EQ(record_->endorseApplied, 1);
  EXPECT_EQ(record_->slipApplied, 0);
  EXPECT_EQ(TdcGetInsertedPaper(record_), TDC_PAPER_ENDORSE);
  uint8_t again = 1;
  ASSERT_EQ(TdcGetPaperSwitchFlag(record_, &again), 0);
  EXPECT_EQ(again, 0);

  ASSERT_EQ(TdcSendHybridPrinterData(nullptr, record_, 0, kTdcDefault), 0);
  const auto second = recorder_.WaitResult(TDC_METHOD_SEND_DATA, 1);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->code, TDC_CB_SUCCESS);
  EXPECT_EQ(record_->endorseApplied, 1);
}

// A cancel ends the pending wait (reported as canceled, which keeps the paper
// state) and reports itself, which resets the state.
TEST_F(HybridDirect, CancelEndsThePendingWait) {
  ASSERT_NO_FATAL_FAILURE(Start(1288));
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_EQ(TdcSelectPaperType(nullptr, record_, TDC_PAPER_VALIDATION), 0);
  TdcSetInsertedPaper(record_, TDC_PAPER_SLIP);
  ASSERT_EQ(TdcWaitInsertion(nullptr, record_, kTdcDefault, 60000), 0);
  ASSERT_TRUE(emulator_->waitForInsertionWait(std::chrono::milliseconds(10000)));
  ASSERT_EQ(TdcCancelInsertion(nullptr, record_), 0);
  const auto canceled = recorder_.WaitResult(TDC_METHOD_CANCEL_INSERTION);
  ASSERT_TRUE(canceled.has_value());
  EXPECT_EQ(canceled->code, TDC_CB_SUCCESS);
  const auto waited = recorder_.WaitResult(TDC_METHOD_WAIT_INSERTION);
  ASSERT_TRUE(waited.has_value());
  EXPECT_EQ(waited->code, 18);
  // The cancel's success reset the state.
  EXPECT_EQ(TdcGetInsertedPaper(record_), 0);
}

// The eject's report runs on a print-engine thread while the eject still
// holds the record: an operation the app starts from that report finishes
// once the eject returned, and neither waits for the other for ever.
TEST_F(HybridDirect, OperationFromTheEjectReportCompletes) {
  ASSERT_NO_FATAL_FAILURE(Start(1286));
  ASSERT_NO_FATAL_FAILURE(Connect());
  std::atomic<int> nested{-1};
  recorder_.SetHook([&](TdcPrinter_t* record, int32_t method) {
    if (method != TDC_METHOD_EJECT_PAPER) return;
    TdcStatus_t* status = TdcGetHybridPrinterStatus(nullptr, record);
    nested = status != nullptr ? 1 : 0;
    std::free(status);
  });
  EXPECT_EQ(TdcEjectPaper(nullptr, record_), 0);
  ASSERT_TRUE(recorder_.WaitResult(TDC_METHOD_EJECT_PAPER).has_value());
  EXPECT_EQ(nested.load(), 1);
  recorder_.SetHook(nullptr);
  // Outside a report the record works as before.
  TdcStatus_t* status = TdcGetHybridPrinterStatus(nullptr, record_);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->connection, 1);
  std::free(status);
}

// An insertion that never comes times out and resets the paper state, so the
// next slip job switches the paper again.
TEST_F(HybridDirect, InsertionTimeoutResetsThePaperState) {
  ASSERT_NO_FATAL_FAILURE(Start(1284));
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_EQ(TdcSelectPaperType(nullptr, record_, TDC_PAPER_SLIP), 0);
  TdcSetInsertedPaper(record_, TDC_PAPER_ENDORSE);
  record_->slipApplied = 1;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(TdcWaitInsertion(nullptr, record_, 0, 5000), 0);
  const auto result = recorder_.WaitResult(TDC_METHOD_WAIT_INSERTION);
  ASSERT_TRUE(result.has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5000));
  EXPECT_EQ(result->code, TDC_CB_TIMEOUT);
  EXPECT_EQ(TdcGetInsertedPaper(record_), 0);
  EXPECT_EQ(record_->slipApplied, 0);
}

// A disconnect while an insertion is awaited cancels it and closes the record.
TEST_F(HybridDirect, DisconnectCancelsAPendingInsertion) {
  ASSERT_NO_FATAL_FAILURE(Start(1285));
  ASSERT_NO_FATAL_FAILURE(Connect());
  ASSERT_EQ(TdcSelectPaperType(nullptr, record_, TDC_PAPER_SLIP), 0);
  ASSERT_EQ(TdcWaitInsertion(nullptr, record_, kTdcDefault, 60000), 0);
  ASSERT_TRUE(emulator_->waitForInsertionWait(std::chrono::milliseconds(10000)));
  ASSERT_EQ(TdcDisconnectHybridPrinter(nullptr, record_), 0);
  EXPECT_EQ(TdcReadPrinterState(record_).mode, TDC_MODE_CLOSED);
  EXPECT_EQ(TdcGetPaperType(record_), TDC_PAPER_RECEIPT);
  EXPECT_TRUE(WaitHybrid([](const HybridStatus& s) { return s.wait == HybridStatus::Wait::None; }));
  EXPECT_TRUE(io_test::Eventually([&] { return !emulator_->clientConnected(); }));
}

}  // namespace
