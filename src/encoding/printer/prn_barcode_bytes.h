#pragma once
// Byte cores of the barcode and two-dimensional symbol commands. Each appends
// its command to the vector and answers 0, or answers 1 (bad argument, a type
// or value the command does not take) and leaves the vector unchanged. A
// setting that does not apply to a symbol kind answers 0 and appends nothing.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tilo2::core {

// GS k m byte of barcode types 0..15; 0 for any other type.
uint8_t PrnBarcodeTypeByte(int type);

// Font byte of ESC M and GS f: fonts 1..4 as they are, 5 and 6 the special
// fonts (61h, 62h); 0 for any other.
uint8_t PrnFontParam(int font);

int PrnBarcodeBytes(std::vector<uint8_t>& out, int type, const uint8_t* data, size_t length);
int PrnHriFontBytes(std::vector<uint8_t>& out, int font);
int PrnHriPositionBytes(std::vector<uint8_t>& out, int position);
int PrnBarcodeHeightBytes(std::vector<uint8_t>& out, int height);
int PrnBarcodeWidthBytes(std::vector<uint8_t>& out, int width);

// Symbol types 0..17 choose the symbol kind (PDF417, QR Code, MaxiCode,
// stacked DataBar, Aztec, DataMatrix).
int PrnSymbolBytes(std::vector<uint8_t>& out, int type, const uint8_t* data, size_t length);
int PrnSymbolLevelBytes(std::vector<uint8_t>& out, int type, int level);
int PrnSymbolHeightBytes(std::vector<uint8_t>& out, int type, int value);
int PrnSymbolWidthBytes(std::vector<uint8_t>& out, int type, int value);
int PrnSymbolSizeBytes(std::vector<uint8_t>& out, int type, int value);
int PrnSymbolLevelPercentBytes(std::vector<uint8_t>& out, int type, int value);

}  // namespace tilo2::core
