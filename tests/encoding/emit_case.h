#pragma once
// Table-driven golden bytes for the command byte cores.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

struct EmitCase {
  const char* what;
  std::function<void(std::vector<uint8_t>&)> emit;
  std::vector<uint8_t> expect;
};

inline std::vector<uint8_t> Emitted(const std::function<void(std::vector<uint8_t>&)>& emit) {
  std::vector<uint8_t> out;
  emit(out);
  return out;
}

inline void ExpectEmitCases(std::span<const EmitCase> cases) {
  for (const EmitCase& c : cases) EXPECT_EQ(c.expect, Emitted(c.emit)) << c.what;
}
