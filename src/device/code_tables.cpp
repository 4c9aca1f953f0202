// The translation tables of the layer, as constant arrays searched from the
// first row (the first match wins).

#include "device/code_tables.h"

#include <array>

namespace tilo2::core {

namespace {

constexpr TdcCodeMap_t kResultRows[] = {
    {0, 0, 0},       {1, 1, 1},    {2, 2, 7},    {4, 3, 4},    {5, 5, 6},     {6, 6, -3},
    {7, 7, -3},      {8, 8, -3},   {3, 4, 3},    {3, 9, 2},    {255, 10, -3}, {9, 11, -3},
    {10, 12, 5},     {11, 13, -3}, {12, 14, -3}, {13, 15, -3}, {14, 16, -3},  {15, 17, -3},
    {16, 18, -3},    {17, 19, -3}, {18, 20, -3}, {19, 21, -3}, {20, 22, -3},  {21, 23, -3},
    {22, 24, -3},    {23, 25, -3}, {24, 26, -3}, {25, 27, -3}, {26, 28, -3},  {27, 29, -3},
    {255, 255, 255}, {28, -3, 8},  {29, -3, 9},
};
static_assert(std::size(kResultRows) == 33);

constexpr TdcCodeMap_t kCallbackRows[] = {
    {0, 0, 0},       {1, 3, 4},    {2, 6, -3},   {3, 13, -3},  {4, 14, -3},  {5, 15, -3},
    {6, 16, -3},     {7, 17, -3},  {8, 18, -3},  {9, 19, -3},  {10, 20, 3},  {11, 21, 10},
    {12, 26, -3},    {13, 27, -3}, {14, 28, -3}, {15, 29, -3}, {16, 30, -3}, {17, 31, -3},
    {255, 255, 255}, {18, 32, 11}, {19, 33, 12}, {20, 34, 13}, {21, 35, 14}, {22, 36, 15},
    {23, 37, 16},    {24, 38, 17}, {25, 39, 18}, {26, 40, 19}, {27, 41, 20}, {28, 42, 21},
    {29, 43, 22},    {30, 5, 6},   {31, 44, 23}, {32, 45, 24}, {33, 46, -3}, {33, 47, -3},
};
static_assert(std::size(kCallbackRows) == 36);

constexpr TdcCodeMap_t kAlignment[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {-2, 0, 0}};
constexpr TdcCodeMap_t kBoolean[] = {{1, 1, 1}, {0, 0, 0}, {-2, 0, 0}};
constexpr TdcCodeMap_t kLanguage[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3},
                                      {4, 4, 4}, {5, 5, 5}, {6, 0, 6}, {-2, 0, 0}};
constexpr TdcCodeMap_t kFont[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2},
                                  {3, 3, 3}, {4, 4, 4}, {-2, 0, 0}};
constexpr TdcCodeMap_t kColor[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2},
                                   {3, 3, 3}, {4, 4, 4}, {-2, 1, 1}};
constexpr TdcCodeMap_t kImageMode[] = {{0, 0, 0}, {1, 1, 1}, {2, -3, 2}, {-2, 0, 0}};
constexpr TdcCodeMap_t kHalftone[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {-2, 0, 0}};
constexpr TdcCodeMap_t kCompression[] = {{0, -3, 1}, {1, -3, 0}, {2, -3, -3}, {-2, -3, -3}};

// {n, n, n} for n = first .. last.
template <int First, int Last>
constexpr auto IdentityRows() {
  std::array<TdcCodeMap_t, Last - First + 1> rows{};
  for (int n = First; n <= Last; ++n) rows[n - First] = {n, n, n};
  return rows;
}

constexpr auto kBarcodeType = IdentityRows<0, 15>();

constexpr TdcCodeMap_t kHri[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {-2, 0, 0}};

// The engine numbers symbol types without the micro QR code (4).
constexpr auto kSymbolType = [] {
  std::array<TdcCodeMap_t, 19> rows{};
  for (int n = 0; n <= 3; ++n) rows[n] = {n, n, n};
  rows[4] = {4, 4, -3};
  for (int n = 5; n <= 18; ++n) rows[n] = {n, n, n - 1};
  return rows;
}();

constexpr auto kPdf417Level = [] {
  std::array<TdcCodeMap_t, 10> rows{};
  for (int n = 0; n <= 8; ++n) rows[n] = {96 + n, n, n};
  rows[9] = {-2, 1, 1};
  return rows;
}();

constexpr TdcCodeMap_t kQrLevel[] = {
    {105, 9, 9}, {106, 10, 10}, {107, 11, 11}, {108, 12, 12}, {-2, 10, 10}};
constexpr TdcCodeMap_t kOtherSymbolLevel[] = {{-2, 13, 13}};
constexpr TdcCodeMap_t kLineStyle[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3},
                                       {4, 4, 4}, {5, 5, 5}, {-2, 0, 0}};
constexpr TdcCodeMap_t kDirection[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {-2, 0, 0}};
constexpr TdcCodeMap_t kCut[] = {{0, 1, 1}, {1, 0, 0}, {2, 2, 2}, {-2, 1, 1}};
constexpr TdcCodeMap_t kDrawer[] = {{0, 0, 0}, {1, 1, 1}, {-2, 0, 0}};
constexpr TdcCodeMap_t kPulseTime[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2},
                                       {3, 3, 3}, {4, 4, 4}, {-2, 0, 0}};

// The engine has no "none" pattern and numbers the others from 0.
constexpr auto kSound = [] {
  std::array<TdcCodeMap_t, 19> rows{};
  rows[0] = {0, 0, -3};
  for (int n = 1; n <= 17; ++n) rows[n] = {n, n, n - 1};
  rows[18] = {-2, 1, 0};
  return rows;
}();

constexpr TdcCodeMap_t kFeedPosition[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}};
constexpr TdcCodeMap_t kLayout[] = {{0, 0, 0}, {1, 1, 3}, {2, 2, 1}, {3, 3, 2}};
constexpr TdcCodeMap_t kUnspecified[] = {{-1, -1, -1}};

int32_t Column(const TdcCodeMap_t& row, TdcColumn column) {
  switch (column) {
    case TdcColumn::Tdc:
      return row.tdcValue;
    case TdcColumn::Service:
      return row.serviceValue;
    case TdcColumn::Engine:
      return row.engineValue;
  }
  return kTdcNone;
}

// The answer of a table lookup from `from` into the layer's column; 1 when no row holds it.
// -3 marks "no counterpart", so it is never a code of its own.
int32_t ToTdc(TdcCodeTable table, TdcColumn from, int32_t value) {
  if (value == kTdcNone) return 1;
  const TdcCodeMap_t* row = TdcFindRow(table, from, value);
  return row != nullptr ? row->tdcValue : 1;
}

}  // namespace

const TdcCodeTable kTdcResultTable{kResultRows};
const TdcCodeTable kTdcCallbackCodeTable{kCallbackRows};

const TdcCodeTable kTdcAlignmentTable{kAlignment};
const TdcCodeTable kTdcBooleanTable{kBoolean};
const TdcCodeTable kTdcLanguageTable{kLanguage};
const TdcCodeTable kTdcFontTable{kFont};
const TdcCodeTable kTdcColorTable{kColor};
const TdcCodeTable kTdcImageModeTable{kImageMode};
const TdcCodeTable kTdcHalftoneTable{kHalftone};
const TdcCodeTable kTdcCompressionTable{kCompression};
const TdcCodeTable kTdcBarcodeTypeTable{kBarcodeType};
const TdcCodeTable kTdcHriTable{kHri};
const TdcCodeTable kTdcSymbolTypeTable{kSymbolType};
const TdcCodeTable kTdcPdf417LevelTable{kPdf417Level};
const TdcCodeTable kTdcQrLevelTable{kQrLevel};
const TdcCodeTable kTdcOtherSymbolLevelTable{kOtherSymbolLevel};
const TdcCodeTable kTdcLineStyleTable{kLineStyle};
const TdcCodeTable kTdcDirectionTable{kDirection};
const TdcCodeTable kTdcCutTable{kCut};
const TdcCodeTable kTdcDrawerTable{kDrawer};
const TdcCodeTable kTdcPulseTimeTable{kPulseTime};
const TdcCodeTable kTdcSoundTable{kSound};
const TdcCodeTable kTdcFeedPositionTable{kFeedPosition};
const TdcCodeTable kTdcLayoutTable{kLayout};
const TdcCodeTable kTdcUnspecifiedTable{kUnspecified};

const TdcCodeMap_t* TdcFindRow(TdcCodeTable table, TdcColumn from, int32_t value) {
  for (const TdcCodeMap_t& row : table) {
    if (Column(row, from) == value) return &row;
  }
  return nullptr;
}

int TdcFromEngineResult(int engineResult) {
  return ToTdc(kTdcResultTable, TdcColumn::Engine, engineResult);
}

int TdcFromServiceResult(int serviceResult) {
  return ToTdc(kTdcResultTable, TdcColumn::Service, serviceResult);
}

int32_t TdcCallbackFromService(int32_t serviceCode) {
  return ToTdc(kTdcCallbackCodeTable, TdcColumn::Service, serviceCode);
}

int32_t TdcCallbackFromEngine(int32_t engineCode) {
  return ToTdc(kTdcCallbackCodeTable, TdcColumn::Engine, engineCode);
}

bool TdcMapStoredValue(TdcCodeTable table, int32_t mode, int32_t stored, int32_t* out) {
  TdcColumn to;
  if (mode == TDC_MODE_DIRECT) {
    to = TdcColumn::Engine;
  } else if (mode == TDC_MODE_SERVICE) {
    to = TdcColumn::Service;
  } else {
    return false;
  }
  const TdcCodeMap_t* row = TdcFindRow(table, TdcColumn::Tdc, stored);
  if (row == nullptr) return false;
  *out = Column(*row, to);
  return true;
}

bool TdcIsListed(TdcCodeTable table, int32_t stored) {
  return TdcFindRow(table, TdcColumn::Tdc, stored) != nullptr;
}

}  // namespace tilo2::core
