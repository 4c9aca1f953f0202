// The scripted client's line display operations: each records its call and
// answers the scripted code (0 unless scripted; 1 for a null handle); the
// element operations append to the handle's document. Texts take the
// positions and languages the service takes and answer 1 for others, as the
// real client does. A send keeps a copy of the document it sent.

#include "service_fake/fake_display.h"

#include "device/service_notifiers.h"
#include "service_fake/fake_internal.h"
#include "service_fake/fake_stubs.h"

namespace tilo2::core {

using fake::Append;
using fake::Begin;
using fake::Call;
using fake::Finish;
using fake::MakeCall;
using fake::Text;

namespace {

// The receive notifier's flag in the handle's slots.
constexpr int kReceiveSlot = 0;

// Guarded by the fake's mutex.
std::vector<fake::DisplayJob> gJobs;
struct {
  bool on = false;
  int32_t success = 1;
  int32_t code = 0;
} gAuto;

bool TextAccepted(int32_t x, int32_t y, int32_t lang) {
  const bool xOk = x == -1 || (x >= 1 && x <= 20);
  const bool yOk = y == -1 || y == 1 || y == 2;
  return xOk && yOk && (lang == 0 || lang == 1);
}

// A display handle is the fake's one handle record.
TdevPrinterHandle_t* Record(TdevDisplayHandle_t* handle) {
  return reinterpret_cast<TdevPrinterHandle_t*>(handle);
}

int AppendTo(Call call, TdevDisplayHandle_t* handle) {
  return Append(std::move(call), Record(handle));
}

int AppendText(const char* name, TdevDisplayHandle_t* handle, const char* text, int32_t x,
               int32_t y, int32_t lang) {
  Call call = MakeCall(name, handle, {x, y, lang}, {Text(text)});
  if (handle != nullptr && (text == nullptr || !TextAccepted(x, y, lang))) {
    return fake::Answer(std::move(call), true);
  }
  return AppendTo(std::move(call), handle);
}

void FireResult(const void* handle, const std::string& host, const std::string& deviceId,
                int32_t success, int32_t code, bool wait) {
  fake::RunNotifier(
      [=] {
        TdcOnLineDisplayServiceResult(const_cast<void*>(handle), host.c_str(), deviceId.c_str(),
                                      success, code, 0, 0);
      },
      wait);
}

}  // namespace

int TdevDisplaySetReceiveCallback(TdevDisplayHandle_t* handle) {
  return fake::MarkSlot("TdevDisplaySetReceiveCallback", Record(handle), kReceiveSlot);
}

int TdevDisplaySendData(TdcBackendEnv_t*, TdevDisplayHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevDisplaySendData", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  TdevPrinterHandle_t* h = Record(handle);
  if (!fake::Alive(h)) return Finish(index, 255);
  if (hasScript && code != 0) return Finish(index, code);
  bool notify;
  std::string host, deviceId;
  int32_t success, result;
  {
    std::lock_guard lock(fake::S().mu);
    gJobs.push_back({handle, h->document.elements});
    notify = gAuto.on && h->slots[kReceiveSlot];
    success = gAuto.success;
    result = gAuto.code;
    host = h->connection->host;
    deviceId = h->deviceId;
  }
  const int answer = Finish(index, 0);
  if (notify) FireResult(handle, host, deviceId, success, result, false);
  return answer;
}

int TdevDisplayAddInitialize(TdevDisplayHandle_t* handle) {
  return AppendTo(MakeCall("TdevDisplayAddInitialize", handle, {}, {}), handle);
}

int TdevDisplayAddCreateWindow(TdevDisplayHandle_t* handle, int32_t number, int32_t x, int32_t y,
                               int32_t width, int32_t height, int32_t scrollMode) {
  return Append(
      MakeCall("TdevDisplayAddCreateWindow", handle, {number, x, y, width, height, scrollMode}, {}),
      reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddDestroyWindow(TdevDisplayHandle_t* handle, int32_t number) {
  return AppendTo(MakeCall("TdevDisplayAddDestroyWindow", handle, {number}, {}), handle);
}

int TdevDisplayAddSetCurrentWindow(TdevDisplayHandle_t* handle, int32_t number) {
  return AppendTo(MakeCall("TdevDisplayAddSetCurrentWindow", handle, {number}, {}), handle);
}

int TdevDisplayAddClearCurrentWindow(TdevDisplayHandle_t* handle) {
  return AppendTo(MakeCall("TdevDisplayAddClearCurrentWindow", handle, {}, {}), handle);
}

int TdevDisplayAddSetCursorPosition(TdevDisplayHandle_t* handle, int32_t x, int32_t y) {
  return AppendTo(MakeCall("TdevDisplayAddSetCursorPosition", handle, {x, y}, {}), handle);
}

int TdevDisplayAddMoveCursorPosition(TdevDisplayHandle_t* handle, int32_t target) {
  return AppendTo(MakeCall("TdevDisplayAddMoveCursorPosition", handle, {target}, {}), handle);
}

int TdevDisplayAddSetCursorType(TdevDisplayHandle_t* handle, int32_t type) {
  return AppendTo(MakeCall("TdevDisplayAddSetCursorType", handle, {type}, {}), handle);
}

int TdevDisplayAddText(TdevDisplayHandle_t* handle, const char* text, int32_t x, int32_t y,
                       int32_t lang) {
  return AppendText("TdevDisplayAddText", handle, text, x, y, lang);
}

int TdevDisplayAddReverseText(TdevDisplayHandle_t* handle, const char* text, int32_t x, int32_t y,
                              int32_t lang) {
  return AppendText("TdevDisplayAddReverseText", handle, text, x, y, lang);
}

int TdevDisplayAddMarqueeText(TdevDisplayHandle_t* handle, const char* text, int32_t format,
                              int32_t unitWaitMs, int32_t repeatWaitMs, int32_t repeatCount,
                              int32_t lang) {
  return AppendTo(MakeCall("TdevDisplayAddMarqueeText", handle,
                           {format, unitWaitMs, repeatWaitMs, repeatCount, lang}, {Text(text)}),
                  handle);
}

int TdevDisplayAddSetBlink(TdevDisplayHandle_t* handle, int32_t intervalMs) {
  return AppendTo(MakeCall("TdevDisplayAddSetBlink", handle, {intervalMs}, {}), handle);
}

int TdevDisplayAddSetBrightness(TdevDisplayHandle_t* handle, int32_t level) {
  return AppendTo(MakeCall("TdevDisplayAddSetBrightness", handle, {level}, {}), handle);
}

int TdevDisplayAddShowClock(TdevDisplayHandle_t* handle) {
  return AppendTo(MakeCall("TdevDisplayAddShowClock", handle, {}, {}), handle);
}

}  // namespace tilo2::core

namespace tilo2::fake {

std::vector<DisplayJob> DisplayJobs() {
  std::lock_guard lock(S().mu);
  return gJobs;
}

void ResetDisplay() {
  std::lock_guard lock(S().mu);
  gJobs.clear();
  gAuto.on = false;
  gAuto.success = 1;
  gAuto.code = 0;
}

bool IsDisplayReceiveInstalled(const void* handle) {
  std::lock_guard lock(S().mu);
  TdevPrinterHandle_t* h = FindHandleLocked(handle);
  return h != nullptr && h->slots[kReceiveSlot];
}

bool FireDisplayResult(const void* handle, int32_t success, int32_t code) {
  std::string host, deviceId;
  if (!SlotTarget(handle, kReceiveSlot, &host, &deviceId)) return false;
  FireResult(handle, host, deviceId, success, code, true);
  return true;
}

void SetAutoDisplayResult(bool on, int32_t success, int32_t code) {
  std::lock_guard lock(S().mu);
  gAuto.on = on;
  gAuto.success = success;
  gAuto.code = code;
}

}  // namespace tilo2::fake
