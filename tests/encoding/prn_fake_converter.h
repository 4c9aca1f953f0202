#pragma once
// A scripted code-page converter for the text tests: it answers ESC t 0 and
// the text's bytes, refuses any text holding the byte FFh (leaving output
// behind, as a careless converter might), and counts its calls.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "encoding/builder/cmd_codec.h"
#include "encoding/test_hooks.h"

using namespace tilo2::core;

struct FakeConverter {
  static inline std::vector<uint8_t> pending;
  static inline std::vector<std::string> opened;
  static inline int setDataCalls = 0;
  static inline int closed = 0;
  static inline bool openFails = false;

  static int Open(const char* name, int length) {
    opened.emplace_back(name, size_t(length));
    return openFails ? -200 : 7;
  }
  static int Close(int) {
    ++closed;
    return 0;
  }
  static int SetEncodeType(int h) { return h == 7 ? 0 : -10; }
  static int SetData(int h, const uint8_t* data, uint32_t length) {
    if (h != 7) return -10;
    ++setDataCalls;
    pending.insert(pending.end(), {0x1B, 0x74, 0x00});
    pending.insert(pending.end(), data, data + length);
    return std::memchr(data, 0xFF, length) != nullptr ? -420 : 0;
  }
  static int GetOutput(int h, uint8_t* buffer, uint32_t* size) {
    if (h != 7) return -10;
    const uint32_t needed = uint32_t(pending.size());
    if (needed == 0) {
      *size = 0;
      return 0;
    }
    if (buffer == nullptr || *size < needed) {
      *size = needed;
      return -40;
    }
    std::memcpy(buffer, pending.data(), needed);
    *size = needed;
    pending.clear();
    return 0;
  }

  static constexpr CmdConverterOps kOps{Open, Close, SetEncodeType, SetData, GetOutput};

  FakeConverter() {
    pending.clear();
    opened.clear();
    setDataCalls = 0;
    closed = 0;
    openFails = false;
    CmdSetConverterOps(&kOps);
  }
  ~FakeConverter() { CmdSetConverterOps(nullptr); }
};
