// The hybrid printer's operations against the printer emulator: readiness,
// the hybrid status query, the paper support query and the argument checks.

#include "engine/hybrid_ops.h"

#include <gtest/gtest.h>

#include <chrono>

#include "engine/builder_records.h"
#include "engine/hybrid_steps.h"
#include "engine/print_result.h"
#include "engine/shared_connection.h"
#include "hybrid_link_support.h"

using namespace tilo2::core;
using namespace hybrid_test;

namespace {

constexpr int kReadyAddress = 360;  // one row after the other
constexpr int kStatusAddress = 361;
constexpr int kSupportAddress = 362;
constexpr int kArgumentsAddress = 363;
constexpr int kCueingAddress = 364;
constexpr int kCueFailureAddress = 365;
constexpr int kCloseAddress = 366;
constexpr int kCloseLastAddress = 367;
constexpr int kEjectAddress = 368;  // one row after the other
constexpr int kSendingAddress = 369;
constexpr int kNotHeardAddress = 370;    // one row after the other
constexpr int kPaperPathAddress = 1430;  // 1430..1432, one per row

using printer_emulator::Profile;

const Bytes kInsertionPrologue = {0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C, 0x28,
                                  0x65, 0x02, 0x00, 0x33, 0xFF, 0x1B, 0x66, 0x00, 0x05};
const Bytes kSlipInsertion = {0x1D, 0x28, 0x47, 0x02, 0x00, 0x30, 0x04, 0x1D, 0x28,
                              0x47, 0x02, 0x00, 0x54, 0x01, 0x1B, 0x63, 0x31, 0x04};
// The head of the validation path's insertion wait.
const Bytes kValidationInsertionHead = {0x1D, 0x28, 0x47, 0x02, 0x00, 0x30, 0x44};
const Bytes kCancelInsertion = {0x1B, 0x3D, 0x01, 0x10, 0x05, 0x03};
const Bytes kEject = {0x1B, 0x3D, 0x01, 0x0C};
const Bytes kClearBuffer = {0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08};

// A hybrid printer opened as the shared connection list opens one.
class SharedHybrid {
 public:
  explicit SharedHybrid(int n) : address_(io_test::address(n)) {
    emulator_ = io_test::startEmulator(n);
    if (!emulator_) return;
    emulator_->state().setProfile(Profile::Hybrid);
  }
  ~SharedHybrid() {
    if (handle_ != nullptr && CheckHandleList(handle_)) {
      EXPECT_TRUE(Eventually([&] { return CountActiveJobs(handle_) == 0; }));
      HybridRecorder::Get().Forget(handle_);
      ReleaseSharedConnection(nullptr, kSharedUserPrinter, handle_);
      ReleaseSharedConnection(nullptr, kSharedUserHybrid, handle_);
    }
  }
  SharedHybrid(const SharedHybrid&) = delete;
  SharedHybrid& operator=(const SharedHybrid&) = delete;

  int Acquire(uint32_t user) {
    PrintHandle_t* handle = nullptr;
    const int result = AcquireSharedConnection(nullptr, user, 0, address_.c_str(), 5000, &handle);
    if (result == 0) {
      handle_ = handle;
      SetResultCallback(handle, RESULT_HYBRID, reinterpret_cast<void*>(&HybridRecorder::OnResult));
    }
    return result;
  }
  PrintHandle_t* handle() const { return handle_; }
  printer_emulator::PrinterEmulator& emulator() const { return *emulator_; }
  bool ok() const { return emulator_ != nullptr; }

 private:
  std::string address_;
  std::unique_ptr<printer_emulator::PrinterEmulator> emulator_;
  PrintHandle_t* handle_ = nullptr;
};

constexpr uint32_t kInterfaceStatusQuery = 0x03000010;

TEST(HybridOps, CheckHybridReadyRefusesAWaitingOrSilentPrinter) {
  struct Case {
    const char* what;
    Asb status;
    bool powerOff;
    uint8_t allowInsertionWait;
    int result;
  };
  const Case cases[] = {
      {"no answer", kIdle, true, 1, TILOPRN_IO_ERROR},
      {"insertion wait", kInsertionWait, false, 0, TILOPRN_ILLEGAL_STATE},
      {"insertion wait allowed", kInsertionWait, false, 1, TILOPRN_SUCCESS},
      {"removal wait", kRemovalWait, false, 1, TILOPRN_ILLEGAL_STATE},
      {"ready", kIdle, false, 0, TILOPRN_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HybridLink link(kReadyAddress, c.status);
    ASSERT_TRUE(link.ready());
    if (c.powerOff) link.emulator().state().setPowerOff(true);
    EXPECT_EQ(TiloCheckHybridReady(nullptr, link.handle(), c.allowInsertionWait), c.result);
  }
}

// A printer whose status never came is asked, not taken for silent.
TEST(HybridOps, CheckHybridReadyAsksAPrinterNotHeardFromYet) {
  struct Case {
    Asb status;
    int result;
  };
  const Case cases[] = {{kIdle, TILOPRN_SUCCESS}, {kRemovalWait, TILOPRN_ILLEGAL_STATE}};
  for (const auto& c : cases) {
    engine_test::EmulatedPrinter printer(kNotHeardAddress);
    ASSERT_TRUE(printer.ok());
    printer.WithModel([&](auto& m) { m.setAsbOverride(c.status); });
    ASSERT_EQ(printer.handle()->statusFlags.load(), kStatusFlagsUnknown);
    EXPECT_EQ(TiloCheckHybridReady(nullptr, printer.handle(), 0), c.result);
    EXPECT_NE(printer.handle()->statusFlags.load(), kStatusFlagsUnknown);
  }
}

// On TCP the status comes from the printer's network interface alone: the
// data port sees nothing of the query.
TEST(HybridOps, GetHybridStatusOnTcpAsksOnlyTheNetworkInterface) {
  HybridLink link(kStatusAddress, kSlipSheetIn);
  ASSERT_TRUE(link.ready());
  auto& emulator = link.emulator();
  const auto udpArrivals = [&] {
    size_t count = 0;
    for (const auto& arrival : emulator.arrivals()) {
      if (arrival.channel == printer_emulator::Channel::Udp) ++count;
    }
    return count;
  };
  const size_t wireBefore = emulator.tcpBytes().size();
  const size_t udpBefore = udpArrivals();
  const size_t queriesBefore = emulator.udpRequests('Q', kInterfaceStatusQuery).size();

  uint32_t status = 0;
  ASSERT_EQ(TiloGetHybridStatus(nullptr, link.handle(), &status), TILOPRN_SUCCESS);
  // 10 00 00 08: the validation path empty, a sheet in the slip path.
  EXPECT_EQ(status, 0x88000000u);
  EXPECT_EQ(udpArrivals(), udpBefore + 1);
  EXPECT_EQ(emulator.udpRequests('Q', kInterfaceStatusQuery).size(), queriesBefore + 1);
  EXPECT_EQ(emulator.tcpBytes().size(), wireBefore) << "the query went to the data port";

  EXPECT_EQ(TiloGetHybridStatus(nullptr, link.handle(), nullptr), TILOPRN_PARAMETER_ERROR);
}

TEST(HybridOps, CheckSupportPaperTypeLearnsTheSupportBits) {
  // A printer that reads its errors from the extended status says so too.
  for (const bool extendedInfo : {false, true}) {
    SCOPED_TRACE(extendedInfo ? "extended information" : "plain");
    HybridLink link(kSupportAddress, kIdle, Profile::Hybrid);
    ASSERT_TRUE(link.ready());
    link.printer().WithModel([&](auto& m) { m.setExtendedInfo(extendedInfo); });
    PrintHandle_t* handle = link.handle();
    handle->paperSupport = 0xFFFFFFFFu;
    handle->infoKind = 0;

    EXPECT_EQ(TiloCheckSupportPaperType(nullptr, handle), TILOPRN_SUCCESS);
    // Endorsement, validation and MICR.
    EXPECT_EQ(handle->paperSupport.load(), 0x7u);
    EXPECT_EQ(handle->infoKind.load(), extendedInfo ? 1 : 2);
  }
}

TEST(HybridOps, OperationsRefuseBadArguments) {
  HybridLink link(kArgumentsAddress);
  ASSERT_TRUE(link.ready());
  PrintHandle_t stranger{};
  PrinterBuilder_t* builder = nullptr;
  ASSERT_EQ(TiloCreateBuilder(&builder, "RP-X5E", 0), TILOPRN_SUCCESS);
  struct Case {
    const char* what;
    PrintHandle_t* handle;
    PrinterBuilder_t* builder;
    int32_t timeoutMs;
    int result;
  };
  const Case sends[] = {
      {"no handle", nullptr, builder, 1000, TILOPRN_PARAMETER_ERROR},
      {"no builder", link.handle(), nullptr, 1000, TILOPRN_PARAMETER_ERROR},
      {"timeout beyond the job wait's", link.handle(), builder, 600001, TILOPRN_PARAMETER_ERROR},
      {"negative timeout", link.handle(), builder, -2, TILOPRN_PARAMETER_ERROR},
      {"unknown handle", &stranger, builder, 1000, TILOPRN_PARAMETER_ERROR},
  };
  for (const auto& c : sends) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(TiloSendHybridData(nullptr, c.handle, c.builder, 1, c.timeoutMs, 0, 0), c.result);
  }
  EXPECT_EQ(TiloCheckSupportPaperType(nullptr, nullptr), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(TiloCheckSupportPaperType(nullptr, &stranger), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(TiloCheckHybridReady(nullptr, nullptr, 0), TILOPRN_PARAMETER_ERROR);
  uint32_t status = 0;
  EXPECT_EQ(TiloGetHybridStatus(nullptr, &stranger, &status), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(link.handle()->jobCount.load(), 0);
  TiloDestroyBuilder(builder);
}

// The printer cues the slip: the selection writes the insertion without its
// prologue, follows the printer's reports and succeeds.
TEST(HybridOps, SelectPaperTypeCuesTheSlip) {
  HybridLink link(kCueingAddress, kIdle, Profile::Hybrid);
  ASSERT_TRUE(link.ready());
  const size_t before = link.emulator().tcpBytes().size();

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(TiloSelectPaperType(nullptr, link.handle(), 1), TILOPRN_SUCCESS);
  EXPECT_LT(io_test::msSince(start), 5000) << "the cueing's end was not taken";
  const Bytes wire = link.emulator().tcpBytes();
  const Bytes sent(wire.begin() + static_cast<long>(before), wire.end());
  EXPECT_NE(engine_test::FindBytes(sent, kSlipInsertion), std::string::npos);
  EXPECT_EQ(engine_test::FindBytes(sent, kInsertionPrologue), std::string::npos);
  EXPECT_EQ(ReadLockedFlag(link.handle()->slipCueingLock, link.handle()->slipCueing), 0);
  EXPECT_TRUE(link.emulator().state().hybrid().slipSheet);
  EXPECT_TRUE(HybridRecorder::Get().Results(link.handle()).empty());
}

// A printer in error refuses the cueing: the hybrid callback hears of it as a
// send's failure, and the printer is recovered; nothing is inserted.
TEST(HybridOps, FailedCueingCheckReportsAndRecovers) {
  HybridLink link(kCueFailureAddress, {0x18, 0x01, 0x00, 0x0A}, Profile::Hybrid);
  ASSERT_TRUE(link.ready());
  const size_t before = link.emulator().tcpBytes().size();

  EXPECT_EQ(TiloSelectPaperType(nullptr, link.handle(), 1), TILOPRN_PRINTER_ERROR);
  const auto results = HybridRecorder::Get().Results(link.handle());
  ASSERT_EQ(results.size(), 1u) << "reported before the selection returns";
  EXPECT_EQ(results[0].code, TILOPRN_PRINTER_ERROR);
  EXPECT_EQ(results[0].method, kMethodSendData);
  const Bytes wire = link.emulator().tcpBytes();
  const Bytes sent(wire.begin() + static_cast<long>(before), wire.end());
  EXPECT_TRUE(link.Arrives(kClearBuffer, before)) << "not recovered";
  EXPECT_EQ(engine_test::FindBytes(sent, kSlipInsertion), std::string::npos);
}

// A wait takes the hybrid paper type: an endorsement comes in by the slip path
// like a slip, a validation sheet by the validation path.
TEST(HybridOps, WaitInsertionExpectsTheSheetOnItsPapersPath) {
  const struct {
    const char* what;
    int32_t paperType;
    const Bytes& expected;
    const Bytes& other;
    printer_emulator::SheetPath path;
  } rows[] = {
      {"slip", 1, kSlipInsertion, kValidationInsertionHead, printer_emulator::SheetPath::Slip},
      {"endorsement", 2, kSlipInsertion, kValidationInsertionHead,
       printer_emulator::SheetPath::Slip},
      {"validation", 3, kValidationInsertionHead, kSlipInsertion,
       printer_emulator::SheetPath::Validation},
  };
  int n = kPaperPathAddress;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    SharedHybrid shared(n++);
    ASSERT_TRUE(shared.ok());
    ASSERT_EQ(shared.Acquire(kSharedUserHybrid), 0);
    PrintHandle_t* handle = shared.handle();
    ASSERT_EQ(TiloWaitInsertion(nullptr, handle, row.paperType, 500, 30000, 0), TILOPRN_SUCCESS);
    ASSERT_TRUE(shared.emulator().waitForInsertionWait(kDeadline));
    const Bytes wire = shared.emulator().tcpBytes();
    EXPECT_NE(engine_test::FindBytes(wire, row.expected), std::string::npos);
    EXPECT_EQ(engine_test::FindBytes(wire, row.other), std::string::npos);
    ASSERT_TRUE(shared.emulator().insertSheet(row.path));
    const auto results = HybridRecorder::Get().WaitFor(handle, 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].code, TILOPRN_SUCCESS);
    EXPECT_EQ(results[0].method, kMethodWaitInsertion);
  }
}

// The hybrid printer leaves while its insertion is pending: the cancel goes
// out, the insertion ends without a callback and the printer keeps the
// connection; a hybrid printer may join again and wait anew.
TEST(HybridOps, CloseCancelsAPendingInsertionAndLeavesThePrinterItsConnection) {
  SharedHybrid shared(kCloseAddress);
  ASSERT_TRUE(shared.ok());
  ASSERT_EQ(shared.Acquire(kSharedUserPrinter), 0);
  ASSERT_EQ(shared.Acquire(kSharedUserHybrid), 0);
  PrintHandle_t* handle = shared.handle();
  ASSERT_EQ(TiloWaitInsertion(nullptr, handle, 1, 500, 30000, 0), TILOPRN_SUCCESS);
  ASSERT_TRUE(shared.emulator().waitForInsertionWait(kDeadline));

  ASSERT_EQ(TiloCloseHybridPrinter(nullptr, handle), TILOPRN_SUCCESS);
  EXPECT_TRUE(Eventually([&] {
    return engine_test::FindBytes(shared.emulator().tcpBytes(), kCancelInsertion) !=
           std::string::npos;
  }));
  ASSERT_TRUE(Eventually([&] { return handle->jobCount.load() == 0; }));
  EXPECT_TRUE(HybridRecorder::Get().Results(handle).empty());
  EXPECT_EQ(ReadLockedFlag(handle->waitInsertionLock, handle->waitInsertion), 0);
  EXPECT_EQ(ReadLockedFlag(handle->hybridClosingLock, handle->hybridClosing), 0);
  EXPECT_TRUE(CheckHandleList(handle));
  EXPECT_NE(handle->connection, nullptr);
  EXPECT_TRUE(shared.emulator().clientConnected());

  // User bit 4 is free again, and the new user's wait is not refused as busy.
  ASSERT_EQ(shared.Acquire(kSharedUserHybrid), 0);
  EXPECT_EQ(shared.handle(), handle);
  ASSERT_EQ(TiloWaitInsertion(nullptr, handle, 1, 500, 30000, 0), TILOPRN_SUCCESS);
  ASSERT_TRUE(shared.emulator().waitForInsertionWait(kDeadline));
  ASSERT_TRUE(shared.emulator().insertSheet(printer_emulator::SheetPath::Slip));
  const auto results = HybridRecorder::Get().WaitFor(handle, 1);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, TILOPRN_SUCCESS);
  EXPECT_EQ(results[0].method, kMethodWaitInsertion);
}

TEST(HybridOps, CloseAsTheLastUserClosesAtOnce) {
  SharedHybrid shared(kCloseLastAddress);
  ASSERT_TRUE(shared.ok());
  ASSERT_EQ(shared.Acquire(kSharedUserHybrid), 0);
  PrintHandle_t* handle = shared.handle();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(TiloCloseHybridPrinter(nullptr, handle), TILOPRN_SUCCESS);
  EXPECT_LT(io_test::msSince(start), 3000);
  EXPECT_FALSE(CheckHandleList(handle));
  EXPECT_TRUE(shared.emulator().waitForNoClient(kDeadline));
  EXPECT_EQ(TiloCloseHybridPrinter(nullptr, handle), TILOPRN_PARAMETER_ERROR);
}

// The eject's option says the last sheet still waits to be removed: then an
// eject without paper in either path is accepted.
TEST(HybridOps, EjectPaperTakesTheOptionAsRemovalPending) {
  struct Case {
    const char* what;
    uint8_t option;
    int32_t code;
    bool ejected;
  };
  const Case cases[] = {
      {"no sheet", 0, TILOPRN_ILLEGAL_STATE, false},
      {"no sheet, removal pending", 1, TILOPRN_SUCCESS, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HybridLink link(kEjectAddress, kIdle, Profile::Hybrid);
    ASSERT_TRUE(link.ready());
    const size_t before = link.emulator().tcpBytes().size();
    EXPECT_EQ(TiloEjectPaper(nullptr, link.handle(), c.option), TILOPRN_SUCCESS);
    const auto results = HybridRecorder::Get().Results(link.handle());
    ASSERT_EQ(results.size(), 1u) << "reported before the eject returns";
    EXPECT_EQ(results[0].code, c.code);
    EXPECT_EQ(results[0].method, kMethodEjectPaper);
    if (c.ejected) {
      EXPECT_TRUE(link.Arrives(kEject, before));
    } else {
      const Bytes wire = link.emulator().tcpBytes();
      EXPECT_EQ(engine_test::FindBytes(Bytes(wire.begin() + static_cast<long>(before), wire.end()),
                                       kEject),
                std::string::npos);
    }
  }
}

// While a job's bytes are on their way nothing else may go to the printer;
// the waits' arguments are checked before anything is queued.
TEST(HybridOps, InsertionOperationsWaitForTheSendAndCheckTheirArguments) {
  HybridLink link(kSendingAddress, kIdle, Profile::Hybrid);
  ASSERT_TRUE(link.ready());
  PrintHandle_t* handle = link.handle();
  SetSendInProgress(handle, 1);
  EXPECT_EQ(TiloWaitInsertion(nullptr, handle, 1, 500, 1000, 0), TILOPRN_BUSY);
  EXPECT_EQ(TiloCancelInsertion(nullptr, handle), TILOPRN_BUSY);
  EXPECT_EQ(TiloCancelInsertionSync(nullptr, handle), TILOPRN_BUSY);
  EXPECT_EQ(TiloEjectPaper(nullptr, handle, 0), TILOPRN_BUSY);
  EXPECT_EQ(TiloReadMicrData(nullptr, handle, 0, 500, 1000, 0), TILOPRN_BUSY);
  EXPECT_EQ(TiloCleanMicrReader(nullptr, handle, 500, 1000, 0), TILOPRN_BUSY);
  SetSendInProgress(handle, 0);

  struct Case {
    const char* what;
    int32_t delayMs, timeoutMs;
  };
  const Case cases[] = {
      {"delay below 0", -1, 1000},
      {"delay above 6400", 6401, 1000},
      {"negative timeout", 500, -1},
      {"timeout above 600000", 500, 600001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(TiloWaitInsertion(nullptr, handle, 1, c.delayMs, c.timeoutMs, 0),
              TILOPRN_PARAMETER_ERROR);
    EXPECT_EQ(TiloReadMicrData(nullptr, handle, 0, c.delayMs, c.timeoutMs, 0),
              TILOPRN_PARAMETER_ERROR);
    EXPECT_EQ(TiloCleanMicrReader(nullptr, handle, c.delayMs, c.timeoutMs, 0),
              TILOPRN_PARAMETER_ERROR);
  }
  EXPECT_EQ(TiloWaitInsertion(nullptr, nullptr, 1, 500, 1000, 0), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(TiloCancelInsertion(nullptr, nullptr), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(TiloEjectPaper(nullptr, nullptr, 0), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(TiloSelectPaperType(nullptr, nullptr, 1), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(TiloCancelInsertionSync(nullptr, nullptr), TILOPRN_PARAMETER_ERROR);
  EXPECT_EQ(handle->jobCount.load(), 0);
  EXPECT_EQ(link.emulator().state().hybrid().wait, printer_emulator::HybridStatus::Wait::None);

  // -2 is the default insertion wait of 500 ms: ESC f 0 5.
  ASSERT_EQ(TiloWaitInsertion(nullptr, handle, 1, -2, 30000, 0), TILOPRN_SUCCESS);
  ASSERT_TRUE(link.emulator().waitForInsertionWait(kDeadline));
  EXPECT_NE(engine_test::FindBytes(link.emulator().tcpBytes(), kInsertionPrologue),
            std::string::npos);
  ASSERT_EQ(TiloCancelInsertion(nullptr, handle), TILOPRN_SUCCESS);
  const auto results = HybridRecorder::Get().WaitFor(handle, 2);
  ASSERT_EQ(results.size(), 2u);
  for (const auto& result : results) {
    SCOPED_TRACE(result.method);
    EXPECT_EQ(result.code,
              result.method == kMethodCancelInsertion ? TILOPRN_SUCCESS : TILOPRN_CANCELLED);
  }
}

}  // namespace
