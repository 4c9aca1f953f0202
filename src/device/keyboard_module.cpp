// The keyboard module: placeholder until the module lands.
#include "device/service_notifiers.h"

namespace tilo2::core {

void TdcOnKeyPress(void*, const char*, const char*, int32_t, const char*) {}
void TdcOnReadString(void*, const char*, const char*, const char*, int32_t) {}

}  // namespace tilo2::core
