// The port-error report: the result callback runs on a thread of its own
// with the engine's I/O-error result, and the post returns only after it.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/target.h"

using namespace tilo2::core;

namespace {

struct Call {
  std::thread::id thread;
  PrintHandle_t* handle = nullptr;
  std::optional<std::string> address;
  const char* addressPointer = nullptr;
  int32_t code = -1;
  uint32_t statusFlags = 0;
  int32_t battery = -1;
  const char* jobId = "unset";
  bool display = false;
};

std::mutex callsMutex;
std::vector<Call> calls;

void Record(Call call) {
  std::lock_guard lock(callsMutex);
  calls.push_back(std::move(call));
}

std::vector<Call> TakeCalls() {
  std::lock_guard lock(callsMutex);
  return std::exchange(calls, {});
}

void OnPrintResult(PrintHandle_t* handle, const char* address, int32_t code, uint32_t statusFlags,
                   int32_t battery, const char* jobId) {
  Call call;
  call.thread = std::this_thread::get_id();
  call.handle = handle;
  if (address != nullptr) call.address = address;
  call.addressPointer = address;
  call.code = code;
  call.statusFlags = statusFlags;
  call.battery = battery;
  call.jobId = jobId;
  Record(call);
}

void OnDisplayResult(PrintHandle_t* handle, const char* address, int32_t code) {
  Call call;
  call.thread = std::this_thread::get_id();
  call.handle = handle;
  if (address != nullptr) call.address = address;
  call.addressPointer = address;
  call.code = code;
  call.display = true;
  Record(call);
}

// Never dereferenced: the report only hands the handle on.
PrintHandle_t* FakeHandle(int& storage) { return reinterpret_cast<PrintHandle_t*>(&storage); }

class PortErrorReport : public ::testing::Test {
 protected:
  void SetUp() override { TakeCalls(); }
  int handleStorage_ = 0;
  PrintHandle_t* handle_ = FakeHandle(handleStorage_);
};

TEST_F(PortErrorReport, PrintResultOnAnotherThreadBeforeThePostReturns) {
  std::string address = "127.0.1.174";
  ASSERT_EQ(TdcPostPortErrorResult(handle_, address.c_str(), TDC_PORT_ERROR_PRINT,
                                   reinterpret_cast<void*>(&OnPrintResult)),
            0);
  // Taken without waiting: the post must not return before the callback ran.
  const std::vector<Call> seen = TakeCalls();
  ASSERT_EQ(seen.size(), 1u);
  const Call& call = seen[0];
  EXPECT_NE(call.thread, std::this_thread::get_id());
  EXPECT_EQ(call.handle, handle_);
  EXPECT_EQ(call.address, address);
  EXPECT_NE(call.addressPointer, address.c_str()) << "the report hands on its own copy";
  EXPECT_EQ(call.code, 3);
  EXPECT_EQ(call.statusFlags, 1u);
  EXPECT_EQ(call.battery, 0);
  EXPECT_EQ(call.jobId, nullptr);
}

TEST_F(PortErrorReport, DisplayResultCarriesCodeThreeOnly) {
  ASSERT_EQ(TdcPostPortErrorResult(handle_, "127.0.1.175", TDC_PORT_ERROR_DISPLAY,
                                   reinterpret_cast<void*>(&OnDisplayResult)),
            0);
  const std::vector<Call> seen = TakeCalls();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].display);
  EXPECT_NE(seen[0].thread, std::this_thread::get_id());
  EXPECT_EQ(seen[0].handle, handle_);
  EXPECT_EQ(seen[0].address, "127.0.1.175");
  EXPECT_EQ(seen[0].code, 3);
}

TEST_F(PortErrorReport, NullAddressIsHandedOnAsNull) {
  ASSERT_EQ(TdcPostPortErrorResult(handle_, nullptr, TDC_PORT_ERROR_PRINT,
                                   reinterpret_cast<void*>(&OnPrintResult)),
            0);
  const std::vector<Call> seen = TakeCalls();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].addressPointer, nullptr);
  EXPECT_EQ(seen[0].code, 3);
}

TEST_F(PortErrorReport, UnknownKindCallsNothing) {
  for (const int32_t kind : {0, 3, -1}) {
    EXPECT_EQ(TdcPostPortErrorResult(handle_, "a", kind, reinterpret_cast<void*>(&OnPrintResult)),
              0)
        << kind;
  }
  EXPECT_TRUE(TakeCalls().empty());
}

TEST_F(PortErrorReport, NullHandleOrCallbackIsAParameterError) {
  EXPECT_EQ(TdcPostPortErrorResult(nullptr, "a", TDC_PORT_ERROR_PRINT,
                                   reinterpret_cast<void*>(&OnPrintResult)),
            1);
  EXPECT_EQ(TdcPostPortErrorResult(handle_, "a", TDC_PORT_ERROR_PRINT, nullptr), 1);
  EXPECT_TRUE(TakeCalls().empty());
}

// Sends of several records may hit vanished connections at once: every post
// gets exactly its own report, with its own address.
TEST_F(PortErrorReport, ConcurrentPostsEachReportTheirOwnResult) {
  constexpr int kThreads = 8;
  std::vector<int> storage(kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const std::string address = "host-" + std::to_string(i);
      if (TdcPostPortErrorResult(FakeHandle(storage[i]), address.c_str(), TDC_PORT_ERROR_PRINT,
                                 reinterpret_cast<void*>(&OnPrintResult)) != 0) {
        ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  const std::vector<Call> seen = TakeCalls();
  ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads));
  for (const Call& call : seen) {
    const auto index = reinterpret_cast<int*>(call.handle) - storage.data();
    ASSERT_GE(index, 0);
    ASSERT_LT(index, kThreads);
    EXPECT_EQ(call.address, "host-" + std::to_string(index));
  }
}

// The thread procedure on its own, as the platform thread runs it.
TEST_F(PortErrorReport, ThreadProcedureCallsByKind) {
  TdcPortErrorJob_t job{handle_, nullptr, nullptr, TDC_PORT_ERROR_DISPLAY,
                        reinterpret_cast<void*>(&OnDisplayResult)};
  EXPECT_EQ(TdcPortErrorResultThread(&job), nullptr);
  const std::vector<Call> seen = TakeCalls();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].display);
  EXPECT_EQ(seen[0].thread, std::this_thread::get_id());
}

}  // namespace
