#include "service/json_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tilo2::core {
namespace {

std::optional<std::vector<TdevDeviceRecord_t>> DeviceList(const std::string& text) {
  return TdevParseDeviceList(text.data(), text.size());
}

TEST(JsonDeviceList, ReadsRecordsInOrderWithOptionalModel) {
  const auto list =
      DeviceList(R"([{"deviceId":"local_printer","deviceType":"type_printer","modelName":"RP-1"},)"
                 R"( {"deviceId":"kb","deviceType":"type_keyboard","modelName":7},)"
                 R"( {"deviceType":"type_display","deviceId":"d\u00e9\ud83d\ude00"}])");
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 3u);
  EXPECT_EQ((*list)[0].deviceId, "local_printer");
  EXPECT_EQ((*list)[0].deviceType, "type_printer");
  EXPECT_EQ((*list)[0].modelName, std::optional<std::string>("RP-1"));
  // A model that is not a string is no model.
  EXPECT_EQ((*list)[1].modelName, std::nullopt);
  // \u escapes, a surrogate pair included, come out as UTF-8.
  EXPECT_EQ((*list)[2].deviceId, "d\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(JsonDeviceList, OneObjectIsOneRecordAndAnEmptyArrayNone) {
  const auto one = DeviceList(R"({"deviceId":"a","deviceType":"type_scanner"})");
  ASSERT_TRUE(one);
  ASSERT_EQ(one->size(), 1u);
  EXPECT_EQ((*one)[0].deviceType, "type_scanner");

  const auto none = DeviceList("[]");
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TEST(JsonDeviceList, AnyBadItemOrMalformedTextGivesNothing) {
  const char* cases[] = {
      // A device without its type fails the whole list.
      R"([{"deviceId":"a","deviceType":"type_printer"},{"deviceId":"b"}])",
      R"([{"deviceId":"a","deviceType":5}])",
      R"([{"deviceId":"a","deviceType":"type_printer"},3])",
      R"(["type_printer"])",
      // Truncated, bare words, trailing garbage, lone surrogates, raw control bytes.
      R"([{"deviceId":"a","deviceType":"type_printer"})",
      R"([{"deviceId":"a","deviceType":"type_pri)",
      "t",
      "tru",
      "",
      "42",
      R"("type_printer")",
      R"([{"deviceId":"a","deviceType":"type_printer"}] x)",
      R"([{"deviceId":"\ud83d","deviceType":"type_printer"}])",
      R"([{"deviceId":"\ude00x","deviceType":"type_printer"}])",
      "[{\"deviceId\":\"a\nb\",\"deviceType\":\"type_printer\"}]",
      R"([{"deviceId":"\q","deviceType":"type_printer"}])",
      R"([{"deviceId":"\u12G4","deviceType":"type_printer"}])",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(DeviceList(text));
  }
  EXPECT_FALSE(TdevParseDeviceList(nullptr, 0));
}

TEST(JsonDeviceList, ReadsOnlyTheGivenLength) {
  const std::string text = R"([{"deviceId":"a","deviceType":"type_printer"}]GARBAGE)";
  const size_t json_length = text.find("GARBAGE");
  EXPECT_TRUE(TdevParseDeviceList(text.data(), json_length));
  EXPECT_FALSE(TdevParseDeviceList(text.data(), json_length - 1));
}

TEST(JsonPortList, PortsAreTruncatedNumbersWithinInt32) {
  struct Case {
    const char* text;
    int32_t plain;
    int32_t tls;
  };
  const Case cases[] = {
      {R"({"NativeSocket":8009,"SSLNativeSocket":8143})", 8009, 8143},
      // Without "SSLNativeSocket" the TLS port reads 0.
      {R"({"NativeSocket":8009})", 8009, 0},
      {R"({"NativeSocket":8009.9,"SSLNativeSocket":-1.5})", 8009, -1},
      {R"({"NativeSocket":"8009","SSLNativeSocket":null})", 0, 0},
      {R"({"NativeSocket":2147483647,"SSLNativeSocket":-2147483648})", 2147483647, -2147483647 - 1},
      // Outside int32: as missing, never a wrapped value.
      {R"({"NativeSocket":2147483648,"SSLNativeSocket":-2147483649})", 0, 0},
      {R"({"NativeSocket":1e300,"SSLNativeSocket":18446744073709551616})", 0, 0},
      {R"({"NativeSocket":8.143e3})", 8143, 0},
      // A repeated key keeps its first value, also when a nested object repeats it.
      {R"({"NativeSocket":1,"x":{"NativeSocket":3},"NativeSocket":2})", 1, 0},
      {"{}", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto ports = TdevParsePortList(c.text, std::strlen(c.text));
    ASSERT_TRUE(ports);
    EXPECT_EQ(ports->plainPort, c.plain);
    EXPECT_EQ(ports->tlsPort, c.tls);
  }
  for (const char* text : {"[]", "8009", R"({"NativeSocket":80)", "n", ""}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(TdevParsePortList(text, std::strlen(text)));
  }
}

TEST(JsonSystemVersion, UnitFlagsCountOnlyForExactlyOne) {
  struct Case {
    const char* text;
    std::array<uint8_t, 3> units;
  };
  const Case cases[] = {
      {R"({"Services":[{"EndorsementUnit":"1","MICRUnit":"0"}]})", {1, 0, 0}},
      {R"({"Services":[{"EndorsementUnit":"1","ValidationUnit":"1","MICRUnit":"1"}]})", {1, 1, 1}},
      // Only the exact text "1": not empty, not "10", not a number.
      {R"({"Services":[{"EndorsementUnit":"","ValidationUnit":"10","MICRUnit":1}]})", {0, 0, 0}},
      // Items in order: an item without the member leaves it, a later "0" clears it.
      {R"({"Services":[{"MICRUnit":"1"},{"ValidationUnit":"1"},"x",{"MICRUnit":"0"}]})", {0, 1, 0}},
      {R"({"Services":{"EndorsementUnit":"1"}})", {0, 0, 0}},
      {R"({"services":[{"EndorsementUnit":"1"}]})", {0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto units = TdevParseSystemVersion(c.text, std::strlen(c.text));
    ASSERT_TRUE(units);
    EXPECT_EQ(*units, c.units);
  }
  for (const char* text : {"[]", R"({"Services":[{"EndorsementUnit":"1"}])", "t", ""}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(TdevParseSystemVersion(text, std::strlen(text)));
  }
}

}  // namespace
}  // namespace tilo2::core
