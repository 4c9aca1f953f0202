// Result maps and print job ids.

#include "engine/print_result.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/job_id.h"

using namespace tilo2::core;

namespace {

TEST(PrintResult, LowerLayerResultsMapAsOneTable) {
  struct Row {
    int in;
    int io;
    int builder;
    int lenient;
  };
  const Row rows[] = {
      {0, 0, 0, 0},       {1, 1, 1, 1},       {2, 2, 8, 0},        {3, 3, 5, 5},
      {4, 4, 255, 255},   {5, 5, 255, 255},   {6, 6, 255, 255},    {7, 7, 255, 255},
      {8, 255, 255, 255}, {9, 255, 255, 255}, {-1, 255, 255, 255}, {255, 255, 255, 255},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(ConvertIoResult(row.in), row.io);
    EXPECT_EQ(ConvertBuilderResult(row.in), row.builder);
    EXPECT_EQ(ConvertBuilderResultLenient(row.in), row.lenient);
  }
}

std::string NextId() {
  char id[kJobIdLength + 1] = {'x', 'x', 'x', 'x', 'x'};
  NewPrintJobId(id);
  EXPECT_EQ(id[kJobIdLength], 'x') << "an id is written without a terminator";
  return std::string(id, kJobIdLength);
}

TEST(JobId, RunsToZeroFFEThenStartsAgainAtZero) {
  // Other tests may have taken ids, so follow the counter from wherever it is
  // through one full cycle.
  int previous = std::stoi(NextId(), nullptr, 16);
  bool wrapped = false;
  for (int i = 0; i < 0xFFF; ++i) {
    const std::string text = NextId();
    ASSERT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos) << text;
    const int id = std::stoi(text, nullptr, 16);
    ASSERT_NE(text, "0FFF");
    if (previous == 0xFFE) {
      ASSERT_EQ(text, "0000");
      wrapped = true;
    } else {
      ASSERT_EQ(id, previous + 1);
    }
    previous = id;
  }
  EXPECT_TRUE(wrapped);
}

}  // namespace
