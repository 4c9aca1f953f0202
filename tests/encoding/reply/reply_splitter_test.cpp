#include "encoding/reply/reply_splitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "../reply_packet.h"
#include "encoding/test_hooks.h"

using namespace tilo2::core;

namespace {

using reply_test::Bytes;
using reply_test::Packet;
using reply_test::str;

// Feeds chunks into one remainder and records every packet handed over.
class Splitter {
 public:
  ~Splitter() { PrnReplyRemainderFree(&rem_); }

  int feed(const Bytes& chunk) {
    chunk_ = &chunk;
    static const uint8_t kEmpty = 0;
    return PrnSplitReplyStream(&rem_, chunk.empty() ? &kEmpty : chunk.data(),
                               static_cast<uint32_t>(chunk.size()), &Splitter::record, this);
  }
  int feedAll(const std::vector<Bytes>& chunks) {
    for (const Bytes& c : chunks)
      if (int r = feed(c); r != 0) return r;
    return 0;
  }

  std::vector<Packet> packets;
  std::vector<bool> inCallerBuffer;
  PrnReplyRemainder_t rem_{nullptr, 0};

 private:
  static void record(int kind, const uint8_t* bytes, uint32_t length, void* user) {
    auto* self = static_cast<Splitter*>(user);
    self->packets.push_back({kind, Bytes(bytes, bytes + length)});
    const Bytes& c = *self->chunk_;
    self->inCallerBuffer.push_back(!c.empty() && bytes >= c.data() &&
                                   bytes + length <= c.data() + c.size());
  }
  const Bytes* chunk_ = nullptr;
};

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct SplitCase {
  const char* name;
  std::vector<Bytes> chunks;
  std::vector<Packet> expected;
};

TEST(ReplySplitter, DeliversPacketsOfEachFormAcrossChunks) {
  const std::vector<SplitCase> cases = {
      {"auto status in one chunk", {{0x14, 0x00, 0x00, 0x0F}}, {{0, {0x14, 0x00, 0x00, 0x0F}}}},
      {"auto status over two chunks",
       {{0x14, 0x00}, {0x00, 0x0F}},
       {{0, {0x14, 0x00, 0x00, 0x0F}}}},
      {"broken auto status is dropped", {{0x14, 0x00}, {0x80, 0x01}}, {{3, {0x00}}, {3, {0x01}}}},
      {"job end answer",
       {str(std::string("7\"0A1F") + '\0')},
       {{8, str(std::string("7\"0A1F") + '\0')}}},
      {"job end answer split",
       {{0x37, 0x22, 0x30}, {0x41, 0x31, 0x46, 0x00}},
       {{8, {0x37, 0x22, 0x30, 0x41, 0x31, 0x46, 0x00}}}},
      {"header block with empty body", {{0x37, 0x00, 0x41}}, {{3, {0x00}}, {3, {0x41}}}},
      {"S block waits for seven bytes",
       {{0x53, 0x01, 0x02, 0x02, 0x00, 0xAA}, {0xBB}},
       {{9, {0x53, 0x01, 0x02, 0x02, 0x00, 0xAA, 0xBB}}}},
      {"S block of length zero is dropped",
       {{0x53, 0x00, 0x00, 0x00, 0x00, 0x41}},
       {{3, {0x00}}, {3, {0x00}}, {3, {0x00}}, {3, {0x00}}, {3, {0x41}}}},
      {"real-time status bytes", {{0x12, 0x16}}, {{4, {0x12}}, {4, {0x16}}}},
      {"10h opens an auto status", {{0x10, 0x00, 0x4F, 0x0F}}, {{0, {0x10, 0x00, 0x4F, 0x0F}}}},
      {"blocks 9 and 5",
       {{0x39, 0x40, 0x7F, 0x00, 0x35, 0x41, 0x42, 0x00}},
       {{1, {0x39, 0x40, 0x7F, 0x00}}, {2, {0x35, 0x41, 0x42, 0x00}}}},
      {"block 9 with a byte out of range", {{0x39, 0x40, 0x80, 0x00}}, {{3, {0x40}}, {3, {0x00}}}},
      {"underscore block",
       {{0x5F}, {0x00, 0x5F, 0x41}, {0x42, 0x00}},
       {{5, {0x5F, 0x00}}, {5, {0x5F, 0x41, 0x42, 0x00}}}},
      {"semicolon, equals and brace blocks",
       {{0x3B, 0x31, 0x00, 0x3D, 0x32, 0x33, 0x00, 0x7B, 0x34, 0x00}},
       {{6, {0x3B, 0x31, 0x00}}, {7, {0x3D, 0x32, 0x33, 0x00}}, {10, {0x7B, 0x34, 0x00}}}},
      {"unknown bytes are dropped", {{0xFF, 0x80, 0x20, 0xC0}}, {{3, {0x20}}}},
      {"auto status with bit 10h in a later byte",
       {{0x14, 0x00, 0x10, 0x0F, 0x00, 0x00}},
       {{3, {0x00}}, {0, {0x10, 0x0F, 0x00, 0x00}}}},
      {"block 5 without its closing 00h",
       {{0x35, 0x41, 0x42, 0x01}},
       {{3, {0x41}}, {3, {0x42}}, {3, {0x01}}}},
      {"bit 7 and bit 4 bytes are no status", {{0x92, 0x96, 0x11, 0x13, 0x12}}, {{4, {0x12}}}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    Splitter s;
    ASSERT_EQ(s.feedAll(c.chunks), 0);
    EXPECT_EQ(s.packets, c.expected);
    EXPECT_EQ(s.rem_.length, 0);
  }
}

// A stream with every kind, some packets back to back with unknown bytes between.
Bytes mixed_stream() {
  return cat({{0x14, 0x00, 0x00, 0x0F},
              {0x39, 0x40, 0x41, 0x00},
              {0x35, 0x7F, 0x40, 0x00},
              {0x01},
              {0x12},
              {0xFF},
              {0x5F, 0x61, 0x62, 0x00},
              {0x3B, 0x01, 0x02, 0x00},
              {0x3D, 0x20, 0x00},
              str(std::string("7\"0A1F") + '\0'),
              {0x80},
              {0x53, 0x00, 0x00, 0x03, 0x00, 0x90, 0x91, 0x92},
              {0x7B, 0x7C, 0x7D, 0x00},
              {0x16},
              {0x5F, 0x00},
              {0x10, 0x00, 0x00, 0x00}});
}

TEST(ReplySplitter, EverySplitPointGivesTheSamePacketsAsOneChunk) {
  const Bytes stream = mixed_stream();
  Splitter whole;
  ASSERT_EQ(whole.feed(stream), 0);
  ASSERT_EQ(whole.packets.size(), 14u);

  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    Splitter s;
    ASSERT_EQ(s.feedAll({Bytes(stream.begin(), stream.begin() + cut),
                         Bytes(stream.begin() + cut, stream.end())}),
              0);
    EXPECT_EQ(s.packets, whole.packets);
    EXPECT_EQ(s.rem_.length, 0);
  }
  Splitter bytewise;
  for (uint8_t b : stream) ASSERT_EQ(bytewise.feed({b}), 0);
  EXPECT_EQ(bytewise.packets, whole.packets);
}

TEST(ReplySplitter, PacketInsideTheNewChunkIsHandedOverInPlace) {
  Splitter s;
  ASSERT_EQ(s.feed({0x14, 0x00}), 0);
  ASSERT_EQ(s.feed({0x00, 0x0F, 0x01, 0x37, 0x22, 0x30, 0x41, 0x31, 0x46, 0x00}), 0);
  ASSERT_EQ(s.packets.size(), 3u);
  EXPECT_FALSE(s.inCallerBuffer[0]);  // began in the remainder: a copy
  EXPECT_TRUE(s.inCallerBuffer[1]);
  EXPECT_TRUE(s.inCallerBuffer[2]);
}

TEST(ReplySplitter, LargestSBlockIsKeptWhole) {
  Bytes block = {0x53, 0x00, 0x00, 0xFF, 0xFF};
  block.resize(65540, 0x80);
  Splitter s;
  for (size_t at = 0; at < block.size(); at += 128) {
    size_t end = std::min(block.size(), at + 128);
    ASSERT_EQ(s.feed(Bytes(block.begin() + at, block.begin() + end)), 0);
    ASSERT_LE(s.rem_.length, 65540);
  }
  ASSERT_EQ(s.packets.size(), 1u);
  EXPECT_EQ(s.packets[0].kind, 9);
  EXPECT_EQ(s.packets[0].bytes.size(), 65540u);
  EXPECT_TRUE(s.packets[0].bytes == block) << "the block came out altered";
}

TEST(ReplySplitter, BlockWhoseNulNeverComesStopsHoldingBackLaterStatus) {
  Splitter s;
  ASSERT_EQ(s.feed({0x5F}), 0);
  Bytes filler(128, 0x80);
  for (int i = 0; i < 520; ++i) {  // 66,560 bytes without a NUL
    ASSERT_EQ(s.feed(filler), 0);
    ASSERT_LE(s.rem_.length, 65540);
  }
  ASSERT_EQ(s.feed({0x14, 0x00, 0x00, 0x0F}), 0);
  EXPECT_EQ(s.packets, (std::vector<Packet>{{0, {0x14, 0x00, 0x00, 0x0F}}}));
  EXPECT_EQ(s.rem_.length, 0);
}

// Fed in small reads, a NUL block is given up once it outgrows the remainder;
// fed whole, its NUL is already there. Both must give the same packets: a
// block of 65540 bytes comes whole, one byte more and it is dropped.
TEST(ReplySplitter, NulBlockLongerThanTheRemainderIsDroppedHoweverItIsRead) {
  for (size_t body : {size_t{65538}, size_t{65539}}) {
    SCOPED_TRACE(body);
    Bytes stream = {0x5F};
    stream.resize(1 + body, 0x41);
    stream.push_back(0x00);
    stream.insert(stream.end(), {0x14, 0x00, 0x00, 0x0F});

    Splitter whole;
    ASSERT_EQ(whole.feed(stream), 0);
    Splitter chunked;
    for (size_t at = 0; at < stream.size(); at += 128) {
      const size_t end = std::min(stream.size(), at + 128);
      ASSERT_EQ(chunked.feed(Bytes(stream.begin() + at, stream.begin() + end)), 0);
    }
    EXPECT_EQ(whole.rem_.length, 0);
    EXPECT_EQ(chunked.rem_.length, 0);
    ASSERT_FALSE(whole.packets.empty());
    EXPECT_TRUE(whole.packets == chunked.packets)
        << whole.packets.size() << " vs " << chunked.packets.size();
    EXPECT_EQ(whole.packets.back(), (Packet{0, {0x14, 0x00, 0x00, 0x0F}}));
    if (body == 65538) {
      ASSERT_EQ(whole.packets.size(), 2u);
      EXPECT_EQ(whole.packets[0].kind, 5);
      EXPECT_EQ(whole.packets[0].bytes.size(), 65540u);
    } else {
      // "_" dropped; every 41h and the NUL are status bytes of their own.
      ASSERT_EQ(whole.packets.size(), body + 2);
      EXPECT_EQ(whole.packets[0], (Packet{3, {0x41}}));
      EXPECT_EQ(whole.packets[body], (Packet{3, {0x00}}));
    }
  }
}

TEST(ReplySplitter, HugeChunkOfUnterminatedBlocksIsScannedOnce) {
  // Each 5Fh opens a block that never ends; a rescan per dropped byte would
  // take minutes here.
  Bytes chunk(4u << 20, 0x5F);
  chunk.push_back(0x01);
  Splitter s;
  ASSERT_EQ(s.feed(chunk), 0);
  EXPECT_TRUE(s.packets.empty());
  EXPECT_EQ(s.rem_.length, 65540);
}

int g_failAllocs = 0;
void* failing_alloc(size_t size) {
  if (g_failAllocs > 0) {
    --g_failAllocs;
    return nullptr;
  }
  return std::malloc(size);
}

TEST(ReplySplitter, FailedPacketCopyKeepsTheBytesForTheNextCall) {
  Splitter s;
  ASSERT_EQ(s.feed({0x14, 0x00}), 0);
  EncodingSetAllocator(failing_alloc);
  g_failAllocs = 1;  // the packet copy fails, keeping the bytes succeeds
  EXPECT_EQ(s.feed({0x00, 0x0F, 0x01}), 3);
  EXPECT_TRUE(s.packets.empty());
  EXPECT_EQ(s.feed({}), 0);
  EXPECT_EQ(s.packets, (std::vector<Packet>{{0, {0x14, 0x00, 0x00, 0x0F}}, {3, {0x01}}}));

  g_failAllocs = 1;  // no room for a new remainder at all: 3, the tail is lost
  EXPECT_EQ(s.feed({0x14, 0x00}), 3);
  EXPECT_EQ(s.rem_.length, 0);
  EncodingSetAllocator(nullptr);
}

TEST(ReplySplitter, RejectsNullArguments) {
  PrnReplyRemainder_t rem{nullptr, 0};
  const uint8_t b = 0x01;
  auto handler = [](int, const uint8_t*, uint32_t, void*) {};
  EXPECT_EQ(PrnSplitReplyStream(nullptr, &b, 1, handler, nullptr), 1);
  EXPECT_EQ(PrnSplitReplyStream(&rem, nullptr, 1, handler, nullptr), 1);
  EXPECT_EQ(PrnSplitReplyStream(&rem, &b, 1, nullptr, nullptr), 1);
}

TEST(ReplySplitter, RemainderCopyIsByteForByte) {
  Splitter s;
  ASSERT_EQ(s.feed({0x5F, 0x41, 0x42}), 0);
  PrnReplyRemainder_t copy{nullptr, 0};
  ASSERT_EQ(PrnReplyRemainderCopy(&copy, &s.rem_), 0);
  ASSERT_EQ(copy.length, 3);
  EXPECT_EQ(Bytes(copy.bytes, copy.bytes + 3), (Bytes{0x5F, 0x41, 0x42}));
  EXPECT_NE(copy.bytes, s.rem_.bytes);
  PrnReplyRemainderFree(&copy);
  EXPECT_EQ(copy.bytes, nullptr);
}

}  // namespace
