// The barcode scanner and simple serial modules: placeholder until they land.
#include "device/service_notifiers.h"

namespace tilo2::core {

void TdcOnScanData(void*, const char*, const char*, const char*) {}
void TdcOnSerialData(void*, const char*, const char*, const uint8_t*, int32_t) {}

}  // namespace tilo2::core
