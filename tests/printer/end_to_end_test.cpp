// The main road in one process: the print-receipt example's receipt, built
// through the public Printer, sent to the printer emulator on loopback, its
// result heard as the Received event, and the bytes the printer received
// compared with what the command builder makes of the same commands.
// Addresses 584-599.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../../examples/print-receipt/receipt.h"
#include "../io/io_test_support.h"
#include "encoding/builder/cmd_data.h"
#include "encoding/printer/prn_cmd.h"
#include "engine/builder_ops.h"
#include "engine/builder_records.h"
#include "orvik/tilo2/callback_code.h"
#include "orvik/tilo2/printer/printer.h"
#include "transcript.h"

namespace {

using namespace std::chrono_literals;
namespace tilo = Orvik::Tilo::Tilo2;
namespace prn = Orvik::Tilo::Tilo2::Printer;
using Bytes = std::vector<uint8_t>;

// The receipt of examples/print-receipt/receipt.h, one builder operation per
// Add call, with the values the device layer's tables give the public
// members: Center 1, Left 0; Unspecified -1, True 1, False 0; Color1 1, Mono 0,
// Threshold 2, Compression None 0; EAN13 2, Below 2, FontA 0; QR model 2 is
// 3 and level M 10; Cut Feed 1.
Bytes BuilderJob(const char jobId[4]) {
  PrinterBuilder_t* b = nullptr;
  EXPECT_EQ(TiloCreateBuilder(&b, "RP-S3B", 0), 0);
  if (b == nullptr) return {};
  // The image as the printer class hands it on: BGR rows flattened on white.
  const Bytes bgra = receipt::DrawLogo();
  Bytes bgr;
  for (size_t i = 0; i < bgra.size(); i += 4)
    bgr.insert(bgr.end(), {bgra[i], bgra[i + 1], bgra[i + 2]});
  const int w = receipt::kLogoWidth, h = receipt::kLogoHeight;
  int failed = 0;
  failed |= TiloAddTextAlign(b, 1);
  failed |= TiloAddImage(b, bgr.data(), w, h, 0, 0, w, h, 1, 0, 2, 1.0, 0);
  failed |= TiloAddTextStyle(b, -1, -1, 1, -1);
  failed |= TiloAddTextSize(b, 2, 2);
  failed |= TiloAddText(b, "CAFE ORVIK\n");
  failed |= TiloAddTextSize(b, 1, 1);
  failed |= TiloAddTextStyle(b, -1, -1, 0, -1);
  failed |= TiloAddText(b, "12 Market Street, Springfield\n");
  failed |= TiloAddTextAlign(b, 0);
  for (const char* item : receipt::kItems) failed |= TiloAddText(b, item);
  failed |= TiloAddTextStyle(b, -1, 1, -1, -1);
  failed |= TiloAddText(b, receipt::kTotal);
  failed |= TiloAddTextStyle(b, -1, 0, -1, -1);
  failed |= TiloAddTextAlign(b, 1);
  failed |= TiloAddBarcode(b, receipt::kBarcode, 2, 2, 0, 2, 60);
  failed |= TiloAddSymbol(b, receipt::kQrText, 3, 10, 6, 6, 0);
  failed |= TiloAddCut(b, 1);
  EXPECT_EQ(failed, 0);
  // Framed as the engine sends a job: header, body, trailer asking for its end.
  PrnCmdHandle_t* builder = b->builder.get();
  builder->headerWanted = 1;
  builder->trailerWanted = 1;
  std::memcpy(builder->processId, jobId, 4);
  CmdData_t* data = nullptr;
  Bytes job;
  EXPECT_EQ(PrnCmdBuild(builder, &data), 0);
  if (data != nullptr) {
    job.assign(data->data, data->data + data->length);
    CmdDataFree(data);
  }
  TiloDestroyBuilder(b);
  return job;
}

// The id of the job-end request GS ( H 06 00 30 30 id in the bytes, or "".
std::string JobIdIn(const Bytes& bytes) {
  const Bytes request{0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30};
  const auto at = std::search(bytes.begin(), bytes.end(), request.begin(), request.end());
  if (bytes.end() - at < static_cast<ptrdiff_t>(request.size() + 4)) return {};
  return std::string(at + request.size(), at + request.size() + 4);
}

size_t Occurrences(const Bytes& haystack, const Bytes& needle) {
  size_t count = 0;
  for (auto at = haystack.begin();;) {
    at = std::search(at, haystack.end(), needle.begin(), needle.end());
    if (at == haystack.end()) return count;
    ++count;
    ++at;
  }
}

// The first Received event, heard on the library's thread.
struct ReceivedRecorder {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::shared_ptr<const prn::ReceivedEventArgs>> events;

  prn::ReceivedHandler Handler() {
    return [this](const std::shared_ptr<prn::Printer>&,
                  const std::shared_ptr<const prn::ReceivedEventArgs>& args) {
      std::lock_guard lock(mutex);
      events.push_back(args);
      arrived.notify_all();
    };
  }
  std::shared_ptr<const prn::ReceivedEventArgs> WaitFirst() {
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, 30s, [&] { return !events.empty(); });
    return events.empty() ? nullptr : events.front();
  }
};

TEST(PrinterEndToEnd, TheExampleReceiptPrintsAndArrivesAsTheBuildersJob) {
  const int n = 584;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  auto printer = prn::Printer::Create(prn::Series::RP_S3, prn::ModelLang::Ank);
  ReceivedRecorder received;
  const tilo::EventToken token = printer->Received(received.Handler());

  printer->ConnectAsync(("TCP:" + io_test::address(n)).c_str(), -2).get();
  receipt::Build(*printer);
  const size_t before = emu->tcpBytes().size();  // the connect's own exchange
  printer->SendDataAsync(-2).get();

  const auto args = received.WaitFirst();
  ASSERT_TRUE(args) << "no Received event within 30 s";
  EXPECT_EQ(args->Code(), tilo::CallbackCode::Success);
  EXPECT_EQ(args->PrintJobId().utf8(), "");  // a direct connection's job has no id
  ASSERT_TRUE(args->Status());
  EXPECT_EQ(args->Status()->Connection(), prn::Connection::True);
  EXPECT_EQ(args->Status()->Online(), prn::Online::True);
  EXPECT_EQ(args->Status()->ErrorStatus(), prn::PrinterErrorStatus::NoErr);

  // The job's bytes arrived whole and in one piece, exactly once: the
  // builder's job for the same commands, with the id the engine gave it.
  const Bytes all = emu->tcpBytes();
  const Bytes sent(all.begin() + static_cast<ptrdiff_t>(before), all.end());
  const std::string id = JobIdIn(sent);
  ASSERT_EQ(id.size(), 4u) << "no job-end request in what the printer received";
  const Bytes expected = BuilderJob(id.c_str());
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(Occurrences(sent, expected), 1u)
      << "sent " << sent.size() << " bytes, the builder's job has " << expected.size();

  // And a person watching the emulator sees the receipt arrive, in order,
  // one line per command, the text decoded from its code pages.
  std::vector<std::string> lines;
  for (const auto& e : emu->takeTranscript()) lines.push_back(printer_emulator::formatEvent(e));
  const std::vector<std::string> receiptLines{
      "[centre]",
      "[graphics 96x48]",
      "[bold]",
      "CAFE ORVIK",
      "12 Market Street, Springfield",
      "Crème brûlée                                4.50",
      "[underline 1]",
      "TOTAL                                   €8.80",
      "[barcode EAN13 \"4006381333931\"]",
      "[QR \"https://example.com/r/12345\"]",
      "[cut]",
  };
  auto at = lines.begin();
  for (const auto& want : receiptLines) {
    at = std::find(at, lines.end(), want);
    ASSERT_NE(at, lines.end()) << "the transcript lacks " << want << " (in this order)";
  }

  printer->Received(token);
  printer->DisconnectAsync().get();
  EXPECT_TRUE(emu->waitForNoClient(10s));
  std::lock_guard lock(received.mutex);
  EXPECT_EQ(received.events.size(), 1u);  // one job, one result
}

}  // namespace
