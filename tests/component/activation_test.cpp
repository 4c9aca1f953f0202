#include "orvik/tilo2/activation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "component/activation.h"
#include "component/run_async.h"

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

// Work of earlier tests (a finished operation's last reference on a pool
// worker) may still be on its way out.
bool WaitForNoModuleReferences() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (DllCanUnloadNow() != kSOk) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

class Sample : public Object {
 public:
  String GetRuntimeClassName() const override { return "Orvik.Tilo.Tilo2.Sample"; }
};

TEST(ActivationTest, StaticClassFactoryHasNoDefaultConstructor) {
  IActivationFactory* factory = nullptr;
  ASSERT_EQ(DllGetActivationFactory(u"Orvik.Tilo.Tilo2.ErrorStatus", &factory), kSOk);
  ASSERT_NE(factory, nullptr);
  auto instance = std::static_pointer_cast<Object>(std::make_shared<Sample>());
  EXPECT_EQ(factory->ActivateInstance(&instance), kENotImpl);
  EXPECT_EQ(instance, nullptr);
  EXPECT_EQ(factory->ActivateInstance(nullptr), kEPointer);
  EXPECT_EQ(factory->Release(), 0u);
}

TEST(ActivationTest, UnknownNamesAndNullArguments) {
  IActivationFactory* sentinel = reinterpret_cast<IActivationFactory*>(0x1);
  struct Case {
    const char16_t* name;
    bool withOut;
    int32_t result;
  };
  const Case cases[] = {
      {u"Orvik.Tilo.Tilo2.NoSuchClass", true, static_cast<int32_t>(0x80040111u)},
      {u"", true, static_cast<int32_t>(0x80040111u)},
      // Names are exact: no short form, no other case.
      {u"ErrorStatus", true, static_cast<int32_t>(0x80040111u)},
      {u"orvik.tilo.tilo2.errorstatus", true, static_cast<int32_t>(0x80040111u)},
      {nullptr, true, static_cast<int32_t>(0x80004003u)},
      {u"Orvik.Tilo.Tilo2.ErrorStatus", false, static_cast<int32_t>(0x80004003u)},
  };
  for (const Case& c : cases) {
    IActivationFactory* factory = sentinel;
    EXPECT_EQ(DllGetActivationFactory(c.name, c.withOut ? &factory : nullptr), c.result);
    if (c.withOut) {
      EXPECT_EQ(factory, nullptr);
    }
  }
}

TEST(ActivationTest, CanUnloadOnlyWhenNothingOfTheLibraryLives) {
  ASSERT_TRUE(WaitForNoModuleReferences());
  EXPECT_EQ(DllCanUnloadNow(), 0);

  IActivationFactory* factory = nullptr;
  ASSERT_EQ(DllGetActivationFactory(u"Orvik.Tilo.Tilo2.ErrorStatus", &factory), kSOk);
  EXPECT_EQ(DllCanUnloadNow(), 1);
  EXPECT_EQ(factory->AddRef(), 2u);
  EXPECT_EQ(factory->Release(), 1u);
  EXPECT_EQ(DllCanUnloadNow(), 1);  // the caller's reference remains
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(DllCanUnloadNow(), 0);

  {
    Sample object;
    EXPECT_EQ(DllCanUnloadNow(), 1);
    Sample copy(object);  // a copy is an object of its own
    EXPECT_EQ(ModuleAliveCount(), 2);
  }
  EXPECT_EQ(DllCanUnloadNow(), 0);

  {
    IAsyncAction action = RunAsync([] {});
    action.get();
    EXPECT_EQ(DllCanUnloadNow(), 1);  // the handle keeps the operation
  }
  EXPECT_TRUE(WaitForNoModuleReferences());
}

}  // namespace
