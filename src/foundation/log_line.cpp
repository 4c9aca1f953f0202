// The line prefix (local time to the millisecond, process and thread) and the
// hand-over of a finished line to the file or the TCP listener.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "foundation/log_format.h"
#include "foundation/logger.h"
#include "foundation/platform.h"

namespace tilo2::core {

namespace {

// Writes the 42-character prefix; false when the time cannot be converted.
bool FormatPrefix(char out[kLogPrefixLength + 1]) {
  PlatformTimeval_t now{};
  platform_gettimeofday(&now);
  const int64_t seconds = now.tv_sec;
  const struct tm* t = platform_localtime(&seconds);
  if (t == nullptr) return false;
  const int n =
      std::snprintf(out, kLogPrefixLength + 1, "%4d/%02d/%02d,%02d:%02d:%02d.%03d,%08x:%08x,",
                    t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec,
                    static_cast<int>(now.tv_usec / 1000), static_cast<unsigned>(getpid()) & 0xFFFFu,
                    platform_thread_self_id() & 0xFFFFu);
  return n == static_cast<int>(kLogPrefixLength);
}

int OutputLine(const LogSettings_t& s, const char* line) {
  switch (s.output) {
    case 1:
      return log_append_file(line);
    case 2:
      return log_send_tcp(s.ip, s.port, line);
    default:
      return 255;
  }
}

}  // namespace

int log_emit_line_with(const LogSettings_t& s, const char* body, size_t length) {
  if (body == nullptr || length == 0) return 255;
  char prefix[kLogPrefixLength + 1];
  if (!FormatPrefix(prefix)) return 255;
  // Below the full level prefix + body stay within 1023 characters, then the
  // newline; at the full level the line is sized to the whole body.
  const bool full = s.level == kLogLevelFull;
  const size_t body_length = full ? length : std::min(length, kLogLineMax - 1 - kLogPrefixLength);
  char fixed[kLogLineMax + 8];
  std::unique_ptr<char[]> heap;
  char* line = fixed;
  if (full) {
    heap.reset(new (std::nothrow) char[length + kLogPrefixLength + 2]);
    if (!heap) return 255;
    line = heap.get();
  }
  std::memcpy(line, prefix, kLogPrefixLength);
  std::memcpy(line + kLogPrefixLength, body, body_length);
  line[kLogPrefixLength + body_length] = '\n';
  line[kLogPrefixLength + body_length + 1] = '\0';
  return OutputLine(s, line);
}

int log_emit_line(const char* body, size_t length) {
  return log_emit_line_with(log_settings_snapshot(), body, length);
}

}  // namespace tilo2::core
