// The reply table's adapters: the job-end test of each model family, and the
// builder's own remainder carried between chunks and into a duplicate.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../reply_packet.h"
#include "encoding/printer/prn_cmd.h"
#include "encoding/printer/prn_model.h"

using namespace tilo2::core;

namespace {

using reply_test::Bytes;
using reply_test::Packet;
using reply_test::str;

TEST(ReplyJobEnd, RecognisesTheTrailerAnswerOfEachModelFamily) {
  const Bytes answer = str(std::string("7\"0A1F") + '\0');
  const Bytes other = str(std::string("7A0A1F") + '\0');
  struct Case {
    bool impact;
    int kind;
    const Bytes* bytes;
    uint32_t length;
    int isEnd;
  } cases[] = {
      {false, 8, &answer, 7, 1}, {false, 8, &other, 7, 0},  {false, 8, &answer, 6, 0},
      {false, 6, &answer, 7, 0}, {false, 3, &answer, 1, 0}, {true, 3, &answer, 1, 1},
      {true, 8, &answer, 7, 0},  {true, 0, &answer, 4, 0},
  };
  for (const Case& c : cases) {
    int isEnd = -1;
    int r = c.impact ? PrnIsJobEndReplyImpact(nullptr, c.kind, c.bytes->data(), c.length, &isEnd)
                     : PrnIsJobEndReply(nullptr, c.kind, c.bytes->data(), c.length, &isEnd);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(isEnd, c.isEnd) << "impact " << c.impact << " kind " << c.kind << " length "
                              << c.length;
  }
  int isEnd = 0;
  EXPECT_EQ(PrnIsJobEndReply(nullptr, 8, nullptr, 7, &isEnd), 1);
  EXPECT_EQ(PrnIsJobEndReply(nullptr, 8, answer.data(), 7, nullptr), 1);
  EXPECT_EQ(PrnIsJobEndReplyImpact(nullptr, 3, nullptr, 1, &isEnd), 0);
  EXPECT_EQ(PrnIsJobEndReplyImpact(nullptr, 3, answer.data(), 1, nullptr), 1);
}

void collect(int kind, const uint8_t* bytes, uint32_t length, void* user) {
  static_cast<std::vector<Packet>*>(user)->push_back({kind, Bytes(bytes, bytes + length)});
}

// The reply table of every model, the generic one included, splits into the
// builder's own remainder; a duplicate carries the unfinished packet along.
TEST(ReplySplitter, BuilderKeepsTheRemainderBetweenChunks) {
  for (const char* model : {"", "RP-S3", "RP-D4"}) {
    SCOPED_TRACE(model);
    PrnCmdHandle_t* b = nullptr;
    ASSERT_EQ(PrnCmdOpen(model, 0, &b), 0);
    ASSERT_NE(b->ops.reply, nullptr);
    std::vector<Packet> got;
    const uint8_t first[] = {0x37, 0x22, 0x30};
    const uint8_t second[] = {0x41, 0x31, 0x46, 0x00};
    ASSERT_EQ(b->ops.reply->split(b, first, 3, collect, &got), 0);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(b->replyRemainder.length, 3);

    PrnCmdHandle_t* copy = PrnCmdDuplicate(b);
    ASSERT_NE(copy, nullptr);
    std::vector<Packet> fromCopy;
    ASSERT_EQ(PrnSplitReply(copy, second, 4, collect, &fromCopy), 0);
    PrnCmdClose(copy);

    ASSERT_EQ(PrnSplitReply(b, second, 4, collect, &got), 0);
    const std::vector<Packet> expected = {{8, {0x37, 0x22, 0x30, 0x41, 0x31, 0x46, 0x00}}};
    EXPECT_EQ(got, expected);
    EXPECT_EQ(fromCopy, expected);
    EXPECT_EQ(b->replyRemainder.length, 0);

    EXPECT_EQ(PrnSplitReply(b, nullptr, 1, collect, &got), 1);
    EXPECT_EQ(PrnSplitReply(nullptr, first, 3, collect, &got), 1);
    PrnCmdClose(b);
  }
}

}  // namespace
