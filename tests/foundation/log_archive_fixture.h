#pragma once
// Scratch folder and file helpers for the rotation and archive tests.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/log_rotate.h"
#include "foundation/zip_writer.h"

using namespace tilo2::core;

// Little-endian fields of an archive held in a string.
inline uint32_t le32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}
inline uint16_t le16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

// Checks the layout by hand and inflates the entry with zlib; returns the content.
inline std::string zip_unpack(const std::string& zip, uint32_t& stamp) {
  EXPECT_GE(zip.size(), 42u + 58u + 22u);
  if (zip.size() < 42u + 58u + 22u) return {};
  const size_t end = zip.size() - 22;
  EXPECT_EQ(le32(zip, end), 0x06054B50u);
  const uint32_t dir_size = le32(zip, end + 12);
  const uint32_t dir_off = le32(zip, end + 16);
  EXPECT_EQ(dir_size, 58u);
  EXPECT_EQ(dir_off + dir_size, end);
  EXPECT_EQ(le32(zip, 0), 0x04034B50u);
  EXPECT_EQ(le16(zip, 8), 8);
  EXPECT_EQ(zip.substr(30, 12), "Tilo2Log.txt");
  const uint32_t csize = le32(zip, 18);
  const uint32_t usize = le32(zip, 22);
  EXPECT_EQ(42u + csize, dir_off);
  EXPECT_EQ(le32(zip, dir_off), 0x02014B50u);
  EXPECT_EQ(le32(zip, dir_off + 16), le32(zip, 14));  // CRC
  EXPECT_EQ(le32(zip, dir_off + 20), csize);
  EXPECT_EQ(le32(zip, dir_off + 24), usize);
  EXPECT_EQ(le32(zip, dir_off + 12), le32(zip, 10));  // time and date
  stamp = static_cast<uint32_t>(le16(zip, 12)) << 16 | le16(zip, 10);

  std::string out(usize, '\0');
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, -15), Z_OK);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zip.data() + 42));
  zs.avail_in = csize;
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = usize;
  EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
  EXPECT_EQ(zs.total_out, usize);
  inflateEnd(&zs);
  EXPECT_EQ(le32(zip, 14),
            static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(out.data()),
                                        static_cast<uInt>(out.size()))));
  return out;
}

class LogArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (std::filesystem::temp_directory_path() / "tilo2-archive-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    log_ = dir_ + "/Tilo2Log.txt";
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string archive(int n) const {
    return n == 0 ? log_ + ".zip" : log_ + "." + std::to_string(n) + ".zip";
  }

  static void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
  }
  // A readable file of the given size without writing its bytes: a sparse file
  // that starts with a short text, so its archive can be told apart.
  static void make_sparse(const std::string& path, uint64_t size, const std::string& head = "") {
    write_file(path, head);
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
  }
  // A file path of exactly `length` characters inside the scratch folder; its
  // folders are created (each name stays below the 255-byte limit of a name).
  std::string deep_path(size_t length) const {
    std::string path = dir_;
    while (length - path.size() > 201) {
      path.append(1, '/').append(199, 'd');
      std::filesystem::create_directory(path);
    }
    return path + "/" + std::string(length - path.size() - 1, 'f');
  }
  static std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
  }
  static bool have_python() {
    return std::system("python3 -c 'import zipfile' >/dev/null 2>&1") == 0;
  }

  // Opens the archive with Python's zipfile and writes what it saw into a file:
  // the entry names, the CRC check, whether the entry equals `expected_path`,
  // the entry's size and its date_time packed as DOS date << 16 | time.
  struct ZipView {
    bool ok = false;
    std::string names;
    bool crc_ok = false;
    bool content_equal = false;
    uint64_t file_size = 0;
    uint32_t dos_stamp = 0;
  };
  ZipView python_view(const std::string& zip, const std::string& expected_path) const {
    const std::string script = dir_ + "/view.py";
    const std::string result = dir_ + "/view.out";
    write_file(
        script,
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "i = z.infolist()\n"
        "e = i[0]\n"
        "y, mo, d, h, mi, s = e.date_time\n"
        "stamp = ((y - 1980) << 25) | (mo << 21) | (d << 16) | (h << 11) | (mi << 5) | (s // 2)\n"
        "same = z.read(e) == open(sys.argv[2], 'rb').read()\n"
        "bad = z.testzip()\n"
        "open(sys.argv[3], 'w').write('%s\\n%d\\n%d\\n%d\\n%d\\n' % ("
        "'|'.join(x.filename for x in i), bad is None, same, e.file_size, stamp))\n");
    ZipView v;
    const std::string cmd =
        "python3 '" + script + "' '" + zip + "' '" + expected_path + "' '" + result + "'";
    if (std::system(cmd.c_str()) != 0) return v;
    std::ifstream in(result);
    int crc = 0, same = 0;
    if (!(in >> v.names >> crc >> same >> v.file_size >> v.dos_stamp)) return v;
    v.crc_ok = crc != 0;
    v.content_equal = same != 0;
    v.ok = true;
    return v;
  }

  std::string dir_;
  std::string log_;
};
