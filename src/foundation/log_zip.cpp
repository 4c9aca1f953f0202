#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <new>

#include "foundation/file_handle.h"
#include "foundation/log_rotate.h"
#include "foundation/platform.h"
#include "foundation/zip_writer.h"

namespace tilo2::core {

namespace {

constexpr size_t kDeflateOutSize = 1024;

// The archive being written: closed and deleted again unless the write completed,
// so a failed compression never leaves a broken archive that would count as one.
class ArchiveOut {
 public:
  explicit ArchiveOut(const char* name) : name_(name) {
    file_ = platform_fopen(name, "wbx");  // exclusive: an existing archive is never replaced
    created_ = file_ != nullptr;
  }
  ~ArchiveOut() {
    if (file_ != nullptr) std::fclose(file_);
    if (created_ && !kept_) ::unlink(name_);
  }
  ArchiveOut(const ArchiveOut&) = delete;
  ArchiveOut& operator=(const ArchiveOut&) = delete;

  bool IsOpen() const { return file_ != nullptr; }
  FILE* Get() const { return file_; }
  // Flushes to the disk before the source is deleted, then closes.
  bool Finish() {
    bool ok = std::fflush(file_) == 0 && ::fsync(fileno(file_)) == 0;
    ok = (std::fclose(file_) == 0) && ok;
    file_ = nullptr;
    return ok;
  }
  void Keep() { kept_ = true; }

 private:
  const char* name_;
  FILE* file_ = nullptr;
  bool created_ = false;
  bool kept_ = false;
};

class Deflater {
 public:
  Deflater() {
    // Raw deflate (negative window bits): the ZIP entry carries no zlib header.
    ok_ = deflateInit2_(&zs_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY,
                        ZLIB_VERSION, static_cast<int>(sizeof(z_stream))) == Z_OK;
  }
  ~Deflater() {
    if (ok_) deflateEnd(&zs_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  bool Ok() const { return ok_; }
  z_stream& Stream() { return zs_; }
  bool End() {
    ok_ = false;
    return deflateEnd(&zs_) == Z_OK;
  }

 private:
  z_stream zs_{};
  bool ok_ = false;
};

bool PutU32(FILE* f, uint32_t v) {
  const std::array<uint8_t, 4> b{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                 static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  return std::fwrite(b.data(), 1, b.size(), f) == b.size();
}

// Reads the whole regular file; false when it cannot be read completely or
// does not fit the 32-bit sizes of the archive.
bool ReadWhole(const char* path, std::unique_ptr<uint8_t[]>& data, uint32_t& size) {
  const FileHandle in(platform_fopen(path, "rb"));
  if (!in) return false;
  struct stat st {};
  if (::fstat(fileno(in.get()), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > std::numeric_limits<uint32_t>::max())
    return false;
  size = static_cast<uint32_t>(st.st_size);
  data.reset(new (std::nothrow) uint8_t[size == 0 ? 1 : size]);
  if (!data) return false;
  if (std::fread(data.get(), 1, size, in.get()) != size) return false;
  // A file that grew meanwhile would lose its tail when deleted after archiving.
  return std::fgetc(in.get()) == EOF && !std::ferror(in.get());
}

}  // namespace

bool log_archive_name(char* out, size_t size, const char* path, int n) {
  if (out == nullptr || size == 0 || path == nullptr || n < 0) return false;
  const int len = n == 0 ? std::snprintf(out, size, "%s.zip", path)
                         : std::snprintf(out, size, "%s.%d.zip", path, n);
  return len > 0 && static_cast<size_t>(len) < size;
}

int log_zip_file(const char* path, int n) {
  if (path == nullptr || *path == '\0') return 1;
  char name[kZipNameSize];
  if (!log_archive_name(name, sizeof name, path, n)) return 255;

  PlatformTimeval_t now{};
  platform_gettimeofday(&now);
  const std::tm* local_now = platform_localtime(&now.tv_sec);
  if (local_now == nullptr) return 255;
  const std::tm local = *local_now;

  std::unique_ptr<uint8_t[]> data;
  uint32_t size = 0;
  if (!ReadWhole(path, data, size)) return 255;
  const uint32_t crc = static_cast<uint32_t>(crc32(0L, data.get(), size));

  Deflater deflater;
  if (!deflater.Ok()) return 255;
  ArchiveOut out(name);
  if (!out.IsOpen()) return 255;

  ZipLocalHeader_t local_header{};
  local_header.dos_time = zip_dos_time(local.tm_hour, local.tm_min, local.tm_sec);
  local_header.dos_date = zip_dos_date(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  local_header.crc32 = crc;
  local_header.compressed_size = 0;  // patched once the data is written
  local_header.uncompressed_size = size;
  if (zip_write_local_header(out.Get(), local_header) != 0) return 255;

  z_stream& zs = deflater.Stream();
  zs.next_in = data.get();
  zs.avail_in = size;
  std::array<uint8_t, kDeflateOutSize> chunk{};
  int rc = Z_OK;
  do {
    zs.next_out = chunk.data();
    zs.avail_out = static_cast<uInt>(chunk.size());
    rc = deflate(&zs, Z_FINISH);
    if (rc != Z_OK && rc != Z_STREAM_END) return 255;
    const size_t have = chunk.size() - zs.avail_out;
    if (std::fwrite(chunk.data(), 1, have, out.Get()) != have) return 255;
  } while (rc == Z_OK);
  if (rc != Z_STREAM_END) return 255;

  const off_t end_of_data = ::ftello(out.Get());
  // The central directory and end record must still be addressable with 32 bits.
  if (end_of_data < static_cast<off_t>(kZipLocalHeaderSize) ||
      static_cast<uint64_t>(end_of_data) + kZipCentralHeaderSize + kZipEndRecordSize >
          std::numeric_limits<uint32_t>::max())
    return 255;
  const auto directory_offset = static_cast<uint32_t>(end_of_data);
  const uint32_t compressed = directory_offset - kZipLocalHeaderSize;
  if (std::fseek(out.Get(), kZipCrcOffset, SEEK_SET) != 0 || !PutU32(out.Get(), crc) ||
      !PutU32(out.Get(), compressed) || std::fseek(out.Get(), 0, SEEK_END) != 0)
    return 255;
  if (!deflater.End()) return 255;

  ZipCentralHeader_t central{};
  central.dos_time = local_header.dos_time;
  central.dos_date = local_header.dos_date;
  central.crc32 = crc;
  central.compressed_size = compressed;
  central.uncompressed_size = size;
  central.local_header_offset = 0;
  if (zip_write_central_header(out.Get(), central) != 0) return 255;
  const ZipEndRecord_t end{kZipCentralHeaderSize, directory_offset};
  if (zip_write_end_record(out.Get(), end) != 0) return 255;
  if (!out.Finish()) return 255;

  data.reset();
  // The source goes only once its archive is complete; if it cannot go, the
  // archive goes instead, so the call either did everything or nothing.
  if (::unlink(path) != 0) return 255;
  out.Keep();
  return 0;
}

}  // namespace tilo2::core
