// Building, clearing and copying a printer job.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "../prn_test_util.h"
#include "encoding/builder/cmd_handle.h"
#include "encoding/printer/prn_control.h"
#include "encoding/printer/prn_model.h"

using namespace tilo2::core;

namespace {

const Bytes kHeaderS3 =
    B({0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1B, 0x54, 0x00, 0x1D, 0x50, 0xCB, 0xCB});

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

// A probe job whose bytes depend on every piece of per-job state: the image's
// place follows positionX and pageMode, the size command keeps the width
// scale, the text follows the text language; on the ribbon model the print
// mode carries font, underline and emphasis, and the text switches the
// ribbon when color and colorSent differ.
Bytes ProbeJob(PrnCmdHandle_t* b) {
  const uint8_t dots[] = {0xA5};
  const PrnTextOps& t = *b->ops.text;
  EXPECT_EQ(t.doubleHeight(b, 1), 0);
  EXPECT_EQ(t.text(b, "A\xEA\xB0\x80"), 0);  // a Hangul syllable: Korean or the code page
  b->positionX += 5;                         // kept whole in page mode, else rounded down to a byte
  EXPECT_EQ(b->ops.image->image(b, 8, 1, dots, 1, 1, 0), 0);
  return BuildJob(b);
}

// What a job leaves in a builder: text language 4 and width scale 3 kept, the
// rest of the job state set as generators and the device layer set it.
void DirtyJob(PrnCmdHandle_t* b) {
  const PrnTextOps& t = *b->ops.text;
  ASSERT_EQ(t.textLang(b, 4), 0);
  ASSERT_EQ(t.widthScale(b, 3), 0);
  ASSERT_EQ(t.font(b, 1), 0);
  ASSERT_EQ(t.underline(b, 1), 0);
  ASSERT_EQ(t.emphasis(b, 1), 0);
  if (t.color != nullptr) {
    ASSERT_EQ(t.color(b, 2), 0);
  }
  b->positionX = 100;  // the device layer's own fields
  b->pageMode = 1;
  BuildJob(b);
}

TEST(PrnJobClear, ClearedBuilderBuildsAsAFreshOneButKeepsLanguageAndSize) {
  for (const char* model : {"RP-S3", "RP-D4"}) {
    SCOPED_TRACE(model);
    Builder used(model, 0), fresh(model, 0);
    ASSERT_EQ(used.rc, 0);
    ASSERT_EQ(fresh.rc, 0);
    DirtyJob(used.get());
    ASSERT_EQ(PrnCmdClear(used.get()), 0);
    EXPECT_EQ(BuildJob(used.get()), Bytes{});  // the body is gone

    // A fresh builder that was only given the kept settings.
    ASSERT_EQ(fresh->ops.text->textLang(fresh.get(), 4), 0);
    ASSERT_EQ(fresh->ops.text->widthScale(fresh.get(), 3), 0);
    ASSERT_EQ(PrnCmdClear(fresh.get()), 0);
    const Bytes want = ProbeJob(fresh.get());
    EXPECT_EQ(ProbeJob(used.get()), want);

    // And what was kept shows: without those settings the probe differs.
    Builder plain(model, 0);
    EXPECT_NE(ProbeJob(plain.get()), want);
    Builder sizeOnly(model, 0);
    ASSERT_EQ(sizeOnly->ops.text->widthScale(sizeOnly.get(), 3), 0);
    ASSERT_EQ(PrnCmdClear(sizeOnly.get()), 0);
    EXPECT_NE(ProbeJob(sizeOnly.get()), want);  // the language shows in the text
  }
}

TEST_F(JobFixture, ClearKeepsTheFrameForTheNextJob) {
  std::memcpy(b->processId, "0001", 4);
  AddLineFeed();
  BuildJob(b.get());
  ASSERT_EQ(PrnCmdClear(b.get()), 0);
  std::memcpy(b->processId, "0002", 4);
  AddLineFeed();
  // Header and trailer of the earlier build stay until they are unwanted.
  EXPECT_EQ(BuildJob(b.get()), Cat(Cat(kHeaderS3, B({0x0A})), Trailer("0001")));
}

TEST_F(JobFixture, FreshBuilderDefaultsShowInItsFirstJob) {
  // Job id "FFFF", character size 1 x 1 (double width gives 2 x 1), text
  // language 0 (through the code-page converter), empty reply remainder.
  ASSERT_EQ(b->ops.text->doubleWidth(b.get(), 1), 0);
  ASSERT_EQ(PrnCmdAddText(b.get(), "A"), 0);
  EXPECT_EQ(BuildJob(b.get()),
            Cat(Cat(kHeaderS3, B({0x1D, 0x21, 0x10, 0x1B, 0x74, 0x00, 0x41})), Trailer("FFFF")));
  int packets = 0;
  const uint8_t status = 0x01;
  ASSERT_EQ(b->ops.reply->split(
                b.get(), &status, 1,
                [](int, const uint8_t* bytes, uint32_t length, void* user) {
                  if (length == 1 && bytes[0] == 0x01) ++*static_cast<int*>(user);
                },
                &packets),
            0);
  EXPECT_EQ(packets, 1);
  // No paper width known yet.
  int dots = 0;
  EXPECT_EQ(b->getPrintableWidth(b.get(), &dots), 2);
  // 80-column endorsement until the engine asks for 40.
  ASSERT_EQ(PrnCmdClear(b.get()), 0);
  b->ops.control->header = PrnGenHeaderEndorse;
  b->headerWanted = 0;
  BuildJob(b.get());  // drops the standard header
  b->headerWanted = 1;
  AddLineFeed();
  const Bytes job = BuildJob(b.get());
  const Bytes columns = B({0x1D, 0x28, 0x7A, 0x02, 0x00, 0x30, 0x30});
  EXPECT_NE(std::search(job.begin(), job.end(), columns.begin(), columns.end()), job.end());

  // The ribbon model starts in color 1 with the ribbon there: no switch.
  Builder d4("RP-D4", 0);
  ASSERT_EQ(d4.rc, 0);
  ASSERT_EQ(PrnCmdAddText(d4.get(), "A"), 0);
  EXPECT_EQ(BodyBytes(d4.get()), B({0x1B, 0x74, 0x00, 0x41}));
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
  // No converter: text the source converts fails in the copy.
  EXPECT_EQ(PrnCmdAddText(copy, "A"), -1);
  EXPECT_STREQ(copy->modelName, "RP-S3");
  EXPECT_NE(copy->cmdBuffer.body, b->cmdBuffer.body);
  ASSERT_NE(copy->replyRemainder.bytes, nullptr);
  EXPECT_NE(copy->replyRemainder.bytes, b->replyRemainder.bytes);
  EXPECT_EQ(Bytes(copy->replyRemainder.bytes, copy->replyRemainder.bytes + 2), B({0x37, 0x22}));
  EXPECT_EQ(BuildJob(copy), BuildJob(b.get()));

  // Changing the copy's tables leaves the source's alone.
  const uint8_t dots[] = {0xA5};
  ASSERT_EQ(PrnCmdClear(b.get()), 0);
  ASSERT_EQ(PrnCmdAddImage(b.get(), 8, 1, dots, 1, 1, 0), 0);
  const Bytes image = BodyBytes(b.get());
  ASSERT_EQ(PrnCmdSetRasterMode(copy, 3), 0);
  ASSERT_EQ(PrnCmdClear(copy), 0);
  ASSERT_EQ(PrnCmdAddImage(copy, 8, 1, dots, 1, 1, 0), 0);
  EXPECT_NE(BodyBytes(copy), image);
  ASSERT_EQ(PrnCmdClear(b.get()), 0);
  ASSERT_EQ(PrnCmdAddImage(b.get(), 8, 1, dots, 1, 1, 0), 0);
  EXPECT_EQ(BodyBytes(b.get()), image);
  ASSERT_EQ(PrnCmdClose(copy), 0);
  EXPECT_EQ(BodyBytes(b.get()), image);
  EXPECT_EQ(PrnCmdDuplicate(nullptr), nullptr);
}

TEST(PrnCmdHandle, FreedOrForeignHandlesAnswer1) {
  PrnCmdHandle_t* b = nullptr;
  ASSERT_EQ(PrnCmdOpen("RP-S3", 0, &b), 0);
  // A copy of the record standing in for a stale pointer after close: close
  // clears the tag before it frees the record, and reading the freed record
  // itself would be a use after free, so the copy gets the cleared tag here.
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
