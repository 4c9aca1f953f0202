#include "encoding/prn_model.h"
#include "encoding/reply_splitter.h"

// Reply splitter and job-end tests of the reply table.
constinit const PrnReplySlots kPrnReplySlots = {
    PrnSplitReply,
    PrnIsJobEndReply,
    PrnIsJobEndReplyImpact,
};
