// Installers of the standard operation tables, and freeing and copying a
// builder's tables.
#include <cstdlib>

#include "encoding/alloc_hook.h"
#include "encoding/printer/prn_control.h"
#include "encoding/printer/prn_model.h"
#include "encoding/printer/prn_text.h"

namespace tilo2::core {

namespace {

// Tables are plain records of function pointers, allocated through the
// encoding's allocation hook and released with free().
template <typename T>
T* NewTable(const T& contents) {
  auto* t = static_cast<T*>(EncodingAlloc(sizeof(T)));
  if (t != nullptr) *t = contents;
  return t;
}

template <typename T>
void Free(T*& table) {
  std::free(table);
  table = nullptr;
}

template <typename T>
int Install(T*& slot, const T& standard) {
  Free(slot);
  slot = NewTable(standard);
  return slot != nullptr ? 0 : 3;
}

template <typename T>
bool Copy(T*& dst, const T* src) {
  if (src == nullptr) return true;
  dst = NewTable(*src);
  return dst != nullptr;
}

}  // namespace

PrnImageFn PrnRasterModeGenerator(int mode) {
  switch (mode) {
    case 0:
      return kPrnMediaSlots.rasterImage;
    case 1:
      return kPrnMediaSlots.bitImageSingle;
    case 2:
      return kPrnMediaSlots.bitImageDouble;
    case 3:
      return kPrnMediaSlots.bitImage24;
    default:
      return nullptr;
  }
}

int PrnInstallTextOps(PrnCmdHandle_t* b) {
  return Install(b->ops.text,
                 PrnTextOps{PrnGenText, PrnGenLineSpace, PrnGenTextLang, PrnGenFont, PrnGenSmooth,
                            PrnGenDoubleWidth, PrnGenDoubleHeight, PrnGenWidthScale,
                            PrnGenHeightScale, PrnGenReverse, PrnGenUnderline, PrnGenEmphasis,
                            PrnGenColor, kPrnMediaSlots.page.positionX});
}

int PrnInstallImageOps(PrnCmdHandle_t* b) {
  const PrnMediaSlots& m = kPrnMediaSlots;
  return Install(b->ops.image, PrnImageOps{m.rasterImage, m.nvLogo, m.grayImage, m.rasterImage});
}

int PrnInstallBarcodeOps(PrnCmdHandle_t* b) {
  return Install(b->ops.barcode, kPrnMediaSlots.barcode);
}

int PrnInstallSymbolOps(PrnCmdHandle_t* b) { return Install(b->ops.symbol, kPrnMediaSlots.symbol); }

int PrnInstallAlignOps(PrnCmdHandle_t* b) {
  return Install(b->ops.align, PrnAlignOps{PrnGenAlign, PrnGenRotate});
}

int PrnInstallFeedOps(PrnCmdHandle_t* b) {
  return Install(b->ops.feed, PrnFeedOps{PrnGenFeedUnit, PrnGenFeedLine, PrnGenCut});
}

int PrnInstallPageOps(PrnCmdHandle_t* b) { return Install(b->ops.page, kPrnMediaSlots.page); }

int PrnInstallLayoutOps(PrnCmdHandle_t* b) { return Install(b->ops.layout, kPrnMediaSlots.layout); }

int PrnInstallSoundOps(PrnCmdHandle_t* b) { return Install(b->ops.sound, kPrnMediaSlots.sound); }

int PrnInstallControlOps(PrnCmdHandle_t* b) {
  return Install(b->ops.control, PrnControlOps{PrnGenHeader, PrnGenClearBuffer, PrnGenTrailer});
}

int PrnInstallReplyOps(PrnCmdHandle_t* b) {
  return Install(b->ops.reply, PrnReplyOps{kPrnReplySlots.split, kPrnReplySlots.isJobEnd});
}

void PrnModelOpsFree(PrnModelOps_t* ops) {
  if (ops == nullptr) return;
  Free(ops->text);
  Free(ops->image);
  Free(ops->barcode);
  Free(ops->symbol);
  Free(ops->align);
  Free(ops->feed);
  Free(ops->line);
  Free(ops->page);
  Free(ops->layout);
  Free(ops->sound);
  Free(ops->control);
  Free(ops->reply);
}

int PrnModelOpsCopy(PrnModelOps_t* dst, const PrnModelOps_t* src) {
  if (dst == nullptr || src == nullptr) return 1;
  *dst = PrnModelOps_t{};
  const bool ok = Copy(dst->text, src->text) && Copy(dst->image, src->image) &&
                  Copy(dst->barcode, src->barcode) && Copy(dst->symbol, src->symbol) &&
                  Copy(dst->align, src->align) && Copy(dst->feed, src->feed) &&
                  Copy(dst->line, src->line) && Copy(dst->page, src->page) &&
                  Copy(dst->layout, src->layout) && Copy(dst->sound, src->sound) &&
                  Copy(dst->control, src->control) && Copy(dst->reply, src->reply);
  if (!ok) {
    PrnModelOpsFree(dst);
    return 3;
  }
  return 0;
}

}  // namespace tilo2::core
