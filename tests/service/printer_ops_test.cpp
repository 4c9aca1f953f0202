// A printer's operations over the device service against the emulator: the
// document builders' elements and refusals, the print message of a job and of
// a job-status request, the job result in slot 14, the status query's
// retries, the readiness test, the immediate jobs, the send lock, a host that
// is reconnecting or gone, and one job through the device layer.
//
// Addresses (io_test::address): 1190-1229.

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/printer_commands.h"
#include "device/printer_module.h"
#include "host_test_support.h"
#include "service/reply_codes.h"
#include "service/request_messages.h"
#include "service/status_monitor.h"

namespace host_test {
namespace {

using service_emulator::AcceptMode;
using service_emulator::Device;
using service_emulator::HttpOverride;
using service_emulator::ReplyOverride;
using service_emulator::StatusAnswer;
using service_emulator::Transport;

constexpr const char* kId = "local_printer";
constexpr uint32_t kOnline = 0x2;
constexpr uint32_t kOffline = 0x8;

// The print message of a job as the service receives it.
std::string PrintMessage(int sequence, int timeout, const std::string& jobId, bool force,
                         const std::string& body) {
  std::string text = "<device_data><sequence>" + std::to_string(sequence) +
                     "</sequence><device_id>local_printer</device_id><data><type>print</type>"
                     "<timeout>" +
                     std::to_string(timeout) + "</timeout>";
  if (!jobId.empty()) text += "<printjobid>" + jobId + "</printjobid>";
  text += "<printdata><tilo-print xmlns=\"http://www.orvik.example/schemas/2011/03/tilo-print\"";
  text += force ? " force=\"true\">" : " force=\"false\">";
  return withNul(text + body + "</tilo-print></printdata></data></device_data>");
}

// The sequence number a message carries, -1 when it has none.
int SequenceOf(const std::string& raw) {
  const size_t start = raw.find("<sequence>");
  if (start == std::string::npos) return -1;
  return std::atoi(raw.c_str() + start + 10);
}

// Job results as slot 14 reports them.
struct JobResult {
  int32_t success;
  int32_t result;
  uint32_t status;
  int32_t battery;
  std::string jobId;
  std::string host;
  std::string deviceId;
};
Records<JobResult> g_jobs;

void OnJob(TdevPrinterHandle_t*, const char* host, const char* deviceId, int32_t success,
           int32_t result, uint32_t status, int32_t battery, const char* jobId) {
  g_jobs.add({success, result, status, battery, jobId, host, deviceId});
}

std::vector<JobResult> Jobs() { return g_jobs.all(); }

class PrinterOps : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    g_jobs.clear();
  }
  void TearDown() override {
    if (httpPointed_) TdevSetHttpPorts(host(), 0, 0);
    HostTest::TearDown();
  }

  // The emulator on address n with the client's status requests pointed at
  // it, a connected host and the printer open on it.
  TdevPrinterHandle_t* openPrinter(int n, Device device = {}) {
    auto& e = service(n);
    e.setDevice(kId, device);
    TdevSetHttpPorts(host(), e.httpPort(), e.httpsPort());
    httpPointed_ = true;
    connection_ = connect();
    if (connection_ == nullptr) return nullptr;
    void* handle = nullptr;
    if (TdevOpenDeviceSync(nullptr, connection_, kId, TDEV_DEVICE_PRINTER, &handle) != 0) {
      return nullptr;
    }
    return static_cast<TdevPrinterHandle_t*>(handle);
  }

  static std::string Body(TdevPrinterHandle_t* handle) {
    return std::string(TdevBufferView(handle->document->body));
  }

  // The print messages received so far, once at least count arrived.
  std::vector<std::string> Prints(size_t count) {
    EXPECT_TRUE(emulator_->waitForReceived("print", count, 10s));
    return receivedRaw(*emulator_, "print");
  }

  TdevConnection_t* connection_ = nullptr;
  bool httpPointed_ = false;
};

using Call = std::function<int(TdevPrinterHandle_t*)>;
struct BuilderCase {
  const char* name;
  Call call;
  int result;
  std::string element;  // what the document holds afterwards ("" for none)
};

// Runs each case on an empty document.
void RunBuilderCases(TdevPrinterHandle_t* handle, const std::vector<BuilderCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(TdevClearCommandBuffer(handle), 0);
    EXPECT_EQ(c.call(handle), c.result);
    EXPECT_EQ(std::string(TdevBufferView(handle->document->body)), c.element);
  }
}

TEST_F(PrinterOps, BuildersMapTheLayersValuesOntoTheirElementsOrRefuseWithNothingAppended) {
  TdevPrinterHandle_t* p = openPrinter(1190);
  ASSERT_NE(p, nullptr);
  const uint8_t bytes[] = {0x1B, 0x40, 0xAB};
  const std::vector<BuilderCase> cases = {
      {"align", [](auto h) { return TdevPrinterAddTextAlign(h, 1); }, 0,
       "<text align=\"center\"/>"},
      {"align default", [](auto h) { return TdevPrinterAddTextAlign(h, -2); }, 0,
       "<text align=\"left\"/>"},
      {"align 3", [](auto h) { return TdevPrinterAddTextAlign(h, 3); }, 1, ""},
      {"align -1", [](auto h) { return TdevPrinterAddTextAlign(h, -1); }, 1, ""},
      {"line space", [](auto h) { return TdevPrinterAddLineSpace(h, 255); }, 0,
       "<text linespc=\"255\"/>"},
      {"line space 256", [](auto h) { return TdevPrinterAddLineSpace(h, 256); }, 1, ""},
      {"line space default", [](auto h) { return TdevPrinterAddLineSpace(h, -2); }, 1, ""},
      {"rotate default", [](auto h) { return TdevPrinterAddTextRotate(h, -2); }, 0,
       "<text rotate=\"false\"/>"},
      {"rotate 2", [](auto h) { return TdevPrinterAddTextRotate(h, 2); }, 1, ""},
      {"text escaped", [](auto h) { return TdevPrinterAddText(h, "a<b&\"\n"); }, 0,
       "<text>a&lt;b&amp;&quot;&#xA;</text>"},
      {"text empty", [](auto h) { return TdevPrinterAddText(h, ""); }, 0, "<text></text>"},
      {"text null", [](auto h) { return TdevPrinterAddText(h, nullptr); }, 1, ""},
      {"text four-byte UTF-8", [](auto h) { return TdevPrinterAddText(h, "\xF0\x9F\x98\x80"); }, 1,
       ""},
      {"lang", [](auto h) { return TdevPrinterAddTextLang(h, 5); }, 0, "<text lang=\"th\"/>"},
      {"lang default", [](auto h) { return TdevPrinterAddTextLang(h, -2); }, 0,
       "<text lang=\"en\"/>"},
      {"lang 6", [](auto h) { return TdevPrinterAddTextLang(h, 6); }, 1, ""},
      {"font", [](auto h) { return TdevPrinterAddTextFont(h, 4); }, 0, "<text font=\"font_e\"/>"},
      {"font default", [](auto h) { return TdevPrinterAddTextFont(h, -2); }, 0,
       "<text font=\"font_a\"/>"},
      // The writer knows two special fonts the printer operations do not offer.
      {"font 5", [](auto h) { return TdevPrinterAddTextFont(h, 5); }, 1, ""},
      {"smooth", [](auto h) { return TdevPrinterAddTextSmooth(h, 1); }, 0,
       "<text smooth=\"true\"/>"},
      {"size default width", [](auto h) { return TdevPrinterAddTextSize(h, -2, 8); }, 0,
       "<text height=\"8\" width=\"1\"/>"},
      {"size width left out", [](auto h) { return TdevPrinterAddTextSize(h, -1, 3); }, 0,
       "<text height=\"3\"/>"},
      {"size both left out", [](auto h) { return TdevPrinterAddTextSize(h, -1, -1); }, 1, ""},
      {"size 0", [](auto h) { return TdevPrinterAddTextSize(h, 0, 1); }, 1, ""},
      {"size 9", [](auto h) { return TdevPrinterAddTextSize(h, 1, 9); }, 1, ""},
      {"style defaults", [](auto h) { return TdevPrinterAddTextStyle(h, -2, -1, 1, -2); }, 0,
       "<text reverse=\"false\" em=\"true\" color=\"color_1\"/>"},
      {"style underline only", [](auto h) { return TdevPrinterAddTextStyle(h, -1, 0, -1, -1); }, 0,
       "<text ul=\"false\"/>"},
      {"style color none", [](auto h) { return TdevPrinterAddTextStyle(h, 1, 1, 0, 0); }, 0,
       "<text reverse=\"true\" ul=\"true\" em=\"false\" color=\"none\"/>"},
      {"style all left out", [](auto h) { return TdevPrinterAddTextStyle(h, -1, -1, -1, -1); }, 1,
       ""},
      {"style underline default", [](auto h) { return TdevPrinterAddTextStyle(h, 0, -2, 0, 0); }, 1,
       ""},
      {"style emphasis default", [](auto h) { return TdevPrinterAddTextStyle(h, 0, 0, -2, 0); }, 1,
       ""},
      {"style color 5", [](auto h) { return TdevPrinterAddTextStyle(h, 0, 0, 0, 5); }, 1, ""},
      {"position", [](auto h) { return TdevPrinterAddHPosition(h, 65535); }, 0,
       "<text x=\"65535\"/>"},
      {"position 65536", [](auto h) { return TdevPrinterAddHPosition(h, 65536); }, 1, ""},
      {"feed unit", [](auto h) { return TdevPrinterAddFeedUnit(h, 0); }, 0, "<feed unit=\"0\"/>"},
      {"feed line 256", [](auto h) { return TdevPrinterAddFeedLine(h, 256); }, 1, ""},
      {"feed line", [](auto h) { return TdevPrinterAddFeedLine(h, 3); }, 0, "<feed line=\"3\"/>"},
      {"feed position", [](auto h) { return TdevPrinterAddFeedPosition(h, 3); }, 0,
       "<feed pos=\"next_tof\"/>"},
      {"feed position has no default", [](auto h) { return TdevPrinterAddFeedPosition(h, -2); }, 1,
       ""},
      {"logo", [](auto h) { return TdevPrinterAddLogo(h, 1, 255); }, 0,
       "<logo key1=\"1\" key2=\"255\"/>"},
      {"logo 256", [](auto h) { return TdevPrinterAddLogo(h, 256, 0); }, 1, ""},
      {"barcode hri and font left out",
       [](auto h) { return TdevPrinterAddBarcode(h, "012345678905", 0, -1, -1, -1, -1); }, 0,
       "<barcode type=\"upc_a\">012345678905</barcode>"},
      {"barcode defaults and limits",
       [](auto h) { return TdevPrinterAddBarcode(h, "{A<1", 10, -2, -2, 2, 255); }, 0,
       "<barcode type=\"code128\" width=\"2\" height=\"255\" hri=\"none\" "
       "font=\"font_a\">{A&lt;1</barcode>"},
      {"barcode hri and font", [](auto h) { return TdevPrinterAddBarcode(h, "1", 15, 3, 4, 6, 1); },
       0,
       "<barcode type=\"gs1_databar_expanded\" width=\"6\" height=\"1\" hri=\"both\" "
       "font=\"font_e\">1</barcode>"},
      {"barcode type 16", [](auto h) { return TdevPrinterAddBarcode(h, "1", 16, -1, -1, -1, -1); },
       1, ""},
      {"barcode hri 4", [](auto h) { return TdevPrinterAddBarcode(h, "1", 0, 4, -1, -1, -1); }, 1,
       ""},
      {"barcode font 5", [](auto h) { return TdevPrinterAddBarcode(h, "1", 0, -1, 5, -1, -1); }, 1,
       ""},
      {"barcode width 7", [](auto h) { return TdevPrinterAddBarcode(h, "1", 0, -1, -1, 7, -1); }, 1,
       ""},
      {"barcode height 0", [](auto h) { return TdevPrinterAddBarcode(h, "1", 0, -1, -1, -1, 0); },
       1, ""},
      {"barcode null data",
       [](auto h) { return TdevPrinterAddBarcode(h, nullptr, 0, -1, -1, -1, -1); }, 1, ""},
      {"barcode empty data", [](auto h) { return TdevPrinterAddBarcode(h, "", 0, -1, -1, -1, -1); },
       1, ""},
      {"hline", [](auto h) { return TdevPrinterAddHLine(h, 0, 65535, -2); }, 0,
       "<hline x1=\"0\" x2=\"65535\" style=\"thin\"/>"},
      {"hline style 6", [](auto h) { return TdevPrinterAddHLine(h, 0, 1, 6); }, 1, ""},
      {"hline x2 -1", [](auto h) { return TdevPrinterAddHLine(h, 0, -1, 0); }, 1, ""},
      {"vline begin", [](auto h) { return TdevPrinterAddVLineBegin(h, 10, 5); }, 0,
       "<vline-begin x=\"10\" style=\"thick_double\"/>"},
      {"vline end", [](auto h) { return TdevPrinterAddVLineEnd(h, 10, -2); }, 0,
       "<vline-end x=\"10\" style=\"thin\"/>"},
      {"vline end x", [](auto h) { return TdevPrinterAddVLineEnd(h, 65536, 0); }, 1, ""},
      {"page begin", [](auto h) { return TdevPrinterAddPageBegin(h); }, 0, "<page>"},
      {"page end", [](auto h) { return TdevPrinterAddPageEnd(h); }, 0, "</page>"},
      {"area", [](auto h) { return TdevPrinterAddPageArea(h, 0, 0, 100, 65535); }, 0,
       "<area x=\"0\" y=\"0\" width=\"100\" height=\"65535\"/>"},
      {"area -1", [](auto h) { return TdevPrinterAddPageArea(h, 0, -1, 100, 200); }, 1, ""},
      {"direction default", [](auto h) { return TdevPrinterAddPageDirection(h, -2); }, 0,
       "<direction dir=\"left_to_right\"/>"},
      {"direction", [](auto h) { return TdevPrinterAddPageDirection(h, 3); }, 0,
       "<direction dir=\"top_to_bottom\"/>"},
      {"direction 4", [](auto h) { return TdevPrinterAddPageDirection(h, 4); }, 1, ""},
      {"position", [](auto h) { return TdevPrinterAddPagePosition(h, 1, 2); }, 0,
       "<position x=\"1\" y=\"2\"/>"},
      {"position -2", [](auto h) { return TdevPrinterAddPagePosition(h, -2, 2); }, 1, ""},
      {"line", [](auto h) { return TdevPrinterAddPageLine(h, 1, 2, 3, 4, -2); }, 0,
       "<line x1=\"1\" y1=\"2\" x2=\"3\" y2=\"4\" style=\"thin\"/>"},
      {"rectangle", [](auto h) { return TdevPrinterAddPageRectangle(h, 1, 2, 3, 4, 2); }, 0,
       "<rectangle x1=\"1\" y1=\"2\" x2=\"3\" y2=\"4\" style=\"thick\"/>"},
      {"rectangle y2", [](auto h) { return TdevPrinterAddPageRectangle(h, 1, 2, 3, 65536, 2); }, 1,
       ""},
      {"cut default", [](auto h) { return TdevPrinterAddCut(h, -2); }, 0, "<cut type=\"feed\"/>"},
      {"cut", [](auto h) { return TdevPrinterAddCut(h, 0); }, 0, "<cut type=\"no_feed\"/>"},
      {"cut 3", [](auto h) { return TdevPrinterAddCut(h, 3); }, 1, ""},
      {"pulse defaults", [](auto h) { return TdevPrinterAddPulse(h, -2, -2); }, 0,
       "<pulse drawer=\"drawer_1\" time=\"pulse_100\"/>"},
      {"pulse", [](auto h) { return TdevPrinterAddPulse(h, 1, 4); }, 0,
       "<pulse drawer=\"drawer_2\" time=\"pulse_500\"/>"},
      {"pulse drawer 2", [](auto h) { return TdevPrinterAddPulse(h, 2, 0); }, 1, ""},
      {"pulse time 5", [](auto h) { return TdevPrinterAddPulse(h, 0, 5); }, 1, ""},
      {"sound defaults", [](auto h) { return TdevPrinterAddSound(h, -2, -2, -2); }, 0,
       "<sound pattern=\"pattern_a\" repeat=\"1\" cycle=\"1000\"/>"},
      {"sound limits", [](auto h) { return TdevPrinterAddSound(h, 17, 0, 25500); }, 0,
       "<sound pattern=\"pattern_10\" repeat=\"0\" cycle=\"25500\"/>"},
      {"sound pattern 18", [](auto h) { return TdevPrinterAddSound(h, 18, 1, 1000); }, 1, ""},
      {"sound repeat 256", [](auto h) { return TdevPrinterAddSound(h, 1, 256, 1000); }, 1, ""},
      {"sound cycle 999", [](auto h) { return TdevPrinterAddSound(h, 1, 1, 999); }, 1, ""},
      {"sound cycle left out", [](auto h) { return TdevPrinterAddSound(h, 1, 1, -1); }, 1, ""},
      {"command", [&](auto h) { return TdevAddCommand(h, bytes, 3); }, 0,
       "<command>1B40AB</command>"},
      {"command count 0", [&](auto h) { return TdevAddCommand(h, bytes, 0); }, 1, ""},
      {"command null", [](auto h) { return TdevAddCommand(h, nullptr, 3); }, 1, ""},
      {"layout", [](auto h) { return TdevPrinterAddLayout(h, 0, 300, 0, 0, 0, 0, 0); }, 0,
       "<layout type=\"receipt\" width=\"300\" height=\"0\" margin-top=\"0\" "
       "margin-bottom=\"0\" offset-cut=\"0\" offset-label=\"0\"/>"},
      {"layout label", [](auto h) { return TdevPrinterAddLayout(h, 3, 0, 300, -15, 15, 1, 15); }, 0,
       "<layout type=\"label\" width=\"0\" height=\"300\" margin-top=\"-15\" "
       "margin-bottom=\"15\" offset-cut=\"1\" offset-label=\"15\"/>"},
      {"layout numbers the writer refuses",
       [](auto h) { return TdevPrinterAddLayout(h, 0, 300, 300, 0, 0, 0, 0); }, 1, ""},
      {"layout type 4", [](auto h) { return TdevPrinterAddLayout(h, 4, 0, 0, 0, 0, 0, 0); }, 1, ""},
      {"layout has no default",
       [](auto h) { return TdevPrinterAddLayout(h, -2, 0, 0, 0, 0, 0, 0); }, 1, ""},
  };
  RunBuilderCases(p, cases);

  // Elements follow one another; a refusal between them leaves the others.
  ASSERT_EQ(TdevClearCommandBuffer(p), 0);
  EXPECT_EQ(TdevPrinterAddText(p, "one"), 0);
  EXPECT_EQ(TdevPrinterAddCut(p, 9), 1);
  EXPECT_EQ(TdevPrinterAddText(p, "two"), 0);
  EXPECT_EQ(Body(p), "<text>one</text><text>two</text>");
}

TEST_F(PrinterOps, SymbolLevelsFollowTheSymbolType) {
  TdevPrinterHandle_t* p = openPrinter(1191);
  ASSERT_NE(p, nullptr);
  auto symbol = [](const char* data, int type, int level, int width, int height, int size) {
    return [=](TdevPrinterHandle_t* h) {
      return TdevPrinterAddSymbol(h, data, type, level, width, height, size);
    };
  };
  const std::vector<BuilderCase> cases = {
      {"pdf417 named level", symbol("d", 0, 3, 3, 4, 0), 0,
       "<symbol type=\"pdf417_standard\" level=\"level_3\" width=\"3\" height=\"4\" "
       "size=\"0\">d</symbol>"},
      {"pdf417 default level", symbol("d", 0, -2, -1, -1, -1), 1, ""},
      {"qr default level", symbol("q<", 3, -2, 3, -1, -1), 0,
       "<symbol type=\"qrcode_model_2\" level=\"default\" width=\"3\">q&lt;</symbol>"},
      {"qr level h", symbol("q", 2, 12, -1, -1, -1), 0,
       "<symbol type=\"qrcode_model_1\" level=\"level_h\">q</symbol>"},
      {"qr level left out", symbol("q", 3, -1, -1, -1, -1), 0,
       "<symbol type=\"qrcode_model_2\">q</symbol>"},
      {"qr level 8", symbol("q", 3, 8, -1, -1, -1), 1, ""},
      {"qr level 13", symbol("q", 3, 13, -1, -1, -1), 1, ""},
      {"micro qr level q", symbol("m", 4, 11, -1, -1, -1), 0,
       "<symbol type=\"qrcode_micro\" level=\"level_q\">m</symbol>"},
      {"micro qr level h", symbol("m", 4, 12, -1, -1, -1), 1, ""},
      {"aztec percentage", symbol("a", 13, 30, -1, -1, -1), 0,
       "<symbol type=\"azteccode_fullrange\" level=\"30\">a</symbol>"},
      {"aztec limits", symbol("a", 14, 95, -1, -1, -1), 0,
       "<symbol type=\"azteccode_compact\" level=\"95\">a</symbol>"},
      {"aztec lowest", symbol("a", 14, 5, -1, -1, -1), 0,
       "<symbol type=\"azteccode_compact\" level=\"5\">a</symbol>"},
      {"aztec default", symbol("a", 14, -2, -1, -1, -1), 0,
       "<symbol type=\"azteccode_compact\" level=\"default\">a</symbol>"},
      {"aztec 4", symbol("a", 13, 4, -1, -1, -1), 1, ""},
      {"aztec 96", symbol("a", 13, 96, -1, -1, -1), 1, ""},
      // Other types take a level but the service's element carries none.
      {"maxicode level", symbol("x", 5, 0, -1, -1, -1), 0,
       "<symbol type=\"maxicode_mode_2\">x</symbol>"},
      {"maxicode default level", symbol("x", 5, -2, -1, -1, -1), 1, ""},
      {"maxicode level 14", symbol("x", 5, 14, -1, -1, -1), 1, ""},
      {"datamatrix width", symbol("x", 15, -1, 16, -1, -1), 0,
       "<symbol type=\"datamatrix_square\" width=\"16\">x</symbol>"},
      {"type 19", symbol("x", 19, -1, -1, -1, -1), 1, ""},
      {"width 256", symbol("x", 3, -1, 256, -1, -1), 1, ""},
      {"height 256", symbol("x", 0, 0, -1, 256, -1), 1, ""},
      {"size 65536", symbol("x", 0, 0, -1, -1, 65536), 1, ""},
      {"null data", symbol(nullptr, 3, -1, -1, -1, -1), 1, ""},
      {"empty data", symbol("", 3, -1, -1, -1, -1), 1, ""},
  };
  RunBuilderCases(p, cases);
}

// Pixels of one color, blue, green, red.
std::vector<uint8_t> Pixels(int width, int height, uint8_t value) {
  return std::vector<uint8_t>(static_cast<size_t>(width) * height * 3, value);
}

TEST_F(PrinterOps, ImageRasterisesTheRegionByModeAndHalftone) {
  TdevPrinterHandle_t* p = openPrinter(1192);
  ASSERT_NE(p, nullptr);
  const auto black = Pixels(8, 2, 0x00);
  const auto white = Pixels(2, 1, 0xFF);
  // Left half black, right half white.
  std::vector<uint8_t> halves = Pixels(16, 1, 0xFF);
  std::fill(halves.begin(), halves.begin() + 8 * 3, 0x00);
  const auto darkGray = Pixels(8, 1, 0x70);
  const auto lightGray = Pixels(8, 1, 0x90);
  auto image = [](const std::vector<uint8_t>& px, int w, int h, int x, int y, int rw, int rh,
                  int color, int mode, int halftone, double brightness) {
    return [=, &px](TdevPrinterHandle_t* handle) {
      return TdevPrinterAddImage(handle, px.data(), w, h, x, y, rw, rh, color, mode, halftone,
                                 brightness);
    };
  };
  const std::vector<BuilderCase> cases = {
      {"mono threshold black", image(black, 8, 2, 0, 0, 8, 2, -2, 0, 2, 1.0), 0,
       "<image width=\"8\" height=\"2\" color=\"color_1\" mode=\"mono\">//8=</image>"},
      {"gray16 white, inverted nibbles", image(white, 2, 1, 0, 0, 2, 1, 0, 1, -2, -2.0), 0,
       "<image width=\"2\" height=\"1\" color=\"none\" mode=\"gray16\">/w==</image>"},
      {"region on the right half", image(halves, 16, 1, 8, 0, 8, 1, 4, -2, 2, 1.0), 0,
       "<image width=\"8\" height=\"1\" color=\"color_4\" mode=\"mono\">AA==</image>"},
      {"region on the left half", image(halves, 16, 1, 0, 0, 8, 1, 1, 0, 2, 1.0), 0,
       "<image width=\"8\" height=\"1\" color=\"color_1\" mode=\"mono\">/w==</image>"},
      {"threshold dark gray", image(darkGray, 8, 1, 0, 0, 8, 1, 1, 0, 2, 1.0), 0,
       "<image width=\"8\" height=\"1\" color=\"color_1\" mode=\"mono\">/w==</image>"},
      {"threshold light gray", image(lightGray, 8, 1, 0, 0, 8, 1, 1, 0, 2, 1.0), 0,
       "<image width=\"8\" height=\"1\" color=\"color_1\" mode=\"mono\">AA==</image>"},
      {"brightness 0.1", image(black, 8, 2, 0, 0, 8, 2, 1, 0, 2, 0.1), 0,
       "<image width=\"8\" height=\"2\" color=\"color_1\" mode=\"mono\">//8=</image>"},
      {"brightness 10", image(black, 8, 2, 0, 0, 8, 2, 1, 0, 2, 10.0), 0,
       "<image width=\"8\" height=\"2\" color=\"color_1\" mode=\"mono\">//8=</image>"},
  };
  RunBuilderCases(p, cases);

  // Dither is the default halftone and -2.0 the neutral brightness; a
  // brightness above 1 lightens the same gray.
  const auto gray = Pixels(8, 8, 0x80);
  auto render = [&](int halftone, double brightness) {
    TdevClearCommandBuffer(p);
    EXPECT_EQ(TdevPrinterAddImage(p, gray.data(), 8, 8, 0, 0, 8, 8, 1, 0, halftone, brightness), 0);
    return Body(p);
  };
  const std::string dither = render(0, 1.0);
  EXPECT_EQ(render(-2, -2.0), dither);
  EXPECT_NE(render(0, 3.0), dither);
  EXPECT_NE(render(2, 1.0), dither);
  EXPECT_NE(render(1, 1.0), render(2, 1.0));
}

TEST_F(PrinterOps, ImageRefusalsAppendNothing) {
  TdevPrinterHandle_t* p = openPrinter(1193);
  ASSERT_NE(p, nullptr);
  const auto px = Pixels(16, 2, 0x00);
  struct Case {
    const char* name;
    const uint8_t* pixels;
    int32_t imageWidth, imageHeight, x, y, width, height, color, mode, halftone;
    double brightness;
  };
  const uint8_t* d = px.data();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {"no pixels", nullptr, 16, 2, 0, 0, 8, 2, 1, 0, 0, 1.0},
      {"source width 65536", d, 65536, 2, 0, 0, 8, 2, 1, 0, 0, 1.0},
      {"x -1", d, 16, 2, -1, 0, 8, 2, 1, 0, 0, 1.0},
      {"region past the right edge", d, 16, 2, 9, 0, 8, 2, 1, 0, 0, 1.0},
      {"region past the bottom", d, 16, 2, 0, 1, 8, 2, 1, 0, 0, 1.0},
      {"empty region", d, 16, 2, 0, 0, 0, 2, 1, 0, 0, 1.0},
      {"color left out", d, 16, 2, 0, 0, 8, 2, -1, 0, 0, 1.0},
      {"color 5", d, 16, 2, 0, 0, 8, 2, 5, 0, 0, 1.0},
      {"mode 2", d, 16, 2, 0, 0, 8, 2, 1, 2, 0, 1.0},
      {"halftone 3", d, 16, 2, 0, 0, 8, 2, 1, 0, 3, 1.0},
      {"brightness 0.05", d, 16, 2, 0, 0, 8, 2, 1, 0, 0, 0.05},
      {"brightness 10.5", d, 16, 2, 0, 0, 8, 2, 1, 0, 0, 10.5},
      {"brightness -1", d, 16, 2, 0, 0, 8, 2, 1, 0, 0, -1.0},
      {"brightness NaN", d, 16, 2, 0, 0, 8, 2, 1, 0, 0, nan},
  };
  ASSERT_EQ(TdevPrinterAddText(p, "kept"), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TdevPrinterAddImage(p, c.pixels, c.imageWidth, c.imageHeight, c.x, c.y, c.width,
                                  c.height, c.color, c.mode, c.halftone, c.brightness),
              1);
    EXPECT_EQ(Body(p), "<text>kept</text>");
  }
}

TEST_F(PrinterOps, BuildersNeedALiveHandleWithADocument) {
  auto& e = service(1194);
  e.setDevice("k1", Device{"type_keyboard", 0, 0, ""});
  e.setDevice("d1", Device{"type_display", 0, 0, ""});
  TdevConnection_t* c = connect();
  ASSERT_NE(c, nullptr);
  void* keyboard = nullptr;
  void* display = nullptr;
  void* printer = nullptr;
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "k1", TDEV_DEVICE_KEYBOARD, &keyboard), 0);
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, "d1", TDEV_DEVICE_DISPLAY, &display), 0);
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, c, kId, TDEV_DEVICE_PRINTER, &printer), 0);
  ASSERT_EQ(TdevCloseDeviceSync(nullptr, c, printer), 0);
  const uint8_t byte = 0x0A;
  struct Case {
    const char* name;
    void* handle;
    int text, cut, command, clear;
  } cases[] = {
      {"null", nullptr, 1, 1, 1, 1},
      {"closed printer", printer, 1, 1, 1, 1},
      {"keyboard", keyboard, 255, 255, 255, 1},
      // A display's document takes raw commands but no print element.
      {"display", display, -1, -1, 0, 0},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    auto* h = static_cast<TdevPrinterHandle_t*>(k.handle);
    EXPECT_EQ(TdevPrinterAddText(h, "x"), k.text);
    EXPECT_EQ(TdevPrinterAddCut(h, 0), k.cut);
    EXPECT_EQ(TdevAddCommand(k.handle, &byte, 1), k.command);
    EXPECT_EQ(TdevClearCommandBuffer(h), k.clear);
  }
  EXPECT_EQ(TdevAddCommand(display, &byte, 1), 0);
  EXPECT_EQ(TdevBufferView(TdevGetDocument(display)->body), "<command>0A</command>");
}

TEST_F(PrinterOps, SlotSettersInstallTheLayersNotifiers) {
  TdevPrinterHandle_t* p = openPrinter(1195);
  ASSERT_NE(p, nullptr);
  auto any = [](auto function) { return reinterpret_cast<TdevAnyCallback>(function); };
  struct Case {
    int (*setter)(TdevPrinterHandle_t*);
    int slot;
    TdevAnyCallback notifier;
  };
  const Case cases[] = {
      {TdevPrinterSetOnlineCallback, 1, any(&TdcPrinterServiceEventOnline)},
      {TdevPrinterSetOfflineCallback, 2, any(&TdcPrinterServiceEventOffline)},
      {TdevPrinterSetPowerOffCallback, 3, any(&TdcPrinterServiceEventPowerOff)},
      {TdevPrinterSetCoverCloseCallback, 4, any(&TdcPrinterServiceEventCoverClose)},
      {TdevPrinterSetCoverOpenCallback, 5, any(&TdcPrinterServiceEventCoverOpen)},
      {TdevPrinterSetPaperOkCallback, 6, any(&TdcPrinterServiceEventPaperOk)},
      {TdevPrinterSetPaperNearEndCallback, 7, any(&TdcPrinterServiceEventPaperNearEnd)},
      {TdevPrinterSetPaperEmptyCallback, 8, any(&TdcPrinterServiceEventPaperEmpty)},
      {TdevPrinterSetDrawerHighCallback, 9, any(&TdcPrinterServiceEventDrawerHigh)},
      {TdevPrinterSetDrawerLowCallback, 10, any(&TdcPrinterServiceEventDrawerLow)},
      {TdevPrinterSetBatteryEmptyCallback, 11, any(&TdcPrinterServiceEventBatteryEmpty)},
      {TdevPrinterSetBatteryEnoughCallback, 12, any(&TdcPrinterServiceEventBatteryEnough)},
      {TdevPrinterSetReceiveCallback, 14, any(&TdcOnPrinterServiceResult)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slot);
    EXPECT_EQ(c.setter(p), 0);
    EXPECT_EQ(TdevGetPrinterCallback(p, c.slot), c.notifier);
    EXPECT_EQ(c.setter(nullptr), 1);
  }
  // Slots 0 (any change) and 13 (battery level) have no setter.
  EXPECT_EQ(TdevGetPrinterCallback(p, 0), nullptr);
  EXPECT_EQ(TdevGetPrinterCallback(p, 13), nullptr);
}

TEST_F(PrinterOps, AJobIsOnePrintMessageAndItsDocumentStaysForTheCaller) {
  TdevPrinterHandle_t* p = openPrinter(1196);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(TdevPrinterAddText(p, "one"), 0);
  ASSERT_EQ(TdevPrinterAddText(p, "two"), 0);
  const std::string body = "<text>one</text><text>two</text>";
  ASSERT_EQ(TdevPrinterSendData(nullptr, p, -2, "", 0, 0), 0);
  auto prints = Prints(1);
  ASSERT_EQ(prints.size(), 1u);
  const int first = SequenceOf(prints[0]);
  EXPECT_GT(first, 0);
  EXPECT_EQ(prints[0], PrintMessage(first, 10000, "", false, body)) << "no job id element";
  // Emptying is the caller's: a second send repeats the job.
  EXPECT_EQ(Body(p), body);

  // Forced, with the time limits at their ends; each send takes the next
  // sequence number of the host.
  ASSERT_EQ(TdevPrinterSendData(nullptr, p, 0, "", 1, 0), 0);
  ASSERT_EQ(TdevPrinterSendData(nullptr, p, 600000, "J<1>", 0, 0), 0);
  // The job-status request: the job id, and no body even though the document has one.
  ASSERT_EQ(TdevPrinterSendData(nullptr, p, 10000, "job-7", 0, 1), 0);
  ASSERT_EQ(TdevClearCommandBuffer(p), 0);
  EXPECT_EQ(Body(p), "");
  ASSERT_EQ(TdevPrinterSendData(nullptr, p, 10000, "job-8", 0, 1), 0);
  prints = Prints(5);
  ASSERT_EQ(prints.size(), 5u);
  EXPECT_EQ(prints[1], PrintMessage(first + 1, 0, "", true, body));
  EXPECT_EQ(prints[2], PrintMessage(first + 2, 600000, "J&lt;1&gt;", false, body));
  EXPECT_EQ(prints[3], PrintMessage(first + 3, 10000, "job-7", false, ""));
  EXPECT_EQ(prints[4], PrintMessage(first + 4, 10000, "job-8", false, ""));
}

TEST_F(PrinterOps, SendRefusesBadArgumentsWithNothingWritten) {
  TdevPrinterHandle_t* p = openPrinter(1197);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(TdevPrinterAddText(p, "x"), 0);
  struct Case {
    const char* name;
    TdevPrinterHandle_t* handle;
    int32_t timeout;
    const char* jobId;
    int32_t force, noBody;
  } cases[] = {
      {"null handle", nullptr, -2, "", 0, 0}, {"timeout -1", p, -1, "", 0, 0},
      {"timeout -3", p, -3, "", 0, 0},        {"timeout 600001", p, 600001, "", 0, 0},
      {"no job id", p, -2, nullptr, 0, 0},    {"force 2", p, -2, "", 2, 0},
      {"no-body -1", p, -2, "", 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TdevPrinterSendData(nullptr, c.handle, c.timeout, c.jobId, c.force, c.noBody), 1);
  }
  // A job needs a body.
  ASSERT_EQ(TdevClearCommandBuffer(p), 0);
  EXPECT_EQ(TdevPrinterSendData(nullptr, p, -2, "", 0, 0), 1);
  // The next job is the first message the service sees.
  ASSERT_EQ(TdevPrinterAddText(p, "y"), 0);
  ASSERT_EQ(TdevPrinterSendData(nullptr, p, -2, "", 0, 0), 0);
  const auto prints = Prints(1);
  ASSERT_EQ(prints.size(), 1u);
  EXPECT_EQ(prints[0], PrintMessage(SequenceOf(prints[0]), 10000, "", false, "<text>y</text>"));
}

TEST_F(PrinterOps, TheServicesJobResultReachesSlot14) {
  TdevPrinterHandle_t* p = openPrinter(1198, Device{"type_printer", kOffline, 3, "TL-M30"});
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(TdevSetPrinterCallback(p, 14, reinterpret_cast<TdevAnyCallback>(&OnJob)), 0);
  ASSERT_EQ(TdevPrinterAddText(p, "x"), 0);
  ASSERT_EQ(TdevPrinterSendData(nullptr, p, -2, "J9", 0, 0), 0);
  ASSERT_TRUE(Eventually([] { return Jobs().size() == 1; }, 10s));
  ReplyOverride coverOpen;
  coverOpen.success = false;
  coverOpen.code = "TPTR_COVER_OPEN";
  coverOpen.status = 0x20;
  emulator_->overrideNextReply("print", coverOpen);
  ASSERT_EQ(TdevPrinterSendData(nullptr, p, -2, "", 0, 0), 0);
  ASSERT_TRUE(Eventually([] { return Jobs().size() == 2; }, 10s));
  const auto jobs = Jobs();
  EXPECT_EQ(jobs[0].success, 1);
  EXPECT_EQ(jobs[0].result, 0);
  EXPECT_EQ(jobs[0].status, kOffline);
  EXPECT_EQ(jobs[0].battery, 3);
  EXPECT_EQ(jobs[0].jobId, "J9");
  EXPECT_EQ(jobs[0].host, host());
  EXPECT_EQ(jobs[0].deviceId, kId);
  EXPECT_EQ(jobs[1].success, 0);
  EXPECT_EQ(jobs[1].result, TDEV_ERR_COVER_OPEN);
  EXPECT_EQ(jobs[1].status, 0x20u);
  // The service's empty job id element reads as one blank, as every empty field does.
  EXPECT_EQ(jobs[1].jobId, " ");
  EXPECT_EQ(TdevGetPrinterStatus(p), 0x20u);
}

TEST_F(PrinterOps, ASendWhileAnotherThreadHoldsTheSendLockGives2AtOnce) {
  TdevPrinterHandle_t* p = openPrinter(1199);
  ASSERT_NE(p, nullptr);
  SendLockHolder busy(connection_);
  ASSERT_TRUE(busy.held());
  ASSERT_EQ(TdevPrinterAddText(p, "busy"), 0);
  EXPECT_EQ(TdevPrinterSendData(nullptr, p, -2, "", 0, 0), 2);
  EXPECT_EQ(Body(p), "<text>busy</text>");
  // An immediate job empties the document whatever its send gave.
  ASSERT_EQ(TdevClearCommandBuffer(p), 0);
  EXPECT_EQ(TdevPrinterForcePulse(nullptr, p, -2, -2, -2), 2);
  EXPECT_EQ(Body(p), "");
  busy.release();

  ASSERT_EQ(TdevPrinterAddText(p, "free"), 0);
  ASSERT_EQ(TdevPrinterSendData(nullptr, p, -2, "", 0, 0), 0);
  const auto prints = Prints(1);
  ASSERT_EQ(prints.size(), 1u) << "nothing went out while the lock was held";
  EXPECT_NE(prints[0].find("<text>free</text>"), std::string::npos);
}

TEST_F(PrinterOps, StatusQueryAsksAgainOnlyOnTheServicesTimeoutAndAtMostThreeTimes) {
  TdevPrinterHandle_t* p = openPrinter(1200);
  ASSERT_NE(p, nullptr);
  const StatusAnswer serviceTimeout{0x8, "EX_KDPX_TIMEOUT", false, 1, false};
  struct Case {
    const char* name;
    std::vector<StatusAnswer> answers;
    size_t requests;
    uint32_t word;
    int32_t battery;
  };
  const Case cases[] = {
      {"answered at once", {{0x20, "", true, 40, false}}, 1, 0x10000020, 40},
      {"one service timeout", {serviceTimeout, {0x4, "", true, 7, false}}, 2, 0x10000004, 7},
      {"three service timeouts",
       {serviceTimeout,
        serviceTimeout,
        {0x20, "EX_KDPX_TIMEOUT", false, 2, false},
        {0x0, "", true, 9, false}},
       3,
       0x10000020,
       2},
      {"another failure is not asked again",
       {{0x8, "DeviceNotFound", false, 0, false}, {0x0, "", true, 9, false}},
       1,
       0x10000008,
       0},
      {"no usable answer", {{0x0, "", true, 5, true}, {0x0, "", true, 9, false}}, 1, 0x1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emulator_->clearLog();
    for (const auto& a : c.answers) emulator_->queueStatus(kId, a);
    uint32_t word = 0xDEAD;
    int32_t battery = -5;
    ASSERT_EQ(TdevPrinterGetStatus(nullptr, p, &word, &battery), 0);
    EXPECT_EQ(word, c.word);
    EXPECT_EQ(battery, c.battery);
    EXPECT_EQ(emulator_->httpRequests().size(), c.requests);
    // Use up what the case left queued.
    while (emulator_->httpRequests().size() < c.answers.size()) {
      uint32_t w = 0;
      int32_t b = 0;
      ASSERT_EQ(TdevPrinterGetStatus(nullptr, p, &w, &b), 0);
    }
  }

  // A service that drops the request is a printer that does not answer.
  HttpOverride dropped;
  dropped.closeWithoutReply = true;
  emulator_->overrideHttp("service.cgi", dropped);
  uint32_t word = 0;
  int32_t battery = -5;
  EXPECT_EQ(TdevPrinterGetStatus(nullptr, p, &word, &battery), 0);
  EXPECT_EQ(word, kTdevStatusNoResponse);
  EXPECT_EQ(battery, 0);

  EXPECT_EQ(TdevPrinterGetStatus(nullptr, p, nullptr, &battery), 1);
  EXPECT_EQ(TdevPrinterGetStatus(nullptr, p, &word, nullptr), 1);
  EXPECT_EQ(TdevPrinterGetStatus(nullptr, nullptr, &word, &battery), 1);
}

TEST_F(PrinterOps, AStatusQueryAndAReadinessTestOfOneHandleRunOneAfterTheOther) {
  TdevPrinterHandle_t* p = openPrinter(1207);
  ASSERT_NE(p, nullptr);
  HttpOverride slow;
  slow.delay = 600ms;
  emulator_->overrideHttp("service.cgi", slow);
  emulator_->queueStatus(kId, StatusAnswer{0x20, "", true, 0, false});
  emulator_->queueStatus(kId, StatusAnswer{kOnline, "", true, 0, false});
  uint32_t word = 0;
  int32_t battery = 0;
  std::thread query([&] { EXPECT_EQ(TdevPrinterGetStatus(nullptr, p, &word, &battery), 0); });
  // The query waits for its slow reply; the readiness test starts meanwhile.
  ASSERT_TRUE(emulator_->waitForHttpRequests(1, 10s));
  EXPECT_EQ(TdevPrinterIsReady(nullptr, p), 1);
  query.join();
  EXPECT_EQ(word, 0x10000020u);
  const auto requests = emulator_->httpRequests();
  ASSERT_EQ(requests.size(), 2u);
  // The second request went out only after the first one's reply.
  EXPECT_GE(requests[1].when - requests[0].when, 600ms);
}

TEST_F(PrinterOps, ReadinessNeedsAnAnsweringOnlinePrinter) {
  TdevPrinterHandle_t* p = openPrinter(1201);
  ASSERT_NE(p, nullptr);
  struct Case {
    const char* name;
    StatusAnswer answer;
    int ready;
  } cases[] = {
      {"online", {kOnline, "", true, 0, false}, 1},
      {"word 0", {0x0, "", true, 0, false}, 1},
      {"cover open", {0x20, "", true, 0, false}, 1},
      {"offline", {kOffline, "", true, 0, false}, 0},
      {"not answering", {0x1, "", true, 0, false}, 0},
      {"no usable answer", {0x0, "", true, 0, true}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emulator_->queueStatus(kId, c.answer);
    EXPECT_EQ(TdevPrinterIsReady(nullptr, p), c.ready);
  }
  EXPECT_EQ(TdevPrinterIsReady(nullptr, nullptr), 0);
}

TEST_F(PrinterOps, ImmediateJobsSendOneElementForcedWhenThePrinterIsNotReady) {
  TdevPrinterHandle_t* p = openPrinter(1202);
  ASSERT_NE(p, nullptr);
  const uint8_t bytes[] = {0x10, 0x14, 0x01};
  const StatusAnswer online{kOnline, "", true, 0, false};
  const StatusAnswer offline{kOffline, "", true, 0, false};
  const StatusAnswer silent{0x0, "", true, 0, true};
  struct Case {
    const char* name;
    Call call;
    StatusAnswer readiness;
    int timeout;
    bool force;
    const char* element;
  };
  const Case cases[] = {
      {"pulse on an offline printer",
       [](auto h) { return TdevPrinterForcePulse(nullptr, h, -2, -2, -2); }, offline, 10000, true,
       "<pulse drawer=\"drawer_1\" time=\"pulse_100\"/>"},
      {"pulse on a ready printer",
       [](auto h) { return TdevPrinterForcePulse(nullptr, h, 1, 4, 500); }, online, 500, false,
       "<pulse drawer=\"drawer_2\" time=\"pulse_500\"/>"},
      {"stop sound", [](auto h) { return TdevPrinterForceStopSound(nullptr, h, 0); }, online, 0,
       false, "<sound pattern=\"none\" repeat=\"0\"/>"},
      {"command", [&](auto h) { return TdevPrinterForceCommand(nullptr, h, bytes, 3, 600000); },
       offline, 600000, true, "<command>101401</command>"},
      {"reset of a silent printer", [](auto h) { return TdevPrinterForceReset(nullptr, h, -2); },
       silent, 10000, true, "<reset/>"},
      {"recover", [](auto h) { return TdevPrinterForceRecover(nullptr, h, -2); }, online, 10000,
       false, "<recovery/>"},
  };
  size_t sent = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emulator_->clearLog();
    emulator_->queueStatus(kId, c.readiness);
    ASSERT_EQ(c.call(p), 0);
    ++sent;
    EXPECT_EQ(Body(p), "") << "the document is emptied";
    const auto prints = Prints(1);
    ASSERT_EQ(prints.size(), 1u);
    EXPECT_EQ(prints[0], PrintMessage(SequenceOf(prints[0]), c.timeout, "", c.force, c.element));
    EXPECT_EQ(emulator_->httpRequests().size(), 1u) << "one readiness request";
  }
  EXPECT_EQ(sent, std::size(cases));
}

TEST_F(PrinterOps, ImmediateJobsRefuseTheirArgumentsBeforeAskingOrSending) {
  TdevPrinterHandle_t* p = openPrinter(1203);
  ASSERT_NE(p, nullptr);
  const uint8_t bytes[] = {0x1B};
  struct Case {
    const char* name;
    Call call;
  };
  const Case cases[] = {
      {"pulse drawer 2", [](auto h) { return TdevPrinterForcePulse(nullptr, h, 2, 0, -2); }},
      {"pulse time 5", [](auto h) { return TdevPrinterForcePulse(nullptr, h, 0, 5, -2); }},
      {"pulse time -1", [](auto h) { return TdevPrinterForcePulse(nullptr, h, 0, -1, -2); }},
      {"pulse timeout 600001",
       [](auto h) { return TdevPrinterForcePulse(nullptr, h, 0, 0, 600001); }},
      {"stop sound timeout -1", [](auto h) { return TdevPrinterForceStopSound(nullptr, h, -1); }},
      {"command without bytes",
       [](auto h) { return TdevPrinterForceCommand(nullptr, h, nullptr, 1, -2); }},
      {"command of 0 bytes",
       [&](auto h) { return TdevPrinterForceCommand(nullptr, h, bytes, 0, -2); }},
      {"reset timeout -3", [](auto h) { return TdevPrinterForceReset(nullptr, h, -3); }},
      {"recover timeout 700000",
       [](auto h) { return TdevPrinterForceRecover(nullptr, h, 700000); }},
      {"pulse, no handle", [](auto) { return TdevPrinterForcePulse(nullptr, nullptr, 0, 0, -2); }},
      {"stop sound, no handle",
       [](auto) { return TdevPrinterForceStopSound(nullptr, nullptr, -2); }},
      {"command, no handle",
       [&](auto) { return TdevPrinterForceCommand(nullptr, nullptr, bytes, 1, -2); }},
      {"reset, no handle", [](auto) { return TdevPrinterForceReset(nullptr, nullptr, -2); }},
      {"recover, no handle", [](auto) { return TdevPrinterForceRecover(nullptr, nullptr, -2); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(p), 1);
    EXPECT_EQ(Body(p), "");
  }
  // Nothing was asked or sent: the next job's message is the first.
  ASSERT_EQ(TdevPrinterForceStopSound(nullptr, p, -2), 0);
  const auto prints = Prints(1);
  EXPECT_EQ(prints.size(), 1u);
  EXPECT_EQ(emulator_->httpRequests().size(), 1u);
}

TEST_F(PrinterOps, AReconnectingHostTakesNoJobAndLeavesTheDocumentAlone) {
  TdevPrinterHandle_t* p = openPrinter(1204);
  ASSERT_NE(p, nullptr);
  // The new link is accepted but the service never greets it: the host stays
  // reconnecting, with a channel that is not yet the service's.
  emulator_->setAcceptMode(Transport::Plain, AcceptMode::Silent);
  ASSERT_TRUE(emulator_->resetClient(0));
  ASSERT_TRUE(emulator_->waitForAccepted(2, 30s));
  ASSERT_TRUE(Eventually([&] { return SlotRecorder::instance().count(connection_, 1) == 1; }));
  ASSERT_EQ(TdevGetCondition(connection_), TDEV_CONDITION_RECONNECTING);

  ASSERT_EQ(TdevPrinterAddText(p, "kept"), 0);
  EXPECT_EQ(TdevPrinterSendData(nullptr, p, -2, "", 0, 0), 4);
  EXPECT_EQ(TdevPrinterForcePulse(nullptr, p, -2, -2, -2), 4);
  EXPECT_EQ(TdevPrinterForceReset(nullptr, p, -2), 4);
  EXPECT_EQ(Body(p), "<text>kept</text>");
  EXPECT_TRUE(emulator_->httpRequests().empty()) << "no readiness asked";
}

TEST_F(PrinterOps, AHandleThatWentWithItsHostAnswers1) {
  TdevPrinterHandle_t* p = openPrinter(1205);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(TdevPrinterAddText(p, "x"), 0);
  // The link breaks and the service refuses the reconnect: the host is
  // cleaned up with its handles.
  ReplyOverride refuse;
  refuse.code = "CLIENT_NOT_FOUND";
  emulator_->overrideNextReply("reconnect", refuse);
  ASSERT_TRUE(emulator_->closeClient(0));
  ASSERT_TRUE(Eventually([&] { return SlotRecorder::instance().count(connection_, 0) == 1; }));
  EXPECT_EQ(TdevRefHandle(p), nullptr);

  uint32_t word = 7;
  int32_t battery = 7;
  const uint8_t byte = 0;
  EXPECT_EQ(TdevPrinterSendData(nullptr, p, -2, "", 0, 0), 1);
  EXPECT_EQ(TdevPrinterGetStatus(nullptr, p, &word, &battery), 1);
  EXPECT_EQ(TdevPrinterIsReady(nullptr, p), 0);
  EXPECT_EQ(TdevPrinterForcePulse(nullptr, p, 0, 0, -2), 1);
  EXPECT_EQ(TdevPrinterForceCommand(nullptr, p, &byte, 1, -2), 1);
  EXPECT_EQ(TdevPrinterAddText(p, "y"), 1);
  EXPECT_EQ(TdevAddCommand(p, &byte, 1), 1);
  EXPECT_EQ(TdevClearCommandBuffer(p), 1);
  EXPECT_EQ(TdevPrinterSetReceiveCallback(p), 1);
  EXPECT_TRUE(emulator_->received("print").empty());
}

// ---- Through the device layer
// ---------------------------------------------------------------------

struct LayerResult {
  int32_t code;
  int32_t connection;
  int32_t online;
  std::string jobId;
};
struct LayerEvents {
  std::mutex mutex;
  std::vector<LayerResult> results;
  std::vector<int32_t> connection;
};

void OnLayerResult(void*, int32_t code, TdcStatus_t* status, const char* jobId, void* user) {
  auto* events = static_cast<LayerEvents*>(user);
  std::lock_guard lock(events->mutex);
  events->results.push_back({code, status->connection, status->online, jobId ? jobId : "?"});
}

void OnLayerConnection(void*, int32_t event, void* user) {
  auto* events = static_cast<LayerEvents*>(user);
  std::lock_guard lock(events->mutex);
  events->connection.push_back(event);
}

TEST_F(PrinterOps, ThroughTheDeviceLayerAJobsResultReachesTheRecordsCallback) {
  auto& e = service(1206);
  TdevSetHttpPorts(host(), e.httpPort(), e.httpsPort());
  httpPointed_ = true;
  LayerEvents events;
  TdcPrinter_t* record = nullptr;
  ASSERT_EQ(TdcCreatePrinter(&record, 6, 0), 0);
  TdcRegisterPrinter(record);
  record->receiveCallback = &OnLayerResult;
  record->receiveUser = &events;
  record->connectionCallback = &OnLayerConnection;
  record->connectionUser = &events;
  auto results = [&] {
    std::lock_guard lock(events.mutex);
    return events.results;
  };

  const std::string target = "TCP:" + host_ + "[" + kId + "]";
  ASSERT_EQ(TdcConnectPrinter(nullptr, record, target.c_str(), nullptr, 10000), 0);
  EXPECT_EQ(e.openDevices(e.clientId(e.newestClient())), std::vector<std::string>{kId});

  ASSERT_EQ(TdcAddTextAlign(record, 1), 0);
  ASSERT_EQ(TdcAddText(record, "Caf\xC3\xA9 <1>\n"), 0);
  ASSERT_EQ(TdcAddFeedLine(record, 2), 0);
  ASSERT_EQ(TdcAddCut(record, -2), 0);
  ASSERT_EQ(TdcSendPrinterData(nullptr, record, -2), 0);
  ASSERT_TRUE(Eventually([&] { return results().size() == 1; }, 10s));
  const std::string body =
      "<text align=\"center\"/><text>Caf\xC3\xA9 &lt;1&gt;&#xA;</text><feed line=\"2\"/>"
      "<cut type=\"feed\"/>";
  auto prints = Prints(1);
  ASSERT_EQ(prints.size(), 1u);
  EXPECT_EQ(prints[0], PrintMessage(SequenceOf(prints[0]), 10000, "", false, body));
  EXPECT_EQ(results()[0].code, TDC_CB_SUCCESS);
  EXPECT_EQ(results()[0].jobId, " ");
  EXPECT_EQ(results()[0].connection, 1);

  // The list survives the send; the service's refusal reaches the callback.
  ReplyOverride coverOpen;
  coverOpen.success = false;
  coverOpen.code = "TPTR_COVER_OPEN";
  coverOpen.status = 0x20;
  e.overrideNextReply("print", coverOpen);
  ASSERT_EQ(TdcSendPrinterData(nullptr, record, 5000), 0);
  ASSERT_TRUE(Eventually([&] { return results().size() == 2; }, 10s));
  prints = Prints(2);
  ASSERT_EQ(prints.size(), 2u);
  EXPECT_EQ(prints[1], PrintMessage(SequenceOf(prints[1]), 5000, "", false, body));
  EXPECT_EQ(results()[1].code, TDC_CB_COVER_OPEN);

  // The job-status request and an immediate job.
  ASSERT_EQ(TdcRequestPrintJobStatus(nullptr, record, "job-7"), 0);
  ASSERT_TRUE(Eventually([&] { return results().size() == 3; }, 10s));
  EXPECT_EQ(results()[2].jobId, "job-7");
  e.queueStatus(kId, StatusAnswer{kOffline, "", true, 0, false});
  ASSERT_EQ(TdcForceStopSound(nullptr, record, 3000), 0);
  ASSERT_TRUE(Eventually([&] { return results().size() == 4; }, 10s));
  prints = Prints(4);
  ASSERT_EQ(prints.size(), 4u);
  EXPECT_EQ(prints[2], PrintMessage(SequenceOf(prints[2]), 10000, "job-7", false, ""));
  EXPECT_EQ(prints[3], PrintMessage(SequenceOf(prints[3]), 3000, "", true,
                                    "<sound pattern=\"none\" repeat=\"0\"/>"));

  // The status query goes over HTTP.
  e.queueStatus(kId, StatusAnswer{kOffline, "", true, 0, false});
  TdcStatus_t* status = TdcGetPrinterStatus(nullptr, record);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->connection, 1);
  EXPECT_EQ(status->online, 0);
  std::free(status);

  ASSERT_EQ(TdcDisconnectPrinter(nullptr, record), 0);
  {
    std::lock_guard lock(events.mutex);
    EXPECT_EQ(events.connection, std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  }
  EXPECT_EQ(e.received("close_device").size(), 1u);
  EXPECT_TRUE(e.waitForConnected(0, 10s));
  EXPECT_EQ(TdcDestroyPrinter(record), 0);
}

}  // namespace
}  // namespace host_test
