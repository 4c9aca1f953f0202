#pragma once
// Barcode table (GS k with its HRI and size settings) and symbol table
// (GS ( k two-dimensional symbols) generators. Slot types of encoding/prn_ops.h.
#include <cstdint>

#include "encoding/printer/prn_ops.h"

namespace tilo2::core {

int PrnGenBarcode(PrnCmdHandle_t* builder, int type, const uint8_t* data, uint32_t length);
int PrnGenHriFont(PrnCmdHandle_t* builder, int font);
int PrnGenHriPosition(PrnCmdHandle_t* builder, int position);
int PrnGenBarcodeHeight(PrnCmdHandle_t* builder, int height);
int PrnGenBarcodeWidth(PrnCmdHandle_t* builder, int width);

// Dispatchers on the symbol type 0..17.
int PrnGenSymbol(PrnCmdHandle_t* builder, int type, const uint8_t* data, uint32_t length);
int PrnGenSymbolLevel(PrnCmdHandle_t* builder, int type, int level);
int PrnGenSymbolHeight(PrnCmdHandle_t* builder, int type, int value);
int PrnGenSymbolWidth(PrnCmdHandle_t* builder, int type, int value);
int PrnGenSymbolSize(PrnCmdHandle_t* builder, int type, int value);
int PrnGenSymbolLevelPercent(PrnCmdHandle_t* builder, int type, int value);

}  // namespace tilo2::core
