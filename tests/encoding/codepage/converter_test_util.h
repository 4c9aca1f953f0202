// Helpers shared by the converter tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/codepage/embedded_file.h"
#include "encoding/codepage/ovuc.h"

using namespace tilo2::core;

namespace convtest {

using Bytes = std::vector<uint8_t>;

struct Converted {
  int rc;
  Bytes bytes;
};

// Hands the text over in a heap block of exactly its size, so that the
// sanitizer build catches any read past the input.
inline Converted ConvertText(OvucHandle h, std::string_view text) {
  std::unique_ptr<char[]> exact(new char[text.size() == 0 ? 1 : text.size()]);
  std::memcpy(exact.get(), text.data(), text.size());
  OvucSetEncodeType(h);
  Converted out{OvucSetData(h, exact.get(), text.size()), {}};
  size_t size = 0;
  const int q = OvucGetOutputData(h, nullptr, &size);
  if (q == OVUC_ERR_BUFFER_SMALL) {
    out.bytes.resize(size);
    if (OvucGetOutputData(h, out.bytes.data(), &size) != OVUC_OK) out.bytes = {0xEE};
  }
  return out;
}

inline OvucHandle Open(std::string_view name) { return ConverterOpen(name.data(), name.size()); }

// Opens and closes `name`: `expected` > 0 means any handle, else that code.
inline void ExpectOpen(std::string_view name, int expected, std::string_view context) {
  const OvucHandle h = Open(name);
  if (expected > 0) {
    EXPECT_GT(h, 0) << context;
    OvucCloseHandle(h);
  } else {
    EXPECT_EQ(h, expected) << context;
  }
}

// Swaps the compiled-in files for the life of the object: `files` replace or
// add rows by name, `removed` names disappear.
class FileTableOverride {
 public:
  explicit FileTableOverride(std::map<std::string, std::string> files,
                             std::set<std::string> removed = {})
      : files_(std::move(files)) {
    for (const auto& [name, text] : files_)
      rows_.push_back({name.c_str(), text.data(), text.size()});
    for (const EmbeddedFileRow* r = EmbeddedFileTable; r->name != nullptr; ++r) {
      if (files_.count(r->name) == 0 && removed.count(r->name) == 0) rows_.push_back(*r);
    }
    rows_.push_back({nullptr, nullptr, 0});
    EmbeddedFileSetTableForTest(rows_.data());
  }
  ~FileTableOverride() { EmbeddedFileSetTableForTest(nullptr); }
  FileTableOverride(const FileTableOverride&) = delete;
  FileTableOverride& operator=(const FileTableOverride&) = delete;

 private:
  std::map<std::string, std::string> files_;
  std::vector<EmbeddedFileRow> rows_;
};

}  // namespace convtest
