#pragma once
// Small writers for command bytes: every multi-byte number in the printer and
// display command sets is little-endian.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tilo2::core {

namespace tilo2_bytes {

inline void Put(std::vector<uint8_t>& out, std::initializer_list<uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

inline void PutLe16(std::vector<uint8_t>& out, unsigned value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

inline void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

inline void PutBytes(std::vector<uint8_t>& out, const uint8_t* data, size_t length) {
  out.insert(out.end(), data, data + length);
}

}  // namespace tilo2_bytes

}  // namespace tilo2::core
