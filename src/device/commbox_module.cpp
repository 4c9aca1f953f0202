// The message-box module: placeholder until the module lands.
#include "device/service_notifiers.h"

namespace tilo2::core {

void TdcOnCommBoxHistory(TdevCommBoxEntry_t*, const char*, int32_t, const TdevCommHistoryItem_t*,
                         int32_t, int32_t) {}
void TdcOnCommBoxSendResult(TdevCommBoxEntry_t*, const char*, int32_t, int32_t, int32_t) {}
void TdcOnCommBoxReceive(TdevCommBoxEntry_t*, const char*, const TdevCommHistoryItem_t*) {}

}  // namespace tilo2::core
