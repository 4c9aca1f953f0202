// The keyboard, scanner, serial and message-box operations over the device
// service: placeholders answering 255 until they land.

#include "service/device_service.h"

namespace tilo2::core {

int TdevKeyboardSetKeyPressCallback(TdevKeyboardHandle_t*) { return 255; }
int TdevKeyboardSetStringCallback(TdevKeyboardHandle_t*) { return 255; }
int TdevKeyboardSetPrefix(TdcBackendEnv_t*, TdevKeyboardHandle_t*, const uint8_t*, int32_t) {
  return 255;
}
int TdevKeyboardGetPrefix(TdevKeyboardHandle_t*, uint8_t*, int32_t, int32_t*) { return 255; }
int TdevScannerSetDataCallback(TdevDeviceHandle_t*) { return 255; }
int TdevSerialSetDataCallback(TdevDeviceHandle_t*) { return 255; }
int TdevSerialSendCommand(TdcBackendEnv_t*, TdevDeviceHandle_t*, const uint8_t*, int32_t) {
  return 255;
}
int TdevCommBoxSetReceiveCallback(TdevCommBoxEntry_t*) { return 255; }
int TdevGetCommHistory(TdcBackendEnv_t*, TdevCommBoxEntry_t*, int32_t*) { return 255; }
int TdevSendCommBoxMessage(TdcBackendEnv_t*, TdevCommBoxEntry_t*, const char*, const char*,
                           int32_t*) {
  return 255;
}

}  // namespace tilo2::core
