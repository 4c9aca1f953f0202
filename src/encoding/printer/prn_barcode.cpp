#include "encoding/printer/prn_barcode.h"

#include "encoding/printer/prn_barcode_bytes.h"
#include "encoding/printer/prn_emit.h"

namespace tilo2::core {

namespace {

using Setting1 = int (*)(std::vector<uint8_t>&, int);
using Setting2 = int (*)(std::vector<uint8_t>&, int, int);

int Emit1(PrnCmdHandle_t* builder, Setting1 core, int value) {
  return PrnEmitFilled(builder, [&](std::vector<uint8_t>& out) { return core(out, value); });
}

int Emit2(PrnCmdHandle_t* builder, Setting2 core, int type, int value) {
  return PrnEmitFilled(builder, [&](std::vector<uint8_t>& out) { return core(out, type, value); });
}

}  // namespace

int PrnGenBarcode(PrnCmdHandle_t* builder, int type, const uint8_t* data, uint32_t length) {
  return PrnEmitFilled(
      builder, [&](std::vector<uint8_t>& out) { return PrnBarcodeBytes(out, type, data, length); });
}

int PrnGenHriFont(PrnCmdHandle_t* builder, int font) {
  return Emit1(builder, PrnHriFontBytes, font);
}

int PrnGenHriPosition(PrnCmdHandle_t* builder, int position) {
  return Emit1(builder, PrnHriPositionBytes, position);
}

int PrnGenBarcodeHeight(PrnCmdHandle_t* builder, int height) {
  return Emit1(builder, PrnBarcodeHeightBytes, height);
}

int PrnGenBarcodeWidth(PrnCmdHandle_t* builder, int width) {
  return Emit1(builder, PrnBarcodeWidthBytes, width);
}

int PrnGenSymbol(PrnCmdHandle_t* builder, int type, const uint8_t* data, uint32_t length) {
  return PrnEmitFilled(
      builder, [&](std::vector<uint8_t>& out) { return PrnSymbolBytes(out, type, data, length); });
}

int PrnGenSymbolLevel(PrnCmdHandle_t* builder, int type, int level) {
  return Emit2(builder, PrnSymbolLevelBytes, type, level);
}

int PrnGenSymbolHeight(PrnCmdHandle_t* builder, int type, int value) {
  return Emit2(builder, PrnSymbolHeightBytes, type, value);
}

int PrnGenSymbolWidth(PrnCmdHandle_t* builder, int type, int value) {
  return Emit2(builder, PrnSymbolWidthBytes, type, value);
}

int PrnGenSymbolSize(PrnCmdHandle_t* builder, int type, int value) {
  return Emit2(builder, PrnSymbolSizeBytes, type, value);
}

int PrnGenSymbolLevelPercent(PrnCmdHandle_t* builder, int type, int value) {
  return Emit2(builder, PrnSymbolLevelPercentBytes, type, value);
}

}  // namespace tilo2::core
