#pragma once
// The SDK logger: one text line per call, with a time and process prefix,
// written to the log file or sent to a TCP listener (one connection per line).
// It never fails its caller: a line that cannot be written is dropped.

#include <cstddef>
#include <cstdint>

namespace tilo2::core {

// Direction mark of a trace line.
enum LogTraceKind : int {
  LOG_TRACE_ENTRY = 0,    // "->"
  LOG_TRACE_EXIT = 1,     // "<-" (the only kind that prints the result)
  LOG_TRACE_MESSAGE = 2,  // "--"
  LOG_TRACE_EVENT = 3,    // "<<"
  LOG_TRACE_INFO = 4,     // "-i"
};

// Type tag of one trace argument; the list of {type, value} pairs ends with LOG_ARG_END.
enum LogArgType : int {
  LOG_ARG_END = 0,
  LOG_ARG_INT = 1,      // int32_t, ",%d"
  LOG_ARG_LONG = 2,     // int32_t, ",%ld"
  LOG_ARG_HEX = 3,      // uint32_t, ",0x%lx"
  LOG_ARG_DOUBLE = 4,   // double, ",%g"
  LOG_ARG_STRING = 5,   // const char*, ",%s"
  LOG_ARG_DUMP = 6,     // const LogByteBuffer_t*, hex dump without a comma
  LOG_ARG_POINTER = 7,  // const void*, "," and 16 upper-case hex digits
};

struct LogByteBuffer_t {
  uint32_t length;
  const void* data;
};

// Lines at the normal level stay within this many bytes, newline included.
inline constexpr size_t kLogLineMax = 1024;
inline constexpr size_t kLogPrefixLength = 42;

// Turns a socket number or other integer id into the handle field of a line.
inline const void* log_handle(intptr_t id) { return reinterpret_cast<const void*>(id); }

// tag, kind (LogTraceKind), handle, result, function name, then {LogArgType, value}
// pairs ended by LOG_ARG_END. Nothing happens when output is off, the tag is
// null or the kind is not 0 to 4.
void log_trace(const char* tag, int kind, const void* handle, int result, const char* function,
               ...);
int log_trace_rc(const char* tag, int kind, const void* handle, int result, const char* function,
                 ...);

// "%s,--,%s(%d)" of tag, source path and line, only at level 255.
void log_error_line(const char* tag, const char* path, int line);

// "Write" line: count is the caller's total (of the write, or of a datagram's
// header), dump_length the bytes of data shown. 0, or 255 when the line is lost.
int log_write_dump(const char* tag, const char* transport, const void* handle, size_t dump_length,
                   size_t count, const void* data, int raw);
// "Read" line with length bytes of data.
int log_read_dump(const char* tag, const char* transport, const void* handle, size_t length,
                  const void* data, int raw);

// Adds the 42-character prefix and the newline and hands the line to the output.
int log_emit_line(const char* body, size_t length);
// One connection per line to the listener; 0 or 255.
int log_send_tcp(const char* address, uint16_t port, const char* line);
// Appends one line to the log file, rotating and writing the header as needed; 0 or 255.
int log_append_file(const char* line);

}  // namespace tilo2::core
