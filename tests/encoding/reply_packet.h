#pragma once
// A packet as the reply tests record it from the splitter's handler.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace reply_test {

using Bytes = std::vector<uint8_t>;

struct Packet {
  int kind;
  Bytes bytes;
  bool operator==(const Packet&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Packet& p) {
  os << "{kind " << p.kind << ":";
  for (uint8_t b : p.bytes) os << ' ' << std::hex << int(b) << std::dec;
  return os << '}';
}

inline Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace reply_test
