#include "encoding/printer/prn_barcode_bytes.h"

#include "encoding/le_bytes.h"

namespace tilo2::core {

namespace {
using namespace tilo2_bytes;

// Symbol kinds by the cn byte of their GS ( k commands.
enum class Kind { Pdf417, Qr, Maxi, DataBar, Aztec, DataMatrix, None };

Kind KindOf(int type) {
  if (type < 0) return Kind::None;
  if (type <= 1) return Kind::Pdf417;
  if (type <= 3) return Kind::Qr;
  if (type <= 8) return Kind::Maxi;
  if (type <= 11) return Kind::DataBar;
  if (type <= 13) return Kind::Aztec;
  if (type <= 17) return Kind::DataMatrix;
  return Kind::None;
}

constexpr size_t kMaxParamLength = 0xFFFF;

// GS ( k with a one-byte value.
void Setting(std::vector<uint8_t>& out, uint8_t cn, uint8_t fn, uint8_t n) {
  Put(out, {0x1D, 0x28, 0x6B, 0x03, 0x00, cn, fn, n});
}

bool OneByte(int value) { return value >= 0 && value <= 0xFF; }

// Store (cn 50 30, with `lead` bytes before the data) and print (cn 51 30).
int StoreAndPrint(std::vector<uint8_t>& out, size_t mark, uint8_t cn,
                  std::initializer_list<uint8_t> lead, const uint8_t* data, size_t length) {
  const size_t param = length + 3 + lead.size();
  if (param > kMaxParamLength) {  // the length would not fit its two bytes
    out.resize(mark);
    return 1;
  }
  Put(out, {0x1D, 0x28, 0x6B});
  PutLe16(out, static_cast<unsigned>(param));
  Put(out, {cn, 0x50, 0x30});
  Put(out, lead);
  PutBytes(out, data, length);
  Setting(out, cn, 0x51, 0x30);
  return 0;
}

int SymbolData(std::vector<uint8_t>& out, int type, const uint8_t* data, size_t length) {
  const size_t mark = out.size();
  switch (KindOf(type)) {
    case Kind::Pdf417:
      Setting(out, 0x30, 0x46, static_cast<uint8_t>(type));
      return StoreAndPrint(out, mark, 0x30, {}, data, length);
    case Kind::Qr: {
      Put(out, {0x1B, 0x55, 0x01, 0x1D, 0x28, 0x6B, 0x04, 0x00, 0x31, 0x41,
                static_cast<uint8_t>(type == 2 ? 0x31 : 0x32), 0x00});
      if (int rc = StoreAndPrint(out, mark, 0x31, {}, data, length); rc != 0) return rc;
      Put(out, {0x1B, 0x55, 0x00});
      return 0;
    }
    case Kind::Maxi:
      Setting(out, 0x32, 0x41, static_cast<uint8_t>(0x32 + type - 4));
      return StoreAndPrint(out, mark, 0x32, {}, data, length);
    case Kind::DataBar: {
      static constexpr uint8_t kVariant[] = {0x48, 0x49, 0x4C};
      return StoreAndPrint(out, mark, 0x33, {kVariant[type - 9]}, data, length);
    }
    case Kind::Aztec:
      Put(out, {0x1D, 0x28, 0x6B, 0x04, 0x00, 0x35, 0x42,
                static_cast<uint8_t>(type == 12 ? 0x30 : 0x31), 0x00});
      return StoreAndPrint(out, mark, 0x35, {}, data, length);
    case Kind::DataMatrix: {
      static constexpr uint8_t kRows[] = {0, 8, 12, 16};
      Put(out, {0x1D, 0x28, 0x6B, 0x05, 0x00, 0x36, 0x42,
                static_cast<uint8_t>(type == 14 ? 0x30 : 0x31), kRows[type - 14], 0x00});
      return StoreAndPrint(out, mark, 0x36, {}, data, length);
    }
    case Kind::None:
      break;
  }
  return 1;
}

}  // namespace

uint8_t PrnBarcodeTypeByte(int type) {
  static constexpr uint8_t kTypes[] = {0x41, 0x42, 0x43, 0x43, 0x44, 0x44, 0x45, 0x46,
                                       0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E};
  return type >= 0 && type <= 15 ? kTypes[type] : 0x00;
}

int PrnBarcodeBytes(std::vector<uint8_t>& out, int type, const uint8_t* data, size_t length) {
  if (data == nullptr || length > 0xFF) return 1;  // n is a single byte
  Put(out, {0x1B, 0x55, 0x01, 0x1D, 0x6B, PrnBarcodeTypeByte(type), static_cast<uint8_t>(length)});
  PutBytes(out, data, length);
  Put(out, {0x1B, 0x55, 0x00});
  return 0;
}

uint8_t PrnFontParam(int font) {
  if (font >= 1 && font <= 4) return static_cast<uint8_t>(font);
  if (font == 5) return 0x61;
  if (font == 6) return 0x62;
  return 0;
}

int PrnHriFontBytes(std::vector<uint8_t>& out, int font) {
  Put(out, {0x1D, 0x66, PrnFontParam(font)});
  return 0;
}

int PrnHriPositionBytes(std::vector<uint8_t>& out, int position) {
  const uint8_t n = position >= 1 && position <= 3 ? static_cast<uint8_t>(position) : 0;
  Put(out, {0x1D, 0x48, n});
  return 0;
}

int PrnBarcodeHeightBytes(std::vector<uint8_t>& out, int height) {
  if (!OneByte(height)) return 1;
  Put(out, {0x1D, 0x68, static_cast<uint8_t>(height)});
  return 0;
}

int PrnBarcodeWidthBytes(std::vector<uint8_t>& out, int width) {
  if (!OneByte(width)) return 1;
  Put(out, {0x1D, 0x77, static_cast<uint8_t>(width)});
  return 0;
}

int PrnSymbolBytes(std::vector<uint8_t>& out, int type, const uint8_t* data, size_t length) {
  if (data == nullptr) return 1;
  return SymbolData(out, type, data, length);
}

int PrnSymbolLevelBytes(std::vector<uint8_t>& out, int type, int level) {
  constexpr int kDefaultLevel = 13;
  switch (KindOf(type)) {
    case Kind::Pdf417:
      if (level < 0 || level > 8) return 1;
      Put(out,
          {0x1D, 0x28, 0x6B, 0x04, 0x00, 0x30, 0x45, 0x30, static_cast<uint8_t>(0x30 + level)});
      return 0;
    case Kind::Qr:
      if (level < 9 || level > 12) return 1;
      Setting(out, 0x31, 0x45, static_cast<uint8_t>(0x30 + level - 9));
      return 0;
    case Kind::Aztec:
      if (level != kDefaultLevel) return 1;
      Setting(out, 0x35, 0x45, 23);  // the symbol's default: 23 percent
      return 0;
    case Kind::Maxi:
    case Kind::DataBar:
    case Kind::DataMatrix:
      return level == kDefaultLevel ? 0 : 1;
    case Kind::None:
      break;
  }
  return 1;
}

int PrnSymbolHeightBytes(std::vector<uint8_t>& out, int type, int value) {
  const Kind kind = KindOf(type);
  if (kind == Kind::None) return 1;
  if (kind != Kind::Pdf417) return 0;
  if (!OneByte(value)) return 1;
  Setting(out, 0x30, 0x44, static_cast<uint8_t>(value));
  return 0;
}

int PrnSymbolWidthBytes(std::vector<uint8_t>& out, int type, int value) {
  uint8_t cn = 0;
  switch (KindOf(type)) {
    case Kind::Pdf417:
      cn = 0x30;
      break;
    case Kind::Qr:
      cn = 0x31;
      break;
    case Kind::DataBar:
      cn = 0x33;
      break;
    case Kind::Aztec:
      cn = 0x35;
      break;
    case Kind::DataMatrix:
      cn = 0x36;
      break;
    case Kind::Maxi:
      return 0;
    case Kind::None:
      return 1;
  }
  if (!OneByte(value)) return 1;
  Setting(out, cn, 0x43, static_cast<uint8_t>(value));
  return 0;
}

int PrnSymbolSizeBytes(std::vector<uint8_t>& out, int type, int value) {
  switch (KindOf(type)) {
    case Kind::Pdf417:
      if (!OneByte(value)) return 1;  // the column count is a single byte
      Setting(out, 0x30, 0x41, static_cast<uint8_t>(value));
      return 0;
    case Kind::DataBar:
      if (value < 0 || value > 0xFFFF) return 1;
      Put(out, {0x1D, 0x28, 0x6B, 0x04, 0x00, 0x33, 0x47});
      PutLe16(out, static_cast<unsigned>(value));
      return 0;
    case Kind::None:
      return 1;
    default:
      return 0;
  }
}

int PrnSymbolLevelPercentBytes(std::vector<uint8_t>& out, int type, int value) {
  const Kind kind = KindOf(type);
  if (kind == Kind::None) return 1;
  if (kind != Kind::Aztec) return 0;
  const int n = value <= 4 ? 5 : value > 95 ? 95 : value;
  Setting(out, 0x35, 0x45, static_cast<uint8_t>(n));
  return 0;
}

}  // namespace tilo2::core
