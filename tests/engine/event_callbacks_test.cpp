// Event slots fired for status word changes, callback registration and the
// no-response word.

#include "engine/event_callbacks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace tilo2::core;

namespace {

struct Fired {
  int slot;
  uint32_t value;
  bool operator==(const Fired& other) const { return slot == other.slot && value == other.value; }
};

std::mutex firedLock;
std::vector<Fired> fired;

template <int Slot>
void Record(TdcBackendEnv_t*, PrintHandle_t*, const char*, uint32_t value) {
  std::lock_guard<std::mutex> lock(firedLock);
  fired.push_back({Slot, value});
}

template <int... Slots>
int RegisterAll(PrintHandle_t* handle, std::integer_sequence<int, Slots...>) {
  return (SetEventCallback(handle, Slots, &Record<Slots>) | ...);
}

std::vector<Fired> TakeFired() {
  std::lock_guard<std::mutex> lock(firedLock);
  return std::exchange(fired, {});
}

class EventCallbacks : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(TiloCreateHandle(&handle_), 0);
    ASSERT_EQ(RegisterAll(handle_, std::make_integer_sequence<int, kEventSlotCount>{}), 0);
    TakeFired();
  }
  void TearDown() override { EXPECT_EQ(TiloDestroyHandle(handle_), 0); }

  // The slots fired, with slot 0 and 13 carrying their value and the others 0.
  std::vector<Fired> Dispatch(uint32_t oldFlags, uint32_t newFlags) {
    NotifyStatusChange(nullptr, handle_, oldFlags, newFlags);
    return TakeFired();
  }

  PrintHandle_t* handle_ = nullptr;
};

TEST_F(EventCallbacks, StatusChangesFireTheirSlotsInOrder) {
  struct Case {
    uint32_t oldFlags;
    uint32_t newFlags;
    std::vector<int> slots;  // after slot 0
  };
  const Case cases[] = {
      // No previous word: one member of every pair and of the paper triple.
      {0xFFFFFFFFu, 0x0, {1, 4, 6, 10, 12, 15, 17, 19}},
      {0xFFFFFFFFu,
       0x8 | 0x20 | 0x40000 | 0x4 | 0x20000 | 0x80000 | 0x80000000u,
       {2, 5, 8, 9, 11, 14, 16, 18}},
      // No response: slot 3 alone, whatever else changed.
      {0xFFFFFFFFu, 0x1, {3}},
      {0x0, 0x1 | 0x8 | 0x20 | 0x40000, {3}},
      {0x8, 0x0, {1}},
      {0x0, 0x8 | 0x10000, {2, 7}},
      {0x10000, 0x50000, {8}},
      {0x40000, 0x10000, {7}},
      {0x40000, 0x0, {6}},
      {0x0, 0x4, {9, 11}},
      {0x4, 0x0, {10, 12}},
      {0x80000000u, 0x0, {19}},
      {0x0, 0x2, {}},  // a bit no pair watches still reports the new word
      // The printer answers again: every pair reports, as after no word at all.
      {0x1, 0x0, {1, 4, 6, 10, 12, 15, 17, 19}},
      {0x80000009u, 0x8, {2, 4, 6, 10, 12, 15, 17, 19}},
      // Still silent, with other remembered bits: no second power-off.
      {0x80000009u, 0x1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.oldFlags << " -> " << c.newFlags);
    std::vector<Fired> expected = {{EVENT_STATUS_CHANGE, c.newFlags}};
    for (int slot : c.slots) expected.push_back({slot, 0});
    EXPECT_EQ(Dispatch(c.oldFlags, c.newFlags), expected);
  }
  EXPECT_TRUE(Dispatch(0x28, 0x28).empty()) << "no change, no event";
}

TEST_F(EventCallbacks, DisabledCallbacksFireNothingButTheWordIsStillStored) {
  ASSERT_EQ(SetCallbackEnabled(handle_, 0), 0);
  EXPECT_FALSE(IsCallbackEnabled(handle_));
  StoreStatusFlags(nullptr, handle_, 0x8);
  NotifyBatteryChange(nullptr, handle_, 1, 2);
  EXPECT_TRUE(TakeFired().empty());
  EXPECT_EQ(handle_->statusFlags.load(), 0x8u);
  ASSERT_EQ(SetCallbackEnabled(handle_, 1), 0);
  StoreStatusFlags(nullptr, handle_, 0x0);
  EXPECT_EQ(TakeFired(), (std::vector<Fired>{{0, 0x0}, {1, 0}}));
}

TEST_F(EventCallbacks, RegistrationRefusesBadSlotsAndChangesNothing) {
  EXPECT_EQ(SetEventCallback(handle_, 20, &Record<0>), 255);
  EXPECT_EQ(SetEventCallback(handle_, -1, &Record<0>), 255);
  EXPECT_EQ(GetEventCallback(handle_, 20), nullptr);
  for (int slot = 0; slot < kEventSlotCount; ++slot) {
    EXPECT_NE(GetEventCallback(handle_, slot), nullptr) << slot;
  }
  EXPECT_EQ(SetEventCallback(nullptr, 0, &Record<0>), 6);
  EXPECT_EQ(SetResultCallback(handle_, 3, nullptr), 255);
  EXPECT_EQ(SetResultCallback(nullptr, 0, nullptr), 6);
  EXPECT_EQ(SetCallbackEnabled(nullptr, 1), 255);
  EXPECT_TRUE(IsCallbackEnabled(nullptr));
}

TEST_F(EventCallbacks, PublicSettersFillTheirSlotsAndCheckTheHandle) {
  using Setter = int (*)(PrintHandle_t*, EventCallback);
  const std::pair<Setter, int> setters[] = {
      {TiloSetCoverCloseCallback, 4}, {TiloSetCoverOpenCallback, 5},
      {TiloSetPaperOkCallback, 6},    {TiloSetPaperNearEndCallback, 7},
      {TiloSetPaperEmptyCallback, 8}, {TiloSetDrawerHighCallback, 9},
      {TiloSetDrawerLowCallback, 10},
  };
  PrintHandle_t stranger{};
  for (const auto& [setter, slot] : setters) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(setter(handle_, nullptr), 0);
    EXPECT_EQ(GetEventCallback(handle_, slot), nullptr);
    EXPECT_NE(GetEventCallback(handle_, slot == 4 ? 5 : 4), nullptr) << "only its own slot";
    EXPECT_EQ(setter(handle_, &Record<0>), 0);
    EXPECT_EQ(setter(&stranger, nullptr), 1);
    EXPECT_EQ(setter(nullptr, nullptr), 1);
  }
}

TEST_F(EventCallbacks, NoResponseWordFromTheLastAutomaticStatus) {
  struct Case {
    uint8_t raw[4];
    uint32_t word;
  };
  const Case cases[] = {
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0x1},          // never received
      {{0x08, 0x00, 0x00, 0x00}, 0x80000009u},  // offline; slip bit set
      {{0xFF & 0x7F, 0x00, 0x00, 0x00}, 0x8000006Fu},
      {{0x00, 0x00, 0x60, 0x40}, 0x40600001u},  // all three slip source bits: no slip bit
      {{0x00, 0xFF, 0xFF, 0xFF}, 0x4F6F6F01u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.word);
    EXPECT_EQ(NoResponseFlags(c.raw), c.word);
  }
  // Through the handle: dispatched from the stored word, then stored.
  handle_->statusFlags = 0x0;
  std::memcpy(handle_->rawAsb, cases[1].raw, 4);
  NotifyNoResponse(nullptr, handle_);
  EXPECT_EQ(handle_->statusFlags.load(), 0x80000009u);
  EXPECT_EQ(TakeFired(), (std::vector<Fired>{{0, 0x80000009u}, {3, 0}}));
  std::memset(handle_->rawAsb, 0xFF, 4);
  NotifyNoResponse(nullptr, handle_);
  EXPECT_EQ(handle_->statusFlags.load(), 0x1u);
  EXPECT_EQ(TakeFired(), (std::vector<Fired>{{0, 0x1}})) << "the printer was off already";
}

TEST_F(EventCallbacks, BatteryChangeCarriesTheNewValueOnlyWhenItChanged) {
  NotifyBatteryChange(nullptr, handle_, 50, 50);
  EXPECT_TRUE(TakeFired().empty());
  NotifyBatteryChange(nullptr, handle_, 50, 40);
  EXPECT_EQ(TakeFired(), (std::vector<Fired>{{13, 40}}));
  NotifyBatteryChange(nullptr, nullptr, 50, 40);
  EXPECT_TRUE(TakeFired().empty());
}

void PrintResult(PrintHandle_t*, const char*, int32_t, uint32_t, int32_t, const char*) {}
void DisplayResult(PrintHandle_t*, const char*, int32_t) {}

TEST_F(EventCallbacks, ResultSlotsHoldTheirCallbacks) {
  ASSERT_EQ(SetResultCallback(handle_, RESULT_PRINT, reinterpret_cast<void*>(&PrintResult)), 0);
  ASSERT_EQ(SetResultCallback(handle_, RESULT_DISPLAY, reinterpret_cast<void*>(&DisplayResult)), 0);
  const ResultCallbacks callbacks = GetResultCallbacks(handle_);
  EXPECT_EQ(callbacks.print, &PrintResult);
  EXPECT_EQ(callbacks.display, &DisplayResult);
  EXPECT_EQ(callbacks.hybrid, nullptr);
}

TEST_F(EventCallbacks, RacingWritersNeitherLoseNorDoubleAStatusEvent) {
  // Every store puts in a word no other store uses, so each one is a change
  // and must report exactly one status event.
  constexpr uint32_t kStores = 500;
  auto writer = [this](uint32_t base) {
    for (uint32_t i = 0; i < kStores; ++i) StoreStatusFlags(nullptr, handle_, (base + i) << 8);
  };
  std::thread first(writer, 0x1000);
  std::thread second(writer, 0x2000);
  first.join();
  second.join();
  int statusEvents = 0;
  for (const Fired& f : TakeFired()) statusEvents += f.slot == EVENT_STATUS_CHANGE;
  EXPECT_EQ(statusEvents, static_cast<int>(2 * kStores));
}

}  // namespace
