// The code maps between device failures and result codes, the bridge's guard
// that no exception passes, and the text tests of the Bluetooth and USB paths.

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "io/device_bridge.h"
#include "io/device_bridge_internal.h"
#include "io/device_errors.h"
#include "io/device_io.h"
#include "io/device_text.h"

using namespace tilo2::core;

namespace {

TEST(DeviceMaps, HresultsMapToResults) {
  const struct {
    uint32_t hresult;
    int result;
  } cases[] = {{0x80070057, 1},   {0x80070005, 3},   {0x80004004, 4},
               {0x8007000E, 5},   {0x8000000E, 6},   {0x8000000A, 7},
               {0x80070490, 255}, {0x80004005, 255}, {0, 255}};
  for (const auto& c : cases) {
    EXPECT_EQ(TiloIoHresultToResult(static_cast<int32_t>(c.hresult)), c.result)
        << std::hex << c.hresult;
  }
}

TEST(DeviceMaps, ResultsMakeTheirExceptions) {
  const struct {
    int result;
    uint32_t hresult;
  } cases[] = {{1, 0x80070057}, {2, 0x80070005}, {3, 0x80070005}, {4, 0x80004004},  {5, 0x8007000E},
               {6, 0x8000000E}, {7, 0x8000000A}, {9, 0x80004005}, {255, 0x80004005}};
  for (const auto& c : cases) {
    try {
      std::rethrow_exception(TiloIoResultToException(c.result));
    } catch (const hal::Error& error) {
      EXPECT_EQ(static_cast<uint32_t>(error.hresult()), c.hresult) << c.result;
    }
  }
}

// Every kind of failure a device operation can raise, and the code the bridge
// makes of it in an open and elsewhere.
struct Thrown {
  const char* what;
  void (*raise)();
  int inOpen;
  int elsewhere;
};

const Thrown kThrown[] = {
    {"E_INVALIDARG", [] { throw hal::Error(hal::kHrInvalidArg); }, 1, 1},
    {"E_ACCESSDENIED", [] { throw hal::Error(hal::kHrAccessDenied); }, 2, 3},
    {"E_ABORT", [] { throw hal::Error(hal::kHrAbort); }, 4, 4},
    {"E_OUTOFMEMORY", [] { throw hal::Error(hal::kHrOutOfMemory); }, 5, 5},
    {"E_ILLEGAL_METHOD_CALL", [] { throw hal::Error(hal::kHrIllegalMethodCall); }, 6, 6},
    {"E_PENDING", [] { throw hal::Error(hal::kHrPending); }, 7, 7},
    {"element not found", [] { throw hal::Error(hal::kHrNotFound); }, 255, 255},
    {"bad_alloc", [] { throw std::bad_alloc(); }, 5, 5},
    {"runtime_error", [] { throw std::runtime_error("x"); }, 255, 255},
    {"int", [] { throw 42; }, 255, 255},
    {"cancelled", [] { throw hal::Cancelled(); }, 2, 3},
};

// A device whose every operation raises the chosen failure: the open, the
// control and status, and (through the reconnect a lost link runs) the
// write, read and close.
class ThrowingDevice : public OrvikDeviceIo {
 public:
  explicit ThrowingDevice(void (*raise)()) : raise_(raise) {}
  ~ThrowingDevice() override { raise_ = nullptr; }
  void Open(const std::string&) override { raise_(); }
  void Control(const std::string&, int) override { raise_(); }
  void GetStatus(const std::string&, const std::shared_ptr<int>&) override { raise_(); }
  void LoseLink() { MarkLost(); }

 protected:
  void ReleaseTransport() override {
    if (raise_) raise_();
  }

 private:
  void (*raise_)();
};

TEST(DeviceBridge, NoExceptionLeavesABridgeFunction) {
  for (const auto& t : kThrown) {
    SCOPED_TRACE(t.what);
    auto device = std::make_shared<ThrowingDevice>(t.raise);
    IoHolder holder{device};
    EXPECT_EQ(openIoHolder(&holder, "00:11:22:33:44:55"), t.inOpen);
    EXPECT_EQ(TiloIoUsbControl(&holder, 1), t.elsewhere);
    int flag = 7;
    EXPECT_EQ(TiloIoUsbGetStatus(&holder, &flag), t.elsewhere);
    EXPECT_EQ(flag, 0);
    // Not a USB device: the probe refuses it as a state error.
    EXPECT_EQ(TiloIoUsbCheckOnline(&holder, &flag), 6);
    const char data[] = "abc";
    size_t written = 9;
    device->LoseLink();
    EXPECT_EQ(TiloIoBtWrite(&holder, data, 3, 1000, &written), t.elsewhere);
    EXPECT_EQ(written, 0u);
    char buffer[128];
    size_t count = 9;
    device->LoseLink();
    EXPECT_EQ(TiloIoUsbRead(&holder, buffer, 1000, &count), t.elsewhere);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(TiloIoUsbClose(&holder), t.elsewhere);
    EXPECT_EQ(TiloIoBtClose(&holder), t.elsewhere);
    // A failed Bluetooth close leaves the connection able to reconnect.
    EXPECT_FALSE(device->Closing());
  }
}

TEST(DeviceBridge, ArgumentsAreCheckedBeforeAnyDeviceWork) {
  auto device = std::make_shared<ThrowingDevice>([] { throw std::runtime_error("touched"); });
  IoHolder holder{device};
  size_t written = 5;
  EXPECT_EQ(TiloIoBtWrite(&holder, "x", 0, 1000, &written), 0);  // length 0: nothing sent
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(TiloIoBtWrite(&holder, nullptr, 1, 1000, &written), 1);
  EXPECT_EQ(TiloIoBtWrite(&holder, "x", 1, 1000, nullptr), 1);
  char buffer[128];
  EXPECT_EQ(TiloIoBtRead(&holder, nullptr, 1000, &written), 1);
  EXPECT_EQ(TiloIoBtRead(&holder, buffer, 1000, nullptr), 1);
  EXPECT_EQ(TiloIoUsbGetStatus(&holder, nullptr), 1);
  EXPECT_EQ(TiloIoUsbCheckOnline(&holder, nullptr), 1);
  EXPECT_EQ(openIoHolder(&holder, nullptr), 1);
  IoHolder empty;
  EXPECT_EQ(openIoHolder(&empty, "x"), 5);
  TiloIoConnection_t* out = reinterpret_cast<TiloIoConnection_t*>(&holder);
  EXPECT_EQ(TiloIoUsbOpen(&out, ""), 1);  // an empty id would match any printer
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(TiloIoBtOpen(nullptr, "00:11:22:33:44:55"), 1);
}

TEST(DeviceText, BluetoothAddressForm) {
  const struct {
    const char* address;
    bool valid;
  } cases[] = {{"00:1A:7D:DA:71:13", true},
               {"00:1a:7d:da:71:13", true},
               {"00-1A-7D-DA-71-13", false},
               {"001A7DDA7113", false},
               {"00:1A:7D:DA:71:13:14", false},
               {"00:1A:7D:DA:71:1G", false},
               {"", false},
               {"00:1A:7D:DA:71:13\n", false}};
  for (const auto& c : cases) EXPECT_EQ(isValidBluetoothAddress(c.address), c.valid) << c.address;
}

TEST(DeviceText, ListedBluetoothAddress) {
  EXPECT_EQ(formatBluetoothAddress("001A7DDA7113"), "00:1A:7D:DA:71:13");
  EXPECT_FALSE(formatBluetoothAddress("001A7DDA711"));
  EXPECT_FALSE(formatBluetoothAddress("001A7DDA71134"));
  EXPECT_EQ(asciiUpper("ab\xC3\xA9z"), "AB\xC3\xA9Z");  // UTF-8 bytes stay
}

TEST(DeviceText, PrinterNameFilter) {
  const std::string long127 = "RP-S" + std::string(123, 'x');
  const struct {
    std::string name;
    bool passes;
  } cases[] = {{"RP-S100", true},      {"RP-M30", true},       {"RP-k10", true},
               {"IF-C01", true},       {"NQ31", true},         {"NQ31 ", false},
               {"xNQ31", false},       {"My RP-X1", true},     {"RP-X", true},
               {"A RP-S", false},      {"rp-s100", false},     {"", false},
               {long127, true},        {long127 + "y", false}, {"RP-S \xC3\xA9t\xC3\xA9", true},
               {"\xC3\xA9RP-S", false}};
  for (const auto& c : cases) EXPECT_EQ(matchesPrinterName(c.name), c.passes) << c.name;
}

TEST(DeviceText, CutsOnACharacterBoundary) {
  EXPECT_EQ(utf8Prefix("abc", 5), "abc");
  EXPECT_EQ(utf8Prefix("ab\xC3\xA9", 3), "ab");  // the two-byte é does not fit
  EXPECT_EQ(utf8Prefix("ab\xC3\xA9", 4), "ab\xC3\xA9");
  EXPECT_EQ(utf8Prefix("\xE2\x82\xAC\xE2\x82\xAC", 5), "\xE2\x82\xAC");
}

}  // namespace

namespace {

// What ObserveException makes of each failure, with the code 2 a connect
// step holds and the code 255 every other step holds.
TEST(DeviceMaps, ObserveExceptionKeepsSixHresultsAndCancellations) {
  const struct {
    const char* what;
    void (*raise)();
    uint32_t withConnect;  // 1: a cancellation passes
    uint32_t withFailure;
  } cases[] = {
      {"E_INVALIDARG", [] { throw hal::Error(hal::kHrInvalidArg); }, 0x80070057, 0x80070057},
      {"E_ACCESSDENIED", [] { throw hal::Error(hal::kHrAccessDenied); }, 0x80070005, 0x80070005},
      {"E_ABORT", [] { throw hal::Error(hal::kHrAbort); }, 0x80004004, 0x80004004},
      {"E_OUTOFMEMORY", [] { throw hal::Error(hal::kHrOutOfMemory); }, 0x8007000E, 0x8007000E},
      {"E_ILLEGAL", [] { throw hal::Error(hal::kHrIllegalMethodCall); }, 0x8000000E, 0x8000000E},
      {"E_PENDING", [] { throw hal::Error(hal::kHrPending); }, 0x8000000A, 0x8000000A},
      {"refused", [] { throw hal::Error(hal::kHrConnectionRefused); }, 0x80070005, 0x80004005},
      {"E_FAIL", [] { throw hal::Error(hal::kHrFail); }, 0x80070005, 0x80004005},
      {"runtime_error", [] { throw std::runtime_error("x"); }, 0x80004005, 0x80004005},
      {"bad_alloc", [] { throw std::bad_alloc(); }, 0x8007000E, 0x8007000E},
      {"cancelled", [] { throw hal::Cancelled(); }, 1, 1},
  };
  for (const auto& c : cases) {
    for (const auto& [code, expected] : {std::pair{2, c.withConnect}, {255, c.withFailure}}) {
      uint32_t got = 0;
      try {
        try {
          c.raise();
        } catch (...) {
          ObserveException(code);
        }
      } catch (const hal::Cancelled&) {
        got = 1;
      } catch (const hal::Error& error) {
        got = static_cast<uint32_t>(error.hresult());
      }
      EXPECT_EQ(got, expected) << c.what << " with " << code;
    }
  }
}

}  // namespace
