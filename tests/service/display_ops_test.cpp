// Line display operations over the device service: the element each
// operation appends (and what it refuses), the display job the send writes,
// the job result reaching the handle's slot, and the send's failures.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>

#include "device/service_notifiers.h"
#include "host_test_support.h"
#include "service/reply_codes.h"
#include "service/request_messages.h"

namespace host_test {
namespace {

using service_emulator::AcceptMode;
using service_emulator::Device;
using service_emulator::ReplyOverride;
using service_emulator::Transport;

constexpr const char* kDisplayId = "local_display";
const std::string kNamespace = "http://www.orvik.example/schemas/2012/09/tilo-display";

using DisplayOp = std::function<int(TdevDisplayHandle_t*)>;

std::string Body(const TdevDocument_t* document) {
  return std::string(TdevBufferView(document->body));
}

// The display job the service receives for a body and a sequence number.
std::string DisplayJob(int sequence, const std::string& body) {
  return withNul("<device_data><sequence>" + std::to_string(sequence) +
                 "</sequence><device_id>local_display</device_id><data><type>display</type>"
                 "<timeout>15000</timeout><displaydata><tilo-display xmlns=\"" +
                 kNamespace + "\">" + body + "</tilo-display></displaydata></data></device_data>");
}

int SequenceOf(const std::string& raw) {
  std::smatch match;
  if (!std::regex_search(raw, match, std::regex("<sequence>([0-9]+)</sequence>"))) return -1;
  return std::stoi(match[1]);
}

class DisplayOps : public HostTest {
 protected:
  // The emulator on address n offers a display; the host is connected and
  // the display opened.
  TdevDisplayHandle_t* openDisplay(int n, Device device = Device{"type_display", 0, 0, ""}) {
    auto& e = service(n);
    e.setDevice(kDisplayId, device);
    connection_ = connect();
    if (connection_ == nullptr) return nullptr;
    void* handle = nullptr;
    if (TdevOpenDeviceSync(nullptr, connection_, kDisplayId, TDEV_DEVICE_DISPLAY, &handle) != 0)
      return nullptr;
    return static_cast<TdevDisplayHandle_t*>(handle);
  }

  TdevConnection_t* connection_ = nullptr;
};

TEST_F(DisplayOps, EachOperationAppendsItsElementOrRefusesWithTheDocumentUnchanged) {
  TdevDisplayHandle_t* display = openDisplay(1090);
  ASSERT_NE(display, nullptr);
  TdevDocument_t* document = TdevGetDocument(display);
  ASSERT_NE(document, nullptr);
  using H = TdevDisplayHandle_t*;
  struct Case {
    const char* name;
    DisplayOp op;
    int expected;
    const char* element;  // appended on success
  } cases[] = {
      {"initialize", [](H h) { return TdevDisplayAddInitialize(h); }, 0, "<reset/>"},
      {"window overwrite", [](H h) { return TdevDisplayAddCreateWindow(h, 1, 1, 1, 20, 2, 0); }, 0,
       "<window number=\"1\" x=\"1\" y=\"1\" width=\"20\" height=\"2\" scrollmode=\"overwrite\"/>"},
      {"window vertical scroll",
       [](H h) { return TdevDisplayAddCreateWindow(h, 4, 20, 2, 1, 1, 1); }, 0,
       "<window number=\"4\" x=\"20\" y=\"2\" width=\"1\" height=\"1\" scrollmode=\"v_scroll\"/>"},
      {"window horizontal scroll",
       [](H h) { return TdevDisplayAddCreateWindow(h, 2, 3, 1, 5, 1, 2); }, 0,
       "<window number=\"2\" x=\"3\" y=\"1\" width=\"5\" height=\"1\" scrollmode=\"h_scroll\"/>"},
      {"window three lines high (the builder would take it)",
       [](H h) { return TdevDisplayAddCreateWindow(h, 1, 1, 1, 20, 3, 0); }, 1, ""},
      {"window scroll mode 3", [](H h) { return TdevDisplayAddCreateWindow(h, 1, 1, 1, 20, 2, 3); },
       1, ""},
      {"window scroll mode default has no row",
       [](H h) { return TdevDisplayAddCreateWindow(h, 1, 1, 1, 20, 2, -2); }, 1, ""},
      {"window number 5", [](H h) { return TdevDisplayAddCreateWindow(h, 5, 1, 1, 20, 2, 0); }, 1,
       ""},
      {"window x 21", [](H h) { return TdevDisplayAddCreateWindow(h, 1, 21, 1, 20, 2, 0); }, 1, ""},
      {"window y 3", [](H h) { return TdevDisplayAddCreateWindow(h, 1, 1, 3, 20, 2, 0); }, 1, ""},
      {"window width 0", [](H h) { return TdevDisplayAddCreateWindow(h, 1, 1, 1, 0, 2, 0); }, 1,
       ""},
      {"destroy window", [](H h) { return TdevDisplayAddDestroyWindow(h, 2); }, 0,
       "<window number=\"2\" destroy=\"true\"/>"},
      {"destroy window 0", [](H h) { return TdevDisplayAddDestroyWindow(h, 0); }, 1, ""},
      {"current window", [](H h) { return TdevDisplayAddSetCurrentWindow(h, 4); }, 0,
       "<window number=\"4\"/>"},
      {"current window 5", [](H h) { return TdevDisplayAddSetCurrentWindow(h, 5); }, 1, ""},
      {"clear", [](H h) { return TdevDisplayAddClearCurrentWindow(h); }, 0, "<clear/>"},
      {"cursor position", [](H h) { return TdevDisplayAddSetCursorPosition(h, 20, 2); }, 0,
       "<cursor x=\"20\" y=\"2\"/>"},
      {"cursor x 0", [](H h) { return TdevDisplayAddSetCursorPosition(h, 0, 1); }, 1, ""},
      {"cursor y 3", [](H h) { return TdevDisplayAddSetCursorPosition(h, 1, 3); }, 1, ""},
      {"move cursor bottom right", [](H h) { return TdevDisplayAddMoveCursorPosition(h, 3); }, 0,
       "<cursor moveto=\"bottom_right\"/>"},
      {"move cursor default", [](H h) { return TdevDisplayAddMoveCursorPosition(h, -2); }, 0,
       "<cursor moveto=\"top_left\"/>"},
      {"move cursor 4", [](H h) { return TdevDisplayAddMoveCursorPosition(h, 4); }, 1, ""},
      {"move cursor -1", [](H h) { return TdevDisplayAddMoveCursorPosition(h, -1); }, 1, ""},
      {"cursor underline", [](H h) { return TdevDisplayAddSetCursorType(h, 1); }, 0,
       "<cursor type=\"underline\"/>"},
      {"cursor type default", [](H h) { return TdevDisplayAddSetCursorType(h, -2); }, 0,
       "<cursor type=\"none\"/>"},
      {"cursor type 2", [](H h) { return TdevDisplayAddSetCursorType(h, 2); }, 1, ""},
      {"text with position and language left out",
       [](H h) { return TdevDisplayAddText(h, "abc", -1, -1, -1); }, 0,
       "<text reverse=\"false\">abc</text>"},
      {"text default language, escaped",
       [](H h) { return TdevDisplayAddText(h, "a<b&\"c\"", 3, 2, -2); }, 0,
       "<text x=\"3\" y=\"2\" lang=\"en\" reverse=\"false\">a&lt;b&amp;&quot;c&quot;</text>"},
      {"text japanese", [](H h) { return TdevDisplayAddText(h, "\xe3\x81\x82", 1, -1, 1); }, 0,
       "<text x=\"1\" lang=\"ja-jp\" reverse=\"false\">\xe3\x81\x82</text>"},
      {"text language 2", [](H h) { return TdevDisplayAddText(h, "abc", 1, 1, 2); }, 1, ""},
      {"text x 21", [](H h) { return TdevDisplayAddText(h, "abc", 21, 1, 0); }, 1, ""},
      {"text x 0", [](H h) { return TdevDisplayAddText(h, "abc", 0, 1, 0); }, 1, ""},
      {"text y 3", [](H h) { return TdevDisplayAddText(h, "abc", 1, 3, 0); }, 1, ""},
      {"text missing", [](H h) { return TdevDisplayAddText(h, nullptr, 1, 1, 0); }, 1, ""},
      {"text empty", [](H h) { return TdevDisplayAddText(h, "", 1, 1, 0); }, 1, ""},
      {"reverse text", [](H h) { return TdevDisplayAddReverseText(h, "abc", 1, 1, 0); }, 0,
       "<text x=\"1\" y=\"1\" lang=\"en\" reverse=\"true\">abc</text>"},
      {"reverse text left out", [](H h) { return TdevDisplayAddReverseText(h, "x", -1, -1, -1); },
       0, "<text reverse=\"true\">x</text>"},
      {"reverse text missing", [](H h) { return TdevDisplayAddReverseText(h, nullptr, 1, 1, 0); },
       1, ""},
      {"marquee lower bounds",
       [](H h) { return TdevDisplayAddMarqueeText(h, "m", 0, 0, 100, 0, 0); }, 0,
       "<marquee uwait=\"0\" rwait=\"100\" repeat=\"0\" format=\"walk\" lang=\"en\">m</marquee>"},
      {"marquee upper bounds, default language",
       [](H h) { return TdevDisplayAddMarqueeText(h, "m&n", 1, 2000, 2000, 127, -2); }, 0,
       "<marquee uwait=\"2000\" rwait=\"2000\" repeat=\"127\" format=\"place\" "
       "lang=\"en\">m&amp;n</marquee>"},
      {"marquee japanese", [](H h) { return TdevDisplayAddMarqueeText(h, "m", 0, 10, 100, 1, 1); },
       0,
       "<marquee uwait=\"10\" rwait=\"100\" repeat=\"1\" format=\"walk\" "
       "lang=\"ja-jp\">m</marquee>"},
      {"marquee language left out",
       [](H h) { return TdevDisplayAddMarqueeText(h, "m", 0, 0, 100, 0, -1); }, 1, ""},
      {"marquee format default has no row",
       [](H h) { return TdevDisplayAddMarqueeText(h, "m", -2, 0, 100, 0, 0); }, 1, ""},
      {"marquee format 2", [](H h) { return TdevDisplayAddMarqueeText(h, "m", 2, 0, 100, 0, 0); },
       1, ""},
      {"marquee unit wait 2001",
       [](H h) { return TdevDisplayAddMarqueeText(h, "m", 0, 2001, 100, 0, 0); }, 1, ""},
      {"marquee repeat wait 99",
       [](H h) { return TdevDisplayAddMarqueeText(h, "m", 0, 0, 99, 0, 0); }, 1, ""},
      {"marquee repeat 128",
       [](H h) { return TdevDisplayAddMarqueeText(h, "m", 0, 0, 100, 128, 0); }, 1, ""},
      {"marquee missing text",
       [](H h) { return TdevDisplayAddMarqueeText(h, nullptr, 0, 0, 100, 0, 0); }, 1, ""},
      {"blink default", [](H h) { return TdevDisplayAddSetBlink(h, -2); }, 0,
       "<blink interval=\"0\"/>"},
      {"blink 12700", [](H h) { return TdevDisplayAddSetBlink(h, 12700); }, 0,
       "<blink interval=\"12700\"/>"},
      {"blink 12701 (the builder would take it)",
       [](H h) { return TdevDisplayAddSetBlink(h, 12701); }, 1, ""},
      {"blink -1", [](H h) { return TdevDisplayAddSetBlink(h, -1); }, 1, ""},
      {"brightness default", [](H h) { return TdevDisplayAddSetBrightness(h, -2); }, 0,
       "<brightness value=\"100\"/>"},
      {"brightness 0", [](H h) { return TdevDisplayAddSetBrightness(h, 0); }, 0,
       "<brightness value=\"20\"/>"},
      {"brightness 4", [](H h) { return TdevDisplayAddSetBrightness(h, 4); }, 1, ""},
      {"clock", [](H h) { return TdevDisplayAddShowClock(h); }, 0, "<clock/>"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    ASSERT_EQ(TdevDocClearBody(document), 0);
    // Something already there must survive a refusal untouched.
    ASSERT_EQ(TdevDisplayAddClearCurrentWindow(display), 0);
    EXPECT_EQ(k.op(display), k.expected);
    EXPECT_EQ(Body(document), std::string("<clear/>") + k.element);
  }
}

TEST_F(DisplayOps, MissingStaleAndForeignHandlesAreRefused) {
  auto& e = service(1091);
  e.setDevice(kDisplayId, Device{"type_display", 0, 0, ""});
  e.setDevice("kbd", Device{"type_keyboard", 0, 0, ""});
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  void* printer = nullptr;
  void* keyboard = nullptr;
  void* gone = nullptr;
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "local_printer", TDEV_DEVICE_PRINTER, &printer), 0);
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "kbd", TDEV_DEVICE_KEYBOARD, &keyboard), 0);
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, kDisplayId, TDEV_DEVICE_DISPLAY, &gone), 0);
  ASSERT_EQ(TdevCloseDeviceSync(nullptr, c, gone), 0);
  ASSERT_EQ(TdevRefHandle(gone), nullptr);

  using H = TdevDisplayHandle_t*;
  const DisplayOp ops[] = {
      [](H h) { return TdevDisplayAddInitialize(h); },
      [](H h) { return TdevDisplayAddCreateWindow(h, 1, 1, 1, 20, 2, 0); },
      [](H h) { return TdevDisplayAddDestroyWindow(h, 1); },
      [](H h) { return TdevDisplayAddSetCurrentWindow(h, 1); },
      [](H h) { return TdevDisplayAddClearCurrentWindow(h); },
      [](H h) { return TdevDisplayAddSetCursorPosition(h, 1, 1); },
      [](H h) { return TdevDisplayAddMoveCursorPosition(h, 0); },
      [](H h) { return TdevDisplayAddSetCursorType(h, 0); },
      [](H h) { return TdevDisplayAddText(h, "a", 1, 1, 0); },
      [](H h) { return TdevDisplayAddReverseText(h, "a", 1, 1, 0); },
      [](H h) { return TdevDisplayAddMarqueeText(h, "a", 0, 0, 100, 0, 0); },
      [](H h) { return TdevDisplayAddSetBlink(h, 0); },
      [](H h) { return TdevDisplayAddSetBrightness(h, 0); },
      [](H h) { return TdevDisplayAddShowClock(h); },
  };
  TdevDocument_t* printDocument = TdevGetDocument(printer);
  ASSERT_NE(printDocument, nullptr);
  for (size_t i = 0; i < std::size(ops); ++i) {
    SCOPED_TRACE("operation " + std::to_string(i));
    EXPECT_EQ(ops[i](nullptr), 1);
    EXPECT_EQ(ops[i](static_cast<H>(gone)), 1) << "a closed handle is no record any more";
    EXPECT_EQ(ops[i](static_cast<H>(keyboard)), 255) << "a handle without a document";
    // A printer's document takes no display element: the replay stops.
    EXPECT_EQ(ops[i](static_cast<H>(printer)), -1);
    EXPECT_EQ(Body(printDocument), "");
  }
  for (void* h : {static_cast<void*>(nullptr), gone, printer, keyboard}) {
    EXPECT_EQ(TdevDisplaySetReceiveCallback(static_cast<H>(h)), 1);
    EXPECT_EQ(TdevDisplaySendData(nullptr, static_cast<H>(h)), 1);
  }
  // Nothing went out as a display (or print) job.
  EXPECT_TRUE(e.received("display").empty());
  EXPECT_TRUE(e.received("print").empty());
}

TEST_F(DisplayOps, SendWritesTheDocumentAsOneDisplayJobAndKeepsIt) {
  TdevDisplayHandle_t* display = openDisplay(1092);
  ASSERT_NE(display, nullptr);
  auto& e = *emulator_;
  ASSERT_EQ(TdevDisplayAddInitialize(display), 0);
  ASSERT_EQ(TdevDisplayAddText(display, "Total 1.00", 1, 2, 0), 0);
  const std::string body =
      "<reset/><text x=\"1\" y=\"2\" lang=\"en\" reverse=\"false\">Total 1.00</text>";
  ASSERT_EQ(TdevDisplaySendData(nullptr, display), 0);
  ASSERT_TRUE(e.waitForReceived("display", 1, 10s));
  const std::string first = receivedRaw(e, "display")[0];
  const int sequence = SequenceOf(first);
  ASSERT_GT(sequence, 0);
  EXPECT_EQ(first, DisplayJob(sequence, body));
  // The send leaves the document to the device layer, which empties it.
  EXPECT_EQ(Body(TdevGetDocument(display)), body);
  // The next job takes the host's next sequence number.
  ASSERT_EQ(TdevDisplaySendData(nullptr, display), 0);
  ASSERT_TRUE(e.waitForReceived("display", 2, 10s));
  EXPECT_EQ(receivedRaw(e, "display")[1], DisplayJob(sequence + 1, body));
}

struct DisplayResult {
  void* handle;
  std::string host, deviceId;
  int32_t success, result;
  uint32_t status;
  int32_t battery;
};
Records<DisplayResult> g_results;

void RecordResult(void* handle, const char* host, const char* deviceId, int32_t success,
                  int32_t result, uint32_t status, int32_t battery) {
  g_results.add({handle, host, deviceId, success, result, status, battery});
}

TEST_F(DisplayOps, JobResultsReachTheInstalledSlot) {
  TdevDisplayHandle_t* display = openDisplay(1093, Device{"type_display", 0x80000002u, 3, ""});
  ASSERT_NE(display, nullptr);
  auto& e = *emulator_;
  g_results.clear();
  ASSERT_EQ(TdevDisplaySetReceiveCallback(display), 0);
  {
    PlatformLockGuard guard(display->callbackLock);
    EXPECT_EQ(display->jobResult, &TdcOnLineDisplayServiceResult);
    // The device layer's notifier is swapped for a recorder to watch the call.
    display->jobResult = &RecordResult;
  }
  ASSERT_EQ(TdevDisplayAddShowClock(display), 0);
  ASSERT_EQ(TdevDisplaySendData(nullptr, display), 0);
  ASSERT_TRUE(g_results.waitFor(1, 10s));

  ReplyOverride invalidWindow;
  invalidWindow.success = false;
  invalidWindow.code = "TDSP_INVALID_WINDOW";
  e.overrideNextReply("display", invalidWindow);
  ASSERT_EQ(TdevDocClearBody(TdevGetDocument(display)), 0);
  ASSERT_EQ(TdevDisplayAddSetCurrentWindow(display, 3), 0);
  ASSERT_EQ(TdevDisplaySendData(nullptr, display), 0);
  ASSERT_TRUE(g_results.waitFor(2, 10s));

  const auto results = g_results.all();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].handle, display);
  EXPECT_EQ(results[0].host, host());
  EXPECT_EQ(results[0].deviceId, kDisplayId);
  EXPECT_EQ(results[0].success, 1);
  EXPECT_EQ(results[0].result, 0);
  EXPECT_EQ(results[0].status, 0x80000002u);
  EXPECT_EQ(results[0].battery, 3);
  EXPECT_EQ(results[1].success, 0);
  EXPECT_EQ(results[1].result, TDEV_ERR_INVALID_WINDOW);
}

TEST_F(DisplayOps, AnEmptyDocumentIsNotSent) {
  TdevDisplayHandle_t* display = openDisplay(1094);
  ASSERT_NE(display, nullptr);
  auto& e = *emulator_;
  EXPECT_EQ(TdevDisplaySendData(nullptr, display), 1);
  // A refused element leaves the document as empty as before.
  EXPECT_EQ(TdevDisplayAddSetBlink(display, 12701), 1);
  EXPECT_EQ(TdevDisplaySendData(nullptr, display), 1);
  // The channel is in order: one job after the refusals is the only one.
  ASSERT_EQ(TdevDisplayAddClearCurrentWindow(display), 0);
  ASSERT_EQ(TdevDisplaySendData(nullptr, display), 0);
  ASSERT_TRUE(waitForSent(e, "onxmlresult", 1, 10s));
  const auto jobs = receivedRaw(e, "display");
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0], DisplayJob(SequenceOf(jobs[0]), "<clear/>"));
}

TEST_F(DisplayOps, ABusySendLockGivesTwoWithNothingWritten) {
  TdevDisplayHandle_t* display = openDisplay(1095);
  ASSERT_NE(display, nullptr);
  auto& e = *emulator_;
  ASSERT_EQ(TdevDisplayAddShowClock(display), 0);
  // Another sender of the host holds the send lock until told to let go.
  SendLockHolder busy(connection_);
  ASSERT_TRUE(busy.held());
  EXPECT_EQ(TdevDisplaySendData(nullptr, display), 2);
  busy.release();
  ASSERT_EQ(TdevDisplaySendData(nullptr, display), 0);
  ASSERT_TRUE(e.waitForReceived("display", 1, 10s));
  ASSERT_TRUE(waitForSent(e, "onxmlresult", 1, 10s));
  EXPECT_EQ(e.received("display").size(), 1u) << "the refused send wrote nothing";
}

TEST_F(DisplayOps, NoLinkGivesFourAndAGoneHostLeavesNoHandle) {
  TdevDisplayHandle_t* display = openDisplay(1096);
  ASSERT_NE(display, nullptr);
  auto& e = *emulator_;
  ASSERT_EQ(TdevDisplayAddShowClock(display), 0);
  // The link goes and the new one never completes: the host is reconnecting
  // and the display's handle stays.
  std::shared_ptr<TdevChannelHolder_t> lost;  // keeps the old channel's address unique
  TdevChannel_t* old = TdevConnectionChannel(connection_, &lost);
  ASSERT_NE(old, nullptr);
  ASSERT_TRUE(e.setBacklogFull(Transport::Plain, true));
  ASSERT_TRUE(e.resetClient(0));
  ASSERT_TRUE(Eventually([&] { return SlotRecorder::instance().count(connection_, 1) == 1; }, 10s));
  // The new channel is in place (and never gets through): the old one,
  // whose socket may still take a write, no longer carries the send.
  ASSERT_TRUE(Eventually(
      [&] {
        std::shared_ptr<TdevChannelHolder_t> keep;
        TdevChannel_t* now = TdevConnectionChannel(connection_, &keep);
        return now != nullptr && now != old;
      },
      10s));
  lost.reset();
  ASSERT_NE(TdevRefHandle(display), nullptr);
  EXPECT_EQ(TdevDisplaySendData(nullptr, display), 4);
  EXPECT_EQ(Body(TdevGetDocument(display)), "<clock/>");
  // Once the host is gone, so is the handle.
  ASSERT_EQ(TdevDestroyConnection(connection_), 0);
  EXPECT_EQ(TdevDisplaySendData(nullptr, display), 1);
  EXPECT_EQ(TdevDisplayAddShowClock(display), 1);
  EXPECT_TRUE(e.received("display").empty());
}

}  // namespace
}  // namespace host_test
