// "Write" and "Read" lines of the transports, with a dump of the bytes.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/log_format.h"
#include "foundation/logger.h"

namespace tilo2::core {

namespace {

int DumpLine(const LogSettings_t& s, const char* header, size_t header_length, const void* data,
             size_t length, bool raw) {
  // Below the full level the dump is shortened into a fixed line; at the full
  // level the line is sized to hold it whole.
  const bool full = s.level == kLogLevelFull;
  char fixed[kLogLineMax];
  std::unique_ptr<char[]> heap;
  char* body = fixed;
  size_t size = sizeof fixed;
  if (full) {
    size = header_length + log_dump_text_size(data, length, raw, false) + 1;
    heap.reset(new (std::nothrow) char[size]);
    if (!heap) return 255;
    body = heap.get();
  }
  if (header_length >= size) return 255;
  std::memcpy(body, header, header_length);
  const size_t room = size - header_length;
  const size_t w = raw ? log_format_raw_dump(body + header_length, room, data, length, !full)
                       : log_format_hex_dump(body + header_length, room, data, length, !full);
  return log_emit_line_with(s, body, header_length + w);
}

// "%s,--,%016Ix,%s,,<rest>" with the direction's own fields; then the dump.
int TransportLine(const char* tag, const char* transport, const void* handle, const char* rest,
                  const void* data, size_t length, int raw) {
  const LogSettings_t s = log_settings_snapshot();
  if (s.output == 0) return 0;
  char header[kLogLineMax];
  const int n = std::snprintf(header, sizeof header, "%s,--,%016jx,%s,,%s", tag ? tag : "NULL",
                              static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(handle)),
                              transport ? transport : "NULL", rest);
  if (n < 0 || static_cast<size_t>(n) >= sizeof header) return 255;
  return DumpLine(s, header, static_cast<size_t>(n), data, length, raw != 0);
}

}  // namespace

int log_write_dump(const char* tag, const char* transport, const void* handle, size_t dump_length,
                   size_t count, const void* data, int raw) {
  char rest[48];
  std::snprintf(rest, sizeof rest, "Write,%08zx,%08zx,", count, dump_length);
  return TransportLine(tag, transport, handle, rest, data, dump_length, raw);
}

int log_read_dump(const char* tag, const char* transport, const void* handle, size_t length,
                  const void* data, int raw) {
  char rest[48];
  std::snprintf(rest, sizeof rest, "Read,,%08zx,", length);
  return TransportLine(tag, transport, handle, rest, data, length, raw);
}

}  // namespace tilo2::core
