// Output waiting in a handle between texts: only a text that was converted
// and failed may be discarded; a refused call converts nothing and must leave
// the waiting output (and whether it belongs to a failed text) alone.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "converter_test_util.h"

namespace {

using convtest::Bytes;
using convtest::ConvertText;
using convtest::Open;

constexpr uint8_t ESC = 0x1B;

struct Refusal {
  const char* what;
  int expected;
  std::function<int(OvucHandle)> call;
};

const Refusal kRefusals[] = {
    {"empty data", OVUC_ERR_ARGUMENT, [](OvucHandle h) { return OvucSetData(h, "", 0); }},
    {"data with length 0", OVUC_ERR_ARGUMENT, [](OvucHandle h) { return OvucSetData(h, "Z", 0); }},
    {"null data", OVUC_ERR_ARGUMENT, [](OvucHandle h) { return OvucSetData(h, nullptr, 0); }},
    {"null data with a length", OVUC_ERR_ARGUMENT,
     [](OvucHandle h) { return OvucSetData(h, nullptr, 3); }},
    {"fetch without size", OVUC_ERR_ARGUMENT,
     [](OvucHandle h) {
       uint8_t buf[64];
       return OvucGetOutputData(h, buf, nullptr);
     }},
    {"fetch into null with a size", OVUC_ERR_ARGUMENT,
     [](OvucHandle h) {
       size_t size = 64;
       return OvucGetOutputData(h, nullptr, &size);
     }},
    {"fetch into a buffer too small", OVUC_ERR_BUFFER_SMALL,
     [](OvucHandle h) {
       uint8_t buf[1];
       size_t size = sizeof buf;
       return OvucGetOutputData(h, buf, &size);
     }},
    {"data for handle 0", OVUC_ERR_HANDLE, [](OvucHandle) { return OvucSetData(0, "Z", 1); }},
    {"data for a handle above the limit", OVUC_ERR_HANDLE,
     [](OvucHandle) { return OvucSetData(101, "Z", 1); }},
    {"encode type for handle -1", OVUC_ERR_HANDLE,
     [](OvucHandle) { return OvucSetEncodeType(-1); }},
};

Bytes Fetch(OvucHandle h) {
  size_t size = 0;
  if (OvucGetOutputData(h, nullptr, &size) != OVUC_ERR_BUFFER_SMALL) return {};
  Bytes out(size);
  if (OvucGetOutputData(h, out.data(), &size) != OVUC_OK) return {0xEE};
  return out;
}

// "A", a refused call, "B": both texts come out, as if nothing came between.
TEST(ConverterPending, RefusedCallKeepsTheOutputOfEarlierTexts) {
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.what);
    const OvucHandle h = Open("RP-S3_ank.txt");
    ASSERT_GT(h, 0);
    OvucSetEncodeType(h);
    ASSERT_EQ(OvucSetData(h, "A", 1), OVUC_OK);
    EXPECT_EQ(r.call(h), r.expected);
    ASSERT_EQ(OvucSetData(h, "B", 1), OVUC_OK);
    EXPECT_EQ(Fetch(h), (Bytes{ESC, 't', 0, 'A', 'B'}));
    OvucCloseHandle(h);
  }
}

// A failed text stays fetchable across a refused call, and is still dropped
// by the next text that is converted.
TEST(ConverterPending, RefusedCallNeitherDropsNorRescuesAFailedText) {
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.what);
    const OvucHandle h = Open("RP-S3_ank.txt");
    ASSERT_GT(h, 0);
    OvucSetEncodeType(h);
    ASSERT_EQ(OvucSetData(h, "X", 1), OVUC_OK);
    ASSERT_EQ(OvucSetData(h,
                          "A\x80"
                          "B",
                          3),
              OVUC_WARN_BAD_UTF8);
    EXPECT_EQ(r.call(h), r.expected);
    EXPECT_EQ(ConvertText(h, "C").bytes, (Bytes{ESC, 't', 0, 'C'}));

    ASSERT_EQ(OvucSetData(h, "A\x80", 2), OVUC_WARN_BAD_UTF8);
    EXPECT_EQ(r.call(h), r.expected);
    EXPECT_EQ(Fetch(h), (Bytes{ESC, 't', 0, 'A', '?'}));
    OvucCloseHandle(h);
  }
}

}  // namespace
