#pragma once
// Size-capped rotation of the log file into numbered single-entry ZIP archives.
//
// Names built from the log file path P: "P.n.zip" is archive n (1 the newest),
// "P.zip" an archive without number, "P.n" (n = 1..10) a left-over plain file
// that rotation archives as "P.n.zip" whenever it runs.

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct LogSettings_t;

inline constexpr int kLogLeftoverMax = 10;       // left-over plain files "P.1" .. "P.10"
inline constexpr int kZipNameSize = 512;         // buffer for any name built from a path
// Longest log file path rotation handles (503): every name it builds, up to
// "P.<n>.zip" for the highest archive number it may reach (820, three digits),
// must fit kZipNameSize with its NUL. Longer paths are refused up front, as the
// log file path, so that no rotation fails on a name later.
inline constexpr int kLogRotatePathMax = kZipNameSize - 1 - static_cast<int>(sizeof ".820.zip" - 1);

// --- CRC-32 of ZIP (reflected 0xEDB88320, table compiled in) ---

// Continues a running CRC: start with 0, feed the pieces in order.
uint32_t zip_crc32(uint32_t crc, const void* data, size_t length);

// --- ZIP records (one entry, always called "Tilo2Log.txt") ---

inline constexpr char kZipEntryName[] = "Tilo2Log.txt";
inline constexpr uint16_t kZipEntryNameLength = sizeof(kZipEntryName) - 1;
inline constexpr uint32_t kZipLocalHeaderSize = 30 + kZipEntryNameLength;
inline constexpr uint32_t kZipCentralHeaderSize = 46 + kZipEntryNameLength;
inline constexpr uint32_t kZipEndRecordSize = 22;
inline constexpr uint32_t kZipCrcOffset = 14;  // CRC, then compressed size, in the local header

struct ZipLocalHeader_t {
  uint16_t dos_time;
  uint16_t dos_date;
  uint32_t crc32;
  uint32_t compressed_size;
  uint32_t uncompressed_size;
};

struct ZipCentralHeader_t {
  uint16_t dos_time;
  uint16_t dos_date;
  uint32_t crc32;
  uint32_t compressed_size;
  uint32_t uncompressed_size;
  uint32_t local_header_offset;
};

struct ZipEndRecord_t {
  uint32_t directory_size;
  uint32_t directory_offset;
};

// Each writes its record at the file's current position, fields in order, then
// the entry name where the record has one. 0, or 255 when it cannot be written.
int zip_write_local_header(FILE* file, const ZipLocalHeader_t& header);
int zip_write_central_header(FILE* file, const ZipCentralHeader_t& header);
int zip_write_end_record(FILE* file, const ZipEndRecord_t& record);

// DOS time and date fields of a broken-down local time (clamped to 1980..2107).
uint16_t zip_dos_time(int hour, int minute, int second);
uint16_t zip_dos_date(int year, int month, int day);

// --- Files and archives ---

// Builds "P.zip" (n = 0) or "P.n.zip" (n >= 1); false when it does not fit.
bool log_archive_name(char* out, size_t size, const char* path, int n);

// Whether the path names a regular file (symbolic links followed).
bool log_file_exists(const char* path);
// Size of a regular file (capped at 0xFFFFFFFF), else 0.
uint32_t log_file_size(const char* path);
// 0x500000 when archive n of the path ("P.n.zip") is a regular file, else 0.
uint32_t log_archive_size(const char* path, int n);
// Archives 1, 2, ... of the path up to the first gap, counted 0x500000 each.
uint32_t log_archives_size_of(const char* path);
// The same for the process-wide log file.
uint32_t log_archives_size();

// Compresses the file into "P.zip" (n = 0) or "P.n.zip" (n >= 1) and deletes it.
// 0 done; 1 no path; 255 failed: the file stays as it was and no archive is
// left behind. An existing archive is never overwritten (255).
int log_zip_file(const char* path, int n);

// Counts what is not counted yet (a counter of 0): the file, then the file
// together with its archives.
void log_count_sizes(const char* path, LogSettings_t& settings);

// Makes room for an incoming line of the given length (0x500001 forces the file
// into archive 1). Works on the given counters and cap; 0 done, 1 failed.
// Callers hold the log-file lock.
int log_rotate_with(const char* path, uint32_t incoming, LogSettings_t& settings);
// The same on the process-wide settings.
int log_rotate(const char* path, uint32_t incoming);
