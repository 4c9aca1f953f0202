#pragma once
// Image rasteriser: turns a rectangle of a 24-bit image (3 bytes per pixel,
// blue, green, red; rows of width x 3 bytes with no gap) into printer raster
// data: 1-bit rows of (outWidth + 7) / 8 bytes (MSB leftmost, 1 = black) or
// 16-level gray rows of (outWidth + 1) / 2 bytes (left dot in the high nibble).
//
// Shared result codes: 0 done; 1 for a null pixel or output pointer, an out
// length of 0 or less or smaller than outHeight rows, an empty rectangle or
// one that reaches outside the source, or a brightness that is not a positive
// finite number. Nothing is written on 1; otherwise the output is cleared and
// filled. Brightness 1.0 leaves the luma as it is; any other value b maps luma
// to 255 x (luma / 255)^(1/b).
//
// The 1-bit outputs never contain the byte 10h: it is written as 20h, which
// keeps real-time command prefixes out of the raster (it moves one dot).

#include <cstdint>

namespace tilo2::core {

// 8 x 8 ordered dither.
int ImageDitherToRaster(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                        int outHeight, double brightness, uint8_t* out, int outLength);

// Error diffusion (right 5/16, below-left 1/16, below 7/16, below-right 3/16).
// 5 when the error row cannot be allocated.
int ImageDiffuseToRaster(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                         int outHeight, double brightness, uint8_t* out, int outLength);

// Fixed threshold: luma below 128 is black.
int ImageThresholdToRaster(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                           int outHeight, double brightness, uint8_t* out, int outLength);

// 16 gray levels, nibble 0 white and 15 black.
int ImageToGray16(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                  int outHeight, double brightness, uint8_t* out, int outLength);

// The device-service client's converters. Dither and threshold are the same
// as above; diffusion answers 12 instead of 5 when the error row cannot be
// allocated, and the gray bytes are stored inverted (nibble 0 black, 15 white).
int TdevImageDitherToRaster(const uint8_t* pixels, int width, int height, int x, int y,
                            int outWidth, int outHeight, double brightness, uint8_t* out,
                            int outLength);
int TdevImageDiffuseToRaster(const uint8_t* pixels, int width, int height, int x, int y,
                             int outWidth, int outHeight, double brightness, uint8_t* out,
                             int outLength);
int TdevImageThresholdToRaster(const uint8_t* pixels, int width, int height, int x, int y,
                               int outWidth, int outHeight, double brightness, uint8_t* out,
                               int outLength);
int TdevImageToGray16(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                      int outHeight, double brightness, uint8_t* out, int outLength);

// Copies rows rows of newWidth pixels into out: pad white pixels (FFh bytes),
// then newWidth - pad pixels of the source row from pixel x; the source
// advances by srcWidth pixels per row. Lets a raster start at a horizontal
// position that is not a multiple of 8. 0, or 1 for a null pointer, an out
// length of 0 or less or below rows x newWidth x 3, a pad outside 0..newWidth,
// or a copied span reaching past the source row.
int ImageShiftCopy(const uint8_t* src, int srcWidth, int pad, int x, int newWidth, int rows,
                   uint8_t* out, int outLength);

}  // namespace tilo2::core
