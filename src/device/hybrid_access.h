#pragma once
// Shared by the hybrid printer module's files: the scope of one operation on
// a hybrid record and the paper-state steps its results take.

#include <cstdint>

#include "device/device_types.h"
#include "device/printer_access.h"

namespace tilo2::core {

// As TdcPrinterOperation, holding the record in the hybrid registry: a
// destroy waits for the operation, the opLock is taken, the state is read
// and in mode 2 a use of the connection is taken for the operation's length.
class TdcHybridOperation {
 public:
  explicit TdcHybridOperation(TdcPrinter_t* record);
  ~TdcHybridOperation();
  TdcHybridOperation(const TdcHybridOperation&) = delete;
  TdcHybridOperation& operator=(const TdcHybridOperation&) = delete;

  bool Locked() const { return locked_; }
  const TdcPrinterState_t& State() const { return state_; }

 private:
  TdcPrinter_t* record_;
  bool held_;
  bool locked_;
  TdcPrinterState_t state_;
};

// Both applied sides, the insertion mode and the inserted paper back to 0.
void TdcResetPaperState(TdcPrinter_t* record);
void TdcSetAppliedSides(TdcPrinter_t* record, int32_t slip, int32_t endorse);

// The paper-state update a completed operation makes, and the code the app
// gets (method 4 on the device service renames two codes).
enum class TdcResultSource { Direct, Service };
int32_t TdcUpdatePaperState(TdcPrinter_t* record, TdcResultSource source, int32_t rawMethod,
                            int32_t method, int32_t code);

int32_t TdcHybridPortType(const TdcPrinter_t* record);

}  // namespace tilo2::core
