// Builders of the device-service messages and command documents.

#include "service/request_messages.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace tilo2::core {

namespace {

constexpr int32_t kMinCapacity = 64;

// Makes room for `extra` more bytes; 3 when that cannot be had.
int Reserve(TdevBuffer_t* buffer, int32_t extra) {
  const int64_t needed = int64_t{buffer->length} + extra;
  if (needed > std::numeric_limits<int32_t>::max()) return TDEV_BUILD_NO_MEMORY;
  if (needed <= buffer->capacity) return TDEV_BUILD_OK;
  int64_t capacity = buffer->capacity < kMinCapacity ? kMinCapacity : buffer->capacity;
  while (capacity < needed) capacity *= 2;
  if (capacity > std::numeric_limits<int32_t>::max()) capacity = needed;
  void* grown = std::realloc(buffer->data, static_cast<size_t>(capacity));
  if (!grown) return TDEV_BUILD_NO_MEMORY;
  buffer->data = static_cast<uint8_t*>(grown);
  buffer->capacity = static_cast<int32_t>(capacity);
  return TDEV_BUILD_OK;
}

// Appends without the argument checks of TdevBufferAppend (empty is fine).
int Put(TdevBuffer_t* buffer, const void* bytes, size_t length) {
  if (length == 0) return TDEV_BUILD_OK;
  if (length > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    return TDEV_BUILD_NO_MEMORY;
  const int rc = Reserve(buffer, static_cast<int32_t>(length));
  if (rc != TDEV_BUILD_OK) return rc;
  std::memcpy(buffer->data + buffer->length, bytes, length);
  buffer->length += static_cast<int32_t>(length);
  return TDEV_BUILD_OK;
}

int Put(TdevBuffer_t* buffer, std::string_view text) {
  return Put(buffer, text.data(), text.size());
}

int PutDecimal(TdevBuffer_t* buffer, int32_t value) {
  char digits[16];
  const int n = std::snprintf(digits, sizeof digits, "%ld", static_cast<long>(value));
  if (n <= 0) return TDEV_BUILD_NO_MEMORY;
  return Put(buffer, digits, static_cast<size_t>(n));
}

// The replacement of a byte under the text rule, or empty when it is copied.
std::string_view EscapeOf(uint8_t byte) {
  switch (byte) {
    case '\t':
      return "&#9;";
    case '\n':
      return "&#xA;";
    case '"':
      return "&quot;";
    case '&':
      return "&amp;";
    case '\'':
      return "&apos;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    default:
      return {};
  }
}

int PutEscaped(TdevBuffer_t* buffer, const char* text, size_t length) {
  size_t run = 0;  // start of the bytes not yet written
  for (size_t i = 0; i < length; ++i) {
    const std::string_view escape = EscapeOf(static_cast<uint8_t>(text[i]));
    if (escape.empty()) continue;
    int rc = Put(buffer, text + run, i - run);
    if (rc == TDEV_BUILD_OK) rc = Put(buffer, escape);
    if (rc != TDEV_BUILD_OK) return rc;
    run = i + 1;
  }
  return Put(buffer, text + run, length - run);
}

// A message or element under construction: its own buffer, freed unless
// handed on. The first failure sticks and every later step does nothing, so a
// builder composes straight through and looks at the result once.
class Compose {
 public:
  Compose() = default;
  Compose(const Compose&) = delete;
  Compose& operator=(const Compose&) = delete;
  ~Compose() { std::free(buffer_.data); }

  Compose& Lit(std::string_view text) {
    if (rc_ == TDEV_BUILD_OK) rc_ = Put(&buffer_, text);
    return *this;
  }
  Compose& Bytes(const void* bytes, size_t length) {
    if (rc_ == TDEV_BUILD_OK) rc_ = Put(&buffer_, bytes, length);
    return *this;
  }
  Compose& Escaped(const char* text, size_t length) {
    if (rc_ == TDEV_BUILD_OK) rc_ = PutEscaped(&buffer_, text, length);
    return *this;
  }
  // <name>escaped</name>
  Compose& Text(std::string_view name, const char* text) {
    Lit("<").Lit(name).Lit(">").Escaped(text, std::strlen(text));
    return Lit("</").Lit(name).Lit(">");
  }
  // <name>decimal</name>
  Compose& Number(std::string_view name, int32_t value) {
    Lit("<").Lit(name).Lit(">");
    if (rc_ == TDEV_BUILD_OK) rc_ = PutDecimal(&buffer_, value);
    return Lit("</").Lit(name).Lit(">");
  }
  // name="word" (name with its leading blank)
  Compose& Word(std::string_view name, std::string_view word) {
    return Lit(name).Lit("=\"").Lit(word).Lit("\"");
  }
  // name="decimal"
  Compose& Attr(std::string_view name, int32_t value) {
    Lit(name).Lit("=\"");
    if (rc_ == TDEV_BUILD_OK) rc_ = PutDecimal(&buffer_, value);
    return Lit("\"");
  }
  Compose& Buffer(const TdevBuffer_t* other) {
    if (other && other->length > 0) Bytes(other->data, static_cast<size_t>(other->length));
    return *this;
  }
  int Fail(int rc) {
    if (rc_ == TDEV_BUILD_OK) rc_ = rc;
    return rc_;
  }
  int Result() const { return rc_; }

  // Appends everything composed to `target` in one step.
  int AppendTo(TdevBuffer_t* target) {
    if (rc_ != TDEV_BUILD_OK) return rc_;
    if (!target) return TDEV_BUILD_BAD_ARGUMENT;
    return Put(target, buffer_.data, static_cast<size_t>(buffer_.length));
  }
  // Hands the composed bytes over as a new buffer.
  int Release(TdevBuffer_t** out) {
    if (rc_ != TDEV_BUILD_OK) return rc_;
    auto* buffer = static_cast<TdevBuffer_t*>(std::malloc(sizeof(TdevBuffer_t)));
    if (!buffer) return TDEV_BUILD_NO_MEMORY;
    *buffer = buffer_;
    buffer_ = TdevBuffer_t{};
    *out = buffer;
    return TDEV_BUILD_OK;
  }

 private:
  TdevBuffer_t buffer_{};
  int rc_ = TDEV_BUILD_OK;
};

bool In(int32_t value, int32_t lo, int32_t hi) { return value >= lo && value <= hi; }

template <size_t N>
bool Pick(const std::array<const char*, N>& words, int32_t index, std::string_view* word) {
  if (index < 0 || static_cast<size_t>(index) >= N) return false;
  *word = words[static_cast<size_t>(index)];
  return true;
}

constexpr std::array<const char*, 2> kFalseTrue{"false", "true"};
constexpr std::array<const char*, 6> kLineStyles{"thin",        "medium",        "thick",
                                                 "thin_double", "medium_double", "thick_double"};
constexpr std::array<const char*, 5> kColors{"none", "color_1", "color_2", "color_3", "color_4"};
constexpr std::array<const char*, 7> kFonts{"font_a", "font_b",    "font_c",   "font_d",
                                            "font_e", "special_a", "special_b"};

// The document of a print element (kinds 0 and 1), or why not.
int PrintDocument(const TdevDocument_t* document) {
  if (!document || !document->body) return TDEV_BUILD_BAD_ARGUMENT;
  if (document->kind != TDEV_DOC_PRINT && document->kind != TDEV_DOC_HYBRID_PRINT)
    return TDEV_BUILD_UNSUPPORTED;
  return TDEV_BUILD_OK;
}

int DisplayDocument(const TdevDocument_t* document) {
  if (!document || !document->body) return TDEV_BUILD_BAD_ARGUMENT;
  if (document->kind != TDEV_DOC_DISPLAY) return TDEV_BUILD_UNSUPPORTED;
  return TDEV_BUILD_OK;
}

int AnyDocument(const TdevDocument_t* document) {
  if (!document || !document->body) return TDEV_BUILD_BAD_ARGUMENT;
  if (!In(document->kind, TDEV_DOC_PRINT, TDEV_DOC_DISPLAY)) return TDEV_BUILD_UNSUPPORTED;
  return TDEV_BUILD_OK;
}

// A self-closing element with one word attribute.
int WordElement(TdevDocument_t* document, std::string_view name, std::string_view attribute,
                std::string_view word) {
  Compose c;
  c.Lit("<").Lit(name).Word(attribute, word).Lit("/>");
  return c.AppendTo(document->body);
}

// A self-closing element with one number attribute.
int NumberElement(TdevDocument_t* document, std::string_view name, std::string_view attribute,
                  int32_t value) {
  Compose c;
  c.Lit("<").Lit(name).Attr(attribute, value).Lit("/>");
  return c.AppendTo(document->body);
}

int BareElement(TdevDocument_t* document, std::string_view literal) {
  Compose c;
  c.Lit(literal);
  return c.AppendTo(document->body);
}

template <size_t N>
int PrintWordElement(TdevDocument_t* document, std::string_view name, std::string_view attribute,
                     const std::array<const char*, N>& words, int32_t index) {
  if (const int rc = PrintDocument(document)) return rc;
  std::string_view word;
  if (!Pick(words, index, &word)) return TDEV_BUILD_BAD_ARGUMENT;
  return WordElement(document, name, attribute, word);
}

int PrintNumberElement(TdevDocument_t* document, std::string_view name, std::string_view attribute,
                       int32_t value, int32_t lo, int32_t hi) {
  if (const int rc = PrintDocument(document)) return rc;
  if (!In(value, lo, hi)) return TDEV_BUILD_BAD_ARGUMENT;
  return NumberElement(document, name, attribute, value);
}

// The start of the device messages: <device_data><sequence>n</sequence>
// <device_id>id</device_id><data><type>word</type>
Compose& DeviceHead(Compose& c, const char* deviceId, int32_t sequence, std::string_view type) {
  c.Lit("<device_data>").Number("sequence", sequence).Text("device_id", deviceId).Lit("<data>");
  c.Lit("<type>").Lit(type).Lit("</type>");
  return c;
}

int DeviceMessageEnd(Compose& c, TdevBuffer_t** out) {
  c.Lit("</data></device_data>");
  return c.Release(out);
}

const char* PaperWord(int32_t paper, const char* slip, const char* endorse,
                      const char* validation) {
  switch (paper) {
    case 1:
      return slip;
    case 2:
      return endorse;
    case 3:
      return validation;
    default:
      return nullptr;
  }
}

void PrintOpeningTag(Compose& c, int32_t force) {
  c.Lit("<tilo-print").Word(" xmlns", TDEV_PRINT_NAMESPACE).Word(" force", kFalseTrue[force]);
  c.Lit(">");
}

}  // namespace

// ---- Buffer -------------------------------------------------------------------

TdevBuffer_t* TdevBufferCreate() {
  auto* buffer = static_cast<TdevBuffer_t*>(std::malloc(sizeof(TdevBuffer_t)));
  if (buffer) *buffer = TdevBuffer_t{};
  return buffer;
}

int TdevBufferAppend(TdevBuffer_t* buffer, const void* bytes, int32_t length) {
  if (!buffer || !bytes || length <= 0) return TDEV_BUILD_BAD_ARGUMENT;
  return Put(buffer, bytes, static_cast<size_t>(length));
}

void TdevBufferFree(TdevBuffer_t* buffer) {
  if (!buffer) return;
  std::free(buffer->data);
  std::free(buffer);
}

void TdevBufferRelease(TdevBuffer_t** buffer) {
  if (!buffer) return;
  TdevBufferFree(*buffer);
  *buffer = nullptr;
}

std::string_view TdevBufferView(const TdevBuffer_t* buffer) {
  if (!buffer || !buffer->data) return {};
  return {reinterpret_cast<const char*>(buffer->data), static_cast<size_t>(buffer->length)};
}

int TdevBufferAppendText(TdevBuffer_t* buffer, const char* name, const char* text) {
  if (!buffer || !name || !*name || !text) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Text(name, text);
  return c.AppendTo(buffer);
}

int TdevBufferAppendNumber(TdevBuffer_t* buffer, const char* name, int32_t value) {
  if (!buffer || !name || !*name) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Number(name, value);
  return c.AppendTo(buffer);
}

int TdevAttrAppend(TdevBuffer_t* head, const char* name, const char* quotedWord) {
  if (!head || !name || !*name || !quotedWord) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit(name).Lit("=").Lit(quotedWord);
  return c.AppendTo(head);
}

int TdevAttrAppendNumber(TdevBuffer_t* head, const char* name, int32_t value) {
  if (!head || !name || !*name) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Attr(name, value);
  return c.AppendTo(head);
}

int TdevAppendEscaped(TdevBuffer_t* buffer, const char* text, int32_t length) {
  if (!buffer || !text || length < 0) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Escaped(text, static_cast<size_t>(length));
  return c.AppendTo(buffer);
}

// ---- Documents ----------------------------------------------------------------

int TdevDocCreate(int32_t kind, const char* deviceId, TdevDocument_t** out) {
  if (!deviceId || !out) return TDEV_BUILD_BAD_ARGUMENT;
  if (In(kind, 3, 5)) return TDEV_BUILD_UNSUPPORTED;
  if (!In(kind, TDEV_DOC_PRINT, TDEV_DOC_DISPLAY)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose header;
  header.Text("device_id", deviceId).Lit("<data>");
  header.Lit(kind == TDEV_DOC_DISPLAY ? "<type>display</type>" : "<type>print</type>");
  auto* document = static_cast<TdevDocument_t*>(std::calloc(1, sizeof(TdevDocument_t)));
  if (!document) return TDEV_BUILD_NO_MEMORY;
  document->kind = kind;
  document->body = TdevBufferCreate();
  const int rc = document->body ? header.Release(&document->header) : TDEV_BUILD_NO_MEMORY;
  if (rc != TDEV_BUILD_OK) {
    TdevDocFree(document);
    return rc;
  }
  *out = document;
  return TDEV_BUILD_OK;
}

void TdevDocFree(TdevDocument_t* document) {
  if (!document) return;
  TdevBufferFree(document->header);
  TdevBufferFree(document->body);
  std::free(document);
}

int TdevDocClearBody(TdevDocument_t* document) {
  if (!document) return TDEV_BUILD_BAD_ARGUMENT;
  // Keeps the old block when it can: the next job of the handle is likely as
  // big as the last one.
  if (document->body) {
    document->body->length = 0;
    return TDEV_BUILD_OK;
  }
  document->body = TdevBufferCreate();
  return document->body ? TDEV_BUILD_OK : TDEV_BUILD_NO_MEMORY;
}

// ---- Conversions --------------------------------------------------------------

void TdevBytesToHex(const uint8_t* bytes, int32_t count, char* out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  if (!out) return;
  int32_t n = 0;
  for (int32_t i = 0; bytes && i < count; ++i) {
    out[n++] = kDigits[bytes[i] >> 4];
    out[n++] = kDigits[bytes[i] & 0x0F];
  }
  out[n] = '\0';
}

char* TdevBase64Encode(const uint8_t* bytes, int32_t count, int32_t* outLength) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (!bytes || count < 1 || count > TDEV_MAX_RASTER_BYTES) return nullptr;
  const int64_t length = 4 * ((int64_t{count} + 2) / 3);
  char* out = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
  if (!out) return nullptr;
  char* w = out;
  int32_t i = 0;
  for (; i + 2 < count; i += 3) {
    const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    *w++ = kAlphabet[(v >> 18) & 63];
    *w++ = kAlphabet[(v >> 12) & 63];
    *w++ = kAlphabet[(v >> 6) & 63];
    *w++ = kAlphabet[v & 63];
  }
  if (i < count) {
    const bool two = i + 1 < count;
    const uint32_t v = (uint32_t{bytes[i]} << 16) | (two ? uint32_t{bytes[i + 1]} << 8 : 0u);
    *w++ = kAlphabet[(v >> 18) & 63];
    *w++ = kAlphabet[(v >> 12) & 63];
    *w++ = two ? kAlphabet[(v >> 6) & 63] : '=';
    *w++ = '=';
  }
  *w = '\0';
  if (outLength) *outLength = static_cast<int32_t>(length);
  return out;
}

// ---- Connection and device messages -------------------------------------------

int TdevMsgOpenDevice(int32_t deviceType, const char* deviceId, int32_t bufferFlag,
                      TdevBuffer_t** out) {
  static constexpr std::array<const char*, 6> kTypes{"type_printer", "type_hybrid_printer",
                                                     "type_display", "type_keyboard",
                                                     "type_scanner", "type_simple_serial"};
  std::string_view type;
  if (!deviceId || !out || !Pick(kTypes, deviceType, &type)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<open_device>").Text("device_id", deviceId).Lit("<data>");
  c.Lit(bufferFlag ? "<buffer>true</buffer>" : "<buffer>false</buffer>");
  c.Lit("<type>").Lit(type).Lit("</type></data></open_device>");
  return c.Release(out);
}

int TdevMsgCloseDevice(const char* deviceId, TdevBuffer_t** out) {
  if (!deviceId || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<close_device>").Text("device_id", deviceId).Lit("</close_device>");
  return c.Release(out);
}

int TdevMsgDisconnect(const char* clientId, TdevBuffer_t** out) {
  if (!clientId || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<disconnect><data>").Text("client_id", clientId).Lit("</data></disconnect>");
  return c.Release(out);
}

int TdevMsgAdminInfo(TdevBuffer_t** out) {
  if (!out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<admin_info></admin_info>");
  return c.Release(out);
}

int TdevMsgReconnect(const char* newClientId, const char* oldClientId, int32_t receivedId,
                     TdevBuffer_t** out) {
  if (!newClientId || !oldClientId || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<reconnect><data>").Text("new_client_id", newClientId);
  c.Text("old_client_id", oldClientId).Number("received_id", receivedId);
  c.Lit("</data></reconnect>");
  return c.Release(out);
}

// ---- Message-box messages -------------------------------------------------------

int TdevMsgOpenCommBox(const char* boxId, const char* memberId, int32_t sequence,
                       TdevBuffer_t** out) {
  if (!boxId || !memberId || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<open_commbox>").Number("sequence", sequence).Lit("<data>").Text("box_id", boxId);
  c.Text("member_id", memberId).Lit("</data></open_commbox>");
  return c.Release(out);
}

int TdevMsgCloseCommBox(const char* boxId, int32_t sequence, TdevBuffer_t** out) {
  if (!boxId || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<close_commbox>").Number("sequence", sequence).Lit("<data>").Text("box_id", boxId);
  c.Lit("</data></close_commbox>");
  return c.Release(out);
}

int TdevMsgGetCommHistory(const char* boxId, int32_t sequence, TdevBuffer_t** out) {
  if (!boxId || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<commbox_data>").Number("sequence", sequence).Lit("<data>");
  c.Lit("<type>getcommhistory</type>").Text("box_id", boxId).Lit("</data></commbox_data>");
  return c.Release(out);
}

int TdevMsgCommBoxSend(const char* boxId, const char* memberId, const char* message,
                       int32_t sequence, TdevBuffer_t** out) {
  if (!boxId || !message || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<commbox_data>").Number("sequence", sequence).Lit("<data>");
  c.Lit("<type>send</type>").Text("box_id", boxId);
  if (memberId) c.Text("member_id", memberId);
  c.Text("message", message).Lit("</data></commbox_data>");
  return c.Release(out);
}

// ---- Job messages ---------------------------------------------------------------

int TdevMsgPrintData(const TdevDocument_t* document, int32_t sequence, int32_t timeout,
                     const char* printJobId, int32_t force, int32_t noBody, TdevBuffer_t** out) {
  if (!document || !document->header || !printJobId || !out || !In(force, 0, 1) ||
      !In(noBody, 0, 1))
    return TDEV_BUILD_BAD_ARGUMENT;
  if (!In(document->kind, TDEV_DOC_PRINT, TDEV_DOC_DISPLAY)) return TDEV_BUILD_UNSUPPORTED;
  const bool withBody = noBody == 0;
  if (withBody && (!document->body || document->body->length == 0)) return TDEV_BUILD_BAD_ARGUMENT;
  const bool display = document->kind == TDEV_DOC_DISPLAY;
  Compose c;
  c.Lit("<device_data>").Number("sequence", sequence).Buffer(document->header);
  c.Number("timeout", timeout);
  if (*printJobId) c.Text("printjobid", printJobId);
  if (display) {
    c.Lit("<displaydata><tilo-display").Word(" xmlns", TDEV_DISPLAY_NAMESPACE).Lit(">");
  } else {
    c.Lit("<printdata>");
    PrintOpeningTag(c, force);
  }
  if (withBody) c.Buffer(document->body);
  c.Lit(display ? "</tilo-display></displaydata>" : "</tilo-print></printdata>");
  return DeviceMessageEnd(c, out);
}

int TdevMsgHybridPrintData(const TdevDocument_t* document, const char* deviceId, int32_t sequence,
                           int32_t paper, int32_t fortyColumns, int32_t timeout, int32_t force,
                           TdevBuffer_t** out) {
  const char* type = PaperWord(paper, "slipprint2", "endorseprint2", "validationprint2");
  if (!document || !deviceId || !out || !type || !In(fortyColumns, 0, 1) || !In(force, 0, 1))
    return TDEV_BUILD_BAD_ARGUMENT;
  if (const int rc = PrintDocument(document)) return rc;
  if (document->body->length == 0) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  DeviceHead(c, deviceId, sequence, type);
  if (paper == 2)
    c.Lit(fortyColumns ? "<is40cplmode>true</is40cplmode>" : "<is40cplmode>false</is40cplmode>");
  c.Lit("<printdata>");
  PrintOpeningTag(c, force);
  c.Buffer(document->body).Lit("</tilo-print></printdata>").Number("timeout", timeout);
  return DeviceMessageEnd(c, out);
}

int TdevMsgClearBuffer(const char* deviceId, int32_t sequence, TdevBuffer_t** out) {
  if (!deviceId || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  DeviceHead(c, deviceId, sequence, "clearbuffer").Number("timeout", 500);
  return DeviceMessageEnd(c, out);
}

int TdevMsgWaitInsertion(const char* deviceId, int32_t sequence, int32_t paper, int32_t timeout,
                         int32_t waitTime, TdevBuffer_t** out) {
  const char* type =
      PaperWord(paper, "slipwaitinsertion", "endorsewaitinsertion", "validationwaitinsertion");
  if (!deviceId || !out || !type) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  DeviceHead(c, deviceId, sequence, type).Number("timeout", timeout).Number("waittime", waitTime);
  return DeviceMessageEnd(c, out);
}

int TdevMsgCancelInsertion(const char* deviceId, int32_t sequence, int32_t paper,
                           TdevBuffer_t** out) {
  const char* type = PaperWord(paper, "slipcancel", "endorsecancel", "validationcancel");
  if (!deviceId || !out || !type) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  DeviceHead(c, deviceId, sequence, type);
  return DeviceMessageEnd(c, out);
}

int TdevMsgMicrCancel(const char* deviceId, int32_t sequence, TdevBuffer_t** out) {
  if (!deviceId || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  DeviceHead(c, deviceId, sequence, "micrcancel");
  return DeviceMessageEnd(c, out);
}

int TdevMsgEject(const char* deviceId, int32_t sequence, TdevBuffer_t** out) {
  if (!deviceId || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  DeviceHead(c, deviceId, sequence, "eject");
  return DeviceMessageEnd(c, out);
}

int TdevMsgMicrRead(const char* deviceId, int32_t sequence, int32_t font, int32_t timeout,
                    int32_t waitTime, TdevBuffer_t** out) {
  if (!deviceId || !out || !In(font, 0, 1)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  DeviceHead(c, deviceId, sequence, "micrread").Lit("<ignoreerror>true</ignoreerror>");
  c.Lit(font == 0 ? "<font>MICR_E13B</font>" : "<font>MICR_CMC7</font>");
  c.Number("timeout", timeout).Number("waittime", waitTime);
  return DeviceMessageEnd(c, out);
}

int TdevMsgMicrCleaning(const char* deviceId, int32_t sequence, int32_t timeout, int32_t waitTime,
                        TdevBuffer_t** out) {
  if (!deviceId || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  DeviceHead(c, deviceId, sequence, "micrcleaning").Number("timeout", timeout);
  c.Number("waittime", waitTime);
  return DeviceMessageEnd(c, out);
}

int TdevMsgSendCommand(const char* deviceId, const char* hex, int32_t hexLength, int32_t sequence,
                       TdevBuffer_t** out) {
  if (!deviceId || !hex || hexLength < 1 || !out) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  DeviceHead(c, deviceId, sequence, "sendcommand").Lit("<command>");
  c.Bytes(hex, static_cast<size_t>(hexLength)).Lit("</command>");
  return DeviceMessageEnd(c, out);
}

int TdevMsgSetPrefix(const char* deviceId, const uint8_t* keyCodes, int32_t count, int32_t sequence,
                     TdevBuffer_t** out) {
  if (!deviceId || !out || count < 0 || (count > 0 && !keyCodes)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  DeviceHead(c, deviceId, sequence, "setprefix");
  for (int32_t i = 0; i < count; ++i) {
    if (i == 0 && count >= 2) {
      c.Lit("<keycodes").Word(" array", "true").Lit(">");
      c.Lit(std::to_string(keyCodes[0])).Lit("</keycodes>");
    } else {
      c.Number("keycodes", keyCodes[i]);
    }
  }
  return DeviceMessageEnd(c, out);
}

// ---- Print document elements ------------------------------------------------------

int TdevXmlTextAlign(TdevDocument_t* document, int32_t align) {
  static constexpr std::array<const char*, 3> kAlign{"left", "center", "right"};
  return PrintWordElement(document, "text", " align", kAlign, align);
}

int TdevXmlTextLineSpace(TdevDocument_t* document, int32_t linespc) {
  return PrintNumberElement(document, "text", " linespc", linespc, 0, 255);
}

int TdevXmlTextRotate(TdevDocument_t* document, int32_t rotate) {
  return PrintWordElement(document, "text", " rotate", kFalseTrue, rotate);
}

int TdevXmlText(TdevDocument_t* document, const char* text) {
  if (const int rc = PrintDocument(document)) return rc;
  if (!text) return TDEV_BUILD_BAD_ARGUMENT;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  const size_t length = std::strlen(text);
  Compose c;
  c.Lit("<text>");
  size_t run = 0;  // start of the bytes copied unchanged but not yet written
  size_t i = 0;
  while (i < length) {
    const uint8_t lead = bytes[i];
    if (lead >= 0xF0) return TDEV_BUILD_BAD_ARGUMENT;  // beyond the Basic Multilingual Plane
    if (lead < 0x80) {
      const std::string_view escape = EscapeOf(lead);
      if (!escape.empty()) {
        c.Bytes(text + run, i - run).Lit(escape);
        run = i + 1;
      }
      ++i;
      continue;
    }
    // A whole two- or three-byte sequence is copied as it is; a lead byte not
    // followed by enough continuation bytes is copied alone and the walk goes
    // on at the next byte, so an ASCII byte after it is still escaped.
    const size_t need = lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    size_t have = 0;
    while (have < need && i + 1 + have < length && (bytes[i + 1 + have] & 0xC0) == 0x80) ++have;
    i += have == need ? need + 1 : 1;
  }
  c.Bytes(text + run, length - run).Lit("</text>");
  return c.AppendTo(document->body);
}

int TdevXmlTextLang(TdevDocument_t* document, int32_t lang) {
  static constexpr std::array<const char*, 6> kLang{"en",      "ja-jp", "zh-hans",
                                                    "zh-hant", "ko-kr", "th"};
  return PrintWordElement(document, "text", " lang", kLang, lang);
}

int TdevXmlTextFont(TdevDocument_t* document, int32_t font) {
  return PrintWordElement(document, "text", " font", kFonts, font);
}

int TdevXmlTextSmooth(TdevDocument_t* document, int32_t smooth) {
  return PrintWordElement(document, "text", " smooth", kFalseTrue, smooth);
}

int TdevXmlTextSize(TdevDocument_t* document, int32_t height, int32_t width) {
  if (const int rc = PrintDocument(document)) return rc;
  const auto ok = [](int32_t v) { return v == -1 || In(v, 0, 8); };
  if (!ok(height) || !ok(width) || (height == -1 && width == -1)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<text");
  if (height != -1) c.Attr(" height", height);
  if (width != -1) c.Attr(" width", width);
  c.Lit("/>");
  return c.AppendTo(document->body);
}

int TdevXmlTextStyle(TdevDocument_t* document, int32_t reverse, int32_t ul, int32_t em,
                     int32_t color) {
  if (const int rc = PrintDocument(document)) return rc;
  if (!In(reverse, 0, 2) || !In(ul, 0, 2) || !In(em, 0, 2) || !In(color, 0, 5) ||
      (reverse == 2 && ul == 2 && em == 2 && color == 5))
    return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<text");
  if (reverse != 2) c.Word(" reverse", kFalseTrue[reverse]);
  if (ul != 2) c.Word(" ul", kFalseTrue[ul]);
  if (em != 2) c.Word(" em", kFalseTrue[em]);
  if (color != 5) c.Word(" color", kColors[color]);
  c.Lit("/>");
  return c.AppendTo(document->body);
}

int TdevXmlTextPosition(TdevDocument_t* document, int32_t x) {
  return PrintNumberElement(document, "text", " x", x, 0, 65535);
}

int TdevXmlFeedUnit(TdevDocument_t* document, int32_t unit) {
  return PrintNumberElement(document, "feed", " unit", unit, 0, 255);
}

int TdevXmlFeedLine(TdevDocument_t* document, int32_t line) {
  return PrintNumberElement(document, "feed", " line", line, 0, 255);
}

int TdevXmlFeedPosition(TdevDocument_t* document, int32_t pos) {
  static constexpr std::array<const char*, 4> kPos{"peeling", "cutting", "current_tof", "next_tof"};
  return PrintWordElement(document, "feed", " pos", kPos, pos);
}

int TdevXmlImage(TdevDocument_t* document, const uint8_t* raster, int32_t length, int32_t width,
                 int32_t height, int32_t color, int32_t mode) {
  static constexpr std::array<const char*, 2> kModes{"mono", "gray16"};
  if (const int rc = PrintDocument(document)) return rc;
  if (!raster || !In(length, 1, TDEV_MAX_RASTER_BYTES) || !In(width, 0, 65535) ||
      !In(height, 0, 65535) || !In(color, 0, 5) || !In(mode, 0, 1))
    return TDEV_BUILD_BAD_ARGUMENT;
  int32_t encodedLength = 0;
  char* encoded = TdevBase64Encode(raster, length, &encodedLength);
  if (!encoded) return TDEV_BUILD_NO_MEMORY;
  Compose c;
  c.Lit("<image").Attr(" width", width).Attr(" height", height);
  if (color != 5) c.Word(" color", kColors[color]);
  c.Word(" mode", kModes[mode]).Lit(">");
  c.Bytes(encoded, static_cast<size_t>(encodedLength)).Lit("</image>");
  std::free(encoded);
  return c.AppendTo(document->body);
}

int TdevXmlLogo(TdevDocument_t* document, int32_t key1, int32_t key2) {
  if (const int rc = PrintDocument(document)) return rc;
  if (!In(key1, 0, 255) || !In(key2, 0, 255)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<logo").Attr(" key1", key1).Attr(" key2", key2).Lit("/>");
  return c.AppendTo(document->body);
}

int TdevXmlBarcode(TdevDocument_t* document, const char* data, int32_t length, int32_t type,
                   int32_t width, int32_t height, int32_t hri, int32_t font) {
  static constexpr std::array<const char*, 16> kTypes{"upc_a",
                                                      "upc_e",
                                                      "ean13",
                                                      "jan13",
                                                      "ean8",
                                                      "jan8",
                                                      "code39",
                                                      "itf",
                                                      "codabar",
                                                      "code93",
                                                      "code128",
                                                      "gs1_128",
                                                      "gs1_databar_omnidirectional",
                                                      "gs1_databar_truncated",
                                                      "gs1_databar_limited",
                                                      "gs1_databar_expanded"};
  static constexpr std::array<const char*, 4> kHri{"none", "above", "below", "both"};
  if (const int rc = PrintDocument(document)) return rc;
  if (!data || length < 1 || !In(type, 0, 15) || (width != -1 && !In(width, 2, 6)) ||
      (height != -1 && !In(height, 1, 255)) || !In(hri, 0, 4) || !(In(font, 0, 4) || font == 7))
    return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<barcode").Word(" type", kTypes[static_cast<size_t>(type)]);
  if (width != -1) c.Attr(" width", width);
  if (height != -1) c.Attr(" height", height);
  if (hri != 4) c.Word(" hri", kHri[static_cast<size_t>(hri)]);
  if (font != 7) c.Word(" font", kFonts[static_cast<size_t>(font)]);
  // Escaped like text: '<' and '&' are legal in Code128 payloads.
  c.Lit(">").Escaped(data, static_cast<size_t>(length)).Lit("</barcode>");
  return c.AppendTo(document->body);
}

int TdevXmlSymbol(TdevDocument_t* document, const char* data, int32_t length, int32_t type,
                  int32_t level, int32_t height, int32_t width, int32_t size) {
  static constexpr std::array<const char*, 19> kTypes{"pdf417_standard",
                                                      "pdf417_truncated",
                                                      "qrcode_model_1",
                                                      "qrcode_model_2",
                                                      "qrcode_micro",
                                                      "maxicode_mode_2",
                                                      "maxicode_mode_3",
                                                      "maxicode_mode_4",
                                                      "maxicode_mode_5",
                                                      "maxicode_mode_6",
                                                      "gs1_databar_stacked",
                                                      "gs1_databar_stacked_omnidirectional",
                                                      "gs1_databar_expanded_stacked",
                                                      "azteccode_fullrange",
                                                      "azteccode_compact",
                                                      "datamatrix_square",
                                                      "datamatrix_rectangle_8",
                                                      "datamatrix_rectangle_12",
                                                      "datamatrix_rectangle_16"};
  static constexpr std::array<const char*, 14> kLevels{
      "level_0", "level_1", "level_2", "level_3", "level_4", "level_5", "level_6",
      "level_7", "level_8", "level_l", "level_m", "level_q", "level_h", "default"};
  if (const int rc = PrintDocument(document)) return rc;
  if (!data || length < 1 || !In(type, 0, 18) || !In(level, 0, 105)) return TDEV_BUILD_BAD_ARGUMENT;
  const bool pdf417 = type <= 1;
  const bool qr = type == 2 || type == 3;
  const bool microQr = type == 4;
  const bool aztec = type == 13 || type == 14;
  if (level != 105) {
    const bool allowed = pdf417    ? (level <= 8 || level == 13)
                         : qr      ? In(level, 9, 13)
                         : microQr ? (In(level, 9, 11) || level == 13)
                         : aztec   ? In(level, 13, 104)
                                   : true;
    if (!allowed) return TDEV_BUILD_BAD_ARGUMENT;
  }
  if (width != -1) {
    const bool allowed = (pdf417 || In(type, 10, 12)) ? In(width, 2, 8)
                         : In(type, 2, 4)             ? In(width, 1, 16)
                         : In(type, 13, 18)           ? In(width, 2, 16)
                                                      : true;
    if (!allowed) return TDEV_BUILD_BAD_ARGUMENT;
  }
  if (pdf417 && height != -1 && !In(height, 2, 8)) return TDEV_BUILD_BAD_ARGUMENT;
  if ((pdf417 || type == 12) && size != -1 && !In(size, 0, 65535)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<symbol").Word(" type", kTypes[static_cast<size_t>(type)]);
  if (level != 105) {
    if (type <= 4) {
      c.Word(" level", kLevels[static_cast<size_t>(level)]);
    } else if (aztec) {
      if (level == 13) {
        c.Word(" level", "default");
      } else {
        c.Attr(" level", level - 9);
      }
    }
  }
  const bool widthWritten = width != -1 && (type <= 4 || type >= 10);
  if (widthWritten) c.Attr(" width", width);
  if (widthWritten && pdf417 && height != -1) c.Attr(" height", height);
  if (size != -1) c.Attr(" size", size);
  // Escaped like text: '<' and '&' are legal in QR payloads.
  c.Lit(">").Escaped(data, static_cast<size_t>(length)).Lit("</symbol>");
  return c.AppendTo(document->body);
}

int TdevXmlHLine(TdevDocument_t* document, int32_t x1, int32_t x2, int32_t style) {
  if (const int rc = PrintDocument(document)) return rc;
  std::string_view word;
  if (!In(x1, 0, 65535) || !In(x2, 0, 65535) || !Pick(kLineStyles, style, &word))
    return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<hline").Attr(" x1", x1).Attr(" x2", x2).Word(" style", word).Lit("/>");
  return c.AppendTo(document->body);
}

namespace {
int VLine(TdevDocument_t* document, std::string_view edge, int32_t x, int32_t style) {
  if (const int rc = PrintDocument(document)) return rc;
  std::string_view word;
  if (!In(x, 0, 65535) || !Pick(kLineStyles, style, &word)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<vline").Attr(edge, x).Word(" style", word).Lit("/>");
  return c.AppendTo(document->body);
}

int PageShape(TdevDocument_t* document, std::string_view name, int32_t x1, int32_t y1, int32_t x2,
              int32_t y2, int32_t style) {
  if (const int rc = PrintDocument(document)) return rc;
  std::string_view word;
  if (!In(x1, 0, 65535) || !In(y1, 0, 65535) || !In(x2, 0, 65535) || !In(y2, 0, 65535) ||
      !Pick(kLineStyles, style, &word))
    return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<").Lit(name).Attr(" x1", x1).Attr(" y1", y1).Attr(" x2", x2).Attr(" y2", y2);
  c.Word(" style", word).Lit("/>");
  return c.AppendTo(document->body);
}
}  // namespace

int TdevXmlVLineBegin(TdevDocument_t* document, int32_t x, int32_t style) {
  return VLine(document, "-begin x", x, style);
}

int TdevXmlVLineEnd(TdevDocument_t* document, int32_t x, int32_t style) {
  return VLine(document, "-end x", x, style);
}

int TdevXmlPageBegin(TdevDocument_t* document) {
  if (const int rc = PrintDocument(document)) return rc;
  return BareElement(document, "<page>");
}

int TdevXmlPageEnd(TdevDocument_t* document) {
  if (const int rc = PrintDocument(document)) return rc;
  return BareElement(document, "</page>");
}

int TdevXmlPageArea(TdevDocument_t* document, int32_t x, int32_t y, int32_t width, int32_t height) {
  if (const int rc = PrintDocument(document)) return rc;
  if (!In(x, 0, 65535) || !In(y, 0, 65535) || !In(width, 0, 65535) || !In(height, 0, 65535))
    return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<area").Attr(" x", x).Attr(" y", y).Attr(" width", width).Attr(" height", height);
  c.Lit("/>");
  return c.AppendTo(document->body);
}

int TdevXmlPageDirection(TdevDocument_t* document, int32_t dir) {
  static constexpr std::array<const char*, 4> kDir{"left_to_right", "bottom_to_top",
                                                   "right_to_left", "top_to_bottom"};
  return PrintWordElement(document, "direction", " dir", kDir, dir);
}

int TdevXmlPagePosition(TdevDocument_t* document, int32_t x, int32_t y) {
  if (const int rc = PrintDocument(document)) return rc;
  if (!In(x, 0, 65535) || !In(y, 0, 65535)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<position").Attr(" x", x).Attr(" y", y).Lit("/>");
  return c.AppendTo(document->body);
}

int TdevXmlPageLine(TdevDocument_t* document, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                    int32_t style) {
  return PageShape(document, "line", x1, y1, x2, y2, style);
}

int TdevXmlPageRectangle(TdevDocument_t* document, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                         int32_t style) {
  return PageShape(document, "rectangle", x1, y1, x2, y2, style);
}

int TdevXmlCut(TdevDocument_t* document, int32_t type) {
  static constexpr std::array<const char*, 3> kCut{"no_feed", "feed", "reserve"};
  return PrintWordElement(document, "cut", " type", kCut, type);
}

int TdevXmlPulse(TdevDocument_t* document, int32_t drawer, int32_t time) {
  static constexpr std::array<const char*, 2> kDrawer{"drawer_1", "drawer_2"};
  static constexpr std::array<const char*, 5> kTime{"pulse_100", "pulse_200", "pulse_300",
                                                    "pulse_400", "pulse_500"};
  if (const int rc = PrintDocument(document)) return rc;
  std::string_view d, t;
  if (!Pick(kDrawer, drawer, &d) || !Pick(kTime, time, &t)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<pulse").Word(" drawer", d).Word(" time", t).Lit("/>");
  return c.AppendTo(document->body);
}

int TdevXmlSound(TdevDocument_t* document, int32_t pattern, int32_t repeat, int32_t cycle) {
  static constexpr std::array<const char*, 18> kPatterns{
      "none",      "pattern_a", "pattern_b", "pattern_c", "pattern_d", "pattern_e",
      "error",     "paper_end", "pattern_1", "pattern_2", "pattern_3", "pattern_4",
      "pattern_5", "pattern_6", "pattern_7", "pattern_8", "pattern_9", "pattern_10"};
  if (const int rc = PrintDocument(document)) return rc;
  std::string_view word;
  if (!Pick(kPatterns, pattern, &word) || !In(repeat, 0, 255) ||
      (cycle != -1 && !In(cycle, 1000, 25500)))
    return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<sound").Word(" pattern", word).Attr(" repeat", repeat);
  if (cycle != -1) c.Attr(" cycle", cycle);
  c.Lit("/>");
  return c.AppendTo(document->body);
}

int TdevXmlLayout(TdevDocument_t* document, int32_t type, int32_t width, int32_t height,
                  int32_t marginTop, int32_t marginBottom, int32_t offsetCut, int32_t offsetLabel) {
  static constexpr std::array<const char*, 4> kTypes{"receipt", "receipt_bm", "label", "label"};
  if (const int rc = PrintDocument(document)) return rc;
  std::string_view word;
  if (!Pick(kTypes, type, &word)) return TDEV_BUILD_BAD_ARGUMENT;
  // A value of 0 always passes; the other values by the layout type.
  const auto check = [](int32_t v, bool allowed, int32_t lo, int32_t hi) {
    return v == 0 || (allowed && In(v, lo, hi));
  };
  const bool ok =
      check(width, true, 290, 600) && check(height, type >= 1, 284, 1550) &&
      (type == 1   ? check(marginTop, true, -150, 1500)
       : type == 2 ? check(marginTop, true, 1, 1500)
       : type == 3 ? check(marginTop, true, -15, 1500)
                   : check(marginTop, false, 0, 0)) &&
      (type == 2   ? check(marginBottom, true, -15, -1)
       : type == 3 ? check(marginBottom, true, -15, 15)
                   : check(marginBottom, false, 0, 0)) &&
      (type == 1 ? check(offsetCut, true, -290, 50) : check(offsetCut, type >= 2, 1, 50)) &&
      check(offsetLabel, type == 3, 1, 15);
  if (!ok) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<layout").Word(" type", word).Attr(" width", width).Attr(" height", height);
  c.Attr(" margin-top", marginTop).Attr(" margin-bottom", marginBottom);
  c.Attr(" offset-cut", offsetCut).Attr(" offset-label", offsetLabel).Lit("/>");
  return c.AppendTo(document->body);
}

int TdevXmlRecovery(TdevDocument_t* document) {
  if (const int rc = PrintDocument(document)) return rc;
  return BareElement(document, "<recovery/>");
}

int TdevXmlReset(TdevDocument_t* document) {
  if (const int rc = AnyDocument(document)) return rc;
  return BareElement(document, "<reset/>");
}

int TdevXmlCommand(TdevDocument_t* document, const uint8_t* bytes, int32_t count) {
  if (const int rc = AnyDocument(document)) return rc;
  if (!bytes || count < 1 || count > std::numeric_limits<int32_t>::max() / 2 - 32)
    return TDEV_BUILD_BAD_ARGUMENT;
  char* hex = static_cast<char*>(std::malloc(static_cast<size_t>(count) * 2 + 1));
  if (!hex) return TDEV_BUILD_NO_MEMORY;
  TdevBytesToHex(bytes, count, hex);
  Compose c;
  c.Lit("<command>").Bytes(hex, static_cast<size_t>(count) * 2).Lit("</command>");
  std::free(hex);
  return c.AppendTo(document->body);
}

// ---- Display document elements -------------------------------------------------

int TdevXmlWindow(TdevDocument_t* document, int32_t number, int32_t x, int32_t y, int32_t width,
                  int32_t height, int32_t scrollMode) {
  static constexpr std::array<const char*, 3> kScroll{"overwrite", "v_scroll", "h_scroll"};
  if (const int rc = DisplayDocument(document)) return rc;
  std::string_view word;
  if (!In(number, 1, 4) || !In(x, 1, 20) || !In(y, 1, 2) || !In(width, 1, 20) ||
      !In(height, 1, 20) || !Pick(kScroll, scrollMode, &word))
    return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<window").Attr(" number", number).Attr(" x", x).Attr(" y", y).Attr(" width", width);
  c.Attr(" height", height).Word(" scrollmode", word).Lit("/>");
  return c.AppendTo(document->body);
}

int TdevXmlWindowDestroy(TdevDocument_t* document, int32_t number) {
  if (const int rc = DisplayDocument(document)) return rc;
  if (!In(number, 1, 4)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<window").Attr(" number", number).Word(" destroy", "true").Lit("/>");
  return c.AppendTo(document->body);
}

int TdevXmlWindowSelect(TdevDocument_t* document, int32_t number) {
  if (const int rc = DisplayDocument(document)) return rc;
  if (!In(number, 1, 4)) return TDEV_BUILD_BAD_ARGUMENT;
  return NumberElement(document, "window", " number", number);
}

int TdevXmlClear(TdevDocument_t* document) {
  if (const int rc = DisplayDocument(document)) return rc;
  return BareElement(document, "<clear/>");
}

int TdevXmlCursor(TdevDocument_t* document, int32_t x, int32_t y) {
  if (const int rc = DisplayDocument(document)) return rc;
  if (!In(x, 1, 20) || !In(y, 1, 2)) return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<cursor").Attr(" x", x).Attr(" y", y).Lit("/>");
  return c.AppendTo(document->body);
}

int TdevXmlCursorMoveTo(TdevDocument_t* document, int32_t moveTo) {
  static constexpr std::array<const char*, 4> kMoveTo{"top_left", "top_right", "bottom_left",
                                                      "bottom_right"};
  if (const int rc = DisplayDocument(document)) return rc;
  std::string_view word;
  if (!Pick(kMoveTo, moveTo, &word)) return TDEV_BUILD_BAD_ARGUMENT;
  return WordElement(document, "cursor", " moveto", word);
}

int TdevXmlCursorType(TdevDocument_t* document, int32_t type) {
  static constexpr std::array<const char*, 2> kTypes{"none", "underline"};
  if (const int rc = DisplayDocument(document)) return rc;
  std::string_view word;
  if (!Pick(kTypes, type, &word)) return TDEV_BUILD_BAD_ARGUMENT;
  return WordElement(document, "cursor", " type", word);
}

int TdevXmlDisplayText(TdevDocument_t* document, const char* text, int32_t x, int32_t y,
                       int32_t lang, int32_t reverse) {
  static constexpr std::array<const char*, 2> kLang{"en", "ja-jp"};
  if (const int rc = DisplayDocument(document)) return rc;
  if (!text || !*text || (x != -1 && !In(x, 1, 20)) || (y != -1 && !In(y, 1, 2)) ||
      !(In(lang, 0, 1) || lang == 6) || !In(reverse, 0, 1))
    return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<text");
  if (x != -1) c.Attr(" x", x);
  if (y != -1) c.Attr(" y", y);
  if (lang != 6) c.Word(" lang", kLang[static_cast<size_t>(lang)]);
  c.Word(" reverse", kFalseTrue[static_cast<size_t>(reverse)]).Lit(">");
  c.Escaped(text, std::strlen(text)).Lit("</text>");
  return c.AppendTo(document->body);
}

int TdevXmlMarquee(TdevDocument_t* document, const char* text, int32_t uwait, int32_t rwait,
                   int32_t repeat, int32_t format, int32_t lang) {
  static constexpr std::array<const char*, 2> kFormat{"walk", "place"};
  static constexpr std::array<const char*, 2> kLang{"en", "ja-jp"};
  if (const int rc = DisplayDocument(document)) return rc;
  std::string_view f, l;
  if (!text || !*text || !In(uwait, 0, 2000) || !In(rwait, 100, 2000) || !In(repeat, 0, 127) ||
      !Pick(kFormat, format, &f) || !Pick(kLang, lang, &l))
    return TDEV_BUILD_BAD_ARGUMENT;
  Compose c;
  c.Lit("<marquee").Attr(" uwait", uwait).Attr(" rwait", rwait).Attr(" repeat", repeat);
  c.Word(" format", f).Word(" lang", l).Lit(">");
  c.Escaped(text, std::strlen(text)).Lit("</marquee>");
  return c.AppendTo(document->body);
}

int TdevXmlBlink(TdevDocument_t* document, int32_t interval) {
  if (const int rc = DisplayDocument(document)) return rc;
  if (!In(interval, 0, 12750)) return TDEV_BUILD_BAD_ARGUMENT;
  return NumberElement(document, "blink", " interval", interval);
}

int TdevXmlBrightness(TdevDocument_t* document, int32_t level) {
  static constexpr std::array<int32_t, 4> kValues{20, 40, 60, 100};
  if (const int rc = DisplayDocument(document)) return rc;
  if (!In(level, 0, 3)) return TDEV_BUILD_BAD_ARGUMENT;
  return NumberElement(document, "brightness", " value", kValues[static_cast<size_t>(level)]);
}

int TdevXmlClock(TdevDocument_t* document) {
  if (const int rc = DisplayDocument(document)) return rc;
  return BareElement(document, "<clock/>");
}

}  // namespace tilo2::core
