#pragma once
// The notifiers the device-service client calls for line displays, hybrid
// printers, keyboards, barcode scanners, simple serial devices and message
// boxes; the client's setters install them (the printer's own are in
// printer_module.h). Each finds the layer's record behind the handle or box
// entry in its module's registry and does nothing when there is none. They run
// on the client's threads; texts and bytes are valid only during the call.

#include <cstdint>

#include "service/device_service.h"

namespace tilo2::core {

// ---- Line displays (display_module.cpp) --------------------------------------------
void TdcOnLineDisplayServiceResult(void* handle, const char* host, const char* deviceId,
                                   int32_t success, int32_t result, uint32_t status,
                                   int32_t battery);

// ---- Hybrid printers (hybrid_module.cpp): slots 0..15, then 16 ---------------------
void TdcHybridServiceEventOnline(TdevPrinterHandle_t* handle, const char* host,
                                 const char* deviceId);
void TdcHybridServiceEventOffline(TdevPrinterHandle_t* handle, const char* host,
                                  const char* deviceId);
void TdcHybridServiceEventPowerOff(TdevPrinterHandle_t* handle, const char* host,
                                   const char* deviceId);
void TdcHybridServiceEventCoverClose(TdevPrinterHandle_t* handle, const char* host,
                                     const char* deviceId);
void TdcHybridServiceEventCoverOpen(TdevPrinterHandle_t* handle, const char* host,
                                    const char* deviceId);
void TdcHybridServiceEventPaperOk(TdevPrinterHandle_t* handle, const char* host,
                                  const char* deviceId);
void TdcHybridServiceEventPaperNearEnd(TdevPrinterHandle_t* handle, const char* host,
                                       const char* deviceId);
void TdcHybridServiceEventPaperEmpty(TdevPrinterHandle_t* handle, const char* host,
                                     const char* deviceId);
void TdcHybridServiceEventDrawerHigh(TdevPrinterHandle_t* handle, const char* host,
                                     const char* deviceId);
void TdcHybridServiceEventDrawerLow(TdevPrinterHandle_t* handle, const char* host,
                                    const char* deviceId);
void TdcHybridServiceEventInsertionWait(TdevPrinterHandle_t* handle, const char* host,
                                        const char* deviceId);
void TdcHybridServiceEventInsertionWaitNone(TdevPrinterHandle_t* handle, const char* host,
                                            const char* deviceId);
void TdcHybridServiceEventRemovalWaitPaper(TdevPrinterHandle_t* handle, const char* host,
                                           const char* deviceId);
void TdcHybridServiceEventRemovalWaitNone(TdevPrinterHandle_t* handle, const char* host,
                                          const char* deviceId);
void TdcHybridServiceEventSlipPaperOk(TdevPrinterHandle_t* handle, const char* host,
                                      const char* deviceId);
void TdcHybridServiceEventSlipPaperEmpty(TdevPrinterHandle_t* handle, const char* host,
                                         const char* deviceId);
void TdcOnHybridServiceResult(TdevPrinterHandle_t* handle, const char* host, const char* deviceId,
                              int32_t success, int32_t code, uint32_t status, int32_t operation,
                              const char* data);

// ---- Keyboards (keyboard_module.cpp) ---------------------------------------------
void TdcOnKeyPress(void* handle, const char* host, const char* deviceId, int32_t keyCode,
                   const char* text);
void TdcOnReadString(void* handle, const char* host, const char* deviceId, const char* text,
                     int32_t prefix);

// ---- Barcode scanners and simple serial devices (scanner_serial_module.cpp) -------
void TdcOnScanData(void* handle, const char* host, const char* deviceId, const char* data);
void TdcOnSerialData(void* handle, const char* host, const char* deviceId, const uint8_t* bytes,
                     int32_t count);

// ---- Message boxes (commbox_module.cpp) ---------------------------------------------
void TdcOnCommBoxHistory(TdevCommBoxEntry_t* entry, const char* host, int32_t result,
                         const TdevCommHistoryItem_t* items, int32_t count, int32_t sequence);
void TdcOnCommBoxSendResult(TdevCommBoxEntry_t* entry, const char* host, int32_t result,
                            int32_t count, int32_t sequence);
void TdcOnCommBoxReceive(TdevCommBoxEntry_t* entry, const char* host,
                         const TdevCommHistoryItem_t* message);

}  // namespace tilo2::core
