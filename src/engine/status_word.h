#pragma once
// Pure computations of the 32-bit status word: the fold of four raw status
// bytes, the test for an offline printer with a reason, the four status bytes
// built from real-time replies, and the error bits of the extended status.

#include <cstdint>

namespace tilo2::core {

// Bits 21, 22 and 30 all set mean slip paper empty; otherwise bit 31 is set.
inline constexpr uint32_t kSlipEmptyBits = 0x40600000u;
// Bit 3 with any of bits 5, 6, 8-11, 13, 14, 18.
inline constexpr uint32_t kOfflineReasonBits = 0x46F60u;
inline constexpr uint32_t kHybridSlipPathClear = 0x02000000u;
inline constexpr uint32_t kHybridValidationPathClear = 0x08000000u;
inline constexpr uint32_t kHybridSendErrorSelect = 0x05000000u;
inline constexpr uint32_t kHybridCueingMask = 0x03000000u;

// 0 when the first byte is 0xFF (no status).
uint32_t FoldAsb(const uint8_t bytes[4]);
// On raw bytes: offline (bit 3 of the first byte) and some reason besides.
bool IsOfflineWithReason(const uint8_t raw[4]);

// The four status bytes for the real-time replies rt[0..3] of DLE EOT 1..4.
// queryCount below 4 leaves the paper bits to the held raw status alone;
// a held raw status with first byte 0xFF adds nothing.
void RealtimeStatusBytes(const uint8_t rt[4], int queryCount, const uint8_t heldRaw[4],
                         uint8_t out[4]);

// Bits 10 and 11 of the extended status block's first two bytes, read as a
// little-endian number (the header byte first).
void ExtStatusErrorBits(const uint8_t ext[4], bool* extError10, bool* extError11);

// The status bits an offline response (the "7" "#" block, header first)
// names as the reasons; the battery overheat bit counts only on printers
// that answered a battery query.
uint32_t DecodeOfflineReasons(const uint8_t response[8], bool batteryModel);

}  // namespace tilo2::core
