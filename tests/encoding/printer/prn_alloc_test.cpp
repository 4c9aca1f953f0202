// Out-of-memory paths of the command builder: every allocation in turn fails.
#include <cstdlib>
#include <cstring>

#include "../prn_test_util.h"
#include "encoding/printer/prn_control.h"
#include "encoding/printer/prn_text.h"
#include "encoding/test_hooks.h"

using namespace tilo2::core;

namespace {

// An RP-S3 job framed by header and trailer, one line feed as its body; rc 0 when made.
struct FramedLineFeed : Builder {
  FramedLineFeed() : Builder("RP-S3", 0) {
    if (rc != 0) return;
    b->headerWanted = 1;
    b->trailerWanted = 1;
    const uint8_t lf = 0x0A;
    rc = PrnCmdAddCommand(b, &lf, 1);
  }
};

TEST(PrnAlloc, OpenFailsCleanlyAtEveryAllocation) {
  FailingAlloc guard;
  int failAt = 0;
  for (;; ++failAt) {
    ASSERT_LT(failAt, 100);
    FailingAlloc::Arm(failAt);
    PrnCmdHandle_t* b = nullptr;
    int rc = PrnCmdOpen("RP-M5", 0, &b);
    if (!FailingAlloc::Fired()) {
      ASSERT_EQ(rc, 0);
      PrnCmdClose(b);
      break;
    }
    EXPECT_EQ(rc, 3) << failAt;
    EXPECT_EQ(b, nullptr);
  }
  EXPECT_GT(failAt, 5);  // the builder and its tables were all reached
}

TEST(PrnAlloc, DuplicateFailsAsAWholeAtEveryAllocation) {
  FramedLineFeed src;
  ASSERT_EQ(src.rc, 0);
  const Bytes job = BuildJob(src.get());
  src->replyRemainder.bytes = static_cast<uint8_t*>(std::malloc(1));
  src->replyRemainder.bytes[0] = 0x37;
  src->replyRemainder.length = 1;

  FailingAlloc guard;
  int failAt = 0;
  for (;; ++failAt) {
    ASSERT_LT(failAt, 100);
    FailingAlloc::Arm(failAt);
    PrnCmdHandle_t* copy = PrnCmdDuplicate(src.get());
    if (!FailingAlloc::Fired()) {
      ASSERT_NE(copy, nullptr);
      EncodingSetAllocator(nullptr);
      EXPECT_EQ(BuildJob(copy), job);
      // The copy's own reply table completes the packet its remainder holds.
      const uint8_t rest[] = {0x22, '0', 'A', '1', 'F', 0x00};
      int jobEnds = 0;
      ASSERT_EQ(copy->ops.reply->split(
                    copy, rest, sizeof rest,
                    [](int kind, const uint8_t* bytes, uint32_t length, void* user) {
                      if (kind == kPrnReplySeven && length == 7 && bytes[0] == 0x37) {
                        ++*static_cast<int*>(user);
                      }
                    },
                    &jobEnds),
                0);
      EXPECT_EQ(jobEnds, 1);
      PrnCmdClose(copy);
      break;
    }
    EXPECT_EQ(copy, nullptr) << failAt;  // never a copy missing a part
  }
  EXPECT_GT(failAt, 12);
}

TEST(PrnAlloc, GeneratorsKeepStateWhenTheirCommandCannotBeStored) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  FailingAlloc guard;
  FailingAlloc::Arm(0);
  EXPECT_EQ(PrnGenTextLang(b.get(), 3), 3);
  EXPECT_EQ(b->textLang, 3);  // the language is taken even so
  FailingAlloc::Arm(1);       // the block is made, its chunk record is not
  EXPECT_EQ(PrnGenFont(b.get(), 2), 3);
  EXPECT_EQ(b->font, 0);
  FailingAlloc::Arm(0);
  EXPECT_EQ(PrnGenWidthScale(b.get(), 2), 3);
  EXPECT_EQ(b->widthScale, 1);
  FailingAlloc::Arm(0);
  EXPECT_EQ(PrnCmdAddCut(b.get(), 0), 3);
  EXPECT_EQ(b->cmdBuffer.bodyBytes, 0);
  EXPECT_EQ(b->cmdBuffer.body, nullptr);
}

TEST(PrnAlloc, EncodedTextIsFreedWhenItsChunkCannotBeMade) {
  Builder b("RP-k4", 1);
  ASSERT_EQ(b.rc, 0);
  b->textLang = 1;  // the double-byte encoder: no converter in the way
  FailingAlloc guard;
  for (int failAt : {0, 1}) {  // the encoded block, then its chunk record
    FailingAlloc::Arm(failAt);
    EXPECT_EQ(PrnGenText(b.get(), "\xE3\x81\x82"), 3) << failAt;
    EXPECT_TRUE(FailingAlloc::Fired()) << failAt;
    EXPECT_EQ(b->cmdBuffer.bodyBytes, 0) << failAt;  // under ASan: and nothing leaked
  }
}

TEST(PrnAlloc, TrailerIsAllOrPaddingOnly) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  FailingAlloc guard;
  FailingAlloc::Arm(1);  // the padding's chunk record
  EXPECT_EQ(PrnGenTrailer(b.get(), CmdBufferAppendTrailer), 3);
  EXPECT_EQ(b->cmdBuffer.trailerBytes, 0);
  FailingAlloc::Arm(3);  // the chunk record of the request
  EXPECT_EQ(PrnGenTrailer(b.get(), CmdBufferAppendTrailer), 3);
  EXPECT_EQ(b->cmdBuffer.trailerBytes, 128);  // the padding chunk stays
  FailingAlloc::Arm(2);                       // the request block
  EXPECT_EQ(PrnGenTrailer(b.get(), CmdBufferAppendTrailer), 3);
  EXPECT_EQ(b->cmdBuffer.trailerBytes, 256);  // again only the padding
}

TEST(PrnAlloc, BuildReportsAFrameItCouldNotMake) {
  FramedLineFeed b;
  ASSERT_EQ(b.rc, 0);
  FailingAlloc guard;
  FailingAlloc::Arm(2);  // header done (block, chunk); trailer padding fails
  CmdData_t* d = nullptr;
  EXPECT_EQ(PrnCmdBuild(b.get(), &d), 3);
  EXPECT_EQ(d, nullptr);
  FailingAlloc::Arm(4);  // trailer made (4 allocations); the data record fails
  EXPECT_EQ(PrnCmdBuild(b.get(), &d), 3);
  EXPECT_EQ(d, nullptr);
  EncodingSetAllocator(nullptr);
  EXPECT_EQ(BuildJob(b.get()).size(), 155u);
}

TEST(PrnAlloc, TrailerWithoutItsJobIdRequestIsNotKeptByBuild) {
  FramedLineFeed b;
  ASSERT_EQ(b.rc, 0);
  std::memcpy(b->processId, "0A1F", 4);
  FailingAlloc guard;
  // Header block and chunk, padding and request blocks, padding chunk: the
  // request's chunk record is the sixth allocation.
  FailingAlloc::Arm(5);
  CmdData_t* d = nullptr;
  EXPECT_EQ(PrnCmdBuild(b.get(), &d), 3);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(b->cmdBuffer.trailerBytes, 0);
  EXPECT_EQ(b->cmdBuffer.trailer, nullptr);
  EncodingSetAllocator(nullptr);
  // The next build makes the whole trailer again, so the job reports its end.
  const Bytes job = BuildJob(b.get());
  ASSERT_EQ(job.size(), 155u);
  EXPECT_EQ(Bytes(job.end() - 11, job.end()),
            B({0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30, '0', 'A', '1', 'F'}));
}

TEST(PrnAlloc, KanjiLanguageIsTakenOnlyWithItsCommand) {
  Builder b("RP-S5", 2);
  ASSERT_EQ(b.rc, 0);
  FailingAlloc guard;
  FailingAlloc::Arm(1);  // the block is made, its chunk record is not
  EXPECT_EQ(b->ops.text->textLang(b.get(), 1), 3);
  EXPECT_EQ(b->textLang, 0);
  EXPECT_EQ(b->cmdBuffer.bodyBytes, 0);
  EncodingSetAllocator(nullptr);
  ASSERT_EQ(b->ops.text->textLang(b.get(), 1), 0);
  EXPECT_EQ(b->textLang, 1);
  EXPECT_EQ(BodyBytes(b.get()),
            B({0x1B, 0x74, 0x01, 0x1B, 0x52, 0x08, 0x1C, 0x43, 0x01, 0x1C, 0x26}));
}

}  // namespace
