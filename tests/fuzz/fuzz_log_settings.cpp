// Logger settings file: the input is written as the file into a private
// folder made by mkdtemp for this one run (removed again before returning)
// and read with log_read_settings_file; the same file is also read as a log
// file header. Oracle: 255 applies nothing; 0 applies values within their
// limits; a second read gives the same answer; settings that were read back
// are written with log_write_settings_file and read again unchanged (the
// address and port only when the output is TCP, the one case that keeps them).

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/log_settings.h"
#include "foundation/log_state.h"
#include "foundation/test_hooks.h"
#include "fuzz_input.h"

using namespace tilo2::core;

namespace {

bool SameSettings(const LogSettings_t& a, const LogSettings_t& b, bool withNetwork = true) {
  return a.output == b.output && a.size_mb == b.size_mb && a.level == b.level &&
         (!withNetwork || (a.port == b.port && std::strncmp(a.ip, b.ip, sizeof a.ip) == 0));
}

// A folder of its own per run; whatever happens, the files and the folder go.
class ScratchFolder {
 public:
  ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    path_ = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tilo2-fuzz-log-XXXXXX";
    if (::mkdtemp(path_.data()) == nullptr) FuzzFail("mkdtemp");
  }
  ~ScratchFolder() {
    for (const std::string& f : files_) ::unlink(f.c_str());
    ::rmdir(path_.c_str());
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // A file name inside the folder, removed with it.
  std::string File(const char* name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;  // the file holds nine short lines; longer adds nothing
  ScratchFolder folder;
  const std::string path = folder.File("Tilo2LogSettings.ini");
  if (!WriteFile(path, data, size)) FuzzFail("writing the settings file");

  log_reset_state();
  const LogSettings_t start = log_settings_snapshot();
  const int rc = log_read_settings_file(path.c_str());
  const LogSettings_t read = log_settings_snapshot();
  FUZZ_CHECK(rc == 0 || rc == 255);
  if (rc != 0) {
    FUZZ_CHECK(SameSettings(read, start));
  } else {
    FUZZ_CHECK(read.output >= 0 && read.output <= 2);
    FUZZ_CHECK(read.level >= 0 && read.level <= 255);
    FUZZ_CHECK(log_size_fits_level(read.size_mb, read.level));
    FUZZ_CHECK(strnlen(read.ip, sizeof read.ip) < sizeof read.ip);
    if (std::strncmp(read.ip, start.ip, sizeof read.ip) != 0)
      FUZZ_CHECK(log_ip_text_valid(read.ip));
  }

  // Reading is a function of the file and the starting state alone.
  log_reset_state();
  FUZZ_CHECK(log_read_settings_file(path.c_str()) == rc);
  FUZZ_CHECK(SameSettings(log_settings_snapshot(), read));

  // What was read survives a write and a read. TCP output without an address
  // (the file named none and none was set before) cannot be written back.
  if (rc == 0 && (read.output != 2 || log_ip_text_valid(read.ip))) {
    const std::string copy = folder.File("written.ini");
    FUZZ_CHECK(log_write_settings_file(copy.c_str(), read) == 0);
    log_reset_state();
    FUZZ_CHECK(log_read_settings_file(copy.c_str()) == 0);
    // The address and port are kept only while the output is TCP; otherwise a
    // [NETWORK] seen under an earlier ENABLE=2 may or may not come back.
    FUZZ_CHECK(SameSettings(log_settings_snapshot(), read, read.output == 2));
  }

  // The same bytes as the head of a log file.
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    LogHeader_t header{};
    const int hrc = log_read_header(f, &header);
    std::fclose(f);
    FUZZ_CHECK(hrc == 0 || hrc == 255);
    for (const auto& value : header.values) FUZZ_CHECK(strnlen(value, sizeof value) < sizeof value);
  }
  log_reset_state();
  return 0;
}
