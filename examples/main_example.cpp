// Prints a small receipt to a network printer: builds the job with the printer
// command builder and sends it over a direct TCP connection (data port 9100,
// owner check over the UDP control port 3289).
//
// Without arguments it starts the bundled printer emulator on a loopback
// address and prints to it, so the example runs anywhere:
//     tilo2_example                 # prints to an emulator on 127.0.0.250
//     tilo2_example 127.0.0.9       # prints to a printer (or emulator) there
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "encoding/builder/cmd_data.h"
#include "encoding/printer/prn_cmd.h"
#include "io/connection_interface.h"
#include "orvik/tilo2/version.h"
#include "printer_emulator.h"
#include "transcript.h"

using namespace tilo2::core;

namespace {

constexpr const char* kEmulatorAddress = "127.0.0.250";

struct BuilderCloser {
  void operator()(PrnCmdHandle_t* b) const { PrnCmdClose(b); }
};
struct DataFreer {
  void operator()(CmdData_t* d) const { CmdDataFree(d); }
};

int fail(const char* what, int rc) {
  std::fprintf(stderr, "%s failed: %d\n", what, rc);
  return 1;
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

  // The job: a receipt for the "RP-S3" model in the default language.
  PrnCmdHandle_t* raw = nullptr;
  if (int rc = PrnCmdOpen("RP-S3", kPrnLangAnk, &raw); rc != 0) return fail("PrnCmdOpen", rc);
  std::unique_ptr<PrnCmdHandle_t, BuilderCloser> builder(raw);
  PrnCmdHandle_t* b = builder.get();
  b->headerWanted = 1;
  b->trailerWanted = 1;
  std::memcpy(b->processId, "0001", 4);

  b->ops.align->align(b, 1);  // centre
  b->ops.text->doubleWidth(b, 1);
  PrnCmdAddText(b, "CAFE ORVIK\n");
  b->ops.text->doubleWidth(b, 0);
  b->ops.align->align(b, 0);  // left
  PrnCmdAddText(b, "Espresso            2.40\n");
  PrnCmdAddText(b, "Croissant           1.90\n");
  PrnCmdAddText(b, "Crème brûlée        4.50\n");
  b->ops.text->emphasis(b, 1);
  PrnCmdAddText(b, "TOTAL              €8.80\n");
  b->ops.text->emphasis(b, 0);
  b->ops.feed->feedLine(b, 3);
  PrnCmdAddCut(b, 1);

  CmdData_t* rawData = nullptr;
  if (int rc = PrnCmdBuild(b, &rawData); rc != 0) return fail("PrnCmdBuild", rc);
  std::unique_ptr<CmdData_t, DataFreer> data(rawData);
  const uint8_t* bytes = nullptr;
  uint32_t length = 0;
  CmdDataGetData(data.get(), &bytes);
  CmdDataGetLength(data.get(), &length);

  // Send it.
  TiloIoConnection_t* connection = nullptr;
  if (int rc = TiloIoOpen(nullptr, &connection, TILOIO_TYPE_TCP, address.c_str(), 15000); rc != 0)
    return fail("TiloIoOpen", rc);
  size_t written = 0;
  const int writeRc = TiloIoWrite(connection, bytes, length, 10000, &written);
  TiloIoClose(connection);
  if (writeRc != 0) return fail("TiloIoWrite", writeRc);
  std::printf("sent a %u-byte receipt job to %s (%zu bytes written)\n", length, address.c_str(),
              written);

  if (emulator) {
    if (!emulator->waitForTcpBytes(length, std::chrono::seconds(10)))
      return fail("emulator receive", -1);
    // Show what the printer understood of the job and what it answered; the
    // job end comes once everything before it is printed.
    std::printf("the printer emulator received %zu bytes:\n", emulator->tcpBytes().size());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() < deadline) {
      for (const auto& event : emulator->takeTranscript()) {
        std::printf("  %s\n", printer_emulator::formatEvent(event).c_str());
        ended = ended || (event.kind == printer_emulator::ModelEvent::Kind::Reply &&
                          event.label == "[job end]");
      }
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return 0;
}
