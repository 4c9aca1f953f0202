// The printer command list: which kinds each typed append takes, own copies
// of text, data and pixels, order, out of memory leaving the list unchanged,
// and appends racing a replay and a clear.

#include "device/command_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/command_blocks.h"
#include "device/test_hooks.h"

using namespace tilo2::core;

namespace {

// An initialised list, destroyed at scope end.
struct List {
  TdcCommandList_t list{};
  List() { TdcInitCommandList(&list); }
  ~List() { TdcDestroyCommandList(&list); }
  List(const List&) = delete;
  List& operator=(const List&) = delete;

  std::vector<int32_t> Kinds() const {
    std::vector<int32_t> kinds;
    for (const TdcCommand_t* n = list.head; n != nullptr; n = n->next) kinds.push_back(n->kind);
    return kinds;
  }
  const TdcCommand_t* Last() const { return list.tail; }
  std::vector<int32_t> LastInts(size_t count) const {
    const auto* v = static_cast<const int32_t*>(list.tail->args);
    return std::vector<int32_t>(v, v + count);
  }
};

// Fails every allocation of the command list while alive.
struct NoMemory {
  NoMemory() {
    TdcSetCommandAllocator([](size_t) -> void* { return nullptr; });
  }
  ~NoMemory() { TdcSetCommandAllocator(nullptr); }
  NoMemory(const NoMemory&) = delete;
  NoMemory& operator=(const NoMemory&) = delete;
};

const uint8_t kPixels[2 * 2 * 3] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

TdcImageArgs_t ImageArgs() {
  static TdcPrinterSettings_t settings{6, 0, 1};
  static void* handle = nullptr;
  return TdcImageArgs_t{
      const_cast<uint8_t*>(kPixels), 2, 2, 0, 0, 2, 2, 1, 0, 0, 1.0, -2, &settings, &handle, 0};
}

// One append of each shape, by kind; the answer for kinds of another shape is 1.
struct Shape {
  const char* name;
  std::set<int32_t> kinds;
  std::function<int(TdcCommandList_t*, int32_t kind)> append;
};

std::vector<Shape> Shapes() {
  return {
      {"None",
       {19, 20},
       [](TdcCommandList_t* l, int32_t k) { return TdcAddPrinterCommandNone(l, k); }},
      {"Int",
       {0, 1, 2, 4, 5, 6, 9, 10, 11, 22, 26, 30},
       [](TdcCommandList_t* l, int32_t k) { return TdcAddPrinterCommandInt(l, k, 1); }},
      {"TwoInts",
       {7, 13, 17, 18, 23, 27},
       [](TdcCommandList_t* l, int32_t k) { return TdcAddPrinterCommandTwoInts(l, k, 1, 2); }},
      {"ThreeInts",
       {16, 28},
       [](TdcCommandList_t* l, int32_t k) { return TdcAddPrinterCommandThreeInts(l, k, 1, 2, 3); }},
      {"FourInts",
       {8, 21},
       [](TdcCommandList_t* l, int32_t k) {
         return TdcAddPrinterCommandFourInts(l, k, 1, 2, 3, 4);
       }},
      {"FiveInts",
       {24, 25},
       [](TdcCommandList_t* l, int32_t k) {
         return TdcAddPrinterCommandFiveInts(l, k, 1, 2, 3, 4, 5);
       }},
      {"Symbol",
       {14, 15},
       [](TdcCommandList_t* l, int32_t k) {
         return TdcAddPrinterCommandSymbol(l, k, "12345", 1, 2, 3, 4, 5);
       }},
  };
}

TEST(CommandListAppend, EachShapeTakesExactlyItsKinds) {
  for (const Shape& shape : Shapes()) {
    for (int32_t kind = -3; kind <= 33; ++kind) {
      List list;
      const bool mine = shape.kinds.count(kind) != 0;
      EXPECT_EQ(shape.append(&list.list, kind), mine ? 0 : 1) << shape.name << " kind " << kind;
      EXPECT_EQ(list.Kinds(), mine ? std::vector<int32_t>{kind} : std::vector<int32_t>{})
          << shape.name << " kind " << kind;
    }
  }
}

TEST(CommandListAppend, NullListOrNullCopySourceAnswersOne) {
  const uint8_t bytes[] = {0x1b, 0x40};
  TdcImageArgs_t noPixels = ImageArgs();
  noPixels.rgb = nullptr;
  List list;
  const std::vector<std::pair<const char*, std::function<int()>>> cases = {
      {"none", [] { return TdcAddPrinterCommandNone(nullptr, 19); }},
      {"int", [] { return TdcAddPrinterCommandInt(nullptr, 0, 1); }},
      {"two", [] { return TdcAddPrinterCommandTwoInts(nullptr, 7, 1, 1); }},
      {"three", [] { return TdcAddPrinterCommandThreeInts(nullptr, 16, 1, 1, 1); }},
      {"four", [] { return TdcAddPrinterCommandFourInts(nullptr, 8, 1, 1, 1, 1); }},
      {"five", [] { return TdcAddPrinterCommandFiveInts(nullptr, 24, 1, 1, 1, 1, 1); }},
      {"layout", [] { return TdcAddPrinterCommandLayout(nullptr, 0, 400, 0, 0, 0, 0, 0); }},
      {"text null list", [] { return TdcAddPrinterCommandText(nullptr, "a"); }},
      {"text null text", [&] { return TdcAddPrinterCommandText(&list.list, nullptr); }},
      {"symbol null data",
       [&] { return TdcAddPrinterCommandSymbol(&list.list, 14, nullptr, 1, 1, 1, 1, 1); }},
      {"image null list", [] { return TdcAddPrinterCommandImage(nullptr, ImageArgs()); }},
      {"image null pixels", [&] { return TdcAddPrinterCommandImage(&list.list, noPixels); }},
      {"data null list", [&] { return TdcAddPrinterCommandData(nullptr, bytes, 2); }},
      {"data null bytes", [&] { return TdcAddPrinterCommandData(&list.list, nullptr, 2); }},
      // The copy of raw bytes refuses an empty or negative length.
      {"data length 0", [&] { return TdcAddPrinterCommandData(&list.list, bytes, 0); }},
      {"data length -1", [&] { return TdcAddPrinterCommandData(&list.list, bytes, -1); }},
  };
  for (const auto& [name, call] : cases) EXPECT_EQ(call(), 1) << name;
  EXPECT_TRUE(list.Kinds().empty());
  EXPECT_EQ(TdcAddPrinterCommandData(&list.list, bytes, 1), 0);
  EXPECT_EQ(list.Kinds(), std::vector<int32_t>{TDC_CMD_COMMAND});
}

TEST(CommandListAppend, BlocksHoldTheValuesInOrder) {
  List list;
  ASSERT_EQ(TdcAddPrinterCommandLayout(&list.list, 3, 580, 300, -15, 15, 50, 15), 0);
  EXPECT_EQ(list.Last()->kind, TDC_CMD_LAYOUT);
  EXPECT_EQ(list.LastInts(7), (std::vector<int32_t>{3, 580, 300, -15, 15, 50, 15}));
  ASSERT_EQ(TdcAddPrinterCommandFiveInts(&list.list, 25, -1, 0, 65535, 7, -2), 0);
  EXPECT_EQ(list.LastInts(5), (std::vector<int32_t>{-1, 0, 65535, 7, -2}));
  ASSERT_EQ(TdcAddPrinterCommandSymbol(&list.list, 15, "QR", 2, 105, 3, 4, 5), 0);
  const auto* symbol = static_cast<const TdcSymbolArgs_t*>(list.Last()->args);
  EXPECT_STREQ(symbol->data, "QR");
  EXPECT_EQ(std::vector<int32_t>(symbol->values, symbol->values + 5),
            (std::vector<int32_t>{2, 105, 3, 4, 5}));
  ASSERT_EQ(TdcAddPrinterCommandNone(&list.list, 20), 0);
  EXPECT_EQ(list.Last()->args, nullptr);
}

// The caller's buffers may change or go away right after the append.
TEST(CommandListAppend, TextDataAndPixelsAreOwnCopies) {
  List list;
  char text[] = "Total 12.50";
  uint8_t bytes[] = {0x1d, 0x56, 0x00};
  uint8_t pixels[sizeof(kPixels)];
  std::memcpy(pixels, kPixels, sizeof(pixels));
  TdcImageArgs_t image = ImageArgs();
  image.rgb = pixels;
  image.pageMode = 1;

  ASSERT_EQ(TdcAddPrinterCommandText(&list.list, text), 0);
  const TdcCommand_t* textNode = list.Last();
  ASSERT_EQ(TdcAddPrinterCommandData(&list.list, bytes, 3), 0);
  const TdcCommand_t* dataNode = list.Last();
  ASSERT_EQ(TdcAddPrinterCommandSymbol(&list.list, 14, text, 2, -1, -2, 3, 80), 0);
  const TdcCommand_t* barcodeNode = list.Last();
  ASSERT_EQ(TdcAddPrinterCommandImage(&list.list, image), 0);
  const TdcCommand_t* imageNode = list.Last();

  std::memset(text, 'x', sizeof(text) - 1);
  std::memset(bytes, 0, sizeof(bytes));
  std::memset(pixels, 0, sizeof(pixels));

  EXPECT_STREQ(static_cast<const char*>(textNode->args), "Total 12.50");
  const auto* data = static_cast<const TdcDataArgs_t*>(dataNode->args);
  ASSERT_EQ(data->length, 3);
  EXPECT_EQ(std::vector<uint8_t>(data->bytes, data->bytes + 3),
            (std::vector<uint8_t>{0x1d, 0x56, 0x00}));
  EXPECT_STREQ(static_cast<const TdcSymbolArgs_t*>(barcodeNode->args)->data, "Total 12.50");
  const auto* copy = static_cast<const TdcImageArgs_t*>(imageNode->args);
  EXPECT_NE(copy->rgb, pixels);
  EXPECT_EQ(std::vector<uint8_t>(copy->rgb, copy->rgb + sizeof(kPixels)),
            std::vector<uint8_t>(kPixels, kPixels + sizeof(kPixels)));
  EXPECT_EQ(copy->pageMode, 1);
  EXPECT_EQ(copy->settings, image.settings);
  EXPECT_EQ(copy->handleSlot, image.handleSlot);
  EXPECT_EQ(copy->brightness, 1.0);
}

TEST(CommandListAppend, KeepsOrderAcrossClear) {
  List list;
  ASSERT_EQ(TdcAddPrinterCommandInt(&list.list, 0, 1), 0);
  ASSERT_EQ(TdcAddPrinterCommandText(&list.list, "a"), 0);
  ASSERT_EQ(TdcAddPrinterCommandInt(&list.list, 26, 1), 0);
  EXPECT_EQ(list.Kinds(), (std::vector<int32_t>{0, 3, 26}));
  EXPECT_EQ(TdcClearPrinterCommands(&list.list), 0);
  EXPECT_EQ(list.list.head, nullptr);
  EXPECT_EQ(list.list.tail, nullptr);
  // The tail was reset with the head: a new list starts fresh.
  ASSERT_EQ(TdcAddPrinterCommandInt(&list.list, 11, 2), 0);
  ASSERT_EQ(TdcAddPrinterCommandNone(&list.list, 19), 0);
  EXPECT_EQ(list.Kinds(), (std::vector<int32_t>{11, 19}));
  EXPECT_EQ(TdcClearPrinterCommands(nullptr), 1);
}

TEST(CommandListAppend, OutOfMemoryAnswersTenAndLeavesTheListUnchanged) {
  const uint8_t bytes[] = {1};
  const std::vector<std::pair<const char*, std::function<int(TdcCommandList_t*)>>> cases = {
      {"none", [](TdcCommandList_t* l) { return TdcAddPrinterCommandNone(l, 19); }},
      {"int", [](TdcCommandList_t* l) { return TdcAddPrinterCommandInt(l, 0, 1); }},
      {"two", [](TdcCommandList_t* l) { return TdcAddPrinterCommandTwoInts(l, 7, 2, 2); }},
      {"three",
       [](TdcCommandList_t* l) { return TdcAddPrinterCommandThreeInts(l, 28, 1, 1, 1000); }},
      {"four", [](TdcCommandList_t* l) { return TdcAddPrinterCommandFourInts(l, 21, 0, 0, 9, 9); }},
      {"five",
       [](TdcCommandList_t* l) { return TdcAddPrinterCommandFiveInts(l, 24, 0, 0, 9, 9, 0); }},
      {"layout",
       [](TdcCommandList_t* l) { return TdcAddPrinterCommandLayout(l, 0, 400, 0, 0, 0, 0, 0); }},
      {"text", [](TdcCommandList_t* l) { return TdcAddPrinterCommandText(l, "abc"); }},
      {"symbol",
       [](TdcCommandList_t* l) { return TdcAddPrinterCommandSymbol(l, 15, "x", 2, -2, 3, 3, 0); }},
      {"image", [](TdcCommandList_t* l) { return TdcAddPrinterCommandImage(l, ImageArgs()); }},
      {"data", [&](TdcCommandList_t* l) { return TdcAddPrinterCommandData(l, bytes, 1); }},
  };
  for (const auto& [name, append] : cases) {
    List list;
    ASSERT_EQ(TdcAddPrinterCommandText(&list.list, "kept"), 0);
    const TdcCommand_t* head = list.list.head;
    {
      NoMemory noMemory;
      EXPECT_EQ(append(&list.list), 10) << name;
    }
    EXPECT_EQ(list.list.head, head) << name;
    EXPECT_EQ(list.list.tail, head) << name;
    EXPECT_EQ(head->next, nullptr) << name;
    // Memory back: the same append succeeds and lands after the kept node.
    EXPECT_EQ(append(&list.list), 0) << name;
    EXPECT_EQ(list.Kinds().size(), 2u) << name;
  }
}

// An image too large to copy is out of memory, not a crash.
TEST(CommandListAppend, HugeImageIsOutOfMemory) {
  List list;
  TdcImageArgs_t image = ImageArgs();
  image.imageWidth = 65535;
  image.imageHeight = 65535;
  TdcSetCommandAllocator(
      [](size_t size) -> void* { return size > (size_t{1} << 30) ? nullptr : std::malloc(size); });
  EXPECT_EQ(TdcAddPrinterCommandImage(&list.list, image), 10);
  TdcSetCommandAllocator(nullptr);
  EXPECT_TRUE(list.Kinds().empty());
}

// A snapshot holds the nodes listed when it was taken: later appends are not
// in it, and a clear or the list's end leaves its nodes (and their copies)
// readable until it lets go; under AddressSanitizer a node freed too early or
// never freed fails here.
TEST(CommandListSnapshot, HoldsTheListAsItStoodThroughClearAndDestroy) {
  TdcCommandSnapshot job;
  {
    List list;
    ASSERT_EQ(TdcAddPrinterCommandText(&list.list, "first"), 0);
    ASSERT_EQ(TdcAddPrinterCommandInt(&list.list, TDC_CMD_FEED_LINE, 3), 0);
    ASSERT_EQ(TdcTakePrinterCommands(&list.list, &job), 0);
    ASSERT_EQ(TdcAddPrinterCommandText(&list.list, "later"), 0);
    EXPECT_EQ(list.Kinds().size(), 3u);
    ASSERT_EQ(TdcClearPrinterCommands(&list.list), 0);
    ASSERT_EQ(TdcAddPrinterCommandText(&list.list, "after the clear"), 0);
  }
  ASSERT_EQ(job.Nodes().size(), 2u);
  EXPECT_STREQ(static_cast<const char*>(job.Nodes()[0]->args), "first");
  EXPECT_EQ(*static_cast<const int32_t*>(job.Nodes()[1]->args), 3);

  // Taking again lets go of the former content first; an empty list gives an empty job.
  List other;
  ASSERT_EQ(TdcTakePrinterCommands(&other.list, &job), 0);
  EXPECT_TRUE(job.Empty());
  EXPECT_EQ(TdcTakePrinterCommands(nullptr, &job), 1);
  EXPECT_EQ(TdcTakePrinterCommands(&other.list, nullptr), 1);
}

// Counting operations for the race below: every slot just counts.
std::atomic<int> gReplayed{0};
int CountText(PrinterBuilder_t*, const char*) {
  gReplayed.fetch_add(1, std::memory_order_relaxed);
  return 0;
}
int CountInt(PrinterBuilder_t*, int32_t) {
  gReplayed.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

struct SharedSet {
  TdcPrinterOps_t ops{};
  TdcPrinterCommandSet_t set{};
  SharedSet() {
    ops.slot[TDC_CMD_TEXT] = reinterpret_cast<void*>(&CountText);
    ops.slot[TDC_CMD_FEED_LINE] = reinterpret_cast<void*>(&CountInt);
    TdcInitCommandList(&set.commandList);
    set.ops = &ops;
  }
  ~SharedSet() { TdcDestroyCommandList(&set.commandList); }
  SharedSet(const SharedSet&) = delete;
  SharedSet& operator=(const SharedSet&) = delete;
};

constexpr int kThreads = 4;
constexpr int kPerThread = 400;

// Each thread appends a text, then a feed line carrying (thread, index).
void AppendFrom(TdcCommandList_t* list, int t) {
  for (int i = 0; i < kPerThread; ++i) {
    EXPECT_EQ(TdcAddPrinterCommandText(list, "line"), 0);
    EXPECT_EQ(TdcAddPrinterCommandInt(list, TDC_CMD_FEED_LINE, t * 10000 + i), 0);
  }
}

// Appends from several threads while a worker replays: every node arrives,
// each thread's own sequence in order.
TEST(CommandListThreads, AppendsRacingAReplayLoseNothing) {
  SharedSet shared;
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    int builder = 0;
    while (!stop.load()) {
      const int r = TdcReplayPrinterCommands(TDC_MODE_DIRECT, &builder, &shared.set);
      EXPECT_TRUE(r == 0 || r == 5) << r;
    }
  });
  std::vector<std::thread> appenders;
  for (int t = 0; t < kThreads; ++t) {
    appenders.emplace_back(AppendFrom, &shared.set.commandList, t);
  }
  for (std::thread& a : appenders) a.join();
  stop.store(true);
  worker.join();

  std::vector<int> next(kThreads, 0);
  size_t count = 0;
  for (const TdcCommand_t* n = shared.set.commandList.head; n != nullptr; n = n->next) {
    ++count;
    if (n->kind != TDC_CMD_FEED_LINE) continue;
    const int32_t value = *static_cast<const int32_t*>(n->args);
    EXPECT_EQ(value % 10000, next[value / 10000]++);
  }
  EXPECT_EQ(count, size_t{2 * kThreads * kPerThread});
  gReplayed = 0;
  EXPECT_EQ(TdcReplayPrinterCommands(TDC_MODE_DIRECT, &count, &shared.set), 0);
  EXPECT_EQ(gReplayed.load(), 2 * kThreads * kPerThread);
}

// Appends racing clears: the list stays well formed, head to tail.
TEST(CommandListThreads, AppendsRacingClearsKeepTheListWellFormed) {
  SharedSet shared;
  std::atomic<bool> stop{false};
  std::thread clearer([&] {
    while (!stop.load()) EXPECT_EQ(TdcClearPrinterCommands(&shared.set.commandList), 0);
  });
  std::vector<std::thread> appenders;
  for (int t = 0; t < kThreads; ++t) {
    appenders.emplace_back(AppendFrom, &shared.set.commandList, t);
  }
  for (std::thread& a : appenders) a.join();
  stop.store(true);
  clearer.join();

  size_t count = 0;
  const TdcCommand_t* last = nullptr;
  for (const TdcCommand_t* n = shared.set.commandList.head; n != nullptr; n = n->next) {
    EXPECT_TRUE(n->kind == TDC_CMD_TEXT || n->kind == TDC_CMD_FEED_LINE);
    last = n;
    ++count;
  }
  EXPECT_EQ(last, shared.set.commandList.tail);
  EXPECT_LE(count, size_t{2 * kThreads * kPerThread});
}

}  // namespace
