// The hybrid printer's operations against the printer emulator: readiness,
// the hybrid status query, the paper support query and the argument checks.

#include "engine/hybrid_ops.h"

#include <gtest/gtest.h>

#include <chrono>

#include "engine/builder_records.h"
#include "engine/print_result.h"
#include "hybrid_link_support.h"

using namespace tilo2::core;
using namespace hybrid_test;

namespace {

constexpr int kReadyAddress = 360;  // one row after the other
constexpr int kStatusAddress = 361;
constexpr int kSupportAddress = 362;
constexpr int kArgumentsAddress = 363;

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
  HybridLink link(kSupportAddress);
  ASSERT_TRUE(link.ready());
  PrintHandle_t* handle = link.handle();
  handle->paperSupport = 0xFFFFFFFFu;
  handle->infoKind = 0;

  EXPECT_EQ(TiloCheckSupportPaperType(nullptr, handle), TILOPRN_SUCCESS);
  // Endorsement, validation and MICR.
  EXPECT_EQ(handle->paperSupport.load(), 0x7u);
  EXPECT_EQ(handle->infoKind.load(), 2);
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

}  // namespace
