#include "component/weak_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

class Device : public Object {
 public:
  explicit Device(int number) : number_(number) {}
  String GetRuntimeClassName() const override { return "Orvik.Tilo.Tilo2.Test.Device"; }
  int Number() const { return number_; }

 private:
  int number_;
};

class OtherObject : public Object {
 public:
  String GetRuntimeClassName() const override { return "Orvik.Tilo.Tilo2.Test.Other"; }
};

TEST(WeakTableTest, ResolvesOnlyALiveRegisteredObject) {
  auto device = std::make_shared<Device>(7);
  const uint64_t id = RegisterWeakReference(device);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(ResolveWeakReference(id), device);
  EXPECT_EQ(ResolveUserData<Device>(UserDataFromWeakId(id)), device);
  // The object is not kept alive by its entry.
  EXPECT_EQ(device.use_count(), 1);
  // A callback typed for another class gets nothing.
  EXPECT_EQ(ResolveUserData<OtherObject>(UserDataFromWeakId(id)), nullptr);

  device.reset();  // expired but still registered
  EXPECT_EQ(ResolveWeakReference(id), nullptr);
  UnregisterWeakReference(id);
  EXPECT_EQ(ResolveWeakReference(id), nullptr);
  UnregisterWeakReference(id);  // twice does nothing

  EXPECT_EQ(ResolveWeakReference(0), nullptr);
  EXPECT_EQ(ResolveUserData<Device>(nullptr), nullptr);
  EXPECT_EQ(RegisterWeakReference(nullptr), 0u);
}

// The fault the table exists for: a callback arriving with the user data of a
// destroyed object. Under AddressSanitizer a use of the dead object would be
// reported here.
TEST(WeakTableTest, StaleUserDataOfADestroyedObjectResolvesToNothing) {
  void* userData = nullptr;
  {
    auto device = std::make_shared<Device>(1);
    WeakRegistration registration(device);
    userData = registration.UserData();
    ASSERT_EQ(ResolveUserData<Device>(userData)->Number(), 1);
  }
  EXPECT_EQ(ResolveUserData<Device>(userData), nullptr);

  // Ids are never reused: a newer object does not answer to the old id.
  auto newer = std::make_shared<Device>(2);
  WeakRegistration newerRegistration(newer);
  EXPECT_NE(newerRegistration.UserData(), userData);
  EXPECT_EQ(ResolveUserData<Device>(userData), nullptr);
  EXPECT_EQ(ResolveUserData<Device>(newerRegistration.UserData()), newer);
}

TEST(WeakTableTest, RegistrationMovesItsId) {
  auto device = std::make_shared<Device>(3);
  WeakRegistration first(device);
  const uint64_t id = first.Id();
  WeakRegistration second(std::move(first));
  EXPECT_EQ(second.Id(), id);
  EXPECT_EQ(first.Id(), 0u);  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_EQ(ResolveWeakReference(id), device);
  second = WeakRegistration();
  EXPECT_EQ(ResolveWeakReference(id), nullptr);
}

// Callbacks resolve on core threads while apps create and drop objects; run
// under ThreadSanitizer this checks the table's locking, and that an object
// released by its last owner during a resolve is destroyed exactly once.
TEST(WeakTableTest, ConcurrentRegisterResolveAndRelease) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::atomic<uint64_t> lastId{0};
  std::atomic<bool> wrongObject{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        auto device = std::make_shared<Device>(t * kRounds + round);
        WeakRegistration registration(device);
        lastId.store(registration.Id(), std::memory_order_relaxed);
        if (ResolveUserData<Device>(registration.UserData())->Number() != t * kRounds + round) {
          wrongObject = true;
        }
        // Another thread's object, which may be dying right now.
        if (auto other = ResolveUserData<Device>(
                UserDataFromWeakId(lastId.load(std::memory_order_relaxed)))) {
          if (other->Number() < 0) wrongObject = true;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(wrongObject);
}

}  // namespace
