#pragma once
// Printer model profiles: which operation tables and slots each model
// installs, its dot density and raster limits, its printable width and the
// converter file of each model language.
//
// Where the slots come from
// -------------------------
// Text, align, feed and control generators live beside this code
// (encoding/prn_text.h, encoding/prn_control.h). The generators of the image,
// barcode, symbol, page, layout and sound tables, and of the reply table, are
// reached through two constant sets, each filled in one file by the code that
// owns those generators (a null member leaves its slot empty, so the entry
// point answers 2):
//
//   kPrnMediaSlots  defined in src/encoding/prn_media_slots.cpp
//     .rasterImage     PrnGenRasterImage     image 0 and 3, raster mode 0
//     .bitImageSingle  PrnGenBitImageSingle  raster mode 1, "RP-D4" image 0
//     .bitImageDouble  PrnGenBitImageDouble  raster mode 2, "RP-D4" image 3
//     .bitImage24      PrnGenBitImage24      raster mode 3, "RP-D6" image 0, 3
//     .grayImage       PrnGenGrayImage       image 2
//     .nvLogo          PrnGenNvLogo          image 1 (key code 1, key code 2)
//     .nvLogoImpact    PrnGenNvLogoImpact    "RP-D4" image 1 (logo number, unused)
//     .barcode         {PrnGenBarcode, PrnGenHriFont, PrnGenHriPosition,
//                       PrnGenBarcodeHeight, PrnGenBarcodeWidth}
//     .symbol          {PrnGenSymbol, PrnGenSymbolLevel, PrnGenSymbolHeight,
//                       PrnGenSymbolWidth, PrnGenSymbolSize, PrnGenSymbolLevelPercent}
//     .page            {PrnGenPageBegin, PrnGenPageEnd, PrnGenPageArea,
//                       PrnGenPageDirection, PrnGenPositionX, PrnGenPositionY,
//                       PrnGenPageLine, PrnGenPageRectangle}
//                      (.page.positionX also fills text slot 13)
//     .layout          {PrnGenLayout, PrnGenFeedPosition}
//     .sound           {PrnGenPulse, PrnGenBuzzer, PrnGenBuzzerRealtime, PrnGenSound}
//     .soundImpact     PrnGenSoundImpact     "RP-D6" sound 3 (pattern, repeat, cycle unused)
//   Their declarations belong in encoding/prn_image.h, encoding/prn_barcode.h
//   and encoding/prn_page.h, with the slot types of encoding/prn_ops.h.
//
//   kPrnReplySlots  defined in src/encoding/prn_reply_slots.cpp
//     .split           PrnSplitReply           reply 0 of every model
//     .isJobEnd        PrnIsJobEndReply        reply 1 of the standard models
//     .isJobEndImpact  PrnIsJobEndReplyImpact  reply 1 of "RP-D4", "RP-D6"
//   Declared in encoding/reply_splitter.h.

#include <cstdint>

#include "encoding/printer/prn_cmd.h"
#include "encoding/printer/prn_ops.h"

namespace tilo2::core {

struct PrnMediaSlots {
  PrnImageFn rasterImage;
  PrnImageFn bitImageSingle;
  PrnImageFn bitImageDouble;
  PrnImageFn bitImage24;
  PrnImageFn grayImage;
  PrnOp2Fn nvLogo;
  PrnOp2Fn nvLogoImpact;
  PrnBarcodeOps barcode;
  PrnSymbolOps symbol;
  PrnPageOps page;
  PrnLayoutOps layout;
  PrnSoundOps sound;
  PrnOp3Fn soundImpact;
};

struct PrnReplySlots {
  PrnSplitFn split;
  PrnJobEndFn isJobEnd;
  PrnJobEndFn isJobEndImpact;
};

extern const PrnMediaSlots kPrnMediaSlots;
extern const PrnReplySlots kPrnReplySlots;

// Reply table slot 0 of every model: splits into the builder's remainder
// (`replyRemainder`, a PrnReplyRemainder_t). 1 also for a builder that fails
// its handle check.
int PrnSplitReply(PrnCmdHandle_t* builder, const uint8_t* bytes, uint32_t length,
                  PrnReplyHandler handler, void* user);

// Reply table slot 1 of the standard models: the "7" 22h d1 d2 d3 d4 00h
// answer to the trailer's job id request ends the job.
int PrnIsJobEndReply(PrnCmdHandle_t* builder, int kind, const uint8_t* bytes, uint32_t length,
                     int* isEnd);

// Reply table slot 1 of the impact models: one status byte answers GS r 1.
int PrnIsJobEndReplyImpact(PrnCmdHandle_t* builder, int kind, const uint8_t* bytes, uint32_t length,
                           int* isEnd);

// Image generator of each PrnRasterMode (0 raster, 1 single-density bit
// image, 2 double-density bit image, 3 24-dot bit image); null for others.
PrnImageFn PrnRasterModeGenerator(int mode);

// 0 with the new builder; 2 when the model refuses the language; 3 for memory.
using PrnModelCreate = int (*)(int modelLang, PrnCmdHandle_t** out);

struct PrnModelRow {
  const char* name;  // null ends the table; "" is the generic model
  PrnModelCreate create;
};

// Rows in lookup order, ended by a row with a null name.
extern const PrnModelRow* const PrnModelTable;

// Runs the constructor of the first row whose name equals modelName exactly;
// 2 when no row matches.
int PrnModelFind(const char* modelName, int modelLang, PrnCmdHandle_t** out);

// Each allocates its table into builder->ops with the standard slots; 0 or 3.
int PrnInstallTextOps(PrnCmdHandle_t* builder);
int PrnInstallImageOps(PrnCmdHandle_t* builder);
int PrnInstallBarcodeOps(PrnCmdHandle_t* builder);
int PrnInstallSymbolOps(PrnCmdHandle_t* builder);
int PrnInstallAlignOps(PrnCmdHandle_t* builder);
int PrnInstallFeedOps(PrnCmdHandle_t* builder);
int PrnInstallPageOps(PrnCmdHandle_t* builder);
int PrnInstallLayoutOps(PrnCmdHandle_t* builder);
int PrnInstallSoundOps(PrnCmdHandle_t* builder);
int PrnInstallControlOps(PrnCmdHandle_t* builder);
int PrnInstallReplyOps(PrnCmdHandle_t* builder);

// Frees every table of ops and nulls the pointers.
void PrnModelOpsFree(PrnModelOps_t* ops);
// Copies every table of src as a new table; 0, or 3 with dst left empty.
int PrnModelOpsCopy(PrnModelOps_t* dst, const PrnModelOps_t* src);

// Printable width in dots from paperWidthCode / paperWidthFlag:
// 0 with the width, 1 for a null argument, 2 for an unknown paper width.
int PrnWidth_RP_k2(PrnCmdHandle_t* builder, int* outDots);
int PrnWidth_RP_k4(PrnCmdHandle_t* builder, int* outDots);
int PrnWidth_RP_M3(PrnCmdHandle_t* builder, int* outDots);
int PrnWidth_RP_M5(PrnCmdHandle_t* builder, int* outDots);
int PrnWidth_RP_M7(PrnCmdHandle_t* builder, int* outDots);
int PrnWidth_RP_S3(PrnCmdHandle_t* builder, int* outDots);
int PrnWidth_RP_S6(PrnCmdHandle_t* builder, int* outDots);
int PrnWidth_RP_S12E(PrnCmdHandle_t* builder, int* outDots);

}  // namespace tilo2::core
