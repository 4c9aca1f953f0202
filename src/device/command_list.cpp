// The printer command list: typed appends that copy their arguments into a
// node, the clear, and the snapshot a job takes of it. Every append, the clear
// and the snapshot take the list's lock, so an app thread adding commands never
// races a worker building a job.
//
// A node is shared by the list and by every job taken while it was listed: its
// reference count sits in front of it, and the last holder frees it. A job
// therefore prints what was listed when the app sent it, whatever is added or
// cleared afterwards, and taking it copies no pixels.

#include "device/command_list.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "device/command_blocks.h"
#include "device/test_hooks.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

namespace {

std::atomic<TdcCommandAllocFn> gAlloc{nullptr};

void* Allocate(size_t size) {
  const TdcCommandAllocFn alloc = gAlloc.load(std::memory_order_acquire);
  return alloc != nullptr ? alloc(size) : std::malloc(size);
}

// Blocks follow the node at this alignment, copies follow the block.
constexpr size_t kAlign = alignof(std::max_align_t);
constexpr size_t RoundUp(size_t n) { return (n + kAlign - 1) / kAlign * kAlign; }

// The holders of a node: the list while it is listed, and each job taken then.
struct NodeHeader {
  std::atomic<int32_t> holders;
};
constexpr size_t kHeaderSize = RoundUp(sizeof(NodeHeader));

NodeHeader* HeaderOf(const TdcCommand_t* node) {
  return reinterpret_cast<NodeHeader*>(
      const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(node)) - kHeaderSize);
}

void Hold(const TdcCommand_t* node) {
  HeaderOf(node)->holders.fetch_add(1, std::memory_order_relaxed);
}

// The last holder frees the node with its block and copies.
void Release(const TdcCommand_t* node) {
  NodeHeader* header = HeaderOf(node);
  if (header->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    header->~NodeHeader();
    std::free(header);
  }
}

// One allocation: header, node, then a block of blockSize bytes, then extra
// bytes. Null when the sizes overflow or memory runs out.
TdcCommand_t* NewNode(int32_t kind, size_t blockSize, size_t extra, void** block,
                      uint8_t** payload) {
  const size_t nodeSize = RoundUp(sizeof(TdcCommand_t));
  const size_t fixed = kHeaderSize + nodeSize + RoundUp(blockSize);
  if (extra > SIZE_MAX - fixed) return nullptr;
  void* memory = Allocate(fixed + extra);
  if (memory == nullptr) return nullptr;
  new (memory) NodeHeader{1};
  uint8_t* bytes = static_cast<uint8_t*>(memory) + kHeaderSize;
  auto* node = new (bytes) TdcCommand_t{kind, nullptr, nullptr};
  if (block != nullptr) *block = blockSize != 0 ? bytes + nodeSize : nullptr;
  if (payload != nullptr) *payload = static_cast<uint8_t*>(memory) + fixed;
  return node;
}

// Links the node at the tail; 0, or 2 when the lock fails (the node freed).
int Link(TdcCommandList_t* list, TdcCommand_t* node) {
  PlatformLockGuard guard(list->lock);
  if (!guard) {
    Release(node);
    return TDC_ERR_PROCESSING;
  }
  if (list->tail == nullptr) {
    list->head = node;
  } else {
    list->tail->next = node;
  }
  list->tail = node;
  return TDC_SUCCESS;
}

bool IsKindOf(int32_t kind, std::initializer_list<int32_t> kinds) {
  for (int32_t k : kinds) {
    if (k == kind) return true;
  }
  return false;
}

template <size_t N>
int AppendInts(TdcCommandList_t* list, int32_t kind, const int32_t (&values)[N]) {
  void* block = nullptr;
  TdcCommand_t* node = NewNode(kind, sizeof(values), 0, &block, nullptr);
  if (node == nullptr) return TDC_ERR_MEMORY;
  std::memcpy(block, values, sizeof(values));
  node->args = block;
  return Link(list, node);
}

}  // namespace

void TdcSetCommandAllocator(TdcCommandAllocFn alloc) {
  gAlloc.store(alloc, std::memory_order_release);
}

void TdcInitCommandList(TdcCommandList_t* list) {
  if (list == nullptr) return;
  platform_mutex_init(&list->lock);
  list->head = nullptr;
  list->tail = nullptr;
}

void TdcDestroyCommandList(TdcCommandList_t* list) {
  if (list == nullptr) return;
  TdcClearPrinterCommands(list);
  platform_mutex_destroy(&list->lock);
}

int TdcAddPrinterCommandNone(TdcCommandList_t* list, int32_t kind) {
  if (list == nullptr || !IsKindOf(kind, {TDC_CMD_PAGE_BEGIN, TDC_CMD_PAGE_END})) {
    return TDC_ERR_PARAM;
  }
  TdcCommand_t* node = NewNode(kind, 0, 0, nullptr, nullptr);
  if (node == nullptr) return TDC_ERR_MEMORY;
  return Link(list, node);
}

int TdcAddPrinterCommandInt(TdcCommandList_t* list, int32_t kind, int32_t a) {
  if (list == nullptr ||
      !IsKindOf(kind,
                {TDC_CMD_TEXT_ALIGN, TDC_CMD_LINE_SPACE, TDC_CMD_TEXT_ROTATE, TDC_CMD_TEXT_LANG,
                 TDC_CMD_TEXT_FONT, TDC_CMD_TEXT_SMOOTH, TDC_CMD_HPOSITION, TDC_CMD_FEED_UNIT,
                 TDC_CMD_FEED_LINE, TDC_CMD_PAGE_DIRECTION, TDC_CMD_CUT, TDC_CMD_FEED_POSITION})) {
    return TDC_ERR_PARAM;
  }
  const int32_t values[] = {a};
  return AppendInts(list, kind, values);
}

int TdcAddPrinterCommandTwoInts(TdcCommandList_t* list, int32_t kind, int32_t a, int32_t b) {
  if (list == nullptr ||
      !IsKindOf(kind, {TDC_CMD_TEXT_SIZE, TDC_CMD_LOGO, TDC_CMD_VLINE_BEGIN, TDC_CMD_VLINE_END,
                       TDC_CMD_PAGE_POSITION, TDC_CMD_PULSE})) {
    return TDC_ERR_PARAM;
  }
  const int32_t values[] = {a, b};
  return AppendInts(list, kind, values);
}

int TdcAddPrinterCommandThreeInts(TdcCommandList_t* list, int32_t kind, int32_t a, int32_t b,
                                  int32_t c) {
  if (list == nullptr || !IsKindOf(kind, {TDC_CMD_HLINE, TDC_CMD_SOUND})) return TDC_ERR_PARAM;
  const int32_t values[] = {a, b, c};
  return AppendInts(list, kind, values);
}

int TdcAddPrinterCommandFourInts(TdcCommandList_t* list, int32_t kind, int32_t a, int32_t b,
                                 int32_t c, int32_t d) {
  if (list == nullptr || !IsKindOf(kind, {TDC_CMD_TEXT_STYLE, TDC_CMD_PAGE_AREA})) {
    return TDC_ERR_PARAM;
  }
  const int32_t values[] = {a, b, c, d};
  return AppendInts(list, kind, values);
}

int TdcAddPrinterCommandFiveInts(TdcCommandList_t* list, int32_t kind, int32_t a, int32_t b,
                                 int32_t c, int32_t d, int32_t e) {
  if (list == nullptr || !IsKindOf(kind, {TDC_CMD_PAGE_LINE, TDC_CMD_PAGE_RECTANGLE})) {
    return TDC_ERR_PARAM;
  }
  const int32_t values[] = {a, b, c, d, e};
  return AppendInts(list, kind, values);
}

int TdcAddPrinterCommandLayout(TdcCommandList_t* list, int32_t type, int32_t width, int32_t height,
                               int32_t marginTop, int32_t marginBottom, int32_t offsetCut,
                               int32_t offsetLabel) {
  if (list == nullptr) return TDC_ERR_PARAM;
  const int32_t values[] = {type, width, height, marginTop, marginBottom, offsetCut, offsetLabel};
  return AppendInts(list, TDC_CMD_LAYOUT, values);
}

int TdcAddPrinterCommandText(TdcCommandList_t* list, const char* text) {
  if (list == nullptr || text == nullptr) return TDC_ERR_PARAM;
  const size_t length = std::strlen(text);
  uint8_t* copy = nullptr;
  TdcCommand_t* node = NewNode(TDC_CMD_TEXT, 0, length + 1, nullptr, &copy);
  if (node == nullptr) return TDC_ERR_MEMORY;
  std::memcpy(copy, text, length + 1);
  node->args = copy;
  return Link(list, node);
}

int TdcAddPrinterCommandSymbol(TdcCommandList_t* list, int32_t kind, const char* data, int32_t a,
                               int32_t b, int32_t c, int32_t d, int32_t e) {
  if (list == nullptr || data == nullptr || !IsKindOf(kind, {TDC_CMD_BARCODE, TDC_CMD_SYMBOL})) {
    return TDC_ERR_PARAM;
  }
  const size_t length = std::strlen(data);
  void* block = nullptr;
  uint8_t* copy = nullptr;
  TdcCommand_t* node = NewNode(kind, sizeof(TdcSymbolArgs_t), length + 1, &block, &copy);
  if (node == nullptr) return TDC_ERR_MEMORY;
  std::memcpy(copy, data, length + 1);
  node->args = new (block) TdcSymbolArgs_t{reinterpret_cast<const char*>(copy), {a, b, c, d, e}};
  return Link(list, node);
}

int TdcAddPrinterCommandImage(TdcCommandList_t* list, const TdcImageArgs_t& args) {
  if (list == nullptr || args.rgb == nullptr || args.imageWidth < 1 || args.imageHeight < 1) {
    return TDC_ERR_PARAM;
  }
  const size_t pixels =
      static_cast<size_t>(args.imageWidth) * static_cast<size_t>(args.imageHeight);
  if (pixels > SIZE_MAX / 3) return TDC_ERR_MEMORY;
  void* block = nullptr;
  uint8_t* copy = nullptr;
  TdcCommand_t* node = NewNode(TDC_CMD_IMAGE, sizeof(TdcImageArgs_t), pixels * 3, &block, &copy);
  if (node == nullptr) return TDC_ERR_MEMORY;
  std::memcpy(copy, args.rgb, pixels * 3);
  auto* image = new (block) TdcImageArgs_t(args);
  image->rgb = copy;
  node->args = image;
  return Link(list, node);
}

int TdcAddPrinterCommandData(TdcCommandList_t* list, const uint8_t* bytes, int32_t length) {
  if (list == nullptr || bytes == nullptr || length < 1) return TDC_ERR_PARAM;
  void* block = nullptr;
  uint8_t* copy = nullptr;
  TdcCommand_t* node =
      NewNode(TDC_CMD_COMMAND, sizeof(TdcDataArgs_t), static_cast<size_t>(length), &block, &copy);
  if (node == nullptr) return TDC_ERR_MEMORY;
  std::memcpy(copy, bytes, static_cast<size_t>(length));
  node->args = new (block) TdcDataArgs_t{copy, length};
  return Link(list, node);
}

int TdcClearPrinterCommands(TdcCommandList_t* list) {
  if (list == nullptr) return TDC_ERR_PARAM;
  TdcCommand_t* node = nullptr;
  {
    PlatformLockGuard guard(list->lock);
    if (!guard) return TDC_ERR_PROCESSING;
    node = list->head;
    list->head = nullptr;
    list->tail = nullptr;
  }
  // Unlinked under the lock, let go after it: only jobs taken earlier still
  // reach them, and the last of those frees them.
  while (node != nullptr) {
    TdcCommand_t* next = node->next;
    Release(node);
    node = next;
  }
  return TDC_SUCCESS;
}

TdcCommandSnapshot::~TdcCommandSnapshot() { Reset(); }

TdcCommandSnapshot::TdcCommandSnapshot(TdcCommandSnapshot&& other) noexcept
    : nodes_(std::exchange(other.nodes_, {})) {}

TdcCommandSnapshot& TdcCommandSnapshot::operator=(TdcCommandSnapshot&& other) noexcept {
  if (this != &other) {
    Reset();
    nodes_ = std::exchange(other.nodes_, {});
  }
  return *this;
}

void TdcCommandSnapshot::Reset() noexcept {
  for (const TdcCommand_t* node : nodes_) Release(node);
  nodes_.clear();
}

int TdcTakePrinterCommands(TdcCommandList_t* list, TdcCommandSnapshot* out) {
  if (list == nullptr || out == nullptr) return TDC_ERR_PARAM;
  out->Reset();
  std::vector<const TdcCommand_t*> nodes;
  PlatformLockGuard guard(list->lock);
  if (!guard) return TDC_ERR_PROCESSING;
  try {
    for (const TdcCommand_t* node = list->head; node != nullptr; node = node->next) {
      nodes.push_back(node);
    }
  } catch (const std::bad_alloc&) {
    return TDC_ERR_MEMORY;
  }
  // Held only once the whole list is read: a failure above holds nothing.
  for (const TdcCommand_t* node : nodes) Hold(node);
  out->nodes_ = std::move(nodes);
  return TDC_SUCCESS;
}

}  // namespace tilo2::core
