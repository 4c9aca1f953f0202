// The hybrid printer's insertion wait, cancel, eject, MICR read and cleaning
// chains against the printer emulator over loopback TCP. The emulator plays
// the hybrid printer through its automatic status (fixed by the test) and the
// replies the test sends to the host: the bytes each step writes, the
// refusals of the Check steps, and the results that reach the hybrid callback.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/builder_records.h"
#include "engine/event_callbacks.h"
#include "engine/exchange.h"
#include "engine/hybrid_steps.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/send_chain.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "engine_test_support.h"
#include "foundation/lock_guard.h"
#include "hybrid_link_support.h"

using namespace tilo2::core;
using printer_emulator::HybridStatus;
using printer_emulator::MicrResult;
using printer_emulator::PrinterEmulator;
using printer_emulator::PrinterModel;
using printer_emulator::Profile;
using printer_emulator::SheetPath;

namespace {

using Bytes = std::vector<uint8_t>;
using Asb = std::array<uint8_t, 4>;
constexpr size_t kNotFound = std::string::npos;

constexpr auto kDeadline = std::chrono::seconds(20);
// Long enough that a result within a few seconds cannot be the job's timeout.
constexpr int32_t kLongTimeoutMs = 60000;
constexpr auto kAtOnce = std::chrono::seconds(5);

// Addresses 300 to 339 belong to these tests.
constexpr int kBytesAddress = 300;
constexpr int kWaitRefusalAddress = 301;
constexpr int kPowerOffAddress = 302;
constexpr int kEjectAddress = 303;
constexpr int kCancelRefusalAddress = 304;
constexpr int kSecondWaitAddress = 305;
constexpr int kRaceAddress = 306;
constexpr int kInsertionAddress = 307;
constexpr int kCancelDuringWaitAddress = 308;
constexpr int kMicrTextAddress = 309;
constexpr int kMicrErrorAddress = 310;
constexpr int kPullOutAddress = 311;
constexpr int kCleaningAddress = 312;
constexpr int kCleaningGivesUpAddress = 313;
constexpr int kNoInsertionAddress = 314;
constexpr int kSharedHandleAddress = 315;
constexpr int kSyncCancelAddress = 316;
constexpr int kBusyClaimAddress = 317;
constexpr int kHybridProfileAddress = 318;
constexpr int kWorkFailureAddress = 319;
constexpr int kArgumentsAddress = 320;

// Automatic status of the hybrid printer: bits 25 and 27 set mean no sheet in
// the slip or the validation path; third byte 02h the printer waits for a
// sheet, 08h for its removal.
constexpr Asb kIdle = {0x10, 0x00, 0x00, 0x0A};
constexpr Asb kWaitingForSheet = {0x10, 0x00, 0x02, 0x0A};
constexpr Asb kSlipInserted = {0x10, 0x00, 0x00, 0x08};
constexpr Asb kValidationInserted = {0x10, 0x00, 0x00, 0x02};
constexpr Asb kWaitingForRemoval = {0x10, 0x00, 0x08, 0x0A};
constexpr Asb kCoverOpenOffline = {0x38, 0x00, 0x00, 0x0A};

const Bytes kPrologue500 = {0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C, 0x28,
                            0x65, 0x02, 0x00, 0x33, 0xFF, 0x1B, 0x66, 0x00, 0x05};
const Bytes kSlipInsertion = {0x1D, 0x28, 0x47, 0x02, 0x00, 0x30, 0x04, 0x1D, 0x28,
                              0x47, 0x02, 0x00, 0x54, 0x01, 0x1B, 0x63, 0x31, 0x04};
const Bytes kValidationInsertion = {0x1D, 0x28, 0x47, 0x02, 0x00, 0x30, 0x44, 0x1D, 0x28,
                                    0x47, 0x02, 0x00, 0x54, 0x01, 0x1B, 0x63, 0x31, 0x40};
const Bytes kMicrInsertion500 = {0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C,
                                 0x28, 0x65, 0x02, 0x00, 0x33, 0xFF, 0x1B, 0x63, 0x31,
                                 0x08, 0x1B, 0x66, 0x00, 0x05, 0x1B, 0x63, 0x30, 0x08,
                                 0x1D, 0x28, 0x47, 0x02, 0x00, 0x54, 0x01};
const Bytes kCancel = {0x1B, 0x3D, 0x01, 0x10, 0x05, 0x03};
const Bytes kEject = {0x1B, 0x3D, 0x01, 0x0C};
const Bytes kMicrReadHead = {0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C, 0x28, 0x65, 0x02,
                             0x00, 0x33, 0xFF, 0x1B, 0x63, 0x31, 0x04, 0x1B, 0x66, 0x00, 0x05, 0x1C,
                             0x28, 0x66, 0x06, 0x00, 0x01, 0x01, 0x03, 0x01, 0x04, 0x01};
const Bytes kFontSelect = {0x1C, 0x61, 0x30};
const Bytes kCleaningTail = {0x1C, 0x63};
// Selects the printer: harmless, and marks where a step's bytes end.
const Bytes kMarker = {0x1B, 0x3D, 0x01};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

using hybrid_test::HybridOutcome;
using hybrid_test::HybridRecorder;

// The hybrid results come through the shared recorder; the print results of
// the test that shares a handle with a print job are kept here.
class ResultLog {
 public:
  void AddPrint(PrintHandle_t* handle, int32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    print_[handle].push_back(code);
    changed_.notify_all();
  }
  // The first count hybrid results of the handle, or fewer when they do not come.
  std::vector<HybridOutcome> WaitForHybrid(PrintHandle_t* handle, size_t count) {
    return HybridRecorder::Get().WaitFor(handle, count);
  }
  std::vector<HybridOutcome> Hybrid(PrintHandle_t* handle) {
    return HybridRecorder::Get().Results(handle);
  }
  std::vector<int32_t> WaitForPrint(PrintHandle_t* handle, size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kDeadline, [&] { return print_[handle].size() >= count; });
    return print_[handle];
  }
  void Forget(PrintHandle_t* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    print_.erase(handle);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<PrintHandle_t*, std::vector<int32_t>> print_;
};

ResultLog resultLog;

void RecordPrint(PrintHandle_t* handle, const char*, int32_t code, uint32_t, int32_t, const char*) {
  resultLog.AddPrint(handle, code);
}

// The shared hybrid link, with the information kind known (no check asks
// for it on the way), print results recorded, and the waits these tests use.
class HybridLink : public hybrid_test::HybridLink {
 public:
  // The receipt profile plays the hybrid printer through a fixed automatic
  // status; the hybrid profile is one, with its sheets and triggers.
  explicit HybridLink(int address, Profile profile = Profile::Receipt)
      : hybrid_test::HybridLink(address, kIdle, profile),
        hybridProfile_(profile == Profile::Hybrid) {
    PrintHandle_t* h = handle();
    if (h == nullptr) return;
    h->infoKind = 2;
    SetResultCallback(h, RESULT_PRINT, reinterpret_cast<void*>(&RecordPrint));
  }

  ~HybridLink() {
    if (handle() == nullptr) return;
    // No print result may come once its record is gone.
    WaitNoJobs();
    resultLog.Forget(handle());
  }

  HybridLink(const HybridLink&) = delete;
  HybridLink& operator=(const HybridLink&) = delete;

  // The printer reports this status; true once the handle took it in.
  bool SetAsb(const Asb& bytes) {
    if (!hybridProfile_) SetStatus(bytes);
    return WaitForStatus(bytes);
  }
  bool WaitForAsb(const Asb& bytes) { return WaitForStatus(bytes); }

  // Where needle first shows on the wire at or after from, waiting for it.
  size_t WaitForWire(const Bytes& needle, size_t from = 0) const {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    for (;;) {
      const Bytes wire = emulator().tcpBytes();
      const size_t at = engine_test::FindBytes(wire, needle, from);
      if (at != kNotFound || std::chrono::steady_clock::now() >= deadline) return at;
      emulator().waitForTcpBytes(wire.size() + 1, std::chrono::milliseconds(100));
    }
  }

  size_t WireSize() const { return emulator().tcpBytes().size(); }

  bool WaitNoJobs() const {
    return hybrid_test::Eventually([&] { return handle()->jobCount.load() == 0; });
  }

  // Waits until the flag of a running operation is set (or cleared).
  bool WaitFlag(PlatformMutex_t& lock, const uint8_t& flag, uint8_t value) const {
    return hybrid_test::Eventually([&] { return ReadLockedFlag(lock, flag) == value; });
  }

  // Sends bytes to the host as the printer's own reply.
  bool Reply(const Bytes& bytes) const { return emulator().sendToClient({bytes}); }

 private:
  bool hybridProfile_;
};

// A pending record of the method in the handle's job list.
bool JobPending(PrintHandle_t* handle, int32_t kind, int32_t method) {
  PlatformLockGuard lock(handle->jobListLock);
  for (const JobWait_t* job = handle->jobs; job != nullptr; job = job->next) {
    if (job->kind == kind && job->method == method && job->state == kJobStatePending) return true;
  }
  return false;
}

// --- The bytes each work step writes ------------------------------------------

struct BytesRow {
  const char* what;
  StepFunc step;
  int32_t kind;
  int32_t waitMs;
  int32_t micrFont;
  uint8_t skipPrologue;
  Asb status;  // what the printer reports while the step runs
  int32_t result;
  Bytes wire;
};

TEST(HybridChains, EachStepWritesItsSequence) {
  HybridLink link(kBytesAddress);
  ASSERT_TRUE(link.ready());
  const std::vector<BytesRow> rows = {
      {"slip wait t 500", WaitInsertionHybdPrinterCmd, kInsertionSlip, 500, 0, 0, kIdle,
       TILOPRN_SUCCESS, Cat({kPrologue500, kSlipInsertion})},
      {"slip wait, skip byte", WaitInsertionHybdPrinterCmd, kInsertionSlip, 500, 0, 1, kIdle,
       TILOPRN_SUCCESS, kSlipInsertion},
      {"validation wait t 500", WaitInsertionHybdPrinterCmd, kInsertionValidation, 500, 0, 0, kIdle,
       TILOPRN_SUCCESS, Cat({kPrologue500, kValidationInsertion})},
      {"MICR insertion t 500", WaitInsertionHybdPrinterCmd, kInsertionMicr, 500, 0, 0, kIdle,
       TILOPRN_SUCCESS, kMicrInsertion500},
      {"wait t 6400", WaitInsertionHybdPrinterCmd, kInsertionSlip, 6400, 0, 1, kIdle,
       TILOPRN_SUCCESS, kSlipInsertion},
      {"wait t 6401",
       WaitInsertionHybdPrinterCmd,
       kInsertionSlip,
       6401,
       0,
       0,
       kIdle,
       TILOPRN_PARAMETER_ERROR,
       {}},
      {"MICR insertion t 6401",
       WaitInsertionHybdPrinterCmd,
       kInsertionMicr,
       6401,
       0,
       0,
       kIdle,
       TILOPRN_PARAMETER_ERROR,
       {}},
      {"unknown insertion kind",
       WaitInsertionHybdPrinterCmd,
       4,
       500,
       0,
       0,
       kIdle,
       TILOPRN_ILLEGAL_STATE,
       {}},
      {"cancel", CancelInsertionHybdPrinterCmd, 0, 0, 0, 0, kIdle, TILOPRN_SUCCESS, kCancel},
      {"eject", EjectPaperHybdPrinterCmd, 0, 0, 0, 0, kIdle, TILOPRN_SUCCESS, kEject},
      {"MICR read f 0", ReadMicrDataHybdPrinterCmd, 0, 500, 0, 0, kIdle, TILOPRN_SUCCESS,
       Cat({kMicrReadHead, kFontSelect, {0x00}})},
      {"MICR read f 1", ReadMicrDataHybdPrinterCmd, 0, 500, 1, 0, kIdle, TILOPRN_SUCCESS,
       Cat({kMicrReadHead, kFontSelect, {0x01}})},
      {"MICR read, other selector", ReadMicrDataHybdPrinterCmd, 0, 500, 2, 0, kIdle,
       TILOPRN_SUCCESS, Cat({kMicrReadHead, kFontSelect, {0x00}})},
      {"MICR read t 6401",
       ReadMicrDataHybdPrinterCmd,
       0,
       6401,
       0,
       0,
       kIdle,
       TILOPRN_PARAMETER_ERROR,
       {}},
      // The printer already waits for the cleaning sheet: the step ends at once.
      {"cleaning", CleanMicrReaderHybdPrinterCmd, 0, 500, 0, 0, kWaitingForSheet, TILOPRN_SUCCESS,
       Cat({kMicrReadHead, kCleaningTail})},
      {"cleaning t 6401",
       CleanMicrReaderHybdPrinterCmd,
       0,
       6401,
       0,
       0,
       kIdle,
       TILOPRN_PARAMETER_ERROR,
       {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(link.SetAsb(row.status));
    const size_t before = link.WireSize();
    StepContext_t context{};
    context.paperType = row.kind;
    context.insertionWaitMs = row.waitMs;
    context.micrFont = row.micrFont;
    context.removalPending = row.skipPrologue;
    EXPECT_EQ(link.printer().RunStep(row.step, context, "HybridStep"), row.result);
    // The marker follows the step's bytes: what lies between is all it wrote.
    ASSERT_EQ(link.printer().OnQueue([&] {
      return SendWithTimeout(link.handle(), kMarker.data(), kMarker.size(), 500);
    }),
              TILOPRN_SUCCESS);
    const size_t marker = link.WaitForWire(kMarker, before + row.wire.size());
    ASSERT_NE(marker, kNotFound);
    const Bytes wire = link.emulator().tcpBytes();
    EXPECT_EQ(
        Bytes(wire.begin() + static_cast<long>(before), wire.begin() + static_cast<long>(marker)),
        row.wire);
  }
}

// --- Refusals of the Check steps ------------------------------------------------

struct RefusalRow {
  const char* what;
  Asb status;
  int32_t kind;
  uint8_t removalPending;
  bool extError11;
  int32_t code;
};

// Queues a wait for insertion and returns the callback's outcome.
std::optional<HybridOutcome> WaitRefused(HybridLink& link, const RefusalRow& row,
                                         int32_t waitMs = 500) {
  const size_t seen = resultLog.Hybrid(link.handle()).size();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(QueueWaitInsertionHybdPrinter(nullptr, link.handle(), row.kind, waitMs, kLongTimeoutMs,
                                          row.removalPending),
            TILOPRN_SUCCESS);
  const auto results = resultLog.WaitForHybrid(link.handle(), seen + 1);
  if (results.size() <= seen) return std::nullopt;
  EXPECT_LT(results[seen].when - start, kAtOnce) << "the refusal waited for the job's timeout";
  EXPECT_TRUE(link.WaitNoJobs());
  return results[seen];
}

TEST(HybridChains, WaitForInsertionIsRefusedInEachState) {
  HybridLink link(kWaitRefusalAddress);
  ASSERT_TRUE(link.ready());
  const std::vector<RefusalRow> rows = {
      {"insertion kind 0", kIdle, 0, 0, false, kHybridWrongPaperType},
      {"printer waits for a sheet", kWaitingForSheet, kInsertionSlip, 0, false,
       kHybridInsertionRunning},
      {"sheet in the slip path", kSlipInserted, kInsertionSlip, 0, false, kHybridPaperInserted},
      {"sheet in the validation path", kValidationInserted, kInsertionValidation, 0, false,
       kHybridPaperInserted},
      {"removal pending", kIdle, kInsertionSlip, 1, false, kHybridPaperInserted},
      {"printer waits for removal", kWaitingForRemoval, kInsertionSlip, 0, false,
       kHybridRemovalWaiting},
      {"offline, extended status error 11", kCoverOpenOffline, kInsertionSlip, 0, true,
       TILOPRN_PRINTER_ERROR},
  };
  const size_t start = link.WireSize();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.extError11) {
      link.handle()->infoKind = 1;
      link.printer().WithModel([](auto& model) { model.setExtendedStatus(0x08); });
    }
    ASSERT_TRUE(link.SetAsb(row.status));
    const auto outcome = WaitRefused(link, row);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->code, row.code);
    EXPECT_EQ(outcome->method, kMethodWaitInsertion);
    EXPECT_EQ(ReadLockedFlag(link.handle()->waitInsertionLock, link.handle()->waitInsertion), 0);
  }
  const Bytes wire = link.emulator().tcpBytes();
  EXPECT_EQ(engine_test::FindBytes(wire, kSlipInsertion, start), kNotFound)
      << "a refused wait wrote its insertion";
}

TEST(HybridChains, WaitForInsertionOnAPrinterThatIsOffIsRefusedWith3) {
  HybridLink link(kPowerOffAddress);
  ASSERT_TRUE(link.ready());
  link.emulator().state().setPowerOff(true);
  const auto outcome = WaitRefused(link, {"off", kIdle, kInsertionSlip, 0, false, 0});
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->code, TILOPRN_IO_ERROR);
  EXPECT_EQ(outcome->method, kMethodWaitInsertion);
  EXPECT_EQ(engine_test::FindBytes(link.emulator().tcpBytes(), kSlipInsertion), kNotFound);
}

struct EjectRow {
  const char* what;
  Asb status;
  uint8_t removalPending;
  int32_t code;
};

TEST(HybridChains, EjectAnswersThroughTheCallbackInEachState) {
  HybridLink link(kEjectAddress);
  ASSERT_TRUE(link.ready());
  const std::vector<EjectRow> rows = {
      {"printer waits for a sheet", kWaitingForSheet, 0, kHybridInsertionRunning},
      {"printer waits for removal", kWaitingForRemoval, 0, kHybridRemovalWaiting},
      {"no sheet", kIdle, 0, TILOPRN_ILLEGAL_STATE},
      {"no sheet but removal pending", kIdle, 1, TILOPRN_SUCCESS},
      {"sheet in the slip path", kSlipInserted, 0, TILOPRN_SUCCESS},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(link.SetAsb(row.status));
    const size_t before = link.WireSize();
    const size_t seen = resultLog.Hybrid(link.handle()).size();
    // The eject waits for its chain and reports before it returns.
    EXPECT_EQ(QueueEjectPaperHybdPrinter(nullptr, link.handle(), row.removalPending),
              TILOPRN_SUCCESS);
    const auto results = resultLog.Hybrid(link.handle());
    ASSERT_EQ(results.size(), seen + 1);
    EXPECT_EQ(results[seen].code, row.code);
    EXPECT_EQ(results[seen].method, kMethodEjectPaper);
    EXPECT_FALSE(results[seen].data.has_value());
    if (row.code == TILOPRN_SUCCESS) {
      EXPECT_NE(link.WaitForWire(kEject, before), kNotFound);
    } else {
      EXPECT_EQ(engine_test::FindBytes(link.emulator().tcpBytes(), kEject, before), kNotFound);
    }
    EXPECT_EQ(link.handle()->jobCount.load(), 0) << "an eject has no job";
  }
}

TEST(HybridChains, CancelWithNoInsertionAwaitedIsRefusedWith6) {
  HybridLink link(kCancelRefusalAddress);
  ASSERT_TRUE(link.ready());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(QueueCancelInsertionHybdPrinter(nullptr, link.handle()), TILOPRN_SUCCESS);
  const auto results = resultLog.WaitForHybrid(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_ILLEGAL_STATE);
  EXPECT_EQ(results[0].method, kMethodCancelInsertion);
  EXPECT_LT(results[0].when - start, kAtOnce);
  ASSERT_TRUE(link.WaitNoJobs());
  EXPECT_EQ(ReadLockedFlag(link.handle()->cancelInsertionLock, link.handle()->cancelInsertion), 0);
  EXPECT_EQ(engine_test::FindBytes(link.emulator().tcpBytes(), kCancel), kNotFound);
}

struct WorkFailureRow {
  const char* what;
  int32_t kind;
  int32_t waitMs;
  int32_t code;
};

// A work step that writes nothing still ends its job: the Exit step reports it.
TEST(HybridChains, AFailedWorkStepReachesTheCallbackThroughTheExitStep) {
  HybridLink link(kWorkFailureAddress);
  ASSERT_TRUE(link.ready());
  const std::vector<WorkFailureRow> rows = {
      {"wait time above 6400 ms", kInsertionSlip, 6401, TILOPRN_PARAMETER_ERROR},
      {"unknown insertion kind", 4, 500, TILOPRN_ILLEGAL_STATE},
  };
  const size_t start = link.WireSize();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const auto outcome = WaitRefused(link, {row.what, kIdle, row.kind, 0, false, 0}, row.waitMs);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->code, row.code);
    EXPECT_EQ(outcome->method, kMethodWaitInsertion);
    EXPECT_EQ(ReadLockedFlag(link.handle()->waitInsertionLock, link.handle()->waitInsertion), 0);
    SetNeedRecover(link.handle(), 0);
  }
  const Bytes wire = link.emulator().tcpBytes();
  EXPECT_EQ(engine_test::FindBytes(wire, kSlipInsertion, start), kNotFound);
  EXPECT_EQ(engine_test::FindBytes(wire, {0x1B, 0x66, 0x00}, start), kNotFound);
}

// Bad arguments are answered by the call itself; nothing is queued. Calls that
// wait for the queue are refused on its own thread instead of deadlocking.
TEST(HybridChains, BadArgumentsAndCallsFromTheQueueThreadAreRefused) {
  HybridLink link(kArgumentsAddress);
  ASSERT_TRUE(link.ready());
  PrintHandle_t* handle = link.handle();
  EXPECT_EQ(QueueWaitInsertionHybdPrinter(nullptr, nullptr, kInsertionSlip, 500, 1000, 0),
            TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(QueueWaitInsertionHybdPrinter(nullptr, handle, kInsertionSlip, 500, 600001, 0),
            TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(QueueWaitInsertionHybdPrinter(nullptr, handle, kInsertionSlip, 500, -1, 0),
            TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(QueueCancelInsertionHybdPrinter(nullptr, nullptr), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(QueueEjectPaperHybdPrinter(nullptr, nullptr, 0), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(QueueReadMicrDataHybdPrinter(nullptr, handle, 0, 500, 600001, 0),
            TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(QueueCleanMicrReaderHybdPrinter(nullptr, nullptr, 500, 1000, 0),
            TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(QueueCancelInsertionHybdPrinterSync(nullptr, nullptr), TILOPRN_PARAMETER_ERROR);
  EXPECT_FALSE(ReportHybridBusy(nullptr, kMethodWaitInsertion));
  EXPECT_FALSE(ReportHybridBusy(handle, kMethodEjectPaper)) << "an eject has no flag to claim";

  EXPECT_EQ(link.printer().OnQueue([&] { return QueueEjectPaperHybdPrinter(nullptr, handle, 0); }),
            TILOPRN_BUSY);
  EXPECT_EQ(
      link.printer().OnQueue([&] { return QueueCancelInsertionHybdPrinterSync(nullptr, handle); }),
      TILOPRN_BUSY);
  EXPECT_EQ(ReadLockedFlag(handle->cancelInsertionLock, handle->cancelInsertion), 0);
  EXPECT_EQ(handle->jobCount.load(), 0);
  EXPECT_TRUE(resultLog.Hybrid(handle).empty());
}

// --- One operation of a kind at a time ------------------------------------------

TEST(HybridChains, ASecondWaitWhileOneRunsIsAnswered22AndNotQueued) {
  HybridLink link(kSecondWaitAddress);
  ASSERT_TRUE(link.ready());
  ASSERT_EQ(
      QueueWaitInsertionHybdPrinter(nullptr, link.handle(), kInsertionSlip, 500, kLongTimeoutMs, 0),
      TILOPRN_SUCCESS);
  ASSERT_NE(link.WaitForWire(kSlipInsertion), kNotFound);
  ASSERT_TRUE(link.SetAsb(kWaitingForSheet));

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(QueueWaitInsertionHybdPrinter(nullptr, link.handle(), kInsertionValidation, 500,
                                          kLongTimeoutMs, 0),
            TILOPRN_SUCCESS);
  // Refused on the caller's thread, before the call returned.
  auto results = resultLog.Hybrid(link.handle());
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, kHybridInsertionRunning);
  EXPECT_EQ(results[0].method, kMethodWaitInsertion);
  EXPECT_LT(results[0].when - start, kAtOnce);
  EXPECT_EQ(link.handle()->jobCount.load(), 1);
  EXPECT_TRUE(JobPending(link.handle(), kJobKindHybrid, kMethodWaitInsertion));

  // The first wait goes on and ends with the sheet.
  ASSERT_TRUE(link.SetAsb(kSlipInserted));
  results = resultLog.WaitForHybrid(link.handle(), 2);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].code, TILOPRN_SUCCESS);
  EXPECT_EQ(results[1].method, kMethodWaitInsertion);
  EXPECT_EQ(engine_test::FindBytes(link.emulator().tcpBytes(), kValidationInsertion), kNotFound);
}

// The claim of an operation's flag: of many callers at once exactly one wins,
// every other one hears 22.
TEST(HybridChains, RacingCallersClaimAnOperationOnce) {
  HybridLink link(kBusyClaimAddress);
  ASSERT_TRUE(link.ready());
  PrintHandle_t* handle = link.handle();
  constexpr int kThreads = 8;
  constexpr int kRounds = 50;
  for (const int32_t method : {kMethodWaitInsertion, kMethodReadMicrData, kMethodCleanMicrReader}) {
    SCOPED_TRACE(method);
    for (int round = 0; round < kRounds; ++round) {
      const size_t seen = resultLog.Hybrid(handle).size();
      std::atomic<int> ready{0};
      std::atomic<int> claimed{0};
      std::vector<std::thread> threads;
      for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
          ready.fetch_add(1);
          while (ready.load() < kThreads) std::this_thread::yield();
          if (!ReportHybridBusy(handle, method)) claimed.fetch_add(1);
        });
      }
      for (auto& thread : threads) thread.join();
      ASSERT_EQ(claimed.load(), 1);
      const auto results = resultLog.Hybrid(handle);
      ASSERT_EQ(results.size(), seen + kThreads - 1);
      for (size_t i = seen; i < results.size(); ++i) {
        EXPECT_EQ(results[i].code, kHybridInsertionRunning);
        EXPECT_EQ(results[i].method, method);
      }
      // The winner's operation ends: the flag goes back.
      PlatformMutex_t& lock = method == kMethodWaitInsertion  ? handle->waitInsertionLock
                              : method == kMethodReadMicrData ? handle->micrReadLock
                                                              : handle->micrCleanLock;
      uint8_t& flag = method == kMethodWaitInsertion  ? handle->waitInsertion
                      : method == kMethodReadMicrData ? handle->micrRead
                                                      : handle->micrClean;
      PlatformLockGuard guard(lock);
      EXPECT_EQ(flag, 1);
      flag = 0;
    }
  }
}

TEST(HybridChains, TwoThreadsWaitingForInsertionQueueOneWait) {
  HybridLink link(kRaceAddress);
  ASSERT_TRUE(link.ready());
  const size_t before = link.WireSize();
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&] {
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
      EXPECT_EQ(QueueWaitInsertionHybdPrinter(nullptr, link.handle(), kInsertionSlip, 500,
                                              kLongTimeoutMs, 0),
                TILOPRN_SUCCESS);
    });
  }
  for (auto& thread : threads) thread.join();
  auto results = resultLog.WaitForHybrid(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, kHybridInsertionRunning);
  ASSERT_NE(link.WaitForWire(kSlipInsertion, before), kNotFound);
  EXPECT_EQ(link.handle()->jobCount.load(), 1);

  ASSERT_TRUE(link.SetAsb(kSlipInserted));
  results = resultLog.WaitForHybrid(link.handle(), 2);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].code, TILOPRN_SUCCESS);
  ASSERT_TRUE(link.WaitNoJobs());
  EXPECT_EQ(engine_test::CountBytes(link.emulator().tcpBytes(), kSlipInsertion), 1u);
}

// --- Completions --------------------------------------------------------------------

struct InsertionRow {
  const char* what;
  int32_t kind;
  Bytes insertion;
  Asb inserted;
};

TEST(HybridChains, AnInsertedSheetCompletesTheWait) {
  HybridLink link(kInsertionAddress);
  ASSERT_TRUE(link.ready());
  const std::vector<InsertionRow> rows = {
      {"slip", kInsertionSlip, kSlipInsertion, kSlipInserted},
      {"validation", kInsertionValidation, kValidationInsertion, kValidationInserted},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(link.SetAsb(kIdle));
    const size_t before = link.WireSize();
    const size_t seen = resultLog.Hybrid(link.handle()).size();
    ASSERT_EQ(
        QueueWaitInsertionHybdPrinter(nullptr, link.handle(), row.kind, 500, kLongTimeoutMs, 0),
        TILOPRN_SUCCESS);
    ASSERT_NE(link.WaitForWire(row.insertion, before), kNotFound);
    ASSERT_TRUE(link.SetAsb(kWaitingForSheet));
    EXPECT_TRUE(JobPending(link.handle(), kJobKindHybrid, kMethodWaitInsertion));
    ASSERT_TRUE(link.SetAsb(row.inserted));
    const auto results = resultLog.WaitForHybrid(link.handle(), seen + 1);
    ASSERT_EQ(results.size(), seen + 1);
    EXPECT_EQ(results[seen].code, TILOPRN_SUCCESS);
    EXPECT_EQ(results[seen].method, kMethodWaitInsertion);
    ASSERT_TRUE(link.WaitNoJobs());
    EXPECT_EQ(ReadLockedFlag(link.handle()->waitInsertionLock, link.handle()->waitInsertion), 0);
    EXPECT_EQ(GetNeedRecover(link.handle()), 0);
  }
}

TEST(HybridChains, ACancelDuringAWaitEndsBoth) {
  HybridLink link(kCancelDuringWaitAddress);
  ASSERT_TRUE(link.ready());
  ASSERT_EQ(
      QueueWaitInsertionHybdPrinter(nullptr, link.handle(), kInsertionSlip, 500, kLongTimeoutMs, 0),
      TILOPRN_SUCCESS);
  ASSERT_NE(link.WaitForWire(kSlipInsertion), kNotFound);
  ASSERT_TRUE(link.SetAsb(kWaitingForSheet));
  ASSERT_EQ(QueueCancelInsertionHybdPrinter(nullptr, link.handle()), TILOPRN_SUCCESS);
  ASSERT_NE(link.WaitForWire(kCancel), kNotFound);
  // The printer stops waiting: no sheet came.
  ASSERT_TRUE(link.SetAsb(kIdle));
  const auto results = resultLog.WaitForHybrid(link.handle(), 2);
  ASSERT_EQ(results.size(), 2u);
  std::map<int32_t, int32_t> byMethod;
  for (const auto& result : results) byMethod[result.method] = result.code;
  EXPECT_EQ(byMethod[kMethodCancelInsertion], TILOPRN_SUCCESS);
  EXPECT_EQ(byMethod[kMethodWaitInsertion], TILOPRN_CANCELLED);
  ASSERT_TRUE(link.WaitNoJobs());
  EXPECT_EQ(ReadLockedFlag(link.handle()->cancelInsertionLock, link.handle()->cancelInsertion), 0);
  EXPECT_EQ(GetNeedRecover(link.handle()), 0);
}

// Starts a MICR read and waits until the printer has its command.
void StartMicrRead(HybridLink& link, int32_t timeoutMs = kLongTimeoutMs) {
  const size_t before = link.WireSize();
  ASSERT_EQ(QueueReadMicrDataHybdPrinter(nullptr, link.handle(), 0, 500, timeoutMs, 0),
            TILOPRN_SUCCESS);
  ASSERT_NE(link.WaitForWire(Cat({kMicrReadHead, kFontSelect, {0x00}}), before), kNotFound);
}

struct MicrTextRow {
  const char* what;
  Bytes reply;
  std::string text;
};

TEST(HybridChains, MicrTextReachesTheCallback) {
  HybridLink link(kMicrTextAddress);
  ASSERT_TRUE(link.ready());
  const std::vector<MicrTextRow> rows = {
      {"inverted", {0x37, 0x2A, 0x04, 0x40, 0x1F, 0x4D, 0x4E, 0x00}, "10"},
      {"plain", {0x37, 0x2A, 0x01, 0x40, 0x1F, '1', '2', '3', ' ', '4', 0x00}, "123 4"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const size_t seen = resultLog.Hybrid(link.handle()).size();
    StartMicrRead(link);
    ASSERT_TRUE(link.Reply(row.reply));
    const auto results = resultLog.WaitForHybrid(link.handle(), seen + 1);
    ASSERT_EQ(results.size(), seen + 1);
    EXPECT_EQ(results[seen].code, TILOPRN_SUCCESS);
    EXPECT_EQ(results[seen].method, kMethodReadMicrData);
    ASSERT_TRUE(results[seen].data.has_value());
    EXPECT_EQ(*results[seen].data, row.text);
    ASSERT_TRUE(link.WaitNoJobs());
    EXPECT_EQ(link.handle()->micrText.load(), nullptr);
  }
}

TEST(HybridChains, MicrErrorLettersEndTheReadWithTheirResults) {
  HybridLink link(kMicrErrorAddress);
  ASSERT_TRUE(link.ready());
  const std::vector<std::pair<char, int32_t>> rows = {
      {'A', kHybridNoMicrData},    {'B', TILOPRN_CANCELLED},     {'C', TILOPRN_TIMEOUT},
      {'D', kHybridIllegalLength}, {'E', kHybridNoMagneticData}, {'F', kHybridRecognitionError},
      {'G', kHybridReadError},     {'H', kHybridNoiseDetected},  {'I', TILOPRN_PRINTER_ERROR},
      {'J', kHybridPaperJam},
  };
  for (const auto& [letter, code] : rows) {
    SCOPED_TRACE(letter);
    const size_t seen = resultLog.Hybrid(link.handle()).size();
    StartMicrRead(link);
    size_t expected = seen + 1;
    if (letter == 'B') {
      // The read is cancelled: the cancel completes with the printer's letter.
      ASSERT_TRUE(link.SetAsb(kWaitingForSheet));
      ASSERT_EQ(QueueCancelInsertionHybdPrinter(nullptr, link.handle()), TILOPRN_SUCCESS);
      ASSERT_TRUE(
          link.WaitFlag(link.handle()->cancelInsertionLock, link.handle()->cancelInsertion, 1));
      ASSERT_NE(link.WaitForWire(kCancel), kNotFound);
      expected = seen + 2;
    }
    ASSERT_TRUE(link.Reply({0x37, 0x2A, 0x20, static_cast<uint8_t>(letter), 0x31, 0x00}));
    const auto results = resultLog.WaitForHybrid(link.handle(), expected);
    ASSERT_EQ(results.size(), expected);
    std::map<int32_t, HybridOutcome> byMethod;
    for (size_t i = seen; i < results.size(); ++i) byMethod[results[i].method] = results[i];
    ASSERT_TRUE(byMethod.count(kMethodReadMicrData));
    EXPECT_EQ(byMethod[kMethodReadMicrData].code, code);
    EXPECT_FALSE(byMethod[kMethodReadMicrData].data.has_value());
    if (letter == 'B') {
      ASSERT_TRUE(byMethod.count(kMethodCancelInsertion));
      EXPECT_EQ(byMethod[kMethodCancelInsertion].code, TILOPRN_SUCCESS);
    }
    ASSERT_TRUE(link.WaitNoJobs());
    if (letter == 'B') {
      ASSERT_TRUE(link.SetAsb(kIdle));
    }
    SetNeedRecover(link.handle(), 0);
  }
}

TEST(HybridChains, PaperPulledOutEndsTheWaitAndTheRead) {
  HybridLink link(kPullOutAddress);
  ASSERT_TRUE(link.ready());
  const Bytes pulledOut = {0x37, 0x4E, 0x31, 0x30, 0x00};
  ASSERT_EQ(
      QueueWaitInsertionHybdPrinter(nullptr, link.handle(), kInsertionSlip, 500, kLongTimeoutMs, 0),
      TILOPRN_SUCCESS);
  ASSERT_NE(link.WaitForWire(kSlipInsertion), kNotFound);
  ASSERT_TRUE(link.Reply(pulledOut));
  auto results = resultLog.WaitForHybrid(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, kHybridPaperPulledOut);
  EXPECT_EQ(results[0].method, kMethodWaitInsertion);
  ASSERT_TRUE(link.WaitNoJobs());
  SetNeedRecover(link.handle(), 0);

  StartMicrRead(link);
  ASSERT_TRUE(link.Reply(pulledOut));
  results = resultLog.WaitForHybrid(link.handle(), 2);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].code, kHybridPaperPulledOut);
  EXPECT_EQ(results[1].method, kMethodReadMicrData);
  EXPECT_EQ(link.handle()->paperPulledOut.load(), 0) << "a running operation took the report";
}

TEST(HybridChains, CleaningCompletesOnceTheSheetPassed) {
  HybridLink link(kCleaningAddress);
  ASSERT_TRUE(link.ready());
  ASSERT_EQ(QueueCleanMicrReaderHybdPrinter(nullptr, link.handle(), 500, kLongTimeoutMs, 0),
            TILOPRN_SUCCESS);
  ASSERT_NE(link.WaitForWire(Cat({kMicrReadHead, kCleaningTail})), kNotFound);
  // The printer waits for the cleaning sheet; the step sees it.
  link.printer().WithModel([](auto& model) { model.setAsbOverride(kWaitingForSheet); });
  ASSERT_TRUE(link.WaitFlag(link.handle()->cleaningInsertionSeenLock,
                            link.handle()->cleaningInsertionSeen, 1));
  EXPECT_TRUE(resultLog.Hybrid(link.handle()).empty());
  ASSERT_TRUE(link.SetAsb(kIdle));
  const auto results = resultLog.WaitForHybrid(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_SUCCESS);
  EXPECT_EQ(results[0].method, kMethodCleanMicrReader);
  ASSERT_TRUE(link.WaitNoJobs());
  EXPECT_EQ(ReadLockedFlag(link.handle()->micrCleanLock, link.handle()->micrClean), 0);
  EXPECT_EQ(ReadLockedFlag(link.handle()->cleaningInsertionSeenLock,
                           link.handle()->cleaningInsertionSeen),
            0);
}

// Five waits of up to a second: the printer never begins waiting for the sheet.
TEST(HybridChains, CleaningGivesUpWith255WhenThePrinterNeverWaits) {
  HybridLink link(kCleaningGivesUpAddress);
  ASSERT_TRUE(link.ready());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(QueueCleanMicrReaderHybdPrinter(nullptr, link.handle(), 500, kLongTimeoutMs, 0),
            TILOPRN_SUCCESS);
  const auto results = resultLog.WaitForHybrid(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_FAILURE);
  EXPECT_EQ(results[0].method, kMethodCleanMicrReader);
  // Each wait ends early on anything the printer sends; at least the quiet
  // ones run their full second.
  EXPECT_GE(results[0].when - start, std::chrono::milliseconds(2000));
  EXPECT_LT(results[0].when - start, std::chrono::milliseconds(kLongTimeoutMs / 2));
}

TEST(HybridChains, AWaitWithoutASheetTimesOutWith4) {
  HybridLink link(kNoInsertionAddress);
  ASSERT_TRUE(link.ready());
  constexpr int32_t kTimeoutMs = 1500;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(
      QueueWaitInsertionHybdPrinter(nullptr, link.handle(), kInsertionSlip, 500, kTimeoutMs, 0),
      TILOPRN_SUCCESS);
  const auto results = resultLog.WaitForHybrid(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_TIMEOUT);
  EXPECT_EQ(results[0].method, kMethodWaitInsertion);
  EXPECT_GE(results[0].when - start, std::chrono::milliseconds(kTimeoutMs));
}

// A builder for the receipt model whose body is these bytes.
struct JobBuilder {
  explicit JobBuilder(const Bytes& body) {
    EXPECT_EQ(TiloCreateBuilder(&record, "RP-X5E", 0), TILOPRN_SUCCESS);
    if (record != nullptr) {
      EXPECT_EQ(
          PrnCmdAddCommand(record->builder.get(), body.data(), static_cast<uint32_t>(body.size())),
          0);
    }
  }
  ~JobBuilder() {
    if (record != nullptr) TiloDestroyBuilder(record);
  }
  JobBuilder(const JobBuilder&) = delete;
  JobBuilder& operator=(const JobBuilder&) = delete;

  PrinterBuilder_t* record = nullptr;
};

// The printer's job end names its print job: the insertion ("0000") waits on.
TEST(HybridChains, APrintJobsEndLeavesAPendingInsertionWaiting) {
  HybridLink link(kSharedHandleAddress);
  ASSERT_TRUE(link.ready());
  link.handle()->queue->reorderMode = 1;
  ASSERT_EQ(
      QueueWaitInsertionHybdPrinter(nullptr, link.handle(), kInsertionSlip, 500, kLongTimeoutMs, 0),
      TILOPRN_SUCCESS);
  ASSERT_NE(link.WaitForWire(kSlipInsertion), kNotFound);
  ASSERT_TRUE(link.SetAsb(kWaitingForSheet));

  JobBuilder job({'r', 'e', 'c', 'e', 'i', 'p', 't', '\n'});
  ASSERT_EQ(QueueSendPrinter(nullptr, link.handle(), job.record, kLongTimeoutMs), TILOPRN_SUCCESS);
  const auto printed = resultLog.WaitForPrint(link.handle(), 1);
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_EQ(printed[0], TILOPRN_SUCCESS);
  EXPECT_TRUE(JobPending(link.handle(), kJobKindHybrid, kMethodWaitInsertion));
  EXPECT_TRUE(resultLog.Hybrid(link.handle()).empty());

  ASSERT_TRUE(link.SetAsb(kSlipInserted));
  const auto results = resultLog.WaitForHybrid(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_SUCCESS);
  EXPECT_EQ(results[0].method, kMethodWaitInsertion);
}

// The synchronous cancel holds cancelInsertion while it runs, so the printer's
// end of the insertion is taken as its answer.
TEST(HybridChains, SyncCancelTakesThePrintersAnswer) {
  HybridLink link(kSyncCancelAddress);
  ASSERT_TRUE(link.ready());
  PrintHandle_t* handle = link.handle();
  // Nothing awaited: refused by its Check step.
  EXPECT_EQ(QueueCancelInsertionHybdPrinterSync(nullptr, handle), TILOPRN_ILLEGAL_STATE);
  EXPECT_EQ(ReadLockedFlag(handle->cancelInsertionLock, handle->cancelInsertion), 0);

  ASSERT_EQ(QueueWaitInsertionHybdPrinter(nullptr, handle, kInsertionSlip, 500, kLongTimeoutMs, 0),
            TILOPRN_SUCCESS);
  ASSERT_NE(link.WaitForWire(kSlipInsertion), kNotFound);
  ASSERT_TRUE(link.SetAsb(kWaitingForSheet));
  const size_t before = link.WireSize();
  // The printer stops waiting as soon as the cancel reaches it.
  std::thread printer([&] {
    if (link.WaitForWire(kCancel, before) != kNotFound) {
      link.printer().WithModel([](auto& model) { model.setAsbOverride(kIdle); });
    }
  });
  EXPECT_EQ(QueueCancelInsertionHybdPrinterSync(nullptr, handle), TILOPRN_SUCCESS);
  printer.join();
  EXPECT_EQ(ReadLockedFlag(handle->cancelInsertionLock, handle->cancelInsertion), 0);
  const auto results = resultLog.WaitForHybrid(handle, 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_CANCELLED);
  EXPECT_EQ(results[0].method, kMethodWaitInsertion);
  ASSERT_TRUE(link.WaitNoJobs());

  // A printer that keeps waiting: the cancel gives up after its 500 ms.
  ASSERT_TRUE(link.SetAsb(kWaitingForSheet));
  EXPECT_EQ(QueueCancelInsertionHybdPrinterSync(nullptr, handle), TILOPRN_TIMEOUT);
  EXPECT_EQ(ReadLockedFlag(handle->cancelInsertionLock, handle->cancelInsertion), 0);
}

// --- The emulator's hybrid printer ------------------------------------------------

// Waits until the emulated printer is in the state.
bool WaitForPrinter(HybridLink& link, const std::function<bool(const HybridStatus&)>& state) {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!state(link.emulator().state().hybrid())) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct ProfileRow {
  std::string what;
  std::function<void(HybridLink&)> start;
  std::function<bool(const HybridStatus&)> awaited;  // the printer's state before the trigger
  std::function<void(HybridLink&)> trigger;
  std::map<int32_t, int32_t> codes;  // by method
  std::optional<std::string> text;
};

void StartWait(HybridLink& link, int32_t kind) {
  EXPECT_EQ(QueueWaitInsertionHybdPrinter(nullptr, link.handle(), kind, 500, kLongTimeoutMs, 0),
            TILOPRN_SUCCESS);
}

void StartRead(HybridLink& link) {
  EXPECT_EQ(QueueReadMicrDataHybdPrinter(nullptr, link.handle(), 1, 500, kLongTimeoutMs, 0),
            TILOPRN_SUCCESS);
}

std::function<bool(const HybridStatus&)> Waiting(HybridStatus::Wait wait) {
  return [wait](const HybridStatus& status) { return status.wait == wait; };
}

std::function<void(HybridLink&)> AtPrinter(std::function<void(PrinterModel&)> act) {
  return [act](HybridLink& link) { link.printer().WithModel(act); };
}

void Cancel(HybridLink& link) {
  EXPECT_EQ(QueueCancelInsertionHybdPrinter(nullptr, link.handle()), TILOPRN_SUCCESS);
}

std::vector<ProfileRow> ProfileRows() {
  using Wait = HybridStatus::Wait;
  std::vector<ProfileRow> rows = {
      {"slip inserted",
       [](auto& link) { StartWait(link, kInsertionSlip); },
       Waiting(Wait::Slip),
       AtPrinter([](auto& model) { model.insertSheet(SheetPath::Slip); }),
       {{kMethodWaitInsertion, TILOPRN_SUCCESS}},
       std::nullopt},
      {"validation sheet inserted",
       [](auto& link) { StartWait(link, kInsertionValidation); },
       Waiting(Wait::Validation),
       AtPrinter([](auto& model) { model.insertSheet(SheetPath::Validation); }),
       {{kMethodWaitInsertion, TILOPRN_SUCCESS}},
       std::nullopt},
      {"check inserted for MICR",
       [](auto& link) { StartWait(link, kInsertionMicr); },
       Waiting(Wait::Micr),
       AtPrinter([](auto& model) { model.insertSheet(SheetPath::Slip); }),
       {{kMethodWaitInsertion, TILOPRN_SUCCESS}},
       std::nullopt},
      {"wait cancelled",
       [](auto& link) { StartWait(link, kInsertionSlip); },
       Waiting(Wait::Slip),
       Cancel,
       {{kMethodCancelInsertion, TILOPRN_SUCCESS}, {kMethodWaitInsertion, TILOPRN_CANCELLED}},
       std::nullopt},
      {"wait, sheet pulled out",
       [](auto& link) { StartWait(link, kInsertionSlip); },
       Waiting(Wait::Slip),
       AtPrinter([](auto& model) { model.pullOut(); }),
       {{kMethodWaitInsertion, kHybridPaperPulledOut}},
       std::nullopt},
      {"MICR text",
       StartRead,
       Waiting(Wait::MicrRead),
       AtPrinter([](auto& model) {
         model.answerMicr({"10", true, 0});
       }),
       {{kMethodReadMicrData, TILOPRN_SUCCESS}},
       "10"},
      {"MICR read cancelled",
       StartRead,
       Waiting(Wait::MicrRead),
       Cancel,
       {{kMethodCancelInsertion, TILOPRN_SUCCESS}, {kMethodReadMicrData, TILOPRN_CANCELLED}},
       std::nullopt},
      {"MICR read, check pulled out",
       StartRead,
       Waiting(Wait::MicrRead),
       AtPrinter([](auto& model) { model.pullOut(); }),
       {{kMethodReadMicrData, kHybridPaperPulledOut}},
       std::nullopt},
      {"cleaning sheet passed",
       [](auto& link) {
         EXPECT_EQ(QueueCleanMicrReaderHybdPrinter(nullptr, link.handle(), 500, kLongTimeoutMs, 0),
                   TILOPRN_SUCCESS);
         // The sheet counts only once the step saw the printer wait for it.
         EXPECT_TRUE(link.WaitFlag(link.handle()->cleaningInsertionSeenLock,
                                   link.handle()->cleaningInsertionSeen, 1));
       },
       Waiting(Wait::Cleaning),
       AtPrinter([](auto& model) { model.cleaningSheetPassed(); }),
       {{kMethodCleanMicrReader, TILOPRN_SUCCESS}},
       std::nullopt},
      {"eject an inserted sheet",
       [](auto& link) {
         link.printer().WithModel(
             [](auto& model) { model.setSheetInserted(SheetPath::Slip, true); });
         ASSERT_TRUE(link.WaitForAsb(kSlipInserted));
         EXPECT_EQ(QueueEjectPaperHybdPrinter(nullptr, link.handle(), 0), TILOPRN_SUCCESS);
       },
       [](const HybridStatus& status) { return status.removalWaiting; },
       [](auto&) {},
       {{kMethodEjectPaper, TILOPRN_SUCCESS}},
       std::nullopt},
  };
  const std::pair<char, int32_t> letters[] = {
      {'A', kHybridNoMicrData},     {'C', TILOPRN_TIMEOUT},         {'D', kHybridIllegalLength},
      {'E', kHybridNoMagneticData}, {'F', kHybridRecognitionError}, {'G', kHybridReadError},
      {'H', kHybridNoiseDetected},  {'I', TILOPRN_PRINTER_ERROR},   {'J', kHybridPaperJam},
  };
  for (const auto& [letter, code] : letters) {
    const char error = letter;
    rows.push_back({std::string("MICR error ") + letter,
                    StartRead,
                    Waiting(Wait::MicrRead),
                    AtPrinter([error](auto& model) {
                      model.answerMicr({"", false, error});
                    }),
                    {{kMethodReadMicrData, code}},
                    std::nullopt});
  }
  return rows;
}

// Each operation against the emulator's hybrid printer, ended by what a
// person does at the printer.
TEST(HybridChains, TheHybridPrintersAnswersEndEachOperation) {
  HybridLink link(kHybridProfileAddress, Profile::Hybrid);
  ASSERT_TRUE(link.ready());
  for (const auto& row : ProfileRows()) {
    SCOPED_TRACE(row.what);
    const size_t seen = resultLog.Hybrid(link.handle()).size();
    row.start(link);
    ASSERT_TRUE(WaitForPrinter(link, row.awaited));
    row.trigger(link);
    const auto results = resultLog.WaitForHybrid(link.handle(), seen + row.codes.size());
    ASSERT_EQ(results.size(), seen + row.codes.size());
    std::map<int32_t, int32_t> codes;
    std::optional<std::string> text;
    for (size_t i = seen; i < results.size(); ++i) {
      codes[results[i].method] = results[i].code;
      if (results[i].data.has_value()) text = results[i].data;
    }
    EXPECT_EQ(codes, row.codes);
    EXPECT_EQ(text, row.text);
    ASSERT_TRUE(link.WaitNoJobs());
    // The next row starts with both paths empty and nothing to recover.
    link.printer().WithModel([](auto& model) { model.removeSheet(); });
    ASSERT_TRUE(WaitForPrinter(link, Waiting(HybridStatus::Wait::None)));
    ASSERT_TRUE(link.WaitForAsb(kIdle));
    SetNeedRecover(link.handle(), 0);
  }
}

}  // namespace
