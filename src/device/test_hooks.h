#pragma once
// Where tests reach into the device layer. Product code never calls these.

#include <cstddef>
#include <cstdint>

namespace tilo2::core {

// The allocation behind every command-list node; tests swap it to fail on
// purpose. Null restores malloc.
using TdcCommandAllocFn = void* (*)(size_t size);
void TdcSetCommandAllocator(TdcCommandAllocFn alloc);

// The next count connection-listener adds fail as if out of memory.
void TdcFailListenerAdds(int count);

// The device-service queries discovery makes for every plain network printer
// it finds. getDeviceList returns at once and answers later through
// onDeviceListResult (service/device_service.h), from any thread, with the
// same host, name and mac; getSystemPortList blocks and writes {plain port,
// TLS port}. The defaults are TdevGetDeviceList and TdevGetSystemPortList.
struct TdcDeviceListOps {
  int (*getDeviceList)(const char* host, const char* name, const char* mac);
  int (*getSystemPortList)(const char* host, int32_t* ports);
};
// Null restores the real queries. The table is read when a query starts, so it
// must outlive every discovery that may use it.
void TdcSetDeviceListOps(const TdcDeviceListOps* ops);

}  // namespace tilo2::core
