#pragma once
// The connection layer's log lines (tag "IOCMN"): error lines with the source
// position, information lines and the data dumps of every transfer.

#include <cstddef>
#include <cstdint>

void io_log_error(const char* file, int line);
#define IO_LOG_ERROR() io_log_error(__FILE__, __LINE__)

// Information line ("-i") with one string argument, or two.
void io_log_info(const void* handle, int result, const char* function, const char* text,
                 const char* text2 = nullptr);

// "KDPX timeout." with the nominal wait and the elapsed milliseconds.
void io_log_kdpx_timeout(const char* function, int result, long elapsedMs);

// Hex dumps of a transfer: sent is the bytes of this piece, asked the total of
// the write (or the datagram's length).
// tag: "IOCMN" for TCP and UDP, "IODEV" for Bluetooth and USB.
void io_log_write_dump(const char* tag, const char* transport, const void* handle, size_t sent, size_t asked,
                       const void* data);
void io_log_read_dump(const char* tag, const char* transport, const void* handle, size_t length,
                      const void* data);

// Sees every dump as it is logged; lets tests check how transfers are cut.
using IoDumpObserver = void (*)(bool write, const char* transport, size_t length, size_t asked);
void io_log_set_dump_observer(IoDumpObserver observer);
