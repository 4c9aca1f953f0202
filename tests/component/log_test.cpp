#include "orvik/tilo2/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "api_log_fixture.h"
#include "orvik/tilo2/activation.h"
#include "orvik/tilo2/error_status.h"
#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/platform.h"

using namespace Orvik::Tilo::Tilo2;

namespace {

int32_t SetLogSettingsResult(LogPeriod period, LogOutput output, const String& address,
                             int32_t port, int32_t logSize, LogLevel level) {
  try {
    Log::SetLogSettings(period, output, address, port, logSize, level);
    return 0;
  } catch (const RuntimeException& e) {
    return e.HResult();
  }
}

TEST(LogClassTest, SdkVersion) { EXPECT_EQ(Log::GetSdkVersion(), String("Ver.2.7.0")); }

TEST(LogClassTest, ActivatableButWithoutInstances) {
  IActivationFactory* factory = nullptr;
  ASSERT_EQ(DllGetActivationFactory(u"Orvik.Tilo.Tilo2.Log", &factory), kSOk);
  ASSERT_NE(factory, nullptr);
  std::shared_ptr<Object> instance;
  EXPECT_EQ(factory->ActivateInstance(&instance), kENotImpl);
  EXPECT_EQ(instance, nullptr);
  EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(ApiLogTest, SetLogSettingsChecksInOrder) {
  const auto kBadPeriod = static_cast<LogPeriod>(2);
  const auto kBadOutput = static_cast<LogOutput>(3);
  const auto kBadLevel = static_cast<LogLevel>(1);
  constexpr auto T = LogPeriod::Temporary;
  constexpr auto D = LogOutput::Disable;
  constexpr auto F = LogOutput::File;
  constexpr auto N = LogLevel::Normal;
  constexpr int32_t kOk = 0;
  constexpr int32_t kParameter = ErrorStatus::ErrParameter;
  struct Case {
    const char* name;
    LogPeriod period;
    LogOutput output;
    const char* address;
    int32_t port;
    int32_t logSize;
    LogLevel level;
    int32_t result;
  };
  const Case cases[] = {
      {"file without an address", T, F, "", 0, 1, N, kOk},
      {"disabled", T, D, "", 0, 50, N, kOk},
      {"full level, 50 MB", T, F, "", 65535, 50, LogLevel::Full, kOk},
      {"tcp to a loopback listener", T, LogOutput::Tcp, "127.0.0.1", 8000, 1, N, kOk},
      {"port 70000 even when disabled", T, D, "", 70000, 1, N, kParameter},
      {"negative port", T, D, "", -1, 1, N, kParameter},
      {"size 0", T, D, "", 0, 0, N, kParameter},
      {"size 51", T, D, "", 0, 51, N, kParameter},
      {"size 51 at the full level too", T, D, "", 0, 51, LogLevel::Full, kParameter},
      {"tcp without an address", T, LogOutput::Tcp, "", 0, 1, N, kParameter},
      {"tcp with an address that is none", T, LogOutput::Tcp, "printer", 0, 1, N, kParameter},
      {"level 1 has no row", T, F, "", 0, 1, kBadLevel, kParameter},
      {"period 2 has no row", kBadPeriod, F, "", 0, 1, N, kParameter},
      {"output 3 has no row", T, kBadOutput, "", 0, 1, N, kParameter},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        SetLogSettingsResult(c.period, c.output, String(c.address), c.port, c.logSize, c.level),
        c.result)
        << c.name;
  }

  // The enumerations come first: with no local folder as well, a level
  // without a row is still a parameter error, while valid values reach the
  // folder check.
  Platform::SetLocalFolder(String(base_ + "/file/logs"));
  std::ofstream(base_ + "/file") << "not a folder";
  ASSERT_TRUE(Platform::LocalFolder().empty());
  EXPECT_EQ(SetLogSettingsResult(T, F, String(), 70000, 0, kBadLevel), kParameter);
  EXPECT_EQ(SetLogSettingsResult(T, F, String(), 70000, 1, N), kParameter);
  EXPECT_EQ(SetLogSettingsResult(T, F, String(), 0, 1, N), ErrorStatus::ErrFailure);
  EXPECT_EQ(SetLogSettingsResult(T, LogOutput::Tcp, String(), 0, 1, N), ErrorStatus::ErrFailure);
}

TEST_F(ApiLogTest, SetLogSettingsWritesTheLogInTheLocalFolder) {
  Log::SetLogSettings(LogPeriod::Temporary, LogOutput::File, String(), 0, 1, LogLevel::Normal);
  log_trace("APIIO", 2, nullptr, 0, "f", LOG_ARG_END);
  EXPECT_EQ(last_body(), "APIIO,--,0000000000000000,,,f");
  EXPECT_FALSE(std::filesystem::exists(base_ + "/Tilo2LogSettings.ini"));

  // A refused call changes nothing.
  EXPECT_EQ(SetLogSettingsResult(LogPeriod::Permanent, LogOutput::Disable, String(), 0, 51,
                                 LogLevel::Normal),
            ErrorStatus::ErrParameter);
  log_trace("APIIO", 2, nullptr, 0, "g", LOG_ARG_END);
  EXPECT_EQ(last_body(), "APIIO,--,0000000000000000,,,g");

  Log::SetLogSettings(LogPeriod::Permanent, LogOutput::Disable, String(), 0, 1, LogLevel::Normal);
  EXPECT_TRUE(std::filesystem::exists(base_ + "/Tilo2LogSettings.ini"));
  log_trace("APIIO", 2, nullptr, 0, "h", LOG_ARG_END);
  EXPECT_EQ(last_body(), "APIIO,--,0000000000000000,,,g");
}

}  // namespace
