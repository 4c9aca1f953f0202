#pragma once
// What the receipt benchmarks share: the 36 item lines of the typical receipt
// and the step from a filled command list to the final bytes.

#include <cstdio>
#include <string>
#include <vector>

#include "device/command_list.h"
#include "encoding/builder/cmd_data.h"
#include "encoding/printer/prn_cmd.h"
#include "engine/builder_records.h"

namespace bench {

// 48 columns: the item's name, then its price right-aligned.
inline std::vector<std::string> ReceiptItems() {
  std::vector<std::string> lines;
  for (int i = 1; i <= 36; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "Item %02d fresh produce", i);
    const int cents = (i * 137) % 2000 + 99;
    char line[128];
    std::snprintf(line, sizeof(line), "%-40s%5d.%02d\n", name, cents / 100, cents % 100);
    lines.push_back(line);
  }
  return lines;
}

// Replays the list into the direct builder and builds it: the job's size in
// bytes, or 0 when a step failed. The builder is cleared for the next receipt.
inline size_t ReplayAndBuild(tilo2::core::PrinterBuilder_t* builder,
                             tilo2::core::TdcPrinterCommandSet_t* commands) {
  using namespace tilo2::core;
  if (TdcReplayPrinterCommands(TDC_MODE_DIRECT, builder, commands) != 0) return 0;
  CmdData_t* data = nullptr;
  if (PrnCmdBuild(builder->builder.get(), &data) != 0) return 0;
  const size_t bytes = data->length;
  CmdDataFree(data);
  TiloClearBuilder(builder);
  return bytes;
}

}  // namespace bench
