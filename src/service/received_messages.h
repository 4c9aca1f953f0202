#pragma once
// The reading side of the device-service protocol: framing of a channel's byte
// stream into NUL-terminated messages, parsing each message alone, the field
// rules, and the handler table that turns each message into one call of a
// sink. The sinks themselves live with the host connection
// (message_sinks.cpp); tests may hand in a table of their own.
//
// Field rules: a field is the text of the first element of its name anywhere
// in the message (document order, the root included); a missing or empty
// element reads as " ". Numbers are read like atol (0 for " ", and for a value
// outside the 32-bit range); "success" is true only for exactly "true" or "1";
// a "code" text becomes a reply code (a missing code reads as 0). Attributes
// are read only on the "response" element.

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "service/device_service.h"

namespace tilo2::core {

struct TdevConnection_t;

// Message-box messages (TdevCommHistoryItem_t, device_service.h): the three
// texts belong to whoever handed the item to the sink and are freed after the
// sink returns.

// The 18 sink slots, in slot order. Every sink receives the connection first.
// Texts are valid only during the call. Reply codes are TdevReplyCode values.
struct TdevMessageSinks_t {
  // 0 "connect": the client id the service gave, and its protocol version.
  void (*onConnect)(TdevConnection_t* connection, const char* clientId, double protocolVersion);
  // 1 "reconnect", 2 "disconnect".
  void (*onReconnect)(TdevConnection_t* connection, int32_t code);
  void (*onDisconnect)(TdevConnection_t* connection, int32_t code);
  // 3 "admin_info".
  void (*onAdminInfo)(TdevConnection_t* connection, int32_t code, const char* adminName,
                      const char* location);
  // 4 "open_commbox", 5 "close_commbox".
  void (*onOpenCommBox)(TdevConnection_t* connection, int32_t code, const char* boxId,
                        int32_t sequence, int32_t dataId);
  void (*onCloseCommBox)(TdevConnection_t* connection, int32_t code, const char* boxId,
                         int32_t sequence, int32_t dataId);
  // 6 "getcommhistory": items null and count 0 when the reply had no items.
  void (*onCommHistory)(TdevConnection_t* connection, int32_t sequence, const char* boxId,
                        int32_t code, TdevCommHistoryItem_t* items, int32_t count, int32_t dataId);
  // 7 "send" result.
  void (*onCommBoxSend)(TdevConnection_t* connection, int32_t sequence, const char* boxId,
                        int32_t code, int32_t count, int32_t dataId);
  // 8 a message-box message from another member.
  void (*onCommBoxReceive)(TdevConnection_t* connection, int32_t sequence, const char* boxId,
                           TdevCommHistoryItem_t* item, int32_t dataId);
  // 9 "open_device", 10 "close_device".
  void (*onOpenDevice)(TdevConnection_t* connection, int32_t code, const char* deviceId,
                       int32_t dataId);
  void (*onCloseDevice)(TdevConnection_t* connection, int32_t code, const char* deviceId,
                        int32_t dataId);
  // 11 "onxmlresult": a job's result. success 1/0; a failure without a code
  // already carries code 35 here.
  void (*onXmlResult)(TdevConnection_t* connection, int32_t sequence, const char* deviceId,
                      int32_t success, int32_t code, uint32_t status, int32_t battery,
                      const char* printJobId, int32_t dataId);
  // 12 "onreceive" of a device (hybrid printers); same code rule as 11.
  void (*onDeviceReceive)(TdevConnection_t* connection, int32_t sequence, const char* deviceId,
                          const char* eventType, int32_t eventTypeLength, int32_t success,
                          int32_t code, uint32_t status, const char* data);
  // 13 "onkeypress".
  void (*onKeyPress)(TdevConnection_t* connection, int32_t sequence, const char* deviceId,
                     int32_t keyCode, const char* ascii, int32_t dataId);
  // 14 "onstring": text decoded by TdevXmlUnescape.
  void (*onString)(TdevConnection_t* connection, int32_t sequence, const char* deviceId,
                   const char* text, int32_t prefix, int32_t dataId);
  // 15 "ondata": text decoded by TdevXmlUnescape.
  void (*onData)(TdevConnection_t* connection, int32_t sequence, const char* deviceId,
                 const char* text, int32_t dataId);
  // 16 "oncommandreply": the payload's bytes.
  void (*onCommandReply)(TdevConnection_t* connection, int32_t sequence, const char* deviceId,
                         const uint8_t* bytes, int32_t count, int32_t dataId);
  // 17 "error".
  void (*onError)(TdevConnection_t* connection, int32_t sequence, const char* deviceId,
                  int32_t code, const char* data, int32_t dataId);
};

// The client's own sinks (message_sinks.cpp).
const TdevMessageSinks_t* TdevDefaultMessageSinks();

// Payload caps: "input" texts and "oncommandreply" bytes beyond this are
// dropped with a log line.
inline constexpr int32_t TDEV_MAX_PAYLOAD = 64 * 1024;

// Parses one message (bytes without its NUL) and hands it to its handler,
// under the process-wide message-parsing lock, which stays held while the
// sink runs. Several top-level elements in one message are handled in order.
// 0 handled (or no handler, or an element without content), 1 the text does
// not parse or a handler refused it (slot empty, field unusable), 3 memory
// or a payload beyond its cap. A refused message is logged; the caller moves
// on. sinks null means TdevDefaultMessageSinks().
int TdevDispatchMessage(const char* bytes, size_t length, TdevConnection_t* connection,
                        const TdevMessageSinks_t* sinks = nullptr);

// Splits a complete text at NUL bytes (a last piece without NUL counts too)
// and dispatches every message alone, each failure logged and skipped. The
// result is the first failure's (0 when all were handled).
int TdevDispatchMessages(const char* bytes, size_t length, TdevConnection_t* connection,
                         const TdevMessageSinks_t* sinks = nullptr);

// A channel's receive framing: bytes go in as they are read; every complete
// message (up to its NUL) is dispatched once, in order; the incomplete tail
// waits for the next read. A tail that grows beyond kMaxPending is dropped
// with a log line, and reading resumes after the next NUL. One per channel;
// not thread-safe (the channel's receive thread is its only user).
class TdevMessageFramer {
 public:
  static constexpr size_t kMaxPending = 1024 * 1024;

  // Calls onMessage(const char* bytes, size_t length) for each complete
  // message, without its NUL. Empty messages (two NULs in a row) are skipped;
  // a message longer than kMaxPending is dropped whether or not it arrived in
  // one read, so the result never depends on how the stream was cut.
  template <class OnMessage>
  void Feed(const void* bytes, size_t length, OnMessage&& onMessage) {
    FeedWith(
        bytes, length,
        [](void* context, const char* message, size_t size) {
          (*static_cast<std::remove_reference_t<OnMessage>*>(context))(message, size);
        },
        const_cast<void*>(static_cast<const void*>(&onMessage)));
  }
  // Frames and dispatches through TdevDispatchMessage; each failure is logged.
  void Feed(const void* bytes, size_t length, TdevConnection_t* connection,
            const TdevMessageSinks_t* sinks = nullptr);

  size_t Pending() const { return pending_.size(); }
  // True while the bytes of an oversized message are being skipped.
  bool Discarding() const { return discarding_; }
  void Clear() {
    pending_.clear();
    pending_.shrink_to_fit();
    discarding_ = false;
  }

 private:
  using MessageFn = void (*)(void* context, const char* bytes, size_t length);
  void FeedWith(const void* bytes, size_t length, MessageFn onMessage, void* context);
  void Hold(const char* p, size_t n);  // appends, or starts discarding past the cap

  std::string pending_;
  bool discarding_ = false;
};

// Decodes the five predefined entities once more ("&amp;", "&gt;", "&lt;",
// "&quot;", "&apos;"); any other '&' is copied. Writes a NUL-terminated
// result into out (capacity bytes, NUL included); returns its length, or -1
// when it does not fit (or for null arguments).
int32_t TdevXmlUnescape(const char* text, char* out, int32_t capacity);

// The hybrid printer's operation named by an event type (compared over the
// event type's own length, so a leading part matches): 0 wait insertion,
// 1 print, 2 cancel, 3 eject, 4 MICR read, 5 MICR cleaning; the function
// answers 0, or 255 (and leaves *operation) for a type that names none, an
// empty type or null arguments.
int TdevHybridOperationKind(const char* eventType, int32_t length, int32_t* operation);

// A printer status reply's "response" element (HTTP SOAP body), read under
// its own process-wide lock: element texts "sequence", "device_id", "data_id";
// attributes "success" ("true" or "1"), "code", "status" and "battery" (both
// decimal, like atol: "0x10" reads as 0).
using TdevPrinterResponseFn = void (*)(void* handle, int32_t sequence, const char* deviceId,
                                       int32_t success, int32_t code, uint32_t status,
                                       int32_t battery, int32_t dataId);
// 0 the callback was called; 1 the text does not parse or no callback given;
// 2 well-formed but without a "response" element (no callback: no usable
// answer); 3 memory.
int TdevParsePrinterResponse(const char* text, size_t length, TdevPrinterResponseFn callback,
                             void* handle);

}  // namespace tilo2::core
