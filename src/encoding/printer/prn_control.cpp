#include "encoding/printer/prn_control.h"

#include <array>
#include <cstring>

#include "encoding/printer/prn_emit.h"

namespace tilo2::core {

namespace {

constexpr uint8_t kEsc = 0x1B, kGs = 0x1D;

// ESC = 1, ESC @, GS a FFh: select the printer, initialise, enable status back.
constexpr uint8_t kInit[] = {kEsc, 0x3D, 0x01, kEsc, 0x40, kGs, 0x61, 0xFF};

struct Bytes {
  std::array<uint8_t, 32> b{};
  int n = 0;
  Bytes& Add(std::initializer_list<uint8_t> v) {
    for (uint8_t x : v) b[size_t(n++)] = x;
    return *this;
  }
  Bytes& Add(const uint8_t* p, int len) {
    std::memcpy(b.data() + n, p, size_t(len));
    n += len;
    return *this;
  }
};

// GS P x y with the densities as one byte each.
Bytes& AddMotionUnits(Bytes& out, const PrnCmdHandle_t* builder) {
  return out.Add({kGs, 0x50, uint8_t(builder->dotDensityX), uint8_t(builder->dotDensityY)});
}

Bytes SlipHeader(const PrnCmdHandle_t* builder) {
  Bytes h;
  h.Add({kEsc, 0x3D, 0x01, kGs, 0x61, 0xFF, kEsc, 0x54, 0x00});
  return AddMotionUnits(h, builder);
}

int Emit(PrnCmdHandle_t* builder, CmdAppendFn append, const Bytes& bytes) {
  return PrnEmitFrame(builder, append, bytes.b.data(), bytes.n);
}

}  // namespace

int PrnGenHeaderCommon(PrnCmdHandle_t* builder, CmdAppendFn append, int withPageDirection,
                       int withMotionUnits) {
  if (builder == nullptr || append == nullptr) return 1;
  Bytes h;
  h.Add(kInit, sizeof kInit);
  if (withPageDirection == 1) h.Add({kEsc, 0x54, 0x00});
  if (withMotionUnits == 1) AddMotionUnits(h, builder);
  return Emit(builder, append, h);
}

int PrnGenHeader(PrnCmdHandle_t* builder, CmdAppendFn append) {
  return PrnGenHeaderCommon(builder, append, 1, 1);
}

int PrnGenHeaderNoMotion(PrnCmdHandle_t* builder, CmdAppendFn append) {
  return PrnGenHeaderCommon(builder, append, 1, 0);
}

int PrnGenHeaderImpact(PrnCmdHandle_t* builder, CmdAppendFn append) {
  return PrnGenHeaderCommon(builder, append, 0, 0);
}

int PrnGenHeaderReceipt(PrnCmdHandle_t* builder, CmdAppendFn append) {
  if (builder == nullptr || append == nullptr) return 1;
  Bytes h;
  h.Add(kInit, sizeof kInit);
  h.Add({0x1C, 0x28, 0x65, 0x02, 0x00, 0x33, 0xFF, kEsc, 0x54, 0x00});
  AddMotionUnits(h, builder);
  h.Add({kEsc, 0x63, 0x31, 0x03});
  return Emit(builder, append, h);
}

int PrnGenHeaderSlip(PrnCmdHandle_t* builder, CmdAppendFn append) {
  if (builder == nullptr || append == nullptr) return 1;
  return Emit(builder, append, SlipHeader(builder));
}

int PrnGenHeaderEndorse(PrnCmdHandle_t* builder, CmdAppendFn append) {
  if (builder == nullptr || append == nullptr) return 1;
  Bytes h = SlipHeader(builder);
  h.Add({kGs, 0x28, 0x7A, 0x02, 0x00, 0x30, uint8_t(builder->endorse40Column != 0 ? 0x31 : 0x30)});
  return Emit(builder, append, h);
}

int PrnGenClearBuffer(PrnCmdHandle_t* builder) {
  return PrnEmitBody(builder, {0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08});
}

int PrnGenTrailer(PrnCmdHandle_t* builder, CmdAppendFn append) {
  if (builder == nullptr || append == nullptr) return 1;
  static constexpr uint8_t kPad[128] = {};
  if (int rc = PrnEmitFrame(builder, append, kPad, sizeof kPad); rc != 0) return rc;
  // GS ( H 06 00 30 30 and the four characters of the job id.
  Bytes request;
  request.Add({kGs, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30});
  request.Add(reinterpret_cast<const uint8_t*>(builder->processId), 4);
  return Emit(builder, append, request);
}

int PrnGenTrailerImpact(PrnCmdHandle_t* builder, CmdAppendFn append) {
  if (builder == nullptr || append == nullptr) return 1;
  const uint8_t bytes[] = {kGs, 0x72, 0x01};
  return PrnEmitFrame(builder, append, bytes, sizeof bytes);
}

int PrnGenAlign(PrnCmdHandle_t* builder, int alignment) {
  const uint8_t n = (alignment == 1 || alignment == 2) ? uint8_t(alignment) : 0;
  return PrnEmitBody(builder, {kEsc, 0x61, n});
}

int PrnGenRotate(PrnCmdHandle_t* builder, int on) {
  return PrnEmitBody(builder, {kEsc, 0x7B, uint8_t(on == 1 ? 1 : 0)});
}

int PrnGenFeedUnit(PrnCmdHandle_t* builder, int dots) {
  if (!CmdFitsByte(dots)) return 1;
  return PrnEmitBody(builder, {kEsc, 0x4A, uint8_t(dots)});
}

int PrnGenFeedLine(PrnCmdHandle_t* builder, int lines) {
  if (!CmdFitsByte(lines)) return 1;
  return PrnEmitBody(builder, {kEsc, 0x64, uint8_t(lines)});
}

int PrnGenCut(PrnCmdHandle_t* builder, int type) {
  if (type == 0) return PrnEmitBody(builder, {kGs, 0x56, 0x01});
  if (type == 2) return PrnEmitBody(builder, {kGs, 0x56, 0x62, 0x00});
  return PrnEmitBody(builder, {kGs, 0x56, 0x42, 0x00});
}

}  // namespace tilo2::core
