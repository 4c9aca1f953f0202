// The reply table of the builders: splitting on the generic model, the
// job-end test of each model family, and a partial packet carried by a copy.
#include <utility>
#include <vector>

#include "../prn_test_util.h"
#include "encoding/printer/prn_model.h"

using namespace tilo2::core;

namespace {

struct Packets {
  std::vector<std::pair<int, Bytes>> got;
  static void Handler(int kind, const uint8_t* bytes, uint32_t length, void* user) {
    static_cast<Packets*>(user)->got.emplace_back(kind, Bytes(bytes, bytes + length));
  }
};

int Split(PrnCmdHandle_t* b, const Bytes& chunk, Packets& p) {
  return b->ops.reply->split(b, chunk.data(), uint32_t(chunk.size()), Packets::Handler, &p);
}

TEST(PrnReplyTable, GenericModelSplitsStatusAndJobEndReplies) {
  Builder g("", 0);
  ASSERT_EQ(g.rc, 0);
  Packets p;
  ASSERT_EQ(Split(g.get(), B({0x14, 0x00, 0x00, 0x0F, 0x37, 0x22, '0', 'A'}), p), 0);
  ASSERT_EQ(Split(g.get(), B({'1', 'F', 0x00}), p), 0);
  ASSERT_EQ(p.got.size(), 2u);
  EXPECT_EQ(p.got[0], std::make_pair(0, B({0x14, 0x00, 0x00, 0x0F})));
  EXPECT_EQ(p.got[1], std::make_pair(8, B({0x37, 0x22, '0', 'A', '1', 'F', 0x00})));
  EXPECT_EQ(g->ops.reply->isJobEnd, nullptr);  // the engine's status builder has no job end
}

TEST(PrnReplyTable, JobEndTestOfEachFamily) {
  const Bytes answer = B({0x37, 0x22, '0', 'A', '1', 'F', 0x00});
  Builder s3("RP-S3", 0);
  Builder d4("RP-D4", 0);
  ASSERT_EQ(s3.rc, 0);
  ASSERT_EQ(d4.rc, 0);
  int isEnd = -1;
  ASSERT_EQ(s3->ops.reply->isJobEnd(s3.get(), 8, answer.data(), 7, &isEnd), 0);
  EXPECT_EQ(isEnd, 1);
  const uint8_t status = 0x00;
  ASSERT_EQ(s3->ops.reply->isJobEnd(s3.get(), 3, &status, 1, &isEnd), 0);
  EXPECT_EQ(isEnd, 0);
  ASSERT_EQ(d4->ops.reply->isJobEnd(d4.get(), 3, &status, 1, &isEnd), 0);
  EXPECT_EQ(isEnd, 1);  // the one status byte answering GS r 1
}

TEST(PrnReplyTable, CopyCarriesAPartialPacket) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  Packets p;
  ASSERT_EQ(Split(b.get(), B({0x37, 0x22, '0'}), p), 0);
  EXPECT_TRUE(p.got.empty());
  PrnCmdHandle_t* copy = PrnCmdDuplicate(b.get());
  ASSERT_NE(copy, nullptr);
  ASSERT_EQ(Split(copy, B({'A', '1', 'F', 0x00}), p), 0);
  ASSERT_EQ(p.got.size(), 1u);
  EXPECT_EQ(p.got[0].second, B({0x37, 0x22, '0', 'A', '1', 'F', 0x00}));
  PrnCmdClose(copy);
  EXPECT_EQ(b->replyRemainder.length, 3);  // the source keeps its own
}

}  // namespace
