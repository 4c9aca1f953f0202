// Prints a small receipt to a network printer through the print engine: the
// connection is taken from the shared connection list (data port 9100, owner
// check over the UDP control port 3289), the job is built with the builder
// operations and sent with TiloSendData, and the result callback reports the
// job's outcome and the printer's status word once the printer has printed it.
//
// Without arguments it starts the bundled printer emulator on a loopback
// address and prints to it, so the example runs anywhere:
//     tilo2_example                 # prints to an emulator on 127.0.0.250
//     tilo2_example 127.0.0.9       # prints to a printer (or emulator) there
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "engine/builder_ops.h"
#include "engine/builder_records.h"
#include "engine/engine_ops.h"
#include "engine/event_callbacks.h"
#include "engine/shared_connection.h"
#include "orvik/tilo2/version.h"
#include "printer_emulator.h"
#include "transcript.h"

using namespace tilo2::core;

namespace {

constexpr const char* kEmulatorAddress = "127.0.0.250";
constexpr uint32_t kPrinterUser = 1;
constexpr int32_t kTcp = 0;

// The result callback runs on the job's own wait thread.
struct JobOutcome {
  std::mutex mutex;
  std::condition_variable done;
  bool arrived = false;
  int32_t code = -1;
  uint32_t status = 0;
} outcome;

void OnPrintResult(PrintHandle_t*, const char*, int32_t code, uint32_t status, int32_t,
                   const char*) {
  std::lock_guard lock(outcome.mutex);
  outcome.arrived = true;
  outcome.code = code;
  outcome.status = status;
  outcome.done.notify_all();
}

int Fail(const char* what, int rc) {
  std::fprintf(stderr, "%s failed: %d\n", what, rc);
  return 1;
}

// The receipt, through the same operations the printer class replays a job into.
int AddReceipt(PrinterBuilder_t* b) {
  const int steps[] = {
      TiloAddTextAlign(b, 1),  // centre
      TiloAddTextSize(b, 2, 2),
      TiloAddText(b, "CAFE ORVIK\n"),
      TiloAddTextSize(b, 1, 1),
      TiloAddTextAlign(b, 0),
      TiloAddText(b, "Espresso            2.40\n"),
      TiloAddText(b, "Croissant           1.90\n"),
      TiloAddText(b, "Crème brûlée        4.50\n"),
      TiloAddTextStyle(b, -1, -1, 1, -1),  // bold
      TiloAddText(b, "TOTAL              €8.80\n"),
      TiloAddTextStyle(b, -1, -1, 0, -1),
      TiloAddFeedLine(b, 3),
      TiloAddCut(b, 1),
  };
  for (int rc : steps) {
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("Tilo2 SDK %s\n", Orvik::Tilo::Tilo2::kSdkVersion);
  const bool useEmulator = argc < 2;
  const std::string address = useEmulator ? kEmulatorAddress : argv[1];

  std::unique_ptr<printer_emulator::PrinterEmulator> emulator;
  if (useEmulator) {
    printer_emulator::Options options;
    options.address = address;
    emulator = std::make_unique<printer_emulator::PrinterEmulator>(options);
    std::string error;
    if (!emulator->start(&error)) {
      std::fprintf(stderr, "printer emulator: %s\n", error.c_str());
      return 1;
    }
  }

  PrinterBuilder_t* builder = nullptr;
  if (int rc = TiloCreateBuilder(&builder, "RP-S3", kPrnLangAnk); rc != 0) {
    return Fail("TiloCreateBuilder", rc);
  }
  if (int rc = AddReceipt(builder); rc != 0) return Fail("the builder operations", rc);

  PrintHandle_t* handle = nullptr;
  if (int rc =
          AcquireSharedConnection(nullptr, kPrinterUser, kTcp, address.c_str(), 15000, &handle);
      rc != 0) {
    return Fail("AcquireSharedConnection", rc);
  }
  SetResultCallback(handle, 0, reinterpret_cast<void*>(&OnPrintResult));
  TiloAttachBuilder(handle, builder);
  if (int rc = TiloSendData(nullptr, handle, builder, 10000); rc != 0) {
    return Fail("TiloSendData", rc);
  }
  std::printf("queued a receipt job to %s\n", address.c_str());

  {
    std::unique_lock lock(outcome.mutex);
    if (!outcome.done.wait_for(lock, std::chrono::seconds(30), [] { return outcome.arrived; })) {
      return Fail("waiting for the print result", -1);
    }
  }
  std::printf("print result: code %d (%s), status word %08Xh\n", outcome.code,
              outcome.code == 0 ? "printed" : "failed", outcome.status);

  const int released = ReleaseSharedConnection(nullptr, kPrinterUser, handle);
  TiloDestroyBuilder(builder);
  if (released != 0) return Fail("ReleaseSharedConnection", released);

  if (emulator) {
    // What the printer understood of the whole conversation (the engine's
    // status queries included) and what it answered.
    std::printf("the printer emulator's transcript:\n");
    for (const auto& event : emulator->takeTranscript()) {
      std::printf("  %s\n", printer_emulator::formatEvent(event).c_str());
    }
  }
  return outcome.code == 0 ? 0 : 1;
}
