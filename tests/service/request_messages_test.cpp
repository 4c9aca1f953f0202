#include "service/request_messages.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <pugixml.hpp>
#include <random>
#include <string>
#include <vector>

#include "service/device_service.h"

namespace tilo2::core {
namespace {

std::string Str(const TdevBuffer_t* buffer) { return std::string(TdevBufferView(buffer)); }

// Frees a built message whatever the test's outcome.
struct Built {
  TdevBuffer_t* buffer = nullptr;
  ~Built() { TdevBufferFree(buffer); }
  std::string Text() const { return Str(buffer); }
};

struct DocumentFixture {
  explicit DocumentFixture(int32_t kind = TDEV_DOC_PRINT, const char* id = "local_printer") {
    EXPECT_EQ(TdevDocCreate(kind, id, &document), 0);
  }
  ~DocumentFixture() { TdevDocFree(document); }
  std::string Body() const { return Str(document->body); }
  TdevDocument_t* document = nullptr;
};

// ---- Buffer -----------------------------------------------------------------------

TEST(TdevBuffer, AppendRefusesBadArgumentsAndLeavesTheBufferAsItWas) {
  TdevBuffer_t* b = TdevBufferCreate();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->data, nullptr);
  EXPECT_EQ(TdevBufferAppend(b, "abc", 3), 0);
  EXPECT_EQ(TdevBufferAppend(nullptr, "x", 1), 1);
  EXPECT_EQ(TdevBufferAppend(b, nullptr, 1), 1);
  EXPECT_EQ(TdevBufferAppend(b, "x", 0), 1);
  EXPECT_EQ(TdevBufferAppend(b, "x", -4), 1);
  EXPECT_EQ(TdevBufferAppendText(b, "n", nullptr), 1);
  EXPECT_EQ(TdevBufferAppendText(b, nullptr, "t"), 1);
  EXPECT_EQ(TdevBufferAppendText(b, "", "t"), 1);
  EXPECT_EQ(TdevBufferAppendNumber(b, nullptr, 1), 1);
  EXPECT_EQ(Str(b), "abc");
  TdevBufferRelease(&b);
  EXPECT_EQ(b, nullptr);
  TdevBufferRelease(&b);  // a second release is harmless
}

TEST(TdevBuffer, ManySmallAppendsGrowGeometricallyWithTheSameBytes) {
  TdevBuffer_t* b = TdevBufferCreate();
  std::string expected;
  int reallocations = 0;
  for (int i = 0; i < 20000; ++i) {
    const int32_t before = b->capacity;
    const char ch = static_cast<char>('a' + i % 26);
    ASSERT_EQ(TdevBufferAppend(b, &ch, 1), 0);
    expected.push_back(ch);
    if (b->capacity != before) ++reallocations;
  }
  EXPECT_EQ(Str(b), expected);
  EXPECT_EQ(b->length, 20000);
  EXPECT_LT(reallocations, 16);  // exact-size blocks would take 20000
  TdevBufferFree(b);
}

TEST(TdevBuffer, TextAndNumberElementsAndAttributes) {
  TdevBuffer_t* b = TdevBufferCreate();
  EXPECT_EQ(TdevBufferAppendText(b, "member_id", ""), 0);
  EXPECT_EQ(TdevBufferAppendNumber(b, "sequence", -2147483647 - 1), 0);
  EXPECT_EQ(TdevBufferAppendNumber(b, "timeout", 2147483647), 0);
  EXPECT_EQ(TdevAttrAppend(b, " align", "\"left\""), 0);
  EXPECT_EQ(TdevAttrAppendNumber(b, " x", 65535), 0);
  EXPECT_EQ(Str(b),
            "<member_id></member_id><sequence>-2147483648</sequence>"
            "<timeout>2147483647</timeout> align=\"left\" x=\"65535\"");
  TdevBufferFree(b);
}

// Every escape of the text rule, and the bytes it leaves alone.
TEST(TdevBuffer, TextRuleEscapesSevenCharactersOnly) {
  struct Row {
    const char* in;
    const char* out;
  };
  const Row rows[] = {
      {"a\tb", "a&#9;b"},
      {"a\nb", "a&#xA;b"},
      {"say \"hi\"", "say &quot;hi&quot;"},
      {"R&D", "R&amp;D"},
      {"it's", "it&apos;s"},
      {"<b>", "&lt;b&gt;"},
      {"cr\rstays", "cr\rstays"},
      {"&amp;", "&amp;amp;"},  // no double-decoding shortcut
      {"\xE2\x82\xAC 5", "\xE2\x82\xAC 5"},
  };
  for (const Row& row : rows) {
    TdevBuffer_t* b = TdevBufferCreate();
    EXPECT_EQ(TdevBufferAppendText(b, "message", row.in), 0);
    EXPECT_EQ(Str(b), std::string("<message>") + row.out + "</message>") << row.in;
    TdevBufferFree(b);
  }
}

// ---- Conversions ---------------------------------------------------------------------

TEST(TdevConversions, HexIsUpperCaseTwoDigitsPerByte) {
  const uint8_t bytes[] = {0x1B, 0x40, 0x00, 0xFF, 0x0a};
  char out[sizeof bytes * 2 + 1];
  TdevBytesToHex(bytes, 5, out);
  EXPECT_STREQ(out, "1B4000FF0A");
}

TEST(TdevConversions, Base64IsPaddedAndItsLengthIsFourPerStartedTriple) {
  struct Row {
    std::string in;
    const char* out;
  };
  const Row rows[] = {
      {"M", "TQ=="},        {"Ma", "TWE="},           {"Man", "TWFu"},
      {"Many", "TWFueQ=="}, {"\xFF\xFE\xFD", "//79"}, {"light work.", "bGlnaHQgd29yay4="}};
  for (const Row& row : rows) {
    int32_t length = -1;
    char* encoded = TdevBase64Encode(reinterpret_cast<const uint8_t*>(row.in.data()),
                                     static_cast<int32_t>(row.in.size()), &length);
    ASSERT_NE(encoded, nullptr);
    EXPECT_STREQ(encoded, row.out);
    EXPECT_EQ(length, 4 * ((static_cast<int32_t>(row.in.size()) + 2) / 3));
    std::free(encoded);
  }
  const uint8_t one = 1;
  int32_t length = -1;
  EXPECT_EQ(TdevBase64Encode(&one, 0, &length), nullptr);
  EXPECT_EQ(TdevBase64Encode(nullptr, 1, &length), nullptr);
  EXPECT_EQ(TdevBase64Encode(&one, TDEV_MAX_RASTER_BYTES + 1, &length), nullptr);
}

// ---- Documents --------------------------------------------------------------------------

TEST(TdevDocument, KindsAndTheirHeaders) {
  struct Row {
    int32_t kind;
    int rc;
    const char* header;
  };
  const Row rows[] = {
      {0, 0, "<device_id>p&amp;1</device_id><data><type>print</type>"},
      {1, 0, "<device_id>p&amp;1</device_id><data><type>print</type>"},
      {2, 0, "<device_id>p&amp;1</device_id><data><type>display</type>"},
      {3, 2, nullptr},
      {5, 2, nullptr},
      {6, 1, nullptr},
      {-1, 1, nullptr},
  };
  for (const Row& row : rows) {
    TdevDocument_t* document = nullptr;
    EXPECT_EQ(TdevDocCreate(row.kind, "p&1", &document), row.rc) << row.kind;
    if (row.header) {
      ASSERT_NE(document, nullptr);
      EXPECT_EQ(Str(document->header), row.header);
      EXPECT_EQ(document->body->length, 0);
    } else {
      EXPECT_EQ(document, nullptr);
    }
    TdevDocFree(document);
  }
  TdevDocument_t* document = nullptr;
  EXPECT_EQ(TdevDocCreate(0, nullptr, &document), 1);
  EXPECT_EQ(TdevDocCreate(0, "id", nullptr), 1);
}

TEST(TdevDocument, ResetBodyEmptiesItForTheNextJob) {
  DocumentFixture f;
  ASSERT_EQ(TdevXmlCut(f.document, 1), 0);
  EXPECT_EQ(TdevDocClearBody(f.document), 0);
  EXPECT_EQ(f.Body(), "");
  ASSERT_EQ(TdevXmlFeedLine(f.document, 2), 0);
  EXPECT_EQ(f.Body(), "<feed line=\"2\"/>");
  // A document that lost its body gets a new one; without one, appends refuse.
  TdevBufferRelease(&f.document->body);
  EXPECT_EQ(TdevXmlCut(f.document, 0), 1);
  EXPECT_EQ(TdevDocClearBody(f.document), 0);
  EXPECT_EQ(TdevXmlCut(f.document, 0), 0);
  EXPECT_EQ(TdevDocClearBody(nullptr), 1);
}

// ---- Message frames: golden bytes -------------------------------------------------------

TEST(TdevMessages, GoldenBytesOfEveryFrame) {
  DocumentFixture print(TDEV_DOC_PRINT, "local_printer");
  ASSERT_EQ(TdevXmlText(print.document, "Hi"), 0);
  ASSERT_EQ(TdevXmlCut(print.document, 1), 0);
  DocumentFixture hybrid(TDEV_DOC_HYBRID_PRINT, "hybrid");
  ASSERT_EQ(TdevXmlText(hybrid.document, "S"), 0);
  DocumentFixture display(TDEV_DOC_DISPLAY, "local_display");
  ASSERT_EQ(TdevXmlClear(display.document), 0);
  const uint8_t keys[] = {65, 200, 7};
  const std::string printNs = "http://www.orvik.example/schemas/2011/03/tilo-print";
  const std::string displayNs = "http://www.orvik.example/schemas/2012/09/tilo-display";

  struct Row {
    const char* name;
    std::function<int(TdevBuffer_t**)> build;
    std::string bytes;
  };
  const std::vector<Row> rows = {
      {"disconnect", [](TdevBuffer_t** o) { return TdevMsgDisconnect("C1", o); },
       "<disconnect><data><client_id>C1</client_id></data></disconnect>"},
      {"admin_info", [](TdevBuffer_t** o) { return TdevMsgAdminInfo(o); },
       "<admin_info></admin_info>"},
      {"reconnect", [](TdevBuffer_t** o) { return TdevMsgReconnect("C2", "C1", 17, o); },
       "<reconnect><data><new_client_id>C2</new_client_id><old_client_id>C1</old_client_id>"
       "<received_id>17</received_id></data></reconnect>"},
      {"open_device printer",
       [](TdevBuffer_t** o) { return TdevMsgOpenDevice(0, "local_printer", 0, o); },
       "<open_device><device_id>local_printer</device_id><data><buffer>false</buffer>"
       "<type>type_printer</type></data></open_device>"},
      {"open_device serial buffered",
       [](TdevBuffer_t** o) { return TdevMsgOpenDevice(5, "ser", 7, o); },
       "<open_device><device_id>ser</device_id><data><buffer>true</buffer>"
       "<type>type_simple_serial</type></data></open_device>"},
      {"close_device", [](TdevBuffer_t** o) { return TdevMsgCloseDevice("kbd", o); },
       "<close_device><device_id>kbd</device_id></close_device>"},
      {"open_commbox", [](TdevBuffer_t** o) { return TdevMsgOpenCommBox("box", "me", 3, o); },
       "<open_commbox><sequence>3</sequence><data><box_id>box</box_id>"
       "<member_id>me</member_id></data></open_commbox>"},
      {"close_commbox", [](TdevBuffer_t** o) { return TdevMsgCloseCommBox("box", 4, o); },
       "<close_commbox><sequence>4</sequence><data><box_id>box</box_id></data>"
       "</close_commbox>"},
      {"getcommhistory", [](TdevBuffer_t** o) { return TdevMsgGetCommHistory("box", 5, o); },
       "<commbox_data><sequence>5</sequence><data><type>getcommhistory</type>"
       "<box_id>box</box_id></data></commbox_data>"},
      {"send with member",
       [](TdevBuffer_t** o) { return TdevMsgCommBoxSend("box", "you", "a<b&c\td", 6, o); },
       "<commbox_data><sequence>6</sequence><data><type>send</type><box_id>box</box_id>"
       "<member_id>you</member_id><message>a&lt;b&amp;c&#9;d</message></data></commbox_data>"},
      {"send to all", [](TdevBuffer_t** o) { return TdevMsgCommBoxSend("box", nullptr, "", 7, o); },
       "<commbox_data><sequence>7</sequence><data><type>send</type><box_id>box</box_id>"
       "<message></message></data></commbox_data>"},
      {"print job",
       [&](TdevBuffer_t** o) { return TdevMsgPrintData(print.document, 8, 60000, "J1", 1, 0, o); },
       "<device_data><sequence>8</sequence><device_id>local_printer</device_id><data>"
       "<type>print</type><timeout>60000</timeout><printjobid>J1</printjobid><printdata>"
       "<tilo-print xmlns=\"" +
           printNs +
           "\" force=\"true\"><text>Hi</text><cut type=\"feed\"/>"
           "</tilo-print></printdata></data></device_data>"},
      {"job-status request",
       [&](TdevBuffer_t** o) { return TdevMsgPrintData(print.document, 9, 10000, "", 0, 1, o); },
       "<device_data><sequence>9</sequence><device_id>local_printer</device_id><data>"
       "<type>print</type><timeout>10000</timeout><printdata><tilo-print xmlns=\"" +
           printNs + "\" force=\"false\"></tilo-print></printdata></data></device_data>"},
      {"display job",
       [&](TdevBuffer_t** o) { return TdevMsgPrintData(display.document, 10, 5, "", 1, 0, o); },
       "<device_data><sequence>10</sequence><device_id>local_display</device_id><data>"
       "<type>display</type><timeout>5</timeout><displaydata><tilo-display xmlns=\"" +
           displayNs + "\"><clear/></tilo-display></displaydata></data></device_data>"},
      {"endorsement job",
       [&](TdevBuffer_t** o) {
         return TdevMsgHybridPrintData(hybrid.document, "hybrid", 11, 2, 1, 3000, 0, o);
       },
       "<device_data><sequence>11</sequence><device_id>hybrid</device_id><data>"
       "<type>endorseprint2</type><is40cplmode>true</is40cplmode><printdata><tilo-print xmlns=\"" +
           printNs +
           "\" force=\"false\"><text>S</text></tilo-print></printdata>"
           "<timeout>3000</timeout></data></device_data>"},
      {"slip job",
       [&](TdevBuffer_t** o) {
         return TdevMsgHybridPrintData(hybrid.document, "hybrid", 12, 1, 1, 3000, 1, o);
       },
       "<device_data><sequence>12</sequence><device_id>hybrid</device_id><data>"
       "<type>slipprint2</type><printdata><tilo-print xmlns=\"" +
           printNs +
           "\" force=\"true\"><text>S</text></tilo-print></printdata>"
           "<timeout>3000</timeout></data></device_data>"},
      {"clearbuffer", [](TdevBuffer_t** o) { return TdevMsgClearBuffer("hybrid", 13, o); },
       "<device_data><sequence>13</sequence><device_id>hybrid</device_id><data>"
       "<type>clearbuffer</type><timeout>500</timeout></data></device_data>"},
      {"waitinsertion",
       [](TdevBuffer_t** o) { return TdevMsgWaitInsertion("hybrid", 14, 3, 30000, 500, o); },
       "<device_data><sequence>14</sequence><device_id>hybrid</device_id><data>"
       "<type>validationwaitinsertion</type><timeout>30000</timeout><waittime>500</waittime>"
       "</data></device_data>"},
      {"cancelinsertion",
       [](TdevBuffer_t** o) { return TdevMsgCancelInsertion("hybrid", 15, 2, o); },
       "<device_data><sequence>15</sequence><device_id>hybrid</device_id><data>"
       "<type>endorsecancel</type></data></device_data>"},
      {"micrcancel", [](TdevBuffer_t** o) { return TdevMsgMicrCancel("hybrid", 16, o); },
       "<device_data><sequence>16</sequence><device_id>hybrid</device_id><data>"
       "<type>micrcancel</type></data></device_data>"},
      {"eject", [](TdevBuffer_t** o) { return TdevMsgEject("hybrid", 17, o); },
       "<device_data><sequence>17</sequence><device_id>hybrid</device_id><data>"
       "<type>eject</type></data></device_data>"},
      {"micrread", [](TdevBuffer_t** o) { return TdevMsgMicrRead("hybrid", 18, 1, 100, 200, o); },
       "<device_data><sequence>18</sequence><device_id>hybrid</device_id><data>"
       "<type>micrread</type><ignoreerror>true</ignoreerror><font>MICR_CMC7</font>"
       "<timeout>100</timeout><waittime>200</waittime></data></device_data>"},
      {"micrcleaning",
       [](TdevBuffer_t** o) { return TdevMsgMicrCleaning("hybrid", 19, 100, 200, o); },
       "<device_data><sequence>19</sequence><device_id>hybrid</device_id><data>"
       "<type>micrcleaning</type><timeout>100</timeout><waittime>200</waittime></data>"
       "</device_data>"},
      {"sendcommand", [](TdevBuffer_t** o) { return TdevMsgSendCommand("ser", "1B40", 4, 20, o); },
       "<device_data><sequence>20</sequence><device_id>ser</device_id><data>"
       "<type>sendcommand</type><command>1B40</command></data></device_data>"},
      {"setprefix three", [&](TdevBuffer_t** o) { return TdevMsgSetPrefix("kbd", keys, 3, 21, o); },
       "<device_data><sequence>21</sequence><device_id>kbd</device_id><data>"
       "<type>setprefix</type><keycodes array=\"true\">65</keycodes><keycodes>200</keycodes>"
       "<keycodes>7</keycodes></data></device_data>"},
      {"setprefix one", [&](TdevBuffer_t** o) { return TdevMsgSetPrefix("kbd", keys, 1, 22, o); },
       "<device_data><sequence>22</sequence><device_id>kbd</device_id><data>"
       "<type>setprefix</type><keycodes>65</keycodes></data></device_data>"},
      {"setprefix none",
       [](TdevBuffer_t** o) { return TdevMsgSetPrefix("kbd", nullptr, 0, 23, o); },
       "<device_data><sequence>23</sequence><device_id>kbd</device_id><data>"
       "<type>setprefix</type></data></device_data>"},
  };
  for (const Row& row : rows) {
    Built m;
    ASSERT_EQ(row.build(&m.buffer), 0) << row.name;
    EXPECT_EQ(m.Text(), row.bytes) << row.name;
    EXPECT_EQ(m.Text().find('\0'), std::string::npos) << row.name;
  }
}

TEST(TdevMessages, RefusalsLeaveNoMessage) {
  DocumentFixture print;
  DocumentFixture display(TDEV_DOC_DISPLAY);
  DocumentFixture hybrid(TDEV_DOC_HYBRID_PRINT);
  ASSERT_EQ(TdevXmlText(hybrid.document, "x"), 0);
  struct Row {
    const char* name;
    std::function<int(TdevBuffer_t**)> build;
    int rc;
  };
  const std::vector<Row> rows = {
      {"device type 6", [](TdevBuffer_t** o) { return TdevMsgOpenDevice(6, "d", 0, o); }, 1},
      {"device type -1", [](TdevBuffer_t** o) { return TdevMsgOpenDevice(-1, "d", 0, o); }, 1},
      {"no device id", [](TdevBuffer_t** o) { return TdevMsgCloseDevice(nullptr, o); }, 1},
      {"no client id", [](TdevBuffer_t** o) { return TdevMsgDisconnect(nullptr, o); }, 1},
      {"no old id", [](TdevBuffer_t** o) { return TdevMsgReconnect("C2", nullptr, 1, o); }, 1},
      {"no member", [](TdevBuffer_t** o) { return TdevMsgOpenCommBox("b", nullptr, 1, o); }, 1},
      {"no box", [](TdevBuffer_t** o) { return TdevMsgCommBoxSend(nullptr, "m", "t", 1, o); }, 1},
      {"no message", [](TdevBuffer_t** o) { return TdevMsgCommBoxSend("b", "m", nullptr, 1, o); },
       1},
      {"empty body",
       [&](TdevBuffer_t** o) { return TdevMsgPrintData(print.document, 1, 1, "", 0, 0, o); }, 1},
      {"no job id",
       [&](TdevBuffer_t** o) { return TdevMsgPrintData(print.document, 1, 1, nullptr, 0, 1, o); },
       1},
      {"force 2",
       [&](TdevBuffer_t** o) { return TdevMsgPrintData(print.document, 1, 1, "", 2, 1, o); }, 1},
      {"no-body 2",
       [&](TdevBuffer_t** o) { return TdevMsgPrintData(print.document, 1, 1, "", 0, 2, o); }, 1},
      {"no document", [](TdevBuffer_t** o) { return TdevMsgPrintData(nullptr, 1, 1, "", 0, 1, o); },
       1},
      {"paper 0",
       [&](TdevBuffer_t** o) {
         return TdevMsgHybridPrintData(hybrid.document, "h", 1, 0, 0, 1, 0, o);
       },
       1},
      {"paper 4", [](TdevBuffer_t** o) { return TdevMsgWaitInsertion("h", 1, 4, 1, 1, o); }, 1},
      {"cancel paper 0", [](TdevBuffer_t** o) { return TdevMsgCancelInsertion("h", 1, 0, o); }, 1},
      {"forty columns 2",
       [&](TdevBuffer_t** o) {
         return TdevMsgHybridPrintData(hybrid.document, "h", 1, 2, 2, 1, 0, o);
       },
       1},
      {"hybrid job of a display document",
       [&](TdevBuffer_t** o) {
         return TdevMsgHybridPrintData(display.document, "h", 1, 1, 0, 1, 0, o);
       },
       2},
      {"font 2", [](TdevBuffer_t** o) { return TdevMsgMicrRead("h", 1, 2, 1, 1, o); }, 1},
      {"empty hex", [](TdevBuffer_t** o) { return TdevMsgSendCommand("s", "", 0, 1, o); }, 1},
      {"codes missing", [](TdevBuffer_t** o) { return TdevMsgSetPrefix("k", nullptr, 2, 1, o); },
       1},
      {"no out", [](TdevBuffer_t**) { return TdevMsgAdminInfo(nullptr); }, 1},
  };
  for (const Row& row : rows) {
    Built m;
    EXPECT_EQ(row.build(&m.buffer), row.rc) << row.name;
    EXPECT_EQ(m.buffer, nullptr) << row.name;
  }
}

// ---- Print document elements ------------------------------------------------------------

struct ElementRow {
  const char* name;
  std::function<int(TdevDocument_t*)> build;
  int rc;
  const char* bytes;  // the body after a success
};

void CheckElements(int32_t kind, const std::vector<ElementRow>& rows) {
  for (const ElementRow& row : rows) {
    DocumentFixture f(kind);
    ASSERT_EQ(TdevXmlFeedLine(f.document, 1) == 0 || kind == TDEV_DOC_DISPLAY, true);
    const std::string before = f.Body();
    EXPECT_EQ(row.build(f.document), row.rc) << row.name;
    if (row.rc == 0) {
      EXPECT_EQ(f.Body(), before + row.bytes) << row.name;
    } else {
      EXPECT_EQ(f.Body(), before) << row.name << ": a refused element left bytes behind";
    }
  }
}

TEST(TdevPrintElements, EveryBuilderWithItsRefusals) {
  const uint8_t raster[] = {0xFF, 0x00, 0x81, 0x7E};
  const uint8_t esc[] = {0x1B, 0x40};
  using D = TdevDocument_t*;
  CheckElements(
      TDEV_DOC_PRINT,
      {
          {"align center", [](D d) { return TdevXmlTextAlign(d, 1); }, 0,
           "<text align=\"center\"/>"},
          {"align 3", [](D d) { return TdevXmlTextAlign(d, 3); }, 1, ""},
          {"linespc 255", [](D d) { return TdevXmlTextLineSpace(d, 255); }, 0,
           "<text linespc=\"255\"/>"},
          {"linespc 256", [](D d) { return TdevXmlTextLineSpace(d, 256); }, 1, ""},
          {"rotate", [](D d) { return TdevXmlTextRotate(d, 1); }, 0, "<text rotate=\"true\"/>"},
          {"lang th", [](D d) { return TdevXmlTextLang(d, 5); }, 0, "<text lang=\"th\"/>"},
          {"lang 6", [](D d) { return TdevXmlTextLang(d, 6); }, 1, ""},
          {"font special_b", [](D d) { return TdevXmlTextFont(d, 6); }, 0,
           "<text font=\"special_b\"/>"},
          {"smooth", [](D d) { return TdevXmlTextSmooth(d, 0); }, 0, "<text smooth=\"false\"/>"},
          {"size both", [](D d) { return TdevXmlTextSize(d, 2, 3); }, 0,
           "<text height=\"2\" width=\"3\"/>"},
          {"size width only", [](D d) { return TdevXmlTextSize(d, -1, 3); }, 0,
           "<text width=\"3\"/>"},
          {"size neither", [](D d) { return TdevXmlTextSize(d, -1, -1); }, 1, ""},
          {"size 9", [](D d) { return TdevXmlTextSize(d, 9, 1); }, 1, ""},
          {"style all", [](D d) { return TdevXmlTextStyle(d, 1, 0, 1, 4); }, 0,
           "<text reverse=\"true\" ul=\"false\" em=\"true\" color=\"color_4\"/>"},
          {"style em only", [](D d) { return TdevXmlTextStyle(d, 2, 2, 1, 5); }, 0,
           "<text em=\"true\"/>"},
          {"style none", [](D d) { return TdevXmlTextStyle(d, 2, 2, 2, 5); }, 1, ""},
          {"position", [](D d) { return TdevXmlTextPosition(d, 65535); }, 0, "<text x=\"65535\"/>"},
          {"position 65536", [](D d) { return TdevXmlTextPosition(d, 65536); }, 1, ""},
          {"feed unit", [](D d) { return TdevXmlFeedUnit(d, 30); }, 0, "<feed unit=\"30\"/>"},
          {"feed line -1", [](D d) { return TdevXmlFeedLine(d, -1); }, 1, ""},
          {"feed pos", [](D d) { return TdevXmlFeedPosition(d, 3); }, 0,
           "<feed pos=\"next_tof\"/>"},
          {"image", [&](D d) { return TdevXmlImage(d, raster, 4, 16, 2, 1, 1); }, 0,
           "<image width=\"16\" height=\"2\" color=\"color_1\" mode=\"gray16\">/wCBfg==</image>"},
          {"image no color", [&](D d) { return TdevXmlImage(d, raster, 3, 8, 3, 5, 0); }, 0,
           "<image width=\"8\" height=\"3\" mode=\"mono\">/wCB</image>"},
          {"image empty", [&](D d) { return TdevXmlImage(d, raster, 0, 8, 3, 5, 0); }, 1, ""},
          {"image too big",
           [&](D d) { return TdevXmlImage(d, raster, TDEV_MAX_RASTER_BYTES + 1, 8, 3, 5, 0); }, 1,
           ""},
          {"image mode 2", [&](D d) { return TdevXmlImage(d, raster, 3, 8, 3, 5, 2); }, 1, ""},
          {"logo", [](D d) { return TdevXmlLogo(d, 32, 255); }, 0,
           "<logo key1=\"32\" key2=\"255\"/>"},
          {"logo 256", [](D d) { return TdevXmlLogo(d, 256, 0); }, 1, ""},
          {"barcode full", [](D d) { return TdevXmlBarcode(d, "<&1", 3, 10, 2, 162, 2, 0); }, 0,
           "<barcode type=\"code128\" width=\"2\" height=\"162\" hri=\"below\" font=\"font_a\">"
           "&lt;&amp;1</barcode>"},
          {"barcode defaults", [](D d) { return TdevXmlBarcode(d, "0123", 4, 15, -1, -1, 4, 7); },
           0, "<barcode type=\"gs1_databar_expanded\">0123</barcode>"},
          {"barcode width 7", [](D d) { return TdevXmlBarcode(d, "1", 1, 0, 7, -1, 4, 7); }, 1, ""},
          {"barcode font 5", [](D d) { return TdevXmlBarcode(d, "1", 1, 0, -1, -1, 4, 5); }, 1, ""},
          {"barcode type 16", [](D d) { return TdevXmlBarcode(d, "1", 1, 16, -1, -1, 4, 7); }, 1,
           ""},
          {"barcode empty", [](D d) { return TdevXmlBarcode(d, "", 0, 0, -1, -1, 4, 7); }, 1, ""},
          {"hline", [](D d) { return TdevXmlHLine(d, 0, 575, 5); }, 0,
           "<hline x1=\"0\" x2=\"575\" style=\"thick_double\"/>"},
          {"hline style 6", [](D d) { return TdevXmlHLine(d, 0, 575, 6); }, 1, ""},
          {"vline begin", [](D d) { return TdevXmlVLineBegin(d, 10, 0); }, 0,
           "<vline-begin x=\"10\" style=\"thin\"/>"},
          {"vline end", [](D d) { return TdevXmlVLineEnd(d, 20, 1); }, 0,
           "<vline-end x=\"20\" style=\"medium\"/>"},
          {"page begin", [](D d) { return TdevXmlPageBegin(d); }, 0, "<page>"},
          {"page end", [](D d) { return TdevXmlPageEnd(d); }, 0, "</page>"},
          {"area", [](D d) { return TdevXmlPageArea(d, 1, 2, 3, 4); }, 0,
           "<area x=\"1\" y=\"2\" width=\"3\" height=\"4\"/>"},
          {"area -1", [](D d) { return TdevXmlPageArea(d, -1, 2, 3, 4); }, 1, ""},
          {"direction", [](D d) { return TdevXmlPageDirection(d, 1); }, 0,
           "<direction dir=\"bottom_to_top\"/>"},
          {"position", [](D d) { return TdevXmlPagePosition(d, 5, 6); }, 0,
           "<position x=\"5\" y=\"6\"/>"},
          {"line", [](D d) { return TdevXmlPageLine(d, 1, 2, 3, 4, 2); }, 0,
           "<line x1=\"1\" y1=\"2\" x2=\"3\" y2=\"4\" style=\"thick\"/>"},
          {"rectangle", [](D d) { return TdevXmlPageRectangle(d, 1, 2, 3, 4, 3); }, 0,
           "<rectangle x1=\"1\" y1=\"2\" x2=\"3\" y2=\"4\" style=\"thin_double\"/>"},
          {"cut reserve", [](D d) { return TdevXmlCut(d, 2); }, 0, "<cut type=\"reserve\"/>"},
          {"cut 3", [](D d) { return TdevXmlCut(d, 3); }, 1, ""},
          {"pulse", [](D d) { return TdevXmlPulse(d, 1, 4); }, 0,
           "<pulse drawer=\"drawer_2\" time=\"pulse_500\"/>"},
          {"pulse time 5", [](D d) { return TdevXmlPulse(d, 0, 5); }, 1, ""},
          {"sound with cycle", [](D d) { return TdevXmlSound(d, 17, 3, 1000); }, 0,
           "<sound pattern=\"pattern_10\" repeat=\"3\" cycle=\"1000\"/>"},
          {"sound no cycle", [](D d) { return TdevXmlSound(d, 6, 0, -1); }, 0,
           "<sound pattern=\"error\" repeat=\"0\"/>"},
          {"sound cycle 999", [](D d) { return TdevXmlSound(d, 6, 0, 999); }, 1, ""},
          {"recovery", [](D d) { return TdevXmlRecovery(d); }, 0, "<recovery/>"},
          {"reset", [](D d) { return TdevXmlReset(d); }, 0, "<reset/>"},
          {"command", [&](D d) { return TdevXmlCommand(d, esc, 2); }, 0, "<command>1B40</command>"},
          {"command empty", [&](D d) { return TdevXmlCommand(d, esc, 0); }, 1, ""},
          {"display element in a print document", [](D d) { return TdevXmlClear(d); }, 2, ""},
      });
}

TEST(TdevPrintElements, SymbolRules) {
  using D = TdevDocument_t*;
  CheckElements(
      TDEV_DOC_PRINT,
      {
          {"pdf417 width only", [](D d) { return TdevXmlSymbol(d, "A", 1, 0, 3, -1, 3, -1); }, 0,
           "<symbol type=\"pdf417_standard\" level=\"level_3\" width=\"3\">A</symbol>"},
          {"pdf417 width and height", [](D d) { return TdevXmlSymbol(d, "A", 1, 1, 13, 4, 3, 0); },
           0,
           "<symbol type=\"pdf417_truncated\" level=\"default\" width=\"3\" height=\"4\" "
           "size=\"0\">A</symbol>"},
          {"pdf417 height without width",
           [](D d) { return TdevXmlSymbol(d, "A", 1, 0, 105, 4, -1, -1); }, 0,
           "<symbol type=\"pdf417_standard\">A</symbol>"},
          {"pdf417 level_l", [](D d) { return TdevXmlSymbol(d, "A", 1, 0, 9, -1, -1, -1); }, 1, ""},
          {"pdf417 height 9", [](D d) { return TdevXmlSymbol(d, "A", 1, 0, 105, 9, 3, -1); }, 1,
           ""},
          {"pdf417 size 65536", [](D d) { return TdevXmlSymbol(d, "A", 1, 0, 105, -1, -1, 65536); },
           1, ""},
          {"qr escaped payload", [](D d) { return TdevXmlSymbol(d, "a<b&", 4, 3, 10, -1, 16, -1); },
           0,
           "<symbol type=\"qrcode_model_2\" level=\"level_m\" width=\"16\">a&lt;b&amp;</symbol>"},
          {"qr level_0", [](D d) { return TdevXmlSymbol(d, "A", 1, 2, 0, -1, -1, -1); }, 1, ""},
          {"qr width 17", [](D d) { return TdevXmlSymbol(d, "A", 1, 3, 9, -1, 17, -1); }, 1, ""},
          {"micro qr level_h", [](D d) { return TdevXmlSymbol(d, "A", 1, 4, 12, -1, -1, -1); }, 1,
           ""},
          {"micro qr level_q", [](D d) { return TdevXmlSymbol(d, "A", 1, 4, 11, -1, 1, -1); }, 0,
           "<symbol type=\"qrcode_micro\" level=\"level_q\" width=\"1\">A</symbol>"},
          {"maxicode takes any width, writes none",
           [](D d) { return TdevXmlSymbol(d, "A", 1, 5, 3, 99, 99, 7); }, 0,
           "<symbol type=\"maxicode_mode_2\" size=\"7\">A</symbol>"},
          {"aztec numeric level", [](D d) { return TdevXmlSymbol(d, "A", 1, 13, 14, -1, 2, -1); },
           0, "<symbol type=\"azteccode_fullrange\" level=\"5\" width=\"2\">A</symbol>"},
          {"aztec top level", [](D d) { return TdevXmlSymbol(d, "A", 1, 14, 104, -1, -1, -1); }, 0,
           "<symbol type=\"azteccode_compact\" level=\"95\">A</symbol>"},
          {"aztec default", [](D d) { return TdevXmlSymbol(d, "A", 1, 14, 13, -1, -1, -1); }, 0,
           "<symbol type=\"azteccode_compact\" level=\"default\">A</symbol>"},
          {"aztec level_h", [](D d) { return TdevXmlSymbol(d, "A", 1, 13, 12, -1, -1, -1); }, 1,
           ""},
          {"datamatrix width 1", [](D d) { return TdevXmlSymbol(d, "A", 1, 15, 105, -1, 1, -1); },
           1, ""},
          {"databar expanded stacked size",
           [](D d) { return TdevXmlSymbol(d, "A", 1, 12, 0, -1, 2, 65535); }, 0,
           "<symbol type=\"gs1_databar_expanded_stacked\" width=\"2\" size=\"65535\">A</symbol>"},
          {"type 19", [](D d) { return TdevXmlSymbol(d, "A", 1, 19, 105, -1, -1, -1); }, 1, ""},
          {"level 106", [](D d) { return TdevXmlSymbol(d, "A", 1, 5, 106, -1, -1, -1); }, 1, ""},
          {"no data", [](D d) { return TdevXmlSymbol(d, "", 0, 5, 105, -1, -1, -1); }, 1, ""},
      });
}

TEST(TdevPrintElements, LayoutRules) {
  using D = TdevDocument_t*;
  CheckElements(
      TDEV_DOC_PRINT,
      {
          {"receipt", [](D d) { return TdevXmlLayout(d, 0, 580, 0, 0, 0, 0, 0); }, 0,
           "<layout type=\"receipt\" width=\"580\" height=\"0\" margin-top=\"0\" "
           "margin-bottom=\"0\" "
           "offset-cut=\"0\" offset-label=\"0\"/>"},
          {"receipt with height", [](D d) { return TdevXmlLayout(d, 0, 580, 300, 0, 0, 0, 0); }, 1,
           ""},
          {"receipt with margin top", [](D d) { return TdevXmlLayout(d, 0, 580, 0, 1, 0, 0, 0); },
           1, ""},
          {"black mark", [](D d) { return TdevXmlLayout(d, 1, 290, 1550, -150, 0, -290, 0); }, 0,
           "<layout type=\"receipt_bm\" width=\"290\" height=\"1550\" margin-top=\"-150\" "
           "margin-bottom=\"0\" offset-cut=\"-290\" offset-label=\"0\"/>"},
          {"black mark margin bottom", [](D d) { return TdevXmlLayout(d, 1, 290, 0, 0, -1, 0, 0); },
           1, ""},
          {"label", [](D d) { return TdevXmlLayout(d, 2, 600, 284, 1, -15, 50, 0); }, 0,
           "<layout type=\"label\" width=\"600\" height=\"284\" margin-top=\"1\" "
           "margin-bottom=\"-15\" "
           "offset-cut=\"50\" offset-label=\"0\"/>"},
          {"label margin top -1", [](D d) { return TdevXmlLayout(d, 2, 600, 0, -1, 0, 0, 0); }, 1,
           ""},
          {"label offset label", [](D d) { return TdevXmlLayout(d, 2, 600, 0, 0, 0, 0, 1); }, 1,
           ""},
          {"type 3 is written label",
           [](D d) { return TdevXmlLayout(d, 3, 300, 0, -15, 15, 1, 15); }, 0,
           "<layout type=\"label\" width=\"300\" height=\"0\" margin-top=\"-15\" "
           "margin-bottom=\"15\" "
           "offset-cut=\"1\" offset-label=\"15\"/>"},
          {"width 289", [](D d) { return TdevXmlLayout(d, 0, 289, 0, 0, 0, 0, 0); }, 1, ""},
          {"type 4", [](D d) { return TdevXmlLayout(d, 4, 0, 0, 0, 0, 0, 0); }, 1, ""},
      });
}

// The print text's UTF-8 walk: whole sequences pass, a lead byte without its
// continuation bytes goes alone so no '<' or '&' slips through unescaped, and
// a character beyond the Basic Multilingual Plane refuses the element.
TEST(TdevPrintElements, TextWalksUtf8AndEscapes) {
  struct Row {
    const char* in;
    int rc;
    const char* out;
  };
  const Row rows[] = {
      {"", 0, "<text></text>"},
      {"Total\t5 & <tax>\n", 0, "<text>Total&#9;5 &amp; &lt;tax&gt;&#xA;</text>"},
      {"caf\xC3\xA9 \xE2\x82\xAC", 0, "<text>caf\xC3\xA9 \xE2\x82\xAC</text>"},
      {"\xC3<", 0, "<text>\xC3&lt;</text>"},
      {"\xE2\x82<&", 0, "<text>\xE2\x82&lt;&amp;</text>"},
      {"\xE2<\x82", 0, "<text>\xE2&lt;\x82</text>"},
      {"\x80\xBF stray", 0, "<text>\x80\xBF stray</text>"},
      {"cut \xE2\x82", 0, "<text>cut \xE2\x82</text>"},
      {"emoji \xF0\x9F\x98\x80", 1, nullptr},
      {"\xFF", 1, nullptr},
  };
  for (const Row& row : rows) {
    DocumentFixture f;
    ASSERT_EQ(TdevXmlCut(f.document, 0), 0);
    EXPECT_EQ(TdevXmlText(f.document, row.in), row.rc) << row.in;
    EXPECT_EQ(f.Body(), std::string("<cut type=\"no_feed\"/>") + (row.out ? row.out : ""))
        << row.in;
  }
  DocumentFixture f;
  EXPECT_EQ(TdevXmlText(f.document, nullptr), 1);
  EXPECT_EQ(TdevXmlText(nullptr, "x"), 1);
}

TEST(TdevDisplayElements, EveryBuilderWithItsRefusals) {
  using D = TdevDocument_t*;
  const uint8_t bytes[] = {0x0C};
  CheckElements(
      TDEV_DOC_DISPLAY,
      {
          {"reset", [](D d) { return TdevXmlReset(d); }, 0, "<reset/>"},
          {"window", [](D d) { return TdevXmlWindow(d, 4, 20, 2, 20, 20, 2); }, 0,
           "<window number=\"4\" x=\"20\" y=\"2\" width=\"20\" height=\"20\" "
           "scrollmode=\"h_scroll\"/>"},
          {"window y 3", [](D d) { return TdevXmlWindow(d, 1, 1, 3, 1, 1, 0); }, 1, ""},
          {"window destroy", [](D d) { return TdevXmlWindowDestroy(d, 2); }, 0,
           "<window number=\"2\" destroy=\"true\"/>"},
          {"window select", [](D d) { return TdevXmlWindowSelect(d, 1); }, 0,
           "<window number=\"1\"/>"},
          {"window select 5", [](D d) { return TdevXmlWindowSelect(d, 5); }, 1, ""},
          {"clear", [](D d) { return TdevXmlClear(d); }, 0, "<clear/>"},
          {"cursor", [](D d) { return TdevXmlCursor(d, 20, 1); }, 0, "<cursor x=\"20\" y=\"1\"/>"},
          {"cursor x 0", [](D d) { return TdevXmlCursor(d, 0, 1); }, 1, ""},
          {"cursor moveto", [](D d) { return TdevXmlCursorMoveTo(d, 3); }, 0,
           "<cursor moveto=\"bottom_right\"/>"},
          {"cursor type", [](D d) { return TdevXmlCursorType(d, 1); }, 0,
           "<cursor type=\"underline\"/>"},
          {"text full", [](D d) { return TdevXmlDisplayText(d, "a<b", 1, 2, 1, 1); }, 0,
           "<text x=\"1\" y=\"2\" lang=\"ja-jp\" reverse=\"true\">a&lt;b</text>"},
          {"text plain", [](D d) { return TdevXmlDisplayText(d, "Hi", -1, -1, 6, 0); }, 0,
           "<text reverse=\"false\">Hi</text>"},
          {"text lang 2", [](D d) { return TdevXmlDisplayText(d, "Hi", -1, -1, 2, 0); }, 1, ""},
          {"text empty", [](D d) { return TdevXmlDisplayText(d, "", -1, -1, 6, 0); }, 1, ""},
          {"marquee", [](D d) { return TdevXmlMarquee(d, "<sale>", 0, 100, 127, 1, 0); }, 0,
           "<marquee uwait=\"0\" rwait=\"100\" repeat=\"127\" format=\"place\" lang=\"en\">"
           "&lt;sale&gt;</marquee>"},
          {"marquee rwait 99", [](D d) { return TdevXmlMarquee(d, "x", 0, 99, 0, 0, 0); }, 1, ""},
          {"blink", [](D d) { return TdevXmlBlink(d, 12750); }, 0, "<blink interval=\"12750\"/>"},
          {"blink 12751", [](D d) { return TdevXmlBlink(d, 12751); }, 1, ""},
          {"brightness", [](D d) { return TdevXmlBrightness(d, 3); }, 0,
           "<brightness value=\"100\"/>"},
          {"brightness 4", [](D d) { return TdevXmlBrightness(d, 4); }, 1, ""},
          {"clock", [](D d) { return TdevXmlClock(d); }, 0, "<clock/>"},
          {"command", [&](D d) { return TdevXmlCommand(d, bytes, 1); }, 0, "<command>0C</command>"},
          {"print element in a display document", [](D d) { return TdevXmlCut(d, 0); }, 2, ""},
      });
}

// Whatever bytes a text holds, an accepted message is well-formed and a reader
// gets the very bytes back: no escape is missed, none is applied twice.
TEST(TdevMessages, TextsRoundTripThroughAnXmlReader) {
  const std::string alphabet = "<>&\"'\t\n\ra ;#\xC3\xA9\xE2\x82\xAC\x80\xBF\xC0\xDF\xE0\xEF";
  std::mt19937 random(17);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const size_t length = 1 + random() % 24;
    for (size_t i = 0; i < length; ++i) text.push_back(alphabet[random() % alphabet.size()]);

    DocumentFixture f;
    ASSERT_EQ(TdevXmlText(f.document, text.c_str()), 0);
    ASSERT_EQ(TdevXmlBarcode(f.document, text.data(), static_cast<int32_t>(text.size()), 10, -1, -1,
                             4, 7),
              0);
    Built job;
    ASSERT_EQ(TdevMsgPrintData(f.document, 1, 1, text.c_str(), 0, 0, &job.buffer), 0);
    Built send;
    ASSERT_EQ(TdevMsgCommBoxSend("box", "m", text.c_str(), 2, &send.buffer), 0);

    const struct {
      const Built* built;
      std::vector<const char*> names;
    } checks[] = {{&job, {"text", "barcode", "printjobid"}}, {&send, {"message"}}};
    for (const auto& check : checks) {
      const std::string bytes = check.built->Text();
      pugi::xml_document document;
      // No end-of-line normalisation: a CR is sent as it is and must stay one.
      ASSERT_TRUE(document.load_buffer(bytes.data(), bytes.size(),
                                       pugi::parse_escapes | pugi::parse_ws_pcdata,
                                       pugi::encoding_utf8))
          << bytes;
      for (const char* name : check.names) {
        const pugi::xml_node node =
            document.find_node([name](pugi::xml_node n) { return std::string(n.name()) == name; });
        ASSERT_TRUE(node) << name << " in " << bytes;
        EXPECT_EQ(node.child_value(), text) << name << " in " << bytes;
      }
    }
  }
}

}  // namespace
}  // namespace tilo2::core
