// The hybrid printer's operations against the device-service emulator: the
// exact bytes of every request, argument refusals before the status is
// asked, status-based refusals reported through the result slot, the
// service's answers reaching that slot, raw commands, and the two blocking
// requests end to end (answered, never answered, a lost link, a destroyed
// connection).

#include "service/hybrid_ops.h"

#include <atomic>
#include <mutex>
#include <optional>

#include "device/service_notifiers.h"
#include "host_test_support.h"
#include "service/request_messages.h"

namespace host_test {
namespace {

using service_emulator::Device;
using service_emulator::HttpOverride;
using service_emulator::ReplyOverride;
using service_emulator::StatusAnswer;

// Addresses 1230-1269 belong to these tests.
constexpr const char* kId = "h1";

// Status words the service answers.
constexpr uint32_t kNoPaper = 0x0A000000;       // nothing inserted
constexpr uint32_t kSlipIn = 0x08000000;        // slip or endorsement paper in place
constexpr uint32_t kValidationIn = 0x02000000;  // validation paper in place
constexpr uint32_t kWaitingInsertion = 0x10000;
constexpr uint32_t kWaitingRemoval = 0x40000;
constexpr uint32_t kNoResponse = 0x1;
constexpr uint32_t kOffline = 0x8;

// The word as the client keeps it after a status request.
uint32_t Stored(uint32_t status) { return status | 0x10000000; }

// One call of slot 16.
struct Result {
  TdevPrinterHandle_t* handle;
  std::optional<std::string> host;
  std::optional<std::string> deviceId;
  int32_t success;
  int32_t code;
  uint32_t status;
  int32_t operation;
  std::optional<std::string> data;
};

Records<Result>& Results() {
  static Records<Result> results;
  return results;
}

std::optional<std::string> Text(const char* text) {
  return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

void RecordResult(TdevPrinterHandle_t* handle, const char* host, const char* deviceId,
                  int32_t success, int32_t code, uint32_t status, int32_t operation,
                  const char* data) {
  Results().add({handle, Text(host), Text(deviceId), success, code, status, operation, Text(data)});
}

// The client's own refusals carry no host (the service's answers always do).
std::vector<Result> Refusals() {
  std::vector<Result> out;
  for (const auto& r : Results().all())
    if (!r.host) out.push_back(r);
  return out;
}

std::string Head(int sequence, const std::string& type) {
  return "<device_data><sequence>" + std::to_string(sequence) + "</sequence><device_id>" + kId +
         "</device_id><data><type>" + type + "</type>";
}
const std::string kTail = "</data></device_data>";
std::string PrintData(bool force, const std::string& body) {
  return std::string("<printdata><tilo-print xmlns=\"") + TDEV_PRINT_NAMESPACE + "\" force=\"" +
         (force ? "true" : "false") + "\">" + body + "</tilo-print></printdata>";
}

class HybridServiceOps : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    Results().clear();
  }
  void TearDown() override {
    if (!host_.empty()) TdevSetHttpPorts(host(), 0, 0);
    HostTest::TearDown();
  }

  // The service on address n with the hybrid printer h1 answering status,
  // connected, h1 open and its slot 16 recording.
  TdevPrinterHandle_t* openHybrid(int n, uint32_t status = kNoPaper) {
    auto& e = service(n);
    setStatus(status);
    TdevSetHttpPorts(host(), e.httpPort(), e.httpsPort());
    connection_ = connect();
    if (connection_ == nullptr) return nullptr;
    return open(kId);
  }
  TdevPrinterHandle_t* open(const char* id) {
    void* handle = nullptr;
    if (TdevOpenDeviceSync(nullptr, connection_, id, TDEV_DEVICE_HYBRID_PRINTER, &handle) != 0)
      return nullptr;
    auto* printer = static_cast<TdevPrinterHandle_t*>(handle);
    TdevSetHybridPrinterCallback(printer, 16, reinterpret_cast<TdevAnyCallback>(&RecordResult));
    return printer;
  }
  void setStatus(uint32_t status, const char* id = kId) {
    emulator_->setDevice(id, Device{"type_hybrid_printer", status, 0, ""});
  }
  // Two hybrid printers of one host whose blocking requests the service
  // never answers: h1 for the buffer clear, h2 (selecting paper) for the
  // insertion wait. The reply bound lies far beyond the test: a 3 would
  // mean the link's end went unnoticed.
  void openSilentPair(int n, TdevPrinterHandle_t** h1, TdevPrinterHandle_t** h2) {
    *h1 = openHybrid(n, kNoPaper);
    ASSERT_NE(*h1, nullptr);
    setStatus(kNoPaper, "h2");
    *h2 = open("h2");
    ASSERT_NE(*h2, nullptr);
    TdevHybridSetSelectingPaper(*h2, 1);
    TdevSetReplyBounds(600000, 0);
    ReplyOverride silent;
    silent.drop = true;
    emulator_->overrideNextReply("clearbuffer", silent);
    emulator_->overrideNextReply("slipwaitinsertion", silent);
  }
  // Both requests of the pair reached the service.
  void awaitSilentPair() {
    ASSERT_TRUE(emulator_->waitForReceived("clearbuffer", 1, 10s));
    ASSERT_TRUE(emulator_->waitForReceived("slipwaitinsertion", 1, 10s));
  }
  // Raw device_data requests the service received, in order.
  std::vector<std::string> deviceRequests() const {
    std::vector<std::string> out;
    for (const auto& m : emulator_->messages())
      if (!m.fromService && m.root == "device_data") out.push_back(m.raw);
    return out;
  }
  bool waitForDeviceRequests(size_t count) const {
    return emulator_->waitFor(
        [&](const std::vector<service_emulator::Message>& messages) {
          size_t n = 0;
          for (const auto& m : messages) n += !m.fromService && m.root == "device_data";
          return n >= count;
        },
        10s);
  }

  TdevConnection_t* connection_ = nullptr;
};

TEST_F(HybridServiceOps, SettersInstallTheirFixedFunctions) {
  TdevPrinterHandle_t* h = openHybrid(1230);
  ASSERT_NE(h, nullptr);
  using Setter = int (*)(TdevPrinterHandle_t*);
  struct Row {
    Setter setter;
    TdevAnyCallback expected;
  } rows[] = {
      {TdevHybridSetOnlineCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventOnline)},
      {TdevHybridSetOfflineCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventOffline)},
      {TdevHybridSetPowerOffCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventPowerOff)},
      {TdevHybridSetCoverCloseCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventCoverClose)},
      {TdevHybridSetCoverOpenCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventCoverOpen)},
      {TdevHybridSetPaperOkCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventPaperOk)},
      {TdevHybridSetPaperNearEndCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventPaperNearEnd)},
      {TdevHybridSetPaperEmptyCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventPaperEmpty)},
      {TdevHybridSetDrawerHighCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventDrawerHigh)},
      {TdevHybridSetDrawerLowCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventDrawerLow)},
      {TdevHybridSetInsertionWaitCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventInsertionWait)},
      {TdevHybridSetInsertionWaitNoneCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventInsertionWaitNone)},
      {TdevHybridSetRemovalWaitPaperCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventRemovalWaitPaper)},
      {TdevHybridSetRemovalWaitNoneCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventRemovalWaitNone)},
      {TdevHybridSetSlipPaperOkCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventSlipPaperOk)},
      {TdevHybridSetSlipPaperEmptyCallback,
       reinterpret_cast<TdevAnyCallback>(&TdcHybridServiceEventSlipPaperEmpty)},
      {TdevHybridSetReceiveCallback, reinterpret_cast<TdevAnyCallback>(&TdcOnHybridServiceResult)},
      {TdevHybridSetWaitInsertionReply,
       reinterpret_cast<TdevAnyCallback>(&TdevOnWaitInsertionReply)},
      {TdevHybridSetClearBufferReply, reinterpret_cast<TdevAnyCallback>(&TdevOnClearBufferReply)},
  };
  static_assert(std::size(rows) == TDEV_HYBRID_SLOTS);
  for (int32_t slot = 0; slot < TDEV_HYBRID_SLOTS; ++slot) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(rows[slot].setter(h), 0);
    EXPECT_EQ(TdevGetHybridPrinterCallback(h, slot), rows[slot].expected);
    EXPECT_EQ(rows[slot].setter(nullptr), 1);
  }
  // The printer slots are left alone; a closed handle is missing.
  for (int32_t slot = 0; slot < TDEV_PRINTER_SLOTS; ++slot)
    EXPECT_EQ(TdevGetPrinterCallback(h, slot), nullptr) << slot;
  ASSERT_EQ(TdevCloseDeviceSync(nullptr, connection_, h), 0);
  for (const auto& row : rows) EXPECT_EQ(row.setter(h), 1);
}

TEST_F(HybridServiceOps, EachRequestCarriesItsBytes) {
  TdevPrinterHandle_t* h = openHybrid(1231);
  ASSERT_NE(h, nullptr);
  TdevDocument_t* doc = TdevGetDocument(h);
  ASSERT_NE(doc, nullptr);
  const std::string text = "<text>abc</text>";
  struct Case {
    const char* name;
    uint32_t status;
    bool selecting;  // a paper-type selection is under way
    bool document;   // the job needs a document body
    std::function<int()> call;
    std::function<std::string(int sequence)> bytes;
  } cases[] = {
      {"slip insertion with defaults", kNoPaper, false, false,
       [&] { return TdevHybridWaitInsertion(nullptr, h, 1, -2, -2, 0); },
       [](int s) {
         return Head(s, "slipwaitinsertion") + "<timeout>15000</timeout><waittime>500</waittime>" +
                kTail;
       }},
      {"validation insertion at the limits", kNoPaper, false, false,
       [&] { return TdevHybridWaitInsertion(nullptr, h, 3, 0, 600000, 0); },
       [](int s) {
         return Head(s, "validationwaitinsertion") +
                "<timeout>600000</timeout><waittime>0</waittime>" + kTail;
       }},
      {"endorsement insertion while selecting with paper in", kSlipIn, true, false,
       [&] { return TdevHybridWaitInsertion(nullptr, h, 2, 6400, 5000, 0); },
       [](int s) {
         return Head(s, "endorsewaitinsertion") +
                "<timeout>5000</timeout><waittime>6400</waittime>" + kTail;
       }},
      {"slip print without forty columns", kSlipIn, false, true,
       [&] { return TdevHybridSendData(nullptr, h, 1, -2, 1, 0, 0); },
       [&](int s) {
         return Head(s, "slipprint2") + PrintData(false, text) + "<timeout>15000</timeout>" + kTail;
       }},
      {"slip print with a removal pending", kSlipIn, false, true,
       [&] { return TdevHybridSendData(nullptr, h, 1, 5000, 0, 1, 0); },
       [&](int s) {
         return Head(s, "slipprint2") + PrintData(false, text) + "<timeout>5000</timeout>" + kTail;
       }},
      {"endorsement print forced, forty columns", kSlipIn, false, true,
       [&] { return TdevHybridSendData(nullptr, h, 2, 600000, 1, 0, 1); },
       [&](int s) {
         return Head(s, "endorseprint2") + "<is40cplmode>true</is40cplmode>" +
                PrintData(true, text) + "<timeout>600000</timeout>" + kTail;
       }},
      {"validation print", kValidationIn, false, true,
       [&] { return TdevHybridSendData(nullptr, h, 3, 20000, 0, 0, 0); },
       [&](int s) {
         return Head(s, "validationprint2") + PrintData(false, text) + "<timeout>20000</timeout>" +
                kTail;
       }},
      {"receipt print is a plain job", kNoPaper, false, true,
       [&] { return TdevHybridSendData(nullptr, h, 0, -2, 0, 0, 0); },
       [&](int s) {
         return Head(s, "print") + "<timeout>15000</timeout>" + PrintData(false, text) + kTail;
       }},
      {"cancel of an endorsement insertion", kWaitingInsertion | kNoPaper, false, false,
       [&] { return TdevHybridCancelInsertion(nullptr, h, 2); },
       [](int s) { return Head(s, "endorsecancel") + kTail; }},
      {"MICR cancel", kWaitingInsertion | kNoPaper, false, false,
       [&] { return TdevHybridCancelMicr(nullptr, h); },
       [](int s) { return Head(s, "micrcancel") + kTail; }},
      {"eject of inserted paper", kSlipIn, false, false,
       [&] { return TdevHybridEjectPaper(nullptr, h, 7, 0); },
       [](int s) { return Head(s, "eject") + kTail; }},
      {"eject with a removal pending", kNoPaper, false, false,
       [&] { return TdevHybridEjectPaper(nullptr, h, 0, 1); },
       [](int s) { return Head(s, "eject") + kTail; }},
      {"MICR read CMC7 with defaults", kNoPaper, false, false,
       [&] { return TdevHybridReadMicrData(nullptr, h, 1, -2, -2, 0); },
       [](int s) {
         return Head(s, "micrread") +
                "<ignoreerror>true</ignoreerror><font>MICR_CMC7</font><timeout>15000</timeout>"
                "<waittime>500</waittime>" +
                kTail;
       }},
      {"MICR read E13B", kNoPaper, false, false,
       [&] { return TdevHybridReadMicrData(nullptr, h, 0, 100, 9000, 0); },
       [](int s) {
         return Head(s, "micrread") +
                "<ignoreerror>true</ignoreerror><font>MICR_E13B</font><timeout>9000</timeout>"
                "<waittime>100</waittime>" +
                kTail;
       }},
      {"MICR cleaning", kNoPaper, false, false,
       [&] { return TdevHybridCleanMicrReader(nullptr, h, 100, 20000, 0); },
       [](int s) {
         return Head(s, "micrcleaning") + "<timeout>20000</timeout><waittime>100</waittime>" +
                kTail;
       }},
      {"buffer clear, without asking the status", kNoResponse, false, false,
       [&] { return TdevHybridClearBuffer(nullptr, h); },
       [](int s) { return Head(s, "clearbuffer") + "<timeout>500</timeout>" + kTail; }},
  };
  std::vector<std::string> expected;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    setStatus(k.status);
    TdevHybridSetSelectingPaper(h, k.selecting ? 1 : 0);
    if (k.document) {
      ASSERT_EQ(TdevXmlText(doc, "abc"), 0);
    }
    EXPECT_EQ(k.call(), 0);
    TdevHybridSetSelectingPaper(h, 0);
    TdevDocClearBody(doc);
    // One sequence number per request sent, counted from 1 on the host.
    expected.push_back(withNul(k.bytes(static_cast<int>(expected.size()) + 1)));
    EXPECT_TRUE(Refusals().empty());
  }
  ASSERT_TRUE(waitForDeviceRequests(expected.size()));
  const auto sent = deviceRequests();
  ASSERT_EQ(sent.size(), expected.size());
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i], expected[i]) << cases[i].name;
}

TEST_F(HybridServiceOps, ArgumentsAreRefusedBeforeTheStatusIsAsked) {
  TdevPrinterHandle_t* h = openHybrid(1232);
  ASSERT_NE(h, nullptr);
  void* plain = nullptr;
  emulator_->setDevice("p1", Device{"type_printer", 0, 0, ""});
  ASSERT_EQ(TdevOpenDeviceSync(nullptr, connection_, "p1", TDEV_DEVICE_PRINTER, &plain), 0);
  auto* printer = static_cast<TdevPrinterHandle_t*>(plain);
  const uint8_t bytes[] = {0x1B, 0x40};
  struct Case {
    const char* name;
    std::function<int()> call;
  } cases[] = {
      {"wait: no handle", [&] { return TdevHybridWaitInsertion(nullptr, nullptr, 1, -2, -2, 0); }},
      {"wait: a plain printer",
       [&] { return TdevHybridWaitInsertion(nullptr, printer, 1, -2, -2, 0); }},
      {"wait: paper 4", [&] { return TdevHybridWaitInsertion(nullptr, h, 4, -2, -2, 0); }},
      {"wait: paper -2 has no default",
       [&] { return TdevHybridWaitInsertion(nullptr, h, -2, -2, -2, 0); }},
      {"wait: wait time -1", [&] { return TdevHybridWaitInsertion(nullptr, h, 1, -1, -2, 0); }},
      {"wait: wait time 6401", [&] { return TdevHybridWaitInsertion(nullptr, h, 1, 6401, -2, 0); }},
      {"wait: timeout 4999", [&] { return TdevHybridWaitInsertion(nullptr, h, 1, -2, 4999, 0); }},
      {"wait: timeout 600001",
       [&] { return TdevHybridWaitInsertion(nullptr, h, 1, -2, 600001, 0); }},
      {"print: no handle", [&] { return TdevHybridSendData(nullptr, nullptr, 1, -2, 0, 0, 0); }},
      {"print: paper -1", [&] { return TdevHybridSendData(nullptr, h, -1, -2, 0, 0, 0); }},
      {"print: timeout 0", [&] { return TdevHybridSendData(nullptr, h, 1, 0, 0, 0, 0); }},
      {"print: forty columns 2", [&] { return TdevHybridSendData(nullptr, h, 2, -2, 2, 0, 0); }},
      {"print: force -1", [&] { return TdevHybridSendData(nullptr, h, 1, -2, 0, 0, -1); }},
      {"cancel: paper 4", [&] { return TdevHybridCancelInsertion(nullptr, h, 4); }},
      {"cancel: no handle", [&] { return TdevHybridCancelInsertion(nullptr, nullptr, 1); }},
      {"MICR cancel: no handle", [&] { return TdevHybridCancelMicr(nullptr, nullptr); }},
      {"eject: a plain printer", [&] { return TdevHybridEjectPaper(nullptr, printer, 0, 1); }},
      {"MICR read: font 2", [&] { return TdevHybridReadMicrData(nullptr, h, 2, -2, -2, 0); }},
      {"MICR read: font -2 has no default",
       [&] { return TdevHybridReadMicrData(nullptr, h, -2, -2, -2, 0); }},
      {"MICR read: wait time 6401",
       [&] { return TdevHybridReadMicrData(nullptr, h, 0, 6401, -2, 0); }},
      {"MICR read: timeout 4999",
       [&] { return TdevHybridReadMicrData(nullptr, h, 0, -2, 4999, 0); }},
      {"cleaning: wait time -3", [&] { return TdevHybridCleanMicrReader(nullptr, h, -3, -2, 0); }},
      {"cleaning: timeout 700000",
       [&] { return TdevHybridCleanMicrReader(nullptr, h, -2, 700000, 0); }},
      {"raw: no bytes",
       [&] { return TdevHybridForceCommand(nullptr, h, nullptr, 2, 1, 0, 0, -2); }},
      {"raw: no handle",
       [&] { return TdevHybridForceCommand(nullptr, nullptr, bytes, 2, 1, 0, 0, -2); }},
      {"raw: timeout -1",
       [&] { return TdevHybridForceCommand(nullptr, h, bytes, 2, 1, 0, 0, -1); }},
      {"raw: timeout 600001",
       [&] { return TdevHybridForceCommand(nullptr, h, bytes, 2, 1, 0, 0, 600001); }},
      {"raw: no bytes counted",
       [&] { return TdevHybridForceCommand(nullptr, h, bytes, 0, 1, 0, 0, -2); }},
      {"buffer clear: no handle", [&] { return TdevHybridClearBuffer(nullptr, nullptr); }},
      {"blocking clear: no handle", [&] { return TdevHybridClearBufferSync(nullptr, nullptr); }},
      {"blocking clear: a plain printer",
       [&] { return TdevHybridClearBufferSync(nullptr, printer); }},
      {"blocking wait: no handle",
       [&] { return TdevHybridWaitInsertionSync(nullptr, nullptr, 1, 0, -2); }},
      {"blocking wait: paper 9", [&] { return TdevHybridWaitInsertionSync(nullptr, h, 9, 0, -2); }},
  };
  for (const auto& k : cases) EXPECT_EQ(k.call(), 1) << k.name;
  EXPECT_TRUE(emulator_->httpRequests().empty()) << "no status was asked";
  EXPECT_TRUE(deviceRequests().empty());
  EXPECT_TRUE(Results().all().empty());
  EXPECT_EQ(TdevGetDocument(h)->body->length, 0) << "nothing was left in the document";
}

TEST_F(HybridServiceOps, StatusRefusalsAreReportedThroughTheResultSlot) {
  TdevPrinterHandle_t* h = openHybrid(1233);
  ASSERT_NE(h, nullptr);
  struct Case {
    const char* name;
    uint32_t status;
    bool selecting;
    std::function<int()> call;
    int32_t code;
    int32_t operation;
  } cases[] = {
      {"wait on receipt paper", kNoPaper, false,
       [&] { return TdevHybridWaitInsertion(nullptr, h, 0, -2, -2, 0); }, 42, 0},
      {"wait while an insertion is awaited", kWaitingInsertion | kNoPaper, false,
       [&] { return TdevHybridWaitInsertion(nullptr, h, 1, -2, -2, 0); }, 43, 0},
      {"wait: the awaited insertion is tested before the removal",
       kWaitingInsertion | kWaitingRemoval | kNoPaper, false,
       [&] { return TdevHybridWaitInsertion(nullptr, h, 1, -2, -2, 0); }, 43, 0},
      {"wait while paper waits for removal", kWaitingRemoval | kNoPaper, false,
       [&] { return TdevHybridWaitInsertion(nullptr, h, 1, -2, -2, 0); }, 45, 0},
      {"wait with paper in", kSlipIn, false,
       [&] { return TdevHybridWaitInsertion(nullptr, h, 1, -2, -2, 0); }, 44, 0},
      {"wait with a removal pending", kNoPaper, false,
       [&] { return TdevHybridWaitInsertion(nullptr, h, 3, -2, -2, 1); }, 44, 0},
      {"wait with a removal pending while selecting", kNoPaper, true,
       [&] { return TdevHybridWaitInsertion(nullptr, h, 1, -2, -2, 1); }, 44, 0},
      {"wait on a printer that does not answer", kNoResponse | kNoPaper, false,
       [&] { return TdevHybridWaitInsertion(nullptr, h, 1, -2, -2, 0); }, 20, 0},
      {"validation print with a removal pending", kValidationIn, false,
       [&] { return TdevHybridSendData(nullptr, h, 3, -2, 0, 1, 0); }, 42, 1},
      {"receipt print with a removal pending", kNoPaper, false,
       [&] { return TdevHybridSendData(nullptr, h, 0, -2, 0, 1, 0); }, 42, 1},
      {"print while an insertion is awaited", kWaitingInsertion | kSlipIn, false,
       [&] { return TdevHybridSendData(nullptr, h, 1, -2, 0, 0, 0); }, 43, 1},
      {"print while paper waits for removal", kWaitingRemoval | kSlipIn, false,
       [&] { return TdevHybridSendData(nullptr, h, 1, -2, 0, 0, 0); }, 45, 1},
      {"receipt print with paper in", kSlipIn, false,
       [&] { return TdevHybridSendData(nullptr, h, 0, -2, 0, 0, 0); }, 42, 1},
      {"slip print without slip paper", kNoPaper, false,
       [&] { return TdevHybridSendData(nullptr, h, 1, -2, 0, 0, 0); }, 42, 1},
      {"endorsement print with validation paper only", kValidationIn, false,
       [&] { return TdevHybridSendData(nullptr, h, 2, -2, 0, 0, 0); }, 42, 1},
      {"validation print with slip paper only", kSlipIn, false,
       [&] { return TdevHybridSendData(nullptr, h, 3, -2, 0, 0, 0); }, 42, 1},
      {"print on a printer that does not answer", kNoResponse, false,
       [&] { return TdevHybridSendData(nullptr, h, 1, -2, 0, 0, 0); }, 20, 1},
      {"cancel with no insertion awaited", kNoPaper, false,
       [&] { return TdevHybridCancelInsertion(nullptr, h, 1); }, 5, 2},
      {"MICR cancel with no insertion awaited", kSlipIn, false,
       [&] { return TdevHybridCancelMicr(nullptr, h); }, 5, 2},
      {"MICR cancel on a printer that does not answer", kNoResponse | kWaitingInsertion, false,
       [&] { return TdevHybridCancelMicr(nullptr, h); }, 20, 2},
      {"eject with no paper and no removal pending", kNoPaper, false,
       [&] { return TdevHybridEjectPaper(nullptr, h, 0, 0); }, 5, 3},
      {"eject while an insertion is awaited", kWaitingInsertion | kSlipIn, false,
       [&] { return TdevHybridEjectPaper(nullptr, h, 0, 1); }, 43, 3},
      {"eject while paper waits for removal", kWaitingRemoval | kSlipIn, false,
       [&] { return TdevHybridEjectPaper(nullptr, h, 0, 0); }, 45, 3},
      {"MICR read while an insertion is awaited", kWaitingInsertion | kNoPaper, false,
       [&] { return TdevHybridReadMicrData(nullptr, h, 0, -2, -2, 0); }, 43, 4},
      {"MICR read with paper in", kValidationIn, false,
       [&] { return TdevHybridReadMicrData(nullptr, h, 0, -2, -2, 0); }, 44, 4},
      {"MICR read with a removal pending", kNoPaper, false,
       [&] { return TdevHybridReadMicrData(nullptr, h, 1, -2, -2, 1); }, 44, 4},
      {"MICR read while paper waits for removal", kWaitingRemoval | kNoPaper, false,
       [&] { return TdevHybridReadMicrData(nullptr, h, 1, -2, -2, 0); }, 45, 4},
      {"cleaning with paper in", kSlipIn, false,
       [&] { return TdevHybridCleanMicrReader(nullptr, h, -2, -2, 0); }, 44, 5},
      {"cleaning while an insertion is awaited", kWaitingInsertion | kNoPaper, false,
       [&] { return TdevHybridCleanMicrReader(nullptr, h, -2, -2, 0); }, 43, 5},
      {"cleaning on a printer that does not answer", kNoResponse | kNoPaper, false,
       [&] { return TdevHybridCleanMicrReader(nullptr, h, -2, -2, 0); }, 20, 5},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Results().clear();
    setStatus(k.status);
    TdevHybridSetSelectingPaper(h, k.selecting ? 1 : 0);
    EXPECT_EQ(k.call(), 0);
    TdevHybridSetSelectingPaper(h, 0);
    const auto results = Results().all();
    ASSERT_EQ(results.size(), 1u);
    const Result& r = results[0];
    EXPECT_EQ(r.handle, h);
    EXPECT_EQ(r.host, std::nullopt);
    EXPECT_EQ(r.deviceId, std::nullopt);
    EXPECT_EQ(r.success, 1);
    EXPECT_EQ(r.code, k.code);
    EXPECT_EQ(r.status, Stored(k.status)) << "the word just read";
    EXPECT_EQ(r.operation, k.operation);
    EXPECT_EQ(r.data, std::nullopt);
  }
  EXPECT_TRUE(deviceRequests().empty()) << "a refusal sends nothing";
  EXPECT_EQ(emulator_->httpRequests().size(), std::size(cases)) << "one status request each";
}

TEST_F(HybridServiceOps, ARefusalNobodyHearsAnswers255) {
  TdevPrinterHandle_t* h = openHybrid(1234, kNoPaper);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(TdevSetHybridPrinterCallback(h, 16, nullptr), 0);
  EXPECT_EQ(TdevHybridWaitInsertion(nullptr, h, 0, -2, -2, 0), 255);
  EXPECT_EQ(TdevHybridCancelInsertion(nullptr, h, 1), 255);
  EXPECT_EQ(TdevHybridEjectPaper(nullptr, h, 0, 0), 255);
  EXPECT_EQ(TdevHybridWaitInsertionSync(nullptr, h, 0, 0, -2), 255);
  EXPECT_TRUE(deviceRequests().empty());
  EXPECT_EQ(TdevPendingWaiters(), 0);
}

TEST_F(HybridServiceOps, TheStatusIsAskedAgainWhileTheServiceTimesOut) {
  TdevPrinterHandle_t* h = openHybrid(1235, kNoPaper);
  ASSERT_NE(h, nullptr);
  auto& e = *emulator_;
  StatusAnswer timedOut;
  timedOut.success = false;
  timedOut.code = "EX_KDPX_TIMEOUT";

  // Two time-outs, then an answer: the third request decides.
  timedOut.status = kWaitingInsertion | kNoPaper;
  e.queueStatus(kId, timedOut);
  e.queueStatus(kId, timedOut);
  e.queueStatus(kId, StatusAnswer{kSlipIn, "", true, 0, false});
  EXPECT_EQ(TdevHybridEjectPaper(nullptr, h, 0, 0), 0);
  EXPECT_EQ(e.httpRequests().size(), 3u);
  EXPECT_TRUE(Refusals().empty());
  ASSERT_TRUE(waitForDeviceRequests(1));
  EXPECT_EQ(deviceRequests()[0], withNul(Head(1, "eject") + kTail));

  // Three time-outs end the asking; the last word counts. The fourth answer
  // stays queued.
  e.clearLog();
  for (int i = 0; i < 3; ++i) e.queueStatus(kId, timedOut);
  e.queueStatus(kId, StatusAnswer{kSlipIn, "", true, 0, false});
  EXPECT_EQ(TdevHybridEjectPaper(nullptr, h, 0, 0), 0);
  EXPECT_EQ(e.httpRequests().size(), 3u);
  auto refusals = Refusals();
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].code, 43);
  EXPECT_EQ(refusals[0].status, Stored(kWaitingInsertion | kNoPaper));

  // A service that cannot answer: the printer does not respond.
  Results().clear();
  e.clearLog();
  HttpOverride broken;
  broken.status = 500;
  e.overrideHttp("", broken);
  EXPECT_EQ(TdevHybridCancelMicr(nullptr, h), 0);
  refusals = Refusals();
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].code, 20);
  EXPECT_EQ(refusals[0].operation, 2);
  EXPECT_EQ(refusals[0].status, kNoResponse);
  EXPECT_TRUE(deviceRequests().empty());
}

TEST_F(HybridServiceOps, ABusySendLockGives2AndSendsNothing) {
  TdevPrinterHandle_t* h = openHybrid(1236, kSlipIn);
  ASSERT_NE(h, nullptr);
  SendLockHolder busy(connection_);
  ASSERT_TRUE(busy.held());
  EXPECT_EQ(TdevHybridEjectPaper(nullptr, h, 0, 0), 2);
  EXPECT_EQ(TdevHybridClearBuffer(nullptr, h), 2);
  busy.release();
  EXPECT_TRUE(deviceRequests().empty());
  EXPECT_TRUE(Refusals().empty());
  // The sequence numbers taken by the busy sends are gone; the next send works.
  EXPECT_EQ(TdevHybridEjectPaper(nullptr, h, 0, 0), 0);
  ASSERT_TRUE(waitForDeviceRequests(1));
  EXPECT_EQ(deviceRequests()[0], withNul(Head(3, "eject") + kTail));
}

TEST_F(HybridServiceOps, TheServicesAnswersReachTheResultSlot) {
  TdevPrinterHandle_t* h = openHybrid(1237, kNoPaper);
  ASSERT_NE(h, nullptr);
  TdevDocument_t* doc = TdevGetDocument(h);
  auto& e = *emulator_;
  ReplyOverride jam;
  jam.success = false;
  jam.code = "TMICR_PAPER_JAM";
  e.overrideNextReply("micrcleaning", jam);

  EXPECT_EQ(TdevHybridReadMicrData(nullptr, h, 0, -2, -2, 0), 0);
  EXPECT_EQ(TdevHybridCleanMicrReader(nullptr, h, -2, -2, 0), 0);
  setStatus(kSlipIn);
  ASSERT_EQ(TdevXmlText(doc, "slip"), 0);
  EXPECT_EQ(TdevHybridSendData(nullptr, h, 1, -2, 0, 0, 0), 0);
  TdevDocClearBody(doc);
  setStatus(kNoPaper);
  ASSERT_EQ(TdevXmlText(doc, "receipt"), 0);
  EXPECT_EQ(TdevHybridSendData(nullptr, h, 0, -2, 0, 0, 0), 0);
  TdevDocClearBody(doc);

  ASSERT_TRUE(Eventually([] { return Results().all().size() == 4; }, 10s));
  struct Expected {
    int32_t success;
    int32_t code;
    uint32_t status;
    int32_t operation;
    const char* data;
  } expected[] = {
      // The service's words: an "onreceive" event keeps 0x910F6F6F of the
      // adjusted word, a job result 0x810F6F6F of the word as sent.
      {1, 0, Stored(kNoPaper) & 0x910F6F6F, 4, "T123456789T 0123456789O"},
      {0, 39, Stored(kNoPaper) & 0x910F6F6F, 5, " "},  // an empty field reads as " "
      {1, 0, Stored(kSlipIn) & 0x910F6F6F, 1, " "},
      {1, 0, kNoPaper & 0x810F6F6F, 1, ""},
  };
  const auto results = Results().all();
  for (size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(results[i].handle, h);
    EXPECT_EQ(results[i].host, std::optional<std::string>(host()));
    EXPECT_EQ(results[i].deviceId, std::optional<std::string>(kId));
    EXPECT_EQ(results[i].success, expected[i].success);
    EXPECT_EQ(results[i].code, expected[i].code);
    EXPECT_EQ(results[i].status, expected[i].status);
    EXPECT_EQ(results[i].operation, expected[i].operation);
    EXPECT_EQ(results[i].data, std::optional<std::string>(expected[i].data));
  }
}

TEST_F(HybridServiceOps, ARawCommandIsForcedOnlyWhenThePrinterIsNotReady) {
  TdevPrinterHandle_t* h = openHybrid(1238, kSlipIn);
  ASSERT_NE(h, nullptr);
  TdevDocument_t* doc = TdevGetDocument(h);
  const uint8_t bytes[] = {0x1B, 0x40, 0xFF};
  const std::string command = "<command>1B40FF</command>";
  struct Case {
    const char* name;
    uint32_t status;
    int32_t paper;
    int32_t timeoutMs;
    int result;
    std::optional<std::string> sent;  // the request's type, force and timeout
    std::optional<int32_t> refusal;
  } cases[] = {
      {"ready: not forced, default timeout", kSlipIn, 1, -2, 0,
       "slipprint2" + PrintData(false, command) + "<timeout>10000</timeout>", std::nullopt},
      {"offline: forced", kSlipIn | kOffline, 1, 30000, 0,
       "slipprint2" + PrintData(true, command) + "<timeout>30000</timeout>", std::nullopt},
      {"a timeout the print step refuses", kSlipIn, 1, 3000, 1, std::nullopt, std::nullopt},
      {"a paper the print step refuses", kSlipIn, 4, -2, 1, std::nullopt, std::nullopt},
      {"receipt with paper in: refused by report", kSlipIn, 0, -2, 0, std::nullopt, 42},
  };
  int sequence = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    Results().clear();
    emulator_->clearLog();
    setStatus(k.status);
    EXPECT_EQ(TdevHybridForceCommand(nullptr, h, bytes, 3, k.paper, 0, 0, k.timeoutMs), k.result);
    EXPECT_EQ(doc->body->length, 0) << "the document is emptied";
    if (k.sent) {
      ASSERT_TRUE(waitForDeviceRequests(1));
      const std::string type = k.sent->substr(0, k.sent->find('<'));
      EXPECT_EQ(deviceRequests(),
                std::vector<std::string>{
                    withNul(Head(++sequence, type) + k.sent->substr(type.size()) + kTail)});
      EXPECT_EQ(emulator_->httpRequests().size(), 2u) << "readiness, then the print step";
    } else {
      EXPECT_TRUE(deviceRequests().empty());
    }
    const auto refusals = Refusals();
    ASSERT_EQ(refusals.size(), k.refusal ? 1u : 0u);
    if (k.refusal) {
      EXPECT_EQ(refusals[0].code, *k.refusal);
    }
  }
}

TEST_F(HybridServiceOps, ARawCommandWhileTheHostIsNotConnectedGives4AndLeavesTheDocument) {
  TdevPrinterHandle_t* h = openHybrid(1244, kSlipIn);
  ASSERT_NE(h, nullptr);
  auto& e = *emulator_;
  // The link drops and the reconnect hangs: the host is not connected.
  e.setAcceptMode(service_emulator::Transport::Plain, service_emulator::AcceptMode::Silent);
  ASSERT_TRUE(e.resetClient(0));
  ASSERT_TRUE(Eventually(
      [&] { return TdevGetCondition(connection_) == TDEV_CONDITION_RECONNECTING; }, 10s));
  TdevDocument_t* doc = TdevGetDocument(h);
  ASSERT_EQ(TdevXmlText(doc, "kept"), 0);
  const int32_t length = doc->body->length;
  const uint8_t bytes[] = {0x1B, 0x40};
  EXPECT_EQ(TdevHybridForceCommand(nullptr, h, bytes, 2, 1, 0, 0, -2), 4);
  EXPECT_EQ(doc->body->length, length);
  EXPECT_TRUE(e.httpRequests().empty()) << "no status was asked";
  EXPECT_TRUE(Results().all().empty());
}

// ---- The blocking requests, end to end ---------------------------------------------------

TEST_F(HybridServiceOps, BlockingBufferClearEndsWithTheServicesAnswer) {
  TdevPrinterHandle_t* h = openHybrid(1239, kNoResponse);
  ASSERT_NE(h, nullptr);
  struct Case {
    const char* code;  // null: the service's own answer
    int expected;
  } cases[] = {{nullptr, 0}, {"ERROR_DEVICE_BUSY", 46}, {"ERROR_COVER_OPEN", 14}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.code != nullptr ? k.code : "OK");
    if (k.code != nullptr) {
      ReplyOverride reply;
      reply.success = false;
      reply.code = k.code;
      emulator_->overrideNextReply("clearbuffer", reply);
    }
    EXPECT_EQ(TdevHybridClearBufferSync(nullptr, h), k.expected);
  }
  EXPECT_EQ(TdevGetHybridPrinterCallback(h, 18),
            reinterpret_cast<TdevAnyCallback>(&TdevOnClearBufferReply));
  EXPECT_EQ(receivedRaw(*emulator_, "clearbuffer").back(),
            withNul(Head(3, "clearbuffer") + "<timeout>500</timeout>" + kTail));
  EXPECT_TRUE(emulator_->httpRequests().empty()) << "no status is asked";
  EXPECT_TRUE(Results().all().empty()) << "the answers go to slot 18 only";
}

TEST_F(HybridServiceOps, BlockingInsertionWaitEndsWithTheInsertion) {
  TdevPrinterHandle_t* h = openHybrid(1240, kNoPaper);
  ASSERT_NE(h, nullptr);
  auto& e = *emulator_;
  TdevHybridSetSelectingPaper(h, 1);

  // The paper comes: the result, and the word the event carried is kept.
  ReplyOverride inserted;
  inserted.status = kSlipIn;
  e.overrideNextReply("endorsewaitinsertion", inserted);
  EXPECT_EQ(TdevHybridWaitInsertionSync(nullptr, h, 2, 0, 30000), 0);
  EXPECT_EQ(receivedRaw(e, "endorsewaitinsertion"),
            std::vector<std::string>{withNul(Head(1, "endorsewaitinsertion") +
                                             "<timeout>30000</timeout><waittime>500</waittime>" +
                                             kTail)});
  EXPECT_EQ(TdevGetPrinterStatus(h), Stored(kSlipIn));
  EXPECT_TRUE(Results().all().empty());

  // The service gives up: its code is the result, and the result slot hears it.
  ReplyOverride cancelled;
  cancelled.success = false;
  cancelled.code = "CANCEL";
  cancelled.status = kNoPaper;
  e.overrideNextReply("slipwaitinsertion", cancelled);
  EXPECT_EQ(TdevHybridWaitInsertionSync(nullptr, h, 1, 0, -2), 32);
  auto results = Results().all();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, 32);
  EXPECT_EQ(results[0].success, 0);
  EXPECT_EQ(results[0].status, Stored(kNoPaper) & 0x910F6F6F);
  EXPECT_EQ(TdevGetPrinterStatus(h), Stored(kNoPaper));

  // A wait the printer refuses answers the refusal at once: nothing was
  // sent, so no reply could ever end the wait.
  Results().clear();
  setStatus(kWaitingInsertion | kNoPaper);
  EXPECT_EQ(TdevHybridWaitInsertionSync(nullptr, h, 3, 0, -2), 43);
  results = Results().all();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, 43);
  EXPECT_EQ(results[0].operation, 0);
  EXPECT_EQ(TdevPendingWaiters(), 0);
  EXPECT_EQ(deviceRequests().size(), 2u);
  TdevHybridSetSelectingPaper(h, 0);
}

// A job result the test sends to know that what the service sent before it was read.
const std::string kMarker =
    "<resultdata><response success=\"true\" code=\"\" status=\"0\" battery=\"0\"/>"
    "</resultdata><printjobid></printjobid>";

TEST_F(HybridServiceOps, AReplyThatNeverComesEndsAtTheBoundAndALateOneFindsNothing) {
  TdevPrinterHandle_t* h = openHybrid(1241, kNoPaper);
  ASSERT_NE(h, nullptr);
  auto& e = *emulator_;
  TdevSetReplyBounds(800, 0);
  TdevHybridSetSelectingPaper(h, 1);
  struct Case {
    const char* kind;
    std::function<int()> call;
    int64_t boundMs;  // the reply bound plus the request's own timeout
  } cases[] = {
      {"clearbuffer", [&] { return TdevHybridClearBufferSync(nullptr, h); }, 800 + 500},
      {"slipwaitinsertion", [&] { return TdevHybridWaitInsertionSync(nullptr, h, 1, 0, 5000); },
       800 + 5000},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.kind);
    ReplyOverride late;
    late.delay = std::chrono::milliseconds(k.boundMs + 3000);
    e.overrideNextReply(k.kind, late);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(k.call(), 3);
    EXPECT_GE(io_test::msSince(start), k.boundMs);
    EXPECT_EQ(TdevPendingWaiters(), 0);
    // The late reply is read and finds nobody: a job result sent after it
    // reaches the result slot only once the late reply was handled.
    ASSERT_TRUE(waitForSent(e, "onreceive", 1, 20s));
    ASSERT_GT(e.sendDeviceEvent(0, kId, "onxmlresult", kMarker), 0);
    ASSERT_TRUE(Eventually([&] { return Results().all().size() == 1; }, 10s));
    EXPECT_EQ(TdevPendingWaiters(), 0);
    const auto results = Results().all();
    EXPECT_EQ(results[0].operation, 1) << "only the marker reached the result slot";
    EXPECT_EQ(results[0].data, std::optional<std::string>(""));
    Results().clear();
    e.clearLog();
  }
  // The next request gets its own answer.
  EXPECT_EQ(TdevHybridClearBufferSync(nullptr, h), 0);
  TdevHybridSetSelectingPaper(h, 0);
}

// Both blocking requests waiting at once on two hybrid printers of one host,
// each on a thread of its own; the answers never come.
class TwoWaits {
 public:
  TwoWaits(TdevPrinterHandle_t* first, TdevPrinterHandle_t* second) {
    clear_ =
        std::thread([this, first] { clearResult_ = TdevHybridClearBufferSync(nullptr, first); });
    insertion_ = std::thread([this, second] {
      insertionResult_ = TdevHybridWaitInsertionSync(nullptr, second, 1, 0, -2);
    });
  }
  ~TwoWaits() { join(); }
  void join() {
    if (clear_.joinable()) clear_.join();
    if (insertion_.joinable()) insertion_.join();
  }
  int clearResult() const { return clearResult_; }
  int insertionResult() const { return insertionResult_; }

 private:
  std::atomic<int> clearResult_{-1};
  std::atomic<int> insertionResult_{-1};
  std::thread clear_;
  std::thread insertion_;
};

TEST_F(HybridServiceOps, ALostLinkEndsTheBlockingRequestsWith4) {
  TdevPrinterHandle_t* h1 = nullptr;
  TdevPrinterHandle_t* h2 = nullptr;
  ASSERT_NO_FATAL_FAILURE(openSilentPair(1242, &h1, &h2));
  {
    TwoWaits waits(h1, h2);
    ASSERT_NO_FATAL_FAILURE(awaitSilentPair());
    ASSERT_TRUE(emulator_->resetClient(0));
    waits.join();
    EXPECT_EQ(waits.clearResult(), 4);
    EXPECT_EQ(waits.insertionResult(), 4);
  }
  EXPECT_EQ(TdevPendingWaiters(), 0);
  // The host reconnects and the printers work on.
  ASSERT_TRUE(Eventually([&] { return TdevIsConnected(connection_) == 1; }));
  EXPECT_EQ(TdevHybridClearBufferSync(nullptr, h1), 0);
  TdevHybridSetSelectingPaper(h2, 0);
}

TEST_F(HybridServiceOps, DestroyingTheConnectionEndsTheBlockingRequestsAtOnce) {
  TdevPrinterHandle_t* h1 = nullptr;
  TdevPrinterHandle_t* h2 = nullptr;
  ASSERT_NO_FATAL_FAILURE(openSilentPair(1243, &h1, &h2));
  TwoWaits waits(h1, h2);
  ASSERT_NO_FATAL_FAILURE(awaitSilentPair());
  EXPECT_EQ(TdevDestroyConnection(connection_), 0);
  waits.join();
  EXPECT_EQ(waits.clearResult(), 4);
  EXPECT_EQ(waits.insertionResult(), 4);
  EXPECT_EQ(TdevPendingWaiters(), 0);
  // Gone with the connection: the handles answer as missing.
  EXPECT_EQ(TdevHybridClearBufferSync(nullptr, h1), 1);
  EXPECT_EQ(TdevHybridEjectPaper(nullptr, h2, 0, 1), 1);
}

}  // namespace
}  // namespace host_test
