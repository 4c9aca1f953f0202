// Print handle lifetime, the list of valid handles and the field accessors.

#include "engine/print_handle.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "engine/print_result.h"

using namespace tilo2::core;

namespace {

TEST(PrintHandle, CreateSetsTheStartingValuesAndJoinsTheList) {
  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(TiloCreateHandle(&handle), 0);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(CheckHandleList(handle));
  for (uint8_t byte : handle->rawAsb) EXPECT_EQ(byte, 0xFF);
  EXPECT_EQ(handle->statusFlags.load(), 0xFFFFFFFFu);
  EXPECT_EQ(handle->battery, -1);
  EXPECT_EQ(GetNeedRecover(handle), 1);
  EXPECT_EQ(handle->modelId.load(), 0xFF);
  EXPECT_EQ(handle->paperSupport.load(), 0xFFFFFFFFu);
  EXPECT_EQ(handle->callbacksEnabled, 1);
  EXPECT_EQ(GetMonitorInterval(handle), 3000);
  EXPECT_NE(handle->internalBuilder, nullptr);
  EXPECT_EQ(handle->connection, nullptr);
  EXPECT_EQ(handle->queue, nullptr);
  EXPECT_EQ(handle->jobCount.load(), 0);
  EXPECT_FALSE(IsConnectionOpen(handle));
  ASSERT_EQ(TiloDestroyHandle(handle), 0);
  EXPECT_FALSE(CheckHandleList(handle));
}

TEST(PrintHandle, UnknownOrNullHandlesAreRefused) {
  EXPECT_EQ(TiloCreateHandle(nullptr), 1);
  EXPECT_FALSE(CheckHandleList(nullptr));
  PrintHandle_t stranger{};
  EXPECT_FALSE(CheckHandleList(&stranger));
  EXPECT_EQ(TiloDestroyHandle(&stranger), 1);
  EXPECT_EQ(TiloDestroyHandle(nullptr), 1);
  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(TiloCreateHandle(&handle), 0);
  ASSERT_EQ(TiloDestroyHandle(handle), 0);
  EXPECT_EQ(TiloDestroyHandle(handle), 1) << "a second destroy finds it gone";
  EXPECT_EQ(GetNeedRecover(nullptr), 0);
  SetNeedRecover(nullptr, 1);
  SetSendingBuilder(nullptr, nullptr);
}

TEST(PrintHandle, ListTracksEveryHandleUnderConcurrentCreateAndDestroy) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kRounds; ++i) {
        PrintHandle_t* handle = nullptr;
        ASSERT_EQ(TiloCreateHandle(&handle), 0);
        EXPECT_TRUE(CheckHandleList(handle));
        SetNeedRecover(handle, 0);
        EXPECT_EQ(GetNeedRecover(handle), 0);
        EXPECT_EQ(TiloDestroyHandle(handle), 0);
      }
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST(PrintHandle, SendingBuilderOutlivesItsReplacementWhileAReaderHoldsIt) {
  PrintHandle_t* handle = nullptr;
  ASSERT_EQ(TiloCreateHandle(&handle), 0);
  PrnCmdHandle_t* raw = nullptr;
  ASSERT_EQ(PrnCmdOpen("RP-S3", 0, &raw), 0);
  SetSendingBuilder(handle, MakeSharedPrnBuilder(raw));
  SharedPrnBuilder held = GetSendingBuilder(handle);
  ASSERT_EQ(held.get(), raw);
  SetSendingBuilder(handle, nullptr);
  EXPECT_EQ(GetSendingBuilder(handle), nullptr);
  // Still usable: the reader's reference keeps it open.
  EXPECT_EQ(PrnCmdClear(held.get()), 0);
  held.reset();
  ASSERT_EQ(TiloDestroyHandle(handle), 0);
}

}  // namespace
