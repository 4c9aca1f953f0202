// The hybrid printer module: placeholder until the module lands.
#include "device/service_notifiers.h"

namespace tilo2::core {

void TdcHybridServiceEventOnline(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventOffline(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventPowerOff(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventCoverClose(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventCoverOpen(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventPaperOk(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventPaperNearEnd(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventPaperEmpty(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventDrawerHigh(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventDrawerLow(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventInsertionWait(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventInsertionWaitNone(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventRemovalWaitPaper(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventRemovalWaitNone(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventSlipPaperOk(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcHybridServiceEventSlipPaperEmpty(TdevPrinterHandle_t*, const char*, const char*) {}
void TdcOnHybridServiceResult(TdevPrinterHandle_t*, const char*, const char*, int32_t, int32_t,
                              uint32_t, int32_t, const char*) {}

}  // namespace tilo2::core
