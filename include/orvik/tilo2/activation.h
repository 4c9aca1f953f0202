#pragma once
// Activation of the runtime classes by their full runtime class name.
//
// DllGetActivationFactory gives the factory of a class named in the library's
// table of activatable classes; the caller Release()s it. A class whose
// constructor takes arguments offers its own factory interface beside this one
// (declared in the class's header), reached with dynamic_cast. No exception
// leaves a factory: every failure is an HRESULT.
// Threads, handlers and what a handler may call: docs/threading.md.

#include <cstdint>
#include <memory>

#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/export.h"
#include "orvik/tilo2/object.h"

namespace Orvik::Tilo::Tilo2 {

// CLASS_E_CLASSNOTAVAILABLE: no activatable class has the given name.
inline constexpr int32_t kEClassNotAvailable = static_cast<int32_t>(0x80040111u);
// S_FALSE: DllCanUnloadNow's answer while the library is in use.
inline constexpr int32_t kSFalse = 1;

class TILO2_EXPORT IActivationFactory {
 public:
  // Reference counting of the factory; each returns the new count.
  virtual uint32_t AddRef() noexcept = 0;
  virtual uint32_t Release() noexcept = 0;
  // A new instance through the class's default constructor; kENotImpl (and a
  // null *instance) for a class without one, kEPointer for a null instance.
  virtual int32_t ActivateInstance(std::shared_ptr<Object>* instance) noexcept = 0;

 protected:
  // Released, never deleted, by its users.
  virtual ~IActivationFactory();
};

}  // namespace Orvik::Tilo::Tilo2

extern "C" {

// kSOk with a factory in *factory for a full runtime class name of the library;
// kEClassNotAvailable for any other name and kEPointer for a null argument (in
// both cases *factory, when given, is set to null).
TILO2_EXPORT int32_t DllGetActivationFactory(const char16_t* activatableClassId,
                                             Orvik::Tilo::Tilo2::IActivationFactory** factory);

// kSOk when no object, factory or operation of the library is alive, else kSFalse.
TILO2_EXPORT int32_t DllCanUnloadNow();
}
