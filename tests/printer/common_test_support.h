#pragma once
// Shared by the CommonPrinter tests: a CommonPrinter on a fresh device record
// (never connected unless a test connects it), the record's command list read
// back as plain values, and the log lines of one member.

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "../component/api_log_fixture.h"
#include "device/command_blocks.h"
#include "device/command_list.h"
#include "device/printer_module.h"
#include "orvik/tilo2/async.h"
#include "orvik/tilo2/exceptions.h"
#include "printer/common_printer.h"

namespace common_test {

using namespace tilo2::core;
namespace P = ::Orvik::Tilo::Tilo2::Printer;

// An action's end: its error code, 0 on success. Read from the operation
// rather than by catching what get() throws: the exception object is shared
// with the pool thread that drops the chain's last reference to it, a hand-over
// ThreadSanitizer cannot see inside the uninstrumented runtime library.
inline int32_t Outcome(const ::Orvik::Tilo::Tilo2::IAsyncAction& action) {
  action.wait();
  return action.Status() == ::Orvik::Tilo::Tilo2::AsyncStatus::Completed ? 0 : action.ErrorCode();
}

inline constexpr int32_t kSeriesS3 = static_cast<int32_t>(P::Series::RP_S3);
inline constexpr int32_t kSeriesD4 = static_cast<int32_t>(P::Series::RP_D4);

// One command of the list as the builders stored it.
struct Stored {
  Stored() = default;
  Stored(int32_t k, std::vector<int32_t> i = {}, std::string t = {}, std::vector<uint8_t> b = {})
      : kind(k), ints(std::move(i)), text(std::move(t)), bytes(std::move(b)) {}
  int32_t kind = -1;
  std::vector<int32_t> ints;              // the int block, or a symbol's five values
  std::string text;                       // kind 3, or a barcode's or symbol's data
  std::vector<uint8_t> bytes;             // kind 29
  const TdcImageArgs_t* image = nullptr;  // kind 12
  bool operator==(const Stored& o) const {
    return kind == o.kind && ints == o.ints && text == o.text && bytes == o.bytes;
  }
};

inline size_t IntCount(int32_t kind) {
  switch (kind) {
    case TDC_CMD_TEXT_SIZE:
    case TDC_CMD_LOGO:
    case TDC_CMD_PAGE_POSITION:
    case TDC_CMD_PULSE:
      return 2;
    case TDC_CMD_TEXT_STYLE:
    case TDC_CMD_PAGE_AREA:
      return 4;
    case TDC_CMD_PAGE_LINE:
    case TDC_CMD_PAGE_RECTANGLE:
      return 5;
    case TDC_CMD_PAGE_BEGIN:
    case TDC_CMD_PAGE_END:
      return 0;
    default:
      return 1;
  }
}

// The test accessor: the record's command list, in order.
inline std::vector<Stored> ReadCommands(TdcPrinter_t* record) {
  std::vector<Stored> out;
  for (const TdcCommand_t* c = record->commands.commandList.head; c != nullptr; c = c->next) {
    Stored s;
    s.kind = c->kind;
    if (c->kind == TDC_CMD_TEXT) {
      s.text = static_cast<const char*>(c->args);
    } else if (c->kind == TDC_CMD_BARCODE || c->kind == TDC_CMD_SYMBOL) {
      const auto* a = static_cast<const TdcSymbolArgs_t*>(c->args);
      s.text = a->data;
      s.ints.assign(a->values, a->values + 5);
    } else if (c->kind == TDC_CMD_COMMAND) {
      const auto* a = static_cast<const TdcDataArgs_t*>(c->args);
      s.bytes.assign(a->bytes, a->bytes + a->length);
    } else if (c->kind == TDC_CMD_IMAGE) {
      s.image = static_cast<const TdcImageArgs_t*>(c->args);
    } else {
      const auto* v = static_cast<const int32_t*>(c->args);
      if (v != nullptr) s.ints.assign(v, v + IntCount(c->kind));
    }
    out.push_back(std::move(s));
  }
  return out;
}

inline std::string Hex(const void* p) {
  char text[24];
  std::snprintf(text, sizeof text, "%016" PRIxPTR, reinterpret_cast<uintptr_t>(p));
  return text;
}

// "APIIO,<mark>,<handle>,,<result>,<name>,<args>"
inline std::string Line(const char* mark, const void* handle, const std::string& result,
                        const std::string& member, const std::string& args) {
  return std::string("APIIO,") + mark + "," + Hex(handle) + ",," + result +
         ",Orvik::Tilo::Tilo2::Printer::CommonPrinter::" + member + "," + args;
}

inline int32_t HResultOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const ::Orvik::Tilo::Tilo2::RuntimeException& e) {
    return e.HResult();
  }
  return 0;
}

// A CommonPrinter on a record of its own, logging to the fixture's file.
class CommonPrinterTest : public ApiLogTest {
 protected:
  void SetUp() override {
    ApiLogTest::SetUp();
    use_file();
  }
  void TearDown() override {
    for (TdcPrinter_t* record : records_) {
      TdcDisconnectPrinter(nullptr, record);
      TdcClearPrinterCommands(&record->commands.commandList);
      EXPECT_EQ(TdcDestroyPrinter(record), 0);
    }
    ApiLogTest::TearDown();
  }

  TdcPrinter_t* NewRecord(int32_t series = kSeriesS3) {
    TdcPrinter_t* record = nullptr;
    EXPECT_EQ(TdcCreatePrinter(&record, series, 0), 0);
    if (record != nullptr) records_.push_back(record);
    return record;
  }
  std::shared_ptr<CommonPrinter> NewPrinter(int32_t series = kSeriesS3) {
    auto printer = CommonPrinter::Create();
    printer->SetRecord(NewRecord(series));
    return printer;
  }

  std::vector<TdcPrinter_t*> records_;
};

}  // namespace common_test
