// Replay of the printer command list into a backend's builder: the two
// operation-table fillers, the executors that map every stored value into the
// numbering of the backend in use, the slot forwarders and the builder clear.

#include <cstdint>

#include "device/code_tables.h"
#include "device/command_blocks.h"
#include "device/command_list.h"
#include "encoding/printer/prn_cmd.h"
#include "engine/builder_ops.h"
#include "engine/builder_records.h"
#include "engine/print_handle.h"
#include "foundation/lock_guard.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

template <typename F>
void* SlotOf(F* function) {
  return reinterpret_cast<void*>(function);
}

// What an executor answers: the slot's raw result, or the layer's own answer
// (a value that does not translate, a refused combination, missing settings).
struct ExecResult {
  int code;
  bool fromSlot;
};

ExecResult Own(int code) { return {code, false}; }

// Calls slot k with the builder typed as the backend's own handle, so each
// slot runs through a pointer of its exact type.
template <typename... Args>
ExecResult CallSlot(int32_t mode, void* slot, void* builder, Args... args) {
  if (slot == nullptr) return Own(TDC_ERR_PARAM);
  if (mode == TDC_MODE_DIRECT) {
    auto* fn = reinterpret_cast<int (*)(PrinterBuilder_t*, Args...)>(slot);
    return {fn(static_cast<PrinterBuilder_t*>(builder), args...), true};
  }
  auto* fn = reinterpret_cast<int (*)(TdevPrinterHandle_t*, Args...)>(slot);
  return {fn(static_cast<TdevPrinterHandle_t*>(builder), args...), true};
}

// Maps one stored value; false when the table does not hold it.
bool Map(TdcCodeTable table, int32_t mode, int32_t stored, int32_t* out) {
  return TdcMapStoredValue(table, mode, stored, out);
}

// -1 (leave the setting alone) passes unchanged, anything else through the table.
bool MapOptional(TdcCodeTable table, int32_t mode, int32_t stored, int32_t* out) {
  if (stored == kTdcUnspecified) {
    *out = kTdcUnspecified;
    return true;
  }
  return Map(table, mode, stored, out);
}

struct Context {
  int32_t mode;
  void* builder;
  const TdcCommand_t* node;
  const TdcPrinterOps_t* ops;
  void* Slot() const { return ops->slot[node->kind]; }
  const int32_t* Ints() const { return static_cast<const int32_t*>(node->args); }
};

// Kinds of one int passed through a table.
ExecResult OneMapped(const Context& c, TdcCodeTable table) {
  int32_t value = 0;
  if (!Map(table, c.mode, c.Ints()[0], &value)) return Own(TDC_ERR_PARAM);
  return CallSlot(c.mode, c.Slot(), c.builder, value);
}

ExecResult OneStored(const Context& c) {
  return CallSlot(c.mode, c.Slot(), c.builder, c.Ints()[0]);
}

ExecResult ExecTextAlign(const Context& c) { return OneMapped(c, kTdcAlignmentTable); }
ExecResult ExecLineSpace(const Context& c) { return OneStored(c); }
ExecResult ExecTextRotate(const Context& c) { return OneMapped(c, kTdcBooleanTable); }
ExecResult ExecText(const Context& c) {
  return CallSlot(c.mode, c.Slot(), c.builder, static_cast<const char*>(c.node->args));
}
ExecResult ExecTextLang(const Context& c) { return OneMapped(c, kTdcLanguageTable); }
ExecResult ExecTextFont(const Context& c) { return OneMapped(c, kTdcFontTable); }
ExecResult ExecTextSmooth(const Context& c) { return OneMapped(c, kTdcBooleanTable); }

ExecResult ExecTextSize(const Context& c) {
  const int32_t* v = c.Ints();
  if (v[0] == kTdcUnspecified && v[1] == kTdcUnspecified) return Own(TDC_ERR_PARAM);
  auto scale = [](int32_t stored) { return stored == kTdcDefault ? 1 : stored; };
  return CallSlot(c.mode, c.Slot(), c.builder, scale(v[0]), scale(v[1]));
}

ExecResult ExecTextStyle(const Context& c) {
  const int32_t* v = c.Ints();
  if (v[0] == kTdcUnspecified && v[1] == kTdcUnspecified && v[2] == kTdcUnspecified &&
      v[3] == kTdcUnspecified) {
    return Own(TDC_ERR_PARAM);
  }
  int32_t reverse = 0, ul = 0, em = 0, color = 0;
  if (!MapOptional(kTdcBooleanTable, c.mode, v[0], &reverse) ||
      !MapOptional(kTdcBooleanTable, c.mode, v[1], &ul) ||
      !MapOptional(kTdcBooleanTable, c.mode, v[2], &em) ||
      !MapOptional(kTdcColorTable, c.mode, v[3], &color)) {
    return Own(TDC_ERR_PARAM);
  }
  return CallSlot(c.mode, c.Slot(), c.builder, reverse, ul, em, color);
}

ExecResult ExecHPosition(const Context& c) { return OneStored(c); }
ExecResult ExecFeedUnit(const Context& c) { return OneStored(c); }
ExecResult ExecFeedLine(const Context& c) { return OneStored(c); }

ExecResult ExecImage(const Context& c) {
  const auto* image = static_cast<const TdcImageArgs_t*>(c.node->args);
  int32_t color = 0, mode = 0, halftone = 0;
  if (!Map(kTdcColorTable, c.mode, image->color, &color) ||
      !Map(kTdcImageModeTable, c.mode, image->mode, &mode) ||
      !Map(kTdcHalftoneTable, c.mode, image->halftone, &halftone)) {
    return Own(TDC_ERR_PARAM);
  }
  const double brightness = image->brightness == -2.0 ? 1.0 : image->brightness;
  int32_t compress = 0;
  if (image->pageMode == 1) {
    compress = 0;  // page mode prints uncompressed
  } else if (image->compress == kTdcDefault || image->compress == 2) {
    if (image->settings == nullptr) return Own(TDC_ERR_FAILURE);
    // Compression pays off on the slow link only.
    compress = image->settings->portType == TDC_PORT_BLUETOOTH ? 1 : 0;
  } else if (!Map(kTdcCompressionTable, c.mode, image->compress, &compress)) {
    return Own(TDC_ERR_PARAM);
  }
  void* slot = c.Slot();
  if (slot == nullptr) return Own(TDC_ERR_PARAM);
  if (c.mode == TDC_MODE_DIRECT) {
    // The handle is read now: the image may have been added before the
    // connect. On the direct backend only operations holding the record's
    // operation lock write it, and the replay runs under that lock.
    auto* handle =
        image->handleSlot != nullptr ? static_cast<PrintHandle_t*>(*image->handleSlot) : nullptr;
    auto* fn = reinterpret_cast<decltype(&TdcPrinterDirectAddImage)>(slot);
    return {fn(static_cast<PrinterBuilder_t*>(c.builder), image->rgb, image->imageWidth,
               image->imageHeight, image->x, image->y, image->width, image->height, color, mode,
               halftone, brightness, compress, handle),
            true};
  }
  // The device service's forwarder drops the backend handle, so it is not
  // read here (a connection event may be clearing it on another thread).
  auto* fn = reinterpret_cast<decltype(&TdcPrinterServiceAddImage)>(slot);
  return {fn(c.builder, image->rgb, image->imageWidth, image->imageHeight, image->x, image->y,
             image->width, image->height, color, mode, halftone, brightness, compress, nullptr),
          true};
}

ExecResult ExecLogo(const Context& c) {
  return CallSlot(c.mode, c.Slot(), c.builder, c.Ints()[0], c.Ints()[1]);
}

ExecResult ExecBarcode(const Context& c) {
  const auto* b = static_cast<const TdcSymbolArgs_t*>(c.node->args);
  int32_t type = 0, hri = 0, font = 0;
  if (!Map(kTdcBarcodeTypeTable, c.mode, b->values[0], &type) ||
      !MapOptional(kTdcHriTable, c.mode, b->values[1], &hri) ||
      !MapOptional(kTdcFontTable, c.mode, b->values[2], &font)) {
    return Own(TDC_ERR_PARAM);
  }
  return CallSlot(c.mode, c.Slot(), c.builder, b->data, type, hri, font, b->values[3],
                  b->values[4]);
}

// The level of a symbol by its stored type; false when the type does not take it.
bool MapSymbolLevel(int32_t mode, int32_t type, int32_t stored, int32_t* out) {
  if (stored == kTdcUnspecified) {
    *out = kTdcUnspecified;
    return true;
  }
  if (type == 0 || type == 1) return Map(kTdcPdf417LevelTable, mode, stored, out);
  if (type >= 2 && type <= 4) return Map(kTdcQrLevelTable, mode, stored, out);
  if (type == 13 || type == 14) {
    // Aztec takes a percentage of error correction.
    if (stored == kTdcDefault) {
      *out = 23;
      return true;
    }
    if (stored < 5 || stored > 95) return false;
    *out = stored;
    return true;
  }
  return Map(kTdcOtherSymbolLevelTable, mode, stored, out);
}

ExecResult ExecSymbol(const Context& c) {
  const auto* s = static_cast<const TdcSymbolArgs_t*>(c.node->args);
  int32_t type = 0, level = 0;
  if (!Map(kTdcSymbolTypeTable, c.mode, s->values[0], &type) ||
      !MapSymbolLevel(c.mode, s->values[0], s->values[1], &level)) {
    return Own(TDC_ERR_PARAM);
  }
  return CallSlot(c.mode, c.Slot(), c.builder, s->data, type, level, s->values[2], s->values[3],
                  s->values[4]);
}

ExecResult ExecHLine(const Context& c) {
  const int32_t* v = c.Ints();
  int32_t style = 0;
  if (!Map(kTdcLineStyleTable, c.mode, v[2], &style)) return Own(TDC_ERR_PARAM);
  return CallSlot(c.mode, c.Slot(), c.builder, v[0], v[1], style);
}

ExecResult ExecVLine(const Context& c) {
  const int32_t* v = c.Ints();
  int32_t style = 0;
  if (!Map(kTdcLineStyleTable, c.mode, v[1], &style)) return Own(TDC_ERR_PARAM);
  return CallSlot(c.mode, c.Slot(), c.builder, v[0], style);
}

ExecResult ExecNoArgs(const Context& c) { return CallSlot(c.mode, c.Slot(), c.builder); }

ExecResult ExecPageArea(const Context& c) {
  const int32_t* v = c.Ints();
  return CallSlot(c.mode, c.Slot(), c.builder, v[0], v[1], v[2], v[3]);
}

ExecResult ExecPageDirection(const Context& c) { return OneMapped(c, kTdcDirectionTable); }

ExecResult ExecPagePosition(const Context& c) {
  const int32_t* v = c.Ints();
  if (v[0] == kTdcUnspecified && v[1] == kTdcUnspecified) return Own(TDC_ERR_PARAM);
  return CallSlot(c.mode, c.Slot(), c.builder, v[0], v[1]);
}

ExecResult ExecPageShape(const Context& c) {
  const int32_t* v = c.Ints();
  int32_t style = 0;
  if (!Map(kTdcLineStyleTable, c.mode, v[4], &style)) return Own(TDC_ERR_PARAM);
  return CallSlot(c.mode, c.Slot(), c.builder, v[0], v[1], v[2], v[3], style);
}

ExecResult ExecCut(const Context& c) { return OneMapped(c, kTdcCutTable); }

ExecResult ExecPulse(const Context& c) {
  const int32_t* v = c.Ints();
  int32_t drawer = 0, time = 0;
  if (!Map(kTdcDrawerTable, c.mode, v[0], &drawer) ||
      !Map(kTdcPulseTimeTable, c.mode, v[1], &time)) {
    return Own(TDC_ERR_PARAM);
  }
  return CallSlot(c.mode, c.Slot(), c.builder, drawer, time);
}

ExecResult ExecSound(const Context& c) {
  const int32_t* v = c.Ints();
  int32_t pattern = 0;
  if (!Map(kTdcSoundTable, c.mode, v[0], &pattern)) return Own(TDC_ERR_PARAM);
  // "No sound" has no command on a direct connection: there is nothing to send.
  if (pattern == kTdcNone) return Own(TDC_SUCCESS);
  const int32_t repeat = v[1] == kTdcDefault ? 1 : v[1];
  const int32_t cycle = v[2] == kTdcDefault ? 1000 : v[2];
  return CallSlot(c.mode, c.Slot(), c.builder, pattern, repeat, cycle);
}

ExecResult ExecCommand(const Context& c) {
  const auto* d = static_cast<const TdcDataArgs_t*>(c.node->args);
  void* slot = c.Slot();
  if (slot == nullptr) return Own(TDC_ERR_PARAM);
  if (c.mode == TDC_MODE_DIRECT) {
    auto* fn = reinterpret_cast<decltype(&TdcPrinterDirectAddCommand)>(slot);
    return {fn(static_cast<PrinterBuilder_t*>(c.builder), d->bytes, d->length), true};
  }
  auto* fn = reinterpret_cast<decltype(&TdevAddCommand)>(slot);
  return {fn(c.builder, d->bytes, d->length), true};
}

ExecResult ExecFeedPosition(const Context& c) { return OneMapped(c, kTdcFeedPositionTable); }

ExecResult ExecLayout(const Context& c) {
  const int32_t* v = c.Ints();
  int32_t type = 0;
  if (!Map(kTdcLayoutTable, c.mode, v[0], &type)) return Own(TDC_ERR_PARAM);
  return CallSlot(c.mode, c.Slot(), c.builder, type, v[1], v[2], v[3], v[4], v[5], v[6]);
}

using Executor = ExecResult (*)(const Context&);

// Executor k runs kind k.
constexpr Executor kExecutors[kTdcPrinterCommandKinds] = {
    ExecTextAlign,    ExecLineSpace,  ExecTextRotate,    ExecText,         ExecTextLang,
    ExecTextFont,     ExecTextSmooth, ExecTextSize,      ExecTextStyle,    ExecHPosition,
    ExecFeedUnit,     ExecFeedLine,   ExecImage,         ExecLogo,         ExecBarcode,
    ExecSymbol,       ExecHLine,      ExecVLine,         ExecVLine,        ExecNoArgs,
    ExecNoArgs,       ExecPageArea,   ExecPageDirection, ExecPagePosition, ExecPageShape,
    ExecPageShape,    ExecCut,        ExecPulse,         ExecSound,        ExecCommand,
    ExecFeedPosition, ExecLayout,
};

// A node's result in the layer's codes: a failing slot's code goes through
// the result table's column of the backend (no row: 255); the layer's own
// answers are already its codes.
int NodeResult(int32_t mode, ExecResult r) {
  if (!r.fromSlot || r.code == TDC_SUCCESS || r.code == TDC_ERR_PARAM) return r.code;
  const TdcColumn column = mode == TDC_MODE_DIRECT ? TdcColumn::Engine : TdcColumn::Service;
  const TdcCodeMap_t* row = TdcFindRow(kTdcResultTable, column, r.code);
  return row != nullptr && r.code != kTdcNone ? row->tdcValue : TDC_ERR_FAILURE;
}

bool NeedsArgs(int32_t kind) { return kind != TDC_CMD_PAGE_BEGIN && kind != TDC_CMD_PAGE_END; }

}  // namespace

int TdcSelectPrinterOps(TdcPrinterCommandSet_t* set, int32_t mode) {
  if (set == nullptr || set->ops == nullptr) return TDC_ERR_PARAM;
  switch (mode) {
    case TDC_MODE_CLOSED:
      return TDC_ERR_ILLEGAL;
    case TDC_MODE_DIRECT:
      TdcInitPrinterDirectOps(set->ops);
      return TDC_SUCCESS;
    case TDC_MODE_SERVICE:
      TdcInitPrinterServiceOps(set->ops);
      return TDC_SUCCESS;
    default:
      return TDC_ERR_PARAM;
  }
}

void TdcInitPrinterDirectOps(TdcPrinterOps_t* ops) {
  if (ops == nullptr) return;
  void* const slots[kTdcPrinterCommandKinds] = {
      SlotOf(TiloAddTextAlign),
      SlotOf(TiloAddLineSpace),
      SlotOf(TiloAddTextRotate),
      SlotOf(TiloAddText),
      SlotOf(TiloAddTextLang),
      SlotOf(TiloAddTextFont),
      SlotOf(TiloAddTextSmooth),
      SlotOf(TiloAddTextSize),
      SlotOf(TiloAddTextStyle),
      SlotOf(TiloAddHPosition),
      SlotOf(TiloAddFeedUnit),
      SlotOf(TiloAddFeedLine),
      SlotOf(TdcPrinterDirectAddImage),
      SlotOf(TiloAddLogo),
      SlotOf(TiloAddBarcode),
      SlotOf(TiloAddSymbol),
      SlotOf(TiloAddHLine),
      SlotOf(TiloAddVLineBegin),
      SlotOf(TiloAddVLineEnd),
      SlotOf(TiloAddPageBegin),
      SlotOf(TiloAddPageEnd),
      SlotOf(TiloAddPageArea),
      SlotOf(TiloAddPageDirection),
      SlotOf(TiloAddPagePosition),
      SlotOf(TiloAddPageLine),
      SlotOf(TiloAddPageRectangle),
      SlotOf(TiloAddCut),
      SlotOf(TiloAddPulse),
      SlotOf(TiloAddSound),
      SlotOf(TdcPrinterDirectAddCommand),
      SlotOf(TiloAddFeedPosition),
      SlotOf(TiloAddLayout),
  };
  for (int k = 0; k < kTdcPrinterCommandKinds; ++k) ops->slot[k] = slots[k];
}

void TdcInitPrinterServiceOps(TdcPrinterOps_t* ops) {
  if (ops == nullptr) return;
  void* const slots[kTdcPrinterCommandKinds] = {
      SlotOf(TdevPrinterAddTextAlign),     SlotOf(TdevPrinterAddLineSpace),
      SlotOf(TdevPrinterAddTextRotate),    SlotOf(TdevPrinterAddText),
      SlotOf(TdevPrinterAddTextLang),      SlotOf(TdevPrinterAddTextFont),
      SlotOf(TdevPrinterAddTextSmooth),    SlotOf(TdevPrinterAddTextSize),
      SlotOf(TdevPrinterAddTextStyle),     SlotOf(TdevPrinterAddHPosition),
      SlotOf(TdevPrinterAddFeedUnit),      SlotOf(TdevPrinterAddFeedLine),
      SlotOf(TdcPrinterServiceAddImage),   SlotOf(TdevPrinterAddLogo),
      SlotOf(TdevPrinterAddBarcode),       SlotOf(TdevPrinterAddSymbol),
      SlotOf(TdevPrinterAddHLine),         SlotOf(TdevPrinterAddVLineBegin),
      SlotOf(TdevPrinterAddVLineEnd),      SlotOf(TdevPrinterAddPageBegin),
      SlotOf(TdevPrinterAddPageEnd),       SlotOf(TdevPrinterAddPageArea),
      SlotOf(TdevPrinterAddPageDirection), SlotOf(TdevPrinterAddPagePosition),
      SlotOf(TdevPrinterAddPageLine),      SlotOf(TdevPrinterAddPageRectangle),
      SlotOf(TdevPrinterAddCut),           SlotOf(TdevPrinterAddPulse),
      SlotOf(TdevPrinterAddSound),         SlotOf(TdevAddCommand),
      SlotOf(TdevPrinterAddFeedPosition),  SlotOf(TdevPrinterAddLayout),
  };
  for (int k = 0; k < kTdcPrinterCommandKinds; ++k) ops->slot[k] = slots[k];
}

int TdcReplayPrinterCommands(int32_t mode, void* builder, TdcPrinterCommandSet_t* set) {
  if (builder == nullptr || set == nullptr) return TDC_ERR_PARAM;
  TdcCommandSnapshot job;
  if (const int taken = TdcTakePrinterCommands(&set->commandList, &job); taken != 0) return taken;
  return TdcReplayPrinterSnapshot(mode, builder, set->ops, job);
}

int TdcReplayPrinterSnapshot(int32_t mode, void* builder, const TdcPrinterOps_t* ops,
                             const TdcCommandSnapshot& job) {
  if (builder == nullptr) return TDC_ERR_PARAM;
  // Any other mode would skip every command and report an empty job as sent.
  if (mode != TDC_MODE_DIRECT && mode != TDC_MODE_SERVICE) return TDC_ERR_PARAM;
  if (job.Empty() || ops == nullptr) return TDC_ERR_ILLEGAL;
  for (const TdcCommand_t* node : job.Nodes()) {
    int result = TDC_ERR_PARAM;
    if (node->kind >= 0 && node->kind < kTdcPrinterCommandKinds &&
        (node->args != nullptr || !NeedsArgs(node->kind))) {
      const Context context{mode, builder, node, ops};
      result = NodeResult(mode, kExecutors[node->kind](context));
    }
    // A command the backend cannot take fails the whole job: printing the
    // rest without it would report a receipt as printed that is not.
    if (result != TDC_SUCCESS) return result;
  }
  return TDC_SUCCESS;
}

int TdcPrinterDirectAddImage(PrinterBuilder_t* builder, const uint8_t* rgb, int32_t imageWidth,
                             int32_t imageHeight, int32_t x, int32_t y, int32_t width,
                             int32_t height, int32_t color, int32_t mode, int32_t halftone,
                             double brightness, int32_t compress, PrintHandle_t* handle) {
  if (builder == nullptr || handle == nullptr) return TDC_ERR_PARAM;
  PrnCmdHandle_t* command = builder->builder.get();
  if (command == nullptr) return TDC_ERR_FAILURE;
  // The printer's reported paper width decides how wide an image may print.
  if (PrnCmdValid(command)) {
    const int32_t infoByte = handle->infoByte.load();
    if (infoByte != 0) command->paperWidthCode = infoByte;
    if (handle->infoFlag2.load() == 1) command->paperWidthFlag = 1;
  }
  return TiloAddImage(builder, rgb, imageWidth, imageHeight, x, y, width, height, color, mode,
                      halftone, brightness, compress);
}

int TdcPrinterDirectAddCommand(PrinterBuilder_t* builder, const uint8_t* bytes, int32_t length) {
  if (builder == nullptr || bytes == nullptr || length < 1) return TDC_ERR_PARAM;
  return TiloAddCommand(builder, bytes, static_cast<uint32_t>(length));
}

int TdcPrinterServiceAddImage(void* deviceHandle, const uint8_t* rgb, int32_t imageWidth,
                              int32_t imageHeight, int32_t x, int32_t y, int32_t width,
                              int32_t height, int32_t color, int32_t mode, int32_t halftone,
                              double brightness, int32_t /*compress*/, void* /*backendHandle*/) {
  if (deviceHandle == nullptr) return TDC_ERR_PARAM;
  return TdevPrinterAddImage(static_cast<TdevPrinterHandle_t*>(deviceHandle), rgb, imageWidth,
                             imageHeight, x, y, width, height, color, mode, halftone, brightness);
}

int TdcClearPrinterBuilder(int32_t mode, void* builder) {
  if (builder == nullptr) return TDC_ERR_PARAM;
  switch (mode) {
    case TDC_MODE_DIRECT:
      return TdcFromEngineResult(TiloClearBuilder(static_cast<PrinterBuilder_t*>(builder)));
    case TDC_MODE_SERVICE:
      // Empties the document body; a handle without a document has nothing to clear.
      TdevClearCommandBuffer(static_cast<TdevPrinterHandle_t*>(builder));
      return TDC_SUCCESS;
    default:
      return TDC_ERR_FAILURE;
  }
}

}  // namespace tilo2::core
