// The typical receipt (public_receipt.h) encoded through the public API: built
// with the Printer's Add methods on an unconnected RP_S3 / Ank printer with
// logging off, its command list replayed into the command builder of the
// direct connection's model ("RP-S3B", language 0) and built to the final
// bytes. Each iteration is one receipt, the list and the builder cleared
// after it. Reports microseconds and bytes per receipt; bench_receipt_replay
// measures the same receipt from the device layer's appends, for the share of
// the public frame.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "device/command_list.h"
#include "device/printer_commands.h"
#include "encoding/builder/cmd_data.h"
#include "encoding/printer/prn_cmd.h"
#include "engine/builder_records.h"
#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/log.h"
#include "orvik/tilo2/printer/printer.h"
#include "printer/printer_internal.h"
#include "public_receipt.h"
#include "receipt_build.h"

using namespace tilo2::core;
namespace tilo = Orvik::Tilo::Tilo2;
namespace prn = Orvik::Tilo::Tilo2::Printer;

namespace {

void BM_PublicReceiptEncode(benchmark::State& state) {
  tilo::Log::SetLogSettings(tilo::LogPeriod::Temporary, tilo::LogOutput::Disable, "", 0, 1,
                            tilo::LogLevel::Normal);
  const std::vector<std::string> items = bench::ReceiptItems();
  auto printer = prn::Printer::Create(prn::Series::RP_S3, prn::ModelLang::Ank);
  TdcPrinter_t* record = tilo::detail::PrinterAccess::Record(*printer);
  PrinterBuilder_t* builder = nullptr;
  if (record == nullptr || record->commands.ops != nullptr ||
      TiloCreateBuilder(&builder, "RP-S3B", 0) != 0) {
    state.SkipWithError("no unconnected printer record or no builder");
    return;
  }
  // The unconnected record borrows the direct backend's replay table, as a
  // connect would give it one, and hands it back before the printer goes.
  TdcPrinterOps_t ops{};
  record->commands.ops = &ops;
  if (TdcSelectPrinterOps(&record->commands, TDC_MODE_DIRECT) != 0) {
    state.SkipWithError("no replay table");
  }
  size_t bytes = 0;
  try {
    for (auto _ : state) {
      bench::AddReceipt(*printer, items);
      bytes = bench::ReplayAndBuild(builder, &record->commands);
      if (bytes == 0) {
        state.SkipWithError("replay or build failed");
        break;
      }
      printer->ClearCommandBuffer();
    }
  } catch (const tilo::RuntimeException& e) {
    state.SkipWithError(e.what());
  }
  record->commands.ops = nullptr;
  state.counters["bytes"] = static_cast<double>(bytes);
  TiloDestroyBuilder(builder);
}
BENCHMARK(BM_PublicReceiptEncode)->Unit(benchmark::kMicrosecond);

}  // namespace
