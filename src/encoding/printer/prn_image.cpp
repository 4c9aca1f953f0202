#include "encoding/printer/prn_image.h"

#include "encoding/printer/prn_emit.h"
#include "encoding/printer/prn_image_bytes.h"

namespace tilo2::core {

namespace {

PrnImageLimits_t Limits(const PrnCmdHandle_t* b) {
  return PrnImageLimits_t{b->positionX, b->pageMode, b->rasterBandLimit, b->grayBandLimit,
                          b->rasterByteLimit};
}

size_t DataSize(int size) { return size > 0 ? static_cast<size_t>(size) : 0; }

int BitImage(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data, int size,
             int color, int compress, int density) {
  if (builder == nullptr) return 1;
  bool appended = false;
  const int rc = PrnEmitFilled(builder, [&](std::vector<uint8_t>& out) {
    const int r = PrnBitImageBytes(out, width, height, data, DataSize(size), compress, density,
                                   color != builder->colorSent, color);
    appended = !out.empty();
    return r;
  });
  if (rc == 0 && appended) builder->colorSent = color;
  return rc;
}

}  // namespace

int PrnGenRasterImage(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data, int size,
                      int color, int compress) {
  if (builder == nullptr) return 1;
  return PrnEmitFilled(builder, [&](std::vector<uint8_t>& out) {
    return PrnRasterImageBytes(out, Limits(builder), width, height, data, DataSize(size), color,
                               compress, PrnDefaultDeflate());
  });
}

int PrnGenGrayImage(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data, int size,
                    int /*color*/, int compress) {
  if (builder == nullptr) return 1;
  return PrnEmitFilled(builder, [&](std::vector<uint8_t>& out) {
    return PrnGrayImageBytes(out, Limits(builder), width, height, data, DataSize(size), compress,
                             PrnDefaultDeflate());
  });
}

int PrnGenBitImageSingle(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data,
                         int size, int color, int compress) {
  return BitImage(builder, width, height, data, size, color, compress, 0);
}

int PrnGenBitImageDouble(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data,
                         int size, int color, int compress) {
  return BitImage(builder, width, height, data, size, color, compress, 1);
}

int PrnGenBitImage24(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data, int size,
                     int /*color*/, int compress) {
  return PrnEmitFilled(builder, [&](std::vector<uint8_t>& out) {
    return PrnBitImage24Bytes(out, width, height, data, DataSize(size), compress);
  });
}

int PrnGenNvLogo(PrnCmdHandle_t* builder, int keyCode1, int keyCode2) {
  return PrnEmitFilled(
      builder, [&](std::vector<uint8_t>& out) { return PrnNvLogoBytes(out, keyCode1, keyCode2); });
}

int PrnGenNvLogoImpact(PrnCmdHandle_t* builder, int logo, int /*unused*/) {
  if (builder == nullptr) return 1;
  const int rc = PrnEmitFilled(builder, [&](std::vector<uint8_t>& out) {
    return PrnNvLogoImpactBytes(out, builder->color != builder->colorSent, builder->color, logo);
  });
  if (rc == 0) builder->colorSent = builder->color;
  return rc;
}

}  // namespace tilo2::core
