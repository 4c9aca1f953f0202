// The Bluetooth and USB finders as plain functions for discovery: one finder
// of each kind, its last poll's rows kept until the next poll or the stop.
// Callers hold the discovery lock, so the state here needs no lock of its own.

#include "io/finder_bridge.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "io/device_bridge_internal.h"
#include "io/device_finder.h"
#include "io/device_text.h"

namespace tilo2::core {

namespace {

constexpr size_t kMaxFieldBytes = 255;

struct FinderState {
  std::shared_ptr<OrvikDeviceFinder> finder;
  TiloIoDeviceArrays_t* result = nullptr;
  int count = 0;
};

FinderState g_bluetooth;
FinderState g_usb;

// A row's copy of one field: null for an empty one, else at most 255 bytes
// cut on a character boundary. Throws std::bad_alloc.
char* CopyField(const std::string& text) {
  if (text.empty()) return nullptr;
  const std::string_view cut = utf8Prefix(text, kMaxFieldBytes);
  auto* copy = static_cast<char*>(std::malloc(cut.size() + 1));
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, cut.data(), cut.size());
  copy[cut.size()] = '\0';
  return copy;
}

void FreeResult(FinderState& state) {
  freeFoundDeviceArrays(state.result, state.count);
  state.result = nullptr;
  state.count = 0;
}

// Replaces the state's rows with the list's; 5 (and no rows) when memory runs out.
int convertFoundDevices(FinderState& state, const DevInfoList& list) {
  FreeResult(state);
  const int n = static_cast<int>(list.size());
  TiloIoDeviceArrays_t* arrays = newDeviceArrays(n);
  if (!arrays) return TILOIO_OUT_OF_MEMORY;
  try {
    for (int i = 0; i < n; ++i) {
      const ORVIKIoDevInfo& entry = *list[static_cast<size_t>(i)];
      arrays->connectionType[i] = entry.connectionType;
      arrays->name[i] = CopyField(entry.name);
      arrays->target[i] = CopyField(entry.address);
      arrays->ip[i] = CopyField(entry.ip);
      arrays->mac[i] = CopyField(entry.mac);
    }
  } catch (...) {
    freeFoundDeviceArrays(arrays, n);
    return TILOIO_OUT_OF_MEMORY;
  }
  state.result = arrays;
  state.count = n;
  return TILOIO_SUCCESS;
}

template <class Finder>
int StartFinder(FinderState& state) {
  return TiloIoGuarded(false, [&] {
    // A finder held before (a failed start or stop left it) goes now.
    state.finder.reset();
    state.finder = std::make_shared<Finder>();
    state.finder->Start(std::string());
  });
}

TiloIoDeviceArrays_t* GetFoundDevices(FinderState& state, int listFilter, int* count, int* result) {
  DevInfoList list;
  int rc = TiloIoGuarded(false, [&] {
    if (!state.finder) std::rethrow_exception(TiloIoResultToException(TILOIO_ILLEGAL_STATE));
    list = state.finder->GetDeviceList(listFilter);
  });
  if (rc != TILOIO_SUCCESS) {
    if (result) *result = rc;
    return nullptr;
  }
  rc = convertFoundDevices(state, list);
  if (result) *result = rc;
  if (rc != TILOIO_SUCCESS) return nullptr;
  if (count) *count = state.count;
  return state.result;
}

int StopFinder(FinderState& state) {
  const int rc = TiloIoGuarded(false, [&] {
    if (!state.finder) std::rethrow_exception(TiloIoResultToException(TILOIO_ILLEGAL_STATE));
    state.finder->Stop();
  });
  if (rc != TILOIO_SUCCESS) return rc;
  FreeResult(state);
  state.finder.reset();
  return TILOIO_SUCCESS;
}

}  // namespace

TiloIoDeviceArrays_t* newDeviceArrays(int n) {
  if (n < 0) return nullptr;
  const size_t rows = static_cast<size_t>(n) + 1;  // never a zero-size allocation
  auto* arrays = static_cast<TiloIoDeviceArrays_t*>(std::calloc(1, sizeof(TiloIoDeviceArrays_t)));
  if (!arrays) return nullptr;
  arrays->connectionType = static_cast<int*>(std::calloc(rows, sizeof(int)));
  arrays->name = static_cast<char**>(std::calloc(rows, sizeof(char*)));
  arrays->target = static_cast<char**>(std::calloc(rows, sizeof(char*)));
  arrays->ip = static_cast<char**>(std::calloc(rows, sizeof(char*)));
  arrays->mac = static_cast<char**>(std::calloc(rows, sizeof(char*)));
  if (!arrays->connectionType || !arrays->name || !arrays->target || !arrays->ip || !arrays->mac) {
    freeFoundDeviceArrays(arrays, 0);
    return nullptr;
  }
  return arrays;
}

void freeFoundDeviceArrays(TiloIoDeviceArrays_t* arrays, int count) {
  if (!arrays) return;
  // The arrays go whenever they exist, zero rows included.
  for (int i = 0; i < count; ++i) {
    if (arrays->name) std::free(arrays->name[i]);
    if (arrays->target) std::free(arrays->target[i]);
    if (arrays->ip) std::free(arrays->ip[i]);
    if (arrays->mac) std::free(arrays->mac[i]);
  }
  std::free(arrays->connectionType);
  std::free(arrays->name);
  std::free(arrays->target);
  std::free(arrays->ip);
  std::free(arrays->mac);
  std::free(arrays);
}

int TiloIoBtStartFinder() { return StartFinder<OrvikBluetoothFinder>(g_bluetooth); }
int TiloIoUsbStartFinder() { return StartFinder<OrvikUsbFinder>(g_usb); }

TiloIoDeviceArrays_t* TiloIoBtGetFoundDevices(int listFilter, int* count, int* result) {
  return GetFoundDevices(g_bluetooth, listFilter, count, result);
}

TiloIoDeviceArrays_t* TiloIoUsbGetFoundDevices(int listFilter, int* count, int* result) {
  return GetFoundDevices(g_usb, listFilter, count, result);
}

int TiloIoBtStopFinder() { return StopFinder(g_bluetooth); }
int TiloIoUsbStopFinder() { return StopFinder(g_usb); }

}  // namespace tilo2::core
