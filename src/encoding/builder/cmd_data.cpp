#include "encoding/builder/cmd_data.h"

#include <cstdlib>
#include <cstring>

#include "encoding/alloc_hook.h"
#include "encoding/builder/cmd_handle.h"

namespace tilo2::core {

namespace {

CmdData_t* NewRecord() {
  auto* d = static_cast<CmdData_t*>(EncodingAlloc(sizeof(CmdData_t)));
  if (d != nullptr) {
    *d = CmdData_t{};
    d->size = sizeof(CmdData_t);
    d->tag = kCmdDataTag;
  }
  return d;
}

}  // namespace

int CmdDataCreate(const CmdBuffer_t* buffer, CmdData_t** out) {
  if (buffer == nullptr || out == nullptr) return 1;
  uint64_t total = 0;
  if (buffer->bodyBytes != 0) {
    total = uint64_t(uint32_t(buffer->headerBytes)) + uint32_t(buffer->bodyBytes) +
            uint32_t(buffer->trailerBytes);
    // The length field is 32 bits: a job that does not fit is refused.
    if (buffer->headerBytes < 0 || buffer->bodyBytes < 0 || buffer->trailerBytes < 0 ||
        total > UINT32_MAX) {
      return 3;
    }
  }
  CmdData_t* d = NewRecord();
  if (d == nullptr) return 3;
  if (total != 0) {
    d->data = static_cast<uint8_t*>(EncodingAlloc(size_t(total)));
    uint32_t written = 0;
    if (d->data == nullptr || CmdBufferFlatten(buffer, d->data, uint32_t(total), &written) != 0) {
      CmdDataFree(d);
      return 3;
    }
    d->length = written;
  }
  *out = d;
  return 0;
}

int CmdDataGetData(const CmdData_t* data, const uint8_t** out) {
  if (!CmdHandleValid(data, kCmdDataTag) || out == nullptr) return 1;
  *out = data->data;
  return 0;
}

int CmdDataGetLength(const CmdData_t* data, uint32_t* out) {
  if (!CmdHandleValid(data, kCmdDataTag) || out == nullptr) return 1;
  *out = data->length;
  return 0;
}

int CmdDataFree(CmdData_t* data) {
  if (!CmdHandleValid(data, kCmdDataTag)) return 1;
  data->tag = 0;
  std::free(data->data);
  std::free(data);
  return 0;
}

CmdData_t* CmdDataDuplicate(const CmdData_t* data) {
  if (!CmdHandleValid(data, kCmdDataTag) || data->data == nullptr || data->length == 0) {
    return nullptr;
  }
  CmdData_t* d = NewRecord();
  if (d == nullptr) return nullptr;
  d->data = static_cast<uint8_t*>(EncodingAlloc(data->length));
  if (d->data == nullptr) {
    CmdDataFree(d);
    return nullptr;
  }
  std::memcpy(d->data, data->data, data->length);
  d->length = data->length;
  return d;
}

}  // namespace tilo2::core
