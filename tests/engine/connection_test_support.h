#pragma once
// Shared by the tests of the open, the close, the shared connection list and
// the operations on an open connection: recorders for event and print result
// callbacks, and the emulator's log rendered as one text to search in order.
//
// Addresses (127.0.0.N): printer open 200-209, engine operations 210-224,
// shared connection list 225-239.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "engine/engine_ops.h"
#include "engine/event_callbacks.h"
#include "engine/print_handle.h"
#include "engine/status_monitor.h"
#include "kdpx_reply.h"

namespace connection_test {

using namespace tilo2::core;

inline constexpr auto kDeadline = std::chrono::seconds(30);

// Every event callback of every handle, in order, as {slot, value}.
struct EventRecord {
  PrintHandle_t* handle;
  int slot;
  uint32_t value;
};

class EventRecorder {
 public:
  static EventRecorder& Get() {
    static EventRecorder recorder;
    return recorder;
  }
  void Add(PrintHandle_t* handle, int slot, uint32_t value) {
    std::function<void(PrintHandle_t*, int)> hook;
    {
      std::lock_guard lock(mutex_);
      records_.push_back({handle, slot, value});
      hook = hook_;
    }
    changed_.notify_all();
    if (hook) hook(handle, slot);
  }
  std::vector<EventRecord> Records() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  std::vector<int> Slots() {
    std::vector<int> slots;
    for (const auto& r : Records()) slots.push_back(r.slot);
    return slots;
  }
  int Count(int slot) {
    int n = 0;
    for (const auto& r : Records()) n += r.slot == slot ? 1 : 0;
    return n;
  }
  bool WaitFor(int slot, int count = 1) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] {
      int n = 0;
      for (const auto& r : records_) n += r.slot == slot ? 1 : 0;
      return n >= count;
    });
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }
  // Runs on the callback's thread after each record.
  void SetHook(std::function<void(PrintHandle_t*, int)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<EventRecord> records_;
  std::function<void(PrintHandle_t*, int)> hook_;
};

template <int kSlot>
void OnEvent(TdcBackendEnv_t*, PrintHandle_t* handle, const char*, uint32_t value) {
  EventRecorder::Get().Add(handle, kSlot, value);
}

template <int... kSlots>
void RegisterSlots(PrintHandle_t* handle, std::integer_sequence<int, kSlots...>) {
  (SetEventCallback(handle, kSlots, &OnEvent<kSlots>), ...);
}

// Every event slot of the handle reports to the recorder.
inline void RecordEvents(PrintHandle_t* handle) {
  RegisterSlots(handle, std::make_integer_sequence<int, kEventSlotCount>{});
}

// Starts monitoring and returns once the monitor thread has raised the first
// report: it switches the events on before raising it, and its next cycle
// begins only after the report is out.
inline ::testing::AssertionResult StartMonitorAndWaitForReport(PrintHandle_t* handle) {
  if (const int started = TiloStartMonitor(nullptr, handle); started != 0) {
    return ::testing::AssertionFailure() << "TiloStartMonitor answered " << started;
  }
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  while (!IsCallbackEnabled(handle)) {
    if (std::chrono::steady_clock::now() > end) {
      return ::testing::AssertionFailure() << "no first report";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  WakeStatusMonitor(handle);
  return ::testing::AssertionSuccess();
}

struct PrintResult {
  PrintHandle_t* handle;
  int32_t code;
  uint32_t status;
};

class ResultRecorder {
 public:
  static ResultRecorder& Get() {
    static ResultRecorder recorder;
    return recorder;
  }
  static void OnPrintResult(PrintHandle_t* handle, const char*, int32_t code, uint32_t status,
                            int32_t, const char*) {
    Get().Add({handle, code, status});
  }
  void Add(PrintResult result) {
    {
      std::lock_guard lock(mutex_);
      results_.push_back(result);
    }
    changed_.notify_all();
  }
  bool WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeadline, [&] { return results_.size() >= count; });
  }
  std::vector<PrintResult> Results() {
    std::lock_guard lock(mutex_);
    return results_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    results_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PrintResult> results_;
};

inline void RecordResults(PrintHandle_t* handle) {
  SetResultCallback(handle, 0, reinterpret_cast<void*>(&ResultRecorder::OnPrintResult));
}

// The emulator's log from cursor on as one text: bytes into the printer as
// " 1B 3D 01", control requests as " [Q03000010]". Answers are left out.
inline std::string RenderLog(printer_emulator::PrinterEmulator& emulator, uint64_t& cursor) {
  std::string text;
  char buffer[16];
  for (const auto& entry : emulator.readLog(cursor)) {
    if (entry.fromPrinter) continue;
    if (entry.channel == printer_emulator::LogChannel::Udp) {
      const auto datagram = printer_emulator::parseKdpx(entry.bytes);
      if (!datagram) continue;
      std::snprintf(buffer, sizeof buffer, " [%c%08X]", datagram->type,
                    static_cast<unsigned>(datagram->command));
      text += buffer;
      continue;
    }
    for (uint8_t byte : entry.bytes) {
      std::snprintf(buffer, sizeof buffer, " %02X", byte);
      text += buffer;
    }
  }
  return text;
}

// Whether the pieces appear in the text in this order; names the first one
// missing.
inline ::testing::AssertionResult InOrder(const std::string& text,
                                          const std::vector<std::string>& pieces) {
  size_t at = 0;
  for (const auto& piece : pieces) {
    const size_t found = text.find(piece, at);
    if (found == std::string::npos) {
      return ::testing::AssertionFailure()
             << "\"" << piece << "\" missing after offset " << at << " in:" << text;
    }
    at = found + piece.size();
  }
  return ::testing::AssertionSuccess();
}

inline size_t Occurrences(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

using io_test::Eventually;

}  // namespace connection_test
