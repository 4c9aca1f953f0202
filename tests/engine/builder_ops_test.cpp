// The print engine's builder operations: each compared with the bytes the
// command builder produces for the same direct call, or with exact bytes.

#include "engine/builder_ops.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "encoding/builder/cmd_handle.h"
#include "encoding/dbcs/mb_encode.h"
#include "encoding/display/dsp_cmd_handle.h"
#include "encoding/imaging/image_raster.h"
#include "encoding/printer/prn_cmd.h"
#include "encoding/test_hooks.h"
#include "engine/print_handle.h"
#include "engine/request_queue.h"
#include "engine/test_hooks.h"

using namespace tilo2::core;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(uint8_t(v));
  return out;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes ListBytes(const CmdChunk_t* chunk) {
  Bytes out;
  for (; chunk != nullptr; chunk = chunk->next) {
    out.insert(out.end(), chunk->data, chunk->data + chunk->size);
  }
  return out;
}

// A printer builder record, destroyed at scope end.
struct Printer {
  PrinterBuilder_t* record = nullptr;
  explicit Printer(const char* model, int language = 0) {
    EXPECT_EQ(TiloCreateBuilder(&record, model, language), 0) << model;
  }
  ~Printer() {
    if (record != nullptr) {
      EXPECT_EQ(TiloDestroyBuilder(record), 0);
    }
  }
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;
  PrnCmdHandle_t* b() const { return record->builder.get(); }
  Bytes Body() const { return ListBytes(b()->cmdBuffer.body); }
};

struct Display {
  DisplayBuilder_t* record = nullptr;
  explicit Display(const char* model) {
    EXPECT_EQ(TiloCreateDisplayBuilder(&record, model), 0) << model;
  }
  ~Display() {
    if (record != nullptr) {
      EXPECT_EQ(TiloDestroyDisplayBuilder(record), 0);
    }
  }
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;
  DspCmdHandle_t* b() const { return record->builder; }
  Bytes Body() const { return ListBytes(b()->cmdBuffer.body); }
};

// Fails the allocation numbered failAt (0-based) of the engine's builder
// operations; plain malloc again at scope end.
struct FailingEngineAlloc {
  static inline int countdown = -1;
  explicit FailingEngineAlloc(int failAt) {
    countdown = failAt;
    EngineSetBuilderAllocator(Alloc);
  }
  ~FailingEngineAlloc() {
    EngineSetBuilderAllocator(nullptr);
    countdown = -1;
  }
  FailingEngineAlloc(const FailingEngineAlloc&) = delete;
  FailingEngineAlloc& operator=(const FailingEngineAlloc&) = delete;
  static void* Alloc(size_t size) {
    if (countdown == 0) {
      countdown = -1;
      return nullptr;
    }
    if (countdown > 0) --countdown;
    return std::malloc(size);
  }
};

// ---------------------------------------------------------------------------
// Printer operations against the builder's own slots.

using PrinterOp = std::function<int(PrinterBuilder_t*)>;
using DirectOp = std::function<int(PrnCmdHandle_t*)>;

struct SameBytesCase {
  const char* name;
  const char* model;
  PrinterOp op;
  DirectOp direct;
};

TEST(BuilderOps, PrinterOperationsAddWhatTheBuilderAddsForTheSameCall) {
  const SameBytesCase cases[] = {
      {"align", "RP-S12F", [](auto* r) { return TiloAddTextAlign(r, 2); },
       [](auto* b) { return b->ops.align->align(b, 2); }},
      {"line space", "RP-S12F", [](auto* r) { return TiloAddLineSpace(r, 255); },
       [](auto* b) { return b->ops.text->lineSpace(b, 255); }},
      {"rotate", "RP-S12F", [](auto* r) { return TiloAddTextRotate(r, 1); },
       [](auto* b) { return b->ops.align->rotate(b, 1); }},
      {"text", "RP-S12F", [](auto* r) { return TiloAddText(r, "Total 12.00\n"); },
       [](auto* b) { return PrnCmdAddText(b, "Total 12.00\n"); }},
      {"language", "RP-S12F", [](auto* r) { return TiloAddTextLang(r, 3); },
       [](auto* b) { return b->ops.text->textLang(b, 3); }},
      {"kanji language", "RP-S12F", [](auto* r) { return TiloAddTextLang(r, 1); },
       [](auto* b) { return b->ops.text->textLang(b, 1); }},
      {"font", "RP-S12F", [](auto* r) { return TiloAddTextFont(r, 4); },
       [](auto* b) { return b->ops.text->font(b, 4); }},
      {"smooth", "RP-S12F", [](auto* r) { return TiloAddTextSmooth(r, 1); },
       [](auto* b) { return b->ops.text->smooth(b, 1); }},
      {"size", "RP-S12F", [](auto* r) { return TiloAddTextSize(r, 3, 2); },
       [](auto* b) {
         const int rc = b->ops.text->widthScale(b, 3);
         return rc != 0 ? rc : b->ops.text->heightScale(b, 2);
       }},
      {"style", "RP-S12F", [](auto* r) { return TiloAddTextStyle(r, 1, 0, 1, -1); },
       [](auto* b) {
         b->ops.text->reverse(b, 1);
         b->ops.text->underline(b, 0);
         return b->ops.text->emphasis(b, 1);
       }},
      {"impact color", "RP-D4", [](auto* r) { return TiloAddTextStyle(r, -1, -1, -1, 2); },
       [](auto* b) { return b->ops.text->color(b, 2); }},
      {"position", "RP-S12F", [](auto* r) { return TiloAddHPosition(r, 65535); },
       [](auto* b) { return PrnCmdAddTextPosition(b, 65535); }},
      {"feed unit", "RP-S12F", [](auto* r) { return TiloAddFeedUnit(r, 0); },
       [](auto* b) { return b->ops.feed->feedUnit(b, 0); }},
      {"feed line", "RP-S12F", [](auto* r) { return TiloAddFeedLine(r, 255); },
       [](auto* b) { return b->ops.feed->feedLine(b, 255); }},
      {"logo", "RP-S12F", [](auto* r) { return TiloAddLogo(r, 0x20, 0x7E); },
       [](auto* b) { return b->ops.image->nvLogo(b, 0x20, 0x7E); }},
      {"page area", "RP-S12F", [](auto* r) { return TiloAddPageArea(r, 1, 2, 65535, 1); },
       [](auto* b) { return PrnCmdAddPageArea(b, 1, 2, 65535, 1); }},
      {"page direction", "RP-S12F", [](auto* r) { return TiloAddPageDirection(r, 3); },
       [](auto* b) { return b->ops.page->direction(b, 3); }},
      {"page line default style", "RP-S12F",
       [](auto* r) { return TiloAddPageLine(r, 1, 2, 3, 4, -2); },
       [](auto* b) { return PrnCmdAddPageLine(b, 1, 2, 3, 4, 0); }},
      {"page rectangle", "RP-S12F",
       [](auto* r) { return TiloAddPageRectangle(r, 10, 20, 300, 400, 4); },
       [](auto* b) { return PrnCmdAddPageRectangle(b, 10, 20, 300, 400, 4); }},
      {"default cut", "RP-S12F", [](auto* r) { return TiloAddCut(r, -2); },
       [](auto* b) { return PrnCmdAddCut(b, 1); }},
      {"cut", "RP-S12F", [](auto* r) { return TiloAddCut(r, 2); },
       [](auto* b) { return PrnCmdAddCut(b, 2); }},
      {"default pulse", "RP-S12F", [](auto* r) { return TiloAddPulse(r, -2, -2); },
       [](auto* b) { return b->ops.sound->pulse(b, 0, 0); }},
      {"command", "RP-S12F",
       [](auto* r) {
         const uint8_t bytes[] = {0x1B, 0x40, 0x10};
         return TiloAddCommand(r, bytes, 3);
       },
       [](auto* b) {
         const uint8_t bytes[] = {0x1B, 0x40, 0x10};
         return PrnCmdAddCommand(b, bytes, 3);
       }},
      {"feed position", "RP-M3", [](auto* r) { return TiloAddFeedPosition(r, 3); },
       [](auto* b) { return b->ops.layout->feedPosition(b, 3); }},
      {"layout argument order", "RP-M3",
       [](auto* r) { return TiloAddLayout(r, 3, 580, 300, -15, 5, -20, 30); },
       [](auto* b) { return PrnCmdAddLayout(b, 3, 300, -15, -20, 30, 5, 580); }},
  };
  for (const SameBytesCase& c : cases) {
    SCOPED_TRACE(c.name);
    Printer engine(c.model);
    Printer direct(c.model);
    ASSERT_EQ(c.direct(direct.b()), 0);
    ASSERT_FALSE(direct.Body().empty());
    EXPECT_EQ(c.op(engine.record), 0);
    EXPECT_EQ(engine.Body(), direct.Body());
    EXPECT_EQ(engine.b()->positionX, direct.b()->positionX);
  }
}

TEST(BuilderOps, PrinterOperationsWithExactBytes) {
  struct Case {
    const char* name;
    const char* model;
    PrinterOp op;
    Bytes expected;
  };
  const Case cases[] = {
      {"page area", "RP-S12F", [](auto* r) { return TiloAddPageArea(r, 0, 0, 512, 1000); },
       B({0x1B, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xE8, 0x03})},
      {"pulse", "RP-S12F", [](auto* r) { return TiloAddPulse(r, 1, 4); },
       B({0x1B, 0x70, 0x01, 0xFA, 0xFA})},
      {"feed position", "RP-M3", [](auto* r) { return TiloAddFeedPosition(r, 2); },
       B({0x1C, 0x28, 0x4C, 0x02, 0x00, 0x43, 0x32})},
      {"underline only", "RP-S12F", [](auto* r) { return TiloAddTextStyle(r, -1, 1, -1, -1); },
       B({0x1B, 0x2D, 0x01})},
      {"position", "RP-S12F", [](auto* r) { return TiloAddHPosition(r, 13); },
       B({0x1B, 0x24, 0x0D, 0x00})},
      {"page position y only", "RP-S12F", [](auto* r) { return TiloAddPagePosition(r, -1, 10); },
       B({0x1D, 0x24, 0x0A, 0x00})},
      {"page position x only", "RP-S12F", [](auto* r) { return TiloAddPagePosition(r, 20, -1); },
       B({0x1B, 0x24, 0x14, 0x00})},
      {"page position both", "RP-S12F", [](auto* r) { return TiloAddPagePosition(r, 20, 10); },
       B({0x1B, 0x24, 0x14, 0x00, 0x1D, 0x24, 0x0A, 0x00})},
      {"page position neither", "RP-S12F", [](auto* r) { return TiloAddPagePosition(r, -1, -1); },
       Bytes{}},
      {"text size neither", "RP-S12F", [](auto* r) { return TiloAddTextSize(r, -1, -1); }, Bytes{}},
      {"style none", "RP-S12F", [](auto* r) { return TiloAddTextStyle(r, -1, -1, -1, -1); },
       Bytes{}},
      // Models without the command accept it and add nothing.
      {"color on a model without color", "RP-S12F",
       [](auto* r) { return TiloAddTextStyle(r, -1, -1, -1, 2); }, Bytes{}},
      {"h line", "RP-S12F", [](auto* r) { return TiloAddHLine(r, 0, 100, -2); }, Bytes{}},
      {"v line begin", "RP-S12F", [](auto* r) { return TiloAddVLineBegin(r, 100, 5); }, Bytes{}},
      {"v line end", "RP-S12F", [](auto* r) { return TiloAddVLineEnd(r, 65535, 0); }, Bytes{}},
      {"page line without the slot", "RP-S12E",
       [](auto* r) { return TiloAddPageLine(r, 1, 2, 3, 4, 0); }, Bytes{}},
      {"feed position without a layout table", "RP-S12F",
       [](auto* r) { return TiloAddFeedPosition(r, 1); }, Bytes{}},
      {"barcode on a model without barcodes", "RP-D4",
       [](auto* r) { return TiloAddBarcode(r, "123", 6, 2, 1, 3, 80); }, Bytes{}},
      {"symbol on a model without symbols", "RP-D4",
       [](auto* r) { return TiloAddSymbol(r, "123", 3, 10, 4, -1, -1); }, Bytes{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Printer printer(c.model);
    EXPECT_EQ(c.op(printer.record), 0);
    EXPECT_EQ(printer.Body(), c.expected);
  }
}

TEST(BuilderOps, TextSizeSendsOnlyTheGivenDimension) {
  {
    Printer printer("RP-S12F");
    EXPECT_EQ(TiloAddTextSize(printer.record, -1, 2), 0);
    // GS ! with width 1 (unchanged) and height 2, in one command.
    EXPECT_EQ(printer.Body(), B({0x1D, 0x21, 0x01}));
    EXPECT_EQ(printer.b()->widthScale, 1);
    EXPECT_EQ(printer.b()->heightScale, 2);
  }
  {
    Printer printer("RP-S12F");
    EXPECT_EQ(TiloAddTextSize(printer.record, 3, -1), 0);
    EXPECT_EQ(printer.Body(), B({0x1D, 0x21, 0x20}));
  }
}

TEST(BuilderOps, ValuesOutOfRangeGiveOneAndAddNothing) {
  const uint8_t bytes[] = {0x1B};
  const std::pair<const char*, PrinterOp> cases[] = {
      {"align 3", [](auto* r) { return TiloAddTextAlign(r, 3); }},
      {"align -1", [](auto* r) { return TiloAddTextAlign(r, -1); }},
      {"line space 256", [](auto* r) { return TiloAddLineSpace(r, 256); }},
      {"line space -1", [](auto* r) { return TiloAddLineSpace(r, -1); }},
      {"rotate 2", [](auto* r) { return TiloAddTextRotate(r, 2); }},
      {"text null", [](auto* r) { return TiloAddText(r, nullptr); }},
      {"language 7", [](auto* r) { return TiloAddTextLang(r, 7); }},
      {"language -2", [](auto* r) { return TiloAddTextLang(r, -2); }},
      {"font 5", [](auto* r) { return TiloAddTextFont(r, 5); }},
      {"smooth 2", [](auto* r) { return TiloAddTextSmooth(r, 2); }},
      {"size width 0", [](auto* r) { return TiloAddTextSize(r, 0, 2); }},
      {"size width 9", [](auto* r) { return TiloAddTextSize(r, 9, 2); }},
      {"size height 9 after a good width", [](auto* r) { return TiloAddTextSize(r, 2, 9); }},
      {"size -2", [](auto* r) { return TiloAddTextSize(r, -2, 1); }},
      {"style reverse 2", [](auto* r) { return TiloAddTextStyle(r, 2, 1, 1, 1); }},
      {"style underline -2", [](auto* r) { return TiloAddTextStyle(r, 1, -2, 1, 1); }},
      {"style color 5 last", [](auto* r) { return TiloAddTextStyle(r, 1, 1, 1, 5); }},
      {"position 65536", [](auto* r) { return TiloAddHPosition(r, 65536); }},
      {"position -1", [](auto* r) { return TiloAddHPosition(r, -1); }},
      {"feed unit 256", [](auto* r) { return TiloAddFeedUnit(r, 256); }},
      {"feed line -1", [](auto* r) { return TiloAddFeedLine(r, -1); }},
      {"h line style 6", [](auto* r) { return TiloAddHLine(r, 0, 10, 6); }},
      {"h line x2 65536", [](auto* r) { return TiloAddHLine(r, 0, 65536, 0); }},
      {"v line begin style -1", [](auto* r) { return TiloAddVLineBegin(r, 0, -1); }},
      {"v line end x -1", [](auto* r) { return TiloAddVLineEnd(r, -1, 0); }},
      {"page area width 0", [](auto* r) { return TiloAddPageArea(r, 0, 0, 0, 10); }},
      {"page area y 65536", [](auto* r) { return TiloAddPageArea(r, 0, 65536, 10, 10); }},
      {"page direction 4", [](auto* r) { return TiloAddPageDirection(r, 4); }},
      {"page position y 65536", [](auto* r) { return TiloAddPagePosition(r, 10, 65536); }},
      {"page position x -2", [](auto* r) { return TiloAddPagePosition(r, -2, 10); }},
      {"page line style 6", [](auto* r) { return TiloAddPageLine(r, 0, 0, 1, 1, 6); }},
      {"page rectangle y2 -1", [](auto* r) { return TiloAddPageRectangle(r, 0, 0, 1, -1, 0); }},
      {"cut 3", [](auto* r) { return TiloAddCut(r, 3); }},
      {"cut -1", [](auto* r) { return TiloAddCut(r, -1); }},
      {"pulse drawer 2", [](auto* r) { return TiloAddPulse(r, 2, 0); }},
      {"pulse time 5", [](auto* r) { return TiloAddPulse(r, 0, 5); }},
      {"command null", [](auto* r) { return TiloAddCommand(r, nullptr, 1); }},
      {"command size 0", [&](auto* r) { return TiloAddCommand(r, bytes, 0); }},
      {"feed position 4", [](auto* r) { return TiloAddFeedPosition(r, 4); }},
      {"layout type 4", [](auto* r) { return TiloAddLayout(r, 4, 580, 0, 0, 0, 0, 0); }},
      {"layout width 0 (the builder's check)",
       [](auto* r) { return TiloAddLayout(r, 1, 0, 300, 0, 0, 0, 0); }},
  };
  for (const auto& [name, op] : cases) {
    SCOPED_TRACE(name);
    Printer printer("RP-M3");
    EXPECT_EQ(op(printer.record), 1);
    EXPECT_TRUE(printer.Body().empty());
  }
}

TEST(BuilderOps, EveryOperationRefusesANullOrInvalidBuilder) {
  const uint8_t pixel[3] = {0, 0, 0};
  const uint8_t bytes[] = {0x1B};
  const std::vector<PrinterOp> ops = {
      [](auto* r) { return TiloAddTextAlign(r, 0); },
      [](auto* r) { return TiloAddLineSpace(r, 0); },
      [](auto* r) { return TiloAddTextRotate(r, 0); },
      [](auto* r) { return TiloAddText(r, "a"); },
      [](auto* r) { return TiloAddTextLang(r, 0); },
      [](auto* r) { return TiloAddTextFont(r, 0); },
      [](auto* r) { return TiloAddTextSmooth(r, 0); },
      [](auto* r) { return TiloAddTextSize(r, 1, 1); },
      [](auto* r) { return TiloAddTextStyle(r, 0, 0, 0, 0); },
      [](auto* r) { return TiloAddHPosition(r, 0); },
      [](auto* r) { return TiloAddFeedUnit(r, 0); },
      [](auto* r) { return TiloAddFeedLine(r, 0); },
      [&](auto* r) { return TiloAddImage(r, pixel, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1.0, 0); },
      [](auto* r) { return TiloAddLogo(r, 32, 32); },
      [](auto* r) { return TiloAddBarcode(r, "1", 6, -1, -1, -1, -1); },
      [](auto* r) { return TiloAddSymbol(r, "1", 3, -1, -1, -1, -1); },
      [](auto* r) { return TiloAddHLine(r, 0, 1, 0); },
      [](auto* r) { return TiloAddVLineBegin(r, 0, 0); },
      [](auto* r) { return TiloAddVLineEnd(r, 0, 0); },
      [](auto* r) { return TiloAddPageBegin(r); },
      [](auto* r) { return TiloAddPageEnd(r); },
      [](auto* r) { return TiloAddPageArea(r, 0, 0, 1, 1); },
      [](auto* r) { return TiloAddPageDirection(r, 0); },
      [](auto* r) { return TiloAddPagePosition(r, 0, 0); },
      [](auto* r) { return TiloAddPageLine(r, 0, 0, 1, 1, 0); },
      [](auto* r) { return TiloAddPageRectangle(r, 0, 0, 1, 1, 0); },
      [](auto* r) { return TiloAddCut(r, 0); },
      [](auto* r) { return TiloAddPulse(r, 0, 0); },
      [](auto* r) { return TiloAddSound(r, 0, 1, 1000); },
      [&](auto* r) { return TiloAddCommand(r, bytes, 1); },
      [](auto* r) { return TiloAddFeedPosition(r, 0); },
      [](auto* r) { return TiloAddLayout(r, 0, 580, 0, 0, 0, 0, 0); },
  };
  ASSERT_EQ(ops.size(), 32u);
  // A record whose builder was closed (tag cleared), and one without a builder.
  PrnCmdHandle_t* closed = nullptr;
  ASSERT_EQ(PrnCmdOpen("RP-S12F", 0, &closed), 0);
  PrnCmdHandle_t stale = *closed;
  stale.tag = 0;
  char name[] = "RP-S12F";
  PrinterBuilder_t staleRecord{SharedPrnBuilder(&stale, [](PrnCmdHandle_t*) {}), nullptr, name};
  PrinterBuilder_t emptyRecord{nullptr, nullptr, name};
  for (size_t i = 0; i < ops.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ops[i](nullptr), 1);
    EXPECT_EQ(ops[i](&staleRecord), 1);
    EXPECT_EQ(ops[i](&emptyRecord), 1);
  }
  EXPECT_EQ(closed->cmdBuffer.body, nullptr);
  EXPECT_EQ(PrnCmdClose(closed), 0);
}

TEST(BuilderOps, TextTheBuilderCannotConvertGives255) {
  // A duplicate has no converter: Ank text cannot be encoded (-1 from the builder).
  Printer original("RP-S12F");
  char name[] = "RP-S12F";
  PrinterBuilder_t copy{MakeSharedPrnBuilder(PrnCmdDuplicate(original.b())), nullptr, name};
  ASSERT_NE(copy.builder, nullptr);
  EXPECT_EQ(TiloAddText(&copy, "abc"), 255);
  EXPECT_EQ(copy.builder->cmdBuffer.body, nullptr);
}

TEST(BuilderOps, PageModeFollowsPageBeginAndEndTheModelHas) {
  Printer printer("RP-S12F");
  EXPECT_EQ(TiloAddPageBegin(printer.record), 0);
  EXPECT_EQ(printer.b()->pageMode, 1);
  EXPECT_EQ(TiloAddPageEnd(printer.record), 0);
  EXPECT_EQ(printer.b()->pageMode, 0);
  EXPECT_EQ(printer.Body(), B({0x1B, 0x4C, 0x1B, 0x54, 0x00, 0x0C}));

  // "RP-D4" has no page table: accepted, nothing added, never in page mode.
  Printer impact("RP-D4");
  EXPECT_EQ(TiloAddPageBegin(impact.record), 0);
  EXPECT_EQ(impact.b()->pageMode, 0);
  EXPECT_TRUE(impact.Body().empty());
}

// ---------------------------------------------------------------------------
// Sound.

TEST(BuilderOps, SoundChoosesTheSlotRoundsTheCycleAndChecksRanges) {
  struct Case {
    const char* model;
    int pattern;
    int repeat;
    int cycle;
    int expected;
    Bytes bytes;
  };
  const Case cases[] = {
      // Patterns A..E, Error, PaperEmpty: the buzzer slot, pattern as given.
      {"RP-S12E", 0, -2, -2, 0, B({0x1B, 0x28, 0x41, 0x03, 0x00, 0x61, 0x01, 0x01})},
      {"RP-S12E", -2, 3, 1000, 0, B({0x1B, 0x28, 0x41, 0x03, 0x00, 0x61, 0x01, 0x03})},
      {"RP-S12E", 3, 2, 25500, 0, B({0x1B, 0x28, 0x41, 0x03, 0x00, 0x61, 0x04, 0x02})},
      {"RP-S12E", 6, 255, 1000, 0, B({0x1B, 0x28, 0x41, 0x03, 0x00, 0x61, 0x07, 0xFF})},
      // Pattern1..10: the sound slot, pattern 1..10, cycle in 100 ms rounded up.
      {"RP-M3", 7, 5, 1001, 0, B({0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, 0x31, 0x05, 0x0B})},
      {"RP-M3", 7, 1, 1000, 0, B({0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, 0x31, 0x01, 0x0A})},
      {"RP-M3", 8, -2, -2, 0, B({0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, 0x32, 0x01, 0x0A})},
      {"RP-M3", 16, 63, 25500, 0, B({0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, 0x3A, 0x3F, 0xFF})},
      {"RP-M3", 12, 2, 25401, 0, B({0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, 0x36, 0x02, 0xFF})},
      {"RP-M3", 12, 2, 1099, 0, B({0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, 0x36, 0x02, 0x0B})},
      // The impact model's sound slot ignores the cycle; Pattern8 is its pattern 8.
      {"RP-D6", 14, 30, 5000, 0, B({0x1B, 0x28, 0x41, 0x05, 0x00, 0x61, 0x65, 0x14, 0x05, 0x02})},
      {"RP-D6", 8, 30, 5000, 0, B({0x1B, 0x28, 0x41, 0x05, 0x00, 0x61, 0x65, 0x14, 0x0A, 0x02})},
      // The model lacks the slot: accepted, nothing added.
      {"RP-S12E", 7, 1, 1000, 0, Bytes{}},
      {"RP-M3", 0, 1, 1000, 0, Bytes{}},
      // Ranges.
      {"RP-M3", 7, 64, 1000, 1, Bytes{}},
      {"RP-S12E", 6, 64, 1000, 0, B({0x1B, 0x28, 0x41, 0x03, 0x00, 0x61, 0x07, 0x40})},
      {"RP-M3", 17, 1, 1000, 1, Bytes{}},
      {"RP-M3", -1, 1, 1000, 1, Bytes{}},
      {"RP-M3", 7, 0, 1000, 1, Bytes{}},
      {"RP-M3", 7, -1, 1000, 1, Bytes{}},
      {"RP-S12E", 1, 256, 1000, 1, Bytes{}},
      {"RP-M3", 7, 1, 999, 1, Bytes{}},
      {"RP-M3", 7, 1, 25501, 1, Bytes{}},
      {"RP-S12E", 1, 1, 0, 1, Bytes{}},
      {"RP-M3", 7, 1, -1, 1, Bytes{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.model << " " << c.pattern << " " << c.repeat << " " << c.cycle);
    Printer printer(c.model, c.model == std::string("RP-D6") ? 2 : 0);
    EXPECT_EQ(TiloAddSound(printer.record, c.pattern, c.repeat, c.cycle), c.expected);
    EXPECT_EQ(printer.Body(), c.bytes);
  }
}

// ---------------------------------------------------------------------------
// Images.

// width x height pixels, each 3 bytes.
std::vector<uint8_t> Pixels(int width, int height, uint8_t value) {
  return std::vector<uint8_t>(size_t(width) * size_t(height) * 3, value);
}

std::vector<uint8_t> GradientPixels(int width, int height) {
  std::vector<uint8_t> pixels(size_t(width) * size_t(height) * 3);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t((i * 37 + i / 7) & 0xFF);
  return pixels;
}

// An "RP-S12F" builder on 80 mm paper: 512 printable dots.
struct WidePrinter : Printer {
  explicit WidePrinter(int positionX = 0) : Printer("RP-S12F") {
    b()->paperWidthCode = 54;
    b()->positionX = positionX;
  }
};

TEST(BuilderOps, ImageIsCutToThePaperAndShiftedToThePosition) {
  // All black, threshold: every printed dot is set, the padding is not.
  const int height = 2;
  const auto pixels = Pixels(600, height, 0);
  WidePrinter printer(13);
  ASSERT_EQ(
      TiloAddImage(printer.record, pixels.data(), 600, height, 0, 0, 600, height, 1, 0, 2, 1.0, 0),
      0);
  // 512 - 13 = 499 dots, padded by 13 mod 8 = 5 white dots: 504 dots, 63 bytes a row.
  Bytes row = B({0x07});
  row.insert(row.end(), 62, 0xFF);
  Bytes expected = B({0x1B, 0x24, 0x08, 0x00,                          // at dot 8
                      0x1D, 0x38, 0x4C, 0x88, 0x00, 0x00, 0x00,        // k + 10 = 136
                      0x30, 0x70, 0x30, 0x01, 0x01, 0x31, 0xF8, 0x01,  // 504 dots
                      0x02, 0x00});
  expected = Cat(Cat(expected, row), row);
  expected = Cat(expected, B({0x1D, 0x28, 0x4C, 0x02, 0x00, 0x30, 0x32}));
  EXPECT_EQ(printer.Body(), expected);
}

TEST(BuilderOps, ImageMatchesTheRasteriserAndBuilderForTheSameImage) {
  const int imageWidth = 600, imageHeight = 9;
  const auto pixels = GradientPixels(imageWidth, imageHeight);
  struct Case {
    const char* name;
    int position;
    bool pageMode;
    int paperCode;
    int x, y, width, height;
    int mode, halftone;
    double brightness;
    // What the builder gets.
    int sentWidth;
    int pad;
  };
  const Case cases[] = {
      {"cut and shifted, dither", 13, false, 54, 0, 0, 600, 9, 0, 0, 1.0, 504, 5},
      {"cut and shifted, diffusion", 13, false, 54, 50, 1, 550, 8, 0, 1, 1.5, 504, 5},
      {"shifted, not cut, from inside the image", 3, false, 54, 100, 2, 200, 7, 0, 2, 0.5, 203, 3},
      {"on a byte boundary: cut only", 16, false, 54, 0, 0, 600, 9, 0, 0, 1.0, 496, 0},
      {"page mode: neither cut nor shifted", 13, true, 54, 0, 0, 600, 9, 0, 0, 1.0, 600, 0},
      {"no printable width: neither", 13, false, 0, 0, 0, 600, 9, 0, 0, 1.0, 600, 0},
      {"gray, cut and shifted", 13, false, 54, 0, 0, 600, 9, 1, 0, 1.0, 504, 5},
      {"high density", 13, false, 54, 0, 0, 600, 9, 2, 2, 1.0, 504, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WidePrinter engine(c.position), direct(c.position);
    engine.b()->paperWidthCode = direct.b()->paperWidthCode = c.paperCode;
    engine.b()->pageMode = direct.b()->pageMode = c.pageMode ? 1 : 0;
    ASSERT_EQ(TiloAddImage(engine.record, pixels.data(), imageWidth, imageHeight, c.x, c.y, c.width,
                           c.height, 3, c.mode, c.halftone, c.brightness, 1),
              0);

    // The same through the rasteriser and the builder directly.
    const uint8_t* source = pixels.data();
    int sourceWidth = imageWidth, sourceHeight = imageHeight, sx = c.x, sy = c.y;
    std::vector<uint8_t> shifted;
    if (c.pad != 0) {
      shifted.resize(size_t(c.sentWidth) * size_t(c.height) * 3);
      ASSERT_EQ(ImageShiftCopy(pixels.data() + size_t(c.y) * imageWidth * 3, imageWidth, c.pad, c.x,
                               c.sentWidth, c.height, shifted.data(), int(shifted.size())),
                0);
      // The padding is white.
      for (int i = 0; i < c.pad * 3; ++i) ASSERT_EQ(shifted[size_t(i)], 0xFF);
      source = shifted.data();
      sourceWidth = c.sentWidth;
      sourceHeight = c.height;
      sx = sy = 0;
    }
    const bool gray = c.mode == 1;
    std::vector<uint8_t> out(size_t(c.height) *
                             size_t(gray ? (c.sentWidth + 1) / 2 : (c.sentWidth + 7) / 8));
    const int length = int(out.size());
    if (gray) {
      ASSERT_EQ(ImageToGray16(source, sourceWidth, sourceHeight, sx, sy, c.sentWidth, c.height,
                              c.brightness, out.data(), length),
                0);
      ASSERT_EQ(PrnCmdAddGrayImage(direct.b(), c.sentWidth, c.height, out.data(), length, 1), 0);
    } else {
      const auto convert = c.halftone == 0   ? ImageDitherToRaster
                           : c.halftone == 1 ? ImageDiffuseToRaster
                                             : ImageThresholdToRaster;
      ASSERT_EQ(convert(source, sourceWidth, sourceHeight, sx, sy, c.sentWidth, c.height,
                        c.brightness, out.data(), length),
                0);
      if (c.mode == 2) {
        ASSERT_EQ(
            PrnCmdAddHighDensityImage(direct.b(), c.sentWidth, c.height, out.data(), length, 3, 1),
            0);
      } else {
        ASSERT_EQ(PrnCmdAddImage(direct.b(), c.sentWidth, c.height, out.data(), length, 3, 1), 0);
      }
    }
    ASSERT_FALSE(direct.Body().empty());
    EXPECT_EQ(engine.Body(), direct.Body());
  }
}

TEST(BuilderOps, ImageDefaultsAreColorOneRasterDitherUncompressed) {
  const auto pixels = GradientPixels(40, 5);
  WidePrinter engine, direct;
  ASSERT_EQ(TiloAddImage(engine.record, pixels.data(), 40, 5, 0, 0, 40, 5, -2, -2, -2, -2.0, -2),
            0);
  std::vector<uint8_t> out(5 * 5);
  ASSERT_EQ(ImageDitherToRaster(pixels.data(), 40, 5, 0, 0, 40, 5, 1.0, out.data(), 25), 0);
  ASSERT_EQ(PrnCmdAddImage(direct.b(), 40, 5, out.data(), 25, 1, 0), 0);
  EXPECT_EQ(engine.Body(), direct.Body());
}

TEST(BuilderOps, ImagePositionLimits) {
  // x 65535 is refused; x 65534 is accepted when the rest of the rectangle fits.
  const auto pixels = Pixels(65535, 1, 0);
  {
    WidePrinter printer;
    EXPECT_EQ(
        TiloAddImage(printer.record, pixels.data(), 65535, 1, 65535, 0, 1, 1, 1, 0, 2, 1.0, 0), 1);
    EXPECT_TRUE(printer.Body().empty());
  }
  {
    WidePrinter printer;
    EXPECT_EQ(
        TiloAddImage(printer.record, pixels.data(), 65535, 1, 65534, 0, 1, 1, 1, 0, 2, 1.0, 0), 0);
    EXPECT_FALSE(printer.Body().empty());
  }
  {
    // x 65534 with a width of 2 reaches outside the source.
    WidePrinter printer;
    EXPECT_EQ(
        TiloAddImage(printer.record, pixels.data(), 65535, 1, 65534, 0, 2, 1, 1, 0, 2, 1.0, 0), 1);
  }
  const auto column = Pixels(1, 65535, 0);
  {
    WidePrinter printer;
    EXPECT_EQ(
        TiloAddImage(printer.record, column.data(), 1, 65535, 0, 65535, 1, 1, 1, 0, 2, 1.0, 0), 1);
    EXPECT_EQ(
        TiloAddImage(printer.record, column.data(), 1, 65535, 0, 65534, 1, 1, 1, 0, 2, 1.0, 0), 0);
  }
}

TEST(BuilderOps, ImageArgumentTable) {
  const auto pixels = GradientPixels(16, 4);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    const uint8_t* pixels;
    int imageWidth, imageHeight, x, y, width, height, color, mode, halftone;
    double brightness;
    int compress;
    int expected;
  };
  const uint8_t* p = pixels.data();
  const Case cases[] = {
      {"good", p, 16, 4, 0, 0, 16, 4, 1, 0, 0, 1.0, 0, 0},
      {"null pixels", nullptr, 16, 4, 0, 0, 16, 4, 1, 0, 0, 1.0, 0, 1},
      {"image width 0", p, 0, 4, 0, 0, 16, 4, 1, 0, 0, 1.0, 0, 1},
      {"image width 65536", p, 65536, 4, 0, 0, 16, 4, 1, 0, 0, 1.0, 0, 1},
      {"image height 0", p, 16, 0, 0, 0, 16, 4, 1, 0, 0, 1.0, 0, 1},
      {"x -1", p, 16, 4, -1, 0, 16, 4, 1, 0, 0, 1.0, 0, 1},
      {"y -1", p, 16, 4, 0, -1, 16, 4, 1, 0, 0, 1.0, 0, 1},
      {"width 0", p, 16, 4, 0, 0, 0, 4, 1, 0, 0, 1.0, 0, 1},
      {"height 0", p, 16, 4, 0, 0, 16, 0, 1, 0, 0, 1.0, 0, 1},
      {"height 65536", p, 16, 4, 0, 0, 16, 65536, 1, 0, 0, 1.0, 0, 1},
      {"x + width past the image", p, 16, 4, 1, 0, 16, 4, 1, 0, 0, 1.0, 0, 1},
      {"y + height past the image", p, 16, 4, 0, 1, 16, 4, 1, 0, 0, 1.0, 0, 1},
      {"color 4", p, 16, 4, 0, 0, 16, 4, 4, 0, 0, 1.0, 0, 0},
      {"color 5", p, 16, 4, 0, 0, 16, 4, 5, 0, 0, 1.0, 0, 1},
      {"color -1", p, 16, 4, 0, 0, 16, 4, -1, 0, 0, 1.0, 0, 1},
      {"mode 3", p, 16, 4, 0, 0, 16, 4, 1, 3, 0, 1.0, 0, 1},
      {"mode -1", p, 16, 4, 0, 0, 16, 4, 1, -1, 0, 1.0, 0, 1},
      {"halftone 3", p, 16, 4, 0, 0, 16, 4, 1, 0, 3, 1.0, 0, 1},
      {"halftone -1", p, 16, 4, 0, 0, 16, 4, 1, 0, -1, 1.0, 0, 1},
      {"brightness 0.1", p, 16, 4, 0, 0, 16, 4, 1, 0, 0, 0.1, 0, 0},
      {"brightness 10", p, 16, 4, 0, 0, 16, 4, 1, 0, 0, 10.0, 0, 0},
      {"brightness 0.09", p, 16, 4, 0, 0, 16, 4, 1, 0, 0, 0.09, 0, 1},
      {"brightness 10.01", p, 16, 4, 0, 0, 16, 4, 1, 0, 0, 10.01, 0, 1},
      {"brightness -1", p, 16, 4, 0, 0, 16, 4, 1, 0, 0, -1.0, 0, 1},
      {"brightness NaN", p, 16, 4, 0, 0, 16, 4, 1, 0, 0, nan, 0, 1},
      {"compress 1", p, 16, 4, 0, 0, 16, 4, 1, 0, 0, 1.0, 1, 0},
      {"compress 2", p, 16, 4, 0, 0, 16, 4, 1, 0, 0, 1.0, 2, 1},
      {"compress -1", p, 16, 4, 0, 0, 16, 4, 1, 0, 0, 1.0, -1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WidePrinter printer;
    EXPECT_EQ(TiloAddImage(printer.record, c.pixels, c.imageWidth, c.imageHeight, c.x, c.y, c.width,
                           c.height, c.color, c.mode, c.halftone, c.brightness, c.compress),
              c.expected);
    EXPECT_EQ(printer.Body().empty(), c.expected != 0);
  }
}

TEST(BuilderOps, ImagePositionEdgeCases) {
  const auto pixels = GradientPixels(16, 2);
  {
    // A negative position cannot be fitted.
    WidePrinter printer(-8);
    EXPECT_EQ(TiloAddImage(printer.record, pixels.data(), 16, 2, 0, 0, 16, 2, 1, 0, 0, 1.0, 0),
              255);
    EXPECT_TRUE(printer.Body().empty());
  }
  {
    // Nothing fits right of the position.
    WidePrinter printer(512);
    EXPECT_EQ(TiloAddImage(printer.record, pixels.data(), 16, 2, 0, 0, 16, 2, 1, 0, 0, 1.0, 0), 1);
    EXPECT_TRUE(printer.Body().empty());
  }
  {
    // A model without the gray slot accepts a gray image and adds nothing.
    Printer printer("RP-S6");
    EXPECT_EQ(TiloAddImage(printer.record, pixels.data(), 16, 2, 0, 0, 16, 2, 1, 1, 0, 1.0, 0), 0);
    EXPECT_TRUE(printer.Body().empty());
  }
}

TEST(BuilderOps, ImageMemoryFailuresGiveFive) {
  const auto pixels = GradientPixels(64, 4);
  // Allocation 0 is the shifted copy, 1 the raster output.
  for (int failAt : {0, 1}) {
    SCOPED_TRACE(failAt);
    WidePrinter printer(13);
    FailingEngineAlloc failing(failAt);
    EXPECT_EQ(TiloAddImage(printer.record, pixels.data(), 64, 4, 0, 0, 64, 4, 1, 0, 0, 1.0, 0), 5);
    EXPECT_TRUE(printer.Body().empty());
  }
  WidePrinter aligned(16);
  FailingEngineAlloc failing(0);
  EXPECT_EQ(TiloAddImage(aligned.record, pixels.data(), 64, 4, 0, 0, 64, 4, 1, 1, 0, 1.0, 0), 5);
  EXPECT_TRUE(aligned.Body().empty());
}

// Records the size asked for and fails it, so that the largest images can be
// sized without the memory for them.
struct RecordingFailAlloc {
  static inline size_t asked = 0;
  RecordingFailAlloc() {
    asked = 0;
    EngineSetBuilderAllocator([](size_t size) -> void* {
      asked = size;
      return nullptr;
    });
  }
  ~RecordingFailAlloc() { EngineSetBuilderAllocator(nullptr); }
  RecordingFailAlloc(const RecordingFailAlloc&) = delete;
  RecordingFailAlloc& operator=(const RecordingFailAlloc&) = delete;
};

TEST(BuilderOps, LargestImageSizesAreComputedWithoutOverflow) {
  // Page mode: no cut, so the output is sized for 65535 x 65535 dots. The
  // pixels are not read before the output exists.
  const uint8_t pixel[3] = {0, 0, 0};
  struct Case {
    int mode;
    size_t bytes;
  };
  for (const Case c : {Case{1, size_t(65535) * 32768}, Case{0, size_t(65535) * 8192},
                       Case{2, size_t(65535) * 8192}}) {
    SCOPED_TRACE(c.mode);
    WidePrinter printer;
    printer.b()->pageMode = 1;
    RecordingFailAlloc recording;
    EXPECT_EQ(
        TiloAddImage(printer.record, pixel, 65535, 65535, 0, 0, 65535, 65535, 1, c.mode, 0, 1.0, 0),
        5);
    EXPECT_EQ(RecordingFailAlloc::asked, c.bytes);
    EXPECT_TRUE(printer.Body().empty());
  }
}

// ---------------------------------------------------------------------------
// Escapes.

// Decodes through an exactly sized heap copy without terminator, into an
// exactly sized output, so that ASan sees any read or write past either end.
Bytes Decode(const std::string& text) {
  char* input = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(input, text.data(), text.size());
  const size_t count = ParseEscapes(input, text.size(), nullptr);
  uint8_t* output = static_cast<uint8_t*>(std::malloc(count + 1));
  const size_t written = ParseEscapes(input, text.size(), output);
  EXPECT_EQ(written, count);
  Bytes out(output, output + written);
  std::free(output);
  std::free(input);
  return out;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(BuilderOps, EscapeTable) {
  const std::pair<std::string, Bytes> cases[] = {
      {"\\x41", B({0x41})},
      {"\\X4a", B({0x4A})},
      {"\\x00\\xff", B({0x00, 0xFF})},
      {"A\\x41B", Str("AAB")},
      {"\\q", Str("q")},
      {"\\\\", Str("\\")},
      {"\\\\x41", Str("\\x41")},
      {"\\\\\\\\", Str("\\\\")},
      {"12\\x4", Str("12x4")},
      {"\\x", Str("x")},
      {"\\xZZ", Str("xZZ")},
      {"\\x4g", Str("x4g")},
      {"\\xg4", Str("xg4")},
      {"ab\\", Str("ab")},
      {"\\", Bytes{}},
      {"", Bytes{}},
      {"\\\xC3\xA9", B({0xC3, 0xA9})},
      {"caf\xC3\xA9", Str("caf\xC3\xA9")},
      {"\xE2\x82\xAC\\x41", B({0xE2, 0x82, 0xAC, 0x41})},
      {"\xF0\x9F\x98\x80", B({0xF0, 0x9F, 0x98, 0x80})},
      {"\xF8\x88\x80\x80\x80", B({0xF8, 0x88, 0x80, 0x80, 0x80})},
      {"\xFC\x84\x80\x80\x80\x80", B({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80})},
      // A multi-byte sequence is copied whole, whatever follows its lead byte.
      {"\xC3\\q", B({0xC3, '\\', 'q'})},
      // Cut by the end of the data: only what is there.
      {"12\xE3", B({'1', '2', 0xE3})},
      {"12\xE3\x81", B({'1', '2', 0xE3, 0x81})},
      {"\xF0\x9F", B({0xF0, 0x9F})},
      {"\xFC", B({0xFC})},
      // Stray bytes count one each.
      {"\x80\xFE\xFF", B({0x80, 0xFE, 0xFF})},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(Decode(text), expected);
  }
  EXPECT_EQ(ParseEscapes(nullptr, 3, nullptr), 0u);
}

TEST(BuilderOps, CopyUtf8CharNeverTakesMoreThanIsThere) {
  const char text[] = "\xE3\x81\x82";
  uint8_t out[6] = {};
  EXPECT_EQ(CopyUtf8Char(text, 3, out), 3u);
  EXPECT_EQ(CopyUtf8Char(text, 2, out), 2u);
  EXPECT_EQ(CopyUtf8Char(text, 1, nullptr), 1u);
  EXPECT_EQ(CopyUtf8Char(text, 0, out), 0u);
  EXPECT_EQ(CopyUtf8Char("A", 1, out), 1u);
  EXPECT_EQ(out[0], 'A');
}

// A C string at the very end of its heap block: a read of the terminator's
// neighbour is a heap overflow.
struct HeapString {
  char* text;
  explicit HeapString(const std::string& s) {
    text = static_cast<char*>(std::malloc(s.size() + 1));
    std::memcpy(text, s.c_str(), s.size() + 1);
  }
  ~HeapString() { std::free(text); }
  HeapString(const HeapString&) = delete;
  HeapString& operator=(const HeapString&) = delete;
};

TEST(BuilderOps, BarcodeDataIsDecodedAndTheSettingsGoFirst) {
  {
    Printer printer("RP-S12F");
    EXPECT_EQ(TiloAddBarcode(printer.record, "\\x41BC", 6, 2, 1, 3, 80), 0);
    EXPECT_EQ(printer.Body(),
              B({0x1D, 0x48, 0x02, 0x1D, 0x66, 0x01, 0x1D, 0x77, 0x03, 0x1D, 0x68, 0x50, 0x1B,
                 0x55, 0x01, 0x1D, 0x6B, 0x45, 0x03, 0x41, 0x42, 0x43, 0x1B, 0x55, 0x00}));
  }
  {
    Printer engine("RP-S12F"), direct("RP-S12F");
    engine.b()->positionX = direct.b()->positionX = 40;
    EXPECT_EQ(TiloAddBarcode(engine.record, "{A\\\\12\\q", 10, -1, -1, -1, -1), 0);
    const uint8_t data[] = {'{', 'A', '\\', '1', '2', 'q'};
    ASSERT_EQ(PrnCmdAddBarcode(direct.b(), 10, data, sizeof data), 0);
    EXPECT_EQ(engine.Body(), direct.Body());
    EXPECT_EQ(engine.b()->positionX, 0);
  }
  {
    // A sequence cut at the end of the string: the lead byte alone.
    HeapString data("12\xE3");
    Printer engine("RP-S12F"), direct("RP-S12F");
    EXPECT_EQ(TiloAddBarcode(engine.record, data.text, 10, -1, -1, -1, -1), 0);
    const uint8_t bytes[] = {'1', '2', 0xE3};
    ASSERT_EQ(PrnCmdAddBarcode(direct.b(), 10, bytes, sizeof bytes), 0);
    EXPECT_EQ(engine.Body(), direct.Body());
  }
}

TEST(BuilderOps, BarcodeArgumentTable) {
  struct Case {
    const char* data;
    int type, hri, font, width, height;
    int expected;
  };
  const Case cases[] = {
      {"123", 15, 3, 4, 6, 255, 0},
      {"123", 0, 0, 0, 2, 1, 0},
      {nullptr, 6, -1, -1, -1, -1, 1},
      {"123", 16, -1, -1, -1, -1, 1},
      {"123", -1, -1, -1, -1, -1, 1},
      {"123", 6, 4, -1, -1, -1, 1},
      {"123", 6, -2, -1, -1, -1, 1},
      {"123", 6, -1, 5, -1, -1, 1},
      {"123", 6, -1, -1, 1, -1, 1},
      {"123", 6, -1, -1, 7, -1, 1},
      {"123", 6, -1, -1, -1, 0, 1},
      {"123", 6, -1, -1, -1, 256, 1},
      // Nothing left after decoding: refused before the settings go in.
      {"", 6, 2, -1, -1, -1, 1},
      {"\\", 6, 2, -1, -1, -1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.data ? c.data : "(null)") << " " << c.type << " " << c.hri
                                    << " " << c.font << " " << c.width << " " << c.height);
    Printer printer("RP-S12F");
    EXPECT_EQ(TiloAddBarcode(printer.record, c.data, c.type, c.hri, c.font, c.width, c.height),
              c.expected);
    EXPECT_EQ(printer.Body().empty(), c.expected != 0);
  }
}

TEST(BuilderOps, SymbolSettingsAndDataMatchTheBuilder) {
  struct Case {
    const char* name;
    const char* data;
    int type, level, width, height, size;
    std::function<int(PrnCmdHandle_t*)> direct;
  };
  const Case cases[] = {
      {"QR with escapes", "A\\x42\\\\", 3, 10, 4, -1, -1,
       [](PrnCmdHandle_t* b) {
         const uint8_t data[] = {'A', 'B', '\\'};
         PrnCmdSetSymbolLevel(b, 3, 10);
         PrnCmdSetSymbolWidth(b, 3, 4);
         return PrnCmdAddSymbol(b, 3, data, sizeof data);
       }},
      {"QR in Kanji", "\xE6\x97\xA5\xE6\x9C\xAC 1", 2, -1, -1, -1, -1,
       [](PrnCmdHandle_t* b) {
         const char text[] = "\xE6\x97\xA5\xE6\x9C\xAC 1";
         char sjis[16] = {};
         const int n = Utf8ToKanjiBytes(text, sizeof text - 1, sjis, sizeof sjis);
         EXPECT_EQ(n, 6);
         return PrnCmdAddSymbol(b, 2, reinterpret_cast<const uint8_t*>(sjis), uint32_t(n));
       }},
      // The second byte of 表 (95 5C) and of ソ (83 5C) is a backslash: it stays
      // part of its character, and the escape after it still decodes.
      {"QR Kanji ending in 5Ch", "\xE8\xA1\xA8\xE3\x82\xBD\\x41", 3, -1, -1, -1, -1,
       [](PrnCmdHandle_t* b) {
         const uint8_t data[] = {0x95, 0x5C, 0x83, 0x5C, 0x41};
         return PrnCmdAddSymbol(b, 3, data, sizeof data);
       }},
      {"PDF417 with everything", "data", 0, 5, 3, 4, 30,
       [](PrnCmdHandle_t* b) {
         PrnCmdSetSymbolLevel(b, 0, 5);
         PrnCmdSetSymbolWidth(b, 0, 3);
         PrnCmdSetSymbolHeight(b, 0, 4);
         PrnCmdSetSymbolSize(b, 0, 30);
         return PrnCmdAddSymbol(b, 0, reinterpret_cast<const uint8_t*>("data"), 4);
       }},
      {"Aztec level is a percentage", "x", 12, 50, -1, -1, -1,
       [](PrnCmdHandle_t* b) {
         PrnCmdSetSymbolLevelPercent(b, 12, 50);
         return PrnCmdAddSymbol(b, 12, reinterpret_cast<const uint8_t*>("x"), 1);
       }},
      {"DataBar stacked max width", "0123", 10, 13, -1, -1, 65535,
       [](PrnCmdHandle_t* b) {
         PrnCmdSetSymbolLevel(b, 10, 13);
         PrnCmdSetSymbolSize(b, 10, 65535);
         return PrnCmdAddSymbol(b, 10, reinterpret_cast<const uint8_t*>("0123"), 4);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Printer engine("RP-S12F"), direct("RP-S12F");
    ASSERT_EQ(c.direct(direct.b()), 0);
    EXPECT_EQ(TiloAddSymbol(engine.record, c.data, c.type, c.level, c.width, c.height, c.size), 0);
    EXPECT_EQ(engine.Body(), direct.Body());
  }
}

TEST(BuilderOps, SymbolArgumentTable) {
  struct Case {
    int type, level, width, height, size;
    int expected;
  };
  const Case cases[] = {
      {17, -1, 255, 255, 0, 0},
      {18, -1, -1, -1, -1, 1},
      {-1, -1, -1, -1, -1, 1},
      {3, 14, -1, -1, -1, 1},
      {3, -2, -1, -1, -1, 1},
      {0, 13, -1, -1, -1, 1},
      // In range for the engine, refused by the QR code's level command.
      {3, 13, -1, -1, -1, 1},
      {3, 12, -1, -1, -1, 0},
      {0, 8, -1, -1, -1, 0},
      {12, 4, -1, -1, -1, 1},
      {13, 96, -1, -1, -1, 1},
      {13, 95, -1, -1, -1, 0},
      {13, 5, -1, -1, -1, 0},
      {3, -1, 0, -1, -1, 1},
      {3, -1, 256, -1, -1, 1},
      {0, -1, -1, 0, -1, 1},
      {0, -1, -1, -1, 65536, 1},
      {0, -1, -1, -1, -2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.type << " " << c.level << " " << c.width << " " << c.height << " " << c.size);
    Printer printer("RP-S12F");
    EXPECT_EQ(TiloAddSymbol(printer.record, "1234", c.type, c.level, c.width, c.height, c.size),
              c.expected);
    EXPECT_EQ(printer.Body().empty(), c.expected != 0);
  }
  Printer printer("RP-S12F");
  EXPECT_EQ(TiloAddSymbol(printer.record, nullptr, 3, -1, -1, -1, -1), 1);
  EXPECT_EQ(TiloAddSymbol(printer.record, "", 3, 10, -1, -1, -1), 1);
  EXPECT_TRUE(printer.Body().empty());
}

TEST(BuilderOps, SymbolAndBarcodeDataAtTheEndOfTheHeapBlock) {
  // Cut sequences at the very end of a C string, for both data paths (QR
  // goes through the double-byte conversion first).
  for (const char* text : {"AB\xE3", "AB\xF0\x9F", "\\", "\\x4", "AB\\x"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(text)));
    HeapString data(text);
    Printer printer("RP-S12F");
    const int barcode = TiloAddBarcode(printer.record, data.text, 10, -1, -1, -1, -1);
    EXPECT_TRUE(barcode == 0 || barcode == 1);
    for (int type : {0, 3}) {
      const int symbol = TiloAddSymbol(printer.record, data.text, type, -1, -1, -1, -1);
      EXPECT_TRUE(symbol == 0 || symbol == 1);
    }
  }
}

TEST(BuilderOps, DecodeMemoryFailuresGiveFive) {
  Printer printer("RP-S12F");
  {
    FailingEngineAlloc failing(0);
    EXPECT_EQ(TiloAddBarcode(printer.record, "123", 6, 2, -1, -1, -1), 5);
  }
  {
    FailingEngineAlloc failing(0);
    EXPECT_EQ(TiloAddSymbol(printer.record, "123", 0, 1, -1, -1, -1), 5);
  }
  for (int failAt : {0, 1}) {  // the Kanji copy, then the decoded bytes
    FailingEngineAlloc failing(failAt);
    EXPECT_EQ(TiloAddSymbol(printer.record, "123", 3, 10, -1, -1, -1), 5);
  }
  EXPECT_TRUE(printer.Body().empty());
}

// ---------------------------------------------------------------------------
// Display operations.

int FixedClock(int* hour, int* minute) {
  *hour = 9;
  *minute = 41;
  return 0;
}

using DisplayOp = std::function<int(DisplayBuilder_t*)>;

TEST(BuilderOps, DisplayOperationsWithExactBytes) {
  DspSetLocalClock(FixedClock);
  const Bytes language0 = B({0x1B, 0x74, 0x00, 0x1B, 0x52, 0x00, 0x1F, 0x28, 0x47, 0x02,
                             0x00, 0x61, 0x00, 0x1F, 0x28, 0x47, 0x02, 0x00, 0x60, 0x00});
  const uint8_t raw[] = {0x1F, 0x40};
  struct Case {
    const char* name;
    const char* model;
    DisplayOp op;
    Bytes expected;
  };
  const Case cases[] = {
      {"initialize", "CD-A1", [](auto* d) { return TiloDisplayAddInitialize(d); },
       B({0x1B, 0x40, 0x1F, 0x54, 0x09, 0x29, 0x1B, 0x52, 0x00, 0x1F, 0x28, 0x47, 0x02, 0x00, 0x60,
          0x00, 0x0C})},
      {"create window", "CD-A1",
       [](auto* d) { return TiloDisplayAddCreateWindow(d, 2, 5, 1, 10, 2, 1); },
       B({0x1B, 0x57, 0x02, 0x01, 0x05, 0x01, 0x0E, 0x02, 0x1F, 0x24, 0x05, 0x01, 0x1F, 0x02})},
      {"create window default scroll", "CD-A1",
       [](auto* d) { return TiloDisplayAddCreateWindow(d, 4, 20, 2, 1, 1, -2); },
       B({0x1B, 0x57, 0x04, 0x01, 0x14, 0x02, 0x14, 0x02, 0x1F, 0x24, 0x14, 0x02, 0x1F, 0x01})},
      {"destroy window", "CD-A1", [](auto* d) { return TiloDisplayAddDestroyWindow(d, 2); },
       B({0x1B, 0x57, 0x02, 0x00})},
      {"select window", "CD-A1",
       [](auto* d) {
         TiloDisplayAddCreateWindow(d, 1, 3, 2, 5, 1, 0);
         DspCmdClear(d->builder);
         return TiloDisplayAddSetCurrentWindow(d, 1);
       },
       B({0x1F, 0x24, 0x03, 0x02})},
      {"clear", "CD-A1", [](auto* d) { return TiloDisplayAddClearCurrentWindow(d); }, B({0x0C})},
      {"cursor position", "CD-A1",
       [](auto* d) { return TiloDisplayAddSetCursorPosition(d, 20, 2); },
       B({0x1F, 0x24, 0x14, 0x02})},
      {"move cursor default", "CD-A1",
       [](auto* d) { return TiloDisplayAddMoveCursorPosition(d, -2); }, B({0x0B})},
      {"move cursor bottom right", "CD-A1",
       [](auto* d) { return TiloDisplayAddMoveCursorPosition(d, 3); }, B({0x1F, 0x42})},
      {"cursor type default", "CD-A1", [](auto* d) { return TiloDisplayAddSetCursorType(d, -2); },
       B({0x1F, 0x43, 0x01})},
      {"cursor type none", "CD-A1", [](auto* d) { return TiloDisplayAddSetCursorType(d, 0); },
       B({0x1F, 0x43, 0x00})},
      {"cursor type on a model without it", "CD-A4",
       [](auto* d) { return TiloDisplayAddSetCursorType(d, 1); }, Bytes{}},
      // The converter puts its code page switch (ESC t 0) before the text.
      {"text in place", "CD-A1", [](auto* d) { return TiloDisplayAddText(d, "AB", -1, -1, -1); },
       B({0x1F, 0x72, 0x00, 0x1B, 0x74, 0x00, 'A', 'B'})},
      {"text at a position in the default language", "CD-A1",
       [](auto* d) { return TiloDisplayAddText(d, "AB", 3, 1, -2); },
       Cat(Cat(B({0x1F, 0x24, 0x03, 0x01}), language0),
           B({0x1F, 0x72, 0x00, 0x1B, 0x74, 0x00, 'A', 'B'}))},
      {"reverse text", "CD-A1",
       [](auto* d) { return TiloDisplayAddReverseText(d, "AB", -1, -1, -1); },
       B({0x1F, 0x72, 0x01, 0x1B, 0x74, 0x00, 'A', 'B', 0x1F, 0x72, 0x00})},
      {"blink", "CD-A1", [](auto* d) { return TiloDisplayAddSetBlink(d, 120); },
       B({0x1F, 0x45, 0x03})},
      {"blink off", "CD-A1", [](auto* d) { return TiloDisplayAddSetBlink(d, 0); },
       B({0x1F, 0x45, 0x00})},
      {"blink longest", "CD-A1", [](auto* d) { return TiloDisplayAddSetBlink(d, 12700); },
       B({0x1F, 0x45, 0xFE})},
      {"brightness 3", "CD-A1", [](auto* d) { return TiloDisplayAddSetBrightness(d, 3); },
       B({0x1F, 0x58, 0x04})},
      {"brightness 2", "CD-A1", [](auto* d) { return TiloDisplayAddSetBrightness(d, 2); },
       B({0x1F, 0x58, 0x03})},
      {"brightness 1", "CD-A1", [](auto* d) { return TiloDisplayAddSetBrightness(d, 1); },
       B({0x1F, 0x58, 0x02})},
      {"brightness 0", "CD-A1", [](auto* d) { return TiloDisplayAddSetBrightness(d, 0); },
       B({0x1F, 0x58, 0x01})},
      {"brightness default", "CD-A1", [](auto* d) { return TiloDisplayAddSetBrightness(d, -2); },
       B({0x1F, 0x58, 0x04})},
      {"show clock", "CD-A1", [](auto* d) { return TiloDisplayAddShowClock(d); }, B({0x1F, 0x55})},
      {"command", "CD-A1", [&](auto* d) { return TiloDisplayAddCommand(d, raw, 2); },
       B({0x1F, 0x40})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Display display(c.model);
    EXPECT_EQ(c.op(display.record), 0);
    EXPECT_EQ(display.Body(), c.expected);
  }
  DspSetLocalClock(nullptr);
}

TEST(BuilderOps, DisplayTextAndMarqueeMatchTheBuilder) {
  {
    Display engine("CD-A1"), direct("CD-A1");
    EXPECT_EQ(TiloDisplayAddText(engine.record, "\xE6\x97\xA5", 2, 2, 1), 0);
    ASSERT_EQ(DspCmdSetCursorPosition(direct.b(), 2, 2), 0);
    ASSERT_EQ(DspCmdSetLanguage(direct.b(), 1), 0);
    ASSERT_EQ(direct.b()->ops->reverse(direct.b(), 0), 0);
    ASSERT_EQ(direct.b()->ops->text(direct.b(), "\xE6\x97\xA5"), 0);
    EXPECT_EQ(engine.Body(), direct.Body());
    EXPECT_EQ(engine.b()->textLang, 1);
  }
  struct Marquee {
    int format, unitWait, repeatWait, repeatCount, language;
    int sentFormat, sentLanguage;
  };
  for (const Marquee m : {Marquee{0, 100, 75, 3, 1, 0, 1}, Marquee{-2, 1, 2000, 127, -1, 0, 0},
                          Marquee{1, 2000, 1, 0, -2, 1, 0}}) {
    SCOPED_TRACE(testing::Message() << m.format << " " << m.language);
    Display engine("CD-A1"), direct("CD-A1");
    EXPECT_EQ(TiloDisplayAddMarqueeText(engine.record, "Welcome", m.format, m.unitWait,
                                        m.repeatWait, m.repeatCount, m.language),
              0);
    ASSERT_EQ(DspCmdAddMarquee(direct.b(), "Welcome", m.sentFormat, m.unitWait, m.repeatWait,
                               m.repeatCount, m.sentLanguage),
              0);
    EXPECT_EQ(engine.Body(), direct.Body());
  }
}

TEST(BuilderOps, DisplayValuesOutOfRangeGiveOneAndAddNothing) {
  const uint8_t raw[] = {0x1F};
  const std::pair<const char*, DisplayOp> cases[] = {
      {"window 0", [](auto* d) { return TiloDisplayAddCreateWindow(d, 0, 1, 1, 1, 1, 0); }},
      {"window 5", [](auto* d) { return TiloDisplayAddCreateWindow(d, 5, 1, 1, 1, 1, 0); }},
      {"window x 21", [](auto* d) { return TiloDisplayAddCreateWindow(d, 1, 21, 1, 1, 1, 0); }},
      {"window y 3", [](auto* d) { return TiloDisplayAddCreateWindow(d, 1, 1, 3, 1, 1, 0); }},
      {"window width 0", [](auto* d) { return TiloDisplayAddCreateWindow(d, 1, 1, 1, 0, 1, 0); }},
      {"window height 3", [](auto* d) { return TiloDisplayAddCreateWindow(d, 1, 1, 1, 1, 3, 0); }},
      {"window scroll 3", [](auto* d) { return TiloDisplayAddCreateWindow(d, 1, 1, 1, 1, 1, 3); }},
      {"window scroll -1",
       [](auto* d) { return TiloDisplayAddCreateWindow(d, 1, 1, 1, 1, 1, -1); }},
      {"destroy 0", [](auto* d) { return TiloDisplayAddDestroyWindow(d, 0); }},
      {"destroy 5", [](auto* d) { return TiloDisplayAddDestroyWindow(d, 5); }},
      {"select 0", [](auto* d) { return TiloDisplayAddSetCurrentWindow(d, 0); }},
      {"select 5", [](auto* d) { return TiloDisplayAddSetCurrentWindow(d, 5); }},
      {"cursor x 0", [](auto* d) { return TiloDisplayAddSetCursorPosition(d, 0, 1); }},
      {"cursor y 3", [](auto* d) { return TiloDisplayAddSetCursorPosition(d, 1, 3); }},
      {"move 4", [](auto* d) { return TiloDisplayAddMoveCursorPosition(d, 4); }},
      {"move -1", [](auto* d) { return TiloDisplayAddMoveCursorPosition(d, -1); }},
      {"cursor type 2", [](auto* d) { return TiloDisplayAddSetCursorType(d, 2); }},
      {"text null", [](auto* d) { return TiloDisplayAddText(d, nullptr, -1, -1, -1); }},
      {"text x only", [](auto* d) { return TiloDisplayAddText(d, "a", -1, 1, -1); }},
      {"text y only", [](auto* d) { return TiloDisplayAddText(d, "a", 1, -1, -1); }},
      {"text x 21", [](auto* d) { return TiloDisplayAddText(d, "a", 21, 1, -1); }},
      {"text language 7", [](auto* d) { return TiloDisplayAddText(d, "a", 1, 1, 7); }},
      {"reverse text language -3",
       [](auto* d) { return TiloDisplayAddReverseText(d, "a", -1, -1, -3); }},
      {"marquee null",
       [](auto* d) { return TiloDisplayAddMarqueeText(d, nullptr, 0, 1, 1, 0, 0); }},
      {"marquee format 2",
       [](auto* d) { return TiloDisplayAddMarqueeText(d, "a", 2, 1, 1, 0, 0); }},
      {"marquee unit 0", [](auto* d) { return TiloDisplayAddMarqueeText(d, "a", 0, 0, 1, 0, 0); }},
      {"marquee unit 2001",
       [](auto* d) { return TiloDisplayAddMarqueeText(d, "a", 0, 2001, 1, 0, 0); }},
      {"marquee repeat wait 0",
       [](auto* d) { return TiloDisplayAddMarqueeText(d, "a", 0, 1, 0, 0, 0); }},
      {"marquee count 128",
       [](auto* d) { return TiloDisplayAddMarqueeText(d, "a", 0, 1, 1, 128, 0); }},
      {"marquee language 7",
       [](auto* d) { return TiloDisplayAddMarqueeText(d, "a", 0, 1, 1, 0, 7); }},
      {"blink 12701", [](auto* d) { return TiloDisplayAddSetBlink(d, 12701); }},
      {"blink -1", [](auto* d) { return TiloDisplayAddSetBlink(d, -1); }},
      {"brightness 4", [](auto* d) { return TiloDisplayAddSetBrightness(d, 4); }},
      {"brightness -1", [](auto* d) { return TiloDisplayAddSetBrightness(d, -1); }},
      {"command null", [](auto* d) { return TiloDisplayAddCommand(d, nullptr, 1); }},
      {"command size 0", [&](auto* d) { return TiloDisplayAddCommand(d, raw, 0); }},
  };
  for (const auto& [name, op] : cases) {
    SCOPED_TRACE(name);
    Display display("CD-A1");
    EXPECT_EQ(op(display.record), 1);
    EXPECT_TRUE(display.Body().empty());
  }
  // Every display operation refuses a null record and one without a live builder.
  const std::vector<DisplayOp> ops = {
      [](auto* d) { return TiloDisplayAddInitialize(d); },
      [](auto* d) { return TiloDisplayAddCreateWindow(d, 1, 1, 1, 1, 1, 0); },
      [](auto* d) { return TiloDisplayAddDestroyWindow(d, 1); },
      [](auto* d) { return TiloDisplayAddSetCurrentWindow(d, 1); },
      [](auto* d) { return TiloDisplayAddClearCurrentWindow(d); },
      [](auto* d) { return TiloDisplayAddSetCursorPosition(d, 1, 1); },
      [](auto* d) { return TiloDisplayAddMoveCursorPosition(d, 0); },
      [](auto* d) { return TiloDisplayAddSetCursorType(d, 0); },
      [](auto* d) { return TiloDisplayAddText(d, "a", -1, -1, -1); },
      [](auto* d) { return TiloDisplayAddReverseText(d, "a", -1, -1, -1); },
      [](auto* d) { return TiloDisplayAddMarqueeText(d, "a", 0, 1, 1, 0, 0); },
      [](auto* d) { return TiloDisplayAddSetBlink(d, 0); },
      [](auto* d) { return TiloDisplayAddSetBrightness(d, 0); },
      [](auto* d) { return TiloDisplayAddShowClock(d); },
      [&](auto* d) { return TiloDisplayAddCommand(d, raw, 1); },
  };
  char name[] = "CD-A1";
  DisplayBuilder_t empty{nullptr, name};
  // A printer builder is not a display builder.
  PrnCmdHandle_t* printer = nullptr;
  ASSERT_EQ(PrnCmdOpen("RP-S12F", 0, &printer), 0);
  DisplayBuilder_t wrongKind{reinterpret_cast<DspCmdHandle_t*>(printer), name};
  for (size_t i = 0; i < ops.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(ops[i](nullptr), 1);
    EXPECT_EQ(ops[i](&empty), 1);
    EXPECT_EQ(ops[i](&wrongKind), 1);
  }
  EXPECT_EQ(printer->cmdBuffer.body, nullptr);
  EXPECT_EQ(PrnCmdClose(printer), 0);
}

// ---------------------------------------------------------------------------
// Attaching a builder.

class AttachBuilder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(TiloCreateHandle(&handle_), 0);
    queue_ = createQueue(nullptr, handle_);
    ASSERT_NE(queue_, nullptr);
    handle_->queue = queue_;
  }
  void TearDown() override {
    handle_->queue = nullptr;
    destroyQueue(queue_);
    EXPECT_EQ(TiloDestroyHandle(handle_), 0);
  }
  int Mode() const { return queue_->reorderMode.load(); }

  PrintHandle_t* handle_ = nullptr;
  RequestQueue_t* queue_ = nullptr;
};

TEST_F(AttachBuilder, ReorderModeFollowsTheModelsJobEndTest) {
  struct Case {
    const char* model;
    int language;
    int mode;
  };
  for (const Case c :
       {Case{"RP-S12F", 0, 1}, Case{"RP-D4", 0, 2}, Case{"RP-M3", 1, 1}, Case{"RP-D6", 2, 2}}) {
    SCOPED_TRACE(c.model);
    queue_->reorderMode = 0;
    Printer printer(c.model, c.language);
    TiloAttachBuilder(handle_, printer.record);
    EXPECT_EQ(Mode(), c.mode);
    SharedPrnBuilder attached = GetAttachedBuilder(handle_);
    ASSERT_NE(attached, nullptr);
    EXPECT_NE(attached.get(), printer.b());
    EXPECT_STREQ(attached->modelName, c.model);
  }
}

TEST_F(AttachBuilder, InvalidBuildersGiveModeTwoAndLeaveNoneAttached) {
  Printer good("RP-S12F");
  char name[] = "X";
  // The generic model's reply table has no job-end test.
  PrnCmdHandle_t* generic = nullptr;
  ASSERT_EQ(PrnCmdOpen("", 0, &generic), 0);
  ASSERT_NE(generic->ops.reply, nullptr);
  ASSERT_EQ(generic->ops.reply->isJobEnd, nullptr);
  PrinterBuilder_t genericRecord{MakeSharedPrnBuilder(generic), nullptr, name};
  // A standard builder whose reply table is gone.
  PrnCmdHandle_t* noReply = nullptr;
  ASSERT_EQ(PrnCmdOpen("RP-S12F", 0, &noReply), 0);
  std::free(noReply->ops.reply);
  noReply->ops.reply = nullptr;
  PrinterBuilder_t noReplyRecord{MakeSharedPrnBuilder(noReply), nullptr, name};
  PrinterBuilder_t emptyRecord{nullptr, nullptr, name};
  PrnCmdHandle_t stale = *good.b();
  stale.tag = 0;
  PrinterBuilder_t staleRecord{SharedPrnBuilder(&stale, [](PrnCmdHandle_t*) {}), nullptr, name};

  struct Case {
    const char* name;
    PrinterBuilder_t* record;
    bool attached;
  };
  for (const Case c :
       {Case{"generic", &genericRecord, true}, Case{"no reply table", &noReplyRecord, true},
        Case{"no builder", &emptyRecord, false}, Case{"stale builder", &staleRecord, false}}) {
    SCOPED_TRACE(c.name);
    TiloAttachBuilder(handle_, good.record);
    ASSERT_EQ(Mode(), 1);
    TiloAttachBuilder(handle_, c.record);
    EXPECT_EQ(Mode(), 2);
    EXPECT_EQ(GetAttachedBuilder(handle_) != nullptr, c.attached);
  }
}

TEST_F(AttachBuilder, TheDuplicateOutlivesTheCallersBuilderAndIsReplaced) {
  PrinterBuilder_t* first = nullptr;
  ASSERT_EQ(TiloCreateBuilder(&first, "RP-S12F", 0), 0);
  ASSERT_EQ(TiloAddText(first, "job\n"), 0);
  const Bytes body = ListBytes(first->builder->cmdBuffer.body);
  ASSERT_FALSE(body.empty());
  TiloAttachBuilder(handle_, first);
  ASSERT_EQ(TiloDestroyBuilder(first), 0);

  // The engine's copy is still a live builder with the job's body.
  SharedPrnBuilder attached = GetAttachedBuilder(handle_);
  ASSERT_NE(attached, nullptr);
  EXPECT_EQ(attached->tag, kPrnCmdTag);
  EXPECT_EQ(ListBytes(attached->cmdBuffer.body), body);
  CmdData_t* data = nullptr;
  ASSERT_EQ(PrnCmdBuild(attached.get(), &data), 0);
  EXPECT_EQ(CmdDataFree(data), 0);

  // A second attach replaces it; the reader's reference keeps the old one alive.
  Printer second("RP-D4");
  TiloAttachBuilder(handle_, second.record);
  EXPECT_EQ(Mode(), 2);
  SharedPrnBuilder replaced = GetAttachedBuilder(handle_);
  ASSERT_NE(replaced, nullptr);
  EXPECT_NE(replaced.get(), attached.get());
  EXPECT_STREQ(replaced->modelName, "RP-D4");
  EXPECT_EQ(attached->tag, kPrnCmdTag);
  EXPECT_EQ(attached.use_count(), 1);
}

TEST_F(AttachBuilder, NullArgumentsAndHandlesWithoutAQueue) {
  Printer printer("RP-S12F");
  TiloAttachBuilder(nullptr, printer.record);
  TiloAttachBuilder(handle_, nullptr);
  EXPECT_EQ(GetAttachedBuilder(handle_), nullptr);
  EXPECT_EQ(GetAttachedBuilder(nullptr), nullptr);
  EXPECT_EQ(Mode(), 0);

  handle_->queue = nullptr;
  TiloAttachBuilder(handle_, printer.record);
  EXPECT_NE(GetAttachedBuilder(handle_), nullptr);
  handle_->queue = queue_;
  EXPECT_EQ(Mode(), 0);
}

TEST_F(AttachBuilder, AFailedDuplicateLeavesNoneAttached) {
  Printer printer("RP-S12F");
  TiloAttachBuilder(handle_, printer.record);
  ASSERT_NE(GetAttachedBuilder(handle_), nullptr);
  EncodingSetAllocator([](size_t) -> void* { return nullptr; });
  TiloAttachBuilder(handle_, printer.record);
  EncodingSetAllocator(nullptr);
  EXPECT_EQ(GetAttachedBuilder(handle_), nullptr);
  EXPECT_EQ(Mode(), 1);
}

}  // namespace
