#pragma once
// Built data: one contiguous block made from a builder's header, body and
// trailer, handed to the connection for writing.

#include <cstdint>

#include "encoding/builder/cmd_buffer.h"

namespace tilo2::core {

struct CmdData_t {
  uint32_t size;  // own record size
  uint32_t tag;   // "DATH"
  uint8_t* data;  // owned; null for an empty job
  uint32_t length;
};

// 0; 1 for a null argument; 3 when memory runs out or the summed sizes
// overflow. An empty body gives a record with no data and length 0.
int CmdDataCreate(const CmdBuffer_t* buffer, CmdData_t** out);
// 1 when the handle check fails or out is null.
int CmdDataGetData(const CmdData_t* data, const uint8_t** out);
int CmdDataGetLength(const CmdData_t* data, uint32_t* out);
// 1 when the handle check fails; else clears the tag and frees everything.
int CmdDataFree(CmdData_t* data);
// A copy with its own bytes; null when the source has no bytes, fails its
// check, or memory runs out.
CmdData_t* CmdDataDuplicate(const CmdData_t* data);

}  // namespace tilo2::core
