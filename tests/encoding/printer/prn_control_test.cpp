// Header, trailer, buffer clear, alignment, feed and cut commands.
#include "encoding/printer/prn_control.h"

#include <cstring>

#include "../prn_test_util.h"

using namespace tilo2::core;

namespace {

struct Frame {
  const char* model;
  int lang;
  PrnFrameFn generator;
  int endorse40;
  Bytes bytes;
};

TEST(PrnControl, HeadersAtTheirDensities) {
  const Frame cases[] = {
      {"RP-S3", 0, PrnGenHeader, 0,
       B({0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1B, 0x54, 0x00, 0x1D, 0x50, 0xCB,
          0xCB})},
      {"RP-S6", 0, PrnGenHeader, 0,
       B({0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1B, 0x54, 0x00, 0x1D, 0x50, 0xB4,
          0xB4})},
      {"RP-M5", 0, PrnGenHeaderNoMotion, 0,
       B({0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1B, 0x54, 0x00})},
      {"RP-D4", 0, PrnGenHeaderImpact, 0, B({0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF})},
      {"RP-D6", 2, PrnGenHeaderImpact, 0, B({0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF})},
      // Hybrid headers: 203, 180 and 72 dots per inch.
      {"RP-S3", 0, PrnGenHeaderReceipt, 0,
       B({0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C, 0x28, 0x65, 0x02, 0x00,
          0x33, 0xFF, 0x1B, 0x54, 0x00, 0x1D, 0x50, 0xCB, 0xCB, 0x1B, 0x63, 0x31, 0x03})},
      {"RP-S6", 0, PrnGenHeaderSlip, 0,
       B({0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF, 0x1B, 0x54, 0x00, 0x1D, 0x50, 0xB4, 0xB4})},
      {"RP-D4", 0, PrnGenHeaderSlip, 0,
       B({0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF, 0x1B, 0x54, 0x00, 0x1D, 0x50, 0x48, 0x48})},
      {"RP-D4", 0, PrnGenHeaderEndorse, 1,
       B({0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF, 0x1B, 0x54, 0x00, 0x1D,
          0x50, 0x48, 0x48, 0x1D, 0x28, 0x7A, 0x02, 0x00, 0x30, 0x31})},
      {"RP-S3", 0, PrnGenHeaderEndorse, 0,
       B({0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF, 0x1B, 0x54, 0x00, 0x1D,
          0x50, 0xCB, 0xCB, 0x1D, 0x28, 0x7A, 0x02, 0x00, 0x30, 0x30})},
  };
  for (const Frame& c : cases) {
    SCOPED_TRACE(c.model);
    Builder b(c.model, c.lang);
    ASSERT_EQ(b.rc, 0);
    b->endorse40Column = c.endorse40;
    ASSERT_EQ(c.generator(b.get(), CmdBufferAppendHeader), 0);
    EXPECT_EQ(ListBytes(b->cmdBuffer.header), c.bytes);
    EXPECT_EQ(ChunkCount(b->cmdBuffer.header), 1);
    EXPECT_EQ(c.generator(nullptr, CmdBufferAppendHeader), 1);
    EXPECT_EQ(c.generator(b.get(), nullptr), 1);
  }
}

TEST(PrnControl, HybridHeaderInstalledInSlot0TakesEffectAfterClearing) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  b->headerWanted = 1;
  const uint8_t lf = 0x0A;
  ASSERT_EQ(PrnCmdAddCommand(b.get(), &lf, 1), 0);
  BuildJob(b.get());
  b->ops.control->header = PrnGenHeaderSlip;
  EXPECT_EQ(b->cmdBuffer.headerBytes, 15);
  BuildJob(b.get());
  EXPECT_EQ(b->cmdBuffer.headerBytes, 15);  // old header kept until cleared
  b->headerWanted = 0;
  BuildJob(b.get());
  b->headerWanted = 1;
  const Bytes job = BuildJob(b.get());
  EXPECT_EQ(
      job, B({0x1B, 0x3D, 0x01, 0x1D, 0x61, 0xFF, 0x1B, 0x54, 0x00, 0x1D, 0x50, 0xCB, 0xCB, 0x0A}));
}

TEST(PrnControl, TrailersAndClearBuffer) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  std::memcpy(b->processId, "0A1F", 4);
  ASSERT_EQ(PrnGenTrailer(b.get(), CmdBufferAppendTrailer), 0);
  Bytes expected(128, 0);
  expected = Cat(expected, B({0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30, 0x30, 0x41, 0x31, 0x46}));
  EXPECT_EQ(ListBytes(b->cmdBuffer.trailer), expected);
  EXPECT_EQ(b->cmdBuffer.trailer->size, 128);
  EXPECT_EQ(PrnGenTrailer(b.get(), nullptr), 1);

  ASSERT_EQ(PrnGenClearBuffer(b.get()), 0);
  EXPECT_EQ(BodyBytes(b.get()), B({0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08}));

  Builder d("RP-D4", 0);
  ASSERT_EQ(d.rc, 0);
  ASSERT_EQ(PrnGenTrailerImpact(d.get(), CmdBufferAppendTrailer), 0);
  EXPECT_EQ(ListBytes(d->cmdBuffer.trailer), B({0x1D, 0x72, 0x01}));
}

TEST(PrnControl, ImpactJobIsHeaderBodyAndStatusRequest) {
  Builder b("RP-D4", 0);
  ASSERT_EQ(b.rc, 0);
  b->headerWanted = 1;
  b->trailerWanted = 1;
  ASSERT_EQ(PrnCmdAddCut(b.get(), 0), 0);
  EXPECT_EQ(BuildJob(b.get()), B({0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1D, 0x56, 0x01,
                                  0x1D, 0x72, 0x01}));
}

TEST(PrnControl, AlignFeedAndCutCommands) {
  const OneArgCase cases[] = {
      {"align left", PrnGenAlign, 0, B({0x1B, 0x61, 0x00})},
      {"align center", PrnGenAlign, 1, B({0x1B, 0x61, 0x01})},
      {"align right", PrnGenAlign, 2, B({0x1B, 0x61, 0x02})},
      {"align 3", PrnGenAlign, 3, B({0x1B, 0x61, 0x00})},
      {"align -1", PrnGenAlign, -1, B({0x1B, 0x61, 0x00})},
      {"rotate on", PrnGenRotate, 1, B({0x1B, 0x7B, 0x01})},
      {"rotate 2", PrnGenRotate, 2, B({0x1B, 0x7B, 0x00})},
      {"feed 255 dots", PrnGenFeedUnit, 255, B({0x1B, 0x4A, 0xFF})},
      {"feed 0 dots", PrnGenFeedUnit, 0, B({0x1B, 0x4A, 0x00})},
      {"feed 3 lines", PrnGenFeedLine, 3, B({0x1B, 0x64, 0x03})},
      {"cut no feed", PrnGenCut, 0, B({0x1D, 0x56, 0x01})},
      {"cut feed", PrnGenCut, 1, B({0x1D, 0x56, 0x42, 0x00})},
      {"cut reserve", PrnGenCut, 2, B({0x1D, 0x56, 0x62, 0x00})},
      {"cut 7", PrnGenCut, 7, B({0x1D, 0x56, 0x42, 0x00})},
  };
  ExpectOneArgGoldens("RP-S3", 0, cases);
}

}  // namespace
