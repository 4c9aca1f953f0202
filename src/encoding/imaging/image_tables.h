#pragma once
// Fixed tables of the rasteriser, shared and immutable. They are the tables
// the printers' image pipeline is tuned to, so they are kept value for value
// rather than regenerated (the gray matrix is not a plain Bayer matrix).

#include <cstdint>

namespace tilo2::core {

// Luma weights 0.299, 0.587, 0.114 in units of 2^-20 (they add up to 2^20).
inline constexpr uint32_t kLumaR = 313430;
inline constexpr uint32_t kLumaG = 615105;
inline constexpr uint32_t kLumaB = 120041;
inline constexpr uint32_t kLumaRound = 524288;
inline constexpr int kLumaShift = 20;

// Ordered dither thresholds, [row mod 8][column mod 8]; a dot is black below.
inline constexpr uint8_t kDitherMatrix[8][8] = {
    {2, 130, 34, 162, 10, 138, 42, 170},  {194, 66, 226, 98, 202, 74, 234, 106},
    {50, 178, 18, 146, 58, 186, 26, 154}, {242, 114, 210, 82, 250, 122, 218, 90},
    {14, 142, 46, 174, 6, 134, 38, 166},  {206, 78, 238, 110, 198, 70, 230, 102},
    {62, 190, 30, 158, 54, 182, 22, 150}, {254, 126, 222, 94, 246, 118, 214, 86},
};

// Gray rounding thresholds, [row mod 4][column mod 4].
inline constexpr uint8_t kGrayMatrix[4][4] = {
    {0, 9, 2, 11},
    {13, 4, 15, 6},
    {3, 12, 1, 10},
    {16, 7, 14, 5},
};

// Gray tone curve: luma to lightness 0..255.
inline constexpr uint8_t kGrayTone[256] = {
    0,   7,   13,  19,  23,  27,  31,  35,  40,  44,  49,  52,  54,  55,  57,  59,  61,  62,  64,
    66,  67,  69,  70,  70,  71,  72,  73,  74,  75,  76,  77,  78,  79,  80,  81,  82,  83,  83,
    84,  85,  86,  86,  87,  88,  88,  89,  90,  90,  91,  91,  92,  93,  93,  94,  94,  95,  96,
    96,  97,  98,  98,  99,  99,  100, 101, 101, 102, 102, 103, 103, 104, 104, 105, 105, 106, 106,
    107, 107, 108, 108, 109, 109, 110, 110, 111, 111, 112, 112, 112, 113, 113, 114, 114, 115, 115,
    116, 116, 117, 117, 118, 118, 119, 119, 120, 120, 120, 121, 121, 122, 122, 123, 123, 123, 124,
    124, 125, 125, 125, 126, 126, 127, 127, 127, 128, 128, 129, 129, 130, 130, 130, 131, 131, 132,
    132, 132, 133, 133, 134, 134, 135, 135, 135, 136, 136, 137, 137, 137, 138, 138, 139, 139, 139,
    140, 140, 141, 141, 141, 142, 142, 143, 143, 143, 144, 144, 145, 145, 146, 146, 146, 147, 147,
    148, 148, 148, 149, 149, 150, 150, 150, 151, 151, 152, 152, 152, 153, 153, 154, 154, 155, 155,
    155, 156, 156, 157, 157, 158, 158, 159, 159, 160, 160, 161, 161, 161, 162, 162, 163, 163, 164,
    164, 165, 165, 166, 166, 166, 167, 167, 168, 168, 169, 169, 170, 170, 171, 171, 172, 173, 173,
    174, 175, 175, 176, 177, 178, 178, 179, 180, 180, 181, 182, 182, 183, 184, 184, 185, 186, 186,
    187, 189, 191, 193, 195, 198, 200, 202, 255,
};

}  // namespace tilo2::core
