#pragma once
// Pieces of a log line shared by the trace and dump writers.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/log_state.h"

namespace tilo2::core {

inline constexpr int kLogLevelFull = 255;
// Below the full level, dumps of more than this keep their head, " ... ", their tail.
inline constexpr size_t kLogDumpKeep = 120;
inline constexpr size_t kLogDumpHead = 80;
inline constexpr size_t kLogDumpTail = 40;

// Hex dump (" %2.2X" per byte) into out[0..room), always NUL-terminated when
// room > 0; bytes are written only while 4 bytes of room remain. A null pointer
// gives ",NULL", length 0 gives ",". Returns the characters written.
size_t log_format_hex_dump(char* out, size_t room, const void* data, size_t length, bool shorten);
// Raw copy of the bytes (ending at the first NUL, as the line is text).
size_t log_format_raw_dump(char* out, size_t room, const void* data, size_t length, bool shorten);
// Exact size a dump takes (without the NUL; a raw dump may end earlier, at a
// NUL byte), for the heap buffer of a full line and the argument limit.
size_t log_dump_text_size(const void* data, size_t length, bool raw, bool shorten);

// "," and the value as 16 upper-case hex digits, formatted by hand.
void log_format_pointer(char out[18], const void* pointer);

// Trace bodies: below level 255 within 1024 bytes, at 255 on the heap.
void log_format_trace(const LogSettings_t& settings, const char* tag, int kind, const void* handle,
                      int result, const char* function, va_list args);
void log_format_trace_full(const LogSettings_t& settings, const char* tag, int kind,
                           const void* handle, int result, const char* function, va_list args);

// log_emit_line on the settings the caller already took.
int log_emit_line_with(const LogSettings_t& settings, const char* body, size_t length);

}  // namespace tilo2::core
