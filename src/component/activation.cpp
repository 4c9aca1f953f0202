#include "component/activation.h"

#include <new>
#include <string_view>

#include "orvik/tilo2/exceptions.h"

namespace Orvik::Tilo::Tilo2 {

IActivationFactory::~IActivationFactory() = default;

}  // namespace Orvik::Tilo::Tilo2

namespace tilo2::core {

namespace {

using ::Orvik::Tilo::Tilo2::IActivationFactory;

IActivationFactory* MakeStaticClassFactory() { return new ActivationFactory(); }

}  // namespace

// The factories of the device classes, defined beside each class.
IActivationFactory* MakePrinterFactory();
IActivationFactory* MakeDiscoveryFactory();
IActivationFactory* MakeFilterOptionFactory();

namespace {

struct ActivatableClass {
  std::u16string_view name;  // full runtime class name
  IActivationFactory* (*makeFactory)();
};

// Every activatable class of the library. Each class adds its row here, with
// a function that makes its factory.
constexpr ActivatableClass kActivatableClasses[] = {
    {u"Orvik.Tilo.Tilo2.ErrorStatus", &MakeStaticClassFactory},
    {u"Orvik.Tilo.Tilo2.Log", &MakeStaticClassFactory},
    {u"Orvik.Tilo.Tilo2.Printer.Printer", &MakePrinterFactory},
    {u"Orvik.Tilo.Tilo2.Discovery.Discovery", &MakeDiscoveryFactory},
    {u"Orvik.Tilo.Tilo2.Discovery.FilterOption", &MakeFilterOptionFactory},
};

}  // namespace

uint32_t ActivationFactory::AddRef() noexcept {
  return references_.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t ActivationFactory::Release() noexcept {
  const uint32_t left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

int32_t ActivationFactory::ActivateInstance(
    std::shared_ptr<::Orvik::Tilo::Tilo2::Object>* instance) noexcept {
  if (instance == nullptr) return ::Orvik::Tilo::Tilo2::kEPointer;
  instance->reset();
  return ::Orvik::Tilo::Tilo2::kENotImpl;
}

}  // namespace tilo2::core

extern "C" {

int32_t DllGetActivationFactory(const char16_t* activatableClassId,
                                Orvik::Tilo::Tilo2::IActivationFactory** factory) {
  namespace api = ::Orvik::Tilo::Tilo2;
  if (factory == nullptr) return api::kEPointer;
  *factory = nullptr;
  if (activatableClassId == nullptr) return api::kEPointer;
  const std::u16string_view name(activatableClassId);
  for (const auto& entry : tilo2::core::kActivatableClasses) {
    if (entry.name != name) continue;
    try {
      *factory = entry.makeFactory();
    } catch (const std::bad_alloc&) {
      return api::kEOutOfMemory;
    } catch (...) {
      return api::kEFail;
    }
    return api::kSOk;
  }
  return api::kEClassNotAvailable;
}

int32_t DllCanUnloadNow() {
  return tilo2::core::ModuleAliveCount() == 0 ? ::Orvik::Tilo::Tilo2::kSOk
                                              : ::Orvik::Tilo::Tilo2::kSFalse;
}
}
