#pragma once
// Shared by the hybrid send and hybrid operation tests: an emulated printer
// whose automatic status is a hybrid printer's, a handle that analyses
// replies as while the monitor runs, and a recorder of hybrid results.
//
// Addresses: io_test::address(340) to address(379); the send chain 340-359,
// the operations 360-379.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "engine/event_callbacks.h"
#include "engine/exchange.h"
#include "engine/job_wait.h"
#include "engine/print_handle.h"
#include "engine/reply_analysis.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "engine_test_support.h"
#include "foundation/lock_guard.h"

namespace hybrid_test {

using namespace tilo2::core;
using Bytes = std::vector<uint8_t>;
using Asb = std::array<uint8_t, 4>;

inline constexpr auto kDeadline = std::chrono::seconds(20);

// Hybrid automatic status: no sheet in the slip or the validation path.
inline constexpr Asb kIdle = {0x10, 0x00, 0x00, 0x0A};
inline constexpr Asb kSlipSheetIn = {0x10, 0x00, 0x00, 0x08};
inline constexpr Asb kValidationSheetIn = {0x10, 0x00, 0x00, 0x02};
inline constexpr Asb kInsertionWait = {0x10, 0x00, 0x02, 0x0A};
inline constexpr Asb kRemovalWait = {0x10, 0x00, 0x08, 0x0A};

struct HybridOutcome {
  PrintHandle_t* handle;
  int32_t code;
  uint32_t status;
  int32_t method;
  std::optional<std::string> data;
  std::chrono::steady_clock::time_point when;
};

class HybridRecorder {
 public:
  static HybridRecorder& Get() {
    static HybridRecorder recorder;
    return recorder;
  }
  static void OnResult(PrintHandle_t* handle, const char*, int32_t code, uint32_t status,
                       int32_t method, const char* data) {
    Get().Add({handle, code, status, method,
               data != nullptr ? std::optional<std::string>(data) : std::nullopt,
               std::chrono::steady_clock::now()});
  }
  void Add(HybridOutcome result) {
    {
      std::lock_guard lock(mutex_);
      results_.push_back(std::move(result));
    }
    changed_.notify_all();
  }
  // The results of the handle once there are count of them (or fewer at the deadline).
  std::vector<HybridOutcome> WaitFor(PrintHandle_t* handle, size_t count,
                                     std::chrono::milliseconds limit = kDeadline) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return Of(handle).size() >= count; });
    return Of(handle);
  }
  std::vector<HybridOutcome> Results(PrintHandle_t* handle) {
    std::lock_guard lock(mutex_);
    return Of(handle);
  }
  void Forget(PrintHandle_t* handle) {
    std::lock_guard lock(mutex_);
    std::erase_if(results_, [&](const HybridOutcome& r) { return r.handle == handle; });
  }

 private:
  std::vector<HybridOutcome> Of(PrintHandle_t* handle) const {
    std::vector<HybridOutcome> out;
    for (const auto& r : results_) {
      if (r.handle == handle) out.push_back(r);
    }
    return out;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<HybridOutcome> results_;
};

using io_test::Eventually;

// The emulated hybrid printer on one address, its status switched on and
// taken in, the hybrid result callback recorded.
class HybridLink {
 public:
  // The receipt profile shows exactly the status given; the hybrid profile
  // starts from it and then follows what the printer is asked to do.
  explicit HybridLink(int n, Asb status = kIdle,
                      printer_emulator::Profile profile = printer_emulator::Profile::Receipt)
      : printer_(n, profile) {
    if (!printer_.ok()) return;
    PrintHandle_t* h = handle();
    h->monitorWanted = 1;
    h->replyHandler = AnalyzeResponse;
    SetNeedRecover(h, 0);
    SetResultCallback(h, RESULT_HYBRID, reinterpret_cast<void*>(&HybridRecorder::OnResult));
    const bool fixed = profile != printer_emulator::Profile::Hybrid || status != kIdle;
    if (fixed) SetStatus(status);
    ready_ = SendAsbEnable(h) == 0 && WaitForStatus(status);
  }
  ~HybridLink() {
    PrintHandle_t* h = handle();
    if (h == nullptr) return;
    // Every job wait ends before the queue it polls goes away.
    EXPECT_TRUE(Eventually([&] { return h->jobCount.load() == 0; })) << "a job wait never ended";
    // The last wait thread lowers the count under the job-list lock.
    { PlatformLockGuard settled(h->jobListLock); }
    HybridRecorder::Get().Forget(h);
    printer_.Close();
  }
  HybridLink(const HybridLink&) = delete;
  HybridLink& operator=(const HybridLink&) = delete;

  bool ready() const { return ready_; }
  PrintHandle_t* handle() const { return printer_.handle(); }
  engine_test::EmulatedPrinter& printer() { return printer_; }
  printer_emulator::PrinterEmulator& emulator() const { return printer_.emulator(); }

  // The printer's automatic status from now on.
  void SetStatus(Asb status) {
    printer_.WithModel([&](printer_emulator::PrinterModel& m) { m.setAsbOverride(status); });
  }
  // Reads what the printer sent until the handle holds this status.
  bool WaitForStatus(Asb status) {
    return Eventually([&] {
      ReadPending();
      uint8_t raw[4];
      GetRawAsb(handle(), raw);
      return Asb{raw[0], raw[1], raw[2], raw[3]} == status;
    });
  }
  // Whether needle arrives on the data port after the first `from` bytes; a
  // write the engine has finished may not have been taken in yet.
  bool Arrives(const Bytes& needle, size_t from) const {
    return Eventually([&] {
      const Bytes wire = emulator().tcpBytes();
      return wire.size() > from &&
             engine_test::FindBytes(Bytes(wire.begin() + static_cast<long>(from), wire.end()),
                                    needle) != std::string::npos;
    });
  }
  void ReadPending() {
    ReplyWaitContext replies{};
    replies.handle = handle();
    StepContext_t context{};
    context.replyWait = &replies;
    printer_.RunStep(CheckAsb, context, "CheckAsb");
  }

 private:
  engine_test::EmulatedPrinter printer_;
  bool ready_ = false;
};

}  // namespace hybrid_test
