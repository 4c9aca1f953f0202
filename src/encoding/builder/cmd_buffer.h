#pragma once
// The three-part output of a command builder: header, body and trailer, each
// a list of chunks in append order. Header and trailer frame the body and are
// emitted only when the body is not empty.
//
// Chunk data is allocated with std::malloc; once appended, the buffer owns it
// and releases it with std::free. A failed append leaves ownership with the
// caller.

#include <cstdint>

namespace tilo2::core {

struct CmdChunk_t {
  uint8_t* data;  // owned
  int32_t size;
  CmdChunk_t* next;
};

struct CmdBuffer_t {
  int32_t headerBytes;  // sum of the chunk sizes of each list
  int32_t bodyBytes;
  int32_t trailerBytes;
  CmdChunk_t* header;  // first chunk of each list; null when empty
  CmdChunk_t* body;
  CmdChunk_t* trailer;
  // Last chunk of each list, so appending never walks the list.
  CmdChunk_t* headerLast;
  CmdChunk_t* bodyLast;
  CmdChunk_t* trailerLast;
};

// Append callback given to header and trailer generators.
using CmdAppendFn = int (*)(CmdBuffer_t* buffer, uint8_t* data, int size);

// 0; 1 when buffer or data is null or size is not positive; 3 when the chunk
// record cannot be allocated. On success the buffer owns data.
int CmdBufferAppendBody(CmdBuffer_t* buffer, uint8_t* data, int size);
int CmdBufferAppendHeader(CmdBuffer_t* buffer, uint8_t* data, int size);
int CmdBufferAppendTrailer(CmdBuffer_t* buffer, uint8_t* data, int size);

// Copies size bytes into a new block and appends it through append; the block
// is freed when the append fails. 0, 1, 3 or the append's failure.
int CmdBufferAppendCopy(CmdBuffer_t* buffer, CmdAppendFn append, const uint8_t* bytes, int size);

// Appends a std::malloc block the caller made (an encoded text) through
// append, which takes it over; the block is freed when the append fails. A
// null block or a size of 0 is nothing to append and answers 0.
int CmdBufferAppendOwned(CmdBuffer_t* buffer, CmdAppendFn append, uint8_t* block, int size);

// Free one list's chunks and data; 1 for a null buffer.
int CmdBufferClearHeader(CmdBuffer_t* buffer);
int CmdBufferClearBody(CmdBuffer_t* buffer);
int CmdBufferClearTrailer(CmdBuffer_t* buffer);
// All three lists.
void CmdBufferFree(CmdBuffer_t* buffer);

// Chunk-by-chunk copy of all three lists into an empty dst. 0, 1, 3; on
// failure dst is left empty.
int CmdBufferCopy(CmdBuffer_t* dst, const CmdBuffer_t* src);

// Copies header (only with a non-empty body), body, trailer (only with a
// non-empty body) into destination. 0; 1 for a null argument or zero
// capacity; 3 when a chunk does not fit (written holds the bytes copied).
int CmdBufferFlatten(const CmdBuffer_t* buffer, uint8_t* destination, uint32_t capacity,
                     uint32_t* written);

}  // namespace tilo2::core
