#pragma once
// Tagged handles of the command builders. Each handle record starts with its
// own size and a four-letter tag; every entry point checks both before it
// touches the record, and freeing clears the tag so a stale pointer fails.

#include <cstdint>

namespace tilo2::core {

// Four ASCII letters, the first in the lowest byte.
constexpr uint32_t CmdMakeTag(const char (&t)[5]) {
  return uint32_t(uint8_t(t[0])) | uint32_t(uint8_t(t[1])) << 8 | uint32_t(uint8_t(t[2])) << 16 |
         uint32_t(uint8_t(t[3])) << 24;
}

inline constexpr uint32_t kPrnCmdTag = CmdMakeTag("DEVH");
inline constexpr uint32_t kDspCmdTag = CmdMakeTag("DDVH");
inline constexpr uint32_t kCmdDataTag = CmdMakeTag("DATH");

// True when h points at a live record of type T carrying tag.
template <typename T>
bool CmdHandleValid(const T* h, uint32_t tag) {
  return h != nullptr && h->size >= sizeof(T) && h->tag == tag;
}

}  // namespace tilo2::core
