// The line display operations over the device service: placeholders
// answering 255 until they land.

#include "service/device_service.h"

namespace tilo2::core {

int TdevDisplaySetReceiveCallback(TdevDisplayHandle_t*) { return 255; }
int TdevDisplaySendData(TdcBackendEnv_t*, TdevDisplayHandle_t*) { return 255; }
int TdevDisplayAddInitialize(TdevDisplayHandle_t*) { return 255; }
int TdevDisplayAddCreateWindow(TdevDisplayHandle_t*, int32_t, int32_t, int32_t, int32_t, int32_t,
                               int32_t) {
  return 255;
}
int TdevDisplayAddDestroyWindow(TdevDisplayHandle_t*, int32_t) { return 255; }
int TdevDisplayAddSetCurrentWindow(TdevDisplayHandle_t*, int32_t) { return 255; }
int TdevDisplayAddClearCurrentWindow(TdevDisplayHandle_t*) { return 255; }
int TdevDisplayAddSetCursorPosition(TdevDisplayHandle_t*, int32_t, int32_t) { return 255; }
int TdevDisplayAddMoveCursorPosition(TdevDisplayHandle_t*, int32_t) { return 255; }
int TdevDisplayAddSetCursorType(TdevDisplayHandle_t*, int32_t) { return 255; }
int TdevDisplayAddText(TdevDisplayHandle_t*, const char*, int32_t, int32_t, int32_t) { return 255; }
int TdevDisplayAddReverseText(TdevDisplayHandle_t*, const char*, int32_t, int32_t, int32_t) {
  return 255;
}
int TdevDisplayAddMarqueeText(TdevDisplayHandle_t*, const char*, int32_t, int32_t, int32_t, int32_t,
                              int32_t) {
  return 255;
}
int TdevDisplayAddSetBlink(TdevDisplayHandle_t*, int32_t) { return 255; }
int TdevDisplayAddSetBrightness(TdevDisplayHandle_t*, int32_t) { return 255; }
int TdevDisplayAddShowClock(TdevDisplayHandle_t*) { return 255; }

}  // namespace tilo2::core
