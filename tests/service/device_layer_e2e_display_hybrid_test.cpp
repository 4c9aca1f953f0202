// A line display and a hybrid printer driven through the device layer over
// the real device-service client, against the device-service emulator: what
// the service receives for each operation, and what comes back to the
// record's callbacks (results, status events, connection events).
//
// Addresses (io_test::address): 1310-1349.

#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/command_list.h"
#include "device/display_module.h"
#include "device/hybrid_module.h"
#include "device/printer_commands.h"
#include "device/printer_operations.h"
#include "host_test_support.h"
#include "service/request_messages.h"

namespace host_test {
namespace {

using service_emulator::Device;
using service_emulator::ReplyOverride;
using service_emulator::StatusAnswer;
using service_emulator::Transport;

int SequenceOf(const std::string& raw) {
  const size_t start = raw.find("<sequence>");
  if (start == std::string::npos) return -1;
  return std::atoi(raw.c_str() + start + 10);
}

// ---- Line display -------------------------------------------------------------------------

constexpr const char* kDisplayId = "local_display";

std::string DisplayJob(int sequence, const std::string& body) {
  return withNul("<device_data><sequence>" + std::to_string(sequence) +
                 "</sequence><device_id>local_display</device_id><data><type>display</type>"
                 "<timeout>15000</timeout><displaydata><tilo-display "
                 "xmlns=\"http://www.orvik.example/schemas/2012/09/tilo-display\">" +
                 body + "</tilo-display></displaydata></data></device_data>");
}

// What the display record's callbacks heard.
struct DisplayEvents {
  std::mutex mutex;
  std::vector<int32_t> results;
  std::vector<int32_t> connection;
  std::vector<int32_t> Results() {
    std::lock_guard lock(mutex);
    return results;
  }
  std::vector<int32_t> Connection() {
    std::lock_guard lock(mutex);
    return connection;
  }
};

void OnDisplayResult(void*, int32_t code, void* user) {
  auto* events = static_cast<DisplayEvents*>(user);
  std::lock_guard lock(events->mutex);
  events->results.push_back(code);
}

void OnDisplayConnection(void*, int32_t event, void* user) {
  auto* events = static_cast<DisplayEvents*>(user);
  std::lock_guard lock(events->mutex);
  events->connection.push_back(event);
}

class DisplayThroughLayer : public HostTest {
 protected:
  void TearDown() override {
    if (record_ != nullptr) {
      if (record_->handle != nullptr) TdcDisconnectLineDisplay(nullptr, record_);
      EXPECT_EQ(TdcDestroyLineDisplay(record_), 0);
    }
    HostTest::TearDown();
  }

  // As the runtime object makes it: zero-filled, mode -3, series and callbacks set.
  TdcLineDisplay_t* NewRecord() {
    record_ = static_cast<TdcLineDisplay_t*>(std::calloc(1, sizeof(TdcLineDisplay_t)));
    record_->mode = TDC_MODE_NEVER_CONNECTED;
    record_->series = 0;
    record_->onReceive = &OnDisplayResult;
    record_->onReceiveUser = &events_;
    record_->onConnection = &OnDisplayConnection;
    record_->onConnectionUser = &events_;
    TdcRegisterLineDisplay(nullptr, record_);
    return record_;
  }

  // The emulator on address n offers the display; the record is connected to it.
  TdcLineDisplay_t* Connected(int n) {
    auto& e = service(n);
    e.setDevice(kDisplayId, Device{"type_display", 0, 0, ""});
    TdcLineDisplay_t* record = NewRecord();
    const std::string target = "TCP:" + host_ + "[" + kDisplayId + "]";
    if (TdcConnectLineDisplay(nullptr, record, target.c_str(), 10000) != 0) return nullptr;
    return record;
  }

  std::vector<std::string> Jobs(size_t count) {
    EXPECT_TRUE(emulator_->waitForReceived("display", count, 10s));
    return receivedRaw(*emulator_, "display");
  }

  TdcLineDisplay_t* record_ = nullptr;
  DisplayEvents events_;
};

TEST_F(DisplayThroughLayer, ACommandListBecomesOneDisplayJobAndItsResultReachesTheRecord) {
  TdcLineDisplay_t* record = Connected(1310);
  ASSERT_NE(record, nullptr);
  auto& e = *emulator_;
  EXPECT_EQ(record->mode, TDC_MODE_SERVICE);
  EXPECT_EQ(e.openDevices(e.clientId(e.newestClient())), std::vector<std::string>{kDisplayId});

  // Each kind's values go through the layer's mapping into the client's
  // numbering; language 6 has no word of its own at the service.
  TdcCommand_t** list = &record->commands;
  ASSERT_EQ(TdcAddLineDisplayCommand(list, TDC_DSP_INITIALIZE), 0);
  ASSERT_EQ(TdcAddCreateWindow(record, 2, 3, 1, 5, 1, 2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(list, TDC_DSP_SET_CURRENT_WINDOW, 2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(list, TDC_DSP_MOVE_CURSOR_POSITION, 3), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(list, TDC_DSP_SET_CURSOR_TYPE, 1), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(list, TDC_DSP_TEXT, "Total <1>", 1, 2, 6), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(list, TDC_DSP_REVERSE_TEXT, "\xe3\x81\x82", -1, -1, 1), 0);
  // A repeat wait below 100 is stored as 100.
  ASSERT_EQ(TdcAddMarqueeText(record, "m&n", 1, 20, 50, 3, -2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(list, TDC_DSP_SET_BLINK, 500), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(list, TDC_DSP_SET_BRIGHTNESS, -2), 0);
  // The service's display speaks two languages: text in another is left
  // out of the job, and the rest still goes.
  ASSERT_EQ(TdcAddLineDisplayCommand(list, TDC_DSP_TEXT, "skipped", 1, 1, 2), 0);
  ASSERT_EQ(TdcAddLineDisplayCommand(list, TDC_DSP_SHOW_CLOCK), 0);
  const std::string body =
      "<reset/>"
      "<window number=\"2\" x=\"3\" y=\"1\" width=\"5\" height=\"1\" scrollmode=\"h_scroll\"/>"
      "<window number=\"2\"/>"
      "<cursor moveto=\"bottom_right\"/>"
      "<cursor type=\"underline\"/>"
      "<text x=\"1\" y=\"2\" lang=\"en\" reverse=\"false\">Total &lt;1&gt;</text>"
      "<text lang=\"ja-jp\" reverse=\"true\">\xe3\x81\x82</text>"
      "<marquee uwait=\"20\" rwait=\"100\" repeat=\"3\" format=\"place\" "
      "lang=\"en\">m&amp;n</marquee>"
      "<blink interval=\"500\"/>"
      "<brightness value=\"100\"/>"
      "<clock/>";
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  auto jobs = Jobs(1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0], DisplayJob(SequenceOf(jobs[0]), body));
  ASSERT_TRUE(Eventually([&] { return events_.Results().size() == 1; }, 10s));
  EXPECT_EQ(events_.Results()[0], TDC_CB_SUCCESS);
  // The document was emptied after the send; the list stays for the next one.
  EXPECT_EQ(std::string(TdevBufferView(TdevGetDocument(record->handle)->body)), "");

  // The service refuses the window: its code reaches the callback translated.
  ReplyOverride invalidWindow;
  invalidWindow.success = false;
  invalidWindow.code = "TDSP_INVALID_WINDOW";
  e.overrideNextReply("display", invalidWindow);
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  jobs = Jobs(2);
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[1], DisplayJob(SequenceOf(jobs[0]) + 1, body)) << "the same list, sent again";
  ASSERT_TRUE(Eventually([&] { return events_.Results().size() == 2; }, 10s));
  EXPECT_EQ(events_.Results()[1], 11) << "an invalid window";

  // A list the client takes nothing of sends nothing and answers at once.
  ASSERT_EQ(TdcClearLineDisplayCommands(list), 0);
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, record), TDC_ERR_ILLEGAL);
  EXPECT_EQ(e.received("display").size(), 2u);

  // The status is the host's link.
  int32_t* online = TdcGetLineDisplayStatus(nullptr, record);
  ASSERT_NE(online, nullptr);
  EXPECT_EQ(*online, 1);
  std::free(online);

  ASSERT_EQ(TdcDisconnectLineDisplay(nullptr, record), 0);
  EXPECT_EQ(events_.Connection(), std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(record->handle, nullptr);
  EXPECT_EQ(e.received("close_device").size(), 1u);
  EXPECT_TRUE(e.waitForConnected(0, 10s)) << "the host's link went with its last device";
  online = TdcGetLineDisplayStatus(nullptr, record);
  ASSERT_NE(online, nullptr);
  EXPECT_EQ(*online, 0);
  std::free(online);
  EXPECT_EQ(TdcDisconnectLineDisplay(nullptr, record), TDC_ERR_ILLEGAL);
  EXPECT_EQ(events_.Results().size(), 2u) << "no result without a job";
}

TEST_F(DisplayThroughLayer, AHostThatDropsReachesTheRecordAsReconnectingThenDisconnected) {
  TdevSetReconnectLimit(1500);
  TdcLineDisplay_t* record = Connected(1311);
  ASSERT_NE(record, nullptr);
  auto& e = *emulator_;
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, TDC_DSP_SHOW_CLOCK), 0);

  // The service goes and stays away: the client gives the host up.
  ASSERT_TRUE(e.setRefusing(Transport::Plain, true));
  ASSERT_TRUE(e.resetClient(0));
  ASSERT_TRUE(Eventually([&] { return events_.Connection().size() == 2; }, 20s));
  EXPECT_EQ(events_.Connection(),
            (std::vector<int32_t>{TDC_EVENT_RECONNECTING, TDC_EVENT_DISCONNECTED}));
  EXPECT_EQ(record->mode, TDC_MODE_CLOSED);
  EXPECT_EQ(record->handle, nullptr);

  // The record is closed, not broken: nothing goes out, and it connects again.
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, record), TDC_ERR_ILLEGAL);
  int32_t* online = TdcGetLineDisplayStatus(nullptr, record);
  ASSERT_NE(online, nullptr);
  EXPECT_EQ(*online, 0);
  std::free(online);
  EXPECT_TRUE(e.received("display").empty());

  ASSERT_TRUE(e.setRefusing(Transport::Plain, false));
  const std::string target = "TCP:" + host_ + "[" + kDisplayId + "]";
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, record, target.c_str(), 10000), 0);
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  const auto jobs = Jobs(1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0], DisplayJob(SequenceOf(jobs[0]), "<clock/>"));
  ASSERT_TRUE(Eventually([&] { return events_.Results().size() == 1; }, 10s));
  EXPECT_EQ(events_.Results()[0], TDC_CB_SUCCESS);
  ASSERT_EQ(TdcDisconnectLineDisplay(nullptr, record), 0);
}

TEST_F(DisplayThroughLayer, ASendWhileTheHostReconnectsFailsAndLeavesNothingForTheNextJob) {
  TdcLineDisplay_t* record = Connected(1313);
  ASSERT_NE(record, nullptr);
  auto& e = *emulator_;
  ASSERT_EQ(TdcAddLineDisplayCommand(&record->commands, TDC_DSP_SHOW_CLOCK), 0);
  TdevConnection_t* connection = record->connection;
  std::shared_ptr<TdevChannelHolder_t> lost;  // keeps the old channel's address unique
  TdevChannel_t* old = TdevConnectionChannel(connection, &lost);
  ASSERT_NE(old, nullptr);

  // The link goes and the new one hangs: the record hears the host reconnecting.
  ASSERT_TRUE(e.setBacklogFull(Transport::Plain, true));
  ASSERT_TRUE(e.resetClient(0));
  ASSERT_TRUE(Eventually([&] { return events_.Connection().size() == 1; }, 10s));
  EXPECT_EQ(events_.Connection()[0], TDC_EVENT_RECONNECTING);
  ASSERT_TRUE(Eventually(
      [&] {
        std::shared_ptr<TdevChannelHolder_t> keep;
        TdevChannel_t* now = TdevConnectionChannel(connection, &keep);
        return now != nullptr && now != old;
      },
      10s));
  lost.reset();
  EXPECT_EQ(TdcSendLineDisplayData(nullptr, record), TDC_ERR_CONNECT);
  EXPECT_EQ(record->mode, TDC_MODE_SERVICE) << "still connected, waiting for the host";

  // The host comes back: the next job carries the list once, not twice.
  ASSERT_TRUE(e.setBacklogFull(Transport::Plain, false));
  ASSERT_TRUE(Eventually([&] { return events_.Connection().size() == 2; }, 30s));
  EXPECT_EQ(events_.Connection()[1], TDC_EVENT_RECONNECTED);
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, record), 0);
  const auto jobs = Jobs(1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0], DisplayJob(SequenceOf(jobs[0]), "<clock/>"));
  ASSERT_TRUE(Eventually([&] { return events_.Results().size() == 1; }, 10s));
  EXPECT_EQ(events_.Results()[0], TDC_CB_SUCCESS);
  ASSERT_EQ(TdcDisconnectLineDisplay(nullptr, record), 0);
}

TEST_F(DisplayThroughLayer, AFailedOpenLeavesTheRecordClosedAndTheSharedLinkToItsUser) {
  TdcLineDisplay_t* first = Connected(1312);
  ASSERT_NE(first, nullptr);
  auto& e = *emulator_;
  e.setDevice("drawer_printer", Device{});
  // A second record of the same app, on the same host.
  DisplayEvents secondEvents;
  auto* second = static_cast<TdcLineDisplay_t*>(std::calloc(1, sizeof(TdcLineDisplay_t)));
  ASSERT_NE(second, nullptr);
  second->mode = TDC_MODE_NEVER_CONNECTED;
  second->onReceive = &OnDisplayResult;
  second->onReceiveUser = &secondEvents;
  second->onConnection = &OnDisplayConnection;
  second->onConnectionUser = &secondEvents;
  TdcRegisterLineDisplay(nullptr, second);
  struct Case {
    const char* deviceId;
    int expected;
  } cases[] = {
      {"no_such_display", TDC_ERR_NOT_FOUND},
      {"drawer_printer", TDC_ERR_TYPE_INVALID},  // a printer is no display
      {kDisplayId, TDC_ERR_IN_USE},              // the first record holds it
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.deviceId);
    const std::string target = "TCP:" + host_ + "[" + k.deviceId + "]";
    EXPECT_EQ(TdcConnectLineDisplay(nullptr, second, target.c_str(), 10000), k.expected);
    EXPECT_EQ(second->mode, TDC_MODE_CLOSED);
    EXPECT_EQ(second->handle, nullptr);
    EXPECT_EQ(second->ops, nullptr);
  }
  EXPECT_TRUE(secondEvents.Connection().empty());

  // The failures left the link the first record uses alone.
  EXPECT_EQ(e.accepted(), 1);
  EXPECT_EQ(e.connectedClients(), 1);
  ASSERT_EQ(TdcAddLineDisplayCommand(&first->commands, TDC_DSP_SHOW_CLOCK), 0);
  ASSERT_EQ(TdcSendLineDisplayData(nullptr, first), 0);
  const auto jobs = Jobs(1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0], DisplayJob(SequenceOf(jobs[0]), "<clock/>"));
  ASSERT_TRUE(Eventually([&] { return events_.Results().size() == 1; }, 10s));
  EXPECT_TRUE(secondEvents.Results().empty());

  // Once the first lets go, the second gets the display.
  ASSERT_EQ(TdcDisconnectLineDisplay(nullptr, first), 0);
  const std::string target = "TCP:" + host_ + "[" + kDisplayId + "]";
  ASSERT_EQ(TdcConnectLineDisplay(nullptr, second, target.c_str(), 10000), 0);
  ASSERT_EQ(TdcDisconnectLineDisplay(nullptr, second), 0);
  EXPECT_EQ(secondEvents.Connection(), std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  EXPECT_EQ(TdcDestroyLineDisplay(second), 0);
}

// ---- Hybrid printer -----------------------------------------------------------------------

constexpr const char* kHybridId = "h1";
constexpr uint32_t kNoPaper = 0x0A000000;  // nothing inserted
constexpr uint32_t kSlipIn = 0x08000000;   // slip paper in place
constexpr uint32_t kCoverOpen = 0x20;
constexpr uint32_t kNoResponse = 0x1;
constexpr uint32_t kWaitingInsertion = 0x10000;
constexpr uint32_t kWaitingRemoval = 0x40000;

struct HybridResult {
  int32_t method;
  int32_t code;
  std::string data;
  int32_t connection;
  int32_t online;
};

struct HybridEvents {
  std::mutex mutex;
  std::vector<HybridResult> results;
  std::vector<int32_t> status;
  std::vector<int32_t> connection;
  std::vector<HybridResult> Results() {
    std::lock_guard lock(mutex);
    return results;
  }
  std::vector<int32_t> Status() {
    std::lock_guard lock(mutex);
    return status;
  }
  std::vector<int32_t> Connection() {
    std::lock_guard lock(mutex);
    return connection;
  }
};

void OnHybridResult(void*, int32_t method, int32_t code, const char* data, TdcStatus_t* status,
                    void* user) {
  auto* events = static_cast<HybridEvents*>(user);
  std::lock_guard lock(events->mutex);
  events->results.push_back({method, code, data != nullptr ? data : "(null)",
                             status != nullptr ? status->connection : -9,
                             status != nullptr ? status->online : -9});
}

void OnHybridStatus(void*, int32_t event, void* user) {
  auto* events = static_cast<HybridEvents*>(user);
  std::lock_guard lock(events->mutex);
  events->status.push_back(event);
}

void OnHybridConnection(void*, int32_t event, void* user) {
  auto* events = static_cast<HybridEvents*>(user);
  std::lock_guard lock(events->mutex);
  events->connection.push_back(event);
}

std::string HybridRequest(int sequence, const std::string& type, const std::string& fields) {
  return withNul("<device_data><sequence>" + std::to_string(sequence) + "</sequence><device_id>" +
                 kHybridId + "</device_id><data><type>" + type + "</type>" + fields +
                 "</data></device_data>");
}

class HybridThroughLayer : public HostTest {
 protected:
  void TearDown() override {
    if (record_ != nullptr) {
      if (record_->handle != nullptr) TdcDisconnectHybridPrinter(nullptr, record_);
      EXPECT_EQ(TdcDestroyHybridPrinter(record_), 0);
    }
    if (!host_.empty()) TdevSetHttpPorts(host(), 0, 0);
    HostTest::TearDown();
  }

  // The emulator on address n offers the hybrid printer with every unit; the
  // record is registered with its three callbacks, not yet connected.
  TdcPrinter_t* NewRecord(int n) {
    auto& e = service(n);
    e.setDevice(kHybridId, Device{"type_hybrid_printer", kNoPaper, 0, ""});
    e.setUnits(true, true, true);
    TdevSetHttpPorts(host(), e.httpPort(), e.httpsPort());
    if (TdcCreateHybridPrinter(0, &record_) != 0) return nullptr;
    TdcRegisterHybridPrinter(record_);
    record_->hybridReceiveCallback = &OnHybridResult;
    record_->hybridReceiveUser = &events_;
    record_->hybridStatusCallback = &OnHybridStatus;
    record_->hybridStatusUser = &events_;
    record_->hybridConnectionCallback = &OnHybridConnection;
    record_->hybridConnectionUser = &events_;
    return record_;
  }
  int Connect() {
    const std::string target = "TCP:" + host_ + "[" + kHybridId + "]";
    return TdcConnectHybridPrinter(nullptr, record_, target.c_str(), 10000);
  }
  void SetStatus(uint32_t status) {
    emulator_->setDevice(kHybridId, Device{"type_hybrid_printer", status, 0, ""});
  }
  // The device requests the service received, once at least count arrived.
  std::vector<std::string> Requests(size_t count) {
    EXPECT_TRUE(emulator_->waitFor(
        [&](const std::vector<service_emulator::Message>& messages) {
          size_t n = 0;
          for (const auto& m : messages) n += !m.fromService && m.root == "device_data";
          return n >= count;
        },
        10s));
    std::vector<std::string> out;
    for (const auto& m : emulator_->messages())
      if (!m.fromService && m.root == "device_data") out.push_back(m.raw);
    return out;
  }
  bool WaitForResults(size_t count) {
    return Eventually([&] { return events_.Results().size() >= count; }, 10s);
  }
  // Slip selected and a slip sheet in: the wait's answer carries it, the
  // service's status shows it from then on.
  void InsertSlip(TdcPrinter_t* record) {
    ASSERT_EQ(TdcSelectPaperType(nullptr, record, TDC_PAPER_SLIP), 0);
    ReplyOverride inserted;
    inserted.status = kSlipIn;
    emulator_->overrideNextReply("slipwaitinsertion", inserted);
    ASSERT_EQ(TdcWaitInsertion(nullptr, record, -2, -2), 0);
    ASSERT_TRUE(WaitForResults(1));
    ASSERT_EQ(events_.Results()[0].code, TDC_CB_SUCCESS);
    ASSERT_EQ(TdcGetInsertedPaper(record), TDC_PAPER_SLIP);
    SetStatus(kSlipIn);
  }

  TdcPrinter_t* record_ = nullptr;
  HybridEvents events_;
};

TEST_F(HybridThroughLayer, ASlipFromSelectionToEjectThroughTheService) {
  TdcPrinter_t* record = NewRecord(1320);
  ASSERT_NE(record, nullptr);
  auto& e = *emulator_;

  // Connect: the units come over HTTP, the printer opens and its buffer is cleared.
  ASSERT_EQ(Connect(), 0);
  EXPECT_EQ(record->mode, TDC_MODE_SERVICE);
  EXPECT_EQ(TdcGetPaperSupport(record),
            kTdcSupportEndorse | kTdcSupportValidation | kTdcSupportMicr);
  bool askedUnits = false;
  for (const auto& r : e.httpRequests())
    askedUnits = askedUnits || r.path == "/orvik_tilodevice/getSystemVersion.cgi";
  EXPECT_TRUE(askedUnits);
  EXPECT_EQ(e.openDevices(e.clientId(e.newestClient())), std::vector<std::string>{kHybridId});
  auto requests = Requests(1);
  ASSERT_EQ(requests.size(), 1u);
  int sequence = SequenceOf(requests[0]);
  EXPECT_EQ(requests[0], HybridRequest(sequence, "clearbuffer", "<timeout>500</timeout>"));
  EXPECT_TRUE(events_.Results().empty()) << "the clear's answer is the connect's own";
  // Every slot of the hybrid printer was filled by the device layer.
  for (int32_t slot = 0; slot < TDEV_HYBRID_SLOTS; ++slot) {
    EXPECT_NE(TdevGetHybridPrinterCallback(static_cast<TdevPrinterHandle_t*>(record->handle), slot),
              nullptr)
        << slot;
  }

  // Slip paper, then the wait for it, which the service answers with its
  // event once the sheet is in.
  ASSERT_EQ(TdcSelectPaperType(nullptr, record, TDC_PAPER_SLIP), 0);
  EXPECT_EQ(TdcGetPaperType(record), TDC_PAPER_SLIP);
  ReplyOverride held;
  held.drop = true;
  e.overrideNextReply("slipwaitinsertion", held);
  ASSERT_EQ(TdcWaitInsertion(nullptr, record, 100, 30000), 0);
  requests = Requests(2);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1], HybridRequest(++sequence, "slipwaitinsertion",
                                       "<timeout>30000</timeout><waittime>100</waittime>"));
  SetStatus(kSlipIn);
  ASSERT_GT(
      e.sendDeviceEvent(0, kHybridId, "onreceive",
                        "<eventtype>slipwaitinsertion</eventtype><success>true</success>"
                        "<code>OK</code><status>134217728</status><data><data></data></data>"),
      0);
  ASSERT_TRUE(WaitForResults(1));
  EXPECT_EQ(events_.Results()[0].method, TDC_METHOD_WAIT_INSERTION);
  EXPECT_EQ(events_.Results()[0].code, TDC_CB_SUCCESS);
  EXPECT_EQ(events_.Results()[0].connection, 1);
  EXPECT_EQ(TdcGetInsertedPaper(record), TDC_PAPER_SLIP);

  // The slip job: the inserted paper is the selected one, so no switch first.
  ASSERT_EQ(TdcAddText(record, "Pay <1>\n"), 0);
  ASSERT_EQ(TdcSendHybridPrinterData(nullptr, record, 0, 20000), 0);
  requests = Requests(3);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2],
            HybridRequest(++sequence, "slipprint2",
                          std::string("<printdata><tilo-print xmlns=\"") + TDEV_PRINT_NAMESPACE +
                              "\" force=\"false\"><text>Pay &lt;1&gt;&#xA;</text></tilo-print>"
                              "</printdata><timeout>20000</timeout>"));
  ASSERT_TRUE(WaitForResults(2));
  EXPECT_EQ(events_.Results()[1].method, TDC_METHOD_SEND_DATA);
  EXPECT_EQ(events_.Results()[1].code, TDC_CB_SUCCESS);

  // Eject: the paper state starts over.
  ASSERT_EQ(TdcEjectPaper(nullptr, record), 0);
  requests = Requests(4);
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[3], HybridRequest(++sequence, "eject", ""));
  ASSERT_TRUE(WaitForResults(3));
  EXPECT_EQ(events_.Results()[2].method, TDC_METHOD_EJECT_PAPER);
  EXPECT_EQ(events_.Results()[2].code, TDC_CB_SUCCESS);
  EXPECT_EQ(TdcGetInsertedPaper(record), TDC_PAPER_RECEIPT);
  SetStatus(kNoPaper);

  // A cheque through the MICR reader brings its text; the read sheet is then
  // held until the next eject takes it out.
  ASSERT_EQ(TdcReadMicrData(nullptr, record, 1, 0, 9000), 0);
  requests = Requests(5);
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(requests[4], HybridRequest(++sequence, "micrread",
                                       "<ignoreerror>true</ignoreerror><font>MICR_CMC7</font>"
                                       "<timeout>9000</timeout><waittime>0</waittime>"));
  ASSERT_TRUE(WaitForResults(4));
  EXPECT_EQ(events_.Results()[3].method, TDC_METHOD_READ_MICR);
  EXPECT_EQ(events_.Results()[3].code, TDC_CB_SUCCESS);
  EXPECT_EQ(events_.Results()[3].data, "T123456789T 0123456789O");
  EXPECT_EQ(TdcGetInsertionMode(record), TDC_INSERTION_MICR_HELD);
  ASSERT_EQ(TdcEjectPaper(nullptr, record), 0);
  requests = Requests(6);
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[5], HybridRequest(++sequence, "eject", ""));
  ASSERT_TRUE(WaitForResults(5));
  EXPECT_EQ(events_.Results()[4].method, TDC_METHOD_EJECT_PAPER);
  EXPECT_EQ(events_.Results()[4].code, TDC_CB_SUCCESS);
  EXPECT_EQ(TdcGetInsertionMode(record), TDC_INSERTION_NONE);

  // A failure of the service reaches the callback translated.
  ReplyOverride jam;
  jam.success = false;
  jam.code = "TMICR_PAPER_JAM";
  e.overrideNextReply("micrcleaning", jam);
  ASSERT_EQ(TdcCleanMicrReader(nullptr, record, -2, -2), 0);
  ASSERT_TRUE(WaitForResults(6));
  EXPECT_EQ(events_.Results()[5].method, TDC_METHOD_CLEAN_MICR);
  EXPECT_EQ(events_.Results()[5].code, 25) << "a paper jam";
  EXPECT_EQ(TdcGetInsertionMode(record), TDC_INSERTION_NONE);

  // The status over HTTP.
  e.queueStatus(kHybridId, StatusAnswer{kNoPaper, "", true, 0, false});
  TdcStatus_t* status = TdcGetHybridPrinterStatus(nullptr, record);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->connection, 1);
  EXPECT_EQ(status->online, 1);
  std::free(status);

  ASSERT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
  EXPECT_EQ(events_.Connection(), std::vector<int32_t>{TDC_EVENT_DISCONNECTED});
  EXPECT_EQ(record->handle, nullptr);
  EXPECT_EQ(e.received("close_device").size(), 1u);
  EXPECT_TRUE(e.waitForConnected(0, 10s));
  EXPECT_EQ(TdcGetPaperSupport(record), kTdcNone) << "the units are asked again next time";
}

TEST_F(HybridThroughLayer, TheBufferClearsAnswerDecidesTheConnect) {
  TdcPrinter_t* record = NewRecord(1323);
  ASSERT_NE(record, nullptr);
  auto& e = *emulator_;
  struct Case {
    const char* code;  // the service's refusal; null for its own answer
    int expected;
  } cases[] = {
      {nullptr, TDC_SUCCESS},
      // A printer still busy with an earlier job is connected all the same.
      {"ERROR_DEVICE_BUSY", TDC_SUCCESS},
      {"ERROR_COVER_OPEN", TDC_ERR_CONNECT},
  };
  size_t closes = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.code != nullptr ? k.code : "OK");
    if (k.code != nullptr) {
      ReplyOverride refusal;
      refusal.success = false;
      refusal.code = k.code;
      e.overrideNextReply("clearbuffer", refusal);
    }
    ASSERT_EQ(Connect(), k.expected);
    if (k.expected == TDC_SUCCESS) {
      EXPECT_EQ(record->mode, TDC_MODE_SERVICE);
      ASSERT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
    } else {
      // The failed connect closed what it had opened and left no paper units.
      EXPECT_EQ(record->handle, nullptr);
      EXPECT_EQ(TdcGetPaperSupport(record), kTdcNone);
    }
    EXPECT_EQ(e.received("close_device").size(), ++closes);
    EXPECT_TRUE(e.waitForConnected(0, 10s));
  }
  EXPECT_EQ(e.received("clearbuffer").size(), std::size(cases));
  EXPECT_TRUE(events_.Results().empty());
}

TEST_F(HybridThroughLayer, ACancelEndsTheOperationThatWaitsForPaper) {
  TdcPrinter_t* record = NewRecord(1324);
  ASSERT_NE(record, nullptr);
  auto& e = *emulator_;
  ASSERT_EQ(Connect(), 0);
  struct Case {
    const char* name;
    int32_t paper;
    std::function<int()> start;
    const char* waiting;  // the request that waits for the sheet
    int32_t method;       // the waiting operation's
    const char* cancel;   // the request the cancel sends
  } cases[] = {
      {"validation insertion", TDC_PAPER_VALIDATION,
       [&] { return TdcWaitInsertion(nullptr, record, -2, -2); }, "validationwaitinsertion",
       TDC_METHOD_WAIT_INSERTION, "validationcancel"},
      {"MICR read", TDC_PAPER_RECEIPT, [&] { return TdcReadMicrData(nullptr, record, 0, -2, -2); },
       "micrread", TDC_METHOD_READ_MICR, "micrcancel"},
  };
  size_t seen = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    SetStatus(kNoPaper);
    ASSERT_EQ(TdcSelectPaperType(nullptr, record, k.paper), 0);
    // The service holds the request until the sheet comes or the cancel.
    ReplyOverride held;
    held.drop = true;
    e.overrideNextReply(k.waiting, held);
    ASSERT_EQ(k.start(), 0);
    ASSERT_TRUE(e.waitForReceived(k.waiting, 1, 10s));
    SetStatus(kNoPaper | kWaitingInsertion);

    ASSERT_EQ(TdcCancelInsertion(nullptr, record), 0);
    ASSERT_TRUE(e.waitForReceived(k.cancel, 1, 10s));
    ASSERT_TRUE(WaitForResults(seen + 1));
    EXPECT_EQ(events_.Results()[seen].method, TDC_METHOD_CANCEL_INSERTION);
    EXPECT_EQ(events_.Results()[seen].code, TDC_CB_SUCCESS);
    // Then the service ends the waiting request as cancelled.
    SetStatus(kNoPaper);
    ASSERT_GT(e.sendDeviceEvent(0, kHybridId, "onreceive",
                                std::string("<eventtype>") + k.waiting +
                                    "</eventtype><success>false</success><code>CANCEL</code>"
                                    "<status>167772160</status><data><data></data></data>"),
              0);
    ASSERT_TRUE(WaitForResults(seen + 2));
    EXPECT_EQ(events_.Results()[seen + 1].method, k.method);
    EXPECT_EQ(events_.Results()[seen + 1].code, 18) << "cancelled";
    EXPECT_EQ(TdcGetInsertionMode(record), TDC_INSERTION_NONE);
    EXPECT_EQ(TdcGetInsertedPaper(record), TDC_PAPER_RECEIPT);
    seen += 2;
    e.clearLog();
  }
  ASSERT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
}

TEST_F(HybridThroughLayer, StatusChangesTheServiceReportsReachTheStatusCallback) {
  TdcPrinter_t* record = NewRecord(1321);
  ASSERT_NE(record, nullptr);
  auto& e = *emulator_;
  ASSERT_EQ(Connect(), 0);
  ASSERT_EQ(TdcSetInterval(record, 1000), 0);
  ASSERT_EQ(TdcSelectPaperType(nullptr, record, TDC_PAPER_SLIP), 0);

  // A one-shot query answers its caller only: the monitor judges its first
  // answer against the word stored before it, nothing yet.
  e.queueStatus(kHybridId, StatusAnswer{kNoPaper, "", true, 0, false});
  TdcStatus_t* status = TdcGetHybridPrinterStatus(nullptr, record);
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->online, 1);
  std::free(status);

  // Each change of the word the monitor asks for comes as the record's
  // events: the slip sensor's bit the client adds, the cover opening and
  // closing, the wait for the selected slip and for its removal, then the
  // printer no longer answering.
  const uint32_t answers[] = {kNoPaper,
                              kNoPaper | kCoverOpen,
                              kNoPaper,
                              kNoPaper | kWaitingInsertion,
                              kNoPaper | kWaitingRemoval,
                              kNoPaper,
                              kNoResponse};
  for (uint32_t word : answers) e.queueStatus(kHybridId, StatusAnswer{word, "", true, 0, false});
  const std::vector<int32_t> expected = {TDC_HYBRID_EVENT_SLIP_PAPER_OK,
                                         4,  // cover open
                                         3,  // cover closed
                                         TDC_HYBRID_EVENT_INSERTION_WAIT_SLIP,
                                         TDC_HYBRID_EVENT_INSERTION_WAIT_NONE,
                                         TDC_HYBRID_EVENT_REMOVAL_WAIT_PAPER,
                                         TDC_HYBRID_EVENT_REMOVAL_WAIT_NONE,
                                         2};  // power off
  ASSERT_EQ(TdcStartMonitor(nullptr, record), 0);
  ASSERT_TRUE(Eventually([&] { return events_.Status().size() >= expected.size(); }, 30s));
  ASSERT_EQ(TdcStopMonitor(nullptr, record), 0);
  const auto events = events_.Status();
  ASSERT_GE(events.size(), expected.size());
  EXPECT_EQ(std::vector<int32_t>(events.begin(), events.begin() + expected.size()), expected);
  EXPECT_TRUE(events_.Results().empty());
  ASSERT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
}

TEST_F(HybridThroughLayer, TheOtherSideOfTheSlipIsSwitchedToBeforeItsJob) {
  TdcPrinter_t* record = NewRecord(1325);
  ASSERT_NE(record, nullptr);
  auto& e = *emulator_;
  ASSERT_EQ(Connect(), 0);
  InsertSlip(record);
  if (HasFatalFailure()) return;

  // The endorsement side: the send first waits, blocking, for the printer to
  // turn to it, then sends the job.
  ASSERT_EQ(TdcSelectPaperType(nullptr, record, TDC_PAPER_ENDORSE), 0);
  ASSERT_EQ(TdcAddText(record, "endorsed"), 0);
  const size_t before = Requests(2).size();
  ASSERT_EQ(TdcSendHybridPrinterData(nullptr, record, -2, 30000), 0);
  auto requests = Requests(before + 2);
  ASSERT_EQ(requests.size(), before + 2);
  int sequence = SequenceOf(requests[before]);
  EXPECT_EQ(requests[before], HybridRequest(sequence, "endorsewaitinsertion",
                                            "<timeout>30000</timeout><waittime>500</waittime>"));
  EXPECT_EQ(requests[before + 1],
            HybridRequest(sequence + 1, "endorseprint2",
                          std::string("<is40cplmode>true</is40cplmode><printdata><tilo-print "
                                      "xmlns=\"") +
                              TDEV_PRINT_NAMESPACE +
                              "\" force=\"false\"><text>endorsed</text></tilo-print>"
                              "</printdata><timeout>30000</timeout>"));
  // The switch's answer went to the send; the app hears the job only.
  ASSERT_TRUE(WaitForResults(2));
  EXPECT_EQ(events_.Results()[1].method, TDC_METHOD_SEND_DATA);
  EXPECT_EQ(events_.Results()[1].code, TDC_CB_SUCCESS);
  EXPECT_EQ(TdcGetInsertedPaper(record), TDC_PAPER_ENDORSE);

  // The side stays applied: the next endorsement job (the kept list plus one
  // more text) goes straight out.
  ASSERT_EQ(TdcAddText(record, "again"), 0);
  ASSERT_EQ(TdcSendHybridPrinterData(nullptr, record, 0, -2), 0);
  requests = Requests(before + 3);
  ASSERT_EQ(requests.size(), before + 3);
  EXPECT_EQ(
      requests[before + 2],
      HybridRequest(sequence + 2, "endorseprint2",
                    std::string("<is40cplmode>false</is40cplmode><printdata><tilo-print xmlns=\"") +
                        TDEV_PRINT_NAMESPACE +
                        "\" force=\"false\"><text>endorsed</text><text>again</text></tilo-print>"
                        "</printdata><timeout>15000</timeout>"));
  ASSERT_TRUE(WaitForResults(3));

  // Raw bytes on the same side: the ready printer takes them unforced.
  const uint8_t bytes[] = {0x1B, 0x40};
  ASSERT_EQ(TdcForceHybridPrinterCommand(nullptr, record, bytes, 2, 1, 20000), 0);
  requests = Requests(before + 4);
  ASSERT_EQ(requests.size(), before + 4);
  EXPECT_EQ(requests[before + 3],
            HybridRequest(sequence + 3, "endorseprint2",
                          std::string("<is40cplmode>true</is40cplmode><printdata><tilo-print "
                                      "xmlns=\"") +
                              TDEV_PRINT_NAMESPACE +
                              "\" force=\"false\"><command>1B40</command></tilo-print>"
                              "</printdata><timeout>20000</timeout>"));
  ASSERT_TRUE(WaitForResults(4));
  EXPECT_EQ(events_.Results()[3].method, TDC_METHOD_SEND_DATA);
  EXPECT_EQ(events_.Results()[3].code, TDC_CB_SUCCESS);

  // Back to the receipt: a plain print job, answered as a job result.
  SetStatus(kNoPaper);
  ASSERT_EQ(TdcSelectPaperType(nullptr, record, TDC_PAPER_RECEIPT), 0);
  ASSERT_EQ(TdcClearPrinterCommands(&record->commands.commandList), 0);
  ASSERT_EQ(TdcAddText(record, "receipt"), 0);
  ASSERT_EQ(TdcSendHybridPrinterData(nullptr, record, 0, 10000), 0);
  ASSERT_TRUE(e.waitForReceived("print", 1, 10s));
  const std::string print = receivedRaw(e, "print")[0];
  EXPECT_EQ(print, HybridRequest(SequenceOf(print), "print",
                                 std::string("<timeout>10000</timeout><printdata><tilo-print "
                                             "xmlns=\"") +
                                     TDEV_PRINT_NAMESPACE +
                                     "\" force=\"false\"><text>receipt</text></tilo-print>"
                                     "</printdata>"));
  ASSERT_TRUE(WaitForResults(5));
  EXPECT_EQ(events_.Results()[4].method, TDC_METHOD_SEND_DATA);
  EXPECT_EQ(events_.Results()[4].code, TDC_CB_SUCCESS);
  EXPECT_EQ(events_.Results()[4].data, "");
  EXPECT_EQ(events_.Results().size(), 5u);
  ASSERT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
}

TEST_F(HybridThroughLayer, ALostLinkEndsThePaperSwitchOfASendAndTheRecordHearsIt) {
  TdcPrinter_t* record = NewRecord(1322);
  ASSERT_NE(record, nullptr);
  auto& e = *emulator_;
  ASSERT_EQ(Connect(), 0);
  // A slip is in; the app then wants the endorsement side printed.
  InsertSlip(record);
  if (HasFatalFailure()) return;
  ASSERT_EQ(TdcSelectPaperType(nullptr, record, TDC_PAPER_ENDORSE), 0);
  ASSERT_EQ(TdcAddText(record, "endorsed"), 0);

  // The switch to the other side waits for the service's answer, which never
  // comes: the link goes instead, far before the reply bound.
  TdevSetReplyBounds(600000, 0);
  ReplyOverride silent;
  silent.drop = true;
  e.overrideNextReply("endorsewaitinsertion", silent);
  int sent = -1;
  std::thread sender([&] { sent = TdcSendHybridPrinterData(nullptr, record, 1, 30000); });
  ASSERT_TRUE(e.waitForReceived("endorsewaitinsertion", 1, 10s));
  ASSERT_TRUE(e.resetClient(0));
  sender.join();
  // The send itself went out; the app hears that the insertion failed.
  EXPECT_EQ(sent, 0);
  ASSERT_TRUE(WaitForResults(2));
  EXPECT_EQ(events_.Results()[1].method, TDC_METHOD_SEND_DATA);
  EXPECT_EQ(events_.Results()[1].code, 29);
  EXPECT_TRUE(e.received("endorseprint2").empty()) << "nothing printed on the wrong side";
  EXPECT_EQ(TdevPendingWaiters(), 0);

  // The host comes back and the record works on with the same handle.
  ASSERT_TRUE(Eventually([&] { return events_.Connection().size() == 2; }, 20s));
  EXPECT_EQ(events_.Connection(),
            (std::vector<int32_t>{TDC_EVENT_RECONNECTING, TDC_EVENT_RECONNECTED}));
  EXPECT_EQ(record->mode, TDC_MODE_SERVICE);
  ASSERT_EQ(TdcEjectPaper(nullptr, record), 0);
  ASSERT_TRUE(WaitForResults(3));
  EXPECT_EQ(events_.Results()[2].method, TDC_METHOD_EJECT_PAPER);
  EXPECT_EQ(events_.Results()[2].code, TDC_CB_SUCCESS);
  ASSERT_EQ(TdcDisconnectHybridPrinter(nullptr, record), 0);
  EXPECT_EQ(events_.Connection().back(), TDC_EVENT_DISCONNECTED);
}

}  // namespace
}  // namespace host_test
