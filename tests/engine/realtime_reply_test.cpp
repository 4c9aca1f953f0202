// Real-time replies carry no tag: each goes to the query in flight whose
// reply it can be, whatever reader happens to take it in. And a link the
// printer dropped is opened again by the next step that needs it.
//
// Addresses (io_test::address): 2450-2459.

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "engine/engine_ops.h"
#include "engine/event_callbacks.h"
#include "engine/print_handle.h"
#include "engine/print_result.h"
#include "engine/recovery.h"
#include "engine/reply_analysis.h"
#include "engine/send_chain.h"
#include "engine/shared_connection.h"
#include "engine/status_monitor.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "engine_test_support.h"
#include "io/connection_interface.h"
#include "kdpx_reply.h"

namespace engine_test {
namespace {

using printer_emulator::Profile;
using printer_emulator::ReplyClass;

constexpr int32_t kInterrupt = kRtIndexInterruptSupport;
constexpr int32_t kDisplay = kRtIndexDisplay;

TEST(RealtimeReplies, EachReplyGoesToTheOldestQueryOfItsForm) {
  struct Case {
    const char* name;
    std::vector<int32_t> sent;
    std::vector<uint8_t> replies;
    std::vector<int32_t> matched;
  };
  const Case cases[] = {
      {"in order", {kInterrupt, 0}, {0x12, 0x1E}, {kInterrupt, 0}},
      {"drawer bit on both", {0, kInterrupt}, {0x16, 0x16}, {0, kInterrupt}},
      // An offline status cannot answer DLE EOT 18: that query went unanswered.
      {"unanswered support query", {kInterrupt, 0}, {0x1A, 0x12}, {0, -1}},
      {"display", {kDisplay, 1, 2}, {0x16, 0x12, 0x52}, {kDisplay, 1, 2}},
      {"nothing in flight", {}, {0x12}, {-1}},
  };
  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(TiloCreateHandle(&handle), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetRealtimeQueries(handle);
    for (int32_t index : c.sent) NoteRealtimeQuery(handle, index);
    std::vector<int32_t> matched;
    for (uint8_t reply : c.replies) matched.push_back(MatchRealtimeReply(handle, reply));
    EXPECT_EQ(matched, c.matched);
  }
  TiloDestroyHandle(handle);
}

// The device information of an open that finds the printer offline: the
// support query's reply is in before the status query's, which comes late.
TEST(RealtimeReplies, AnOfflinePrinterAtOpenKeepsWhatItSaysOfInterruptPrinting) {
  struct Case {
    const char* name;
    int address;
    Profile profile;
    bool drawerHigh;
    int32_t interruptSupport;
  };
  const Case cases[] = {
      {"no interrupt printing, drawer high", 2450, Profile::Receipt, true, 2},
      {"interrupt printing", 2451, Profile::Interrupt, false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatedPrinter printer(c.address, c.profile);
    ASSERT_TRUE(printer.ok());
    printer.state().setFaults({.offline = true, .drawerHigh = c.drawerHigh});
    // Every answer after the status switch-on waits behind its status.
    printer.emulator().setReplyDelay(ReplyClass::Asb, std::chrono::milliseconds(300));
    PrintHandle_t* handle = printer.handle();
    ReplyWaitContext replyWait{};
    replyWait.handle = handle;
    int32_t online = 0;
    StepContext_t context{};
    context.replyWait = &replyWait;
    context.online = &online;
    context.deviceInfo.replyTimeoutMs = 1000;
    context.deviceInfo.paperSupport = handle->paperSupport;
    printer.RunStep(GetDeviceInformation, context);
    EXPECT_EQ(handle->interruptSupport.load(), c.interruptSupport);
  }
}

// What a failed recovery leaves: the no-response word while the printer
// answers and has nothing new to report by itself.
TEST(PrinterLink, AStaleSilentWordIsRefreshedBeforeASecondUserJudgesIt) {
  auto emulator = io_test::startEmulator(2452);
  ASSERT_NE(emulator, nullptr);
  const std::string address = io_test::address(2452);
  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(AcquireSharedConnection(nullptr, kSharedUserPrinter, 0, address.c_str(), 5000, &handle),
            0);
  ASSERT_EQ(TiloSetInterval(handle, 60000), 0);
  ASSERT_EQ(TiloStartMonitor(nullptr, handle), 0);
  WakeStatusMonitor(handle);
  NotifyNoResponse(nullptr, handle);
  ASSERT_NE(handle->statusFlags.load() & kStatusNoResponse, 0u);

  PrintHandle_t* joined = nullptr;
  ASSERT_EQ(AcquireSharedConnection(nullptr, kSharedUserHybrid, 0, address.c_str(), 5000, &joined),
            0);
  EXPECT_EQ(joined, handle);
  EXPECT_EQ(handle->statusFlags.load() & kStatusNoResponse, 0u);
  EXPECT_EQ(emulator->clientsAccepted(), 1);
  EXPECT_EQ(ReleaseSharedConnection(nullptr, kSharedUserHybrid, handle), 0);
  EXPECT_EQ(ReleaseSharedConnection(nullptr, kSharedUserPrinter, handle), 0);
}

// The printer closed or reset the link: the next step that reads opens it
// again, and the printer is set up as after an open.
TEST(PrinterLink, ALinkThePrinterDroppedIsOpenedAgainByTheNextStep) {
  struct Case {
    const char* name;
    int address;
    bool reset;
    StepFunc step;
  };
  const Case cases[] = {
      {"closed, status check", 2453, false, CheckAsb},
      {"reset, status switch-on", 2454, true, EnableAsb},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EmulatedPrinter printer(c.address);
    ASSERT_TRUE(printer.ok());
    if (c.reset) {
      printer.emulator().resetClient();
    } else {
      printer.emulator().closeClient();
    }
    ASSERT_TRUE(printer.emulator().waitForNoClient(std::chrono::seconds(30)));
    uint8_t status[4];
    StepContext_t context{};
    context.statusOut = status;
    context.statusOutLength = 4;
    EXPECT_EQ(printer.RunStep(c.step, context), 0);
    EXPECT_EQ(printer.emulator().clientsAccepted(), 2);
    EXPECT_TRUE(printer.emulator().clientConnected());
    EXPECT_EQ(TiloIoCheckLink(printer.handle()->connection), 0);
    EXPECT_EQ(printer.handle()->statusFlags.load() & kStatusNoResponse, 0u);
    // Set up as an open does: automatic status on, the model asked for.
    const auto counts = printer.emulator().commandCounts();
    EXPECT_GE(counts.count("GS a") ? counts.at("GS a") : 0u, 1u);
  }
}

// The printer is back but the link cannot be had again (its control port
// refuses the owner query): its network interface still reports a status,
// which is not this connection's.
TEST(PrinterLink, ADeadLinkIsNoConnectionThoughTheNetworkInterfaceAnswers) {
  EmulatedPrinter printer(2455);
  ASSERT_TRUE(printer.ok());
  printer_emulator::UdpRule refused;
  refused.result = 0xF000;
  printer.emulator().setUdpRule('Q', printer_emulator::kClientAddressQuery, refused);
  printer.emulator().closeClient();
  ASSERT_TRUE(printer.emulator().waitForNoClient(std::chrono::seconds(30)));
  PrintHandle_t* handle = printer.handle();
  handle->statusFlags = 0;

  uint8_t status[4];
  StepContext_t query{};
  query.statusOut = status;
  query.statusOutLength = 4;
  EXPECT_EQ(printer.RunStep(GetCommandAsb, query), TILOPRN_IO_ERROR);
  EXPECT_EQ(printer.RunStep(CheckAsb), 0);
  EXPECT_NE(handle->statusFlags.load() & kStatusNoResponse, 0u);
  EXPECT_EQ(printer.RunStep(GetCommandAsb, query), TILOPRN_IO_ERROR);
  EXPECT_NE(handle->statusFlags.load() & kStatusNoResponse, 0u);
  EXPECT_EQ(printer.emulator().clientsAccepted(), 1);
}

}  // namespace
}  // namespace engine_test
