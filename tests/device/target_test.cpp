// Connection targets, port types, device ids, the direct port map and the
// environment extract each backend call receives.

#include "device/target.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device/code_tables.h"

using namespace tilo2::core;

namespace {

struct TargetDeleter {
  void operator()(TdcTarget_t* target) const { TdcFreeTarget(target); }
};
using TargetPtr = std::unique_ptr<TdcTarget_t, TargetDeleter>;

struct ParseCase {
  const char* name;
  const char* text;
  int result;
  const char* portText;
  const char* address;
  std::optional<std::string> deviceId;  // nullopt: no brackets, so no device id
};

class ParseTarget : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTarget, YieldsPortAddressAndIdOrRefuses) {
  const ParseCase& c = GetParam();
  TdcTarget_t* raw = nullptr;
  ASSERT_EQ(TdcParseTarget(c.text, &raw), c.result);
  const TargetPtr parsed(raw);
  if (c.result != 0) {
    EXPECT_EQ(raw, nullptr) << "a refused target leaves nothing behind";
    return;
  }
  ASSERT_NE(raw, nullptr);
  EXPECT_STREQ(parsed->portText, c.portText);
  EXPECT_STREQ(parsed->address, c.address);
  if (c.deviceId) {
    ASSERT_NE(parsed->deviceId, nullptr);
    EXPECT_EQ(std::string(parsed->deviceId), *c.deviceId);
  } else {
    EXPECT_EQ(parsed->deviceId, nullptr);
  }
}

const ParseCase kParseCases[] = {
    {"Tcp", "TCP:192.168.0.5", 0, "TCP", "192.168.0.5", std::nullopt},
    {"BlanksAfterColonDropped", "TCP:  192.168.0.5", 0, "TCP", "192.168.0.5", std::nullopt},
    {"TabAfterColonDropped", "TCP:\t10.1.1.1", 0, "TCP", "10.1.1.1", std::nullopt},
    {"TlsWithDeviceId", "TCPS:10.0.0.1[printer1]", 0, "TCPS", "10.0.0.1", "printer1"},
    {"EmptyBracketsGiveEmptyId", "TCP:10.0.0.1[]", 0, "TCP", "10.0.0.1", ""},
    {"BluetoothKeepsColons", "BT:00:11:22:33:44:55", 0, "BT", "00:11:22:33:44:55", std::nullopt},
    {"Usb", "USB:000123", 0, "USB", "000123", std::nullopt},
    {"PrefixAfterOtherText", "printer at TCP:host", 0, "TCP", "host", std::nullopt},
    {"BlanksBeforeBracketBelongToAddress", "TCP:host  [id]", 0, "TCP", "host  ", "id"},
    {"TextAfterClosingBracketIgnored", "TCP:host[id]tail]", 0, "TCP", "host", "id"},
    {"EmptyAddress", "TCP:", 0, "TCP", "", std::nullopt},
    {"EmptyAddressWithId", "TCPS:[x]", 0, "TCPS", "", "x"},
    {"EveryAllowedIdCharacter", "TCP:h[azAZ09._-]", 0, "TCP", "h", "azAZ09._-"},
    {"ClosingBracketWithoutOpeningIsAddress", "TCP:host]", 0, "TCP", "host]", std::nullopt},
    // The search order decides, not the position in the text.
    {"TcpsFoundBeforeEarlierTcp", "TCP:a TCPS:b", 0, "TCPS", "b", std::nullopt},
    {"TcpFoundBeforeEarlierUsb", "USB:a TCP:b", 0, "TCP", "b", std::nullopt},
    {"BlueToothFoundBeforeEarlierUsb", "USB:x BT:y", 0, "BT", "y", std::nullopt},

    {"OpenBracketWithoutClose", "TCP:host[abc", 1, nullptr, nullptr, std::nullopt},
    {"BlankInsideBrackets", "TCP:host[a b]", 1, nullptr, nullptr, std::nullopt},
    {"SlashInId", "TCP:host[a/b]", 1, nullptr, nullptr, std::nullopt},
    {"BracketInId", "TCP:h[a[b]", 1, nullptr, nullptr, std::nullopt},
    {"NonAsciiInId", "TCP:h[\xc3\xa4]", 1, nullptr, nullptr, std::nullopt},
    {"NoPrefix", "192.168.0.5", 1, nullptr, nullptr, std::nullopt},
    {"PrefixWithoutColon", "TCPS 10.0.0.1", 1, nullptr, nullptr, std::nullopt},
    {"LowerCasePrefix", "tcp:10.0.0.1", 1, nullptr, nullptr, std::nullopt},
    {"EmptyText", "", 1, nullptr, nullptr, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Targets, ParseTarget, ::testing::ValuesIn(kParseCases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ParseTargetArguments, NullTextOrOutIsAParameterError) {
  TdcTarget_t* parsed = nullptr;
  EXPECT_EQ(TdcParseTarget(nullptr, &parsed), 1);
  EXPECT_EQ(parsed, nullptr);
  EXPECT_EQ(TdcParseTarget("TCP:host", nullptr), 1);
  TdcFreeTarget(nullptr);  // ignored
}

struct PortTypeCase {
  const char* text;
  int result;
  int32_t type;  // what out holds afterwards (starting from 99)
};

TEST(GetPortType, TestsTheWordsInOrder) {
  const PortTypeCase cases[] = {
      {"TCPS", 0, 2},    {"TCP", 0, 1},    {"BT", 0, 3},
      {"USB", 0, 4},     {"xTCPSx", 0, 2},  // a substring is enough
      {"BTUSB", 0, 3},                      // BT is tested before USB
      {"USBTCP", 0, 1},                     // TCP before both
      {"serial", 1, 99}, {"tcp", 1, 99},   {"", 1, 99},
  };
  for (const auto& c : cases) {
    int32_t type = 99;
    EXPECT_EQ(TdcGetPortType(c.text, &type), c.result) << c.text;
    EXPECT_EQ(type, c.type) << c.text;
  }
  int32_t type = 99;
  EXPECT_EQ(TdcGetPortType(nullptr, &type), 1);
  EXPECT_EQ(type, 99);
  EXPECT_EQ(TdcGetPortType("TCP", nullptr), 1);
}

// What an app may hand to a connect; the reason names the target and the fault.
TEST(CheckTargetForm, KindAddressAndOptionalIdOnly) {
  struct Case {
    const char* target;
    const char* fault;  // null: accepted
  };
  const Case cases[] = {
      {"TCP:192.0.2.10", nullptr},
      {"TCP: printer-1.example", nullptr},
      {"TCPS:192.0.2.10[local_printer]", nullptr},
      {"TCP:192.0.2.10[]", nullptr},
      {"BT:00:01:90:aa:BB:cc", nullptr},
      {"USB:\\?\\usb#vid_04b8", nullptr},
      {"TCP:127.0.0.1:9100", "a TCP address takes no port (the ports are fixed)"},
      {"TCP:192.0.2.10/24", "a TCP address is a host name or an IPv4 address"},
      {"xTCP:192.0.2.10", "it must start with TCP:, TCPS:, BT: or USB:"},
      {"tcp:192.0.2.10", "it must start with TCP:, TCPS:, BT: or USB:"},
      {"192.0.2.10", "it must start with TCP:, TCPS:, BT: or USB:"},
      {"TCP:", "the address is empty"},
      {"TCP:[id]", "the address is empty"},
      {"TCP:192.0.2.10[id]x", "nothing may follow the device id"},
      {"TCP:192.0.2.10[id", "\"[\" without \"]\""},
      {"TCP:192.0.2.10]", "\"]\" without \"[\""},
      {"BT:000190AABBCC", "a BT address is six hex pairs joined by \":\""},
      {"BT:00:01:90:AA:BB:CG", "a BT address is six hex pairs joined by \":\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    std::string reason;
    EXPECT_EQ(TdcCheckTargetForm(c.target, &reason), c.fault ? 1 : 0);
    if (c.fault != nullptr) {
      EXPECT_EQ(reason, "target \"" + std::string(c.target) +
                            "\" is not <kind>:<address>[<id>]: " + c.fault);
    }
  }
  EXPECT_EQ(TdcCheckTargetForm(nullptr, nullptr), 1);
}

TEST(CheckDeviceId, AcceptsOnlyLettersDigitsDotUnderscoreDash) {
  const std::pair<const char*, int> cases[] = {
      {nullptr, 0}, {"", 0},    {"local_printer", 0}, {"A.b-9_", 0}, {"a b", 1},
      {"a\tb", 1},  {"a/b", 1}, {"a\\b", 1},          {"id]", 1},    {"\xc3\xa4", 1},
  };
  for (const auto& [id, result] : cases) {
    EXPECT_EQ(TdcCheckDeviceId(id), result) << (id ? id : "(null)");
  }
}

TEST(DirectPortMap, TlsHasNoDirectConnectionType) {
  const std::pair<int32_t, int32_t> expected[] = {{1, 0}, {2, kTdcNone}, {3, 1}, {4, 2}};
  for (const auto& [port, engine] : expected) {
    const TdcCodeMap_t* row = TdcFindRow(kTdcDirectPortMap, TdcColumn::Tdc, port);
    ASSERT_NE(row, nullptr) << port;
    EXPECT_EQ(row->engineValue, engine) << port;
  }
}

// ---- Environment extract ---------------------------------------------------------

int bluetoothMark;
int usbMark;
int context1Mark;
int context2Mark;
int reservedMark;  // the field nobody reads: its value must show up nowhere

TdcEnvData_t MarkedEnv() {
  return {&context1Mark, &context2Mark, &reservedMark, 1, &bluetoothMark, &usbMark};
}

struct EnvCase {
  int32_t portType;
  int32_t mode;
  void* portContext;
  int64_t isVirtual;
};

TEST(CopyEnvData, BothFormsCarryTheContextsOfTheirPortType) {
  const EnvCase cases[] = {
      {TDC_PORT_TCP, TDC_MODE_DIRECT, nullptr, 1},
      {TDC_PORT_TCPS, TDC_MODE_DIRECT, nullptr, 1},
      {TDC_PORT_BLUETOOTH, TDC_MODE_DIRECT, &bluetoothMark, 1},
      {TDC_PORT_USB, TDC_MODE_DIRECT, &usbMark, 1},
      {kTdcNone, TDC_MODE_DIRECT, nullptr, 1},
      // The service form has no virtual-machine flag.
      {TDC_PORT_TCP, TDC_MODE_SERVICE, nullptr, 0},
      {TDC_PORT_TCPS, TDC_MODE_SERVICE, nullptr, 0},
      {TDC_PORT_BLUETOOTH, TDC_MODE_SERVICE, &bluetoothMark, 0},
      {TDC_PORT_USB, TDC_MODE_SERVICE, &usbMark, 0},
  };
  const TdcEnvData_t env = MarkedEnv();
  for (const auto& c : cases) {
    SCOPED_TRACE("port " + std::to_string(c.portType) + " mode " + std::to_string(c.mode));
    TdcBackendEnv_t* out = nullptr;
    TdcCopyEnvData(c.portType, c.mode, &env, &out);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->context1, &context1Mark);
    EXPECT_EQ(out->context2, &context2Mark);
    EXPECT_EQ(out->portContext, c.portContext);
    EXPECT_EQ(out->isVirtual, c.isVirtual);
    EXPECT_NE(out->portContext, &reservedMark);
    EXPECT_NE(out->isVirtual, reinterpret_cast<intptr_t>(&reservedMark));
    std::free(out);
  }
}

TEST(CopyEnvData, IsVirtualIsCopiedAsItsValue) {
  TdcEnvData_t env = MarkedEnv();
  env.isVirtual = 0;
  TdcBackendEnv_t* out = nullptr;
  TdcCopyEnvData(TDC_PORT_TCP, TDC_MODE_DIRECT, &env, &out);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->isVirtual, 0);
  std::free(out);
}

TEST(CopyEnvData, WritesNothingForOtherModesOrMissingArguments) {
  const TdcEnvData_t env = MarkedEnv();
  for (const int32_t mode :
       {int32_t{TDC_MODE_NEVER_CONNECTED}, int32_t{TDC_MODE_CLOSED}, int32_t{3}}) {
    TdcBackendEnv_t* out = nullptr;
    TdcCopyEnvData(TDC_PORT_TCP, mode, &env, &out);
    EXPECT_EQ(out, nullptr) << mode;
  }
  TdcBackendEnv_t* out = nullptr;
  TdcCopyEnvData(TDC_PORT_TCP, TDC_MODE_DIRECT, nullptr, &out);
  EXPECT_EQ(out, nullptr);
  TdcCopyEnvData(TDC_PORT_TCP, TDC_MODE_DIRECT, &env, nullptr);  // no crash
}

}  // namespace
