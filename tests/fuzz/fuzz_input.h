#pragma once
// Reads a fuzz input from the front: fixed-size fields first, the rest as
// payload. Past the end every field reads as 0, so a short input is still a
// complete, valid call sequence and seeds can be written by hand.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t remaining() const { return size_ - pos_; }
  bool empty() const { return pos_ >= size_; }

  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t U16() {
    const uint16_t lo = U8();
    return static_cast<uint16_t>(lo | (U8() << 8));
  }
  uint32_t U32() {
    const uint32_t lo = U16();
    return lo | (uint32_t{U16()} << 16);
  }
  // A value in [lo, hi] taken from one byte (hi - lo below 256) or two.
  int Range(int lo, int hi) {
    const uint32_t span = static_cast<uint32_t>(hi - lo) + 1;
    const uint32_t raw = span <= 256 ? U8() : U16();
    return lo + static_cast<int>(raw % span);
  }
  // An int argument that is mostly plausible but often out of range: small
  // values, edges around 0 and 255/256/65535, negatives and extremes.
  int Arg() {
    switch (U8() & 7) {
      case 0:
        return U8();
      case 1:
        return -static_cast<int>(U8());
      case 2:
        return static_cast<int>(U16());
      case 3:
        return 65536 + U8();
      case 4:
        return static_cast<int>(U32());
      case 5: {
        static const int kEdges[] = {0,     1,     2,     3,   4,     5,      7,         8,
                                     13,    17,    18,    255, 256,   1000,   1001,      9999,
                                     10000, 10001, 65535, -1,  -9999, -10000, INT32_MIN, INT32_MAX};
        return kEdges[U8() % (sizeof kEdges / sizeof kEdges[0])];
      }
      default:
        return U8() % 8;
    }
  }
  // Up to maxLength payload bytes, the length taken from the input.
  std::vector<uint8_t> Bytes(size_t maxLength) {
    size_t n = U16();
    if (maxLength != 0) n %= maxLength + 1;
    if (n > remaining()) n = remaining();
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }
  // Everything not read yet.
  std::vector<uint8_t> Rest() {
    std::vector<uint8_t> out(data_ + pos_, data_ + size_);
    pos_ = size_;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Small deterministic generator for choices that must follow from the input
// (chunk boundaries) without consuming it.
class FuzzRng {
 public:
  explicit FuzzRng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<uint32_t>(state_ >> 11);
  }

 private:
  uint64_t state_;
};

inline uint64_t FuzzHash(const uint8_t* data, size_t size) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
  return h;
}

// An oracle failed: say which, then abort so libFuzzer keeps the input.
[[noreturn]] inline void FuzzFail(const char* what) {
  std::fprintf(stderr, "oracle failed: %s\n", what);
  std::abort();
}

#define FUZZ_CHECK(cond)                          \
  do {                                            \
    if (!(cond)) FuzzFail(#cond " at " __FILE__); \
  } while (0)
