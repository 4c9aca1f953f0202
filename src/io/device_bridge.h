#pragma once
// The device work of the Bluetooth and USB transports, as their operation
// tables (device_transports.cpp) call it. The device objects are not in the
// tree yet: until they are, every entry point answers 255 with an information
// line (see device_bridge_pending.cpp).

#include <cstddef>

#include "io/io_types.h"

namespace tilo2::core {

int TiloIoBtOpen(TiloIoConnection_t** out, const char* address);
int TiloIoUsbOpen(TiloIoConnection_t** out, const char* address);
int TiloIoBtClose(void* holder);
int TiloIoUsbClose(void* holder);
int TiloIoBtWrite(void* holder, const void* data, size_t length, int timeoutMs, size_t* written);
int TiloIoUsbWrite(void* holder, const void* data, size_t length, int timeoutMs, size_t* written);
int TiloIoBtRead(void* holder, void* buffer, int timeoutMs, size_t* count);
int TiloIoUsbRead(void* holder, void* buffer, int timeoutMs, size_t* count);
int TiloIoUsbControl(void* holder, int value);
int TiloIoUsbGetStatus(void* holder, int* flag);
int TiloIoUsbCheckOnline(void* holder, int* online);
// Releases the shared ownership the holder keeps and the holder itself.
void freeIoHolder(void* holder);

}  // namespace tilo2::core
