// A typical receipt from app to bytes on the direct backend: appended with
// the validating appends, replayed into the print engine's builder for series
// 6 ("RP-S3B", language 0) and built. The builder and the operation table are
// made once, as at connect; each iteration is one receipt. Reports
// microseconds per receipt. bench/receipt_node.mjs encodes the same receipt
// with a JavaScript encoder for comparison.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "device/command_list.h"
#include "device/printer_commands.h"
#include "encoding/builder/cmd_data.h"
#include "encoding/printer/prn_cmd.h"
#include "engine/builder_records.h"
#include "receipt_build.h"

using namespace tilo2::core;

namespace {

// Alignment: 1 centre, 0 left. Text style: (reverse, underline, emphasis, color).
bool AppendReceipt(TdcPrinter_t* r, const std::vector<std::string>& items) {
  int failed = 0;
  failed |= TdcAddTextAlign(r, 1);
  failed |= TdcAddTextStyle(r, -1, -1, 1, -1);
  failed |= TdcAddTextSize(r, 2, 2);
  failed |= TdcAddText(r, "CORNER GROCERY\n");
  failed |= TdcAddTextSize(r, 1, 1);
  failed |= TdcAddTextStyle(r, -1, -1, 0, -1);
  failed |= TdcAddText(r, "12 Market Street, Springfield\n");
  failed |= TdcAddText(r, "Tel 555-0100  VAT 123456789\n");
  failed |= TdcAddTextAlign(r, 0);
  for (size_t i = 0; i < items.size(); ++i) {
    const bool bold = i % 5 == 0;
    if (bold) failed |= TdcAddTextStyle(r, -1, -1, 1, -1);
    failed |= TdcAddText(r, items[i].c_str());
    if (bold) failed |= TdcAddTextStyle(r, -1, -1, 0, -1);
  }
  failed |= TdcAddTextStyle(r, -1, 1, -1, -1);
  failed |= TdcAddText(r, "TOTAL                                      412.36\n");
  failed |= TdcAddTextStyle(r, -1, 0, -1, -1);
  failed |= TdcAddTextAlign(r, 1);
  // EAN-13, HRI below, default font, module width 2, 60 dots high.
  failed |= TdcAddBarcode(r, "4006381333931", 2, 2, -2, 2, 60);
  // QR code model 2, level M, module size 4.
  failed |= TdcAddSymbol(r, "https://example.com/r/12345", 3, 106, 4, -1, 0);
  failed |= TdcAddCut(r, 1);  // feed, then cut
  return failed == 0;
}

void BM_ReceiptReplay(benchmark::State& state) {
  const std::vector<std::string> items = bench::ReceiptItems();
  TdcPrinterSettings_t settings{6, 0, TDC_PORT_TCP};
  TdcPrinter_t record{};
  record.settings = &settings;
  TdcInitCommandList(&record.commands.commandList);
  TdcPrinterOps_t ops{};
  record.commands.ops = &ops;
  PrinterBuilder_t* builder = nullptr;
  if (TiloCreateBuilder(&builder, "RP-S3B", 0) != 0 ||
      TdcSelectPrinterOps(&record.commands, TDC_MODE_DIRECT) != 0) {
    state.SkipWithError("no builder");
    return;
  }
  size_t bytes = 0;
  for (auto _ : state) {
    if (!AppendReceipt(&record, items)) {
      state.SkipWithError("append failed");
      break;
    }
    bytes = bench::ReplayAndBuild(builder, &record.commands);
    if (bytes == 0) {
      state.SkipWithError("replay or build failed");
      break;
    }
    TdcClearPrinterCommands(&record.commands.commandList);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  TiloDestroyBuilder(builder);
  TdcDestroyCommandList(&record.commands.commandList);
}
BENCHMARK(BM_ReceiptReplay)->Unit(benchmark::kMicrosecond);

}  // namespace
