// The scripted client's line display operations: each records its call and
// answers the scripted code (0 unless scripted; 1 for a null handle); the
// element operations append to the handle's document.

#include "service_fake/fake_internal.h"

namespace tilo2::core {

using fake::Append;
using fake::Begin;
using fake::Call;
using fake::Finish;
using fake::MakeCall;
using fake::Text;

int TdevDisplaySetReceiveCallback(TdevDisplayHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index =
      Begin(MakeCall("TdevDisplaySetReceiveCallback", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevDisplaySendData(TdcBackendEnv_t*, TdevDisplayHandle_t* handle) {
  bool hasScript;
  int code = 0;
  size_t index = Begin(MakeCall("TdevDisplaySendData", handle, {}, {}), &hasScript, &code);
  if (handle == nullptr) return Finish(index, 1);
  return Finish(index, hasScript ? code : 0);
}

int TdevDisplayAddInitialize(TdevDisplayHandle_t* handle) {
  return Append(MakeCall("TdevDisplayAddInitialize", handle, {}, {}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddCreateWindow(TdevDisplayHandle_t* handle, int32_t number, int32_t x, int32_t y,
                               int32_t width, int32_t height, int32_t scrollMode) {
  return Append(
      MakeCall("TdevDisplayAddCreateWindow", handle, {number, x, y, width, height, scrollMode}, {}),
      reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddDestroyWindow(TdevDisplayHandle_t* handle, int32_t number) {
  return Append(MakeCall("TdevDisplayAddDestroyWindow", handle, {number}, {}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddSetCurrentWindow(TdevDisplayHandle_t* handle, int32_t number) {
  return Append(MakeCall("TdevDisplayAddSetCurrentWindow", handle, {number}, {}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddClearCurrentWindow(TdevDisplayHandle_t* handle) {
  return Append(MakeCall("TdevDisplayAddClearCurrentWindow", handle, {}, {}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddSetCursorPosition(TdevDisplayHandle_t* handle, int32_t x, int32_t y) {
  return Append(MakeCall("TdevDisplayAddSetCursorPosition", handle, {x, y}, {}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddMoveCursorPosition(TdevDisplayHandle_t* handle, int32_t target) {
  return Append(MakeCall("TdevDisplayAddMoveCursorPosition", handle, {target}, {}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddSetCursorType(TdevDisplayHandle_t* handle, int32_t type) {
  return Append(MakeCall("TdevDisplayAddSetCursorType", handle, {type}, {}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddText(TdevDisplayHandle_t* handle, const char* text, int32_t x, int32_t y,
                       int32_t lang) {
  return Append(MakeCall("TdevDisplayAddText", handle, {x, y, lang}, {Text(text)}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddReverseText(TdevDisplayHandle_t* handle, const char* text, int32_t x, int32_t y,
                              int32_t lang) {
  return Append(MakeCall("TdevDisplayAddReverseText", handle, {x, y, lang}, {Text(text)}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddMarqueeText(TdevDisplayHandle_t* handle, const char* text, int32_t format,
                              int32_t unitWaitMs, int32_t repeatWaitMs, int32_t repeatCount,
                              int32_t lang) {
  return Append(MakeCall("TdevDisplayAddMarqueeText", handle,
                         {format, unitWaitMs, repeatWaitMs, repeatCount, lang}, {Text(text)}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddSetBlink(TdevDisplayHandle_t* handle, int32_t intervalMs) {
  return Append(MakeCall("TdevDisplayAddSetBlink", handle, {intervalMs}, {}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddSetBrightness(TdevDisplayHandle_t* handle, int32_t level) {
  return Append(MakeCall("TdevDisplayAddSetBrightness", handle, {level}, {}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

int TdevDisplayAddShowClock(TdevDisplayHandle_t* handle) {
  return Append(MakeCall("TdevDisplayAddShowClock", handle, {}, {}),
                reinterpret_cast<TdevPrinterHandle_t*>(handle));
}

}  // namespace tilo2::core
