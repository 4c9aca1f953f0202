#include <algorithm>
#include <array>
#include <cstring>

#include "foundation/zip_writer.h"

namespace tilo2::core {

namespace {

constexpr uint16_t kZipVersion = 20;
constexpr uint16_t kZipDeflate = 8;

// Little-endian field writer into a fixed record buffer.
template <size_t N>
class RecordBytes {
 public:
  RecordBytes& U16(uint16_t v) {
    bytes_[pos_++] = static_cast<uint8_t>(v);
    bytes_[pos_++] = static_cast<uint8_t>(v >> 8);
    return *this;
  }
  RecordBytes& U32(uint32_t v) {
    return U16(static_cast<uint16_t>(v)).U16(static_cast<uint16_t>(v >> 16));
  }
  RecordBytes& Name() {
    std::memcpy(bytes_.data() + pos_, kZipEntryName, kZipEntryNameLength);
    pos_ += kZipEntryNameLength;
    return *this;
  }
  int Write(FILE* file) const {
    static_assert(N > 0);
    if (file == nullptr || pos_ != N) return 255;
    return std::fwrite(bytes_.data(), 1, N, file) == N ? 0 : 255;
  }

 private:
  std::array<uint8_t, N> bytes_{};
  size_t pos_ = 0;
};

}  // namespace

int zip_write_local_header(FILE* file, const ZipLocalHeader_t& h) {
  RecordBytes<kZipLocalHeaderSize> r;
  r.U32(0x04034B50).U16(kZipVersion).U16(0).U16(kZipDeflate).U16(h.dos_time).U16(h.dos_date);
  r.U32(h.crc32).U32(h.compressed_size).U32(h.uncompressed_size);
  r.U16(kZipEntryNameLength).U16(0).Name();
  return r.Write(file);
}

int zip_write_central_header(FILE* file, const ZipCentralHeader_t& h) {
  RecordBytes<kZipCentralHeaderSize> r;
  r.U32(0x02014B50).U16(kZipVersion).U16(kZipVersion).U16(0).U16(kZipDeflate);
  r.U16(h.dos_time).U16(h.dos_date).U32(h.crc32).U32(h.compressed_size).U32(h.uncompressed_size);
  r.U16(kZipEntryNameLength).U16(0).U16(0).U16(0).U16(0).U32(0).U32(h.local_header_offset);
  r.Name();
  return r.Write(file);
}

int zip_write_end_record(FILE* file, const ZipEndRecord_t& e) {
  RecordBytes<kZipEndRecordSize> r;
  r.U32(0x06054B50)
      .U16(0)
      .U16(0)
      .U16(1)
      .U16(1)
      .U32(e.directory_size)
      .U32(e.directory_offset)
      .U16(0);
  return r.Write(file);
}

uint16_t zip_dos_time(int hour, int minute, int second) {
  hour = std::clamp(hour, 0, 23);
  minute = std::clamp(minute, 0, 59);
  second = std::clamp(second, 0, 59);  // a leap second 60 stays within the field
  return static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

uint16_t zip_dos_date(int year, int month, int day) {
  // The field holds 1980..2107; outside it the nearest representable day is used.
  if (year < 1980) return static_cast<uint16_t>((1 << 5) | 1);
  if (year > 2107) return static_cast<uint16_t>((127 << 9) | (12 << 5) | 31);
  month = std::clamp(month, 1, 12);
  day = std::clamp(day, 1, 31);
  return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

}  // namespace tilo2::core
