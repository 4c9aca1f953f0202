#pragma once
// The layer's translation tables: results and completion codes of both
// backends, and the enumeration tables through which stored command values
// reach the backend in use. Built once, immutable, shared by every module.

#include <cstddef>
#include <cstdint>
#include <span>

#include "device/device_types.h"

namespace tilo2::core {

using TdcCodeTable = std::span<const TdcCodeMap_t>;

extern const TdcCodeTable kTdcResultTable;        // 33 rows
extern const TdcCodeTable kTdcCallbackCodeTable;  // 36 rows

// Which column a lookup searches.
enum class TdcColumn { Tdc, Service, Engine };

// The first row whose `from` column holds value; null when none does.
const TdcCodeMap_t* TdcFindRow(TdcCodeTable table, TdcColumn from, int32_t value);

// Backend result -> TdcResult; a code in no row gives 1.
int TdcFromEngineResult(int engineResult);
int TdcFromServiceResult(int serviceResult);
// Backend completion code -> TdcCallbackCode; no row gives 1.
int32_t TdcCallbackFromService(int32_t serviceCode);
int32_t TdcCallbackFromEngine(int32_t engineCode);
// A stored enumeration value -> the column of the backend of mode (1 engine,
// 2 service); false when no row holds it or the mode is neither.
bool TdcMapStoredValue(TdcCodeTable table, int32_t mode, int32_t stored, int32_t* out);
// Whether the first column holds the value (the validators' test).
bool TdcIsListed(TdcCodeTable table, int32_t stored);

// Enumeration tables of printer commands, {stored, service, engine}.
extern const TdcCodeTable kTdcAlignmentTable;
extern const TdcCodeTable kTdcBooleanTable;
extern const TdcCodeTable kTdcLanguageTable;
extern const TdcCodeTable kTdcFontTable;
extern const TdcCodeTable kTdcColorTable;
extern const TdcCodeTable kTdcImageModeTable;
extern const TdcCodeTable kTdcHalftoneTable;
extern const TdcCodeTable kTdcCompressionTable;
extern const TdcCodeTable kTdcBarcodeTypeTable;
extern const TdcCodeTable kTdcHriTable;
extern const TdcCodeTable kTdcSymbolTypeTable;
extern const TdcCodeTable kTdcPdf417LevelTable;
extern const TdcCodeTable kTdcQrLevelTable;
extern const TdcCodeTable kTdcOtherSymbolLevelTable;
extern const TdcCodeTable kTdcLineStyleTable;
extern const TdcCodeTable kTdcDirectionTable;
extern const TdcCodeTable kTdcCutTable;
extern const TdcCodeTable kTdcDrawerTable;
extern const TdcCodeTable kTdcPulseTimeTable;
extern const TdcCodeTable kTdcSoundTable;
extern const TdcCodeTable kTdcFeedPositionTable;
extern const TdcCodeTable kTdcLayoutTable;
extern const TdcCodeTable kTdcUnspecifiedTable;

}  // namespace tilo2::core
