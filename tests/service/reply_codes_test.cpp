#include "service/reply_codes.h"

#include <gtest/gtest.h>

#include <string>

namespace tilo2::core {
namespace {

TEST(ReplyCodes, EveryTextReadsAsItsCode) {
  const struct {
    const char* text;
    int32_t code;
  } rows[] = {
      {"OK", 0},
      {"SUCCESS", 0},
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
  for (const auto& row : rows) EXPECT_EQ(TdevReplyCodeFromString(row.text), row.code) << row.text;
}

// Texts are compared exactly: near misses fall through to 0 like any unknown
// text, however close they are to a listed one.
TEST(ReplyCodes, NearMissesAndMissingTextsReadAsSuccess) {
  const char* texts[] = {"ok",
                         "Success",
                         "success",
                         "",
                         " OK",
                         "OK ",
                         "cancel",
                         "Cancel",
                         "schemaerror",
                         "SCHEMAERROR",
                         "TPTR_SCHEMA_ERROR",  // the printer's text has no underscore
                         "DEVICE_NOT_FOUND ",
                         "devicenotfound",
                         "TDSP_COVER_OPEN",
                         "PRINTING",
                         "EX_KDPX_TIMEOUT\n",
                         "35"};
  for (const char* text : texts) EXPECT_EQ(TdevReplyCodeFromString(text), 0) << '"' << text << '"';
  EXPECT_EQ(TdevReplyCodeFromString(nullptr), 0);
}

TEST(ReplyCodes, ReplyCodeToResultCoversEveryCode) {
  const int32_t expected[kTdevReplyCodeCount] = {
      0,  1,   3,  255, 255, 19, 255, 20, 6,  22, 25, 24,  23,  6,   10,  11, 255,
      8,  6,   10, 9,   7,   21, 13,  14, 15, 16, 17, 18,  26,  27,  28,  29, 30,
      31, 255, 32, 41,  33,  34, 36,  37, 38, 39, 40, 255, 255, 255, 255, 46, 47};
  for (int32_t code = 0; code < kTdevReplyCodeCount; ++code) {
    EXPECT_EQ(TdevReplyCodeToResult(code), expected[code]) << "reply code " << code;
  }
  for (int32_t outside : {-1, 51, 255, 1000}) {
    EXPECT_EQ(TdevReplyCodeToResult(outside), 255) << outside;
  }
}

// From the service's text to what the device API layer sees, with the pairs
// whose names invite a swap.
TEST(ReplyCodes, TextsReachTheirResults) {
  const struct {
    const char* text;
    int32_t result;
  } rows[] = {
      {"TPTR_COVER_OPEN", 14},
      {"EX_KDPX_TIMEOUT", 47},
      {"ERROR_DEVICE_BUSY", 46},
      {"DRIVER_ERROR", 255},
      {"BOX_CLIENT_OVER", 25},  // code 10, result 25
      {"BOX_COUNT_OVER", 24},   // code 11, result 24
      {"CANCEL", 32},
      {"ERROR_CANCEL_FAILED", 41},
      {"SchemaError", 255},
      {"TPTR_SCHEMAERROR", 255},
      {"FUNCTION_NOT_FOUND", 255},
      {"CLIENT_NOT_FOUND", 6},
      {"MEMBER_NOT_FOUND", 6},
      {"TDSP_NOT_FOUND", 6},
      {"NOT_OPENED", 10},
      {"TDSP_NOT_OPEN", 10},
      {"ALREADY_OPENED", 22},
      {"DEVICE_IN_USE", 8},
      {"EX_TIMEOUT", 3},
      {"PrintSystemError", 19},
      {"TMICR_RECOGNITION", 36},
      {"Success", 0},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(TdevReplyCodeToResult(TdevReplyCodeFromString(row.text)), row.result) << row.text;
  }
  EXPECT_EQ(TdevReplyCodeToResult(TDEV_REPLY_FAILED_WITHOUT_CODE), 255);
}

struct Pair {
  int32_t from;
  int32_t to;
};

TEST(ReplyCodes, ChannelCodesToResults) {
  // Timeout and not connected are each other's reverse across the two sets.
  const Pair rows[] = {{0, 0}, {1, 1}, {3, 4}, {4, 3}, {5, 12}, {6, 5}, {7, 2}, {8, 255}};
  for (const auto& row : rows) {
    EXPECT_EQ(TdevChannelResultToResult(row.from, -77), row.to) << row.from;
  }
  // No row: the caller's own value stands.
  for (int32_t missing : {2, 9, -1, 255}) {
    EXPECT_EQ(TdevChannelResultToResult(missing, -77), -77) << missing;
    EXPECT_EQ(TdevChannelResultToResult(missing, 0), 0) << missing;
  }
}

TEST(ReplyCodes, SocketAndHttpTables) {
  // A channel's connect that timed out reaches the app as 3, a refused one as 255.
  EXPECT_EQ(TdevChannelResultToResult(TdevChannelResult(TDEV_SOCKET_TIMEOUT), -1), 3);
  EXPECT_EQ(TdevChannelResultToResult(TdevChannelResult(TDEV_SOCKET_REFUSED), -1), 255);

  const Pair toChannel[] = {{0, 0},  {-1, 1}, {-2, 4}, {-4, 5}, {-999, 8},
                            {-3, 8}, {-6, 8}, {1, 8},  {-5, 8}, {42, 8}};
  for (const auto& row : toChannel) EXPECT_EQ(TdevChannelResult(row.from), row.to) << row.from;

  const Pair toHttp[] = {{1, -2},      {-1, -999}, {-2, -2},   {-3, -3},  {-4, -4},
                         {-999, -999}, {0, -999},  {-6, -999}, {77, -999}};
  for (const auto& row : toHttp) EXPECT_EQ(TdevHttpRequestResult(row.from), row.to) << row.from;

  const Pair httpToChannel[] = {{0, 0}, {-1, 1}, {-2, 4}, {-4, 5}, {-5, 6}, {-999, 8}};
  for (const auto& row : httpToChannel) {
    EXPECT_EQ(TdevHttpResultToChannelCode(row.from, 8), row.to) << row.from;
  }
  for (int32_t missing : {1, -3, -6, 12}) {
    EXPECT_EQ(TdevHttpResultToChannelCode(missing, 8), 8) << missing;
    EXPECT_EQ(TdevHttpResultToChannelCode(missing, -1), -1) << missing;
  }

  const Pair builder[] = {{0, 0}, {1, 1}, {3, 12}, {2, 255}, {4, 255}, {-1, 255}};
  for (const auto& row : builder)
    EXPECT_EQ(TdevBuilderResultToResult(row.from), row.to) << row.from;
}

}  // namespace
}  // namespace tilo2::core
