// Display builder lifecycle and checked entry points.
#include "encoding/display/dsp_cmd_handle.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "encoding/alloc_hook.h"
#include "encoding/builder/cmd_codec.h"
#include "encoding/builder/cmd_handle.h"

namespace tilo2::core {

namespace {

constexpr bool In(int v, int lo, int hi) { return v >= lo && v <= hi; }

template <typename Fn, typename... Args>
int Dispatch(DspCmdHandle_t* b, Fn DspOps::*slot, Args... args) {
  if (b->ops == nullptr || b->ops->*slot == nullptr) return 2;
  return (b->ops->*slot)(b, args...);
}

}  // namespace

bool DspCmdValid(const DspCmdHandle_t* builder) { return CmdHandleValid(builder, kDspCmdTag); }

int DspCmdAlloc(const char* modelName, int modelLang, DspCmdHandle_t** out) {
  if (modelName == nullptr || out == nullptr) return 1;
  auto* b = static_cast<DspCmdHandle_t*>(EncodingAlloc(sizeof(DspCmdHandle_t)));
  if (b == nullptr) return 3;
  *b = DspCmdHandle_t{};
  b->size = sizeof(DspCmdHandle_t);
  b->tag = kDspCmdTag;
  std::strncpy(b->modelName, modelName, sizeof b->modelName - 1);
  b->modelLang = modelLang;
  std::memcpy(b->processId, "FFFF", 4);
  b->converter = OpenModelConverter(b->modelName, modelLang);
  *out = b;
  return 0;
}

int DspCmdOpen(const char* modelName, int /*unused*/, DspCmdHandle_t** out) {
  if (modelName == nullptr || out == nullptr) return 1;
  for (const DspModelRow* row = DspModelTable; row->name != nullptr; ++row) {
    if (std::strcmp(row->name, modelName) == 0) return row->create(0, out);
  }
  return 2;
}

int DspCmdClose(DspCmdHandle_t* b) {
  if (!DspCmdValid(b)) return 1;
  CmdBufferFree(&b->cmdBuffer);
  std::free(b->ops);
  b->ops = nullptr;
  if (b->converter >= 0) CmdConverter().close(b->converter);
  b->tag = 0;
  std::free(b);
  return 0;
}

int DspCmdCreateWindow(DspCmdHandle_t* b, int window, int x, int y, int width, int height,
                       int scrollMode) {
  if (!DspCmdValid(b) || !In(window, 1, 4) || !In(x, 1, 20) || !In(y, 1, 2) || !In(width, 1, 20) ||
      !In(height, 1, 2) || !In(scrollMode, 0, 2)) {
    return 1;
  }
  return Dispatch(b, &DspOps::createWindow, window, x, y, width, height, scrollMode);
}

int DspCmdSetCursorPosition(DspCmdHandle_t* b, int x, int y) {
  if (!DspCmdValid(b) || !In(x, 1, 20) || !In(y, 1, 2)) return 1;
  return Dispatch(b, &DspOps::cursorPosition, x, y);
}

int DspCmdSetLanguage(DspCmdHandle_t* b, int language) {
  if (!DspCmdValid(b) || !In(language, 0, 6)) return 1;
  return Dispatch(b, &DspOps::language, language);
}

int DspCmdAddMarquee(DspCmdHandle_t* b, const char* text, int format, int unitWait, int repeatWait,
                     int repeatCount, int language) {
  if (!DspCmdValid(b) || text == nullptr || !In(format, 0, 1) || !In(unitWait, 1, 2000) ||
      !In(repeatWait, 1, 2000) || !In(repeatCount, 0, 127) || !In(language, 0, 6)) {
    return 1;
  }
  return Dispatch(b, &DspOps::marquee, text, format, unitWait, repeatWait, repeatCount, language);
}

int DspCmdAddCommand(DspCmdHandle_t* b, const uint8_t* bytes, uint32_t size) {
  if (!DspCmdValid(b) || bytes == nullptr || size == 0 || size > INT32_MAX) return 1;
  return CmdBufferAppendCopy(&b->cmdBuffer, CmdBufferAppendBody, bytes, int(size));
}

int DspCmdBuild(DspCmdHandle_t* b, CmdData_t** out) {
  if (!DspCmdValid(b) || out == nullptr) return 1;
  if (b->stickyError != 0) return b->stickyError;
  if (b->ops != nullptr) {
    // Begin and end commands are made once and kept across jobs.
    if (b->cmdBuffer.header == nullptr && b->ops->begin != nullptr) {
      if (int rc = b->ops->begin(b, CmdBufferAppendHeader); rc != 0) return rc;
    }
    if (b->cmdBuffer.trailer == nullptr && b->ops->end != nullptr) {
      if (int rc = b->ops->end(b, CmdBufferAppendTrailer); rc != 0) return rc;
    }
  }
  return CmdDataCreate(&b->cmdBuffer, out);
}

int DspCmdClear(DspCmdHandle_t* b) {
  if (!DspCmdValid(b)) return 1;
  CmdBufferClearBody(&b->cmdBuffer);
  b->stickyError = 0;
  return 0;
}

int DspCmdDuplicate(const DspCmdHandle_t* src, DspCmdHandle_t** out) {
  if (!DspCmdValid(src) || out == nullptr) return 1;
  auto* b = static_cast<DspCmdHandle_t*>(EncodingAlloc(sizeof(DspCmdHandle_t)));
  if (b == nullptr) return 3;
  *b = *src;
  b->cmdBuffer = CmdBuffer_t{};
  b->ops = nullptr;
  b->converter = -1;
  bool ok = CmdBufferCopy(&b->cmdBuffer, &src->cmdBuffer) == 0;
  if (ok && src->ops != nullptr) {
    b->ops = static_cast<DspOps*>(EncodingAlloc(sizeof(DspOps)));
    ok = b->ops != nullptr;
    if (ok) *b->ops = *src->ops;
  }
  if (!ok) {
    DspCmdClose(b);
    return 3;
  }
  *out = b;
  return 0;
}

}  // namespace tilo2::core
