// The model cache: a model is built once per compiled-in model file however
// the path to it is spelled, and kept after its handles close.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "converter_test_util.h"
#include "encoding/codepage/ovuc_model.h"

using namespace tilo2::core;

namespace {

using convtest::Open;

// Every spelling of one file, opened and closed one after the other, shares
// the model of the first open; a file of another text gets a model of its own.
TEST(ConverterCache, SpellingsOfOneFileShareOneModel) {
  // A new file table generation starts the cache afresh (same files).
  convtest::FileTableOverride fresh({});
  const OvucHandle first = Open("RP-S3_ank.txt");
  ASSERT_GT(first, 0);
  ASSERT_EQ(OvucCachedModelCount(), 1u);
  OvucCloseHandle(first);

  std::vector<std::string> spellings = {"/RP-S3_ank.txt", "\\RP-S3_ank.txt", "a\\b/RP-S3_ank.txt",
                                        "/usr/local/ORVIK/OrvUCCvt/RP-S3_ank.txt",
                                        "..//RP-S3_ank.txt"};
  for (int i = 0; i < 300; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "d%d/RP-S3_ank.txt", i);
    spellings.emplace_back(name);
  }
  for (const std::string& name : spellings) {
    const OvucHandle h = Open(name);
    ASSERT_GT(h, 0) << name;
    OvucCloseHandle(h);
    ASSERT_EQ(OvucCachedModelCount(), 1u) << name;
  }

  // Another family's file: a second model, shared by its own spellings.
  for (const char* name : {"RP-D6_sc.txt", "x/RP-D6_sc.txt", "y\\RP-D6_sc.txt"}) {
    const OvucHandle h = Open(name);
    ASSERT_GT(h, 0) << name;
    OvucCloseHandle(h);
    EXPECT_EQ(OvucCachedModelCount(), 2u) << name;
  }
  // A name that resolves to no file builds nothing and caches nothing.
  EXPECT_EQ(Open("d1/RP-S3_ank.txt.bak"), OVUC_ERR_MODEL_MISSING);
  EXPECT_EQ(OvucCachedModelCount(), 2u);
}

// Handles open at the same time on different spellings convert alike.
TEST(ConverterCache, SharedModelConvertsForEveryHandle) {
  const OvucHandle a = Open("RP-S12E_ank.txt");
  const OvucHandle b = Open("elsewhere/RP-S12E_ank.txt");
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  const convtest::Bytes want = {0x1B, 't', 0, 'A', 0x1B, 'R', 13, 0x5C, 0x1B, 'R', 11};
  EXPECT_EQ(convtest::ConvertText(a, "A\u20A9").bytes, want);
  OvucCloseHandle(a);
  EXPECT_EQ(convtest::ConvertText(b, "A\u20A9").bytes, want);
  OvucCloseHandle(b);
}

}  // namespace
