// The barcode scanner and simple serial modules: connect, disconnect, the
// serial command and the data notifiers of both.

#include "device/scanner_serial_module.h"

#include <cstdlib>

#include "device/peripheral_service.h"
#include "device/service_notifiers.h"

namespace tilo2::core {

namespace {

template <typename RecordType, int32_t kType, int (*kInstall)(TdevDeviceHandle_t*),
          void (*kListener)(void*, int32_t)>
struct DeviceKind {
  using Record = RecordType;
  using Handle = TdevDeviceHandle_t;
  static Handle*& Key(Record* record) { return record->device; }
  static TdcRegistryBase& Registry() {
    // Never destroyed: notifiers may still look records up while the process exits.
    static auto* registry = new TdcRegistry<Record>(&peripheral::KeyOf<DeviceKind>);
    return *registry;
  }
  static int Open(TdcBackendEnv_t* env, TdevConnection_t* connection, const char* deviceId,
                  const char*, Handle** out) {
    void* device = nullptr;
    const int opened = TdevOpenDeviceSync(env, connection, deviceId, kType, &device);
    *out = static_cast<Handle*>(device);
    return opened;
  }
  static int Close(TdcBackendEnv_t* env, TdevConnection_t* connection, Handle* handle) {
    return TdevCloseDeviceSync(env, connection, handle);
  }
  static int Install(Handle* handle) { return kInstall(handle); }
  static void Listener(void* record, int32_t event) { kListener(record, event); }
};

using ScannerKind = DeviceKind<TdcBarcodeScanner_t, TDEV_DEVICE_SCANNER,
                               &TdevScannerSetDataCallback, &TdcOnBarcodeScannerConnectionEvent>;
using SerialKind = DeviceKind<TdcSimpleSerial_t, TDEV_DEVICE_SERIAL, &TdevSerialSetDataCallback,
                              &TdcOnSimpleSerialConnectionEvent>;

template <typename Record>
void FreeDeviceRecord(void* pointer) {
  auto* record = static_cast<Record*>(pointer);
  record->onData = nullptr;
  record->onDataUser = nullptr;
  record->onConnection = nullptr;
  record->onConnectionUser = nullptr;
  std::free(record);
}

}  // namespace

// ---- Barcode scanner ------------------------------------------------------------------

int TdcConnectBarcodeScanner(TdcEnvData_t* env, TdcBarcodeScanner_t* record, const char* target,
                             int32_t timeoutMs) {
  return peripheral::Connect<ScannerKind>(env, record, target, timeoutMs, nullptr);
}

int TdcDisconnectBarcodeScanner(TdcEnvData_t* env, TdcBarcodeScanner_t* record) {
  return peripheral::Disconnect<ScannerKind>(env, record);
}

int TdcDestroyBarcodeScanner(TdcBarcodeScanner_t* record) {
  return peripheral::Destroy<ScannerKind>(record, &FreeDeviceRecord<TdcBarcodeScanner_t>);
}

void TdcRegisterBarcodeScanner(TdcBarcodeScanner_t* record) {
  if (record != nullptr) ScannerKind::Registry().Register(record);
}

void TdcUnregisterBarcodeScanner(TdcBarcodeScanner_t* record) {
  peripheral::Unregister<ScannerKind>(record);
}

TdcBarcodeScanner_t* TdcFindBarcodeScanner(const void* handle) {
  return static_cast<TdcBarcodeScanner_t*>(ScannerKind::Registry().Find(handle));
}

void TdcReleaseBarcodeScanner(TdcBarcodeScanner_t* record) {
  if (record != nullptr) ScannerKind::Registry().Release(record);
}

void TdcOnBarcodeScannerConnectionEvent(void* record, int32_t event) {
  peripheral::OnConnectionEvent<ScannerKind>(record, event);
}

void TdcOnScanData(void* handle, const char*, const char*, const char* data) {
  if (data == nullptr) return;
  peripheral::Deliver<ScannerKind>(handle, &TdcBarcodeScanner_t::onData,
                                   &TdcBarcodeScanner_t::onDataUser, data);
}

// ---- Simple serial device ---------------------------------------------------------------

int TdcConnectSimpleSerial(TdcEnvData_t* env, TdcSimpleSerial_t* record, const char* target,
                           int32_t timeoutMs) {
  return peripheral::Connect<SerialKind>(env, record, target, timeoutMs, nullptr);
}

int TdcDisconnectSimpleSerial(TdcEnvData_t* env, TdcSimpleSerial_t* record) {
  return peripheral::Disconnect<SerialKind>(env, record);
}

int TdcSendSerialCommand(TdcEnvData_t* env, TdcSimpleSerial_t* record, const uint8_t* bytes,
                         int32_t length) {
  if (record == nullptr) return TDC_ERR_PARAM;
  peripheral::Operation<SerialKind> operation(record);
  if (!operation.Locked()) return TDC_ERR_FAILURE;
  const auto& state = operation.Snapshot();
  if (state.connection == nullptr) return TDC_ERR_ILLEGAL;
  if (bytes == nullptr) return TDC_ERR_PARAM;
  if (state.mode != TDC_MODE_SERVICE) return TDC_ERR_FAILURE;
  TdcScopedBackendEnv backendEnv(record->portType, TDC_MODE_SERVICE, env);
  return TdcFromServiceResult(TdevSerialSendCommand(backendEnv.get(), state.handle, bytes, length));
}

int TdcDestroySimpleSerial(TdcSimpleSerial_t* record) {
  return peripheral::Destroy<SerialKind>(record, &FreeDeviceRecord<TdcSimpleSerial_t>);
}

void TdcRegisterSimpleSerial(TdcSimpleSerial_t* record) {
  if (record != nullptr) SerialKind::Registry().Register(record);
}

void TdcUnregisterSimpleSerial(TdcSimpleSerial_t* record) {
  peripheral::Unregister<SerialKind>(record);
}

TdcSimpleSerial_t* TdcFindSimpleSerial(const void* handle) {
  return static_cast<TdcSimpleSerial_t*>(SerialKind::Registry().Find(handle));
}

void TdcReleaseSimpleSerial(TdcSimpleSerial_t* record) {
  if (record != nullptr) SerialKind::Registry().Release(record);
}

void TdcOnSimpleSerialConnectionEvent(void* record, int32_t event) {
  peripheral::OnConnectionEvent<SerialKind>(record, event);
}

void TdcOnSerialData(void* handle, const char*, const char*, const uint8_t* bytes, int32_t count) {
  if (bytes == nullptr) return;
  peripheral::Deliver<SerialKind>(handle, &TdcSimpleSerial_t::onData,
                                  &TdcSimpleSerial_t::onDataUser, bytes, count);
}

}  // namespace tilo2::core
