// Text files compiled into the library (the converter's settings, model files,
// code tables and Unicode data), read line by line as if they were on disk.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tilo2::core {

struct EmbeddedFileRow {
  const char* name;
  const char* data;
  uint64_t size;
};

// The compiled-in files, ending at a row with a null name.
extern const EmbeddedFileRow EmbeddedFileTable[];

// A reader over one row.
struct EmbeddedFile_t {
  const EmbeddedFileRow* row;
  uint32_t offset;
};

// Smallest buffer EmbeddedFileReadLine may be given: 1023 characters, CR LF, NUL.
inline constexpr size_t kEmbeddedFileLineBuffer = 1025;

// The row a path names (see EmbeddedFileOpen), or null.
const EmbeddedFileRow* EmbeddedFileFind(const char* path);

// Finds a row whose name equals the path, or ends the path after a "/" or "\".
// Null when none matches or the reader cannot be allocated. Free with
// EmbeddedFileClose.
EmbeddedFile_t* EmbeddedFileOpen(const char* path);
void EmbeddedFileClose(EmbeddedFile_t* file);

// Copies the next line into buffer (at least kEmbeddedFileLineBuffer bytes):
// a line of up to 1023 characters comes with its LF turned into CR LF; a
// longer one is cut after 1023 characters and continues as the next line.
// Null at the end of the file or for a null argument.
char* EmbeddedFileReadLine(char* buffer, EmbeddedFile_t* file);

// Test seam: replaces the compiled-in table (null restores it). Every change
// bumps the generation so that caches built from the old files are dropped.
void EmbeddedFileSetTableForTest(const EmbeddedFileRow* rows);
const EmbeddedFileRow* EmbeddedFileActiveTable();
uint32_t EmbeddedFileTableGeneration();

}  // namespace tilo2::core
