// The line display's operations over the device service: the elements the
// device layer's replay appends to a display handle's document, the send that
// wraps the document into a display job, and the setter of the job-result
// slot.
//
// The device layer hands values it has already translated, with -2 as its
// "default" marker. Each operation maps them to the element builder's indices
// and checks the display's own ranges, which are narrower than what the
// builders take (a window is at most two lines high, a blink at most 12700 ms),
// so that nothing the display cannot show reaches the service.

#include "device/service_notifiers.h"
#include "foundation/lock_guard.h"
#include "service/device_handles.h"
#include "service/device_service.h"
#include "service/host_connection.h"
#include "service/ops_support.h"
#include "service/printer_ops_internal.h"
#include "service/reply_codes.h"
#include "service/request_messages.h"

namespace tilo2::core {

namespace {

constexpr int32_t kDefault = -2;  // the device layer's default marker
constexpr int32_t kLeftOut = -1;  // an optional position or language left out
constexpr int32_t kLangOmit = 6;  // the builder's index of "no lang attribute"
constexpr int32_t kSendTimeoutMs = 15000;

// A mapping row {value received, builder index}.
struct Row {
  int32_t value;
  int32_t index;
};

template <size_t N>
bool Map(const Row (&rows)[N], int32_t value, int32_t* index) {
  for (const Row& row : rows) {
    if (row.value == value) {
      *index = row.index;
      return true;
    }
  }
  return false;
}

constexpr Row kScrollMode[] = {{0, 0}, {1, 1}, {2, 2}};
constexpr Row kMoveTarget[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {kDefault, 0}};
constexpr Row kCursorType[] = {{0, 0}, {1, 1}, {kDefault, 0}};
constexpr Row kLanguage[] = {{0, 0}, {1, 1}, {kDefault, 0}, {kLeftOut, kLangOmit}};
constexpr Row kMarqueeFormat[] = {{0, 0}, {1, 1}};
constexpr Row kBrightness[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {kDefault, 3}};

bool In(int32_t value, int32_t low, int32_t high) { return value >= low && value <= high; }

// Runs one element builder on the handle's document once the handle and the
// arguments passed: argumentsOk false gives 1 with the document untouched.
template <class Build>
int AddElement(TdevDisplayHandle_t* handle, bool argumentsOk, Build build) {
  // The reference keeps the handle, and with it the document, alive while
  // the element is appended, even when a lost link destroys the handle.
  const TdevDocumentRef target = TdevDocumentOf(handle);
  if (target.result != 0) return target.result;
  // Another kind's document takes no display element, not even the reset
  // both kinds know: the answer is the builder's "unsupported kind".
  if (target.document->kind != TDEV_DOC_DISPLAY) {
    return TdevFromBuilderResult(TDEV_BUILD_UNSUPPORTED);
  }
  if (!argumentsOk) return 1;
  return TdevFromBuilderResult(build(target.document));
}

int AddText(TdevDisplayHandle_t* handle, const char* text, int32_t x, int32_t y, int32_t lang,
            int32_t reverse) {
  int32_t langIndex = 0;
  const bool ok = text != nullptr && (x == kLeftOut || In(x, 1, 20)) &&
                  (y == kLeftOut || In(y, 1, 2)) && Map(kLanguage, lang, &langIndex);
  return AddElement(handle, ok, [&](TdevDocument_t* d) {
    return TdevXmlDisplayText(d, text, x, y, langIndex, reverse);
  });
}

}  // namespace

int TdevDisplaySetReceiveCallback(TdevDisplayHandle_t* handle) {
  // Only a display handle has this slot.
  return TdevInstallNotifier(handle, TDEV_DEVICE_DISPLAY, &TdevDisplayHandle_t::jobResult,
                             &TdcOnLineDisplayServiceResult);
}

int TdevDisplaySendData(TdcBackendEnv_t*, TdevDisplayHandle_t* handle) {
  auto display = TdevRefKind<TdevDisplayHandle_t>(handle, TDEV_DEVICE_DISPLAY);
  // Another kind's document must never go out as a display job.
  if (display == nullptr) return 1;
  const TdevDocument_t* document = display->document;
  TdevConnectionRef connection = display->connectionRef.lock();
  if (document == nullptr || connection == nullptr) return 255;
  // The send lock is only tried: a busy host answers 2 at once.
  return TdevSendRequest(connection.get(), [&](int32_t sequence, TdevBuffer_t** message) {
    return TdevMsgPrintData(document, sequence, kSendTimeoutMs, "", 0, 0, message);
  });
}

int TdevDisplayAddInitialize(TdevDisplayHandle_t* handle) {
  return AddElement(handle, true, [](TdevDocument_t* d) { return TdevXmlReset(d); });
}

int TdevDisplayAddCreateWindow(TdevDisplayHandle_t* handle, int32_t number, int32_t x, int32_t y,
                               int32_t width, int32_t height, int32_t scrollMode) {
  int32_t scroll = 0;
  const bool ok = Map(kScrollMode, scrollMode, &scroll) && In(number, 1, 4) && In(x, 1, 20) &&
                  In(y, 1, 2) && In(width, 1, 20) && In(height, 1, 2);
  return AddElement(handle, ok, [&](TdevDocument_t* d) {
    return TdevXmlWindow(d, number, x, y, width, height, scroll);
  });
}

int TdevDisplayAddDestroyWindow(TdevDisplayHandle_t* handle, int32_t number) {
  return AddElement(handle, In(number, 1, 4),
                    [&](TdevDocument_t* d) { return TdevXmlWindowDestroy(d, number); });
}

int TdevDisplayAddSetCurrentWindow(TdevDisplayHandle_t* handle, int32_t number) {
  return AddElement(handle, In(number, 1, 4),
                    [&](TdevDocument_t* d) { return TdevXmlWindowSelect(d, number); });
}

int TdevDisplayAddClearCurrentWindow(TdevDisplayHandle_t* handle) {
  return AddElement(handle, true, [](TdevDocument_t* d) { return TdevXmlClear(d); });
}

int TdevDisplayAddSetCursorPosition(TdevDisplayHandle_t* handle, int32_t x, int32_t y) {
  return AddElement(handle, In(x, 1, 20) && In(y, 1, 2),
                    [&](TdevDocument_t* d) { return TdevXmlCursor(d, x, y); });
}

int TdevDisplayAddMoveCursorPosition(TdevDisplayHandle_t* handle, int32_t target) {
  int32_t moveTo = 0;
  const bool ok = Map(kMoveTarget, target, &moveTo);
  return AddElement(handle, ok, [&](TdevDocument_t* d) { return TdevXmlCursorMoveTo(d, moveTo); });
}

int TdevDisplayAddSetCursorType(TdevDisplayHandle_t* handle, int32_t type) {
  int32_t index = 0;
  const bool ok = Map(kCursorType, type, &index);
  return AddElement(handle, ok, [&](TdevDocument_t* d) { return TdevXmlCursorType(d, index); });
}

int TdevDisplayAddText(TdevDisplayHandle_t* handle, const char* text, int32_t x, int32_t y,
                       int32_t lang) {
  return AddText(handle, text, x, y, lang, 0);
}

int TdevDisplayAddReverseText(TdevDisplayHandle_t* handle, const char* text, int32_t x, int32_t y,
                              int32_t lang) {
  return AddText(handle, text, x, y, lang, 1);
}

int TdevDisplayAddMarqueeText(TdevDisplayHandle_t* handle, const char* text, int32_t format,
                              int32_t unitWaitMs, int32_t repeatWaitMs, int32_t repeatCount,
                              int32_t lang) {
  int32_t formatIndex = 0;
  int32_t langIndex = 0;
  // A marquee always names its language: "left out" is no choice here.
  const bool ok = text != nullptr && Map(kMarqueeFormat, format, &formatIndex) &&
                  In(unitWaitMs, 0, 2000) && In(repeatWaitMs, 100, 2000) &&
                  In(repeatCount, 0, 127) && lang != kLeftOut && Map(kLanguage, lang, &langIndex);
  return AddElement(handle, ok, [&](TdevDocument_t* d) {
    return TdevXmlMarquee(d, text, unitWaitMs, repeatWaitMs, repeatCount, formatIndex, langIndex);
  });
}

int TdevDisplayAddSetBlink(TdevDisplayHandle_t* handle, int32_t intervalMs) {
  const int32_t interval = intervalMs == kDefault ? 0 : intervalMs;
  return AddElement(handle, In(interval, 0, 12700),
                    [&](TdevDocument_t* d) { return TdevXmlBlink(d, interval); });
}

int TdevDisplayAddSetBrightness(TdevDisplayHandle_t* handle, int32_t level) {
  int32_t index = 0;
  const bool ok = Map(kBrightness, level, &index);
  return AddElement(handle, ok, [&](TdevDocument_t* d) { return TdevXmlBrightness(d, index); });
}

int TdevDisplayAddShowClock(TdevDisplayHandle_t* handle) {
  return AddElement(handle, true, [](TdevDocument_t* d) { return TdevXmlClock(d); });
}

}  // namespace tilo2::core
