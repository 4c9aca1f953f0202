// Reply table slot 0: splits a printer's reply chunk into the remainder that
// the builder of the connection keeps from call to call.

#include "encoding/prn_cmd.h"
#include "encoding/reply_splitter.h"

int PrnSplitReply(PrnCmdHandle_t* builder, const uint8_t* bytes, uint32_t length,
                  PrnReplyHandler handler, void* user) {
  if (!PrnCmdValid(builder) || bytes == nullptr) return 1;
  return PrnSplitReplyStream(&builder->replyRemainder, bytes, length, handler, user);
}
