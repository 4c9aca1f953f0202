// The line display module: placeholder until the module lands.
#include "device/service_notifiers.h"

namespace tilo2::core {

void TdcOnLineDisplayServiceResult(void*, const char*, const char*, int32_t, int32_t, uint32_t,
                                   int32_t) {}

}  // namespace tilo2::core
