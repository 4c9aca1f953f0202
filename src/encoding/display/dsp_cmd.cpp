#include "encoding/display/dsp_cmd.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "encoding/alloc_hook.h"
#include "encoding/builder/cmd_codec.h"
#include "encoding/builder/cmd_emit_vector.h"
#include "encoding/display/dsp_bytes.h"

namespace tilo2::core {

namespace {

using Out = std::vector<uint8_t>;
constexpr int kWindows = 4;

// A command whose byte core cannot fail, through a header, body or trailer append.
template <typename Fill>
int EmitTo(DspCmdHandle_t* builder, CmdAppendFn append, Fill&& fill) {
  if (builder == nullptr || append == nullptr) return 1;
  return CmdEmitAlways(&builder->cmdBuffer, append, fill);
}

template <typename Fill>
int EmitBody(DspCmdHandle_t* builder, Fill&& fill) {
  return EmitTo(builder, CmdBufferAppendBody, fill);
}

bool WindowNumber(int window) { return window >= 1 && window <= kWindows; }

constexpr DspOps kStandardOps = {
    DspGenBegin,         DspGenEnd,          DspGenReset, DspGenCreateWindow,
    DspGenDestroyWindow, DspGenSelectWindow, DspGenClear, DspGenCursorPosition,
    DspGenMoveCursor,    DspGenCursorType,   DspGenText,  DspGenLanguage,
    DspGenReverse,       DspGenMarquee,      DspGenBlink, DspGenBrightness,
    DspGenShowClock,
};

// Shared constructor: refuse the language, allocate, install, drop slots.
int CreateModel(const char* name, int modelLang, bool (*accepts)(int), bool hasCursorType,
                DspCmdHandle_t** out) {
  if (out == nullptr) return 1;
  if (!accepts(modelLang)) return 2;
  DspCmdHandle_t* builder = nullptr;
  if (int rc = DspCmdAlloc(name, modelLang, &builder); rc != 0) return rc;
  if (DspInstallOps(builder) != 0) {
    DspCmdClose(builder);
    return 3;
  }
  if (!hasCursorType) builder->ops->cursorType = nullptr;
  *out = builder;
  return 0;
}

}  // namespace

int DspModelCreate_CD_A1(int modelLang, DspCmdHandle_t** out) {
  return CreateModel(
      "CD-A1", modelLang, [](int lang) { return (lang >= 0 && lang <= 3) || lang == 6; }, true,
      out);
}

int DspModelCreate_CD_A2(int modelLang, DspCmdHandle_t** out) {
  return CreateModel(
      "CD-A2", modelLang, [](int lang) { return lang == 0; }, true, out);
}

int DspModelCreate_CD_A4(int modelLang, DspCmdHandle_t** out) {
  return CreateModel(
      "CD-A4", modelLang, [](int lang) { return lang == 0; }, false, out);
}

int DspInstallOps(DspCmdHandle_t* builder) {
  if (builder == nullptr) return 1;
  // The builder releases its table with free() (see dsp_cmd_handle.h).
  auto* ops = static_cast<DspOps*>(EncodingAlloc(sizeof(DspOps)));
  if (ops == nullptr) return 3;
  *ops = kStandardOps;
  std::free(builder->ops);
  builder->ops = ops;
  return 0;
}

int DspGenBegin(DspCmdHandle_t* builder, CmdAppendFn append) {
  return EmitTo(builder, append, [](Out& out) { DspBeginBytes(out); });
}

int DspGenEnd(DspCmdHandle_t* builder, CmdAppendFn append) {
  return EmitTo(builder, append, [&](Out& out) { DspEndBytes(out, builder->processId); });
}

int DspGenReset(DspCmdHandle_t* builder) {
  if (builder == nullptr) return 1;
  int hour = 0, minute = 0;
  if (DspReadLocalClock(&hour, &minute) != 0) return 3;
  const int rc = EmitBody(builder, [&](Out& out) { DspResetBytes(out, hour, minute); });
  if (rc == 0) std::memset(builder->windows, 0, sizeof builder->windows);
  return rc;
}

int DspGenCreateWindow(DspCmdHandle_t* builder, int window, int x, int y, int width, int height,
                       int scrollMode) {
  if (builder == nullptr || !WindowNumber(window)) return 1;
  // Corners are sent as bytes: first and last column, first and last row.
  if (!CmdFitsByte(x) || !CmdFitsByte(y) || !CmdFitsByte(long{x} + width - 1) ||
      !CmdFitsByte(long{y} + height - 1)) {
    return 1;
  }
  const int rc = EmitBody(builder, [&](Out& out) {
    DspCreateWindowBytes(out, window, x, y, width, height, scrollMode);
  });
  if (rc == 0) builder->windows[window - 1] = DspWindow_t{1, x, y, width, height};
  return rc;
}

int DspGenDestroyWindow(DspCmdHandle_t* builder, int window) {
  if (builder == nullptr || !WindowNumber(window)) return 1;
  const int rc = EmitBody(builder, [&](Out& out) { DspDestroyWindowBytes(out, window); });
  if (rc == 0) builder->windows[window - 1] = DspWindow_t{};
  return rc;
}

int DspGenSelectWindow(DspCmdHandle_t* builder, int window) {
  if (builder == nullptr || window < 0 || window > kWindows) return 1;
  if (window == 0) return EmitBody(builder, [](Out& out) { DspCursorPositionBytes(out, 1, 1); });
  const DspWindow_t& w = builder->windows[window - 1];
  if (!w.active) {
    // Reported when the job is built, so the caller's sequence of calls stays simple.
    builder->stickyError = 4;
    return 0;
  }
  return EmitBody(builder, [&](Out& out) { DspCursorPositionBytes(out, w.x, w.y); });
}

int DspGenClear(DspCmdHandle_t* builder) {
  return EmitBody(builder, [](Out& out) { DspClearBytes(out); });
}

int DspGenCursorPosition(DspCmdHandle_t* builder, int x, int y) {
  if (!CmdFitsByte(x) || !CmdFitsByte(y)) return 1;
  return EmitBody(builder, [&](Out& out) { DspCursorPositionBytes(out, x, y); });
}

int DspGenMoveCursor(DspCmdHandle_t* builder, int position) {
  return EmitBody(builder, [&](Out& out) { DspMoveCursorBytes(out, position); });
}

int DspGenCursorType(DspCmdHandle_t* builder, int type) {
  return EmitBody(builder, [&](Out& out) { DspCursorTypeBytes(out, type); });
}

int DspGenText(DspCmdHandle_t* builder, const char* utf8) {
  if (builder == nullptr || utf8 == nullptr) return 1;
  return CmdAppendText(&builder->cmdBuffer, builder->textLang, builder->converter, utf8);
}

int DspGenLanguage(DspCmdHandle_t* builder, int language) {
  const int rc = EmitBody(builder, [&](Out& out) { DspLanguagePrefix(out, language); });
  if (rc == 0) builder->textLang = language;
  return rc;
}

int DspGenReverse(DspCmdHandle_t* builder, int on) {
  return EmitBody(builder, [&](Out& out) { DspReverseBytes(out, on); });
}

int DspGenMarquee(DspCmdHandle_t* builder, const char* utf8, int format, int unitWait,
                  int repeatWait, int /*repeatCount*/, int language) {
  if (builder == nullptr || utf8 == nullptr) return 1;
  // The text is encoded before anything is appended, so a text the display
  // cannot show leaves the job untouched.
  std::vector<uint8_t> text;
  try {
    if (int rc = DspEncodeText(text, language, builder->converter, utf8, std::strlen(utf8));
        rc != 0) {
      return rc;
    }
  } catch (const std::bad_alloc&) {
    return 3;
  }
  if (int rc = EmitBody(builder, [&](Out& out) { DspMarqueePrefixBytes(out, format); }); rc != 0) {
    return rc;
  }
  if (int rc = EmitBody(builder, [&](Out& out) { DspLanguagePrefix(out, language); }); rc != 0) {
    return rc;
  }
  if (!text.empty()) {
    const int rc = CmdBufferAppendCopy(&builder->cmdBuffer, CmdBufferAppendBody, text.data(),
                                       static_cast<int>(text.size()));
    if (rc != 0) return rc;
  }
  return EmitBody(builder, [&](Out& out) { DspMarqueeSuffixBytes(out, unitWait, repeatWait); });
}

int DspGenBlink(DspCmdHandle_t* builder, int intervalMs) {
  return EmitBody(builder, [&](Out& out) { DspBlinkBytes(out, intervalMs); });
}

int DspGenBrightness(DspCmdHandle_t* builder, int level) {
  return EmitBody(builder, [&](Out& out) { DspBrightnessBytes(out, level); });
}

int DspGenShowClock(DspCmdHandle_t* builder) {
  return EmitBody(builder, [](Out& out) { DspShowClockBytes(out); });
}

}  // namespace tilo2::core
