// Recovery, the silent-printer check, interrupt printing and the hybrid
// initialisation against the printer emulator.

#include "engine/recovery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "engine/hybrid_steps.h"
#include "engine/print_result.h"
#include "engine/request_queue.h"
#include "engine/test_hooks.h"
#include "engine/wait_object.h"
#include "engine_test_support.h"
#include "foundation/logger.h"

using namespace tilo2::core;
using engine_test::CountBytes;
using engine_test::EmulatedPrinter;
using engine_test::FindBytes;
using printer_emulator::Faults;
using printer_emulator::Profile;
using printer_emulator::TcpMode;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kClearBuffer{0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08};
const Bytes kInterruptRequest{0x10, 0x14, 0x06, 0x04, 0x00, 0x01,
                              0x03, 0x14, 0x01, 0x06, 0x02, 0x08};

// ESC = 1 and NULs up to size bytes.
Bytes FlushBlock(size_t size) {
  Bytes block(size, 0x00);
  block[0] = 0x1B;
  block[1] = 0x3D;
  block[2] = 0x01;
  return block;
}

TEST(Recovery, LineModelGetsOneSmallFlushBlockOnly) {
  EmulatedPrinter printer(146, Profile::Line);
  ASSERT_TRUE(printer.ok());
  printer.handle()->modelId = 0x0D;
  EXPECT_EQ(printer.RunStep(TiloRecover), 0);
  EXPECT_EQ(printer.DataBytes(400), FlushBlock(400));
}

TEST(Recovery, UnacknowledgedClearFallsBackToTheLargeFlushBlock) {
  EmulatedPrinter printer(147);
  ASSERT_TRUE(printer.ok());
  printer.WithModel([](auto& model) { model.setClearAcknowledged(false); });
  printer.handle()->modelId = 0x20;
  io_test::LogCapture log;
  // The clear is never acknowledged, neither the first time nor after the block.
  EXPECT_EQ(printer.RunStep(TiloRecover, {}, "_TiloRecover"), TILOPRN_FAILURE);
  Bytes expected = kClearBuffer;
  const Bytes block = FlushBlock(7168);
  expected.insert(expected.end(), block.begin(), block.end());
  expected.insert(expected.end(), kClearBuffer.begin(), kClearBuffer.end());
  EXPECT_EQ(printer.DataBytes(), expected);
  EXPECT_EQ(log.lines({"TPRI_,-i,", ",_TiloRecover,Start."}).size(), 1u);
  EXPECT_EQ(log.lines({"TPRI_,-i,", ",_TiloRecover,End."}).size(), 1u);
}

TEST(Recovery, UnknownModelDoesNotWaitForTheAcknowledgement) {
  EmulatedPrinter printer(148);
  ASSERT_TRUE(printer.ok());
  printer.WithModel([](auto& model) { model.setClearAcknowledged(false); });
  ASSERT_EQ(printer.handle()->modelId.load(), 0xFF);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(printer.OnQueue([&] { return RecoverPrinter(nullptr, printer.handle()); }), 0);
  EXPECT_LT(io_test::msSince(start), 2000);
  EXPECT_EQ(printer.DataBytes(kClearBuffer.size()), kClearBuffer);
}

TEST(Recovery, EveryChainStartsWithCheckAndRecover) {
  EmulatedPrinter printer(149);
  ASSERT_TRUE(printer.ok());
  PrintHandle_t* handle = printer.handle();
  printer.handle()->modelId = 0x20;
  ASSERT_EQ(GetNeedRecover(handle), 1);
  // A synchronous chain with no step of its own: only its first request runs.
  StepContext_t context{};
  context.handle = handle;
  StepContext_t* chain = nullptr;
  ASSERT_EQ(queueList_pushRecover(printer.queue(), &context, &chain), 0);
  uint64_t wait = 0;
  ASSERT_EQ(queueList_pushNull(printer.queue(), chain, &wait), 0);
  signalThread(printer.queue());
  int32_t result = -1;
  ASSERT_EQ(WaitForWaitObject(wait, -1, &result), 0);
  DeleteWaitObject(wait);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(GetNeedRecover(handle), 0);
  EXPECT_EQ(printer.DataBytes(kClearBuffer.size()), kClearBuffer);

  // Nothing to recover: the next chain writes nothing.
  printer.emulator().clearLog();
  EXPECT_EQ(printer.RunStep(CheckAndRecover), 0);
  EXPECT_TRUE(printer.DataBytes().empty());
}

TEST(Recovery, RunRecoverClearsTheFlagOrReportsNoResponse) {
  EmulatedPrinter printer(150);
  ASSERT_TRUE(printer.ok());
  PrintHandle_t* handle = printer.handle();
  handle->modelId = 0x20;
  EXPECT_EQ(RunRecover(handle), 1);
  EXPECT_EQ(GetNeedRecover(handle), 0);

  // The data port refuses everything: the clear cannot be written.
  SetNeedRecover(handle, 1);
  TiloIoConnection_t* connection = handle->connection;
  handle->connection = nullptr;
  EXPECT_EQ(RunRecover(handle), 0);
  handle->connection = connection;
  EXPECT_EQ(GetNeedRecover(handle), 1);
  EXPECT_EQ(handle->statusFlags.load(), 1u);
}

TEST(Recovery, InterruptAcceptedAtOnceSendsNoClear) {
  EmulatedPrinter printer(151, Profile::Interrupt);
  ASSERT_TRUE(printer.ok());
  printer.handle()->interruptSupport = 1;
  printer.handle()->modelId = 0x21;
  EXPECT_EQ(printer.OnQueue([&] { return RunInterruptPrinting(nullptr, printer.handle(), 3000); }),
            0);
  EXPECT_EQ(printer.handle()->interruptAccepted.load(), 1);
  EXPECT_EQ(printer.DataBytes(), kInterruptRequest);
}

TEST(Recovery, RefusedInterruptClearsBeforeEveryLaterRequestUntilTheTimeout) {
  EmulatedPrinter printer(152, Profile::Interrupt);
  ASSERT_TRUE(printer.ok());
  printer.WithModel([](auto& model) { model.setInterruptRefused(true); });
  printer.handle()->interruptSupport = 1;
  printer.handle()->modelId = 0x21;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(printer.OnQueue([&] { return RunInterruptPrinting(nullptr, printer.handle(), 800); }),
            TILOPRN_TIMEOUT);
  EXPECT_GE(io_test::msSince(start), 780);  // the two clocks round apart
  const Bytes sent = printer.DataBytes();
  // The first pass asks at once; every later pass clears the buffer first.
  const size_t requests = CountBytes(sent, kInterruptRequest);
  EXPECT_GE(requests, 2u);
  EXPECT_EQ(CountBytes(sent, kClearBuffer), requests - 1);
  ASSERT_EQ(FindBytes(sent, kInterruptRequest), 0u);
  size_t at = kInterruptRequest.size();
  while (at < sent.size()) {
    EXPECT_EQ(FindBytes(sent, kClearBuffer, at), at);
    at += kClearBuffer.size();
    EXPECT_EQ(FindBytes(sent, kInterruptRequest, at), at);
    at += kInterruptRequest.size();
  }
}

TEST(Recovery, InterruptNotSupportedWritesNothing) {
  EmulatedPrinter printer(153);
  ASSERT_TRUE(printer.ok());
  printer.handle()->interruptSupport = 2;
  EXPECT_EQ(printer.OnQueue([&] { return RunInterruptPrinting(nullptr, printer.handle(), 1000); }),
            0);
  EXPECT_TRUE(printer.DataBytes().empty());
}

TEST(Recovery, CheckDmaTellsOnlineOfflineAndSilent) {
  EmulatedPrinter printer(154);
  ASSERT_TRUE(printer.ok());
  int32_t online = -1;
  uint8_t noAnswer = 9;
  StepContext_t check{};
  check.online = &online;
  check.noAnswer = &noAnswer;

  EXPECT_EQ(printer.RunStep(CheckDMA, check), 0);
  EXPECT_EQ(online, 1);
  EXPECT_EQ(noAnswer, 0);

  Faults faults;
  faults.offline = true;
  printer.state().setFaults(faults);
  EXPECT_EQ(printer.RunStep(CheckDMA, check), 0);
  EXPECT_EQ(online, 0);
  EXPECT_EQ(noAnswer, 0);

  // The port is held but the printer answers nothing on it.
  printer.state().setFaults({});
  printer.emulator().setTcpMode(TcpMode::Silent);
  online = 7;
  EXPECT_EQ(printer.RunStep(CheckDMA, check), 0);
  EXPECT_EQ(noAnswer, 1);
  EXPECT_EQ(online, 7);
  EXPECT_EQ(printer.handle()->realtimeResync.load(), 1);
}

TEST(Recovery, ReachabilityOnBluetoothIsUnknown) {
  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(TiloCreateHandle(&handle), 0);
  handle->connectionType = 1;
  EXPECT_EQ(CheckReachable(handle), -1);
  EXPECT_EQ(CheckReachable(nullptr), -1);
  EXPECT_EQ(TiloDestroyHandle(handle), 0);
}

TEST(Recovery, HybridInitialisationClearsWhetherOrNotTheClearIsAcknowledged) {
  for (const bool acknowledged : {true, false}) {
    EmulatedPrinter printer(155);
    ASSERT_TRUE(printer.ok());
    printer.WithModel([&](auto& model) { model.setClearAcknowledged(acknowledged); });
    EXPECT_EQ(QueueInitiaizeHybridPrinter(nullptr, printer.handle()), 0);
    EXPECT_EQ(printer.DataBytes(kClearBuffer.size()), kClearBuffer);
    StepContext_t context{};
    EXPECT_EQ(printer.RunStep(InitiaizeHybridPrinter, context), 0) << acknowledged;
  }
}

TEST(Recovery, WaitingOnTheQueueFromItsOwnThreadIsRefused) {
  EmulatedPrinter printer(156);
  ASSERT_TRUE(printer.ok());
  io_test::LogCapture log;
  EXPECT_EQ(printer.OnQueue([&] { return QueueInitiaizeHybridPrinter(nullptr, printer.handle()); }),
            TILOPRN_BUSY);
  EXPECT_FALSE(log.lines({"ERROR"}).empty());
  EXPECT_TRUE(printer.DataBytes().empty());
}

}  // namespace
