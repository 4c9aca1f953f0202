// Reading of the device service's messages: framing, parsing each message
// alone with pugixml, the field rules and the handler table.

#include "service/received_messages.h"

#include <cctype>
#include <charconv>
#include <cstring>
#include <limits>
#include <new>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "foundation/platform.h"
#include "service/reply_codes.h"

namespace tilo2::core {

namespace {

constexpr const char* kTag = "TDEV_";

// Serialises all dispatching, across every connection's receive thread; held
// while the sinks (and the device API layer's callbacks behind them) run.
PlatformMutex_t g_parseLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
// The status-reply reader's own lock: it runs on HTTP threads, never under
// the parsing lock.
PlatformMutex_t g_responseLock = PLATFORM_MUTEX_STATIC_INITIALIZER;

void LogLine(const void* handle, int result, const char* function, const char* text) {
  log_trace(kTag, LOG_TRACE_INFO, handle, result, function, LOG_ARG_STRING, text, LOG_ARG_END);
}

// Entities and character references are decoded; no DTD is read (pugixml
// never expands entities of its own declaration), and whitespace-only text is
// kept where it is an element's whole content, so a field of spaces survives.
constexpr unsigned kParseFlags = pugi::parse_default | pugi::parse_ws_pcdata_single;

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Skips what atol/strtol skip and an optional sign; returns the digits' start.
const char* SkipToDigits(const char* p, const char* end, bool* negative) {
  while (p < end && IsSpace(*p)) ++p;
  *negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    *negative = *p == '-';
    ++p;
  }
  return p;
}

// A signed 64-bit value read like strtol; false when nothing or too much.
bool ReadInteger(std::string_view text, int base, int64_t* value) {
  const char* end = text.data() + text.size();
  bool negative = false;
  const char* p = SkipToDigits(text.data(), end, &negative);
  if (base == 0) {
    if (end - p >= 3 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        std::isxdigit(static_cast<unsigned char>(p[2]))) {
      base = 16;
      p += 2;
    } else if (p < end && *p == '0') {
      base = 8;
    } else {
      base = 10;
    }
  }
  uint64_t magnitude = 0;
  const auto [stop, ec] = std::from_chars(p, end, magnitude, base);
  if (ec != std::errc{} || stop == p) return false;
  if (magnitude > uint64_t{std::numeric_limits<int64_t>::max()}) return false;
  *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

// atol: 0 for no number and for one outside the 32-bit range.
int32_t ReadLong(std::string_view text) {
  int64_t v = 0;
  if (!ReadInteger(text, 10, &v) || v < std::numeric_limits<int32_t>::min() ||
      v > std::numeric_limits<int32_t>::max())
    return 0;
  return static_cast<int32_t>(v);
}

// strtol with base 0, as a 32-bit status word: "0x" hexadecimal and octal are
// taken; a value that fits neither int32 nor uint32 reads as 0.
uint32_t ReadStatus(std::string_view text) {
  int64_t v = 0;
  if (!ReadInteger(text, 0, &v) || v < std::numeric_limits<int32_t>::min() ||
      v > int64_t{std::numeric_limits<uint32_t>::max()})
    return 0;
  return static_cast<uint32_t>(v);
}

// atol of a status word: decimal only ("0x10" reads as 0), any 32-bit pattern.
uint32_t ReadDecimalStatus(std::string_view text) {
  int64_t v = 0;
  if (!ReadInteger(text, 10, &v) || v < std::numeric_limits<int32_t>::min() ||
      v > int64_t{std::numeric_limits<uint32_t>::max()})
    return 0;
  return static_cast<uint32_t>(v);
}

// atof, without the locale.
double ReadDouble(std::string_view text) {
  const char* end = text.data() + text.size();
  const char* p = text.data();
  while (p < end && IsSpace(*p)) ++p;
  if (p < end && *p == '+') ++p;
  double v = 0;
  const auto [stop, ec] = std::from_chars(p, end, v);
  return ec == std::errc{} ? v : 0.0;
}

bool ReadSuccess(std::string_view text) { return text == "true" || text == "1"; }

int32_t ReadCode(const std::string& text) { return TdevReplyCodeFromString(text.c_str()); }

// Visits every node below the scope in document order. Iterative: a hostile
// message may nest elements as deep as its length allows.
template <class Visit>
void ForEachBelow(pugi::xml_node scope, Visit&& visit) {
  pugi::xml_node n = scope.first_child();
  while (n) {
    visit(n);
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n != scope && !n.next_sibling()) n = n.parent();
    if (n == scope) return;
    n = n.next_sibling();
  }
}

// The text inside an element: every text and CDATA below it, in order.
std::string InnerText(pugi::xml_node node) {
  std::string text;
  if (!node) return text;
  ForEachBelow(node, [&text](pugi::xml_node n) {
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) text.append(n.value());
  });
  return text;
}

// The first element of the name in document order: the node itself or any
// element below it.
pugi::xml_node FirstElement(pugi::xml_node scope, const char* name) {
  if (!scope) return {};
  if (std::strcmp(scope.name(), name) == 0) return scope;
  return scope.find_node([name](pugi::xml_node n) {
    return n.type() == pugi::node_element && std::strcmp(n.name(), name) == 0;
  });
}

// The first element of the name strictly below the scope.
pugi::xml_node FirstBelow(pugi::xml_node scope, const char* name) {
  if (!scope) return {};
  return scope.find_node([name](pugi::xml_node n) {
    return n.type() == pugi::node_element && std::strcmp(n.name(), name) == 0;
  });
}

// Every element of the name, the scope included, in document order.
void AllElements(pugi::xml_node scope, const char* name, std::vector<pugi::xml_node>* out) {
  if (std::strcmp(scope.name(), name) == 0) out->push_back(scope);
  ForEachBelow(scope, [name, out](pugi::xml_node n) {
    if (n.type() == pugi::node_element && std::strcmp(n.name(), name) == 0) out->push_back(n);
  });
}

// A field under the field rules: " " when missing or empty.
std::string OrSpace(std::string text) {
  if (text.empty()) text.push_back(' ');
  return text;
}

std::string Field(pugi::xml_node scope, const char* name) {
  return OrSpace(InnerText(FirstElement(scope, name)));
}

std::string Attribute(pugi::xml_node element, const char* name) {
  return OrSpace(element ? std::string(element.attribute(name).value()) : std::string());
}

// Results and hybrid events: a failure without a code gets its own code.
int32_t ResultCode(bool success, int32_t code) {
  return !success && code == TDEV_REPLY_OK ? TDEV_REPLY_FAILED_WITHOUT_CODE : code;
}

using Handler = int (*)(pugi::xml_node, const TdevMessageSinks_t&, TdevConnection_t*);

// Owned texts of message-box items; freed when the handler ends.
class Items {
 public:
  Items() = default;
  Items(const Items&) = delete;
  Items& operator=(const Items&) = delete;
  ~Items() {
    for (TdevCommHistoryItem_t& item : items_) {
      delete[] item.senderId;
      delete[] item.receiverId;
      delete[] item.message;
    }
  }
  // Reads the three texts below the element; false when one is missing.
  bool Add(pugi::xml_node element, const char* sender, const char* receiver, const char* message) {
    const pugi::xml_node s = FirstBelow(element, sender);
    const pugi::xml_node r = FirstBelow(element, receiver);
    const pugi::xml_node m = FirstBelow(element, message);
    if (!s || !r || !m) return false;
    items_.push_back({});
    TdevCommHistoryItem_t& item = items_.back();
    item.senderId = Copy(InnerText(s));
    item.receiverId = Copy(InnerText(r));
    item.message = Copy(InnerText(m));
    return true;
  }
  TdevCommHistoryItem_t* Data() { return items_.empty() ? nullptr : items_.data(); }
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }

 private:
  static char* Copy(const std::string& text) {
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
  }
  std::vector<TdevCommHistoryItem_t> items_;
};

int ParseConnect(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onConnect) return 1;
  const std::string clientId = Field(m, "client_id");
  sinks.onConnect(c, clientId.c_str(), ReadDouble(Field(m, "protocol_version")));
  return 0;
}

int ParseReconnect(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onReconnect) return 1;
  sinks.onReconnect(c, ReadCode(Field(m, "code")));
  return 0;
}

int ParseDisconnect(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onDisconnect) return 1;
  sinks.onDisconnect(c, ReadCode(Field(m, "code")));
  return 0;
}

int ParseAdminInfo(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onAdminInfo) return 1;
  const int32_t code = ReadCode(Field(m, "code"));
  const std::string name = Field(m, "admin_name");
  const std::string location = Field(m, "location");
  sinks.onAdminInfo(c, code, name.c_str(), location.c_str());
  return 0;
}

template <auto Slot>
int ParseCommBoxReply(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  const auto sink = sinks.*Slot;
  if (!sink) return 1;
  const int32_t sequence = ReadLong(Field(m, "sequence"));
  const int32_t dataId = ReadLong(Field(m, "data_id"));
  const std::string boxId = Field(m, "box_id");
  sink(c, ReadCode(Field(m, "code")), boxId.c_str(), sequence, dataId);
  return 0;
}

template <auto Slot>
int ParseDeviceReply(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  const auto sink = sinks.*Slot;
  if (!sink) return 1;
  const std::string deviceId = Field(m, "device_id");
  const int32_t code = ReadCode(Field(m, "code"));
  sink(c, code, deviceId.c_str(), ReadLong(Field(m, "data_id")));
  return 0;
}

int ParseError(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onError) return 1;
  const int32_t sequence = ReadLong(Field(m, "sequence"));
  const std::string deviceId = Field(m, "device_id");
  const int32_t code = ReadCode(Field(m, "code"));
  const std::string data = Field(m, "data");
  sinks.onError(c, sequence, deviceId.c_str(), code, data.c_str(), ReadLong(Field(m, "data_id")));
  return 0;
}

int ParseCommHistory(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onCommHistory) return 1;
  const int32_t sequence = ReadLong(Field(m, "sequence"));
  const int32_t dataId = ReadLong(Field(m, "data_id"));
  const std::string boxId = Field(m, "box_id");
  int32_t code = ReadCode(Field(m, "code"));
  // A well-formed reply always reaches the sink: no items is an empty
  // history; an item that lacks one of its texts makes the reply a failure
  // without items, rather than a silent loss of the request's answer.
  Items items;
  bool complete = true;
  std::vector<pugi::xml_node> lists;
  AllElements(m, "history_list", &lists);
  for (pugi::xml_node list : lists) {
    if (!items.Add(list, "senderId", "receiverId", "message")) {
      complete = false;
      break;
    }
  }
  if (!complete) {
    LogLine(c, 1, "TdevParseCommHistory", "History item incomplete.");
    if (code == TDEV_REPLY_OK) code = TDEV_REPLY_FAILED_WITHOUT_CODE;
    sinks.onCommHistory(c, sequence, boxId.c_str(), code, nullptr, 0, dataId);
    return 0;
  }
  sinks.onCommHistory(c, sequence, boxId.c_str(), code, items.Data(), items.Count(), dataId);
  return 0;
}

int ParseCommBoxSend(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onCommBoxSend) return 1;
  const int32_t sequence = ReadLong(Field(m, "sequence"));
  const int32_t dataId = ReadLong(Field(m, "data_id"));
  const std::string boxId = Field(m, "box_id");
  const int32_t code = ReadCode(Field(m, "code"));
  sinks.onCommBoxSend(c, sequence, boxId.c_str(), code, ReadLong(Field(m, "count")), dataId);
  return 0;
}

int ParseCommBoxReceive(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onCommBoxReceive) return 1;
  const int32_t sequence = ReadLong(Field(m, "sequence"));
  const int32_t dataId = ReadLong(Field(m, "data_id"));
  Items items;
  if (!items.Add(FirstElement(m, "data"), "sender_id", "receiver_id", "message")) return 1;
  const std::string boxId = Field(m, "box_id");
  sinks.onCommBoxReceive(c, sequence, boxId.c_str(), items.Data(), dataId);
  return 0;
}

int ParseXmlResult(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onXmlResult) return 1;
  const int32_t sequence = ReadLong(Field(m, "sequence"));
  const std::string deviceId = Field(m, "device_id");
  const int32_t dataId = ReadLong(Field(m, "data_id"));
  const pugi::xml_node response = FirstElement(m, "response");
  const bool success = ReadSuccess(Attribute(response, "success"));
  const int32_t code = ResultCode(success, ReadCode(Attribute(response, "code")));
  const uint32_t status = ReadStatus(Attribute(response, "status"));
  const int32_t battery = ReadLong(Attribute(response, "battery"));
  const std::string jobId = Field(m, "printjobid");
  sinks.onXmlResult(c, sequence, deviceId.c_str(), success ? 1 : 0, code, status, battery,
                    jobId.c_str(), dataId);
  return 0;
}

// The payload: the "data" element nested inside the first "data" element
// (which is the envelope of the event's fields).
pugi::xml_node Payload(pugi::xml_node m) { return FirstBelow(FirstElement(m, "data"), "data"); }

int ParseDeviceReceive(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onDeviceReceive) return 1;
  const int32_t sequence = ReadLong(Field(m, "sequence"));
  const std::string deviceId = Field(m, "device_id");
  const std::string eventType = Field(m, "eventtype");
  const bool success = ReadSuccess(Field(m, "success"));
  const int32_t code = ResultCode(success, ReadCode(Field(m, "code")));
  const uint32_t status = ReadStatus(Field(m, "status"));
  const std::string data = OrSpace(InnerText(Payload(m)));
  sinks.onDeviceReceive(c, sequence, deviceId.c_str(), eventType.c_str(),
                        static_cast<int32_t>(eventType.size()), success ? 1 : 0, code, status,
                        data.c_str());
  return 0;
}

int ParseKeyPress(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onKeyPress) return 1;
  const int32_t sequence = ReadLong(Field(m, "sequence"));
  const std::string deviceId = Field(m, "device_id");
  const int32_t dataId = ReadLong(Field(m, "data_id"));
  const std::string ascii = Field(m, "ascii");
  sinks.onKeyPress(c, sequence, deviceId.c_str(), ReadLong(Field(m, "keycode")), ascii.c_str(),
                   dataId);
  return 0;
}

// The "input" of a keyboard or serial event, decoded once more; false (with a
// log line) when it is beyond the payload cap.
bool ReadInput(pugi::xml_node m, TdevConnection_t* c, const char* function, std::string* out) {
  const std::string input = Field(m, "input");
  if (input.size() > static_cast<size_t>(TDEV_MAX_PAYLOAD)) {
    LogLine(c, 3, function, "Input beyond 64 KiB dropped.");
    return false;
  }
  out->resize(input.size() + 1);
  const int32_t n = TdevXmlUnescape(input.c_str(), out->data(), static_cast<int32_t>(out->size()));
  if (n < 0) return false;
  out->resize(static_cast<size_t>(n));
  return true;
}

int ParseString(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onString) return 1;
  const int32_t sequence = ReadLong(Field(m, "sequence"));
  const std::string deviceId = Field(m, "device_id");
  const int32_t dataId = ReadLong(Field(m, "data_id"));
  std::string text;
  if (!ReadInput(m, c, "TdevParseString", &text)) return 3;
  sinks.onString(c, sequence, deviceId.c_str(), text.c_str(), ReadLong(Field(m, "prefix")), dataId);
  return 0;
}

int ParseData(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onData) return 1;
  const int32_t sequence = ReadLong(Field(m, "sequence"));
  const std::string deviceId = Field(m, "device_id");
  const int32_t dataId = ReadLong(Field(m, "data_id"));
  std::string text;
  if (!ReadInput(m, c, "TdevParseData", &text)) return 3;
  sinks.onData(c, sequence, deviceId.c_str(), text.c_str(), dataId);
  return 0;
}

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

int ParseCommandReply(pugi::xml_node m, const TdevMessageSinks_t& sinks, TdevConnection_t* c) {
  if (!sinks.onCommandReply) return 1;
  const int32_t sequence = ReadLong(Field(m, "sequence"));
  const std::string deviceId = Field(m, "device_id");
  const int32_t dataId = ReadLong(Field(m, "data_id"));
  // An absent or empty payload is a reply of no bytes.
  const std::string hex = InnerText(Payload(m));
  if (hex.size() / 2 > static_cast<size_t>(TDEV_MAX_PAYLOAD)) {
    LogLine(c, 3, "TdevParseCommandReply", "Command reply beyond 64 KiB dropped.");
    return 3;
  }
  std::vector<uint8_t> bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = HexDigit(hex[i]);
    const int lo = i + 1 < hex.size() ? HexDigit(hex[i + 1]) : -1;
    if (hi < 0 || lo < 0) return 1;
    bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  sinks.onCommandReply(c, sequence, deviceId.c_str(), bytes.data(),
                       static_cast<int32_t>(bytes.size()), dataId);
  return 0;
}

struct Row {
  const char* root;
  const char* type;  // null: any
  Handler handler;
  const char* name;
};

constexpr Row kRows[] = {
    {"connect", nullptr, ParseConnect, "TdevParseConnect"},
    {"reconnect", nullptr, ParseReconnect, "TdevParseReconnect"},
    {"disconnect", nullptr, ParseDisconnect, "TdevParseDisconnect"},
    {"admin_info", nullptr, ParseAdminInfo, "TdevParseAdminInfo"},
    {"open_commbox", nullptr, ParseCommBoxReply<&TdevMessageSinks_t::onOpenCommBox>,
     "TdevParseOpenCommBox"},
    {"close_commbox", nullptr, ParseCommBoxReply<&TdevMessageSinks_t::onCloseCommBox>,
     "TdevParseCloseCommBox"},
    {"open_device", nullptr, ParseDeviceReply<&TdevMessageSinks_t::onOpenDevice>,
     "TdevParseOpenDevice"},
    {"close_device", nullptr, ParseDeviceReply<&TdevMessageSinks_t::onCloseDevice>,
     "TdevParseCloseDevice"},
    {"error", nullptr, ParseError, "TdevParseError"},
    {"commbox_data", "getcommhistory", ParseCommHistory, "TdevParseCommHistory"},
    {"commbox_data", "send", ParseCommBoxSend, "TdevParseCommBoxSend"},
    {"commbox_data", "onreceive", ParseCommBoxReceive, "TdevParseCommBoxReceive"},
    {"device_data", "onxmlresult", ParseXmlResult, "TdevParseXmlResult"},
    {"device_data", "onreceive", ParseDeviceReceive, "TdevParseDeviceReceive"},
    {"device_data", "onkeypress", ParseKeyPress, "TdevParseKeyPress"},
    {"device_data", "onstring", ParseString, "TdevParseString"},
    {"device_data", "ondata", ParseData, "TdevParseData"},
    {"device_data", "oncommandreply", ParseCommandReply, "TdevParseCommandReply"},
};

const Row* FindRow(pugi::xml_node message) {
  const std::string_view root = message.name();
  std::string type;
  bool typeRead = false;
  for (const Row& row : kRows) {
    if (root != row.root) continue;
    if (!row.type) return &row;
    if (!typeRead) {
      type = Field(message, "type");
      typeRead = true;
    }
    if (type == row.type) return &row;
  }
  return nullptr;
}

int HandleElement(pugi::xml_node message, const TdevMessageSinks_t& sinks,
                  TdevConnection_t* connection) {
  // An element without content (an empty "connect", say) is nobody's message.
  if (!message.first_child()) return 0;
  const Row* row = FindRow(message);
  if (!row) return 0;
  const int rc = row->handler(message, sinks, connection);
  if (rc != 0) LogLine(connection, rc, row->name, "Message refused.");
  return rc;
}

int Dispatch(const char* bytes, size_t length, TdevConnection_t* connection,
             const TdevMessageSinks_t& sinks) {
  try {
    pugi::xml_document document;
    const pugi::xml_parse_result parsed =
        document.load_buffer(bytes, length, kParseFlags, pugi::encoding_utf8);
    if (parsed.status == pugi::status_out_of_memory) {
      LogLine(connection, 3, "TdevDispatchMessages", "Out of memory parsing a message.");
      return 3;
    }
    if (!parsed) {
      LogLine(connection, 1, "TdevDispatchMessages", "Message does not parse.");
      return 1;
    }
    int result = 0;
    PlatformLockGuard lock(g_parseLock);
    for (pugi::xml_node node : document.children()) {
      if (node.type() != pugi::node_element) continue;
      const int rc = HandleElement(node, sinks, connection);
      if (result == 0) result = rc;
    }
    return result;
  } catch (const std::bad_alloc&) {
    LogLine(connection, 3, "TdevDispatchMessages", "Out of memory handling a message.");
    return 3;
  }
}

}  // namespace

int TdevDispatchMessage(const char* bytes, size_t length, TdevConnection_t* connection,
                        const TdevMessageSinks_t* sinks) {
  if (!bytes || length == 0) return 1;
  if (!sinks) sinks = TdevDefaultMessageSinks();
  if (!sinks) return 1;
  return Dispatch(bytes, length, connection, *sinks);
}

int TdevDispatchMessages(const char* bytes, size_t length, TdevConnection_t* connection,
                         const TdevMessageSinks_t* sinks) {
  if (!bytes) return 1;
  int result = 0;
  size_t start = 0;
  while (start < length) {
    const void* nul = std::memchr(bytes + start, 0, length - start);
    const size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : length;
    if (end > start) {
      const int rc = TdevDispatchMessage(bytes + start, end - start, connection, sinks);
      if (result == 0) result = rc;
    }
    start = end + 1;
  }
  return result;
}

// ---- Framing ----------------------------------------------------------------------

void TdevMessageFramer::Hold(const char* p, size_t n) {
  if (discarding_ || n == 0) return;
  if (pending_.size() + n > kMaxPending) {
    log_trace(kTag, LOG_TRACE_INFO, nullptr, 1, "TdevMessageFramer", LOG_ARG_STRING,
              "Message beyond 1 MiB dropped.", LOG_ARG_END);
    Clear();
    discarding_ = true;
    return;
  }
  pending_.append(p, n);
}

void TdevMessageFramer::FeedWith(const void* bytes, size_t length, MessageFn onMessage,
                                 void* context) {
  if (!bytes) return;
  const char* p = static_cast<const char*>(bytes);
  const char* const end = p + length;
  while (p < end) {
    const char* nul = static_cast<const char*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
    if (!nul) {
      Hold(p, static_cast<size_t>(end - p));
      return;
    }
    const size_t n = static_cast<size_t>(nul - p);
    p = nul + 1;
    if (discarding_) {
      discarding_ = false;  // the dropped message ends here
      continue;
    }
    if (pending_.empty()) {
      if (n > kMaxPending) {
        Hold(nul - n, n);  // logs and drops it the same way as a split one
        discarding_ = false;
      } else if (n > 0) {
        onMessage(context, nul - n, n);
      }
      continue;
    }
    Hold(nul - n, n);
    if (discarding_) {
      discarding_ = false;
      continue;
    }
    // Taken out first: a sink may feed this framer again only through a new
    // read, never the same message twice.
    std::string message;
    message.swap(pending_);
    onMessage(context, message.data(), message.size());
  }
}

void TdevMessageFramer::Feed(const void* bytes, size_t length, TdevConnection_t* connection,
                             const TdevMessageSinks_t* sinks) {
  Feed(bytes, length, [connection, sinks](const char* message, size_t size) {
    TdevDispatchMessage(message, size, connection, sinks);
  });
}

// ---- Decoders ---------------------------------------------------------------------

int32_t TdevXmlUnescape(const char* text, char* out, int32_t capacity) {
  static constexpr struct {
    std::string_view entity;
    char ch;
  } kEntities[] = {{"&amp;", '&'}, {"&gt;", '>'}, {"&lt;", '<'}, {"&quot;", '"'}, {"&apos;", '\''}};
  if (!text || !out || capacity < 1) return -1;
  const std::string_view in(text);
  int32_t n = 0;
  size_t i = 0;
  while (i < in.size()) {
    char ch = in[i];
    size_t used = 1;
    if (ch == '&') {
      for (const auto& e : kEntities) {
        if (in.substr(i, e.entity.size()) == e.entity) {
          ch = e.ch;
          used = e.entity.size();
          break;
        }
      }
    }
    if (n + 1 >= capacity) return -1;
    out[n++] = ch;
    i += used;
  }
  out[n] = '\0';
  return n;
}

int TdevHybridOperationKind(const char* eventType, int32_t length, int32_t* operation) {
  static constexpr struct {
    std::string_view word;
    int32_t operation;
  } kWords[] = {{"slipwaitinsertion", 0},
                {"endorsewaitinsertion", 0},
                {"validationwaitinsertion", 0},
                {"slipprint2", 1},
                {"endorseprint2", 1},
                {"validationprint2", 1},
                {"print", 1},
                {"slipcancel", 2},
                {"endorsecancel", 2},
                {"validationcancel", 2},
                {"micrcancel", 2},
                {"eject", 3},
                {"micrread", 4},
                {"micrcleaning", 5}};
  if (!eventType || !operation || length <= 0) return 255;
  const std::string_view type(eventType, static_cast<size_t>(length));
  for (const auto& w : kWords) {
    if (type.size() <= w.word.size() && w.word.substr(0, type.size()) == type) {
      *operation = w.operation;
      return 0;
    }
  }
  return 255;
}

int TdevParsePrinterResponse(const char* text, size_t length, TdevPrinterResponseFn callback,
                             void* handle) {
  if (!text || length == 0 || !callback) return 1;
  try {
    PlatformLockGuard lock(g_responseLock);
    pugi::xml_document document;
    const pugi::xml_parse_result parsed =
        document.load_buffer(text, length, kParseFlags, pugi::encoding_utf8);
    if (parsed.status == pugi::status_out_of_memory) return 3;
    if (!parsed) return 1;
    const pugi::xml_node root = document.document_element();
    const pugi::xml_node response = FirstElement(root, "response");
    // A reply without a response carries no status: the caller counts it as
    // no answer rather than as a status of 0 (which reads as all well).
    if (!response) return 2;
    const int32_t sequence = ReadLong(Field(root, "sequence"));
    const std::string deviceId = Field(root, "device_id");
    const int32_t dataId = ReadLong(Field(root, "data_id"));
    const bool success = ReadSuccess(Attribute(response, "success"));
    const int32_t code = ReadCode(Attribute(response, "code"));
    const uint32_t status = ReadDecimalStatus(Attribute(response, "status"));
    const int32_t battery = ReadLong(Attribute(response, "battery"));
    callback(handle, sequence, deviceId.c_str(), success ? 1 : 0, code, status, battery, dataId);
    return 0;
  } catch (const std::bad_alloc&) {
    return 3;
  }
}

}  // namespace tilo2::core
