// The exchanges against the printer emulator: real-time status queries, the
// receive loop, the fixed query sequences and the send path.

#include "engine/exchange.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "engine/print_result.h"
#include "engine/status_store.h"
#include "engine/status_word.h"
#include "engine_test_support.h"

using namespace tilo2::core;
using engine_test::EmulatedPrinter;
using printer_emulator::Faults;
using printer_emulator::Profile;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Exchange, RealtimeStatusFoldsTheTwoFirstReplies) {
  EmulatedPrinter printer(130);
  ASSERT_TRUE(printer.ok());
  Faults faults;
  faults.coverOpen = true;  // DLE EOT 1 answers 1Ah, DLE EOT 2 16h
  printer.state().setFaults(faults);
  uint8_t out[4] = {};
  const int32_t result =
      printer.OnQueue([&] { return GetRealtimeStatus(nullptr, printer.handle(), out, 4, 2000); });
  ASSERT_EQ(result, 0);
  EXPECT_EQ(out[0], 0x38);
  EXPECT_EQ(out[3], 0x0F);
  const Bytes sent = printer.DataBytes();
  EXPECT_EQ(sent, (Bytes{0x10, 0x04, 0x01, 0x10, 0x04, 0x02, 0x10, 0x04, 0x03, 0x10, 0x04, 0x04}));
}

// Whether the printer has sent anything on the data port (its log says so).
bool PrinterAnswered(const EmulatedPrinter& printer, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    uint64_t cursor = 0;
    for (const auto& entry : printer.emulator().readLog(cursor)) {
      if (entry.fromPrinter && entry.channel == printer_emulator::LogChannel::TcpPrinter) {
        return true;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    // The emulator offers no wait on its own answers: look again shortly.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TEST(Exchange, FailedRealtimeQueryDrainsTheLateReplyBeforeTheNextQuery) {
  EmulatedPrinter printer(131);
  ASSERT_TRUE(printer.ok());
  PrintHandle_t* handle = printer.handle();
  Faults faults;
  faults.offline = true;
  printer.state().setFaults(faults);
  printer.emulator().setReplyDelay(printer_emulator::ReplyClass::Realtime,
                                   std::chrono::milliseconds(600));
  uint8_t out[4] = {};
  EXPECT_EQ(printer.OnQueue([&] { return GetRealtimeStatus(nullptr, handle, out, 1, 200); }),
            TILOPRN_TIMEOUT);
  EXPECT_EQ(handle->realtimeResync.load(), 1);

  // The late "offline" byte arrives; the printer is online by the next query.
  ASSERT_TRUE(PrinterAnswered(printer, std::chrono::seconds(5)));
  printer.emulator().setReplyDelay(printer_emulator::ReplyClass::Realtime,
                                   std::chrono::milliseconds(0));
  printer.state().setFaults({});
  EXPECT_EQ(printer.OnQueue([&] { return GetRealtimeStatus(nullptr, handle, out, 1, 2000); }), 0);
  EXPECT_EQ(handle->realtimeResync.load(), 0);
  EXPECT_EQ(out[0] & 0x08, 0) << "the stale reply was taken as the answer";
  EXPECT_EQ(out[0], 0x10);
}

TEST(Exchange, ReceiveWithNoTimeLeftReadsNothing) {
  EmulatedPrinter printer(132);
  ASSERT_TRUE(printer.ok());
  PrintHandle_t* handle = printer.handle();
  // Sent from the emulator's network thread before the call returns.
  ASSERT_TRUE(printer.emulator().sendToClient({{'7', '%', 0x00}}));
  ReplyWaitContext context{};
  context.handle = handle;
  EXPECT_EQ(printer.OnQueue([&] { return ReceiveResponse(handle, 0, &context, kWaitClearReply); }),
            TILOPRN_TIMEOUT);
  EXPECT_EQ(context.clearReplySeen, 0);
  // The acknowledgement is still there for the next reader.
  EXPECT_EQ(
      printer.OnQueue([&] { return ReceiveResponse(handle, 2000, &context, kWaitClearReply); }), 0);
  EXPECT_EQ(context.clearReplySeen, 1);
  EXPECT_EQ(ReceiveResponse(nullptr, 100, &context, kWaitClearReply), TILOPRN_FAILURE);
  EXPECT_EQ(ReceiveResponse(handle, 100, nullptr, kWaitClearReply), TILOPRN_FAILURE);
}

TEST(Exchange, SendCommandDataRecoversFirstWhenNeeded) {
  EmulatedPrinter printer(133);
  ASSERT_TRUE(printer.ok());
  PrintHandle_t* handle = printer.handle();
  handle->monitorWanted = 1;
  const Bytes job{'a', 'b', 'c', '\n'};
  ASSERT_EQ(GetNeedRecover(handle), 1);
  EXPECT_EQ(printer.OnQueue(
                [&] { return SendCommandData(nullptr, handle, job.data(), job.size(), 5000); }),
            0);
  // The unknown model's clear is not waited for; the job follows it.
  Bytes expected{0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08};
  expected.insert(expected.end(), job.begin(), job.end());
  EXPECT_EQ(printer.DataBytes(expected.size()), expected);
  EXPECT_EQ(GetSendInProgress(handle), 1);
  EXPECT_EQ(
      printer.OnQueue([&] { return SendCommandData(nullptr, handle, job.data(), job.size(), -1); }),
      TILOPRN_TIMEOUT);
  EXPECT_EQ(SendWithTimeout(nullptr, job.data(), job.size(), 500), TILOPRN_PARAMETER_ERROR);
}

TEST(Exchange, OfflineErrorByInformationKind) {
  EmulatedPrinter printer(134);
  ASSERT_TRUE(printer.ok());
  PrintHandle_t* handle = printer.handle();
  printer.WithModel([](auto& model) { model.setExtendedStatus(0x08); });  // error bit 11
  struct Case {
    int32_t infoKind;
    Bytes raw;
    int result;
    bool extError10;
    bool extError11;
    size_t extQueries;
  };
  const Bytes offlineCover{0x38, 0x00, 0x00, 0x00};
  const Case cases[] = {
      {1, offlineCover, 0, false, true, 1},               // the extended status decides
      {2, offlineCover, 0, true, true, 0},                // no extended status: both errors
      {0, offlineCover, 0, true, true, 0},                // not known yet: both errors
      {1, {0x18, 0x00, 0x00, 0x00}, 0, false, false, 0},  // offline without a reason
      {7, offlineCover, TILOPRN_FAILURE, false, false, 0},
  };
  const Bytes extQuery{0x10, 0x14, 0x07, 0x02};
  for (const Case& c : cases) {
    printer.emulator().clearLog();
    handle->infoKind = c.infoKind;
    bool extError10 = false;
    bool extError11 = false;
    EXPECT_EQ(printer.OnQueue([&] {
      return CheckOfflineError(nullptr, handle, c.raw.data(), &extError10, &extError11);
    }),
              c.result)
        << c.infoKind;
    EXPECT_EQ(extError10, c.extError10) << c.infoKind;
    EXPECT_EQ(extError11, c.extError11) << c.infoKind;
    EXPECT_EQ(engine_test::CountBytes(printer.DataBytes(), extQuery), c.extQueries) << c.infoKind;
  }
  // Online with the information kind unknown: the printer is asked what it is.
  handle->infoKind = 0;
  bool extError10 = true;
  bool extError11 = true;
  const uint8_t online[4] = {0x10, 0x00, 0x00, 0x00};
  EXPECT_EQ(printer.OnQueue([&] {
    return CheckOfflineError(nullptr, handle, online, &extError10, &extError11);
  }),
            0);
  EXPECT_FALSE(extError10);
  EXPECT_FALSE(extError11);
  EXPECT_EQ(handle->infoKind.load(), 2);
}

}  // namespace
