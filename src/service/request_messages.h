#pragma once
// Builders of every message the device-service client sends, and of the
// command documents that print and display jobs are collected in. The bytes
// are fixed by the service, so XML is written by hand; no message carries its
// NUL terminator (the channel adds it when sending).
//
// Results of every routine here: 0 success; 1 missing argument, value out of
// range or empty data; 2 document kind not supported; 3 out of memory. On a
// failure nothing half-built is left: an element is composed in full before it
// is appended to a document body in one step, and a message builder's out
// parameter is only set on success.

#include <cstdint>
#include <string_view>

namespace tilo2::core {

enum TdevBuildResult : int {
  TDEV_BUILD_OK = 0,
  TDEV_BUILD_BAD_ARGUMENT = 1,
  TDEV_BUILD_UNSUPPORTED = 2,
  TDEV_BUILD_NO_MEMORY = 3,
};

// The growable byte buffer of every builder. Not NUL-terminated. Capacity
// grows geometrically, so a document built element by element costs linear
// time; the bytes are the same as with exact-size blocks.
struct TdevBuffer_t {
  uint8_t* data;     // null while nothing was ever appended
  int32_t length;    // bytes in use
  int32_t capacity;  // bytes allocated
};

TdevBuffer_t* TdevBufferCreate();  // null when memory runs out
// 1 for a missing buffer or source or a length of 0 (or below); 3 when memory
// runs out or the buffer would exceed INT32_MAX bytes. The buffer is unchanged
// on failure.
int TdevBufferAppend(TdevBuffer_t* buffer, const void* bytes, int32_t length);
void TdevBufferFree(TdevBuffer_t* buffer);      // null is fine
void TdevBufferRelease(TdevBuffer_t** buffer);  // frees and sets *buffer to null
// The buffer's bytes (empty for null).
std::string_view TdevBufferView(const TdevBuffer_t* buffer);

// "<name>escaped text</name>"; an empty text gives empty content; a missing
// name or text gives 1.
int TdevBufferAppendText(TdevBuffer_t* buffer, const char* name, const char* text);
// "<name>decimal</name>".
int TdevBufferAppendNumber(TdevBuffer_t* buffer, const char* name, int32_t value);
// Attribute with its leading blank in the name: " name" + "=" + quoted word
// (the word carries its own double quotes).
int TdevAttrAppend(TdevBuffer_t* head, const char* name, const char* quotedWord);
// " name" + "=\"decimal\"".
int TdevAttrAppendNumber(TdevBuffer_t* head, const char* name, int32_t value);
// Appends text escaped by the text rule: TAB "&#9;", LF "&#xA;", '"' "&quot;",
// '&' "&amp;", '\'' "&apos;", '<' "&lt;", '>' "&gt;"; every other byte copied.
// A length of 0 appends nothing and answers 0.
int TdevAppendEscaped(TdevBuffer_t* buffer, const char* text, int32_t length);

// ---- Command documents -----------------------------------------------------
enum TdevDocumentKind : int32_t {
  TDEV_DOC_PRINT = 0,         // printer
  TDEV_DOC_HYBRID_PRINT = 1,  // hybrid printer
  TDEV_DOC_DISPLAY = 2,       // line display
};

struct TdevDocument_t {
  int32_t kind;          // TdevDocumentKind
  TdevBuffer_t* header;  // <device_id>..</device_id><data><type>print|display</type>
  TdevBuffer_t* body;    // elements appended since the body was last cleared
};

// Kinds 0 to 2 are built; 3 to 5 (devices without documents) give 2; any other
// kind, a missing device id or out pointer give 1.
int TdevDocCreate(int32_t kind, const char* deviceId, TdevDocument_t** out);
void TdevDocFree(TdevDocument_t* document);  // null is fine
// Empties the body for the next job. A document left without a body gets a
// new empty one; 3 when that cannot be had (later appends then answer 1).
int TdevDocClearBody(TdevDocument_t* document);

// ---- Conversions -------------------------------------------------------------
// Two upper-case hex digits per byte, then a NUL: out holds 2 * count + 1.
void TdevBytesToHex(const uint8_t* bytes, int32_t count, char* out);
// Standard padded base64 in a new block (free with std::free), NUL-terminated;
// *outLength = 4 * ((count + 2) / 3). Null for count below 1 or above
// TDEV_MAX_RASTER_BYTES, or when memory runs out.
inline constexpr int32_t TDEV_MAX_RASTER_BYTES = 1610612729;
char* TdevBase64Encode(const uint8_t* bytes, int32_t count, int32_t* outLength);

// The namespace URIs of the two documents.
inline constexpr const char* TDEV_PRINT_NAMESPACE =
    "http://www.orvik.example/schemas/2011/03/tilo-print";
inline constexpr const char* TDEV_DISPLAY_NAMESPACE =
    "http://www.orvik.example/schemas/2012/09/tilo-display";

// ---- Message builders: *out receives a new buffer the caller frees -----------
int TdevMsgOpenDevice(int32_t deviceType, const char* deviceId, int32_t bufferFlag,
                      TdevBuffer_t** out);
int TdevMsgCloseDevice(const char* deviceId, TdevBuffer_t** out);
int TdevMsgDisconnect(const char* clientId, TdevBuffer_t** out);
int TdevMsgAdminInfo(TdevBuffer_t** out);
int TdevMsgReconnect(const char* newClientId, const char* oldClientId, int32_t receivedId,
                     TdevBuffer_t** out);

int TdevMsgOpenCommBox(const char* boxId, const char* memberId, int32_t sequence,
                       TdevBuffer_t** out);
int TdevMsgCloseCommBox(const char* boxId, int32_t sequence, TdevBuffer_t** out);
int TdevMsgGetCommHistory(const char* boxId, int32_t sequence, TdevBuffer_t** out);
// memberId may be null (its element is left out); box id and message are required.
int TdevMsgCommBoxSend(const char* boxId, const char* memberId, const char* message,
                       int32_t sequence, TdevBuffer_t** out);

// Printer and display jobs, and the printer's job-status request (noBody 1).
// printJobId must be given; its element is written only when it is not empty.
int TdevMsgPrintData(const TdevDocument_t* document, int32_t sequence, int32_t timeout,
                     const char* printJobId, int32_t force, int32_t noBody, TdevBuffer_t** out);
// Slip (paper 1), endorsement (2) and validation (3) jobs of a hybrid printer.
int TdevMsgHybridPrintData(const TdevDocument_t* document, const char* deviceId, int32_t sequence,
                           int32_t paper, int32_t fortyColumns, int32_t timeout, int32_t force,
                           TdevBuffer_t** out);
int TdevMsgClearBuffer(const char* deviceId, int32_t sequence, TdevBuffer_t** out);
int TdevMsgWaitInsertion(const char* deviceId, int32_t sequence, int32_t paper, int32_t timeout,
                         int32_t waitTime, TdevBuffer_t** out);
int TdevMsgCancelInsertion(const char* deviceId, int32_t sequence, int32_t paper,
                           TdevBuffer_t** out);
int TdevMsgMicrCancel(const char* deviceId, int32_t sequence, TdevBuffer_t** out);
int TdevMsgEject(const char* deviceId, int32_t sequence, TdevBuffer_t** out);
// font 0 E13B, 1 CMC7.
int TdevMsgMicrRead(const char* deviceId, int32_t sequence, int32_t font, int32_t timeout,
                    int32_t waitTime, TdevBuffer_t** out);
int TdevMsgMicrCleaning(const char* deviceId, int32_t sequence, int32_t timeout, int32_t waitTime,
                        TdevBuffer_t** out);
// hex: hexLength characters of hex text (as TdevBytesToHex writes), at least 1.
int TdevMsgSendCommand(const char* deviceId, const char* hex, int32_t hexLength, int32_t sequence,
                       TdevBuffer_t** out);
// Key codes 0 to 255; codes may be null when count is 0.
int TdevMsgSetPrefix(const char* deviceId, const uint8_t* keyCodes, int32_t count, int32_t sequence,
                     TdevBuffer_t** out);

// ---- Print document elements (document kinds 0 and 1) -------------------------
// Optional arguments: -1 leaves a numeric attribute out; the word index given
// in the comment leaves a word attribute out.
int TdevXmlTextAlign(TdevDocument_t* document, int32_t align);        // 0..2
int TdevXmlTextLineSpace(TdevDocument_t* document, int32_t linespc);  // 0..255
int TdevXmlTextRotate(TdevDocument_t* document, int32_t rotate);      // 0..1
// UTF-8 text; a four-byte sequence gives 1. Null gives 1; empty gives <text></text>.
int TdevXmlText(TdevDocument_t* document, const char* text);
int TdevXmlTextLang(TdevDocument_t* document, int32_t lang);                   // 0..5
int TdevXmlTextFont(TdevDocument_t* document, int32_t font);                   // 0..6
int TdevXmlTextSmooth(TdevDocument_t* document, int32_t smooth);               // 0..1
int TdevXmlTextSize(TdevDocument_t* document, int32_t height, int32_t width);  // 0..8 or -1
// reverse/ul/em 0..1, 2 left out; color 0..4, 5 left out.
int TdevXmlTextStyle(TdevDocument_t* document, int32_t reverse, int32_t ul, int32_t em,
                     int32_t color);
int TdevXmlTextPosition(TdevDocument_t* document, int32_t x);    // 0..65535
int TdevXmlFeedUnit(TdevDocument_t* document, int32_t unit);     // 0..255
int TdevXmlFeedLine(TdevDocument_t* document, int32_t line);     // 0..255
int TdevXmlFeedPosition(TdevDocument_t* document, int32_t pos);  // 0..3
// Raster bytes as the service takes them; color 0..4 (5 left out), mode 0..1.
int TdevXmlImage(TdevDocument_t* document, const uint8_t* raster, int32_t length, int32_t width,
                 int32_t height, int32_t color, int32_t mode);
int TdevXmlLogo(TdevDocument_t* document, int32_t key1, int32_t key2);
// Data escaped by the text rule; type 0..15; width 2..6/-1; height 1..255/-1;
// hri 0..3 (4 left out); font 0..4 (7 left out).
int TdevXmlBarcode(TdevDocument_t* document, const char* data, int32_t length, int32_t type,
                   int32_t width, int32_t height, int32_t hri, int32_t font);
int TdevXmlSymbol(TdevDocument_t* document, const char* data, int32_t length, int32_t type,
                  int32_t level, int32_t height, int32_t width, int32_t size);
int TdevXmlHLine(TdevDocument_t* document, int32_t x1, int32_t x2, int32_t style);
int TdevXmlVLineBegin(TdevDocument_t* document, int32_t x, int32_t style);
int TdevXmlVLineEnd(TdevDocument_t* document, int32_t x, int32_t style);
int TdevXmlPageBegin(TdevDocument_t* document);
int TdevXmlPageEnd(TdevDocument_t* document);
int TdevXmlPageArea(TdevDocument_t* document, int32_t x, int32_t y, int32_t width, int32_t height);
int TdevXmlPageDirection(TdevDocument_t* document, int32_t dir);
int TdevXmlPagePosition(TdevDocument_t* document, int32_t x, int32_t y);
int TdevXmlPageLine(TdevDocument_t* document, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                    int32_t style);
int TdevXmlPageRectangle(TdevDocument_t* document, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                         int32_t style);
int TdevXmlCut(TdevDocument_t* document, int32_t type);
int TdevXmlPulse(TdevDocument_t* document, int32_t drawer, int32_t time);
int TdevXmlSound(TdevDocument_t* document, int32_t pattern, int32_t repeat, int32_t cycle);
int TdevXmlLayout(TdevDocument_t* document, int32_t type, int32_t width, int32_t height,
                  int32_t marginTop, int32_t marginBottom, int32_t offsetCut, int32_t offsetLabel);
int TdevXmlRecovery(TdevDocument_t* document);
// Both documents.
int TdevXmlReset(TdevDocument_t* document);
int TdevXmlCommand(TdevDocument_t* document, const uint8_t* bytes, int32_t count);

// ---- Display document elements (document kind 2) -------------------------------
int TdevXmlWindow(TdevDocument_t* document, int32_t number, int32_t x, int32_t y, int32_t width,
                  int32_t height, int32_t scrollMode);
int TdevXmlWindowDestroy(TdevDocument_t* document, int32_t number);
int TdevXmlWindowSelect(TdevDocument_t* document, int32_t number);
int TdevXmlClear(TdevDocument_t* document);
int TdevXmlCursor(TdevDocument_t* document, int32_t x, int32_t y);
int TdevXmlCursorMoveTo(TdevDocument_t* document, int32_t moveTo);
int TdevXmlCursorType(TdevDocument_t* document, int32_t type);
// x 1..20/-1, y 1..2/-1, lang 0..1 (6 left out), reverse 0..1.
int TdevXmlDisplayText(TdevDocument_t* document, const char* text, int32_t x, int32_t y,
                       int32_t lang, int32_t reverse);
int TdevXmlMarquee(TdevDocument_t* document, const char* text, int32_t uwait, int32_t rwait,
                   int32_t repeat, int32_t format, int32_t lang);
int TdevXmlBlink(TdevDocument_t* document, int32_t interval);
int TdevXmlBrightness(TdevDocument_t* document, int32_t level);  // 0..3: 20, 40, 60, 100
int TdevXmlClock(TdevDocument_t* document);

}  // namespace tilo2::core
