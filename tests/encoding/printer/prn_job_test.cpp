// Building, clearing and copying a printer job.
#include <cstdlib>
#include <cstring>

#include "encoding/builder/cmd_handle.h"
#include "encoding/printer/prn_control.h"
#include "encoding/printer/prn_model.h"
#include "../prn_test_util.h"

namespace {

const Bytes kHeaderS3 = B({0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1B, 0x54, 0x00, 0x1D,
                           0x50, 0xCB, 0xCB});

Bytes Trailer(const char* id) {
  Bytes t(128, 0x00);
  return Cat(t, Cat(B({0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30}), Bytes(id, id + 4)));
}

struct JobFixture : ::testing::Test {
  Builder b{"RP-S3", 0};
  void SetUp() override {
    ASSERT_EQ(b.rc, 0);
    b->headerWanted = 1;
    b->trailerWanted = 1;
  }
  void AddLineFeed() {
    const uint8_t lf = 0x0A;
    ASSERT_EQ(PrnCmdAddCommand(b.get(), &lf, 1), 0);
  }
};

TEST_F(JobFixture, RPS3JobIs155BytesWithHeaderBodyPaddingAndJobId) {
  std::memcpy(b->processId, "0A1F", 4);
  AddLineFeed();
  const Bytes job = BuildJob(b.get());
  ASSERT_EQ(job.size(), 155u);
  EXPECT_EQ(job, Cat(Cat(kHeaderS3, B({0x0A})), Trailer("0A1F")));
  EXPECT_EQ(ChunkCount(b->cmdBuffer.trailer), 2);  // padding and request stay two chunks
}

TEST_F(JobFixture, EmptyBodyBuildsEmptyDataEvenWithFrameWanted) {
  CmdData_t* d = nullptr;
  ASSERT_EQ(PrnCmdBuild(b.get(), &d), 0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->length, 0u);
  EXPECT_EQ(d->data, nullptr);
  CmdDataFree(d);
}

TEST_F(JobFixture, SecondBuildRepeatsFrameWithoutRegenerating) {
  AddLineFeed();
  const Bytes first = BuildJob(b.get());
  const CmdChunk_t* header = b->cmdBuffer.header;
  const Bytes second = BuildJob(b.get());
  EXPECT_EQ(first, second);
  EXPECT_EQ(b->cmdBuffer.header, header);
  EXPECT_EQ(ChunkCount(b->cmdBuffer.header), 1);
  EXPECT_EQ(b->cmdBuffer.headerBytes, 15);
}

TEST_F(JobFixture, UnwantedFrameIsClearedAtBuild) {
  AddLineFeed();
  BuildJob(b.get());
  b->headerWanted = 0;
  b->trailerWanted = 0;
  EXPECT_EQ(BuildJob(b.get()), B({0x0A}));
  EXPECT_EQ(b->cmdBuffer.headerBytes, 0);
  EXPECT_EQ(b->cmdBuffer.trailerBytes, 0);
}

TEST_F(JobFixture, JobIdOfAnEarlierTrailerStaysUntilTheTrailerIsCleared) {
  AddLineFeed();
  std::memcpy(b->processId, "0001", 4);
  BuildJob(b.get());
  std::memcpy(b->processId, "0002", 4);
  Bytes job = BuildJob(b.get());
  EXPECT_EQ(Bytes(job.end() - 4, job.end()), B({'0', '0', '0', '1'}));
  b->trailerWanted = 0;
  BuildJob(b.get());
  b->trailerWanted = 1;
  job = BuildJob(b.get());
  EXPECT_EQ(Bytes(job.end() - 4, job.end()), B({'0', '0', '0', '2'}));
}

TEST_F(JobFixture, ClearDropsBodyAndResetsJobState) {
  AddLineFeed();
  BuildJob(b.get());
  b->positionX = 100;
  b->pageMode = 1;
  b->font = 2;
  b->underline = 1;
  b->emphasis = 1;
  b->color = 2;
  b->colorSent = 2;
  b->textLang = 4;
  b->widthScale = 3;
  ASSERT_EQ(PrnCmdClear(b.get()), 0);
  EXPECT_EQ(b->cmdBuffer.bodyBytes, 0);
  EXPECT_EQ(b->cmdBuffer.body, nullptr);
  EXPECT_EQ(b->cmdBuffer.headerBytes, 15);  // frame kept for the next job
  EXPECT_EQ(b->positionX, 0);
  EXPECT_EQ(b->pageMode, 0);
  EXPECT_EQ(b->font, 0);
  EXPECT_EQ(b->underline, 0);
  EXPECT_EQ(b->emphasis, 0);
  EXPECT_EQ(b->color, 1);
  EXPECT_EQ(b->colorSent, 1);
  EXPECT_EQ(b->textLang, 4);  // language and size survive a clear
  EXPECT_EQ(b->widthScale, 3);
}

TEST_F(JobFixture, AllocationDefaults) {
  EXPECT_EQ(b->size, sizeof(PrnCmdHandle_t));
  EXPECT_EQ(b->tag, CmdMakeTag("DEVH"));
  EXPECT_EQ(std::memcmp(b->processId, "FFFF", 4), 0);
  EXPECT_EQ(b->widthScale, 1);
  EXPECT_EQ(b->heightScale, 1);
  EXPECT_EQ(b->color, 1);
  EXPECT_EQ(b->colorSent, 1);
  EXPECT_EQ(b->textLang, 0);
  EXPECT_EQ(b->paperWidthCode, 0);
  EXPECT_EQ(b->endorse40Column, 0);
  EXPECT_EQ(b->replyRemainder.bytes, nullptr);
}

TEST_F(JobFixture, AddCommandChecksAndCopies) {
  uint8_t raw[] = {1, 2, 3};
  EXPECT_EQ(PrnCmdAddCommand(nullptr, raw, 3), 1);
  EXPECT_EQ(PrnCmdAddCommand(b.get(), nullptr, 3), 1);
  EXPECT_EQ(PrnCmdAddCommand(b.get(), raw, 0), 1);
  ASSERT_EQ(PrnCmdAddCommand(b.get(), raw, 3), 0);
  raw[0] = 9;  // the builder holds its own copy
  EXPECT_EQ(BodyBytes(b.get()), B({1, 2, 3}));
}

TEST_F(JobFixture, DuplicateCopiesEverythingButTheConverter) {
  AddLineFeed();
  std::memcpy(b->processId, "4242", 4);
  b->replyRemainder.bytes = static_cast<uint8_t*>(std::malloc(2));
  b->replyRemainder.bytes[0] = 0x37;
  b->replyRemainder.bytes[1] = 0x22;
  b->replyRemainder.length = 2;
  BuildJob(b.get());

  PrnCmdHandle_t* copy = PrnCmdDuplicate(b.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->converter, -1);
  EXPECT_STREQ(copy->modelName, "RP-S3");
  EXPECT_NE(copy->ops.text, b->ops.text);
  EXPECT_EQ(copy->ops.text->text, b->ops.text->text);
  EXPECT_NE(copy->ops.reply, b->ops.reply);
  EXPECT_NE(copy->cmdBuffer.body, b->cmdBuffer.body);
  ASSERT_NE(copy->replyRemainder.bytes, nullptr);
  EXPECT_NE(copy->replyRemainder.bytes, b->replyRemainder.bytes);
  EXPECT_EQ(Bytes(copy->replyRemainder.bytes, copy->replyRemainder.bytes + 2), B({0x37, 0x22}));
  EXPECT_EQ(BuildJob(copy), BuildJob(b.get()));

  // Changing the copy's tables leaves the source alone.
  ASSERT_EQ(PrnCmdSetRasterMode(copy, 3), 0);
  EXPECT_EQ(b->ops.image->image, PrnRasterModeGenerator(0));
  ASSERT_EQ(PrnCmdClose(copy), 0);
  EXPECT_EQ(BodyBytes(b.get()), B({0x0A}));
  EXPECT_EQ(PrnCmdDuplicate(nullptr), nullptr);
}

TEST(PrnCmdHandle, FreedOrForeignHandlesAnswer1) {
  PrnCmdHandle_t* b = nullptr;
  ASSERT_EQ(PrnCmdOpen("RP-S3", 0, &b), 0);
  // A copy of the record standing in for a stale pointer after close.
  PrnCmdHandle_t stale = *b;
  ASSERT_EQ(PrnCmdClose(b), 0);
  stale.tag = 0;
  CmdData_t* d = nullptr;
  EXPECT_EQ(PrnCmdAddText(&stale, "x"), 1);
  EXPECT_EQ(PrnCmdAddCut(&stale, 0), 1);
  EXPECT_EQ(PrnCmdBuild(&stale, &d), 1);
  EXPECT_EQ(PrnCmdClear(&stale), 1);
  EXPECT_EQ(PrnCmdClose(&stale), 1);
  EXPECT_EQ(PrnCmdSetRasterMode(&stale, 0), 1);
  EXPECT_EQ(PrnCmdDuplicate(&stale), nullptr);

  // A display-sized record with the right tag is still too small.
  struct Small {
    uint32_t size;
    uint32_t tag;
  } small{sizeof(Small), CmdMakeTag("DEVH")};
  EXPECT_EQ(PrnCmdClear(reinterpret_cast<PrnCmdHandle_t*>(&small)), 1);
  EXPECT_EQ(PrnCmdBuild(nullptr, &d), 1);
}

TEST(PrnCmdHandle, EntryPointsCheckArgumentsInOrder) {
  // The generic model has none of these tables: a bad argument must still
  // answer 1 there, before the table lookup answers 2.
  for (const char* model : {"RP-S3", ""}) {
    SCOPED_TRACE(model);
    Builder b(model, 0);
    ASSERT_EQ(b.rc, 0);
    const uint8_t d[] = {1};
    struct Case {
      const char* what;
      int rc;
      int expected;
    };
    const Case cases[] = {
        {"position -1", PrnCmdAddTextPosition(b.get(), -1), 1},
        {"position 65536", PrnCmdAddTextPosition(b.get(), 65536), 1},
        {"image width 0", PrnCmdAddImage(b.get(), 0, 1, d, 1, 1, 0), 1},
        {"image null data", PrnCmdAddImage(b.get(), 8, 1, nullptr, 1, 1, 0), 1},
        {"image color 5", PrnCmdAddImage(b.get(), 8, 1, d, 1, 5, 0), 1},
        {"image compress 2", PrnCmdAddImage(b.get(), 8, 1, d, 1, 1, 2), 1},
        {"gray compress 2", PrnCmdAddGrayImage(b.get(), 8, 1, d, 1, 2), 1},
        {"high density size 0", PrnCmdAddHighDensityImage(b.get(), 8, 1, d, 0, 1, 0), 1},
        {"barcode type 16", PrnCmdAddBarcode(b.get(), 16, d, 1), 1},
        {"barcode length 0", PrnCmdAddBarcode(b.get(), 0, d, 0), 1},
        {"symbol type 18", PrnCmdAddSymbol(b.get(), 18, d, 1), 1},
        {"symbol level 14", PrnCmdSetSymbolLevel(b.get(), 0, 14), 1},
        {"symbol height 0", PrnCmdSetSymbolHeight(b.get(), 0, 0), 1},
        {"symbol width 256", PrnCmdSetSymbolWidth(b.get(), 0, 256), 1},
        {"symbol size 65536", PrnCmdSetSymbolSize(b.get(), 0, 65536), 1},
        {"symbol percent 0", PrnCmdSetSymbolLevelPercent(b.get(), 12, 0), 1},
        {"hline style 6", PrnCmdAddHLine(b.get(), 0, 1, 6), 1},
        {"page area width 0", PrnCmdAddPageArea(b.get(), 0, 0, 0, 1), 1},
        {"page line y2 -1", PrnCmdAddPageLine(b.get(), 0, 0, 0, -1, 0), 1},
        {"layout type 4", PrnCmdAddLayout(b.get(), 4, 0, 0, 0, 0, 0, 1), 1},
        {"layout margin top -10000", PrnCmdAddLayout(b.get(), 0, 0, -10000, 0, 0, 0, 1), 1},
        {"layout offset label -1", PrnCmdAddLayout(b.get(), 0, 0, 0, 0, -1, 0, 1), 1},
        {"layout width 0", PrnCmdAddLayout(b.get(), 0, 0, 0, 0, 0, 0, 0), 1},
        {"cut type 3", PrnCmdAddCut(b.get(), 3), 1},
        // Lines come after the argument checks: the model has no line table.
        {"hline valid", PrnCmdAddHLine(b.get(), 0, 1, 5), 2},
    };
    for (const Case& c : cases) EXPECT_EQ(c.rc, c.expected) << c.what;
    EXPECT_EQ(b->cmdBuffer.bodyBytes, 0);
  }
}

TEST(PrnCmdHandle, CutResetsPositionAndPositionIsStored) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  b->positionX = 77;
  ASSERT_EQ(PrnCmdAddCut(b.get(), 1), 0);
  EXPECT_EQ(b->positionX, 0);
  EXPECT_EQ(BodyBytes(b.get()), B({0x1D, 0x56, 0x42, 0x00}));
  if (b->ops.text->positionX != nullptr) {
    ASSERT_EQ(PrnCmdAddTextPosition(b.get(), 300), 0);
    EXPECT_EQ(b->positionX, 300);
  } else {
    EXPECT_EQ(PrnCmdAddTextPosition(b.get(), 300), 2);
    EXPECT_EQ(b->positionX, 0);
  }
}

}  // namespace
