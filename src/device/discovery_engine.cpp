// Placeholder until the discovery engine lands.
#include "device/discovery_engine.h"

#include "device/test_hooks.h"
#include "service/device_service.h"

namespace tilo2::core {

int TdcStartDiscovery(TdcEnvData_t*, const DiscoveryFilter_t*) { return 255; }
int TdcStopDiscovery() { return 0; }
int TdcStartDiscoveryNotify(TdcDiscoveryCallback, const DiscoveryFilter_t*) { return 255; }
int TdcStopDiscoveryNotify() { return 5; }
int TdcStartDiscoveryPolling() { return 255; }
int TdcStopDiscoveryPolling() { return 5; }
void TdcSetDeviceListOps(const TdcDeviceListOps*) {}
void onDeviceListResult(const char*, const char*, const char*, TdevDeviceListEntry_t*, int32_t) {}

}  // namespace tilo2::core
