#include "foundation/log_rotate.h"

#include <array>

namespace {

// Built by the compiler: the table is part of the binary, never rebuilt at run time.
constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();
static_assert(kCrcTable[1] == 0x77073096u && kCrcTable[255] == 0x2D02EF8Du);

}  // namespace

uint32_t zip_crc32(uint32_t crc, const void* data, size_t length) {
  if (data == nullptr) return crc;
  const auto* bytes = static_cast<const uint8_t*>(data);
  crc = ~crc;
  for (size_t i = 0; i < length; ++i) crc = kCrcTable[(crc ^ bytes[i]) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}
