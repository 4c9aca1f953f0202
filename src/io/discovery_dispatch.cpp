#include <atomic>

#include "io/connection_interface.h"
#include "io/finder_bridge.h"
#include "io/test_hooks.h"

namespace tilo2::core {

namespace {

constexpr TiloIoFinderOps kRealFinders = {TiloIoUdpStartDiscovery, TiloIoUdpGetDeviceList,
                                          TiloIoBtStartFinder,     TiloIoUsbStartFinder,
                                          TiloIoBtGetFoundDevices, TiloIoUsbGetFoundDevices};

std::atomic<const TiloIoFinderOps*> g_finders{&kRealFinders};
std::atomic<int> g_activeFinders{0};
std::atomic<int> g_listFilter{0};
std::atomic<TiloIoFoundDeviceCallback> g_callback{nullptr};

void Report(TiloIoDeviceArrays_t* arrays, int count, int result) {
  if (count <= 0 || result != 0 || !arrays) return;
  for (int i = 0; i < count; ++i) {
    // Read again before every row: the engine may take the callback away meanwhile.
    const auto callback = g_callback.load();
    if (!callback) return;
    callback(arrays->connectionType ? arrays->connectionType[i] : 0,
             arrays->name ? arrays->name[i] : nullptr, arrays->target ? arrays->target[i] : nullptr,
             arrays->ip ? arrays->ip[i] : nullptr, arrays->mac ? arrays->mac[i] : nullptr);
  }
}

}  // namespace

void TiloIoSetFinderOps(const TiloIoFinderOps* ops) { g_finders = ops ? ops : &kRealFinders; }

void TiloIoSetFoundDeviceCallback(TiloIoFoundDeviceCallback callback) { g_callback = callback; }

int TiloIoGetActiveFinders() { return g_activeFinders; }

void TiloIoClearActiveFinders() { g_activeFinders = 0; }

int TiloIoStartDiscovery(const void* logHandle, const TiloIoDiscoveryRequest_t* request) {
  if (!request) return TILOIO_PARAMETER_ERROR;
  if (g_activeFinders != 0) return TILOIO_ILLEGAL_STATE;
  g_listFilter = request->listFilter;
  const TiloIoFinderOps& ops = *g_finders.load();
  const int mask = request->finderMask;
  const auto wanted = [mask](int bit) { return mask == bit || mask == TILOIO_FINDER_ALL; };
  int last = TILOIO_SUCCESS;
  int active = 0;
  if (wanted(TILOIO_FINDER_UDP) &&
      (last = ops.udpStart(logHandle, request->broadcastAddress)) == 0) {
    active |= TILOIO_FINDER_UDP;
  }
  if (wanted(TILOIO_FINDER_BLUETOOTH) && (last = ops.btStart()) == 0)
    active |= TILOIO_FINDER_BLUETOOTH;
  if (wanted(TILOIO_FINDER_USB) && (last = ops.usbStart()) == 0) active |= TILOIO_FINDER_USB;
  g_activeFinders = active;
  return active != 0 ? TILOIO_SUCCESS : last;
}

int TiloIoPollDiscovery() {
  const int active = g_activeFinders;
  if (active == 0) return TILOIO_ILLEGAL_STATE;
  const TiloIoFinderOps& ops = *g_finders.load();
  const int filter = g_listFilter;
  if (active & TILOIO_FINDER_UDP) {
    int count = 0, result = TILOIO_FAILURE;
    TiloIoDeviceArrays_t* arrays = ops.udpList(&count, &result);
    Report(arrays, count, result);
  }
  if (active & TILOIO_FINDER_BLUETOOTH) {
    int count = 0, result = TILOIO_FAILURE;
    TiloIoDeviceArrays_t* arrays = ops.btList(filter, &count, &result);
    Report(arrays, count, result);
  }
  if (active & TILOIO_FINDER_USB) {
    int count = 0, result = TILOIO_FAILURE;
    TiloIoDeviceArrays_t* arrays = ops.usbList(filter, &count, &result);
    Report(arrays, count, result);
  }
  return TILOIO_SUCCESS;
}

}  // namespace tilo2::core
