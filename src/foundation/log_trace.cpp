// Trace lines: tag, direction mark, handle, result, function name and typed
// arguments. Below the full level a line needs no heap memory.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "foundation/log_format.h"
#include "foundation/logger.h"

namespace tilo2::core {

namespace {

constexpr const char* kMarks[] = {"->", "<-", "--", "<<", "-i"};
constexpr int kFullLevelMaxArgs = 30;
constexpr size_t kArgMax = 1024;  // one argument's text must stay below this

// Header "%s,%s,%016Ix,,%s,%s"; answers snprintf's count (negative on error).
int FormatHeader(char* out, size_t room, const char* tag, int kind, const void* handle, int result,
                 const char* function) {
  char result_text[16] = "";
  if (kind == LOG_TRACE_EXIT) {
    std::snprintf(result_text, sizeof result_text, "%x", static_cast<uint32_t>(result));
  }
  return std::snprintf(out, room, "%s,%s,%016jx,,%s,%s", tag, kMarks[kind],
                       static_cast<uintmax_t>(reinterpret_cast<uintptr_t>(handle)), result_text,
                       function != nullptr ? function : "NULL");
}

// Formats one non-dump argument into out[0..room); answers snprintf's count,
// or -1 for the end of the list.
int FormatValue(char* out, size_t room, int type, va_list* args) {
  switch (type) {
    case LOG_ARG_INT:
    case LOG_ARG_LONG:
      return std::snprintf(out, room, ",%d", va_arg(*args, int32_t));
    case LOG_ARG_HEX:
      return std::snprintf(out, room, ",0x%x", va_arg(*args, uint32_t));
    case LOG_ARG_DOUBLE:
      return std::snprintf(out, room, ",%g", va_arg(*args, double));
    case LOG_ARG_STRING: {
      const char* s = va_arg(*args, const char*);
      return std::snprintf(out, room, ",%s", s != nullptr ? s : "NULL");
    }
    case LOG_ARG_POINTER: {
      char text[18];
      log_format_pointer(text, va_arg(*args, const void*));
      return std::snprintf(out, room, "%s", text);
    }
    default:
      return -1;
  }
}

// Appends one piece of a full-level line; an allocation failure leaves the
// piece out and the line as it was (the logger never throws at its caller).
void AppendPiece(std::string& line, const char* piece, size_t n) noexcept {
  try {
    line.append(piece, n);
  } catch (const std::bad_alloc&) {
  }
}

bool TraceWanted(const LogSettings_t& s, const char* tag, int kind) {
  return s.output != 0 && tag != nullptr && kind >= 0 && kind <= 4;
}

void Trace(const char* tag, int kind, const void* handle, int result, const char* function,
           va_list args) {
  const LogSettings_t s = log_settings_snapshot();
  if (!TraceWanted(s, tag, kind)) return;
  if (s.level == kLogLevelFull) {
    log_format_trace_full(s, tag, kind, handle, result, function, args);
  } else {
    log_format_trace(s, tag, kind, handle, result, function, args);
  }
}

}  // namespace

void log_format_trace(const LogSettings_t& settings, const char* tag, int kind, const void* handle,
                      int result, const char* function, va_list args) {
  char body[kLogLineMax];
  const int n = FormatHeader(body, sizeof body, tag, kind, handle, result, function);
  if (n < 0) return;
  size_t len = std::min<size_t>(static_cast<size_t>(n), sizeof body - 1);
  va_list ap;
  va_copy(ap, args);
  while (sizeof body - len > 1) {
    const int type = va_arg(ap, int);
    char* out = body + len;
    const size_t room = sizeof body - len;
    if (type == LOG_ARG_DUMP) {
      const auto* buf = va_arg(ap, const LogByteBuffer_t*);
      const size_t w = buf != nullptr ? log_format_hex_dump(out, room, buf->data, buf->length, true)
                                      : log_format_hex_dump(out, room, nullptr, 0, true);
      if (w == 0) break;
      len += w;
      continue;
    }
    const int w = FormatValue(out, room, type, &ap);
    if (w < 0) break;
    if (static_cast<size_t>(w) >= room) {  // cut at the end of the buffer; the list ends
      len = sizeof body - 1;
      break;
    }
    len += static_cast<size_t>(w);
  }
  va_end(ap);
  log_emit_line_with(settings, body, len);
}

void log_format_trace_full(const LogSettings_t& settings, const char* tag, int kind,
                           const void* handle, int result, const char* function, va_list args) {
  char header[kLogLineMax];
  const int n = FormatHeader(header, sizeof header, tag, kind, handle, result, function);
  if (n < 0 || static_cast<size_t>(n) >= sizeof header) return;
  std::string line;
  AppendPiece(line, header, static_cast<size_t>(n));
  if (line.empty()) return;
  va_list ap;
  va_copy(ap, args);
  char piece[kArgMax];
  for (int i = 0; i < kFullLevelMaxArgs; ++i) {
    const int type = va_arg(ap, int);
    if (type == LOG_ARG_DUMP) {
      const auto* buf = va_arg(ap, const LogByteBuffer_t*);
      const void* data = buf != nullptr ? buf->data : nullptr;
      const size_t length = buf != nullptr ? buf->length : 0;
      if (log_dump_text_size(data, length, false, false) >= kArgMax) break;  // left out, list ends
      const size_t w = log_format_hex_dump(piece, sizeof piece, data, length, false);
      AppendPiece(line, piece, w);
      continue;
    }
    const int w = FormatValue(piece, sizeof piece, type, &ap);
    if (w < 0 || static_cast<size_t>(w) >= kArgMax) break;
    AppendPiece(line, piece, static_cast<size_t>(w));
  }
  va_end(ap);
  log_emit_line_with(settings, line.data(), line.size());
}

void log_trace(const char* tag, int kind, const void* handle, int result, const char* function,
               ...) {
  va_list args;
  va_start(args, function);
  Trace(tag, kind, handle, result, function, args);
  va_end(args);
}

int log_trace_rc(const char* tag, int kind, const void* handle, int result, const char* function,
                 ...) {
  va_list args;
  va_start(args, function);
  Trace(tag, kind, handle, result, function, args);
  va_end(args);
  return 0;
}

void log_error_line(const char* tag, const char* path, int line) {
  const LogSettings_t s = log_settings_snapshot();
  if (s.output == 0 || s.level != kLogLevelFull) return;
  char body[kLogLineMax];
  const int n = std::snprintf(body, sizeof body, "%s,--,%s(%d)", tag != nullptr ? tag : "NULL",
                              path != nullptr ? path : "NULL", line);
  if (n < 0 || static_cast<size_t>(n) >= sizeof body) return;
  log_emit_line_with(s, body, static_cast<size_t>(n));
}

}  // namespace tilo2::core
