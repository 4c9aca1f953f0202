// The hybrid printer's operations over the device service: the slot setters,
// the two blocking requests (clear buffer, wait for an insertion), and the
// operations on inserted paper (print, cancel, eject, MICR, raw commands).
// Every operation but the buffer clear asks the printer's status first and
// refuses what the printer cannot start now by a report through slot 16
// rather than by its result, so the app learns it from the result event as it
// would learn the service's answer.

#include "service/hybrid_ops.h"

#include <memory>
#include <new>
#include <vector>

#include "device/service_notifiers.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "service/device_handles.h"
#include "service/device_service.h"
#include "service/ops_support.h"
#include "service/reply_codes.h"
#include "service/request_messages.h"
#include "service/waiters.h"

namespace tilo2::core {

namespace {

constexpr const char* kSource = "tilodevice_hybrid";

// Status bits the operations test.
constexpr uint32_t kNoResponse = 0x1;
constexpr uint32_t kWaitingInsertion = 0x10000;
constexpr uint32_t kWaitingRemoval = 0x40000;
constexpr uint32_t kSlipAbsent = 0x2000000;        // no slip or endorsement paper in place
constexpr uint32_t kValidationAbsent = 0x8000000;  // no validation paper in place
// Both are set only when no paper at all is inserted.
constexpr uint32_t kNoPaper = kSlipAbsent | kValidationAbsent;

enum Paper : int32_t { kReceipt = 0, kSlip = 1, kEndorsement = 2, kValidation = 3 };

// The operation argument of slot 16.
enum Operation : int32_t {
  kOpWaitInsertion = 0,
  kOpPrint = 1,
  kOpCancel = 2,
  kOpEject = 3,
  kOpMicrRead = 4,
  kOpMicrCleaning = 5,
};

constexpr int32_t kDefault = -2;  // the device layer's "use the default"
constexpr int32_t kWaitTimeMax = 6400;
constexpr int32_t kWaitTimeDefault = 500;
constexpr int32_t kTimeoutMin = 5000;
constexpr int32_t kTimeoutMax = 600000;
constexpr int32_t kTimeoutDefault = 15000;
constexpr int32_t kCommandTimeoutDefault = 10000;
constexpr int32_t kClearBufferTimeoutMs = 500;  // what the clear-buffer message carries

using PrinterRef = std::shared_ptr<TdevPrinterHandle_t>;

// The live hybrid printer behind a pointer the device layer holds, or null.
PrinterRef HybridRef(TdevPrinterHandle_t* handle) {
  PrinterRef ref = TdevRefPrinterHandle(handle);
  if (ref == nullptr || ref->type != TDEV_DEVICE_HYBRID_PRINTER) return nullptr;
  return ref;
}

// The live connection the handle was opened on, or null.
TdevConnectionRef ConnectionOf(const PrinterRef& handle) {
  return TdevRefConnection(handle->connection);
}

// value, or fallback for the default marker, when it lies in low..high.
bool InRange(int32_t value, int32_t low, int32_t high, int32_t fallback, int32_t* out) {
  if (value == kDefault) value = fallback;
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

bool IsPaper(int32_t paper) { return paper >= kReceipt && paper <= kValidation; }
bool IsFlag(int32_t flag) { return flag == 0 || flag == 1; }
bool PaperPresent(uint32_t status) { return (status & kNoPaper) != kNoPaper; }

// Reports a refusal through slot 16 (no host, no device id, success 1, the
// word just read, no data). 0, or 255 when the slot is empty and the refusal
// cannot reach anyone.
int Refuse(TdevPrinterHandle_t* handle, int32_t code, uint32_t status, int32_t operation) {
  auto slot = reinterpret_cast<TdevHybridResult>(TdevGetHybridPrinterCallback(handle, 16));
  if (slot == nullptr) {
    log_error_line("ERROR", kSource, __LINE__);
    return TDEV_ERR_FAILURE;
  }
  slot(handle, nullptr, nullptr, 1, code, status, operation, nullptr);
  return TDEV_OK;
}

// The status step every checked operation starts with: 0 with the word, or
// the refusal (20) when the printer cannot be asked or does not answer. The
// printer's own query asks again while the service times out towards the
// printer; its word 0 means the query never ran.
int32_t StatusStep(TdevPrinterHandle_t* handle, uint32_t* status) {
  int32_t battery = 0;
  if (TdevPrinterGetStatus(nullptr, handle, status, &battery) != 0 || *status == 0) {
    *status = kNoResponse;
    log_error_line("ERROR", kSource, __LINE__);
    return TDEV_ERR_PORT;
  }
  return (*status & kNoResponse) != 0 ? TDEV_ERR_PORT : TDEV_OK;
}

// The frame of the operations that ask the status first: the connection,
// the status step, the operation's own refusal for the word (refusalFor
// answers 0 when there is none), then the message build(sequence, &message)
// makes. A refusal goes to slot 16 and nothing is sent; *refused (when given)
// receives its code once it was reported.
template <class RefusalFor, class Build>
int CheckedSend(TdevPrinterHandle_t* handle, const PrinterRef& ref, int32_t operation,
                RefusalFor refusalFor, Build build, int32_t* refused = nullptr) {
  TdevConnectionRef connection = ConnectionOf(ref);
  if (connection == nullptr) return TDEV_ERR_FAILURE;
  uint32_t status = 0;
  int32_t refusal = StatusStep(handle, &status);
  if (refusal == TDEV_OK) refusal = refusalFor(status);
  if (refusal != TDEV_OK) {
    const int reported = Refuse(handle, refusal, status, operation);
    if (refused != nullptr && reported == TDEV_OK) *refused = refusal;
    return reported;
  }
  return TdevSendRequest(connection.get(), build);
}

// The insertion wait and the timeout of the operations that wait for paper,
// each -2 for its default.
bool MapWaitTimes(int32_t waitTimeMs, int32_t timeoutMs, int32_t* waitTime, int32_t* timeout) {
  return InRange(waitTimeMs, 0, kWaitTimeMax, kWaitTimeDefault, waitTime) &&
         InRange(timeoutMs, kTimeoutMin, kTimeoutMax, kTimeoutDefault, timeout);
}

// The refusals shared by the MICR read and the cleaning (0 when none).
int32_t MicrRefusal(uint32_t status, int32_t removal) {
  if ((status & kWaitingInsertion) != 0) return TDEV_ERR_WAIT_INSERTION;
  if (PaperPresent(status) || removal != 0) return TDEV_ERR_INSERTED;
  if ((status & kWaitingRemoval) != 0) return TDEV_ERR_WAIT_REMOVAL;
  return TDEV_OK;
}

// The refusal of the two cancels: only a wait for paper can be cancelled.
int32_t CancelRefusal(uint32_t status) {
  return (status & kWaitingInsertion) == 0 ? TDEV_ERR_ILLEGAL : TDEV_OK;
}

// The wait-insertion request. *refused (when given) receives the code of a
// refusal reported through slot 16, 0 when the request was sent or failed.
int WaitInsertion(TdevPrinterHandle_t* handle, int32_t paper, int32_t waitTimeMs, int32_t timeoutMs,
                  int32_t removal, int32_t* refused) {
  PrinterRef ref = HybridRef(handle);
  if (ref == nullptr) {
    log_error_line("ERROR", kSource, __LINE__);
    return TDEV_ERR_PARAM;
  }
  int32_t waitTime = 0;
  int32_t timeout = 0;
  if (!IsPaper(paper) || !MapWaitTimes(waitTimeMs, timeoutMs, &waitTime, &timeout)) {
    return TDEV_ERR_PARAM;
  }
  return CheckedSend(
      handle, ref, kOpWaitInsertion,
      [&](uint32_t status) -> int32_t {
        if (paper == kReceipt) return TDEV_ERR_PAPER_TYPE;
        if ((status & kWaitingInsertion) != 0) return TDEV_ERR_WAIT_INSERTION;
        if (PaperPresent(status) && TdevHybridIsSelectingPaper(handle) == 0) {
          return TDEV_ERR_INSERTED;
        }
        if (removal != 0) return TDEV_ERR_INSERTED;
        if ((status & kWaitingRemoval) != 0) return TDEV_ERR_WAIT_REMOVAL;
        return TDEV_OK;
      },
      [&](int32_t sequence, TdevBuffer_t** out) {
        return TdevMsgWaitInsertion(ref->deviceId.c_str(), sequence, paper, timeout, waitTime, out);
      },
      refused);
}

// The senders of the two blocking requests, called once their waiter is
// listed. A connection destroyed between the listing and the send has
// already run its pass over the waits, so the wait is ended here.
int EndIfConnectionGone(TdevPrinterHandle_t* handle, int sent, void (*end)(TdevPrinterHandle_t*)) {
  if (sent == TDEV_OK && TdevRefConnection(handle->connection) == nullptr) end(handle);
  return sent;
}

int SendClearBuffer(TdevPrinterHandle_t* handle, void*) {
  return EndIfConnectionGone(
      handle, TdevHybridClearBuffer(nullptr, handle),
      [](TdevPrinterHandle_t* h) { TdevOnClearBufferReply(h, TDEV_ERR_NOT_CONNECTED); });
}

struct InsertionRequest {
  int32_t paper;
  int32_t timeoutMs;
};

int SendWaitInsertion(TdevPrinterHandle_t* handle, void* context) {
  const auto* request = static_cast<const InsertionRequest*>(context);
  int32_t refused = 0;
  const int sent =
      WaitInsertion(handle, request->paper, kWaitTimeDefault, request->timeoutMs, 0, &refused);
  // A refusal went to slot 16 and nothing was sent, so no reply will come:
  // the caller gets the refusal rather than a wait.
  if (refused != 0) return refused;
  return EndIfConnectionGone(handle, sent, [](TdevPrinterHandle_t* h) {
    TdevOnWaitInsertionReply(h, TDEV_ERR_NOT_CONNECTED, 0);
  });
}

template <class Slot>
int SetSlot(TdevPrinterHandle_t* handle, int32_t index, Slot function) {
  if (TdevRefPrinterHandle(handle) == nullptr) return TDEV_ERR_PARAM;
  return TdevSetHybridPrinterCallback(handle, index, reinterpret_cast<TdevAnyCallback>(function));
}

}  // namespace

// ---- Slot setters -------------------------------------------------------------------------

int TdevHybridSetOnlineCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 0, &TdcHybridServiceEventOnline);
}
int TdevHybridSetOfflineCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 1, &TdcHybridServiceEventOffline);
}
int TdevHybridSetPowerOffCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 2, &TdcHybridServiceEventPowerOff);
}
int TdevHybridSetCoverCloseCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 3, &TdcHybridServiceEventCoverClose);
}
int TdevHybridSetCoverOpenCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 4, &TdcHybridServiceEventCoverOpen);
}
int TdevHybridSetPaperOkCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 5, &TdcHybridServiceEventPaperOk);
}
int TdevHybridSetPaperNearEndCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 6, &TdcHybridServiceEventPaperNearEnd);
}
int TdevHybridSetPaperEmptyCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 7, &TdcHybridServiceEventPaperEmpty);
}
int TdevHybridSetDrawerHighCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 8, &TdcHybridServiceEventDrawerHigh);
}
int TdevHybridSetDrawerLowCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 9, &TdcHybridServiceEventDrawerLow);
}
int TdevHybridSetInsertionWaitCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 10, &TdcHybridServiceEventInsertionWait);
}
int TdevHybridSetInsertionWaitNoneCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 11, &TdcHybridServiceEventInsertionWaitNone);
}
int TdevHybridSetRemovalWaitPaperCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 12, &TdcHybridServiceEventRemovalWaitPaper);
}
int TdevHybridSetRemovalWaitNoneCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 13, &TdcHybridServiceEventRemovalWaitNone);
}
int TdevHybridSetSlipPaperOkCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 14, &TdcHybridServiceEventSlipPaperOk);
}
int TdevHybridSetSlipPaperEmptyCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevPrinterEvent>(h, 15, &TdcHybridServiceEventSlipPaperEmpty);
}
int TdevHybridSetReceiveCallback(TdevPrinterHandle_t* h) {
  return SetSlot<TdevHybridResult>(h, 16, &TdcOnHybridServiceResult);
}
int TdevHybridSetWaitInsertionReply(TdevPrinterHandle_t* h) {
  return SetSlot<TdevHybridWaitInsertionReply>(h, 17, &TdevOnWaitInsertionReply);
}
int TdevHybridSetClearBufferReply(TdevPrinterHandle_t* h) {
  return SetSlot<TdevHybridClearBufferReply>(h, 18, &TdevOnClearBufferReply);
}

// ---- Blocking requests ----------------------------------------------------------------------

int TdevHybridClearBufferSync(TdcBackendEnv_t*, TdevPrinterHandle_t* handle) {
  PrinterRef ref = HybridRef(handle);
  if (ref == nullptr) return TDEV_ERR_PARAM;
  // Without its hook in slot 18 the reply could never end the wait.
  if (const int set = TdevHybridSetClearBufferReply(handle)) return set;
  return TdevHybridClearBufferWait(handle, &SendClearBuffer, nullptr, kClearBufferTimeoutMs);
}

int TdevHybridWaitInsertionSync(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper,
                                int32_t, int32_t timeoutMs) {
  PrinterRef ref = HybridRef(handle);
  if (ref == nullptr) return TDEV_ERR_PARAM;
  if (const int set = TdevHybridSetWaitInsertionReply(handle)) return set;
  InsertionRequest request{paper, timeoutMs};
  return TdevHybridWaitInsertionWait(handle, &SendWaitInsertion, &request,
                                     timeoutMs == kDefault ? kTimeoutDefault : timeoutMs);
}

void TdevFailHybridWaits(TdevConnection_t* connection) {
  if (connection == nullptr) return;
  std::vector<std::shared_ptr<TdevHandleBase_t>> hybrids;
  {
    PlatformLockGuard guard(connection->driverLock);
    try {
      for (const auto& entry : connection->drivers)
        if (entry.type == TDEV_DEVICE_HYBRID_PRINTER) hybrids.push_back(entry.handle);
    } catch (const std::bad_alloc&) {
      // The waits then end at their bound.
    }
  }
  for (const auto& handle : hybrids) {
    auto* printer = static_cast<TdevPrinterHandle_t*>(handle.get());
    TdevOnClearBufferReply(printer, TDEV_ERR_NOT_CONNECTED);
    TdevOnWaitInsertionReply(printer, TDEV_ERR_NOT_CONNECTED, 0);
  }
}

// ---- Operations ---------------------------------------------------------------------------------

int TdevHybridClearBuffer(TdcBackendEnv_t*, TdevPrinterHandle_t* handle) {
  PrinterRef ref = HybridRef(handle);
  if (ref == nullptr) return TDEV_ERR_PARAM;
  TdevConnectionRef connection = ConnectionOf(ref);
  if (connection == nullptr) return TDEV_ERR_FAILURE;
  return TdevSendRequest(connection.get(), [&](int32_t sequence, TdevBuffer_t** out) {
    return TdevMsgClearBuffer(ref->deviceId.c_str(), sequence, out);
  });
}

int TdevHybridWaitInsertion(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper,
                            int32_t waitTimeMs, int32_t timeoutMs, int32_t removal) {
  return WaitInsertion(handle, paper, waitTimeMs, timeoutMs, removal, nullptr);
}

int TdevHybridSendData(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper,
                       int32_t timeoutMs, int32_t fortyColumn, int32_t removal, int32_t force) {
  PrinterRef ref = HybridRef(handle);
  if (ref == nullptr) return TDEV_ERR_PARAM;
  int32_t timeout = 0;
  if (!IsPaper(paper) || !InRange(timeoutMs, kTimeoutMin, kTimeoutMax, kTimeoutDefault, &timeout) ||
      !IsFlag(fortyColumn) || !IsFlag(force)) {
    return TDEV_ERR_PARAM;
  }
  const TdevDocument_t* document = ref->document;
  return CheckedSend(
      handle, ref, kOpPrint,
      [&](uint32_t status) -> int32_t {
        if (removal != 0 && (paper == kReceipt || paper == kValidation)) {
          return TDEV_ERR_PAPER_TYPE;
        }
        if ((status & kWaitingInsertion) != 0) return TDEV_ERR_WAIT_INSERTION;
        if ((status & kWaitingRemoval) != 0) return TDEV_ERR_WAIT_REMOVAL;
        if (paper == kReceipt && PaperPresent(status)) return TDEV_ERR_PAPER_TYPE;
        if ((paper == kSlip || paper == kEndorsement) && (status & kSlipAbsent) != 0) {
          return TDEV_ERR_PAPER_TYPE;
        }
        if (paper == kValidation && (status & kValidationAbsent) != 0) return TDEV_ERR_PAPER_TYPE;
        return TDEV_OK;
      },
      [&](int32_t sequence, TdevBuffer_t** out) {
        // A receipt is a plain print job.
        if (paper == kReceipt) {
          return TdevMsgPrintData(document, sequence, timeout, "", force, 0, out);
        }
        return TdevMsgHybridPrintData(document, ref->deviceId.c_str(), sequence, paper, fortyColumn,
                                      timeout, force, out);
      });
}

int TdevHybridCancelInsertion(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t paper) {
  PrinterRef ref = HybridRef(handle);
  if (ref == nullptr || !IsPaper(paper)) return TDEV_ERR_PARAM;
  // A receipt has no cancel message: the builder refuses it with 1.
  return CheckedSend(handle, ref, kOpCancel, &CancelRefusal,
                     [&](int32_t sequence, TdevBuffer_t** out) {
                       return TdevMsgCancelInsertion(ref->deviceId.c_str(), sequence, paper, out);
                     });
}

int TdevHybridCancelMicr(TdcBackendEnv_t*, TdevPrinterHandle_t* handle) {
  PrinterRef ref = HybridRef(handle);
  if (ref == nullptr) return TDEV_ERR_PARAM;
  return CheckedSend(handle, ref, kOpCancel, &CancelRefusal,
                     [&](int32_t sequence, TdevBuffer_t** out) {
                       return TdevMsgMicrCancel(ref->deviceId.c_str(), sequence, out);
                     });
}

int TdevHybridEjectPaper(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t, int32_t removal) {
  PrinterRef ref = HybridRef(handle);
  if (ref == nullptr) return TDEV_ERR_PARAM;
  return CheckedSend(
      handle, ref, kOpEject,
      [&](uint32_t status) -> int32_t {
        if ((status & kWaitingInsertion) != 0) return TDEV_ERR_WAIT_INSERTION;
        if ((status & kWaitingRemoval) != 0) return TDEV_ERR_WAIT_REMOVAL;
        if (!PaperPresent(status) && removal == 0) return TDEV_ERR_ILLEGAL;  // nothing to eject
        return TDEV_OK;
      },
      [&](int32_t sequence, TdevBuffer_t** out) {
        return TdevMsgEject(ref->deviceId.c_str(), sequence, out);
      });
}

int TdevHybridReadMicrData(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t font,
                           int32_t waitTimeMs, int32_t timeoutMs, int32_t removal) {
  PrinterRef ref = HybridRef(handle);
  if (ref == nullptr) return TDEV_ERR_PARAM;
  int32_t waitTime = 0;
  int32_t timeout = 0;
  if (!IsFlag(font) || !MapWaitTimes(waitTimeMs, timeoutMs, &waitTime, &timeout)) {
    return TDEV_ERR_PARAM;
  }
  return CheckedSend(
      handle, ref, kOpMicrRead, [&](uint32_t status) { return MicrRefusal(status, removal); },
      [&](int32_t sequence, TdevBuffer_t** out) {
        return TdevMsgMicrRead(ref->deviceId.c_str(), sequence, font, timeout, waitTime, out);
      });
}

int TdevHybridCleanMicrReader(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t waitTimeMs,
                              int32_t timeoutMs, int32_t removal) {
  PrinterRef ref = HybridRef(handle);
  if (ref == nullptr) return TDEV_ERR_PARAM;
  int32_t waitTime = 0;
  int32_t timeout = 0;
  if (!MapWaitTimes(waitTimeMs, timeoutMs, &waitTime, &timeout)) return TDEV_ERR_PARAM;
  return CheckedSend(
      handle, ref, kOpMicrCleaning, [&](uint32_t status) { return MicrRefusal(status, removal); },
      [&](int32_t sequence, TdevBuffer_t** out) {
        return TdevMsgMicrCleaning(ref->deviceId.c_str(), sequence, timeout, waitTime, out);
      });
}

int TdevHybridForceCommand(TdcBackendEnv_t* env, TdevPrinterHandle_t* handle, const uint8_t* bytes,
                           int32_t length, int32_t paper, int32_t fortyColumn, int32_t removal,
                           int32_t timeoutMs) {
  PrinterRef ref = HybridRef(handle);
  if (ref == nullptr || bytes == nullptr) return TDEV_ERR_PARAM;
  int32_t timeout = 0;
  if (!InRange(timeoutMs, 0, kTimeoutMax, kCommandTimeoutDefault, &timeout)) return TDEV_ERR_PARAM;
  TdevConnectionRef connection = ConnectionOf(ref);
  TdevDocument_t* document = ref->document;
  if (connection == nullptr || document == nullptr) return TDEV_ERR_FAILURE;
  if (TdevIsConnected(connection.get()) != 1) return TDEV_ERR_NOT_CONNECTED;
  // The bytes travel as the command element of a print job on the paper.
  const int built = TdevXmlCommand(document, bytes, length);
  if (built != TDEV_BUILD_OK) return TdevBuilderResultToResult(built);
  // A printer that cannot take a job at once gets it forced.
  const int32_t force = TdevPrinterIsReady(env, handle) == 1 ? 0 : 1;
  const int result = TdevHybridSendData(env, handle, paper, timeout, fortyColumn, removal, force);
  TdevDocClearBody(document);
  return result;
}

}  // namespace tilo2::core
