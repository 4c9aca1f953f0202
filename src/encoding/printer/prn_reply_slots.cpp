// The reply table of every model: slot 0 splits a printer's reply chunk into
// the remainder that the builder of the connection keeps from call to call;
// slot 1 tells which packet answers the job trailer.

#include "encoding/printer/prn_cmd.h"
#include "encoding/printer/prn_model.h"
#include "encoding/reply/reply_splitter.h"

namespace tilo2::core {

int PrnSplitReply(PrnCmdHandle_t* builder, const uint8_t* bytes, uint32_t length,
                  PrnReplyHandler handler, void* user) {
  if (!PrnCmdValid(builder) || bytes == nullptr) return 1;
  return PrnSplitReplyStream(&builder->replyRemainder, bytes, length, handler, user);
}

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

// Reply splitter and job-end tests of the reply table.
constinit const PrnReplySlots kPrnReplySlots = {
    PrnSplitReply,
    PrnIsJobEndReply,
    PrnIsJobEndReplyImpact,
};

}  // namespace tilo2::core
