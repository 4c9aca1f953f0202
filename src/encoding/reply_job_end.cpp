// Job-end tests of the reply table: which packet answers the job trailer.

#include "encoding/reply_splitter.h"

int PrnIsJobEndReply(PrnCmdHandle_t* /*builder*/, int kind, const uint8_t* bytes, uint32_t length,
                     int* isEnd) {
  if (bytes == nullptr || isEnd == nullptr) return 1;
  // "7" 22h d1 d2 d3 d4 00h answers the trailer's job id request.
  *isEnd = (kind == kPrnReplySeven && length == 7 && bytes[1] == 0x22) ? 1 : 0;
  return 0;
}

int PrnIsJobEndReplyImpact(PrnCmdHandle_t* /*builder*/, int kind, const uint8_t* /*bytes*/,
                           uint32_t /*length*/, int* isEnd) {
  if (isEnd == nullptr) return 1;
  *isEnd = kind == kPrnReplyStatusByte ? 1 : 0;
  return 0;
}
