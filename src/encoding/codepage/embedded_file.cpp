#include "encoding/codepage/embedded_file.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string_view>

namespace tilo2::core {

namespace {

std::atomic<const EmbeddedFileRow*> activeRows{nullptr};
std::atomic<uint32_t> tableGeneration{0};

bool PathNamesRow(std::string_view path, std::string_view name) {
  if (path == name) return true;
  if (path.size() <= name.size() || !path.ends_with(name)) return false;
  const char sep = path[path.size() - name.size() - 1];
  return sep == '/' || sep == '\\';
}

constexpr size_t kMaxLineChars = kEmbeddedFileLineBuffer - 2;  // room for CR LF NUL

}  // namespace

const EmbeddedFileRow* EmbeddedFileActiveTable() {
  const EmbeddedFileRow* rows = activeRows.load(std::memory_order_acquire);
  return rows != nullptr ? rows : EmbeddedFileTable;
}

uint32_t EmbeddedFileTableGeneration() { return tableGeneration.load(std::memory_order_acquire); }

void EmbeddedFileSetTableForTest(const EmbeddedFileRow* rows) {
  activeRows.store(rows, std::memory_order_release);
  tableGeneration.fetch_add(1, std::memory_order_acq_rel);
}

const EmbeddedFileRow* EmbeddedFileFind(const char* path) {
  if (path == nullptr) return nullptr;
  const std::string_view p(path);
  for (const EmbeddedFileRow* row = EmbeddedFileActiveTable(); row->name != nullptr; ++row) {
    if (PathNamesRow(p, row->name)) return row;
  }
  return nullptr;
}

EmbeddedFile_t* EmbeddedFileOpen(const char* path) {
  const EmbeddedFileRow* row = EmbeddedFileFind(path);
  // The reader's offset is 32 bits; larger rows cannot be read faithfully.
  if (row == nullptr || row->data == nullptr || row->size > UINT32_MAX) return nullptr;
  return new (std::nothrow) EmbeddedFile_t{row, 0};
}

void EmbeddedFileClose(EmbeddedFile_t* file) { delete file; }

char* EmbeddedFileReadLine(char* buffer, EmbeddedFile_t* file) {
  if (buffer == nullptr || file == nullptr || file->row == nullptr) return nullptr;
  const uint64_t size = file->row->size;
  if (file->offset >= size) return nullptr;
  const char* start = file->row->data + file->offset;
  const size_t left = static_cast<size_t>(size - file->offset);
  const size_t scan = left < kMaxLineChars ? left : kMaxLineChars;
  const void* lf = std::memchr(start, '\n', scan);
  if (lf != nullptr) {
    const size_t len = static_cast<size_t>(static_cast<const char*>(lf) - start);
    std::memcpy(buffer, start, len);
    buffer[len] = '\r';
    buffer[len + 1] = '\n';
    buffer[len + 2] = '\0';
    file->offset += static_cast<uint32_t>(len + 1);
    return buffer;
  }
  // No line end within the limit (or the file's last line has none).
  std::memcpy(buffer, start, scan);
  buffer[scan] = '\0';
  file->offset += static_cast<uint32_t>(scan);
  return buffer;
}

}  // namespace tilo2::core
