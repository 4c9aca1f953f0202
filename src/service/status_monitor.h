#pragma once
// Status of a printer or hybrid printer behind a device service, which the
// service gives only when asked: once on demand (TdevRequestStatus) and
// periodically while monitoring runs (TdevStartMonitor / TdevStopMonitor in
// device_service.h). Each ask is one HTTP request carrying an empty print
// document in a SOAP envelope; the reply's "response" element carries the
// status word and the battery. The monitor compares each new word with the
// previous one and calls the handle's status slots for every change; a
// printer that cannot be asked (link lost, request failed, no usable reply)
// is reported as not answering (bit 0x1: PowerOff).

#include <cstdint>
#include <string>

#include "foundation/platform.h"
#include "service/device_handles.h"

namespace tilo2::core {

inline constexpr const char* kTdevStatusPath = "/cgi-bin/tilo/service.cgi";
inline constexpr int32_t kTdevStatusTimeoutMs = 10000;
// How long TdevRequestStatus waits beyond its request timeout.
inline constexpr int32_t kTdevStatusWaitSlackMs = 2000;
// Only these bits of the status word count as a change.
inline constexpr uint32_t kTdevStatusMask = 0x516F6F6D;
inline constexpr uint32_t kTdevStatusNoResponse = 0x1;

// One running TdevRequestStatus: held by the caller and by the request's
// reply callback, so either may be the last to let go.
struct TdevStatusQuery_t {
  uint32_t status = kTdevStatusNoResponse;  // until a usable answer came
  int32_t battery = 0;
  int32_t result = 0;  // TdevResult of the reply's code
  bool done = false;
  PlatformMutex_t lock{};
  PlatformCond_t event = nullptr;
  TdevStatusQuery_t();
  ~TdevStatusQuery_t();
  TdevStatusQuery_t(const TdevStatusQuery_t&) = delete;
  TdevStatusQuery_t& operator=(const TdevStatusQuery_t&) = delete;
};

// The SOAP body of every status request (no white space between elements).
std::string TdevStatusRequestBody();

// The word as it is stored: bit 0x10000000 is added unless all three bits of
// 0x40600000 are set.
uint32_t TdevAdjustStatus(uint32_t status);

// One status request for the handle, waiting at most its timeout plus 2000 ms.
// 0: *status, *battery and *result written: status 1 and battery 0 whenever no
// usable answer came (*result then stays as the caller set it). 1 a null
// argument or an unknown handle (nothing written); 4 the handle has no
// connection, host or device id, 12 no memory (status 1 and battery 0 written).
int TdevRequestStatus(TdevPrinterHandle_t* handle, uint32_t* status, int32_t* battery,
                      int32_t* result);

// Calls the status slots for a change from oldStatus to newStatus (printer
// slot 0 first; then PowerOff alone, or the changed groups in their order).
void TdevNotifyStatusChange(TdevPrinterHandle_t* handle, uint32_t oldStatus, uint32_t newStatus);

}  // namespace tilo2::core
