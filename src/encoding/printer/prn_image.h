#pragma once
// Image table generators: raster and gray raster images, the dot-matrix bit
// images and the stored logos. Slot types of encoding/prn_ops.h.
#include <cstdint>

#include "encoding/printer/prn_ops.h"

namespace tilo2::core {

// (builder, width, height, data, size, color, compress)
int PrnGenRasterImage(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data, int size,
                      int color, int compress);
// Color is ignored: gray images always print in the first color.
int PrnGenGrayImage(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data, int size,
                    int color, int compress);
int PrnGenBitImageSingle(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data,
                         int size, int color, int compress);
int PrnGenBitImageDouble(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data,
                         int size, int color, int compress);
int PrnGenBitImage24(PrnCmdHandle_t* builder, int width, int height, const uint8_t* data, int size,
                     int color, int compress);
// Key codes 32..126 each.
int PrnGenNvLogo(PrnCmdHandle_t* builder, int keyCode1, int keyCode2);
// Logo number 1..255; the second argument is not used.
int PrnGenNvLogoImpact(PrnCmdHandle_t* builder, int logo, int unused);

}  // namespace tilo2::core
