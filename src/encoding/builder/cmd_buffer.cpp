#include "encoding/builder/cmd_buffer.h"

#include <cstdlib>
#include <cstring>

#include "encoding/alloc_hook.h"

namespace tilo2::core {

namespace {

struct ListRef {
  int32_t& bytes;
  CmdChunk_t*& first;
  CmdChunk_t*& last;
};

ListRef HeaderList(CmdBuffer_t* b) { return {b->headerBytes, b->header, b->headerLast}; }
ListRef BodyList(CmdBuffer_t* b) { return {b->bodyBytes, b->body, b->bodyLast}; }
ListRef TrailerList(CmdBuffer_t* b) { return {b->trailerBytes, b->trailer, b->trailerLast}; }

int Append(ListRef list, uint8_t* data, int size) {
  // A list byte count is an int32: refuse a chunk that would wrap it.
  if (data == nullptr || size <= 0 || size > INT32_MAX - list.bytes) return 1;
  auto* chunk = static_cast<CmdChunk_t*>(EncodingAlloc(sizeof(CmdChunk_t)));
  if (chunk == nullptr) return 3;
  *chunk = CmdChunk_t{data, size, nullptr};
  if (list.last != nullptr) {
    list.last->next = chunk;
  } else {
    list.first = chunk;
  }
  list.last = chunk;
  list.bytes += size;
  return 0;
}

void Clear(ListRef list) {
  CmdChunk_t* c = list.first;
  while (c != nullptr) {
    CmdChunk_t* next = c->next;
    std::free(c->data);
    std::free(c);
    c = next;
  }
  list.first = nullptr;
  list.last = nullptr;
  list.bytes = 0;
}

int CopyList(ListRef dst, const CmdChunk_t* src) {
  for (; src != nullptr; src = src->next) {
    auto* block = static_cast<uint8_t*>(EncodingAlloc(size_t(src->size)));
    if (block == nullptr) return 3;
    std::memcpy(block, src->data, size_t(src->size));
    if (int rc = Append(dst, block, src->size); rc != 0) {
      std::free(block);
      return 3;
    }
  }
  return 0;
}

// Copies one list; false when a chunk does not fit the remaining capacity.
bool FlattenList(const CmdChunk_t* c, uint8_t* dst, uint32_t capacity, uint32_t& pos) {
  for (; c != nullptr; c = c->next) {
    if (uint32_t(c->size) > capacity - pos) return false;
    std::memcpy(dst + pos, c->data, size_t(c->size));
    pos += uint32_t(c->size);
  }
  return true;
}

}  // namespace

int CmdBufferAppendBody(CmdBuffer_t* buffer, uint8_t* data, int size) {
  return buffer == nullptr ? 1 : Append(BodyList(buffer), data, size);
}

int CmdBufferAppendHeader(CmdBuffer_t* buffer, uint8_t* data, int size) {
  return buffer == nullptr ? 1 : Append(HeaderList(buffer), data, size);
}

int CmdBufferAppendTrailer(CmdBuffer_t* buffer, uint8_t* data, int size) {
  return buffer == nullptr ? 1 : Append(TrailerList(buffer), data, size);
}

int CmdBufferAppendCopy(CmdBuffer_t* buffer, CmdAppendFn append, const uint8_t* bytes, int size) {
  if (buffer == nullptr || append == nullptr || bytes == nullptr || size <= 0) return 1;
  auto* block = static_cast<uint8_t*>(EncodingAlloc(size_t(size)));
  if (block == nullptr) return 3;
  std::memcpy(block, bytes, size_t(size));
  return CmdBufferAppendOwned(buffer, append, block, size);
}

int CmdBufferAppendOwned(CmdBuffer_t* buffer, CmdAppendFn append, uint8_t* block, int size) {
  if (block == nullptr || size <= 0) {
    std::free(block);
    return 0;
  }
  const int rc = buffer == nullptr || append == nullptr ? 1 : append(buffer, block, size);
  if (rc != 0) std::free(block);
  return rc;
}

int CmdBufferClearHeader(CmdBuffer_t* buffer) {
  if (buffer == nullptr) return 1;
  Clear(HeaderList(buffer));
  return 0;
}

int CmdBufferClearBody(CmdBuffer_t* buffer) {
  if (buffer == nullptr) return 1;
  Clear(BodyList(buffer));
  return 0;
}

int CmdBufferClearTrailer(CmdBuffer_t* buffer) {
  if (buffer == nullptr) return 1;
  Clear(TrailerList(buffer));
  return 0;
}

void CmdBufferFree(CmdBuffer_t* buffer) {
  CmdBufferClearHeader(buffer);
  CmdBufferClearBody(buffer);
  CmdBufferClearTrailer(buffer);
}

int CmdBufferCopy(CmdBuffer_t* dst, const CmdBuffer_t* src) {
  if (dst == nullptr || src == nullptr) return 1;
  *dst = CmdBuffer_t{};
  if (CopyList(HeaderList(dst), src->header) != 0 || CopyList(BodyList(dst), src->body) != 0 ||
      CopyList(TrailerList(dst), src->trailer) != 0) {
    CmdBufferFree(dst);
    return 3;
  }
  return 0;
}

int CmdBufferFlatten(const CmdBuffer_t* buffer, uint8_t* destination, uint32_t capacity,
                     uint32_t* written) {
  if (buffer == nullptr || destination == nullptr || capacity == 0 || written == nullptr) return 1;
  uint32_t pos = 0;
  const bool framed = buffer->bodyBytes != 0;
  bool ok = (!framed || FlattenList(buffer->header, destination, capacity, pos)) &&
            FlattenList(buffer->body, destination, capacity, pos) &&
            (!framed || FlattenList(buffer->trailer, destination, capacity, pos));
  *written = pos;
  return ok ? 0 : 3;
}

}  // namespace tilo2::core
