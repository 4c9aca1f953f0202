// Display builder handle: checks, framing at build, sticky errors, copies.
#include "encoding/display/dsp_cmd_handle.h"

#include <cstdlib>
#include <cstring>

#include "../prn_test_util.h"
#include "encoding/alloc_hook.h"
#include "encoding/builder/cmd_handle.h"

using namespace tilo2::core;

namespace {

int Begin(DspCmdHandle_t* b, CmdAppendFn append) {
  const uint8_t bytes[] = {0x1B, 0x3D, 0x02};
  return CmdBufferAppendCopy(&b->cmdBuffer, append, bytes, 3);
}

int End(DspCmdHandle_t* b, CmdAppendFn append) {
  uint8_t bytes[5] = {0xEE};
  std::memcpy(bytes + 1, b->processId, 4);
  return CmdBufferAppendCopy(&b->cmdBuffer, append, bytes, 5);
}

int lastWindow = 0;
int CreateWindow(DspCmdHandle_t*, int window, int, int, int, int, int) {
  lastWindow = window;
  return 0;
}

// A builder with a minimal operation table standing in for a display model.
struct DspFixture : ::testing::Test {
  DspCmdHandle_t* b = nullptr;
  void SetUp() override {
    ASSERT_EQ(DspCmdAlloc("CD-TEST", 0, &b), 0);
    b->ops = static_cast<DspOps*>(EncodingAlloc(sizeof(DspOps)));
    *b->ops = DspOps{};
    b->ops->begin = Begin;
    b->ops->end = End;
    b->ops->createWindow = CreateWindow;
  }
  void TearDown() override {
    if (b != nullptr) {
      EXPECT_EQ(DspCmdClose(b), 0);
    }
  }
  Bytes Build(int* rc) {
    CmdData_t* d = nullptr;
    *rc = DspCmdBuild(b, &d);
    Bytes out;
    if (*rc == 0) {
      if (d->data != nullptr) out.assign(d->data, d->data + d->length);
      CmdDataFree(d);
    }
    return out;
  }
};

TEST(DspCmdHandle, FreshBuilderDefaultsShowInItsFirstJob) {
  // Job id "FFFF", no error recorded, no window defined: selecting window 4
  // records the error that the build then answers.
  DspCmdHandle_t* d = nullptr;
  ASSERT_EQ(DspCmdOpen("CD-A1", 0, &d), 0);
  EXPECT_STREQ(d->modelName, "CD-A1");
  ASSERT_EQ(DspCmdClear(d), 0);
  const uint8_t text[] = {'x'};
  ASSERT_EQ(DspCmdAddCommand(d, text, 1), 0);
  CmdData_t* data = nullptr;
  ASSERT_EQ(DspCmdBuild(d, &data), 0);
  const Bytes job(data->data, data->data + data->length);
  CmdDataFree(data);
  EXPECT_EQ(Bytes(job.end() - 4, job.end()), B({'F', 'F', 'F', 'F'}));
  ASSERT_EQ(d->ops->selectWindow(d, 4), 0);
  EXPECT_EQ(DspCmdBuild(d, &data), 4);
  EXPECT_EQ(DspCmdClose(d), 0);
}

TEST_F(DspFixture, BuildFramesOnceAndKeepsTheFrame) {
  int rc = -9;
  EXPECT_EQ(Build(&rc), Bytes{});  // empty body: an empty job
  EXPECT_EQ(rc, 0);
  const uint8_t text[] = {'h', 'i'};
  ASSERT_EQ(DspCmdAddCommand(b, text, 2), 0);
  std::memcpy(b->processId, "0007", 4);
  EXPECT_EQ(Build(&rc), B({0x1B, 0x3D, 0x02, 'h', 'i', 0xEE, 'F', 'F', 'F', 'F'}));
  EXPECT_EQ(ChunkCount(b->cmdBuffer.trailer), 1);  // made at the first build, kept since
  ASSERT_EQ(DspCmdClear(b), 0);
  EXPECT_EQ(b->cmdBuffer.bodyBytes, 0);
  EXPECT_EQ(b->cmdBuffer.headerBytes, 3);
}

TEST_F(DspFixture, StickyErrorRefusesBuildUntilClear) {
  const uint8_t text[] = {'x'};
  ASSERT_EQ(DspCmdAddCommand(b, text, 1), 0);
  b->stickyError = 4;
  CmdData_t* d = nullptr;
  EXPECT_EQ(DspCmdBuild(b, &d), 4);
  EXPECT_EQ(d, nullptr);
  ASSERT_EQ(DspCmdClear(b), 0);
  int rc = -9;
  Build(&rc);
  EXPECT_EQ(rc, 0);
}

TEST_F(DspFixture, EntryPointsCheckRangesThenSlots) {
  EXPECT_EQ(DspCmdCreateWindow(b, 0, 1, 1, 1, 1, 0), 1);
  EXPECT_EQ(DspCmdCreateWindow(b, 1, 21, 1, 1, 1, 0), 1);
  EXPECT_EQ(DspCmdCreateWindow(b, 1, 1, 3, 1, 1, 0), 1);
  EXPECT_EQ(DspCmdCreateWindow(b, 1, 1, 1, 1, 1, 3), 1);
  EXPECT_EQ(DspCmdCreateWindow(b, 4, 20, 2, 20, 2, 2), 0);
  EXPECT_EQ(lastWindow, 4);
  EXPECT_EQ(DspCmdSetCursorPosition(b, 0, 1), 1);
  EXPECT_EQ(DspCmdSetCursorPosition(b, 1, 1), 2);  // no slot in this table
  EXPECT_EQ(DspCmdSetLanguage(b, 7), 1);
  EXPECT_EQ(DspCmdSetLanguage(b, 6), 2);
  EXPECT_EQ(DspCmdAddMarquee(b, nullptr, 0, 1, 1, 0, 0), 1);
  EXPECT_EQ(DspCmdAddMarquee(b, "t", 2, 1, 1, 0, 0), 1);
  EXPECT_EQ(DspCmdAddMarquee(b, "t", 0, 2001, 1, 0, 0), 1);
  EXPECT_EQ(DspCmdAddMarquee(b, "t", 0, 1, 1, 128, 0), 1);
  EXPECT_EQ(DspCmdAddMarquee(b, "t", 0, 1, 1, 127, 6), 2);
  EXPECT_EQ(DspCmdAddCommand(b, nullptr, 1), 1);
  const uint8_t one = 1;
  EXPECT_EQ(DspCmdAddCommand(b, &one, 0), 1);
}

TEST_F(DspFixture, DuplicateIsDeepAndHasNoConverter) {
  const uint8_t text[] = {'a', 'b'};
  ASSERT_EQ(DspCmdAddCommand(b, text, 2), 0);
  b->windows[1] = DspWindow_t{1, 5, 1, 10, 2};
  DspCmdHandle_t* copy = nullptr;
  ASSERT_EQ(DspCmdDuplicate(b, &copy), 0);
  EXPECT_EQ(copy->converter, -1);
  EXPECT_EQ(copy->windows[1].width, 10);
  // The copy frames its jobs with the source's table.
  CmdData_t* built = nullptr;
  ASSERT_EQ(DspCmdBuild(copy, &built), 0);
  EXPECT_EQ(Bytes(built->data, built->data + 3), B({0x1B, 0x3D, 0x02}));
  CmdDataFree(built);
  EXPECT_NE(copy->cmdBuffer.body, b->cmdBuffer.body);
  EXPECT_EQ(ListBytes(copy->cmdBuffer.body), B({'a', 'b'}));
  EXPECT_EQ(DspCmdClose(copy), 0);
  EXPECT_EQ(DspCmdDuplicate(b, nullptr), 1);
  EXPECT_EQ(DspCmdDuplicate(nullptr, &copy), 1);
}

TEST(DspCmdHandle, UnknownModelsAndForeignHandles) {
  DspCmdHandle_t* d = nullptr;
  EXPECT_EQ(DspCmdOpen("no such display", 0, &d), 2);
  EXPECT_EQ(DspCmdOpen(nullptr, 0, &d), 1);
  EXPECT_EQ(DspCmdOpen("CD-A1", 0, nullptr), 1);

  PrnCmdHandle_t* p = nullptr;
  ASSERT_EQ(PrnCmdOpen("RP-S3", 0, &p), 0);
  // A printer builder is no display builder, nor built data.
  auto* asDisplay = reinterpret_cast<DspCmdHandle_t*>(p);
  EXPECT_EQ(DspCmdClear(asDisplay), 1);
  uint32_t len = 0;
  EXPECT_EQ(CmdDataGetLength(reinterpret_cast<CmdData_t*>(p), &len), 1);
  PrnCmdClose(p);

  ASSERT_EQ(DspCmdAlloc("CD-X", 0, &d), 0);
  // As for printer builders: close clears the tag before freeing.
  DspCmdHandle_t stale = *d;
  ASSERT_EQ(DspCmdClose(d), 0);
  stale.tag = 0;
  CmdData_t* data = nullptr;
  EXPECT_EQ(DspCmdBuild(&stale, &data), 1);
  EXPECT_EQ(DspCmdClose(&stale), 1);
}

}  // namespace
