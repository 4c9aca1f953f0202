#pragma once
// The library side of activation: the factory base every activatable class's
// factory derives from, and the count of what keeps the library in use.

#include <atomic>
#include <cstdint>
#include <memory>

#include "orvik/tilo2/activation.h"

namespace tilo2::core {

// Objects, factories and operations of the library now alive.
int64_t ModuleAliveCount() noexcept;

// A reference-counted factory that starts with one reference (the caller's) and
// deletes itself on the last Release. As it stands it serves a static-only
// class: ActivateInstance answers kENotImpl. A class with a default
// constructor overrides ActivateInstance; one with constructor arguments also
// implements its own factory interface.
class ActivationFactory : public ::Orvik::Tilo::Tilo2::IActivationFactory {
 public:
  ActivationFactory() = default;
  ActivationFactory(const ActivationFactory&) = delete;
  ActivationFactory& operator=(const ActivationFactory&) = delete;

  uint32_t AddRef() noexcept override;
  uint32_t Release() noexcept override;
  int32_t ActivateInstance(
      std::shared_ptr<::Orvik::Tilo::Tilo2::Object>* instance) noexcept override;

 protected:
  ~ActivationFactory() override = default;

 private:
  std::atomic<uint32_t> references_{1};
  ::Orvik::Tilo::Tilo2::detail::ModuleReference module_;
};

}  // namespace tilo2::core
