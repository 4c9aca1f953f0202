#include "component/api_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "api_log_fixture.h"
#include "component/device_information.h"
#include "component/result_codes.h"
#include "component/test_hooks.h"
#include "orvik/tilo2/callback_code.h"
#include "orvik/tilo2/error_status.h"
#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/log.h"
#include "orvik/tilo2/object.h"
#include "orvik/tilo2/platform.h"

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

constexpr char kMethod[] = "Orvik::Tilo::Tilo2::Printer::Printer::ConnectAsync";

class Named : public Object {
 public:
  explicit Named(std::string name) : name_(std::move(name)) {}
  String GetRuntimeClassName() const override {
    ++calls;
    return String(name_);
  }
  mutable std::atomic<int> calls{0};

 private:
  std::string name_;
};

TEST(ApiLogArgumentsTest, RenderedAsTheLineShowsThem) {
  const std::vector<uint8_t> bytes = {0x1B, 0x40};
  const std::vector<uint8_t> noBytes;
  const std::vector<int32_t> ints = {1, 255, 4096, -1};
  auto printer = std::make_shared<Named>("Orvik.Tilo.Tilo2.Printer.Printer");
  auto unnamed = std::make_shared<Named>("");
  struct Case {
    const char* name;
    LogArguments args;
    std::string text;
  };
  const Case cases[] = {
      {"target and timeout", {String("TCP:192.168.0.10"), 10000}, "(TCP:192.168.0.10, 10000)"},
      {"bytes, each followed by a space", {std::span<const uint8_t>(bytes)}, "(0x1B 0x40 )"},
      {"no bytes", {std::span<const uint8_t>(noBytes), 7}, "(, 7)"},
      {"ints, at least two digits",
       {std::span<const int32_t>(ints)},
       "(0x01 0xFF 0x1000 0xFFFFFFFF )"},
      {"null", {nullptr}, "(null)"},
      {"empty string is null", {String("")}, "(null)"},
      {"no arguments", {}, "()"},
      {"pointer", {Pointer{reinterpret_cast<const void*>(0xABCDEF)}}, "(0x0000000000ABCDEF)"},
      {"null pointer", {Pointer{nullptr}}, "(0x0000000000000000)"},
      {"enumeration member", {EnumArgument(CallbackCode::ErrorFailure)}, "(ErrorFailure)"},
      {"enumeration value without a member",
       {EnumArgument(static_cast<CallbackCode>(99))},
       "(Orvik.Tilo.Tilo2.CallbackCode)"},
      {"integers",
       {-5, int64_t{4294967296}, uint32_t{4000000000u}},
       "(-5, 4294967296, 4000000000)"},
      {"doubles, shortest round trip", {0.1, 1e21, -2.5}, "(0.1, 1e+21, -2.5)"},
      {"bools", {true, false}, "(true, false)"},
      {"object by its class name",
       {std::shared_ptr<const Object>(printer)},
       "(Orvik.Tilo.Tilo2.Printer.Printer)"},
      {"object without a name, null object",
       {std::shared_ptr<const Object>(unnamed), std::shared_ptr<const Object>()},
       "(null, null)"},
      {"text beyond ASCII", {String(u"caf\u00e9 \U0001F600")}, "(caf\xC3\xA9 \xF0\x9F\x98\x80)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CommonUtils::FormatLogArgumentsUtf8(c.args), c.text) << c.name;
    EXPECT_EQ(CommonUtils::FormatLogArguments(c.args), String(c.text)) << c.name;
  }
}

TEST_F(ApiLogTest, LineBodiesOfEveryKind) {
  use_file();
  const void* handle = log_handle(0x1234ABCD);
  const LogArguments args = {String("TCP:192.168.0.10"), 10000};
  CommonUtils::LogApiIn(kLogApiEntry, handle, kMethod, args);
  CommonUtils::LogApiOut(handle, kMethod, ErrorStatus::ErrFailure, args);
  CommonUtils::LogApiOut(handle, kMethod, 0, {});
  CommonUtils::LogApiIn(kLogApiEvent, handle, "Orvik::Tilo::Tilo2::Printer::Printer::OnEvent",
                        {String("EventType->"), String("Disconnect")});
  CommonUtils::LogBtInfo("Bluetooth is paired.", {String("BT:00:01:90:aa:bb:cc")});
  const std::vector<std::string> expected = {
      "APIIO,->,000000001234abcd,,," + std::string(kMethod) + ",(TCP:192.168.0.10, 10000)",
      "APIIO,<-,000000001234abcd,,a004820f," + std::string(kMethod) + ",(TCP:192.168.0.10, 10000)",
      "APIIO,<-,000000001234abcd,,0," + std::string(kMethod) + ",()",
      "APIIO,<<,000000001234abcd,,,Orvik::Tilo::Tilo2::Printer::Printer::OnEvent,"
      "(EventType->, Disconnect)",
      "APIIO,-i,0000000000000000,,,Orvik::Tilo::Tilo2::CommonUtils::ConnectBtDeviceAsync,"
      "Bluetooth is paired.,(BT:00:01:90:aa:bb:cc)",
  };
  EXPECT_EQ(bodies(), expected);
}

// Rendering costs work a receipt's fifty calls should not pay while logging is off.
TEST_F(ApiLogTest, NothingIsRenderedWhileLoggingIsOff) {
  auto object = std::make_shared<Named>("Orvik.Tilo.Tilo2.Sample");
  const LogArguments args = {std::shared_ptr<const Object>(object)};
  int built = 0;
  auto makeArgs = [&] {
    ++built;
    return args;
  };
  EXPECT_FALSE(CommonUtils::ApiLogWanted());
  CommonUtils::LogApiIn(kLogApiEntry, nullptr, kMethod, args);
  CommonUtils::LogApiOut(nullptr, kMethod, 0, args);
  CommonUtils::LogBtInfo("Bluetooth is paired.", args);
  CommonUtils::LogApiInWith(kLogApiEntry, nullptr, kMethod, makeArgs);
  CommonUtils::LogApiOutWith(nullptr, kMethod, 0, makeArgs);
  EXPECT_EQ(object->calls.load(), 0);
  EXPECT_EQ(built, 0);

  use_file();
  EXPECT_TRUE(CommonUtils::ApiLogWanted());
  CommonUtils::LogApiInWith(kLogApiEntry, nullptr, kMethod, makeArgs);
  EXPECT_EQ(built, 1);
  EXPECT_EQ(object->calls.load(), 1);
  EXPECT_EQ(last_body(),
            "APIIO,->,0000000000000000,,," + std::string(kMethod) + ",(Orvik.Tilo.Tilo2.Sample)");
}

// Below the full level a line is cut; at the full level it is whole, except
// that the logger leaves out an argument text of 1024 bytes or more.
TEST_F(ApiLogTest, LongArgumentsAsEachLevelShowsThem) {
  const std::string header = "APIIO,->,0000000000000000,,," + std::string(kMethod);
  struct Case {
    size_t bytes;
    int level;
    bool whole;  // else: the arguments are left out at the full level, cut below it
  };
  for (const Case& c :
       {Case{200, 0, false}, Case{200, 255, true}, Case{4000, 0, false}, Case{4000, 255, false}}) {
    const std::vector<uint8_t> bytes(c.bytes, 0xA5);
    const LogArguments args = {std::span<const uint8_t>(bytes), String("tail")};
    const std::string text = CommonUtils::FormatLogArgumentsUtf8(args);
    ASSERT_EQ(text.size(), 1 + c.bytes * 5 + 6 + 1);
    const std::string whole = header + "," + text;
    use_file(c.level);
    CommonUtils::LogApiIn(kLogApiEntry, nullptr, kMethod, args);
    const std::string body = last_body();
    if (c.whole) {
      EXPECT_EQ(body, whole) << c.bytes;
    } else if (c.level == 255) {
      EXPECT_EQ(body, header) << c.bytes;
    } else {
      EXPECT_LT(body.size(), 1024u) << c.bytes;
      EXPECT_GT(body.size(), 900u) << c.bytes;
      EXPECT_EQ(whole.compare(0, body.size(), body), 0) << body;
    }
  }
}

std::shared_ptr<const DeviceInformation> TestInformation() {
  return std::make_shared<const DeviceInformation>(DeviceInformation{"Test OS 1", "Virtual"});
}

TEST_F(ApiLogTest, InitializeLogHandsTheHeaderValuesOn) {
  TiloComponentSetDeviceInformationProvider(&TestInformation);
  use_file();
  CommonUtils::InitializeLog();
  CommonUtils::LogApiIn(kLogApiEntry, nullptr, kMethod, {});
  TiloComponentSetDeviceInformationProvider(nullptr);
  const std::vector<std::string> lines = split_lines(read_file(log_file_));
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[1], "SDK VERSION: Ver.2.7.0");
  EXPECT_EQ(lines[2], "DEVICE OS: Test OS 1");
  EXPECT_EQ(lines[4], "DEVICE NAME: Virtual");
  ASSERT_GT(lines[5].size(), std::string("STORAGE SIZE: ").size());
  EXPECT_EQ(lines[5].find_first_not_of("0123456789", 14), std::string::npos) << lines[5];
  EXPECT_EQ(CommonUtils::GetLocalFolderPath(), String(base_));
}

// The logger's header buffers hold 259 bytes and a terminator; a longer
// folder fails the caller (a device constructor) before it writes anything.
TEST_F(ApiLogTest, InitializeLogRefusesAFolderOf260Bytes) {
  use_file();
  const std::string fits = FolderOfLength(base_, 259);
  const std::string tooLong = FolderOfLength(base_, 260);
  ASSERT_EQ(fits.size(), 259u);
  ASSERT_EQ(tooLong.size(), 260u);

  Platform::SetLocalFolder(String(tooLong));
  ASSERT_EQ(Platform::LocalFolder().utf8(), tooLong);
  try {
    CommonUtils::InitializeLog();
    ADD_FAILURE() << "a 260-byte folder was accepted";
  } catch (const RuntimeException& e) {
    EXPECT_EQ(e.HResult(), ErrorStatus::ErrFailure);
  }
  EXPECT_TRUE(bodies().empty());

  Platform::SetLocalFolder(String(fits));
  EXPECT_NO_THROW(CommonUtils::InitializeLog());
}

// A program that starts devices but never logs leaves no folder behind; the
// first file written there (a log line, the settings file) makes it, private.
TEST_F(ApiLogTest, TheLocalFolderIsMadeByItsFirstWriteOnly) {
  TiloComponentSetDeviceInformationProvider(&TestInformation);
  const std::string silent = base_ + "/silent/app";
  Platform::SetLocalFolder(String(silent));
  CommonUtils::InitializeLog();
  CommonUtils::LogApiIn(kLogApiEntry, nullptr, kMethod, {});
  EXPECT_FALSE(std::filesystem::exists(base_ + "/silent"));

  const struct {
    const char* name;
    LogPeriod period;
    LogOutput output;
    const char* written;  // under the folder
  } writers[] = {
      {"log line", LogPeriod::Temporary, LogOutput::File, "Tilo2Log/Tilo2Log.txt"},
      {"settings file", LogPeriod::Permanent, LogOutput::Disable, "Tilo2LogSettings.ini"},
  };
  for (const auto& w : writers) {
    SCOPED_TRACE(w.name);
    const std::string folder = base_ + "/" + w.name + "/app";
    Platform::SetLocalFolder(String(folder));
    CommonUtils::InitializeLog();
    EXPECT_FALSE(std::filesystem::exists(folder));
    Log::SetLogSettings(w.period, w.output, String(), 0, 1, LogLevel::Normal);
    CommonUtils::LogApiIn(kLogApiEntry, nullptr, kMethod, {});
    EXPECT_TRUE(std::filesystem::is_regular_file(folder + "/" + w.written));
    EXPECT_EQ(std::filesystem::status(base_ + "/" + w.name).permissions(),
              std::filesystem::perms::owner_all);
  }
  TiloComponentSetDeviceInformationProvider(nullptr);
}

}  // namespace
