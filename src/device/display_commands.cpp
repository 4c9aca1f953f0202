// The line display's command list: typed appends with their range checks,
// clear, the two operation tables, and the replay that maps every stored
// value into the numbering of the backend in use.
//
// Appends come from the app's thread and replays from a worker: one module
// lock orders them, so a replay never walks a node that is being linked or
// freed.

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "device/code_tables.h"
#include "device/display_module.h"
#include "engine/builder_ops.h"
#include "engine/builder_records.h"
#include "foundation/lock_guard.h"
#include "service/device_service.h"

namespace tilo2::core {

namespace {

std::atomic<void* (*)(size_t)> gAlloc{nullptr};

void* Allocate(size_t size) {
  void* (*alloc)(size_t) = gAlloc.load(std::memory_order_acquire);
  return alloc != nullptr ? alloc(size) : std::malloc(size);
}

PlatformMutex_t gListLock = PLATFORM_MUTEX_STATIC_INITIALIZER;

// Translation rows {stored, service, engine}.
constexpr TdcCodeMap_t kScrollRows[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {-2, 0, 0}};
constexpr TdcCodeMap_t kMoveRows[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {-2, 0, 0}};
constexpr TdcCodeMap_t kCursorRows[] = {{0, 0, 0}, {1, 1, 1}, {-2, 0, 0}};
// The service knows no language 6: it shows that text as language 0.
constexpr TdcCodeMap_t kLanguageRows[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3},
                                          {4, 4, 4}, {5, 5, 5}, {6, 0, 6}, {-2, 0, 0}};
constexpr TdcCodeMap_t kMarqueeRows[] = {{0, 0, 0}, {1, 1, 1}, {-2, 0, 0}};
constexpr TdcCodeMap_t kBrightnessRows[] = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {-2, 3, 3}};

const TdcCodeTable kScroll{kScrollRows};
const TdcCodeTable kMove{kMoveRows};
const TdcCodeTable kCursor{kCursorRows};
const TdcCodeTable kLanguage{kLanguageRows};
const TdcCodeTable kMarquee{kMarqueeRows};
const TdcCodeTable kBrightness{kBrightnessRows};

char* CopyText(const char* text) {
  const size_t length = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(Allocate(length));
  if (copy != nullptr) std::memcpy(copy, text, length);
  return copy;
}

template <size_t N>
void* CopyInts(va_list* args) {
  auto* block = static_cast<int32_t*>(Allocate(sizeof(int32_t) * N));
  if (block == nullptr) return nullptr;
  for (size_t i = 0; i < N; ++i) block[i] = va_arg(*args, int32_t);
  return block;
}

bool InRange(int32_t value, int32_t low, int32_t high) { return value >= low && value <= high; }

// Kinds whose block holds a text or bytes copy of its own.
void FreeBlock(int32_t kind, void* args) {
  if (args == nullptr) return;
  if (kind == TDC_DSP_TEXT || kind == TDC_DSP_REVERSE_TEXT) {
    std::free(static_cast<TdcDisplayTextArgs_t*>(args)->text);
  } else if (kind == TDC_DSP_MARQUEE_TEXT) {
    std::free(static_cast<TdcMarqueeArgs_t*>(args)->text);
  } else if (kind == TDC_DSP_COMMAND) {
    std::free(static_cast<TdcDisplayDataArgs_t*>(args)->bytes);
  }
  std::free(args);
}

using CopyFn = void* (*)(va_list*);

CopyFn CopyFunctionOf(int32_t kind) {
  switch (kind) {
    case TDC_DSP_CREATE_WINDOW:
      return &TdcCopyCreateWindowArgs;
    case TDC_DSP_DESTROY_WINDOW:
    case TDC_DSP_SET_CURRENT_WINDOW:
    case TDC_DSP_MOVE_CURSOR_POSITION:
    case TDC_DSP_SET_CURSOR_TYPE:
    case TDC_DSP_SET_BLINK:
    case TDC_DSP_SET_BRIGHTNESS:
      return &TdcCopyIntArg;
    case TDC_DSP_SET_CURSOR_POSITION:
      return &TdcCopyTwoIntArgs;
    case TDC_DSP_TEXT:
    case TDC_DSP_REVERSE_TEXT:
      return &TdcCopyDisplayTextArgs;
    case TDC_DSP_MARQUEE_TEXT:
      return &TdcCopyMarqueeArgs;
    case TDC_DSP_COMMAND:
      return &TdcCopyDataArgs;
    default:
      return nullptr;
  }
}

// The ranges a stored value must lie in, checked on a copy of the values so
// that a refused command leaves nothing behind.
bool ValuesAcceptable(int32_t kind, va_list* args) {
  switch (kind) {
    case TDC_DSP_CREATE_WINDOW: {
      int32_t v[6];
      for (int32_t& value : v) value = va_arg(*args, int32_t);
      return InRange(v[0], 1, 4) && InRange(v[1], 1, 20) && InRange(v[2], 1, 2) &&
             InRange(v[3], 1, 20) && InRange(v[4], 1, 2) && v[1] + v[3] <= 21 && v[2] + v[4] <= 3 &&
             TdcIsListed(kScroll, v[5]);
    }
    case TDC_DSP_DESTROY_WINDOW:
    case TDC_DSP_SET_CURRENT_WINDOW:
      return InRange(va_arg(*args, int32_t), 1, 4);
    case TDC_DSP_SET_CURSOR_POSITION: {
      const int32_t x = va_arg(*args, int32_t);
      const int32_t y = va_arg(*args, int32_t);
      return InRange(x, 1, 20) && InRange(y, 1, 2);
    }
    case TDC_DSP_MOVE_CURSOR_POSITION:
      return TdcIsListed(kMove, va_arg(*args, int32_t));
    case TDC_DSP_SET_CURSOR_TYPE:
      return TdcIsListed(kCursor, va_arg(*args, int32_t));
    case TDC_DSP_TEXT:
    case TDC_DSP_REVERSE_TEXT: {
      const char* text = va_arg(*args, const char*);
      const int32_t x = va_arg(*args, int32_t);
      const int32_t y = va_arg(*args, int32_t);
      const int32_t lang = va_arg(*args, int32_t);
      // -1: no position given (the engine's slot takes only both or neither).
      return text != nullptr && (x == -1 || InRange(x, 1, 20)) && (y == -1 || InRange(y, 1, 2)) &&
             TdcIsListed(kLanguage, lang);
    }
    case TDC_DSP_MARQUEE_TEXT: {
      const char* text = va_arg(*args, const char*);
      const int32_t format = va_arg(*args, int32_t);
      const int32_t unitWait = va_arg(*args, int32_t);
      const int32_t repeatWait = va_arg(*args, int32_t);
      const int32_t repeatCount = va_arg(*args, int32_t);
      const int32_t lang = va_arg(*args, int32_t);
      return text != nullptr && TdcIsListed(kMarquee, format) && InRange(unitWait, 1, 2000) &&
             InRange(repeatWait, 1, 2000) && InRange(repeatCount, 0, 127) &&
             (lang == 0 || lang == 1 || lang == kTdcDefault);
    }
    case TDC_DSP_SET_BLINK: {
      const int32_t interval = va_arg(*args, int32_t);
      return interval == kTdcDefault || InRange(interval, 0, 12700);
    }
    case TDC_DSP_SET_BRIGHTNESS:
      return TdcIsListed(kBrightness, va_arg(*args, int32_t));
    case TDC_DSP_COMMAND: {
      const uint8_t* bytes = va_arg(*args, const uint8_t*);
      const int32_t length = va_arg(*args, int32_t);
      return bytes != nullptr && length > 0;
    }
    default:
      return true;
  }
}

int AppendLocked(TdcCommand_t** list, int32_t kind, va_list* args) {
  auto* node = static_cast<TdcCommand_t*>(Allocate(sizeof(TdcCommand_t)));
  if (node == nullptr) return TDC_ERR_MEMORY;
  *node = {kind, nullptr, nullptr};
  if (CopyFn copy = CopyFunctionOf(kind); copy != nullptr) {
    node->args = copy(args);
    if (node->args == nullptr) {
      std::free(node);
      return TDC_ERR_MEMORY;
    }
  }
  PlatformLockGuard guard(gListLock);
  if (!guard) {
    FreeBlock(kind, node->args);
    std::free(node);
    return TDC_ERR_FAILURE;
  }
  TdcCommand_t** tail = list;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = node;
  return TDC_SUCCESS;
}

// ---- Replay -------------------------------------------------------------------------

// Calls a slot through a pointer of its exact type: the builder is the
// backend's own handle type.
template <typename... Args>
int CallSlot(int32_t mode, void* slot, void* builder, Args... args) {
  if (slot == nullptr) return TDC_ERR_PARAM;
  if (mode == TDC_MODE_DIRECT) {
    auto* fn = reinterpret_cast<int (*)(DisplayBuilder_t*, Args...)>(slot);
    return fn(static_cast<DisplayBuilder_t*>(builder), args...);
  }
  auto* fn = reinterpret_cast<int (*)(TdevDisplayHandle_t*, Args...)>(slot);
  return fn(static_cast<TdevDisplayHandle_t*>(builder), args...);
}

struct Step {
  int32_t mode;
  void* builder;
  const TdcCommand_t* node;
  const TdcLineDisplayOps_t* ops;
  void* Slot() const { return ops->slot[node->kind]; }
  const int32_t* Ints() const { return static_cast<const int32_t*>(node->args); }
};

bool Map(TdcCodeTable table, const Step& s, int32_t stored, int32_t* out) {
  return TdcMapStoredValue(table, s.mode, stored, out);
}

int ExecNone(const Step& s) { return CallSlot(s.mode, s.Slot(), s.builder); }

int ExecCreateWindow(const Step& s) {
  const int32_t* v = s.Ints();
  int32_t scroll = 0;
  if (v == nullptr || !Map(kScroll, s, v[5], &scroll)) return TDC_ERR_PARAM;
  return CallSlot(s.mode, s.Slot(), s.builder, v[0], v[1], v[2], v[3], v[4], scroll);
}

int ExecInt(const Step& s) {
  if (s.Ints() == nullptr) return TDC_ERR_PARAM;
  return CallSlot(s.mode, s.Slot(), s.builder, s.Ints()[0]);
}

int ExecMappedInt(const Step& s, TdcCodeTable table) {
  int32_t value = 0;
  if (s.Ints() == nullptr || !Map(table, s, s.Ints()[0], &value)) return TDC_ERR_PARAM;
  return CallSlot(s.mode, s.Slot(), s.builder, value);
}

int ExecCursorPosition(const Step& s) {
  if (s.Ints() == nullptr) return TDC_ERR_PARAM;
  return CallSlot(s.mode, s.Slot(), s.builder, s.Ints()[0], s.Ints()[1]);
}

int ExecText(const Step& s) {
  const auto* a = static_cast<const TdcDisplayTextArgs_t*>(s.node->args);
  int32_t lang = 0;
  if (a == nullptr || !Map(kLanguage, s, a->lang, &lang)) return TDC_ERR_PARAM;
  return CallSlot(s.mode, s.Slot(), s.builder, static_cast<const char*>(a->text), a->x, a->y, lang);
}

int ExecMarquee(const Step& s) {
  const auto* a = static_cast<const TdcMarqueeArgs_t*>(s.node->args);
  int32_t format = 0;
  int32_t lang = 0;
  if (a == nullptr || !Map(kMarquee, s, a->format, &format) || !Map(kLanguage, s, a->lang, &lang))
    return TDC_ERR_PARAM;
  return CallSlot(s.mode, s.Slot(), s.builder, static_cast<const char*>(a->text), format,
                  a->unitWait, a->repeatWait, a->repeatCount, lang);
}

int ExecCommand(const Step& s) {
  const auto* a = static_cast<const TdcDisplayDataArgs_t*>(s.node->args);
  if (a == nullptr || s.Slot() == nullptr) return TDC_ERR_PARAM;
  const auto* bytes = static_cast<const uint8_t*>(a->bytes);
  if (s.mode == TDC_MODE_DIRECT) {
    return CallSlot(s.mode, s.Slot(), s.builder, bytes, a->length);
  }
  // The service's slot takes any handle that carries a document.
  auto* fn = reinterpret_cast<int (*)(void*, const uint8_t*, int32_t)>(s.Slot());
  return fn(s.builder, bytes, a->length);
}

int Execute(const Step& s) {
  // Without a backend the slots' types are unknown: nothing is called.
  if (s.mode != TDC_MODE_DIRECT && s.mode != TDC_MODE_SERVICE) return TDC_ERR_PARAM;
  switch (s.node->kind) {
    case TDC_DSP_INITIALIZE:
    case TDC_DSP_CLEAR_CURRENT_WINDOW:
    case TDC_DSP_SHOW_CLOCK:
      return ExecNone(s);
    case TDC_DSP_CREATE_WINDOW:
      return ExecCreateWindow(s);
    case TDC_DSP_DESTROY_WINDOW:
    case TDC_DSP_SET_CURRENT_WINDOW:
    case TDC_DSP_SET_BLINK:
      return ExecInt(s);
    case TDC_DSP_SET_CURSOR_POSITION:
      return ExecCursorPosition(s);
    case TDC_DSP_MOVE_CURSOR_POSITION:
      return ExecMappedInt(s, kMove);
    case TDC_DSP_SET_CURSOR_TYPE:
      return ExecMappedInt(s, kCursor);
    case TDC_DSP_TEXT:
    case TDC_DSP_REVERSE_TEXT:
      return ExecText(s);
    case TDC_DSP_MARQUEE_TEXT:
      return ExecMarquee(s);
    case TDC_DSP_SET_BRIGHTNESS:
      return ExecMappedInt(s, kBrightness);
    case TDC_DSP_COMMAND:
      return ExecCommand(s);
    default:
      return TDC_ERR_PARAM;
  }
}

template <typename F>
void* SlotOf(F* function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace

// ---- Copy functions --------------------------------------------------------------------

void* TdcCopyIntArg(va_list* args) { return CopyInts<1>(args); }
void* TdcCopyTwoIntArgs(va_list* args) { return CopyInts<2>(args); }
void* TdcCopyCreateWindowArgs(va_list* args) { return CopyInts<6>(args); }

void* TdcCopyDisplayTextArgs(va_list* args) {
  const char* text = va_arg(*args, const char*);
  if (text == nullptr) return nullptr;
  auto* block = static_cast<TdcDisplayTextArgs_t*>(Allocate(sizeof(TdcDisplayTextArgs_t)));
  if (block == nullptr) return nullptr;
  block->text = CopyText(text);
  if (block->text == nullptr) {
    std::free(block);
    return nullptr;
  }
  block->x = va_arg(*args, int32_t);
  block->y = va_arg(*args, int32_t);
  block->lang = va_arg(*args, int32_t);
  return block;
}

void* TdcCopyMarqueeArgs(va_list* args) {
  const char* text = va_arg(*args, const char*);
  if (text == nullptr) return nullptr;
  auto* block = static_cast<TdcMarqueeArgs_t*>(Allocate(sizeof(TdcMarqueeArgs_t)));
  if (block == nullptr) return nullptr;
  block->text = CopyText(text);
  if (block->text == nullptr) {
    std::free(block);
    return nullptr;
  }
  block->format = va_arg(*args, int32_t);
  block->unitWait = va_arg(*args, int32_t);
  block->repeatWait = va_arg(*args, int32_t);
  block->repeatCount = va_arg(*args, int32_t);
  block->lang = va_arg(*args, int32_t);
  return block;
}

void* TdcCopyDataArgs(va_list* args) {
  const uint8_t* bytes = va_arg(*args, const uint8_t*);
  const int32_t length = va_arg(*args, int32_t);
  if (bytes == nullptr || length <= 0) return nullptr;
  auto* block = static_cast<TdcDisplayDataArgs_t*>(Allocate(sizeof(TdcDisplayDataArgs_t)));
  if (block == nullptr) return nullptr;
  block->bytes = static_cast<uint8_t*>(Allocate(static_cast<size_t>(length)));
  if (block->bytes == nullptr) {
    std::free(block);
    return nullptr;
  }
  std::memcpy(block->bytes, bytes, static_cast<size_t>(length));
  block->length = length;
  return block;
}

void TdcSetLineDisplayAllocator(void* (*alloc)(size_t size)) {
  gAlloc.store(alloc, std::memory_order_release);
}

// ---- List ------------------------------------------------------------------------------

int TdcAddLineDisplayCommand(TdcCommand_t** list, int32_t kind, ...) {
  if (list == nullptr) return TDC_ERR_PARAM;
  va_list args;
  va_start(args, kind);
  va_list check;
  va_copy(check, args);
  const bool acceptable = ValuesAcceptable(kind, &check);
  va_end(check);
  const int result = acceptable ? AppendLocked(list, kind, &args) : TDC_ERR_PARAM;
  va_end(args);
  return result;
}

int TdcClearLineDisplayCommands(TdcCommand_t** list) {
  if (list == nullptr) return TDC_ERR_PARAM;
  TdcCommand_t* node = nullptr;
  {
    PlatformLockGuard guard(gListLock);
    if (!guard) return TDC_ERR_FAILURE;
    node = *list;
    *list = nullptr;
  }
  while (node != nullptr) {
    TdcCommand_t* next = node->next;
    FreeBlock(node->kind, node->args);
    std::free(node);
    node = next;
  }
  return TDC_SUCCESS;
}

int TdcAddCreateWindow(TdcLineDisplay_t* record, int32_t number, int32_t x, int32_t y,
                       int32_t width, int32_t height, int32_t scrollMode) {
  if (record == nullptr) return TDC_ERR_PARAM;
  return TdcAddLineDisplayCommand(&record->commands, TDC_DSP_CREATE_WINDOW, number, x, y, width,
                                  height, scrollMode);
}

int TdcAddMarqueeText(TdcLineDisplay_t* record, const char* text, int32_t format, int32_t unitWait,
                      int32_t repeatWait, int32_t repeatCount, int32_t lang) {
  if (record == nullptr) return TDC_ERR_PARAM;
  // Checked before the raise, so a wait of 0 is still refused.
  if (!InRange(repeatWait, 1, 2000)) return TDC_ERR_PARAM;
  if (repeatWait < 100) repeatWait = 100;
  return TdcAddLineDisplayCommand(&record->commands, TDC_DSP_MARQUEE_TEXT, text, format, unitWait,
                                  repeatWait, repeatCount, lang);
}

// ---- Operation tables ------------------------------------------------------------------

int TdcLineDisplayDirectAddCommand(DisplayBuilder_t* builder, const uint8_t* bytes,
                                   int32_t length) {
  if (builder == nullptr || bytes == nullptr || length <= 0) return TDC_ERR_PARAM;
  return TiloDisplayAddCommand(builder, bytes, static_cast<uint32_t>(length));
}

void TdcInitLineDisplayDirectOps(TdcLineDisplayOps_t* ops) {
  if (ops == nullptr) return;
  ops->slot[TDC_DSP_INITIALIZE] = SlotOf(&TiloDisplayAddInitialize);
  ops->slot[TDC_DSP_CREATE_WINDOW] = SlotOf(&TiloDisplayAddCreateWindow);
  ops->slot[TDC_DSP_DESTROY_WINDOW] = SlotOf(&TiloDisplayAddDestroyWindow);
  ops->slot[TDC_DSP_SET_CURRENT_WINDOW] = SlotOf(&TiloDisplayAddSetCurrentWindow);
  ops->slot[TDC_DSP_CLEAR_CURRENT_WINDOW] = SlotOf(&TiloDisplayAddClearCurrentWindow);
  ops->slot[TDC_DSP_SET_CURSOR_POSITION] = SlotOf(&TiloDisplayAddSetCursorPosition);
  ops->slot[TDC_DSP_MOVE_CURSOR_POSITION] = SlotOf(&TiloDisplayAddMoveCursorPosition);
  ops->slot[TDC_DSP_SET_CURSOR_TYPE] = SlotOf(&TiloDisplayAddSetCursorType);
  ops->slot[TDC_DSP_TEXT] = SlotOf(&TiloDisplayAddText);
  ops->slot[TDC_DSP_REVERSE_TEXT] = SlotOf(&TiloDisplayAddReverseText);
  ops->slot[TDC_DSP_MARQUEE_TEXT] = SlotOf(&TiloDisplayAddMarqueeText);
  ops->slot[TDC_DSP_SET_BLINK] = SlotOf(&TiloDisplayAddSetBlink);
  ops->slot[TDC_DSP_SET_BRIGHTNESS] = SlotOf(&TiloDisplayAddSetBrightness);
  ops->slot[TDC_DSP_SHOW_CLOCK] = SlotOf(&TiloDisplayAddShowClock);
  ops->slot[TDC_DSP_COMMAND] = SlotOf(&TdcLineDisplayDirectAddCommand);
}

void TdcInitLineDisplayServiceOps(TdcLineDisplayOps_t* ops) {
  if (ops == nullptr) return;
  ops->slot[TDC_DSP_INITIALIZE] = SlotOf(&TdevDisplayAddInitialize);
  ops->slot[TDC_DSP_CREATE_WINDOW] = SlotOf(&TdevDisplayAddCreateWindow);
  ops->slot[TDC_DSP_DESTROY_WINDOW] = SlotOf(&TdevDisplayAddDestroyWindow);
  ops->slot[TDC_DSP_SET_CURRENT_WINDOW] = SlotOf(&TdevDisplayAddSetCurrentWindow);
  ops->slot[TDC_DSP_CLEAR_CURRENT_WINDOW] = SlotOf(&TdevDisplayAddClearCurrentWindow);
  ops->slot[TDC_DSP_SET_CURSOR_POSITION] = SlotOf(&TdevDisplayAddSetCursorPosition);
  ops->slot[TDC_DSP_MOVE_CURSOR_POSITION] = SlotOf(&TdevDisplayAddMoveCursorPosition);
  ops->slot[TDC_DSP_SET_CURSOR_TYPE] = SlotOf(&TdevDisplayAddSetCursorType);
  ops->slot[TDC_DSP_TEXT] = SlotOf(&TdevDisplayAddText);
  ops->slot[TDC_DSP_REVERSE_TEXT] = SlotOf(&TdevDisplayAddReverseText);
  ops->slot[TDC_DSP_MARQUEE_TEXT] = SlotOf(&TdevDisplayAddMarqueeText);
  ops->slot[TDC_DSP_SET_BLINK] = SlotOf(&TdevDisplayAddSetBlink);
  ops->slot[TDC_DSP_SET_BRIGHTNESS] = SlotOf(&TdevDisplayAddSetBrightness);
  ops->slot[TDC_DSP_SHOW_CLOCK] = SlotOf(&TdevDisplayAddShowClock);
  ops->slot[TDC_DSP_COMMAND] = SlotOf(&TdevAddCommand);
}

// ---- Replay ------------------------------------------------------------------------------

int TdcReplayLineDisplayCommands(int32_t mode, void* builder, TdcLineDisplayCommandSet_t set) {
  if (builder == nullptr) return TDC_ERR_PARAM;
  PlatformLockGuard guard(gListLock);
  if (!guard) return TDC_ERR_FAILURE;
  if (set.commands == nullptr || *set.commands == nullptr || set.ops == nullptr) {
    return TDC_ERR_ILLEGAL;
  }
  for (const TdcCommand_t* node = *set.commands; node != nullptr; node = node->next) {
    const int result = Execute({mode, builder, node, set.ops});
    // 1: the backend does not take this command; the others still go.
    if (result > TDC_ERR_PARAM) return result;
  }
  return TDC_SUCCESS;
}

}  // namespace tilo2::core
