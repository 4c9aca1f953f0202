#pragma once
// The barcode scanner and simple serial device modules: both are reached
// only through the device service of a network printer. A scanner reports
// scanned data; a serial device also takes command bytes.

#include <cstdint>

#include "device/device_types.h"
#include "foundation/platform.h"
#include "service/device_service.h"

namespace tilo2::core {

// The data are valid only during the call.
using TdcScanDataCallback = void (*)(void* record, const char* data, void* user);
using TdcSerialDataCallback = void (*)(void* record, const uint8_t* bytes, int32_t length,
                                       void* user);

// Both records: allocated zero-filled by their owners with mode -3, freed by
// their destroy functions (or by the owner after unregistering). The owner
// stores the callbacks before it connects.
struct TdcBarcodeScanner_t {
  int32_t mode;      // TdcBackendMode: -3 never connected, 0 closed, 2 device service
  int32_t portType;  // TdcPortType of the last connect: 1 TCP or 2 TCPS
  TdevConnection_t* connection;
  TdevDeviceHandle_t* device;  // the registry key; null when not connected
  TdcScanDataCallback onData;
  void* onDataUser;
  TdcConnectionCallback onConnection;
  void* onConnectionUser;

  // Our own: serialises the record's operations; zero-filled is its valid start.
  PlatformMutex_t opLock;
};

struct TdcSimpleSerial_t {
  int32_t mode;
  int32_t portType;
  TdevConnection_t* connection;
  TdevDeviceHandle_t* device;
  TdcSerialDataCallback onData;
  void* onDataUser;
  TdcConnectionCallback onConnection;
  void* onConnectionUser;

  PlatformMutex_t opLock;
};

// Connect and disconnect answer as TdcConnectKeyboard and TdcDisconnectKeyboard.
int TdcConnectBarcodeScanner(TdcEnvData_t* env, TdcBarcodeScanner_t* record, const char* target,
                             int32_t timeoutMs);
int TdcDisconnectBarcodeScanner(TdcEnvData_t* env, TdcBarcodeScanner_t* record);
int TdcDestroyBarcodeScanner(TdcBarcodeScanner_t* record);
void TdcRegisterBarcodeScanner(TdcBarcodeScanner_t* record);
// Also waits until no other thread's callback or operation holds the record.
void TdcUnregisterBarcodeScanner(TdcBarcodeScanner_t* record);
// Held until TdcReleaseBarcodeScanner; null for none.
TdcBarcodeScanner_t* TdcFindBarcodeScanner(const void* handle);
void TdcReleaseBarcodeScanner(TdcBarcodeScanner_t* record);
void TdcOnBarcodeScannerConnectionEvent(void* record, int32_t event);

int TdcConnectSimpleSerial(TdcEnvData_t* env, TdcSimpleSerial_t* record, const char* target,
                           int32_t timeoutMs);
int TdcDisconnectSimpleSerial(TdcEnvData_t* env, TdcSimpleSerial_t* record);
// 1 null record; 5 not connected; 1 null bytes; 255 not on the device
// service; else the device service's result, once the bytes are written.
int TdcSendSerialCommand(TdcEnvData_t* env, TdcSimpleSerial_t* record, const uint8_t* bytes,
                         int32_t length);
int TdcDestroySimpleSerial(TdcSimpleSerial_t* record);
void TdcRegisterSimpleSerial(TdcSimpleSerial_t* record);
void TdcUnregisterSimpleSerial(TdcSimpleSerial_t* record);
TdcSimpleSerial_t* TdcFindSimpleSerial(const void* handle);
void TdcReleaseSimpleSerial(TdcSimpleSerial_t* record);
void TdcOnSimpleSerialConnectionEvent(void* record, int32_t event);

}  // namespace tilo2::core
