#pragma once
// Shared by the Printer tests: the emulator on the test's own address, a
// recorder of the Printer's events, log-line builders, and a reader of the
// record's command list.
//
// Addresses (io_test::address): 540-579.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../component/api_log_fixture.h"
#include "../io/io_test_support.h"
#include "device/device_types.h"
#include "foundation/lock_guard.h"
#include "orvik/tilo2/error_status.h"
#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/printer/printer.h"
#include "printer/printer_internal.h"

namespace printer_test {

using namespace ::Orvik::Tilo::Tilo2;
using namespace ::Orvik::Tilo::Tilo2::Printer;
using ::Orvik::Tilo::Tilo2::Printer::Printer;

constexpr auto kDeadline = std::chrono::seconds(30);

inline std::string Hex(const void* p) {
  char text[24];
  std::snprintf(text, sizeof text, "%016" PRIxPTR, reinterpret_cast<uintptr_t>(p));
  return text;
}

inline std::string ResultText(int32_t result) {
  if (result == 0) return "0";
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<uint32_t>(result));
  return text;
}

inline std::string Entry(const void* handle, const std::string& name, const std::string& args) {
  return "APIIO,->," + Hex(handle) + ",,," + name + "," + args;
}
inline std::string Exit(const void* handle, int32_t result, const std::string& name,
                        const std::string& args) {
  return "APIIO,<-," + Hex(handle) + ",," + ResultText(result) + "," + name + "," + args;
}
inline std::string PrinterName(const std::string& member) {
  return "Orvik::Tilo::Tilo2::Printer::Printer::" + member;
}

inline ::tilo2::core::TdcPrinter_t* RecordOf(const Printer& printer) {
  return ::Orvik::Tilo::Tilo2::detail::PrinterAccess::Record(printer);
}

// One command record of the list: its kind and its stored integer values.
struct StoredCommand {
  int32_t kind;
  std::vector<int32_t> values;
  bool operator==(const StoredCommand&) const = default;
};

// The command list read under its lock. Integer blocks only: the kinds this
// suite reads (lines, sound, feed position, layout, text attributes) store
// nothing else.
inline size_t IntCountOf(int32_t kind) {
  switch (kind) {
    case 19:
    case 20:
      return 0;
    case 7:
    case 13:
    case 17:
    case 18:
    case 23:
    case 27:
      return 2;
    case 16:
    case 28:
      return 3;
    case 8:
    case 21:
      return 4;
    case 24:
    case 25:
      return 5;
    case 31:
      return 7;
    case 3:
    case 12:
    case 14:
    case 15:
    case 29:
      return 0;  // text, image, barcode, symbol, raw bytes: not integer blocks
    default:
      return 1;
  }
}

inline std::vector<StoredCommand> ReadCommands(const Printer& printer) {
  std::vector<StoredCommand> out;
  ::tilo2::core::TdcPrinter_t* record = RecordOf(printer);
  if (record == nullptr) return out;
  ::tilo2::core::TdcCommandList_t& list = record->commands.commandList;
  ::tilo2::core::PlatformLockGuard guard(list.lock);
  for (const ::tilo2::core::TdcCommand_t* node = list.head; node != nullptr; node = node->next) {
    StoredCommand command{node->kind, {}};
    const auto* ints = static_cast<const int32_t*>(node->args);
    for (size_t i = 0; i < IntCountOf(node->kind); ++i) command.values.push_back(ints[i]);
    out.push_back(std::move(command));
  }
  return out;
}

inline int32_t PageMode(const Printer& printer) { return RecordOf(printer)->pageMode; }

// The HRESULT an operation or call failed with; 0 when it succeeded.
template <class F>
int32_t HResultOf(F&& f) {
  try {
    f();
  } catch (const RuntimeException& e) {
    return e.HResult();
  }
  return 0;
}

// How an operation ended: 0, or its HRESULT. Read from the operation rather
// than by catching what get() throws: the exception object is shared with the
// pool thread that drops the chain's last reference to it, a hand-over that
// ThreadSanitizer cannot see inside the uninstrumented runtime library.
template <class Handle>
int32_t ResultOf(const Handle& operation) {
  operation.wait();
  return operation.Status() == AsyncStatus::Completed ? 0 : operation.ErrorCode();
}

// What a Printer raised, with the thread each ran on.
class EventRecorder {
 public:
  struct Result {
    CallbackCode code;
    std::shared_ptr<const PrinterStatusInfo> status;
    std::string printJobId;
    std::thread::id thread;
  };
  struct Status {
    EventType type;
    std::thread::id thread;
  };

  void Attach(Printer& printer) {
    printer.Received([this](const std::shared_ptr<Printer>&,
                            const std::shared_ptr<const ReceivedEventArgs>& args) {
      std::lock_guard lock(mutex_);
      results_.push_back(
          {args->Code(), args->Status(), args->PrintJobId().utf8(), std::this_thread::get_id()});
      changed_.notify_all();
    });
    printer.StatusChanged([this](const std::shared_ptr<Printer>&,
                                 const std::shared_ptr<const StatusChangedEventArgs>& args) {
      std::lock_guard lock(mutex_);
      statuses_.push_back({args->EventType(), std::this_thread::get_id()});
      changed_.notify_all();
    });
  }

  bool WaitResults(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return results_.size() >= count; });
  }
  bool WaitStatus(EventType type) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] {
      return std::any_of(statuses_.begin(), statuses_.end(),
                         [&](const Status& s) { return s.type == type; });
    });
  }
  std::vector<Result> Results() {
    std::lock_guard lock(mutex_);
    return results_;
  }
  std::vector<Status> Statuses() {
    std::lock_guard lock(mutex_);
    return statuses_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Result> results_;
  std::vector<Status> statuses_;
};

using io_test::Count;
using io_test::Eventually;
using io_test::PrinterBytes;

// The log fixture with an emulator on the test's address, started on demand.
class PrinterTest : public ApiLogTest {
 protected:
  void TearDown() override {
    printers_.clear();
    if (emulator_) emulator_->stop();
    ApiLogTest::TearDown();
  }

  void Start(int n) {
    emulator_ = io_test::startEmulator(n);
    ASSERT_NE(emulator_, nullptr);
    target_ = "TCP:" + io_test::address(n);
  }

  std::shared_ptr<Printer> NewPrinter(Series series = Series::RP_S3) {
    auto printer = Printer::Create(series, ModelLang::Ank);
    printers_.push_back(printer);
    return printer;
  }

  // A connected RP_S3 printer whose events go to recorder_.
  std::shared_ptr<Printer> Connected(int n) {
    Start(n);
    auto printer = NewPrinter();
    recorder_.Attach(*printer);
    printer->ConnectAsync(String(target_), 10000).get();
    return printer;
  }

  // The "APIIO" lines naming `name`.
  std::vector<std::string> LinesOf(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& body : ApiBodies()) {
      if (body.find("," + name + ",") != std::string::npos) out.push_back(body);
    }
    return out;
  }
  // The last of them; "" when there is none (a missing line fails the comparison).
  std::string LastLineOf(const std::string& name) const {
    const std::vector<std::string> lines = LinesOf(name);
    return lines.empty() ? std::string() : lines.back();
  }

  EventRecorder recorder_;  // outlives the printers: their events reach it
  std::unique_ptr<printer_emulator::PrinterEmulator> emulator_;
  std::string target_;
  std::vector<std::shared_ptr<Printer>> printers_;
};

}  // namespace printer_test
