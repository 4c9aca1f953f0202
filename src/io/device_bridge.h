#pragma once
// The device work of the Bluetooth and USB transports, as their operation
// tables (device_transports.cpp) call it: plain functions over the device
// objects (bluetooth_io.h, usb_io.h). Each blocks until the device operation
// has finished, and no exception ever leaves one: out of memory gives 5, a
// device failure its HRESULT's code, a cancellation 2 in an open and 3
// elsewhere, anything else 255.

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
// Opens the holder's device at the address.
int openIoHolder(void* holder, const char* address);
// Releases the shared ownership the holder keeps and the holder itself.
void freeIoHolder(void* holder);

}  // namespace tilo2::core
