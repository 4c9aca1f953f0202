// The discovery classes without a network: the filter, the found device as
// the engine's callback turns it into an event, the callback's log lines and
// handler failures, and the starts and stops refused before the engine runs.

#include "orvik/tilo2/discovery.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device/discovery_engine.h"
#include "discovery_test_support.h"
#include "orvik/tilo2/activation.h"
#include "orvik/tilo2/error_status.h"
#include "runtime/discovery_internal.h"

namespace tilo2::core {
namespace {

namespace api = ::Orvik::Tilo::Tilo2;
using namespace std::string_literals;
namespace disc = ::Orvik::Tilo::Tilo2::Discovery;

constexpr char kOnDiscovery[] = "Orvik::Tilo::Tilo2::Discovery::Discovery::OnDiscovery";
constexpr char kStartBody[] = "Orvik::Tilo::Tilo2::Discovery::Discovery::StartAsync::Body";
constexpr char kStopBody[] = "Orvik::Tilo::Tilo2::Discovery::Discovery::StopAsync::Body";

std::string PointerText(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%016llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return text;
}

// One found device as the engine hands it over; null texts stay null.
struct Found {
  int32_t deviceType;
  const char* target;
  const char* name;
  const char* ip;
  const char* mac;
  const char* bdAddress;

  FoundDevice_t Record() const {
    return FoundDevice_t{deviceType,
                         const_cast<char*>(target),
                         const_cast<char*>(name),
                         const_cast<char*>(ip),
                         const_cast<char*>(mac),
                         const_cast<char*>(bdAddress)};
  }
};

using discovery_test::HandlerScope;
using discovery_test::Outcome;
using discovery_test::Recorder;

class DiscoveryClasses : public ApiLogTest {
 protected:
  std::vector<std::string> LinesOf(const std::string& method) const {
    std::vector<std::string> out;
    for (const std::string& body : ApiBodies()) {
      if (body.find("," + method + ",") != std::string::npos) out.push_back(body);
    }
    return out;
  }
};

TEST(DiscoveryEngine, RefusesANullFilter) { EXPECT_NE(TdcStartDiscovery(nullptr, nullptr), 0); }

TEST(DiscoveryFilterOption, DefaultsSettersAndActivation) {
  disc::FilterOption filter;
  EXPECT_EQ(filter.PortType(), disc::PortType::All);
  EXPECT_EQ(filter.Broadcast(), api::String("255.255.255.255"));
  EXPECT_EQ(filter.DeviceModel(), disc::DeviceModel::All);
  EXPECT_EQ(filter.OrvikFilter(), disc::OrvikFilter::Name);
  EXPECT_EQ(filter.DeviceType(), disc::DeviceType::All);
  EXPECT_EQ(filter.GetRuntimeClassName(), api::String("Orvik.Tilo.Tilo2.Discovery.FilterOption"));

  // The setters keep any value, members or not: StartAsync judges them.
  filter.PortType(static_cast<disc::PortType>(3));
  filter.Broadcast("");
  filter.DeviceModel(static_cast<disc::DeviceModel>(2));
  filter.OrvikFilter(disc::OrvikFilter::None);
  filter.DeviceType(static_cast<disc::DeviceType>(-7));
  EXPECT_EQ(static_cast<int32_t>(filter.PortType()), 3);
  EXPECT_TRUE(filter.Broadcast().empty());
  EXPECT_EQ(static_cast<int32_t>(filter.DeviceModel()), 2);
  EXPECT_EQ(filter.OrvikFilter(), disc::OrvikFilter::None);
  EXPECT_EQ(static_cast<int32_t>(filter.DeviceType()), -7);

  api::IActivationFactory* factory = nullptr;
  ASSERT_EQ(DllGetActivationFactory(u"Orvik.Tilo.Tilo2.Discovery.FilterOption", &factory),
            api::kSOk);
  std::shared_ptr<api::Object> made;
  ASSERT_EQ(factory->ActivateInstance(&made), api::kSOk);
  auto activated = std::dynamic_pointer_cast<disc::FilterOption>(made);
  ASSERT_NE(activated, nullptr);
  EXPECT_EQ(activated->Broadcast(), api::String("255.255.255.255"));
  factory->Release();

  // The static class has a factory but no instances.
  ASSERT_EQ(DllGetActivationFactory(u"Orvik.Tilo.Tilo2.Discovery.Discovery", &factory), api::kSOk);
  EXPECT_EQ(factory->ActivateInstance(&made), api::kENotImpl);
  EXPECT_EQ(made, nullptr);
  factory->Release();
}

// The record's texts, each through the UTF-8 conversion (a null text gives
// ""), and its device type taken as the same number.
TEST(DiscoveryDeviceInfo, CopiesTheFoundRecord) {
  struct Case {
    const char* what;
    Found found;
    disc::DeviceType type;
    std::u16string target, name, ip, mac, bd;
  };
  const Case cases[] = {
      {"network printer, MAC target",
       {1, "TCP:00:1A:7D:DA:71:13", "RP-S100", "127.0.3.1", "00:1A:7D:DA:71:13", ""},
       disc::DeviceType::Printer,
       u"TCP:00:1A:7D:DA:71:13",
       u"RP-S100",
       u"127.0.3.1",
       u"00:1A:7D:DA:71:13",
       u""},
      {"hybrid printer",
       {2, "TCP:127.0.3.2", "RP-X5 abc", "127.0.3.2", "00:00:00:00:00:01", ""},
       disc::DeviceType::HybridPrinter,
       u"TCP:127.0.3.2",
       u"RP-X5 abc",
       u"127.0.3.2",
       u"00:00:00:00:00:01",
       u""},
      {"hosted keyboard over TLS",
       {4, "TCPS:127.0.3.3[kbd1]", "KB-1", "127.0.3.3", "00:00:00:00:00:02", ""},
       disc::DeviceType::Keyboard,
       u"TCPS:127.0.3.3[kbd1]",
       u"KB-1",
       u"127.0.3.3",
       u"00:00:00:00:00:02",
       u""},
      {"hosted device of a kind nobody knows",
       {-1, "TCP:127.0.3.4[x]", "X", "127.0.3.4", "00:00:00:00:00:03", ""},
       static_cast<disc::DeviceType>(-1),
       u"TCP:127.0.3.4[x]",
       u"X",
       u"127.0.3.4",
       u"00:00:00:00:00:03",
       u""},
      {"Bluetooth find without IP and MAC",
       {1, "BT:00:1A:7D:DA:71:13", "RP-S100", nullptr, nullptr, "00:1A:7D:DA:71:13"},
       disc::DeviceType::Printer,
       u"BT:00:1A:7D:DA:71:13",
       u"RP-S100",
       u"",
       u"",
       u"00:1A:7D:DA:71:13"},
      {"USB find with every optional text null",
       {1, "USB:USB\\VID_0001&PID_0002\\77", nullptr, nullptr, nullptr, nullptr},
       disc::DeviceType::Printer,
       u"USB:USB\\VID_0001&PID_0002\\77",
       u"",
       u"",
       u"",
       u""},
      {"name cut inside a character",
       {1, "TCP:127.0.3.5", "RP-\xE3\x81", "127.0.3.5", "00:00:00:00:00:04", ""},
       disc::DeviceType::Printer,
       u"TCP:127.0.3.5",
       u"RP-\uFFFD",
       u"127.0.3.5",
       u"00:00:00:00:00:04",
       u""},
      {"stray bytes in the name, non-ASCII kept",
       {1, "TCP:127.0.3.6",
        "\xFF"
        "Caf\xC3\xA9\x80",
        "127.0.3.6", "00:00:00:00:00:05", ""},
       disc::DeviceType::Printer,
       u"TCP:127.0.3.6",
       u"\uFFFDCaf\u00E9\uFFFD",
       u"127.0.3.6",
       u"00:00:00:00:00:05",
       u""},
  };
  Recorder recorder;
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FoundDevice_t record = c.found.Record();
    DiscoveryOnDiscovery(0, &record);
    const auto infos = recorder.Infos();
    ASSERT_EQ(infos.size(), ++seen);
    const disc::DeviceInfo& info = *infos.back();
    EXPECT_EQ(info.DeviceType(), c.type);
    EXPECT_EQ(info.Target(), api::String(c.target));
    EXPECT_EQ(info.DeviceName(), api::String(c.name));
    EXPECT_EQ(info.IpAddress(), api::String(c.ip));
    EXPECT_EQ(info.MacAddress(), api::String(c.mac));
    EXPECT_EQ(info.BdAddress(), api::String(c.bd));
    EXPECT_EQ(info.GetRuntimeClassName(), api::String("Orvik.Tilo.Tilo2.Discovery.DeviceInfo"));
  }
}

// The longest name a printer's reply keeps is 127 bytes; one cut inside a
// two-byte character ends in U+FFFD, never in a broken string.
TEST(DiscoveryDeviceInfo, NameCutAtItsLimitInsideACharacter) {
  std::string name(126, 'A');
  name += '\xC3';  // the first byte of U+00E9
  ASSERT_EQ(name.size(), 127u);
  Recorder recorder;
  FoundDevice_t record = Found{1, "TCP:127.0.3.7", nullptr, "127.0.3.7", "", ""}.Record();
  record.name = name.data();
  DiscoveryOnDiscovery(0, &record);
  ASSERT_EQ(recorder.Infos().size(), 1u);
  const std::u16string expected = std::u16string(126, u'A') + u"\uFFFD";
  EXPECT_EQ(recorder.Infos()[0]->DeviceName(), api::String(expected));
  EXPECT_EQ(recorder.Infos()[0]->DeviceName().utf8(), std::string(126, 'A') + "\xEF\xBF\xBD");
}

// The event keeps nothing of the engine's record: the engine frees it later.
TEST(DiscoveryDeviceInfo, OutlivesTheEngineRecord) {
  Recorder recorder;
  {
    std::string target = "TCP:127.0.3.8";
    std::string name = "RP-S100";
    FoundDevice_t record{1, target.data(), name.data(), nullptr, nullptr, nullptr};
    DiscoveryOnDiscovery(0, &record);
    target.assign(target.size(), 'x');
    name.assign(name.size(), 'y');
  }
  ASSERT_EQ(recorder.Infos().size(), 1u);
  EXPECT_EQ(recorder.Infos()[0]->Target(), api::String("TCP:127.0.3.8"));
  EXPECT_EQ(recorder.Infos()[0]->DeviceName(), api::String("RP-S100"));
}

TEST_F(DiscoveryClasses, OnDiscoveryLines) {
  use_file();
  Recorder recorder;
  FoundDevice_t keyboard =
      Found{4, "TCP:127.0.3.9[kbd1]", "KB-1", "127.0.3.9", "00:1A:7D:DA:71:13", ""}.Record();
  FoundDevice_t unknown = Found{-1, "TCP:127.0.3.9[x]", nullptr, "127.0.3.9", nullptr, ""}.Record();
  DiscoveryOnDiscovery(0, &keyboard);
  DiscoveryOnDiscovery(0, &unknown);
  DiscoveryOnDiscovery(0, nullptr);
  EXPECT_EQ(recorder.Infos().size(), 2u);

  const std::string head = std::string(",0000000000000000,,,") + kOnDiscovery + ",";
  const std::string keyboardArgs = "(" + PointerText(&keyboard) + ")";
  const std::string unknownArgs = "(" + PointerText(&unknown) + ")";
  const std::string nullArgs = "(" + PointerText(nullptr) + ")";
  const std::vector<std::string> expected = {
      "APIIO,->" + head + keyboardArgs,
      "APIIO,<<" + head +
          "(DeviceType->, Keyboard, Target->, TCP:127.0.3.9[kbd1], DeviceName->, KB-1, "
          "IpAddress->, 127.0.3.9, MacAddress->, 00:1A:7D:DA:71:13, BdAddress->, null)",
      "APIIO,<-,0000000000000000,,0," + std::string(kOnDiscovery) + "," + keyboardArgs,
      // A kind without a member shows the enumeration's type name; empty texts "null".
      "APIIO,->" + head + unknownArgs,
      "APIIO,<<" + head +
          "(DeviceType->, Orvik.Tilo.Tilo2.Discovery.DeviceType, Target->, TCP:127.0.3.9[x], "
          "DeviceName->, null, IpAddress->, 127.0.3.9, MacAddress->, null, BdAddress->, null)",
      "APIIO,<-,0000000000000000,,0," + std::string(kOnDiscovery) + "," + unknownArgs,
      // No record: nothing raised, the exit line says ErrFailure.
      "APIIO,->" + head + nullArgs,
      "APIIO,<-,0000000000000000,,a004820f," + std::string(kOnDiscovery) + "," + nullArgs,
  };
  EXPECT_EQ(LinesOf(kOnDiscovery), expected);
}

// A handler that throws ends the raise for that device only; the exit line
// carries a runtime exception's HRESULT and ErrFailure for anything else, and
// the callback returns normally to the engine's thread.
TEST_F(DiscoveryClasses, ThrowingHandlerSkipsTheLaterHandlersOfThatDeviceOnly) {
  struct Case {
    const char* what;
    std::function<void()> raise;
    const char* exitResult;
  };
  const Case cases[] = {
      {"SDK exception", [] { throw api::RuntimeException(api::ErrorStatus::ErrProcessing); },
       "a0048205"},
      {"foreign HRESULT", [] { throw api::RuntimeException(api::kEInvalidArg); }, "80070057"},
      {"standard exception", [] { throw std::runtime_error("handler"); }, "a004820f"},
      {"anything else", [] { throw 42; }, "a004820f"},
  };
  use_file();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> calls;
    std::mutex mutex;
    auto note = [&](const char* who, const std::shared_ptr<const disc::DiscoveredEventArgs>& a) {
      std::lock_guard lock(mutex);
      calls.push_back(std::string(who) + ":" + a->DeviceInfo()->DeviceName().utf8());
    };
    bool throwNow = true;
    HandlerScope first([&](const auto& a) { note("first", a); });
    HandlerScope second([&](const auto& a) {
      note("second", a);
      if (throwNow) {
        throwNow = false;
        c.raise();
      }
    });
    HandlerScope third([&](const auto& a) { note("third", a); });

    FoundDevice_t one = Found{1, "TCP:127.0.3.10", "one", nullptr, nullptr, ""}.Record();
    FoundDevice_t two = Found{1, "TCP:127.0.3.11", "two", nullptr, nullptr, ""}.Record();
    DiscoveryOnDiscovery(0, &one);
    DiscoveryOnDiscovery(0, &two);
    EXPECT_EQ(calls, (std::vector<std::string>{"first:one", "second:one", "first:two", "second:two",
                                               "third:two"}));
    const auto lines = LinesOf(kOnDiscovery);
    ASSERT_GE(lines.size(), 6u);
    const std::string exitOne = lines[lines.size() - 4];
    const std::string exitTwo = lines.back();
    EXPECT_EQ(exitOne, "APIIO,<-,0000000000000000,,"s + c.exitResult + "," + kOnDiscovery + ",(" +
                           PointerText(&one) + ")");
    EXPECT_EQ(exitTwo,
              "APIIO,<-,0000000000000000,,0,"s + kOnDiscovery + ",(" + PointerText(&two) + ")");
  }
}

TEST(DiscoveryEvent, AddAndRemove) {
  EXPECT_THROW(disc::Discovery::Discovered(disc::DiscoveredHandler()), api::RuntimeException);
  int calls = 0;
  const api::EventToken token = disc::Discovery::Discovered([&](const auto&) { ++calls; });
  FoundDevice_t record = Found{1, "TCP:127.0.3.12", "RP", nullptr, nullptr, ""}.Record();
  DiscoveryOnDiscovery(0, &record);
  EXPECT_EQ(calls, 1);
  disc::Discovery::Discovered(token);
  disc::Discovery::Discovered(token);      // a second removal does nothing
  disc::Discovery::Discovered(token + 1);  // nor an unknown token
  DiscoveryOnDiscovery(0, &record);
  EXPECT_EQ(calls, 1);
}

// Refusals that come before the engine is touched: the state stays stopped.
TEST_F(DiscoveryClasses, StartAndStopRefusedWhileStopped) {
  use_file();
  EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), api::ErrorStatus::ErrIllegalState);

  struct Case {
    const char* what;
    std::function<void(disc::FilterOption&)> set;
    const char* args;
  };
  const Case cases[] = {
      {"port type 3", [](auto& f) { f.PortType(static_cast<disc::PortType>(3)); },
       "(Orvik.Tilo.Tilo2.Discovery.PortType, 255.255.255.255, All, Name, All)"},
      {"device model 1", [](auto& f) { f.DeviceModel(static_cast<disc::DeviceModel>(1)); },
       "(All, 255.255.255.255, Orvik.Tilo.Tilo2.Discovery.DeviceModel, Name, All)"},
      {"name filter 2", [](auto& f) { f.OrvikFilter(static_cast<disc::OrvikFilter>(2)); },
       "(All, 255.255.255.255, All, Orvik.Tilo.Tilo2.Discovery.OrvikFilter, All)"},
      {"device type 7", [](auto& f) { f.DeviceType(static_cast<disc::DeviceType>(7)); },
       "(All, 255.255.255.255, All, Name, Orvik.Tilo.Tilo2.Discovery.DeviceType)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto filter = std::make_shared<disc::FilterOption>();
    c.set(*filter);
    EXPECT_EQ(Outcome(disc::Discovery::StartAsync(filter)), api::ErrorStatus::ErrParameter);
    const auto lines = LinesOf(kStartBody);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "APIIO,->,0000000000000000,,,"s + kStartBody + "," + c.args);
    EXPECT_EQ(lines.back(), "APIIO,<-,0000000000000000,,a0048200,"s + kStartBody + "," + c.args);
    // Still stopped: a stop is refused as before any start.
    EXPECT_EQ(Outcome(disc::Discovery::StopAsync()), api::ErrorStatus::ErrIllegalState);
  }
  const auto stops = LinesOf(kStopBody);
  ASSERT_FALSE(stops.empty());
  EXPECT_EQ(stops.back(), "APIIO,<-,0000000000000000,,a0048204,"s + kStopBody + ",()");
}

}  // namespace
}  // namespace tilo2::core
