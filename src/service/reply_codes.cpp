#include "service/reply_codes.h"

#include <cstring>
#include <iterator>

namespace tilo2::core {

namespace {

struct TextRow {
  const char* text;
  int32_t code;
};

// Every text belongs to one code only, so the order of the rows does not
// change the outcome. "OK" and "SUCCESS" need no row: what is not found is 0.
constexpr TextRow kReplyTexts[] = {
    {"PARAM_ERROR", 1},
    {"PARAMETER_ERROR", 1},
    {"EX_INVALID_VALUE", 1},
    {"ERROR_PARAMETER", 1},
    {"EX_TIMEOUT", 2},
    {"ERROR_TIMEOUT", 2},
    {"FUNCTION_NOT_FOUND", 3},
    {"SchemaError", 4},
    {"TDSP_SCHEMA_ERROR", 4},
    {"SYSTEM_ERROR", 5},
    {"TDSP_SYSTEM_ERROR", 5},
    {"PrintSystemError", 5},
    {"SEND_ERROR", 6},
    {"EX_BADPORT", 7},
    {"CLIENT_NOT_FOUND", 8},
    {"ALREADY_OPENED", 9},
    {"BOX_CLIENT_OVER", 10},
    {"BOX_COUNT_OVER", 11},
    {"MEMBERID_ALREADY_USED", 12},
    {"MEMBER_NOT_FOUND", 13},
    {"NOT_OPENED", 14},
    {"DEVICE_CLOSE_ERROR", 15},
    {"DRIVER_ERROR", 16},
    {"DEVICE_IN_USE", 17},
    {"DEVICE_NOT_FOUND", 18},
    {"TDSP_NOT_FOUND", 18},
    {"DeviceNotFound", 18},
    {"ERROR_DEVICE_NOT_FOUND", 18},
    {"DEVICE_NOT_OPEN", 19},
    {"TDSP_NOT_OPEN", 19},
    {"DEVICE_OPEN_ERROR", 20},
    {"DEVICE_TYPE_INVALID", 21},
    {"TDSP_INVALID_WINDOW", 22},
    {"TPTR_AUTOMATICAL", 23},
    {"ERROR_AUTOMATICAL", 23},
    {"TPTR_COVER_OPEN", 24},
    {"ERROR_COVER_OPEN", 24},
    {"TMICR_COVER_OPEN", 24},
    {"TPTR_CUTTER", 25},
    {"TPTR_MECHANICAL", 26},
    {"TPTR_REC_EMPTY", 27},
    {"TPTR_UNRECOVERABLE", 28},
    {"ERROR_UNRECOVERABLE", 28},
    {"JobNotFound", 29},
    {"Printing", 30},
    {"EX_SPOOLER", 31},
    {"TPTR_BATTERY_LOW", 32},
    {"TooManyRequests", 33},
    {"RequestEntityTooLarge", 34},
    {"CANCEL", 36},
    {"ERROR_CANCEL_FAILED", 37},
    {"TMICR_NO_MICR", 38},
    {"TMICR_ILLEGAL_LENGTH", 39},
    {"TMICR_RECOGNITION", 40},
    {"TMICR_READ", 41},
    {"TMICR_NOISE_DETECTED", 42},
    {"TMICR_PAPER_JAM", 43},
    {"TPTR_PAPER_PULLED_OUT", 44},
    {"TMICR_PAPER_PULLED_OUT", 44},
    {"ERROR_NOT_SUPPORTED", 45},
    {"ERROR_COMMAND", 46},
    {"ERROR_WAIT_EJECT", 47},
    {"TPTR_SCHEMAERROR", 48},
    {"ERROR_DEVICE_BUSY", 49},
    {"EX_KDPX_TIMEOUT", 50},
};

// Indexed by reply code 0..50.
constexpr int32_t kReplyToResult[kTdevReplyCodeCount] = {
    0,    // 0 OK
    1,    // 1 parameter error
    3,    // 2 timeout
    255,  // 3 function not found
    255,  // 4 schema error
    19,   // 5 system error
    255,  // 6 send error
    20,   // 7 bad port
    6,    // 8 client not found
    22,   // 9 already opened
    25,   // 10 box client over
    24,   // 11 box count over
    23,   // 12 member id already used
    6,    // 13 member not found
    10,   // 14 not opened
    11,   // 15 device close error
    255,  // 16 driver error
    8,    // 17 device in use
    6,    // 18 device not found
    10,   // 19 device not open
    9,    // 20 device open error
    7,    // 21 device type invalid
    21,   // 22 invalid window
    13,   // 23 automatic recovery
    14,   // 24 cover open
    15,   // 25 cutter
    16,   // 26 mechanical
    17,   // 27 receipt paper end
    18,   // 28 unrecoverable
    26,   // 29 job not found
    27,   // 30 printing
    28,   // 31 spooler
    29,   // 32 battery low
    30,   // 33 too many requests
    31,   // 34 request entity too large
    255,  // 35 failed without a code
    32,   // 36 cancel
    41,   // 37 cancel failed
    33,   // 38 no MICR data
    34,   // 39 illegal length
    36,   // 40 recognition
    37,   // 41 read
    38,   // 42 noise detected
    39,   // 43 paper jam
    40,   // 44 paper pulled out
    255,  // 45 not supported
    255,  // 46 command error
    255,  // 47 waiting for eject
    255,  // 48 printer schema error
    46,   // 49 device busy
    47,   // 50 the service timed out towards the device
};

struct Pair {
  int32_t from;
  int32_t to;
};

constexpr Pair kChannelToResult[] = {{0, 0},  {1, 1}, {3, 4}, {4, 3},
                                     {5, 12}, {6, 5}, {7, 2}, {8, 255}};
constexpr Pair kBuilderToResult[] = {{0, 0}, {1, 1}, {3, 12}};
constexpr Pair kSocketToChannel[] = {{0, 0}, {-1, 1}, {-2, 4}, {-4, 5}, {-999, 8}};
constexpr Pair kSocketToHttp[] = {{1, -2}, {-1, -999}, {-2, -2}, {-3, -3}, {-4, -4}, {-999, -999}};
constexpr Pair kHttpToChannel[] = {{0, 0}, {-1, 1}, {-2, 4}, {-4, 5}, {-5, 6}, {-999, 8}};

template <size_t N>
int32_t Lookup(const Pair (&table)[N], int32_t from, int32_t missing) {
  for (const Pair& row : table) {
    if (row.from == from) return row.to;
  }
  return missing;
}

}  // namespace

int32_t TdevReplyCodeFromString(const char* text) {
  if (text == nullptr) return TDEV_REPLY_OK;
  for (const TextRow& row : kReplyTexts) {
    if (std::strcmp(row.text, text) == 0) return row.code;
  }
  return TDEV_REPLY_OK;
}

int32_t TdevReplyCodeToResult(int32_t replyCode) {
  if (replyCode < 0 || replyCode >= kTdevReplyCodeCount) return TDEV_ERR_FAILURE;
  return kReplyToResult[replyCode];
}

int32_t TdevChannelResultToResult(int32_t channelCode, int32_t noRow) {
  return Lookup(kChannelToResult, channelCode, noRow);
}

int32_t TdevBuilderResultToResult(int32_t builderResult) {
  return Lookup(kBuilderToResult, builderResult, TDEV_ERR_FAILURE);
}

int32_t TdevChannelResult(int32_t socketResult) {
  return Lookup(kSocketToChannel, socketResult, TDEV_CHANNEL_FAILED);
}

int32_t TdevHttpRequestResult(int32_t socketResult) {
  return Lookup(kSocketToHttp, socketResult, TDEV_HTTP_OTHER);
}

int32_t TdevHttpResultToChannelCode(int32_t httpResult, int32_t noRow) {
  return Lookup(kHttpToChannel, httpResult, noRow);
}

}  // namespace tilo2::core
