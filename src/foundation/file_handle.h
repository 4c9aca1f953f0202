#pragma once
// An open C stream that closes itself when it goes out of scope; release() it
// to close it by hand where the result of the close matters.

#include <cstdio>
#include <memory>

namespace tilo2::core {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

}  // namespace tilo2::core
