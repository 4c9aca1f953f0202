#include "engine/status_word.h"

namespace tilo2::core {

uint32_t FoldAsb(const uint8_t bytes[4]) {
  if (bytes[0] == 0xFF) return 0;
  uint32_t word = (uint32_t{bytes[3]} & 0x4F) << 24 | (uint32_t{bytes[2]} & 0x6F) << 16 |
                  (uint32_t{bytes[1]} & 0x6F) << 8 | (uint32_t{bytes[0]} & 0x6F);
  if ((word & kSlipEmptyBits) != kSlipEmptyBits) word |= 0x80000000u;
  return word;
}

bool IsOfflineWithReason(const uint8_t raw[4]) {
  if ((raw[0] & 0x08) == 0) return false;
  return (raw[0] & 0x60) != 0 || (raw[1] & 0x6F) != 0 || (raw[2] & 0x04) != 0;
}

void RealtimeStatusBytes(const uint8_t rt[4], int queryCount, const uint8_t heldRaw[4],
                         uint8_t out[4]) {
  out[0] = static_cast<uint8_t>((((rt[1] & 0x0C) | 0x02) << 3) | (rt[0] & 0x0C));
  out[1] = static_cast<uint8_t>((rt[2] & 0x6C) | ((rt[0] >> 5) & 0x02));
  uint8_t third = 0;
  if (queryCount >= 4) {
    // DLE EOT 4 knows the roll paper; the held status knows what it cannot:
    // the hybrid insertion and removal waits.
    if ((rt[3] & 0x0C) != 0) third |= 0x01;
    if ((rt[3] & 0x60) != 0) third |= 0x04;
  }
  if (heldRaw[0] != 0xFF) third |= heldRaw[2] & 0x0A;
  out[2] = third;
  out[3] = 0x0F;
}

void ExtStatusErrorBits(const uint8_t ext[4], bool* extError10, bool* extError11) {
  const uint32_t word = uint32_t{ext[0]} | uint32_t{ext[1]} << 8;
  if (extError10 != nullptr) *extError10 = (word & 0x400) != 0;
  if (extError11 != nullptr) *extError11 = (word & 0x800) != 0;
}

uint32_t DecodeOfflineReasons(const uint8_t response[8], bool batteryModel) {
  const uint8_t reasons = response[6];
  uint32_t bits = 0;
  if ((reasons & 0x01) != 0) bits |= 0x20u;                        // cover open
  if ((reasons & 0x02) != 0) bits |= 0x10000000u;                  // head overheat
  if ((reasons & 0x04) != 0) bits |= 0x20000000u;                  // motor overheat
  if ((reasons & 0x08) != 0 && batteryModel) bits |= 0x40000000u;  // battery overheat
  if ((reasons & 0x10) != 0) bits |= 0x1000u;                      // wrong paper
  return bits;
}

}  // namespace tilo2::core
