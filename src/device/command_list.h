#pragma once
// The printer command list: typed appends (one per argument-block shape),
// clear, the two operation-table fillers, the replay that maps every stored
// value into the backend's numbering, and the slot forwarders.

#include <cstdint>
#include <span>
#include <vector>

#include "device/device_types.h"

namespace tilo2::core {

enum TdcPrinterCommandKind : int32_t {
  TDC_CMD_TEXT_ALIGN = 0,
  TDC_CMD_LINE_SPACE = 1,
  TDC_CMD_TEXT_ROTATE = 2,
  TDC_CMD_TEXT = 3,
  TDC_CMD_TEXT_LANG = 4,
  TDC_CMD_TEXT_FONT = 5,
  TDC_CMD_TEXT_SMOOTH = 6,
  TDC_CMD_TEXT_SIZE = 7,
  TDC_CMD_TEXT_STYLE = 8,
  TDC_CMD_HPOSITION = 9,
  TDC_CMD_FEED_UNIT = 10,
  TDC_CMD_FEED_LINE = 11,
  TDC_CMD_IMAGE = 12,
  TDC_CMD_LOGO = 13,
  TDC_CMD_BARCODE = 14,
  TDC_CMD_SYMBOL = 15,
  TDC_CMD_HLINE = 16,
  TDC_CMD_VLINE_BEGIN = 17,
  TDC_CMD_VLINE_END = 18,
  TDC_CMD_PAGE_BEGIN = 19,
  TDC_CMD_PAGE_END = 20,
  TDC_CMD_PAGE_AREA = 21,
  TDC_CMD_PAGE_DIRECTION = 22,
  TDC_CMD_PAGE_POSITION = 23,
  TDC_CMD_PAGE_LINE = 24,
  TDC_CMD_PAGE_RECTANGLE = 25,
  TDC_CMD_CUT = 26,
  TDC_CMD_PULSE = 27,
  TDC_CMD_SOUND = 28,
  TDC_CMD_COMMAND = 29,
  TDC_CMD_FEED_POSITION = 30,
  TDC_CMD_LAYOUT = 31,
};

// Image block (kind 12).
struct TdcImageArgs_t {
  uint8_t* rgb;  // own copy: imageWidth * imageHeight * 3 bytes, blue, green, red
  int32_t imageWidth;
  int32_t imageHeight;
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
  int32_t color;
  int32_t mode;
  int32_t halftone;
  double brightness;
  int32_t compress;
  TdcPrinterSettings_t* settings;
  void** handleSlot;  // the record's handle field, read at replay (an Add may precede the connect)
  int32_t pageMode;
};

// Typed appends. Each answers 0; 1 for a null list or a kind whose block has
// another shape (or a null text, data or bytes); 10 when out of memory (the
// list unchanged). The callers have validated the values.
void TdcInitCommandList(TdcCommandList_t* list);
void TdcDestroyCommandList(TdcCommandList_t* list);                  // clears, then closes the lock
int TdcAddPrinterCommandNone(TdcCommandList_t* list, int32_t kind);  // 19, 20
int TdcAddPrinterCommandInt(TdcCommandList_t* list, int32_t kind, int32_t a);
int TdcAddPrinterCommandTwoInts(TdcCommandList_t* list, int32_t kind, int32_t a, int32_t b);
int TdcAddPrinterCommandThreeInts(TdcCommandList_t* list, int32_t kind, int32_t a, int32_t b,
                                  int32_t c);
int TdcAddPrinterCommandFourInts(TdcCommandList_t* list, int32_t kind, int32_t a, int32_t b,
                                 int32_t c, int32_t d);
int TdcAddPrinterCommandFiveInts(TdcCommandList_t* list, int32_t kind, int32_t a, int32_t b,
                                 int32_t c, int32_t d, int32_t e);
int TdcAddPrinterCommandLayout(TdcCommandList_t* list, int32_t type, int32_t width, int32_t height,
                               int32_t marginTop, int32_t marginBottom, int32_t offsetCut,
                               int32_t offsetLabel);
int TdcAddPrinterCommandText(TdcCommandList_t* list, const char* text);
// Kinds 14 and 15: the data copied, then five values.
int TdcAddPrinterCommandSymbol(TdcCommandList_t* list, int32_t kind, const char* data, int32_t a,
                               int32_t b, int32_t c, int32_t d, int32_t e);
// Copies the pixels (imageWidth * imageHeight * 3 bytes); args.rgb is the caller's.
int TdcAddPrinterCommandImage(TdcCommandList_t* list, const TdcImageArgs_t& args);
int TdcAddPrinterCommandData(TdcCommandList_t* list, const uint8_t* bytes, int32_t length);

// 1 for null, else empties the list (a node a job still holds is freed when
// that job lets go); 0.
int TdcClearPrinterCommands(TdcCommandList_t* list);

// A job's commands: the list's nodes as they stood when it was taken, each kept
// alive until the snapshot lets go, whatever is added or cleared meanwhile.
// Taking one copies no block.
class TdcCommandSnapshot {
 public:
  TdcCommandSnapshot() = default;
  ~TdcCommandSnapshot();
  TdcCommandSnapshot(TdcCommandSnapshot&& other) noexcept;
  TdcCommandSnapshot& operator=(TdcCommandSnapshot&& other) noexcept;
  TdcCommandSnapshot(const TdcCommandSnapshot&) = delete;
  TdcCommandSnapshot& operator=(const TdcCommandSnapshot&) = delete;

  std::span<const TdcCommand_t* const> Nodes() const noexcept { return nodes_; }
  bool Empty() const noexcept { return nodes_.empty(); }
  // Lets go of every node; empty again.
  void Reset() noexcept;

 private:
  friend int TdcTakePrinterCommands(TdcCommandList_t* list, TdcCommandSnapshot* out);
  std::vector<const TdcCommand_t*> nodes_;
};

// The list's content now, under its lock, into *out (its former content let
// go): 0; 1 null argument; 2 the lock failed; 10 out of memory (*out empty).
int TdcTakePrinterCommands(TdcCommandList_t* list, TdcCommandSnapshot* out);

// Fills set->ops for the mode: 1 null set or ops, 5 mode 0, 1 another mode.
int TdcSelectPrinterOps(TdcPrinterCommandSet_t* set, int32_t mode);
void TdcInitPrinterDirectOps(TdcPrinterOps_t* ops);
void TdcInitPrinterServiceOps(TdcPrinterOps_t* ops);

// Replays the list as it stands through set->ops into builder (see
// TdcReplayPrinterSnapshot).
int TdcReplayPrinterCommands(int32_t mode, void* builder, TdcPrinterCommandSet_t* set);
// Replays a job through ops into builder: 1 null builder or a mode other than
// 1 and 2; 5 empty job or null ops; else the first command that fails stops
// the replay with its result (1 for a value the backend cannot take, which is
// never left out silently), or 0. A stopped replay may leave part of the job
// in the builder: the caller clears it.
int TdcReplayPrinterSnapshot(int32_t mode, void* builder, const TdcPrinterOps_t* ops,
                             const TdcCommandSnapshot& job);

// Slot forwarders.
int TdcPrinterDirectAddImage(PrinterBuilder_t* builder, const uint8_t* rgb, int32_t imageWidth,
                             int32_t imageHeight, int32_t x, int32_t y, int32_t width,
                             int32_t height, int32_t color, int32_t mode, int32_t halftone,
                             double brightness, int32_t compress, PrintHandle_t* handle);
int TdcPrinterDirectAddCommand(PrinterBuilder_t* builder, const uint8_t* bytes, int32_t length);
int TdcPrinterServiceAddImage(void* deviceHandle, const uint8_t* rgb, int32_t imageWidth,
                              int32_t imageHeight, int32_t x, int32_t y, int32_t width,
                              int32_t height, int32_t color, int32_t mode, int32_t halftone,
                              double brightness, int32_t compress, void* backendHandle);

// 1 null builder; mode 1 clears the engine's builder, mode 2 the document body; 255 other modes.
int TdcClearPrinterBuilder(int32_t mode, void* builder);

}  // namespace tilo2::core
