#include "service/received_messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "service/reply_codes.h"

namespace tilo2::core {
namespace {

// What the sinks were called with, one line per call. The recorder travels as
// the connection pointer, which the reader never looks into.
struct Recorder {
  std::vector<std::string> calls;
  std::vector<std::vector<uint8_t>> replies;
  TdevConnection_t* Connection() { return reinterpret_cast<TdevConnection_t*>(this); }
};

Recorder& Of(TdevConnection_t* c) { return *reinterpret_cast<Recorder*>(c); }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return line;
}

std::string Item(const TdevCommHistoryItem_t& item) {
  std::string text(1, '{');
  text.append(item.senderId).append("|").append(item.receiverId).append("|");
  return text.append(item.message).append("}");
}

const TdevMessageSinks_t kRecordingSinks{
    [](TdevConnection_t* c, const char* clientId, double version) {
      Of(c).calls.push_back(Format("connect %s %g", clientId, version));
    },
    [](TdevConnection_t* c, int32_t code) { Of(c).calls.push_back(Format("reconnect %d", code)); },
    [](TdevConnection_t* c, int32_t code) { Of(c).calls.push_back(Format("disconnect %d", code)); },
    [](TdevConnection_t* c, int32_t code, const char* name, const char* location) {
      Of(c).calls.push_back(Format("admin_info %d [%s] [%s]", code, name, location));
    },
    [](TdevConnection_t* c, int32_t code, const char* box, int32_t sequence, int32_t dataId) {
      Of(c).calls.push_back(Format("open_commbox %d %s %d %d", code, box, sequence, dataId));
    },
    [](TdevConnection_t* c, int32_t code, const char* box, int32_t sequence, int32_t dataId) {
      Of(c).calls.push_back(Format("close_commbox %d %s %d %d", code, box, sequence, dataId));
    },
    [](TdevConnection_t* c, int32_t sequence, const char* box, int32_t code,
       TdevCommHistoryItem_t* items, int32_t count, int32_t dataId) {
      std::string line = Format("history %d %s %d %d %d", sequence, box, code, count, dataId);
      for (int32_t i = 0; i < count; ++i) {
        line.push_back(' ');
        line.append(Item(items[i]));
      }
      if (count == 0 && items) line += " items-not-null";
      Of(c).calls.push_back(line);
    },
    [](TdevConnection_t* c, int32_t sequence, const char* box, int32_t code, int32_t count,
       int32_t dataId) {
      Of(c).calls.push_back(Format("send %d %s %d %d %d", sequence, box, code, count, dataId));
    },
    [](TdevConnection_t* c, int32_t sequence, const char* box, TdevCommHistoryItem_t* item,
       int32_t dataId) {
      Of(c).calls.push_back(Format("receive %d %s %d ", sequence, box, dataId).append(Item(*item)));
    },
    [](TdevConnection_t* c, int32_t code, const char* device, int32_t dataId) {
      Of(c).calls.push_back(Format("open_device %d %s %d", code, device, dataId));
    },
    [](TdevConnection_t* c, int32_t code, const char* device, int32_t dataId) {
      Of(c).calls.push_back(Format("close_device %d %s %d", code, device, dataId));
    },
    [](TdevConnection_t* c, int32_t sequence, const char* device, int32_t success, int32_t code,
       uint32_t status, int32_t battery, const char* jobId, int32_t dataId) {
      Of(c).calls.push_back(Format("result %d %s %d %d 0x%X %d [%s] %d", sequence, device, success,
                                   code, status, battery, jobId, dataId));
    },
    [](TdevConnection_t* c, int32_t sequence, const char* device, const char* eventType,
       int32_t eventTypeLength, int32_t success, int32_t code, uint32_t status, const char* data) {
      Of(c).calls.push_back(Format("device_receive %d %s %s/%d %d %d 0x%X [%s]", sequence, device,
                                   eventType, eventTypeLength, success, code, status, data));
    },
    [](TdevConnection_t* c, int32_t sequence, const char* device, int32_t keyCode,
       const char* ascii, int32_t dataId) {
      Of(c).calls.push_back(
          Format("key %d %s %d [%s] %d", sequence, device, keyCode, ascii, dataId));
    },
    [](TdevConnection_t* c, int32_t sequence, const char* device, const char* text, int32_t prefix,
       int32_t dataId) {
      Of(c).calls.push_back(
          Format("string %d %s [%s] %d %d", sequence, device, text, prefix, dataId));
    },
    [](TdevConnection_t* c, int32_t sequence, const char* device, const char* text,
       int32_t dataId) {
      Of(c).calls.push_back(Format("data %d %s [%s] %d", sequence, device, text, dataId));
    },
    [](TdevConnection_t* c, int32_t sequence, const char* device, const uint8_t* bytes,
       int32_t count, int32_t dataId) {
      Of(c).calls.push_back(Format("command_reply %d %s %d %d", sequence, device, count, dataId));
      Of(c).replies.emplace_back(bytes, bytes + count);
    },
    [](TdevConnection_t* c, int32_t sequence, const char* device, int32_t code, const char* data,
       int32_t dataId) {
      Of(c).calls.push_back(Format("error %d %s %d [%s] %d", sequence, device, code, data, dataId));
    },
};

int Dispatch(Recorder& r, const std::string& text) {
  return TdevDispatchMessage(text.data(), text.size(), r.Connection(), &kRecordingSinks);
}

struct MessageRow {
  const char* name;
  std::string message;
  int rc;
  std::string call;  // empty: no sink is called
};

void CheckRows(const std::vector<MessageRow>& rows) {
  for (const MessageRow& row : rows) {
    Recorder r;
    EXPECT_EQ(Dispatch(r, row.message), row.rc) << row.name;
    if (row.call.empty()) {
      EXPECT_TRUE(r.calls.empty()) << row.name << ": " << (r.calls.empty() ? "" : r.calls[0]);
    } else {
      ASSERT_EQ(r.calls.size(), 1u) << row.name;
      EXPECT_EQ(r.calls[0], row.call) << row.name;
    }
  }
}

// ---- Every message of the service, field by field --------------------------------

TEST(TdevReceivedMessages, EveryRowOfTheHandlerTableReachesItsSink) {
  CheckRows({
      {"connect",
       "<connect><data><client_id>C1</client_id><protocol_version>1.5"
       "</protocol_version></data></connect>",
       0, "connect C1 1.5"},
      {"reconnect", "<reconnect><data><code>CLIENT_NOT_FOUND</code></data></reconnect>", 0,
       Format("reconnect %d", TDEV_REPLY_CLIENT_NOT_FOUND)},
      {"disconnect", "<disconnect><code>OK</code></disconnect>", 0, "disconnect 0"},
      {"admin_info",
       "<admin_info><data><code>OK</code><admin_name>Ann &amp; Bo</admin_name>"
       "<location>Shop 1</location></data></admin_info>",
       0, "admin_info 0 [Ann & Bo] [Shop 1]"},
      {"open_commbox",
       "<open_commbox><sequence>3</sequence><data_id>9</data_id><data>"
       "<box_id>box</box_id><code>MEMBERID_ALREADY_USED</code></data></open_commbox>",
       0, Format("open_commbox %d box 3 9", TDEV_REPLY_MEMBERID_ALREADY_USED)},
      {"close_commbox",
       "<close_commbox><sequence>4</sequence><data_id>10</data_id><data>"
       "<box_id>box</box_id></data></close_commbox>",
       0, "close_commbox 0 box 4 10"},
      {"open_device",
       "<open_device><device_id>local_printer</device_id><code>DEVICE_IN_USE</code>"
       "<data_id>11</data_id></open_device>",
       0, Format("open_device %d local_printer 11", TDEV_REPLY_DEVICE_IN_USE)},
      {"close_device",
       "<close_device><device_id>kbd</device_id><data_id>12</data_id>"
       "</close_device>",
       0, "close_device 0 kbd 12"},
      {"error",
       "<error><sequence>5</sequence><device_id>p</device_id><code>SchemaError</code>"
       "<data>bad</data><data_id>13</data_id></error>",
       0, Format("error 5 p %d [bad] 13", TDEV_REPLY_SCHEMA_ERROR)},
      {"getcommhistory",
       "<commbox_data><sequence>6</sequence><data_id>14</data_id><data>"
       "<type>getcommhistory</type><box_id>box</box_id><code>OK</code>"
       "<history_list><senderId>a</senderId><receiverId>b</receiverId>"
       "<message>hi</message></history_list><history_list><senderId>b"
       "</senderId><receiverId></receiverId><message>yo &lt;3</message>"
       "</history_list></data></commbox_data>",
       0, "history 6 box 0 2 14 {a|b|hi} {b||yo <3}"},
      {"send",
       "<commbox_data><sequence>7</sequence><data_id>15</data_id><data><type>send</type>"
       "<box_id>box</box_id><code>OK</code><count>2</count></data></commbox_data>",
       0, "send 7 box 0 2 15"},
      {"commbox receive",
       "<commbox_data><sequence>0</sequence><data_id>16</data_id><data>"
       "<type>onreceive</type><box_id>box</box_id><sender_id>x</sender_id>"
       "<receiver_id>y</receiver_id><message>m</message></data></commbox_data>",
       0, "receive 0 box 16 {x|y|m}"},
      {"onxmlresult",
       "<device_data><sequence>8</sequence><device_id>p</device_id>"
       "<data_id>17</data_id><data><type>onxmlresult</type><resultdata>"
       "<response success=\"true\" code=\"\" status=\"0x810F6F6F\" battery=\"3\"/>"
       "</resultdata><printjobid>J1</printjobid></data></device_data>",
       0, "result 8 p 1 0 0x810F6F6F 3 [J1] 17"},
      {"device onreceive",
       "<device_data><sequence>9</sequence><device_id>h</device_id><data>"
       "<type>onreceive</type><eventtype>slipprint2</eventtype><success>false"
       "</success><code>TPTR_COVER_OPEN</code><status>16</status><data>x&amp;y"
       "</data></data></device_data>",
       0, Format("device_receive 9 h slipprint2/10 0 %d 0x10 [x&y]", TDEV_REPLY_COVER_OPEN)},
      {"onkeypress",
       "<device_data><sequence>10</sequence><device_id>kbd</device_id><data_id>18"
       "</data_id><data><type>onkeypress</type><keycode>65</keycode><ascii>A</ascii>"
       "</data></device_data>",
       0, "key 10 kbd 65 [A] 18"},
      {"onstring",
       "<device_data><sequence>11</sequence><device_id>scn</device_id><data_id>19"
       "</data_id><data><type>onstring</type><input>12&amp;amp;34</input><prefix>7"
       "</prefix></data></device_data>",
       0, "string 11 scn [12&34] 7 19"},
      {"ondata",
       "<device_data><sequence>12</sequence><device_id>ser</device_id><data_id>20"
       "</data_id><data><type>ondata</type><input>abc</input></data></device_data>",
       0, "data 12 ser [abc] 20"},
      {"oncommandreply",
       "<device_data><sequence>13</sequence><device_id>ser</device_id><data_id>21"
       "</data_id><data><type>oncommandreply</type><data>0a1B</data></data>"
       "</device_data>",
       0, "command_reply 13 ser 2 21"},
  });
}

// The Part's edge cases and the field rules.
TEST(TdevReceivedMessages, FieldRulesAndEdgeCases) {
  const std::string xmlResult =
      "<device_data><sequence>1</sequence><device_id>p</device_id><data><type>onxmlresult</type>";
  CheckRows({
      {"a failure without a code gets code 35",
       xmlResult + "<response success=\"false\" status=\"1\"/></data></device_data>", 0,
       "result 1 p 0 35 0x1 0 [ ] 0"},
      {"a success in capitals is false",
       xmlResult + "<response success=\"TRUE\" code=\"TPTR_COVER_OPEN\"/></data></device_data>", 0,
       Format("result 1 p 0 %d 0x0 0 [ ] 0", TDEV_REPLY_COVER_OPEN)},
      {"success 1 is true", xmlResult + "<response success=\"1\"/></data></device_data>", 0,
       "result 1 p 1 0 0x0 0 [ ] 0"},
      {"status 0x10 is hexadecimal in a job result",
       xmlResult + "<response success=\"true\" status=\"0x10\" battery=\"0x10\"/></data>"
                   "</device_data>",
       0, "result 1 p 1 0 0x10 0 [ ] 0"},
      {"no response element: every attribute missing", xmlResult + "</data></device_data>", 0,
       "result 1 p 0 35 0x0 0 [ ] 0"},
      {"attributes are read only on the response element",
       xmlResult + "<other success=\"true\"/><response/></data></device_data>", 0,
       "result 1 p 0 35 0x0 0 [ ] 0"},
      {"a field is the first element of its name anywhere, nested or not",
       "<connect><x><y><client_id>deep</client_id></y></x><client_id>late</client_id></connect>", 0,
       "connect deep 0"},
      {"missing fields read as one space", "<admin_info><code>OK</code></admin_info>", 0,
       "admin_info 0 [ ] [ ]"},
      {"an empty field reads as one space", "<admin_info><admin_name></admin_name></admin_info>", 0,
       "admin_info 0 [ ] [ ]"},
      {"a field of spaces keeps them", "<admin_info><admin_name>   </admin_name></admin_info>", 0,
       "admin_info 0 [   ] [ ]"},
      {"a missing ascii reads one space",
       "<device_data><data><type>onkeypress</type><keycode>13</keycode></data></device_data>", 0,
       "key 0   13 [ ] 0"},
      {"a missing input reads one space",
       "<device_data><data><type>ondata</type></data></device_data>", 0, "data 0   [ ] 0"},
      {"numbers: sign, blanks, trailing text, beyond 32 bits",
       "<close_commbox><sequence> -3</sequence><data_id>99999999999</data_id><box_id>b</box_id>"
       "</close_commbox>",
       0, "close_commbox 0 b -3 0"},
      {"trailing text after digits", "<open_device><data_id>12abc</data_id></open_device>", 0,
       "open_device 0   12"},
      {"character references are decoded",
       "<connect><client_id>&#65;&#x42;&lt;</client_id></connect>", 0, "connect AB< 0"},
      {"CDATA is text", "<connect><client_id><![CDATA[a<b]]></client_id></connect>", 0,
       "connect a<b 0"},
      {"an input escaped twice reaches the callback as a plain less-than sign",
       "<device_data><data><type>ondata</type><input>&amp;lt;</input></data></device_data>", 0,
       "data 0   [<] 0"},
      {"hybrid event: only the nested data element is the payload",
       "<device_data><data><type>onreceive</type><eventtype>eject</eventtype><success>true"
       "</success><status>0x40</status></data></device_data>",
       0, "device_receive 0   eject/5 1 0 0x40 [ ]"},
      {"an empty element is nobody's message", "<connect/>", 0, ""},
      {"an empty element with tags is nobody's message", "<connect></connect>", 0, ""},
      {"an unknown root is skipped", "<hello><x>1</x></hello>", 0, ""},
      {"an unknown type is skipped",
       "<device_data><data><type>onsomething</type></data></device_data>", 0, ""},
      {"the type is compared exactly",
       "<commbox_data><data><type>Send</type></data></commbox_data>", 0, ""},
      {"a message that does not parse", "<connect><client_id>C1</connect>", 1, ""},
      {"plain text does not parse", "garbage", 1, ""},
      {"command reply 0a1 has an odd length",
       "<device_data><data><type>oncommandreply</type><data>0a1</data></data></device_data>", 1,
       ""},
      {"command reply with a non-hex digit",
       "<device_data><data><type>oncommandreply</type><data>0g</data></data></device_data>", 1, ""},
      {"command reply without payload is zero bytes",
       "<device_data><data><type>oncommandreply</type></data></device_data>", 0,
       "command_reply 0   0 0"},
      {"message-box receive without its message",
       "<commbox_data><data><type>onreceive</type><sender_id>x</sender_id><receiver_id>y"
       "</receiver_id></data><message>outside</message></commbox_data>",
       1, ""},
  });
}

// A well-formed history reply always answers its request.
TEST(TdevReceivedMessages, HistoryRepliesAlwaysReachTheirSink) {
  CheckRows({
      {"no items is an empty history",
       "<commbox_data><sequence>2</sequence><data><type>getcommhistory</type><box_id>b</box_id>"
       "<code>OK</code></data></commbox_data>",
       0, "history 2 b 0 0 0"},
      {"an item without its receiver fails the reply without items",
       "<commbox_data><sequence>3</sequence><data><type>getcommhistory</type><box_id>b</box_id>"
       "<history_list><senderId>a</senderId><receiverId>b</receiverId><message>1</message>"
       "</history_list><history_list><senderId>a</senderId><message>2</message></history_list>"
       "</data></commbox_data>",
       0, "history 3 b 35 0 0"},
      {"a failed request keeps its own code",
       "<commbox_data><sequence>4</sequence><data><type>getcommhistory</type><box_id>b</box_id>"
       "<code>BOX_CLIENT_OVER</code><history_list/></data></commbox_data>",
       0, Format("history 4 b %d 0 0", TDEV_REPLY_BOX_CLIENT_OVER)},
  });
}

// No 255-byte limit on payloads; beyond 64 KiB they are dropped.
TEST(TdevReceivedMessages, PayloadsUpToTheirCapArriveWhole) {
  Recorder r;
  const std::string input(300, 'k');
  EXPECT_EQ(Dispatch(r, "<device_data><data><type>onstring</type><input>" + input +
                            "</input></data></device_data>"),
            0);
  std::string hex;
  for (int i = 0; i < 300; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", i & 0xFF);
    hex.append(pair);
  }
  EXPECT_EQ(Dispatch(r, "<device_data><data><type>oncommandreply</type><data>" + hex +
                            "</data></data></device_data>"),
            0);
  ASSERT_EQ(r.calls.size(), 2u);
  EXPECT_EQ(r.calls[0], "string 0   [" + input + "] 0 0");
  ASSERT_EQ(r.replies.size(), 1u);
  ASSERT_EQ(r.replies[0].size(), 300u);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(r.replies[0][static_cast<size_t>(i)], i & 0xFF);

  const std::string atCap(TDEV_MAX_PAYLOAD, 'x');
  const std::string overCap(TDEV_MAX_PAYLOAD + 1, 'x');
  EXPECT_EQ(Dispatch(r, "<device_data><data><type>ondata</type><input>" + atCap +
                            "</input></data></device_data>"),
            0);
  EXPECT_EQ(Dispatch(r, "<device_data><data><type>ondata</type><input>" + overCap +
                            "</input></data></device_data>"),
            3);
  const std::string hexOverCap(2 * (TDEV_MAX_PAYLOAD + 1), 'A');
  EXPECT_EQ(Dispatch(r, "<device_data><data><type>oncommandreply</type><data>" + hexOverCap +
                            "</data></data></device_data>"),
            3);
  EXPECT_EQ(r.calls.size(), 3u);
}

// Documents bring no definitions of their own: a declared entity stays text.
TEST(TdevReceivedMessages, NoDocumentTypeIsProcessed) {
  CheckRows({
      {"declared entity",
       "<!DOCTYPE connect [<!ENTITY e \"boom\">]><connect><client_id>&e;"
       "</client_id></connect>",
       0, "connect &e; 0"},
      {"comments and a declaration are skipped",
       "<?xml version=\"1.0\"?><!-- hi --><connect><client_id>C1</client_id></connect>", 0,
       "connect C1 0"},
  });
}

// Hostile nesting as deep as a message allows is walked without recursion.
TEST(TdevReceivedMessages, DeepNestingIsReadWithoutExhaustingTheStack) {
  constexpr int kDepth = 200000;
  std::string message = "<connect>";
  message.reserve(static_cast<size_t>(kDepth) * 7 + 64);
  for (int i = 0; i < kDepth; ++i) message.append("<a>");
  message.append("<client_id>deep</client_id>");
  for (int i = 0; i < kDepth; ++i) message.append("</a>");
  message.append("</connect>");
  Recorder r;
  EXPECT_EQ(Dispatch(r, message), 0);
  ASSERT_EQ(r.calls.size(), 1u);
  EXPECT_EQ(r.calls[0], "connect deep 0");
}

TEST(TdevReceivedMessages, EmptySlotsRefuseTheirMessages) {
  Recorder r;
  const TdevMessageSinks_t none{};
  const std::string connect = "<connect><client_id>C1</client_id></connect>";
  EXPECT_EQ(TdevDispatchMessage(connect.data(), connect.size(), r.Connection(), &none), 1);
  EXPECT_EQ(TdevDispatchMessage(nullptr, 0, r.Connection(), &kRecordingSinks), 1);
}

TEST(TdevReceivedMessages, MessagesSeparatedByNulAreHandledInOrderEachAlone) {
  Recorder r;
  const std::string text = std::string("<disconnect><code>OK</code></disconnect>") + '\0' +
                           "<connect><client_id>bad</connect>" + '\0' + '\0' +
                           "<reconnect><code>PARAM_ERROR</code></reconnect>" + '\0';
  EXPECT_EQ(TdevDispatchMessages(text.data(), text.size(), r.Connection(), &kRecordingSinks), 1);
  ASSERT_EQ(r.calls.size(), 2u);
  EXPECT_EQ(r.calls[0], "disconnect 0");
  EXPECT_EQ(r.calls[1], Format("reconnect %d", TDEV_REPLY_PARAM_ERROR));
}

// ---- Framing ---------------------------------------------------------------------------

std::vector<std::string> FeedInPieces(const std::string& stream, size_t piece) {
  TdevMessageFramer framer;
  std::vector<std::string> messages;
  for (size_t at = 0; at < stream.size(); at += piece) {
    framer.Feed(stream.data() + at, std::min(piece, stream.size() - at),
                [&](const char* m, size_t n) { messages.emplace_back(m, n); });
  }
  return messages;
}

TEST(TdevMessageFramer, EveryCutOfTheStreamGivesTheSameMessagesOnce) {
  const std::string a = "<connect><client_id>C1</client_id></connect>";
  const std::string b(5000, 'b');
  const std::string c = "<admin_info><code>OK</code></admin_info>";
  const std::string stream = a + '\0' + '\0' + b + '\0' + c + '\0' + "<tail";
  const std::vector<std::string> expected{a, b, c};
  for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{100}, size_t{4096}, stream.size()}) {
    EXPECT_EQ(FeedInPieces(stream, piece), expected) << "pieces of " << piece;
  }
  TdevMessageFramer framer;
  framer.Feed(stream.data(), stream.size(), [](const char*, size_t) {});
  EXPECT_EQ(framer.Pending(), 5u);  // "<tail" waits for its NUL
  framer.Clear();
  EXPECT_EQ(framer.Pending(), 0u);
}

TEST(TdevMessageFramer, AnOversizedMessageIsDroppedAndReadingResumesAfterItsNul) {
  const std::string big(TdevMessageFramer::kMaxPending + 1, 'x');
  const std::string justFits(TdevMessageFramer::kMaxPending, 'y');
  const std::string stream =
      "first" + std::string(1, '\0') + big + '\0' + justFits + '\0' + "last" + '\0';
  for (size_t piece : {size_t{65536}, size_t{300000}, stream.size()}) {
    const std::vector<std::string> messages = FeedInPieces(stream, piece);
    ASSERT_EQ(messages.size(), 3u) << piece;
    EXPECT_EQ(messages[0], "first");
    EXPECT_EQ(messages[1].size(), justFits.size());
    EXPECT_EQ(messages[2], "last");
  }
  // The dropped bytes are not held while the rest of the message streams in.
  TdevMessageFramer framer;
  int delivered = 0;
  const auto count = [&](const char*, size_t) { ++delivered; };
  for (int i = 0; i < 3; ++i) framer.Feed(justFits.data(), justFits.size(), count);
  EXPECT_TRUE(framer.Discarding());
  EXPECT_EQ(framer.Pending(), 0u);
  const std::string end = std::string("zz") + '\0' + "ok" + '\0';
  framer.Feed(end.data(), end.size(), count);
  EXPECT_EQ(delivered, 1);
  EXPECT_FALSE(framer.Discarding());
}

// A bad hex payload between two good messages leaves both good ones
// delivered once, however the bytes are cut.
TEST(TdevMessageFramer, ARefusedMessageBetweenGoodOnesIsSkipped) {
  const std::string good1 =
      "<device_data><sequence>1</sequence><device_id>s</device_id><data>"
      "<type>oncommandreply</type><data>0102</data></data></device_data>";
  const std::string bad =
      "<device_data><sequence>2</sequence><device_id>s</device_id><data>"
      "<type>oncommandreply</type><data>0Z</data></data></device_data>";
  const std::string good2 =
      "<device_data><sequence>3</sequence><device_id>s</device_id><data>"
      "<type>oncommandreply</type><data>03</data></data></device_data>";
  const std::string stream = good1 + '\0' + bad + '\0' + good2 + '\0';
  for (size_t piece : {size_t{1}, size_t{100}, size_t{4096}}) {
    Recorder r;
    TdevMessageFramer framer;
    for (size_t at = 0; at < stream.size(); at += piece)
      framer.Feed(stream.data() + at, std::min(piece, stream.size() - at), r.Connection(),
                  &kRecordingSinks);
    ASSERT_EQ(r.calls.size(), 2u) << piece;
    EXPECT_EQ(r.calls[0], "command_reply 1 s 2 0");
    EXPECT_EQ(r.calls[1], "command_reply 3 s 1 0");
    EXPECT_EQ(framer.Pending(), 0u);
  }
}

// ---- Lock ------------------------------------------------------------------------------

std::atomic<int> g_inside{0};
std::atomic<int> g_most{0};
std::atomic<int> g_seen{0};

// Two receive threads dispatch at once; the sinks never overlap.
TEST(TdevReceivedMessages, OneDispatchAtATimeAcrossThreads) {
  TdevMessageSinks_t sinks{};
  sinks.onDisconnect = [](TdevConnection_t*, int32_t) {
    const int now = g_inside.fetch_add(1) + 1;
    int most = g_most.load();
    while (now > most && !g_most.compare_exchange_weak(most, now)) {
    }
    std::this_thread::yield();
    g_seen.fetch_add(1);
    g_inside.fetch_sub(1);
  };
  const std::string message = "<disconnect><code>OK</code></disconnect>";
  constexpr int kEach = 400;
  auto run = [&] {
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(TdevDispatchMessage(message.data(), message.size(), nullptr, &sinks), 0);
  };
  std::thread a(run);
  std::thread b(run);
  a.join();
  b.join();
  EXPECT_EQ(g_seen.load(), 2 * kEach);
  EXPECT_EQ(g_most.load(), 1);
}

// ---- Decoders ----------------------------------------------------------------------------

TEST(TdevXmlUnescape, DecodesTheFivePredefinedEntitiesOnce) {
  struct Row {
    const char* in;
    const char* out;
  };
  const Row rows[] = {
      {"&amp;&gt;&lt;&quot;&apos;", "&><\"'"},
      {"&amp;lt;", "&lt;"},  // one level only
      {"a & b", "a & b"},
      {"&#65;&copy;&", "&#65;&copy;&"},
      {"", ""},
  };
  for (const Row& row : rows) {
    char out[64];
    const int32_t n = TdevXmlUnescape(row.in, out, sizeof out);
    EXPECT_STREQ(out, row.out) << row.in;
    EXPECT_EQ(n, static_cast<int32_t>(std::strlen(row.out)));
  }
  char small[4];
  EXPECT_EQ(TdevXmlUnescape("abc", small, 4), 3);
  EXPECT_EQ(TdevXmlUnescape("abcd", small, 4), -1);
  EXPECT_EQ(TdevXmlUnescape("&amp;&amp;&amp;", small, 4), 3);
  EXPECT_EQ(TdevXmlUnescape(nullptr, small, 4), -1);
}

TEST(TdevHybridOperationKind, LeadingPartsMatchInTableOrder) {
  struct Row {
    const char* type;
    int rc;
    int32_t operation;
  };
  const Row rows[] = {
      {"slipwaitinsertion", 0, 0},
      {"validationwaitinsertion", 0, 0},
      {"endorseprint2", 0, 1},
      {"print", 0, 1},
      {"micrcancel", 0, 2},
      {"eject", 0, 3},
      {"micrread", 0, 4},
      {"micrcleaning", 0, 5},
      {"slip", 0, 0},
      {"micr", 0, 2},
      {"p", 0, 1},
      {"ejectx", 255, -1},
      {"clearbuffer", 255, -1},
      {"Eject", 255, -1},
      {"", 255, -1},
  };
  for (const Row& row : rows) {
    int32_t operation = -1;
    EXPECT_EQ(
        TdevHybridOperationKind(row.type, static_cast<int32_t>(std::strlen(row.type)), &operation),
        row.rc)
        << row.type;
    EXPECT_EQ(operation, row.operation) << row.type;
  }
}

// ---- Status replies --------------------------------------------------------------------

struct ResponseCall {
  int calls = 0;
  std::string line;
};

void OnResponse(void* handle, int32_t sequence, const char* deviceId, int32_t success, int32_t code,
                uint32_t status, int32_t battery, int32_t dataId) {
  auto* call = static_cast<ResponseCall*>(handle);
  ++call->calls;
  call->line =
      Format("%d %s %d %d 0x%X %d %d", sequence, deviceId, success, code, status, battery, dataId);
}

TEST(TdevParsePrinterResponse, ReadsTheResponseElementOfASoapReply) {
  struct Row {
    const char* name;
    std::string body;
    int rc;
    const char* line;
  };
  const std::string envelope =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/"
      "soap/envelope/\"><s:Body>";
  const std::vector<Row> rows = {
      {"full",
       envelope + "<response success=\"true\" code=\"\" status=\"251854870\" "
                  "battery=\"12\"/></s:Body></s:Envelope>",
       0, "0   1 0 0xF030016 12 0"},
      {"status above 2^31",
       envelope + "<response success=\"1\" status=\"2165272431\"/>"
                  "</s:Body></s:Envelope>",
       0, "0   1 0 0x810F6F6F 0 0"},
      {"hexadecimal status reads 0 here",
       envelope + "<response success=\"true\" status=\"0x10\"/></s:Body></s:Envelope>", 0,
       "0   1 0 0x0 0 0"},
      {"code and element fields",
       envelope + "<response success=\"false\" code=\"EX_TIMEOUT\" status=\"1\"><sequence>4"
                  "</sequence><device_id>p</device_id></response></s:Body></s:Envelope>",
       0, nullptr},
      {"no response element", envelope + "<fault/></s:Body></s:Envelope>", 2, nullptr},
      {"does not parse", "<s:Envelope><s:Body>", 1, nullptr},
      {"empty", "", 1, nullptr},
  };
  for (const Row& row : rows) {
    ResponseCall call;
    EXPECT_EQ(TdevParsePrinterResponse(row.body.data(), row.body.size(), OnResponse, &call), row.rc)
        << row.name;
    EXPECT_EQ(call.calls, row.rc == 0 ? 1 : 0) << row.name;
    if (row.line) {
      EXPECT_EQ(call.line, row.line) << row.name;
    }
    if (std::string(row.name) == "code and element fields") {
      EXPECT_EQ(call.line, Format("4 p 0 %d 0x1 0 0", TdevReplyCodeFromString("EX_TIMEOUT")));
    }
  }
  const std::string body = envelope + "<response/></s:Body></s:Envelope>";
  EXPECT_EQ(TdevParsePrinterResponse(body.data(), body.size(), nullptr, nullptr), 1);
}

}  // namespace
}  // namespace tilo2::core
