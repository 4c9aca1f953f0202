#pragma once
// The codes of the device-service client and the tables between them: the
// service's reply-code texts (TdevReplyCode), the client's result of every
// entry point and callback (TdevResult), the socket layer's and the channel's
// own small codes, and the HTTP client's. Every translation is a search of a
// small constant table; a value without a row gets the default named with the
// function.

#include <cstdint>

namespace tilo2::core {

// ---- The service's reply codes ----------------------------------------------
enum TdevReplyCode : int32_t {
  TDEV_REPLY_OK = 0,  // "OK", "SUCCESS" and every text not listed
  TDEV_REPLY_PARAM_ERROR = 1,
  TDEV_REPLY_TIMEOUT = 2,
  TDEV_REPLY_FUNCTION_NOT_FOUND = 3,
  TDEV_REPLY_SCHEMA_ERROR = 4,
  TDEV_REPLY_SYSTEM_ERROR = 5,
  TDEV_REPLY_SEND_ERROR = 6,
  TDEV_REPLY_BADPORT = 7,
  TDEV_REPLY_CLIENT_NOT_FOUND = 8,
  TDEV_REPLY_ALREADY_OPENED = 9,
  TDEV_REPLY_BOX_CLIENT_OVER = 10,
  TDEV_REPLY_BOX_COUNT_OVER = 11,
  TDEV_REPLY_MEMBERID_ALREADY_USED = 12,
  TDEV_REPLY_MEMBER_NOT_FOUND = 13,
  TDEV_REPLY_NOT_OPENED = 14,
  TDEV_REPLY_DEVICE_CLOSE_ERROR = 15,
  TDEV_REPLY_DRIVER_ERROR = 16,
  TDEV_REPLY_DEVICE_IN_USE = 17,
  TDEV_REPLY_DEVICE_NOT_FOUND = 18,
  TDEV_REPLY_DEVICE_NOT_OPEN = 19,
  TDEV_REPLY_DEVICE_OPEN_ERROR = 20,
  TDEV_REPLY_DEVICE_TYPE_INVALID = 21,
  TDEV_REPLY_INVALID_WINDOW = 22,
  TDEV_REPLY_AUTOMATICAL = 23,
  TDEV_REPLY_COVER_OPEN = 24,
  TDEV_REPLY_CUTTER = 25,
  TDEV_REPLY_MECHANICAL = 26,
  TDEV_REPLY_REC_EMPTY = 27,
  TDEV_REPLY_UNRECOVERABLE = 28,
  TDEV_REPLY_JOB_NOT_FOUND = 29,
  TDEV_REPLY_PRINTING = 30,
  TDEV_REPLY_SPOOLER = 31,
  TDEV_REPLY_BATTERY_LOW = 32,
  TDEV_REPLY_TOO_MANY_REQUESTS = 33,
  TDEV_REPLY_ENTITY_TOO_LARGE = 34,
  TDEV_REPLY_FAILED_WITHOUT_CODE = 35,  // no text: success false with a code that reads as 0
  TDEV_REPLY_CANCEL = 36,
  TDEV_REPLY_CANCEL_FAILED = 37,
  TDEV_REPLY_NO_MICR = 38,
  TDEV_REPLY_ILLEGAL_LENGTH = 39,
  TDEV_REPLY_RECOGNITION = 40,
  TDEV_REPLY_READ = 41,
  TDEV_REPLY_NOISE_DETECTED = 42,
  TDEV_REPLY_PAPER_JAM = 43,
  TDEV_REPLY_PAPER_PULLED_OUT = 44,
  TDEV_REPLY_NOT_SUPPORTED = 45,
  TDEV_REPLY_COMMAND = 46,
  TDEV_REPLY_WAIT_EJECT = 47,
  TDEV_REPLY_PTR_SCHEMA_ERROR = 48,
  TDEV_REPLY_DEVICE_BUSY = 49,
  TDEV_REPLY_KDPX_TIMEOUT = 50,
};
inline constexpr int32_t kTdevReplyCodeCount = 51;

// ---- The client's result ------------------------------------------------------
enum TdevResult : int32_t {
  TDEV_OK = 0,
  TDEV_ERR_PARAM = 1,
  TDEV_ERR_BUSY = 2,  // the connection's send lock was held
  TDEV_ERR_TIMEOUT = 3,
  TDEV_ERR_NOT_CONNECTED = 4,
  TDEV_ERR_ILLEGAL = 5,  // wrong state
  TDEV_ERR_NOT_FOUND = 6,
  TDEV_ERR_TYPE_INVALID = 7,
  TDEV_ERR_IN_USE = 8,
  TDEV_ERR_OPEN = 9,
  TDEV_ERR_NOT_OPEN = 10,
  TDEV_ERR_CLOSE = 11,
  TDEV_ERR_MEMORY = 12,
  TDEV_ERR_AUTORECOVER = 13,
  TDEV_ERR_COVER_OPEN = 14,
  TDEV_ERR_CUTTER = 15,
  TDEV_ERR_MECHANICAL = 16,
  TDEV_ERR_EMPTY = 17,
  TDEV_ERR_UNRECOVERABLE = 18,
  TDEV_ERR_SYSTEM = 19,
  TDEV_ERR_PORT = 20,
  TDEV_ERR_INVALID_WINDOW = 21,
  TDEV_ERR_ALREADY_OPENED = 22,
  TDEV_ERR_MEMBERID_USED = 23,
  TDEV_ERR_BOX_COUNT_OVER = 24,
  TDEV_ERR_BOX_CLIENT_OVER = 25,
  TDEV_ERR_JOB_NOT_FOUND = 26,
  TDEV_ERR_PRINTING = 27,
  TDEV_ERR_SPOOLER = 28,
  TDEV_ERR_BATTERY_LOW = 29,
  TDEV_ERR_TOO_MANY_REQUESTS = 30,
  TDEV_ERR_ENTITY_TOO_LARGE = 31,
  TDEV_ERR_CANCELED = 32,
  TDEV_ERR_NO_MICR = 33,
  TDEV_ERR_ILLEGAL_LENGTH = 34,
  TDEV_ERR_UNUSED_35 = 35,  // no reply code gives it
  TDEV_ERR_RECOGNITION = 36,
  TDEV_ERR_READ = 37,
  TDEV_ERR_NOISE_DETECTED = 38,
  TDEV_ERR_PAPER_JAM = 39,
  TDEV_ERR_PAPER_PULLED_OUT = 40,
  TDEV_ERR_CANCEL_FAILED = 41,
  TDEV_ERR_PAPER_TYPE = 42,
  TDEV_ERR_WAIT_INSERTION = 43,
  TDEV_ERR_INSERTED = 44,
  TDEV_ERR_WAIT_REMOVAL = 45,
  TDEV_ERR_DEVICE_BUSY = 46,
  TDEV_ERR_SERVICE_TIMEOUT = 47,  // the service timed out towards the device
  TDEV_ERR_FAILURE = 255,
};

// ---- Socket layer, channel and HTTP codes ------------------------------------------
enum TdevSocketResult : int32_t {
  TDEV_SOCKET_OK = 0,
  TDEV_SOCKET_IN_PROGRESS = 1,  // would block; never returned to a channel caller
  TDEV_SOCKET_PARAM = -1,
  TDEV_SOCKET_TIMEOUT = -2,
  TDEV_SOCKET_IO = -3,  // I/O, unusable address, TLS refused, peer closed
  TDEV_SOCKET_RESOURCES = -4,
  TDEV_SOCKET_REFUSED = -6,  // connection refused or access denied
  TDEV_SOCKET_OTHER = -999,
};

enum TdevChannelCode : int32_t {
  TDEV_CHANNEL_OK = 0,
  TDEV_CHANNEL_PARAM = 1,
  TDEV_CHANNEL_NOT_CONNECTED = 3,
  TDEV_CHANNEL_TIMEOUT = 4,
  TDEV_CHANNEL_RESOURCES = 5,
  TDEV_CHANNEL_STATE = 6,      // only ever from an HTTP result
  TDEV_CHANNEL_SELF_JOIN = 7,  // join called on the receive thread itself
  TDEV_CHANNEL_FAILED = 8,
};

enum TdevHttpResult : int32_t {
  TDEV_HTTP_OK = 0,
  TDEV_HTTP_REDIRECT = 1,  // internal: the request is issued again over TLS
  TDEV_HTTP_PARAM = -1,    // bad argument or request line too long
  TDEV_HTTP_TIMEOUT = -2,
  TDEV_HTTP_IO = -3,
  TDEV_HTTP_RESOURCES = -4,
  TDEV_HTTP_STATE = -5,
  TDEV_HTTP_NO_BODY = -6,  // reply head without body
  TDEV_HTTP_OTHER = -999,
};

// ---- Translations -------------------------------------------------------------------
// The number of a reply-code text, compared exactly (case matters); null, empty
// and unknown texts give 0.
int32_t TdevReplyCodeFromString(const char* text);

// Reply code (0..50) to TdevResult; a number outside 0..50 gives 255.
int32_t TdevReplyCodeToResult(int32_t replyCode);

// TdevChannelCode to TdevResult: 0→0, 1→1, 3→4, 4→3, 5→12, 6→5, 7→2, 8→255.
// A code without a row (2, or anything unknown) gives noRow: callers keep the
// value of their own code.
int32_t TdevChannelResultToResult(int32_t channelCode, int32_t noRow);

// Builder result to TdevResult: 0→0, 1→1, 3→12, anything else 255.
int32_t TdevBuilderResultToResult(int32_t builderResult);

// TdevSocketResult to TdevChannelCode: 0→0, -1→1, -2→4, -4→5, everything else 8.
int32_t TdevChannelResult(int32_t socketResult);

// TdevSocketResult to TdevHttpResult: 1→-2, -2→-2, -3→-3, -4→-4, everything else -999.
int32_t TdevHttpRequestResult(int32_t socketResult);

// TdevHttpResult of a request start to TdevChannelCode: 0→0, -1→1, -2→4, -4→5,
// -5→6, -999→8; any other value gives noRow.
int32_t TdevHttpResultToChannelCode(int32_t httpResult, int32_t noRow);

}  // namespace tilo2::core
