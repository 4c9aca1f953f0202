// Printer builder lifecycle: allocation, open, close, build, clear, copy.
#include <cstdlib>
#include <cstring>

#include "encoding/alloc_hook.h"
#include "encoding/builder/cmd_codec.h"
#include "encoding/builder/cmd_handle.h"
#include "encoding/printer/prn_cmd.h"
#include "encoding/printer/prn_model.h"

namespace tilo2::core {

namespace {

// Brings one frame part in line with its wanted flag.
int SyncFrame(PrnCmdHandle_t* b, int32_t bytes, int32_t wanted, PrnFrameFn generator,
              CmdAppendFn append, int (*clear)(CmdBuffer_t*)) {
  if (int32_t(bytes != 0) == wanted) return 0;
  if (wanted != 1) return clear(&b->cmdBuffer);
  if (generator == nullptr) return 0;
  // A part made only in half (the trailer's padding without its job id
  // request) would be kept by later builds as if complete: drop it.
  const int rc = generator(b, append);
  if (rc != 0) clear(&b->cmdBuffer);
  return rc;
}

}  // namespace

bool PrnCmdValid(const PrnCmdHandle_t* builder) { return CmdHandleValid(builder, kPrnCmdTag); }

int PrnCmdAlloc(const char* modelName, int modelLang, PrnCmdHandle_t** out) {
  if (modelName == nullptr || out == nullptr) return 1;
  auto* b = static_cast<PrnCmdHandle_t*>(EncodingAlloc(sizeof(PrnCmdHandle_t)));
  if (b == nullptr) return 3;
  *b = PrnCmdHandle_t{};
  b->size = sizeof(PrnCmdHandle_t);
  b->tag = kPrnCmdTag;
  std::strncpy(b->modelName, modelName, sizeof b->modelName - 1);
  b->modelLang = modelLang;
  b->rasterBandLimit = 512;
  b->grayBandLimit = 256;
  b->rasterByteLimit = 4096;
  b->widthScale = 1;
  b->heightScale = 1;
  std::memcpy(b->processId, "FFFF", 4);
  b->color = 1;
  b->colorSent = 1;
  b->converter = OpenModelConverter(b->modelName, modelLang);
  *out = b;
  return 0;
}

int PrnCmdOpen(const char* modelName, int modelLang, PrnCmdHandle_t** out) {
  if (modelName == nullptr || modelLang < 0 || modelLang > 6 || out == nullptr) return 1;
  return PrnModelFind(modelName, modelLang, out);
}

int PrnCmdClose(PrnCmdHandle_t* b) {
  if (!PrnCmdValid(b)) return 1;
  CmdBufferFree(&b->cmdBuffer);
  PrnModelOpsFree(&b->ops);
  PrnReplyRemainderFree(&b->replyRemainder);
  if (b->converter >= 0) CmdConverter().close(b->converter);
  b->tag = 0;
  std::free(b);
  return 0;
}

int PrnCmdBuild(PrnCmdHandle_t* b, CmdData_t** out) {
  if (!PrnCmdValid(b) || out == nullptr) return 1;
  const PrnControlOps* control = b->ops.control;
  if (control != nullptr) {
    // A job whose trailer could not be made would never report its end.
    if (int rc = SyncFrame(b, b->cmdBuffer.headerBytes, b->headerWanted, control->header,
                           CmdBufferAppendHeader, CmdBufferClearHeader);
        rc != 0) {
      return rc;
    }
    if (int rc = SyncFrame(b, b->cmdBuffer.trailerBytes, b->trailerWanted, control->trailer,
                           CmdBufferAppendTrailer, CmdBufferClearTrailer);
        rc != 0) {
      return rc;
    }
  }
  return CmdDataCreate(&b->cmdBuffer, out);
}

int PrnCmdClear(PrnCmdHandle_t* b) {
  if (!PrnCmdValid(b)) return 1;
  CmdBufferClearBody(&b->cmdBuffer);
  b->positionX = 0;
  b->pageMode = 0;
  b->font = 0;
  b->underline = 0;
  b->emphasis = 0;
  b->color = 1;
  b->colorSent = 1;
  return 0;
}

int PrnCmdAddCommand(PrnCmdHandle_t* b, const uint8_t* bytes, uint32_t size) {
  if (!PrnCmdValid(b) || bytes == nullptr || size == 0 || size > INT32_MAX) return 1;
  return CmdBufferAppendCopy(&b->cmdBuffer, CmdBufferAppendBody, bytes, int(size));
}

PrnCmdHandle_t* PrnCmdDuplicate(const PrnCmdHandle_t* src) {
  if (!PrnCmdValid(src)) return nullptr;
  auto* b = static_cast<PrnCmdHandle_t*>(EncodingAlloc(sizeof(PrnCmdHandle_t)));
  if (b == nullptr) return nullptr;
  *b = *src;
  // Nothing is shared with the source: every owned part is copied below.
  b->cmdBuffer = CmdBuffer_t{};
  b->replyRemainder = PrnReplyRemainder_t{};
  b->ops = PrnModelOps_t{};
  b->converter = -1;
  // A copy without its control or reply table would build a job that never
  // reports its end: any part that cannot be copied fails the whole copy.
  const bool ok = CmdBufferCopy(&b->cmdBuffer, &src->cmdBuffer) == 0 &&
                  PrnModelOpsCopy(&b->ops, &src->ops) == 0 &&
                  PrnReplyRemainderCopy(&b->replyRemainder, &src->replyRemainder) == 0;
  if (!ok) {
    PrnCmdClose(b);
    return nullptr;
  }
  return b;
}

}  // namespace tilo2::core
