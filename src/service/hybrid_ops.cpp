// The hybrid printer operations over the device service: placeholders
// answering 255 until they land.

#include "service/device_service.h"

namespace tilo2::core {

int TdevHybridSetOnlineCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetOfflineCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetPowerOffCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetCoverCloseCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetCoverOpenCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetPaperOkCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetPaperNearEndCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetPaperEmptyCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetDrawerHighCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetDrawerLowCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetInsertionWaitCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetInsertionWaitNoneCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetRemovalWaitPaperCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetRemovalWaitNoneCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetSlipPaperOkCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetSlipPaperEmptyCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetReceiveCallback(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetWaitInsertionReply(TdevPrinterHandle_t*) { return 255; }
int TdevHybridSetClearBufferReply(TdevPrinterHandle_t*) { return 255; }
int TdevHybridClearBufferSync(TdcBackendEnv_t*, TdevPrinterHandle_t*) { return 255; }
int TdevHybridWaitInsertionSync(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t, int32_t, int32_t) {
  return 255;
}
int TdevHybridWaitInsertion(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t, int32_t, int32_t,
                            int32_t) {
  return 255;
}
int TdevHybridSendData(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t, int32_t, int32_t, int32_t,
                       int32_t) {
  return 255;
}
int TdevHybridCancelInsertion(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevHybridCancelMicr(TdcBackendEnv_t*, TdevPrinterHandle_t*) { return 255; }
int TdevHybridEjectPaper(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t, int32_t) { return 255; }
int TdevHybridReadMicrData(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t, int32_t, int32_t,
                           int32_t) {
  return 255;
}
int TdevHybridCleanMicrReader(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t, int32_t, int32_t) {
  return 255;
}
int TdevHybridForceCommand(TdcBackendEnv_t*, TdevPrinterHandle_t*, const uint8_t*, int32_t, int32_t,
                           int32_t, int32_t, int32_t) {
  return 255;
}

}  // namespace tilo2::core
