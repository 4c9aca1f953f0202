#pragma once
// Shared by the engine tests that talk to a printer: the printer emulator on
// one loopback address, a print handle whose TCP connection is open to it, and
// the handle's request queue with its thread running, all torn down in order.
//
// Addresses (127.0.0.N) of the engine tests: exchange, status steps, recovery
// and the hybrid initialisation 130-159. Each test takes one of its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../io/io_test_support.h"
#include "engine/print_handle.h"
#include "engine/request_queue.h"
#include "engine/step_context.h"
#include "io/connection_interface.h"
#include "printer_emulator.h"

namespace engine_test {

using namespace tilo2::core;

// The emulator on 127.0.0.N and a handle connected to it over TCP, with its
// queue running. Check ok() (or ASSERT_TRUE on it) before using the handle.
class EmulatedPrinter {
 public:
  explicit EmulatedPrinter(int n,
                           printer_emulator::Profile profile = printer_emulator::Profile::Receipt)
      : address_(io_test::address(n)) {
    emulator_ = io_test::startEmulator(n);
    if (!emulator_) return;
    emulator_->state().setProfile(profile);
    if (TiloCreateHandle(&handle_) != 0) {
      ADD_FAILURE() << "TiloCreateHandle";
      handle_ = nullptr;
      return;
    }
    EXPECT_NE(handle_->replyHandler.load(), nullptr) << "a new handle records replies";
    TiloIoConnection_t* connection = nullptr;
    const int opened = TiloIoOpen(nullptr, &connection, TILOIO_TYPE_TCP, address_.c_str(), 15000);
    if (opened != 0) {
      ADD_FAILURE() << "TiloIoOpen " << address_ << ": " << opened;
      return;
    }
    handle_->connection = connection;
    handle_->connectionType = TILOIO_KIND_TCP;
    handle_->address = ::strdup(address_.c_str());
    queue_ = createQueue(nullptr, handle_);
    if (queue_ == nullptr) {
      ADD_FAILURE() << "createQueue";
      return;
    }
    handle_->queue = queue_;
    if (startThread(queue_) != 0) {
      ADD_FAILURE() << "startThread";
      return;
    }
    threadRunning_ = true;
    // The emulator counts the client once it accepted it.
    emulator_->waitForClient(std::chrono::seconds(5));
  }

  ~EmulatedPrinter() { Close(); }
  EmulatedPrinter(const EmulatedPrinter&) = delete;
  EmulatedPrinter& operator=(const EmulatedPrinter&) = delete;

  // Stop the thread, destroy the queue, close the connection, destroy the handle.
  void Close() {
    if (queue_ != nullptr) {
      if (threadRunning_) {
        if (!queue_isStopped(queue_)) signalThread(queue_);
        stopThread(queue_);
        threadRunning_ = false;
      }
      destroyQueue(queue_);
      queue_ = nullptr;
      if (handle_ != nullptr) handle_->queue = nullptr;
    }
    if (handle_ != nullptr) {
      if (handle_->connection != nullptr) {
        TiloIoClose(handle_->connection);
        handle_->connection = nullptr;
      }
      std::free(handle_->address);
      handle_->address = nullptr;
      TiloDestroyHandle(handle_);
      handle_ = nullptr;
    }
    if (emulator_) {
      emulator_->stop();
      emulator_.reset();
    }
  }

  bool ok() const {
    return emulator_ && handle_ != nullptr && handle_->connection != nullptr && threadRunning_;
  }
  PrintHandle_t* handle() const { return handle_; }
  RequestQueue_t* queue() const { return queue_; }
  printer_emulator::PrinterEmulator& emulator() const { return *emulator_; }
  printer_emulator::PrinterState& state() const { return emulator_->state(); }
  const std::string& address() const { return address_; }

  // Runs fn on the printer model under the state's lock.
  void WithModel(const std::function<void(printer_emulator::PrinterModel&)>& fn) const {
    emulator_->state().withModel(fn);
  }

  // Runs the step standalone on the handle's queue thread and waits for it;
  // the context's handle is filled in when it is null. Returns the step's
  // result, or the push failure.
  int32_t RunStep(StepFunc step, StepContext_t context = {}, const char* name = "TestStep") const {
    if (context.handle == nullptr) context.handle = handle_;
    int32_t result = -1;
    const int pushed = RunStandaloneStep(queue_, &context, step, name, &result);
    return pushed != 0 ? pushed : result;
  }

  // Runs fn on the handle's queue thread, where every exchange runs, as a
  // standalone step, and waits for it; fn's result, or the push failure.
  int32_t OnQueue(const std::function<int32_t()>& fn) const {
    StepContext_t context{};
    context.handle = handle_;
    // The step finds fn through a context field no step of these tests reads.
    context.sendData = reinterpret_cast<uint8_t*>(const_cast<std::function<int32_t()>*>(&fn));
    return RunStep(&CallFunction, context, "TestFunction");
  }

  // Everything that came in on the data port so far; with atLeast, once that
  // many bytes came (or after five seconds).
  std::vector<uint8_t> DataBytes(size_t atLeast = 0) const {
    if (atLeast > 0) emulator_->waitForTcpBytes(atLeast, std::chrono::seconds(5));
    return emulator_->tcpBytes();
  }

 private:
  static int32_t CallFunction(StepContext_t* context) {
    return (*reinterpret_cast<std::function<int32_t()>*>(context->sendData))();
  }

  std::string address_;
  std::unique_ptr<printer_emulator::PrinterEmulator> emulator_;
  PrintHandle_t* handle_ = nullptr;
  RequestQueue_t* queue_ = nullptr;
  bool threadRunning_ = false;
};

// Counts how often needle occurs in haystack.
inline size_t CountBytes(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
  if (needle.empty() || haystack.size() < needle.size()) return 0;
  size_t found = 0;
  for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (std::equal(needle.begin(), needle.end(), haystack.begin() + static_cast<long>(i))) ++found;
  }
  return found;
}

// Position of the first occurrence of needle at or after from; npos when none.
inline size_t FindBytes(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle,
                        size_t from = 0) {
  if (needle.empty()) return std::string::npos;
  for (size_t i = from; i + needle.size() <= haystack.size(); ++i) {
    if (std::equal(needle.begin(), needle.end(), haystack.begin() + static_cast<long>(i))) return i;
  }
  return std::string::npos;
}

}  // namespace engine_test
