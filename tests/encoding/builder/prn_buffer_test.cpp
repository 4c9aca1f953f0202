// Chunk buffer and built data.
#include <cstdlib>
#include <cstring>

#include "../prn_test_util.h"
#include "encoding/builder/cmd_emit_vector.h"
#include "encoding/builder/cmd_handle.h"

using namespace tilo2::core;

namespace {

uint8_t* Block(const Bytes& bytes) {
  auto* p = static_cast<uint8_t*>(std::malloc(bytes.size()));
  std::memcpy(p, bytes.data(), bytes.size());
  return p;
}

struct BufferFixture : ::testing::Test {
  CmdBuffer_t buf{};
  ~BufferFixture() override { CmdBufferFree(&buf); }
};

TEST_F(BufferFixture, AppendKeepsOrderAndCountsEachList) {
  ASSERT_EQ(CmdBufferAppendBody(&buf, Block(B({1, 2})), 2), 0);
  ASSERT_EQ(CmdBufferAppendBody(&buf, Block(B({3})), 1), 0);
  ASSERT_EQ(CmdBufferAppendHeader(&buf, Block(B({0xA})), 1), 0);
  ASSERT_EQ(CmdBufferAppendTrailer(&buf, Block(B({0xE, 0xF})), 2), 0);
  EXPECT_EQ(buf.bodyBytes, 3);
  EXPECT_EQ(buf.headerBytes, 1);
  EXPECT_EQ(buf.trailerBytes, 2);
  EXPECT_EQ(ChunkCount(buf.body), 2);
  EXPECT_EQ(ListBytes(buf.body), B({1, 2, 3}));

  uint8_t out[16];
  uint32_t written = 0;
  ASSERT_EQ(CmdBufferFlatten(&buf, out, sizeof out, &written), 0);
  EXPECT_EQ(Bytes(out, out + written), B({0xA, 1, 2, 3, 0xE, 0xF}));
}

TEST_F(BufferFixture, RefusedAppendLeavesOwnershipAndBufferAlone) {
  uint8_t byte = 7;
  EXPECT_EQ(CmdBufferAppendBody(nullptr, &byte, 1), 1);
  EXPECT_EQ(CmdBufferAppendBody(&buf, nullptr, 1), 1);
  EXPECT_EQ(CmdBufferAppendBody(&buf, &byte, 0), 1);
  EXPECT_EQ(CmdBufferAppendHeader(&buf, &byte, -3), 1);
  EXPECT_EQ(buf.bodyBytes, 0);
  EXPECT_EQ(buf.body, nullptr);
  EXPECT_EQ(CmdBufferClearHeader(nullptr), 1);
  EXPECT_EQ(CmdBufferClearTrailer(nullptr), 1);
}

TEST_F(BufferFixture, FrameOnlyWithBodyAndStopsAtCapacity) {
  ASSERT_EQ(CmdBufferAppendHeader(&buf, Block(B({0xA})), 1), 0);
  ASSERT_EQ(CmdBufferAppendTrailer(&buf, Block(B({0xE})), 1), 0);
  uint8_t out[8];
  uint32_t written = 99;
  ASSERT_EQ(CmdBufferFlatten(&buf, out, sizeof out, &written), 0);
  EXPECT_EQ(written, 0u);  // no body: no frame either

  ASSERT_EQ(CmdBufferAppendBody(&buf, Block(B({1, 2, 3})), 3), 0);
  // Capacity 3: the header fits, the three-byte body chunk does not.
  ASSERT_EQ(CmdBufferFlatten(&buf, out, 3, &written), 3);
  EXPECT_EQ(written, 1u);
  EXPECT_EQ(CmdBufferFlatten(&buf, out, 0, &written), 1);
  EXPECT_EQ(CmdBufferFlatten(&buf, nullptr, 3, &written), 1);
}

TEST_F(BufferFixture, DataCreateEmptyBodyGivesEmptyRecord) {
  ASSERT_EQ(CmdBufferAppendHeader(&buf, Block(B({0xA})), 1), 0);
  CmdData_t* d = nullptr;
  ASSERT_EQ(CmdDataCreate(&buf, &d), 0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->data, nullptr);
  EXPECT_EQ(d->length, 0u);
  EXPECT_EQ(CmdDataDuplicate(d), nullptr);  // nothing to copy
  EXPECT_EQ(CmdDataFree(d), 0);
}

TEST_F(BufferFixture, DataCreateRefusesSummedSizesPastThirtyTwoBits) {
  // Counts as large as the lists can hold: their sum no longer fits a length.
  CmdBuffer_t huge{};
  huge.headerBytes = INT32_MAX;
  huge.bodyBytes = INT32_MAX;
  huge.trailerBytes = INT32_MAX;
  CmdData_t* d = nullptr;
  EXPECT_EQ(CmdDataCreate(&huge, &d), 3);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(CmdDataCreate(nullptr, &d), 1);
  EXPECT_EQ(CmdDataCreate(&buf, nullptr), 1);
}

TEST_F(BufferFixture, DataAccessorsDuplicateAndStaleHandles) {
  ASSERT_EQ(CmdBufferAppendBody(&buf, Block(B({5, 6, 7})), 3), 0);
  CmdData_t* d = nullptr;
  ASSERT_EQ(CmdDataCreate(&buf, &d), 0);
  EXPECT_EQ(d->size, sizeof(CmdData_t));
  EXPECT_EQ(d->tag, CmdMakeTag("DATH"));
  const uint8_t* p = nullptr;
  uint32_t len = 0;
  ASSERT_EQ(CmdDataGetData(d, &p), 0);
  ASSERT_EQ(CmdDataGetLength(d, &len), 0);
  EXPECT_EQ(Bytes(p, p + len), B({5, 6, 7}));
  EXPECT_EQ(CmdDataGetLength(d, nullptr), 1);

  CmdData_t* copy = CmdDataDuplicate(d);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->data, d->data);
  EXPECT_EQ(Bytes(copy->data, copy->data + copy->length), B({5, 6, 7}));
  EXPECT_EQ(CmdDataFree(copy), 0);

  // A record whose tag or size is wrong fails the check.
  CmdData_t fake = *d;
  fake.tag = CmdMakeTag("DEVH");
  EXPECT_EQ(CmdDataGetLength(&fake, &len), 1);
  fake.tag = d->tag;
  fake.size = sizeof(CmdData_t) - 1;
  EXPECT_EQ(CmdDataGetData(&fake, &p), 1);
  EXPECT_EQ(CmdDataFree(d), 0);
  EXPECT_EQ(CmdDataFree(nullptr), 1);
}

TEST_F(BufferFixture, CopyIsChunkByChunkAndIndependent) {
  ASSERT_EQ(CmdBufferAppendBody(&buf, Block(B({1})), 1), 0);
  ASSERT_EQ(CmdBufferAppendBody(&buf, Block(B({2, 3})), 2), 0);
  ASSERT_EQ(CmdBufferAppendTrailer(&buf, Block(B({9})), 1), 0);
  CmdBuffer_t copy{};
  ASSERT_EQ(CmdBufferCopy(&copy, &buf), 0);
  EXPECT_EQ(ChunkCount(copy.body), 2);
  EXPECT_EQ(copy.bodyBytes, 3);
  EXPECT_NE(copy.body->data, buf.body->data);
  EXPECT_EQ(ListBytes(copy.trailer), B({9}));
  // Appending to the copy goes after its own last chunk.
  ASSERT_EQ(CmdBufferAppendBody(&copy, Block(B({4})), 1), 0);
  EXPECT_EQ(ListBytes(copy.body), B({1, 2, 3, 4}));
  EXPECT_EQ(ListBytes(buf.body), B({1, 2, 3}));
  CmdBufferFree(&copy);
}

}  // namespace

// The emitters share one scratch vector per thread; a fill that emits another
// command must neither clobber the outer command's bytes nor lose its own.
TEST_F(BufferFixture, NestedEmitKeepsBothCommands) {
  int inner = -1;
  const int outer = CmdEmitFilled(&buf, CmdBufferAppendBody, [&](std::vector<uint8_t>& out) {
    out.insert(out.end(), {1, 2, 3});
    inner = CmdEmitAlways(&buf, CmdBufferAppendBody, [](std::vector<uint8_t>& in) {
      in.insert(in.end(), {7, 8});
    });
    out.push_back(4);
    return 0;
  });
  ASSERT_EQ(outer, 0);
  ASSERT_EQ(inner, 0);
  EXPECT_EQ(ListBytes(buf.body), B({7, 8, 1, 2, 3, 4}));
  EXPECT_EQ(ChunkCount(buf.body), 2);

  // The next command starts from an empty vector again.
  ASSERT_EQ(CmdEmitAlways(&buf, CmdBufferAppendBody,
                          [](std::vector<uint8_t>& out) {
                            EXPECT_TRUE(out.empty());
                            out.push_back(9);
                          }),
            0);
  EXPECT_EQ(ListBytes(buf.body), B({7, 8, 1, 2, 3, 4, 9}));
}

// A failing fill appends nothing, even after it wrote bytes.
TEST_F(BufferFixture, FailedFillAppendsNothing) {
  EXPECT_EQ(CmdEmitFilled(&buf, CmdBufferAppendBody,
                          [](std::vector<uint8_t>& out) {
                            out.push_back(1);
                            return 1;
                          }),
            1);
  EXPECT_EQ(buf.body, nullptr);
}
