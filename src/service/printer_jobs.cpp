// A printer's jobs over the device service: the document sent as one print
// message, the status query with its retries, the readiness test, and the
// immediate operations that go out as one-element jobs. Sends never queue:
// they try the host's send lock and answer 2 when another sender has it.
// Outcomes come later, as service events on the channel's receive thread.

#include <cstdint>
#include <memory>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "service/device_handles.h"
#include "service/device_service.h"
#include "service/host_connection.h"
#include "service/ops_support.h"
#include "service/printer_ops_internal.h"
#include "service/reply_codes.h"
#include "service/request_messages.h"
#include "service/status_monitor.h"

namespace tilo2::core {

namespace {

constexpr const char* kSource = "tilodevice_printer";
constexpr int32_t kDefaultTimeoutMs = 10000;
constexpr int32_t kMaxTimeoutMs = 600000;
constexpr int kStatusAttempts = 3;
// Status bits that keep a printer from taking a job: no response, offline.
constexpr uint32_t kNotReadyBits = 0x1 | 0x8;

// 0..600000 ms as it is, -2 the default; false for anything else.
bool MapTimeout(int32_t timeoutMs, int32_t* out) {
  if (timeoutMs == -2) {
    *out = kDefaultTimeoutMs;
    return true;
  }
  if (timeoutMs < 0 || timeoutMs > kMaxTimeoutMs) return false;
  *out = timeoutMs;
  return true;
}

// The live connection a handle was opened on, or null.
TdevConnectionRef ConnectionOf(TdevHandleBase_t* handle) {
  TdevConnectionRef connection = handle->connectionRef.lock();
  if (connection == nullptr || TdevRefConnection(connection.get()) != connection) return nullptr;
  return connection;
}

// The checks every immediate operation makes after its own arguments.
int BeginImmediate(TdevPrinterHandle_t* handle, int32_t timeoutMs, int32_t* timeout) {
  if (!MapTimeout(timeoutMs, timeout)) return 1;
  TdevConnectionRef connection = ConnectionOf(handle);
  if (connection == nullptr || handle->document == nullptr) return 255;
  if (TdevIsConnected(connection.get()) != 1) return 4;
  return 0;
}

// The frame of every immediate operation once the handle and its own
// arguments passed: the shared checks, the one element appended, then the
// document sent (forced when the printer is not ready, so the service does
// not hold it back) and emptied whatever the outcome.
template <typename Write>
int ForceElement(TdevPrinterHandle_t* handle, int32_t timeoutMs, Write write) {
  int32_t timeout = 0;
  if (const int begun = BeginImmediate(handle, timeoutMs, &timeout)) return begun;
  if (const int appended = TdevFromBuilderResult(write(handle->document))) return appended;
  const bool ready = TdevPrinterIsReady(nullptr, handle) == 1;
  const int sent = TdevPrinterSendData(nullptr, handle, timeout, "", ready ? 0 : 1, 0);
  TdevDocClearBody(handle->document);
  return sent;
}

}  // namespace

// ---- Job path ---------------------------------------------------------------------------------

int TdevPrinterSendData(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t timeoutMs,
                        const char* printJobId, int32_t force, int32_t noBody) {
  const std::shared_ptr<TdevPrinterHandle_t> ref = TdevRefPrinterHandle(handle);
  if (ref == nullptr) return 1;
  int32_t timeout = 0;
  if (!MapTimeout(timeoutMs, &timeout)) return 1;
  if (printJobId == nullptr || handle->document == nullptr) return 1;
  if ((force != 0 && force != 1) || (noBody != 0 && noBody != 1)) return 1;
  const TdevConnectionRef connection = ConnectionOf(handle);
  if (connection == nullptr) return 255;
  // While the link is being re-established the current channel is not yet
  // the service's: a job written there would be lost without a result.
  if (TdevIsConnected(connection.get()) != 1) return 4;

  // The send lock is tried without waiting (2 when busy) and the channel's
  // code translated.
  return TdevSendRequest(connection.get(), [&](int32_t sequence, TdevBuffer_t** message) {
    return TdevMsgPrintData(handle->document, sequence, timeout, printJobId, force, noBody,
                            message);
  });
}

int TdevClearCommandBuffer(TdevPrinterHandle_t* handle) {
  const TdevDocumentRef target = TdevDocumentOf(handle);
  if (target.result != 0) return 1;
  return TdevDocClearBody(target.document) == TDEV_BUILD_OK ? 0 : 12;
}

// ---- Status ------------------------------------------------------------------------------------

int TdevPrinterGetStatus(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, uint32_t* status,
                         int32_t* battery) {
  if (status == nullptr || battery == nullptr) return 1;
  const std::shared_ptr<TdevPrinterHandle_t> ref = TdevRefPrinterHandle(handle);
  if (ref == nullptr) return 1;
  uint32_t word = 0;
  int32_t level = 0;
  {
    // Concurrent queries of one handle run one after the other.
    PlatformLockGuard guard(handle->statusRequestLock);
    if (!guard) return 255;
    for (int attempt = 1; attempt <= kStatusAttempts; ++attempt) {
      uint32_t askedWord = 0;
      int32_t askedLevel = 0;
      int32_t result = 0;
      if (TdevRequestStatus(handle, &askedWord, &askedLevel, &result) != 0) {
        // The query could not start: word 0 tells the caller so.
        word = 0;
        level = 0;
        break;
      }
      word = askedWord;
      level = askedLevel;
      // Only the service's own time-out towards the printer is worth asking again.
      if (result != TDEV_ERR_SERVICE_TIMEOUT) break;
      log_error_line("ERROR", kSource, __LINE__);
    }
  }
  *status = word;
  *battery = level;
  return 0;
}

int TdevPrinterIsReady(TdcBackendEnv_t*, TdevPrinterHandle_t* handle) {
  const std::shared_ptr<TdevPrinterHandle_t> ref = TdevRefPrinterHandle(handle);
  if (ref == nullptr) return 0;
  uint32_t word = 0;
  int32_t level = 0;
  int32_t result = 0;
  {
    PlatformLockGuard guard(handle->statusRequestLock);
    if (!guard) return 0;
    if (TdevRequestStatus(handle, &word, &level, &result) != 0) return 0;
  }
  return word != 0 && (word & kNotReadyBits) == 0 ? 1 : 0;
}

// ---- Immediate operations ----------------------------------------------------------------------

int TdevPrinterForcePulse(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t drawer,
                          int32_t pulseTime, int32_t timeoutMs) {
  const std::shared_ptr<TdevPrinterHandle_t> ref = TdevRefPrinterHandle(handle);
  if (ref == nullptr) return 1;
  int32_t drawerIndex = 0, timeIndex = 0;
  if (!TdevMapPulse(drawer, pulseTime, &drawerIndex, &timeIndex)) return 1;
  return ForceElement(handle, timeoutMs,
                      [&](TdevDocument_t* d) { return TdevXmlPulse(d, drawerIndex, timeIndex); });
}

int TdevPrinterForceStopSound(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t timeoutMs) {
  const std::shared_ptr<TdevPrinterHandle_t> ref = TdevRefPrinterHandle(handle);
  if (ref == nullptr) return 1;
  // Pattern "none", no repeat, no cycle: whatever sounds stops.
  return ForceElement(handle, timeoutMs,
                      [](TdevDocument_t* d) { return TdevXmlSound(d, 0, 0, -1); });
}

int TdevPrinterForceCommand(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, const uint8_t* bytes,
                            int32_t length, int32_t timeoutMs) {
  const std::shared_ptr<TdevPrinterHandle_t> ref = TdevRefPrinterHandle(handle);
  if (ref == nullptr || bytes == nullptr) return 1;
  return ForceElement(handle, timeoutMs,
                      [&](TdevDocument_t* d) { return TdevXmlCommand(d, bytes, length); });
}

int TdevPrinterForceReset(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t timeoutMs) {
  const std::shared_ptr<TdevPrinterHandle_t> ref = TdevRefPrinterHandle(handle);
  if (ref == nullptr) return 1;
  return ForceElement(handle, timeoutMs, &TdevXmlReset);
}

int TdevPrinterForceRecover(TdcBackendEnv_t*, TdevPrinterHandle_t* handle, int32_t timeoutMs) {
  const std::shared_ptr<TdevPrinterHandle_t> ref = TdevRefPrinterHandle(handle);
  if (ref == nullptr) return 1;
  return ForceElement(handle, timeoutMs, &TdevXmlRecovery);
}

}  // namespace tilo2::core
