// The printer operations over the device service: placeholders answering 255
// ("failure of its own") until they land, so an app that names a device id
// gets a clean error.

#include "service/device_service.h"

namespace tilo2::core {

int TdevPrinterIsReady(TdcBackendEnv_t*, TdevPrinterHandle_t*) { return 0; }
int TdevPrinterGetStatus(TdcBackendEnv_t*, TdevPrinterHandle_t*, uint32_t*, int32_t*) {
  return 255;
}
int TdevPrinterSendData(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t, const char*, int32_t,
                        int32_t) {
  return 255;
}
int TdevClearCommandBuffer(TdevPrinterHandle_t*) { return 255; }
int TdevPrinterForceRecover(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterForceReset(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterForceStopSound(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterForcePulse(TdcBackendEnv_t*, TdevPrinterHandle_t*, int32_t, int32_t, int32_t) {
  return 255;
}
int TdevPrinterForceCommand(TdcBackendEnv_t*, TdevPrinterHandle_t*, const uint8_t*, int32_t,
                            int32_t) {
  return 255;
}
int TdevPrinterAddTextAlign(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddLineSpace(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddTextRotate(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddText(TdevPrinterHandle_t*, const char*) { return 255; }
int TdevPrinterAddTextLang(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddTextFont(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddTextSmooth(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddTextSize(TdevPrinterHandle_t*, int32_t, int32_t) { return 255; }
int TdevPrinterAddTextStyle(TdevPrinterHandle_t*, int32_t, int32_t, int32_t, int32_t) {
  return 255;
}
int TdevPrinterAddHPosition(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddFeedUnit(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddFeedLine(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddImage(TdevPrinterHandle_t*, const uint8_t*, int32_t, int32_t, int32_t, int32_t,
                        int32_t, int32_t, int32_t, int32_t, int32_t, double) {
  return 255;
}
int TdevPrinterAddLogo(TdevPrinterHandle_t*, int32_t, int32_t) { return 255; }
int TdevPrinterAddBarcode(TdevPrinterHandle_t*, const char*, int32_t, int32_t, int32_t, int32_t,
                          int32_t) {
  return 255;
}
int TdevPrinterAddSymbol(TdevPrinterHandle_t*, const char*, int32_t, int32_t, int32_t, int32_t,
                         int32_t) {
  return 255;
}
int TdevPrinterAddHLine(TdevPrinterHandle_t*, int32_t, int32_t, int32_t) { return 255; }
int TdevPrinterAddVLineBegin(TdevPrinterHandle_t*, int32_t, int32_t) { return 255; }
int TdevPrinterAddVLineEnd(TdevPrinterHandle_t*, int32_t, int32_t) { return 255; }
int TdevPrinterAddPageBegin(TdevPrinterHandle_t*) { return 255; }
int TdevPrinterAddPageEnd(TdevPrinterHandle_t*) { return 255; }
int TdevPrinterAddPageArea(TdevPrinterHandle_t*, int32_t, int32_t, int32_t, int32_t) { return 255; }
int TdevPrinterAddPageDirection(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddPagePosition(TdevPrinterHandle_t*, int32_t, int32_t) { return 255; }
int TdevPrinterAddPageLine(TdevPrinterHandle_t*, int32_t, int32_t, int32_t, int32_t, int32_t) {
  return 255;
}
int TdevPrinterAddPageRectangle(TdevPrinterHandle_t*, int32_t, int32_t, int32_t, int32_t, int32_t) {
  return 255;
}
int TdevPrinterAddCut(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddPulse(TdevPrinterHandle_t*, int32_t, int32_t) { return 255; }
int TdevPrinterAddSound(TdevPrinterHandle_t*, int32_t, int32_t, int32_t) { return 255; }
int TdevAddCommand(void*, const uint8_t*, int32_t) { return 255; }
int TdevPrinterAddFeedPosition(TdevPrinterHandle_t*, int32_t) { return 255; }
int TdevPrinterAddLayout(TdevPrinterHandle_t*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                         int32_t) {
  return 255;
}

}  // namespace tilo2::core
