// Byte dumps inside log lines, shortened below the full level.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "foundation/log_format.h"

namespace tilo2::core {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kCut[] = " ... ";
constexpr size_t kCutLength = sizeof kCut - 1;

// Writes text into out[pos..room) keeping a NUL; answers the new position.
size_t PutText(char* out, size_t room, size_t pos, const char* text, size_t n) {
  if (pos + 1 >= room) return pos;
  const size_t fit = std::min(n, room - 1 - pos);
  std::memcpy(out + pos, text, fit);
  out[pos + fit] = '\0';
  return pos + fit;
}

size_t HexBytes(char* out, size_t room, size_t pos, const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n && room - pos >= 4; ++i) {
    out[pos++] = ' ';
    out[pos++] = kHexDigits[bytes[i] >> 4];
    out[pos++] = kHexDigits[bytes[i] & 0x0F];
  }
  out[pos] = '\0';
  return pos;
}

// ",NULL" or "," for the cases without bytes; false when there are bytes.
bool EmptyDump(char* out, size_t room, const void* data, size_t length, size_t* written) {
  if (data != nullptr && length != 0) return false;
  const char* text = data == nullptr ? ",NULL" : ",";
  *written = PutText(out, room, 0, text, std::strlen(text));
  return true;
}

}  // namespace

size_t log_format_hex_dump(char* out, size_t room, const void* data, size_t length, bool shorten) {
  if (out == nullptr || room == 0) return 0;
  out[0] = '\0';
  size_t pos = 0;
  if (EmptyDump(out, room, data, length, &pos)) return pos;
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (!shorten || length <= kLogDumpKeep) return HexBytes(out, room, 0, bytes, length);
  pos = HexBytes(out, room, 0, bytes, kLogDumpHead);
  if (pos != kLogDumpHead * 3) return pos;  // out of room already
  pos = PutText(out, room, pos, kCut, kCutLength);
  return HexBytes(out, room, pos, bytes + length - kLogDumpTail, kLogDumpTail);
}

size_t log_format_raw_dump(char* out, size_t room, const void* data, size_t length, bool shorten) {
  if (out == nullptr || room == 0) return 0;
  out[0] = '\0';
  size_t pos = 0;
  if (EmptyDump(out, room, data, length, &pos)) return pos;
  const auto* bytes = static_cast<const char*>(data);
  if (!shorten || length <= kLogDumpKeep) {
    pos = PutText(out, room, 0, bytes, length);
  } else {
    pos = PutText(out, room, 0, bytes, kLogDumpHead);
    pos = PutText(out, room, pos, kCut, kCutLength);
    pos = PutText(out, room, pos, bytes + length - kLogDumpTail, kLogDumpTail);
  }
  return strnlen(out, pos);  // the line is text: it ends at the first NUL byte
}

size_t log_dump_text_size(const void* data, size_t length, bool raw, bool shorten) {
  if (data == nullptr) return 5;  // ",NULL"
  if (length == 0) return 1;      // ","
  const size_t per_byte = raw ? 1 : 3;
  if (shorten && length > kLogDumpKeep)
    return (kLogDumpHead + kLogDumpTail) * per_byte + kCutLength;
  return length * per_byte;
}

void log_format_pointer(char out[18], const void* pointer) {
  uint64_t v = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer));
  out[0] = ',';
  for (int i = 16; i >= 1; --i) {
    out[i] = kHexDigits[v & 0x0F];
    v >>= 4;
  }
  out[17] = '\0';
}

}  // namespace tilo2::core
