#pragma once
// The ZIP writer of the log rotation: single-entry archives whose entry, always
// called "Tilo2Log.txt", holds raw deflate data. Compression and CRC-32 are
// zlib's.

#include <cstdint>
#include <cstdio>

namespace tilo2::core {

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

// Compresses the file into "P.zip" (n = 0) or "P.n.zip" (n >= 1) and deletes it.
// 0 done; 1 no path; 255 failed: the file stays as it was and no archive is
// left behind. An existing archive is never overwritten (255).
int log_zip_file(const char* path, int n);

}  // namespace tilo2::core
