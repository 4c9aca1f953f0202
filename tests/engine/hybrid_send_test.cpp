// The hybrid send chain against the printer emulator: the builder set-up of a
// hybrid send, the paper checks that refuse a send at once through the hybrid
// result callback, the Exit step's recovery rule, and the cueing read.

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "encoding/printer/prn_cmd.h"
#include "encoding/printer/prn_control.h"
#include "encoding/printer/prn_model.h"
#include "engine/builder_records.h"
#include "engine/hybrid_ops.h"
#include "engine/hybrid_steps.h"
#include "engine/print_result.h"
#include "hybrid_link_support.h"

using namespace tilo2::core;
using namespace hybrid_test;

namespace {

constexpr int kBuilderSetUpAddress = 340;
constexpr int kRefusalAddress = 341;  // one row after the other
constexpr int kExitAddress = 342;
constexpr int kCueingAddress = 343;  // one row after the other
constexpr int kCueingLimitAddress = 344;
constexpr int kFeedAddress = 345;
constexpr int kUnknownOptionAddress = 346;
constexpr int kOwnRefusalAddress = 347;

constexpr int32_t kJobTimeoutMs = 20000;
// A refusal reaches the callback long before the job's own timeout.
constexpr int64_t kAtOnceMs = 5000;

const Bytes kEndorse40Header = {0x1D, 0x28, 0x7A, 0x02, 0x00, 0x30, 0x31};
const Bytes kReceiptHeader = {0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C,
                              0x28, 0x65, 0x02, 0x00, 0x33, 0xFF, 0x1B, 0x54, 0x00,
                              0x1D, 0x50, 0xB4, 0xB4, 0x1B, 0x63, 0x31, 0x03};

struct JobBuilder {
  explicit JobBuilder(const char* text) {
    EXPECT_EQ(TiloCreateBuilder(&record, "RP-X5E", 0), TILOPRN_SUCCESS);
    if (record != nullptr) PrnCmdAddText(record->builder.get(), text);
  }
  ~JobBuilder() {
    if (record != nullptr) TiloDestroyBuilder(record);
  }
  JobBuilder(const JobBuilder&) = delete;
  JobBuilder& operator=(const JobBuilder&) = delete;
  PrnCmdHandle_t* prn() const { return record->builder.get(); }
  PrinterBuilder_t* record = nullptr;
};

// The paper type and option decide the builder's densities, raster mode and
// header before the send is queued; the job then prints with them.
TEST(HybridSend, BuilderIsSetUpForThePaperType) {
  struct Case {
    const char* what;
    int32_t paperType;
    int32_t option;
    Asb status;
    int32_t densityX, densityY;
    PrnFrameFn header;
    bool rasterModeOne;
    Bytes headerBytes;  // on the wire
  };
  const Case cases[] = {
      {"endorse, 40 columns", 2, 1, kSlipSheetIn, 127, 144, PrnGenHeaderEndorse, true,
       kEndorse40Header},
      {"receipt", 0, 0, kIdle, 180, 180, PrnGenHeaderReceipt, false, kReceiptHeader},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HybridLink link(kBuilderSetUpAddress, c.status);
    ASSERT_TRUE(link.ready());
    JobBuilder job("hybrid\n");
    ASSERT_NE(job.record, nullptr);

    ASSERT_EQ(TiloSendHybridData(nullptr, link.handle(), job.record, c.paperType, kJobTimeoutMs,
                                 c.option, 0),
              TILOPRN_SUCCESS);
    EXPECT_EQ(job.prn()->dotDensityX, c.densityX);
    EXPECT_EQ(job.prn()->dotDensityY, c.densityY);
    EXPECT_EQ(job.prn()->ops.control->header, c.header);
    EXPECT_EQ(job.prn()->ops.image->image == PrnRasterModeGenerator(1), c.rasterModeOne);
    const auto results = HybridRecorder::Get().WaitFor(link.handle(), 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, TILOPRN_SUCCESS);
    EXPECT_EQ(results[0].method, kMethodSendData);
    const Bytes wire = link.emulator().tcpBytes();
    EXPECT_NE(engine_test::FindBytes(wire, c.headerBytes), std::string::npos);
  }
}

// The receipt checks are the print job's: a printer that feeds paper is read
// again on every pass until the job's timeout, and the job ends with 4.
TEST(HybridSend, ReceiptSendWaitsForAFeedUntilItsTimeout) {
  HybridLink link(kFeedAddress, {0x58, 0x00, 0x00, 0x0A});
  ASSERT_TRUE(link.ready());
  JobBuilder job("fed\n");
  const size_t polls = link.emulator().udpRequests('Q', 0x03000017).size();

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(QueueSendHybdPrinter(nullptr, link.handle(), job.record, 0, 1500, 0, 0),
            TILOPRN_SUCCESS);
  const auto results = HybridRecorder::Get().WaitFor(link.handle(), 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_TIMEOUT);
  EXPECT_EQ(results[0].method, kMethodSendData);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(results[0].when - start).count(),
            1500);
  // Each pass asked the printer before deciding again.
  EXPECT_GT(link.emulator().udpRequests('Q', 0x03000017).size(), polls + 3);
  EXPECT_EQ(engine_test::FindBytes(link.emulator().tcpBytes(), {'f', 'e', 'd'}), std::string::npos);
}

TEST(HybridSend, UnknownEndorseOptionLeavesTheBuilderAsItWas) {
  {
    // Through the send: the job still goes, on the builder as it was.
    HybridLink link(kUnknownOptionAddress, kSlipSheetIn);
    ASSERT_TRUE(link.ready());
    JobBuilder job("as it was\n");
    ASSERT_NE(job.record, nullptr);
    const int32_t densityX = job.prn()->dotDensityX;
    const int32_t densityY = job.prn()->dotDensityY;
    const PrnFrameFn header = job.prn()->ops.control->header;
    ASSERT_EQ(TiloSendHybridData(nullptr, link.handle(), job.record, 2, kJobTimeoutMs, 2, 0),
              TILOPRN_SUCCESS);
    EXPECT_EQ(job.prn()->dotDensityX, densityX);
    EXPECT_EQ(job.prn()->dotDensityY, densityY);
    EXPECT_EQ(job.prn()->ops.control->header, header);
    const auto results = HybridRecorder::Get().WaitFor(link.handle(), 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, TILOPRN_SUCCESS);
  }
  JobBuilder job("x");
  ASSERT_NE(job.record, nullptr);
  job.prn()->dotDensityX = 203;
  job.prn()->dotDensityY = 203;
  const PrnFrameFn header = job.prn()->ops.control->header;
  EXPECT_EQ(SetHybridDotDensity(job.record, 2, 2), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(SetHybridHeader(job.record, 2, 2), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(job.prn()->dotDensityX, 203);
  EXPECT_EQ(job.prn()->dotDensityY, 203);
  EXPECT_EQ(job.prn()->ops.control->header, header);
  // Neither does a paper type the printer does not have, nor a broken record.
  EXPECT_EQ(SetHybridDotDensity(job.record, 4, 0), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(SetHybridHeader(job.record, 4, 0), TILOPRN_PARAMETER_ERROR);
  PrinterBuilder_t broken{};
  EXPECT_EQ(SetHybridDotDensity(&broken, 0, 0), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(SetHybridHeader(&broken, 0, 0), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(job.prn()->dotDensityX, 203);
}

// Each refusal of the Check step reaches the hybrid callback at once with its
// code and method 1; nothing of the job reaches the printer.
TEST(HybridSend, CheckRefusesWhatThePrinterStateDoesNotAllow) {
  constexpr Asb kOfflineError = {0x18, 0x01, 0x00, 0x0A};
  constexpr Asb kOfflineErrorSlipIn = {0x18, 0x01, 0x00, 0x08};
  struct Case {
    const char* what;
    Asb status;
    int32_t paperType;
    uint8_t removalPending;
    bool pullOut;
    uint8_t extErrorBits;  // with infoKind 1 the extended status decides
    int32_t code;
    uint8_t needRecover;
  };
  const Case cases[] = {
      {"pulled out with nothing running", kIdle, 0, 0, true, 0, 19, 1},
      {"receipt with a sheet in", kSlipSheetIn, 0, 0, false, 0, 21, 0},
      {"slip without a sheet", kIdle, 1, 0, false, 0, 21, 0},
      {"endorse without a sheet", kValidationSheetIn, 2, 0, false, 0, 21, 0},
      {"validation without a sheet", kSlipSheetIn, 3, 0, false, 0, 21, 0},
      {"receipt with removal pending", kIdle, 0, 1, false, 0, 21, 0},
      {"validation with removal pending", kValidationSheetIn, 3, 1, false, 0, 21, 0},
      {"insertion running", kInsertionWait, 1, 0, false, 0, 22, 0},
      {"removal waiting", kRemovalWait, 1, 0, false, 0, 24, 0},
      {"receipt on extError10", kOfflineError, 0, 0, false, 0x04, 9, 1},
      {"slip on extError11", kOfflineErrorSlipIn, 1, 0, false, 0x08, 9, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HybridLink link(kRefusalAddress, c.status);
    ASSERT_TRUE(link.ready());
    PrintHandle_t* handle = link.handle();
    if (c.extErrorBits != 0) {
      handle->infoKind = 1;
      link.printer().WithModel([&](auto& m) { m.setExtendedStatus(c.extErrorBits); });
    }
    if (c.pullOut) {
      ASSERT_TRUE(link.emulator().sendToClient({{0x37, 0x4E, 0x30, 0x30, 0x00}}));
      ASSERT_TRUE(Eventually([&] {
        link.ReadPending();
        return handle->paperPulledOut.load() != 0;
      }));
    }
    const size_t before = link.emulator().tcpBytes().size();
    JobBuilder job("refused\n");

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(QueueSendHybdPrinter(nullptr, handle, job.record, c.paperType, kJobTimeoutMs, 0,
                                   c.removalPending),
              TILOPRN_SUCCESS);
    const auto results = HybridRecorder::Get().WaitFor(handle, 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, c.code);
    EXPECT_EQ(results[0].method, kMethodSendData);
    EXPECT_LT(
        std::chrono::duration_cast<std::chrono::milliseconds>(results[0].when - start).count(),
        kAtOnceMs);
    const Bytes wire = link.emulator().tcpBytes();
    const Bytes sent(wire.begin() + static_cast<long>(before), wire.end());
    EXPECT_EQ(engine_test::FindBytes(sent, {'r', 'e', 'f', 'u', 's', 'e', 'd'}), std::string::npos);
    ASSERT_TRUE(Eventually([&] { return handle->jobCount.load() == 0; }));
    EXPECT_EQ(GetNeedRecover(handle), c.needRecover);
    EXPECT_EQ(handle->paperPulledOut.load(), 0);
  }
}

// A refused send ends its own job only: an earlier send still waiting for
// the printer's end keeps waiting and ends with that end.
TEST(HybridSend, RefusalEndsOnlyItsOwnSend) {
  HybridLink link(kOwnRefusalAddress, kSlipSheetIn);
  ASSERT_TRUE(link.ready());
  PrintHandle_t* handle = link.handle();
  // Two jobs may be out at once, as with an attached builder that names its ends.
  handle->queue->reorderMode = 1;
  link.printer().WithModel([](auto& m) { m.setHoldPrinting(true); });
  JobBuilder first("first\n");
  JobBuilder second("second\n");

  ASSERT_EQ(QueueSendHybdPrinter(nullptr, handle, first.record, 1, kJobTimeoutMs, 0, 0),
            TILOPRN_SUCCESS);
  ASSERT_TRUE(link.Arrives({'f', 'i', 'r', 's', 't'}, 0));
  link.SetStatus(kIdle);
  ASSERT_TRUE(link.WaitForStatus(kIdle));
  ASSERT_EQ(QueueSendHybdPrinter(nullptr, handle, second.record, 1, kJobTimeoutMs, 0, 0),
            TILOPRN_SUCCESS);
  auto results = HybridRecorder::Get().WaitFor(handle, 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, kHybridWrongPaperType);
  ASSERT_TRUE(Eventually([&] { return handle->jobCount.load() == 1; }));
  EXPECT_EQ(HybridRecorder::Get().Results(handle).size(), 1u) << "the first send ended too";

  link.printer().WithModel([](auto& m) { m.setHoldPrinting(false); });
  results = HybridRecorder::Get().WaitFor(handle, 2);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[1].code, TILOPRN_SUCCESS);
  EXPECT_EQ(results[1].method, kMethodSendData);
}

// The Exit step leaves the recovery flag alone after a refusal that leaves the
// printer as it was, and sets it after anything else that failed.
TEST(HybridSend, ExitSetsNeedRecoverOnlyAfterARealFailure) {
  HybridLink link(kExitAddress);
  ASSERT_TRUE(link.ready());
  struct Case {
    int32_t chainResult;
    uint8_t before, after;
  };
  const Case cases[] = {
      {0, 0, 0},  {6, 0, 0},  {21, 0, 0}, {22, 0, 0}, {22, 1, 1},
      {23, 0, 0}, {24, 0, 0}, {9, 0, 1},  {19, 0, 1}, {4, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chainResult);
    SetNeedRecover(link.handle(), c.before);
    StepContext_t context{};
    context.stepResult = c.chainResult;
    EXPECT_EQ(link.printer().RunStep(ExitSendHybdPrinterCmd, context, "Exit_SendHybdPrinter_Cmd"),
              c.chainResult);
    EXPECT_EQ(GetNeedRecover(link.handle()), c.after);
  }
}

// The cueing read ends when the printer reports the sheet cued, fails on a
// cueing error, and has nothing to wait for on a paper that is not cued.
TEST(HybridSend, CueingReadEndsWithThePrintersReport) {
  struct Case {
    const char* what;
    int32_t paperType;
    std::vector<Bytes> reports;
    int32_t result;
  };
  const Case cases[] = {
      {"cued", 1, {{0x10, 0x00, 0x00, 0x02}, {0x10, 0x00, 0x00, 0x00}}, TILOPRN_SUCCESS},
      {"cueing error", 2, {{0x10, 0x00, 0x00, 0x03}}, TILOPRN_FAILURE},
      {"receipt is not cued", 0, {}, TILOPRN_SUCCESS},
      {"validation is not cued", 3, {}, TILOPRN_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HybridLink link(kCueingAddress);
    ASSERT_TRUE(link.ready());
    PrintHandle_t* handle = link.handle();
    {
      PlatformLockGuard lock(handle->slipCueingLock);
      handle->slipCueing = 1;
    }
    if (!c.reports.empty()) {
      ASSERT_TRUE(link.emulator().sendToClient(c.reports, std::chrono::milliseconds(100)));
    }
    ReplyWaitContext replies{};
    StepContext_t context{};
    context.replyWait = &replies;
    context.paperType = c.paperType;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link.printer().RunStep(CheckCueingPaper, context, "CheckCueingPaper"), c.result);
    EXPECT_LT(io_test::msSince(start), 3000);
  }
}

// A sheet that never comes holds the queue thread for ten seconds at most;
// the selection still succeeds (the send's own Check refuses a missing slip).
TEST(HybridSend, SelectingAPaperTypeGivesUpOnASheetThatNeverComes) {
  HybridLink link(kCueingLimitAddress);
  ASSERT_TRUE(link.ready());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TiloSelectPaperType(nullptr, link.handle(), 1), TILOPRN_SUCCESS);
  const int64_t took = io_test::msSince(start);
  EXPECT_GE(took, 10000);
  EXPECT_LT(took, 13000);
  EXPECT_TRUE(HybridRecorder::Get().Results(link.handle()).empty());
}

}  // namespace
