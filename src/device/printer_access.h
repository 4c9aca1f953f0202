#pragma once
// How operations reach a printer record's backend state safely: one
// operation per record at a time, a consistent view of mode, connection,
// handle and builder, and a use of the device-service connection for the
// operation's length.

#include <cstdint>

#include "device/device_types.h"

namespace tilo2::core {

// The record's backend state; read and written under stateLock only.
struct TdcPrinterState_t {
  int32_t mode;
  TdevConnection_t* connection;
  void* handle;
  void* builder;
};

TdcPrinterState_t TdcReadPrinterState(TdcPrinter_t* record);
void TdcWritePrinterState(TdcPrinter_t* record, const TdcPrinterState_t& state);
// mode 0 and no connection, handle or builder.
void TdcClearPrinterState(TdcPrinter_t* record);

// Held for an operation that reaches a backend: holds a registered record so
// that a destroy waits for the operation (or, from a handler the operation
// raised on its own thread, frees the record only once it ended), takes the
// record's opLock (recursive), reads the state, and in mode 2 takes a use of
// the connection so a disconnect meanwhile cannot free it; all released at
// scope end. Printer and hybrid printer records share the operations, so the
// hold is taken in whichever of the two registries has the record.
class TdcPrinterOperation {
 public:
  explicit TdcPrinterOperation(TdcPrinter_t* record);
  ~TdcPrinterOperation();
  TdcPrinterOperation(const TdcPrinterOperation&) = delete;
  TdcPrinterOperation& operator=(const TdcPrinterOperation&) = delete;

  // False when the opLock could not be taken (the operation answers 255).
  bool Locked() const { return locked_; }
  // What most operations check first: 255 when the opLock could not be
  // taken, 5 when the record has no handle, else 0.
  int Check() const;
  const TdcPrinterState_t& State() const { return state_; }

 private:
  TdcPrinter_t* record_;
  void (*release_)(TdcPrinter_t*);  // the registry the hold was taken in; null without one
  bool locked_;
  TdcPrinterState_t state_;
};

// What the immediate operations (the device service's forced requests)
// check after the operation's own: the time limit (-2 or 0..600000), then
// the backend (28 direct, 255 closed). 0 when the device service may be asked.
int TdcCheckImmediate(const TdcPrinterOperation& operation, int32_t timeoutMs);

}  // namespace tilo2::core
