#include "encoding/prn_model.h"

// Reply splitter and job-end tests of the reply table.
constinit const PrnReplySlots kPrnReplySlots = {};
